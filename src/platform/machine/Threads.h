// Threads of this process: listing, suspension, register capture and
// resumption, standing in for the kernel's thread control on systems that have
// it.
//
// Suspension is a handshake over one reserved real-time signal: the requester
// marks a slot and sends the signal; the target's handler copies its
// interrupted register state into the slot and waits on a futex until
// resumeThreads(). Waits are bounded, so a thread that does not answer
// (the signal blocked, the thread exiting) is reported as not suspended rather
// than hanging the caller.
//
// prepareThreadControl() runs at ordinary time (it reserves the signal and
// maps the slots). Everything else is async-signal-safe and allocation-free.
// Only one thread at a time may suspend others: from its suspendThreads() to
// its resumeThreads() the slots are that thread's, and another thread's
// suspendThreads() suspends nobody (returns 0), its resumeThreads() and
// suspendedThreadRegisters() see nothing of them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace plat::machine {

// The general registers of an interrupted thread, in the order of the
// signal context's gregs array (REG_R8 ... REG_CR2 of <sys/ucontext.h>).
struct ThreadRegisters {
    static constexpr size_t kCount = 23;
    uint64_t gregs[kCount] = {};
};

// The calling thread's kernel id.
pid_t currentThreadId();

// Lists this process's threads (the main thread first, then ascending ids:
// ids wrap around, so a later thread's may be lower than the main thread's)
// into `ids`, at most `capacity` of them. Returns the count, or -1 when the
// list cannot be read (no /proc, no descriptor left).
int listThreads(pid_t* ids, int capacity);

// Reserves the first real-time signal nobody handles and installs the
// handshake handler. True on success (and on later calls). Ordinary time.
bool prepareThreadControl();
// The reserved signal, or 0 before preparation.
int threadControlSignal();

// Suspends every listed thread except the caller and waits, at most
// `timeoutNanoseconds` in total, for their answers. Returns how many answered.
// Threads that did not answer are left running and have no registers.
// 0, suspending nobody, while another thread holds the slots.
int suspendThreads(const pid_t* ids, int count, int64_t timeoutNanoseconds);
// The registers a suspended thread was interrupted with; false when the thread
// is not suspended by the last suspendThreads().
bool suspendedThreadRegisters(pid_t id, ThreadRegisters* out);
// Lets every suspended thread go on and waits (bounded) until their handlers
// have returned, so that the slots can be used again (by any thread). Does
// nothing on a thread that does not hold the slots.
void resumeThreads();

}  // namespace plat::machine
