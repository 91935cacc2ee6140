// The crash reporter's ordinary-time behaviour: folders, pending reports,
// live reports, enabling and its errors. Anything that installs signal
// handlers runs in a forked child, so that this process keeps its own.
#include "crashcapture/KCRCrashReporter.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReporterError.h"
#include "platform/foundation/FileManager.h"
#include "platform/machine/Threads.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

// Points the Caches and temporary folders at a fresh folder for one test.
class ReporterTest : public ::testing::Test {
  protected:
    // Caches and temporary files go to this test's own folder, so that a
    // check for leftovers cannot see files of tests running beside it.
    void SetUp() override {
        for (const char* name : kRedirected) {
            const char* value = getenv(name);
            saved_.emplace_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            setenv(name, dir_.str().c_str(), 1);
        }
    }
    void TearDown() override {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i])
                setenv(kRedirected[i], saved_[i]->c_str(), 1);
            else
                unsetenv(kRedirected[i]);
        }
    }
    static constexpr const char* kRedirected[] = {"XDG_CACHE_HOME", "TMPDIR"};
    testsupport::TempDir dir_;
    std::vector<std::optional<std::string>> saved_;
};

const auto in_child = [](const std::function<int()>& body) { return testsupport::exitCodeOfChild(body); };

KCRCrashReportPtr decode(const plat::Data& data) {
    auto report = KCRCrashReport::create(data);
    if (!report.ok())
        return nullptr;
    return report.value();
}

TEST_F(ReporterTest, FoldersFollowTheIdentifier) {
    KCRCrashReporter reporter("a/b", "1", std::nullopt, KCRCrashReporterConfig());
    const std::string expected = dir_.str() + "/com.kestrel.crashcapture/a_b";
    EXPECT_EQ(reporter.crashReportDirectory(), expected);
    EXPECT_EQ(reporter.crashReportPath(), expected + "/live_report.kcr");
    EXPECT_EQ(reporter.queuedCrashReportDirectory(), expected + "/queued_reports");
    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(reporter.queuedCrashReportDirectory()));
    EXPECT_EQ(std::filesystem::status(expected).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0755));
}

TEST_F(ReporterTest, BundleFallbacks) {
    plat::Bundle bundle(dir_.str());
    bundle.setInfoDictionary(plat::Dictionary{});
    KCRCrashReporter reporter(KCRCrashReporterConfig(), bundle);
    EXPECT_FALSE(reporter.applicationIdentifier().empty());  // the process name
    EXPECT_EQ(reporter.applicationVersion(), "");
    EXPECT_FALSE(reporter.applicationMarketingVersion().has_value());

    bundle.setInfoDictionary(plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.app")},
                                              {"CFBundleVersion", plat::Value("42")},
                                              {"CFBundleShortVersionString", plat::Value("4.2")}});
    KCRCrashReporter named(KCRCrashReporterConfig(), bundle);
    EXPECT_EQ(named.applicationIdentifier(), "com.example.app");
    EXPECT_EQ(named.applicationVersion(), "42");
    EXPECT_EQ(named.applicationMarketingVersion(), "4.2");
}

TEST_F(ReporterTest, PendingReportLoadAndPurge) {
    KCRCrashReporter reporter("pending", "1", std::nullopt, KCRCrashReporterConfig());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    plat::ErrorPtr error;
    EXPECT_FALSE(reporter.loadPendingCrashReportData(&error).has_value());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), plat::POSIXErrorDomain);
    EXPECT_EQ(error->code(), ENOENT);
    error = nullptr;
    EXPECT_FALSE(reporter.purgePendingCrashReport(&error));
    EXPECT_NE(error, nullptr);

    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    std::ofstream(reporter.crashReportPath(), std::ios::binary) << "kcrdump";
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    auto data = reporter.loadPendingCrashReportData();
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->view(), "kcrdump");
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
}

__attribute__((noinline)) std::optional<plat::Data> live_report_here(KCRCrashReporter& reporter,
                                                                     uint64_t* return_address) {
    *return_address = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    auto data = reporter.generateLiveReport();
    asm volatile("" ::: "memory");
    return data;
}

TEST_F(ReporterTest, LiveReportOfTheCallingThread) {
    KCRCrashReporter reporter("live", "1.0", std::string("1.0.1"),
                              KCRCrashReporterConfig(0, KCRCrashReporterSymbolicationStrategySymbolTable));
    reporter.setCustomData(plat::Data::fromString("live custom"));
    uint64_t return_address = 0;
    auto data = live_report_here(reporter, &return_address);
    ASSERT_TRUE(data.has_value());
    KCRCrashReportPtr report = decode(*data);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "1.0.1");
    ASSERT_TRUE(report->customData().has_value());
    EXPECT_EQ(report->customData()->view(), "live custom");
    KCRCrashReportThreadInfoPtr crashed;
    for (const auto& thread : report->threads()) {
        if (thread->crashed())
            crashed = thread;
    }
    ASSERT_NE(crashed, nullptr);
    bool found = false;
    for (const auto& frame : crashed->stackFrames())
        found = found || frame->instructionPointer() == return_address;
    EXPECT_TRUE(found) << "the calling thread's frames do not reach the caller";
    // No temporary file is left behind.
    for (const auto& entry :
         std::filesystem::directory_iterator(plat::FileManager::defaultManager().temporaryDirectory()))
        EXPECT_EQ(entry.path().filename().string().rfind("live_crash_report.", 0), std::string::npos);
}

TEST_F(ReporterTest, LiveReportOfAnotherThreadLeavesTheCallerOut) {
    KCRCrashReporter reporter("live-other", "1", std::nullopt, KCRCrashReporterConfig());
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::atomic<pid_t> tid{0};
    std::thread other([&] {
        tid = plat::machine::currentThreadId();
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done; });
    });
    while (tid == 0)
        std::this_thread::yield();
    auto data = reporter.generateLiveReportWithThread(tid);
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    cv.notify_all();
    other.join();
    ASSERT_TRUE(data.has_value());
    KCRCrashReportPtr report = decode(*data);
    ASSERT_NE(report, nullptr);
    int crashed = 0;
    for (const auto& thread : report->threads()) {
        if (thread->crashed()) {
            ++crashed;
            EXPECT_GT(thread->stackFrames().size(), 2u);
        }
    }
    EXPECT_EQ(crashed, 1);
    // This thread is not in it: every listed thread but the caller.
    pid_t ids[256];
    const int count = plat::machine::listThreads(ids, 256);
    EXPECT_LE(report->threads().size(), static_cast<size_t>(count));
}

TEST_F(ReporterTest, EnablingOncePerProcessAndItsErrors) {
    EXPECT_EQ(in_child([&] {
                  plat::ErrorPtr error;
                  // Mach mode: signal handlers with the exception bridge on top.
                  KCRCrashReporter first("one", "1", std::nullopt,
                                         KCRCrashReporterConfig(KCRCrashReporterSignalHandlerTypeMach, 0));
                  if (!first.enableCrashReporter())
                      return 2;
                  struct sigaction action {};
                  for (int signo : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP}) {
                      sigaction(signo, nullptr, &action);
                      if ((action.sa_flags & SA_SIGINFO) == 0 || (action.sa_flags & SA_ONSTACK) == 0)
                          return 3;
                  }
                  try {
                      first.setCrashCallbacks(KCRCrashReporterCallbacks{});
                      return 4;
                  } catch (const plat::Exception& e) {
                      if (e.name() != KCRCrashReporterException)
                          return 5;
                  }
                  KCRCrashReporter second("two", "1", std::nullopt, KCRCrashReporterConfig());
                  error = nullptr;
                  if (second.enableCrashReporter(&error) || error == nullptr ||
                      error->code() != KCRCrashReporterErrorAlreadyEnabled)
                      return 6;
                  return 0;
              }),
              0);
    // A failure at the folder step still blocks later enables.
    EXPECT_EQ(
        in_child([&] {
            const std::string cache = dir_.str() + "/blocked";
            std::filesystem::create_directories(cache);
            setenv("XDG_CACHE_HOME", cache.c_str(), 1);
            std::ofstream(cache + "/com.kestrel.crashcapture") << "a file, not a folder";
            KCRCrashReporter blocked("x", "1", std::nullopt, KCRCrashReporterConfig());
            plat::ErrorPtr error;
            if (blocked.enableCrashReporter(&error) || error == nullptr)
                return 1;
            error = nullptr;
            if (blocked.enableCrashReporter(&error) || error->code() != KCRCrashReporterErrorAlreadyEnabled)
                return 2;
            return 0;
        }),
        0);
}

TEST(ReporterStrategy, MapsOnlyTheKnownBits) {
    struct Case {
        uint64_t in;
        uint32_t out;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{2, 2}, Case{3, 3}, Case{0xFF, 3}, Case{4, 0}})
        EXPECT_EQ(KCRCrashReporter::mapToAsyncSymbolicationStrategy(c.in), c.out) << c.in;
}

}  // namespace
