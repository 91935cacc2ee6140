#include "json/JSONValueError.h"

namespace json {

std::optional<JSONValueError> JSONValueErrorFromRawValue(int rawValue) {
    switch (rawValue) {
        case 999:
        case 900:
        case 902:
        case 901:
        case 500:
        case 490:
            return static_cast<JSONValueError>(rawValue);
        default:
            return std::nullopt;
    }
}

const char* message(JSONValueError e) {
    switch (e) {
        case JSONValueError::UnsupportedType:
            return "It is an unsupported type.";
        case JSONValueError::IndexOutOfBounds:
            return "Array Index is out of bounds.";
        case JSONValueError::ElementTooDeep:
            return "Element too deep. Increase maxObjectDepth and make sure there is no reference loop.";
        case JSONValueError::WrongType:
            return "Couldn't merge, because the JSONs differ in type on top level.";
        case JSONValueError::NotExist:
            return "Dictionary key does not exist.";
        case JSONValueError::InvalidJSON:
            return "JSON is invalid.";
    }
    return "";
}

plat::ErrorPtr makeError(JSONValueError e) {
    return plat::Error::withDescription(JSONValueErrorDomain, rawValue(e), message(e));
}

std::optional<JSONValueError> JSONValueErrorFromError(const plat::ErrorPtr& error) {
    if (!error || error->domain() != JSONValueErrorDomain)
        return std::nullopt;
    if (error->code() < 0 || error->code() > 1000)
        return std::nullopt;
    return JSONValueErrorFromRawValue(static_cast<int>(error->code()));
}

}  // namespace json
