#include "platform/urlloading/URLSessionStreamTask.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/security/ServerTrust.h"
#include "platform/urlloading/URLError.h"
#include "platform/urlloading/URLSession.h"
#include "platform/urlloading/detail/CurlErrors.h"
#include "platform/urlloading/detail/Engine.h"

namespace plat::urlloading {

using Clock = std::chrono::steady_clock;

namespace {

Clock::time_point deadlineAfter(double seconds) {
    if (seconds <= 0)
        return Clock::time_point::max();
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

// Shared by the task and its worker thread. The queues and `stopped` are
// guarded by the mutex; an operation is completed by whoever takes it out of
// its queue, so each completes once. The socket and TLS state belong to the
// worker thread, which is checked: the steps that touch them call
// assertWorker(), which ends the process on any other thread.
struct URLSessionStreamTask::Connection {
    struct Read {
        std::size_t minBytes, maxBytes;
        Clock::time_point deadline;
        ReadCompletion completion;
        std::string collected;  // worker only
    };
    enum class WriteKind { Bytes, StartTLS, CloseWrite };
    struct Write {
        WriteKind kind;
        Data data;
        Clock::time_point deadline;
        WriteCompletion completion;
        std::size_t sent = 0;  // worker only
    };

    std::string host;
    int port = 0;
    std::shared_ptr<URLSession> session;
    std::weak_ptr<URLSessionTask> task;
    std::weak_ptr<Connection> self;
    std::vector<security::CertificatePtr> trustedCertificates;
    std::optional<URL> url;
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    plat::Mutex mutex;
    std::deque<std::shared_ptr<Read>> reads GUARDED_BY(mutex);
    std::deque<std::shared_ptr<Write>> writes GUARDED_BY(mutex);
    bool stopped GUARDED_BY(mutex) = false;
    bool readCloseRequested GUARDED_BY(mutex) = false;
    ErrorPtr stopError GUARDED_BY(mutex);

    // Worker thread only (assertWorker).
    std::atomic<std::thread::id> worker{};
    int fd = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    std::string carry;  // bytes received beyond what reads have taken
    bool peerEnded = false, readClosed = false, writeClosed = false, ended = false;

    ~Connection() {
        if (ssl)
            SSL_free(ssl);
        if (context)
            SSL_CTX_free(context);
        if (fd >= 0)
            (void)::close(fd);  // a socket: what was sent was sent
        (void)::close(wakeFd);  // an eventfd: nothing to lose
    }

    void assertWorker() const {
        if (worker.load(std::memory_order_relaxed) == std::this_thread::get_id())
            return;
        static constexpr char kMessage[] =
            "URL session stream task: worker-thread state touched from another thread; stopping\n";
        [[maybe_unused]] auto n =
            ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);  // the process ends next
        std::abort();
    }

    void wake() {
        // Fails only when the counter is about to overflow (EAGAIN): the
        // worker has wake-ups waiting already.
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);  // EAGAIN: wake-ups pending
    }

    // Runs `block` on the delegate queue, in order with the session's own
    // delegate calls (a task's queued operations complete before it does).
    void post(std::function<void()> block) { session->engine_->toDelegateQueue(std::move(block)); }

    void completeRead(const std::shared_ptr<Read>& read, std::optional<Data> data, bool atEOF,
                      ErrorPtr error) {
        auto completion = std::move(read->completion);
        if (completion)
            post([completion, data = std::move(data), atEOF, error] { completion(data, atEOF, error); });
    }
    void completeWrite(const std::shared_ptr<Write>& write, ErrorPtr error) {
        auto completion = std::move(write->completion);
        if (completion)
            post([completion, error] { completion(error); });
    }

    // The queue an operation of each kind waits in.
    std::deque<std::shared_ptr<Read>>& queueFor(const Read*) REQUIRES(mutex) { return reads; }
    std::deque<std::shared_ptr<Write>>& queueFor(const Write*) REQUIRES(mutex) { return writes; }

    // Takes the front operation if it is still `op`.
    template <class Op>
    bool take(const std::shared_ptr<Op>& op) {
        plat::MutexLock lock(mutex);
        auto& queue = queueFor(op.get());
        if (queue.empty() || queue.front() != op)
            return false;
        queue.pop_front();
        return true;
    }

    // Completes everything queued with `error` and refuses what comes later.
    void stop(const ErrorPtr& error) {
        std::deque<std::shared_ptr<Read>> r;
        std::deque<std::shared_ptr<Write>> w;
        {
            plat::MutexLock lock(mutex);
            if (stopped)
                return;
            stopped = true;
            stopError = error;
            r.swap(reads);
            w.swap(writes);
        }
        for (auto& read : r)
            completeRead(read, std::nullopt, false, error ? error : makeURLError(URLErrorCancelled, url));
        for (auto& write : w)
            completeWrite(write, error ? error : makeURLError(URLErrorCancelled, url));
        wake();
    }

    void delegateCall(void (URLSessionDelegate::*method)(URLSession&, URLSessionStreamTask&)) {
        std::weak_ptr<URLSessionTask> weak = task;
        auto s = session;
        post([s, weak, method] {
            auto t = weak.lock();
            auto delegate = s->delegate();
            if (t && delegate)
                ((*delegate).*method)(*s, static_cast<URLSessionStreamTask&>(*t));
        });
    }

    // Ends the task: queued operations get `error`, the session completes it.
    void end(ErrorPtr error) {
        if (ended)
            return;
        ended = true;
        stop(error ? error : makeURLError(URLErrorNetworkConnectionLost, url));
        // Only a weak reference leaves this thread: the worker must never
        // hold the last one, or the task would be destroyed here.
        session->engine_->completeStream(task, error);
    }

    bool isStopped() {
        plat::MutexLock lock(mutex);
        return stopped;
    }

    // Waits for `events` on the socket, a wake-up, or the deadline.
    // Returns false when stopped.
    bool wait(short events, Clock::time_point deadline) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left + 1, 60000)));
        }
        // An interrupted or failed poll returns early, which every caller
        // allows for: each loops, testing its condition and deadline again.
        (void)::poll(fds, events ? 2 : 1, timeout);
        uint64_t drained;
        while (::read(wakeFd, &drained, sizeof drained) > 0) {
        }
        return !isStopped();
    }

    ErrorPtr connect(double timeout) {
        assertWorker();
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
            return makeURLError(URLErrorCannotFindHost, url);
        const auto deadline = deadlineAfter(timeout);
        ErrorPtr error = makeURLError(URLErrorCannotConnectToHost, url);
        for (addrinfo* a = found; a; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0)
                continue;
            if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EINPROGRESS) {
                while (Clock::now() < deadline) {
                    if (!wait(POLLOUT, deadline))
                        break;
                    pollfd p{fd, POLLOUT, 0};
                    if (::poll(&p, 1, 0) == 1)
                        break;
                }
            }
            int so = 0;
            socklen_t length = sizeof so;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 0) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so, &length) == 0 &&
                so == 0) {
                error = nullptr;
                break;
            }
            if (Clock::now() >= deadline)
                error = makeURLError(URLErrorTimedOut, url);
            (void)::close(fd);  // a socket that never connected
            fd = -1;
            if (isStopped() || Clock::now() >= deadline)
                break;
        }
        ::freeaddrinfo(found);
        return error;
    }

    // One step of the TLS handshake: true when done, else the events to wait
    // for in `events`; an error ends the connection. The server's chain is
    // judged once the handshake is done and before any byte of ours goes
    // out (see verifyServer).
    bool handshake(short& events, ErrorPtr& error) {
        assertWorker();
        if (!ssl) {
            context = SSL_CTX_new(TLS_client_method());
            if (context)
                SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
            ssl = context ? SSL_new(context) : nullptr;
            // A step that cannot be set up ends the connection: no handshake
            // goes out without the server name it was asked to carry.
            unsigned char address[16];
            const bool named = inet_pton(AF_INET, host.c_str(), address) != 1 &&
                               inet_pton(AF_INET6, host.c_str(), address) != 1;
            if (!ssl || SSL_set_fd(ssl, fd) != 1 ||
                (named && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1)) {
                ERR_clear_error();
                error = makeURLError(URLErrorSecureConnectionFailed, url, "TLS could not be set up");
                return false;
            }
        }
        int rc = SSL_connect(ssl);
        if (rc == 1) {
            error = verifyServer();
            return !error;
        }
        int code = SSL_get_error(ssl, rc);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            events = code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            return false;
        }
        ERR_clear_error();
        error = makeURLError(URLErrorSecureConnectionFailed, url, "TLS handshake failed");
        return false;
    }

    // The server's chain under the system roots, the configuration's trusted
    // certificates and the host name; null when trusted.
    ErrorPtr verifyServer() {
        assertWorker();
        std::vector<security::CertificatePtr> chain;
        if (STACK_OF(X509)* presented = SSL_get_peer_cert_chain(ssl)) {
            for (int i = 0; i < sk_X509_num(presented); ++i)
                chain.push_back(security::Certificate::fromX509(sk_X509_value(presented, i)));
        }
        auto trust = security::ServerTrust::create(chain, {security::TrustPolicy::SSL(true, host)});
        if (!trust)
            return makeURLError(URLErrorSecureConnectionFailed, url, "the server sent no certificate");
        auto delegate = session->delegate();
        const bool sessionLevel =
            delegate && delegate->implements(URLSessionDelegate::Callback::SessionDidReceiveChallenge);
        const bool taskLevel =
            delegate && delegate->implements(URLSessionDelegate::Callback::TaskDidReceiveChallenge);
        if (!sessionLevel && !taskLevel)
            return evaluateByDefault(*trust);
        auto answer = askDelegate(trust, sessionLevel);
        if (!answer)
            return makeURLError(URLErrorCancelled, url);  // stopped while waiting
        using D = URLSessionAuthChallengeDisposition;
        switch (answer->first) {
            case D::CancelAuthenticationChallenge:
                return makeURLError(URLErrorCancelled, url);
            case D::UseCredential:
                if (answer->second && answer->second->trust)
                    return nullptr;
                return makeURLError(URLErrorServerCertificateUntrusted, url,
                                    "server trust answered without a trust credential");
            default:
                return evaluateByDefault(*trust);
        }
    }

    using TrustAnswer = std::pair<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>;

    // Hands the server-trust challenge to the delegate, as for the session's
    // other tasks, and waits (this worker only) for its answer; nullopt when
    // the task stops meanwhile. A handler dropped unanswered means default
    // handling.
    std::optional<TrustAnswer> askDelegate(const security::ServerTrustPtr& trust, bool sessionLevel) {
        struct Pending {
            plat::Mutex mutex;
            std::optional<TrustAnswer> answer GUARDED_BY(mutex);
        };
        struct Handler {
            std::shared_ptr<Pending> pending;
            std::weak_ptr<Connection> connection;
            std::atomic<bool> done{false};
            void answer(TrustAnswer a) {
                if (done.exchange(true))
                    return;
                {
                    plat::MutexLock lock(pending->mutex);
                    pending->answer = std::move(a);
                }
                if (auto c = connection.lock())
                    c->wake();
            }
            ~Handler() { answer({URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt}); }
        };
        auto pending = std::make_shared<Pending>();
        auto handler = std::make_shared<Handler>();
        handler->pending = pending;
        handler->connection = self;
        URLAuthenticationChallenge challenge;
        challenge.protectionSpace.host = host;
        challenge.protectionSpace.port = port;
        challenge.protectionSpace.protocol = "https";
        challenge.protectionSpace.authenticationMethod = URLAuthenticationMethodServerTrust;
        challenge.protectionSpace.serverTrust = trust;
        ChallengeCompletion completion = [handler](URLSessionAuthChallengeDisposition d,
                                                   std::optional<URLCredential> c) {
            handler->answer({d, std::move(c)});
        };
        std::weak_ptr<URLSessionTask> weak = task;
        auto s = session;
        handler.reset();  // the completion holds it from here on
        post([s, weak, challenge, completion = std::move(completion), sessionLevel]() mutable {
            auto t = weak.lock();
            auto delegate = s->delegate();
            if (t && delegate) {
                if (sessionLevel)
                    delegate->didReceiveChallenge(*s, challenge, std::move(completion));
                else
                    delegate->didReceiveChallenge(*s, *t, challenge, std::move(completion));
            }
            completion = nullptr;
        });
        for (;;) {
            {
                plat::MutexLock lock(pending->mutex);
                if (pending->answer)
                    return pending->answer;
            }
            if (!wait(0, Clock::time_point::max()))
                return std::nullopt;
        }
    }

    ErrorPtr evaluateByDefault(security::ServerTrust& trust) {
        trust.setPolicies({security::TrustPolicy::SSL(true, host)});
        trust.setAnchorCertificates(trustedCertificates);
        trust.setAnchorCertificatesOnly(false);
        if (trust.evaluateWithError())
            return nullptr;
        const int64_t code = detail::urlErrorCodeForVerifyResult(trust.lastVerifyResult());
        if (trust.lastFailureLackedSystemRoots())
            return makeURLErrorWithReason(code, url, security::missingSystemRootsDescription());
        return makeURLError(code, url, X509_verify_cert_error_string(trust.lastVerifyResult()));
    }

    // Sends or receives without blocking: > 0 bytes, 0 end of stream
    // (receive), -1 would block (with the events to wait for), -2 failure.
    std::ptrdiff_t transfer(bool sending, char* buffer, std::size_t length, short& events) {
        assertWorker();
        if (ssl) {
            int rc = sending ? SSL_write(ssl, buffer, static_cast<int>(length))
                             : SSL_read(ssl, buffer, static_cast<int>(length));
            if (rc > 0)
                return rc;
            int code = SSL_get_error(ssl, rc);
            if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
                events |= code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                return -1;
            }
            ERR_clear_error();
            return !sending && code == SSL_ERROR_ZERO_RETURN ? 0 : -2;
        }
        ssize_t n = sending ? ::send(fd, buffer, length, MSG_NOSIGNAL) : ::recv(fd, buffer, length, 0);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            events |= sending ? POLLOUT : POLLIN;
            return -1;
        }
        return -2;
    }

    template <class Op>
    std::shared_ptr<Op> front() {
        plat::MutexLock lock(mutex);
        auto& queue = queueFor(static_cast<const Op*>(nullptr));
        return queue.empty() ? nullptr : queue.front();
    }

    // Moves the front write on; returns false once the connection has ended.
    bool stepWrite(const std::shared_ptr<Write>& write, short& events, bool& progress) {
        assertWorker();
        switch (write->kind) {
            case WriteKind::Bytes: {
                if (writeClosed) {
                    if (take(write))
                        completeWrite(write,
                                      makeURLError(URLErrorNetworkConnectionLost, url, "write side closed"));
                    progress = true;
                    return true;
                }
                while (write->sent < write->data.length()) {
                    auto* bytes = reinterpret_cast<char*>(const_cast<uint8_t*>(write->data.bytes()));
                    auto n = transfer(true, bytes + write->sent, write->data.length() - write->sent, events);
                    if (n == -1)
                        return true;
                    if (n < 0) {
                        end(makeURLError(URLErrorNetworkConnectionLost, url));
                        return false;
                    }
                    write->sent += static_cast<std::size_t>(n);
                }
                if (take(write))
                    completeWrite(write, nullptr);
                progress = true;
                return true;
            }
            case WriteKind::StartTLS: {
                ErrorPtr error;
                if (!ssl || !SSL_is_init_finished(ssl)) {
                    short want = 0;
                    if (!handshake(want, error)) {
                        if (error) {
                            end(error);
                            return false;
                        }
                        events |= want;
                        return true;
                    }
                }
                take(write);
                progress = true;
                return true;
            }
            case WriteKind::CloseWrite:
                if (!writeClosed) {
                    // Best effort: a peer that has gone cannot be told, and
                    // nothing more is written either way.
                    if (ssl)
                        (void)SSL_shutdown(ssl);
                    (void)::shutdown(fd, SHUT_WR);
                    writeClosed = true;
                    delegateCall(&URLSessionDelegate::writeClosedForStreamTask);
                }
                take(write);
                progress = true;
                return true;
        }
        return true;
    }

    bool stepRead(const std::shared_ptr<Read>& read, short& events, bool& progress) {
        assertWorker();
        auto finish = [&](std::optional<Data> data, bool atEOF) {
            if (take(read))
                completeRead(read, std::move(data), atEOF, nullptr);
            progress = true;
        };
        auto collectedData = [&] { return Data(read->collected.data(), read->collected.size()); };
        std::size_t room = read->maxBytes - read->collected.size();
        if (!carry.empty()) {
            std::size_t n = std::min(room, carry.size());
            read->collected.append(carry, 0, n);
            carry.erase(0, n);
            room -= n;
        }
        const std::size_t wanted = std::max<std::size_t>(1, std::min(read->minBytes, read->maxBytes));
        while (read->collected.size() < wanted && !peerEnded && !readClosed) {
            char buffer[16384];
            auto n = transfer(false, buffer, std::min(sizeof buffer, read->maxBytes - read->collected.size()),
                              events);
            if (n == -1)
                return true;
            if (n == -2) {
                end(makeURLError(URLErrorNetworkConnectionLost, url));
                return false;
            }
            if (n == 0) {
                peerEnded = true;
                delegateCall(&URLSessionDelegate::readClosedForStreamTask);
                break;
            }
            read->collected.append(buffer, static_cast<std::size_t>(n));
        }
        const bool atEnd = read->collected.size() < wanted;
        finish(collectedData(), atEnd || (carry.empty() && (peerEnded || readClosed)));
        return true;
    }

    void run(double connectTimeout) {
        worker.store(std::this_thread::get_id(), std::memory_order_relaxed);
        if (auto error = connect(connectTimeout))
            return end(error);
        while (!isStopped()) {
            {
                plat::MutexLock lock(mutex);
                if (readCloseRequested && !readClosed) {
                    readClosed = true;
                    carry.clear();
                    (void)::shutdown(fd, SHUT_RD);  // best effort: carry is dropped anyway
                }
            }
            short events = 0;
            bool progress = false;
            auto now = Clock::now();
            auto deadline = Clock::time_point::max();
            auto write = front<Write>();
            if (write && now >= write->deadline && write->kind == WriteKind::Bytes) {
                if (take(write))
                    completeWrite(write, makeURLError(URLErrorTimedOut, url));
                continue;
            }
            // Reads wait while a handshake is queued ahead of them.
            const bool handshaking = write && write->kind == WriteKind::StartTLS;
            if (write && !stepWrite(write, events, progress))
                return;
            if (write && write->kind == WriteKind::Bytes)
                deadline = std::min(deadline, write->deadline);
            auto read = front<Read>();
            if (read && now >= read->deadline) {
                // Nothing is lost: what it collected goes to the next read.
                if (take(read)) {
                    carry.insert(0, read->collected);
                    completeRead(read, std::nullopt, false, makeURLError(URLErrorTimedOut, url));
                }
                continue;
            }
            if (read && !handshaking && !stepRead(read, events, progress))
                return;
            if (read)
                deadline = std::min(deadline, read->deadline);
            if ((peerEnded || readClosed) && writeClosed && carry.empty()) {
                bool readsLeft = false;
                {
                    plat::MutexLock lock(mutex);
                    readsLeft = !reads.empty();
                }
                if (!readsLeft)
                    return end(nullptr);
            }
            if (progress)
                continue;
            if (!wait(events, deadline))
                return;
        }
    }
};

URLSessionStreamTask::URLSessionStreamTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                                           std::optional<URLRequest> request)
    : URLSessionTask(session, identifier, std::move(request)), connection_(std::make_shared<Connection>()) {
    connection_->session = std::move(session);
}

URLSessionStreamTask::~URLSessionStreamTask() {
    connection_->stop(makeURLError(URLErrorCancelled, connection_->url));
    if (worker_.joinable()) {
        // The worker may hold the last reference to its own task for a moment.
        if (worker_.get_id() == std::this_thread::get_id())
            worker_.detach();
        else
            worker_.join();
    }
}

const std::string& URLSessionStreamTask::host() const {
    return connection_->host;
}
int URLSessionStreamTask::port() const {
    return connection_->port;
}

void URLSessionStreamTask::readDataOfMinLength(std::size_t minBytes, std::size_t maxBytes, double timeout,
                                               ReadCompletion completion) {
    auto read = std::make_shared<Connection::Read>(Connection::Read{
        minBytes, std::max<std::size_t>(1, maxBytes), deadlineAfter(timeout), std::move(completion), {}});
    auto& c = *connection_;
    ErrorPtr stopError;
    {
        plat::MutexLock lock(c.mutex);
        if (!c.stopped) {
            c.reads.push_back(read);
            c.wake();
            return;
        }
        stopError = c.stopError;
    }
    c.completeRead(read, std::nullopt, false, stopError ? stopError : makeURLError(URLErrorCancelled, c.url));
}

void URLSessionStreamTask::writeData(const Data& data, double timeout, WriteCompletion completion) {
    auto write = std::make_shared<Connection::Write>(
        Connection::Write{Connection::WriteKind::Bytes, data, deadlineAfter(timeout), std::move(completion)});
    auto& c = *connection_;
    ErrorPtr stopError;
    {
        plat::MutexLock lock(c.mutex);
        if (!c.stopped) {
            c.writes.push_back(write);
            c.wake();
            return;
        }
        stopError = c.stopError;
    }
    c.completeWrite(write, stopError ? stopError : makeURLError(URLErrorCancelled, c.url));
}

void URLSessionStreamTask::closeWrite() {
    auto& c = *connection_;
    plat::MutexLock lock(c.mutex);
    if (!c.stopped) {
        c.writes.push_back(std::make_shared<Connection::Write>(
            Connection::Write{Connection::WriteKind::CloseWrite, Data(), Clock::time_point::max(), nullptr}));
        c.wake();
    }
}

void URLSessionStreamTask::startSecureConnection() {
    auto& c = *connection_;
    plat::MutexLock lock(c.mutex);
    if (!c.stopped) {
        c.writes.push_back(std::make_shared<Connection::Write>(
            Connection::Write{Connection::WriteKind::StartTLS, Data(), Clock::time_point::max(), nullptr}));
        c.wake();
    }
}

void URLSessionStreamTask::closeRead() {
    // Reads waiting now end at once, as at the end of the stream.
    auto& c = *connection_;
    std::deque<std::shared_ptr<Connection::Read>> waiting;
    {
        plat::MutexLock lock(c.mutex);
        if (c.stopped)
            return;
        c.readCloseRequested = true;
        waiting.swap(c.reads);
    }
    for (auto& read : waiting)
        c.completeRead(read, Data(), true, nullptr);
    c.wake();
}

void URLSessionStreamTask::startConnection(double connectTimeout) {
    auto c = connection_;
    c->task = weak_from_this();
    c->self = c;
    worker_ = std::thread([c, connectTimeout] {
        // TLS writes go through write(), which raises SIGPIPE once the peer
        // has gone; blocked on this thread, it stays pending here and the
        // write fails with EPIPE instead of ending the process.
        sigset_t pipe;
        (void)sigemptyset(&pipe);                          // our own set: cannot fail
        (void)sigaddset(&pipe, SIGPIPE);                   // a valid signal: cannot fail
        (void)pthread_sigmask(SIG_BLOCK, &pipe, nullptr);  // a valid `how`: cannot fail
        c->run(connectTimeout);
    });
}

void URLSessionStreamTask::stopConnection(const ErrorPtr& error) {
    connection_->stop(error);
}

void URLSessionStreamTask::setEndpoint(const std::string& host, int port,
                                       const std::optional<std::string>& trustedCertificatesFile) {
    auto& c = *connection_;
    c.host = host;
    c.port = port;
    c.trustedCertificates.clear();
    if (trustedCertificatesFile) {
        if (auto pem = FileManager::defaultManager().contentsAtPath(*trustedCertificatesFile))
            c.trustedCertificates = security::Certificate::certificatesWithPEM(pem->view());
    }
    const bool ipv6 = host.find(':') != std::string::npos;
    c.url = URL::URLWithString("tcp://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port));
}

}  // namespace plat::urlloading
