// The small pointer map checked against std::unordered_map: random
// operations across the inline limit both ways, values' lifetimes, and the
// set form.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <unordered_map>

#include "platform/foundation/SmallPtrMap.h"

namespace {

using Value = std::shared_ptr<int>;

template <class Map>
std::map<const int*, int> contentsOf(const Map& map) {
    std::map<const int*, int> out;
    for (const auto& [key, value] : map) {
        EXPECT_TRUE(out.emplace(key, value ? *value : -1).second) << "a key iterated twice";
    }
    return out;
}

// Runs random operations on a SmallPtrMap with N inline entries and on the
// standard map, comparing after each step.
template <std::size_t N>
void runRandomOperations(unsigned seed, int rounds, int steps, std::size_t keyCount) {
    std::vector<int> keys(keyCount);
    std::mt19937 random(seed);
    for (int round = 0; round < rounds; ++round) {
        plat::SmallPtrMap<const int*, Value, N> map;
        std::unordered_map<const int*, Value> expected;
        // Some rounds use few keys (the map stays inline), some many.
        const std::size_t used = round % 3 == 0 ? std::max<std::size_t>(1, N / 2) : keyCount;
        for (int step = 0; step < steps; ++step) {
            const int* key = &keys[random() % used];
            const int number = static_cast<int>(random() % 1000);
            switch (random() % 10) {
                case 0:
                case 1: {
                    auto v = std::make_shared<int>(number);
                    const auto [it, added] = map.emplace(key, v);
                    const auto [eit, eadded] = expected.emplace(key, v);
                    ASSERT_EQ(added, eadded);
                    ASSERT_EQ(it->first, key);
                    ASSERT_EQ(*it->second, *eit->second);
                    break;
                }
                case 2: {
                    Value& slot = map[key];
                    Value& eslot = expected[key];
                    ASSERT_EQ(slot == nullptr, eslot == nullptr);
                    if (!slot || number % 2) {
                        slot = std::make_shared<int>(number);
                        eslot = slot;
                    }
                    break;
                }
                case 3:
                case 4:
                    ASSERT_EQ(map.erase(key), expected.erase(key));
                    break;
                case 5: {
                    Value* found = map.find(key);
                    auto it = expected.find(key);
                    ASSERT_EQ(found != nullptr, it != expected.end());
                    if (found) {
                        ASSERT_EQ(found->get(), it->second.get());
                    }
                    ASSERT_EQ(map.count(key), expected.count(key));
                    ASSERT_EQ(map.contains(key), expected.count(key) == 1);
                    break;
                }
                case 6: {
                    const int limit = static_cast<int>(random() % 1000);
                    auto pred = [&](const auto& entry) { return entry.second && *entry.second < limit; };
                    ASSERT_EQ(map.eraseIf(pred), std::erase_if(expected, pred));
                    break;
                }
                case 7:
                    if (random() % 8 == 0) {
                        map.clear();
                        expected.clear();
                        ASSERT_FALSE(map.hashed());
                    }
                    break;
                case 8:
                    if (random() % 4 == 0)
                        map.reserve(random() % (2 * N + 4));
                    break;
                default: {
                    const auto& constMap = map;
                    const Value* found = constMap.find(key);
                    ASSERT_EQ(found != nullptr, expected.count(key) == 1);
                    break;
                }
            }
            ASSERT_EQ(map.size(), expected.size());
            ASSERT_EQ(map.empty(), expected.empty());
            ASSERT_EQ(contentsOf(map), contentsOf(expected)) << "round " << round << " step " << step;
            if (map.size() > N) {
                ASSERT_TRUE(map.hashed());
            }
        }
    }
}

TEST(SmallPtrMapTest, RandomOperationsMatchTheStandardMapWithOneInline) {
    runRandomOperations<1>(3, 200, 60, 6);
}

TEST(SmallPtrMapTest, RandomOperationsMatchTheStandardMapWithFourInline) {
    runRandomOperations<4>(5, 300, 80, 14);
}

TEST(SmallPtrMapTest, RandomOperationsMatchTheStandardMapWithManyInline) {
    runRandomOperations<48>(9, 60, 400, 120);
}

TEST(SmallPtrMapTest, ValuesAreReleasedOnEraseClearAndDestruction) {
    int keys[10];
    std::vector<std::weak_ptr<int>> watched;
    {
        plat::SmallPtrMap<const int*, Value, 3> map;
        for (int i = 0; i < 10; ++i) {
            auto v = std::make_shared<int>(i);
            watched.push_back(v);
            map.emplace(&keys[i], std::move(v));
        }
        EXPECT_TRUE(map.hashed());
        EXPECT_EQ(map.erase(&keys[0]), 1u);
        EXPECT_TRUE(watched[0].expired());
        map.clear();
        for (const auto& w : watched)
            EXPECT_TRUE(w.expired());
        EXPECT_FALSE(map.hashed());
        for (int i = 0; i < 3; ++i) {
            auto v = std::make_shared<int>(i);
            watched[i] = v;
            map.emplace(&keys[i], std::move(v));
        }
        EXPECT_FALSE(map.hashed());
        // An erase in the middle moves the last entry into the gap.
        EXPECT_EQ(map.erase(&keys[0]), 1u);
        EXPECT_TRUE(watched[0].expired());
        EXPECT_FALSE(watched[1].expired());
        EXPECT_FALSE(watched[2].expired());
        EXPECT_EQ(**map.find(&keys[2]), 2);
    }
    for (const auto& w : watched)
        EXPECT_TRUE(w.expired());
}

TEST(SmallPtrMapTest, EmplaceKeepsTheValueOfAKeyThatIsThere) {
    int key = 0;
    plat::SmallPtrMap<const int*, Value, 2> map;
    auto first = std::make_shared<int>(1);
    EXPECT_TRUE(map.emplace(&key, first).second);
    EXPECT_FALSE(map.emplace(&key, std::make_shared<int>(2)).second);
    EXPECT_EQ(map.find(&key)->get(), first.get());
    EXPECT_EQ(map[&key].get(), first.get());
}

TEST(SmallPtrMapTest, ReservePastTheInlineRoomHashesAtOnce) {
    int keys[100];
    plat::SmallPtrMap<const int*, int, 8> map;
    map.reserve(8);
    EXPECT_FALSE(map.hashed());
    map.reserve(100);
    EXPECT_TRUE(map.hashed());
    for (int i = 0; i < 100; ++i)
        map[&keys[i]] = i;
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(*map.find(&keys[i]), i);
    EXPECT_EQ(map.size(), 100u);
}

TEST(SmallPtrMapTest, SetsInsertOnce) {
    int keys[20];
    plat::SmallPtrSet<const int*> set;
    std::mt19937 random(4);
    std::unordered_map<const int*, int> expected;
    for (int step = 0; step < 500; ++step) {
        const int* key = &keys[random() % 20];
        if (random() % 3) {
            EXPECT_EQ(set.insert(key).second, expected.emplace(key, 0).second);
        } else {
            EXPECT_EQ(set.erase(key), expected.erase(key));
        }
        ASSERT_EQ(set.size(), expected.size());
        for (const auto& entry : set)
            ASSERT_EQ(expected.count(entry.first), 1u);
    }
}

}  // namespace
