// Exception ports standing in for the kernel's: per-task and per-thread tables
// of registrations, the raise calls that send an exception request to a port
// and wait for its reply, and the fault bridge that turns real fault signals
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP) into exception requests.
//
// The bridge runs on the faulting thread, inside its signal handler: it picks
// the thread's registration for the exception, else the task's, sends the
// request and waits for the reply. A successful reply retries the faulting
// instruction; anything else delivers the signal as if no exception port had
// been set (the action installed before the bridge, else the default action).
// A fault on the thread that serves the port, or with no registration, goes
// straight to the signal. While a thread waits, thread suspension reports the
// fault's registers for it (as for a thread stopped in an exception).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/machine/MachPorts.h"
#include "platform/machine/Threads.h"

namespace plat::machine {

inline constexpr int EXC_BAD_ACCESS = 1;
inline constexpr int EXC_BAD_INSTRUCTION = 2;
inline constexpr int EXC_ARITHMETIC = 3;
inline constexpr int EXC_EMULATION = 4;
inline constexpr int EXC_SOFTWARE = 5;
inline constexpr int EXC_BREAKPOINT = 6;
inline constexpr int EXC_GUARD = 12;
inline constexpr uint32_t EXC_TYPES_COUNT = 14;

inline constexpr int EXCEPTION_DEFAULT = 1;
inline constexpr int EXCEPTION_STATE = 2;
inline constexpr int EXCEPTION_STATE_IDENTITY = 3;
inline constexpr int MACH_EXCEPTION_CODES = static_cast<int>(0x80000000u);
// The host's one thread state flavour: the general registers.
inline constexpr int kThreadStateFlavor = 1;

// The exception request (64-bit codes form), laid out as the kernel sends it.
inline constexpr int32_t kExceptionRaiseId = 2405;
inline constexpr int32_t kExceptionRaiseStateId = 2406;
inline constexpr int32_t kExceptionRaiseStateIdentityId = 2407;
inline constexpr uint32_t kExceptionRequestSize = 84;

#pragma pack(push, 4)
struct ExceptionRequest {
    mach_msg_header_t header;      // 0
    uint32_t descriptorCount;      // 24
    mach_port_t thread;            // 28 (port descriptor: name first)
    uint32_t threadDescriptor[2];  // 32
    mach_port_t task;              // 40
    uint32_t taskDescriptor[2];    // 44
    uint8_t ndr[8];                // 52
    int32_t exception;             // 60
    uint32_t codeCount;            // 64
    int64_t codes[2];              // 68 (only 4-aligned: copy before use)
};
// The state forms add the flavour and the registers after the codes.
struct ExceptionStateRequest {
    ExceptionRequest base;
    int32_t flavor;
    uint32_t stateCount;
    uint8_t state[sizeof(ThreadRegisters)];  // copied in and out with memcpy
};
struct ExceptionReply {
    mach_msg_header_t header;
    uint8_t ndr[8];
    kern_return_t returnCode;
};
struct ExceptionStateReply {
    ExceptionReply base;
    int32_t flavor;
    uint32_t stateCount;
    uint8_t state[sizeof(ThreadRegisters)];
};
#pragma pack(pop)
static_assert(sizeof(ExceptionRequest) == kExceptionRequestSize);
static_assert(sizeof(ExceptionReply) == 36);

// Registrations returned by get and swap: at most EXC_TYPES_COUNT, each
// port with one send reference the caller now owns.
struct ExceptionPorts {
    uint32_t count = 0;
    uint32_t masks[EXC_TYPES_COUNT] = {};
    mach_port_t ports[EXC_TYPES_COUNT] = {};
    int behaviors[EXC_TYPES_COUNT] = {};
    int flavors[EXC_TYPES_COUNT] = {};
};

// The task of this process.
inline constexpr mach_port_t kTaskSelf = 0x7fffffff;

// Ordinary time. `thread` is a thread id (0: the calling thread). Swapping
// sets every exception type in `mask` to (`port`, `behavior`, `flavor`),
// taking one send reference on a valid port, and returns what was there
// (each distinct registration once). A mask covering faults installs the
// fault bridge.
[[nodiscard]] kern_return_t taskGetExceptionPorts(uint32_t mask, ExceptionPorts* out);
[[nodiscard]] kern_return_t taskSwapExceptionPorts(uint32_t mask, mach_port_t port, int behavior, int flavor,
                                                   ExceptionPorts* previous);
[[nodiscard]] kern_return_t threadGetExceptionPorts(pid_t thread, uint32_t mask, ExceptionPorts* out);
[[nodiscard]] kern_return_t threadSwapExceptionPorts(pid_t thread, uint32_t mask, mach_port_t port,
                                                     int behavior, int flavor, ExceptionPorts* previous);

// Sends an exception request to `port` and waits for the reply; the handler's
// return code. `codes64` says whether the codes travel as 64-bit values (else
// cut to 32 bits). The state forms send `state` and give back the state the
// handler returned in `newState` (when not null). Async-signal-safe: reply
// ports come from a pool made at ordinary time (KERN_RESOURCE_SHORTAGE when
// every one is busy).
[[nodiscard]] kern_return_t exceptionRaise(mach_port_t port, pid_t thread, int exception,
                                           const int64_t* codes, uint32_t codeCount, bool codes64);
[[nodiscard]] kern_return_t exceptionRaiseState(mach_port_t port, pid_t thread, bool identity, int exception,
                                                const int64_t* codes, uint32_t codeCount, bool codes64,
                                                int flavor, const ThreadRegisters& state,
                                                ThreadRegisters* newState);

// Makes the reply ports the raise calls use (also done by installing the
// bridge). Ordinary time; false when no port could be made.
bool prepareExceptionRaise();

// The registers of a thread that is waiting in an exception (the fault
// context), for the STATE forms and for thread control; false when it waits
// in none. Async-signal-safe.
bool exceptionThreadRegisters(pid_t thread, ThreadRegisters* out);
// Replaces them: the thread goes on with these registers when its exception
// is answered with success. Async-signal-safe.
bool setExceptionThreadRegisters(pid_t thread, const ThreadRegisters& registers);

// How a fault signal maps to an exception type and its two codes; false for
// signals that are no exception. Bad access: 1 unmapped (SEGV_MAPERR), 2
// protection (SEGV_ACCERR), 13 general protection (SI_KERNEL, no address),
// 10 bus error, then the address. Bad instruction and arithmetic: the
// kernel's ILL_* or FPE_* code, then the faulting address. Breakpoint: 1
// trace, 2 breakpoint, then the program counter.
bool faultToException(int signal, int code, uint64_t address, uint64_t pc, int* exception, int64_t codes[2]);

// Prepares the reply ports and puts the bridge on top of the fault signals
// actions (also done by a swap whose mask covers faults): a handler
// installed since then goes beneath it, and when that handler forwards to
// the bridge the signal goes on to what lay beneath the bridge at first.
// Ordinary time.
bool installFaultBridge();
// Clears every registration (task and threads, giving back their send
// references) and restores the signal actions found before the bridge.
// Ordinary time; for teardown and tests.
void resetExceptionPorts();
// Whether the bridge's handlers are installed.
bool faultBridgeInstalled();

}  // namespace plat::machine
