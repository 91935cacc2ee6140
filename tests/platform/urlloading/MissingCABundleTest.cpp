// HTTPS on a system without a CA bundle: the bundle location is pointed at a
// file that does not exist. Trust the application decides (a challenge
// handler, anchors from the configuration) works as before; trust that needs
// the system's roots fails with an error that names the missing bundle.
#include <gtest/gtest.h>

#include <future>

#include "platform/security/ServerTrust.h"
#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/EchoServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

class MissingCABundle : public ::testing::Test {
  protected:
    MissingCABundle() { plat::security::setSystemRootCertificatesFile(missing); }
    ~MissingCABundle() override { plat::security::setSystemRootCertificatesFile(std::nullopt); }

    testsupport::TempDir dir;
    const std::string missing = (dir / "no-such-bundle.crt").string();
};

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

}  // namespace

TEST_F(MissingCABundle, TrustDecidedByTheApplicationStillWorks) {
    EXPECT_TRUE(plat::security::systemRootCertificates().empty());
    LoopbackServer server(LoopbackServer::Certificate::Valid);

    // Anchors handed over in the configuration.
    auto anchored = URLSession::sessionWithConfiguration(testConfiguration(server));
    Completion viaAnchors;
    ASSERT_TRUE(viaAnchors.run(*anchored, server.url("/echo")));
    EXPECT_EQ(viaAnchors.error, nullptr);
    anchored->invalidateAndCancel();

    // A challenge handler pinning the leaf, with no anchors in the configuration.
    const auto& certs = testsupport::TestCertificates::shared();
    auto pinned = plat::security::Certificate::createWithData(Data(certs.leaf.certificateDer));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onSessionChallenge = [&](const URLAuthenticationChallenge& c, ChallengeCompletion done) {
        auto trust = c.protectionSpace.serverTrust;
        trust->setAnchorCertificates({pinned});
        if (trust->evaluateWithError())
            return done(URLSessionAuthChallengeDisposition::UseCredential, URLCredential::forTrust(trust));
        done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
    };
    auto config = testConfiguration(server);
    config.trustedCertificatesFile.reset();
    auto pinning = URLSession::sessionWithConfiguration(config, delegate);
    auto task = pinning->dataTaskWithURL(url(server.url("/echo")));
    task->resume();
    EXPECT_EQ(delegate->waitFor(*task).error, nullptr);
    EXPECT_EQ(server.requestCount("/echo"), 2u);
    pinning->invalidateAndCancel();
}

TEST_F(MissingCABundle, DefaultTrustFailsNamingTheBundle) {
    LoopbackServer server(LoopbackServer::Certificate::Valid);
    auto config = testConfiguration(server);
    config.trustedCertificatesFile.reset();
    auto session = URLSession::sessionWithConfiguration(config);
    Completion done;
    ASSERT_TRUE(done.run(*session, server.url("/echo")));
    EXPECT_EQ(codeOf(done.error), URLErrorServerCertificateHasUnknownRoot);
    ASSERT_TRUE(done.error);
    EXPECT_NE(done.error->localizedDescription().find(missing), std::string::npos)
        << done.error->localizedDescription();
    EXPECT_EQ(server.requestCount("/echo"), 0u);

    // Default handling asked for by a task-level handler says the same.
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onTaskChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion answer) {
        answer(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    };
    auto handled = URLSession::sessionWithConfiguration(config, delegate);
    auto task = handled->dataTaskWithURL(url(server.url("/echo")));
    task->resume();
    auto r = delegate->waitFor(*task);
    EXPECT_EQ(codeOf(r.error), URLErrorServerCertificateHasUnknownRoot);
    ASSERT_TRUE(r.error);
    EXPECT_NE(r.error->localizedDescription().find(missing), std::string::npos);
    session->invalidateAndCancel();
    handled->invalidateAndCancel();
}

TEST_F(MissingCABundle, StreamTaskTLSUsesTheConfiguredAnchorsAndNamesTheBundleWithout) {
    testsupport::EchoServer server({LoopbackServer::Certificate::Valid, std::nullopt});
    for (bool anchors : {true, false}) {
        SCOPED_TRACE(anchors ? "anchors" : "system roots only");
        LoopbackServer caSource;  // only for its CA file
        auto config = testConfiguration(caSource);
        if (!anchors)
            config.trustedCertificatesFile.reset();
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration(config, delegate);
        auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
        task->startSecureConnection();
        auto written = std::make_shared<std::promise<ErrorPtr>>();
        task->writeData(Data::fromString("ping"), 0, [written](ErrorPtr e) { written->set_value(e); });
        task->resume();
        auto future = written->get_future();
        ASSERT_EQ(future.wait_for(kHangGuard), std::future_status::ready);
        auto error = future.get();
        if (anchors) {
            EXPECT_EQ(error, nullptr);
            task->closeWrite();
            task->closeRead();
        } else {
            EXPECT_EQ(codeOf(error), URLErrorServerCertificateHasUnknownRoot);
            ASSERT_TRUE(error);
            EXPECT_NE(error->localizedDescription().find(missing), std::string::npos);
        }
        delegate->waitFor(*task);
        session->invalidateAndCancel();
    }
}
