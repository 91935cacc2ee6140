// Client certificates (mutual TLS) through the authentication challenge,
// against a loopback server that requires one signed by the test CA.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/security/Identity.h"
#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/TestCertificates.h"

using namespace urltest;
using testsupport::LoopbackServer;
using testsupport::TestCertificates;

namespace {

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

plat::security::IdentityPtr identityOf(const testsupport::TestIdentity& id) {
    return plat::security::Identity::createWithPEM(id.certificatePem, id.privateKeyPem);
}

}  // namespace

TEST(Identity, PairsACertificateWithItsOwnKeyOnly) {
    const auto& c = TestCertificates::shared();
    auto identity = identityOf(c.leaf);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->certificate()->data(), Data(c.leaf.certificateDer));
    EXPECT_FALSE(plat::security::Identity::createWithPEM(c.leaf.certificatePem, c.expiredLeaf.privateKeyPem));
    EXPECT_FALSE(plat::security::Identity::createWithPEM("not pem", c.leaf.privateKeyPem));
}

TEST(ClientCertificate, TheDelegatesAnswerDecidesWhatIsPresented) {
    const auto& certs = TestCertificates::shared();
    const auto client = certs.issue({300, "client", "DNS:client.test", "", true});
    LoopbackServer::TLSOptions options;
    options.identity = &certs.leaf;
    options.requireClientCertificate = true;
    LoopbackServer server(options);
    auto stranger = identityOf(certs.otherCaLeaf);  // not signed by the CA the server trusts

    struct Case {
        const char* name;
        URLSessionAuthChallengeDisposition disposition;
        plat::security::IdentityPtr identity;
        int64_t code;
    };
    const Case cases[] = {
        {"identity", URLSessionAuthChallengeDisposition::UseCredential, identityOf(client), 0},
        {"identity the server refuses", URLSessionAuthChallengeDisposition::UseCredential, stranger,
         URLErrorClientCertificateRejected},
        {"default handling", URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr,
         URLErrorClientCertificateRequired},
        {"rejected space", URLSessionAuthChallengeDisposition::RejectProtectionSpace, nullptr,
         URLErrorClientCertificateRequired},
        {"cancelled", URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr,
         URLErrorCancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = std::make_shared<RecordingDelegate>();
        std::atomic<int> asked{0};
        delegate->onTaskChallenge = [&](const URLAuthenticationChallenge& challenge,
                                        ChallengeCompletion done) {
            if (challenge.protectionSpace.authenticationMethod == URLAuthenticationMethodServerTrust)
                return done(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
            asked++;
            EXPECT_EQ(challenge.protectionSpace.authenticationMethod,
                      URLAuthenticationMethodClientCertificate);
            EXPECT_EQ(challenge.protectionSpace.port, server.port());
            done(c.disposition, c.identity ? std::optional(URLCredential::withIdentity(c.identity))
                                           : std::optional<URLCredential>());
        };
        const auto before = server.requestCount("/echo");
        auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
        auto task = session->dataTaskWithURL(url(server.url("/echo")));
        task->resume();
        auto r = delegate->waitFor(*task);
        EXPECT_EQ(codeOf(r.error), c.code);
        EXPECT_EQ(asked.load(), 1);
        EXPECT_EQ(server.requestCount("/echo"), before + (c.code == 0 ? 1 : 0));
        session->invalidateAndCancel();
    }
}

TEST(ClientCertificate, WithoutADelegateTheStoredIdentityIsUsedElseTheTaskFails) {
    const auto& certs = TestCertificates::shared();
    const auto client = certs.issue({301, "client", "DNS:client.test", "", true});
    LoopbackServer::TLSOptions options;
    options.identity = &certs.leaf;
    options.requireClientCertificate = true;
    LoopbackServer server(options);

    auto config = testConfiguration(server);
    auto bare = URLSession::sessionWithConfiguration(config);
    Completion refused;
    ASSERT_TRUE(refused.run(*bare, server.url("/echo")));
    EXPECT_EQ(codeOf(refused.error), URLErrorClientCertificateRequired);
    bare->invalidateAndCancel();

    config.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
    URLProtectionSpace space;
    space.host = "127.0.0.1";
    space.port = server.port();
    space.protocol = "https";
    space.authenticationMethod = URLAuthenticationMethodClientCertificate;
    config.urlCredentialStorage->setDefaultCredential(URLCredential::withIdentity(identityOf(client)), space);
    auto stored = URLSession::sessionWithConfiguration(config);
    Completion accepted;
    ASSERT_TRUE(accepted.run(*stored, server.url("/echo")));
    EXPECT_EQ(accepted.error, nullptr);
    stored->invalidateAndCancel();
}
