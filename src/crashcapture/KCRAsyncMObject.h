// A memory object: a private, read-only-by-convention copy of a range of task
// memory, with every access checked against what was really copied. Readers
// of images use it so that a corrupted address yields an error code instead of
// a fault. Created and freed by its user; no heap; async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashcapture/KCRAsync.h"

namespace kcr::async {

struct kcr_async_mobject {
    kcr_task_t task;
    uintptr_t address = 0;      // local pointer to the first requested byte
    uint64_t task_address = 0;  // the task address given at init
    uint64_t length = 0;        // usable bytes from `address` on
    int64_t slide = 0;          // task address - local address
    uintptr_t vm_address = 0;   // the page-aligned local copy, to release
    uint64_t vm_length = 0;
};

// Copies the pages that cover [task_address, + length). Without
// `require_full`, the object ends at the first unreadable page. 0, or 3 when
// nothing (or not all that was required) could be copied, or 6 when no local
// pages could be had. On failure nothing stays mapped. A copy holds at most
// plat::machine::kMaxCopiedMapping bytes (64 MiB).
[[nodiscard]] kcr_error_t async_mobject_init(kcr_async_mobject* mobj, const kcr_task_t& task,
                                             uint64_t task_address, uint64_t length, bool require_full);
const kcr_task_t& async_mobject_task(const kcr_async_mobject* mobj);
uint64_t async_mobject_base_address(const kcr_async_mobject* mobj);
uint64_t async_mobject_length(const kcr_async_mobject* mobj);

// True when [pointer + offset, + length) neither wraps nor leaves the object.
bool async_mobject_verify_local_pointer(const kcr_async_mobject* mobj, uintptr_t pointer, int64_t offset,
                                        uint64_t length);
// The local pointer of task address + offset when the whole range is inside; else null.
void* async_mobject_remap_address(const kcr_async_mobject* mobj, uint64_t task_address, int64_t offset,
                                  uint64_t length);

// Checked, byte-order converted reads; 5 for a range outside the object.
[[nodiscard]] kcr_error_t async_mobject_read_uint8(const kcr_async_mobject* mobj, uint64_t address,
                                                   int64_t offset, uint8_t* result);
[[nodiscard]] kcr_error_t async_mobject_read_uint16(const kcr_async_mobject* mobj,
                                                    const kcr_async_byteorder* order, uint64_t address,
                                                    int64_t offset, uint16_t* result);
[[nodiscard]] kcr_error_t async_mobject_read_uint32(const kcr_async_mobject* mobj,
                                                    const kcr_async_byteorder* order, uint64_t address,
                                                    int64_t offset, uint32_t* result);
[[nodiscard]] kcr_error_t async_mobject_read_uint64(const kcr_async_mobject* mobj,
                                                    const kcr_async_byteorder* order, uint64_t address,
                                                    int64_t offset, uint64_t* result);

void async_mobject_free(kcr_async_mobject* mobj);

}  // namespace kcr::async
