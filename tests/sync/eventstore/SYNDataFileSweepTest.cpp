// The data-file sweep on a real store folder: after every sweep, data/
// holds exactly the files that were in data/ or newdata/ and a record
// names, and newdata/ holds the files no record names yet, whether or not
// the folders were empty (an empty pair of folders is not looked at
// further).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNEventStoreModel.h"

namespace {

using namespace eventstoretest;
namespace fs = std::filesystem;
using plat::Value;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class SYNDataFileSweepTest : public EventStoreTest {
  protected:
    fs::path dataFolder() const { return fs::path(store->pathToDataDirectory()); }
    fs::path newDataFolder() const { return fs::path(store->pathToNewDataDirectory()); }

    void reference(const std::string& name) {
        inStore([&] {
            auto record = context->insertNewObjectForEntityForName(SYNDataFileEntityName);
            record->setValue(Value(name), "filename");
            ASSERT_EQ(context->save(), nullptr);
        });
        referenced.insert(name);
    }
    void dropReference(const std::string& name) {
        inStore([&] {
            plat::coredata::FetchRequest request(SYNDataFileEntityName);
            request.predicate = plat::coredata::Predicate::equal("filename", Value(name));
            auto records = context->executeFetchRequest(request);
            ASSERT_TRUE(records.ok());
            for (const auto& record : *records) {
                context->deleteObject(record);
            }
            ASSERT_EQ(context->save(), nullptr);
        });
        referenced.erase(name);
    }
    // Sweeps, and checks the folders against the rule applied to what was
    // on disk before.
    void sweepAndCheck() {
        const auto stored = namesIn(dataFolder());
        const auto imported = namesIn(newDataFolder());
        std::set<std::string> expectedData, expectedNew;
        for (const auto& name : stored) {
            if (referenced.count(name)) {
                expectedData.insert(name);
            }
        }
        for (const auto& name : imported) {
            (referenced.count(name) ? expectedData : expectedNew).insert(name);
        }
        store->removeUnreferencedDataFiles();
        EXPECT_EQ(namesIn(dataFolder()), expectedData);
        EXPECT_EQ(namesIn(newDataFolder()), expectedNew);
        // The store's own listings agree with the folders.
        EXPECT_EQ(store->previouslyReferencedDataFilenames(), expectedData);
        EXPECT_EQ(store->newlyImportedDataFilenames(), expectedNew);
    }

    std::set<std::string> referenced;
};

TEST_F(SYNDataFileSweepTest, EmptyFoldersWithRecordsAndWithoutStayEmpty) {
    sweepAndCheck();  // no folder yet
    reference(syn_md5Checksum(plat::Data::fromString("never stored")));
    sweepAndCheck();
    EXPECT_TRUE(namesIn(dataFolder()).empty());
    EXPECT_TRUE(namesIn(newDataFolder()).empty());
}

TEST_F(SYNDataFileSweepTest, AFileArrivingAfterAnEmptySweepIsSweptByTheNext) {
    // An empty sweep keeps the empty listings; a file stored or imported
    // after it must be seen by the next sweep, not hidden behind them.
    sweepAndCheck();
    auto stale = store->storeDataFile(plat::Data::fromString("stale"));
    ASSERT_TRUE(stale.ok());
    sweepAndCheck();
    EXPECT_TRUE(namesIn(dataFolder()).empty());

    sweepAndCheck();
    const auto downloaded = root / "download" / "ABCDEF";
    fs::create_directories(downloaded.parent_path());
    std::ofstream(downloaded) << "bytes";
    ASSERT_TRUE(store->importDataFile(downloaded.string()));
    reference("ABCDEF");
    sweepAndCheck();
    EXPECT_EQ(namesIn(dataFolder()), std::set<std::string>{"ABCDEF"});

    // A file put into the folder by hand after an empty sweep, with the
    // folder's stamp changed, is seen too.
    dropReference("ABCDEF");
    sweepAndCheck();
    EXPECT_TRUE(namesIn(dataFolder()).empty());
    std::ofstream(dataFolder() / "0123456789ABCDEF0123456789ABCDEF") << "left behind";
    sweepAndCheck();
    EXPECT_TRUE(namesIn(dataFolder()).empty());
}

TEST_F(SYNDataFileSweepTest, RandomStoresImportsAndRecordsMatchTheRule) {
    std::mt19937 random(20261209);
    std::vector<std::string> contents;
    for (int i = 0; i < 8; ++i) {
        contents.push_back("contents " + std::to_string(i));
    }
    auto nameOf = [](const std::string& text) { return syn_md5Checksum(plat::Data::fromString(text)); };
    for (int round = 0; round < 60; ++round) {
        const int actions = static_cast<int>(random() % 4);  // zero actions: sweeps of what is there
        for (int a = 0; a < actions; ++a) {
            const std::string& text = contents[random() % contents.size()];
            const std::string name = nameOf(text);
            switch (random() % 5) {
                case 0:
                    ASSERT_TRUE(store->storeDataFile(plat::Data::fromString(text)).ok());
                    break;
                case 1: {
                    const auto downloaded = root / "download" / name;
                    fs::create_directories(downloaded.parent_path());
                    std::ofstream(downloaded) << text;
                    ASSERT_TRUE(store->importDataFile(downloaded.string()));
                    break;
                }
                case 2:
                    if (!referenced.count(name)) {
                        reference(name);
                    }
                    break;
                case 3:
                    if (referenced.count(name)) {
                        dropReference(name);
                    }
                    break;
                default:
                    // Every record dropped: the next sweeps empty the folders.
                    for (const auto& each : std::set<std::string>(referenced)) {
                        dropReference(each);
                    }
                    break;
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        sweepAndCheck();
    }
}

}  // namespace
