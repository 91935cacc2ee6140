// The server database when SQLite fails under it: a commit that cannot be
// written leaves every record and its asset content as they were, and values
// SQLite refuses make the operation fail instead of being stored as nothing.
#include <sqlite3.h>

#include <filesystem>

#include "CloudKitTestSupport.h"
#include "support/PowerLossVFS.h"

namespace cktest {
namespace {

namespace fs = std::filesystem;
using plat::Value;

plat::ErrorPtr deleteZone(Database& db, const RecordZoneID& zone) {
    plat::ErrorPtr error;
    auto op = std::make_shared<ModifyRecordZonesOperation>(std::vector<RecordZone>{},
                                                           std::vector<RecordZoneID>{zone});
    op->modifyRecordZonesCompletionBlock = [&](auto, auto, plat::ErrorPtr e) { error = e; };
    db.addOperation(op);
    op->waitUntilFinished();
    return error;
}

// The content of the record's "data" asset as a fetch delivers it, or the
// fetch's error code.
std::string assetContent(Database& db, const RecordID& id) {
    auto fetched = fetch(db, {id});
    if (fetched.error)
        return "error " + std::to_string(itemCode(fetched.error, id));
    auto asset = fetched.records.at(id)->objectForKey("data").asObjectOf<Asset>();
    return asset ? readFile(asset->fileURL()) : "no asset";
}

TEST(CloudServerFaults, AFailedCommitKeepsTheAssetContentItsRolledBackRecordsName) {
    testsupport::TempDir tmp;
    const std::string root = (tmp / "cloud").string();
    Record kept = node("kept"), replaced = node("replaced");
    kept.setObject("data", Value(Asset::make(writeFile((tmp / "one").string(), "kept content"))));
    replaced.setObject("data", Value(Asset::make(writeFile((tmp / "two").string(), "first content"))));
    {
        testsupport::PowerLossVFS vfs;
        auto container = openContainer(root);
        ASSERT_TRUE(container);
        auto db = container->privateCloudDatabase();
        ASSERT_FALSE(createZone(*db, meshZone()));
        auto saved = modify(*db, {kept, replaced});
        ASSERT_FALSE(saved.error);

        // From here on every write of the server database fails: the
        // transactions run, but their commits cannot be written.
        vfs.cutPowerAfter(0);
        Record update = *saved.saved[1];
        update.setObject("data", Value(Asset::make(writeFile((tmp / "three").string(), "second content"))));
        auto failedUpdate = modify(*db, {update}, {kept.recordID()});
        EXPECT_TRUE(failedUpdate.error);
        EXPECT_TRUE(deleteZone(*db, meshZone()));
        ASSERT_TRUE(vfs.powerCut());

        EXPECT_EQ(assetContent(*db, kept.recordID()), "kept content");
        EXPECT_EQ(assetContent(*db, replaced.recordID()), "first content");
        // The content of the update that never committed is gone again.
        EXPECT_EQ(container->admin().assetContents()->size(), 2u);
    }

    // A later process sees the same, and can still replace and delete.
    auto container = openContainer(root, "alice", "mac-b");
    ASSERT_TRUE(container);
    auto db = container->privateCloudDatabase();
    EXPECT_EQ(assetContent(*db, kept.recordID()), "kept content");
    EXPECT_EQ(assetContent(*db, replaced.recordID()), "first content");
    ASSERT_FALSE(modify(*db, {}, {kept.recordID()}).error);
    EXPECT_EQ(container->admin().assetContents()->size(), 1u);
    ASSERT_FALSE(deleteZone(*db, meshZone()));
    EXPECT_TRUE(container->admin().assetContents()->empty());
}

// Lowers SQLite's length limit on every connection opened while it lives, so
// that a test can offer values over it without allocating a gigabyte.
class LowLengthLimit {
  public:
    static constexpr int kLimit = 4000;
    LowLengthLimit() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&lower)); }
    ~LowLengthLimit() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&lower)); }

  private:
    static int lower(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kLimit);
        return SQLITE_OK;
    }
};

TEST(CloudServerFaults, AValueOverTheLengthLimitFailsTheOperationInsteadOfVanishing) {
    testsupport::TempDir tmp;
    LowLengthLimit limit;
    auto container = openContainer((tmp / "cloud").string());
    ASSERT_TRUE(container);
    auto db = container->privateCloudDatabase();
    ASSERT_FALSE(createZone(*db, meshZone()));
    ASSERT_FALSE(modify(*db, {node("small")}).error);

    // A parent reference whose zone name is over the limit: it used to be
    // stored as no parent, with the save reported done.
    const std::string longName(LowLengthLimit::kLimit + 10, 'z');
    Record child = node("child");
    child.setParent(Reference::make(RecordID("parent", RecordZoneID(longName)), ReferenceAction::None));
    auto saved = modify(*db, {child, node("sibling")});
    ASSERT_TRUE(saved.error);
    EXPECT_EQ(saved.error->code(), int64_t(ErrorCode::LimitExceeded)) << saved.error->description();
    EXPECT_NE(saved.error->description().find("too large"), std::string::npos) << saved.error->description();
    EXPECT_TRUE(saved.saved.empty());
    auto fetched = fetch(*db, {child.recordID(), RecordID("sibling", meshZone())});
    EXPECT_TRUE(fetched.records.empty());

    // A read whose value is over the limit fails instead of finding nothing.
    Query query;
    query.recordType = longName;
    auto op = std::make_shared<QueryOperation>(query);
    op->zoneID = meshZone();
    auto page = queryPage(*db, op);
    ASSERT_TRUE(page.error);
    EXPECT_EQ(page.error->code(), int64_t(ErrorCode::LimitExceeded)) << page.error->description();

    // Ordinary values still go through.
    ASSERT_FALSE(modify(*db, {node("after")}).error);
    EXPECT_EQ(fetch(*db, {RecordID("after", meshZone())}).records.size(), 1u);
}

}  // namespace
}  // namespace cktest
