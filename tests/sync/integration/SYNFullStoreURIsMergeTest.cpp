// A machine whose event store was written before store URIs were kept short
// (no prefix list in its metadata) goes on with full URIs through saves and
// merges, and converges with a machine whose store keeps them short.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/IntegrationFixture.h"

namespace integrationtest {
namespace {

class SYNFullStoreURIsMergeTest : public IntegrationTest {
  protected:
    std::filesystem::path eventsFile(const std::string& name) const {
        return root.path() / name / "events" / "mesh" / "events.sqlite";
    }

    // The identifier records' store URIs as the file holds them (null ones
    // left out).
    std::vector<std::string> storedURIs(const std::string& name) const {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(eventsFile(name).c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* rows = nullptr;
        EXPECT_EQ(
            sqlite3_prepare_v2(db, "SELECT ZSTOREURI FROM Z_SYNGLOBALIDENTIFIER WHERE ZSTOREURI IS NOT NULL",
                               -1, &rows, nullptr),
            SQLITE_OK);
        std::vector<std::string> uris;
        while (sqlite3_step(rows) == SQLITE_ROW) {
            uris.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
        }
        sqlite3_finalize(rows);
        sqlite3_close(db);
        return uris;
    }
};

TEST_F(SYNFullStoreURIsMergeTest, AStoreOfFullURIsSavesAndMergesAsBefore) {
    addMachine("a");
    addMachine("b");
    // b reopened as the previous version would have left its new store.
    machines[1].reset();
    const auto url = plat::URL::fileURLWithPath(eventsFile("b").string());
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url);
    ASSERT_TRUE(metadata.ok());
    ASSERT_TRUE(metadata->erase(SYNStoreURIPrefixesMetadataKey));
    ASSERT_EQ(plat::coredata::PersistentStoreCoordinator::setMetadata(*metadata,
                                                                      plat::coredata::SQLiteStoreType, url),
              nullptr);
    machines[1] = std::make_unique<Machine>(root.path(), "b", true, taskBatchSize);
    Machine& a = *machines[0];
    ASSERT_FALSE(SYNStoreURIs::forContext(*machines[1]->eventStore()->managedObjectContext())->isCompact());

    auto baseline = a.makeEmptyBaseline({a.storeIdentifier(), machines[1]->storeIdentifier()});
    copyEvents(*a.eventStore(), *machines[1]->eventStore());
    machines[1]->adoptBaseline(baseline);
    populate(a);
    copyEvents(*a.eventStore(), *machines[1]->eventStore());
    ASSERT_EQ(machines[1]->merge(), nullptr);
    // Reopened again: the full URIs already on disk are read as they are.
    machines[1].reset();
    machines[1] = std::make_unique<Machine>(root.path(), "b", true, taskBatchSize);
    Machine& b = *machines[1];
    populate(b);  // b's own saves, of objects the merge made and of new ones
    copyEvents(*b.eventStore(), *a.eventStore());
    ASSERT_EQ(a.merge(), nullptr);
    copyEvents(*a.eventStore(), *b.eventStore());
    ASSERT_EQ(b.merge(), nullptr);
    EXPECT_EQ(a.dump(), b.dump());
    for (const auto& line : b.dump()) {
        EXPECT_EQ(line.find(" ?"), std::string::npos) << line;  // every object has its identifier
    }

    // b's rows hold full URIs and its store never gains the list; a's are short.
    const auto full = storedURIs("b");
    ASSERT_FALSE(full.empty());
    for (const auto& uri : full) {
        EXPECT_EQ(uri.rfind("x-objectstore://", 0), 0u) << uri;
    }
    auto after = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after->find(SYNStoreURIPrefixesMetadataKey), nullptr);
    const auto compact = storedURIs("a");
    ASSERT_FALSE(compact.empty());
    for (const auto& uri : compact) {
        EXPECT_NE(uri.find(';'), std::string::npos) << uri;
        EXPECT_EQ(uri.find('/'), std::string::npos) << uri;
    }
}

}  // namespace
}  // namespace integrationtest
