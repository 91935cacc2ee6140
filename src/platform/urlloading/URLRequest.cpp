#include "platform/urlloading/URLRequest.h"

#include <algorithm>

namespace plat::urlloading {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

void HTTPHeaderFields::setValue(const std::optional<std::string>& value, const std::string& name) {
    auto it = std::find_if(fields_.begin(), fields_.end(),
                           [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
    if (!value) {
        if (it != fields_.end())
            fields_.erase(it);
        return;
    }
    if (it == fields_.end()) {
        fields_.emplace_back(name, *value);
    } else {
        *it = Field(name, *value);
    }
}

void HTTPHeaderFields::addValue(const std::string& value, const std::string& name) {
    auto current = valueForHTTPHeaderField(name);
    setValue(current ? *current + ", " + value : value, name);
}

std::optional<std::string> HTTPHeaderFields::valueForHTTPHeaderField(const std::string& name) const {
    for (const auto& [n, v] : fields_) {
        if (equalsIgnoringCase(n, name))
            return v;
    }
    return std::nullopt;
}

}  // namespace plat::urlloading
