// The coordinator's store registry and metadata: files sniffed by their
// contents, metadata that persists, and damaged or foreign files refused.
#include "platform/coredata/PersistentStoreCoordinator.h"

#include <sqlite3.h>

#include <fstream>
#include <set>
#include <thread>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/BinaryStore.h"

namespace plat::coredata {
namespace {

using testing::makeTestModel;
using CoordinatorTest = testing::SQLiteFileTest;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(CoordinatorTest, MetadataIsReadFromTheFileWhateverItsType) {
    auto coordinator = open();
    auto store = coordinator->persistentStores().at(0);
    Dictionary mine;
    mine.set("cloudIdentity", Value(Data::fromString("token")));
    mine.set(StoreUUIDKey, Value("forged"));  // the store's own keys cannot be replaced
    ASSERT_EQ(coordinator->setMetadata(mine, store), nullptr);
    EXPECT_EQ(coordinator->metadataForPersistentStore(store).find("cloudIdentity")->asData()->toString(),
              "token");

    // Written at once: another reader sees it without a save.
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url());
    ASSERT_TRUE(metadata) << metadata.error()->description();
    EXPECT_EQ(metadata->find(StoreTypeKey)->stringValue(), SQLiteStoreType);
    EXPECT_EQ(metadata->find(StoreUUIDKey)->stringValue(), store->identifier());
    EXPECT_EQ(metadata->find("cloudIdentity")->asData()->toString(), "token");
    const Value* hashes = metadata->find(StoreModelVersionHashesKey);
    ASSERT_NE(hashes, nullptr);
    EXPECT_EQ(*hashes->find("Task"),
              Value(coordinator->managedObjectModel()->entityNamed("Task")->versionHash()));
    EXPECT_NE(metadata->find(StoreModelVersionIdentifiersKey), nullptr);

    // Changed in place by path, keeping the store's own keys.
    Dictionary replaced;
    replaced.set("flag", Value(true));
    replaced.set(StoreTypeKey, Value("Other"));
    ASSERT_EQ(PersistentStoreCoordinator::setMetadata(replaced, SQLiteStoreType, url()), nullptr);
    coordinator.reset();
    auto reopened = open();
    Dictionary after = reopened->persistentStores().at(0)->metadata();
    EXPECT_TRUE(after.find("flag")->boolValue());
    EXPECT_EQ(after.find("cloudIdentity"), nullptr);
    EXPECT_EQ(after.find(StoreTypeKey)->stringValue(), SQLiteStoreType);
    EXPECT_EQ(after.find(StoreUUIDKey)->stringValue(), store->identifier());

    // Metadata set on the store object goes out with the next save too.
    auto context = contextOn(reopened);
    Dictionary next = after;
    next.set("counter", Value(int64_t{2}));
    reopened->persistentStores().at(0)->setMetadata(next);
    context->insertNewObjectForEntityForName("Tag");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(PersistentStoreCoordinator::metadataForPersistentStoreOfType(SQLiteStoreType, url())
                  ->find("counter")
                  ->longLongValue(),
              2);
    auto mismatch = PersistentStoreCoordinator::metadataForPersistentStoreOfType(BinaryStoreType, url());
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error()->code(), PersistentStoreTypeMismatchError);
}

TEST_F(CoordinatorTest, MetadataUpdatedFromSeveralThreadsLosesNoChange) {
    auto coordinator = open();
    auto store = coordinator->persistentStores().at(0);
    // Each thread appends its entries to one list, each append a read of the
    // list and a write of the longer one: none may overwrite another's.
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                store->updateMetadata([&](Dictionary& metadata) {
                    const Value* list = metadata.find("entries");
                    Array entries = list && list->asArray() ? *list->asArray() : Array();
                    entries.emplace_back(std::to_string(t) + "." + std::to_string(i));
                    metadata.set("entries", Value(std::move(entries)));
                    metadata.set(StoreUUIDKey, Value("forged"));  // the store's own keys stay
                });
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(
        coordinator->updateMetadata(store, [](Dictionary& metadata) { metadata.set("done", Value(true)); }),
        nullptr);

    // Written at once, whole.
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url());
    ASSERT_TRUE(metadata) << metadata.error()->description();
    EXPECT_EQ(metadata->find(StoreUUIDKey)->stringValue(), store->identifier());
    EXPECT_TRUE(metadata->find("done")->boolValue());
    std::set<std::string> seen;
    for (const auto& entry : *metadata->find("entries")->asArray())
        seen.insert(entry.stringValue());
    EXPECT_EQ(seen.size(), std::size_t{kThreads * kEach});

    // A store the coordinator does not hold is refused.
    auto otherCoordinator = open(makeTestModel(), {}, "other.sqlite");
    auto other = otherCoordinator->persistentStores().at(0);
    auto refused = coordinator->updateMetadata(other, [](Dictionary&) {});
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), PersistentStoreOperationError);
}

TEST_F(CoordinatorTest, BinaryStoreFilesAreSniffedAndNotOpenedAsSQLite) {
    {
        auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
        auto store = coordinator->addPersistentStore(BinaryStoreType, "", url("events.bin"));
        ASSERT_TRUE(store) << store.error()->description();
        auto context = contextOn(coordinator);
        context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(context->save(), nullptr);
    }
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url("events.bin"));
    ASSERT_TRUE(metadata) << metadata.error()->description();
    EXPECT_EQ(metadata->find(StoreTypeKey)->stringValue(), BinaryStoreType);
    auto refused = openError(makeTestModel(), {}, "events.bin");
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), PersistentStoreTypeMismatchError);
}

TEST_F(CoordinatorTest, DamagedAndForeignFilesAreRefusedWithAClearError) {
    {
        auto context = contextOn(open());
        for (int i = 0; i < 200; ++i)
            context->insertNewObjectForEntityForName("Tag")->setValue(Value(std::string(100, 'x')), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    const std::string good = readFile(path());
    ASSERT_GT(good.size(), 8192u);

    // A JSON text, random bytes, a truncated database, a database whose pages
    // were overwritten, and a SQLite database of another application.
    writeFile(path("text.sqlite"), "{\"entities\": []}");
    writeFile(path("noise.sqlite"), std::string(5000, '\x5a'));
    writeFile(path("truncated.sqlite"), good.substr(0, 1000));
    std::string smashed = good;
    for (std::size_t i = 100; i < smashed.size(); i += 7)
        smashed[i] = static_cast<char>(smashed[i] ^ 0x5a);
    writeFile(path("smashed.sqlite"), smashed);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path("other.sqlite").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE people (name TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        // Another application's tables that happen to share our names.
        ASSERT_EQ(sqlite3_open(path("lookalike.sqlite").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Z_METADATA (k); CREATE TABLE Z_ENTITIES (x)", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    for (const char* name : {"text.sqlite", "noise.sqlite", "truncated.sqlite", "smashed.sqlite",
                             "other.sqlite", "lookalike.sqlite"}) {
        auto error = openError(makeTestModel(), {}, name);
        ASSERT_NE(error, nullptr) << name;
        EXPECT_EQ(error->code(), FileReadCorruptFileError) << name << ": " << error->description();
        auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url(name));
        ASSERT_FALSE(metadata) << name;
        EXPECT_EQ(metadata.error()->code(), FileReadCorruptFileError) << name;
    }
    // The refused file is left alone.
    EXPECT_EQ(readFile(path("text.sqlite")), "{\"entities\": []}");
    auto missing = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url("missing.sqlite"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error()->code(), FileReadNoSuchFileError);
}

TEST_F(CoordinatorTest, StoreTypesAndURLsAreChecked) {
    auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
    auto unknown = coordinator->addPersistentStore("Nope", "", url());
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error()->code(), PersistentStoreInvalidTypeError);
    auto noURL = coordinator->addPersistentStore(SQLiteStoreType, "", std::nullopt);
    ASSERT_FALSE(noURL);
    EXPECT_EQ(noURL.error()->code(), PersistentStoreOpenError);
    auto first = coordinator->addPersistentStore(SQLiteStoreType, "", url());
    ASSERT_TRUE(first);
    auto again = coordinator->addPersistentStore(SQLiteStoreType, "", url());
    ASSERT_FALSE(again);
    auto noFolder = coordinator->addPersistentStore(SQLiteStoreType, "", url("no/such/folder.sqlite"));
    ASSERT_FALSE(noFolder);
    EXPECT_EQ(noFolder.error()->code(), PersistentStoreOpenError);
    // Another model on the same file is refused rather than misread.
    auto other = ManagedObjectModel::create();
    other->addEntity("Tag").addAttribute("name", AttributeType::Integer64);
    auto mismatch = openError(other);
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->code(), PersistentStoreIncompatibleVersionHashError);
}

// Changes for rows whose store has been removed are refused, never dropped
// while the save reports success.
TEST_F(CoordinatorTest, SavesReachingNoStoreFailInsteadOfVanishing) {
    for (int kept : {0, 1}) {
        SCOPED_TRACE(kept);
        auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
        auto store = coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt);
        ASSERT_TRUE(store);
        auto context = contextOn(coordinator);
        auto tag = context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(context->save(), nullptr);
        if (kept) {
            ASSERT_TRUE(coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt));
        }
        ASSERT_EQ(coordinator->removePersistentStore(*store), nullptr);
        tag->setValue(Value("lost?"), "name");
        auto error = context->save();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), PersistentStoreSaveError);
        EXPECT_TRUE(context->hasChanges());
    }
}

}  // namespace
}  // namespace plat::coredata
