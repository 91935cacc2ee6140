#include "crashcapture/KCRAsyncThreadState.h"

#include <sys/ucontext.h>

namespace kcr::async {

namespace {

constexpr uint64_t kPointerAuthMask = 0xFFFFFFFFFull;

enum class Kind { arm32, arm64, x86_64 };

Kind kind_of(const kcr_async_thread_state* state) {
    if (state->state.flavor == KCR_ARM_THREAD_STATE32)
        return Kind::arm32;
    if (state->state.flavor == KCR_X86_THREAD_STATE64)
        return Kind::x86_64;
    return Kind::arm64;
}

const char* const kArm64Names[] = {"pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",
                                   "x6",  "x7",  "x8",  "x9",  "x10", "x11", "x12", "x13", "x14",
                                   "x15", "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
                                   "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr"};
const char* const kArmNames[] = {"pc", "r7", "sp", "r0",  "r1",  "r2",  "r3", "r4",  "r5",
                                 "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr"};
const char* const kX86_64Names[] = {"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                                    "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                                    "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
static_assert(sizeof kArm64Names / sizeof *kArm64Names == 34);
static_assert(sizeof kArmNames / sizeof *kArmNames == 17);
static_assert(sizeof kX86_64Names / sizeof *kX86_64Names == KCR_X86_64_REG_COUNT);

struct DwarfPair {
    uint32_t reg;
    uint64_t dwarf;
};

constexpr DwarfPair kArm64Dwarf[] = {{3, 0},   {4, 1},   {5, 2},   {6, 3},   {7, 4},   {8, 5},   {9, 6},
                                     {10, 7},  {11, 8},  {12, 9},  {13, 10}, {14, 11}, {15, 12}, {16, 13},
                                     {17, 14}, {18, 15}, {19, 16}, {20, 17}, {21, 18}, {22, 19}, {23, 20},
                                     {24, 21}, {25, 22}, {26, 23}, {27, 24}, {28, 25}, {29, 26}, {30, 27},
                                     {31, 28}, {1, 29},  {32, 30}, {2, 31}};
constexpr DwarfPair kArmDwarf[] = {{3, 0},   {4, 1},  {5, 2},   {6, 3},  {7, 4},   {8, 5},
                                   {9, 6},   {1, 7},  {10, 8},  {11, 9}, {12, 10}, {13, 11},
                                   {14, 12}, {2, 13}, {15, 14}, {0, 15}};
constexpr DwarfPair kX86_64Dwarf[] = {{3, 0},   {6, 1},   {5, 2},   {4, 3},   {8, 4},   {7, 5},
                                      {1, 6},   {2, 7},   {9, 8},   {10, 9},  {11, 10}, {12, 11},
                                      {13, 12}, {14, 13}, {15, 14}, {16, 15}, {0, 16}};
static_assert(sizeof kArm64Dwarf / sizeof *kArm64Dwarf == 32);
static_assert(sizeof kArmDwarf / sizeof *kArmDwarf == 16);

template <size_t N>
bool dwarf_to_reg(const DwarfPair (&table)[N], uint64_t dwarf, uint32_t* reg) {
    for (const DwarfPair& pair : table) {
        if (pair.dwarf == dwarf) {
            *reg = pair.reg;
            return true;
        }
    }
    return false;
}
template <size_t N>
bool reg_to_dwarf(const DwarfPair (&table)[N], uint32_t reg, uint64_t* dwarf) {
    for (const DwarfPair& pair : table) {
        if (pair.reg == reg) {
            *dwarf = pair.dwarf;
            return true;
        }
    }
    return false;
}

// Where an ARM register number lives in the 32-bit state.
uint32_t* arm32_slot(kcr_arm_thread_state32& s, uint32_t reg) {
    if (reg == 0)
        return &s.pc;
    if (reg == 1)
        return &s.r[7];
    if (reg == 2)
        return &s.sp;
    if (reg <= 9)
        return &s.r[reg - 3];
    if (reg <= 14)
        return &s.r[reg - 2];
    if (reg == 15)
        return &s.lr;
    if (reg == 16)
        return &s.cpsr;
    return nullptr;
}

uint64_t* arm64_slot(kcr_arm_thread_state64& s, uint32_t reg) {
    if (reg == 0)
        return &s.pc;
    if (reg == 1)
        return &s.fp;
    if (reg == 2)
        return &s.sp;
    if (reg <= 31)
        return &s.x[reg - 3];
    if (reg == 32)
        return &s.lr;
    return nullptr;  // cpsr is 32 bits, handled apart
}

bool callee_saved(Kind kind, uint32_t reg) {
    switch (kind) {
        case Kind::arm64:
            return reg == 1 || (reg >= 22 && reg <= 31);
        case Kind::arm32:
            return reg == 7 || reg == 8 || reg == 9 || reg == 1 || reg == 10 || reg == 12 || reg == 13;
        case Kind::x86_64:
            return reg == KCR_X86_64_RBP || reg == KCR_X86_64_RBX || (reg >= 13 && reg <= KCR_X86_64_R15);
    }
    return false;
}

}  // namespace

kcr_error_t async_thread_state_init(kcr_async_thread_state* state, uint32_t cpu_type) {
    async_memset(state, 0, sizeof *state);
    state->stack_direction = stack_direction_down;
    switch (cpu_type) {
        case KCR_CPU_TYPE_ARM:
            state->state.flavor = KCR_ARM_THREAD_STATE32;
            state->state.count = 17;
            state->greg_size = 4;
            return KCR_ESUCCESS;
        case KCR_CPU_TYPE_ARM64:
            state->state.flavor = KCR_ARM_THREAD_STATE64;
            state->state.count = 68;
            state->greg_size = 8;
            return KCR_ESUCCESS;
        case KCR_CPU_TYPE_X86_64:
            state->state.flavor = KCR_X86_THREAD_STATE64;
            state->state.count = 2 * KCR_X86_64_REG_COUNT;
            state->greg_size = 8;
            return KCR_ESUCCESS;
        default:
            return KCR_ENOTSUP;
    }
}

uint32_t async_thread_state_cpu_type(const kcr_async_thread_state* state) {
    switch (kind_of(state)) {
        case Kind::arm32:
            return KCR_CPU_TYPE_ARM;
        case Kind::arm64:
            return KCR_CPU_TYPE_ARM64;
        case Kind::x86_64:
            return KCR_CPU_TYPE_X86_64;
    }
    return 0;
}

void async_thread_state_gregs_init(kcr_async_thread_state* state,
                                   const plat::machine::ThreadRegisters& gregs) {
    (void)async_thread_state_init(state, KCR_CPU_TYPE_X86_64);  // a supported type: cannot fail
    uint64_t* r = state->state.ts_x86_64.regs;
    const uint64_t* g = gregs.gregs;
    r[KCR_X86_64_RIP] = g[REG_RIP];
    r[KCR_X86_64_RBP] = g[REG_RBP];
    r[KCR_X86_64_RSP] = g[REG_RSP];
    r[KCR_X86_64_RAX] = g[REG_RAX];
    r[KCR_X86_64_RBX] = g[REG_RBX];
    r[KCR_X86_64_RCX] = g[REG_RCX];
    r[KCR_X86_64_RDX] = g[REG_RDX];
    r[KCR_X86_64_RDI] = g[REG_RDI];
    r[KCR_X86_64_RSI] = g[REG_RSI];
    for (uint32_t i = 0; i < 8; ++i)
        r[KCR_X86_64_R8 + i] = g[REG_R8 + i];
    r[KCR_X86_64_RFLAGS] = g[REG_EFL];
    r[KCR_X86_64_CS] = g[REG_CSGSFS] & 0xFFFF;
    r[KCR_X86_64_GS] = (g[REG_CSGSFS] >> 16) & 0xFFFF;
    r[KCR_X86_64_FS] = (g[REG_CSGSFS] >> 32) & 0xFFFF;
    state->valid_regs = ~0ull;
    state->pc_is_exact = true;
}

void async_thread_state_mcontext_init(kcr_async_thread_state* state, const ucontext_t* context) {
    plat::machine::ThreadRegisters gregs;
    static_assert(sizeof gregs.gregs == sizeof context->uc_mcontext.gregs);
    async_memcpy(gregs.gregs, context->uc_mcontext.gregs, sizeof gregs.gregs);
    async_thread_state_gregs_init(state, gregs);
}

void async_thread_state_arm64_mcontext_init(kcr_async_thread_state* state, const void* mcontext) {
    (void)async_thread_state_init(state, KCR_CPU_TYPE_ARM64);  // a supported type: cannot fail
    static_assert(sizeof(kcr_arm_thread_state64) == 272);
    async_memcpy(&state->state.ts_64, static_cast<const uint8_t*>(mcontext) + 16,
                 sizeof(kcr_arm_thread_state64));
    state->valid_regs = ~0ull;
    state->pc_is_exact = true;
}

kcr_error_t async_thread_state_mach_thread_init(kcr_async_thread_state* state, uint32_t thread) {
    plat::machine::ThreadRegisters gregs;
    if (!plat::machine::suspendedThreadRegisters(static_cast<pid_t>(thread), &gregs))
        return KCR_EINTERNAL;
    async_thread_state_gregs_init(state, gregs);
    return KCR_ESUCCESS;
}

void async_thread_state_copy(kcr_async_thread_state* destination, const kcr_async_thread_state* source) {
    async_memcpy(destination, source, sizeof *destination);
}

bool async_thread_state_has_reg(const kcr_async_thread_state* state, uint32_t reg) {
    return (state->valid_regs >> (reg % 64)) & 1;
}

void async_thread_state_clear_reg(kcr_async_thread_state* state, uint32_t reg) {
    state->valid_regs &= ~(1ull << (reg % 64));
}

void async_thread_state_clear_all_regs(kcr_async_thread_state* state) {
    state->valid_regs = 0;
}

uint32_t async_thread_state_get_stackgrowth(const kcr_async_thread_state* state) {
    return state->stack_direction;
}

uint64_t async_thread_state_get_greg_size(const kcr_async_thread_state* state) {
    return state->greg_size;
}

uint64_t async_thread_state_get_reg(const kcr_async_thread_state* state, uint32_t reg) {
    auto& s = const_cast<kcr_async_thread_state*>(state)->state;
    switch (kind_of(state)) {
        case Kind::arm32: {
            const uint32_t* slot = arm32_slot(s.ts_32, reg);
            return slot != nullptr ? *slot : 0;
        }
        case Kind::arm64: {
            if (reg == 33)
                return s.ts_64.cpsr;
            const uint64_t* slot = arm64_slot(s.ts_64, reg);
            if (slot == nullptr)
                return 0;
            bool masked = reg == 0 || reg == 1 || reg == 2 || reg == 32;
            return masked ? (*slot & kPointerAuthMask) : *slot;
        }
        case Kind::x86_64:
            return reg < KCR_X86_64_REG_COUNT ? s.ts_x86_64.regs[reg] : 0;
    }
    return 0;
}

void async_thread_state_set_reg(kcr_async_thread_state* state, uint32_t reg, uint64_t value) {
    auto& s = state->state;
    switch (kind_of(state)) {
        case Kind::arm32: {
            uint32_t* slot = arm32_slot(s.ts_32, reg);
            if (slot == nullptr)
                return;
            *slot = static_cast<uint32_t>(value);
            break;
        }
        case Kind::arm64: {
            if (reg == 33) {
                s.ts_64.cpsr = static_cast<uint32_t>(value);
                break;
            }
            uint64_t* slot = arm64_slot(s.ts_64, reg);
            if (slot == nullptr)
                return;
            *slot = value;
            break;
        }
        case Kind::x86_64:
            if (reg >= KCR_X86_64_REG_COUNT)
                return;
            s.ts_x86_64.regs[reg] = value;
            break;
    }
    state->valid_regs |= 1ull << (reg % 64);
}

uint32_t async_thread_state_get_reg_count(const kcr_async_thread_state* state) {
    switch (kind_of(state)) {
        case Kind::arm32:
            return 17;
        case Kind::arm64:
            return 34;
        case Kind::x86_64:
            return KCR_X86_64_REG_COUNT;
    }
    return 0;
}

const char* async_thread_state_get_reg_name(const kcr_async_thread_state* state, uint32_t reg) {
    if (reg >= async_thread_state_get_reg_count(state))
        return nullptr;
    switch (kind_of(state)) {
        case Kind::arm32:
            return kArmNames[reg];
        case Kind::arm64:
            return kArm64Names[reg];
        case Kind::x86_64:
            return kX86_64Names[reg];
    }
    return nullptr;
}

void async_thread_state_clear_volatile_regs(kcr_async_thread_state* state) {
    const Kind kind = kind_of(state);
    const uint32_t count = async_thread_state_get_reg_count(state);
    for (uint32_t reg = 0; reg < count; ++reg) {
        if (async_thread_state_has_reg(state, reg) && !callee_saved(kind, reg)) {
            async_thread_state_clear_reg(state, reg);
        }
    }
}

bool async_thread_state_map_dwarf_to_reg(const kcr_async_thread_state* state, uint64_t dwarf_reg,
                                         uint32_t* reg) {
    switch (kind_of(state)) {
        case Kind::arm32:
            return dwarf_to_reg(kArmDwarf, dwarf_reg, reg);
        case Kind::arm64:
            return dwarf_to_reg(kArm64Dwarf, dwarf_reg, reg);
        case Kind::x86_64:
            return dwarf_to_reg(kX86_64Dwarf, dwarf_reg, reg);
    }
    return false;
}

bool async_thread_state_map_reg_to_dwarf(const kcr_async_thread_state* state, uint32_t reg,
                                         uint64_t* dwarf_reg) {
    switch (kind_of(state)) {
        case Kind::arm32:
            return reg_to_dwarf(kArmDwarf, reg, dwarf_reg);
        case Kind::arm64:
            return reg_to_dwarf(kArm64Dwarf, reg, dwarf_reg);
        case Kind::x86_64:
            return reg_to_dwarf(kX86_64Dwarf, reg, dwarf_reg);
    }
    return false;
}

}  // namespace kcr::async

// Builds the state from the registers the capture stub saved (in register
// number order) and calls back on the stub's stack.
extern "C" kcr::async::kcr_error_t kcr_async_thread_state_capture_finish(
    kcr::async::async_thread_state_current_callback callback, void* context, const uint64_t* saved) {
    using namespace kcr::async;
    kcr_async_thread_state state;
    (void)async_thread_state_init(&state, KCR_CPU_TYPE_X86_64);  // a supported type: cannot fail
    async_memcpy(state.state.ts_x86_64.regs, saved, sizeof state.state.ts_x86_64.regs);
    state.valid_regs = ~0ull;
    state.pc_is_exact = false;  // a return address
    return callback(&state, context);
}

#if defined(__x86_64__)
// kcr_async_thread_state_capture(callback, context): saves the registers as
// they stand at the call (rip = the return address into the caller, rsp and
// rbp = the caller's), then hands them to the finishing routine.
asm(R"(
    .text
    .globl kcr_async_thread_state_capture
    .type kcr_async_thread_state_capture, @function
kcr_async_thread_state_capture:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $176, %rsp
    movq 8(%rbp), %rax
    movq %rax, 0(%rsp)
    movq 0(%rbp), %rax
    movq %rax, 8(%rsp)
    leaq 16(%rbp), %rax
    movq %rax, 16(%rsp)
    movq $0, 24(%rsp)
    movq %rbx, 32(%rsp)
    movq %rcx, 40(%rsp)
    movq %rdx, 48(%rsp)
    movq %rdi, 56(%rsp)
    movq %rsi, 64(%rsp)
    movq %r8, 72(%rsp)
    movq %r9, 80(%rsp)
    movq %r10, 88(%rsp)
    movq %r11, 96(%rsp)
    movq %r12, 104(%rsp)
    movq %r13, 112(%rsp)
    movq %r14, 120(%rsp)
    movq %r15, 128(%rsp)
    pushfq
    popq %rax
    movq %rax, 136(%rsp)
    xorl %eax, %eax
    movw %cs, %ax
    movq %rax, 144(%rsp)
    movw %fs, %ax
    movq %rax, 152(%rsp)
    movw %gs, %ax
    movq %rax, 160(%rsp)
    movq %rsp, %rdx
    call kcr_async_thread_state_capture_finish@PLT
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size kcr_async_thread_state_capture, .-kcr_async_thread_state_capture
)");
#else
extern "C" kcr::async::kcr_error_t kcr_async_thread_state_capture(
    kcr::async::async_thread_state_current_callback, void*) {
    return kcr::async::KCR_ENOTSUP;
}
#endif
