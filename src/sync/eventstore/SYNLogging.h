// The sync framework's logging: one process-wide level and one replaceable log
// function.
//
// A log site of level N writes only when the current level is at least N
// (1 error, 2 warning, 3 trace, 4 verbose; 1 unless set). It calls the log
// function with the format "  %-60s  <<<  %-70s line %d" and three arguments:
// the message, the calling function's name ("Class::method") and the source
// line. The default log function formats the line and hands it to plat::Log.
//
//   SYN_LOG(SYNLoggingLevelWarning, "Could not import data file: %@", error);
//
// Threads: the level and the function may be read and replaced from any
// thread; a log function may be called from several threads at once.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Format.h"

enum SYNLoggingLevel : int {
    SYNLoggingLevelError = 1,
    SYNLoggingLevelWarning = 2,
    SYNLoggingLevelTrace = 3,
    SYNLoggingLevelVerbose = 4,
};

// Receives a format and its arguments, as the platform's log function does.
using SYNLogFunction = std::function<void(std::string_view format, std::span<const plat::FormatArg> args)>;

inline constexpr const char* SYNLogLineFormat = "  %-60s  <<<  %-70s line %d";

int SYNReadLoggingLevel();
void SYNSetLoggingLevel(int level);

// Never empty: the default function when none was set.
SYNLogFunction SYNReadLogFunction();
// An empty function restores the default.
void SYNSetLogFunction(SYNLogFunction function);

// "Class::method" out of a compiler's pretty function name, for log lines:
// the text before the first "(" after its last blank, so that return types and
// lambda suffixes are dropped.
std::string SYNMethodName(std::string_view prettyFunction);

// Formats the message and passes it, with the method name and line, to the log
// function, when `level` is at most the current level.
void SYNLogMessage(int level, std::string_view prettyFunction, int line, const std::string& message);

inline bool SYNShouldLog(int level) {
    return level <= SYNReadLoggingLevel();
}

#define SYN_LOG(level, ...)                                                                   \
    do {                                                                                      \
        if (SYNShouldLog(level)) {                                                            \
            SYNLogMessage((level), __PRETTY_FUNCTION__, __LINE__, plat::format(__VA_ARGS__)); \
        }                                                                                     \
    } while (0)
