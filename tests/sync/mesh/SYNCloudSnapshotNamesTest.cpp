// The cloud manager's snapshot of the cloud folders, taken by one manager
// again and again (listings read as entries, names its last listing of a
// folder kept judged only by kind and size) must be what a new manager
// finds through the folder's items each time: the same names kept in each
// folder, and the same files reported unusable, while files come and go,
// move between folders, grow beyond the limits and turn into folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/integration/EventFileFixture.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

namespace fs = std::filesystem;
using integrationtest::wait;

// The local folder through its items only (a subclass is not offered the
// entries).
class ItemsFolder : public SYNLocalCloudFileSystem {
  public:
    using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;
};

struct Snapshot {
    std::optional<SYNCloudManager::Names> events, baselines, data;
    bool operator==(const Snapshot&) const = default;
};

class CloudSnapshotNamesTest : public integrationtest::EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        cloud = root.str() + "/cloud";
        fs::create_directories(cloud);
        folder = std::make_shared<SYNLocalCloudFileSystem>(cloud);
        ASSERT_TRUE(folder->respondsToMember(SYNCloudFileSystem::OptionalMember::EntriesOfDirectoryAtPath));
        kept = SYNCloudManager::create(source, folder, integrationtest::applicationModel());
        ASSERT_EQ(wait([&](auto done) { kept->createRemoteDirectoryStructureWithCompletion(done); }),
                  nullptr);
    }
    void TearDown() override {
        kept->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    static Snapshot snapshotOf(const std::shared_ptr<SYNCloudManager>& manager) {
        EXPECT_EQ(wait([&](auto done) { manager->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        return {manager->snapshotEventFilenames(), manager->snapshotBaselineFilenames(),
                manager->snapshotDataFilenames()};
    }

    // The kept manager's snapshot against a new manager's through the
    // items; the kept manager's reports are every report so far, the
    // latest reason of each path.
    Snapshot compare(const std::string& step) {
        const auto snapshot = snapshotOf(kept);
        auto fresh = SYNCloudManager::create(source, std::make_shared<ItemsFolder>(cloud),
                                             integrationtest::applicationModel());
        const auto expected = snapshotOf(fresh);
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
        EXPECT_TRUE(snapshot.events && snapshot.baselines && snapshot.data) << step;
        EXPECT_EQ(snapshot.events, expected.events) << step;
        EXPECT_EQ(snapshot.baselines, expected.baselines) << step;
        EXPECT_EQ(snapshot.data, expected.data) << step;
        for (const auto& [path, reason] : fresh->unusableRemoteFiles()) {
            reports[path] = reason;
        }
        EXPECT_EQ(kept->unusableRemoteFiles(), reports) << step;
        return snapshot;
    }

    void write(const std::string& relative, uint64_t bytes) {
        // Written aside and renamed into place: another inode each time.
        const auto aside = cloud + "/mesh/.aside";
        { std::ofstream(aside, std::ios::binary) << std::string(std::min<uint64_t>(bytes, 16), 'x'); }
        if (bytes > 16) {
            fs::resize_file(aside, bytes);  // sparse
        }
        std::error_code ignored;
        fs::remove_all(cloud + "/mesh/" + relative, ignored);
        fs::rename(aside, cloud + "/mesh/" + relative);
    }

    std::string cloud;
    std::shared_ptr<SYNLocalCloudFileSystem> folder;
    std::shared_ptr<SYNCloudManager> kept;
    std::map<std::string, std::string> reports;
};

const std::string kStore = "7F3E2D1C-AAAA-4BBB-8CCC-0123456789AB";

std::string eventName(int count) {
    return std::to_string(count) + "_" + kStore + "_" + std::to_string(count) + ".synevent";
}

TEST_F(CloudSnapshotNamesTest, NamesKeptBeforeAreJudgedAgainByKindAndSize) {
    for (int i = 1; i <= 6; ++i) {
        write("events/" + eventName(i), 10);
    }
    write("baselines/" + eventName(3), 10);
    write("data/" + syn_md5Checksum(plat::Data::fromString("one")), 10);
    auto first = compare("first listing");
    ASSERT_EQ(first.events->size(), 6u);
    ASSERT_EQ(first.baselines->size(), 1u);
    ASSERT_EQ(first.data->size(), 1u);

    // A kept event file turned into a folder, one grown beyond the limit,
    // a kept data file beyond its own limit, a kept baseline's name now in
    // the events folder as a folder and in the data folder as a file.
    fs::remove(cloud + "/mesh/events/" + eventName(2));
    fs::create_directory(cloud + "/mesh/events/" + eventName(2));
    write("events/" + eventName(4), SYNEventFileMaximumSize + 1);
    write("data/" + syn_md5Checksum(plat::Data::fromString("one")), SYNDataFileMaximumSize + 1);
    write("data/" + eventName(3), 10);
    auto second = compare("kept names changed");
    EXPECT_EQ(second.events->size(), 4u);
    EXPECT_FALSE(second.events->count(eventName(2)));
    EXPECT_FALSE(second.events->count(eventName(4)));
    EXPECT_TRUE(second.data->empty());
    EXPECT_TRUE(kept->unusableRemoteFiles().count("/mesh/events/" + eventName(2)));

    // Back to files within the limits.
    fs::remove(cloud + "/mesh/events/" + eventName(2));
    write("events/" + eventName(2), 10);
    write("events/" + eventName(4), 10);
    write("data/" + syn_md5Checksum(plat::Data::fromString("one")), 10);
    auto third = compare("files again");
    EXPECT_EQ(third.events, first.events);
    EXPECT_EQ(third.data, first.data);
}

TEST_F(CloudSnapshotNamesTest, RandomChangesBetweenSnapshotsGiveWhatANewManagerFinds) {
    std::mt19937 random(15201);
    std::vector<std::string> names;
    for (int i = 1; i <= 24; ++i) {
        names.push_back(eventName(i));
        names.push_back(syn_md5Checksum(plat::Data::fromString(std::to_string(i))));
    }
    names.push_back("notes.txt");
    names.push_back("5_" + kStore + "_5_1of2.synevent");
    names.push_back("5_" + kStore + "_5_2of2.synevent");
    const char* folders[] = {"events", "baselines", "data"};
    for (int step = 0; step < 40; ++step) {
        for (int change = 0; change < 5; ++change) {
            const std::string relative =
                std::string(folders[random() % 3]) + "/" + names[random() % names.size()];
            std::error_code ignored;
            switch (random() % 6) {
                case 0:
                case 1:
                case 2:
                    write(relative, 1 + random() % 200);
                    break;
                case 3:
                    fs::remove_all(cloud + "/mesh/" + relative, ignored);
                    break;
                case 4:
                    fs::remove_all(cloud + "/mesh/" + relative, ignored);
                    fs::create_directory(cloud + "/mesh/" + relative, ignored);
                    break;
                default:
                    write(relative, relative.starts_with("data/") ? SYNDataFileMaximumSize + 1
                                                                  : SYNEventFileMaximumSize + 1);
                    break;
            }
        }
        compare("step " + std::to_string(step));
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
