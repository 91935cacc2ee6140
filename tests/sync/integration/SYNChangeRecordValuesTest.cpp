// Reading the values of change records read without them: every record of a
// change gets that change's values, whether the change stands in the records
// once or several times, as stored or as the context shows it.
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNIntegrationStage.h"

using plat::Value;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

namespace integrationtest {
namespace {

class SYNChangeRecordValuesTest : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        events = addMachine("m").eventStore()->managedObjectContext();
        events->performBlockAndWait([&] {
            event = events->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("remote"), "uniqueIdentifier");
            event->setValue(Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
            event->setValue(Value(int64_t{1}), "globalCount");
            event->setValue(Value(1.0), "timestamp");
        });
    }

    // A change (unsaved) setting "label" to `label`.
    ManagedObjectPtr change(const std::string& label) {
        auto made = events->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        made->setValue(Value(int64_t{SYNObjectChangeTypeUpdate}), "type");
        made->setValue(Value("Item"), "nameOfEntity");
        made->setObject(event, "storeModificationEvent");
        SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "label");
        value.setValue(Value(label));
        SYNObjectChange::setPropertyChangeValues(*made, {value});
        return made;
    }

    static SYNChangeRecord unread(const ManagedObjectIDPtr& changeID) {
        SYNChangeRecord record;
        record.changeID = changeID;
        record.valuesRead = false;
        return record;
    }

    static std::string label(const SYNChangeRecord& record) {
        EXPECT_TRUE(record.valuesRead);
        if (record.values.size() != 1 || !record.values[0]->value()) {
            return "(none)";
        }
        return *record.values[0]->value()->asString();
    }

    std::shared_ptr<plat::coredata::ManagedObjectContext> events;
    ManagedObjectPtr event;
};

TEST_F(SYNChangeRecordValuesTest, EveryRecordOfAChangeGetsItsValues) {
    events->performBlockAndWait([&] {
        std::vector<ManagedObjectPtr> changes{change("a"), change("b"), change("c"), change("gone")};
        auto saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
        events->deleteObject(changes[3]);
        saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
        for (bool unsaved : {false, true}) {
            SCOPED_TRACE(unsaved ? "a change unsaved in the context" : "stored rows");
            if (unsaved) {
                SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "label");
                value.setValue(Value("b2"));
                SYNObjectChange::setPropertyChangeValues(*changes[1], {value});
            }
            // "a" three times, "b" twice; one record already read keeps its
            // values; a change gone from the store gets none.
            std::vector<SYNChangeRecord> records{
                unread(changes[0]->objectID()), unread(changes[1]->objectID()),
                unread(changes[0]->objectID()), unread(changes[3]->objectID()),
                unread(changes[2]->objectID()), unread(changes[1]->objectID()),
                unread(changes[0]->objectID())};
            records[4].valuesRead = true;
            ASSERT_EQ(SYNChangeRecord::readStoredValues(records, *events), nullptr);
            const std::string b = unsaved ? "b2" : "b";
            EXPECT_EQ(label(records[0]), "a");
            EXPECT_EQ(label(records[1]), b);
            EXPECT_EQ(label(records[2]), "a");
            EXPECT_TRUE(records[3].valuesRead);
            EXPECT_TRUE(records[3].values.empty());
            EXPECT_TRUE(records[4].values.empty());  // left as it was
            EXPECT_EQ(label(records[5]), b);
            EXPECT_EQ(label(records[6]), "a");
            // The records of one change share its decoded values.
            EXPECT_EQ(records[0].values[0], records[6].values[0]);
        }
    });
}

}  // namespace
}  // namespace integrationtest
