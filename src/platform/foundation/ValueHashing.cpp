#include "platform/foundation/Value.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>

#include "platform/foundation/detail/ValueInternals.h"

namespace plat {
namespace {

using detail::keyHash;
using detail::kTwo63;
using detail::kTwo64;
using detail::mix;

constexpr std::size_t kNaNHash = 0x7ff8000000000000ULL;

// Equal numbers of different kinds must hash alike: every integral value that an
// integer kind can hold hashes as that integer, other doubles by their bits.

std::size_t hashInteger(uint64_t twosComplement) {
    return mix(twosComplement);
}

std::size_t hashDouble(double d) {
    if (std::isnan(d))
        return kNaNHash;
    if (d == std::trunc(d)) {
        if (d >= -kTwo63 && d < kTwo63)
            return hashInteger(static_cast<uint64_t>(static_cast<int64_t>(d)));
        if (d >= 0 && d < kTwo64)
            return hashInteger(static_cast<uint64_t>(d));
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return mix(bits);
}

std::size_t hashDecimal(const Decimal& dec) {
    if (dec.isNaN())
        return kNaNHash;
    const double nearest = dec.toDouble();
    if (dec.compareToDouble(nearest) == 0)
        return hashDouble(nearest);
    if (dec.isInteger()) {
        if (!dec.isNegative() && dec.compare(Decimal::fromUInt64(UINT64_MAX)) <= 0)
            return hashInteger(dec.toUInt64());
        if (dec.isNegative() && dec.compare(Decimal::fromInt64(INT64_MIN)) >= 0)
            return hashInteger(static_cast<uint64_t>(dec.toInt64()));
    }
    return dec.hash();
}

std::size_t combineOrdered(std::size_t seed, std::size_t h) {
    return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

std::size_t Value::hash() const {
    switch (kind_) {
        case Kind::Null:
            return 0x6e756c6c;
        case Kind::Bool:
            return hashInteger(u_.b ? 1 : 0);
        case Kind::Int:
            return hashInteger(static_cast<uint64_t>(u_.i));
        case Kind::UInt:
            return hashInteger(u_.u);
        case Kind::Double:
            return hashDouble(u_.d);
        case Kind::Decimal:
            return hashDecimal(*asDecimal());
        case Kind::String:
            return std::hash<std::string>()(*asString());
        case Kind::Data:
            return asData()->hash();
        case Kind::Date:
            return ~hashDouble(u_.d);
        case Kind::Array: {
            std::size_t h = asArray()->size();
            for (const Value& v : *asArray())
                h = combineOrdered(h, v.hash());
            return h;
        }
        case Kind::Dictionary: {
            std::size_t h = asDictionary()->size();  // a sum, so that order does not matter
            for (const auto& [key, v] : *asDictionary())
                h += mix(keyHash(key) ^ v.hash());
            return h;
        }
        case Kind::Set: {
            std::size_t h = asSet()->size() ^ 0x5e75;
            for (const Value& v : *asSet())
                h += mix(v.hash());
            return h;
        }
        case Kind::Object:
            return payload<ObjectPtr>()->hash();
    }
    return 0;
}

}  // namespace plat
