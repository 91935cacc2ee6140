#include "platform/machine/HostFacts.h"

#include <errno.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace plat::machine {

namespace {

std::string readFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Fact {
    bool found = false;
    bool isString = false;
    std::string text;
    int32_t number = 0;
};

Fact stringFact(std::string text) {
    return Fact{true, true, std::move(text), 0};
}
Fact intFact(int64_t value) {
    return Fact{true, false, {}, static_cast<int32_t>(value)};
}

int32_t physicalCores() {
    bool ok = false;
    std::string text = readFile("/proc/cpuinfo", &ok);
    std::set<std::pair<std::string, std::string>> cores;
    std::string physical;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
        std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (key == "physical id")
            physical = value;
        if (key == "core id")
            cores.emplace(physical, value);
    }
    return static_cast<int32_t>(cores.size());
}

using Reader = Fact (*)();

struct Entry {
    std::string_view name;
    Reader read;
};

utsname currentUname() {
    utsname names{};
    uname(&names);
    return names;
}

const Entry kFacts[] = {
    {"kern.osrelease", [] { return stringFact(currentUname().release); }},
    {"kern.osversion", [] { return stringFact(currentUname().version); }},
    {"kern.ostype", [] { return stringFact(currentUname().sysname); }},
    {"hw.machine", [] { return stringFact(currentUname().machine); }},
    {"hw.model",
     [] {
         bool ok = false;
         std::string name = readFile("/sys/devices/virtual/dmi/id/product_name", &ok);
         while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
             name.pop_back();
         return ok && !name.empty() ? stringFact(name) : Fact{};
     }},
#if defined(__x86_64__)
    {"hw.cputype", [] { return intFact(0x01000007); }},
    {"hw.cpusubtype", [] { return intFact(3); }},
#elif defined(__aarch64__)
    {"hw.cputype", [] { return intFact(0x0100000C); }},
    {"hw.cpusubtype", [] { return intFact(0); }},
#endif
    {"hw.logicalcpu_max", [] { return intFact(sysconf(_SC_NPROCESSORS_CONF)); }},
    {"hw.physicalcpu_max",
     [] {
         int32_t cores = physicalCores();
         return intFact(cores > 0 ? cores : sysconf(_SC_NPROCESSORS_CONF));
     }},
    {"hw.pagesize", [] { return intFact(sysconf(_SC_PAGESIZE)); }},
};

template <class T>
bool parseNumber(std::string_view text, T* out) {
    auto result = std::from_chars(text.data(), text.data() + text.size(), *out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

int systemFact(std::string_view name, void* buffer, size_t* size) {
    for (const Entry& entry : kFacts) {
        if (entry.name != name)
            continue;
        Fact fact = entry.read();
        if (!fact.found)
            return ENOENT;
        const void* bytes = fact.isString ? static_cast<const void*>(fact.text.c_str()) : &fact.number;
        size_t needed = fact.isString ? fact.text.size() + 1 : sizeof fact.number;
        if (buffer == nullptr) {
            *size = needed;
            return 0;
        }
        if (*size < needed) {
            *size = needed;
            return ENOMEM;
        }
        std::memcpy(buffer, bytes, needed);
        *size = needed;
        return 0;
    }
    return ENOENT;
}

bool parseProcessStat(std::string_view stat, ProcessRecord* out, uint64_t* startTicks) {
    auto open = stat.find('(');
    auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    if (!parseNumber(stat.substr(0, stat.find_last_not_of(' ', open - 1) + 1), &out->pid))
        return false;
    std::string_view command = stat.substr(open + 1, close - open - 1);
    std::memset(out->command, 0, sizeof out->command);
    std::memcpy(out->command, command.data(), std::min(command.size(), sizeof out->command - 1));
    // Fields after the name, counted from 3 (state) as proc(5) numbers them.
    std::string_view rest = stat.substr(close + 1);
    int field = 2;
    bool haveParent = false, haveStart = false;
    size_t at = 0;
    while (at < rest.size()) {
        while (at < rest.size() && rest[at] == ' ')
            ++at;
        size_t end = rest.find(' ', at);
        if (end == std::string_view::npos)
            end = rest.size();
        if (end == at)
            break;
        std::string_view value = rest.substr(at, end - at);
        while (!value.empty() && value.back() == '\n')
            value.remove_suffix(1);
        ++field;
        if (field == 4)
            haveParent = parseNumber(value, &out->parentPid);
        if (field == 22)
            haveStart = parseNumber(value, startTicks);
        at = end;
    }
    return haveParent && haveStart;
}

bool parseTracerPid(std::string_view status, pid_t* tracer) {
    constexpr std::string_view key = "TracerPid:";
    auto at = status.find(key);
    if (at == std::string_view::npos)
        return false;
    at += key.size();
    while (at < status.size() && (status[at] == ' ' || status[at] == '\t'))
        ++at;
    auto end = status.find('\n', at);
    return parseNumber(status.substr(at, end == std::string_view::npos ? status.npos : end - at), tracer);
}

bool parseBootTime(std::string_view stat, int64_t* bootSeconds) {
    auto at = stat.find("\nbtime ");
    if (at == std::string_view::npos)
        return false;
    at += 7;
    auto end = stat.find('\n', at);
    return parseNumber(stat.substr(at, end == std::string_view::npos ? stat.npos : end - at), bootSeconds);
}

int processRecord(pid_t pid, ProcessRecord* out) {
    *out = ProcessRecord{};
    if (pid <= 0)
        return ESRCH;
    bool ok = false;
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat = readFile(base + "/stat", &ok);
    if (!ok)
        return ESRCH;
    uint64_t startTicks = 0;
    if (!parseProcessStat(stat, out, &startTicks))
        return EINVAL;
    std::string status = readFile(base + "/status", &ok);
    pid_t tracer = 0;
    out->traced = ok && parseTracerPid(status, &tracer) && tracer != 0;
    int64_t boot = 0;
    std::string system = readFile("/proc/stat", &ok);
    long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (ok && parseBootTime(system, &boot) && ticksPerSecond > 0) {
        out->startSeconds = boot + static_cast<int64_t>(startTicks / static_cast<uint64_t>(ticksPerSecond));
        out->startMicroseconds = static_cast<int32_t>((startTicks % static_cast<uint64_t>(ticksPerSecond)) *
                                                      1000000 / static_cast<uint64_t>(ticksPerSecond));
    }
    return 0;
}

}  // namespace plat::machine
