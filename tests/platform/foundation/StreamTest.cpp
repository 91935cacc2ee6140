#include "platform/foundation/Stream.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

namespace {

using plat::Data;
using plat::InputStream;
using plat::OutputStream;
using plat::StreamStatus;

// Reads the whole stream in pieces of `piece` bytes.
std::string drain(InputStream& stream, std::size_t piece) {
    std::string out;
    std::vector<uint8_t> buffer(piece);
    for (;;) {
        const auto n = stream.read(buffer.data(), buffer.size());
        EXPECT_GE(n, 0);
        if (n <= 0)
            return out;
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
}

TEST(StreamTest, InputOverDataAndFileReadsInPiecesToTheEnd) {
    testsupport::TempDir dir;
    const std::string text = std::string(5000, 'x') + "end";
    std::ofstream(dir.str() + "/f") << text;
    std::unique_ptr<InputStream> streams[] = {
        InputStream::withData(Data::fromString(text)), InputStream::withFileAtPath(dir.str() + "/f"),
        InputStream::withURL(plat::URL::fileURLWithPath(dir.str() + "/f"))};
    for (auto& stream : streams) {
        ASSERT_TRUE(stream);
        uint8_t byte;
        EXPECT_EQ(stream->read(&byte, 1), -1);  // not open yet
        EXPECT_EQ(stream->status(), StreamStatus::NotOpen);
        stream->open();
        EXPECT_EQ(stream->status(), StreamStatus::Open);
        EXPECT_TRUE(stream->hasBytesAvailable());
        EXPECT_EQ(drain(*stream, 1024), text);
        EXPECT_EQ(stream->status(), StreamStatus::AtEnd);
        EXPECT_FALSE(stream->hasBytesAvailable());
        EXPECT_EQ(stream->read(&byte, 1), 0);
        stream->close();
        EXPECT_EQ(stream->status(), StreamStatus::Closed);
        EXPECT_EQ(stream->error(), nullptr);
    }
    EXPECT_EQ(InputStream::withURL(*plat::URL::URLWithString("http://h/f")), nullptr);
    auto empty = InputStream::withData(Data());
    empty->open();
    EXPECT_FALSE(empty->hasBytesAvailable());
}

TEST(StreamTest, MissingFileFailsOnOpenWithThePosixError) {
    auto stream = InputStream::withFileAtPath("/nonexistent/file");
    stream->open();
    EXPECT_EQ(stream->status(), StreamStatus::Error);
    ASSERT_NE(stream->error(), nullptr);
    EXPECT_EQ(stream->error()->domain(), plat::POSIXErrorDomain);
    EXPECT_EQ(stream->error()->code(), ENOENT);
    uint8_t byte;
    EXPECT_EQ(stream->read(&byte, 1), -1);
}

TEST(StreamTest, OutputToMemoryAndFilesTruncatesOrAppends) {
    auto memory = OutputStream::toMemory();
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(memory->write(abc, 3), -1);  // not open yet
    memory->open();
    EXPECT_TRUE(memory->hasSpaceAvailable());
    EXPECT_EQ(memory->write(abc, 3), 3);
    EXPECT_EQ(memory->write(abc, 1), 1);
    EXPECT_EQ(memory->dataWrittenToMemory().toString(), "abca");
    memory->close();
    EXPECT_EQ(memory->write(abc, 1), -1);

    testsupport::TempDir dir;
    const std::string path = dir.str() + "/out";
    std::ofstream(path) << "old contents";
    for (bool append : {false, true}) {
        auto file = OutputStream::toURL(plat::URL::fileURLWithPath(path), append);
        ASSERT_TRUE(file);
        file->open();
        EXPECT_EQ(file->write(abc, 3), 3);
        file->close();
    }
    EXPECT_EQ(plat::FileManager::defaultManager().contentsAtPath(path)->toString(), "abcabc");

    auto refused = OutputStream::toFileAtPath(dir.str() + "/no/such/folder/f", false);
    refused->open();
    EXPECT_EQ(refused->status(), StreamStatus::Error);
    EXPECT_EQ(refused->error()->code(), ENOENT);
}

}  // namespace
