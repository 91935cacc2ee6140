// The changes of an event saved new, kept for its export: kept only when the
// save that wrote them is the only one since they were gathered, only for
// values that read back from the store as they are, and handed over only
// for the event and revision they are of.
#include <gtest/gtest.h>

#include "EventStoreFixture.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Decimal.h"
#include "sync/eventstore/SYNSavedEvent.h"

namespace eventstoretest {
namespace {

using plat::Value;

class SYNSavedEventTest : public EventStoreTest {
  protected:
    // Saves a new identifier record in the event store's context.
    void saveARecord(const std::string& identifier) {
        inStore([&] {
            auto record = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            record->setValue(Value(identifier), "globalIdentifier");
            record->setValue(Value("Person"), "nameOfEntity");
            EXPECT_EQ(context->save(), nullptr);
        });
    }

    // An event of one change, under the ID of a saved record (any
    // permanent ID of the store serves).
    SYNSavedEvent::Event eventWithID(const std::string& identifier) {
        return inStore([&] {
            plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
            request.predicate = plat::coredata::Predicate::equal("globalIdentifier", Value(identifier));
            auto found = context->executeFetchRequest(request);
            EXPECT_TRUE(found.ok() && found->size() == 1);
            SYNSavedEvent::Event event;
            event.eventID = found->front()->objectID();
            event.revision = {"store", 3};
            event.changes.emplace_back();
            event.changes.back().key = 7;
            return event;
        });
    }

    static Value valuesOf(std::vector<SYNPropertyChangeValue> values) {
        plat::Array items;
        for (auto& value : values) {
            items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(std::move(value)));
        }
        return Value(std::move(items));
    }
};

TEST_F(SYNSavedEventTest, KeptOnlyWhenItsOwnSaveIsTheOnlyOneSinceAndHandedOverForItsRevision) {
    auto saved = store->savedEvent();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->context(), context.get());

    uint64_t before = saved->saves();
    saveARecord("A");
    saved->keep(before, eventWithID("A"));
    const auto id = eventWithID("A").eventID;
    EXPECT_TRUE(saved->keeps(*id));
    EXPECT_FALSE(saved->take(*id, SYNRevision{"store", 4})) << "another revision";
    EXPECT_FALSE(saved->take(*eventWithID("A").eventID, SYNRevision{"other", 3})) << "another store";
    EXPECT_TRUE(saved->keeps(*id)) << "a refusal leaves it kept";
    auto taken = saved->take(*id, SYNRevision{"store", 3});
    ASSERT_TRUE(taken);
    ASSERT_EQ(taken->size(), 1u);
    EXPECT_EQ(taken->front().key, 7);
    EXPECT_FALSE(saved->keeps(*id)) << "taken once";

    // A second save before the keep: whatever it wrote is not known.
    before = saved->saves();
    saveARecord("B");
    saveARecord("C");
    saved->keep(before, eventWithID("B"));
    EXPECT_FALSE(saved->keeps(*eventWithID("B").eventID));

    // A save that adds rows the kept changes do not name leaves them kept,
    // and saves of other store files are not counted.
    before = saved->saves();
    saveARecord("D");
    saved->keep(before, eventWithID("D"));
    ASSERT_TRUE(saved->keeps(*eventWithID("D").eventID));
    saveARecord("E");
    EXPECT_TRUE(saved->keeps(*eventWithID("D").eventID));
    auto application = makeApplication();
    before = saved->saves();
    application.context->insertNewObjectForEntityForName("Pet")->setValue(Value("rex"), "name");
    ASSERT_EQ(application.context->save(), nullptr);
    EXPECT_EQ(saved->saves(), before);
    EXPECT_TRUE(saved->keeps(*eventWithID("D").eventID)) << "another store file";

    // A kept change's identifier record updated, then deleted.
    before = saved->saves();
    saveARecord("F");
    auto event = eventWithID("F");
    event.changes.front().recordKey = event.eventID->primaryKey();
    saved->keep(before, event);
    ASSERT_TRUE(saved->keeps(*event.eventID));
    inStore([&] {
        auto record = context->existingObjectWithID(event.eventID);
        ASSERT_TRUE(record.ok());
        (*record)->setValue(Value("G"), "globalIdentifier");
        EXPECT_EQ(context->save(), nullptr);
    });
    EXPECT_FALSE(saved->keeps(*event.eventID));

    // Closing the store forgets.
    before = saved->saves();
    saveARecord("H");
    saved->keep(before, eventWithID("H"));
    ASSERT_TRUE(saved->keeps(*eventWithID("H").eventID));
    const auto kept = eventWithID("H").eventID;
    store->dismantle();
    EXPECT_FALSE(saved->keeps(*kept));
}

TEST_F(SYNSavedEventTest, OnlyValuesStoredAsThemselvesReadBackAlike) {
    auto attribute = [](Value value) {
        SYNPropertyChangeValue property(SYNPropertyChangeTypeAttribute, "name");
        property.setValue(std::move(value));
        return property;
    };
    bool files = true;
    EXPECT_TRUE(SYNSavedEvent::valuesReadBackAlike(Value(), files));
    EXPECT_FALSE(files);
    SYNPropertyChangeValue large(SYNPropertyChangeTypeAttribute, "photo");
    large.setFilename("file-1");
    SYNPropertyChangeValue link(SYNPropertyChangeTypeToManyRelationship, "friends");
    link.setAddedIdentifiers({"A", "caf\xC3\xA9"});
    link.setRemovedIdentifiers({"B"});
    SYNPropertyChangeValue none(SYNPropertyChangeTypeAttribute, "age");
    EXPECT_TRUE(SYNSavedEvent::valuesReadBackAlike(
        valuesOf({attribute(Value(int64_t{-4})), attribute(Value(2.5)), attribute(Value(true)),
                  attribute(Value(plat::Date(12.25))), attribute(Value(plat::Data("ab", 2))),
                  attribute(Value("\xE2\x82\xAC")), attribute(Value()), none, large, link}),
        files));
    EXPECT_TRUE(files);

    const std::string invalid = "bad \xC3";
    SYNPropertyChangeValue badName(SYNPropertyChangeTypeAttribute, invalid);
    SYNPropertyChangeValue badSet(SYNPropertyChangeTypeToManyRelationship, "friends");
    badSet.setRemovedIdentifiers({invalid});
    SYNPropertyChangeValue badTarget(SYNPropertyChangeTypeToOneRelationship, "owner");
    badTarget.setRelatedIdentifier(invalid);
    for (auto& refused : {attribute(Value(invalid)), badName, badSet, badTarget,
                          attribute(Value(uint64_t{5})), attribute(Value(plat::Decimal::fromString("1.5"))),
                          attribute(Value(plat::Array{Value(int64_t{1})}))}) {
        EXPECT_FALSE(SYNSavedEvent::valuesReadBackAlike(valuesOf({attribute(Value("fine")), refused}), files))
            << refused.propertyName();
    }
    EXPECT_FALSE(SYNSavedEvent::valuesReadBackAlike(Value(plat::Array{Value("not a value")}), files));
    EXPECT_FALSE(SYNSavedEvent::valuesReadBackAlike(Value("neither"), files));
}

}  // namespace
}  // namespace eventstoretest
