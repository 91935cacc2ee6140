// Windowed fetches (limit, offset) in a context with unsaved changes: the
// store is asked for a bounded window and the context lays its own inserts,
// updates and deletes over it. Whatever the changes, the answer is the
// window of the unwindowed fetch, on every store type and in a child context.
#include <random>

#include "EveryStoreTest.h"
#include "platform/coredata/ManagedObject.h"

namespace plat::coredata {
namespace {

class DirtyWindowFetchTest : public testing::EveryStoreTest {
  protected:
    void SetUp() override {
        EveryStoreTest::SetUp();
        if (HasFatalFailure())
            return;
        auto writer = newContext();
        for (int i = 0; i < 60; ++i)
            fill(writer->insertNewObjectForEntityForName(i % 5 == 4 ? "UrgentTask" : "Task"));
        ASSERT_EQ(writer->save(), nullptr);
        for (const auto& o : writer->registeredObjects())
            saved.push_back(o->objectID());
    }

    // Few distinct values, so that sort keys tie and the predicate splits.
    void fill(const ManagedObjectPtr& task) {
        task->setValue(Value(int64_t(random() % 8)), "sortOrder");
        task->setValue(Value("u" + std::to_string(random() % 40)), "uuid");
        task->setValue(Value(random() % 3 == 0), "done");
    }

    // Random unsaved changes: inserts, updates that move objects within the
    // order or into and out of the predicate, deletes.
    void dirty(const std::shared_ptr<ManagedObjectContext>& c) {
        const int inserts = static_cast<int>(random() % 4), updates = static_cast<int>(random() % 8),
                  deletes = static_cast<int>(random() % 4);
        for (int i = 0; i < inserts; ++i)
            fill(c->insertNewObjectForEntityForName(random() % 2 ? "Task" : "UrgentTask"));
        for (int i = 0; i < updates; ++i) {
            auto found = c->existingObjectWithID(saved[random() % saved.size()]);
            if (!found || (*found)->isDeleted())
                continue;  // deleted here, or in the parent
            const auto& o = *found;
            switch (random() % 3) {
                case 0:
                    o->setValue(Value(int64_t(random() % 8)), "sortOrder");
                    break;
                case 1:
                    o->setValue(Value("u" + std::to_string(random() % 40)), "uuid");
                    break;
                default:
                    o->setValue(Value(!o->valueForKey("done").boolValue()), "done");
                    break;
            }
        }
        for (int i = 0; i < deletes; ++i) {
            if (auto found = c->existingObjectWithID(saved[random() % saved.size()]))
                c->deleteObject(*found);
        }
    }

    static std::vector<ManagedObjectIDPtr> ids(const std::shared_ptr<ManagedObjectContext>& c,
                                               const FetchRequest& request) {
        auto objects = c->executeFetchRequest(request);
        EXPECT_TRUE(objects) << objects.error()->description();
        std::vector<ManagedObjectIDPtr> out;
        if (objects) {
            for (const auto& o : *objects)
                out.push_back(o->objectID());
        }
        return out;
    }

    // Every window of a few requests against the window of the unwindowed
    // answer.
    void compareWindows(const std::shared_ptr<ManagedObjectContext>& c, const std::string& where) {
        const std::vector<std::vector<SortDescriptor>> orders = {
            {SortDescriptor("sortOrder", false)},  // unindexed
            {SortDescriptor("uuid", true)},        // indexed
            {SortDescriptor("sortOrder", true), SortDescriptor("uuid", false)},
            {},
        };
        for (const auto& order : orders) {
            for (bool filtered : {false, true}) {
                FetchRequest request("Task");
                request.sortDescriptors = order;
                if (filtered)
                    request.predicate = Predicate::equal("done", Value(false));
                auto all = ids(c, request);
                for (std::size_t offset : {0, 2, 7}) {
                    for (std::size_t limit : {1, 3, 10}) {
                        request.fetchOffset = offset;
                        request.fetchLimit = limit;
                        auto window = ids(c, request);
                        std::vector<ManagedObjectIDPtr> expected;
                        for (std::size_t i = offset; i < all.size() && i < offset + limit; ++i)
                            expected.push_back(all[i]);
                        ASSERT_EQ(window.size(), expected.size())
                            << where << " order " << order.size() << " filtered " << filtered << " offset "
                            << offset << " limit " << limit;
                        for (std::size_t i = 0; i < window.size(); ++i)
                            EXPECT_TRUE(window[i]->isEqualID(*expected[i]))
                                << where << " at " << i << ": " << window[i]->description() << " vs "
                                << expected[i]->description();
                    }
                }
            }
        }
    }

    long random() { return static_cast<long>(rng() % 1000000); }

    std::mt19937 rng{20261208};
    std::vector<ManagedObjectIDPtr> saved;
};

TEST_P(DirtyWindowFetchTest, AWindowOverUnsavedChangesIsTheWindowOfTheWholeAnswer) {
    for (int round = 0; round < 25; ++round) {
        auto c = newContext();
        dirty(c);
        compareWindows(c, "round " + std::to_string(round));
        if (HasFatalFailure())
            return;
    }
}

// A child context asks its parent, which has unsaved changes of its own, for
// the bounded window; the child's changes are laid over it the same way.
TEST_P(DirtyWindowFetchTest, AChildOfADirtyParentGetsTheSameWindows) {
    for (int round = 0; round < 8; ++round) {
        auto parent = newContext();
        dirty(parent);
        auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
        child->setParentContext(parent);
        child->performBlockAndWait([&] {
            dirty(child);
            compareWindows(child, "child round " + std::to_string(round));
        });
        if (HasFatalFailure())
            return;
    }
}

// The window is what the answer would be after saving the changes.
TEST_P(DirtyWindowFetchTest, AWindowMatchesTheStoredAnswerAfterTheSave) {
    for (int round = 0; round < 6; ++round) {
        auto c = newContext();
        dirty(c);
        FetchRequest request("Task");
        request.sortDescriptors = {SortDescriptor("sortOrder", false)};
        request.fetchOffset = 1;
        request.fetchLimit = 4;
        auto before = c->executeFetchRequest(request);
        ASSERT_TRUE(before);
        ASSERT_EQ(c->save(), nullptr);  // inserts get their permanent IDs
        auto after = ids(newContext(), request);
        ASSERT_EQ(before->size(), after.size());
        for (std::size_t i = 0; i < after.size(); ++i)
            EXPECT_TRUE((*before)[i]->objectID()->isEqualID(*after[i])) << "round " << round << " at " << i;
        saved.clear();
        auto reader = newContext();
        for (const auto& id : ids(reader, FetchRequest("Task")))
            saved.push_back(id);
    }
}

// Unsaved changes of other entities only leave the stored answer as it is
// (the store is asked for the window itself); a change of a sub-entity's
// object does not.
TEST_P(DirtyWindowFetchTest, ChangesOfOtherEntitiesOnlyLeaveTheStoredAnswer) {
    const std::vector<std::vector<SortDescriptor>> orders = {
        {SortDescriptor("sortOrder", false)}, {SortDescriptor("uuid", true)}, {}};
    auto sameAsClean = [&](const std::shared_ptr<ManagedObjectContext>& c, const char* entity,
                           const std::string& where) {
        for (const auto& order : orders) {
            for (std::size_t limit : {0, 1, 5}) {
                FetchRequest request(entity);
                request.sortDescriptors = order;
                request.predicate = Predicate::equal("done", Value(false));
                request.fetchOffset = limit ? 2 : 0;
                request.fetchLimit = limit;
                auto clean = ids(newContext(), request);
                auto dirtyIDs = ids(c, request);
                ASSERT_EQ(dirtyIDs.size(), clean.size()) << where << " " << entity << " limit " << limit;
                for (std::size_t i = 0; i < clean.size(); ++i)
                    EXPECT_TRUE(dirtyIDs[i]->isEqualID(*clean[i])) << where << " " << entity << " at " << i;
                EXPECT_EQ(c->countForFetchRequest(request).value(), clean.size()) << where << " " << entity;
            }
        }
    };
    for (int round = 0; round < 4; ++round) {
        const std::string where = "round " + std::to_string(round);
        auto c = newContext();
        auto calendar = c->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("unsaved"), "name");
        c->insertNewObjectForEntityForName("Tag")->setValue(Value("t"), "name");
        ASSERT_TRUE(c->hasChanges());
        sameAsClean(c, "Task", where);
        sameAsClean(c, "UrgentTask", where);

        // An urgent task changed (a sub-entity's object): the fetch of Task
        // lays it over the store.
        ManagedObjectPtr plain, urgent;
        for (const auto& id : saved) {
            auto o = c->existingObjectWithID(id);
            ASSERT_TRUE(o);
            auto& slot = (*o)->entity()->name() == "UrgentTask" ? urgent : plain;
            if (!slot && !(*o)->valueForKey("done").boolValue())
                slot = *o;
        }
        ASSERT_TRUE(plain && urgent);
        urgent->setValue(Value(int64_t(200 + round)), "sortOrder");
        FetchRequest top("Task");
        top.sortDescriptors = {SortDescriptor("sortOrder", false)};
        top.fetchLimit = 1;
        auto first = ids(c, top);
        ASSERT_EQ(first.size(), 1u) << where;
        EXPECT_TRUE(first[0]->isEqualID(*urgent->objectID())) << where;

        // A plain task changed, in another context: UrgentTask's answer is
        // still the stored one, Task's has the change.
        auto other = newContext();
        other->insertNewObjectForEntityForName("Tag")->setValue(Value("t"), "name");
        other->objectWithID(plain->objectID())->setValue(Value(int64_t(100 + round)), "sortOrder");
        sameAsClean(other, "UrgentTask", where);
        first = ids(other, top);
        ASSERT_EQ(first.size(), 1u) << where;
        EXPECT_TRUE(first[0]->isEqualID(*plain->objectID())) << where;
        compareWindows(c, where);
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, DirtyWindowFetchTest, testing::everyStoreType(),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
