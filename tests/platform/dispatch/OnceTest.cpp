#include "platform/dispatch/Once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {
namespace {

TEST(OnceTest, ConcurrentCallersRunTheBlockOnceAndAllSeeItsEffect) {
    Once once;
    std::atomic<int> runs{0};
    int value = 0;  // written by the block, read by every caller after call()
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] {
            once.call([&] {
                runs.fetch_add(1);
                value = 42;
            });
            if (value != 42) {
                wrong.fetch_add(1);
            }
        });
    }
    for (auto& t : callers) {
        t.join();
    }
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(once.isDone());
}

TEST(OnceTest, ResetRunsItAgainAndAThrowingBlockIsRetried) {
    Once once;
    int runs = 0;
    EXPECT_THROW(once.call([&] {
        ++runs;
        throw std::runtime_error("first try fails");
    }),
                 std::runtime_error);
    EXPECT_FALSE(once.isDone());
    once.call([&] { ++runs; });
    once.call([&] { ++runs; });
    EXPECT_EQ(runs, 2);
    once.reset();
    EXPECT_FALSE(once.isDone());
    once.call([&] { ++runs; });
    EXPECT_EQ(runs, 3);
}

TEST(OnceTest, ReentryFromTheBlockIsRefused) {
    Once once;
    bool refused = false;
    once.call([&] {
        try {
            once.call([] {});
        } catch (const DispatchException&) {
            refused = true;
        }
    });
    EXPECT_TRUE(refused);
    EXPECT_TRUE(once.isDone());
}

}  // namespace
}  // namespace plat::dispatch
