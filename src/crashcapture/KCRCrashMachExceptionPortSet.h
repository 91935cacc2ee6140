// Exception port registrations: one port with the exception types it takes
// and how (KCRCrashMachExceptionPort), and a set of them with a fixed-size
// form that crash-time code can read (kcr_mach_exception_port_set).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/machine/MachExceptions.h"

namespace kcr {

using plat::machine::kern_return_t;
using plat::machine::mach_port_t;

class KCRCrashMachExceptionPortSet;

// Registrations as plain data: at most EXC_TYPES_COUNT entries, each port
// with one send reference.
struct kcr_mach_exception_port_set {
    uint32_t count = 0;
    uint32_t masks[plat::machine::EXC_TYPES_COUNT] = {};
    mach_port_t ports[plat::machine::EXC_TYPES_COUNT] = {};
    int32_t behaviors[plat::machine::EXC_TYPES_COUNT] = {};
    int32_t flavors[plat::machine::EXC_TYPES_COUNT] = {};
};

class KCRCrashMachExceptionPort {
  public:
    // Takes one send reference on a valid port while it lives (a failure is
    // logged and the object holds none).
    KCRCrashMachExceptionPort(mach_port_t serverPort, uint32_t mask, int behavior, int flavor);
    ~KCRCrashMachExceptionPort();
    KCRCrashMachExceptionPort(const KCRCrashMachExceptionPort&) = delete;
    KCRCrashMachExceptionPort& operator=(const KCRCrashMachExceptionPort&) = delete;

    mach_port_t server_port() const { return serverPort_; }
    uint32_t mask() const { return mask_; }
    int behavior() const { return behavior_; }
    int flavor() const { return flavor_; }

    // Puts this registration in place of the task's (a thread's) for its
    // mask; the registrations it replaced go to `previous` when given.
    // False with code 1 "Failed to swap mach exception ports".
    bool registerForTask(std::shared_ptr<KCRCrashMachExceptionPortSet>* previous, plat::ErrorPtr* error);
    bool registerForThread(pid_t thread, std::shared_ptr<KCRCrashMachExceptionPortSet>* previous,
                           plat::ErrorPtr* error);

    // The current registrations for `mask`; null with code 1 "Failed to
    // fetch mach exception ports".
    static std::shared_ptr<KCRCrashMachExceptionPortSet> exceptionPortsForTask(uint32_t mask,
                                                                               plat::ErrorPtr* error);
    static std::shared_ptr<KCRCrashMachExceptionPortSet> exceptionPortsForThread(pid_t thread, uint32_t mask,
                                                                                 plat::ErrorPtr* error);

  private:
    bool held_ = false;
    mach_port_t serverPort_;
    uint32_t mask_;
    int behavior_;
    int flavor_;
};

class KCRCrashMachExceptionPortSet {
  public:
    using Ports = std::vector<std::shared_ptr<KCRCrashMachExceptionPort>>;
    // More than EXC_TYPES_COUNT ports is a programming error
    // (plat::InvalidArgumentException).
    explicit KCRCrashMachExceptionPortSet(Ports ports);
    // Takes over the references the structure holds (one per entry).
    explicit KCRCrashMachExceptionPortSet(const kcr_mach_exception_port_set& representation);

    const Ports& set() const { return ports_; }
    const kcr_mach_exception_port_set& asyncSafeRepresentation() const { return representation_; }
    Ports::const_iterator begin() const { return ports_.begin(); }
    Ports::const_iterator end() const { return ports_.end(); }

  private:
    Ports ports_;
    kcr_mach_exception_port_set representation_;
};

// Offers an exception to the first registration of `set` that is valid and
// takes its type, as that registration's behaviour asks; the handler's
// answer, or KERN_FAILURE when none takes it. A state the handler returns is
// applied to the waiting thread. Async-signal-safe.
kern_return_t mach_exception_forward(mach_port_t task, mach_port_t thread, int exception_type,
                                     const int64_t* codes, uint32_t code_count,
                                     const kcr_mach_exception_port_set* set);

// The signal the system turns an exception into, with the kernel's signal
// code and the fault address (the second code): false when it does not map
// (fewer than 2 codes, a type outside 1..6). Async-signal-safe.
bool async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                      int* signo, int* code, uint64_t* address);

}  // namespace kcr
