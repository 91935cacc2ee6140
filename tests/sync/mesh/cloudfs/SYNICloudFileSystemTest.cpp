#include "sync/mesh/cloudfs/SYNICloudFileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/clouddrive/SyncAgent.h"
#include "platform/clouddrive/Ubiquity.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNFileCoordination.h"

namespace {

namespace fs = std::filesystem;
using plat::clouddrive::Placeholder;
using plat::clouddrive::UbiquityService;
using plat::dispatch::MainLoop;

constexpr const char* kContainer = "iCloud.com.kestrelplan.test";

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SYNICloudFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
        plat::dispatch::setDefaultClock(clock);
        UbiquityService::shared().reset();
        UbiquityService::shared().setIdentityToken("account-1");
        UbiquityService::shared().setContainerFolder(kContainer, container().string());
        timing.coordinationTimeout = 0.2;
        auto& center = plat::NotificationCenter::defaultCenter();
        tokens.push_back(center.addObserverForName(SYNICloudFileSystemDidUpdateFilesNotification, nullptr,
                                                   [this](const plat::Notification&) { ++updates; }));
        tokens.push_back(center.addObserverForName(SYNICloudFileSystemDidMakeDownloadProgressNotification,
                                                   nullptr,
                                                   [this](const plat::Notification&) { ++progress; }));
    }
    void TearDown() override {
        // Work still under way (a tracking read) ends before the next test
        // installs its clock, and no notice of the folder's removal follows.
        std::weak_ptr<SYNICloudFileSystem> gone = cloud;
        if (cloud) {
            cloud->stopMonitoring();
        }
        cloud.reset();
        EXPECT_TRUE(MainLoop::runUntil([&] { return gone.expired(); }, 30));
        MainLoop::drain();
        for (const auto& token : tokens) {
            plat::NotificationCenter::defaultCenter().removeObserver(token);
        }
        UbiquityService::shared().reset();
        plat::dispatch::setDefaultClock(nullptr);
    }

    fs::path container() const { return dir / "container"; }
    fs::path root() const { return container() / "meshes"; }

    // A connected file system with its root "<container>/meshes".
    void connect() {
        cloud = SYNICloudFileSystem::create(kContainer, "meshes", timing);
        ASSERT_EQ(run([&](auto done) { cloud->connect(done); }), nullptr);
        ASSERT_TRUE(cloud->isConnected());
    }

    plat::ErrorPtr run(const std::function<void(SYNCloudFileSystem::Completion)>& operation) {
        bool done = false;
        plat::ErrorPtr result;
        operation([&](plat::ErrorPtr error) {
            EXPECT_TRUE(MainLoop::isMainThread());
            result = error;
            done = true;
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 30));
        return result;
    }

    std::pair<SYNCloudItems, plat::ErrorPtr> list(const std::string& path) {
        bool done = false;
        std::pair<SYNCloudItems, plat::ErrorPtr> result;
        cloud->contentsOfDirectoryAtPath(path, [&](SYNCloudItems items, plat::ErrorPtr error) {
            result = {std::move(items), error};
            done = true;
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 30));
        std::sort(result.first.begin(), result.first.end(),
                  [](auto& a, auto& b) { return a->name() < b->name(); });
        return result;
    }

    // Runs the main loop until the delayed notifications reach the clock.
    void waitForScheduled(std::size_t count) {
        EXPECT_TRUE(MainLoop::runUntil([&] { return clock->pendingCount() >= count; }, 30)) << count;
    }
    void advance(double seconds) {
        clock->advance(seconds);
        MainLoop::drain();
    }

    // Serves a requested placeholder as the drive would.
    static void deliver(const fs::path& item, const std::string& content) {
        write(item.parent_path() / ".delivery", content);
        fs::rename(item.parent_path() / ".delivery", item);
        fs::remove(plat::clouddrive::placeholderPathForItem(item.string()));
        fs::remove(plat::clouddrive::requestPathForItem(item.string()));
    }

    testsupport::TempDir dir;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    SYNICloudFileSystem::Timing timing;
    std::shared_ptr<SYNICloudFileSystem> cloud;
    std::vector<plat::ObserverToken> tokens;
    int updates = 0;
    int progress = 0;
};

TEST_F(SYNICloudFileSystemTest, NeedsAContainerIdentifier) {
    try {
        SYNICloudFileSystem::create("");
        FAIL() << "no exception";
    } catch (const SYNException& exception) {
        EXPECT_EQ(exception.reason(), "iCloud initializer requires container identifier");
    }
    cloud = SYNICloudFileSystem::create(kContainer);
    EXPECT_EQ(cloud->relativePathToRootInContainer(), SYNICloudDefaultRelativePathToRoot);
    EXPECT_TRUE(cloud->respondsToMember(SYNCloudFileSystem::OptionalMember::RepairMeshDirectory));
    EXPECT_TRUE(cloud->respondsToMember(SYNCloudFileSystem::OptionalMember::PerformInitialPreparation));
    EXPECT_FALSE(cloud->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity));
    EXPECT_FALSE(cloud->respondsToMember(SYNCloudFileSystem::OptionalMember::UploadLocalFiles));
}

TEST_F(SYNICloudFileSystemTest, SignedOutRefusesEveryOperation) {
    UbiquityService::shared().setIdentityToken(std::nullopt);
    cloud = SYNICloudFileSystem::create(kContainer, "meshes", timing);
    auto error = run([&](auto done) { cloud->connect(done); });
    ASSERT_TRUE(SYNErrorHasCode(error, SYNErrorNotSignedIn));
    EXPECT_EQ(error->localizedDescription(), "User is not logged into iCloud.");
    EXPECT_FALSE(cloud->isConnected());

    bool done = false;
    cloud->fileExistsAtPath("/x", [&](bool exists, bool isDirectory, plat::ErrorPtr error) {
        EXPECT_FALSE(exists);
        EXPECT_FALSE(isDirectory);
        EXPECT_TRUE(SYNErrorHasCode(error, SYNErrorConnectionError));
        EXPECT_EQ(error->localizedDescription(), "Attempted to access iCloud when not connected.");
        done = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 30));
    for (auto operation : std::vector<std::function<void(SYNCloudFileSystem::Completion)>>{
             [&](auto c) { cloud->createDirectoryAtPath("/m", c); },
             [&](auto c) { cloud->removeItemAtPath("/m", c); },
             [&](auto c) { cloud->uploadLocalFile((dir / "l").string(), "/m", c); },
             [&](auto c) { cloud->downloadFromPath("/m", (dir / "l").string(), c); },
             [&](auto c) { cloud->contentsOfDirectoryAtPath("/", [c](auto, auto e) { c(e); }); }}) {
        EXPECT_TRUE(SYNErrorHasCode(run(operation), SYNErrorConnectionError));
    }
    EXPECT_FALSE(fs::exists(root()));

    done = false;
    cloud->fetchUserIdentityWithCompletion([&](plat::Value identity, plat::ErrorPtr error) {
        EXPECT_TRUE(identity.isNull());
        EXPECT_EQ(error, nullptr);
        done = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 30));
}

TEST_F(SYNICloudFileSystemTest, SetUpMakesTheRootAndReplacesAFileThere) {
    write(root(), "not a folder");
    connect();
    EXPECT_TRUE(fs::is_directory(root()));
    EXPECT_EQ(cloud->rootDirectoryPath(), root().string());
    bool done = false;
    cloud->fetchUserIdentityWithCompletion([&](plat::Value identity, plat::ErrorPtr) {
        EXPECT_EQ(identity, plat::Value("account-1"));
        done = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 30));
}

TEST_F(SYNICloudFileSystemTest, FileOperations) {
    connect();
    EXPECT_EQ(run([&](auto c) { cloud->createDirectoryAtPath("/mesh", c); }), nullptr);
    EXPECT_NE(run([&](auto c) { cloud->createDirectoryAtPath("/mesh", c); }), nullptr);
    EXPECT_NE(run([&](auto c) { cloud->createDirectoryAtPath("/missing/child", c); }), nullptr);
    EXPECT_NE(run([&](auto c) { cloud->createDirectoryAtPath("/../outside", c); }), nullptr);
    EXPECT_FALSE(fs::exists(container() / "outside"));

    write(dir / "local", "first");
    EXPECT_EQ(run([&](auto c) { cloud->uploadLocalFile((dir / "local").string(), "/mesh/f", c); }), nullptr);
    write(dir / "local", "second");
    EXPECT_EQ(run([&](auto c) { cloud->uploadLocalFile((dir / "local").string(), "/mesh/f", c); }), nullptr);
    EXPECT_EQ(read(root() / "mesh" / "f"), "second");

    write(root() / "mesh" / "sub" / "deep", "d");
    write(root() / "mesh" / ".DS_Store", "h");
    ASSERT_FALSE(plat::clouddrive::writePlaceholder((root() / "mesh" / "remote").string(),
                                                    Placeholder{9, 0, false, 1}));
    auto [items, error] = list("/mesh");
    ASSERT_EQ(error, nullptr);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->name(), "f");
    EXPECT_EQ(items[0]->path(), "/mesh/f");
    EXPECT_EQ(std::dynamic_pointer_cast<SYNCloudFile>(items[0])->size(), 6u);
    EXPECT_TRUE(items[1]->canContainChildren());
    EXPECT_EQ(items[1]->path(), "/mesh/sub");

    auto missing = list("/nothing");
    ASSERT_TRUE(SYNErrorHasCode(missing.second, SYNErrorFileAccessFailed));
    EXPECT_EQ(missing.second->localizedDescription(),
              "Couldn't create directory enumerator for path: /nothing");

    bool done = false;
    cloud->fileExistsAtPath("/mesh/sub", [&](bool exists, bool isDirectory, plat::ErrorPtr error) {
        EXPECT_TRUE(exists && isDirectory && !error);
        done = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 30));

    write(dir / "target", "stale");
    EXPECT_EQ(run([&](auto c) { cloud->downloadFromPath("/mesh/f", (dir / "target").string(), c); }),
              nullptr);
    EXPECT_EQ(read(dir / "target"), "second");

    EXPECT_EQ(run([&](auto c) { cloud->removeItemAtPath("/mesh", c); }), nullptr);
    EXPECT_FALSE(fs::exists(root() / "mesh"));
    EXPECT_NE(run([&](auto c) { cloud->removeItemAtPath("/mesh", c); }), nullptr);
    EXPECT_NE(run([&](auto c) { cloud->removeItemAtPath("/", c); }), nullptr);
    EXPECT_TRUE(fs::is_directory(root()));
}

TEST_F(SYNICloudFileSystemTest, WhatAnotherDevicePutInTheFolderNeverReachesOutsideIt) {
    connect();
    const auto home = dir / "home";
    write(home / ".ssh" / "id_rsa", "key");
    write(home / "tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((home / "tool").c_str(), 04755), 0);
    fs::create_directories(root() / "mesh" / "files");
    fs::create_directory_symlink(home / ".ssh", root() / "mesh" / "files" / "side");
    fs::create_directory_symlink("../../../home", root() / "mesh" / "data");
    fs::create_symlink(home / "tool", root() / "mesh" / "link");
    ASSERT_EQ(::mkfifo((root() / "mesh" / "fifo").c_str(), 0600), 0);
    write(root() / "mesh" / "setuid", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((root() / "mesh" / "setuid").c_str(), 04755), 0);

    auto [items, error] = list("/mesh");
    ASSERT_EQ(error, nullptr);
    std::vector<std::string> names;
    for (const auto& item : items) {
        names.push_back(item->name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"files", "setuid"})) << "links and FIFOs are left out";
    EXPECT_NE(list("/mesh/data").second, nullptr);

    fs::create_directories(dir / "local");
    EXPECT_NE(run([&](auto c) { cloud->removeItemAtPath("/mesh/files/side/id_rsa", c); }), nullptr);
    EXPECT_NE(
        run([&](auto c) { cloud->downloadFromPath("/mesh/data/tool", (dir / "local" / "a").string(), c); }),
        nullptr);
    EXPECT_NE(run([&](auto c) { cloud->downloadFromPath("/mesh/link", (dir / "local" / "b").string(), c); }),
              nullptr);
    auto fifo =
        run([&](auto c) { cloud->downloadFromPath("/mesh/fifo", (dir / "local" / "c").string(), c); });
    EXPECT_TRUE(plat::folderItemRefusalReason(fifo));
    write(dir / "note", "mine");
    EXPECT_NE(
        run([&](auto c) { cloud->uploadLocalFile((dir / "note").string(), "/mesh/files/side/note", c); }),
        nullptr);
    EXPECT_TRUE(fs::is_empty(dir / "local"));
    EXPECT_EQ(read(home / ".ssh" / "id_rsa"), "key");
    EXPECT_FALSE(fs::exists(home / ".ssh" / "note"));

    const mode_t previous = ::umask(0);
    EXPECT_EQ(
        run([&](auto c) { cloud->downloadFromPath("/mesh/setuid", (dir / "local" / "s").string(), c); }),
        nullptr);
    EXPECT_EQ(run([&](auto c) { cloud->createDirectoryAtPath("/mesh/made", c); }), nullptr);
    ::umask(previous);
    EXPECT_EQ(fs::status(dir / "local" / "s").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(root() / "mesh" / "made").permissions(), fs::perms::owner_all);

    // A link named like a duplicate folder is never merged from.
    fs::create_directory_symlink(home, root() / "mesh 2");
    EXPECT_EQ(run([&](auto c) { cloud->repairMeshDirectory("/mesh", c); }), nullptr);
    EXPECT_FALSE(fs::exists(root() / "mesh" / "tool"));
    EXPECT_FALSE(fs::exists(root() / "mesh" / ".ssh"));
    EXPECT_TRUE(fs::exists(fs::symlink_status(root() / "mesh 2")));
}

// Downloads start on a queue of their own, each writing a request beside
// its placeholder, while the folder holding the placeholders is removed: the
// removal never finds a request written into the folder it is emptying.
TEST_F(SYNICloudFileSystemTest, RemovingAFolderWhileItsDownloadsStartRemovesIt) {
    connect();
    auto& service = UbiquityService::shared();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(run([&](auto c) { cloud->createDirectoryAtPath("/mesh", c); }), nullptr);
        const std::size_t started = service.startedDownloadCount();
        for (int d = 0; d < 3; ++d) {
            fs::create_directories(root() / "mesh" / ("d" + std::to_string(d)));
        }
        for (int i = 0; i < 60; ++i) {
            ASSERT_FALSE(
                plat::clouddrive::writePlaceholder((root() / "mesh" / ("d" + std::to_string(i % 3)) /
                                                    (std::to_string(round) + "-" + std::to_string(i)))
                                                       .string(),
                                                   Placeholder{9, 0, false, 1}));
        }
        // Once the first request is written the others follow on their
        // queue while the removal runs. (New names each round: the file
        // system tracks each name's download until it ends.)
        ASSERT_TRUE(MainLoop::runUntil([&] { return service.startedDownloadCount() > started; }, 30));
        EXPECT_EQ(run([&](auto c) { cloud->removeItemAtPath("/mesh", c); }), nullptr);
        EXPECT_FALSE(fs::exists(root() / "mesh"));
        if (fs::exists(root() / "mesh")) {
            fs::remove_all(root() / "mesh");
        }
    }
}

TEST_F(SYNICloudFileSystemTest, DownloadWaitsForAFileNotYetDownloaded) {
    connect();
    const auto item = root() / "event";
    ASSERT_FALSE(plat::clouddrive::writePlaceholder(item.string(), Placeholder{4, 0, false, 1}));
    // Nobody serves it: the coordination times out.
    EXPECT_TRUE(
        SYNErrorHasCode(run([&](auto c) { cloud->downloadFromPath("/event", (dir / "a").string(), c); }),
                        SYNErrorFileCoordinatorTimedOut));
    EXPECT_FALSE(fs::exists(dir / "a"));

    std::thread drive([&] {
        EXPECT_TRUE(testsupport::waitUntil(
            [&] { return fs::exists(plat::clouddrive::requestPathForItem(item.string())); }));
        deliver(item, "data");
    });
    fs::remove(plat::clouddrive::requestPathForItem(item.string()));
    timing.coordinationTimeout = 60;
    cloud = SYNICloudFileSystem::create(kContainer, "meshes", timing);
    ASSERT_EQ(run([&](auto done) { cloud->connect(done); }), nullptr);
    EXPECT_EQ(run([&](auto c) { cloud->downloadFromPath("/event", (dir / "b").string(), c); }), nullptr);
    drive.join();
    EXPECT_EQ(read(dir / "b"), "data");
}

TEST_F(SYNICloudFileSystemTest, ConflictingCoordinationTimesOut) {
    connect();
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        auto busy = plat::URL::fileURLWithPath((root() / "busy").string());
        EXPECT_EQ(syn_coordinateWritingItemAtURL(busy, 0, 60,
                                                 [&](const plat::URL&) {
                                                     holding = true;
                                                     while (!release) {
                                                         std::this_thread::yield();
                                                     }
                                                 }),
                  nullptr);
    });
    while (!holding) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(SYNErrorHasCode(run([&](auto c) { cloud->createDirectoryAtPath("/busy", c); }),
                                SYNErrorFileCoordinatorTimedOut));
    release = true;
    holder.join();
    EXPECT_FALSE(fs::exists(root() / "busy"));
}

TEST_F(SYNICloudFileSystemTest, PlaceholdersDownloadOnceAndOneUpdateFollows) {
    timing.coordinationTimeout = 60;  // tracking waits for the deliveries
    fs::create_directories(root() / "m");
    connect();
    std::vector<fs::path> items = {root() / "a", root() / "m" / "b", root() / "m" / "c"};
    for (const auto& item : items) {
        ASSERT_FALSE(plat::clouddrive::writePlaceholder(item.string(), Placeholder{100, 0, false, 1}));
    }
    auto& service = UbiquityService::shared();
    ASSERT_TRUE(MainLoop::runUntil([&] { return service.startedDownloadCount() == 3; }, 30));
    // Reported again while downloading: not started again.
    ASSERT_FALSE(plat::clouddrive::writePlaceholder(items[0].string(), Placeholder{100, 50, false, 1}));
    MainLoop::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(service.startedDownloadCount(), 3u);
    EXPECT_EQ(progress, 1);

    for (const auto& item : items) {
        deliver(item, "content");
    }
    waitForScheduled(1);
    advance(4.9);
    EXPECT_EQ(updates, 0);
    EXPECT_EQ(progress, 1);  // the finishes fell within the interval
    advance(0.2);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(progress, 2);
    EXPECT_EQ(cloud->bytesRemainingToDownload(), 0u);
}

TEST_F(SYNICloudFileSystemTest, ADownloadThatNeverComesCountsAsFinishedAndIsOfferedAgain) {
    connect();  // coordination time-out 0.2 s
    const auto item = root() / "withheld";
    ASSERT_FALSE(plat::clouddrive::writePlaceholder(item.string(), Placeholder{10, 0, false, 1}));
    auto& service = UbiquityService::shared();
    ASSERT_TRUE(MainLoop::runUntil([&] { return service.startedDownloadCount() == 1; }, 30));
    waitForScheduled(1);  // the tracking read timed out: the downloads are over
    EXPECT_EQ(cloud->bytesRemainingToDownload(), 0u);
    advance(5);
    EXPECT_EQ(updates, 1);
    // The query starts again and offers the item once more.
    EXPECT_TRUE(MainLoop::runUntil([&] { return service.startedDownloadCount() == 2; }, 30));
}

TEST_F(SYNICloudFileSystemTest, ForeignChangesPostOneDelayedUpdateAndOwnChangesNone) {
    connect();
    write(dir / "local", "x");
    ASSERT_EQ(run([&](auto c) { cloud->uploadLocalFile((dir / "local").string(), "/own", c); }), nullptr);
    ASSERT_EQ(run([&](auto c) { cloud->createDirectoryAtPath("/ownfolder", c); }), nullptr);
    write(root() / "foreign", "y");
    waitForScheduled(1);
    MainLoop::runUntil([] { return false; }, 0.2);
    EXPECT_EQ(clock->pendingCount(), 1u);  // only the foreign write

    advance(5);
    write(root() / "foreign2", "z");  // restarts the delay
    waitForScheduled(2);
    advance(9.9);
    EXPECT_EQ(updates, 0);
    advance(0.2);
    EXPECT_EQ(updates, 1);
    advance(20);
    EXPECT_EQ(updates, 1);
}

TEST_F(SYNICloudFileSystemTest, FailedDownloadStartIsOfferedAgain) {
    connect();
    UbiquityService::shared().setStartDownloadingError(plat::Error::make("Test", 1));
    const auto item = root() / "a";
    ASSERT_FALSE(plat::clouddrive::writePlaceholder(item.string(), Placeholder{1, 0, false, 1}));
    MainLoop::runUntil([] { return false; }, 0.3);
    EXPECT_FALSE(fs::exists(plat::clouddrive::requestPathForItem(item.string())));
    UbiquityService::shared().setStartDownloadingError(nullptr);
    // The next update of the query offers it again.
    ASSERT_FALSE(plat::clouddrive::writePlaceholder((root() / "b").string(), Placeholder{1, 0, false, 1}));
    EXPECT_TRUE(MainLoop::runUntil(
        [&] { return fs::exists(plat::clouddrive::requestPathForItem(item.string())); }, 30));
}

TEST_F(SYNICloudFileSystemTest, RepairMergesNumberedCopiesIntoTheOriginal) {
    connect();
    ASSERT_EQ(run([&](auto c) { cloud->repairMeshDirectory("/main", c); }), nullptr);  // nothing to do

    const fs::path parent = container();
    write(root() / "main" / "both", "original");
    write(parent / "meshes 2" / "main" / "both", "copy 2");
    write(parent / "meshes 2" / "main" / "events" / "e2", "from 2");
    write(parent / "meshes 4" / "main" / "events" / "e2", "from 4");
    write(parent / "meshes 4" / "only4", "4");
    write(root() / "main 3" / "x", "mesh copy");
    write(parent / "meshes 10" / "ignored", "10");
    ASSERT_EQ(run([&](auto c) { cloud->repairMeshDirectory("/main", c); }), nullptr);

    EXPECT_EQ(read(root() / "main" / "both"), "original");
    EXPECT_EQ(read(root() / "main" / "events" / "e2"), "from 2");  // 2 before 4
    EXPECT_EQ(read(root() / "only4"), "4");
    EXPECT_EQ(read(root() / "main" / "x"), "mesh copy");
    for (const char* gone : {"meshes 2", "meshes 4"}) {
        EXPECT_FALSE(fs::exists(parent / gone)) << gone;
    }
    EXPECT_FALSE(fs::exists(root() / "main 3"));
    EXPECT_TRUE(fs::exists(parent / "meshes 10"));
    EXPECT_EQ(cloud->directoriesToMergeForDirectory(std::nullopt), std::nullopt);
}

TEST_F(SYNICloudFileSystemTest, RepairStopsAtTheFirstErrorAndKeepsTheDuplicate) {
    connect();
    // A file in the kept folder where the copy has a folder with content:
    // the content cannot be copied.
    write(root() / "main" / "a", "kept");
    write(root() / "main" / "b", "a file");
    write(root() / "main 2" / "a", "copy");
    write(root() / "main 2" / "b" / "inner", "x");
    write(root() / "main 2" / "c", "c");
    auto error = run([&](auto c) { cloud->repairMeshDirectory("/main", c); });
    EXPECT_NE(error, nullptr);
    EXPECT_EQ(read(root() / "main" / "a"), "kept");
    EXPECT_FALSE(fs::exists(root() / "main" / "c"));  // after the failing item
    EXPECT_TRUE(fs::exists(root() / "main 2"));
}

// Two devices (two containers in one process) joined by the drive agent: both
// make the root before the drive saw either, so one device's root becomes
// "meshes 2"; its repair merges it back and both devices end with all files.
TEST_F(SYNICloudFileSystemTest, TwoDevicesRepairAConflictingRootAndShareTheirFiles) {
    const fs::path containerB = dir / "containerB";
    fs::create_directories(container());
    fs::create_directories(containerB);
    UbiquityService::shared().setContainerFolder("iCloud.b", containerB.string());
    plat::clouddrive::SyncAgent::Script script;
    script.numberConflictingFolders = true;
    plat::clouddrive::SyncAgent agent({container().string(), containerB.string()}, script);

    connect();
    auto a = cloud;
    auto b = SYNICloudFileSystem::create("iCloud.b", "meshes", timing);
    ASSERT_EQ(run([&](auto done) { b->connect(done); }), nullptr);
    write(dir / "x", "from a");
    write(dir / "y", "from b");
    struct Device {
        std::shared_ptr<SYNICloudFileSystem> fileSystem;
        fs::path local;
        std::string name;
    };
    for (const Device& device : {Device{a, dir / "x", "/main/x"}, Device{b, dir / "y", "/main/y"}}) {
        ASSERT_EQ(run([&](auto c) { device.fileSystem->createDirectoryAtPath("/main", c); }), nullptr);
        ASSERT_EQ(
            run([&](auto c) { device.fileSystem->uploadLocalFile(device.local.string(), device.name, c); }),
            nullptr);
    }
    agent.settle();
    ASSERT_TRUE(fs::is_directory(containerB / "meshes 2" / "main"));
    ASSERT_EQ(run([&](auto c) { b->repairMeshDirectory("/main", c); }), nullptr);
    EXPECT_FALSE(fs::exists(containerB / "meshes 2"));

    // Each side's query asks for what the other wrote; the agent serves it.
    auto bothListed = [&] {
        agent.step();
        for (const auto& fileSystem : {a, b}) {
            auto items = std::make_shared<std::set<std::string>>();
            bool done = false;
            fileSystem->contentsOfDirectoryAtPath("/main", [&](SYNCloudItems listed, plat::ErrorPtr) {
                for (const auto& item : listed) {
                    items->insert(item->name());
                }
                done = true;
            });
            MainLoop::runUntil([&] { return done; }, 30);
            if (*items != std::set<std::string>{"x", "y"}) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(MainLoop::runUntil(bothListed, 60));
    EXPECT_EQ(read(root() / "main" / "y"), "from b");
    EXPECT_EQ(read(containerB / "meshes" / "main" / "x"), "from a");
    EXPECT_FALSE(fs::exists(container() / "meshes 2"));
    b->stopMonitoring();
    std::weak_ptr<SYNICloudFileSystem> gone = b;
    b.reset();
    EXPECT_TRUE(MainLoop::runUntil([&] { return gone.expired(); }, 30));
}

}  // namespace
