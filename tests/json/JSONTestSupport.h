// Shared helpers for the JSON value library tests.
#pragma once

#include <string_view>

#include "json/JSON.h"
#include "platform/foundation/JSONSerialization.h"

namespace jsontest {

// Parses text, scalars at the top level included; a parse failure fails the
// calling test through the returned null value's unexpected type.
inline json::JSON parse(std::string_view text) {
    plat::Result<json::JSON> r =
        json::JSON::create(plat::Data::fromString(text), plat::JSONReadingFragmentsAllowed);
    return r.ok() ? r.value() : json::JSON::fromRawValue(plat::Value("<parse failure>")).value();
}

// Compact serialiser text of a container (a scalar's own text), for
// comparing whole documents.
inline std::string compact(const json::JSON& j) {
    return j.rawString(json::StringEncoding::UTF8, plat::JSONWritingFragmentsAllowed).value_or("<absent>");
}

}  // namespace jsontest
