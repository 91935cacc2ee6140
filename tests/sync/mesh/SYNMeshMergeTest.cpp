// The merge procedure with the real cloud manager over a local cloud folder.
// A recording integration stands in for the event integrator where the test
// is about the procedure around it.
#include <fstream>

#include "MeshFixture.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "support/FakeCloudFileSystem.h"
#include "sync/eventstore/SYNRebaser.h"

namespace meshtest {
namespace {

using testsupport::FakeCloudFileSystem;

struct RecordingIntegration : SYNMeshEventIntegration {
    void startMonitoringSaves() override { calls.push_back("start"); }
    void stopMonitoringSaves() override { calls.push_back("stop"); }
    uint64_t numberOfProgressUnits() const override { return 4; }
    void setProgressUnitsCompletionBlock(std::function<void(uint64_t)> block) override {
        progress = std::move(block);
    }
    void mergeEventsWithCompletion(SYNCompletion completion) override {
        calls.push_back("merge");
        if (progress) {
            progress(2);
            progress(2);
        }
        if (onMerge) {
            onMerge();
        }
        plat::dispatch::Queue::main().async([completion, error = mergeError] { completion(error); });
    }
    std::vector<std::string> calls;
    std::function<void(uint64_t)> progress;
    std::function<void()> onMerge;
    plat::ErrorPtr mergeError;
};

class MergeTest : public MeshTest {
  protected:
    std::shared_ptr<SYNPersistentStoreMesh> makeMergingMesh(
        const std::string& machine, std::shared_ptr<SYNCloudFileSystem> fs = nullptr) {
        auto config = configuration(machine, std::move(fs));
        auto integration = std::make_shared<RecordingIntegration>();
        integrations[machine] = integration;
        config.makeEventIntegration = [integration](const auto&) { return integration; };
        auto mesh = SYNPersistentStoreMesh::create(config);
        meshes.push_back(mesh);
        return mesh;
    }
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, uint64_t options = 0) {
        return wait([&](SYNCompletion c) { mesh->mergeWithOptions(options, c); });
    }
    std::size_t countEvents(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, int16_t type) {
        std::size_t count = 0;
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{type}, std::nullopt, *context);
            count = events.ok() ? events->size() : 999;
        });
        return count;
    }
    // Changes of Task objects in all events and baselines of the mesh.
    std::size_t countTaskChanges(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        std::size_t count = 0;
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                for (const auto& change : event->objectsForKey("objectChanges")) {
                    count += change->valueForKey("nameOfEntity") == plat::Value("Task");
                }
            }
        });
        return count;
    }
    std::map<std::string, std::shared_ptr<RecordingIntegration>> integrations;
};

TEST_F(MergeTest, MergesCarryEachStoresSaveEventsToTheOther) {
    auto a = makeMergingMesh("a");
    auto b = makeMergingMesh("b");
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(enlist(b), nullptr);
    AppStore appA(a->persistentStorePath());
    appA.addTask("from a");
    ASSERT_EQ(appA.save(), nullptr);
    ActivityLog log(a);
    ASSERT_EQ(merge(a, SYNMergeOptionSkipRebase), nullptr);
    // A second store's merge without rebasing finds the save event itself.
    EXPECT_EQ(integrations["a"]->calls, (std::vector<std::string>{"start", "merge", "stop"}));
    ASSERT_EQ(log.named(SYNPersistentStoreMeshDidBeginActivityNotification).size(), 1u);
    ASSERT_EQ(log.named(SYNPersistentStoreMeshWillEndActivityNotification).size(), 1u);
    EXPECT_EQ(info(log.named(SYNPersistentStoreMeshWillEndActivityNotification)[0], SYNMeshActivityKey),
              plat::Value(uint64_t(300)));
    // The last progress is complete, in the last phase that ran.
    int64_t lastPhase = 0;
    float lastFraction = 0;
    for (const auto& note : log.named(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification)) {
        auto phase = info(note, SYNActivityPhaseKey);
        if (!phase.isNull()) {
            lastPhase = phase.longLongValue();
        }
        lastFraction = static_cast<float>(info(note, SYNProgressFractionKey).doubleValue());
    }
    EXPECT_EQ(lastPhase, 11);
    EXPECT_FLOAT_EQ(lastFraction, 1.0f);
    EXPECT_FALSE(a->isMerging());
    EXPECT_EQ(a->currentActivity(), 0u);

    EXPECT_FALSE(std::filesystem::is_empty(root / "cloud" / "main" / "events"));
    ASSERT_EQ(merge(b, SYNMergeOptionSkipRebase), nullptr);
    EXPECT_EQ(countEvents(b, SYNStoreModificationEventTypeSave), 1u);
    EXPECT_EQ(countTaskChanges(b), 1u);

    // With the first merge's rebase, a's save travels inside its new
    // baseline, which b consolidates with its own instead of dropping it.
    auto c = makeMergingMesh("c");
    ASSERT_EQ(enlist(c), nullptr);
    ASSERT_EQ(merge(a, SYNMergeOptionForceRebase), nullptr);
    ASSERT_EQ(merge(c), nullptr);
    EXPECT_EQ(countTaskChanges(c), 1u);
    EXPECT_EQ(countEvents(c, SYNStoreModificationEventTypeBaseline), 1u);
}

// Two stores with the real integrator: the first saves and merges, the second
// saves and merges (consolidating both enlist baselines), the first merges
// again. The consolidated baseline is credited to the store whose identifier
// sorts last; making that the first store is the case where the second one
// consolidates a baseline that is not its own.
TEST_F(MergeTest, ALaterStoresSavesReachTheFirstAfterBaselinesAreConsolidated) {
    auto one = makeMesh("one");
    auto two = makeMesh("two");
    ASSERT_EQ(enlist(one), nullptr);
    ASSERT_EQ(enlist(two), nullptr);
    const bool oneSortsLast =
        one->eventStore()->persistentStoreIdentifier() > two->eventStore()->persistentStoreIdentifier();
    auto desk = oneSortsLast ? one : two;
    auto laptop = oneSortsLast ? two : one;
    AppStore deskApp(desk->persistentStorePath());
    AppStore laptopApp(laptop->persistentStorePath());

    deskApp.addTask("Buy milk", 1);
    ASSERT_EQ(deskApp.save(), nullptr);
    ASSERT_EQ(merge(desk), nullptr);
    laptopApp.addTask("Call mum", 2);
    ASSERT_EQ(laptopApp.save(), nullptr);
    ASSERT_EQ(merge(laptop), nullptr);
    ASSERT_EQ(merge(desk), nullptr);
    ASSERT_EQ(merge(laptop), nullptr);

    const std::map<std::string, int64_t> both{{"Buy milk", 1}, {"Call mum", 2}};
    deskApp.context->reset();
    laptopApp.context->reset();
    EXPECT_EQ(deskApp.tasks(), both);
    EXPECT_EQ(laptopApp.tasks(), both);
    EXPECT_EQ(countEvents(desk, SYNStoreModificationEventTypeBaseline), 1u);
    EXPECT_EQ(desk->eventStore()->currentBaselineIdentifier(),
              laptop->eventStore()->currentBaselineIdentifier());
}

// After one store rebases, the other's later inserts, edits and deletes still
// reach it, and a store enlisting after the rebase starts from its baseline.
// Run twice in fresh cloud folders, so the rebasing store is once the one
// whose identifier sorts last and once the other.
TEST_F(MergeTest, ChangesMadeAfterAnotherStoreRebasedReachIt) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::string cloud = (root / ("cloud" + std::to_string(round))).string();
        std::filesystem::create_directories(cloud);
        auto fs = std::make_shared<SYNLocalCloudFileSystem>(cloud);
        auto one = makeMesh("one" + std::to_string(round), fs);
        auto two = makeMesh("two" + std::to_string(round), fs);
        ASSERT_EQ(enlist(one), nullptr);
        ASSERT_EQ(enlist(two), nullptr);
        const bool oneSortsLast =
            one->eventStore()->persistentStoreIdentifier() > two->eventStore()->persistentStoreIdentifier();
        auto rebaser = (oneSortsLast == (round == 0)) ? one : two;
        auto other = rebaser == one ? two : one;
        AppStore rebaserApp(rebaser->persistentStorePath());
        AppStore otherApp(other->persistentStorePath());

        rebaserApp.addTask("first", 1);
        rebaserApp.addTask("second", 2);
        ASSERT_EQ(rebaserApp.save(), nullptr);
        ASSERT_EQ(merge(rebaser, SYNMergeOptionSkipRebase), nullptr);
        otherApp.addTask("third", 3);
        ASSERT_EQ(otherApp.save(), nullptr);
        ASSERT_EQ(merge(other, SYNMergeOptionSkipRebase), nullptr);
        ASSERT_EQ(merge(rebaser, SYNMergeOptionForceRebase), nullptr);
        rebaser->rebaser()->setForceRebase(false);
        ASSERT_EQ(countEvents(rebaser, SYNStoreModificationEventTypeBaseline), 1u);

        // Later changes of the other store: an insert, an edit, a delete.
        ASSERT_EQ(merge(other), nullptr);
        otherApp.context->reset();
        otherApp.addTask("fourth", 4);
        plat::coredata::FetchRequest request("Task");
        auto tasks = otherApp.context->executeFetchRequest(request);
        ASSERT_TRUE(tasks.ok());
        for (const auto& task : *tasks) {
            if (task->valueForKey("title") == plat::Value("first")) {
                task->setValue(plat::Value(int64_t{10}), "priority");
            } else if (task->valueForKey("title") == plat::Value("second")) {
                otherApp.context->deleteObject(task);
            }
        }
        ASSERT_EQ(otherApp.save(), nullptr);
        ASSERT_EQ(merge(other), nullptr);
        ASSERT_EQ(merge(rebaser), nullptr);
        ASSERT_EQ(merge(other), nullptr);

        const std::map<std::string, int64_t> expected{{"first", 10}, {"third", 3}, {"fourth", 4}};
        rebaserApp.context->reset();
        otherApp.context->reset();
        EXPECT_EQ(rebaserApp.tasks(), expected);
        EXPECT_EQ(otherApp.tasks(), expected);

        auto late = makeMesh("late" + std::to_string(round), fs);
        ASSERT_EQ(enlist(late), nullptr);
        ASSERT_EQ(merge(late), nullptr);
        AppStore lateApp(late->persistentStorePath());
        EXPECT_EQ(lateApp.tasks(), expected);
    }
}

TEST_F(MergeTest, SetUpRefusesAStoreThatIsNotEnlistedOrHasNoFile) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    auto mesh = makeMergingMesh("a", fs);
    auto error = merge(mesh);
    EXPECT_EQ(code(error), SYNErrorEnlistState);
    EXPECT_EQ(error->localizedDescription(), "Attempt to merge a store that is not enlisted.");
    EXPECT_TRUE(fs->calls().empty());
    // Imports only run no set-up, so no 103.
    EXPECT_NE(code(merge(mesh, SYNMergeOptionImportsOnly)), SYNErrorEnlistState);

    ASSERT_EQ(enlist(mesh), nullptr);
    std::filesystem::remove(mesh->persistentStorePath());
    EXPECT_EQ(code(merge(mesh)), SYNErrorMissingPersistentStore);
}

TEST_F(MergeTest, OptionsChooseTheStepsAndTheRebaseCheckRunsOnce) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    auto mesh = makeMergingMesh("a", fs);
    ASSERT_EQ(enlist(mesh), nullptr);
    // Exports only without exports: nothing runs, nil.
    fs->clearCalls();
    EXPECT_EQ(merge(mesh, SYNMergeOptionExportsOnly | SYNMergeOptionSkipExport), nullptr);
    EXPECT_TRUE(fs->calls().empty());
    EXPECT_TRUE(integrations["a"]->calls.empty() ||
                integrations["a"]->calls == (std::vector<std::string>{"stop"}));
    EXPECT_FALSE(mesh->rebaseCheckDone());
    ASSERT_EQ(merge(mesh), nullptr);
    EXPECT_TRUE(mesh->rebaseCheckDone());
    ASSERT_EQ(merge(mesh, SYNMergeOptionForceRebase), nullptr);
    EXPECT_TRUE(mesh->rebaser()->forceRebase());
}

TEST_F(MergeTest, QueuedMergesRunInTurnAndCancelEndsThemWith101) {
    auto mesh = makeMergingMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    std::vector<std::string> ends;
    bool cancelled = false;
    mesh->proceduralQueue()->setSuspended(true);
    mesh->mergeWithCompletion(
        [&](plat::ErrorPtr error) { ends.push_back("first " + std::to_string(code(error))); });
    mesh->mergeWithCompletion(
        [&](plat::ErrorPtr error) { ends.push_back("second " + std::to_string(code(error))); });
    mesh->cancelMergeWithCompletion([&](plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        ends.push_back("cancel");
        cancelled = true;
    });
    mesh->proceduralQueue()->setSuspended(false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return cancelled; }, 30));
    EXPECT_EQ(ends, (std::vector<std::string>{"first 101", "second 101", "cancel"}));
    // Back to back after that: both run in full.
    ends.clear();
    int done = 0;
    mesh->mergeWithCompletion([&](plat::ErrorPtr error) {
        ends.push_back("third " + std::to_string(code(error)));
        ++done;
    });
    mesh->mergeWithCompletion([&](plat::ErrorPtr error) {
        ends.push_back("fourth " + std::to_string(code(error)));
        ++done;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == 2; }, 60));
    EXPECT_EQ(ends, (std::vector<std::string>{"third 0", "fourth 0"}));
    // A merge behind a delist ends with 103.
    bool delisted = false;
    mesh->delistPersistentStoreWithCompletion([&](plat::ErrorPtr) { delisted = true; });
    EXPECT_EQ(code(merge(mesh)), SYNErrorEnlistState);
    EXPECT_TRUE(delisted);
}

TEST_F(MergeTest, AQueuedMergeReportsItsOwnIntegrationProgress) {
    auto mesh = makeMergingMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    auto integration = integrations["a"];
    std::vector<float> firstMerge;
    ActivityLog log(mesh);
    int done = 0;
    mesh->mergeWithCompletion([&](plat::ErrorPtr) { ++done; });
    // Made while the first is queued; it must not take the first merge's
    // integration progress.
    mesh->mergeWithCompletion([&](plat::ErrorPtr) { ++done; });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == 2; }, 60));
    MainLoop::drain();
    // Within each merge progress never falls back.
    float last = 0;
    int merges = 0;
    for (const auto& note : log.entries) {
        if (note.name == SYNPersistentStoreMeshDidBeginActivityNotification) {
            last = 0;
            ++merges;
        }
        if (note.name == SYNPersistentStoreMeshDidMakeProgressWithActivityNotification &&
            info(note, SYNMeshActivityKey) == plat::Value(uint64_t(300))) {
            float fraction = static_cast<float>(info(note, SYNProgressFractionKey).doubleValue());
            EXPECT_GE(fraction, last);
            last = fraction;
        }
    }
    EXPECT_EQ(merges, 2);
}

TEST_F(MergeTest, IntegrationFailureEndsTheMergeAndPendingChangesFlush) {
    auto mesh = makeMergingMesh("a");
    EXPECT_EQ(wait([&](SYNCompletion c) { mesh->processPendingChangesWithCompletion(c); }), nullptr);
    ASSERT_EQ(enlist(mesh), nullptr);
    integrations["a"]->mergeError = SYNMakeError(SYNErrorSaveOccurredDuringMerge);
    ActivityLog log(mesh);
    EXPECT_EQ(code(merge(mesh)), SYNErrorSaveOccurredDuringMerge);
    auto ends = log.named(SYNPersistentStoreMeshWillEndActivityNotification);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_FALSE(info(ends[0], SYNActivityErrorKey).isNull());
    EXPECT_EQ(wait([&](SYNCompletion c) { mesh->processPendingChangesWithCompletion(c); }), nullptr);
}

// A process stopped while a save's event was being stored: the save is in
// the application store, its event is not, and its token is still
// registered. A merge asked for at once at the next launch must wait for the
// forced delist: run first, it would integrate the other store's baseline in
// full and delete the unrecorded task.
TEST_F(MergeTest, AMergeAskedForAtLaunchAfterAnInterruptedSaveWaitsForTheDelist) {
    {
        auto a = makeMesh("a");
        ASSERT_EQ(enlist(a), nullptr);
        ASSERT_EQ(a->eventStore()->registerIncompleteMandatoryEventIdentifier("INTERRUPTED"), nullptr);
        a->dismantle();
    }
    AppStore aApp((root / "a.sqlite").string());
    aApp.addTask("interrupted", 5);
    ASSERT_EQ(aApp.save(), nullptr);
    auto b = makeMesh("b");
    ASSERT_EQ(enlist(b), nullptr);
    ASSERT_EQ(merge(b), nullptr);

    auto a = makeMesh("a");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->delistIsQueued());
    EXPECT_EQ(code(merge(a)), SYNErrorEnlistState);
    EXPECT_FALSE(a->isEnlisted());
    aApp.context->reset();
    EXPECT_EQ(aApp.tasks(), (std::map<std::string, int64_t>{{"interrupted", 5}}));

    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(merge(a), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    AppStore bApp(b->persistentStorePath());
    aApp.context->reset();
    EXPECT_EQ(aApp.tasks(), (std::map<std::string, int64_t>{{"interrupted", 5}}));
    EXPECT_EQ(bApp.tasks(), (std::map<std::string, int64_t>{{"interrupted", 5}}));
}

// A save's registration comes from a write that registered spares for the
// saves after it. A process killed with spares registered leaves them in
// "store.plist": the next launch drops them as saves that never committed
// (no intent, no event), without a delist, and the store syncs on.
TEST_F(MergeTest, SpareRegistrationsAKilledProcessLeftAreDroppedWithoutADelist) {
    std::optional<plat::Data> leftByTheKill;
    {
        auto a = makeMesh("a");
        ASSERT_EQ(enlist(a), nullptr);
        AppStore aApp(a->persistentStorePath());
        aApp.addTask("saved", 1);
        ASSERT_EQ(aApp.save(), nullptr);
        ASSERT_EQ(merge(a), nullptr);  // after the save's event is stored
        EXPECT_TRUE(a->eventStore()->incompleteMandatoryEventIdentifiers().empty());
        const std::string file = a->eventStore()->pathToEventStoreRootDirectory() + "/store.plist";
        auto listed = plat::PropertyListSerialization::propertyListWithContentsOfFile(file);
        ASSERT_TRUE(listed.ok());
        const auto* events = listed->asDictionary()->find("incompleteMandatoryEvents");
        ASSERT_TRUE(events && events->isDictionary());
        EXPECT_FALSE(events->asDictionary()->empty()) << "no spare was registered";
        leftByTheKill = plat::FileManager::defaultManager().contentsAtPath(file);
        ASSERT_TRUE(leftByTheKill);
        a->dismantle();
        // As the kill left it, spares included.
        ASSERT_EQ(plat::FileManager::defaultManager().writeData(*leftByTheKill, file, true), nullptr);
    }
    auto a = makeMesh("a");
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->delistIsQueued());
    EXPECT_TRUE(a->isEnlisted());
    EXPECT_TRUE(a->eventStore()->incompleteMandatoryEventIdentifiers().empty());
    AppStore aApp(a->persistentStorePath());
    aApp.addTask("after", 2);
    ASSERT_EQ(aApp.save(), nullptr);
    ASSERT_EQ(merge(a), nullptr);
    auto b = makeMesh("b");
    ASSERT_EQ(enlist(b), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    AppStore bApp(b->persistentStorePath());
    EXPECT_EQ(bApp.tasks(), (std::map<std::string, int64_t>{{"saved", 1}, {"after", 2}}));
}

TEST_F(MergeTest, RegisteredSideDirectoriesMergeWithTheMerge) {
    auto a = makeMergingMesh("a");
    auto b = makeMergingMesh("b");
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(enlist(b), nullptr);
    std::filesystem::create_directories(root / "media-a");
    std::filesystem::create_directories(root / "media-b");
    std::ofstream(root / "media-a" / "photo.jpg") << "jpeg";
    a->alwaysMergeFileContentInLocalDirectory((root / "media-a").string(), "media");
    b->alwaysMergeFileContentInLocalDirectory((root / "media-b").string(), "media");
    ASSERT_EQ(merge(a), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    EXPECT_TRUE(std::filesystem::exists(root / "media-b" / "photo.jpg"));
}

}  // namespace
}  // namespace meshtest
