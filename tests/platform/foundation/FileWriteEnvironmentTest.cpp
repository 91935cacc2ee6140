#include "platform/foundation/FileWriteEnvironment.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "support/FaultFileEnvironment.h"
#include "support/TempDir.h"

namespace plat {
namespace {

using testsupport::FaultFileEnvironment;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Records the calls a write makes, and makes them for real.
struct RecordingEnvironment : FileWriteEnvironment {
    std::vector<std::string> calls;
    int createTemporary(std::string& t) override {
        return calls.push_back("create"), system().createTemporary(t);
    }
    int writeAll(int fd, const void* b, std::size_t n) override {
        return calls.push_back("write"), system().writeAll(fd, b, n);
    }
    int syncData(int fd) override { return calls.push_back("sync"), system().syncData(fd); }
    int rename(const std::string& a, const std::string& b) override {
        return calls.push_back("rename"), system().rename(a, b);
    }
    int close(int fd) override { return calls.push_back("close"), system().close(fd); }
    int syncDirectory(const std::string& p) override {
        return calls.push_back("syncdir"), system().syncDirectory(p);
    }
};

TEST(FileWriteEnvironmentTest, AtomicWritesGoThroughTheEnvironmentInDurableOrder) {
    RecordingEnvironment recording;
    testsupport::TempDir dir;
    FileWriteEnvironment::setCurrent(&recording);
    auto error = FileManager::defaultManager().writeData(Data("new", 3), (dir / "f").string(), true);
    FileWriteEnvironment::setCurrent(nullptr);
    ASSERT_EQ(error, nullptr);
    EXPECT_EQ(contents(dir / "f"), "new");
    // Data synced before the rename (so the new name never holds a partial
    // file), the folder synced after it (so the rename survives).
    EXPECT_EQ(recording.calls,
              (std::vector<std::string>{"create", "write", "sync", "rename", "close", "syncdir"}));
}

TEST(FileWriteEnvironmentTest, FailedCallsLeaveTheOldFileAndNoTemporaryFile) {
    testsupport::TempDir dir;
    const std::string path = (dir / "f").string();
    ASSERT_EQ(FileManager::defaultManager().writeData(Data("old", 3), path, true), nullptr);
    for (auto call : {FaultFileEnvironment::Call::WriteAll, FaultFileEnvironment::Call::SyncData,
                      FaultFileEnvironment::Call::Rename}) {
        FaultFileEnvironment env;
        env.failNext(call, ENOSPC);
        auto error = FileManager::defaultManager().writeData(Data("new", 3), path, true);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(contents(path), "old");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    }
}

TEST(FileWriteEnvironmentTest, AWriteWhoseFolderCannotBeSyncedIsReportedAsFailed) {
    // Until the folder is synced a power loss can bring the old file back,
    // so the write must not be reported as done.
    testsupport::TempDir dir;
    const std::string path = (dir / "f").string();
    ASSERT_EQ(FileManager::defaultManager().writeData(Data("old", 3), path, true), nullptr);
    FaultFileEnvironment env;
    env.failNext(FaultFileEnvironment::Call::SyncDirectory, EIO);
    auto error = FileManager::defaultManager().writeData(Data("new", 3), path, true);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), FileWriteUnknownError);
    env.dropUnsyncedData();
    EXPECT_EQ(contents(path), "old");
}

// A write without sync goes through the same steps as an atomic write but
// for the two syncs: readers see the old or the new file, a failed call
// leaves the old one and no temporary file.
TEST(FileWriteEnvironmentTest, WritesWithoutSyncAreAtomicButNeverSync) {
    RecordingEnvironment recording;
    testsupport::TempDir dir;
    const std::string path = (dir / "f").string();
    FileWriteEnvironment::setCurrent(&recording);
    auto error = FileManager::defaultManager().writeDataWithoutSync(Data("old", 3), path);
    FileWriteEnvironment::setCurrent(nullptr);
    ASSERT_EQ(error, nullptr);
    EXPECT_EQ(contents(path), "old");
    EXPECT_EQ(recording.calls, (std::vector<std::string>{"create", "write", "rename", "close"}));

    for (auto call : {FaultFileEnvironment::Call::CreateTemporary, FaultFileEnvironment::Call::WriteAll,
                      FaultFileEnvironment::Call::Rename, FaultFileEnvironment::Call::Close}) {
        FaultFileEnvironment env;
        env.failNext(call, ENOSPC);
        EXPECT_NE(FileManager::defaultManager().writeDataWithoutSync(Data("new", 3), path), nullptr);
        if (call != FaultFileEnvironment::Call::Close) {
            EXPECT_EQ(contents(path), "old");
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    }
    EXPECT_EQ(FileManager::defaultManager().writeDataWithoutSync(Data("newer", 5), path), nullptr);
    EXPECT_EQ(contents(path), "newer");
    EXPECT_EQ(FileManager::defaultManager()
                  .writeDataWithoutSync(Data("x", 1), (dir / "missing" / "f").string())
                  ->code(),
              FileManager::defaultManager()
                  .writeData(Data("x", 1), (dir / "missing" / "f").string(), true)
                  ->code());
}

TEST(FileWriteEnvironmentTest, AbandonedTemporaryFilesAreRemovedButLiveOnesKept) {
    testsupport::TempDir dir;
    const std::string path = (dir / "data.bin").string();
    EXPECT_EQ(atomicWriteTemplate(path), (dir / ".data.bin.tmp-XXXXXX").string());
    std::string dead = atomicWriteTemplate(path), live = atomicWriteTemplate(path);
    const int deadFd = FileWriteEnvironment::system().createTemporary(dead);
    ASSERT_GE(deadFd, 0);
    ::close(deadFd);  // its writer is gone: the lock went with it
    const int liveFd = FileWriteEnvironment::system().createTemporary(live);
    ASSERT_GE(liveFd, 0);
    std::ofstream(dir / ".data.bin.tmp-1") << "another pattern";
    std::ofstream(dir / ".other.bin.tmp-abcdef") << "another file's";

    EXPECT_EQ(removeAbandonedAtomicWriteFiles(path), 1u);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(dir / ".data.bin.tmp-1"));
    EXPECT_TRUE(std::filesystem::exists(dir / ".other.bin.tmp-abcdef"));
    ::close(liveFd);
    EXPECT_EQ(removeAbandonedAtomicWriteFiles(path), 1u);
}

// Writes through a spare file: after the first write no file is made (the
// two names swap their files), the spare holds the previous contents, and a
// power loss at any call leaves the old or the new contents, never a part.
TEST(FileWriteEnvironmentTest, WritesThroughASpareMakeNoFileAndSurviveAPowerLossWhole) {
    testsupport::TempDir dir;
    const std::string path = (dir / "meta").string(), spare = (dir / ".meta.spare").string();
    const auto& files = FileManager::defaultManager();
    ASSERT_EQ(files.writeDataThroughSpare(Data("v1", 2), path, spare), nullptr);
    EXPECT_FALSE(std::filesystem::exists(spare));  // the first write is an atomic one
    ASSERT_EQ(files.writeDataThroughSpare(Data("v2 longer", 9), path, spare), nullptr);
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat(path.c_str(), &a), 0);
    ASSERT_EQ(files.writeDataThroughSpare(Data("v3", 2), path, spare), nullptr);
    ASSERT_EQ(::stat(spare.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);  // the files swapped names: none was made
    EXPECT_EQ(contents(path), "v3");
    EXPECT_EQ(contents(spare), "v2 longer");
    std::size_t names = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++names;
    EXPECT_EQ(names, 2u);

    // A power cut after each number of calls in turn, then the unsynced data
    // dropped: the file is whole, old or new, and once the write reported
    // success it is the new one.
    for (std::size_t calls = 0; calls < 12; ++calls) {
        const std::string before = contents(path);
        const std::string after = before == "old" ? "new contents" : "old";
        plat::ErrorPtr error;
        {
            FaultFileEnvironment env;
            env.cutPowerAfter(calls);
            error = files.writeDataThroughSpare(Data(after.data(), after.size()), path, spare);
            env.dropUnsyncedData();
        }
        const std::string now = contents(path);
        EXPECT_TRUE(now == before || now == after) << calls << ": " << now;
        if (!error) {
            EXPECT_EQ(now, after) << calls;
        }
    }
}

// The spare is overwritten in place and cut to the new length: a spare
// holding longer old contents leaves none of them behind, and a write whose
// cut fails fails whole, the file keeping its old contents.
TEST(FileWriteEnvironmentTest, WritesThroughASpareOverwriteItsOldContentsExactly) {
    testsupport::TempDir dir;
    const std::string path = (dir / "meta").string(), spare = (dir / ".meta.spare").string();
    const auto& files = FileManager::defaultManager();
    const std::string longer(5000, 'L');
    for (const std::string& text : {std::string("v1"), longer, std::string("a")}) {
        ASSERT_EQ(files.writeDataThroughSpare(Data(text.data(), text.size()), path, spare), nullptr);
    }
    EXPECT_EQ(contents(spare), longer);
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(spare.c_str(), &before), 0);
    ASSERT_EQ(files.writeDataThroughSpare(Data("bc", 2), path, spare), nullptr);
    EXPECT_EQ(contents(path), "bc");
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // the spare written was the one of the longer contents
    EXPECT_EQ(contents(spare), "a");
    {
        FaultFileEnvironment env;
        env.failNext(FaultFileEnvironment::Call::Truncate, EIO);
        EXPECT_NE(files.writeDataThroughSpare(Data("d", 1), path, spare), nullptr);
    }
    EXPECT_EQ(contents(path), "bc");
    ASSERT_EQ(files.writeDataThroughSpare(Data(longer.data(), longer.size()), path, spare), nullptr);
    EXPECT_EQ(contents(path), longer);
    EXPECT_EQ(contents(spare), "bc");
}

TEST(FileWriteEnvironmentTest, WritesThroughASpareFallBackToAnAtomicWrite) {
    testsupport::TempDir dir;
    const std::string path = (dir / "meta").string(), spare = (dir / ".meta.spare").string();
    const auto& files = FileManager::defaultManager();
    ASSERT_EQ(files.writeDataThroughSpare(Data("v1", 2), path, spare), nullptr);
    {
        // A file system that cannot swap: written the usual way, no spare left.
        FaultFileEnvironment env;
        env.failNext(FaultFileEnvironment::Call::Exchange, EINVAL);
        ASSERT_EQ(files.writeDataThroughSpare(Data("v2", 2), path, spare), nullptr);
    }
    EXPECT_EQ(contents(path), "v2");
    EXPECT_FALSE(std::filesystem::exists(spare));
    {
        // Any other failure of the swap is the write's: the old file stays.
        FaultFileEnvironment env;
        env.failNext(FaultFileEnvironment::Call::Exchange, EIO);
        EXPECT_NE(files.writeDataThroughSpare(Data("v3", 2), path, spare), nullptr);
    }
    EXPECT_EQ(contents(path), "v2");
    // A link where the spare goes is not followed, nor is its target written.
    std::filesystem::remove(spare);
    std::ofstream(dir / "target") << "target";
    std::filesystem::create_symlink(dir / "target", spare);
    ASSERT_EQ(files.writeDataThroughSpare(Data("v4", 2), path, spare), nullptr);
    EXPECT_EQ(contents(path), "v4");
    EXPECT_EQ(contents(dir / "target"), "target");
    EXPECT_TRUE(std::filesystem::is_symlink(spare));
    // A folder where the file should be: refused as an atomic write refuses it.
    std::filesystem::create_directory(dir / "folder");
    EXPECT_NE(files.writeDataThroughSpare(Data("x", 1), (dir / "folder").string(), spare), nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
}

// Writers of one path take turns on the spare: each write that reports
// success leaves a whole file, and both names always hold whole contents.
TEST(FileWriteEnvironmentTest, ConcurrentWritesThroughOneSpareNeverMix) {
    testsupport::TempDir dir;
    const std::string path = (dir / "meta").string(), spare = (dir / ".meta.spare").string();
    const auto& files = FileManager::defaultManager();
    const std::string a(3000, 'a'), b(1000, 'b');
    ASSERT_EQ(files.writeDataThroughSpare(Data(a.data(), a.size()), path, spare), nullptr);
    std::atomic<int> failures{0};
    auto writer = [&](const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            if (files.writeDataThroughSpare(Data(text.data(), text.size()), path, spare))
                ++failures;
        }
    };
    std::thread first(writer, a), second(writer, b);
    first.join();
    second.join();
    EXPECT_EQ(failures, 0);
    for (const auto& name : {path, spare}) {
        const std::string now = contents(name);
        EXPECT_TRUE(now == a || now == b) << name;
    }
    std::size_t names = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++names;
    EXPECT_EQ(names, 2u);
}

}  // namespace
}  // namespace plat
