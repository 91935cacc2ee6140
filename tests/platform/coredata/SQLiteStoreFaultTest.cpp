// The SQLite store against bad metadata, values over SQLite's length limit and
// files it may only read.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "SQLiteStoreTestSupport.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using SQLiteStoreFaultTest = testing::SQLiteFileTest;

// Rewrites the store's metadata row in place, bypassing the store (which
// keeps its own keys).
void editStoredMetadata(const std::string& path, const std::function<void(Dictionary&)>& edit) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* read = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT Z_VALUE FROM Z_METADATA WHERE Z_KEY = 'metadata'", -1, &read, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);
    auto plist = PropertyListSerialization::propertyListWithData(
        Data(sqlite3_column_blob(read, 0), static_cast<std::size_t>(sqlite3_column_bytes(read, 0))));
    sqlite3_finalize(read);
    ASSERT_TRUE(plist && plist->isDictionary());
    Dictionary metadata = *plist->asDictionary();
    edit(metadata);
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value(metadata),
                                                                 PropertyListSerialization::Format::Binary);
    ASSERT_TRUE(bytes);
    sqlite3_stmt* write = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE Z_METADATA SET Z_VALUE = ?1 WHERE Z_KEY = 'metadata'", -1,
                                 &write, nullptr),
              SQLITE_OK);
    ASSERT_EQ(
        sqlite3_bind_blob(write, 1, bytes->bytes(), static_cast<int>(bytes->length()), SQLITE_TRANSIENT),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(write), SQLITE_DONE);
    sqlite3_finalize(write);
    ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
}

std::shared_ptr<ManagedObjectModel> modelWithExtraAttribute() {
    auto model = testing::makeTestModel();
    model->addEntity("Extra").addAttribute("value", AttributeType::Integer32);
    return model;
}

TEST_F(SQLiteStoreFaultTest, MigratingAStoreWhoseMetadataLacksVersionIdentifiersKeepsItsUUID) {
    std::string uri;
    {
        auto context = contextOn(open());
        auto tag = context->insertNewObjectForEntityForName("Tag");
        tag->setValue(Value("kept"), "name");
        ASSERT_EQ(context->save(), nullptr);
        uri = tag->objectID()->URIRepresentation().absoluteString();
    }
    editStoredMetadata(path(), [](Dictionary& metadata) {
        Dictionary without;
        for (const auto& [key, value] : metadata) {
            if (key != StoreModelVersionIdentifiersKey)
                without.set(key, value);
        }
        metadata = without;
    });
    // The migration adds the identifiers back while the store still needs
    // the UUID it read from the same metadata.
    auto coordinator = open(modelWithExtraAttribute(), migrationOptions());
    auto context = contextOn(coordinator);
    auto tags = fetchAll(context, makeRequest("Tag"));
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0]->objectID()->URIRepresentation().absoluteString(), uri);
    EXPECT_NE(coordinator->persistentStores().at(0)->metadata().find(StoreModelVersionIdentifiersKey),
              nullptr);
}

TEST_F(SQLiteStoreFaultTest, StoreUUIDsThatCannotStandInAURIAreRefused) {
    for (const char* bad : {"has space", "a/b", "x?y", "%41", "caf\xc3\xa9", "a#b"}) {
        SCOPED_TRACE(bad);
        std::filesystem::remove(path());
        open();
        editStoredMetadata(path(), [&](Dictionary& metadata) { metadata.set(StoreUUIDKey, Value(bad)); });
        auto error = openError(testing::makeTestModel());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), FileReadCorruptFileError) << error->description();
    }
}

TEST(ManagedObjectIDURITest, AnInvalidStoreIdentifierStillGivesAURI) {
    auto model = testing::makeTestModel();
    ASSERT_EQ(model->finalize(), nullptr);
    ManagedObjectID id(model->entityForName("Tag"), {}, "not a/valid id", 7, false);
    URL uri = id.URIRepresentation();  // was a dereference of an empty URL
    EXPECT_FALSE(uri.absoluteString().empty());
    // Keys of any size a store may hold round-trip through their URIs.
    for (int64_t key : {int64_t{1}, int64_t{999999999999999999}, INT64_MAX}) {
        ManagedObjectID big(model->entityForName("Tag"), {}, "S", key, false);
        auto parts = parseObjectIDURI(big.URIRepresentation());
        ASSERT_TRUE(parts) << key;
        EXPECT_EQ(parts->key, key);
    }
    EXPECT_FALSE(parseObjectIDURI(*URL::URLWithString("x-objectstore://S/Tag/p9223372036854775808")));
    EXPECT_TRUE(isValidStoreIdentifier("0B2C6D0E-1F6A-4C1B-9A55-3C7D2E1F0A9B"));
    EXPECT_FALSE(isValidStoreIdentifier(""));
    EXPECT_FALSE(isValidStoreIdentifier(std::string(256, 'a')));
}

// Every connection opened while one is alive gets the given length limit.
struct LengthLimit {
    static inline int limit = 0;
    static int apply(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_limit(db, SQLITE_LIMIT_LENGTH, limit);
        return SQLITE_OK;
    }
    explicit LengthLimit(int bytes) {
        limit = bytes;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&apply));
    }
    ~LengthLimit() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&apply)); }
};

std::shared_ptr<ManagedObjectModel> modelWithBlob() {
    auto model = testing::makeTestModel();
    auto& blob = model->addEntity("Blob");
    blob.addAttribute("bytes", AttributeType::BinaryData);
    blob.addAttribute("text", AttributeType::String);
    return model;
}

TEST_F(SQLiteStoreFaultTest, ValuesOverTheLengthLimitFailTheSaveAndLeaveTheStoreAsItWas) {
    struct Case {
        const char* key;
        Value big;
    };
    const std::string longText(20000, 'x');
    const Case cases[] = {{"bytes", Value(Data(longText.data(), longText.size()))},
                          {"text", Value(longText)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::filesystem::remove(path());
        ManagedObjectPtr existing;
        {
            auto context = contextOn(open(modelWithBlob()));
            existing = context->insertNewObjectForEntityForName("Blob");
            existing->setValue(Value("small"), "text");
            ASSERT_EQ(context->save(), nullptr);
        }
        {
            LengthLimit limit(10000);
            auto context = contextOn(open(modelWithBlob()));
            // An insert, then an update of a stored row: both must fail.
            auto fresh = context->insertNewObjectForEntityForName("Blob");
            fresh->setValue(c.big, c.key);
            auto error = context->save();
            ASSERT_NE(error, nullptr) << "the value was stored as NULL";
            EXPECT_EQ(error->code(), PersistentStoreSaveError) << error->description();
            context->rollback();
            auto stored = fetchAll(context, makeRequest("Blob"));
            ASSERT_EQ(stored.size(), 1u);
            stored[0]->setValue(c.big, c.key);
            error = context->save();
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code(), PersistentStoreSaveError) << error->description();
        }
        auto context = contextOn(open(modelWithBlob()));
        auto stored = fetchAll(context, makeRequest("Blob"));
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0]->valueForKey("text"), Value("small"));
        EXPECT_TRUE(stored[0]->valueForKey("bytes").isNull());
    }
}

TEST_F(SQLiteStoreFaultTest, SavesOfEveryRelationshipKindBindOnlyTheirParameters) {
    // Ordered to-manys and many-to-manys run statements with fewer
    // parameters than the generic relationship writer has: every bind is
    // checked now, so a stray one would fail these saves.
    auto context = contextOn(open());
    auto task = context->insertNewObjectForEntityForName("Task");
    auto note = context->insertNewObjectForEntityForName("Note");
    auto tag = context->insertNewObjectForEntityForName("Tag");
    task->mutableOrderedSetValueForKey("notes").addObject(note);
    task->mutableSetValueForKey("tags").addObject(tag);
    auto error = context->save();
    ASSERT_EQ(error, nullptr) << error->description();
    task->mutableSetValueForKey("tags").removeObject(tag);
    task->mutableOrderedSetValueForKey("notes").removeObject(note);
    ASSERT_EQ(context->save(), nullptr);
}

// Side files SQLite can neither create nor open, as on read-only media: a
// symbolic link to nowhere (SQLite opens them with O_NOFOLLOW), which stops
// root as well. A folder without write permission is tried too, except as
// root, whom the kernel lets write there anyway.
TEST_F(SQLiteStoreFaultTest, StoresOnReadOnlyMediaOpenReadOnlyAndRead) {
    {
        auto context = contextOn(open());
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("kept"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    ASSERT_FALSE(std::filesystem::exists(path() + "-wal"));  // checkpointed and removed on close
    Dictionary readOnly;
    readOnly.set(ReadOnlyPersistentStoreOption, Value(true));
    auto readsBack = [&] {
        auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
        auto store = coordinator->addPersistentStore(SQLiteStoreType, "", url(), readOnly);
        ASSERT_TRUE(store) << store.error()->description();
        auto context = contextOn(coordinator);
        auto tags = fetchAll(context, makeRequest("Tag"));
        ASSERT_EQ(tags.size(), 1u);
        EXPECT_EQ(tags[0]->valueForKey("name"), Value("kept"));
        auto metadata = SQLiteStore::metadataForStoreAtPath(path());
        EXPECT_TRUE(metadata) << metadata.error()->description();
    };
    for (const char* side : {"-shm", "-wal"}) {
        SCOPED_TRACE(side);
        std::filesystem::create_symlink("/nonexistent/side-file", path() + side);
        readsBack();
        // Writing needs the side files: one error code, whichever is missing.
        auto error = openError(testing::makeTestModel());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), PersistentStoreOpenError) << error->description();
        std::filesystem::remove(path() + "-shm");
        std::filesystem::remove(path() + "-wal");
    }
}

TEST_F(SQLiteStoreFaultTest, StoresInAFolderWithoutWritePermissionOpenReadOnlyAndRead) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: a folder without write permission does not stop root (the "
                        "side-file case above covers the same failure)";
    {
        auto context = contextOn(open());
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("kept"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    std::filesystem::permissions(dir.path(),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    Dictionary readOnly;
    readOnly.set(ReadOnlyPersistentStoreOption, Value(true));
    auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
    auto store = coordinator->addPersistentStore(SQLiteStoreType, "", url(), readOnly);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    ASSERT_TRUE(store) << store.error()->description();
    EXPECT_EQ(fetchAll(contextOn(coordinator), makeRequest("Tag")).size(), 1u);
}

TEST_F(SQLiteStoreFaultTest, UnsavedWALContentIsNeverSkippedForReadOnlyOpening) {
    contextOn(open());
    // A writer killed after a commit leaves its transaction in the WAL; a
    // reader that cannot open the shared-memory file must refuse, not read
    // around it. (A child process: connections of one process share it.)
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(path().c_str(), &db);
        sqlite3_exec(db, "PRAGMA wal_autocheckpoint=0; INSERT INTO Z_METADATA VALUES ('pending', 1)", nullptr,
                     nullptr, nullptr);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_GT(std::filesystem::file_size(path() + "-wal"), 0u);
    std::filesystem::remove(path() + "-shm");
    std::filesystem::create_symlink("/nonexistent/side-file", path() + "-shm");
    Dictionary readOnly;
    readOnly.set(ReadOnlyPersistentStoreOption, Value(true));
    auto error = openError(testing::makeTestModel(), readOnly);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), PersistentStoreOpenError) << error->description();
}

}  // namespace
}  // namespace plat::coredata
