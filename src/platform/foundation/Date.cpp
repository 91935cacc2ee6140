#include "platform/foundation/Date.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/foundation/Mutex.h"

namespace plat {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Julian day numbers of the reference date and of the first Gregorian day.
constexpr int64_t kReferenceJulianDay = 2451911;       // 2001-01-01
constexpr int64_t kGregorianStartJulianDay = 2299161;  // 1582-10-15 (Julian 1582-10-05)
// Beyond this the year no longer fits the text forms (about year 980000).
constexpr double kMaxTextSeconds = 3.1e13;

struct CivilDate {
    int64_t year;
    int month;
    int day;
};

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool operator<(const CivilDate& a, const CivilDate& b) {
    if (a.year != b.year)
        return a.year < b.year;
    if (a.month != b.month)
        return a.month < b.month;
    return a.day < b.day;
}

// Proleptic Gregorian day count (days since 1970-01-01), after H. Hinnant's algorithm.
int64_t gregorianJulianDay(const CivilDate& c) {
    const int64_t y = c.year - (c.month <= 2);
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t mp = (c.month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + c.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 2440588;
}

CivilDate gregorianFromJulianDay(int64_t jd) {
    const int64_t z = jd - 2440588 + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

int64_t julianCalendarJulianDay(const CivilDate& c) {
    const int64_t a = (14 - c.month) / 12;
    const int64_t y = c.year + 4800 - a;
    const int64_t m = c.month + 12 * a - 3;
    return c.day + (153 * m + 2) / 5 + 365 * y + floorDiv(y, 4) - 32083;
}

CivilDate julianCalendarFromJulianDay(int64_t jd) {
    const int64_t c = jd + 32082;
    const int64_t d = floorDiv(4 * c + 3, 1461);
    const int64_t e = c - floorDiv(1461 * d, 4);
    const int64_t m = (5 * e + 2) / 153;
    const int day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
    const int month = static_cast<int>(m + 3 - 12 * (m / 10));
    return {d - 4800 + m / 10, month, day};
}

CivilDate civilFromJulianDay(int64_t jd) {
    return jd >= kGregorianStartJulianDay ? gregorianFromJulianDay(jd) : julianCalendarFromJulianDay(jd);
}

bool isLeapYear(const CivilDate& c, bool gregorian) {
    if (!gregorian)
        return floorDiv(c.year, 4) * 4 == c.year;
    return (c.year % 4 == 0 && c.year % 100 != 0) || c.year % 400 == 0;
}

// Julian day number of a calendar date, or -1 for a day that does not exist
// (out of range, or in the ten days the calendar reform skipped).
int64_t julianDayFromCivil(const CivilDate& c) {
    static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool gregorian = !(c < CivilDate{1582, 10, 15});
    if (!gregorian && !(c < CivilDate{1582, 10, 5}))
        return -1;
    if (c.month < 1 || c.month > 12 || c.day < 1)
        return -1;
    const int length = kDaysInMonth[c.month - 1] + (c.month == 2 && isLeapYear(c, gregorian));
    if (c.day > length)
        return -1;
    return gregorian ? gregorianJulianDay(c) : julianCalendarJulianDay(c);
}

// A date split into calendar fields in UTC, with whole milliseconds.
struct Fields {
    CivilDate date;
    int hour, minute, second, millisecond;
};

std::optional<Fields> fieldsOf(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxTextSeconds)
        return std::nullopt;
    double whole = std::floor(seconds);
    // Snap values within a microsecond of a millisecond boundary onto it, so
    // that a parsed ".123" (stored as 0.12299999...) prints back as ".123".
    // Far from the reference date a double's step grows beyond a microsecond
    // (about 30 µs in year 9999); the tolerance then grows with it.
    const double ms = (seconds - whole) * 1000.0;
    const double nearest = std::round(ms);
    const double step = std::nextafter(std::fabs(seconds), HUGE_VAL) - std::fabs(seconds);
    const double tolerance = std::max(1e-3, 4000.0 * step);
    int64_t millisecond =
        static_cast<int64_t>(std::fabs(ms - nearest) < tolerance ? nearest : std::floor(ms));
    if (millisecond >= 1000) {
        whole += 1;
        millisecond -= 1000;
    }
    const int64_t total = static_cast<int64_t>(whole);
    const int64_t days = floorDiv(total, kSecondsPerDay);
    const int64_t ofDay = total - days * kSecondsPerDay;
    return Fields{civilFromJulianDay(kReferenceJulianDay + days), static_cast<int>(ofDay / 3600),
                  static_cast<int>(ofDay / 60 % 60), static_cast<int>(ofDay % 60),
                  static_cast<int>(millisecond)};
}

std::string yearText(int64_t year) {
    char buf[32];
    if (year < 0)
        std::snprintf(buf, sizeof buf, "-%04lld", static_cast<long long>(-year));
    else
        std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(year));
    return buf;
}

// Reads exactly `count` digits at text[pos]; -1 when they are not all digits.
int readDigits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool hasAt(std::string_view text, std::size_t pos, char c) {
    return pos < text.size() && text[pos] == c;
}

// Parses the fraction of a second after the '.', returning the position after
// it; 0 when no digit follows.
std::size_t readFraction(std::string_view text, std::size_t pos, double& fraction) {
    // Up to 15 digits as one integer divided by a power of ten, so ".123" is
    // the double nearest 0.123; further digits are below a double's precision.
    int64_t numerator = 0;
    double denominator = 1;
    std::size_t i = pos;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (i - pos < 15) {
            numerator = numerator * 10 + (text[i] - '0');
            denominator *= 10;
        }
    }
    fraction = static_cast<double>(numerator) / denominator;
    return i == pos ? 0 : i;
}

// Parses "Z", "+HH:MM", "-HH:MM", "+HHMM" or "-HHMM" that must end the text.
std::optional<int> readZoneOffset(std::string_view text, std::size_t pos) {
    if (hasAt(text, pos, 'Z'))
        return pos + 1 == text.size() ? std::optional<int>(0) : std::nullopt;
    if (!hasAt(text, pos, '+') && !hasAt(text, pos, '-'))
        return std::nullopt;
    const int sign = text[pos] == '-' ? -1 : 1;
    const int hours = readDigits(text, pos + 1, 2);
    const std::size_t minutesAt = hasAt(text, pos + 3, ':') ? pos + 4 : pos + 3;
    const int minutes = readDigits(text, minutesAt, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || minutesAt + 2 != text.size())
        return std::nullopt;
    return sign * (hours * 3600 + minutes * 60);
}

}  // namespace

namespace {

// The installed now() source. `nowSourceInstalled` lets now() skip the lock
// when none is installed, the case outside tests.
Mutex nowSourceMutex;
std::shared_ptr<const Date::NowSource> nowSource GUARDED_BY(nowSourceMutex);
std::atomic<bool> nowSourceInstalled{false};

}  // namespace

Date::NowSource Date::setNowSource(NowSource source) {
    auto next = source ? std::make_shared<const NowSource>(std::move(source)) : nullptr;
    std::shared_ptr<const NowSource> previous;
    {
        MutexLock lock(nowSourceMutex);
        previous = std::exchange(nowSource, next);
        nowSourceInstalled.store(next != nullptr, std::memory_order_release);
    }
    return previous ? *previous : NowSource();
}

Date Date::now() {
    if (nowSourceInstalled.load(std::memory_order_acquire)) {
        std::shared_ptr<const NowSource> source;
        {
            MutexLock lock(nowSourceMutex);
            source = nowSource;
        }
        if (source)
            return (*source)();
    }
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(sinceEpoch).count();
    return fromTimeIntervalSince1970(seconds);
}

Date Date::distantPast() {
    return Date(-63114076800.0);
}
Date Date::distantFuture() {
    return Date(63113904000.0);
}

std::string Date::iso8601String() const {
    const auto f = fieldsOf(seconds_);
    if (!f)
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "-%02d-%02dT%02d:%02d:%02d.%03dZ", f->date.month, f->date.day, f->hour,
                  f->minute, f->second, f->millisecond);
    return yearText(f->date.year) + buf;
}

std::string Date::description() const {
    const auto f = fieldsOf(seconds_);
    if (!f)
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "-%02d-%02d %02d:%02d:%02d +0000", f->date.month, f->date.day, f->hour,
                  f->minute, f->second);
    return yearText(f->date.year) + buf;
}

namespace {

std::optional<Date> readISO8601(std::string_view text, bool strict) {
    const int year = readDigits(text, 0, 4);
    const int month = readDigits(text, 5, 2);
    const int day = readDigits(text, 8, 2);
    const int hour = readDigits(text, 11, 2);
    const int minute = readDigits(text, 14, 2);
    const int second = readDigits(text, 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return std::nullopt;
    if (!hasAt(text, 4, '-') || !hasAt(text, 7, '-') || !hasAt(text, 10, 'T') || !hasAt(text, 13, ':') ||
        !hasAt(text, 16, ':'))
        return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const int64_t julianDay = julianDayFromCivil({year, month, day});
    if (julianDay < 0)
        return std::nullopt;
    std::size_t pos = 19;
    double fraction = 0;
    if (hasAt(text, pos, '.')) {
        pos = readFraction(text, pos + 1, fraction);
        if (pos == 0)
            return std::nullopt;
    }
    if (strict && (pos != 23 || text.size() != 24 || text[23] != 'Z'))
        return std::nullopt;
    const auto offset = readZoneOffset(text, pos);
    if (!offset)
        return std::nullopt;
    const int64_t whole =
        (julianDay - kReferenceJulianDay) * kSecondsPerDay + hour * 3600 + minute * 60 + second - *offset;
    const Date date(static_cast<double>(whole) + fraction);
    // An offset or a fraction that rounds up can carry the instant out of
    // years 0000-9999 ("9999-12-31T23:59:59.9999999Z" is 10000-01-01 as a
    // double). The writer would then write a year this reader refuses, so
    // such text is refused here: whatever reads must write and read again.
    const auto written = fieldsOf(date.timeIntervalSinceReferenceDate());
    if (!written || written->date.year < 0 || written->date.year > 9999)
        return std::nullopt;
    return date;
}

}  // namespace

std::optional<Date> Date::fromISO8601(std::string_view text) {
    return readISO8601(text, false);
}

std::optional<Date> Date::fromStrictISO8601(std::string_view text) {
    return readISO8601(text, true);
}

}  // namespace plat
