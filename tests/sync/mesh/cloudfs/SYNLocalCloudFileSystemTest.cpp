#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/dispatch/MainLoop.h"
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

}  // namespace
