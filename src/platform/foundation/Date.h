// Date: a moment in time as seconds since 2001-01-01 00:00:00 UTC (the
// platform's reference date), as a double.
//
// Calendar texts use the platform's default calendar: Gregorian from
// 1582-10-15 on and Julian before it, so the distant past reads as
// "0001-01-01". Dates are plain values, safe to use from any thread; the text
// functions depend on no locale or time-zone setting.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class Date {
  public:
    // Seconds between 1970-01-01 and 2001-01-01 UTC.
    static constexpr double kTimeIntervalSince1970 = 978307200.0;

    constexpr Date() = default;  // the reference date itself
    constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

    // The current date from the installed source, else the system's real-time
    // clock.
    static Date now();
    // Installs the source of now() for the whole process and returns the one
    // it replaces; an empty function restores the system clock. Tests move the
    // current date with it as they move timers, for example following a
    // dispatch ManualClock: `[clock, start] { return
    // start.byAddingTimeInterval(clock->now()); }`. The source is called from
    // any thread, without a lock held.
    using NowSource = std::function<Date()>;
    static NowSource setNowSource(NowSource source);
    static Date fromTimeIntervalSince1970(double seconds) { return Date(seconds - kTimeIntervalSince1970); }
    static Date distantPast();    // 0001-01-01 00:00:00 UTC (-63114076800 s)
    static Date distantFuture();  // 4001-01-01 00:00:00 UTC (63113904000 s)

    double timeIntervalSinceReferenceDate() const { return seconds_; }
    double timeIntervalSince1970() const { return seconds_ + kTimeIntervalSince1970; }
    double timeIntervalSinceDate(const Date& other) const { return seconds_ - other.seconds_; }
    double timeIntervalSinceNow() const { return seconds_ - now().seconds_; }
    Date byAddingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

    // "2023-04-05T06:07:08.123Z": ISO 8601 in UTC with milliseconds, truncated
    // toward the past. Empty for a date that is not finite or lies beyond
    // year 999999 either way.
    std::string iso8601String() const;
    // Accepts "YYYY-MM-DDTHH:MM:SS[.fff...](Z|+HH:MM|-HH:MM|+HHMM)" with every
    // field in range (day within its month) and the instant, in UTC, within
    // years 0000 to 9999 (what iso8601String writes and reads again); nullopt
    // otherwise.
    static std::optional<Date> fromISO8601(std::string_view text);
    // Reads exactly the form iso8601String writes for years 0000 to 9999:
    // "YYYY-MM-DDTHH:MM:SS.sssZ" with three fraction digits and "Z". Text
    // without milliseconds, with other fraction lengths or with an offset gives
    // nullopt.
    static std::optional<Date> fromStrictISO8601(std::string_view text);

    // "2001-01-01 00:00:00 +0000", as the platform prints dates; empty for
    // dates iso8601String cannot write either.
    std::string description() const;

    auto operator<=>(const Date&) const = default;

  private:
    double seconds_ = 0;
};

}  // namespace plat
