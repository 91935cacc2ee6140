// Number text as the platform reads it: decimals (free text and exact JSON
// literals) and the numeric readings of strings. What a decimal reads must
// write as text that reads back to the same decimal.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Decimal.h"
#include "platform/foundation/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const plat::Decimal decimal = plat::Decimal::fromString(text);
    if (!decimal.isNaN()) {
        const std::string written = decimal.toString();
        if (plat::Decimal::fromString(written) != decimal)
            std::abort();
        (void)decimal.toDouble();
        (void)decimal.toInt64();
        (void)decimal.toUInt64();
        (void)decimal.isInteger();
    }
    if (auto literal = plat::Decimal::fromJSONLiteral(text)) {
        if (literal->isNaN() || plat::Decimal::fromString(literal->toString()) != *literal)
            std::abort();
    }
    const plat::Value value{std::string(text)};
    (void)value.integerValue();
    (void)value.doubleValue();
    (void)value.boolValue();
    return 0;
}
