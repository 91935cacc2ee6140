#include "platform/coredata/detail/BinaryFormat.h"

#include <zlib.h>

#include <algorithm>

#include "platform/coredata/CoreDataErrors.h"

namespace plat::coredata::binary {
namespace {

uint32_t crc32Of(const uint8_t* bytes, std::size_t length) {
    // zlib takes lengths as uInt: feed sections larger than that in pieces.
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
        crc = ::crc32(crc, bytes, piece);
        bytes += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace

void corrupt(std::string reason) {
    throw Refusal{FileReadCorruptFileError, std::move(reason)};
}

void Writer::section(const Writer& body) {
    fixed(body.out_.size(), 8);
    fixed(crc32Of(body.out_.data(), body.out_.size()), 4);
    bytes(body.out_.data(), body.out_.size());
}

Reader readSection(Reader& file, const char* name) {
    uint64_t length = file.fixed(8, name);
    uint32_t checksum = static_cast<uint32_t>(file.fixed(4, name));
    const uint8_t* bytes = file.take(length, name);
    if (crc32Of(bytes, length) != checksum)
        corrupt(std::string("checksum mismatch in the ") + name);
    return Reader(bytes, length);
}

void readHeader(Reader& file) {
    if (file.remaining() < kMagic.size() || !std::equal(kMagic.begin(), kMagic.end(), file.take(8, "header")))
        corrupt("not a binary store file");
    uint32_t version = static_cast<uint32_t>(file.fixed(4, "header"));
    if (version != kFormatVersion)
        corrupt("format version " + std::to_string(version) + " is not supported");
}

}  // namespace plat::coredata::binary
