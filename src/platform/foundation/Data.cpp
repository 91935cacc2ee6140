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

// Encodes whole 3-byte groups of [in, in + length) (length a multiple of 3).
char* encodeGroups(const uint8_t* in, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        out[0] = kBase64Alphabet[v >> 18];
        out[1] = kBase64Alphabet[(v >> 12) & 0x3F];
        out[2] = kBase64Alphabet[(v >> 6) & 0x3F];
        out[3] = kBase64Alphabet[v & 0x3F];
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

// Collects sextets into bytes. A group of 2 or 3 sextets yields 1 or 2 bytes; a
// lone sextet carries too few bits for a byte and makes the input malformed.
class SextetSink {
  public:
    explicit SextetSink(std::vector<uint8_t>& out) : out_(out) {}
    void push(uint8_t sextet) {
        acc_ = (acc_ << 6) | sextet;
        if (++count_ == 4) {
            out_.push_back(uint8_t(acc_ >> 16));
            out_.push_back(uint8_t(acc_ >> 8));
            out_.push_back(uint8_t(acc_));
            acc_ = 0;
            count_ = 0;
        }
    }
    // Ends the current group; false when it held a single sextet.
    bool flush() {
        if (count_ == 1)
            return false;
        if (count_ >= 2)
            out_.push_back(uint8_t(acc_ >> (6 * count_ - 8)));
        if (count_ == 3)
            out_.push_back(uint8_t(acc_ >> 2));
        acc_ = 0;
        count_ = 0;
        return true;
    }
    int pending() const { return count_; }

  private:
    std::vector<uint8_t>& out_;
    uint32_t acc_ = 0;
    int count_ = 0;
};

// Strict form: only alphabet characters, length a multiple of 4, and at most
// two "=" that end the text and complete a group of 2 or 3 characters.
std::optional<Data> decodeStrict(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    std::string_view body = text.substr(0, text.size() - padding);
    std::vector<uint8_t> out;
    out.reserve(body.size() / 4 * 3 + 2);
    const auto* p = reinterpret_cast<const uint8_t*>(body.data());
    std::size_t whole = body.size() / 4 * 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        uint8_t a = kDecode[p[i]], b = kDecode[p[i + 1]], c = kDecode[p[i + 2]], d = kDecode[p[i + 3]];
        if ((a | b | c | d) & 0xC0)
            return std::nullopt;
        uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | d;
        out.push_back(uint8_t(v >> 16));
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    }
    SextetSink sink(out);
    for (std::size_t i = whole; i < body.size(); ++i) {
        uint8_t s = kDecode[p[i]];
        if (s & 0xC0)
            return std::nullopt;
        sink.push(s);
    }
    if (sink.pending() + padding != (padding ? 4u : 0u) || !sink.flush())
        return std::nullopt;
    return Data(std::move(out));
}

// Lenient form: characters outside the alphabet are skipped; "=" ends the
// current group, so missing padding and concatenated encodings both decode.
std::optional<Data> decodeLenient(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3 + 2);
    SextetSink sink(out);
    for (unsigned char ch : text) {
        uint8_t s = kDecode[ch];
        if (s < 64) {
            sink.push(s);
        } else if (s == kPad && !sink.flush()) {
            return std::nullopt;
        }
    }
    if (!sink.flush())
        return std::nullopt;
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
