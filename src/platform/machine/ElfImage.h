// A loaded ELF image read from task memory: its span, unwind tables, build ID
// and dynamic symbol table. Every read goes through readMemory(), so a
// truncated or hostile image yields an error, never a fault, a loop or a read
// out of bounds.
//
// parseElfImage() runs at ordinary time, when the loader reports an image;
// the record is plain data (no heap) and findElfSymbol() is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/machine/Memory.h"

namespace plat::machine {

struct ElfImage {
    Task task;
    uint64_t headerAddress = 0;  // where the ELF header is mapped (the PT_LOAD with offset 0)
    uint64_t loadBias = 0;       // added to the image's virtual addresses
    uint64_t textSize = 0;       // header .. end of the last non-writable PT_LOAD
    uint16_t machine = 0;        // e_machine
    bool is64 = true;
    bool bigEndian = false;
    // .eh_frame_hdr and the .eh_frame it points at (0 when absent); the
    // .eh_frame end is the end of the PT_LOAD that holds it.
    uint64_t ehFrameHeader = 0;
    uint64_t ehFrameHeaderSize = 0;
    uint64_t ehFrame = 0;
    uint64_t ehFrameEnd = 0;
    // The GNU build ID note's descriptor (length 0 when absent).
    uint8_t buildId[64] = {};
    uint32_t buildIdLength = 0;
    // The dynamic symbol table (0 when absent).
    uint64_t symbolTable = 0;
    uint64_t symbolCount = 0;
    uint64_t stringTable = 0;
    uint64_t stringTableSize = 0;

    bool containsAddress(uint64_t address) const {
        return address >= headerAddress && address - headerAddress < textSize;
    }
};

enum class ElfResult {
    Ok = 0,
    Unreadable,  // the header or program headers cannot be read
    Invalid,     // not an ELF image this reader understands
};

// Reads the image whose ELF header is at `headerAddress` in the task; only
// 64-bit little-endian images are understood.
ElfResult parseElfImage(const Task& task, uint64_t headerAddress, ElfImage* out);

// Finds the defined function or object symbol of the dynamic symbol table with
// the highest address not above `address`. Copies its name (cut to fit,
// always terminated) and reports its start. False when there is none or its
// name cannot be read.
bool findElfSymbol(const ElfImage& image, uint64_t address, char* name, size_t nameCapacity, uint64_t* start);

// Looks a defined symbol up by exact name; false when absent.
bool findElfSymbolByName(const ElfImage& image, const char* name, uint64_t* address);

}  // namespace plat::machine
