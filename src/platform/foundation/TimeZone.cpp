#include "platform/foundation/TimeZone.h"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace plat {

namespace {

// The zone's name inside a zoneinfo path ("/usr/share/zoneinfo/Europe/Paris"
// gives "Europe/Paris"); the path itself when it has no such part.
std::string zoneNameFromPath(const std::string& path) {
    static const std::string marker = "zoneinfo/";
    const auto at = path.rfind(marker);
    return at == std::string::npos ? path : path.substr(at + marker.size());
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> linkTarget(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool localTime(Date date, struct tm* out) {
    const double seconds = std::floor(date.timeIntervalSince1970());
    // Beyond what time_t and the calendar code handle sensibly.
    if (!(std::fabs(seconds) < 1e15)) {
        return false;
    }
    ::tzset();  // localtime_r alone does not notice a changed $TZ
    const time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

}  // namespace

TimeZone TimeZone::localTimeZone() {
    const char* tz = std::getenv("TZ");
    return TimeZone(
        resolveName(tz ? std::optional<std::string>(tz) : std::nullopt, "/etc/timezone", "/etc/localtime"));
}

std::string TimeZone::resolveName(const std::optional<std::string>& tzVariable,
                                  const std::string& timezoneFile, const std::string& localtimeLink) {
    if (tzVariable) {
        std::string value = *tzVariable;
        if (!value.empty() && value.front() == ':') {
            value.erase(0, 1);
        }
        return value.empty() ? "UTC" : zoneNameFromPath(value);
    }
    if (std::string name = firstLine(timezoneFile); !name.empty()) {
        return name;
    }
    if (auto target = linkTarget(localtimeLink)) {
        return zoneNameFromPath(*target);
    }
    return "UTC";
}

int64_t TimeZone::secondsFromGMT(Date date) const {
    struct tm tm = {};
    return localTime(date, &tm) ? static_cast<int64_t>(tm.tm_gmtoff) : 0;
}

std::string TimeZone::abbreviation(Date date) const {
    struct tm tm = {};
    if (!localTime(date, &tm) || tm.tm_zone == nullptr) {
        return "UTC";
    }
    return tm.tm_zone;
}

}  // namespace plat
