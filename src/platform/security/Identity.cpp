#include "platform/security/Identity.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace plat::security {

Identity::~Identity() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

IdentityPtr Identity::createWithPEM(std::string_view certificatePem, std::string_view privateKeyPem) {
    auto certificates = Certificate::certificatesWithPEM(certificatePem);
    if (certificates.empty())
        return nullptr;
    BIO* bio = BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    (void)BIO_free(bio);  // read only
    if (!key || X509_check_private_key(static_cast<X509*>(certificates.front()->x509()), key) != 1) {
        EVP_PKEY_free(key);
        ERR_clear_error();
        return nullptr;
    }
    return IdentityPtr(new Identity(certificates.front(), key));
}

}  // namespace plat::security
