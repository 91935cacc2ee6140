// Internal helpers shared by the JSON implementation files.
#pragma once

#include "json/JSON.h"

namespace json::detail {

// The type an object is tagged with when stored (data counts as Unknown here;
// the constructors parse it before tagging).
Type typeOf(const plat::Value& v);

}  // namespace json::detail
