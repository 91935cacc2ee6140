// ValueDecoder and ValueEncoder: the coding interface of Coding.h over a
// plat::Value tree, so that a value parsed by plat::JSONSerialization can be
// decoded into records and records can be encoded into a tree that
// plat::JSONSerialization writes.
//
// Decoding is strict about kinds, as a JSON decoder is: a boolean decodes only
// from a boolean; an integer type only from a non-boolean number that is
// integral and within the type's range; double from any non-boolean number;
// text only from a string; lists and maps only from arrays and dictionaries.
// A mismatch is an error in plat::CocoaErrorDomain with code 4864.
#pragma once

#include <memory>

#include "json/Coding.h"
#include "platform/foundation/Value.h"

namespace json {

class ValueDecoder : public Decoder {
  public:
    explicit ValueDecoder(plat::Value value) : value_(std::move(value)) {}
    plat::Result<std::shared_ptr<SingleValueDecodingContainer>> singleValueContainer() override;

  private:
    plat::Value value_;
};

// Collects what is encoded; value() is null until something is encoded.
class ValueEncoder : public Encoder {
  public:
    ValueEncoder();
    std::shared_ptr<SingleValueEncodingContainer> singleValueContainer() override;
    plat::Value value() const;

  private:
    std::shared_ptr<plat::Value> slot_;
};

}  // namespace json
