// How a merge's changes reach the application store, with a model whose
// entities are merged in batches (saved into a staging context on the way)
// and with one that has none (the integrator's context is on the store and
// holds the changes until the commit): one write of the store, the repair
// and did-save hooks, and what a failure or a conflicting save before the
// commit leaves.
#include <stdexcept>
#include <tuple>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNMergeCommitTest : public BatchModeIntegrationTest {
  protected:
    // a and b share an empty baseline; a's two saves have reached b.
    void twoMachines(const std::string& suffix = "") { std::tie(a, b) = twoMachinesSharingABaseline(suffix); }

    Machine* a = nullptr;
    Machine* b = nullptr;
};

// Counts the saves that write the machine's application store (saves of
// root contexts on a coordinator holding it) while it lives.
class StoreWrites {
  public:
    explicit StoreWrites(const Machine& machine) {
        const std::string path = machine.storeURL().path();
        token_ = plat::NotificationCenter::defaultCenter().addObserverForName(
            plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
            [this, path](const plat::Notification& notification) {
                const auto* context = static_cast<const ManagedObjectContext*>(notification.object.get());
                auto coordinator = context ? context->persistentStoreCoordinator() : nullptr;
                if (!coordinator || context->parentContext()) {
                    return;
                }
                for (const auto& store : coordinator->persistentStores()) {
                    if (store->URL() && store->URL()->path() == path) {
                        ++count_;
                    }
                }
            });
    }
    ~StoreWrites() { plat::NotificationCenter::defaultCenter().removeObserver(token_); }
    int count() const { return count_.load(); }

  private:
    plat::ObserverToken token_;
    std::atomic<int> count_{0};
};

TEST_P(SYNMergeCommitTest, TheStoreIsWrittenOnceWithTheRepairsAndTheDidSaveHookListsWhatWasWritten) {
    twoMachines();
    int asked = 0;
    b->integrator()->setShouldSaveBlock([&](ManagedObjectContext&, ManagedObjectContext& reparation) {
        ++asked;
        reparation.performBlockAndWait([&] {
            if (auto work = objectWhere(reparation, "Calendar", "name", Value("work"))) {
                work->setValue(Value("repaired"), "name");
            }
        });
        return true;
    });
    std::size_t inserted = 0;
    std::size_t told = 0;
    b->integrator()->setDidSaveBlock([&](ManagedObjectContext& context, const plat::Dictionary& info) {
        ++told;
        EXPECT_EQ(&context, b->integrator()->managedObjectContext().get());
        const Value* objects = info.find(plat::coredata::InsertedObjectsKey);
        ASSERT_TRUE(objects && objects->asSet());
        inserted = objects->asSet()->values().size();
    });
    {
        StoreWrites writes(*b);
        ASSERT_EQ(b->merge(), nullptr);
        EXPECT_EQ(writes.count(), 1);
    }
    // Without batches the one save is the commit, so the hook is asked once.
    if (GetParam().taskBatchSize == 0) {
        EXPECT_EQ(asked, 1);
    } else {
        EXPECT_GE(asked, 1);
    }
    EXPECT_EQ(told, 1u);
    // Every object of b's store was made by this merge.
    EXPECT_EQ(inserted, b->dump().size());
    auto context = b->newContext();
    EXPECT_TRUE(objectWhere(*context, "Calendar", "name", Value("repaired")));

    // The repair is in b's merge event: a takes it from there.
    copyEvents(*b->eventStore(), *a->eventStore());
    ASSERT_EQ(a->merge(), nullptr);
    EXPECT_EQ(a->dump(), b->dump());
}

// A hook that fails the merge with error 42 the first time it reaches the point.
std::function<void(SYNEventIntegrator&, Machine&)> failAt(std::string point) {
    return [point](SYNEventIntegrator& integrator, Machine&) {
        integrator.setTestHook([point](std::string_view reached) -> plat::ErrorPtr {
            return reached == point ? plat::Error::make("TestStoreDomain", 42) : nullptr;
        });
    };
}

TEST_P(SYNMergeCommitTest, AMergeThatFailsBeforeTheCommitLeavesTheStoreAsItWas) {
    struct Failure {
        const char* name;
        std::function<void(SYNEventIntegrator&, Machine&)> arm;
        int64_t code;
    };
    const Failure failures[] = {
        {"AtTheSave", failAt("save"), 42},
        {"BeforeTheCommit", failAt("beforeCommit"), 42},
        {"DeclinedSave",
         [](SYNEventIntegrator& integrator, Machine&) {
             integrator.setShouldSaveBlock([](auto&, auto&) { return false; });
         },
         SYNErrorCancelled},
        {"ThrowingRepairHook",
         [](SYNEventIntegrator& integrator, Machine&) {
             integrator.setShouldSaveBlock([](auto&, auto&) -> bool { throw std::runtime_error("no"); });
         },
         SYNErrorUnknown},
        // Saved after the merged changes were repaired and held, before the
        // store is written.
        {"ApplicationSavedBeforeTheCommit",
         [](SYNEventIntegrator& integrator, Machine& machine) {
             integrator.startMonitoringSaves();
             integrator.setTestHook([&machine](std::string_view reached) -> plat::ErrorPtr {
                 if (reached == "beforeCommit") {
                     auto context = machine.newContext();
                     context->insertNewObjectForEntityForName("Scratch");
                     EXPECT_EQ(context->save(), nullptr);
                 }
                 return nullptr;
             });
         },
         SYNErrorSaveOccurredDuringMerge},
    };
    int round = 0;
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.name);
        twoMachines(std::to_string(++round));
        const auto before = b->dump();
        failure.arm(*b->integrator(), *b);
        auto error = b->merge();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), failure.code) << error->description();
        EXPECT_EQ(b->dump(), before);
        EXPECT_EQ(ownEvents(*b), 0);

        b->integrator()->setTestHook(nullptr);
        b->integrator()->setShouldSaveBlock(nullptr);
        b->integrator()->stopMonitoringSaves();
        ASSERT_EQ(b->merge(), nullptr);
        EXPECT_EQ(b->dump(), a->dump());
        EXPECT_EQ(ownEvents(*b), 1);
    }
}

TEST_P(SYNMergeCommitTest, ASaveOfAMergedObjectBeforeTheCommitFailsTheMergeAndIsKept) {
    twoMachines();
    ASSERT_EQ(b->merge(), nullptr);
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Task", "title", Value("task1"))->setValue(Value("from a"), "title");
        objectWhere(context, "Calendar", "name", Value("work"))->setValue(Value("office"), "name");
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    // Another save of b's store (not watched) renames the task the merge
    // renames, after the merge read it.
    b->integrator()->setTestHook([&](std::string_view reached) -> plat::ErrorPtr {
        if (reached == "beforeCommit") {
            auto context = b->newContext();
            objectWhere(*context, "Task", "title", Value("task1"))->setValue(Value("local"), "title");
            EXPECT_EQ(context->save(), nullptr);
        }
        return nullptr;
    });
    auto error = b->merge();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), plat::coredata::ManagedObjectMergeError) << error->description();
    {
        auto context = b->newContext();
        EXPECT_TRUE(objectWhere(*context, "Task", "title", Value("local")));
        EXPECT_TRUE(objectWhere(*context, "Calendar", "name", Value("work")));
    }
    EXPECT_EQ(ownEvents(*b), 1);  // the first merge's

    b->integrator()->setTestHook(nullptr);
    ASSERT_EQ(b->merge(), nullptr);
    auto context = b->newContext();
    EXPECT_TRUE(objectWhere(*context, "Task", "title", Value("from a")));
    EXPECT_TRUE(objectWhere(*context, "Calendar", "name", Value("office")));
    EXPECT_EQ(ownEvents(*b), 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeCommitTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
