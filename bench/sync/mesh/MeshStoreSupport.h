// What the mesh growth benchmarks share: an application store of folders and
// items (item.folder, a to-one whose inverse folder.items is a to-many), made
// once per size, the process's CPU time, and callgrind's markers (no-ops
// where valgrind's header is missing), so a run under callgrind counts only
// what a benchmark marks.
#pragma once

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URL.h"
#include "support/TempDir.h"
#include "sync/mesh/SYNSaveMonitor.h"

namespace meshbench {

// Marks the start and the end of what a benchmark measures: for callgrind
// (--instr-atstart=no), and for perf when MESH_PERF_CONTROL names the fifo
// given to `perf record --delay=-1 --control=fifo:<fifo>,<ack fifo>` and
// MESH_PERF_ACK the acknowledging one (each mark then waits for perf).
inline void perfCommand(const char* command) {
    static const std::pair<int, int> fifos = [] {
        const char* control = std::getenv("MESH_PERF_CONTROL");
        const char* ack = std::getenv("MESH_PERF_ACK");
        const int in = control ? ::open(control, O_WRONLY | O_CLOEXEC) : -1;
        return std::make_pair(in, in >= 0 && ack ? ::open(ack, O_RDONLY | O_CLOEXEC) : -1);
    }();
    if (fifos.first < 0) {
        return;
    }
    const std::string line = std::string(command) + "\n";
    if (::write(fifos.first, line.data(), line.size()) > 0 && fifos.second >= 0) {
        char reply[8];
        (void)!::read(fifos.second, reply, sizeof reply);
    }
}
inline void startMeasuring() {
    CALLGRIND_START_INSTRUMENTATION;
    perfCommand("enable");
}
inline void stopMeasuring() {
    CALLGRIND_STOP_INSTRUMENTATION;
    perfCommand("disable");
}

constexpr int kFolders = 100;

// User and system CPU of every thread of the process: the mesh works on
// several queues.
inline double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline std::shared_ptr<plat::coredata::ManagedObjectModel> storeModel() {
    static auto made = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& folder = model->addEntity("Folder");
        folder.addAttribute("name", plat::coredata::AttributeType::String);
        auto& item = model->addEntity("Item");
        item.addAttribute("title", plat::coredata::AttributeType::String);
        item.addAttribute("priority", plat::coredata::AttributeType::Integer64);
        item.addRelationship("folder", "Folder").inverse("items");
        folder.addRelationship("items", "Item").toMany(true).inverse("folder");
        if (model->finalize())
            std::abort();  // a fixed model: failing is a bug here
        return model;
    }();
    return made;
}

inline std::shared_ptr<plat::coredata::ManagedObjectContext> openStore(const std::string& path) {
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(storeModel());
    auto store = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                                 plat::URL::fileURLWithPath(path));
    if (!store.ok())
        std::abort();  // a benchmark without its store measures nothing
    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    return context;
}

// An application store of `items` items in kFolders folders, made once per
// size for the whole process (a copy is taken where a benchmark changes it).
inline const std::string& applicationStore(int items) {
    static testsupport::TempDir folder;
    static std::map<int, std::string> made;
    if (auto it = made.find(items); it != made.end()) {
        return it->second;
    }
    std::string file = folder.str() + "/items" + std::to_string(items) + ".sqlite";
    auto context = openStore(file);
    std::vector<plat::coredata::ManagedObjectPtr> folders;
    for (int f = 0; f < kFolders; ++f) {
        auto object = context->insertNewObjectForEntityForName("Folder");
        object->setValue(plat::Value("folder " + std::to_string(f)), "name");
        folders.push_back(object);
    }
    for (int i = 0; i < items; ++i) {
        auto item = context->insertNewObjectForEntityForName("Item");
        item->setValue(plat::Value("item " + std::to_string(i)), "title");
        item->setValue(plat::Value(int64_t(i % 5)), "priority");
        item->setObject(folders[static_cast<std::size_t>(i % kFolders)], "folder");
    }
    if (context->save())
        std::abort();
    context->reset();
    return made[items] = file;
}

// This size's cost per unit over the smallest size's run so far, per
// benchmark.
inline double ratioToSmallest(const std::string& name, int size, double cost) {
    static std::map<std::string, std::pair<int, double>> smallest;
    auto [it, fresh] = smallest.emplace(name, std::make_pair(size, cost));
    if (!fresh && size < it->second.first) {
        it->second = {size, cost};
    }
    return it->second.second > 0 ? cost / it->second.second : 0;
}

// Counts the save monitor's were-stored notifications (posted on the main
// queue) of saves of `context`, or of every context.
struct StoredSaves {
    explicit StoredSaves(const std::shared_ptr<plat::coredata::ManagedObjectContext>& context = nullptr) {
        token = plat::NotificationCenter::defaultCenter().addObserverForName(
            SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification, context,
            [this](const plat::Notification&) {
                std::lock_guard lock(mutex);
                ++count;
            });
    }
    ~StoredSaves() { plat::NotificationCenter::defaultCenter().removeObserver(token); }
    StoredSaves(const StoredSaves&) = delete;
    StoredSaves& operator=(const StoredSaves&) = delete;
    // Runs the main loop until `wanted` saves were stored (a hang ends after
    // ten minutes).
    void waitFor(int wanted) {
        plat::dispatch::MainLoop::runUntil(
            [&] {
                std::lock_guard lock(mutex);
                return count >= wanted;
            },
            600);
    }
    std::mutex mutex;
    int count = 0;
    plat::ObserverToken token;
};

}  // namespace meshbench
