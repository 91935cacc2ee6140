// The crash-time base that every reader of a crashed process shares: error
// codes and their texts, byte-order tables, checked address arithmetic, reads
// of task memory that return a code instead of faulting, byte-wise string
// routines, a UTF-8 length check and the calling thread's id.
//
// Everything in this header is async-signal-safe: no heap, no locks, only
// system calls. (The error builders for ordinary time are in
// KCRAsyncErrors.h.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/machine/Memory.h"

namespace kcr::async {

// Functions that can fail return one of these codes and are [[nodiscard]]:
// a caller checks it or says, beside a (void), why the failure changes
// nothing for it.
using kcr_error_t = int32_t;
inline constexpr kcr_error_t KCR_ESUCCESS = 0;
inline constexpr kcr_error_t KCR_EUNKNOWN = 1;
inline constexpr kcr_error_t KCR_OUTPUT_ERR = 2;
inline constexpr kcr_error_t KCR_ENOMEM = 3;
inline constexpr kcr_error_t KCR_ENOTSUP = 4;
inline constexpr kcr_error_t KCR_EINVAL = 5;
inline constexpr kcr_error_t KCR_EINTERNAL = 6;
inline constexpr kcr_error_t KCR_EACCESS = 7;
inline constexpr kcr_error_t KCR_ENOTFOUND = 8;
inline constexpr kcr_error_t KCR_EINVALID_DATA = 9;

// The text of a code; "Unhandled error code" for codes outside the table.
const char* async_error_text(kcr_error_t error);

// A task is a process whose memory is read: this one, or a child in tests.
using kcr_task_t = plat::machine::Task;
inline kcr_task_t async_task_self() {
    return kcr_task_t{};
}

// Byte-order conversion of values read from an image.
struct kcr_async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};
const kcr_async_byteorder* async_byteorder_direct();
const kcr_async_byteorder* async_byteorder_swapped();

// base + offset into *result; false (result untouched) when a positive offset
// wraps past the top of the address space or a negative one exceeds the base.
bool async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result);

// The calling thread's kernel id (the thread's "port").
uint32_t current_mach_thread();

// Reads task memory: 0, 3 when address + offset does not compute, 8 for an
// unmapped address, 7 for a protected one, 1 for anything else.
[[nodiscard]] kcr_error_t async_task_memcpy(const kcr_task_t& task, uint64_t address, int64_t offset,
                                            void* destination, size_t length);
[[nodiscard]] kcr_error_t async_task_read_uint8(const kcr_task_t& task, uint64_t address, int64_t offset,
                                                uint8_t* result);
[[nodiscard]] kcr_error_t async_task_read_uint16(const kcr_task_t& task, const kcr_async_byteorder* order,
                                                 uint64_t address, int64_t offset, uint16_t* result);
[[nodiscard]] kcr_error_t async_task_read_uint32(const kcr_task_t& task, const kcr_async_byteorder* order,
                                                 uint64_t address, int64_t offset, uint32_t* result);
[[nodiscard]] kcr_error_t async_task_read_uint64(const kcr_task_t& task, const kcr_async_byteorder* order,
                                                 uint64_t address, int64_t offset, uint64_t* result);

// Byte-wise routines; the comparisons compare unsigned bytes.
int async_strcmp(const char* a, const char* b);
int async_strncmp(const char* a, const char* b, size_t n);
void* async_memcpy(void* destination, const void* source, size_t length);
void* async_memset(void* destination, uint8_t value, size_t length);

// The length of the leading valid UTF-8 text of at most `maximum` bytes
// (stopping at a 0 byte); a leading byte-order mark counts as valid.
size_t async_utf8_valid_length(const uint8_t* bytes, size_t maximum);
size_t async_utf8_valid_length(const char* text);

}  // namespace kcr::async
