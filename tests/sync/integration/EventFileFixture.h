// Shared set-up of the event file and cloud manager tests: event stores in a
// temporary folder (several, as on several machines), events written
// straight into them, and a canonical text of an event to compare the copy
// that went through files with the original.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coredata/SQLiteStore.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Decimal.h"
#include "sync/eventstore/EventStoreFixture.h"
#include "sync/integration/SYNEventExport.h"
#include "sync/integration/SYNEventMigrator.h"

namespace integrationtest {

using eventstoretest::attribute;
using eventstoretest::EventWriter;
using eventstoretest::makeApplicationModel;
using eventstoretest::revisions;
using eventstoretest::toMany;

// Starts an operation with a completion, runs the main loop until the
// completion ran (once) and gives the error it was called with.
inline plat::ErrorPtr wait(const std::function<void(std::function<void(plat::ErrorPtr)>)>& start) {
    bool done = false;
    plat::ErrorPtr result;
    start([&](plat::ErrorPtr error) {
        EXPECT_FALSE(done);
        result = error;
        done = true;
    });
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
    return result;
}

// Person and Pet take part in sync, Note is ignored. Person changes go in
// batches of personBatchSize (0: the default).
inline std::shared_ptr<const plat::coredata::ManagedObjectModel> makeModel(int64_t personBatchSize) {
    using plat::coredata::AttributeType;
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& person = model->addEntity("Person");
    person.addAttribute("name", AttributeType::String);
    person.addAttribute("age", AttributeType::Integer64);
    if (personBatchSize > 0) {
        person.setUserInfo({{SYNMigrationBatchSizeKey, plat::Value(personBatchSize)}});
    }
    model->addEntity("Pet").addAttribute("name", AttributeType::String);
    auto& note = model->addEntity("Note");
    note.setUserInfo({{SYNIgnoredKey, plat::Value(true)}});
    note.addAttribute("text", AttributeType::String);
    EXPECT_EQ(model->finalize(), nullptr);
    return model;
}

inline std::shared_ptr<const plat::coredata::ManagedObjectModel> applicationModel() {
    static auto model = makeModel(0);
    return model;
}

// Person changes in batches of 20, so that small events span several files.
inline std::shared_ptr<const plat::coredata::ManagedObjectModel> smallBatchModel() {
    static auto model = makeModel(20);
    return model;
}

// Runs work inside the store's context.
template <class F>
auto inContext(const std::shared_ptr<SYNEventStore>& store, F&& work) {
    auto context = store->managedObjectContext();
    using R = decltype(work(*context));
    if constexpr (std::is_void_v<R>) {
        context->performBlockAndWait([&] { work(*context); });
    } else {
        std::optional<R> result;
        context->performBlockAndWait([&] { result.emplace(work(*context)); });
        return std::move(*result);
    }
}

// Everything an event holds, as text, independent of row order.
inline std::string describeEvent(const plat::coredata::ManagedObject& event) {
    std::string text = "type " + std::to_string(SYNStoreModificationEvent::type(event)) + " gc " +
                       std::to_string(SYNStoreModificationEvent::globalCount(event)) + " ts " +
                       std::to_string(SYNStoreModificationEvent::timestamp(event)) + " uid " +
                       SYNStoreModificationEvent::uniqueIdentifier(event) + " mv " +
                       event.valueForKey("modelVersion").description() + " mvi " +
                       event.valueForKey("modelVersionIdentifier").description() + " own " +
                       SYNStoreModificationEvent::storeIdentifier(event) + " revisions " +
                       SYNStoreModificationEvent::revisionSet(event).description() + "\n";
    std::vector<std::string> changes;
    for (const auto& change : event.objectsForKey("objectChanges")) {
        std::string line = change->valueForKey("nameOfEntity").description() + " " +
                           SYNObjectChange::globalIdentifierString(*change).value_or("-") + " " +
                           std::to_string(SYNObjectChange::type(*change));
        std::vector<std::string> files;
        for (const auto& file : change->objectsForKey("dataFiles")) {
            files.push_back(file->valueForKey("filename").description());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            line += " file:" + file;
        }
        for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
            line += " [" + value.description() + "]";
        }
        changes.push_back(line);
    }
    std::sort(changes.begin(), changes.end());
    for (const auto& line : changes) {
        text += line + "\n";
    }
    return text;
}

inline std::string describeEvent(const std::shared_ptr<SYNEventStore>& store,
                                 const std::string& uniqueIdentifier) {
    return inContext(store, [&](plat::coredata::ManagedObjectContext& context) -> std::string {
        auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
            uniqueIdentifier, context);
        if (!event.ok() || !*event) {
            return "<missing>";
        }
        return describeEvent(**event);
    });
}

inline std::size_t countEvents(const std::shared_ptr<SYNEventStore>& store) {
    return inContext(store, [&](plat::coredata::ManagedObjectContext& context) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        return events.ok() ? events->size() : std::size_t(999);
    });
}

class EventFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        plat::dispatch::MainLoop::drain();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("AAAAAAAA-0000-0000-0000-000000000001");
        source = makeStore("a");
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("BBBBBBBB-0000-0000-0000-000000000002");
        destination = makeStore("b");
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    }
    void TearDown() override {
        plat::dispatch::MainLoop::drain();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    }

    std::shared_ptr<SYNEventStore> makeStore(const std::string& machine) {
        auto store = SYNEventStore::create("mesh", root.str() + "/" + machine, eventstoretest::kStoreType);
        EXPECT_TRUE(store);
        EXPECT_EQ(store->prepareNewEventStore(), nullptr);
        return store;
    }

    std::string storeID(const std::shared_ptr<SYNEventStore>& store) {
        return *store->persistentStoreIdentifier();
    }

    // A save event of the store with `count` Person inserts (every attribute
    // kind), an update with to-many changes, a delete, and a Pet insert.
    plat::coredata::ManagedObjectIDPtr writeEvent(const std::shared_ptr<SYNEventStore>& store,
                                                  const std::string& uid, int16_t type, int64_t globalCount,
                                                  int64_t revision, std::size_t count = 3,
                                                  int64_t batchEvery = 0) {
        (void)batchEvery;
        return inContext(store, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event = writer.event(uid, type, globalCount, SYNRevision{storeID(store), revision},
                                      revisions({{"OTHER-STORE", 7}}), "md5ABC");
            for (std::size_t i = 0; i < count; ++i) {
                char gid[32];
                std::snprintf(gid, sizeof gid, "P%06zu", i);
                writer.change(event, gid, SYNObjectChangeTypeInsert,
                              {attribute("name", plat::Value("name " + std::to_string(i))),
                               attribute("age", plat::Value(static_cast<int64_t>(i)))});
            }
            writer.change(event, "U1", SYNObjectChangeTypeUpdate,
                          {toMany("friends", {"P000000", "P000001"}, {"X"})});
            writer.change(event, "D1", SYNObjectChangeTypeDelete);
            // Every other kind of value and relationship change.
            SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "owner");
            toOne.setRelatedIdentifier("P000000");
            SYNPropertyChangeValue ordered(SYNPropertyChangeTypeOrderedToManyRelationship, "pets");
            ordered.setAddedIdentifiers({"PET1"});
            ordered.setMovedIdentifiersByIndex({{0, "PET1"}, {3, "PET2"}});
            SYNPropertyChangeValue large(SYNPropertyChangeTypeAttribute, "photo");
            large.setFilename("ABCDEF0123");
            writer.change(event, "RICH", SYNObjectChangeTypeUpdate,
                          {toOne, ordered, large, attribute("born", plat::Value(plat::Date(1000.25))),
                           attribute("blob", plat::Value(plat::Data(std::vector<uint8_t>(70, 0xA5)))),
                           attribute("price", plat::Value(plat::Decimal::fromString("-12.5e-3"))),
                           attribute("ratio", plat::Value(-HUGE_VAL)), attribute("flag", plat::Value(true)),
                           attribute("cleared", plat::Value()),
                           attribute("tag", plat::Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"))});
            writer.change(event, "PET1", SYNObjectChangeTypeInsert, {attribute("name", plat::Value("Rex"))},
                          "Pet");
            EXPECT_EQ(context.save(), nullptr);
            return event->objectID();
        });
    }

    // Exports the source's event of that revision and types and copies its
    // one file to `path`: the path, or "" (a failure recorded) when the
    // export fails or makes other than one file.
    std::string exportedTo(const std::string& path, int64_t revision, std::vector<int16_t> types) {
        SYNEventMigrator migrator(source, applicationModel());
        bool done = false;
        std::vector<std::string> files;
        migrator.migrateLocalEventToTemporaryFilesForRevision(
            revision, std::move(types), [&](plat::ErrorPtr error, std::vector<std::string> made) {
                EXPECT_EQ(error, nullptr);
                files = std::move(made);
                done = true;
            });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        if (files.size() != 1) {
            ADD_FAILURE() << "one file expected, got " << files.size();
            return std::string();
        }
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file(files.front(), path, std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    testsupport::TempDir root;
    std::shared_ptr<SYNEventStore> source;
    std::shared_ptr<SYNEventStore> destination;
};

// Counts the commits of saves of every SQLite store of the process while it
// lives (one test at a time: the store's test hook is process-wide).
class StoreCommits {
  public:
    StoreCommits() {
        count() = 0;
        plat::coredata::SQLiteStore::setTestHook([](const char* point) {
            if (std::string_view(point) == "save.commit") {
                ++count();
            }
        });
    }
    ~StoreCommits() { plat::coredata::SQLiteStore::setTestHook(nullptr); }
    int commits() const { return count().load(); }

  private:
    static std::atomic<int>& count() {
        static std::atomic<int> commits{0};
        return commits;
    }
};

// Runs an operation on the calling thread.
template <class Operation>
void run(const std::shared_ptr<Operation>& operation) {
    operation->start();
}

}  // namespace integrationtest
