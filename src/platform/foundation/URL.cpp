#include "platform/foundation/URL.h"

#include <arpa/inet.h>

#include <filesystem>
#include <mutex>

#include "platform/foundation/Text.h"

namespace plat {

namespace {

// --- Characters ----------------------------------------------------------------

constexpr CharacterSet kUnreserved =
    CharacterSet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");
constexpr CharacterSet kSubDelims = CharacterSet("!$&'()*+,;=");
// Every character that may appear somewhere in a URL ("%" starts an escape).
constexpr CharacterSet kURLCharacters = kUnreserved.adding("!$&'()*+,;=:/?#[]@%");
constexpr CharacterSet kSchemeCharacters =
    CharacterSet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-.");
// What fileURLWithPath leaves unencoded.
constexpr CharacterSet kFilePathAllowed = CharacterSet::URLPathAllowed();

bool isAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// All characters are URL characters and every "%" starts a valid escape.
bool hasOnlyURLCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!kURLCharacters.contains(static_cast<unsigned char>(text[i])))
            return false;
        if (text[i] == '%' && (i + 2 >= text.size() || text::hexDigitValue(text[i + 1]) < 0 ||
                               text::hexDigitValue(text[i + 2]) < 0)) {
            return false;
        }
    }
    return true;
}

bool containsAnyOf(std::string_view text, std::string_view characters) {
    return text.find_first_of(characters) != std::string_view::npos;
}

// --- Parsing into views ----------------------------------------------------------
// Components as views into the parsed text; an absent component is nullopt
// (an empty one is an empty view). This is the shape RFC 3986 works on.

struct Parts {
    std::optional<std::string_view> scheme, authority, user, password, host, port, query, fragment;
    std::string_view path;
};

bool isValidScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0]))
        return false;
    for (char c : s) {
        if (!kSchemeCharacters.contains(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// "[v1.x]" (a future address form) or "[<IPv6 address>]".
bool isValidIPLiteral(std::string_view inside) {
    if (!inside.empty() && (inside[0] == 'v' || inside[0] == 'V')) {
        std::size_t dot = inside.find('.');
        if (dot == std::string_view::npos || dot < 2 || dot + 1 == inside.size())
            return false;
        for (std::size_t i = 1; i < dot; ++i) {
            if (text::hexDigitValue(inside[i]) < 0)
                return false;
        }
        for (char c : inside.substr(dot + 1)) {
            auto u = static_cast<unsigned char>(c);
            if (!kUnreserved.contains(u) && !kSubDelims.contains(u) && c != ':')
                return false;
        }
        return true;
    }
    if (inside.size() > 45)
        return false;
    std::string address(inside);
    unsigned char buffer[16];
    return inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

bool isValidPort(std::string_view port) {
    std::size_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > 65535)
            return false;
    }
    return true;
}

bool parseHostAndPort(std::string_view hostport, Parts& parts) {
    std::size_t hostEnd;
    if (!hostport.empty() && hostport[0] == '[') {
        std::size_t close = hostport.find(']');
        if (close == std::string_view::npos || !isValidIPLiteral(hostport.substr(1, close - 1)))
            return false;
        hostEnd = close + 1;
        if (hostEnd < hostport.size() && hostport[hostEnd] != ':')
            return false;
    } else {
        hostEnd = std::min(hostport.find(':'), hostport.size());
        if (containsAnyOf(hostport.substr(0, hostEnd), "[]"))
            return false;
    }
    parts.host = hostport.substr(0, hostEnd);
    if (hostEnd < hostport.size()) {
        parts.port = hostport.substr(hostEnd + 1);
        if (!isValidPort(*parts.port))
            return false;
    }
    return true;
}

bool parseAuthority(std::string_view authority, Parts& parts) {
    parts.authority = authority;
    std::size_t at = authority.find('@');
    std::string_view hostport = authority;
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        hostport = authority.substr(at + 1);
        if (containsAnyOf(userinfo, "[]") || containsAnyOf(hostport, "@"))
            return false;
        std::size_t colon = userinfo.find(':');
        parts.user = userinfo.substr(0, colon);
        if (colon != std::string_view::npos)
            parts.password = userinfo.substr(colon + 1);
    }
    return parseHostAndPort(hostport, parts);
}

// Splits off "#fragment" and "?query" from the end; returns what precedes them.
std::optional<std::string_view> splitQueryAndFragment(std::string_view text, Parts& parts) {
    std::size_t hash = text.find('#');
    if (hash != std::string_view::npos) {
        parts.fragment = text.substr(hash + 1);
        if (containsAnyOf(*parts.fragment, "#[]"))
            return std::nullopt;
        text = text.substr(0, hash);
    }
    std::size_t question = text.find('?');
    if (question != std::string_view::npos) {
        parts.query = text.substr(question + 1);
        if (containsAnyOf(*parts.query, "[]"))
            return std::nullopt;
        text = text.substr(0, question);
    }
    return text;
}

std::optional<Parts> parseReference(std::string_view text) {
    if (!hasOnlyURLCharacters(text))
        return std::nullopt;
    Parts parts;
    std::optional<std::string_view> rest = splitQueryAndFragment(text, parts);
    if (!rest)
        return std::nullopt;
    std::string_view hier = *rest;
    // A ":" before the first "/" ends a scheme; a first segment that holds a
    // ":" without forming a scheme is malformed.
    std::size_t colon = hier.find(':');
    if (colon != std::string_view::npos && colon < hier.find('/')) {
        if (!isValidScheme(hier.substr(0, colon)))
            return std::nullopt;
        parts.scheme = hier.substr(0, colon);
        hier = hier.substr(colon + 1);
    }
    if (hier.substr(0, 2) == "//") {
        std::size_t end = std::min(hier.find('/', 2), hier.size());
        if (!parseAuthority(hier.substr(2, end - 2), parts))
            return std::nullopt;
        hier = hier.substr(end);
    }
    if (containsAnyOf(hier, "[]"))
        return std::nullopt;
    parts.path = hier;
    return parts;
}

// --- Resolution (RFC 3986 section 5.2) ----------------------------------------------

// Removes "." and ".." segments (section 5.2.4).
std::string removeDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            std::size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            std::size_t next = input.find('/', input[0] == '/' ? 1 : 0);
            std::size_t length = std::min(next, input.size());
            output.append(input.substr(0, length));
            input.remove_prefix(length);
        }
    }
    return output;
}

// Section 5.2.3: the reference path appended to the base path's directory.
std::string mergePaths(const Parts& base, std::string_view referencePath) {
    if (base.authority && base.path.empty())
        return "/" + std::string(referencePath);
    std::size_t slash = base.path.rfind('/');
    if (slash == std::string_view::npos)
        return std::string(referencePath);
    return std::string(base.path.substr(0, slash + 1)) + std::string(referencePath);
}

struct Target {
    std::optional<std::string> scheme, authority, query, fragment;
    std::string path;
};

std::optional<std::string> copy(const std::optional<std::string_view>& v) {
    return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
}

Target resolve(const Parts& base, const Parts& ref) {
    Target t;
    t.fragment = copy(ref.fragment);
    if (ref.scheme || ref.authority) {
        t.scheme = copy(ref.scheme ? ref.scheme : base.scheme);
        t.authority = copy(ref.authority);
        t.path = removeDotSegments(ref.path);
        t.query = copy(ref.query);
        return t;
    }
    t.scheme = copy(base.scheme);
    t.authority = copy(base.authority);
    if (ref.path.empty()) {
        t.path = std::string(base.path);
        t.query = copy(ref.query ? ref.query : base.query);
    } else {
        t.path = removeDotSegments(ref.path[0] == '/' ? std::string(ref.path) : mergePaths(base, ref.path));
        t.query = copy(ref.query);
    }
    return t;
}

// A path that would be misread when written after what precedes it: "//x"
// without an authority reads as one, and "a:b" as the first segment of a
// reference without a scheme reads as a scheme. Prefixing "/." or "./" keeps
// the meaning.
std::string protectPath(std::string path, bool hasScheme, bool hasAuthority) {
    if (hasAuthority)
        return path;
    if (path.substr(0, 2) == "//")
        return "/." + path;
    std::size_t colon = path.find(':');
    if (!hasScheme && colon != std::string::npos && colon < path.find('/'))
        return "./" + path;
    return path;
}

// Section 5.3: component recomposition.
std::string recompose(const Target& t) {
    std::string out;
    if (t.scheme)
        out += *t.scheme + ":";
    if (t.authority)
        out += "//" + *t.authority;
    out += protectPath(t.path, t.scheme.has_value(), t.authority.has_value());
    if (t.query)
        out += "?" + *t.query;
    if (t.fragment)
        out += "#" + *t.fragment;
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string currentDirectory() {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? std::string("/") : cwd.string();
}

std::string stripTrailingSlashes(std::string_view path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    return std::string(path.substr(0, end));
}

}  // namespace

// --- Percent-encoding --------------------------------------------------------------

std::string percentEncode(std::string_view text, const CharacterSet& allowed) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (allowed.contains(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            text::appendHexByte(out, c, /*upperCase=*/true);
        }
    }
    return out;
}

std::optional<std::string> stringByAddingPercentEncodingWithAllowedCharacters(std::string_view text,
                                                                              const CharacterSet& allowed) {
    if (!text::isValidUTF8(text))
        return std::nullopt;
    return percentEncode(text, allowed);
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int hi = text::hexDigitValue(text[i + 1]), lo = text::hexDigitValue(text[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    return out;
}

std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text) {
    std::optional<std::string> decoded = percentDecode(text);
    if (!decoded || !text::isValidUTF8(*decoded))
        return std::nullopt;
    return decoded;
}

// --- URL ---------------------------------------------------------------------------

std::optional<URL> URL::parse(std::string text) {
    std::optional<Parts> parts = parseReference(text);
    if (!parts)
        return std::nullopt;
    const char* origin = text.data();
    auto span = [origin](const std::optional<std::string_view>& v) {
        return v ? Span{static_cast<std::size_t>(v->data() - origin), v->size(), true} : Span{};
    };
    Layout layout{span(parts->scheme),   span(parts->authority), span(parts->user),
                  span(parts->password), span(parts->host),      span(parts->port),
                  span(parts->path),     span(parts->query),     span(parts->fragment)};
    layout.path.present = true;
    return URL(std::move(text), layout);
}

std::optional<URL> URL::URLWithString(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    return parse(std::string(text));
}

std::optional<URL> URL::URLWithString(std::string_view text, const URL& base) {
    std::optional<Parts> ref = parseReference(text);
    std::optional<Parts> baseParts = parseReference(base.text());
    if (!ref || !baseParts)
        return std::nullopt;
    std::string resolved = recompose(resolve(*baseParts, *ref));
    // Against a relative base, dot segments can consume the whole path ("."
    // against "././"); the result is the base's own folder, which "./" names
    // without being the empty text that no URL may have.
    if (resolved.empty())
        resolved = "./";
    return parse(std::move(resolved));
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string absolute(path.empty() ? "." : path);
    bool directory = isDirectory || absolute.back() == '/';
    if (absolute[0] != '/')
        absolute = text::stringByAppendingPathComponent(currentDirectory(), absolute);
    if (directory && absolute.back() != '/')
        absolute += '/';
    std::optional<URL> url = parse("file://" + percentEncode(absolute, kFilePathAllowed));
    return std::move(*url);  // an encoded absolute path always parses
}

std::optional<std::string> URL::raw(const Span& span) const {
    if (!span.present)
        return std::nullopt;
    return text().substr(span.begin, span.length);
}

std::optional<std::string> URL::user() const {
    std::optional<std::string> user = raw(layout().user);
    return user ? percentDecode(*user) : std::nullopt;
}

std::optional<std::string> URL::password() const {
    std::optional<std::string> password = raw(layout().password);
    return password ? percentDecode(*password) : std::nullopt;
}

std::optional<std::string> URL::host() const {
    std::optional<std::string> host = raw(layout().host);
    if (!host || host->empty())
        return std::nullopt;
    if ((*host)[0] == '[')
        return host->substr(1, host->size() - 2);
    return percentDecode(*host);
}

bool URL::hasHost() const {
    if (!layout().host.present || layout().host.length == 0)
        return false;
    const std::string_view host = std::string_view(text()).substr(layout().host.begin, layout().host.length);
    if (host[0] == '[')
        return host.size() > 2;
    // host() decodes percent escapes and has no value for a broken one.
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (host[i] != '%')
            continue;
        if (i + 2 >= host.size() || text::hexDigitValue(host[i + 1]) < 0 ||
            text::hexDigitValue(host[i + 2]) < 0)
            return false;
        i += 2;
    }
    return true;
}

std::optional<uint16_t> URL::port() const {
    std::optional<std::string> port = raw(layout().port);
    if (!port || port->empty())
        return std::nullopt;
    return static_cast<uint16_t>(std::stoul(*port));  // validated digits, at most 65535
}

std::string URL::path() const {
    return percentDecode(stripTrailingSlashes(rawPath())).value_or(std::string());
}

bool URL::isFileURL() const {
    return layout().scheme.present && equalsIgnoringCase(*scheme(), "file");
}

bool URL::hasDirectoryPath() const {
    return !rawPath().empty() && rawPath().back() == '/';
}

std::string URL::lastPathComponent() const {
    return text::lastPathComponent(path());
}

std::string URL::pathExtension() const {
    return text::pathExtension(lastPathComponent());
}

URL URL::withRawPath(std::string_view rawPath) const {
    std::string path = protectPath(std::string(rawPath), layout().scheme.present, layout().authority.present);
    if (layout().authority.present && !path.empty() && path[0] != '/')
        path.insert(0, "/");
    std::string replaced = text().substr(0, layout().path.begin) + path +
                           text().substr(layout().path.begin + layout().path.length);
    std::optional<URL> url = parse(std::move(replaced));
    return url ? std::move(*url) : *this;  // the new path is encoded, so this parses
}

URL URL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
    std::string encoded = percentEncode(component, CharacterSet::URLPathAllowed());
    encoded.erase(0, std::min(encoded.find_first_not_of('/'), encoded.size()));
    std::string path(rawPath());
    if (!encoded.empty() && !path.empty() && path.back() != '/')
        path += '/';
    path += encoded;
    if (isDirectory && (path.empty() || path.back() != '/'))
        path += '/';
    return withRawPath(path);
}

URL URL::URLByDeletingLastPathComponent() const {
    std::string trimmed = stripTrailingSlashes(rawPath());
    if (trimmed.empty() || trimmed == "/")
        return *this;
    std::size_t slash = trimmed.rfind('/');
    std::string_view last = std::string_view(trimmed).substr(slash == std::string::npos ? 0 : slash + 1);
    if (last == "..")
        return withRawPath(trimmed + "/../");
    return withRawPath(slash == std::string::npos ? "./" : trimmed.substr(0, slash + 1));
}

std::optional<URL> URL::URLByAppendingPathExtension(std::string_view extension) const {
    std::string trimmed = stripTrailingSlashes(rawPath());
    if (trimmed.empty() || trimmed == "/" || extension.find('/') != std::string_view::npos)
        return std::nullopt;
    std::string slashes(rawPath().substr(trimmed.size()));
    return withRawPath(trimmed + "." + percentEncode(extension, CharacterSet::URLPathAllowed()) + slashes);
}

URL URL::URLByDeletingPathExtension() const {
    std::string trimmed = stripTrailingSlashes(rawPath());
    std::size_t componentStart = trimmed.rfind('/');
    componentStart = componentStart == std::string::npos ? 0 : componentStart + 1;
    std::size_t dot = trimmed.rfind('.');
    if (dot == std::string::npos || dot <= componentStart || trimmed.substr(componentStart) == "..")
        return *this;
    return withRawPath(trimmed.substr(0, dot) + std::string(rawPath().substr(trimmed.size())));
}

URL URL::URLByStandardizingPath() const {
    if (!isFileURL())
        return *this;
    std::string path = percentDecode(rawPath()).value_or(std::string());
    if (path.empty() || path[0] != '/')
        path = text::stringByAppendingPathComponent(currentDirectory(), path);
    std::string standard = text::stringByResolvingSymlinksInPath(path);
    if (hasDirectoryPath() && standard != "/")
        standard += '/';
    return withRawPath(percentEncode(standard, kFilePathAllowed));
}

URL URL::standardizedURL() const {
    if (rawPath().empty() || rawPath()[0] != '/')
        return *this;
    return withRawPath(removeDotSegments(rawPath()));
}

bool URLObject::isEqual(const Object& other) const {
    const auto* url = dynamic_cast<const URLObject*>(&other);
    return url && url->url_ == url_;
}

void URLObject::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(Value(url_.absoluteString()), kRelativeKey);
}

void URLObject::registerForArchiving() {
    static std::once_flag once;
    std::call_once(once, [] {
        KeyedUnarchiver::registerClass<URLObject>(
            kArchivedClassName, [](KeyedUnarchiver& coder) -> std::shared_ptr<const URLObject> {
                auto text = coder.decodeString(kRelativeKey);
                auto url = text ? URL::URLWithString(*text) : std::nullopt;
                return url ? make(*url) : nullptr;
            });
    });
}

}  // namespace plat
