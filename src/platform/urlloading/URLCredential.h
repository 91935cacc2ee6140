// Credentials, protection spaces, the credential storage and authentication
// challenges.
//
// CredentialStorage is in memory and process-wide (shared()); all its
// members may be called from any thread. The other types are plain values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"

#include "platform/security/Identity.h"
#include "platform/security/ServerTrust.h"
#include "platform/urlloading/URLResponse.h"

namespace plat::urlloading {

inline constexpr const char* URLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* URLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* URLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* URLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
inline constexpr const char* URLAuthenticationMethodClientCertificate =
    "NSURLAuthenticationMethodClientCertificate";

enum class URLCredentialPersistence { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

struct URLCredential {
    std::optional<std::string> user;
    std::optional<std::string> password;
    URLCredentialPersistence persistence = URLCredentialPersistence::ForSession;
    security::ServerTrustPtr trust;  // set for server-trust credentials only
    // Client-certificate credentials: the identity presented, and the
    // intermediates sent after its certificate.
    security::IdentityPtr identity;
    std::vector<security::CertificatePtr> certificates;

    static URLCredential withUser(
        std::string user, std::string password,
        URLCredentialPersistence persistence = URLCredentialPersistence::ForSession) {
        return {std::move(user), std::move(password), persistence, nullptr, nullptr, {}};
    }
    static URLCredential forTrust(security::ServerTrustPtr trust) {
        return {std::nullopt, std::nullopt, URLCredentialPersistence::None, std::move(trust), nullptr, {}};
    }
    static URLCredential withIdentity(
        security::IdentityPtr identity, std::vector<security::CertificatePtr> certificates = {},
        URLCredentialPersistence persistence = URLCredentialPersistence::ForSession) {
        return {std::nullopt, std::nullopt,        persistence,
                nullptr,      std::move(identity), std::move(certificates)};
    }
    bool hasPassword() const { return password.has_value(); }
};

struct URLProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;  // the URL scheme
    std::optional<std::string> realm;
    std::string authenticationMethod = URLAuthenticationMethodDefault;
    security::ServerTrustPtr serverTrust;  // server-trust spaces only

    // Host without case; port, protocol, realm and method exactly.
    bool operator==(const URLProtectionSpace& other) const;
    bool operator<(const URLProtectionSpace& other) const;
};

enum class URLSessionAuthChallengeDisposition {
    UseCredential = 0,
    PerformDefaultHandling = 1,
    CancelAuthenticationChallenge = 2,
    RejectProtectionSpace = 3,
};

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    int previousFailureCount = 0;
    std::optional<URLCredential> proposedCredential;
    HTTPURLResponsePtr failureResponse;
};

class URLCredentialStorage {
  public:
    static const std::shared_ptr<URLCredentialStorage>& shared();

    // Credentials are stored under their user, or, for client-certificate
    // credentials, "identity:" and the certificate's subject.
    // Absent when nothing was ever stored for the space; users in the order
    // stored.
    std::optional<std::vector<std::pair<std::string, URLCredential>>> credentialsForProtectionSpace(
        const URLProtectionSpace& space) const;
    std::optional<URLCredential> defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const;
    void setCredential(const URLCredential& credential, const URLProtectionSpace& space);
    void setDefaultCredential(const URLCredential& credential, const URLProtectionSpace& space);
    void removeCredential(const URLCredential& credential, const URLProtectionSpace& space);

  private:
    struct Entry {
        std::vector<std::pair<std::string, URLCredential>> credentials;
        std::optional<std::string> defaultUser;
    };
    mutable plat::Mutex mutex_;
    std::map<URLProtectionSpace, Entry> spaces_ GUARDED_BY(mutex_);
};

}  // namespace plat::urlloading
