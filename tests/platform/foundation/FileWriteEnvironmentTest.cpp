#include "platform/foundation/FileWriteEnvironment.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace plat
