#include "platform/security/ServerTrust.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/foundation/Mutex.h"

namespace plat::security {
namespace {

void readPemFile(const std::string& path, std::vector<CertificatePtr>& out) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return;
    while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
        out.push_back(Certificate::fromX509(x));
        X509_free(x);
    }
    ERR_clear_error();
    (void)std::fclose(f);  // read only: closing loses nothing
}

bool isIPAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

int64_t codeFor(int verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return TrustErrorCertificateExpired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return TrustErrorCertificateNotValidYet;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return TrustErrorHostNameMismatch;
        case X509_V_ERR_CERT_REVOKED:
            return TrustErrorCertificateRevoked;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
            return TrustErrorIncompleteRevocationCheck;
        default:
            return TrustErrorNotTrusted;
    }
}

constexpr int kOCSPTimeoutSeconds = 10;
constexpr long kOCSPLeewaySeconds = 300;

// The first plain-HTTP OCSP responder the certificate names.
std::optional<std::string> ocspResponderURL(X509* certificate) {
    std::optional<std::string> found;
    STACK_OF(OPENSSL_STRING)* urls = X509_get1_ocsp(certificate);
    for (int i = 0; i < sk_OPENSSL_STRING_num(urls) && !found; ++i) {
        std::string url = sk_OPENSSL_STRING_value(urls, i);
        if (url.rfind("http://", 0) == 0)
            found = url;
    }
    X509_email_free(urls);
    return found;
}

// Asks the responder at `url` about `id`; null when it cannot be reached or
// does not answer with an OCSP response.
OCSP_RESPONSE* askResponder(const std::string& url, OCSP_CERTID* id) {
    char *host = nullptr, *port = nullptr, *path = nullptr;
    int ssl = 0;
    if (OSSL_HTTP_parse_url(url.c_str(), &ssl, nullptr, &host, &port, nullptr, &path, nullptr, nullptr) != 1)
        return nullptr;
    OCSP_REQUEST* request = OCSP_REQUEST_new();
    if (!request || !OCSP_request_add0_id(request, OCSP_CERTID_dup(id))) {
        OCSP_REQUEST_free(request);
        OPENSSL_free(host);
        OPENSSL_free(port);
        OPENSSL_free(path);
        return nullptr;  // no question to ask: revocation stays unknown, which fails closed
    }
    BIO* body = ASN1_item_i2d_mem_bio(ASN1_ITEM_rptr(OCSP_REQUEST), reinterpret_cast<ASN1_VALUE*>(request));
    OCSP_RESPONSE* response = nullptr;
    // No proxy: the responder is asked directly.
    if (BIO* answer =
            OSSL_HTTP_transfer(nullptr, host, port, path, ssl, "", nullptr, nullptr, nullptr, nullptr,
                               nullptr, 0, nullptr, "application/ocsp-request", body,
                               "application/ocsp-response", 1, 100 * 1024, kOCSPTimeoutSeconds, 0)) {
        response = d2i_OCSP_RESPONSE_bio(answer, nullptr);
        (void)BIO_free(answer);  // read only
    }
    (void)BIO_free(body);  // read only
    OCSP_REQUEST_free(request);
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    ERR_clear_error();
    return response;
}

struct StackOfX509 {
    STACK_OF(X509) * stack = sk_X509_new_null();
    ~StackOfX509() { sk_X509_free(stack); }  // borrowed entries
};

}  // namespace

namespace {

Mutex rootsMutex;
std::optional<std::string> rootsFileOverride GUARDED_BY(rootsMutex);
// The roots read, one entry per location ever used; entries are never removed,
// so the references systemRootCertificates() hands out stay valid.
std::map<std::string, std::vector<CertificatePtr>> rootsByLocation GUARDED_BY(rootsMutex);

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string(fallback);
}

std::vector<CertificatePtr> readRoots(const std::string& file, bool withFolder) {
    std::vector<CertificatePtr> out;
    readPemFile(file, out);
    if (!out.empty() || !withFolder)
        return out;
    std::string dir = environmentOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0)
                readPemFile(dir + "/" + name, out);
        }
        (void)closedir(d);  // read only: closing loses nothing
    }
    return out;
}

}  // namespace

std::string systemRootCertificatesFile() {
    {
        MutexLock lock(rootsMutex);
        if (rootsFileOverride)
            return *rootsFileOverride;
    }
    return environmentOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
}

void setSystemRootCertificatesFile(std::optional<std::string> path) {
    MutexLock lock(rootsMutex);
    rootsFileOverride = std::move(path);
}

std::string missingSystemRootsDescription() {
    if (!systemRootCertificates().empty())
        return {};
    return "the system has no trusted root certificates: the CA bundle " + systemRootCertificatesFile() +
           " is missing or empty (install the ca-certificates package, or set SSL_CERT_FILE)";
}

const std::vector<CertificatePtr>& systemRootCertificates() {
    MutexLock lock(rootsMutex);
    const bool overridden = rootsFileOverride.has_value();
    const std::string file =
        overridden ? *rootsFileOverride
                   : environmentOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
    const std::string key = (overridden ? "only:" : "default:") + file;
    auto found = rootsByLocation.find(key);
    if (found == rootsByLocation.end())
        found = rootsByLocation.emplace(key, readRoots(file, !overridden)).first;
    return found->second;
}

ServerTrustPtr ServerTrust::create(std::vector<CertificatePtr> chain, std::vector<TrustPolicy> policies) {
    if (chain.empty() || !chain.front())
        return nullptr;
    return ServerTrustPtr(new ServerTrust(std::move(chain), std::move(policies)));
}

void ServerTrust::setAnchorCertificates(std::vector<CertificatePtr> anchors) {
    anchors_ = std::move(anchors);
    anchorsOnly_ = true;  // as the platform: setting anchors alone trusts only them
}

CertificatePtr ServerTrust::certificateAtIndex(std::size_t index) const {
    const auto& c = current();
    return index < c.size() ? c[index] : nullptr;
}

namespace {

// The CRLs given, decoded; ones that do not decode are left out.
STACK_OF(X509_CRL) * decodeCRLs(const std::vector<Data>& ders) {
    STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
    for (const auto& der : ders) {
        const unsigned char* p = der.bytes();
        if (X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.length())))
            sk_X509_CRL_push(crls, crl);
    }
    return crls;
}

// Sets up the checks the policies ask for on an initialised context, and
// gathers the revocation flags of revocation policies. Every check must be
// set up, or the evaluation fails: a host or purpose that could not be set
// would otherwise go unchecked. Answers the verify result to report when
// one could not be (X509_V_OK when all were).
int setUpPolicyChecks(X509_STORE_CTX* ctx, const std::vector<TrustPolicy>& policies, bool partialChain,
                      bool haveCRLs, std::optional<unsigned>& revocationFlags) {
    int setUpFailure = X509_V_OK;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    unsigned long flags = 0;
    if (partialChain)
        flags |= X509_V_FLAG_PARTIAL_CHAIN;
    for (const auto& policy : policies) {
        if (policy.kind == TrustPolicy::Kind::SSL) {
            if (X509_STORE_CTX_set_purpose(
                    ctx, policy.server ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT) != 1)
                setUpFailure = X509_V_ERR_INVALID_PURPOSE;
            if (policy.hostName && !policy.hostName->empty()) {
                const std::string& host = *policy.hostName;
                X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
                // With its length, so that a NUL inside the name is refused
                // rather than cutting the name short.
                if (isIPAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1
                                      : X509_VERIFY_PARAM_set1_host(param, host.data(), host.size()) != 1)
                    setUpFailure = X509_V_ERR_HOSTNAME_MISMATCH;
            }
        } else if (policy.kind == TrustPolicy::Kind::Revocation) {
            if (haveCRLs)
                flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
            revocationFlags = revocationFlags.value_or(0) | policy.revocationFlags;
        }
    }
    if (X509_VERIFY_PARAM_set_flags(param, flags) != 1)
        setUpFailure = X509_V_ERR_UNSPECIFIED;
    return setUpFailure;
}

}  // namespace

// Verification in three steps: the stacks of untrusted and trusted
// certificates and the CRLs, the policies' checks set up on the context,
// and the verification itself followed, when a revocation policy asks for
// it without CRLs, by the OCSP check.
bool ServerTrust::evaluateWithError(ErrorPtr* error) {
    evaluatedChain_.clear();
    StackOfX509 untrusted, trusted;
    for (size_t i = 1; i < chain_.size(); ++i)
        sk_X509_push(untrusted.stack, static_cast<X509*>(chain_[i]->x509()));
    for (const auto& a : anchors_)
        sk_X509_push(trusted.stack, static_cast<X509*>(a->x509()));
    bool noSystemRoots = false;
    if (!anchorsOnly_) {
        const auto& roots = systemRootCertificates();
        noSystemRoots = roots.empty();
        for (const auto& r : roots)
            sk_X509_push(trusted.stack, static_cast<X509*>(r->x509()));
    }
    STACK_OF(X509_CRL)* crls = decodeCRLs(crls_);

    X509_STORE* store = X509_STORE_new();
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    int setUpFailure = X509_V_OK;
    std::optional<unsigned> revocationFlags;  // set when a revocation policy is present
    if (!store || !ctx ||
        X509_STORE_CTX_init(ctx, store, static_cast<X509*>(chain_.front()->x509()), untrusted.stack) != 1) {
        setUpFailure = X509_V_ERR_UNSPECIFIED;
    } else {
        X509_STORE_CTX_set0_trusted_stack(ctx, trusted.stack);
        X509_STORE_CTX_set0_crls(ctx, crls);
        setUpFailure = setUpPolicyChecks(ctx, policies_, !anchors_.empty(), !crls_.empty(), revocationFlags);
    }

    int ok = setUpFailure == X509_V_OK ? X509_verify_cert(ctx) : 0;
    lastVerifyResult_ = ok == 1                     ? X509_V_OK
                        : setUpFailure != X509_V_OK ? setUpFailure
                                                    : X509_STORE_CTX_get_error(ctx);
    failureDetail_.clear();
    if (ok == 1 && revocationFlags && crls_.empty() && !passesOCSPCheck(ctx, *revocationFlags))
        ok = 0;
    if (ok == 1) {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
        for (int i = 0; i < sk_X509_num(built); ++i)
            evaluatedChain_.push_back(Certificate::fromX509(sk_X509_value(built, i)));
    }
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    sk_X509_CRL_pop_free(crls, X509_CRL_free);
    ERR_clear_error();
    lackedSystemRoots_ = ok != 1 && noSystemRoots && codeFor(lastVerifyResult_) == TrustErrorNotTrusted;
    if (ok == 1)
        return true;
    if (error)
        *error = evaluationError();
    return false;
}

bool ServerTrust::passesOCSPCheck(void* storeContext, unsigned flags) {
    switch (ocspStatus(storeContext, flags)) {
        case Revocation::Good:
            return true;
        case Revocation::Revoked:
            lastVerifyResult_ = X509_V_ERR_CERT_REVOKED;
            return false;
        case Revocation::Unknown:
            lastVerifyResult_ = X509_V_ERR_UNABLE_TO_GET_CRL;
            failureDetail_ =
                "revocation could not be checked: no CRL, no OCSP response and no OCSP responder "
                "that answered";
            return false;
    }
    return false;
}

ErrorPtr ServerTrust::evaluationError() const {
    std::string reason = X509_verify_cert_error_string(lastVerifyResult_);
    if (!failureDetail_.empty())
        reason = failureDetail_;
    if (lackedSystemRoots_)
        reason += "; " + missingSystemRootsDescription();
    Dictionary info;
    info.set(LocalizedDescriptionKey,
             Value("\"" + chain_.front()->subjectSummary() + "\" certificate is not trusted: " + reason));
    return Error::make(OSStatusErrorDomain, codeFor(lastVerifyResult_), std::move(info));
}

ServerTrust::Revocation ServerTrust::ocspStatus(void* storeContext, unsigned flags) {
    auto* ctx = static_cast<X509_STORE_CTX*>(storeContext);
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
    if (sk_X509_num(built) < 2)
        return Revocation::Unknown;  // a pinned leaf alone: no issuer to ask about it
    X509* leaf = sk_X509_value(built, 0);
    X509* issuer = sk_X509_value(built, 1);
    OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), leaf, issuer);
    if (!id)
        return Revocation::Unknown;
    // Responses are believed when signed by the issuer or a responder it
    // delegated to, as OpenSSL checks it against the chain just built.
    X509_STORE* store = X509_STORE_new();
    for (int i = 1; i < sk_X509_num(built); ++i)
        // One that cannot be added: responses it signed fail to verify (closed).
        (void)X509_STORE_add_cert(store, sk_X509_value(built, i));
    auto judge = [&](OCSP_RESPONSE* response) {
        Revocation result = Revocation::Unknown;
        OCSP_BASICRESP* basic = nullptr;
        if (response && OCSP_response_status(response) == OCSP_RESPONSE_STATUS_SUCCESSFUL &&
            (basic = OCSP_response_get1_basic(response)) && OCSP_basic_verify(basic, built, store, 0) == 1) {
            int status = -1, reason = -1;
            ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
            if (OCSP_resp_find_status(basic, id, &status, &reason, &revokedAt, &thisUpdate, &nextUpdate) ==
                    1 &&
                OCSP_check_validity(thisUpdate, nextUpdate, kOCSPLeewaySeconds, -1) == 1) {
                if (status == V_OCSP_CERTSTATUS_GOOD)
                    result = Revocation::Good;
                else if (status == V_OCSP_CERTSTATUS_REVOKED)
                    result = Revocation::Revoked;
            }
        }
        OCSP_BASICRESP_free(basic);
        ERR_clear_error();
        return result;
    };
    Revocation result = Revocation::Unknown;
    for (const auto& der : ocspResponses_) {
        const unsigned char* p = der.bytes();
        OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.length()));
        result = judge(response);
        OCSP_RESPONSE_free(response);
        if (result != Revocation::Unknown)
            break;
    }
    const bool mayAsk = !(flags & RevocationNetworkAccessDisabled) &&
                        ((flags & RevocationOCSPMethod) || !(flags & RevocationCRLMethod));
    if (result == Revocation::Unknown && mayAsk) {
        if (auto url = ocspResponderURL(leaf)) {
            OCSP_RESPONSE* response = askResponder(*url, id);
            result = judge(response);
            OCSP_RESPONSE_free(response);
        }
    }
    X509_STORE_free(store);
    OCSP_CERTID_free(id);
    return result;
}

}  // namespace plat::security
