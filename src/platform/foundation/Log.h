// The process-wide log line: one line on standard error per message,
//
//   2024-05-01 14:03:07.123 myprogram[4242:4250] message
//
// with the local time to the millisecond, the process name, the process id and
// the calling thread's id. A line is written with a single write(2), so lines
// from several threads never interleave. A message that already ends with a
// line break gets no second one.
//
// Tests replace the output with setLogSink: the sink then receives each
// message (without the time and process prefix) instead of standard error.
//
// Thread-safe: Log, LogFormat and setLogSink may be called from any thread.
#pragma once

#include <functional>
#include <string_view>

#include "platform/foundation/Format.h"

namespace plat {

void Log(std::string_view message);

// Log(format(fmt, args...)); see Format.h for the conversions.
template <class... Args>
void LogFormat(std::string_view fmt, const Args&... args) {
    Log(format(fmt, args...));
}

// Receives each logged message in place of standard error. Calls are made one
// at a time (under a lock), so a sink needs no locking of its own but must not
// call Log, LogFormat or setLogSink itself. Once setLogSink returns, the
// previous sink is never called again. nullptr restores standard error.
using LogSink = std::function<void(std::string_view message)>;
void setLogSink(LogSink sink);

}  // namespace plat
