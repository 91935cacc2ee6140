// The cloud drive stand-in: placeholders and download state, the ubiquity
// service, inotify-fed presenters, the metadata query and the sync agent,
// on real folders.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/clouddrive/FilePresenter.h"
#include "platform/clouddrive/MetadataQuery.h"
#include "platform/clouddrive/SyncAgent.h"
#include "platform/clouddrive/Ubiquity.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using namespace plat::clouddrive;
using plat::dispatch::MainLoop;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

using testsupport::readFile;

TEST(CloudDrivePlaceholderTest, NamesOfPlaceholdersAndRequests) {
    EXPECT_EQ(placeholderPathForItem("/c/mesh/a.synevent"), "/c/mesh/.a.synevent.icloud");
    EXPECT_EQ(requestPathForItem("/c/mesh/a"), "/c/mesh/.a.icloud-request");
    EXPECT_EQ(placeholderPathForItem("a"), ".a.icloud");
    struct Case {
        const char* name;
        std::optional<std::string> item;
    };
    for (const Case& c : std::vector<Case>{{".a.icloud", "a"},
                                           {".a b.c.icloud", "a b.c"},
                                           {"a.icloud", std::nullopt},
                                           {"..icloud", std::nullopt},
                                           {".icloud", std::nullopt},
                                           {".a.icloud-request", std::nullopt},
                                           {".DS_Store", std::nullopt}}) {
        EXPECT_EQ(itemNameForPlaceholderName(c.name), c.item) << c.name;
    }
}

TEST(CloudDrivePlaceholderTest, DownloadStateFollowsFileAndPlaceholder) {
    testsupport::TempDir dir;
    const auto item = (dir / "f").string();
    EXPECT_FALSE(attributesOfItem(item));

    ASSERT_FALSE(writePlaceholder(item, Placeholder{42, 25.5, true, 7}));
    auto placeholder = readPlaceholder(item);
    ASSERT_TRUE(placeholder);
    EXPECT_EQ(placeholder->size, 42u);
    EXPECT_DOUBLE_EQ(placeholder->percent, 25.5);
    EXPECT_TRUE(placeholder->downloading);
    EXPECT_EQ(placeholder->version, 7u);
    auto attributes = attributesOfItem(item);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->status, DownloadStatus::NotDownloaded);
    EXPECT_TRUE(attributes->isDownloading);
    EXPECT_EQ(attributes->size, 42u);
    // Not listed: only the hidden placeholder exists.
    EXPECT_TRUE(plat::FileManager().contentsOfDirectoryAtPath(dir.str())->size() == 1);

    writeFile(item, "old");
    EXPECT_EQ(attributesOfItem(item)->status, DownloadStatus::Downloaded);
    fs::remove(placeholderPathForItem(item));
    attributes = attributesOfItem(item);
    EXPECT_EQ(attributes->status, DownloadStatus::Current);
    EXPECT_EQ(attributes->size, 3u);
    EXPECT_FALSE(attributes->isDownloading);

    // A garbled placeholder reads as none.
    writeFile(placeholderPathForItem(item), "size many\n");
    EXPECT_FALSE(readPlaceholder(item));
}

TEST(CloudDriveUbiquityTest, StartingAndWaitingForDownloads) {
    testsupport::TempDir dir;
    auto& service = UbiquityService::shared();
    service.reset();
    const auto item = (dir / "f").string();

    EXPECT_TRUE(plat::isNoSuchFileError(service.startDownloadingItem(item)));
    ASSERT_FALSE(writePlaceholder(item, Placeholder{3, 0, false, 1}));
    EXPECT_FALSE(service.startDownloadingItem(item));
    EXPECT_TRUE(fs::exists(requestPathForItem(item)));

    auto injected = plat::Error::make("Test", 9);
    service.setStartDownloadingError(injected);
    EXPECT_EQ(service.startDownloadingItem(item), injected);
    service.setStartDownloadingError(nullptr);

    // Nobody serves it: the wait ends at its time-out.
    EXPECT_FALSE(service.waitForDownload(item, 0.02));
    // A caller that asked already waits without asking again.
    fs::remove(requestPathForItem(item));
    EXPECT_FALSE(service.waitForDownload(item, 0.02, false));
    EXPECT_FALSE(fs::exists(requestPathForItem(item)));
    // Served from another thread while waiting.
    std::thread drive([&] {
        EXPECT_TRUE(testsupport::waitUntil([&] { return fs::exists(requestPathForItem(item)); }));
        writeFile(item, "abc");
        fs::remove(placeholderPathForItem(item));
    });
    fs::remove(requestPathForItem(item));
    EXPECT_TRUE(service.waitForDownload(item, 60));
    drive.join();
    EXPECT_EQ(readFile(item), "abc");
    // Current and missing items need no wait.
    EXPECT_TRUE(service.waitForDownload(item, 0));
    EXPECT_TRUE(service.waitForDownload((dir / "missing").string(), 0));

    EXPECT_FALSE(service.identityToken());
    service.setIdentityToken("account");
    service.setContainerFolder("iCloud.test", dir.str());
    EXPECT_EQ(service.containerFolder("iCloud.test"), dir.str());
    EXPECT_FALSE(service.containerFolder("other"));
    service.reset();
    EXPECT_FALSE(service.containerFolder("iCloud.test"));
}

class RecordingPresenter : public FilePresenter {
  public:
    explicit RecordingPresenter(std::string root) : root_(std::move(root)) {
        queue_->setMaxConcurrentOperationCount(1);
    }
    std::optional<std::string> presentedItemPath() const override { return root_; }
    std::shared_ptr<plat::dispatch::OperationQueue> presentedItemOperationQueue() const override {
        return queue_;
    }
    void presentedSubitemDidChangeAtPath(const std::string& path) override {
        plat::MutexLock lock(mutex_);
        changes_.push_back(path);
    }
    std::vector<std::string> changes() {
        FilePresenters::flush(this);
        queue_->waitUntilAllOperationsAreFinished();
        plat::MutexLock lock(mutex_);
        return changes_;
    }

  private:
    std::string root_;
    std::shared_ptr<plat::dispatch::OperationQueue> queue_ =
        std::make_shared<plat::dispatch::OperationQueue>();
    plat::Mutex mutex_;
    std::vector<std::string> changes_ GUARDED_BY(mutex_);
};

TEST(CloudDrivePresenterTest, HearsEachForeignChangeOnceButNotItsOwn) {
    testsupport::TempDir dir;
    auto mine = std::make_shared<RecordingPresenter>(dir.str());
    auto other = std::make_shared<RecordingPresenter>(dir.str());
    FilePresenters::add(mine);
    FilePresenters::add(other);

    {
        std::ofstream out(dir / "foreign");  // create, several writes, close: one notice
        out << "x" << std::flush;
        out << "more" << std::flush;
    }
    FilePresenters::performChange(mine.get(), (dir / "own").string(), [&] { writeFile(dir / "own", "y"); });
    writeFile(dir / ".hidden", "z");
    writeFile(dir / ".staging" / "inner", "w");  // a folder moved in whole
    fs::rename(dir / ".staging", dir / "sub");
    fs::remove(dir / "foreign");

    const std::string f = (dir / "foreign").string(), own = (dir / "own").string();
    const std::string sub = (dir / "sub").string(), inner = (dir / "sub" / "inner").string();
    EXPECT_EQ(mine->changes(), (std::vector<std::string>{f, sub, inner, f}));
    auto heard = other->changes();
    EXPECT_EQ(std::count(heard.begin(), heard.end(), own), 1);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), inner), 1);

    FilePresenters::remove(mine.get());
    writeFile(dir / "late", "x");
    EXPECT_EQ(mine->changes().size(), 4u);
    FilePresenters::remove(other.get());
}

TEST(CloudDrivePresenterTest, FollowsThePathWhenTheFolderIsMovedAway) {
    testsupport::TempDir dir;
    fs::create_directories(dir / "root");
    auto presenter = std::make_shared<RecordingPresenter>((dir / "root").string());
    FilePresenters::add(presenter);
    fs::rename(dir / "root", dir / "root 2");
    writeFile(dir / "root 2" / "gone", "not ours any more");
    fs::create_directories(dir / "root");
    writeFile(dir / "root" / "back", "b");
    const std::string root = (dir / "root").string();
    auto changes = presenter->changes();
    ASSERT_GE(changes.size(), 3u);
    // Moved away, back again, then what is in it (maybe twice when written
    // while the watch came back); nothing of the moved folder.
    EXPECT_EQ(changes[0], root);
    EXPECT_EQ(changes[1], root);
    for (std::size_t i = 2; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i], root + "/back");
    }
    FilePresenters::remove(presenter.get());
}

TEST(CloudDriveQueryTest, GathersUpdatesAndHoldsWhileDisabled) {
    MainLoop::bindToCurrentThread();
    testsupport::TempDir dir;
    writeFile(dir / "root" / "current", "c");
    ASSERT_FALSE(writePlaceholder((dir / "root" / "remote").string(), Placeholder{5, 0, false, 1}));
    ASSERT_FALSE(writePlaceholder((dir / "root" / "busy").string(), Placeholder{5, 10, true, 1}));
    ASSERT_FALSE(writePlaceholder((dir / "elsewhere").string(), Placeholder{5, 0, false, 1}));

    auto query = MetadataQuery::create();
    query->setSearchScopes({dir.str()});
    query->setPredicate({DownloadStatus::Current, false, (dir / "root").string()});
    int gathered = 0, updated = 0;
    auto& center = plat::NotificationCenter::defaultCenter();
    auto t1 = center.addObserverForName(MetadataQueryDidFinishGatheringNotification, query,
                                        [&](const plat::Notification&) { ++gathered; });
    auto t2 = center.addObserverForName(MetadataQueryDidUpdateNotification, query,
                                        [&](const plat::Notification&) { ++updated; });
    query->startQuery();
    ASSERT_TRUE(MainLoop::runUntil([&] { return gathered == 1; }, 30));
    ASSERT_EQ(query->resultCount(), 1u);
    EXPECT_EQ(query->resultAtIndex(0).path, (dir / "root" / "remote").string());
    EXPECT_EQ(query->resultAtIndex(0).status, DownloadStatus::NotDownloaded);

    ASSERT_FALSE(writePlaceholder((dir / "root" / "second").string(), Placeholder{1, 0, false, 2}));
    ASSERT_TRUE(MainLoop::runUntil([&] { return updated == 1; }, 30));
    EXPECT_EQ(query->resultCount(), 2u);

    query->disableUpdates();
    fs::remove(placeholderPathForItem((dir / "root" / "remote").string()));
    writeFile(dir / "root" / "remote", "done");
    MainLoop::runUntil([] { return false; }, 0.2);
    EXPECT_EQ(query->resultCount(), 2u);
    query->enableUpdates();
    ASSERT_TRUE(MainLoop::runUntil([&] { return updated == 2; }, 30));
    EXPECT_EQ(query->resultCount(), 1u);

    query->stopQuery();
    ASSERT_FALSE(writePlaceholder((dir / "root" / "third").string(), Placeholder{1, 0, false, 3}));
    MainLoop::runUntil([] { return false; }, 0.2);
    EXPECT_EQ(updated, 2);
    center.removeObserver(t1);
    center.removeObserver(t2);
}

class SyncAgentTest : public ::testing::Test {
  protected:
    std::string a() const { return (dir / "a").string(); }
    std::string b() const { return (dir / "b").string(); }
    void SetUp() override {
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
    }
    testsupport::TempDir dir;
};

TEST_F(SyncAgentTest, FilesArriveAsPlaceholdersAndDownloadOnRequest) {
    SyncAgent agent({a(), b()});
    fs::create_directories(dir / "a" / "mesh");
    writeFile(dir / "a" / "mesh" / "e1", "one");
    agent.step();  // the folder goes over at once, the file once it held still
    EXPECT_TRUE(fs::is_directory(dir / "b" / "mesh"));
    EXPECT_FALSE(readPlaceholder(b() + "/mesh/e1"));
    agent.step();
    ASSERT_TRUE(readPlaceholder(b() + "/mesh/e1"));
    EXPECT_EQ(readPlaceholder(b() + "/mesh/e1")->size, 3u);
    EXPECT_FALSE(fs::exists(dir / "b" / "mesh" / "e1"));

    agent.step();  // not asked for: stays a placeholder
    EXPECT_FALSE(fs::exists(dir / "b" / "mesh" / "e1"));
    ASSERT_FALSE(UbiquityService::shared().startDownloadingItem(b() + "/mesh/e1"));
    agent.step();
    EXPECT_EQ(readFile(dir / "b" / "mesh" / "e1"), "one");
    EXPECT_FALSE(readPlaceholder(b() + "/mesh/e1"));
    EXPECT_FALSE(fs::exists(requestPathForItem(b() + "/mesh/e1")));
    EXPECT_EQ(agent.pendingDownloads(), 0u);

    // The downloaded copy is not sent back; a removal travels.
    agent.step();
    agent.step();
    fs::remove(dir / "b" / "mesh" / "e1");
    agent.step();
    EXPECT_FALSE(fs::exists(dir / "a" / "mesh" / "e1"));
    // A change travels as a new placeholder beside the old content.
    writeFile(dir / "b" / "mesh" / "e2", "v1");
    agent.settle();
    ASSERT_FALSE(UbiquityService::shared().startDownloadingItem(a() + "/mesh/e2"));
    agent.settle();
    EXPECT_EQ(readFile(dir / "a" / "mesh" / "e2"), "v1");
    writeFile(dir / "b" / "mesh" / "e2", "version2");
    agent.step();
    agent.step();
    EXPECT_EQ(attributesOfItem(a() + "/mesh/e2")->status, DownloadStatus::Downloaded);
    EXPECT_EQ(readFile(dir / "a" / "mesh" / "e2"), "v1");
}

TEST_F(SyncAgentTest, DelaysReordersAndWithholdsDownloads) {
    SyncAgent::Script script;
    script.seed = 7;
    script.minDelaySteps = 1;
    script.maxDelaySteps = 6;
    script.withheldRequests = 1;
    SyncAgent agent({a(), b()}, script);
    const std::vector<std::string> names = {"f0", "f1", "f2", "f3", "f4", "f5"};
    for (const auto& name : names) {
        writeFile(dir / "a" / name, name);
    }
    agent.step();
    agent.step();
    for (const auto& name : names) {
        ASSERT_FALSE(UbiquityService::shared().startDownloadingItem(b() + "/" + name));
    }
    std::vector<std::string> arrival;
    for (int i = 0; i < 20; ++i) {
        agent.step();
        for (const auto& name : names) {
            if (fs::exists(dir / "b" / name) &&
                std::find(arrival.begin(), arrival.end(), name) == arrival.end()) {
                arrival.push_back(name);
                EXPECT_EQ(attributesOfItem(b() + "/" + name)->status, DownloadStatus::Current);
            }
        }
    }
    // One request is held back, the others came in another order.
    ASSERT_EQ(arrival.size(), names.size() - 1);
    EXPECT_EQ(agent.pendingDownloads(), 1u);
    auto sorted = arrival;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NE(arrival, sorted);
    auto withheld = b() + "/f0";
    EXPECT_TRUE(readPlaceholder(withheld) && readPlaceholder(withheld)->downloading);
    agent.releaseWithheld();
    agent.step();
    EXPECT_EQ(agent.pendingDownloads(), 0u);
    EXPECT_EQ(readFile(dir / "b" / "f0"), "f0");
}

TEST_F(SyncAgentTest, FolderMadeOnBothSidesIsShared) {
    SyncAgent agent({a(), b()});
    writeFile(dir / "a" / "main" / "x", "from a");
    writeFile(dir / "b" / "main" / "y", "from b");
    agent.settle();
    for (const auto& [side, other] : {std::pair{a(), std::string("y")}, std::pair{b(), std::string("x")}}) {
        EXPECT_TRUE(readPlaceholder(side + "/main/" + other)) << side;
        EXPECT_FALSE(fs::exists(side + "/main 2")) << side;
    }
}

TEST_F(SyncAgentTest, FolderMadeOnBothSidesTakesANumberWhenAsked) {
    SyncAgent::Script script;
    script.numberConflictingFolders = true;
    SyncAgent agent({a(), b()}, script);
    writeFile(dir / "a" / "main" / "x", "from a");
    writeFile(dir / "b" / "main" / "y", "from b");
    fs::create_directories(dir / "b" / "main 2");  // a name already taken on b
    agent.settle();
    // b's folder was renamed with the first free number; both sides hold
    // both folders.
    for (const auto& side : {a(), b()}) {
        EXPECT_TRUE(readPlaceholder(side + "/main 3/y") || fs::exists(side + "/main 3/y")) << side;
        EXPECT_TRUE(readPlaceholder(side + "/main/x") || fs::exists(side + "/main/x")) << side;
        EXPECT_FALSE(fs::exists(side + "/main/y")) << side;
    }
    // A folder the drive brought is not renamed when written into.
    writeFile(dir / "b" / "main" / "z", "z");
    agent.settle();
    EXPECT_TRUE(readPlaceholder(a() + "/main/z"));
}

}  // namespace
