// Built with -fno-omit-frame-pointer, so that the frame-pointer walk of this
// file's own call chains can be checked against __builtin_return_address.
#include "crashcapture/KCRAsyncFrameCursor.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

using namespace kcr::async;

namespace {

int gReaderCalls = 0;
frame_error_t gStubResult = FRAME_ESUCCESS;
uint64_t gStubPc = 0x10000;
bool gStubSetsPc = true;

frame_error_t stubReader(const kcr_task_t&, async_image_list_t*, const kcr_async_thread_state* current,
                         const kcr_async_thread_state*, kcr_async_thread_state* next) {
    ++gReaderCalls;
    if (gStubResult != FRAME_ESUCCESS)
        return gStubResult;
    async_thread_state_copy(next, current);
    async_thread_state_clear_all_regs(next);
    if (gStubSetsPc)
        async_thread_state_set_reg(next, 0, gStubPc);
    return FRAME_ESUCCESS;
}
frame_error_t failingReader(const kcr_task_t&, async_image_list_t*, const kcr_async_thread_state*,
                            const kcr_async_thread_state*, kcr_async_thread_state*) {
    ++gReaderCalls;
    return FRAME_ENOTSUP;
}

kcr_async_thread_state startState(uint32_t cpu, uint64_t pc, uint64_t fp) {
    kcr_async_thread_state state;
    EXPECT_EQ(async_thread_state_init(&state, cpu), KCR_ESUCCESS);
    async_thread_state_set_reg(&state, 0, pc);
    async_thread_state_set_reg(&state, 1, fp);
    return state;
}

}  // namespace

TEST(FrameCursor, ErrorTexts) {
    const char* texts[] = {"No error",        "Unknown error",           "No frames are available",
                           "Corrupted frame", "Operation not supported", "Invalid argument",
                           "Internal error",  "Invalid register"};
    for (int i = 0; i < 8; ++i)
        EXPECT_STREQ(frame_error_text(i), texts[i]);
    EXPECT_STREQ(frame_error_text(8), "Unhandled error code");
}

TEST(FrameCursor, SteppingRules) {
    kcr_async_thread_state start = startState(KCR_CPU_TYPE_ARM64, 0x5000, 0x100);
    async_frame_cursor cursor;
    ASSERT_EQ(async_frame_cursor_init(&cursor, async_task_self(), &start, nullptr), FRAME_ESUCCESS);
    gReaderCalls = 0;
    const async_frame_reader none[] = {stubReader};
    // The first step yields the start state without asking a reader.
    EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, none, 0), FRAME_ESUCCESS);
    EXPECT_EQ(gReaderCalls, 0);
    uint64_t pc = 0;
    EXPECT_EQ(async_frame_cursor_get_reg(&cursor, 0, &pc), FRAME_ESUCCESS);
    EXPECT_EQ(pc, 0x5000u);
    EXPECT_EQ(async_frame_cursor_get_regcount(&cursor), 34u);
    EXPECT_STREQ(async_frame_cursor_get_regname(&cursor, 2), "sp");
    EXPECT_EQ(async_frame_cursor_get_reg(&cursor, 5, &pc), FRAME_ENOTSUP);
    // No readers: invalid from the second step on.
    EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, none, 0), FRAME_EINVAL);

    // The first reader that answers wins; failures fall through.
    const async_frame_reader readers[] = {failingReader, stubReader};
    gStubResult = FRAME_ESUCCESS;
    gStubPc = 0x6000;
    gReaderCalls = 0;
    EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, readers, 2), FRAME_ESUCCESS);
    EXPECT_EQ(gReaderCalls, 2);
    EXPECT_EQ(cursor.depth, 2u);
    EXPECT_EQ(async_thread_state_get_reg(&cursor.prev_frame, 0), 0x5000u);
    // Every reader failing gives the last one's code, and the cursor stays put.
    gStubResult = FRAME_EBADFRAME;
    const async_frame_reader failing[] = {stubReader, failingReader};
    EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, failing, 2), FRAME_ENOTSUP);
    EXPECT_EQ(cursor.depth, 2u);
    // A pc at or below the page size, or none at all, ends the walk.
    gStubResult = FRAME_ESUCCESS;
    for (uint64_t low : {uint64_t{0}, uint64_t{1}, static_cast<uint64_t>(sysconf(_SC_PAGESIZE))}) {
        gStubPc = low;
        EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, readers, 2), FRAME_ENOFRAME) << low;
    }
    gStubSetsPc = false;
    EXPECT_EQ(async_frame_cursor_next_with_readers(&cursor, readers, 2), FRAME_ENOFRAME);
    gStubSetsPc = true;
    EXPECT_EQ(cursor.depth, 2u);
    async_frame_cursor_free(&cursor);
}

TEST(FramePointerReader, FabricatedStacksOfEachWidth) {
    // ARM64 reads keep 36 address bits and ARM ones 32, so the fabricated stack
    // lives low in the address space.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* low = mmap(reinterpret_cast<void*>(0x30000000), page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (low == MAP_FAILED)
        GTEST_SKIP() << "no free low page";
    auto* stack64 = static_cast<uint64_t*>(low);
    stack64[0] = reinterpret_cast<uint64_t>(&stack64[4]);  // saved fp
    stack64[1] = 0x4444;                                   // return address
    stack64[4] = 0;
    stack64[5] = 0x5555;
    for (uint32_t cpu : {KCR_CPU_TYPE_ARM64, KCR_CPU_TYPE_X86_64}) {
        kcr_async_thread_state current = startState(cpu, 0x3000, reinterpret_cast<uint64_t>(&stack64[0]));
        async_thread_state_set_reg(&current, 2, 0x1234);
        kcr_async_thread_state next;
        ASSERT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &current, nullptr, &next),
                  FRAME_ESUCCESS);
        EXPECT_EQ(async_thread_state_get_reg(&next, 0), 0x4444u);
        EXPECT_EQ(async_thread_state_get_reg(&next, 1), reinterpret_cast<uint64_t>(&stack64[4]));
        EXPECT_EQ(next.valid_regs, 0b11u);  // only pc and fp
        EXPECT_FALSE(next.pc_is_exact);

        // Moving towards younger frames is corrupt; an equal frame pointer passes.
        kcr_async_thread_state older = startState(cpu, 0x3000, reinterpret_cast<uint64_t>(&stack64[4]));
        EXPECT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &current, &older, &next),
                  FRAME_EBADFRAME);
        EXPECT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &current, &current, &next),
                  FRAME_ESUCCESS);
        // fp 0 ends the stack; no fp, an unreadable fp and a record naming itself are corrupt.
        kcr_async_thread_state zero = startState(cpu, 0x3000, 0);
        EXPECT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &zero, nullptr, &next),
                  FRAME_ENOFRAME);
        kcr_async_thread_state noFp = zero;
        async_thread_state_clear_reg(&noFp, 1);
        EXPECT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &noFp, nullptr, &next),
                  FRAME_EBADFRAME);
        kcr_async_thread_state wild = startState(cpu, 0x3000, 0x10);
        EXPECT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &wild, nullptr, &next),
                  FRAME_EBADFRAME);
    }
    // ARM reads two 32-bit words.
    auto* stack32 = reinterpret_cast<uint32_t*>(stack64 + 8);
    stack32[0] = 0x30000100;
    stack32[1] = 0x7777;
    kcr_async_thread_state arm = startState(KCR_CPU_TYPE_ARM, 0x3000, reinterpret_cast<uint64_t>(stack32));
    kcr_async_thread_state next;
    ASSERT_EQ(async_frame_read_frame_pointer(async_task_self(), nullptr, &arm, nullptr, &next),
              FRAME_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, 0), 0x7777u);
    EXPECT_EQ(async_thread_state_get_reg(&next, 1), 0x30000100u);
    munmap(low, page);
}

TEST(FramePointerReader, CyclicChainsEnd) {
    alignas(16) uint64_t stack[6] = {};
    // A record that names itself, and two records that name each other.
    stack[0] = reinterpret_cast<uint64_t>(&stack[0]);
    stack[1] = 0x4444;
    stack[2] = reinterpret_cast<uint64_t>(&stack[4]);
    stack[3] = 0x5555;
    stack[4] = reinterpret_cast<uint64_t>(&stack[2]);
    stack[5] = 0x6666;
    for (int first : {0, 2}) {
        kcr_async_thread_state start =
            startState(KCR_CPU_TYPE_X86_64, 0x3000, reinterpret_cast<uint64_t>(&stack[first]));
        async_frame_cursor cursor;
        EXPECT_EQ(async_frame_cursor_init(&cursor, async_task_self(), &start, nullptr), FRAME_ESUCCESS);
        int frames = 0;
        while (async_frame_cursor_next(&cursor) == FRAME_ESUCCESS && frames < 100)
            ++frames;
        EXPECT_LE(frames, 3) << first;
    }
}

#if defined(__x86_64__)
namespace {

constexpr int kDepth = 8;
uint64_t gReturnAddresses[kDepth + 1];
uint64_t gWalked[64];
int gWalkedCount = 0;
uint64_t gCallerFrame = 0;

kcr_error_t walkFromCapture(kcr_async_thread_state* state, void*) {
    async_frame_cursor cursor;
    EXPECT_EQ(async_frame_cursor_init(&cursor, async_task_self(), state, nullptr), FRAME_ESUCCESS);
    gWalkedCount = 0;
    while (gWalkedCount < 64 && async_frame_cursor_next(&cursor) == FRAME_ESUCCESS) {
        uint64_t pc = 0;
        if (async_frame_cursor_get_reg(&cursor, 0, &pc) != FRAME_ESUCCESS)
            break;
        gWalked[gWalkedCount++] = pc;
    }
    async_frame_cursor_free(&cursor);
    return KCR_ESUCCESS;
}

__attribute__((noinline)) int callChain(int depth) {
    gReturnAddresses[depth] = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    int result;
    if (depth == 0) {
        gCallerFrame = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
        result = async_thread_state_current(walkFromCapture, nullptr);
    } else {
        result = callChain(depth - 1);
    }
    asm volatile("" ::: "memory");  // no tail call: every level keeps its frame
    return result + depth;
}

struct Captured {
    uint64_t rbp, rsp, rip, rdi;
    bool exact;
};
kcr_error_t keepState(kcr_async_thread_state* state, void* context) {
    auto* captured = static_cast<Captured*>(context);
    captured->rbp = async_thread_state_get_reg(state, KCR_X86_64_RBP);
    captured->rsp = async_thread_state_get_reg(state, KCR_X86_64_RSP);
    captured->rip = async_thread_state_get_reg(state, KCR_X86_64_RIP);
    captured->rdi = async_thread_state_get_reg(state, KCR_X86_64_RDI);
    captured->exact = state->pc_is_exact;
    return 42;
}

__attribute__((noinline)) void captureHere(Captured* captured, uint64_t* frame, kcr_error_t* result) {
    *frame = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    *result = async_thread_state_current(keepState, captured);
    asm volatile("" ::: "memory");
}

}  // namespace

TEST(FramePointerReader, WalkOfThisStackMatchesTheReturnAddressChain) {
    callChain(kDepth);
    ASSERT_GE(gWalkedCount, kDepth + 2);
    // Frame 0 is the capture point inside the innermost level; each later
    // frame returns into the next level out.
    for (int i = 0; i <= kDepth; ++i)
        EXPECT_EQ(gWalked[i + 1], gReturnAddresses[i]) << "frame " << i + 1;
}

TEST(ThreadStateCapture, SeesTheCallersFrame) {
    Captured captured{};
    uint64_t frame = 0;
    kcr_error_t result = 0;
    captureHere(&captured, &frame, &result);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(captured.rbp, frame);
    EXPECT_LT(captured.rsp, frame + 1);
    EXPECT_GT(captured.rsp, frame - 4096);
    const uint64_t function = reinterpret_cast<uint64_t>(&captureHere);
    EXPECT_GT(captured.rip, function);
    EXPECT_LT(captured.rip, function + 512);
    EXPECT_EQ(captured.rdi, reinterpret_cast<uint64_t>(&keepState));  // the callback argument
    EXPECT_FALSE(captured.exact);
}
#endif
