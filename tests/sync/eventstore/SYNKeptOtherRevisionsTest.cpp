// The revisions of other stores of an event, as the event store's tallies
// keep them for the events followed saves inserted and for the kept latest
// local merge: whenever they answer, the answer must be what a fresh read of
// the store on disk gives, whichever writer saved last.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

namespace eventstoretest {
namespace {

using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

class SYNKeptOtherRevisionsTest : public EventStoreTest {
  protected:
    std::string local() const { return *store->persistentStoreIdentifier(); }

    std::shared_ptr<ManagedObjectContext> freshContext() {
        auto fresh = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        fresh->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
        return fresh;
    }

    // Every event's revisions of other stores, read by a context of its own.
    std::map<int64_t, std::pair<ManagedObjectIDPtr, SYNRevisionSet>> readReference() {
        std::map<int64_t, std::pair<ManagedObjectIDPtr, SYNRevisionSet>> reference;
        auto fresh = freshContext();
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, *fresh);
        EXPECT_TRUE(events.ok());
        for (const auto& event : events.ok() ? *events : SYNManagedObjects()) {
            reference[event->objectID()->primaryKey()] = {
                event->objectID(), SYNStoreModificationEvent::revisionSetOfOtherStores(*event)};
        }
        return reference;
    }

    // The events the kept revisions answer for; each answer checked against
    // the store's.
    int checkKept(const std::string& step) {
        SCOPED_TRACE(step);
        const auto reference = readReference();
        int answered = 0;
        inStore([&] {
            for (const auto& [key, read] : reference) {
                const auto& [id, others] = read;
                if (auto kept = SYNRevisionManager::keptRevisionsOfOtherStores(*store, *context, *id)) {
                    EXPECT_EQ(*kept, others) << "event " << key;
                    ++answered;
                }
            }
        });
        return answered;
    }

    // The tallies keep the latest local merge and its revisions, read from
    // the store, as the event builder has them kept.
    void keepLatestMerge() {
        auto tallies = store->eventTallies();
        const auto generation = tallies->generation();
        auto fresh = freshContext();
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeMerge}, std::nullopt, *fresh);
        ASSERT_TRUE(events.ok());
        ManagedObjectPtr latest;
        int64_t number = 0;
        for (const auto& event : *events) {
            auto own = SYNStoreModificationEvent::revision(*event);
            if (!own || own->persistentStoreIdentifier != local()) {
                continue;
            }
            if (!latest || own->revisionNumber > number ||
                (own->revisionNumber == number &&
                 event->objectID()->primaryKey() < latest->objectID()->primaryKey())) {
                latest = event;
                number = own->revisionNumber;
            }
        }
        SYNEventTallies::LatestMerge merge;
        if (latest) {
            merge = {latest->objectID(), number,
                     SYNStoreModificationEvent::revisionSetOfOtherStores(*latest)};
        }
        tallies->keepLatestMerge(local(), std::move(merge), generation);
    }
};

// Inserted events are answered for, with every record their save linked to
// them (two of one store give the higher number); a later save that adds,
// renumbers, moves or deletes a record, or deletes the event, takes the
// answer away, as does another context's save; only the latest few inserted
// events are kept.
TEST_F(SYNKeptOtherRevisionsTest, InsertedEventsAreAnsweredUntilASaveMayChangeThem) {
    EventWriter write(*context);
    auto save = [&] { ASSERT_EQ(inStore([&] { return context->save(); }), nullptr); };
    ManagedObjectPtr first, second, bare;
    inStore([&] {
        first = write.event("first", SYNStoreModificationEventTypeSave, 1, {local(), 0},
                            revisions({{"B", 3}, {"C", 1}}));
        auto again = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("B", 5, *context);
        again->setObject(first, "storeModificationEventForOtherStores");
        second =
            write.event("second", SYNStoreModificationEventTypeMerge, 2, {local(), 1}, revisions({{"B", 2}}));
        bare = write.event("bare", SYNStoreModificationEventTypeIncomplete, 0, {local(), 2});
    });
    save();
    EXPECT_EQ(checkKept("inserted"), 3);
    inStore([&] {
        auto kept = SYNRevisionManager::keptRevisionsOfOtherStores(*store, *context, *first->objectID());
        ASSERT_TRUE(kept);
        EXPECT_EQ(*kept, revisions({{"B", 5}, {"C", 1}}));
        kept = SYNRevisionManager::keptRevisionsOfOtherStores(*store, *context, *bare->objectID());
        ASSERT_TRUE(kept);
        EXPECT_TRUE(kept->revisions().empty());
    });

    // An event updated keeps its answer; one given a record of another
    // store loses it.
    inStore([&] {
        bare->setValue(plat::Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
        auto added = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("D", 4, *context);
        added->setObject(second, "storeModificationEventForOtherStores");
    });
    save();
    EXPECT_EQ(checkKept("updated and added to"), 2);

    // Unsaved events or records in the context, or a child context: no
    // answer.
    inStore([&] {
        auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("E", 1, *context);
        EXPECT_FALSE(SYNRevisionManager::keptRevisionsOfOtherStores(*store, *context, *first->objectID()));
        context->deleteObject(record);
        context->processPendingChanges();
        auto child = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        child->setParentContext(context);
        EXPECT_FALSE(SYNRevisionManager::keptRevisionsOfOtherStores(*store, *child, *first->objectID()));
    });

    // A record renumbered: whose it is is not looked for, every answer goes.
    inStore([&] {
        first->objectsForKey("eventRevisionsOfOtherStores")
            .front()
            ->setValue(plat::Value(int64_t{9}), "revisionNumber");
    });
    save();
    EXPECT_EQ(checkKept("renumbered"), 0);

    // Inserted again; then another context's save.
    inStore([&] {
        write.event("third", SYNStoreModificationEventTypeSave, 3, {"B", 7},
                    revisions({{local().c_str(), 1}}));
    });
    save();
    EXPECT_EQ(checkKept("third"), 1);
    auto other = freshContext();
    EventWriter(*other).event("elsewhere", SYNStoreModificationEventTypeSave, 4, {"C", 2});
    ASSERT_EQ(other->save(), nullptr);
    EXPECT_EQ(checkKept("another context"), 0);

    // Many events inserted one save after another: the latest are kept.
    for (int i = 0; i < 12; ++i) {
        inStore([&] {
            write.event("many" + std::to_string(i), SYNStoreModificationEventTypeSave, 10 + i, {"B", 10 + i},
                        revisions({{"C", i}}));
        });
        save();
    }
    EXPECT_EQ(checkKept("many"), 8);

    // An event deleted with its records: every answer goes.
    inStore([&] {
        auto events = allEvents();
        context->deleteObject(events.back());
    });
    save();
    EXPECT_EQ(checkKept("deleted"), 0);

    // The latest local merge kept with its revisions is answered for.
    keepLatestMerge();
    EXPECT_EQ(checkKept("latest merge"), 1);
}

// Saves of every kind at random, by the event store's context, another
// context and a child of it; whatever is answered after each is the store's.
TEST_F(SYNKeptOtherRevisionsTest, RandomSavesBySeveralWritersAnswerAsAFreshRead) {
    std::mt19937 random(23107);
    EventWriter write(*context);
    const std::vector<std::string> stores{local(), "B", "C", "D"};
    int64_t count = 0;
    int answered = 0;
    auto othersAtRandom = [&](const std::string& own) {
        SYNRevisionSet others;
        for (const auto& store : stores) {
            if (store != own && random() % 2) {
                others.addRevision({store, static_cast<int64_t>(random() % 20)});
            }
        }
        return others;
    };
    for (int step = 0; step < 200; ++step) {
        const std::string name = "e" + std::to_string(step);
        const int kind = static_cast<int>(random() % 12);
        auto events = allEvents();
        auto pick = [&]() -> ManagedObjectPtr {
            return events.empty() ? nullptr : events[random() % events.size()];
        };
        if (kind == 10) {
            // Another writer over the same coordinator.
            auto other = freshContext();
            const std::string& storeID = stores[random() % stores.size()];
            ++count;
            EventWriter(*other).event(name, SYNStoreModificationEventTypeSave, count, {storeID, count},
                                      othersAtRandom(storeID));
            ASSERT_EQ(other->save(), nullptr);
        } else {
            inStore([&] {
                if (kind <= 3) {  // one to three events inserted together
                    const int made = 1 + static_cast<int>(random() % 3);
                    for (int i = 0; i < made; ++i) {
                        const std::string& storeID = stores[random() % stores.size()];
                        const int16_t types[] = {SYNStoreModificationEventTypeSave,
                                                 SYNStoreModificationEventTypeMerge,
                                                 SYNStoreModificationEventTypeIncomplete};
                        ++count;
                        auto event = write.event(name + "-" + std::to_string(i), types[random() % 3], count,
                                                 {storeID, count}, othersAtRandom(storeID));
                        if (random() % 4 == 0) {  // a second record of a store
                            auto again = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                stores[random() % stores.size()], static_cast<int64_t>(random() % 20),
                                *context);
                            again->setObject(event, "storeModificationEventForOtherStores");
                        }
                    }
                } else if (kind == 4) {  // a record of another store added
                    if (auto event = pick()) {
                        auto record = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                            stores[random() % stores.size()], static_cast<int64_t>(random() % 20), *context);
                        record->setObject(event, "storeModificationEventForOtherStores");
                    }
                } else if (kind == 5) {  // a record renumbered
                    if (auto event = pick()) {
                        auto records = event->objectsForKey("eventRevisionsOfOtherStores");
                        if (!records.empty()) {
                            records[random() % records.size()]->setValue(
                                plat::Value(static_cast<int64_t>(random() % 20)), "revisionNumber");
                        }
                    }
                } else if (kind == 6) {  // a record moved to another event
                    auto from = pick();
                    auto to = pick();
                    if (from && to && from != to) {
                        auto records = from->objectsForKey("eventRevisionsOfOtherStores");
                        if (!records.empty()) {
                            records.front()->setObject(to, "storeModificationEventForOtherStores");
                        }
                    }
                } else if (kind == 7) {  // an event deleted
                    if (auto event = pick()) {
                        context->deleteObject(event);
                    }
                } else if (kind == 8) {  // a record deleted
                    if (auto event = pick()) {
                        auto records = event->objectsForKey("eventRevisionsOfOtherStores");
                        if (!records.empty()) {
                            context->deleteObject(records.back());
                        }
                    }
                } else if (kind == 9) {  // an event's revisions replaced, or the event retyped
                    if (auto event = pick()) {
                        if (random() % 2) {
                            SYNStoreModificationEvent::setRevisionSetOfOtherStores(*event,
                                                                                   othersAtRandom(""));
                        } else {
                            event->setValue(plat::Value(int64_t{SYNStoreModificationEventTypeMerge}), "type");
                        }
                    }
                } else {  // an event made in a child context, saved through it
                    auto child = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
                    child->setParentContext(context);
                    const std::string& storeID = stores[random() % stores.size()];
                    ++count;
                    EventWriter(*child).event(name, SYNStoreModificationEventTypeSave, count,
                                              {storeID, count}, othersAtRandom(storeID));
                    ASSERT_EQ(child->save(), nullptr);
                }
                ASSERT_EQ(context->save(), nullptr);
                if (random() % 3 == 0) {
                    context->reset();
                }
            });
        }
        if (step % 5 == 0) {
            keepLatestMerge();
        }
        answered += checkKept(name);
    }
    // Most steps answered for some events: the test followed saves.
    EXPECT_GT(answered, 200);
}

}  // namespace
}  // namespace eventstoretest
