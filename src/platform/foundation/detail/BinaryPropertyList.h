// Pieces of the binary property-list format shared by the property-list
// writer and reader and by the keyed archiver, which writes and reads its
// archives in this format without building a value tree first.
//
// A list is "bplist00", the objects one after another, a table of their
// offsets and a 32-byte trailer (offset size, reference size, object count,
// top object, table offset). Containers refer to objects by their index in
// the table, written big-endian in the reference size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/foundation/Text.h"

namespace plat::detail::bplist {

inline void putBigEndian(std::string& out, uint64_t v, std::size_t bytes) {
    char buf[8];
    for (std::size_t i = 0; i < bytes; ++i)
        buf[i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xFF);
    out.append(buf, bytes);
}

inline uint64_t bigEndian(const char* p, std::size_t n) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = v << 8 | static_cast<uint8_t>(p[i]);
    return v;
}

// The fewest of 1, 2, 4 or 8 bytes that hold v.
inline std::size_t bytesFor(uint64_t v) {
    if (v <= 0xFF)
        return 1;
    if (v <= 0xFFFF)
        return 2;
    if (v <= 0xFFFFFFFFu)
        return 4;
    return 8;
}

inline void writeUnsigned(std::string& out, uint64_t u) {
    if (u > static_cast<uint64_t>(INT64_MAX)) {
        out += '\x14';
        putBigEndian(out, 0, 8);
        putBigEndian(out, u, 8);
        return;
    }
    std::size_t n = bytesFor(u);
    out += static_cast<char>(0x10 | (n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3));
    putBigEndian(out, u, n);
}

inline void writeSigned(std::string& out, int64_t i) {
    if (i < 0) {
        out += '\x13';
        putBigEndian(out, static_cast<uint64_t>(i), 8);
    } else {
        writeUnsigned(out, static_cast<uint64_t>(i));
    }
}

// A type nibble and an element count (inline below 15, else an integer).
inline void marker(std::string& out, uint8_t type, uint64_t count) {
    if (count < 15) {
        out += static_cast<char>(type << 4 | count);
        return;
    }
    out += static_cast<char>(type << 4 | 0xF);
    writeUnsigned(out, count);
}

inline void writeDouble(std::string& out, uint8_t markerByte, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    out += static_cast<char>(markerByte);
    putBigEndian(out, bits, 8);
}

inline bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// ASCII text as single bytes, anything else as UTF-16.
inline void writeString(std::string& out, std::string_view s) {
    if (isASCII(s)) {
        marker(out, 0x5, s.size());
        out += s;
        return;
    }
    std::u16string units = text::toUTF16(s);
    marker(out, 0x6, units.size());
    for (char16_t u : units)
        putBigEndian(out, u, 2);
}

inline void writeUID(std::string& out, uint64_t uid) {
    std::size_t n = bytesFor(uid);
    out += static_cast<char>(0x80 | (n - 1));
    putBigEndian(out, uid, n);
}

// The offset table and trailer that end a list of `offsets.size()` objects
// whose table starts at out.size(), with object 0 on top.
template <class Offsets>
void writeTrailer(std::string& out, const Offsets& offsets, std::size_t refSize) {
    uint64_t tableOffset = out.size();
    std::size_t offsetSize = bytesFor(tableOffset);
    for (uint64_t o : offsets)
        putBigEndian(out, o, offsetSize);
    out.append(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    putBigEndian(out, offsets.size(), 8);
    putBigEndian(out, 0, 8);
    putBigEndian(out, tableOffset, 8);
}

}  // namespace plat::detail::bplist
