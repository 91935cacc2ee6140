#include "sync/eventstore/SYNEventStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "EventStoreFixture.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/URL.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNEventStoreModel.h"

namespace eventstoretest {
namespace {

namespace fs = std::filesystem;
using plat::Value;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

using SYNEventStoreTest = EventStoreTest;

// The identifier texts of every global identifier record (call inside the
// store's context).
std::set<std::string> identifierTexts(plat::coredata::ManagedObjectContext& context) {
    std::set<std::string> found;
    auto records = context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
    for (const auto& record : *records) {
        found.insert(*record->valueForKey("globalIdentifier").asString());
    }
    return found;
}

// Runs the store's clean-up of unused data and waits for its completion.
plat::ErrorPtr removeUnusedData(SYNEventStore& store) {
    bool cleaned = false;
    plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
    store.removeUnusedDataWithCompletion([&](plat::ErrorPtr e) {
        error = e;
        cleaned = true;
    });
    pumpMainUntil([&] { return cleaned; });
    return error;
}

TEST_F(SYNEventStoreTest, PrepareMakesAStoreIdentifierOfThisMachineAndTheDirectories) {
    auto identifier = store->persistentStoreIdentifier();
    ASSERT_TRUE(identifier);
    EXPECT_EQ(identifier->find('_'), std::string::npos);
    auto bar = identifier->find('|');
    ASSERT_NE(bar, std::string::npos);
    EXPECT_EQ(identifier->substr(bar + 1), SYNEventStore::hardwareIdentifier());
    EXPECT_TRUE(store->containsEventData());
    EXPECT_EQ(store->pathToEventStoreRootDirectory(), (root / "mesh").string());
    for (const char* name : {"data", "newdata", "tmp", "store.plist"}) {
        EXPECT_TRUE(fs::exists(root / "mesh" / name)) << name;
    }

    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("11111111-2222-3333-4444-555555555555");
    ASSERT_EQ(store->prepareNewEventStore(), nullptr);
    EXPECT_NE(store->persistentStoreIdentifier(), identifier);
    EXPECT_TRUE(store->persistentStoreIdentifier()->ends_with("|11111111-2222-3333-4444-555555555555"));
}

TEST_F(SYNEventStoreTest, MeshIdentifiersThatAreNotOneComponentAreRefused) {
    for (std::string bad :
         {std::string(""), std::string("."), std::string(".."), std::string("a/b"), std::string("a\0b", 3)}) {
        EXPECT_EQ(SYNEventStore::create(bad, root.str(), kStoreType), nullptr) << bad;
    }
    EXPECT_EQ(SYNEventStore::pathToEventDataRootDirectoryForRootDirectory(std::nullopt, "main"),
              std::nullopt);
    EXPECT_EQ(SYNEventStore::pathToEventDataRootDirectoryForRootDirectory("/r", "main"), "/r/main");
    auto fresh = openStore("other");
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->containsEventData());
    EXPECT_EQ(fresh->managedObjectContext(), nullptr);
}

TEST_F(SYNEventStoreTest, MetadataSurvivesReopening) {
    plat::Dictionary token{{"account", Value("alice")}, {"kind", Value(3)}};
    ASSERT_TRUE(store->setCloudFileSystemIdentityToken(Value(token)));
    store->setNeedsFullIntegration(true);
    store->setVerifiesStoreRegistrationInCloud(true);
    store->setIdentifierOfBaselineUsedToConstructStore("BASE");
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("B"), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("B"), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("never registered"), nullptr);
    const auto identifier = store->persistentStoreIdentifier();
    store->dismantle();
    store.reset();

    auto reopened = openStore();
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->persistentStoreIdentifier(), identifier);
    EXPECT_TRUE(reopened->containsEventData());
    EXPECT_EQ(reopened->cloudFileSystemIdentityToken(), Value(token));
    EXPECT_TRUE(reopened->needsFullIntegration());
    EXPECT_TRUE(reopened->verifiesStoreRegistrationInCloud());
    EXPECT_EQ(reopened->identifierOfBaselineUsedToConstructStore(), "BASE");
    EXPECT_EQ(reopened->incompleteMandatoryEventIdentifiers(), std::vector<std::string>{"A"});
    EXPECT_EQ(reopened->deregisterIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_TRUE(reopened->incompleteMandatoryEventIdentifiers().empty());
    ASSERT_TRUE(reopened->setCloudFileSystemIdentityToken(Value()));
    EXPECT_TRUE(reopened->cloudFileSystemIdentityToken().isNull());
}

// A new store's enlist is complete only once marked so, across reopening;
// metadata written before the mark existed count as complete.
TEST_F(SYNEventStoreTest, EnlistIsCompleteOnlyOnceMarkedAndOldMetadataCountAsComplete) {
    EXPECT_FALSE(store->isEnlistComplete());
    store->dismantle();
    store = openStore();
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->containsEventData());
    EXPECT_FALSE(store->isEnlistComplete());
    ASSERT_EQ(store->markEnlistComplete(), nullptr);
    store->dismantle();
    store = openStore();
    EXPECT_TRUE(store->isEnlistComplete());
    EXPECT_EQ(store->prepareNewEventStore(), nullptr);
    EXPECT_FALSE(store->isEnlistComplete());

    store->dismantle();
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(
        (root / "mesh" / "store.plist").string());
    ASSERT_TRUE(plist.ok() && plist->asDictionary());
    plat::Dictionary older;
    for (const auto& [key, value] : *plist->asDictionary()) {
        if (key != "enlistComplete")
            older.set(key, value);
    }
    auto data = plat::PropertyListSerialization::dataWithPropertyList(
        Value(std::move(older)), plat::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.ok());
    ASSERT_EQ(
        plat::FileManager::defaultManager().writeData(*data, (root / "mesh" / "store.plist").string(), true),
        nullptr);
    store = openStore();
    EXPECT_TRUE(store->containsEventData());
    EXPECT_TRUE(store->isEnlistComplete());
}

// Identifiers registered with a recorded intent keep that mark across
// reopening until their last deregistration.
TEST_F(SYNEventStoreTest, RecordedIntentMarksGoWithTheLastDeregistration) {
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("A", true), nullptr);
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("A"), nullptr);
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("B"), nullptr);
    store->dismantle();
    store = openStore();
    EXPECT_EQ(store->incompleteEventIdentifiersWithRecordedIntent(), std::vector<std::string>{"A"});
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_EQ(store->incompleteEventIdentifiersWithRecordedIntent(), std::vector<std::string>{"A"});
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("A"), nullptr);
    EXPECT_TRUE(store->incompleteEventIdentifiersWithRecordedIntent().empty());
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), std::vector<std::string>{"B"});
}

// The identifiers "store.plist" lists as incomplete, as a restart reads them.
std::vector<std::string> identifiersInMetadataFile(const fs::path& file) {
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(file.string());
    std::vector<std::string> identifiers;
    const auto* dictionary = plist.ok() ? plist->asDictionary() : nullptr;
    const auto* events = dictionary ? dictionary->find("incompleteMandatoryEvents") : nullptr;
    if (events && events->isDictionary()) {
        for (const auto& entry : *events->asDictionary()) {
            identifiers.push_back(entry.first);
        }
    }
    return identifiers;
}

ino_t inodeOf(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A write replaces the file (a new inode): setting what the file already
// holds writes nothing, a change writes, and a write that failed is made
// by the next call even when that changes nothing.
TEST_F(SYNEventStoreTest, MetadataAreWrittenOnlyWhenTheyChangeOrTheLastWriteFailed) {
    const auto file = root / "mesh" / "store.plist";
    store->setNeedsFullIntegration(false);
    const ino_t written = inodeOf(file);
    ASSERT_NE(written, 0u);
    store->setNeedsFullIntegration(false);
    store->setIdentifierOfBaselineUsedToConstructStore(store->identifierOfBaselineUsedToConstructStore());
    bool flushed = false;
    store->flushWithCompletion([&](plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        flushed = true;
    });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return flushed; }, 30));
    EXPECT_EQ(inodeOf(file), written) << "unchanged metadata were written again";
    store->setNeedsFullIntegration(true);
    EXPECT_NE(inodeOf(file), written);

    // The write fails (a folder in the way), then the same value is set again.
    fs::remove(file);
    fs::create_directory(file);
    store->setIdentifierOfBaselineUsedToConstructStore("BASE");
    fs::remove(file);
    store->setIdentifierOfBaselineUsedToConstructStore("BASE");
    ASSERT_TRUE(fs::is_regular_file(file));
    store->dismantle();
    store = openStore();
    EXPECT_EQ(store->identifierOfBaselineUsedToConstructStore(), "BASE");
    EXPECT_TRUE(store->needsFullIntegration());

    // A store removed and prepared again writes its metadata afresh.
    EXPECT_EQ(store->removeEventStore(), nullptr);
    EXPECT_EQ(store->prepareNewEventStore(), nullptr);
    store->setNeedsFullIntegration(false);
    store->dismantle();
    store = openStore();
    EXPECT_TRUE(store->containsEventData());
}

// The last deregistration of a stored save's token with a recorded intent
// waits for the next write; every other one is written at once. The
// deferred one is written by the next registration, by
// writeDeferredMetadata and by closing the store.
TEST_F(SYNEventStoreTest, ADeregistrationOfAStoredSaveIsWrittenWithTheNextWrite) {
    const auto file = root / "mesh" / "store.plist";
    using Names = std::vector<std::string>;
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("A", true), nullptr);
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("B"), nullptr);
    EXPECT_EQ(identifiersInMetadataFile(file), (Names{"A", "B"}));

    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("B", true), nullptr);
    EXPECT_EQ(identifiersInMetadataFile(file), Names{"A"}) << "a token without intent is written at once";
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("A", true), nullptr);
    EXPECT_TRUE(store->incompleteMandatoryEventIdentifiers().empty());
    EXPECT_EQ(identifiersInMetadataFile(file), Names{"A"}) << "deferred";
    EXPECT_EQ(store->writeDeferredMetadata(), nullptr);
    EXPECT_TRUE(identifiersInMetadataFile(file).empty());
    const ino_t written = inodeOf(file);
    EXPECT_EQ(store->writeDeferredMetadata(), nullptr);
    EXPECT_EQ(inodeOf(file), written) << "nothing was left to write";

    // Registered twice: only the last deregistration may wait.
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("C", true), nullptr);
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("C", true), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("C", true), nullptr);
    EXPECT_EQ(store->incompleteEventIdentifiersWithRecordedIntent(), Names{"C"});
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("C", true), nullptr);
    EXPECT_EQ(identifiersInMetadataFile(file), Names{"C"});
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("D", true), nullptr);
    EXPECT_EQ(identifiersInMetadataFile(file), Names{"D"}) << "the next registration writes both";

    // Without eventStored the deregistration is written at once.
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("D"), nullptr);
    EXPECT_TRUE(identifiersInMetadataFile(file).empty());

    // Closing writes what was deferred.
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("E", true), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("E", true), nullptr);
    store->dismantle();
    EXPECT_TRUE(identifiersInMetadataFile(file).empty());
    store = openStore();
    EXPECT_TRUE(store->incompleteMandatoryEventIdentifiers().empty());

    // A failed deferred write is reported and made by the next call.
    ASSERT_EQ(store->registerIncompleteMandatoryEventIdentifier("F", true), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("F", true), nullptr);
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_NE(store->writeDeferredMetadata(), nullptr);
    fs::remove(file);
    EXPECT_EQ(store->writeDeferredMetadata(), nullptr);
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_TRUE(identifiersInMetadataFile(file).empty());
}

// The identifiers "store.plist" marks as having a recorded intent.
std::vector<std::string> identifiersWithIntentInMetadataFile(const fs::path& file) {
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(file.string());
    std::vector<std::string> identifiers;
    const auto* dictionary = plist.ok() ? plist->asDictionary() : nullptr;
    const auto* marked = dictionary ? dictionary->find("incompleteEventsWithRecordedIntent") : nullptr;
    if (marked && marked->isArray()) {
        for (const auto& entry : *marked->asArray()) {
            identifiers.push_back(entry.asString() ? *entry.asString() : std::string());
        }
    }
    return identifiers;
}

// A new save's registration is durable when it is handed out: the write
// that registers it registers spares with it (marked as having an intent,
// as a restart must see them), which the next saves take without a write.
// Spares are not listed as registered; closing drops them from the file; a
// failed write hands out nothing and the next call writes again.
TEST_F(SYNEventStoreTest, NewRegistrationsComeFromWritesThatRegisterSparesForTheNextSaves) {
    using Names = std::vector<std::string>;
    const auto file = root / "mesh" / "store.plist";
    auto first = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), Names{*first});
    EXPECT_EQ(store->incompleteEventIdentifiersWithRecordedIntent(), Names{*first});
    const Names listed = identifiersInMetadataFile(file);
    ASSERT_GT(listed.size(), 2u);
    EXPECT_EQ(identifiersWithIntentInMetadataFile(file), listed);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), *first), 1);

    // The spares are handed out without a write, each once.
    const ino_t written = inodeOf(file);
    std::set<std::string> handedOut{*first};
    for (std::size_t i = 1; i < listed.size(); ++i) {
        auto next = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
        ASSERT_TRUE(next.ok());
        EXPECT_TRUE(std::count(listed.begin(), listed.end(), *next)) << *next;
        EXPECT_TRUE(handedOut.insert(*next).second) << *next;
        EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier(*next, true), nullptr);
    }
    EXPECT_EQ(inodeOf(file), written) << "a spare was written again";
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), Names{*first});

    // With none left the next registration writes, with new spares, and the
    // deferred deregistrations go with it.
    auto another = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
    ASSERT_TRUE(another.ok());
    EXPECT_FALSE(handedOut.count(*another));
    EXPECT_NE(inodeOf(file), written);
    const Names relisted = identifiersInMetadataFile(file);
    EXPECT_EQ(relisted.size(), listed.size() + 1);
    EXPECT_TRUE(std::count(relisted.begin(), relisted.end(), *first));
    EXPECT_TRUE(std::count(relisted.begin(), relisted.end(), *another));

    // Closing drops the spares; what is registered stays.
    store->dismantle();
    std::vector<std::string> expected{*first, *another};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(identifiersInMetadataFile(file), expected);
    store = openStore();
    EXPECT_EQ(store->incompleteEventIdentifiersWithRecordedIntent(), expected);

    // A write that fails hands out nothing; the next call writes.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(store->registerNewIncompleteEventIdentifierWithRecordedIntent().ok());
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), expected);
    fs::remove(file);
    auto retried = store->registerNewIncompleteEventIdentifierWithRecordedIntent();
    ASSERT_TRUE(retried.ok());
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(identifiersInMetadataFile(file).size(), listed.size() + 2);
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers().size(), 3u);
}

TEST_F(SYNEventStoreTest, DamagedMetadataLeavesTheStoreNotEnlisted) {
    store->dismantle();
    writeFile(root / "mesh" / "store.plist", "<plist>not really");
    auto reopened = openStore();
    ASSERT_TRUE(reopened);
    EXPECT_FALSE(reopened->containsEventData());
    EXPECT_EQ(reopened->prepareNewEventStore(), nullptr);
    EXPECT_TRUE(reopened->containsEventData());
}

TEST_F(SYNEventStoreTest, RegisteringAnIncompleteEventReportsAMetadataFileThatCannotBeWritten) {
    // A directory where "store.plist" should be: the atomic write cannot
    // replace it, as when the disk is full.
    fs::remove(root / "mesh" / "store.plist");
    fs::create_directory(root / "mesh" / "store.plist");
    EXPECT_NE(store->registerIncompleteMandatoryEventIdentifier("save"), nullptr);
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), std::vector<std::string>{"save"});
    EXPECT_NE(store->deregisterIncompleteMandatoryEventIdentifier("save"), nullptr);

    fs::remove(root / "mesh" / "store.plist");
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("save"), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("save"), nullptr);
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("never registered"), nullptr);
}

TEST_F(SYNEventStoreTest, IncompleteEventCountsStayRightUnderConcurrentCalls) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("shared"), nullptr);
                EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("shared"), nullptr);
                EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("shared"), nullptr);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < 99; ++i) {
        EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("shared"), nullptr);
    }
    EXPECT_EQ(store->incompleteMandatoryEventIdentifiers(), std::vector<std::string>{"shared"});
    EXPECT_EQ(store->deregisterIncompleteMandatoryEventIdentifier("shared"), nullptr);
    EXPECT_TRUE(store->incompleteMandatoryEventIdentifiers().empty());
}

TEST_F(SYNEventStoreTest, PrepareRemovesOldEventDataButKeepsTheCloudIdentity) {
    ASSERT_TRUE(store->setCloudFileSystemIdentityToken(Value("token")));
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("old save"), nullptr);
    store->setNeedsFullIntegration(true);
    store->setIdentifierOfBaselineUsedToConstructStore("OLD");
    writeFile(root / "mesh" / "data" / "OLDFILE", "x");
    const auto oldIdentifier = store->persistentStoreIdentifier();

    ASSERT_EQ(store->prepareNewEventStore(), nullptr);
    EXPECT_NE(store->persistentStoreIdentifier(), oldIdentifier);
    EXPECT_EQ(store->cloudFileSystemIdentityToken(), Value("token"));
    EXPECT_TRUE(store->incompleteMandatoryEventIdentifiers().empty());
    EXPECT_FALSE(store->needsFullIntegration());
    EXPECT_EQ(store->identifierOfBaselineUsedToConstructStore(), std::nullopt);
    EXPECT_FALSE(fs::exists(root / "mesh" / "data" / "OLDFILE"));
    EXPECT_TRUE(allEvents().empty());
}

TEST_F(SYNEventStoreTest, RemovingTheStoreDeletesOnlyItsMeshDirectory) {
    writeFile(root / "sibling" / "keep", "x");
    writeFile(root / "keep.txt", "x");
    ASSERT_EQ(store->removeEventStore(), nullptr);
    EXPECT_FALSE(fs::exists(root / "mesh"));
    EXPECT_TRUE(fs::exists(root / "sibling" / "keep"));
    EXPECT_TRUE(fs::exists(root / "keep.txt"));
    EXPECT_FALSE(store->containsEventData());
    EXPECT_EQ(store->persistentStoreIdentifier(), std::nullopt);

    ASSERT_EQ(store->prepareNewEventStore(), nullptr);
    bool done = false;
    bool onMain = false;
    plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
    store->removeEventStoreWithCompletion([&](plat::ErrorPtr e) {
        error = e;
        onMain = plat::dispatch::MainLoop::isMainThread();
        done = true;
    });
    pumpMainUntil([&] { return done; });
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(fs::exists(root / "mesh"));
}

TEST_F(SYNEventStoreTest, DataFilesMoveFromImportToReferencedAndUnreferencedOnesGo) {
    writeFile(root / "download" / "REFERENCED", "new bytes");
    writeFile(root / "download" / "PENDING", "not yet referenced");
    EXPECT_TRUE(store->importDataFile((root / "download" / "REFERENCED").string()));
    EXPECT_TRUE(store->importDataFile((root / "download" / "PENDING").string()));
    EXPECT_FALSE(fs::exists(root / "download" / "REFERENCED"));
    EXPECT_FALSE(store->importDataFile((root / "download" / "..").string()));
    EXPECT_FALSE(store->importDataFile((root / "download" / "missing").string()));

    auto kept = store->storeDataFile(plat::Data::fromString("kept"));
    auto stale = store->storeDataFile(plat::Data::fromString("stale"));
    ASSERT_TRUE(kept.ok() && stale.ok());
    EXPECT_EQ(*kept, syn_md5Checksum(plat::Data::fromString("kept")));
    EXPECT_EQ(store->allDataFilenames(), (std::set<std::string>{"PENDING", "REFERENCED", *kept, *stale}));
    EXPECT_EQ(store->newlyImportedDataFilenames(), (std::set<std::string>{"PENDING", "REFERENCED"}));
    EXPECT_EQ(store->dataForFile("REFERENCED"), plat::Data::fromString("new bytes"));
    EXPECT_EQ(store->dataForFile(*kept), plat::Data::fromString("kept"));
    EXPECT_EQ(store->dataForFile("../store.plist"), std::nullopt);
    EXPECT_EQ(store->dataForFile("nothing"), std::nullopt);

    inStore([&] {
        for (const std::string& name : {std::string("REFERENCED"), *kept}) {
            auto record = context->insertNewObjectForEntityForName(SYNDataFileEntityName);
            record->setValue(Value(name), "filename");
        }
        ASSERT_EQ(context->save(), nullptr);
    });
    store->removeUnreferencedDataFiles();
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), (std::set<std::string>{"REFERENCED", *kept}));
    EXPECT_EQ(store->newlyImportedDataFilenames(), std::set<std::string>{"PENDING"});

    fs::create_directories(root / "export");
    EXPECT_TRUE(store->exportDataFile("REFERENCED", (root / "export").string()));
    EXPECT_TRUE(fs::exists(root / "export" / "REFERENCED"));
    EXPECT_FALSE(store->exportDataFile("..", (root / "export").string()));
    EXPECT_FALSE(store->exportDataFile("PENDING", (root / "export").string()));
    EXPECT_TRUE(store->removeNewlyImportedDataFile("PENDING"));
    EXPECT_FALSE(store->removeNewlyImportedDataFile("PENDING"));
    EXPECT_FALSE(store->removeNewlyImportedDataFile("../data"));
    EXPECT_TRUE(fs::exists(root / "mesh" / "data"));
}

// Puts the folders' modification times ten seconds back, so that with the
// store's clock a second ahead their listings may be kept; any change to a
// folder after that stamps it anew, as the store must notice.
void backdateFolders(const std::vector<fs::path>& folders) {
    for (const auto& folder : folders) {
        struct timespec now {};
        ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &now), 0);
        struct timespec times[2] = {now, now};
        times[0].tv_sec -= 10;
        times[1].tv_sec -= 10;
        ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, 0), 0) << folder;
    }
}

TEST_F(SYNEventStoreTest, DataFolderListingsFollowEveryChangeOfTheFolders) {
    const auto data = root / "mesh" / "data";
    const auto newdata = root / "mesh" / "newdata";
    store->setWallClockForTesting([] {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return (static_cast<int64_t>(now.tv_sec) + 1) * 1'000'000'000LL + now.tv_nsec;
    });
    auto first = store->storeDataFile(plat::Data::fromString("first"));
    ASSERT_TRUE(first.ok());
    writeFile(root / "download" / "IMPORTED", "imported");
    ASSERT_TRUE(store->importDataFile((root / "download" / "IMPORTED").string()));
    backdateFolders({data, newdata});
    // Listed now, the folders' names may be kept from here on.
    EXPECT_EQ(store->allDataFilenames(), (std::set<std::string>{*first, "IMPORTED"}));
    EXPECT_EQ(store->allDataFilenames(), (std::set<std::string>{*first, "IMPORTED"}));

    // Changes of this store show at once, within the clock's step.
    auto second = store->storeDataFile(plat::Data::fromString("second"));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), (std::set<std::string>{*first, *second}));
    EXPECT_TRUE(store->removeNewlyImportedDataFile("IMPORTED"));
    EXPECT_EQ(store->newlyImportedDataFilenames(), std::set<std::string>());

    // So do changes made by anything else: a file put in, one taken out,
    // the folder made anew.
    backdateFolders({data, newdata});
    EXPECT_EQ(store->allDataFilenames(), (std::set<std::string>{*first, *second}));
    writeFile(newdata / "PUT", "put");
    EXPECT_EQ(store->newlyImportedDataFilenames(), std::set<std::string>{"PUT"});
    fs::remove(data / *first);
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), std::set<std::string>{*second});
    backdateFolders({data, newdata});
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), std::set<std::string>{*second});
    fs::rename(data, root / "old-data");
    fs::create_directories(data);
    writeFile(data / "OTHER", "other");
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), std::set<std::string>{"OTHER"});
    fs::remove_all(data);
    EXPECT_EQ(store->previouslyReferencedDataFilenames(), std::set<std::string>());
}

TEST_F(SYNEventStoreTest, InterruptedEventsAreRemovedUnlessRegistered) {
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("save in progress"), nullptr);
    inStore([&] {
        EventWriter(*context).event("crashed merge", SYNStoreModificationEventTypeIncomplete, 0, {"S", 1});
        EventWriter(*context).event("save in progress", SYNStoreModificationEventTypeIncomplete, 0, {"S", 2});
        EventWriter(*context).event("complete", SYNStoreModificationEventTypeSave, 1, {"S", 0});
        ASSERT_EQ(context->save(), nullptr);
    });
    ASSERT_EQ(store->removeInterruptedEvents(), nullptr);
    std::set<std::string> left;
    for (const auto& event : allEvents()) {
        left.insert(inStore([&] { return SYNStoreModificationEvent::uniqueIdentifier(*event); }));
    }
    EXPECT_EQ(left, (std::set<std::string>{"save in progress", "complete"}));
}

// An event store written before inserts recorded the revision of their
// values opens (its store is migrated), its changes read as unrecorded, and
// new changes record theirs.
TEST_F(SYNEventStoreTest, AStoreWrittenBeforeValuesRevisionsOpensWithThemUnrecorded) {
    const std::string path = store->pathToStoreFile();
    store->dismantle();
    store.reset();
    context.reset();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        fs::remove(path + suffix);
    }
    {
        auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(
            SYNEventStoreModelWithoutValuesRevisions());
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        auto old = coordinator->addPersistentStore(kStoreType, "", plat::URL::fileURLWithPath(path));
        ASSERT_TRUE(old.ok());
        auto oldContext =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        oldContext->setPersistentStoreCoordinator(coordinator);
        EventWriter write(*oldContext);
        auto base = write.event("old baseline", SYNStoreModificationEventTypeBaseline, 1, {"A", 0});
        write.change(base, "p1", SYNObjectChangeTypeInsert, {attribute("name", Value("one"))});
        ASSERT_EQ(oldContext->save(), nullptr);
        oldContext->reset();
        ASSERT_EQ(coordinator->removePersistentStore(*old), nullptr);
    }
    store = openStore();
    ASSERT_TRUE(store);
    context = store->managedObjectContext();
    ASSERT_TRUE(context);
    inStore([&] {
        auto base = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        ASSERT_TRUE(base);
        auto changes = base->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(SYNObjectChange::valuesRevision(*changes.front()), std::nullopt);
        EXPECT_EQ(SYNObjectChange::globalIdentifierString(*changes.front()), "p1");
        EventWriter(*context).insert(base, "p2", {attribute("name", Value("two"))}, {"A", 0});
        ASSERT_EQ(context->save(), nullptr);
    });
    store->dismantle();
    store = openStore();
    context = store->managedObjectContext();
    inStore([&] {
        auto base = *SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        std::map<std::string, std::optional<SYNRevision>> recorded;
        for (const auto& change : base->objectsForKey("objectChanges")) {
            recorded[*SYNObjectChange::globalIdentifierString(*change)] =
                SYNObjectChange::valuesRevision(*change);
        }
        EXPECT_EQ(recorded, (std::map<std::string, std::optional<SYNRevision>>{{"p1", std::nullopt},
                                                                               {"p2", SYNRevision{"A", 0}}}));
    });
}

TEST_F(SYNEventStoreTest, CurrentBaselineIsTheLastBaselineInEventOrder) {
    EXPECT_EQ(store->currentBaselineIdentifier(), std::nullopt);
    inStore([&] {
        EventWriter(*context).event("later", SYNStoreModificationEventTypeBaseline, 5, {"A", 0});
        EventWriter(*context).event("earlier", SYNStoreModificationEventTypeBaseline, 2, {"B", 0});
        EventWriter(*context).event("tie, store B", SYNStoreModificationEventTypeBaseline, 5, {"B", 0});
        EventWriter(*context).event("a save", SYNStoreModificationEventTypeSave, 9, {"B", 1});
        ASSERT_EQ(context->save(), nullptr);
    });
    EXPECT_EQ(store->currentBaselineIdentifier(), "tie, store B");
}

TEST_F(SYNEventStoreTest, FlushSavesPendingChangesAndRemoveUnusedDataDropsOrphanIdentifiers) {
    inStore([&] {
        auto event = EventWriter(*context).event("e", SYNStoreModificationEventTypeSave, 0, {"S", 0});
        auto used = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        used->setValue(Value("used"), "globalIdentifier");
        used->setValue(Value("Person"), "nameOfEntity");
        auto orphan = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        orphan->setValue(Value("orphan"), "globalIdentifier");
        orphan->setValue(Value("Person"), "nameOfEntity");
        auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        change->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
        change->setValue(Value("Person"), "nameOfEntity");
        change->setObject(used, "globalIdentifier");
        change->setObject(event, "storeModificationEvent");
    });
    bool flushed = false;
    plat::ErrorPtr error = SYNMakeError(SYNErrorUnknown);
    store->flushWithCompletion([&](plat::ErrorPtr e) {
        error = e;
        flushed = true;
    });
    pumpMainUntil([&] { return flushed; });
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(inStore([&] { return context->hasChanges(); }));

    EXPECT_EQ(removeUnusedData(*store), nullptr);
    EXPECT_EQ(inStore([&] { return identifierTexts(*context); }), std::set<std::string>{"used"});
    store->removeUnusedDataWithCompletion(nullptr);
    plat::dispatch::MainLoop::drain();
}

// A mesh start runs the clean-up on the event store's own context: it must
// not leave every change and identifier of the store registered there.
TEST_F(SYNEventStoreTest, RemovingUnusedDataLeavesNoRecordRegistered) {
    inStore([&] {
        auto event = EventWriter(*context).event("e", SYNStoreModificationEventTypeSave, 0, {"S", 0});
        for (int i = 0; i < 40; ++i) {
            auto identifier = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            identifier->setValue(Value("id" + std::to_string(i)), "globalIdentifier");
            identifier->setValue(Value("Person"), "nameOfEntity");
            if (i % 4 == 0) {
                continue;  // unused
            }
            auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            change->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
            change->setValue(Value("Person"), "nameOfEntity");
            change->setObject(identifier, "globalIdentifier");
            change->setObject(event, "storeModificationEvent");
        }
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    EXPECT_EQ(removeUnusedData(*store), nullptr);
    EXPECT_EQ(inStore([&] { return context->registeredObjects().size(); }), 0u);
    auto remaining = inStore([&] {
        auto count =
            context->countForFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        return count.ok() ? *count : std::size_t{0};
    });
    EXPECT_EQ(remaining, 30u);
}

// The clean-up looks through the identifiers only while the store may hold
// unused ones: a save that deletes an event leaves that mark in the store
// file, so the identifier its changes used is found after a restart too; an
// older store without the mark is looked through.
TEST_F(SYNEventStoreTest, IdentifiersLeftUnusedByADeletionAreRemovedAfterARestart) {
    auto eventWithChange = [&](const std::string& event, const std::string& identifier, int64_t count) {
        auto made =
            EventWriter(*context).event(event, SYNStoreModificationEventTypeSave, count, {"S", count});
        auto record = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(Value(identifier), "globalIdentifier");
        record->setValue(Value("Person"), "nameOfEntity");
        auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        change->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
        change->setValue(Value("Person"), "nameOfEntity");
        change->setObject(record, "globalIdentifier");
        change->setObject(made, "storeModificationEvent");
    };
    auto cleanUp = [&] { EXPECT_EQ(removeUnusedData(*store), nullptr); };
    auto identifiers = [&] { return inStore([&] { return identifierTexts(*context); }); };
    auto reopen = [&] {
        store->dismantle();
        store = openStore();
        ASSERT_TRUE(store);
        context = store->managedObjectContext();
        ASSERT_TRUE(context);
    };

    inStore([&] {
        eventWithChange("first", "kept", 1);
        eventWithChange("second", "dropped", 2);
        ASSERT_EQ(context->save(), nullptr);
    });
    cleanUp();
    EXPECT_EQ(identifiers(), (std::set<std::string>{"kept", "dropped"}));

    inStore([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        for (const auto& event : *events) {
            if (SYNStoreModificationEvent::uniqueIdentifier(*event) == "second") {
                context->deleteObject(event);
            }
        }
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    reopen();
    cleanUp();
    EXPECT_EQ(identifiers(), std::set<std::string>{"kept"});

    // An identifier added without a change, in a store whose metadata were
    // written before the mark existed.
    inStore([&] {
        auto orphan = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        orphan->setValue(Value("orphan"), "globalIdentifier");
        orphan->setValue(Value("Person"), "nameOfEntity");
        ASSERT_EQ(context->save(), nullptr);
    });
    store->dismantle();
    const auto url = plat::URL::fileURLWithPath((root / "mesh" / "events.sqlite").string());
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        plat::coredata::SQLiteStoreType, url);
    ASSERT_TRUE(metadata.ok());
    plat::Dictionary older;
    for (const auto& [key, value] : *metadata) {
        if (key.find("Unused") == std::string::npos) {
            older.set(key, value);
        }
    }
    ASSERT_LT(older.size(), metadata->size());
    ASSERT_EQ(
        plat::coredata::PersistentStoreCoordinator::setMetadata(older, plat::coredata::SQLiteStoreType, url),
        nullptr);
    reopen();
    cleanUp();
    EXPECT_EQ(identifiers(), std::set<std::string>{"kept"});
}

}  // namespace
}  // namespace eventstoretest

namespace eventstoretest {
namespace {

// Whatever the umask, the event store's folders and files are the user's
// alone: a shared machine's other users read none of the synced data.
TEST(SYNEventStorePrivacyTest, FoldersAndFilesArePrivateWhateverTheUmask) {
    testsupport::TempDir dir;
    const mode_t previous = ::umask(0);
    auto store = SYNEventStore::create("mesh", dir.str() + "/root/eventstore", kStoreType);
    ASSERT_TRUE(store);
    ASSERT_EQ(store->prepareNewEventStore(), nullptr);
    auto name = store->storeDataFile(plat::Data::fromString("private bytes"));
    ::umask(previous);
    ASSERT_TRUE(name.ok());
    auto mode = [](const fs::path& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0u;
    };
    const auto mesh = dir.path() / "root" / "eventstore" / "mesh";
    for (const auto& folder : {dir.path() / "root", dir.path() / "root" / "eventstore", mesh, mesh / "data",
                               mesh / "newdata", mesh / "tmp"}) {
        EXPECT_EQ(mode(folder), 0700u) << folder;
    }
    EXPECT_EQ(mode(mesh / "store.plist"), 0600u);
    EXPECT_EQ(mode(mesh / "data" / *name), 0600u);
}

}  // namespace
}  // namespace eventstoretest
