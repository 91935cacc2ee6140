// The binary store's file format: constants, the little-endian byte writer and
// the bounds-checked reader, and the checksummed sections the file is made of.
// What the bytes mean (values, objects) lives in BinaryValueCoding.h and the
// store's file reader and writer.
//
// File layout (integers little-endian; "varint" is LEB128, signed ones
// zig-zag encoded):
//
//   magic[8] | u32 format version |
//   metadata section | objects section            (and nothing after)
//   section    = u64 length | u32 CRC-32 of the bytes | bytes
//   metadata   = one tagged value: a dictionary
//   objects    = entity table: varint n, n names (varint length + UTF-8)
//                blocks:       varint n, n blocks
//                counters:     varint n, n × (root entity name, varint last key)
//   block      = varint entity index | varint n, n columns | varint n, n rows
//   column     = name | u8 kind (0 attribute, 1 to-one, 2 to-many,
//                3 ordered to-many) | attributes: varint attribute type
//   row        = varint primary key | varint version | one slot per column
//   slot       = attribute: tagged value (transformable: Null or Transformed)
//                to-one: Null or Ref; to-many: varint n, n × (entity index, key)
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

namespace plat::coredata::binary {

// 0x89 keeps the file from reading as text (no JSON document starts with
// it); CR LF, 0x1A and LF reveal line-ending conversions.
constexpr std::array<uint8_t, 8> kMagic = {0x89, 'K', 'B', 'S', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderSize = kMagic.size() + 4;
constexpr std::size_t kSectionHeaderSize = 12;
constexpr std::size_t kMaxDepth = 256;

enum Tag : uint8_t {
    TagNull = 0,
    TagFalse,
    TagTrue,
    TagInt,
    TagUInt,
    TagReal,
    TagDecimal,
    TagString,
    TagData,
    TagDate,
    TagArray,
    TagDictionary,
    TagSet,
    TagUUID,
    TagURL,
    TagArchived,     // a Coding object as a keyed archive
    TagTransformed,  // a transformable attribute's stored bytes
    TagRef,          // a to-one destination: entity index, primary key
};

enum ColumnKind : uint8_t { ColumnAttribute = 0, ColumnToOne, ColumnToMany, ColumnOrderedToMany };

// Why a file cannot be loaded: the error code and what is wrong.
struct Refusal {
    int64_t code;
    std::string reason;
};
[[noreturn]] void corrupt(std::string reason);

// A value the file format cannot hold.
struct Unstorable {
    ErrorPtr error;
};

class Writer {
  public:
    void u8(uint8_t v) { out_.push_back(v); }
    void fixed(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void varint(uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<uint8_t>(v) | 0x80);
            v >>= 7;
        }
        out_.push_back(static_cast<uint8_t>(v));
    }
    void signedVarint(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
    void real(double d) { fixed(std::bit_cast<uint64_t>(d), 8); }
    void bytes(const void* p, std::size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void text(std::string_view s) {
        varint(s.size());
        bytes(s.data(), s.size());
    }
    // Appends body as a section: its length, its CRC-32, its bytes.
    void section(const Writer& body);
    std::vector<uint8_t>& buffer() { return out_; }

  private:
    std::vector<uint8_t> out_;
};

// Reads with bounds checks; every failure is a Refusal naming what was read.
class Reader {
  public:
    Reader(const uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    bool atEnd() const { return p_ == end_; }
    const uint8_t* take(uint64_t n, const char* what) {
        if (n > remaining())
            corrupt(std::string("truncated ") + what);
        const uint8_t* at = p_;
        p_ += n;
        return at;
    }
    uint8_t u8(const char* what) { return *take(1, what); }
    uint64_t fixed(int width, const char* what) {
        const uint8_t* b = take(width, what);
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= uint64_t{b[i]} << (8 * i);
        return v;
    }
    uint64_t varint(const char* what) {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = u8(what);
            if (shift == 63 && b > 1)
                corrupt(std::string("number out of range in ") + what);
            v |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80))
                return v;
        }
        corrupt(std::string("number out of range in ") + what);
    }
    int64_t signedVarint(const char* what) {
        uint64_t u = varint(what);
        return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
    }
    double real(const char* what) { return std::bit_cast<double>(fixed(8, what)); }
    std::string_view text(const char* what) {
        uint64_t n = varint(what);
        return {reinterpret_cast<const char*>(take(n, what)), static_cast<std::size_t>(n)};
    }
    // A count of items of at least minBytes each, so that a damaged count
    // can never make the reader reserve more than the file could hold.
    std::size_t count(const char* what, std::size_t minBytes = 1) {
        uint64_t n = varint(what);
        if (n > remaining() / minBytes)
            corrupt(std::string("impossible count of ") + what);
        return static_cast<std::size_t>(n);
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// The next section of file, its checksum verified.
Reader readSection(Reader& file, const char* name);
// Checks the magic prefix and the version; leaves file at the first section.
void readHeader(Reader& file);

}  // namespace plat::coredata::binary
