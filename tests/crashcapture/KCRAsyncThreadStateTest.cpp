#include "crashcapture/KCRAsyncThreadState.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>
#include "support/ChildProcess.h"

using namespace kcr::async;

namespace {

kcr_async_thread_state make(uint32_t cpu) {
    kcr_async_thread_state state;
    EXPECT_EQ(async_thread_state_init(&state, cpu), KCR_ESUCCESS);
    return state;
}

}  // namespace

TEST(ThreadState, InitSetsUpEachCpuAndRefusesOthers) {
    struct Case {
        uint32_t cpu;
        uint32_t flavor, count, regs;
        uint64_t width;
    };
    const Case cases[] = {{KCR_CPU_TYPE_ARM, 9, 17, 17, 4},
                          {KCR_CPU_TYPE_ARM64, 6, 68, 34, 8},
                          {KCR_CPU_TYPE_X86_64, 4, 42, 21, 8}};
    for (const Case& c : cases) {
        kcr_async_thread_state state = make(c.cpu);
        EXPECT_EQ(state.state.flavor, c.flavor);
        EXPECT_EQ(state.state.count, c.count);
        EXPECT_EQ(async_thread_state_get_reg_count(&state), c.regs);
        EXPECT_EQ(async_thread_state_get_greg_size(&state), c.width);
        EXPECT_EQ(async_thread_state_get_stackgrowth(&state), stack_direction_down);
        EXPECT_EQ(state.valid_regs, 0u);
        EXPECT_EQ(async_thread_state_cpu_type(&state), c.cpu);
    }
    kcr_async_thread_state state;
    EXPECT_EQ(async_thread_state_init(&state, 18), KCR_ENOTSUP);
}

TEST(ThreadState, RegisterNamesFollowTheNumbering) {
    struct Case {
        uint32_t cpu;
        std::vector<std::pair<uint32_t, std::string>> names;
    };
    const Case cases[] = {
        {KCR_CPU_TYPE_ARM64,
         {{0, "pc"}, {1, "fp"}, {2, "sp"}, {3, "x0"}, {31, "x28"}, {32, "lr"}, {33, "cpsr"}}},
        {KCR_CPU_TYPE_ARM,
         {{0, "pc"}, {1, "r7"}, {2, "sp"}, {9, "r6"}, {10, "r8"}, {14, "r12"}, {15, "lr"}, {16, "cpsr"}}},
        {KCR_CPU_TYPE_X86_64,
         {{0, "rip"},
          {1, "rbp"},
          {2, "rsp"},
          {3, "rax"},
          {4, "rbx"},
          {6, "rdx"},
          {8, "rsi"},
          {9, "r8"},
          {16, "r15"},
          {17, "rflags"},
          {18, "cs"},
          {19, "fs"},
          {20, "gs"}}},
    };
    for (const Case& c : cases) {
        kcr_async_thread_state state = make(c.cpu);
        for (const auto& [reg, name] : c.names)
            EXPECT_EQ(async_thread_state_get_reg_name(&state, reg), name);
        EXPECT_EQ(async_thread_state_get_reg_name(&state, async_thread_state_get_reg_count(&state)), nullptr);
    }
}

TEST(ThreadState, ValuesMasksAndPointerAuthentication) {
    kcr_async_thread_state arm64 = make(KCR_CPU_TYPE_ARM64);
    const uint64_t signed_pointer = 0xABCD000123456789ull;
    for (uint32_t reg : {0u, 1u, 2u, 32u}) {
        async_thread_state_set_reg(&arm64, reg, signed_pointer);
        EXPECT_EQ(async_thread_state_get_reg(&arm64, reg), signed_pointer & 0xFFFFFFFFFull) << reg;
    }
    async_thread_state_set_reg(&arm64, 3, signed_pointer);
    EXPECT_EQ(async_thread_state_get_reg(&arm64, 3), signed_pointer);
    async_thread_state_set_reg(&arm64, 33, 0x1234567890ull);
    EXPECT_EQ(async_thread_state_get_reg(&arm64, 33), 0x34567890u);
    EXPECT_TRUE(async_thread_state_has_reg(&arm64, 33));
    async_thread_state_clear_reg(&arm64, 33);
    EXPECT_FALSE(async_thread_state_has_reg(&arm64, 33));

    kcr_async_thread_state arm = make(KCR_CPU_TYPE_ARM);
    async_thread_state_set_reg(&arm, 1, 0x1122334455667788ull);
    EXPECT_EQ(async_thread_state_get_reg(&arm, 1), 0x55667788u);
    EXPECT_EQ(arm.state.ts_32.r[7], 0x55667788u);

    kcr_async_thread_state x86 = make(KCR_CPU_TYPE_X86_64);
    async_thread_state_set_reg(&x86, 0, signed_pointer);
    EXPECT_EQ(async_thread_state_get_reg(&x86, 0), signed_pointer);
    async_thread_state_clear_all_regs(&x86);
    EXPECT_EQ(x86.valid_regs, 0u);
}

TEST(ThreadState, ClearingVolatileRegistersKeepsTheCalleeSavedSet) {
    struct Case {
        uint32_t cpu;
        std::vector<uint32_t> kept;
    };
    const Case cases[] = {
        {KCR_CPU_TYPE_ARM64, {1, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}},
        {KCR_CPU_TYPE_ARM, {1, 7, 8, 9, 10, 12, 13}},
        {KCR_CPU_TYPE_X86_64, {1, 4, 13, 14, 15, 16}},
    };
    for (const Case& c : cases) {
        kcr_async_thread_state state = make(c.cpu);
        for (uint32_t reg = 0; reg < async_thread_state_get_reg_count(&state); ++reg) {
            async_thread_state_set_reg(&state, reg, reg + 100);
        }
        async_thread_state_clear_volatile_regs(&state);
        std::vector<uint32_t> kept;
        for (uint32_t reg = 0; reg < 64; ++reg) {
            if (async_thread_state_has_reg(&state, reg))
                kept.push_back(reg);
        }
        EXPECT_EQ(kept, c.kept) << c.cpu;
    }
}

TEST(ThreadState, DwarfMapsRoundTripAndCoverTheirTables) {
    struct Case {
        uint32_t cpu;
        std::vector<std::pair<uint64_t, uint32_t>> pairs;  // DWARF -> register
        uint64_t unmapped_dwarf;
    };
    const Case cases[] = {
        {KCR_CPU_TYPE_ARM64, {{0, 3}, {28, 31}, {29, 1}, {30, 32}, {31, 2}}, 32},
        {KCR_CPU_TYPE_ARM, {{0, 3}, {6, 9}, {7, 1}, {8, 10}, {12, 14}, {13, 2}, {14, 15}, {15, 0}}, 16},
        {KCR_CPU_TYPE_X86_64,
         {{0, 3}, {1, 6}, {2, 5}, {3, 4}, {4, 8}, {5, 7}, {6, 1}, {7, 2}, {8, 9}, {15, 16}, {16, 0}},
         17},
    };
    for (const Case& c : cases) {
        kcr_async_thread_state state = make(c.cpu);
        for (const auto& [dwarf, reg] : c.pairs) {
            uint32_t mapped = 999;
            EXPECT_TRUE(async_thread_state_map_dwarf_to_reg(&state, dwarf, &mapped));
            EXPECT_EQ(mapped, reg) << c.cpu << " dwarf " << dwarf;
            uint64_t back = 999;
            EXPECT_TRUE(async_thread_state_map_reg_to_dwarf(&state, reg, &back));
            EXPECT_EQ(back, dwarf);
        }
        uint32_t mapped = 0;
        EXPECT_FALSE(async_thread_state_map_dwarf_to_reg(&state, c.unmapped_dwarf, &mapped));
    }
    // ARM64's pc has no DWARF number.
    kcr_async_thread_state arm64 = make(KCR_CPU_TYPE_ARM64);
    uint64_t dwarf = 0;
    EXPECT_FALSE(async_thread_state_map_reg_to_dwarf(&arm64, 0, &dwarf));
}

TEST(ThreadState, Arm64MachineContextCopiesTheGeneralBlock) {
    uint8_t context[16 + 272 + 528] = {};
    kcr_arm_thread_state64 general{};
    for (int i = 0; i < 29; ++i)
        general.x[i] = 0x1000 + i;
    general.fp = 0x7000;
    general.lr = 0x8000;
    general.sp = 0x9000;
    general.pc = 0xA000;
    general.cpsr = 0x60000000;
    std::memcpy(context + 16, &general, sizeof general);
    kcr_async_thread_state state;
    async_thread_state_arm64_mcontext_init(&state, context);
    EXPECT_EQ(state.valid_regs, ~0ull);
    EXPECT_EQ(async_thread_state_get_reg(&state, 0), 0xA000u);
    EXPECT_EQ(async_thread_state_get_reg(&state, 1), 0x7000u);
    EXPECT_EQ(async_thread_state_get_reg(&state, 3), 0x1000u);
    EXPECT_EQ(async_thread_state_get_reg(&state, 32), 0x8000u);
    EXPECT_EQ(async_thread_state_get_reg(&state, 33), 0x60000000u);
}

#if defined(__x86_64__)
// The faulting load, at a known address.
extern "C" void kcr_test_faulting_load();
extern "C" char kcr_test_fault_instruction[];
asm(R"(
    .text
    .globl kcr_test_faulting_load
    .globl kcr_test_fault_instruction
    .type kcr_test_faulting_load, @function
kcr_test_faulting_load:
    pushq %rbp
    movq %rsp, %rbp
    movq $0x5A5A, %rbx
    xorl %eax, %eax
kcr_test_fault_instruction:
    movq (%rax), %rax
    popq %rbp
    ret
    .size kcr_test_faulting_load, .-kcr_test_faulting_load
)");

namespace {
void recordFault(int, siginfo_t*, void* context) {
    kcr_async_thread_state state;
    async_thread_state_mcontext_init(&state, static_cast<const ucontext_t*>(context));
    bool ok = state.pc_is_exact && state.valid_regs == ~0ull &&
              async_thread_state_get_reg(&state, KCR_X86_64_RIP) ==
                  reinterpret_cast<uint64_t>(kcr_test_fault_instruction) &&
              async_thread_state_get_reg(&state, KCR_X86_64_RBX) == 0x5A5A &&
              async_thread_state_get_reg(&state, KCR_X86_64_RBP) ==
                  async_thread_state_get_reg(&state, KCR_X86_64_RSP) &&
              async_thread_state_get_reg(&state, KCR_X86_64_RAX) == 0 &&
              async_thread_state_get_reg(&state, KCR_X86_64_CS) != 0;
    _exit(ok ? 0 : 1);
}
}  // namespace

TEST(ThreadState, SignalContextOfARealFaultNamesTheFaultingInstruction) {
    const int status = testsupport::waitStatusOfChild([] {
        struct sigaction action {};
        action.sa_sigaction = recordFault;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        kcr_test_faulting_load();
        return 2;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif
