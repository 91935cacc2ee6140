// The session's calls reach a delegate queue the caller gave as a plain
// block of that queue: they wait while it is suspended, and cancelling the
// queue's operations does not drop them.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/OperationQueue.h"
#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/WaitUntil.h"

using namespace urltest;
using testsupport::LoopbackServer;

TEST(EngineDelegateQueue, CancellingTheQueuesOperationsStillDeliversTheSessionsCalls) {
    LoopbackServer server;
    auto given = std::make_shared<plat::dispatch::OperationQueue>("given");
    given->setMaxConcurrentOperationCount(1);
    given->setSuspended(true);
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), nullptr, given);
    std::mutex m;
    std::condition_variable cv;
    int completions = 0;
    std::optional<std::string> body;
    ErrorPtr failure;
    auto task =
        session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/100"))),
                                     [&](std::optional<Data> data, HTTPURLResponsePtr, ErrorPtr error) {
                                         std::lock_guard lock(m);
                                         ++completions;
                                         if (data)
                                             body = std::string(data->view());
                                         failure = error;
                                         cv.notify_all();
                                     });
    task->resume();
    // The completion waits on the suspended queue, as one block that is no
    // operation of it.
    ASSERT_TRUE(testsupport::waitUntil([&] { return given->operationCount() == 1; }));
    EXPECT_TRUE(given->operations().empty());
    given->cancelAllOperations();
    given->setSuspended(false);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, kHangGuard, [&] { return completions > 0; }));
    }
    given->waitUntilAllOperationsAreFinished();
    {
        std::lock_guard lock(m);
        EXPECT_EQ(completions, 1);
        EXPECT_FALSE(failure);
        ASSERT_TRUE(body.has_value());
        EXPECT_EQ(*body, LoopbackServer::bytesBody(100));
    }

    // The session goes on delivering through the same queue.
    std::optional<std::string> second;
    auto next = session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/10"))),
                                             [&](std::optional<Data> data, HTTPURLResponsePtr, ErrorPtr) {
                                                 std::lock_guard lock(m);
                                                 second =
                                                     data ? std::string(data->view()) : std::string("none");
                                                 cv.notify_all();
                                             });
    next->resume();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, kHangGuard, [&] { return second.has_value(); }));
        EXPECT_EQ(*second, LoopbackServer::bytesBody(10));
    }
    session->invalidateAndCancel();
}
