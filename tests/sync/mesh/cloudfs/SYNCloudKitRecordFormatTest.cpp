// Record names are stored data: the path mapping, the node records and the
// items made from them, and the partial-error test.
#include "sync/mesh/cloudfs/SYNCloudKitRecordFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace plat::cloudkit;
using plat::Value;

const RecordZoneID kZone("app.meshes.zone.schema2");

TEST(SYNCloudKitRecordFormat, PathsMapToRecordNamesWithoutNormalisation) {
    struct Case {
        uint64_t schema;
        std::string root;
        std::string path;
        std::string fullPath;
        std::string recordName;
    };
    const std::vector<Case> cases = {
        {2, "/", "/stores/a", "/stores/a", "SYNFileSystemNode_/stores/a"},
        {2, "/", "stores/a", "/stores/a", "SYNFileSystemNode_/stores/a"},
        {2, "/", "/", "/", "SYNFileSystemNode_/"},
        {2, "/", "", "/", "SYNFileSystemNode_/"},
        {2, "/r", "a", "/ra", "SYNFileSystemNode_/ra"},
        {2, "/r/", "/a//b/", "/r/a//b/", "SYNFileSystemNode_/r/a//b/"},
        {1, "/", "/stores/a", "/stores/a", "/stores/a"},
        {7, "/", "/x", "/x", "SYNFileSystemNode_/x"},  // other versions behave as 2
    };
    for (const auto& c : cases) {
        SYNCloudKitRecordFormat format(c.schema, c.root, kZone, false);
        EXPECT_EQ(format.fullPathForPath(c.path), c.fullPath) << c.path;
        RecordID id = format.recordIDForPath(c.path);
        EXPECT_EQ(id.recordName(), c.recordName);
        EXPECT_EQ(id.zoneID(), kZone);
        EXPECT_EQ(format.fullPathFromRecordID(id), c.fullPath);
    }
    SYNCloudKitRecordFormat noZone(2, "/", std::nullopt, false);
    EXPECT_TRUE(noZone.recordIDForPath("/a").zoneID().isDefaultZone());
    // The prefix is dropped by length, whatever the name holds.
    EXPECT_EQ(noZone.fullPathFromRecordID(RecordID("DataFile_/abcdefghijk")), "ijk");
    EXPECT_EQ(noZone.fullPathFromRecordID(RecordID("short")), "");
}

TEST(SYNCloudKitRecordFormat, NodeRecordsCarryTheirFieldsAndParentLinks) {
    SYNCloudKitRecordFormat format(2, "/", kZone, false);
    Record root = format.createRootRecord();
    EXPECT_EQ(root.recordType(), "SYNFileSystemNode");
    EXPECT_EQ(root.recordID().recordName(), "SYNFileSystemNode_/");
    EXPECT_EQ(root.objectForKey("path"), Value("/"));
    EXPECT_EQ(root.objectForKey("isDirectory"), Value(true));
    EXPECT_TRUE(root.objectForKey("directory").isNull());

    Record dir = format.directoryRecordForPath("/stores/events");
    auto dirRef = dir.objectForKey("directory").asObjectOf<Reference>();
    ASSERT_TRUE(dirRef);
    EXPECT_EQ(dirRef->recordID().recordName(), "SYNFileSystemNode_/stores");
    EXPECT_EQ(dirRef->action(), ReferenceAction::DeleteSelf);
    EXPECT_FALSE(dir.parent());

    Record file = format.fileRecordForPath("stores/events/e1", uint64_t(1) << 40, "/tmp/content");
    auto fileRef = file.objectForKey("directory").asObjectOf<Reference>();
    EXPECT_EQ(fileRef->action(), ReferenceAction::None);
    EXPECT_EQ(file.objectForKey("fileSize"), Value(uint64_t(1) << 40));
    EXPECT_EQ(file.objectForKey("data").asObjectOf<Asset>()->fileURL(), "/tmp/content");

    SYNCloudKitRecordFormat shared(2, "/", kZone, true);
    Record sharedDir = shared.directoryRecordForPath("/a");
    ASSERT_TRUE(sharedDir.parent());
    EXPECT_EQ(sharedDir.parent()->recordID().recordName(), "SYNFileSystemNode_/");
    EXPECT_EQ(sharedDir.parent()->action(), ReferenceAction::None);

    SYNCloudKitRecordFormat schema1(1, "/", kZone, false);
    Record node = schema1.fileRecordForPath("/a", 3, "/tmp/content");
    EXPECT_EQ(node.recordType(), "SYNItem");
    EXPECT_TRUE(node.objectForKey("data").isNull());
    Record data = schema1.dataRecordForPath("/a", "/tmp/content");
    EXPECT_EQ(data.recordType(), "SYNDataFile");
    EXPECT_EQ(data.recordID().recordName(), "DataFile_/a");
    EXPECT_EQ(data.objectForKey("file").asObjectOf<Reference>()->recordID(), node.recordID());
    EXPECT_TRUE(data.objectForKey("directory").isNull());
}

TEST(SYNCloudKitRecordFormat, ItemsTakeNameAndRootRelativePathFromTheRecordName) {
    SYNCloudKitRecordFormat format(2, "/", kZone, false);
    auto file = std::dynamic_pointer_cast<SYNCloudFile>(
        format.itemForRecord(format.fileRecordForPath("/stores/a", 12, "/tmp/c")));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name(), "a");
    EXPECT_EQ(file->path(), "stores/a");
    EXPECT_EQ(file->size(), 12u);
    auto dir = format.itemForRecord(format.directoryRecordForPath("/stores"));
    EXPECT_TRUE(dir->canContainChildren());
    // A record without "fileSize" is a file of size 0.
    Record bare("SYNFileSystemNode", format.recordIDForPath("/b"));
    auto sized = std::dynamic_pointer_cast<SYNCloudFile>(format.itemForRecord(bare));
    ASSERT_TRUE(sized);
    EXPECT_EQ(sized->size(), 0u);
}

TEST(SYNCloudKitRecordFormat, PartialErrorTestLooksOnlyAtThePerItemErrors) {
    auto items = [](std::vector<int64_t> codes) {
        ItemErrors errors;
        for (std::size_t i = 0; i < codes.size(); ++i)
            errors[RecordID("r" + std::to_string(i))] = makeError(static_cast<ErrorCode>(codes[i]));
        return makePartialError(std::move(errors));
    };
    struct Case {
        plat::ErrorPtr error;
        bool onlyUnknownItems;
    };
    const std::vector<Case> cases = {
        {items({11, 11}), true}, {items({11, 14}), false},
        {items({}), true},       {makeError(ErrorCode::UnknownItem), false},
        {nullptr, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(SYNCloudKitRecordFormat::partialErrorOnlyIncludesErrorCode(cases[i].error, 11),
                  cases[i].onlyUnknownItems)
            << i;
}

}  // namespace
