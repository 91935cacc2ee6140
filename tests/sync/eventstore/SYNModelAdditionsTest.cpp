#include "sync/eventstore/SYNModelAdditions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using plat::Value;
using plat::coredata::AttributeType;
using plat::coredata::EntityDescription;
using plat::coredata::ManagedObjectModel;

std::vector<std::string> names(const SYNEntityList& entities) {
    std::vector<std::string> out;
    for (const auto* entity : entities) {
        out.push_back(entity->name());
    }
    return out;
}

std::shared_ptr<ManagedObjectModel> fixtureModel(bool extraAttribute = false) {
    auto model = ManagedObjectModel::create();
    model->addEntity("Zed").setUserInfo({{SYNMigrationPriorityKey, Value("5")}});
    model->addEntity("beta").setUserInfo(
        {{SYNMigrationPriorityKey, Value(1)}, {SYNMigrationBatchSizeKey, Value(2)}});
    model->addEntity("Alpha").setUserInfo(
        {{SYNMigrationPriorityKey, Value(1)}, {SYNMigrationBatchSizeKey, Value(-5)}});
    model->addEntity("alpha").setUserInfo(
        {{SYNMigrationPriorityKey, Value(1)}, {SYNMigrationBatchSizeKey, Value("7")}});
    model->addEntity("Ignored").setUserInfo(
        {{SYNIgnoredKey, Value("YES")}, {SYNMigrationPriorityKey, Value(9)}});
    model->addEntity("Base");
    model->addEntity("Other").setSuperentityName("Base");
    model->addEntity("Mid").setSuperentityName("Base");
    model->addEntity("Leaf").setSuperentityName("Mid");

    EntityDescription& calendar = model->addEntity("Calendar");
    calendar.addAttribute("name", AttributeType::String);
    if (extraAttribute) {
        calendar.addAttribute("color", AttributeType::String);
    }
    calendar.addRelationship("tasks", "Task").inverse("calendar").toMany();
    calendar.addRelationship("owner", "Person").inverse("calendar");
    EntityDescription& task = model->addEntity("Task");
    task.addRelationship("calendar", "Calendar").inverse("tasks");
    task.addRelationship("list", "List").inverse("items");
    task.addRelationship("tags", "Tag").inverse("tasks").toMany();
    task.addRelationship("log", "Base");
    task.addRelationship("hidden", "Base").setUserInfo({{SYNIgnoredKey, Value(true)}});
    model->addEntity("List").addRelationship("items", "Task").inverse("list").ordered();
    model->addEntity("Tag").addRelationship("tasks", "Task").inverse("tags").toMany();
    EntityDescription& person = model->addEntity("Person");
    person.addRelationship("spouse", "Person").inverse("spouse");
    person.addRelationship("calendar", "Calendar").inverse("owner");
    EXPECT_EQ(model->finalize(), nullptr);
    return model;
}

TEST(SYNModelAdditionsTest, EntitiesComeByPriorityThenByNameIgnoringCaseWithoutIgnoredOnes) {
    auto model = fixtureModel();
    auto ordered = names(syn_entitiesOrderedByMigrationPriority(*model));
    ASSERT_GE(ordered.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(ordered.begin(), ordered.begin() + 4),
              (std::vector<std::string>{"Zed", "Alpha", "alpha", "beta"}));
    EXPECT_EQ(std::count(ordered.begin(), ordered.end(), "Ignored"), 0);
    EXPECT_EQ(ordered.size(), model->entityCount() - 1);
    // The priority-0 rest, by name.
    EXPECT_EQ(ordered[4], "Base");
    EXPECT_EQ(ordered.back(), "Task");

    EXPECT_EQ(syn_migrationBatchSize(*model->entityNamed("beta")), 2);
    EXPECT_EQ(syn_migrationBatchSize(*model->entityNamed("Alpha")), 0);
    EXPECT_EQ(syn_migrationBatchSize(*model->entityNamed("alpha")), 7);
    EXPECT_EQ(syn_migrationBatchSize(*model->entityNamed("Zed")), 0);
}

TEST(SYNModelAdditionsTest, DescendantsAreDepthFirstAndAncestorsNearestFirst) {
    auto model = fixtureModel();
    EXPECT_EQ(names(syn_descendantEntities(*model->entityNamed("Base"))),
              (std::vector<std::string>{"Mid", "Leaf", "Other"}));
    EXPECT_TRUE(syn_descendantEntities(*model->entityNamed("Leaf")).empty());
    EXPECT_EQ(names(syn_ancestorEntities(*model->entityNamed("Leaf"))),
              (std::vector<std::string>{"Mid", "Base"}));
    EXPECT_TRUE(syn_ancestorEntities(*model->entityNamed("Base")).empty());
}

TEST(SYNModelAdditionsTest, ModelHashesAreStableForEqualModelsAndChangeWithTheModel) {
    auto first = fixtureModel();
    auto hash = syn_compressedModelHash(*first);
    ASSERT_EQ(hash.size(), 3u + 32u);
    EXPECT_EQ(hash.substr(0, 3), "md5");
    EXPECT_EQ(hash.substr(3).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(syn_compressedModelHash(*fixtureModel()), hash);
    EXPECT_NE(syn_compressedModelHash(*fixtureModel(true)), hash);

    Value list = syn_entityHashesPropertyList(*first);
    ASSERT_TRUE(list.isDictionary());
    EXPECT_EQ(list.count(), first->entityCount());
    ASSERT_NE(list.find("Calendar"), nullptr);
    EXPECT_EQ(*list.find("Calendar")->asData(), first->entityNamed("Calendar")->versionHash());
}

TEST(SYNModelAdditionsTest, ExactlyOneSideOfEachPairIsWrittenAndIgnoredOnesNever) {
    auto model = fixtureModel();
    auto redundant = [&](const char* entity, const char* name) {
        return syn_isRedundantRelationship(*model->entityNamed(entity)->relationshipNamed(name));
    };
    // to-many against to-one: the to-one carries the link.
    EXPECT_TRUE(redundant("Calendar", "tasks"));
    EXPECT_FALSE(redundant("Task", "calendar"));
    // ordered to-many against to-one: the ordered side carries the order.
    EXPECT_FALSE(redundant("List", "items"));
    EXPECT_TRUE(redundant("Task", "list"));
    // Equal sides: the later name is redundant.
    EXPECT_FALSE(redundant("Calendar", "owner"));  // "Calendar.owner" < "Person.calendar"
    EXPECT_TRUE(redundant("Person", "calendar"));
    EXPECT_FALSE(redundant("Tag", "tasks"));  // "Tag.tasks" < "Task.tags"
    EXPECT_TRUE(redundant("Task", "tags"));
    // No inverse, or its own inverse.
    EXPECT_FALSE(redundant("Task", "log"));
    EXPECT_FALSE(redundant("Person", "spouse"));

    const EntityDescription& task = *model->entityNamed("Task");
    SYNEntityList all;
    for (const auto& entity : model->entities()) {
        all.push_back(model->entityNamed(entity->name()));
    }
    std::vector<std::string> kept;
    for (const auto* r : syn_nonRedundantRelationshipsDestinedForEntities(task, all)) {
        kept.push_back(r->name());
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"calendar", "log"}));
    SYNEntityList onlyBase{model->entityNamed("Base")};
    EXPECT_EQ(syn_nonRedundantRelationshipsDestinedForEntities(task, onlyBase).size(), 1u);
    EXPECT_TRUE(syn_nonRedundantRelationshipsDestinedForEntities(task, {}).empty());
}

}  // namespace
