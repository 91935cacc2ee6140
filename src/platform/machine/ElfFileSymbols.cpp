#include "platform/machine/ElfFileSymbols.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plat::machine {

namespace {

// Bounds that keep a corrupt file from making load() costly.
constexpr uint64_t kMaxSymbols = uint64_t{1} << 24;
constexpr uint64_t kMaxNoteBytes = 1 << 16;

class File {
  public:
    explicit File(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0)
            (void)close(fd_);  // read only: closing loses nothing
    }
    int fd() const { return fd_; }
    uint64_t size() const {
        struct stat info {};
        return fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)
                   ? static_cast<uint64_t>(info.st_size)
                   : 0;
    }
    bool read(uint64_t offset, void* out, uint64_t length) const {
        auto* bytes = static_cast<char*>(out);
        while (length > 0) {
            ssize_t n = pread(fd_, bytes, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            bytes += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<uint64_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

bool inFile(uint64_t offset, uint64_t length, uint64_t fileSize) {
    return offset <= fileSize && length <= fileSize - offset;
}

// The file's GNU build ID, from its note sections; empty when it has none.
std::vector<uint8_t> fileBuildId(const File& file, const std::vector<Elf64_Shdr>& sections,
                                 uint64_t fileSize) {
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_NOTE || section.sh_size > kMaxNoteBytes ||
            !inFile(section.sh_offset, section.sh_size, fileSize))
            continue;
        std::vector<uint8_t> notes(section.sh_size);
        if (!file.read(section.sh_offset, notes.data(), notes.size()))
            continue;
        uint64_t at = 0;
        while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
            Elf64_Nhdr note;
            std::memcpy(&note, notes.data() + at, sizeof note);
            const uint64_t name = at + sizeof note;
            const uint64_t desc = name + ((uint64_t{note.n_namesz} + 3) & ~uint64_t{3});
            const uint64_t next = desc + ((uint64_t{note.n_descsz} + 3) & ~uint64_t{3});
            if (next > notes.size() || next <= at)
                break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(notes.data() + name, "GNU", 4) == 0) {
                return std::vector<uint8_t>(
                    notes.begin() + static_cast<std::ptrdiff_t>(desc),
                    notes.begin() + static_cast<std::ptrdiff_t>(desc + note.n_descsz));
            }
            at = next;
        }
    }
    return {};
}

bool isCandidate(const Elf64_Sym& symbol) {
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    return symbol.st_shndx != SHN_UNDEF && symbol.st_shndx != SHN_ABS &&
           (type == STT_FUNC || type == STT_OBJECT || type == STT_GNU_IFUNC) && symbol.st_name != 0;
}

}  // namespace

std::unique_ptr<ElfFileSymbols> ElfFileSymbols::load(const char* path, const ElfImage& image) {
    if (path == nullptr || path[0] != '/' || !image.is64 || image.bigEndian)
        return nullptr;
    File file(path);
    const uint64_t fileSize = file.size();
    Elf64_Ehdr header{};
    if (fileSize == 0 || !file.read(0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_machine != image.machine ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
        !inFile(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), fileSize))
        return nullptr;
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!file.read(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
        return nullptr;

    // Another build of the same path is no source of names for this one.
    if (image.buildIdLength != 0) {
        const std::vector<uint8_t> id = fileBuildId(file, sections, fileSize);
        if (!id.empty() && (id.size() != image.buildIdLength ||
                            std::memcmp(id.data(), image.buildId, image.buildIdLength) != 0))
            return nullptr;
    }

    const Elf64_Shdr* symtab = nullptr;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type == SHT_SYMTAB) {
            symtab = &section;
            break;
        }
    }
    if (symtab == nullptr || symtab->sh_entsize != sizeof(Elf64_Sym) || symtab->sh_link >= sections.size())
        return nullptr;
    const Elf64_Shdr& strtab = sections[symtab->sh_link];
    const uint64_t symbolCount = symtab->sh_size / sizeof(Elf64_Sym);
    if (strtab.sh_type != SHT_STRTAB || symbolCount == 0 || symbolCount > kMaxSymbols ||
        !inFile(symtab->sh_offset, symtab->sh_size, fileSize) ||
        !inFile(strtab.sh_offset, strtab.sh_size, fileSize) || strtab.sh_size == 0)
        return nullptr;

    std::vector<Elf64_Sym> symbols(symbolCount);
    if (!file.read(symtab->sh_offset, symbols.data(), symbolCount * sizeof(Elf64_Sym)))
        return nullptr;
    std::unique_ptr<ElfFileSymbols> result(new ElfFileSymbols);
    result->entries_.reserve(symbolCount);
    for (const Elf64_Sym& symbol : symbols) {
        if (!isCandidate(symbol) || symbol.st_name >= strtab.sh_size)
            continue;
        result->entries_.push_back(Entry{symbol.st_value + image.loadBias, symbol.st_name});
    }
    if (result->entries_.empty())
        return nullptr;
    // By address; of several symbols at one address the first of the file
    // is kept.
    std::stable_sort(result->entries_.begin(), result->entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.address < b.address; });
    result->entries_.erase(std::unique(result->entries_.begin(), result->entries_.end(),
                                       [](const Entry& a, const Entry& b) { return a.address == b.address; }),
                           result->entries_.end());
    result->entries_.shrink_to_fit();

    const uint64_t page = pageSize();
    const uint64_t mapStart = strtab.sh_offset & ~(page - 1);
    const uint64_t mapLength = strtab.sh_offset + strtab.sh_size - mapStart;
    void* mapping = mmap(nullptr, mapLength, PROT_READ, MAP_PRIVATE, file.fd(), static_cast<off_t>(mapStart));
    if (mapping == MAP_FAILED)
        return nullptr;
    result->mapping_ = mapping;
    result->mappingLength_ = mapLength;
    result->stringsAddress_ = reinterpret_cast<uint64_t>(mapping) + (strtab.sh_offset - mapStart);
    result->stringsSize_ = strtab.sh_size;
    return result;
}

ElfFileSymbols::~ElfFileSymbols() {
    if (mapping_ != nullptr)
        (void)munmap(mapping_, mappingLength_);  // our own mapping: cannot fail
}

bool ElfFileSymbols::find(uint64_t address, char* name, size_t nameCapacity, uint64_t* start) const {
    if (nameCapacity == 0 || entries_.empty() || address < entries_.front().address)
        return false;
    // The last entry not above the address.
    size_t low = 0, high = entries_.size();
    while (high - low > 1) {
        const size_t middle = low + (high - low) / 2;
        if (entries_[middle].address <= address)
            low = middle;
        else
            high = middle;
    }
    const Entry& entry = entries_[low];
    // The name, read in pieces that never cross a page of the mapping.
    uint64_t offset = entry.nameOffset;
    size_t length = 0;
    char piece[64];
    while (offset < stringsSize_) {
        const uint64_t at = stringsAddress_ + offset;
        uint64_t n = sizeof piece - (at % sizeof piece);
        if (n > stringsSize_ - offset)
            n = stringsSize_ - offset;
        if (readMemory(Task::self(), at, piece, n) != ReadResult::Ok)
            return false;
        for (uint64_t i = 0; i < n; ++i) {
            if (piece[i] == '\0') {
                name[length] = '\0';
                *start = entry.address;
                return true;
            }
            if (length + 1 < nameCapacity)
                name[length++] = piece[i];
        }
        offset += n;
    }
    return false;  // no terminator inside the table
}

}  // namespace plat::machine
