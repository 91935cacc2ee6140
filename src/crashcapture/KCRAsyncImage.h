// Loaded images behind one interface, and the list of them that crash-time
// code walks. An image is either ELF (what this system really loads: span,
// build ID, .eh_frame, dynamic symbols) or Mach-O (images built in memory,
// read by the Mach-O reader); the writer, the unwinders and symbolication use
// only the functions below.
//
// Images are created at ordinary time (registration); the getters, the section
// mappers and the symbol look-up are async-signal-safe.
//
// The image list: writers (the loader's add and remove, at ordinary time)
// serialise on the list's spin lock; crash-time readers hold the reader count
// (async_image_list_set_reading) around every walk and never lock. A removed
// image is freed at once when no reader holds the count, else when its parked
// node is reused.
#pragma once

#include <atomic>
#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncMObject.h"
#include "crashcapture/KCRAsyncMachO.h"
#include "crashcapture/KCRAsyncSafeList.h"
#include "platform/machine/ElfFileSymbols.h"
#include "platform/machine/ElfImage.h"

namespace kcr::async {

enum class async_image_kind { macho, elf };

struct async_image {
    async_image_kind kind = async_image_kind::elf;
    uint64_t header_addr = 0;
    char* name = nullptr;  // heap copy of the path (ELF; the Mach-O record keeps its own)
    async_macho macho;
    plat::machine::ElfImage elf;
    void* node = nullptr;  // the list node this image hangs on
    // A private copy of the ELF unwind tables (.eh_frame_hdr through the end
    // of .eh_frame), made on first use: the tables are mapped read-only and
    // never change, so one copy serves every later unwind. 0 none yet, 1
    // being made, 2 made, 3 not possible.
    mutable std::atomic<int> unwind_copy_state{0};
    mutable plat::machine::CopiedMapping unwind_copy;
    // The full symbol table of the image's file (ELF), when loaded: set once
    // at ordinary time, freed with the image.
    std::atomic<plat::machine::ElfFileSymbols*> file_symbols{nullptr};
};

// Reads the image at `header_addr`: ELF when it starts with the ELF magic, else
// Mach-O. 0, or the reader's error (nothing is left allocated on failure).
[[nodiscard]] kcr_error_t async_image_init(async_image* image, const kcr_task_t& task, const char* name,
                                           uint64_t header_addr);
void async_image_free(async_image* image);

uint64_t async_image_header_address(const async_image* image);
const char* async_image_name(const async_image* image);
// The processor as Mach CPU type numbers (ELF e_machine mapped; 0 when unknown).
uint32_t async_image_cpu_type(const async_image* image);
uint32_t async_image_cpu_subtype(const async_image* image);
bool async_image_is_64(const async_image* image);
// The span holding the image's code: [header, header + text size).
uint64_t async_image_text_size(const async_image* image);
bool async_image_contains_address(const async_image* image, uint64_t address);
// The 16-byte image UUID (Mach-O LC_UUID; the first 16 bytes of the ELF build
// ID, zero-padded); false when the image has none.
bool async_image_uuid(const async_image* image, uint8_t uuid[16]);
// The whole ELF build ID (or the Mach-O UUID); false when absent.
bool async_image_build_id(const async_image* image, const uint8_t** bytes, uint32_t* length);

// Section mappings for the unwinders: 0, 8 when the image has no such section,
// or the mapping's error. The caller frees the object.
[[nodiscard]] kcr_error_t async_image_map_eh_frame(const async_image* image, kcr_async_mobject* mobj);
[[nodiscard]] kcr_error_t async_image_map_debug_frame(const async_image* image, kcr_async_mobject* mobj);
[[nodiscard]] kcr_error_t async_image_map_unwind_info(const async_image* image, kcr_async_mobject* mobj);

// The image's unwind tables as local bytes: `bytes` holds the task range
// starting at `task_address`, `length` bytes long, covering .eh_frame_hdr and
// .eh_frame. The copy is made by the first caller (one read of whole pages,
// async-signal-safe, lock-free); false for a Mach-O image, an image without
// the tables, while another caller is making the copy, or when it failed (the
// caller then reads task memory directly).
bool async_image_unwind_tables(const async_image* image, const uint8_t** bytes, uint64_t* task_address,
                               uint64_t* length);

// The nearest symbol at or below `pc`: 0 when reported (the name is valid only
// during the callback), 8 when none. ELF images answer from their file's full
// symbol table when it was loaded, else from their dynamic symbols.
[[nodiscard]] kcr_error_t async_image_find_symbol_by_pc(const async_image* image, uint64_t pc,
                                                        async_macho_found_symbol_cb callback, void* context);

// Images the loader holds that the list did not know when a crash came
// (libraries opened since the last ordinary-time update), found by walking
// the loader's own chain of loaded objects at crash time. Slots are filled in
// order at crash time, never freed and never reused; a slot whose image the
// list learns about later (or whose image goes away) is retired and skipped.
struct async_late_image {
    static constexpr size_t kNameCapacity = 512;
    async_image image;
    char name[kNameCapacity] = {};
    std::atomic<bool> retired{false};
};

struct async_late_images {
    static constexpr uint32_t kSlots = 32;
    std::atomic<uint32_t> count{0};    // slots published to readers
    std::atomic<bool> filling{false};  // one crash-time writer at a time
    async_late_image slots[kSlots];
};

struct async_image_list_t {
    kcr_task_t task;
    async_safe_list<async_image*>* list = nullptr;
    async_late_images* late = nullptr;  // the shared list of this process only
};

void locked_image_list_init(async_image_list_t* list, const kcr_task_t& task);
// Frees every image; only once no reader can walk the list any more.
void locked_image_list_free(async_image_list_t* list);
// Reads the image and appends it; an image that cannot be read is skipped.
[[nodiscard]] kcr_error_t locked_image_list_append(async_image_list_t* list, uint64_t header_addr,
                                                   const char* name);
void locked_image_list_remove(async_image_list_t* list, uint64_t header_addr);

void async_image_list_set_reading(async_image_list_t* list, bool reading);
// The image after `previous` (the first when null), or null. The list's own
// images come first, then its late images.

async_image* async_image_list_next(async_image_list_t* list, async_image* previous);
// The first image that contains the address, or null. Hold the reader count.
async_image* async_image_containing_address(async_image_list_t* list, uint64_t address);

// The process-wide list of this process's images, set up on first use, and
// brought up to date with the loader by async_image_list_poll_loader()
// (ordinary time: it lists the loader's images when they changed).
async_image_list_t* async_shared_image_list();
void async_image_list_poll_loader();

// Ordinary time: from now on every ELF image added to any list loads its
// file's full symbol table, and the list's current images load theirs now
// (for reporters that symbolicate). Safe against concurrent walks.
void async_image_list_load_file_symbols(async_image_list_t* list);

// Crash time: walks the dynamic loader's chain of loaded objects with safe
// reads and adds each object the list lacks as a late image (header, name,
// unwind tables and dynamic symbols; no full symbol table). Does nothing for
// a list without late slots, or while another thread is doing it. No heap,
// no lock; async-signal-safe.
void async_image_list_add_loader_images(async_image_list_t* list);

}  // namespace kcr::async
