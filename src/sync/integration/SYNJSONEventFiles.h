// The JSON event file format: SYNJSONEventExport writes one event of the event
// store as JSON files, SYNJSONEventImport reads such files back into one event.
//
// Each file holds one JSON object. The first file carries the header
// ("globalCount", "type", "modelVersion" and "modelVersionIdentifier" when
// set, "timestamp" as a decimal string, "uniqueIdentifier", "storeIdentifier",
// "revisionsByStoreIdentifier") and every file "changesByEntity": entity name
// to an array of change objects ("type", "globalIdentifier", "dataFiles" when
// there are any, "properties"), ordered by global identifier.
//
// Values JSON cannot carry are written as [tag, payload]: ["decimal", text],
// ["date", milliseconds since 1970], ["data", base64 with CR LF every 64
// characters], ["uuid", text], ["number", "nan" | "+inf" | "-inf"].
//
// Files come from other machines: the reader checks the kind of every member
// it reads, and a file that does not have the expected shape fails the import
// with SYNErrorExceptionRaised (104) instead of making a damaged event.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Operation.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "sync/integration/SYNEventExport.h"

class SYNJSONEventExport : public SYNEventExport {
  public:
    using SYNEventExport::SYNEventExport;

    // The JSON form of a stored value; throws SYNException ("ObjectID type is
    // not supported") for an object ID.
    static plat::Value JSONValueFromCoreDataValue(const plat::Value& value);

  protected:
    bool prepareForExport() override;
    bool prepareForNewEntity(const plat::coredata::EntityDescription& entity) override;
    bool migrateObjectChanges(const std::vector<plat::coredata::ManagedObjectPtr>& changes) override;
    bool prepareNewFile() override;
    bool completeMigrationSuccessfully(bool success) override;
    bool writesSavedChanges() const override { return true; }
    bool migrateSavedChanges(std::span<const SYNSavedEvent::Change> changes) override;

  private:
    // Writes the current file; a failure (an exception of the writer
    // included) is returned as an error.
    [[nodiscard]] plat::ErrorPtr saveToFile();

    // The changes of one entity in the current file: entries as values, or
    // (kept changes) written out already as the JSON text of the entries,
    // which come before any value entry.
    struct EntityChanges {
        std::string name;
        plat::Array entries;
        std::string text;
    };

    // The header of the current file: as text (its opening brace and
    // members as the writer writes them, without the closing brace) or,
    // when the writer would refuse a value of it, as a dictionary.
    plat::Dictionary header_;
    std::string headerText_;
    bool headerAsText_ = false;
    std::vector<EntityChanges> changesByEntity_;
    std::string currentEntity_;
    std::string filePath_;
};

// User-info key (true) of the import errors that come from the file itself: a
// member missing or of the wrong kind, a value its attribute cannot take.
inline constexpr const char* SYNMalformedEventFileKey = "SYNMalformedEventFile";

class SYNJSONEventImport : public SYNEventImport {
  public:
    using SYNEventImport::SYNEventImport;

    // The stored value of a JSON value (tagged arrays decoded); nullopt for
    // an unknown "number" payload (logged).
    static std::optional<plat::Value> coreDataValueFromJSONValue(const plat::Value& value);

  protected:
    void prepareToImport() override {}
    plat::coredata::ManagedObjectPtr importFirstFile(const std::string& path, plat::ErrorPtr* error) override;
    bool importSubsequentFile(const std::string& path, plat::ErrorPtr* error) override;
};

// Reads many events, each of one JSON file, into the event store, several
// per save: a save holds whole events only, with their final types, and at
// most changeLimit changes (or one event that alone holds more). A kill
// therefore leaves each event stored whole or not at all, and the disk is
// synced per save instead of about six times per event. The events are
// taken in the order given.
//
// An event whose file cannot be read, is not a JSON event file (a regular
// file, not a link, of at most SYNEventFileMaximumSize bytes, beginning with
// "{" after blanks; each file is opened once), or does not have the shape of
// an event file, is left out and the others are imported; a save that fails leaves
// out every event it held. eventIDs() holds one entry per path: the event
// made, or null for one left out. Import those one by one
// (SYNJSONEventImport), which reports why they fail.
//
// Runs once, on an operation queue (or by calling start()); files are read
// outside the event store context, records are made and saved inside it.
class SYNJSONEventBatchImport : public plat::dispatch::Operation {
  public:
    SYNJSONEventBatchImport(std::shared_ptr<SYNEventStore> eventStore, std::vector<std::string> paths,
                            std::size_t changeLimit);

    void main() override;

    // Read after the operation finished.
    std::vector<plat::coredata::ManagedObjectIDPtr> eventIDs() const;
    std::size_t numberOfSaves() const;

  private:
    std::shared_ptr<SYNEventStore> eventStore_;
    std::vector<std::string> paths_;
    std::size_t changeLimit_;
    mutable plat::Mutex mutex_;
    std::vector<plat::coredata::ManagedObjectIDPtr> eventIDs_ GUARDED_BY(mutex_);
    std::size_t saves_ GUARDED_BY(mutex_) = 0;
};
