#include "platform/appkit/ExceptionRuntime.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

using namespace plat;
using namespace plat::appkit;

namespace {

volatile int gSink = 0;
uintptr_t gThrowerReturn = 0;

__attribute__((noinline)) void thrower() {
    gThrowerReturn = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    if (gSink == 0)
        throw std::runtime_error("from thrower");
    gSink = gSink + 1;
}

__attribute__((noinline)) void throwerCaller() {
    thrower();
    gSink = gSink + 1;
}

class ThrowSiteTest : public ::testing::Test {
  protected:
    void SetUp() override { retainThrowSiteRecording(); }
    void TearDown() override { releaseThrowSiteRecording(); }
};

std::vector<uintptr_t> siteOfCurrent() {
    std::vector<uintptr_t> frames(kMaxThrowSiteFrames);
    frames.resize(currentExceptionThrowSiteFrames(frames.data(), frames.size()));
    return frames;
}

}  // namespace

// The record starts with the throwing function; the next frame is the
// return into its caller.
TEST_F(ThrowSiteTest, RecordsTheThrowingFunctionsStack) {
    try {
        throwerCaller();
        FAIL() << "no throw";
    } catch (const std::runtime_error&) {
        std::vector<uintptr_t> frames = siteOfCurrent();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[1], gThrowerReturn);
    }
}

// A rethrow with `throw;` keeps the original throw site.
TEST_F(ThrowSiteTest, RethrowKeepsTheOriginalSite) {
    try {
        try {
            throwerCaller();
        } catch (...) {
            throw;
        }
    } catch (const std::exception&) {
        std::vector<uintptr_t> frames = siteOfCurrent();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[1], gThrowerReturn);
    }
}

// An exception thrown on another thread and rethrown here must not take
// this thread's record of an older, unrelated throw.
TEST_F(ThrowSiteTest, ExceptionFromAnotherThreadIgnoresThisThreadsRecord) {
    try {
        throw 42;
    } catch (int) {
    }
    std::exception_ptr elsewhere;
    std::thread([&] {
        try {
            throw std::logic_error("other thread");
        } catch (...) {
            elsewhere = std::current_exception();
        }
    }).join();
    try {
        std::rethrow_exception(elsewhere);
    } catch (const std::logic_error&) {
        EXPECT_TRUE(siteOfCurrent().empty());
    }
}

// A record outlives its exception; once recording is off, the next throw on
// the thread forgets it, so a new exception at the old one's address never
// takes its site.
TEST(ThrowSite, AnUnrecordedThrowForgetsTheThreadsOlderRecord) {
    ASSERT_FALSE(isRecordingThrowSites());
    retainThrowSiteRecording();
    const void* recorded = nullptr;
    try {
        throwerCaller();
    } catch (const std::exception&) {
        recorded = thrownObject(std::current_exception());
        ASSERT_FALSE(siteOfCurrent().empty());
    }
    releaseThrowSiteRecording();
    uintptr_t frame = 0;
    ASSERT_EQ(throwSiteFrames(recorded, nullptr, &frame, 1), 1u);
    try {
        throw std::runtime_error("unrecorded");
    } catch (...) {
    }
    EXPECT_EQ(throwSiteFrames(recorded, nullptr, &frame, 1), 0u);
}

TEST(ThrowSite, NothingIsRecordedWhileRecordingIsOff) {
    ASSERT_FALSE(isRecordingThrowSites());
    try {
        throw std::runtime_error("unrecorded");
    } catch (...) {
        EXPECT_TRUE(siteOfCurrent().empty());
    }
    uintptr_t frame = 0;
    EXPECT_EQ(throwSiteFrames(nullptr, nullptr, &frame, 1), 0u);
    EXPECT_EQ(thrownObject(std::exception_ptr()), nullptr);
}

TEST_F(ThrowSiteTest, ExceptionStackComesFromItselfElseFromItsThrowSite) {
    StackedException own("Own", "reason", {1, 2, 3});
    EXPECT_EQ(callStackReturnAddresses(own), (std::vector<uintptr_t>{1, 2, 3}));
    // Not the exception being handled: nothing is known of it.
    EXPECT_TRUE(callStackReturnAddresses(Exception("Plain", "reason")).empty());
    try {
        throw Exception("Thrown", "reason");
    } catch (const Exception& e) {
        EXPECT_FALSE(callStackReturnAddresses(e).empty());
    }
}
