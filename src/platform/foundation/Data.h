// Data: an immutable-by-convention byte buffer (the platform's data class),
// with base64 and hexadecimal forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class Data {
  public:
    enum Base64EncodingOptions : unsigned {
        Base64EncodingNone = 0,
        Base64Encoding64CharacterLineLength = 1u << 0,
        Base64Encoding76CharacterLineLength = 1u << 1,
        Base64EncodingEndLineWithCarriageReturn = 1u << 4,
        Base64EncodingEndLineWithLineFeed = 1u << 5,
    };
    enum Base64DecodingOptions : unsigned {
        Base64DecodingNone = 0,
        // Skip every character outside the base64 alphabet instead of failing.
        Base64DecodingIgnoreUnknownCharacters = 1u << 0,
    };

    Data() = default;
    explicit Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    Data(const void* bytes, std::size_t length);
    static Data fromString(std::string_view utf8) { return Data(utf8.data(), utf8.size()); }

    const uint8_t* bytes() const { return bytes_.data(); }
    std::size_t length() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    const std::vector<uint8_t>& vector() const { return bytes_; }
    std::vector<uint8_t>& mutableVector() { return bytes_; }
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }
    std::string toString() const { return std::string(view()); }
    void append(const void* bytes, std::size_t length);
    void append(const Data& other) { append(other.bytes(), other.length()); }

    // Standard alphabet with "=" padding. With a line-length option, lines are
    // broken after every 64 (or 76) output characters with CR LF (or only the
    // requested ending), and no line ending follows the last line. With both
    // length options, lines are 64 characters long.
    std::string base64EncodedString(unsigned options = Base64EncodingNone) const;
    // Strict by default: nullopt for characters outside the alphabet, lengths
    // that are not a multiple of 4, or "=" anywhere but as the last one or two
    // characters completing a group. With Base64DecodingIgnoreUnknownCharacters
    // every other character is skipped, "=" ends a group (so missing padding is
    // accepted), and only a group holding a single character gives nullopt.
    // The empty text decodes to empty data.
    static std::optional<Data> fromBase64(std::string_view text, unsigned options = Base64DecodingNone);

    // Lower-case hexadecimal digits, two per byte, nothing between them.
    std::string hexString() const;
    // Accepts upper or lower case; nullopt for odd lengths or non-hex characters.
    static std::optional<Data> fromHex(std::string_view hex);

    // "{length = 3, bytes = 0x010203}". Beyond 24 bytes only the first 16 and
    // the last 8 bytes are shown, in groups of four bytes each followed by a
    // blank: "{length = 32, bytes = 0x00010203 04050607 08090a0b 0c0d0e0f ...
    // 18191a1b 1c1d1e1f }" (on one line).
    std::string description() const;

    bool operator==(const Data& other) const = default;
    std::size_t hash() const;

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace plat
