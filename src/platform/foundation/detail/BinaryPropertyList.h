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
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/PropertyListBytes.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/Value.h"

namespace plat::detail::bplist {

using plat::bplist::bytesFor;
using plat::bplist::integerSize;
using plat::bplist::isASCII;
using plat::bplist::markerSize;
using plat::bplist::putBigEndian;
using plat::bplist::putInteger;
using plat::bplist::putMarker;

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

// Bounds-checked reading of a list's trailer and of single objects. Failures
// give nullopt and leave a reason in `why`.
class Reader {
  public:
    // Reads the trailer; false (with a reason) when the list is unusable.
    bool open(std::string_view s, const char*& why) {
        s_ = s;
        if (s_.size() < 8 + 32)
            return why = "Binary property list too short", false;
        std::string_view trailer = s_.substr(s_.size() - 32);
        offsetSize_ = static_cast<uint8_t>(trailer[6]);
        refSize_ = static_cast<uint8_t>(trailer[7]);
        count_ = bigEndian(trailer.data() + 8, 8);
        top_ = bigEndian(trailer.data() + 16, 8);
        tableOffset_ = bigEndian(trailer.data() + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return why = "Bad trailer", false;
        uint64_t tableRoom = s_.size() - 32;
        if (count_ == 0 || top_ >= count_ || tableOffset_ < 8 || tableOffset_ > tableRoom ||
            count_ > (tableRoom - tableOffset_) / offsetSize_)
            return why = "Bad trailer", false;
        if (refSize_ < 8 && count_ > (uint64_t{1} << (8 * refSize_)))
            return why = "Bad trailer", false;
        return true;
    }

    uint64_t objectCount() const { return count_; }
    uint64_t topObject() const { return top_; }
    uint64_t tableOffset() const { return tableOffset_; }
    std::string_view bytes() const { return s_; }

    // Whether [at, at + n) lies inside the object area.
    bool fits(uint64_t at, uint64_t n) const { return at <= tableOffset_ && n <= tableOffset_ - at; }

    // Where object `index` starts.
    std::optional<uint64_t> offsetOf(uint64_t index, const char*& why) const {
        if (index >= count_)
            return why = "Object reference out of range", std::nullopt;
        uint64_t offset = bigEndian(s_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
        if (offset < 8 || !fits(offset, 1))
            return why = "Object offset out of range", std::nullopt;
        return offset;
    }
    uint8_t markerAt(uint64_t offset) const { return static_cast<uint8_t>(s_[offset]); }

    // The element count that follows a marker; pos moves past it.
    std::optional<uint64_t> count(uint8_t markerByte, uint64_t& pos, const char*& why) const {
        uint64_t n = markerByte & 0xF;
        if (n != 0xF)
            return n;
        if (!fits(pos, 1))
            return why = "Truncated count", std::nullopt;
        auto m = static_cast<uint8_t>(s_[pos]);
        if ((m & 0xF0) != 0x10 || (m & 0xF) > 3)
            return why = "Bad count", std::nullopt;
        std::size_t bytes = std::size_t{1} << (m & 0xF);
        if (!fits(pos + 1, bytes))
            return why = "Truncated count", std::nullopt;
        n = bigEndian(s_.data() + pos + 1, bytes);
        pos += 1 + bytes;
        return n;
    }

    // A container's references: count and where they start, checked to fit.
    // Dictionaries hold twice `count` references, keys first.
    struct Container {
        uint64_t count = 0;
        uint64_t refs = 0;
    };
    std::optional<Container> container(uint64_t offset, const char*& why) const {
        const uint8_t m = markerAt(offset);
        const bool dict = (m >> 4) == 0xD;
        uint64_t pos = offset + 1;
        auto n = count(m, pos, why);
        if (!n)
            return std::nullopt;
        if (dict && *n > tableOffset_)
            return why = "Truncated dictionary", std::nullopt;
        const uint64_t refs = dict ? 2 * *n : *n;
        if (refs > tableOffset_ / refSize_ || !fits(pos, refs * refSize_))
            return why = "Truncated container", std::nullopt;
        return Container{*n, pos};
    }
    uint64_t refAt(const Container& c, uint64_t i) const {
        return bigEndian(s_.data() + c.refs + i * refSize_, refSize_);
    }

    // A UID object's value.
    std::optional<uint64_t> uid(uint64_t offset) const {
        const uint8_t m = markerAt(offset);
        std::size_t n = (m & 0xF) + 1;
        if ((m >> 4) != 0x8 || n > 8 || !fits(offset + 1, n))
            return std::nullopt;
        return bigEndian(s_.data() + offset + 1, n);
    }

    // A boolean, number, date, data or string object (markers 0x0 to 0x6).
    std::optional<Value> scalar(uint64_t offset, const char*& why) const {
        const uint8_t m = markerAt(offset);
        uint64_t pos = offset + 1;
        switch (m >> 4) {
            case 0x0:
                if (m == 0x08 || m == 0x09)
                    return Value(m == 0x09);
                return why = "Unsupported object type", std::nullopt;
            case 0x1:
                return integer(m, pos, why);
            case 0x2:
                if (m == 0x23 && fits(pos, 8))
                    return Value(doubleAt(pos));
                if (m == 0x22 && fits(pos, 4)) {
                    auto bits = static_cast<uint32_t>(bigEndian(s_.data() + pos, 4));
                    float f;
                    std::memcpy(&f, &bits, sizeof f);
                    return Value(static_cast<double>(f));
                }
                return why = "Bad real", std::nullopt;
            case 0x3:
                if (m != 0x33 || !fits(pos, 8))
                    return why = "Bad date", std::nullopt;
                return Value(Date(doubleAt(pos)));
            case 0x4: {
                auto n = count(m, pos, why);
                if (!n || !fits(pos, *n))
                    return why = "Truncated data", std::nullopt;
                return Value(Data(s_.data() + pos, *n));
            }
            case 0x5:
                return asciiString(m, pos, why);
            case 0x6:
                return utf16String(m, pos, why);
            default:
                return why = "Unsupported object type", std::nullopt;
        }
    }

  private:
    double doubleAt(uint64_t pos) const {
        uint64_t bits = bigEndian(s_.data() + pos, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    std::optional<Value> integer(uint8_t m, uint64_t pos, const char*& why) const {
        std::size_t n = std::size_t{1} << (m & 0xF);
        if ((m & 0xF) > 4 || !fits(pos, n))
            return why = "Bad integer", std::nullopt;
        if (n <= 8)
            return Value(static_cast<int64_t>(bigEndian(s_.data() + pos, n)));
        uint64_t high = bigEndian(s_.data() + pos, 8), low = bigEndian(s_.data() + pos + 8, 8);
        if (high == 0)
            return low > static_cast<uint64_t>(INT64_MAX) ? Value(low) : Value(static_cast<int64_t>(low));
        if (high == ~uint64_t{0} && low > static_cast<uint64_t>(INT64_MAX))
            return Value(static_cast<int64_t>(low));
        return why = "Integer out of range", std::nullopt;
    }

    std::optional<Value> asciiString(uint8_t m, uint64_t pos, const char*& why) const {
        auto n = count(m, pos, why);
        if (!n || !fits(pos, *n))
            return why = "Truncated string", std::nullopt;
        std::string_view bytes = s_.substr(pos, *n);
        if (isASCII(bytes))
            return Value(std::string(bytes));
        std::string out;
        out.reserve(*n * 2);
        for (char c : bytes) {
            auto b = static_cast<uint8_t>(c);
            if (b < 0x80) {
                out += c;
            } else {  // bytes above ASCII are read as Latin-1
                out += static_cast<char>(0xC0 | (b >> 6));
                out += static_cast<char>(0x80 | (b & 0x3F));
            }
        }
        return Value(std::move(out));
    }

    std::optional<Value> utf16String(uint8_t m, uint64_t pos, const char*& why) const {
        auto n = count(m, pos, why);
        if (!n || *n > tableOffset_ / 2 || !fits(pos, *n * 2))
            return why = "Truncated string", std::nullopt;
        std::u16string units(*n, u'\0');
        for (uint64_t i = 0; i < *n; ++i)
            units[i] = static_cast<char16_t>(bigEndian(s_.data() + pos + 2 * i, 2));
        auto utf8 = text::fromUTF16(units);
        if (!utf8)
            return why = "Invalid UTF-16 string", std::nullopt;
        return Value(std::move(*utf8));
    }

    std::string_view s_;
    uint8_t offsetSize_ = 0;
    uint8_t refSize_ = 0;
    uint64_t count_ = 0;
    uint64_t top_ = 0;
    uint64_t tableOffset_ = 0;
};

}  // namespace plat::detail::bplist
