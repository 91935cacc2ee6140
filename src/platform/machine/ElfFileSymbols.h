// The full symbol table (.symtab) of a loaded image, read from the image's
// file on disk: release builds keep their own functions there and not among
// the dynamic symbols (unless linked to export everything).
//
// load() runs at ordinary time: it checks that the file is the one loaded
// (the same build ID when both have one), sorts the file's function and
// object symbols into an index of its own and maps the file's string table
// read-only. find() is async-signal-safe: it searches the index and copies
// the name out of the mapping through readMemory(), so a file that was cut
// short since reads as "no name", never as a fault. The object never changes
// after load().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/machine/ElfImage.h"

namespace plat::machine {

class ElfFileSymbols {
  public:
    // Null when the file cannot be read, is not the loaded image, or has no
    // full symbol table (a stripped library).
    static std::unique_ptr<ElfFileSymbols> load(const char* path, const ElfImage& image);
    ~ElfFileSymbols();
    ElfFileSymbols(const ElfFileSymbols&) = delete;
    ElfFileSymbols& operator=(const ElfFileSymbols&) = delete;

    // The defined function or object symbol with the highest run-time
    // address not above `address`: its name (cut to fit, always terminated)
    // and start. False when there is none or its name cannot be read.
    bool find(uint64_t address, char* name, size_t nameCapacity, uint64_t* start) const;

    size_t symbolCount() const { return entries_.size(); }

  private:
    ElfFileSymbols() = default;

    struct Entry {
        uint64_t address;  // run time: value + load bias
        uint64_t nameOffset;
    };
    std::vector<Entry> entries_;  // by address, one per address
    void* mapping_ = nullptr;
    size_t mappingLength_ = 0;
    uint64_t stringsAddress_ = 0;  // the string table inside the mapping
    uint64_t stringsSize_ = 0;
};

}  // namespace plat::machine
