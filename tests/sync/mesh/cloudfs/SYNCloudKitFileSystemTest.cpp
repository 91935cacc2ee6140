// The cloud-database file system against the real stand-in: set-up, records
// and directories, priming, transfers, removal and repair, with injected
// faults, and two devices of one account.
#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/cloudkit/CloudKitTestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "sync/eventstore/SYNErrors.h"

using namespace plat::cloudkit;
using cktest::readFile;
using cktest::writeFile;

namespace {

// The future's value, running the main queue meanwhile (every completion of
// the file system arrives there); a default value when it never comes.
template <class T>
T pumped(std::future<T> future) {
    const bool ready = plat::dispatch::MainLoop::runUntil(
        [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120);
    EXPECT_TRUE(ready) << "no completion";
    return ready ? future.get() : T{};
}

// Runs the call; its completion must come later, on the main thread.
plat::ErrorPtr wait(const std::function<void(SYNCloudFileSystem::Completion)>& call) {
    auto promise = std::make_shared<std::promise<plat::ErrorPtr>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto future = promise->get_future();
    call([promise, calls](plat::ErrorPtr error) {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        if (calls->fetch_add(1) == 0)
            promise->set_value(error);
    });
    EXPECT_EQ(calls->load(), 0) << "completions are asynchronous";
    return pumped(std::move(future));
}

int64_t code(const plat::ErrorPtr& error) {
    return error ? error->code() : 0;
}

class CloudKitFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        plat::dispatch::MainLoop::drain();
        std::filesystem::create_directories(dir / "cloud");
        std::filesystem::create_directories(dir / "caches-a");
        std::filesystem::create_directories(dir / "caches-b");
        std::filesystem::create_directories(dir / "local");
        container = cktest::openContainer((dir / "cloud").string(), "alice", "mac-a", 1);
        fs = open(container, "caches-a");
    }

    std::shared_ptr<SYNCloudKitFileSystem> open(std::shared_ptr<Container> c, const std::string& caches,
                                                uint64_t schema = 2) {
        SYNCloudKitFileSystem::Options options;
        options.schemaVersion = schema;
        options.zoneID = RecordZoneID(SYNCloudKitFileSystem::recordZoneNameForSchema(schema));
        options.cacheDirectory = (dir / caches).string();
        options.now = [this] { return now; };
        return SYNCloudKitFileSystem::create(std::move(c), options);
    }

    std::string local(const std::string& name) { return (dir / "local" / name).string(); }

    plat::ErrorPtr upload(SYNCloudKitFileSystem& f, const std::string& path, const std::string& content) {
        static int n = 0;
        const std::string file = writeFile(local("up" + std::to_string(++n)), content);
        return wait([&](auto done) { f.uploadLocalFile(file, path, done); });
    }

    // The content at `path`, or the error code prefixed by "error ".
    std::string download(SYNCloudKitFileSystem& f, const std::string& path) {
        static int n = 0;
        const std::string file = local("down" + std::to_string(++n));
        auto error = wait([&](auto done) { f.downloadFromPath(path, file, done); });
        return error ? "error " + std::to_string(error->code()) : readFile(file);
    }

    std::pair<bool, bool> exists(SYNCloudKitFileSystem& f, const std::string& path) {
        std::promise<std::pair<bool, bool>> p;
        f.fileExistsAtPath(path, [&](bool e, bool d, plat::ErrorPtr error) {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            EXPECT_EQ(error, nullptr) << error->description();
            p.set_value({e, d});
        });
        return pumped(p.get_future());
    }

    std::set<std::string> list(SYNCloudKitFileSystem& f, const std::string& path,
                               int64_t* errorCode = nullptr) {
        std::promise<std::set<std::string>> p;
        f.contentsOfDirectoryAtPath(path, [&](SYNCloudItems items, plat::ErrorPtr error) {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            if (errorCode)
                *errorCode = code(error);
            std::set<std::string> names;
            for (auto& item : items)
                names.insert(item->name() + (item->canContainChildren() ? "/" : ""));
            p.set_value(names);
        });
        return pumped(p.get_future());
    }

    plat::ErrorPtr mkdir(SYNCloudKitFileSystem& f, const std::string& path) {
        return wait([&](auto done) { f.createDirectoryAtPath(path, done); });
    }

    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        auto rows = container->admin().records(DatabaseScope::Private, *fs->recordZoneID());
        EXPECT_TRUE(rows.ok());
        for (auto& row : *rows)
            if (!row.deleted)
                names.push_back(row.record.recordID().recordName());
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempDir dir;
    plat::Date now = plat::Date::fromTimeIntervalSince1970(1'000'000);
    std::shared_ptr<Container> container;
    std::shared_ptr<SYNCloudKitFileSystem> fs;
};

TEST_F(CloudKitFileSystemTest, ZoneNamesAndNoConnectionError) {
    EXPECT_TRUE(SYNCloudKitFileSystem::recordZoneNameForSchema(1).ends_with(".meshes.zone.schema1"));
    EXPECT_TRUE(SYNCloudKitFileSystem::recordZoneNameForSchema(2).ends_with(".meshes.zone.schema2"));
    EXPECT_EQ(SYNCloudKitFileSystem::recordZoneNameForSchema(3), RecordZoneDefaultName);
    auto error = SYNCloudKitFileSystem::noConnectionError();
    EXPECT_EQ(error->domain(), "SYNErrorDomain");
    EXPECT_EQ(error->code(), 1002);
    EXPECT_EQ(error->localizedDescription(), "No iCloud connection");
}

TEST_F(CloudKitFileSystemTest, SetUpMakesZoneAndRootAndDirectoriesWork) {
    ASSERT_EQ(wait([&](auto done) { fs->connect(done); }), nullptr);
    EXPECT_EQ(storedNames(), std::vector<std::string>{"SYNFileSystemNode_/"});
    EXPECT_EQ(exists(*fs, "/"), std::make_pair(true, true));
    EXPECT_EQ(exists(*fs, "missing"), std::make_pair(false, false));

    ASSERT_EQ(mkdir(*fs, "/a"), nullptr);
    ASSERT_EQ(mkdir(*fs, "a/b"), nullptr);
    ASSERT_EQ(upload(*fs, "a/f", "hello"), nullptr);
    EXPECT_EQ(exists(*fs, "a"), std::make_pair(true, true));
    EXPECT_EQ(exists(*fs, "/a/f"), std::make_pair(true, false));
    EXPECT_EQ(list(*fs, "a"), (std::set<std::string>{"b/", "f"}));
    EXPECT_EQ(list(*fs, "/"), (std::set<std::string>{"a/"}));
    EXPECT_TRUE(list(*fs, "a/b").empty());
}

TEST_F(CloudKitFileSystemTest, DirectoryAnotherDeviceMadeFirstCountsAsMade) {
    // Both devices primed while the directory was missing, so both caches
    // answer that it is missing and both go on to make it.
    auto otherContainer = cktest::openContainer((dir / "cloud").string(), "alice", "mac-b", 1);
    auto other = open(otherContainer, "caches-b");
    ASSERT_EQ(wait([&](auto done) { fs->primeForActivityWithCompletion(done); }), nullptr);
    ASSERT_EQ(wait([&](auto done) { other->primeForActivityWithCompletion(done); }), nullptr);
    ASSERT_EQ(mkdir(*fs, "events"), nullptr);
    ASSERT_EQ(upload(*fs, "taken", "a file"), nullptr);
    EXPECT_EQ(exists(*other, "events"), std::make_pair(false, false));
    EXPECT_EQ(mkdir(*other, "events"), nullptr);
    EXPECT_EQ(mkdir(*fs, "events"), nullptr);
    // A file at the path is no directory: the refusal stands.
    auto refused = mkdir(*other, "taken");
    EXPECT_EQ(code(refused), static_cast<int64_t>(ErrorCode::PartialFailure));
    EXPECT_EQ(cktest::itemCode(refused, other->format().recordIDForPath("taken")),
              static_cast<int64_t>(ErrorCode::ServerRecordChanged));
    // Other refusals pass unchanged.
    container->faults().addRule(FaultRule::networkUnavailable(OperationKind::ModifyRecords));
    EXPECT_EQ(code(mkdir(*fs, "offline")), static_cast<int64_t>(ErrorCode::NetworkUnavailable));
}

TEST_F(CloudKitFileSystemTest, SetUpFailureIsReportedAndAConnectAfterItOrAZoneDeletionMakesTheZone) {
    container->faults().setNetworkAvailable(false);
    EXPECT_EQ(code(wait([&](auto done) { fs->connect(done); })), int64_t(ErrorCode::NetworkUnavailable));
    EXPECT_EQ(code(mkdir(*fs, "a")), int64_t(ErrorCode::NetworkUnavailable));  // waits for the set-up
    container->faults().setNetworkAvailable(true);
    ASSERT_EQ(wait([&](auto done) { fs->connect(done); }), nullptr);
    EXPECT_EQ(mkdir(*fs, "a"), nullptr);

    ASSERT_EQ(container->admin().deleteZoneAsUser(DatabaseScope::Private, *fs->recordZoneID()), nullptr);
    EXPECT_NE(mkdir(*fs, "b"), nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->connect(done); }), nullptr);
    ASSERT_EQ(mkdir(*fs, "b"), nullptr);
    EXPECT_EQ(exists(*fs, "b"), std::make_pair(true, true));
}

TEST_F(CloudKitFileSystemTest, UploadDownloadRoundTripAndErrors) {
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/x", "content of x"), nullptr);
    EXPECT_EQ(download(*fs, "d/x"), "content of x");

    // A file already standing at the local path is not overwritten.
    const std::string existing = writeFile(local("existing"), "mine");
    EXPECT_NE(wait([&](auto done) { fs->downloadFromPath("d/x", existing, done); }), nullptr);
    EXPECT_EQ(readFile(existing), "mine");

    // Missing local file: the file manager's error, nothing saved.
    const auto before = storedNames();
    EXPECT_NE(wait([&](auto done) { fs->uploadLocalFile(local("nope"), "d/y", done); }), nullptr);
    EXPECT_EQ(storedNames(), before);

    // A missing cloud file is a partial failure, not an empty success.
    EXPECT_EQ(download(*fs, "d/none"), "error 2");
}

TEST_F(CloudKitFileSystemTest, UploadOfExistingRecordKeepsItAndSavesTheRest) {
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/x", "first"), nullptr);
    const std::string a = writeFile(local("a"), "second"), b = writeFile(local("b"), "new");
    EXPECT_EQ(wait([&](auto done) { fs->uploadLocalFiles({a, b}, {"d/x", "d/y"}, done); }), nullptr);
    EXPECT_EQ(download(*fs, "d/x"), "first");
    EXPECT_EQ(download(*fs, "d/y"), "new");
}

TEST_F(CloudKitFileSystemTest, TransientFaultsAreReportedAndLoseNothing) {
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/kept", "kept"), nullptr);
    struct Case {
        const char* name;
        FaultRule rule;
        int64_t code;
    };
    const Case cases[] = {
        {"network", FaultRule::networkUnavailable(OperationKind::ModifyRecords), 3},
        {"rate limit", FaultRule::rateLimited(30, OperationKind::ModifyRecords), 7},
        {"quota", FaultRule::quotaExceeded(), 25},
        {"item", FaultRule::itemFailure(ErrorCode::ZoneBusy, "*", OperationKind::ModifyRecords), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        container->faults().clearRules();
        container->faults().addRule(c.rule);
        auto error = upload(*fs, "d/new", "n");
        EXPECT_EQ(code(error), c.code);
        if (c.code == 7) {
            EXPECT_EQ(retryAfterSeconds(error), 30.0);
        }
        EXPECT_EQ(code(wait([&](auto done) { fs->removeItemAtPath("d", done); })), c.code);
        container->faults().clearRules();
        EXPECT_EQ(download(*fs, "d/kept"), "kept");
    }
    // Once the fault is gone the same upload succeeds.
    EXPECT_EQ(upload(*fs, "d/new", "n"), nullptr);
    EXPECT_EQ(download(*fs, "d/new"), "n");
}

// Schema 1 keeps content in data records; an unknown schema's upload fails
// instead of saving nothing.
TEST_F(CloudKitFileSystemTest, SchemaOneKeepsContentInDataRecordsAndOthersRefuseUploads) {
    EXPECT_NE(upload(*open(container, "caches-b", 7), "x", "data"), nullptr);
    auto one = open(container, "caches-b", 1);
    ASSERT_EQ(wait([&](auto done) { one->connect(done); }), nullptr);
    ASSERT_EQ(upload(*one, "f", "v1"), nullptr);
    EXPECT_EQ(download(*one, "f"), "v1");
    auto rows = container->admin().records(DatabaseScope::Private, *one->recordZoneID());
    ASSERT_TRUE(rows.ok());
    std::set<std::string> names;
    for (auto& row : *rows)
        names.insert(row.record.recordID().recordName());
    EXPECT_EQ(names, (std::set<std::string>{"/", "/f", "DataFile_/f"}));
}

TEST_F(CloudKitFileSystemTest, RecordsAtPathsSpanBatchesPastMissingRecords) {
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/last", "z"), nullptr);
    std::vector<std::string> paths;
    for (int i = 0; i < 450; ++i)
        paths.push_back("d/missing" + std::to_string(i));
    paths.push_back("d/last");
    container->operationLog().clear();
    std::promise<std::vector<RecordPtr>> p;
    fs->fetchRecordsAtPaths(paths, [&](std::vector<RecordPtr> records, plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        p.set_value(records);
    });
    auto records = pumped(p.get_future());
    ASSERT_EQ(records.size(), paths.size());
    EXPECT_EQ(records[0], nullptr);
    ASSERT_NE(records.back(), nullptr);
    EXPECT_EQ(records.back()->recordID().recordName(), "SYNFileSystemNode_/d/last");
    EXPECT_EQ(container->operationLog().entriesOfKind(OperationKind::FetchRecords).size(), 3u);
}

TEST_F(CloudKitFileSystemTest, RemovalTakesEverythingBelowFilesFirst) {
    ASSERT_EQ(mkdir(*fs, "a"), nullptr);
    ASSERT_EQ(mkdir(*fs, "a/b"), nullptr);
    ASSERT_EQ(upload(*fs, "a/b/f1", "1"), nullptr);
    ASSERT_EQ(upload(*fs, "a/f2", "2"), nullptr);
    ASSERT_EQ(mkdir(*fs, "keep"), nullptr);
    container->operationLog().clear();
    ASSERT_EQ(wait([&](auto done) { fs->removeItemAtPath("a", done); }), nullptr);
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"SYNFileSystemNode_/", "SYNFileSystemNode_/keep"}));
    auto deletes = container->operationLog().entriesOfKind(OperationKind::ModifyRecords);
    ASSERT_EQ(deletes.size(), 1u);
    const auto& names = deletes[0].recordNames;
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.begin() + 2),
              (std::set<std::string>{"SYNFileSystemNode_/a/b/f1", "SYNFileSystemNode_/a/f2"}));
    // Removing what is already gone succeeds.
    EXPECT_EQ(wait([&](auto done) { fs->removeItemAtPath("a", done); }), nullptr);
}

TEST_F(CloudKitFileSystemTest, PrimingFillsCacheFileAndContinuesIncrementally) {
    ASSERT_EQ(mkdir(*fs, "a"), nullptr);
    ASSERT_EQ(upload(*fs, "a/f", "x"), nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->primeForActivityWithCompletion(done); }), nullptr);
    EXPECT_EQ(fs->recordCache().state(), SYNCloudKitRecordCache::State::Loaded);
    EXPECT_TRUE(std::filesystem::exists(fs->cacheFilePath()));
    EXPECT_TRUE(fs->cacheFilePath().ends_with(".syncloudkitcache.v2"));

    // Answers come from memory now: no request while the network is off.
    container->faults().setNetworkAvailable(false);
    EXPECT_EQ(list(*fs, "a"), std::set<std::string>{"f"});
    EXPECT_EQ(exists(*fs, "a/f"), std::make_pair(true, false));
    int64_t missing = 0;
    list(*fs, "nowhere", &missing);
    EXPECT_EQ(missing, 108);
    container->faults().setNetworkAvailable(true);

    // A new object on the same cache folder starts from the stored token.
    ASSERT_EQ(upload(*fs, "a/g", "y"), nullptr);
    auto again = open(container, "caches-a");
    EXPECT_EQ(again->recordCache().state(), SYNCloudKitRecordCache::State::Loaded);
    container->operationLog().clear();
    ASSERT_EQ(wait([&](auto done) { again->primeForActivityWithCompletion(done); }), nullptr);
    EXPECT_EQ(list(*again, "a"), (std::set<std::string>{"f", "g"}));
    auto fetches = container->operationLog().entriesOfKind(OperationKind::FetchRecordChanges);
    EXPECT_EQ(fetches.size(), 1u);
}

TEST_F(CloudKitFileSystemTest, ExpiredTokenRestartsFromScratchAndFailedFetchIsNotTrusted) {
    ASSERT_EQ(mkdir(*fs, "a"), nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->primeForActivityWithCompletion(done); }), nullptr);
    ASSERT_EQ(upload(*fs, "a/f", "x"), nullptr);
    auto seq = container->admin().zoneSequence(DatabaseScope::Private, *fs->recordZoneID());
    ASSERT_TRUE(seq.ok());
    ASSERT_EQ(container->admin().expireTokensBefore(DatabaseScope::Private, *fs->recordZoneID(), *seq),
              nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->primeForActivityWithCompletion(done); }), nullptr);
    EXPECT_EQ(list(*fs, "a"), std::set<std::string>{"f"});

    // A fetch from the start that fails leaves a partial cache that answers
    // nothing: look-ups go to the server.
    fs->recordCache().clear();
    container->faults().addRule(FaultRule::networkUnavailable(OperationKind::FetchRecordChanges));
    EXPECT_EQ(code(wait([&](auto done) { fs->primeForActivityWithCompletion(done); })), 3);
    EXPECT_NE(fs->recordCache().state(), SYNCloudKitRecordCache::State::Loaded);
    EXPECT_EQ(list(*fs, "a"), std::set<std::string>{"f"});
}

TEST_F(CloudKitFileSystemTest, RepairDeletesOnlyRecordsWithoutContentAfterTheDelay) {
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/lost", "l"), nullptr);
    ASSERT_EQ(upload(*fs, "d/busy", "b"), nullptr);
    container->faults().addRule(FaultRule::unavailableAsset("*lost"));
    container->faults().addRule(
        FaultRule::itemFailure(ErrorCode::ZoneBusy, "*busy", OperationKind::FetchRecords));

    EXPECT_EQ(download(*fs, "d/lost"), "error 2");
    EXPECT_EQ(download(*fs, "d/busy"), "error 2");
    now = now.byAddingTimeInterval(599);
    EXPECT_EQ(download(*fs, "d/lost"), "error 2");
    container->privateCloudDatabase()->waitUntilAllOperationsAreFinished();
    auto names = storedNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "SYNFileSystemNode_/d/lost"), 1);
    now = now.byAddingTimeInterval(1);
    EXPECT_EQ(download(*fs, "d/lost"), "error 2");
    EXPECT_EQ(download(*fs, "d/busy"), "error 2");
    container->faults().clearRules();
    // Let the repair's deletion land, then look.
    container->privateCloudDatabase()->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(exists(*fs, "d/lost"), std::make_pair(false, false));
    EXPECT_EQ(download(*fs, "d/busy"), "b");
}

TEST_F(CloudKitFileSystemTest, IdentityAlwaysAnswers) {
    std::promise<std::pair<plat::Value, plat::ErrorPtr>> first;
    fs->fetchUserIdentityWithCompletion([&](plat::Value v, plat::ErrorPtr e) { first.set_value({v, e}); });
    auto [identity, error] = pumped(first.get_future());
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(identity.asObjectOf<RecordID>(), nullptr);

    container->faults().setNetworkAvailable(false);
    std::promise<plat::ErrorPtr> offline;
    fs->fetchUserIdentityWithCompletion([&](plat::Value, plat::ErrorPtr e) { offline.set_value(e); });
    EXPECT_EQ(code(pumped(offline.get_future())), 3);
    container->faults().setNetworkAvailable(true);

    ASSERT_EQ(container->setAccount(std::nullopt), nullptr);
    std::promise<std::pair<bool, plat::ErrorPtr>> signedOut;
    fs->fetchUserIdentityWithCompletion([&](plat::Value v, plat::ErrorPtr e) {
        signedOut.set_value({v.isNull(), e});
    });
    EXPECT_EQ(pumped(signedOut.get_future()), std::make_pair(true, plat::ErrorPtr()));
}

// Records the answers of many calls at once: how often each came, and which
// came on a thread other than main.
class Answers {
  public:
    template <class... Args>
    std::function<void(Args...)> completion(const std::string& name) {
        std::lock_guard lock(mutex_);
        calls_[name];
        return [this, name](Args...) {
            std::lock_guard lock(mutex_);
            ++calls_[name];
            if (!plat::dispatch::MainLoop::isMainThread())
                offMain_.insert(name);
        };
    }
    std::map<std::string, int> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::set<std::string> offMain() {
        std::lock_guard lock(mutex_);
        return offMain_;
    }
    std::set<std::string> answered() {
        std::set<std::string> out;
        for (const auto& [name, count] : calls())
            if (count > 0)
                out.insert(name);
        return out;
    }
    // Waits (running the main queue) until every call has answered, then
    // runs what is left, so that a second answer would show.
    void waitForAll() {
        EXPECT_TRUE(
            plat::dispatch::MainLoop::runUntil([&] { return answered().size() == calls().size(); }, 120));
        plat::dispatch::MainLoop::drain();
        for (const auto& [name, count] : calls())
            EXPECT_EQ(count, 1) << name;
        EXPECT_TRUE(offMain().empty()) << *offMain().begin() << " answered off the main thread";
    }

  private:
    std::mutex mutex_;
    std::map<std::string, int> calls_;
    std::set<std::string> offMain_;
};

TEST_F(CloudKitFileSystemTest, EveryAnswerComesLaterOnTheMainQueueCacheAnswersIncluded) {
    using plat::ErrorPtr;
    ASSERT_EQ(mkdir(*fs, "d"), nullptr);
    ASSERT_EQ(upload(*fs, "d/f", "x"), nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->primeForActivityWithCompletion(done); }), nullptr);
    ASSERT_EQ(fs->recordCache().state(), SYNCloudKitRecordCache::State::Loaded);
    const std::string source = writeFile(local("main-up"), "y");

    Answers answers;
    // Answered from the loaded cache.
    fs->fileExistsAtPath("d/f", answers.completion<bool, bool, ErrorPtr>("fileExists"));
    fs->contentsOfDirectoryAtPath("d", answers.completion<SYNCloudItems, ErrorPtr>("contents"));
    fs->contentsOfDirectoryAtPath("none", answers.completion<SYNCloudItems, ErrorPtr>("contents of none"));
    fs->fetchRecordsAtPaths({"d/f"}, answers.completion<std::vector<RecordPtr>, ErrorPtr>("records"));
    fs->fetchRecordsDescendedFromPaths({"d"}, answers.completion<std::vector<RecordPtr>, ErrorPtr>("below"));
    // Answered by the database.
    fs->connect(answers.completion<ErrorPtr>("connect"));
    fs->fetchUserIdentityWithCompletion(answers.completion<plat::Value, ErrorPtr>("identity"));
    fs->createDirectoryAtPath("e", answers.completion<ErrorPtr>("createDirectory"));
    fs->uploadLocalFile(source, "d/g", answers.completion<ErrorPtr>("upload"));
    fs->uploadLocalFiles({source}, {"d/h"}, answers.completion<ErrorPtr>("uploads"));
    fs->downloadFromPath("d/f", local("main-down1"), answers.completion<ErrorPtr>("download"));
    fs->downloadFromPaths({"d/f"}, {local("main-down2")}, answers.completion<ErrorPtr>("downloads"));
    fs->subscribeForPushNotificationsWithCompletion(answers.completion<ErrorPtr>("subscribe"));
    fs->primeForActivityWithCompletion(answers.completion<ErrorPtr>("prime"));
    // Refused at once.
    fs->uploadLocalFiles({source}, {}, answers.completion<ErrorPtr>("mismatched uploads"));
    auto offline = SYNCloudKitFileSystem::create(nullptr, SYNCloudKitFileSystem::Options{});
    offline->connect(answers.completion<ErrorPtr>("offline connect"));
    offline->contentsOfDirectoryAtPath("/", answers.completion<SYNCloudItems, ErrorPtr>("offline contents"));
    offline->fetchUserIdentityWithCompletion(answers.completion<plat::Value, ErrorPtr>("offline identity"));
    SYNCloudKitFileSystem::acceptInvitationToShareWithMetadata(nullptr, ShareMetadata{},
                                                               answers.completion<ErrorPtr>("accept"));
    EXPECT_EQ(answers.answered(), std::set<std::string>{}) << "answered inside the call";
    answers.waitForAll();

    Answers removals;
    fs->removeItemAtPath("d/g", removals.completion<ErrorPtr>("remove"));
    fs->removeItemsAtPaths({"d/h"}, removals.completion<ErrorPtr>("removeItems"));
    fs->removeItemsWithRecordIDs({fs->format().recordIDForPath("e")}, removals.completion<ErrorPtr>("byID"));
    fs->removeAllItemsWithCompletion(removals.completion<ErrorPtr>("removeAll"));
    EXPECT_EQ(removals.answered(), std::set<std::string>{}) << "answered inside the call";
    removals.waitForAll();
}

TEST_F(CloudKitFileSystemTest, SubscriptionIsSavedOnce) {
    ASSERT_EQ(wait([&](auto done) { fs->subscribeForPushNotificationsWithCompletion(done); }), nullptr);
    auto subs = container->admin().subscriptions(DatabaseScope::Private);
    ASSERT_TRUE(subs.ok());
    ASSERT_EQ(subs->size(), 1u);
    EXPECT_EQ((*subs)[0].subscriptionID, "SYNFileAddedSubscription");
    EXPECT_EQ((*subs)[0].options, int(FiresOnRecordCreation));

    // A share owner also subscribes to its share; a participant (shared
    // scope) saves only the database subscription.
    auto owner =
        SYNCloudKitFileSystem::sharing(container, "meshshare", OwnerDefaultName, (dir / "caches-b").string());
    ASSERT_EQ(wait([&](auto done) { owner->subscribeForPushNotificationsWithCompletion(done); }), nullptr);
    auto bob = cktest::openContainer((dir / "cloud").string(), "bob", "mac-b", 1);
    auto participant = SYNCloudKitFileSystem::sharing(bob, "meshshare", "alice", (dir / "caches-b").string());
    ASSERT_EQ(wait([&](auto done) { participant->subscribeForPushNotificationsWithCompletion(done); }),
              nullptr);
    std::set<std::string> ids;
    for (auto scope : {DatabaseScope::Private, DatabaseScope::Shared}) {
        auto all = container->admin().subscriptions(scope);
        ASSERT_TRUE(all.ok());
        for (auto& s : *all)
            ids.insert(s.subscriptionID);
        auto bobs = bob->admin().subscriptions(scope);
        ASSERT_TRUE(bobs.ok());
        for (auto& s : *bobs)
            ids.insert(s.subscriptionID);
    }
    EXPECT_EQ(ids, (std::set<std::string>{"SYNFileAddedSubscription", "CKShareSubscription",
                                          "SYNSharedDatabaseSubscription"}));
}

TEST_F(CloudKitFileSystemTest, OwnerMakesTheShareOnceAndSetUpsDoNotRace) {
    auto shared =
        SYNCloudKitFileSystem::sharing(container, "meshshare", OwnerDefaultName, (dir / "caches-b").string());
    std::atomic<int> available{0}, willSave{0};
    SYNCloudKitFileSystem::Delegate delegate;
    delegate.shareIsAvailable = [&] {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        ++available;
    };
    delegate.willSaveNewShare = [&](Record& share) {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        ++willSave;
        share.setObject("title", plat::Value("Meshes"));
    };
    shared->setDelegate(delegate);
    ASSERT_EQ(wait([&](auto done) { shared->connect(done); }), nullptr);
    ASSERT_EQ(wait([&](auto done) { shared->connect(done); }), nullptr);
    ASSERT_NE(shared->share(), nullptr);
    EXPECT_EQ(shared->share()->objectForKey("isMeshesShare").boolValue(), true);
    EXPECT_EQ(sharePublicPermission(*shared->share()), ShareParticipantPermission::None);
    // Made by the first set-up (before the delegate was set) or by a later
    // one, but never twice: later set-ups find the same share.
    EXPECT_LE(willSave.load(), 1);
    EXPECT_LE(available.load(), 1);

    ASSERT_EQ(mkdir(*shared, "d"), nullptr);
    ASSERT_EQ(upload(*shared, "d/f", "shared"), nullptr);
    auto rows = container->admin().records(DatabaseScope::Private, RecordZoneID("meshshare"));
    ASSERT_TRUE(rows.ok());
    int shares = 0;
    for (auto& row : *rows)
        shares += row.record.recordType() == ShareRecordType;
    EXPECT_EQ(shares, 1);
    // Directories and files of a shared folder carry a record parent.
    std::promise<std::vector<RecordPtr>> fetched;
    shared->fetchRecordsAtPaths({"d", "d/f"},
                                [&](std::vector<RecordPtr> r, plat::ErrorPtr) { fetched.set_value(r); });
    for (const auto& record : pumped(fetched.get_future())) {
        ASSERT_NE(record, nullptr);
        ASSERT_NE(record->parent(), nullptr);
    }
    EXPECT_EQ(download(*shared, "d/f"), "shared");
}

// --- A folder shared between accounts ----------------------------------------------------

class SharedFolderTest : public CloudKitFileSystemTest {
  protected:
    void SetUp() override {
        CloudKitFileSystemTest::SetUp();
        owner = SYNCloudKitFileSystem::sharing(container, "meshshare", OwnerDefaultName,
                                               (dir / "caches-a").string());
        ASSERT_EQ(wait([&](auto done) { owner->connect(done); }), nullptr);
        auto made = container->invitationToShare(RecordID("meshshare", RecordZoneID("meshshare")));
        ASSERT_TRUE(made.ok()) << made.error()->description();
        invitation = *made;
        bob = cktest::openContainer((dir / "cloud").string(), "bob", "mac-b", 1);
    }

    // A participant's view of the folder, counting the delegate's calls.
    std::shared_ptr<SYNCloudKitFileSystem> participant(std::shared_ptr<Container> as,
                                                       const std::string& caches) {
        std::filesystem::create_directories(dir / caches);
        auto fs = SYNCloudKitFileSystem::sharing(std::move(as), "meshshare", invitation.ownerName,
                                                 (dir / caches).string());
        SYNCloudKitFileSystem::Delegate delegate;
        delegate.sharedZoneDidBecomeUnavailable = [this] {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            ++unavailable;
        };
        delegate.shareIsAvailable = [this] {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            ++available;
        };
        fs->setDelegate(delegate);
        return fs;
    }

    plat::ErrorPtr accept(std::shared_ptr<Container> as) {
        return wait([&](auto done) {
            SYNCloudKitFileSystem::acceptInvitationToShareWithMetadata(as, invitation, done);
        });
    }

    plat::ErrorPtr prime(SYNCloudKitFileSystem& f) {
        return wait([&](auto done) { f.primeForActivityWithCompletion(done); });
    }

    std::shared_ptr<SYNCloudKitFileSystem> owner;
    ShareMetadata invitation;
    std::shared_ptr<Container> bob;
    std::atomic<int> unavailable{0}, available{0};
};

TEST_F(SharedFolderTest, ParticipantAcceptsAndBothWorkThroughTheFolder) {
    ASSERT_EQ(wait([&](auto done) { owner->subscribeForPushNotificationsWithCompletion(done); }), nullptr);
    auto shared = participant(bob, "caches-b");
    // Not accepted yet: the zone is not there for bob.
    EXPECT_EQ(code(wait([&](auto done) { shared->connect(done); })), 26);
    EXPECT_GE(unavailable.load(), 1);

    ASSERT_EQ(accept(bob), nullptr);
    ASSERT_EQ(accept(bob), nullptr);  // accepting again changes nothing
    unavailable = 0;
    ASSERT_EQ(wait([&](auto done) { shared->connect(done); }), nullptr);
    EXPECT_EQ(unavailable.load(), 0);
    EXPECT_GE(available.load(), 1);
    ASSERT_NE(shared->share(), nullptr);
    EXPECT_EQ(shared->share()->objectForKey("isMeshesShare"), plat::Value(true));
    ASSERT_EQ(wait([&](auto done) { shared->subscribeForPushNotificationsWithCompletion(done); }), nullptr);
    // The owner follows its share: bob's acceptance reached alice's device.
    auto ownerPushes = container->takePushes();
    ASSERT_TRUE(ownerPushes.ok());
    ASSERT_EQ(ownerPushes->size(), 1u);
    EXPECT_EQ((*ownerPushes)[0].subscriptionID, "CKShareSubscription");

    ASSERT_EQ(mkdir(*owner, "events"), nullptr);
    ASSERT_EQ(upload(*owner, "events/from-owner", "O"), nullptr);
    ASSERT_EQ(prime(*shared), nullptr);
    EXPECT_EQ(list(*shared, "events"), std::set<std::string>{"from-owner"});
    EXPECT_EQ(download(*shared, "events/from-owner"), "O");
    auto participantPushes = bob->takePushes();
    ASSERT_TRUE(participantPushes.ok());
    ASSERT_FALSE(participantPushes->empty());
    EXPECT_EQ(participantPushes->back().subscriptionID, "SYNSharedDatabaseSubscription");
    EXPECT_EQ(participantPushes->back().scope, DatabaseScope::Shared);
    EXPECT_EQ(participantPushes->back().recordID.zoneID(), invitation.zoneID());

    ASSERT_EQ(upload(*shared, "events/from-participant", "P"), nullptr);
    ASSERT_EQ(mkdir(*shared, "events/sub"), nullptr);
    EXPECT_TRUE(bob->takePushes()->empty());  // not to the saving device
    ASSERT_EQ(prime(*owner), nullptr);
    EXPECT_EQ(list(*owner, "events"), (std::set<std::string>{"from-owner", "from-participant", "sub/"}));
    EXPECT_EQ(download(*owner, "events/from-participant"), "P");
    ownerPushes = container->takePushes();
    ASSERT_EQ(ownerPushes->size(), 1u);  // one file added; directories have no size
    EXPECT_EQ((*ownerPushes)[0].subscriptionID, "SYNFileAddedSubscription");
    EXPECT_EQ((*ownerPushes)[0].recordID.zoneID(), RecordZoneID("meshshare"));

    ASSERT_EQ(wait([&](auto done) { shared->removeItemAtPath("events/from-owner", done); }), nullptr);
    ASSERT_EQ(prime(*owner), nullptr);
    EXPECT_EQ(list(*owner, "events"), (std::set<std::string>{"from-participant", "sub/"}));
    // Both keep their own cache files.
    EXPECT_NE(shared->cacheFilePath(), owner->cacheFilePath());

    // An account that never accepted sees nothing of the folder.
    auto carol = cktest::openContainer((dir / "cloud").string(), "carol", "mac-c", 1);
    auto outsider = participant(carol, "caches-c");
    EXPECT_EQ(code(wait([&](auto done) { outsider->connect(done); })), 26);
    int64_t listing = 0;
    EXPECT_TRUE(list(*outsider, "events", &listing).empty());
    EXPECT_EQ(listing, 26);
    EXPECT_EQ(code(prime(*outsider)), 26);
    EXPECT_NE(download(*outsider, "events/from-participant"), "P");
}

TEST_F(SharedFolderTest, VanishedShareOrZoneIsReportedToTheParticipantsDelegate) {
    enum class How { OwnerDeletesShare, OwnerDeletesZone, UserDeletesZone };
    for (How how : {How::OwnerDeletesShare, How::OwnerDeletesZone, How::UserDeletesZone}) {
        SCOPED_TRACE(int(how));
        ASSERT_EQ(wait([&](auto done) { owner->connect(done); }), nullptr);  // share and zone made anew
        auto made = container->invitationToShare(RecordID("meshshare", RecordZoneID("meshshare")));
        ASSERT_TRUE(made.ok());
        invitation = *made;
        ASSERT_EQ(accept(bob), nullptr);
        auto shared = participant(bob, "caches-b" + std::to_string(int(how)));
        ASSERT_EQ(wait([&](auto done) { shared->connect(done); }), nullptr);
        ASSERT_EQ(upload(*shared, "before", "x"), nullptr);
        ASSERT_EQ(prime(*shared), nullptr);
        ASSERT_EQ(list(*shared, "/"), std::set<std::string>{"before"});  // from the loaded cache

        const RecordZoneID mine("meshshare");
        switch (how) {
            case How::OwnerDeletesShare: {
                auto remove = std::make_shared<ModifyRecordsOperation>(
                    std::vector<Record>{}, std::vector<RecordID>{RecordID("meshshare", mine)});
                container->privateCloudDatabase()->addOperation(remove);
                remove->waitUntilFinished();
                break;
            }
            case How::OwnerDeletesZone: {
                auto remove = std::make_shared<ModifyRecordZonesOperation>(std::vector<RecordZone>{},
                                                                           std::vector<RecordZoneID>{mine});
                container->privateCloudDatabase()->addOperation(remove);
                remove->waitUntilFinished();
                break;
            }
            case How::UserDeletesZone:
                ASSERT_EQ(container->admin().deleteZoneAsUser(DatabaseScope::Private, mine), nullptr);
                break;
        }
        EXPECT_EQ(code(upload(*shared, "after", "y")), int64_t(ErrorCode::PartialFailure));
        unavailable = 0;
        EXPECT_EQ(code(wait([&](auto done) { shared->connect(done); })), 26);
        EXPECT_EQ(unavailable.load(), 1);
        // Every priming checks the share again; look-ups no longer answer
        // from the cache of a folder that is gone.
        EXPECT_EQ(code(prime(*shared)), 26);
        EXPECT_EQ(unavailable.load(), 2);
        int64_t listing = 0;
        EXPECT_TRUE(list(*shared, "/", &listing).empty());
        EXPECT_EQ(listing, 26);
    }
}

TEST_F(CloudKitFileSystemTest, RemoveAllTakesRecordsTheQueryIndexHasNotSeen) {
    ASSERT_EQ(mkdir(*fs, "a"), nullptr);
    ASSERT_EQ(upload(*fs, "a/f", "x"), nullptr);
    ASSERT_EQ(container->admin().advanceQueryIndex(DatabaseScope::Private, *fs->recordZoneID()), nullptr);
    container->setQueryLag(true);
    ASSERT_EQ(upload(*fs, "a/late", "y"), nullptr);
    ASSERT_EQ(wait([&](auto done) { fs->removeAllItemsWithCompletion(done); }), nullptr);
    EXPECT_TRUE(storedNames().empty());
}

TEST_F(CloudKitFileSystemTest, ConcurrentUploadsFromTwoDevicesAllArrive) {
    auto c1 = cktest::openContainer((dir / "cloud").string(), "alice", "mac-c", 4);
    auto c2 = cktest::openContainer((dir / "cloud").string(), "alice", "mac-d", 4);
    auto one = open(c1, "caches-a"), two = open(c2, "caches-b");
    ASSERT_EQ(wait([&](auto done) { one->connect(done); }), nullptr);
    ASSERT_EQ(mkdir(*one, "e"), nullptr);
    std::vector<std::future<plat::ErrorPtr>> pending;
    std::set<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        auto& f = i % 2 ? *one : *two;
        const std::string name = "file" + std::to_string(i);
        expected.insert(name);
        const std::string source = writeFile(local("c" + std::to_string(i)), name);
        auto promise = std::make_shared<std::promise<plat::ErrorPtr>>();
        pending.push_back(promise->get_future());
        f.uploadLocalFile(source, "e/" + name, [promise](plat::ErrorPtr e) { promise->set_value(e); });
    }
    for (auto& p : pending)
        EXPECT_EQ(pumped(std::move(p)), nullptr);
    ASSERT_EQ(wait([&](auto done) { two->primeForActivityWithCompletion(done); }), nullptr);
    EXPECT_EQ(list(*two, "e"), expected);
    EXPECT_EQ(download(*one, "e/file2"), "file2");  // uploaded by the other device

    // A removal on one device reaches the other's cache at its next priming.
    ASSERT_EQ(wait([&](auto done) { one->removeItemAtPath("e/file2", done); }), nullptr);
    ASSERT_EQ(wait([&](auto done) { two->primeForActivityWithCompletion(done); }), nullptr);
    expected.erase("file2");
    EXPECT_EQ(list(*two, "e"), expected);
}

TEST_F(CloudKitFileSystemTest, PrimingFollowsEveryPageOfTheChangeFeed) {
    ASSERT_EQ(wait([&](auto done) { fs->connect(done); }), nullptr);
    std::vector<Record> records{fs->format().directoryRecordForPath("big")};
    std::set<std::string> expected;
    for (std::size_t i = 0; i < DefaultServerPageSize + 50; ++i) {
        const std::string name = "d" + std::to_string(i);
        records.push_back(fs->format().directoryRecordForPath("big/" + name));
        expected.insert(name + "/");
    }
    // The server takes a limited number of records per request.
    for (std::size_t i = 0; i < records.size(); i += 100) {
        std::vector<Record> chunk(records.begin() + i, records.begin() + std::min(records.size(), i + 100));
        ASSERT_EQ(container->admin().seed(DatabaseScope::Private, chunk), nullptr);
    }
    container->operationLog().clear();
    // The second page is held back; its request is logged once the first
    // page has been taken in.
    FaultRule hold;
    hold.kind = OperationKind::FetchRecordChanges;
    hold.occurrence = 2;
    hold.delay = std::chrono::milliseconds(2000);
    container->faults().addRule(hold);
    std::promise<plat::ErrorPtr> primed;
    auto primedResult = primed.get_future();
    fs->primeForActivityWithCompletion([&](plat::ErrorPtr error) { primed.set_value(error); });
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return container->operationLog().entriesOfKind(OperationKind::FetchRecordChanges).size() >= 2;
    }));
    if (primedResult.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        // Half a feed answers no look-up and is not written down.
        EXPECT_NE(fs->recordCache().state(), SYNCloudKitRecordCache::State::Loaded);
        EXPECT_FALSE(std::filesystem::exists(fs->cacheFilePath()));
    }
    EXPECT_EQ(list(*fs, "big"), expected);
    ASSERT_EQ(pumped(std::move(primedResult)), nullptr);
    EXPECT_EQ(container->operationLog().entriesOfKind(OperationKind::FetchRecordChanges).size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(fs->cacheFilePath()));
    container->faults().setNetworkAvailable(false);
    EXPECT_EQ(list(*fs, "big"), expected);
}

}  // namespace
