// A tour of the platform layer and the JSON value library: builds a small
// to-do list as dynamic values, prints it the way the platform prints values,
// writes it as JSON and as a property list, reads a field back through the
// JSON library, and runs a timer and a notification on the main loop. Then a
// telemetry run: the SDK sends a start-service log, a custom-properties log,
// a session and a page to a local ingestion endpoint, and an event tracked
// for a transmission target to a local Event Collector endpoint; both print
// what they received. Last, crash reporting: the example runs itself as a
// child application that crashes, then once more; at that second launch the
// crash service sends the crash log, which the endpoint prints.
#include <httplib.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "beacon/analytics/BEACAnalytics.h"
#include "beacon/analytics/BEACAnalyticsTransmissionTarget.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/crashes/BEACCrashes.h"

#include "json/JSON.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

namespace {

plat::Value makeTask(const char* title, bool completed, int sortOrder) {
    return plat::Dictionary{{"title", title},
                            {"completed", completed},
                            {"sortOrder", sortOrder},
                            {"uuid", plat::UUID().UUIDString()},
                            {"dateCreated", plat::Date(0)}};
}

void printValues(const plat::Value& task) {
    std::printf("description:\n%s\n\n", task.description().c_str());
    plat::Dictionary jsonSafe = *task.asDictionary();
    jsonSafe.set("dateCreated", plat::Date(0).iso8601String());
    auto json = plat::JSONSerialization::stringWithJSONObject(
        plat::Array{plat::Value(jsonSafe)}, plat::JSONWritingPrettyPrinted | plat::JSONWritingSortedKeys);
    std::printf("JSON:\n%s\n\n", json.ok() ? json->c_str() : json.error()->description().c_str());
    auto plist = plat::PropertyListSerialization::dataWithPropertyList(
        task, plat::PropertyListSerialization::Format::XML);
    std::printf("property list:\n%s\n", plist.ok() ? plist->toString().c_str() : "(failed)");
    auto parsed = json::JSON::create(plat::Data::fromString(json.ok() ? *json : "[]"));
    if (parsed.ok()) {
        std::printf("title through the JSON library: %s\n\n", (*parsed)[{0, "title"}].stringValue().c_str());
    }
}

// A service of the example: its start is what the "startService" log names.
class ExampleService : public BEACServiceAbstract {
  public:
    std::string serviceName() const override { return "Example"; }
    std::string logTag() const override { return "BeaconExample"; }
    std::string groupId() const override { return "Example"; }
    std::string className() const override { return "BEACExample"; }
    bool isAppSecretRequired() const override { return false; }
};

constexpr const char* kAppSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

// What an application's information property list would say.
void describeApplication() {
    plat::Bundle::mainBundle().setInfoDictionary(
        plat::Dictionary{{"CFBundleIdentifier", plat::Value("dev.kestrel.example")},
                         {"CFBundleShortVersionString", plat::Value("1.0")},
                         {"CFBundleVersion", plat::Value("1")}});
}

// A client that talks to the local endpoint directly, whatever proxy the environment names.
std::shared_ptr<BEACHttpClient> directClient() {
    BEACHttpClient::Options options;
    options.configure = [](auto& configuration) { configuration.connectionProxyFromEnvironment = false; };
    return BEACHttpClient::make(options);
}

void useDirectClients() {
    BEACDependencyConfiguration::setIngestionFactory(
        [](const std::string& installId, const std::string& url) {
            return BEACBeaconIngestion::make(directClient(), url, installId);
        });
    BEACDependencyConfiguration::setEventCollectorHttpClientFactory(directClient);
}

// The child application of the crash run: "crash" starts the SDK with the
// crash service and crashes; "send" starts it again, which sends the crash
// log of the last launch, and waits until nothing is left to send.
int runCrashingApplication(const std::string& mode, const std::string& url) {
    alarm(60);  // never outlives a stuck run
    plat::dispatch::MainLoop::bindToCurrentThread();
    describeApplication();
    useDirectClients();
    BEACBeacon::setLogUrl(url);
    BEACBeacon::start(kAppSecret, std::vector<BEACServiceClass>{BEACCrashes::serviceClass()});
    if (mode == "crash") {
        BEACCrashes::generateTestCrash();
        return 3;  // not reached
    }
    auto storage = BEACBeacon::sharedInstance()->channelGroup()->storage();
    // The crash report is processed one second after the start.
    plat::dispatch::MainLoop::runUntil([] { return false; }, 1.5);
    for (int i = 0; i < 300; ++i) {
        plat::dispatch::MainLoop::runUntil([] { return false; }, 0.1);
        BEACBeacon::sharedInstance()->channelGroup()->queue().sync([] {});
        if (storage->countLogs() == 0)
            return 0;
    }
    return 1;
}

// Runs this program as the child application in `mode`; its exit status.
int launchApplication(const char* mode, const std::string& url) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    pid_t pid = fork();
    if (pid == 0) {
        execl(self.c_str(), self.c_str(), "crash-run", mode, url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// A crash log in a few lines: what ended the process and where.
void printCrashLog(const plat::Value& log) {
    auto text = [&](const char* key) {
        const plat::Value* v = log.find(key);
        return v && v->isString() ? *v->asString() : std::string();
    };
    std::printf("  %s log %s: %s (%s) in process %s, fatal %s\n", text("type").c_str(), text("id").c_str(),
                text("osExceptionType").c_str(), text("osExceptionCode").c_str(), text("processName").c_str(),
                log.find("fatal") && log.find("fatal")->boolValue() ? "yes" : "no");
    const plat::Value* threads = log.find("threads");
    const plat::Value* binaries = log.find("binaries");
    std::printf("  %zu threads, %zu binaries; the crashed thread's first frames:\n",
                threads ? threads->count() : 0, binaries ? binaries->count() : 0);
    const plat::Value* crashed = threads && threads->count() ? threads->at(0) : nullptr;
    const plat::Value* frames = crashed ? crashed->find("frames") : nullptr;
    for (std::size_t i = 0; frames && i < frames->count() && i < 4; ++i) {
        const plat::Value* address = frames->at(i)->find("address");
        const plat::Value* symbol = frames->at(i)->find("code");
        std::printf("    %s %s\n", address && address->isString() ? address->asString()->c_str() : "?",
                    symbol && symbol->isString() ? symbol->asString()->c_str() : "");
    }
}

void runTelemetry() {
    // Settings, the log store and the keychain go to a scratch folder.
    char folder[] = "/tmp/kestrel-example-XXXXXX";
    if (!mkdtemp(folder))
        return;
    setenv("XDG_DATA_HOME", folder, 1);
    setenv("XDG_CONFIG_HOME", folder, 1);
    setenv("XDG_CACHE_HOME", folder, 1);
    describeApplication();

    httplib::Server server;
    std::mutex mutex;
    std::condition_variable received;
    int requests = 0;
    int crashLogs = 0;
    std::atomic<bool> crashRun{false};
    // The Event Collector request: its headers and one Shared Schema line per log.
    server.Post("/EventCollector/1.0", [&](const httplib::Request& request, httplib::Response& response) {
        std::printf("Event Collector endpoint received %s %s\n", request.method.c_str(),
                    request.path.c_str());
        for (const char* name : {"Content-Type", "apikey", "Upload-Time"})
            std::printf("  %s: %s\n", name, request.get_header_value(name).c_str());
        std::printf("%s\n", request.body.c_str());
        response.set_content("{}", "application/json");
        std::lock_guard lock(mutex);
        ++requests;
        received.notify_all();
    });
    server.Post("/logs", [&](const httplib::Request& request, httplib::Response& response) {
        std::printf("ingestion endpoint received %s %s?api-version=%s\n", request.method.c_str(),
                    request.path.c_str(), request.get_param_value("api-version").c_str());
        for (const char* name : {"Content-Type", "Content-Encoding", "Install-ID"})
            if (request.has_header(name))
                std::printf("  %s: %s\n", name, request.get_header_value(name).c_str());
        auto body = plat::JSONSerialization::JSONObjectWithData(plat::Data::fromString(request.body));
        const plat::Value* logs = body.ok() ? body->find("logs") : nullptr;
        bool crashLog = false;
        for (std::size_t i = 0; logs && i < logs->count(); ++i) {
            const plat::Value* type = logs->at(i)->find("type");
            if (type && type->isString() && *type->asString() == "appleError") {
                printCrashLog(*logs->at(i));
                crashLog = true;
            }
        }
        if (crashRun && !crashLog && logs) {
            std::printf("  %zu logs:", logs->count());
            for (std::size_t i = 0; i < logs->count(); ++i) {
                const plat::Value* type = logs->at(i)->find("type");
                std::printf(" %s", type && type->isString() ? type->asString()->c_str() : "?");
            }
            std::printf("\n");
        } else if (!crashLog) {
            auto pretty = body.ok()
                              ? plat::JSONSerialization::stringWithJSONObject(
                                    *body, plat::JSONWritingPrettyPrinted | plat::JSONWritingSortedKeys |
                                               plat::JSONWritingWithoutEscapingSlashes)
                              : plat::Result<std::string>(request.body);
            std::printf("%s\n", pretty.ok() ? pretty->c_str() : request.body.c_str());
        }
        response.set_content("{}", "application/json");
        std::lock_guard lock(mutex);
        ++requests;
        crashLogs += crashLog;
        received.notify_all();
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { server.listen_after_bind(); });

    useDirectClients();
    auto service = std::make_shared<ExampleService>();
    BEACBeacon::setLogUrl("http://127.0.0.1:" + std::to_string(port));
    BEACBeacon::start(kAppSecret,
                      std::vector<BEACServiceClass>{{"BEACExample", [service] { return service; }},
                                                    BEACAnalytics::serviceClass()});
    BEACBeacon::sharedInstance()->eventCollectorDelegate()->setLogUrl("http://127.0.0.1:" +
                                                                      std::to_string(port));
    BEACCustomProperties properties;
    properties.setString(std::string("blue"), std::string("color")).setBool(true, std::string("beta"));
    BEACBeacon::setCustomProperties(&properties);
    BEACAnalytics::trackPage("Month");
    auto target = BEACAnalytics::transmissionTargetForToken("example-tenant-token");
    target->propertyConfigurator()->setAppVersion(std::string("1.0"));
    target->trackEvent("task.added", plat::Dictionary{{"list", plat::Value("today")}});

    // Each unit sends 3 s after its first log: the core's, the analytics one
    // and its Event Collector twin.
    std::unique_lock lock(mutex);
    received.wait_for(lock, std::chrono::seconds(15), [&] { return requests >= 3; });
    lock.unlock();

    // Crash reporting: an application crashes, and at its next launch the
    // crash service sends the crash log of the last one.
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    crashRun = true;
    const int crashed = launchApplication("crash", url);
    std::printf("\nthe application crashed (%s); launching it again\n",
                WIFSIGNALED(crashed) ? strsignal(WTERMSIG(crashed)) : "it did not crash");
    launchApplication("send", url);
    lock.lock();
    received.wait_for(lock, std::chrono::seconds(15), [&] { return crashLogs >= 1; });
    lock.unlock();
    server.stop();
    listener.join();
    std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plat::dispatch;
    if (argc == 4 && std::string(argv[1]) == "crash-run")
        return runCrashingApplication(argv[2], argv[3]);
    MainLoop::bindToCurrentThread();
    printValues(makeTask("Water the plants", false, 1));

    auto& center = plat::NotificationCenter::defaultCenter();
    auto token =
        center.addObserverForName("tasksDidChangeNotification", nullptr, [](const plat::Notification& n) {
            std::printf(
                "%s\n",
                plat::format("received %@ on the main thread: %d", n.name, MainLoop::isMainThread()).c_str());
            MainLoop::stop();
        });
    auto timer = TimerSource::create(Queue::main());
    timer->setTimer(0.05);
    timer->setEventHandler([&center] { center.postNotificationName("tasksDidChangeNotification"); });
    timer->resume();
    MainLoop::run();
    center.removeObserver(token);
    runTelemetry();
    return 0;
}
