#include "platform/foundation/Error.h"

#include <cstdio>
#include <functional>

namespace plat {
namespace {

// A user-info value as the platform prints it on one line: errors as their
// address and description in braces, everything else as its description.
std::string userInfoValueText(const Value& value) {
    if (auto error = value.asObjectOf<Error>()) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<const void*>(error.get()));
        return std::string(address) + " {" + error->description() + "}";
    }
    return value.description();
}

}  // namespace

Error::Error(std::string domain, int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

ErrorPtr Error::withDescription(std::string domain, int64_t code, std::string description) {
    return make(std::move(domain), code,
                Dictionary{{LocalizedDescriptionKey, Value(std::move(description))}});
}

std::string Error::localizedDescription() const {
    const Value* text = userInfo_.find(LocalizedDescriptionKey);
    if (text != nullptr && text->isString())
        return *text->asString();
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
    const Value* reason = userInfo_.find(LocalizedFailureReasonErrorKey);
    if (reason != nullptr && reason->isString())
        return *reason->asString();
    return std::nullopt;
}

ErrorPtr Error::underlyingError() const {
    const Value* underlying = userInfo_.find(UnderlyingErrorKey);
    return underlying != nullptr ? underlying->asObjectOf<Error>() : nullptr;
}

std::string Error::description() const {
    std::string out =
        "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
    if (userInfo_.empty())
        return out;
    out += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
        if (!first)
            out += ", ";
        first = false;
        out += key + "=" + userInfoValueText(value);
    }
    return out + "}";
}

bool Error::isEqual(const Object& other) const {
    const auto* error = dynamic_cast<const Error*>(&other);
    return error != nullptr && error->code_ == code_ && error->domain_ == domain_ &&
           error->userInfo_ == userInfo_;
}

std::size_t Error::hash() const {
    return std::hash<std::string>()(domain_) ^ (std::hash<int64_t>()(code_) * 0x9e3779b97f4a7c15ULL);
}

}  // namespace plat
