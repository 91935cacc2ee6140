#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

#include <gtest/gtest.h>

#include "platform/foundation/KeyedArchiver.h"
#include "sync/eventstore/SYNErrors.h"

namespace {

template <class T, class R = T>
std::shared_ptr<const R> roundTrip(const std::shared_ptr<T>& item) {
    SYNRegisterCloudItemClasses();
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(plat::Value(item));
    EXPECT_TRUE(data.ok());
    auto decoded = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
    EXPECT_TRUE(decoded.ok() && decoded->has_value());
    return decoded.ok() && decoded->has_value() ? (*decoded)->template asObjectOf<R>() : nullptr;
}

TEST(SYNCloudItemTest, FileArchivesPathNameSizeAndClassVersion) {
    auto file =
        std::make_shared<SYNCloudFile>("/m/events/1_a_2.synevent", "1_a_2.synevent", 1234567890123ULL);
    auto back = roundTrip(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path(), file->path());
    EXPECT_EQ(back->name(), file->name());
    EXPECT_EQ(back->size(), 1234567890123ULL);
    EXPECT_FALSE(back->canContainChildren());

    SYNRegisterCloudItemClasses();
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(plat::Value(file));
    auto coder = plat::KeyedUnarchiver::create(*data);
    ASSERT_TRUE(coder.ok());
    auto root = (*coder)->decodeObject("root");
    ASSERT_TRUE(root.has_value());
}

class SizelessFile : public SYNCloudFile {
  public:
    std::string className() const override { return "SYNCloudFile"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override {
        coder.encodeInt64(0, "classVersion");
        coder.encodeObject(plat::Value(std::string("/p")), "path");
        coder.encodeObject(plat::Value(std::string("p")), "name");
    }
};

TEST(SYNCloudItemTest, FileWithoutSizeNumberReadsSizeZero) {
    auto back = roundTrip<SizelessFile, SYNCloudFile>(std::make_shared<SizelessFile>());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "p");
    EXPECT_EQ(back->size(), 0u);
}

TEST(SYNCloudItemTest, DirectoryDropsContentsWhenArchived) {
    auto directory = std::make_shared<SYNCloudDirectory>("/m/data", "data");
    directory->contents.push_back(std::make_shared<SYNCloudFile>("/m/data/x", "x", 1));
    auto back = roundTrip(directory);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path(), "/m/data");
    EXPECT_EQ(back->name(), "data");
    EXPECT_TRUE(back->contents.empty());
    EXPECT_TRUE(back->canContainChildren());
}

TEST(SYNCloudItemTest, CopyIsIndependentOfTheOriginal) {
    auto file = std::make_shared<SYNCloudFile>("/a", "a", 3);
    auto copy = file->copy();
    file->setName("b");
    EXPECT_EQ(copy->name(), "a");
    EXPECT_EQ(copy->size(), 3u);
}

TEST(SYNCloudItemTest, DescriptionEndsWithOneLinePerKey) {
    SYNCloudFile file("/m/x", "x", 7);
    auto text = file.description();
    const std::string tail = "\rpath: /m/x; \rname: x; \rsize: 7; \r";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    SYNCloudDirectory directory("/m", "m");
    EXPECT_NE(directory.description().find("\rpath: /m; \rname: m; \r"), std::string::npos);
}

class BareFileSystem : public SYNCloudFileSystem {
  public:
    bool isConnected() const override { return true; }
    void fetchUserIdentityWithCompletion(IdentityCompletion) override {}
    void connect(Completion) override {}
    void fileExistsAtPath(const std::string&, ExistenceCompletion) override {}
    void createDirectoryAtPath(const std::string&, Completion) override {}
    void contentsOfDirectoryAtPath(const std::string&, ListingCompletion) override {}
    void removeItemAtPath(const std::string&, Completion) override {}
    void uploadLocalFile(const std::string&, const std::string&, Completion) override {}
    void downloadFromPath(const std::string&, const std::string&, Completion) override {}
};

TEST(SYNCloudFileSystemTest, MissingOptionalMembersRefuseToRun) {
    BareFileSystem fs;
    EXPECT_FALSE(fs.respondsToMember(SYNCloudFileSystem::OptionalMember::RemoveItemsAtPaths));
    EXPECT_THROW(fs.removeItemsAtPaths({}, nullptr), SYNException);
    EXPECT_THROW((void)fs.fileUploadMaximumBatchSize(), SYNException);
}

}  // namespace

namespace {

TEST(SYNCloudFileSystemTest, ListingAsEntriesIsOptional) {
    BareFileSystem fs;
    EXPECT_FALSE(fs.respondsToMember(SYNCloudFileSystem::OptionalMember::EntriesOfDirectoryAtPath));
    EXPECT_THROW(fs.entriesOfDirectoryAtPath("/events", nullptr), SYNException);
}

}  // namespace
