#include "platform/foundation/Log.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/CapturedLog.h"
#include "support/TempDir.h"

namespace {

// Points file descriptor 2 at a file in a temporary folder until text() is
// called or the object dies.
class StderrCapture {
  public:
    StderrCapture() : file_(dir_ / "stderr.txt") {
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }

    std::string text() {
        restore();
        std::ifstream in(file_);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    testsupport::TempDir dir_;
    std::filesystem::path file_;
    int saved_ = -1;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string escaped(const std::string& s) {
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] " with the given thread id pattern.
std::string prefixPattern(const std::string& tid) {
    return R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )" + escaped(program_invocation_short_name) +
           R"(\[)" + std::to_string(getpid()) + ":" + tid + R"(\] )";
}

TEST(Log, WritesOneTimestampedLinePerMessageToStandardError) {
    StderrCapture capture;
    plat::Log("hello world");
    plat::Log("already ends\n");
    plat::Log("");
    plat::LogFormat("Could not import data file: %@ (%d)", std::string("a.bin"), 107);
    const std::string text = capture.text();
    const std::string prefix = prefixPattern(std::to_string(gettid()));
    const std::regex expected("^" + prefix + "hello world\n" + prefix + "already ends\n" + prefix + "\n" +
                              prefix + R"(Could not import data file: a\.bin \(107\)\n$)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(Log, SinkReceivesMessagesAndNullRestoresStandardError) {
    StderrCapture capture;
    std::vector<std::string> seen;
    {
        testsupport::CapturedLog log;
        plat::Log("to the sink");
        plat::LogFormat("%@ -> %@", std::string("old"), std::string("new"));
        seen = log.lines();
    }
    plat::Log("to stderr");
    EXPECT_EQ(seen, (std::vector<std::string>{"to the sink", "old -> new"}));
    const std::vector<std::string> lines = linesOf(capture.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(prefixPattern(R"(\d+)") + "to stderr")));
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Long lines make a torn write likely if the line were written in parts.
            const std::string filler(2000, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                plat::LogFormat("t%d i%d %@", t, i, filler);
        });
    }
    for (std::thread& th : threads)
        th.join();
    const std::vector<std::string> lines = linesOf(capture.text());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex shape(prefixPattern(R"(\d+)") + R"(t(\d) i(\d+) ([a-z]{2000}))");
    std::vector<int> perThread(kThreads, 0);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
        const int t = std::stoi(m[1]);
        EXPECT_EQ(m[3].str(), std::string(2000, static_cast<char>('a' + t)));
        ++perThread[t];
    }
    EXPECT_EQ(perThread, std::vector<int>(kThreads, kLines));
}

TEST(Log, ReplacedSinkIsNeverCalledAfterSetLogSinkReturns) {
    std::atomic<int> first{0}, second{0};
    std::atomic<bool> stop{false};
    plat::setLogSink([&first](std::string_view) { first.fetch_add(1, std::memory_order_relaxed); });
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&stop] {
            while (!stop.load())
                plat::Log("tick");
        });
    }
    while (first.load() < 100)
        std::this_thread::yield();
    plat::setLogSink([&second](std::string_view) { second.fetch_add(1, std::memory_order_relaxed); });
    const int firstAtSwap = first.load();
    while (second.load() < 100)
        std::this_thread::yield();
    stop = true;
    for (std::thread& th : loggers)
        th.join();
    plat::setLogSink(nullptr);
    EXPECT_EQ(first.load(), firstAtSwap);
    EXPECT_GE(second.load(), 100);
}

}  // namespace
