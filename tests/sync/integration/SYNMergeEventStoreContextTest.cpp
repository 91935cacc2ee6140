// The event store's context during a merge: between entities and batches it
// is kept as it is while it holds nothing unsaved, so a change of the event
// store made elsewhere meanwhile (here: the merge event being built, deleted
// through another context) is not seen there. Such a merge must still fail
// before the application store is written, leave no event of its own, and
// the next merge must apply everything; with a model merged in batches and
// with one that is not.
#include "platform/coredata/ManagedObjectContext.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNMergeEventStoreContextTest : public BatchModeIntegrationTest {
  protected:
    // Deletes, through a context of its own on the event store's coordinator,
    // the machine's own events and those being built; returns how many.
    static int deleteOwnEventsElsewhere(const Machine& machine) {
        auto coordinator = machine.eventStore()->managedObjectContext()->persistentStoreCoordinator();
        auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::PrivateQueue);
        int deleted = 0;
        other->performBlockAndWait([&] {
            other->setPersistentStoreCoordinator(coordinator);
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *other);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                if (ownOrIncomplete(*event, machine)) {
                    other->deleteObject(event);
                    ++deleted;
                }
            }
            EXPECT_EQ(other->save(), nullptr);
        });
        return deleted;
    }
};

TEST_P(SYNMergeEventStoreContextTest, TheMergeEventDeletedElsewhereMidMergeFailsItBeforeTheStoreIsWritten) {
    struct Point {
        const char* name;
        int reached;  // the time the check point is reached when the event goes
    };
    // After the merge event's first save: two later entities, and the first
    // batch of changes.
    const Point points[] = {{"entity", 2}, {"entity", 4}, {"batch", 1}};
    int round = 0;
    for (const auto& point : points) {
        SCOPED_TRACE(std::string(point.name) + " " + std::to_string(point.reached));
        const std::string suffix = std::to_string(++round);
        auto [aMachine, bMachine] = twoMachinesSharingABaseline(suffix);
        Machine& a = *aMachine;
        Machine& b = *bMachine;
        const auto before = b.dump();

        int reached = 0;
        int deleted = 0;
        b.integrator()->setTestHook([&](std::string_view name) -> plat::ErrorPtr {
            if (name == point.name && ++reached == point.reached) {
                deleted = deleteOwnEventsElsewhere(b);
            }
            return nullptr;
        });
        auto error = b.merge();
        EXPECT_EQ(deleted, 1);
        ASSERT_TRUE(error);
        EXPECT_EQ(b.dump(), before);
        EXPECT_EQ(ownEvents(b), 0);

        b.integrator()->setTestHook(nullptr);
        ASSERT_EQ(b.merge(), nullptr);
        EXPECT_EQ(b.dump(), a.dump());
        EXPECT_EQ(ownEvents(b), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeEventStoreContextTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
