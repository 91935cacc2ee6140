// Objective-C method look-up and symbolication on 64-bit Mach-O images built
// in memory: the metadata is laid out in zero-filled sections and its
// pointers patched in once the image's address is known.
#include "crashcapture/KCRAsyncObjC.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRAsyncSymbol.h"
#include "crashcapture/MachOBuilder.h"
#include "crashcapture/MachOObjCImage.h"

using namespace kcr::async;
using namespace kcr::testing;

namespace {

struct Listed {
    std::vector<std::string> methods;
};

void list(bool is_class_method, async_macho_string* cls, async_macho_string* selector, uint64_t,
          void* context) {
    const char* c = nullptr;
    const char* s = nullptr;
    ASSERT_EQ(async_macho_string_get_pointer(cls, &c), KCR_ESUCCESS);
    ASSERT_EQ(async_macho_string_get_pointer(selector, &s), KCR_ESUCCESS);
    static_cast<Listed*>(context)->methods.push_back(std::string(is_class_method ? "+" : "-") + c + " " + s);
}

struct Found {
    kcr_error_t error = -1;
    uint64_t address = 0;
    std::string name;
};

void found(uint64_t address, const char* name, void* context) {
    auto* f = static_cast<Found*>(context);
    f->address = address;
    f->name = name;
}

// Lists the methods of the image at `address` into `listed`, through a fresh cache.
kcr_error_t parse(uint64_t address, Listed* listed, bool* objc2 = nullptr) {
    async_macho image;
    EXPECT_EQ(async_macho_init(&image, async_task_self(), "objc", address), KCR_ESUCCESS);
    async_objc_cache cache;
    EXPECT_EQ(async_objc_cache_init(&cache), KCR_ESUCCESS);
    const kcr_error_t error = async_objc_parse(&image, &cache, list, listed);
    if (objc2 != nullptr)
        *objc2 = cache.objc2;
    // Without a cache nothing is parsed.
    EXPECT_EQ(async_objc_parse(&image, nullptr, list, listed), KCR_EACCESS);
    async_objc_cache_free(&cache);
    async_macho_free(&image);
    return error;
}

Found lookup(const ObjCImage& built, uint32_t strategy, uint64_t address, async_objc_cache* cache = nullptr) {
    async_image image;
    EXPECT_EQ(async_image_init(&image, async_task_self(), "objc", built.image.address()), KCR_ESUCCESS);
    Found f;
    f.error = async_find_symbol(&image, strategy, cache, address, found, &f);
    async_image_free(&image);
    return f;
}

TEST(ObjCMethods, ClassesMetaclassesAndCategoriesAreListed) {
    ObjCImage built;
    Listed listed;
    bool objc2 = false;
    ASSERT_EQ(parse(built.image.address(), &listed, &objc2), KCR_ESUCCESS);
    EXPECT_EQ(listed.methods, (std::vector<std::string>{"-Widget spin", "+Widget make", "-Widget extra"}));
    EXPECT_TRUE(objc2);
}

TEST(ObjCMethods, SymbolicationPicksTheNearerAndPrefersTheMethod) {
    ObjCImage built;
    constexpr uint32_t kBoth = KCR_SYMBOL_STRATEGY_SYMBOL_TABLE | KCR_SYMBOL_STRATEGY_OBJC;
    struct Case {
        uint32_t strategy;
        uint64_t offset;
        kcr_error_t error;
        const char* name;
        uint64_t start;
    };
    const Case cases[] = {
        {kBoth, 0x10, KCR_ESUCCESS, "_text_start", 0},              // below every method
        {kBoth, kSpin, KCR_ESUCCESS, "-[Widget spin]", kSpin},      // same address: the method
        {kBoth, kMake + 8, KCR_ESUCCESS, "+[Widget make]", kMake},  //
        {KCR_SYMBOL_STRATEGY_OBJC, kExtra + 100, KCR_ESUCCESS, "-[Widget extra]", kExtra},
        {KCR_SYMBOL_STRATEGY_SYMBOL_TABLE, kMake, KCR_ESUCCESS, "_spin_symbol", kSpin},
        {KCR_SYMBOL_STRATEGY_OBJC, 0x10, KCR_ENOTFOUND, "", 0},
        {0, kSpin, KCR_ENOTFOUND, "", 0},
    };
    for (const Case& c : cases) {
        Found f = lookup(built, c.strategy, built.text + c.offset);
        EXPECT_EQ(f.error, c.error) << c.strategy << " @" << c.offset;
        if (c.error != KCR_ESUCCESS)
            continue;
        EXPECT_EQ(f.name, c.name) << c.strategy << " @" << c.offset;
        EXPECT_EQ(f.address, built.text + c.start) << c.name;
    }
}

TEST(ObjCMethods, LongNamesAreCutAndUnrealisedClassesSkipped) {
    ObjCImage longName(std::string(300, 'W'));
    Found f = lookup(longName, KCR_SYMBOL_STRATEGY_OBJC, longName.text + kSpin);
    ASSERT_EQ(f.error, KCR_ESUCCESS);
    EXPECT_EQ(f.name.size(), 255u);
    EXPECT_EQ(f.name.substr(0, 3), "-[W");

    // Widget itself not realised: its instance methods and its category
    // are skipped, its metaclass is not reached; nothing is found.
    ObjCImage unrealised("Widget", false);
    EXPECT_EQ(lookup(unrealised, KCR_SYMBOL_STRATEGY_OBJC, unrealised.text + kExtra).error, KCR_ENOTFOUND);
}

TEST(ObjCMethods, AReportCacheGivesTheSameAnswers) {
    ObjCImage a, b;
    async_objc_cache cache;
    ASSERT_EQ(async_objc_cache_init(&cache), KCR_ESUCCESS);
    for (int round = 0; round < 2; ++round) {
        for (ObjCImage* built : {&a, &b}) {
            for (uint64_t offset : {kSpin, kMake, kExtra + 4}) {
                Found cached = lookup(*built, KCR_SYMBOL_STRATEGY_OBJC, built->text + offset, &cache);
                Found fresh = lookup(*built, KCR_SYMBOL_STRATEGY_OBJC, built->text + offset);
                EXPECT_EQ(cached.error, KCR_ESUCCESS);
                EXPECT_EQ(cached.name, fresh.name);
                EXPECT_EQ(cached.address, fresh.address);
            }
        }
    }
    EXPECT_EQ(cache.class_capacity, 1024u);
    async_objc_cache_free(&cache);
}

TEST(ObjCMethods, MalformedMetadataGivesErrorCodes) {
    struct Damage {
        const char* what;
        int section;
        uint64_t offset;
        uint64_t value;
        kcr_error_t error;
    };
    const Damage damages[] = {
        {"class outside the class sections", kClassList, 8, 0x10, KCR_EINVALID_DATA},
        {"rw head unreadable", kData, 32, 0x10, KCR_EINVALID_DATA},
        {"method list outside __objc_const", kConst, 32, 0x10, KCR_EINVALID_DATA},
        {"method count past the section", kConst, 224 + 4, 0xFFFFFF00000018, KCR_EINVALID_DATA},
        {"category outside __objc_const", kCatList, 0, 0x10, KCR_EINVALID_DATA},
    };
    for (const Damage& d : damages) {
        ObjCImage built;
        built.put(built.address(d.section, d.offset), d.value);
        Listed listed;
        EXPECT_EQ(parse(built.image.address(), &listed), d.error) << d.what;
    }
    // An image without the metadata sections: the mapping's own code.
    MachOBuilder plain;
    plain.sections = {{"__TEXT", "__text", std::vector<uint8_t>(16, 0x90)}};
    MachOImage bare = plain.build();
    Listed listed;
    EXPECT_NE(parse(bare.address(), &listed), KCR_ESUCCESS);
}

}  // namespace
