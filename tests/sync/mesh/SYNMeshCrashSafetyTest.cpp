// Machines (sync_mesh_peer child processes, each with its own store, event
// data and hardware identity, one shared cloud folder) killed with SIGKILL
// at chosen and at random moments: during the first enlist, between a
// save's commit and its event, while its event is stored, right after
// save() returned, and anywhere in a merge. Each machine journals, synced,
// what every save will leave and whether save() confirmed it. After every
// machine has merged until quiet, the stores hold the same objects, none
// twice, and every object is as the last confirmed save of it left it (or
// as a later save that was killed before it could confirm left it): nothing
// lost, reverted, doubled or brought back.
//
// The random runs use a fixed seed, over the local folder and the cloud
// database. A longer run takes its number of seeds from
// MESH_CRASH_SEEDS (and the first seed from MESH_CRASH_FIRST_SEED), runs
// every seed and ends with the list of failing ones; with
// MESH_CRASH_KEEP=<folder> each failing seed's folders are copied to
// <folder>/<file system>-<seed>. One file system at a time (the release
// build runs it about three times faster), e.g. for the local folder:
//   MESH_CRASH_SEEDS=500 build/release/tests/sync/mesh/sync_mesh_tests
//     --gtest_filter='*MeshCrashSafety*Random*/LocalFolder'
// and with '/CloudDatabase' for the cloud database.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "MeshFixture.h"
#include "MeshPeerProcess.h"
#include "sync/eventstore/SYNEventStoreModel.h"

namespace meshtest {
namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

// What the journals allow each object to be at the end: the state of the
// last confirmed save that touched it ("-" for deleted or never saved), or
// that of a save after it that was cut short (it may have committed).
struct Expectations {
    std::map<std::string, std::set<std::string>> allowed;
    std::set<std::string> confirmedSaves;
};

void readJournal(const std::string& path, Expectations& expectations) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // Blocks in order: "P id", "S id uid state"..., then "C id" or "F id".
    struct Save {
        std::vector<std::pair<std::string, std::string>> states;
        char outcome = 0;
    };
    std::vector<std::string> order;
    std::map<std::string, Save> saves;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (lines.eof() && !text.empty() && text.back() != '\n')
            break;  // a line cut short by a kill
        if (line.size() < 3)
            continue;
        std::istringstream fields(line.substr(2));
        std::string id;
        fields >> id;
        if (line[0] == 'P') {
            order.push_back(id);
            saves[id];
        } else if (line[0] == 'S') {
            std::string uid, state;
            fields >> uid;
            std::getline(fields, state);
            saves[id].states.emplace_back(uid, state.empty() ? state : state.substr(1));
        } else {
            saves[id].outcome = line[0];
        }
    }
    for (const auto& id : order) {
        const auto& save = saves[id];
        if (save.outcome == 'F')
            continue;
        if (save.outcome == 'C')
            expectations.confirmedSaves.insert(id);
        for (const auto& [uid, state] : save.states) {
            auto& allowed = expectations.allowed[uid];
            if (save.outcome == 'C') {
                allowed = {state};
            } else {
                if (allowed.empty())
                    allowed.insert("-");
                allowed.insert(state);
            }
        }
    }
}

struct Crashes {
    testsupport::TempDir root;
    std::string via = "folder";
    bool globalIdentifiers = false;
    std::string importBatch;  // MESH_PEER_IMPORT_BATCH when not empty
    std::vector<std::string> machines = {"alpha", "beta", "gamma"};

    Crashes() { std::filesystem::create_directories(root / "cloud"); }

    Environment environment(const std::string& killAt, int seedObjects = 0) const {
        Environment environment{{"MESH_PEER_MODEL", "rich"}};
        if (globalIdentifiers)
            environment.emplace_back("MESH_PEER_GLOBAL_IDS", "1");
        if (!killAt.empty())
            environment.emplace_back("MESH_PEER_KILL_AT", killAt);
        if (seedObjects > 0)
            environment.emplace_back("MESH_PEER_SEED_OBJECTS", std::to_string(seedObjects));
        if (!importBatch.empty())
            environment.emplace_back("MESH_PEER_IMPORT_BATCH", importBatch);
        return environment;
    }

    // Runs a machine to its end; a kill plan must kill it, none must not.
    void run(const std::string& machine, unsigned seed, int rounds, const std::string& killAt = "",
             int seedObjects = 0) {
        Peer peer = spawnWith(environment(killAt, seedObjects), root.str(), machine, seed, rounds, via);
        int status = finish(peer);
        if (killAt.empty()) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << machine << " seed " << seed << " status " << status << "\n"
                << peer.output;
        } else {
            EXPECT_TRUE(killedBySignal(status))
                << machine << " was not killed at " << killAt << ": " << status;
        }
    }

    // Every machine merges until quiet, twice round; then the checks.
    void expectConvergedAndNothingLost() {
        std::map<std::string, std::multimap<std::string, std::string>> stores;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& machine : machines) {
                Peer peer = spawnWith(environment(""), root.str(), machine, 0, 0, via);
                int status = finish(peer);
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                                           << peer.output;
                auto& objects = stores[machine];
                objects.clear();
                for (const auto& line : linesStarting(peer.output, "object ")) {
                    auto space = line.find(' ');
                    objects.emplace(line.substr(0, space), line.substr(space + 1));
                }
            }
        }
        Expectations expectations;
        for (const auto& machine : machines)
            readJournal((root / (machine + ".journal")).string(), expectations);
        ASSERT_FALSE(expectations.confirmedSaves.empty());
        const auto& first = stores[machines[0]];
        for (const auto& machine : machines) {
            const auto& objects = stores[machine];
            for (auto it = objects.begin(); it != objects.end(); it = objects.upper_bound(it->first)) {
                EXPECT_EQ(objects.count(it->first), 1u) << machine << " holds " << it->first << " twice";
                EXPECT_TRUE(expectations.allowed.count(it->first))
                    << machine << " holds unknown " << it->first;
            }
            // The differences only: the stores can be large.
            std::string differences;
            for (const auto& [uid, state] : objects)
                if (first.count(uid) != 1 || first.find(uid)->second != state)
                    differences += "\n  " + uid + ": " + state;
            for (const auto& [uid, state] : first)
                if (!objects.count(uid))
                    differences += "\n  " + uid + " missing";
            EXPECT_TRUE(differences.empty())
                << machine << " differs from " << machines[0] << ":" << differences;
            for (const auto& [uid, allowed] : expectations.allowed) {
                auto found = objects.find(uid);
                std::string state = found == objects.end() ? "-" : found->second;
                EXPECT_TRUE(allowed.count(state))
                    << machine << ": " << uid << " is " << state << "\n  allowed: " << *allowed.begin()
                    << (allowed.size() > 1 ? " (or a later unconfirmed state)" : "");
            }
        }
    }
};

// A first enlist killed as it imports the store leaves the store whole and
// not enlisted: the next run enlists again, and the objects reach the other
// machine instead of being deleted everywhere.
TEST(MeshCrashSafetyTest, KilledFirstEnlistDeletesNothing) {
    for (bool globalIdentifiers : {false, true}) {
        SCOPED_TRACE(globalIdentifiers ? "global identifiers" : "no global identifiers");
        Crashes crashes;
        crashes.globalIdentifiers = globalIdentifiers;
        crashes.machines = {"alpha", "beta"};
        crashes.run("beta", 1, 1);
        crashes.run("alpha", 2, 1, "import", 150);
        crashes.run("alpha", 3, 1);
        crashes.expectConvergedAndNothingLost();
    }
}

// Killed after the store committed a save and before the event of that save
// was stored (as the event is about to be stored, or before the save
// monitor even saw the save): the next start records the save from its
// intent instead of delisting, so nothing is doubled, reverted or lost.
TEST(MeshCrashSafetyTest, SaveKilledBeforeItsEventWasStoredReachesEveryMachineOnce) {
    for (const std::string killAt : {"record:2", "commit:2"}) {
        for (bool globalIdentifiers : {false, true}) {
            SCOPED_TRACE(killAt + (globalIdentifiers ? " with global identifiers" : ""));
            Crashes crashes;
            crashes.globalIdentifiers = globalIdentifiers;
            crashes.machines = {"alpha", "beta"};
            crashes.run("alpha", 1, 3, "", 20);
            crashes.run("beta", 2, 2);
            crashes.run("alpha", 3, 4, killAt);
            crashes.run("beta", 4, 1);
            crashes.run("alpha", 5, 1);
            crashes.expectConvergedAndNothingLost();
        }
    }
}

// Killed while the event of a save was being stored, so that the next
// process's first save is made (and takes the next revision number) before
// the part-made event is made again: that event keeps its number, and the
// machine's later saves still reach the others.
TEST(MeshCrashSafetyTest, SaveKilledWhileItsEventWasStoredKeepsItsRevision) {
    for (bool globalIdentifiers : {false, true}) {
        SCOPED_TRACE(globalIdentifiers ? "global identifiers" : "no global identifiers");
        Crashes crashes;
        crashes.globalIdentifiers = globalIdentifiers;
        crashes.machines = {"alpha", "beta"};
        crashes.run("alpha", 1, 2, "", 10);
        crashes.run("beta", 2, 2);
        crashes.run("alpha", 3, 3, "event:1");
        crashes.run("alpha", 4, 3);
        crashes.run("beta", 5, 1);
        crashes.expectConvergedAndNothingLost();
    }
}

// A kill right after save() returned: the save's event may still be
// unwritten.
TEST(MeshCrashSafetyTest, KillRightAfterSaveReturnedLosesNothing) {
    Crashes crashes;
    crashes.machines = {"alpha", "beta"};
    crashes.run("alpha", 1, 2, "", 10);
    crashes.run("beta", 2, 2);
    crashes.run("alpha", 3, 3, "after-save:1");
    crashes.run("beta", 4, 1);
    crashes.run("alpha", 5, 1);
    crashes.expectConvergedAndNothingLost();
}

// The events of a machine's event store: unique identifier -> (type, number
// of changes). Read from the file as it is, without the clean-up an event
// store makes when it opens.
std::map<std::string, std::pair<int64_t, std::size_t>> storedEvents(const std::filesystem::path& file) {
    std::map<std::string, std::pair<int64_t, std::size_t>> events;
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(
        std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel()));
    auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                                 plat::URL::fileURLWithPath(file.string()));
    EXPECT_TRUE(added.ok()) << file;
    if (!added.ok())
        return events;
    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    auto found =
        context->executeFetchRequest(plat::coredata::FetchRequest(SYNStoreModificationEventEntityName));
    EXPECT_TRUE(found.ok());
    if (found.ok())
        for (const auto& event : *found)
            events[*event->valueForKey("uniqueIdentifier").asString()] = {
                event->valueForKey("type").integerValue(), event->objectsForKey("objectChanges").size()};
    return events;
}

// Killed as the second save of an import that takes several events per save
// commits: the events of the first save are stored whole, none of the
// others is stored in part (nor at all), and the next merge imports them.
TEST(MeshCrashSafetyTest, ImportKilledBetweenItsSavesLeavesNoPartOfAnEvent) {
    Crashes crashes;
    crashes.machines = {"alpha", "beta"};
    crashes.run("beta", 1, 1);
    crashes.run("alpha", 2, 10, "", 5);
    crashes.importBatch = "4";  // changes per save: about two of alpha's events
    crashes.run("beta", 3, 1, "import-batch:2");
    const auto made = storedEvents(crashes.root / "alpha" / "main" / "events.sqlite");
    const auto kept = storedEvents(crashes.root / "beta" / "main" / "events.sqlite");
    std::size_t imported = 0, missing = 0;
    for (const auto& [uid, event] : made) {
        if (event.first != SYNStoreModificationEventTypeSave &&
            event.first != SYNStoreModificationEventTypeMerge)
            continue;
        auto found = kept.find(uid);
        if (found == kept.end()) {
            ++missing;
            continue;
        }
        ++imported;
        EXPECT_EQ(found->second, event) << "alpha's event " << uid << " is not whole in beta's store";
    }
    for (const auto& [uid, event] : kept)
        EXPECT_NE(event.first, SYNStoreModificationEventTypeIncomplete) << uid;
    EXPECT_GT(imported, 0u) << "the first save of the import stored nothing";
    EXPECT_GT(missing, 0u) << "the import was not cut short";
    crashes.importBatch.clear();
    crashes.run("beta", 4, 1);
    crashes.expectConvergedAndNothingLost();
}

// A file of the shared folder cut short and another overwritten (a sync
// service that copied half of a file, or two writers) are reported and do
// not stop the merges of the other files for good.
TEST(MeshCrashSafetyTest, DamagedSharedFilesDoNotStopSync) {
    Crashes crashes;
    crashes.machines = {"alpha", "beta"};
    crashes.run("alpha", 1, 3, "", 10);
    std::vector<std::filesystem::path> events;
    for (const auto& entry : std::filesystem::directory_iterator(crashes.root / "cloud" / "main" / "events"))
        events.push_back(entry.path());
    ASSERT_GE(events.size(), 2u);
    std::sort(events.begin(), events.end());
    std::filesystem::resize_file(events[0], std::filesystem::file_size(events[0]) / 2);
    std::ofstream(events[1], std::ios::binary | std::ios::trunc) << "overwritten by another writer";
    crashes.run("beta", 2, 2);
    crashes.run("alpha", 3, 2);
    crashes.run("beta", 4, 1);
    crashes.expectConvergedAndNothingLost();
}

// The failures the running test has reported so far.
int failureCount() {
    const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int failures = 0;
    for (int i = 0; i < result->total_part_count(); ++i)
        failures += result->GetTestPartResult(i).failed() ? 1 : 0;
    return failures;
}

// One seed: three machines run three lives each at once, each life killed
// at a random moment (or not), then all merge until quiet.
void runRandomCrashes(const std::string& via, unsigned seed) {
    Crashes crashes;
    crashes.via = via;
    std::mt19937 random(seed);
    crashes.globalIdentifiers = random() % 2 == 0;
    SCOPED_TRACE("seed " + std::to_string(seed) + " via " + via +
                 (crashes.globalIdentifiers ? " with global identifiers" : ""));
    const int lives = 3;
    struct Machine {
        int life = 0;
        Peer peer;
        std::string killAt;
    };
    std::map<pid_t, std::string> running;
    std::map<std::string, Machine> machines;
    std::string plans;
    auto start = [&](const std::string& name) {
        auto& machine = machines[name];
        const auto index =
            std::find(crashes.machines.begin(), crashes.machines.end(), name) - crashes.machines.begin();
        const unsigned lifeSeed =
            seed * 100 + static_cast<unsigned>(machine.life) * 10 + static_cast<unsigned>(index);
        // The first life starts from a store of its own objects; a last
        // life is never killed.
        switch (machine.life + 1 == lives ? 0 : random() % 6) {
            case 0:
                machine.killAt.clear();
                break;
            case 1:
                machine.killAt = "hook:" + std::to_string(1 + random() % 400);
                break;
            case 2:
                machine.killAt = "after-save:" + std::to_string(1 + random() % 4);
                break;
            case 3:
                machine.killAt = "commit:" + std::to_string(1 + random() % 4);
                break;
            case 4:
                machine.killAt = "event:" + std::to_string(1 + random() % 4);
                break;
            default:
                machine.killAt = "record:" + std::to_string(1 + random() % 4);
                break;
        }
        if (machine.life == 0 && random() % 3 == 0)
            machine.killAt = random() % 2 ? "import" : "hook:" + std::to_string(1 + random() % 40);
        const int seedObjects = machine.life == 0 ? static_cast<int>(random() % 40) : 0;
        plans += name + " life " + std::to_string(machine.life) + ": " +
                 (machine.killAt.empty() ? "no kill" : machine.killAt) + "; ";
        machine.peer = spawnWith(crashes.environment(machine.killAt, seedObjects), crashes.root.str(), name,
                                 lifeSeed, 4, via);
        running[machine.peer.pid] = name;
    };
    for (const auto& name : crashes.machines)
        start(name);
    while (!running.empty()) {
        // Outputs are read to their end one machine after another; the
        // others keep running meanwhile (their pipes hold what they print).
        auto it = running.begin();
        auto name = it->second;
        running.erase(it);
        auto& machine = machines[name];
        int status = finish(machine.peer);
        const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        EXPECT_TRUE(clean || (killedBySignal(status) && !machine.killAt.empty()))
            << name << " life " << machine.life << " status " << status << "\n"
            << machine.peer.output;
        if (++machine.life < lives)
            start(name);
    }
    SCOPED_TRACE(plans);
    const int failuresBefore = failureCount();
    crashes.expectConvergedAndNothingLost();
    // MESH_CRASH_KEEP=<folder>: a failing seed's folders are copied there.
    if (const char* keep = std::getenv("MESH_CRASH_KEEP"); keep && failureCount() > failuresBefore) {
        std::filesystem::copy(crashes.root.str(),
                              std::filesystem::path(keep) / (via + "-" + std::to_string(seed)),
                              std::filesystem::copy_options::recursive);
    }
}

class MeshCrashSafetyRandomTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MeshCrashSafetyRandomTest, RandomKillsLoseDoubleAndRevertNothing) {
    const char* count = std::getenv("MESH_CRASH_SEEDS");
    const char* first = std::getenv("MESH_CRASH_FIRST_SEED");
    const unsigned seeds = count ? static_cast<unsigned>(std::atoi(count)) : 1;
    // Seed 16 kills a machine while the event of a save that inserts an item
    // into a list is stored: the membership must reach the others.
    const unsigned from = first ? static_cast<unsigned>(std::atoi(first)) : 16;
    std::string failing;
    for (unsigned seed = from; seed < from + seeds; ++seed) {
        const int failuresBefore = failureCount();
        runRandomCrashes(GetParam(), seed);
        if (failureCount() > failuresBefore)
            failing += " " + std::to_string(seed);
    }
    EXPECT_TRUE(failing.empty()) << "failing seeds of " << seeds << ":" << failing;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, MeshCrashSafetyRandomTest,
                         ::testing::Values("folder", "cloud-database"), [](const auto& info) {
                             return info.param == "folder" ? std::string("LocalFolder")
                                                           : std::string("CloudDatabase");
                         });

}  // namespace
}  // namespace meshtest
