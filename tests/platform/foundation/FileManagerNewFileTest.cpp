// FileManager::writeNewFile on real folders: the bytes whole under a new
// name, nothing else touched, and nothing left behind by a failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileWriteEnvironment.h"
#include "support/FaultFileEnvironment.h"
#include "support/TempDir.h"

namespace {

using plat::FileManager;
using testsupport::FaultFileEnvironment;
using testsupport::TempDir;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

// Records the calls of the environment a write makes, and makes them.
struct RecordingEnvironment : plat::FileWriteEnvironment {
    std::vector<std::string> calls;
    RecordingEnvironment() { setCurrent(this); }
    ~RecordingEnvironment() override { setCurrent(nullptr); }
    int writeAll(int fd, const void* b, std::size_t n) override {
        return calls.push_back("write"), system().writeAll(fd, b, n);
    }
    int syncData(int fd) override { return calls.push_back("sync"), system().syncData(fd); }
    int close(int fd) override { return calls.push_back("close"), system().close(fd); }
    int rename(const std::string& a, const std::string& b) override {
        return calls.push_back("rename"), system().rename(a, b);
    }
    int unlink(const std::string& p) override { return calls.push_back("unlink"), system().unlink(p); }
};

TEST(FileManagerNewFileTest, WritesTheBytesWholeWithTheModeOfANewFileAndNothingElse) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    // Bytes with a NUL inside and a text larger than one write of a pipe's
    // or page's size, taken as they are (no terminator, no copy needed).
    const std::string withNul("one\0two", 7);
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>('a' + (i * 7919) % 26);
    }
    const std::string view = large.substr(5, 1000);
    for (mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
        ScopedUmask scoped(mask);
        const std::string tag = std::to_string(mask);
        RecordingEnvironment recording;
        ASSERT_EQ(fm.writeNewFile(withNul, (dir / ("nul" + tag)).string()), nullptr);
        // Written in place and closed, never synced nor renamed.
        EXPECT_EQ(recording.calls, (std::vector<std::string>{"write", "close"}));
        ASSERT_EQ(fm.writeNewFile(large, (dir / ("large" + tag)).string()), nullptr);
        ASSERT_EQ(fm.writeNewFile(std::string_view(large).substr(5, 1000), (dir / ("slice" + tag)).string()),
                  nullptr);
        ASSERT_EQ(fm.writeNewFile({}, (dir / ("empty" + tag)).string()), nullptr);
        EXPECT_EQ(contents((dir / ("nul" + tag)).string()), withNul);
        EXPECT_EQ(contents((dir / ("large" + tag)).string()), large);
        EXPECT_EQ(contents((dir / ("slice" + tag)).string()), view);
        EXPECT_EQ(contents((dir / ("empty" + tag)).string()), "");
        for (const char* name : {"nul", "large", "slice", "empty"}) {
            EXPECT_EQ(modeOf((dir / (name + tag)).string()), 0666u & ~mask) << name << " umask " << tag;
        }
    }
    // Nothing beside the files asked for: no temporary file.
    EXPECT_EQ(namesIn(dir.path()).size(), 12u);
}

TEST(FileManagerNewFileTest, RefusesAnythingAlreadyAtThePathAndLeavesItAlone) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string file = (dir / "file").string();
    std::ofstream(file) << "kept";
    const std::string target = (dir / "target").string();
    std::ofstream(target) << "target";
    const std::string link = (dir / "link").string();
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string dangling = (dir / "dangling").string();
    const std::string missingTarget = (dir / "missing-target").string();
    ASSERT_EQ(::symlink(missingTarget.c_str(), dangling.c_str()), 0);
    const std::string folder = (dir / "folder").string();
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

    RecordingEnvironment recording;
    for (const auto& path : {file, link, dangling, folder}) {
        auto error = fm.writeNewFile("new", path);
        ASSERT_NE(error, nullptr) << path;
        EXPECT_EQ(error->domain(), plat::CocoaErrorDomain);
        EXPECT_EQ(error->code(), plat::FileWriteFileExistsError) << path;
    }
    // Nothing written, nothing removed: the call never reached the writes.
    EXPECT_TRUE(recording.calls.empty());
    EXPECT_EQ(contents(file), "kept");
    EXPECT_EQ(contents(target), "target");
    EXPECT_FALSE(std::filesystem::exists(missingTarget));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // A missing folder is a missing file, which callers can tell.
    auto missing = fm.writeNewFile("new", (dir / "none" / "file").string());
    ASSERT_NE(missing, nullptr);
    EXPECT_TRUE(plat::isNoSuchFileError(missing));
    EXPECT_FALSE(std::filesystem::exists(dir / "none"));
}

TEST(FileManagerNewFileTest, AFailedWriteOrCloseRemovesTheFile) {
    TempDir dir;
    auto& fm = FileManager::defaultManager();
    const std::string bytes(100000, 'x');
    int n = 0;
    for (auto call : {FaultFileEnvironment::Call::WriteAll, FaultFileEnvironment::Call::Close}) {
        for (int err : {ENOSPC, EIO, EDQUOT}) {
            const std::string path = (dir / ("f" + std::to_string(n++))).string();
            {
                FaultFileEnvironment env;
                env.failNext(call, err);
                auto error = fm.writeNewFile(bytes, path);
                ASSERT_NE(error, nullptr);
                ASSERT_NE(error->underlyingError(), nullptr);
                // A failed close is reported as EIO by the test environment.
                EXPECT_EQ(error->underlyingError()->code(),
                          call == FaultFileEnvironment::Call::Close ? EIO : err);
                EXPECT_FALSE(plat::isNoSuchFileError(error));
            }
            EXPECT_FALSE(std::filesystem::exists(path)) << path;
            EXPECT_TRUE(namesIn(dir.path()).empty());
            // The same name can be written once the failure has passed.
            ASSERT_EQ(fm.writeNewFile(bytes, path), nullptr);
            EXPECT_EQ(contents(path), bytes);
            ASSERT_EQ(::unlink(path.c_str()), 0);
        }
    }
}

}  // namespace
