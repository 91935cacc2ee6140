#include "platform/foundation/FlatHashTable.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {

// Keys with a chosen hash, so that tests can force long runs and wrap-around.
struct TestSlot {
    int key = -1;
    int value = 0;
    std::size_t hash = 0;
};
struct TestTraits {
    static bool used(const TestSlot& s) { return s.key >= 0; }
    static std::size_t hash(const TestSlot& s) { return s.hash; }
    static bool matches(const TestSlot& s, int key, std::size_t) { return s.key == key; }
};
using TestTable = plat::FlatHashTable<TestSlot, TestTraits>;

// Random inserts and erases, checked against a standard map: erasing from the
// middle of a run must keep every later key reachable, through growth, clear
// and release.
TEST(FlatHashTable, AgreesWithAStandardMapUnderRandomInsertsAndErases) {
    using HashFn = std::size_t (*)(int);
    const HashFn hashes[] = {[](int k) { return static_cast<std::size_t>(k); },
                             [](int k) { return static_cast<std::size_t>(k % 5); },  // long runs
                             [](int) { return std::size_t{42}; }};  // one run, wrapping around
    for (HashFn hashOf : hashes) {
        TestTable table;
        std::unordered_map<int, int> reference;
        std::mt19937 random(7);
        for (int step = 0; step < 20000; ++step) {
            const int key = static_cast<int>(random() % 600);
            if (step == 10000 || step == 15000) {
                step == 10000 ? table.clear() : table.release();
                reference.clear();
            } else if (random() % 3 != 0) {
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
                    ASSERT_EQ(s != nullptr, reference.count(k) == 1) << "key " << k << " at step " << step;
                    if (s) {
                        EXPECT_EQ(s->value, reference.at(k));
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
}

}  // namespace
