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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <unistd.h>

#include "platform/clouddrive/Ubiquity.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
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
    model->finalize();
    return model;
}

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

    auto model = taskModel();
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
        if (auto error = context->save()) {
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
    mesh->dismantle();
    MainLoop::drain();
    return 0;
}
