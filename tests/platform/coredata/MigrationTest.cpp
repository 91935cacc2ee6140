#include "platform/coredata/Migration.h"

#include "SQLiteStoreTestSupport.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using MigrationTest = testing::SQLiteFileTest;

// Version 1: Note (text, scratch) <-> Folder.notes; Old (kept only in v1).
std::shared_ptr<ManagedObjectModel> version1() {
    auto model = ManagedObjectModel::create();
    auto& note = model->addEntity("Note");
    note.addAttribute("text", AttributeType::String);
    note.addAttribute("scratch", AttributeType::Integer32);
    note.addRelationship("folder", "Folder").inverse("notes");
    auto& folder = model->addEntity("Folder");
    folder.addAttribute("name", AttributeType::String);
    folder.addRelationship("notes", "Note").toMany().inverse("folder");
    model->addEntity("Old").addAttribute("x", AttributeType::String);
    return model;
}

// Version 2: Note loses scratch, gains priority (default 3, or required
// without default) and tags; Old is gone; Tag and a sub-entity of Note are
// new. textType other than string changes a kept attribute's type.
std::shared_ptr<ManagedObjectModel> version2(AttributeType textType = AttributeType::String,
                                             bool priorityRequired = false) {
    auto model = ManagedObjectModel::create();
    auto& note = model->addEntity("Note");
    note.addAttribute("text", textType);
    auto& priority = note.addAttribute("priority", AttributeType::Integer16).optional(!priorityRequired);
    if (!priorityRequired)
        priority.setDefaultValue(Value(3));
    note.addRelationship("folder", "Folder").inverse("notes");
    note.addRelationship("tags", "Tag").toMany().inverse("notes");
    model->addEntity("Memo").setSuperentityName("Note");
    auto& folder = model->addEntity("Folder");
    folder.addAttribute("name", AttributeType::String);
    folder.addRelationship("notes", "Note").toMany().inverse("folder");
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("name", AttributeType::String);
    tag.addRelationship("notes", "Note").toMany().inverse("tags");
    return model;
}

std::string fillVersion1(const std::shared_ptr<PersistentStoreCoordinator>& coordinator) {
    auto context = testing::SQLiteFileTest::contextOn(coordinator);
    auto folder = context->insertNewObjectForEntityForName("Folder");
    folder->setValue(Value("inbox"), "name");
    for (int i = 0; i < 3; ++i) {
        auto note = context->insertNewObjectForEntityForName("Note");
        note->setValue(Value("n" + std::to_string(i)), "text");
        note->setValue(Value(i), "scratch");
        note->setObject(folder, "folder");
    }
    context->insertNewObjectForEntityForName("Old")->setValue(Value("gone"), "x");
    EXPECT_EQ(context->save(), nullptr);
    return folder->objectID()->URIRepresentation().absoluteString();
}

TEST_F(MigrationTest, AStoreOfAnotherModelOpensOnlyWithBothOptions) {
    std::string folderURI = fillVersion1(open(version1()));
    const std::string uuid = open(version1())->persistentStores()[0]->identifier();

    auto refused = openError(version2());
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), PersistentStoreIncompatibleVersionHashError);
    Dictionary automaticOnly;
    automaticOnly.set(MigratePersistentStoresAutomaticallyOption, Value(true));
    refused = openError(version2(), automaticOnly);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), MigrationMissingMappingModelError);

    auto coordinator = open(version2(), migrationOptions());
    auto store = coordinator->persistentStores().at(0);
    EXPECT_EQ(store->identifier(), uuid);  // URIs stay valid
    EXPECT_EQ(store->metadata().find(StoreModelVersionHashesKey)->count(), 4u);
    auto context = contextOn(coordinator);
    auto folder = context->existingObjectWithID(coordinator->managedObjectIDForURIRepresentation(folderURI));
    ASSERT_TRUE(folder);
    auto notes = fetchAll(context, makeRequest("Note", nullptr, {SortDescriptor("text")}));
    ASSERT_EQ(notes.size(), 3u);
    for (std::size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(notes[i]->valueForKey("text"), Value("n" + std::to_string(i)));
        EXPECT_EQ(notes[i]->valueForKey("priority"), Value(3));  // the added attribute's default
        EXPECT_EQ(notes[i]->objectForKey("folder"), *folder);
    }
    EXPECT_THROW(notes[0]->valueForKey("scratch"), ModelException);
    // New entities and relationships work, and keys go on from the old ones.
    auto tag = context->insertNewObjectForEntityForName("Tag");
    tag->mutableSetValueForKey("notes").addObject(notes[0]);
    auto memo = context->insertNewObjectForEntityForName("Memo");
    memo->setValue(Value("m"), "text");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_GT(memo->objectID()->primaryKey(), notes[2]->objectID()->primaryKey());

    // The file now is a version-2 store: no options needed, version 1 refused.
    auto reopened = contextOn(open(version2()));
    EXPECT_EQ(reopened->countForFetchRequest(makeRequest("Note")).value(), 4u);
    EXPECT_EQ(fetchAll(reopened, makeRequest("Tag"))[0]->objectsForKey("notes").size(), 1u);
    EXPECT_EQ(openError(version1())->code(), PersistentStoreIncompatibleVersionHashError);
}

TEST_F(MigrationTest, MappingsThatCannotBeInferredLeaveTheFileAsItWas) {
    fillVersion1(open(version1()));
    for (auto model : {version2(AttributeType::Integer64), version2(AttributeType::String, true)}) {
        auto error = openError(model, migrationOptions());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), InferredMappingModelError) << error->description();
    }
    auto context = contextOn(open(version1()));
    EXPECT_EQ(context->countForFetchRequest(makeRequest("Note")).value(), 3u);
    EXPECT_EQ(context->countForFetchRequest(makeRequest("Old")).value(), 1u);
}

TEST_F(MigrationTest, InferredMappingsMatchEntitiesAndPropertiesByName) {
    auto from = version1();
    auto to = version2();
    ASSERT_EQ(from->finalize(), nullptr);
    ASSERT_EQ(to->finalize(), nullptr);
    auto mapping = MappingModel::inferredMappingModel(*from, *to);
    ASSERT_TRUE(mapping) << mapping.error()->description();
    const EntityDescription& note = *to->entityNamed("Note");
    EXPECT_EQ(mapping->sourceEntityFor(note), from->entityNamed("Note"));
    EXPECT_EQ(mapping->sourceEntityFor(*to->entityNamed("Tag")), nullptr);
    EXPECT_EQ(mapping->sourcePropertyFor(*note.propertyNamed("text")),
              from->entityNamed("Note")->propertyNamed("text"));
    EXPECT_EQ(mapping->sourcePropertyFor(*note.propertyNamed("priority")), nullptr);

    // A changed super-entity or a changed relationship is not lightweight.
    auto changedSuper = ManagedObjectModel::create();
    changedSuper->addEntity("Base");
    auto& n = changedSuper->addEntity("Note");
    n.setSuperentityName("Base");
    ASSERT_EQ(changedSuper->finalize(), nullptr);
    auto refused = MappingModel::inferredMappingModel(*from, *changedSuper);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error()->code(), InferredMappingModelError);

    auto changedRelationship = ManagedObjectModel::create();
    auto& note2 = changedRelationship->addEntity("Note");
    note2.addRelationship("folder", "Folder").toMany();
    changedRelationship->addEntity("Folder");
    ASSERT_EQ(changedRelationship->finalize(), nullptr);
    EXPECT_FALSE(MappingModel::inferredMappingModel(*from, *changedRelationship));
}

// Removing the to-one side of a one-to-many relationship would move its
// contents from the members' rows to a join table: not lightweight, and
// refused rather than emptied.
TEST_F(MigrationTest, RelationshipsWhoseStorageWouldMoveAreRefusedNotEmptied) {
    auto model = [](bool withToOne) {
        auto m = ManagedObjectModel::create();
        auto& folder = m->addEntity("Folder");
        folder.addRelationship("notes", "Note").toMany();  // inverse named on the other side
        auto& note = m->addEntity("Note");
        note.addAttribute("text", AttributeType::String);
        if (withToOne)
            note.addRelationship("folder", "Folder").inverse("notes");
        return m;
    };
    {
        auto context = contextOn(open(model(true)));
        auto folder = context->insertNewObjectForEntityForName("Folder");
        for (int i = 0; i < 2; ++i)
            folder->mutableSetValueForKey("notes").addObject(
                context->insertNewObjectForEntityForName("Note"));
        ASSERT_EQ(context->save(), nullptr);
    }
    auto error = openError(model(false), migrationOptions());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), InferredMappingModelError) << error->description();
    auto context = contextOn(open(model(true)));
    auto folders = fetchAll(context, makeRequest("Folder"));
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0]->objectsForKey("notes").size(), 2u);
}

}  // namespace
}  // namespace plat::coredata
