#include "platform/security/AES.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace plat::security {
namespace {

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// The cipher's implementation, fetched once: naming it on every call makes
// the library look it up again each time.
const EVP_CIPHER* aes256CBC() {
    static const EVP_CIPHER* const fetched = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    return fetched ? fetched : EVP_aes_256_cbc();
}

// One cipher context per thread, kept from call to call: making a context
// and setting the cipher up in it costs more than encrypting a short token.
// Every call sets key, IV and direction afresh (the cipher stays); a failure
// resets the context, and the next call sets the cipher up again.
class ThreadCipher {
  public:
    EVP_CIPHER_CTX* prepare(const Data& key, const Data& iv, bool encrypt) {
        if (!ctx_) {
            ctx_.reset(EVP_CIPHER_CTX_new());
            if (!ctx_)
                return nullptr;
        }
        const bool ok = ready_ ? EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, key.bytes(), iv.bytes(),
                                                   encrypt ? 1 : 0) == 1
                               : EVP_CipherInit_ex(ctx_.get(), aes256CBC(), nullptr, key.bytes(), iv.bytes(),
                                                   encrypt ? 1 : 0) == 1 &&
                                     EVP_CIPHER_CTX_set_padding(ctx_.get(), 1) == 1;
        if (!ok) {
            discard();
            return nullptr;
        }
        ready_ = true;
        return ctx_.get();
    }
    void discard() {
        (void)EVP_CIPHER_CTX_reset(ctx_.get());  // only clears the context
        ready_ = false;
    }

  private:
    CipherContext ctx_;
    bool ready_ = false;
};

std::optional<Data> run(bool encrypt, const Data& key, const Data& iv, const Data& input) {
    if (key.length() != AES256KeyLength || iv.length() != AESBlockLength)
        return std::nullopt;
    thread_local ThreadCipher cipher;
    EVP_CIPHER_CTX* ctx = cipher.prepare(key, iv, encrypt);
    std::vector<uint8_t> out;
    int written = 0;
    int finalWritten = 0;
    bool ok = ctx != nullptr;
    if (ok) {
        out.resize(input.length() + AESBlockLength);
        ok = EVP_CipherUpdate(ctx, out.data(), &written, input.bytes(), static_cast<int>(input.length())) ==
                 1 &&
             EVP_CipherFinal_ex(ctx, out.data() + written, &finalWritten) == 1;
        if (!ok)
            cipher.discard();
    }
    if (ERR_peek_error() != 0)
        ERR_clear_error();
    if (!ok)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten));
    return Data(std::move(out));
}

}  // namespace

std::optional<Data> aes256CBCEncrypt(const Data& key, const Data& iv, const Data& plain) {
    return run(true, key, iv, plain);
}

std::optional<Data> aes256CBCDecrypt(const Data& key, const Data& iv, const Data& cipher) {
    if (cipher.empty() || cipher.length() % AESBlockLength != 0)
        return std::nullopt;
    return run(false, key, iv, cipher);
}

std::optional<Data> randomBytes(std::size_t count) {
    std::vector<uint8_t> bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return Data(std::move(bytes));
}

}  // namespace plat::security
