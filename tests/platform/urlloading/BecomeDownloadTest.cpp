// A data task whose delegate answers the response with BecomeDownload: a
// download task takes its place and the body goes to a file.
#include <gtest/gtest.h>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;

TEST(BecomeDownload, TheRestOfTheBodyGoesToAFileThroughADownloadTask) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onResponse = [](const HTTPURLResponsePtr&, ResponseCompletion done) {
        done(URLSessionResponseDisposition::BecomeDownload);
    };
    std::shared_ptr<URLSessionDownloadTask> download;
    delegate->onBecomeDownload = [&](const std::shared_ptr<URLSessionDownloadTask>& d) { download = d; };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    auto task = session->dataTaskWithURL(url(server.url("/bytes/300000")));
    task->resume();
    auto r = delegate->waitFor(*task);  // the download task has the same identifier
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(r.completions, 1);
    ASSERT_GE(r.events.size(), 5u);
    EXPECT_EQ(r.events[0], "response 200");
    EXPECT_EQ(r.events[1], "became-download");
    EXPECT_EQ(r.events[r.events.size() - 3], "finished-download");
    EXPECT_EQ(r.events[r.events.size() - 2], "metrics");
    EXPECT_EQ(r.events.back(), "complete");
    for (const auto& e : r.events)
        EXPECT_NE(e, "data");  // not one byte went to the data task
    EXPECT_TRUE(r.downloaded == LoopbackServer::bytesBody(300000)) << r.downloaded.size();
    EXPECT_EQ(r.bytesWritten, 300000);
    ASSERT_TRUE(download);
    EXPECT_EQ(download->taskIdentifier(), task->taskIdentifier());
    EXPECT_EQ(download->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(download->response()->statusCode(), 200);
    EXPECT_EQ(download->countOfBytesReceived(), 300000);
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    task->cancel();  // harmless once replaced
    session->finishTasksAndInvalidate();
    EXPECT_TRUE(delegate->waitForInvalid());
}
