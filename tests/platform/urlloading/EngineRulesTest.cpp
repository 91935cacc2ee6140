// The network engine's own rules: a transfer option libcurl refuses fails
// the request instead of sending it without that option (a TLS option
// above all); what a completion handler throws is logged, never swallowed;
// network-thread state is guarded by a checked thread rule; commands run
// after the network thread has ended never run inside one another.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Log.h"
#include "platform/urlloading/URLLoadingTestSupport.h"
#include "platform/urlloading/detail/Engine.h"

using namespace urltest;
using testsupport::LoopbackServer;
namespace detail = plat::urlloading::detail;

namespace {

std::atomic<int> refusedOption{-1};

int refuseOneOption(int option) {
    return option == refusedOption.load() ? CURLE_UNKNOWN_OPTION : CURLE_OK;
}

// Makes libcurl refuse `option` for as long as it lives.
class RefusedOption {
  public:
    explicit RefusedOption(CURLoption option) {
        refusedOption = option;
        detail::setCurlOptionHookForTesting(refuseOneOption);
    }
    ~RefusedOption() {
        detail::setCurlOptionHookForTesting(nullptr);
        refusedOption = -1;
    }
};

struct OptionCase {
    CURLoption option;
    const char* name;
    int64_t code;
};

class EngineRefusedOption : public ::testing::TestWithParam<OptionCase> {};

}  // namespace

TEST_P(EngineRefusedOption, FailsTheRequestUnsentNamingTheOption) {
    const auto& c = GetParam();
    LoopbackServer server(LoopbackServer::Certificate::Valid);
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    {
        RefusedOption refused(c.option);
        Completion done;
        ASSERT_TRUE(done.run(*session, server.url("/echo")));
        ASSERT_TRUE(done.error);
        EXPECT_EQ(done.error->code(), c.code);
        EXPECT_NE(done.error->localizedDescription().find(c.name), std::string::npos)
            << done.error->localizedDescription();
        EXPECT_EQ(server.requestCount("/echo"), 0u);
    }
    // The session itself is unharmed: the next request goes out.
    Completion next;
    ASSERT_TRUE(next.run(*session, server.url("/echo")));
    EXPECT_EQ(next.error, nullptr);
    EXPECT_EQ(server.requestCount("/echo"), 1u);
    session->invalidateAndCancel();
}

INSTANTIATE_TEST_SUITE_P(
    TLSAndOthers, EngineRefusedOption,
    ::testing::Values(
        OptionCase{CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", URLErrorSecureConnectionFailed},
        OptionCase{CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", URLErrorSecureConnectionFailed},
        OptionCase{CURLOPT_SSL_CTX_FUNCTION, "CURLOPT_SSL_CTX_FUNCTION", URLErrorSecureConnectionFailed},
        OptionCase{CURLOPT_SSL_CTX_DATA, "CURLOPT_SSL_CTX_DATA", URLErrorSecureConnectionFailed},
        OptionCase{CURLOPT_CAINFO, "CURLOPT_CAINFO", URLErrorSecureConnectionFailed},
        OptionCase{CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", URLErrorUnknown},
        OptionCase{CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", URLErrorUnknown}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name).substr(8); });

TEST(EngineCompletion, ThrowingHandlerIsLoggedAndTheDelegateStillHearsOfTheEnd) {
    LoopbackServer server;
    std::mutex logMutex;
    std::vector<std::string> logged;
    plat::setLogSink([&](std::string_view line) {
        std::lock_guard lock(logMutex);
        logged.emplace_back(line);
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    auto task =
        session->dataTaskWithRequest(URLRequest(url(server.url("/echo"))),
                                     [](std::optional<Data>, HTTPURLResponsePtr, ErrorPtr) { throw 42; });
    task->resume();
    EXPECT_EQ(delegate->waitFor(*task).error, nullptr);
    session->invalidateAndCancel();
    plat::setLogSink(nullptr);
    bool found = false;
    for (const auto& line : logged)
        found = found || line.find("a completion handler threw") != std::string::npos;
    EXPECT_TRUE(found) << "nothing logged for the throwing completion handler";
}

namespace {

std::shared_ptr<detail::Engine> startedEngine() {
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.connectionProxyFromEnvironment = false;
    auto engine =
        std::make_shared<detail::Engine>(config, std::make_shared<plat::dispatch::OperationQueue>());
    engine->start();
    return engine;
}

// Runs `check` as a command and waits for it; true when it ran on the calling thread.
bool ranHere(
    detail::Engine& engine, const std::function<void()>& check = [] {}) {
    std::promise<std::thread::id> ran;
    auto result = ran.get_future();
    engine.post([&] {
        check();
        ran.set_value(std::this_thread::get_id());
    });
    EXPECT_EQ(result.wait_for(kHangGuard), std::future_status::ready);
    return result.get() == std::this_thread::get_id();
}

}  // namespace

TEST(EngineThreadRule, HoldsOnTheNetworkThreadAndStopsTheProcessElsewhere) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto engine = startedEngine();
    EXPECT_FALSE(ranHere(*engine, [&] { engine->assertCommandThread(); }));
    EXPECT_DEATH(engine->assertCommandThread(), "network-thread state touched from another thread");
    engine->sessionReleased();
}

// Profilers and debuggers show the network thread by name.
TEST(EngineThreadRule, TheNetworkThreadIsNamed) {
    auto engine = startedEngine();
    char name[16] = {};
    EXPECT_FALSE(ranHere(*engine, [&] { pthread_getname_np(pthread_self(), name, sizeof name); }));
    EXPECT_STREQ(name, "url-session");
    engine->sessionReleased();
}

TEST(EngineThreadRule, AfterTheThreadEndsCommandsRunOneAfterAnotherNeverNested) {
    auto engine = startedEngine();
    engine->sessionReleased();
    // The loop ends once it has seen the release; from then on a command
    // runs on the thread that posts it.
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!ranHere(*engine))
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the network thread never ended";

    std::vector<std::string> order;
    engine->post([&] {
        engine->assertCommandThread();
        order.push_back("outer begins");
        engine->post([&] {
            engine->assertCommandThread();
            order.push_back("inner");
        });
        order.push_back("outer ends");
    });
    EXPECT_EQ(order, (std::vector<std::string>{"outer begins", "outer ends", "inner"}));
}

TEST(EngineTuningOption, RefusedIsLoggedAndTheDownloadStillArrives) {
    LoopbackServer server;
    std::mutex logMutex;
    std::vector<std::string> logged;
    plat::setLogSink([&](std::string_view line) {
        std::lock_guard lock(logMutex);
        logged.emplace_back(line);
    });
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    std::promise<std::pair<bool, int64_t>> finished;
    {
        RefusedOption refused(CURLOPT_BUFFERSIZE);
        auto task = session->downloadTaskWithRequest(
            URLRequest(url(server.url("/bytes/100000"))),
            [&](std::optional<URL> location, HTTPURLResponsePtr, ErrorPtr error) {
                struct stat st {};
                const bool there = location && ::stat(location->path().c_str(), &st) == 0;
                finished.set_value({there && !error, there ? static_cast<int64_t>(st.st_size) : -1});
            });
        task->resume();
        auto result = finished.get_future();
        ASSERT_EQ(result.wait_for(kHangGuard), std::future_status::ready);
        auto [ok, size] = result.get();
        EXPECT_TRUE(ok);
        EXPECT_EQ(size, 100000);
    }
    session->invalidateAndCancel();
    plat::setLogSink(nullptr);
    bool found = false;
    for (const auto& line : logged)
        found = found || line.find("CURLOPT_BUFFERSIZE") != std::string::npos;
    EXPECT_TRUE(found) << "nothing logged for the refused buffer size";
}

// Resumes go through the engine's command list with every other command, in
// the order they were asked for: tasks resumed, suspended and resumed again
// at once end running and complete whole (run out of order, the suspend
// would come last and the task would never end). Most of them are still
// waiting for the one connection when they are suspended and resumed: a
// resume then has no pause of libcurl's to undo, and must not fail.
TEST(EngineRules, ATaskResumedSuspendedAndResumedAtOnceCompletesWhole) {
    LoopbackServer server;
    auto configuration = testConfiguration(server);
    configuration.httpMaximumConnectionsPerHost = 1;
    auto session = URLSession::sessionWithConfiguration(configuration);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> finished;
    std::vector<std::string> bodies(6);
    std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
    for (int i = 0; i < 6; ++i) {
        const size_t length = 100 + 1000 * static_cast<size_t>(i);
        tasks.push_back(session->dataTaskWithRequest(
            URLRequest(url(server.url("/bytes/" + std::to_string(length)))),
            [&, i](std::optional<Data> data, HTTPURLResponsePtr, ErrorPtr error) {
                std::lock_guard lock(mutex);
                EXPECT_FALSE(error) << "task " << i << ": " << (error ? error->description() : "");
                bodies[static_cast<size_t>(i)] = data ? data->toString() : std::string();
                finished.push_back(i);
                changed.notify_all();
            }));
    }
    const std::vector<int> order = {4, 1, 5, 0, 3, 2};
    for (int i : order) {
        auto& task = tasks[static_cast<size_t>(i)];
        task->resume();
        if (i != 4) {
            task->suspend();
            task->resume();
        }
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kHangGuard, [&] { return finished.size() == order.size(); }))
        << finished.size() << " of " << order.size() << " finished";
    std::sort(finished.begin(), finished.end());
    EXPECT_EQ(finished, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(bodies[static_cast<size_t>(i)],
                  LoopbackServer::bytesBody(100 + 1000 * static_cast<size_t>(i)))
            << "task " << i;
    lock.unlock();
    session->invalidateAndCancel();
}
