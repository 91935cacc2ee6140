#include "platform/coredata/detail/ContextImpl.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "platform/coredata/InMemoryStore.h"

namespace plat::coredata {
namespace {

// Keys with a chosen hash, so that tests can force long runs and wrap-around.
struct TestSlot {
    int key = -1;
    int value = 0;
    std::size_t hash = 0;
};

using HashFn = std::size_t (*)(int);

struct TestTraits {
    static bool used(const TestSlot& s) { return s.key >= 0; }
    static std::size_t hash(const TestSlot& s) { return s.hash; }
    static bool matches(const TestSlot& s, int key, std::size_t) { return s.key == key; }
};
using TestTable = detail::FlatTable<TestSlot, TestTraits>;

class FlatTableTest : public ::testing::TestWithParam<HashFn> {};

// Random inserts and erases, checked against a standard map after every step:
// erasing from the middle of a run must keep every later key reachable.
TEST_P(FlatTableTest, AgreesWithAStandardMapUnderRandomInsertsAndErases) {
    HashFn hashOf = GetParam();
    TestTable table;
    std::unordered_map<int, int> reference;
    std::mt19937 random(7);
    for (int step = 0; step < 20000; ++step) {
        int key = static_cast<int>(random() % 600);
        if (random() % 3 != 0) {
            auto [slot, inserted] = table.insert(key, hashOf(key), TestSlot{key, step, hashOf(key)});
            auto [it, expected] = reference.emplace(key, step);
            ASSERT_EQ(inserted, expected) << "key " << key;
            ASSERT_EQ(slot->value, it->second);  // an existing key keeps its slot
        } else {
            TestSlot* slot = table.find(key, hashOf(key));
            ASSERT_EQ(slot != nullptr, reference.erase(key) == 1) << "key " << key;
            if (slot)
                table.erase(slot);
        }
        ASSERT_EQ(table.size(), reference.size());
        if (step % 997 == 0) {
            for (int k = 0; k < 600; ++k) {
                const TestSlot* s = table.find(k, hashOf(k));
                auto it = reference.find(k);
                ASSERT_EQ(s != nullptr, it != reference.end()) << "key " << k << " at step " << step;
                if (s) {
                    EXPECT_EQ(s->value, it->second);
                }
            }
        }
    }
    std::size_t visited = 0;
    table.forEach([&](const TestSlot& s) {
        ++visited;
        EXPECT_EQ(reference.at(s.key), s.value);
    });
    EXPECT_EQ(visited, reference.size());
}

std::size_t identityHash(int k) {
    return static_cast<std::size_t>(k);
}
std::size_t fewHashes(int k) {
    return static_cast<std::size_t>(k % 5);  // long runs of equal homes
}
std::size_t oneHash(int) {
    return 42;  // every key in one run, wrapping around the end
}

INSTANTIATE_TEST_SUITE_P(Hashes, FlatTableTest, ::testing::Values(&identityHash, &fewHashes, &oneHash));

TEST(FlatTableClearTest, ClearEmptiesSmallAndLargeTablesThatStayUsable) {
    for (int count : {3, 5000}) {
        TestTable table;
        for (int k = 0; k < count; ++k)
            table.insert(k, identityHash(k), TestSlot{k, k, identityHash(k)});
        table.clear();
        EXPECT_TRUE(table.empty());
        EXPECT_EQ(table.find(1, identityHash(1)), nullptr);
        table.insert(1, identityHash(1), TestSlot{1, 9, identityHash(1)});
        ASSERT_NE(table.find(1, identityHash(1)), nullptr);
        EXPECT_EQ(table.find(1, identityHash(1))->value, 9);
        EXPECT_EQ(table.size(), 1u);
    }
}

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
        ASSERT_TRUE(registry.insert(objects.back()->objectID(), objects.back()));
    }
    // An equal ID made separately finds the same object.
    auto again = ManagedObjectID::makePermanent(model->share(thing), store, 1234);
    EXPECT_EQ(registry.find(*again), objects[1233]);
    EXPECT_FALSE(registry.insert(again, object(again)));
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
}

}  // namespace
}  // namespace plat::coredata
