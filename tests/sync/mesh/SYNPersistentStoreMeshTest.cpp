#include "sync/mesh/SYNPersistentStoreMesh.h"

#include "MeshFixture.h"
#include "support/FakeCloudFileSystem.h"

namespace meshtest {
namespace {

using testsupport::FakeCloudFileSystem;

struct RecordingDelegate : SYNPersistentStoreMeshDelegate {
    void persistentStoreMeshWillImportStore(SYNPersistentStoreMesh&) override {
        calls.push_back("will-import");
        if (onWillImport) {
            onWillImport();
        }
    }
    void persistentStoreMeshDidImportStore(SYNPersistentStoreMesh&) override {
        calls.push_back("did-import");
    }
    void persistentStoreMeshDidDelistWithError(SYNPersistentStoreMesh&,
                                               const plat::ErrorPtr& error) override {
        calls.push_back("delisted " + std::to_string(code(error)));
    }
    std::vector<std::string> calls;
    std::function<void()> onWillImport;
};

std::size_t countBaselineChanges(const std::shared_ptr<SYNEventStore>& store) {
    std::size_t count = 0;
    auto context = store->managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        ASSERT_EQ(events->size(), 1u);
        count = (*events)[0]->objectsForKey("objectChanges").size();
    });
    return count;
}

TEST_F(MeshTest, RegistriesRefuseASecondMeshWithoutTouchingTheLiveOne) {
    auto first = makeMesh("a");
    ASSERT_TRUE(first);
    {
        AppStore app(first->persistentStorePath());
        app.addTask("one");
        ASSERT_EQ(app.save(), nullptr);
    }
    ASSERT_EQ(enlist(first), nullptr);
    // Same store file.
    EXPECT_FALSE(SYNPersistentStoreMesh::create(configuration("a")));
    // Other store, same identifier and data root: refused before the
    // event-store directory is opened, so the live mesh keeps its data.
    auto sameDirectory = configuration("b");
    sameDirectory.localDataRootDirectory = configuration("a").localDataRootDirectory;
    EXPECT_FALSE(SYNPersistentStoreMesh::create(sameDirectory));
    EXPECT_TRUE(first->isEnlisted());
    EXPECT_TRUE(first->eventStore()->containsEventData());

    // A dismantled mesh frees both entries; dismantling it again (as its
    // destructor does) must not free the newer mesh's entries.
    first->dismantle();
    auto second = makeMesh("a");
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->isEnlisted());
    first->dismantle();
    first.reset();
    meshes.front().reset();
    EXPECT_FALSE(SYNPersistentStoreMesh::create(configuration("a")));
}

TEST_F(MeshTest, EnlistImportsTheStoreRegistersItAndReportsPhasesInOrder) {
    auto mesh = makeMesh("a");
    ASSERT_TRUE(mesh);
    {
        AppStore app(mesh->persistentStorePath());
        app.addTask("write", 2);
        app.addTask("call", 1, "UrgentTask");
        ASSERT_EQ(app.save(), nullptr);
    }
    auto delegate = std::make_shared<RecordingDelegate>();
    mesh->delegate = delegate;
    ActivityLog log(mesh);
    ASSERT_EQ(enlist(mesh), nullptr);
    EXPECT_TRUE(mesh->isEnlisted());
    EXPECT_FALSE(mesh->isEnlisting());
    EXPECT_EQ(mesh->currentActivity(), 0u);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"will-import", "did-import"}));
    // Two objects, each recorded once (the sub-entity's under its own entity).
    EXPECT_EQ(countBaselineChanges(mesh->eventStore()), 2u);
    EXPECT_EQ(mesh->eventStore()->identifierOfBaselineUsedToConstructStore(),
              mesh->eventStore()->currentBaselineIdentifier());
    auto storeID = *mesh->eventStore()->persistentStoreIdentifier();
    EXPECT_TRUE(std::filesystem::exists(root / "cloud" / "main" / "stores" / storeID));

    ASSERT_FALSE(log.entries.empty());
    EXPECT_EQ(log.entries.front().name, SYNPersistentStoreMeshDidMakeProgressWithActivityNotification);
    EXPECT_FALSE(log.entries.front().userInfo.contains(SYNActivityPhaseKey));
    auto begins = log.named(SYNPersistentStoreMeshDidBeginActivityNotification);
    auto ends = log.named(SYNPersistentStoreMeshWillEndActivityNotification);
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(info(ends[0], SYNMeshActivityKey), plat::Value(uint64_t(100)));
    EXPECT_FALSE(ends[0].userInfo.contains(SYNActivityErrorKey));
    double lastFraction = -1;
    int64_t lastPhase = 0;
    for (const auto& note : log.named(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification)) {
        double fraction = info(note, SYNProgressFractionKey).doubleValue();
        EXPECT_GE(fraction, lastFraction);
        lastFraction = fraction;
        if (note.userInfo.contains(SYNActivityPhaseKey)) {
            int64_t phase = info(note, SYNActivityPhaseKey).longLongValue();
            EXPECT_GE(phase, lastPhase);
            lastPhase = phase;
        }
    }
    EXPECT_EQ(lastPhase, 5);
    EXPECT_FLOAT_EQ(lastFraction, 1.0);

    // Enlisting again: 103, nothing posted, nothing removed.
    log.entries.clear();
    EXPECT_EQ(code(enlist(mesh)), SYNErrorEnlistState);
    EXPECT_TRUE(log.named(SYNPersistentStoreMeshDidBeginActivityNotification).empty());
    EXPECT_TRUE(mesh->isEnlisted());
    EXPECT_EQ(*mesh->eventStore()->persistentStoreIdentifier(), storeID);
}

TEST_F(MeshTest, SeedPolicyOneMakesAnEmptyBaseline) {
    auto mesh = makeMesh("a");
    {
        AppStore app(mesh->persistentStorePath());
        app.addTask("kept local");
        ASSERT_EQ(app.save(), nullptr);
    }
    ASSERT_EQ(enlist(mesh, 1), nullptr);
    EXPECT_EQ(countBaselineChanges(mesh->eventStore()), 0u);
}

TEST_F(MeshTest, SaveToTheStoreDuringImportFailsTheEnlist) {
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    AppStore other((root / "other.sqlite").string());
    auto delegate = std::make_shared<RecordingDelegate>();
    mesh->delegate = delegate;
    // A save to another store does not count.
    delegate->onWillImport = [&] {
        other.addTask("elsewhere");
        ASSERT_EQ(other.save(), nullptr);
    };
    ASSERT_EQ(enlist(mesh), nullptr);
    ASSERT_EQ(delist(mesh), nullptr);
    delegate->onWillImport = [&] {
        app.addTask("racing");
        ASSERT_EQ(app.save(), nullptr);
    };
    ActivityLog log(mesh);
    EXPECT_EQ(code(enlist(mesh)), SYNErrorSaveOccurredDuringEnlist);
    EXPECT_FALSE(mesh->isEnlisted());
    EXPECT_FALSE(mesh->eventStore()->containsEventData());
    auto ends = log.named(SYNPersistentStoreMeshWillEndActivityNotification);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_TRUE(ends[0].userInfo.contains(SYNActivityErrorKey));
    // The application's data is untouched.
    EXPECT_EQ(app.tasks().size(), 1u);
}

TEST_F(MeshTest, CloudFailuresDuringEnlistRemoveThePartialEventStore) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    fs->failOperation("create");
    auto mesh = makeMesh("a", fs);
    ASSERT_TRUE(mesh);
    EXPECT_NE(enlist(mesh), nullptr);
    EXPECT_FALSE(mesh->isEnlisted());
    EXPECT_FALSE(mesh->eventStore()->containsEventData());
    fs->clearFailures();
    EXPECT_EQ(enlist(mesh), nullptr);
    EXPECT_TRUE(mesh->isEnlisted());
}

TEST_F(MeshTest, DelistLeavesTheApplicationStoreAndAllowsEnlistingAgain) {
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    app.addTask("stays", 4);
    ASSERT_EQ(app.save(), nullptr);

    // Delist of a mesh that is not enlisted: 103, no activity, flag cleared.
    {
        ActivityLog log(mesh);
        EXPECT_EQ(code(delist(mesh)), SYNErrorEnlistState);
        EXPECT_TRUE(log.entries.empty());
        EXPECT_FALSE(mesh->delistIsQueued());
    }
    ASSERT_EQ(enlist(mesh), nullptr);
    ActivityLog log(mesh);
    ASSERT_EQ(delist(mesh), nullptr);
    EXPECT_FALSE(mesh->isEnlisted());
    EXPECT_FALSE(mesh->delistIsQueued());
    EXPECT_FLOAT_EQ(mesh->activityProgress(), 1.0f);
    ASSERT_EQ(log.named(SYNPersistentStoreMeshWillEndActivityNotification).size(), 1u);
    EXPECT_EQ(info(log.named(SYNPersistentStoreMeshDidBeginActivityNotification)[0], SYNMeshActivityKey),
              plat::Value(uint64_t(200)));
    EXPECT_EQ(app.tasks(), (std::map<std::string, int64_t>{{"stays", 4}}));
    ASSERT_EQ(enlist(mesh), nullptr);
    EXPECT_TRUE(mesh->isEnlisted());
}

TEST_F(MeshTest, ChecksForceADelistWhenIdentityHardwareOrRegistrationNoLongerHold) {
    struct Case {
        const char* name;
        std::function<void(FakeCloudFileSystem&, SYNPersistentStoreMesh&)> change;
        int64_t expected;  // 0: the check passes
    };
    const std::vector<Case> cases = {
        {"same identity", [](auto&, auto&) {}, 0},
        {"no identity answered", [](auto& fs, auto&) { fs.identity = plat::Value(); }, 0},
        {"other account", [](auto& fs, auto&) { fs.identity = plat::Value("someone else"); },
         SYNErrorCloudIdentityChanged},
        {"other machine",
         [](auto&, auto&) {
             plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(
                 "CCCCCCCC-0000-0000-0000-000000000003");
         },
         SYNErrorForeignHardwareIdentifier},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("AAAAAAAA-0000-0000-0000-000000000001");
        auto fs = std::make_shared<FakeCloudFileSystem>();
        auto mesh = makeMesh(c.name, fs);
        ASSERT_TRUE(mesh);
        ASSERT_EQ(enlist(mesh), nullptr);
        auto delegate = std::make_shared<RecordingDelegate>();
        mesh->delegate = delegate;
        c.change(*fs, *mesh);
        auto error =
            wait([&](SYNCompletion done) { mesh->checkCloudFileSystemIdentityWithCompletion(done); });
        MainLoop::runUntil([&] { return !mesh->delistIsQueued(); }, 30);
        MainLoop::drain();
        EXPECT_EQ(code(error), c.expected);
        EXPECT_EQ(mesh->isEnlisted(), c.expected == 0);
        if (c.expected != 0) {
            EXPECT_EQ(delegate->calls, (std::vector<std::string>{"delisted " + std::to_string(c.expected)}));
            // The cloud folder stays usable: enlisting afterwards works.
            plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
            fs->clearFailures();
            EXPECT_EQ(enlist(mesh), nullptr);
        }
        mesh->dismantle();
    }
}

TEST_F(MeshTest, RegistrationCheckForcesADelistOnlyWhenTheRegistrationIsMissing) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    auto check = [&] {
        return wait([&](SYNCompletion done) { mesh->checkStoreRegistrationInCloudWithCompletion(done); });
    };
    auto registration = root / "cloud" / "main" / "stores" / *mesh->eventStore()->persistentStoreIdentifier();
    ASSERT_TRUE(std::filesystem::exists(registration));
    std::filesystem::remove(registration);
    // Not verifying: passes without asking.
    mesh->eventStore()->setVerifiesStoreRegistrationInCloud(false);
    EXPECT_EQ(check(), nullptr);
    EXPECT_TRUE(mesh->isEnlisted());
    mesh->eventStore()->setVerifiesStoreRegistrationInCloud(true);
    EXPECT_EQ(code(check()), SYNErrorStoreUnregistered);
    MainLoop::runUntil([&] { return !mesh->isEnlisted(); }, 30);
    EXPECT_FALSE(mesh->isEnlisted());
}

TEST_F(MeshTest, MeshIdentifiersAreListedAndRemovedFromTheCloudFolder) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    auto fs = mesh->cloudFileSystem();
    std::vector<std::string> names;
    bool done = false;
    SYNPersistentStoreMesh::retrieveMeshIdentifiersFromCloudFileSystem(fs,
                                                                       [&](plat::ErrorPtr error, auto found) {
                                                                           EXPECT_EQ(error, nullptr);
                                                                           names = found;
                                                                           done = true;
                                                                       });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 10));
    EXPECT_EQ(names, (std::vector<std::string>{"main"}));
    done = false;
    SYNPersistentStoreMesh::removeMeshWithIdentifier("main", fs, [&](plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        done = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 10));
    EXPECT_FALSE(std::filesystem::exists(root / "cloud" / "main"));
}

TEST_F(MeshTest, IncompleteMandatoryEventAtStartForcesADelistReportedAs203) {
    {
        auto mesh = makeMesh("a");
        ASSERT_EQ(enlist(mesh), nullptr);
        ASSERT_EQ(mesh->eventStore()->registerIncompleteMandatoryEventIdentifier("HALF-WRITTEN"), nullptr);
        mesh->dismantle();
    }
    meshes.clear();
    auto mesh = makeMesh("a");
    ASSERT_TRUE(mesh);
    auto delegate = std::make_shared<RecordingDelegate>();
    mesh->delegate = delegate;
    ASSERT_TRUE(mesh->isEnlisted());
    ASSERT_TRUE(MainLoop::runUntil([&] { return !delegate->calls.empty(); }, 30));
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"delisted 203"}));
    EXPECT_FALSE(mesh->isEnlisted());
}

}  // namespace
}  // namespace meshtest
