#include "crashcapture/KCRAsyncMachO.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "crashcapture/MachOBuilder.h"

using namespace kcr::async;
using kcr::testing::MachOBuilder;
using kcr::testing::MachOImage;
using kcr::testing::MachOSymbol;

namespace {

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

MachOBuilder standardBuilder(bool is64, bool swapped) {
    MachOBuilder builder;
    builder.is64 = is64;
    builder.swapped = swapped;
    builder.cputype = is64 ? 0x0100000C : 12;
    builder.cpusubtype = is64 ? 0 : 9;
    builder.textVmaddr = is64 ? 0x100000000 : 0x1000;
    builder.uuid = std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    builder.sections = {{"__TEXT", "__text", std::vector<uint8_t>(64, 0x90)},
                        {"__TEXT", "__eh_frame", std::vector<uint8_t>(32, 0xEE)}};
    builder.symbols = {
        {"_main", 0x200}, {"_helper", 0x300}, {"_alias", 0x300}, {"_local", 0x280, 0x0E, 1, 0, true}};
    return builder;
}

struct Found {
    uint64_t address = 0;
    std::string name;
};

void record(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
}

}  // namespace

// Every combination of width and byte order reads the same facts.
class MachOLayouts : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(MachOLayouts, ReadsHeaderSegmentsSectionsSymbolsAndUUID) {
    auto [is64, swapped] = GetParam();
    MachOBuilder builder = standardBuilder(is64, swapped);
    MachOImage built = builder.build();
    async_macho image;
    ASSERT_EQ(async_macho_init(&image, async_task_self(), "/built/image", built.address()), KCR_ESUCCESS);
    EXPECT_STREQ(image.name, "/built/image");
    EXPECT_EQ(image.m64, is64);
    EXPECT_EQ(async_macho_byteorder(&image), swapped ? async_byteorder_swapped() : async_byteorder_direct());
    EXPECT_EQ(async_macho_header_size(&image), is64 ? 32u : 28u);
    EXPECT_EQ(async_macho_cpu_type(&image), builder.cputype);
    EXPECT_EQ(async_macho_cpu_subtype(&image), builder.cpusubtype);
    EXPECT_EQ(image.vmaddr_slide, static_cast<int64_t>(built.address() - builder.textVmaddr));
    EXPECT_TRUE(async_macho_contains_address(&image, built.address()));
    EXPECT_TRUE(async_macho_contains_address(&image, built.address() + image.text_size - 1));
    EXPECT_FALSE(async_macho_contains_address(&image, built.address() + image.text_size));
    EXPECT_FALSE(async_macho_contains_address(&image, built.address() - 1));

    const void* uuid = async_macho_find_command(&image, KCR_LC_UUID);
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(std::memcmp(static_cast<const uint8_t*>(uuid) + 8, builder.uuid->data(), 16), 0);

    kcr_async_mobject section;
    ASSERT_EQ(async_macho_map_section(&image, "__TEXT", "__eh_frame", &section), KCR_ESUCCESS);
    EXPECT_EQ(async_mobject_base_address(&section), built.address() + builder.sectionOffsets[1]);
    EXPECT_EQ(async_mobject_length(&section), 32u);
    uint8_t byte = 0;
    EXPECT_EQ(async_mobject_read_uint8(&section, built.address() + builder.sectionOffsets[1], 31, &byte),
              KCR_ESUCCESS);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(async_mobject_read_uint8(&section, built.address() + builder.sectionOffsets[1], 32, &byte),
              KCR_EINVAL);
    async_mobject_free(&section);
    EXPECT_EQ(async_macho_map_section(&image, "__TEXT", "__unwind_info", &section), KCR_ENOTFOUND);
    EXPECT_EQ(async_macho_map_section(&image, "__DATA", "__data", &section), KCR_ENOTFOUND);
    EXPECT_EQ(async_macho_map_section(&image, "__LINKEDIT", "__any", &section),
              KCR_ENOTFOUND);  // no sections

    async_macho_mapped_segment linkedit;
    ASSERT_EQ(async_macho_map_segment(&image, "__LINKEDIT", &linkedit), KCR_ESUCCESS);
    EXPECT_EQ(linkedit.fileoff, 0x4000u);
    async_macho_mapped_segment_free(&linkedit);
    EXPECT_EQ(async_macho_map_segment(&image, "__DATA", &linkedit), KCR_ENOTFOUND);

    // Globals are searched before locals, and the first of equal values wins.
    Found found;
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x310, record, &found), KCR_ESUCCESS);
    EXPECT_EQ(found.name, "_helper");
    EXPECT_EQ(found.address, built.address() + 0x300);
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x290, record, &found), KCR_ESUCCESS);
    EXPECT_EQ(found.name, "_local");
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x1FF, record, &found), KCR_ENOTFOUND);
    uint64_t address = 0;
    EXPECT_EQ(async_macho_find_symbol_by_name(&image, "_alias", &address), KCR_ESUCCESS);
    EXPECT_EQ(address, built.address() + 0x300);
    EXPECT_EQ(async_macho_find_symbol_by_name(&image, "_missing", &address), KCR_ENOTFOUND);
    async_macho_free(&image);
    EXPECT_EQ(image.name, nullptr);
}

INSTANTIATE_TEST_SUITE_P(WidthAndOrder, MachOLayouts,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(MachOReader, RejectsUnknownMagicAndImagesWithoutText) {
    MachOBuilder builder = standardBuilder(true, false);
    MachOImage built = builder.build();
    std::memcpy(built.bytes(), "\x01\x02\x03\x04", 4);
    async_macho image;
    EXPECT_EQ(async_macho_init(&image, async_task_self(), "x", built.address()), KCR_EINVAL);
    EXPECT_EQ(image.name, nullptr);
    EXPECT_EQ(image.load_cmds.vm_address, 0u);

    builder.withText = false;
    MachOImage noText = builder.build();
    EXPECT_EQ(async_macho_init(&image, async_task_self(), "x", noText.address()), KCR_EINVAL);
    EXPECT_EQ(image.name, nullptr);

    // A header on an unmapped page cannot be read.
    void* hole = mmap(nullptr, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(hole, kPage);
    EXPECT_EQ(async_macho_init(&image, async_task_self(), "x", reinterpret_cast<uint64_t>(hole)),
              KCR_EINTERNAL);
}

TEST(MachOReader, CommandWalkEndsAtBadSizesAndTheMappingEnd) {
    // A command with cmdsize 4, then one that would reach past the mapping.
    for (uint32_t badSize : {4u, 0x1000u}) {
        MachOBuilder builder = standardBuilder(true, false);
        std::vector<uint8_t> bad(8, 0);
        uint32_t fields[2] = {0x7777, badSize};
        std::memcpy(bad.data(), fields, 8);
        builder.extraCommands = {bad, std::vector<uint8_t>(8, 0)};
        MachOImage built = builder.build();
        async_macho image;
        ASSERT_EQ(async_macho_init(&image, async_task_self(), "x", built.address()), KCR_ESUCCESS);
        int count = 0;
        const void* last = nullptr;
        for (const void* cmd = async_macho_next_command(&image, nullptr); cmd != nullptr;
             cmd = async_macho_next_command(&image, cmd)) {
            ++count;
            last = cmd;
        }
        // TEXT, LINKEDIT, SYMTAB, DYSYMTAB, UUID and the bad command itself (it
        // lies inside the mapping); nothing after it.
        EXPECT_EQ(count, badSize == 4 ? 6 : 5) << badSize;
        EXPECT_NE(last, nullptr);
        async_macho_free(&image);
    }
}

TEST(MachOReader, SymbolTablesWithoutDysymtabAreSearchedWholeAndHostileOnesFail) {
    MachOBuilder builder = standardBuilder(true, false);
    builder.withDysymtab = false;
    builder.symbols = {
        {"_b", 0x300}, {"_a", 0x200}, {"_thumb", 0x400, 0x0F, 1, 0x0008}, {"_debug", 0x500, 0x24}};
    MachOImage built = builder.build();
    async_macho image;
    ASSERT_EQ(async_macho_init(&image, async_task_self(), "x", built.address()), KCR_ESUCCESS);
    Found found;
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x2FF, record, &found), KCR_ESUCCESS);
    EXPECT_EQ(found.name, "_a");
    // The Thumb bit is set in the reported address; debugging entries never qualify.
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x600, record, &found), KCR_ESUCCESS);
    EXPECT_EQ(found.name, "_thumb");
    EXPECT_EQ(found.address, built.address() + 0x401);

    // A name index past the string table is unreadable.
    async_macho_symtab_reader reader;
    ASSERT_EQ(async_macho_symtab_reader_init(&reader, &image), KCR_ESUCCESS);
    EXPECT_EQ(async_macho_symtab_reader_symbol_name(&reader, static_cast<uint32_t>(reader.string_table_size)),
              nullptr);
    async_macho_symtab_reader_free(&reader);
    // Point entry 1 ("_a") of the image's own table past the strings.
    uint8_t* symbolsInImage = built.bytes() + image.text_size;
    uint32_t hugeIndex = 0x7FFFFFFF;
    std::memcpy(symbolsInImage + 16, &hugeIndex, 4);  // entry 1 is "_a"
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, built.address() + 0x2FF, record, &found), KCR_EINVAL);
    async_macho_free(&image);

    // A __LINKEDIT file offset that no table offset can be measured from.
    MachOBuilder far = standardBuilder(true, false);
    MachOImage farBuilt = far.build();
    ASSERT_EQ(async_macho_init(&image, async_task_self(), "x", farBuilt.address()), KCR_ESUCCESS);
    auto* linkedit =
        static_cast<uint8_t*>(const_cast<void*>(async_macho_find_segment_cmd(&image, "__LINKEDIT")));
    ASSERT_NE(linkedit, nullptr);
    const uint64_t farOffset = 0x8000000000004000ull;
    std::memcpy(linkedit + 40, &farOffset, 8);
    EXPECT_EQ(async_macho_find_symbol_by_pc(&image, farBuilt.address() + 0x300, record, &found),
              KCR_EINTERNAL);
    async_macho_free(&image);

    // LC_DYSYMTAB ranges beyond the table are refused.
    MachOBuilder bad = standardBuilder(false, true);
    MachOImage badBuilt = bad.build();
    ASSERT_EQ(async_macho_init(&image, async_task_self(), "x", badBuilt.address()), KCR_ESUCCESS);
    auto* dysymtab =
        static_cast<uint8_t*>(const_cast<void*>(async_macho_find_command(&image, KCR_LC_DYSYMTAB)));
    ASSERT_NE(dysymtab, nullptr);
    // The command lives in the image's copy of the load commands; change the copy.
    uint32_t tooMany = __builtin_bswap32(1000);
    std::memcpy(dysymtab + 20, &tooMany, 4);
    EXPECT_EQ(async_macho_symtab_reader_init(&reader, &image), KCR_EINVAL);
    async_macho_free(&image);
}

TEST(MemoryObjects, PartialMappingsStopAtTheFirstUnreadablePage) {
    auto* pages = static_cast<uint8_t*>(
        mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    pages[kPage - 1] = 0x5A;
    ASSERT_EQ(mprotect(pages + kPage, kPage, PROT_NONE), 0);
    const uint64_t start = reinterpret_cast<uint64_t>(pages) + 16;

    kcr_async_mobject mobj;
    ASSERT_EQ(async_mobject_init(&mobj, async_task_self(), start, 2 * kPage - 32, false), KCR_ESUCCESS);
    EXPECT_EQ(async_mobject_length(&mobj), kPage - 16);
    EXPECT_EQ(async_mobject_base_address(&mobj), start);
    uint8_t value = 0;
    EXPECT_EQ(async_mobject_read_uint8(&mobj, start, static_cast<int64_t>(kPage) - 17, &value), KCR_ESUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(async_mobject_read_uint8(&mobj, start, static_cast<int64_t>(kPage) - 16, &value), KCR_EINVAL);
    // Pointer checks refuse wrap-around in both directions.
    EXPECT_FALSE(async_mobject_verify_local_pointer(&mobj, mobj.address, INT64_MIN, 1));
    EXPECT_FALSE(async_mobject_verify_local_pointer(&mobj, UINTPTR_MAX - 2, 0, 8));
    EXPECT_FALSE(async_mobject_verify_local_pointer(&mobj, mobj.address, 0, UINT64_MAX));
    EXPECT_TRUE(async_mobject_verify_local_pointer(&mobj, mobj.address, 0, mobj.length));
    EXPECT_EQ(async_mobject_remap_address(&mobj, start, -1, 1), nullptr);
    EXPECT_EQ(async_mobject_remap_address(&mobj, 0, 0, 1), nullptr);
    async_mobject_free(&mobj);

    EXPECT_EQ(async_mobject_init(&mobj, async_task_self(), start, 2 * kPage - 32, true), KCR_ENOMEM);
    EXPECT_EQ(
        async_mobject_init(&mobj, async_task_self(), reinterpret_cast<uint64_t>(pages + kPage), 8, false),
        KCR_ENOMEM);
    munmap(pages, 2 * kPage);
}

TEST(MachOStrings, GrowPageByPageAndFailAtUnreadableMemory) {
    MachOBuilder builder = standardBuilder(true, false);
    MachOImage built = builder.build();
    async_macho image;
    ASSERT_EQ(async_macho_init(&image, async_task_self(), "x", built.address()), KCR_ESUCCESS);

    auto* pages = static_cast<char*>(
        mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    // A string of 100 bytes that starts 50 bytes before a page boundary.
    char* text = pages + kPage - 50;
    std::memset(text, 'a', 100);
    text[100] = '\0';
    async_macho_string string;
    ASSERT_EQ(async_macho_string_init(&string, &image, reinterpret_cast<uint64_t>(text)), KCR_ESUCCESS);
    uint64_t length = 0;
    ASSERT_EQ(async_macho_string_get_length(&string, &length), KCR_ESUCCESS);
    EXPECT_EQ(length, 100u);
    const char* pointer = nullptr;
    ASSERT_EQ(async_macho_string_get_pointer(&string, &pointer), KCR_ESUCCESS);
    EXPECT_EQ(std::string(pointer), std::string(100, 'a'));
    async_macho_string_free(&string);

    // One that runs into a protected page fails.
    std::memset(pages + kPage, 'b', kPage);
    ASSERT_EQ(mprotect(pages + 2 * kPage, kPage, PROT_NONE), 0);
    ASSERT_EQ(async_macho_string_init(&string, &image, reinterpret_cast<uint64_t>(pages + kPage + 10)),
              KCR_ESUCCESS);
    EXPECT_EQ(async_macho_string_get_length(&string, &length), KCR_EINVAL);
    async_macho_string_free(&string);
    munmap(pages, 3 * kPage);
    async_macho_free(&image);
}
