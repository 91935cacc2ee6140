// Certificate and PublicKey: X.509 certificates and their public keys, for
// server trust and for pinning (compare certificates by their DER bytes,
// keys by EVP_PKEY_eq).
//
// Immutable after creation and safe to share between threads. OpenSSL types
// stay out of this header; the trust code reaches them through
// detail::x509Of / detail::pkeyOf.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Data.h"

namespace plat::security {

class PublicKey;
using PublicKeyPtr = std::shared_ptr<const PublicKey>;
class Certificate;
using CertificatePtr = std::shared_ptr<const Certificate>;

class Certificate {
  public:
    ~Certificate();
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    // Null unless `der` is exactly one DER certificate (no trailing bytes).
    static CertificatePtr createWithData(const Data& der);
    // Every certificate of a PEM text, in order; empty when there is none.
    static std::vector<CertificatePtr> certificatesWithPEM(std::string_view pem);
    // Takes a reference of an OpenSSL X509* (passed as void* to keep the
    // header free of OpenSSL).
    static CertificatePtr fromX509(void* x509);

    Data data() const;  // DER
    // The subject's common name, or the whole subject when it has none.
    std::string subjectSummary() const;
    PublicKeyPtr publicKey() const;
    bool isEqual(const Certificate& other) const { return data() == other.data(); }

    void* x509() const { return x509_; }  // borrowed X509*

  private:
    explicit Certificate(void* x509) : x509_(x509) {}
    void* x509_;
};

class PublicKey {
  public:
    ~PublicKey();
    PublicKey(const PublicKey&) = delete;
    PublicKey& operator=(const PublicKey&) = delete;

    static PublicKeyPtr fromEVP(void* pkey);  // takes a reference
    // Null unless `der` is one SubjectPublicKeyInfo.
    static PublicKeyPtr createWithSubjectPublicKeyInfo(const Data& der);

    Data subjectPublicKeyInfo() const;
    bool isEqual(const PublicKey& other) const;

    void* pkey() const { return pkey_; }  // borrowed EVP_PKEY*

  private:
    explicit PublicKey(void* pkey) : pkey_(pkey) {}
    void* pkey_;
};

}  // namespace plat::security
