// ISO 8601 date text: what reads must write (in UTC, to the millisecond,
// truncated) as text that reads back within a millisecond of it, give or take
// the precision of the date's double (dates near year 9999 hold milliseconds
// only to a few microseconds).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto date = plat::Date::fromISO8601(text);
    if (!date)
        return 0;
    (void)date->description();
    const std::string written = date->iso8601String();
    auto back = plat::Date::fromISO8601(written);
    const double seconds = date->timeIntervalSinceReferenceDate();
    const double precision = 4 * (std::nextafter(std::fabs(seconds), INFINITY) - std::fabs(seconds));
    if (!back || !(std::fabs(back->timeIntervalSinceDate(*date)) <= 0.001 + precision))
        std::abort();
    return 0;
}
