// A merge hands the revisions of other stores of its merge event to the
// event store's tallies once the event is saved complete, and the next
// merge's checks take the latest merge's revision set from there instead of
// reading the event back. Whatever the merges, saves and exchanges of events
// in between, the events the checks find not yet merged must be those a
// reading of every record finds.
#include <random>

#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNMergeRevisionsKeptTest : public BatchModeIntegrationTest {
  protected:
    // The unique identifiers of the events the machine has not merged, as
    // a merge's checks find them (reads shared, the tallies asked) or with
    // every record read.
    static std::vector<std::string> uncommitted(const Machine& machine, bool asAMergeChecks) {
        SYNRevisionManager manager(machine.eventStore());
        if (asAMergeChecks) {
            manager.setSharesEventFetches(true);
            EXPECT_TRUE(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().ok());
        }
        auto events = manager.fetchUncommittedStoreModificationEvents();
        EXPECT_TRUE(events.ok());
        std::vector<std::string> names;
        auto context = machine.eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            for (const auto& event : events.ok() ? *events : SYNManagedObjects()) {
                names.push_back(SYNStoreModificationEvent::uniqueIdentifier(*event));
            }
        });
        return names;
    }

    static void expectSameBothWays(const Machine& machine, const std::string& step) {
        SCOPED_TRACE(machine.name() + ": " + step);
        EXPECT_EQ(uncommitted(machine, true), uncommitted(machine, false));
    }
};

TEST_P(SYNMergeRevisionsKeptTest, TheEventsNotYetMergedAreThoseEveryRecordSays) {
    auto [aMachine, bMachine] = twoMachinesSharingABaseline();
    Machine& a = *aMachine;
    Machine& b = *bMachine;
    ASSERT_EQ(b.merge(), nullptr);
    std::mt19937 random(11);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    int saved = 0;
    for (int step = 0; step < 24; ++step) {
        Machine& one = below(2) == 0 ? a : b;
        Machine& other = &one == &a ? b : a;
        const int action = below(4);
        if (action <= 1) {
            const std::string name = "calendar " + std::to_string(++saved);
            ASSERT_EQ(one.recordSave([&](ManagedObjectContext& context) {
                context.insertNewObjectForEntityForName("Calendar")->setValue(Value(name), "name");
            }),
                      nullptr);
        }
        if (action >= 1 && action <= 2) {
            copyEvents(*one.eventStore(), *other.eventStore());
        }
        expectSameBothWays(other, "before a merge of step " + std::to_string(step));
        ASSERT_EQ(other.merge(), nullptr);
        expectSameBothWays(other, "after a merge of step " + std::to_string(step));
        expectSameBothWays(one, "the other machine, step " + std::to_string(step));
    }
    // Exchanged and merged both ways, the machines agree.
    copyEvents(*a.eventStore(), *b.eventStore());
    ASSERT_EQ(b.merge(), nullptr);
    copyEvents(*b.eventStore(), *a.eventStore());
    ASSERT_EQ(a.merge(), nullptr);
    EXPECT_EQ(a.dump(), b.dump());
    expectSameBothWays(a, "at the end");
    expectSameBothWays(b, "at the end");
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeRevisionsKeptTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
