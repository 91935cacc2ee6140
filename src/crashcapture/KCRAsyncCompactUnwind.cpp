#include "crashcapture/KCRAsyncCompactUnwind.h"

#include "crashcapture/KCRAsyncImage.h"

namespace kcr::async {

namespace {

constexpr uint32_t kModeMask = 0x0F000000;
constexpr uint32_t kHeaderSize = 28;
constexpr uint32_t kIndexEntrySize = 12;
constexpr uint32_t kPageRegular = 2;
constexpr uint32_t kPageCompressed = 3;

bool in_section(const async_compact_unwind_reader* reader, uint64_t offset, uint64_t length) {
    if (offset > UINT32_MAX || length > UINT32_MAX)
        return false;
    return async_mobject_remap_address(reader->mobj, async_mobject_base_address(reader->mobj),
                                       static_cast<int64_t>(offset), length) != nullptr;
}

kcr_error_t read32(const async_compact_unwind_reader* reader, uint64_t offset, uint32_t* value) {
    return async_mobject_read_uint32(reader->mobj, reader->byteorder,
                                     async_mobject_base_address(reader->mobj), static_cast<int64_t>(offset),
                                     value);
}

kcr_error_t read16(const async_compact_unwind_reader* reader, uint64_t offset, uint16_t* value) {
    return async_mobject_read_uint16(reader->mobj, reader->byteorder,
                                     async_mobject_base_address(reader->mobj), static_cast<int64_t>(offset),
                                     value);
}

uint32_t bits(uint32_t value, uint32_t low, uint32_t count) {
    return (value >> low) & ((1u << count) - 1);
}

// Frameless registers: count and permutation into compact numbers, then
// thread-state numbers.
kcr_error_t decode_frameless(async_compact_unwind_entry* entry, uint32_t encoding, uint32_t cpu) {
    const uint32_t count = bits(encoding, 10, 3);
    const uint32_t permutation = bits(encoding, 0, 10);
    uint32_t numbers[6];
    if (kcr_error_t error = async_compact_unwind_permutation_decode(permutation, count, numbers))
        return error;
    entry->register_count = count;
    for (uint32_t i = 0; i < count; ++i) {
        if (kcr_error_t error = async_compact_unwind_register_decode(numbers[i], &entry->registers[i], cpu))
            return error;
    }
    return KCR_ESUCCESS;
}

kcr_error_t decode_x86(async_compact_unwind_entry* entry, uint32_t encoding, uint32_t cpu) {
    const uint64_t scale = cpu == KCR_CPU_TYPE_X86_64 ? 8 : 4;
    switch ((encoding & kModeMask) >> 24) {
        case 0:
            entry->type = KCR_COMPACT_UNWIND_NONE;
            return KCR_ESUCCESS;
        case 1: {
            entry->type = KCR_COMPACT_UNWIND_FRAME;
            entry->stack_offset = static_cast<uint64_t>(-static_cast<int64_t>(bits(encoding, 16, 8) * scale));
            uint32_t regs = bits(encoding, 0, 15);
            uint32_t count = 0;
            // Slots from the lowest, while any higher slot still names a register.
            while (regs != 0 && count < 5) {
                if (kcr_error_t error =
                        async_compact_unwind_register_decode(regs & 7, &entry->registers[count], cpu))
                    return error;
                regs >>= 3;
                ++count;
            }
            entry->register_count = count;
            return KCR_ESUCCESS;
        }
        case 2:
            entry->type = KCR_COMPACT_UNWIND_FRAMELESS_IMMD;
            entry->stack_offset = bits(encoding, 16, 8) * scale;
            return decode_frameless(entry, encoding, cpu);
        case 3:
            entry->type = KCR_COMPACT_UNWIND_FRAMELESS_INDIRECT;
            entry->stack_offset = bits(encoding, 16, 8);
            entry->stack_adjust = static_cast<uint32_t>(bits(encoding, 13, 3) * scale);
            return decode_frameless(entry, encoding, cpu);
        case 4:
            entry->type = KCR_COMPACT_UNWIND_DWARF;
            entry->stack_offset = bits(encoding, 0, 24);
            return KCR_ESUCCESS;
        default:
            return KCR_ENOTSUP;
    }
}

kcr_error_t decode_arm64(async_compact_unwind_entry* entry, uint32_t encoding) {
    const uint32_t mode = (encoding & kModeMask) >> 24;
    switch (mode) {
        case 0:
            entry->type = KCR_COMPACT_UNWIND_NONE;
            return KCR_ESUCCESS;
        case 3:
            entry->type = KCR_COMPACT_UNWIND_DWARF;
            entry->stack_offset = bits(encoding, 0, 24);
            return KCR_ESUCCESS;
        case 2:
        case 4: {
            // Saved pairs, x19/x20 lowest on the stack.
            static constexpr struct {
                uint32_t flag;
                uint32_t first, second;
            } kPairs[] = {{0x10, 31, 30}, {0x08, 29, 28}, {0x04, 27, 26}, {0x02, 25, 24}, {0x01, 23, 22}};
            uint32_t count = 0;
            for (const auto& pair : kPairs) {
                if ((encoding & pair.flag) == 0)
                    continue;
                entry->registers[count++] = pair.first;
                entry->registers[count++] = pair.second;
            }
            entry->register_count = count;
            if (mode == 2) {
                entry->type = KCR_COMPACT_UNWIND_FRAMELESS_IMMD;
                entry->stack_offset = bits(encoding, 12, 12) * 16ull;
                entry->return_address_register = 32;  // lr
            } else {
                entry->type = KCR_COMPACT_UNWIND_FRAME;
                entry->stack_offset = static_cast<uint64_t>(-8 * static_cast<int64_t>(count));
            }
            return KCR_ESUCCESS;
        }
        default:
            return KCR_ENOTSUP;
    }
}

}  // namespace

kcr_error_t async_compact_unwind_reader_init(async_compact_unwind_reader* reader, kcr_async_mobject* mobj,
                                             uint32_t cpu_type) {
    if (cpu_type != KCR_CPU_TYPE_X86 && cpu_type != KCR_CPU_TYPE_X86_64 && cpu_type != KCR_CPU_TYPE_ARM64)
        return KCR_ENOTSUP;
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = async_byteorder_direct();
    if (!in_section(reader, 0, kHeaderSize))
        return KCR_EINVAL;
    uint32_t words[7];
    for (uint32_t i = 0; i < 7; ++i) {
        if (read32(reader, i * 4ull, &words[i]) != KCR_ESUCCESS)
            return KCR_EINVAL;
    }
    reader->header = {words[0], words[1], words[2], words[3], words[4], words[5], words[6]};
    if (reader->header.version != 1)
        return KCR_ENOTSUP;
    return KCR_ESUCCESS;
}

void async_compact_unwind_reader_free(async_compact_unwind_reader*) {}

namespace {

// Binary search over `count` entries lying `stride` bytes apart from
// `entries`, sorted by their start: `base` plus the entry's first word
// masked by `mask`. Sets `*found` to the index of the last entry whose start
// is not above `key`; KCR_ENOTFOUND when there is none.
kcr_error_t find_last_at_or_below(async_compact_unwind_reader* reader, uint64_t entries, uint32_t count,
                                  uint32_t stride, uint32_t mask, uint64_t base, uint32_t key,
                                  uint32_t* found) {
    uint32_t low = 0, high = count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        uint32_t word;
        if (read32(reader, entries + static_cast<uint64_t>(middle) * stride, &word))
            return KCR_EINVAL;
        if (base + (word & mask) <= key)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
        return KCR_ENOTFOUND;
    *found = low - 1;
    return KCR_ESUCCESS;
}

// The first-level index entry that covers `key` (the last whose function
// offset is not above it): its first function and second-level page.
kcr_error_t find_index_entry(async_compact_unwind_reader* reader, uint32_t key, uint32_t* first_function,
                             uint32_t* page) {
    const auto& h = reader->header;
    const uint32_t candidates = h.index_count - 1;  // the last entry is a sentinel
    uint32_t found;
    if (kcr_error_t error = find_last_at_or_below(reader, h.index_offset, candidates, kIndexEntrySize,
                                                  0xFFFFFFFF, 0, key, &found);
        error != KCR_ESUCCESS)
        return error;
    const uint64_t entry = h.index_offset + static_cast<uint64_t>(found) * kIndexEntrySize;
    if (read32(reader, entry, first_function) || read32(reader, entry + 4, page))
        return KCR_EINVAL;
    return KCR_ESUCCESS;
}

// A compressed second-level page: 32-bit entries of a 24-bit function
// offset (from the index entry's first function) and an 8-bit encoding
// index into the common encodings, then the page's own.
kcr_error_t find_in_compressed_page(async_compact_unwind_reader* reader, uint32_t page,
                                    uint32_t first_function, uint32_t key, uint32_t* function_offset,
                                    uint32_t* encoding) {
    const auto& h = reader->header;
    if (!in_section(reader, page, 12))
        return KCR_EINVAL;
    uint16_t entries_offset, entry_count, encodings_offset, encodings_count;
    if (read16(reader, page + 4ull, &entries_offset) || read16(reader, page + 6ull, &entry_count) ||
        read16(reader, page + 8ull, &encodings_offset) || read16(reader, page + 10ull, &encodings_count))
        return KCR_EINVAL;
    const uint64_t entries = static_cast<uint64_t>(page) + entries_offset;
    if (!in_section(reader, entries, entry_count * 4ull))
        return KCR_EINVAL;
    uint32_t found;
    if (kcr_error_t error =
            find_last_at_or_below(reader, entries, entry_count, 4, 0x00FFFFFF, first_function, key, &found);
        error != KCR_ESUCCESS)
        return error;
    uint32_t word;
    if (read32(reader, entries + found * 4ull, &word))
        return KCR_EINVAL;
    const uint64_t start = static_cast<uint64_t>(first_function) + (word & 0x00FFFFFF);
    if (start > UINT32_MAX)
        return KCR_EINVAL;
    const uint32_t index = word >> 24;
    uint32_t value;
    if (index < h.common_encodings_count) {
        if (read32(reader, h.common_encodings_offset + index * 4ull, &value))
            return KCR_EINVAL;
    } else {
        const uint32_t local = index - h.common_encodings_count;
        const uint64_t encodings = static_cast<uint64_t>(page) + encodings_offset;
        if (local >= encodings_count || !in_section(reader, encodings, encodings_count * 4ull))
            return KCR_EINVAL;
        if (read32(reader, encodings + local * 4ull, &value))
            return KCR_EINVAL;
    }
    *function_offset = static_cast<uint32_t>(start);
    *encoding = value;
    return KCR_ESUCCESS;
}

// A regular second-level page: pairs of function offset and encoding.
kcr_error_t find_in_regular_page(async_compact_unwind_reader* reader, uint32_t page, uint32_t key,
                                 uint32_t* function_offset, uint32_t* encoding) {
    if (!in_section(reader, page, 8))
        return KCR_EINVAL;
    uint16_t entries_offset, entry_count;
    if (read16(reader, page + 4ull, &entries_offset) || read16(reader, page + 6ull, &entry_count))
        return KCR_EINVAL;
    const uint64_t entries = static_cast<uint64_t>(page) + entries_offset;
    if (!in_section(reader, entries, entry_count * 8ull))
        return KCR_EINVAL;
    uint32_t found;
    if (kcr_error_t error =
            find_last_at_or_below(reader, entries, entry_count, 8, 0xFFFFFFFF, 0, key, &found);
        error != KCR_ESUCCESS)
        return error;
    if (read32(reader, entries + found * 8ull, function_offset) ||
        read32(reader, entries + found * 8ull + 4, encoding))
        return KCR_EINVAL;
    return KCR_ESUCCESS;
}

}  // namespace

kcr_error_t async_compact_unwind_reader_find_pc(async_compact_unwind_reader* reader, uint64_t address,
                                                uint32_t* function_offset, uint32_t* encoding) {
    const auto& h = reader->header;
    if (!in_section(reader, h.common_encodings_offset, static_cast<uint64_t>(h.common_encodings_count) * 4))
        return KCR_EINVAL;
    if (h.index_count < 2)
        return KCR_ENOTFOUND;
    const uint32_t candidates = h.index_count - 1;  // the last entry is a sentinel
    if (!in_section(reader, h.index_offset, static_cast<uint64_t>(candidates) * kIndexEntrySize))
        return KCR_EINVAL;
    if (address > UINT32_MAX)
        return KCR_ENOTFOUND;
    const uint32_t key = static_cast<uint32_t>(address);

    uint32_t first_function, page;
    if (kcr_error_t error = find_index_entry(reader, key, &first_function, &page); error != KCR_ESUCCESS)
        return error;
    uint32_t kind;
    if (read32(reader, page, &kind))
        return KCR_EINVAL;
    if (kind == kPageCompressed)
        return find_in_compressed_page(reader, page, first_function, key, function_offset, encoding);
    if (kind == kPageRegular)
        return find_in_regular_page(reader, page, key, function_offset, encoding);
    return KCR_EINVAL;
}

kcr_error_t async_compact_unwind_register_decode(uint32_t compact, uint32_t* reg, uint32_t cpu_type) {
    static constexpr uint32_t kX86_64[] = {compact_unwind_no_register, 4, 13, 14, 15, 16, 1};
    static constexpr uint32_t kX86[] = {compact_unwind_no_register, 6, 5, 4, 8, 7, 1};
    if (compact > 6)
        return KCR_EINVAL;
    if (cpu_type == KCR_CPU_TYPE_X86_64) {
        *reg = kX86_64[compact];
        return KCR_ESUCCESS;
    }
    if (cpu_type == KCR_CPU_TYPE_X86) {
        *reg = kX86[compact];
        return KCR_ESUCCESS;
    }
    return KCR_ENOTSUP;
}

kcr_error_t async_compact_unwind_permutation_decode(uint32_t permutation, uint32_t count, uint32_t* numbers) {
    if (count > 6)
        return KCR_EINVAL;
    uint32_t digits[6] = {};
    switch (count) {
        case 6:
        case 5:
            digits[0] = permutation / 120;
            permutation -= digits[0] * 120;
            digits[1] = permutation / 24;
            permutation -= digits[1] * 24;
            digits[2] = permutation / 6;
            permutation -= digits[2] * 6;
            digits[3] = permutation / 2;
            permutation -= digits[3] * 2;
            digits[4] = permutation;
            digits[5] = 0;
            break;
        case 4:
            digits[0] = permutation / 60;
            permutation -= digits[0] * 60;
            digits[1] = permutation / 12;
            permutation -= digits[1] * 12;
            digits[2] = permutation / 3;
            permutation -= digits[2] * 3;
            digits[3] = permutation;
            break;
        case 3:
            digits[0] = permutation / 20;
            permutation -= digits[0] * 20;
            digits[1] = permutation / 4;
            permutation -= digits[1] * 4;
            digits[2] = permutation;
            break;
        case 2:
            digits[0] = permutation / 5;
            permutation -= digits[0] * 5;
            digits[1] = permutation;
            break;
        case 1:
            digits[0] = permutation;
            break;
        default:
            return KCR_ESUCCESS;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t unused = 0;
        uint32_t chosen = 0;
        for (uint32_t number = 1; number <= 6; ++number) {
            if (used[number])
                continue;
            if (unused == digits[i]) {
                chosen = number;
                break;
            }
            ++unused;
        }
        if (chosen == 0)
            return KCR_EINVAL;  // a digit past the numbers left
        used[chosen] = true;
        numbers[i] = chosen;
    }
    return KCR_ESUCCESS;
}

uint32_t async_compact_unwind_permutation_encode(const uint32_t* numbers, uint32_t count) {
    if (count < 1 || count > 6)
        return 0;
    uint32_t renumbered[6];
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t smaller = 0;
        for (uint32_t j = 0; j < i; ++j)
            smaller += numbers[j] < numbers[i];
        renumbered[i] = numbers[i] - 1 - smaller;
    }
    switch (count) {
        case 6:
        case 5:
            return 120 * renumbered[0] + 24 * renumbered[1] + 6 * renumbered[2] + 2 * renumbered[3] +
                   renumbered[4];
        case 4:
            return 60 * renumbered[0] + 12 * renumbered[1] + 3 * renumbered[2] + renumbered[3];
        case 3:
            return 20 * renumbered[0] + 4 * renumbered[1] + renumbered[2];
        case 2:
            return 5 * renumbered[0] + renumbered[1];
        default:
            return renumbered[0];
    }
}

kcr_error_t async_compact_unwind_entry_init(async_compact_unwind_entry* entry, uint32_t cpu_type,
                                            uint32_t encoding) {
    *entry = async_compact_unwind_entry{};
    entry->cpu_type = cpu_type;
    for (auto& reg : entry->registers)
        reg = compact_unwind_no_register;
    if (cpu_type == KCR_CPU_TYPE_X86 || cpu_type == KCR_CPU_TYPE_X86_64)
        return decode_x86(entry, encoding, cpu_type);
    if (cpu_type == KCR_CPU_TYPE_ARM64)
        return decode_arm64(entry, encoding);
    return KCR_ENOTSUP;
}

uint32_t async_compact_unwind_entry_get_type(const async_compact_unwind_entry* entry) {
    return entry->type;
}
uint64_t async_compact_unwind_entry_get_stack_offset(const async_compact_unwind_entry* entry) {
    return entry->stack_offset;
}
uint32_t async_compact_unwind_entry_get_stack_adjust(const async_compact_unwind_entry* entry) {
    return entry->stack_adjust;
}
uint32_t async_compact_unwind_entry_get_return_address_register(const async_compact_unwind_entry* entry) {
    return entry->return_address_register;
}
uint32_t async_compact_unwind_entry_get_register_count(const async_compact_unwind_entry* entry) {
    return entry->register_count;
}
void async_compact_unwind_entry_copy_registers(const async_compact_unwind_entry* entry,
                                               uint32_t registers[kCompactUnwindMaxRegisters]) {
    for (uint32_t i = 0; i < kCompactUnwindMaxRegisters; ++i)
        registers[i] = entry->registers[i];
}
void async_compact_unwind_entry_free(async_compact_unwind_entry*) {}

namespace {

constexpr uint32_t kCompactPc = 0, kCompactFp = 1, kCompactSp = 2;

// Reads words of the unwound thread's width (4 or 8 bytes) from its task.
struct StackWords {
    const kcr_task_t& task;
    const kcr_async_byteorder* order;
    uint64_t width;

    kcr_error_t read(uint64_t address, uint64_t* value) const {
        if (width == 8)
            return async_task_read_uint64(task, order, address, 0, value);
        uint32_t word = 0;
        kcr_error_t error = async_task_read_uint32(task, order, address, 0, &word);
        *value = word;
        return error;
    }
};

// A frameless function: the caller's stack pointer lies the stack size
// above (the size read from the function's code for an indirect entry), the
// return address in a register or just below it, the saved registers below
// that. Sets the caller's pc and sp and where the saved registers start.
kcr_error_t apply_frameless(const StackWords& words, uint64_t function_address,
                            const kcr_async_thread_state* current, const async_compact_unwind_entry* entry,
                            kcr_async_thread_state* next, uint64_t* saved_start) {
    if (!async_thread_state_has_reg(current, kCompactSp))
        return KCR_ENOTFOUND;
    uint64_t size = entry->stack_offset;
    if (entry->type == KCR_COMPACT_UNWIND_FRAMELESS_INDIRECT) {
        uint64_t at;
        if (!async_address_apply_offset(function_address, static_cast<int64_t>(entry->stack_offset), &at))
            return KCR_EINVAL;
        uint32_t immediate = 0;
        if (kcr_error_t error = async_task_read_uint32(words.task, words.order, at, 0, &immediate))
            return error;
        size = static_cast<uint64_t>(immediate) + entry->stack_adjust;
    }
    const uint64_t width = words.width;
    const uint64_t sp = async_thread_state_get_reg(current, kCompactSp);
    const uint64_t new_sp = sp + size;
    if (new_sp < sp)
        return KCR_EINVAL;
    const uint64_t saved_bytes = width * entry->register_count;
    if (entry->return_address_register != compact_unwind_no_register) {
        if (!async_thread_state_has_reg(current, entry->return_address_register))
            return KCR_ENOTFOUND;
        async_thread_state_set_reg(next, kCompactPc,
                                   async_thread_state_get_reg(current, entry->return_address_register));
        if (new_sp < saved_bytes)
            return KCR_EINVAL;
        *saved_start = new_sp - saved_bytes;
    } else {
        if (new_sp < width + saved_bytes)
            return KCR_EINVAL;
        uint64_t pc = 0;
        if (kcr_error_t error = words.read(new_sp - width, &pc))
            return error;
        async_thread_state_set_reg(next, kCompactPc, pc);
        *saved_start = new_sp - width - saved_bytes;
    }
    async_thread_state_set_reg(next, kCompactSp, new_sp);
    return KCR_ESUCCESS;
}

// A function with a frame: the caller's frame pointer and return address
// lie at the frame pointer, the saved registers at the entry's offset from it.
kcr_error_t apply_frame(const StackWords& words, const kcr_async_thread_state* current,
                        const async_compact_unwind_entry* entry, kcr_async_thread_state* next,
                        uint64_t* saved_start) {
    if (!async_thread_state_has_reg(current, kCompactFp))
        return KCR_ENOTFOUND;
    const uint64_t fp = async_thread_state_get_reg(current, kCompactFp);
    const uint64_t new_sp = fp + 2 * words.width;
    if (new_sp < fp)
        return KCR_EINVAL;
    uint64_t caller_fp = 0, pc = 0;
    if (kcr_error_t error = words.read(fp, &caller_fp))
        return error;
    if (kcr_error_t error = words.read(fp + words.width, &pc))
        return error;
    if (!async_address_apply_offset(fp, static_cast<int64_t>(entry->stack_offset), saved_start))
        return KCR_EINVAL;
    async_thread_state_set_reg(next, kCompactFp, caller_fp);
    async_thread_state_set_reg(next, kCompactPc, pc);
    async_thread_state_set_reg(next, kCompactSp, new_sp);
    return KCR_ESUCCESS;
}

// The registers the entry lists, read in order from `saved_start` up.
kcr_error_t restore_saved_registers(const StackWords& words, const async_compact_unwind_entry* entry,
                                    uint64_t saved_start, kcr_async_thread_state* next) {
    const uint32_t count = entry->register_count < kCompactUnwindMaxRegisters ? entry->register_count
                                                                              : kCompactUnwindMaxRegisters;
    for (uint32_t i = 0; i < count; ++i) {
        if (entry->registers[i] == compact_unwind_no_register)
            continue;
        uint64_t value = 0;
        if (kcr_error_t error = words.read(saved_start + i * words.width, &value))
            return error;
        async_thread_state_set_reg(next, entry->registers[i], value);
    }
    return KCR_ESUCCESS;
}

}  // namespace

kcr_error_t async_compact_unwind_entry_apply(const kcr_task_t& task, uint64_t function_address,
                                             const kcr_async_thread_state* current,
                                             const async_compact_unwind_entry* entry,
                                             kcr_async_thread_state* next) {
    const uint64_t width = async_thread_state_get_greg_size(current);
    if (width != 4 && width != 8)
        return KCR_ENOTSUP;
    const StackWords words{task, async_byteorder_direct(), width};
    async_thread_state_copy(next, current);
    async_thread_state_clear_volatile_regs(next);
    next->pc_is_exact = false;
    uint64_t saved_start = 0;
    kcr_error_t error = KCR_ENOTSUP;
    switch (entry->type) {
        case KCR_COMPACT_UNWIND_FRAMELESS_IMMD:
        case KCR_COMPACT_UNWIND_FRAMELESS_INDIRECT:
            error = apply_frameless(words, function_address, current, entry, next, &saved_start);
            break;
        case KCR_COMPACT_UNWIND_FRAME:
            error = apply_frame(words, current, entry, next, &saved_start);
            break;
        default:
            break;
    }
    if (error != KCR_ESUCCESS)
        return error;
    return restore_saved_registers(words, entry, saved_start, next);
}

frame_error_t async_frame_read_compact_unwind(const kcr_task_t& task, async_image_list_t* image_list,
                                              const kcr_async_thread_state* current,
                                              const kcr_async_thread_state*, kcr_async_thread_state* next) {
    if (!async_thread_state_has_reg(current, 0))
        return FRAME_EBADFRAME;
    const uint64_t pc = async_thread_state_get_reg(current, 0);
    if (pc == 0 || image_list == nullptr)
        return FRAME_ENOTSUP;
    // A return address is looked up inside its call.
    const uint64_t lookup = current->pc_is_exact ? pc : pc - 1;
    async_image_list_set_reading(image_list, true);
    frame_error_t result = FRAME_ENOTSUP;
    async_image* image = async_image_containing_address(image_list, lookup);
    kcr_async_mobject mobj;
    if (image != nullptr && image->kind == async_image_kind::macho &&
        async_image_map_unwind_info(image, &mobj) == KCR_ESUCCESS) {
        async_compact_unwind_reader reader;
        uint32_t function_offset = 0, encoding = 0;
        async_compact_unwind_entry entry;
        const uint64_t header = async_image_header_address(image);
        if (async_compact_unwind_reader_init(&reader, &mobj, async_image_cpu_type(image)) != KCR_ESUCCESS) {
            result = FRAME_EINVAL;
        } else if (async_compact_unwind_reader_find_pc(&reader, lookup - header, &function_offset,
                                                       &encoding) != KCR_ESUCCESS ||
                   async_compact_unwind_entry_init(&entry, reader.cpu_type, encoding) != KCR_ESUCCESS) {
            result = FRAME_ENOTSUP;
        } else if (entry.type == KCR_COMPACT_UNWIND_NONE) {
            result = FRAME_ENOFRAME;
        } else {
            uint64_t function = 0;
            if (!async_address_apply_offset(header, function_offset, &function))
                result = FRAME_EINVAL;
            else
                result =
                    async_compact_unwind_entry_apply(task, function, current, &entry, next) == KCR_ESUCCESS
                        ? FRAME_ESUCCESS
                        : FRAME_ENOFRAME;
        }
        async_mobject_free(&mobj);
    }
    async_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace kcr::async
