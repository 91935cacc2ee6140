// The cloud manager against the fake cloud file system (error paths, optional
// members, call log) and against a real local folder shared by two event
// stores, as two machines share a synced folder.
#include "sync/integration/SYNCloudManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <tuple>

#include "EventFileFixture.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "support/FakeCloudFileSystem.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

using namespace integrationtest;
using testsupport::FakeCloudFileSystem;
using Option = SYNCloudFileSystem::OptionalMember;
namespace fs = std::filesystem;

// Data files are named by the checksum of their content.
std::string dataName(const std::string& content) {
    return syn_md5Checksum(plat::Data::fromString(content));
}

struct ProgressCall {
    plat::ErrorPtr error;
    float fraction;
    bool finished;
};

// Runs a transfer and collects its progress calls up to the final one.
std::vector<ProgressCall> transfer(const std::function<void(SYNCloudManager::Progress)>& start) {
    std::vector<ProgressCall> calls;
    bool done = false;
    start([&](plat::ErrorPtr error, float fraction, bool finished) {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        EXPECT_FALSE(done) << "a call after the final one";
        calls.push_back({error, fraction, finished});
        done = done || error || finished;
    });
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
    plat::dispatch::MainLoop::drain();
    return calls;
}

class SYNCloudManagerTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        cloud = std::make_shared<FakeCloudFileSystem>();
        manager = SYNCloudManager::create(source, cloud, smallBatchModel());
        for (const char* directory :
             {"/mesh", "/mesh/files", "/mesh/stores", "/mesh/events", "/mesh/baselines", "/mesh/data"}) {
            cloud->addDirectory(directory);
        }
    }
    void TearDown() override {
        manager->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    plat::ErrorPtr snapshot() {
        return wait([&](auto done) { manager->snapshotRemoteFilesWithCompletion(done); });
    }

    std::shared_ptr<FakeCloudFileSystem> cloud;
    std::shared_ptr<SYNCloudManager> manager;
};

TEST_F(SYNCloudManagerTest, LayoutOfTheMeshAndTheTransitCache) {
    auto main = SYNEventStore::create("main", root.str() + "/m", eventstoretest::kStoreType);
    auto other = SYNCloudManager::create(main, cloud, smallBatchModel());
    EXPECT_EQ(other->remoteMeshDirectory(), "/main");
    EXPECT_EQ(other->remoteEventsDirectory(), "/main/events");
    EXPECT_EQ(other->remoteStoresDirectory(), "/main/stores");
    EXPECT_EQ(other->remoteBaselinesDirectory(), "/main/baselines");
    EXPECT_EQ(other->remoteDataDirectory(), "/main/data");
    EXPECT_EQ(other->remoteFilesDirectory(), "/main/files");
    EXPECT_EQ(other->localUploadDirectory(), root.str() + "/m/transitcache/main/upload");
    EXPECT_TRUE(fs::is_directory(other->localUploadDirectory()));
    EXPECT_TRUE(fs::is_directory(other->localDownloadDirectory()));
}

TEST_F(SYNCloudManagerTest, TheTransitCacheIsPrivateWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    manager->setup();
    ::umask(previous);
    for (const auto& folder : {manager->localFileRoot(), manager->localMeshDirectory(),
                               manager->localUploadDirectory(), manager->localDownloadDirectory()}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
}

TEST_F(SYNCloudManagerTest, SortsByLeadingGlobalCountNumerically) {
    EXPECT_EQ(
        SYNCloudManager::sortFilenamesByGlobalCount(
            {"10_a_1.synevent", "9_b_1.synevent", "x.synevent", "9_a_1.synevent"}),
        (std::vector<std::string>{"x.synevent", "9_a_1.synevent", "9_b_1.synevent", "10_a_1.synevent"}));
}

TEST_F(SYNCloudManagerTest, RemovingFilesKeepsHiddenEntriesAndNeedsTheDirectory) {
    const auto upload = manager->localUploadDirectory();
    std::ofstream(upload + "/a") << "1";
    std::ofstream(upload + "/.keep") << "1";
    fs::create_directories(upload + "/sub/deeper");
    EXPECT_EQ(manager->removeFilesInDirectory(upload), nullptr);
    EXPECT_EQ(fs::exists(upload + "/a"), false);
    EXPECT_EQ(fs::exists(upload + "/sub"), false);
    EXPECT_EQ(fs::exists(upload + "/.keep"), true);
    EXPECT_NE(manager->removeFilesInDirectory(root.str() + "/missing"), nullptr);
}

TEST_F(SYNCloudManagerTest, SnapshotIsAllOrNothingAndLeavesOutUnsafeNames) {
    cloud->addFile("/mesh/baselines/1_B_P.synevent");
    cloud->addFile("/mesh/events/2_S_1.synevent");
    cloud->addFile("/mesh/events/..");
    cloud->addFile("/mesh/events/.hidden");
    cloud->addFile("/mesh/data/D1");
    cloud->addFile("/mesh/data/" + dataName("x"));
    EXPECT_EQ(snapshot(), nullptr);
    EXPECT_EQ(manager->snapshotBaselineFilenames(), SYNCloudManager::Names{"1_B_P.synevent"});
    EXPECT_EQ(manager->snapshotEventFilenames(), SYNCloudManager::Names{"2_S_1.synevent"});
    EXPECT_EQ(manager->snapshotDataFilenames(), SYNCloudManager::Names{dataName("x")});
    EXPECT_EQ(manager->unusableRemoteFiles().count("/mesh/data/D1"), 1u) << "not a data file name";

    cloud->failOperation("list", "/mesh/events");
    auto error = snapshot();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "FakeCloudErrorDomain");
    EXPECT_FALSE(manager->snapshotBaselineFilenames());
    EXPECT_FALSE(manager->snapshotEventFilenames());
    EXPECT_FALSE(manager->snapshotDataFilenames());
}

TEST_F(SYNCloudManagerTest, LaterListingsJudgeNamesAsAFirstListingDoes) {
    // Names judged in one listing are not parsed again in the next: the
    // verdicts must stay those of the folder each name is listed in.
    const std::vector<std::string> names{"1_B_P.synevent", "2_S_1.synevent", "3_S_2.synevent", "README",
                                         "012_S_1.synevent"};
    for (const auto& name : names) {
        cloud->addFile("/mesh/baselines/" + name);
        cloud->addFile("/mesh/events/" + name);
    }
    auto fresh = [&] {
        auto other = SYNCloudManager::create(source, cloud, smallBatchModel());
        EXPECT_EQ(wait([&](auto done) { other->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        return std::make_pair(other->snapshotBaselineFilenames(), other->snapshotEventFilenames());
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round == 2) {
            cloud->removeFile("/mesh/events/2_S_1.synevent");
            cloud->addFile("/mesh/baselines/4_B_Q.synevent");
            cloud->addFile("/mesh/events/4_S_3.synevent");
        }
        ASSERT_EQ(snapshot(), nullptr);
        const auto expected = fresh();
        EXPECT_EQ(manager->snapshotBaselineFilenames(), expected.first);
        EXPECT_EQ(manager->snapshotEventFilenames(), expected.second);
        ASSERT_TRUE(expected.first && expected.second);
        EXPECT_FALSE(expected.first->empty());
        EXPECT_FALSE(expected.second->empty());
        EXPECT_NE(*expected.first, *expected.second) << "the folders judge names differently";
    }
}

// The names judged in earlier listings outlive their files for a while:
// when most files of a folder go (as a consolidation removes them), come
// back, or give way to names that are no event file's, every listing still
// judges each name as a manager listing afresh does.
TEST_F(SYNCloudManagerTest, ListingsJudgeNamesAlikeWhenMostFilesGoAndReturn) {
    auto name = [](int i) { return std::to_string(i) + "_S_" + std::to_string(i) + ".synevent"; };
    auto expectAsFresh = [&](int round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(snapshot(), nullptr);
        auto other = SYNCloudManager::create(source, cloud, smallBatchModel());
        ASSERT_EQ(wait([&](auto done) { other->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        EXPECT_EQ(manager->snapshotEventFilenames(), other->snapshotEventFilenames());
        EXPECT_EQ(manager->unusableRemoteFiles(), other->unusableRemoteFiles());
    };
    for (int i = 1; i <= 150; ++i) {
        cloud->addFile("/mesh/events/" + name(i));
    }
    expectAsFresh(0);
    for (int i = 1; i <= 145; ++i) {
        cloud->removeFile("/mesh/events/" + name(i));
    }
    cloud->addFile("/mesh/events/README");
    expectAsFresh(1);
    for (int i = 1; i <= 100; ++i) {
        cloud->addFile("/mesh/events/" + name(i));
    }
    cloud->addFile("/mesh/events/1_S_1.synevent.partial");
    expectAsFresh(2);
    EXPECT_EQ(manager->snapshotEventFilenames()->size(), 105u);
}

TEST_F(SYNCloudManagerTest, CreatesOnlyMissingDirectories) {
    for (bool directoryMember : {false, true}) {
        SCOPED_TRACE(directoryMember);
        cloud = std::make_shared<FakeCloudFileSystem>();
        if (directoryMember) {
            cloud->members.insert(Option::DirectoryExistsAtPath);
        }
        manager = SYNCloudManager::create(source, cloud, smallBatchModel());
        for (const char* directory : {"/mesh", "/mesh/files", "/mesh/events", "/mesh/baselines"}) {
            cloud->addDirectory(directory);
        }
        cloud->addFile("/mesh/stores");  // a plain file where a directory belongs
        EXPECT_EQ(
            wait([&](auto done) { manager->createRemoteDirectoryStructureWithCompletion(done); }) == nullptr,
            !directoryMember);
        EXPECT_EQ(cloud->countCalls("create"), directoryMember ? 1u : 1u);
        EXPECT_EQ(cloud->hasDirectory("/mesh/data"), !directoryMember);
    }
}

TEST_F(SYNCloudManagerTest, RegistrationIsUploadedAndTheLocalCopyRemoved) {
    const auto store = storeID(source);
    plat::Dictionary info{{"storeIdentifier", plat::Value(store)},
                          {"enlistDate", plat::Value(plat::Date::fromTimeIntervalSince1970(1e9))}};
    EXPECT_EQ(wait([&](auto done) { manager->setRegistrationInfo(info, store, done); }), nullptr);
    const auto text = cloud->content("/mesh/stores/" + store);
    auto plist = plat::PropertyListSerialization::propertyListWithData(
        plat::Data(std::vector<uint8_t>(text.begin(), text.end())));
    ASSERT_TRUE(plist.ok());
    EXPECT_EQ(*plist->find("storeIdentifier"), plat::Value(store));
    EXPECT_TRUE(plist->find("enlistDate")->isDate());
    EXPECT_TRUE(fs::is_empty(manager->localUploadDirectory()));

    bool exists = false;
    bool done = false;
    manager->checkExistenceOfRegistrationInfoForStoreWithIdentifier(store, [&](bool e, plat::ErrorPtr) {
        exists = e;
        done = true;
    });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
    EXPECT_TRUE(exists);

    cloud->failOperation("upload");
    EXPECT_NE(wait([&](auto done) { manager->setRegistrationInfo(info, "OTHER", done); }), nullptr);
    EXPECT_TRUE(fs::is_empty(manager->localUploadDirectory()));

    fs::remove_all(manager->localUploadDirectory());
    std::ofstream(manager->localUploadDirectory()) << "not a directory";
    bool immediate = false;
    manager->setRegistrationInfo(info, store, [&](plat::ErrorPtr error) { immediate = error != nullptr; });
    EXPECT_TRUE(immediate) << "a local failure completes before returning";
}

TEST_F(SYNCloudManagerTest, WithoutSnapshotImportsFinishAtOnce) {
    for (auto import : {&SYNCloudManager::importNewRemoteNonBaselineEventsWithProgress,
                        &SYNCloudManager::importNewBaselineEventsWithProgress,
                        &SYNCloudManager::importNewDataFilesWithProgress}) {
        auto calls = transfer([&](auto progress) { ((*manager).*import)(progress); });
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].error, nullptr);
        EXPECT_EQ(calls[0].fraction, 1.0f);
        EXPECT_TRUE(calls[0].finished);
    }
    EXPECT_EQ(cloud->countCalls("download"), 0u);
}

TEST_F(SYNCloudManagerTest, DataDownloadsGoInBatchesWithProgress) {
    for (bool batchMember : {false, true}) {
        SCOPED_TRACE(batchMember);
        cloud->members.clear();
        if (batchMember) {
            cloud->members = {Option::DownloadFromPaths, Option::FileDownloadMaximumBatchSize};
            cloud->downloadBatchSize = 3;
        }
        SYNCloudManager::Names names;
        for (int i = 0; i < 7; ++i) {
            const std::string content = (batchMember ? "B" : "S") + std::to_string(i);
            cloud->addFile("/mesh/data/" + dataName(content), content);
        }
        ASSERT_EQ(snapshot(), nullptr);
        auto calls = transfer([&](auto progress) { manager->importNewDataFilesWithProgress(progress); });
        std::vector<float> fractions;
        for (const auto& call : calls) {
            EXPECT_EQ(call.error, nullptr);
            fractions.push_back(call.fraction);
        }
        if (batchMember) {
            EXPECT_EQ(fractions, (std::vector<float>{3 / 7.0f, 6 / 7.0f, 1.0f, 1.0f}));
            EXPECT_EQ(cloud->countCalls("downloadBatch"), 3u);
        } else {
            EXPECT_EQ(fractions.size(), 8u);
        }
        EXPECT_TRUE(calls.back().finished);
        for (int i = 0; i < 7; ++i) {
            EXPECT_TRUE(source->newlyImportedDataFilenames().count(
                dataName((batchMember ? "B" : "S") + std::to_string(i))));
        }
        // Held files are not fetched again.
        cloud->clearCalls();
        transfer([&](auto progress) { manager->importNewDataFilesWithProgress(progress); });
        EXPECT_EQ(cloud->countCalls("download") + cloud->countCalls("downloadBatch"), 0u);
    }
}

TEST_F(SYNCloudManagerTest, DataImportTakesOnlyWhatItDownloadedAndStopsAtARefusal) {
    const auto leftover = dataName("from an earlier import");
    std::ofstream(manager->localDownloadDirectory() + "/" + leftover) << "from an earlier import";
    cloud->addFile("/mesh/data/" + dataName("1"), "1");
    cloud->addFile("/mesh/data/" + dataName("2"), "2");
    ASSERT_EQ(snapshot(), nullptr);
    // Not fetched: "newdata" counts as held.
    std::ofstream(source->pathToNewDataDirectory() + "/" + dataName("1")) << "1";
    auto calls = transfer([&](auto progress) { manager->importNewDataFilesWithProgress(progress); });
    EXPECT_EQ(calls.back().error, nullptr);
    EXPECT_TRUE(source->newlyImportedDataFilenames().count(dataName("2")));
    EXPECT_FALSE(source->newlyImportedDataFilenames().count(leftover));

    // A file the event store cannot take is refused with 107; later files stay.
    const auto first = dataName("3");
    std::ofstream(manager->localDownloadDirectory() + "/" + first) << "3";
    fs::remove_all(source->pathToNewDataDirectory());
    std::ofstream(source->pathToNewDataDirectory()) << "in the way";
    auto refused = manager->migrateNewDataFiles({manager->localDownloadDirectory() + "/" + first,
                                                 manager->localDownloadDirectory() + "/" + leftover});
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), SYNErrorFileAccessFailed);
    EXPECT_EQ(refused->localizedDescription(), "Could not import data file: " + first);
    EXPECT_TRUE(fs::exists(manager->localDownloadDirectory() + "/" + leftover));
}

TEST_F(SYNCloudManagerTest, NamesThatWouldLeaveTheCacheAreNeverDownloaded) {
    cloud->addFile("/mesh/x", "outside");
    for (const std::string& name :
         std::vector<std::string>{"../x", "..", "", "a/b", std::string("a\0b", 3)}) {
        auto calls =
            transfer([&](auto progress) { manager->downloadFiles({name}, "/mesh/data", nullptr, progress); });
        EXPECT_EQ(calls.back().error, nullptr);
    }
    EXPECT_EQ(cloud->countCalls("download"), 0u);
    EXPECT_FALSE(fs::exists(manager->localMeshDirectory() + "/x"));
}

TEST_F(SYNCloudManagerTest, DownloadErrorStopsAtItsBatch) {
    cloud->members = {Option::DownloadFromPaths, Option::FileDownloadMaximumBatchSize};
    cloud->downloadBatchSize = 2;
    for (int i = 1; i <= 6; ++i) {
        cloud->addFile("/mesh/events/" + std::to_string(i) + "_OTHERSTORE_" + std::to_string(i) +
                       ".synevent");
    }
    ASSERT_EQ(snapshot(), nullptr);
    cloud->failOperation("downloadBatch", "/mesh/events/3_OTHERSTORE_3.synevent");
    auto calls =
        transfer([&](auto progress) { manager->importNewRemoteNonBaselineEventsWithProgress(progress); });
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fraction, 2 / 6.0f);
    EXPECT_NE(calls[1].error, nullptr);
    EXPECT_FALSE(calls[1].finished);
    EXPECT_EQ(cloud->countCalls("downloadBatch"), 2u) << "later batches are not fetched";
}

TEST_F(SYNCloudManagerTest, IncompleteMultipartBaselineInTheCacheIsRefused) {
    const auto download = manager->localDownloadDirectory();
    std::ofstream(download + "/5_UID_PREFIX_1of3.synevent") << "{}";
    std::ofstream(download + "/5_UID_PREFIX_2of3.synevent") << "{}";
    auto error = wait([&](auto done) { manager->migrateNewEventsFromTransitCache(true, done); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SYNErrorIncompleteBaseline);
    EXPECT_TRUE(fs::is_empty(download));
}

TEST_F(SYNCloudManagerTest, RemoteSetsThatAreHeldOrIncompleteAreNotDownloaded) {
    writeEvent(destination, "HELD", SYNStoreModificationEventTypeSave, 4, 1, 0);
    auto other = SYNCloudManager::create(destination, cloud, smallBatchModel());
    const auto held = "4_" + storeID(destination) + "_1.synevent";
    std::vector<std::string> result;
    bool done = false;
    other->filesRequiringRetrievalFromAvailableRemoteFiles(
        {held, "5_S_2_1of2.synevent", "6_S_3.synevent", "unknown"}, {200, 300},
        [&](std::vector<std::string> names) {
            result = names;
            done = true;
        });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 10));
    EXPECT_EQ(result, (std::vector<std::string>{"6_S_3.synevent"})) << "names of no event are never fetched";
    other->operationQueue()->waitUntilAllOperationsAreFinished();
}

// A listing is grouped once and then shared by the lookups of a merge: what
// one caller does with the sets it gets back never reaches the next, and a
// listing that differs (even by one name, at the same size) is grouped anew.
TEST_F(SYNCloudManagerTest, ListingsAreMatchedAgainAfterCallersChangeTheirSetsOrTheListingChanges) {
    writeEvent(destination, "HELD", SYNStoreModificationEventTypeSave, 4, 1, 0);
    auto other = SYNCloudManager::create(destination, cloud, smallBatchModel());
    const auto held = "4_" + storeID(destination) + "_1.synevent";
    const std::vector<int16_t> types{200, 300};
    auto counts = [](const std::vector<SYNEventFileSet::Ptr>& sets) {
        std::vector<int64_t> found;
        for (const auto& set : sets) {
            EXPECT_TRUE(set->hasAllParts()) << set->description();
            found.push_back(set->globalCount());
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    const SYNCloudManager::Names listing{
        held,     "5_S_2_1of2.synevent", "6_S_3.synevent", "7_S_4_1of2.synevent", "7_S_4_2of2.synevent",
        "unknown"};
    auto first = other->completeRemoteEventFileSetsMissingInEventStore(listing, types);
    EXPECT_EQ(counts(first), (std::vector<int64_t>{6, 7}));
    for (const auto& set : first) {
        set->setTotalNumberOfParts(9);
    }
    EXPECT_EQ(counts(other->completeRemoteEventFileSetsMissingInEventStore(listing, types)),
              (std::vector<int64_t>{6, 7}));
    auto changed = listing;
    changed.erase("6_S_3.synevent");
    changed.insert("8_S_5.synevent");
    EXPECT_EQ(counts(other->completeRemoteEventFileSetsMissingInEventStore(changed, types)),
              (std::vector<int64_t>{7, 8}));
    // The event store is asked afresh each time: an event written since is held.
    inContext(destination, [&](auto& context) {
        EventWriter(context).event("NOWHELD", SYNStoreModificationEventTypeSave, 8, SYNRevision{"S", 5});
        ASSERT_EQ(context.save(), nullptr);
    });
    EXPECT_EQ(counts(other->completeRemoteEventFileSetsMissingInEventStore(changed, types)),
              (std::vector<int64_t>{7}));
    EXPECT_EQ(counts(other->completeRemoteEventFileSetsMissingInEventStore(listing, types)),
              (std::vector<int64_t>{6, 7}));
}

// The events folder's last grouping is brought up to date with the names
// that came and went between listings: after any sequence of listings (parts
// of a set arriving and leaving, whole sets going, names that make no set,
// a listing that is mostly new) the sets found are those, in the same order,
// that a manager grouping the listing afresh finds.
TEST_F(SYNCloudManagerTest, ListingsUpdatedFromTheLastOneAreGroupedAsAFreshListing) {
    const std::vector<int16_t> types{200, 300};
    const auto store = storeID(source);
    writeEvent(source, "HELD", SYNStoreModificationEventTypeSave, 3, 2, 0);
    std::vector<std::string> pool{"unknown", "5_S_2_3of2.synevent", "3_" + store + "_2.synevent"};
    for (int count = 10; count < 40; ++count) {
        const int parts = count % 4;  // 0: one file; else a set of that many parts
        const std::string body =
            std::to_string(count) + "_" + (count % 3 ? "OTHER" : store) + "_" + std::to_string(count);
        if (parts < 2) {
            pool.push_back(body + ".synevent");
        }
        for (int part = 1; parts >= 2 && part <= parts; ++part) {
            pool.push_back(body + "_" + std::to_string(part) + "of" + std::to_string(parts) + ".synevent");
        }
    }
    auto sets = [&](const std::shared_ptr<SYNCloudManager>& looking, const SYNCloudManager::Names& listing) {
        std::vector<std::string> found;
        for (const auto& set : looking->completeRemoteEventFileSetsMissingInEventStore(listing, types)) {
            std::string parts;
            for (const auto& name : set->preferredFilenamesForExistingParts()) {
                parts += " " + name;
            }
            found.push_back(set->description() + parts);
        }
        return found;
    };
    std::mt19937 random(37);
    SYNCloudManager::Names listing;
    for (int step = 0; step < 200; ++step) {
        // Mostly a few names in or out; now and then most of the listing.
        const std::size_t changes = step % 50 == 49 ? pool.size() : 1 + random() % 4;
        for (std::size_t i = 0; i < changes; ++i) {
            const auto& name = pool[random() % pool.size()];
            if (!listing.erase(name)) {
                listing.insert(name);
            }
        }
        const auto kept = sets(manager, listing);
        EXPECT_EQ(kept, sets(manager, listing)) << "step " << step;
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        ASSERT_EQ(kept, sets(fresh, listing)) << "step " << step;
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
    }
    // What is listed was the point: sets complete and incomplete were seen.
    listing = SYNCloudManager::Names(pool.begin(), pool.end());
    EXPECT_EQ(sets(manager, listing).size(), 30u);
    listing.erase("11_OTHER_11_1of3.synevent");
    EXPECT_EQ(sets(manager, listing).size(), 29u);
}

// A snapshot looked at through itself is found again by identity; every
// new snapshot, shared or copied in, whatever it lists, is looked at anew.
TEST_F(SYNCloudManagerTest, LooksAtSnapshotsFollowEachNewSnapshot) {
    const std::vector<int16_t> types{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
    writeEvent(source, "HELD", SYNStoreModificationEventTypeSave, 1, 1, 0);
    const std::string held = "1_" + storeID(source) + "_1.synevent";
    auto counts = [&](const SYNCloudManager::Names& listing) {
        std::vector<int64_t> found;
        for (const auto& set : manager->completeRemoteEventFileSetsMissingInEventStore(listing, types)) {
            found.push_back(set->globalCount());
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    auto listing = [&](std::vector<int> counts) {
        SYNCloudManager::Names names{held};
        for (int count : counts) {
            names.insert(std::to_string(count) + "_S_" + std::to_string(count) + ".synevent");
        }
        return names;
    };
    const auto first = std::make_shared<const SYNCloudManager::Names>(listing({2, 3}));
    manager->setSharedSnapshotEventFilenames(first);
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{2, 3}));
    manager->setSnapshotEventFilenames(listing({3, 4}));
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{3, 4}));
    EXPECT_EQ(counts(listing({5})), (std::vector<int64_t>{5}));
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{3, 4}));
    manager->setSharedSnapshotEventFilenames(first);
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{2, 3}));
    // A snapshot taken from the cloud folder, then another after it changed.
    manager->clearSnapshot();
    EXPECT_EQ(manager->sharedSnapshotEventFilenames(), nullptr);
    cloud->addFile("/mesh/events/" + held);
    cloud->addFile("/mesh/events/6_S_6.synevent");
    ASSERT_EQ(snapshot(), nullptr);
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{6}));
    cloud->addFile("/mesh/events/7_S_7.synevent");
    ASSERT_EQ(snapshot(), nullptr);
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{6, 7}));
    EXPECT_EQ(manager->snapshotEventFilenames(), listing({6, 7}));
    // The same snapshot, once the event store holds one of its events.
    inContext(source, [&](auto& context) {
        EventWriter(context).event("SIX", SYNStoreModificationEventTypeSave, 6, SYNRevision{"S", 6});
        ASSERT_EQ(context.save(), nullptr);
    });
    EXPECT_EQ(counts(*manager->sharedSnapshotEventFilenames()), (std::vector<int64_t>{7}));
}

// The local events are kept between looks: whatever changes the event store
// in between (a save of another context on its file, unsaved changes of its
// own context, a reset) is seen by the next look, and the sets handed out
// are the caller's to change.
TEST_F(SYNCloudManagerTest, LocalEventsKeptBetweenLooksFollowEveryChangeOfTheEventStore) {
    const std::vector<int16_t> types{200, 300};
    const auto store = storeID(source);
    writeEvent(source, "ONE", SYNStoreModificationEventTypeSave, 1, 1, 0);
    writeEvent(source, "TWO", SYNStoreModificationEventTypeSave, 2, 2, 0);
    const SYNCloudManager::Names listing{"1_" + store + "_1.synevent", "2_" + store + "_2.synevent",
                                         "3_" + store + "_3.synevent"};
    auto missing = [&] {
        std::vector<int64_t> counts;
        for (const auto& set : manager->completeRemoteEventFileSetsMissingInEventStore(listing, types)) {
            counts.push_back(set->globalCount());
        }
        std::sort(counts.begin(), counts.end());
        return counts;
    };
    EXPECT_EQ(missing(), (std::vector<int64_t>{3}));
    EXPECT_EQ(missing(), (std::vector<int64_t>{3}));

    // Another context on the event store's file removes an event.
    auto other = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::PrivateQueue);
    other->setPersistentStoreCoordinator(source->managedObjectContext()->persistentStoreCoordinator());
    other->performBlockAndWait([&] {
        auto found =
            SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("TWO", *other);
        ASSERT_TRUE(found.ok() && *found);
        other->deleteObject(*found);
        ASSERT_EQ(other->save(), nullptr);
    });
    EXPECT_EQ(missing(), (std::vector<int64_t>{2, 3}));

    // Unsaved events of the event store's context count while they are there.
    inContext(source, [&](auto& context) {
        EventWriter(context).event("THREE", SYNStoreModificationEventTypeSave, 3, SYNRevision{store, 3});
    });
    EXPECT_EQ(missing(), (std::vector<int64_t>{2}));
    inContext(source, [&](auto& context) { context.rollback(); });
    EXPECT_EQ(missing(), (std::vector<int64_t>{2, 3}));

    // What the manager hands out does not change what it keeps; the events
    // of this store leave out those of another.
    inContext(source, [&](auto& context) {
        EventWriter(context).event("OTHERS", SYNStoreModificationEventTypeSave, 4, SYNRevision{"OTHER", 1});
        ASSERT_EQ(context.save(), nullptr);
    });
    EXPECT_EQ(missing(), (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(manager->eventFileSetsForEventsWithAllowedTypes(types, std::nullopt).size(), 2u);
    auto sets = manager->eventFileSetsForEventsWithAllowedTypes(types, store);
    ASSERT_EQ(sets.size(), 1u);
    sets.front()->setTotalNumberOfParts(5);
    auto again = manager->eventFileSetsForEventsWithAllowedTypes(types, store);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again.front()->totalNumberOfParts(), 1u);

    // A reset leaves a new, empty event store.
    ASSERT_EQ(source->prepareNewEventStore(), nullptr);
    EXPECT_EQ(missing(), (std::vector<int64_t>{1, 2, 3}));
}

// After saves of the event store, the kept local events are brought up to
// date from what each save touched: over a random run of inserts, deletes,
// changes of an event's type, count or revision, changes of a revision alone,
// saves through another context on the file, a child's save its parent then
// drops, and saves touching no event, every question gets the sets, in the
// same order, that a manager reading the event store afresh gets.
TEST_F(SYNCloudManagerTest, LocalEventsFollowEachSaveAsAFreshReadDoes) {
    using plat::Value;
    using plat::coredata::ConcurrencyType;
    using plat::coredata::ManagedObjectContext;
    const auto store = storeID(source);
    const std::vector<std::pair<std::vector<int16_t>, std::optional<std::string>>> questions{
        {{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}, store},
        {{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}, std::nullopt},
        {{SYNStoreModificationEventTypeBaseline}, std::nullopt}};
    auto answers = [&](const std::shared_ptr<SYNCloudManager>& looking) {
        std::vector<std::vector<std::string>> found;
        for (const auto& [types, storeIdentifier] : questions) {
            found.emplace_back();
            for (const auto& set : looking->eventFileSetsForEventsWithAllowedTypes(types, storeIdentifier)) {
                found.back().push_back(set->description());
            }
        }
        return found;
    };
    auto own = source->managedObjectContext();
    auto other = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    other->setPersistentStoreCoordinator(own->persistentStoreCoordinator());
    const std::vector<int16_t> kinds{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                                     SYNStoreModificationEventTypeBaseline};
    const std::vector<std::string> stores{store, "OTHER"};
    std::mt19937 random(37);
    int made = 0;
    auto insert = [&](ManagedObjectContext& context) {
        ++made;
        EventWriter(context).event("E" + std::to_string(made), kinds[random() % kinds.size()],
                                   static_cast<int64_t>(random() % 50),
                                   SYNRevision{stores[random() % stores.size()], made});
    };
    for (int i = 0; i < 12; ++i) {
        inContext(source, [&](auto& context) { insert(context); });
    }
    inContext(source, [&](auto& context) { ASSERT_EQ(context.save(), nullptr); });
    auto pick = [&](ManagedObjectContext& context) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        EXPECT_TRUE(events.ok());
        return events.ok() && !events->empty() ? (*events)[random() % events->size()]
                                               : plat::coredata::ManagedObjectPtr();
    };
    // One change, saved by the context that makes it.
    auto change = [&](int what, ManagedObjectContext& context) {
        auto event = pick(context);
        if (what == 0 || !event) {
            insert(context);
        } else if (what == 1) {
            context.deleteObject(event);
        } else if (what == 2) {
            event->setValue(Value(int64_t{kinds[random() % kinds.size()]}), "type");
        } else if (what == 3) {
            event->setValue(Value(static_cast<int64_t>(random() % 50)), "globalCount");
        } else if (what == 4) {
            // The revision alone changes: the event's own row does not.
            event->objectForKey("eventRevision")
                ->setValue(Value(static_cast<int64_t>(random() % 99)), "revisionNumber");
        } else if (what == 5) {
            event->objectForKey("eventRevision")
                ->setValue(Value(stores[random() % stores.size()]), "persistentStoreIdentifier");
        } else if (what == 6) {
            event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                 stores[random() % stores.size()], 100 + made++, context),
                             "eventRevision");
        } else {
            EventWriter(context).identifier("G" + std::to_string(made++));  // no event touched
        }
        ASSERT_EQ(context.save(), nullptr);
    };
    ASSERT_EQ(answers(manager), answers(SYNCloudManager::create(source, cloud, smallBatchModel())));
    for (int step = 0; step < 120; ++step) {
        // Now and then two saves between looks.
        for (int save = 0; save < 1 + (step % 5 == 4); ++save) {
            const int what = static_cast<int>(random() % 8);
            if (step % 7 == 6) {
                // A child's save its parent drops: the store keeps the event.
                auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
                child->setParentContext(other);
                child->performBlockAndWait([&] {
                    if (auto event = pick(*child)) {
                        child->deleteObject(event);
                        ASSERT_EQ(child->save(), nullptr);
                    }
                });
                other->performBlockAndWait([&] { other->rollback(); });
            } else if (step % 3 == 2) {
                // Rows only: the event store's context may hold older values.
                other->performBlockAndWait([&] { change(std::min(what, 3), *other); });
            } else {
                inContext(source, [&](auto& context) { change(what, context); });
            }
        }
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        const auto kept = answers(manager);
        ASSERT_EQ(kept, answers(fresh)) << "step " << step;
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
    }
    // What was asked about held something of every kind.
    const auto last = answers(manager);
    EXPECT_FALSE(last[0].empty());
    EXPECT_GT(last[1].size(), last[0].size());
    EXPECT_FALSE(last[2].empty());
}

// Questions asked at different times: each brought up to date across its
// own saves while the saves read again may be those of a question asked
// longer ago (one read serves every question that follows the same saves).
// Every answer is the one a manager asking afresh gives.
TEST_F(SYNCloudManagerTest, LocalEventsAskedAtDifferentTimesFollowEverySave) {
    const auto store = storeID(source);
    const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
    const std::vector<std::pair<std::vector<int16_t>, std::optional<std::string>>> questions{
        {saves, store}, {saves, std::nullopt}, {{SYNStoreModificationEventTypeBaseline}, std::nullopt}};
    auto answer = [&](const std::shared_ptr<SYNCloudManager>& looking, std::size_t question) {
        std::vector<std::string> found;
        const auto& [types, storeIdentifier] = questions[question];
        for (const auto& set : looking->eventFileSetsForEventsWithAllowedTypes(types, storeIdentifier)) {
            found.push_back(set->description());
        }
        return found;
    };
    const std::vector<int16_t> kinds{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                                     SYNStoreModificationEventTypeBaseline};
    const std::vector<std::string> stores{store, "OTHER"};
    std::mt19937 random(53);
    int made = 0;
    auto save = [&] {
        inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, context);
            ASSERT_TRUE(events.ok());
            const int what = static_cast<int>(random() % 4);
            if (what == 0 || events->empty()) {
                ++made;
                EventWriter(context).event("E" + std::to_string(made), kinds[random() % kinds.size()],
                                           static_cast<int64_t>(random() % 50),
                                           SYNRevision{stores[random() % stores.size()], made});
            } else if (what == 1) {
                context.deleteObject((*events)[random() % events->size()]);
            } else if (what == 2) {
                (*events)[random() % events->size()]->setValue(
                    plat::Value(int64_t{kinds[random() % kinds.size()]}), "type");
            } else {
                (*events)[random() % events->size()]
                    ->objectForKey("eventRevision")
                    ->setValue(plat::Value(stores[random() % stores.size()]), "persistentStoreIdentifier");
            }
            ASSERT_EQ(context.save(), nullptr);
        });
    };
    for (int i = 0; i < 10; ++i) {
        save();
    }
    for (std::size_t question = 0; question < questions.size(); ++question) {
        answer(manager, question);
    }
    for (int step = 0; step < 90; ++step) {
        for (int saved = 0; saved < 1 + static_cast<int>(random() % 3); ++saved) {
            save();
        }
        // One or two questions, in any order: the others fall behind.
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        for (int asked = 0; asked < 1 + static_cast<int>(random() % 2); ++asked) {
            const std::size_t question = random() % questions.size();
            ASSERT_EQ(answer(manager, question), answer(fresh, question))
                << "step " << step << " question " << question;
        }
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
    }
    EXPECT_FALSE(answer(manager, 1).empty());
}

// The events the event store's own context saves are taken as its save left
// them: over a random run of that context's saves (events made, deleted,
// their type, count, identifier or revision changed, a new revision given),
// now and then with the context reset first (its events' revisions then
// faults, left to be read), a revision changed alone, a save of many events,
// or a save through another context on the file in between, every question,
// asked after one save or after several, gets the sets, in the same order,
// that a manager reading the event store afresh gets.
TEST_F(SYNCloudManagerTest, EventsTheStoresContextSavedAreTakenAsTheSaveLeftThem) {
    using plat::Value;
    using plat::coredata::ConcurrencyType;
    using plat::coredata::ManagedObjectContext;
    const auto store = storeID(source);
    const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
    const std::vector<std::pair<std::vector<int16_t>, std::optional<std::string>>> questions{
        {saves, store}, {saves, std::nullopt}, {{SYNStoreModificationEventTypeBaseline}, std::nullopt}};
    auto answer = [&](const std::shared_ptr<SYNCloudManager>& looking, std::size_t question) {
        std::vector<std::string> found;
        const auto& [types, storeIdentifier] = questions[question];
        for (const auto& set : looking->eventFileSetsForEventsWithAllowedTypes(types, storeIdentifier)) {
            found.push_back(set->description() + " " + set->uniqueIdentifier().value_or("-"));
        }
        return found;
    };
    auto other = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    other->setPersistentStoreCoordinator(source->managedObjectContext()->persistentStoreCoordinator());
    const std::vector<int16_t> kinds{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                                     SYNStoreModificationEventTypeBaseline};
    const std::vector<std::string> stores{store, "OTHER"};
    std::mt19937 random(71);
    int made = 0;
    auto change = [&](ManagedObjectContext& context, int what) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        ASSERT_TRUE(events.ok());
        const auto event = events->empty() ? nullptr : (*events)[random() % events->size()];
        ++made;
        if (what == 0 || !event) {
            EventWriter(context).event("E" + std::to_string(made), kinds[random() % kinds.size()],
                                       static_cast<int64_t>(random() % 50),
                                       SYNRevision{stores[random() % stores.size()], made});
        } else if (what == 1) {
            context.deleteObject(event);
        } else if (what == 2) {
            event->setValue(Value(int64_t{kinds[random() % kinds.size()]}), "type");
        } else if (what == 3) {
            event->setValue(Value(static_cast<int64_t>(random() % 50)), "globalCount");
        } else if (what == 4) {
            event->setValue(Value("U" + std::to_string(made)), "uniqueIdentifier");
        } else if (what == 5) {
            event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                 stores[random() % stores.size()], 100 + made, context),
                             "eventRevision");
        } else {
            // The revision alone: the event's row does not change.
            event->objectForKey("eventRevision")
                ->setValue(Value(static_cast<int64_t>(random() % 99)), "revisionNumber");
        }
        ASSERT_EQ(context.save(), nullptr);
    };
    for (int i = 0; i < 8; ++i) {
        inContext(source, [&](auto& context) { change(context, 0); });
    }
    for (std::size_t question = 0; question < questions.size(); ++question) {
        answer(manager, question);
    }
    for (int step = 0; step < 150; ++step) {
        const int count = step % 4 == 3 ? 1 + static_cast<int>(random() % 3) : 1;
        for (int saved = 0; saved < count; ++saved) {
            if (step % 11 == 10 && saved == 0) {
                // Rows only, through another context, after this context's
                // save of the same event: read from the store.
                std::string named;
                inContext(source, [&](ManagedObjectContext& context) {
                    auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                        std::nullopt, std::nullopt, context);
                    ASSERT_TRUE(events.ok() && !events->empty());
                    const auto& event = (*events)[random() % events->size()];
                    named = SYNStoreModificationEvent::uniqueIdentifier(*event);
                    event->setValue(Value(static_cast<int64_t>(random() % 50)), "globalCount");
                    ASSERT_EQ(context.save(), nullptr);
                });
                other->performBlockAndWait([&] {
                    auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
                        named, *other);
                    ASSERT_TRUE(event.ok() && *event);
                    const bool save =
                        SYNStoreModificationEvent::type(**event) == SYNStoreModificationEventTypeSave;
                    (*event)->setValue(Value(int64_t{save ? SYNStoreModificationEventTypeBaseline
                                                          : SYNStoreModificationEventTypeSave}),
                                       "type");
                    (*event)->setValue(Value(static_cast<int64_t>(random() % 50)), "globalCount");
                    ASSERT_EQ(other->save(), nullptr);
                });
                continue;
            }
            if (step % 13 == 12 && saved == 0) {
                // A save of more events than are read as it left them.
                inContext(source, [&](ManagedObjectContext& context) {
                    for (int i = 0; i < 20; ++i) {
                        ++made;
                        EventWriter(context).event("M" + std::to_string(made), kinds[random() % kinds.size()],
                                                   static_cast<int64_t>(random() % 50),
                                                   SYNRevision{stores[random() % stores.size()], made});
                    }
                    ASSERT_EQ(context.save(), nullptr);
                });
                continue;
            }
            inContext(source, [&](ManagedObjectContext& context) {
                if (random() % 6 == 0) {
                    context.reset();
                }
                // Mostly the event's own row; a revision alone now and then.
                change(context,
                       random() % 3 == 0 ? 0 : 1 + static_cast<int>(random() % (step % 9 == 8 ? 6 : 5)));
            });
        }
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        for (int asked = 0; asked < 1 + static_cast<int>(random() % 3); ++asked) {
            const std::size_t question = random() % questions.size();
            ASSERT_EQ(answer(manager, question), answer(fresh, question))
                << "step " << step << " question " << question;
        }
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
    }
    EXPECT_FALSE(answer(manager, 1).empty());
    EXPECT_FALSE(answer(manager, 2).empty());
}

// The baseline a merge records as the one its store was made from is named
// by the kept look at the local baselines: over saves that make, remove,
// rename and retype events, it names what the event store's own read names
// whenever the store holds one baseline or none, and declines only beyond.
TEST_F(SYNCloudManagerTest, TheSoleBaselineIsTheOneTheEventStoreReads) {
    std::mt19937 random(61);
    for (int step = 0; step < 120; ++step) {
        const std::size_t count = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, context);
            EXPECT_TRUE(events.ok());
            const auto what = random() % 4;
            if (what == 0 || events->empty()) {
                EventWriter(context).event(
                    "B" + std::to_string(step),
                    random() % 2 ? SYNStoreModificationEventTypeBaseline : SYNStoreModificationEventTypeSave,
                    step, SYNRevision{storeID(source), step});
            } else {
                const auto& event = (*events)[random() % events->size()];
                if (what == 1) {
                    context.deleteObject(event);
                } else if (what == 2) {
                    event->setValue(plat::Value("R" + std::to_string(step)), "uniqueIdentifier");
                } else {  // a baseline becomes a merge, anything else a baseline
                    const bool baseline =
                        SYNStoreModificationEvent::type(*event) == SYNStoreModificationEventTypeBaseline;
                    event->setValue(plat::Value(int64_t{baseline ? SYNStoreModificationEventTypeMerge
                                                                 : SYNStoreModificationEventTypeBaseline}),
                                    "type");
                }
            }
            EXPECT_EQ(context.save(), nullptr);
            auto baselines = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, context);
            return baselines.ok() ? baselines->size() : 0;
        });
        std::optional<std::string> named{"unset"};
        ASSERT_EQ(manager->soleBaselineIdentifier(named), count <= 1) << "step " << step;
        if (count <= 1) {
            ASSERT_EQ(named, source->currentBaselineIdentifier()) << "step " << step;
        }
    }
}

// The looks at which local events lack a complete remote copy (the export's)
// and at which complete remote sets no local event represents (the
// download's and the removal's) are kept between looks and brought up to
// date from what changed: over a random run of listings (parts of a set
// coming and going, another store's set of the same count, names that make
// no set, a mostly new listing now and then) and of saves of the event store
// (events made, deleted, their count or revision changed), looked at through
// the shared snapshot or a listing of the caller's, every look finds the
// sets, in the same order, that a manager looking afresh finds.
TEST_F(SYNCloudManagerTest, KeptLooksFollowEachListingAndSaveAsAFreshLookDoes) {
    using plat::Value;
    const std::vector<int16_t> types{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
    const std::vector<int16_t> baselineTypes{SYNStoreModificationEventTypeBaseline};
    const auto store = storeID(source);
    constexpr int kCounts = 24;
    std::vector<std::string> pool{"unknown", "3_" + store + "_3_3of2.synevent"};
    for (int count = 1; count <= kCounts; ++count) {
        const std::string body = std::to_string(count) + "_" + store + "_" + std::to_string(count);
        pool.push_back(body + ".synevent");
        pool.push_back(body + "_1of2.synevent");
        pool.push_back(body + "_2of2.synevent");
        pool.push_back(std::to_string(count) + "_OTHER_" + std::to_string(count) + ".synevent");
    }
    std::mt19937 random(37);
    int made = 0;
    auto insert = [&](plat::coredata::ManagedObjectContext& context) {
        const int64_t count = 1 + static_cast<int64_t>(random() % kCounts);
        // Mostly the revision its names carry, now and then another.
        const int64_t revision = random() % 5 ? count : count + 1;
        EventWriter(context).event(
            "E" + std::to_string(++made),
            random() % 6 ? SYNStoreModificationEventTypeSave : SYNStoreModificationEventTypeMerge, count,
            SYNRevision{random() % 4 ? store : "OTHER", revision});
    };
    auto change = [&](plat::coredata::ManagedObjectContext& context) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        ASSERT_TRUE(events.ok());
        const int what = static_cast<int>(random() % 5);
        if (what <= 1 || events->empty()) {
            insert(context);
        } else {
            auto event = (*events)[random() % events->size()];
            if (what == 2) {
                context.deleteObject(event);
            } else if (what == 3) {
                event->setValue(Value(static_cast<int64_t>(1 + random() % kCounts)), "globalCount");
            } else {
                event->objectForKey("eventRevision")
                    ->setValue(Value(static_cast<int64_t>(1 + random() % kCounts)), "revisionNumber");
            }
        }
        ASSERT_EQ(context.save(), nullptr);
    };
    auto missing = [&](const std::shared_ptr<SYNCloudManager>& looking,
                       const SYNCloudManager::Names& listing) {
        std::vector<std::string> found;
        for (const auto& set : looking->localEventFileSetsMissingFromRemoteCloudFiles(listing, types)) {
            found.push_back(set->description());
        }
        return found;
    };
    auto remote = [&](const std::shared_ptr<SYNCloudManager>& looking,
                      const SYNCloudManager::Names& listing) {
        std::vector<std::string> found;
        for (const auto& set : looking->completeRemoteEventFileSetsMissingInEventStore(listing, types)) {
            found.push_back(set->description());
        }
        return found;
    };
    for (int i = 0; i < 8; ++i) {
        inContext(source, [&](auto& context) { insert(context); });
    }
    inContext(source, [&](auto& context) { ASSERT_EQ(context.save(), nullptr); });
    SYNCloudManager::Names listing;
    std::size_t seen = 0, remoteSeen = 0;
    for (int step = 0; step < 200; ++step) {
        const std::size_t renames = step % 40 == 39 ? pool.size() : random() % 4;
        for (std::size_t i = 0; i < renames; ++i) {
            const auto& name = pool[random() % pool.size()];
            if (!listing.erase(name)) {
                listing.insert(name);
            }
        }
        for (std::size_t save = random() % 3; save > 0; --save) {
            inContext(source, [&](auto& context) { change(context); });
        }
        std::vector<std::string> kept, keptRemote;
        if (step % 2) {
            manager->setSharedSnapshotEventFilenames(std::make_shared<const SYNCloudManager::Names>(listing));
            const auto snapshot = manager->sharedSnapshotEventFilenames();
            if (step % 3) {
                keptRemote = remote(manager, *snapshot);
            }
            kept = missing(manager, *snapshot);
            EXPECT_EQ(kept, missing(manager, *snapshot)) << "step " << step;
            if (step % 3 == 0) {
                keptRemote = remote(manager, *snapshot);
            }
        } else {
            kept = missing(manager, listing);
            keptRemote = remote(manager, listing);
        }
        // A look at the baselines in between keeps to its own folder.
        EXPECT_TRUE(manager->localEventFileSetsMissingFromRemoteCloudFiles({}, baselineTypes).empty());
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        ASSERT_EQ(kept, missing(fresh, listing)) << "step " << step;
        ASSERT_EQ(keptRemote, remote(fresh, listing)) << "step " << step;
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
        seen = std::max(seen, kept.size());
        remoteSeen = std::max(remoteSeen, keptRemote.size());
    }
    // Events were found missing, and listed ones found present.
    EXPECT_GT(seen, 1u);
    EXPECT_GT(remoteSeen, 1u);
    const auto all = SYNCloudManager::Names(pool.begin(), pool.end());
    EXPECT_LT(missing(manager, all).size(), missing(manager, {}).size());
}

TEST_F(SYNCloudManagerTest, ExportsOnlyThisStoresMissingEventsInParts) {
    writeEvent(source, "E1", SYNStoreModificationEventTypeSave, 3, 1, 43);  // three files of 20
    writeEvent(source, "E2", SYNStoreModificationEventTypeSave, 1, 2, 1);
    writeEvent(source, "E3", SYNStoreModificationEventTypeSave, 2, 3, 1);
    inContext(source, [&](auto& context) {
        EventWriter(context).event("FOREIGN", SYNStoreModificationEventTypeSave, 9,
                                   SYNRevision{"OTHERSTORE", 1});
        ASSERT_EQ(context.save(), nullptr);
    });
    const auto store = storeID(source);
    // E3 is complete remotely; E2's remote copy lacks a part.
    cloud->addFile("/mesh/events/2_" + store + "_3.synevent");
    cloud->addFile("/mesh/events/1_" + store + "_2_1of2.synevent");
    ASSERT_EQ(snapshot(), nullptr);
    cloud->clearCalls();
    auto calls =
        transfer([&](auto progress) { manager->exportNewLocalNonBaselineEventsWithProgress(progress); });
    EXPECT_EQ(calls.back().error, nullptr);
    EXPECT_TRUE(calls.back().finished);
    std::vector<std::string> uploads;
    for (const auto& call : cloud->calls()) {
        if (call.rfind("upload ", 0) == 0) {
            uploads.push_back(call.substr(7));
        }
    }
    EXPECT_EQ(uploads, (std::vector<std::string>{"/mesh/events/1_" + store + "_2.synevent",
                                                 "/mesh/events/3_" + store + "_1_1of3.synevent",
                                                 "/mesh/events/3_" + store + "_1_2of3.synevent",
                                                 "/mesh/events/3_" + store + "_1_3of3.synevent"}));
    EXPECT_TRUE(fs::is_empty(manager->localUploadDirectory()));
}

// A store that consolidated two enlist baselines holds one credited to the
// other store, and has deleted that store's baseline file as outdated: it
// must publish the consolidated one, or the other store never gets this
// store's revisions covered and refuses all its events.
TEST_F(SYNCloudManagerTest, ExportsTheCurrentBaselineWhicheverStoreItIsCreditedTo) {
    const std::string own = storeID(source);
    inContext(source, [&](auto& context) {
        EventWriter(context).event("MERGED", SYNStoreModificationEventTypeBaseline, 1,
                                   SYNRevision{"ZZZZOTHER|HW", 0}, revisions({{own.c_str(), 0}}));
        ASSERT_EQ(context.save(), nullptr);
    });
    ASSERT_EQ(snapshot(), nullptr);
    cloud->clearCalls();
    auto calls = transfer([&](auto progress) { manager->exportNewLocalBaselineWithProgress(progress); });
    EXPECT_EQ(calls.back().error, nullptr);
    std::vector<std::string> uploads;
    for (const auto& call : cloud->calls()) {
        if (call.rfind("upload ", 0) == 0) {
            uploads.push_back(call.substr(7));
        }
    }
    EXPECT_EQ(uploads, (std::vector<std::string>{"/mesh/baselines/1_MERGED_ZZZZOTHE.synevent"}));

    // Another machine holding it may upload it between the snapshot and the
    // upload: finding it there counts as uploaded.
    cloud->removeFile("/mesh/baselines/1_MERGED_ZZZZOTHE.synevent");
    ASSERT_EQ(snapshot(), nullptr);
    cloud->addFile("/mesh/baselines/1_MERGED_ZZZZOTHE.synevent");
    auto raced = transfer([&](auto progress) { manager->exportNewLocalBaselineWithProgress(progress); });
    EXPECT_EQ(raced.back().error, nullptr);

    // Once the cloud holds it, nothing is uploaded again.
    ASSERT_EQ(snapshot(), nullptr);
    cloud->clearCalls();
    transfer([&](auto progress) { manager->exportNewLocalBaselineWithProgress(progress); });
    for (const auto& call : cloud->calls()) {
        EXPECT_NE(call.rfind("upload ", 0), 0u) << call;
    }
}

TEST_F(SYNCloudManagerTest, UploadErrorStopsLaterBatchesAndIsReported) {
    cloud->members = {Option::UploadLocalFiles, Option::FileUploadMaximumBatchSize};
    cloud->uploadBatchSize = 1;
    for (int i = 1; i <= 3; ++i) {
        writeEvent(source, "U" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, 1);
    }
    const auto store = storeID(source);
    cloud->failOperation("upload", "/mesh/events/2_" + store + "_2.synevent");
    auto calls =
        transfer([&](auto progress) { manager->exportNewLocalNonBaselineEventsWithProgress(progress); });
    EXPECT_NE(calls.back().error, nullptr);
    EXPECT_TRUE(calls.back().finished);
    EXPECT_EQ(cloud->filesIn("/mesh/events"), std::set<std::string>{"1_" + store + "_1.synevent"});
}

TEST_F(SYNCloudManagerTest, FailedDataExportUploadsNothing) {
    ASSERT_TRUE(source->storeDataFile(plat::Data(std::vector<uint8_t>(20000, 1))).ok());
    // The upload directory cannot be prepared: a plain file stands in its place.
    fs::remove_all(manager->localUploadDirectory());
    std::ofstream(manager->localUploadDirectory()) << "in the way";
    auto calls = transfer([&](auto progress) { manager->exportDataFilesWithProgress(progress); });
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].error, nullptr);
    EXPECT_EQ(calls[0].fraction, 0.0f);
    EXPECT_FALSE(calls[0].finished);
    EXPECT_EQ(cloud->countCalls("upload"), 0u);
    manager->setup();
    EXPECT_TRUE(fs::is_directory(manager->localUploadDirectory())) << "setup starts the transit cache afresh";
}

TEST_F(SYNCloudManagerTest, RemovalWithoutSnapshot) {
    EXPECT_EQ(wait([&](auto done) { manager->removeLocallyProducedIncompleteRemoteFileSets(done); }),
              nullptr);
    EXPECT_TRUE(cloud->calls().empty());
    cloud->members = {Option::RemoveItemsAtPaths};
    EXPECT_EQ(wait([&](auto done) { manager->removeLocallyProducedIncompleteRemoteFileSets(done); }),
              nullptr);
    EXPECT_EQ(cloud->calls(), std::vector<std::string>{"removeBatch 0"});
    cloud->clearCalls();
    auto error = wait([&](auto done) { manager->removeOutdatedRemoteFilesWithCompletion(done); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SYNErrorMissingSnapshot);
    EXPECT_TRUE(cloud->calls().empty());
}

TEST_F(SYNCloudManagerTest, IncompleteSetsOfThisStoreOnlyAreRemoved) {
    const auto store = storeID(source);
    const auto prefix = store.substr(0, 8);
    const std::vector<std::string> ours{"/mesh/baselines/5_UID_" + prefix + "_1of2.synevent",
                                        "/mesh/events/7_" + store + "_3_2of3.synevent"};
    const std::vector<std::string> kept{"/mesh/baselines/5_OTHER_ZZZZZZZZ_1of2.synevent",
                                        "/mesh/events/7_OTHERSTORE_3_2of3.synevent",
                                        "/mesh/events/8_" + store + "_4.synevent",
                                        // A baseline alias listed among events is not the baseline's.
                                        "/mesh/events/5_UID_" + prefix + "_1of2.synevent"};
    for (const auto& path : ours) {
        cloud->addFile(path);
    }
    for (const auto& path : kept) {
        cloud->addFile(path);
    }
    ASSERT_EQ(snapshot(), nullptr);
    EXPECT_EQ(wait([&](auto done) { manager->removeLocallyProducedIncompleteRemoteFileSets(done); }),
              nullptr);
    for (const auto& path : ours) {
        EXPECT_FALSE(cloud->hasFile(path)) << path;
    }
    for (const auto& path : kept) {
        EXPECT_TRUE(cloud->hasFile(path)) << path;
    }
}

TEST_F(SYNCloudManagerTest, OutdatedRemovalKeepsWhatTheEventStoreHoldsAndIncompleteSets) {
    writeEvent(source, "KEPT", SYNStoreModificationEventTypeSave, 1, 1, 0);
    const auto store = storeID(source);
    const std::vector<std::string> removed{"/mesh/events/2_OTHERSTORE_9.synevent",
                                           "/mesh/baselines/3_GONE_ABCDEFGH.synevent",
                                           "/mesh/baselines/3_GONE.synevent"};
    const std::vector<std::string> kept{"/mesh/events/1_" + store + "_1.synevent",
                                        "/mesh/events/4_OTHERSTORE_10_1of2.synevent",
                                        "/mesh/data/" + dataName("x")};
    for (const auto& path : removed) {
        cloud->addFile(path);
    }
    for (const auto& path : kept) {
        cloud->addFile(path);
    }
    ASSERT_EQ(snapshot(), nullptr);
    manager->setSnapshotDataFilenames(std::nullopt);
    cloud->failOperation("remove", removed[0]);
    EXPECT_NE(wait([&](auto done) { manager->removeOutdatedRemoteFilesWithCompletion(done); }), nullptr)
        << "a failed removal is reported";
    EXPECT_TRUE(cloud->hasFile(removed[0]));
    for (std::size_t i = 1; i < removed.size(); ++i) {
        EXPECT_FALSE(cloud->hasFile(removed[i])) << "the other removals still ran: " << removed[i];
    }
    for (const auto& path : kept) {
        EXPECT_TRUE(cloud->hasFile(path)) << path;
    }
    ASSERT_EQ(snapshot(), nullptr);
    cloud->clearFailures();
    EXPECT_EQ(wait([&](auto done) { manager->removeOutdatedRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_FALSE(cloud->hasFile("/mesh/data/" + dataName("x")))
        << "with a data snapshot, unheld data files go";
}

// An event store whose events cannot be read (dismantled during a merge)
// holds nothing as far as a fetch says: removing "what it lacks" would then
// remove every complete set of every machine from the cloud.
TEST_F(SYNCloudManagerTest, OutdatedRemovalRemovesNothingWhenTheEventStoreCannotBeRead) {
    writeEvent(source, "KEPT", SYNStoreModificationEventTypeSave, 1, 1, 0);
    const std::vector<std::string> paths{"/mesh/events/1_" + storeID(source) + "_1.synevent",
                                         "/mesh/events/2_OTHERSTORE_9.synevent",
                                         "/mesh/baselines/3_GONE_ABCDEFGH.synevent"};
    for (const auto& path : paths) {
        cloud->addFile(path);
    }
    ASSERT_EQ(snapshot(), nullptr);
    source->dismantle();
    auto error = wait([&](auto done) { manager->removeOutdatedRemoteFilesWithCompletion(done); });
    EXPECT_TRUE(SYNErrorHasCode(error, SYNErrorFileAccessFailed)) << (error ? error->description() : "none");
    for (const auto& path : paths) {
        EXPECT_TRUE(cloud->hasFile(path)) << path;
    }
}

// Another machine answers first: it makes a directory between this one's
// question and its creation, or removes an outdated file before this one
// does. Neither is a failure; a file where a directory belongs still is.
TEST_F(SYNCloudManagerTest, WorkAnotherMachineDidFirstIsNoFailure) {
    struct RacingCloud : FakeCloudFileSystem {
        void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override {
            if (path == "/mesh/data" && !raced) {
                raced = true;
                makeFile ? addFile(path) : addDirectory(path);
                plat::dispatch::Queue::main().async([completion] { completion(false, false, nullptr); });
                return;
            }
            FakeCloudFileSystem::fileExistsAtPath(path, completion);
        }
        bool makeFile = false;
        bool raced = false;
    };
    for (bool makeFile : {false, true}) {
        SCOPED_TRACE(makeFile ? "a file appears" : "a directory appears");
        auto racing = std::make_shared<RacingCloud>();
        racing->makeFile = makeFile;
        for (const char* directory :
             {"/mesh", "/mesh/files", "/mesh/stores", "/mesh/events", "/mesh/baselines"}) {
            racing->addDirectory(directory);
        }
        auto racingManager = SYNCloudManager::create(source, racing, smallBatchModel());
        auto error =
            wait([&](auto done) { racingManager->createRemoteDirectoryStructureWithCompletion(done); });
        EXPECT_TRUE(racing->raced);
        EXPECT_EQ(error == nullptr, !makeFile);
        racingManager->operationQueue()->waitUntilAllOperationsAreFinished();
    }

    const std::vector<std::string> outdated{"/mesh/events/2_OTHERSTORE_9.synevent",
                                            "/mesh/events/3_OTHERSTORE_10.synevent"};
    for (const auto& path : outdated) {
        cloud->addFile(path);
    }
    ASSERT_EQ(snapshot(), nullptr);
    manager->setSnapshotDataFilenames(std::nullopt);
    cloud->removeFile(outdated[0]);
    EXPECT_EQ(wait([&](auto done) { manager->removeOutdatedRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_FALSE(cloud->hasFile(outdated[1]));
}

TEST_F(SYNCloudManagerTest, OutOfDateNewlyImportedDataFilesAreRemoved) {
    std::ofstream(source->pathToNewDataDirectory() + "/OLD") << "1";
    std::ofstream(source->pathToNewDataDirectory() + "/CURRENT") << "1";
    manager->setSnapshotDataFilenames(SYNCloudManager::Names{"CURRENT"});
    EXPECT_EQ(manager->removeOutOfDateNewlyImportedFiles(), nullptr);
    EXPECT_EQ(source->newlyImportedDataFilenames(), std::set<std::string>{"CURRENT"});
}

TEST_F(SYNCloudManagerTest, CompletionsFromBackgroundThreadsStillEndOnMain) {
    cloud->delivery = FakeCloudFileSystem::Delivery::Background;
    cloud->addFile("/mesh/data/" + dataName("x"));
    ASSERT_EQ(snapshot(), nullptr);
    auto calls = transfer([&](auto progress) { manager->importNewDataFilesWithProgress(progress); });
    EXPECT_EQ(calls.back().error, nullptr);
    EXPECT_TRUE(source->newlyImportedDataFilenames().count(dataName("x")));
}

// Two machines, one synced folder.
class SYNCloudManagerFolderTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        fs::create_directories(root.str() + "/cloud");
        folder = std::make_shared<SYNLocalCloudFileSystem>(root.str() + "/cloud");
        a = SYNCloudManager::create(source, folder, smallBatchModel());
        b = SYNCloudManager::create(destination, folder, smallBatchModel());
        ASSERT_EQ(wait([&](auto done) { a->createRemoteDirectoryStructureWithCompletion(done); }), nullptr);
        ASSERT_EQ(wait([&](auto done) { b->createRemoteDirectoryStructureWithCompletion(done); }), nullptr);
    }
    void TearDown() override {
        a->operationQueue()->waitUntilAllOperationsAreFinished();
        b->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    // Source's save event "FILE" (revision 2), whose one change refers to
    // the data file.
    void writeEventWithDataFile(const std::string& data) {
        auto withFile = writeEvent(source, "FILE", SYNStoreModificationEventTypeSave, 3, 2, 0);
        inContext(source, [&](auto& context) {
            auto event = *context.existingObjectWithID(withFile);
            SYNPropertyChangeValue large(SYNPropertyChangeTypeAttribute, "photo");
            large.setFilename(data);
            EventWriter(context).change(event, "PHOTO", SYNObjectChangeTypeInsert, {large});
            ASSERT_EQ(context.save(), nullptr);
        });
    }
    void exportAll(const std::shared_ptr<SYNCloudManager>& manager) {
        ASSERT_EQ(wait([&](auto done) { manager->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        for (auto step : {&SYNCloudManager::exportDataFilesWithProgress,
                          &SYNCloudManager::exportNewLocalBaselineWithProgress,
                          &SYNCloudManager::exportNewLocalNonBaselineEventsWithProgress}) {
            auto calls = transfer([&](auto progress) { ((*manager).*step)(progress); });
            ASSERT_EQ(calls.back().error, nullptr);
        }
    }
    void importAll(const std::shared_ptr<SYNCloudManager>& manager) {
        ASSERT_EQ(wait([&](auto done) { manager->snapshotRemoteFilesWithCompletion(done); }), nullptr);
        for (auto step : {&SYNCloudManager::importNewDataFilesWithProgress,
                          &SYNCloudManager::importNewBaselineEventsWithProgress,
                          &SYNCloudManager::importNewRemoteNonBaselineEventsWithProgress}) {
            auto calls = transfer([&](auto progress) { ((*manager).*step)(progress); });
            ASSERT_EQ(calls.back().error, nullptr);
            ASSERT_TRUE(calls.back().finished);
        }
    }

    std::shared_ptr<SYNLocalCloudFileSystem> folder;
    std::shared_ptr<SYNCloudManager> a;
    std::shared_ptr<SYNCloudManager> b;
};

TEST_F(SYNCloudManagerFolderTest, EventsBaselinesAndDataFilesTravelBetweenStores) {
    auto data = source->storeDataFile(plat::Data(std::vector<uint8_t>(30000, 7)));
    ASSERT_TRUE(data.ok());
    writeEvent(source, "BASELINE", SYNStoreModificationEventTypeBaseline, 1, 0, 5);
    writeEvent(source, "BIG", SYNStoreModificationEventTypeSave, 2, 1, 60);
    writeEventWithDataFile(*data);
    exportAll(a);
    // The 60-change event went out in four parts.
    EXPECT_EQ(fs::exists(root.str() + "/cloud/mesh/events/2_" + storeID(source) + "_1_4of4.synevent"), true);

    importAll(b);
    for (const char* uid : {"BIG", "FILE"}) {
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid)) << uid;
    }
    EXPECT_EQ(describeEvent(destination, "BASELINE").substr(0, 8), "type 400");
    EXPECT_TRUE(destination->newlyImportedDataFilenames().count(*data));
    EXPECT_EQ(destination->dataForFile(*data), source->dataForFile(*data));
    EXPECT_TRUE(fs::is_empty(b->localDownloadDirectory()));

    // B holds everything now: nothing of A's is outdated for B, and nothing is
    // imported twice.
    ASSERT_EQ(wait([&](auto done) { b->snapshotRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_EQ(wait([&](auto done) { b->removeOutdatedRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_TRUE(fs::exists(root.str() + "/cloud/mesh/events/3_" + storeID(source) + "_2.synevent"));
    const auto before = countEvents(destination);
    importAll(b);
    EXPECT_EQ(countEvents(destination), before);
}

// Through a local folder an upload takes the exported file itself and an
// event's download links the folder's file, but no file is left shared: the
// cloud's files have one name each after a merge, and a data file kept by
// the event store is never the cloud's (changing the cloud's in place leaves
// it as it was).
TEST_F(SYNCloudManagerFolderTest, NoFileIsLeftSharedBetweenTheCloudAndAStore) {
    auto data = source->storeDataFile(plat::Data(std::vector<uint8_t>(3000, 7)));
    ASSERT_TRUE(data.ok());
    writeEvent(source, "BIG", SYNStoreModificationEventTypeSave, 2, 1, 60);
    writeEventWithDataFile(*data);
    auto expectOneNameEach = [&](const std::string& when) {
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root.str() + "/cloud/mesh")) {
            if (entry.is_regular_file()) {
                ++files;
                struct stat st;
                ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
                EXPECT_EQ(st.st_nlink, 1u) << when << ": " << entry.path();
                EXPECT_EQ(st.st_mode & 07777, 0600u) << when << ": " << entry.path();
            }
        }
        EXPECT_GE(files, 6u) << when;  // four parts, one event, one data file, registrations aside
    };
    exportAll(a);
    EXPECT_TRUE(fs::is_empty(a->localUploadDirectory()));
    expectOneNameEach("exported");
    importAll(b);
    EXPECT_TRUE(fs::is_empty(b->localDownloadDirectory()));
    expectOneNameEach("imported");
    EXPECT_EQ(describeEvent(destination, "BIG"), describeEvent(source, "BIG"));
    EXPECT_EQ(describeEvent(destination, "FILE"), describeEvent(source, "FILE"));

    const auto cloudData = root.str() + "/cloud/mesh/data/" + *data;
    ASSERT_TRUE(fs::is_regular_file(cloudData));
    std::ofstream(cloudData, std::ios::binary | std::ios::in | std::ios::out) << "changed in place";
    ASSERT_NE(testsupport::readFile(cloudData)->substr(0, 7), std::string(7, '\7'));
    EXPECT_EQ(destination->dataForFile(*data), source->dataForFile(*data));
}

TEST_F(SYNCloudManagerFolderTest, ThousandsOfObjectsArriveWhole) {
    // The default batches of 2000: one event of 2100 Person changes in two files.
    a = SYNCloudManager::create(source, folder, applicationModel());
    b = SYNCloudManager::create(destination, folder, applicationModel());
    writeEvent(source, "MANY", SYNStoreModificationEventTypeSave, 1, 1, 2097);
    exportAll(a);
    EXPECT_TRUE(fs::exists(root.str() + "/cloud/mesh/events/1_" + storeID(source) + "_1_2of2.synevent"));
    importAll(b);
    EXPECT_EQ(describeEvent(destination, "MANY"), describeEvent(source, "MANY"));
}

// Events of one file each are imported several per event-store save, and
// whole: one by one, 24 events took 48 saves (each synced the disk several
// times); with room for 20 changes a save they take 12 (two events of 7
// changes each), with the default room one. Every change of one object
// shares one identifier record, across events.
TEST_F(SYNCloudManagerFolderTest, EventsOfOneFileAreImportedSeveralPerSave) {
    std::vector<std::string> uids;
    for (int i = 1; i <= 24; ++i) {
        uids.push_back("E" + std::to_string(i));
        writeEvent(source, uids.back(), SYNStoreModificationEventTypeSave, i, i, 3);
    }
    exportAll(a);
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("CCCCCCCC-0000-0000-0000-000000000003");
    auto third = makeStore("c");
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    auto c = SYNCloudManager::create(third, folder, smallBatchModel());
    EXPECT_EQ(b->importBatchChangeLimit(), SYNCloudManager::DefaultImportBatchChangeLimit);
    c->setImportBatchChangeLimit(20);
    for (auto [manager, store, saves] : {std::tuple{b, destination, 1}, std::tuple{c, third, 12}}) {
        StoreCommits commits;
        importAll(manager);
        EXPECT_EQ(commits.commits(), saves);
        for (const auto& uid : uids) {
            EXPECT_EQ(describeEvent(store, uid), describeEvent(source, uid)) << uid;
        }
        EXPECT_TRUE(fs::is_empty(manager->localDownloadDirectory()));
        inContext(store, [&](plat::coredata::ManagedObjectContext& context) {
            plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
            EXPECT_EQ(context.executeFetchRequest(request)->size(), 7u);  // P000000-2, U1, D1, RICH, PET1
        });
    }
    c->operationQueue()->waitUntilAllOperationsAreFinished();
}

// An event that reaches the event store while its file downloads (another
// import of the same event) is not imported a second time: the batch import
// asks for the events of all its files at once, by store, revision and
// global count.
TEST_F(SYNCloudManagerFolderTest, EventsStoredWhileTheirFilesDownloadAreNotImportedAgain) {
    for (int i = 1; i <= 4; ++i) {
        writeEvent(source, "E" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, 1);
    }
    exportAll(a);
    const auto store = storeID(source);
    struct ArrivingFolder : SYNLocalCloudFileSystem {
        using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;
        void downloadFromPath(const std::string& path, const std::string& localPath,
                              Completion completion) override {
            arrive(path);
            SYNLocalCloudFileSystem::downloadFromPath(path, localPath, std::move(completion));
        }
        void downloadFromPathForReading(const std::string& path, const std::string& localPath,
                                        Completion completion) override {
            arrive(path);
            SYNLocalCloudFileSystem::downloadFromPathForReading(path, localPath, std::move(completion));
        }
        void arrive(const std::string& path) {
            for (int revision : {2, 4}) {
                if (path.ends_with("/" + std::to_string(revision) + "_" + store + "_" +
                                   std::to_string(revision) + ".synevent")) {
                    inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
                        EventWriter(context).event("EARLY" + std::to_string(revision),
                                                   SYNStoreModificationEventTypeSave, revision,
                                                   SYNRevision{store, revision}, {}, "md5ABC");
                        EXPECT_EQ(context.save(), nullptr);
                    });
                }
            }
        }
        std::shared_ptr<SYNEventStore> destination;
        std::string store;
    };
    auto arriving = std::make_shared<ArrivingFolder>(root.str() + "/cloud");
    arriving->destination = destination;
    arriving->store = store;
    b = SYNCloudManager::create(destination, arriving, applicationModel());
    importAll(b);
    EXPECT_EQ(countEvents(destination), 4u);
    for (const char* uid : {"E1", "E3"}) {
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid)) << uid;
    }
    for (const char* uid : {"E2", "E4"}) {
        EXPECT_EQ(describeEvent(destination, uid), "<missing>") << uid << " imported a second time";
    }
    EXPECT_TRUE(fs::is_empty(b->localDownloadDirectory()));
}

// The batch import counts an event as held only when a save or merge event
// of the set's store and revision with the set's global count is there: an
// incomplete event of that revision, or one of another count, does not
// stand for the file, which is imported with the batch.
TEST_F(SYNCloudManagerFolderTest, OnlyASaveOrMergeOfTheSameRevisionAndCountIsTakenAsHeld) {
    for (int i = 1; i <= 4; ++i) {
        writeEvent(source, "E" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, 1);
    }
    exportAll(a);
    const auto store = storeID(source);
    inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
        EventWriter(context).event("HALF", SYNStoreModificationEventTypeIncomplete, 2, SYNRevision{store, 2});
        EventWriter(context).event("COUNT", SYNStoreModificationEventTypeSave, 40, SYNRevision{store, 3});
        EventWriter(context).event("HELD", SYNStoreModificationEventTypeMerge, 4, SYNRevision{store, 4});
        ASSERT_EQ(context.save(), nullptr);
    });
    StoreCommits commits;
    importAll(b);
    // All three in one batch: none left to the one-by-one import.
    EXPECT_EQ(commits.commits(), 1);
    for (const char* uid : {"E1", "E2", "E3"}) {
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid)) << uid;
    }
    EXPECT_EQ(describeEvent(destination, "E4"), "<missing>") << "imported though held";
}

// A peer's folder after a careless or hostile hand: junk, special files,
// links, over-large files, a truncated event and a data file whose bytes are
// not its name. Each is reported once and skipped; the other files still
// merge; the damaged event is removed as outdated, so its maker writes it
// again, and then it arrives.
TEST_F(SYNCloudManagerFolderTest, UnusableFilesAreReportedOnceAndNeverStopTheOthers) {
    struct CountingFolder : SYNLocalCloudFileSystem {
        using SYNLocalCloudFileSystem::SYNLocalCloudFileSystem;
        void downloadFromPath(const std::string& path, const std::string& localPath,
                              Completion completion) override {
            {
                std::lock_guard lock(mutex);
                downloads.push_back(path);
            }
            SYNLocalCloudFileSystem::downloadFromPath(path, localPath, std::move(completion));
        }
        void downloadFromPathForReading(const std::string& path, const std::string& localPath,
                                        Completion completion) override {
            {
                std::lock_guard lock(mutex);
                downloads.push_back(path);
            }
            SYNLocalCloudFileSystem::downloadFromPathForReading(path, localPath, std::move(completion));
        }
        std::mutex mutex;
        std::vector<std::string> downloads;
    };
    auto counting = std::make_shared<CountingFolder>(root.str() + "/cloud");
    b = SYNCloudManager::create(destination, counting, smallBatchModel());

    const auto store = storeID(source);
    for (int i = 1; i <= 3; ++i) {
        writeEvent(source, "E" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, 1);
    }
    exportAll(a);
    const auto events = root.str() + "/cloud/mesh/events/";
    const auto data = root.str() + "/cloud/mesh/data/";
    const auto damaged = "2_" + store + "_2.synevent";
    const auto whole = testsupport::readFile(events + damaged).value();
    std::ofstream(events + damaged, std::ios::trunc) << whole.substr(0, whole.size() / 2);

    auto sparse = [](const std::string& path, std::streamoff size) {
        std::ofstream file(path, std::ios::binary);
        file.seekp(size - 1);
        file.put('x');
    };
    sparse(events + "README", std::streamoff(1) << 30);
    sparse(events + "20_" + store + "_20.synevent", std::streamoff(100) << 20);
    ASSERT_EQ(::mkfifo((events + "9_GHOST_1.synevent").c_str(), 0600), 0);
    std::ofstream(root.str() + "/secret") << whole;
    fs::create_symlink(root.str() + "/secret", events + "10_GHOST_2.synevent");
    fs::create_directories(events + "11_GHOST_3.synevent");
    std::ofstream(events + "012_" + store + "_1.synevent") << whole;
    std::ofstream(data + dataName("x")) << "not x";
    std::ofstream(data + "notachecksum") << "x";

    std::vector<std::string> lines;
    SYNSetLogFunction([&](std::string_view, std::span<const plat::FormatArg> args) {
        lines.push_back(plat::format("%@", args[0]));
    });
    importAll(b);
    EXPECT_EQ(describeEvent(destination, "E1"), describeEvent(source, "E1"));
    EXPECT_EQ(describeEvent(destination, "E3"), describeEvent(source, "E3"));
    EXPECT_EQ(countEvents(destination), 2u);
    EXPECT_TRUE(destination->allDataFilenames().empty());

    const auto reported = b->unusableRemoteFiles();
    const std::map<std::string, std::string> expected{
        {"/mesh/events/" + damaged, "is a damaged JSON event file"},
        {"/mesh/events/README", "is not named like an event file"},
        {"/mesh/events/012_" + store + "_1.synevent", "is not named like an event file"},
        {"/mesh/events/20_" + store + "_20.synevent", "is larger than"},
        {"/mesh/events/11_GHOST_3.synevent", "is a folder"},
        {"/mesh/data/" + dataName("x"), "does not hold the content"},
        {"/mesh/data/notachecksum", "is not named like a data file"},
    };
    for (const auto& [path, says] : expected) {
        auto found = reported.find(path);
        ASSERT_NE(found, reported.end()) << path;
        EXPECT_NE(found->second.find(says), std::string::npos) << path << ": " << found->second;
    }
    EXPECT_EQ(reported.size(), expected.size());
    {
        std::lock_guard lock(counting->mutex);
        for (const auto& path : counting->downloads) {
            EXPECT_TRUE(path.find("GHOST") == std::string::npos && path.find("README") == std::string::npos &&
                        path.find("/20_") == std::string::npos && path.find("/012_") == std::string::npos)
                << "never copied: " << path;
        }
    }
    EXPECT_TRUE(fs::is_empty(b->localDownloadDirectory()));

    // Reported once: a second merge logs none of them again.
    const auto logged = lines.size();
    importAll(b);
    SYNSetLogFunction(nullptr);
    for (std::size_t i = logged; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find("Skipping cloud file"), std::string::npos) << lines[i];
    }

    // The damaged file goes as outdated; its maker writes it again; it arrives.
    ASSERT_EQ(wait([&](auto done) { b->snapshotRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_EQ(wait([&](auto done) { b->removeOutdatedRemoteFilesWithCompletion(done); }), nullptr);
    EXPECT_FALSE(fs::exists(events + damaged));
    EXPECT_TRUE(fs::exists(fs::symlink_status(events + "10_GHOST_2.synevent"))) << "links are left alone";
    EXPECT_EQ(testsupport::readFile(root.str() + "/secret"), whole);
    exportAll(a);
    EXPECT_EQ(testsupport::readFile(events + damaged), whole);
    importAll(b);
    EXPECT_EQ(describeEvent(destination, "E2"), describeEvent(source, "E2"));
}

TEST_F(SYNCloudManagerTest, NewRemoteDataFilesReachTheTransitCacheWithoutBeingImported) {
    for (const char* content : {"1", "2", "3"}) {
        cloud->addFile("/mesh/data/" + dataName(content), content);
    }
    std::ofstream(source->pathToNewDataDirectory() + "/" + dataName("1")) << "1";  // held
    std::ofstream(manager->localDownloadDirectory() + "/stale") << "from before";
    ASSERT_EQ(snapshot(), nullptr);
    auto calls = transfer(
        [&](auto progress) { manager->transferNewRemoteDataFilesToTransitCacheWithProgress(progress); });
    EXPECT_EQ(calls.back().error, nullptr);
    EXPECT_TRUE(calls.back().finished);
    std::set<std::string> cached;
    for (const auto& entry : fs::directory_iterator(manager->localDownloadDirectory())) {
        cached.insert(entry.path().filename().string());
    }
    EXPECT_EQ(cached, (std::set<std::string>{dataName("2"), dataName("3")}));
    EXPECT_EQ(source->newlyImportedDataFilenames(), std::set<std::string>{dataName("1")});

    // Without a snapshot nothing is fetched.
    manager->clearSnapshot();
    cloud->clearCalls();
    calls = transfer(
        [&](auto progress) { manager->transferNewRemoteDataFilesToTransitCacheWithProgress(progress); });
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(cloud->countCalls("download"), 0u);
}

}  // namespace
