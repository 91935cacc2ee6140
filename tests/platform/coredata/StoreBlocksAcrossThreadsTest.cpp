// Rows, objects and IDs live in blocks of the per-thread small-block cache:
// made on one thread and dropped on another, of every row size around the
// cache's largest block, and read back from a store file on disk.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/SmallBlockCache.h"

namespace plat::coredata {
namespace {

std::string textFor(std::size_t row, std::size_t column) {
    // Long enough that the string holds its bytes on the heap.
    return "row " + std::to_string(row) + " column " + std::to_string(column) + " of the store's test rows";
}

TEST(StoreBlocksTest, RowsOfEverySizeMadeHereAndDroppedElsewhereKeepTheirValues) {
    // Row blocks from a few words up to well past the cache's largest block.
    std::vector<std::shared_ptr<StoreSnapshot>> rows;
    std::vector<std::shared_ptr<StoreSnapshot>> copies;
    for (std::size_t count = 0; count <= 40; ++count) {
        auto row = makeRow(count);
        for (std::size_t i = 0; i < count; ++i)
            row->values[i] = i % 2 ? Value(textFor(count, i)) : Value(static_cast<int64_t>(count * 100 + i));
        copies.push_back(std::make_shared<StoreSnapshot>(*row));
        rows.push_back(std::move(row));
    }
    // Half are dropped on another thread; their blocks go to its cache and
    // back to the allocator when it exits.
    std::vector<std::shared_ptr<StoreSnapshot>> elsewhere;
    for (std::size_t i = 0; i < rows.size(); i += 2)
        elsewhere.push_back(rows[i]);
    std::thread dropper([moved = std::move(elsewhere)]() mutable {
        for (auto& row : moved)
            row.reset();
        moved.clear();
    });
    dropper.join();
    for (std::size_t count = 0; count < rows.size(); ++count) {
        ASSERT_EQ(rows[count]->values.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            const Value expected =
                i % 2 ? Value(textFor(count, i)) : Value(static_cast<int64_t>(count * 100 + i));
            EXPECT_EQ(rows[count]->values[i], expected) << count << " " << i;
            EXPECT_EQ(copies[count]->values[i], expected) << count << " " << i;
        }
    }
    // Rows made after the drops (reusing this thread's blocks) are new rows.
    rows.clear();
    for (std::size_t count = 0; count <= 40; ++count) {
        auto row = makeRow(count);
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_TRUE(row->values[i].isNull());
    }
    EXPECT_LE(plat::SmallBlockCache::heldByThisThread().bytes, 240u * 1024);
}

class StoreBlocksFileTest : public testing::SQLiteFileTest {};

TEST_F(StoreBlocksFileTest, ObjectsAndIDsFetchedOnWorkerThreadsAreReadBackHere) {
    auto coordinator = open();
    ASSERT_TRUE(coordinator);
    std::map<std::string, int> expected;
    {
        auto context = contextOn(coordinator);
        for (int i = 0; i < 300; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            const std::string title = "task number " + std::to_string(i) + " with a title of some length";
            task->setValue(Value(title), "title");
            task->setValue(Value(static_cast<int64_t>(i % 7)), "sortOrder");
            expected.emplace(title, i % 7);
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    for (int round = 0; round < 4; ++round) {
        // A worker fetches every task (rows, objects and their IDs made on
        // its thread), keeps the IDs and drops the rest there; the IDs are
        // dropped here after use.
        std::vector<ManagedObjectIDPtr> ids;
        std::map<std::string, int> seen;
        std::thread worker([&] {
            auto context = contextOn(coordinator);
            FetchRequest request("Task");
            auto fetched = context->executeFetchRequest(request);
            ASSERT_TRUE(fetched) << fetched.error()->description();
            for (const auto& task : *fetched) {
                ids.push_back(task->objectID());
                const Value title = task->valueForKey("title");
                if (title.isString())
                    seen.emplace(*title.asString(),
                                 static_cast<int>(task->valueForKey("sortOrder").longLongValue()));
            }
        });
        worker.join();
        EXPECT_EQ(seen, expected) << "round " << round;
        ASSERT_EQ(ids.size(), expected.size());
        auto context = contextOn(coordinator);
        std::map<std::string, int> readBack;
        for (const auto& id : ids) {
            auto object = context->existingObjectWithID(id);
            ASSERT_TRUE(object) << object.error()->description();
            readBack.emplace(*(*object)->valueForKey("title").asString(),
                             static_cast<int>((*object)->valueForKey("sortOrder").longLongValue()));
        }
        EXPECT_EQ(readBack, expected) << "round " << round;
        ids.clear();
        // Change a few and save: the next round's fetch reads the change.
        auto first = context->executeFetchRequest(testing::makeRequest("Task"));
        ASSERT_TRUE(first);
        for (std::size_t i = 0; i < first->size(); i += 50) {
            auto& task = (*first)[i];
            const std::string old = *task->valueForKey("title").asString();
            const std::string renamed = old + " r" + std::to_string(round);
            task->setValue(Value(renamed), "title");
            const int order = expected[old];
            expected.erase(old);
            expected.emplace(renamed, order);
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    EXPECT_LE(plat::SmallBlockCache::heldByThisThread().bytes, 240u * 1024);
}

}  // namespace
}  // namespace plat::coredata
