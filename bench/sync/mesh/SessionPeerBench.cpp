// The mesh next to SQLite's session extension doing the same sync work by
// hand: two machines sharing a local cloud folder, each with an application
// store of 100 folders and 10,000 or 100,000 items (item.folder, a to-one
// whose inverse folder.items is a to-many). The peer records each save of
// 10 changed items as a changeset (a session attached to a copy of the same
// store file, so the same table layout and file settings) and applies it to
// another copy with a take-the-incoming-row conflict handler.
//
// Side by side, in the same iteration (so machine load affects both alike),
// all in process CPU (the mesh works on several queues):
//  - save overhead: a save of 10 changed items with sync on (the save
//    monitor has built and stored its event) minus the same save on a copy of
//    the store without a mesh, against the peer's save recorded by a session
//    plus extracting its changeset;
//  - merge: the receiving machine's merge of 100 remote saves of 10 changes,
//    against applying the 100 changesets in one transaction (and, as
//    x_session_each_alone, each in a transaction of its own);
//  - end to end: one save on the first machine until it is merged into the
//    second (save, export, merge), against recording and applying it.
// Outside what is measured, the first machine merges too (taking in the
// second's merge events), as machines that sync do: were it only to export,
// each of its saves would stay concurrent with every merge of the second
// since, and each merge would integrate all of those saves again.
// Each case comes as renames (a string attribute) and as moves (an item into
// the next folder: two member sets of items / 100 change, so the other side
// of the link grows with the store).
//
// Counters: the costs in µs or ms, x_session (the mesh's cost over the
// peer's), x_session_strict for saves (over the session's own share of the
// peer's save: recorded minus the same save without a session),
// overhead_system_us (the kernel's share of a save's overhead: the store
// files' writes and syncs), for the end-to-end cases mesh_system_ms (the
// kernel's share of the mesh's cost) and mesh_switches (context switches of
// the process per round: hand-offs between threads), and ratio_to_smallest (this size's cost over the
// 10,000-item one; 1 when a cost does not grow with the store). Part of
// sync_mesh_bench: run one case per process, e.g.
// --benchmark_filter='SessionPeer.*Save'.
//
// Instructions, steadier than CPU time on a shared machine: under callgrind
// the save cases count only the saves with sync on (until each event is
// stored, every thread), the merge cases only the merges, or only the
// applies with SESSION_PEER_CALLGRIND=apply in the environment:
//   valgrind --tool=callgrind --instr-atstart=no sync_mesh_bench
//     --benchmark_filter='BM_SessionPeerMergeMoving/10000/'
// (the total is that of both iterations). The end-to-end cases count the
// mesh's save, export and merge alike (or the peer's save and apply).
#define SQLITE_ENABLE_SESSION 1
#define SQLITE_ENABLE_PREUPDATE_HOOK 1
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "MeshBenchSupport.h"
#include "MeshStoreSupport.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/SYNSaveMonitor.h"

namespace {

using meshbench::applicationStore;
using meshbench::kFolders;
using meshbench::openStore;
using meshbench::processCPUSeconds;
using meshbench::ratioToSmallest;
using meshbench::startMeasuring;
using meshbench::stopMeasuring;
using meshbench::StoredSaves;
using meshbench::storeModel;
using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::dispatch::MainLoop;

constexpr int kChangesPerSave = 10;
constexpr int kChangedItems = 1000;  // saves change items among the first 1,000
constexpr int kRemoteSaves = 100;
constexpr int kRoundsPerLaunch = 100;

// An application's context on a store with the first 1,000 items and the
// folders fetched, making saves of 10 changes.
struct AppSide {
    explicit AppSide(const std::string& path) : context(openStore(path)) {
        plat::coredata::FetchRequest folderRequest("Folder");
        folderRequest.sortDescriptors = {plat::coredata::SortDescriptor("name", true)};
        folders = *context->executeFetchRequest(folderRequest);
        plat::coredata::FetchRequest itemRequest("Item");
        itemRequest.fetchLimit = kChangedItems;
        items = *context->executeFetchRequest(itemRequest);
    }
    // Renames (or moves into the next folder) the save's 10 items and saves.
    plat::ErrorPtr save(int saveNumber, bool move) {
        for (int k = 0; k < kChangesPerSave; ++k) {
            auto& item = items[static_cast<std::size_t>((saveNumber * kChangesPerSave + k) % kChangedItems)];
            if (move) {
                auto folder = item->objectForKey("folder");
                auto it = std::find(folders.begin(), folders.end(), folder);
                const auto position = static_cast<std::size_t>(it - folders.begin());
                item->setObject(folders[(position + 1) % folders.size()], "folder");
            } else {
                item->setValue(Value(title(saveNumber, k)), "title");
            }
        }
        return context->save();
    }
    // Forgets what the context holds of its objects, so that they are read
    // again from the store (after merges that changed them there).
    void refresh() {
        for (const auto* objects : {&folders, &items}) {
            for (const auto& object : *objects) {
                context->refreshObject(object, false);
            }
        }
    }
    static std::string title(int saveNumber, int k) {
        return "save " + std::to_string(saveNumber) + " change " + std::to_string(k);
    }
    std::shared_ptr<ManagedObjectContext> context;
    std::vector<ManagedObjectPtr> folders;
    std::vector<ManagedObjectPtr> items;
};

// The peer: a connection to a copy of the application store, with the same
// file settings as the object store (write-ahead log, synchronous=FULL).
class SessionPeer {
  public:
    explicit SessionPeer(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            std::abort();
        }
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        rename_ = prepare("UPDATE Z_Item SET Z_OPT = Z_OPT + 1, ZTITLE = ? WHERE Z_PK = ?");
        move_ = prepare("UPDATE Z_Item SET Z_OPT = Z_OPT + 1, ZFOLDER = ? WHERE Z_PK = ?");
        folderOf_ = prepare("SELECT ZFOLDER FROM Z_Item WHERE Z_PK = ?");
        sqlite3_stmt* items = prepare("SELECT Z_PK FROM Z_Item ORDER BY Z_PK LIMIT ?");
        sqlite3_bind_int(items, 1, kChangedItems);
        while (sqlite3_step(items) == SQLITE_ROW) {
            items_.push_back(sqlite3_column_int64(items, 0));
        }
        sqlite3_finalize(items);
        sqlite3_stmt* folders = prepare("SELECT Z_PK FROM Z_Folder ORDER BY Z_PK");
        while (sqlite3_step(folders) == SQLITE_ROW) {
            folders_.push_back(sqlite3_column_int64(folders, 0));
        }
        sqlite3_finalize(folders);
    }
    ~SessionPeer() {
        for (auto* statement : {rename_, move_, folderOf_}) {
            sqlite3_finalize(statement);
        }
        sqlite3_close(db_);
    }
    SessionPeer(const SessionPeer&) = delete;
    SessionPeer& operator=(const SessionPeer&) = delete;

    // The same save as AppSide::save, recorded by a session when `record`;
    // the changeset (empty when not recorded).
    std::string save(int saveNumber, bool move, bool record) {
        sqlite3_session* session = nullptr;
        if (record) {
            sqlite3session_create(db_, "main", &session);
            sqlite3session_attach(session, nullptr);
        }
        exec("BEGIN IMMEDIATE");
        for (int k = 0; k < kChangesPerSave; ++k) {
            const auto pk =
                items_[static_cast<std::size_t>((saveNumber * kChangesPerSave + k) % kChangedItems)];
            if (move) {
                sqlite3_bind_int64(folderOf_, 1, pk);
                sqlite3_step(folderOf_);
                const auto folder = sqlite3_column_int64(folderOf_, 0);
                sqlite3_reset(folderOf_);
                const auto it = std::find(folders_.begin(), folders_.end(), folder);
                const auto position = static_cast<std::size_t>(it - folders_.begin());
                sqlite3_bind_int64(move_, 1, folders_[(position + 1) % folders_.size()]);
                sqlite3_bind_int64(move_, 2, pk);
                step(move_);
            } else {
                const auto title = AppSide::title(saveNumber, k);
                sqlite3_bind_text(rename_, 1, title.c_str(), static_cast<int>(title.size()),
                                  SQLITE_TRANSIENT);
                sqlite3_bind_int64(rename_, 2, pk);
                step(rename_);
            }
        }
        exec("COMMIT");
        std::string changeset;
        if (session) {
            int size = 0;
            void* bytes = nullptr;
            if (sqlite3session_changeset(session, &size, &bytes) != SQLITE_OK) {
                std::abort();
            }
            changeset.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
            sqlite3_free(bytes);
            sqlite3session_delete(session);
        }
        return changeset;
    }

    // Applies `changesets` in one transaction, the incoming row winning;
    // with `eachAlone`, each in a transaction of its own.
    void apply(const std::vector<std::string>& changesets, bool eachAlone = false) {
        if (!eachAlone) {
            exec("BEGIN IMMEDIATE");
        }
        for (const auto& changeset : changesets) {
            auto takeIncoming = [](void*, int conflict, sqlite3_changeset_iter*) {
                return conflict == SQLITE_CHANGESET_DATA || conflict == SQLITE_CHANGESET_CONFLICT
                           ? SQLITE_CHANGESET_REPLACE
                           : SQLITE_CHANGESET_OMIT;
            };
            if (sqlite3changeset_apply(db_, static_cast<int>(changeset.size()),
                                       const_cast<char*>(changeset.data()), nullptr, takeIncoming,
                                       nullptr) != SQLITE_OK) {
                std::abort();
            }
        }
        if (!eachAlone) {
            exec("COMMIT");
        }
    }

    // Items titled `title` (checks that a change arrived).
    int countTitled(const std::string& title) {
        sqlite3_stmt* statement = prepare("SELECT count(*) FROM Z_Item WHERE ZTITLE = ?");
        sqlite3_bind_text(statement, 1, title.c_str(), static_cast<int>(title.size()), SQLITE_TRANSIENT);
        sqlite3_step(statement);
        const int count = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
        return count;
    }

  private:
    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::abort();
        }
    }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
            std::abort();
        }
        return statement;
    }
    static void step(sqlite3_stmt* statement) {
        if (sqlite3_step(statement) != SQLITE_DONE) {
            std::abort();
        }
        sqlite3_reset(statement);
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* rename_ = nullptr;
    sqlite3_stmt* move_ = nullptr;
    sqlite3_stmt* folderOf_ = nullptr;
    std::vector<sqlite3_int64> items_;
    std::vector<sqlite3_int64> folders_;
};

// Items titled `title` in the store file at `path`, read by hand.
int countTitled(const std::string& path, const std::string& title) {
    SessionPeer reader(path);
    return reader.countTitled(title);
}

using meshbench::wait;

// Two machines on one cloud folder, made once per size: "a" enlisted the
// application store, "b" enlisted an empty one and joined by merging; both
// then merged once more, so later merges are steady-state ones. Also a copy
// of the store without a mesh (sync off) and the peer's two copies.
struct Machines {
    testsupport::TempDir root;
    std::shared_ptr<SYNPersistentStoreMesh> a;
    std::shared_ptr<SYNPersistentStoreMesh> b;
    std::unique_ptr<AppSide> appA;
    std::unique_ptr<AppSide> appOff;
    std::unique_ptr<SessionPeer> peerA;
    std::unique_ptr<SessionPeer> peerB;
    std::unique_ptr<SessionPeer> peerC;  // applies each changeset alone
    std::unique_ptr<StoredSaves> stored;
    int savesOnA = 0;
    int saveNumber = 0;
    plat::ErrorPtr error;

    std::string path(const std::string& name) const { return root.str() + "/" + name; }

    // Saves on a and waits for the save event to be stored.
    plat::ErrorPtr saveOnA(int number, bool move) {
        auto failed = appA->save(number, move);
        stored->waitFor(++savesOnA);
        return failed;
    }
    // a exports its save events, then b merges them.
    plat::ErrorPtr carryToB() {
        auto failed = wait([&](SYNCompletion done) {
            a->mergeWithOptions(SYNMergeOptionExportsOnly | SYNMergeOptionSkipRebase, done);
        });
        if (!failed) {
            failed = wait([&](SYNCompletion done) { b->mergeWithOptions(SYNMergeOptionSkipRebase, done); });
        }
        return failed;
    }
    // a merges what b published (b's merge events), as a machine that syncs
    // does now and then. Otherwise every save of a stays concurrent with
    // each merge b made since a last merged, and every merge of b would
    // integrate all of those saves again: the cost of a merge would grow
    // with the number of merges before it, not follow the saves merged.
    plat::ErrorPtr catchUpA() {
        return wait([&](SYNCompletion done) { a->mergeWithOptions(SYNMergeOptionSkipRebase, done); });
    }
};

Machines& machines(int items) {
    MainLoop::bindToCurrentThread();
    static std::map<int, Machines*> made;  // live for the whole run
    if (auto it = made.find(items); it != made.end()) {
        return *it->second;
    }
    auto* m = new Machines();
    testsupport::removeAtExit(m->root.path());
    made[items] = m;
    const auto& store = applicationStore(items);
    for (const char* copy : {"a.sqlite", "off.sqlite", "peerA.sqlite", "peerB.sqlite", "peerC.sqlite"}) {
        std::filesystem::copy_file(store, m->path(copy));
    }
    m->a = meshbench::makeMesh(storeModel(), m->path("a.sqlite"), m->root.str(), "a");
    m->b = meshbench::makeMesh(storeModel(), m->path("b.sqlite"), m->root.str(), "b");
    m->error = wait([&](SYNCompletion done) { m->a->enlistPersistentStoreWithCompletion(done); });
    if (!m->error) {
        m->error = wait([&](SYNCompletion done) { m->b->enlistPersistentStoreWithCompletion(done); });
    }
    for (const auto& mesh : {m->b, m->a, m->b}) {
        if (!m->error) {
            m->error = wait([&](SYNCompletion done) { mesh->mergeWithCompletion(done); });
        }
    }
    m->appA = std::make_unique<AppSide>(m->path("a.sqlite"));
    m->stored = std::make_unique<StoredSaves>(m->appA->context);
    m->appOff = std::make_unique<AppSide>(m->path("off.sqlite"));
    m->peerA = std::make_unique<SessionPeer>(m->path("peerA.sqlite"));
    m->peerB = std::make_unique<SessionPeer>(m->path("peerB.sqlite"));
    m->peerC = std::make_unique<SessionPeer>(m->path("peerC.sqlite"));
    // One save carried over opens what every later one uses.
    if (!m->error) {
        m->error = m->saveOnA(m->saveNumber++, false);
    }
    if (!m->error) {
        m->error = m->carryToB();
    }
    if (!m->error) {
        m->error = m->catchUpA();
    }
    return *m;
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

// The system's share of processCPUSeconds (reads, writes, syncs of the
// store files): what of a save's cost is spent in the kernel.
double systemCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

// Context switches of the process so far, voluntary ones (a thread waiting
// for another) and involuntary ones alike: each hand-off between queues that
// finds the other thread asleep costs two.
double contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

// Page faults of the process so far (memory handed back to the system and
// touched again faults in anew: part of the system's share).
double pageFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_minflt + usage.ru_majflt);
}

// Per save: sync on, sync off, the peer recorded and the peer unrecorded,
// one after the other in each iteration.
void saveOverhead(benchmark::State& state, bool move, const char* name) {
    const int items = static_cast<int>(state.range(0));
    auto& m = machines(items);
    if (m.error) {
        state.SkipWithError(m.error->localizedDescription().c_str());
        return;
    }
    double on = 0, off = 0, recorded = 0, plain = 0, onSystem = 0, offSystem = 0;
    std::size_t changesetBytes = 0;
    for (auto _ : state) {
        const int number = m.saveNumber++;
        // Under callgrind (--instr-atstart=no) only the saves with sync on
        // are counted, until their events are stored.
        startMeasuring();
        double start = processCPUSeconds();
        double system = systemCPUSeconds();
        auto error = m.saveOnA(number, move);
        on += processCPUSeconds() - start;
        onSystem += systemCPUSeconds() - system;
        stopMeasuring();
        start = processCPUSeconds();
        system = systemCPUSeconds();
        if (!error) {
            error = m.appOff->save(number, move);
        }
        off += processCPUSeconds() - start;
        offSystem += systemCPUSeconds() - system;
        start = processCPUSeconds();
        changesetBytes += m.peerA->save(number, move, true).size();
        recorded += processCPUSeconds() - start;
        start = processCPUSeconds();
        (void)m.peerB->save(number, move, false);
        plain += processCPUSeconds() - start;
        (void)m.peerC->save(number, move, false);
        if (error) {
            state.SkipWithError(error->localizedDescription().c_str());
            break;
        }
    }
    const double n = static_cast<double>(state.iterations());
    const double overhead = std::max(0.0, on - off) / n;
    const double session = std::max(0.0, recorded - plain) / n;
    state.counters["sync_on_us"] = on / n * 1e6;
    state.counters["sync_off_us"] = off / n * 1e6;
    state.counters["overhead_us"] = overhead * 1e6;
    state.counters["overhead_system_us"] = (onSystem - offSystem) / n * 1e6;
    state.counters["peer_recorded_us"] = recorded / n * 1e6;
    state.counters["peer_plain_us"] = plain / n * 1e6;
    state.counters["changeset_B"] = static_cast<double>(changesetBytes) / n;
    state.counters["x_session"] = ratio(overhead, recorded / n);
    state.counters["x_session_strict"] = ratio(overhead, session);
    state.counters["ratio_to_smallest"] = ratioToSmallest(name, items, overhead);
}

void BM_SessionPeerSaveRenaming(benchmark::State& state) {
    saveOverhead(state, false, "save rename");
}
void BM_SessionPeerSaveMoving(benchmark::State& state) {
    saveOverhead(state, true, "save move");
}

// The merge of 100 remote saves on b, against applying their changesets.
void mergeRemoteSaves(benchmark::State& state, bool move, const char* name) {
    const int items = static_cast<int>(state.range(0));
    auto& m = machines(items);
    plat::ErrorPtr error = m.error;
    if (!error) {
        error = m.carryToB();  // earlier cases' saves are not counted here
    }
    if (!error) {
        error = m.catchUpA();
    }
    double merge = 0, apply = 0, applyEach = 0, mergeSystem = 0, applySystem = 0, mergeFaults = 0;
    const char* counted = std::getenv("SESSION_PEER_CALLGRIND");
    const bool countApply = counted && std::string(counted) == "apply";
    if (std::getenv("MESH_BENCH_TRACE")) {
        SYNSetLoggingLevel(SYNLoggingLevelVerbose);
    }
    for (auto _ : state) {
        if (error) {
            break;
        }
        state.PauseTiming();
        std::vector<std::string> changesets;
        int last = 0;
        for (int i = 0; !error && i < kRemoteSaves; ++i) {
            last = m.saveNumber++;
            error = m.saveOnA(last, move);
            changesets.push_back(m.peerA->save(last, move, true));
        }
        if (!error) {
            error = wait([&](SYNCompletion done) {
                m.a->mergeWithOptions(SYNMergeOptionExportsOnly | SYNMergeOptionSkipRebase, done);
            });
        }
        MainLoop::drain();
        state.ResumeTiming();
        // Under callgrind (--instr-atstart=no) only the merge, or the apply,
        // is counted.
        if (!countApply) {
            startMeasuring();
        }
        double system = systemCPUSeconds();
        double faults = pageFaults();
        double start = processCPUSeconds();
        if (!error) {
            error = wait([&](SYNCompletion done) { m.b->mergeWithOptions(SYNMergeOptionSkipRebase, done); });
        }
        merge += processCPUSeconds() - start;
        mergeSystem += systemCPUSeconds() - system;
        mergeFaults += pageFaults() - faults;
        if (!countApply) {
            stopMeasuring();
        } else {
            startMeasuring();
        }
        system = systemCPUSeconds();
        start = processCPUSeconds();
        m.peerB->apply(changesets);
        apply += processCPUSeconds() - start;
        applySystem += systemCPUSeconds() - system;
        if (countApply) {
            stopMeasuring();
        }
        start = processCPUSeconds();
        m.peerC->apply(changesets, true);
        applyEach += processCPUSeconds() - start;
        state.PauseTiming();
        const auto expected = AppSide::title(last, kChangesPerSave - 1);
        if (!error && !move &&
            (countTitled(m.path("b.sqlite"), expected) != 1 || m.peerB->countTitled(expected) != 1 ||
             m.peerC->countTitled(expected) != 1)) {
            state.SkipWithError("a change did not arrive");
        }
        if (!error) {
            error = m.catchUpA();
        }
        state.ResumeTiming();
    }
    if (error) {
        state.SkipWithError(error->localizedDescription().c_str());
        return;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["merge_ms"] = merge / n * 1e3;
    state.counters["apply_ms"] = apply / n * 1e3;
    state.counters["merge_system_ms"] = mergeSystem / n * 1e3;
    state.counters["apply_system_ms"] = applySystem / n * 1e3;
    state.counters["merge_page_faults"] = mergeFaults / n;
    state.counters["merge_us_per_save"] = merge / n / kRemoteSaves * 1e6;
    state.counters["apply_each_alone_ms"] = applyEach / n * 1e3;
    state.counters["x_session"] = ratio(merge, apply);
    state.counters["x_session_each_alone"] = ratio(merge, applyEach);
    state.counters["ratio_to_smallest"] = ratioToSmallest(name, items, merge / n);
}

void BM_SessionPeerMergeRenaming(benchmark::State& state) {
    mergeRemoteSaves(state, false, "merge rename");
}
void BM_SessionPeerMergeMoving(benchmark::State& state) {
    mergeRemoteSaves(state, true, "merge move");
}

// One save on a until merged on b, against recording and applying it.
void endToEnd(benchmark::State& state, bool move, const char* name) {
    const int items = static_cast<int>(state.range(0));
    auto& m = machines(items);
    plat::ErrorPtr error = m.error;
    if (!error) {
        error = m.carryToB();
    }
    if (!error) {
        error = m.catchUpA();
    }
    double mesh = 0, meshSystem = 0, meshSwitches = 0, peer = 0;
    const char* counted = std::getenv("SESSION_PEER_CALLGRIND");
    const bool countPeer = counted && std::string(counted) == "apply";
    if (std::getenv("MESH_BENCH_TRACE")) {
        SYNSetLoggingLevel(SYNLoggingLevelVerbose);
    }
    for (auto _ : state) {
        if (error) {
            break;
        }
        const int number = m.saveNumber++;
        // Under callgrind (--instr-atstart=no) only the mesh's part, or the
        // peer's with SESSION_PEER_CALLGRIND=apply, is counted.
        if (!countPeer) {
            startMeasuring();
        }
        double start = processCPUSeconds();
        const double startSystem = systemCPUSeconds();
        const double startSwitches = contextSwitches();
        error = m.saveOnA(number, move);
        if (!error) {
            error = m.carryToB();
        }
        mesh += processCPUSeconds() - start;
        meshSystem += systemCPUSeconds() - startSystem;
        meshSwitches += contextSwitches() - startSwitches;
        if (!countPeer) {
            stopMeasuring();
        } else {
            startMeasuring();
        }
        start = processCPUSeconds();
        const auto changeset = m.peerA->save(number, move, true);
        m.peerB->apply({changeset});
        peer += processCPUSeconds() - start;
        if (countPeer) {
            stopMeasuring();
        }
        m.peerC->apply({changeset}, true);
        if (!error) {
            error = m.catchUpA();
        }
    }
    if (error) {
        state.SkipWithError(error->localizedDescription().c_str());
        return;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["mesh_ms"] = mesh / n * 1e3;
    state.counters["mesh_system_ms"] = meshSystem / n * 1e3;
    state.counters["mesh_switches"] = meshSwitches / n;
    state.counters["peer_ms"] = peer / n * 1e3;
    state.counters["x_session"] = ratio(mesh, peer);
    state.counters["ratio_to_smallest"] = ratioToSmallest(name, items, mesh / n);
}

void BM_SessionPeerEndToEndRenaming(benchmark::State& state) {
    endToEnd(state, false, "end to end rename");
}
void BM_SessionPeerEndToEndMoving(benchmark::State& state) {
    endToEnd(state, true, "end to end move");
}

// Bytes a folder holds at rest: a SQLite database counts the pages of its
// committed image in use (its write-ahead log and shared memory are a
// transient copy of pages and are left out, and free pages are reused before
// the file grows); any other file counts its size.
double bytesAtRest(const std::string& folder) {
    double bytes = 0;
    std::error_code failed;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, failed)) {
        if (!entry.is_regular_file(failed)) {
            continue;
        }
        const auto path = entry.path().string();
        if (path.ends_with("-wal") || path.ends_with("-shm") || path.ends_with("-journal")) {
            continue;
        }
        sqlite3* db = nullptr;
        bool counted = false;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            const char* sql =
                "SELECT page_size * (page_count - freelist_count) FROM pragma_page_size, "
                "pragma_page_count, pragma_freelist_count";
            if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                bytes += static_cast<double>(sqlite3_column_int64(statement, 0));
                counted = true;
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        if (!counted) {
            bytes += static_cast<double>(entry.file_size(failed));
        }
    }
    return bytes;
}

// How the sync data at rest grows as saves go on, against the changesets of
// the same saves: each round saves 10 moved items on a and syncs both
// machines with their full merges, rebasing allowed (so baselines
// consolidate once enough changes are foldable), both applications launched
// again every 100 rounds (a mesh decides whether to rebase at its first
// merge); 100, 300 and 1,000 rounds after those before, so a growth that
// consolidation does not bound shows. Counters: the growth over
// the rounds per changed object of a's local data, b's, and the cloud
// folder's, the changeset bytes per changed object, and x_changeset (a's
// local growth over the changeset bytes). Runs last: it leaves the machines
// rebased.
void BM_SessionPeerDataGrowth(benchmark::State& state) {
    const int items = static_cast<int>(state.range(0));
    auto& m = machines(items);
    plat::ErrorPtr error = m.error;
    auto merge = [&](const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        if (!error) {
            error = wait([&](SYNCompletion done) { mesh->mergeWithCompletion(done); });
        }
    };
    // The applications are launched again now and then: a mesh asks
    // whether to rebase at its first merge only.
    auto relaunch = [&] {
        for (auto* mesh : {&m.a, &m.b}) {
            (*mesh)->dismantle();
            mesh->reset();
        }
        MainLoop::drain();
        m.a = meshbench::makeMesh(storeModel(), m.path("a.sqlite"), m.root.str(), "a");
        m.b = meshbench::makeMesh(storeModel(), m.path("b.sqlite"), m.root.str(), "b");
    };
    merge(m.a);
    merge(m.b);
    merge(m.a);
    MainLoop::drain();
    const double localA = bytesAtRest(m.path("a")), localB = bytesAtRest(m.path("b"));
    const double cloud = bytesAtRest(m.path("cloud"));
    double changesetBytes = 0;
    const int rounds = static_cast<int>(state.range(1));
    for (auto _ : state) {
        for (int round = 0; !error && round < rounds; ++round) {
            if (round > 0 && round % kRoundsPerLaunch == 0) {
                relaunch();
            }
            const int number = m.saveNumber++;
            error = m.saveOnA(number, true);
            const auto changeset = m.peerA->save(number, true, true);
            changesetBytes += static_cast<double>(changeset.size());
            m.peerB->apply({changeset});
            m.peerC->apply({changeset}, true);
            merge(m.a);
            merge(m.b);
            merge(m.a);
            // A merge that brings in a new baseline may write every object
            // of the store.
            m.appA->refresh();
        }
    }
    MainLoop::drain();
    if (error) {
        state.SkipWithError(error->localizedDescription().c_str());
        return;
    }
    const double changes = static_cast<double>(state.iterations()) * rounds * kChangesPerSave;
    const double grownA = bytesAtRest(m.path("a")) - localA;
    state.counters["local_a_growth_B_per_change"] = grownA / changes;
    state.counters["local_b_growth_B_per_change"] = (bytesAtRest(m.path("b")) - localB) / changes;
    state.counters["cloud_growth_B_per_change"] = (bytesAtRest(m.path("cloud")) - cloud) / changes;
    state.counters["changeset_B_per_change"] = changesetBytes / changes;
    state.counters["x_changeset"] = ratio(grownA, changesetBytes);
    state.counters["local_a_MB"] = bytesAtRest(m.path("a")) / (1024.0 * 1024.0);
}

// Iterations of a merge or end-to-end benchmark: `fallback`, or the number in
// the environment variable `name`. Every iteration keeps more events (the
// benchmarks skip the rebase, so nothing is consolidated), so raising it
// follows what a merge or a round costs as the events kept grow, e.g.
// SESSION_PEER_MERGES=40 (4,000 more saves kept by the last merge).
int64_t iterationsFrom(const char* name, int64_t fallback) {
    const char* text = std::getenv(name);
    char* end = nullptr;
    const long long value = text ? std::strtoll(text, &end, 10) : 0;
    return text && end != text && *end == '\0' && value > 0 ? value : fallback;
}

BENCHMARK(BM_SessionPeerSaveRenaming)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000)->Iterations(50);
BENCHMARK(BM_SessionPeerSaveMoving)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000)->Iterations(50);
// 10,000 and 100,000 objects, `fallback` iterations unless `name` says.
void sizes(benchmark::internal::Benchmark* b, const char* name, int64_t fallback) {
    b->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000)->Iterations(iterationsFrom(name, fallback));
}
void mergeSizes(benchmark::internal::Benchmark* b) {
    sizes(b, "SESSION_PEER_MERGES", 2);
}
void roundSizes(benchmark::internal::Benchmark* b) {
    sizes(b, "SESSION_PEER_ROUNDS", 10);
}

BENCHMARK(BM_SessionPeerMergeRenaming)->Apply(mergeSizes);
BENCHMARK(BM_SessionPeerMergeMoving)->Apply(mergeSizes);
BENCHMARK(BM_SessionPeerEndToEndRenaming)->Apply(roundSizes);
BENCHMARK(BM_SessionPeerEndToEndMoving)->Apply(roundSizes);

BENCHMARK(BM_SessionPeerDataGrowth)
    ->Unit(benchmark::kMillisecond)
    ->ArgNames({"objects", "rounds"})
    ->ArgsProduct({{10000, 100000}, {100, 300, 1000}})
    ->Iterations(1);

}  // namespace
