#include "sync/eventstore/SYNEventStoreModel.h"

#include <gtest/gtest.h>

#include "platform/coredata/ValueTransformer.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace {

using plat::coredata::AttributeType;
using plat::coredata::DeleteRule;

const plat::coredata::RelationshipDescription& relationship(const char* entity, const char* name) {
    const auto* found = SYNEventStoreModel()->entityNamed(entity)->relationshipNamed(name);
    EXPECT_NE(found, nullptr) << entity << "." << name;
    return *found;
}

TEST(SYNEventStoreModelTest, EntitiesAttributesAndRelationshipsAreThoseEventsAreStoredIn) {
    auto model = SYNEventStoreModel();
    EXPECT_EQ(model, SYNEventStoreModel());
    EXPECT_EQ(model->entityCount(), 5u);
    const auto* event = model->entityNamed("SYNStoreModificationEvent");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->attributeNamed("type")->attributeType(), AttributeType::Integer16);
    EXPECT_EQ(event->attributeNamed("globalCount")->attributeType(), AttributeType::Integer64);
    EXPECT_EQ(event->attributeNamed("timestamp")->attributeType(), AttributeType::Double);
    EXPECT_TRUE(event->attributeNamed("modelVersion")->isOptional());
    EXPECT_EQ(model->entityNamed("SYNEventRevision")->attributeNamed("revisionNumber")->attributeType(),
              AttributeType::Integer64);

    // Deleting an event takes its revisions, changes and their data files along.
    EXPECT_EQ(relationship("SYNStoreModificationEvent", "eventRevision").deleteRule(), DeleteRule::Cascade);
    EXPECT_FALSE(relationship("SYNStoreModificationEvent", "eventRevision").isToMany());
    EXPECT_EQ(relationship("SYNStoreModificationEvent", "eventRevisionsOfOtherStores").deleteRule(),
              DeleteRule::Cascade);
    EXPECT_EQ(relationship("SYNStoreModificationEvent", "objectChanges").deleteRule(), DeleteRule::Cascade);
    EXPECT_EQ(relationship("SYNObjectChange", "dataFiles").deleteRule(), DeleteRule::Cascade);
    EXPECT_EQ(relationship("SYNObjectChange", "globalIdentifier").deleteRule(), DeleteRule::Nullify);
    EXPECT_EQ(relationship("SYNEventRevision", "storeModificationEventForOtherStores").inverseRelationship(),
              &relationship("SYNStoreModificationEvent", "eventRevisionsOfOtherStores"));
    EXPECT_EQ(relationship("SYNDataFile", "objectChange").inverseRelationship(),
              &relationship("SYNObjectChange", "dataFiles"));

    // What binary event files leave out.
    const auto* identifier = model->entityNamed("SYNGlobalIdentifier");
    EXPECT_TRUE(plat::coredata::userInfoBool(identifier->attributeNamed("storeURI")->userInfo(),
                                             "excludeFromMigration"));
    EXPECT_TRUE(plat::coredata::userInfoBool(relationship("SYNGlobalIdentifier", "objectChanges").userInfo(),
                                             "excludeFromMigration"));
    EXPECT_FALSE(plat::coredata::userInfoBool(identifier->attributeNamed("globalIdentifier")->userInfo(),
                                              "excludeFromMigration"));

    const auto* values = model->entityNamed("SYNObjectChange")->attributeNamed("propertyChangeValues");
    EXPECT_EQ(values->attributeType(), AttributeType::Transformable);
    EXPECT_EQ(values->valueTransformerName(), SYNPropertyChangeValuesTransformerName);
}

TEST(SYNEventStoreModelTest, ChangeValuesAreStoredThroughTheirNamedTransformer) {
    SYNEventStoreModel();
    SYNPropertyChangeValue title(SYNPropertyChangeTypeAttribute, "title");
    title.setValue(plat::Value("Buy milk"));
    SYNPropertyChangeValue tasks(SYNPropertyChangeTypeToManyRelationship, "tasks");
    tasks.setAddedIdentifiers({"T1", "T2"});
    const plat::Value list(plat::Array{plat::Value(std::make_shared<const SYNPropertyChangeValue>(title)),
                                       plat::Value(std::make_shared<const SYNPropertyChangeValue>(tasks))});

    auto stored = plat::coredata::encodeTransformable(list, SYNPropertyChangeValuesTransformerName);
    ASSERT_TRUE(stored.ok()) << stored.error()->description();
    auto restored = plat::coredata::decodeTransformable(*stored, SYNPropertyChangeValuesTransformerName);
    ASSERT_TRUE(restored.ok()) << restored.error()->description();
    EXPECT_EQ(*restored, list);

    EXPECT_FALSE(plat::coredata::encodeTransformable(plat::Value(plat::Array{plat::Value("x")}),
                                                     SYNPropertyChangeValuesTransformerName)
                     .ok());
    EXPECT_FALSE(
        plat::coredata::encodeTransformable(plat::Value("x"), SYNPropertyChangeValuesTransformerName).ok());
    EXPECT_FALSE(plat::coredata::decodeTransformable(plat::Data::fromString("junk"),
                                                     SYNPropertyChangeValuesTransformerName)
                     .ok());
}

TEST(SYNEventStoreModelTest, WhatAStoreMayRememberOfChangeValuesIsWhatReadingThemBackGives) {
    SYNEventStoreModel();
    auto transformer =
        plat::coredata::ValueTransformer::valueTransformerForName(SYNPropertyChangeValuesTransformerName);
    ASSERT_NE(transformer, nullptr);
    EXPECT_TRUE(transformer->valuesMayBeRemembered());

    SYNPropertyChangeValue title(SYNPropertyChangeTypeAttribute, "title");
    title.setValue(plat::Value("Buy milk"));
    title.setObjectID(std::make_shared<const SYNPropertyChangeValue>(0, "a working field"));
    SYNPropertyChangeValue cleared(SYNPropertyChangeTypeAttribute, "notes");
    SYNPropertyChangeValue folder(SYNPropertyChangeTypeToOneRelationship, "folder");
    folder.setRelatedIdentifier(std::string("F1"));
    SYNPropertyChangeValue tasks(SYNPropertyChangeTypeToManyRelationship, "tasks");
    tasks.setAddedIdentifiers({"T1", "T2"});
    tasks.setRemovedIdentifiers({"T3"});
    SYNPropertyChangeValue steps(SYNPropertyChangeTypeOrderedToManyRelationship, "steps");
    steps.setMovedIdentifiersByIndex({{0, "S2"}, {1, "S1"}});
    SYNPropertyChangeValue picture(SYNPropertyChangeTypeAttribute, "picture");
    picture.setFilename(std::string("large-value-file"));
    plat::Array items;
    for (const auto* change : {&title, &cleared, &folder, &tasks, &steps, &picture}) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(*change));
    }
    const plat::Value list(std::move(items));

    auto readBack = transformer->valueAsReadBack(list);
    ASSERT_TRUE(readBack.has_value());
    auto stored = transformer->transformedValue(list);
    ASSERT_TRUE(stored.ok());
    auto decoded = transformer->reverseTransformedValue(*stored);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*readBack, *decoded);
    EXPECT_EQ(*readBack, list);
    // Copies without the working fields, as a read gives them.
    const auto* copies = readBack->asArray();
    ASSERT_NE(copies, nullptr);
    ASSERT_EQ(copies->size(), 6u);
    auto first = (*copies)[0].asObjectOf<SYNPropertyChangeValue>();
    EXPECT_EQ(first->objectID(), nullptr);
    EXPECT_NE(first.get(), (*list.asArray())[0].asObjectOf<SYNPropertyChangeValue>().get());

    // Without working fields the list itself is what a read gives.
    const plat::Value plain(plat::Array{plat::Value(std::make_shared<const SYNPropertyChangeValue>(folder)),
                                        plat::Value(std::make_shared<const SYNPropertyChangeValue>(tasks))});
    auto same = transformer->valueAsReadBack(plain);
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ((*same->asArray())[0].asObjectOf<SYNPropertyChangeValue>().get(),
              (*plain.asArray())[0].asObjectOf<SYNPropertyChangeValue>().get());
    EXPECT_EQ(*same, *transformer->reverseTransformedValue(*transformer->transformedValue(plain)));

    // Values the archive may give back in another form are left to be decoded.
    for (const plat::Value& value : {plat::Value(int64_t{7}), plat::Value(2.5),
                                     plat::Value(plat::Data::fromString("x")), plat::Value()}) {
        SYNPropertyChangeValue other(SYNPropertyChangeTypeAttribute, "other");
        other.setValue(value);
        const plat::Value one(
            plat::Array{plat::Value(std::make_shared<const SYNPropertyChangeValue>(other))});
        EXPECT_FALSE(transformer->valueAsReadBack(one).has_value()) << value.description();
    }
    EXPECT_FALSE(transformer->valueAsReadBack(plat::Value("not a list")).has_value());
}

}  // namespace
