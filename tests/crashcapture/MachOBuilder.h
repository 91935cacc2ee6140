// Builds Mach-O images in page-aligned memory for the image readers' tests:
// 32- or 64-bit, native or swapped byte order, a __TEXT segment holding the
// header, load commands and sections, a __LINKEDIT segment with the symbol and
// string tables, and optional LC_DYSYMTAB and LC_UUID. The image is "loaded"
// where it was built, so its slide is (buffer - text vmaddr).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kcr::testing {

struct MachOSection {
    std::string segment = "__TEXT";
    std::string name;
    std::vector<uint8_t> bytes;
};

struct MachOSymbol {
    std::string name;
    uint64_t offset = 0;  // from the text vmaddr
    uint8_t type = 0x0F;  // N_SECT | N_EXT
    uint8_t sect = 1;
    uint16_t desc = 0;
    bool local = false;  // listed in the local range of LC_DYSYMTAB
};

class MachOImage {
  public:
    MachOImage() = default;
    MachOImage(MachOImage&& other) noexcept;
    MachOImage& operator=(MachOImage&&) = delete;
    ~MachOImage();
    uint64_t address() const { return reinterpret_cast<uint64_t>(base_); }
    uint8_t* bytes() const { return base_; }
    size_t size() const { return size_; }
    // Where the load commands start (after the header).
    uint8_t* commands() const;
    size_t headerSize = 0;

  private:
    friend struct MachOBuilder;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
};

struct MachOBuilder {
    bool is64 = true;
    bool swapped = false;
    uint32_t cputype = 0x0100000C;
    uint32_t cpusubtype = 0;
    uint64_t textVmaddr = 0x100000000;
    bool withText = true;  // emit the __TEXT segment command
    bool withDysymtab = true;
    bool withSymtab = true;
    std::optional<std::array<uint8_t, 16>> uuid;
    std::vector<MachOSection> sections;               // placed in __TEXT after the commands
    std::vector<MachOSymbol> symbols;                 // globals first, then locals, in table order
    std::vector<std::vector<uint8_t>> extraCommands;  // appended verbatim
    // The offset of each section's bytes from the image start, after build().
    std::vector<uint64_t> sectionOffsets;

    MachOImage build();
};

}  // namespace kcr::testing
