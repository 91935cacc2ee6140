// What the object store's growth benchmarks share: the process's CPU time, a
// root context on a coordinator, a SQLite store in a fresh folder that is
// removed at the end of the run, and callgrind's markers (no-ops where
// valgrind's header is missing), so a run under callgrind counts only what a
// benchmark marks.
#pragma once

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"

namespace coredatabench {

// CPU of the process: the saves' disk syncs make wall time a reading of the disk.
inline double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline std::shared_ptr<plat::coredata::ManagedObjectContext> rootContext(
    const std::shared_ptr<plat::coredata::PersistentStoreCoordinator>& coordinator) {
    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    return context;
}

// "store.sqlite" of model in a new folder under /tmp; aborts when the store
// cannot be made (a benchmark without its store measures nothing).
struct TempSQLiteStore {
    std::filesystem::path dir;
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;

    explicit TempSQLiteStore(const std::shared_ptr<plat::coredata::ManagedObjectModel>& model) {
        char name[] = "/tmp/kptest-coredatabench-XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        dir = name;
        coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        auto store = coordinator->addPersistentStore(
            plat::coredata::SQLiteStoreType, "", plat::URL::fileURLWithPath((dir / "store.sqlite").string()));
        if (!store)
            std::abort();
    }
    ~TempSQLiteStore() { std::filesystem::remove_all(dir); }
    TempSQLiteStore(const TempSQLiteStore&) = delete;
    TempSQLiteStore& operator=(const TempSQLiteStore&) = delete;
};

}  // namespace coredatabench
