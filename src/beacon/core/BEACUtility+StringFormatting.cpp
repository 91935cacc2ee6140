#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Text.h"
#include "platform/security/Digest.h"

namespace {

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        parts.emplace_back(
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

std::string removingAll(std::string text, std::string_view what) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
        text.erase(at, what.size());
    return text;
}

bool contains(std::string_view text, std::string_view what) {
    return text.find(what) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> BEACUtility::appSecretFrom(const std::optional<std::string>& secretString) {
    if (!secretString)
        return std::nullopt;
    const bool platformKeyed = contains(*secretString, "macos=");
    for (const std::string& part : split(*secretString, ';')) {
        if (part.empty() || contains(part, "target="))
            continue;
        std::string value;
        if (platformKeyed) {
            if (!contains(part, "macos="))
                continue;
            value = removingAll(part, "macos=");
        } else if (!contains(part, "appsecret=") && !contains(part, "=")) {
            value = part;
        } else {
            value = removingAll(part, "appsecret=");
        }
        if (!value.empty())
            return value;
    }
    return std::nullopt;
}

std::optional<std::string> BEACUtility::transmissionTargetTokenFrom(
    const std::optional<std::string>& secretString) {
    if (!secretString)
        return std::nullopt;
    for (const std::string& part : split(*secretString, ';')) {
        if (part.empty() || !contains(part, "target="))
            continue;
        std::string value = removingAll(part, "target=");
        if (!value.empty())
            return value;
    }
    return std::nullopt;
}

std::optional<std::string> BEACUtility::targetKeyFromTargetToken(const std::optional<std::string>& token) {
    if (!token)
        return std::nullopt;
    std::string key = token->substr(0, token->find('-'));
    if (key.empty())
        return std::nullopt;
    return key;
}

std::optional<std::string> BEACUtility::iKeyFromTargetToken(const std::optional<std::string>& token) {
    auto key = targetKeyFromTargetToken(token);
    if (!key)
        return std::nullopt;
    return "o:" + *key;
}

// The UTF-8 bytes: identical to ASCII for the ticket keys hashed here, and
// defined for any other text.
std::string BEACUtility::sha256(std::string_view text) {
    return plat::security::hexDigest(plat::security::sha256(text), false);
}

std::optional<std::string> BEACUtility::prettyPrintJson(const std::optional<plat::Data>& data) {
    if (!data)
        return std::nullopt;
    auto object = plat::JSONSerialization::JSONObjectWithData(
        *data, plat::JSONReadingMutableContainers | plat::JSONReadingFragmentsAllowed);
    if (!object.ok())
        return plat::text::lossyUTF8(data->view());
    auto pretty = plat::JSONSerialization::stringWithJSONObject(
        object.value(), plat::JSONWritingPrettyPrinted | plat::JSONWritingWithoutEscapingSlashes |
                            plat::JSONWritingFragmentsAllowed);
    if (!pretty.ok() || pretty.value().empty())
        return plat::text::lossyUTF8(data->view());
    return pretty.value();
}

std::optional<std::string> BEACUtility::obfuscateString(const std::optional<std::string>& string,
                                                        const std::string& pattern,
                                                        const std::string& templ) {
    if (!string)
        return std::nullopt;
    auto expression = plat::RegularExpression::make(pattern, plat::RegularExpression::CaseInsensitive);
    if (!expression.ok()) {
        BEACLogError(kBEACLogTag, "Couldn't create regular expression with pattern\"%@\": %@", pattern,
                     expression.error()->localizedDescription());
        return std::nullopt;
    }
    return expression.value().replacingMatches(*string, templ);
}
