// The batch import's reading of a file's text, and the export's text of an
// event, on real folders: what a file holds (its size, the blanks around
// it) decides what is imported, never the buffer it is read into.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "EventFileFixture.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::coredata::ManagedObjectContext;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class SYNEventFileTextTest : public EventFileTest {
  protected:
    std::vector<plat::coredata::ManagedObjectIDPtr> batchImport(const std::vector<std::string>& paths) {
        SYNJSONEventBatchImport operation(destination, paths, 100000);
        operation.start();
        return operation.eventIDs();
    }

    // The event of one file imported one by one (the file read whole by the
    // file manager) into a store of its own, described; "<none>" when the
    // file is refused.
    std::string importedOneByOne(const std::string& path, const std::string& uid) {
        auto store = makeStore("single" + std::to_string(++singles_));
        auto operation = std::make_shared<SYNJSONEventImport>(store, std::vector<std::string>{path});
        run(operation);
        return operation->eventID() ? describeEvent(store, uid) : "<none>";
    }

    int singles_ = 0;
};

// The text of a large event (over a hundred kilobytes, in one file), the same text with
// blanks before and after, cut by a byte, to its first byte or to nothing,
// or not an object: the batch import takes exactly what the one-by-one
// import takes, and both give back the source's event.
TEST_F(SYNEventFileTextTest, TheBatchImportTakesWhatTheOneByOneImportTakesWhateverTheFileHolds) {
    writeEvent(source, "BIG", SYNStoreModificationEventTypeSave, 1, 1, 1500);
    const std::string exported = exportedTo(root.str() + "/in/BIG", 1, {SYNStoreModificationEventTypeSave});
    ASSERT_FALSE(exported.empty());
    const std::string text = contents(exported);
    ASSERT_GT(text.size(), 100000u);
    ASSERT_EQ(text.front(), '{');
    const std::string expected = describeEvent(source, "BIG");

    const std::string dir = root.str() + "/in/";
    struct Case {
        const char* name;
        std::string bytes;
        bool imported;
    };
    const std::vector<Case> cases = {
        {"exact", text, true},
        {"blanks", " \n\t\r  " + text + "\n \t", true},
        {"nothing", "", false},
        {"only-blanks", " \n\t\r ", false},
        {"brace", "{", false},
        {"cut", text.substr(0, text.size() - 1), false},
        {"array", "[" + text + "]", false},
        {"after-blanks-not-an-object", " \n 7", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(dir + c.name, c.bytes);
        ASSERT_EQ(contents(dir + c.name), c.bytes);
        const std::string single = importedOneByOne(dir + c.name, "BIG");
        EXPECT_EQ(single, c.imported ? expected : "<none>");
    }
    // The refused files in one batch: nothing imported, and nothing waits.
    const auto refused = batchImport({dir + "nothing", dir + "only-blanks", dir + "brace", dir + "cut",
                                      dir + "array", dir + "after-blanks-not-an-object"});
    ASSERT_EQ(refused.size(), 6u);
    for (const auto& id : refused) {
        EXPECT_EQ(id, nullptr);
    }
    EXPECT_EQ(countEvents(destination), 0u);
    for (const char* name : {"exact", "blanks"}) {
        SCOPED_TRACE(name);
        auto store = makeStore(std::string("batch-") + name);
        SYNJSONEventBatchImport operation(store, {dir + name}, 100000);
        operation.start();
        const auto ids = operation.eventIDs();
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_NE(ids[0], nullptr);
        EXPECT_EQ(describeEvent(store, "BIG"), expected);
        EXPECT_EQ(countEvents(store), 1u);
    }
}

// Files of every size from one byte to a few kilobytes around a small
// event's text (its prefix padded with blanks up to the size): only those
// holding the whole text are imported, whatever the size of the buffer.
TEST_F(SYNEventFileTextTest, FilesOfEverySizeAroundAnEventAreTakenOnlyWhole) {
    writeEvent(source, "SMALL", SYNStoreModificationEventTypeSave, 1, 1, 1);
    const std::string exported = exportedTo(root.str() + "/in/SMALL", 1, {SYNStoreModificationEventTypeSave});
    ASSERT_FALSE(exported.empty());
    const std::string text = contents(exported);
    const std::string dir = root.str() + "/sizes/";
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths;
    std::vector<bool> whole;
    std::set<std::size_t> sizes{text.size() - 1, text.size(), text.size() + 1};
    for (std::size_t size = 1; size <= text.size() + 64; size += size < 64 ? 1 : 37) {
        sizes.insert(size);
    }
    for (const std::size_t size : sizes) {
        std::string bytes = text.substr(0, std::min(size, text.size()));
        bytes.resize(size, ' ');
        paths.push_back(dir + std::to_string(size));
        write(paths.back(), bytes);
        whole.push_back(size >= text.size());
    }
    // Every file in a batch of its own, a whole one into a store of its own
    // (the event is imported once a store).
    int stores = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto store = whole[i] ? makeStore("whole" + std::to_string(++stores)) : destination;
        SYNJSONEventBatchImport operation(store, {paths[i]}, 100000);
        operation.start();
        const auto ids = operation.eventIDs();
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_EQ(ids[0] != nullptr, whole[i]) << paths[i];
        if (whole[i]) {
            EXPECT_EQ(describeEvent(store, "SMALL"), describeEvent(source, "SMALL")) << paths[i];
        }
    }
    EXPECT_GE(stores, 2);
    EXPECT_EQ(countEvents(destination), 0u);
}

}  // namespace
