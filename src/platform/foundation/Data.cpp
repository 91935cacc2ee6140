#include "platform/foundation/Data.h"
#include "platform/foundation/Text.h"

#include <array>
#include <cstring>
#include <functional>

namespace plat {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Sextet value of every byte; kInvalid for bytes outside the alphabet, kPad for "=".
constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kPad = 0xFE;

constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(kBase64Alphabet[i])] = i;
    table['='] = kPad;
    return table;
}
constexpr std::array<uint8_t, 256> kDecode = makeDecodeTable();

// The two characters of every 12-bit value, as they lie in memory: one
// look-up per half of a 3-byte group.
constexpr std::array<std::array<char, 2>, 4096> makePairTable() {
    std::array<std::array<char, 2>, 4096> table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = {kBase64Alphabet[i >> 6], kBase64Alphabet[i & 0x3F]};
    return table;
}
constexpr std::array<std::array<char, 2>, 4096> kPairs = makePairTable();

// The sextet of every byte already shifted to its place in a group of four
// characters (`shift` 18, 12, 6 or 0); bytes that are not alphabet characters
// carry the top bit, so one test on the combined group finds them.
constexpr uint32_t kNotSextet = 0x80000000u;
constexpr std::array<uint32_t, 256> makeShiftedTable(unsigned shift) {
    std::array<uint32_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = kDecode[i] < 64 ? uint32_t(kDecode[i]) << shift : kNotSextet;
    return table;
}
constexpr std::array<uint32_t, 256> kShifted18 = makeShiftedTable(18);
constexpr std::array<uint32_t, 256> kShifted12 = makeShiftedTable(12);
constexpr std::array<uint32_t, 256> kShifted6 = makeShiftedTable(6);
constexpr std::array<uint32_t, 256> kShifted0 = makeShiftedTable(0);

// Encodes whole 3-byte groups of [in, in + length) (length a multiple of 3).
char* encodeGroups(const uint8_t* in, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; i += 3) {
        const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(out, kPairs[v >> 12].data(), 2);
        std::memcpy(out + 2, kPairs[v & 0xFFF].data(), 2);
        out += 4;
    }
    return out;
}

// Encodes the final 1 or 2 bytes with "=" padding.
char* encodeTail(const uint8_t* in, std::size_t length, char* out) {
    if (length == 0)
        return out;
    uint32_t v = uint32_t(in[0]) << 16;
    if (length == 2)
        v |= uint32_t(in[1]) << 8;
    out[0] = kBase64Alphabet[v >> 18];
    out[1] = kBase64Alphabet[(v >> 12) & 0x3F];
    out[2] = length == 2 ? kBase64Alphabet[(v >> 6) & 0x3F] : '=';
    out[3] = '=';
    return out + 4;
}

std::string_view lineEnding(unsigned options) {
    bool cr = options & Data::Base64EncodingEndLineWithCarriageReturn;
    bool lf = options & Data::Base64EncodingEndLineWithLineFeed;
    if (cr && !lf)
        return "\r";
    if (lf && !cr)
        return "\n";
    return "\r\n";
}

std::size_t lineLength(unsigned options) {
    if (options & Data::Base64Encoding64CharacterLineLength)
        return 64;
    if (options & Data::Base64Encoding76CharacterLineLength)
        return 76;
    return 0;
}

// Decodes whole groups of four alphabet characters from [p, p + n) into `out`
// while they last; returns the number of characters consumed (a multiple of 4)
// and advances `out` past the bytes written. Stops at the first group holding
// anything else ("=", a line break, a character outside the alphabet).
std::size_t decodeGroups(const uint8_t* p, std::size_t n, uint8_t*& out) {
    std::size_t i = 0;
    uint8_t* w = out;
    for (; i + 4 <= n; i += 4) {
        const uint32_t v =
            kShifted18[p[i]] | kShifted12[p[i + 1]] | kShifted6[p[i + 2]] | kShifted0[p[i + 3]];
        if (v & kNotSextet)
            break;
        w[0] = uint8_t(v >> 16);
        w[1] = uint8_t(v >> 8);
        w[2] = uint8_t(v);
        w += 3;
    }
    out = w;
    return i;
}

// Bytes held by the last, partial group of 2 or 3 sextets (`count` of them,
// most recent in the low bits of `acc`); a lone sextet carries too few bits.
bool flushGroup(uint32_t acc, int count, uint8_t*& out) {
    if (count == 1)
        return false;
    if (count >= 2)
        *out++ = uint8_t(acc >> (6 * count - 8));
    if (count == 3)
        *out++ = uint8_t(acc >> 2);
    return true;
}

// Strict form: only alphabet characters, length a multiple of 4, and at most
// two "=" that end the text and complete a group of 2 or 3 characters. The
// output is sized exactly before decoding.
std::optional<Data> decodeStrict(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    // With a length that is a multiple of 4, one "=" leaves a last group of 3
    // characters and two leave 2.
    const std::size_t body = text.size() - padding;
    const std::size_t whole = body / 4 * 4;
    const std::size_t rest = body - whole;
    std::vector<uint8_t> out(whole / 4 * 3 + (rest ? rest - 1 : 0));
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    uint8_t* w = out.data();
    if (decodeGroups(p, whole, w) != whole)
        return std::nullopt;
    uint32_t acc = 0;
    for (std::size_t i = whole; i < body; ++i) {
        const uint8_t s = kDecode[p[i]];
        if (s & 0xC0)
            return std::nullopt;
        acc = (acc << 6) | s;
    }
    if (!flushGroup(acc, static_cast<int>(rest), w))
        return std::nullopt;
    return Data(std::move(out));
}

// Lenient form: characters outside the alphabet are skipped; "=" ends the
// current group, so missing padding and concatenated encodings both decode.
// Runs of clean groups take the fast path; the rest goes one character at a
// time. The output never exceeds 3 bytes per 4 characters.
std::optional<Data> decodeLenient(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::vector<uint8_t> out(n / 4 * 3 + 2);
    uint8_t* w = out.data();
    uint32_t acc = 0;
    int count = 0;
    std::size_t i = 0;
    while (i < n) {
        if (count == 0) {
            i += decodeGroups(p + i, n - i, w);
            if (i == n)
                break;
        }
        const uint8_t s = kDecode[p[i++]];
        if (s < 64) {
            acc = (acc << 6) | s;
            if (++count == 4) {
                w[0] = uint8_t(acc >> 16);
                w[1] = uint8_t(acc >> 8);
                w[2] = uint8_t(acc);
                w += 3;
                acc = 0;
                count = 0;
            }
        } else if (s == kPad) {
            if (!flushGroup(acc, count, w))
                return std::nullopt;
            acc = 0;
            count = 0;
        }
    }
    if (!flushGroup(acc, count, w))
        return std::nullopt;
    out.resize(static_cast<std::size_t>(w - out.data()));
    return Data(std::move(out));
}

void appendHexGroup(std::string& out, const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        text::appendHexByte(out, bytes[i]);
}

}  // namespace

Data::Data(const void* bytes, std::size_t length) {
    append(bytes, length);
}

void Data::append(const void* bytes, std::size_t length) {
    if (length == 0)
        return;
    const auto* p = static_cast<const uint8_t*>(bytes);
    // The source may lie inside this buffer (data.append(data)), and growing
    // the buffer moves it: remember it by offset.
    const uint8_t* begin = bytes_.data();
    std::less_equal<const uint8_t*> le;
    bool inside = !bytes_.empty() && le(begin, p) && !le(begin + bytes_.size(), p);
    std::size_t offset = inside ? static_cast<std::size_t>(p - begin) : 0;
    std::size_t oldLength = bytes_.size();
    bytes_.resize(oldLength + length);
    std::memmove(bytes_.data() + oldLength, inside ? bytes_.data() + offset : p, length);
}

std::string Data::base64EncodedString(unsigned options) const {
    const std::size_t n = bytes_.size();
    const std::size_t encodedLength = (n + 2) / 3 * 4;
    const std::size_t line = lineLength(options);
    const std::string_view eol = lineEnding(options);
    const std::size_t lines = line ? (encodedLength + line - 1) / line : 1;
    std::string out;
    out.resize(encodedLength + (lines > 1 ? (lines - 1) * eol.size() : 0));
    char* w = out.data();
    const uint8_t* in = bytes_.data();
    const std::size_t whole = n / 3 * 3;
    if (line == 0) {
        w = encodeGroups(in, whole, w);
    } else {
        // Both line lengths are multiples of 4, so a line is a whole number of groups.
        const std::size_t bytesPerLine = line / 4 * 3;
        for (std::size_t done = 0; done < whole; done += bytesPerLine) {
            if (done) {
                std::memcpy(w, eol.data(), eol.size());
                w += eol.size();
            }
            w = encodeGroups(in + done, std::min(bytesPerLine, whole - done), w);
        }
        if (whole != n && whole != 0 && whole % bytesPerLine == 0) {
            std::memcpy(w, eol.data(), eol.size());
            w += eol.size();
        }
    }
    encodeTail(in + whole, n - whole, w);
    return out;
}

std::optional<Data> Data::fromBase64(std::string_view text, unsigned options) {
    if (options & Base64DecodingIgnoreUnknownCharacters)
        return decodeLenient(text);
    return decodeStrict(text);
}

std::string Data::hexString() const {
    std::string out;
    out.reserve(bytes_.size() * 2);
    appendHexGroup(out, bytes_.data(), bytes_.size());
    return out;
}

std::optional<Data> Data::fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = text::hexDigitValue(hex[2 * i]), lo = text::hexDigitValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return Data(std::move(out));
}

std::string Data::description() const {
    const std::size_t n = bytes_.size();
    std::string out = "{length = " + std::to_string(n) + ", bytes = 0x";
    if (n <= 24) {
        appendHexGroup(out, bytes_.data(), n);
    } else {
        // Long data shows its first 16 and last 8 bytes in groups of four.
        for (std::size_t i = 0; i < 16; i += 4) {
            appendHexGroup(out, bytes_.data() + i, 4);
            out += ' ';
        }
        out += "... ";
        for (std::size_t i = n - 8; i < n; i += 4) {
            appendHexGroup(out, bytes_.data() + i, 4);
            out += ' ';
        }
    }
    out += '}';
    return out;
}

std::size_t Data::hash() const {
    return std::hash<std::string_view>()(view());
}

}  // namespace plat
