#include "sync/eventstore/SYNStoreIdentifiers.h"

std::string SYNStoreIdentifiers::encode(const std::string& identifier) {
    return isCompact() ? std::to_string(number(identifier)) : identifier;
}

std::optional<std::string> SYNStoreIdentifiers::encodeIfKnown(const std::string& identifier) const {
    if (!isCompact()) {
        return identifier;
    }
    auto number = numberOf(identifier);
    return number ? std::optional<std::string>(std::to_string(*number)) : std::nullopt;
}

std::optional<std::string> SYNStoreIdentifiers::decode(std::string_view stored) const {
    if (!isCompact()) {
        return std::string(stored);
    }
    auto parsed = leadingNumber(stored);
    if (!parsed || !parsed->second.empty()) {
        return std::nullopt;
    }
    return textWithSuffix(parsed->first, {});
}
