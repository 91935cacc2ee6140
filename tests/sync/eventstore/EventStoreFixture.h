// Shared set-up of the event store tests: a fresh event store in a temporary
// folder, an application model and store to take changes from, and helpers
// to read events back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/URL.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNContextAdditions.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

namespace eventstoretest {

// The object-store type the event stores of these tests use: the one a
// real event store keeps its events in.
inline const std::string kStoreType = plat::coredata::SQLiteStoreType;

inline void pumpMainUntil(const std::function<bool()>& done) {
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil(done, 30.0));
}

// Removes the list of numbered store identifiers from the metadata of the
// closed event store file at path: the store then reads and writes full
// identifiers, as the version before the list left its stores.
inline void dropStoreIdentifierList(const std::string& path) {
    const auto url = plat::URL::fileURLWithPath(path);
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url);
    ASSERT_TRUE(metadata.ok());
    ASSERT_TRUE(metadata->erase(SYNStoreIdentifiersMetadataKey));
    ASSERT_EQ(plat::coredata::PersistentStoreCoordinator::setMetadata(*metadata, kStoreType, url), nullptr);
}

// Person(name, age, photo, tag, homepage, secret [ignored], scratch
// [transient]; friends many-to-many; pets ordered to-many with Pet.owner);
// Pet(name); Note [ignored entity].
inline std::shared_ptr<plat::coredata::ManagedObjectModel> makeApplicationModel() {
    using plat::coredata::AttributeType;
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& person = model->addEntity("Person");
    person.addAttribute("name", AttributeType::String);
    person.addAttribute("age", AttributeType::Integer32);
    person.addAttribute("photo", AttributeType::BinaryData);
    person.addAttribute("tag", AttributeType::UUID);
    person.addAttribute("homepage", AttributeType::URI);
    person.addAttribute("secret", AttributeType::String).setUserInfo({{SYNIgnoredKey, plat::Value("YES")}});
    person.addAttribute("scratch", AttributeType::String).transient(true);
    person.addRelationship("friends", "Person").inverse("friends").toMany();
    person.addRelationship("pets", "Pet").inverse("owner").ordered();
    person.addRelationship("notes", "Note").inverse("person").toMany();
    auto& pet = model->addEntity("Pet");
    pet.addAttribute("name", AttributeType::String);
    pet.addRelationship("owner", "Person").inverse("pets");
    auto& note = model->addEntity("Note");
    note.setUserInfo({{SYNIgnoredKey, plat::Value(true)}});
    note.addAttribute("text", AttributeType::String);
    note.addRelationship("person", "Person").inverse("notes");
    return model;
}

class EventStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::dispatch::MainLoop::bindToCurrentThread();
        plat::dispatch::MainLoop::drain();
        store = openStore();
        ASSERT_TRUE(store);
        ASSERT_EQ(store->prepareNewEventStore(), nullptr);
        context = store->managedObjectContext();
    }
    void TearDown() override {
        plat::dispatch::MainLoop::drain();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    }

    std::shared_ptr<SYNEventStore> openStore(const std::string& mesh = "mesh") {
        return SYNEventStore::create(mesh, root.str(), kStoreType);
    }

    // The test's store reopened without its list of numbered store
    // identifiers (see dropStoreIdentifierList).
    void reopenWithFullStoreIdentifiers() {
        const std::string path = store->pathToStoreFile();
        store->dismantle();
        dropStoreIdentifierList(path);
        store = openStore();
        context = store->managedObjectContext();
        ASSERT_FALSE(SYNStoreIdentifiers::forContext(*context)->isCompact());
    }

    // An application store with its own context (confined to the test).
    struct Application {
        std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
        std::shared_ptr<plat::coredata::ManagedObjectContext> context;
    };
    static Application makeApplication() {
        Application application;
        application.coordinator = plat::coredata::PersistentStoreCoordinator::create(makeApplicationModel());
        EXPECT_TRUE(
            application.coordinator->addPersistentStore(plat::coredata::InMemoryStoreType, "", std::nullopt)
                .ok());
        application.context =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        application.context->setPersistentStoreCoordinator(application.coordinator);
        return application;
    }

    // Marks every event of the store deleted (call inside inStore; the
    // caller's save writes it); false when they could not be fetched.
    bool deleteAllEvents() {
        auto existing = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::nullopt, std::nullopt, *context);
        if (!existing.ok()) {
            return false;
        }
        for (const auto& event : *existing) {
            context->deleteObject(event);
        }
        return true;
    }

    // Runs work in the event store's context.
    template <class F>
    auto inStore(F&& work) {
        using R = decltype(work());
        if constexpr (std::is_void_v<R>) {
            context->performBlockAndWait([&] { work(); });
        } else {
            std::optional<R> result;
            context->performBlockAndWait([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    SYNManagedObjects allEvents() {
        return inStore([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            EXPECT_TRUE(events.ok());
            SYNManagedObjects sorted = events.ok() ? *events : SYNManagedObjects();
            SYNStoreModificationEvent::sortInEventOrder(sorted);
            return sorted;
        });
    }

    // The change of an event for a global identifier string, or null.
    plat::coredata::ManagedObjectPtr changeFor(const plat::coredata::ManagedObjectPtr& event,
                                               const std::string& identifier) {
        for (const auto& change : event->objectsForKey("objectChanges")) {
            if (SYNObjectChange::globalIdentifierString(*change) == identifier) {
                return change;
            }
        }
        return nullptr;
    }

    static const SYNPropertyChangeValue* valueNamed(const std::vector<SYNPropertyChangeValue>& values,
                                                    const std::string& name) {
        for (const auto& value : values) {
            if (value.propertyName() == name) {
                return &value;
            }
        }
        return nullptr;
    }

    testsupport::TempDir root;
    std::shared_ptr<SYNEventStore> store;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context;
};

}  // namespace eventstoretest

namespace eventstoretest {

// Writes events straight into an event store context, for tests that need
// exact revisions.
class EventWriter {
  public:
    explicit EventWriter(plat::coredata::ManagedObjectContext& context) : context_(context) {}

    plat::coredata::ManagedObjectPtr event(const std::string& uid, int16_t type, int64_t globalCount,
                                           const SYNRevision& own, const SYNRevisionSet& others = {},
                                           const std::string& modelVersion = {}) {
        auto event = context_.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
        event->setValue(plat::Value(uid), "uniqueIdentifier");
        event->setValue(plat::Value(int64_t{type}), "type");
        event->setValue(plat::Value(globalCount), "globalCount");
        event->setValue(plat::Value(static_cast<double>(globalCount)), "timestamp");
        if (!modelVersion.empty()) {
            event->setValue(plat::Value(modelVersion), "modelVersion");
        }
        event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                             own.persistentStoreIdentifier, own.revisionNumber, context_),
                         "eventRevision");
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*event, others);
        return event;
    }

    plat::coredata::ManagedObjectPtr identifier(const std::string& gid,
                                                const std::string& entity = "Person") {
        auto found = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings({gid}, entity, context_);
        if (found.ok() && found->front()) {
            return found->front();
        }
        auto record = context_.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(plat::Value(gid), "globalIdentifier");
        record->setValue(plat::Value(entity), "nameOfEntity");
        return record;
    }

    plat::coredata::ManagedObjectPtr change(const plat::coredata::ManagedObjectPtr& event,
                                            const std::string& gid, int16_t type,
                                            const std::vector<SYNPropertyChangeValue>& values = {},
                                            const std::string& entity = "Person") {
        auto change = context_.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        change->setValue(plat::Value(int64_t{type}), "type");
        change->setValue(plat::Value(entity), "nameOfEntity");
        change->setObject(identifier(gid, entity), "globalIdentifier");
        change->setObject(event, "storeModificationEvent");
        SYNObjectChange::setPropertyChangeValues(*change, values);
        for (const auto& value : values) {
            if (value.filename()) {
                auto file = context_.insertNewObjectForEntityForName(SYNDataFileEntityName);
                file->setValue(plat::Value(*value.filename()), "filename");
                file->setObject(change, "objectChange");
            }
        }
        return change;
    }

    // An insert of a baseline that records the revision of the save that
    // last set its values.
    plat::coredata::ManagedObjectPtr insert(const plat::coredata::ManagedObjectPtr& event,
                                            const std::string& gid,
                                            const std::vector<SYNPropertyChangeValue>& values,
                                            const SYNRevision& valuesRevision) {
        auto made = change(event, gid, SYNObjectChangeTypeInsert, values);
        SYNObjectChange::setValuesRevision(*made, valuesRevision);
        return made;
    }

  private:
    plat::coredata::ManagedObjectContext& context_;
};

// Per global identifier, the values revision of its change as the event
// store's file holds it, read with SQLite: store text (nullopt: null), number.
using StoredRevisions = std::map<std::string, std::pair<std::optional<std::string>, std::optional<int64_t>>>;

// The list of numbered store identifiers the closed or open event store file
// at path holds in its metadata; nullopt without the list.
inline std::optional<std::vector<std::string>> storedIdentifierList(const std::string& path) {
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        "", plat::URL::fileURLWithPath(path));
    EXPECT_TRUE(metadata.ok());
    const plat::Value* list = metadata.ok() ? metadata->find(SYNStoreIdentifiersMetadataKey) : nullptr;
    if (!list || !list->asArray()) {
        return std::nullopt;
    }
    std::vector<std::string> texts;
    for (const auto& entry : *list->asArray()) {
        texts.push_back(entry.stringValue());
    }
    return texts;
}

// The identifier a stored text names through the file's list ("" when it
// names none).
inline std::string identifierOnDisk(const std::vector<std::string>& list, const std::string& stored) {
    std::size_t number = 0;
    auto [end, error] = std::from_chars(stored.data(), stored.data() + stored.size(), number);
    if (error != std::errc() || end != stored.data() + stored.size() || stored.empty() ||
        number >= list.size()) {
        return "";
    }
    return list[number];
}

inline StoredRevisions storedRevisions(const std::string& path) {
    StoredRevisions rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* query = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(
                  db,
                  "SELECT g.ZGLOBALIDENTIFIER, c.ZVALUESREVISIONSTORE, c.ZVALUESREVISIONNUMBER "
                  "FROM Z_SYNOBJECTCHANGE c JOIN Z_SYNGLOBALIDENTIFIER g ON g.Z_PK = c.ZGLOBALIDENTIFIER",
                  -1, &query, nullptr),
              SQLITE_OK);
    while (query && sqlite3_step(query) == SQLITE_ROW) {
        auto& row = rows[reinterpret_cast<const char*>(sqlite3_column_text(query, 0))];
        if (sqlite3_column_type(query, 1) != SQLITE_NULL) {
            row.first = reinterpret_cast<const char*>(sqlite3_column_text(query, 1));
        }
        if (sqlite3_column_type(query, 2) != SQLITE_NULL) {
            row.second = sqlite3_column_int64(query, 2);
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

inline SYNRevisionSet revisions(std::initializer_list<std::pair<const char*, int64_t>> entries) {
    SYNRevisionSet set;
    for (const auto& [store, number] : entries) {
        set.setRevisionNumber(store, number);
    }
    return set;
}

inline SYNPropertyChangeValue attribute(const std::string& name, plat::Value value) {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeAttribute, name);
    change.setValue(std::move(value));
    return change;
}

inline SYNPropertyChangeValue toMany(const std::string& name, std::set<std::string> added,
                                     std::set<std::string> removed = {}) {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeToManyRelationship, name);
    change.setAddedIdentifiers(std::move(added));
    change.setRemovedIdentifiers(std::move(removed));
    return change;
}

// Update changes that rename each of `people` to its name + suffix, with
// their IDs in order, as SYNEventBuilder::addUpdateChangesForObjectIDs takes
// them.
struct Renamings {
    SYNManagedObjectIDs ids;
    SYNPropertyChangeValuesByObjectID values;
};
inline Renamings renamings(const std::vector<plat::coredata::ManagedObjectPtr>& people,
                           const std::string& suffix) {
    Renamings made;
    for (const auto& person : people) {
        made.values[person->objectID()] = {
            attribute("name", plat::Value(*person->valueForKey("name").asString() + suffix))};
        made.ids.push_back(person->objectID());
    }
    return made;
}

// Adds those changes to the builder's event.
inline plat::ErrorPtr renamePeople(SYNEventBuilder& builder,
                                   const std::vector<plat::coredata::ManagedObjectPtr>& people,
                                   const std::string& suffix) {
    auto made = renamings(people, suffix);
    return builder.addUpdateChangesForObjectIDs(made.ids, std::move(made.values));
}

}  // namespace eventstoretest
