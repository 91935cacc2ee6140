#include "crashcapture/KCRAsyncImage.h"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "crashcapture/KCRCrashReporterLog.h"
#include "platform/machine/Loader.h"

namespace kcr::async {

namespace {

struct CpuType {
    uint32_t type;
    uint32_t subtype;
};

CpuType elf_cpu_type(uint16_t machine) {
    switch (machine) {
        case EM_X86_64:
            return {0x01000007, 3};
        case EM_386:
            return {7, 3};
        case EM_AARCH64:
            return {0x0100000C, 0};
        case EM_ARM:
            return {12, 9};
        default:
            return {0, 0};
    }
}

// Whether images added from now on load their file's full symbol table.
std::atomic<bool> gLoadFileSymbols{false};

void load_file_symbols(async_image* image) {
    if (image->kind != async_image_kind::elf || image->name == nullptr ||
        image->file_symbols.load(std::memory_order_acquire) != nullptr)
        return;
    std::unique_ptr<plat::machine::ElfFileSymbols> loaded =
        plat::machine::ElfFileSymbols::load(image->name, image->elf);
    if (!loaded)
        return;
    plat::machine::ElfFileSymbols* expected = nullptr;
    if (image->file_symbols.compare_exchange_strong(expected, loaded.get(), std::memory_order_acq_rel))
        loaded.release();
}

char* copy_name(const char* name) {
    size_t length = std::strlen(name);
    char* copy = new char[length + 1];
    std::memcpy(copy, name, length + 1);
    return copy;
}

const uint8_t* macho_uuid(const async_image* image) {
    const void* cmd = async_macho_find_command(&image->macho, KCR_LC_UUID);
    if (cmd == nullptr || !async_mobject_verify_local_pointer(&image->macho.load_cmds,
                                                              reinterpret_cast<uintptr_t>(cmd), 0, 24)) {
        return nullptr;
    }
    return static_cast<const uint8_t*>(cmd) + 8;
}

}  // namespace

kcr_error_t async_image_init(async_image* image, const kcr_task_t& task, const char* name,
                             uint64_t header_addr) {
    image->kind = async_image_kind::elf;
    image->name = nullptr;
    image->macho = async_macho{};
    image->elf = plat::machine::ElfImage{};
    image->node = nullptr;
    image->unwind_copy_state.store(0);
    image->unwind_copy = plat::machine::CopiedMapping{};
    image->file_symbols.store(nullptr);
    image->header_addr = header_addr;
    uint8_t magic[4];
    kcr_error_t error = async_task_memcpy(task, header_addr, 0, magic, sizeof magic);
    if (error != KCR_ESUCCESS)
        return KCR_EINTERNAL;
    if (std::memcmp(magic, ELFMAG, SELFMAG) == 0) {
        image->kind = async_image_kind::elf;
        if (plat::machine::parseElfImage(task, header_addr, &image->elf) != plat::machine::ElfResult::Ok) {
            return KCR_EINVALID_DATA;
        }
        image->name = copy_name(name);
        if (gLoadFileSymbols.load(std::memory_order_acquire))
            load_file_symbols(image);
        return KCR_ESUCCESS;
    }
    image->kind = async_image_kind::macho;
    return async_macho_init(&image->macho, task, name, header_addr);
}

void async_image_free(async_image* image) {
    if (image->kind == async_image_kind::macho) {
        async_macho_free(&image->macho);
    }
    if (image->unwind_copy_state.load(std::memory_order_acquire) == 2)
        plat::machine::freeMapping(&image->unwind_copy);
    image->unwind_copy_state.store(0);
    delete image->file_symbols.exchange(nullptr);
    delete[] image->name;
    image->name = nullptr;
}

uint64_t async_image_header_address(const async_image* image) {
    return image->header_addr;
}

const char* async_image_name(const async_image* image) {
    return image->kind == async_image_kind::macho ? image->macho.name : image->name;
}

uint32_t async_image_cpu_type(const async_image* image) {
    if (image->kind == async_image_kind::macho)
        return async_macho_cpu_type(&image->macho);
    return elf_cpu_type(image->elf.machine).type;
}

uint32_t async_image_cpu_subtype(const async_image* image) {
    if (image->kind == async_image_kind::macho)
        return async_macho_cpu_subtype(&image->macho);
    return elf_cpu_type(image->elf.machine).subtype;
}

bool async_image_is_64(const async_image* image) {
    return image->kind == async_image_kind::macho ? image->macho.m64 : image->elf.is64;
}

uint64_t async_image_text_size(const async_image* image) {
    return image->kind == async_image_kind::macho ? image->macho.text_size : image->elf.textSize;
}

bool async_image_contains_address(const async_image* image, uint64_t address) {
    if (image->kind == async_image_kind::macho)
        return async_macho_contains_address(&image->macho, address);
    return image->elf.containsAddress(address);
}

bool async_image_build_id(const async_image* image, const uint8_t** bytes, uint32_t* length) {
    if (image->kind == async_image_kind::macho) {
        const uint8_t* uuid = macho_uuid(image);
        if (uuid == nullptr)
            return false;
        *bytes = uuid;
        *length = 16;
        return true;
    }
    if (image->elf.buildIdLength == 0)
        return false;
    *bytes = image->elf.buildId;
    *length = image->elf.buildIdLength;
    return true;
}

bool async_image_uuid(const async_image* image, uint8_t uuid[16]) {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (!async_image_build_id(image, &bytes, &length))
        return false;
    async_memset(uuid, 0, 16);
    async_memcpy(uuid, bytes, length < 16 ? length : 16);
    return true;
}

kcr_error_t async_image_map_eh_frame(const async_image* image, kcr_async_mobject* mobj) {
    if (image->kind == async_image_kind::macho)
        return async_macho_map_section(&image->macho, "__TEXT", "__eh_frame", mobj);
    if (image->elf.ehFrame == 0 || image->elf.ehFrameEnd <= image->elf.ehFrame)
        return KCR_ENOTFOUND;
    return async_mobject_init(mobj, image->elf.task, image->elf.ehFrame,
                              image->elf.ehFrameEnd - image->elf.ehFrame, true);
}

kcr_error_t async_image_map_debug_frame(const async_image* image, kcr_async_mobject* mobj) {
    // Loaded ELF images carry no .debug_frame in memory.
    if (image->kind != async_image_kind::macho)
        return KCR_ENOTFOUND;
    return async_macho_map_section(&image->macho, "__DWARF", "__debug_frame", mobj);
}

kcr_error_t async_image_map_unwind_info(const async_image* image, kcr_async_mobject* mobj) {
    if (image->kind != async_image_kind::macho)
        return KCR_ENOTFOUND;
    return async_macho_map_section(&image->macho, "__TEXT", "__unwind_info", mobj);
}

bool async_image_unwind_tables(const async_image* image, const uint8_t** bytes, uint64_t* task_address,
                               uint64_t* length) {
    if (image->kind != async_image_kind::elf)
        return false;
    const plat::machine::ElfImage& elf = image->elf;
    int state = image->unwind_copy_state.load(std::memory_order_acquire);
    if (state == 0) {
        if (elf.ehFrame == 0 || elf.ehFrameEnd <= elf.ehFrame) {
            image->unwind_copy_state.store(3, std::memory_order_release);
            return false;
        }
        // One span from the header table (when there is one) to the end of
        // the frame table; they sit in the same read-only segment.
        uint64_t start = elf.ehFrame;
        uint64_t end = elf.ehFrameEnd;
        if (elf.ehFrameHeader != 0 && elf.ehFrameHeaderSize != 0) {
            start = elf.ehFrameHeader < start ? elf.ehFrameHeader : start;
            const uint64_t header_end = elf.ehFrameHeader + elf.ehFrameHeaderSize;
            end = header_end > end ? header_end : end;
        }
        int expected = 0;
        if (!image->unwind_copy_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
            return false;  // another reader is making it: read the task this time
        plat::machine::CopiedMapping copy;
        const bool copied = end - start <= plat::machine::kMaxCopiedMapping &&
                            plat::machine::copyMapping(elf.task, start, end - start, true, &copy) ==
                                plat::machine::ReadResult::Ok;
        if (copied)
            image->unwind_copy = copy;
        image->unwind_copy_state.store(copied ? 2 : 3, std::memory_order_release);
        state = copied ? 2 : 3;
    }
    if (state != 2)
        return false;
    *bytes = static_cast<const uint8_t*>(image->unwind_copy.mapping);
    *task_address = image->unwind_copy.alignedTaskAddress;
    *length = image->unwind_copy.mappingLength;
    return true;
}

kcr_error_t async_image_find_symbol_by_pc(const async_image* image, uint64_t pc,
                                          async_macho_found_symbol_cb callback, void* context) {
    if (image->kind == async_image_kind::macho) {
        return async_macho_find_symbol_by_pc(&image->macho, pc, callback, context);
    }
    char name[256];
    uint64_t start = 0;
    const plat::machine::ElfFileSymbols* file = image->file_symbols.load(std::memory_order_acquire);
    const bool found = (file != nullptr && file->find(pc, name, sizeof name, &start)) ||
                       plat::machine::findElfSymbol(image->elf, pc, name, sizeof name, &start);
    if (!found)
        return KCR_ENOTFOUND;
    callback(start, name, context);
    return KCR_ESUCCESS;
}

namespace {

void release_image(async_image*& image) {
    if (image == nullptr)
        return;
    async_image_free(image);
    delete image;
    image = nullptr;
}

}  // namespace

void locked_image_list_init(async_image_list_t* list, const kcr_task_t& task) {
    list->task = task;
    list->list = new async_safe_list<async_image*>(release_image);
}

void locked_image_list_free(async_image_list_t* list) {
    delete list->list;
    list->list = nullptr;
}

namespace {

// A late image at this header (one the list now knows, or that went away) is
// no longer walked.
void retire_late_image(async_image_list_t* list, uint64_t header_addr) {
    if (list->late == nullptr)
        return;
    const uint32_t count = list->late->count.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < count; ++i) {
        async_late_image& slot = list->late->slots[i];
        if (slot.image.header_addr == header_addr)
            slot.retired.store(true, std::memory_order_release);
    }
}

// The index of a late image, or -1 when the image is none (the list's own
// records always hang on a node).
int late_index(const async_image_list_t* list, const async_image* image) {
    if (list->late == nullptr || image->node != nullptr)
        return -1;
    const auto first = reinterpret_cast<uintptr_t>(&list->late->slots[0].image);
    const auto at = reinterpret_cast<uintptr_t>(image);
    if (at < first)
        return -1;
    const uintptr_t index = (at - first) / sizeof(async_late_image);
    if (index >= async_late_images::kSlots || &list->late->slots[index].image != image)
        return -1;
    return static_cast<int>(index);
}

async_image* late_from(async_image_list_t* list, uint32_t first) {
    if (list->late == nullptr)
        return nullptr;
    const uint32_t count = list->late->count.load(std::memory_order_acquire);
    for (uint32_t i = first; i < count; ++i) {
        if (!list->late->slots[i].retired.load(std::memory_order_acquire))
            return &list->late->slots[i].image;
    }
    return nullptr;
}

}  // namespace

kcr_error_t locked_image_list_append(async_image_list_t* list, uint64_t header_addr, const char* name) {
    auto image = std::make_unique<async_image>();
    kcr_error_t error = async_image_init(image.get(), list->task, name, header_addr);
    if (error != KCR_ESUCCESS)
        return error;
    async_image* raw = image.release();
    list->list->append(raw, &raw->node);
    retire_late_image(list, header_addr);
    return KCR_ESUCCESS;
}

void locked_image_list_remove(async_image_list_t* list, uint64_t header_addr) {
    retire_late_image(list, header_addr);
    async_image* found = nullptr;
    list->list->set_reading(true);
    for (auto* node = list->list->next(nullptr); node != nullptr; node = list->list->next(node)) {
        if (node->value->header_addr == header_addr) {
            found = node->value;
            break;
        }
    }
    list->list->set_reading(false);
    if (found != nullptr)
        list->list->remove(found);
}

void async_image_list_set_reading(async_image_list_t* list, bool reading) {
    list->list->set_reading(reading);
}

async_image* async_image_list_next(async_image_list_t* list, async_image* previous) {
    using node = async_safe_list<async_image*>::node;
    if (previous != nullptr) {
        const int late = late_index(list, previous);
        if (late >= 0)
            return late_from(list, static_cast<uint32_t>(late) + 1);
    }
    node* next = list->list->next(previous == nullptr ? nullptr : static_cast<node*>(previous->node));
    return next != nullptr ? next->value : late_from(list, 0);
}

async_image* async_image_containing_address(async_image_list_t* list, uint64_t address) {
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        if (async_image_contains_address(image, address))
            return image;
    }
    return nullptr;
}

namespace {

struct SharedImages {
    async_image_list_t list;
    std::unique_ptr<plat::machine::Loader> loader;
};

SharedImages& shared_images() {
    // Never destroyed: a crash during exit may still walk the list.
    static SharedImages* shared = [] {
        auto* images = new SharedImages;
        plat::machine::initialize();
        locked_image_list_init(&images->list, async_task_self());
        images->list.late = new async_late_images;
        images->loader = std::make_unique<plat::machine::Loader>(
            [images](const plat::machine::LoadedImage& loaded) {
                if (loaded.path.empty()) {
                    kcr::log("%s: dladdr(%p, ...) failed", "image_add_callback",
                             reinterpret_cast<const void*>(loaded.headerAddress));
                    return;
                }
                // An image that cannot be read is left out: its addresses are
                // reported as outside every image, without symbols.
                (void)locked_image_list_append(&images->list, loaded.headerAddress, loaded.path.c_str());
            },
            [images](uint64_t header) { locked_image_list_remove(&images->list, header); });
        return images;
    }();
    return *shared;
}

}  // namespace

async_image_list_t* async_shared_image_list() {
    return &shared_images().list;
}

void async_image_list_poll_loader() {
    shared_images().loader->poll();
}

void async_image_list_load_file_symbols(async_image_list_t* list) {
    gLoadFileSymbols.store(true, std::memory_order_release);
    async_image_list_set_reading(list, true);
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        if (image->node != nullptr)  // the list's own records (late ones have no file table)
            load_file_symbols(image);
    }
    async_image_list_set_reading(list, false);
}

namespace {

// The loader's record of one loaded object, as far as it is public.
struct loader_object {
    uint64_t load_bias;  // l_addr
    uint64_t name;       // l_name
    uint64_t dynamic;    // l_ld
    uint64_t next;       // l_next
    uint64_t previous;   // l_prev
};

// Copies a NUL-terminated string of the task in small aligned pieces (a
// piece never crosses a page, so the end of a mapping cannot hide the NUL);
// false when unreadable or longer than the buffer.
bool read_task_string(const kcr_task_t& task, uint64_t address, char* out, size_t capacity) {
    constexpr uint64_t kPiece = 32;
    size_t at = 0;
    while (at + 1 < capacity) {
        const uint64_t piece_end = ((address + at) | (kPiece - 1)) + 1;
        size_t n = static_cast<size_t>(piece_end - (address + at));
        if (n > capacity - 1 - at)
            n = capacity - 1 - at;
        if (async_task_memcpy(task, address + at, 0, out + at, n) != KCR_ESUCCESS)
            return false;
        for (size_t i = 0; i < n; ++i) {
            if (out[at + i] == '\0')
                return true;
        }
        at += n;
    }
    return false;
}

bool list_has_header(async_image_list_t* list, uint64_t header) {
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        if (image->header_addr == header)
            return true;
    }
    return false;
}

}  // namespace

void async_image_list_add_loader_images(async_image_list_t* list) {
    async_late_images* late = list->late;
    if (late == nullptr)
        return;
    bool expected = false;
    if (!late->filling.compare_exchange_strong(expected, true, std::memory_order_acquire))
        return;
    const kcr_task_t& task = list->task;
    uint64_t object = 0;
    if (async_task_memcpy(task, reinterpret_cast<uint64_t>(&_r_debug), offsetof(r_debug, r_map), &object,
                          sizeof object) != KCR_ESUCCESS)
        object = 0;
    async_image_list_set_reading(list, true);
    // Bounded: a chain corrupted into a loop ends here.
    for (int walked = 0; object != 0 && walked < 4096; ++walked) {
        loader_object record;
        if (async_task_memcpy(task, object, 0, &record, sizeof record) != KCR_ESUCCESS)
            break;
        object = record.next;
        // The program itself (no name) and objects without a bias are known
        // from the start; an object's ELF header sits at its bias.
        const uint64_t header = record.load_bias;
        if (header == 0 || record.name == 0 || list_has_header(list, header))
            continue;
        const uint32_t index = late->count.load(std::memory_order_relaxed);
        if (index >= async_late_images::kSlots)
            break;
        async_late_image& slot = late->slots[index];
        if (!read_task_string(task, record.name, slot.name, sizeof slot.name) || slot.name[0] == '\0')
            continue;
        async_image& image = slot.image;
        image.kind = async_image_kind::elf;
        image.header_addr = header;
        image.name = slot.name;
        image.node = nullptr;
        if (plat::machine::parseElfImage(task, header, &image.elf) != plat::machine::ElfResult::Ok)
            continue;
        slot.retired.store(false, std::memory_order_relaxed);
        late->count.store(index + 1, std::memory_order_release);
    }
    async_image_list_set_reading(list, false);
    late->filling.store(false, std::memory_order_release);
}

}  // namespace kcr::async
