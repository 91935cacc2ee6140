// One launch of an application that uses the crash service, for the
// end-to-end test, which runs it as a child process:
//
//   beac_crashes_helper <crash|send> <sandbox folder> <ingestion url>
//
// Settings, keychain, SDK folder and crash reports all live in the sandbox.
// "crash" starts the SDK with real crash capture, records a handled error
// that only the crash-time buffer holds, and crashes (a trap);
// "send" starts it again and waits until what is stored has been sent and
// no crash report is left (exit 0; 1 when that does not happen in time). The
// application's delegate adds one text attachment to every crash report.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "beacon/core/AlwaysReachable.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACHttpClient.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashes.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

class AttachingDelegate : public BEACCrashesDelegate {
  public:
    std::optional<std::vector<std::shared_ptr<BEACErrorAttachmentLog>>> attachmentsForErrorReport(
        BEACCrashes&, const std::shared_ptr<BEACErrorReport>&) override {
        return std::vector<std::shared_ptr<BEACErrorAttachmentLog>>{
            BEACErrorAttachmentLog::attachmentWithText("what the user was doing", "notes.txt")};
    }
};

bool reportsLeft(const fs::path& crashes) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(crashes, error)) {
        if (entry.is_regular_file() && entry.file_size() > 0)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <crash|send> <sandbox> <url>\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    alarm(60);  // never outlives a stuck test
    const fs::path sandbox = argv[2];
    setenv("HOME", sandbox.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (sandbox / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (sandbox / "data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (sandbox / "cache").c_str(), 1);
    plat::dispatch::MainLoop::bindToCurrentThread();
    plat::Bundle::mainBundle().setInfoDictionary(
        plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.kestrel.crashes-e2e")},
                         {"CFBundleShortVersionString", plat::Value("1.2")},
                         {"CFBundleVersion", plat::Value("42")}});
    BEACUtility::setBeaconDirectoryPath((sandbox / "sdk").string());
    BEACDependencyConfiguration::setIngestionFactory([](const std::string& installId,
                                                        const std::string& url) {
        BEACHttpClient::Options options;
        options.reachability = beactest::AlwaysReachable::make();
        options.configure = [](auto& configuration) { configuration.connectionProxyFromEnvironment = false; };
        return BEACBeaconIngestion::make(BEACHttpClient::make(options), url, installId);
    });
    BEACBeacon::setLogUrl(argv[3]);
    auto delegate = std::make_shared<AttachingDelegate>();
    BEACCrashes::setDelegate(delegate);
    BEACBeacon::start(kSecret, std::vector<BEACServiceClass>{BEACCrashes::serviceClass()});

    if (mode == "crash") {
        // A handled error whose storing cannot happen before the crash: the
        // channel's queue is kept busy, so only the crash-time buffer has it.
        BEACBeacon::sharedInstance()->channelGroup()->queue().async([] {
            for (;;)
                pause();  // a signal (crash capture stops threads with one) ends only one pause
        });
        auto exception = std::make_shared<BEACException>();
        exception->type = "HandledType";
        exception->message = "handled before the crash";
        BEACCrashes::sharedInstance()->trackModelException(
            exception, plat::Dictionary{{"step", plat::Value("before the crash")}}, {});
        BEACCrashes::generateTestCrash();
        return 3;  // not reached
    }
    const fs::path crashes = sandbox / "sdk" / "crashes";
    auto storage = BEACBeacon::sharedInstance()->channelGroup()->storage();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // At least the delayed pass (one second) must have run.
    plat::dispatch::MainLoop::runUntil([] { return false; }, 1.5);
    while (std::chrono::steady_clock::now() < deadline) {
        plat::dispatch::MainLoop::runUntil([] { return false; }, 0.1);
        BEACBeacon::sharedInstance()->channelGroup()->queue().sync([] {});
        if (!reportsLeft(crashes) && storage->countLogs() == 0)
            return 0;
    }
    std::fprintf(stderr, "reports left: %d, stored logs: %llu\n", reportsLeft(crashes) ? 1 : 0,
                 static_cast<unsigned long long>(storage->countLogs()));
    return 1;
}
