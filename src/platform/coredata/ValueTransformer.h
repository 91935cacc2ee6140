// ValueTransformer: turns the value of a transformable attribute into Data for
// storage and back. Transformers are registered by name in a process-wide
// registry (any thread; register before opening stores that need them).
// An attribute without a transformer name is stored by keyed archiving.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace plat::coredata {

class ValueTransformer {
  public:
    virtual ~ValueTransformer() = default;
    // The stored form of value; an error when the value cannot be stored.
    virtual Result<Data> transformedValue(const Value& value) const = 0;
    // The value back from its stored form; an error for data it cannot read.
    virtual Result<Value> reverseTransformedValue(const Data& data) const = 0;
    // The same from bytes the caller owns (a stored row's, say): by default
    // a copy of them goes to reverseTransformedValue; a transformer that can
    // read them where they are saves that copy.
    virtual Result<Value> reverseTransformedBytes(std::string_view bytes) const;

    // Registers (or, with null, removes) the transformer for name.
    static void setValueTransformer(std::shared_ptr<const ValueTransformer> transformer,
                                    const std::string& name);
    // Null when no transformer is registered under name.
    static std::shared_ptr<const ValueTransformer> valueTransformerForName(const std::string& name);
};

// Encodes a transformable attribute's value for storage: through the named
// transformer when transformerName is set, otherwise by keyed archiving. A
// missing transformer is an error, never a silent fallback, so that data
// written one way is never read back another.
Result<Data> encodeTransformable(const Value& value, const std::string& transformerName);
Result<Value> decodeTransformable(const Data& data, const std::string& transformerName);
// The same from bytes only read during the call.
Result<Value> decodeTransformable(std::string_view bytes, const std::string& transformerName);

}  // namespace plat::coredata
