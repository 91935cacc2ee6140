// The export's files, each written in place under its new name: whole, with
// the mode a new file gets, nothing left beside them or after a failed
// write; and the export's folder, emptied at each export and made again
// when it has gone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/FaultFileEnvironment.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
namespace fs = std::filesystem;

class SYNEventExportFolderTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        folder = source->pathToTemporaryDirectory() + "/EventMigrator";
    }

    template <class Export = SYNJSONEventExport>
    std::vector<std::string> exportEvent(
        const plat::coredata::ManagedObjectIDPtr& id,
        std::shared_ptr<const plat::coredata::ManagedObjectModel> model = applicationModel()) {
        auto operation = std::make_shared<Export>(source, id, std::move(model));
        run(operation);
        EXPECT_EQ(operation->error(), nullptr);
        return operation->filePaths();
    }

    std::set<std::string> inFolder() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.insert(entry.path().string());
        }
        return names;
    }

    static std::string contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void stray(const std::string& path) { std::ofstream(path) << "left by someone"; }

    std::string folder;
};

TEST_F(SYNEventExportFolderTest, FilesAreWrittenWholeWithTheModeOfANewFile) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 45);
    const mode_t previous = ::umask(027);
    auto files = exportEvent(id, smallBatchModel());
    ::umask(previous);
    ASSERT_GT(files.size(), 1u);
    // Only the files named: no temporary file is left beside them.
    EXPECT_EQ(inFolder(), std::set<std::string>(files.begin(), files.end()));
    std::size_t persons = 0;
    for (const auto& file : files) {
        struct stat st;
        ASSERT_EQ(::lstat(file.c_str(), &st), 0) << file;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0640u) << file;
        auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(file);
        ASSERT_TRUE(object.ok()) << file;
        if (const auto* person = object->find("changesByEntity")->find("Person")) {
            persons += person->asArray()->size();
        }
        // What the serializer makes of the file's document is the file.
        auto again = plat::JSONSerialization::dataWithJSONObject(*object);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(contents(file),
                  std::string(reinterpret_cast<const char*>(again->bytes()), again->length()));
    }
    // The same changes as the event's export in one file.
    auto whole = exportEvent(id);
    ASSERT_EQ(whole.size(), 1u);
    auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(whole.front());
    ASSERT_TRUE(object.ok());
    EXPECT_EQ(persons, object->find("changesByEntity")->find("Person")->asArray()->size());
    EXPECT_GE(persons, 45u);
}

TEST_F(SYNEventExportFolderTest, EachExportEmptiesTheFolderOfWhatWasLeftInIt) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 4);
    fs::create_directories(folder);
    stray(folder + "/from-before");
    auto first = exportEvent(id);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(inFolder(), std::set<std::string>{first.front()});

    // Left in place (a failed hand-on), with a stray file and folder.
    const std::string firstBytes = contents(first.front());
    stray(folder + "/stray");
    fs::create_directories(folder + "/inner");
    stray(folder + "/inner/file");
    auto second = exportEvent(id);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second, first);
    EXPECT_EQ(inFolder(), std::set<std::string>{second.front()});
    EXPECT_EQ(contents(second.front()), firstBytes);

    // Moved away, as the cloud manager does: the moved file is left alone.
    fs::rename(second.front(), root.str() + "/moved");
    auto third = exportEvent(id);
    EXPECT_EQ(inFolder(), std::set<std::string>(third.begin(), third.end()));
    EXPECT_EQ(contents(root.str() + "/moved"), contents(third.front()));
}

TEST_F(SYNEventExportFolderTest, AFailedWriteFailsTheExportAndLeavesNoFile) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 45);
    using Call = testsupport::FaultFileEnvironment::Call;
    for (const auto call : {Call::WriteAll, Call::Close}) {
        plat::ErrorPtr error;
        {
            testsupport::FaultFileEnvironment environment;
            environment.failNext(call, ENOSPC);
            auto operation = std::make_shared<SYNJSONEventExport>(source, id, smallBatchModel());
            run(operation);
            error = operation->error();
            EXPECT_TRUE(operation->filePaths().empty());
        }
        ASSERT_NE(error, nullptr);
        // Nothing half written is left where the file was to be.
        EXPECT_TRUE(inFolder().empty()) << (call == Call::WriteAll ? "write" : "close");
    }
    // And the export after them writes every file.
    auto files = exportEvent(id, smallBatchModel());
    EXPECT_GT(files.size(), 1u);
}

TEST_F(SYNEventExportFolderTest, AFolderRemovedDuringTheExportIsMadeAgain) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 4);
    auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
    fs::remove_all(folder);
    run(operation);
    EXPECT_EQ(operation->error(), nullptr);
    auto files = operation->filePaths();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(plat::JSONSerialization::JSONObjectWithContentsOfFile(files.front()).ok());
    // The next export empties it as before.
    stray(files.front());
    auto next = exportEvent(id);
    EXPECT_EQ(inFolder(), std::set<std::string>(next.begin(), next.end()));
}

TEST_F(SYNEventExportFolderTest, AFileThatCannotBeWrittenFailsTheExportAndLeavesNothing) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 4);
    auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
    // Something that is not a folder where the folder goes: no file can be made.
    fs::remove_all(folder);
    stray(folder);
    run(operation);
    EXPECT_NE(operation->error(), nullptr);
    EXPECT_TRUE(operation->filePaths().empty());
    EXPECT_TRUE(fs::is_regular_file(folder));
    fs::remove(folder);
    // The next export makes the folder and writes.
    auto next = exportEvent(id);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(inFolder(), std::set<std::string>(next.begin(), next.end()));
}

}  // namespace
