// The byte-level pieces of the binary property-list format ("bplist00"):
// big-endian integers, integer objects, the marker of a type and count, and
// the test that picks single-byte text over UTF-16. The property-list writer
// and the keyed archiver write with them, and so does any writer that must
// produce the keyed archiver's exact bytes for a shape it knows (the sync
// layer's quick writer of change values).
//
// Thread rules: pure functions of their arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace plat::bplist {

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

// Writers into a buffer measured beforehand (the keyed archiver and the
// change values' quick writer size a list first, then fill it): each
// returns the position after what it wrote.
// The sizes references and offsets take (1, 2 and 4 bytes) are written
// out; a list of a few hundred objects takes two bytes a reference.
inline uint8_t* putBigEndian(uint8_t* p, uint64_t v, std::size_t bytes) {
    switch (bytes) {
        case 1:
            *p = static_cast<uint8_t>(v);
            return p + 1;
        case 2:
            p[0] = static_cast<uint8_t>(v >> 8);
            p[1] = static_cast<uint8_t>(v);
            return p + 2;
        case 4:
            p[0] = static_cast<uint8_t>(v >> 24);
            p[1] = static_cast<uint8_t>(v >> 16);
            p[2] = static_cast<uint8_t>(v >> 8);
            p[3] = static_cast<uint8_t>(v);
            return p + 4;
        default:
            for (std::size_t i = 0; i < bytes; ++i)
                p[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
            return p + bytes;
    }
}

// An integer object's size: the smallest of 1, 2, 4, 8 bytes, or 16 for
// unsigned values above the signed range; negative values take 8.
inline std::size_t integerSize(uint64_t u, bool negative) {
    if (negative)
        return 9;
    return u > static_cast<uint64_t>(INT64_MAX) ? 17 : 1 + bytesFor(u);
}

inline uint8_t* putInteger(uint8_t* p, uint64_t u, bool negative) {
    if (negative) {
        *p++ = 0x13;
        return putBigEndian(p, u, 8);
    }
    if (u > static_cast<uint64_t>(INT64_MAX)) {
        *p++ = 0x14;
        p = putBigEndian(p, 0, 8);
        return putBigEndian(p, u, 8);
    }
    const std::size_t n = bytesFor(u);
    *p++ = static_cast<uint8_t>(0x10 | (n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3));
    return putBigEndian(p, u, n);
}

inline std::size_t markerSize(uint64_t count) {
    return count < 15 ? 1 : 1 + integerSize(count, false);
}

inline uint8_t* putMarker(uint8_t* p, uint8_t type, uint64_t count) {
    if (count < 15) {
        *p++ = static_cast<uint8_t>(type << 4 | count);
        return p;
    }
    *p++ = static_cast<uint8_t>(type << 4 | 0xF);
    return putInteger(p, count, false);
}

// The 32-byte trailer that ends a list: six unused bytes, the offset and
// reference sizes, the object count, object 0 on top, and where the offset
// table starts.
inline uint8_t* putTrailer(uint8_t* p, std::size_t offsetSize, std::size_t refSize, uint64_t objects,
                           uint64_t tableOffset) {
    std::memset(p, 0, 6);
    p += 6;
    *p++ = static_cast<uint8_t>(offsetSize);
    *p++ = static_cast<uint8_t>(refSize);
    p = putBigEndian(p, objects, 8);
    p = putBigEndian(p, 0, 8);
    return putBigEndian(p, tableOffset, 8);
}

// Whether the `n` bytes at `a` and `b` are the same: keys and names are
// short, and a call to memcmp costs more than comparing them with a few
// whole loads.
inline bool sameBytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8) {
        if (n > 16)
            return std::memcmp(a, b, n) == 0;
        uint64_t a0, b0, a1, b1;
        std::memcpy(&a0, a, 8);
        std::memcpy(&b0, b, 8);
        std::memcpy(&a1, a + n - 8, 8);
        std::memcpy(&b1, b + n - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n >= 4) {
        uint32_t a0, b0, a1, b1;
        std::memcpy(&a0, a, 4);
        std::memcpy(&b0, b, 4);
        std::memcpy(&a1, a + n - 4, 4);
        std::memcpy(&b1, b + n - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Eight bytes at a time: the high bits of every byte, or'ed together.
inline bool isASCII(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        high |= w;
    }
    for (; n > 0; ++p, --n)
        high |= static_cast<uint8_t>(*p);
    return (high & 0x8080808080808080ULL) == 0;
}

}  // namespace plat::bplist
