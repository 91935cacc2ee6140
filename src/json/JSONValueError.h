// JSONValueError: why a JSON lookup, merge or text output did not give a value.
//
// Failed lookups never throw: they return a null JSON that carries one of these
// cases (see JSON.h). Each case has a fixed integer raw value and message, and
// an error-object form (domain JSONValueErrorDomain, code = raw value, user
// info holding only the message as the localized description) for callers that
// handle plat::Error generically.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace json {

enum class JSONValueError : int {
    UnsupportedType = 999,
    IndexOutOfBounds = 900,
    ElementTooDeep = 902,
    WrongType = 901,
    NotExist = 500,
    InvalidJSON = 490,
};

// The domain of the error objects made from JSONValueError.
inline constexpr const char* JSONValueErrorDomain = "org.kestrel.json.JSONValueError";

// The case with that raw value; nullopt for any other integer.
std::optional<JSONValueError> JSONValueErrorFromRawValue(int rawValue);

inline int rawValue(JSONValueError e) {
    return static_cast<int>(e);
}

// The fixed message of the case ("Array Index is out of bounds.", ...).
const char* message(JSONValueError e);

// The error-object form; never null.
[[nodiscard]] plat::ErrorPtr makeError(JSONValueError e);

// The case an error object stands for: nullopt unless it is in
// JSONValueErrorDomain with a known code.
std::optional<JSONValueError> JSONValueErrorFromError(const plat::ErrorPtr& error);

}  // namespace json
