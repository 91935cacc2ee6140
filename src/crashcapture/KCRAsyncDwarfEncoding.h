// DWARF call-frame information: the bounded memory it is read from, LEB128
// and pointer-encoding readers, Common Information Entries (CIE) and Frame
// Description Entries (FDE) of .eh_frame / __eh_frame (GNU exception-frame
// layout) or __debug_frame, the FDE search, and the frame reader that the
// frame cursor asks before falling back to frame pointers.
//
// Parsers are instantiated for 32-bit (`uint32_t`) and 64-bit (`uint64_t`)
// images; they differ only where the address width shows (pointer format,
// sign extension of 32-bit data, wrap-around of sums).
//
// Everything here is async-signal-safe and allocation-free. Every byte is
// read through an async_dwarf_memory, which refuses anything outside the
// section it was given, so malformed tables give an error code, never a
// fault or an endless loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncFrameCursor.h"

namespace kcr::async {

// A read-only view of [base, base + length) of a task. Reads outside it give
// 5. Task memory is copied in through a few small windows kept in the view,
// so that walking a table costs a handful of system calls rather than one per
// byte; a view may instead stand on local bytes (tests, fuzzing), which are
// then read in place as though they lay at `base`.
struct async_dwarf_memory {
    static constexpr size_t kWindowSize = 512;
    static constexpr size_t kWindowCount = 4;

    kcr_task_t task;
    const kcr_async_byteorder* order = nullptr;
    uint64_t base = 0;
    uint64_t end = 0;
    const uint8_t* local = nullptr;

    struct window {
        uint64_t address = 0;
        uint32_t length = 0;
        uint8_t bytes[kWindowSize];
    };
    window windows[kWindowCount];
    uint32_t next_victim = 0;
};

// False when base + length wraps.
bool async_dwarf_memory_init_task(async_dwarf_memory* memory, const kcr_task_t& task, uint64_t base,
                                  uint64_t length, const kcr_async_byteorder* order);
void async_dwarf_memory_init_local(async_dwarf_memory* memory, const void* bytes, size_t length,
                                   uint64_t base, const kcr_async_byteorder* order);
// Copies [address + offset, + length): 0, 5 when any byte lies outside the view
// (or the sum wraps), 8 when the task cannot be read there.
[[nodiscard]] kcr_error_t async_dwarf_memory_read(async_dwarf_memory* memory, uint64_t address,
                                                  int64_t offset, void* destination, size_t length);

// An unsigned value of 1, 2, 4 or 8 bytes through the byte order; 5 for any
// other size or a range outside the view.
[[nodiscard]] kcr_error_t async_dwarf_read_uintmax(async_dwarf_memory* memory, uint64_t address,
                                                   int64_t offset, uint32_t size, uint64_t* result);

// LEB128 of at most 10 bytes (a continuation bit on the tenth gives 4); every
// byte must be inside the view (else 5). *size is the number of bytes read.
[[nodiscard]] kcr_error_t async_dwarf_read_uleb128(async_dwarf_memory* memory, uint64_t address,
                                                   int64_t offset, uint64_t* result, size_t* size);
[[nodiscard]] kcr_error_t async_dwarf_read_sleb128(async_dwarf_memory* memory, uint64_t address,
                                                   int64_t offset, int64_t* result, size_t* size);

// The GNU pointer-encoding byte.
namespace DW_EH_PE {
inline constexpr uint8_t omit = 0xFF;
inline constexpr uint8_t indirect = 0x80;
inline constexpr uint8_t application_mask = 0x70;
inline constexpr uint8_t absptr = 0x00;
inline constexpr uint8_t pcrel = 0x10;
inline constexpr uint8_t textrel = 0x20;
inline constexpr uint8_t datarel = 0x30;
inline constexpr uint8_t funcrel = 0x40;
inline constexpr uint8_t aligned = 0x50;
inline constexpr uint8_t format_mask = 0x0F;
inline constexpr uint8_t ptr = 0x00;
inline constexpr uint8_t uleb128 = 0x01;
inline constexpr uint8_t udata2 = 0x02;
inline constexpr uint8_t udata4 = 0x03;
inline constexpr uint8_t udata8 = 0x04;
inline constexpr uint8_t sleb128 = 0x09;
inline constexpr uint8_t sdata2 = 0x0A;
inline constexpr uint8_t sdata4 = 0x0B;
inline constexpr uint8_t sdata8 = 0x0C;
}  // namespace DW_EH_PE

// Reads encoded pointers. The bases that text-, data- and function-relative
// encodings need are optional; the stack walk sets only the data base (for
// the .eh_frame_hdr search table).
template <typename machine_ptr>
class gnu_ehptr_reader {
  public:
    explicit gnu_ehptr_reader(const kcr_async_byteorder* order) : order_(order) {}

    void set_frame_section_base(machine_ptr base, machine_ptr vm_address) {
        has_frame_section_base_ = true;
        frame_section_base_ = base;
        frame_section_vm_address_ = vm_address;
    }
    void set_text_base(machine_ptr base) {
        has_text_base_ = true;
        text_base_ = base;
    }
    void set_data_base(machine_ptr base) {
        has_data_base_ = true;
        data_base_ = base;
    }
    void set_func_base(machine_ptr base) {
        has_func_base_ = true;
        func_base_ = base;
    }

    // Reads the pointer at address + offset: 0, 8 for the omitted encoding,
    // 4 for an unsupported or baseless one, 5 for a read outside the view.
    // *size is the number of bytes the field takes.
    [[nodiscard]] kcr_error_t read(async_dwarf_memory* memory, uint64_t address, int64_t offset,
                                   uint8_t encoding, machine_ptr* result, size_t* size) const;

  private:
    // The base the encoding's application names; an aligned pointer moves
    // `field` (and `size`) on to its alignment instead.
    [[nodiscard]] kcr_error_t application_base(uint8_t encoding, uint64_t* field, machine_ptr* base,
                                               size_t* size) const;

    const kcr_async_byteorder* order_;
    bool has_frame_section_base_ = false;
    machine_ptr frame_section_base_ = 0;
    machine_ptr frame_section_vm_address_ = 0;
    bool has_text_base_ = false;
    machine_ptr text_base_ = 0;
    bool has_data_base_ = false;
    machine_ptr data_base_ = 0;
    bool has_func_base_ = false;
    machine_ptr func_base_ = 0;
};

// A parsed CIE. Offsets are relative to the view's base.
struct kcr_async_dwarf_cie_info {
    uint64_t cie_offset = 0;  // just after the length field
    uint64_t cie_length = 0;
    uint64_t cie_id = 0;
    uint8_t cie_version = 0;
    uint8_t address_size = 0;
    uint8_t segment_size = 0;
    uint64_t code_alignment_factor = 0;
    int64_t data_alignment_factor = 0;
    uint64_t return_address_register = 0;
    struct {
        bool data_present = false;
        bool has_lsda_encoding = false;
        uint8_t lsda_encoding = 0;
        bool has_personality_address = false;
        uint64_t personality_address = 0;
        bool has_pointer_encoding = false;
        uint8_t pointer_encoding = 0;
        bool signal_frame = false;
    } eh_augmentation;
    uint64_t initial_instructions_offset = 0;
    uint64_t initial_instructions_length = 0;
};

// A parsed FDE (pc values from the image's point of view).
struct kcr_async_dwarf_fde_info {
    uint64_t fde_offset = 0;  // just after the length field
    uint64_t fde_length = 0;
    uint64_t cie_offset = 0;  // of the CIE's length field
    uint64_t pc_start = 0;
    uint64_t pc_end = 0;
    uint64_t instructions_offset = 0;
    uint64_t instructions_length = 0;
};

// Parses the CIE whose length field is at `address`: 0, 4 (unknown
// augmentation), 5 (malformed or outside the view).
template <typename machine_ptr>
[[nodiscard]] kcr_error_t kcr_async_dwarf_cie_info_init(kcr_async_dwarf_cie_info* info,
                                                        async_dwarf_memory* memory,
                                                        const gnu_ehptr_reader<machine_ptr>* reader,
                                                        uint64_t address);
// Parses the FDE whose length field is at `address`, and its CIE into `cie`
// when given.
template <typename machine_ptr>
[[nodiscard]] kcr_error_t kcr_async_dwarf_fde_info_init(kcr_async_dwarf_fde_info* info,
                                                        async_dwarf_memory* memory, uint64_t address,
                                                        bool debug_frame,
                                                        kcr_async_dwarf_cie_info* cie = nullptr);

struct async_dwarf_frame_reader {
    async_dwarf_memory* memory = nullptr;
    bool m64 = true;
    bool debug_frame = false;
};

void async_dwarf_frame_reader_init(async_dwarf_frame_reader* reader, async_dwarf_memory* memory, bool m64,
                                   bool debug_frame);
// Scans the section from base + start_offset for the FDE covering `address`
// (pc start <= address < pc end): 0 when found, 8 when not, 5 for a malformed
// section, or the FDE parser's code.
[[nodiscard]] kcr_error_t async_dwarf_frame_reader_find_fde(async_dwarf_frame_reader* reader,
                                                            uint64_t start_offset, uint64_t address,
                                                            kcr_async_dwarf_fde_info* fde);

// Binary search of an .eh_frame_hdr table (the image's sorted index of FDEs):
// 0 and the FDE's address in the task, 8 when no entry precedes the address,
// 4 when the table's encoding is not the usual data-relative signed 32-bit
// pairs, 5 when the header cannot be read.
[[nodiscard]] kcr_error_t async_dwarf_eh_frame_hdr_lookup(const kcr_task_t& task, uint64_t header,
                                                          uint64_t header_size, uint64_t address,
                                                          uint64_t* fde_address);
// The same over a local copy of the header: `bytes` holds `header_size`
// bytes of the header whose task address is `header`.
[[nodiscard]] kcr_error_t async_dwarf_eh_frame_hdr_lookup_local(const uint8_t* bytes, uint64_t header,
                                                                uint64_t header_size, uint64_t address,
                                                                uint64_t* fde_address);

// The frame reader: finds the image of the current pc (one byte earlier
// when the pc is a return address), its FDE, runs the CIE and FDE programs
// up to that address and applies the rules. 0; 3 without a pc; 4 when the
// image or FDE is missing or the programs fail; 2 when the image has no call
// frame section or the rules cannot be applied.
[[nodiscard]] frame_error_t async_frame_read_dwarf_unwind(const kcr_task_t& task,
                                                          async_image_list_t* image_list,
                                                          const kcr_async_thread_state* current,
                                                          const kcr_async_thread_state* previous,
                                                          kcr_async_thread_state* next);

}  // namespace kcr::async
