#include "sync/eventstore/SYNBaselineConsolidator.h"

#include <gtest/gtest.h>

#include "EventStoreFixture.h"

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
        std::vector<std::tuple<std::string, int64_t, SYNRevision, SYNRevisionSet,
                               std::vector<std::pair<std::string, std::vector<SYNPropertyChangeValue>>>>>
            copied;
        from.context->performBlockAndWait([&] {
            auto baselines = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, *from.context);
            for (const auto& baseline : *baselines) {
                std::vector<std::pair<std::string, std::vector<SYNPropertyChangeValue>>> changes;
                for (const auto& change : baseline->objectsForKey("objectChanges")) {
                    changes.emplace_back(*SYNObjectChange::globalIdentifierString(*change),
                                         SYNObjectChange::propertyChangeValues(*change));
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
                for (const auto& [gid, values] : changes) {
                    write.change(event, gid, SYNObjectChangeTypeInsert, values);
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
            auto existing = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(existing.ok());
            for (const auto& event : *existing) {
                context->deleteObject(event);
            }
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
// order.
//
// Disabled: it fails today. Consolidation takes the union of its inputs'
// inserts and, for an object both hold, the insert of the input later in
// event order; a rebase leaves no trace of the objects it dropped, so the
// rule cannot tell "deleted" from "never seen". Mending it needs each insert
// of a baseline to record the revision of the save that last set it, so that
// an insert whose revision the other input covers loses.
TEST_F(SYNBaselineConsolidatorTest, DISABLED_ALateBaselineBringsBackNothingARebaseDeletedOrUpdated) {
    for (const int64_t lateCount : {3, 6}) {
        SCOPED_TRACE("late baseline global count " + std::to_string(lateCount));
        EventWriter write(*context);
        inStore([&] {
            auto existing = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(existing.ok());
            for (const auto& event : *existing) {
                context->deleteObject(event);
            }
            // Store A's first baseline {A:0} consolidated with store C's {C:0}.
            auto late = write.event("late", SYNStoreModificationEventTypeBaselineConsolidating, lateCount,
                                    {"C", 0}, revisions({{"A", 0}}));
            write.change(late, "x", SYNObjectChangeTypeInsert, {attribute("name", Value("deleted by A"))});
            write.change(late, "w", SYNObjectChangeTypeInsert, {attribute("name", Value("stale"))});
            write.change(late, "y", SYNObjectChangeTypeInsert, {attribute("name", Value("from C"))});
            // Store A's rebase over {A:0, B:0} and its saves up to A:4.
            auto rebased = write.event("rebased", SYNStoreModificationEventTypeBaseline, 5, {"A", 4},
                                       revisions({{"B", 0}}));
            write.change(rebased, "w", SYNObjectChangeTypeInsert, {attribute("name", Value("fresh"))});
            write.change(rebased, "z", SYNObjectChangeTypeInsert, {attribute("name", Value("from B"))});
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

}  // namespace
}  // namespace eventstoretest
