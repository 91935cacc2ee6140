// URLComponents: a URL taken apart into its components, which may be read and
// replaced one by one and put together again (the platform's URL components).
//
// Components are kept percent-encoded. The plain setters encode what the
// component cannot hold as it stands (user, password, host, path, query and
// fragment each with its CharacterSet); the percentEncoded setters take text
// that is already encoded and throw plat::Exception
// (InvalidArgumentException) for text that is not, as the platform raises. A
// scheme must be a letter followed by letters, digits, "+", "-" or "."; a port
// must not be negative. A plain value type: copies are independent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/URL.h"

namespace plat {

class URLComponents {
  public:
    URLComponents() = default;
    explicit URLComponents(const URL& url);
    // nullopt for text that URL::URLWithString refuses.
    static std::optional<URLComponents> fromString(std::string_view text);

    const std::optional<std::string>& scheme() const { return scheme_; }
    std::optional<std::string> user() const { return decoded(user_); }
    std::optional<std::string> password() const { return decoded(password_); }
    std::optional<std::string> host() const;
    const std::optional<int64_t>& port() const { return port_; }
    std::string path() const { return decoded(path_).value_or(path_); }
    std::optional<std::string> query() const { return decoded(query_); }
    std::optional<std::string> fragment() const { return decoded(fragment_); }

    const std::optional<std::string>& percentEncodedUser() const { return user_; }
    const std::optional<std::string>& percentEncodedPassword() const { return password_; }
    const std::optional<std::string>& percentEncodedHost() const { return host_; }
    const std::string& percentEncodedPath() const { return path_; }
    const std::optional<std::string>& percentEncodedQuery() const { return query_; }
    const std::optional<std::string>& percentEncodedFragment() const { return fragment_; }

    void setScheme(std::optional<std::string> scheme);
    void setUser(const std::optional<std::string>& user);
    void setPassword(const std::optional<std::string>& password);
    // An IPv6 address is put in brackets.
    void setHost(const std::optional<std::string>& host);
    void setPort(std::optional<int64_t> port);
    void setPath(std::string_view path);
    void setQuery(const std::optional<std::string>& query);
    void setFragment(const std::optional<std::string>& fragment);

    void setPercentEncodedUser(std::optional<std::string> user);
    void setPercentEncodedPassword(std::optional<std::string> password);
    void setPercentEncodedHost(std::optional<std::string> host);
    void setPercentEncodedPath(std::string path);
    void setPercentEncodedQuery(std::optional<std::string> query);
    void setPercentEncodedFragment(std::optional<std::string> fragment);

    // The text the components make: "scheme:" "//user:password@host:port"
    // path "?query" "#fragment", each part only when present. nullopt when the
    // parts cannot form a URL: a path not starting with "/" after an authority,
    // or a path starting with "//" without one.
    std::optional<std::string> string() const;
    // string() parsed; nullopt when it gives no URL.
    std::optional<URL> url() const;

    bool operator==(const URLComponents&) const = default;

  private:
    static std::optional<std::string> decoded(const std::optional<std::string>& encoded);

    std::optional<std::string> scheme_, user_, password_, host_;
    std::optional<int64_t> port_;
    std::string path_;
    std::optional<std::string> query_, fragment_;
};

}  // namespace plat
