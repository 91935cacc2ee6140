// What the cloud manager uploads from and downloads into its transit cache:
// only what it put there, and never a file an earlier transfer left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "EventFileFixture.h"
#include "support/FakeCloudFileSystem.h"
#include "sync/integration/SYNCloudManager.h"

namespace {

using namespace integrationtest;
using testsupport::FakeCloudFileSystem;
using Option = SYNCloudFileSystem::OptionalMember;
namespace fs = std::filesystem;

class SYNCloudManagerTransitCacheTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        cloud = std::make_shared<FakeCloudFileSystem>();
        manager = SYNCloudManager::create(source, cloud, smallBatchModel());
        for (const char* directory :
             {"/mesh", "/mesh/files", "/mesh/stores", "/mesh/events", "/mesh/baselines", "/mesh/data"}) {
            cloud->addDirectory(directory);
        }
    }
    void TearDown() override {
        manager->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    // Runs the transfer to its final progress call; that call's error.
    plat::ErrorPtr transfer(const std::function<void(SYNCloudManager::Progress)>& start) {
        bool done = false;
        plat::ErrorPtr result;
        start([&](plat::ErrorPtr error, float, bool finished) {
            if (error || finished) {
                result = error;
                done = true;
            }
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        plat::dispatch::MainLoop::drain();
        return result;
    }
    plat::ErrorPtr snapshot() {
        bool done = false;
        plat::ErrorPtr result;
        manager->snapshotRemoteFilesWithCompletion([&](plat::ErrorPtr error) {
            result = error;
            done = true;
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        return result;
    }
    plat::ErrorPtr exportEvents() {
        EXPECT_EQ(snapshot(), nullptr);
        cloud->clearCalls();
        return transfer(
            [&](auto progress) { manager->exportNewLocalNonBaselineEventsWithProgress(progress); });
    }
    std::vector<std::string> uploads() const {
        std::vector<std::string> found;
        for (const auto& call : cloud->calls()) {
            if (call.rfind("upload ", 0) == 0) {
                found.push_back(call.substr(std::string("upload /mesh/events/").size()));
            }
        }
        return found;
    }
    std::string eventName(int count) {
        return std::to_string(count) + "_" + storeID(source) + "_" + std::to_string(count) + ".synevent";
    }

    std::shared_ptr<FakeCloudFileSystem> cloud;
    std::shared_ptr<SYNCloudManager> manager;
};

TEST_F(SYNCloudManagerTransitCacheTest, UploadsTakeWhatTheManagerPutThereAndLeftoversAreRemovedFirst) {
    for (int i = 1; i <= 3; ++i) {
        writeEvent(source, "U" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, 1);
    }
    const auto upload = manager->localUploadDirectory();
    // A file left from an earlier run is removed before the first export.
    std::ofstream(upload + "/" + eventName(9)) << "left by an earlier run";
    cloud->failOperation("upload", "/mesh/events/" + eventName(2));
    EXPECT_NE(exportEvents(), nullptr);
    EXPECT_EQ(uploads(), (std::vector<std::string>{eventName(1), eventName(2)}));
    // The failed upload stopped the transfer: the third file is still there.
    EXPECT_TRUE(fs::exists(upload + "/" + eventName(3)));
    EXPECT_FALSE(fs::exists(upload + "/" + eventName(2)));

    // What the failed transfer left, and a file put there meanwhile, are
    // removed by the next export, which uploads each missing event once.
    std::ofstream(upload + "/" + eventName(8)) << "put there by another way";
    cloud->clearFailures();
    EXPECT_EQ(exportEvents(), nullptr);
    EXPECT_EQ(uploads(), (std::vector<std::string>{eventName(2), eventName(3)}));
    EXPECT_TRUE(fs::is_empty(upload));

    // Exports that find nothing missing upload nothing; a new event is
    // uploaded alone.
    EXPECT_EQ(exportEvents(), nullptr);
    EXPECT_TRUE(uploads().empty());
    writeEvent(source, "U4", SYNStoreModificationEventTypeSave, 4, 4, 1);
    EXPECT_EQ(exportEvents(), nullptr);
    EXPECT_EQ(uploads(), (std::vector<std::string>{eventName(4)}));
    EXPECT_TRUE(fs::is_empty(upload));
    EXPECT_EQ(cloud->filesIn("/mesh/events"),
              (std::set<std::string>{eventName(1), eventName(2), eventName(3), eventName(4)}));

    // A registration goes through the upload directory too, and leaves it
    // as it found it.
    bool done = false;
    manager->setRegistrationInfo(plat::Dictionary{{"storeIdentifier", plat::Value(storeID(source))}},
                                 storeID(source), [&](plat::ErrorPtr error) {
                                     EXPECT_EQ(error, nullptr);
                                     done = true;
                                 });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
    EXPECT_TRUE(fs::is_empty(upload));
    writeEvent(source, "U5", SYNStoreModificationEventTypeSave, 5, 5, 1);
    EXPECT_EQ(exportEvents(), nullptr);
    EXPECT_EQ(uploads(), (std::vector<std::string>{eventName(5)}));
}

TEST_F(SYNCloudManagerTransitCacheTest, EveryTransferAfterADownloadFindsTheCacheEmpty) {
    auto other = SYNCloudManager::create(destination, cloud, smallBatchModel());
    auto publish = [&](int count) {
        writeEvent(destination, "D" + std::to_string(count), SYNStoreModificationEventTypeSave, count, count,
                   1);
        bool done = false;
        other->snapshotRemoteFilesWithCompletion([&](plat::ErrorPtr) { done = true; });
        ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        ASSERT_EQ(
            transfer([&](auto progress) { other->exportNewLocalNonBaselineEventsWithProgress(progress); }),
            nullptr);
        other->operationQueue()->waitUntilAllOperationsAreFinished();
    };
    const auto download = manager->localDownloadDirectory();
    const std::string leftover = "70_" + storeID(destination) + "_70.synevent";
    auto importEvents = [&] {
        return transfer(
            [&](auto progress) { manager->importNewRemoteNonBaselineEventsWithProgress(progress); });
    };
    auto importBaselines = [&] {
        return transfer([&](auto progress) { manager->importNewBaselineEventsWithProgress(progress); });
    };
    // Each round, what an import that did not finish would leave: the
    // transfer that follows, of baselines (which download nothing here) or
    // of events, takes the folder empty, whatever came before it.
    for (int round = 1; round <= 4; ++round) {
        publish(round);
        std::ofstream(download + "/" + leftover) << "not an event";
        EXPECT_EQ(snapshot(), nullptr);
        if (round % 2 == 1) {
            EXPECT_EQ(importBaselines(), nullptr);
            EXPECT_FALSE(fs::exists(download + "/" + leftover)) << round;
        }
        EXPECT_EQ(importEvents(), nullptr);
        EXPECT_FALSE(fs::exists(download + "/" + leftover)) << round;
        EXPECT_TRUE(manager->unusableRemoteFiles().empty()) << round;
        EXPECT_EQ(manager->numberOfFilesTakenForImport(), static_cast<uint64_t>(round));
    }
}

}  // namespace
