#include "crashcapture/KCRAsyncFrameCursor.h"

#include "crashcapture/KCRAsyncCompactUnwind.h"
#include "crashcapture/KCRAsyncDwarfEncoding.h"

namespace kcr::async {

const char* frame_error_text(frame_error_t error) {
    switch (error) {
        case FRAME_ESUCCESS:
            return "No error";
        case FRAME_EUNKNOWN:
            return "Unknown error";
        case FRAME_ENOFRAME:
            return "No frames are available";
        case FRAME_EBADFRAME:
            return "Corrupted frame";
        case FRAME_ENOTSUP:
            return "Operation not supported";
        case FRAME_EINVAL:
            return "Invalid argument";
        case FRAME_INTERNAL:
            return "Internal error";
        case FRAME_EBADREG:
            return "Invalid register";
        default:
            return "Unhandled error code";
    }
}

frame_error_t async_frame_cursor_init(async_frame_cursor* cursor, const kcr_task_t& task,
                                      const kcr_async_thread_state* thread_state,
                                      async_image_list_t* image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    async_thread_state_copy(&cursor->frame, thread_state);
    return FRAME_ESUCCESS;
}

kcr_error_t async_frame_cursor_init_with_thread(async_frame_cursor* cursor, const kcr_task_t& task,
                                                uint32_t thread, async_image_list_t* image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    return async_thread_state_mach_thread_init(&cursor->frame, thread);
}

frame_error_t async_frame_cursor_next_with_readers(async_frame_cursor* cursor,
                                                   const async_frame_reader* readers, size_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return FRAME_ESUCCESS;
    }
    if (count == 0)
        return FRAME_EINVAL;
    const kcr_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    kcr_async_thread_state next;
    frame_error_t error = FRAME_EUNKNOWN;
    for (size_t i = 0; i < count; ++i) {
        error = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (error == FRAME_ESUCCESS)
            break;
    }
    if (error != FRAME_ESUCCESS)
        return error;
    if (!async_thread_state_has_reg(&next, 0))
        return FRAME_ENOFRAME;
    if (async_thread_state_get_reg(&next, 0) <= plat::machine::pageSize())
        return FRAME_ENOFRAME;
    async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    async_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return FRAME_ESUCCESS;
}

frame_error_t async_frame_cursor_next(async_frame_cursor* cursor) {
    // Compact unwind entries (Mach-O images only), then call-frame tables:
    // they describe code built without frame pointers (the system's
    // libraries); the saved frame-pointer chain is the fall-back for code
    // they do not cover.
    static constexpr async_frame_reader kReaders[] = {
        async_frame_read_compact_unwind, async_frame_read_dwarf_unwind, async_frame_read_frame_pointer};
    return async_frame_cursor_next_with_readers(cursor, kReaders, sizeof kReaders / sizeof *kReaders);
}

frame_error_t async_frame_cursor_get_reg(const async_frame_cursor* cursor, uint32_t reg, uint64_t* value) {
    if (!async_thread_state_has_reg(&cursor->frame, reg))
        return FRAME_ENOTSUP;
    *value = async_thread_state_get_reg(&cursor->frame, reg);
    return FRAME_ESUCCESS;
}

const char* async_frame_cursor_get_regname(const async_frame_cursor* cursor, uint32_t reg) {
    return async_thread_state_get_reg_name(&cursor->frame, reg);
}

uint32_t async_frame_cursor_get_regcount(const async_frame_cursor* cursor) {
    return async_thread_state_get_reg_count(&cursor->frame);
}

void async_frame_cursor_free(async_frame_cursor* cursor) {
    cursor->image_list = nullptr;
}

frame_error_t async_frame_read_frame_pointer(const kcr_task_t& task, async_image_list_t*,
                                             const kcr_async_thread_state* current,
                                             const kcr_async_thread_state* previous,
                                             kcr_async_thread_state* next) {
    if (!async_thread_state_has_reg(current, 1))
        return FRAME_EBADFRAME;
    const uint64_t fp = async_thread_state_get_reg(current, 1);
    if (fp == 0)
        return FRAME_ENOFRAME;
    if (previous != nullptr && async_thread_state_has_reg(previous, 1)) {
        const uint64_t previous_fp = async_thread_state_get_reg(previous, 1);
        const uint32_t direction = async_thread_state_get_stackgrowth(current);
        if (direction == stack_direction_down && fp < previous_fp)
            return FRAME_EBADFRAME;
        if (direction == stack_direction_up && fp > previous_fp)
            return FRAME_EBADFRAME;
    }
    uint64_t saved_fp = 0, return_address = 0;
    if (async_thread_state_get_greg_size(current) == 4) {
        uint32_t words[2];
        if (async_task_memcpy(task, fp, 0, words, sizeof words) != KCR_ESUCCESS)
            return FRAME_EBADFRAME;
        saved_fp = words[0];
        return_address = words[1];
    } else {
        uint64_t words[2];
        if (async_task_memcpy(task, fp, 0, words, sizeof words) != KCR_ESUCCESS)
            return FRAME_EBADFRAME;
        saved_fp = words[0];
        return_address = words[1];
    }
    // A record that names itself as its caller would repeat this frame for
    // ever (the monotonic check lets equal frame pointers pass); longer cycles
    // fail that check.
    if (saved_fp == fp)
        return FRAME_EBADFRAME;
    async_thread_state_copy(next, current);
    async_thread_state_clear_all_regs(next);
    next->pc_is_exact = false;
    async_thread_state_set_reg(next, 1, saved_fp);
    async_thread_state_set_reg(next, 0, return_address);
    return FRAME_ESUCCESS;
}

}  // namespace kcr::async
