// The DWARF call-frame reader and rule table on hand-assembled tables, on
// libc's real tables (checked row by row against readelf's interpretation)
// and on a real walk through libc code built without frame pointers.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRAsyncDwarfCFAState.h"
#include "crashcapture/KCRAsyncDwarfEncoding.h"
#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncImage.h"

namespace {

using namespace kcr::async;

// Bytes of a section under construction, placed at a chosen address.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& u8(uint64_t v) {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Bytes& u16(uint64_t v) { return u8(v).u8(v >> 8); }
    Bytes& u32(uint64_t v) { return u16(v).u16(v >> 16); }
    Bytes& u64(uint64_t v) { return u32(v).u32(v >> 32); }
    Bytes& uleb(uint64_t v) {
        do {
            uint8_t byte = v & 0x7F;
            v >>= 7;
            u8(v != 0 ? byte | 0x80 : byte);
        } while (v != 0);
        return *this;
    }
    Bytes& sleb(int64_t v) {
        for (;;) {
            uint8_t byte = v & 0x7F;
            v >>= 7;
            const bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
            u8(done ? byte : byte | 0x80);
            if (done)
                return *this;
        }
    }
    Bytes& str(const char* s) {
        for (; *s != '\0'; ++s)
            u8(static_cast<uint8_t>(*s));
        return u8(0);
    }
    Bytes& raw(const std::vector<uint8_t>& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    size_t size() const { return b.size(); }
};

constexpr uint64_t kBase = 0x10000;

async_dwarf_memory view(const std::vector<uint8_t>& bytes, uint64_t base = kBase) {
    async_dwarf_memory memory;
    async_dwarf_memory_init_local(&memory, bytes.data(), bytes.size(), base, async_byteorder_direct());
    return memory;
}

TEST(DwarfLEB128, DecodesWithinBoundsAndLimits) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool is_signed;
        kcr_error_t error;
        uint64_t value;
        size_t size;
    };
    const Case cases[] = {
        {{0x02}, false, KCR_ESUCCESS, 2, 1},
        {{0xE5, 0x8E, 0x26}, false, KCR_ESUCCESS, 624485, 3},
        {{0x7F}, true, KCR_ESUCCESS, static_cast<uint64_t>(-1), 1},
        {{0xC0, 0xBB, 0x78}, true, KCR_ESUCCESS, static_cast<uint64_t>(-123456), 3},
        {{0x3F}, true, KCR_ESUCCESS, 63, 1},
        // Ten bytes, the last without continuation: decodes.
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false, KCR_ESUCCESS, UINT64_MAX, 10},
        // A continuation bit on the tenth byte: too long.
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00}, false, KCR_ENOTSUP, 0, 0},
        // Runs off the end of the view.
        {{0x80, 0x80}, false, KCR_EINVAL, 0, 0},
    };
    for (const Case& c : cases) {
        async_dwarf_memory memory = view(c.bytes);
        uint64_t value = 0;
        size_t size = 0;
        kcr_error_t error;
        if (c.is_signed) {
            int64_t s = 0;
            error = async_dwarf_read_sleb128(&memory, kBase, 0, &s, &size);
            value = static_cast<uint64_t>(s);
        } else {
            error = async_dwarf_read_uleb128(&memory, kBase, 0, &value, &size);
        }
        EXPECT_EQ(error, c.error) << "case with " << c.bytes.size() << " bytes";
        if (c.error == KCR_ESUCCESS) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(size, c.size);
        }
    }
}

TEST(DwarfPointerReader, EveryEncoding) {
    struct Case {
        uint8_t encoding;
        std::vector<uint8_t> bytes;  // at kBase + 8
        kcr_error_t error;
        uint64_t value;
        size_t size;
    };
    const Case cases[] = {
        {DW_EH_PE::absptr, {1, 2, 3, 4, 5, 6, 7, 8}, KCR_ESUCCESS, 0x0807060504030201, 8},
        {DW_EH_PE::udata2, {0xFE, 0xFF}, KCR_ESUCCESS, 0xFFFE, 2},
        {DW_EH_PE::sdata2, {0xFE, 0xFF}, KCR_ESUCCESS, static_cast<uint64_t>(-2), 2},
        {DW_EH_PE::sdata4, {0xFC, 0xFF, 0xFF, 0xFF}, KCR_ESUCCESS, static_cast<uint64_t>(-4), 4},
        {DW_EH_PE::udata4, {0xFC, 0xFF, 0xFF, 0xFF}, KCR_ESUCCESS, 0xFFFFFFFC, 4},
        {DW_EH_PE::uleb128, {0x80, 0x01}, KCR_ESUCCESS, 128, 2},
        {DW_EH_PE::sleb128, {0x7E}, KCR_ESUCCESS, static_cast<uint64_t>(-2), 1},
        // Relative to the field's own address.
        {DW_EH_PE::pcrel | DW_EH_PE::sdata4, {0xF8, 0xFF, 0xFF, 0xFF}, KCR_ESUCCESS, kBase + 8 - 8, 4},
        {DW_EH_PE::textrel | DW_EH_PE::udata4, {0, 0, 0, 0}, KCR_ENOTSUP, 0, 0},
        {DW_EH_PE::datarel | DW_EH_PE::udata4, {0, 0, 0, 0}, KCR_ENOTSUP, 0, 0},
        {0x60 | DW_EH_PE::udata4, {0, 0, 0, 0}, KCR_ENOTSUP, 0, 0},
        {0x05, {0, 0, 0, 0}, KCR_ENOTSUP, 0, 0},
        {DW_EH_PE::omit, {0}, KCR_ENOTFOUND, 0, 0},
        {DW_EH_PE::udata8, {1, 2, 3}, KCR_EINVAL, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(8, 0);
        bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        async_dwarf_memory memory = view(bytes);
        gnu_ehptr_reader<uint64_t> reader(async_byteorder_direct());
        uint64_t value = 0;
        size_t size = 0;
        EXPECT_EQ(reader.read(&memory, kBase, 8, c.encoding, &value, &size), c.error)
            << "encoding " << int(c.encoding);
        if (c.error == KCR_ESUCCESS) {
            EXPECT_EQ(value, c.value) << "encoding " << int(c.encoding);
            EXPECT_EQ(size, c.size) << "encoding " << int(c.encoding);
        }
    }
    // With a data base, data-relative reads work; aligned pads to the width.
    std::vector<uint8_t> bytes = {0, 0, 0, 0, 0x10, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0};
    async_dwarf_memory memory = view(bytes);
    gnu_ehptr_reader<uint64_t> reader(async_byteorder_direct());
    reader.set_data_base(0x5000);
    uint64_t value = 0;
    size_t size = 0;
    ASSERT_EQ(reader.read(&memory, kBase, 4, DW_EH_PE::datarel | DW_EH_PE::udata4, &value, &size),
              KCR_ESUCCESS);
    EXPECT_EQ(value, 0x5010u);
    reader.set_frame_section_base(kBase, kBase);
    ASSERT_EQ(reader.read(&memory, kBase, 4, DW_EH_PE::aligned | DW_EH_PE::udata2, &value, &size),
              KCR_ESUCCESS);
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(size, 6u);
}

// One CIE "zR" (pcrel|sdata4) and FDEs after it, as compilers write .eh_frame.
struct EhFrame {
    Bytes bytes;
    size_t cie = 0;

    void add_cie(const char* augmentation, const std::vector<uint8_t>& augmentation_data,
                 const std::vector<uint8_t>& program, uint64_t ra = 16) {
        cie = bytes.size();
        Bytes body;
        body.u32(0).u8(1).str(augmentation).uleb(1).sleb(-8).uleb(ra);
        if (augmentation[0] == 'z')
            body.uleb(augmentation_data.size()).raw(augmentation_data);
        body.raw(program);
        bytes.u32(body.size()).raw(body.b);
    }
    // pc_start is absolute; the FDE stores it pc-relative.
    size_t add_fde(uint64_t pc_start, uint32_t range, const std::vector<uint8_t>& program,
                   const std::vector<uint8_t>& augmentation = {}) {
        const size_t at = bytes.size();
        Bytes body;
        body.u32(at + 4 - cie);
        const uint64_t field = kBase + at + 8;
        body.u32(static_cast<uint32_t>(pc_start - field)).u32(range);
        body.uleb(augmentation.size()).raw(augmentation);
        body.raw(program);
        bytes.u32(body.size()).raw(body.b);
        return at;
    }
    void terminate() { bytes.u32(0); }
};

TEST(DwarfFrameTables, ParsesEntriesAndFindsTheCoveringFde) {
    EhFrame eh;
    eh.add_cie("zR", {DW_EH_PE::pcrel | DW_EH_PE::sdata4}, {0x0C, 7, 8, 0x90, 1});
    eh.add_fde(0x400000, 0x100, {0x41, 0x0E, 16});
    const size_t second = eh.add_fde(0x400100, 0x80, {}, {0xAA, 0xBB});
    eh.terminate();
    eh.add_fde(0x500000, 0x10, {});  // after the terminator: never reached
    async_dwarf_memory memory = view(eh.bytes.b);
    async_dwarf_frame_reader reader;
    async_dwarf_frame_reader_init(&reader, &memory, true, false);

    struct Case {
        uint64_t address;
        kcr_error_t error;
        uint64_t start;
    };
    const Case cases[] = {{0x400000, KCR_ESUCCESS, 0x400000}, {0x4000FF, KCR_ESUCCESS, 0x400000},
                          {0x400100, KCR_ESUCCESS, 0x400100}, {0x400180, KCR_ENOTFOUND, 0},
                          {0x500000, KCR_ENOTFOUND, 0},       {0x3FFFFF, KCR_ENOTFOUND, 0}};
    for (const Case& c : cases) {
        kcr_async_dwarf_fde_info fde;
        EXPECT_EQ(async_dwarf_frame_reader_find_fde(&reader, 0, c.address, &fde), c.error)
            << std::hex << c.address;
        if (c.error == KCR_ESUCCESS) {
            EXPECT_EQ(fde.pc_start, c.start);
        }
    }
    kcr_async_dwarf_fde_info fde;
    kcr_async_dwarf_cie_info cie;
    ASSERT_EQ(kcr_async_dwarf_fde_info_init<uint64_t>(&fde, &memory, kBase + second, false, &cie),
              KCR_ESUCCESS);
    EXPECT_EQ(fde.pc_end, 0x400180u);
    // The two augmentation bytes are skipped: the program is empty.
    EXPECT_EQ(fde.instructions_length, 0u);
    EXPECT_TRUE(cie.eh_augmentation.has_pointer_encoding);
    EXPECT_EQ(cie.code_alignment_factor, 1u);
    EXPECT_EQ(cie.data_alignment_factor, -8);
    EXPECT_EQ(cie.return_address_register, 16u);
    EXPECT_EQ(cie.initial_instructions_length, 5u);
}

TEST(DwarfFrameTables, CieAugmentations) {
    struct Case {
        const char* augmentation;
        std::vector<uint8_t> data;
        kcr_error_t error;
        bool personality, lsda, signal;
    };
    const Case cases[] = {
        {"", {}, KCR_ESUCCESS, false, false, false},
        {"zR", {0x1B}, KCR_ESUCCESS, false, false, false},
        {"zPLR", {DW_EH_PE::udata4, 0x78, 0x56, 0x34, 0x12, 0x1B, 0x1B}, KCR_ESUCCESS, true, true, false},
        {"zRS", {0x1B}, KCR_ESUCCESS, false, false, true},
        {"eh", {}, KCR_ENOTSUP, false, false, false},
        // An unknown letter ends the scan without error.
        {"zRQ", {0x1B}, KCR_ESUCCESS, false, false, false},
    };
    for (const Case& c : cases) {
        EhFrame eh;
        eh.add_cie(c.augmentation, c.data, {});
        async_dwarf_memory memory = view(eh.bytes.b);
        gnu_ehptr_reader<uint64_t> reader(async_byteorder_direct());
        kcr_async_dwarf_cie_info cie;
        EXPECT_EQ(kcr_async_dwarf_cie_info_init<uint64_t>(&cie, &memory, &reader, kBase), c.error)
            << c.augmentation;
        if (c.error != KCR_ESUCCESS)
            continue;
        EXPECT_EQ(cie.eh_augmentation.has_personality_address, c.personality) << c.augmentation;
        if (c.personality) {
            EXPECT_EQ(cie.eh_augmentation.personality_address, 0x12345678u);
        }
        EXPECT_EQ(cie.eh_augmentation.has_lsda_encoding, c.lsda) << c.augmentation;
        EXPECT_EQ(cie.eh_augmentation.signal_frame, c.signal) << c.augmentation;
    }
}

// Runs a program (as an FDE's, after an empty CIE) to `target`.
struct Program {
    std::vector<uint8_t> bytes;
    kcr_async_dwarf_cie_info cie;
    Program(std::vector<uint8_t> b) : bytes(std::move(b)) {
        cie.code_alignment_factor = 1;
        cie.data_alignment_factor = -8;
        cie.return_address_register = 16;
    }
    kcr_error_t run(dwarf_cfa_state<uint64_t>* state, uint64_t target, uint64_t start = 0x1000) {
        async_dwarf_memory memory = view(bytes);
        return state->eval_program(&memory, target, start, &cie, nullptr, kBase, bytes.size());
    }
};

TEST(DwarfCfaPrograms, RowsRememberedStatesAndLimits) {
    struct Case {
        const char* name;
        std::vector<uint8_t> program;
        uint64_t target;
        kcr_error_t error;
        int64_t cfa_offset;  // -1: not checked
        int64_t rbx_offset;  // offset rule of DWARF 3, 1 = no rule, 0 = not checked
        uint8_t level;
    };
    const Case cases[] = {
        // def_cfa rsp+8; advance 4; def_cfa_offset 16; rbx at cfa-16.
        {"stops at the row of the target",
         {0x0C, 7, 8, 0x44, 0x0E, 16, 0x83, 2},
         0x1003,
         KCR_ESUCCESS,
         8,
         1,
         0},
        {"reaches later rows", {0x0C, 7, 8, 0x44, 0x0E, 16, 0x83, 2}, 0x1004, KCR_ESUCCESS, 16, -16, 0},
        // remember; epilogue changes; restore: the remembered row is back, whole.
        {"remember and restore",
         {0x0C, 7, 16, 0x83, 2, 0x0A, 0x0E, 8, 0xC3, 0x41, 0x0B},
         0,
         KCR_ESUCCESS,
         16,
         -16,
         0},
        // remember keeps the current rules in force (def_cfa_offset needs the CFA).
        {"remember copies the row", {0x0C, 7, 16, 0x83, 2, 0x0A, 0x0E, 8}, 0, KCR_ESUCCESS, 8, -16, 1},
        {"sixth remember fails", {0x0C, 7, 8, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, 0, KCR_ENOMEM, -1, 0, 0},
        {"restore at level 0 fails", {0x0B}, 0, KCR_EINVAL, -1, 0, 0},
        {"def_cfa_offset without a CFA fails", {0x0E, 8}, 0, KCR_EINVAL, -1, 0, 0},
        {"args_size is accepted", {0x0C, 7, 8, 0x2E, 0x20, 0x0E, 24}, 0, KCR_ESUCCESS, 24, 1, 0},
        {"vendor opcode is refused", {0x0C, 7, 8, 0x1D}, 0, KCR_ENOTSUP, -1, 0, 0},
        {"truncated operand", {0x0C, 7}, 0, KCR_EINVAL, -1, 0, 0},
        {"undefined removes", {0x0C, 7, 8, 0x83, 2, 0x07, 3}, 0, KCR_ESUCCESS, 8, 1, 0},
        {"offset_extended_sf", {0x0C, 7, 8, 0x11, 3, 0x7E}, 0, KCR_ESUCCESS, 8, 16, 0},
    };
    for (const Case& c : cases) {
        dwarf_cfa_state<uint64_t> state;
        Program program(c.program);
        EXPECT_EQ(program.run(&state, c.target), c.error) << c.name;
        if (c.error != KCR_ESUCCESS)
            continue;
        EXPECT_EQ(state.level(), c.level) << c.name;
        if (c.cfa_offset >= 0) {
            EXPECT_EQ(state.get_cfa_rule().offset_or_length, c.cfa_offset) << c.name;
        }
        kcr_dwarf_cfa_reg_rule_t kind;
        uint64_t value = 0;
        const bool has = state.get_register_rule(3, &kind, &value);
        if (c.rbx_offset == 1) {
            EXPECT_FALSE(has) << c.name;
        } else if (c.rbx_offset != 0) {
            ASSERT_TRUE(has) << c.name;
            EXPECT_EQ(static_cast<int64_t>(value), c.rbx_offset) << c.name;
        }
    }
}

TEST(DwarfCfaPrograms, RestoreGoesBackToTheCieRules) {
    dwarf_cfa_state<uint64_t> state;
    Program cie({0x0C, 7, 8, 0x90, 1});  // ra at cfa-8
    ASSERT_EQ(cie.run(&state, 0), KCR_ESUCCESS);
    Program fde({0x90, 3, 0x83, 2, 0xC0 | 16, 0xC3});  // change ra, save rbx, restore both
    ASSERT_EQ(fde.run(&state, 0), KCR_ESUCCESS);
    kcr_dwarf_cfa_reg_rule_t kind;
    uint64_t value = 0;
    ASSERT_TRUE(state.get_register_rule(16, &kind, &value));
    EXPECT_EQ(static_cast<int64_t>(value), -8);
    EXPECT_FALSE(state.get_register_rule(3, &kind, &value));
}

TEST(DwarfCfaPrograms, RuleTablePoolIsBoundedAndReused) {
    dwarf_cfa_state<uint64_t> state;
    for (uint32_t r = 0; r < 100; ++r)
        ASSERT_TRUE(state.set_register(r, KCR_DWARF_CFA_REG_RULE_OFFSET, r));
    EXPECT_FALSE(state.set_register(100, KCR_DWARF_CFA_REG_RULE_OFFSET, 0));
    EXPECT_TRUE(state.set_register(42, KCR_DWARF_CFA_REG_RULE_SAME_VALUE, 0));  // replacing needs no entry
    EXPECT_FALSE(state.push_state());                                           // no room for the copy
    EXPECT_EQ(state.level(), 0);
    for (uint32_t r = 50; r < 100; ++r)
        state.remove_register(r);
    EXPECT_EQ(state.get_register_count(), 50);
    // Remember and restore many times: popped levels give their entries back.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(state.push_state()) << i;
        ASSERT_TRUE(state.pop_state());
    }
}

kcr_async_thread_state x86_state(uint64_t rip, uint64_t rsp, uint64_t rbp) {
    kcr_async_thread_state state;
    EXPECT_EQ(async_thread_state_init(&state, KCR_CPU_TYPE_X86_64), KCR_ESUCCESS);
    async_thread_state_set_reg(&state, KCR_X86_64_RIP, rip);
    async_thread_state_set_reg(&state, KCR_X86_64_RSP, rsp);
    async_thread_state_set_reg(&state, KCR_X86_64_RBP, rbp);
    async_thread_state_set_reg(&state, KCR_X86_64_RBX, 0xB0B0);
    return state;
}

TEST(DwarfExpressions, Operations) {
    struct Case {
        std::vector<uint8_t> expression;
        kcr_error_t error;
        uint64_t value;
    };
    alignas(8) static uint64_t memory_word = 0xFEEDFACECAFEBEEF;
    const uint64_t word = reinterpret_cast<uint64_t>(&memory_word);
    Bytes deref;
    deref.u8(0x0E).u64(word).u8(0x06);
    Bytes deref_size;
    deref_size.u8(0x0E).u64(word).u8(0x94).u8(2);
    const Case cases[] = {
        {{0x31, 0x32, 0x24}, KCR_ESUCCESS, 4},                                // lit1 lit2 shl
        {{0x09, 0xF8, 0x31, 0x25}, KCR_ESUCCESS, 0x7FFFFFFFFFFFFFFC},         // -8 shr 1
        {{0x09, 0xF8, 0x31, 0x26}, KCR_ESUCCESS, static_cast<uint64_t>(-4)},  // -8 shra 1
        {{0x35, 0x30, 0x1B}, KCR_EINVAL, 0},                                  // div by zero
        {{0x35, 0x30, 0x1D}, KCR_EINVAL, 0},                                  // mod by zero
        {{0x09, 0xF8, 0x32, 0x1B}, KCR_ESUCCESS, static_cast<uint64_t>(-4)},  // signed div
        {{0x09, 0xFF, 0x31, 0x2D}, KCR_ESUCCESS, 1},                          // -1 < 1
        {{0x50}, KCR_ENOTSUP, 0},                                             // reg0
        {{0x77, 0x10}, KCR_ESUCCESS, 0x7010},                                 // breg7 (rsp) + 16
        {{0x73, 0x00}, KCR_ESUCCESS, 0xB0B0},                                 // breg3 (rbx)
        {{0x78, 0x00}, KCR_ENOTFOUND, 0},                                     // breg8: r8 not held
        {{0x92, 0x40, 0x00}, KCR_ENOTSUP, 0},                                 // bregx 64: no such register
        {{0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, KCR_ESUCCESS, 3},        // rot: 1 2 3 -> 3 1 2, two drops
        {{0x31, 0x32, 0x14, 0x22, 0x22}, KCR_ESUCCESS, 4},              // over
        {{0x31, 0x32, 0x15, 0x01}, KCR_ESUCCESS, 1},                    // pick 1
        {{0x31, 0x15, 0x01}, KCR_EINVAL, 0},                            // pick beyond the stack
        {{0x31, 0x2F, 0x01, 0x00, 0x32, 0x33}, KCR_ESUCCESS, 3},        // skip over lit2
        {{0x31, 0x31, 0x28, 0x01, 0x00, 0x35, 0x36}, KCR_ESUCCESS, 6},  // bra taken
        {{0x31, 0x2F, 0x10, 0x00}, KCR_EINVAL, 0},                      // skip outside
        {{0x2F, 0xFD, 0xFF}, KCR_EINVAL, 0},                            // skip to itself: a loop
        {{0x31, 0x12, 0x28, 0xFC, 0xFF}, KCR_EINVAL, 0},                // bra back for ever
        {{0x12}, KCR_EINVAL, 0},                                        // dup on empty
        {{0x06}, KCR_EINTERNAL, 0},                                     // deref on empty
        {{0x22}, KCR_EINTERNAL, 0},                                     // plus on empty
        {{}, KCR_EINVAL, 0},                                            // empty result
        {{0x23, 0x05}, KCR_EINTERNAL, 0},                               // plus_uconst on empty
        {{0x31, 0x23, 0x80, 0x01}, KCR_ESUCCESS, 129},                  // plus_uconst 128
        {{0x0A, 0x34, 0x12}, KCR_ESUCCESS, 0x1234},                     // const2u
        {{0x0D, 0xFF, 0xFF, 0xFF, 0xFF}, KCR_ESUCCESS, UINT64_MAX},     // const4s -1
        {deref.b, KCR_ESUCCESS, 0xFEEDFACECAFEBEEF},
        {deref_size.b, KCR_ESUCCESS, 0xBEEF},
        {{0x96, 0x96, 0x3F}, KCR_ESUCCESS, 15},  // nops
    };
    kcr_async_thread_state state = x86_state(0x1000, 0x7000, 0x8000);
    for (size_t i = 0; i < sizeof cases / sizeof *cases; ++i) {
        const Case& c = cases[i];
        async_dwarf_memory memory = view(c.expression);
        uint64_t result = 0;
        EXPECT_EQ(kcr_async_dwarf_expression_eval<uint64_t>(&memory, async_task_self(), &state, kBase, 0,
                                                            c.expression.size(), nullptr, 0, &result),
                  c.error)
            << "case " << i;
        if (c.error == KCR_ESUCCESS) {
            EXPECT_EQ(result, c.value) << "case " << i;
        }
    }
    // A full stack refuses more values.
    std::vector<uint8_t> many(101, 0x30);
    async_dwarf_memory memory = view(many);
    uint64_t result = 0;
    EXPECT_EQ(kcr_async_dwarf_expression_eval<uint64_t>(&memory, async_task_self(), &state, kBase, 0,
                                                        many.size(), nullptr, 0, &result),
              KCR_EINTERNAL);
    // Copies onto a full stack fail too, rather than being dropped while the
    // evaluation goes on with a stack that lacks them.
    for (std::vector<uint8_t> copy :
         {std::vector<uint8_t>{0x12}, std::vector<uint8_t>{0x14}, std::vector<uint8_t>{0x15, 0x01}}) {
        std::vector<uint8_t> full(100 + copy.size(), 0x30);
        std::copy(copy.begin(), copy.end(), full.begin() + 100);
        async_dwarf_memory full_memory = view(full);
        EXPECT_EQ(kcr_async_dwarf_expression_eval<uint64_t>(&full_memory, async_task_self(), &state, kBase, 0,
                                                            full.size(), nullptr, 0, &result),
                  KCR_EINVAL)
            << int{copy[0]};
    }
}

TEST(DwarfApply, CallerStateFromRules) {
    // A frame whose CFA is rsp+16, with rbx saved at cfa-16 and the return
    // address at cfa-8.
    alignas(16) uint64_t stack[4] = {0, 0xAAAA, 0x4242, 0x0};
    const uint64_t rsp = reinterpret_cast<uint64_t>(&stack[0]);
    kcr_async_thread_state current = x86_state(0x1000, rsp, 0x9999);
    current.pc_is_exact = true;
    dwarf_cfa_state<uint64_t> rules;
    Program program({0x0C, 7, 24, 0x83, 2, 0x90, 1});
    ASSERT_EQ(program.run(&rules, 0), KCR_ESUCCESS);
    kcr_async_thread_state next;
    async_dwarf_memory memory = view(program.bytes);
    ASSERT_EQ(rules.apply_state(async_task_self(), &memory, &program.cie, &current, &next), KCR_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RSP), rsp + 24);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RIP), 0x4242u);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RBX), 0xAAAAu);
    EXPECT_EQ(async_thread_state_get_reg(&next, KCR_X86_64_RBP), 0x9999u);  // callee-saved, no rule: kept
    EXPECT_FALSE(async_thread_state_has_reg(&next, KCR_X86_64_RAX));
    EXPECT_FALSE(next.pc_is_exact);

    // Without a rule for the return address on x86-64 there is no caller.
    dwarf_cfa_state<uint64_t> no_ra;
    Program only_cfa({0x0C, 7, 8});
    ASSERT_EQ(only_cfa.run(&no_ra, 0), KCR_ESUCCESS);
    EXPECT_EQ(no_ra.apply_state(async_task_self(), &memory, &only_cfa.cie, &current, &next), KCR_EINVAL);

    // On ARM64 a function that never saved lr returns to lr.
    kcr_async_thread_state arm;
    EXPECT_EQ(async_thread_state_init(&arm, KCR_CPU_TYPE_ARM64), KCR_ESUCCESS);
    async_thread_state_set_reg(&arm, 0, 0x1000);
    async_thread_state_set_reg(&arm, 2, 0x8000);
    async_thread_state_set_reg(&arm, 32, 0x2468);
    dwarf_cfa_state<uint64_t> leaf;
    Program arm_program({0x0C, 31, 0});
    arm_program.cie.return_address_register = 30;
    ASSERT_EQ(arm_program.run(&leaf, 0), KCR_ESUCCESS);
    ASSERT_EQ(leaf.apply_state(async_task_self(), &memory, &arm_program.cie, &arm, &next), KCR_ESUCCESS);
    EXPECT_EQ(async_thread_state_get_reg(&next, 0), 0x2468u);
}

// --- The real tables of libc -------------------------------------------------

const async_image* find_image(const char* fragment);

// The unwind tables are copied once per image: the copy holds the bytes of
// both tables and later calls hand out the same copy; the search over the
// copy checks its bounds.
TEST(DwarfImageTables, CopiedOnceAndIdenticalToTheImage) {
    const async_image* libc = find_image("libc.so");
    ASSERT_NE(libc, nullptr);
    const uint8_t* tables = nullptr;
    uint64_t address = 0, length = 0;
    ASSERT_TRUE(async_image_unwind_tables(libc, &tables, &address, &length));
    EXPECT_EQ(libc->unwind_copy_state.load(), 2);
    const uint64_t frame = libc->elf.ehFrame;
    ASSERT_LE(address, frame);
    ASSERT_GE(address + length, libc->elf.ehFrameEnd);
    EXPECT_EQ(std::memcmp(tables + (frame - address), reinterpret_cast<const void*>(frame),
                          libc->elf.ehFrameEnd - frame),
              0);
    EXPECT_EQ(
        std::memcmp(tables + (libc->elf.ehFrameHeader - address),
                    reinterpret_cast<const void*>(libc->elf.ehFrameHeader), libc->elf.ehFrameHeaderSize),
        0);
    const uint8_t* again = nullptr;
    uint64_t again_address = 0, again_length = 0;
    ASSERT_TRUE(async_image_unwind_tables(libc, &again, &again_address, &again_length));
    EXPECT_EQ(again, tables);
    EXPECT_EQ(again_address, address);

    // A header cut short reads as unreadable, never past its end.
    uint64_t fde = 0;
    const uint8_t* header = tables + (libc->elf.ehFrameHeader - address);
    EXPECT_EQ(async_dwarf_eh_frame_hdr_lookup_local(header, libc->elf.ehFrameHeader, 20, libc->elf.ehFrameEnd,
                                                    &fde),
              KCR_EINVAL);
    EXPECT_EQ(async_dwarf_eh_frame_hdr_lookup_local(header, libc->elf.ehFrameHeader, 8, 0, &fde), KCR_EINVAL);
}

const async_image* find_image(const char* fragment) {
    async_image_list_poll_loader();
    async_image_list_t* list = async_shared_image_list();
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        if (std::strstr(async_image_name(image), fragment) != nullptr)
            return image;
    }
    return nullptr;
}

std::map<std::string, uint32_t> kX86Columns = {
    {"rax", 0},  {"rdx", 1},  {"rcx", 2},  {"rbx", 3},  {"rsi", 4},  {"rdi", 5},
    {"rbp", 6},  {"rsp", 7},  {"r8", 8},   {"r9", 9},   {"r10", 10}, {"r11", 11},
    {"r12", 12}, {"r13", 13}, {"r14", 14}, {"r15", 15}, {"ra", 16}};

// Every row readelf interprets for every FDE of libc (and libstdc++, whose
// tables use personalities, LSDAs and DW_CFA_GNU_args_size) gives the same
// CFA and register rules when our evaluator runs the CIE and FDE programs up
// to that row's address, with the FDE found through the image's search table.
class DwarfRealTables : public ::testing::TestWithParam<const char*> {};

TEST_P(DwarfRealTables, RulesMatchReadelfForEveryFde) {
    if (std::system("readelf --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "readelf is not installed";
    const async_image* libc = find_image(GetParam());
    ASSERT_NE(libc, nullptr);
    ASSERT_EQ(libc->kind, async_image_kind::elf);
    const uint64_t bias = libc->elf.loadBias;
    const std::string command = std::string("readelf --debug-dump=frames-interp ") + async_image_name(libc);
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> columns;
    bool in_fde = false;
    size_t fdes = 0, rows = 0, skipped = 0;
    char buffer[1024];
    kcr_async_dwarf_fde_info fde{};
    kcr_async_dwarf_cie_info cie{};
    async_dwarf_memory memory;
    ASSERT_TRUE(async_dwarf_memory_init_task(&memory, async_task_self(), libc->elf.ehFrame,
                                             libc->elf.ehFrameEnd - libc->elf.ehFrame,
                                             async_byteorder_direct()));
    const uint8_t* tables = nullptr;
    uint64_t tables_address = 0, tables_length = 0;
    ASSERT_TRUE(async_image_unwind_tables(libc, &tables, &tables_address, &tables_length));
    ASSERT_LE(tables_address, libc->elf.ehFrameHeader);
    ASSERT_GE(tables_address + tables_length, libc->elf.ehFrameHeader + libc->elf.ehFrameHeaderSize);
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::istringstream line(buffer);
        std::vector<std::string> words;
        for (std::string w; line >> w;)
            words.push_back(w);
        if (words.size() >= 4 && words[3] == "FDE") {
            in_fde = true;
            columns.clear();
            const std::string pc = words.back().substr(3);
            const uint64_t start = std::stoull(pc.substr(0, pc.find("..")), nullptr, 16) + bias;
            uint64_t fde_address = 0;
            ASSERT_EQ(async_dwarf_eh_frame_hdr_lookup(async_task_self(), libc->elf.ehFrameHeader,
                                                      libc->elf.ehFrameHeaderSize, start, &fde_address),
                      KCR_ESUCCESS);
            // The image's own copy of the table finds the same entry.
            uint64_t local_fde = 0;
            ASSERT_EQ(async_dwarf_eh_frame_hdr_lookup_local(
                          tables + (libc->elf.ehFrameHeader - tables_address), libc->elf.ehFrameHeader,
                          libc->elf.ehFrameHeaderSize, start, &local_fde),
                      KCR_ESUCCESS);
            EXPECT_EQ(local_fde, fde_address);
            ASSERT_EQ(kcr_async_dwarf_fde_info_init<uint64_t>(&fde, &memory, fde_address, false, &cie),
                      KCR_ESUCCESS);
            ASSERT_EQ(fde.pc_start, start);
            ++fdes;
            continue;
        }
        if (words.size() >= 4 && words[3] == "CIE") {
            in_fde = false;
            continue;
        }
        if (!in_fde || words.empty())
            continue;
        if (words[0] == "LOC") {
            columns = words;
            continue;
        }
        if (columns.empty() || words.size() != columns.size())
            continue;
        const uint64_t location = std::stoull(words[0], nullptr, 16) + bias;
        dwarf_cfa_state<uint64_t> state;
        gnu_ehptr_reader<uint64_t> reader(async_byteorder_direct());
        ASSERT_EQ(state.eval_program(&memory, location, fde.pc_start, &cie, &reader,
                                     memory.base + cie.initial_instructions_offset,
                                     cie.initial_instructions_length),
                  KCR_ESUCCESS);
        ASSERT_EQ(state.eval_program(&memory, location, fde.pc_start, &cie, &reader,
                                     memory.base + fde.instructions_offset, fde.instructions_length),
                  KCR_ESUCCESS)
            << "FDE at " << std::hex << fde.pc_start - bias << " row " << words[0];
        ++rows;
        const auto cfa = state.get_cfa_rule();
        const std::string& cfa_text = words[1];
        if (cfa_text == "exp") {
            EXPECT_EQ(cfa.type, KCR_DWARF_CFA_RULE_TYPE_EXPRESSION) << words[0];
        } else {
            const size_t plus = cfa_text.find('+');
            ASSERT_NE(plus, std::string::npos) << cfa_text;
            EXPECT_EQ(cfa.reg_or_address, kX86Columns[cfa_text.substr(0, plus)]) << words[0];
            EXPECT_EQ(cfa.offset_or_length, std::stoll(cfa_text.substr(plus + 1))) << words[0];
        }
        for (size_t i = 2; i < columns.size(); ++i) {
            auto column = kX86Columns.find(columns[i]);
            if (column == kX86Columns.end()) {
                ++skipped;
                continue;
            }
            kcr_dwarf_cfa_reg_rule_t kind;
            uint64_t value = 0;
            const bool has = state.get_register_rule(column->second, &kind, &value);
            const std::string& rule = words[i];
            if (rule == "u") {
                EXPECT_FALSE(has) << words[0] << " " << columns[i];
            } else if (rule[0] == 'c') {
                ASSERT_TRUE(has) << words[0] << " " << columns[i];
                EXPECT_EQ(kind, KCR_DWARF_CFA_REG_RULE_OFFSET);
                EXPECT_EQ(static_cast<int64_t>(value), std::stoll(rule.substr(1)))
                    << words[0] << " " << columns[i];
            } else if (rule == "exp") {
                ASSERT_TRUE(has);
                EXPECT_EQ(kind, KCR_DWARF_CFA_REG_RULE_EXPRESSION);
            } else if (rule == "s") {
                ASSERT_TRUE(has);
                EXPECT_EQ(kind, KCR_DWARF_CFA_REG_RULE_SAME_VALUE);
            } else {
                ++skipped;
            }
        }
    }
    pclose(pipe);
    EXPECT_GT(fdes, 1000u);
    EXPECT_GT(rows, 5000u);
    EXPECT_EQ(skipped, 0u);
    RecordProperty("fdes", static_cast<int>(fdes));
    RecordProperty("rows", static_cast<int>(rows));
    RecordProperty("skipped_columns", static_cast<int>(skipped));
}

INSTANTIATE_TEST_SUITE_P(Libraries, DwarfRealTables, ::testing::Values("libc.so.6", "libstdc++.so.6"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(0, 6) == "libc.s" ? "libc" : "libstdcxx";
                         });

// --- A real walk through code without frame pointers ---------------------------

struct WalkRecord {
    std::vector<uint64_t> pcs;
};
WalkRecord* gWalk = nullptr;
uint64_t gOuterReturn = 0;

kcr_error_t walk_with_dwarf_only(kcr_async_thread_state* state, void*) {
    async_frame_cursor cursor;
    EXPECT_EQ(async_frame_cursor_init(&cursor, async_task_self(), state, async_shared_image_list()),
              FRAME_ESUCCESS);
    static constexpr async_frame_reader kDwarfOnly[] = {async_frame_read_dwarf_unwind};
    while (gWalk->pcs.size() < 64 &&
           async_frame_cursor_next_with_readers(&cursor, kDwarfOnly, 1) == FRAME_ESUCCESS) {
        uint64_t pc = 0;
        if (async_frame_cursor_get_reg(&cursor, 0, &pc) != FRAME_ESUCCESS)
            break;
        gWalk->pcs.push_back(pc);
    }
    return KCR_ESUCCESS;
}

__attribute__((noinline)) int compare_and_walk(const void* a, const void* b) {
    if (gWalk->pcs.empty())
        async_thread_state_current(walk_with_dwarf_only, nullptr);
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

__attribute__((noinline)) void sort_through_libc() {
    gOuterReturn = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    int values[] = {3, 1, 2};
    qsort(values, 3, sizeof(int), compare_and_walk);
    asm volatile("" ::: "memory");
}

TEST(DwarfRealWalk, UnwindsThroughLibcWithoutFramePointers) {
    async_image_list_poll_loader();
    WalkRecord record;
    gWalk = &record;
    sort_through_libc();
    gWalk = nullptr;
    // The walk, with the DWARF reader alone, goes through qsort (in libc) and
    // reaches the return address into this test.
    bool through_libc = false;
    const async_image* libc = find_image("libc.so.6");
    ASSERT_NE(libc, nullptr);
    for (uint64_t pc : record.pcs)
        through_libc = through_libc || async_image_contains_address(libc, pc);
    EXPECT_TRUE(through_libc);
    EXPECT_NE(std::find(record.pcs.begin(), record.pcs.end(), gOuterReturn), record.pcs.end());
}

}  // namespace
