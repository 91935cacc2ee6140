#include "platform/urlloading/URLSessionStreamTask.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/urlloading/URLLoadingTestSupport.h"
#include "support/EchoServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

using namespace urltest;
using testsupport::EchoServer;
using testsupport::LoopbackServer;

namespace {

struct ReadResult {
    std::optional<Data> data;
    bool atEOF = false;
    ErrorPtr error;
    std::string text() const {
        return data ? std::string(reinterpret_cast<const char*>(data->bytes()), data->length()) : "<none>";
    }
};

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

// Issues one operation and waits for its completion, checking it runs once.
ReadResult readOnce(URLSessionStreamTask& task, std::size_t min, std::size_t max, double timeout = 0) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<ReadResult>>();
    task.readDataOfMinLength(min, max, timeout,
                             [calls, promise](std::optional<Data> data, bool atEOF, ErrorPtr error) {
                                 if (++*calls == 1)
                                     promise->set_value(ReadResult{std::move(data), atEOF, std::move(error)});
                                 else
                                     ADD_FAILURE() << "read completed twice";
                             });
    auto future = promise->get_future();
    EXPECT_EQ(future.wait_for(kHangGuard), std::future_status::ready);
    return future.get();
}

ErrorPtr writeOnce(URLSessionStreamTask& task, const std::string& text, double timeout = 0) {
    auto promise = std::make_shared<std::promise<ErrorPtr>>();
    task.writeData(Data::fromString(text), timeout, [promise](ErrorPtr error) { promise->set_value(error); });
    auto future = promise->get_future();
    EXPECT_EQ(future.wait_for(kHangGuard), std::future_status::ready);
    return future.get();
}

// Reads until `n` bytes or the end of the stream.
std::string readAll(URLSessionStreamTask& task, std::size_t n) {
    std::string out;
    while (out.size() < n) {
        auto r = readOnce(task, 1, 65536);
        if (!r.data || r.error)
            break;
        out += r.text();
        if (r.atEOF)
            break;
    }
    return out;
}

class StreamTaskTest : public ::testing::Test {
  protected:
    StreamTaskTest() {
        std::ofstream(dir / "ca.pem") << testsupport::TestCertificates::shared().ca.certificatePem;
        auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
        c.trustedCertificatesFile = (dir / "ca.pem").string();
        c.timeoutIntervalForRequest = 30;
        session = URLSession::sessionWithConfiguration(c, delegate);
    }
    ~StreamTaskTest() override {
        session->invalidateAndCancel();
        EXPECT_TRUE(delegate->waitForInvalid());
        // Let the session go here rather than on a queue thread that may
        // still be tearing it down while the test program exits.
        auto guard = std::chrono::steady_clock::now() + kHangGuard;
        while (session.use_count() > 1 && std::chrono::steady_clock::now() < guard)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        session.reset();
    }
    testsupport::TempDir dir;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session;
};

TEST_F(StreamTaskTest, EchoesOverTCPAndTLSThenClosesBothWays) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "TCP");
        EchoServer server(tls ? EchoServer::Options{LoopbackServer::Certificate::Valid, std::nullopt}
                              : EchoServer::Options{});
        auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
        EXPECT_FALSE(task->originalRequest());
        // Operations queued before resume wait for the connection.
        if (tls)
            task->startSecureConnection();
        auto early = std::async(std::launch::async, [&] { return writeOnce(*task, "hello stream"); });
        task->resume();
        EXPECT_EQ(early.get(), nullptr);
        auto r = readOnce(*task, 12, 100);
        EXPECT_EQ(r.error, nullptr);
        EXPECT_EQ(r.text(), "hello stream");
        EXPECT_FALSE(r.atEOF);

        // More than fits in socket buffers at once, read back in pieces no
        // larger than asked for.
        const std::string big = LoopbackServer::bytesBody(300000);
        auto sent = std::async(std::launch::async, [&] { return writeOnce(*task, big); });
        auto small = readOnce(*task, 1, 10);
        EXPECT_LE(small.data->length(), 10u);
        std::string back = small.text() + readAll(*task, big.size() - small.data->length());
        EXPECT_EQ(sent.get(), nullptr);
        EXPECT_TRUE(back == big);

        task->closeWrite();
        auto end = readOnce(*task, 1, 100);
        EXPECT_EQ(end.error, nullptr);
        EXPECT_TRUE(end.atEOF);
        EXPECT_EQ(end.text(), "");
        auto record = delegate->waitFor(*task);
        EXPECT_EQ(record.error, nullptr);
        EXPECT_EQ(record.completions, 1);
        EXPECT_EQ(record.events,
                  (std::vector<std::string>{"write-closed", "read-closed", "metrics", "complete"}));
        EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
        // After completion operations fail at once.
        EXPECT_NE(writeOnce(*task, "late"), nullptr);
    }
}

TEST_F(StreamTaskTest, TheServerClosingEndsReadsWithWhatArrived) {
    EchoServer server({std::nullopt, std::string("bye")});
    auto task = session->streamTaskWithHostName("localhost", server.port());
    task->resume();
    auto r = readOnce(*task, 10, 100);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(r.text(), "bye");
    EXPECT_TRUE(r.atEOF);
    auto again = readOnce(*task, 1, 100);
    EXPECT_TRUE(again.atEOF);
    EXPECT_EQ(again.text(), "");
    task->closeWrite();
    auto record = delegate->waitFor(*task);
    EXPECT_EQ(record.error, nullptr);
    EXPECT_EQ(record.events,
              (std::vector<std::string>{"read-closed", "write-closed", "metrics", "complete"}));
}

TEST_F(StreamTaskTest, AReadTimesOutWithoutLosingLaterBytes) {
    EchoServer server;
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    task->resume();
    auto r = readOnce(*task, 1, 10, 0.05);
    EXPECT_EQ(codeOf(r.error), URLErrorTimedOut);
    EXPECT_FALSE(r.data);
    // The connection goes on.
    EXPECT_EQ(writeOnce(*task, "after"), nullptr);
    EXPECT_EQ(readOnce(*task, 5, 10).text(), "after");
    task->closeRead();
    EXPECT_TRUE(readOnce(*task, 1, 10).atEOF);
    task->closeWrite();
    EXPECT_EQ(delegate->waitFor(*task).error, nullptr);
}

TEST_F(StreamTaskTest, AWriteTheServerDoesNotTakeTimesOut) {
    EchoServer::Options options;
    options.neverRead = true;
    EchoServer server(options);
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    task->resume();
    // Far more than the socket buffers of both ends hold.
    EXPECT_EQ(codeOf(writeOnce(*task, std::string(64 << 20, 'w'), 0.1)), URLErrorTimedOut);
    task->cancel();
    EXPECT_EQ(codeOf(delegate->waitFor(*task).error), URLErrorCancelled);
}

TEST_F(StreamTaskTest, CancelCompletesQueuedOperationsAndTheTaskOnce) {
    EchoServer server;
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    task->resume();
    auto pending = std::async(std::launch::async, [&] { return readOnce(*task, 1, 10); });
    EXPECT_EQ(writeOnce(*task, ""), nullptr);  // connected: the read is waiting
    task->cancel();
    task->cancel();
    EXPECT_EQ(codeOf(pending.get().error), URLErrorCancelled);
    auto record = delegate->waitFor(*task);
    EXPECT_EQ(codeOf(record.error), URLErrorCancelled);
    EXPECT_EQ(record.completions, 1);
    EXPECT_EQ(codeOf(readOnce(*task, 1, 10).error), URLErrorCancelled);
}

TEST_F(StreamTaskTest, ConnectionAndTrustFailuresEndTheTaskWithTheirCodes) {
    const int refusedPort = testsupport::closedLoopbackPort();
    EchoServer unknownCA({LoopbackServer::Certificate::UnknownCA, std::nullopt});
    EchoServer expired({LoopbackServer::Certificate::Expired, std::nullopt});
    struct Case {
        const char* host;
        int port;
        bool tls;
        int64_t code;
    };
    const Case cases[] = {
        {"127.0.0.1", refusedPort, false, URLErrorCannotConnectToHost},
        {"no-such-host.invalid", 80, false, URLErrorCannotFindHost},
        {"127.0.0.1", unknownCA.port(), true, URLErrorServerCertificateHasUnknownRoot},
        {"127.0.0.1", expired.port(), true, URLErrorServerCertificateHasBadDate},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        auto task = session->streamTaskWithHostName(c.host, c.port);
        if (c.tls)
            task->startSecureConnection();
        task->resume();
        auto w = writeOnce(*task, "never");
        EXPECT_EQ(codeOf(w), c.code);
        auto record = delegate->waitFor(*task);
        EXPECT_EQ(codeOf(record.error), c.code);
        EXPECT_EQ(record.completions, 1);
    }
}

}  // namespace

TEST_F(StreamTaskTest, NetServiceConnectsToItsAddressAtCreationElseCannotFindHost) {
    EchoServer server;
    NetService service("local.", "_echo._tcp.", "echo");
    auto unresolved = session->streamTaskWithNetService(service);
    // Resolving later does not change a task already made.
    service.resolve("127.0.0.1", server.port());
    auto resolved = session->streamTaskWithNetService(service);
    EXPECT_EQ(resolved->host(), "127.0.0.1");
    EXPECT_EQ(resolved->port(), server.port());
    unresolved->resume();
    resolved->resume();
    EXPECT_EQ(codeOf(readOnce(*unresolved, 1, 8).error), URLErrorCannotFindHost);
    EXPECT_EQ(writeOnce(*resolved, "via service"), nullptr);
    EXPECT_EQ(readOnce(*resolved, 11, 11).text(), "via service");
    resolved->cancel();
}

TEST_F(StreamTaskTest, TheDelegateDecidesServerTrustForTLS) {
    // A server whose CA nobody trusts: only the delegate's answer can let it in.
    EchoServer server({LoopbackServer::Certificate::UnknownCA, std::nullopt});
    const auto& certs = testsupport::TestCertificates::shared();
    auto pinned = plat::security::Certificate::createWithData(Data(certs.otherCaLeaf.certificateDer));
    struct Case {
        const char* name;
        std::function<void(const URLAuthenticationChallenge&, ChallengeCompletion)> answer;
        int64_t code;
    };
    const Case cases[] = {
        {"pinned leaf",
         [&](const URLAuthenticationChallenge& c, ChallengeCompletion done) {
             auto trust = c.protectionSpace.serverTrust;
             EXPECT_EQ(c.protectionSpace.authenticationMethod, URLAuthenticationMethodServerTrust);
             trust->setAnchorCertificates({pinned});
             if (trust->evaluateWithError())
                 return done(URLSessionAuthChallengeDisposition::UseCredential,
                             URLCredential::forTrust(trust));
             done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
         },
         0},
        {"cancelled",
         [](const URLAuthenticationChallenge&, ChallengeCompletion done) {
             done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
         },
         URLErrorCancelled},
        {"default handling",
         [](const URLAuthenticationChallenge&, ChallengeCompletion done) {
             done(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
         },
         URLErrorServerCertificateHasUnknownRoot},
        {"dropped handler", [](const URLAuthenticationChallenge&, ChallengeCompletion) {},
         URLErrorServerCertificateHasUnknownRoot},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int asked = 0;
        delegate->onSessionChallenge = [&](const URLAuthenticationChallenge& challenge,
                                           ChallengeCompletion done) {
            asked++;
            c.answer(challenge, std::move(done));
        };
        auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
        task->startSecureConnection();
        task->resume();
        EXPECT_EQ(codeOf(writeOnce(*task, "over TLS")), c.code);
        if (c.code == 0) {
            EXPECT_EQ(readOnce(*task, 8, 8).text(), "over TLS");
            task->closeWrite();
            task->closeRead();
        }
        EXPECT_EQ(codeOf(delegate->waitFor(*task).error), c.code);
        EXPECT_EQ(asked, 1);
    }
}
