// The compact unwind reader: finds the 32-bit unwind encoding of the function
// holding an address in a Mach-O image's "__TEXT","__unwind_info" section
// (a two-level index of regular and compressed pages), decodes it for x86,
// x86-64 or ARM64, and computes the caller's registers from it.
//
// Every table access is checked against the section mapping: a malformed
// section gives an error code, never a read outside it. Async-signal-safe;
// nothing is allocated.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncMObject.h"
#include "crashcapture/KCRAsyncThreadState.h"

namespace kcr::async {

inline constexpr uint32_t compact_unwind_no_register = 0x7FFFFFFF;
inline constexpr uint32_t kCompactUnwindMaxRegisters = 10;

enum async_compact_unwind_type : uint32_t {
    KCR_COMPACT_UNWIND_FRAME = 1,
    KCR_COMPACT_UNWIND_FRAMELESS_IMMD = 2,
    KCR_COMPACT_UNWIND_FRAMELESS_INDIRECT = 3,
    KCR_COMPACT_UNWIND_DWARF = 4,
    KCR_COMPACT_UNWIND_NONE = 5,
};

struct async_compact_unwind_reader {
    kcr_async_mobject* mobj = nullptr;
    uint32_t cpu_type = 0;
    const kcr_async_byteorder* byteorder = nullptr;
    struct {
        uint32_t version;
        uint32_t common_encodings_offset;
        uint32_t common_encodings_count;
        uint32_t personality_offset;
        uint32_t personality_count;
        uint32_t index_offset;
        uint32_t index_count;
    } header{};
};

struct async_compact_unwind_entry {
    uint32_t type = 0;
    uint32_t cpu_type = 0;
    uint64_t stack_offset = 0;  // signed for frame entries
    uint32_t stack_adjust = 0;
    uint32_t return_address_register = compact_unwind_no_register;
    uint32_t register_count = 0;
    uint32_t registers[kCompactUnwindMaxRegisters] = {};
};

// 4 for another CPU type or a version other than 1; 5 when the 28-byte
// header is not inside the mapping.
[[nodiscard]] kcr_error_t async_compact_unwind_reader_init(async_compact_unwind_reader* reader,
                                                           kcr_async_mobject* mobj, uint32_t cpu_type);
// `address` is relative to the image's header. 8 when no entry covers it,
// 5 when a table lies outside the mapping or a page kind is unknown.
[[nodiscard]] kcr_error_t async_compact_unwind_reader_find_pc(async_compact_unwind_reader* reader,
                                                              uint64_t address, uint32_t* function_offset,
                                                              uint32_t* encoding);
void async_compact_unwind_reader_free(async_compact_unwind_reader* reader);

// 4 for an unsupported CPU or mode, 5 for a bad register field.
[[nodiscard]] kcr_error_t async_compact_unwind_entry_init(async_compact_unwind_entry* entry,
                                                          uint32_t cpu_type, uint32_t encoding);
uint32_t async_compact_unwind_entry_get_type(const async_compact_unwind_entry* entry);
uint64_t async_compact_unwind_entry_get_stack_offset(const async_compact_unwind_entry* entry);
uint32_t async_compact_unwind_entry_get_stack_adjust(const async_compact_unwind_entry* entry);
uint32_t async_compact_unwind_entry_get_return_address_register(const async_compact_unwind_entry* entry);
uint32_t async_compact_unwind_entry_get_register_count(const async_compact_unwind_entry* entry);
void async_compact_unwind_entry_copy_registers(const async_compact_unwind_entry* entry,
                                               uint32_t registers[kCompactUnwindMaxRegisters]);
void async_compact_unwind_entry_free(async_compact_unwind_entry* entry);

// The caller's registers: volatile registers cleared, sp, pc (and fp) moved
// and the saved registers read from the stack. 8 when a needed register is
// unknown, 4 for the DWARF and no-unwind types, a read's error otherwise.
[[nodiscard]] kcr_error_t async_compact_unwind_entry_apply(const kcr_task_t& task, uint64_t function_address,
                                                           const kcr_async_thread_state* current,
                                                           const async_compact_unwind_entry* entry,
                                                           kcr_async_thread_state* next);

// The register permutation of frameless encodings, for 1 to 6 registers
// (compact numbers 1-6). Decoding fails with 5 above 6.
[[nodiscard]] kcr_error_t async_compact_unwind_permutation_decode(uint32_t permutation, uint32_t count,
                                                                  uint32_t* numbers);
uint32_t async_compact_unwind_permutation_encode(const uint32_t* numbers, uint32_t count);
// A compact register number as a thread-state number (compact 0: none).
[[nodiscard]] kcr_error_t async_compact_unwind_register_decode(uint32_t compact, uint32_t* reg,
                                                               uint32_t cpu_type);

// A frame reader of the cursor: 4 when the image has no compact entry for
// the pc, 2 when the entry says there is nothing to unwind or applying fails.
[[nodiscard]] frame_error_t async_frame_read_compact_unwind(const kcr_task_t& task,
                                                            async_image_list_t* image_list,
                                                            const kcr_async_thread_state* current,
                                                            const kcr_async_thread_state* previous,
                                                            kcr_async_thread_state* next);

}  // namespace kcr::async
