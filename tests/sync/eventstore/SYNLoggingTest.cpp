#include "sync/eventstore/SYNLogging.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "support/CapturedLog.h"

namespace {

// Captures formatted log lines and restores the process-wide settings.
class SYNLoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SYNSetLogFunction([this](std::string_view format, std::span<const plat::FormatArg> args) {
            formats.emplace_back(format);
            lines.push_back(plat::formatArgs(format, args));
            if (args.size() == 3) {
                methods.emplace_back(args[1].stringValue());
            }
        });
    }
    void TearDown() override {
        SYNSetLogFunction(nullptr);
        SYNSetLoggingLevel(SYNLoggingLevelError);
    }

    std::vector<std::string> formats;
    std::vector<std::string> lines;
    std::vector<std::string> methods;
};

struct Emitter {
    void emitAllLevels() {
        SYN_LOG(SYNLoggingLevelError, "error %d", 1);
        SYN_LOG(SYNLoggingLevelWarning, "warning %d", 2);
        SYN_LOG(SYNLoggingLevelTrace, "trace %@", "three");
        SYN_LOG(SYNLoggingLevelVerbose, "verbose");
    }
};

TEST_F(SYNLoggingTest, ALevelNSiteWritesOnlyWhenTheLevelIsAtLeastN) {
    EXPECT_EQ(SYNReadLoggingLevel(), SYNLoggingLevelError);
    const std::vector<std::pair<int, std::size_t>> expectations = {{0, 0}, {1, 1}, {2, 2},
                                                                   {3, 3}, {4, 4}, {9, 4}};
    for (auto [level, count] : expectations) {
        lines.clear();
        SYNSetLoggingLevel(level);
        Emitter().emitAllLevels();
        EXPECT_EQ(lines.size(), count) << "level " << level;
    }
}

TEST_F(SYNLoggingTest, LinesCarryMessageMethodAndLineInTheFixedFormat) {
    SYN_LOG(SYNLoggingLevelError, "Could not fetch events: %@", "boom");
    const int line = __LINE__ - 1;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(formats[0], "  %-60s  <<<  %-70s line %d");
    const std::string method = methods[0];
    EXPECT_NE(method.find("LinesCarryMessageMethodAndLineInTheFixedFormat"), std::string::npos);
    EXPECT_EQ(method.find('('), std::string::npos);
    std::string expected =
        "  " + std::string("Could not fetch events: boom") + std::string(60 - 28, ' ') + "  <<<  " + method +
        std::string(method.size() < 70 ? 70 - method.size() : 0, ' ') + " line " + std::to_string(line);
    EXPECT_EQ(lines[0], expected);
}

TEST_F(SYNLoggingTest, MethodNamesDropReturnTypesArgumentsAndLambdaSuffixes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"void SYNEventStore::flush(SYNCompletion)", "SYNEventStore::flush"},
        {"std::map<int, int> SYNRevisionSet::map() const", "SYNRevisionSet::map"},
        {"SYNTaskQueue::runTask(std::size_t)::<lambda(plat::ErrorPtr, bool)>", "SYNTaskQueue::runTask"},
        {"int* SYNThing::pointer()", "SYNThing::pointer"},
        {"static bool SYNThing::check(int) [with T = int]", "SYNThing::check"},
        {"virtual void {anonymous}::Fixture::TestBody()", "{anonymous}::Fixture::TestBody"},
        {"virtual void (anonymous namespace)::Fixture::TestBody()", "{anonymous}::Fixture::TestBody"},
        {"auto SYNTaskQueue::runTask(std::size_t)::(anonymous class)::operator()() const",
         "SYNTaskQueue::runTask"},
        {"plainFunction", "plainFunction"},
        {"", ""},
    };
    for (const auto& [pretty, expected] : cases) {
        EXPECT_EQ(SYNMethodName(pretty), expected) << pretty;
    }
}

TEST_F(SYNLoggingTest, TheDefaultFunctionWritesThroughThePlatformLogAndCanBeRestored) {
    testsupport::CapturedLog log;
    SYNSetLogFunction(nullptr);
    SYN_LOG(SYNLoggingLevelError, "to the platform log");
    const std::vector<std::string> sunk = log.lines();
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].rfind("  to the platform log ", 0), 0u);
    EXPECT_NE(sunk[0].find("  <<<  "), std::string::npos);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(static_cast<bool>(SYNReadLogFunction()));
}

}  // namespace
