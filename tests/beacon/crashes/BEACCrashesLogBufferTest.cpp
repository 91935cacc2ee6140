#include "beacon/crashes/BEACCrashesLogBuffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "RecordingChannelUnit.h"
#include "beacon/core/BeaconTestSupport.h"
#include "beacon/crashes/BEACCrashesClasses.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorLogs.h"
#include "crashcapture/KCRCrashReporter.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFolder = "crasheslogbuffer";

std::shared_ptr<BEACHandledErrorLog> handledLog(const std::string& sid, const std::string& token = "") {
    auto log = std::make_shared<BEACHandledErrorLog>();
    log->sid = sid;
    if (!token.empty())
        log->addTransmissionTargetToken(token);
    return log;
}

std::string fileText(const fs::path& path) {
    return testsupport::readFile(path).value_or("");
}

class CrashesLogBufferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        beac::crashes::registerCodableClasses();
        BEACCrashesLogBuffer::resetForTesting();
        BEACCrashesLogBuffer::setClock([this] { return clock_; });
        BEACCrashesLogBuffer::setUp(kFolder);
    }
    void TearDown() override {
        BEACCrashesLogBuffer::resetForTesting();
        BEACCrashesLogBuffer::setClock(nullptr);
    }
    fs::path folder() const { return sdk_.dir() / "sdk" / kFolder; }
    fs::path bufferFile(size_t i) const { return folder() / (std::to_string(i) + ".bccrasheslogbuffer"); }
    fs::path tokenFile(size_t i) const { return folder() / (std::to_string(i) + ".targettoken"); }
    void prepare(const BEACLogPtr& log, const std::string& id) {
        clock_ += 1;
        BEACCrashesLogBuffer::didPrepareLog(log, id, encrypter_);
    }

    beactest::SandboxedSDK sdk_;
    BEACEncrypter encrypter_;
    double clock_ = 1000;
};

}  // namespace

TEST_F(CrashesLogBufferTest, SetUpCreatesSixtyEmptyFilesAndKeepsWhatACrashLeft) {
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i) {
        ASSERT_TRUE(fs::exists(bufferFile(i))) << i;
        EXPECT_EQ(fs::file_size(bufferFile(i)), 0u);
    }
    std::ofstream(bufferFile(7)) << "left by a crash";
    BEACCrashesLogBuffer::setUp(kFolder);
    EXPECT_EQ(fileText(bufferFile(7)), "left by a crash");
}

// Crash logs and attachments come back from the crash report itself.
TEST_F(CrashesLogBufferTest, BuffersEveryLogButCrashLogsAndAttachments) {
    prepare(std::make_shared<BEACAppleErrorLog>(), "apple");
    prepare(BEACErrorAttachmentLog::attachmentWithText("text", "a.txt"), "attachment");
    prepare(nullptr, "none");
    EXPECT_EQ(BEACCrashesLogBuffer::occupiedSlotCount(), 0u);
    prepare(handledLog("s1"), "handled");
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(0), "handled");
}

// With every slot busy, the oldest is replaced (the lowest index among
// equal timestamps), token included: a log without one leaves none.
TEST_F(CrashesLogBufferTest, FullTableReplacesTheOldestSlotAndItsToken) {
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i)
        prepare(handledLog("s", "token-" + std::to_string(i)), "id-" + std::to_string(i));
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "id-3");
    prepare(handledLog("s", "new"), "refill");  // takes the free slot 3, newest of all
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(3), "refill");

    prepare(handledLog("s"), "overflow");
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(0), "overflow");
    EXPECT_EQ(BEACCrashesLogBuffer::slotToken(0), "");

    // Ties: slots 10 and 20 stamped alike and older than the rest.
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "id-10");
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "id-20");
    clock_ = 0;
    BEACCrashesLogBuffer::didPrepareLog(handledLog("s"), "tie-a", encrypter_);
    BEACCrashesLogBuffer::didPrepareLog(handledLog("s"), "tie-b", encrypter_);
    prepare(handledLog("s"), "after-tie");
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(10), "after-tie");
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(20), "tie-b");
}

TEST_F(CrashesLogBufferTest, CompletionFreesEverySlotOfThatId) {
    prepare(handledLog("a"), "same");
    prepare(handledLog("b"), "same");
    prepare(handledLog("c"), "other");
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "same");
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "");
    EXPECT_EQ(BEACCrashesLogBuffer::occupiedSlotCount(), 1u);
    EXPECT_EQ(BEACCrashesLogBuffer::slotInternalId(2), "other");
}

// The whole round: crash writes, next start re-sends with the tokens and
// leaves empty buffer files and no token files.
TEST_F(CrashesLogBufferTest, CrashWritesSlotsAndNextStartResendsThem) {
    std::ofstream(tokenFile(5)) << "stale token of an older crash";
    prepare(handledLog("one", "token-1"), "1");
    prepare(handledLog("two"), "2");
    prepare(handledLog("three", "token-3"), "3");
    BEACCrashesLogBuffer::crashCallback(nullptr, nullptr, nullptr);

    size_t nonEmpty = 0;
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i)
        nonEmpty += fs::file_size(bufferFile(i)) > 0 ? 1 : 0;
    EXPECT_EQ(nonEmpty, 3u);
    EXPECT_TRUE(fs::exists(tokenFile(0)));
    EXPECT_FALSE(fs::exists(tokenFile(1)));
    EXPECT_TRUE(fs::exists(tokenFile(2)));
    EXPECT_FALSE(fs::exists(tokenFile(5)));  // a stale token never survives a crash

    // After the crash a completed enqueue also removes the slot's file.
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "3");
    EXPECT_FALSE(fs::exists(bufferFile(2)));

    crashtest::RecordingChannelUnit unit(BEACChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
    BEACCrashesLogBuffer::processAfterCrash(unit, encrypter_);
    auto enqueued = unit.enqueued();
    ASSERT_EQ(enqueued.size(), 2u);
    std::map<std::string, std::string> tokens;
    for (const auto& [log, flags] : enqueued) {
        EXPECT_EQ(flags, 1u);
        auto set = log->transmissionTargetTokens();
        tokens[log->sid.value_or("")] = set && !set->empty() ? *set->begin() : "";
    }
    EXPECT_EQ(tokens, (std::map<std::string, std::string>{{"one", "token-1"}, {"two", ""}}));
    for (size_t i = 0; i < kBEACCrashesBufferSlotCount; ++i) {
        if (fs::exists(bufferFile(i))) {
            EXPECT_EQ(fs::file_size(bufferFile(i)), 0u) << i;
        }
        EXPECT_FALSE(fs::exists(tokenFile(i))) << i;
    }
}

TEST_F(CrashesLogBufferTest, UndecodableFileIsKeptAndBadTokenIsDropped) {
    std::ofstream(bufferFile(0)) << "not an archive";
    prepare(handledLog("good", "secret"), "g");
    BEACCrashesLogBuffer::crashCallback(nullptr, nullptr, nullptr);
    // Slot 0 now holds the good log; put the damaged archive in slot 1.
    std::ofstream(bufferFile(1)) << "not an archive";
    std::ofstream(tokenFile(0), std::ios::trunc) << "not cipher text";

    crashtest::RecordingChannelUnit unit(BEACChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
    BEACCrashesLogBuffer::processAfterCrash(unit, encrypter_);
    ASSERT_EQ(unit.enqueued().size(), 1u);
    EXPECT_FALSE(unit.enqueued()[0].first->transmissionTargetTokens());
    EXPECT_FALSE(fs::exists(tokenFile(0)));
    EXPECT_EQ(fileText(bufferFile(1)), "not an archive");
}

TEST_F(CrashesLogBufferTest, EmptyingFilesKeepsTheSlotsForALaterCrash) {
    prepare(handledLog("kept"), "k");
    BEACCrashesLogBuffer::crashCallback(nullptr, nullptr, nullptr);
    ASSERT_GT(fs::file_size(bufferFile(0)), 0u);
    BEACCrashesLogBuffer::emptyFiles();
    EXPECT_EQ(fs::file_size(bufferFile(0)), 0u);
    EXPECT_EQ(BEACCrashesLogBuffer::occupiedSlotCount(), 1u);
    BEACCrashesLogBuffer::crashCallback(nullptr, nullptr, nullptr);
    EXPECT_GT(fs::file_size(bufferFile(0)), 0u);
}

// A real crash: crash capture runs the buffer's callback in the dying child.
TEST_F(CrashesLogBufferTest, RealCrashWritesTheBufferThroughCrashCapture) {
    prepare(handledLog("before the crash", "t"), "x");
    const int status = testsupport::waitStatusOfChild([&]() -> int {
        setenv("XDG_CACHE_HOME", (sdk_.dir() / "caches").c_str(), 1);
        KCRCrashReporter reporter("buffer-test", "1.0", std::nullopt, KCRCrashReporterConfig());
        KCRCrashReporterCallbacks callbacks;
        callbacks.handleSignal = BEACCrashesLogBuffer::crashCallback;
        reporter.setCrashCallbacks(callbacks);
        if (!reporter.enableCrashReporter())
            _exit(3);
        std::abort();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_GT(fs::file_size(bufferFile(0)), 0u);
    EXPECT_TRUE(fs::exists(tokenFile(0)));
}
