// TimeZone: the local time zone of the process (the platform's time zone,
// limited to the local one): its name, offset from UTC and abbreviation.
//
// Offsets and abbreviations come from the C library's local-time rules, so
// they honour $TZ (re-read at every call) and /etc/localtime. All members may
// be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

namespace plat {

class TimeZone {
  public:
    static TimeZone localTimeZone();

    // "Europe/Berlin": from $TZ, else /etc/timezone, else the target of the
    // /etc/localtime link, else "UTC".
    const std::string& name() const { return name_; }
    // Seconds east of UTC at date (daylight saving time included).
    int64_t secondsFromGMT(Date date) const;
    int64_t secondsFromGMT() const { return secondsFromGMT(Date::now()); }
    // "CET", "CEST", "UTC", ... at date.
    std::string abbreviation(Date date) const;
    std::string abbreviation() const { return abbreviation(Date::now()); }

    // The zone name from a TZ value (nullopt: unset) and the two system files.
    // ":Europe/Paris" and "/usr/share/zoneinfo/Europe/Paris" both give
    // "Europe/Paris"; an empty TZ means UTC.
    static std::string resolveName(const std::optional<std::string>& tzVariable,
                                   const std::string& timezoneFile, const std::string& localtimeLink);

  private:
    explicit TimeZone(std::string name) : name_(std::move(name)) {}

    std::string name_;
};

}  // namespace plat
