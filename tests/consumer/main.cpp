// Uses the object store, the event store, the JSON library and the crash
// report decoder through their installed headers; exits non-zero, naming the
// step, when any of them does not work.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReportTextFormatter.h"
#include "crashcapture/KCRCrashReportWireFormat.h"
#include "json/JSON.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/URL.h"
#include "sync/eventstore/SYNEventStore.h"

namespace {

[[noreturn]] void fail(const char* step) {
    std::fprintf(stderr, "consumer: %s failed\n", step);
    std::exit(1);
}

void objectStore(const std::string& folder) {
    using namespace plat::coredata;
    auto model = ManagedObjectModel::create();
    model->addEntity("Task").addAttribute("title", AttributeType::String);
    auto coordinator = PersistentStoreCoordinator::create(model);
    auto url = plat::URL::fileURLWithPath(folder + "/tasks.sqlite");
    if (!coordinator->addPersistentStore(SQLiteStoreType, "", url, {}))
        fail("adding the SQLite store");
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    context->insertNewObjectForEntityForName("Task")->setValue(plat::Value("Water the plants"), "title");
    if (context->save() != nullptr)
        fail("saving the object store");
    auto fetched = context->executeFetchRequest(FetchRequest("Task"));
    if (!fetched || fetched->size() != 1 ||
        (*fetched)[0]->valueForKey("title") != plat::Value("Water the plants"))
        fail("fetching from the object store");
}

void eventStore(const std::string& folder) {
    auto store = SYNEventStore::create("consumer", folder);
    if (!store || store->prepareNewEventStore() != nullptr || !store->persistentStoreIdentifier())
        fail("preparing the event store");
    auto name = store->storeDataFile(plat::Data::fromString("large value"));
    if (!name || store->dataForFile(*name) != plat::Data::fromString("large value"))
        fail("keeping a data file in the event store");
    store->dismantle();
}

void jsonValues() {
    auto parsed = json::JSON::create(plat::Data::fromString(R"({"tasks": [{"title": "Water the plants"}]})"));
    if (!parsed || (*parsed)[{"tasks", 0, "title"}].stringValue() != "Water the plants")
        fail("reading JSON");
}

// The smallest report the decoder takes: system (with a known architecture,
// as older writers recorded it), application, a thread, an image and the signal.
class ReportWriter {
  public:
    std::vector<uint8_t> bytes;
    void varint(uint64_t v) {
        for (; v >= 0x80; v >>= 7)
            bytes.push_back(static_cast<uint8_t>(v | 0x80));
        bytes.push_back(static_cast<uint8_t>(v));
    }
    void field(kcr::wire::Field f, uint64_t v) {
        varint(f.key());
        varint(v);
    }
    void field(kcr::wire::Field f, const std::string& s) {
        field(f, std::vector<uint8_t>(s.begin(), s.end()));
    }
    void field(kcr::wire::Field f, const std::vector<uint8_t>& b) {
        varint(f.key());
        varint(b.size());
        bytes.insert(bytes.end(), b.begin(), b.end());
    }
};

void crashReport() {
    namespace wire = kcr::wire;
    ReportWriter system, application, thread, image, signal, report;
    system.field(wire::SystemInfo::os_version, "6.1.0");
    system.field(wire::SystemInfo::architecture, 1);  // x86-64
    system.field(wire::SystemInfo::timestamp, 1700000000);
    application.field(wire::ApplicationInfo::identifier, "org.example.consumer");
    application.field(wire::ApplicationInfo::version, "1");
    thread.field(wire::Thread::thread_number, 0);
    thread.field(wire::Thread::crashed, 1);
    image.field(wire::BinaryImage::base_address, 0x400000);
    image.field(wire::BinaryImage::size, 0x1000);
    image.field(wire::BinaryImage::name, "/usr/bin/consumer");
    signal.field(wire::Signal::name, "SIGSEGV");
    signal.field(wire::Signal::code, "SEGV_MAPERR");
    signal.field(wire::Signal::address, 0);
    report.bytes.assign(wire::kMagic, wire::kMagic + sizeof wire::kMagic);
    report.bytes.push_back(wire::kVersion);
    report.field(wire::CrashReport::system_info, system.bytes);
    report.field(wire::CrashReport::application_info, application.bytes);
    report.field(wire::CrashReport::threads, thread.bytes);
    report.field(wire::CrashReport::binary_images, image.bytes);
    report.field(wire::CrashReport::signal, signal.bytes);

    auto decoded = KCRCrashReport::create(report.bytes.data(), report.bytes.size());
    if (!decoded) {
        std::fprintf(stderr, "consumer: %s\n", decoded.error()->localizedDescription().c_str());
        fail("decoding a crash report");
    }
    if ((*decoded)->signalInfo()->name() != "SIGSEGV")
        fail("reading the decoded crash report");
    auto text =
        KCRCrashReportTextFormatter::stringValueForCrashReport(**decoded, KCRCrashReportTextFormatStandard);
    if (text.find("org.example.consumer") == std::string::npos)
        fail("formatting a crash report");
    if (KCRCrashReport::create(report.bytes.data(), wire::kHeaderSize - 1))
        fail("refusing a truncated crash report");
}

}  // namespace

int main() {
    plat::dispatch::MainLoop::bindToCurrentThread();
    auto folder = std::filesystem::temp_directory_path() / ("kestrel-consumer-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    objectStore(folder.string());
    eventStore(folder.string());
    jsonValues();
    crashReport();
    plat::dispatch::MainLoop::drain();
    std::filesystem::remove_all(folder);
    std::puts("consumer: object store, event store, JSON and crash report decoder work");
    return 0;
}
