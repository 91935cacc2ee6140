// The exception server: a thread that receives exception requests on its
// own port and answers each with what a callback decides. Stopping it (by
// destroying the object) sends a stop message to its notify port and waits
// for the thread to finish, then gives back its ports.
//
// Threads: the callback runs on the server thread, one exception at a time;
// everything else is called from ordinary threads, and the object is
// destroyed by one of them. Destroying it from the callback (the server
// thread would wait for itself) ends the process.
#pragma once

#include <pthread.h>

#include <memory>

#include "crashcapture/KCRCrashMachExceptionPortSet.h"

namespace kcr {

// Decides an exception: KERN_SUCCESS when it was handled (the thread goes
// on), anything else lets it go on to the signal.
using MachExceptionCallbackFunction = kern_return_t (*)(mach_port_t task, mach_port_t thread,
                                                        int exception_type, const int64_t* codes,
                                                        uint32_t code_count, void* context);

// The stop message's id.
inline constexpr int32_t kMachExceptionServerStopId = static_cast<int32_t>(0xDEADBEEF);

class KCRCrashMachExceptionServer {
  public:
    // Null with an error (code 1) when a port, the set or the thread cannot
    // be made; nothing made is left behind.
    static std::unique_ptr<KCRCrashMachExceptionServer> create(MachExceptionCallbackFunction callback,
                                                               void* context, plat::ErrorPtr* error);
    ~KCRCrashMachExceptionServer();
    KCRCrashMachExceptionServer(const KCRCrashMachExceptionServer&) = delete;
    KCRCrashMachExceptionServer& operator=(const KCRCrashMachExceptionServer&) = delete;

    // A registration of the server port: 64-bit codes, the default behaviour,
    // the host's thread state flavour.
    std::shared_ptr<KCRCrashMachExceptionPort> exceptionPortWithMask(uint32_t mask, plat::ErrorPtr* error);
    // The server port with one more send reference (the caller's), or
    // MACH_PORT_NULL with code 1 "Failed to insert Mach send right".
    mach_port_t copySendRightForServer(plat::ErrorPtr* error);
    // The server thread's id.
    pid_t serverThread();
    // The ports (for tests).
    mach_port_t serverPort() const;
    mach_port_t notifyPort() const;

    struct Context;

  private:
    KCRCrashMachExceptionServer() = default;
    std::unique_ptr<Context> context_;
};

}  // namespace kcr
