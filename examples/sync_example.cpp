// Two machines keep their task lists in step through one shared folder.
//
// Each "machine" is a process of its own with its own store file, its own
// sync data folder and its own hardware identity. Both enlist their store in
// the same cloud folder (here a plain local folder), change their tasks, and
// merge. This program plays the story by running itself as the two machines
// one step after another; every step prints what it did and the tasks the
// machine sees afterwards.
//
// With "--via cloud-database" the cloud folder is kept in the cloud database
// stand-in instead, rooted in the same place: both machines sign in to one
// account, each as a device of its own with its own record cache.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

using plat::dispatch::MainLoop;
namespace cd = plat::coredata;

namespace {

// The application's model: tasks with a title and a priority.
std::shared_ptr<cd::ManagedObjectModel> taskModel() {
    auto model = cd::ManagedObjectModel::create();
    auto& task = model->addEntity("Task");
    task.addAttribute("title", cd::AttributeType::String);
    task.addAttribute("priority", cd::AttributeType::Integer64);
    model->finalize();
    return model;
}

// Runs a mesh activity and waits for its completion on the main loop.
plat::ErrorPtr run(const std::function<void(SYNCompletion)>& activity) {
    bool done = false;
    plat::ErrorPtr result;
    activity([&](plat::ErrorPtr error) {
        result = error;
        done = true;
    });
    MainLoop::runUntil([&] { return done; }, 120);
    return result;
}

cd::ManagedObjectPtr findTask(cd::ManagedObjectContext& context, const std::string& title) {
    auto tasks = context.executeFetchRequest(cd::FetchRequest("Task"));
    for (const auto& task : tasks.ok() ? *tasks : std::vector<cd::ManagedObjectPtr>{}) {
        if (task->valueForKey("title") == plat::Value(title))
            return task;
    }
    return nullptr;
}

void printTasks(const std::string& machine, cd::ManagedObjectContext& context) {
    cd::FetchRequest request("Task");
    request.sortDescriptors = {cd::SortDescriptor("title", true)};
    auto tasks = context.executeFetchRequest(request);
    std::printf("  %s now has:\n", machine.c_str());
    for (const auto& task : tasks.ok() ? *tasks : std::vector<cd::ManagedObjectPtr>{}) {
        std::printf("    - %-14s priority %lld\n", task->valueForKey("title").asString()->c_str(),
                    static_cast<long long>(task->valueForKey("priority").longLongValue()));
    }
}

// The shared cloud folder as `machine` reaches it: the local folder, or with
// "--via cloud-database" (handed to the machines' processes in the
// environment) the cloud database stand-in, where the machine is a device.
constexpr const char* kViaVariable = "KESTREL_SYNC_EXAMPLE_VIA";
std::shared_ptr<SYNCloudFileSystem> cloudFileSystem(const std::string& root, const std::string& machine) {
    const char* via = std::getenv(kViaVariable);
    if (!via || std::string(via) != "cloud-database")
        return std::make_shared<SYNLocalCloudFileSystem>(root + "/cloud");
    plat::cloudkit::ContainerConfiguration configuration;
    configuration.cloudRoot = root + "/cloud";
    configuration.account = "example-user";
    configuration.device = machine;
    configuration.assetCacheFolder = root + "/" + machine + "-assets";
    auto container = plat::cloudkit::Container::open(configuration);
    const std::string caches = root + "/" + machine + "-caches";
    std::filesystem::create_directories(caches);
    return container.ok() ? SYNCloudKitFileSystem::privateDatabase(*container, 2, caches) : nullptr;
}

// One step of one machine: open its store and its mesh, enlist when not yet
// enlisted, make the step's changes, save, merge, show the tasks.
int machineStep(const std::string& root, const std::string& machine, const std::string& step) {
    MainLoop::bindToCurrentThread();
    // Two processes on one computer play two computers.
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(
        machine == "desk" ? "DE5C0000-0000-4000-8000-000000000001" : "1A9709A0-0000-4000-8000-000000000002");

    // The application's own store and context.
    auto model = taskModel();
    std::string storePath = root + "/" + machine + ".sqlite";
    auto coordinator = cd::PersistentStoreCoordinator::create(model);
    if (!coordinator->addPersistentStore(cd::SQLiteStoreType, "", plat::URL::fileURLWithPath(storePath))
             .ok()) {
        return 1;
    }
    auto context = cd::ManagedObjectContext::create(cd::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);

    // The mesh: the store, the model, the shared folder, a local data folder.
    SYNPersistentStoreMesh::Configuration config;
    config.meshIdentifier = "main";
    config.persistentStorePath = storePath;
    config.managedObjectModel = model;
    config.cloudFileSystem = cloudFileSystem(root, machine);
    if (!config.cloudFileSystem) {
        return 1;
    }
    config.localDataRootDirectory = root + "/" + machine + "-sync";
    auto mesh = SYNPersistentStoreMesh::create(config);
    if (!mesh->isEnlisted()) {
        auto error = run([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
        std::printf("  %s enlisted its store%s\n", machine.c_str(), error ? " -- failed" : "");
    }

    auto add = [&](const std::string& title, int64_t priority) {
        auto task = context->insertNewObjectForEntityForName("Task");
        task->setValue(plat::Value(title), "title");
        task->setValue(plat::Value(priority), "priority");
        std::printf("  %s adds \"%s\"\n", machine.c_str(), title.c_str());
    };
    auto edit = [&](const std::string& title, int64_t priority) {
        if (auto task = findTask(*context, title)) {
            task->setValue(plat::Value(priority), "priority");
            std::printf("  %s sets \"%s\" to priority %lld\n", machine.c_str(), title.c_str(),
                        static_cast<long long>(priority));
        }
    };
    auto remove = [&](const std::string& title) {
        if (auto task = findTask(*context, title)) {
            context->deleteObject(task);
            std::printf("  %s deletes \"%s\"\n", machine.c_str(), title.c_str());
        }
    };

    if (step == "start" && machine == "desk") {
        add("Buy milk", 1);
        add("Write report", 3);
    } else if (step == "start") {
        add("Call mum", 2);
    } else if (step == "edit" && machine == "desk") {
        edit("Write report", 5);  // both edit the same task before merging:
    } else if (step == "edit") {  // the merge resolves it the same way on both
        edit("Write report", 1);
        remove("Buy milk");
    }
    if (auto error = context->save()) {
        std::printf("  save failed: %s\n", error->localizedDescription().c_str());
    }
    auto error = run([&](SYNCompletion done) { mesh->mergeWithCompletion(done); });
    std::printf("  %s merged%s\n", machine.c_str(),
                error ? (" -- " + error->localizedDescription()).c_str() : "");
    context->reset();  // see what the merge wrote to the store
    printTasks(machine, *context);
    mesh->dismantle();
    MainLoop::drain();
    return error ? 1 : 0;
}

// Runs one step of one machine as a separate process; false when it failed.
bool step(const char* self, const std::string& root, const std::string& machine, const std::string& name) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execl(self, self, "--machine", machine.c_str(), root.c_str(), name.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--machine") {
        return machineStep(argv[3], argv[2], argv[4]);
    }
    if (argc == 3 && std::string(argv[1]) == "--via" &&
        (std::string(argv[2]) == "folder" || std::string(argv[2]) == "cloud-database")) {
        setenv(kViaVariable, argv[2], 1);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--via folder|cloud-database]\n", argv[0]);
        return 2;
    } else {
        unsetenv(kViaVariable);
    }
    char pattern[] = "/tmp/kestrel-sync-example-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string root = pattern;
    std::filesystem::create_directories(root + "/cloud");
    std::printf("Two machines, one shared folder: %s/cloud\n\n", root.c_str());
    const char* self = "/proc/self/exe";
    std::string exe = std::filesystem::read_symlink(self).string();

    bool ok = true;
    std::printf("1. Both machines enlist and add tasks.\n");
    ok = step(exe.c_str(), root, "desk", "start") && ok;
    ok = step(exe.c_str(), root, "laptop", "start") && ok;
    std::printf("\n2. The desk merges again and sees the laptop's task.\n");
    ok = step(exe.c_str(), root, "desk", "sync") && ok;
    std::printf("\n3. Both change \"Write report\" before merging; the laptop also deletes a task.\n");
    ok = step(exe.c_str(), root, "desk", "edit") && ok;
    ok = step(exe.c_str(), root, "laptop", "edit") && ok;
    std::printf("\n4. Both merge once more and end with the same tasks.\n");
    ok = step(exe.c_str(), root, "desk", "sync") && ok;
    ok = step(exe.c_str(), root, "laptop", "sync") && ok;
    std::filesystem::remove_all(root);
    return ok ? 0 : 1;
}
