// HTTP Basic and Digest (RFC 7616, MD5, qop "auth" or none): reading a
// WWW-Authenticate challenge and writing the Authorization answer.
// Pure functions; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace plat::urlloading::detail {

struct AuthChallengeHeader {
    std::string scheme;                             // "basic" or "digest", lower case
    std::map<std::string, std::string> parameters;  // names lower case
    std::optional<std::string> realm() const;
};

// The first challenge of a supported scheme in a WWW-Authenticate value
// (Digest preferred when both are offered); absent when none is supported.
std::optional<AuthChallengeHeader> parseWWWAuthenticate(const std::string& header);

std::string basicAuthorization(const std::string& user, const std::string& password);
// Empty when the challenge asks for something other than MD5.
std::string digestAuthorization(const AuthChallengeHeader& challenge, const std::string& method,
                                const std::string& uri, const std::string& user, const std::string& password,
                                const std::string& clientNonce, unsigned nonceCount);

}  // namespace plat::urlloading::detail
