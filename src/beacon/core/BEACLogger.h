// The telemetry SDK's logger: one process-wide level, one replaceable handler
// and one entry point that hands a lazily built message to the handler.
//
// The default handler prints "[tag] LEVEL: function/line message" through
// plat::Log when the message's level is at or above the current level (level
// 99, none, never prints). A replacement handler receives every message and
// filters by itself. Setting the level or the handler marks the level as
// user-defined.
//
// Threads: every member may be called from any thread. The handler is held by
// shared pointer and copied under a lock before it is called, so replacing it
// while another thread logs is safe; a call already under way finishes with
// the handler it started with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Format.h"

using BEACLogLevel = uint64_t;
inline constexpr BEACLogLevel BEACLogLevelVerbose = 2;
inline constexpr BEACLogLevel BEACLogLevelDebug = 3;
inline constexpr BEACLogLevel BEACLogLevelInfo = 4;
inline constexpr BEACLogLevel BEACLogLevelWarning = 5;
inline constexpr BEACLogLevel BEACLogLevelError = 6;
inline constexpr BEACLogLevel BEACLogLevelAssert = 7;
inline constexpr BEACLogLevel BEACLogLevelNone = 99;

// The tag of every component of the core.
inline constexpr const char* kBEACLogTag = "Beacon";

using BEACLogMessageProvider = std::function<std::string()>;
using BEACLogHandler =
    std::function<void(const BEACLogMessageProvider& messageProvider, BEACLogLevel level,
                       const std::string& tag, const char* file, const char* function, uint32_t line)>;

class BEACLogger {
  public:
    static BEACLogLevel currentLogLevel();
    static void setCurrentLogLevel(BEACLogLevel level);
    // An empty function when none is set.
    static BEACLogHandler logHandler();
    // An empty handler is allowed: nothing is logged then.
    static void setLogHandler(BEACLogHandler handler);
    static void logMessage(const BEACLogMessageProvider& messageProvider, BEACLogLevel level,
                           const std::string& tag, const char* file, const char* function, uint32_t line);
    static bool isUserDefinedLogLevel();
    static void setIsUserDefinedLogLevel(bool value);

    // The handler installed at start.
    static void defaultLogHandler(const BEACLogMessageProvider& messageProvider, BEACLogLevel level,
                                  const std::string& tag, const char* file, const char* function,
                                  uint32_t line);
    // "VERBOSE" ... "ASSERT"; nullptr for any other level.
    static const char* levelName(BEACLogLevel level);
};

// For SDK wrappers in other languages.
class BEACWrapperLogger {
  public:
    static void BEACWrapperLog(const BEACLogMessageProvider& messageProvider, const std::string& tag,
                               BEACLogLevel level);
};

// BEACLog(level, tag, format, args...): the message is formatted only when the
// handler asks for it.
#define BEACLog(level, tag, ...)                                                                           \
    ::BEACLogger::logMessage([&]() -> std::string { return ::plat::format(__VA_ARGS__); }, (level), (tag), \
                             __FILE__, __func__, static_cast<uint32_t>(__LINE__))
#define BEACLogVerbose(tag, ...) BEACLog(BEACLogLevelVerbose, tag, __VA_ARGS__)
#define BEACLogDebug(tag, ...) BEACLog(BEACLogLevelDebug, tag, __VA_ARGS__)
#define BEACLogInfo(tag, ...) BEACLog(BEACLogLevelInfo, tag, __VA_ARGS__)
#define BEACLogWarning(tag, ...) BEACLog(BEACLogLevelWarning, tag, __VA_ARGS__)
#define BEACLogError(tag, ...) BEACLog(BEACLogLevelError, tag, __VA_ARGS__)
