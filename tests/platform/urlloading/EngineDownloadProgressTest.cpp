// Download progress is kept per download hop, and only downloads keep it:
// downloads interleaved with data tasks on the same kept-alive connections,
// some of them redirected first, each report exactly the bytes of their own
// file, and the data tasks report none.
#include <gtest/gtest.h>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;

TEST(EngineDownloadProgress, EachDownloadReportsTheBytesOfItsOwnFileOnly) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 2;  // handles and connections are reused
    auto session = URLSession::sessionWithConfiguration(configuration, delegate);
    struct Download {
        std::shared_ptr<URLSessionDownloadTask> task;
        int64_t length;  // 0: the /echo answer at the end of two redirects
    };
    std::vector<std::shared_ptr<URLSessionDataTask>> dataTasks;
    std::vector<Download> downloads;
    for (int round = 0; round < 6; ++round) {
        auto data = session->dataTaskWithURL(url(server.url("/bytes/64")));
        data->resume();
        dataTasks.push_back(data);
        const int64_t length = 1000 * (round + 1) + round;
        auto plain =
            session->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/" + std::to_string(length)))));
        plain->resume();
        downloads.push_back({plain, length});
        auto redirected = session->downloadTaskWithRequest(URLRequest(url(server.url("/redirect/2"))));
        redirected->resume();
        downloads.push_back({redirected, 0});
    }
    for (const auto& data : dataTasks) {
        auto r = delegate->waitFor(*data);
        EXPECT_EQ(r.error, nullptr);
        EXPECT_EQ(r.body.size(), 64u);
        EXPECT_EQ(r.bytesWritten, 0);
        for (const auto& e : r.events)
            EXPECT_NE(e, "write");
    }
    for (const auto& [task, length] : downloads) {
        auto r = delegate->waitFor(*task);
        EXPECT_EQ(r.error, nullptr);
        ASSERT_GE(r.events.size(), 4u);
        EXPECT_EQ(r.events[r.events.size() - 4], "write");
        EXPECT_EQ(r.events[r.events.size() - 3], "finished-download");
        if (length > 0) {
            EXPECT_TRUE(r.downloaded == LoopbackServer::bytesBody(static_cast<size_t>(length)))
                << r.downloaded.size();
        } else {
            // The redirects' own bodies never reach the file.
            const auto echo = echoOf(r.downloaded);
            const auto* path = echo.find("path");
            ASSERT_TRUE(path && path->asString());
            EXPECT_EQ(*path->asString(), "/echo");
        }
        EXPECT_EQ(r.bytesWritten, static_cast<int64_t>(r.downloaded.size()));
        EXPECT_EQ(task->countOfBytesReceived(), static_cast<int64_t>(r.downloaded.size()));
    }
    session->finishTasksAndInvalidate();
    EXPECT_TRUE(delegate->waitForInvalid());
}
