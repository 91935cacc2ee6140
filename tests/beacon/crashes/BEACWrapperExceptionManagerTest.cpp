// The wrapper exception store on disk: save, correlation by process id,
// cache, load, deletion, damaged files and unsafe names.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"

namespace {

namespace fs = std::filesystem;

class BEACWrapperExceptionManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { BEACWrapperExceptionManager::clearCache(); }
    void TearDown() override { BEACWrapperExceptionManager::clearCache(); }

    fs::path folder() const { return sdk_.dir() / "sdk" / kBEACWrapperExceptionsDirectory; }
    bool stored(const std::string& name) const { return fs::exists(folder() / name); }

    static std::shared_ptr<BEACWrapperException> wrapper(std::optional<int64_t> processId, const char* type) {
        auto w = std::make_shared<BEACWrapperException>();
        w->processId = processId;
        w->modelException = std::make_shared<BEACException>();
        w->modelException->type = type;
        w->exceptionData = plat::Data::fromString("managed");
        return w;
    }
    static std::shared_ptr<BEACErrorReport> report(const char* id, uint64_t pid) {
        return std::make_shared<BEACErrorReport>(std::string(id), std::string(""), std::string("SIGABRT"),
                                                 std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                                 nullptr, pid);
    }

    beactest::SandboxedSDK sdk_;
};

TEST_F(BEACWrapperExceptionManagerTest, CorrelationMovesTheExceptionToTheMatchingIncident) {
    BEACWrapperExceptionManager::saveWrapperException(wrapper(300, "System.NullReference"));
    ASSERT_TRUE(stored(kBEACLastSavedWrapperExceptionFileName));
    // Saving again overwrites.
    BEACWrapperExceptionManager::saveWrapperException(wrapper(300, "System.InvalidOperation"));

    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        {report("A", 299), report("B", 300), report("C", 300)});
    EXPECT_FALSE(stored(kBEACLastSavedWrapperExceptionFileName));
    EXPECT_TRUE(stored("B"));
    EXPECT_FALSE(stored("C")) << "only the first matching report gets it";

    auto loaded = BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("B"));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->modelException->type, "System.InvalidOperation");
    EXPECT_EQ(loaded->exceptionData, plat::Data::fromString("managed"));

    // Deleting the file leaves the cached entry.
    BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(std::string("B"));
    EXPECT_FALSE(stored("B"));
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("B")), loaded);

    // A fresh process reads the file; what it reads is not cached.
    BEACWrapperExceptionManager::saveWrapperException(wrapper(1, "X"), "D");
    BEACWrapperExceptionManager::clearCache();
    auto fromDisk = BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("D"));
    ASSERT_NE(fromDisk, nullptr);
    BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(std::string("D"));
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("D")), nullptr);

    BEACWrapperExceptionManager::deleteAllWrapperExceptions();
    EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(BEACWrapperExceptionManagerTest, UnmatchedOrAnonymousExceptionsAreDropped) {
    BEACWrapperExceptionManager::saveWrapperException(wrapper(77, "T"));
    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("A", 78)});
    EXPECT_FALSE(stored(kBEACLastSavedWrapperExceptionFileName));
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("A")), nullptr);

    // Without a process id it would otherwise match a report without process
    // information (id 0).
    BEACWrapperExceptionManager::saveWrapperException(wrapper(std::nullopt, "T"));
    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("Z", 0)});
    EXPECT_FALSE(stored(kBEACLastSavedWrapperExceptionFileName));
    EXPECT_FALSE(stored("Z"));

    // Nothing saved: nothing happens.
    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("A", 78)});
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::nullopt), nullptr);
}

TEST_F(BEACWrapperExceptionManagerTest, DamagedFilesAreLoggedAndDeleted) {
    fs::create_directories(folder());
    std::ofstream(folder() / "E") << "not an archive";
    beactest::CapturingLog log;
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("E")), nullptr);
    EXPECT_FALSE(stored("E"));
    EXPECT_EQ(log.count("Could not read exception data stored on disk with file name E"), 1u);
    bool tagged = false;
    for (const auto& line : log.lines())
        tagged |= line.tag == "BeaconCrashes" && line.level == BEACLogLevelError;
    EXPECT_TRUE(tagged);
}

TEST_F(BEACWrapperExceptionManagerTest, NamesOutsideTheFolderAreRefused) {
    fs::create_directories(sdk_.dir() / "sdk");
    std::ofstream(sdk_.dir() / "sdk" / "keep") << "x";
    for (const char* name : {"", ".", "..", "../keep", "a/b"}) {
        SCOPED_TRACE(name);
        BEACWrapperExceptionManager::saveWrapperException(wrapper(1, "T"), name);
        EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string(name)),
                  nullptr);
        BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(std::string(name));
    }
    EXPECT_TRUE(fs::exists(sdk_.dir() / "sdk" / "keep"));
    EXPECT_TRUE(!fs::exists(folder()) || fs::is_empty(folder()));

    BEACWrapperExceptionManager::saveWrapperException(wrapper(5, "T"));
    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("../keep", 5)});
    EXPECT_TRUE(fs::exists(sdk_.dir() / "sdk" / "keep"));
    EXPECT_EQ(BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(std::string("../keep")),
              nullptr);
}

}  // namespace
