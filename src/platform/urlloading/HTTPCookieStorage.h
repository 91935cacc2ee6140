// HTTPCookie and HTTPCookieStorage: cookies parsed from Set-Cookie (name and
// value, Domain, Path, Expires, Max-Age, Secure, HttpOnly) and the store a
// session reads and fills.
//
// A cookie is refused when its Domain attribute does not domain-match the
// setting host, is a public suffix ("com", "co.uk", any single label; the
// list is libpsl's, updated from the system's publicsuffix package), or is
// set by a host that is an IP address (an address matches only itself); a
// Domain naming the setting host itself keeps the cookie to that host. A
// cookie without a name is refused too. The storage is in memory; shared() is the
// process-wide one. All storage members may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"

#include "platform/foundation/URL.h"

namespace plat::urlloading {

struct HTTPCookie {
    std::string name;
    std::string value;
    std::string domain;  // lower case; host-only cookies keep hostOnly
    bool hostOnly = true;
    std::string path = "/";
    std::optional<double> expiresAt;  // seconds since 1970; absent: session cookie
    bool secure = false;
    bool httpOnly = false;

    // Parses one Set-Cookie value received from `url`; absent when refused.
    static std::optional<HTTPCookie> parse(const std::string& setCookie, const URL& url, double now);
    bool matches(const URL& url, double now) const;
};

enum class HTTPCookieAcceptPolicy { Always = 0, Never = 1, OnlyFromMainDocumentDomain = 2 };

class HTTPCookieStorage {
  public:
    static const std::shared_ptr<HTTPCookieStorage>& shared();

    // Cookies to send to `url`, longest path first.
    std::vector<HTTPCookie> cookiesForURL(const URL& url) const;
    std::vector<HTTPCookie> cookies() const;
    // Replaces a cookie of the same name, domain and path; an expired one
    // deletes it.
    void setCookie(const HTTPCookie& cookie);
    void setCookiesFromResponse(const std::vector<std::string>& setCookieValues, const URL& url);
    void deleteAllCookies();

    HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

    // The Cookie header value for a list, "a=1; b=2".
    static std::string headerValue(const std::vector<HTTPCookie>& cookies);

  private:
    mutable plat::Mutex mutex_;
    std::vector<HTTPCookie> cookies_ GUARDED_BY(mutex_);
    HTTPCookieAcceptPolicy policy_ GUARDED_BY(mutex_) = HTTPCookieAcceptPolicy::Always;
};

}  // namespace plat::urlloading
