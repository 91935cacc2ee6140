// BinaryStore: a store kept in one file of our own binary format, read whole
// when the store is added and rewritten whole, atomically, on every save.
//
// The store is an InMemoryStore whose rows are loaded from and written to the
// file: fetches and predicates work as in memory. A save writes a temporary
// file next to the store, syncs it and renames it over the store, so the file
// holds the state before or after the save, never a mixture; when the write
// fails the save fails and the rows in memory stay as they were. Primary keys
// reserved for permanent IDs are written to the file before they are handed
// out, so they are never reused.
//
// File: an 8-byte magic prefix that is neither JSON nor SQLite's header, a
// format version, then two checksummed sections — the metadata (store type,
// store UUID, the model's entity version hashes, caller metadata) and the
// objects (by entity and property name, so that a file stays readable by a
// model with added or removed properties when the migration options are
// given). A missing or empty file makes a new store, written when it is added.
// A foreign, truncated or damaged file is refused with FileReadCorruptFileError
// (259) saying what is wrong; a file written for a model with other entity
// hashes is refused with PersistentStoreIncompatibleVersionHashError (134100)
// unless both MigratePersistentStoresAutomaticallyOption and
// InferMappingModelAutomaticallyOption are set, in which case rows are loaded by
// name (unknown entities and properties dropped, new attributes at their
// defaults) and an
// attribute whose stored values do not fit its new type is refused with
// MigrationMissingMappingModelError (134140).
//
// Transformable attributes are stored as their transformer's bytes (keyed
// archives when unnamed): the transformer must be registered when the store is
// added and saved.
//
// Threads: as every store, called by its coordinator under the coordinator's
// lock. The static functions may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/coredata/InMemoryStore.h"

namespace plat::coredata {

class BinaryStore : public InMemoryStore {
  public:
    BinaryStore(std::optional<plat::URL> url, std::string configuration, Dictionary options);

    std::string type() const override { return BinaryStoreType; }
    [[nodiscard]] ErrorPtr load(const std::shared_ptr<const ManagedObjectModel>& model) override;
    Result<std::vector<int64_t>> reservePrimaryKeys(const EntityDescription& entity,
                                                    std::size_t count) override;
    [[nodiscard]] ErrorPtr save(const StoreChanges& changes) override;

    // True when the file at path starts with the binary store's magic prefix.
    // False for missing or unreadable files.
    static bool isBinaryStoreFile(const std::string& path);
    // The metadata stored in the file at path (StoreTypeKey, StoreUUIDKey,
    // StoreModelVersionHashesKey and caller metadata), read without loading
    // the objects. FileReadNoSuchFileError (260) for a missing file,
    // FileReadCorruptFileError (259) for anything that is not an intact
    // binary store.
    static Result<Dictionary> metadataForStoreAtPath(const std::string& path);

    // The "Binary" type is built in (the coordinator's store registry names
    // it); this registers its factory again, which is harmless.
    static void registerStoreType();

  private:
    class FileReader;
    class FileWriter;

    [[nodiscard]] ErrorPtr loadFile(const Data& contents);
    [[nodiscard]] ErrorPtr writeFile();
    // The file as this store last read or wrote it (device, inode, size,
    // modification time), so that a save never replaces a file another
    // coordinator wrote meanwhile; all zero when there was none.
    std::array<uint64_t, 4> fileIdentity() const;
    std::array<uint64_t, 4> knownFile_{};
    bool migrationAllowed() const;
    std::string path() const;
};

}  // namespace plat::coredata
