#include "crashcapture/MachOBuilder.h"

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace kcr::testing {

namespace {

class Writer {
  public:
    explicit Writer(bool swapped) : swapped_(swapped) {}
    std::vector<uint8_t> bytes;

    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { put(swapped_ ? __builtin_bswap16(v) : v); }
    void u32(uint32_t v) { put(swapped_ ? __builtin_bswap32(v) : v); }
    void u64(uint64_t v) { put(swapped_ ? __builtin_bswap64(v) : v); }
    void word(bool is64, uint64_t v) { is64 ? u64(v) : u32(static_cast<uint32_t>(v)); }
    void name16(const std::string& name) {
        char field[16] = {};
        std::memcpy(field, name.data(), std::min<size_t>(name.size(), 16));
        bytes.insert(bytes.end(), field, field + 16);
    }

  private:
    template <class T>
    void put(T v) {
        auto* p = reinterpret_cast<const uint8_t*>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
    }
    bool swapped_;
};

size_t pageRound(size_t n) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

}  // namespace

MachOImage::MachOImage(MachOImage&& other) noexcept
    : headerSize(other.headerSize), base_(other.base_), size_(other.size_) {
    other.base_ = nullptr;
}

MachOImage::~MachOImage() {
    if (base_ != nullptr)
        munmap(base_, size_);
}

uint8_t* MachOImage::commands() const {
    return base_ + headerSize;
}

MachOImage MachOBuilder::build() {
    const size_t headerSize = is64 ? 32 : 28;
    const size_t segmentSize = is64 ? 72 : 56;
    const size_t sectionSize = is64 ? 80 : 68;

    // Sizes of the load commands, to place the section data after them.
    // Sections of "__TEXT" go in its command; each other segment named by a
    // section gets a command of its own over the same memory.
    std::vector<std::string> otherSegments;
    size_t textSections = 0;
    for (const auto& section : sections) {
        if (section.segment == "__TEXT")
            ++textSections;
        else if (std::find(otherSegments.begin(), otherSegments.end(), section.segment) ==
                 otherSegments.end())
            otherSegments.push_back(section.segment);
    }
    size_t commandsSize = 0;
    if (withText)
        commandsSize += segmentSize + textSections * sectionSize;
    commandsSize += (sections.size() - textSections) * sectionSize + otherSegments.size() * segmentSize;
    commandsSize += segmentSize;  // __LINKEDIT
    if (withSymtab)
        commandsSize += 24;
    if (withSymtab && withDysymtab)
        commandsSize += 80;
    if (uuid)
        commandsSize += 24;
    for (const auto& extra : extraCommands)
        commandsSize += extra.size();

    sectionOffsets.clear();
    size_t offset = headerSize + commandsSize;
    for (const auto& section : sections) {
        offset = (offset + 15) & ~size_t{15};
        sectionOffsets.push_back(offset);
        offset += section.bytes.size();
    }
    const size_t textSize = pageRound(offset);

    // __LINKEDIT: symbols then strings.
    Writer strings(swapped);
    strings.u8(0);
    std::vector<uint32_t> nameOffsets;
    for (const auto& symbol : symbols) {
        nameOffsets.push_back(static_cast<uint32_t>(strings.bytes.size()));
        strings.bytes.insert(strings.bytes.end(), symbol.name.begin(), symbol.name.end());
        strings.u8(0);
    }
    Writer table(swapped);
    uint32_t locals = 0, globals = 0;
    for (size_t i = 0; i < symbols.size(); ++i) {
        const auto& symbol = symbols[i];
        (symbol.local ? locals : globals)++;
        table.u32(nameOffsets[i]);
        table.u8(symbol.type);
        table.u8(symbol.sect);
        table.u16(symbol.desc);
        table.word(is64, textVmaddr + symbol.offset);
    }
    const size_t linkeditSize = pageRound(table.bytes.size() + strings.bytes.size() + 1);
    const uint64_t linkeditFileoff = 0x4000;  // any file offset: tables are found relative to it

    Writer out(swapped);
    out.u32(is64 ? 0xFEEDFACF : 0xFEEDFACE);
    out.u32(cputype);
    out.u32(cpusubtype);
    out.u32(6);  // dylib
    out.u32(0);  // ncmds, patched below
    out.u32(static_cast<uint32_t>(commandsSize));
    out.u32(0);
    if (is64)
        out.u32(0);
    uint32_t ncmds = 0;

    auto segment = [&](const std::string& name, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff,
                       uint64_t filesize, const std::vector<MachOSection>& sects,
                       const std::vector<uint64_t>& offsets) {
        out.u32(is64 ? 0x19 : 0x1);
        out.u32(static_cast<uint32_t>(segmentSize + sects.size() * sectionSize));
        out.name16(name);
        out.word(is64, vmaddr);
        out.word(is64, vmsize);
        out.word(is64, fileoff);
        out.word(is64, filesize);
        out.u32(5);
        out.u32(5);
        out.u32(static_cast<uint32_t>(sects.size()));
        out.u32(0);
        for (size_t i = 0; i < sects.size(); ++i) {
            out.name16(sects[i].name);
            out.name16(sects[i].segment);
            out.word(is64, textVmaddr + offsets[i]);
            out.word(is64, sects[i].bytes.size());
            for (int k = 0; k < (is64 ? 8 : 7); ++k)
                out.u32(0);
        }
        ++ncmds;
    };
    auto sectionsOf = [&](const std::string& name, std::vector<MachOSection>* sects,
                          std::vector<uint64_t>* offsets) {
        for (size_t i = 0; i < sections.size(); ++i) {
            if (sections[i].segment == name) {
                sects->push_back(sections[i]);
                offsets->push_back(sectionOffsets[i]);
            }
        }
    };
    if (withText) {
        std::vector<MachOSection> sects;
        std::vector<uint64_t> offsets;
        sectionsOf("__TEXT", &sects, &offsets);
        segment("__TEXT", textVmaddr, textSize, 0, textSize, sects, offsets);
    }
    for (const auto& name : otherSegments) {
        std::vector<MachOSection> sects;
        std::vector<uint64_t> offsets;
        sectionsOf(name, &sects, &offsets);
        const uint64_t start = offsets.front() & ~uint64_t{15};
        const uint64_t end = offsets.back() + sects.back().bytes.size();
        segment(name, textVmaddr + start, end - start, start, end - start, sects, offsets);
    }
    segment("__LINKEDIT", textVmaddr + textSize, linkeditSize, linkeditFileoff, linkeditSize, {}, {});
    if (withSymtab) {
        out.u32(0x2);
        out.u32(24);
        out.u32(static_cast<uint32_t>(linkeditFileoff));
        out.u32(static_cast<uint32_t>(symbols.size()));
        out.u32(static_cast<uint32_t>(linkeditFileoff + table.bytes.size()));
        out.u32(static_cast<uint32_t>(strings.bytes.size()));
        ++ncmds;
        if (withDysymtab) {
            out.u32(0xB);
            out.u32(80);
            out.u32(globals);  // ilocalsym: locals follow the globals
            out.u32(locals);
            out.u32(0);  // iextdefsym
            out.u32(globals);
            for (int k = 0; k < 14; ++k)
                out.u32(0);
            ++ncmds;
        }
    }
    if (uuid) {
        out.u32(0x1B);
        out.u32(24);
        out.bytes.insert(out.bytes.end(), uuid->begin(), uuid->end());
        ++ncmds;
    }
    for (const auto& extra : extraCommands) {
        out.bytes.insert(out.bytes.end(), extra.begin(), extra.end());
        ++ncmds;
    }
    if (out.bytes.size() != headerSize + commandsSize)
        throw std::logic_error("Mach-O command sizes disagree");
    const uint32_t ncmdsValue = swapped ? __builtin_bswap32(ncmds) : ncmds;
    std::memcpy(out.bytes.data() + 16, &ncmdsValue, 4);

    MachOImage image;
    image.size_ = textSize + linkeditSize;
    void* base = mmap(nullptr, image.size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    image.base_ = static_cast<uint8_t*>(base);
    image.headerSize = headerSize;
    std::memcpy(image.base_, out.bytes.data(), out.bytes.size());
    for (size_t i = 0; i < sections.size(); ++i) {
        std::memcpy(image.base_ + sectionOffsets[i], sections[i].bytes.data(), sections[i].bytes.size());
    }
    // (An image without symbols has empty tables.)
    if (!table.bytes.empty())
        std::memcpy(image.base_ + textSize, table.bytes.data(), table.bytes.size());
    if (!strings.bytes.empty())
        std::memcpy(image.base_ + textSize + table.bytes.size(), strings.bytes.data(), strings.bytes.size());
    return image;
}

}  // namespace kcr::testing
