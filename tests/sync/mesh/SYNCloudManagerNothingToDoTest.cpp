// Calls of the cloud manager that find nothing to do (no file to export,
// download or remove) end as the queue of their tasks would: later, on the
// main thread, exactly once, without an error, and never before work queued
// earlier on the manager's queue. A merge's calls on two machines through a
// real folder report the same and leave the same files whether the
// manager's queue is idle before each call or held busy by earlier work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Queue.h"
#include "sync/integration/EventFileFixture.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

namespace fs = std::filesystem;
using plat::dispatch::MainLoop;

class CloudManagerNothingToDoTest : public integrationtest::EventFileTest {
  protected:
    using Start = std::function<void(SYNCloudManager::Progress)>;

    // Two machines on one cloud folder of their own.
    struct World {
        std::string cloud;
        std::shared_ptr<SYNEventStore> a, b;
        std::shared_ptr<SYNCloudManager> onA, onB;
    };

    World makeWorld(const std::string& name) {
        World world;
        world.cloud = root.str() + "/" + name + "-cloud";
        fs::create_directories(world.cloud);
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("AAAAAAAA-0000-0000-0000-00000000000A");
        world.a = makeStore(name + "-a");
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("BBBBBBBB-0000-0000-0000-00000000000B");
        world.b = makeStore(name + "-b");
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
        world.onA = SYNCloudManager::create(world.a, std::make_shared<SYNLocalCloudFileSystem>(world.cloud),
                                            integrationtest::applicationModel());
        world.onB = SYNCloudManager::create(world.b, std::make_shared<SYNLocalCloudFileSystem>(world.cloud),
                                            integrationtest::applicationModel());
        return world;
    }

    // A call that ends with a completion, as a transfer that ends at once.
    static Start completing(std::function<void(SYNCloudManager::Completion)> start) {
        return [start](SYNCloudManager::Progress progress) {
            start([progress](plat::ErrorPtr error) { progress(error, 1.0f, true); });
        };
    }

    // Runs one call and returns what it reported ("code fraction final", a
    // line a report). With `busy`, work queued first on the manager's queue
    // holds it until the call was made and the main thread ran what was
    // posted to it meanwhile: nothing may be reported before that work ends.
    std::vector<std::string> call(SYNCloudManager& manager, bool busy, const Start& start) {
        std::vector<std::string> reports;
        bool finished = false;
        bool inCall = true;
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        auto heldEnded = std::make_shared<std::atomic<bool>>(!busy);
        if (busy) {
            manager.operationQueue()->addOperationWithBlock([gate, heldEnded] {
                gate.wait();
                heldEnded->store(true);
            });
        } else {
            EXPECT_EQ(manager.operationQueue()->operationCount(), 0u);
        }
        start([&, heldEnded](plat::ErrorPtr error, float fraction, bool final) {
            EXPECT_TRUE(MainLoop::isMainThread());
            EXPECT_FALSE(inCall) << "reported inside the call";
            EXPECT_FALSE(finished) << "reported after the end";
            EXPECT_TRUE(heldEnded->load()) << "reported before work queued earlier ended";
            reports.push_back(std::to_string(error ? error->code() : 0) + " " + std::to_string(fraction) +
                              (final ? " final" : ""));
            finished = finished || final || error;
        });
        inCall = false;
        if (busy) {
            bool posted = false;
            plat::dispatch::Queue::main().async([&] { posted = true; });
            EXPECT_TRUE(MainLoop::runUntil([&] { return posted; }, 60));
            EXPECT_TRUE(reports.empty()) << "the call ended while earlier work held the queue";
            release.set_value();
        }
        EXPECT_TRUE(MainLoop::runUntil([&] { return finished; }, 60));
        manager.operationQueue()->waitUntilAllOperationsAreFinished();
        return reports;
    }

    // Whether the call, made on an idle manager, queued anything.
    static bool queuesWork(SYNCloudManager& manager, const Start& start) {
        bool finished = false;
        start([&](plat::ErrorPtr error, float, bool final) { finished = finished || final || error; });
        const bool queued = manager.operationQueue()->operationCount() != 0;
        EXPECT_TRUE(MainLoop::runUntil([&] { return finished; }, 60));
        manager.operationQueue()->waitUntilAllOperationsAreFinished();
        return queued;
    }

    // The folder's files, relative, with the stores' identifiers named.
    std::vector<std::string> files(const World& world, const std::string& folder) {
        std::vector<std::string> found;
        const std::string a = storeID(world.a), b = storeID(world.b);
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            std::string path = fs::relative(entry.path(), folder).string();
            for (const auto& [id, name] :
                 {std::pair{a, std::string("<A>")}, std::pair{b, std::string("<B>")}}) {
                for (auto at = path.find(id); at != std::string::npos; at = path.find(id)) {
                    path.replace(at, id.size(), name);
                }
            }
            found.push_back(path + (entry.is_directory() ? "/" : " " + std::to_string(entry.file_size())));
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    // A merge's calls on each machine, twice, with a save event written on a
    // before each round; every call's reports, then both machines' events
    // and the cloud folder's files.
    std::vector<std::string> run(const std::string& name, bool busy) {
        World world = makeWorld(name);
        std::vector<std::string> log;
        auto record = [&](const std::string& what, SYNCloudManager& manager, const Start& start) {
            SCOPED_TRACE(what);
            log.push_back(what);
            for (const auto& report : call(manager, busy, start)) {
                log.push_back("  " + report);
            }
        };
        for (auto* manager : {world.onA.get(), world.onB.get()}) {
            record("structure", *manager, completing([manager](auto done) {
                       manager->createRemoteDirectoryStructureWithCompletion(std::move(done));
                   }));
        }
        for (int round = 1; round <= 2; ++round) {
            writeEvent(world.a, "E" + std::to_string(round), SYNStoreModificationEventTypeSave, round, round);
            for (auto* manager : {world.onA.get(), world.onB.get()}) {
                const std::string on = manager == world.onA.get() ? "a " : "b ";
                record(on + "snapshot", *manager, completing([manager](auto done) {
                           manager->snapshotRemoteFilesWithCompletion(std::move(done));
                       }));
                record(on + "remove incomplete", *manager, completing([manager](auto done) {
                           manager->removeLocallyProducedIncompleteRemoteFileSets(std::move(done));
                       }));
                record(on + "import data files", *manager, [manager](auto progress) {
                    manager->importNewDataFilesWithProgress(std::move(progress));
                });
                record(on + "import baselines", *manager, [manager](auto progress) {
                    manager->importNewBaselineEventsWithProgress(std::move(progress));
                });
                record(on + "import events", *manager, [manager](auto progress) {
                    manager->importNewRemoteNonBaselineEventsWithProgress(std::move(progress));
                });
                record(on + "export data files", *manager, [manager](auto progress) {
                    manager->exportDataFilesWithProgress(std::move(progress));
                });
                record(on + "export baselines", *manager, [manager](auto progress) {
                    manager->exportNewLocalBaselineWithProgress(std::move(progress));
                });
                record(on + "export events", *manager, [manager](auto progress) {
                    manager->exportNewLocalNonBaselineEventsWithProgress(std::move(progress));
                });
                record(on + "remove outdated", *manager, completing([manager](auto done) {
                           manager->removeOutdatedRemoteFilesWithCompletion(std::move(done));
                       }));
            }
        }
        for (auto* manager : {world.onA.get(), world.onB.get()}) {
            for (const auto& set : manager->eventFileSetsForEventsWithAllowedTypes(
                     {SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}, std::nullopt)) {
                log.push_back("event " + set->uniqueIdentifier().value_or("") + " " +
                              std::to_string(set->globalCount()));
            }
        }
        for (const auto& file : files(world, world.cloud)) {
            log.push_back("cloud " + file);
        }
        return log;
    }
};

TEST_F(CloudManagerNothingToDoTest, AnIdleAndABusyQueueReportAndLeaveTheSame) {
    const auto idle = run("idle", false);
    const auto busy = run("busy", true);
    EXPECT_EQ(idle, busy);
    // Both events reached b through the folder, once each.
    EXPECT_EQ(std::count(idle.begin(), idle.end(), "event E1 1"), 2);
    EXPECT_EQ(std::count(idle.begin(), idle.end(), "event E2 2"), 2);
    EXPECT_EQ(std::count_if(idle.begin(), idle.end(),
                            [](const std::string& line) {
                                return line.starts_with("cloud mesh/events/") &&
                                       line.find(".synevent ") != std::string::npos;
                            }),
              2);
}

TEST_F(CloudManagerNothingToDoTest, NothingToDoOnAnIdleManagerQueuesNothing) {
    World world = makeWorld("quiet");
    SYNCloudManager& a = *world.onA;
    ASSERT_EQ(
        call(a, false, completing([&](auto done) { a.createRemoteDirectoryStructureWithCompletion(done); })),
        std::vector<std::string>{"0 1.000000 final"});
    writeEvent(world.a, "E1", SYNStoreModificationEventTypeSave, 1, 1);
    ASSERT_EQ(call(a, false, completing([&](auto done) { a.snapshotRemoteFilesWithCompletion(done); })),
              std::vector<std::string>{"0 1.000000 final"});
    EXPECT_FALSE(queuesWork(a, [&](auto progress) { a.exportNewLocalBaselineWithProgress(progress); }));
    EXPECT_FALSE(
        queuesWork(a, completing([&](auto done) { a.removeLocallyProducedIncompleteRemoteFileSets(done); })));
    EXPECT_FALSE(
        queuesWork(a, completing([&](auto done) { a.removeOutdatedRemoteFilesWithCompletion(done); })));
    // What has something to do still goes through the queue.
    EXPECT_TRUE(
        queuesWork(a, [&](auto progress) { a.exportNewLocalNonBaselineEventsWithProgress(progress); }));
    EXPECT_EQ(files(world, world.cloud + "/mesh/events").size(), 1u);
}

TEST_F(CloudManagerNothingToDoTest, NothingToDoOnASuspendedQueueWaitsForItsResumption) {
    World world = makeWorld("held");
    SYNCloudManager& a = *world.onA;
    ASSERT_EQ(
        call(a, false, completing([&](auto done) { a.createRemoteDirectoryStructureWithCompletion(done); })),
        std::vector<std::string>{"0 1.000000 final"});
    ASSERT_EQ(call(a, false, completing([&](auto done) { a.snapshotRemoteFilesWithCompletion(done); })),
              std::vector<std::string>{"0 1.000000 final"});
    a.operationQueue()->setSuspended(true);
    int ended = 0;
    a.exportNewLocalBaselineWithProgress([&](plat::ErrorPtr error, float fraction, bool final) {
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(fraction, 1.0f);
        EXPECT_TRUE(final);
        ++ended;
    });
    bool posted = false;
    plat::dispatch::Queue::main().async([&] { posted = true; });
    ASSERT_TRUE(MainLoop::runUntil([&] { return posted; }, 60));
    EXPECT_EQ(ended, 0) << "ended while the manager's queue was suspended";
    a.operationQueue()->setSuspended(false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return ended > 0; }, 60));
    a.operationQueue()->waitUntilAllOperationsAreFinished();
    MainLoop::drain();
    EXPECT_EQ(ended, 1);
}

}  // namespace
