// The local folder's listing as entries (name, kind, size) must list what
// its listing as cloud items lists, in the same order: the same folders on
// disk are listed both ways, by one file system that keeps its earlier
// listings and by new ones, while files are added, replaced, grown, removed
// and turned into folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "support/TempDir.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

namespace fs = std::filesystem;

using Listed = std::vector<std::tuple<std::string, bool, uint64_t>>;

// A subclass: it lists through the items, whatever it inherits.
class ItemsOnlyFolder : public SYNLocalCloudFileSystem {
  public:
    using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;
};

class SYNLocalCloudListingEntriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        plat::dispatch::MainLoop::drain();
        base = root.str() + "/cloud";
        fs::create_directories(base + "/events");
        kept = std::make_shared<SYNLocalCloudFileSystem>(base);
    }

    static void write(const std::string& path, std::size_t bytes) {
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    }
    // Written aside and renamed into place, as the mesh writes its files.
    void replace(const std::string& relative, std::size_t bytes) {
        write(base + "/.aside", bytes);
        fs::rename(base + "/.aside", base + "/" + relative);
    }

    static Listed byItems(SYNCloudFileSystem& cloud, const std::string& path) {
        bool done = false;
        Listed listed;
        cloud.contentsOfDirectoryAtPath(path, [&](SYNCloudItems items, plat::ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            for (const auto& item : items) {
                const auto* file = dynamic_cast<const SYNCloudFile*>(item.get());
                listed.emplace_back(item->name(), item->canContainChildren(), file ? file->size() : 0);
            }
            done = true;
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
        return listed;
    }
    static Listed byEntries(SYNCloudFileSystem& cloud, const std::string& path) {
        bool done = false;
        Listed listed;
        cloud.entriesOfDirectoryAtPath(path, [&](SYNCloudListingEntries entries, plat::ErrorPtr error) {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            EXPECT_EQ(error, nullptr);
            for (const auto& entry : entries) {
                listed.emplace_back(entry.name, entry.isDirectory, entry.size);
            }
            done = true;
        });
        EXPECT_FALSE(done) << "completions are asynchronous";
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
        return listed;
    }

    // The folder listed both ways by the file system that keeps its
    // listings, and both ways by new ones.
    Listed compare(const std::string& path) {
        const auto entries = byEntries(*kept, path);
        EXPECT_EQ(entries, byItems(*kept, path)) << path;
        SYNLocalCloudFileSystem fresh(base);
        EXPECT_EQ(entries, byItems(fresh, path)) << path;
        SYNLocalCloudFileSystem other(base);
        EXPECT_EQ(entries, byEntries(other, path)) << path;
        return entries;
    }

    testsupport::TempDir root;
    std::string base;
    std::shared_ptr<SYNLocalCloudFileSystem> kept;
};

TEST_F(SYNLocalCloudListingEntriesTest, EntriesAreTheItemsNamesKindsAndSizesInTheirOrder) {
    write(base + "/events/b.synevent", 5);
    write(base + "/events/a.synevent", 0);
    write(base + "/events/c with space", 70000);
    write(base + "/events/.hidden", 3);
    write(base + "/events/\xc3\xa9t\xc3\xa9", 12);
    fs::create_directories(base + "/events/folder/inner");
    fs::create_symlink(base + "/events/a.synevent", base + "/events/link");
    ASSERT_EQ(::mkfifo((base + "/events/fifo").c_str(), 0600), 0);
    const auto listed = compare("events");
    const Listed expected{{"a.synevent", false, 0},
                          {"b.synevent", false, 5},
                          {"c with space", false, 70000},
                          {"folder", true, 0},
                          {"\xc3\xa9t\xc3\xa9", false, 12}};
    EXPECT_EQ(listed, expected);
    // Paths in other forms, and folders that cannot be listed.
    EXPECT_EQ(compare("/events/"), expected);
    EXPECT_EQ(compare("events/folder"), (Listed{{"inner", true, 0}}));
    EXPECT_TRUE(compare("missing").empty());
    EXPECT_TRUE(compare("events/b.synevent").empty());
    EXPECT_TRUE(compare("events/link").empty());
    EXPECT_TRUE(byEntries(*kept, "../cloud/events").empty());
    EXPECT_TRUE(byItems(*kept, "../cloud/events").empty());
}

TEST_F(SYNLocalCloudListingEntriesTest, ListingsAgainAfterChangesMatchNewListingsOfTheFolder) {
    std::mt19937 random(15200);
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back(std::to_string(i) + "_file.synevent");
    }
    for (int step = 0; step < 60; ++step) {
        for (int change = 0; change < 4; ++change) {
            const auto& name = names[random() % names.size()];
            const auto path = base + "/events/" + name;
            std::error_code ignored;
            switch (random() % 5) {
                case 0:
                case 1:
                    if (!fs::is_directory(path)) {
                        replace("events/" + name, random() % 3000);
                    }
                    break;
                case 2:
                    fs::remove_all(path, ignored);
                    break;
                case 3:
                    fs::remove_all(path, ignored);
                    fs::create_directory(path, ignored);
                    break;
                default:
                    if (fs::is_regular_file(path)) {
                        // Grown in place: the same inode, a size the kept
                        // listing holds; both listings of one file system
                        // take the same answer.
                        std::ofstream(path, std::ios::binary | std::ios::app) << "more";
                    }
                    break;
            }
        }
        const auto entries = byEntries(*kept, "events");
        ASSERT_EQ(entries, byItems(*kept, "events")) << "step " << step;
        Listed fresh;
        for (const auto& [name, isDirectory, size] :
             byItems(*std::make_shared<ItemsOnlyFolder>(base), "events")) {
            fresh.emplace_back(name, isDirectory, size);
        }
        // Names and kinds always as a new listing has them; sizes too but
        // for files grown in place, which keep the size listed before.
        ASSERT_EQ(entries.size(), fresh.size()) << "step " << step;
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            EXPECT_EQ(std::get<0>(entries[i]), std::get<0>(fresh[i]));
            EXPECT_EQ(std::get<1>(entries[i]), std::get<1>(fresh[i]));
        }
    }
}

TEST_F(SYNLocalCloudListingEntriesTest, OnlyTheClassItselfOffersEntries) {
    using Member = SYNCloudFileSystem::OptionalMember;
    EXPECT_TRUE(kept->respondsToMember(Member::EntriesOfDirectoryAtPath));
    ItemsOnlyFolder subclass(base);
    EXPECT_FALSE(subclass.respondsToMember(Member::EntriesOfDirectoryAtPath));
    EXPECT_TRUE(subclass.respondsToMember(Member::MoveLocalFile));
    // Still callable: the subclass's entries are the class's listing.
    write(base + "/events/one", 1);
    EXPECT_EQ(byEntries(subclass, "events"), byItems(subclass, "events"));
}

}  // namespace
