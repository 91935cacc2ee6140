#include "support/TestCertificates.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace testsupport {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + what);
}

KeyPtr makeKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

struct Spec {
    const char* commonName;
    const char* subjectAltName;  // null for CAs
    long notBeforeDays;
    long notAfterDays;
    long serial;
    const char* extendedKeyUsage = "serverAuth";
    const char* authorityInfoAccess = nullptr;  // "OCSP;URI:..." when set
};

CertPtr makeCertificate(const Spec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), spec.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.notBeforeDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.notAfterDays * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(spec.commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (spec.subjectAltName) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_subject_alt_name, spec.subjectAltName);
        addExtension(cert.get(), signer, NID_ext_key_usage, spec.extendedKeyUsage);
        if (spec.authorityInfoAccess)
            addExtension(cert.get(), signer, NID_info_access, spec.authorityInfoAccess);
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

TestIdentity identity(X509* cert, EVP_PKEY* key) {
    TestIdentity out;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* bytes = nullptr;
    long n = BIO_get_mem_data(bio, &bytes);
    out.certificatePem.assign(bytes, static_cast<size_t>(n));
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    n = BIO_get_mem_data(bio, &bytes);
    out.privateKeyPem.assign(bytes, static_cast<size_t>(n));
    BIO_free(bio);
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    out.certificateDer.assign(der, der + len);
    OPENSSL_free(der);
    der = nullptr;
    len = i2d_PUBKEY(key, &der);
    out.publicKeyDer.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

std::vector<uint8_t> makeCRL(X509* ca, EVP_PKEY* caKey, long revokedSerial) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca));
    ASN1_TIME* now = X509_gmtime_adj(nullptr, -3600);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, 30 * 86400);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, next);
    X509_REVOKED* revoked = X509_REVOKED_new();
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, revokedSerial);
    X509_REVOKED_set_serialNumber(revoked, serial);
    X509_REVOKED_set_revocationDate(revoked, now);
    X509_CRL_add0_revoked(crl, revoked);
    X509_CRL_sort(crl);
    check(X509_CRL_sign(crl, caKey, EVP_sha256()) > 0, "CRL signing");
    unsigned char* der = nullptr;
    int len = i2d_X509_CRL(crl, &der);
    std::vector<uint8_t> out(der, der + len);
    OPENSSL_free(der);
    ASN1_INTEGER_free(serial);
    ASN1_TIME_free(now);
    ASN1_TIME_free(next);
    X509_CRL_free(crl);
    return out;
}

TestCertificates make() {
    TestCertificates out;
    const char* goodNames = "IP:127.0.0.1,DNS:localhost";
    KeyPtr caKey = makeKey();
    CertPtr ca = makeCertificate({"Kestrel Test CA", nullptr, -1, 3650, 1}, caKey.get(), nullptr, nullptr);
    out.ca = identity(ca.get(), caKey.get());

    auto leafOf = [&](const Spec& spec, X509* issuer, EVP_PKEY* issuerKey) {
        KeyPtr key = makeKey();
        CertPtr cert = makeCertificate(spec, key.get(), issuer, issuerKey);
        return identity(cert.get(), key.get());
    };
    out.leaf = leafOf({"127.0.0.1", goodNames, -1, 365, 2}, ca.get(), caKey.get());
    out.expiredLeaf = leafOf({"127.0.0.1", goodNames, -30, -1, 3}, ca.get(), caKey.get());
    out.wrongHostLeaf = leafOf({"wrong.example", "DNS:wrong.example", -1, 365, 4}, ca.get(), caKey.get());

    out.revokedLeaf = leafOf({"127.0.0.1", goodNames, -1, 365, 7}, ca.get(), caKey.get());
    out.crlDer = makeCRL(ca.get(), caKey.get(), 7);

    KeyPtr otherKey = makeKey();
    CertPtr other =
        makeCertificate({"Unknown Test CA", nullptr, -1, 3650, 5}, otherKey.get(), nullptr, nullptr);
    out.otherCa = identity(other.get(), otherKey.get());
    out.otherCaLeaf = leafOf({"127.0.0.1", goodNames, -1, 365, 6}, other.get(), otherKey.get());
    return out;
}

}  // namespace

TestIdentity TestCertificates::issue(const IssueOptions& options) const {
    BIO* bio = BIO_new_mem_buf(ca.certificatePem.data(), static_cast<int>(ca.certificatePem.size()));
    CertPtr issuer(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    bio = BIO_new_mem_buf(ca.privateKeyPem.data(), static_cast<int>(ca.privateKeyPem.size()));
    KeyPtr issuerKey(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    check(issuer && issuerKey, "reading the test CA");
    const std::string aia = options.ocspURL.empty() ? std::string() : "OCSP;URI:" + options.ocspURL;
    Spec spec{options.commonName.c_str(),
              options.subjectAltName.c_str(),
              -1,
              365,
              options.serial,
              options.clientAuth ? "clientAuth" : "serverAuth",
              aia.empty() ? nullptr : aia.c_str()};
    KeyPtr key = makeKey();
    CertPtr cert = makeCertificate(spec, key.get(), issuer.get(), issuerKey.get());
    return identity(cert.get(), key.get());
}

const TestCertificates& TestCertificates::shared() {
    static const TestCertificates certificates = make();
    return certificates;
}

}  // namespace testsupport
