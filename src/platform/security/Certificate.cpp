#include "platform/security/Certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace plat::security {

Certificate::~Certificate() {
    X509_free(static_cast<X509*>(x509_));
}

CertificatePtr Certificate::createWithData(const Data& der) {
    const unsigned char* p = der.bytes();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.length()));
    if (!x)
        return nullptr;
    if (p != der.bytes() + der.length()) {
        X509_free(x);
        return nullptr;
    }
    return CertificatePtr(new Certificate(x));
}

std::vector<CertificatePtr> Certificate::certificatesWithPEM(std::string_view pem) {
    std::vector<CertificatePtr> out;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
        out.push_back(CertificatePtr(new Certificate(x)));
    (void)BIO_free(bio);  // read only
    return out;
}

CertificatePtr Certificate::fromX509(void* x509) {
    if (!x509)
        return nullptr;
    (void)X509_up_ref(static_cast<X509*>(x509));  // cannot fail
    return CertificatePtr(new Certificate(x509));
}

Data Certificate::data() const {
    unsigned char* der = nullptr;
    int n = i2d_X509(static_cast<X509*>(x509_), &der);
    if (n <= 0)
        return Data();
    Data out(der, static_cast<size_t>(n));
    OPENSSL_free(der);
    return out;
}

std::string Certificate::subjectSummary() const {
    X509_NAME* name = X509_get_subject_name(static_cast<X509*>(x509_));
    char buffer[256];
    if (X509_NAME_get_text_by_NID(name, NID_commonName, buffer, sizeof buffer) > 0)
        return buffer;
    char* line = X509_NAME_oneline(name, nullptr, 0);
    std::string out = line ? line : "";
    OPENSSL_free(line);
    return out;
}

PublicKeyPtr Certificate::publicKey() const {
    return PublicKey::fromEVP(X509_get0_pubkey(static_cast<X509*>(x509_)));
}

PublicKey::~PublicKey() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey_));
}

PublicKeyPtr PublicKey::fromEVP(void* pkey) {
    if (!pkey)
        return nullptr;
    (void)EVP_PKEY_up_ref(static_cast<EVP_PKEY*>(pkey));  // cannot fail
    return PublicKeyPtr(new PublicKey(pkey));
}

PublicKeyPtr PublicKey::createWithSubjectPublicKeyInfo(const Data& der) {
    const unsigned char* p = der.bytes();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.length()));
    if (!key)
        return nullptr;
    if (p != der.bytes() + der.length()) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return PublicKeyPtr(new PublicKey(key));
}

Data PublicKey::subjectPublicKeyInfo() const {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(static_cast<EVP_PKEY*>(pkey_), &der);
    if (n <= 0)
        return Data();
    Data out(der, static_cast<size_t>(n));
    OPENSSL_free(der);
    return out;
}

bool PublicKey::isEqual(const PublicKey& other) const {
    return EVP_PKEY_eq(static_cast<EVP_PKEY*>(pkey_), static_cast<EVP_PKEY*>(other.pkey_)) == 1;
}

}  // namespace plat::security
