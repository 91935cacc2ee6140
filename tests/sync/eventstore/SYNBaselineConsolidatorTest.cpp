#include "sync/eventstore/SYNBaselineConsolidator.h"

#include <gtest/gtest.h>

#include <random>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

// What a machine's event store holds of its baselines.
struct BaselineView {
    std::string identifier;
    SYNRevisionSet set;
    int64_t globalCount;
    std::map<std::string, Value> names;  // global identifier -> name value
    bool operator==(const BaselineView&) const = default;
};

class SYNBaselineConsolidatorTest : public EventStoreTest {
  protected:
    struct Machine {
        std::shared_ptr<SYNEventStore> store;
        std::shared_ptr<ManagedObjectContext> context;
    };

    Machine enlist(const std::string& hardware, const std::vector<std::string>& people) {
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(hardware);
        Machine machine{SYNEventStore::create("mesh", (root / hardware).string(), kStoreType), nullptr};
        EXPECT_EQ(machine.store->prepareNewEventStore(), nullptr);
        machine.context = machine.store->managedObjectContext();
        auto app = makeApplication();
        SYNManagedObjects objects;
        for (const auto& name : people) {
            auto person = app.context->insertNewObjectForEntityForName("Person");
            person->setValue(Value(name), "name");
            objects.push_back(person);
        }
        EXPECT_EQ(app.context->save(), nullptr);
        SYNEventBuilder builder(machine.store);
        EXPECT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
        EXPECT_EQ(builder.addChangesForInsertedObjects(objects, true, false, *app.context), nullptr);
        EXPECT_EQ(builder.finalizeNewEvent(), nullptr);
        EXPECT_EQ(builder.saveAndReset(), nullptr);
        return machine;
    }

    // Copies the baselines of one machine into another, as an import would.
    void copyBaselines(const Machine& from, const Machine& to) {
        using Changes = std::vector<
            std::tuple<std::string, std::vector<SYNPropertyChangeValue>, std::optional<SYNRevision>>>;
        std::vector<std::tuple<std::string, int64_t, SYNRevision, SYNRevisionSet, Changes>> copied;
        from.context->performBlockAndWait([&] {
            auto baselines = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, *from.context);
            for (const auto& baseline : *baselines) {
                Changes changes;
                for (const auto& change : baseline->objectsForKey("objectChanges")) {
                    changes.emplace_back(*SYNObjectChange::globalIdentifierString(*change),
                                         SYNObjectChange::propertyChangeValues(*change),
                                         SYNObjectChange::valuesRevision(*change));
                }
                copied.emplace_back(SYNStoreModificationEvent::uniqueIdentifier(*baseline),
                                    SYNStoreModificationEvent::globalCount(*baseline),
                                    *SYNStoreModificationEvent::revision(*baseline),
                                    SYNStoreModificationEvent::revisionSetOfOtherStores(*baseline), changes);
            }
        });
        to.context->performBlockAndWait([&] {
            EventWriter write(*to.context);
            for (const auto& [uid, count, own, others, changes] : copied) {
                auto event = write.event(uid, SYNStoreModificationEventTypeBaseline, count, own, others);
                for (const auto& [gid, values, revision] : changes) {
                    auto change = write.change(event, gid, SYNObjectChangeTypeInsert, values);
                    SYNObjectChange::setValuesRevision(*change, revision);
                }
            }
            ASSERT_EQ(to.context->save(), nullptr);
        });
    }

    static std::vector<BaselineView> baselines(const Machine& machine) {
        std::vector<BaselineView> views;
        machine.context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *machine.context);
            for (const auto& event : *events) {
                EXPECT_EQ(SYNStoreModificationEvent::type(*event), SYNStoreModificationEventTypeBaseline);
                BaselineView view{SYNStoreModificationEvent::uniqueIdentifier(*event),
                                  SYNStoreModificationEvent::revisionSet(*event),
                                  SYNStoreModificationEvent::globalCount(*event),
                                  {}};
                for (const auto& change : event->objectsForKey("objectChanges")) {
                    EXPECT_EQ(SYNObjectChange::type(*change), SYNObjectChangeTypeInsert);
                    auto values = SYNObjectChange::propertyChangeValues(*change);
                    view.names[*SYNObjectChange::globalIdentifierString(*change)] =
                        *valueNamed(values, "name")->value();
                }
                views.push_back(view);
            }
        });
        return views;
    }

    // Two or more baselines to consolidate, written afresh into the store.
    struct Insert {
        std::string gid;
        std::string name;
        std::optional<SYNRevision> revision;  // nullopt: unrecorded
    };
    struct Input {
        int64_t globalCount;  // event order
        SYNRevision own;
        SYNRevisionSet others;
        std::vector<Insert> inserts;
    };

    // The names the consolidated baseline holds, checked to be the same
    // whichever input hosts the result (the one given the most changes, by
    // filler objects that every input holds alike).
    std::map<std::string, Value> consolidatedNames(const std::vector<Input>& inputs) {
        std::optional<std::map<std::string, Value>> first;
        for (std::size_t host = 0; host < inputs.size(); ++host) {
            SCOPED_TRACE("host input " + std::to_string(host));
            EventWriter write(*context);
            inStore([&] {
                ASSERT_TRUE(deleteAllEvents());
                for (std::size_t i = 0; i < inputs.size(); ++i) {
                    const auto& input = inputs[i];
                    auto event = write.event("input" + std::to_string(i),
                                             SYNStoreModificationEventTypeBaselineConsolidating,
                                             input.globalCount, input.own, input.others);
                    for (const auto& insert : input.inserts) {
                        if (insert.revision) {
                            write.insert(event, insert.gid, {attribute("name", Value(insert.name))},
                                         *insert.revision);
                        } else {
                            write.change(event, insert.gid, SYNObjectChangeTypeInsert,
                                         {attribute("name", Value(insert.name))});
                        }
                    }
                    if (i == host) {
                        for (int filler = 0; filler < 5; ++filler) {
                            write.change(event, "filler" + std::to_string(filler), SYNObjectChangeTypeInsert,
                                         {attribute("name", Value("filler"))});
                        }
                    }
                }
                ASSERT_EQ(context->save(), nullptr);
            });
            Machine machine{store, context};
            consolidate(machine);
            auto left = baselines(machine);
            EXPECT_EQ(left.size(), 1u);
            if (left.empty()) {
                return {};
            }
            auto names = left.front().names;
            for (int filler = 0; filler < 5; ++filler) {
                EXPECT_EQ(names.erase("filler" + std::to_string(filler)), 1u);
            }
            if (first) {
                EXPECT_EQ(names, *first);
            } else {
                first = names;
            }
        }
        return first.value_or(std::map<std::string, Value>{});
    }

    static void consolidate(const Machine& machine) {
        bool done = false;
        plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
        SYNBaselineConsolidator(machine.store, {}).consolidateBaselineWithCompletion([&](plat::ErrorPtr e) {
            error = e;
            done = true;
        });
        pumpMainUntil([&] { return done; });
        EXPECT_EQ(error, nullptr);
    }
};

TEST_F(SYNBaselineConsolidatorTest, BaselinesOfTwoMachinesBecomeTheSameOneHoldingEveryObject) {
    Machine first = enlist("AAAAAAAA-0000-0000-0000-000000000001", {"alice", "bob"});
    Machine second = enlist("AAAAAAAA-0000-0000-0000-000000000002", {"carol"});
    copyBaselines(second, first);
    copyBaselines(first, second);
    consolidate(first);
    consolidate(second);

    auto onFirst = baselines(first);
    auto onSecond = baselines(second);
    ASSERT_EQ(onFirst.size(), 1u);
    EXPECT_EQ(onFirst, onSecond);
    const auto& merged = onFirst.front();
    EXPECT_EQ(merged.names.size(), 3u);
    std::set<std::string> names;
    for (const auto& [gid, name] : merged.names) {
        names.insert(name.stringValue());
    }
    EXPECT_EQ(names, (std::set<std::string>{"alice", "bob", "carol"}));
    EXPECT_EQ(merged.set, revisions({{first.store->persistentStoreIdentifier()->c_str(), 0},
                                     {second.store->persistentStoreIdentifier()->c_str(), 0}}));
    EXPECT_EQ(merged.identifier.size(), 32u);
    EXPECT_EQ(first.store->currentBaselineIdentifier(), merged.identifier);

    // Consolidating again changes nothing.
    consolidate(first);
    EXPECT_EQ(baselines(first), onFirst);
}

TEST_F(SYNBaselineConsolidatorTest, DominatedBaselinesAreDroppedAndImportedOnesTakePart) {
    EventWriter write(*context);
    inStore([&] {
        auto old = write.event("old", SYNStoreModificationEventTypeBaseline, 1, {"A", 1});
        write.change(old, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("stale"))});
        auto current =
            write.event("current", SYNStoreModificationEventTypeBaseline, 5, {"A", 4}, revisions({{"B", 2}}));
        write.change(current, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("fresh"))});
        // Read from another machine's files: stored as being consolidated.
        auto imported =
            write.event("imported", SYNStoreModificationEventTypeBaselineConsolidating, 3, {"C", 1});
        write.change(imported, "y", SYNObjectChangeTypeInsert, {attribute("name", Value("theirs"))});
        ASSERT_EQ(context->save(), nullptr);
    });
    Machine machine{store, context};
    consolidate(machine);
    auto left = baselines(machine);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.front().names.at("x"), Value("fresh"));
    EXPECT_EQ(left.front().names.at("y"), Value("theirs"));
}

// The larger input is kept in place and the other's winning inserts move
// into it; the result must not depend on which input is the larger one: the
// later input's insert of a shared object wins, with its data file, and
// non-insert changes are dropped.
TEST_F(SYNBaselineConsolidatorTest, TheResultIsTheSameWhicheverInputIsLarger) {
    struct Case {
        const char* name;
        std::vector<std::string> earlyOnly, lateOnly;
    };
    const Case cases[] = {
        {"early input larger", {"e1", "e2", "e3"}, {}},
        {"late input larger", {}, {"l1", "l2", "l3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventWriter write(*context);
        inStore([&] {
            ASSERT_TRUE(deleteAllEvents());
            auto early = write.event("early", SYNStoreModificationEventTypeBaseline, 1, {"A", 0});
            auto late = write.event("late", SYNStoreModificationEventTypeBaselineConsolidating, 2, {"B", 0});
            SYNPropertyChangeValue photo(SYNPropertyChangeTypeAttribute, "photo");
            photo.setFilename("LATEPHOTO");
            write.change(early, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("early x"))});
            write.change(late, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("late x")), photo});
            write.change(early, "gone", SYNObjectChangeTypeDelete);
            write.change(late, "gone", SYNObjectChangeTypeDelete);
            for (const auto& gid : c.earlyOnly) {
                write.change(early, gid, SYNObjectChangeTypeInsert, {attribute("name", Value(gid))});
            }
            for (const auto& gid : c.lateOnly) {
                write.change(late, gid, SYNObjectChangeTypeInsert, {attribute("name", Value(gid))});
            }
            ASSERT_EQ(context->save(), nullptr);
        });
        Machine machine{store, context};
        consolidate(machine);
        auto left = baselines(machine);
        ASSERT_EQ(left.size(), 1u);
        std::map<std::string, Value> expected{{"x", Value("late x")}};
        for (const auto& gid : c.earlyOnly) {
            expected[gid] = Value(gid);
        }
        for (const auto& gid : c.lateOnly) {
            expected[gid] = Value(gid);
        }
        EXPECT_EQ(left.front().names, expected);
        EXPECT_EQ(left.front().set, revisions({{"A", 0}, {"B", 0}}));
        EXPECT_EQ(left.front().globalCount, 2);
        inStore([&] {
            auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
            EXPECT_EQ(SYNStoreModificationEvent::storeIdentifier(*baseline), "B");
            std::vector<std::string> files;
            for (const auto& change : baseline->objectsForKey("objectChanges")) {
                for (const auto& file : change->objectsForKey("dataFiles")) {
                    files.push_back(file->valueForKey("filename").stringValue());
                }
            }
            EXPECT_EQ(files, std::vector<std::string>{"LATEPHOTO"});
            plat::coredata::FetchRequest all(SYNDataFileEntityName);
            EXPECT_EQ(*context->countForFetchRequest(all), 1u);
        });
    }
}

// A store rebases, folding its deletes of x and its update of w into a new
// baseline, while a late machine consolidates that store's first baseline
// (which still holds x, and w as first saved) with its own. Neither result
// covers the other (each has seen a store the other has not), yet the
// rebased one has seen everything the late one knows of store A: x is gone
// and w is as store A last saved it, whichever baseline is later in event
// order. Each insert records the revision of the save that last set it.
TEST_F(SYNBaselineConsolidatorTest, ALateBaselineBringsBackNothingARebaseDeletedOrUpdated) {
    for (const int64_t lateCount : {3, 6}) {
        SCOPED_TRACE("late baseline global count " + std::to_string(lateCount));
        EventWriter write(*context);
        inStore([&] {
            ASSERT_TRUE(deleteAllEvents());
            // Store A's first baseline {A:0} consolidated with store C's {C:0}.
            auto late = write.event("late", SYNStoreModificationEventTypeBaselineConsolidating, lateCount,
                                    {"C", 0}, revisions({{"A", 0}}));
            write.insert(late, "x", {attribute("name", Value("deleted by A"))}, {"A", 0});
            write.insert(late, "w", {attribute("name", Value("stale"))}, {"A", 0});
            write.insert(late, "y", {attribute("name", Value("from C"))}, {"C", 0});
            // Store A's rebase over {A:0, B:0} and its saves up to A:4.
            auto rebased = write.event("rebased", SYNStoreModificationEventTypeBaseline, 5, {"A", 4},
                                       revisions({{"B", 0}}));
            write.insert(rebased, "w", {attribute("name", Value("fresh"))}, {"A", 3});
            write.insert(rebased, "z", {attribute("name", Value("from B"))}, {"B", 0});
            ASSERT_EQ(context->save(), nullptr);
        });
        Machine machine{store, context};
        consolidate(machine);
        auto left = baselines(machine);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left.front().names.count("x"), 0u) << "a deleted object is back";
        ASSERT_EQ(left.front().names.count("w"), 1u);
        EXPECT_EQ(left.front().names.at("w").stringValue(), "fresh");
        EXPECT_EQ(left.front().names,
                  (std::map<std::string, Value>{
                      {"w", Value("fresh")}, {"y", Value("from C")}, {"z", Value("from B")}}));
        EXPECT_EQ(left.front().set, revisions({{"A", 4}, {"B", 0}, {"C", 0}}));
    }
}

// Store A's baseline has seen B up to B:1; store B's has seen A up to A:1.
// Each no longer holds an object that the other holds as set by a save it
// has seen: a later event deleted it, whichever input is later in event
// order. Objects set by saves the other has not seen stay.
TEST_F(SYNBaselineConsolidatorTest, AnObjectTheOtherInputSawAndNoLongerHoldsStaysDeleted) {
    for (const auto& [countA, countB] : {std::pair<int64_t, int64_t>{1, 2}, {2, 1}}) {
        SCOPED_TRACE("event order " + std::to_string(countA) + ", " + std::to_string(countB));
        auto names = consolidatedNames({
            {countA,
             {"A", 3},
             revisions({{"B", 1}, {"C", 0}}),
             {{"x", "set by A:1", SYNRevision{"A", 1}},
              {"a", "set by A:3", SYNRevision{"A", 3}},
              {"c", "set by C:0", SYNRevision{"C", 0}}}},
            {countB,
             {"B", 2},
             revisions({{"A", 1}}),
             {{"v", "set by B:1", SYNRevision{"B", 1}}, {"b", "set by B:2", SYNRevision{"B", 2}}}},
        });
        EXPECT_EQ(names,
                  (std::map<std::string, Value>{
                      {"a", Value("set by A:3")}, {"b", Value("set by B:2")}, {"c", Value("set by C:0")}}));
    }
}

// Of two versions of an object, the one set by a save the other input has
// seen is the older, whichever input is later in event order.
TEST_F(SYNBaselineConsolidatorTest, AVersionSetByASaveTheOtherInputSawLoses) {
    for (const auto& [countA, countB] : {std::pair<int64_t, int64_t>{1, 2}, {2, 1}}) {
        SCOPED_TRACE("event order " + std::to_string(countA) + ", " + std::to_string(countB));
        auto names = consolidatedNames({
            {countA,
             {"A", 3},
             revisions({{"B", 1}}),
             {{"w", "A:3", SYNRevision{"A", 3}}, {"q", "B:1", SYNRevision{"B", 1}}}},
            {countB,
             {"B", 2},
             revisions({{"A", 1}}),
             {{"w", "A:1", SYNRevision{"A", 1}}, {"q", "B:2", SYNRevision{"B", 2}}}},
        });
        EXPECT_EQ(names, (std::map<std::string, Value>{{"w", Value("A:3")}, {"q", Value("B:2")}}));
    }
}

// Versions set by concurrent saves (neither input has seen the other's
// save) go by event order, and objects of one input only stay.
TEST_F(SYNBaselineConsolidatorTest, ConcurrentVersionsGoByEventOrder) {
    for (const auto& [countA, countB] : {std::pair<int64_t, int64_t>{1, 2}, {2, 1}}) {
        SCOPED_TRACE("event order " + std::to_string(countA) + ", " + std::to_string(countB));
        auto names = consolidatedNames({
            {countA,
             {"A", 2},
             revisions({{"B", 0}}),
             {{"o", "A:2", SYNRevision{"A", 2}}, {"a", "A:1", SYNRevision{"A", 1}}}},
            {countB,
             {"B", 2},
             revisions({{"A", 0}}),
             {{"o", "B:2", SYNRevision{"B", 2}}, {"b", "B:1", SYNRevision{"B", 1}}}},
        });
        EXPECT_EQ(names, (std::map<std::string, Value>{{"o", Value(countB > countA ? "B:2" : "A:2")},
                                                       {"a", Value("A:1")},
                                                       {"b", Value("B:1")}}));
    }
}

// Baselines made before inserts recorded their revision keep the old rule:
// every object of either input, the version of the input later in event
// order. An unrecorded version still beats one set by a save its own input
// has seen, and a recorded one the other input saw is still deleted.
TEST_F(SYNBaselineConsolidatorTest, UnrecordedVersionsKeepTheEventOrderRule) {
    for (const auto& [countA, countB] : {std::pair<int64_t, int64_t>{1, 2}, {2, 1}}) {
        SCOPED_TRACE("event order " + std::to_string(countA) + ", " + std::to_string(countB));
        auto names = consolidatedNames({
            {countA,
             {"A", 3},
             revisions({{"B", 1}}),
             {{"o", "A's", std::nullopt}, {"x", "A's only", std::nullopt}, {"m", "A's", std::nullopt}}},
            {countB,
             {"B", 2},
             revisions({{"A", 1}}),
             {{"o", "B's", std::nullopt},
              {"y", "B's only", std::nullopt},
              {"m", "B:1", SYNRevision{"B", 1}},
              {"d", "B:0", SYNRevision{"B", 0}}}},
        });
        EXPECT_EQ(names, (std::map<std::string, Value>{{"o", Value(countB > countA ? "B's" : "A's")},
                                                       {"x", Value("A's only")},
                                                       {"y", Value("B's only")},
                                                       {"m", Value("A's")}}));
    }
}

// An enlist's baseline records its own revision on every insert, and the
// consolidated baseline keeps what each insert recorded.
TEST_F(SYNBaselineConsolidatorTest, EnlistBaselinesRecordTheirRevisionAndConsolidationKeepsIt) {
    Machine first = enlist("AAAAAAAA-0000-0000-0000-000000000001", {"alice", "bob"});
    Machine second = enlist("AAAAAAAA-0000-0000-0000-000000000002", {"carol"});
    copyBaselines(second, first);
    consolidate(first);
    std::map<std::string, std::optional<SYNRevision>> recorded;
    first.context->performBlockAndWait([&] {
        auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*first.context);
        for (const auto& change : baseline->objectsForKey("objectChanges")) {
            auto values = SYNObjectChange::propertyChangeValues(*change);
            recorded[valueNamed(values, "name")->value()->stringValue()] =
                SYNObjectChange::valuesRevision(*change);
        }
    });
    const std::string one = *first.store->persistentStoreIdentifier();
    const std::string two = *second.store->persistentStoreIdentifier();
    EXPECT_EQ(recorded, (std::map<std::string, std::optional<SYNRevision>>{{"alice", SYNRevision{one, 0}},
                                                                           {"bob", SYNRevision{one, 0}},
                                                                           {"carol", SYNRevision{two, 0}}}));
}

// The checks of a merge read the facts (the baseline, every complete event's
// own revision) and the event store's tallies keep them.
void gatherFacts(const std::shared_ptr<SYNEventStore>& store) {
    SYNRevisionManager manager(store);
    manager.setSharesEventFetches(true);
    EXPECT_TRUE(manager.checkThatLocalPersistentStoreHasNotBeenAbandoned().ok());
}

// With the facts kept and a sole baseline, the consolidation reads nothing
// (the context registers no object); a baseline read from another machine,
// saved while the facts are kept, is still consolidated.
TEST_F(SYNBaselineConsolidatorTest, KeptFactsSpareTheReadWhenNoBaselineIsBeingConsolidated) {
    const std::string local = *store->persistentStoreIdentifier();
    EventWriter write(*context);
    inStore([&] {
        auto base = write.event("base", SYNStoreModificationEventTypeBaseline, 1, {local, 0});
        write.change(base, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("mine"))});
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    gatherFacts(store);
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    auto kept = tallies->facts(local);
    ASSERT_TRUE(kept.value);
    EXPECT_TRUE(kept.value->soleBaseline);
    inStore([&] { context->reset(); });
    Machine machine{store, context};
    consolidate(machine);
    EXPECT_TRUE(inStore([&] { return context->registeredObjects().empty(); }));
    EXPECT_EQ(baselines(machine).size(), 1u);

    inStore([&] {
        auto imported =
            write.event("imported", SYNStoreModificationEventTypeBaselineConsolidating, 3, {"C", 1});
        write.change(imported, "y", SYNObjectChangeTypeInsert, {attribute("name", Value("theirs"))});
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    EXPECT_FALSE(tallies->facts(local).value);  // such a save is not followed
    consolidate(machine);
    auto left = baselines(machine);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.front().names.at("x"), Value("mine"));
    EXPECT_EQ(left.front().names.at("y"), Value("theirs"));
}

// Facts gathered while the store holds a baseline being consolidated, or two
// baselines, do not spare the read: the consolidation still leaves one.
TEST_F(SYNBaselineConsolidatorTest, FactsGatheredWithBaselinesToConsolidateLeaveThemToBeRead) {
    const std::string local = *store->persistentStoreIdentifier();
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    const std::vector<std::pair<const char*, std::vector<int16_t>>> cases{
        {"one being consolidated", {SYNStoreModificationEventTypeBaselineConsolidating}},
        {"two baselines", {SYNStoreModificationEventTypeBaseline, SYNStoreModificationEventTypeBaseline}},
        {"one of each",
         {SYNStoreModificationEventTypeBaseline, SYNStoreModificationEventTypeBaselineConsolidating}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.first);
        const std::vector<int16_t>& types = testCase.second;  // a plain name the lambdas below can capture
        EventWriter write(*context);
        inStore([&] {
            ASSERT_TRUE(deleteAllEvents());
            for (std::size_t i = 0; i < types.size(); ++i) {
                const std::string gid = "o" + std::to_string(i);
                auto event = write.event("input" + std::to_string(i), types[i], static_cast<int64_t>(i + 1),
                                         {i == 0 ? local : std::string("C"), static_cast<int64_t>(i)});
                write.change(event, gid, SYNObjectChangeTypeInsert, {attribute("name", Value(gid))});
            }
            ASSERT_EQ(context->save(), nullptr);
            context->reset();
        });
        gatherFacts(store);
        auto kept = tallies->facts(local);
        ASSERT_TRUE(kept.value);
        EXPECT_FALSE(kept.value->soleBaseline);
        Machine machine{store, context};
        consolidate(machine);
        auto left = baselines(machine);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left.front().names.size(), types.size());
    }
}

// Random steps (complete and unfinished events, baselines and baselines
// being consolidated inserted, an event's type changed to either, facts
// gathered before or not): after every consolidation the store holds at most one
// baseline and none being consolidated, as a fresh read says, whichever way
// the consolidation took.
TEST_F(SYNBaselineConsolidatorTest, ConsolidationWithOrWithoutKeptFactsLeavesOneBaseline) {
    const std::string local = *store->persistentStoreIdentifier();
    auto tallies = store->eventTallies();
    ASSERT_TRUE(tallies);
    std::mt19937 random(20261209);
    const std::vector<std::string> stores{local, "B", "C"};
    EventWriter write(*context);
    Machine machine{store, context};
    int64_t count = 0;
    int spared = 0;
    int read = 0;
    // Of each type, the events a fresh read finds.
    auto countTypes = [&] {
        std::map<int16_t, std::size_t> types;
        inStore([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                ++types[SYNStoreModificationEvent::type(*event)];
            }
            context->reset();
        });
        return types;
    };
    for (int step = 0; step < 60; ++step) {
        SCOPED_TRACE(step);
        // Gathered before the step's save, the facts follow it.
        if (random() % 3 != 0) {
            gatherFacts(store);
        }
        const int kind = static_cast<int>(random() % 7);
        inStore([&] {
            const std::string uid = "e" + std::to_string(step);
            const std::string& storeID = stores[random() % stores.size()];
            const int64_t number = static_cast<int64_t>(random() % 5);
            static const int16_t kTypes[] = {
                SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                SYNStoreModificationEventTypeIncomplete, SYNStoreModificationEventTypeBaseline,
                SYNStoreModificationEventTypeBaselineConsolidating};
            if (kind <= 4) {
                auto event = write.event(uid, kTypes[kind], ++count, {storeID, number});
                if (kind >= 3) {
                    write.change(event, "o" + std::to_string(step), SYNObjectChangeTypeInsert,
                                 {attribute("name", Value(uid))});
                }
            } else {
                // A saved event of another type made a baseline, or one
                // being consolidated (an update the tallies follow).
                auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                    std::vector<int16_t>{SYNStoreModificationEventTypeSave,
                                         SYNStoreModificationEventTypeMerge},
                    std::nullopt, *context);
                ASSERT_TRUE(events.ok());
                if (!events->empty()) {
                    (*events)[random() % events->size()]->setValue(
                        Value(int64_t{kind == 5 ? SYNStoreModificationEventTypeBaseline
                                                : SYNStoreModificationEventTypeBaselineConsolidating}),
                        "type");
                }
            }
            ASSERT_EQ(context->save(), nullptr);
            context->reset();
        });
        if (random() % 2 != 0) {
            continue;
        }
        auto before = countTypes();
        const std::size_t baselinesBefore = before[SYNStoreModificationEventTypeBaseline] +
                                            before[SYNStoreModificationEventTypeBaselineConsolidating];
        auto kept = tallies->facts(local);
        (kept.value && kept.value->soleBaseline ? spared : read)++;
        consolidate(machine);
        auto after = countTypes();
        EXPECT_EQ(after[SYNStoreModificationEventTypeBaselineConsolidating], 0u);
        EXPECT_EQ(after[SYNStoreModificationEventTypeBaseline], baselinesBefore == 0 ? 0u : 1u);
        EXPECT_EQ(after[SYNStoreModificationEventTypeSave], before[SYNStoreModificationEventTypeSave]);
        EXPECT_EQ(after[SYNStoreModificationEventTypeMerge], before[SYNStoreModificationEventTypeMerge]);
    }
    // Both ways were taken.
    EXPECT_GT(spared, 0);
    EXPECT_GT(read, 0);
}

// The identifier each row of the store file names through the file's own
// list (checks that the list on disk holds every number its rows use).
std::map<std::string, std::string> identifiersOnDisk(const std::string& path) {
    std::map<std::string, std::string> named;
    const auto list = storedIdentifierList(path);
    EXPECT_TRUE(list.has_value());
    for (const auto& [gid, row] : storedRevisions(path)) {
        EXPECT_TRUE(row.first.has_value()) << gid;
        named[gid] = list && row.first ? identifierOnDisk(*list, *row.first) : "";
    }
    return named;
}

// Each insert of an enlist records the event's own revision, its store
// numbered in the file; consolidating the baselines of two machines keeps
// every insert's true revision, each row naming its store by the number the
// store's list gives it, whichever baseline holds the row.
TEST_F(SYNBaselineConsolidatorTest, EnlistRowsNameTheirStoreByNumberAndConsolidationKeepsTheirRevisions) {
    Machine first = enlist("AAAAAAAA-0000-0000-0000-000000000001", {"alice", "bob"});
    Machine second = enlist("AAAAAAAA-0000-0000-0000-000000000002", {"carol"});
    const std::string one = *first.store->persistentStoreIdentifier();
    const std::string two = *second.store->persistentStoreIdentifier();
    for (const Machine* machine : {&first, &second}) {
        EXPECT_EQ(storedIdentifierList(machine->store->pathToStoreFile()),
                  std::vector<std::string>{*machine->store->persistentStoreIdentifier()});
        for (const auto& [gid, stored] : storedRevisions(machine->store->pathToStoreFile())) {
            EXPECT_EQ(stored.first, "0") << gid;
            EXPECT_EQ(stored.second, 0) << gid;
        }
    }
    // Each machine's consolidated baseline: every insert's revision, by name,
    // checked against what its row names on disk.
    auto recorded = [](const Machine& machine) {
        std::map<std::string, std::optional<SYNRevision>> byName;
        const auto onDisk = identifiersOnDisk(machine.store->pathToStoreFile());
        machine.context->performBlockAndWait([&] {
            auto baseline =
                *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*machine.context);
            for (const auto& change : baseline->objectsForKey("objectChanges")) {
                const auto revision = SYNObjectChange::valuesRevision(*change);
                EXPECT_EQ(onDisk.at(*SYNObjectChange::globalIdentifierString(*change)),
                          revision ? revision->persistentStoreIdentifier : "?");
                byName[valueNamed(SYNObjectChange::propertyChangeValues(*change), "name")
                           ->value()
                           ->stringValue()] = revision;
            }
        });
        return byName;
    };
    copyBaselines(second, first);
    copyBaselines(first, second);
    consolidate(first);
    consolidate(second);
    const std::map<std::string, std::optional<SYNRevision>> expected{
        {"alice", SYNRevision{one, 0}}, {"bob", SYNRevision{one, 0}}, {"carol", SYNRevision{two, 0}}};
    EXPECT_EQ(recorded(first), expected);
    EXPECT_EQ(recorded(second), expected);
    // Each store numbered its own identifier first.
    EXPECT_EQ(storedIdentifierList(first.store->pathToStoreFile()), (std::vector<std::string>{one, two}));
    EXPECT_EQ(storedIdentifierList(second.store->pathToStoreFile()), (std::vector<std::string>{two, one}));
}

// Inputs of two stores, each holding a revision of its own store and of
// another: whichever input hosts the result (which takes the late input's
// store), every insert keeps its true revision and its stored text.
TEST_F(SYNBaselineConsolidatorTest, ConsolidationKeepsEachRevisionWhicheverInputHosts) {
    for (const bool earlyHosts : {true, false}) {
        SCOPED_TRACE(earlyHosts ? "early input hosts" : "late input hosts");
        EventWriter write(*context);
        std::map<std::string, std::optional<std::string>> before;
        inStore([&] {
            ASSERT_TRUE(deleteAllEvents());
            // Neither has seen the other's saves: every object stays.
            auto early = write.event("early", SYNStoreModificationEventTypeBaseline, 1, {"A", 3});
            auto late = write.event("late", SYNStoreModificationEventTypeBaselineConsolidating, 2, {"B", 2});
            write.insert(early, "a", {attribute("name", Value("a"))}, {"A", 2});
            write.insert(early, "c", {attribute("name", Value("c"))}, {"C", 1});
            write.insert(late, "b", {attribute("name", Value("b"))}, {"B", 1});
            write.insert(late, "d", {attribute("name", Value("d"))}, {"C", 0});
            for (int filler = 0; filler < 3; ++filler) {
                write.insert(earlyHosts ? early : late, "filler" + std::to_string(filler),
                             {attribute("name", Value("filler"))},
                             earlyHosts ? SYNRevision{"A", 1} : SYNRevision{"B", 0});
            }
            ASSERT_EQ(context->save(), nullptr);
        });
        for (const auto& [gid, row] : storedRevisions(store->pathToStoreFile())) {
            before[gid] = row.first;
        }
        Machine machine{store, context};
        consolidate(machine);
        std::map<std::string, std::optional<SYNRevision>> recorded;
        inStore([&] {
            auto baseline = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
            EXPECT_EQ(SYNStoreModificationEvent::storeIdentifier(*baseline), "B");
            for (const auto& change : baseline->objectsForKey("objectChanges")) {
                recorded[*SYNObjectChange::globalIdentifierString(*change)] =
                    SYNObjectChange::valuesRevision(*change);
            }
        });
        std::map<std::string, std::optional<SYNRevision>> expected{{"a", SYNRevision{"A", 2}},
                                                                   {"b", SYNRevision{"B", 1}},
                                                                   {"c", SYNRevision{"C", 1}},
                                                                   {"d", SYNRevision{"C", 0}}};
        for (int filler = 0; filler < 3; ++filler) {
            expected["filler" + std::to_string(filler)] =
                earlyHosts ? SYNRevision{"A", 1} : SYNRevision{"B", 0};
        }
        EXPECT_EQ(recorded, expected);
        const auto onDisk = identifiersOnDisk(store->pathToStoreFile());
        ASSERT_EQ(onDisk.size(), expected.size());
        for (const auto& [gid, row] : storedRevisions(store->pathToStoreFile())) {
            ASSERT_TRUE(expected.count(gid)) << gid;
            EXPECT_EQ(onDisk.at(gid), expected.at(gid)->persistentStoreIdentifier) << gid;
            EXPECT_EQ(row.first, before.at(gid)) << gid;  // moved rows keep their text
            EXPECT_EQ(row.second, expected.at(gid)->revisionNumber) << gid;
        }
    }
}

// The host's inserts another input may have deleted are looked up by the
// number of each store that input has seen. Host C's insert set by C:1 goes
// when the other input has seen C:1, and stays when it has seen A but not
// C; a store no row names (never numbered) covers nothing.
TEST_F(SYNBaselineConsolidatorTest, HostInsertsAreCoveredThroughTheirStoresNumbers) {
    struct Case {
        const char* name;
        SYNRevisionSet seen;
        std::map<std::string, Value> left;
    };
    const std::vector<Case> cases{
        {"C unseen", revisions({{"A", 5}}), {{"b", Value("B:1")}, {"x", Value("C:1")}}},
        {"C:1 seen", revisions({{"A", 5}, {"C", 1}}), {{"b", Value("B:1")}}},
        {"only an unnumbered store seen",
         revisions({{"Z", 9}}),
         {{"b", Value("B:1")}, {"x", Value("C:1")}, {"y", Value("A:1")}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto names = consolidatedNames({
            {1,
             {"C", 3},
             revisions({{"B", 0}}),
             {{"x", "C:1", SYNRevision{"C", 1}}, {"y", "A:1", SYNRevision{"A", 1}}}},
            {2, {"B", 2}, test.seen, {{"b", "B:1", SYNRevision{"B", 1}}}},
        });
        EXPECT_EQ(names, test.left);
        EXPECT_EQ(inStore([&] { return SYNStoreIdentifiers::forContext(*context)->numberOf("Z"); }),
                  std::nullopt);  // a look-up numbers nothing
    }
}

// A store written before the numbered list (no list in its metadata, every
// revision's store in full) reads and consolidates as before, and keeps
// full identifiers for good.
TEST_F(SYNBaselineConsolidatorTest, AStoreOfFullIdentifiersConsolidatesAsBefore) {
    const std::vector<Input> inputs{
        {1,
         {"A", 3},
         revisions({{"B", 1}, {"C", 0}}),
         {{"x", "set by A:1", SYNRevision{"A", 1}},
          {"a", "set by A:3", SYNRevision{"A", 3}},
          {"w", "A:3", SYNRevision{"A", 3}},
          {"c", "set by C:0", SYNRevision{"C", 0}}}},
        {2,
         {"B", 2},
         revisions({{"A", 1}}),
         {{"v", "set by B:1", SYNRevision{"B", 1}},
          {"w", "A:1", SYNRevision{"A", 1}},
          {"b", "set by B:2", SYNRevision{"B", 2}}}},
    };
    const std::map<std::string, Value> expected{{"a", Value("set by A:3")},
                                                {"b", Value("set by B:2")},
                                                {"c", Value("set by C:0")},
                                                {"w", Value("A:3")}};
    EXPECT_EQ(consolidatedNames(inputs), expected);
    reopenWithFullStoreIdentifiers();
    EXPECT_EQ(consolidatedNames(inputs), expected);
    const auto stored = storedRevisions(store->pathToStoreFile());
    EXPECT_EQ(stored.at("a").first, "A");
    EXPECT_EQ(stored.at("b").first, "B");
    EXPECT_EQ(stored.at("c").first, "C");
    store->dismantle();
    EXPECT_EQ(storedIdentifierList(store->pathToStoreFile()), std::nullopt);
}

// A machine's enlisted baseline hosting the consolidation with a later
// baseline of another store (a joining machine's) keeps every row as it is
// on disk: only the joiner's row moves in, though the result takes the
// joiner's store.
TEST_F(SYNBaselineConsolidatorTest, AnEnlistedHostTakingAnotherStoreRewritesNoneOfItsRows) {
    Machine machine = enlist("AAAAAAAA-0000-0000-0000-000000000003", {"alice", "bob", "dave"});
    const std::string own = *machine.store->persistentStoreIdentifier();
    const std::string path = machine.store->pathToStoreFile();
    machine.context->performBlockAndWait([&] {
        auto enlisted =
            *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*machine.context);
        EventWriter write(*machine.context);
        auto joiner = write.event("joiner", SYNStoreModificationEventTypeBaselineConsolidating,
                                  SYNStoreModificationEvent::globalCount(*enlisted) + 1, {"JOINER", 0});
        write.insert(joiner, "erin", {attribute("name", Value("erin"))}, {"JOINER", 0});
        ASSERT_EQ(machine.context->save(), nullptr);
    });
    // Row versions (Z_OPT) and stored revisions of the changes, by identifier.
    auto rows = [&] {
        std::map<std::string, std::tuple<int64_t, std::optional<std::string>, std::optional<int64_t>>> found;
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000);
        const auto revisions = storedRevisions(path);
        sqlite3_stmt* query = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT g.ZGLOBALIDENTIFIER, c.Z_OPT FROM Z_SYNOBJECTCHANGE c "
                                     "JOIN Z_SYNGLOBALIDENTIFIER g ON g.Z_PK = c.ZGLOBALIDENTIFIER",
                                     -1, &query, nullptr),
                  SQLITE_OK);
        while (query && sqlite3_step(query) == SQLITE_ROW) {
            const std::string gid = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
            found[gid] = {sqlite3_column_int64(query, 1), revisions.at(gid).first, revisions.at(gid).second};
        }
        sqlite3_finalize(query);
        sqlite3_close(db);
        return found;
    };
    const auto before = rows();
    ASSERT_EQ(before.size(), 4u);
    consolidate(machine);
    const auto after = rows();
    ASSERT_EQ(after.size(), 4u);
    std::string joinerGID;
    machine.context->performBlockAndWait([&] {
        auto baseline =
            *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*machine.context);
        EXPECT_EQ(SYNStoreModificationEvent::storeIdentifier(*baseline), "JOINER");
        EXPECT_EQ(SYNStoreModificationEvent::revisionSet(*baseline),
                  revisions({{own.c_str(), 0}, {"JOINER", 0}}));
        for (const auto& change : baseline->objectsForKey("objectChanges")) {
            const auto revision = SYNObjectChange::valuesRevision(*change);
            ASSERT_TRUE(revision);
            EXPECT_EQ(revision->persistentStoreIdentifier,
                      *SYNObjectChange::globalIdentifierString(*change) == "erin" ? "JOINER" : own);
        }
    });
    for (const auto& [gid, row] : before) {
        if (gid != "erin") {
            EXPECT_EQ(after.at(gid), row) << gid;  // not written at all
        }
    }
    EXPECT_EQ(std::get<1>(after.at("erin")), std::get<1>(before.at("erin")));
}

}  // namespace
}  // namespace eventstoretest
