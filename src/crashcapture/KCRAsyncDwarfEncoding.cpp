#include "crashcapture/KCRAsyncDwarfEncoding.h"

#include <type_traits>

#include "crashcapture/KCRAsyncDwarfCFAState.h"
#include "crashcapture/KCRAsyncImage.h"

namespace kcr::async {

bool async_dwarf_memory_init_task(async_dwarf_memory* memory, const kcr_task_t& task, uint64_t base,
                                  uint64_t length, const kcr_async_byteorder* order) {
    if (base + length < base)
        return false;
    memory->task = task;
    memory->order = order;
    memory->base = base;
    memory->end = base + length;
    memory->local = nullptr;
    for (auto& w : memory->windows)
        w.length = 0;
    memory->next_victim = 0;
    return true;
}

void async_dwarf_memory_init_local(async_dwarf_memory* memory, const void* bytes, size_t length,
                                   uint64_t base, const kcr_async_byteorder* order) {
    memory->task = async_task_self();
    memory->order = order;
    memory->base = base;
    memory->end = base + length < base ? UINT64_MAX : base + length;
    memory->local = static_cast<const uint8_t*>(bytes);
    for (auto& w : memory->windows)
        w.length = 0;
    memory->next_victim = 0;
}

namespace {

// Copies from the windows, filling one when none holds the range.
kcr_error_t read_windows(async_dwarf_memory* m, uint64_t start, void* destination, size_t length) {
    auto* out = static_cast<uint8_t*>(destination);
    while (length > 0) {
        async_dwarf_memory::window* hit = nullptr;
        for (auto& w : m->windows) {
            if (w.length != 0 && start >= w.address && start - w.address < w.length) {
                hit = &w;
                break;
            }
        }
        if (hit == nullptr) {
            hit = &m->windows[m->next_victim];
            m->next_victim = (m->next_victim + 1) % async_dwarf_memory::kWindowCount;
            uint64_t available = m->end - start;
            uint64_t want =
                available < async_dwarf_memory::kWindowSize ? available : async_dwarf_memory::kWindowSize;
            hit->length = 0;
            if (async_task_memcpy(m->task, start, 0, hit->bytes, want) != KCR_ESUCCESS) {
                // The end of the view may be unreadable: retry with just what is asked for.
                if (want <= length ||
                    async_task_memcpy(m->task, start, 0, hit->bytes, length) != KCR_ESUCCESS)
                    return KCR_ENOTFOUND;
                want = length;
            }
            hit->address = start;
            hit->length = static_cast<uint32_t>(want);
        }
        uint64_t in_window = hit->length - (start - hit->address);
        size_t n = in_window < length ? static_cast<size_t>(in_window) : length;
        async_memcpy(out, hit->bytes + (start - hit->address), n);
        out += n;
        start += n;
        length -= n;
    }
    return KCR_ESUCCESS;
}

}  // namespace

kcr_error_t async_dwarf_memory_read(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                    void* destination, size_t length) {
    uint64_t start = 0;
    if (!async_address_apply_offset(address, offset, &start))
        return KCR_EINVAL;
    if (start < memory->base || start > memory->end || memory->end - start < length)
        return KCR_EINVAL;
    if (length == 0)
        return KCR_ESUCCESS;
    if (memory->local != nullptr) {
        async_memcpy(destination, memory->local + (start - memory->base), length);
        return KCR_ESUCCESS;
    }
    return read_windows(memory, start, destination, length);
}

kcr_error_t async_dwarf_read_uintmax(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                     uint32_t size, uint64_t* result) {
    const kcr_async_byteorder* order = memory->order;
    kcr_error_t error = KCR_EINVAL;
    switch (size) {
        case 1: {
            uint8_t v;
            if ((error = async_dwarf_memory_read(memory, address, offset, &v, 1)) == KCR_ESUCCESS)
                *result = v;
            return error;
        }
        case 2: {
            uint16_t v;
            if ((error = async_dwarf_memory_read(memory, address, offset, &v, 2)) == KCR_ESUCCESS)
                *result = order->swap16(v);
            return error;
        }
        case 4: {
            uint32_t v;
            if ((error = async_dwarf_memory_read(memory, address, offset, &v, 4)) == KCR_ESUCCESS)
                *result = order->swap32(v);
            return error;
        }
        case 8: {
            uint64_t v;
            if ((error = async_dwarf_memory_read(memory, address, offset, &v, 8)) == KCR_ESUCCESS)
                *result = order->swap64(v);
            return error;
        }
        default:
            return KCR_EINVAL;
    }
}

namespace {

kcr_error_t read_leb128(async_dwarf_memory* memory, uint64_t address, int64_t offset, bool is_signed,
                        uint64_t* result, size_t* size) {
    uint64_t value = 0;
    unsigned shift = 0;
    for (size_t i = 0; i < 10; ++i) {
        uint8_t byte = 0;
        kcr_error_t error =
            async_dwarf_memory_read(memory, address, offset + static_cast<int64_t>(i), &byte, 1);
        if (error != KCR_ESUCCESS)
            return KCR_EINVAL;
        if (shift < 64)
            value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if ((byte & 0x80) == 0) {
            if (is_signed && shift < 64 && (byte & 0x40) != 0)
                value |= ~uint64_t{0} << shift;
            *result = value;
            *size = i + 1;
            return KCR_ESUCCESS;
        }
    }
    return KCR_ENOTSUP;
}

}  // namespace

kcr_error_t async_dwarf_read_uleb128(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                     uint64_t* result, size_t* size) {
    return read_leb128(memory, address, offset, false, result, size);
}

kcr_error_t async_dwarf_read_sleb128(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                     int64_t* result, size_t* size) {
    uint64_t value = 0;
    kcr_error_t error = read_leb128(memory, address, offset, true, &value, size);
    if (error == KCR_ESUCCESS)
        *result = static_cast<int64_t>(value);
    return error;
}

namespace {

// Reads the datum of a pointer in `format` (the encoding's format bits) at
// `field`, sign-extended where the format is signed, and the bytes it took.
kcr_error_t read_ehptr_datum(async_dwarf_memory* memory, uint64_t field, uint8_t format,
                             uint32_t pointer_width, uint64_t* datum, uint32_t* width) {
    kcr_error_t error = KCR_ESUCCESS;
    switch (format) {
        case DW_EH_PE::ptr:
            *width = pointer_width;
            return async_dwarf_read_uintmax(memory, field, 0, pointer_width, datum);
        case DW_EH_PE::uleb128: {
            size_t n = 0;
            error = async_dwarf_read_uleb128(memory, field, 0, datum, &n);
            *width = static_cast<uint32_t>(n);
            return error;
        }
        case DW_EH_PE::sleb128: {
            size_t n = 0;
            int64_t s = 0;
            error = async_dwarf_read_sleb128(memory, field, 0, &s, &n);
            *datum = static_cast<uint64_t>(s);
            *width = static_cast<uint32_t>(n);
            return error;
        }
        case DW_EH_PE::udata2:
            *width = 2;
            return async_dwarf_read_uintmax(memory, field, 0, 2, datum);
        case DW_EH_PE::sdata2:
            *width = 2;
            error = async_dwarf_read_uintmax(memory, field, 0, 2, datum);
            *datum = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(*datum)));
            return error;
        case DW_EH_PE::udata4:
            *width = 4;
            return async_dwarf_read_uintmax(memory, field, 0, 4, datum);
        case DW_EH_PE::sdata4:
            *width = 4;
            error = async_dwarf_read_uintmax(memory, field, 0, 4, datum);
            *datum = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(*datum)));
            return error;
        case DW_EH_PE::udata8:
        case DW_EH_PE::sdata8:
            *width = 8;
            return async_dwarf_read_uintmax(memory, field, 0, 8, datum);
        default:
            return KCR_ENOTSUP;
    }
}

}  // namespace

// A pointer in three steps: the base its application names (moving an
// aligned field to its alignment), the datum in its format, and, for an
// indirect pointer, the word the sum points at.
template <typename machine_ptr>
kcr_error_t gnu_ehptr_reader<machine_ptr>::read(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                                uint8_t encoding, machine_ptr* result, size_t* size) const {
    if (encoding == DW_EH_PE::omit)
        return KCR_ENOTFOUND;
    *size = 0;
    uint64_t field = 0;
    if (!async_address_apply_offset(address, offset, &field))
        return KCR_EINVAL;
    machine_ptr base = 0;
    if (kcr_error_t error = application_base(encoding, &field, &base, size); error != KCR_ESUCCESS)
        return error;
    uint64_t datum = 0;
    uint32_t width = 0;
    kcr_error_t error = read_ehptr_datum(memory, field, encoding & DW_EH_PE::format_mask, sizeof(machine_ptr),
                                         &datum, &width);
    if (error != KCR_ESUCCESS)
        return error;
    *size += width;
    machine_ptr value = static_cast<machine_ptr>(base + static_cast<machine_ptr>(datum));
    if ((encoding & DW_EH_PE::indirect) != 0) {
        if constexpr (sizeof(machine_ptr) == 4) {
            uint32_t word = 0;
            error = async_task_read_uint32(memory->task, memory->order, value, 0, &word);
            value = word;
        } else {
            uint64_t word = 0;
            error = async_task_read_uint64(memory->task, memory->order, value, 0, &word);
            value = word;
        }
        if (error != KCR_ESUCCESS)
            return error;
    }
    *result = value;
    return KCR_ESUCCESS;
}

template <typename machine_ptr>
kcr_error_t gnu_ehptr_reader<machine_ptr>::application_base(uint8_t encoding, uint64_t* field,
                                                            machine_ptr* base, size_t* size) const {
    switch (encoding & DW_EH_PE::application_mask) {
        case DW_EH_PE::absptr:
            return KCR_ESUCCESS;
        case DW_EH_PE::pcrel:
            *base = static_cast<machine_ptr>(*field);
            return KCR_ESUCCESS;
        case DW_EH_PE::textrel:
            if (!has_text_base_)
                return KCR_ENOTSUP;
            *base = text_base_;
            return KCR_ESUCCESS;
        case DW_EH_PE::datarel:
            if (!has_data_base_)
                return KCR_ENOTSUP;
            *base = data_base_;
            return KCR_ESUCCESS;
        case DW_EH_PE::funcrel:
            if (!has_func_base_)
                return KCR_ENOTSUP;
            *base = func_base_;
            return KCR_ESUCCESS;
        case DW_EH_PE::aligned: {
            if (!has_frame_section_base_)
                return KCR_ENOTSUP;
            machine_ptr vm =
                static_cast<machine_ptr>(frame_section_vm_address_ + (*field - frame_section_base_));
            machine_ptr width = sizeof(machine_ptr);
            machine_ptr padding = (width - vm % width) % width;
            *field += padding;
            *size += padding;
            return KCR_ESUCCESS;
        }
        default:
            return KCR_ENOTSUP;
    }
}

template class gnu_ehptr_reader<uint32_t>;
template class gnu_ehptr_reader<uint64_t>;

namespace {

// Reads an entry's length: *header is 4 or 12 (64-bit lengths).
kcr_error_t read_entry_length(async_dwarf_memory* memory, uint64_t address, uint64_t* length,
                              uint32_t* header) {
    uint64_t length32 = 0;
    if (async_dwarf_read_uintmax(memory, address, 0, 4, &length32) != KCR_ESUCCESS)
        return KCR_EINVAL;
    if (length32 == 0xFFFFFFFF) {
        if (async_dwarf_read_uintmax(memory, address, 4, 8, length) != KCR_ESUCCESS)
            return KCR_EINVAL;
        *header = 12;
    } else {
        *length = length32;
        *header = 4;
    }
    return KCR_ESUCCESS;
}

}  // namespace

namespace {

// Reads a CIE's fields in order: `pos` counts from the end of its length
// field (`body`). Each read fails with 5 when the bytes cannot be read.
struct cie_cursor {
    async_dwarf_memory* memory;
    uint64_t body;
    uint64_t pos;

    bool byte(uint64_t* out) {
        if (async_dwarf_read_uintmax(memory, body, static_cast<int64_t>(pos), 1, out) != KCR_ESUCCESS)
            return false;
        pos += 1;
        return true;
    }
    bool uleb(uint64_t* out) {
        size_t n = 0;
        if (async_dwarf_read_uleb128(memory, body, static_cast<int64_t>(pos), out, &n) != KCR_ESUCCESS)
            return false;
        pos += n;
        return true;
    }
    bool sleb(int64_t* out) {
        size_t n = 0;
        if (async_dwarf_read_sleb128(memory, body, static_cast<int64_t>(pos), out, &n) != KCR_ESUCCESS)
            return false;
        pos += n;
        return true;
    }
};

// The augmentation string, its first letters kept; only "z..." strings (or
// none) are understood.
struct cie_augmentation {
    char letters[16] = {};
    size_t length = 0;

    size_t kept() const { return length < sizeof letters - 1 ? length : sizeof letters - 1; }
};

// Length, id and version; the cursor is left after the version.
kcr_error_t read_cie_header(kcr_async_dwarf_cie_info* info, async_dwarf_memory* memory, uint64_t address,
                            cie_cursor* cursor) {
    uint64_t length = 0;
    uint32_t header = 0;
    if (read_entry_length(memory, address, &length, &header) != KCR_ESUCCESS)
        return KCR_EINVAL;
    const uint32_t id_size = header == 12 ? 8 : 4;
    uint64_t id = 0;
    if (async_dwarf_read_uintmax(memory, address, header, id_size, &id) != KCR_ESUCCESS)
        return KCR_EINVAL;
    const uint64_t all_ones = id_size == 8 ? UINT64_MAX : 0xFFFFFFFF;
    if (id != 0 && id != all_ones)
        return KCR_EINVAL;
    if (address < memory->base)
        return KCR_EINVAL;
    info->cie_offset = address - memory->base + header;
    info->cie_length = length;
    info->cie_id = id;
    // The entry must hold at least its id and version.
    if (length < id_size + 1)
        return KCR_EINVAL;
    *cursor = cie_cursor{memory, address + header, id_size};
    uint64_t version = 0;
    if (!cursor->byte(&version))
        return KCR_EINVAL;
    if (version != 1 && version != 3 && version != 4)
        return KCR_EINVAL;
    info->cie_version = static_cast<uint8_t>(version);
    return KCR_ESUCCESS;
}

kcr_error_t read_augmentation_string(cie_cursor* cursor, uint64_t length, cie_augmentation* augmentation) {
    for (;;) {
        uint64_t c = 0;
        if (!cursor->byte(&c))
            return KCR_EINVAL;
        if (c == 0)
            return KCR_ESUCCESS;
        if (augmentation->length == 0 && c != 'z')
            return KCR_ENOTSUP;
        if (augmentation->length < sizeof augmentation->letters - 1)
            augmentation->letters[augmentation->length] = static_cast<char>(c);
        ++augmentation->length;
        if (cursor->pos > length)
            return KCR_EINVAL;
    }
}

// Address and segment sizes (version 4), the alignment factors and the
// return-address register (one byte in version 1).
kcr_error_t read_code_fields(kcr_async_dwarf_cie_info* info, cie_cursor* cursor) {
    if (info->cie_version == 4) {
        uint64_t address_size = 0, segment_size = 0;
        if (!cursor->byte(&address_size) || !cursor->byte(&segment_size))
            return KCR_EINVAL;
        info->address_size = static_cast<uint8_t>(address_size);
        info->segment_size = static_cast<uint8_t>(segment_size);
    }
    if (!cursor->uleb(&info->code_alignment_factor) || !cursor->sleb(&info->data_alignment_factor))
        return KCR_EINVAL;
    if (info->cie_version == 1)
        return cursor->byte(&info->return_address_register) ? KCR_ESUCCESS : KCR_EINVAL;
    return cursor->uleb(&info->return_address_register) ? KCR_ESUCCESS : KCR_EINVAL;
}

// The augmentation data the letters after 'z' describe, read up to the
// first letter not understood; the cursor goes past the whole data.
template <typename machine_ptr>
kcr_error_t read_augmentation_data(kcr_async_dwarf_cie_info* info,
                                   const gnu_ehptr_reader<machine_ptr>* reader,
                                   const cie_augmentation& augmentation, cie_cursor* cursor) {
    uint64_t data_length = 0;
    if (!cursor->uleb(&data_length))
        return KCR_EINVAL;
    const uint64_t data_start = cursor->pos;
    cie_cursor data = *cursor;
    bool stop = false;
    for (size_t i = 1; i < augmentation.kept() && !stop; ++i) {
        uint64_t e = 0;
        switch (augmentation.letters[i]) {
            case 'L':
                if (!data.byte(&e))
                    return KCR_EINVAL;
                info->eh_augmentation.has_lsda_encoding = true;
                info->eh_augmentation.lsda_encoding = static_cast<uint8_t>(e);
                break;
            case 'P': {
                if (!data.byte(&e))
                    return KCR_EINVAL;
                machine_ptr personality = 0;
                size_t size = 0;
                kcr_error_t error = reader->read(data.memory, data.body, static_cast<int64_t>(data.pos),
                                                 static_cast<uint8_t>(e), &personality, &size);
                if (error != KCR_ESUCCESS)
                    return error;
                info->eh_augmentation.has_personality_address = true;
                info->eh_augmentation.personality_address = personality;
                data.pos += size;
                break;
            }
            case 'R':
                if (!data.byte(&e))
                    return KCR_EINVAL;
                info->eh_augmentation.has_pointer_encoding = true;
                info->eh_augmentation.pointer_encoding = static_cast<uint8_t>(e);
                break;
            case 'S':
                info->eh_augmentation.signal_frame = true;
                break;
            default:
                // 'M', 'N', 'O', 'Q' and unknown letters end the scan.
                stop = true;
                break;
        }
    }
    if (data_start + data_length < data_start)
        return KCR_EINVAL;
    cursor->pos = data_start + data_length;
    return KCR_ESUCCESS;
}

}  // namespace

template <typename machine_ptr>
kcr_error_t kcr_async_dwarf_cie_info_init(kcr_async_dwarf_cie_info* info, async_dwarf_memory* memory,
                                          const gnu_ehptr_reader<machine_ptr>* reader, uint64_t address) {
    *info = kcr_async_dwarf_cie_info{};
    cie_cursor cursor{};
    if (kcr_error_t error = read_cie_header(info, memory, address, &cursor); error != KCR_ESUCCESS)
        return error;
    const uint64_t length = info->cie_length;
    cie_augmentation augmentation;
    if (kcr_error_t error = read_augmentation_string(&cursor, length, &augmentation); error != KCR_ESUCCESS)
        return error;
    if (augmentation.length > 0)
        info->eh_augmentation.data_present = true;
    if (kcr_error_t error = read_code_fields(info, &cursor); error != KCR_ESUCCESS)
        return error;
    if (info->eh_augmentation.data_present) {
        if (kcr_error_t error = read_augmentation_data(info, reader, augmentation, &cursor);
            error != KCR_ESUCCESS)
            return error;
    }
    if (cursor.pos > length)
        return KCR_EINVAL;
    info->initial_instructions_offset = info->cie_offset + cursor.pos;
    info->initial_instructions_length = length - cursor.pos;
    return KCR_ESUCCESS;
}

template <typename machine_ptr>
kcr_error_t kcr_async_dwarf_fde_info_init(kcr_async_dwarf_fde_info* info, async_dwarf_memory* memory,
                                          uint64_t address, bool debug_frame,
                                          kcr_async_dwarf_cie_info* cie_out) {
    *info = kcr_async_dwarf_fde_info{};
    uint64_t length = 0;
    uint32_t header = 0;
    if (read_entry_length(memory, address, &length, &header) != KCR_ESUCCESS)
        return KCR_EINVAL;
    if (address < memory->base)
        return KCR_EINVAL;
    info->fde_offset = address - memory->base + header;
    info->fde_length = length;
    const uint32_t pointer_size = header == 12 ? 8 : 4;
    if (length < pointer_size)
        return KCR_EINVAL;
    const uint64_t pointer_field = address + header;
    uint64_t cie_pointer = 0;
    if (async_dwarf_read_uintmax(memory, pointer_field, 0, pointer_size, &cie_pointer) != KCR_ESUCCESS)
        return KCR_EINVAL;
    uint64_t cie_address = 0;
    if (debug_frame) {
        if (static_cast<int64_t>(cie_pointer) < 0 || memory->base + cie_pointer < memory->base)
            return KCR_EINVAL;
        cie_address = memory->base + cie_pointer;
    } else {
        if (cie_pointer > pointer_field)
            return KCR_EINVAL;
        cie_address = pointer_field - cie_pointer;
    }
    if (cie_address < memory->base)
        return KCR_EINVAL;
    info->cie_offset = cie_address - memory->base;

    kcr_async_dwarf_cie_info cie;
    gnu_ehptr_reader<machine_ptr> reader(memory->order);
    kcr_error_t error = kcr_async_dwarf_cie_info_init<machine_ptr>(&cie, memory, &reader, cie_address);
    if (error != KCR_ESUCCESS)
        return error;
    uint8_t encoding = DW_EH_PE::absptr;
    if (cie.eh_augmentation.data_present && cie.eh_augmentation.has_pointer_encoding)
        encoding = cie.eh_augmentation.pointer_encoding;

    uint64_t pos = pointer_size;  // relative to the length field's end
    machine_ptr pc_start = 0, pc_range = 0;
    size_t size = 0;
    error = reader.read(memory, pointer_field, static_cast<int64_t>(pos), encoding, &pc_start, &size);
    if (error != KCR_ESUCCESS)
        return error;
    pos += size;
    error = reader.read(memory, pointer_field, static_cast<int64_t>(pos), encoding & DW_EH_PE::format_mask,
                        &pc_range, &size);
    if (error != KCR_ESUCCESS)
        return error;
    pos += size;
    if (static_cast<machine_ptr>(pc_start + pc_range) < pc_start)
        return KCR_EINVAL;
    info->pc_start = pc_start;
    info->pc_end = static_cast<machine_ptr>(pc_start + pc_range);
    if (cie.eh_augmentation.data_present) {
        uint64_t data_length = 0;
        size_t n = 0;
        if (async_dwarf_read_uleb128(memory, pointer_field, static_cast<int64_t>(pos), &data_length, &n) !=
            KCR_ESUCCESS)
            return KCR_EINVAL;
        pos += n;
        if (pos + data_length < pos)
            return KCR_EINVAL;
        pos += data_length;
    }
    if (pos > length)
        return KCR_EINVAL;
    info->instructions_offset = info->fde_offset + pos;
    info->instructions_length = length - pos;
    if (cie_out != nullptr)
        *cie_out = cie;
    return KCR_ESUCCESS;
}

template kcr_error_t kcr_async_dwarf_cie_info_init<uint32_t>(kcr_async_dwarf_cie_info*, async_dwarf_memory*,
                                                             const gnu_ehptr_reader<uint32_t>*, uint64_t);
template kcr_error_t kcr_async_dwarf_cie_info_init<uint64_t>(kcr_async_dwarf_cie_info*, async_dwarf_memory*,
                                                             const gnu_ehptr_reader<uint64_t>*, uint64_t);
template kcr_error_t kcr_async_dwarf_fde_info_init<uint32_t>(kcr_async_dwarf_fde_info*, async_dwarf_memory*,
                                                             uint64_t, bool, kcr_async_dwarf_cie_info*);
template kcr_error_t kcr_async_dwarf_fde_info_init<uint64_t>(kcr_async_dwarf_fde_info*, async_dwarf_memory*,
                                                             uint64_t, bool, kcr_async_dwarf_cie_info*);

void async_dwarf_frame_reader_init(async_dwarf_frame_reader* reader, async_dwarf_memory* memory, bool m64,
                                   bool debug_frame) {
    reader->memory = memory;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
}

kcr_error_t async_dwarf_frame_reader_find_fde(async_dwarf_frame_reader* reader, uint64_t start_offset,
                                              uint64_t address, kcr_async_dwarf_fde_info* fde) {
    async_dwarf_memory* memory = reader->memory;
    uint64_t entry = memory->base + start_offset;
    if (entry < memory->base || entry >= memory->end)
        return KCR_EINVAL;
    while (entry < memory->end) {
        uint64_t length = 0;
        uint32_t header = 0;
        if (read_entry_length(memory, entry, &length, &header) != KCR_ESUCCESS)
            return KCR_EINVAL;
        if (length == 0)
            return KCR_ENOTFOUND;
        const uint64_t next = entry + header + length;
        if (next < entry)
            return KCR_EINVAL;
        const uint32_t id_size = header == 12 ? 8 : 4;
        uint64_t id = 0;
        if (async_dwarf_read_uintmax(memory, entry, header, id_size, &id) != KCR_ESUCCESS)
            return KCR_EINVAL;
        const uint64_t all_ones = id_size == 8 ? UINT64_MAX : 0xFFFFFFFF;
        const bool is_cie = reader->debug_frame ? id == all_ones : id == 0;
        if (!is_cie) {
            kcr_error_t error =
                reader->m64
                    ? kcr_async_dwarf_fde_info_init<uint64_t>(fde, memory, entry, reader->debug_frame)
                    : kcr_async_dwarf_fde_info_init<uint32_t>(fde, memory, entry, reader->debug_frame);
            if (error != KCR_ESUCCESS)
                return error;
            if (fde->pc_start <= address && address < fde->pc_end)
                return KCR_ESUCCESS;
        }
        entry = next;
    }
    return KCR_ENOTFOUND;
}

namespace {

// The search itself; `read(offset, destination, length)` copies bytes of the
// header at an offset and says whether it could.
template <typename Read>
kcr_error_t eh_frame_hdr_search(Read read, uint64_t header, uint64_t header_size, uint64_t address,
                                uint64_t* fde_address) {
    uint8_t head[12];
    if (header_size < sizeof head || !read(0, head, sizeof head))
        return KCR_EINVAL;
    // version 1; eh_frame_ptr as pcrel|sdata4; the count as udata4; the table
    // as datarel|sdata4 pairs (what the GNU linkers write).
    if (head[0] != 1 || head[1] != (DW_EH_PE::pcrel | DW_EH_PE::sdata4) || head[2] != DW_EH_PE::udata4 ||
        head[3] != (DW_EH_PE::datarel | DW_EH_PE::sdata4))
        return KCR_ENOTSUP;
    uint32_t count = 0;
    async_memcpy(&count, head + 8, 4);
    if (count == 0)
        return KCR_ENOTFOUND;
    if ((header_size - 12) / 8 < count)
        return KCR_EINVAL;
    constexpr uint64_t table = 12;
    // The largest entry whose start is not above the address.
    uint32_t low = 0, high = count;
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        int32_t start = 0;
        if (!read(table + uint64_t{middle} * 8, &start, 4))
            return KCR_EINVAL;
        if (header + static_cast<int64_t>(start) <= address)
            low = middle;
        else
            high = middle;
    }
    int32_t pair[2];
    if (!read(table + uint64_t{low} * 8, pair, sizeof pair))
        return KCR_EINVAL;
    if (header + static_cast<int64_t>(pair[0]) > address)
        return KCR_ENOTFOUND;
    *fde_address = header + static_cast<int64_t>(pair[1]);
    return KCR_ESUCCESS;
}

}  // namespace

kcr_error_t async_dwarf_eh_frame_hdr_lookup(const kcr_task_t& task, uint64_t header, uint64_t header_size,
                                            uint64_t address, uint64_t* fde_address) {
    auto read = [&](uint64_t offset, void* destination, size_t length) {
        return async_task_memcpy(task, header, static_cast<int64_t>(offset), destination, length) ==
               KCR_ESUCCESS;
    };
    return eh_frame_hdr_search(read, header, header_size, address, fde_address);
}

kcr_error_t async_dwarf_eh_frame_hdr_lookup_local(const uint8_t* bytes, uint64_t header, uint64_t header_size,
                                                  uint64_t address, uint64_t* fde_address) {
    auto read = [&](uint64_t offset, void* destination, size_t length) {
        if (offset > header_size || header_size - offset < length)
            return false;
        async_memcpy(destination, bytes + offset, length);
        return true;
    };
    return eh_frame_hdr_search(read, header, header_size, address, fde_address);
}

namespace {

template <typename machine_ptr>
frame_error_t dwarf_unwind(const kcr_task_t& task, const async_image* image, async_dwarf_memory* memory,
                           bool debug_frame, uint64_t lookup, const kcr_async_thread_state* current,
                           kcr_async_thread_state* next, const uint8_t* tables, uint64_t tables_address,
                           uint64_t tables_length) {
    kcr_async_dwarf_fde_info fde;
    kcr_async_dwarf_cie_info cie;
    uint64_t fde_address = 0;
    bool found = false;
    if (image->kind == async_image_kind::elf && image->elf.ehFrameHeader != 0 && !debug_frame) {
        const uint64_t header = image->elf.ehFrameHeader;
        const uint64_t header_size = image->elf.ehFrameHeaderSize;
        kcr_error_t error = KCR_EINVAL;
        if (tables != nullptr && header >= tables_address && header - tables_address <= tables_length &&
            tables_length - (header - tables_address) >= header_size) {
            error = async_dwarf_eh_frame_hdr_lookup_local(tables + (header - tables_address), header,
                                                          header_size, lookup, &fde_address);
        } else {
            error = async_dwarf_eh_frame_hdr_lookup(task, header, header_size, lookup, &fde_address);
        }
        if (error == KCR_ENOTFOUND)
            return FRAME_ENOTSUP;
        if (error == KCR_ESUCCESS) {
            if (kcr_async_dwarf_fde_info_init<machine_ptr>(&fde, memory, fde_address, false, &cie) !=
                KCR_ESUCCESS)
                return FRAME_ENOTSUP;
            if (!(fde.pc_start <= lookup && lookup < fde.pc_end))
                return FRAME_ENOTSUP;
            found = true;
        }
    }
    if (!found) {
        async_dwarf_frame_reader reader;
        async_dwarf_frame_reader_init(&reader, memory, sizeof(machine_ptr) == 8, debug_frame);
        if (async_dwarf_frame_reader_find_fde(&reader, 0, lookup, &fde) != KCR_ESUCCESS)
            return FRAME_ENOTSUP;
        gnu_ehptr_reader<machine_ptr> ptr_reader(memory->order);
        if (kcr_async_dwarf_cie_info_init<machine_ptr>(&cie, memory, &ptr_reader,
                                                       memory->base + fde.cie_offset) != KCR_ESUCCESS)
            return FRAME_ENOTSUP;
    }
    gnu_ehptr_reader<machine_ptr> ptr_reader(memory->order);
    dwarf_cfa_state<machine_ptr> state;
    if (state.eval_program(memory, lookup, fde.pc_start, &cie, &ptr_reader,
                           memory->base + cie.initial_instructions_offset,
                           cie.initial_instructions_length) != KCR_ESUCCESS)
        return FRAME_ENOTSUP;
    if (state.eval_program(memory, lookup, fde.pc_start, &cie, &ptr_reader,
                           memory->base + fde.instructions_offset, fde.instructions_length) != KCR_ESUCCESS)
        return FRAME_ENOTSUP;
    if (state.apply_state(task, memory, &cie, current, next) != KCR_ESUCCESS)
        return FRAME_ENOFRAME;
    return FRAME_ESUCCESS;
}

}  // namespace

frame_error_t async_frame_read_dwarf_unwind(const kcr_task_t& task, async_image_list_t* image_list,
                                            const kcr_async_thread_state* current,
                                            const kcr_async_thread_state*, kcr_async_thread_state* next) {
    if (!async_thread_state_has_reg(current, 0))
        return FRAME_EBADFRAME;
    const uint64_t pc = async_thread_state_get_reg(current, 0);
    if (pc == 0)
        return FRAME_ENOTSUP;
    if (image_list == nullptr)
        return FRAME_ENOTSUP;
    // A return address may be the first byte after a call that ends its
    // function (calls to functions that never return): look it up one byte
    // earlier, inside the call.
    uint64_t lookup = current->pc_is_exact ? pc : pc - 1;
    async_image_list_set_reading(image_list, true);
    frame_error_t result = FRAME_ENOTSUP;
    async_image* image = async_image_containing_address(image_list, lookup);
    if (image != nullptr) {
        const bool m64 = async_image_is_64(image);
        if (!m64)
            lookup &= 0xFFFFFFFF;
        const kcr_async_byteorder* order = async_byteorder_direct();
        if (image->kind == async_image_kind::macho)
            order = image->macho.byteorder;
        else if (image->elf.bigEndian)
            order = async_byteorder_swapped();
        async_dwarf_memory memory;
        bool debug_frame = false;
        bool have_section = false;
        const uint8_t* tables = nullptr;
        uint64_t tables_address = 0;
        uint64_t tables_length = 0;
        if (image->kind == async_image_kind::elf) {
            const uint64_t frame = image->elf.ehFrame;
            const uint64_t frame_length = image->elf.ehFrameEnd > frame ? image->elf.ehFrameEnd - frame : 0;
            if (frame != 0 && frame_length != 0) {
                // The image's own copy of its tables when there is one; task
                // reads otherwise.
                if (async_image_unwind_tables(image, &tables, &tables_address, &tables_length) &&
                    frame >= tables_address && frame - tables_address <= tables_length &&
                    tables_length - (frame - tables_address) >= frame_length) {
                    async_dwarf_memory_init_local(&memory, tables + (frame - tables_address),
                                                  static_cast<size_t>(frame_length), frame, order);
                    // Pointers the tables point through (a personality
                    // routine's slot) are read with the walk's own task and
                    // its cache.
                    memory.task = task;
                    have_section = true;
                } else {
                    tables = nullptr;
                    have_section = async_dwarf_memory_init_task(&memory, task, frame, frame_length, order);
                }
            }
        } else {
            kcr_async_mobject section;
            if (async_image_map_eh_frame(image, &section) == KCR_ESUCCESS) {
                have_section =
                    async_dwarf_memory_init_task(&memory, task, section.task_address, section.length, order);
                async_mobject_free(&section);
            } else if (async_image_map_debug_frame(image, &section) == KCR_ESUCCESS) {
                have_section =
                    async_dwarf_memory_init_task(&memory, task, section.task_address, section.length, order);
                debug_frame = true;
                async_mobject_free(&section);
            }
        }
        if (!have_section) {
            result = FRAME_ENOFRAME;
        } else if (m64) {
            result = dwarf_unwind<uint64_t>(task, image, &memory, debug_frame, lookup, current, next, tables,
                                            tables_address, tables_length);
        } else {
            result = dwarf_unwind<uint32_t>(task, image, &memory, debug_frame, lookup, current, next, tables,
                                            tables_address, tables_length);
        }
    }
    async_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace kcr::async
