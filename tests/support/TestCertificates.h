// Certificates for TLS tests, made with OpenSSL when first asked for and kept
// for the rest of the process: a test CA, leaves it signed (valid for
// 127.0.0.1 and "localhost", expired, and valid only for another host), and a
// second CA with its own leaf that no client trusts.
//
// Keys are P-256, so making them takes milliseconds even under sanitizers.
// shared() may be called from any thread; the object is immutable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct TestIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
    std::vector<uint8_t> certificateDer;
    std::vector<uint8_t> publicKeyDer;  // SubjectPublicKeyInfo
};

struct TestCertificates {
    TestIdentity ca;              // "Kestrel Test CA", self-signed
    TestIdentity leaf;            // SAN IP:127.0.0.1, DNS:localhost; signed by ca
    TestIdentity expiredLeaf;     // same names, validity ended a day ago
    TestIdentity wrongHostLeaf;   // SAN DNS:wrong.example only
    TestIdentity otherCa;         // a CA nobody trusts
    TestIdentity otherCaLeaf;     // valid names, signed by otherCa
    TestIdentity revokedLeaf;     // valid names, signed by ca, listed in crlDer
    std::vector<uint8_t> crlDer;  // the test CA's CRL revoking revokedLeaf

    static const TestCertificates& shared();

    // A further leaf signed by `ca`, valid from yesterday for a year.
    struct IssueOptions {
        long serial = 100;  // 1 to 7 are taken by the leaves above
        std::string commonName = "127.0.0.1";
        std::string subjectAltName = "IP:127.0.0.1,DNS:localhost";
        std::string ocspURL;      // an OCSP responder named in the certificate
        bool clientAuth = false;  // for TLS clients rather than servers
    };
    TestIdentity issue(const IssueOptions& options) const;
};

}  // namespace testsupport
