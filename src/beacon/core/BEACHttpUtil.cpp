#include "beacon/core/BEACHttpUtil.h"

#include "platform/foundation/Text.h"

std::optional<std::string> BEACHttpResponse::header(const std::string& name) const {
    std::string wanted = plat::text::lowercaseString(name);
    for (const auto& entry : headers) {
        if (plat::text::lowercaseString(entry.first) == wanted && entry.second.isString())
            return *entry.second.asString();
    }
    return std::nullopt;
}

std::string BEACHttpUtil::hideSecret(const std::string& secret) {
    constexpr std::size_t kVisible = 8;
    if (secret.size() <= kVisible)
        return std::string(secret.size(), '*');
    return std::string(secret.size() - kVisible, '*') + secret.substr(secret.size() - kVisible);
}

std::string BEACHttpUtil::hideSecretInString(const std::string& string, const std::string& secret) {
    if (secret.empty())
        return string;
    const std::string hidden = hideSecret(secret);
    std::string result;
    std::size_t from = 0;
    for (std::size_t at; (at = string.find(secret, from)) != std::string::npos; from = at + secret.size())
        result.append(string, from, at - from).append(hidden);
    return result.append(string, from, std::string::npos);
}
