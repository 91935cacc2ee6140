// Object references in values: the boxes that hold them are reused within a
// thread. These tests check that reuse never keeps an object alive, never
// mixes up two objects, and that boxes dropped on other threads and during
// thread exit are handled (run under the address and thread sanitizers too).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace {

using plat::Value;

class Tagged final : public plat::Object {
  public:
    explicit Tagged(int tag) : tag_(tag) {}
    int tag() const { return tag_; }
    bool isEqual(const plat::Object& other) const override {
        const auto* o = dynamic_cast<const Tagged*>(&other);
        return o != nullptr && o->tag_ == tag_;
    }
    std::size_t hash() const override { return static_cast<std::size_t>(tag_); }

  private:
    int tag_;
};

int tagOf(const Value& v) {
    auto object = v.asObjectOf<Tagged>();
    return object ? object->tag() : -1;
}

TEST(ValueObjectBoxTest, DroppingTheValueReleasesTheObject) {
    // More than a thread keeps for reuse, in bursts of drops and makes.
    for (int round = 0; round < 4; ++round) {
        std::vector<std::weak_ptr<const Tagged>> watched;
        std::vector<Value> values;
        for (int i = 0; i < 300; ++i) {
            auto object = std::make_shared<const Tagged>(i);
            watched.push_back(object);
            values.emplace_back(std::move(object));
        }
        for (int i = 0; i < 300; ++i)
            EXPECT_EQ(tagOf(values[i]), i);
        values.clear();
        for (const auto& w : watched)
            EXPECT_TRUE(w.expired());
    }
}

TEST(ValueObjectBoxTest, ReusedBoxesHoldTheNewObject) {
    std::vector<Value> kept;
    for (int i = 0; i < 200; ++i) {
        Value dropped(std::make_shared<const Tagged>(1000 + i));
        Value made(std::make_shared<const Tagged>(i));
        dropped = Value();
        kept.push_back(made);
        Value copy = made;
        EXPECT_EQ(copy, made);
        EXPECT_EQ(copy.hash(), made.hash());
    }
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(tagOf(kept[i]), i);
        EXPECT_EQ(kept[i], Value(std::make_shared<const Tagged>(i)));
        EXPECT_FALSE(kept[i] == Value(std::make_shared<const Tagged>(i + 1)));
    }
}

TEST(ValueObjectBoxTest, NullObjectGivesNull) {
    EXPECT_TRUE(Value(plat::ObjectPtr()).isNull());
    EXPECT_TRUE(Value(std::shared_ptr<const Tagged>()).isNull());
}

// Values made on one thread and dropped on others, and values a thread still
// holds in its own thread-local storage when it exits.
TEST(ValueObjectBoxTest, ValuesCrossThreadsAndOutliveThreadExit) {
    std::vector<std::weak_ptr<const Tagged>> watched;
    std::vector<std::vector<Value>> batches(4);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 100; ++i) {
            auto object = std::make_shared<const Tagged>(t * 100 + i);
            watched.push_back(object);
            batches[t].emplace_back(std::move(object));
        }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([batch = std::move(batches[t]), t]() mutable {
            static thread_local std::vector<Value> heldAtExit;
            for (int i = 0; i < 100; ++i) {
                EXPECT_EQ(tagOf(batch[i]), t * 100 + i);
                if (i % 2 == 0)
                    heldAtExit.push_back(std::move(batch[i]));
            }
            batch.clear();  // the odd ones are dropped here
            for (int i = 0; i < 50; ++i)
                heldAtExit.emplace_back(std::make_shared<const Tagged>(-i));
        });
    for (auto& thread : threads)
        thread.join();
    for (const auto& w : watched)
        EXPECT_TRUE(w.expired());
}

}  // namespace
