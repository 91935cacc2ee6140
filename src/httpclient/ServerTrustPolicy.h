// Server trust policies: per host, how a TLS server's certificate chain is
// judged (default evaluation, with revocation, pinned certificates or public
// keys, a custom callback, or not at all), and the manager a session carries
// so that its delegates find the policy for a host.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/security/Certificate.h"
#include "platform/security/ServerTrust.h"

namespace plat::urlloading {
class URLSession;
}

namespace httpclient {

using plat::security::CertificatePtr;
using plat::security::PublicKeyPtr;
using plat::security::ServerTrustPtr;

class ServerTrustPolicy {
  public:
    enum class Kind {
        performDefaultEvaluation,
        performRevokedEvaluation,
        pinCertificates,
        pinPublicKeys,
        customEvaluation,
        disableEvaluation,
    };
    using CustomEvaluation = std::function<bool(const ServerTrustPtr&, const std::string& host)>;

    static ServerTrustPolicy performDefaultEvaluation(bool validateHost);
    // `crls` (DER) are what revocation is judged from; no network fetch is made.
    static ServerTrustPolicy performRevokedEvaluation(bool validateHost, unsigned revocationFlags,
                                                      std::vector<plat::Data> crls = {});
    static ServerTrustPolicy pinCertificates(std::vector<CertificatePtr> certificates,
                                             bool validateCertificateChain, bool validateHost);
    static ServerTrustPolicy pinPublicKeys(std::vector<PublicKeyPtr> publicKeys,
                                           bool validateCertificateChain, bool validateHost);
    static ServerTrustPolicy customEvaluation(CustomEvaluation evaluation);
    static ServerTrustPolicy disableEvaluation();

    Kind kind() const { return kind_; }

    // True when the trust is accepted for `host`. Never fails: every problem
    // reads as false. Pinning without chain validation still requires the
    // pin to be the leaf's, or to be reached from the leaf by signatures up
    // the presented chain (no time or host check): a pinned certificate merely
    // appended to an unrelated chain is refused.
    bool evaluate(const ServerTrustPtr& trust, const std::string& host) const;

    // Certificates (.cer, .crt, .der in either case) among a bundle's
    // resources; unreadable files and other data are skipped.
    static std::vector<CertificatePtr> certificates(const plat::Bundle& bundle = plat::Bundle::mainBundle());
    static std::vector<PublicKeyPtr> publicKeys(const plat::Bundle& bundle = plat::Bundle::mainBundle());

  private:
    Kind kind_ = Kind::disableEvaluation;
    bool validateHost_ = true;
    bool validateChain_ = true;
    unsigned revocationFlags_ = 0;
    std::vector<plat::Data> crls_;
    std::vector<CertificatePtr> certificates_;
    std::vector<PublicKeyPtr> keys_;
    CustomEvaluation custom_;
};

class ServerTrustPolicyManager {
  public:
    explicit ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies)
        : policies_(std::move(policies)) {}
    virtual ~ServerTrustPolicyManager() = default;

    const std::map<std::string, ServerTrustPolicy>& policies() const { return policies_; }
    // The policy under exactly `host` (no case folding, no wildcards).
    virtual std::optional<ServerTrustPolicy> serverTrustPolicy(const std::string& host) const;

  private:
    const std::map<std::string, ServerTrustPolicy> policies_;
};

// The manager kept with a session, or null.
std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(
    const plat::urlloading::URLSession& session);
void setServerTrustPolicyManager(plat::urlloading::URLSession& session,
                                 std::shared_ptr<ServerTrustPolicyManager> manager);

}  // namespace httpclient
