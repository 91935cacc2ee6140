// The record cache: tree building from change-feed deliveries, the states in
// which look-ups may answer, and its file.
#include "sync/mesh/cloudfs/SYNCloudKitRecordCache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "support/TempDir.h"

namespace {

using namespace plat::cloudkit;
using plat::Value;

const RecordZoneID kZone("app.meshes.zone.schema2");

SYNCloudKitRecordFormat format() {
    return SYNCloudKitRecordFormat(2, "/", kZone, false);
}

std::shared_ptr<const ServerChangeToken> token(int64_t seq) {
    return std::make_shared<const ServerChangeToken>("a:2", kZone, 1, seq);
}

std::set<std::string> names(const SYNCloudKitRecordCache& cache, const std::string& path) {
    std::set<std::string> out;
    auto listing = cache.contentsOfDirectoryAtPath(path);
    if (listing)
        for (const auto& item : listing->items)
            out.insert(item->name());
    return out;
}

// "/", "/a" and "/a/b" delivered in one pass from the start.
void loadTree(SYNCloudKitRecordCache& cache) {
    cache.beginPass();
    cache.applyChangedRecord(format().createRootRecord());
    cache.applyChangedRecord(format().directoryRecordForPath("/a"));
    cache.applyChangedRecord(format().fileRecordForPath("/a/b", 4, "/tmp/x"));
    cache.finishPass(token(3));
}

TEST(SYNCloudKitRecordCache, BuildsTheTreeFromDeliveriesAndKeepsDeletedDirectoriesEntries) {
    SYNCloudKitRecordCache cache(format());
    loadTree(cache);
    ASSERT_EQ(cache.state(), SYNCloudKitRecordCache::State::Loaded);
    EXPECT_EQ(names(cache, "/"), std::set<std::string>{"a"});
    EXPECT_EQ(names(cache, "/a"), std::set<std::string>{"b"});

    // Re-delivering a directory keeps its children; other types and names
    // without the prefix are ignored, deletions included.
    cache.beginPass();
    cache.applyChangedRecord(format().directoryRecordForPath("/a"));
    cache.applyChangedRecord(Record("SYNDataFile", format().recordIDForPath("/a/c")));
    cache.applyChangedRecord(Record("SYNFileSystemNode", RecordID("/a/d", kZone)));
    cache.applyDeletedRecordID(RecordID("/a/b", kZone));
    EXPECT_EQ(names(cache, "/a"), std::set<std::string>{"b"});

    cache.applyDeletedRecordID(format().recordIDForPath("/a/b"));
    cache.applyDeletedRecordID(format().recordIDForPath("/a"));
    cache.finishPass(token(5));
    EXPECT_TRUE(names(cache, "/").empty());
    auto emptied = cache.contentsOfDirectoryAtPath("/a");
    ASSERT_TRUE(emptied);
    EXPECT_TRUE(emptied->found);
    EXPECT_TRUE(emptied->items.empty());
    auto records = cache.recordsAtPaths({"/a", "/", "a/b"});
    ASSERT_TRUE(records);
    EXPECT_FALSE((*records)[0]);
    EXPECT_TRUE((*records)[1]);
    EXPECT_FALSE((*records)[2]);
    EXPECT_FALSE(cache.contentsOfDirectoryAtPath("/missing")->found);
}

TEST(SYNCloudKitRecordCache, OnlyALoadedCacheAnswersLookups) {
    SYNCloudKitRecordCache cache(format());
    EXPECT_EQ(cache.state(), SYNCloudKitRecordCache::State::Cleared);
    EXPECT_FALSE(cache.recordsAtPaths({"/"}));
    cache.beginPass();
    cache.applyChangedRecord(format().createRootRecord());
    // Filling (a fetch from the start running or failed): incomplete, so no answers.
    EXPECT_EQ(cache.state(), SYNCloudKitRecordCache::State::Filling);
    EXPECT_FALSE(cache.recordsAtPaths({"/"}));
    EXPECT_FALSE(cache.contentsOfDirectoryAtPath("/"));
    EXPECT_TRUE(cache.finishPass(token(1)));
    EXPECT_TRUE(cache.recordsAtPaths({"/"}));
    EXPECT_FALSE(cache.finishPass(token(1)));  // the same token: nothing to store
    EXPECT_TRUE(cache.finishPass(token(2)));
    cache.clear();
    EXPECT_EQ(cache.state(), SYNCloudKitRecordCache::State::Cleared);
}

TEST(SYNCloudKitRecordCache, FileRoundTripsAndDamagedOrPartialFilesLeaveItCleared) {
    testsupport::TempDir tmp;
    const std::string name = SYNCloudKitRecordCache::cacheFilename(kZone);
    EXPECT_EQ(name.size(), 32 + std::string(".syncloudkitcache.v2").size());
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), 32u);
    EXPECT_NE(name,
              SYNCloudKitRecordCache::cacheFilename(RecordZoneID("app.meshes.zone.schema2", "someone")));
    const std::string path = (tmp / name).string();

    SYNCloudKitRecordCache cache(format());
    loadTree(cache);
    ASSERT_FALSE(cache.storeToFile(path));
    SYNCloudKitRecordCache restored(format());
    restored.loadFromFile(path);
    ASSERT_EQ(restored.state(), SYNCloudKitRecordCache::State::Loaded);
    EXPECT_TRUE(restored.serverChangeToken()->isEqual(*token(3)));
    EXPECT_EQ(names(restored, "/a"), std::set<std::string>{"b"});
    EXPECT_EQ((*restored.recordsAtPaths({"/a/b"}))[0]->objectForKey("fileSize"), Value(uint64_t(4)));

    // Only the records: ignored, and the file stays.
    plat::Dictionary partial;
    partial.set("recordsByFullPath", Value(plat::Dictionary{}));
    ASSERT_FALSE(plat::KeyedArchiver::archiveRootObject(Value(partial), path));
    restored.loadFromFile(path);
    EXPECT_EQ(restored.state(), SYNCloudKitRecordCache::State::Cleared);
    EXPECT_TRUE(std::filesystem::exists(path));

    // Not an archive at all: deleted.
    std::ofstream(path, std::ios::trunc) << "garbage";
    restored.loadFromFile(path);
    EXPECT_EQ(restored.state(), SYNCloudKitRecordCache::State::Cleared);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
