// Uncaught native exceptions: a registry of handlers called from our
// terminate handler with the exception's type, message and throw-site stack,
// the platform exception that wraps such a record, and the crash service's
// handler that hands the wrapper to the process's uncaught-exception handler
// (crash capture's, once it is enabled).
//
// The terminate handler is installed with the first handler and put back
// when the last one is removed, unless somebody installed another terminate
// handler meanwhile: that one then stays. While it is installed, throw sites
// are recorded (plat::appkit::retainThrowSiteRecording).
//
// Threads: a spin lock guards the registry; the terminate handler holds it
// while it calls the handlers, so a handler must not add, remove or count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/appkit/ExceptionRuntime.h"

// What every handler receives.
struct BEACCrashesUncaughtCXXExceptionInfo {
    // The current exception (a std::exception_ptr).
    const void* exception = nullptr;
    // The mangled name of its type.
    const char* exceptionTypeName = nullptr;
    // Its text, when it has one (standard exceptions, strings, C strings).
    const char* exceptionMessage = nullptr;
    uint32_t exceptionFramesCount = 0;
    // The throw site's return addresses, the throwing function first.
    const uintptr_t* exceptionFrames = nullptr;
};

using BEACCrashesUncaughtCXXExceptionHandler = void (*)(const BEACCrashesUncaughtCXXExceptionInfo* info);

class BEACCrashesUncaughtCXXExceptionHandlerManager {
  public:
    // Duplicates are kept (and called as often as added).
    static void addCXXExceptionHandler(BEACCrashesUncaughtCXXExceptionHandler handler);
    // Removes the first entry equal to `handler`.
    static void removeCXXExceptionHandler(BEACCrashesUncaughtCXXExceptionHandler handler);
    static size_t countCXXExceptionHandler();
};

// The platform exception made from a record: the demangled type name (the
// mangled one when it does not demangle), the message as reason ("" when
// absent) and the throw site as its stack. The record is not owned.
class BEACCrashesCXXExceptionWrapperException : public plat::appkit::StackedException {
  public:
    explicit BEACCrashesCXXExceptionWrapperException(const BEACCrashesUncaughtCXXExceptionInfo* info);
    std::vector<uintptr_t> callStackReturnAddresses() const override;
    const BEACCrashesUncaughtCXXExceptionInfo* info() const { return info_; }

  private:
    const BEACCrashesUncaughtCXXExceptionInfo* info_;
};

// The crash service's handler: the process's uncaught-exception handler,
// when one is set, gets the wrapper; then the process aborts.
[[noreturn]] void BEACCrashesUncaughtCXXExceptionCallback(const BEACCrashesUncaughtCXXExceptionInfo* info);

// Demangles a type name; the name itself when it does not demangle, "" for
// none.
std::string BEACCrashesDemangledTypeName(const char* name);
