// Binary store event files: one event as a small object store file of the
// event-store model (binary store type) holding exactly that event, its
// revisions and the changes (with their global identifiers and data-file
// records) of one part of it. SYNPersistentStoreEventExport writes them,
// SYNPersistentStoreEventImport reads them back; both copy objects between
// contexts with SYNObjectGraphMigrator.
//
// Properties marked "excludeFromMigration" in the event-store model are
// neither copied nor followed, which keeps a file to its one event. Every
// file carries its own copy of the event; a file that holds no event or
// several is refused (SYNErrorIncompleteEventData, 203).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "sync/eventstore/SYNMapTable.h"
#include "sync/integration/SYNEventExport.h"

class SYNObjectGraphMigrator {
  public:
    using ObjectMap = SYNMapTable<plat::coredata::ManagedObjectPtr, plat::coredata::ManagedObjectPtr>;

    // The copy of an object in the destination, made once with everything it
    // reaches through relationships (cycles end at objects already copied).
    plat::coredata::ManagedObjectPtr migrateObject(const plat::coredata::ManagedObjectPtr& object,
                                                   plat::coredata::ManagedObjectContext& destination);
    void registerMigratedObject(const plat::coredata::ManagedObjectPtr& copy,
                                const plat::coredata::ManagedObjectPtr& original);
    void registerMigratedObjects(const ObjectMap& copiesByOriginal);
    void clearRegisteredObjects();

    // Copies every attribute that is neither transient nor excluded.
    static void copyAttributes(const plat::coredata::ManagedObject& from, plat::coredata::ManagedObject& to);
    // A copy of the event and its revisions (not its changes).
    static plat::coredata::ManagedObjectPtr migrateEventAndRevisions(
        const plat::coredata::ManagedObjectPtr& event, plat::coredata::ManagedObjectContext& destination);
    // Every global identifier of the source mapped onto the destination's
    // record of the same entity and identifier, made when missing.
    static plat::Result<ObjectMap> migrateGlobalIdentifiers(
        plat::coredata::ManagedObjectContext& source, plat::coredata::ManagedObjectContext& destination);

  private:
    ObjectMap copies_;
};

class SYNPersistentStoreEventExport : public SYNEventExport {
  public:
    using SYNEventExport::SYNEventExport;

  protected:
    bool prepareForExport() override;
    bool prepareForNewEntity(const plat::coredata::EntityDescription& entity) override;
    bool migrateObjectChanges(const std::vector<plat::coredata::ManagedObjectPtr>& changes) override;
    bool prepareNewFile() override;
    bool completeMigrationSuccessfully(bool success) override;

  private:
    bool openNewFile();

    SYNObjectGraphMigrator migrator_;
    std::shared_ptr<plat::coredata::ManagedObjectContext> fileContext_;
    std::shared_ptr<plat::coredata::PersistentStore> fileStore_;
    plat::coredata::ManagedObjectPtr migratedEvent_;
};

class SYNPersistentStoreEventImport : public SYNEventImport {
  public:
    using SYNEventImport::SYNEventImport;

  protected:
    void prepareToImport() override;
    plat::coredata::ManagedObjectPtr importFirstFile(const std::string& path, plat::ErrorPtr* error) override;
    bool importSubsequentFile(const std::string& path, plat::ErrorPtr* error) override;

  private:
    [[nodiscard]] plat::ErrorPtr addImportStore(const std::string& path);
    [[nodiscard]] plat::ErrorPtr removeImportStore();
    plat::coredata::ManagedObjectPtr migrateEventForFirstFile(plat::ErrorPtr* error);
    bool migrateObjectChanges(plat::ErrorPtr* error);

    std::shared_ptr<plat::coredata::ManagedObjectContext> importContext_;
    std::shared_ptr<plat::coredata::PersistentStore> fileStore_;
};
