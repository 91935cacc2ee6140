// A kept-alive connection's socket stays in the network thread's epoll set
// as it is when the next request takes it up again. These cases drop
// connections (the server ends them in the middle of a body), so that new
// connections, and the resolver's descriptors for a host name, take up the
// numbers freed, and check that every request after that still completes.
#include <gtest/gtest.h>

#include <string>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

// Rounds of `inFlight` GETs at once, one in three dropped by the server.
void dropAndRemakeConnections(const std::string& host, int inFlight) {
    LoopbackServer server;
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = inFlight;
    auto session = URLSession::sessionWithConfiguration(configuration);
    const std::string base = "http://" + host + ":" + std::to_string(server.port());
    for (int round = 0; round < 12; ++round) {
        std::vector<std::unique_ptr<Completion>> done;
        for (int i = 0; i < 2 * inFlight; ++i) {
            const bool drop = (i + round) % 3 == 0;
            done.push_back(std::make_unique<Completion>());
            auto address = base + (drop ? "/bytes/50000?drop=20000" : "/bytes/64");
            session->dataTaskWithRequest(URLRequest(url(address)), done.back()->handler())->resume();
        }
        for (size_t i = 0; i < done.size(); ++i) {
            ASSERT_TRUE(done[i]->wait()) << "request " << i << " of round " << round << " hangs";
            if ((i + round) % 3 == 0)
                EXPECT_NE(done[i]->error, nullptr);
            else
                EXPECT_EQ(done[i]->body().size(), 64u);
        }
    }
    session->invalidateAndCancel();
}

}  // namespace

TEST(EngineSocketWatch, ConnectionsDroppedAndRemadeKeepBeingWatched) {
    dropAndRemakeConnections("127.0.0.1", 1);
    dropAndRemakeConnections("127.0.0.1", 4);
}

TEST(EngineSocketWatch, ResolverDescriptorsBetweenConnectionsDoNotConfuseTheWatch) {
    // A host name goes through libcurl's resolver, whose descriptors come
    // and go without the engine hearing of their closing.
    dropAndRemakeConnections("localhost", 1);
}
