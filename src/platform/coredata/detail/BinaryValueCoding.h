// Values in the binary store's format: one tag byte, then the value. Numbers
// keep their stored width and kind, objects are UUIDs, URLs or keyed archives,
// and containers nest at most kMaxDepth deep both ways.
#pragma once

#include <cstddef>

#include "platform/coredata/detail/BinaryFormat.h"
#include "platform/foundation/Value.h"

namespace plat::coredata::binary {

// Throws Unstorable for what the format cannot hold (too deep, an object that
// does not archive).
void encodeValue(Writer& w, const Value& v, std::size_t depth);
// Throws Refusal for anything malformed.
Value decodeValue(Reader& r, std::size_t depth);

}  // namespace plat::coredata::binary
