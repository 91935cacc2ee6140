// Stream requests against a loopback TCP echo server: reading and writing
// through the request's stream task, the half-close callbacks, cancelling,
// connection errors, net services and retry, and the notifications posted
// on the way.

#include <algorithm>
#include <future>
#include <thread>

#include "HttpClientTestSupport.h"
#include "httpclient/Notifications.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/urlloading/URLError.h"
#include "support/EchoServer.h"

using namespace httpclienttest;
using plat::Data;
using testsupport::EchoServer;
namespace ul = plat::urlloading;

namespace {

struct Read {
    std::string text;
    bool atEOF = false;
    plat::ErrorPtr error;
};

Read readSome(ul::URLSessionStreamTask& task, std::size_t min, std::size_t max) {
    auto promise = std::make_shared<std::promise<Read>>();
    task.readDataOfMinLength(min, max, 0, [promise](std::optional<Data> data, bool atEOF, plat::ErrorPtr e) {
        promise->set_value(Read{data ? data->toString() : "", atEOF, std::move(e)});
    });
    auto future = promise->get_future();
    if (future.wait_for(kHangGuard) != std::future_status::ready) {
        ADD_FAILURE() << "read never completed";
        return {};
    }
    return future.get();
}

plat::ErrorPtr writeAll(ul::URLSessionStreamTask& task, const std::string& text) {
    auto promise = std::make_shared<std::promise<plat::ErrorPtr>>();
    task.writeData(Data::fromString(text), 0, [promise](plat::ErrorPtr e) { promise->set_value(e); });
    auto future = promise->get_future();
    if (future.wait_for(kHangGuard) != std::future_status::ready) {
        ADD_FAILURE() << "write never completed";
        return nullptr;
    }
    return future.get();
}

// Waits for the request's task to complete: its delegate's queue runs only
// then. Returns the error the delegate recorded.
plat::ErrorPtr completion(const std::shared_ptr<Request>& request) {
    Waiter<int> done;
    request->delegate()->queue().addOperationWithBlock([&] { done.set(1); });
    done.wait();
    return request->delegate()->error();
}

int64_t codeOf(const plat::ErrorPtr& e) {
    return e ? e->code() : 0;
}

// Records the task notifications whose object is one of `objects`.
class NotificationLog {
  public:
    explicit NotificationLog(std::vector<const void*> objects) : objects_(std::move(objects)) {
        auto& center = plat::NotificationCenter::defaultCenter();
        for (const auto& name :
             {Notification::Name::Task::didResume(), Notification::Name::Task::didSuspend(),
              Notification::Name::Task::didCancel(), Notification::Name::Task::didComplete()}) {
            tokens_.push_back(center.addObserverForName(name, nullptr, [this](const plat::Notification& n) {
                if (std::find(objects_.begin(), objects_.end(), n.object.get()) == objects_.end())
                    return;
                std::lock_guard lock(m_);
                names_.push_back(n.name);
                withData_ = withData_ || n.userInfo.contains(Notification::Key::responseData());
            }));
        }
    }
    ~NotificationLog() {
        for (auto& t : tokens_)
            plat::NotificationCenter::defaultCenter().removeObserver(t);
    }
    std::vector<std::string> names() {
        std::lock_guard lock(m_);
        return names_;
    }
    bool anyWithData() {
        std::lock_guard lock(m_);
        return withData_;
    }

  private:
    std::vector<const void*> objects_;
    std::vector<plat::ObserverToken> tokens_;
    std::mutex m_;
    std::vector<std::string> names_;
    bool withData_ = false;
};

class StreamRequestTest : public ::testing::Test {
  protected:
    EchoServer echo;
    std::shared_ptr<SessionManager> manager = makeManager();
};

}  // namespace

TEST_F(StreamRequestTest, EchoesAndHalfClosesThroughTheStreamTask) {
    Waiter<std::string> closed;
    manager->delegate()->streamTaskWriteClosed = [&](ul::URLSession&, ul::URLSessionStreamTask&) {
        closed.set("write");
    };
    manager->delegate()->streamTaskReadClosed = [&](ul::URLSession&, ul::URLSessionStreamTask&) {
        closed.set("read");
    };
    manager->startRequestsImmediately = false;
    auto request = manager->stream("127.0.0.1", echo.port());
    NotificationLog log({request.get(), manager->delegate().get()});
    request->resume();
    auto task = request->streamTask();
    ASSERT_TRUE(task);
    EXPECT_EQ(task->host(), "127.0.0.1");
    EXPECT_EQ(task->port(), echo.port());
    EXPECT_TRUE(request->startTime());

    EXPECT_FALSE(writeAll(*task, "hello, stream"));
    Read r = readSome(*task, 13, 64);
    EXPECT_EQ(r.text, "hello, stream");
    EXPECT_FALSE(r.error);
    task->closeWrite();
    // The server ends its side once ours has ended.
    r = readSome(*task, 1, 64);
    EXPECT_TRUE(r.atEOF);
    EXPECT_EQ(r.text, "");
    EXPECT_FALSE(completion(request));
    EXPECT_TRUE(request->endTime());
    EXPECT_EQ(closed.all(2), (std::vector<std::string>{"write", "read"}));
    // The completion is posted, and the task forgotten, after the delegate's
    // queue is released.
    for (int i = 0; i < 1000 && (log.names().size() < 2 || manager->delegate()->requestCount() > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(log.names(), (std::vector<std::string>{Notification::Name::Task::didResume(),
                                                     Notification::Name::Task::didComplete()}));
    EXPECT_FALSE(log.anyWithData());
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
}

TEST_F(StreamRequestTest, CancelFailsQueuedReadsOnceAndPostsCancel) {
    EchoServer silent(EchoServer::Options{std::nullopt, std::nullopt, true});
    auto request = manager->stream("127.0.0.1", silent.port());
    NotificationLog log({request.get()});
    auto task = request->streamTask();
    ASSERT_TRUE(task);
    auto calls = std::make_shared<std::atomic<int>>(0);
    Waiter<plat::ErrorPtr> read;
    task->readDataOfMinLength(1, 16, 0, [&, calls](std::optional<Data> data, bool, plat::ErrorPtr e) {
        ++*calls;
        EXPECT_FALSE(data);
        read.set(e);
    });
    request->cancel();
    request->cancel();  // a second cancel posts again but completes nothing twice
    EXPECT_EQ(codeOf(read.wait().value_or(nullptr)), ul::URLErrorCancelled);
    EXPECT_EQ(codeOf(completion(request)), ul::URLErrorCancelled);
    EXPECT_EQ(calls->load(), 1);
    // Operations after the end complete at once with the same error.
    EXPECT_EQ(codeOf(writeAll(*task, "late")), ul::URLErrorCancelled);
    auto names = log.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), Notification::Name::Task::didCancel()), 2);
}

TEST_F(StreamRequestTest, ConnectionFailuresCompleteWithTheURLError) {
    auto unresolved = std::make_shared<ul::NetService>("local.", "_echo._tcp.", "nowhere");
    struct Case {
        const char* name;
        std::function<std::shared_ptr<StreamRequest>()> make;
        int64_t code;
    };
    const Case cases[] = {
        {"refused", [&] { return manager->stream("127.0.0.1", testsupport::closedLoopbackPort()); },
         ul::URLErrorCannotConnectToHost},
        {"unresolved service", [&] { return manager->stream(unresolved); }, ul::URLErrorCannotFindHost},
        {"no service", [&] { return manager->stream(std::shared_ptr<ul::NetService>()); },
         ul::URLErrorCannotFindHost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = c.make();
        ASSERT_TRUE(request->streamTask());
        Read r = readSome(*request->streamTask(), 1, 8);
        EXPECT_EQ(codeOf(r.error), c.code);
        EXPECT_EQ(codeOf(completion(request)), c.code);
        EXPECT_EQ(request->streamTask()->state(), ul::URLSessionTaskState::Completed);
    }
}

TEST_F(StreamRequestTest, ResolvedNetServiceConnectsAndDescribesWithoutURL) {
    auto service = std::make_shared<ul::NetService>("local.", "_echo._tcp.", "echo");
    service->resolve("127.0.0.1", echo.port());
    manager->startRequestsImmediately = false;
    auto request = manager->stream(service);
    auto task = request->streamTask();
    ASSERT_TRUE(task);
    EXPECT_EQ(task->state(), ul::URLSessionTaskState::Suspended);
    EXPECT_FALSE(request->startTime());
    EXPECT_FALSE(request->request());
    EXPECT_EQ(request->description(), "");
    EXPECT_EQ(request->debugDescription(), "$ curl command could not be created");

    // Queued before resume, the write waits for the connection.
    Waiter<plat::ErrorPtr> wrote;
    task->writeData(Data::fromString("ping"), 0, [&](plat::ErrorPtr e) { wrote.set(e); });
    request->resume();
    EXPECT_FALSE(wrote.wait().value_or(nullptr));
    EXPECT_EQ(readSome(*task, 4, 4).text, "ping");
    request->cancel();
    EXPECT_EQ(codeOf(completion(request)), ul::URLErrorCancelled);
}

TEST_F(StreamRequestTest, RetryMakesAFreshTaskFromTheServiceResolvedMeanwhile) {
    // The service is unresolved at first; the retrier resolves it and asks
    // for a retry, which must read the new address.
    struct Resolver : RequestRetrier {
        std::shared_ptr<ul::NetService> service;
        int port = 0;
        std::atomic<int> calls{0};
        void should(SessionManager&, const std::shared_ptr<Request>&, const plat::ErrorPtr& error,
                    Completion completion) override {
            ++calls;
            const bool retry = error && error->code() == ul::URLErrorCannotFindHost && !service->hostName();
            if (retry)
                service->resolve("127.0.0.1", port);
            completion(retry, 0);
        }
    };
    auto retrier = std::make_shared<Resolver>();
    retrier->service = std::make_shared<ul::NetService>("local.", "_echo._tcp.", "late");
    retrier->port = echo.port();
    manager->setRetrier(retrier);
    manager->startRequestsImmediately = false;
    auto request = manager->stream(retrier->service);
    auto first = request->streamTask();
    request->resume();
    // Wait until the retry has given the request its second task.
    for (int i = 0; i < 6000 && request->retryCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(request->retryCount(), 1u);
    auto second = request->streamTask();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->port(), echo.port());
    EXPECT_FALSE(writeAll(*second, "again"));
    EXPECT_EQ(readSome(*second, 5, 5).text, "again");
    second->closeWrite();
    EXPECT_TRUE(readSome(*second, 1, 8).atEOF);
    EXPECT_FALSE(completion(request));
    EXPECT_EQ(retrier->calls.load(), 1);
}
