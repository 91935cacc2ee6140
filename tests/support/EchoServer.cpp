#include "support/EchoServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include <atomic>
#include <csignal>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TestCertificates.h"

namespace testsupport {

struct EchoServer::Impl {
    Options options;
    int listenFd = -1;
    int port = 0;
    int wake[2] = {-1, -1};
    SSL_CTX* context = nullptr;
    std::thread acceptor;
    std::mutex mutex;
    std::vector<std::thread> connections;
    std::vector<int> fds;
    std::atomic<int> accepted{0};

    void start() {
        if (options.certificate) {
            const auto& certificates = TestCertificates::shared();
            const TestIdentity& identity =
                *options.certificate == LoopbackServer::Certificate::UnknownCA   ? certificates.otherCaLeaf
                : *options.certificate == LoopbackServer::Certificate::Expired   ? certificates.expiredLeaf
                : *options.certificate == LoopbackServer::Certificate::WrongHost ? certificates.wrongHostLeaf
                                                                                 : certificates.leaf;
            context = SSL_CTX_new(TLS_server_method());
            BIO* bio = BIO_new_mem_buf(identity.certificatePem.data(),
                                       static_cast<int>(identity.certificatePem.size()));
            X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
            bio = BIO_new_mem_buf(identity.privateKeyPem.data(),
                                  static_cast<int>(identity.privateKeyPem.size()));
            EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
            SSL_CTX_use_certificate(context, cert);
            SSL_CTX_use_PrivateKey(context, key);
            X509_free(cert);
            EVP_PKEY_free(key);
        }
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd, 16) != 0 ||
            ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || ::pipe(wake) != 0)
            throw std::runtime_error("EchoServer: cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] { acceptLoop(); });
    }

    void acceptLoop() {
        for (;;) {
            pollfd fds2[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            ::poll(fds2, 2, -1);
            if (fds2[1].revents)
                return;
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++accepted;
            std::lock_guard lock(mutex);
            fds.push_back(fd);
            connections.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        // TLS writes go through write(): a client that has gone must give
        // EPIPE here, not a signal that ends the test program.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        SSL* ssl = nullptr;
        if (context) {
            ssl = SSL_new(context);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                return;
            }
        }
        auto send = [&](const char* bytes, int n) {
            return ssl ? SSL_write(ssl, bytes, n) == n
                       : ::send(fd, bytes, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
        };
        if (options.neverRead) {
            pollfd p{fd, 0, 0};  // wakes only when the destructor shuts the socket
            ::poll(&p, 1, -1);
        } else if (options.greeting) {
            send(options.greeting->data(), static_cast<int>(options.greeting->size()));
        } else {
            char buffer[16384];
            for (;;) {
                int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                            : static_cast<int>(::recv(fd, buffer, sizeof buffer, 0));
                if (n <= 0 || !send(buffer, n))
                    break;
            }
        }
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ::shutdown(fd, SHUT_WR);
    }

    ~Impl() {
        if (wake[1] >= 0) {
            [[maybe_unused]] auto n = ::write(wake[1], "x", 1);
        }
        if (acceptor.joinable())
            acceptor.join();
        {
            std::lock_guard lock(mutex);
            for (int fd : fds)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : connections)
            t.join();
        for (int fd : fds)
            ::close(fd);
        for (int fd : {listenFd, wake[0], wake[1]})
            if (fd >= 0)
                ::close(fd);
        if (context)
            SSL_CTX_free(context);
    }
};

EchoServer::EchoServer() : EchoServer(Options{}) {}

EchoServer::EchoServer(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->start();
}

EchoServer::~EchoServer() = default;

int EchoServer::port() const {
    return impl_->port;
}

int EchoServer::connectionCount() const {
    return impl_->accepted.load();
}

}  // namespace testsupport
