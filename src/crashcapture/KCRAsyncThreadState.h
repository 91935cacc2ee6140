// One frame's registers, CPU-neutral: a plain structure copied by value with a
// bit per register that says whether its value is known.
//
// Register numbers 0, 1 and 2 are always the instruction, frame and stack
// pointers. ARM and ARM64 states follow the kernel's unified ARM state and are
// used with fabricated register blocks; the x86-64 state is filled from a
// signal context, from a suspended thread or by capturing the calling thread:
//
//   0 rip  1 rbp  2 rsp  3 rax  4 rbx  5 rcx  6 rdx  7 rdi  8 rsi
//   9..16 r8..r15  17 rflags  18 cs  19 fs  20 gs
//
// Its callee-saved set is {rbp, rbx, r12..r15} and its DWARF map is the SysV
// numbering, with DWARF 16 (the return-address column) as rip.
//
// Everything is async-signal-safe.
#pragma once

#include <ucontext.h>

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "platform/machine/Threads.h"

namespace kcr::async {

inline constexpr uint32_t stack_direction_up = 1;
inline constexpr uint32_t stack_direction_down = 2;

inline constexpr uint32_t KCR_CPU_TYPE_X86 = 7;
inline constexpr uint32_t KCR_CPU_TYPE_X86_64 = 0x01000007;
inline constexpr uint32_t KCR_CPU_TYPE_ARM = 12;
inline constexpr uint32_t KCR_CPU_TYPE_ARM64 = 0x0100000C;

inline constexpr uint32_t KCR_ARM_THREAD_STATE64 = 6;
inline constexpr uint32_t KCR_ARM_THREAD_STATE32 = 9;
inline constexpr uint32_t KCR_X86_THREAD_STATE64 = 4;

// x86-64 register numbers.
enum : uint32_t {
    KCR_X86_64_RIP = 0,
    KCR_X86_64_RBP,
    KCR_X86_64_RSP,
    KCR_X86_64_RAX,
    KCR_X86_64_RBX,
    KCR_X86_64_RCX,
    KCR_X86_64_RDX,
    KCR_X86_64_RDI,
    KCR_X86_64_RSI,
    KCR_X86_64_R8,
    KCR_X86_64_R15 = KCR_X86_64_R8 + 7,
    KCR_X86_64_RFLAGS,
    KCR_X86_64_CS,
    KCR_X86_64_FS,
    KCR_X86_64_GS,
    KCR_X86_64_REG_COUNT
};

struct kcr_arm_thread_state32 {
    uint32_t r[13];
    uint32_t sp, lr, pc, cpsr;
};
struct kcr_arm_thread_state64 {
    uint64_t x[29];
    uint64_t fp, lr, sp, pc;
    uint32_t cpsr, pad;
};
struct kcr_x86_thread_state64 {
    uint64_t regs[KCR_X86_64_REG_COUNT];  // indexed by register number
};

struct kcr_async_thread_state {
    uint32_t stack_direction = stack_direction_down;
    uint64_t greg_size = 0;
    uint64_t valid_regs = 0;
    // The pc is the interrupted instruction itself (a signal context or a
    // suspended thread), not a return address: lookups may then use it as is,
    // while a return address must be looked up one byte earlier.
    bool pc_is_exact = false;
    struct {
        uint32_t flavor = 0;
        uint32_t count = 0;
        union {
            kcr_arm_thread_state32 ts_32;
            kcr_arm_thread_state64 ts_64;
            kcr_x86_thread_state64 ts_x86_64;
        };
    } state{};
};

// Clears the state and sets it up for a CPU type (ARM, ARM64, x86-64); 4 for others.
[[nodiscard]] kcr_error_t async_thread_state_init(kcr_async_thread_state* state, uint32_t cpu_type);
// The CPU type the state holds.
uint32_t async_thread_state_cpu_type(const kcr_async_thread_state* state);

// From the context a signal handler receives: every register valid, pc exact.
void async_thread_state_mcontext_init(kcr_async_thread_state* state, const ucontext_t* context);
// From the gregs array of such a context (also what a suspended thread reports).
void async_thread_state_gregs_init(kcr_async_thread_state* state,
                                   const plat::machine::ThreadRegisters& gregs);
// From a 64-bit ARM machine context laid out as the kernel's (16 bytes of
// exception state, then the 272-byte general state): for fabricated contexts.
void async_thread_state_arm64_mcontext_init(kcr_async_thread_state* state, const void* mcontext);
// From a thread suspended by plat::machine::suspendThreads(); 6 when the
// thread is not suspended (or is the caller).
[[nodiscard]] kcr_error_t async_thread_state_mach_thread_init(kcr_async_thread_state* state, uint32_t thread);

void async_thread_state_copy(kcr_async_thread_state* destination, const kcr_async_thread_state* source);
bool async_thread_state_has_reg(const kcr_async_thread_state* state, uint32_t reg);
void async_thread_state_clear_reg(kcr_async_thread_state* state, uint32_t reg);
void async_thread_state_clear_all_regs(kcr_async_thread_state* state);
uint32_t async_thread_state_get_stackgrowth(const kcr_async_thread_state* state);
uint64_t async_thread_state_get_greg_size(const kcr_async_thread_state* state);
// The value (32-bit registers zero-extended). ARM64 pc, fp, sp and lr keep only
// their low 36 bits (pointer authentication); x86-64 values are whole.
uint64_t async_thread_state_get_reg(const kcr_async_thread_state* state, uint32_t reg);
void async_thread_state_set_reg(kcr_async_thread_state* state, uint32_t reg, uint64_t value);
uint32_t async_thread_state_get_reg_count(const kcr_async_thread_state* state);
const char* async_thread_state_get_reg_name(const kcr_async_thread_state* state, uint32_t reg);
// Clears every valid register that a callee need not preserve.
void async_thread_state_clear_volatile_regs(kcr_async_thread_state* state);
bool async_thread_state_map_dwarf_to_reg(const kcr_async_thread_state* state, uint64_t dwarf_reg,
                                         uint32_t* reg);
bool async_thread_state_map_reg_to_dwarf(const kcr_async_thread_state* state, uint32_t reg,
                                         uint64_t* dwarf_reg);

// Captures the calling thread's registers and calls back with them on the same
// stack; returns the callback's result. The state's pc is the return address
// into the caller of this function, its sp and fp the caller's (x86-64 only;
// elsewhere 4 without calling back).
using async_thread_state_current_callback = kcr_error_t (*)(kcr_async_thread_state* state, void* context);

}  // namespace kcr::async

extern "C" kcr::async::kcr_error_t kcr_async_thread_state_capture(
    kcr::async::async_thread_state_current_callback callback, void* context);

namespace kcr::async {
// Always inlined, so that the capture sees its caller's frame.
__attribute__((always_inline)) inline kcr_error_t async_thread_state_current(
    async_thread_state_current_callback callback, void* context) {
    return kcr_async_thread_state_capture(callback, context);
}
}  // namespace kcr::async
