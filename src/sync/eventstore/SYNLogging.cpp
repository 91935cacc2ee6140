#include "sync/eventstore/SYNLogging.h"

#include <atomic>
#include "platform/foundation/Log.h"
#include "platform/foundation/Mutex.h"

namespace {

std::atomic<int> gLevel{SYNLoggingLevelError};

plat::Mutex gFunctionMutex;
// Held through a shared_ptr so that a reader can call the function while
// another thread replaces it.
std::shared_ptr<const SYNLogFunction> gFunction GUARDED_BY(gFunctionMutex);

void defaultLogFunction(std::string_view format, std::span<const plat::FormatArg> args) {
    plat::Log(plat::formatArgs(format, args));
}

}  // namespace

int SYNReadLoggingLevel() {
    return gLevel.load(std::memory_order_relaxed);
}

void SYNSetLoggingLevel(int level) {
    gLevel.store(level, std::memory_order_relaxed);
}

SYNLogFunction SYNReadLogFunction() {
    plat::MutexLock lock(gFunctionMutex);
    if (gFunction) {
        return *gFunction;
    }
    return defaultLogFunction;
}

void SYNSetLogFunction(SYNLogFunction function) {
    auto replacement = function ? std::make_shared<const SYNLogFunction>(std::move(function)) : nullptr;
    plat::MutexLock lock(gFunctionMutex);
    gFunction = std::move(replacement);
}

std::string SYNMethodName(std::string_view prettyFunction) {
    // clang writes the anonymous namespace as "(anonymous namespace)", g++ as
    // "{anonymous}": take g++'s form, whose brace the search below skips.
    std::string normalised(prettyFunction);
    static constexpr std::string_view kClangAnonymous = "(anonymous namespace)";
    for (auto at = normalised.find(kClangAnonymous); at != std::string::npos;
         at = normalised.find(kClangAnonymous, at)) {
        normalised.replace(at, kClangAnonymous.size(), "{anonymous}");
    }
    prettyFunction = normalised;
    auto paren = prettyFunction.find('(');
    std::string_view head = prettyFunction.substr(0, paren);
    auto blank = head.rfind(' ');
    if (blank != std::string_view::npos) {
        head.remove_prefix(blank + 1);
    }
    // Pointer and reference return types can stick to the name ("*Foo::bar").
    while (!head.empty() && (head.front() == '*' || head.front() == '&')) {
        head.remove_prefix(1);
    }
    return std::string(head);
}

void SYNLogMessage(int level, std::string_view prettyFunction, int line, const std::string& message) {
    if (!SYNShouldLog(level)) {
        return;
    }
    const std::string method = SYNMethodName(prettyFunction);
    const plat::FormatArg args[] = {message, method, line};
    SYNReadLogFunction()(SYNLogLineFormat, args);
}
