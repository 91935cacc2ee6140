// Downloads through a file system that takes one file at a time, on a real
// folder: every file in the order given, across the manager's batch size,
// each settled (and handed to the batch completion) before the next
// starts; progress rises one file at a time; the first failure stops the
// rest and is the result; a file gone since the listing is reported and
// skipped (and counts as done).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "sync/eventstore/SYNErrors.h"
#include "sync/integration/EventFileFixture.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

namespace fs = std::filesystem;

// The local folder, logging each download and failing the one named.
class LoggingFolder : public SYNLocalCloudFileSystem {
  public:
    using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;

    void downloadFromPathForReading(const std::string& path, const std::string& localPath,
                                    Completion completion) override {
        if (log(path)) {
            plat::dispatch::Queue::main().async(
                [completion] { completion(SYNMakeError(SYNErrorUnknown, "the line dropped")); });
            return;
        }
        SYNLocalCloudFileSystem::downloadFromPathForReading(path, localPath, std::move(completion));
    }
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override {
        ADD_FAILURE() << "event files are downloaded for reading";
        SYNLocalCloudFileSystem::downloadFromPath(path, localPath, std::move(completion));
    }

    bool log(const std::string& path) {
        std::lock_guard lock(mutex);
        events.push_back("download " + path.substr(path.rfind('/') + 1));
        return path.ends_with("/" + failing);
    }

    std::mutex mutex;
    std::vector<std::string> events;
    std::string failing;
};

class CloudTransferStepsTest : public integrationtest::EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        fs::create_directories(root.str() + "/cloud");
        folder = std::make_shared<LoggingFolder>(root.str() + "/cloud");
        manager = SYNCloudManager::create(source, folder, integrationtest::applicationModel());
        bool done = false;
        manager->createRemoteDirectoryStructureWithCompletion([&](plat::ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            done = true;
        });
        ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        for (int i = 1; i <= 14; ++i) {
            names.push_back("file" + std::to_string(100 + i));
            std::ofstream(root.str() + "/cloud/mesh/events/" + names.back()) << "content " << i;
        }
    }
    void TearDown() override {
        manager->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    // Downloads the names; the folder's log with the batch completions and
    // progress reports between its downloads; the result.
    plat::ErrorPtr download() {
        bool finished = false;
        plat::ErrorPtr result;
        manager->downloadFiles(
            names, manager->remoteEventsDirectory(),
            [this](const std::vector<std::string>& remote, const std::vector<std::string>& local) {
                EXPECT_EQ(remote.size(), 1u);
                EXPECT_EQ(local.size(), 1u);
                EXPECT_TRUE(fs::exists(local.front())) << local.front();
                std::lock_guard lock(folder->mutex);
                folder->events.push_back("settled " + remote.front().substr(remote.front().rfind('/') + 1));
                return plat::ErrorPtr();
            },
            [&](plat::ErrorPtr error, float fraction, bool done) {
                EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
                EXPECT_FALSE(finished) << "progress after the end";
                std::lock_guard lock(folder->mutex);
                if (done) {
                    finished = true;
                    result = error;
                    EXPECT_EQ(fraction, 1.0f);
                } else {
                    EXPECT_EQ(error, nullptr);
                    folder->events.push_back("progress " +
                                             std::to_string(static_cast<int>(fraction * 14 + 0.5f)));
                }
            });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return finished; }, 60));
        return result;
    }

    std::shared_ptr<LoggingFolder> folder;
    std::shared_ptr<SYNCloudManager> manager;
    std::vector<std::string> names;
};

TEST_F(CloudTransferStepsTest, FilesComeOneAfterAnotherInTheirOrderAcrossBatches) {
    ASSERT_GT(names.size(), SYNCloudManager::DefaultBatchSize);
    EXPECT_EQ(download(), nullptr);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        expected.push_back("download " + names[i]);
        expected.push_back("settled " + names[i]);
        expected.push_back("progress " + std::to_string(i + 1));
    }
    EXPECT_EQ(folder->events, expected);
    for (const auto& name : names) {
        EXPECT_TRUE(fs::exists(manager->localDownloadDirectory() + "/" + name)) << name;
    }
}

TEST_F(CloudTransferStepsTest, TheFirstFailureEndsTheTransferAndAVanishedFileIsSkipped) {
    fs::remove(root.str() + "/cloud/mesh/events/" + names[2]);
    folder->failing = names[11];
    auto error = download();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SYNErrorUnknown);
    std::vector<std::string> expected;
    int done = 0;
    for (std::size_t i = 0; i <= 11; ++i) {
        expected.push_back("download " + names[i]);
        if (i != 2 && i != 11) {
            expected.push_back("settled " + names[i]);
        }
        if (i != 11) {
            // A skipped file counts as done.
            expected.push_back("progress " + std::to_string(++done));
        }
    }
    EXPECT_EQ(folder->events, expected);
    EXPECT_TRUE(manager->unusableRemoteFiles().count(manager->remoteEventsDirectory() + "/" + names[2]));
    EXPECT_FALSE(fs::exists(manager->localDownloadDirectory() + "/" + names[12]));
}

}  // namespace
