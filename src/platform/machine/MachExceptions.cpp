#include "platform/machine/MachExceptions.h"

#include <errno.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/foundation/Mutex.h"

namespace plat::machine {

namespace {

struct Registration {
    std::atomic<mach_port_t> port{MACH_PORT_NULL};
    std::atomic<int> behavior{0};
    std::atomic<int> flavor{0};
};

struct ThreadTable {
    std::atomic<pid_t> tid{0};
    Registration entries[EXC_TYPES_COUNT];
};

constexpr int kMaxThreadTables = 64;
Registration gTaskTable[EXC_TYPES_COUNT];
ThreadTable gThreadTables[kMaxThreadTables];
// Changes to the registration tables, one at a time. The tables are atomics
// because crash time reads them without it.
plat::Mutex gTablesMutex;

// Threads waiting in an exception, with the registers of their fault.
struct ExceptionRecord {
    std::atomic<pid_t> tid{0};
    ThreadRegisters registers;
};
constexpr int kMaxExceptionRecords = 64;
ExceptionRecord gExceptionRecords[kMaxExceptionRecords];

// Reply ports for raises, made at ordinary time.
constexpr int kReplyPorts = 8;
mach_port_t gReplyPorts[kReplyPorts] = {};
std::atomic<bool> gReplyPortBusy[kReplyPorts];
std::atomic<bool> gReplyPortsReady{false};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr uint32_t kFaultMask =
    (1u << EXC_BAD_ACCESS) | (1u << EXC_BAD_INSTRUCTION) | (1u << EXC_ARITHMETIC) | (1u << EXC_BREAKPOINT);
// The actions the bridge went over when it was last put on top, and those
// it went over the first time (what lies beneath a handler that was
// installed over the bridge and forwards to it).
struct sigaction gPreviousActions[NSIG];
struct sigaction gBaseActions[NSIG];
// Threads delivering a signal to the actions beneath the bridge.
constexpr int kMaxDelivering = 64;
std::atomic<pid_t> gDelivering[kMaxDelivering];
std::atomic<bool> gBridgeInstalled{false};

pid_t self() {
    return currentThreadId();
}

ExceptionRecord* findRecord(pid_t thread) {
    for (auto& record : gExceptionRecords) {
        if (record.tid.load(std::memory_order_acquire) == thread)
            return &record;
    }
    return nullptr;
}

int claimReplyPort() {
    if (!gReplyPortsReady.load(std::memory_order_acquire))
        return -1;
    for (int i = 0; i < kReplyPorts; ++i) {
        bool expected = false;
        if (gReplyPortBusy[i].compare_exchange_strong(expected, true))
            return i;
    }
    return -1;
}

bool prepareReplyPorts() REQUIRES(gTablesMutex) {
    if (gReplyPortsReady.load())
        return true;
    for (auto& name : gReplyPorts) {
        if (name == MACH_PORT_NULL && machPortAllocate(PortRight::Receive, &name) != KERN_SUCCESS)
            return false;
    }
    gReplyPortsReady.store(true, std::memory_order_release);
    return true;
}

// Sends the request and waits for its reply on a pooled reply port. The
// wait is sliced so that a destination destroyed meanwhile ends it.
kern_return_t roundTrip(mach_msg_header_t* request, uint32_t size, ExceptionStateReply* reply) {
    const int slot = claimReplyPort();
    if (slot < 0)
        return KERN_RESOURCE_SHORTAGE;
    const mach_port_t replyPort = gReplyPorts[slot];
    // Drop replies a timed-out earlier raise left behind.
    while (machMsg(&reply->base.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof *reply, replyPort, 0) ==
           MACH_MSG_SUCCESS) {
    }
    const mach_port_t destination = request->msgh_remote_port;
    request->msgh_bits = machMsgBits(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
    request->msgh_local_port = replyPort;
    request->msgh_size = size;
    kern_return_t result = machMsg(request, MACH_SEND_MSG, size, 0, MACH_PORT_NULL, 0);
    if (result == MACH_MSG_SUCCESS) {
        for (;;) {
            result = machMsg(&reply->base.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof *reply,
                             replyPort, 100);
            if (result != MACH_RCV_TIMED_OUT)
                break;
            if (!machPortAlive(destination)) {
                result = MACH_SEND_INVALID_DEST;
                break;
            }
        }
    }
    gReplyPortBusy[slot].store(false, std::memory_order_release);
    if (result != MACH_MSG_SUCCESS)
        return result;
    if (reply->base.header.msgh_size < sizeof(ExceptionReply) ||
        reply->base.header.msgh_id != request->msgh_id + 100)
        return KERN_FAILURE;
    return reply->base.returnCode;
}

void fillRequest(ExceptionRequest* request, mach_port_t port, pid_t thread, int exception,
                 const int64_t* codes, uint32_t codeCount, bool codes64, int32_t id) {
    std::memset(static_cast<void*>(request), 0, sizeof *request);
    request->header.msgh_remote_port = port;
    request->header.msgh_id = id;
    request->descriptorCount = 2;
    request->thread = static_cast<mach_port_t>(thread != 0 ? thread : self());
    request->task = kTaskSelf;
    request->ndr[4] = 1;  // little-endian integers
    request->exception = exception;
    request->codeCount = codeCount > 2 ? 2 : codeCount;
    for (uint32_t i = 0; i < request->codeCount; ++i) {
        const int64_t value = codes64 ? codes[i] : static_cast<int64_t>(static_cast<int32_t>(codes[i]));
        std::memcpy(
            reinterpret_cast<uint8_t*>(request) + offsetof(ExceptionRequest, codes) + i * sizeof value,
            &value, sizeof value);
    }
}

Registration* tableFor(pid_t thread, bool create) REQUIRES(gTablesMutex) {
    if (thread == 0)
        thread = self();
    ThreadTable* free = nullptr;
    for (auto& table : gThreadTables) {
        const pid_t owner = table.tid.load();
        if (owner == thread)
            return table.entries;
        if (owner == 0 && free == nullptr)
            free = &table;
    }
    if (!create || free == nullptr)
        return nullptr;
    free->tid.store(thread);
    return free->entries;
}

// The registrations of `mask` in `table`, the caller owning one send
// reference to each port listed.
void collect(Registration* table, uint32_t mask, ExceptionPorts* out) REQUIRES(gTablesMutex) {
    out->count = 0;
    for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0)
            continue;
        const mach_port_t port = table[type].port.load();
        if (!machPortValid(port))
            continue;
        const int behavior = table[type].behavior.load();
        const int flavor = table[type].flavor.load();
        uint32_t i = 0;
        while (i < out->count &&
               !(out->ports[i] == port && out->behaviors[i] == behavior && out->flavors[i] == flavor))
            ++i;
        if (i == out->count) {
            // A port that takes no more references (at the limit) is left
            // out rather than listed without the caller's reference.
            if (machPortModSendRefs(port, 1) != KERN_SUCCESS)
                continue;
            out->ports[i] = port;
            out->behaviors[i] = behavior;
            out->flavors[i] = flavor;
            out->masks[i] = 0;
            out->count++;
        }
        out->masks[i] |= 1u << type;
    }
}

// Each entry holds one send reference to its port.
kern_return_t swap(Registration* table, uint32_t mask, mach_port_t port, int behavior, int flavor,
                   ExceptionPorts* previous) REQUIRES(gTablesMutex) {
    if (machPortValid(port) && machPortSendRefs(port) <= 0)
        return KERN_INVALID_RIGHT;
    // Every reference the entries need is known to fit before any entry
    // changes (the limit is the only way adding one to a live right fails).
    if (machPortValid(port) && machPortSendRefs(port) + __builtin_popcount(mask) > 0xffff)
        return KERN_UREFS_OVERFLOW;
    ExceptionPorts old;
    collect(table, mask, &old);
    for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0)
            continue;
        if (machPortValid(port))
            (void)machPortModSendRefs(port, 1);  // fits: checked above
        const mach_port_t was = table[type].port.exchange(port);
        table[type].behavior.store(behavior);
        table[type].flavor.store(flavor);
        // Dropping a reference the entry held cannot fail.
        if (machPortValid(was))
            (void)machPortModSendRefs(was, -1);
    }
    if (previous != nullptr) {
        *previous = old;
    } else {
        for (uint32_t i = 0; i < old.count; ++i)
            (void)machPortModSendRefs(old.ports[i], -1);  // collect()'s own reference
    }
    return KERN_SUCCESS;
}

bool registrationFor(pid_t thread, int exception, mach_port_t* port, int* behavior, int* flavor) {
    for (auto& table : gThreadTables) {
        if (table.tid.load(std::memory_order_acquire) != thread)
            continue;
        const mach_port_t name = table.entries[exception].port.load(std::memory_order_acquire);
        if (machPortValid(name)) {
            *port = name;
            *behavior = table.entries[exception].behavior.load();
            *flavor = table.entries[exception].flavor.load();
            return true;
        }
        break;
    }
    const mach_port_t name = gTaskTable[exception].port.load(std::memory_order_acquire);
    if (!machPortValid(name))
        return false;
    *port = name;
    *behavior = gTaskTable[exception].behavior.load();
    *flavor = gTaskTable[exception].flavor.load();
    return true;
}

// Delivers the signal as if the bridge were not there.
void deliver(int signal, siginfo_t* info, void* context, const struct sigaction& previous) {
    const bool kernelFault = info != nullptr && info->si_code > 0;
    const bool retries = kernelFault && signal != SIGTRAP;  // int3 does not fault again on return
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    if (previous.sa_handler == SIG_IGN && !kernelFault)
        return;
    // The default action: a fault happens again on return and ends the
    // process with the kernel's own information; anything else is raised
    // (pending until this handler returns).
    // Crash time, with nothing better to do on failure: neither call fails
    // for our own set and a signal just delivered, and the raise fails only
    // for an invalid signal.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    (void)sigemptyset(&action.sa_mask);         // cannot fail for a local set
    (void)sigaction(signal, &action, nullptr);  // cannot fail for a delivered signal
    if (!retries)
        (void)raise(signal);  // fails only for an invalid signal
}

void bridgeHandler(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    for (auto& slot : gDelivering) {
        if (slot.load(std::memory_order_acquire) == self()) {
            deliver(signal, info, context, gBaseActions[signal]);
            errno = savedErrno;
            return;
        }
    }
    auto* uc = static_cast<ucontext_t*>(context);
    int exception = 0;
    int64_t codes[2] = {};
    const pid_t thread = self();
    mach_port_t port = MACH_PORT_NULL;
    int behavior = 0;
    int flavor = 0;
    ExceptionRecord* record = nullptr;
    if (info != nullptr && info->si_code > 0 && uc != nullptr &&
        faultToException(signal, info->si_code, reinterpret_cast<uint64_t>(info->si_addr),
                         static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]), &exception, codes) &&
        registrationFor(thread, exception, &port, &behavior, &flavor) &&
        machPortReceiverThread(port) != thread && findRecord(thread) == nullptr) {
        for (auto& candidate : gExceptionRecords) {
            pid_t expected = 0;
            // Registers are written before the id is published.
            if (candidate.tid.load() == 0) {
                static_assert(sizeof(uc->uc_mcontext.gregs) == sizeof(candidate.registers.gregs));
                std::memcpy(candidate.registers.gregs, uc->uc_mcontext.gregs,
                            sizeof candidate.registers.gregs);
                if (candidate.tid.compare_exchange_strong(expected, thread)) {
                    record = &candidate;
                    break;
                }
            }
        }
    }
    if (record != nullptr) {
        const bool codes64 = (behavior & MACH_EXCEPTION_CODES) != 0;
        const int plain = behavior & ~MACH_EXCEPTION_CODES;
        kern_return_t result = KERN_FAILURE;
        if (plain == EXCEPTION_DEFAULT) {
            result = exceptionRaise(port, thread, exception, codes, 2, codes64);
        } else if (plain == EXCEPTION_STATE || plain == EXCEPTION_STATE_IDENTITY) {
            ThreadRegisters state = record->registers;
            ThreadRegisters returned;
            result = exceptionRaiseState(port, thread, plain == EXCEPTION_STATE_IDENTITY, exception, codes, 2,
                                         codes64, flavor, state, &returned);
            if (result == KERN_SUCCESS)
                record->registers = returned;
        }
        if (result == KERN_SUCCESS) {
            // The handler took the exception: go on with the thread's
            // (possibly changed) registers.
            std::memcpy(uc->uc_mcontext.gregs, record->registers.gregs, sizeof record->registers.gregs);
            record->tid.store(0, std::memory_order_release);
            errno = savedErrno;
            return;
        }
        record->tid.store(0, std::memory_order_release);
    }
    // A handler installed over the bridge that forwards to it brings the
    // signal back here: it then goes beneath, never round again.
    std::atomic<pid_t>* delivering = nullptr;
    for (auto& slot : gDelivering) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, thread)) {
            delivering = &slot;
            break;
        }
    }
    deliver(signal, info, context, gPreviousActions[signal]);
    if (delivering != nullptr)
        delivering->store(0, std::memory_order_release);
    errno = savedErrno;
}

bool coversFaults(Registration* table) {
    for (int type : {EXC_BAD_ACCESS, EXC_BAD_INSTRUCTION, EXC_ARITHMETIC, EXC_BREAKPOINT}) {
        if (machPortValid(table[type].port.load()))
            return true;
    }
    return false;
}

// With no registration left that takes faults, the signal actions found
// before the bridge come back (when ours is still the one installed).
void uninstallBridgeWhenUnused() REQUIRES(gTablesMutex) {
    if (!gBridgeInstalled.load() || coversFaults(gTaskTable))
        return;
    for (auto& table : gThreadTables) {
        if (table.tid.load() != 0 && coversFaults(table.entries))
            return;
    }
    for (int signal : kFaultSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0)
            continue;
        // Putting back an action that was installed once does not fail.
        if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == bridgeHandler)
            (void)sigaction(signal, &gPreviousActions[signal], nullptr);
    }
    gBridgeInstalled.store(false);
}

}  // namespace

bool faultToException(int signal, int code, uint64_t address, uint64_t pc, int* exception, int64_t codes[2]) {
    constexpr int64_t kInvalidAddress = 1;      // KERN_INVALID_ADDRESS
    constexpr int64_t kProtectionFailure = 2;   // KERN_PROTECTION_FAILURE
    constexpr int64_t kGeneralProtection = 13;  // the processor's general-protection fault
    constexpr int64_t kBusError = 10;
    switch (signal) {
        case SIGSEGV:
            *exception = EXC_BAD_ACCESS;
            if (code == SEGV_MAPERR) {
                codes[0] = kInvalidAddress;
                codes[1] = static_cast<int64_t>(address);
            } else if (code == SEGV_ACCERR) {
                codes[0] = kProtectionFailure;
                codes[1] = static_cast<int64_t>(address);
            } else {
                codes[0] = kGeneralProtection;
                codes[1] = 0;
            }
            return true;
        case SIGBUS:
            *exception = EXC_BAD_ACCESS;
            codes[0] = kBusError;
            codes[1] = static_cast<int64_t>(address);
            return true;
        // The kernel's own code (ILL_*, FPE_*) is the first code: it already
        // says what went wrong, and the signal can be told again from it.
        case SIGILL:
            *exception = EXC_BAD_INSTRUCTION;
            codes[0] = code;
            codes[1] = static_cast<int64_t>(address);
            return true;
        case SIGFPE:
            *exception = EXC_ARITHMETIC;
            codes[0] = code;
            codes[1] = static_cast<int64_t>(address);
            return true;
        case SIGTRAP:
            *exception = EXC_BREAKPOINT;
            codes[0] = code == TRAP_TRACE ? 1 : 2;
            codes[1] = static_cast<int64_t>(pc);
            return true;
        default:
            return false;
    }
}

kern_return_t taskGetExceptionPorts(uint32_t mask, ExceptionPorts* out) {
    if (out == nullptr)
        return KERN_INVALID_ARGUMENT;
    plat::MutexLock lock(gTablesMutex);
    collect(gTaskTable, mask, out);
    return KERN_SUCCESS;
}

kern_return_t taskSwapExceptionPorts(uint32_t mask, mach_port_t port, int behavior, int flavor,
                                     ExceptionPorts* previous) {
    if ((mask & ~((1u << EXC_TYPES_COUNT) - 2)) != 0)
        return KERN_INVALID_ARGUMENT;
    if ((mask & kFaultMask) != 0 && machPortValid(port) && !installFaultBridge())
        return KERN_FAILURE;
    plat::MutexLock lock(gTablesMutex);
    const kern_return_t result = swap(gTaskTable, mask, port, behavior, flavor, previous);
    uninstallBridgeWhenUnused();
    return result;
}

kern_return_t threadGetExceptionPorts(pid_t thread, uint32_t mask, ExceptionPorts* out) {
    if (out == nullptr)
        return KERN_INVALID_ARGUMENT;
    plat::MutexLock lock(gTablesMutex);
    Registration* table = tableFor(thread, false);
    if (table == nullptr) {
        *out = ExceptionPorts{};
        return KERN_SUCCESS;
    }
    collect(table, mask, out);
    return KERN_SUCCESS;
}

kern_return_t threadSwapExceptionPorts(pid_t thread, uint32_t mask, mach_port_t port, int behavior,
                                       int flavor, ExceptionPorts* previous) {
    if ((mask & ~((1u << EXC_TYPES_COUNT) - 2)) != 0)
        return KERN_INVALID_ARGUMENT;
    if ((mask & kFaultMask) != 0 && machPortValid(port) && !installFaultBridge())
        return KERN_FAILURE;
    plat::MutexLock lock(gTablesMutex);
    Registration* table = tableFor(thread, true);
    if (table == nullptr)
        return KERN_RESOURCE_SHORTAGE;
    const kern_return_t result = swap(table, mask, port, behavior, flavor, previous);
    uninstallBridgeWhenUnused();
    return result;
}

kern_return_t exceptionRaise(mach_port_t port, pid_t thread, int exception, const int64_t* codes,
                             uint32_t codeCount, bool codes64) {
    ExceptionRequest request;
    fillRequest(&request, port, thread, exception, codes, codeCount, codes64, kExceptionRaiseId);
    ExceptionStateReply reply;
    return roundTrip(&request.header, sizeof request, &reply);
}

kern_return_t exceptionRaiseState(mach_port_t port, pid_t thread, bool identity, int exception,
                                  const int64_t* codes, uint32_t codeCount, bool codes64, int flavor,
                                  const ThreadRegisters& state, ThreadRegisters* newState) {
    if (flavor != kThreadStateFlavor)
        return KERN_INVALID_ARGUMENT;
    ExceptionStateRequest request;
    fillRequest(&request.base, port, thread, exception, codes, codeCount, codes64,
                identity ? kExceptionRaiseStateIdentityId : kExceptionRaiseStateId);
    request.flavor = flavor;
    request.stateCount = ThreadRegisters::kCount * 2;
    std::memcpy(request.state, &state, sizeof state);
    ExceptionStateReply reply;
    std::memset(static_cast<void*>(&reply), 0, sizeof reply);
    const kern_return_t result = roundTrip(&request.base.header, sizeof request, &reply);
    if (newState != nullptr) {
        const bool carries = reply.base.header.msgh_size >= sizeof reply && reply.flavor == flavor;
        if (carries)
            std::memcpy(static_cast<void*>(newState), reply.state, sizeof *newState);
        else
            *newState = state;
    }
    return result;
}

bool exceptionThreadRegisters(pid_t thread, ThreadRegisters* out) {
    ExceptionRecord* record = findRecord(thread);
    if (record == nullptr)
        return false;
    *out = record->registers;
    return true;
}

bool setExceptionThreadRegisters(pid_t thread, const ThreadRegisters& registers) {
    ExceptionRecord* record = findRecord(thread);
    if (record == nullptr)
        return false;
    record->registers = registers;
    return true;
}

bool prepareExceptionRaise() {
    plat::MutexLock lock(gTablesMutex);
    return prepareReplyPorts();
}

bool installFaultBridge() {
    plat::MutexLock lock(gTablesMutex);
    if (!prepareReplyPorts())
        return false;
    for (int signal : kFaultSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0)
            return false;
        // Already on top: nothing to do for this signal.
        if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == bridgeHandler)
            continue;
        struct sigaction action {};
        action.sa_sigaction = bridgeHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        (void)sigemptyset(&action.sa_mask);  // our own set: cannot fail
        // The thread-control signal stays blocked while a thread waits in an
        // exception: its registers come from the fault instead. (A valid
        // real-time signal: adding it cannot fail.)
        if (int control = threadControlSignal(); control != 0)
            (void)sigaddset(&action.sa_mask, control);
        if (sigaction(signal, &action, &gPreviousActions[signal]) != 0)
            return false;
        if (!gBridgeInstalled.load())
            gBaseActions[signal] = gPreviousActions[signal];
    }
    gBridgeInstalled.store(true);
    return true;
}

bool faultBridgeInstalled() {
    return gBridgeInstalled.load();
}

void resetExceptionPorts() {
    {
        plat::MutexLock lock(gTablesMutex);
        // Clearing (the null port) always succeeds.
        (void)swap(gTaskTable, ((1u << EXC_TYPES_COUNT) - 2), MACH_PORT_NULL, 0, 0, nullptr);
        for (auto& table : gThreadTables) {
            if (table.tid.load() == 0)
                continue;
            (void)swap(table.entries, ((1u << EXC_TYPES_COUNT) - 2), MACH_PORT_NULL, 0, 0, nullptr);
            table.tid.store(0);
        }
        uninstallBridgeWhenUnused();
    }
}

}  // namespace plat::machine
