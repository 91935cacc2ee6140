// The revisions of other stores of a local merge event, handed to the event
// store's tallies right after the merge event's last save, and the merge's
// checks taking the latest merge's revision set from there instead of
// reading the event back.
#include <gtest/gtest.h>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

namespace eventstoretest {
namespace {

using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

class SYNKeptMergeRevisionsTest : public EventStoreTest {
  protected:
    struct Merge {
        ManagedObjectIDPtr event;
        int64_t number = 0;
        SYNRevisionSet others;
    };

    std::string local() const { return *store->persistentStoreIdentifier(); }

    // A merge event of the events, built and saved as the integrator builds
    // and saves it; its revisions of other stores as they were set.
    Merge makeMerge(const std::vector<std::string>& merged) {
        Merge merge;
        SYNEventBuilder builder(store);
        auto revision = builder.makeNewEventOfType(SYNStoreModificationEventTypeMerge);
        EXPECT_TRUE(revision.ok());
        merge.number = revision.ok() ? revision->revisionNumber : -1;
        EXPECT_EQ(builder.updateEventRevisionsAccountingForMergeOfEventIDs(idsOf(merged)), nullptr);
        inStore(
            [&] { merge.others = SYNStoreModificationEvent::revisionSetOfOtherStores(*builder.event()); });
        EXPECT_EQ(builder.saveAndReset(), nullptr);
        EXPECT_EQ(builder.finalizeNewEvent(), nullptr);
        inStore([&] { merge.event = builder.event()->objectID(); });
        EXPECT_EQ(builder.saveAndResetLast(), nullptr);
        return merge;
    }

    SYNManagedObjectIDs idsOf(const std::vector<std::string>& identifiers) {
        SYNManagedObjectIDs ids;
        for (const auto& event : allEvents()) {
            const auto name = inStore([&] { return SYNStoreModificationEvent::uniqueIdentifier(*event); });
            if (std::find(identifiers.begin(), identifiers.end(), name) != identifiers.end()) {
                ids.push_back(event->objectID());
            }
        }
        return ids;
    }

    void keep(const Merge& merge) {
        inStore([&] {
            SYNRevisionManager(store).keepRevisionsOfMerge(*merge.event, merge.number, merge.others);
        });
    }

    std::optional<SYNRevisionSet> keptOthers() {
        auto kept = store->eventTallies()->latestMerge(local()).value;
        return kept ? kept->others : std::nullopt;
    }

    // The merge's revisions of other stores as a fresh context reads them.
    SYNRevisionSet storedOthers(const ManagedObjectIDPtr& event) {
        auto fresh = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        fresh->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
        auto read = fresh->existingObjectWithID(event);
        EXPECT_TRUE(read.ok());
        return read.ok() ? SYNStoreModificationEvent::revisionSetOfOtherStores(**read) : SYNRevisionSet();
    }

    // The events not yet merged, as the checks of a merge find them (reads
    // shared, the tallies asked) and as a manager that reads everything does.
    std::pair<std::vector<std::string>, std::vector<std::string>> uncommittedBothWays() {
        SYNRevisionManager shared(store);
        shared.setSharesEventFetches(true);
        EXPECT_TRUE(shared.checkThatLocalPersistentStoreHasNotBeenAbandoned().ok());
        auto sharedEvents = shared.fetchUncommittedStoreModificationEvents();
        auto readEvents = SYNRevisionManager(store).fetchUncommittedStoreModificationEvents();
        EXPECT_TRUE(sharedEvents.ok() && readEvents.ok());
        return {names(sharedEvents.ok() ? *sharedEvents : SYNManagedObjects()),
                names(readEvents.ok() ? *readEvents : SYNManagedObjects())};
    }

    std::vector<std::string> names(const SYNManagedObjects& events) {
        return inStore([&] {
            std::vector<std::string> names;
            for (const auto& event : events) {
                names.push_back(SYNStoreModificationEvent::uniqueIdentifier(*event));
            }
            return names;
        });
    }

    void writeSaves(const std::string& storeID, int64_t from, int64_t to, int64_t count) {
        inStore([&] {
            EventWriter write(*context);
            for (int64_t number = from; number <= to; ++number) {
                write.event(storeID + std::to_string(number), SYNStoreModificationEventTypeSave,
                            count + number, {storeID, number});
            }
            ASSERT_EQ(context->save(), nullptr);
        });
    }
};

TEST_F(SYNKeptMergeRevisionsTest, OnlyTheMergeTheTalliesFollowTakesItsRevisionsThere) {
    writeSaves("B", 0, 2, 0);
    const Merge first = makeMerge({"B0", "B1"});
    EXPECT_EQ(first.others, revisions({{"B", 1}}));
    auto followed = store->eventTallies()->latestMerge(local()).value;
    ASSERT_TRUE(followed && followed->event);
    ASSERT_TRUE(followed->event->isEqualID(*first.event));
    EXPECT_FALSE(followed->others);

    // Another event, or another number, is not the merge followed.
    Merge wrong = first;
    wrong.event = idsOf({"B2"}).front();
    keep(wrong);
    EXPECT_FALSE(keptOthers());
    wrong = first;
    wrong.number += 1;
    keep(wrong);
    EXPECT_FALSE(keptOthers());

    keep(first);
    EXPECT_EQ(keptOthers(), std::optional<SYNRevisionSet>(storedOthers(first.event)));
    // Known already: kept as read.
    wrong = first;
    wrong.others = revisions({{"B", 2}});
    keep(wrong);
    EXPECT_EQ(keptOthers(), std::optional<SYNRevisionSet>(first.others));

    // The next merge event starts from the kept revisions, as from the records.
    writeSaves("C", 0, 0, 10);
    const Merge second = makeMerge({"B2", "C0"});
    EXPECT_EQ(second.others, revisions({{"B", 2}, {"C", 0}}));
    keep(second);
    EXPECT_EQ(keptOthers(), std::optional<SYNRevisionSet>(storedOthers(second.event)));
}

TEST_F(SYNKeptMergeRevisionsTest, TheChecksTakeTheLatestMergesSetFromTheTalliesWhileTheyKeepIt) {
    writeSaves("B", 0, 3, 0);
    writeSaves("C", 0, 1, 4);
    Merge merge = makeMerge({"B0", "B1", "C0"});
    auto both = uncommittedBothWays();
    EXPECT_EQ(both.first, both.second);
    keep(merge);
    both = uncommittedBothWays();
    EXPECT_EQ(both.first, (std::vector<std::string>{"B2", "B3", "C1"}));
    EXPECT_EQ(both.first, both.second);

    // What the tallies keep is what the checks take: a set that claims more
    // than the records (never handed over by a merge) hides B2 and B3.
    writeSaves("B", 4, 4, 20);
    merge = makeMerge({"B0"});
    SYNRevisionSet claimed = merge.others;
    claimed.setRevisionNumber("B", 3);
    merge.others = claimed;
    keep(merge);
    both = uncommittedBothWays();
    EXPECT_EQ(both.first, (std::vector<std::string>{"C1", "B4"}));
    EXPECT_EQ(both.second, (std::vector<std::string>{"B2", "B3", "C1", "B4"}));

    // A revision added to that merge's records: the checks read them again.
    inStore([&] {
        auto event = context->existingObjectWithID(merge.event);
        ASSERT_TRUE(event.ok());
        auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("D", 0, *context);
        record->setObject(*event, "storeModificationEventForOtherStores");
        ASSERT_EQ(context->save(), nullptr);
    });
    EXPECT_FALSE(keptOthers());
    both = uncommittedBothWays();
    EXPECT_EQ(both.first, both.second);

    // Unsaved revision records in the context, or two latest merges of one
    // number: read, not taken from the tallies.
    merge = makeMerge({"B1", "B2"});
    merge.others.setRevisionNumber("B", 4);
    keep(merge);
    ASSERT_TRUE(keptOthers());
    inStore([&] { SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("E", 0, *context); });
    both = uncommittedBothWays();
    EXPECT_EQ(both.first, both.second);
    EXPECT_EQ(both.first, (std::vector<std::string>{"B3", "C1", "B4"}));
    inStore([&] {
        context->rollback();
        EventWriter(*context).event("twin", SYNStoreModificationEventTypeMerge, 40, {local(), merge.number},
                                    revisions({{"B", 4}}));
        ASSERT_EQ(context->save(), nullptr);
    });
    both = uncommittedBothWays();
    EXPECT_EQ(both.first, both.second);
}

}  // namespace
}  // namespace eventstoretest
