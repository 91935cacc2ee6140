#include "platform/coredata/detail/ContextImpl.h"

#include <gtest/gtest.h>

#include <map>

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

// New temporary IDs are kept apart from the hash table; IDs that arrive out
// of key order (a parent's inserts borrowed later) go to the table. Both
// kinds must be found, refused twice, erased only for their holder, and
// survive the compaction of erased entries.
TEST_F(RegistryTest, TemporaryIDsInAndOutOfKeyOrder) {
    const EntityDescription* thing = model->entityNamed("Thing");
    auto early = ManagedObjectID::makeTemporary(model->share(thing));
    detail::Registry registry;
    std::vector<ManagedObjectPtr> objects;
    for (int i = 0; i < 5000; ++i) {
        objects.push_back(object(ManagedObjectID::makeTemporary(model->share(thing))));
        ASSERT_TRUE(registry.insert(objects.back()));
    }
    auto borrowed = object(early);
    ASSERT_TRUE(registry.insert(borrowed));
    EXPECT_FALSE(registry.insert(object(early)));
    EXPECT_FALSE(registry.insert(object(objects[10]->objectID())));
    // An equal ID made separately (same key) finds the object too.
    auto copy = std::make_shared<const ManagedObjectID>(model->share(thing), std::weak_ptr<PersistentStore>(),
                                                        "", objects[20]->objectID()->primaryKey(), true);
    EXPECT_EQ(registry.find(*copy), objects[20]);
    EXPECT_EQ(registry.find(*early), borrowed);
    EXPECT_EQ(registry.size(), 5001u);

    registry.erase(*early, objects[0].get());  // not its holder
    EXPECT_EQ(registry.find(*early), borrowed);
    registry.erase(*early, borrowed.get());
    EXPECT_EQ(registry.find(*early), nullptr);
    // Erase most of them (by object and by ID alone), past the compaction.
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (i % 4 == 0)
            continue;
        if (i % 2)
            registry.erase(*objects[i]->objectID(), objects[i].get());
        else
            registry.erase(*objects[i]->objectID());
    }
    EXPECT_EQ(registry.size(), 1250u);
    for (std::size_t i = 0; i < objects.size(); ++i)
        EXPECT_EQ(registry.find(*objects[i]->objectID()), i % 4 == 0 ? objects[i] : nullptr) << i;
    // After compaction each object still finds its own entry.
    for (std::size_t i = 0; i < objects.size(); i += 8)
        registry.erase(*objects[i]->objectID(), objects[i].get());
    EXPECT_EQ(registry.size(), 625u);
    EXPECT_EQ(registry.find(*objects[8]->objectID()), nullptr);
    EXPECT_EQ(registry.find(*objects[4]->objectID()), objects[4]);
    // A later temporary after all that still goes in, and everything is handed over.
    auto late = object(ManagedObjectID::makeTemporary(model->share(thing)));
    ASSERT_TRUE(registry.insert(late));
    ASSERT_TRUE(registry.insert(object(store->objectIDFor(thing, 7))));
    auto all = registry.takeAll();
    EXPECT_EQ(all.size(), 627u);
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(registry.find(*late->objectID()), nullptr);
}

// Permanent IDs arriving in key order go to sections by store and root
// entity (found at their key's distance, or by halving past a gap). An equal
// ID made apart finds them; an equal ID is refused by the table as well;
// keys out of order fall back to the table.
TEST_F(RegistryTest, PermanentIDsInKeyOrderGoToSections) {
    const EntityDescription* thing = model->entityNamed("Thing");
    detail::Registry registry;
    std::vector<ManagedObjectPtr> objects;
    for (int64_t pk = 100; pk < 3100; ++pk) {
        objects.push_back(object(store->objectIDFor(thing, pk)));
        ASSERT_TRUE(registry.insert(objects.back()));
    }
    auto outOfOrder = object(store->objectIDFor(thing, 50));
    ASSERT_TRUE(registry.insert(outOfOrder));
    auto afterGap = object(store->objectIDFor(thing, 3500));
    ASSERT_TRUE(registry.insert(afterGap));
    EXPECT_FALSE(registry.insert(object(store->objectIDFor(thing, 3500))));
    EXPECT_EQ(registry.size(), 3002u);

    struct Case {
        const char* what;
        ManagedObjectIDPtr id;
        ManagedObjectPtr expected;
    };
    auto sameFile = std::make_shared<InMemoryStore>(std::nullopt, "", Dictionary());
    ASSERT_EQ(sameFile->load(model), nullptr);
    const Case cases[] = {
        {"the holder's own ID", objects[5]->objectID(), objects[5]},
        {"an equal ID made apart", ManagedObjectID::makePermanent(model->share(thing), store, 1234),
         objects[1134]},
        {"an out-of-order key", store->objectIDFor(thing, 50), outOfOrder},
        {"a key after a gap", store->objectIDFor(thing, 3500), afterGap},
        {"a key in the gap", store->objectIDFor(thing, 3300), nullptr},
        {"a key never registered", store->objectIDFor(thing, 99), nullptr},
        {"a key past the end", store->objectIDFor(thing, 5000), nullptr},
        {"another store's ID with the same key", sameFile->objectIDFor(thing, 200), nullptr},
        {"a temporary ID", ManagedObjectID::makeTemporary(model->share(thing)), nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(registry.find(*c.id), c.expected) << c.what;
    // Refused twice, whichever way the second comes.
    EXPECT_FALSE(registry.insert(object(store->objectIDFor(thing, 1234))));
    EXPECT_FALSE(registry.insert(object(store->objectIDFor(thing, 50))));

    // Erasing: only for the holder, then most of them, past a compaction.
    auto id = store->objectIDFor(thing, 1234);
    registry.erase(*id, outOfOrder.get());
    EXPECT_EQ(registry.find(*id), objects[1134]);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (i % 3 != 0)
            registry.erase(*objects[i]->objectID(), i % 2 ? objects[i].get() : nullptr);
    }
    EXPECT_EQ(registry.size(), 1002u);
    for (std::size_t i = 0; i < objects.size(); ++i)
        ASSERT_EQ(registry.find(*objects[i]->objectID()), i % 3 == 0 ? objects[i] : nullptr) << i;
    // An erased key can be registered again (in the table), and all are handed over.
    ASSERT_TRUE(registry.insert(object(store->objectIDFor(thing, 101))));
    std::size_t seen = 0;
    registry.forEach([&](const ManagedObjectPtr&) { ++seen; });
    EXPECT_EQ(seen, 1003u);
    EXPECT_EQ(registry.takeAll().size(), 1003u);
    EXPECT_EQ(registry.find(*objects[0]->objectID()), nullptr);
}

// A section keeps no key per entry while its keys are consecutive: a gap
// after a consecutive run, keys far beyond the first, erasures before and
// after a compaction and a section emptied and started again at a lower key
// must all still find exactly the registered objects.
TEST_F(RegistryTest, SectionKeysThroughGapsCompactionAndRestart) {
    const EntityDescription* thing = model->entityNamed("Thing");
    detail::Registry registry;
    std::map<int64_t, ManagedObjectPtr> live;
    auto add = [&](int64_t pk) {
        auto o = object(store->objectIDFor(thing, pk));
        ASSERT_TRUE(registry.insert(o)) << pk;
        live[pk] = o;
    };
    auto expectExactly = [&](const char* when) {
        ASSERT_EQ(registry.size(), live.size()) << when;
        for (const auto& [pk, o] : live)
            ASSERT_EQ(registry.find(*store->objectIDFor(thing, pk)), o) << when << " " << pk;
        for (int64_t pk : {int64_t{0}, int64_t{1999}, int64_t{2001}, int64_t{2500}, int64_t{3999},
                           int64_t{9000}, (int64_t{1} << 33) + 3}) {
            if (!live.count(pk)) {
                ASSERT_EQ(registry.find(*store->objectIDFor(thing, pk)), nullptr) << when << " " << pk;
            }
        }
    };
    for (int64_t pk = 1000; pk < 2000; ++pk)
        add(pk);
    expectExactly("consecutive");
    add(2003);  // the first gap
    for (int64_t pk = 3000; pk < 4000; pk += 2)
        add(pk);
    add((int64_t{1} << 33) + 5);  // beyond a section's reach: the table
    add(5000);                    // back within reach, past the last key
    expectExactly("after gaps");
    EXPECT_FALSE(registry.insert(object(store->objectIDFor(thing, 2003))));
    EXPECT_FALSE(registry.insert(object(store->objectIDFor(thing, (int64_t{1} << 33) + 5))));

    // Erase most of the consecutive run: the section is compacted.
    for (int64_t pk = 1000; pk < 1900; ++pk) {
        registry.erase(*store->objectIDFor(thing, pk));
        live.erase(pk);
    }
    expectExactly("compacted");
    add(6000);
    expectExactly("appended after compaction");

    // Emptied, a section starts again from whatever key comes next.
    for (auto it = live.begin(); it != live.end();) {
        registry.erase(*store->objectIDFor(thing, it->first), it->second.get());
        it = live.erase(it);
    }
    EXPECT_EQ(registry.size(), 0u);
    for (int64_t pk = 10; pk < 20; ++pk)
        add(pk);
    expectExactly("restarted");
    EXPECT_EQ(registry.takeAll().size(), 10u);
}

}  // namespace
}  // namespace plat::coredata
