// Facts about the host and its processes under the names the system-control
// interface of other platforms gives them, answered from uname, /proc, /sys
// and sysconf through one table, so that callers written against that
// interface keep their contracts (sizes, ENOMEM for a short buffer, ENOENT for
// an unknown name).
//
// Ordinary time only: the answers read files. Thread-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat::machine {

// Named facts:
//   "kern.osrelease"    string  the kernel release (as plat::ProcessInfo reports the OS version)
//   "kern.osversion"    string  the kernel version (build) text
//   "kern.ostype"       string  the kernel name ("Linux")
//   "hw.machine"        string  the machine name ("x86_64")
//   "hw.model"          string  the DMI product name, when readable
//   "hw.cputype"        int32   the processor as a Mach CPU type (0x01000007 on x86-64)
//   "hw.cpusubtype"     int32   its subtype (3)
//   "hw.logicalcpu_max" int32   configured logical processors
//   "hw.physicalcpu_max" int32  distinct physical cores (the logical count when unknown)
//   "hw.pagesize"       int32   the page size
// With a null buffer, sets *size to the bytes needed and returns 0. With a
// buffer, copies the value (strings with their NUL) and returns 0, or ENOMEM
// with *size set to the bytes needed when it is too small. ENOENT for a name
// not in the table or a fact this host does not have.
int systemFact(std::string_view name, void* buffer, size_t* size);

// What the kernel says about one process.
struct ProcessRecord {
    pid_t pid = 0;
    pid_t parentPid = 0;
    char command[16] = {};     // the command name, NUL-padded (not necessarily UTF-8)
    bool traced = false;       // a tracer is attached
    int64_t startSeconds = 0;  // since 1970
    int32_t startMicroseconds = 0;
};

// 0 and the record, or an errno value (ESRCH for a process that does not exist).
int processRecord(pid_t pid, ProcessRecord* out);

// Parsers of the /proc texts, exposed for tests. The stat line's command name
// lies between the first "(" and the last ")", so names holding ") " parse.
[[nodiscard]] bool parseProcessStat(std::string_view stat, ProcessRecord* out, uint64_t* startTicks);
[[nodiscard]] bool parseTracerPid(std::string_view status, pid_t* tracer);
[[nodiscard]] bool parseBootTime(std::string_view stat, int64_t* bootSeconds);

}  // namespace plat::machine
