#include "beacon/crashes/BEACCrashesCXXExceptionHandler.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <string>
#include <typeinfo>

namespace {

// Process-wide state, never destroyed: a terminate at exit may still read it.
struct Registry {
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
    std::vector<BEACCrashesUncaughtCXXExceptionHandler> handlers;
    bool installed = false;
    std::terminate_handler previous = nullptr;
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

class SpinLock {
  public:
    explicit SpinLock(std::atomic_flag& flag) : flag_(flag) {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SpinLock() { flag_.clear(std::memory_order_release); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

  private:
    std::atomic_flag& flag_;
};

[[noreturn]] void terminateHandler();

// The current exception's text, when its kind has one; whether the
// registered handlers hear about it at all (not for the platform's own
// exceptions, which reach the uncaught-exception handler another way).
bool classify(const std::exception_ptr& current, std::string& message, bool& hasMessage) {
    hasMessage = true;
    try {
        std::rethrow_exception(current);
    } catch (const plat::Exception&) {
        hasMessage = false;
        return false;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (const std::exception* e) {
        if (e != nullptr)
            message = e->what();
        else
            hasMessage = false;
    } catch (const std::string& e) {
        message = e;
    } catch (const std::string* e) {
        if (e != nullptr)
            message = *e;
        else
            hasMessage = false;
    } catch (const char* e) {
        if (e != nullptr)
            message = e;
        else
            hasMessage = false;
    } catch (...) {
        hasMessage = false;
    }
    return true;
}

[[noreturn]] void terminateHandler() {
    Registry& state = registry();
    std::exception_ptr current = std::current_exception();
    std::terminate_handler previous = nullptr;
    {
        SpinLock lock(state.lock);
        previous = state.previous;
        if (current) {
            BEACCrashesUncaughtCXXExceptionInfo info;
            info.exception = &current;
            const std::type_info* type = abi::__cxa_current_exception_type();
            const char* name = type != nullptr ? type->name() : nullptr;
            if (name != nullptr && *name == '*')  // the runtime's mark of an image-local type
                ++name;
            info.exceptionTypeName = name;

            // The throw site when this exception's throw was recorded on this
            // thread; otherwise the stack as it is now.
            uintptr_t frames[plat::appkit::kMaxThrowSiteFrames];
            size_t count =
                plat::appkit::currentExceptionThrowSiteFrames(frames, plat::appkit::kMaxThrowSiteFrames);
            if (count == 0) {
                void* now[plat::appkit::kMaxThrowSiteFrames + 1];
                const int taken = backtrace(now, static_cast<int>(plat::appkit::kMaxThrowSiteFrames + 1));
                for (int i = 1; i < taken; ++i)  // less this function's own frame
                    frames[count++] = reinterpret_cast<uintptr_t>(now[i]);
            }
            info.exceptionFrames = frames;
            info.exceptionFramesCount = static_cast<uint32_t>(count);

            std::string message;
            bool hasMessage = false;
            if (classify(current, message, hasMessage)) {
                info.exceptionMessage = hasMessage ? message.c_str() : nullptr;
                for (BEACCrashesUncaughtCXXExceptionHandler handler : state.handlers)
                    handler(&info);
            }
        }
    }
    if (previous != nullptr)
        previous();
    std::abort();
}

}  // namespace

void BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
    BEACCrashesUncaughtCXXExceptionHandler handler) {
    Registry& state = registry();
    SpinLock lock(state.lock);
    if (!state.installed) {
        plat::appkit::retainThrowSiteRecording();
        state.previous = std::set_terminate(terminateHandler);
        if (state.previous == terminateHandler)
            state.previous = nullptr;
        state.installed = true;
    }
    state.handlers.push_back(handler);
}

void BEACCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    BEACCrashesUncaughtCXXExceptionHandler handler) {
    Registry& state = registry();
    SpinLock lock(state.lock);
    for (auto it = state.handlers.begin(); it != state.handlers.end(); ++it) {
        if (*it == handler) {
            state.handlers.erase(it);
            break;
        }
    }
    if (!state.installed || !state.handlers.empty())
        return;
    std::terminate_handler current = std::set_terminate(state.previous);
    if (current == terminateHandler) {
        state.installed = false;
        state.previous = nullptr;
        plat::appkit::releaseThrowSiteRecording();
    } else {
        // Somebody installed a terminate handler after ours: theirs stays.
        std::set_terminate(current);
    }
}

size_t BEACCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
    Registry& state = registry();
    SpinLock lock(state.lock);
    return state.handlers.size();
}

std::string BEACCrashesDemangledTypeName(const char* name) {
    if (name == nullptr)
        return {};
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return result;
}

BEACCrashesCXXExceptionWrapperException::BEACCrashesCXXExceptionWrapperException(
    const BEACCrashesUncaughtCXXExceptionInfo* info)
    : StackedException(BEACCrashesDemangledTypeName(info != nullptr ? info->exceptionTypeName : nullptr),
                       info != nullptr && info->exceptionMessage != nullptr ? info->exceptionMessage : ""),
      info_(info) {}

std::vector<uintptr_t> BEACCrashesCXXExceptionWrapperException::callStackReturnAddresses() const {
    if (info_ == nullptr || info_->exceptionFrames == nullptr)
        return {};
    return std::vector<uintptr_t>(info_->exceptionFrames,
                                  info_->exceptionFrames + info_->exceptionFramesCount);
}

void BEACCrashesUncaughtCXXExceptionCallback(const BEACCrashesUncaughtCXXExceptionInfo* info) {
    if (plat::appkit::UncaughtExceptionHandler handler = plat::appkit::getUncaughtExceptionHandler()) {
        BEACCrashesCXXExceptionWrapperException exception(info);
        handler(exception);
    }
    std::abort();
}
