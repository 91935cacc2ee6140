#include "platform/foundation/UUID.h"
#include "platform/foundation/Random.h"
#include "platform/foundation/Text.h"

#include <cerrno>
#include <cstring>

namespace plat {

namespace {

bool isHyphenPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

}  // namespace

UUID::UUID() {
    random::fill(bytes_.data(), bytes_.size());
    bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
    bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        int v = text::hexDigitValue(text[i]);
        if (v < 0)
            return std::nullopt;
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | (nibble % 2 ? v : v << 4));
        ++nibble;
    }
    return UUID(bytes);
}

std::string UUID::UUIDString() const {
    // Written in place: the text is made for every identifier a store or a
    // sync event names, so no appends (each checking the capacity).
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(36, '-');
    std::size_t at = 0;
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            ++at;
        out[at++] = kDigits[bytes_[i] >> 4];
        out[at++] = kDigits[bytes_[i] & 0x0F];
    }
    return out;
}

std::size_t UUID::hash() const {
    // The bytes are random or externally chosen; mixing two halves is enough.
    uint64_t a, b;
    std::memcpy(&a, bytes_.data(), 8);
    std::memcpy(&b, bytes_.data() + 8, 8);
    return std::hash<uint64_t>()(a ^ (b * 0x9E3779B97F4A7C15ull));
}

}  // namespace plat
