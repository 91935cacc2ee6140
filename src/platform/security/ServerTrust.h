// ServerTrust: the certificate chain a server presented, the policies to
// judge it by, and its evaluation with OpenSSL.
//
// Evaluation builds a path from the leaf to a trusted root using the other
// presented certificates as intermediates. Trusted roots are the system's
// (see systemRootCertificates) plus the anchor certificates, or the anchors
// alone after setAnchorCertificatesOnly(true); with anchors set, an anchor
// may be an intermediate or the leaf itself (a pinned certificate). Host
// names are matched against subjectAltName only. When the system has no
// roots at all (no CA bundle installed), an evaluation that needed them
// fails with an error that names the missing bundle.
//
// A revocation policy checks the leaf: against the CRLs handed to setCRLs
// when there are any; else against an OCSP response handed to
// setOCSPResponses (one a server stapled, say); else, unless the policy
// carries RevocationNetworkAccessDisabled or asks for CRLs only, by asking
// the OCSP responder the leaf names (plain HTTP, 10 seconds at most: such
// an evaluation blocks its thread meanwhile).
// When none of these gives an answer the evaluation fails closed with
// TrustErrorIncompleteRevocationCheck ("revocation could not be checked"):
// a policy that asks for revocation checking never passes unchecked.
//
// A ServerTrust is used by one thread at a time (evaluate mutates it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/security/Certificate.h"

namespace plat::security {

// Error codes of evaluate() (OSStatusErrorDomain), as the platform's.
enum TrustErrorCode : int64_t {
    TrustErrorCertificateExpired = -67818,
    TrustErrorCertificateNotValidYet = -67819,
    TrustErrorHostNameMismatch = -67602,
    TrustErrorNotTrusted = -67843,
    TrustErrorCertificateRevoked = -67820,
    TrustErrorIncompleteRevocationCheck = -67635,
    TrustErrorInvalidCertificate = -67808,
};

enum RevocationFlags : unsigned {
    RevocationOCSPMethod = 1,
    RevocationCRLMethod = 2,
    RevocationPreferCRL = 4,
    RevocationRequirePositiveResponse = 8,
    RevocationNetworkAccessDisabled = 16,
    RevocationUseAnyAvailableMethod = 3,
};

struct TrustPolicy {
    enum class Kind { BasicX509, SSL, Revocation };
    Kind kind = Kind::BasicX509;
    bool server = true;
    std::optional<std::string> hostName;  // SSL: checked when present
    unsigned revocationFlags = 0;

    static TrustPolicy basicX509() { return {}; }
    static TrustPolicy SSL(bool server, std::optional<std::string> host) {
        return {Kind::SSL, server, std::move(host), 0};
    }
    static TrustPolicy revocation(unsigned flags) { return {Kind::Revocation, true, std::nullopt, flags}; }
};

class ServerTrust;
using ServerTrustPtr = std::shared_ptr<ServerTrust>;

class ServerTrust {
  public:
    // `chain` is the leaf first, then what the server sent after it. Null for
    // an empty chain.
    static ServerTrustPtr create(std::vector<CertificatePtr> chain, std::vector<TrustPolicy> policies);

    void setPolicies(std::vector<TrustPolicy> policies) { policies_ = std::move(policies); }
    const std::vector<TrustPolicy>& policies() const { return policies_; }
    void setAnchorCertificates(std::vector<CertificatePtr> anchors);
    void setAnchorCertificatesOnly(bool only) { anchorsOnly_ = only; }
    // DER-encoded CRLs used by revocation policies.
    void setCRLs(std::vector<Data> crls) { crls_ = std::move(crls); }
    // DER-encoded OCSP responses used by revocation policies.
    void setOCSPResponses(std::vector<Data> responses) { ocspResponses_ = std::move(responses); }

    // True when the chain is trusted under every policy; else false and, when
    // `error` is given, an OSStatusErrorDomain error naming the reason.
    [[nodiscard]] bool evaluateWithError(ErrorPtr* error = nullptr);
    // The OpenSSL verify result (X509_V_ERR_*) of the last evaluation, 0 when
    // it passed or none ran.
    int lastVerifyResult() const { return lastVerifyResult_; }
    // True when the last evaluation failed for want of a root and the system
    // roots it consulted were none (no CA bundle installed).
    bool lastFailureLackedSystemRoots() const { return lackedSystemRoots_; }

    // The presented chain, or after a successful evaluation the chain that
    // was built (leaf to root).
    std::size_t certificateCount() const { return current().size(); }
    CertificatePtr certificateAtIndex(std::size_t index) const;
    const std::vector<CertificatePtr>& presentedChain() const { return chain_; }
    // The leaf's key, trusted or not.
    PublicKeyPtr publicKey() const { return chain_.front()->publicKey(); }

  private:
    enum class Revocation { Good, Revoked, Unknown };
    // The leaf's status from the OCSP responses given or its responder.
    Revocation ocspStatus(void* storeContext, unsigned flags);
    // False, with the verify result and detail set, unless the leaf's OCSP
    // status is good.
    bool passesOCSPCheck(void* storeContext, unsigned flags);
    // The error of the last evaluation, which failed.
    [[nodiscard]] ErrorPtr evaluationError() const;
    ServerTrust(std::vector<CertificatePtr> chain, std::vector<TrustPolicy> policies)
        : chain_(std::move(chain)), policies_(std::move(policies)) {}
    const std::vector<CertificatePtr>& current() const {
        return evaluatedChain_.empty() ? chain_ : evaluatedChain_;
    }

    std::vector<CertificatePtr> chain_;
    std::vector<TrustPolicy> policies_;
    std::vector<CertificatePtr> anchors_;
    bool anchorsOnly_ = false;
    std::vector<Data> crls_;
    std::vector<Data> ocspResponses_;
    std::string failureDetail_;  // said in the error beside the verify result
    std::vector<CertificatePtr> evaluatedChain_;
    int lastVerifyResult_ = 0;
    bool lackedSystemRoots_ = false;
};

// Where the system's trusted roots are read from: the bundle file set with
// setSystemRootCertificatesFile, else $SSL_CERT_FILE, else OpenSSL's default
// certificate file (/etc/ssl/certs/ca-certificates.crt on Debian, from the
// ca-certificates package). Any thread.
std::string systemRootCertificatesFile();
// Replaces the bundle location for the whole process (nullopt restores the
// default). A bundle set here is the only source of system roots; the
// default location is completed by OpenSSL's certificate folder. Meant for
// start-up and tests: evaluations running meanwhile see the old or the new
// roots.
void setSystemRootCertificatesFile(std::optional<std::string> path);
// The system's trusted roots from the current location, read once per
// location; empty when the bundle is missing or unreadable. Any thread; the
// result stays valid for the life of the process.
const std::vector<CertificatePtr>& systemRootCertificates();
// Says that the system has no trusted roots and where the bundle was looked
// for; empty when it has roots.
std::string missingSystemRootsDescription();

}  // namespace plat::security
