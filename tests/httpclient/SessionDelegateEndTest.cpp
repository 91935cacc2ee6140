// A task's last calls (its last chunk, metrics and completion) reach the
// session delegate together: the plain delegate looks up the task's request
// once for the three, a subclass gets them one by one. Both must give the
// same records, and the overrides and closures must hear what they did.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HttpClientTestSupport.h"
#include "support/CapturedLog.h"

using namespace httpclienttest;
namespace ul = plat::urlloading;

namespace {

std::shared_ptr<SessionManager> managerWith(std::shared_ptr<SessionDelegate> delegate) {
    auto c = ul::URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.httpMaximumConnectionsPerHost = 1;
    auto manager = SessionManager::create(c, std::move(delegate));
    // Validations must be attached before the task can complete.
    manager->startRequestsImmediately = false;
    return manager;
}

// Takes the session's calls one by one (a subclass), and otherwise does
// what the plain delegate does.
class OneByOneDelegate : public SessionDelegate {};

// Notes each of the three calls per task, then lets the plain delegate act.
class CountingDelegate : public SessionDelegate {
  public:
    std::map<uint64_t, std::vector<std::string>> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void didReceiveOwnedData(ul::URLSession& s, ul::URLSessionDataTask& t, Data&& data) override {
        note(t, "data");
        SessionDelegate::didReceiveOwnedData(s, t, std::move(data));
    }
    void didFinishCollectingMetrics(ul::URLSession& s, ul::URLSessionTask& t,
                                    const std::shared_ptr<ul::TaskMetrics>& m) override {
        note(t, "metrics");
        SessionDelegate::didFinishCollectingMetrics(s, t, m);
    }
    void didCompleteWithError(ul::URLSession& s, ul::URLSessionTask& t, const ErrorPtr& e) override {
        note(t, "complete");
        SessionDelegate::didCompleteWithError(s, t, e);
    }

  private:
    void note(const ul::URLSessionTask& t, const char* what) {
        std::lock_guard lock(mutex_);
        calls_[t.taskIdentifier()].push_back(what);
    }
    std::mutex mutex_;
    std::map<uint64_t, std::vector<std::string>> calls_;
};

struct Outcome {
    DataResponse<Data> record;
    std::shared_ptr<const ul::TaskMetrics> delegateMetrics;
};

std::optional<Outcome> fetch(SessionManager& manager, const std::string& url, bool validate) {
    Waiter<DataResponse<Data>> done;
    auto request = manager.request(url);
    if (validate)
        request->validate();
    request->responseData([&](const DataResponse<Data>& r) { done.set(r); }, testQueue());
    request->resume();
    auto r = done.wait();
    if (!r)
        return std::nullopt;
    return Outcome{*r, request->delegate()->metrics()};
}

}  // namespace

TEST(SessionDelegateEnd, TogetherAndOneByOneGiveTheSameRecords) {
    LoopbackServer server;
    auto together = managerWith(std::make_shared<SessionDelegate>());
    auto oneByOne = managerWith(std::make_shared<OneByOneDelegate>());
    struct Case {
        std::string path;
        bool validate;
        size_t hops;
    };
    // One chunk, many (the last one held back for the task's end), no body, a
    // failed validation, a decoded body and redirects.
    const Case cases[] = {{"/bytes/64", false, 1},  {"/bytes/300000", false, 1}, {"/status/204", false, 1},
                          {"/status/404", true, 1}, {"/gzip", false, 1},         {"/redirect/2", false, 4}};
    for (const auto& c : cases) {
        const auto fetchedA = fetch(*together, server.url(c.path), c.validate);
        const auto fetchedB = fetch(*oneByOne, server.url(c.path), c.validate);
        ASSERT_TRUE(fetchedA && fetchedB) << c.path;
        const Outcome& a = *fetchedA;
        const Outcome& b = *fetchedB;
        ASSERT_EQ(a.record.data.has_value(), b.record.data.has_value()) << c.path;
        if (a.record.data) {
            EXPECT_TRUE(*a.record.data == *b.record.data) << c.path;
        }
        EXPECT_EQ(a.record.result.isSuccess(), b.record.result.isSuccess()) << c.path;
        EXPECT_EQ(bool(a.record.error()), bool(b.record.error())) << c.path;
        ASSERT_TRUE(a.record.response && b.record.response) << c.path;
        EXPECT_EQ(a.record.response->statusCode(), b.record.response->statusCode()) << c.path;
        // The metrics reached the request's delegate, and the record.
        for (const auto* o : {&a, &b}) {
            ASSERT_TRUE(o->record.metrics()) << c.path;
            EXPECT_EQ(o->record.metrics(), o->delegateMetrics) << c.path;
            EXPECT_EQ(o->record.metrics()->transactionMetrics.size(), c.hops) << c.path;
        }
    }
    const auto bytes = fetch(*together, server.url("/bytes/300000"), false);
    ASSERT_TRUE(bytes && bytes->record.data);
    EXPECT_EQ(bytes->record.data->length(), 300000u);
    const auto failed = fetch(*together, server.url("/status/404"), true);
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->record.error());
}

TEST(SessionDelegateEnd, ASubclassHearsEachOfTheThreeCallsInOrder) {
    LoopbackServer server;
    auto delegate = std::make_shared<CountingDelegate>();
    auto manager = managerWith(delegate);
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"/bytes/64", 64}, {"/bytes/300000", 300000}, {"/bytes/64", 64}, {"/bytes/1", 1}};
    for (const auto& [path, length] : cases) {
        const auto o = fetch(*manager, server.url(path), false);
        ASSERT_TRUE(o && o->record.data) << path;
        EXPECT_EQ(o->record.data->length(), length) << path;
        EXPECT_TRUE(o->record.metrics()) << path;
    }
    const auto calls = delegate->calls();
    ASSERT_EQ(calls.size(), cases.size());
    for (const auto& [task, seen] : calls) {
        ASSERT_GE(seen.size(), 3u) << "task " << task;
        EXPECT_EQ(seen.front(), "data") << "task " << task;
        EXPECT_EQ(seen[seen.size() - 2], "metrics") << "task " << task;
        EXPECT_EQ(seen.back(), "complete") << "task " << task;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "metrics"), 1) << "task " << task;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "complete"), 1) << "task " << task;
    }
}

TEST(SessionDelegateEnd, TheDataClosureGetsTheLastChunkAndEachTaskCompletesOnce) {
    LoopbackServer server;
    auto delegate = std::make_shared<SessionDelegate>();
    std::mutex mutex;
    std::map<uint64_t, size_t> received;
    std::map<uint64_t, int> completed;
    delegate->dataTaskDidReceiveData = [&](ul::URLSession&, ul::URLSessionDataTask& task, const Data& data) {
        std::lock_guard lock(mutex);
        received[task.taskIdentifier()] += data.length();
    };
    delegate->taskDidComplete = [&](ul::URLSession&, ul::URLSessionTask& task, const ErrorPtr&) {
        std::lock_guard lock(mutex);
        ++completed[task.taskIdentifier()];
    };
    auto manager = managerWith(delegate);
    const std::vector<size_t> lengths = {64, 300000, 1, 4096};
    for (size_t length : lengths) {
        const auto o = fetch(*manager, server.url("/bytes/" + std::to_string(length)), false);
        ASSERT_TRUE(o) << length;
        // The closure took every chunk: the request's delegate kept none.
        EXPECT_TRUE(!o->record.data || o->record.data->empty()) << length;
        EXPECT_TRUE(o->record.metrics()) << length;
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), lengths.size());
    std::vector<size_t> sizes;
    for (const auto& [task, bytes] : received)
        sizes.push_back(bytes);
    EXPECT_EQ(sizes, lengths);  // task identifiers grow in request order
    ASSERT_EQ(completed.size(), lengths.size());
    for (const auto& [task, times] : completed)
        EXPECT_EQ(times, 1) << "task " << task;
}

TEST(SessionDelegateEnd, AThrowingDataClosureIsLoggedAndTheTaskStillCompletesOnce) {
    LoopbackServer server;
    testsupport::CapturedLog log;
    auto delegate = std::make_shared<SessionDelegate>();
    std::mutex mutex;
    std::map<uint64_t, int> completed;
    delegate->dataTaskDidReceiveData = [](ul::URLSession&, ul::URLSessionDataTask&, const Data&) {
        throw std::runtime_error("chunk refused by the test");
    };
    delegate->taskDidComplete = [&](ul::URLSession&, ul::URLSessionTask& task, const ErrorPtr&) {
        std::lock_guard lock(mutex);
        ++completed[task.taskIdentifier()];
    };
    auto manager = managerWith(delegate);
    for (const char* path : {"/bytes/64", "/bytes/300000", "/bytes/64"}) {
        const auto o = fetch(*manager, server.url(path), false);
        ASSERT_TRUE(o) << path;
        EXPECT_TRUE(o->record.metrics()) << path;
    }
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(completed.size(), 3u);
        for (const auto& [task, times] : completed)
            EXPECT_EQ(times, 1) << "task " << task;
    }
    size_t refused = 0;
    for (const auto& line : log.lines()) {
        if (line.find("chunk refused by the test") != std::string::npos) {
            ++refused;
            EXPECT_NE(line.find("cancelling task"), std::string::npos) << line;
        }
    }
    EXPECT_GE(refused, 3u);
}
