// A merge hands the revisions of other stores of its merge event to the
// event store's tallies once the event is saved complete, and the next
// merge's checks take the latest merge's revision set from there instead of
// reading the event back. Whatever the merges, saves and exchanges of events
// in between, the events the checks find not yet merged must be those a
// reading of every record finds.

#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

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
    auto [a, b] = twoMachinesSharingABaseline();
    ASSERT_EQ(b->merge(), nullptr);
    playRandomExchanges(*a, *b, 11, expectSameBothWays);
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeRevisionsKeptTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
