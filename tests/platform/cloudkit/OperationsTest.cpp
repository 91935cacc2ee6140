// Operations against a real server database on disk: record semantics,
// atomic zone saves, desired keys, assets, queries, change feeds, zones,
// exactly-once blocks and dependencies.
#include <filesystem>
#include <set>

#include "CloudKitTestSupport.h"
#include "platform/dispatch/OperationQueue.h"

namespace cktest {
namespace {

namespace fs = std::filesystem;
using plat::Value;

// --- Record semantics ----------------------------------------------------

TEST_F(CloudKitTest, SavingANewRecordOverAnExistingOneFailsWithServerRecordChanged) {
    auto first = modify(*db, {node("a")});
    ASSERT_FALSE(first.error);
    ASSERT_EQ(first.saved.size(), 1u);
    EXPECT_FALSE(first.saved[0]->recordChangeTag().empty());

    auto again = modify(*db, {node("a")});
    EXPECT_EQ(again.error->code(), 2);
    EXPECT_EQ(itemCode(again.error, RecordID("a", meshZone())), 14);

    // A fetched record with the current tag overwrites, and gets a new tag.
    Record fetched = *first.saved[0];
    fetched.setObject("fileSize", Value(7));
    auto update = modify(*db, {fetched});
    ASSERT_FALSE(update.error);
    EXPECT_NE(update.saved[0]->recordChangeTag(), fetched.recordChangeTag());
    // The old tag is now stale.
    EXPECT_EQ(itemCode(modify(*db, {fetched}).error, RecordID("a", meshZone())), 14);
    EXPECT_EQ(fetch(*db, {RecordID("a", meshZone())}).records.begin()->second->objectForKey("fileSize"),
              Value(7));
}

TEST_F(CloudKitTest, CustomZoneSaveIsAllOrNothingWithPerRecordErrors) {
    ASSERT_FALSE(modify(*db, {node("taken")}).error);
    auto out = modify(*db, {node("new1"), node("taken"), node("new2")});
    ASSERT_TRUE(out.error);
    EXPECT_TRUE(out.saved.empty());
    EXPECT_EQ(itemCode(out.error, RecordID("taken", meshZone())), 14);
    EXPECT_EQ(itemCode(out.error, RecordID("new1", meshZone())), 22);
    EXPECT_EQ(itemCode(out.error, RecordID("new2", meshZone())), 22);
    auto check = fetch(*db, {RecordID("new1", meshZone()), RecordID("new2", meshZone())});
    EXPECT_TRUE(check.records.empty());
    EXPECT_EQ(itemCode(check.error, RecordID("new1", meshZone())), 11);
    // Nothing of the failed batch reached the change feed either.
    EXPECT_EQ(changes(*db, meshZone(), nullptr).entries, std::vector<std::string>{"+taken"});
}

TEST_F(CloudKitTest, DefaultZoneAndNonAtomicSavesKeepTheItemsThatSucceed) {
    const RecordZoneID def;
    ASSERT_FALSE(modify(*db, {node("taken", def)}).error);
    auto out = modify(*db, {node("new1", def), node("taken", def), node("new2", def)});
    EXPECT_EQ(itemCode(out.error, RecordID("taken", def)), 14);
    EXPECT_EQ(out.saved.size(), 2u);
    EXPECT_EQ(fetch(*db, {RecordID("new1", def), RecordID("new2", def)}).records.size(), 2u);

    auto custom = modify(*db, {node("x"), node("y"), node("x")}, {}, /*atomic=*/false);
    EXPECT_EQ(custom.saved.size(), 2u);
}

TEST_F(CloudKitTest, RecordNameRulesAndTheItemLimitAreEnforced) {
    struct Case {
        std::string name;
        int64_t code;
    };
    const std::vector<Case> cases = {
        {std::string(255, 'n'), 0},
        {std::string(256, 'n'), 12},
        {"", 12},
        {"_hidden", 12},
        {"caf\xc3\xa9", 12},
        {"SYNFileSystemNode_/main/events/x", 0},
    };
    for (const auto& c : cases) {
        auto out = modify(*db, {node(c.name)}, {}, false);
        EXPECT_EQ(itemCode(out.error, RecordID(c.name, meshZone())), c.code) << c.name.size();
    }
    std::vector<Record> many;
    for (int i = 0; i < 401; ++i)
        many.push_back(node("n" + std::to_string(i)));
    auto out = modify(*db, many);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code(), 27);
}

TEST_F(CloudKitTest, DeletingIsIdempotentAndCascadesToDeleteSelfChildrenOnly) {
    Record dir = node("dir");
    Record sub = node("dir/sub");
    sub.setObject("directory", Value(Reference::make(dir.recordID(), ReferenceAction::DeleteSelf)));
    Record file = node("dir/file");
    file.setObject("directory", Value(Reference::make(dir.recordID(), ReferenceAction::None)));
    Record subfile = node("dir/sub/deep");
    subfile.setObject("directory", Value(Reference::make(sub.recordID(), ReferenceAction::DeleteSelf)));
    ASSERT_FALSE(modify(*db, {dir, sub, file, subfile}).error);

    auto out = modify(*db, {}, {dir.recordID(), RecordID("never-existed", meshZone())});
    EXPECT_FALSE(out.error);
    EXPECT_EQ(out.deleted.size(), 2u);
    auto left = fetch(*db, {dir.recordID(), sub.recordID(), file.recordID(), subfile.recordID()});
    ASSERT_EQ(left.records.size(), 1u);
    EXPECT_EQ(left.records.begin()->first, file.recordID());

    container->setDeleteMissingAnswersUnknownItem(true);
    EXPECT_EQ(itemCode(modify(*db, {}, {dir.recordID()}).error, dir.recordID()), 11);
}

// --- Desired keys ------------------------------------------------------------

TEST_F(CloudKitTest, DesiredKeysLimitTheFieldsOfFetchedRecords) {
    ASSERT_FALSE(modify(*db, {node("a")}).error);
    struct Case {
        DesiredKeys keys;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, {"path", "fileSize", "isDirectory"}},
        {std::vector<std::string>{}, {}},
        {std::vector<std::string>{"fileSize", "missing"}, {"fileSize"}},
    };
    for (const auto& c : cases) {
        auto out = fetch(*db, {RecordID("a", meshZone())}, c.keys);
        ASSERT_EQ(out.records.size(), 1u);
        const auto& record = *out.records.begin()->second;
        EXPECT_EQ(record.allKeys(), c.expected);
        EXPECT_EQ(record.recordType(), "SYNFileSystemNode");
        EXPECT_FALSE(record.recordChangeTag().empty());
        auto feed = changes(*db, meshZone(), nullptr, 0, c.keys);
        EXPECT_EQ(feed.changed.at(0)->allKeys(), c.expected);
    }
}

// --- Assets ----------------------------------------------------------------

TEST_F(CloudKitTest, AssetsAreTakenAtCommitSurviveUpdatesAndVanishWithTheirRecord) {
    std::string local = writeFile((tmp / "upload").string(), "event file content");
    Record r = node("file");
    r.setObject("data", Value(Asset::make(local)));
    auto saved = modify(*db, {r});
    ASSERT_FALSE(saved.error);
    writeFile(local, "changed after the save");
    fs::remove(local);

    auto fetched = fetch(*db, {r.recordID()});
    ASSERT_EQ(fetched.records.size(), 1u);
    auto asset = fetched.records.begin()->second->objectForKey("data").asObjectOf<Asset>();
    ASSERT_TRUE(asset);
    EXPECT_EQ(readFile(asset->fileURL()), "event file content");
    EXPECT_EQ(container->admin().assetContents()->size(), 1u);

    // An update of a fetched record that keeps the asset keeps its content.
    Record update = *fetched.records.begin()->second;
    update.setObject("fileSize", Value(99));
    ASSERT_FALSE(modify(*db, {update}).error);
    auto again = fetch(*db, {r.recordID()});
    EXPECT_EQ(readFile(again.records.begin()->second->objectForKey("data").asObjectOf<Asset>()->fileURL()),
              "event file content");

    ASSERT_FALSE(modify(*db, {}, {r.recordID()}).error);
    EXPECT_TRUE(container->admin().assetContents()->empty());
    // The fetched copy is the process's own until it cleans its cache.
    EXPECT_TRUE(fs::exists(asset->fileURL()));
    container->cleanAssetCache();
    EXPECT_FALSE(fs::exists(asset->fileURL()));
}

TEST_F(CloudKitTest, SharedAssetContentStaysWhileAnyRecordUsesItAndFailedSavesLeaveNothing) {
    std::string local = writeFile((tmp / "same").string(), "same bytes");
    Record a = node("a"), b = node("b");
    a.setObject("data", Value(Asset::make(local)));
    b.setObject("data", Value(Asset::make(local)));
    ASSERT_FALSE(modify(*db, {a, b}).error);
    ASSERT_FALSE(modify(*db, {}, {a.recordID()}).error);
    EXPECT_EQ(container->admin().assetContents()->size(), 1u);

    // An atomic batch that fails leaves no content behind.
    Record c = node("c");
    c.setObject("data", Value(Asset::make(writeFile((tmp / "other").string(), "other bytes"))));
    Record d = node("d");
    d.setObject("data", Value(Asset::make((tmp / "missing-file").string())));
    auto out = modify(*db, {c, d});
    EXPECT_EQ(itemCode(out.error, d.recordID()), 16);
    EXPECT_EQ(itemCode(out.error, c.recordID()), 22);
    EXPECT_EQ(container->admin().assetContents()->size(), 1u);
}

TEST_F(CloudKitTest, OpeningTheServerSweepsOnlyOldAbandonedAssetFiles) {
    std::string local = writeFile((tmp / "kept").string(), "kept content");
    Record r = node("kept");
    r.setObject("data", Value(Asset::make(local)));
    ASSERT_FALSE(modify(*db, {r}).error);
    const fs::path assets = fs::path(root) / "assets";
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    auto contents = container->admin().assetContents();
    ASSERT_TRUE(contents.ok());
    for (const auto& hash : *contents)
        fs::last_write_time(assets / hash, old);
    const std::string orphan(64, 'a');
    for (const std::string& name : {orphan, std::string("tmp-old"), std::string("tmp-new")})
        writeFile((assets / name).string(), "left behind");
    fs::last_write_time(assets / orphan, old);
    fs::last_write_time(assets / "tmp-old", old);

    auto reopened = openContainer(root, "alice", "mac-b");
    EXPECT_FALSE(fs::exists(assets / orphan));
    EXPECT_FALSE(fs::exists(assets / "tmp-old"));
    EXPECT_TRUE(fs::exists(assets / "tmp-new"));
    EXPECT_EQ(container->admin().assetContents()->size(), 1u);  // the referenced content stays
}

// --- Queries -------------------------------------------------------------------

TEST_F(CloudKitTest, QueryByReferencePagesInPathOrderWithCursorsCarryingTheZone) {
    Record dir = node("dir");
    std::vector<Record> records{dir};
    for (std::string name : {"dir/c", "dir/a", "dir/b"}) {
        Record r = node(name);
        r.setObject("directory", Value(Reference::make(dir.recordID(), ReferenceAction::None)));
        records.push_back(r);
    }
    records.push_back(node("elsewhere"));
    ASSERT_FALSE(modify(*db, records).error);

    Query q{
        "SYNFileSystemNode",
        *Predicate::parse("directory = %@", Value(Reference::make(dir.recordID(), ReferenceAction::None))),
        {{"path", true}}};
    auto op = std::make_shared<QueryOperation>(q);
    op->zoneID = meshZone();
    op->resultsLimit = 1;
    op->desiredKeys = std::vector<std::string>{"path"};
    std::vector<std::string> paths;
    auto page = queryPage(*db, op);
    int pages = 1;
    for (;;) {
        ASSERT_FALSE(page.error);
        ASSERT_EQ(page.calls, 1);
        for (auto& r : page.records)
            paths.push_back(r->objectForKey("path").stringValue());
        if (!page.cursor)
            break;
        EXPECT_EQ(page.cursor->zoneID(), meshZone());
        auto next = std::make_shared<QueryOperation>(page.cursor);
        next->resultsLimit = 1;
        page = queryPage(*db, next);
        // Follow-up pages carry every field unless they name their own keys.
        if (!page.records.empty()) {
            EXPECT_EQ(page.records[0]->allKeys().size(), 4u);
        }
        ++pages;
    }
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dir/a", "/dir/b", "/dir/c"}));
}

TEST_F(CloudKitTest, QueriesWithLagSeeTheZoneAsOfItsQueryIndex) {
    ASSERT_FALSE(modify(*db, {node("early")}).error);
    ASSERT_FALSE(container->admin().advanceQueryIndex(DatabaseScope::Private, meshZone()));
    ASSERT_FALSE(modify(*db, {node("late")}).error);
    ASSERT_FALSE(modify(*db, {}, {RecordID("early", meshZone())}).error);
    container->setQueryLag(true);
    auto op =
        std::make_shared<QueryOperation>(Query{"SYNFileSystemNode", *Predicate::parse("fileSize > 0"), {}});
    op->zoneID = meshZone();
    auto lagged = queryPage(*db, op);
    ASSERT_EQ(lagged.records.size(), 1u);
    EXPECT_EQ(lagged.records[0]->recordID().recordName(), "early");

    container->setQueryLag(false);
    auto live = std::make_shared<QueryOperation>(Query{"SYNFileSystemNode", Predicate::truePredicate(), {}});
    live->zoneID = meshZone();
    auto current = queryPage(*db, live);
    ASSERT_EQ(current.records.size(), 1u);
    EXPECT_EQ(current.records[0]->recordID().recordName(), "late");
}

// --- Change feed -----------------------------------------------------------------

TEST_F(CloudKitTest, ChangeFeedPagesNeverSkipOrRepeatAChange) {
    auto start = changes(*db, meshZone(), nullptr);
    ASSERT_FALSE(start.error);
    for (std::string name : {"r1", "r2", "r3", "r4", "r5"})
        ASSERT_FALSE(modify(*db, {node(name)}).error);

    std::vector<bool> more;
    std::vector<std::string> seen;
    auto token = start.token;
    do {
        auto page = changes(*db, meshZone(), token, 2);
        ASSERT_FALSE(page.error);
        more.push_back(page.moreComing);
        seen.insert(seen.end(), page.entries.begin(), page.entries.end());
        token = page.token;
    } while (more.back());
    EXPECT_EQ(more, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(seen, (std::vector<std::string>{"+r1", "+r2", "+r3", "+r4", "+r5"}));

    // Nothing new: the same token back, unless tokens are minted each time.
    auto idle = changes(*db, meshZone(), token);
    EXPECT_TRUE(idle.entries.empty());
    EXPECT_TRUE(idle.token->isEqual(*token));
    container->setMintTokenOnEveryFetch(true);
    auto minted = changes(*db, meshZone(), token);
    EXPECT_FALSE(minted.token->isEqual(*token));
    EXPECT_TRUE(changes(*db, meshZone(), minted.token).entries.empty());
}

TEST_F(CloudKitTest, ChangeFeedDeliversEachRecordOnceInItsFinalState) {
    auto start = changes(*db, meshZone(), nullptr).token;
    ASSERT_FALSE(modify(*db, {node("x")}).error);
    ASSERT_FALSE(modify(*db, {}, {RecordID("x", meshZone())}).error);
    ASSERT_FALSE(modify(*db, {node("x", meshZone(), 5)}).error);
    ASSERT_FALSE(modify(*db, {node("y")}).error);
    ASSERT_FALSE(modify(*db, {}, {RecordID("y", meshZone())}).error);
    auto feed = changes(*db, meshZone(), start);
    EXPECT_EQ(feed.entries, (std::vector<std::string>{"+x", "-y"}));
    EXPECT_EQ(feed.changed[0]->objectForKey("fileSize"), Value(5));
    // From the start only live records come, never deletions.
    EXPECT_EQ(changes(*db, meshZone(), nullptr).entries, std::vector<std::string>{"+x"});
}

TEST_F(CloudKitTest, ChangeTokensExpireAndDieWithTheirZoneIncarnationAndAccount) {
    ASSERT_FALSE(modify(*db, {node("a")}).error);
    auto t1 = changes(*db, meshZone(), nullptr).token;
    ASSERT_FALSE(modify(*db, {node("b")}).error);
    auto t2 = changes(*db, meshZone(), t1).token;

    // Archived tokens compare equal and still work.
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(t2));
    ASSERT_TRUE(data.ok());
    auto back = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
    ASSERT_TRUE(back.ok() && *back);
    auto restored = (*back)->asObjectOf<ServerChangeToken>();
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->isEqual(*t2));
    EXPECT_FALSE(changes(*db, meshZone(), restored).error);

    ASSERT_FALSE(container->admin().expireTokensBefore(DatabaseScope::Private, meshZone(), t2->sequence()));
    EXPECT_EQ(changes(*db, meshZone(), t1).error->code(), 21);
    EXPECT_FALSE(changes(*db, meshZone(), t2).error);

    // Another account's token for a zone of the same name.
    auto bob = openContainer(root, "bob", "mac-b");
    ASSERT_FALSE(createZone(*bob->privateCloudDatabase(), meshZone()));
    EXPECT_EQ(changes(*bob->privateCloudDatabase(), meshZone(), t2).error->code(), 21);

    // Deleted by the user: 28 until recreated, then old tokens are refused.
    ASSERT_FALSE(container->admin().deleteZoneAsUser(DatabaseScope::Private, meshZone()));
    EXPECT_EQ(changes(*db, meshZone(), t2).error->code(), 28);
    ASSERT_FALSE(createZone(*db, meshZone()));
    EXPECT_EQ(changes(*db, meshZone(), t2).error->code(), 21);
    auto fresh = changes(*db, meshZone(), nullptr);
    EXPECT_FALSE(fresh.error);
    EXPECT_TRUE(fresh.entries.empty());
}

// --- Zones ---------------------------------------------------------------------------

TEST_F(CloudKitTest, MissingAndUserDeletedZonesGiveTheirCodes) {
    const RecordZoneID other("other.zone");
    std::map<RecordZoneID, RecordZone> found;
    plat::ErrorPtr error;
    auto op = std::make_shared<FetchRecordZonesOperation>(std::vector<RecordZoneID>{meshZone(), other});
    op->fetchRecordZonesCompletionBlock = [&](auto zones, plat::ErrorPtr e) {
        found = zones;
        error = e;
    };
    db->addOperation(op);
    op->waitUntilFinished();
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(itemCode(error, other), 26);

    EXPECT_FALSE(createZone(*db, meshZone()));  // creating an existing zone succeeds
    EXPECT_EQ(itemCode(modify(*db, {node("a", other)}).error, RecordID("a", other)), 26);
    ASSERT_FALSE(container->admin().deleteZoneAsUser(DatabaseScope::Private, meshZone()));
    EXPECT_EQ(itemCode(modify(*db, {node("a")}).error, RecordID("a", meshZone())), 28);
    EXPECT_EQ(itemCode(fetch(*db, {RecordID("a", meshZone())}).error, RecordID("a", meshZone())), 28);
}

// --- Exactly-once blocks and dependencies ----------------------------------------------

TEST_F(CloudKitTest, EveryOperationCompletesExactlyOnceWhateverHappens) {
    enum class How { Succeeds, CancelledBeforeAdding, NetworkDown, SignedOut };
    for (How how : {How::Succeeds, How::CancelledBeforeAdding, How::NetworkDown, How::SignedOut}) {
        container->faults().setNetworkAvailable(how != How::NetworkDown);
        ASSERT_FALSE(container->setAccount(how == How::SignedOut ? std::nullopt
                                                                 : std::optional<std::string>("alice")));
        std::atomic<int> completions{0}, perItem{0};
        std::atomic<bool> itemAfterCompletion{false};
        std::thread::id itemThread, completionThread;
        auto fetchOp =
            std::make_shared<FetchRecordsOperation>(std::vector<RecordID>{RecordID("none", meshZone())});
        fetchOp->perRecordCompletionBlock = [&](RecordPtr, RecordID, plat::ErrorPtr) {
            itemAfterCompletion = itemAfterCompletion || completions > 0;
            itemThread = std::this_thread::get_id();
            ++perItem;
        };
        fetchOp->fetchRecordsCompletionBlock = [&](auto, plat::ErrorPtr) {
            completionThread = std::this_thread::get_id();
            ++completions;
        };
        auto user = FetchRecordsOperation::fetchCurrentUserRecordOperation();
        std::atomic<int> userCalls{0};
        user->perRecordCompletionBlock = [&](RecordPtr, RecordID, plat::ErrorPtr) { ++userCalls; };
        auto feed = std::make_shared<FetchRecordChangesOperation>(meshZone(), nullptr);
        feed->fetchRecordChangesCompletionBlock = [&](auto, auto, plat::ErrorPtr) { ++completions; };
        if (how == How::CancelledBeforeAdding) {
            fetchOp->cancel();
            user->cancel();
            feed->cancel();
        }
        for (auto op : std::vector<std::shared_ptr<DatabaseOperation>>{fetchOp, user, feed})
            db->addOperation(op);
        db->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(completions, 2) << int(how);
        EXPECT_EQ(userCalls, 1) << int(how);
        EXPECT_FALSE(itemAfterCompletion);
        if (how == How::Succeeds) {
            EXPECT_EQ(perItem, 1);
            EXPECT_EQ(itemThread, completionThread);
        }
        EXPECT_NE(completionThread, std::this_thread::get_id());
    }
}

TEST_F(CloudKitTest, AnOperationWaitsForADependencyInAnotherQueue) {
    plat::dispatch::OperationQueue other;
    other.setSuspended(true);
    std::atomic<bool> setupDone{false};
    auto setup = plat::dispatch::BlockOperation::create([&] { setupDone = true; });
    other.addOperation(setup);
    bool sawSetup = false;
    auto op = std::make_shared<FetchRecordZonesOperation>(std::vector<RecordZoneID>{meshZone()});
    op->addDependency(setup);
    op->fetchRecordZonesCompletionBlock = [&](auto, plat::ErrorPtr) { sawSetup = setupDone; };
    db->addOperation(op);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(op->isFinished());
    other.setSuspended(false);
    op->waitUntilFinished();
    EXPECT_TRUE(sawSetup);
    auto log = container->operationLog().entriesOfKind(OperationKind::FetchRecordZones);
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().dependenciesFinished);
}

TEST(CloudKitConcurrency, ConcurrentOperationsOfOneProcessLoseNothing) {
    testsupport::TempDir tmp;
    auto container = openContainer((tmp / "cloud").string(), "alice", "mac-a", /*workers=*/4);
    auto db = container->privateCloudDatabase();
    ASSERT_FALSE(createZone(*db, meshZone()));
    std::atomic<int> failures{0};
    std::vector<std::shared_ptr<ModifyRecordsOperation>> ops;
    for (int i = 0; i < 40; ++i) {
        auto op = std::make_shared<ModifyRecordsOperation>(std::vector<Record>{node("c" + std::to_string(i))},
                                                           std::vector<RecordID>{});
        op->modifyRecordsCompletionBlock = [&](auto, auto, plat::ErrorPtr e) { failures += e ? 1 : 0; };
        db->addOperation(op);
    }
    db->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(failures, 0);
    int pages = 0;
    EXPECT_EQ(allChanges(*db, meshZone(), nullptr, 7, &pages).entries.size(), 40u);
}

}  // namespace
}  // namespace cktest
