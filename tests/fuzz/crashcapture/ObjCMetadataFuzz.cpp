// Damages the Objective-C metadata of a valid built image with the fuzzer's
// input and looks methods up in it: records of (section, offset, 8 bytes)
// overwrite words of the class list, category list, class data, read-only
// data and method lists. Every outcome must be an error code or a method;
// nothing may fault or read outside what was mapped.
#include <cstdint>
#include <cstring>

#include "crashcapture/KCRAsyncObjC.h"
#include "crashcapture/KCRAsyncSymbol.h"
#include "crashcapture/MachOObjCImage.h"

using namespace kcr::async;

// Results are not checked: a fuzz target looks for faults, hangs and
// overruns, not for answers.
using kcr::testing::ObjCImage;

namespace {

void ignore(uint64_t, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ObjCImage* built = new ObjCImage;
    static const struct {
        int section;
        size_t size;
    } kTargets[] = {{kcr::testing::kConst, 512},
                    {kcr::testing::kClassList, 16},
                    {kcr::testing::kCatList, 8},
                    {kcr::testing::kData, 256}};
    // Keep the pristine bytes to restore after each input.
    static uint8_t pristine[4][512];
    static bool saved = false;
    if (!saved) {
        for (int i = 0; i < 4; ++i)
            std::memcpy(pristine[i], reinterpret_cast<void*>(built->address(kTargets[i].section, 0)),
                        kTargets[i].size);
        saved = true;
    }
    for (size_t at = 0; at + 10 <= size; at += 10) {
        const auto& target = kTargets[data[at] % 4];
        const size_t offset = data[at + 1] % (target.size - 7);
        uint64_t value;
        std::memcpy(&value, data + at + 2, 8);
        // Small values become offsets into the image, so pointers stay
        // plausible often enough to go deep.
        if ((value >> 32) == 0)
            value += built->image.address();
        std::memcpy(reinterpret_cast<void*>(built->address(target.section, offset)), &value, 8);
    }
    async_image image;
    if (async_image_init(&image, async_task_self(), "objc", built->image.address()) == KCR_ESUCCESS) {
        async_objc_cache cache;
        (void)async_objc_cache_init(&cache);
        for (uint64_t offset : {kcr::testing::kSpin, kcr::testing::kMake, kcr::testing::kExtra + 8})
            (void)async_find_symbol(&image, KCR_SYMBOL_STRATEGY_OBJC | KCR_SYMBOL_STRATEGY_SYMBOL_TABLE,
                                    &cache, built->text + offset, ignore, nullptr);
        async_objc_cache_free(&cache);
        async_image_free(&image);
    }
    for (int i = 0; i < 4; ++i)
        std::memcpy(reinterpret_cast<void*>(built->address(kTargets[i].section, 0)), pristine[i],
                    kTargets[i].size);
    return 0;
}
