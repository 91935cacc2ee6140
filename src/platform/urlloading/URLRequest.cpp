#include "platform/urlloading/URLRequest.h"

#include <algorithm>
#include <tuple>

namespace plat::urlloading {

namespace {

// Header names are ASCII: folding ASCII letters only keeps the comparison
// independent of the process's locale (and cheap: it runs for every field).
char foldASCII(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    // Names are mostly compared with themselves as written: bytes that are
    // equal need no folding.
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && foldASCII(a[i]) != foldASCII(b[i]))
            return false;
    }
    return true;
}

std::vector<HTTPHeaderFields::Field>::const_iterator HTTPHeaderFields::findField(
    std::string_view name) const {
    // Most fields differ from the name in length: those are passed over
    // here without a call.
    return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) {
        return f.first.size() == name.size() && equalsIgnoringCase(f.first, name);
    });
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

// (From views: a response's fields are added straight from the received
// lines, each string made once, in place.)
void HTTPHeaderFields::addValue(std::string_view value, std::string_view name) {
    auto it = fields_.begin() + (findField(name) - fields_.cbegin());
    if (it == fields_.end()) {
        fields_.emplace_back(std::piecewise_construct, std::forward_as_tuple(name),
                             std::forward_as_tuple(value));
        return;
    }
    // Both made before either is replaced: the views may point into them.
    std::string joined;
    joined.reserve(it->second.size() + 2 + value.size());
    joined.append(it->second).append(", ").append(value);
    std::string newName(name);
    it->first = std::move(newName);
    it->second = std::move(joined);
}

std::optional<std::string> HTTPHeaderFields::valueForHTTPHeaderField(const std::string& name) const {
    auto it = findField(name);
    return it == fields_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

bool HTTPHeaderFields::contains(std::string_view name) const {
    return findField(name) != fields_.end();
}

}  // namespace plat::urlloading
