// The compact unwind reader on "__unwind_info" sections built here and
// placed in Mach-O images built in memory: look-up on regular and compressed
// pages, decoding for each CPU and mode, the register permutation, and
// frames unwound through the cursor.
#include "crashcapture/KCRAsyncCompactUnwind.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/MachOBuilder.h"

using namespace kcr::async;
using kcr::testing::MachOBuilder;
using kcr::testing::MachOImage;

namespace {

struct Page {
    bool compressed = false;
    uint32_t firstFunction = 0;
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // (function offset, encoding or index)
    std::vector<uint32_t> localEncodings;                // compressed pages
};

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// Header, common encodings, the first-level index (with its sentinel at
// `end`), then the pages.
std::vector<uint8_t> unwindInfo(const std::vector<uint32_t>& common, const std::vector<Page>& pages,
                                uint32_t end) {
    std::vector<uint8_t> out;
    const uint32_t commonOffset = 28;
    const uint32_t indexOffset = commonOffset + 4 * static_cast<uint32_t>(common.size());
    const uint32_t indexCount = static_cast<uint32_t>(pages.size()) + 1;
    uint32_t pageOffset = indexOffset + 12 * indexCount;
    for (uint32_t word :
         {1u, commonOffset, static_cast<uint32_t>(common.size()), 0u, 0u, indexOffset, indexCount})
        put32(out, word);
    for (uint32_t encoding : common)
        put32(out, encoding);
    std::vector<uint32_t> offsets;
    for (const Page& page : pages) {
        offsets.push_back(pageOffset);
        pageOffset += page.compressed ? 12 + 4 * (page.entries.size() + page.localEncodings.size())
                                      : 8 + 8 * page.entries.size();
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        put32(out, pages[i].firstFunction);
        put32(out, offsets[i]);
        put32(out, 0);
    }
    put32(out, end);
    put32(out, 0);
    put32(out, 0);
    for (const Page& page : pages) {
        const auto count = static_cast<uint16_t>(page.entries.size());
        if (page.compressed) {
            put32(out, 3);
            put16(out, 12);
            put16(out, count);
            put16(out, static_cast<uint16_t>(12 + 4 * count));
            put16(out, static_cast<uint16_t>(page.localEncodings.size()));
            for (auto [offset, index] : page.entries)
                put32(out, ((offset - page.firstFunction) & 0xFFFFFF) | (index << 24));
            for (uint32_t encoding : page.localEncodings)
                put32(out, encoding);
        } else {
            put32(out, 2);
            put16(out, 8);
            put16(out, count);
            for (auto [offset, encoding] : page.entries) {
                put32(out, offset);
                put32(out, encoding);
            }
        }
    }
    return out;
}

// A section mapped as the reader sees it (from a plain buffer).
struct Mapped {
    std::vector<uint8_t> bytes;
    kcr_async_mobject mobj;
    explicit Mapped(std::vector<uint8_t> b) : bytes(std::move(b)) {
        EXPECT_EQ(async_mobject_init(&mobj, async_task_self(), reinterpret_cast<uint64_t>(bytes.data()),
                                     bytes.size(), true),
                  KCR_ESUCCESS);
    }
    ~Mapped() { async_mobject_free(&mobj); }
};

constexpr uint32_t kArm64Frameless48 = 0x02000000 | (3u << 12) | 0x01;  // + x19/x20
constexpr uint32_t kArm64Frame = 0x04000000 | 0x01;

TEST(CompactUnwindLookup, RegularAndCompressedPages) {
    const std::vector<uint32_t> common = {0x11, 0x22};
    Page regular{false, 0x100, {{0x100, 0xA1}, {0x180, 0xA2}}, {}};
    Page compressed{true, 0x400, {{0x400, 1}, {0x440, 2}, {0x480, 3}}, {0xB1, 0xB2}};
    Mapped section(unwindInfo(common, {regular, compressed}, 0x800));
    async_compact_unwind_reader reader;
    ASSERT_EQ(async_compact_unwind_reader_init(&reader, &section.mobj, KCR_CPU_TYPE_ARM64), KCR_ESUCCESS);
    struct Case {
        uint64_t address;
        kcr_error_t error;
        uint32_t function;
        uint32_t encoding;
    };
    const Case cases[] = {
        {0xFF, KCR_ENOTFOUND, 0, 0},         // below the first index entry
        {0x100, KCR_ESUCCESS, 0x100, 0xA1},  // exactly a function's start
        {0x17F, KCR_ESUCCESS, 0x100, 0xA1}, {0x180, KCR_ESUCCESS, 0x180, 0xA2},
        {0x3FF, KCR_ESUCCESS, 0x180, 0xA2}, {0x400, KCR_ESUCCESS, 0x400, 0x22},  // common index 1
        {0x450, KCR_ESUCCESS, 0x440, 0xB1},  // index == common count: the page's first
        {0x7FF, KCR_ESUCCESS, 0x480, 0xB2}, {uint64_t{1} << 40, KCR_ENOTFOUND, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t function = 0, encoding = 0;
        EXPECT_EQ(async_compact_unwind_reader_find_pc(&reader, c.address, &function, &encoding), c.error)
            << std::hex << c.address;
        if (c.error == KCR_ESUCCESS) {
            EXPECT_EQ(function, c.function) << std::hex << c.address;
            EXPECT_EQ(encoding, c.encoding) << std::hex << c.address;
        }
    }
}

TEST(CompactUnwindLookup, MalformedSectionsGiveErrorsNeverReadsOutside) {
    async_compact_unwind_reader reader;
    {
        Mapped tiny(std::vector<uint8_t>(20, 0));
        EXPECT_EQ(async_compact_unwind_reader_init(&reader, &tiny.mobj, KCR_CPU_TYPE_ARM64), KCR_EINVAL);
        EXPECT_EQ(async_compact_unwind_reader_init(&reader, &tiny.mobj, 12), KCR_ENOTSUP);
    }
    auto base = unwindInfo({0x11}, {Page{false, 0x100, {{0x100, 1}}, {}}}, 0x200);
    struct Mutation {
        const char* what;
        size_t offset;
        uint32_t value;
        kcr_error_t init;
        kcr_error_t find;
    };
    const Mutation mutations[] = {
        {"version 2", 0, 2, KCR_ENOTSUP, 0},
        {"common array outside", 8, 0x10000, KCR_ESUCCESS, KCR_EINVAL},
        {"index outside", 20, 0x7FFFFFF0, KCR_ESUCCESS, KCR_EINVAL},
        {"one index entry", 24, 1, KCR_ESUCCESS, KCR_ENOTFOUND},
        {"page outside", 32 + 4, 0x10000, KCR_ESUCCESS, KCR_EINVAL},
        {"unknown page kind", base.size() - 16, 7, KCR_ESUCCESS, KCR_EINVAL},
        {"entries outside", base.size() - 12, 0xFFFF0008, KCR_ESUCCESS, KCR_EINVAL},
    };
    for (const Mutation& m : mutations) {
        auto bytes = base;
        std::memcpy(bytes.data() + m.offset, &m.value, 4);
        Mapped section(bytes);
        ASSERT_EQ(async_compact_unwind_reader_init(&reader, &section.mobj, KCR_CPU_TYPE_X86_64), m.init)
            << m.what;
        if (m.init != KCR_ESUCCESS)
            continue;
        uint32_t function, encoding;
        EXPECT_EQ(async_compact_unwind_reader_find_pc(&reader, 0x150, &function, &encoding), m.find)
            << m.what;
    }
}

TEST(CompactUnwindPermutation, EveryPermutationRoundTrips) {
    for (uint32_t n = 1; n <= 6; ++n) {
        std::vector<uint32_t> pool = {1, 2, 3, 4, 5, 6};
        // Every ordered choice of n numbers: permutations of the pool, cut.
        std::vector<std::vector<uint32_t>> seen;
        do {
            std::vector<uint32_t> pick(pool.begin(), pool.begin() + n);
            if (std::find(seen.begin(), seen.end(), pick) != seen.end())
                continue;
            seen.push_back(pick);
            const uint32_t code = async_compact_unwind_permutation_encode(pick.data(), n);
            uint32_t decoded[6];
            ASSERT_EQ(async_compact_unwind_permutation_decode(code, n, decoded), KCR_ESUCCESS);
            EXPECT_TRUE(std::equal(pick.begin(), pick.end(), decoded)) << "n=" << n << " code=" << code;
        } while (std::next_permutation(pool.begin(), pool.end()));
    }
    uint32_t numbers[7];
    EXPECT_EQ(async_compact_unwind_permutation_decode(0, 7, numbers), KCR_EINVAL);
    EXPECT_EQ(async_compact_unwind_permutation_decode(0, 0, numbers), KCR_ESUCCESS);
    EXPECT_EQ(async_compact_unwind_permutation_encode(numbers, 0), 0u);
    EXPECT_EQ(async_compact_unwind_permutation_decode(1023, 1, numbers), KCR_EINVAL);  // digit past the six
}

TEST(CompactUnwindDecode, EachCpuAndMode) {
    constexpr uint32_t N = compact_unwind_no_register;
    constexpr uint32_t X64 = KCR_CPU_TYPE_X86_64, X86 = KCR_CPU_TYPE_X86, A64 = KCR_CPU_TYPE_ARM64;
    constexpr kcr_error_t OK = KCR_ESUCCESS;
    constexpr uint32_t kNone = KCR_COMPACT_UNWIND_NONE, kFrame = KCR_COMPACT_UNWIND_FRAME,
                       kImmd = KCR_COMPACT_UNWIND_FRAMELESS_IMMD, kDwarf = KCR_COMPACT_UNWIND_DWARF,
                       kIndirect = KCR_COMPACT_UNWIND_FRAMELESS_INDIRECT;
    const uint64_t minus4 = static_cast<uint64_t>(-4), minus16 = static_cast<uint64_t>(-16),
                   minus32 = static_cast<uint64_t>(-32);
    struct Case {
        uint32_t cpu;
        uint32_t encoding;
        kcr_error_t error;
        uint32_t type;
        uint64_t offset;
        uint32_t adjust;
        uint32_t ra;
        std::vector<uint32_t> registers;
    };
    const Case cases[] = {
        {X64, 0, OK, kNone, 0, 0, N, {}},
        // Frame, registers 0b011_000: the first slot empty, R13 in the second.
        {X64, 0x01000000 | (2u << 16) | 0x18, OK, kFrame, minus16, 0, N, {N, 14}},
        // Frameless immediate: 3 registers, permutation of (1,2,6) = RBX, R12, RBP.
        {X64, 0x02000000 | (4u << 16) | (3u << 10) | 3, OK, kImmd, 32, 0, N, {4, 13, 1}},
        {X64, 0x03000000 | (0x21u << 16) | (2u << 13) | (1u << 10), OK, kIndirect, 0x21, 16, N, {4}},
        {X64, 0x04000000 | 0x1234, OK, kDwarf, 0x1234, 0, N, {}},
        {X64, 0x05000000, KCR_ENOTSUP, 0, 0, 0, N, {}},
        {X64, 0x01000000 | 7, KCR_EINVAL, 0, 0, 0, N, {}},
        // x86: scale 4, its own register numbers (1 EBX 6, 5 ESI 7).
        {X86, 0x01000000 | (1u << 16) | (5u << 3) | 1, OK, kFrame, minus4, 0, N, {6, 7}},
        {X86, 0x02000000 | (3u << 16), OK, kImmd, 12, 0, N, {}},
        {A64, kArm64Frameless48, OK, kImmd, 48, 0, 32, {23, 22}},
        {A64, 0x04000000 | 0x11, OK, kFrame, minus32, 0, N, {31, 30, 23, 22}},
        {A64, 0x03000000 | 0x40, OK, kDwarf, 0x40, 0, N, {}},
        {A64, 0, OK, kNone, 0, 0, N, {}},
        {A64, 0x01000000, KCR_ENOTSUP, 0, 0, 0, N, {}},
        {KCR_CPU_TYPE_ARM, 0x01000000, KCR_ENOTSUP, 0, 0, 0, N, {}}};
    for (const Case& c : cases) {
        async_compact_unwind_entry entry;
        ASSERT_EQ(async_compact_unwind_entry_init(&entry, c.cpu, c.encoding), c.error)
            << std::hex << c.encoding;
        if (c.error != KCR_ESUCCESS)
            continue;
        EXPECT_EQ(async_compact_unwind_entry_get_type(&entry), c.type) << std::hex << c.encoding;
        EXPECT_EQ(async_compact_unwind_entry_get_stack_offset(&entry), c.offset) << std::hex << c.encoding;
        EXPECT_EQ(async_compact_unwind_entry_get_stack_adjust(&entry), c.adjust) << std::hex << c.encoding;
        EXPECT_EQ(async_compact_unwind_entry_get_return_address_register(&entry), c.ra);
        ASSERT_EQ(async_compact_unwind_entry_get_register_count(&entry), c.registers.size())
            << std::hex << c.encoding;
        uint32_t registers[kCompactUnwindMaxRegisters];
        async_compact_unwind_entry_copy_registers(&entry, registers);
        for (size_t i = 0; i < c.registers.size(); ++i)
            EXPECT_EQ(registers[i], c.registers[i]) << std::hex << c.encoding << " slot " << i;
    }
}

// An image with "__unwind_info" and a "__text" whose bytes hold a stack-size
// immediate; the list holds it alone.
MachOImage buildWith(uint32_t cpu, const std::vector<uint8_t>& unwind, uint64_t* textOffset) {
    MachOBuilder builder;
    builder.cputype = cpu;
    std::vector<uint8_t> text(256, 0x90);
    const uint32_t immediate = 0x40;
    std::memcpy(text.data() + 0x11, &immediate, 4);
    builder.sections = {{"__TEXT", "__text", text}, {"__TEXT", "__unwind_info", unwind}};
    MachOImage image = builder.build();
    *textOffset = builder.sectionOffsets[0];
    return image;
}

struct BuiltImage {
    uint64_t textOffset = 0;
    MachOImage image;
    async_image_list_t list;
    BuiltImage(uint32_t cpu, const std::vector<uint8_t>& unwind)
        : image(buildWith(cpu, unwind, &textOffset)) {
        locked_image_list_init(&list, async_task_self());
        EXPECT_EQ(locked_image_list_append(&list, image.address(), "built"), KCR_ESUCCESS);
    }
    ~BuiltImage() { locked_image_list_free(&list); }
};

// ARM64 states keep 36-bit addresses, so the stack the entries read lies in
// a page mapped low; the entries are applied directly.
TEST(CompactUnwindFrames, Arm64FramelessAndFrameEntriesUnwind) {
    void* low = mmap(reinterpret_cast<void*>(0x40000000), 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (low == MAP_FAILED)
        GTEST_SKIP() << "no low page for a 36-bit stack";
    auto* stack = static_cast<uint64_t*>(low);
    for (int i = 0; i < 16; ++i)
        stack[i] = 0x5000 + i;
    const uint64_t sp = reinterpret_cast<uint64_t>(stack);
    kcr_async_thread_state state;
    ASSERT_EQ(async_thread_state_init(&state, KCR_CPU_TYPE_ARM64), KCR_ESUCCESS);
    async_thread_state_set_reg(&state, 0, 0x1000);
    async_thread_state_set_reg(&state, 2, sp);
    async_thread_state_set_reg(&state, 32, 0xABCDE0);
    // Frameless: sp moves by 48, pc comes from lr, x19/x20 from the top 16 bytes.
    async_compact_unwind_entry entry;
    ASSERT_EQ(async_compact_unwind_entry_init(&entry, KCR_CPU_TYPE_ARM64, kArm64Frameless48), KCR_ESUCCESS);
    kcr_async_thread_state next;
    ASSERT_EQ(async_compact_unwind_entry_apply(async_task_self(), 0x1000, &state, &entry, &next),
              KCR_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, 2), sp + 48);
    EXPECT_EQ(async_thread_state_get_reg(&next, 0), 0xABCDE0u);
    EXPECT_EQ(async_thread_state_get_reg(&next, 23), stack[4]);  // x20 at new sp - 16
    EXPECT_EQ(async_thread_state_get_reg(&next, 22), stack[5]);
    EXPECT_FALSE(async_thread_state_has_reg(&next, 3));  // x0 is volatile

    // Frame: [fp] is the caller's fp, [fp+8] the return address, x19/x20 below fp.
    ASSERT_EQ(async_compact_unwind_entry_init(&entry, KCR_CPU_TYPE_ARM64, kArm64Frame), KCR_ESUCCESS);
    async_thread_state_set_reg(&state, 1, sp + 32);
    ASSERT_EQ(async_compact_unwind_entry_apply(async_task_self(), 0x1000, &state, &entry, &next),
              KCR_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, 1), stack[4]);
    EXPECT_EQ(async_thread_state_get_reg(&next, 0), stack[5]);
    EXPECT_EQ(async_thread_state_get_reg(&next, 2), sp + 48);
    EXPECT_EQ(async_thread_state_get_reg(&next, 23), stack[2]);
    EXPECT_EQ(async_thread_state_get_reg(&next, 22), stack[3]);

    // Without lr a frameless entry cannot be applied; DWARF entries are not ours.
    async_thread_state_clear_reg(&state, 32);
    ASSERT_EQ(async_compact_unwind_entry_init(&entry, KCR_CPU_TYPE_ARM64, kArm64Frameless48), KCR_ESUCCESS);
    EXPECT_EQ(async_compact_unwind_entry_apply(async_task_self(), 0x1000, &state, &entry, &next),
              KCR_ENOTFOUND);
    ASSERT_EQ(async_compact_unwind_entry_init(&entry, KCR_CPU_TYPE_ARM64, 0x03000000), KCR_ESUCCESS);
    EXPECT_EQ(async_compact_unwind_entry_apply(async_task_self(), 0x1000, &state, &entry, &next),
              KCR_ENOTSUP);
    munmap(low, 4096);
}

TEST(CompactUnwindFrames, X86_64FramelessIndirectReadsTheImmediate) {
    MachOBuilder probe;
    probe.cputype = KCR_CPU_TYPE_X86_64;
    probe.sections = {{"__TEXT", "__text", std::vector<uint8_t>(256, 0x90)},
                      {"__TEXT", "__unwind_info", unwindInfo({}, {}, 0)}};
    probe.build();
    const auto text = static_cast<uint32_t>(probe.sectionOffsets[0]);
    // Indirect: immediate at function + 0x11 (0x40), adjust 1 × 8; one saved
    // register (RBX). Frame: RBP chain with R12 saved just below.
    const uint32_t indirect = 0x03000000 | (0x11u << 16) | (1u << 13) | (1u << 10) | 0;
    const uint32_t frame = 0x01000000 | (1u << 16) | 2;
    BuiltImage built(
        KCR_CPU_TYPE_X86_64,
        unwindInfo({}, {Page{false, text, {{text, indirect}, {text + 0x80, frame}, {text + 0xC0, 0}}, {}}},
                   text + 0x100));
    uint64_t stack[16];
    for (int i = 0; i < 16; ++i)
        stack[i] = 0x7000 + i;
    const uint64_t sp = reinterpret_cast<uint64_t>(stack);
    kcr_async_thread_state state;
    ASSERT_EQ(async_thread_state_init(&state, KCR_CPU_TYPE_X86_64), KCR_ESUCCESS);
    async_thread_state_set_reg(&state, KCR_X86_64_RIP, built.image.address() + text + 0x20);
    async_thread_state_set_reg(&state, KCR_X86_64_RSP, sp);
    state.pc_is_exact = true;
    kcr_async_thread_state next;
    ASSERT_EQ(async_frame_read_compact_unwind(async_task_self(), &built.list, &state, nullptr, &next),
              FRAME_ESUCCESS);
    // size = 0x40 + 8 = 72: return address at new sp - 8, RBX below it.
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RSP), sp + 72);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RIP), stack[8]);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RBX), stack[7]);

    async_thread_state_set_reg(&state, KCR_X86_64_RIP, built.image.address() + text + 0x90);
    async_thread_state_set_reg(&state, KCR_X86_64_RBP, sp + 64);
    ASSERT_EQ(async_frame_read_compact_unwind(async_task_self(), &built.list, &state, nullptr, &next),
              FRAME_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RBP), stack[8]);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RIP), stack[9]);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RSP), sp + 80);
    EXPECT_EQ(async_thread_state_get_reg(&next, 13), stack[7]);  // R12 at fp - 8
    // Without the frame pointer the frame entry cannot be applied.
    async_thread_state_clear_reg(&state, KCR_X86_64_RBP);
    EXPECT_EQ(async_frame_read_compact_unwind(async_task_self(), &built.list, &state, nullptr, &next),
              FRAME_ENOFRAME);
    // Encoding 0: nothing to unwind here; the cursor goes on to the next
    // reader. Outside every image: not this reader's.
    async_thread_state_set_reg(&state, KCR_X86_64_RIP, built.image.address() + text + 0xC8);
    EXPECT_EQ(async_frame_read_compact_unwind(async_task_self(), &built.list, &state, nullptr, &next),
              FRAME_ENOFRAME);
    async_thread_state_set_reg(&state, KCR_X86_64_RIP, 0x10);
    EXPECT_EQ(async_frame_read_compact_unwind(async_task_self(), &built.list, &state, nullptr, &next),
              FRAME_ENOTSUP);
}

}  // namespace
