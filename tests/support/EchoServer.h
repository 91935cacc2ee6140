// EchoServer: a TCP server on 127.0.0.1 with an ephemeral port that sends
// back every byte it receives, for tests of stream tasks. It ends its side
// of a connection once the client has ended its own.
//
// With a certificate, every connection starts with a TLS handshake
// presenting that TestCertificates leaf. With a greeting, the server sends
// it instead of echoing and then closes the connection. With neverRead, the
// server holds connections open without reading until it is destroyed.
// The destructor closes every connection and waits for them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/LoopbackServer.h"

namespace testsupport {

class EchoServer {
  public:
    struct Options {
        std::optional<LoopbackServer::Certificate> certificate;
        std::optional<std::string> greeting;
        // Accepts but never reads, so that a client's writes back up.
        bool neverRead = false;
    };
    EchoServer();
    explicit EchoServer(Options options);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const;
    // Connections accepted so far.
    int connectionCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
