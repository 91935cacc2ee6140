#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "beacon/crashes/BEACApplicationForwarder.h"
#include "beacon/crashes/BEACCrashesCXXExceptionHandler.h"
#include "crashcapture/CrashReportBuilder.h"
#include "crashcapture/KCRCrashReporter.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

volatile int gSink = 0;
uintptr_t gThrowerReturn = 0;
std::string gOutPath;

void appendLine(const std::string& line) {
    std::ofstream out(gOutPath, std::ios::app);
    out << line << "\n";
}

std::vector<std::string> readLines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

template <class Thrown>
__attribute__((noinline)) void thrower(Thrown value) {
    gThrowerReturn = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    if (gSink == 0)
        throw value;
    gSink = gSink + 1;
}

void recordingHandler(const BEACCrashesUncaughtCXXExceptionInfo* info) {
    bool siteFound = false;
    for (uint32_t i = 0; i < info->exceptionFramesCount; ++i)
        siteFound = siteFound || info->exceptionFrames[i] == gThrowerReturn;
    appendLine(std::string("handler ") + (info->exceptionTypeName ? info->exceptionTypeName : "-") + " " +
               (info->exceptionMessage ? info->exceptionMessage : "(absent)") + " " +
               (siteFound ? "site" : "nosite"));
}

void previousTerminate() {
    appendLine("previous");
    _exit(0);
}

// Runs `body` in a child whose outcome lines land in a file; returns them.
std::vector<std::string> inChild(const std::function<void()>& body) {
    testsupport::TempDir dir;
    gOutPath = (dir / "out").string();
    std::fflush(nullptr);
    // On a thread of its own: nothing of the test framework catches what
    // the body lets escape.
    const int status = testsupport::waitStatusOfChild([&] {
        std::thread(body).join();
        return 0;
    });
    std::vector<std::string> lines = readLines(gOutPath);
    if (WIFSIGNALED(status))
        lines.push_back("signal " + std::to_string(WTERMSIG(status)));
    return lines;
}

struct UncaughtCase {
    const char* name;
    std::function<void()> raise;
    std::vector<std::string> expected;
};

}  // namespace

// Each kind of uncaught exception: what the handlers hear, and that the
// terminate handler found before ours runs afterwards.
TEST(CXXExceptionHandlers, ClassifyEveryKindOfUncaughtException) {
    const std::vector<UncaughtCase> cases = {
        {"standard",
         [] { thrower(std::runtime_error("boom")); },
         {"handler St13runtime_error boom site", "previous"}},
        {"integer", [] { thrower(42); }, {"handler i (absent) site", "previous"}},
        {"c string", [] { thrower("text"); }, {"handler PKc text site", "previous"}},
        {"string",
         [] { thrower(std::string("owned")); },
         {"handler NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE owned site", "previous"}},
        {"string pointer",
         [] { thrower(new std::string("pointed")); },
         {"handler PNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE pointed site", "previous"}},
        {"exception pointer",
         [] { thrower(static_cast<std::exception*>(new std::logic_error("via pointer"))); },
         {"handler PSt9exception via pointer site", "previous"}},
        // The platform's own exceptions reach the uncaught-exception handler
        // another way: no registered handler hears of them.
        {"platform", [] { thrower(plat::Exception("Name", "reason")); }, {"previous"}},
    };
    for (const UncaughtCase& c : cases) {
        std::vector<std::string> lines = inChild([&] {
            std::set_terminate(previousTerminate);
            BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
            c.raise();
        });
        EXPECT_EQ(lines, c.expected) << c.name;
    }
}

// Rethrown on another thread than it was thrown: this thread's record of
// an older throw must not be taken for its site.
TEST(CXXExceptionHandlers, StaleThrowRecordOfAnotherExceptionIsNotUsed) {
    std::vector<std::string> lines = inChild([] {
        std::set_terminate(previousTerminate);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        try {
            thrower(7);
        } catch (int) {
        }
        std::exception_ptr elsewhere;
        std::thread([&] {
            try {
                throw std::runtime_error("other");
            } catch (...) {
                elsewhere = std::current_exception();
            }
        }).join();
        std::rethrow_exception(elsewhere);
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"handler St13runtime_error other nosite", "previous"}));
}

TEST(CXXExceptionHandlers, DuplicatesAreCalledAsOftenAsAdded) {
    std::vector<std::string> lines = inChild([] {
        std::set_terminate(previousTerminate);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        BEACCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
        thrower(1);
    });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"handler i (absent) site", "handler i (absent) site", "previous"}));
}

// Removing the last handler puts the earlier terminate handler back, unless
// another library installed its own meanwhile: that one stays.
TEST(CXXExceptionHandlers, RemovingTheLastHandlerRestoresOrKeepsAThirdParty) {
    std::vector<std::string> lines = inChild([] {
        std::set_terminate(previousTerminate);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        BEACCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
        appendLine(std::get_terminate() == previousTerminate ? "restored" : "not restored");
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        std::terminate_handler third = [] { _exit(0); };
        std::set_terminate(third);
        BEACCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
        appendLine(std::get_terminate() == third ? "third party kept" : "third party lost");
        appendLine("count " +
                   std::to_string(BEACCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler()));
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"restored", "third party kept", "count 0"}));
}

namespace {

void recordingUncaughtHandler(const plat::Exception& exception) {
    std::vector<uintptr_t> stack = plat::appkit::callStackReturnAddresses(exception);
    bool siteFound = false;
    for (uintptr_t address : stack)
        siteFound = siteFound || address == gThrowerReturn;
    appendLine("uncaught " + exception.name() + " " + exception.reason() + " " +
               (siteFound ? "site" : "nosite"));
}

}  // namespace

// The crash service's handler gives the process's uncaught-exception handler
// the demangled name, the message and the throw site, then aborts.
TEST(CXXExceptionHandlers, ServiceCallbackWrapsTheExceptionForTheUncaughtHandler) {
    std::vector<std::string> lines = inChild([] {
        plat::appkit::setUncaughtExceptionHandler(recordingUncaughtHandler);
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
            BEACCrashesUncaughtCXXExceptionCallback);
        thrower(std::runtime_error("boom"));
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"uncaught std::runtime_error boom site", "signal 6"}));

    BEACCrashesUncaughtCXXExceptionInfo info;
    info.exceptionTypeName = "i";
    BEACCrashesCXXExceptionWrapperException integer(&info);
    EXPECT_EQ(integer.name(), "int");
    EXPECT_EQ(integer.reason(), "");
    EXPECT_TRUE(integer.callStackReturnAddresses().empty());
    info.exceptionTypeName = "not a mangled name";
    EXPECT_EQ(BEACCrashesCXXExceptionWrapperException(&info).name(), "not a mangled name");
}

// With crash capture enabled, the report of an uncaught native exception
// carries its demangled name, its text and the frames of its throw site.
TEST(CXXExceptionHandlers, CrashReportCarriesTheThrowSite) {
    testsupport::TempDir dir;
    const fs::path pathFile = dir / "report-path";
    const fs::path siteFile = dir / "site";
    std::vector<std::string> lines = inChild([&] {
        setenv("XDG_CACHE_HOME", (dir / "caches").c_str(), 1);
        KCRCrashReporter reporter("hooks-test", "1.0", std::nullopt, KCRCrashReporterConfig());
        if (!reporter.enableCrashReporter())
            _exit(3);
        std::ofstream(pathFile) << reporter.crashReportPath();
        BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
            BEACCrashesUncaughtCXXExceptionCallback);
        std::exception_ptr caught;
        try {
            thrower(std::runtime_error("boom"));
        } catch (...) {
            std::ofstream(siteFile) << gThrowerReturn;
            caught = std::current_exception();
        }
        std::rethrow_exception(caught);
    });
    ASSERT_EQ(lines, (std::vector<std::string>{"signal 6"}));
    std::vector<std::string> path = readLines(pathFile);
    ASSERT_EQ(path.size(), 1u);
    auto report = kcrtest::decodeFile(path[0]);
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::runtime_error");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "boom");
    const uint64_t site = std::stoull(readLines(siteFile).at(0));
    bool found = false;
    for (const auto& frame : report->exceptionInfo()->stackFrames())
        found = found || frame->instructionPointer() == site;
    EXPECT_TRUE(found) << "the throw site is not among the exception's frames";
}

namespace {

std::vector<std::string> gReports;

void reportSink(const plat::Exception& exception) {
    gReports.push_back(exception.name() + " after " +
                       std::to_string(plat::appkit::Application::shared().reportedExceptionCount()));
}

class ApplicationForwarderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", dir_.str().c_str(), 1);
        plat::UserDefaults::resetStandardUserDefaults();
        plat::appkit::InterceptionTable::shared().reset();
        gReports.clear();
    }
    void TearDown() override {
        plat::appkit::InterceptionTable::shared().reset();
        plat::Bundle::mainBundle().setInfoDictionary(std::nullopt);
        plat::UserDefaults::standardUserDefaults()->setObject(std::nullopt, kBEACCrashOnExceptionsKey);
        plat::UserDefaults::resetStandardUserDefaults();
    }
    void configure(std::optional<bool> forwarderEnabled, std::optional<bool> crashOnExceptions) {
        plat::Dictionary info;
        if (forwarderEnabled)
            info.set(kBEACApplicationForwarderEnabledKey, plat::Value(*forwarderEnabled));
        plat::Bundle::mainBundle().setInfoDictionary(info);
        plat::UserDefaults::standardUserDefaults()->setObject(
            crashOnExceptions ? std::optional<plat::Value>(plat::Value(*crashOnExceptions)) : std::nullopt,
            kBEACCrashOnExceptionsKey);
    }
    testsupport::TempDir dir_;
};

}  // namespace

TEST_F(ApplicationForwarderTest, WrapsOnlyWhenBothSwitchesAllowIt) {
    struct Case {
        std::optional<bool> forwarderEnabled;
        std::optional<bool> crashOnExceptions;
        bool wrapped;
    };
    const Case cases[] = {
        {false, true, false}, {std::nullopt, std::nullopt, false},
        {true, false, false}, {std::nullopt, true, true},
        {true, true, true},
    };
    for (const Case& c : cases) {
        plat::appkit::InterceptionTable::shared().reset();
        gReports.clear();
        configure(c.forwarderEnabled, c.crashOnExceptions);
        BEACApplicationForwarder::registerForwarding(reportSink);
        plat::appkit::Application::shared().reportException(plat::Exception("Reported", "r"));
        EXPECT_EQ(gReports.size(), c.wrapped ? 1u : 0u)
            << c.forwarderEnabled.value_or(-1) << " " << c.crashOnExceptions.value_or(-1);
    }
}

// An exception of the platform escaping an event is reported (the service
// first) and stops there; a native one goes on. Registering twice wraps once.
TEST_F(ApplicationForwarderTest, EventExceptionsReachTheServiceBeforeTheApplication) {
    configure(true, true);
    auto& table = plat::appkit::InterceptionTable::shared();
    auto& application = plat::appkit::Application::shared();
    bool throwPlatform = true;
    table.install(application, "sendEvent:", "event handler",
                  [&](plat::appkit::Responder&, const auto&) -> plat::Value {
                      if (throwPlatform)
                          throw plat::Exception("EventException", "raised by a handler");
                      throw std::runtime_error("native");
                  });
    BEACApplicationForwarder::registerForwarding(reportSink);
    BEACApplicationForwarder::registerForwarding(reportSink);
    const uint64_t before = application.reportedExceptionCount();
    EXPECT_NO_THROW(application.sendEvent("click"));
    EXPECT_EQ(gReports, (std::vector<std::string>{"EventException after " + std::to_string(before)}));
    EXPECT_EQ(application.reportedExceptionCount(), before + 1);
    throwPlatform = false;
    EXPECT_THROW(application.sendEvent("click"), std::runtime_error);
    EXPECT_EQ(gReports.size(), 1u);
}
