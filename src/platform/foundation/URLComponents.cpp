#include "platform/foundation/URLComponents.h"

#include <cctype>

#include "platform/foundation/Error.h"

namespace plat {
namespace {

[[noreturn]] void refuse(const std::string& what, std::string_view value) {
    throw Exception(InvalidArgumentException,
                    "URLComponents: invalid characters in " + what + " \"" + std::string(value) + "\"");
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0])))
        return false;
    for (char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// Text that is already percent-encoded for a component: every byte in
// `allowed` or part of a "%XX" escape.
bool isEncodedFor(std::string_view text, const CharacterSet& allowed) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return false;
            i += 2;
        } else if (!allowed.contains(c)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> checked(std::optional<std::string> value, const CharacterSet& allowed,
                                   const char* what) {
    if (value && !isEncodedFor(*value, allowed))
        refuse(what, *value);
    return value;
}

std::optional<std::string> encoded(const std::optional<std::string>& value, const CharacterSet& allowed) {
    if (!value)
        return std::nullopt;
    return percentEncode(*value, allowed);
}

}  // namespace

URLComponents::URLComponents(const URL& url) {
    // URL has validated the text, so a plain split by the RFC 3986 delimiters is exact.
    std::string_view rest = url.absoluteString();
    if (const auto colon = rest.find_first_of(":/?#");
        colon != std::string_view::npos && rest[colon] == ':') {
        scheme_ = std::string(rest.substr(0, colon));
        rest.remove_prefix(colon + 1);
    }
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            const std::string_view userInfo = authority.substr(0, at);
            const auto colon = userInfo.find(':');
            user_ = std::string(userInfo.substr(0, colon));
            if (colon != std::string_view::npos)
                password_ = std::string(userInfo.substr(colon + 1));
            authority.remove_prefix(at + 1);
        }
        const auto bracket = authority.rfind(']');
        const auto colon = authority.rfind(':');
        if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
            const std::string_view port = authority.substr(colon + 1);
            if (!port.empty())
                port_ = std::stoll(std::string(port));
            authority = authority.substr(0, colon);
        }
        host_ = std::string(authority);
    }
    path_ = std::string(rest);
}

std::optional<URLComponents> URLComponents::fromString(std::string_view text) {
    auto url = URL::URLWithString(text);
    if (!url)
        return std::nullopt;
    return URLComponents(*url);
}

std::optional<std::string> URLComponents::decoded(const std::optional<std::string>& encoded) {
    if (!encoded)
        return std::nullopt;
    return stringByRemovingPercentEncoding(*encoded);
}

std::optional<std::string> URLComponents::host() const {
    auto host = decoded(host_);
    if (host && host->size() >= 2 && host->front() == '[' && host->back() == ']')
        return host->substr(1, host->size() - 2);
    return host;
}

void URLComponents::setScheme(std::optional<std::string> scheme) {
    if (scheme && !isValidScheme(*scheme))
        refuse("scheme", *scheme);
    scheme_ = std::move(scheme);
}

void URLComponents::setUser(const std::optional<std::string>& user) {
    user_ = encoded(user, CharacterSet::URLUserAllowed());
}
void URLComponents::setPassword(const std::optional<std::string>& password) {
    password_ = encoded(password, CharacterSet::URLPasswordAllowed());
}
void URLComponents::setHost(const std::optional<std::string>& host) {
    if (host && host->find(':') != std::string::npos && host->front() != '[') {
        host_ = "[" + percentEncode(*host, CharacterSet::URLHostAllowed()) + "]";
        return;
    }
    host_ = encoded(host, CharacterSet::URLHostAllowed());
}
void URLComponents::setPort(std::optional<int64_t> port) {
    if (port && *port < 0)
        throw Exception(InvalidArgumentException, "URLComponents: negative port " + std::to_string(*port));
    port_ = port;
}
void URLComponents::setPath(std::string_view path) {
    path_ = percentEncode(path, CharacterSet::URLPathAllowed());
}
void URLComponents::setQuery(const std::optional<std::string>& query) {
    query_ = encoded(query, CharacterSet::URLQueryAllowed());
}
void URLComponents::setFragment(const std::optional<std::string>& fragment) {
    fragment_ = encoded(fragment, CharacterSet::URLFragmentAllowed());
}

void URLComponents::setPercentEncodedUser(std::optional<std::string> user) {
    user_ = checked(std::move(user), CharacterSet::URLUserAllowed(), "user");
}
void URLComponents::setPercentEncodedPassword(std::optional<std::string> password) {
    password_ = checked(std::move(password), CharacterSet::URLPasswordAllowed(), "password");
}
void URLComponents::setPercentEncodedHost(std::optional<std::string> host) {
    host_ = checked(std::move(host), CharacterSet::URLHostAllowed(), "host");
}
void URLComponents::setPercentEncodedPath(std::string path) {
    if (!isEncodedFor(path, CharacterSet::URLPathAllowed()))
        refuse("path", path);
    path_ = std::move(path);
}
void URLComponents::setPercentEncodedQuery(std::optional<std::string> query) {
    query_ = checked(std::move(query), CharacterSet::URLQueryAllowed(), "query");
}
void URLComponents::setPercentEncodedFragment(std::optional<std::string> fragment) {
    fragment_ = checked(std::move(fragment), CharacterSet::URLFragmentAllowed(), "fragment");
}

std::optional<std::string> URLComponents::string() const {
    std::string out;
    if (scheme_)
        out += *scheme_ + ":";
    const bool hasAuthority = user_ || password_ || host_ || port_;
    if (hasAuthority) {
        out += "//";
        if (user_)
            out += *user_;
        if (password_)
            out += ":" + *password_;
        if (user_ || password_)
            out += "@";
        if (host_)
            out += *host_;
        if (port_)
            out += ":" + std::to_string(*port_);
        if (!path_.empty() && path_.front() != '/')
            return std::nullopt;
    } else if (path_.substr(0, 2) == "//") {
        return std::nullopt;
    }
    out += path_;
    if (query_)
        out += "?" + *query_;
    if (fragment_)
        out += "#" + *fragment_;
    return out;
}

std::optional<URL> URLComponents::url() const {
    auto text = string();
    if (!text)
        return std::nullopt;
    return URL::URLWithString(*text);
}

}  // namespace plat
