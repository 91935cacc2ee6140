#include "platform/foundation/ProcessInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

extern char** environ;

namespace plat {

namespace {

std::string trimmed(std::string_view s) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && isSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return std::string(s);
}

// At most a few kilobytes: these are small system files.
std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

struct utsname unameOrEmpty() {
    struct utsname u = {};
    ::uname(&u);
    return u;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string(slash == 0 ? "/" : ".")
                                                    : path.substr(0, slash);
}

// Writes uuid to path unless a file is already there; returns the text that
// ends up there (or uuid when nothing could be written).
std::string keepHardwareUUID(const std::string& path, const std::string& uuid) {
    const std::string folder = folderOf(path);
    // Without the folder mkostemp() fails below, and the fresh uuid is used.
    (void)FileManager::defaultManager().createDirectoryAtPath(folder, true);
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return uuid;
    }
    const std::string line = uuid + "\n";
    const bool written =
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    (void)::close(fd);  // the fsync above checked the data
    // link() never replaces: when two processes race, the first file wins and
    // both return its identifier.
    std::string result = uuid;
    if (written && ::link(temp.c_str(), path.c_str()) != 0 && errno == EEXIST) {
        if (auto text = readSmallFile(path)) {
            if (auto kept = UUID::fromString(trimmed(*text))) {
                result = kept->UUIDString();  // upper case, whoever wrote it
            }
        }
    }
    (void)::unlink(temp.c_str());  // only the link matters; a leftover is harmless
    return result;
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
    static ProcessInfo* info = new ProcessInfo();
    return *info;
}

EnvironmentMap ProcessInfo::environment() const {
    EnvironmentMap env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        const auto eq = text.find('=');
        if (eq != std::string_view::npos) {
            env.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
        }
    }
    return env;
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) const {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string ProcessInfo::globallyUniqueString() const {
    return UUID().UUIDString();
}

std::string ProcessInfo::hostName() const {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

std::string ProcessInfo::processName() const {
    static const std::string name = [] {
        // Unlike the kernel's command name, argv[0] is not cut at 15 bytes.
        if (program_invocation_short_name != nullptr && program_invocation_short_name[0] != '\0') {
            return std::string(program_invocation_short_name);
        }
        auto comm = readSmallFile("/proc/self/comm");
        return comm ? trimmed(*comm) : std::string();
    }();
    return name;
}

int ProcessInfo::processIdentifier() const {
    return static_cast<int>(::getpid());
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
    static const OperatingSystemVersion version =
        parseOperatingSystemVersion(unameOrEmpty().release).value_or(OperatingSystemVersion{});
    return version;
}

std::string ProcessInfo::operatingSystemVersionString() const {
    const auto u = unameOrEmpty();
    return std::string("Version ") + u.release + " (Build " + u.version + ")";
}

unsigned ProcessInfo::processorCount() const {
    const long n = ::sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

unsigned ProcessInfo::activeProcessorCount() const {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

uint64_t ProcessInfo::physicalMemory() const {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
}

double ProcessInfo::systemUptime() const {
    struct timespec ts = {};
    (void)::clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for this clock
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ProcessInfo::hardwareUUID() const {
    {
        MutexLock lock(mutex_);
        if (hardwareUUIDOverride_) {
            return *hardwareUUIDOverride_;
        }
    }
    static const std::string real = [] {
        const auto dataHome = FileManager::defaultManager().searchPathsForDirectory(
            SearchPathDirectory::ApplicationSupportDirectory, UserDomainMask);
        return resolveHardwareUUID({"/etc/machine-id", "/var/lib/dbus/machine-id"},
                                   dataHome.front() + "/kestrel/hardware-uuid");
    }();
    return real;
}

void ProcessInfo::setHardwareUUIDForTesting(std::optional<std::string> uuid) {
    MutexLock lock(mutex_);
    hardwareUUIDOverride_ = std::move(uuid);
}

std::optional<OperatingSystemVersion> ProcessInfo::parseOperatingSystemVersion(std::string_view release) {
    int64_t parts[3] = {0, 0, 0};
    const char* p = release.data();
    const char* end = release.data() + release.size();
    int count = 0;
    while (count < 3 && p != end && std::isdigit(static_cast<unsigned char>(*p))) {
        auto [next, ec] = std::from_chars(p, end, parts[count]);
        if (ec != std::errc()) {
            break;  // too large to be a version number
        }
        ++count;
        p = next;
        if (p == end || *p != '.') {
            break;
        }
        ++p;
    }
    if (count == 0) {
        return std::nullopt;
    }
    return OperatingSystemVersion{parts[0], parts[1], parts[2]};
}

std::optional<std::string> ProcessInfo::hardwareUUIDFromMachineID(std::string_view text) {
    const std::string id = trimmed(text);
    if (id.size() != 32) {
        return std::nullopt;
    }
    std::string uuid;
    bool allZero = true;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        if (!std::isxdigit(c)) {
            return std::nullopt;
        }
        allZero = allZero && c == '0';
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid += '-';
        }
        uuid += static_cast<char>(std::toupper(c));
    }
    if (allZero) {
        return std::nullopt;
    }
    return uuid;
}

std::string ProcessInfo::resolveHardwareUUID(const std::vector<std::string>& machineIDPaths,
                                             const std::string& fallbackPath) {
    for (const auto& path : machineIDPaths) {
        if (auto text = readSmallFile(path)) {
            if (auto uuid = hardwareUUIDFromMachineID(*text)) {
                return *uuid;
            }
        }
    }
    if (auto text = readSmallFile(fallbackPath)) {
        if (auto kept = UUID::fromString(trimmed(*text))) {
            return kept->UUIDString();
        }
        // Unreadable: replace it. Should it stay, a fresh id is used instead.
        (void)::unlink(fallbackPath.c_str());
    }
    return keepHardwareUUID(fallbackPath, UUID().UUIDString());
}

}  // namespace plat
