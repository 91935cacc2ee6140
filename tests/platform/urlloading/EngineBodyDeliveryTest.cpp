// How a data task's body reaches the session's delegate: every byte, in
// order, each chunk in a call of its own, all of them before the task's
// metrics and completion, with many tasks under way at once on kept-alive
// connections (where a response's last chunk and its end often arrive in
// the same turn of the network loop and are handed over together).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/WaitUntil.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

struct Event {
    uint64_t task;
    std::string what;  // "data", "metrics", "complete"
    std::string bytes;
};

// Records every call, of every task, in the one order the delegate saw them.
class SequenceDelegate : public URLSessionDelegate {
  public:
    // Throws from didReceiveData for a task while this returns true.
    std::function<bool(uint64_t task)> throwOnData;

    void didReceiveData(URLSession&, URLSessionDataTask& task, const Data& data) override {
        {
            std::lock_guard lock(mutex_);
            events_.push_back({task.taskIdentifier(), "data", std::string(data.view())});
        }
        if (throwOnData && throwOnData(task.taskIdentifier()))
            throw std::runtime_error("refused by the test");
    }
    void didFinishCollectingMetrics(URLSession&, URLSessionTask& task,
                                    const std::shared_ptr<TaskMetrics>&) override {
        std::lock_guard lock(mutex_);
        events_.push_back({task.taskIdentifier(), "metrics", {}});
    }
    void didCompleteWithError(URLSession&, URLSessionTask& task, const ErrorPtr& error) override {
        std::lock_guard lock(mutex_);
        events_.push_back({task.taskIdentifier(), "complete", error ? "error" : ""});
        completed_++;
        changed_.notify_all();
    }

    bool waitForCompletions(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kHangGuard, [&] { return completed_ >= n; });
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    int completed_ = 0;
};

struct Expected {
    uint64_t task;
    std::string body;
};

// Each task's calls, in order: its chunks (together its whole body), then
// metrics, then one completion without error.
void expectEachTaskInOrder(const std::vector<Event>& events, const std::vector<Expected>& expected) {
    std::map<uint64_t, std::vector<const Event*>> byTask;
    for (const auto& e : events)
        byTask[e.task].push_back(&e);
    ASSERT_EQ(byTask.size(), expected.size());
    for (const auto& want : expected) {
        const auto& calls = byTask[want.task];
        ASSERT_GE(calls.size(), 2u) << "task " << want.task;
        std::string body;
        size_t i = 0;
        for (; i < calls.size() && calls[i]->what == "data"; ++i) {
            EXPECT_FALSE(calls[i]->bytes.empty()) << "task " << want.task << ": an empty chunk";
            body += calls[i]->bytes;
        }
        EXPECT_EQ(body.size(), want.body.size()) << "task " << want.task;
        EXPECT_TRUE(body == want.body) << "task " << want.task << ": the bytes differ";
        ASSERT_EQ(calls.size(), i + 2) << "task " << want.task << ": a call after the metrics or a "
                                       << "chunk after them";
        EXPECT_EQ(calls[i]->what, "metrics") << "task " << want.task;
        EXPECT_EQ(calls[i + 1]->what, "complete") << "task " << want.task;
        EXPECT_EQ(calls[i + 1]->bytes, "") << "task " << want.task << " failed";
    }
}

// Makes `rounds` data tasks of each size (the loopback server's /bytes/N),
// with the body each must deliver, and resumes them all at once.
std::vector<std::shared_ptr<URLSessionDataTask>> startSizedTasks(URLSession& session, LoopbackServer& server,
                                                                 const std::vector<size_t>& sizes, int rounds,
                                                                 std::vector<Expected>& expected) {
    std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
    for (int round = 0; round < rounds; ++round) {
        for (size_t n : sizes) {
            auto task =
                session.dataTaskWithRequest(URLRequest(url(server.url("/bytes/" + std::to_string(n)))));
            expected.push_back({task->taskIdentifier(), LoopbackServer::bytesBody(n)});
            tasks.push_back(task);
        }
    }
    for (auto& task : tasks)
        task->resume();
    return tasks;
}

}  // namespace

TEST(EngineBodyDelivery, ManySmallResponsesAtOnceEachReachTheDelegateWholeAndBeforeTheirEnd) {
    LoopbackServer server;
    auto delegate = std::make_shared<SequenceDelegate>();
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 8;
    auto session = URLSession::sessionWithConfiguration(configuration, delegate);
    // Sizes from one byte to a few kilobytes, several rounds of eight on the
    // same kept-alive connections.
    const std::vector<size_t> sizes = {1, 64, 100, 512, 1000, 2048, 4096, 64};
    std::vector<Expected> expected;
    auto tasks = startSizedTasks(*session, server, sizes, 6, expected);
    ASSERT_TRUE(delegate->waitForCompletions(static_cast<int>(tasks.size())));
    expectEachTaskInOrder(delegate->events(), expected);
    session->invalidateAndCancel();
}

TEST(EngineBodyDelivery, ALargeBodyComesInSeveralCallsEachInItsTurn) {
    LoopbackServer server;
    auto delegate = std::make_shared<SequenceDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    // Larger than libcurl's receive buffer: more than one chunk.
    constexpr size_t kSize = 1 << 20;
    auto large = session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/" + std::to_string(kSize)))));
    auto small = session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/64"))));
    large->resume();
    small->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    const auto events = delegate->events();
    expectEachTaskInOrder(events, {{large->taskIdentifier(), LoopbackServer::bytesBody(kSize)},
                                   {small->taskIdentifier(), LoopbackServer::bytesBody(64)}});
    int largeChunks = 0;
    for (const auto& e : events)
        largeChunks += e.task == large->taskIdentifier() && e.what == "data";
    EXPECT_GT(largeChunks, 1);
    session->invalidateAndCancel();
}

TEST(EngineBodyDelivery, ADelegateThrowingOnAChunkIsLoggedAndTheTaskStillEndsOnce) {
    LoopbackServer server;
    std::mutex logMutex;
    std::vector<std::string> logged;
    plat::setLogSink([&](std::string_view line) {
        std::lock_guard lock(logMutex);
        logged.emplace_back(line);
    });
    auto delegate = std::make_shared<SequenceDelegate>();
    delegate->throwOnData = [](uint64_t) { return true; };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
    for (int i = 0; i < 8; ++i)
        tasks.push_back(session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/64")))));
    for (auto& task : tasks)
        task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(8));
    session->invalidateAndCancel();
    plat::setLogSink(nullptr);
    // Each task: its chunk seen (whether the cancel the throw asks for came
    // before the end or after it depends on when the bytes arrived), then
    // metrics and a single completion.
    std::map<uint64_t, std::vector<std::string>> byTask;
    for (const auto& e : delegate->events())
        byTask[e.task].push_back(e.what);
    ASSERT_EQ(byTask.size(), 8u);
    for (auto& [task, calls] : byTask) {
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2], "metrics") << "task " << task;
        EXPECT_EQ(calls.back(), "complete") << "task " << task;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "complete"), 1) << "task " << task;
        EXPECT_EQ(calls.front(), "data") << "task " << task;
    }
    std::lock_guard lock(logMutex);
    size_t throws = 0;
    for (const auto& line : logged)
        throws += line.find("refused by the test") != std::string::npos;
    EXPECT_GE(throws, 8u);
}

namespace {

// Takes each chunk the session gives it to keep, and counts the calls of
// either kind.
class TakingDelegate : public SequenceDelegate {
  public:
    std::atomic<int> owned{0};
    std::atomic<int> copied{0};

    void didReceiveOwnedData(URLSession& session, URLSessionDataTask& task, Data&& data) override {
        ++owned;
        const Data kept = std::move(data);
        SequenceDelegate::didReceiveData(session, task, kept);
    }
    void didReceiveData(URLSession& session, URLSessionDataTask& task, const Data& data) override {
        ++copied;
        SequenceDelegate::didReceiveData(session, task, data);
    }
};

}  // namespace

// Every chunk, whether handed over with its task's end or on its own, comes
// once, as the delegate's to keep: a delegate that takes the bytes sees each
// task's body whole and in order, and no chunk a second time as a copy.
TEST(EngineBodyDelivery, EachChunkIsHandedOverOnceForTheDelegateToKeep) {
    LoopbackServer server;
    auto delegate = std::make_shared<TakingDelegate>();
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 4;
    auto session = URLSession::sessionWithConfiguration(configuration, delegate);
    std::vector<Expected> expected;
    const std::vector<size_t> sizes = {1, 64, 3000, 1 << 18, 100, 7};
    auto tasks = startSizedTasks(*session, server, sizes, 3, expected);
    ASSERT_TRUE(delegate->waitForCompletions(static_cast<int>(tasks.size())));
    const auto events = delegate->events();
    expectEachTaskInOrder(events, expected);
    const auto chunks =
        std::count_if(events.begin(), events.end(), [](const Event& e) { return e.what == "data"; });
    EXPECT_EQ(delegate->owned.load(), chunks);
    EXPECT_EQ(delegate->copied.load(), 0);
    session->invalidateAndCancel();
}

namespace {

// Makes a task's last calls its own way: notes the chunks it gets one by one,
// then the end with the chunk held back for it (if any); never passes the
// end on to the three calls.
class EndingDelegate : public SequenceDelegate {
  public:
    std::atomic<int> ends{0};
    std::atomic<int> endsWithoutMetrics{0};
    std::atomic<int> endsWithError{0};

    void didEndTask(URLSession& session, URLSessionTask& task, Data* lastChunk,
                    const std::shared_ptr<TaskMetrics>& metrics, const ErrorPtr& error) override {
        if (lastChunk)
            SequenceDelegate::didReceiveData(session, static_cast<URLSessionDataTask&>(task), *lastChunk);
        endsWithoutMetrics += metrics == nullptr;
        endsWithError += error != nullptr;
        ++ends;
        // Recorded as the two calls it stands for, so that the order checks
        // apply as they are.
        SequenceDelegate::didFinishCollectingMetrics(session, task, metrics);
        SequenceDelegate::didCompleteWithError(session, task, error);
    }
    void didFinishCollectingMetrics(URLSession&, URLSessionTask&,
                                    const std::shared_ptr<TaskMetrics>&) override {
        ++separateCalls;
    }
    void didCompleteWithError(URLSession&, URLSessionTask&, const ErrorPtr&) override { ++separateCalls; }

    std::atomic<int> separateCalls{0};
};

}  // namespace

// A task the delegate alone hears of ends in one didEndTask: the chunks
// before it and the one it carries make the whole body, and the metrics and
// completion come with it, not as calls of their own. A task with a
// completion handler ends as before: its handler, then the delegate's
// completion.
TEST(EngineBodyDelivery, ATaskForTheDelegateAloneEndsInOneCallCarryingItsLastChunk) {
    LoopbackServer server;
    auto delegate = std::make_shared<EndingDelegate>();
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 8;
    auto session = URLSession::sessionWithConfiguration(configuration, delegate);
    const std::vector<size_t> sizes = {1, 64, 4096, 300000, 64, 512, 1000, 64};
    std::vector<Expected> expected;
    auto tasks = startSizedTasks(*session, server, sizes, 3, expected);
    ASSERT_TRUE(delegate->waitForCompletions(static_cast<int>(tasks.size())));
    expectEachTaskInOrder(delegate->events(), expected);
    EXPECT_EQ(delegate->ends.load(), static_cast<int>(tasks.size()));
    EXPECT_EQ(delegate->endsWithoutMetrics.load(), 0);
    EXPECT_EQ(delegate->endsWithError.load(), 0);
    EXPECT_EQ(delegate->separateCalls.load(), 0);

    // With a completion handler: no didEndTask, the delegate's own calls.
    std::mutex mutex;
    std::condition_variable handled;
    std::optional<std::string> body;
    auto withHandler = session->dataTaskWithRequest(
        URLRequest(url(server.url("/bytes/64"))),
        [&](std::optional<Data> data, const HTTPURLResponsePtr&, const ErrorPtr&) {
            std::lock_guard lock(mutex);
            body = data ? std::string(data->view()) : std::string("(none)");
            handled.notify_all();
        });
    withHandler->resume();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(handled.wait_for(lock, kHangGuard, [&] { return body.has_value(); }));
        EXPECT_EQ(*body, LoopbackServer::bytesBody(64));
    }
    // Its completion call follows the handler on the delegate queue.
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate->separateCalls.load() == 2; }));
    EXPECT_EQ(delegate->ends.load(), static_cast<int>(tasks.size()));
    session->invalidateAndCancel();
}
