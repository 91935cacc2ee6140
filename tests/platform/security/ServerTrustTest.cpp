#include "platform/security/ServerTrust.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/OCSPResponder.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

using namespace plat::security;
using testsupport::TestCertificates;

namespace {

CertificatePtr cert(const testsupport::TestIdentity& identity) {
    return Certificate::createWithData(plat::Data(identity.certificateDer));
}

ServerTrustPtr trustFor(const testsupport::TestIdentity& leaf,
                        std::optional<std::string> host = "127.0.0.1") {
    return ServerTrust::create({cert(leaf)}, {TrustPolicy::SSL(true, std::move(host))});
}

}  // namespace

TEST(Certificate, IsCreatedOnlyFromExactlyOneDERCertificate) {
    const auto& c = TestCertificates::shared();
    auto leaf = cert(c.leaf);
    ASSERT_TRUE(leaf);
    EXPECT_EQ(leaf->data(), plat::Data(c.leaf.certificateDer));
    EXPECT_EQ(leaf->subjectSummary(), "127.0.0.1");
    auto trailing = c.leaf.certificateDer;
    trailing.push_back(0);
    EXPECT_FALSE(Certificate::createWithData(plat::Data(trailing)));
    EXPECT_FALSE(Certificate::createWithData(plat::Data::fromString("not a certificate")));
    EXPECT_EQ(Certificate::certificatesWithPEM(c.leaf.certificatePem + c.ca.certificatePem).size(), 2u);
    EXPECT_TRUE(leaf->isEqual(*Certificate::certificatesWithPEM(c.leaf.certificatePem)[0]));
    EXPECT_FALSE(leaf->isEqual(*cert(c.expiredLeaf)));

    auto key = PublicKey::createWithSubjectPublicKeyInfo(plat::Data(c.leaf.publicKeyDer));
    ASSERT_TRUE(key);
    EXPECT_TRUE(leaf->publicKey()->isEqual(*key));
    EXPECT_FALSE(cert(c.expiredLeaf)->publicKey()->isEqual(*key));
    EXPECT_EQ(key->subjectPublicKeyInfo(), plat::Data(c.leaf.publicKeyDer));
    EXPECT_FALSE(ServerTrust::create({}, {}));
}

TEST(ServerTrust, EvaluatesAgainstAnchorsTheHostAndDates) {
    const auto& c = TestCertificates::shared();
    struct Case {
        const char* name;
        const testsupport::TestIdentity* leaf;
        std::optional<std::string> host;
        std::vector<CertificatePtr> anchors;
        bool passes;
        int64_t code;
    };
    std::vector<Case> cases{
        {"valid under the test CA", &c.leaf, "127.0.0.1", {cert(c.ca)}, true, 0},
        {"host name from subjectAltName", &c.leaf, "localhost", {cert(c.ca)}, true, 0},
        {"no host check without a host", &c.wrongHostLeaf, std::nullopt, {cert(c.ca)}, true, 0},
        {"system roots do not know the test CA", &c.leaf, "127.0.0.1", {}, false, TrustErrorNotTrusted},
        {"expired", &c.expiredLeaf, "127.0.0.1", {cert(c.ca)}, false, TrustErrorCertificateExpired},
        {"wrong host", &c.wrongHostLeaf, "127.0.0.1", {cert(c.ca)}, false, TrustErrorHostNameMismatch},
        // A host that cannot be checked as given fails: never a shorter name.
        {"host name with a NUL inside",
         &c.leaf,
         std::string("localhost\0.evil.example", 23),
         {cert(c.ca)},
         false,
         TrustErrorHostNameMismatch},
        {"other CA", &c.otherCaLeaf, "127.0.0.1", {cert(c.ca)}, false, TrustErrorNotTrusted},
        {"pinned leaf as the only anchor", &c.leaf, "127.0.0.1", {cert(c.leaf)}, true, 0},
        {"pinned leaf does not vouch for another",
         &c.otherCaLeaf,
         "127.0.0.1",
         {cert(c.leaf)},
         false,
         TrustErrorNotTrusted},
    };
    for (const auto& k : cases) {
        auto trust = trustFor(*k.leaf, k.host);
        if (!k.anchors.empty())
            trust->setAnchorCertificates(k.anchors);
        plat::ErrorPtr error;
        EXPECT_EQ(trust->evaluateWithError(&error), k.passes) << k.name;
        EXPECT_EQ(error ? error->code() : 0, k.code) << k.name;
    }
}

TEST(ServerTrust, ChainIsThePresentedOneUntilAnEvaluationBuildsIt) {
    const auto& c = TestCertificates::shared();
    auto trust = trustFor(c.leaf);
    EXPECT_EQ(trust->certificateCount(), 1u);
    trust->setAnchorCertificates({cert(c.ca)});
    trust->setAnchorCertificatesOnly(false);  // system roots as well as the anchors
    ASSERT_TRUE(trust->evaluateWithError());
    ASSERT_EQ(trust->certificateCount(), 2u);
    EXPECT_TRUE(trust->certificateAtIndex(1)->isEqual(*cert(c.ca)));
    EXPECT_EQ(trust->certificateAtIndex(2), nullptr);
    EXPECT_TRUE(trust->publicKey()->isEqual(*cert(c.leaf)->publicKey()));
}

TEST(ServerTrust, RevocationWithoutInformationFailsClosed) {
    // The leaf names no responder and no CRL is given: whatever the flags,
    // the check cannot be made and the evaluation says so.
    const auto& c = TestCertificates::shared();
    for (unsigned flags : {unsigned(RevocationUseAnyAvailableMethod),
                           unsigned(RevocationUseAnyAvailableMethod | RevocationRequirePositiveResponse),
                           unsigned(RevocationCRLMethod), unsigned(RevocationOCSPMethod)}) {
        auto trust = trustFor(c.leaf);
        trust->setAnchorCertificates({cert(c.ca)});
        trust->setPolicies({TrustPolicy::SSL(true, "127.0.0.1"), TrustPolicy::revocation(flags)});
        plat::ErrorPtr error;
        EXPECT_FALSE(trust->evaluateWithError(&error)) << flags;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), TrustErrorIncompleteRevocationCheck);
        EXPECT_NE(error->localizedDescription().find("revocation could not be checked"), std::string::npos)
            << error->localizedDescription();
    }
}

TEST(ServerTrust, OCSPFromTheLeafsResponderOrAStapledResponseDecidesRevocation) {
    const auto& c = TestCertificates::shared();
    testsupport::OCSPResponder responder;
    auto evaluate = [&](const testsupport::TestIdentity& leaf, unsigned flags,
                        std::vector<plat::Data> stapled) -> int64_t {
        auto trust = trustFor(leaf);
        trust->setAnchorCertificates({cert(c.ca)});
        trust->setPolicies({TrustPolicy::SSL(true, "127.0.0.1"), TrustPolicy::revocation(flags)});
        trust->setOCSPResponses(std::move(stapled));
        plat::ErrorPtr error;
        bool passed = trust->evaluateWithError(&error);
        EXPECT_EQ(passed, error == nullptr);
        return error ? error->code() : 0;
    };
    // Asking the responder the leaf names.
    EXPECT_EQ(evaluate(responder.good(), RevocationUseAnyAvailableMethod, {}), 0);
    EXPECT_EQ(evaluate(responder.revoked(), RevocationOCSPMethod, {}), TrustErrorCertificateRevoked);
    EXPECT_EQ(responder.requestCount(), 2u);
    // Responses handed over (stapled) decide without asking.
    const unsigned offline = RevocationOCSPMethod | RevocationNetworkAccessDisabled;
    EXPECT_EQ(evaluate(responder.good(), offline, {plat::Data(responder.response(responder.good()))}), 0);
    EXPECT_EQ(evaluate(responder.revoked(), offline, {plat::Data(responder.response(responder.revoked()))}),
              TrustErrorCertificateRevoked);
    EXPECT_EQ(responder.requestCount(), 2u);
    // Offline without a response, or with one about another certificate, or
    // with CRLs asked for alone: it cannot be checked.
    EXPECT_EQ(evaluate(responder.good(), offline, {}), TrustErrorIncompleteRevocationCheck);
    EXPECT_EQ(evaluate(responder.good(), offline, {plat::Data(responder.response(responder.revoked()))}),
              TrustErrorIncompleteRevocationCheck);
    EXPECT_EQ(evaluate(responder.good(), RevocationCRLMethod, {}), TrustErrorIncompleteRevocationCheck);
    EXPECT_EQ(responder.requestCount(), 2u);
    // A response not signed by the issuer is not believed.
    auto forged = responder.response(responder.good());
    forged[forged.size() - 5] ^= 0x55;  // inside the signature
    EXPECT_EQ(evaluate(responder.good(), offline, {plat::Data(forged)}), TrustErrorIncompleteRevocationCheck);
}

TEST(ServerTrust, CRLsGivenToTheTrustRevokeTheirLeavesOnly) {
    const auto& c = TestCertificates::shared();
    for (auto [leaf, revoked] : {std::pair{&c.leaf, false}, std::pair{&c.revokedLeaf, true}}) {
        auto trust = trustFor(*leaf);
        trust->setAnchorCertificates({cert(c.ca)});
        trust->setPolicies(
            {TrustPolicy::SSL(true, "127.0.0.1"), TrustPolicy::revocation(RevocationUseAnyAvailableMethod)});
        trust->setCRLs({plat::Data(c.crlDer)});
        plat::ErrorPtr error;
        EXPECT_EQ(trust->evaluateWithError(&error), !revoked);
        EXPECT_EQ(error ? error->code() : 0, revoked ? int64_t{TrustErrorCertificateRevoked} : int64_t{0});
    }
}

TEST(ServerTrust, SystemRootsComeFromTheBundleLocationAndAMissingBundleIsNamed) {
    const auto& c = TestCertificates::shared();
    testsupport::TempDir dir;
    const std::string bundle = (dir / "bundle.pem").string();
    const std::string missing = (dir / "missing.pem").string();
    {
        std::ofstream out(bundle);
        out << c.ca.certificatePem;
    }
    struct Restore {
        ~Restore() { setSystemRootCertificatesFile(std::nullopt); }
    } restore;

    // A bundle holding the test CA makes it a system root.
    setSystemRootCertificatesFile(bundle);
    EXPECT_EQ(systemRootCertificatesFile(), bundle);
    ASSERT_EQ(systemRootCertificates().size(), 1u);
    EXPECT_TRUE(trustFor(c.leaf)->evaluateWithError());
    EXPECT_EQ(missingSystemRootsDescription(), "");

    // Without a bundle, anchors still decide, and a failure for want of
    // roots says which file is missing.
    setSystemRootCertificatesFile(missing);
    EXPECT_TRUE(systemRootCertificates().empty());
    auto anchored = trustFor(c.leaf);
    anchored->setAnchorCertificates({cert(c.ca)});
    anchored->setAnchorCertificatesOnly(false);
    EXPECT_TRUE(anchored->evaluateWithError());
    auto unanchored = trustFor(c.leaf);
    plat::ErrorPtr error;
    EXPECT_FALSE(unanchored->evaluateWithError(&error));
    EXPECT_TRUE(unanchored->lastFailureLackedSystemRoots());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TrustErrorNotTrusted);
    EXPECT_NE(error->localizedDescription().find(missing), std::string::npos)
        << error->localizedDescription();
    // A failure with another cause does not blame the bundle.
    auto expired = trustFor(c.expiredLeaf);
    expired->setAnchorCertificates({cert(c.ca)});
    expired->setAnchorCertificatesOnly(false);
    EXPECT_FALSE(expired->evaluateWithError());
    EXPECT_FALSE(expired->lastFailureLackedSystemRoots());

    setSystemRootCertificatesFile(std::nullopt);
    EXPECT_NE(systemRootCertificatesFile(), missing);
}
