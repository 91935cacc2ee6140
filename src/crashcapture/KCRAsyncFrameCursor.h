// Walks a thread's frames from one register state outwards. Each step asks a
// list of frame readers, in order, for the caller's state; the first that
// answers wins. The frame-pointer reader is here; table-driven readers plug
// into the same signature.
//
// A cursor lives on its caller's stack, never allocates and is
// async-signal-safe. The image list it passes to the readers is read under
// that list's reader protocol.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncThreadState.h"

namespace kcr::async {

struct async_image_list_t;

using frame_error_t = int32_t;
inline constexpr frame_error_t FRAME_ESUCCESS = 0;
inline constexpr frame_error_t FRAME_EUNKNOWN = 1;
inline constexpr frame_error_t FRAME_ENOFRAME = 2;
inline constexpr frame_error_t FRAME_EBADFRAME = 3;
inline constexpr frame_error_t FRAME_ENOTSUP = 4;
inline constexpr frame_error_t FRAME_EINVAL = 5;
inline constexpr frame_error_t FRAME_INTERNAL = 6;
inline constexpr frame_error_t FRAME_EBADREG = 7;

// The text of a code; "Unhandled error code" above 7.
const char* frame_error_text(frame_error_t error);

// Derives the caller's state (`next`) from the current frame; `previous` is
// the frame produced before the current one, or null for the first step.
using async_frame_reader = frame_error_t (*)(const kcr_task_t& task, async_image_list_t* image_list,
                                             const kcr_async_thread_state* current,
                                             const kcr_async_thread_state* previous,
                                             kcr_async_thread_state* next);

struct async_frame_cursor {
    kcr_task_t task;
    async_image_list_t* image_list = nullptr;
    uint32_t depth = 0;
    kcr_async_thread_state prev_frame;
    kcr_async_thread_state frame;
};

[[nodiscard]] frame_error_t async_frame_cursor_init(async_frame_cursor* cursor, const kcr_task_t& task,
                                                    const kcr_async_thread_state* thread_state,
                                                    async_image_list_t* image_list);
// Starts from a thread suspended by plat::machine::suspendThreads(); 6 when
// its registers are not at hand.
[[nodiscard]] kcr_error_t async_frame_cursor_init_with_thread(async_frame_cursor* cursor,
                                                              const kcr_task_t& task, uint32_t thread,
                                                              async_image_list_t* image_list);
// The first call yields the starting state; later calls step with the readers.
// A new pc at or below the page size (0 included) ends the walk with 2.
[[nodiscard]] frame_error_t async_frame_cursor_next_with_readers(async_frame_cursor* cursor,
                                                                 const async_frame_reader* readers,
                                                                 size_t count);
// Steps with the standard readers.
[[nodiscard]] frame_error_t async_frame_cursor_next(async_frame_cursor* cursor);
[[nodiscard]] frame_error_t async_frame_cursor_get_reg(const async_frame_cursor* cursor, uint32_t reg,
                                                       uint64_t* value);
const char* async_frame_cursor_get_regname(const async_frame_cursor* cursor, uint32_t reg);
uint32_t async_frame_cursor_get_regcount(const async_frame_cursor* cursor);
void async_frame_cursor_free(async_frame_cursor* cursor);

// Follows the saved frame-pointer chain: [fp] is the caller's fp, the next
// word its return address. Rejects a chain that does not move towards older
// frames (3) and ends at fp 0 (2).
[[nodiscard]] frame_error_t async_frame_read_frame_pointer(const kcr_task_t& task,
                                                           async_image_list_t* image_list,
                                                           const kcr_async_thread_state* current,
                                                           const kcr_async_thread_state* previous,
                                                           kcr_async_thread_state* next);

}  // namespace kcr::async
