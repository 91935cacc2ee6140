#include "sync/eventstore/SYNFileCoordination.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNErrors.h"

namespace {

// A hang guard only; no test waits for it to run out when it passes.
constexpr double kLongWait = 30.0;
// Short waits that must run out because the path is held throughout.
constexpr double kShortWait = 0.05;

plat::URL fileURL(const std::filesystem::path& path) {
    return plat::URL::fileURLWithPath(path.string());
}

// Holds a path on another thread, for reading or writing, until released.
class Holder {
  public:
    Holder(const plat::URL& url, bool writing) {
        thread_ = std::thread([this, url, writing] {
            auto accessor = [this](const plat::URL&) {
                held_.set_value();
                release_.get_future().wait();
            };
            result_ = writing ? syn_coordinateWritingItemAtURL(url, 0, kLongWait, accessor)
                              : syn_coordinateReadingItemAtURL(url, 0, kLongWait, accessor);
        });
        held_.get_future().wait();
    }
    ~Holder() { release(); }
    void release() {
        if (thread_.joinable()) {
            release_.set_value();
            thread_.join();
        }
    }
    plat::ErrorPtr result() const { return result_; }

  private:
    std::promise<void> held_;
    std::promise<void> release_;
    std::thread thread_;
    plat::ErrorPtr result_;
};

TEST(SYNFileCoordinationTest, AnUncontendedAccessRunsTheAccessorOnceOnTheCallingThread) {
    testsupport::TempDir dir;
    const plat::URL url = fileURL(dir / "file");
    int runs = 0;
    std::thread::id thread;
    EXPECT_EQ(syn_coordinateReadingItemAtURL(url, SYNFileCoordinatorReadingWithoutChanges, 1.0,
                                             [&](const plat::URL& given) {
                                                 ++runs;
                                                 thread = std::this_thread::get_id();
                                                 EXPECT_EQ(given, url);
                                             }),
              nullptr);
    EXPECT_EQ(syn_coordinateWritingItemAtURL(url, SYNFileCoordinatorWritingForReplacing,
                                             std::numeric_limits<double>::infinity(),
                                             [&](const plat::URL&) { ++runs; }),
              nullptr);
    EXPECT_EQ(syn_coordinateReadingItemAtURL(url, 0, 0.0, [&](const plat::URL&) { ++runs; }), nullptr);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(thread, std::this_thread::get_id());
}

TEST(SYNFileCoordinationTest, AHeldWriteMakesOtherAccessesTimeOutWithoutRunningTheirAccessor) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "sub");
    std::filesystem::create_symlink(dir / "sub", dir / "link");
    Holder writer(fileURL(dir / "sub/file"), true);

    std::atomic<int> runs{0};
    auto count = [&](const plat::URL&) { runs.fetch_add(1); };
    // The same file under other spellings is the same file.
    for (const auto& spelling :
         {dir / "sub/file", dir / "sub/./file", dir / "link/file", dir / "x/../sub/file"}) {
        auto error = syn_coordinateReadingItemAtURL(fileURL(spelling), 0, kShortWait, count);
        ASSERT_TRUE(SYNErrorHasCode(error, SYNErrorFileCoordinatorTimedOut)) << spelling;
        EXPECT_TRUE(error->userInfo().empty());
    }
    EXPECT_TRUE(SYNErrorHasCode(syn_coordinateWritingItemAtURL(fileURL(dir / "sub/file"), 0, 0.0, count),
                                SYNErrorFileCoordinatorTimedOut));
    EXPECT_TRUE(
        SYNErrorHasCode(syn_coordinateReadingItemAtURL(fileURL(dir / "sub/file"), 0, std::nan(""), count),
                        SYNErrorFileCoordinatorTimedOut));
    EXPECT_EQ(runs.load(), 0);

    // Other files are not held.
    EXPECT_EQ(syn_coordinateWritingItemAtURL(fileURL(dir / "sub/other"), 0, kShortWait, count), nullptr);
    EXPECT_EQ(runs.load(), 1);
    writer.release();
    EXPECT_EQ(writer.result(), nullptr);
    EXPECT_EQ(syn_coordinateReadingItemAtURL(fileURL(dir / "link/file"), 0, 0.0, count), nullptr);
}

TEST(SYNFileCoordinationTest, ReadersShareAPathAndWritersWaitForThem) {
    testsupport::TempDir dir;
    const plat::URL url = fileURL(dir / "shared");
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        order.push_back(what);
    };
    {
        Holder reader(url, false);
        EXPECT_EQ(
            syn_coordinateReadingItemAtURL(url, 0, 0.0, [&](const plat::URL&) { note("second reader"); }),
            nullptr);
        EXPECT_TRUE(
            SYNErrorHasCode(syn_coordinateWritingItemAtURL(
                                url, 0, kShortWait, [&](const plat::URL&) { note("writer that timed out"); }),
                            SYNErrorFileCoordinatorTimedOut));
        EXPECT_TRUE(SYNErrorHasCode(syn_coordinateReadingItemAtURL(url, 0, url, 0, kShortWait,
                                                                   [&](const plat::URL&, const plat::URL&) {
                                                                       note("read-write that timed out");
                                                                   }),
                                    SYNErrorFileCoordinatorTimedOut));
        std::thread waitingWriter([&] {
            EXPECT_EQ(
                syn_coordinateWritingItemAtURL(url, 0, kLongWait, [&](const plat::URL&) { note("writer"); }),
                nullptr);
        });
        note("reader releases");
        reader.release();
        waitingWriter.join();
    }
    EXPECT_EQ(order, (std::vector<std::string>{"second reader", "reader releases", "writer"}));
}

TEST(SYNFileCoordinationTest, ReadWriteCallsOnCrossedPathsNeverDeadlock) {
    testsupport::TempDir dir;
    const plat::URL a = fileURL(dir / "a");
    const plat::URL b = fileURL(dir / "b");
    std::atomic<int> runs{0};
    std::atomic<int> failures{0};
    auto worker = [&](const plat::URL& from, const plat::URL& to) {
        for (int i = 0; i < 200; ++i) {
            auto error = syn_coordinateReadingItemAtURL(
                from, 0, to, 0, kLongWait, [&](const plat::URL&, const plat::URL&) { runs.fetch_add(1); });
            if (error) {
                failures.fetch_add(1);
            }
        }
    };
    std::thread first(worker, a, b);
    std::thread second(worker, b, a);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(runs.load(), 400);
}

TEST(SYNFileCoordinationTest, UrlsThatAreNotFilesAreRefusedWithoutRunningTheAccessor) {
    auto web = plat::URL::URLWithString("https://example.invalid/file");
    ASSERT_TRUE(web);
    int runs = 0;
    auto read = syn_coordinateReadingItemAtURL(*web, 0, 1.0, [&](const plat::URL&) { ++runs; });
    auto write = syn_coordinateWritingItemAtURL(*web, 0, 1.0, [&](const plat::URL&) { ++runs; });
    ASSERT_TRUE(read && write);
    EXPECT_EQ(read->code(), plat::FileReadUnsupportedSchemeError);
    EXPECT_EQ(write->code(), plat::FileWriteUnsupportedSchemeError);
    EXPECT_EQ(runs, 0);
}

}  // namespace
