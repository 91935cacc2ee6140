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

}  // namespace
}  // namespace cktest
