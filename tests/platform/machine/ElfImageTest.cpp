#include "platform/machine/ElfImage.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/machine/Loader.h"

using namespace plat::machine;

namespace {

// Runs readelf and returns its output, or nothing when binutils is missing.
std::string readelf(const std::string& options, const std::string& path) {
    std::string command = "readelf " + options + " '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

std::string buildIdFromReadelf(const std::string& path) {
    std::string notes = readelf("-n", path);
    auto at = notes.find("Build ID: ");
    if (at == std::string::npos)
        return {};
    at += 10;
    return notes.substr(at, notes.find_first_of("\r\n", at) - at);
}

// The .eh_frame section's link-time address from the section headers.
uint64_t ehFrameFromReadelf(const std::string& path) {
    std::string sections = readelf("-SW", path);
    auto at = sections.find(" .eh_frame ");
    if (at == std::string::npos)
        return 0;
    std::string rest = sections.substr(at + 11);
    char type[32];
    unsigned long long address = 0;
    if (std::sscanf(rest.c_str(), "%31s %llx", type, &address) != 2)
        return 0;
    return address;
}

bool haveReadelf() {
    return !readelf("--version", "").empty();
}

}  // namespace

TEST(ElfImages, EveryLoadedImageIsReadAndFoundByAnAddressInside) {
    initialize();
    std::vector<LoadedImage> images = loadedImages();
    ASSERT_GE(images.size(), 3u);
    EXPECT_EQ(images[0].path, executablePath());
    bool sawVdso = false, sawLibc = false;
    for (const LoadedImage& loaded : images) {
        ElfImage image;
        ASSERT_EQ(parseElfImage(Task::self(), loaded.headerAddress, &image), ElfResult::Ok) << loaded.path;
        EXPECT_TRUE(image.containsAddress(loaded.headerAddress)) << loaded.path;
        EXPECT_FALSE(image.containsAddress(loaded.headerAddress - 1));
        EXPECT_FALSE(image.containsAddress(loaded.headerAddress + image.textSize));
        EXPECT_EQ(image.machine, EM_X86_64);
        if (loaded.path.find("linux-vdso") != std::string::npos) {
            sawVdso = true;
            continue;
        }
        if (loaded.path.find("libc.so") != std::string::npos)
            sawLibc = true;
        EXPECT_GT(image.symbolCount, 0u) << loaded.path;
        // The nearest symbol below the end of the code is one the loader knows
        // by the same start.
        char name[256];
        uint64_t start = 0;
        if (findElfSymbol(image, loaded.headerAddress + image.textSize - 1, name, sizeof name, &start)) {
            Dl_info info{};
            ASSERT_NE(dladdr(reinterpret_cast<void*>(start), &info), 0) << loaded.path << " " << name;
            EXPECT_EQ(reinterpret_cast<uint64_t>(info.dli_fbase), loaded.headerAddress);
            if (info.dli_saddr != nullptr) {
                EXPECT_EQ(reinterpret_cast<uint64_t>(info.dli_saddr), start) << loaded.path << " " << name;
            }
        }
        if (image.ehFrame != 0) {
            EXPECT_LT(image.ehFrame, image.ehFrameEnd);
        }
        if (!haveReadelf())
            continue;
        std::string expected = buildIdFromReadelf(loaded.path);
        if (!expected.empty()) {
            EXPECT_EQ(hex(image.buildId, image.buildIdLength), expected) << loaded.path;
        }
        uint64_t section = ehFrameFromReadelf(loaded.path);
        // .eh_frame is found through PT_GNU_EH_FRAME; data-only libraries (ICU's
        // data) have a bare terminator and no header.
        if (section != 0 && image.ehFrameHeader != 0) {
            EXPECT_EQ(image.ehFrame, section + image.loadBias) << loaded.path;
        } else {
            EXPECT_EQ(image.ehFrame, 0u) << loaded.path;
        }
    }
    EXPECT_TRUE(sawVdso);
    EXPECT_TRUE(sawLibc);
}

namespace {

// The image holding `address` as the loader names it, parsed.
ElfImage imageAt(const void* address, Dl_info* info) {
    ElfImage image;
    EXPECT_NE(dladdr(address, info), 0);
    EXPECT_EQ(parseElfImage(Task::self(), reinterpret_cast<uint64_t>(info->dli_fbase), &image),
              ElfResult::Ok);
    return image;
}

}  // namespace

TEST(ElfImages, NearestSymbolsAgreeWithTheLoader) {
    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    const char* names[] = {"kcr_machine_test_function", "kcr_machine_test_second"};
    for (const char* name : names) {
        auto* function = reinterpret_cast<uint8_t*>(dlsym(library, name));
        ASSERT_NE(function, nullptr);
        Dl_info info{};
        const ElfImage image = imageAt(function + 1, &info);
        char found[256];
        uint64_t start = 0;
        ASSERT_TRUE(
            findElfSymbol(image, reinterpret_cast<uint64_t>(function) + 1, found, sizeof found, &start));
        EXPECT_STREQ(found, info.dli_sname);
        EXPECT_EQ(start, reinterpret_cast<uint64_t>(info.dli_saddr));
        uint64_t byName = 0;
        EXPECT_TRUE(findElfSymbolByName(image, name, &byName));
        EXPECT_EQ(byName, reinterpret_cast<uint64_t>(function));
        // Names are cut to the buffer, always terminated.
        char tiny[4];
        ASSERT_TRUE(findElfSymbol(image, reinterpret_cast<uint64_t>(function), tiny, sizeof tiny, &start));
        EXPECT_STREQ(tiny, "kcr");
    }
    dlclose(library);

    // Exported libc functions: the same start as the loader's own look-up.
    for (const char* name : {"getpid", "qsort", "fopen", "pthread_create"}) {
        auto* function = reinterpret_cast<uint8_t*>(dlsym(RTLD_DEFAULT, name));
        ASSERT_NE(function, nullptr) << name;
        Dl_info info{};
        const ElfImage image = imageAt(function + 2, &info);
        char found[256];
        uint64_t start = 0;
        ASSERT_TRUE(
            findElfSymbol(image, reinterpret_cast<uint64_t>(function) + 2, found, sizeof found, &start));
        EXPECT_EQ(start, reinterpret_cast<uint64_t>(info.dli_saddr)) << name << " " << found;
    }
}

namespace {

// A writable, page-aligned buffer followed by an unmapped page.
struct Buffer {
    size_t page = pageSize();
    uint8_t* base;
    Buffer() {
        base = static_cast<uint8_t*>(
            mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        munmap(base + 2 * page, page);
        std::memset(base, 0, 2 * page);
    }
    ~Buffer() { munmap(base, 2 * page); }
    uint64_t address() const { return reinterpret_cast<uint64_t>(base); }
};

void writeHeader(Buffer& buffer, uint16_t phnum, uint64_t phoff) {
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_machine = EM_X86_64;
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = phnum;
    header.e_phoff = phoff;
    std::memcpy(buffer.base, &header, sizeof header);
}

void writeSegment(Buffer& buffer, int index, Elf64_Phdr segment) {
    std::memcpy(buffer.base + sizeof(Elf64_Ehdr) + index * sizeof segment, &segment, sizeof segment);
}

}  // namespace

TEST(ElfImages, TruncatedAndHostileImagesFailOrStayInBounds) {
    Buffer buffer;
    ElfImage image;
    // Not ELF, another class, a program header table off the end of memory.
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Invalid);
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address() + 2 * buffer.page, &image), ElfResult::Unreadable);
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address() + 2 * buffer.page - 8, &image),
              ElfResult::Unreadable);
    writeHeader(buffer, 1, 2 * buffer.page);
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Unreadable);
    writeHeader(buffer, 1, UINT64_MAX - 8);
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Invalid);
    writeHeader(buffer, 60000, sizeof(Elf64_Ehdr));
    EXPECT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Invalid);

    // A load segment, then notes, dynamic and unwind segments that point
    // anywhere: the image is read, their facts are dropped.
    writeHeader(buffer, 4, sizeof(Elf64_Ehdr));
    writeSegment(buffer, 0, Elf64_Phdr{PT_LOAD, PF_R | PF_X, 0, 0, 0, 2 * buffer.page, 2 * buffer.page, 0});
    writeSegment(buffer, 1, Elf64_Phdr{PT_NOTE, PF_R, 0, 1024, 0, 0, UINT64_MAX, 0});
    writeSegment(buffer, 2, Elf64_Phdr{PT_DYNAMIC, PF_R, 0, 2048, 0, 0, UINT64_MAX, 0});
    writeSegment(buffer, 3, Elf64_Phdr{PT_GNU_EH_FRAME, PF_R, 0, 3072, 0, 0, 64, 0});
    // A note whose descriptor claims to be huge, a dynamic section whose tables
    // lie outside the image, an unwind header with an unknown pointer encoding.
    Elf64_Nhdr note{4, 0xFFFFFFF0, NT_GNU_BUILD_ID};
    std::memcpy(buffer.base + 1024, &note, sizeof note);
    std::memcpy(buffer.base + 1024 + sizeof note, "GNU", 4);
    Elf64_Dyn dynamic[] = {{DT_SYMTAB, {0x7FFF00000000}},
                           {DT_STRTAB, {100}},
                           {DT_STRSZ, {UINT64_MAX}},
                           {DT_HASH, {0}},
                           {DT_NULL, {0}}};
    std::memcpy(buffer.base + 2048, dynamic, sizeof dynamic);
    uint8_t unwind[8] = {1, 0x7F, 0x03, 0x3B, 0, 0, 0, 0};
    std::memcpy(buffer.base + 3072, unwind, sizeof unwind);
    ASSERT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Ok);
    EXPECT_EQ(image.textSize, 2 * buffer.page);
    EXPECT_EQ(image.buildIdLength, 0u);
    EXPECT_EQ(image.symbolCount, 0u);
    EXPECT_EQ(image.ehFrame, 0u);
    char name[16];
    uint64_t start = 0;
    EXPECT_FALSE(findElfSymbol(image, buffer.address() + 100, name, sizeof name, &start));

    // A symbol table whose names run off the string table.
    Elf64_Sym symbols[2] = {};
    symbols[1].st_name = 1;
    symbols[1].st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
    symbols[1].st_shndx = 1;
    symbols[1].st_value = 16;
    std::memcpy(buffer.base + 4096, symbols, sizeof symbols);
    std::memcpy(buffer.base + 4096 + sizeof symbols, "\0abc", 4);  // no terminator within the table
    uint32_t hash[4] = {1, 2, 0, 0};                               // nbucket 1, nchain 2
    std::memcpy(buffer.base + 4600, hash, sizeof hash);
    Elf64_Dyn table[] = {{DT_SYMTAB, {4096}},
                         {DT_STRTAB, {4096 + sizeof symbols}},
                         {DT_STRSZ, {4}},
                         {DT_HASH, {4600}},
                         {DT_NULL, {0}}};
    std::memcpy(buffer.base + 2048, table, sizeof table);
    ASSERT_EQ(parseElfImage(Task::self(), buffer.address(), &image), ElfResult::Ok);
    EXPECT_EQ(image.symbolCount, 2u);
    EXPECT_FALSE(findElfSymbol(image, buffer.address() + 100, name, sizeof name, &start));
    std::memcpy(buffer.base + 4096 + sizeof symbols, "\0ab", 4);  // now terminated
    image.stringTableSize = 4;
    ASSERT_TRUE(findElfSymbol(image, buffer.address() + 100, name, sizeof name, &start));
    EXPECT_STREQ(name, "ab");
    EXPECT_EQ(start, buffer.address() + 16);
    EXPECT_FALSE(findElfSymbol(image, buffer.address() + 15, name, sizeof name, &start));
}
