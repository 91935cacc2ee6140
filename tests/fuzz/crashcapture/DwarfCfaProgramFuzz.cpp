// Feeds arbitrary bytes to the DWARF call-frame machinery over bounded
// memory: as a CFA program (run to a target, then applied to a fabricated
// thread state whose stack is a local buffer) and as an .eh_frame section
// (entry search, CIE and FDE parsing). Nothing may fault, loop or read
// outside the bytes given.
//
// Input: byte 0 picks the width (bit 0) and the alignment factors (bits
// 1-7); bytes 1-2 the target offset; the rest is the program and section.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crashcapture/KCRAsyncDwarfCFAState.h"
#include "crashcapture/KCRAsyncDwarfEncoding.h"

using namespace kcr::async;

// Results are not checked: a fuzz target looks for faults, hangs and
// overruns, not for answers.

namespace {

constexpr uint64_t kBase = 0x7000;

template <typename machine_ptr>
void run(const uint8_t* bytes, size_t size, uint8_t flags, uint16_t target) {
    async_dwarf_memory memory;
    async_dwarf_memory_init_local(&memory, bytes, size, kBase, async_byteorder_direct());
    kcr_async_dwarf_cie_info cie;
    cie.code_alignment_factor = 1 + (flags >> 5);
    cie.data_alignment_factor = -static_cast<int64_t>(1 + ((flags >> 1) & 0x0F));
    cie.return_address_register = 16;
    cie.eh_augmentation.data_present = true;
    cie.eh_augmentation.has_pointer_encoding = true;
    cie.eh_augmentation.pointer_encoding = DW_EH_PE::pcrel | DW_EH_PE::sdata4;
    gnu_ehptr_reader<machine_ptr> reader(async_byteorder_direct());
    dwarf_cfa_state<machine_ptr> state;
    if (state.eval_program(&memory, 0x1000 + target, 0x1000, &cie, &reader, kBase, size) == KCR_ESUCCESS) {
        // The "stack" the rules read is a local buffer.
        alignas(16) static uint64_t stack[64];
        kcr_async_thread_state current;
        (void)async_thread_state_init(&current, KCR_CPU_TYPE_X86_64);
        for (uint32_t r = 0; r < async_thread_state_get_reg_count(&current); ++r)
            async_thread_state_set_reg(&current, r, reinterpret_cast<uint64_t>(&stack[r % 64]));
        kcr_async_thread_state next;
        (void)state.apply_state(async_task_self(), &memory, &cie, &current, &next);
    }
    // The same bytes as a section.
    async_dwarf_frame_reader frames;
    async_dwarf_frame_reader_init(&frames, &memory, sizeof(machine_ptr) == 8, (flags & 0x80) != 0);
    kcr_async_dwarf_fde_info fde;
    if (async_dwarf_frame_reader_find_fde(&frames, 0, 0x1000 + target, &fde) == KCR_ESUCCESS) {
        kcr_async_dwarf_cie_info parsed;
        gnu_ehptr_reader<machine_ptr> fresh(async_byteorder_direct());
        (void)kcr_async_dwarf_cie_info_init<machine_ptr>(&parsed, &memory, &fresh, kBase + fde.cie_offset);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    uint16_t target;
    std::memcpy(&target, data + 1, 2);
    if (data[0] & 1)
        run<uint64_t>(data + 3, size - 3, data[0], target);
    else
        run<uint32_t>(data + 3, size - 3, data[0], target);
    return 0;
}
