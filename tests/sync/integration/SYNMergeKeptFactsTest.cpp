// A merge's checks take what they need to know of the event store (the
// baseline, every complete event's own revision) from the facts the event
// store's tallies keep along its saves. Through saves, exchanges and merges
// on two machines, the checks with the kept facts must choose the same
// events, find the same ones integrable and give the same answers as checks
// that read every record again. (The checks before each merge read the
// facts when the comparison made them forget; the merge's own saves and the
// next checks then follow them.)

#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNMergeKeptFactsTest : public BatchModeIntegrationTest {
  protected:
    // What a merge's checks answer, events named by their unique identifier.
    struct Answers {
        bool notAbandoned = false;
        std::optional<std::string> baseline;
        std::vector<std::string> uncommitted;
        std::vector<std::string> widened;
        std::vector<std::string> integrable;
        std::set<int64_t> codes;

        bool operator==(const Answers&) const = default;
    };

    static std::vector<std::string> names(const Machine& machine, const SYNManagedObjects& events) {
        std::vector<std::string> names;
        machine.eventStore()->managedObjectContext()->performBlockAndWait([&] {
            for (const auto& event : events) {
                names.push_back(SYNStoreModificationEvent::uniqueIdentifier(*event));
            }
        });
        return names;
    }

    static Answers answers(const Machine& machine) {
        Answers answers;
        SYNRevisionManager manager(machine.eventStore());
        manager.setSharesEventFetches(true);
        answers.baseline = manager.currentBaselineIdentifier();
        auto notAbandoned = manager.checkThatLocalPersistentStoreHasNotBeenAbandoned();
        EXPECT_TRUE(notAbandoned.ok());
        answers.notAbandoned = notAbandoned.valueOr(false);
        auto uncommitted = manager.fetchUncommittedStoreModificationEvents();
        EXPECT_TRUE(uncommitted.ok());
        if (!uncommitted.ok()) {
            return answers;
        }
        answers.uncommitted = names(machine, *uncommitted);
        auto widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents(*uncommitted);
        EXPECT_TRUE(widened.ok());
        if (!widened.ok()) {
            return answers;
        }
        answers.widened = names(machine, *widened);
        plat::Result<SYNManagedObjects> integrable = SYNManagedObjects();
        machine.eventStore()->managedObjectContext()->performBlockAndWait(
            [&] { integrable = manager.integrableEventsFromEvents(*widened, answers.codes); });
        EXPECT_TRUE(integrable.ok());
        if (integrable.ok()) {
            answers.integrable = names(machine, *integrable);
        }
        return answers;
    }

    // Saves of another context over the event store, which leave it as it
    // was: the tallies forget what they kept, and the next checks read every
    // record again.
    static void forgetKeptFacts(const Machine& machine) {
        auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(
            machine.eventStore()->managedObjectContext()->persistentStoreCoordinator());
        auto record = other->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(Value("written elsewhere"), "globalIdentifier");
        record->setValue(Value("Calendar"), "nameOfEntity");
        ASSERT_EQ(other->save(), nullptr);
        other->deleteObject(record);
        ASSERT_EQ(other->save(), nullptr);
    }

    // The checks' answers with the facts the event store keeps (as the
    // saves since the last checks brought them along), and with every
    // record read again.
    static void expectSameBothWays(const Machine& machine, const std::string& step) {
        SCOPED_TRACE(machine.name() + ": " + step);
        const Answers withKept = answers(machine);
        forgetKeptFacts(machine);
        const Answers read = answers(machine);
        EXPECT_EQ(withKept.notAbandoned, read.notAbandoned);
        EXPECT_EQ(withKept.baseline, read.baseline);
        EXPECT_EQ(withKept.uncommitted, read.uncommitted);
        EXPECT_EQ(withKept.widened, read.widened);
        EXPECT_EQ(withKept.integrable, read.integrable);
        EXPECT_EQ(withKept.codes, read.codes);
    }
};

TEST_P(SYNMergeKeptFactsTest, TheChecksAnswerWithKeptFactsAsWithEveryRecordRead) {
    auto [a, b] = twoMachinesSharingABaseline();
    ASSERT_EQ(b->merge(), nullptr);
    playRandomExchanges(*a, *b, 14801, expectSameBothWays);
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeKeptFactsTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
