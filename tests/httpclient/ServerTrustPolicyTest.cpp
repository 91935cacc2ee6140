// Trust policies against loopback HTTPS servers with good and bad chains,
// and pinning against chains built by hand.
#include "HttpClientTestSupport.h"
#include "platform/foundation/FileManager.h"
#include "support/OCSPResponder.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

using namespace httpclienttest;
using plat::security::Certificate;
using plat::security::PublicKey;
using testsupport::TestCertificates;

namespace {

CertificatePtr cert(const testsupport::TestIdentity& id) {
    return Certificate::createWithData(plat::Data(id.certificateDer));
}

PublicKeyPtr key(const testsupport::TestIdentity& id) {
    return PublicKey::createWithSubjectPublicKeyInfo(plat::Data(id.publicKeyDer));
}

// Whether a GET over the manager's session succeeds against `server`.
bool fetch(LoopbackServer& server, std::optional<ServerTrustPolicy> policy) {
    std::map<std::string, ServerTrustPolicy> policies;
    if (policy)
        policies.emplace("127.0.0.1", *policy);
    auto manager = makeManager(&server, std::make_shared<ServerTrustPolicyManager>(policies));
    Waiter<plat::ErrorPtr> done;
    manager->request(server.url("/bytes/8"))
        ->response([&](const DefaultDataResponse& r) { done.set(r.error); }, testQueue());
    auto error = done.wait();
    return error && !*error;
}

plat::security::ServerTrustPtr chain(std::vector<CertificatePtr> certificates) {
    return plat::security::ServerTrust::create(std::move(certificates), {});
}

}  // namespace

TEST(ServerTrustPolicyTest, PoliciesAgainstLoopbackServers) {
    const auto& c = TestCertificates::shared();
    using P = ServerTrustPolicy;
    LoopbackServer valid(LoopbackServer::Certificate::Valid);
    LoopbackServer wrongHost(LoopbackServer::Certificate::WrongHost);
    LoopbackServer expired(LoopbackServer::Certificate::Expired);
    LoopbackServer unknownCA(LoopbackServer::Certificate::UnknownCA);
    struct Case {
        const char* name;
        LoopbackServer& server;
        std::optional<P> policy;
        bool accepted;
    } cases[] = {
        {"no policy, valid", valid, std::nullopt, true},
        {"no policy, unknown CA", unknownCA, std::nullopt, false},
        {"default, valid", valid, P::performDefaultEvaluation(true), true},
        {"default, wrong host", wrongHost, P::performDefaultEvaluation(true), false},
        {"default without host, wrong host", wrongHost, P::performDefaultEvaluation(false), true},
        {"default, expired", expired, P::performDefaultEvaluation(false), false},
        {"revocation, valid", valid, P::performRevokedEvaluation(true, 2, {plat::Data(c.crlDer)}), true},
        {"pinned CA with chain", valid, P::pinCertificates({cert(c.ca)}, true, true), true},
        {"pinned CA with chain, other CA", unknownCA, P::pinCertificates({cert(c.ca)}, true, true), false},
        {"pinned leaf without chain, expired", expired,
         P::pinCertificates({cert(c.expiredLeaf)}, false, false), true},
        {"pinned CA without chain", valid, P::pinCertificates({cert(c.ca)}, false, false), true},
        {"pinned CA without chain, other CA", unknownCA, P::pinCertificates({cert(c.ca)}, false, false),
         false},
        {"pinned key with chain", valid, P::pinPublicKeys({key(c.leaf)}, true, true), true},
        {"pinned key with chain, untrusted", unknownCA, P::pinPublicKeys({key(c.otherCaLeaf)}, true, true),
         false},
        {"pinned key without chain", unknownCA, P::pinPublicKeys({key(c.otherCaLeaf)}, false, false), true},
        {"custom refusal", valid, P::customEvaluation([](auto&, auto&) { return false; }), false},
        {"disabled", unknownCA, P::disableEvaluation(), true},
    };
    for (auto& k : cases)
        EXPECT_EQ(fetch(k.server, k.policy), k.accepted) << k.name;
}

TEST(ServerTrustPolicyTest, RevokedLeafIsRefused) {
    const auto& c = TestCertificates::shared();
    auto policy = ServerTrustPolicy::performRevokedEvaluation(true, 2, {plat::Data(c.crlDer)});
    auto revoked = chain({cert(c.revokedLeaf), cert(c.ca)});
    revoked->setAnchorCertificates({cert(c.ca)});
    EXPECT_FALSE(policy.evaluate(revoked, "127.0.0.1"));
    auto good = chain({cert(c.leaf), cert(c.ca)});
    good->setAnchorCertificates({cert(c.ca)});
    EXPECT_TRUE(policy.evaluate(good, "127.0.0.1"));
}

TEST(ServerTrustPolicyTest, PinsWithoutChainValidationNeedASignaturePathFromTheLeaf) {
    const auto& c = TestCertificates::shared();
    // An attacker's own leaf with the (public) pinned CA appended.
    auto forged = chain({cert(c.otherCaLeaf), cert(c.ca)});
    EXPECT_FALSE(
        ServerTrustPolicy::pinCertificates({cert(c.ca)}, false, false).evaluate(forged, "127.0.0.1"));
    EXPECT_FALSE(ServerTrustPolicy::pinPublicKeys({key(c.ca)}, false, false).evaluate(forged, "127.0.0.1"));
    auto genuine = chain({cert(c.leaf), cert(c.ca)});
    EXPECT_TRUE(
        ServerTrustPolicy::pinCertificates({cert(c.ca)}, false, false).evaluate(genuine, "127.0.0.1"));
    EXPECT_TRUE(ServerTrustPolicy::pinPublicKeys({key(c.ca)}, false, false).evaluate(genuine, "127.0.0.1"));
    // Anywhere along a genuine path, even expired and for another host.
    auto expired = chain({cert(c.expiredLeaf), cert(c.ca)});
    EXPECT_TRUE(
        ServerTrustPolicy::pinCertificates({cert(c.ca)}, false, false).evaluate(expired, "other.test"));
}

TEST(ServerTrustPolicyTest, ManagerLookupIsExactAndBundlesAreScanned) {
    ServerTrustPolicyManager manager({{"Host.test", ServerTrustPolicy::disableEvaluation()}});
    EXPECT_TRUE(manager.serverTrustPolicy("Host.test"));
    EXPECT_FALSE(manager.serverTrustPolicy("host.test"));
    EXPECT_FALSE(manager.serverTrustPolicy("sub.Host.test"));

    testsupport::TempDir dir;
    plat::Bundle bundle(dir.str());
    bundle.setResourcePath(dir.str());
    EXPECT_TRUE(ServerTrustPolicy::certificates(bundle).empty());
    EXPECT_TRUE(ServerTrustPolicy::publicKeys(bundle).empty());
    auto& fm = plat::FileManager::defaultManager();
    ASSERT_EQ(
        fm.writeData(plat::Data(TestCertificates::shared().ca.certificateDer), dir.str() + "/ca.cer", false),
        nullptr);
    ASSERT_EQ(fm.writeData(plat::Data::fromString("not a certificate"), dir.str() + "/junk.DER", false),
              nullptr);
    EXPECT_EQ(ServerTrustPolicy::certificates(bundle).size(), 1u);
    EXPECT_EQ(ServerTrustPolicy::publicKeys(bundle).size(), 1u);
}

TEST(ServerTrustPolicyTest, RevocationWithoutCRLsAsksTheOCSPResponderAndFailsClosedWithoutOne) {
    testsupport::OCSPResponder responder;
    auto policy = ServerTrustPolicy::performRevokedEvaluation(true, plat::security::RevocationOCSPMethod, {});
    auto serve = [](const testsupport::TestIdentity& identity) {
        LoopbackServer::TLSOptions options;
        options.identity = &identity;
        return std::make_unique<LoopbackServer>(options);
    };
    auto good = serve(responder.good());
    auto revoked = serve(responder.revoked());
    EXPECT_TRUE(fetch(*good, policy));
    EXPECT_FALSE(fetch(*revoked, policy));
    EXPECT_GE(responder.requestCount(), 2u);
    // A leaf that names no responder: nothing can say it is not revoked.
    LoopbackServer silent(LoopbackServer::Certificate::Valid);
    EXPECT_FALSE(fetch(silent, policy));
    EXPECT_TRUE(fetch(silent, ServerTrustPolicy::performDefaultEvaluation(true)));
}
