// The text of an exported event file: each change's and each property's
// members in the order other machines' files have them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "EventFileFixture.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SYNEventFileLayoutTest : public EventFileTest {};

TEST_F(SYNEventFileLayoutTest, MembersOfChangesAndPropertiesKeepTheirOrder) {
    auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        EventWriter writer(context);
        auto event = writer.event("LAYOUT", SYNStoreModificationEventTypeBaseline, 4,
                                  SYNRevision{storeID(source), 2}, revisions({{"OTHER-STORE", 5}}));
        SYNPropertyChangeValue photo(SYNPropertyChangeTypeAttribute, "photo");
        photo.setFilename("F1");
        SYNPropertyChangeValue owner(SYNPropertyChangeTypeToOneRelationship, "owner");
        owner.setRelatedIdentifier("O1");
        SYNPropertyChangeValue pets(SYNPropertyChangeTypeOrderedToManyRelationship, "pets");
        pets.setAddedIdentifiers({"A1", "A2"});
        pets.setRemovedIdentifiers({"B1"});
        pets.setMovedIdentifiersByIndex({{0, "A2"}, {12, "A1"}});
        writer.insert(event, "R1", {photo, owner, pets, attribute("name", Value("recorded"))},
                      {"OTHER-STORE", 3});
        writer.change(event, "U1", SYNObjectChangeTypeUpdate, {attribute("age", Value(int64_t{7}))});
        EXPECT_EQ(context.save(), nullptr);
        return event->objectID();
    });
    auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
    run(operation);
    ASSERT_EQ(operation->error(), nullptr);
    ASSERT_EQ(operation->filePaths().size(), 1u);
    const std::string text = contentsOf(operation->filePaths().front());

    const std::vector<std::string> expected{
        R"({"type":100,"globalIdentifier":"R1","dataFiles":["F1"],)"
        R"("valuesRevision":{"storeIdentifier":"OTHER-STORE","revisionNumber":3},"properties":[)",
        R"({"propertyName":"photo","type":0,"filename":"F1"})",
        R"({"propertyName":"owner","type":1,"relatedIdentifier":"O1"})",
        R"({"propertyName":"pets","type":3,"addedIdentifiers":["A1","A2"],"removedIdentifiers":["B1"],)"
        R"("movedIdentifiersByIndex":{"0":"A2","12":"A1"}})",
        R"({"propertyName":"name","type":0,"value":"recorded"})",
        R"({"type":200,"globalIdentifier":"U1","properties":[{"propertyName":"age","type":0,"value":7}]})",
    };
    for (const auto& part : expected) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
    }
}

}  // namespace
