// The snapshot's names taken from the listing's items: when nothing but the
// listing holds an item, its name is moved out instead of copied. A file
// system that keeps every item it lists (so the names are copied) must give
// the same snapshot, on a real folder, and its kept items keep their names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "EventFileFixture.h"
#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

using namespace integrationtest;
namespace fs = std::filesystem;

// The local folder, keeping a reference to every item it lists.
class KeepingFolder : public SYNLocalCloudFileSystem {
  public:
    using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;

    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override {
        SYNLocalCloudFileSystem::contentsOfDirectoryAtPath(
            path, [this, completion](SYNCloudItems items, plat::ErrorPtr error) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    for (const auto& item : items) {
                        kept.emplace_back(item, item->name());
                    }
                }
                completion(std::move(items), std::move(error));
            });
    }

    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<SYNCloudItem>, std::string>> kept;
};

class CloudManagerListedNamesTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        fs::create_directories(root.str() + "/cloud");
        folder = std::make_shared<SYNLocalCloudFileSystem>(root.str() + "/cloud");
        keeping = std::make_shared<KeepingFolder>(root.str() + "/cloud");
        taking = SYNCloudManager::create(source, folder, smallBatchModel());
        copying = SYNCloudManager::create(destination, keeping, smallBatchModel());
        ASSERT_EQ(wait([&](auto done) { taking->createRemoteDirectoryStructureWithCompletion(done); }),
                  nullptr);
    }
    void TearDown() override {
        taking->operationQueue()->waitUntilAllOperationsAreFinished();
        copying->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    void write(const std::string& relative, const std::string& content = "x") {
        std::ofstream(root.str() + "/cloud/mesh/" + relative) << content;
    }

    // Both managers' snapshots of the folder as it is, compared.
    void compareSnapshots() {
        ASSERT_EQ(wait([&](auto done) { taking->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        ASSERT_EQ(wait([&](auto done) { copying->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        ASSERT_TRUE(taking->snapshotEventFilenames());
        EXPECT_EQ(taking->snapshotEventFilenames(), copying->snapshotEventFilenames());
        EXPECT_EQ(taking->snapshotBaselineFilenames(), copying->snapshotBaselineFilenames());
        EXPECT_EQ(taking->snapshotDataFilenames(), copying->snapshotDataFilenames());
        EXPECT_EQ(taking->unusableRemoteFiles(), copying->unusableRemoteFiles());
        std::lock_guard<std::mutex> lock(keeping->mutex);
        ASSERT_FALSE(keeping->kept.empty());
        for (const auto& [item, name] : keeping->kept) {
            EXPECT_EQ(item->name(), name) << "a kept item lost its name";
        }
    }

    std::shared_ptr<SYNLocalCloudFileSystem> folder;
    std::shared_ptr<KeepingFolder> keeping;
    std::shared_ptr<SYNCloudManager> taking;
    std::shared_ptr<SYNCloudManager> copying;
};

TEST_F(CloudManagerListedNamesTest, NamesMovedOutOfTheListingAreThoseCopiedFromItsItems) {
    // Named as another machine's store would name its files.
    const std::string store = "7F3E2D1C-AAAA-4BBB-8CCC-0123456789AB";
    for (int i = 1; i <= 12; ++i) {
        write("events/" + std::to_string(i) + "_" + store + "_" + std::to_string(i) + ".synevent");
    }
    write("baselines/5_" + store + "_3.synevent");
    write("events/notes.txt");
    write("events/.hidden");
    fs::create_directories(root.str() + "/cloud/mesh/events/folder");
    write("data/" + syn_md5Checksum(plat::Data::fromString("one")));
    write("data/not-a-checksum");
    compareSnapshots();
    EXPECT_EQ(taking->snapshotEventFilenames()->size(), 12u);
    EXPECT_EQ(taking->snapshotDataFilenames()->size(), 1u);

    // Listed again: files gone, files new and names already judged.
    fs::remove(root.str() + "/cloud/mesh/events/3_" + store + "_3.synevent");
    write("events/13_" + store + "_13.synevent");
    write("events/14_" + store + "_14_2of2.synevent");
    write("data/" + syn_md5Checksum(plat::Data::fromString("two")));
    compareSnapshots();
    EXPECT_EQ(taking->snapshotEventFilenames()->size(), 13u);
    EXPECT_EQ(taking->snapshotDataFilenames()->size(), 2u);
}

}  // namespace
