// UUID: a 16-byte universally unique identifier, as a value type.
//
// A default-constructed UUID is a fresh random (version 4) one drawn from the
// process's random source (Random.h); fromBytes and fromString build a given one. The text
// form is the platform's: upper-case hexadecimal in 8-4-4-4-12 groups. UUIDs
// compare and hash by their bytes. All members may be called from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class UUID {
  public:
    using Bytes = std::array<uint8_t, 16>;

    // A new random version-4 UUID.
    UUID();
    static UUID random() { return UUID(); }
    static UUID fromBytes(const Bytes& bytes) { return UUID(bytes); }
    // Accepts exactly 36 characters: hexadecimal digits of either case in
    // 8-4-4-4-12 groups separated by "-". nullopt for anything else.
    static std::optional<UUID> fromString(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    // "0F8FAD5B-D9CB-469F-A165-70867728950E".
    std::string UUIDString() const;

    auto operator<=>(const UUID&) const = default;
    bool operator==(const UUID&) const = default;
    std::size_t hash() const;

  private:
    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    Bytes bytes_;
};

}  // namespace plat

template <>
struct std::hash<plat::UUID> {
    std::size_t operator()(const plat::UUID& uuid) const { return uuid.hash(); }
};
