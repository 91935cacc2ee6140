#include "httpclient/ServerTrustPolicy.h"

#include <openssl/x509.h>

#include <set>

#include "platform/foundation/FileManager.h"
#include "platform/urlloading/URLSession.h"

namespace httpclient {

namespace {

using plat::security::TrustPolicy;

const char kTrustManagerKey = 0;

TrustPolicy sslPolicy(bool validateHost, const std::string& host) {
    return TrustPolicy::SSL(true, validateHost ? std::optional<std::string>(host) : std::nullopt);
}

bool verifiesUnder(const CertificatePtr& cert, EVP_PKEY* key) {
    return key && X509_verify(static_cast<X509*>(cert->x509()), key) == 1;
}

EVP_PKEY* keyOf(const CertificatePtr& cert) {
    return X509_get0_pubkey(static_cast<X509*>(cert->x509()));
}

// Follows signatures from the leaf up the presented chain and asks `pinned`
// about each key reached: the leaf's own, then each issuer's whose signature
// over the certificate below it checks out. A certificate that does not sign
// the one below it ends the walk.
template <class IsPinnedKey, class IsPinnedCert>
bool pinReachedFromLeaf(const std::vector<CertificatePtr>& chain, IsPinnedKey&& pinnedKey,
                        IsPinnedCert&& pinnedCert, const std::vector<EVP_PKEY*>& pinnedIssuerKeys) {
    if (chain.empty())
        return false;
    if (pinnedCert(chain[0]) || pinnedKey(chain[0]))
        return true;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        // A pinned issuer that is not presented but signed this certificate.
        for (EVP_PKEY* key : pinnedIssuerKeys) {
            if (verifiesUnder(chain[i], key))
                return true;
        }
        if (i + 1 >= chain.size() || !verifiesUnder(chain[i], keyOf(chain[i + 1])))
            return false;
        if (pinnedCert(chain[i + 1]) || pinnedKey(chain[i + 1]))
            return true;
    }
    return false;
}

}  // namespace

ServerTrustPolicy ServerTrustPolicy::performDefaultEvaluation(bool validateHost) {
    ServerTrustPolicy p;
    p.kind_ = Kind::performDefaultEvaluation;
    p.validateHost_ = validateHost;
    return p;
}

ServerTrustPolicy ServerTrustPolicy::performRevokedEvaluation(bool validateHost, unsigned revocationFlags,
                                                              std::vector<plat::Data> crls) {
    ServerTrustPolicy p;
    p.kind_ = Kind::performRevokedEvaluation;
    p.validateHost_ = validateHost;
    p.revocationFlags_ = revocationFlags;
    p.crls_ = std::move(crls);
    return p;
}

ServerTrustPolicy ServerTrustPolicy::pinCertificates(std::vector<CertificatePtr> certificates,
                                                     bool validateCertificateChain, bool validateHost) {
    ServerTrustPolicy p;
    p.kind_ = Kind::pinCertificates;
    p.certificates_ = std::move(certificates);
    p.validateChain_ = validateCertificateChain;
    p.validateHost_ = validateHost;
    return p;
}

ServerTrustPolicy ServerTrustPolicy::pinPublicKeys(std::vector<PublicKeyPtr> publicKeys,
                                                   bool validateCertificateChain, bool validateHost) {
    ServerTrustPolicy p;
    p.kind_ = Kind::pinPublicKeys;
    p.keys_ = std::move(publicKeys);
    p.validateChain_ = validateCertificateChain;
    p.validateHost_ = validateHost;
    return p;
}

ServerTrustPolicy ServerTrustPolicy::customEvaluation(CustomEvaluation evaluation) {
    ServerTrustPolicy p;
    p.kind_ = Kind::customEvaluation;
    p.custom_ = std::move(evaluation);
    return p;
}

ServerTrustPolicy ServerTrustPolicy::disableEvaluation() {
    return ServerTrustPolicy();
}

bool ServerTrustPolicy::evaluate(const ServerTrustPtr& trust, const std::string& host) const {
    if (kind_ == Kind::disableEvaluation)
        return true;
    if (kind_ == Kind::customEvaluation)
        return custom_ && custom_(trust, host);
    if (!trust)
        return false;
    switch (kind_) {
        case Kind::performDefaultEvaluation:
            trust->setPolicies({sslPolicy(validateHost_, host)});
            return trust->evaluateWithError();
        case Kind::performRevokedEvaluation:
            trust->setPolicies({sslPolicy(validateHost_, host), TrustPolicy::revocation(revocationFlags_)});
            trust->setCRLs(crls_);
            return trust->evaluateWithError();
        case Kind::pinCertificates: {
            if (validateChain_) {
                trust->setPolicies({sslPolicy(validateHost_, host)});
                trust->setAnchorCertificates(certificates_);
                trust->setAnchorCertificatesOnly(true);
                return trust->evaluateWithError();
            }
            std::vector<EVP_PKEY*> issuerKeys;
            for (const auto& pinned : certificates_)
                issuerKeys.push_back(keyOf(pinned));
            auto isPinned = [&](const CertificatePtr& cert) {
                for (const auto& pinned : certificates_) {
                    if (cert->isEqual(*pinned))
                        return true;
                }
                return false;
            };
            return pinReachedFromLeaf(
                trust->presentedChain(), [](const CertificatePtr&) { return false; }, isPinned, issuerKeys);
        }
        case Kind::pinPublicKeys: {
            auto isPinnedKey = [&](const CertificatePtr& cert) {
                auto key = cert->publicKey();
                if (!key)
                    return false;
                for (const auto& pinned : keys_) {
                    if (pinned && key->isEqual(*pinned))
                        return true;
                }
                return false;
            };
            if (validateChain_) {
                trust->setPolicies({sslPolicy(validateHost_, host)});
                if (!trust->evaluateWithError())
                    return false;
                // The evaluated chain is a signature path from the leaf.
                for (std::size_t i = 0; i < trust->certificateCount(); ++i) {
                    if (isPinnedKey(trust->certificateAtIndex(i)))
                        return true;
                }
                return false;
            }
            std::vector<EVP_PKEY*> issuerKeys;
            for (const auto& pinned : keys_) {
                if (pinned)
                    issuerKeys.push_back(static_cast<EVP_PKEY*>(pinned->pkey()));
            }
            return pinReachedFromLeaf(
                trust->presentedChain(), isPinnedKey, [](const CertificatePtr&) { return false; },
                issuerKeys);
        }
        default:
            return false;
    }
}

std::vector<CertificatePtr> ServerTrustPolicy::certificates(const plat::Bundle& bundle) {
    std::set<std::string> paths;
    for (const char* type : {"cer", "CER", "crt", "CRT", "der", "DER"}) {
        for (auto& path : bundle.pathsForResourcesOfType(type))
            paths.insert(path);
    }
    std::vector<CertificatePtr> out;
    for (const auto& path : paths) {
        auto data = plat::FileManager::defaultManager().contentsAtPath(path);
        if (!data)
            continue;
        if (auto cert = plat::security::Certificate::createWithData(*data))
            out.push_back(std::move(cert));
    }
    return out;
}

std::vector<PublicKeyPtr> ServerTrustPolicy::publicKeys(const plat::Bundle& bundle) {
    std::vector<PublicKeyPtr> out;
    for (const auto& cert : certificates(bundle)) {
        if (auto key = cert->publicKey())
            out.push_back(std::move(key));
    }
    return out;
}

std::optional<ServerTrustPolicy> ServerTrustPolicyManager::serverTrustPolicy(const std::string& host) const {
    auto it = policies_.find(host);
    if (it == policies_.end())
        return std::nullopt;
    return it->second;
}

std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(
    const plat::urlloading::URLSession& session) {
    return std::static_pointer_cast<ServerTrustPolicyManager>(session.attachment(&kTrustManagerKey));
}

void setServerTrustPolicyManager(plat::urlloading::URLSession& session,
                                 std::shared_ptr<ServerTrustPolicyManager> manager) {
    session.setAttachment(&kTrustManagerKey, std::move(manager));
}

}  // namespace httpclient
