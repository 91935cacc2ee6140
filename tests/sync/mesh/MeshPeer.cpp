// One machine of the convergence test, run as a child process:
//   sync_mesh_peer <root> <machine> <seed> <rounds> [folder|cloud-database|shared-cloud-database]
// It opens (creating) "<root>/<machine>.sqlite" with its own event data under
// "<root>/<machine>" and the cloud folder "<root>/cloud", enlists when not
// enlisted, then per round makes a few random changes, saves and merges.
// With "cloud-database" the cloud folder is kept in the cloud database
// stand-in rooted at "<root>/cloud": every peer signs in as one account, as
// a device named after its machine, with its record cache and fetched assets
// under "<root>/<machine>-caches" and "<root>/<machine>-assets".
// With "shared-cloud-database" each machine signs in as an account of its
// own ("account-<machine>") and the cloud folder is the one shared as
// "meshshare": its owner's when MESH_PEER_SHARE_OWNER is unset, else the
// folder that owner (a user record name) shared, once the machine's account
// has accepted the invitation.
// Deletions touch only its own tasks, edits any task. It prints what it
// did, one line each, flushed at once (so a killed peer leaves a true log):
//   created <title> / deleted <title> / merged <code>
// and with rounds 0 it only merges twice and prints "task <title> <priority>"
// for every task of its store.
// With MESH_PEER_LOG_LEVEL set, the framework logs at that level and every
// output line is copied to stderr with the process id, to follow a run.
// With MESH_PEER_DRIVE_CONTAINER set, the cloud folder is that cloud drive
// container (signed in to one account) instead, and with rounds 0 it first
// waits until every file other machines wrote there has been downloaded.
//
// Crash runs (see SYNMeshCrashSafetyTest.cpp):
// - MESH_PEER_MODEL=rich: items (every attribute type, a to-one, a to-many
//   and an ordered to-many), tags and lists; each save inserts, edits and
//   deletes only objects the machine made. Before each save the machine
//   appends what the save will leave ("P <save>" then "S <save> <uid>
//   <state>" per object it touches, "-" for deleted) to
//   "<root>/<machine>.journal", and "C <save>" once save() returned, each
//   write synced. With rounds 0 it merges until a merge brings nothing and
//   prints "object <uid> <state>" for every object of its store.
// - MESH_PEER_SEED_OBJECTS=n: a store with no objects gets n first (one
//   save) before the mesh is made, so that the first enlist imports them.
// - MESH_PEER_GLOBAL_IDS=1: the delegate gives "uid" as global identifier.
// - MESH_PEER_KILL_AT: the process kills itself with SIGKILL at
//     import       as the first enlist begins to import the store
//     hook:<n>     at the n-th commit point of any store of the process
//                  (application store or event store, any thread)
//     commit:<k>   after the k-th save (from 1) committed, before the save
//                  monitor saw it
//     record:<k>   as the k-th save's event is about to be stored
//     event:<k>    once the first part of the k-th save's event was saved
//                  (the event is left part-made)
//     after-save:<k> right after the k-th save returned (and was journaled)
//     import-batch:<k> as the k-th event-store save of an import that takes
//                  several events per save commits (the save's events
//                  are not stored)
// - MESH_PEER_IMPORT_BATCH=n: such an import saves at most n changes at a
//   time (the cloud manager's import batch limit).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/clouddrive/Ubiquity.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUIDObject.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"
#include "sync/mesh/cloudfs/SYNICloudFileSystem.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

using plat::dispatch::MainLoop;

std::shared_ptr<plat::coredata::ManagedObjectModel> taskModel() {
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& task = model->addEntity("Task");
    task.addAttribute("title", plat::coredata::AttributeType::String);
    task.addAttribute("priority", plat::coredata::AttributeType::Integer64);
    if (model->finalize())
        std::abort();  // the peer's model is fixed: this is a bug in the test
    return model;
}

// --- Crash runs -------------------------------------------------------------

using plat::Value;
using plat::coredata::ManagedObjectPtr;

std::shared_ptr<plat::coredata::ManagedObjectModel> richModel() {
    using plat::coredata::AttributeType;
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& item = model->addEntity("Item");
    item.addAttribute("uid", AttributeType::String);
    item.addAttribute("owner", AttributeType::String);
    item.addAttribute("i16", AttributeType::Integer16);
    item.addAttribute("i32", AttributeType::Integer32);
    item.addAttribute("i64", AttributeType::Integer64);
    item.addAttribute("decimal", AttributeType::Decimal);
    item.addAttribute("real", AttributeType::Double);
    item.addAttribute("ratio", AttributeType::Float);
    item.addAttribute("label", AttributeType::String);
    item.addAttribute("flag", AttributeType::Boolean);
    item.addAttribute("when", AttributeType::Date);
    item.addAttribute("blob", AttributeType::BinaryData);
    item.addAttribute("tag", AttributeType::UUID);
    item.addAttribute("link", AttributeType::URI);
    item.addAttribute("extra", AttributeType::Transformable);
    item.addRelationship("tags", "Tag").inverse("items").toMany();
    item.addRelationship("primary", "Tag").inverse("primaryOf");
    item.addRelationship("list", "List").inverse("entries");
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("uid", AttributeType::String);
    tag.addAttribute("owner", AttributeType::String);
    tag.addAttribute("name", AttributeType::String);
    tag.addRelationship("items", "Item").inverse("tags").toMany();
    tag.addRelationship("primaryOf", "Item").inverse("primary").toMany();
    auto& list = model->addEntity("List");
    list.addAttribute("uid", AttributeType::String);
    list.addAttribute("owner", AttributeType::String);
    list.addAttribute("name", AttributeType::String);
    list.addRelationship("entries", "Item").inverse("list").toMany().ordered();
    if (model->finalize())
        std::abort();  // the peer's model is fixed: this is a bug in the test
    return model;
}

std::string uidOf(const ManagedObjectPtr& object) {
    auto value = object->valueForKey("uid");
    return value.asString() ? *value.asString() : "?";
}

std::string textOf(const Value& value, plat::coredata::AttributeType type) {
    using plat::coredata::AttributeType;
    if (value.isNull())
        return "nil";
    char buffer[64];
    switch (type) {
        case AttributeType::Double:
        case AttributeType::Float:
            std::snprintf(buffer, sizeof buffer, "%.17g", value.doubleValue());
            return buffer;
        case AttributeType::BinaryData: {
            const auto* data = value.asData();
            if (!data)
                return "?";
            // Length and a checksum keep the line short for large values.
            uint64_t sum = 1469598103934665603ull;
            for (std::size_t i = 0; i < data->length(); ++i)
                sum = (sum ^ static_cast<unsigned char>(data->bytes()[i])) * 1099511628211ull;
            std::snprintf(buffer, sizeof buffer, "%zu:%016llx", data->length(),
                          static_cast<unsigned long long>(sum));
            return buffer;
        }
        default: {
            auto text = value.description();
            std::replace(text.begin(), text.end(), '\n', ' ');
            return text;
        }
    }
}

// Every attribute and relationship (by the targets' uids), in name order.
std::string stateOf(const ManagedObjectPtr& object) {
    std::string state = object->entity()->name();
    for (const auto& [name, attribute] : object->entity()->attributesByName()) {
        state += " " + name + "=" + textOf(object->valueForKey(name), attribute->attributeType());
    }
    for (const auto& [name, relationship] : object->entity()->relationshipsByName()) {
        std::vector<std::string> uids;
        if (relationship->isToMany()) {
            auto proxy = relationship->isOrdered() ? object->mutableOrderedSetValueForKey(name)
                                                   : object->mutableSetValueForKey(name);
            for (const auto& member : proxy.objects())
                uids.push_back(uidOf(member));
            if (!relationship->isOrdered())
                std::sort(uids.begin(), uids.end());
        } else if (auto target = object->valueForKey(name).asObjectOf<plat::coredata::ManagedObject>()) {
            uids.push_back(uidOf(std::const_pointer_cast<plat::coredata::ManagedObject>(target)));
        }
        std::string joined;
        for (const auto& uid : uids)
            joined += (joined.empty() ? "" : ",") + uid;
        state += " " + name + "=[" + joined + "]";
    }
    return state;
}

// Appends to the journal and syncs it.
void journal(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            std::abort();
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        std::abort();
}

class RichEditor {
  public:
    RichEditor(std::shared_ptr<plat::coredata::ManagedObjectContext> context, std::string machine,
               unsigned seed)
        : context_(std::move(context)), machine_(std::move(machine)), seed_(seed), random_(seed) {}

    std::string newUid() { return machine_ + "-" + std::to_string(seed_) + "-" + std::to_string(counter_++); }
    unsigned below(unsigned n) { return static_cast<unsigned>(random_() % n); }

    std::vector<ManagedObjectPtr> own(const char* entity) {
        std::vector<ManagedObjectPtr> kept;
        auto all = context_->executeFetchRequest(plat::coredata::FetchRequest(entity));
        if (!all.ok())
            return kept;
        for (const auto& object : *all) {
            auto owner = object->valueForKey("owner");
            if (!object->isDeleted() && owner.asString() && *owner.asString() == machine_)
                kept.push_back(object);
        }
        return kept;
    }
    ManagedObjectPtr pick(const std::vector<ManagedObjectPtr>& objects) {
        return objects.empty() ? nullptr : objects[below(static_cast<unsigned>(objects.size()))];
    }

    void setAttribute(const ManagedObjectPtr& item, unsigned which) {
        switch (which % 13) {
            case 0:
                item->setValue(Value(int64_t(below(60000)) - 30000), "i16");
                break;
            case 1:
                item->setValue(Value(int64_t(random_()) - (1ll << 31)), "i32");
                break;
            case 2:
                item->setValue(Value((int64_t(random_()) << 20) + below(1000)), "i64");
                break;
            case 3:
                item->setValue(Value(plat::Decimal::fromInt64(int64_t(below(1000000)) - 500000)), "decimal");
                break;
            case 4:
                item->setValue(Value(double(random_()) / 7.0 - 1e6), "real");
                break;
            case 5:
                item->setValue(Value(float(below(100000)) / 8.0f), "ratio");
                break;
            case 6:
                item->setValue(Value("label " + std::to_string(below(1000))), "label");
                break;
            case 7:
                item->setValue(Value(below(2) == 0), "flag");
                break;
            case 8:
                item->setValue(Value(plat::Date(double(below(1000000000)))), "when");
                break;
            case 9: {
                std::size_t length = below(8) == 0 ? 10001 + below(3000) : below(100);
                item->setValue(Value(plat::Data::fromString(std::string(length, char('a' + below(26))))),
                               "blob");
                break;
            }
            case 10:
                item->setValue(
                    Value(plat::ObjectPtr(std::make_shared<plat::UUIDObject>(plat::UUID::random()))), "tag");
                break;
            case 11:
                item->setValue(
                    Value(plat::ObjectPtr(std::make_shared<plat::URLObject>(
                        *plat::URL::URLWithString("https://example.com/" + std::to_string(below(100)))))),
                    "link");
                break;
            default:
                item->setValue(Value(plat::Array{Value("extra"), Value(int64_t(below(10)))}), "extra");
                break;
        }
    }

    ManagedObjectPtr insert(const char* entity) {
        auto object = context_->insertNewObjectForEntityForName(entity);
        object->setValue(Value(newUid()), "uid");
        object->setValue(Value(machine_), "owner");
        if (std::string(entity) == "Item") {
            for (unsigned a = 0; a < 13; ++a)
                if (below(4) != 0)
                    setAttribute(object, a);
        } else {
            object->setValue(Value("name " + std::to_string(below(100))), "name");
        }
        return object;
    }

    // One random change to objects this machine made.
    void change() {
        auto items = own("Item"), tags = own("Tag"), lists = own("List");
        switch (below(13)) {
            case 0:
            case 1:
            case 2: {
                auto item = insert("Item");
                if (auto tag = pick(tags); tag && below(2))
                    item->mutableSetValueForKey("tags").addObject(tag);
                if (auto tag = pick(tags); tag && below(2))
                    item->setValue(Value(plat::ObjectPtr(tag)), "primary");
                if (auto list = pick(lists); list && below(2))
                    list->mutableOrderedSetValueForKey("entries").insertObject(item, below(4));
                break;
            }
            case 3:
                insert("Tag");
                break;
            case 4:
                insert("List");
                break;
            case 5:
            case 6:
                if (auto item = pick(items))
                    for (unsigned n = 1 + below(3); n > 0; --n)
                        setAttribute(item, below(13));
                break;
            case 7:
                if (auto item = pick(items); item && !tags.empty()) {
                    auto tag = pick(tags);
                    auto members = item->mutableSetValueForKey("tags");
                    if (members.contains(tag))
                        members.removeObject(tag);
                    else
                        members.addObject(tag);
                }
                break;
            case 8:
                if (auto item = pick(items)) {
                    auto tag = pick(tags);
                    item->setValue(tag && below(3) ? Value(plat::ObjectPtr(tag)) : Value(), "primary");
                }
                break;
            case 9:
                if (auto item = pick(items)) {
                    if (auto list = pick(lists); list && below(3)) {
                        auto entries = list->mutableOrderedSetValueForKey("entries");
                        entries.removeObject(item);
                        entries.insertObject(item, below(5));
                    } else {
                        item->setValue(Value(), "list");
                    }
                }
                break;
            case 10:
                if (auto item = pick(items))
                    context_->deleteObject(item);
                break;
            case 11:
                if (auto tag = pick(tags))
                    context_->deleteObject(tag);
                break;
            default:
                if (auto list = pick(lists))
                    context_->deleteObject(list);
                break;
        }
    }

    // What the save about to be made will leave, as journal lines.
    std::string pendingLines(const std::string& save) {
        context_->processPendingChanges();
        std::string lines = "P " + save + "\n";
        for (const auto& object : context_->insertedObjects())
            lines += "S " + save + " " + uidOf(object) + " " + stateOf(object) + "\n";
        for (const auto& object : context_->updatedObjects())
            lines += "S " + save + " " + uidOf(object) + " " + stateOf(object) + "\n";
        for (const auto& object : context_->deletedObjects())
            lines += "S " + save + " " + uidOf(object) + " -\n";
        return lines;
    }

  private:
    std::shared_ptr<plat::coredata::ManagedObjectContext> context_;
    std::string machine_;
    unsigned seed_;
    std::mt19937 random_;
    int counter_ = 0;
};

// Kill points.
std::atomic<long> killAtHook{-1};            // hook:<n>: counts down
std::atomic<bool> killAtAppCommit{false};    // armed around one save on the main thread
std::atomic<bool> killAtEventCommit{false};  // armed from a save's will-be-stored on
std::thread::id mainThread;
// import-batch:<k>: the saves such imports announced, and the thread whose
// next commit is the k-th one.
std::atomic<long> importBatchSaves{0};
thread_local bool killAtNextCommit = false;

void storeHook(const char* point) {
    const std::string what = point;
    if (what != "save.begin" && what != "save.commit" && what != "save.end")
        return;
    if (killAtHook.load() > 0 && killAtHook.fetch_sub(1) == 1)
        raise(SIGKILL);
    if (what == "save.commit" && killAtNextCommit)
        raise(SIGKILL);
    if (what == "save.end" && killAtAppCommit.load() && std::this_thread::get_id() == mainThread)
        raise(SIGKILL);
    if (what == "save.end" && killAtEventCommit.load() && std::this_thread::get_id() != mainThread)
        raise(SIGKILL);
}

struct KillPlan {
    std::string at;
    long number = 0;
};

KillPlan killPlan() {
    KillPlan plan;
    const char* text = std::getenv("MESH_PEER_KILL_AT");
    if (!text)
        return plan;
    std::string spec = text;
    auto colon = spec.find(':');
    plan.at = spec.substr(0, colon);
    if (colon != std::string::npos)
        plan.number = std::atol(spec.c_str() + colon + 1);
    return plan;
}

class PeerDelegate : public SYNPersistentStoreMeshDelegate {
  public:
    bool globalIdentifiers = false;
    bool killAtImport = false;
    void persistentStoreMeshWillImportStore(SYNPersistentStoreMesh&) override {
        if (killAtImport)
            raise(SIGKILL);
    }
    std::vector<std::optional<std::string>> persistentStoreMeshGlobalIdentifiersForManagedObjects(
        SYNPersistentStoreMesh&, const std::vector<plat::coredata::ManagedObjectPtr>& objects) override {
        std::vector<std::optional<std::string>> identifiers;
        if (!globalIdentifiers)
            return identifiers;
        for (const auto& object : objects) {
            auto uid = object->valueForKey("uid");
            identifiers.push_back(uid.asString() ? std::optional<std::string>(*uid.asString())
                                                 : std::nullopt);
        }
        return identifiers;
    }
};

plat::ErrorPtr wait(const std::function<void(SYNCompletion)>& activity) {
    bool done = false;
    plat::ErrorPtr result;
    activity([&](plat::ErrorPtr error) {
        result = error;
        done = true;
    });
    MainLoop::runUntil([&] { return done; }, 600);
    return result;
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
    if (std::getenv("MESH_PEER_LOG_LEVEL")) {
        std::fprintf(stderr, "[%d] %s\n", static_cast<int>(getpid()), line.c_str());
    }
}

// "<what> <code>" on stdout; a failure's full description goes to stderr.
void report(const std::string& what, const plat::ErrorPtr& error) {
    say(what + " " + std::to_string(error ? error->code() : 0));
    if (error)
        std::fprintf(stderr, "%s failed: %s\n", what.c_str(), error->description().c_str());
}

std::string titleOf(const plat::coredata::ManagedObjectPtr& task) {
    auto value = task->valueForKey("title");
    return value.asString() ? *value.asString() : "";
}

// True when no placeholder waits below the folder.
bool allDownloaded(const std::string& folder) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (plat::clouddrive::itemNameForPlaceholderName(it->path().filename().string())) {
            return false;
        }
    }
    return true;
}

// The cloud drive container named by MESH_PEER_DRIVE_CONTAINER, signed in to
// one account.
std::shared_ptr<SYNCloudFileSystem> driveFileSystem(const char* driveContainer) {
    const char* identifier = "iCloud.com.kestrelplan.meshtest";
    plat::clouddrive::UbiquityService::shared().setIdentityToken("account-1");
    plat::clouddrive::UbiquityService::shared().setContainerFolder(identifier, driveContainer);
    SYNICloudFileSystem::Timing timing;
    timing.downloadSettleDelay = 0.2;
    timing.foreignChangeDelay = 0.2;
    return SYNICloudFileSystem::create(identifier, std::nullopt, timing);
}

std::shared_ptr<SYNCloudFileSystem> cloudFileSystem(const std::string& via, const std::string& root,
                                                    const std::string& machine) {
    if (via == "folder")
        return std::make_shared<SYNLocalCloudFileSystem>(root + "/cloud");
    if (via != "cloud-database" && via != "shared-cloud-database")
        return nullptr;
    const bool shared = via == "shared-cloud-database";
    plat::cloudkit::ContainerConfiguration configuration;
    configuration.cloudRoot = root + "/cloud";
    configuration.account = shared ? "account-" + machine : std::string("peer-account");
    configuration.device = machine;
    configuration.assetCacheFolder = root + "/" + machine + "-assets";
    auto container = plat::cloudkit::Container::open(configuration);
    if (!container.ok()) {
        std::fprintf(stderr, "could not open the cloud database: %s\n",
                     container.error()->description().c_str());
        return nullptr;
    }
    const std::string caches = root + "/" + machine + "-caches";
    std::filesystem::create_directories(caches);
    if (shared) {
        const char* owner = std::getenv("MESH_PEER_SHARE_OWNER");
        return SYNCloudKitFileSystem::sharing(*container, "meshshare",
                                              owner ? owner : plat::cloudkit::OwnerDefaultName, caches);
    }
    return SYNCloudKitFileSystem::privateDatabase(*container, 2, caches);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s root machine seed rounds [folder|cloud-database]\n", argv[0]);
        return 2;
    }
    std::string root = argv[1], machine = argv[2];
    unsigned seed = static_cast<unsigned>(std::stoul(argv[3]));
    int rounds = std::stoi(argv[4]);
    const std::string via = argc == 6 ? argv[5] : "folder";
    MainLoop::bindToCurrentThread();
    if (const char* level = std::getenv("MESH_PEER_LOG_LEVEL")) {
        SYNSetLoggingLevel(std::atoi(level));
    }
    // Each peer plays a machine of its own.
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "%08X-0000-4000-8000-000000000000",
                  static_cast<unsigned>(std::hash<std::string>{}(machine)&0xFFFFFFFF));
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::string(uuid));

    mainThread = std::this_thread::get_id();
    const KillPlan plan = killPlan();
    if (plan.at == "hook")
        killAtHook = plan.number;
    if (plan.at == "import-batch") {
        // The import announces each of its saves in a verbose log line, on
        // the thread that then saves.
        const bool showLog = std::getenv("MESH_PEER_LOG_LEVEL") != nullptr;
        SYNSetLoggingLevel(std::max(SYNReadLoggingLevel(), int(SYNLoggingLevelVerbose)));
        SYNSetLogFunction([showLog, wanted = plan.number, fallback = SYNReadLogFunction()](
                              std::string_view format, std::span<const plat::FormatArg> args) {
            if (!args.empty() && args[0].kind() == plat::FormatArg::Kind::String) {
                const std::string message(args[0].stringValue());
                if (message.rfind("Importing ", 0) == 0 &&
                    message.find(" in one save") != std::string::npos &&
                    importBatchSaves.fetch_add(1) + 1 == wanted)
                    killAtNextCommit = true;
            }
            if (showLog)
                fallback(format, args);
        });
    }
    plat::coredata::SQLiteStore::setTestHook(&storeHook);
    const char* modelName = std::getenv("MESH_PEER_MODEL");
    const bool rich = modelName && std::string(modelName) == "rich";
    auto model = rich ? richModel() : taskModel();
    std::string storePath = root + "/" + machine + ".sqlite";
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
    auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                                 plat::URL::fileURLWithPath(storePath));
    if (!added.ok()) {
        std::fprintf(stderr, "could not open the store: %s\n", added.error()->description().c_str());
        return 3;
    }
    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);

    int journalFile = -1;
    if (rich) {
        journalFile =
            ::open((root + "/" + machine + ".journal").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (journalFile < 0)
            return 6;
    }
    RichEditor editor(context, machine, seed);
    int saves = 0;
    auto save = [&]() -> plat::ErrorPtr {
        ++saves;
        killAtAppCommit = plan.at == "commit" && saves == plan.number;
        auto error = context->save();
        killAtAppCommit = false;
        return error;
    };
    // A save journaled as rich runs do (see the top of the file).
    auto journaledSave = [&]() -> plat::ErrorPtr {
        const std::string id = std::to_string(seed) + "." + std::to_string(saves + 1);
        journal(journalFile, editor.pendingLines(id));
        auto error = save();
        journal(journalFile, (error ? "F " : "C ") + id + "\n");
        if (!error && plan.at == "after-save" && saves == plan.number)
            raise(SIGKILL);
        return error;
    };
    if (const char* seedText = std::getenv("MESH_PEER_SEED_OBJECTS")) {
        auto existing = context->executeFetchRequest(plat::coredata::FetchRequest(rich ? "Item" : "Task"));
        if (existing.ok() && existing->empty()) {
            for (int i = 0, n = std::atoi(seedText); i < n; ++i) {
                if (rich) {
                    editor.insert("Item");
                } else {
                    auto task = context->insertNewObjectForEntityForName("Task");
                    task->setValue(plat::Value(machine + "-seed-" + std::to_string(i)), "title");
                    task->setValue(plat::Value(int64_t(i % 10)), "priority");
                }
            }
            if (auto error = rich ? journaledSave() : context->save()) {
                std::fprintf(stderr, "could not save the first objects: %s\n", error->description().c_str());
                return 7;
            }
        }
    }

    SYNPersistentStoreMesh::Configuration config;
    config.meshIdentifier = "main";
    config.persistentStorePath = storePath;
    config.managedObjectModel = model;
    const char* driveContainer = std::getenv("MESH_PEER_DRIVE_CONTAINER");
    config.cloudFileSystem =
        driveContainer ? driveFileSystem(driveContainer) : cloudFileSystem(via, root, machine);
    if (!config.cloudFileSystem) {
        return 5;
    }
    config.localDataRootDirectory = root + "/" + machine;
    auto mesh = SYNPersistentStoreMesh::create(config);
    if (!mesh) {
        return 4;
    }
    if (const char* limit = std::getenv("MESH_PEER_IMPORT_BATCH"))
        mesh->cloudManager()->setImportBatchChangeLimit(static_cast<std::size_t>(std::atol(limit)));
    say("start " + machine + " " + std::to_string(seed) + " enlisted " + std::to_string(mesh->isEnlisted()));
    auto delegate = std::make_shared<PeerDelegate>();
    delegate->globalIdentifiers = std::getenv("MESH_PEER_GLOBAL_IDS") != nullptr;
    delegate->killAtImport = plan.at == "import";
    mesh->delegate = delegate;
    auto recordObserver = plat::NotificationCenter::defaultCenter().addObserverForName(
        SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification, nullptr,
        [&](const plat::Notification&) {
            if (plan.at == "record" && saves == plan.number)
                raise(SIGKILL);
            if (plan.at == "event" && saves == plan.number)
                killAtEventCommit = true;
        });
    int mergedChanges = 0;
    auto mergeObserver = plat::NotificationCenter::defaultCenter().addObserverForName(
        SYNPersistentStoreMeshDidSaveMergeChangesNotification, nullptr,
        [&](const plat::Notification&) { ++mergedChanges; });
    // The merged changes reach this context through the store.
    auto refresh = [&] { context->reset(); };
    auto ensureEnlisted = [&] {
        // A start after an interrupted save forces a delist first.
        MainLoop::runUntil([&] { return !mesh->delistIsQueued(); }, 60);
        for (int attempt = 0; attempt < 5 && !mesh->isEnlisted(); ++attempt) {
            auto error = wait([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
            report("enlisted", error);
        }
    };
    auto merge = [&] {
        ensureEnlisted();
        auto error = wait([&](SYNCompletion done) { mesh->mergeWithCompletion(done); });
        report("merged", error);
        refresh();
    };
    ensureEnlisted();

    if (rich) {
        for (int round = 0; round < rounds; ++round) {
            for (unsigned n = 1 + editor.below(4); n > 0; --n)
                editor.change();
            if (auto error = journaledSave()) {
                say("save-failed " + std::to_string(error->code()));
                context->reset();
                continue;
            }
            say("saved");
            merge();
        }
        if (rounds == 0) {
            // Merges until one brings nothing more.
            for (int pass = 0; pass < 6; ++pass) {
                const int before = mergedChanges;
                merge();
                if (pass > 0 && mergedChanges == before)
                    break;
            }
            for (const char* entity : {"Item", "Tag", "List"}) {
                auto objects = context->executeFetchRequest(plat::coredata::FetchRequest(entity));
                if (objects.ok())
                    for (const auto& object : *objects)
                        say("object " + uidOf(object) + " " + stateOf(object));
            }
        }
        plat::NotificationCenter::defaultCenter().removeObserver(recordObserver);
        plat::NotificationCenter::defaultCenter().removeObserver(mergeObserver);
        mesh->dismantle();
        MainLoop::drain();
        return 0;
    }

    std::mt19937 random(seed);
    int counter = 0;
    for (int round = 0; round < rounds; ++round) {
        auto tasks = context->executeFetchRequest(plat::coredata::FetchRequest("Task"));
        int changes = 1 + static_cast<int>(random() % 3);
        std::vector<std::string> created, deleted;
        for (int i = 0; i < changes; ++i) {
            int action = static_cast<int>(random() % 4);
            if (action <= 1 || !tasks.ok() || tasks->empty()) {
                auto task = context->insertNewObjectForEntityForName("Task");
                std::string title = machine + "-" + std::to_string(seed) + "-" + std::to_string(counter++);
                task->setValue(plat::Value(title), "title");
                task->setValue(plat::Value(int64_t(random() % 10)), "priority");
                created.push_back(title);
            } else {
                auto& task = (*tasks)[random() % tasks->size()];
                if (task->isDeleted()) {
                    continue;
                }
                std::string title = titleOf(task);
                if (action == 2) {
                    task->setValue(plat::Value(int64_t(random() % 10)), "priority");
                } else if (title.rfind(machine + "-", 0) == 0) {
                    context->deleteObject(task);
                    deleted.push_back(title);
                }
            }
        }
        if (auto error = save()) {
            say("save-failed " + std::to_string(error->code()));
            context->reset();
            continue;
        }
        for (const auto& title : created)
            say("created " + title);
        for (const auto& title : deleted)
            say("deleted " + title);
        merge();
    }
    if (rounds == 0) {
        if (driveContainer) {
            MainLoop::runUntil([&] { return allDownloaded(driveContainer); }, 120);
        }
        merge();
        merge();
        auto tasks = context->executeFetchRequest(plat::coredata::FetchRequest("Task"));
        if (tasks.ok()) {
            for (const auto& task : *tasks) {
                say("task " + titleOf(task) + " " +
                    std::to_string(task->valueForKey("priority").longLongValue()));
            }
        }
    }
    plat::NotificationCenter::defaultCenter().removeObserver(recordObserver);
    plat::NotificationCenter::defaultCenter().removeObserver(mergeObserver);
    mesh->dismantle();
    MainLoop::drain();
    return 0;
}
