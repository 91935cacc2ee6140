#include "beacon/core/BEACLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Log.h"

namespace {

// The default handler prints through plat::Log; collect its lines.
class DefaultHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACLogger::setLogHandler(&BEACLogger::defaultLogHandler);
        plat::setLogSink([this](std::string_view line) { lines_.emplace_back(line); });
    }
    void TearDown() override {
        plat::setLogSink(nullptr);
        BEACLogger::setCurrentLogLevel(BEACLogLevelAssert);
        BEACLogger::setIsUserDefinedLogLevel(false);
    }
    std::vector<std::string> lines_;
};

TEST_F(DefaultHandlerTest, PrintsByLevelWithTagNameFunctionAndLine) {
    BEACLogger::setCurrentLogLevel(BEACLogLevelAssert);
    BEACLogWarning("Beacon", "hidden %d", 1);
    BEACLog(BEACLogLevelAssert, "Beacon", "shown %d", 2);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("[Beacon] ASSERT: TestBody/", 0), 0u) << lines_[0];
    EXPECT_NE(lines_[0].find(" shown 2"), std::string::npos);

    lines_.clear();
    BEACLogger::setCurrentLogLevel(BEACLogLevelVerbose);
    for (BEACLogLevel level : {BEACLogLevelVerbose, BEACLogLevelDebug, BEACLogLevelInfo, BEACLogLevelWarning,
                               BEACLogLevelError, BEACLogLevelAssert, BEACLogLevelNone})
        BEACLog(level, "Beacon", "m");
    EXPECT_EQ(lines_.size(), 6u);  // none never prints

    lines_.clear();
    BEACLogger::setCurrentLogLevel(BEACLogLevelNone);
    BEACLog(BEACLogLevelAssert, "Beacon", "m");
    EXPECT_TRUE(lines_.empty());

    BEACLogger::setCurrentLogLevel(2);
    BEACLog(42, "Beacon", "odd level");
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("[Beacon] (null): ", 0), 0u) << lines_[0];
}

TEST(BEACLoggerTest, CustomHandlerSeesEveryLevelAndMarksUserDefined) {
    BEACLogger::setIsUserDefinedLogLevel(false);
    std::vector<BEACLogLevel> seen;
    int formatted = 0;
    BEACLogger::setLogHandler([&](const BEACLogMessageProvider& provider, BEACLogLevel level,
                                  const std::string& tag, const char*, const char*, uint32_t) {
        seen.push_back(level);
        EXPECT_EQ(tag, "Beacon");
        if (level == BEACLogLevelVerbose) {
            EXPECT_EQ(provider(), "v 1");
        }
    });
    EXPECT_TRUE(BEACLogger::isUserDefinedLogLevel());
    EXPECT_EQ(BEACLogger::currentLogLevel(), BEACLogLevelAssert);
    BEACLogVerbose("Beacon", "v %d", 1);
    // A message the handler never asks for is never formatted.
    BEACLogger::logMessage(
        [&] {
            ++formatted;
            return std::string();
        },
        BEACLogLevelDebug, "Beacon", "f", "g", 1);
    EXPECT_EQ(seen, (std::vector<BEACLogLevel>{BEACLogLevelVerbose, BEACLogLevelDebug}));
    EXPECT_EQ(formatted, 0);

    BEACLogger::setLogHandler(nullptr);  // nothing is logged, nothing crashes
    BEACLogError("Beacon", "dropped");
    EXPECT_FALSE(BEACLogger::logHandler());
    BEACLogger::setLogHandler(&BEACLogger::defaultLogHandler);
    BEACLogger::setIsUserDefinedLogLevel(false);
}

TEST(BEACLoggerTest, ReplacingTheHandlerWhileOtherThreadsLogIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    auto counting = [&](const BEACLogMessageProvider&, BEACLogLevel, const std::string&, const char*,
                        const char*, uint32_t) { ++calls; };
    std::vector<std::thread> loggers;
    for (int i = 0; i < 3; ++i) {
        loggers.emplace_back([&] {
            while (!stop)
                BEACLogVerbose("Beacon", "x");
        });
    }
    for (int i = 0; i < 500; ++i)
        BEACLogger::setLogHandler(i % 2 ? BEACLogHandler(counting) : BEACLogHandler());
    stop = true;
    for (auto& t : loggers)
        t.join();
    BEACLogger::setLogHandler(&BEACLogger::defaultLogHandler);
    BEACLogger::setIsUserDefinedLogLevel(false);
    SUCCEED() << calls.load();
}

}  // namespace
