#include "platform/foundation/FileHandle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

using plat::Data;
using plat::FileHandle;

std::string contents(const std::string& path) {
    auto data = plat::FileManager::defaultManager().contentsAtPath(path);
    return data ? data->toString() : "<missing>";
}

TEST(FileHandleTest, WritesAppendsSeeksAndTruncates) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/f";
    std::ofstream(path) << "hello world";
    auto handle = FileHandle::forWritingAtPath(path);
    ASSERT_TRUE(handle) << handle.error()->description();
    EXPECT_EQ(*handle->offset(), 0u);  // opened without truncating
    EXPECT_EQ(handle->write(Data::fromString("J")), nullptr);
    EXPECT_EQ(contents(path), "Jello world");
    EXPECT_EQ(*handle->seekToEnd(), 11u);
    EXPECT_EQ(handle->write(Data::fromString("!")), nullptr);
    EXPECT_EQ(handle->synchronize(), nullptr);
    EXPECT_EQ(contents(path), "Jello world!");
    EXPECT_EQ(handle->truncate(5), nullptr);
    EXPECT_EQ(*handle->offset(), 5u);
    EXPECT_EQ(handle->write(Data::fromString("s")), nullptr);
    EXPECT_EQ(contents(path), "Jellos");
    EXPECT_EQ(handle->close(), nullptr);
    EXPECT_EQ(handle->close(), nullptr);  // twice is harmless
    EXPECT_NE(handle->write(Data::fromString("x")), nullptr);
}

TEST(FileHandleTest, ReadsPiecesAndTheRest) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/f";
    std::ofstream(path) << std::string(100000, 'a') << "tail";
    auto handle = FileHandle::forReadingAtPath(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->readDataOfLength(3)->toString(), "aaa");
    EXPECT_EQ(handle->readDataToEndOfFile()->length(), 100001u);
    EXPECT_EQ(handle->readDataOfLength(10)->length(), 0u);  // at the end
    EXPECT_EQ(handle->seek(100000), nullptr);
    EXPECT_EQ(handle->readDataToEndOfFile()->toString(), "tail");
    EXPECT_NE(handle->write(Data::fromString("x")), nullptr);  // read-only

    auto moved = std::move(handle).value();
    EXPECT_EQ(moved.path(), path);
    auto updating = FileHandle::forUpdatingAtPath(path);
    ASSERT_TRUE(updating);
    EXPECT_EQ(updating->write(Data::fromString("b")), nullptr);
    EXPECT_EQ(updating->seek(0), nullptr);
    EXPECT_EQ(updating->readDataOfLength(2)->toString(), "ba");
}

TEST(FileHandleTest, MissingFilesAreNotCreated) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/missing";
    auto reading = FileHandle::forReadingAtPath(path);
    ASSERT_FALSE(reading);
    EXPECT_EQ(reading.error()->code(), plat::FileReadNoSuchFileError);
    auto writing = FileHandle::forWritingAtPath(path);
    ASSERT_FALSE(writing);
    EXPECT_EQ(writing.error()->code(), plat::FileNoSuchFileError);
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExistsAtPath(path));
}

}  // namespace
