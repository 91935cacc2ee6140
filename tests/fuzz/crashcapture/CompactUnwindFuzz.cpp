// Compact unwind sections from the fuzzer: the input's first 9 bytes choose
// the CPU and the address looked up, the rest is the "__unwind_info"
// section. Every outcome must be an error code or an entry that decodes and
// applies to a state whose registers point into a local stack.
#include <cstdint>
#include <cstring>
#include <vector>

#include "crashcapture/KCRAsyncCompactUnwind.h"

using namespace kcr::async;

// Results are not checked: a fuzz target looks for faults, hangs and
// overruns, not for answers.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    static constexpr uint32_t kCpus[] = {KCR_CPU_TYPE_X86, KCR_CPU_TYPE_X86_64, KCR_CPU_TYPE_ARM64};
    const uint32_t cpu = kCpus[data[0] % 3];
    uint32_t address;
    std::memcpy(&address, data + 1, 4);
    uint32_t extra;
    std::memcpy(&extra, data + 5, 4);
    std::vector<uint8_t> section(data + 9, data + size);
    if (section.empty())
        return 0;
    kcr_async_mobject mobj;
    if (async_mobject_init(&mobj, async_task_self(), reinterpret_cast<uint64_t>(section.data()),
                           section.size(), true) != KCR_ESUCCESS)
        return 0;
    async_compact_unwind_reader reader;
    uint32_t encoding = extra;
    uint32_t function = 0;
    if (async_compact_unwind_reader_init(&reader, &mobj, cpu) == KCR_ESUCCESS)
        (void)async_compact_unwind_reader_find_pc(&reader, address, &function, &encoding);
    async_compact_unwind_entry entry;
    if (async_compact_unwind_entry_init(&entry, cpu, encoding) == KCR_ESUCCESS &&
        cpu == KCR_CPU_TYPE_X86_64) {
        uint64_t stack[64] = {};
        kcr_async_thread_state state;
        (void)async_thread_state_init(&state, cpu);
        async_thread_state_set_reg(&state, KCR_X86_64_RIP, 0x1000);
        async_thread_state_set_reg(&state, KCR_X86_64_RSP, reinterpret_cast<uint64_t>(stack));
        async_thread_state_set_reg(&state, KCR_X86_64_RBP, reinterpret_cast<uint64_t>(stack + 32));
        kcr_async_thread_state next;
        (void)async_compact_unwind_entry_apply(async_task_self(), reinterpret_cast<uint64_t>(section.data()),
                                               &state, &entry, &next);
    }
    uint32_t numbers[6];
    (void)async_compact_unwind_permutation_decode(extra & 0x3FF, (extra >> 10) & 7, numbers);
    async_mobject_free(&mobj);
    return 0;
}
