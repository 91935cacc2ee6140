// The identifiers a batch of changes names, listed per entity for the
// look-up: each once, in the order first named. Short lists are searched as
// they are and a set is made only past a few entries; whatever the count,
// duplicates placed before and after that point, the lists must be those a
// plain set-based listing gives.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNIntegrationStage.h"

namespace integrationtest {
namespace {

class ListingStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::globalIdentifierStringsByEntityNameInObjectChanges;
    using SYNIntegrationStage::SYNIntegrationStage;

  protected:
    plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs&) override { return nullptr; }
};

using Lists = std::map<std::string, std::vector<std::string>>;

// The listing written the plain way: every identifier goes through a set.
Lists listedWithSets(const SYNChangeRecords& changes) {
    std::map<std::string, std::set<std::string>> seen;
    Lists lists;
    auto add = [&](const std::string& entity, const std::string& identifier) {
        if (seen[entity].insert(identifier).second) {
            lists[entity].push_back(identifier);
        }
    };
    for (const auto& change : changes) {
        if (change.globalIdentifier) {
            add(change.entityName, *change.globalIdentifier);
        }
        for (const auto& value : change.values) {
            // Task.parent and Task.subtasks name tasks; Canvas.shapes names
            // shapes, filed under Shape and its sub-entity Circle.
            std::vector<std::string> targets{"Task"};
            if (value->propertyName() == "shapes") {
                targets = {"Circle", "Shape"};
            }
            for (const auto& target : targets) {
                if (value->relatedIdentifier()) {
                    add(target, *value->relatedIdentifier());
                }
                for (const auto& identifier : value->addedIdentifiers()) {
                    add(target, identifier);
                }
                for (const auto& identifier : value->removedIdentifiers()) {
                    add(target, identifier);
                }
            }
        }
    }
    return lists;
}

// Changes of tasks and canvases naming identifiers drawn from a pool of
// `pool`, so that many repeat.
SYNChangeRecords randomChanges(std::mt19937& random, std::size_t count, std::size_t pool) {
    auto identifier = [&] { return "id" + std::to_string(random() % pool); };
    SYNChangeRecords changes;
    for (std::size_t i = 0; i < count; ++i) {
        SYNChangeRecord change;
        change.type = SYNObjectChangeTypeUpdate;
        const bool canvas = random() % 4 == 0;
        change.entityName = canvas ? "Canvas" : "Task";
        if (random() % 8 != 0) {
            change.globalIdentifier = identifier();
        }
        if (canvas) {
            auto shapes =
                std::make_shared<SYNPropertyChangeValue>(SYNPropertyChangeTypeToManyRelationship, "shapes");
            std::set<std::string> added, removed;
            for (std::size_t n = random() % 4; n > 0; --n) {
                added.insert(identifier());
            }
            for (std::size_t n = random() % 3; n > 0; --n) {
                removed.insert(identifier());
            }
            shapes->setAddedIdentifiers(added);
            shapes->setRemovedIdentifiers(removed);
            change.values.push_back(shapes);
        } else {
            if (random() % 2 == 0) {
                auto parent = std::make_shared<SYNPropertyChangeValue>(SYNPropertyChangeTypeToOneRelationship,
                                                                       "parent");
                parent->setRelatedIdentifier(identifier());
                change.values.push_back(parent);
            }
            if (random() % 3 == 0) {
                auto subtasks = std::make_shared<SYNPropertyChangeValue>(
                    SYNPropertyChangeTypeToManyRelationship, "subtasks");
                std::set<std::string> added;
                for (std::size_t n = random() % 5; n > 0; --n) {
                    added.insert(identifier());
                }
                subtasks->setAddedIdentifiers(added);
                change.values.push_back(subtasks);
            }
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

class SYNIdentifierListsTest : public IntegrationTest {};

TEST_F(SYNIdentifierListsTest, ListsAreThoseOfASetBasedListingAtEverySize) {
    Machine& machine = addMachine("m");
    auto builder = std::make_shared<SYNEventBuilder>(machine.eventStore());
    ListingStage stage(builder, {}, machine.newContext(), 0);
    std::mt19937 random(1234);
    std::size_t crossed = 0;  // lists that went past the searched length
    for (std::size_t count = 0; count <= 48; ++count) {
        for (std::size_t pool : {3u, 12u, 17u, 40u, 200u}) {
            SCOPED_TRACE("changes " + std::to_string(count) + ", pool " + std::to_string(pool));
            const auto changes = randomChanges(random, count, pool);
            Lists listed;
            for (const auto& [entity, identifiers] :
                 stage.globalIdentifierStringsByEntityNameInObjectChanges(changes, nullptr)) {
                auto& list = listed[entity];
                list.assign(identifiers.begin(), identifiers.end());
                crossed += list.size() > 16 ? 1 : 0;
            }
            // Entities named without identifiers may be listed empty.
            for (auto it = listed.begin(); it != listed.end();) {
                it = it->second.empty() ? listed.erase(it) : std::next(it);
            }
            EXPECT_EQ(listed, listedWithSets(changes));
        }
    }
    EXPECT_GT(crossed, 20u);
}

// A filter keeps the values of the relationships it names, and the changes'
// own identifiers.
TEST_F(SYNIdentifierListsTest, AFilterLeavesOutOtherRelationships) {
    Machine& machine = addMachine("m");
    auto builder = std::make_shared<SYNEventBuilder>(machine.eventStore());
    ListingStage stage(builder, {}, machine.newContext(), 0);
    std::mt19937 random(99);
    const auto model = machine.integrator()->managedObjectModel();
    ASSERT_NE(model, nullptr);
    const auto* parent = model->entityForName("Task")->relationshipNamed("parent");
    ASSERT_NE(parent, nullptr);
    const SYNRelationshipList onlyParent{parent};
    for (std::size_t count : {5u, 20u, 40u}) {
        auto changes = randomChanges(random, count, 25);
        auto filtered = changes;
        for (auto& change : filtered) {
            std::erase_if(change.values, [](const auto& value) { return value->propertyName() != "parent"; });
        }
        Lists listed;
        for (const auto& [entity, identifiers] :
             stage.globalIdentifierStringsByEntityNameInObjectChanges(changes, &onlyParent)) {
            if (!identifiers.empty()) {
                listed[entity].assign(identifiers.begin(), identifiers.end());
            }
        }
        EXPECT_EQ(listed, listedWithSets(filtered));
    }
}

}  // namespace
}  // namespace integrationtest
