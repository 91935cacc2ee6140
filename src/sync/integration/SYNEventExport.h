// SYNEventExport and SYNEventImport: the operations that move one event
// between the event store and a sequence of files, whatever the file format.
//
// The export walks the event's object changes entity by entity (migration
// priority order) in batches (the entity's "SYNMigrationBatchSizeKey", 2000
// when 0) and hands them to the format's hooks, starting a new file between
// two batches of one entity once a full batch's worth of changes has gone into
// the current file. Files go to the "EventMigrator" folder of the event
// store's temporary directory, which making an export empties.
//
// The import reads the files of one event, first file first: the first one
// makes the event (held as type 0, incomplete, while files are read), each
// file's changes are saved before the next is read, and the event gets its
// real type (a baseline 400, to be consolidated) after the last file. A failed
// import leaves nothing behind: the context is reset first (dropping whatever
// the failed file left unsaved) and then the partly imported event is deleted.
//
// Both report failure through error(): an operation that fails without an
// error of its own reports SYNErrorUnknown (-1), so a failure can never be
// read as success. Both run once, on an operation queue (or by calling start());
// every event-store access happens inside the event store context's
// performBlockAndWait, and every hook is called there.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/Operation.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNSavedEvent.h"

// The default number of changes of one batch.
inline constexpr std::size_t SYNEventExportDefaultBatchSize = 2000;

class SYNEventExport : public plat::dispatch::Operation {
  public:
    // Empties the "EventMigrator" folder, or creates it (a failure is logged
    // and construction still succeeds).
    SYNEventExport(std::shared_ptr<SYNEventStore> eventStore, plat::coredata::ManagedObjectIDPtr eventID,
                   std::shared_ptr<const plat::coredata::ManagedObjectModel> model);

    void main() override;

    // The files written, in order; read after the operation finished.
    std::vector<std::string> filePaths() const EXCLUDES(mutex_);
    [[nodiscard]] plat::ErrorPtr error() const EXCLUDES(mutex_);
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    const plat::coredata::ManagedObjectIDPtr& eventID() const { return eventID_; }
    std::string pathToMigratorTemporaryDirectory() const;

  protected:
    // Hooks, called inside the event store context.
    virtual bool prepareForExport() = 0;
    virtual bool prepareForNewEntity(const plat::coredata::EntityDescription& entity) = 0;
    virtual bool migrateObjectChanges(const std::vector<plat::coredata::ManagedObjectPtr>& changes) = 0;
    virtual bool prepareNewFile() = 0;
    virtual bool completeMigrationSuccessfully(bool success) = 0;
    // A format that writes the changes kept from the event's first save
    // (SYNSavedEvent) exactly as it writes them read from the rows says so,
    // and takes them, an entity's at a time in the order of the rows, in
    // migrateSavedChanges instead of migrateObjectChanges. The export hands
    // them over only while they stand for the rows (same event and
    // revision, no save has written them since, the context holds no
    // unsaved changes) and the event fits one batch of every entity.
    virtual bool writesSavedChanges() const { return false; }
    virtual bool migrateSavedChanges(std::span<const SYNSavedEvent::Change> changes);

    // A new path in the temporary folder (created when missing).
    std::string createTemporaryFilePath() const;
    // A new path in the temporary folder for a file written whole by
    // writeNewFile (the folder is made by the write when missing).
    std::string newFilePath() const;
    // Writes a new file at a path from newFilePath (FileManager's
    // writeNewFile), making the folder again when it has gone: the data are
    // whole in it once this returns no error, and nothing is left at the
    // path when it returns one.
    [[nodiscard]] plat::ErrorPtr writeNewFile(std::string_view bytes, const std::string& path) const;
    void addFilePath(const std::string& path) EXCLUDES(mutex_);
    // The first error stored wins.
    void setError(plat::ErrorPtr error) EXCLUDES(mutex_);
    plat::coredata::ManagedObjectContext& context() const { return *context_; }
    // The event, fetched again after every reset.
    plat::coredata::ManagedObjectPtr event;
    // The event's revisions of other stores as the event store's tallies
    // keep them (the records a followed save linked to it, see
    // SYNEventTallies::revisionsOfOtherStores), when the context reads the
    // saved store (no parent, no unsaved changes); nullopt otherwise, and
    // the records are read.
    std::optional<SYNRevisionSet> keptRevisionsOfOtherStores() const;
    // The global identifier string of a change (SYNObjectChange's), taken
    // from what the export read to order the changes when it has it.
    std::optional<std::string> globalIdentifierOf(const plat::coredata::ManagedObject& change) const;

  private:
    // The changes kept from the event's save, by entity name, each
    // entity's in the order of the rows, when they may be written instead of
    // the rows read (inside the context's block, with the event loaded).
    std::optional<std::vector<SYNSavedEvent::Change>> savedChanges(std::size_t smallestBatch);

    std::shared_ptr<SYNEventStore> eventStore_;
    plat::coredata::ManagedObjectIDPtr eventID_;
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model_;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context_;
    // The identifier strings read to order the changes of an event read
    // whole, by change, while the changes are held (used in the context's
    // blocks only).
    std::unordered_map<const plat::coredata::ManagedObject*, std::optional<std::string>> identifiersRead_;
    mutable plat::Mutex mutex_;
    std::vector<std::string> filePaths_ GUARDED_BY(mutex_);
    plat::ErrorPtr error_ GUARDED_BY(mutex_);
};

class SYNEventImport : public plat::dispatch::Operation {
  public:
    SYNEventImport(std::shared_ptr<SYNEventStore> eventStore, std::vector<std::string> importPaths);

    void main() override;

    [[nodiscard]] plat::ErrorPtr error() const EXCLUDES(mutex_);
    // The imported event; null on failure.
    plat::coredata::ManagedObjectIDPtr eventID() const EXCLUDES(mutex_);
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }

  protected:
    virtual void prepareToImport() = 0;
    // Makes the event and must set the event ID; null with *error on failure.
    virtual plat::coredata::ManagedObjectPtr importFirstFile(const std::string& path,
                                                             plat::ErrorPtr* error) = 0;
    virtual bool importSubsequentFile(const std::string& path, plat::ErrorPtr* error) = 0;

    void setEventID(plat::coredata::ManagedObjectIDPtr eventID) EXCLUDES(mutex_);
    plat::coredata::ManagedObjectContext& context() const { return *context_; }

  private:
    bool finishImport();
    void discardPartialEvent();

    std::shared_ptr<SYNEventStore> eventStore_;
    std::vector<std::string> importPaths_;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context_;
    int16_t eventType_ = 0;
    mutable plat::Mutex mutex_;
    plat::ErrorPtr error_ GUARDED_BY(mutex_);
    plat::coredata::ManagedObjectIDPtr eventID_ GUARDED_BY(mutex_);
};
