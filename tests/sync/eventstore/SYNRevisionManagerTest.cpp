#include "sync/eventstore/SYNRevisionManager.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>

#include "EventStoreFixture.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace eventstoretest {
namespace {

using plat::coredata::ManagedObjectPtr;

class SYNRevisionManagerTest : public EventStoreTest {
  protected:
    void SetUp() override {
        EventStoreTest::SetUp();
        local = *store->persistentStoreIdentifier();
    }

    std::vector<std::string> identifiers(const SYNManagedObjects& events) {
        return inStore([&] {
            std::vector<std::string> ids;
            for (const auto& event : events) {
                ids.push_back(SYNStoreModificationEvent::uniqueIdentifier(*event));
            }
            return ids;
        });
    }

    std::vector<std::string> uncommitted() {
        auto events = manager.fetchUncommittedStoreModificationEvents();
        EXPECT_TRUE(events.ok());
        return events.ok() ? identifiers(*events) : std::vector<std::string>();
    }

    std::string local;
    SYNRevisionManager manager{nullptr};
};

TEST_F(SYNRevisionManagerTest, UncommittedEventsAreThoseTheLatestMergeOrTheBaselineDoesNotCover) {
    manager = SYNRevisionManager(store);
    EventWriter write(*context);
    inStore([&] {
        write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"B", 0},
                    revisions({{local.c_str(), 0}}));
        write.event("B1", SYNStoreModificationEventTypeSave, 2, {"B", 1});
        write.event("L1", SYNStoreModificationEventTypeSave, 1, {local, 1});
        write.event("building", SYNStoreModificationEventTypeIncomplete, 0, {local, 9});
    });
    EXPECT_EQ(uncommitted(), (std::vector<std::string>{"L1", "B1"}));

    inStore([&] {
        write.event("L2", SYNStoreModificationEventTypeMerge, 3, {local, 2}, revisions({{"B", 1}}));
        write.event("B2", SYNStoreModificationEventTypeSave, 4, {"B", 2});
        write.event("L3", SYNStoreModificationEventTypeSave, 5, {local, 3}, revisions({{"B", 1}}));
        // A store the last merge knew nothing of.
        write.event("C0", SYNStoreModificationEventTypeSave, 1, {"C", 0});
    });
    EXPECT_EQ(uncommitted(), (std::vector<std::string>{"C0", "B2", "L3"}));
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    EXPECT_EQ(uncommitted(), (std::vector<std::string>{"C0", "B2", "L3"}));
}

// The event of a store's revision, of the allowed types: found by its own
// revision only (a record of the same store and number in another event's
// revisions of other stores is not it), saved or not.
TEST_F(SYNRevisionManagerTest, TheEventOfARevisionIsFoundByItsOwnRevisionAndType) {
    EventWriter write(*context);
    auto find = [&](const std::string& storeID, int64_t number, std::vector<int16_t> types) {
        return inStore([&]() -> std::string {
            auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(
                types, storeID, number, *context);
            EXPECT_TRUE(event.ok());
            return event.ok() && *event ? SYNStoreModificationEvent::uniqueIdentifier(**event) : "none";
        });
    };
    const std::vector<int16_t> saveOrMerge{SYNStoreModificationEventTypeSave,
                                           SYNStoreModificationEventTypeMerge};
    inStore([&] {
        write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"B", 3},
                    revisions({{local.c_str(), 0}}));
        write.event("L1", SYNStoreModificationEventTypeSave, 1, {local, 1}, revisions({{"B", 2}}));
        write.event("M2", SYNStoreModificationEventTypeMerge, 2, {local, 2}, revisions({{"B", 3}}));
    });
    for (int saved = 0; saved < 2; ++saved) {
        SCOPED_TRACE(saved ? "saved" : "unsaved");
        EXPECT_EQ(find(local, 1, saveOrMerge), "L1");
        EXPECT_EQ(find(local, 2, saveOrMerge), "M2");
        EXPECT_EQ(find(local, 2, {SYNStoreModificationEventTypeSave}), "none");
        EXPECT_EQ(find(local, 3, saveOrMerge), "none");
        // B 2 is only among L1's revisions of other stores; B 3 is the
        // baseline's own, of a type not asked for.
        EXPECT_EQ(find("B", 2, saveOrMerge), "none");
        EXPECT_EQ(find("B", 3, saveOrMerge), "none");
        EXPECT_EQ(find("B", 3, {SYNStoreModificationEventTypeBaseline}), "base");
        ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    }
}

// Several events owning records of one revision: the last in event order
// of the allowed types; one deleted in the context (saved or not) is no
// longer found, and an event of another type never is.
TEST_F(SYNRevisionManagerTest, OfSeveralEventsOfOneRevisionTheLastOfTheTypesIsFound) {
    EventWriter write(*context);
    auto find = [&](std::vector<int16_t> types) {
        return inStore([&]() -> std::string {
            auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(types, local,
                                                                                                5, *context);
            EXPECT_TRUE(event.ok());
            return event.ok() && *event ? SYNStoreModificationEvent::uniqueIdentifier(**event) : "none";
        });
    };
    const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave};
    ManagedObjectPtr later;
    inStore([&] {
        write.event("D1", SYNStoreModificationEventTypeSave, 5, {local, 5});
        later = write.event("D2", SYNStoreModificationEventTypeSave, 6, {local, 5});
        write.event("D3", SYNStoreModificationEventTypeIncomplete, 7, {local, 5});
        write.event("other", SYNStoreModificationEventTypeSave, 8, {local, 6});
    });
    EXPECT_EQ(find(saves), "D2");
    EXPECT_EQ(find({SYNStoreModificationEventTypeIncomplete}), "D3");
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    inStore([&] { context->reset(); });
    EXPECT_EQ(find(saves), "D2");

    inStore([&] { context->deleteObject(*context->existingObjectWithID(later->objectID())); });
    EXPECT_EQ(find(saves), "D1");
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    EXPECT_EQ(find(saves), "D1");
    EXPECT_EQ(find({SYNStoreModificationEventTypeMerge}), "none");
}

TEST_F(SYNRevisionManagerTest, ConcurrencyWidensUntilNothingIsAdded) {
    manager = SYNRevisionManager(store);
    EventWriter write(*context);
    std::map<std::string, ManagedObjectPtr> events;
    inStore([&] {
        events["A0"] = write.event("A0", SYNStoreModificationEventTypeSave, 1, {"A", 0});
        events["B0"] = write.event("B0", SYNStoreModificationEventTypeSave, 2, {"B", 0});
        events["C0"] =
            write.event("C0", SYNStoreModificationEventTypeSave, 3, {"C", 0}, revisions({{"B", 0}}));
        events["D0"] = write.event("D0", SYNStoreModificationEventTypeMerge, 4, {"D", 0},
                                   revisions({{"A", 0}, {"B", 0}, {"C", 0}}));
        events["A1"] = write.event("A1", SYNStoreModificationEventTypeSave, 5, {"A", 1},
                                   revisions({{"B", 0}, {"C", 0}, {"D", 0}}));
    });
    auto widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents({events["A0"]});
    ASSERT_TRUE(widened.ok());
    // A0 || B0 and A0 || C0 (C0 saw B0 only); D0 saw all of them.
    EXPECT_EQ(identifiers(*widened), (std::vector<std::string>{"A0", "B0", "C0"}));
    widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents({events["D0"]});
    EXPECT_EQ(identifiers(*widened), (std::vector<std::string>{"D0"}));
    widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents({events["A1"]});
    EXPECT_EQ(identifiers(*widened), (std::vector<std::string>{"A1"}));
}

// The reference the indexed look-ups must agree with: every complete save and
// merge event loaded and filtered in memory.
struct InMemoryReference {
    SYNManagedObjects all;
    SYNRevisionSet committed;
    // Abandoned: a baseline and a local merge exist, and the baseline lacks
    // the local store or claims more of it than its events hold.
    bool abandoned = false;

    InMemoryReference(plat::coredata::ManagedObjectContext& context, const std::string& local) {
        all = *SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(context);
        ManagedObjectPtr latest;
        auto number = [](const ManagedObjectPtr& e) {
            auto revision = SYNStoreModificationEvent::revision(*e);
            return revision ? revision->revisionNumber : -1;
        };
        for (const auto& event : all) {
            if (SYNStoreModificationEvent::type(*event) == SYNStoreModificationEventTypeMerge &&
                SYNStoreModificationEvent::storeIdentifier(*event) == local &&
                (!latest || number(event) > number(latest))) {
                latest = event;
            }
        }
        auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
        committed = latest     ? SYNStoreModificationEvent::revisionSet(*latest)
                    : baseline ? SYNStoreModificationEvent::revisionSet(*baseline)
                               : SYNRevisionSet();
        if (baseline && latest) {
            int64_t highest = -1;
            for (const auto& event : all) {
                if (SYNStoreModificationEvent::storeIdentifier(*event) == local) {
                    highest = std::max(highest, number(event));
                }
            }
            auto claimed = SYNStoreModificationEvent::revisionSet(*baseline).revisionNumberForStore(local);
            abandoned = !claimed || *claimed > highest;
        }
    }

    SYNManagedObjects uncommitted() const {
        SYNManagedObjects found;
        for (const auto& event : all) {
            auto revision = SYNStoreModificationEvent::revision(*event);
            if (!revision || !committed.covers(*revision)) {
                found.push_back(event);
            }
        }
        return found;
    }

    SYNManagedObjects concurrentWith(const SYNManagedObjects& events) const {
        auto concurrent = [](const ManagedObjectPtr& a, const ManagedObjectPtr& b) {
            auto ra = SYNStoreModificationEvent::revision(*a), rb = SYNStoreModificationEvent::revision(*b);
            return ra && rb && ra->persistentStoreIdentifier != rb->persistentStoreIdentifier &&
                   !SYNStoreModificationEvent::revisionSet(*a).covers(*rb) &&
                   !SYNStoreModificationEvent::revisionSet(*b).covers(*ra);
        };
        SYNManagedObjects chosen = events;
        for (bool grew = true; grew;) {
            grew = false;
            for (const auto& candidate : all) {
                if (std::find(chosen.begin(), chosen.end(), candidate) == chosen.end() &&
                    std::any_of(chosen.begin(), chosen.end(),
                                [&](const ManagedObjectPtr& k) { return concurrent(k, candidate); })) {
                    chosen.push_back(candidate);
                    grew = true;
                }
            }
        }
        SYNStoreModificationEvent::sortInEventOrder(chosen);
        return chosen;
    }
};

TEST_F(SYNRevisionManagerTest, IndexedLookUpsAgreeWithTheInMemoryFilterOnRandomEventSets) {
    manager = SYNRevisionManager(store);
    struct Case {
        unsigned seed;
        int stores;  // besides the local one
        int events;
        int gapPercent;  // revision numbers skipped
        bool baseline;
        int localMergePercent;
        bool saved;  // compared after a save and reset, else with the events unsaved
    };
    const std::vector<Case> cases = {
        {1, 1, 30, 0, false, 0, true},    {2, 3, 120, 10, true, 0, true}, {3, 3, 120, 10, true, 15, true},
        {4, 5, 200, 30, false, 10, true}, {5, 2, 80, 0, true, 25, false}, {6, 4, 150, 20, true, 10, false},
        {7, 6, 250, 5, false, 5, true},   {8, 0, 40, 10, true, 30, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        std::mt19937 random(c.seed);
        auto percent = [&](int p) { return static_cast<int>(random() % 100) < p; };
        std::vector<std::string> stores{local};
        for (int s = 0; s < c.stores; ++s) {
            stores.push_back("S" + std::to_string(c.seed) + "-" + std::to_string(s));
        }
        std::map<std::string, int64_t> next;
        inStore([&] {
            // Start from an empty event store each case.
            ASSERT_TRUE(deleteAllEvents());
            ASSERT_EQ(context->save(), nullptr);
            EventWriter write(*context);
            auto someSet = [&](const std::string& own) {
                SYNRevisionSet set;
                for (const auto& storeID : stores) {
                    if (storeID != own && next[storeID] > 0 && percent(70)) {
                        set.setRevisionNumber(storeID, static_cast<int64_t>(random() % next[storeID]));
                    }
                }
                return set;
            };
            if (c.baseline) {
                SYNRevisionSet set = someSet("");
                for (const auto& storeID : stores) {
                    if (percent(50)) {
                        set.setRevisionNumber(storeID, random() % 20);
                    }
                }
                write.event("base", SYNStoreModificationEventTypeBaseline, 0, {stores.back(), 0}, set);
            }
            for (int i = 0; i < c.events; ++i) {
                const std::string& storeID = stores[random() % stores.size()];
                int64_t number = next[storeID]++;
                if (percent(c.gapPercent)) {
                    number = next[storeID]++;
                }
                int16_t type = SYNStoreModificationEventTypeSave;
                if (storeID == local ? percent(c.localMergePercent) : percent(10)) {
                    type = SYNStoreModificationEventTypeMerge;
                } else if (percent(3)) {
                    type = SYNStoreModificationEventTypeIncomplete;
                }
                auto event = write.event("e" + std::to_string(i), type, static_cast<int64_t>(random() % 50),
                                         {storeID, number}, someSet(storeID));
                event->setValue(plat::Value(static_cast<double>(i)), "timestamp");
                if (percent(2)) {
                    event->setObject(nullptr, "eventRevision");  // no own revision
                }
            }
            if (c.saved) {
                ASSERT_EQ(context->save(), nullptr);
                context->reset();
            }
        });
        auto reference = inStore([&] { return InMemoryReference(*context, local); });
        // A manager that reads the events once and filters them for every
        // later question must answer exactly as the one that fetches each time.
        SYNRevisionManager sharing(store);
        sharing.setSharesEventFetches(true);
        auto abandoned = manager.checkThatLocalPersistentStoreHasNotBeenAbandoned();
        auto sharedAbandoned = sharing.checkThatLocalPersistentStoreHasNotBeenAbandoned();
        ASSERT_TRUE(abandoned.ok() && sharedAbandoned.ok());
        EXPECT_EQ(!*abandoned, reference.abandoned);
        EXPECT_EQ(*abandoned, *sharedAbandoned);
        auto found = manager.fetchUncommittedStoreModificationEvents();
        ASSERT_TRUE(found.ok());
        EXPECT_EQ(identifiers(*found), identifiers(reference.uncommitted()));
        auto sharedFound = sharing.fetchUncommittedStoreModificationEvents();
        ASSERT_TRUE(sharedFound.ok());
        EXPECT_EQ(*sharedFound, *found);

        for (int probe = 0; probe < 4 && !reference.all.empty(); ++probe) {
            SYNManagedObjects inputs{reference.all[random() % reference.all.size()]};
            if (probe % 2) {
                inputs.push_back(reference.all[random() % reference.all.size()]);
            }
            auto widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents(inputs);
            ASSERT_TRUE(widened.ok());
            auto expected = inStore([&] { return reference.concurrentWith(inputs); });
            EXPECT_EQ(identifiers(*widened), identifiers(expected));
            auto sharedWidened = sharing.recursivelyFetchStoreModificationEventsConcurrentWithEvents(inputs);
            ASSERT_TRUE(sharedWidened.ok());
            EXPECT_EQ(*sharedWidened, *widened);
        }
        std::set<int64_t> codes, sharedCodes;
        auto integrable = manager.integrableEventsFromEvents(*found, codes);
        auto sharedIntegrable = sharing.integrableEventsFromEvents(*found, sharedCodes);
        ASSERT_TRUE(integrable.ok() && sharedIntegrable.ok());
        EXPECT_EQ(*sharedIntegrable, *integrable);
        EXPECT_EQ(sharedCodes, codes);
        inStore([&] { context->rollback(); });
    }
}

TEST_F(SYNRevisionManagerTest, IntegrabilityChecksLeaveEventsOutWithTheirCodes) {
    auto model = makeApplicationModel();
    ASSERT_EQ(model->finalize(), nullptr);
    auto json = plat::JSONSerialization::dataWithJSONObject(model->JSONRepresentation());
    ASSERT_TRUE(json.ok());
    const std::string modelPath = (root / "Model.json").string();
    ASSERT_EQ(plat::FileManager::defaultManager().writeData(*json, modelPath, true), nullptr);
    manager = SYNRevisionManager(store);
    manager.setManagedObjectModelURL(plat::URL::fileURLWithPath(modelPath));
    auto plist = plat::PropertyListSerialization::dataWithPropertyList(
        syn_entityHashesPropertyList(*model), plat::PropertyListSerialization::Format::XML);
    const std::string hashes(reinterpret_cast<const char*>(plist->bytes()), plist->length());
    ASSERT_TRUE(store->storeDataFile(plat::Data::fromString("present")).ok());
    const std::string presentFile = syn_md5Checksum(plat::Data::fromString("present"));

    EventWriter write(*context);
    SYNManagedObjects input = inStore([&] {
        SYNManagedObjects events;
        // The baseline itself passes (a full integration starts from it).
        events.push_back(
            write.event("base", SYNStoreModificationEventTypeBaseline, 0, {"A", 1}, revisions({{"Z", 4}})));
        events.push_back(write.event("held", SYNStoreModificationEventTypeSave, 1, {"A", 0}));
        events.push_back(
            write.event("newer model", SYNStoreModificationEventTypeSave, 2, {"M", 0}, {}, "md5FFFF"));
        events.push_back(write.event("compressed", SYNStoreModificationEventTypeSave, 3, {"A", 2}, {},
                                     syn_compressedModelHash(*model)));
        events.push_back(
            write.event("hash list", SYNStoreModificationEventTypeSave, 4, {"A", 3}, {}, hashes));
        events.push_back(write.event("after a gap", SYNStoreModificationEventTypeSave, 5, {"G", 2}));
        events.push_back(write.event("after that", SYNStoreModificationEventTypeSave, 6, {"G", 3}));
        auto missing = write.event("missing file", SYNStoreModificationEventTypeSave, 7, {"F", 0});
        SYNPropertyChangeValue photo(SYNPropertyChangeTypeAttribute, "photo");
        photo.setFilename("ABSENT");
        write.change(missing, "p1", SYNObjectChangeTypeUpdate, {photo});
        events.push_back(missing);
        events.push_back(write.event("after missing", SYNStoreModificationEventTypeSave, 8, {"F", 1}));
        auto present = write.event("file present", SYNStoreModificationEventTypeSave, 9, {"P", 0});
        photo.setFilename(presentFile);
        write.change(present, "p2", SYNObjectChangeTypeUpdate, {photo});
        events.push_back(present);
        events.push_back(
            write.event("needs Y", SYNStoreModificationEventTypeSave, 10, {"D", 0}, revisions({{"Y", 0}})));
        events.push_back(write.event("needs Z from baseline", SYNStoreModificationEventTypeSave, 11, {"E", 0},
                                     revisions({{"Z", 4}})));
        events.push_back(write.event("needs left-out F", SYNStoreModificationEventTypeSave, 12, {"H", 0},
                                     revisions({{"F", 0}})));
        events.push_back(
            write.event("needs A3", SYNStoreModificationEventTypeSave, 13, {"I", 0}, revisions({{"A", 3}})));
        return events;
    });
    std::set<int64_t> codes;
    auto kept = inStore([&] { return manager.integrableEventsFromEvents(input, codes); });
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ(identifiers(*kept), (std::vector<std::string>{"base", "compressed", "hash list", "file present",
                                                            "needs Z from baseline", "needs A3"}));
    EXPECT_EQ(codes, (std::set<int64_t>{SYNErrorUnknownModelVersion, SYNErrorMissingRevisions,
                                        SYNErrorMissingDependencies, SYNErrorMissingDataFiles}));

    // Each code alone.
    auto codesFor = [&](const char* uid) {
        std::set<int64_t> found;
        inStore([&] {
            for (const auto& event : input) {
                if (SYNStoreModificationEvent::uniqueIdentifier(*event) == uid) {
                    EXPECT_TRUE(manager.integrableEventsFromEvents({event}, found).ok());
                }
            }
        });
        return found;
    };
    EXPECT_EQ(codesFor("newer model"), std::set<int64_t>{SYNErrorUnknownModelVersion});
    EXPECT_EQ(codesFor("after a gap"), std::set<int64_t>{SYNErrorMissingRevisions});
    EXPECT_EQ(codesFor("missing file"), std::set<int64_t>{SYNErrorMissingDataFiles});
    EXPECT_EQ(codesFor("needs Y"), std::set<int64_t>{SYNErrorMissingDependencies});
    EXPECT_TRUE(codesFor("held").empty());
}

TEST_F(SYNRevisionManagerTest, IntegrabilityReportsAnEventStoreThatCannotBeRead) {
    manager = SYNRevisionManager(store);
    EventWriter write(*context);
    SYNManagedObjects input = inStore([&] {
        return SYNManagedObjects{write.event("save", SYNStoreModificationEventTypeSave, 1, {"A", 0})};
    });
    inStore([&] { ASSERT_EQ(context->save(), nullptr); });
    // Another connection takes the tables away, so every fetch fails.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "mesh" / "events.sqlite").c_str(), &db), SQLITE_OK);
    std::vector<std::string> tables;
    sqlite3_exec(
        db, "SELECT name FROM sqlite_master WHERE type = 'table'",
        [](void* out, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
            return 0;
        },
        &tables, nullptr);
    for (const auto& table : tables) {
        EXPECT_EQ(sqlite3_exec(db, ("DROP TABLE \"" + table + "\"").c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    sqlite3_close(db);

    std::set<int64_t> codes;
    auto kept = inStore([&] { return manager.integrableEventsFromEvents(input, codes); });
    EXPECT_FALSE(kept.ok());
    EXPECT_TRUE(codes.empty());
}

TEST_F(SYNRevisionManagerTest, AStoreIsAbandonedWhenTheBaselineNoLongerMatchesItsMerges) {
    manager = SYNRevisionManager(store);
    EventWriter write(*context);
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(false), true);
    ManagedObjectPtr baseline;
    inStore([&] {
        write.event("L3", SYNStoreModificationEventTypeMerge, 3, {local, 3});
        baseline = write.event("base", SYNStoreModificationEventTypeBaseline, 1, {"B", 0});
    });
    // Local merges, and a baseline that never saw the local store.
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(true), false);
    inStore([&] {
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*baseline, revisions({{local.c_str(), 2}}));
    });
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(false), true);
    inStore([&] {
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*baseline, revisions({{local.c_str(), 9}}));
        // An event still being built does not count as one the store holds.
        write.event("building", SYNStoreModificationEventTypeIncomplete, 4, {local, 9});
    });
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(true), false);
    inStore([&] { write.event("L9", SYNStoreModificationEventTypeSave, 5, {local, 9}); });
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(false), true);
    // The same answers from the stored rows.
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(false), true);
    inStore([&] {
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*baseline, revisions({{local.c_str(), 10}}));
    });
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(true), false);
}

// The baseline's identifier a merge compares with the one its store was made
// from: while sharing, from what the checks read (read for them when asked
// first), as the event store reads it; a new baseline is seen once sharing
// starts again or the one read is deleted, and at once without sharing.
TEST_F(SYNRevisionManagerTest, TheBaselineIdentifierIsTheOneTheChecksRead) {
    manager = SYNRevisionManager(store);
    EventWriter write(*context);
    manager.setSharesEventFetches(true);
    EXPECT_EQ(manager.currentBaselineIdentifier(), std::nullopt);
    ManagedObjectPtr first;
    inStore([&] {
        write.event("L1", SYNStoreModificationEventTypeMerge, 1, {local, 1});
        first = write.event("first", SYNStoreModificationEventTypeBaseline, 0, {"B", 0},
                            revisions({{local.c_str(), 1}}));
    });
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    EXPECT_EQ(manager.currentBaselineIdentifier(), std::nullopt);  // read before it came
    manager.setSharesEventFetches(true);
    EXPECT_EQ(manager.currentBaselineIdentifier(), store->currentBaselineIdentifier());
    EXPECT_EQ(manager.currentBaselineIdentifier(), std::optional<std::string>("first"));
    EXPECT_EQ(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().valueOr(false), true);

    inStore([&] {
        context->deleteObject(first);
        write.event("second", SYNStoreModificationEventTypeBaseline, 0, {"B", 1});
    });
    ASSERT_EQ(inStore([&] { return context->save(); }), nullptr);
    // The baseline read is gone: the store is read.
    EXPECT_EQ(manager.currentBaselineIdentifier(), std::optional<std::string>("second"));
    manager.setSharesEventFetches(false);
    inStore([&] { write.event("third", SYNStoreModificationEventTypeBaseline, 0, {"B", 2}); });
    EXPECT_EQ(manager.currentBaselineIdentifier(), store->currentBaselineIdentifier());
}

}  // namespace
}  // namespace eventstoretest
