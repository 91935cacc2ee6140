// ValueTransformer: turns the value of a transformable attribute into Data for
// storage and back. Transformers are registered by name in a process-wide
// registry (any thread; register before opening stores that need them).
// An attribute without a transformer name is stored by keyed archiving.
#pragma once

#include <memory>
#include <optional>
#include <string>

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
    // Stores may remember the values of a transformer that agrees, by their
    // stored bytes, and hand a remembered value to a later read of the same
    // bytes instead of decoding them (a change saved by one stage of a merge
    // and read by the next). Agreeing means: the same bytes always read back
    // to equal values, which nobody changes (so one read's value may serve
    // the next). False by default.
    virtual bool valuesMayBeRemembered() const { return false; }
    // For such a transformer: what reading back the stored form of `value`
    // gives, made without the bytes, or nullopt when it cannot tell (the
    // bytes are then decoded at the first read).
    virtual std::optional<Value> valueAsReadBack(const Value& value) const {
        (void)value;
        return std::nullopt;
    }

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

}  // namespace plat::coredata
