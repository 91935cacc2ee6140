// SYNEventMigrator: the cloud manager's one entry to event files. It writes a
// local event (a save or merge event by revision, a baseline by unique
// identifier) to temporary JSON files, and reads a downloaded set of files
// back into one event of the event store: as JSON when the files begin with
// "{", as the binary store form otherwise. Files that cannot be the event
// they are named for (empty, damaged, of mixed kinds, not regular, larger
// than SYNEventFileMaximumSize) fail with SYNErrorDamagedFile (215), whose
// description names the file and what is wrong with it.
//
// Work runs as operations on the migrator's own serial queue (user-initiated);
// every completion, when given, is called exactly once, on the main queue.
// Making an export empties the temporary folder of earlier exports, so take
// the files of one export before asking for the next.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/OperationQueue.h"
#include "sync/eventstore/SYNEventStore.h"

class SYNEventMigrator {
  public:
    using ExportCompletion = std::function<void(plat::ErrorPtr error, std::vector<std::string> filePaths)>;
    using ImportCompletion =
        std::function<void(plat::ErrorPtr error, plat::coredata::ManagedObjectIDPtr eventID)>;

    SYNEventMigrator(std::shared_ptr<SYNEventStore> eventStore,
                     std::shared_ptr<const plat::coredata::ManagedObjectModel> model);

    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }

    // The store type of new event files in the binary form: the process-wide
    // default (the binary store type) until set. Exports always write JSON
    // and do not read it. Set and read it on one thread.
    static const std::string& defaultStoreTypeForNewFiles();
    const std::string& storeTypeForNewFiles() const { return storeTypeForNewFiles_; }
    void setStoreTypeForNewFiles(std::string storeType) { storeTypeForNewFiles_ = std::move(storeType); }

    // The event of this store with that revision and one of the types;
    // SYNErrorMissingEvent (300) when there is none. listedKey, the primary
    // key of the event a listing of the local events found with that
    // revision, is taken without the look-up when that event still is one of
    // the types with that revision of this store (otherwise the look-up
    // decides).
    void migrateLocalEventToTemporaryFilesForRevision(int64_t revisionNumber,
                                                      std::vector<int16_t> allowedTypes,
                                                      ExportCompletion completion,
                                                      std::optional<int64_t> listedKey = std::nullopt);
    // The baseline with that identifier and global count whose store
    // identifier begins with the prefix; 300 when there is none.
    void migrateLocalBaselineToTemporaryFiles(std::string uniqueIdentifier, int64_t globalCount,
                                              std::string persistentStorePrefix, ExportCompletion completion);
    void migrateStoreModificationEventToTemporaryFiles(plat::coredata::ManagedObjectIDPtr eventID,
                                                       ExportCompletion completion);
    // An empty list gives (null, null).
    void migrateEventInFromFiles(std::vector<std::string> filePaths, ImportCompletion completion);
    // Many events, each of one JSON file, several per event-store save (see
    // SYNJSONEventBatchImport): the completion gets one entry per path, the
    // event made or null for an event left out, which the caller imports
    // with migrateEventInFromFiles to learn why it fails. Files of another
    // kind are always left out.
    using BatchImportCompletion =
        std::function<void(std::vector<plat::coredata::ManagedObjectIDPtr> eventIDs)>;
    void migrateEventsInFromSingleFiles(std::vector<std::string> filePaths, std::size_t changeLimit,
                                        BatchImportCompletion completion);

  private:
    static void exportEvent(const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                            const std::shared_ptr<SYNEventStore>& eventStore,
                            const std::shared_ptr<const plat::coredata::ManagedObjectModel>& model,
                            plat::coredata::ManagedObjectIDPtr eventID, ExportCompletion completion);

    std::shared_ptr<plat::dispatch::OperationQueue> queue_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model_;
    std::string storeTypeForNewFiles_;
};
