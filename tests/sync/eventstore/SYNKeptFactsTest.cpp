// The facts a merge's checks read (every complete event's own revision, the
// baseline), kept by the event store's tallies and brought along by its
// saves: after every kind of save they must equal what a fresh read of the
// store on disk gives, or be unknown.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

namespace eventstoretest {
namespace {

using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

class SYNKeptFactsTest : public EventStoreTest {
  protected:
    std::string local() const { return *store->persistentStoreIdentifier(); }

    // The facts as read from the store by a context of its own.
    struct Reference {
        SYNEventTallies::PresentRevisions present;
        std::set<int64_t> latestLocalMerges;  // keys
        int64_t latestLocalMergeNumber = 0;
        std::optional<std::string> baseline;
        SYNRevisionSet baselineSet;
        // Complete events by key: own revision (nullopt: none).
        std::map<int64_t, std::optional<SYNRevision>> complete;
    };

    Reference readReference() {
        Reference reference;
        auto fresh = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        fresh->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, *fresh);
        EXPECT_TRUE(events.ok());
        if (!events.ok()) {
            return reference;
        }
        SYNManagedObjects baselines;
        for (const auto& event : *events) {
            const int16_t type = SYNStoreModificationEvent::type(*event);
            if (type == SYNStoreModificationEventTypeBaseline) {
                baselines.push_back(event);
                continue;
            }
            if (type != SYNStoreModificationEventTypeSave && type != SYNStoreModificationEventTypeMerge) {
                continue;
            }
            auto own = SYNStoreModificationEvent::revision(*event);
            reference.complete[event->objectID()->primaryKey()] = own;
            if (!own) {
                continue;
            }
            ++reference.present[own->persistentStoreIdentifier][own->revisionNumber];
            if (type == SYNStoreModificationEventTypeMerge && own->persistentStoreIdentifier == local()) {
                if (reference.latestLocalMerges.empty() ||
                    own->revisionNumber > reference.latestLocalMergeNumber) {
                    reference.latestLocalMerges.clear();
                    reference.latestLocalMergeNumber = own->revisionNumber;
                }
                if (own->revisionNumber == reference.latestLocalMergeNumber) {
                    reference.latestLocalMerges.insert(event->objectID()->primaryKey());
                }
            }
        }
        SYNStoreModificationEvent::sortInEventOrder(baselines);
        if (!baselines.empty()) {
            reference.baseline = SYNStoreModificationEvent::uniqueIdentifier(*baselines.back());
            reference.baselineSet = SYNStoreModificationEvent::revisionSet(*baselines.back());
        }
        return reference;
    }

    // Whether the tallies keep facts now; when they do, they must be the
    // store's, and so must the events they name above any bound.
    bool checkKeptFacts(const std::string& step) {
        SCOPED_TRACE(step);
        auto tallies = store->eventTallies();
        auto kept = tallies->facts(local());
        if (!kept.value) {
            return false;
        }
        const Reference reference = readReference();
        EXPECT_EQ(*kept.value->present, reference.present);
        std::set<int64_t> merges;
        for (const auto& id : kept.value->latestLocalMerges) {
            merges.insert(id->primaryKey());
        }
        EXPECT_EQ(merges, reference.latestLocalMerges);
        if (!merges.empty()) {
            EXPECT_EQ(kept.value->latestLocalMergeNumber, reference.latestLocalMergeNumber);
        }
        EXPECT_EQ(kept.value->baseline.has_value(), reference.baseline.has_value());
        if (kept.value->baseline && reference.baseline) {
            EXPECT_EQ(kept.value->baseline->uniqueIdentifier, *reference.baseline);
            EXPECT_EQ(kept.value->baseline->revisions, reference.baselineSet);
        }
        // Every store bounded at every number present (and unbounded), with
        // and without the events that have no own revision.
        std::vector<std::map<std::string, std::optional<int64_t>>> boundsList{{}};
        std::map<std::string, std::optional<int64_t>> unbounded;
        for (const auto& [storeID, numbers] : reference.present) {
            unbounded[storeID] = std::nullopt;
            for (const auto& [number, count] : numbers) {
                boundsList.push_back({{storeID, number}, {"elsewhere", 0}});
            }
        }
        boundsList.push_back(unbounded);
        for (const auto& bounds : boundsList) {
            for (bool without : {false, true}) {
                auto named = tallies->completeEventsAbove(bounds, without, kept.generation);
                EXPECT_TRUE(named);
                std::set<int64_t> found;
                for (const auto& id : named ? *named : std::vector<ManagedObjectIDPtr>()) {
                    found.insert(id->primaryKey());
                }
                std::set<int64_t> expected;
                for (const auto& [key, own] : reference.complete) {
                    if (!own) {
                        if (without) {
                            expected.insert(key);
                        }
                        continue;
                    }
                    auto bound = bounds.find(own->persistentStoreIdentifier);
                    if (bound != bounds.end() && (!bound->second || own->revisionNumber > *bound->second)) {
                        expected.insert(key);
                    }
                }
                EXPECT_EQ(found, expected);
            }
        }
        return true;
    }

    // The checks read the facts again (keeping them) when unknown.
    void gather() {
        SYNRevisionManager manager(store);
        manager.setSharesEventFetches(true);
        EXPECT_TRUE(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().ok());
    }

    // A save of another context over the store, of nothing the facts hold.
    void saveElsewhere(const std::string& gid) {
        auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
        EventWriter(*other).identifier(gid);
        ASSERT_EQ(other->save(), nullptr);
    }

    SYNManagedObjects completeAndBaselineEvents() {
        return inStore([&] {
            SYNManagedObjects events;
            for (const auto& event : allEvents()) {
                const int16_t type = SYNStoreModificationEvent::type(*event);
                if (type != SYNStoreModificationEventTypeIncomplete) {
                    events.push_back(event);
                }
            }
            return events;
        });
    }
};

// Each kind of save in turn: which keep the facts, and that what is kept is
// what the store holds.
TEST_F(SYNKeptFactsTest, EachKindOfSaveKeepsTheStoresFactsOrForgetsThem) {
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    EventWriter write(*context);
    auto save = [&] { ASSERT_EQ(inStore([&] { return context->save(); }), nullptr); };
    EXPECT_FALSE(tallies->facts(local()).value);  // nothing read yet
    gather();
    EXPECT_TRUE(checkKeptFacts("empty store"));

    // Events inserted: followed.
    ManagedObjectPtr building, own, merge;
    inStore([&] {
        write.event("B0", SYNStoreModificationEventTypeSave, 1, {"B", 0});
        merge = write.event("M1", SYNStoreModificationEventTypeMerge, 2, {local(), 1}, revisions({{"B", 0}}));
        building = write.event("building", SYNStoreModificationEventTypeIncomplete, 0, {local(), 2});
    });
    save();
    EXPECT_TRUE(checkKeptFacts("inserted"));

    // An incomplete event finished (its revision a fault after a reset).
    inStore([&] {
        context->reset();
        auto event = context->existingObjectWithID(building->objectID());
        ASSERT_TRUE(event.ok());
        (*event)->setValue(plat::Value(int64_t{SYNStoreModificationEventTypeMerge}), "type");
        (*event)->setValue(plat::Value(int64_t{3}), "globalCount");
    });
    save();
    EXPECT_TRUE(checkKeptFacts("finished"));

    // A revision record renumbered.
    inStore([&] {
        auto event = context->existingObjectWithID(merge->objectID());
        ASSERT_TRUE(event.ok());
        (*event)->objectForKey("eventRevision")->setValue(plat::Value(int64_t{5}), "revisionNumber");
    });
    save();
    EXPECT_TRUE(checkKeptFacts("renumbered"));

    // An event's type changed, and a complete event without own revision.
    inStore([&] {
        auto event = context->existingObjectWithID(merge->objectID());
        ASSERT_TRUE(event.ok());
        (*event)->setValue(plat::Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
        auto bare = write.event("bare", SYNStoreModificationEventTypeSave, 4, {"C", 0});
        auto record = bare->objectForKey("eventRevision");
        bare->setObject(nullptr, "eventRevision");
        context->deleteObject(record);
    });
    save();
    EXPECT_TRUE(checkKeptFacts("retyped"));

    // An own revision moved from one event to another.
    inStore([&] {
        auto from = context->existingObjectWithID(merge->objectID());
        ASSERT_TRUE(from.ok());
        auto record = (*from)->objectForKey("eventRevision");
        own = write.event("L7", SYNStoreModificationEventTypeMerge, 5, {local(), 7});
        auto replaced = own->objectForKey("eventRevision");
        own->setObject(record, "eventRevision");
        context->deleteObject(replaced);
    });
    save();
    EXPECT_TRUE(checkKeptFacts("moved"));

    // An event deleted, with its revisions.
    inStore([&] {
        auto event = context->existingObjectWithID(own->objectID());
        ASSERT_TRUE(event.ok());
        context->deleteObject(*event);
    });
    save();
    EXPECT_TRUE(checkKeptFacts("deleted"));

    // A baseline made: forgotten, read again.
    ManagedObjectPtr baseline;
    inStore([&] {
        baseline = write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"B", 0},
                               revisions({{local().c_str(), 1}}));
    });
    save();
    EXPECT_FALSE(checkKeptFacts("baseline made"));
    gather();
    EXPECT_TRUE(checkKeptFacts("baseline read"));

    // A save event of another store followed beside the baseline.
    inStore([&] { write.event("B1", SYNStoreModificationEventTypeSave, 6, {"B", 1}); });
    save();
    EXPECT_TRUE(checkKeptFacts("beside the baseline"));

    // A revision added to the baseline's set: forgotten.
    inStore([&] {
        auto event = context->existingObjectWithID(baseline->objectID());
        ASSERT_TRUE(event.ok());
        auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("D", 3, *context);
        record->setObject(*event, "storeModificationEventForOtherStores");
    });
    save();
    EXPECT_FALSE(checkKeptFacts("baseline's set grew"));
    gather();

    // The baseline replaced.
    inStore([&] {
        auto event = context->existingObjectWithID(baseline->objectID());
        ASSERT_TRUE(event.ok());
        context->deleteObject(*event);
        write.event("base2", SYNStoreModificationEventTypeBaseline, 0, {"B", 1});
    });
    save();
    EXPECT_FALSE(checkKeptFacts("baseline replaced"));
    gather();
    EXPECT_TRUE(checkKeptFacts("new baseline read"));

    // Another context's save, even of nothing the facts hold: forgotten.
    saveElsewhere("elsewhere");
    EXPECT_FALSE(checkKeptFacts("another context"));
    gather();
    EXPECT_TRUE(checkKeptFacts("after another context"));

    // Another local store: the facts were the old one's.
    tallies->keepHighestRevision("another store", 0, tallies->generation());
    EXPECT_FALSE(tallies->facts(local()).value);
    gather();
    EXPECT_TRUE(checkKeptFacts("local store again"));
}

// Saves of every kind at random; after each, whatever the tallies keep is
// the store's, and the checks of a merge choose the same events and find
// the same ones integrable as checks that read everything.
TEST_F(SYNKeptFactsTest, RandomSavesKeepWhatAFreshReadGives) {
    std::mt19937 random(14800);
    EventWriter write(*context);
    int64_t count = 1;
    std::map<std::string, int64_t> next;
    const std::vector<std::string> stores{local(), "B", "C"};
    int keptSteps = 0;
    for (int step = 0; step < 160; ++step) {
        const std::string name = "e" + std::to_string(step);
        const int kind = static_cast<int>(random() % 12);
        auto events = completeAndBaselineEvents();
        auto pick = [&]() -> ManagedObjectPtr {
            return events.empty() ? nullptr : events[random() % events.size()];
        };
        if (kind == 11) {
            saveElsewhere(name);
        } else {
            inStore([&] {
                if (kind <= 3) {  // a complete event of some store
                    const std::string& storeID = stores[random() % stores.size()];
                    const int16_t type =
                        random() % 2 ? SYNStoreModificationEventTypeSave : SYNStoreModificationEventTypeMerge;
                    SYNRevisionSet others;
                    for (const auto& other : stores) {
                        if (other != storeID && next[other] > 0 && random() % 2) {
                            others.addRevision({other, static_cast<int64_t>(random() % next[other])});
                        }
                    }
                    // Numbers repeat now and then.
                    const int64_t number =
                        random() % 5 == 0 ? std::max<int64_t>(0, next[storeID] - 1) : next[storeID]++;
                    write.event(name, type, ++count, {storeID, number}, others);
                } else if (kind == 4) {  // incomplete, finished by a later save of kind 5
                    write.event(name, SYNStoreModificationEventTypeIncomplete, 0, {local(), next[local()]++});
                } else if (kind == 5) {  // finish or retype an event
                    auto all = allEvents();
                    if (!all.empty()) {
                        auto event = all[random() % all.size()];
                        const int16_t types[] = {SYNStoreModificationEventTypeSave,
                                                 SYNStoreModificationEventTypeMerge,
                                                 SYNStoreModificationEventTypeIncomplete};
                        event->setValue(plat::Value(int64_t{types[random() % 3]}), "type");
                        event->setValue(plat::Value(++count), "globalCount");
                    }
                } else if (kind == 6) {  // renumber an own revision
                    if (auto event = pick()) {
                        if (auto record = event->objectForKey("eventRevision")) {
                            record->setValue(plat::Value(static_cast<int64_t>(random() % 12)),
                                             "revisionNumber");
                        }
                    }
                } else if (kind == 7) {  // delete an event
                    if (auto event = pick()) {
                        context->deleteObject(event);
                    }
                } else if (kind == 8) {  // a baseline made, or the one there deleted
                    bool deleted = false;
                    for (const auto& event : events) {
                        if (SYNStoreModificationEvent::type(*event) ==
                                SYNStoreModificationEventTypeBaseline &&
                            random() % 2) {
                            context->deleteObject(event);
                            deleted = true;
                        }
                    }
                    if (!deleted) {
                        write.event(name, SYNStoreModificationEventTypeBaseline, 0, {"B", next["B"]},
                                    revisions({{"C", next["C"]}}));
                    }
                } else if (kind == 9) {  // a revision of another store added to an event
                    if (auto event = pick()) {
                        auto record =
                            SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("C", 9, *context);
                        record->setObject(event, "storeModificationEventForOtherStores");
                    }
                } else {  // an own revision moved to another event
                    auto from = pick();
                    auto to = pick();
                    if (from && to && from != to) {
                        if (auto record = from->objectForKey("eventRevision")) {
                            auto replaced = to->objectForKey("eventRevision");
                            to->setObject(record, "eventRevision");
                            if (replaced) {
                                context->deleteObject(replaced);
                            }
                        }
                    }
                }
                // Now and then the context is reset before the save's
                // objects are written: their revisions are faults then.
                ASSERT_EQ(context->save(), nullptr);
                if (random() % 3 == 0) {
                    context->reset();
                }
            });
        }
        if (checkKeptFacts(name)) {
            ++keptSteps;
        }
        // The checks of a merge with the facts kept (gathered now if not)
        // against checks that read everything.
        if (step % 4 == 0) {
            SYNRevisionManager sharing(store);
            sharing.setSharesEventFetches(true);
            auto abandoned = sharing.checkThatLocalPersistentStoreHasNotBeenAbandoned();
            auto uncommitted = sharing.fetchUncommittedStoreModificationEvents();
            SYNRevisionManager reading(store);
            auto readUncommitted = reading.fetchUncommittedStoreModificationEvents();
            ASSERT_TRUE(abandoned.ok() && uncommitted.ok() && readUncommitted.ok());
            EXPECT_EQ(*uncommitted, *readUncommitted) << name;
            auto widened = sharing.recursivelyFetchStoreModificationEventsConcurrentWithEvents(*uncommitted);
            auto readWidened =
                reading.recursivelyFetchStoreModificationEventsConcurrentWithEvents(*uncommitted);
            ASSERT_TRUE(widened.ok() && readWidened.ok());
            EXPECT_EQ(*widened, *readWidened) << name;
            std::set<int64_t> codes;
            auto integrable = inStore([&] { return sharing.integrableEventsFromEvents(*widened, codes); });
            const bool wasKept = store->eventTallies()->facts(local()).value.has_value();
            const auto baseline = sharing.currentBaselineIdentifier();
            // A save of nothing the checks read makes the tallies forget:
            // the next checks read the store.
            saveElsewhere(name + "-reference");
            ASSERT_FALSE(store->eventTallies()->facts(local()).value);
            SYNRevisionManager fresh(store);
            fresh.setSharesEventFetches(true);
            auto freshAbandoned = fresh.checkThatLocalPersistentStoreHasNotBeenAbandoned();
            std::set<int64_t> freshCodes;
            auto freshIntegrable =
                inStore([&] { return fresh.integrableEventsFromEvents(*widened, freshCodes); });
            ASSERT_TRUE(integrable.ok() && freshAbandoned.ok() && freshIntegrable.ok());
            EXPECT_EQ(*abandoned, *freshAbandoned) << name;
            EXPECT_EQ(*integrable, *freshIntegrable) << name;
            EXPECT_EQ(codes, freshCodes) << name;
            EXPECT_EQ(baseline, store->currentBaselineIdentifier()) << name;
            EXPECT_TRUE(wasKept) << name;
        } else if (random() % 2) {
            gather();
        }
    }
    // Most steps kept the facts along: the test followed saves, not reads.
    EXPECT_GT(keptSteps, 60);
}

}  // namespace
// Saves that name many events at once, in no order of their keys: inserted
// together, retyped and renumbered together, their own revisions swapped
// between events in one save. What is kept after each is the store's; two
// records naming one event as their own revision are not followed.
TEST_F(SYNKeptFactsTest, SavesOfManyEventsAtOnceKeepWhatAFreshReadGives) {
    std::mt19937 random(15602);
    EventWriter write(*context);
    auto save = [&] { ASSERT_EQ(inStore([&] { return context->save(); }), nullptr); };
    gather();
    int64_t count = 0;
    const std::vector<std::string> stores{local(), "B", "C"};
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        // Many events in one save, of several stores and types.
        inStore([&] {
            for (int i = 0; i < 24; ++i) {
                const std::string& storeID = stores[random() % stores.size()];
                const int16_t type =
                    random() % 2 ? SYNStoreModificationEventTypeSave : SYNStoreModificationEventTypeMerge;
                write.event("r" + std::to_string(round) + "e" + std::to_string(i), type, ++count,
                            {storeID, static_cast<int64_t>(random() % 9)});
            }
        });
        save();
        EXPECT_TRUE(checkKeptFacts("inserted together"));
        auto events = completeAndBaselineEvents();
        ASSERT_GE(events.size(), 24u);
        // Retyped and renumbered together.
        inStore([&] {
            for (int i = 0; i < 10; ++i) {
                auto& event = events[random() % events.size()];
                if (random() % 2) {
                    event->setValue(plat::Value(int64_t{random() % 2 ? SYNStoreModificationEventTypeSave
                                                                     : SYNStoreModificationEventTypeMerge}),
                                    "type");
                } else if (auto record = event->objectForKey("eventRevision")) {
                    record->setValue(plat::Value(static_cast<int64_t>(random() % 9)), "revisionNumber");
                }
            }
        });
        save();
        EXPECT_TRUE(checkKeptFacts("changed together"));
        // Own revisions swapped between pairs of events in one save.
        events = completeAndBaselineEvents();
        inStore([&] {
            for (int i = 0; i < 4; ++i) {
                auto& a = events[random() % events.size()];
                auto& b = events[random() % events.size()];
                if (a == b) {
                    continue;
                }
                auto first = a->objectForKey("eventRevision");
                auto second = b->objectForKey("eventRevision");
                a->setObject(nullptr, "eventRevision");
                b->setObject(first, "eventRevision");
                a->setObject(second, "eventRevision");
            }
        });
        save();
        EXPECT_TRUE(checkKeptFacts("swapped"));
    }
    // Two records naming one event as their own revision (links set on the
    // records' side only): not followed, read again.
    const auto all = completeAndBaselineEvents();
    inStore([&] {
        const auto& event = all.front();
        for (const char* storeID : {"D", "E"}) {
            auto record =
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(storeID, 1, *context);
            record->setPrimitiveValue(plat::Value(event), "storeModificationEvent");
        }
    });
    save();
    EXPECT_FALSE(checkKeptFacts("two own revisions"));
}

}  // namespace eventstoretest
