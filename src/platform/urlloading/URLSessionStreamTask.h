// URLSessionStreamTask: a TCP connection to a host and port, made by
// URLSession::streamTaskWithHostName, with TLS on request.
//
// resume() connects; the session's request time-out bounds the connect.
// Operations may be queued before that. Reads and writes each run in the
// order they were queued, independently of each other; every completion runs
// exactly once, on the session's delegate queue: with the bytes, at the end
// of the stream, or with an error (timed out, cancelled, connection lost).
// startSecureConnection() runs a TLS handshake once the writes queued before
// it have gone (reads wait for it too). A delegate that answers server-trust
// challenges (session or task level) decides whether the server is trusted,
// as for the session's other tasks, before any byte is sent over TLS;
// otherwise, and on default handling, the server is verified against the
// system roots, the configuration's trusted certificates and the host name.
// closeWrite() ends the stream towards the server after the queued writes;
// closeRead() ends reading. The task completes once reading has ended (at the
// server's end of stream or by closeRead) and writing is closed, on the
// first connection error, or when cancelled; operations still queued then
// complete with that error, and later ones at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/urlloading/URLSessionTask.h"

namespace plat::urlloading {

class URLSessionStreamTask : public URLSessionTask {
  public:
    // data is absent on error; atEOF tells the stream has ended (data then
    // holds what was left, possibly nothing).
    using ReadCompletion = std::function<void(std::optional<Data> data, bool atEOF, ErrorPtr error)>;
    using WriteCompletion = std::function<void(ErrorPtr error)>;

    ~URLSessionStreamTask() override;

    const std::string& host() const;
    int port() const;

    // Completes once at least minBytes (and at most maxBytes) have arrived,
    // or at the end of the stream. A timeout <= 0 waits without limit; bytes
    // collected by a read that times out go to the next read.
    void readDataOfMinLength(std::size_t minBytes, std::size_t maxBytes, double timeout,
                             ReadCompletion completion);
    // Completes once every byte has been handed to the connection.
    void writeData(const Data& data, double timeout, WriteCompletion completion);
    void closeRead();
    void closeWrite();
    void startSecureConnection();

  private:
    URLSessionStreamTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                         std::optional<URLRequest> request);
    friend class URLSession;
    friend class detail::Engine;

    void setEndpoint(const std::string& host, int port,
                     const std::optional<std::string>& trustedCertificatesFile);
    // Network thread: starts connecting, and stops at the task's completion.
    void startConnection(double connectTimeout);
    void stopConnection(const ErrorPtr& error);

    struct Connection;
    std::shared_ptr<Connection> connection_;
    std::thread worker_;
};

}  // namespace plat::urlloading
