#include "crashcapture/KCRAsyncImage.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crashcapture/KCRAsyncSymbol.h"
#include "crashcapture/MachOBuilder.h"
#include "platform/machine/Loader.h"

using namespace kcr::async;
using kcr::testing::MachOBuilder;
using kcr::testing::MachOImage;

namespace {

struct Found {
    uint64_t address = 0;
    std::string name;
    int calls = 0;
};

void record(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
    found->calls++;
}

MachOImage buildImage(uint8_t uuidByte) {
    MachOBuilder builder;
    builder.uuid = std::array<uint8_t, 16>{};
    builder.uuid->fill(uuidByte);
    builder.sections = {{"__TEXT", "__text", std::vector<uint8_t>(32, 0x90)},
                        {"__TEXT", "__eh_frame", std::vector<uint8_t>(24, 0x11)}};
    builder.symbols = {{"_start_here", 0x100}};
    return builder.build();
}

std::vector<uint64_t> headers(async_image_list_t* list) {
    std::vector<uint64_t> result;
    async_image_list_set_reading(list, true);
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        result.push_back(async_image_header_address(image));
    }
    async_image_list_set_reading(list, false);
    return result;
}

}  // namespace

TEST(AsyncImages, MachOImagesAnswerThroughTheCommonInterface) {
    MachOImage built = buildImage(0x42);
    async_image image;
    ASSERT_EQ(async_image_init(&image, async_task_self(), "/built/one", built.address()), KCR_ESUCCESS);
    EXPECT_EQ(image.kind, async_image_kind::macho);
    EXPECT_STREQ(async_image_name(&image), "/built/one");
    EXPECT_EQ(async_image_cpu_type(&image), 0x0100000Cu);
    EXPECT_TRUE(async_image_is_64(&image));
    EXPECT_TRUE(async_image_contains_address(&image, built.address() + 0x100));
    uint8_t uuid[16];
    ASSERT_TRUE(async_image_uuid(&image, uuid));
    EXPECT_EQ(uuid[0], 0x42);
    EXPECT_EQ(uuid[15], 0x42);
    kcr_async_mobject frames;
    ASSERT_EQ(async_image_map_eh_frame(&image, &frames), KCR_ESUCCESS);
    EXPECT_EQ(async_mobject_length(&frames), 24u);
    async_mobject_free(&frames);
    EXPECT_EQ(async_image_map_unwind_info(&image, &frames), KCR_ENOTFOUND);
    EXPECT_EQ(async_image_map_debug_frame(&image, &frames), KCR_ENOTFOUND);
    Found found;
    EXPECT_EQ(async_find_symbol(&image, KCR_SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, built.address() + 0x180,
                                record, &found),
              KCR_ESUCCESS);
    EXPECT_EQ(found.name, "_start_here");
    EXPECT_EQ(found.address, built.address() + 0x100);
    EXPECT_EQ(async_find_symbol(&image, 0, nullptr, built.address() + 0x180, record, &found), KCR_ENOTFOUND);
    EXPECT_EQ(
        async_find_symbol(&image, KCR_SYMBOL_STRATEGY_OBJC, nullptr, built.address() + 0x180, record, &found),
        KCR_ENOTFOUND);
    async_image_free(&image);

    // Neither ELF nor Mach-O.
    std::memcpy(built.bytes(),
                "\x7f"
                "ELX",
                4);
    EXPECT_EQ(async_image_init(&image, async_task_self(), "x", built.address()), KCR_EINVAL);
}

TEST(AsyncImages, ListWalksSurviveRemovalAndFreeRemovedImages) {
    MachOImage a = buildImage(1), b = buildImage(2), c = buildImage(3);
    async_image_list_t list;
    locked_image_list_init(&list, async_task_self());
    ASSERT_EQ(locked_image_list_append(&list, a.address(), "a"), KCR_ESUCCESS);
    ASSERT_EQ(locked_image_list_append(&list, b.address(), "b"), KCR_ESUCCESS);
    EXPECT_NE(locked_image_list_append(&list, a.address() + 8, "not an image"), KCR_ESUCCESS);
    EXPECT_EQ(headers(&list), (std::vector<uint64_t>{a.address(), b.address()}));

    async_image_list_set_reading(&list, true);
    async_image* first = async_image_list_next(&list, nullptr);
    EXPECT_EQ(async_image_containing_address(&list, b.address() + 0x10), async_image_list_next(&list, first));
    EXPECT_EQ(async_image_containing_address(&list, 0x10), nullptr);
    locked_image_list_remove(&list, a.address());
    // The walk goes on from the removed image, which stays readable.
    EXPECT_STREQ(async_image_name(first), "a");
    ASSERT_NE(async_image_list_next(&list, first), nullptr);
    EXPECT_EQ(async_image_header_address(async_image_list_next(&list, first)), b.address());
    async_image_list_set_reading(&list, false);

    ASSERT_EQ(locked_image_list_append(&list, c.address(), "c"), KCR_ESUCCESS);  // reuses the parked node
    EXPECT_EQ(headers(&list), (std::vector<uint64_t>{b.address(), c.address()}));
    locked_image_list_remove(&list, b.address());
    locked_image_list_remove(&list, 0x1234);  // not listed: nothing happens
    EXPECT_EQ(headers(&list), (std::vector<uint64_t>{c.address()}));
    locked_image_list_free(&list);  // LeakSanitizer checks that every record was released
}

namespace {

int images_named(async_image_list_t* list, const char* fragment) {
    int count = 0;
    async_image_list_set_reading(list, true);
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        if (std::string(async_image_name(image)).find(fragment) != std::string::npos)
            ++count;
    }
    async_image_list_set_reading(list, false);
    return count;
}

}  // namespace

// A library opened after the list's last update is found in the loader's
// chain; once the list learns of it (or it is closed) the late record gives
// way, so that no image is listed twice; another walk adds nothing new.
TEST(AsyncImages, LoaderChainAddsLibrariesOpenedSinceTheLastUpdate) {
    async_image_list_poll_loader();
    async_image_list_t* list = async_shared_image_list();
    const int before = images_named(list, "machine_test_library");
    ASSERT_EQ(before, 0);
    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    const uint64_t function = reinterpret_cast<uint64_t>(dlsym(library, "kcr_machine_test_second"));
    EXPECT_EQ(images_named(list, "machine_test_library"), 0);

    async_image_list_add_loader_images(list);
    EXPECT_EQ(images_named(list, "machine_test_library"), 1);
    async_image_list_add_loader_images(list);
    EXPECT_EQ(images_named(list, "machine_test_library"), 1);
    async_image_list_set_reading(list, true);
    async_image* late = async_image_containing_address(list, function);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->node, nullptr);  // not one of the list's own records
    const uint8_t* id = nullptr;
    uint32_t length = 0;
    EXPECT_TRUE(async_image_build_id(late, &id, &length));
    kcr_async_mobject frames;
    EXPECT_EQ(async_image_map_eh_frame(late, &frames), KCR_ESUCCESS);
    async_mobject_free(&frames);
    async_image_list_set_reading(list, false);

    async_image_list_poll_loader();
    EXPECT_EQ(images_named(list, "machine_test_library"), 1);
    async_image_list_set_reading(list, true);
    async_image* own = async_image_containing_address(list, function);
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own->node, nullptr);
    async_image_list_set_reading(list, false);

    dlclose(library);
    async_image_list_poll_loader();
    EXPECT_EQ(images_named(list, "machine_test_library"), 0);
}

// With file symbol tables on, an image added to a list names functions only
// its file's full table knows; the table goes with the image (LeakSanitizer
// checks the release).
TEST(AsyncImages, FileSymbolTablesNameHiddenFunctionsAndGoWithTheImage) {
    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto hidden_address = reinterpret_cast<void* (*)()>(dlsym(library, "kcr_machine_test_hidden_address"));
    ASSERT_NE(hidden_address, nullptr);
    const uint64_t hidden = reinterpret_cast<uint64_t>(hidden_address());
    plat::machine::LoadedImage found_image;
    for (const auto& loaded : plat::machine::loadedImages()) {
        if (loaded.path.find("machine_test_library") != std::string::npos)
            found_image = loaded;
    }
    ASSERT_NE(found_image.headerAddress, 0u);

    async_image_list_t list;
    locked_image_list_init(&list, async_task_self());
    async_image_list_load_file_symbols(&list);
    ASSERT_EQ(locked_image_list_append(&list, found_image.headerAddress, found_image.path.c_str()),
              KCR_ESUCCESS);
    async_image_list_set_reading(&list, true);
    async_image* image = async_image_list_next(&list, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(image->file_symbols.load(), nullptr);
    Found found;
    EXPECT_EQ(async_image_find_symbol_by_pc(image, hidden + 2, record, &found), KCR_ESUCCESS);
    EXPECT_EQ(found.name, "kcr_machine_test_hidden");
    EXPECT_EQ(found.address, hidden);
    async_image_list_set_reading(&list, false);
    locked_image_list_free(&list);
    dlclose(library);
}

TEST(AsyncImages, SharedListFollowsTheLoaderAndSymbolicatesELF) {
    async_image_list_poll_loader();
    async_image_list_t* list = async_shared_image_list();
    std::vector<plat::machine::LoadedImage> loaded = plat::machine::loadedImages();
    async_image_list_set_reading(list, true);
    for (const auto& expected : loaded) {
        async_image* image = async_image_containing_address(list, expected.headerAddress);
        ASSERT_NE(image, nullptr) << expected.path;
        EXPECT_EQ(async_image_header_address(image), expected.headerAddress);
        EXPECT_EQ(image->kind, async_image_kind::elf);
        EXPECT_EQ(async_image_cpu_type(image), 0x01000007u);
        EXPECT_EQ(async_image_cpu_subtype(image), 3u);
        const uint8_t* id = nullptr;
        uint32_t length = 0;
        uint8_t uuid[16];
        if (async_image_build_id(image, &id, &length)) {
            ASSERT_TRUE(async_image_uuid(image, uuid));
            EXPECT_EQ(std::memcmp(uuid, id, length < 16 ? length : 16), 0);
        }
    }
    async_image_list_set_reading(list, false);

    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    const uint64_t function = reinterpret_cast<uint64_t>(dlsym(library, "kcr_machine_test_second"));
    async_image_list_poll_loader();
    async_image_list_set_reading(list, true);
    async_image* image = async_image_containing_address(list, function + 4);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(std::string(async_image_name(image)).find("machine_test_library"), std::string::npos);
    Found found;
    EXPECT_EQ(async_find_symbol(image, KCR_SYMBOL_STRATEGY_SYMBOL_TABLE | KCR_SYMBOL_STRATEGY_OBJC, nullptr,
                                function + 4, record, &found),
              KCR_ESUCCESS);
    EXPECT_EQ(found.name, "kcr_machine_test_second");
    EXPECT_EQ(found.address, function);
    kcr_async_mobject frames;
    ASSERT_EQ(async_image_map_eh_frame(image, &frames), KCR_ESUCCESS);
    async_mobject_free(&frames);
    EXPECT_EQ(async_image_map_unwind_info(image, &frames), KCR_ENOTFOUND);
    async_image_list_set_reading(list, false);

    dlclose(library);
    async_image_list_poll_loader();
    async_image_list_set_reading(list, true);
    EXPECT_EQ(async_image_containing_address(list, function + 4), nullptr);
    async_image_list_set_reading(list, false);
}
