// A parsed view of one Mach-O image in task memory: header, bounded load
// command walk, segments and sections mapped through memory objects, the
// symbol table, and lazily read strings. Every read is bounds-checked, so a
// truncated or hostile image gives an error code, never a fault.
//
// async_macho_init() runs at ordinary time (it copies the name on the heap);
// everything else is async-signal-safe. An image is immutable after init.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncMObject.h"

namespace kcr::async {

inline constexpr uint32_t KCR_MH_MAGIC = 0xFEEDFACE;
inline constexpr uint32_t KCR_MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr uint32_t KCR_MH_CIGAM = 0xCEFAEDFE;
inline constexpr uint32_t KCR_MH_CIGAM_64 = 0xCFFAEDFE;
inline constexpr uint32_t KCR_LC_SEGMENT = 0x1;
inline constexpr uint32_t KCR_LC_SYMTAB = 0x2;
inline constexpr uint32_t KCR_LC_DYSYMTAB = 0xB;
inline constexpr uint32_t KCR_LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t KCR_LC_UUID = 0x1B;

struct kcr_macho_header {
    uint32_t magic;
    int32_t cputype;
    int32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
};
static_assert(sizeof(kcr_macho_header) == 28);

struct kcr_load_command {
    uint32_t cmd;
    uint32_t cmdsize;
};

struct async_macho {
    kcr_task_t task;
    uint64_t header_addr = 0;
    int64_t vmaddr_slide = 0;   // header address - __TEXT vmaddr
    char* name = nullptr;       // heap copy of the path
    kcr_macho_header header{};  // in the image's byte order
    uint32_t header_size = 0;   // 28 or 32
    uint32_t ncmds = 0;         // host order
    kcr_async_mobject load_cmds;
    uint64_t text_vmaddr = 0;
    uint64_t text_size = 0;
    bool m64 = false;
    const kcr_async_byteorder* byteorder = nullptr;
};

struct async_macho_mapped_segment {
    kcr_async_mobject mobj;
    uint64_t fileoff = 0;
    uint64_t filesize = 0;
};

[[nodiscard]] kcr_error_t async_macho_init(async_macho* image, const kcr_task_t& task, const char* name,
                                           uint64_t header_addr);
void async_macho_free(async_macho* image);

const kcr_async_byteorder* async_macho_byteorder(const async_macho* image);
const kcr_macho_header* async_macho_header(const async_macho* image);
uint32_t async_macho_header_size(const async_macho* image);
uint32_t async_macho_cpu_type(const async_macho* image);
uint32_t async_macho_cpu_subtype(const async_macho* image);
bool async_macho_contains_address(const async_macho* image, uint64_t address);

// Load commands as local pointers into the image's load-command mapping. The
// walk ends by the mapping's bounds (not by ncmds).
const void* async_macho_next_command(const async_macho* image, const void* previous);
const void* async_macho_next_command_type(const async_macho* image, const void* previous, uint32_t type);
const void* async_macho_find_command(const async_macho* image, uint32_t type);
const void* async_macho_find_segment_cmd(const async_macho* image, const char* segname);

[[nodiscard]] kcr_error_t async_macho_map_segment(const async_macho* image, const char* segname,
                                                  async_macho_mapped_segment* segment);
void async_macho_mapped_segment_free(async_macho_mapped_segment* segment);
[[nodiscard]] kcr_error_t async_macho_map_section(const async_macho* image, const char* segname,
                                                  const char* sectname, kcr_async_mobject* mobj);

struct async_macho_symtab_entry {
    uint32_t n_strx = 0;
    uint8_t n_type = 0;
    uint8_t n_sect = 0;
    uint16_t n_desc = 0;
    uint64_t n_value = 0;
    uint64_t normalized_value = 0;  // n_value with bit 0 set for Thumb definitions
};

struct async_macho_symtab_reader {
    const async_macho* image = nullptr;
    async_macho_mapped_segment linkedit;
    const void* symtab = nullptr;
    uint32_t nsyms = 0;
    const void* symtab_global = nullptr;
    uint32_t nsyms_global = 0;
    const void* symtab_local = nullptr;
    uint32_t nsyms_local = 0;
    const char* string_table = nullptr;
    uint64_t string_table_size = 0;
};

[[nodiscard]] kcr_error_t async_macho_symtab_reader_init(async_macho_symtab_reader* reader,
                                                         const async_macho* image);
async_macho_symtab_entry async_macho_symtab_reader_read(const async_macho_symtab_reader* reader,
                                                        const void* symtab, uint32_t index);
// The name at a string-table index when its NUL lies inside the table; else null.
const char* async_macho_symtab_reader_symbol_name(const async_macho_symtab_reader* reader, uint32_t n_strx);
void async_macho_symtab_reader_free(async_macho_symtab_reader* reader);

using async_macho_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);
// The nearest defined symbol at or below the address: 0 when reported, 8 when
// none qualifies, 5 when its name is unreadable, or the reader's error.
[[nodiscard]] kcr_error_t async_macho_find_symbol_by_pc(const async_macho* image, uint64_t pc,
                                                        async_macho_found_symbol_cb callback, void* context);
[[nodiscard]] kcr_error_t async_macho_find_symbol_by_name(const async_macho* image, const char* name,
                                                          uint64_t* address);

// A NUL-terminated string of the image read on first use, one page more each
// time it runs past what is mapped (at most 64 KiB).
struct async_macho_string {
    const async_macho* image = nullptr;
    uint64_t address = 0;
    kcr_async_mobject mobj;
    bool populated = false;
    uint64_t length = 0;
};
[[nodiscard]] kcr_error_t async_macho_string_init(async_macho_string* string, const async_macho* image,
                                                  uint64_t address);
[[nodiscard]] kcr_error_t async_macho_string_get_length(async_macho_string* string, uint64_t* length);
[[nodiscard]] kcr_error_t async_macho_string_get_pointer(async_macho_string* string, const char** pointer);
void async_macho_string_free(async_macho_string* string);

}  // namespace kcr::async
