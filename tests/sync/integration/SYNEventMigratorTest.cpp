#include "sync/integration/SYNEventMigrator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/integration/SYNBinaryEventFiles.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;

class SYNEventMigratorTest : public EventFileTest {
  protected:
    std::pair<plat::ErrorPtr, std::vector<std::string>> exportWith(
        const std::function<void(SYNEventMigrator&, SYNEventMigrator::ExportCompletion)>& start) {
        SYNEventMigrator migrator(source, smallBatchModel());
        bool done = false;
        std::pair<plat::ErrorPtr, std::vector<std::string>> result;
        start(migrator, [&](plat::ErrorPtr error, std::vector<std::string> paths) {
            EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
            result = {error, paths};
            done = true;
        });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        return result;
    }
    // Writes the save event "E<number>" (revision `number`, `changes`
    // changes) and exports it: the path of its one file, empty on failure.
    std::string exportedSave(int number, int changes) {
        writeEvent(source, "E" + std::to_string(number), SYNStoreModificationEventTypeSave, number, number,
                   changes);
        auto [error, files] = exportWith([number](auto& migrator, auto done) {
            migrator.migrateLocalEventToTemporaryFilesForRevision(number, {200, 300}, done);
        });
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(files.size(), 1u);
        return !error && files.size() == 1 ? files.front() : std::string();
    }
    // The "uniqueIdentifier" of the one event file exported; empty (with a
    // failure) when there is not exactly one readable file naming it.
    static std::string exportedIdentifier(const std::vector<std::string>& files) {
        EXPECT_EQ(files.size(), 1u);
        if (files.size() != 1) {
            return "";
        }
        auto json = plat::JSONSerialization::JSONObjectWithContentsOfFile(files.front());
        EXPECT_TRUE(json.ok());
        const plat::Value* uid = json.ok() ? json->find("uniqueIdentifier") : nullptr;
        EXPECT_TRUE(uid && uid->isString());
        return uid && uid->isString() ? *uid->asString() : "";
    }
    std::pair<plat::ErrorPtr, plat::coredata::ManagedObjectIDPtr> importFiles(
        const std::vector<std::string>& paths) {
        SYNEventMigrator migrator(destination, smallBatchModel());
        bool done = false;
        std::pair<plat::ErrorPtr, plat::coredata::ManagedObjectIDPtr> result;
        migrator.migrateEventInFromFiles(paths,
                                         [&](plat::ErrorPtr error, plat::coredata::ManagedObjectIDPtr id) {
                                             EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
                                             result = {error, id};
                                             done = true;
                                         });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        return result;
    }
};

TEST_F(SYNEventMigratorTest, LocalEventsAndBaselinesByTheirNames) {
    writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 45);
    writeEvent(source, "BASE", SYNStoreModificationEventTypeBaseline, 2, 1, 1);
    auto [error, files] = exportWith([](auto& migrator, auto done) {
        migrator.migrateLocalEventToTemporaryFilesForRevision(3, {200, 300}, done);
    });
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(files.size(), 3u);
    auto imported = importFiles(files);
    ASSERT_EQ(imported.first, nullptr);
    ASSERT_TRUE(imported.second);
    EXPECT_EQ(describeEvent(destination, "SAVE"), describeEvent(source, "SAVE"));

    auto baseline = exportWith([&](auto& migrator, auto done) {
        migrator.migrateLocalBaselineToTemporaryFiles("BASE", 2, storeID(source).substr(0, 8), done);
    });
    EXPECT_EQ(baseline.first, nullptr);
    EXPECT_EQ(baseline.second.size(), 1u);
}

// A local event is exported by its store's revision: the event the look-up
// of the revision records' owners finds, however many other events list the
// revision among their other stores', with the events loaded or not.
TEST_F(SYNEventMigratorTest, TheEventOfARevisionIsTheOneTheLookUpOfItsOwnersFinds) {
    const std::string s = storeID(source);
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        EventWriter writer(context);
        // uid, type, count, own revision, revisions listed of other stores;
        // TWIN1 and TWIN2 both claim revision 11.
        const std::vector<std::tuple<const char*, int16_t, int64_t, SYNRevision, SYNRevisionSet>> events{
            {"OWN", SYNStoreModificationEventTypeSave, 7, {s, 7}, {}},
            {"LISTS",
             SYNStoreModificationEventTypeMerge,
             8,
             {"X", 1},
             revisions({{s.c_str(), 7}, {s.c_str(), 9}})},
            {"MERGE", SYNStoreModificationEventTypeMerge, 9, {s, 9}, {}},
            {"BASE", SYNStoreModificationEventTypeBaseline, 10, {s, 10}, {}},
            {"TWIN1", SYNStoreModificationEventTypeSave, 12, {s, 11}, {}},
            {"TWIN2", SYNStoreModificationEventTypeSave, 11, {s, 11}, revisions({{s.c_str(), 7}})}};
        for (const auto& [uid, type, count, own, others] : events) {
            writer.change(writer.event(uid, type, count, own, others), std::string("G") + uid,
                          SYNObjectChangeTypeInsert);
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave}, all{200, 300, 100};
    for (const bool loaded : {false, true}) {
        for (const auto& [number, allowed] : std::vector<std::pair<int64_t, std::vector<int16_t>>>{
                 {7, saves}, {9, saves}, {9, all}, {10, saves}, {11, saves}, {1, all}}) {
            const int64_t revision = number;  // named anew: lambdas below take them
            const std::vector<int16_t> types = allowed;
            const std::string what =
                std::to_string(revision) + "/" + std::to_string(types.size()) + "/" + std::to_string(loaded);
            const std::string expected =
                inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
                    auto found = SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(
                        types, s, revision, context);
                    std::string uid =
                        found.ok() && *found ? SYNStoreModificationEvent::uniqueIdentifier(**found) : "";
                    context.reset();
                    if (loaded) {  // as after the cloud manager's look at the local events
                        auto read = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                            std::nullopt, std::nullopt, context);
                        for (const auto& event : read.ok() ? *read : SYNManagedObjects()) {
                            (void)SYNStoreModificationEvent::revision(*event);
                        }
                    }
                    return uid;
                });
            auto [error, files] = exportWith([&](auto& migrator, auto done) {
                migrator.migrateLocalEventToTemporaryFilesForRevision(revision, types, done);
            });
            ASSERT_EQ(error == nullptr, !expected.empty()) << what;
            if (!expected.empty()) {
                SCOPED_TRACE(what);
                EXPECT_EQ(exportedIdentifier(files), expected);
            }
        }
    }
}

// The row a listing of the local events gave for a revision is exported
// without the look-up only while that row is an event of the allowed types
// whose own revision it is; a row of any other event, of another revision or
// store, a type not allowed, or no row at all leaves it to the look-up.
TEST_F(SYNEventMigratorTest, AListedRowIsExportedOnlyWhileItsEventOwnsTheRevision) {
    const std::string s = storeID(source);
    std::map<std::string, int64_t> rows;
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        EventWriter writer(context);
        const std::vector<std::tuple<const char*, int16_t, int64_t, SYNRevision>> events{
            {"OWN", SYNStoreModificationEventTypeSave, 7, {s, 7}},
            {"MERGE", SYNStoreModificationEventTypeMerge, 9, {s, 9}},
            {"BASE", SYNStoreModificationEventTypeBaseline, 10, {s, 10}},
            {"ELSEWHERE", SYNStoreModificationEventTypeSave, 8, {"X", 7}},
            {"TWIN1", SYNStoreModificationEventTypeSave, 12, {s, 11}},
            {"TWIN2", SYNStoreModificationEventTypeSave, 11, {s, 11}}};
        for (const auto& [uid, type, count, own] : events) {
            writer.change(writer.event(uid, type, count, own, {}), std::string("G") + uid,
                          SYNObjectChangeTypeInsert);
        }
        ASSERT_EQ(context.save(), nullptr);
        auto read = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                     std::nullopt, context);
        ASSERT_TRUE(read.ok());
        for (const auto& event : *read) {
            rows[SYNStoreModificationEvent::uniqueIdentifier(*event)] = event->objectID()->primaryKey();
        }
        context.reset();
    });
    ASSERT_EQ(rows.size(), 6u);
    std::vector<std::pair<std::string, std::optional<int64_t>>> hints{{"none", std::nullopt}, {"gone", 1000}};
    for (const auto& [uid, row] : rows) {
        hints.emplace_back(uid, row);
    }
    const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave}, all{200, 300, 100};
    for (const auto& [listedRevision, listedTypes] : std::vector<std::pair<int64_t, std::vector<int16_t>>>{
             {7, saves}, {9, saves}, {9, all}, {10, all}, {11, saves}, {8, all}}) {
        const int64_t revision = listedRevision;  // named anew: lambdas below take them
        const std::vector<int16_t> types = listedTypes;
        const std::string lookedUp = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            auto found = SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(
                types, s, revision, context);
            std::string uid =
                found.ok() && *found ? SYNStoreModificationEvent::uniqueIdentifier(**found) : "";
            context.reset();
            return uid;
        });
        for (const auto& [named, row] : hints) {
            std::string expected = lookedUp;
            if (row && rows.count(named)) {
                const bool owns = (named == "OWN" && revision == 7) || (named == "MERGE" && revision == 9) ||
                                  (named == "BASE" && revision == 10) ||
                                  ((named == "TWIN1" || named == "TWIN2") && revision == 11);
                const int16_t type = named == "MERGE"  ? SYNStoreModificationEventTypeMerge
                                     : named == "BASE" ? SYNStoreModificationEventTypeBaseline
                                                       : SYNStoreModificationEventTypeSave;
                if (owns && std::find(types.begin(), types.end(), type) != types.end()) {
                    expected = named;
                }
            }
            const std::string what =
                std::to_string(revision) + "/" + std::to_string(types.size()) + "/" + named;
            const std::optional<int64_t> listed = row;
            auto [error, files] = exportWith([&](auto& migrator, auto done) {
                migrator.migrateLocalEventToTemporaryFilesForRevision(revision, types, done, listed);
            });
            ASSERT_EQ(error == nullptr, !expected.empty()) << what;
            if (expected.empty()) {
                EXPECT_TRUE(SYNErrorHasCode(error, SYNErrorMissingEvent)) << what;
                continue;
            }
            SCOPED_TRACE(what);
            EXPECT_EQ(exportedIdentifier(files), expected);
        }
    }
}

TEST_F(SYNEventMigratorTest, NewFilesStoreTypeStartsAsTheBinaryTypeAndExportsStayJSON) {
    EXPECT_EQ(SYNEventMigrator::defaultStoreTypeForNewFiles(), plat::coredata::BinaryStoreType);
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 2);
    SYNEventMigrator migrator(source, smallBatchModel());
    EXPECT_EQ(migrator.storeTypeForNewFiles(), plat::coredata::BinaryStoreType);
    migrator.setStoreTypeForNewFiles(plat::coredata::SQLiteStoreType);
    EXPECT_EQ(migrator.storeTypeForNewFiles(), plat::coredata::SQLiteStoreType);
    // Another migrator starts from the default again.
    EXPECT_EQ(SYNEventMigrator(source, smallBatchModel()).storeTypeForNewFiles(),
              plat::coredata::BinaryStoreType);

    bool done = false;
    std::vector<std::string> files;
    migrator.migrateStoreModificationEventToTemporaryFiles(
        id, [&](plat::ErrorPtr error, std::vector<std::string> paths) {
            EXPECT_EQ(error, nullptr);
            files = std::move(paths);
            done = true;
        });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
    ASSERT_FALSE(files.empty());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        EXPECT_EQ(in.get(), '{') << file << " is not a JSON event file";
    }
}

TEST_F(SYNEventMigratorTest, MissingLocalEventsGive300) {
    writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 0);
    struct Case {
        const char* what;
        std::function<void(SYNEventMigrator&, SYNEventMigrator::ExportCompletion)> start;
    } cases[] = {
        {"unknown revision",
         [](auto& m, auto done) { m.migrateLocalEventToTemporaryFilesForRevision(4, {200}, done); }},
        {"type not allowed",
         [](auto& m, auto done) { m.migrateLocalEventToTemporaryFilesForRevision(3, {300}, done); }},
        {"unknown baseline",
         [](auto& m, auto done) { m.migrateLocalBaselineToTemporaryFiles("NONE", 1, "X", done); }},
    };
    for (const auto& c : cases) {
        auto [error, files] = exportWith(c.start);
        ASSERT_NE(error, nullptr) << c.what;
        EXPECT_EQ(error->code(), SYNErrorMissingEvent) << c.what;
        EXPECT_TRUE(files.empty());
    }
}

TEST_F(SYNEventMigratorTest, BinaryFilesAreReadAsBinaryStores) {
    auto id = writeEvent(source, "BIN", SYNStoreModificationEventTypeSave, 5, 3, 45);
    auto operation = std::make_shared<SYNPersistentStoreEventExport>(source, id, smallBatchModel());
    operation->start();
    ASSERT_EQ(operation->error(), nullptr);
    ASSERT_EQ(operation->filePaths().size(), 3u);
    std::vector<std::string> lines;
    SYNSetLoggingLevel(SYNLoggingLevelVerbose);
    SYNSetLogFunction([&](std::string_view, std::span<const plat::FormatArg> args) {
        lines.push_back(plat::format("%@", args[0]));
    });
    auto [error, eventID] = importFiles(operation->filePaths());
    SYNSetLogFunction(nullptr);
    SYNSetLoggingLevel(SYNLoggingLevelError);
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(eventID);
    EXPECT_EQ(describeEvent(destination, "BIN"), describeEvent(source, "BIN"));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Importing event files as binary stores."), lines.end());
}

TEST_F(SYNEventMigratorTest, GarbageIsADamagedFileAndGivesNoEvent) {
    const auto path = root.str() + "/garbage";
    std::ofstream(path) << "neither JSON nor a store";
    auto [error, eventID] = importFiles({path});
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(SYNErrorHasCode(error, SYNErrorDamagedFile)) << error->description();
    EXPECT_EQ(error->localizedDescription().rfind("garbage is neither a JSON nor a binary event file", 0), 0u)
        << error->localizedDescription();
    EXPECT_EQ(eventID, nullptr);
    EXPECT_EQ(countEvents(destination), 0u);

    auto [emptyError, emptyID] = importFiles({});
    EXPECT_EQ(emptyError, nullptr);
    EXPECT_EQ(emptyID, nullptr);
}

// What a half-replicated or overwritten shared file looks like: each is
// reported as the damaged file it is, by its own name and kind.
TEST_F(SYNEventMigratorTest, DamagedFilesAreReportedByNameAndKind) {
    auto id = writeEvent(source, "WHOLE", SYNStoreModificationEventTypeSave, 5, 3, 1);
    auto exported = std::make_shared<SYNJSONEventExport>(source, id, smallBatchModel());
    exported->start();
    ASSERT_EQ(exported->error(), nullptr);
    const auto whole = testsupport::readFile(exported->filePaths().front()).value();
    const auto dir = root.str() + "/damaged";
    std::filesystem::create_directories(dir);
    auto file = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
        return dir + "/" + name;
    };
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string says;
    } cases[] = {
        {file("truncated", whole.substr(0, whole.size() / 2)), "truncated is a damaged JSON event file"},
        {file("mismatch", R"({"type": "save", "globalCount": 1})"), "mismatch is a damaged JSON event file"},
        {file("empty", ""), "empty is empty"},
        {dir + "/fifo", "fifo is a special file"},
    };
    for (const auto& c : cases) {
        auto [error, eventID] = importFiles({c.path});
        ASSERT_NE(error, nullptr) << c.path;
        EXPECT_TRUE(SYNErrorHasCode(error, SYNErrorDamagedFile)) << error->description();
        EXPECT_EQ(error->localizedDescription().rfind(c.says, 0), 0u) << error->localizedDescription();
        EXPECT_EQ(error->localizedDescription().find("SQLite"), std::string::npos)
            << error->localizedDescription();
        EXPECT_EQ(eventID, nullptr);
    }
    EXPECT_EQ(countEvents(destination), 0u);
    // The whole file still imports.
    auto [error, eventID] = importFiles({file("whole", whole)});
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(eventID);
}

TEST_F(SYNEventMigratorTest, WorkRunsWithoutACompletion) {
    auto id = writeEvent(source, "SAVE", SYNStoreModificationEventTypeSave, 5, 3, 1);
    {
        SYNEventMigrator migrator(source, smallBatchModel());
        migrator.migrateStoreModificationEventToTemporaryFiles(id, nullptr);
        migrator.migrateEventInFromFiles({root.str() + "/none"}, nullptr);
    }
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil(
        [&] {
            return std::filesystem::exists(source->pathToTemporaryDirectory() + "/EventMigrator") &&
                   !std::filesystem::is_empty(source->pathToTemporaryDirectory() + "/EventMigrator");
        },
        30));
}

// Many events of one file each, two per save (7 changes each, room for 14):
// files that are not events are left out, the others come whole, and one
// identifier record serves every change of one object.
TEST_F(SYNEventMigratorTest, EventsOfOneFileEachAreImportedSeveralPerSave) {
    std::filesystem::create_directories(root.str() + "/in");
    std::vector<std::string> paths;
    std::vector<bool> events;
    for (int i = 1; i <= 5; ++i) {
        const std::string uid = "E" + std::to_string(i);
        const std::string file = exportedSave(i, 3);
        ASSERT_FALSE(file.empty());
        paths.push_back(root.str() + "/in/" + uid);
        std::filesystem::copy_file(file, paths.back());
        events.push_back(true);
        if (i == 2) {
            paths.push_back(root.str() + "/in/garbage");
            std::ofstream(paths.back()) << "\x01 not an event";
            paths.push_back(root.str() + "/in/malformed");
            std::ofstream(paths.back()) << R"({"type": 200, "globalCount": 9})";
            paths.push_back(root.str() + "/in/missing");
            events.insert(events.end(), {false, false, false});
        }
    }
    SYNEventMigrator migrator(destination, smallBatchModel());
    StoreCommits commits;
    std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> ids;
    migrator.migrateEventsInFromSingleFiles(paths, 14, [&](auto made) {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        ids = made;
    });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return ids.has_value(); }, 60));
    EXPECT_EQ(commits.commits(), 3);
    ASSERT_EQ(ids->size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ((*ids)[i] != nullptr, events[i]) << paths[i];
    }
    for (int i = 1; i <= 5; ++i) {
        const std::string uid = "E" + std::to_string(i);
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid)) << uid;
    }
    EXPECT_EQ(countEvents(destination), 5u);
    inContext(destination, [](plat::coredata::ManagedObjectContext& context) {
        EXPECT_EQ(
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName))->size(),
            7u);
    });
    // Read back from the store, every identifier record lists each change of
    // its object, those of later saves (which found the record) included.
    inContext(destination, [](plat::coredata::ManagedObjectContext& context) {
        std::size_t linked = 0;
        auto records =
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        for (const auto& record : *records) {
            for (const auto& change : record->objectsForKey("objectChanges")) {
                EXPECT_EQ(change->objectForKey("globalIdentifier"), record);
                ++linked;
            }
        }
        EXPECT_EQ(
            linked,
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNObjectChangeEntityName))->size());
        EXPECT_EQ(linked, 5u * 7u);  // five events of seven changes
    });
}

// The batch import opens each file once and takes JSON event files only:
// a link (even to an event file), a folder, an empty or blank file are left
// out; blanks before the opening brace are allowed.
TEST_F(SYNEventMigratorTest, TheBatchImportTakesOnlyRegularJSONEventFiles) {
    const std::string in = root.str() + "/in/";
    std::filesystem::create_directories(in);
    for (int i = 1; i <= 2; ++i) {
        const std::string file = exportedSave(i, 2);
        ASSERT_FALSE(file.empty());
        std::ifstream read(file);
        const std::string text((std::istreambuf_iterator<char>(read)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(text.empty());
        if (i == 1) {
            std::ofstream(in + "blanks first") << " \n\t\r" << text;
        } else {
            std::ofstream(in + "E2") << text;
        }
    }
    std::filesystem::create_symlink(in + "E2", in + "link");
    std::filesystem::create_directories(in + "folder");
    std::ofstream(in + "empty");
    std::ofstream(in + "blank") << "  \n ";
    const std::vector<std::string> paths{in + "link", in + "folder", in + "empty", in + "blank",
                                         in + "blanks first"};
    SYNEventMigrator migrator(destination, smallBatchModel());
    std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> ids;
    migrator.migrateEventsInFromSingleFiles(paths, 100, [&](auto made) { ids = made; });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return ids.has_value(); }, 60));
    ASSERT_EQ(ids->size(), paths.size());
    for (std::size_t i = 0; i + 1 < paths.size(); ++i) {
        EXPECT_EQ((*ids)[i], nullptr) << paths[i];
    }
    EXPECT_NE(ids->back(), nullptr);
    EXPECT_EQ(countEvents(destination), 1u);
    EXPECT_EQ(describeEvent(destination, "E1"), describeEvent(source, "E1"));
}

// Several events of one save that change the same stored objects: each
// change keeps its own event, and every change of an object links to the
// one record the store already held for it.
TEST_F(SYNEventMigratorTest, ChangesOfOneSaveShareTheStoredRecordOfTheirObject) {
    std::filesystem::create_directories(root.str() + "/in");
    std::vector<std::string> paths;
    for (int i = 1; i <= 4; ++i) {
        const std::string uid = "E" + std::to_string(i);
        const std::string file = exportedSave(i, 3);
        ASSERT_FALSE(file.empty());
        paths.push_back(root.str() + "/in/" + uid);
        std::filesystem::copy_file(file, paths.back());
    }
    SYNEventMigrator migrator(destination, smallBatchModel());
    auto import = [&](std::vector<std::string> batch) {
        std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> ids;
        migrator.migrateEventsInFromSingleFiles(batch, 1000, [&](auto made) { ids = made; });
        ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return ids.has_value(); }, 60));
        for (const auto& id : *ids) {
            EXPECT_NE(id, nullptr);
        }
    };
    import({paths[0]});  // makes the records
    StoreCommits commits;
    import({paths[1], paths[2], paths[3]});
    EXPECT_EQ(commits.commits(), 1);
    for (int i = 1; i <= 4; ++i) {
        const std::string uid = "E" + std::to_string(i);
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid)) << uid;
    }
    inContext(destination, [](plat::coredata::ManagedObjectContext& context) {
        auto records =
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        EXPECT_EQ(records->size(), 7u);
        for (const auto& record : *records) {
            EXPECT_EQ(record->objectsForKey("objectChanges").size(), 4u)
                << record->valueForKey("globalIdentifier").description();
        }
    });
}

// Records already in the store: a change takes its own entity's record, the
// first made when there are several of one identifier, and no new one; an
// identifier of the same text under another entity gets its own record.
TEST_F(SYNEventMigratorTest, ImportedChangesTakeTheFirstRecordOfTheirOwnEntity) {
    writeEvent(source, "E1", SYNStoreModificationEventTypeSave, 1, 1, 2);
    auto [error, files] = exportWith([](auto& migrator, auto done) {
        migrator.migrateLocalEventToTemporaryFilesForRevision(1, {200, 300}, done);
    });
    ASSERT_EQ(error, nullptr);
    ASSERT_EQ(files.size(), 1u);
    // P000000 as a Pet, then twice as a Person; PET1 as a Person.
    auto made = [&](const std::string& gid, const std::string& entity) {
        return inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
            auto record = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            record->setValue(plat::Value(gid), "globalIdentifier");
            record->setValue(plat::Value(entity), "nameOfEntity");
            EXPECT_EQ(context.save(), nullptr);
            return record->objectID();
        });
    };
    const auto otherEntity = made("P000000", "Pet");
    const auto first = made("P000000", "Person");
    const auto second = made("P000000", "Person");
    const auto petAsPerson = made("PET1", "Person");
    SYNEventMigrator migrator(destination, smallBatchModel());
    std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> ids;
    migrator.migrateEventsInFromSingleFiles(files, 100, [&](auto imported) { ids = imported; });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return ids.has_value(); }, 60));
    ASSERT_EQ(ids->size(), 1u);
    ASSERT_TRUE(ids->front());
    EXPECT_EQ(describeEvent(destination, "E1"), describeEvent(source, "E1"));
    inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
        auto changes = context.executeFetchRequest(plat::coredata::FetchRequest(SYNObjectChangeEntityName));
        ASSERT_TRUE(changes.ok());
        ASSERT_EQ(changes->size(), 6u);  // P000000, P000001, U1, D1, RICH and PET1
        for (const auto& change : *changes) {
            auto record = change->objectForKey("globalIdentifier");
            ASSERT_TRUE(record);
            EXPECT_EQ(record->valueForKey("nameOfEntity"), change->valueForKey("nameOfEntity"));
            const auto gid = SYNObjectChange::globalIdentifierString(*change).value_or("");
            if (gid == "P000000") {
                EXPECT_TRUE(record->objectID()->isEqualID(*first));
            } else {
                EXPECT_FALSE(record->objectID()->isEqualID(*otherEntity));
                EXPECT_FALSE(record->objectID()->isEqualID(*second));
                EXPECT_FALSE(record->objectID()->isEqualID(*petAsPerson));
            }
        }
        // Four found or made before, and one each for P000001, U1, D1, RICH and PET1 as a Pet.
        EXPECT_EQ(
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName))->size(),
            9u);
    });
}

TEST_F(SYNEventMigratorTest, AnInterruptedImportIsGoneWhenTheStoreOpensAgain) {
    // What a killed process leaves: an event saved with the incomplete type.
    writeEvent(destination, "PARTIAL", SYNStoreModificationEventTypeIncomplete, 5, 3, 2);
    ASSERT_EQ(countEvents(destination), 1u);
    destination->dismantle();
    destination.reset();
    auto reopened = SYNEventStore::create("mesh", root.str() + "/b", eventstoretest::kStoreType);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(countEvents(reopened), 0u);
}

}  // namespace
