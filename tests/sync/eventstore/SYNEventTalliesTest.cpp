#include "sync/eventstore/detail/SYNEventTallies.h"

#include <gtest/gtest.h>

#include <random>

#include "EventStoreFixture.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

// What a new event must take, read from every record of the store.
struct Truth {
    int64_t nextRevision = 0;
    int64_t nextCount = 1;
    SYNRevisionSet others;
    std::optional<int64_t> latestMergeNumber;
    plat::coredata::ManagedObjectIDPtr latestMerge;
};

class SYNEventTalliesTest : public EventStoreTest {
  protected:
    std::string local() const { return *store->persistentStoreIdentifier(); }

    Truth truth() {
        return inStore([&] {
            Truth truth;
            auto records = context->executeFetchRequest(FetchRequest(SYNEventRevisionEntityName));
            EXPECT_TRUE(records.ok());
            for (const auto& record : *records) {
                const SYNRevision revision = SYNEventRevision::revision(*record);
                if (revision.persistentStoreIdentifier == local()) {
                    truth.nextRevision = std::max(truth.nextRevision, revision.revisionNumber + 1);
                }
            }
            auto events = context->executeFetchRequest(FetchRequest(SYNStoreModificationEventEntityName));
            EXPECT_TRUE(events.ok());
            ManagedObjectPtr latest;
            int64_t latestNumber = 0;
            for (const auto& event : *events) {
                truth.nextCount =
                    std::max(truth.nextCount, SYNStoreModificationEvent::globalCount(*event) + 1);
                auto own = SYNStoreModificationEvent::revision(*event);
                if (SYNStoreModificationEvent::type(*event) != SYNStoreModificationEventTypeMerge || !own ||
                    own->persistentStoreIdentifier != local()) {
                    continue;
                }
                if (!latest || own->revisionNumber > latestNumber ||
                    (own->revisionNumber == latestNumber &&
                     event->objectID()->primaryKey() < latest->objectID()->primaryKey())) {
                    latest = event;
                    latestNumber = own->revisionNumber;
                }
            }
            if (latest) {
                truth.latestMergeNumber = latestNumber;
                truth.latestMerge = latest->objectID();
                truth.others = SYNStoreModificationEvent::revisionSetOfOtherStores(*latest);
            } else {
                auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
                EXPECT_TRUE(baseline.ok());
                if (*baseline) {
                    truth.others = SYNStoreModificationEvent::revisionSet(**baseline);
                }
            }
            truth.others.removeStore(local());
            return truth;
        });
    }

    // Makes an event of the type, checks what it took against the records,
    // and saves it.
    void makeAndCheck(int16_t type, const std::string& step) {
        SCOPED_TRACE(step);
        const Truth expected = truth();
        SYNEventBuilder builder(store);
        auto revision = builder.makeNewEventOfType(type);
        ASSERT_TRUE(revision.ok());
        EXPECT_EQ(revision->revisionNumber, expected.nextRevision);
        inStore([&] {
            EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(*builder.event()), expected.others);
        });
        ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder.saveAndReset(), nullptr);
        inStore(
            [&] { EXPECT_EQ(SYNStoreModificationEvent::globalCount(*builder.event()), expected.nextCount); });
    }

    SYNManagedObjects fetchAll(ManagedObjectContext& in, const char* entity) {
        auto found = in.executeFetchRequest(FetchRequest(entity));
        EXPECT_TRUE(found.ok());
        return found.ok() ? *found : SYNManagedObjects();
    }
};

TEST_F(SYNEventTalliesTest, KeptAnswersFollowTheSavesAndDeletionsDropThem) {
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    EXPECT_FALSE(tallies->highestRevision(local()).value);
    makeAndCheck(SYNStoreModificationEventTypeSave, "first save");
    makeAndCheck(SYNStoreModificationEventTypeMerge, "first merge");
    // Known after the look-ups, and followed along the saves since.
    EXPECT_EQ(tallies->highestRevision(local()).value, std::optional<int64_t>(1));
    EXPECT_EQ(tallies->highestGlobalCount().value, std::optional<int64_t>(2));
    auto merge = tallies->latestMerge(local()).value;
    ASSERT_TRUE(merge && merge->event);
    EXPECT_EQ(merge->number, 1);
    // Its revisions of other stores are read by the first event after it,
    // then kept; a revision added to them is read again.
    EXPECT_FALSE(merge->others);
    makeAndCheck(SYNStoreModificationEventTypeSave, "save after the merge");
    merge = tallies->latestMerge(local()).value;
    ASSERT_TRUE(merge && merge->others);
    inStore([&] {
        // Its own revision loaded, the merge itself stays known.
        const auto loaded = fetchAll(*context, SYNEventRevisionEntityName);
        auto event = *context->existingObjectWithID(merge->event);
        auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("C", 7, *context);
        record->setObject(event, "storeModificationEventForOtherStores");
        ASSERT_EQ(context->save(), nullptr);
    });
    merge = tallies->latestMerge(local()).value;
    ASSERT_TRUE(merge && merge->event);
    EXPECT_FALSE(merge->others);
    makeAndCheck(SYNStoreModificationEventTypeSave, "after a revision added to the merge");
    EXPECT_FALSE(tallies->highestRevision("another store").value);

    // An event written by another context over the same store, unseen by
    // the event store's context: every answer is asked again.
    auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
    EventWriter(*other).event("other", SYNStoreModificationEventTypeMerge, 30, {local(), 12});
    ASSERT_EQ(other->save(), nullptr);
    EXPECT_FALSE(tallies->highestRevision(local()).value);
    EXPECT_FALSE(tallies->highestGlobalCount().value);
    EXPECT_FALSE(tallies->latestMerge(local()).value);
    makeAndCheck(SYNStoreModificationEventTypeSave, "after another context");
    EXPECT_EQ(tallies->highestRevision(local()).value, std::optional<int64_t>(13));

    // A deletion may take the highest values away.
    inStore([&] {
        for (const auto& event : fetchAll(*context, SYNStoreModificationEventEntityName)) {
            if (SYNStoreModificationEvent::uniqueIdentifier(*event) == "other") {
                context->deleteObject(event);
            }
        }
        ASSERT_EQ(context->save(), nullptr);
    });
    EXPECT_FALSE(tallies->highestRevision(local()).value);
    EXPECT_FALSE(tallies->latestMerge(local()).value);
    makeAndCheck(SYNStoreModificationEventTypeSave, "after the deletion");
    makeAndCheck(SYNStoreModificationEventTypeSave, "after the deletion, kept");

    // An import of a few events with many changes is followed: only its
    // events and revision records are looked at.
    inStore([&] {
        EventWriter write(*context);
        for (int i = 0; i < 8; ++i) {
            auto event = write.event("batch " + std::to_string(i), SYNStoreModificationEventTypeSave, 50 + i,
                                     {"B", 50 + i});
            for (int j = 0; j < 40; ++j) {
                write.change(event, "G" + std::to_string(i) + "-" + std::to_string(j),
                             SYNObjectChangeTypeUpdate);
            }
        }
        ASSERT_EQ(context->save(), nullptr);
    });
    EXPECT_EQ(tallies->highestGlobalCount().value, std::optional<int64_t>(57));
    makeAndCheck(SYNStoreModificationEventTypeSave, "after an import of many changes");

    // A save too large to walk (an import of many events) is not followed.
    inStore([&] {
        EventWriter write(*context);
        for (int i = 0; i < 300; ++i) {
            write.event("imported " + std::to_string(i), SYNStoreModificationEventTypeSave, 100 + i,
                        {"B", i});
        }
        ASSERT_EQ(context->save(), nullptr);
    });
    EXPECT_FALSE(tallies->highestGlobalCount().value);
    makeAndCheck(SYNStoreModificationEventTypeSave, "after a large save");
    EXPECT_EQ(tallies->highestGlobalCount().value, std::optional<int64_t>(400));

    // A store closed and opened again knows nothing until it looks.
    store->dismantle();
    EXPECT_FALSE(tallies->highestRevision(local()).value);
}

// Events written, changed and deleted in every way the store allows, each
// step followed by an event whose revision, revisions of other stores and
// global count are checked against all the records.
TEST_F(SYNEventTalliesTest, EventsMadeAlongAnyChangesTakeWhatTheRecordsSay) {
    std::mt19937 random(20261208);
    auto pick = [&](int64_t n) { return static_cast<int64_t>(random() % static_cast<uint64_t>(n)); };
    // Half the time the last made, which holds the highest values.
    auto choose = [&](const SYNManagedObjects& objects) {
        const auto last = static_cast<int64_t>(objects.size()) - 1;  // in key order
        return objects[static_cast<std::size_t>(pick(2) ? last : pick(last + 1))];
    };
    const std::string stores[] = {"B", "C"};
    for (int step = 0; step < 160; ++step) {
        const Truth now = truth();
        const int kind = static_cast<int>(pick(10));
        const std::string name = "step " + std::to_string(step) + " kind " + std::to_string(kind);
        SYNRevisionSet others;  // of other stores, sometimes naming this one
        others.setRevisionNumber(stores[pick(2)], pick(20));
        if (pick(3) == 0) {
            others.setRevisionNumber(local(), pick(now.nextRevision + 4));
        }
        if (kind == 5) {  // another context's save
            auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
            other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
            EventWriter(*other).event(name, SYNStoreModificationEventTypeMerge, now.nextCount + 2,
                                      {pick(2) ? local() : stores[0], now.nextRevision + 1});
            ASSERT_EQ(other->save(), nullptr);
        } else if (kind == 6) {
            makeAndCheck(SYNStoreModificationEventTypeMerge, name);
        }
        inStore([&] {
            auto events = fetchAll(*context, SYNStoreModificationEventEntityName);
            auto records = fetchAll(*context, SYNEventRevisionEntityName);
            EventWriter write(*context);
            if (kind == 0) {  // another store's event, imported
                const int16_t types[] = {SYNStoreModificationEventTypeSave,
                                         SYNStoreModificationEventTypeMerge,
                                         SYNStoreModificationEventTypeBaseline};
                write.event(name, types[pick(3)], pick(now.nextCount + 5), {stores[pick(2)], pick(20)},
                            others);
            } else if (kind == 1) {  // a local merge written as is, often sharing the latest's number
                const int64_t number =
                    now.latestMergeNumber && pick(2) ? *now.latestMergeNumber : pick(now.nextRevision + 2);
                write.event(name, SYNStoreModificationEventTypeMerge, pick(now.nextCount + 3),
                            {local(), number}, others);
            } else if (kind == 2 && !events.empty()) {
                context->deleteObject(choose(events));
            } else if (kind == 3 && !events.empty()) {  // a count lowered or raised
                choose(events)->setValue(Value(pick(now.nextCount + 3)), "globalCount");
            } else if (kind == 4 &&
                       !events.empty()) {  // a merge made a save or the other way, often the latest
                auto event = now.latestMerge && pick(2) ? *context->existingObjectWithID(now.latestMerge)
                                                        : choose(events);
                const bool merge =
                    SYNStoreModificationEvent::type(*event) == SYNStoreModificationEventTypeMerge;
                event->setValue(Value(int64_t{merge ? SYNStoreModificationEventTypeSave
                                                    : SYNStoreModificationEventTypeMerge}),
                                "type");
            } else if (kind == 7 && !records.empty()) {  // a revision record renumbered
                choose(records)->setValue(Value(pick(now.nextRevision + 3)), "revisionNumber");
            } else if (kind == 9 && !events.empty()) {  // a revision of another store added to an event,
                                                        // often the latest merge
                auto event = now.latestMerge && pick(2) ? *context->existingObjectWithID(now.latestMerge)
                                                        : choose(events);
                auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                    stores[pick(2)], pick(30), *context);
                record->setObject(event, "storeModificationEventForOtherStores");
            }
            ASSERT_EQ(context->save(), nullptr);
        });
        makeAndCheck(SYNStoreModificationEventTypeSave, name);
        if (HasFailure()) {
            return;
        }
    }
}

}  // namespace
}  // namespace eventstoretest
