// The order of the changes in exported event files: by the bytes of their
// global identifier, a change without one first, changes of one identifier
// as they were made. An event read in one fetch and one read entity by
// entity must give the same files.
#include <gtest/gtest.h>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;

class SYNEventExportOrderTest : public EventFileTest {
  protected:
    // The Person changes of the exported files as "identifier/name".
    std::vector<std::string> exportedPersons(
        const plat::coredata::ManagedObjectIDPtr& id,
        std::shared_ptr<const plat::coredata::ManagedObjectModel> model) {
        auto operation = std::make_shared<SYNJSONEventExport>(source, id, std::move(model));
        run(operation);
        EXPECT_EQ(operation->error(), nullptr);
        std::vector<std::string> persons;
        for (const auto& file : operation->filePaths()) {
            auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(file);
            EXPECT_TRUE(object.ok());
            if (!object.ok()) {
                continue;
            }
            for (const auto& person : *object->find("changesByEntity")->find("Person")->asArray()) {
                std::string name;
                for (const auto& property : *person.find("properties")->asArray()) {
                    if (const Value* value = property.find("value"); value && value->isString()) {
                        name = *value->asString();
                    }
                }
                persons.push_back(*person.find("globalIdentifier")->asString() + "/" + name);
            }
        }
        return persons;
    }
};

TEST_F(SYNEventExportOrderTest, AnEventReadWholeKeepsTheOrderOfOneReadByEntity) {
    // Made out of order: identifiers differing in case and beyond ASCII, one
    // identifier changed three times, one change without an identifier.
    const std::vector<std::pair<std::string, std::string>> made{{"b", "1"},    {"\xC3\xA9t\xC3\xA9", "2"},
                                                                {"SAME", "3"}, {"A", "4"},
                                                                {"", "none"},  {"SAME", "5"},
                                                                {"a", "6"},    {"Z9", "7"},
                                                                {"SAME", "8"}, {"B", "9"}};
    auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        EventWriter writer(context);
        auto event =
            writer.event("ORDER", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(source), 1});
        for (const auto& [gid, name] : made) {
            auto change = writer.change(event, gid.empty() ? "GONE" : gid, SYNObjectChangeTypeUpdate,
                                        {attribute("name", Value(name))});
            if (gid.empty()) {
                change->setObject(nullptr, "globalIdentifier");
            }
        }
        // Enough Pet changes that the event no longer fits one batch of
        // Person changes (20 in the small-batch model).
        for (int i = 0; i < 15; ++i) {
            writer.change(event, "PET" + std::to_string(i), SYNObjectChangeTypeInsert, {}, "Pet");
        }
        EXPECT_EQ(context.save(), nullptr);
        return event->objectID();
    });
    const std::vector<std::string> expected{"/none",  "A/4",  "B/9", "SAME/3", "SAME/5",
                                            "SAME/8", "Z9/7", "a/6", "b/1",    "\xC3\xA9t\xC3\xA9/2"};
    // Read whole: 25 changes within one batch of every entity.
    EXPECT_EQ(exportedPersons(id, applicationModel()), expected);
    // Read by entity: 25 changes are more than the smallest batch.
    EXPECT_EQ(exportedPersons(id, smallBatchModel()), expected);
    // Read whole again with none of the identifier records loaded, then with
    // every other one loaded: the texts come from the records as read or as
    // loaded, in the same order.
    for (const int loadedEvery : {0, 2}) {
        inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            context.reset();
            if (loadedEvery == 0) {
                return;
            }
            // Registered unread; every other one is then read.
            plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
            request.includesPropertyValues = false;
            auto records = context.executeFetchRequest(request);
            ASSERT_TRUE(records.ok());
            for (std::size_t i = 0; i < records->size(); i += loadedEvery) {
                ASSERT_TRUE((*records)[i]->valueForKey("globalIdentifier").isString());
            }
        });
        EXPECT_EQ(exportedPersons(id, applicationModel()), expected) << "every " << loadedEvery << " loaded";
    }
}

}  // namespace
