// A 64-bit Mach-O image in memory with Objective-C 2 metadata: class Widget
// (-spin, +make through its metaclass), a category adding -extra, and a
// class that is not realised. The metadata is laid out in zero-filled
// sections and its pointers patched in once the image's address is known.
// Used by the method look-up tests and its fuzz target.
#pragma once

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "crashcapture/MachOBuilder.h"

namespace kcr::testing {

// Section order in the builder.
enum { kText, kCstring, kConst, kClassList, kCatList, kData };

constexpr uint64_t kSpin = 0x20, kMake = 0x40, kExtra = 0x60;  // from the text section

struct ObjCImage {
    MachOBuilder builder;
    MachOImage image;
    uint64_t text = 0;

    static MachOBuilder layout(const std::string& className) {
        MachOBuilder builder;
        std::string strings =
            className + '\0' + "spin" + '\0' + "make" + '\0' + "extra" + '\0' + "Hidden" + '\0';
        builder.sections = {{"__TEXT", "__text", std::vector<uint8_t>(256, 0x90)},
                            {"__TEXT", "__cstring", std::vector<uint8_t>(strings.begin(), strings.end())},
                            {"__DATA", "__objc_const", std::vector<uint8_t>(512, 0)},
                            {"__DATA", "__objc_classlist", std::vector<uint8_t>(16, 0)},
                            {"__DATA", "__objc_catlist", std::vector<uint8_t>(8, 0)},
                            {"__DATA", "__objc_data", std::vector<uint8_t>(256, 0)}};
        // Symbols are placed from the offsets known after a first layout.
        MachOBuilder probe = builder;
        probe.build();
        builder.symbols = {{"_text_start", probe.sectionOffsets[kText]},
                           {"_spin_symbol", probe.sectionOffsets[kText] + kSpin}};
        return builder;
    }

    explicit ObjCImage(const std::string& className = "Widget", bool realised = true)
        : builder(layout(className)), image(builder.build()) {
        text = address(kText, 0);

        const uint64_t name = address(kCstring, 0);
        const uint64_t spin = name + className.size() + 1, make = spin + 5, extra = make + 5,
                       hidden = extra + 6;
        // __objc_const: ro of the class (0), of its metaclass (72), of the
        // hidden class (144); method lists at 224, 256, 288; category at 320.
        const uint64_t ro = address(kConst, 0), metaRo = ro + 72, hiddenRo = ro + 144;
        const uint64_t methods = ro + 224, metaMethods = ro + 256, catMethods = ro + 288, category = ro + 320;
        for (auto [at, list] :
             {std::pair{ro, methods}, std::pair{metaRo, metaMethods}, std::pair{hiddenRo, 0ul}}) {
            put(at + 24, at == hiddenRo ? hidden : name);
            put(at + 32, list);
        }
        auto methodList = [&](uint64_t at, uint64_t selector, uint64_t imp) {
            put32(at, 24);
            put32(at + 4, 1);
            put(at + 8, selector);
            put(at + 24, text + imp);
        };
        methodList(methods, spin, kSpin);
        methodList(metaMethods, make, kMake);
        methodList(catMethods, extra, kExtra);
        // __objc_data: classes at 0 (Widget), 40 (its metaclass), 80 (hidden,
        // not realised); rw heads at 128, 144, 160.
        const uint64_t cls = address(kData, 0), meta = cls + 40, hiddenCls = cls + 80;
        const uint64_t rw = cls + 128;
        put(cls, meta);
        put(cls + 32, rw);
        put(meta + 32, rw + 16);
        put(hiddenCls, meta);
        put(hiddenCls + 32, rw + 32);
        for (auto [head, classRo, flags] :
             {std::tuple{rw, ro, realised ? 0x80000000u : 0u}, std::tuple{rw + 16, metaRo, 0x80000000u},
              std::tuple{rw + 32, hiddenRo, 0u}}) {
            put32(head, flags);
            put(head + 8, classRo);
        }
        put(address(kClassList, 0), hiddenCls);  // skipped: not realised
        put(address(kClassList, 8), cls);
        // The category adds -extra to Widget.
        put(category + 8, cls);
        put(category + 16, catMethods);
        put(address(kCatList, 0), category);
    }

    uint64_t address(int section, uint64_t offset) const {
        return image.address() + builder.sectionOffsets[section] + offset;
    }
    void put(uint64_t at, uint64_t value) { std::memcpy(reinterpret_cast<void*>(at), &value, 8); }
    void put32(uint64_t at, uint32_t value) { std::memcpy(reinterpret_cast<void*>(at), &value, 4); }
};

}  // namespace kcr::testing
