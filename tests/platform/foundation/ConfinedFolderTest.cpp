#include "platform/foundation/ConfinedFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using plat::ConfinedFolder;
using plat::FolderItemKind;
using testsupport::TempDir;

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

mode_t modeOf(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

// Every case runs twice: with openat2 where the kernel has it, and walking
// component by component as on kernels without it.
class ConfinedFolderTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ConfinedFolder::setUsesResolveBeneath(GetParam());
        fs::create_directories(dir / "cloud" / "mesh");
        fs::create_directories(dir / "home" / ".ssh");
        writeText(dir / "home" / ".ssh" / "id_rsa", "secret");
        writeText(dir / "home" / "thesis.txt", "thesis");
    }
    void TearDown() override { ConfinedFolder::setUsesResolveBeneath(true); }

    std::string cloudPath() const { return (dir / "cloud").string(); }
    std::string home() const { return (dir / "home").string(); }

    TempDir dir;
};

TEST_P(ConfinedFolderTest, LinksOnTheWayAreNeverFollowedWhateverTheOperation) {
    ConfinedFolder cloud(cloudPath());
    // Absolute and relative links to a folder outside.
    fs::create_directory_symlink(dir / "home" / ".ssh", dir / "cloud" / "mesh" / "side");
    fs::create_directory_symlink("../../home", dir / "cloud" / "mesh" / "data");
    fs::create_symlink(dir / "home" / "thesis.txt", dir / "cloud" / "mesh" / "thesis.txt");

    for (const std::string path : {"mesh/side/id_rsa", "mesh/data/thesis.txt"}) {
        auto read = cloud.readFile(path, 1 << 20);
        ASSERT_FALSE(read.ok()) << path;
        EXPECT_TRUE(plat::folderItemRefusalReason(read.error())) << path;
        EXPECT_NE(cloud.copyFileOut(path, (dir / "out").string(), 1 << 20), nullptr) << path;
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_NE(cloud.removeItem(path), nullptr) << path;
        writeText(dir / "local", "mine");
        EXPECT_NE(cloud.copyFileIn((dir / "local").string(), path, true), nullptr) << path;
        EXPECT_NE(cloud.linkFileOut(path, (dir / "out").string(), 1 << 20), nullptr) << path;
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_NE(cloud.moveFileIn((dir / "local").string(), path), nullptr) << path;
        EXPECT_EQ(testsupport::readFile(dir / "local"), "mine") << "a refused move leaves the file";
        EXPECT_NE(cloud.createDirectory(path + "-dir"), nullptr) << path;
    }
    EXPECT_FALSE(cloud.contentsOfDirectory("mesh/side").ok());
    EXPECT_FALSE(cloud.contentsOfDirectory("mesh/data").ok());
    EXPECT_FALSE(cloud.readFile("mesh/thesis.txt", 1 << 20).ok());

    // The link itself is removed, never what it points to.
    EXPECT_EQ(cloud.removeItem("mesh/side"), nullptr);
    EXPECT_EQ(cloud.removeItem("mesh/thesis.txt"), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "home" / ".ssh" / "id_rsa"), "secret");
    EXPECT_EQ(testsupport::readFile(dir / "home" / "thesis.txt"), "thesis");
    EXPECT_EQ(fs::directory_iterator(dir / "home" / ".ssh")->path().filename(), "id_rsa");
    EXPECT_FALSE(fs::exists(dir / "home" / ".ssh" / "local"));
    EXPECT_FALSE(fs::exists(dir / "home" / "thesis.txt-dir"));

    // ".." and NUL never leave the root.
    EXPECT_FALSE(cloud.readFile("mesh/../../home/thesis.txt", 1 << 20).ok());
    EXPECT_FALSE(cloud.readFile(std::string("mesh/a\0b", 8), 1 << 20).ok());
    EXPECT_NE(cloud.removeItem("/"), nullptr) << "the root itself is never removed";
}

TEST_P(ConfinedFolderTest, ListingReportsEveryKindWithoutOpeningAnything) {
    ConfinedFolder cloud(cloudPath());
    writeText(dir / "cloud" / "mesh" / "file", "12345");
    fs::create_directory(dir / "cloud" / "mesh" / "folder");
    fs::create_symlink("/dev/zero", dir / "cloud" / "mesh" / "link");
    ASSERT_EQ(::mkfifo((dir / "cloud" / "mesh" / "fifo").c_str(), 0600), 0);
    writeText(dir / "cloud" / "mesh" / ".hidden", "");

    auto items = cloud.contentsOfDirectory("/mesh/");
    ASSERT_TRUE(items.ok());
    std::vector<std::tuple<std::string, FolderItemKind, uint64_t>> seen;
    for (const auto& item : *items) {
        seen.emplace_back(item.name, item.kind, item.size);
    }
    EXPECT_EQ(seen, (std::vector<std::tuple<std::string, FolderItemKind, uint64_t>>{
                        {".hidden", FolderItemKind::Regular, 0},
                        {"fifo", FolderItemKind::Special, 0},
                        {"file", FolderItemKind::Regular, 5},
                        {"folder", FolderItemKind::Directory, 0},
                        {"link", FolderItemKind::SymbolicLink, 0}}));
    EXPECT_EQ(cloud.itemAtPath("mesh/link")->kind, FolderItemKind::SymbolicLink);
    EXPECT_EQ(cloud.itemAtPath("mesh/none")->kind, FolderItemKind::Missing);
    EXPECT_EQ(cloud.itemAtPath("none/none")->kind, FolderItemKind::Missing);
    EXPECT_EQ(cloud.itemAtPath("")->kind, FolderItemKind::Directory);
}

// A folder whose entries take several reads of the listing buffer is listed
// and copied out whole, and the folder it was read through can be listed again.
TEST_P(ConfinedFolderTest, FoldersLargerThanOneReadOfEntriesAreListedAndCopiedWhole) {
    ConfinedFolder cloud(cloudPath());
    fs::create_directory(dir / "cloud" / "mesh" / "big");
    std::vector<std::string> expected;
    for (int i = 0; i < 800; ++i) {
        std::string name = std::to_string(i) + "-" + std::string(120 + i % 40, 'e');
        writeText(dir / "cloud" / "mesh" / "big" / name, std::string(static_cast<std::size_t>(i % 7), 'x'));
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    for (int pass = 0; pass < 2; ++pass) {
        auto items = cloud.contentsOfDirectory("mesh/big");
        ASSERT_TRUE(items.ok());
        std::vector<std::string> names;
        for (const auto& item : *items) {
            names.push_back(item.name);
            EXPECT_EQ(item.kind, FolderItemKind::Regular);
            EXPECT_EQ(item.size, static_cast<uint64_t>(std::stoi(item.name) % 7)) << item.name;
        }
        EXPECT_EQ(names, expected);
    }
    ASSERT_EQ(cloud.copyFileOut("mesh/big", (dir / "out").string(), 1 << 20), nullptr);
    std::vector<std::string> copied;
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
        copied.push_back(entry.path().filename().string());
    }
    std::sort(copied.begin(), copied.end());
    EXPECT_EQ(copied, expected);
    EXPECT_FALSE(cloud.contentsOfDirectory("mesh/big/" + expected.front()).ok()) << "a file is no folder";
}

TEST_P(ConfinedFolderTest, SpecialFilesAndOversizedFilesAreRefusedWithoutBlocking) {
    ConfinedFolder cloud(cloudPath());
    ASSERT_EQ(::mkfifo((dir / "cloud" / "mesh" / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "cloud" / "mesh" / "zero");
    writeText(dir / "cloud" / "mesh" / "big", std::string(2000, 'x'));
    {
        // A sparse file: large, costs no disk.
        std::ofstream sparse(dir / "cloud" / "mesh" / "sparse", std::ios::binary);
        sparse.seekp((1LL << 30) - 1);
        sparse.put('x');
    }

    for (const std::string name : {"fifo", "zero", "big", "sparse"}) {
        auto read = cloud.readFile("mesh/" + name, 1000);
        ASSERT_FALSE(read.ok()) << name;
        auto reason = plat::folderItemRefusalReason(read.error());
        ASSERT_TRUE(reason) << name;
        EXPECT_NE(reason->find(name == "fifo"   ? "special"
                               : name == "zero" ? "symbolic link"
                                                : "larger than 1000"),
                  std::string::npos)
            << *reason;
        EXPECT_NE(cloud.copyFileOut("mesh/" + name, (dir / name).string(), 1000), nullptr) << name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name;
        auto linked = cloud.linkFileOut("mesh/" + name, (dir / name).string(), 1000);
        ASSERT_NE(linked, nullptr) << name;
        EXPECT_TRUE(plat::folderItemRefusalReason(linked)) << name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name;
    }
    EXPECT_EQ(cloud.readFile("mesh/big", 2000)->length(), 2000u);

    // A local source that is a FIFO or a link is refused too.
    EXPECT_NE(cloud.copyFileIn((dir / "cloud" / "mesh" / "fifo").string(), "mesh/copy", false), nullptr);
    EXPECT_NE(cloud.copyFileIn((dir / "cloud" / "mesh" / "zero").string(), "mesh/copy", false), nullptr);
    EXPECT_NE(cloud.moveFileIn((dir / "cloud" / "mesh" / "fifo").string(), "mesh/copy"), nullptr);
    EXPECT_NE(cloud.moveFileIn((dir / "cloud" / "mesh" / "zero").string(), "mesh/copy"), nullptr);
    EXPECT_TRUE(fs::is_fifo(dir / "cloud" / "mesh" / "fifo"));
    EXPECT_TRUE(fs::is_symlink(dir / "cloud" / "mesh" / "zero"));
    EXPECT_FALSE(fs::exists(dir / "cloud" / "mesh" / "copy"));
}

TEST_P(ConfinedFolderTest, CreatedItemsGetPrivateModesWhateverTheSourceAndUmask) {
    ConfinedFolder cloud(cloudPath());
    ScopedUmask mask(0);
    writeText(dir / "cloud" / "mesh" / "tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((dir / "cloud" / "mesh" / "tool").c_str(), 04755), 0);

    ASSERT_EQ(cloud.copyFileOut("mesh/tool", (dir / "tool").string(), 1 << 20), nullptr);
    EXPECT_EQ(modeOf(dir / "tool"), 0600u);
    EXPECT_EQ(testsupport::readFile(dir / "tool"), "#!/bin/sh\n");

    ASSERT_EQ(cloud.copyFileIn((dir / "cloud" / "mesh" / "tool").string(), "mesh/uploaded", false), nullptr);
    EXPECT_EQ(modeOf(dir / "cloud" / "mesh" / "uploaded"), 0600u);
    ASSERT_EQ(cloud.createDirectory("mesh/events"), nullptr);
    EXPECT_EQ(modeOf(dir / "cloud" / "mesh" / "events"), 0700u);
}

TEST_P(ConfinedFolderTest, CopiesInAreWholeAndReplaceOnlyWhenAsked) {
    ConfinedFolder cloud(cloudPath());
    writeText(dir / "a", "first");
    writeText(dir / "b", "second");
    ASSERT_EQ(cloud.copyFileIn((dir / "a").string(), "mesh/f", false), nullptr);
    auto exists = cloud.copyFileIn((dir / "b").string(), "mesh/f", false);
    ASSERT_NE(exists, nullptr);
    EXPECT_EQ(exists->code(), plat::FileWriteFileExistsError);
    EXPECT_EQ(testsupport::readFile(dir / "cloud" / "mesh" / "f"), "first");
    ASSERT_EQ(cloud.copyFileIn((dir / "b").string(), "mesh/f", true), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "cloud" / "mesh" / "f"), "second");
    // No temporary file is left behind.
    EXPECT_EQ(cloud.contentsOfDirectory("mesh")->size(), 1u);

    // A file of several copy buffers, not a multiple of one, comes through
    // byte for byte both ways.
    std::string large(200'003, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
    writeText(dir / "large", large);
    ASSERT_EQ(cloud.copyFileIn((dir / "large").string(), "mesh/large", false), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "cloud" / "mesh" / "large"), large);
    ASSERT_EQ(cloud.copyFileOut("mesh/large", (dir / "large back").string(), 1'000'000), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "large back"), large);
    fs::remove(dir / "cloud" / "mesh" / "large");

    // Out: never over an existing item, not even a link.
    fs::create_symlink(dir / "home" / "thesis.txt", dir / "link");
    EXPECT_NE(cloud.copyFileOut("mesh/f", (dir / "link").string(), 100), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "home" / "thesis.txt"), "thesis");
}

ino_t inodeOf(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A move takes the file itself only when nothing else holds it; a link out
// shares only a private file of this user's. Otherwise both copy, so that no
// name outside the folder ever writes into a file inside it.
TEST_P(ConfinedFolderTest, MovesInAndLinksOutShareAFileOnlyWhenNothingElseCanWriteIt) {
    ConfinedFolder cloud(cloudPath());
    ScopedUmask mask(0);
    const auto mesh = dir / "cloud" / "mesh";
    writeText(dir / "a", "first");
    ASSERT_EQ(::chmod((dir / "a").c_str(), 04755), 0);
    const ino_t a = inodeOf(dir / "a");
    ASSERT_EQ(cloud.moveFileIn((dir / "a").string(), "mesh/f"), nullptr);
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(inodeOf(mesh / "f"), a) << "moved, not copied";
    EXPECT_EQ(modeOf(mesh / "f"), 0600u);
    EXPECT_EQ(testsupport::readFile(mesh / "f"), "first");

    // Never over an existing file; the local file stays.
    writeText(dir / "b", "second");
    auto exists = cloud.moveFileIn((dir / "b").string(), "mesh/f");
    ASSERT_NE(exists, nullptr);
    EXPECT_EQ(exists->code(), plat::FileWriteFileExistsError);
    EXPECT_EQ(testsupport::readFile(mesh / "f"), "first");
    EXPECT_EQ(testsupport::readFile(dir / "b"), "second");
    EXPECT_NE(cloud.moveFileIn((dir / "b").string(), "missing/f"), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "b"), "second");

    // A file with a second name is copied: writing through that name later
    // must not change the folder's file.
    fs::create_hard_link(dir / "b", dir / "b2");
    ASSERT_EQ(cloud.moveFileIn((dir / "b").string(), "mesh/g"), nullptr);
    EXPECT_NE(inodeOf(mesh / "g"), inodeOf(dir / "b2"));
    writeText(dir / "b2", "changed");
    EXPECT_EQ(testsupport::readFile(mesh / "g"), "second");
    EXPECT_EQ(modeOf(mesh / "g"), 0600u);

    // Out: a private file of this user's is linked.
    ASSERT_EQ(cloud.linkFileOut("mesh/f", (dir / "f").string(), 100), nullptr);
    EXPECT_EQ(inodeOf(dir / "f"), inodeOf(mesh / "f"));
    EXPECT_EQ(testsupport::readFile(dir / "f"), "first");
    fs::remove(dir / "f");
    EXPECT_EQ(testsupport::readFile(mesh / "f"), "first") << "removing the local name keeps the folder's";

    // One that others may write, or of another mode, is copied and made
    // private.
    writeText(mesh / "open", "shared");
    ASSERT_EQ(::chmod((mesh / "open").c_str(), 0666), 0);
    ASSERT_EQ(cloud.linkFileOut("mesh/open", (dir / "open").string(), 100), nullptr);
    EXPECT_NE(inodeOf(dir / "open"), inodeOf(mesh / "open"));
    EXPECT_EQ(modeOf(dir / "open"), 0600u);
    EXPECT_EQ(testsupport::readFile(dir / "open"), "shared");

    // Never over an existing item, not even a link; never past the size.
    fs::create_symlink(dir / "home" / "thesis.txt", dir / "link");
    EXPECT_NE(cloud.linkFileOut("mesh/f", (dir / "link").string(), 100), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "home" / "thesis.txt"), "thesis");
    auto large = cloud.linkFileOut("mesh/f", (dir / "small").string(), 3);
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(plat::folderItemRefusalReason(large));
    EXPECT_FALSE(fs::exists(dir / "small"));
}

// Across file systems neither a rename nor a link can be made: both copy.
TEST_P(ConfinedFolderTest, MovesAndLinksAcrossFileSystemsCopy) {
    struct stat here, shm;
    if (::stat(dir.str().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev) {
        GTEST_SKIP() << "no second file system writable here";
    }
    char name[] = "/dev/shm/confined-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const fs::path other(name);
    struct Removal {
        fs::path path;
        ~Removal() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removal{other};
    ConfinedFolder cloud(cloudPath());
    writeText(other / "a", "first");
    ASSERT_EQ(cloud.moveFileIn((other / "a").string(), "mesh/f"), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "cloud" / "mesh" / "f"), "first");
    EXPECT_EQ(testsupport::readFile(other / "a"), "first") << "copied: the caller removes it";
    ASSERT_EQ(::chmod((dir / "cloud" / "mesh" / "f").c_str(), 0600), 0);
    ASSERT_EQ(cloud.linkFileOut("mesh/f", (other / "f").string(), 100), nullptr);
    EXPECT_EQ(testsupport::readFile(other / "f"), "first");
    EXPECT_EQ(modeOf(other / "f"), 0600u);
}

TEST_P(ConfinedFolderTest, RemovesFolderTreesWithoutFollowingLinksInside) {
    ConfinedFolder cloud(cloudPath());
    fs::create_directories(dir / "cloud" / "mesh" / "files" / "side");
    fs::create_directory_symlink(dir / "home", dir / "cloud" / "mesh" / "files" / "side" / "home");
    writeText(dir / "cloud" / "mesh" / "files" / "side" / "f", "x");
    EXPECT_EQ(cloud.removeItem("mesh/files"), nullptr);
    EXPECT_FALSE(fs::exists(dir / "cloud" / "mesh" / "files"));
    EXPECT_EQ(testsupport::readFile(dir / "home" / "thesis.txt"), "thesis");
    auto missing = cloud.removeItem("mesh/files");
    ASSERT_NE(missing, nullptr);
    EXPECT_TRUE(plat::isNoSuchFileError(missing));
}

INSTANTIATE_TEST_SUITE_P(Resolution, ConfinedFolderTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ResolveBeneath" : "PerComponent"; });

}  // namespace

namespace {

TEST_P(ConfinedFolderTest, FoldersAreCopiedWithTheirFilesAndFoldersButNoLinks) {
    ConfinedFolder cloud(cloudPath());
    const auto album = dir / "cloud" / "mesh" / "album";
    fs::create_directories(album / "inner");
    writeText(album / "a.jpg", "a");
    writeText(album / "inner" / "b.jpg", "b");
    fs::create_directory_symlink(dir / "home", album / "home");
    fs::create_symlink(dir / "home" / "thesis.txt", album / "inner" / "thesis");
    ASSERT_EQ(::mkfifo((album / "fifo").c_str(), 0600), 0);

    ASSERT_EQ(cloud.copyFileOut("mesh/album", (dir / "out").string(), 100), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "out" / "a.jpg"), "a");
    EXPECT_EQ(testsupport::readFile(dir / "out" / "inner" / "b.jpg"), "b");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out" / "home")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out" / "inner" / "thesis")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out" / "fifo")));
    EXPECT_EQ(modeOf(dir / "out"), 0700u);
    EXPECT_EQ(modeOf(dir / "out" / "inner" / "b.jpg"), 0600u);

    // Too large somewhere below: nothing is left.
    writeText(album / "inner" / "big", std::string(200, 'x'));
    EXPECT_NE(cloud.copyFileOut("mesh/album", (dir / "out2").string(), 100), nullptr);
    EXPECT_FALSE(fs::exists(dir / "out2"));

    // And back in, under another name.
    ASSERT_EQ(cloud.copyFileIn((dir / "out").string(), "mesh/copy", false), nullptr);
    EXPECT_EQ(testsupport::readFile(dir / "cloud" / "mesh" / "copy" / "inner" / "b.jpg"), "b");
    EXPECT_NE(cloud.copyFileIn((dir / "out").string(), "mesh/copy", false), nullptr);
    EXPECT_EQ(cloud.copyFileIn((dir / "out").string(), "mesh/copy", true), nullptr);
    EXPECT_EQ(cloud.contentsOfDirectory("mesh")->size(), 2u) << "no temporary folder is left";
}

}  // namespace
