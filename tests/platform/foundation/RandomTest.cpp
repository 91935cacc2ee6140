#include "platform/foundation/Random.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <thread>
#include <vector>

#include "platform/foundation/UUID.h"

namespace {

using namespace plat;

// Installs a source for one test and restores the previous one.
class SourceScope {
  public:
    explicit SourceScope(std::shared_ptr<RandomSource> source)
        : previous_(random::setSource(std::move(source))) {}
    ~SourceScope() { random::setSource(previous_); }

  private:
    std::shared_ptr<RandomSource> previous_;
};

// Hands out the given 32-bit words in order, then repeats the last one.
class ScriptedSource final : public RandomSource {
  public:
    explicit ScriptedSource(std::vector<uint32_t> words) : words_(std::move(words)) {}
    void fill(uint8_t* out, std::size_t length) override {
        ASSERT_EQ(length, 4u);
        const uint32_t word = words_[std::min(next_++, words_.size() - 1)];
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<uint8_t>(word >> (8 * i));
    }
    std::size_t draws() const { return next_; }

  private:
    std::vector<uint32_t> words_;
    std::size_t next_ = 0;
};

TEST(RandomTest, UniformRejectsTheBiasedTailAndHandlesTinyBounds) {
    // 2^32 mod 3 = 1: the draw 0 lies in the biased tail and must be redrawn.
    auto scripted = std::make_shared<ScriptedSource>(std::vector<uint32_t>{0, 7});
    SourceScope scope(scripted);
    EXPECT_EQ(random::uniform(3), 7u % 3);
    EXPECT_EQ(scripted->draws(), 2u);
    struct Case {
        uint32_t bound;
        uint32_t draw;
        uint32_t expected;
    };
    for (const Case& c : {Case{0, 5, 0}, Case{1, 5, 0}, Case{2, 5, 1}, Case{10, 0xFFFFFFFF, 5},
                          Case{0x80000000u, 0xFFFFFFFF, 0x7FFFFFFF}}) {
        auto one = std::make_shared<ScriptedSource>(std::vector<uint32_t>{c.draw});
        SourceScope inner(one);
        EXPECT_EQ(random::uniform(c.bound), c.expected) << c.bound;
        EXPECT_EQ(one->draws(), c.bound < 2 ? 0u : 1u) << "no draw is wasted on a bound below 2";
    }
}

TEST(RandomTest, UniformStaysInRangeAndCoversIt) {
    std::array<int, 7> seen{};
    for (int i = 0; i < 7000; ++i) {
        const uint32_t r = random::uniform(7);
        ASSERT_LT(r, 7u);
        ++seen[r];
    }
    for (int count : seen)
        EXPECT_GT(count, 700);  // about 1000 each; a miss is a broken generator, not bad luck
    for (int i = 0; i < 100; ++i)
        ASSERT_LT(random::uniform64(1000000000000ull), 1000000000000ull);
}

TEST(RandomTest, SeededSourceRepeatsAndDrivesUUIDs) {
    std::vector<Data> first, second;
    std::vector<std::string> uuids;
    for (int round = 0; round < 2; ++round) {
        SourceScope scope(std::make_shared<SeededRandomSource>(42));
        (round == 0 ? first : second).push_back(random::bytes(13));
        (round == 0 ? first : second).push_back(random::bytes(3));
        uuids.push_back(UUID().UUIDString());
    }
    EXPECT_EQ(first[0].vector(), second[0].vector());
    EXPECT_EQ(first[1].vector(), second[1].vector());
    EXPECT_NE(first[0].vector(), std::vector<uint8_t>(13, 0));
    EXPECT_EQ(uuids[0], uuids[1]);
    EXPECT_EQ(uuids[0][14], '4');  // still a version-4 UUID

    // Restored: the system source no longer repeats.
    EXPECT_NE(UUID(), UUID());
    EXPECT_NE(random::bytes(16).vector(), random::bytes(16).vector());
    EXPECT_TRUE(random::bytes(0).empty());
}

TEST(RandomTest, SourcesMayBeSwappedWhileOtherThreadsDraw) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> drawers;
    for (int t = 0; t < 3; ++t)
        drawers.emplace_back([&stop] {
            while (!stop.load())
                (void)random::uniform(100);
        });
    for (int i = 0; i < 200; ++i) {
        SourceScope scope(std::make_shared<SeededRandomSource>(static_cast<uint64_t>(i)));
        (void)random::uint64();
    }
    stop = true;
    for (auto& thread : drawers)
        thread.join();
}

}  // namespace
