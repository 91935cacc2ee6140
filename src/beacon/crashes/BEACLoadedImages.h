// The images loaded in the running process, as the crash report formatter
// needs them to read the selector name a crashed thread was sending: each
// image's name, header address, load slide and identifier, a named section
// of it, and memory reads that never fault.
//
// BEACLoadedImages is the interface (tests install a fake);
// BEACProcessLoadedImages lists this process's ELF images. ELF images carry
// no selector-name section, so on Linux section() is always absent and the
// selector look-up finds nothing.
//
// Threads: implementations are called from the report-processing thread;
// the process implementation keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class BEACLoadedImages {
  public:
    struct Image {
        std::string name;  // the path the loader reports
        uint64_t headerAddress = 0;
        uint64_t slide = 0;
        // 32 lower-case hexadecimal digits of the image's 16-byte identifier
        // (the first 16 bytes of an ELF build ID), as crash reports carry it.
        std::optional<std::string> uuid;
    };
    struct Section {
        uint64_t address = 0;  // unslid, as the image's tables record it
        uint64_t size = 0;
    };

    virtual ~BEACLoadedImages() = default;
    virtual std::vector<Image> images() const = 0;
    virtual std::optional<Section> section(const Image& image, std::string_view segment,
                                           std::string_view section) const = 0;
    // Copies `length` bytes at `address`; false, without faulting, when any
    // byte cannot be read.
    virtual bool read(uint64_t address, void* destination, std::size_t length) const;

    // The provider the formatter uses (this process's images by default);
    // nullptr restores the default.
    static std::shared_ptr<const BEACLoadedImages> current();
    static void setCurrent(std::shared_ptr<const BEACLoadedImages> images);
};

class BEACProcessLoadedImages : public BEACLoadedImages {
  public:
    std::vector<Image> images() const override;
    std::optional<Section> section(const Image& image, std::string_view segment,
                                   std::string_view section) const override;
};
