#include "beacon/crashes/BEACCrashes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RecordingChannelUnit.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/PipelineTestSupport.h"
#include "beacon/crashes/BEACCrashesLogBuffer.h"
#include "beacon/crashes/BEACCrashesUtil.h"
#include "beacon/crashes/BEACWrapperCrashesHelper.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "beacon/crashes/detail/BEACCrashesState.h"
#include "crashcapture/CrashReportBuilder.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Text.h"

namespace {

namespace fs = std::filesystem;
using namespace beactest;

constexpr const char* kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

// What the stand-in crash reporters share with the test.
struct ReporterWorld {
    std::optional<plat::Data> pending;
    int purges = 0;
    int enables = 0;
    std::vector<uint64_t> madeWithTypes;
    std::vector<bool> madeWithUncaughtFlag;
    bool callbacksSet = false;
    bool installsHandler = true;
};
ReporterWorld gWorld;

int gCaptured = 0;
void crashCaptureHandler(const plat::Exception&) {
    ++gCaptured;
}

class FakeReporter : public BEACCrashReporterPort {
  public:
    explicit FakeReporter(const KCRCrashReporterConfig& configuration) : configuration_(configuration) {}
    const KCRCrashReporterConfig& configuration() const override { return configuration_; }
    void setCrashCallbacks(const KCRCrashReporterCallbacks& callbacks) override {
        gWorld.callbacksSet = callbacks.handleSignal == BEACCrashesLogBuffer::crashCallback;
    }
    bool enableCrashReporter(plat::ErrorPtr*) override {
        ++gWorld.enables;
        if (gWorld.installsHandler && configuration_.shouldRegisterUncaughtExceptionHandler())
            plat::appkit::setUncaughtExceptionHandler(crashCaptureHandler);
        return true;
    }
    bool hasPendingCrashReport() const override { return gWorld.pending.has_value(); }
    std::optional<plat::Data> loadPendingCrashReportData(plat::ErrorPtr*) const override {
        return gWorld.pending;
    }
    bool purgePendingCrashReport() const override {
        ++gWorld.purges;
        gWorld.pending.reset();
        return true;
    }

  private:
    KCRCrashReporterConfig configuration_;
};

struct Enqueued {
    std::string groupId;
    BEACLogPtr log;
    uint64_t flags;
};

class Recorder : public BEACChannelDelegate {
  public:
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log, const std::string&,
                              uint64_t flags) override {
        std::lock_guard lock(mutex);
        enqueued.push_back({unit.configuration().groupId(), log, flags});
    }
    std::vector<Enqueued> all() {
        std::lock_guard lock(mutex);
        return enqueued;
    }
    std::vector<std::string> types() {
        std::vector<std::string> result;
        for (const auto& e : all())
            result.push_back(e.log->type.value_or("") + "/" + e.groupId + "/" + std::to_string(e.flags));
        return result;
    }
    std::mutex mutex;
    std::vector<Enqueued> enqueued;
};

class TestDelegate : public BEACCrashesDelegate {
  public:
    std::optional<bool> shouldProcessErrorReport(BEACCrashes&,
                                                 const std::shared_ptr<BEACErrorReport>&) override {
        ++asked;
        return process;
    }
    std::optional<std::vector<std::shared_ptr<BEACErrorAttachmentLog>>> attachmentsForErrorReport(
        BEACCrashes&, const std::shared_ptr<BEACErrorReport>&) override {
        return attachments;
    }
    void willSendErrorReport(BEACCrashes&, const std::shared_ptr<BEACErrorReport>& report) override {
        willSend.push_back(report->incidentIdentifier().value_or(""));
        onMainThread = plat::dispatch::MainLoop::isMainThread();
    }
    std::optional<bool> process;
    int asked = 0;
    std::optional<std::vector<std::shared_ptr<BEACErrorAttachmentLog>>> attachments;
    std::vector<std::string> willSend;
    bool onMainThread = false;
};

kcrtest::Bytes reportBytes(uint8_t uuidSeed = 0x5F) {
    kcrtest::CrashReport report = kcrtest::CrashReport::full();
    if (report.reportInfo && report.reportInfo->uuid)
        (*report.reportInfo->uuid)[0] = uuidSeed;
    return kcrtest::packFile(report);
}

plat::Data asData(const kcrtest::Bytes& bytes) {
    return plat::Data(bytes.data(), bytes.size());
}

class CrashesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        gWorld = ReporterWorld();
        resetShared();
        BEACCrashes::setCrashReporterFactory(
            [](const KCRCrashReporterConfig& configuration) -> std::shared_ptr<BEACCrashReporterPort> {
                gWorld.madeWithTypes.push_back(configuration.signalHandlerType());
                gWorld.madeWithUncaughtFlag.push_back(configuration.shouldRegisterUncaughtExceptionHandler());
                return std::make_shared<FakeReporter>(configuration);
            });
        BEACCrashes::setDebuggerProbe([this] { return debugger; });
        BEACCrashes::setProcessingClock(processingClock);
        BEACDependencyConfiguration::setClock(groupClock);
        BEACDependencyConfiguration::setIngestionFactory(
            [](const std::string&, const std::string&) { return std::make_shared<FakeIngestion>(); });
    }
    void TearDown() override {
        drain();
        BEACDependencyConfiguration::setIngestionFactory(nullptr);
        BEACDependencyConfiguration::setClock(nullptr);
        BEACCrashes::setCrashReporterFactory(nullptr);
        BEACCrashes::setDebuggerProbe(nullptr);
        BEACCrashes::setProcessingClock(nullptr);
        plat::appkit::setUncaughtExceptionHandler(nullptr);
        BEACWrapperCrashesHelper::setCrashHandlerSetupDelegate({});
        resetShared();
    }
    static void resetShared() {
        BEACBeacon::resetSharedInstance();
        BEACCrashes::resetSharedInstance();
        BEACCrashesUtil::resetDirectory();
        BEACCrashesLogBuffer::resetForTesting();
        BEACWrapperExceptionManager::clearCache();
        BEACSessionContext::resetSharedInstance();
        BEACUserIdContext::resetSharedInstance();
    }
    // Starts the SDK with the crash service, as a launch does (a later
    // launch first resets the service: relaunch()).
    std::shared_ptr<BEACCrashes> launch() {
        crashes = BEACCrashes::sharedInstance();
        BEACBeacon::resetSharedInstance();
        BEACBeacon::start(kSecret, std::vector<BEACServiceClass>{BEACCrashes::serviceClass()});
        recorder = std::make_shared<Recorder>();
        BEACBeacon::sharedInstance()->channelGroup()->addDelegate(recorder);
        return crashes;
    }
    std::shared_ptr<BEACCrashes> relaunch() {
        drain();
        BEACCrashes::resetSharedInstance();
        BEACCrashesUtil::resetDirectory();
        return launch();
    }
    void drain() {
        BEACCrashesProcessingQueue().sync([] {});
        if (auto group = BEACBeacon::sharedInstance()->channelGroup())
            group->queue().sync([] {});
    }
    // The delayed pass: one second later on its own clock.
    void runDelayedPass() {
        processingClock->advance(1.0);
        drain();
    }
    fs::path crashesFolder() const { return sdk.dir() / "sdk" / "crashes"; }
    std::vector<std::string> storedReports() const {
        std::vector<std::string> names;
        if (fs::exists(crashesFolder()))
            for (const auto& entry : fs::directory_iterator(crashesFolder()))
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void storeReport(const std::string& name, const kcrtest::Bytes& bytes) {
        fs::create_directories(crashesFolder());
        std::ofstream(crashesFolder() / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    TestBundle bundle;
    SandboxedSDK sdk;
    ManualNow now;
    std::shared_ptr<plat::dispatch::ManualClock> processingClock =
        std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<plat::dispatch::ManualClock> groupClock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<BEACCrashes> crashes;
    std::shared_ptr<Recorder> recorder;
    bool debugger = false;
};

}  // namespace

// A crash, then a launch: the pending report is stored under whole seconds,
// known as the last session's crash, and one second later sent once.
TEST_F(CrashesTest, PendingReportIsStoredAndSentOnceAfterOneSecond) {
    gWorld.pending = asData(reportBytes());
    launch();
    EXPECT_TRUE(BEACCrashes::hasCrashedInLastSession());
    ASSERT_TRUE(BEACCrashes::lastSessionCrashReport());
    EXPECT_EQ(storedReports().size(), 1u);
    EXPECT_FALSE(gWorld.pending);
    EXPECT_TRUE(gWorld.callbacksSet);
    EXPECT_TRUE(recorder->all().empty());

    runDelayedPass();
    EXPECT_EQ(recorder->types(), (std::vector<std::string>{"appleError/Crashes/2"}));
    EXPECT_TRUE(storedReports().empty());
    EXPECT_EQ(BEACCrashes::lastSessionCrashReport()->incidentIdentifier(),
              std::static_pointer_cast<BEACAppleErrorLog>(recorder->all()[0].log)->errorId);
    runDelayedPass();
    EXPECT_EQ(recorder->all().size(), 1u);
}

// The application becoming visible again starts the pass when report files
// wait for it (as after a pass skipped in the background); with none waiting,
// or once the service is off, it starts nothing.
TEST_F(CrashesTest, UnhidingTheApplicationStartsThePassForWaitingReports) {
    launch();
    EXPECT_TRUE(crashes->crashFiles().empty());
    storeReport("1700000000", reportBytes());
    auto& app = plat::appkit::Application::shared();
    app.setHidden(true);
    app.unhide();  // nothing listed as waiting
    runDelayedPass();
    EXPECT_TRUE(recorder->all().empty());

    crashes->setCrashFiles(crashes->persistedCrashReports());
    ASSERT_EQ(crashes->crashFiles().size(), 1u);
    runDelayedPass();
    EXPECT_TRUE(recorder->all().empty());  // only unhiding starts it
    app.setHidden(true);
    app.unhide();
    runDelayedPass();
    EXPECT_EQ(recorder->types(), (std::vector<std::string>{"appleError/Crashes/2"}));
    app.reset();
}

TEST_F(CrashesTest, UnhidingADisabledServiceStartsNothing) {
    launch();
    crashes->setEnabled(false);
    drain();
    storeReport("1700000000", reportBytes());
    crashes->setCrashFiles(crashes->persistedCrashReports());
    auto& app = plat::appkit::Application::shared();
    app.setHidden(true);
    app.unhide();
    runDelayedPass();
    EXPECT_TRUE(recorder->all().empty());
    EXPECT_EQ(storedReports().size(), 1u);  // no pass ran to discard it
    app.reset();
}

// Two launches in one second both keep their report.
TEST_F(CrashesTest, ReportsOfTheSameSecondAreNotOverwritten) {
    gWorld.pending = asData(reportBytes(1));
    launch();
    gWorld.pending = asData(reportBytes(2));
    relaunch();
    EXPECT_EQ(storedReports().size(), 2u);
    runDelayedPass();
    EXPECT_EQ(recorder->types(), (std::vector<std::string>{"appleError/Crashes/2", "appleError/Crashes/2"}));
}

// A launch that died reading the pending report left the marker: the report
// is dropped instead of read again.
TEST_F(CrashesTest, AnalyzerMarkerDropsThePendingReport) {
    fs::create_directories(crashesFolder());
    std::ofstream(crashesFolder() / kBEACAnalyzerFileName);
    gWorld.pending = asData(reportBytes());
    launch();
    EXPECT_FALSE(gWorld.pending);
    EXPECT_TRUE(storedReports().empty());
    EXPECT_FALSE(BEACCrashes::lastSessionCrashReport());
}

TEST_F(CrashesTest, SwitchingOnAtRunTimeDiscardsTheCrashOfTheOffPeriod) {
    launch();
    crashes->setEnabled(false);
    gWorld.pending = asData(reportBytes());
    crashes->setEnabled(true);
    EXPECT_FALSE(gWorld.pending);
    EXPECT_TRUE(storedReports().empty());
    runDelayedPass();
    EXPECT_TRUE(recorder->all().empty());
}

// Crash capture is set up once per process: not again at a later enabling,
// and never when a debugger is attached at the first one.
TEST_F(CrashesTest, CrashCaptureIsSetUpOnceWithTheChosenHandlerType) {
    struct Case {
        bool disableMachFirst;
        bool debuggerAtFirst;
        uint64_t type;
        int enables;
    };
    for (const Case& c : {Case{false, false, KCRCrashReporterSignalHandlerTypeMach, 1},
                          Case{true, false, KCRCrashReporterSignalHandlerTypeBSD, 1},
                          Case{false, true, KCRCrashReporterSignalHandlerTypeMach, 0}}) {
        gWorld = ReporterWorld();
        plat::appkit::setUncaughtExceptionHandler(nullptr);
        BEACCrashes::resetSharedInstance();
        if (c.disableMachFirst)
            BEACCrashes::disableMachExceptionHandler();
        debugger = c.debuggerAtFirst;
        crashes = BEACCrashes::sharedInstance();
        BEACBeacon::resetSharedInstance();
        BEACBeacon::start(kSecret, std::vector<BEACServiceClass>{BEACCrashes::serviceClass()});
        debugger = false;
        BEACCrashes::disableMachExceptionHandler();
        crashes->setEnabled(false);
        crashes->setEnabled(true);
        EXPECT_EQ(gWorld.madeWithTypes, std::vector<uint64_t>{c.type});
        EXPECT_EQ(gWorld.enables, c.enables);
        EXPECT_EQ(crashes->exceptionHandler() != nullptr, !c.debuggerAtFirst);
    }
}

namespace {

class SetupDelegate : public BEACCrashHandlerSetupDelegate {
  public:
    std::optional<bool> shouldEnableUncaughtExceptionHandler() override { return enable; }
    void willSetUpCrashHandlers() override { calls.push_back("will"); }
    void didSetUpCrashHandlers() override { calls.push_back("did"); }
    std::optional<bool> enable;
    std::vector<std::string> calls;
};

}  // namespace

// The uncaught-exception handler crash capture installs is kept; a wrapper
// runtime may keep crash capture from installing one.
TEST_F(CrashesTest, WrapperDecidesOnTheUncaughtExceptionHandler) {
    auto setup = std::make_shared<SetupDelegate>();
    setup->enable = false;
    BEACWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
    plat::appkit::setUncaughtExceptionHandler(crashCaptureHandler);  // the wrapper's own
    launch();
    EXPECT_EQ(gWorld.madeWithUncaughtFlag, std::vector<bool>{false});
    EXPECT_EQ(setup->calls, (std::vector<std::string>{"will", "did"}));
    EXPECT_EQ(crashes->exceptionHandler(), crashCaptureHandler);
}

TEST_F(CrashesTest, DisablingDeletesReportsBuffersAndFlags) {
    launch();
    storeReport("700000000", reportBytes());
    BEACWrapperExceptionManager::saveWrapperException(std::make_shared<BEACWrapperException>());
    const fs::path buffer = sdk.dir() / "sdk" / "crasheslogbuffer" / "0.bccrasheslogbuffer";
    std::ofstream(buffer) << "buffered";
    crashes->didReceiveMemoryWarning();
    gWorld.pending = asData(reportBytes());

    crashes->setEnabled(false);
    EXPECT_TRUE(storedReports().empty());
    EXPECT_FALSE(fs::exists(sdk.dir() / "sdk" / kBEACWrapperExceptionsDirectory));
    EXPECT_EQ(fs::file_size(buffer), 0u);
    EXPECT_FALSE(gWorld.pending);
    EXPECT_FALSE(BEACBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning"));
    // A disabled service never waits for a pass.
    EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
}

TEST_F(CrashesTest, DisablingBeforeAnyReporterExistsStillCleansUp) {
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(false), "CrashesIsEnabled");
    storeReport("700000000", reportBytes());
    launch();
    EXPECT_EQ(gWorld.madeWithTypes.size(), 0u);
    crashes->applyEnabledState(false);
    EXPECT_TRUE(storedReports().empty());
}

TEST_F(CrashesTest, ListingKeepsOnlyNonEmptyReportFiles) {
    storeReport("700000001", reportBytes());
    storeReport("700000002", {});
    for (const char* name : {"a.plist", "b.meta", "c.desc", "d.data", ".DS_Store", "BCCrashes.analyzer"})
        storeReport(name, reportBytes());
    fs::create_directories(crashesFolder() / "folder");
    launch();
    std::vector<std::string> files = crashes->crashFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(plat::text::lastPathComponent(files[0]), "700000001");
}

TEST_F(CrashesTest, DelegateRefusalDeletesTheReportWithoutAskingTheUser) {
    auto delegate = std::make_shared<TestDelegate>();
    delegate->process = false;
    BEACCrashes::setDelegate(delegate);
    bool asked = false;
    BEACCrashes::setUserConfirmationHandler([&](const auto&) { return asked = true; });
    storeReport("700000000", reportBytes());
    launch();
    runDelayedPass();
    EXPECT_EQ(delegate->asked, 1);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(storedReports().empty());
    EXPECT_TRUE(recorder->all().empty());
}

// The user's answers: reports wait for them on disk.
TEST_F(CrashesTest, UserConfirmationDecidesWhatIsSent) {
    struct Case {
        int answer;
        size_t sent;
        bool always;
    };
    for (const Case& c :
         {Case{BEACUserConfirmationDontSend, 0, false}, Case{BEACUserConfirmationSend, 1, false},
          Case{BEACUserConfirmationAlways, 1, true}, Case{7, 1, false}}) {
        BEACBeaconUserDefaults::shared()->removeObjectForKey(kBEACUserConfirmationKey);
        int asked = 0;
        BEACCrashes::resetSharedInstance();
        BEACCrashes::setUserConfirmationHandler(
            [&](const std::vector<std::shared_ptr<BEACErrorReport>>& reports) {
                EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
                EXPECT_EQ(reports.size(), 1u);
                ++asked;
                return true;
            });
        storeReport("700000000", reportBytes());
        launch();
        processingClock->advance(1.0);
        ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return asked > 0; }, 10));
        drain();
        EXPECT_EQ(storedReports().size(), 1u) << "waits for the answer";
        EXPECT_TRUE(recorder->all().empty());
        BEACCrashes::notifyWithUserConfirmation(static_cast<BEACUserConfirmation>(c.answer));
        BEACCrashes::notifyWithUserConfirmation(
            static_cast<BEACUserConfirmation>(c.answer));  // no second send
        drain();
        EXPECT_EQ(recorder->all().size(), c.sent) << c.answer;
        EXPECT_TRUE(storedReports().empty()) << c.answer;
        EXPECT_EQ(BEACBeaconUserDefaults::shared()->objectForKey(kBEACUserConfirmationKey).has_value(),
                  c.always);

        if (c.always) {  // later passes send without asking
            BEACCrashes::resetSharedInstance();
            BEACCrashes::setUserConfirmationHandler([&](const auto&) { return ++asked > 0; });
            storeReport("700000001", reportBytes());
            launch();
            runDelayedPass();
            EXPECT_EQ(asked, 1);
            EXPECT_EQ(recorder->all().size(), 1u);
        }
    }
}

TEST_F(CrashesTest, UnansweredReportsAreFoundAgainAtTheNextLaunch) {
    bool asked = false;
    BEACCrashes::setUserConfirmationHandler([&](const auto&) { return asked = true; });
    storeReport("700000000", reportBytes());
    launch();
    processingClock->advance(1.0);
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return asked; }, 10));
    drain();
    BEACCrashes::resetSharedInstance();
    BEACCrashes::setUserConfirmationHandler(nullptr);
    launch();
    runDelayedPass();
    EXPECT_EQ(recorder->all().size(), 1u);
}

TEST_F(CrashesTest, ConfirmationWithoutHandlerOrPassIsIgnored) {
    launch();
    BEACCrashes::notifyWithUserConfirmation(BEACUserConfirmationSend);
    EXPECT_TRUE(recorder->all().empty());
}

// Attachments carry the incident's id; the size limit is inclusive; one
// without a content type is dropped; one without device gets the log's.
TEST_F(CrashesTest, AttachmentsAreCheckedAndLimitedInSize) {
    auto delegate = std::make_shared<TestDelegate>();
    auto exact = BEACErrorAttachmentLog::attachmentWithBinary(
        plat::Data(std::vector<uint8_t>(kBEACMaxAttachmentSize, 1)), "exact.bin", "application/octet-stream");
    auto over = BEACErrorAttachmentLog::attachmentWithBinary(
        plat::Data(std::vector<uint8_t>(kBEACMaxAttachmentSize + 1, 1)), "over.bin",
        "application/octet-stream");
    auto untyped = BEACErrorAttachmentLog::attachmentWithText("text", "t.txt");
    untyped->contentType.reset();
    delegate->attachments = std::vector<std::shared_ptr<BEACErrorAttachmentLog>>{exact, over, untyped};
    BEACCrashes::setDelegate(delegate);
    storeReport("700000000", reportBytes());
    launch();
    runDelayedPass();
    std::vector<Enqueued> all = recorder->all();
    ASSERT_EQ(all.size(), 2u);
    auto log = std::dynamic_pointer_cast<BEACAppleErrorLog>(all[0].log);
    auto attachment = std::dynamic_pointer_cast<BEACErrorAttachmentLog>(all[1].log);
    ASSERT_TRUE(log && attachment);
    EXPECT_EQ(attachment->filename, "exact.bin");
    EXPECT_EQ(attachment->errorId, log->errorId);
    EXPECT_EQ(all[1].flags, 1u);
    EXPECT_EQ(attachment->device, log->device);
}

TEST_F(CrashesTest, HandledErrorsWithPropertiesAndAttachments) {
    EXPECT_FALSE(BEACWrapperCrashesHelper::trackModelException(std::make_shared<BEACException>(), {}, {}));
    launch();
    plat::Dictionary properties{{"a", plat::Value("1")}, {"b", plat::Value("2")}, {"c", plat::Value("3")}};
    auto id = BEACWrapperCrashesHelper::trackModelException(
        std::make_shared<BEACException>(), properties,
        {BEACErrorAttachmentLog::attachmentWithText("one", "1.txt"),
         BEACErrorAttachmentLog::attachmentWithText("two", "2.txt")});
    ASSERT_TRUE(id);
    std::vector<Enqueued> all = recorder->all();
    ASSERT_EQ(all.size(), 3u);
    auto handled = std::dynamic_pointer_cast<BEACHandledErrorLog>(all[0].log);
    ASSERT_TRUE(handled);
    EXPECT_EQ(handled->errorId, id);
    EXPECT_EQ(handled->properties->size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(std::dynamic_pointer_cast<BEACErrorAttachmentLog>(all[i].log)->errorId, id);
        EXPECT_EQ(all[i].flags, 1u);
    }
    EXPECT_EQ(all[0].flags, 1u);

    plat::Dictionary many;
    for (int i = 0; i < 25; ++i)
        many.set("key" + std::to_string(i), plat::Value("v"));
    BEACWrapperCrashesHelper::trackModelException(std::make_shared<BEACException>(), many, {});
    EXPECT_EQ(std::dynamic_pointer_cast<BEACHandledErrorLog>(recorder->all().back().log)->properties->size(),
              20u);

    crashes->setEnabled(false);
    EXPECT_FALSE(BEACWrapperCrashesHelper::trackModelException(std::make_shared<BEACException>(), {}, {}));
}

// With automatic processing off, the wrapper picks the reports to keep.
TEST_F(CrashesTest, WrapperFiltersWaitingReports) {
    BEACWrapperCrashesHelper::setAutomaticProcessing(false);
    storeReport("700000000", reportBytes(1));
    storeReport("700000001", reportBytes(2));
    launch();
    BEACWrapperCrashesHelper::setAutomaticProcessing(false);
    runDelayedPass();
    std::vector<std::shared_ptr<BEACErrorReport>> waiting =
        BEACWrapperCrashesHelper::unprocessedCrashReports();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_FALSE(BEACWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
        {*waiting[1]->incidentIdentifier()}));
    EXPECT_EQ(storedReports(), std::vector<std::string>{"700000001"});
    BEACCrashes::notifyWithUserConfirmation(BEACUserConfirmationSend);
    EXPECT_EQ(recorder->all().size(), 1u);
    EXPECT_TRUE(storedReports().empty());

    BEACWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({});
    EXPECT_TRUE(BEACWrapperCrashesHelper::unprocessedCrashReports().empty());
}

TEST_F(CrashesTest, MemoryWarningIsReportedByTheNextLaunchOnce) {
    launch();
    plat::appkit::MemoryPressureSource::simulate(plat::appkit::MemoryPressureLevel::Warning);
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil(
        [] {
            return BEACBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning").has_value();
        },
        10));
    relaunch();
    EXPECT_TRUE(BEACCrashes::hasReceivedMemoryWarningInLastSession());
    relaunch();
    EXPECT_FALSE(BEACCrashes::hasReceivedMemoryWarningInLastSession());
}

// Only crash logs reach the delegate's send callbacks, on the main thread.
TEST_F(CrashesTest, SendCallbacksReachTheDelegateForCrashLogsOnly) {
    auto delegate = std::make_shared<TestDelegate>();
    BEACCrashes::setDelegate(delegate);
    launch();
    auto log = std::make_shared<BEACAppleErrorLog>();
    log->errorId = "E1";
    crashtest::RecordingChannelUnit unit(BEACChannelUnitConfiguration("Crashes", 2, 1, 1, 3));
    std::thread([&] {
        crashes->channelWillSendLog(unit, log);
        crashes->channelWillSendLog(unit, std::make_shared<BEACHandledErrorLog>());
    }).join();
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return !delegate->willSend.empty(); }, 10));
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(delegate->willSend, std::vector<std::string>{"E1"});
    EXPECT_TRUE(delegate->onMainThread);
}

// Before the SDK is started a test crash only logs. Exceptions the
// application object reports reach the handler saved at enabling, unless a
// debugger is attached.
TEST_F(CrashesTest, TestCrashBeforeStartAndReportedExceptions) {
    BEACCrashes::generateTestCrash();  // returns: nothing is started
    launch();
    ASSERT_EQ(crashes->exceptionHandler(), crashCaptureHandler);
    gCaptured = 0;
    BEACCrashes::applicationDidReportException(plat::Exception("Reported", "r"));
    EXPECT_EQ(gCaptured, 1);
    debugger = true;
    BEACCrashes::applicationDidReportException(plat::Exception("Reported", "r"));
    EXPECT_EQ(gCaptured, 1);
}

// A reconfiguration re-reads the buffer but adds no second "CrashesBuffer"
// unit.
TEST_F(CrashesTest, ReconfigurationAndReEnablingDuplicateNothing) {
    launch();
    auto unit = crashes->bufferChannelUnit();
    crashes->updateConfiguration(kSecret, std::nullopt);
    crashes->applyEnabledState(true);
    EXPECT_EQ(crashes->bufferChannelUnit(), unit);
    size_t bufferUnits = 0;
    for (const auto& channel : BEACBeacon::sharedInstance()->channelGroup()->channels())
        bufferUnits += channel->configuration().groupId() == "CrashesBuffer" ? 1 : 0;
    EXPECT_EQ(bufferUnits, 1u);
}

// The service switches itself on without its state lock held, inside the
// facade's start: the wrapper's set-up callbacks may ask the service and the
// facade anything.
TEST_F(CrashesTest, SetUpCallbacksMayAskTheServiceAndTheFacade) {
    struct Asking : SetupDelegate {
        void willSetUpCrashHandlers() override {
            auto service = BEACCrashes::sharedInstance();
            mach = service->isMachExceptionHandlerEnabled();
            hadReporter = service->crashReporter() != nullptr;
            service->setAutomaticProcessingEnabled(service->isAutomaticProcessingEnabled());
            crashed = BEACCrashes::hasCrashedInLastSession();
            installId = BEACBeacon::installId().UUIDString();
            sdkEnabled = BEACBeacon::isEnabled();
            SetupDelegate::willSetUpCrashHandlers();
        }
        void didSetUpCrashHandlers() override {
            hasReporter = BEACCrashes::sharedInstance()->crashReporter() != nullptr;
            SetupDelegate::didSetUpCrashHandlers();
        }
        bool mach = false, hadReporter = true, crashed = true, sdkEnabled = false, hasReporter = false;
        std::string installId;
    };
    auto setup = std::make_shared<Asking>();
    BEACWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
    launch();
    EXPECT_EQ(setup->calls, (std::vector<std::string>{"will", "did"}));
    EXPECT_TRUE(setup->mach);
    EXPECT_FALSE(setup->hadReporter);
    EXPECT_TRUE(setup->hasReporter);
    EXPECT_FALSE(setup->crashed);
    EXPECT_TRUE(setup->sdkEnabled);
    EXPECT_EQ(setup->installId, BEACBeacon::installId().UUIDString());
}
