// Guards for the save and registry shortcuts, checked on store files on disk
// against the plain way:
// - new objects' keys are requested entity by entity in the order of the
//   entities' addresses, each entity's objects in the save's order, whether
//   a save holds one entity, a few or many (the grouping without a map);
// - a save whose inserts are all of one entity writes them in its order,
//   one of several entities groups them: every row reads back as saved;
// - a context reset after its saves keeps its registry's storage for the
//   next objects: every object is still found by its ID, and only it;
// - a coordinator with one store checks each change against that store:
//   a change of a store removed since fails the save, and nothing is written.
#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "SQLiteStoreTestSupport.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using SaveGroupingGuardTest = testing::SQLiteFileTest;

// A root entity with twelve sub-entities (they share its keys, so the order
// of the key requests shows in the keys) and a second root.
std::shared_ptr<ManagedObjectModel> makeFamilyModel() {
    auto model = ManagedObjectModel::create();
    auto& root = model->addEntity("Root");
    root.addAttribute("label", AttributeType::String).indexed(true);
    for (int i = 0; i < 12; ++i) {
        auto& sub = model->addEntity("Sub" + std::to_string(i));
        sub.setSuperentityName("Root");
        sub.addAttribute("extra" + std::to_string(i), AttributeType::Integer32);
    }
    auto& other = model->addEntity("Other");
    other.addAttribute("label", AttributeType::String).indexed(true);
    return model;
}

std::string labelOf(const ManagedObjectPtr& o) {
    Value v = o->valueForKey("label");
    return v.asString() ? *v.asString() : std::string("<none>");
}

// The keys the map-based grouping hands out: per root, consecutive from the
// root's next key, in the order of (entity address, save order).
std::map<const ManagedObject*, int64_t> referenceKeys(const std::vector<ManagedObjectPtr>& inserted,
                                                      std::map<const EntityDescription*, int64_t>& next) {
    std::map<const EntityDescription*, std::vector<const ManagedObject*>, std::less<const EntityDescription*>>
        byEntity;
    for (const auto& o : inserted)
        byEntity[o->entity()].push_back(o.get());
    std::map<const ManagedObject*, int64_t> keys;
    for (const auto& [entity, list] : byEntity) {
        for (const ManagedObject* o : list)
            keys[o] = next[entity->rootEntity()]++;
    }
    return keys;
}

TEST_F(SaveGroupingGuardTest, KeysFollowTheEntitiesAddressOrderForOneAFewOrManyEntities) {
    auto model = makeFamilyModel();
    auto coordinator = open(model);
    auto context = contextOn(coordinator);
    std::mt19937 random(15700);
    std::map<const EntityDescription*, int64_t> next;
    std::map<std::string, int64_t> expectedKeys;  // label -> key
    std::map<std::string, std::string> expectedEntities;
    int made = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        // One entity, two to eight, or more than eight in one save.
        const int kinds = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 + static_cast<int>(random() % 7) : 13;
        std::vector<std::string> names;
        for (int k = 0; k < kinds; ++k)
            names.push_back(k == 12 ? "Other" : "Sub" + std::to_string((k + round) % 12));
        std::vector<ManagedObjectPtr> inserted;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i) {
            const std::string& name = names[random() % names.size()];
            auto o = context->insertNewObjectForEntityForName(name);
            const std::string label = "o" + std::to_string(made++);
            o->setValue(Value(label), "label");
            inserted.push_back(o);
            expectedEntities[label] = name;
        }
        // Keys continue from what the file already handed out per root.
        for (const auto& o : inserted) {
            const EntityDescription* root = o->entity()->rootEntity();
            if (!next.count(root))
                next[root] = 0;
        }
        ASSERT_EQ(context->save(), nullptr);
        // The first save of a root tells where its keys start.
        for (auto& [root, key] : next) {
            if (key != 0)
                continue;
            int64_t least = INT64_MAX;
            for (const auto& o : inserted) {
                if (o->entity()->rootEntity() == root)
                    least = std::min(least, o->objectID()->primaryKey());
            }
            key = least;
        }
        auto keys = referenceKeys(inserted, next);
        for (const auto& o : inserted) {
            ASSERT_FALSE(o->objectID()->isTemporaryID());
            EXPECT_EQ(o->objectID()->primaryKey(), keys[o.get()]) << labelOf(o) << " " << o->entity()->name();
            expectedKeys[labelOf(o)] = o->objectID()->primaryKey();
        }
        if (round % 4 == 3)
            context->reset();
    }
    // Another coordinator reads every row back under its key and entity.
    auto reader = contextOn(open(model));
    std::size_t seen = 0;
    for (const char* entity : {"Root", "Other"}) {
        for (const auto& o : fetchAll(reader, makeRequest(entity))) {
            const std::string label = labelOf(o);
            ASSERT_TRUE(expectedKeys.count(label)) << label;
            EXPECT_EQ(o->objectID()->primaryKey(), expectedKeys[label]) << label;
            EXPECT_EQ(o->entity()->name(), expectedEntities[label]) << label;
            ++seen;
        }
    }
    EXPECT_EQ(seen, expectedKeys.size());
}

// Rounds of fetches (in key order, out of it, by lists of IDs), look-ups of
// single objects and inserts, each followed by a save and sometimes a reset:
// after every step each object the context handed out is the one registered
// under its ID, the count of registered objects is that of distinct objects
// handed out since the last reset, and values match a fresh context's.
TEST_F(SaveGroupingGuardTest, ARegistryKeptAcrossResetsFindsEachObjectByItsID) {
    auto model = makeFamilyModel();
    auto coordinator = open(model);
    {
        auto seed = contextOn(coordinator);
        for (int i = 0; i < 120; ++i) {
            auto o =
                seed->insertNewObjectForEntityForName(i % 3 == 2 ? "Other" : "Sub" + std::to_string(i % 5));
            o->setValue(Value("s" + std::to_string(i)), "label");
        }
        ASSERT_EQ(seed->save(), nullptr);
    }
    auto context = contextOn(coordinator);
    std::mt19937 random(15701);
    std::map<const ManagedObjectID*, ManagedObjectPtr> handedOut;  // since the last reset
    std::vector<ManagedObjectPtr> keep;                            // keeps the IDs alive for the map's keys
    auto note = [&](const ManagedObjectPtr& o) {
        handedOut[o->objectID().get()] = o;
        keep.push_back(o);
    };
    auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        std::set<const ManagedObject*> distinct;
        for (const auto& [id, o] : handedOut) {
            EXPECT_EQ(context->objectRegisteredForID(o->objectID()), o) << labelOf(o);
            distinct.insert(o.get());
        }
        EXPECT_EQ(context->registeredObjectCount(), distinct.size());
        auto fresh = contextOn(coordinator);
        for (const auto& [id, o] : handedOut) {
            if (o->objectID()->isTemporaryID())
                continue;
            auto other = fresh->existingObjectWithID(o->objectID());
            ASSERT_TRUE(other) << labelOf(o);
            EXPECT_EQ(labelOf(*other), labelOf(o));
        }
    };
    int made = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const char* entity = round % 2 ? "Root" : "Other";
        const int step = static_cast<int>(random() % 4);
        if (step == 0) {
            for (const auto& o : fetchAll(context, makeRequest(entity)))
                note(o);
        } else if (step == 1) {
            // Descending: keys arrive out of order.
            for (const auto& o :
                 fetchAll(context, makeRequest(entity, nullptr, {SortDescriptor("label", false)})))
                note(o);
        } else {
            auto all = fetchAll(contextOn(coordinator), makeRequest(entity));
            std::shuffle(all.begin(), all.end(), random);
            all.resize(std::min<std::size_t>(all.size(), 1 + random() % 9));
            if (step == 2) {
                Array ids;
                for (const auto& o : all)
                    ids.push_back(Value(ObjectPtr(o->objectID())));
                for (const auto& o :
                     fetchAll(context, makeRequest(entity, Predicate::selfIn(Value(std::move(ids))))))
                    note(o);
            } else {
                for (const auto& o : all)
                    note(context->objectWithID(o->objectID()));
            }
        }
        check("after the fetch");
        for (int i = static_cast<int>(random() % 4); i > 0; --i) {
            auto o = context->insertNewObjectForEntityForName(random() % 2 ? "Other" : "Sub7");
            o->setValue(Value("n" + std::to_string(made++)), "label");
            note(o);
        }
        ASSERT_EQ(context->save(), nullptr);
        // Saved inserts turned permanent: re-key what was handed out.
        std::map<const ManagedObjectID*, ManagedObjectPtr> rekeyed;
        for (const auto& [id, o] : handedOut)
            rekeyed[o->objectID().get()] = o;
        handedOut = std::move(rekeyed);
        check("after the save");
        if (random() % 3 == 0) {
            context->reset();
            handedOut.clear();
            keep.clear();
            EXPECT_EQ(context->registeredObjectCount(), 0u);
        }
    }
}

// A coordinator left with one store (another file) after the object's store
// was removed refuses the change, writes nothing to either file, and keeps
// saving changes of the store it has.
TEST_F(SaveGroupingGuardTest, AChangeOfARemovedStoreFailsWhenOneOtherStoreIsLeft) {
    auto model = makeFamilyModel();
    auto coordinator = open(model, {}, "first.sqlite");
    auto context = contextOn(coordinator);
    auto first = context->insertNewObjectForEntityForName("Other");
    first->setValue(Value("kept"), "label");
    ASSERT_EQ(context->save(), nullptr);
    auto firstStore = coordinator->persistentStoreForURL(url("first.sqlite"));
    ASSERT_NE(firstStore, nullptr);
    ASSERT_TRUE(coordinator->addPersistentStore(SQLiteStoreType, "", url("second.sqlite")));
    ASSERT_EQ(coordinator->removePersistentStore(firstStore), nullptr);
    ASSERT_EQ(coordinator->persistentStoreCount(), 1u);
    first->setValue(Value("lost?"), "label");
    auto stray = context->insertNewObjectForEntityForName("Sub3");
    stray->setValue(Value("new"), "label");
    auto error = context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), PersistentStoreSaveError);
    EXPECT_TRUE(context->hasChanges());
    // Neither file holds the refused save.
    for (const char* name : {"first.sqlite", "second.sqlite"}) {
        auto reader = contextOn(open(model, {}, name));
        std::vector<std::string> labels;
        for (const char* entity : {"Root", "Other"}) {
            for (const auto& o : fetchAll(reader, makeRequest(entity)))
                labels.push_back(labelOf(o));
        }
        EXPECT_EQ(labels, std::string(name) == "first.sqlite" ? std::vector<std::string>{"kept"}
                                                              : std::vector<std::string>{})
            << name;
    }
    // Changes of the remaining store still save.
    auto other = contextOn(coordinator);
    auto fresh = other->insertNewObjectForEntityForName("Sub3");
    fresh->setValue(Value("second"), "label");
    ASSERT_EQ(other->save(), nullptr);
    auto reader = contextOn(open(model, {}, "second.sqlite"));
    auto rows = fetchAll(reader, makeRequest("Root"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(labelOf(rows[0]), "second");
}

}  // namespace
}  // namespace plat::coredata
