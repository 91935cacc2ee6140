// End to end: the crash-capture helper crashes for real in a child process,
// and the report it leaves becomes a crash log.
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/crashes/BEACErrorLogFormatter.h"
#include "crashcapture/CrashReportBuilder.h"
#include "platform/foundation/Text.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

KCRCrashReportPtr crashAndLoad(const std::string& mode, const testsupport::TempDir& dir, pid_t* pid) {
    auto child = testsupport::runCrashingProgram(BEAC_CRASH_HELPER, {mode, "main", dir.str() + "/record"},
                                                 dir.str(), pid);
    EXPECT_TRUE(child.finished) << "the child hung";
    EXPECT_TRUE(WIFSIGNALED(child.status));
    return kcrtest::decodeFile((dir / "com.kestrel.crashcapture/crash-helper/live_report.kcr").string());
}

class BEACErrorLogFormatterCrashTest : public ::testing::Test {
  protected:
    void SetUp() override { BEACDeviceTracker::resetSharedInstance(); }
    void TearDown() override { BEACDeviceTracker::resetSharedInstance(); }
    beactest::SandboxedSDK sdk_;
    testsupport::TempDir dir_;
};

// What every real crash log must hold, whatever the crash.
void expectCompleteLog(const BEACAppleErrorLog& log, const KCRCrashReport& report, pid_t pid) {
    EXPECT_TRUE(log.isValid());
    EXPECT_EQ(log.errorId, report.uuidRef()->UUIDString());
    EXPECT_EQ(log.processId, pid);
    EXPECT_EQ(log.processName, "kcr_crash_helpe");  // the kernel keeps 15 characters of a name
    EXPECT_EQ(log.applicationPath,
              BEACErrorLogFormatter::anonymizedPathFromPath(std::string(BEAC_CRASH_HELPER)));
    EXPECT_EQ(log.primaryArchitectureId, BEACCPUTypeX86_64);
    ASSERT_TRUE(log.timestamp);
    EXPECT_NEAR(log.timestamp->timeIntervalSinceNow(), 0, 120);
    EXPECT_FALSE(log.selectorRegisterValue) << "ELF images have no selector names";

    // The crashed thread is the one named, and its registers are 64-bit texts.
    ASSERT_TRUE(log.threads && !log.threads->empty());
    bool found = false;
    for (const auto& thread : *log.threads) {
        EXPECT_TRUE(thread->isValid());
        found |= thread->threadId == log.errorThreadId;
    }
    EXPECT_TRUE(found);
    ASSERT_TRUE(log.registers && log.registers->contains("rip"));
    EXPECT_EQ(log.registers->find("rip")->asString()->size(), 18u);

    // The helper itself is listed: it is the application.
    bool helperListed = false;
    for (const auto& binary : *log.binaries) {
        EXPECT_TRUE(binary->isValid());
        helperListed |= binary->name == "kcr_crash_helper_fp";
    }
    EXPECT_TRUE(helperListed);
}

TEST_F(BEACErrorLogFormatterCrashTest, SegmentationFaultBecomesACompleteCrashLog) {
    pid_t pid = 0;
    auto report = crashAndLoad("segv-null", dir_, &pid);
    ASSERT_NE(report, nullptr);
    auto log = BEACErrorLogFormatter::errorLogFromCrashReport(*report);
    expectCompleteLog(*log, *report, pid);
    EXPECT_EQ(log->osExceptionType, "SIGSEGV");
    EXPECT_EQ(log->osExceptionAddress, "0x0");
    EXPECT_FALSE(log->exceptionType);
}

TEST_F(BEACErrorLogFormatterCrashTest, UncaughtExceptionIsCarriedByTheCrashedThread) {
    pid_t pid = 0;
    auto report = crashAndLoad("uncaught", dir_, &pid);
    ASSERT_NE(report, nullptr);
    auto log = BEACErrorLogFormatter::errorLogFromCrashReport(*report);
    expectCompleteLog(*log, *report, pid);
    EXPECT_EQ(log->osExceptionType, "SIGABRT");
    EXPECT_EQ(log->exceptionType, "HelperException");
    EXPECT_EQ(log->exceptionReason, "thrown on purpose");
    std::shared_ptr<BEACException> carried;
    for (const auto& thread : *log->threads)
        if (thread->exception)
            carried = thread->exception;
    ASSERT_NE(carried, nullptr);
    EXPECT_TRUE(carried->isValid());
    EXPECT_EQ(carried->type, "HelperException");
    EXPECT_EQ(carried->frames->size(), report->exceptionInfo()->stackFrames().size());
}

}  // namespace
