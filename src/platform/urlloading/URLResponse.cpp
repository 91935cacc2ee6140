#include "platform/urlloading/URLResponse.h"

#include <algorithm>
#include <cctype>

namespace plat::urlloading {
namespace {

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;  // ASCII only, as HTTP tokens are
    return s;
}

}  // namespace

std::optional<std::string> headerParameter(std::string_view header, std::string_view name) {
    size_t i = header.find(';');
    while (i != std::string_view::npos) {
        ++i;
        size_t eq = header.find('=', i);
        if (eq == std::string_view::npos)
            return std::nullopt;
        std::string key = lower(trim(header.substr(i, eq - i)));
        size_t v = eq + 1;
        while (v < header.size() && header[v] == ' ')
            ++v;
        std::string value;
        size_t next;
        if (v < header.size() && header[v] == '"') {
            size_t end = v + 1;
            while (end < header.size() && header[end] != '"') {
                if (header[end] == '\\' && end + 1 < header.size())
                    ++end;
                value += header[end++];
            }
            next = header.find(';', end);
        } else {
            next = header.find(';', v);
            value =
                trim(header.substr(v, next == std::string_view::npos ? std::string_view::npos : next - v));
        }
        if (key == name)
            return value;
        i = next;
    }
    return std::nullopt;
}

std::string safeFileName(std::string_view proposed, std::string_view fallback) {
    std::string name(proposed);
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
               name.end());
    name = trim(name);
    size_t dots = name.find_first_not_of('.');
    name = dots == std::string::npos ? std::string() : name.substr(dots);
    if (name.size() > 255)
        name.resize(255);
    if (name.empty())
        return std::string(fallback);
    return name;
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, HTTPHeaderFields headers, bool contentDecoded)
    : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {
    if (const std::string* type = headers_.find("Content-Type")) {
        std::string_view t(*type);
        std::string mime = lower(trim(t.substr(0, t.find(';'))));
        if (!mime.empty())
            mimeType_ = std::move(mime);
        textEncoding_ = headerParameter(t, "charset");
    }
    if (const std::string* length = headers_.find("Content-Length"); length && !contentDecoded) {
        char* end = nullptr;
        long long n = std::strtoll(length->c_str(), &end, 10);
        if (end && *end == '\0' && n >= 0)
            expectedLength_ = n;
    }
}

std::string HTTPURLResponse::suggestedFilename() const {
    if (auto disposition = headers_.valueForHTTPHeaderField("Content-Disposition")) {
        if (auto star = headerParameter(*disposition, "filename*")) {
            // charset'language'percent-encoded
            size_t quote = star->find('\'', star->find('\'') + 1);
            std::string encoded = quote == std::string::npos ? *star : star->substr(quote + 1);
            if (auto decoded = percentDecode(encoded))
                return safeFileName(*decoded);
        }
        if (auto name = headerParameter(*disposition, "filename"))
            return safeFileName(*name);
    }
    auto last = percentDecode(url_.lastPathComponent()).value_or(url_.lastPathComponent());
    if (last == "/")
        last.clear();
    return safeFileName(last);
}

std::string HTTPURLResponse::description() const {
    std::string out =
        "<" + url_.absoluteString() + "> { Status Code: " + std::to_string(statusCode_) + ", Headers {";
    for (const auto& [name, value] : headers_.fields())
        out += "\n    " + name + " = " + value + ";";
    out += "\n} }";
    return out;
}

}  // namespace plat::urlloading
