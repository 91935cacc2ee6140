// Feeds arbitrary bytes, placed as a loaded image, to the ELF reader: program
// headers, build-ID notes, the unwind header, the dynamic section and the
// symbol look-ups. None may fault, loop or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "fuzz/FuzzImageBuffer.h"
#include "platform/machine/ElfImage.h"

using namespace plat::machine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kcr::fuzz::ImageBuffer buffer;
    const uint64_t address = buffer.load(data, size);
    if (address == 0)
        return 0;
    ElfImage image;
    if (parseElfImage(Task::self(), address, &image) != ElfResult::Ok)
        return 0;
    char name[64];
    uint64_t start = 0;
    for (uint64_t offset : {uint64_t{0}, uint64_t{0x40}, uint64_t{size}, image.textSize}) {
        findElfSymbol(image, address + offset, name, sizeof name, &start);
    }
    findElfSymbolByName(image, "main", &start);
    return 0;
}
