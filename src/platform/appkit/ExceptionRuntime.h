// The application's exception runtime: the process's uncaught-exception
// handler slot, exceptions that carry the stack they were raised on, and the
// throw sites of native exceptions.
//
// Throw sites: every `throw` compiled into the program goes through our own
// definition of the C++ ABI's throw entry point, which forwards to the C++
// runtime's. While recording is on (somebody retained it), it first stores
// the return addresses of the throwing thread's stack in a per-thread record,
// so that a handler that meets the exception later (a terminate handler, after
// the stack unwound or on a rethrow) can still report where it was thrown.
// A record belongs to one thrown object: it is used only for that object.
//
// Threads: the slot and the recording switch may be used from any thread;
// records are per thread and need no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/foundation/Error.h"

namespace plat::appkit {

// Called with an exception that nobody handled; the process ends afterwards.
using UncaughtExceptionHandler = void (*)(const Exception& exception);

UncaughtExceptionHandler getUncaughtExceptionHandler();
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

// An exception that carries the return addresses of the stack it was raised
// on, innermost first. Subclasses may compute them.
class StackedException : public Exception {
  public:
    StackedException(std::string name, std::string reason, std::vector<uintptr_t> returnAddresses = {},
                     Dictionary userInfo = {})
        : Exception(std::move(name), std::move(reason), std::move(userInfo)),
          returnAddresses_(std::move(returnAddresses)) {}
    virtual std::vector<uintptr_t> callStackReturnAddresses() const { return returnAddresses_; }

  private:
    std::vector<uintptr_t> returnAddresses_;
};

// The stack of an exception: its own addresses when it carries them; else,
// when it is the exception being handled on this thread and its throw site
// was recorded, the throw site; else empty.
std::vector<uintptr_t> callStackReturnAddresses(const Exception& exception);

inline constexpr size_t kMaxThrowSiteFrames = 128;  // also in ThrowSiteHook.cpp

// Recording of throw sites is on while retained at least once.
void retainThrowSiteRecording();
void releaseThrowSiteRecording();
bool isRecordingThrowSites();

// The thrown object an exception pointer holds (null for none).
const void* thrownObject(const std::exception_ptr& exception);

// Copies into `frames` the recorded throw site of `object` (of type `type`,
// or any type when null), starting with the throwing function, when it is
// the object last thrown on this thread while recording was on. Returns the
// number of frames copied: 0 when there is no such record.
size_t throwSiteFrames(const void* object, const std::type_info* type, uintptr_t* frames, size_t capacity);

// The throw site of the exception being handled on this thread (0 frames
// when none, or when it was not recorded).
size_t currentExceptionThrowSiteFrames(uintptr_t* frames, size_t capacity);

}  // namespace plat::appkit
