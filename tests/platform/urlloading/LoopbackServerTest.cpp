// The loopback server itself: it must stop cleanly however early it is
// destroyed, and keep a reused connection in step after bodiless responses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/LoopbackServer.h"

namespace {

using testsupport::LoopbackServer;

// A blocking client connection to 127.0.0.1:port.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& text) {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), 0), ssize_t(text.size()));
    }
    // Reads at least until the end of a header block, returning all bytes read.
    std::string readHead() {
        std::string in;
        char buffer[4096];
        while (in.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            in.append(buffer, static_cast<size_t>(n));
        }
        return in;
    }

  private:
    int fd_;
    bool connected_ = false;
};

TEST(LoopbackServerTest, DestroyedRightAfterCreationStops) {
    for (int i = 0; i < 200; ++i) {
        LoopbackServer server;
        ASSERT_GT(server.port(), 0);
    }
    for (int i = 0; i < 20; ++i) {
        LoopbackServer server(LoopbackServer::Certificate::Valid);
        ASSERT_GT(server.port(), 0);
    }
}

TEST(LoopbackServerTest, BodilessStatusesSendNoBodyOnAReusedConnection) {
    LoopbackServer server;
    for (int status : {204, 304}) {
        SCOPED_TRACE(status);
        RawConnection connection(server.port());
        ASSERT_TRUE(connection.connected());
        connection.send("GET /status/" + std::to_string(status) +
                        "?body=stray&type=text/plain HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        std::string first = connection.readHead();
        ASSERT_EQ(first.rfind("HTTP/1.1 " + std::to_string(status), 0), 0u) << first;
        EXPECT_EQ(first.find("Content-Length: 5"), std::string::npos) << first;
        // Whatever follows the header block must be the next response.
        std::string rest = first.substr(first.find("\r\n\r\n") + 4);
        connection.send("GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        std::string second = rest + connection.readHead();
        EXPECT_EQ(second.rfind("HTTP/1.1 200", 0), 0u) << second;
    }
}

}  // namespace

namespace {

// An empty body is served as a complete response (with its length), so
// that tests of empty bodies can ask for zero bytes like any other size.
TEST(LoopbackServerTest, ZeroBytesAreAnsweredWithAnEmptyBody) {
    LoopbackServer server;
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    connection.send("GET /bytes/0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string head = connection.readHead();
    ASSERT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");
}

}  // namespace
