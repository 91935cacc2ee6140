// Compact binary form of record fields for the server's database: one tagged
// entry per field. Assets are stored by the text their fileURL holds (the
// server puts the content hash there); references keep their action.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace plat::cloudkit::detail {

// Empty optional when a value cannot be stored (dictionaries, sets,
// decimals, foreign objects).
std::optional<std::string> encodeFields(const Dictionary& fields);
std::optional<Dictionary> decodeFields(std::string_view blob);

std::optional<std::string> encodeValue(const Value& value);
std::optional<Value> decodeValue(std::string_view blob);

}  // namespace plat::cloudkit::detail
