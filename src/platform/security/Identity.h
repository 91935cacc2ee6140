// Identity: a certificate and the private key that goes with it, which a
// TLS client presents when a server asks for a client certificate.
//
// Made once, immutable afterwards: any thread may use it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/security/Certificate.h"

namespace plat::security {

class Identity;
using IdentityPtr = std::shared_ptr<const Identity>;

class Identity {
  public:
    ~Identity();
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;

    // From PEM text: the first certificate of `certificatePem` and the key
    // of `privateKeyPem` (unencrypted). Null when either cannot be read or
    // the key does not belong to the certificate.
    static IdentityPtr createWithPEM(std::string_view certificatePem, std::string_view privateKeyPem);

    const CertificatePtr& certificate() const { return certificate_; }
    void* privateKey() const { return key_; }  // borrowed EVP_PKEY*

  private:
    Identity(CertificatePtr certificate, void* key) : certificate_(std::move(certificate)), key_(key) {}
    CertificatePtr certificate_;
    void* key_;
};

}  // namespace plat::security
