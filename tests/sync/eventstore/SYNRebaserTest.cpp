#include "sync/eventstore/SYNRebaser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectPtr;
using testsupport::TempDir;

// A plain replay of events into objects, written independently of the
// rebaser's fold, standing in for the integrator.
class Replay {
  public:
    struct Object {
        std::map<std::string, std::string> attributes;
        std::map<std::string, std::optional<std::string>> toOne;
        std::map<std::string, std::set<std::string>> toMany;
        std::map<std::string, std::vector<std::string>> ordered;
        bool operator==(const Object&) const = default;
    };

    void apply(const plat::coredata::ManagedObject& event) {
        auto changes = event.objectsForKey("objectChanges");
        std::sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) {
            return *SYNObjectChange::globalIdentifierString(*a) <
                   *SYNObjectChange::globalIdentifierString(*b);
        });
        for (const auto& change : changes) {
            const std::string gid = *SYNObjectChange::globalIdentifierString(*change);
            const auto type = SYNObjectChange::type(*change);
            if (type == SYNObjectChangeTypeDelete) {
                objects.erase(gid);
                continue;
            }
            if (type == SYNObjectChangeTypeInsert) {
                objects[gid] = Object();
            } else if (!objects.count(gid)) {
                continue;
            }
            for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
                applyValue(objects[gid], value);
            }
        }
    }

    // Objects with links to objects that do not exist left out.
    std::map<std::string, Object> result() const {
        auto exists = [&](const std::string& gid) { return objects.count(gid) > 0; };
        auto cleaned = objects;
        for (auto& [gid, object] : cleaned) {
            for (auto& [name, target] : object.toOne) {
                if (target && !exists(*target)) {
                    target.reset();
                }
            }
            for (auto& [name, members] : object.toMany) {
                std::erase_if(members, [&](const std::string& m) { return !exists(m); });
            }
            for (auto& [name, members] : object.ordered) {
                std::erase_if(members, [&](const std::string& m) { return !exists(m); });
            }
        }
        return cleaned;
    }

  private:
    static void applyValue(Object& object, const SYNPropertyChangeValue& value) {
        const std::string& name = value.propertyName();
        switch (value.type()) {
            case SYNPropertyChangeTypeAttribute:
                object.attributes[name] = value.value() ? value.value()->description() : "nil";
                break;
            case SYNPropertyChangeTypeToOneRelationship:
                object.toOne[name] = value.relatedIdentifier();
                break;
            case SYNPropertyChangeTypeToManyRelationship: {
                auto& members = object.toMany[name];
                for (const auto& removed : value.removedIdentifiers()) {
                    members.erase(removed);
                }
                members.insert(value.addedIdentifiers().begin(), value.addedIdentifiers().end());
                break;
            }
            default: {
                auto& members = object.ordered[name];
                std::erase_if(members,
                              [&](const std::string& m) { return value.removedIdentifiers().count(m); });
                for (const auto& added : value.addedIdentifiers()) {
                    if (std::find(members.begin(), members.end(), added) == members.end()) {
                        members.push_back(added);
                    }
                }
                std::vector<std::string> sorted;
                for (const auto& [index, member] : value.movedIdentifiersByIndex()) {
                    if (std::find(members.begin(), members.end(), member) != members.end()) {
                        sorted.push_back(member);
                    }
                }
                for (const auto& member : members) {
                    if (std::find(sorted.begin(), sorted.end(), member) == sorted.end()) {
                        sorted.push_back(member);
                    }
                }
                members = sorted;
            }
        }
    }

    std::map<std::string, Object> objects;
};

SYNPropertyChangeValue orderedChange(const std::string& name, std::set<std::string> added,
                                     std::map<int64_t, std::string> moved) {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeOrderedToManyRelationship, name);
    change.setAddedIdentifiers(std::move(added));
    change.setMovedIdentifiersByIndex(std::move(moved));
    return change;
}

class SYNRebaserTest : public EventStoreTest {
  protected:
    void SetUp() override {
        EventStoreTest::SetUp();
        local = *store->persistentStoreIdentifier();
        const char* L = local.c_str();
        EventWriter write(*context);
        inStore([&] {
            auto base = write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"B", 0});
            write.change(base, "p1", SYNObjectChangeTypeInsert,
                         {attribute("name", Value("one")), toMany("friends", {"p2"})});
            write.change(base, "p2", SYNObjectChangeTypeInsert, {attribute("name", Value("two"))});
            write.change(
                base, "p3", SYNObjectChangeTypeInsert,
                {attribute("name", Value("three")), orderedChange("pets", {"x", "y"}, {{0, "x"}, {1, "y"}})});
            auto l0 =
                write.event("L0", SYNStoreModificationEventTypeSave, 1, {local, 0}, revisions({{"B", 0}}));
            write.change(l0, "p1", SYNObjectChangeTypeUpdate, {attribute("name", Value("uno"))});
            write.change(l0, "p4", SYNObjectChangeTypeInsert, {attribute("name", Value("four"))});
            auto b1 = write.event("B1", SYNStoreModificationEventTypeSave, 2, {"B", 1}, revisions({{L, 0}}));
            write.change(b1, "p2", SYNObjectChangeTypeDelete);
            write.change(b1, "p3", SYNObjectChangeTypeUpdate,
                         {orderedChange("pets", {"z"}, {{0, "z"}, {1, "x"}, {2, "y"}})});
            auto l1 =
                write.event("L1", SYNStoreModificationEventTypeMerge, 3, {local, 1}, revisions({{"B", 1}}));
            write.change(l1, "p1", SYNObjectChangeTypeUpdate, {toMany("friends", {"p4"}, {"p2"})});
            auto b2 = write.event("B2", SYNStoreModificationEventTypeSave, 4, {"B", 2}, revisions({{L, 0}}));
            write.change(b2, "p4", SYNObjectChangeTypeUpdate, {attribute("name", Value("FOUR"))});
            ASSERT_EQ(context->save(), nullptr);
        });
    }

    std::map<std::string, Replay::Object> replayAll() {
        return inStore([&] {
            Replay replay;
            auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
            replay.apply(**baseline);
            auto events = SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(*context);
            for (const auto& event : *events) {
                replay.apply(*event);
            }
            return replay.result();
        });
    }

    std::vector<std::string> eventIdentifiers() {
        std::vector<std::string> ids;
        for (const auto& event : allEvents()) {
            ids.push_back(inStore([&] { return SYNStoreModificationEvent::uniqueIdentifier(*event); }));
        }
        return ids;
    }

    void run(const std::function<void(std::function<void(plat::ErrorPtr)>)>& start) {
        bool done = false;
        plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
        start([&](plat::ErrorPtr e) {
            error = e;
            done = true;
        });
        pumpMainUntil([&] { return done; });
        EXPECT_EQ(error, nullptr);
    }

    bool shouldRebase(SYNRebaser& rebaser) {
        bool done = false;
        bool answer = false;
        rebaser.shouldRebaseWithCompletion([&](bool yes) {
            answer = yes;
            done = true;
        });
        pumpMainUntil([&] { return done; });
        return answer;
    }

    std::string local;
};

TEST_F(SYNRebaserTest, RebasingFoldsWhatEveryStoreHasSeenAndKeepsTheSameObjects) {
    const auto before = replayAll();
    ASSERT_EQ(before.size(), 3u);  // p2 was deleted
    SYNRebaser rebaser(store, {});
    EXPECT_TRUE(shouldRebase(rebaser));  // 4 foldable changes against 3 in the baseline
    run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });

    // The cut {local: 0, B: 1}: L0 and B1 are folded; L1 and B2 stay.
    auto left = eventIdentifiers();
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(left.begin() + 1, left.end()), (std::vector<std::string>{"L1", "B2"}));
    EXPECT_EQ(replayAll(), before);
    inStore([&] {
        auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        EXPECT_NE(SYNStoreModificationEvent::uniqueIdentifier(*baseline), "base");
        EXPECT_EQ(SYNStoreModificationEvent::revisionSet(*baseline),
                  revisions({{local.c_str(), 0}, {"B", 1}}));
        EXPECT_EQ(SYNStoreModificationEvent::globalCount(*baseline), 2);
        EXPECT_EQ(baseline->objectsForKey("objectChanges").size(), 3u);
    });
    // Nothing more every store has seen: a second rebase changes nothing.
    EXPECT_FALSE(shouldRebase(rebaser));
    run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });
    EXPECT_EQ(replayAll(), before);
    rebaser.setForceRebase(true);
    EXPECT_TRUE(shouldRebase(rebaser));
}

TEST_F(SYNRebaserTest, AnEventLeftBehindIsNeverOvertakenByAFoldedOne) {
    // L2 has seen B2, so the cut becomes {local: 0, B: 2}: B2 is covered but
    // L1, which precedes it, is not. Both set p4's name; B2 must stay last.
    EventWriter write(*context);
    inStore([&] {
        auto l1 = *SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("L1", *context);
        write.change(l1, "p4", SYNObjectChangeTypeUpdate, {attribute("name", Value("from L1"))});
        write.event("L2", SYNStoreModificationEventTypeMerge, 5, {local, 2}, revisions({{"B", 2}}));
        ASSERT_EQ(context->save(), nullptr);
    });
    const auto before = replayAll();
    ASSERT_EQ(before.at("p4").attributes.at("name"), Value("FOUR").description());
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });
    EXPECT_EQ(replayAll(), before);
    auto left = eventIdentifiers();
    EXPECT_EQ(std::vector<std::string>(left.begin() + 1, left.end()),
              (std::vector<std::string>{"L1", "B2", "L2"}));
}

TEST_F(SYNRebaserTest, ABaselineNeverClaimsAnEventItDoesNotHold) {
    // B1 has not arrived here, though every store has seen it: folding must
    // stop before it, and the new baseline must not cover it, or B1 would be
    // dropped as already held when it arrives.
    inStore([&] {
        auto b1 = *SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("B1", *context);
        context->deleteObject(b1);
        ASSERT_EQ(context->save(), nullptr);
    });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });
    inStore([&] {
        auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        EXPECT_FALSE(SYNStoreModificationEvent::revisionSet(*baseline).covers("B", 1));
        EXPECT_EQ(SYNStoreModificationEvent::revisionSet(*baseline),
                  revisions({{local.c_str(), 0}, {"B", 0}}));
    });
    auto left = eventIdentifiers();
    EXPECT_EQ(std::vector<std::string>(left.begin() + 1, left.end()), (std::vector<std::string>{"L1", "B2"}));
}

TEST_F(SYNRebaserTest, EventsTheBaselineHoldsAreDeleted) {
    EventWriter write(*context);
    inStore([&] {
        write.event("B0 again", SYNStoreModificationEventTypeSave, 1, {"B", 0});
        ASSERT_EQ(context->save(), nullptr);
    });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    auto left = eventIdentifiers();
    EXPECT_EQ(left, (std::vector<std::string>{"base", "L0", "B1", "L1", "B2"}));
}

// Only complete save and merge events go: the baseline itself, events it
// does not cover (a later revision, another store) and an unfinished event
// (the next opening of the store deletes those) stay, whatever their
// revisions.
TEST_F(SYNRebaserTest, OnlyCompleteEventsTheBaselineCoversAreDeleted) {
    EventWriter write(*context);
    inStore([&] {
        write.event("B0 merged", SYNStoreModificationEventTypeMerge, 1, {"B", 0});
        write.event("B0 unfinished", SYNStoreModificationEventTypeIncomplete, 0, {"B", 0});
        write.event("C0", SYNStoreModificationEventTypeSave, 1, {"C", 0});
        ASSERT_EQ(context->save(), nullptr);
    });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    auto left = eventIdentifiers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"B0 unfinished", "B1", "B2", "C0", "L0", "L1", "base"}));
    // Nothing left to delete: a second run changes nothing.
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    EXPECT_EQ(eventIdentifiers().size(), left.size());
}

// Held are exactly the saves and merges whose own revision the latest
// baseline covers, store by store and up to its number; what another store
// saved, or a store saved past the baseline, stays, and so do baselines.
TEST_F(SYNRebaserTest, OnlyEventsWithinTheBaselinesRevisionsAreDeleted) {
    EventWriter write(*context);
    inStore([&] {
        write.event("base2", SYNStoreModificationEventTypeBaseline, 2, {"B", 1},
                    revisions({{local.c_str(), 0}}));
        write.event("C0", SYNStoreModificationEventTypeSave, 2, {"C", 0});
        write.event("B1 merge", SYNStoreModificationEventTypeMerge, 2, {"B", 1});
        ASSERT_EQ(context->save(), nullptr);
    });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    auto left = eventIdentifiers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"B2", "C0", "L1", "base", "base2"}));
}

// Each insert of the new baseline records the revision of the event that
// last inserted or updated its object; objects no folded event touched keep
// what the old baseline recorded, also "unrecorded".
TEST_F(SYNRebaserTest, TheNewBaselineRecordsTheRevisionThatLastSetEachObject) {
    EventWriter write(*context);
    inStore([&] {
        auto base =
            *SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("base", *context);
        write.insert(base, "p5", {attribute("name", Value("five"))}, {"B", 0});
        write.change(base, "p6", SYNObjectChangeTypeInsert, {attribute("name", Value("six"))});
        ASSERT_EQ(context->save(), nullptr);
    });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });
    std::map<std::string, std::optional<SYNRevision>> recorded;
    inStore([&] {
        auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        for (const auto& change : baseline->objectsForKey("objectChanges")) {
            recorded[*SYNObjectChange::globalIdentifierString(*change)] =
                SYNObjectChange::valuesRevision(*change);
        }
    });
    // L0 updated p1 and inserted p4; B1 deleted p2 and updated p3.
    EXPECT_EQ(recorded, (std::map<std::string, std::optional<SYNRevision>>{{"p1", SYNRevision{local, 0}},
                                                                           {"p3", SYNRevision{"B", 1}},
                                                                           {"p4", SYNRevision{local, 0}},
                                                                           {"p5", SYNRevision{"B", 0}},
                                                                           {"p6", std::nullopt}}));
}

// The old baseline is store B's; the new one takes the store of the last
// folded event (the local store's): each insert keeps its true revision, and
// the new rows name each store by the number the store's list gives it (or
// in full, in a store written before the list, which keeps no list).
TEST_F(SYNRebaserTest, TheNewBaselineKeepsEachRevisionInTheStoresForm) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "store of full identifiers" : "store of numbered identifiers");
        TempDir folder;
        auto other = SYNEventStore::create("mesh", folder.str(), kStoreType);
        ASSERT_EQ(other->prepareNewEventStore(), nullptr);
        if (full) {
            other->dismantle();
            dropStoreIdentifierList(other->pathToStoreFile());
            other = SYNEventStore::create("mesh", folder.str(), kStoreType);
        }
        auto otherContext = other->managedObjectContext();
        const std::string own = *other->persistentStoreIdentifier();
        EventWriter write(*otherContext);
        otherContext->performBlockAndWait([&] {
            auto base = write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"B", 1});
            write.insert(base, "kept", {attribute("name", Value("k"))}, {"B", 1});
            write.insert(base, "third", {attribute("name", Value("t"))}, {"C", 4});
            write.insert(base, "updated", {attribute("name", Value("u"))}, {"B", 0});
            auto saved =
                write.event("L0", SYNStoreModificationEventTypeSave, 1, {own, 0}, revisions({{"B", 1}}));
            write.change(saved, "updated", SYNObjectChangeTypeUpdate, {attribute("name", Value("U"))});
            write.change(saved, "new", SYNObjectChangeTypeInsert, {attribute("name", Value("n"))});
            ASSERT_EQ(otherContext->save(), nullptr);
        });
        EXPECT_EQ(storedRevisions(other->pathToStoreFile()).at("kept").first,
                  full ? std::optional<std::string>("B") : std::optional<std::string>("0"));
        SYNRebaser rebaser(other, {});
        run([&](auto completion) { rebaser.rebaseWithCompletion(completion); });
        std::map<std::string, std::optional<SYNRevision>> recorded;
        otherContext->performBlockAndWait([&] {
            auto baseline =
                *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*otherContext);
            EXPECT_EQ(SYNStoreModificationEvent::storeIdentifier(*baseline), own);
            for (const auto& change : baseline->objectsForKey("objectChanges")) {
                recorded[*SYNObjectChange::globalIdentifierString(*change)] =
                    SYNObjectChange::valuesRevision(*change);
            }
        });
        EXPECT_EQ(recorded,
                  (std::map<std::string, std::optional<SYNRevision>>{{"kept", SYNRevision{"B", 1}},
                                                                     {"third", SYNRevision{"C", 4}},
                                                                     {"updated", SYNRevision{own, 0}},
                                                                     {"new", SYNRevision{own, 0}}}));
        const auto stored = storedRevisions(other->pathToStoreFile());
        EXPECT_EQ(stored.size(), 4u);
        const auto list = storedIdentifierList(other->pathToStoreFile());
        EXPECT_EQ(list,
                  full ? std::nullopt
                       : std::optional<std::vector<std::string>>(std::vector<std::string>{"B", "C", own}));
        for (const auto& [gid, row] : stored) {
            ASSERT_TRUE(row.first) << gid;
            EXPECT_EQ(
                full ? *row.first : identifierOnDisk(list.value_or(std::vector<std::string>()), *row.first),
                recorded.at(gid)->persistentStoreIdentifier)
                << gid;
        }
    }
}

// The checks of a merge read the facts (the baseline, every complete event's
// own revision) and the event store's tallies keep them.
void gatherFacts(const std::shared_ptr<SYNEventStore>& store) {
    SYNRevisionManager manager(store);
    manager.setSharesEventFetches(true);
    EXPECT_TRUE(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().ok());
}

// With the facts kept and nothing the baseline covers, the deletion reads
// nothing (the context registers no object); an event the baseline covers,
// saved while the facts are kept, still goes.
TEST_F(SYNRebaserTest, KeptFactsSpareTheReadOnlyWhenTheBaselineCoversNoEvent) {
    gatherFacts(store);
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    ASSERT_TRUE(tallies->facts(local).value);
    inStore([&] { context->reset(); });
    SYNRebaser rebaser(store, {});
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    EXPECT_TRUE(inStore([&] { return context->registeredObjects().empty(); }));
    EXPECT_EQ(eventIdentifiers(), (std::vector<std::string>{"base", "L0", "B1", "L1", "B2"}));

    EventWriter write(*context);
    inStore([&] {
        write.event("B0 again", SYNStoreModificationEventTypeMerge, 5, {"B", 0});
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    ASSERT_TRUE(tallies->facts(local).value);  // the save was followed
    run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
    EXPECT_EQ(eventIdentifiers(), (std::vector<std::string>{"base", "L0", "B1", "L1", "B2"}));
}

// Random events, baselines replaced and facts kept or not: after every
// deletion exactly the complete events the baseline covers are gone, as a
// fresh read of the store says, whichever way the deletion took.
TEST_F(SYNRebaserTest, TheDeletionWithOrWithoutKeptFactsLeavesWhatTheBaselineDoesNotCover) {
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    std::mt19937 random(20261209);
    const std::vector<std::string> stores{local, "B", "C"};
    EventWriter write(*context);
    SYNRebaser rebaser(store, {});
    int64_t count = 10;
    int keptRuns = 0;
    for (int step = 0; step < 80; ++step) {
        SCOPED_TRACE(step);
        const int kind = static_cast<int>(random() % 6);
        inStore([&] {
            const std::string uid = "e" + std::to_string(step);
            const std::string& storeID = stores[random() % stores.size()];
            const int64_t number = static_cast<int64_t>(random() % 5);
            if (kind <= 2) {
                write.event(
                    uid, kind == 0 ? SYNStoreModificationEventTypeMerge : SYNStoreModificationEventTypeSave,
                    ++count, {storeID, number});
            } else if (kind == 3) {
                write.event(uid, SYNStoreModificationEventTypeIncomplete, 0, {storeID, number});
            } else if (kind == 4) {
                // The baseline replaced by one covering other revisions.
                auto old = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
                ASSERT_TRUE(old.ok());
                if (*old) {
                    context->deleteObject(*old);
                }
                SYNRevisionSet others;
                for (const auto& other : stores) {
                    if (other != storeID && random() % 2) {
                        others.addRevision(SYNRevision{other, static_cast<int64_t>(random() % 5)});
                    }
                }
                write.event(uid, SYNStoreModificationEventTypeBaseline, ++count, {storeID, number}, others);
            }
            ASSERT_EQ(context->save(), nullptr);
            context->reset();
        });
        if (random() % 3 != 0) {
            gatherFacts(store);
        }
        // What a fresh read says the deletion must leave.
        std::set<std::string> expected;
        inStore([&] {
            auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
            ASSERT_TRUE(baseline.ok());
            const SYNRevisionSet covered =
                *baseline ? SYNStoreModificationEvent::revisionSet(**baseline) : SYNRevisionSet();
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                const int16_t type = SYNStoreModificationEvent::type(*event);
                const auto own = SYNStoreModificationEvent::revision(*event);
                const bool complete =
                    type == SYNStoreModificationEventTypeSave || type == SYNStoreModificationEventTypeMerge;
                if (complete && own && covered.covers(own->persistentStoreIdentifier, own->revisionNumber)) {
                    continue;
                }
                expected.insert(SYNStoreModificationEvent::uniqueIdentifier(*event));
            }
            context->reset();
        });
        keptRuns += tallies->facts(local).value ? 1 : 0;
        run([&](auto completion) { rebaser.deleteEventsPreceedingBaselineWithCompletion(completion); });
        const auto left = eventIdentifiers();
        EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), expected);
    }
    EXPECT_GT(keptRuns, 20);
}

}  // namespace
}  // namespace eventstoretest
