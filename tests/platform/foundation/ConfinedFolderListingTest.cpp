// Listings of a confined folder that take what they can from the folder's
// entries and from an earlier listing of the same folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using plat::ConfinedFolder;
using plat::FolderItem;
using plat::FolderItemKind;

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Rewrites the file in place: same inode, new size.
void rewriteInPlace(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The sizes of the regular files of an earlier listing, by name and inode,
// recording what it was asked.
ConfinedFolder::KeptFileSize keptFrom(const std::vector<FolderItem>& earlier,
                                      std::vector<std::string>* asked) {
    return [earlier, asked](std::string_view name, uint64_t inode) -> std::optional<uint64_t> {
        asked->emplace_back(name);
        for (const auto& item : earlier) {
            if (item.name == name && item.inode == inode && item.kind == FolderItemKind::Regular) {
                return item.size;
            }
        }
        return std::nullopt;
    };
}

std::map<std::string, FolderItem> byName(const std::vector<FolderItem>& items) {
    std::map<std::string, FolderItem> found;
    for (const auto& item : items) {
        found[item.name] = item;
    }
    return found;
}

// With openat2 where the kernel has it, and walking component by component.
class ConfinedFolderListingTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ConfinedFolder::setUsesResolveBeneath(GetParam());
        fs::create_directories(dir / "cloud" / "mesh" / "events" / "folder");
        fs::create_directories(dir / "cloud" / "mesh" / "other");
    }
    void TearDown() override { ConfinedFolder::setUsesResolveBeneath(true); }

    fs::path events() const { return dir / "cloud" / "mesh" / "events"; }

    testsupport::TempDir dir;
};

TEST_P(ConfinedFolderListingTest, KindsComeFromTheEntriesAndSizesFromAnEarlierListingOfTheSameFile) {
    ConfinedFolder cloud((dir / "cloud").string());
    writeText(events() / "kept", "0123456789");
    writeText(events() / "replaced", "abc");
    writeText(events() / "large", std::string(200, 'x'));
    writeText(events() / ".hidden", "h");
    fs::create_symlink("kept", events() / "link");
    ASSERT_EQ(::mkfifo((events() / "pipe").c_str(), 0600), 0);

    auto first = cloud.contentsOfDirectory("mesh/events");
    ASSERT_TRUE(first.ok()) << first.error()->localizedDescription();
    std::vector<std::string> names;
    for (const auto& item : *first) {
        names.push_back(item.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{".hidden", "folder", "kept", "large", "link", "pipe", "replaced"}));
    auto items = byName(*first);
    EXPECT_EQ(items["kept"].kind, FolderItemKind::Regular);
    EXPECT_EQ(items["kept"].size, 10u);
    EXPECT_NE(items["kept"].inode, 0u);
    EXPECT_EQ(items["folder"].kind, FolderItemKind::Directory);
    EXPECT_EQ(items["link"].kind, FolderItemKind::SymbolicLink);
    EXPECT_EQ(items["pipe"].kind, FolderItemKind::Special);
    EXPECT_EQ(items["large"].size, 200u);
    for (const char* name : {"folder", "link", "pipe"}) {
        EXPECT_EQ(items[name].size, 0u) << name;
    }

    // A file put in place of another under its name, one gone, one new, one
    // rewritten in place, a folder where a link was.
    writeText(events() / "replacement", "abcdefgh");
    fs::rename(events() / "replacement", events() / "replaced");
    fs::remove(events() / ".hidden");
    writeText(events() / "new", "12345");
    rewriteInPlace(events() / "kept", "0123");
    rewriteInPlace(events() / "large", std::string(50, 'y'));
    fs::remove(events() / "link");
    fs::create_directory(events() / "link");

    std::vector<std::string> asked;
    auto second = cloud.contentsOfDirectory("mesh/events", keptFrom(*first, &asked));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(asked, (std::vector<std::string>{"kept", "large", "new", "replaced"}))
        << "asked for regular files only, in name order";
    items = byName(*second);
    EXPECT_EQ(items.count(".hidden"), 0u);
    EXPECT_EQ(items["replaced"].size, 8u) << "another file under the name is looked at again";
    EXPECT_EQ(items["new"].size, 5u);
    EXPECT_EQ(items["kept"].size, 10u) << "the same file takes the size it was listed with";
    EXPECT_EQ(items["large"].size, 200u);
    EXPECT_EQ(items["link"].kind, FolderItemKind::Directory);
    EXPECT_EQ(items["pipe"].kind, FolderItemKind::Special);

    // Without kept sizes, or with those of another folder holding the same
    // names, every size is the file's own.
    auto fresh = byName(*cloud.contentsOfDirectory("mesh/events"));
    EXPECT_EQ(fresh["kept"].size, 4u);
    EXPECT_EQ(fresh["large"].size, 50u);
    writeText(dir / "cloud" / "mesh" / "other" / "kept", std::string(30, 'z'));
    auto other = cloud.contentsOfDirectory("mesh/other");
    ASSERT_TRUE(other.ok());
    auto borrowed = byName(*cloud.contentsOfDirectory("mesh/events", keptFrom(*other, &asked)));
    EXPECT_EQ(borrowed["kept"].size, 4u);
    EXPECT_EQ(byName(*cloud.contentsOfDirectory("mesh/other", keptFrom(*second, &asked)))["kept"].size, 30u);
}

// The folder is opened in one call; what that cannot open is walked to, and
// fails with the cause named as before.
TEST_P(ConfinedFolderListingTest, ListingsOfWhatIsNoFolderFailWithTheCauseNamed) {
    ConfinedFolder cloud((dir / "cloud").string());
    writeText(dir / "cloud" / "mesh" / "file", "f");
    fs::create_directories(dir / "outside");
    fs::create_symlink(dir / "outside", dir / "cloud" / "mesh" / "linked");
    fs::create_symlink(dir / "outside", dir / "cloud" / "linkedMesh");
    auto file = cloud.contentsOfDirectory("mesh/file");
    ASSERT_FALSE(file.ok());
    EXPECT_FALSE(plat::folderItemRefusalReason(file.error()));
    // A link at the end is no folder; a link on the way is refused as one.
    auto linked = cloud.contentsOfDirectory("mesh/linked");
    ASSERT_FALSE(linked.ok());
    EXPECT_FALSE(plat::isNoSuchFileError(linked.error()));
    auto behind = cloud.contentsOfDirectory("linkedMesh/secret");
    ASSERT_FALSE(behind.ok());
    EXPECT_EQ(plat::folderItemRefusalReason(behind.error()), "lies behind a symbolic link");
    EXPECT_TRUE(plat::isNoSuchFileError(cloud.contentsOfDirectory("mesh/missing").error()));
    EXPECT_FALSE(cloud.contentsOfDirectory("mesh/../mesh").ok());
    auto slashes = cloud.contentsOfDirectory("//mesh/");
    ASSERT_TRUE(slashes.ok());
    EXPECT_EQ(byName(*slashes)["linked"].kind, FolderItemKind::SymbolicLink);
}

// A download for reading links only a regular file; a folder is refused as a
// read refuses it, never linked and never copied whole.
TEST_P(ConfinedFolderListingTest, AFolderIsRefusedForReadingNeverLinkedOrCopied) {
    ConfinedFolder cloud((dir / "cloud").string());
    writeText(events() / "folder" / "inside", "inside");
    auto linked = cloud.linkFileOut("mesh/events/folder", (dir / "out").string(), 1000);
    ASSERT_NE(linked, nullptr);
    EXPECT_TRUE(plat::folderItemRefusalReason(linked));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out")));
    // A link to a private file of this user's is refused as the link it is.
    writeText(events() / "private", "p");
    ASSERT_EQ(::chmod((events() / "private").c_str(), 0600), 0);
    fs::create_symlink("private", events() / "alias");
    auto alias = cloud.linkFileOut("mesh/events/alias", (dir / "alias").string(), 1000);
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(plat::folderItemRefusalReason(alias), "is a symbolic link");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "alias")));
    EXPECT_EQ(cloud.linkFileOut("mesh/events/private", (dir / "private").string(), 1000), nullptr);
    EXPECT_EQ(fs::hard_link_count(events() / "private"), 2u);
}

// The path a failed listing names: the root and the relative path as given.
std::string pathNamedBy(const plat::ErrorPtr& error) {
    const plat::Value* path = error ? error->userInfo().find(plat::FilePathErrorKey) : nullptr;
    return path && path->asString() ? *path->asString() : std::string("(none)");
}

TEST_P(ConfinedFolderListingTest, FailedListingsNameThePathAsAskedFor) {
    const std::string root = (dir / "cloud").string();
    ConfinedFolder cloud(root);
    writeText(dir / "cloud" / "mesh" / "file", "f");
    // Missing on the way, missing at the end, a file, a refused component.
    for (const std::string relative : {"mesh/gone/events", "mesh/missing", "mesh/file", "mesh/../mesh"}) {
        SCOPED_TRACE(relative);
        auto listed = cloud.contentsOfDirectory(relative);
        ASSERT_FALSE(listed.ok());
        EXPECT_EQ(pathNamedBy(listed.error()), root + "/" + relative);
    }
    EXPECT_EQ(pathNamedBy(cloud.contentsOfDirectory("/mesh/missing").error()), root + "/mesh/missing");
}

TEST_P(ConfinedFolderListingTest, EntriesComeInTheOrderOfTheirNamesWhateverTheOrderMade) {
    ConfinedFolder cloud((dir / "cloud").string());
    // Made last name first, among names longer than a short string holds
    // and names sharing long beginnings, with folders among them.
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        char name[80];
        std::snprintf(name, sizeof name, "%05d_store-with-a-long-identifier_%d%s", 299 - i, i % 3,
                      i % 7 == 0 ? "" : ".json");
        if (i % 11 == 0) {
            fs::create_directories(events() / name);
        } else {
            writeText(events() / name, std::string(static_cast<std::size_t>(i), 'x'));
        }
        expected.emplace_back(name);
    }
    expected.emplace_back("folder");
    std::sort(expected.begin(), expected.end());
    // Once on its own, once taking the sizes of the first listing.
    std::vector<FolderItem> earlier;
    std::vector<std::string> asked;
    for (int pass = 0; pass < 2; ++pass) {
        auto listed = pass == 0 ? cloud.contentsOfDirectory("mesh/events")
                                : cloud.contentsOfDirectory("mesh/events", keptFrom(earlier, &asked));
        ASSERT_TRUE(listed.ok());
        std::vector<std::string> names;
        for (const auto& item : *listed) {
            names.push_back(item.name);
            const fs::path path = events() / item.name;
            if (fs::is_directory(path)) {
                EXPECT_EQ(item.kind, FolderItemKind::Directory) << item.name;
            } else {
                EXPECT_EQ(item.kind, FolderItemKind::Regular) << item.name;
                EXPECT_EQ(item.size, fs::file_size(path)) << item.name;
            }
        }
        EXPECT_EQ(names, expected);
        earlier = *listed;
    }
    EXPECT_FALSE(asked.empty());
}

INSTANTIATE_TEST_SUITE_P(ResolveBeneathOrWalk, ConfinedFolderListingTest, ::testing::Bool());

}  // namespace
