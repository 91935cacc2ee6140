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
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> stores = {"B", "C"};
    auto randomOthers = [&](int64_t bound) {
        SYNRevisionSet set;
        for (const auto& name : stores) {
            if (pick(2)) {
                set.setRevisionNumber(name, pick(20));
            }
        }
        if (pick(3) == 0) {
            set.setRevisionNumber(local(), pick(static_cast<int>(bound) + 4));
        }
        return set;
    };
    // Half the time the last made, which holds the highest values.
    auto choose = [&](const SYNManagedObjects& objects) {
        const int last = static_cast<int>(objects.size()) - 1;  // in key order
        return objects[static_cast<std::size_t>(pick(2) ? last : pick(last + 1))];
    };
    for (int step = 0; step < 160; ++step) {
        const Truth now = truth();
        const int kind = pick(9);
        const std::string name = "step " + std::to_string(step) + " kind " + std::to_string(kind);
        switch (kind) {
            case 0:  // another store's event, imported
                inStore([&] {
                    const int16_t types[] = {SYNStoreModificationEventTypeSave,
                                             SYNStoreModificationEventTypeMerge,
                                             SYNStoreModificationEventTypeBaseline};
                    EventWriter(*context).event(name, types[pick(3)],
                                                pick(static_cast<int>(now.nextCount) + 5),
                                                {stores[pick(2)], pick(20)}, randomOthers(now.nextRevision));
                    ASSERT_EQ(context->save(), nullptr);
                });
                break;
            case 1:  // a local merge written as is, its number possibly shared
                inStore([&] {
                    EventWriter(*context).event(name, SYNStoreModificationEventTypeMerge,
                                                pick(static_cast<int>(now.nextCount) + 3),
                                                {local(), now.latestMergeNumber && pick(2)
                                                              ? *now.latestMergeNumber
                                                              : pick(static_cast<int>(now.nextRevision) + 2)},
                                                randomOthers(now.nextRevision));
                    ASSERT_EQ(context->save(), nullptr);
                });
                break;
            case 2:  // an event deleted
                inStore([&] {
                    auto events = fetchAll(*context, SYNStoreModificationEventEntityName);
                    if (!events.empty()) {
                        context->deleteObject(choose(events));
                        ASSERT_EQ(context->save(), nullptr);
                    }
                });
                break;
            case 3:  // an event's count lowered or raised, or its type changed
                inStore([&] {
                    auto events = fetchAll(*context, SYNStoreModificationEventEntityName);
                    if (events.empty()) {
                        return;
                    }
                    if (pick(2)) {
                        choose(events)->setValue(Value(int64_t{pick(static_cast<int>(now.nextCount) + 3)}),
                                                 "globalCount");
                    } else {
                        // Merges become saves as often as the other way, often
                        // the latest local merge.
                        SYNManagedObjects merges;
                        ManagedObjectPtr latest;
                        for (const auto& event : events) {
                            if (SYNStoreModificationEvent::type(*event) !=
                                SYNStoreModificationEventTypeMerge) {
                                continue;
                            }
                            merges.push_back(event);
                            auto own = SYNStoreModificationEvent::revision(*event);
                            if (own && own->persistentStoreIdentifier == local() &&
                                (!latest ||
                                 own->revisionNumber >
                                     SYNStoreModificationEvent::revision(*latest)->revisionNumber)) {
                                latest = event;
                            }
                        }
                        const bool toSave = !merges.empty() && pick(2);
                        ManagedObjectPtr event =
                            toSave ? (latest && pick(2) ? latest
                                                        : merges[static_cast<std::size_t>(
                                                              pick(static_cast<int>(merges.size())))])
                                   : events[static_cast<std::size_t>(pick(static_cast<int>(events.size())))];
                        event->setValue(Value(int64_t{toSave ? SYNStoreModificationEventTypeSave
                                                             : SYNStoreModificationEventTypeMerge}),
                                        "type");
                    }
                    ASSERT_EQ(context->save(), nullptr);
                });
                break;
            case 4:  // a revision record renumbered
                inStore([&] {
                    auto records = fetchAll(*context, SYNEventRevisionEntityName);
                    if (!records.empty()) {
                        choose(records)->setValue(
                            Value(int64_t{pick(static_cast<int>(now.nextRevision) + 3)}), "revisionNumber");
                        ASSERT_EQ(context->save(), nullptr);
                    }
                });
                break;
            case 5: {  // another context's save
                auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
                other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
                EventWriter(*other).event(name, SYNStoreModificationEventTypeMerge, now.nextCount + 2,
                                          {pick(2) ? local() : stores[0], now.nextRevision + 1});
                ASSERT_EQ(other->save(), nullptr);
                break;
            }
            case 6:  // a merge made by a builder, from another store's event
                makeAndCheck(SYNStoreModificationEventTypeMerge, name);
                break;
            default:
                break;
        }
        fprintf(stderr, "%d kind %d known %d %d %d\n", step, kind,
                (int)store->eventTallies()->highestRevision(local()).value.has_value(),
                (int)store->eventTallies()->highestGlobalCount().value.has_value(),
                (int)store->eventTallies()->latestMerge(local()).value.has_value());
        makeAndCheck(SYNStoreModificationEventTypeSave, name);
        if (HasFatalFailure() || HasFailure()) {
            return;
        }
    }
}

}  // namespace
}  // namespace eventstoretest
