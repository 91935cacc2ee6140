#include "support/OCSPResponder.h"

#include <httplib.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

constexpr long kGoodSerial = 201;
constexpr long kRevokedSerial = 202;

X509* readCertificate(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return x;
}

EVP_PKEY* readKey(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return k;
}

}  // namespace

struct OCSPResponder::Impl {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::atomic<std::size_t> requests{0};
    std::atomic<bool> listenReturned{false};
    TestIdentity good, revoked;
    X509* ca = nullptr;
    EVP_PKEY* caKey = nullptr;

    ~Impl() {
        server.stop();
        if (thread.joinable())
            thread.join();
        X509_free(ca);
        EVP_PKEY_free(caKey);
    }

    // Signs a basic response with one entry per certificate id asked for.
    std::vector<uint8_t> answer(const std::vector<OCSP_CERTID*>& ids) const {
        OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
        ASN1_TIME* thisUpdate = X509_gmtime_adj(nullptr, -300);
        ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, 3600);
        ASN1_TIME* revokedAt = X509_gmtime_adj(nullptr, -3600);
        for (OCSP_CERTID* id : ids) {
            ASN1_INTEGER* serial = nullptr;
            OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
            const long n = serial ? ASN1_INTEGER_get(serial) : -1;
            const int status = n == kGoodSerial      ? V_OCSP_CERTSTATUS_GOOD
                               : n == kRevokedSerial ? V_OCSP_CERTSTATUS_REVOKED
                                                     : V_OCSP_CERTSTATUS_UNKNOWN;
            OCSP_basic_add1_status(basic, id, status, OCSP_REVOKED_STATUS_KEYCOMPROMISE,
                                   status == V_OCSP_CERTSTATUS_REVOKED ? revokedAt : nullptr, thisUpdate,
                                   nextUpdate);
        }
        // Without the signer certificate, so that the signature ends the response.
        OCSP_basic_sign(basic, ca, caKey, EVP_sha256(), nullptr, OCSP_NOCERTS);
        OCSP_RESPONSE* response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
        unsigned char* der = nullptr;
        int length = i2d_OCSP_RESPONSE(response, &der);
        std::vector<uint8_t> out(der, der + std::max(length, 0));
        OPENSSL_free(der);
        OCSP_RESPONSE_free(response);
        OCSP_BASICRESP_free(basic);
        ASN1_TIME_free(thisUpdate);
        ASN1_TIME_free(nextUpdate);
        ASN1_TIME_free(revokedAt);
        return out;
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        requests++;
        const auto* bytes = reinterpret_cast<const unsigned char*>(req.body.data());
        OCSP_REQUEST* request = d2i_OCSP_REQUEST(nullptr, &bytes, static_cast<long>(req.body.size()));
        if (!request) {
            res.status = 400;
            return;
        }
        std::vector<OCSP_CERTID*> ids;
        for (int i = 0; i < OCSP_request_onereq_count(request); ++i)
            ids.push_back(OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, i)));
        auto der = answer(ids);
        OCSP_REQUEST_free(request);
        res.set_content(std::string(der.begin(), der.end()), "application/ocsp-response");
    }
};

OCSPResponder::OCSPResponder() : impl_(std::make_unique<Impl>()) {
    auto& i = *impl_;
    const auto& certs = TestCertificates::shared();
    i.ca = readCertificate(certs.ca.certificatePem);
    i.caKey = readKey(certs.ca.privateKeyPem);
    i.server.Post("/",
                  [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); });
    i.port = i.server.bind_to_any_port("127.0.0.1");
    if (i.port <= 0)
        throw std::runtime_error("OCSPResponder: cannot bind 127.0.0.1");
    i.good = certs.issue({kGoodSerial, "127.0.0.1", "IP:127.0.0.1,DNS:localhost", url(), false});
    i.revoked = certs.issue({kRevokedSerial, "127.0.0.1", "IP:127.0.0.1,DNS:localhost", url(), false});
    i.thread = std::thread([this] {
        impl_->server.listen_after_bind();
        impl_->listenReturned = true;
    });
    // stop() only reaches a server that listens: wait for it, as LoopbackServer does.
    while (!i.server.is_running() && !i.listenReturned)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

OCSPResponder::~OCSPResponder() = default;

std::string OCSPResponder::url() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + "/";
}
const TestIdentity& OCSPResponder::good() const {
    return impl_->good;
}
const TestIdentity& OCSPResponder::revoked() const {
    return impl_->revoked;
}
std::size_t OCSPResponder::requestCount() const {
    return impl_->requests.load();
}

std::vector<uint8_t> OCSPResponder::response(const TestIdentity& leaf) const {
    X509* cert = readCertificate(leaf.certificatePem);
    OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), cert, impl_->ca);
    auto der = impl_->answer({id});
    OCSP_CERTID_free(id);
    X509_free(cert);
    return der;
}

}  // namespace testsupport
