#include "platform/urlloading/URLRequest.h"

#include <algorithm>

namespace plat::urlloading {

namespace {

// Header names are ASCII: folding ASCII letters only keeps the comparison
// independent of the process's locale (and cheap: it runs for every field).
char foldASCII(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return foldASCII(x) == foldASCII(y); });
}

std::vector<HTTPHeaderFields::Field>::const_iterator HTTPHeaderFields::findField(
    std::string_view name) const {
    return std::find_if(fields_.begin(), fields_.end(),
                        [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

void HTTPHeaderFields::setValue(const std::optional<std::string>& value, const std::string& name) {
    auto it = fields_.begin() + (findField(name) - fields_.cbegin());
    if (!value) {
        if (it != fields_.end())
            fields_.erase(it);
        return;
    }
    if (it == fields_.end()) {
        fields_.emplace_back(name, *value);
    } else {
        it->first = name;
        it->second = *value;
    }
}

void HTTPHeaderFields::addValue(std::string value, std::string name) {
    auto it = fields_.begin() + (findField(name) - fields_.cbegin());
    if (it == fields_.end()) {
        fields_.emplace_back(std::move(name), std::move(value));
        return;
    }
    it->first = std::move(name);
    it->second.append(", ").append(value);
}

std::optional<std::string> HTTPHeaderFields::valueForHTTPHeaderField(const std::string& name) const {
    auto it = findField(name);
    return it == fields_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

bool HTTPHeaderFields::contains(std::string_view name) const {
    return findField(name) != fields_.end();
}

}  // namespace plat::urlloading
