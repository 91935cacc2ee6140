#include "crashcapture/KCRAsyncMachO.h"

#include <cstring>

namespace kcr::async {

namespace {

constexpr uint32_t kSegment64Size = 72;
constexpr uint32_t kSegment32Size = 56;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kSection32Size = 68;
constexpr uint64_t kMaxStringPages = 16;

// Reads a field of a load command through the image's byte order.
uint32_t read32(const async_macho* image, const void* base, size_t offset) {
    uint32_t value;
    async_memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return image->byteorder->swap32(value);
}
uint64_t read64(const async_macho* image, const void* base, size_t offset) {
    uint64_t value;
    async_memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return image->byteorder->swap64(value);
}

bool verify(const kcr_async_mobject* mobj, const void* pointer, uint64_t length) {
    return async_mobject_verify_local_pointer(mobj, reinterpret_cast<uintptr_t>(pointer), 0, length);
}

bool name_equals(const char* field, const char* name) {
    return async_strncmp(field, name, 16) == 0;
}

// The segment's vmaddr, vmsize, fileoff, filesize and nsects.
struct SegmentInfo {
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
};
SegmentInfo segment_info(const async_macho* image, const void* cmd) {
    if (image->m64) {
        return {read64(image, cmd, 24), read64(image, cmd, 32), read64(image, cmd, 40),
                read64(image, cmd, 48), read32(image, cmd, 64)};
    }
    return {read32(image, cmd, 24), read32(image, cmd, 28), read32(image, cmd, 32), read32(image, cmd, 36),
            read32(image, cmd, 48)};
}

void free_image_parts(async_macho* image) {
    async_mobject_free(&image->load_cmds);
    delete[] image->name;
    image->name = nullptr;
}

}  // namespace

kcr_error_t async_macho_init(async_macho* image, const kcr_task_t& task, const char* name,
                             uint64_t header_addr) {
    *image = async_macho{};
    image->task = task;
    image->header_addr = header_addr;
    size_t length = std::strlen(name);
    image->name = new char[length + 1];
    std::memcpy(image->name, name, length + 1);

    if (async_task_memcpy(task, header_addr, 0, &image->header, sizeof image->header) != KCR_ESUCCESS) {
        free_image_parts(image);
        return KCR_EINTERNAL;
    }
    switch (image->header.magic) {
        case KCR_MH_MAGIC:
            image->m64 = false;
            image->byteorder = async_byteorder_direct();
            break;
        case KCR_MH_MAGIC_64:
            image->m64 = true;
            image->byteorder = async_byteorder_direct();
            break;
        case KCR_MH_CIGAM:
            image->m64 = false;
            image->byteorder = async_byteorder_swapped();
            break;
        case KCR_MH_CIGAM_64:
            image->m64 = true;
            image->byteorder = async_byteorder_swapped();
            break;
        default:
            free_image_parts(image);
            return KCR_EINVAL;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    const uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
    if (sizeofcmds == 0) {
        free_image_parts(image);
        return KCR_EINVAL;  // no commands, so no __TEXT
    }
    kcr_error_t error =
        async_mobject_init(&image->load_cmds, task, header_addr + image->header_size, sizeofcmds, true);
    if (error != KCR_ESUCCESS) {
        free_image_parts(image);
        return error;
    }
    const uint32_t segment_cmd = image->m64 ? KCR_LC_SEGMENT_64 : KCR_LC_SEGMENT;
    const uint32_t segment_size = image->m64 ? kSegment64Size : kSegment32Size;
    for (const void* cmd = async_macho_next_command_type(image, nullptr, segment_cmd); cmd != nullptr;
         cmd = async_macho_next_command_type(image, cmd, segment_cmd)) {
        if (!verify(&image->load_cmds, cmd, segment_size)) {
            free_image_parts(image);
            return KCR_EINVAL;
        }
        if (name_equals(static_cast<const char*>(cmd) + 8, "__TEXT")) {
            SegmentInfo info = segment_info(image, cmd);
            image->text_vmaddr = info.vmaddr;
            image->text_size = info.vmsize;
            image->vmaddr_slide = static_cast<int64_t>(header_addr - info.vmaddr);
            return KCR_ESUCCESS;
        }
    }
    free_image_parts(image);
    return KCR_EINVAL;
}

void async_macho_free(async_macho* image) {
    free_image_parts(image);
    *image = async_macho{};
}

const kcr_async_byteorder* async_macho_byteorder(const async_macho* image) {
    return image->byteorder;
}
const kcr_macho_header* async_macho_header(const async_macho* image) {
    return &image->header;
}
uint32_t async_macho_header_size(const async_macho* image) {
    return image->header_size;
}
uint32_t async_macho_cpu_type(const async_macho* image) {
    return image->byteorder->swap32(static_cast<uint32_t>(image->header.cputype));
}
uint32_t async_macho_cpu_subtype(const async_macho* image) {
    return image->byteorder->swap32(static_cast<uint32_t>(image->header.cpusubtype));
}

bool async_macho_contains_address(const async_macho* image, uint64_t address) {
    return image->header_addr <= address && address - image->header_addr < image->text_size;
}

const void* async_macho_next_command(const async_macho* image, const void* previous) {
    const kcr_async_mobject* cmds = &image->load_cmds;
    if (previous == nullptr) {
        if (cmds->length < sizeof(kcr_load_command))
            return nullptr;
        const void* first = reinterpret_cast<const void*>(cmds->address);
        return verify(cmds, first, sizeof(kcr_load_command)) ? first : nullptr;
    }
    if (!verify(cmds, previous, sizeof(kcr_load_command)))
        return nullptr;
    const uint32_t cmdsize = read32(image, previous, 4);
    if (cmdsize < sizeof(kcr_load_command))
        return nullptr;
    const uintptr_t next = reinterpret_cast<uintptr_t>(previous) + cmdsize;
    if (next < reinterpret_cast<uintptr_t>(previous) || next >= cmds->address + cmds->length)
        return nullptr;
    const void* candidate = reinterpret_cast<const void*>(next);
    if (!verify(cmds, candidate, sizeof(kcr_load_command)))
        return nullptr;
    if (!verify(cmds, candidate, read32(image, candidate, 4)))
        return nullptr;
    return candidate;
}

const void* async_macho_next_command_type(const async_macho* image, const void* previous, uint32_t type) {
    for (const void* cmd = async_macho_next_command(image, previous); cmd != nullptr;
         cmd = async_macho_next_command(image, cmd)) {
        if (read32(image, cmd, 0) == type)
            return cmd;
    }
    return nullptr;
}

const void* async_macho_find_command(const async_macho* image, uint32_t type) {
    return async_macho_next_command_type(image, nullptr, type);
}

const void* async_macho_find_segment_cmd(const async_macho* image, const char* segname) {
    const uint32_t type = image->m64 ? KCR_LC_SEGMENT_64 : KCR_LC_SEGMENT;
    const uint32_t size = image->m64 ? kSegment64Size : kSegment32Size;
    for (const void* cmd = async_macho_find_command(image, type); cmd != nullptr;
         cmd = async_macho_next_command_type(image, cmd, type)) {
        if (!verify(&image->load_cmds, cmd, size))
            return nullptr;
        if (name_equals(static_cast<const char*>(cmd) + 8, segname))
            return cmd;
    }
    return nullptr;
}

kcr_error_t async_macho_map_segment(const async_macho* image, const char* segname,
                                    async_macho_mapped_segment* segment) {
    *segment = async_macho_mapped_segment{};
    const void* cmd = async_macho_find_segment_cmd(image, segname);
    if (cmd == nullptr)
        return KCR_ENOTFOUND;
    SegmentInfo info = segment_info(image, cmd);
    uint64_t address = static_cast<uint64_t>(image->vmaddr_slide) + info.vmaddr;
    kcr_error_t error = async_mobject_init(&segment->mobj, image->task, address, info.vmsize, false);
    if (error != KCR_ESUCCESS)
        return error;
    segment->fileoff = info.fileoff;
    segment->filesize = info.filesize;
    return KCR_ESUCCESS;
}

void async_macho_mapped_segment_free(async_macho_mapped_segment* segment) {
    async_mobject_free(&segment->mobj);
    *segment = async_macho_mapped_segment{};
}

kcr_error_t async_macho_map_section(const async_macho* image, const char* segname, const char* sectname,
                                    kcr_async_mobject* mobj) {
    const void* cmd = async_macho_find_segment_cmd(image, segname);
    if (cmd == nullptr)
        return KCR_ENOTFOUND;
    const SegmentInfo info = segment_info(image, cmd);
    if (info.nsects == 0)
        return KCR_ENOTFOUND;
    const uint32_t header = image->m64 ? kSegment64Size : kSegment32Size;
    const uint32_t size = image->m64 ? kSection64Size : kSection32Size;
    const auto* first = static_cast<const uint8_t*>(cmd) + header;
    for (uint32_t i = 0; i < info.nsects; ++i) {
        const uint8_t* section = first + static_cast<uint64_t>(i) * size;
        if (!verify(&image->load_cmds, section, size))
            return KCR_EINVAL;
        if (!name_equals(reinterpret_cast<const char*>(section), sectname))
            continue;
        uint64_t addr = image->m64 ? read64(image, section, 32) : read32(image, section, 32);
        uint64_t length = image->m64 ? read64(image, section, 40) : read32(image, section, 36);
        return async_mobject_init(mobj, image->task, static_cast<uint64_t>(image->vmaddr_slide) + addr,
                                  length, true);
    }
    return KCR_ENOTFOUND;
}

kcr_error_t async_macho_symtab_reader_init(async_macho_symtab_reader* reader, const async_macho* image) {
    *reader = async_macho_symtab_reader{};
    reader->image = image;
    const void* symtab = async_macho_find_command(image, KCR_LC_SYMTAB);
    if (symtab == nullptr || !verify(&image->load_cmds, symtab, 24))
        return KCR_ENOTFOUND;
    const void* dysymtab = async_macho_find_command(image, KCR_LC_DYSYMTAB);
    if (dysymtab != nullptr && !verify(&image->load_cmds, dysymtab, 24))
        dysymtab = nullptr;
    if (async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != KCR_ESUCCESS)
        return KCR_EINTERNAL;

    const uint32_t symoff = read32(image, symtab, 8);
    const uint32_t nsyms = read32(image, symtab, 12);
    const uint32_t stroff = read32(image, symtab, 16);
    const uint32_t strsize = read32(image, symtab, 20);
    const uint64_t entry = image->m64 ? 16 : 12;
    const kcr_async_mobject* mobj = &reader->linkedit.mobj;
    // Offsets from the segment's file offset; a file offset no table offset
    // can be measured from (it may be any 64-bit value) leaves them unusable.
    int64_t table_offset = 0, string_offset = 0;
    const bool offsets_ok =
        !__builtin_sub_overflow(static_cast<int64_t>(symoff), reader->linkedit.fileoff, &table_offset) &&
        !__builtin_sub_overflow(static_cast<int64_t>(stroff), reader->linkedit.fileoff, &string_offset);
    if (!offsets_ok ||
        !async_mobject_verify_local_pointer(mobj, mobj->address, table_offset, nsyms * entry) ||
        !async_mobject_verify_local_pointer(mobj, mobj->address, string_offset, strsize)) {
        async_macho_mapped_segment_free(&reader->linkedit);
        return KCR_EINTERNAL;
    }
    reader->symtab = reinterpret_cast<const void*>(mobj->address + table_offset);
    reader->nsyms = nsyms;
    reader->string_table = reinterpret_cast<const char*>(mobj->address + string_offset);
    reader->string_table_size = strsize;
    if (dysymtab != nullptr) {
        const uint32_t ilocal = read32(image, dysymtab, 8), nlocal = read32(image, dysymtab, 12);
        const uint32_t iext = read32(image, dysymtab, 16), next = read32(image, dysymtab, 20);
        if (static_cast<uint64_t>(iext) + next > nsyms || static_cast<uint64_t>(ilocal) + nlocal > nsyms) {
            async_macho_mapped_segment_free(&reader->linkedit);
            return KCR_EINVAL;
        }
        reader->symtab_global = static_cast<const uint8_t*>(reader->symtab) + iext * entry;
        reader->nsyms_global = next;
        reader->symtab_local = static_cast<const uint8_t*>(reader->symtab) + ilocal * entry;
        reader->nsyms_local = nlocal;
    }
    return KCR_ESUCCESS;
}

async_macho_symtab_entry async_macho_symtab_reader_read(const async_macho_symtab_reader* reader,
                                                        const void* symtab, uint32_t index) {
    const async_macho* image = reader->image;
    const uint8_t* base =
        static_cast<const uint8_t*>(symtab) + static_cast<uint64_t>(index) * (image->m64 ? 16 : 12);
    async_macho_symtab_entry entry;
    entry.n_strx = read32(image, base, 0);
    entry.n_type = base[4];
    entry.n_sect = base[5];
    uint16_t desc;
    async_memcpy(&desc, base + 6, sizeof desc);
    entry.n_desc = image->byteorder->swap16(desc);
    entry.n_value = image->m64 ? read64(image, base, 8) : read32(image, base, 8);
    entry.normalized_value = (entry.n_desc & 0x0008) != 0 ? (entry.n_value | 1) : entry.n_value;
    return entry;
}

const char* async_macho_symtab_reader_symbol_name(const async_macho_symtab_reader* reader, uint32_t n_strx) {
    if (n_strx >= reader->string_table_size)
        return nullptr;
    for (uint64_t i = n_strx; i < reader->string_table_size; ++i) {
        if (reader->string_table[i] == '\0')
            return reader->string_table + n_strx;
    }
    return nullptr;
}

void async_macho_symtab_reader_free(async_macho_symtab_reader* reader) {
    async_macho_mapped_segment_free(&reader->linkedit);
    *reader = async_macho_symtab_reader{};
}

namespace {

bool is_defined_in_section(const async_macho_symtab_entry& entry) {
    return (entry.n_type & 0xEE) == 0x0E;
}

void search_nearest(const async_macho_symtab_reader* reader, const void* table, uint32_t count, uint64_t key,
                    bool* found, async_macho_symtab_entry* best) {
    for (uint32_t i = 0; i < count; ++i) {
        async_macho_symtab_entry entry = async_macho_symtab_reader_read(reader, table, i);
        if (!is_defined_in_section(entry) || entry.n_value > key)
            continue;
        if (!*found || entry.n_value > best->n_value) {
            *best = entry;
            *found = true;
        }
    }
}

}  // namespace

kcr_error_t async_macho_find_symbol_by_pc(const async_macho* image, uint64_t pc,
                                          async_macho_found_symbol_cb callback, void* context) {
    async_macho_symtab_reader reader;
    kcr_error_t error = async_macho_symtab_reader_init(&reader, image);
    if (error != KCR_ESUCCESS)
        return error;
    const uint64_t key = pc - static_cast<uint64_t>(image->vmaddr_slide);
    bool found = false;
    async_macho_symtab_entry best;
    if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
        search_nearest(&reader, reader.symtab_global, reader.nsyms_global, key, &found, &best);
        search_nearest(&reader, reader.symtab_local, reader.nsyms_local, key, &found, &best);
    } else {
        search_nearest(&reader, reader.symtab, reader.nsyms, key, &found, &best);
    }
    if (!found) {
        async_macho_symtab_reader_free(&reader);
        return KCR_ENOTFOUND;
    }
    const char* name = async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
    if (name == nullptr) {
        async_macho_symtab_reader_free(&reader);
        return KCR_EINVAL;
    }
    callback(static_cast<uint64_t>(image->vmaddr_slide) + best.normalized_value, name, context);
    async_macho_symtab_reader_free(&reader);
    return KCR_ESUCCESS;
}

kcr_error_t async_macho_find_symbol_by_name(const async_macho* image, const char* name, uint64_t* address) {
    async_macho_symtab_reader reader;
    kcr_error_t error = async_macho_symtab_reader_init(&reader, image);
    if (error != KCR_ESUCCESS)
        return error;
    error = KCR_ENOTFOUND;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        async_macho_symtab_entry entry = async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!is_defined_in_section(entry))
            continue;
        const char* candidate = async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (candidate != nullptr && async_strcmp(candidate, name) == 0) {
            *address = static_cast<uint64_t>(image->vmaddr_slide) + entry.normalized_value;
            error = KCR_ESUCCESS;
            break;
        }
    }
    async_macho_symtab_reader_free(&reader);
    return error;
}

kcr_error_t async_macho_string_init(async_macho_string* string, const async_macho* image, uint64_t address) {
    *string = async_macho_string{};
    string->image = image;
    string->address = address;
    return KCR_ESUCCESS;
}

namespace {

kcr_error_t populate(async_macho_string* string) {
    if (string->populated)
        return KCR_ESUCCESS;
    const uint64_t page = plat::machine::pageSize();
    for (uint64_t pages = 1; pages <= kMaxStringPages; ++pages) {
        kcr_error_t error =
            async_mobject_init(&string->mobj, string->image->task, string->address, pages * page, false);
        if (error != KCR_ESUCCESS)
            return error;
        const auto* bytes = reinterpret_cast<const char*>(string->mobj.address);
        for (uint64_t i = 0; i < string->mobj.length; ++i) {
            if (bytes[i] == '\0') {
                string->length = i;
                string->populated = true;
                return KCR_ESUCCESS;
            }
        }
        // Ran off what could be copied: a shorter copy than asked means the
        // next page is unreadable.
        bool short_copy = string->mobj.length < pages * page;
        async_mobject_free(&string->mobj);
        if (short_copy)
            return KCR_EINVAL;
    }
    return KCR_EINVAL;
}

}  // namespace

kcr_error_t async_macho_string_get_length(async_macho_string* string, uint64_t* length) {
    kcr_error_t error = populate(string);
    if (error == KCR_ESUCCESS)
        *length = string->length;
    return error;
}

kcr_error_t async_macho_string_get_pointer(async_macho_string* string, const char** pointer) {
    kcr_error_t error = populate(string);
    if (error != KCR_ESUCCESS)
        return error;
    void* local = async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
    if (local == nullptr)
        return KCR_EACCESS;
    *pointer = static_cast<const char*>(local);
    return KCR_ESUCCESS;
}

void async_macho_string_free(async_macho_string* string) {
    if (string->populated)
        async_mobject_free(&string->mobj);
    string->populated = false;
}

}  // namespace kcr::async
