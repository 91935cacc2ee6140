// Server trust over real TLS handshakes with the loopback server: default
// evaluation and each failure, and pinning by certificate and by public key
// from a challenge handler.
#include <gtest/gtest.h>

#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/OCSPResponder.h"
#include "support/TestCertificates.h"

using namespace urltest;
using testsupport::LoopbackServer;
using testsupport::TestCertificates;

namespace {

struct TrustCase {
    LoopbackServer::Certificate certificate;
    bool trustTestCA;
    int64_t code;
    const char* name;
};

class DefaultTrust : public ::testing::TestWithParam<TrustCase> {};

Data der(const std::vector<uint8_t>& bytes) {
    return Data(bytes);
}

}  // namespace

TEST_P(DefaultTrust, HandshakeSucceedsOrFailsWithItsCode) {
    const auto& c = GetParam();
    LoopbackServer server(c.certificate);
    auto config = testConfiguration(server);
    if (!c.trustTestCA)
        config.trustedCertificatesFile.reset();
    auto session = URLSession::sessionWithConfiguration(config);
    Completion done;
    ASSERT_TRUE(done.run(*session, server.url("/echo")));
    EXPECT_EQ(done.error ? done.error->code() : 0, c.code);
    if (c.code == 0) {
        EXPECT_EQ(done.response->statusCode(), 200);
    } else {
        EXPECT_EQ(server.requestCount("/echo"), 0u);  // nothing was sent to an untrusted server
    }
    session->invalidateAndCancel();
}

INSTANTIATE_TEST_SUITE_P(Certificates, DefaultTrust,
                         ::testing::Values(TrustCase{LoopbackServer::Certificate::Valid, true, 0, "Valid"},
                                           TrustCase{LoopbackServer::Certificate::Valid, false,
                                                     URLErrorServerCertificateHasUnknownRoot,
                                                     "TestCANotTrusted"},
                                           TrustCase{LoopbackServer::Certificate::UnknownCA, true,
                                                     URLErrorServerCertificateHasUnknownRoot, "UnknownCA"},
                                           TrustCase{LoopbackServer::Certificate::Expired, true,
                                                     URLErrorServerCertificateHasBadDate, "Expired"},
                                           TrustCase{LoopbackServer::Certificate::WrongHost, true,
                                                     URLErrorServerCertificateUntrusted, "WrongHost"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ServerTrustChallenge, PinningByCertificateOrPublicKeyAcceptsOnlyThePinnedServer) {
    const auto& certs = TestCertificates::shared();
    auto pinnedLeaf = plat::security::Certificate::createWithData(der(certs.leaf.certificateDer));
    auto pinnedKey = plat::security::PublicKey::createWithSubjectPublicKeyInfo(der(certs.leaf.publicKeyDer));
    ASSERT_TRUE(pinnedLeaf && pinnedKey);

    for (bool byKey : {false, true}) {
        for (auto kind : {LoopbackServer::Certificate::Valid, LoopbackServer::Certificate::UnknownCA}) {
            LoopbackServer server(kind);
            auto delegate = std::make_shared<RecordingDelegate>();
            int challenges = 0;
            delegate->onSessionChallenge = [&](const URLAuthenticationChallenge& c,
                                               ChallengeCompletion done) {
                challenges++;
                ASSERT_EQ(c.protectionSpace.authenticationMethod, URLAuthenticationMethodServerTrust);
                auto trust = c.protectionSpace.serverTrust;
                ASSERT_TRUE(trust);
                bool pinned;
                if (byKey) {
                    pinned = trust->publicKey()->isEqual(*pinnedKey);
                } else {
                    trust->setAnchorCertificates({pinnedLeaf});
                    pinned = trust->evaluateWithError();
                }
                if (pinned)
                    return done(URLSessionAuthChallengeDisposition::UseCredential,
                                URLCredential::forTrust(trust));
                done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
            };
            auto config = testConfiguration(server);
            config.trustedCertificatesFile.reset();  // pinning alone decides
            auto session = URLSession::sessionWithConfiguration(config, delegate);
            auto task = session->dataTaskWithURL(url(server.url("/echo")));
            task->resume();
            auto r = delegate->waitFor(*task);
            const bool valid = kind == LoopbackServer::Certificate::Valid;
            EXPECT_EQ(r.error ? r.error->code() : 0, valid ? int64_t(0) : int64_t(URLErrorCancelled))
                << byKey;
            EXPECT_EQ(challenges, 1);
            EXPECT_EQ(server.requestCount("/echo"), valid ? 1u : 0u);
            session->invalidateAndCancel();
        }
    }
}

TEST(ServerTrustChallenge, DefaultHandlingFromATaskLevelHandlerEvaluatesTheChain) {
    LoopbackServer server(LoopbackServer::Certificate::Expired);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onTaskChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion done) {
        done(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    auto task = session->dataTaskWithURL(url(server.url("/echo")));
    task->resume();
    auto r = delegate->waitFor(*task);
    EXPECT_EQ(r.error ? r.error->code() : 0, URLErrorServerCertificateHasBadDate);
    EXPECT_EQ(r.events.front(), "challenge 0");

    // A handler that drops its completion gets default handling too.
    LoopbackServer valid(LoopbackServer::Certificate::Valid);
    delegate->onTaskChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion) {};
    auto dropped = session->dataTaskWithURL(url(valid.url("/echo")));
    dropped->resume();
    EXPECT_EQ(delegate->waitFor(*dropped).error, nullptr);
    session->invalidateAndCancel();
}

TEST(ServerTrustChallenge, AStapledOCSPResponseReachesTheTrustAndDecidesRevocation) {
    testsupport::OCSPResponder responder;
    for (bool revoked : {false, true}) {
        SCOPED_TRACE(revoked ? "revoked" : "good");
        const auto& leaf = revoked ? responder.revoked() : responder.good();
        LoopbackServer::TLSOptions options;
        options.identity = &leaf;
        options.stapledOCSP = responder.response(leaf);
        LoopbackServer server(options);
        auto delegate = std::make_shared<RecordingDelegate>();
        auto ca =
            plat::security::Certificate::createWithData(der(TestCertificates::shared().ca.certificateDer));
        delegate->onSessionChallenge = [&](const URLAuthenticationChallenge& c, ChallengeCompletion done) {
            auto trust = c.protectionSpace.serverTrust;
            trust->setAnchorCertificates({ca});
            // Offline: only the stapled response can answer.
            trust->setPolicies(
                {plat::security::TrustPolicy::SSL(true, "127.0.0.1"),
                 plat::security::TrustPolicy::revocation(plat::security::RevocationOCSPMethod |
                                                         plat::security::RevocationNetworkAccessDisabled)});
            if (trust->evaluateWithError())
                return done(URLSessionAuthChallengeDisposition::UseCredential,
                            URLCredential::forTrust(trust));
            done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
        };
        auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
        auto task = session->dataTaskWithURL(url(server.url("/echo")));
        task->resume();
        auto r = delegate->waitFor(*task);
        EXPECT_EQ(r.error ? r.error->code() : 0, revoked ? int64_t(URLErrorCancelled) : int64_t(0));
        EXPECT_EQ(server.requestCount("/echo"), revoked ? 0u : 1u);
        EXPECT_EQ(responder.requestCount(), 0u);
        session->invalidateAndCancel();
    }
}
