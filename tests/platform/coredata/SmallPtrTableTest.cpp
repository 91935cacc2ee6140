// The small pointer table behind a to-many's member set and change maps,
// checked against the standard hash map it stands in for; and to-many
// changes of every size around its inline limits, made on unloaded sets (the
// deferred path) and on loaded ones, stored and read back from store files.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <unordered_map>

#include "EveryStoreTest.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/foundation/SmallPtrMap.h"

namespace plat::coredata {
namespace {

using Table = plat::SmallPtrMap<const int*, std::shared_ptr<int>, 2>;

std::map<const int*, int> contentsOf(const Table& table) {
    std::map<const int*, int> out;
    for (const auto& [key, value] : table) {
        EXPECT_TRUE(out.emplace(key, *value).second) << "a key iterated twice";
    }
    return out;
}

std::map<const int*, int> contentsOf(const std::unordered_map<const int*, std::shared_ptr<int>>& map) {
    std::map<const int*, int> out;
    for (const auto& [key, value] : map)
        out.emplace(key, *value);
    return out;
}

TEST(SmallPtrTableTest, RandomOperationsMatchTheStandardMap) {
    int keys[12];
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
        Table table;
        std::unordered_map<const int*, std::shared_ptr<int>> expected;
        for (int step = 0; step < 60; ++step) {
            const int* key = &keys[random() % (round % 2 ? 12 : 4)];
            const int value = static_cast<int>(random() % 1000);
            switch (random() % 7) {
                case 0:
                case 1: {
                    auto v = std::make_shared<int>(value);
                    const bool added = table.emplace(key, v).second;
                    EXPECT_EQ(added, expected.emplace(key, v).second);
                    break;
                }
                case 2:
                case 3:
                    EXPECT_EQ(table.erase(key), expected.erase(key));
                    break;
                case 4: {
                    auto* found = table.find(key);
                    auto it = expected.find(key);
                    ASSERT_EQ(found != nullptr, it != expected.end());
                    if (found) {
                        EXPECT_EQ(found->get(), it->second.get());
                    }
                    break;
                }
                case 5: {
                    auto odd = [](const auto& entry) { return *entry.second % 2 == 1; };
                    EXPECT_EQ(table.eraseIf(odd), std::erase_if(expected, odd));
                    break;
                }
                default:
                    if (random() % 8 == 0) {
                        table.clear();
                        expected.clear();
                    }
                    break;
            }
            ASSERT_EQ(table.size(), expected.size());
            ASSERT_EQ(table.empty(), expected.empty());
            for (const int& k : keys)
                ASSERT_EQ(table.count(&k), expected.count(&k));
            ASSERT_EQ(contentsOf(table), contentsOf(expected));
        }
        // Values are released with the table: the map holds the only other references.
        for (const auto& [key, value] : expected)
            EXPECT_EQ(value.use_count(), table.count(key) ? 2 : 1);
    }
}

TEST(SmallPtrTableTest, ValuesAreReleasedOnEraseAndClear) {
    int keys[6];
    auto value = std::make_shared<int>(1);
    Table table;
    for (const int& k : keys)
        table.emplace(&k, value);
    EXPECT_EQ(value.use_count(), 7);
    table.erase(&keys[0]);
    EXPECT_EQ(value.use_count(), 6);
    table.clear();
    EXPECT_EQ(value.use_count(), 1);
    table.emplace(&keys[1], value);  // inline again after a clear
    table.emplace(&keys[2], value);
    EXPECT_EQ(value.use_count(), 3);
    table.erase(&keys[1]);
    EXPECT_EQ(value.use_count(), 2);
    EXPECT_EQ(table.count(&keys[2]), 1u);
}

// Moves of tasks among calendars whose task sets were never loaded (the
// changes kept aside) and the same moves with the sets loaded first: both
// must read the same before the save and store the same sets.
class DeferredToManySizesTest : public testing::EveryStoreTest {
  protected:
    static constexpr int kCalendars = 3;
    static constexpr int kTasks = 24;

    void SetUp() override {
        EveryStoreTest::SetUp();
        if (HasFatalFailure())
            return;
        auto writer = newContext();
        std::vector<ManagedObjectPtr> calendars, tasks;
        for (int i = 0; i < kCalendars; ++i) {
            auto calendar = writer->insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("calendar " + std::to_string(i)), "name");
            calendars.push_back(calendar);
        }
        for (int i = 0; i < kTasks; ++i) {
            auto task = writer->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(i)), "title");
            task->setObject(calendars[static_cast<std::size_t>(i % kCalendars)], "calendar");
            tasks.push_back(task);
        }
        ASSERT_EQ(writer->save(), nullptr);
        for (const auto& t : tasks)
            taskIDs.push_back(t->objectID());
        for (const auto& c : calendars)
            calendarIDs.push_back(c->objectID());
    }

    using Sets = std::vector<std::set<std::string>>;
    Sets setsIn(const std::shared_ptr<ManagedObjectContext>& c) {
        Sets sets;
        for (const auto& id : calendarIDs) {
            std::set<std::string> titles;
            for (const auto& task : c->objectWithID(id)->objectsForKey("tasks"))
                titles.insert(task->valueForKey("title").stringValue());
            sets.push_back(std::move(titles));
        }
        return sets;
    }

    // Applies moves (task index, calendar index or -1 for none) in a new
    // context; with loadFirst the calendars' sets are read before.
    Sets applyAndSave(const std::vector<std::pair<int, int>>& moves, bool loadFirst) {
        auto c = newContext();
        if (loadFirst)
            setsIn(c);
        for (const auto& [task, calendar] : moves) {
            auto object = c->objectWithID(taskIDs[static_cast<std::size_t>(task)]);
            object->setObject(
                calendar < 0 ? nullptr : c->objectWithID(calendarIDs[static_cast<std::size_t>(calendar)]),
                "calendar");
        }
        Sets before = setsIn(c);
        EXPECT_EQ(c->save(), nullptr);
        EXPECT_EQ(setsIn(newContext()), before) << "stored sets differ from those read before the save";
        return before;
    }

    std::vector<ManagedObjectIDPtr> calendarIDs;
    std::vector<ManagedObjectIDPtr> taskIDs;
};

TEST_P(DeferredToManySizesTest, UnloadedAndLoadedSetsTakeTheSameMoves) {
    std::mt19937 random(13);
    for (int round = 0; round < 12; ++round) {
        // From one move to many, around the inline limits, with tasks moved
        // back and forth and out of every calendar.
        const int count = 1 + round * 3;
        std::vector<std::pair<int, int>> moves;
        for (int i = 0; i < count; ++i)
            moves.emplace_back(static_cast<int>(random() % (round % 3 == 0 ? 5 : kTasks)),
                               static_cast<int>(random() % (kCalendars + 1)) - 1);
        const Sets stored = setsIn(newContext());
        const Sets deferred = applyAndSave(moves, false);
        // Undo in the store (back to where each task was), then the loaded way.
        std::vector<std::pair<int, int>> back;
        for (int t = 0; t < kTasks; ++t)
            for (int cal = 0; cal < kCalendars; ++cal)
                if (stored[static_cast<std::size_t>(cal)].count("task " + std::to_string(t)))
                    back.emplace_back(t, cal);
        for (int t = 0; t < kTasks; ++t) {
            bool had = false;
            for (const auto& s : stored)
                had = had || s.count("task " + std::to_string(t));
            if (!had)
                back.emplace_back(t, -1);
        }
        applyAndSave(back, false);
        ASSERT_EQ(setsIn(newContext()), stored) << "round " << round;
        const Sets loaded = applyAndSave(moves, true);
        ASSERT_EQ(deferred, loaded) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, DeferredToManySizesTest, testing::everyStoreType(),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
