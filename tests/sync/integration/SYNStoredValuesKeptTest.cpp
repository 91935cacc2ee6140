// Change records read from the stored rows without their values keep the
// values' compact bytes and decode them when a stage loads them: the values
// come out as a read with values gives them (every attribute type, to-one,
// to-many and ordered changes, a large value), also for stores of keyed
// archives, and a merge of more changes than are read with their values at
// once ends as the sender's store.
#include <set>

#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/KeyedArchiveRows.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNIntegrationStage.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;

namespace integrationtest {
namespace {

class SYNStoredValuesKeptTest : public IntegrationTest {
  protected:
    // Every change of the machine's event store, read with and without
    // values; the records without them then get theirs read.
    struct Reads {
        std::vector<SYNChangeRecord> withValues, withoutValues;
        std::vector<ManagedObjectIDPtr> eventsWith, eventsWithout;
        std::size_t keptBytes = 0;
    };
    static Reads readBothWays(Machine& machine) {
        Reads reads;
        auto events = machine.eventStore()->managedObjectContext();
        events->performBlockAndWait([&] {
            events->reset();
            FetchRequest request(SYNObjectChangeEntityName);
            auto with = SYNChangeRecord::fetchStored(request, *events, &reads.eventsWith, true);
            ASSERT_TRUE(with.ok());
            ASSERT_TRUE(with->has_value());
            reads.withValues = std::move(**with);
            auto without = SYNChangeRecord::fetchStored(request, *events, &reads.eventsWithout, false);
            ASSERT_TRUE(without.ok());
            ASSERT_TRUE(without->has_value());
            reads.withoutValues = std::move(**without);
            for (const auto& record : reads.withoutValues) {
                if (record.storedValues.isData()) {
                    ++reads.keptBytes;
                    EXPECT_FALSE(record.valuesRead);
                    EXPECT_TRUE(record.values.empty());
                }
            }
            auto error = SYNChangeRecord::readStoredValues(reads.withoutValues, *events);
            ASSERT_EQ(error, nullptr) << error->description();
        });
        return reads;
    }

    // The records match field by field, their values value by value.
    static void expectSameRecords(const Reads& reads) {
        ASSERT_EQ(reads.withValues.size(), reads.withoutValues.size());
        EXPECT_EQ(reads.eventsWith.size(), reads.eventsWithout.size());
        for (std::size_t i = 0; i < reads.withValues.size(); ++i) {
            const auto& expected = reads.withValues[i];
            const auto& record = reads.withoutValues[i];
            SCOPED_TRACE(expected.entityName + " " + expected.globalIdentifier.value_or("(none)"));
            ASSERT_TRUE(record.changeID->isEqualID(*expected.changeID));
            EXPECT_TRUE(reads.eventsWith[i]->isEqualID(*reads.eventsWithout[i]));
            EXPECT_EQ(record.type, expected.type);
            EXPECT_EQ(record.entityName, expected.entityName);
            EXPECT_EQ(record.globalIdentifier, expected.globalIdentifier);
            EXPECT_EQ(record.globalIdentifierEntityName, expected.globalIdentifierEntityName);
            EXPECT_EQ(record.storeURI, expected.storeURI);
            EXPECT_TRUE(record.valuesRead);
            EXPECT_TRUE(record.storedValues.isNull());  // let go once decoded
            ASSERT_EQ(record.values.size(), expected.values.size());
            for (std::size_t v = 0; v < expected.values.size(); ++v) {
                SCOPED_TRACE(expected.values[v]->propertyName());
                EXPECT_TRUE(record.values[v]->isEqual(*expected.values[v]));
            }
        }
    }

    // What the values of the records hold, to check the reads cover them.
    struct Kinds {
        std::set<int> attributeKinds;
        bool toOne = false, added = false, removed = false, moved = false, large = false;
    };
    static Kinds kindsOf(const std::vector<SYNChangeRecord>& records) {
        Kinds kinds;
        for (const auto& record : records) {
            for (const auto& value : record.values) {
                if (value->value()) {
                    kinds.attributeKinds.insert(static_cast<int>(value->value()->kind()));
                }
                kinds.toOne = kinds.toOne || value->relatedIdentifier().has_value();
                kinds.added = kinds.added || !value->addedIdentifiers().empty();
                kinds.removed = kinds.removed || !value->removedIdentifiers().empty();
                kinds.moved = kinds.moved || !value->movedIdentifiersByIndex().empty();
                kinds.large = kinds.large || value->filename().has_value();
            }
        }
        return kinds;
    }
};

TEST_F(SYNStoredValuesKeptTest, KeptBytesDecodeToTheValuesOfAReadWithValues) {
    Machine& a = addMachine("a");
    populate(a);
    ASSERT_EQ(a.recordSave([](ManagedObjectContext& context) {
        auto playlist = objectWhere(context, "Playlist", "name", Value("mix"));
        auto items = playlist->objectsForKey("items");
        playlist->mutableOrderedSetValueForKey("items").removeObject(items[1]);
        auto canvas = objectWhere(context, "Canvas", "name", Value("board"));
        canvas->mutableSetValueForKey("shapes").removeObject(
            objectWhere(context, "Shape", "name", Value("square")));
    }),
              nullptr);
    const Reads reads = readBothWays(a);
    EXPECT_GT(reads.keptBytes, 10u);
    expectSameRecords(reads);
    const Kinds kinds = kindsOf(reads.withoutValues);
    EXPECT_GE(kinds.attributeKinds.size(), 6u);  // numbers, strings, data, dates, objects, arrays, ...
    EXPECT_TRUE(kinds.toOne);
    EXPECT_TRUE(kinds.added);
    EXPECT_TRUE(kinds.removed);
    EXPECT_TRUE(kinds.moved);
    EXPECT_TRUE(kinds.large);
}

// Values stored in another form are not kept as bytes: they are read again
// from the store when wanted, and come out the same.
TEST_F(SYNStoredValuesKeptTest, KeyedArchivesAreReadAgainFromTheStore) {
    Machine& a = addMachine("a");
    populate(a);
    const Reads compact = readBothWays(a);
    EXPECT_GT(rewriteChangeValuesAsKeyedArchives(a.eventStore()->pathToStoreFile()), 0);
    const Reads keyed = readBothWays(a);
    EXPECT_EQ(keyed.keptBytes, 0u);
    expectSameRecords(keyed);
    ASSERT_EQ(keyed.withoutValues.size(), compact.withoutValues.size());
    for (std::size_t i = 0; i < keyed.withoutValues.size(); ++i) {
        ASSERT_EQ(keyed.withoutValues[i].values.size(), compact.withoutValues[i].values.size());
        for (std::size_t v = 0; v < keyed.withoutValues[i].values.size(); ++v) {
            EXPECT_TRUE(keyed.withoutValues[i].values[v]->isEqual(*compact.withoutValues[i].values[v]));
        }
    }
}

// Kept bytes that do not decode fail the read of the values, as the stored
// row would; a change unsaved in the context gets its values as the context
// shows them, not from the bytes kept.
TEST_F(SYNStoredValuesKeptTest, DamagedBytesFailAndUnsavedChangesWin) {
    Machine& a = addMachine("a");
    populate(a);
    auto events = a.eventStore()->managedObjectContext();
    events->performBlockAndWait([&] {
        events->reset();
        FetchRequest request(SYNObjectChangeEntityName);
        auto read = SYNChangeRecord::fetchStored(request, *events, nullptr, false);
        ASSERT_TRUE(read.ok());
        ASSERT_TRUE(read->has_value());
        std::vector<SYNChangeRecord> records = std::move(**read);
        std::size_t kept = 0;
        while (kept < records.size() && !records[kept].storedValues.isData()) {
            ++kept;
        }
        ASSERT_LT(kept, records.size());
        const plat::Data& bytes = *records[kept].storedValues.asData();
        ASSERT_TRUE(SYNIsCompactPropertyChangeValues(bytes.view()));

        std::vector<SYNChangeRecord> damaged{records[kept]};
        damaged[0].storedValues = Value(plat::Data(bytes.bytes(), bytes.length() - 1));
        EXPECT_NE(SYNChangeRecord::readStoredValues(damaged, *events), nullptr);

        auto change = *events->existingObjectWithID(records[kept].changeID);
        SYNPropertyChangeValue unsaved(SYNPropertyChangeTypeAttribute, "label");
        unsaved.setValue(Value("unsaved"));
        SYNObjectChange::setPropertyChangeValues(*change, {unsaved});
        std::vector<SYNChangeRecord> shown{records[kept]};
        ASSERT_EQ(SYNChangeRecord::readStoredValues(shown, *events), nullptr);
        ASSERT_EQ(shown[0].values.size(), 1u);
        EXPECT_TRUE(shown[0].values[0]->isEqual(unsaved));
        events->rollback();
    });
}

// The scope hands compact bytes back as they are, on its thread only while
// it lives; nested scopes keep it until the outer one ends.
TEST_F(SYNStoredValuesKeptTest, TheScopeKeepsCompactBytesWhileItLives) {
    SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "label");
    value.setValue(Value("text"));
    auto bytes = SYNWriteCompactPropertyChangeValues(std::vector<SYNPropertyChangeValue>{value});
    ASSERT_TRUE(bytes.has_value());
    auto decoded = [&] { return SYNReadCompactPropertyChangeValues(bytes->view()); };
    ASSERT_TRUE(decoded().ok());
    EXPECT_TRUE(decoded()->asArray());
    {
        SYNCompactStoredValuesKeptScope outer;
        {
            SYNCompactStoredValuesKeptScope inner;
            EXPECT_TRUE(SYNCompactStoredValuesKeptScope::isActive());
        }
        auto kept = decoded();
        ASSERT_TRUE(kept.ok());
        ASSERT_TRUE(kept->asData());
        EXPECT_EQ(kept->asData()->view(), bytes->view());
    }
    EXPECT_FALSE(SYNCompactStoredValuesKeptScope::isActive());
    EXPECT_TRUE(decoded()->asArray());
}

// A merge of more changes than are read with their values at once (their
// records keep the values' bytes), for a store of compact values and one of
// keyed archives: the receiver ends as the sender.
TEST_F(SYNStoredValuesKeptTest, AMergeOfManyChangesEndsAsTheSender) {
    LoweredChangeBound bound(40);
    for (bool keyed : {false, true}) {
        SCOPED_TRACE(keyed ? "keyed archives" : "compact values");
        auto [a, b] = twoMachinesSharingABaseline(keyed ? "k" : "c");
        ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
            auto playlist = objectWhere(context, "Playlist", "name", Value("mix"));
            auto items = playlist->mutableOrderedSetValueForKey("items");
            for (std::size_t i = 0; i <= SYNImportedChanges::maximumChanges(); ++i) {
                auto item = context.insertNewObjectForEntityForName("Item");
                item->setValue(Value(static_cast<int64_t>(i % 30000)), "i16");
                item->setValue(Value(static_cast<int64_t>(i)), "i32");
                item->setValue(Value(plat::Decimal::fromInt64(static_cast<int64_t>(i))), "decimal");
                item->setValue(Value(0.5 * static_cast<double>(i)), "real");
                item->setValue(Value("many" + std::to_string(i)), "label");
                item->setValue(Value(i % 3 == 0), "flag");
                item->setValue(Value(plat::Date(static_cast<double>(i))), "when");
                item->setValue(Value(plat::Data::fromString(std::to_string(i))), "blob");
                item->setValue(
                    Value(plat::ObjectPtr(std::make_shared<plat::UUIDObject>(plat::UUID::random()))), "tag");
                if (i % 7 == 0) {
                    items.addObject(item);
                }
            }
            objectWhere(context, "Task", "title", Value("task1"))->setValue(Value("first"), "title");
        }),
                  nullptr);
        copyEvents(*a->eventStore(), *b->eventStore());
        if (keyed) {
            EXPECT_GT(rewriteChangeValuesAsKeyedArchives(b->eventStore()->pathToStoreFile()), 0);
        }
        auto events = b->eventStore()->managedObjectContext();
        events->performBlockAndWait([&] { events->reset(); });
        ASSERT_EQ(b->merge(), nullptr);
        EXPECT_EQ(b->dump(), a->dump());
    }
}

}  // namespace
}  // namespace integrationtest
