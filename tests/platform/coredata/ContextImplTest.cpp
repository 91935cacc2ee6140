#include "platform/coredata/detail/ContextImpl.h"

#include <gtest/gtest.h>

#include "platform/coredata/InMemoryStore.h"

namespace plat::coredata {
namespace {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model = ManagedObjectModel::create();
        model->addEntity("Thing");
        ASSERT_EQ(model->finalize(), nullptr);
        store = std::make_shared<InMemoryStore>(std::nullopt, "", Dictionary());
        ASSERT_EQ(store->load(model), nullptr);
    }
    ManagedObjectPtr object(const ManagedObjectIDPtr& id) {
        return std::make_shared<ManagedObject>(nullptr, id);
    }
    std::shared_ptr<ManagedObjectModel> model;
    std::shared_ptr<InMemoryStore> store;
};

TEST_F(RegistryTest, FindsByEqualIDsRefusesDuplicatesAndErasesOnlyTheHolder) {
    const EntityDescription* thing = model->entityNamed("Thing");
    detail::Registry registry;
    std::vector<ManagedObjectPtr> objects;
    for (int64_t pk = 1; pk <= 3000; ++pk) {
        objects.push_back(object(store->objectIDFor(thing, pk)));
        ASSERT_TRUE(registry.insert(objects.back()));
    }
    // An equal ID made separately finds the same object.
    auto again = ManagedObjectID::makePermanent(model->share(thing), store, 1234);
    EXPECT_EQ(registry.find(*again), objects[1233]);
    EXPECT_FALSE(registry.insert(object(again)));
    EXPECT_EQ(registry.find(*again), objects[1233]);
    // Erasing for another object leaves the entry.
    auto other = object(again);
    registry.erase(*again, other.get());
    EXPECT_EQ(registry.find(*again), objects[1233]);
    registry.erase(*again, objects[1233].get());
    EXPECT_EQ(registry.find(*again), nullptr);
    // A temporary ID never equals a permanent one with the same key.
    auto temporary = ManagedObjectID::makeTemporary(model->share(thing));
    EXPECT_EQ(registry.find(*temporary), nullptr);
    for (std::size_t i = 0; i < objects.size(); i += 2)
        registry.erase(*objects[i]->objectID());
    EXPECT_EQ(registry.size(), 1499u);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        auto found = registry.find(*objects[i]->objectID());
        EXPECT_EQ(found, (i % 2 == 1 && i != 1233) ? objects[i] : nullptr) << i;
    }
    // Clearing a table this large gives its storage back; it stays usable.
    registry.clear();
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(registry.find(*objects[1]->objectID()), nullptr);
    ASSERT_TRUE(registry.insert(objects[1]));
    EXPECT_EQ(registry.find(*objects[1]->objectID()), objects[1]);
}

}  // namespace
}  // namespace plat::coredata
