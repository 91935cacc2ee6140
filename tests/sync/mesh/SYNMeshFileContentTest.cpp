// Merging side directories: real folders on both sides where they can show
// the behaviour, the in-memory file system for names and batches a real
// folder cannot hold or count.
#include <fstream>

#include "MeshFixture.h"
#include "support/FakeCloudFileSystem.h"

namespace meshtest {
namespace {

using testsupport::FakeCloudFileSystem;

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::set<std::string> namesIn(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class FileContentTest : public MeshTest {
  protected:
    struct Report {
        plat::ErrorPtr error;
        float fraction;
        bool finished;
    };

    plat::ErrorPtr mergePair(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, const std::string& local,
                             const std::string& cloud, std::vector<Report>* reports = nullptr) {
        return wait([&](SYNCompletion done) {
            mesh->mergeFileContentOfLocalDirectory(
                local, cloud, mesh->workerQueue(),
                [reports](plat::ErrorPtr error, float fraction, bool finished) {
                    EXPECT_TRUE(MainLoop::isMainThread());
                    if (reports) {
                        reports->push_back({error, fraction, finished});
                    }
                },
                done);
        });
    }
};

TEST_F(FileContentTest, RealFoldersExchangeMissingNamesKeepSharedOnesAndNeverUploadHiddenFiles) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    auto local = root / "media";
    auto cloud = root / "cloud" / "main" / "files" / "docs";
    writeFile(local / "a.txt", "from a");
    writeFile(local / "shared.txt", "local version");
    writeFile(local / ".DS_Store", "finder");
    writeFile(cloud / "b.txt", "from b");
    writeFile(cloud / "shared.txt", "cloud version");

    std::vector<Report> reports;
    ASSERT_EQ(mergePair(mesh, local.string(), "docs", &reports), nullptr);
    EXPECT_EQ(namesIn(local), (std::set<std::string>{".DS_Store", "a.txt", "b.txt", "shared.txt"}));
    EXPECT_EQ(namesIn(cloud), (std::set<std::string>{"a.txt", "b.txt", "shared.txt"}));
    EXPECT_EQ(readFile(local / "b.txt"), "from b");
    EXPECT_EQ(readFile(cloud / "a.txt"), "from a");
    EXPECT_EQ(readFile(local / "shared.txt"), "local version");
    EXPECT_EQ(readFile(cloud / "shared.txt"), "cloud version");
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports.back().finished);
    EXPECT_EQ(reports.back().fraction, 1.0f);

    // Nothing left to do: one report, finished; the hidden file still stays home.
    reports.clear();
    ASSERT_EQ(mergePair(mesh, local.string(), "docs", &reports), nullptr);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].finished);
    EXPECT_EQ(reports[0].fraction, 1.0f);
    EXPECT_FALSE(std::filesystem::exists(cloud / ".DS_Store"));

    // A missing local folder fails; a missing cloud folder is created.
    EXPECT_NE(mergePair(mesh, (root / "absent").string(), "docs"), nullptr);
    std::filesystem::create_directories(root / "empty");
    EXPECT_EQ(mergePair(mesh, (root / "empty").string(), "new"), nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(root / "cloud" / "main" / "files" / "new"));
}

TEST_F(FileContentTest, CloudNamesThatWouldLeaveTheFolderOrAreHiddenAreNeverDownloaded) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    auto mesh = makeMesh("a", fs);
    std::string cloud = "/main/files/docs";
    fs->addDirectory("/main");
    fs->addDirectory("/main/files");
    fs->addDirectory(cloud);
    for (const char* name : {"..", ".", ".hidden", "ok.txt"}) {
        fs->addFile(cloud + "/" + name, "payload");
    }
    auto local = root / "deep" / "media";
    std::filesystem::create_directories(local);
    ASSERT_EQ(mergePair(mesh, local.string(), "docs"), nullptr);
    EXPECT_EQ(namesIn(local), (std::set<std::string>{"ok.txt"}));
    EXPECT_EQ(namesIn(root / "deep"), (std::set<std::string>{"media"}));
    EXPECT_EQ(fs->countCalls("download"), 1u);
}

TEST_F(FileContentTest, DownloadsGoInBatchesWithProgressPerBatch) {
    struct Case {
        const char* name;
        std::set<SYNCloudFileSystem::OptionalMember> members;
        std::size_t batchCalls;
        std::size_t singleCalls;
    };
    using M = SYNCloudFileSystem::OptionalMember;
    const std::vector<Case> cases = {
        {"file by file in batches of 20", {}, 0, 45},
        {"batch member, default size", {M::DownloadFromPaths}, 3, 0},
        {"batch member and size 30", {M::DownloadFromPaths, M::FileDownloadMaximumBatchSize}, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto fs = std::make_shared<FakeCloudFileSystem>();
        fs->members = c.members;
        auto mesh = makeMesh(c.name, fs);
        std::string cloud = "/main/files/docs";
        fs->addDirectory("/main");
        fs->addDirectory("/main/files");
        fs->addDirectory(cloud);
        for (int i = 0; i < 45; ++i) {
            fs->addFile(cloud + "/f" + std::to_string(100 + i));
        }
        auto local = root / (std::string(c.name) + " media");
        std::filesystem::create_directories(local);
        std::vector<Report> reports;
        ASSERT_EQ(mergePair(mesh, local.string(), "docs", &reports), nullptr);
        EXPECT_EQ(namesIn(local).size(), 45u);
        EXPECT_EQ(fs->countCalls("downloadBatch"), c.batchCalls);
        EXPECT_EQ(fs->countCalls("download"), c.singleCalls);
        ASSERT_GE(reports.size(), 2u);
        if (c.members.count(M::FileDownloadMaximumBatchSize) == 0) {
            EXPECT_FLOAT_EQ(reports[0].fraction, 20.0f / 45.0f);
        }
        EXPECT_TRUE(reports.back().finished);
        mesh->dismantle();
    }
}

// Batch calls of a file system may complete on any thread; the batches are
// still counted, and reported, on the main thread only.
TEST_F(FileContentTest, BatchesCompletedOnAnotherThreadAreCountedAndReportedOnTheMainThread) {
    using M = SYNCloudFileSystem::OptionalMember;
    auto fs = std::make_shared<FakeCloudFileSystem>();
    fs->members = {M::DownloadFromPaths, M::UploadLocalFiles};
    fs->delivery = FakeCloudFileSystem::Delivery::Background;
    auto mesh = makeMesh("a", fs);
    std::string cloud = "/main/files/docs";
    fs->addDirectory("/main");
    fs->addDirectory("/main/files");
    fs->addDirectory(cloud);
    for (int i = 0; i < 45; ++i) {
        fs->addFile(cloud + "/f" + std::to_string(100 + i));
    }
    auto local = root / "media";
    for (int i = 0; i < 25; ++i) {
        writeFile(local / ("u" + std::to_string(100 + i)), "up");
    }
    std::vector<Report> reports;  // mergePair checks that each comes on the main thread
    ASSERT_EQ(mergePair(mesh, local.string(), "docs", &reports), nullptr);
    EXPECT_EQ(namesIn(local).size(), 70u);
    EXPECT_GE(fs->countCalls("downloadBatch"), 2u);
    ASSERT_GE(reports.size(), 2u);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_LE(reports[i - 1].fraction, reports[i].fraction);
        EXPECT_FALSE(reports[i - 1].finished);
    }
    EXPECT_TRUE(reports.back().finished);
    EXPECT_EQ(reports.back().fraction, 1.0f);
    mesh->dismantle();
}

TEST_F(FileContentTest, FailuresStopTheTransfersAndReachTheCompletion) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    auto mesh = makeMesh("a", fs);
    fs->addDirectory("/main");
    fs->addDirectory("/main/files");
    fs->addFile("/main/files/docs", "a file where a folder should be");
    auto local = root / "media";
    std::filesystem::create_directories(local);
    auto error = mergePair(mesh, local.string(), "docs");
    ASSERT_EQ(code(error), SYNErrorPathIsNotDirectory);
    EXPECT_EQ(*error->userInfo().find("detail"),
              plat::Value("'/main/files/docs' is exists, but expected to be directory, got "));

    // A failing upload ends the pair with its error; a final report says so.
    fs->addDirectory("/main/files/up");
    writeFile(local / "x.bin", "x");
    fs->failOperation("upload");
    std::vector<Report> reports;
    EXPECT_NE(mergePair(mesh, local.string(), "up", &reports), nullptr);
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports.back().finished);
    EXPECT_NE(reports.back().error, nullptr);
    fs->clearFailures();

    // A delist waiting behind the running activity stops every batch with 101.
    ASSERT_EQ(enlist(mesh), nullptr);
    mesh->proceduralQueue()->setSuspended(true);
    bool delisted = false;
    mesh->delistPersistentStoreWithCompletion([&](plat::ErrorPtr) { delisted = true; });
    EXPECT_EQ(code(mergePair(mesh, local.string(), "up")), SYNErrorCancelled);
    EXPECT_FALSE(fs->hasFile("/main/files/up/x.bin"));
    mesh->proceduralQueue()->setSuspended(false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return delisted; }, 30));
}

TEST_F(FileContentTest, DeleteFilesRemovesOnBothSidesAndRefusesPathsOutsideTheFolder) {
    auto fs = std::make_shared<FakeCloudFileSystem>();
    auto mesh = makeMesh("a", fs);
    auto local = root / "media";
    writeFile(local / "gone.txt", "1");
    writeFile(root / "outside.txt", "keep");
    fs->addDirectory("/main/files/docs");
    fs->addFile("/main/files/docs/gone.txt");

    auto remove = [&](std::vector<std::string> names) {
        return wait([&](SYNCompletion done) { mesh->deleteFiles(names, local.string(), "docs", done); });
    };
    EXPECT_NE(remove({"../outside.txt"}), nullptr);
    EXPECT_TRUE(std::filesystem::exists(root / "outside.txt"));
    // Not enlisted: only the local file goes.
    EXPECT_EQ(remove({"gone.txt"}), nullptr);
    EXPECT_FALSE(std::filesystem::exists(local / "gone.txt"));
    EXPECT_TRUE(fs->hasFile("/main/files/docs/gone.txt"));
    // Enlisted, without the batch member: removed one by one.
    ASSERT_EQ(enlist(mesh), nullptr);
    EXPECT_EQ(remove({"gone.txt"}), nullptr);
    EXPECT_FALSE(fs->hasFile("/main/files/docs/gone.txt"));
    EXPECT_EQ(fs->countCalls("removeBatch"), 0u);
}

}  // namespace
}  // namespace meshtest
