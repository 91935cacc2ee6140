#include "platform/cloudkit/Errors.h"

namespace plat::cloudkit {

namespace {

std::string itemDescription(const ItemID& id) {
    return std::visit([](const auto& v) { return v.description(); }, id);
}

}  // namespace

std::string PartialErrors::description() const {
    std::string out = "{";
    bool first = true;
    for (const auto& [id, error] : errors_) {
        out += first ? "" : ", ";
        first = false;
        out += itemDescription(id) + " = " + (error ? error->description() : "nil");
    }
    return out + "}";
}

ErrorPtr makeError(ErrorCode code, std::string description) {
    Dictionary info;
    if (!description.empty())
        info.set(LocalizedDescriptionKey, Value(std::move(description)));
    return Error::make(ErrorDomain, static_cast<int64_t>(code), std::move(info));
}

ErrorPtr makeRetryError(ErrorCode code, double retryAfterSeconds) {
    Dictionary info;
    info.set(ErrorRetryAfterKey, Value(retryAfterSeconds));
    return Error::make(ErrorDomain, static_cast<int64_t>(code), std::move(info));
}

ErrorPtr makePartialError(ItemErrors errors) {
    Dictionary info;
    info.set(LocalizedDescriptionKey, Value("Failed to modify some records"));
    info.set(PartialErrorsByItemIDKey, Value(std::make_shared<const PartialErrors>(std::move(errors))));
    return Error::make(ErrorDomain, static_cast<int64_t>(ErrorCode::PartialFailure), std::move(info));
}

const PartialErrors* partialErrors(const ErrorPtr& error) {
    if (!hasCode(error, ErrorCode::PartialFailure))
        return nullptr;
    const Value* v = error->userInfo().find(PartialErrorsByItemIDKey);
    if (!v)
        return nullptr;
    auto object = v->asObjectOf<PartialErrors>();
    return object.get();  // owned by the error, which the caller holds
}

bool hasCode(const ErrorPtr& error, ErrorCode code) {
    return error && error->domain() == ErrorDomain && error->code() == static_cast<int64_t>(code);
}

std::optional<double> retryAfterSeconds(const ErrorPtr& error) {
    if (!error)
        return std::nullopt;
    const Value* v = error->userInfo().find(ErrorRetryAfterKey);
    if (!v || !v->isNumber())
        return std::nullopt;
    return v->doubleValue();
}

}  // namespace plat::cloudkit
