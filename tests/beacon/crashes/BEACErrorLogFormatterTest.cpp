// The crash report formatter: exact JSON of a full crash log, times,
// architecture, frames, registers, binaries, anonymised paths, image types,
// the selector look-up over a fake image list, the crash-time device and
// wrapper exceptions.
#include <cstring>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/crashes/BEACErrorLogFormatter.h"
#include "beacon/crashes/BEACLoadedImages.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "crashcapture/CrashReportBuilder.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

using F = BEACErrorLogFormatter;

// A report made from parts, for what the file format cannot express
// (fractions of seconds, absent timestamps).
struct Parts {
    std::optional<plat::Date> timestamp = plat::Date::fromTimeIntervalSince1970(1700000000);
    int32_t operatingSystem = 3;
    std::vector<KCRCrashReportThreadInfoPtr> threads;
    std::vector<KCRCrashReportBinaryImageInfoPtr> images;
    std::shared_ptr<const KCRCrashReportProcessInfo> processInfo;
    std::shared_ptr<const KCRCrashReportMachineInfo> machineInfo;
    std::shared_ptr<const KCRCrashReportExceptionInfo> exceptionInfo;
    std::optional<plat::UUID> uuid;

    KCRCrashReportPtr build() const {
        KCRCrashReport::Contents c;
        c.systemInfo = std::make_shared<KCRCrashReportSystemInfo>(
            operatingSystem, "6.1.0", std::nullopt, 6,
            std::make_shared<KCRCrashReportProcessorInfo>(1, BEACCPUTypeX86_64, 3), timestamp);
        c.applicationInfo =
            std::make_shared<KCRCrashReportApplicationInfo>("com.example.app", "7", std::nullopt);
        c.signalInfo = std::make_shared<KCRCrashReportSignalInfo>("SIGSEGV", "SEGV_MAPERR", 0x1a2b);
        c.threads = threads.empty() ? std::vector{thread(0, true, {0x1000})} : threads;
        c.images = images.empty() ? std::vector{image(0x1000, 0x100, "/usr/bin/app")} : images;
        c.processInfo = processInfo;
        c.machineInfo = machineInfo;
        c.exceptionInfo = exceptionInfo;
        c.uuid = uuid;
        return std::make_shared<KCRCrashReport>(std::move(c));
    }

    static KCRCrashReportThreadInfoPtr thread(int64_t number, bool crashed, std::vector<uint64_t> pcs,
                                              std::vector<std::pair<std::string, uint64_t>> regs = {}) {
        std::vector<KCRCrashReportStackFrameInfoPtr> frames;
        for (uint64_t pc : pcs)
            frames.push_back(std::make_shared<KCRCrashReportStackFrameInfo>(pc, nullptr));
        std::vector<KCRCrashReportRegisterInfoPtr> registers;
        for (auto& [name, value] : regs)
            registers.push_back(std::make_shared<KCRCrashReportRegisterInfo>(name, value));
        return std::make_shared<KCRCrashReportThreadInfo>(number, std::move(frames), crashed,
                                                          std::move(registers));
    }
    static KCRCrashReportBinaryImageInfoPtr image(uint64_t base, uint64_t size, std::string name,
                                                  std::optional<std::vector<uint8_t>> uuid = std::nullopt,
                                                  KCRCrashReportProcessorInfoPtr code = nullptr) {
        return std::make_shared<KCRCrashReportBinaryImageInfo>(std::move(code), base, size, std::move(name),
                                                               uuid);
    }
    static std::shared_ptr<const KCRCrashReportProcessInfo> process(std::optional<std::string> path) {
        return std::make_shared<KCRCrashReportProcessInfo>("app", 99, std::move(path), std::nullopt, "init",
                                                           1, true);
    }
};

class BEACErrorLogFormatterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        beac::crashes::registerCodableClasses();
        BEACDeviceTracker::resetSharedInstance();
        BEACWrapperExceptionManager::clearCache();
    }
    void TearDown() override {
        BEACLoadedImages::setCurrent(nullptr);
        BEACWrapperExceptionManager::clearCache();
        BEACDeviceTracker::resetSharedInstance();
    }
    beactest::SandboxedSDK sdk_;
};

TEST_F(BEACErrorLogFormatterTest, FullReportGivesExactCrashLogJSON) {
    auto report = kcrtest::decode(kcrtest::CrashReport::full());
    ASSERT_NE(report, nullptr);
    beactest::CapturingLog capture;
    auto log = F::errorLogFromCrashReport(*report);
    EXPECT_TRUE(log->isValid());
    auto json = log->serializeToDictionary();
    json.erase("device");  // the host's own description; checked below
    EXPECT_EQ(
        crashtest::jsonText(json),
        R"({"type":"appleError","timestamp":"2023-11-14T22:13:20.999Z","id":"5F1E2D3C-4B5A-4938-8796-A5B4C3D2E1F0",)"
        R"("processId":4242,"processName":"planner","parentProcessId":1,"parentProcessName":"systemd",)"
        R"("errorThreadId":1,"fatal":true,"appLaunchTimestamp":"2023-11-14T21:56:40.000Z",)"
        R"("primaryArchitectureId":16777223,"architectureVariantId":3,"applicationPath":"/opt/planner/bin/planner",)"
        R"("osExceptionType":"SIGABRT","osExceptionCode":"#-6","osExceptionAddress":"0x0",)"
        R"("exceptionType":"std::runtime_error","exceptionReason":"disk full","threads":[)"
        R"({"id":0,"frames":[{"address":"0x00007ffff7c91d36","code":"__futex_abstimed_wait_common + 166"},)"
        R"({"address":"0x0000555555556210","code":"0x555555554000 + 8720"}]},)"
        R"({"id":1,"frames":[{"address":"0x0000555555555a2b","code":"0x555555554000 + 6699"},)"
        R"({"address":"0x00007ffff7eae2f0","code":"0x7ffff7e00000 + 713456"},)"
        R"({"address":"0x00007ffff7c271ca","code":"__libc_start_call_main + 122"}],)"
        R"("exception":{"type":"std::runtime_error","message":"disk full",)"
        R"("frames":[{"address":"0x00007ffff7eae2f0"},{"address":"0x0000555555556210"}]}}],)"
        R"("binaries":[{"id":"0a1b2c3d4e5f60718293a4b5c6d7e8f9","startAddress":"0x0000555555554000",)"
        R"("endAddress":"0x0000555555558fff","name":"planner","path":"/opt/planner/bin/planner",)"
        R"("primaryArchitectureId":16777223,"architectureVariantId":3},)"
        R"({"id":"f9e8d7c6b5a4938271605f4e3d2c1b0a","startAddress":"0x00007ffff7c00000",)"
        R"("endAddress":"0x00007ffff7dc4fff","name":"libc.so.6","path":"/usr/lib/x86_64-linux-gnu/libc.so.6",)"
        R"("primaryArchitectureId":16777223,"architectureVariantId":3},)"
        R"({"id":"???","startAddress":"0x00007ffff7e00000","endAddress":"0x00007ffff7f9ffff",)"
        R"("name":"libstdc++.so.6","path":"/usr/lib/x86_64-linux-gnu/libstdc++.so.6",)"
        R"("primaryArchitectureId":16777223,"architectureVariantId":3}],)"
        R"("registers":{"rax":"0x0000000000000000","rbx":"0x00007fffffffe3a8","rcx":"0x0000000000000010",)"
        R"("rdx":"0x00007fffffffe3b8","rdi":"0x0000000000000000","rsi":"0x0000000000000001",)"
        R"("rbp":"0x00007fffffffe290","rsp":"0x00007fffffffe270","r8":"0x0000000000000000",)"
        R"("r9":"0x00007ffff7fcf680","rip":"0x0000555555555a2b"}})");

    // Report facts override the tracker's description.
    ASSERT_NE(log->device, nullptr);
    EXPECT_EQ(log->device->osVersion, "6.1.0-18-amd64");
    EXPECT_EQ(log->device->osBuild, "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1");
    EXPECT_EQ(log->device->model, "Standard PC (Q35 + ICH9, 2009)");
    EXPECT_EQ(log->device->appBuild, "210");
    EXPECT_EQ(log->device->appVersion, "2.1");
    EXPECT_EQ(log->device->appNamespace, "com.example.planner");
    auto stored = BEACDeviceTracker::sharedInstance()->device();
    EXPECT_EQ(log->device->sdkName, stored->sdkName);
    EXPECT_EQ(log->device->locale, stored->locale);

    // The report handed to the application says the same.
    auto errorReport = F::errorReportFromLog(*log);
    EXPECT_EQ(errorReport->incidentIdentifier(), "5F1E2D3C-4B5A-4938-8796-A5B4C3D2E1F0");
    EXPECT_EQ(errorReport->reporterKey(), BEACBeacon::installId().UUIDString());
    EXPECT_EQ(errorReport->signal(), "SIGABRT");
    EXPECT_EQ(errorReport->exceptionName(), "std::runtime_error");
    EXPECT_EQ(errorReport->appErrorTime(), log->timestamp);
    EXPECT_EQ(errorReport->appStartTime(), log->appLaunchTimestamp);
    EXPECT_EQ(errorReport->appProcessIdentifier(), 4242u);
    EXPECT_EQ(errorReport->device(), log->device);
    EXPECT_EQ(F::errorReportFromCrashReport(nullptr), nullptr);

    // Survives the log store's archive.
    auto back = crashtest::roundTrip<BEACAppleErrorLog>(log);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*log));
}

TEST_F(BEACErrorLogFormatterTest, CrashTimeMovesWholeSecondsAndKeepsAbsence) {
    const struct {
        std::optional<double> reported;
        std::optional<double> logged;
    } cases[] = {
        {1700000000.0, 1700000000.999},
        {1700000000.25, 1700000000.25},
        {2147483647.0, 2147483647.999},  // the last second of the 32-bit range
        {2147483648.0, 2147483648.0},    // beyond it whole seconds stay
        {4102444800.0, 4102444800.0},    // 2100
        {-1.0, -0.001},
        {std::nullopt, std::nullopt},  // never 1970
    };
    for (const auto& c : cases) {
        Parts parts;
        parts.timestamp =
            c.reported ? std::optional(plat::Date::fromTimeIntervalSince1970(*c.reported)) : std::nullopt;
        auto report = parts.build();
        auto time = F::getCrashTimeFromReport(*report);
        ASSERT_EQ(time.has_value(), c.logged.has_value());
        if (c.logged) {
            EXPECT_NEAR(time->timeIntervalSince1970(), *c.logged, 1e-6);
        }
        auto log = F::errorLogFromCrashReport(*report);
        EXPECT_EQ(log->timestamp.has_value(), c.logged.has_value());
        EXPECT_NE(log->device, nullptr);
        // Without process information the launch time is the report's own.
        EXPECT_EQ(log->appLaunchTimestamp, parts.timestamp);
    }
}

TEST_F(BEACErrorLogFormatterTest, MissingSectionsGiveDefaults) {
    Parts parts;
    parts.threads = {Parts::thread(4, false, {0x1000}, {{"rsi", 0x1010}})};
    parts.images = {Parts::image(0x1000, 0x100, "/usr/bin/app"),
                    Parts::image(0x9000, 0x100, "/usr/lib/libz.so")};
    parts.exceptionInfo = std::make_shared<KCRCrashReportExceptionInfo>(
        "", "boom", std::vector{std::make_shared<const KCRCrashReportStackFrameInfo>(0x1004, nullptr)});
    auto report = parts.build();
    auto log = F::errorLogFromCrashReport(*report);
    EXPECT_EQ(log->processId, 0);
    EXPECT_EQ(log->processName, "???");
    EXPECT_EQ(log->parentProcessName, "???");
    EXPECT_FALSE(log->parentProcessId);
    EXPECT_EQ(log->applicationPath, "???");
    EXPECT_EQ(log->errorThreadId, 0);
    EXPECT_TRUE(log->registers && log->registers->empty());
    EXPECT_FALSE(log->selectorRegisterValue);
    EXPECT_EQ(log->exceptionReason, "boom");
    ASSERT_EQ(log->threads->size(), 1u);
    EXPECT_EQ(log->threads->at(0)->exception, nullptr) << "no crashed thread carries the exception";
    // Every image is "other" without process information: only referenced ones.
    ASSERT_EQ(log->binaries->size(), 1u);
    EXPECT_EQ(log->binaries->at(0)->name, "app");

    // No report UUID: a fresh id each time.
    auto a = F::errorIdForCrashReport(*report);
    auto b = F::errorIdForCrashReport(*report);
    EXPECT_NE(a, b);
    EXPECT_TRUE(plat::UUID::fromString(a));
    EXPECT_EQ(a, plat::text::uppercaseString(a));

    // The exception record takes the signal's name when the exception has none.
    parts.threads = {Parts::thread(4, true, {0x1000})};
    auto threads = F::extractThreadsFromReport(*parts.build(), parts.threads[0], true);
    ASSERT_NE(threads.at(0)->exception, nullptr);
    EXPECT_EQ(threads[0]->exception->type, "SIGSEGV");
    EXPECT_EQ(threads[0]->exception->frames->at(0)->address, "0x0000000000001004");
    EXPECT_FALSE(threads[0]->exception->frames->at(0)->code);
}

TEST_F(BEACErrorLogFormatterTest, ArchitectureComesFromFirstMachImage) {
    auto mach = [](uint64_t type, uint64_t sub) {
        return std::make_shared<KCRCrashReportProcessorInfo>(1, type, sub);
    };
    Parts parts;
    parts.machineInfo = std::make_shared<KCRCrashReportMachineInfo>("Box", mach(BEACCPUTypeX86_64, 3), 1, 1);
    parts.images = {Parts::image(0x1000, 0x100, "/a", std::nullopt,
                                 std::make_shared<KCRCrashReportProcessorInfo>(0, 9, 9)),
                    Parts::image(0x2000, 0x100, "/b", std::nullopt, mach(BEACCPUTypeARM, 9)),
                    Parts::image(0x3000, 0x100, "/c", std::nullopt, mach(BEACCPUTypeARM64, 2))};
    auto log = F::errorLogFromCrashReport(*parts.build());
    EXPECT_EQ(log->primaryArchitectureId, BEACCPUTypeARM);
    EXPECT_EQ(log->architectureVariantId, 9u);
    EXPECT_EQ(log->threads->at(0)->frames->at(0)->address, "0x00001000") << "ARM is 32-bit";

    parts.images = {Parts::image(0x1000, 0x100, "/a")};
    parts.machineInfo.reset();
    log = F::errorLogFromCrashReport(*parts.build());
    EXPECT_EQ(log->primaryArchitectureId, 0u);
    EXPECT_EQ(log->architectureVariantId, 0u);
    EXPECT_FALSE(log->selectorRegisterValue);

    const std::pair<uint64_t, bool> types[] = {{BEACCPUTypeX86_64, true},
                                               {BEACCPUTypeARM64, true},
                                               {BEACCPUTypeX86, false},
                                               {BEACCPUTypeARM, false},
                                               {0, false},
                                               {0x2000007, false}};
    for (auto [type, wide] : types)
        EXPECT_EQ(F::isCodeType64bit(type), wide) << type;
}

TEST_F(BEACErrorLogFormatterTest, AddressTexts) {
    EXPECT_EQ(F::formatAddress(0x1a2b, true), "0x0000000000001a2b");
    EXPECT_EQ(F::formatAddress(0x1a2b, false), "0x00001a2b");
    EXPECT_EQ(F::formatAddress(0x123456789, false), "0x123456789");
    EXPECT_EQ(F::formatAddress(UINT64_MAX, true), "0xffffffffffffffff");
    EXPECT_EQ(F::errorLogFromCrashReport(*Parts().build())->osExceptionAddress, "0x1a2b");
    EXPECT_EQ(F::uuidRefToString(std::nullopt), std::nullopt);
}

TEST_F(BEACErrorLogFormatterTest, PathsLoseUserNames) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"/Users/anna/Library/x.dylib", "/Users/USER/Library/x.dylib"},
        {"/Users/anna/Users/bob/y", "/Users/USER/Users/bob/y"},  // as the pattern scans: after one match
        {"/System/Library/y", "/System/Library/y"},
        {"/private/Users/anna/z", ""},
        {"", ""},
        {std::nullopt, ""},
        {"/home/anna/.local/lib/libx.so", "/home/USER/.local/lib/libx.so"},
        {"/home/anna/app/Users/z", ""},  // "Users" left over could precede a name
        {"/root/build/app", "/home/USER/build/app"},
        {"/rootfs/app", "/rootfs/app"},
        {"/home/", "/home/"},
        {"/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6"},
    };
    for (const auto& [path, anonymised] : cases)
        EXPECT_EQ(F::anonymizedPathFromPath(path), anonymised) << path.value_or("(absent)");

    EXPECT_EQ(F::anonymizedText("cannot open /home/anna/data.db: denied"),
              "cannot open /home/USER/data.db: denied");
    EXPECT_EQ(F::anonymizedText("'/root/x' and /Users/bo b/"), "'/home/USER/x' and /Users/bo b/");
    EXPECT_EQ(F::anonymizedText("no paths here"), "no paths here");

    // Every field that can hold a path.
    Parts parts;
    parts.processInfo = Parts::process("/home/anna/bin/app");
    parts.images = {Parts::image(0x1000, 0x100, "/home/anna/bin/app")};
    parts.exceptionInfo = std::make_shared<KCRCrashReportExceptionInfo>(
        "E", "at /home/anna/x",
        std::vector{std::make_shared<const KCRCrashReportStackFrameInfo>(0x1000, nullptr)});
    auto log = F::errorLogFromCrashReport(*parts.build());
    EXPECT_EQ(log->applicationPath, "/home/USER/bin/app");
    EXPECT_EQ(log->binaries->at(0)->path, "/home/USER/bin/app");
    // The exception's reason is the application's text, copied as it is.
    EXPECT_EQ(log->exceptionReason, "at /home/anna/x");
    EXPECT_EQ(log->threads->at(0)->exception->message, "at /home/anna/x");
    EXPECT_EQ(F::errorReportFromLog(*log)->exceptionReason(), "at /home/anna/x");
}

TEST_F(BEACErrorLogFormatterTest, ImageTypes) {
    const std::string app = "/Applications/App.app/Contents/MacOS/App";
    const struct {
        std::optional<std::string> image;
        std::optional<std::string> process;
        int type;
    } cases[] = {
        {app, app, 0},
        {"/Applications/App.app/Contents/Frameworks/K.framework/K", app, 1},
        {"/Applications/App.app/Contents/Frameworks/libswiftCore.dylib", app, 2},
        {"/usr/lib/libc.dylib", app, 2},
        {"/Applications/App.app/Contents/../Contents/MacOS/App", app, 0},
        {"/APPLICATIONS/APP.APP/CONTENTS/MACOS/APP", app, 0},
        {std::nullopt, app, 2},
        {app, std::nullopt, 2},
        {"/Applications/App.app/Contents/MacOS/App", "", 1},  // an empty path is nobody's prefix
        {"/opt/planner/bin/planner", "/opt/planner/bin/planner", 0},
        {"/opt/planner/lib/libplan.so", "/opt/planner/bin/planner", 2},
        {"", "", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(F::imageTypeForImagePath(c.image, c.process), c.type)
            << c.image.value_or("(absent)") << " in " << c.process.value_or("(absent)");
}

TEST_F(BEACErrorLogFormatterTest, FrameCodes) {
    auto symbolised = [](uint64_t pc, const char* name, uint64_t start) {
        return KCRCrashReportStackFrameInfo(pc, std::make_shared<KCRCrashReportSymbolInfo>(name, start, 0));
    };
    const struct {
        int32_t os;
        const char* symbol;
        const char* code;
        bool warns;
    } symbols[] = {
        {0, "_objc_msgSend", "objc_msgSend + 8", false},
        {1, "_objc_msgSend", "objc_msgSend + 8", false},
        {2, "_objc_msgSend", "objc_msgSend + 8", false},
        {3, "_objc_msgSend", "_objc_msgSend + 8", true},
        {4, "_objc_msgSend", "objc_msgSend + 8", false},
        {7, "_objc_msgSend", "_objc_msgSend + 8", false},
        {0, "_", "_ + 8", false},
        {0, "main", "main + 8", false},
    };
    for (const auto& c : symbols) {
        Parts parts;
        parts.operatingSystem = c.os;
        parts.processInfo = Parts::process("/opt/app/app");
        parts.images = {Parts::image(0x1000, 0x100, "/usr/lib/libobjc.so")};
        auto report = parts.build();
        beactest::CapturingLog capture;
        EXPECT_EQ(F::formatStackFrame(symbolised(0x1010, c.symbol, 0x1008), *report), c.code) << c.os;
        EXPECT_EQ(
            capture.count(plat::format("Symbol \"%@\" prefix rules are unknown for this OS!", c.symbol)),
            c.warns ? 1u : 0u);
    }

    Parts parts;
    parts.processInfo = Parts::process("/opt/app/app");
    parts.images = {Parts::image(0x1000, 0x100, "/opt/app/app")};
    auto report = parts.build();
    beactest::CapturingLog capture;
    // The application's own frames are never symbolised here.
    EXPECT_EQ(F::formatStackFrame(symbolised(0x1010, "main", 0x1000), *report), "0x1000 + 16");
    EXPECT_EQ(F::formatStackFrame(KCRCrashReportStackFrameInfo(0x5000, nullptr), *report), "0x0 + 0");
    EXPECT_EQ(capture.count("Cannot find image for 0x5000"), 1u);
    EXPECT_EQ(capture.lines().back().tag, "BeaconCrashes");
    EXPECT_EQ(capture.lines().back().level, BEACLogLevelWarning);
    EXPECT_EQ(F::formatStackFrame(KCRCrashReportStackFrameInfo(0, nullptr), *report), "0x0 + 0");
    EXPECT_EQ(capture.lines().size(), 1u) << "a zero address is not looked for";
    // A symbol after the address gives a negative offset rather than a huge one.
    EXPECT_EQ(F::formatStackFrame(symbolised(0x5000, "f", 0x5008), *report), "f + -8");
}

TEST_F(BEACErrorLogFormatterTest, BinariesListedWhenReferencedOrOwnSortedByBase) {
    Parts parts;
    parts.processInfo = Parts::process("/opt/app/app");
    parts.threads = {Parts::thread(0, true, {0x7010}, {{"rdi", 0x2000}})};
    parts.images = {
        Parts::image(0x7000, 0x100, "/usr/lib/libm.so"),  // a frame
        Parts::image(0x3000, 0, "/usr/lib/empty.so"),     // size 0, not referenced
        Parts::image(0x2000, 0, "libreg"),                // size 0 at a register's value
        Parts::image(0x1000, 0x100, "/opt/app/app"),      // the application itself
        Parts::image(0x9000, 0x100, ""),                  // unnamed, not referenced
        Parts::image(0x8000, 0x100, "/usr/lib/libunused.so"),
    };
    auto binaries = F::extractBinaryImagesFromReport(*parts.build(), true);
    ASSERT_EQ(binaries.size(), 3u);
    EXPECT_EQ(binaries[0]->name, "app");
    EXPECT_EQ(binaries[1]->name, "libreg");
    EXPECT_EQ(binaries[1]->path, "libreg");
    EXPECT_EQ(binaries[1]->startAddress, "0x0000000000002000");
    EXPECT_EQ(binaries[1]->endAddress, "0x0000000000002000");
    EXPECT_EQ(binaries[1]->binaryId, "???");
    EXPECT_EQ(binaries[1]->primaryArchitectureId, 0u);
    EXPECT_EQ(binaries[2]->name, "libm.so");
    EXPECT_EQ(binaries[2]->endAddress, "0x00000000000070ff");

    parts.threads = {Parts::thread(0, true, {0x9000})};
    binaries = F::extractBinaryImagesFromReport(*parts.build(), false);
    ASSERT_EQ(binaries.size(), 2u);
    EXPECT_EQ(binaries[1]->name, "???");
    EXPECT_EQ(binaries[1]->path, "");

    // An image reaching the top of the address space does not wrap.
    parts.images = {Parts::image(UINT64_MAX - 0xf, 0x100, "/top")};
    parts.threads = {Parts::thread(0, true, {UINT64_MAX})};
    binaries = F::extractBinaryImagesFromReport(*parts.build(), true);
    ASSERT_EQ(binaries.size(), 1u);
    EXPECT_EQ(binaries[0]->endAddress, "0xffffffffffffffff");

    EXPECT_TRUE(F::isBinaryWithStart(0x10, 0x20, {0x5, 0x20}));
    EXPECT_TRUE(F::isBinaryWithStart(0x10, 0x20, {0x10}));
    EXPECT_FALSE(F::isBinaryWithStart(0x10, 0x20, {0x21, 0xf}));
}

// Plays the process's image list: one image whose selector-name section is
// a buffer of this test.
class FakeImages : public BEACLoadedImages {
  public:
    explicit FakeImages(std::vector<Image> images, std::optional<Section> section)
        : images_(std::move(images)), section_(section) {}
    std::vector<Image> images() const override { return images_; }
    std::optional<Section> section(const Image& image, std::string_view segment,
                                   std::string_view name) const override {
        if (segment != "__TEXT" || name != "__objc_methname" || image.uuid != images_.back().uuid)
            return std::nullopt;
        return section_;
    }

  private:
    std::vector<Image> images_;
    std::optional<Section> section_;
};

TEST_F(BEACErrorLogFormatterTest, SelectorLookUpReadsOnlyInsideTheSection) {
    static const char names[] = "\0length\0count\0tail";  // "tail" has no terminator inside
    const uint64_t buffer = reinterpret_cast<uint64_t>(names);
    const uint64_t sectionSize = sizeof names - 1;
    const std::vector<uint8_t> uuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::string uuidText = "0102030405060708090a0b0c0d0e0f10";
    // Header 0x100 bytes before the section; the report's image at 0x10000.
    const uint64_t header = buffer - 0x100;
    BEACLoadedImages::Image other{"/usr/lib/libobjc.so", header, 0, std::string(32, '0')};
    BEACLoadedImages::Image match{"/usr/lib/libobjc.so", header, 0, uuidText};
    BEACLoadedImages::setCurrent(std::make_shared<FakeImages>(
        std::vector{other, match}, BEACLoadedImages::Section{buffer, sectionSize}));

    auto lookUp = [&](uint64_t value, const char* reg = "rsi", uint64_t cpu = BEACCPUTypeX86_64) {
        Parts parts;
        parts.threads = {Parts::thread(0, true, {0x10000}, {{reg, value}})};
        parts.images = {Parts::image(0x10000, 0x1000, "/usr/lib/libobjc.so", uuid)};
        auto report = parts.build();
        return F::selectorRegisterValueFromReport(*report, report->threads()[0], cpu);
    };
    EXPECT_EQ(lookUp(0x10101), "length");
    EXPECT_EQ(lookUp(0x10108), "count");
    EXPECT_EQ(lookUp(0x10100), "") << "an empty name at p is still terminated after p";
    EXPECT_EQ(lookUp(0x1010e), std::nullopt) << "no terminator before the section ends";
    EXPECT_EQ(lookUp(0x10100 + sectionSize), std::nullopt) << "p at the section's end";
    EXPECT_EQ(lookUp(0x100ff), std::nullopt) << "p before the section";
    EXPECT_EQ(lookUp(0), std::nullopt);
    EXPECT_EQ(lookUp(0x20000), std::nullopt) << "in no report image";
    EXPECT_EQ(lookUp(0x10101, "rdx"), "length") << "x86-64 falls back to rdx";
    EXPECT_EQ(lookUp(0x10101, "x1", BEACCPUTypeARM64), "length");
    EXPECT_EQ(lookUp(0x10101, "r2", BEACCPUTypeARM), "length");
    EXPECT_EQ(lookUp(0x10101, "ecx", BEACCPUTypeX86), "length");
    EXPECT_EQ(lookUp(0x10101, "rsi", 99), std::nullopt);

    // Without a matching identifier, or without the section: nothing.
    BEACLoadedImages::setCurrent(std::make_shared<FakeImages>(std::vector{other}, std::nullopt));
    EXPECT_EQ(lookUp(0x10101), std::nullopt);
    BEACLoadedImages::setCurrent(std::make_shared<FakeImages>(std::vector{match}, std::nullopt));
    EXPECT_EQ(lookUp(0x10101), std::nullopt);
}

TEST_F(BEACErrorLogFormatterTest, ProcessImagesCarryTheCrashReportsIdentifiers) {
    BEACProcessLoadedImages images;
    auto list = images.images();
    ASSERT_FALSE(list.empty());
    bool anyId = false;
    for (const auto& image : list) {
        EXPECT_NE(image.headerAddress, 0u);
        EXPECT_FALSE(images.section(image, "__TEXT", "__objc_methname"));
        if (image.uuid) {
            anyId = true;
            EXPECT_EQ(image.uuid->size(), 32u);
            EXPECT_EQ(image.uuid->find_first_not_of("0123456789abcdef"), std::string::npos);
        }
    }
    EXPECT_TRUE(anyId) << "Debian's libraries carry build IDs";
    char byte = 0;
    EXPECT_FALSE(images.read(0, &byte, 1)) << "reads never fault";
}

TEST_F(BEACErrorLogFormatterTest, SavedWrapperExceptionJoinsItsCrash) {
    Parts parts;
    parts.uuid = plat::UUID::fromString("0F8FAD5B-D9CB-469F-A165-70867728950E");
    auto wrapper = std::make_shared<BEACWrapperException>();
    wrapper->modelException = std::make_shared<BEACException>();
    wrapper->modelException->type = "System.Exception";
    BEACWrapperExceptionManager::saveWrapperException(wrapper, "0F8FAD5B-D9CB-469F-A165-70867728950E");
    auto log = F::errorLogFromCrashReport(*parts.build());
    ASSERT_NE(log->exception, nullptr);
    EXPECT_EQ(log->exception->type, "System.Exception");
    EXPECT_EQ(log->errorId, "0F8FAD5B-D9CB-469F-A165-70867728950E");

    parts.uuid.reset();
    EXPECT_EQ(F::errorLogFromCrashReport(*parts.build())->exception, nullptr);
}

}  // namespace
