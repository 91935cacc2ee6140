// Feeds arbitrary bytes, placed as a loaded image, to the Mach-O reader: the
// header and command walk, segment and section mappings, the symbol table and
// lazy strings. None may fault, loop or read outside what it mapped.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRAsyncMachO.h"
#include "crashcapture/KCRAsyncSymbol.h"
#include "fuzz/FuzzImageBuffer.h"

using namespace kcr::async;

// Results are not checked: a fuzz target looks for faults, hangs and
// overruns, not for answers.

namespace {

void ignore(uint64_t, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kcr::fuzz::ImageBuffer buffer;
    const uint64_t address = buffer.load(data, size);
    if (address == 0)
        return 0;
    async_image image;
    if (async_image_init(&image, async_task_self(), "fuzz", address) != KCR_ESUCCESS)
        return 0;
    if (image.kind == async_image_kind::macho) {
        const async_macho* macho = &image.macho;
        int commands = 0;
        for (const void* cmd = async_macho_next_command(macho, nullptr); cmd != nullptr && commands < 100000;
             cmd = async_macho_next_command(macho, cmd)) {
            ++commands;
        }
        async_macho_mapped_segment segment;
        if (async_macho_map_segment(macho, "__LINKEDIT", &segment) == KCR_ESUCCESS) {
            async_macho_mapped_segment_free(&segment);
        }
        uint64_t found = 0;
        (void)async_macho_find_symbol_by_name(macho, "_main", &found);
        async_macho_string string;
        (void)async_macho_string_init(&string, macho, address + (size > 64 ? data[size - 1] : 0));
        const char* text = nullptr;
        (void)async_macho_string_get_pointer(&string, &text);
        async_macho_string_free(&string);
    }
    uint8_t uuid[16];
    async_image_uuid(&image, uuid);
    kcr_async_mobject mobj;
    if (async_image_map_eh_frame(&image, &mobj) == KCR_ESUCCESS)
        async_mobject_free(&mobj);
    if (async_image_map_unwind_info(&image, &mobj) == KCR_ESUCCESS)
        async_mobject_free(&mobj);
    for (uint64_t offset : {uint64_t{0}, uint64_t{0x100}, uint64_t{size}, uint64_t{0x100000000}}) {
        (void)async_find_symbol(&image, KCR_SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, address + offset, ignore,
                                nullptr);
    }
    async_image_free(&image);
    return 0;
}
