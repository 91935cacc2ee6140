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

}  // namespace
