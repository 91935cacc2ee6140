// Requests end to end against the loopback server: every request kind,
// response handlers and serializers, validation, downloads, uploads,
// multipart, retry and adapter hooks, notifications and texts.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <set>

#include "HttpClientTestSupport.h"
#include "httpclient/Courier.h"
#include "httpclient/Notifications.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/urlloading/URLError.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace httpclienttest;
using plat::Data;
using plat::Value;
using VE = CourierError::ResponseValidationFailureReason;
using SE = CourierError::ResponseSerializationFailureReason;

namespace {

std::optional<VE> validationReason(const plat::ErrorPtr& e) {
    auto c = CourierError::from(e);
    return c ? c->responseValidationReason() : std::nullopt;
}

std::optional<SE> serializationReason(const plat::ErrorPtr& e) {
    auto c = CourierError::from(e);
    return c ? c->responseSerializationReason() : std::nullopt;
}

std::string readFile(const plat::URL& url) {
    return plat::FileManager::defaultManager().contentsAtPath(url.path()).value_or(Data()).toString();
}

class SessionManagerTest : public ::testing::Test {
  protected:
    LoopbackServer server;
    std::shared_ptr<SessionManager> manager = makeManager();
    plat::dispatch::Queue queue = testQueue();
};

}  // namespace

TEST_F(SessionManagerTest, DataRequestSerializesJSONWithOrderedTimeline) {
    Waiter<DataResponse<Value>> done;
    auto request = manager->request(server.url("/echo"), HTTPMethod::get, Parameters{{"q", Value("a b")}},
                                    URLEncoding::default_(), HTTPHeaders{{"X-Test", "1"}});
    request->responseJSON([&](const DataResponse<Value>& r) { done.set(r); }, kDefaultJSONReadingOptions,
                          queue);
    auto r = done.wait();
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->result.isSuccess()) << r->result.debugDescription();
    EXPECT_EQ(r->value()->find("method")->stringValue(), "GET");
    EXPECT_EQ(r->request->url->query(), "q=a%20b");
    EXPECT_EQ(r->value()->find("headers")->find("X-Test")->stringValue(), "1");
    EXPECT_EQ(r->response->statusCode(), 200);
    const Timeline& t = r->timeline;
    EXPECT_LE(t.requestStartTime, t.initialResponseTime);
    EXPECT_LE(t.initialResponseTime, t.requestCompletedTime);
    EXPECT_LE(t.requestCompletedTime, t.serializationCompletedTime);
    // Stamped when the task ended, before the handlers waiting for it ran.
    ASSERT_TRUE(request->endTime());
    EXPECT_EQ(t.requestCompletedTime, *request->endTime());
    EXPECT_TRUE(r->metrics());
    EXPECT_EQ(r->map([](const Value&) { return 1; }).metrics(), r->metrics());
    EXPECT_EQ(request->description(), "GET " + server.url("/echo?q=a%20b") + " (200)");
    EXPECT_EQ(r->description().rfind("SUCCESS: ", 0), 0u);
}

TEST_F(SessionManagerTest, RequestsAndTasksKeepTheirKindsAndGoAwayWhenDone) {
    namespace ul = plat::urlloading;
    Waiter<int> done;
    auto data = manager->request(server.url("/bytes/8"));
    auto upload = manager->upload(Data::fromString("hello"), server.url("/upload"));
    auto download = manager->download(server.url("/bytes/8"));
    data->response([&](const DefaultDataResponse&) { done.set(1); }, queue);
    upload->response([&](const DefaultDataResponse&) { done.set(2); }, queue);
    download->response([&](const DefaultDownloadResponse&) { done.set(3); }, queue);
    ASSERT_EQ(done.all(3).size(), 3u);

    EXPECT_FALSE(std::dynamic_pointer_cast<UploadRequest>(std::shared_ptr<Request>(data)));
    EXPECT_TRUE(std::dynamic_pointer_cast<DataRequest>(std::shared_ptr<Request>(upload)));
    EXPECT_TRUE(std::dynamic_pointer_cast<ul::URLSessionDataTask>(data->task()));
    EXPECT_FALSE(std::dynamic_pointer_cast<ul::URLSessionUploadTask>(data->task()));
    EXPECT_TRUE(std::dynamic_pointer_cast<ul::URLSessionUploadTask>(upload->task()));
    EXPECT_TRUE(std::dynamic_pointer_cast<ul::URLSessionDownloadTask>(download->task()));
    EXPECT_NE(data->task()->taskIdentifier(), upload->task()->taskIdentifier());

    // Once the caller lets go, requests and tasks are destroyed.
    std::vector<std::weak_ptr<const void>> gone{data,         upload,         download,
                                                data->task(), upload->task(), download->task()};
    data.reset();
    upload.reset();
    download.reset();
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return std::all_of(gone.begin(), gone.end(), [](const auto& w) { return w.expired(); }); }));
}

// A data request's progress counts its bytes whether it is asked for before
// the transfer, through a progress handler, or only once it has ended; the
// object handed out first is the one kept up to date.
TEST_F(SessionManagerTest, DataProgressCountsTheBytesWhenEverItIsAskedFor) {
    Waiter<int> done;
    auto early = manager->request(server.url("/bytes/64"));
    auto heldEarly = early->progress();
    ASSERT_TRUE(heldEarly);
    EXPECT_EQ(heldEarly->completedUnitCount(), 0);
    early->response([&](const DefaultDataResponse&) { done.set(1); }, queue);

    Waiter<int64_t> reported;
    auto handled = manager->request(server.url("/bytes/64"));
    handled->downloadProgress(
        [&](const std::shared_ptr<Progress>& p) { reported.set(p->completedUnitCount()); }, queue);
    handled->response([&](const DefaultDataResponse&) { done.set(2); }, queue);

    auto late = manager->request(server.url("/bytes/64"));
    late->response([&](const DefaultDataResponse&) { done.set(3); }, queue);
    ASSERT_EQ(done.all(3).size(), 3u);

    EXPECT_EQ(early->progress(), heldEarly);
    for (const auto& request : {early, handled, late}) {
        auto p = request->progress();
        EXPECT_EQ(p->completedUnitCount(), 64);
        EXPECT_EQ(p->totalUnitCount(), 64);
        EXPECT_DOUBLE_EQ(p->fractionCompleted(), 1.0);
    }
    auto counts = reported.all(1);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back(), 64);
}

// The progress's total is what the final response announces, whichever way
// the body came: a known length in one or many chunks, a decoded body (no
// length), after redirects, a final 401, an empty body.
TEST_F(SessionManagerTest, DataProgressTotalIsTheLengthTheFinalResponseAnnounces) {
    const std::vector<std::string> paths = {
        "/bytes/64",   "/bytes/70000?chunk=1000", "/gzip", "/redirect/2", "/basic-auth/user/secret",
        "/status/204", "/status/200?body=hello"};
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        Waiter<DefaultDataResponse> done;
        auto request = manager->request(server.url(path));
        // Asked for before the response: it then follows every chunk.
        auto progress = request->progress();
        request->response([&](const DefaultDataResponse& r) { done.set(r); }, queue);
        auto r = done.wait();
        ASSERT_TRUE(r);
        ASSERT_TRUE(r->response);
        ASSERT_TRUE(request->task());
        const int64_t received = r->data ? static_cast<int64_t>(r->data->length()) : 0;
        EXPECT_EQ(progress->completedUnitCount(), received);
        // Without a body no chunk came, and the total stays what it was.
        EXPECT_EQ(progress->totalUnitCount(), received ? r->response->expectedContentLength() : 0);
        EXPECT_EQ(request->task()->countOfBytesExpectedToReceive(), r->response->expectedContentLength());
    }
}

// The collected body keeps the first chunk the session hands over as it is
// and appends the rest: in one chunk, in many, decoded, and after
// redirects, it holds exactly the bytes sent, as often as asked for.
TEST_F(SessionManagerTest, ACollectedBodyHoldsEveryChunksBytesOnce) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/bytes/1", LoopbackServer::bytesBody(1)},
        {"/bytes/64", LoopbackServer::bytesBody(64)},
        {"/bytes/70000?chunk=1000", LoopbackServer::bytesBody(70000)},
        {"/bytes/40000?chunk=16384", LoopbackServer::bytesBody(40000)},
        {"/redirect/2", ""},  // (only the copies below are compared for this one)
        {"/gzip", LoopbackServer::gzipBodyText()},
    };
    for (const auto& [path, body] : cases) {
        SCOPED_TRACE(path);
        for (int round = 0; round < 3; ++round) {
            Waiter<DataResponse<Data>> done;
            auto request = manager->request(server.url(path));
            request->responseData([&](const DataResponse<Data>& r) { done.set(r); }, queue);
            auto r = done.wait();
            ASSERT_TRUE(r);
            ASSERT_TRUE(r->result.isSuccess()) << r->result.debugDescription();
            ASSERT_TRUE(r->value());
            if (!body.empty()) {
                EXPECT_EQ(r->value()->length(), body.size());
                EXPECT_TRUE(r->value()->view() == body) << "the bytes differ";
            }
            // Read again through the request and the response's own copy.
            ASSERT_TRUE(r->data);
            EXPECT_EQ(*r->data, *r->value());
            ASSERT_TRUE(request->delegate()->data());
            EXPECT_EQ(*request->delegate()->data(), *r->value());
        }
    }
}

// A first chunk past the session's body limit is refused as any other: it
// does not become the body because it came first.
TEST(SessionManagerBodyLimit, AFirstChunkPastTheLimitIsNotKept) {
    LoopbackServer server;
    auto c = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.maximumInMemoryBodyLength = 16;
    auto manager = SessionManager::create(c);
    auto queue = testQueue();
    for (const std::string path : {"/bytes/64", "/bytes/17", "/bytes/70000?chunk=1000"}) {
        SCOPED_TRACE(path);
        Waiter<DataResponse<Data>> done;
        auto request = manager->request(server.url(path));
        request->responseData([&](const DataResponse<Data>& r) { done.set(r); }, queue);
        auto r = done.wait();
        ASSERT_TRUE(r);
        ASSERT_TRUE(r->error());
        EXPECT_EQ(r->error()->code(), plat::urlloading::URLErrorDataLengthExceedsMaximum);
        const auto kept = request->delegate()->data();
        EXPECT_TRUE(!kept || kept->empty()) << kept->length() << " bytes kept";
    }
    // At the limit exactly it is kept.
    Waiter<DataResponse<Data>> done;
    manager->request(server.url("/bytes/16"))
        ->responseData([&](const DataResponse<Data>& r) { done.set(r); }, queue);
    auto r = done.wait();
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->result.isSuccess()) << r->result.debugDescription();
    EXPECT_TRUE(r->value()->view() == LoopbackServer::bytesBody(16));
}

TEST_F(SessionManagerTest, SerializersOnEmptyAndUndecodableBodies) {
    Waiter<int> done;
    // A 204 with a body counts as empty for every serializer. (Its own
    // session: the stray body would spoil a reused connection.)
    auto own = makeManager();
    own->request(server.url("/status/204?body=ignored"))
        ->responseData(
            [&](const DataResponse<Data>& r) {
                EXPECT_EQ(r.value(), Data());
                done.set(1);
            },
            queue)
        ->responseString(
            [&](const DataResponse<std::string>& r) {
                EXPECT_EQ(r.value(), "");
                done.set(2);
            },
            std::nullopt, queue)
        ->responseJSON(
            [&](const DataResponse<Value>& r) {
                EXPECT_TRUE(r.value() && r.value()->isNull());
                done.set(3);
            },
            kDefaultJSONReadingOptions, queue)
        ->responsePropertyList(
            [&](const DataResponse<Value>& r) {
                EXPECT_TRUE(r.value() && r.value()->isNull());
                done.set(4);
            },
            PropertyListImmutable, queue);
    // A 200 with no bytes: empty data, an empty string, and no JSON.
    manager->request(server.url("/status/200"))
        ->responseData(
            [&](const DataResponse<Data>& r) {
                EXPECT_EQ(r.value(), Data());
                done.set(5);
            },
            queue)
        ->responseString(
            [&](const DataResponse<std::string>& r) {
                EXPECT_EQ(r.value(), "");
                done.set(6);
            },
            std::nullopt, queue)
        ->responseJSON(
            [&](const DataResponse<Value>& r) {
                EXPECT_EQ(serializationReason(r.error()), SE::inputDataNilOrZeroLength);
                done.set(7);
            },
            kDefaultJSONReadingOptions, queue);
    // Without a charset the bytes read as ISO Latin 1; invalid JSON carries
    // the parser's error.
    manager->request(server.url("/status/200?body=%E9"))
        ->responseJSON(
            [&](const DataResponse<Value>& r) {
                auto e = CourierError::from(r.error());
                EXPECT_TRUE(e && e->responseSerializationReason() == SE::jsonSerializationFailed &&
                            e->underlyingError()->code() == 3840);
                done.set(8);
            },
            kDefaultJSONReadingOptions, queue);
    EXPECT_EQ(done.all(8).size(), 8u);
}

TEST(SessionManagerUnitTest, StringEncodingChoiceAndFailure) {
    using plat::urlloading::HTTPHeaderFields;
    HTTPHeaderFields utf8;
    utf8.setValue("text/plain; charset=utf-8", "Content-Type");
    auto response = std::make_shared<plat::urlloading::HTTPURLResponse>(
        *plat::URL::URLWithString("http://h.test/"), 200, utf8);
    const Data invalid(std::vector<uint8_t>{0xff, 0xfe});
    auto failed = serializeResponseString(std::nullopt, response, invalid, nullptr);
    EXPECT_EQ(CourierError::from(failed.error())->failedStringEncoding(), plat::UTF8StringEncoding);
    auto given = serializeResponseString(plat::ASCIIStringEncoding, response, invalid, nullptr);
    EXPECT_EQ(CourierError::from(given.error())->failedStringEncoding(), plat::ASCIIStringEncoding);
    EXPECT_EQ(serializeResponseString(std::nullopt, nullptr, invalid, nullptr).value(), "\xC3\xBF\xC3\xBE");
    EXPECT_EQ(
        serializationReason(serializeResponseString(std::nullopt, nullptr, std::nullopt, nullptr).error()),
        SE::inputDataNil);

    // A charset no encoding is known by is named in the error.
    HTTPHeaderFields unknown;
    unknown.setValue("text/plain; charset=x-klingon", "Content-Type");
    auto strange = std::make_shared<plat::urlloading::HTTPURLResponse>(
        *plat::URL::URLWithString("http://h.test/"), 200, unknown);
    auto unnamed = serializeResponseString(std::nullopt, strange, Data::fromString("text"), nullptr);
    ASSERT_TRUE(unnamed.isFailure());
    EXPECT_EQ(unnamed.error()->localizedDescription(),
              "String could not be serialized with encoding: unknown charset \"x-klingon\".");
}

TEST(SessionManagerUnitTest, TransportErrorWinsOverEmptyStatus) {
    auto r = serializeResponseData(
        std::make_shared<plat::urlloading::HTTPURLResponse>(*plat::URL::URLWithString("http://h.test/"), 204,
                                                            plat::urlloading::HTTPHeaderFields()),
        Data(), plat::Error::withDescription("X", 1, "down"));
    EXPECT_EQ(r.error()->localizedDescription(), "down");
}

TEST_F(SessionManagerTest, ValidationByStatusAndContentType) {
    // Validations must be attached before the task can complete.
    manager->startRequestsImmediately = false;
    Waiter<std::pair<int, plat::ErrorPtr>> done;
    auto record = [&](int tag) {
        return [&, tag](const DefaultDataResponse& r) { done.set({tag, r.error}); };
    };
    manager->request(server.url("/status/299?body=x&type=text/plain"))
        ->validate()
        ->response(record(1), queue)
        ->resume();
    manager->request(server.url("/status/300?body=x"))->validate()->response(record(2), queue)->resume();
    manager->request(server.url("/status/404?body=x&type=text/plain"))
        ->validate(std::vector<int>{200})
        ->validate(std::vector<std::string>{"application/json"})
        ->response(record(3), queue)
        ->resume();
    manager->request(server.url("/status/200?body=x&type=text/html"))
        ->validate(std::vector<std::string>{"application/json", "text/*"})
        ->response(record(4), queue)
        ->resume();
    manager->request(server.url("/status/200?body=x&type=text/html"))
        ->validate(std::vector<std::string>{"application/json"})
        ->response(record(5), queue)
        ->resume();
    manager->request(server.url("/status/200?body=x&type=text/html"))
        ->validate(std::vector<std::string>{})
        ->response(record(6), queue)
        ->resume();
    manager->request(server.url("/status/200"))
        ->validate(std::vector<std::string>{"application/json"})
        ->response(record(7), queue)
        ->resume();
    URLRequest accept(*plat::URL::URLWithString(server.url("/status/200?body=x&type=application/json")));
    accept.setValue("text/html, application/json", "Accept");
    manager->request(accept)->validate()->response(record(8), queue)->resume();
    manager->request(server.url("/status/200?body=x&type=text/html"))
        ->validate([](const auto&, const auto&, const auto&) {
            return ValidationResult::failure(plat::Error::withDescription("Mine", 1, "custom"));
        })
        ->response(record(9), queue)
        ->resume();

    std::map<int, plat::ErrorPtr> results;
    for (auto& [tag, error] : done.all(9))
        results[tag] = error;
    EXPECT_FALSE(results[1]);
    EXPECT_EQ(CourierError::from(results[2])->responseCode(), 300);
    EXPECT_EQ(CourierError::from(results[3])->responseCode(), 404);  // the content check did not run
    EXPECT_FALSE(results[4]);
    EXPECT_EQ(validationReason(results[5]), VE::unacceptableContentType);
    EXPECT_EQ(CourierError::from(results[5])->responseContentType(), "text/html");
    EXPECT_EQ(validationReason(results[6]), VE::unacceptableContentType);
    EXPECT_FALSE(results[7]);  // no bytes pass any content type
    EXPECT_FALSE(results[8]);
    EXPECT_EQ(results[9]->domain(), "Mine");
}

TEST_F(SessionManagerTest, FactoriesNeverThrowAndReportThroughHandlers) {
    Waiter<plat::ErrorPtr> done;
    auto bad = manager->request("not a url");
    EXPECT_FALSE(bad->task());
    bad->response([&](const DefaultDataResponse& r) { done.set(r.error); }, queue);
    EXPECT_TRUE(CourierError::from(*done.wait())->isInvalidURLError());

    Waiter<plat::ErrorPtr> json;
    auto nan = manager->request(server.url("/echo"), HTTPMethod::post, Parameters{{"x", Value(std::nan(""))}},
                                JSONEncoding::default_());
    nan->response([&](const DefaultDataResponse& r) { json.set(r.error); }, queue);
    EXPECT_EQ(CourierError::from(*json.wait())->parameterEncodingReason(),
              CourierError::ParameterEncodingFailureReason::jsonEncodingFailed);
    EXPECT_EQ(nan->description(), "POST " + server.url("/echo"));
    EXPECT_EQ(server.requestCount("/echo"), 0u);

    manager->startRequestsImmediately = false;
    Waiter<int> late;
    auto held = manager->request("::");
    held->response([&](const DefaultDataResponse&) { late.set(1); }, queue);
    auto waiting = manager->request(server.url("/echo"));
    EXPECT_EQ(waiting->task()->state(), plat::urlloading::URLSessionTaskState::Suspended);
    EXPECT_FALSE(held->endTime());
    held->resume();
    EXPECT_TRUE(late.wait());
    // A request without a task ends when it is resumed, once.
    ASSERT_TRUE(held->endTime());
    const double ended = *held->endTime();
    held->resume();
    EXPECT_EQ(held->endTime(), ended);
}

TEST_F(SessionManagerTest, HandlersRunInAttachmentOrderOnTheMainQueue) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    std::vector<int> order;
    auto request = manager->request(server.url("/bytes/10"));
    for (int i = 0; i < 5; ++i)
        request->response([&order, i](const DefaultDataResponse&) { order.push_back(i); });
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return order.size() == 5; }, 30));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    // Added after completion: runs at once, still after the others.
    request->response([&order](const DefaultDataResponse&) { order.push_back(5); });
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return order.size() == 6; }, 30));
}

// Serializers never run on the caller's queue (nor the main thread), however
// the handler got there: added before completion, after it from the caller's
// own queue, or on a request without a task resumed from that queue; the
// completions always run on it.
TEST_F(SessionManagerTest, SerializersRunOffTheCallersQueueAndCompletionsOnIt) {
    std::mutex m;
    std::vector<bool> serializedOnCallersQueueOrMain;
    DataResponseSerializer<int> noting(
        [&](const auto&, const auto&, const std::optional<Data>& data, const auto&) {
            std::lock_guard lock(m);
            serializedOnCallersQueueOrMain.push_back(queue.isCurrent() ||
                                                     plat::dispatch::MainLoop::isMainThread());
            return Result<int>::success(data ? static_cast<int>(data->length()) : -1);
        });
    Waiter<std::pair<int, bool>> done;
    auto handler = [&](int offset) {
        return [&, offset](const DataResponse<int>& r) {
            done.set({*r.value() + offset, queue.isCurrent()});
        };
    };
    auto request = manager->request(server.url("/bytes/7"));
    request->response(noting, handler(0), queue);
    request->response(noting, handler(100), queue);
    done.wait(2);
    queue.sync([&] { request->response(noting, handler(200), queue); });
    manager->startRequestsImmediately = false;
    auto failed = manager->request("::");
    failed->response(noting, handler(300), queue);
    queue.sync([&] { failed->resume(); });

    auto all = done.all(4);
    ASSERT_EQ(all.size(), 4u);
    std::sort(all.begin(), all.end());  // the two requests' handlers may interleave
    EXPECT_EQ(all, (std::vector<std::pair<int, bool>>{{7, true}, {107, true}, {207, true}, {300, true}}));
    std::lock_guard lock(m);
    EXPECT_EQ(serializedOnCallersQueueOrMain, std::vector<bool>(4, false));
}

// A handler that waits for another request of its own session (the
// network thread may be the one running the handler): the other request
// still goes out and is answered, round after round.
TEST_F(SessionManagerTest, AHandlerWaitingForAnotherRequestOfItsSessionIsAnswered) {
    const auto other = plat::dispatch::Queue::serial("httpclient.test.other");
    Waiter<std::pair<long, long>> done;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        manager->request(server.url("/bytes/3"))
            ->responseData(
                [&](const DataResponse<Data>& first) {
                    plat::dispatch::Semaphore answered;
                    long inner = -1;
                    manager->request(server.url("/bytes/5"))
                        ->responseData(
                            [&](const DataResponse<Data>& r) {
                                inner = r.value() ? static_cast<long>(r.value()->length()) : -1;
                                answered.signal();
                            },
                            other);
                    EXPECT_TRUE(answered.wait(30));
                    done.set({first.value() ? static_cast<long>(first.value()->length()) : -1, inner});
                },
                queue);
        done.wait(round + 1);
    }
    EXPECT_EQ(done.all(kRounds), (std::vector<std::pair<long, long>>(kRounds, {3, 5})));
}

// A handler held up outside the dispatch layer's waits (a std::future) until
// another request of its session is answered: that request still goes out,
// round after round, whichever thread runs the handler.
TEST_F(SessionManagerTest, AHandlerWaitingOnAFutureForAnotherRequestIsAnswered) {
    const auto other = plat::dispatch::Queue::serial("httpclient.test.future");
    Waiter<std::pair<long, long>> done;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        manager->request(server.url("/bytes/4"))
            ->responseData(
                [&](const DataResponse<Data>& first) {
                    auto answer = std::make_shared<std::promise<long>>();
                    auto inner = answer->get_future();
                    manager->request(server.url("/bytes/6"))
                        ->responseData(
                            [answer](const DataResponse<Data>& r) {
                                answer->set_value(r.value() ? static_cast<long>(r.value()->length()) : -1);
                            },
                            other);
                    // Bounded: a request that never goes out fails the test.
                    const bool answered = inner.wait_for(kHangGuard) == std::future_status::ready;
                    done.set({first.value() ? static_cast<long>(first.value()->length()) : -1,
                              answered ? inner.get() : -2});
                },
                queue);
        done.wait(round + 1);
    }
    EXPECT_EQ(done.all(kRounds), (std::vector<std::pair<long, long>>(kRounds, {4, 6})));
}

// A handler blocked on a plain mutex that the test holds while it makes
// another request of the session and waits for the answer: the answer comes.
TEST_F(SessionManagerTest, AHandlerBlockedOnAMutexDoesNotHoldUpItsSession) {
    const auto other = plat::dispatch::Queue::serial("httpclient.test.mutex");
    std::mutex held;
    Waiter<bool> entered;
    Waiter<long> first, second;
    {
        std::unique_lock hold(held);
        manager->request(server.url("/bytes/2"))
            ->responseData(
                [&](const DataResponse<Data>& r) {
                    entered.set(true);
                    { std::lock_guard lock(held); }
                    first.set(r.value() ? static_cast<long>(r.value()->length()) : -1);
                },
                queue);
        ASSERT_TRUE(entered.wait());
        manager->request(server.url("/bytes/7"))
            ->responseData(
                [&](const DataResponse<Data>& r) {
                    second.set(r.value() ? static_cast<long>(r.value()->length()) : -1);
                },
                other);
        EXPECT_EQ(second.wait(), std::optional<long>(7));
    }
    EXPECT_EQ(first.wait(), std::optional<long>(2));
}

TEST_F(SessionManagerTest, DownloadsToDestinationsWithEachOption) {
    testsupport::TempDir dir;
    const auto target = plat::URL::fileURLWithPath(dir.str() + "/sub/dir/file.bin");
    Waiter<DefaultDownloadResponse> done;
    auto to = [&](DownloadOptions options) {
        return [&, options](const plat::URL&, const plat::urlloading::HTTPURLResponse&) {
            return std::make_pair(target, options);
        };
    };
    // No parent directory and no option: the move fails and is the error.
    manager
        ->download(server.url("/bytes/100"), HTTPMethod::get, std::nullopt, URLEncoding::default_(),
                   std::nullopt, to(DownloadOptions()))
        ->response([&](const DefaultDownloadResponse& r) { done.set(r); }, queue);
    auto first = done.wait();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->error);
    EXPECT_EQ(first->destinationURL, target);

    Waiter<DefaultDownloadResponse> created;
    manager
        ->download(server.url("/bytes/100"), HTTPMethod::get, std::nullopt, URLEncoding::default_(),
                   std::nullopt, to({DownloadOptions::createIntermediateDirectories}))
        ->response([&](const DefaultDownloadResponse& r) { created.set(r); }, queue);
    ASSERT_TRUE(created.wait());
    EXPECT_FALSE(created.wait()->error);
    EXPECT_EQ(readFile(target), LoopbackServer::bytesBody(100));

    Waiter<DownloadResponse<Data>> replaced;
    manager
        ->download(server.url("/bytes/50"), HTTPMethod::get, std::nullopt, URLEncoding::default_(),
                   std::nullopt,
                   to({DownloadOptions::removePreviousFile, DownloadOptions::createIntermediateDirectories}))
        ->responseData([&](const DownloadResponse<Data>& r) { replaced.set(r); }, queue);
    auto r = replaced.wait();
    ASSERT_TRUE(r && r->value());
    EXPECT_EQ(r->value()->toString(), LoopbackServer::bytesBody(50));
    EXPECT_EQ(readFile(target), LoopbackServer::bytesBody(50));
    EXPECT_NE(r->debugDescription().find("\n[ResumeData]: 0 bytes\n[Result]: SUCCESS"), std::string::npos);

    // Without a destination the file stays where the session put it.
    Waiter<DownloadResponse<std::string>> temporary;
    manager->download(server.url("/bytes/20"))
        ->responseString([&](const DownloadResponse<std::string>& r) { temporary.set(r); }, std::nullopt,
                         queue);
    auto t = temporary.wait();
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->temporaryURL);
    EXPECT_FALSE(t->destinationURL);
    EXPECT_TRUE(t->result.isSuccess());

    EXPECT_EQ(
        DownloadOptions({DownloadOptions::createIntermediateDirectories, DownloadOptions::removePreviousFile})
            .rawValue,
        3u);
}

TEST_F(SessionManagerTest, DownloadValidationAndFileErrors) {
    Waiter<plat::ErrorPtr> done;
    manager->startRequestsImmediately = false;
    manager->download(server.url("/status/200?body=x&type=text/html"))
        ->validate(std::vector<std::string>{"application/json"})
        ->response([&](const DefaultDownloadResponse& r) { done.set(r.error); }, queue)
        ->resume();
    EXPECT_EQ(validationReason(*done.wait()), VE::unacceptableContentType);

    auto missing = DownloadRequest::jsonResponseSerializer().serializeResponse(std::nullopt, nullptr,
                                                                               std::nullopt, nullptr);
    EXPECT_EQ(serializationReason(missing.error()), SE::inputFileNil);
    auto unreadable = DownloadRequest::dataResponseSerializer().serializeResponse(
        std::nullopt, nullptr, plat::URL::fileURLWithPath("/nonexistent/file"), nullptr);
    EXPECT_EQ(serializationReason(unreadable.error()), SE::inputFileReadFailed);
}

TEST_F(SessionManagerTest, CancelledDownloadResumesFromItsData) {
    Waiter<int> progressed;
    Waiter<DefaultDownloadResponse> cancelled;
    auto download = manager->download(server.url("/bytes/200000?stall=100000&chunk=4096"));
    download->downloadProgress(
        [&](const std::shared_ptr<Progress>& p) {
            if (p->completedUnitCount() >= 100000)
                progressed.set(1);
        },
        queue);
    download->response([&](const DefaultDownloadResponse& r) { cancelled.set(r); }, queue);
    ASSERT_TRUE(progressed.wait());
    download->cancel();
    auto c = cancelled.wait();
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->resumeData);
    server.releaseStalled();

    Waiter<DownloadResponse<Data>> resumed;
    manager->download(*c->resumeData)
        ->responseData([&](const DownloadResponse<Data>& r) { resumed.set(r); }, queue);
    auto r = resumed.wait();
    ASSERT_TRUE(r && r->value()) << (r ? r->result.debugDescription() : "");
    EXPECT_EQ(r->value()->length(), 200000u);
    EXPECT_EQ(*r->value(), Data::fromString(LoopbackServer::bytesBody(200000)));
}

TEST_F(SessionManagerTest, UploadsDataFilesAndStreams) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/up.bin";
    ASSERT_EQ(
        plat::FileManager::defaultManager().writeData(Data::fromString(std::string(3000, 'u')), path, false),
        nullptr);
    Waiter<std::pair<int, Value>> done;
    auto length = [&](int tag) {
        return [&, tag](const DataResponse<Value>& r) { done.set({tag, r.value().value_or(Value())}); };
    };
    std::atomic<int64_t> sent{0};
    manager->upload(Data::fromString("hello"), server.url("/upload"))
        ->uploadProgress([&](const std::shared_ptr<Progress>& p) { sent = p->completedUnitCount(); }, queue)
        ->responseJSON(length(1), kDefaultJSONReadingOptions, queue);
    manager->upload(plat::URL::fileURLWithPath(path), server.url("/upload"), HTTPMethod::put)
        ->responseJSON(length(2), kDefaultJSONReadingOptions, queue);
    manager
        ->upload(
            std::shared_ptr<plat::InputStream>(plat::InputStream::withData(Data::fromString("streamed"))),
            server.url("/upload"))
        ->responseJSON(length(3), kDefaultJSONReadingOptions, queue);
    std::map<int, int64_t> lengths;
    for (auto& [tag, v] : done.all(3))
        lengths[tag] = v.find("length") ? v.find("length")->integerValue() : -1;
    EXPECT_EQ(lengths[1], 5);
    EXPECT_EQ(lengths[2], 3000);
    EXPECT_EQ(lengths[3], 8);
}

TEST_F(SessionManagerTest, MultipartInMemoryAndStreamedFromDisk) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/part.txt";
    ASSERT_EQ(
        plat::FileManager::defaultManager().writeData(Data::fromString(std::string(2000, 'p')), path, false),
        nullptr);
    auto form = [&](MultipartFormData& f) {
        f.append(Data::fromString("field"), "name");
        f.append(plat::URL::fileURLWithPath(path), "file");
    };
    // contentLength is 2005: one byte more stays in memory, equal goes to disk.
    Waiter<MultipartFormDataEncodingResult> encoded;
    manager->upload(form, 2006, server.url("/echo"), HTTPMethod::post, std::nullopt, queue,
                    [&](const MultipartFormDataEncodingResult& r) { encoded.set(r); });
    auto memory = encoded.wait();
    ASSERT_TRUE(memory && memory->request);
    EXPECT_FALSE(memory->streamingFromDisk);

    Waiter<MultipartFormDataEncodingResult> toDisk;
    manager->upload(form, 2005, server.url("/echo"), HTTPMethod::post, std::nullopt, queue,
                    [&](const MultipartFormDataEncodingResult& r) { toDisk.set(r); });
    auto disk = toDisk.wait();
    ASSERT_TRUE(disk && disk->request && disk->streamFileURL);
    EXPECT_TRUE(disk->streamingFromDisk);
    Waiter<DataResponse<Value>> echoed;
    disk->request->responseJSON([&](const DataResponse<Value>& r) { echoed.set(r); },
                                kDefaultJSONReadingOptions, queue);
    auto body = echoed.wait();
    ASSERT_TRUE(body && body->value());
    const std::string type = body->value()->find("headers")->find("Content-Type")->stringValue();
    EXPECT_EQ(type.rfind("multipart/form-data; boundary=courier.boundary.", 0), 0u);
    // The temporary file is removed once the upload has completed.
    Waiter<int> after;
    disk->request->response([&](const DefaultDataResponse&) { after.set(1); }, queue);
    after.wait();
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExistsAtPath(disk->streamFileURL->path()));

    auto background = makeManager(nullptr, nullptr, std::string("bg"));
    Waiter<MultipartFormDataEncodingResult> bg;
    background->upload(form, 1'000'000, server.url("/echo"), HTTPMethod::post, std::nullopt, queue,
                       [&](const MultipartFormDataEncodingResult& r) { bg.set(r); });
    EXPECT_TRUE(bg.wait()->streamingFromDisk);

    Waiter<MultipartFormDataEncodingResult> failed;
    manager->upload(
        [](MultipartFormData& f) { f.append(plat::URL::fileURLWithPath("/no/such/file.txt"), "x"); }, 0,
        server.url("/echo"), HTTPMethod::post, std::nullopt, queue,
        [&](const MultipartFormDataEncodingResult& r) { failed.set(r); });
    auto f = failed.wait();
    EXPECT_EQ(f->kind, MultipartFormDataEncodingResult::Kind::failure);
    EXPECT_TRUE(CourierError::from(f->error)->isMultipartEncodingError());
}

namespace {

struct CountingRetrier : RequestRetrier {
    std::atomic<int> calls{0};
    std::atomic<bool> offeredWithTask{false};
    int retries = 1;
    void should(SessionManager&, const std::shared_ptr<Request>& request, const ErrorPtr&,
                Completion completion) override {
        calls++;
        if (request->task())
            offeredWithTask = true;
        completion(request->retryCount() < static_cast<uint64_t>(retries), 0.0);
    }
};

struct FailingOnceAdapter : RequestAdapter {
    std::atomic<int> calls{0};
    plat::Result<URLRequest> adapt(const URLRequest& request) override {
        if (calls++ == 0)
            return plat::Error::withDescription("Adapter", 9, "not yet");
        URLRequest r = request;
        r.setValue("yes", "X-Adapted");
        return r;
    }
};

}  // namespace

TEST_F(SessionManagerTest, AdapterFailureIsOfferedToTheRetrierOnce) {
    auto retrier = std::make_shared<CountingRetrier>();
    auto adapter = std::make_shared<FailingOnceAdapter>();
    manager->setRetrier(retrier);
    manager->setAdapter(adapter);
    Waiter<DataResponse<Value>> done;
    const double before = absoluteTimeNow();
    auto request = manager->request(server.url("/echo"));
    request->responseJSON([&](const DataResponse<Value>& r) { done.set(r); }, kDefaultJSONReadingOptions,
                          queue);
    auto r = done.wait();
    ASSERT_TRUE(r && r->value()) << (r ? r->result.debugDescription() : "");
    EXPECT_EQ(r->value()->find("headers")->find("X-Adapted")->stringValue(), "yes");
    EXPECT_EQ(retrier->calls.load(), 1);
    // The failed adaptation made no task; the retry made one.
    EXPECT_FALSE(retrier->offeredWithTask.load());
    EXPECT_EQ(request->retryCount(), 1u);
    EXPECT_GE(*request->startTime(), before);
    EXPECT_TRUE(request->task());
}

TEST_F(SessionManagerTest, RetriedRequestsNeverLoseTheirNewTask) {
    // Each request fails validation once and is retried at once against a
    // server that answers immediately: the new task's callbacks must find the
    // request, or its handlers would never run.
    auto retrier = std::make_shared<CountingRetrier>();
    manager->setRetrier(retrier);
    constexpr int kRequests = 40;
    manager->startRequestsImmediately = false;
    Waiter<std::pair<uint64_t, plat::ErrorPtr>> done;
    std::vector<std::shared_ptr<DataRequest>> requests;
    for (int i = 0; i < kRequests; ++i) {
        auto request = manager->request(server.url("/status/500"))->validate(std::vector<int>{200});
        auto* raw = request.get();
        request->response(
            [&, raw](const DefaultDataResponse& r) {
                done.set({raw->retryCount(), r.error});
            },
            queue);
        request->resume();
        requests.push_back(request);
    }
    auto results = done.all(kRequests);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kRequests));
    for (auto& [count, error] : results) {
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(CourierError::from(error)->responseCode(), 500);
    }
    EXPECT_EQ(retrier->calls.load(), 2 * kRequests);
    EXPECT_EQ(server.requestCount("/status/500"), 2u * kRequests);
}

// Many requests in flight at once, some never started: each finds its own
// request when its task ends (its body, its handler, once), and the session's
// delegate holds none of them afterwards.
TEST_F(SessionManagerTest, EachTaskFindsItsOwnRequestAndTheDelegateForgetsThemAll) {
    constexpr int kRequests = 60;
    Waiter<std::pair<int, std::string>> done;
    std::vector<std::shared_ptr<DataRequest>> requests;
    manager->startRequestsImmediately = false;
    for (int i = 0; i < kRequests; ++i) {
        auto request = manager->request(server.url("/bytes/" + std::to_string(i + 1)));
        request->responseData(
            [&done, i](const DataResponse<Data>& r) {
                done.set({i, r.value() ? std::to_string(r.value()->length()) : r.result.debugDescription()});
            },
            queue);
        requests.push_back(request);
    }
    for (int i = 0; i < kRequests; ++i) {
        if (i % 10 == 9)
            requests[i]->cancel();  // ends without ever being resumed
        else
            requests[i]->resume();
    }
    auto results = done.all(kRequests);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kRequests));
    std::vector<int> seen(kRequests, 0);
    for (const auto& [i, outcome] : results) {
        ++seen[i];
        if (i % 10 != 9)
            EXPECT_EQ(outcome, std::to_string(i + 1)) << i;
        else
            EXPECT_NE(outcome.find("cancelled"), std::string::npos) << outcome;
    }
    EXPECT_EQ(seen, std::vector<int>(kRequests, 1));
    EXPECT_TRUE(testsupport::waitUntil([&] { return manager->delegate()->requestCount() == 0; }));
}

TEST_F(SessionManagerTest, NotificationsForResumeAndCompletion) {
    auto& center = plat::NotificationCenter::defaultCenter();
    std::mutex m;
    std::vector<std::string> names;
    std::vector<bool> hasData;
    std::vector<const void*> objects;
    std::vector<plat::ObserverToken> tokens;
    Waiter<int> posted;
    // Only this test's senders count: a task of an earlier test may still
    // post its completion while this one runs.
    const void* delegate = manager->delegate().get();
    std::atomic<const void*> ours[2] = {nullptr, nullptr};
    for (const auto& name : {Notification::Name::Task::didResume(), Notification::Name::Task::didSuspend(),
                             Notification::Name::Task::didComplete()}) {
        tokens.push_back(center.addObserverForName(name, nullptr, [&](const plat::Notification& n) {
            const void* object = n.object.get();
            if (object != delegate && object != ours[0].load() && object != ours[1].load())
                return;
            EXPECT_TRUE(plat::BoxedObject<plat::urlloading::URLSessionTask>::unbox(
                *n.userInfo.find(Notification::Key::task())));
            {
                std::lock_guard lock(m);
                names.push_back(n.name);
                hasData.push_back(n.userInfo.contains(Notification::Key::responseData()));
                objects.push_back(n.object.get());
            }
            posted.set(1);
        }));
    }
    manager->startRequestsImmediately = false;
    auto request = manager->request(server.url("/bytes/5"));
    ours[0] = request.get();
    request->resume();
    request->resume();
    Waiter<int> done;
    request->response([&](const DefaultDataResponse&) { done.set(1); }, queue);
    done.wait();
    posted.wait(3);  // its completion is posted after its handlers ran
    auto download = manager->download(server.url("/bytes/5"));
    ours[1] = download.get();
    download->resume();
    Waiter<int> downloaded;
    download->response([&](const DefaultDownloadResponse&) { downloaded.set(1); }, queue);
    downloaded.wait();
    manager->request("::")->suspend();  // no task: nothing posted
    posted.wait(5);                     // the completion is posted after the handlers are released
    for (auto& t : tokens)
        center.removeObserver(t);

    std::lock_guard lock(m);
    const auto& resume = Notification::Name::Task::didResume();
    const auto& complete = Notification::Name::Task::didComplete();
    ASSERT_EQ(names.size(), 5u);
    // didResume is posted once the task has been told to resume, on the
    // caller's thread; didComplete on the delegate queue. A fast transfer
    // may complete (and post) before the resuming thread gets to post, so
    // within each request only which notifications came is fixed, not
    // their order: the first request's three, then the download's two.
    auto check = [&](std::size_t begin, std::size_t end, const void* object, int resumes, bool data) {
        int resumed = 0, completed = 0;
        for (std::size_t i = begin; i < end; ++i) {
            if (names[i] == resume) {
                ++resumed;
                EXPECT_EQ(objects[i], object) << i;
            } else {
                ++completed;
                EXPECT_EQ(names[i], complete) << i;
                EXPECT_EQ(objects[i], manager->delegate().get()) << i;
                EXPECT_EQ(hasData[i], data) << i;
            }
        }
        EXPECT_EQ(resumed, resumes);
        EXPECT_EQ(completed, 1);
    };
    check(0, 3, request.get(), 2, true);
    check(3, 5, download.get(), 1, false);
    EXPECT_EQ(resume, std::string(kLibraryPrefix) + ".notification.name.task.didResume");
}

TEST_F(SessionManagerTest, ABodyStreamRequestWithoutARequestFailsInsteadOfHanging) {
    Waiter<plat::ErrorPtr> done;
    manager->delegate()->taskDidComplete = [&](auto&, auto&, const plat::ErrorPtr& e) { done.set(e); };
    URLRequest r(*plat::URL::URLWithString(server.url("/upload")));
    r.httpMethod = "POST";
    manager->session()->uploadTaskWithStreamedRequest(r)->resume();
    auto error = done.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->code(), plat::urlloading::URLErrorRequestBodyStreamExhausted);
}

TEST(SessionManagerUnitTest, CurlCommandText) {
    auto manager = makeManager();
    manager->startRequestsImmediately = false;
    auto plain = manager->request("http://h.test/echo");
    EXPECT_EQ(plain->debugDescription(), "$ curl -v \\\n\t\"http://h.test/echo\"");

    URLRequest r(*plat::URL::URLWithString("http://h.test/echo"));
    r.httpMethod = "get";
    r.setValue("a=b", "Cookie");
    r.setValue("say \"hi\"", "X-Quote");
    r.httpBody = Data::fromString("{\"k\":\"v\"}");
    auto text = manager->request(r)->debugDescription();
    EXPECT_NE(text.find(" \\\n\t-X get"), std::string::npos);
    EXPECT_EQ(text.find("Cookie"), std::string::npos);
    EXPECT_NE(text.find("-H \"X-Quote: say \\\"hi\\\"\""), std::string::npos);
    EXPECT_NE(text.find("-d \"{\\\"k\\\":\\\"v\\\"}\""), std::string::npos);

    r.httpBody = Data(std::vector<uint8_t>{0xff, 0xfe});
    EXPECT_EQ(manager->request(r)->debugDescription().find("-d "), std::string::npos);
    URLRequest noHost(*plat::URL::URLWithString("file:///tmp/x"));
    EXPECT_EQ(manager->request(noHost)->debugDescription(), "$ curl command could not be created");

    auto header = Request::authorizationHeader("user", "");
    EXPECT_EQ(header->first, "Authorization");
    EXPECT_EQ(header->second, "Basic dXNlcjo=");
}

TEST(SessionManagerUnitTest, DefaultHeaders) {
    std::vector<std::string> seven{"en", "fr", "de", "it", "es", "nl", "pt"};
    EXPECT_EQ(SessionManager::acceptLanguage(seven),
              "en;q=1.0, fr;q=0.9, de;q=0.8, it;q=0.7, es;q=0.6, nl;q=0.5");
    EXPECT_EQ(SessionManager::acceptLanguage({"en"}), "en;q=1.0");
    EXPECT_EQ(SessionManager::acceptLanguage({}), "");

    const plat::OperatingSystemVersion os{10, 15, 7};
    EXPECT_EQ(SessionManager::userAgent(nullptr, nullptr, os), "Courier");
    plat::Dictionary info{{"CFBundleExecutable", Value("App")},
                          {"CFBundleIdentifier", Value("org.example.app")},
                          {"CFBundleVersion", Value("42")}};
    plat::Dictionary library{{"CFBundleShortVersionString", Value("5.0")}};
    EXPECT_EQ(SessionManager::userAgent(&info, &library, os),
              "App/Unknown (org.example.app; build:42; OS X 10.15.7) Courier/5.0");
    EXPECT_EQ(SessionManager::userAgent(&info, nullptr, os),
              "App/Unknown (org.example.app; build:42; OS X 10.15.7) Unknown");
    EXPECT_EQ(SessionManager::defaultHTTPHeaders().valueForHTTPHeaderField("Accept-Encoding"),
              "gzip;q=1.0, compress;q=0.5");
}

TEST(SessionManagerUnitTest, ManagerFromASessionChecksItsDelegate) {
    auto delegate = std::make_shared<SessionDelegate>();
    auto session = plat::urlloading::URLSession::sessionWithConfiguration(
        plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
    EXPECT_FALSE(SessionManager::create(session, std::make_shared<SessionDelegate>()));
    EXPECT_TRUE(SessionManager::create(session, delegate));
    EXPECT_FALSE(
        delegate->implements(plat::urlloading::URLSessionDelegate::Callback::SessionDidReceiveChallenge));
    delegate->sessionDidReceiveChallenge = [](auto&, auto&) {
        return SessionDelegate::ChallengeAnswer{SessionDelegate::Disposition::PerformDefaultHandling,
                                                std::nullopt};
    };
    EXPECT_TRUE(
        delegate->implements(plat::urlloading::URLSessionDelegate::Callback::SessionDidReceiveChallenge));
    session->invalidateAndCancel();
}

TEST(SessionManagerUnitTest, ConvenienceFunctionsUseTheSharedManager) {
    auto shared = SessionManager::defaultManager();
    shared->startRequestsImmediately = false;
    auto r = httpclient::request("http://h.test/echo");
    EXPECT_EQ(r->session(), shared->session());
    EXPECT_EQ(
        shared->session()->configuration().httpAdditionalHeaders.valueForHTTPHeaderField("Accept-Encoding"),
        "gzip;q=1.0, compress;q=0.5");
    shared->startRequestsImmediately = true;
}

TEST(SessionManagerBodyLimit, ACollectedBodyPastTheSessionLimitFailsAndAStreamedOneDoesNot) {
    LoopbackServer server;
    auto c = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.maximumInMemoryBodyLength = 1 << 20;
    auto manager = SessionManager::create(c);
    auto queue = testQueue();
    Waiter<DataResponse<Data>> collected;
    manager->request(server.url("/gzip-zeros/4194304"))
        ->responseData([&](const DataResponse<Data>& r) { collected.set(r); }, queue);
    auto r = collected.wait();
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->error());
    EXPECT_EQ(r->error()->code(), plat::urlloading::URLErrorDataLengthExceedsMaximum);
    EXPECT_NE(r->error()->localizedDescription().find("maximumInMemoryBodyLength"), std::string::npos);

    std::atomic<size_t> streamed{0};
    Waiter<plat::ErrorPtr> finished;
    manager->request(server.url("/gzip-zeros/4194304"))
        ->stream([&](const Data& d) { streamed += d.length(); })
        ->response([&](const DefaultDataResponse& d) { finished.set(d.error); }, queue);
    auto e = finished.wait();
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, nullptr);
    EXPECT_EQ(streamed.load(), 4194304u);
}

TEST_F(SessionManagerTest, PropertyListSerializationTakesItsReadingOptions) {
    // <plist><dict><key>a</key><integer>1</integer></dict></plist>, URL-encoded.
    const std::string body =
        "%3Cplist%20version%3D%221.0%22%3E%3Cdict%3E%3Ckey%3Ea%3C%2Fkey%3E%3Cinteger%3E1%3C%2Finteger%3E"
        "%3C%2Fdict%3E%3C%2Fplist%3E";
    const std::string address = server.url("/status/200?type=application/x-plist&body=" + body);
    Waiter<std::pair<unsigned, DataResponse<Value>>> done;
    const unsigned options[] = {PropertyListImmutable, PropertyListMutableContainers,
                                PropertyListMutableContainersAndLeaves, 7};
    for (unsigned o : options) {
        manager->request(address)->responsePropertyList(
            [&, o](const DataResponse<Value>& r) {
                done.set({o, r});
            },
            o, queue);
    }
    for (const auto& [o, r] : done.all(4)) {
        if (o <= PropertyListMutableContainersAndLeaves) {
            ASSERT_TRUE(r.result.isSuccess()) << o << " " << r.result.debugDescription();
            EXPECT_EQ(r.value()->find("a")->intValue(), 1) << o;
        } else {
            ASSERT_TRUE(r.result.isFailure());
            EXPECT_EQ(serializationReason(r.error()), SE::propertyListSerializationFailed);
            EXPECT_NE(r.error()->localizedDescription().find("reading options 7"), std::string::npos)
                << r.error()->localizedDescription();
        }
    }
}

TEST_F(SessionManagerTest, ADataRequestWhoseTaskBecomesADownloadFinishesThroughADownloadDelegate) {
    manager->delegate()->dataTaskDidReceiveResponse = [](auto&, auto&, const auto&) {
        return plat::urlloading::URLSessionResponseDisposition::BecomeDownload;
    };
    struct Seen {
        plat::ErrorPtr error;
        std::string file;
        bool downloadDelegate = false;
    };
    Waiter<Seen> done;
    std::shared_ptr<DataRequest> request = manager->request(server.url("/bytes/100000"));
    std::atomic<int> told{0};
    request->dataDelegate()->dataTaskDidBecomeDownloadTask = [&](auto&, auto& data, const auto& download) {
        EXPECT_EQ(download->taskIdentifier(), data.taskIdentifier());
        told++;
    };
    std::weak_ptr<DataRequest> weak = request;
    request->response(
        [&, weak](const DefaultDataResponse& r) {
            Seen seen{r.error, {}, false};
            if (auto me = weak.lock()) {
                auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(me->delegate());
                seen.downloadDelegate = d != nullptr;
                if (d && d->fileURL())
                    seen.file = readFile(*d->fileURL());
            }
            done.set(seen);
        },
        queue);
    auto seen = done.wait();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->error, nullptr);
    EXPECT_TRUE(seen->downloadDelegate);
    EXPECT_TRUE(seen->file == LoopbackServer::bytesBody(100000)) << seen->file.size();
    EXPECT_EQ(told.load(), 1);
}

TEST(SessionManagerCache, WillCacheOverridesDecideWhatTheSessionKeeps) {
    LoopbackServer server;
    auto c = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    c.urlCache = std::make_shared<plat::urlloading::URLCache>(1 << 20, 0);
    auto manager = SessionManager::create(c);
    auto queue = testQueue();
    const auto address = server.url("/status/200?body=kept&header=Cache-Control:max-age%3D600");
    auto fetch = [&] {
        Waiter<std::string> done;
        manager->request(address)->responseString(
            [&](const DataResponse<std::string>& r) { done.set(r.value().value_or("<failed>")); },
            std::nullopt, queue);
        return done.wait().value_or("<none>");
    };
    // The plain override refuses; the request goes to the server again.
    int plain = 0;
    manager->delegate()->dataTaskWillCacheResponse = [&](auto&, auto&, const auto&) {
        plain++;
        return std::optional<plat::urlloading::CachedURLResponse>();
    };
    EXPECT_EQ(fetch(), "kept");
    EXPECT_EQ(fetch(), "kept");
    EXPECT_EQ(plain, 2);
    EXPECT_EQ(server.requestCount("/status/200"), 2u);
    // The override with a completion wins and keeps it: the next one is cached.
    int withCompletion = 0;
    manager->delegate()->dataTaskWillCacheResponseWithCompletion = [&](auto&, auto&, const auto& proposed,
                                                                       auto completion) {
        withCompletion++;
        completion(proposed);
    };
    EXPECT_EQ(fetch(), "kept");
    EXPECT_EQ(fetch(), "kept");
    EXPECT_EQ(withCompletion, 1);
    EXPECT_EQ(plain, 2);
    EXPECT_EQ(server.requestCount("/status/200"), 3u);
}

TEST_F(SessionManagerTest, AStreamedUploadThatMustBeSentAgainFailsRatherThanSendingLess) {
    // The request's stream cannot start over: after a 307 the upload fails
    // with a clear error instead of repeating the request with an empty body.
    auto stream =
        std::shared_ptr<plat::InputStream>(plat::InputStream::withData(Data::fromString("payload")));
    Waiter<plat::ErrorPtr> done;
    manager->upload(stream, server.url("/redirect/0?status=307"), HTTPMethod::post)
        ->response([&](const DefaultDataResponse& r) { done.set(r.error); }, queue);
    auto error = done.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->code(), plat::urlloading::URLErrorRequestBodyStreamExhausted);
    EXPECT_EQ(server.requestCount("/echo"), 0u);
    auto first = server.requests();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().body, "payload");
}

// A data response handler reads the bytes, error and metrics in one look at
// the task delegate: the same as its accessors one by one, for a body, a
// failure, and bytes taken by a stream callback (none collected).
TEST_F(SessionManagerTest, AHandlersOneLookAtTheOutcomeMatchesTheAccessorsOneByOne) {
    struct Case {
        std::string path;
        bool streamed;
    };
    const Case cases[] = {{"/bytes/3000", false}, {"/status/404", false}, {"/bytes/500", true}};
    // Validations must be attached before the task can complete.
    manager->startRequestsImmediately = false;
    for (const auto& c : cases) {
        Waiter<DataResponse<Data>> done;
        auto request = manager->request(server.url(c.path))->validate();
        if (c.streamed)
            request->stream([](const Data&) {});
        request->responseData([&](const DataResponse<Data>& r) { done.set(r); }, queue);
        request->resume();
        auto r = done.wait();
        ASSERT_TRUE(r) << c.path;
        const auto delegate = request->delegate();
        const auto outcome = delegate->outcome();
        EXPECT_EQ(outcome.data.has_value(), delegate->data().has_value()) << c.path;
        if (outcome.data && delegate->data()) {
            EXPECT_TRUE(*outcome.data == *delegate->data()) << c.path;
        }
        EXPECT_EQ(outcome.error, delegate->error()) << c.path;
        EXPECT_EQ(outcome.metrics, delegate->metrics()) << c.path;
        // And the handler's record is made of them.
        EXPECT_EQ(r->data.has_value(), outcome.data.has_value()) << c.path;
        if (r->data && outcome.data) {
            EXPECT_TRUE(*r->data == *outcome.data) << c.path;
        }
        EXPECT_EQ(r->metrics(), outcome.metrics) << c.path;
        if (!c.streamed) {  // (with no bytes the serializer fails on its own)
            EXPECT_EQ(bool(r->error()), bool(outcome.error)) << c.path;
        }
        if (!c.streamed && c.path == "/bytes/3000") {
            ASSERT_TRUE(r->data);
            EXPECT_EQ(r->data->length(), 3000u);
            EXPECT_TRUE(r->metrics());
        }
        if (c.streamed) {
            EXPECT_FALSE(outcome.data);
        }
        if (c.path == "/status/404") {
            EXPECT_TRUE(outcome.error);
        }
    }
}
