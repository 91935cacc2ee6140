#include "crashcapture/KCRCrashMachExceptionPortSet.h"

#include <signal.h>

#include <string>

#include "crashcapture/KCRAsyncErrors.h"
#include "crashcapture/KCRCrashReporterLog.h"
#include "platform/foundation/Format.h"

namespace kcr {

namespace pm = plat::machine;

KCRCrashMachExceptionPort::KCRCrashMachExceptionPort(mach_port_t serverPort, uint32_t mask, int behavior,
                                                     int flavor)
    : serverPort_(serverPort), mask_(mask), behavior_(behavior), flavor_(flavor) {
    if (!pm::machPortValid(serverPort))
        return;
    const kern_return_t result = pm::machPortModSendRefs(serverPort, 1);
    if (result != pm::KERN_SUCCESS) {
        kcr::log("Unexpected error incrementing mach port reference: %d", result);
        return;
    }
    held_ = true;
}

KCRCrashMachExceptionPort::~KCRCrashMachExceptionPort() {
    if (!held_)
        return;
    const kern_return_t result = pm::machPortModSendRefs(serverPort_, -1);
    if (result != pm::KERN_SUCCESS)
        kcr::log("Unexpected error incrementing mach port reference: %d", result);
}

namespace {

std::shared_ptr<KCRCrashMachExceptionPortSet> adopt(const pm::ExceptionPorts& ports) {
    kcr_mach_exception_port_set set;
    set.count = ports.count;
    for (uint32_t i = 0; i < ports.count; ++i) {
        set.masks[i] = ports.masks[i];
        set.ports[i] = ports.ports[i];
        set.behaviors[i] = ports.behaviors[i];
        set.flavors[i] = ports.flavors[i];
    }
    return std::make_shared<KCRCrashMachExceptionPortSet>(set);
}

bool registerPort(const KCRCrashMachExceptionPort& port, bool task, pid_t thread,
                  std::shared_ptr<KCRCrashMachExceptionPortSet>* previous, plat::ErrorPtr* error) {
    pm::ExceptionPorts old;
    const kern_return_t result = task ? pm::taskSwapExceptionPorts(port.mask(), port.server_port(),
                                                                   port.behavior(), port.flavor(), &old)
                                      : pm::threadSwapExceptionPorts(thread, port.mask(), port.server_port(),
                                                                     port.behavior(), port.flavor(), &old);
    if (result != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, result, "Failed to swap mach exception ports");
        return false;
    }
    // Adopting gives the references back when nobody asked for the set.
    auto set = adopt(old);
    if (previous != nullptr)
        *previous = std::move(set);
    return true;
}

std::shared_ptr<KCRCrashMachExceptionPortSet> fetch(bool task, pid_t thread, uint32_t mask,
                                                    plat::ErrorPtr* error) {
    pm::ExceptionPorts ports;
    const kern_return_t result =
        task ? pm::taskGetExceptionPorts(mask, &ports) : pm::threadGetExceptionPorts(thread, mask, &ports);
    if (result != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, result, "Failed to fetch mach exception ports");
        return nullptr;
    }
    return adopt(ports);
}

}  // namespace

bool KCRCrashMachExceptionPort::registerForTask(std::shared_ptr<KCRCrashMachExceptionPortSet>* previous,
                                                plat::ErrorPtr* error) {
    return registerPort(*this, true, 0, previous, error);
}

bool KCRCrashMachExceptionPort::registerForThread(pid_t thread,
                                                  std::shared_ptr<KCRCrashMachExceptionPortSet>* previous,
                                                  plat::ErrorPtr* error) {
    return registerPort(*this, false, thread, previous, error);
}

std::shared_ptr<KCRCrashMachExceptionPortSet> KCRCrashMachExceptionPort::exceptionPortsForTask(
    uint32_t mask, plat::ErrorPtr* error) {
    return fetch(true, 0, mask, error);
}

std::shared_ptr<KCRCrashMachExceptionPortSet> KCRCrashMachExceptionPort::exceptionPortsForThread(
    pid_t thread, uint32_t mask, plat::ErrorPtr* error) {
    return fetch(false, thread, mask, error);
}

KCRCrashMachExceptionPortSet::KCRCrashMachExceptionPortSet(Ports ports) : ports_(std::move(ports)) {
    if (ports_.size() > pm::EXC_TYPES_COUNT) {
        throw plat::Exception(plat::InvalidArgumentException,
                              plat::format("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                           static_cast<unsigned long>(ports_.size()),
                                           static_cast<unsigned long>(pm::EXC_TYPES_COUNT)));
    }
    for (const auto& port : ports_) {
        const uint32_t i = representation_.count++;
        representation_.masks[i] = port->mask();
        representation_.ports[i] = port->server_port();
        representation_.behaviors[i] = port->behavior();
        representation_.flavors[i] = port->flavor();
    }
}

KCRCrashMachExceptionPortSet::KCRCrashMachExceptionPortSet(
    const kcr_mach_exception_port_set& representation) {
    if (representation.count > pm::EXC_TYPES_COUNT) {
        throw plat::Exception(plat::InvalidArgumentException,
                              plat::format("Count of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                           static_cast<unsigned long>(representation.count),
                                           static_cast<unsigned long>(pm::EXC_TYPES_COUNT)));
    }
    for (uint32_t i = 0; i < representation.count; ++i) {
        ports_.push_back(std::make_shared<KCRCrashMachExceptionPort>(
            representation.ports[i], representation.masks[i], representation.behaviors[i],
            representation.flavors[i]));
        // Each port object took its own reference: the structure's is consumed.
        // (Dropping a reference held cannot fail.)
        if (pm::machPortValid(representation.ports[i]))
            (void)pm::machPortModSendRefs(representation.ports[i], -1);
    }
    representation_ = representation;
}

kern_return_t mach_exception_forward(mach_port_t /*task*/, mach_port_t thread, int exception_type,
                                     const int64_t* codes, uint32_t code_count,
                                     const kcr_mach_exception_port_set* set) {
    if (set == nullptr || exception_type <= 0 || exception_type >= static_cast<int>(pm::EXC_TYPES_COUNT))
        return pm::KERN_FAILURE;
    const uint32_t bit = 1u << exception_type;
    const uint32_t count = set->count < pm::EXC_TYPES_COUNT ? set->count : pm::EXC_TYPES_COUNT;
    for (uint32_t i = 0; i < count; ++i) {
        if (!pm::machPortValid(set->ports[i]) || (set->masks[i] & bit) == 0)
            continue;
        const bool codes64 = (set->behaviors[i] & pm::MACH_EXCEPTION_CODES) != 0;
        const int behavior = set->behaviors[i] & ~pm::MACH_EXCEPTION_CODES;
        const pid_t tid = static_cast<pid_t>(thread);
        if (behavior == pm::EXCEPTION_DEFAULT)
            return pm::exceptionRaise(set->ports[i], tid, exception_type, codes, code_count, codes64);
        if (behavior == pm::EXCEPTION_STATE || behavior == pm::EXCEPTION_STATE_IDENTITY) {
            if (set->flavors[i] != pm::kThreadStateFlavor)
                return pm::KERN_INVALID_ARGUMENT;
            pm::ThreadRegisters state;
            if (!pm::exceptionThreadRegisters(tid, &state))
                return pm::KERN_INVALID_ARGUMENT;
            pm::ThreadRegisters returned;
            const kern_return_t result = pm::exceptionRaiseState(
                set->ports[i], tid, behavior == pm::EXCEPTION_STATE_IDENTITY, exception_type, codes,
                code_count, codes64, set->flavors[i], state, &returned);
            // The handler's state is what the thread goes on with.
            if (result == pm::KERN_SUCCESS)
                pm::setExceptionThreadRegisters(tid, returned);
            return result;
        }
        return pm::KERN_FAILURE;
    }
    return pm::KERN_FAILURE;
}

namespace {

// A kernel signal code carried as an exception code; anything outside the
// range of the kernel's fault codes reads as 0 (no code).
int kernel_code(int64_t value) {
    return value > 0 && value < 0x80 ? static_cast<int>(value) : 0;
}

}  // namespace

bool async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                      int* signo, int* code, uint64_t* address) {
    if (code_count < 2 || codes == nullptr)
        return false;
    const int64_t first = codes[0];
    const uint64_t subcode = static_cast<uint64_t>(codes[1]);
    int number = 0;
    int signal_code = 0;
    switch (exception_type) {
        case pm::EXC_BAD_ACCESS:
            // The codes the fault bridge gives (see faultToException), back
            // to the signal and code the kernel raised.
            switch (first) {
                case 1:  // no mapping at the address
                    number = SIGSEGV;
                    signal_code = SEGV_MAPERR;
                    break;
                case 2:  // mapped, but the access is not permitted
                    number = SIGSEGV;
                    signal_code = SEGV_ACCERR;
                    break;
                case 13:  // general protection: the kernel knows no address
                    number = SIGSEGV;
                    signal_code = SI_KERNEL;
                    break;
                default:
                    number = SIGBUS;
                    signal_code = BUS_ADRERR;
                    break;
            }
            break;
        case pm::EXC_BAD_INSTRUCTION:
            // The first code is the kernel's ILL_* code.
            number = SIGILL;
            signal_code = kernel_code(first);
            break;
        case pm::EXC_ARITHMETIC:
            // The first code is the kernel's FPE_* code.
            number = SIGFPE;
            signal_code = kernel_code(first);
            break;
        case pm::EXC_EMULATION:
            // No emulation trap signal here: the nearest is an illegal instruction.
            number = SIGILL;
            break;
        case pm::EXC_SOFTWARE:
            switch (first) {
                case 0x10000:
                    number = SIGSYS;
                    break;
                case 0x10001:
                    number = SIGPIPE;
                    break;
                case 0x10003:
                    number = SIGKILL;
                    break;
                default:
                    number = SIGABRT;
                    break;
            }
            break;
        case pm::EXC_BREAKPOINT:
            number = SIGTRAP;
            signal_code = TRAP_BRKPT;
            break;
        default:
            return false;
    }
    *signo = number;
    *code = signal_code;
    *address = subcode;
    return true;
}

}  // namespace kcr
