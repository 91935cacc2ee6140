// OCSPResponder: an OCSP responder on 127.0.0.1 with an ephemeral port that
// answers for certificates of the TestCertificates CA, signing as the CA.
//
// It issues its own leaves naming itself as their responder: good() is
// answered "good", revoked() "revoked" (since an hour ago); any other
// serial is answered "unknown". response() makes the signed answer for a
// leaf without a request, as a server would staple it. Requests are
// counted. All members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/TestCertificates.h"

namespace testsupport {

class OCSPResponder {
  public:
    OCSPResponder();
    ~OCSPResponder();
    OCSPResponder(const OCSPResponder&) = delete;
    OCSPResponder& operator=(const OCSPResponder&) = delete;

    // "http://127.0.0.1:<port>/"
    std::string url() const;
    const TestIdentity& good() const;
    const TestIdentity& revoked() const;
    // A DER OCSP response for `leaf` (good or revoked as above).
    std::vector<uint8_t> response(const TestIdentity& leaf) const;
    std::size_t requestCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
