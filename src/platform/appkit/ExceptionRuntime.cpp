#include "platform/appkit/ExceptionRuntime.h"

#include <cxxabi.h>

#include <atomic>
#include <cstring>

namespace plat::appkit {

namespace {

std::atomic<UncaughtExceptionHandler> gUncaughtHandler{nullptr};

}  // namespace

UncaughtExceptionHandler getUncaughtExceptionHandler() {
    return gUncaughtHandler.load();
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
    gUncaughtHandler.store(handler);
}

const void* thrownObject(const std::exception_ptr& exception) {
    // The C++ runtime's exception pointer is exactly the thrown object's
    // address (reference-counted through the exception header before it).
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    if (!exception)
        return nullptr;
    const void* object = nullptr;
    std::memcpy(&object, &exception, sizeof object);
    return object;
}

size_t currentExceptionThrowSiteFrames(uintptr_t* frames, size_t capacity) {
    std::exception_ptr current = std::current_exception();
    if (!current)
        return 0;
    return throwSiteFrames(thrownObject(current), abi::__cxa_current_exception_type(), frames, capacity);
}

std::vector<uintptr_t> callStackReturnAddresses(const Exception& exception) {
    if (const auto* stacked = dynamic_cast<const StackedException*>(&exception)) {
        std::vector<uintptr_t> own = stacked->callStackReturnAddresses();
        if (!own.empty())
            return own;
    }
    std::exception_ptr current = std::current_exception();
    if (!current || thrownObject(current) != static_cast<const void*>(&exception))
        return {};
    std::vector<uintptr_t> frames(kMaxThrowSiteFrames);
    frames.resize(throwSiteFrames(&exception, nullptr, frames.data(), frames.size()));
    return frames;
}

}  // namespace plat::appkit
