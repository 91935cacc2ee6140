// The file download and upload operations against the loopback HTTP server:
// replacing files, status errors, cancelling at every stage, dropped
// connections, refused local paths and the upload's Content-Length. Every
// completion is counted: each must run exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/dispatch/MainLoop.h"
#include "platform/urlloading/URLError.h"
#include "support/CapturedLog.h"
#include "support/EchoServer.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/mesh/cloudfs/SYNFileDownloadOperation.h"
#include "sync/mesh/cloudfs/SYNFileUploadOperation.h"

namespace {

namespace fs = std::filesystem;
using plat::dispatch::MainLoop;
using testsupport::LoopbackServer;
namespace ul = plat::urlloading;

constexpr double kHangGuardSeconds = 30;

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ul::URLRequest requestFor(const std::string& url, const std::string& method = "GET") {
    ul::URLRequest request(plat::URL::URLWithString(url).value());
    request.httpMethod = method;
    return request;
}

// Counts an operation's completions and keeps the last error.
struct Outcome {
    int calls = 0;
    plat::ErrorPtr error;
};

class SYNFileTransferOperationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }

    template <class Op>
    std::shared_ptr<Op> make(const std::string& url, const fs::path& path, Outcome& outcome,
                             const std::string& method = "GET") {
        auto op = std::make_shared<Op>(requestFor(url, method), path.string());
        op->setCompletion([&outcome](const plat::ErrorPtr& error) {
            EXPECT_TRUE(MainLoop::isMainThread());
            ++outcome.calls;
            outcome.error = error;
        });
        return op;
    }

    // Starts the operation and pumps the main loop until it has finished,
    // then once more so that a stray second completion would show.
    static void runToEnd(const std::shared_ptr<SYNFileTransferOperation>& op) {
        if (!op->isExecuting() && !op->isFinished())
            op->start();
        EXPECT_TRUE(MainLoop::runUntil([&] { return op->isFinished(); }, kHangGuardSeconds));
        settle();
    }

    // Lets late callbacks (a cancelled task's completion) arrive.
    static void settle() {
        for (int i = 0; i < 20; ++i) {
            MainLoop::runUntil([] { return false; }, 0.01);
        }
    }

    LoopbackServer server;
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(SYNFileTransferOperationTest, DownloadReplacesAnExistingFileAndStaysAtItsPath) {
    const fs::path path = dir / "file.bin";
    write(path, "old content that is longer than nothing");
    Outcome outcome;
    // The server suggests another name and a path outside the folder.
    auto op = make<SYNFileDownloadOperation>(
        server.url("/bytes/70000?disposition=attachment;%20filename=%22../evil.bin%22"), path, outcome);
    runToEnd(op);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(read(path), LoopbackServer::bytesBody(70000));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "evil.bin"));
    EXPECT_EQ(op->localPath(), path.string());
}

TEST_F(SYNFileTransferOperationTest, BadStatusKeepsTheBodyAndGivesStatusError) {
    const fs::path path = dir / "missing.txt";
    Outcome outcome;
    runToEnd(make<SYNFileDownloadOperation>(server.url("/status/404?body=not%20here"), path, outcome));
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), SYNErrorDomain);
    EXPECT_EQ(outcome.error->code(), 1001);
    EXPECT_EQ(outcome.error->localizedDescription(), "Status code: 404");
    EXPECT_EQ(read(path), "not here");
}

TEST_F(SYNFileTransferOperationTest, UnwritableLocalPathsAreRefusedUntouched) {
    fs::create_directories(dir / "folder");
    write(dir / "folder" / "keep.txt", "kept");
    const fs::path paths[] = {dir / "folder", dir / "no" / "such" / "parent.bin"};
    for (const auto& path : paths) {
        SCOPED_TRACE(path.string());
        Outcome outcome;
        runToEnd(make<SYNFileDownloadOperation>(server.url("/bytes/10"), path, outcome));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_TRUE(SYNErrorHasCode(outcome.error, 107));
        EXPECT_EQ(outcome.error->localizedDescription(), "Could not create local file for downloading");
    }
    EXPECT_EQ(read(dir / "folder" / "keep.txt"), "kept");
    EXPECT_EQ(server.requestCount("/bytes/10"), 0u);
}

TEST_F(SYNFileTransferOperationTest, CancelMidTransferFromAnotherThreadLeavesNoFile) {
    const fs::path path = dir / "partial.bin";
    Outcome outcome;
    auto op =
        make<SYNFileDownloadOperation>(server.url("/bytes/100000?stall=20000&chunk=4096"), path, outcome);
    op->start();
    // Wait until part of the body is in the file.
    ASSERT_TRUE(MainLoop::runUntil([&] { return fs::exists(path) && fs::file_size(path) >= 4096; },
                                   kHangGuardSeconds));
    std::thread([op] { op->cancel(); }).join();
    runToEnd(op);
    server.releaseStalled();
    settle();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(SYNErrorHasCode(outcome.error, 101));
    EXPECT_TRUE(outcome.error->userInfo().empty());
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SYNFileTransferOperationTest, CancelAfterTheEndOrBeforeTheBeginningCompletesOnce) {
    // After finishing: nothing changes, the file stays.
    const fs::path done = dir / "done.bin";
    Outcome finished;
    auto op = make<SYNFileDownloadOperation>(server.url("/bytes/100"), done, finished);
    runToEnd(op);
    op->cancel();
    op->cancel();
    settle();
    EXPECT_EQ(finished.calls, 1);
    EXPECT_FALSE(finished.error);
    EXPECT_EQ(read(done), LoopbackServer::bytesBody(100));

    // Before beginning: 101 without a request, and the existing file is left.
    const fs::path early = dir / "early.bin";
    write(early, "existing");
    Outcome cancelled;
    auto never = make<SYNFileDownloadOperation>(server.url("/bytes/200"), early, cancelled);
    never->cancel();
    runToEnd(never);
    EXPECT_EQ(cancelled.calls, 1);
    EXPECT_TRUE(SYNErrorHasCode(cancelled.error, 101));
    EXPECT_EQ(server.requestCount("/bytes/200"), 0u);
    EXPECT_EQ(read(early), "existing");
}

TEST_F(SYNFileTransferOperationTest, DroppedConnectionGivesItsErrorOnceAndNoFile) {
    const fs::path path = dir / "dropped.bin";
    Outcome outcome;
    auto op = make<SYNFileDownloadOperation>(server.url("/bytes/50000?drop=10000&chunk=2048"), path, outcome);
    runToEnd(op);
    op->cancel();  // a cancel racing the failure changes nothing
    settle();
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), ul::URLErrorDomain);
    EXPECT_NE(outcome.error->code(), ul::URLErrorCancelled);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SYNFileTransferOperationTest, UploadSendsTheFileWithItsContentLength) {
    const fs::path path = dir / "upload.bin";
    write(path, "short");
    Outcome outcome;
    auto op = make<SYNFileUploadOperation>(server.url("/echo"), path, outcome, "PUT");
    EXPECT_EQ(op->request().valueForHTTPHeaderField("Content-Length"), "5");
    // The file grows before the upload begins: the length follows it.
    write(path, LoopbackServer::bytesBody(12345));
    runToEnd(op);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(op->request().valueForHTTPHeaderField("Content-Length"), "12345");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("content-length"), "12345");
}

TEST_F(SYNFileTransferOperationTest, UploadFailures) {
    const fs::path path = dir / "small.txt";
    write(path, "abc");
    {
        SCOPED_TRACE("status");
        testsupport::CapturedLog log;
        Outcome outcome;
        runToEnd(
            make<SYNFileUploadOperation>(server.url("/status/500?body=%3Cerr/%3E"), path, outcome, "POST"));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_TRUE(SYNErrorHasCode(outcome.error, 1001));
        EXPECT_EQ(outcome.error->localizedDescription(), "Status code: 500");
        // The response body is logged as text.
        auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("Response XML: <err/>") != std::string::npos;
        }));
    }
    {
        SCOPED_TRACE("missing file: nothing is sent");
        Outcome outcome;
        runToEnd(make<SYNFileUploadOperation>(server.url("/upload"), dir / "absent.txt", outcome, "POST"));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_TRUE(outcome.error);
        EXPECT_EQ(server.requestCount("/upload"), 0u);
    }
    {
        SCOPED_TRACE("cancel while the server never answers");
        testsupport::EchoServer silent(testsupport::EchoServer::Options{std::nullopt, std::nullopt, true});
        Outcome outcome;
        auto op = make<SYNFileUploadOperation>("http://127.0.0.1:" + std::to_string(silent.port()) + "/x",
                                               path, outcome, "POST");
        op->start();
        ASSERT_TRUE(MainLoop::runUntil([&] { return silent.connectionCount() == 1; }, kHangGuardSeconds));
        op->cancel();
        runToEnd(op);
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_TRUE(SYNErrorHasCode(outcome.error, 101));
        EXPECT_TRUE(fs::exists(path));
    }
}
