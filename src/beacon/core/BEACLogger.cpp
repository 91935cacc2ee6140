#include "beacon/core/BEACLogger.h"

#include <atomic>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/Mutex.h"

namespace {

std::atomic<BEACLogLevel> currentLevel{BEACLogLevelAssert};
std::atomic<bool> userDefined{false};
// Never destroyed: queue threads may still log while the process exits,
// after static destructors have run.
struct HandlerState {
    plat::Mutex mutex;
    std::shared_ptr<const BEACLogHandler> handler GUARDED_BY(mutex) =
        std::make_shared<const BEACLogHandler>(&BEACLogger::defaultLogHandler);
};

HandlerState& handlerState() {
    static auto* state = new HandlerState();
    return *state;
}

std::shared_ptr<const BEACLogHandler> handlerSnapshot() {
    auto& state = handlerState();
    plat::MutexLock lock(state.mutex);
    return state.handler;
}

}  // namespace

BEACLogLevel BEACLogger::currentLogLevel() {
    return currentLevel.load();
}

void BEACLogger::setCurrentLogLevel(BEACLogLevel level) {
    plat::MutexLock lock(handlerState().mutex);
    userDefined = true;
    currentLevel = level;
}

BEACLogHandler BEACLogger::logHandler() {
    auto handler = handlerSnapshot();
    return handler ? *handler : BEACLogHandler();
}

void BEACLogger::setLogHandler(BEACLogHandler handler) {
    auto replacement = handler ? std::make_shared<const BEACLogHandler>(std::move(handler)) : nullptr;
    auto& state = handlerState();
    plat::MutexLock lock(state.mutex);
    userDefined = true;
    state.handler = std::move(replacement);
}

void BEACLogger::logMessage(const BEACLogMessageProvider& messageProvider, BEACLogLevel level,
                            const std::string& tag, const char* file, const char* function, uint32_t line) {
    if (auto handler = handlerSnapshot())
        (*handler)(messageProvider, level, tag, file, function, line);
}

bool BEACLogger::isUserDefinedLogLevel() {
    return userDefined.load();
}

void BEACLogger::setIsUserDefinedLogLevel(bool value) {
    userDefined = value;
}

const char* BEACLogger::levelName(BEACLogLevel level) {
    switch (level) {
        case BEACLogLevelVerbose:
            return "VERBOSE";
        case BEACLogLevelDebug:
            return "DEBUG";
        case BEACLogLevelInfo:
            return "INFO";
        case BEACLogLevelWarning:
            return "WARNING";
        case BEACLogLevelError:
            return "ERROR";
        case BEACLogLevelAssert:
            return "ASSERT";
        default:
            return nullptr;
    }
}

void BEACLogger::defaultLogHandler(const BEACLogMessageProvider& messageProvider, BEACLogLevel level,
                                   const std::string& tag, const char* /*file*/, const char* function,
                                   uint32_t line) {
    if (!messageProvider || currentLevel.load() > level || level == BEACLogLevelNone)
        return;
    plat::LogFormat("[%@] %@: %@/%d %@", tag, levelName(level), function, line, messageProvider());
}

void BEACWrapperLogger::BEACWrapperLog(const BEACLogMessageProvider& messageProvider, const std::string& tag,
                                       BEACLogLevel level) {
    BEACLogger::logMessage(messageProvider, level, tag, "BEACWrapperLogger.cpp", "BEACWrapperLog", 0);
}
