// LoopbackServer: an HTTP or HTTPS server on 127.0.0.1 with an ephemeral
// port, for tests of the URL-loading layer and of everything built on it.
//
// The server starts in the constructor and stops in the destructor (which
// also releases every stalled response). HTTPS servers present one of the
// TestCertificates leaves; clients trust the test CA through caFile().
// Every request is recorded with its body (requests()); all members may be called from any
// thread.
//
// Endpoints (query parameters in brackets are optional):
//   /echo                   200, a JSON object {"method","path","query",
//                           "headers":{name:value},"body"} of the request
//   /status/<code>          that status, empty body [&header=Name:Value ...]
//                           [&body=text] [&type=Content-Type]
//   /bytes/<n>              n bytes of bytesBody(n), "ETag: \"bytes-<n>\"",
//                           "Last-Modified", "Accept-Ranges: bytes"; honours
//                           Range and If-Range (206 + Content-Range)
//                           [&drop=<k>]   drops the connection once body
//                                         offset k is reached (the full
//                                         length is announced)
//                           [&stall=<k>]  waits at body offset k until
//                                         releaseStalled() or shutdown
//                           (a ranged request starting at or past k runs on)
//                           [&chunk=<size>] write size (default 16 KiB)
//                           [&slow=<ms>]  pause between chunks
//                           [&disposition=<Content-Disposition value>]
//   /redirect/<n>           302 to /redirect/<n-1>; /redirect/0 is /echo
//                           [&status=301|302|303|307|308]
//   /redirect-to?url=<u>    [&status=] a redirect to u
//   /loop                   302 to itself, forever
//   /basic-auth/<user>/<password>   401 with Basic realm="test" unless the
//                           request carries those credentials; then /echo
//                           (GET, POST and PUT)
//   /digest-auth/<user>/<password>  the same with Digest (MD5, qop=auth)
//   /cookies/set?<name>=<value>...  200 with one Set-Cookie (Path=/) each
//   /cookies                200, body = the request's Cookie header
//   /gzip                   200, gzip-encoded body gzipBodyText()
//   /gzip-zeros/<n>         200, gzip-encoded body of n zero bytes
//   /big-header/<n>         200 with a header X-Big of n bytes
//   /stall                  sends nothing until releaseStalled() or shutdown
//   POST, PUT to /echo and /upload are echoed the same way; /upload answers
//   {"length":<n>} only.
//   POST /accept and any path below it: 200 with the body {} (an ingestion
//                           endpoint that takes every request)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct TestIdentity;

struct RecordedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;

    std::string header(const std::string& lowerCaseName) const {
        auto it = headers.find(lowerCaseName);
        return it == headers.end() ? std::string() : it->second;
    }
};

class LoopbackServer {
  public:
    enum class Certificate { Valid, Expired, WrongHost, UnknownCA };

    // HTTPS with any identity, and what the tests of OCSP stapling and
    // client certificates need.
    struct TLSOptions {
        const TestIdentity* identity = nullptr;  // the server's; required
        std::vector<uint8_t> stapledOCSP;        // sent to clients that ask for a status
        bool requireClientCertificate = false;   // one signed by the test CA
    };

    LoopbackServer();                                  // plain HTTP
    explicit LoopbackServer(Certificate certificate);  // HTTPS
    explicit LoopbackServer(const TLSOptions& options);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const;
    bool isTLS() const;
    // "http://127.0.0.1:<port><path>" (https for TLS servers).
    std::string url(const std::string& path) const;
    // A PEM file holding the test CA, in a private folder of this server.
    std::string caFile() const;

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount(const std::string& path) const;
    // Lets every stalled response go on (stalled /bytes finish their body).
    void releaseStalled();

    // The body /bytes/<n> serves: byte i is (i * 7 + i / 251) mod 256.
    static std::string bytesBody(std::size_t n, std::size_t offset = 0);
    static std::string gzipBodyText();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A port on 127.0.0.1 that nothing listens on: connections are refused.
int closedLoopbackPort();

}  // namespace testsupport
