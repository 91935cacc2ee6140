// A generic single-value coding interface: a record that can be encoded or
// decoded hands its value to an Encoder or reads it from a Decoder without
// knowing the concrete format (a JSON tree, a property list, ...).
//
// Every operation that can fail reports an error object (null means success);
// none throws. Lists and maps are coded element by element through a nested
// Encoder or Decoder, so nested values use the same two interfaces. The
// interfaces are single-threaded: one coder serves one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

namespace json {

class Decoder;
class Encoder;

// Every failing operation returns its error, which the caller must look at
// ([[nodiscard]]): a value not read leaves its destination unchanged.
//
// Reads the one value a Decoder stands for. decode(x) leaves x unchanged when
// the value cannot be read as x's type and returns the reason.
class SingleValueDecodingContainer {
  public:
    virtual ~SingleValueDecodingContainer() = default;

    // True when the value is nil (null).
    virtual bool decodeNil() = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(bool& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(int8_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(int16_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(int32_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(int64_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(uint8_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(uint16_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(uint32_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(uint64_t& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(double& out) = 0;
    [[nodiscard]] virtual plat::ErrorPtr decode(std::string& out) = 0;
    // Calls `element` once per element, in order, with a decoder for it. Fails
    // when the value is not a list or when `element` fails (that error).
    [[nodiscard]] virtual plat::ErrorPtr decodeList(
        const std::function<plat::ErrorPtr(Decoder&)>& element) = 0;
    // Calls `member` once per member with its key and a decoder for its value.
    [[nodiscard]] virtual plat::ErrorPtr decodeMap(
        const std::function<plat::ErrorPtr(const std::string& key, Decoder&)>& member) = 0;
};

class Decoder {
  public:
    virtual ~Decoder() = default;
    // The container of this decoder's single value; fails when the decoder
    // cannot offer one.
    [[nodiscard]] virtual plat::Result<std::shared_ptr<SingleValueDecodingContainer>>
    singleValueContainer() = 0;
};

// Writes the one value an Encoder stands for. A second write replaces the first.
class SingleValueEncodingContainer {
  public:
    virtual ~SingleValueEncodingContainer() = default;

    [[nodiscard]] virtual plat::ErrorPtr encodeNil() = 0;
    [[nodiscard]] virtual plat::ErrorPtr encode(bool v) = 0;
    [[nodiscard]] virtual plat::ErrorPtr encode(int64_t v) = 0;
    [[nodiscard]] virtual plat::ErrorPtr encode(uint64_t v) = 0;
    [[nodiscard]] virtual plat::ErrorPtr encode(double v) = 0;
    [[nodiscard]] virtual plat::ErrorPtr encode(const std::string& v) = 0;
    // Writes a list of `count` elements; `element` encodes element i into the
    // encoder it is given. The first error stops the list and is returned.
    [[nodiscard]] virtual plat::ErrorPtr encodeList(
        std::size_t count, const std::function<plat::ErrorPtr(std::size_t, Encoder&)>& element) = 0;
    // Writes a map with these keys, in this order; `member` encodes each value.
    [[nodiscard]] virtual plat::ErrorPtr encodeMap(
        const std::vector<std::string>& keys,
        const std::function<plat::ErrorPtr(const std::string& key, Encoder&)>& member) = 0;
};

class Encoder {
  public:
    virtual ~Encoder() = default;
    // Never null.
    virtual std::shared_ptr<SingleValueEncodingContainer> singleValueContainer() = 0;
};

}  // namespace json
