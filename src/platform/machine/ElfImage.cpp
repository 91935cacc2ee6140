#include "platform/machine/ElfImage.h"

#include <elf.h>

#include <cstring>

namespace plat::machine {

namespace {

// Bounds that keep a hostile image from making any walk long.
constexpr uint32_t kMaxProgramHeaders = 512;
constexpr uint64_t kMaxNoteBytes = 1 << 16;
constexpr uint64_t kMaxSymbols = 1 << 22;
constexpr uint64_t kMaxHashBuckets = 1 << 22;

template <class T>
bool read(const Task& task, uint64_t address, T* out) {
    return readMemory(task, address, out, sizeof(T)) == ReadResult::Ok;
}

struct Span {
    uint64_t start = 0;
    uint64_t end = 0;  // exclusive
    bool contains(uint64_t address, uint64_t length = 1) const {
        return address >= start && address < end && length <= end - address;
    }
};

// Dynamic entries hold link-time addresses in the file; the loader relocates
// most of them in place (but not the vDSO's). Accept either form.
uint64_t resolveDynamicAddress(uint64_t value, uint64_t bias, const Span& image) {
    if (image.contains(value))
        return value;
    if (value + bias >= value && image.contains(value + bias))
        return value + bias;
    return 0;
}

// Decodes one pointer of .eh_frame_hdr; 0 when the encoding is not one the
// loader's own tables use.
uint64_t readEncodedPointer(const Task& task, uint64_t address, uint8_t encoding, uint64_t dataBase) {
    uint64_t value = 0;
    switch (encoding & 0x0F) {
        case 0x00:
        case 0x04: {
            uint64_t v;
            if (!read(task, address, &v))
                return 0;
            value = v;
            break;
        }
        case 0x03: {
            uint32_t v;
            if (!read(task, address, &v))
                return 0;
            value = v;
            break;
        }
        case 0x0B: {
            int32_t v;
            if (!read(task, address, &v))
                return 0;
            value = static_cast<uint64_t>(static_cast<int64_t>(v));
            break;
        }
        case 0x0C: {
            int64_t v;
            if (!read(task, address, &v))
                return 0;
            value = static_cast<uint64_t>(v);
            break;
        }
        default:
            return 0;
    }
    switch (encoding & 0x70) {
        case 0x00:
            return value;
        case 0x10:
            return address + value;
        case 0x30:
            return dataBase + value;
        default:
            return 0;
    }
}

void readBuildId(const Task& task, uint64_t address, uint64_t size, ElfImage* out) {
    if (size > kMaxNoteBytes)
        size = kMaxNoteBytes;
    uint64_t offset = 0;
    while (offset + sizeof(Elf64_Nhdr) <= size) {
        Elf64_Nhdr note;
        if (!read(task, address + offset, &note))
            return;
        uint64_t nameSize = (static_cast<uint64_t>(note.n_namesz) + 3) & ~3ull;
        uint64_t descSize = (static_cast<uint64_t>(note.n_descsz) + 3) & ~3ull;
        uint64_t name = address + offset + sizeof note;
        uint64_t next = offset + sizeof note + nameSize + descSize;
        if (next > size)
            return;
        char owner[4];
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && read(task, name, &owner) &&
            std::memcmp(owner, "GNU", 4) == 0 && note.n_descsz > 0 && note.n_descsz <= sizeof out->buildId) {
            if (readMemory(task, name + nameSize, out->buildId, note.n_descsz) == ReadResult::Ok) {
                out->buildIdLength = note.n_descsz;
            }
            return;
        }
        offset = next;
    }
}

uint64_t countFromGnuHash(const Task& task, uint64_t table) {
    uint32_t header[4];
    if (!read(task, table, &header))
        return 0;
    const uint64_t buckets = header[0], symbolOffset = header[1], bloomWords = header[2];
    if (buckets == 0 || buckets > kMaxHashBuckets || bloomWords > kMaxHashBuckets)
        return 0;
    const uint64_t bucketArray = table + 16 + bloomWords * 8;
    uint32_t highest = 0;
    uint32_t chunk[256];
    for (uint64_t i = 0; i < buckets; i += 256) {
        uint64_t n = buckets - i < 256 ? buckets - i : 256;
        if (readMemory(task, bucketArray + i * 4, chunk, n * 4) != ReadResult::Ok)
            return 0;
        for (uint64_t j = 0; j < n; ++j)
            highest = chunk[j] > highest ? chunk[j] : highest;
    }
    if (highest < symbolOffset)
        return symbolOffset;
    const uint64_t chains = bucketArray + buckets * 4;
    for (uint64_t index = highest; index < kMaxSymbols; ++index) {
        uint32_t hash;
        if (!read(task, chains + (index - symbolOffset) * 4, &hash))
            return 0;
        if (hash & 1)
            return index + 1;
    }
    return 0;
}

void readDynamic(const Task& task, uint64_t address, uint64_t size, uint64_t bias, const Span& image,
                 ElfImage* out) {
    uint64_t hash = 0, gnuHash = 0;
    const uint64_t count = size / sizeof(Elf64_Dyn);
    for (uint64_t i = 0; i < count && i < kMaxNoteBytes; ++i) {
        Elf64_Dyn entry;
        if (!read(task, address + i * sizeof entry, &entry) || entry.d_tag == DT_NULL)
            break;
        switch (entry.d_tag) {
            case DT_SYMTAB:
                out->symbolTable = resolveDynamicAddress(entry.d_un.d_ptr, bias, image);
                break;
            case DT_STRTAB:
                out->stringTable = resolveDynamicAddress(entry.d_un.d_ptr, bias, image);
                break;
            case DT_STRSZ:
                out->stringTableSize = entry.d_un.d_val;
                break;
            case DT_HASH:
                hash = resolveDynamicAddress(entry.d_un.d_ptr, bias, image);
                break;
            case DT_GNU_HASH:
                gnuHash = resolveDynamicAddress(entry.d_un.d_ptr, bias, image);
                break;
            default:
                break;
        }
    }
    uint32_t chainCount = 0;
    if (hash != 0 && read(task, hash + 4, &chainCount)) {
        out->symbolCount = chainCount;
    } else if (gnuHash != 0) {
        out->symbolCount = countFromGnuHash(task, gnuHash);
    }
    if (out->symbolCount > kMaxSymbols || out->symbolTable == 0 || out->stringTable == 0 ||
        !image.contains(out->stringTable, out->stringTableSize) ||
        !image.contains(out->symbolTable, out->symbolCount * sizeof(Elf64_Sym))) {
        out->symbolTable = out->stringTable = out->stringTableSize = out->symbolCount = 0;
    }
}

void readEhFrameHeader(const Task& task, const ElfImage& image, const Elf64_Phdr* loads, size_t loadCount,
                       ElfImage* out) {
    uint8_t header[4];
    if (!read(task, out->ehFrameHeader, &header) || header[0] != 1)
        return;
    uint64_t frame = readEncodedPointer(task, out->ehFrameHeader + 4, header[1], out->ehFrameHeader);
    for (size_t i = 0; frame != 0 && i < loadCount; ++i) {
        uint64_t start = loads[i].p_vaddr + image.loadBias;
        uint64_t end = start + loads[i].p_memsz;
        if (frame >= start && frame < end) {
            out->ehFrame = frame;
            out->ehFrameEnd = end;
        }
    }
}

}  // namespace

ElfResult parseElfImage(const Task& task, uint64_t headerAddress, ElfImage* out) {
    *out = ElfImage{};
    out->task = task;
    out->headerAddress = headerAddress;
    Elf64_Ehdr header;
    if (!read(task, headerAddress, &header))
        return ElfResult::Unreadable;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return ElfResult::Invalid;
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
        header.e_phnum > kMaxProgramHeaders) {
        return ElfResult::Invalid;
    }
    out->machine = header.e_machine;
    const uint64_t tableAddress = headerAddress + header.e_phoff;
    if (tableAddress < headerAddress)
        return ElfResult::Invalid;

    Elf64_Phdr loads[kMaxProgramHeaders];
    size_t loadCount = 0;
    Elf64_Phdr ehFrameHeader{}, dynamic{};
    Elf64_Phdr notes[16];
    size_t noteCount = 0;
    bool haveBias = false;
    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        if (!read(task, tableAddress + i * sizeof segment, &segment))
            return ElfResult::Unreadable;
        if (segment.p_type == PT_LOAD) {
            if (segment.p_vaddr + segment.p_memsz < segment.p_vaddr)
                return ElfResult::Invalid;
            loads[loadCount++] = segment;
            if (segment.p_offset == 0 && !haveBias) {
                out->loadBias = headerAddress - segment.p_vaddr;
                haveBias = true;
            }
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            ehFrameHeader = segment;
        } else if (segment.p_type == PT_DYNAMIC) {
            dynamic = segment;
        } else if (segment.p_type == PT_NOTE && noteCount < 16) {
            notes[noteCount++] = segment;
        }
    }
    if (!haveBias)
        return ElfResult::Invalid;

    Span span{headerAddress, headerAddress};
    for (size_t i = 0; i < loadCount; ++i) {
        uint64_t end = loads[i].p_vaddr + out->loadBias + loads[i].p_memsz;
        if (end < headerAddress)
            continue;
        if (end > span.end)
            span.end = end;
        if ((loads[i].p_flags & PF_W) == 0 && end - headerAddress > out->textSize) {
            out->textSize = end - headerAddress;
        }
    }
    for (size_t i = 0; i < noteCount && out->buildIdLength == 0; ++i) {
        readBuildId(task, notes[i].p_vaddr + out->loadBias, notes[i].p_memsz, out);
    }
    if (ehFrameHeader.p_type == PT_GNU_EH_FRAME) {
        out->ehFrameHeader = ehFrameHeader.p_vaddr + out->loadBias;
        out->ehFrameHeaderSize = ehFrameHeader.p_memsz;
        readEhFrameHeader(task, *out, loads, loadCount, out);
    }
    if (dynamic.p_type == PT_DYNAMIC) {
        readDynamic(task, dynamic.p_vaddr + out->loadBias, dynamic.p_memsz, out->loadBias, span, out);
    }
    return ElfResult::Ok;
}

namespace {

bool isCandidate(const Elf64_Sym& symbol) {
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    return symbol.st_shndx != SHN_UNDEF && symbol.st_shndx != SHN_ABS &&
           (type == STT_FUNC || type == STT_OBJECT || type == STT_GNU_IFUNC) && symbol.st_name != 0;
}

// Calls visit(index, symbol) for every symbol, 64 at a time; stops when it returns false.
template <class Visit>
void forEachSymbol(const ElfImage& image, Visit visit) {
    Elf64_Sym chunk[64];
    for (uint64_t first = 0; first < image.symbolCount; first += 64) {
        uint64_t n = image.symbolCount - first < 64 ? image.symbolCount - first : 64;
        if (readMemory(image.task, image.symbolTable + first * sizeof(Elf64_Sym), chunk,
                       n * sizeof(Elf64_Sym)) != ReadResult::Ok) {
            return;
        }
        for (uint64_t i = 0; i < n; ++i) {
            if (!visit(chunk[i]))
                return;
        }
    }
}

// Copies the NUL-terminated name at `offset` of the string table; false when
// it runs past the table or cannot be read. Long names are cut to fit.
bool copyName(const ElfImage& image, uint64_t offset, char* name, size_t capacity) {
    if (capacity == 0 || offset >= image.stringTableSize)
        return false;
    size_t length = 0;
    char chunk[64];
    while (offset < image.stringTableSize) {
        uint64_t n =
            image.stringTableSize - offset < sizeof chunk ? image.stringTableSize - offset : sizeof chunk;
        if (readMemory(image.task, image.stringTable + offset, chunk, n) != ReadResult::Ok)
            return false;
        for (uint64_t i = 0; i < n; ++i) {
            if (chunk[i] == '\0') {
                name[length] = '\0';
                return true;
            }
            if (length + 1 < capacity)
                name[length++] = chunk[i];
        }
        offset += n;
    }
    return false;  // no terminator inside the table
}

}  // namespace

bool findElfSymbol(const ElfImage& image, uint64_t address, char* name, size_t nameCapacity,
                   uint64_t* start) {
    if (image.symbolCount == 0)
        return false;
    bool found = false;
    Elf64_Sym best{};
    uint64_t bestAddress = 0;
    forEachSymbol(image, [&](const Elf64_Sym& symbol) {
        if (!isCandidate(symbol))
            return true;
        uint64_t value = symbol.st_value + image.loadBias;
        if (value <= address && (!found || value > bestAddress)) {
            found = true;
            best = symbol;
            bestAddress = value;
        }
        return true;
    });
    if (!found || !copyName(image, best.st_name, name, nameCapacity))
        return false;
    *start = bestAddress;
    return true;
}

bool findElfSymbolByName(const ElfImage& image, const char* name, uint64_t* address) {
    bool found = false;
    size_t length = std::strlen(name);
    char candidate[256];
    if (length >= sizeof candidate)
        return false;
    forEachSymbol(image, [&](const Elf64_Sym& symbol) {
        if (!isCandidate(symbol) || !copyName(image, symbol.st_name, candidate, sizeof candidate))
            return true;
        if (std::strcmp(candidate, name) == 0) {
            *address = symbol.st_value + image.loadBias;
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

}  // namespace plat::machine
