// Feeds arbitrary bytes to the DWARF expression evaluator over bounded
// memory, with a thread state whose registers point into a local buffer:
// no input may fault, loop or overrun the value stack. Byte 0 picks the
// width and the number of initial values.
#include <cstddef>
#include <cstdint>

#include "crashcapture/KCRAsyncDwarfCFAState.h"

using namespace kcr::async;

// Results are not checked: a fuzz target looks for faults, hangs and
// overruns, not for answers.

namespace {

template <typename machine_ptr>
void run(const uint8_t* bytes, size_t size, uint8_t flags) {
    async_dwarf_memory memory;
    async_dwarf_memory_init_local(&memory, bytes, size, 0x9000, async_byteorder_direct());
    alignas(16) static uint64_t stack[64];
    kcr_async_thread_state state;
    (void)async_thread_state_init(&state, KCR_CPU_TYPE_X86_64);
    for (uint32_t r = 0; r < async_thread_state_get_reg_count(&state); r += 2)  // some registers unknown
        async_thread_state_set_reg(&state, r, reinterpret_cast<uint64_t>(&stack[r]));
    machine_ptr initial[4] = {static_cast<machine_ptr>(reinterpret_cast<uintptr_t>(&stack[8])), 1, 2, 3};
    machine_ptr result = 0;
    (void)kcr_async_dwarf_expression_eval<machine_ptr>(&memory, async_task_self(), &state, 0x9000, 0, size,
                                                       initial, (flags >> 1) & 3, &result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    if (data[0] & 1)
        run<uint64_t>(data + 1, size - 1, data[0]);
    else
        run<uint32_t>(data + 1, size - 1, data[0]);
    return 0;
}
