// The binary store and the other atomic file writers (user defaults) under
// failed writes, writers killed mid-write and power losses.
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include "CoreDataTestSupport.h"
#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileWriteEnvironment.h"
#include "platform/foundation/UserDefaults.h"
#include "support/FaultFileEnvironment.h"
#include "support/PowerLossVFS.h"
#include "support/TempDir.h"

namespace plat::coredata {
namespace {

using testsupport::FaultFileEnvironment;
using Call = FaultFileEnvironment::Call;

class FileStoreFaultTest : public ::testing::Test {
  protected:
    void SetUp() override { dispatch::MainLoop::bindToCurrentThread(); }

    std::string path() const { return (dir / "store.bin").string(); }
    Result<std::shared_ptr<PersistentStoreCoordinator>> open() {
        auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
        auto store = coordinator->addPersistentStore(BinaryStoreType, "", URL::fileURLWithPath(path()), {});
        if (!store)
            return store.error();
        return coordinator;
    }
    static std::shared_ptr<ManagedObjectContext> contextOn(
        const std::shared_ptr<PersistentStoreCoordinator>& c) {
        auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(c);
        return context;
    }
    // The names of the stored tags, sorted; "!" and the error when the store
    // does not open.
    std::set<std::string> storedTags() {
        auto coordinator = open();
        if (!coordinator)
            return {"!" + coordinator.error()->description()};
        std::set<std::string> names;
        auto context = contextOn(*coordinator);
        auto tags = context->executeFetchRequest(FetchRequest("Tag"));
        for (const auto& tag : tags ? *tags : std::vector<ManagedObjectPtr>{})
            names.insert(tag->valueForKey("name").stringValue());
        return names;
    }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().find(".tmp-") != std::string::npos)
                names.push_back(entry.path().filename().string());
        }
        return names;
    }

    testsupport::TempDir dir;
};

TEST_F(FileStoreFaultTest, AFailedWriteNamesItsCause) {
    struct Case {
        Call call;
        int err;
        const char* says;
    };
    const Case cases[] = {{Call::WriteAll, ENOSPC, "the disk is full"},
                          {Call::CreateTemporary, EROFS, "the volume is read-only"},
                          {Call::CreateTemporary, EACCES, "permission denied"},
                          {Call::SyncData, EIO, "Input/output error"}};
    auto coordinator = open();
    ASSERT_TRUE(coordinator);
    auto context = contextOn(*coordinator);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("y"), "name");
        ErrorPtr error;
        {
            FaultFileEnvironment env;
            env.failNext(c.call, c.err);
            error = context->save();
        }
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), PersistentStoreSaveError);
        EXPECT_NE(error->localizedDescription().find(c.says), std::string::npos)
            << error->localizedDescription();
        EXPECT_NE(error->localizedDescription().find("errno " + std::to_string(c.err)), std::string::npos);
        context->rollback();
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FileStoreFaultTest, OpeningRemovesTemporaryFilesOfKilledWritersButNotOfLiveOnes) {
    {
        auto coordinator = open();
        ASSERT_TRUE(coordinator);
        auto context = contextOn(*coordinator);
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("kept"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    // A writer killed in the middle of its write, for real: the child writes
    // through an environment that kills the process halfway through the data.
    struct Killing : FileWriteEnvironment {
        int writeAll(int fd, const void* bytes, std::size_t length) override {
            system().writeAll(fd, bytes, length / 2);
            ::raise(SIGKILL);
            return -1;
        }
    };
    for (int i = 0; i < 3; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Killing killing;
            FileWriteEnvironment::setCurrent(&killing);
            std::string big(100000, 'z');
            // Killed part-way: the parent looks at what is left on disk.
            (void)FileManager::defaultManager().writeData(Data(big.data(), big.size()), path(), true);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    ASSERT_EQ(leftovers().size(), 3u);
    // One writer still at work in this process: its file is locked.
    std::string live = atomicWriteTemplate(path());
    const int liveFd = FileWriteEnvironment::system().createTemporary(live);
    ASSERT_GE(liveFd, 0);
    std::ofstream(dir / "other.bin.tmp-abcdef") << "not ours";
    std::ofstream(dir / ".store.bin.tmp-toolong") << "not ours either";

    EXPECT_EQ(storedTags(), std::set<std::string>{"kept"});
    auto left = leftovers();
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected{
        ".store.bin.tmp-toolong", std::filesystem::path(live).filename().string(), "other.bin.tmp-abcdef"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    ::close(liveFd);
}

// Saves a tag at a time; before each save, cuts the power after every
// possible number of file calls, drops what was not durable and checks that
// the store opens holding the state before or after that save.
TEST_F(FileStoreFaultTest, APowerLossAtAnyPointLeavesTheStateBeforeOrAfterEachSave) {
    std::set<std::string> saved;
    for (int round = 0; round < 3; ++round) {
        const std::string name = "t" + std::to_string(round);
        std::set<std::string> after = saved;
        after.insert(name);
        for (std::size_t cut = 0;; ++cut) {
            SCOPED_TRACE(name + " power cut after " + std::to_string(cut) + " calls");
            bool completed = false;
            {
                FaultFileEnvironment env;
                auto coordinator = open();
                ASSERT_TRUE(coordinator) << coordinator.error()->description();
                auto context = contextOn(*coordinator);
                context->insertNewObjectForEntityForName("Tag")->setValue(Value(name), "name");
                env.cutPowerAfter(cut);
                auto error = context->save();
                completed = !env.powerCut();
                if (completed) {
                    ASSERT_EQ(error, nullptr) << error->description();
                }
                env.dropUnsyncedData();
            }
            auto state = storedTags();
            EXPECT_TRUE(state == saved || state == after) << "found " << ::testing::PrintToString(state);
            if (completed) {
                ASSERT_EQ(state, after);
                break;
            }
            if (state == after)  // the power went after the save was durable: keep it
                break;
        }
        saved = after;
    }
}

// The same against the SQLite store, through a VFS that forgets what SQLite
// did not sync. Each round also updates and deletes, and the power may go
// during the checkpoint when the store closes.
TEST_F(FileStoreFaultTest, ASQLiteStoreSurvivesAPowerLossAtAnyPoint) {
    const std::string file = (dir / "store.sqlite").string();
    auto openSQLite = [&] {
        auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
        auto store = coordinator->addPersistentStore(SQLiteStoreType, "", URL::fileURLWithPath(file), {});
        EXPECT_TRUE(store) << store.error()->description();
        return store ? coordinator : nullptr;
    };
    auto state = [&] {
        std::set<std::string> names;
        auto coordinator = openSQLite();
        if (!coordinator)
            return std::set<std::string>{"!"};
        auto context = contextOn(coordinator);
        auto tags = context->executeFetchRequest(FetchRequest("Tag"));
        EXPECT_TRUE(tags) << tags.error()->description();
        for (const auto& tag : tags ? *tags : std::vector<ManagedObjectPtr>{})
            names.insert(tag->valueForKey("name").stringValue());
        return names;
    };
    {
        auto context = contextOn(openSQLite());
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("a"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    std::set<std::string> saved{"a"};
    std::size_t cuts = 0;
    for (int round = 0; round < 3; ++round) {
        // Insert t<round>, rename the oldest tag to u<round>.
        const std::string name = "t" + std::to_string(round);
        std::set<std::string> after = saved;
        after.erase(after.begin());
        after.insert({name, "u" + std::to_string(round)});
        for (std::size_t cut = 0;; ++cut, ++cuts) {
            SCOPED_TRACE(name + " power cut after " + std::to_string(cut) + " changes");
            bool completed = false;
            {
                testsupport::PowerLossVFS vfs;
                {
                    auto coordinator = openSQLite();
                    ASSERT_NE(coordinator, nullptr);
                    auto context = contextOn(coordinator);
                    auto tags = context->executeFetchRequest(FetchRequest("Tag"));
                    ASSERT_TRUE(tags);
                    for (const auto& tag : *tags) {
                        if (tag->valueForKey("name").stringValue() == *saved.begin())
                            tag->setValue(Value("u" + std::to_string(round)), "name");
                    }
                    context->insertNewObjectForEntityForName("Tag")->setValue(Value(name), "name");
                    vfs.cutPowerAfter(cut);
                    auto error = context->save();
                    if (!vfs.powerCut()) {
                        ASSERT_EQ(error, nullptr) << error->description();
                    }
                }  // closing checkpoints the WAL into the database
                completed = !vfs.powerCut();
                vfs.dropUnsyncedData();
            }
            auto found = state();
            EXPECT_TRUE(found == saved || found == after) << "found " << ::testing::PrintToString(found);
            if (completed) {
                ASSERT_EQ(found, after);
                break;
            }
            if (found == after)
                break;  // the power went after the save was durable
        }
        saved = after;
    }
    EXPECT_GT(cuts, 10u);  // the power was cut at many points
}

TEST_F(FileStoreFaultTest, UserDefaultsSurviveAPowerLossAtAnyPoint) {
    const std::string file = (dir / "defaults.plist").string();
    UserDefaults(file).setInteger(1, "value");
    for (std::size_t cut = 0;; ++cut) {
        SCOPED_TRACE("power cut after " + std::to_string(cut) + " calls");
        bool completed = false;
        {
            FaultFileEnvironment env;
            UserDefaults defaults(file);
            env.cutPowerAfter(cut);
            defaults.setInteger(2, "value");
            completed = !env.powerCut();
            env.dropUnsyncedData();
        }
        UserDefaults reread(file);
        const auto value = reread.objectForKey("value");
        ASSERT_TRUE(value.has_value());
        EXPECT_TRUE(*value == Value(1) || *value == Value(2)) << value->description();
        if (completed) {
            EXPECT_EQ(*value, Value(2));
            break;
        }
        UserDefaults(file).setInteger(1, "value");
    }
}

}  // namespace
}  // namespace plat::coredata
