#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

class SYNLocalCloudFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        plat::dispatch::MainLoop::drain();
        cloud = std::make_unique<SYNLocalCloudFileSystem>(root.str() + "/cloud");
        fs::create_directories(root.str() + "/cloud");
    }

    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs an operation and waits for its completion on the main thread.
    plat::ErrorPtr run(const std::function<void(SYNCloudFileSystem::Completion)>& operation) {
        bool done = false;
        plat::ErrorPtr result;
        operation([&](plat::ErrorPtr error) {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            result = error;
            done = true;
        });
        EXPECT_FALSE(done) << "completions are asynchronous";
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
        return result;
    }

    SYNCloudItems list(const std::string& path) {
        bool done = false;
        SYNCloudItems result;
        cloud->contentsOfDirectoryAtPath(path, [&](SYNCloudItems items, plat::ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            result = std::move(items);
            done = true;
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
        std::sort(result.begin(), result.end(), [](auto& a, auto& b) { return a->name() < b->name(); });
        return result;
    }

    std::pair<bool, bool> exists(const std::string& path) {
        bool done = false;
        std::pair<bool, bool> result;
        cloud->fileExistsAtPath(path, [&](bool e, bool d, plat::ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            result = {e, d};
            done = true;
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
        return result;
    }

    testsupport::TempDir root;
    std::unique_ptr<SYNLocalCloudFileSystem> cloud;
};

TEST_F(SYNLocalCloudFileSystemTest, FullPathsJoinWithSingleSlashesAndNeverLeaveTheRoot) {
    SYNLocalCloudFileSystem local("/tmp/cloud/");
    struct Case {
        std::string path;
        std::optional<std::string> full;
    } cases[] = {
        {"/mesh/events", "/tmp/cloud/mesh/events"},
        {"mesh//events/", "/tmp/cloud/mesh/events"},
        {"/", "/tmp/cloud"},
        {"", "/tmp/cloud"},
        {"/mesh/../../etc", std::nullopt},
        {"..", std::nullopt},
        {"/mesh/./x", std::nullopt},
        {std::string("/a\0b", 4), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(local.fullPathForPath(c.path), c.full) << c.path;
    }
}

TEST_F(SYNLocalCloudFileSystemTest, IdentityIsTheLoginNameAndSameForTwoInstances) {
    plat::Value first, second;
    int done = 0;
    cloud->fetchUserIdentityWithCompletion([&](plat::Value identity, plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        first = identity;
        ++done;
    });
    SYNLocalCloudFileSystem other("/elsewhere");
    other.fetchUserIdentityWithCompletion([&](plat::Value identity, plat::ErrorPtr) {
        second = identity;
        ++done;
    });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done == 2; }, 10));
    EXPECT_EQ(first, plat::Value(plat::FileManager().userName()));
    EXPECT_EQ(first, second);
    EXPECT_TRUE(cloud->isConnected());
}

TEST_F(SYNLocalCloudFileSystemTest, ListingShowsVisibleEntriesDirectlyInsideOnly) {
    const auto base = root.str() + "/cloud/mesh";
    fs::create_directories(base + "/events/deeper");
    fs::create_directories(base + "/.hidden/inner");
    write(base + "/.DS_Store", "x");
    write(base + "/.hidden/inner/file", "x");
    write(base + "/events/deeper/file", "x");
    write(base + "/registration", "12345");
    auto items = list("/mesh");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->name(), "events");
    EXPECT_EQ(items[0]->path(), "/mesh/events");
    EXPECT_TRUE(items[0]->canContainChildren());
    EXPECT_EQ(items[1]->name(), "registration");
    EXPECT_EQ(items[1]->path(), "/mesh/registration");
    auto file = std::dynamic_pointer_cast<SYNCloudFile>(items[1]);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), 5u);
    EXPECT_TRUE(list("/missing").empty());
    EXPECT_TRUE(list("/../..").empty());
}

TEST_F(SYNLocalCloudFileSystemTest, CreateNeedsParentAndRefusesExistingItems) {
    EXPECT_EQ(run([&](auto done) { cloud->createDirectoryAtPath("/mesh", done); }), nullptr);
    EXPECT_EQ(exists("/mesh"), std::make_pair(true, true));
    EXPECT_NE(run([&](auto done) { cloud->createDirectoryAtPath("/mesh", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->createDirectoryAtPath("/none/child", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->createDirectoryAtPath("/../outside", done); }), nullptr);
    EXPECT_FALSE(fs::exists(root.str() + "/outside"));
    EXPECT_EQ(exists("/nothing"), std::make_pair(false, false));
}

TEST_F(SYNLocalCloudFileSystemTest, UploadDownloadAndRemove) {
    const auto local = root.str() + "/local";
    write(local, "payload");
    EXPECT_EQ(run([&](auto done) { cloud->uploadLocalFile(local, "/file", done); }), nullptr);
    EXPECT_EQ(read(root.str() + "/cloud/file"), "payload");
    EXPECT_EQ(exists("/file"), std::make_pair(true, false));
    EXPECT_NE(run([&](auto done) { cloud->uploadLocalFile(local, "/file", done); }), nullptr)
        << "uploading onto an existing file fails";
    EXPECT_NE(run([&](auto done) { cloud->uploadLocalFile(local, "/missing/file", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->uploadLocalFile(local, "/../escaped", done); }), nullptr);
    EXPECT_FALSE(fs::exists(root.str() + "/escaped"));

    const auto copy = root.str() + "/copy";
    EXPECT_EQ(run([&](auto done) { cloud->downloadFromPath("/file", copy, done); }), nullptr);
    EXPECT_EQ(read(copy), "payload");
    EXPECT_NE(run([&](auto done) { cloud->downloadFromPath("/file", copy, done); }), nullptr)
        << "the local path exists";

    EXPECT_EQ(run([&](auto done) { cloud->removeItemAtPath("/file", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->removeItemAtPath("/file", done); }), nullptr);
    EXPECT_EQ(run([&](auto done) { cloud->uploadLocalFile(local, "/file", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->uploadLocalFile(root.str() + "/no-such-local", "/other", done); }),
              nullptr);
    // Uploads go through hidden temporary names; none is left behind.
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(root.str() + "/cloud")) {
        entries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(entries, std::vector<std::string>{"file"});
}

// The optional transfers for files the caller is done with: an upload may
// take the file, a download it only reads may share the folder's file. Paths
// that could leave the root are refused as by the required members.
TEST_F(SYNLocalCloudFileSystemTest, MovedUploadsAndDownloadsForReading) {
    using Member = SYNCloudFileSystem::OptionalMember;
    EXPECT_TRUE(cloud->respondsToMember(Member::MoveLocalFile));
    EXPECT_TRUE(cloud->respondsToMember(Member::DownloadFromPathForReading));
    EXPECT_FALSE(cloud->respondsToMember(Member::UploadLocalFiles));

    const auto local = root.str() + "/local";
    write(local, "payload");
    EXPECT_NE(run([&](auto done) { cloud->moveLocalFile(local, "/../escaped", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->moveLocalFile(local, "/missing/file", done); }), nullptr);
    EXPECT_EQ(read(local), "payload");
    EXPECT_EQ(run([&](auto done) { cloud->moveLocalFile(local, "/file", done); }), nullptr);
    EXPECT_FALSE(fs::exists(local));
    EXPECT_EQ(read(root.str() + "/cloud/file"), "payload");
    write(local, "other");
    EXPECT_NE(run([&](auto done) { cloud->moveLocalFile(local, "/file", done); }), nullptr)
        << "never onto an existing file";
    EXPECT_EQ(read(root.str() + "/cloud/file"), "payload");

    const auto copy = root.str() + "/copy";
    EXPECT_EQ(run([&](auto done) { cloud->downloadFromPathForReading("/file", copy, done); }), nullptr);
    EXPECT_EQ(read(copy), "payload");
    EXPECT_NE(run([&](auto done) { cloud->downloadFromPathForReading("/file", copy, done); }), nullptr)
        << "the local path exists";
    EXPECT_NE(run([&](auto done) { cloud->downloadFromPathForReading("/../local", copy + "2", done); }),
              nullptr);
    cloud->setMaximumFileSize(3);
    auto large = run([&](auto done) { cloud->downloadFromPathForReading("/file", copy + "3", done); });
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(plat::folderItemRefusalReason(large));
    EXPECT_FALSE(fs::exists(copy + "3"));
}

TEST_F(SYNLocalCloudFileSystemTest, RemovingADirectoryRemovesEverythingBelow) {
    fs::create_directories(root.str() + "/cloud/mesh/events");
    write(root.str() + "/cloud/mesh/events/a", "1");
    EXPECT_EQ(run([&](auto done) { cloud->removeItemAtPath("/mesh", done); }), nullptr);
    EXPECT_FALSE(fs::exists(root.str() + "/cloud/mesh"));
    EXPECT_NE(run([&](auto done) { cloud->removeItemAtPath("/", done); }), nullptr)
        << "the root is not an item of the cloud tree";
}

TEST_F(SYNLocalCloudFileSystemTest, ConnectWithoutCompletionDoesNothing) {
    cloud->connect(nullptr);
    cloud->removeItemAtPath("/missing", nullptr);
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(run([&](auto done) { cloud->connect(done); }), nullptr);
}

TEST_F(SYNLocalCloudFileSystemTest, LinksPlacedByAPeerNeverReachOutsideTheFolder) {
    // A home folder beside the cloud folder, and a peer's links into it.
    const auto home = root.str() + "/home";
    fs::create_directories(home + "/.ssh");
    fs::create_directories(home + "/docs/.git");
    write(home + "/.ssh/id_rsa", "key");
    write(home + "/docs/thesis.txt", "thesis");
    write(home + "/docs/.git/config", "config");
    write(home + "/.bashrc", "rc");
    const auto mesh = root.str() + "/cloud/mesh";
    fs::create_directories(mesh + "/files");
    fs::create_directory_symlink(home + "/.ssh", mesh + "/files/side");
    fs::create_directory_symlink("../../home/docs", mesh + "/data");
    fs::create_directory_symlink(home + "/docs", mesh + "/events");
    fs::create_directories(mesh + "/files/plain");
    fs::create_symlink(home + "/.bashrc", mesh + "/files/plain/.bashrc-link");
    fs::create_symlink(home + "/.bashrc", mesh + "/files/plain/settings");

    EXPECT_TRUE(list("/mesh/files/side").empty());
    EXPECT_TRUE(list("/mesh/data").empty());
    EXPECT_TRUE(list("/mesh/files/plain").empty()) << "links are left out of listings";
    EXPECT_EQ(exists("/mesh/data"), std::make_pair(true, false)) << "a link is never a folder";

    const auto local = root.str() + "/local";
    fs::create_directories(local);
    write(local + "/note", "mine");
    EXPECT_NE(run([&](auto done) { cloud->removeItemAtPath("/mesh/files/side/id_rsa", done); }), nullptr);
    EXPECT_NE(run([&](auto done) { cloud->uploadLocalFile(local + "/note", "/mesh/files/side/note", done); }),
              nullptr);
    EXPECT_NE(
        run([&](auto done) { cloud->uploadLocalFile(local + "/note", "/mesh/events/1_a_1.synevent", done); }),
        nullptr);
    EXPECT_NE(
        run([&](auto done) { cloud->downloadFromPath("/mesh/files/side/id_rsa", local + "/id_rsa", done); }),
        nullptr);
    EXPECT_NE(
        run([&](auto done) { cloud->downloadFromPath("/mesh/data/thesis.txt", local + "/thesis", done); }),
        nullptr);
    EXPECT_NE(run([&](auto done) {
                  cloud->downloadFromPath("/mesh/files/plain/settings", local + "/settings", done);
              }),
              nullptr);
    EXPECT_NE(run([&](auto done) { cloud->createDirectoryAtPath("/mesh/files/side/x", done); }), nullptr);
    EXPECT_FALSE(fs::exists(local + "/id_rsa"));
    EXPECT_FALSE(fs::exists(local + "/thesis"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(local + "/settings")));

    // Removing the link removes the link only.
    EXPECT_EQ(run([&](auto done) { cloud->removeItemAtPath("/mesh/files/side", done); }), nullptr);
    EXPECT_EQ(read(home + "/.ssh/id_rsa"), "key");
    EXPECT_EQ(read(home + "/.bashrc"), "rc");
    std::vector<std::string> outside;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        outside.push_back(fs::relative(entry.path(), home).string());
    }
    std::sort(outside.begin(), outside.end());
    EXPECT_EQ(outside, (std::vector<std::string>{".bashrc", ".ssh", ".ssh/id_rsa", "docs", "docs/.git",
                                                 "docs/.git/config", "docs/thesis.txt"}));
}

TEST_F(SYNLocalCloudFileSystemTest, SpecialAndOversizedFilesAreSkippedInListingsAndRefusedOnDownload) {
    const auto events = root.str() + "/cloud/events";
    fs::create_directories(events);
    ASSERT_EQ(::mkfifo((events + "/1_store_1.synevent").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", events + "/2_store_2.synevent");
    write(events + "/3_store_3.synevent", std::string(100, 'x'));
    auto items = list("/events");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->name(), "3_store_3.synevent");

    const auto local = root.str() + "/local";
    fs::create_directories(local);
    // A FIFO without a writer would block a plain open for ever.
    auto fifo =
        run([&](auto done) { cloud->downloadFromPath("/events/1_store_1.synevent", local + "/a", done); });
    ASSERT_NE(fifo, nullptr);
    EXPECT_TRUE(plat::folderItemRefusalReason(fifo));
    auto zero =
        run([&](auto done) { cloud->downloadFromPath("/events/2_store_2.synevent", local + "/b", done); });
    ASSERT_NE(zero, nullptr);
    EXPECT_TRUE(plat::folderItemRefusalReason(zero));
    cloud->setMaximumFileSize(99);
    auto big =
        run([&](auto done) { cloud->downloadFromPath("/events/3_store_3.synevent", local + "/c", done); });
    ASSERT_NE(big, nullptr);
    EXPECT_NE(plat::folderItemRefusalReason(big).value_or("").find("larger than 99"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(local));
}

TEST_F(SYNLocalCloudFileSystemTest, FilesGetPrivateModesNeverThePeersBits) {
    const mode_t previous = ::umask(0);
    const auto side = root.str() + "/cloud/side";
    fs::create_directories(side);
    write(side + "/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((side + "/tool").c_str(), 04755), 0);
    const auto local = root.str() + "/local";
    fs::create_directories(local);
    EXPECT_EQ(run([&](auto done) { cloud->downloadFromPath("/side/tool", local + "/tool", done); }), nullptr);
    EXPECT_EQ(run([&](auto done) { cloud->createDirectoryAtPath("/side/folder", done); }), nullptr);
    EXPECT_EQ(run([&](auto done) { cloud->uploadLocalFile(local + "/tool", "/side/uploaded", done); }),
              nullptr);
    ::umask(previous);
    auto mode = [](const std::string& path) { return fs::status(path).permissions(); };
    EXPECT_EQ(mode(local + "/tool"), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(mode(side + "/uploaded"), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(mode(side + "/folder"), fs::perms::owner_all);
}

// Listings keep the last listing of each folder and take sizes from it for
// the same files: every file that is another one under its name, and every
// one listed above the kept bound, is looked at again.
TEST_F(SYNLocalCloudFileSystemTest, ListingsLookAgainAtFilesReplacedUnderTheirNameAndAtLargeOnes) {
    const auto events = root.str() + "/cloud/events";
    fs::create_directories(events + "/sub");
    write(events + "/a", std::string(10, 'a'));
    const uint64_t large = SYNLocalCloudFileSystem::ListedSizesKeptUpTo + 1;
    write(events + "/big", "");
    ASSERT_EQ(::truncate((events + "/big").c_str(), static_cast<off_t>(large)), 0);  // sparse
    auto sizes = [&] {
        std::map<std::string, int64_t> found;
        for (const auto& item : list("/events")) {
            const auto* file = dynamic_cast<const SYNCloudFile*>(item.get());
            found[item->name()] = file ? static_cast<int64_t>(file->size()) : -1;
        }
        return found;
    };
    EXPECT_EQ(sizes(),
              (std::map<std::string, int64_t>{{"a", 10}, {"big", static_cast<int64_t>(large)}, {"sub", -1}}));

    // Written anew and renamed over the name, as every writer of the folder
    // does; shrunk in place below the bound; a folder become a file.
    write(root.str() + "/next", std::string(20, 'b'));
    fs::rename(root.str() + "/next", events + "/a");
    ASSERT_EQ(::truncate((events + "/big").c_str(), 5), 0);
    fs::remove(events + "/sub");
    write(events + "/sub", "sub");
    EXPECT_EQ(sizes(), (std::map<std::string, int64_t>{{"a", 20}, {"big", 5}, {"sub", 3}}));

    // Uploaded through the file system (written aside, renamed into place),
    // and a folder listed between with a file of the same name: each keeps
    // its own sizes.
    write(root.str() + "/upload", std::string(30, 'c'));
    EXPECT_EQ(run([&](auto done) { cloud->uploadLocalFile(root.str() + "/upload", "/events/c", done); }),
              nullptr);
    fs::create_directories(root.str() + "/cloud/other");
    write(root.str() + "/cloud/other/a", std::string(40, 'd'));
    ASSERT_EQ(list("/other").size(), 1u);
    EXPECT_EQ(sizes(), (std::map<std::string, int64_t>{{"a", 20}, {"big", 5}, {"c", 30}, {"sub", 3}}));
    auto other = list("/other");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(dynamic_cast<const SYNCloudFile*>(other[0].get())->size(), 40u);
}

}  // namespace
