#include "platform/urlloading/URLResponse.h"

#include <algorithm>
#include <cstdlib>

namespace plat::urlloading {
namespace {

// The blanks of the "C" locale's isspace, without a call into the locale for
// every byte (every response's Content-Type is trimmed).
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trimmedView(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b]))
        ++b;
    while (e > b && isSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string trim(std::string_view s) {
    return std::string(trimmedView(s));
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;  // ASCII only, as HTTP tokens are
    return s;
}

// A Content-Length value as strtoll reads it, when the whole text is a
// number; -1 otherwise (or when negative). Plain digits, what servers send,
// are read here; anything else (blanks, a sign, an overflow) by strtoll.
int64_t contentLength(const std::string& text) {
    if (!text.empty() && text.size() <= 18) {
        int64_t n = 0;
        size_t i = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            n = n * 10 + (text[i] - '0');
        if (i == text.size())
            return n;
    }
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0' && n >= 0 ? static_cast<int64_t>(n) : -1;
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
        const std::string_view mime = trimmedView(t.substr(0, t.find(';')));
        if (!mime.empty())
            mimeType_ = lower(std::string(mime));
        textEncoding_ = headerParameter(t, "charset");
    }
    if (const std::string* length = headers_.find("Content-Length"); length && !contentDecoded) {
        if (int64_t n = contentLength(*length); n >= 0)
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
