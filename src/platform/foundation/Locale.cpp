#include "platform/foundation/Locale.h"

#include <algorithm>
#include <cstdlib>

namespace plat {

namespace {

struct LocaleParts {
    std::string language;
    std::string script;
    std::string region;
};

bool isAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool allOf(std::string_view s, bool (*pred)(char)) {
    return std::all_of(s.begin(), s.end(), pred);
}

std::string mapped(std::string_view s, char (*fn)(char)) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), fn);
    return out;
}

std::string scriptForModifier(std::string_view modifier) {
    if (modifier == "latin") {
        return "Latn";
    }
    if (modifier == "cyrillic") {
        return "Cyrl";
    }
    if (modifier == "devanagari") {
        return "Deva";
    }
    return {};
}

// Fills script or region from one "_"-separated subtag; false if it is neither.
bool takeSubtag(std::string_view tag, LocaleParts& parts) {
    if (tag.size() == 4 && allOf(tag, isAsciiAlpha) && parts.script.empty() && parts.region.empty()) {
        parts.script = mapped(tag.substr(0, 1), upper) + mapped(tag.substr(1), lower);
        return true;
    }
    if ((tag.size() == 2 && allOf(tag, isAsciiAlpha)) || (tag.size() == 3 && allOf(tag, isAsciiDigit))) {
        if (parts.region.empty()) {
            parts.region = mapped(tag, upper);
            return true;
        }
    }
    return false;
}

// Splits "language[_Script][_REGION]" (also with "-"); nullopt when the
// language is not two or three letters. Unknown subtags are dropped.
std::optional<LocaleParts> parseIdentifier(std::string_view id) {
    LocaleParts parts;
    std::size_t pos = 0;
    bool first = true;
    while (pos <= id.size()) {
        const std::size_t end = std::min(id.find_first_of("_-", pos), id.size());
        const std::string_view tag = id.substr(pos, end - pos);
        if (first) {
            if (tag.size() < 2 || tag.size() > 3 || !allOf(tag, isAsciiAlpha)) {
                return std::nullopt;
            }
            parts.language = mapped(tag, lower);
            first = false;
        } else {
            takeSubtag(tag, parts);
        }
        pos = end + 1;
    }
    return parts;
}

std::optional<LocaleParts> parsePOSIXLocale(std::string_view name) {
    std::string_view modifier;
    if (const auto at = name.find('@'); at != std::string_view::npos) {
        modifier = name.substr(at + 1);
        name = name.substr(0, at);
    }
    if (const auto dot = name.find('.'); dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    auto parts = parseIdentifier(name);
    if (parts && parts->script.empty()) {
        parts->script = scriptForModifier(modifier);
    }
    return parts;
}

std::string joined(const LocaleParts& parts, char separator) {
    std::string out = parts.language;
    for (const std::string* sub : {&parts.script, &parts.region}) {
        if (!sub->empty()) {
            out += separator;
            out += *sub;
        }
    }
    return out;
}

std::optional<std::string> lookup(const EnvironmentMap& env, std::string_view name) {
    auto it = env.find(name);
    if (it == env.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second;
}

EnvironmentMap localeVariables() {
    EnvironmentMap env;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name)) {
            env.emplace(name, value);
        }
    }
    return env;
}

std::string currentPOSIXLocale(const EnvironmentMap& env) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto value = lookup(env, name)) {
            return *value;
        }
    }
    return "C";
}

}  // namespace

Locale::Locale(std::string identifier) : identifier_(std::move(identifier)) {}

Locale Locale::currentLocale() {
    return Locale(currentLocaleIdentifier());
}

Locale Locale::currentLocale(const EnvironmentMap& environment) {
    return Locale(currentLocaleIdentifier(environment));
}

std::string Locale::currentLocaleIdentifier() {
    return currentLocaleIdentifier(localeVariables());
}

std::string Locale::currentLocaleIdentifier(const EnvironmentMap& environment) {
    return identifierFromPOSIXLocale(currentPOSIXLocale(environment));
}

std::vector<std::string> Locale::preferredLanguages() {
    return preferredLanguages(localeVariables());
}

std::vector<std::string> Locale::preferredLanguages(const EnvironmentMap& environment) {
    std::vector<std::string> tags;
    auto add = [&](std::string tag) {
        if (std::find(tags.begin(), tags.end(), tag) == tags.end()) {
            tags.push_back(std::move(tag));
        }
    };
    const std::string list = lookup(environment, "LANGUAGE").value_or("");
    std::size_t pos = 0;
    while (pos < list.size()) {
        const std::size_t end = std::min(list.find(':', pos), list.size());
        const std::string_view entry = std::string_view(list).substr(pos, end - pos);
        if (entry == "C" || entry == "POSIX") {
            add("en");
        } else if (auto parts = parsePOSIXLocale(entry)) {
            add(joined(*parts, '-'));
        }
        pos = end + 1;
    }
    if (tags.empty()) {
        add(languageTagFromPOSIXLocale(currentPOSIXLocale(environment)));
    }
    return tags;
}

std::optional<std::string> Locale::languageCode() const {
    auto parts = parseIdentifier(identifier_);
    return parts ? std::optional<std::string>(parts->language) : std::nullopt;
}

std::optional<std::string> Locale::scriptCode() const {
    auto parts = parseIdentifier(identifier_);
    return parts && !parts->script.empty() ? std::optional<std::string>(parts->script) : std::nullopt;
}

std::optional<std::string> Locale::countryCode() const {
    auto parts = parseIdentifier(identifier_);
    return parts && !parts->region.empty() ? std::optional<std::string>(parts->region) : std::nullopt;
}

std::string Locale::identifierFromPOSIXLocale(std::string_view name) {
    auto parts = parsePOSIXLocale(name);
    return parts ? joined(*parts, '_') : "en_US";
}

std::string Locale::languageTagFromPOSIXLocale(std::string_view name) {
    auto parts = parsePOSIXLocale(name);
    return parts ? joined(*parts, '-') : "en";
}

}  // namespace plat
