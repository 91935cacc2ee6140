#include "platform/urlloading/HTTPCookieStorage.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <libpsl.h>

#include <algorithm>
#include <chrono>

namespace plat::urlloading {
namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool domainMatches(const std::string& host, const std::string& domain) {
    if (host == domain)
        return true;
    return host.size() > domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

bool isIPAddress(const std::string& host) {
    unsigned char buffer[16];
    std::string bare =
        host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    return inet_pton(AF_INET, bare.c_str(), buffer) == 1 || inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
}

// The public suffix list: the system's (the publicsuffix package) when it is
// newer than the one built into libpsl. Loaded once, read-only afterwards.
const psl_ctx_t* publicSuffixes() {
    static const psl_ctx_t* list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

// "com", "co.uk", "github.io", and every single label (a top-level domain,
// known or not).
bool isPublicSuffix(const std::string& domain) {
    if (domain.find('.') == std::string::npos)
        return true;
    const psl_ctx_t* list = publicSuffixes();
    return list && psl_is_public_suffix(list, domain.c_str()) != 0;
}

bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
    if (requestPath == cookiePath)
        return true;
    if (requestPath.rfind(cookiePath, 0) != 0)
        return false;
    return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string defaultPath(const URL& url) {
    std::string path = url.path();
    if (path.empty() || path[0] != '/')
        return "/";
    size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<HTTPCookie> HTTPCookie::parse(const std::string& setCookie, const URL& url, double now) {
    auto host = url.host();
    if (!host)
        return std::nullopt;
    HTTPCookie c;
    c.domain = lower(*host);
    c.path = defaultPath(url);
    size_t semi = setCookie.find(';');
    std::string pair = setCookie.substr(0, semi);
    size_t eq = pair.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    c.name = trim(pair.substr(0, eq));
    c.value = trim(pair.substr(eq + 1));
    if (c.name.empty())
        return std::nullopt;
    std::optional<double> maxAge;
    while (semi != std::string::npos) {
        size_t next = setCookie.find(';', semi + 1);
        std::string attribute =
            setCookie.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1);
        semi = next;
        size_t aeq = attribute.find('=');
        std::string name = lower(trim(attribute.substr(0, aeq)));
        std::string value = aeq == std::string::npos ? std::string() : trim(attribute.substr(aeq + 1));
        if (name == "domain" && !value.empty()) {
            std::string domain = lower(value[0] == '.' ? value.substr(1) : value);
            if (domain.empty())
                continue;
            // An address is matched only by itself, and a public suffix
            // (a top-level domain, "co.uk") would hand the cookie to every
            // site under it: refused, unless it names the setting host
            // itself, which keeps the cookie to that host.
            if (domain == c.domain && (isIPAddress(domain) || isPublicSuffix(domain)))
                continue;
            if (isIPAddress(c.domain) || isPublicSuffix(domain) || !domainMatches(c.domain, domain))
                return std::nullopt;
            c.domain = domain;
            c.hostOnly = false;
        } else if (name == "path" && !value.empty() && value[0] == '/') {
            c.path = value;
        } else if (name == "expires") {
            time_t t = curl_getdate(value.c_str(), nullptr);
            if (t != -1)
                c.expiresAt = static_cast<double>(t);
        } else if (name == "max-age") {
            char* end = nullptr;
            long long seconds = std::strtoll(value.c_str(), &end, 10);
            if (end && *end == '\0' && !value.empty())
                maxAge = now + static_cast<double>(std::max(seconds, 0LL));
        } else if (name == "secure") {
            c.secure = true;
        } else if (name == "httponly") {
            c.httpOnly = true;
        }
    }
    if (maxAge)
        c.expiresAt = maxAge;
    return c;
}

bool HTTPCookie::matches(const URL& url, double now) const {
    auto host = url.host();
    if (!host)
        return false;
    std::string h = lower(*host);
    const bool exact = hostOnly || isIPAddress(h);
    if (exact ? h != domain : !domainMatches(h, domain))
        return false;
    std::string path = url.path().empty() ? "/" : url.path();
    if (!pathMatches(path, this->path))
        return false;
    if (secure && lower(url.scheme().value_or("")) != "https")
        return false;
    return !expiresAt || *expiresAt > now;
}

const std::shared_ptr<HTTPCookieStorage>& HTTPCookieStorage::shared() {
    static const auto storage = std::make_shared<HTTPCookieStorage>();
    return storage;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url) const {
    double now = nowSeconds();
    std::vector<HTTPCookie> out;
    {
        plat::MutexLock lock(mutex_);
        for (const auto& c : cookies_) {
            if (c.matches(url, now))
                out.push_back(c);
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.path.size() > b.path.size(); });
    return out;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    plat::MutexLock lock(mutex_);
    return cookies_;
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    plat::MutexLock lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::Never)
        return;
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](const HTTPCookie& c) {
                                      return c.name == cookie.name && c.domain == cookie.domain &&
                                             c.path == cookie.path;
                                  }),
                   cookies_.end());
    if (!cookie.expiresAt || *cookie.expiresAt > nowSeconds())
        cookies_.push_back(cookie);
}

void HTTPCookieStorage::setCookiesFromResponse(const std::vector<std::string>& values, const URL& url) {
    double now = nowSeconds();
    for (const auto& v : values) {
        if (auto cookie = HTTPCookie::parse(v, url, now))
            setCookie(*cookie);
    }
}

void HTTPCookieStorage::deleteAllCookies() {
    plat::MutexLock lock(mutex_);
    cookies_.clear();
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() const {
    plat::MutexLock lock(mutex_);
    return policy_;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    plat::MutexLock lock(mutex_);
    policy_ = policy;
}

std::string HTTPCookieStorage::headerValue(const std::vector<HTTPCookie>& cookies) {
    std::string out;
    for (const auto& c : cookies)
        out += (out.empty() ? "" : "; ") + c.name + "=" + c.value;
    return out;
}

}  // namespace plat::urlloading
