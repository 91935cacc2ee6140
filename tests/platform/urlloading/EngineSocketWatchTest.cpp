// The network thread leaves a kept-alive connection's socket in its epoll
// set as it is when the next request takes the connection up for the same
// events. That is sound only while the number still stands for that
// socket: these cases close connections (the server drops them in the
// middle of a body) so that new connections, and the resolver's own
// descriptors for a host name, take up the numbers freed, and check that
// every request after that still completes.
#include <gtest/gtest.h>

#include <string>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

// A GET that must succeed with `length` bytes.
void expectBytes(URLSession& session, const std::string& address, size_t length) {
    Completion done;
    ASSERT_TRUE(done.run(session, address)) << address << " did not complete";
    EXPECT_EQ(done.error, nullptr) << address;
    EXPECT_EQ(done.body().size(), length) << address;
}

// A GET whose connection the server drops in the middle of the body: it
// must end with an error (not hang, not succeed).
void expectDropped(URLSession& session, const std::string& address) {
    Completion done;
    ASSERT_TRUE(done.run(session, address)) << address << " did not complete";
    EXPECT_NE(done.error, nullptr) << address;
}

// Kept-alive requests, then one that loses its connection, over and over:
// each new connection (likely on the number just freed) is watched again.
void alternateKeptAndDropped(const std::string& base, const LoopbackServer& server) {
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 1;
    auto session = URLSession::sessionWithConfiguration(configuration);
    for (int round = 0; round < 12; ++round) {
        expectBytes(*session, base + "/bytes/64", 64);
        expectBytes(*session, base + "/bytes/64", 64);  // the same connection again
        expectDropped(*session, base + "/bytes/50000?drop=20000");
    }
    expectBytes(*session, base + "/bytes/64", 64);
    session->invalidateAndCancel();
}

}  // namespace

TEST(EngineSocketWatch, ConnectionsDroppedAndRemadeKeepBeingWatched) {
    LoopbackServer server;
    alternateKeptAndDropped("http://127.0.0.1:" + std::to_string(server.port()), server);
}

TEST(EngineSocketWatch, HostNamesResolvedBetweenConnectionsDoNotConfuseTheWatch) {
    // A host name goes through libcurl's resolver, whose descriptors come
    // and go without the engine hearing of their closing.
    LoopbackServer server;
    alternateKeptAndDropped("http://localhost:" + std::to_string(server.port()), server);
}

TEST(EngineSocketWatch, ConcurrentConnectionsDroppedAndRemadeAllComplete) {
    LoopbackServer server;
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 4;
    auto session = URLSession::sessionWithConfiguration(configuration);
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    for (int round = 0; round < 6; ++round) {
        std::vector<std::unique_ptr<Completion>> done;
        for (int i = 0; i < 8; ++i) {
            done.push_back(std::make_unique<Completion>());
            const bool drop = (i + round) % 3 == 0;
            const std::string address = base + (drop ? "/bytes/50000?drop=20000" : "/bytes/64");
            session->dataTaskWithRequest(URLRequest(url(address)), done.back()->handler())->resume();
        }
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(done[i]->wait()) << "request " << i << " of round " << round << " did not complete";
            if ((i + round) % 3 == 0)
                EXPECT_NE(done[i]->error, nullptr);
            else
                EXPECT_EQ(done[i]->body().size(), 64u);
        }
    }
    session->invalidateAndCancel();
}
