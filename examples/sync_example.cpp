// Two machines keep their task lists in step through one shared folder.
//
// Each "machine" is a process of its own with its own store file, its own
// sync data folder and its own hardware identity. Both enlist their store in
// the same cloud folder (here a plain local folder), change their tasks, and
// merge. This program plays the story by running itself as the two machines
// one step after another; every step prints what it did and the tasks the
// machine sees afterwards. The files live in a new temporary folder, removed
// at the end unless --keep is given.
//
// With "--via cloud-database" the cloud folder is kept in the cloud database
// stand-in instead, rooted in the same place: both machines sign in to one
// account, each as a device of its own with its own record cache.
//
// "--machine desk|laptop <folder> start|edit|sync" runs one step of one
// machine by hand in an existing folder of your choice.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
    if (auto error = model->finalize()) {
        std::fprintf(stderr, "bad model: %s\n", error->description().c_str());
        std::exit(1);
    }
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

constexpr const char* kUsage =
    "usage: %s [--via folder|cloud-database] [--keep]\n"
    "         plays the whole story in a new temporary folder, removed at the end\n"
    "         unless --keep is given\n"
    "       %s [--via folder|cloud-database] --machine desk|laptop <folder> start|edit|sync\n"
    "         runs one step of one machine by hand; <folder> must exist (an empty\n"
    "         one is fine) and holds both machines' files and the shared cloud\n"
    "         folder <folder>/cloud; start adds tasks, edit changes them, sync only\n"
    "         merges\n"
    "       %s --help\n";

// The shared cloud folder as `machine` reaches it: the local folder
// <root>/cloud, or the cloud database stand-in rooted there, where the
// machine is a device of one account.
std::shared_ptr<SYNCloudFileSystem> cloudFileSystem(const std::string& root, const std::string& machine,
                                                    const std::string& via) {
    if (via != "cloud-database")
        return std::make_shared<SYNLocalCloudFileSystem>(root + "/cloud");
    plat::cloudkit::ContainerConfiguration configuration;
    configuration.cloudRoot = root + "/cloud";
    configuration.account = "example-user";
    configuration.device = machine;
    configuration.assetCacheFolder = root + "/" + machine + "-assets";
    auto container = plat::cloudkit::Container::open(configuration);
    if (!container.ok()) {
        std::fprintf(stderr, "  %s cannot open the cloud database in %s: %s\n", machine.c_str(),
                     configuration.cloudRoot.c_str(), container.error()->localizedDescription().c_str());
        return nullptr;
    }
    const std::string caches = root + "/" + machine + "-caches";
    std::filesystem::create_directories(caches);
    return SYNCloudKitFileSystem::privateDatabase(*container, 2, caches);
}

// One step of one machine: open its store and its mesh, enlist when not yet
// enlisted, make the step's changes, save, merge, show the tasks.
int machineStep(const std::string& root, const std::string& machine, const std::string& step,
                const std::string& via) {
    MainLoop::bindToCurrentThread();
    // Two processes on one computer play two computers.
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(
        machine == "desk" ? "DE5C0000-0000-4000-8000-000000000001" : "1A9709A0-0000-4000-8000-000000000002");

    // The shared cloud folder (the same for both machines).
    std::error_code ec;
    std::filesystem::create_directories(root + "/cloud", ec);
    if (ec) {
        std::fprintf(stderr, "  cannot make the cloud folder %s/cloud: %s\n", root.c_str(),
                     ec.message().c_str());
        return 1;
    }

    // The application's own store and context.
    auto model = taskModel();
    std::string storePath = root + "/" + machine + ".sqlite";
    auto coordinator = cd::PersistentStoreCoordinator::create(model);
    auto store =
        coordinator->addPersistentStore(cd::SQLiteStoreType, "", plat::URL::fileURLWithPath(storePath));
    if (!store.ok()) {
        std::fprintf(stderr, "  %s cannot open its store %s: %s\n", machine.c_str(), storePath.c_str(),
                     store.error()->localizedDescription().c_str());
        return 1;
    }
    auto context = cd::ManagedObjectContext::create(cd::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);

    // The mesh: the store, the model, the shared folder, a local data folder.
    SYNPersistentStoreMesh::Configuration config;
    config.meshIdentifier = "main";
    config.persistentStorePath = storePath;
    config.managedObjectModel = model;
    config.cloudFileSystem = cloudFileSystem(root, machine, via);
    if (!config.cloudFileSystem) {
        return 1;
    }
    config.localDataRootDirectory = root + "/" + machine + "-sync";
    auto mesh = SYNPersistentStoreMesh::create(config);
    if (!mesh->isEnlisted()) {
        auto error = run([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
        if (error) {
            std::printf("  %s could not enlist its store: %s\n", machine.c_str(),
                        error->localizedDescription().c_str());
            mesh->dismantle();
            MainLoop::drain();
            return 1;
        }
        std::printf("  %s enlisted its store\n", machine.c_str());
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
        edit("Write report", 5);
    } else if (step == "edit") {
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
bool step(const std::string& self, const std::string& via, const std::string& root,
          const std::string& machine, const std::string& name) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execl(self.c_str(), self.c_str(), "--via", via.c_str(), "--machine", machine.c_str(), root.c_str(),
              name.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int usageError(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fprintf(stderr, kUsage, program, program, program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string via = "folder";
    bool keep = false;
    std::vector<std::string> byHand;  // machine, folder, step
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(kUsage, argv[0], argv[0], argv[0]);
            return 0;
        } else if (arg == "--via" && i + 1 < argc) {
            via = argv[++i];
            if (via != "folder" && via != "cloud-database")
                return usageError(argv[0], "Unknown --via \"" + via + "\": use folder or cloud-database.");
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--machine" && i + 3 < argc) {
            byHand = {argv[i + 1], argv[i + 2], argv[i + 3]};
            i += 3;
        } else if (arg == "--machine") {
            return usageError(argv[0], "--machine needs a machine, a folder and a step.");
        } else {
            return usageError(argv[0], "Unknown argument \"" + arg + "\".");
        }
    }

    if (!byHand.empty()) {
        const std::string& machine = byHand[0];
        const std::string& folder = byHand[1];
        const std::string& stepName = byHand[2];
        if (machine != "desk" && machine != "laptop")
            return usageError(argv[0], "Unknown machine \"" + machine + "\": use desk or laptop.");
        if (stepName != "start" && stepName != "edit" && stepName != "sync")
            return usageError(argv[0], "Unknown step \"" + stepName + "\": use start, edit or sync.");
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) {
            std::fprintf(stderr,
                         "The folder %s does not exist (or is not a folder); make it first, for example with "
                         "mkdir -p %s\n",
                         folder.c_str(), folder.c_str());
            return 1;
        }
        return machineStep(folder, machine, stepName, via);
    }
    char pattern[] = "/tmp/kestrel-sync-example-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string root = pattern;
    std::filesystem::create_directories(root + "/cloud");
    if (via == "cloud-database")
        std::printf("Two machines, one cloud database account (kept by the stand-in in %s/cloud)\n\n",
                    root.c_str());
    else
        std::printf("Two machines, one shared folder: %s/cloud\n\n", root.c_str());
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();

    bool ok = true;
    std::printf("1. Both machines enlist and add tasks.\n");
    ok = step(exe, via, root, "desk", "start") && ok;
    ok = step(exe, via, root, "laptop", "start") && ok;
    std::printf("\n2. The desk merges again and sees the laptop's task.\n");
    ok = step(exe, via, root, "desk", "sync") && ok;
    std::printf(
        "\n3. The desk changes \"Write report\" and merges. The laptop, which has not merged\n"
        "   since step 1, changes the same task and deletes \"Buy milk\", then merges.\n");
    ok = step(exe, via, root, "desk", "edit") && ok;
    ok = step(exe, via, root, "laptop", "edit") && ok;
    std::printf(
        "   Neither edit of \"Write report\" saw the other, so every machine applies both in\n"
        "   one agreed order and the later one wins. The order goes by how much history a\n"
        "   save followed (then by time, then by store): the desk had merged the laptop's\n"
        "   work in step 2, so its save comes later. The desk's edit wins, priority 5, on\n"
        "   both machines; the laptop's priority 1 is overwritten.\n");
    std::printf("\n4. Both merge once more and end with the same tasks.\n");
    ok = step(exe, via, root, "desk", "sync") && ok;
    ok = step(exe, via, root, "laptop", "sync") && ok;
    if (keep) {
        std::printf(
            "\nThe files stay in %s: each machine's store (<machine>.sqlite) and sync data\n"
            "(<machine>-sync), and %s (cloud).\n",
            root.c_str(), via == "cloud-database" ? "the cloud database's data" : "the shared folder");
    } else {
        std::filesystem::remove_all(root);
        std::printf("\nRemoved %s (run with --keep to keep it).\n", root.c_str());
    }
    return ok ? 0 : 1;
}
