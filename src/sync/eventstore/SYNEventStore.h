// SYNEventStore: the local event store of one mesh — the log of events in an
// object store of the event-store model, its metadata, and the data files
// that hold large values.
//
// Layout under the event-data root: "<root>/<mesh identifier>/" holds
// "store.plist" (metadata), "events.sqlite" (the events), "data/" (data files
// that events reference), "newdata/" (data files downloaded and not yet
// referenced) and "tmp/". The mesh identifier and every data-file name are
// checked (SYNIsValidPathComponent) before they become paths; a refused
// data-file name counts as a missing file.
//
// Threads: the metadata accessors, data-file operations and path accessors
// may be called from any thread (metadata under a lock, written atomically).
// Records are read and written only inside the context's performBlock /
// performBlockAndWait. Completions run asynchronously on the main queue.
//
// Events of type 0 that no registered incomplete mandatory event names are
// leftovers of interrupted work; they are deleted whenever the store opens, so
// that no half-written event is ever taken as complete.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"

// Values larger than this many bytes are kept in data files.
inline constexpr std::size_t SYNMaximumInlineDataLength = 10000;

// Data files larger than this are not taken from the cloud: far above the
// external values of any save (they are held in memory when read).
inline constexpr uint64_t SYNDataFileMaximumSize = uint64_t{256} << 20;

class SYNEventTallies;
class SYNSavedEvent;

class SYNEventStore : public std::enable_shared_from_this<SYNEventStore> {
  public:
    using Completion = std::function<void(plat::ErrorPtr)>;

    // The store of the mesh under the root (nullopt: the default root), with
    // its metadata restored and, when it holds a store identifier, its object
    // store open. storeType is the object-store type of "events.sqlite".
    // Null when the mesh identifier is not a single path component or the
    // store cannot be opened.
    static std::shared_ptr<SYNEventStore> create(
        const std::string& meshIdentifier, const std::optional<std::string>& pathToEventDataRootDirectory,
        std::string storeType = plat::coredata::SQLiteStoreType);
    ~SYNEventStore();
    SYNEventStore(const SYNEventStore&) = delete;
    SYNEventStore& operator=(const SYNEventStore&) = delete;

    // Tests set the wall clock against which the data folders' stamps count
    // as settled (see filenamesInDirectory); set before the store is used
    // from other threads.
    void setWallClockForTesting(std::function<int64_t()> nanosecondsSince1970) {
        wallClockForTesting_ = std::move(nanosecondsSince1970);
    }

    // root + "/" + mesh identifier; nullopt when the root is nullopt or the
    // identifier is refused.
    static std::optional<std::string> pathToEventDataRootDirectoryForRootDirectory(
        const std::optional<std::string>& root, const std::string& meshIdentifier);
    // "$XDG_DATA_HOME/kestrel/eventstore".
    static std::string defaultPathToEventDataRootDirectory();
    // The machine's hardware UUID (upper case, never "_" nor "|").
    static std::string hardwareIdentifier();

    const std::string& meshIdentifier() const { return meshIdentifier_; }
    const std::string& pathToEventDataRootDirectory() const { return rootPath_; }
    const std::string& pathToEventStoreRootDirectory() const { return storePath_; }
    std::string pathToTemporaryDirectory() const { return storePath_ + "/tmp"; }
    std::string pathToDataDirectory() const { return storePath_ + "/data"; }
    std::string pathToNewDataDirectory() const { return storePath_ + "/newdata"; }
    std::string pathToStoreFile() const { return storePath_ + "/events.sqlite"; }
    const std::string& storeType() const { return storeType_; }

    // Null while the store is not enlisted (or after dismantle).
    std::shared_ptr<plat::coredata::ManagedObjectContext> managedObjectContext() const;
    // What new events ask of the store, kept along its context's saves
    // (see detail/SYNEventTallies.h); null while the store is not open.
    std::shared_ptr<SYNEventTallies> eventTallies() const;
    // The changes of the last event saved new, kept for its export (see
    // SYNSavedEvent.h); null while the store is not open.
    std::shared_ptr<SYNSavedEvent> savedEvent() const;
    // "<unique string>|<hardware identifier>"; nullopt while not enlisted.
    std::optional<std::string> persistentStoreIdentifier() const;
    bool containsEventData() const;

    // Removes any old event data, creates the directories and the object
    // store, makes a new store identifier, empties the incomplete-event set
    // and clears the flags and baseline of the old data. The identity token
    // and the registration flag are kept. The new store's enlist is not
    // complete until markEnlistComplete. Null on success.
    [[nodiscard]] plat::ErrorPtr prepareNewEventStore();
    // Whether the enlist that made this event data ran to its end. Written
    // with the store identifier (false) and set only when the enlist
    // finished, both atomically: event data of an enlist that was killed or
    // failed part-way never counts as enlisted. Metadata that predate the
    // flag count as complete.
    bool isEnlistComplete() const;
    [[nodiscard]] plat::ErrorPtr markEnlistComplete();
    // Dismantles the store and deletes the per-mesh directory; synchronous.
    [[nodiscard]] plat::ErrorPtr removeEventStore();
    // The same on a global queue of high priority; completion on main.
    void removeEventStoreWithCompletion(Completion completion);
    // Closes the object store; the metadata stay readable.
    void dismantle();

    // Saves the metadata, then the context after everything queued on it; a
    // failed save is logged and the context reset. Completion once on main.
    void flushWithCompletion(Completion completion);
    // Deletes global-identifier records that no change references, then saves.
    void removeUnusedDataWithCompletion(Completion completion);

    // The counted set of events being written; it survives restarts.
    // Registering and deregistering change the set in memory and then write
    // "store.plist"; the error is that of the write (a full disk, say): the
    // change holds for this process but would not survive a restart, so a
    // caller that registers must not go on writing the event.
    // An identifier registered withRecordedIntent names a save whose intent
    // (what it inserts, updates and deletes) is committed with the save in
    // the application's store, so that an interrupted event can be made
    // again from it instead of delisting; the mark goes with the last
    // deregistration.
    std::vector<std::string> incompleteMandatoryEventIdentifiers() const;
    std::vector<std::string> incompleteEventIdentifiersWithRecordedIntent() const;
    [[nodiscard]] plat::ErrorPtr registerIncompleteMandatoryEventIdentifier(const std::string& identifier,
                                                                            bool withRecordedIntent = false);
    // Registers a new identifier (a random UUID) with a recorded intent and
    // answers it; the registration is durable when this returns, as that of
    // registerIncompleteMandatoryEventIdentifier(identifier, true). A write
    // of "store.plist" that registers one registers spares with it, which
    // the next calls hand out without a write. A spare no save took is, to a
    // restart, a save with a recorded intent that never committed (no intent
    // in the application's store, no event): it is dropped as one. Spares
    // are not listed by the two calls above; closing the store drops them.
    plat::Result<std::string> registerNewIncompleteEventIdentifierWithRecordedIntent();
    // With eventStored (the save's event is committed in the event store),
    // the last deregistration of an identifier with a recorded intent
    // changes the set in memory only, and the file follows with the next
    // write: until then a restart finds the identifier and, the event being
    // stored, lets it stand. writeDeferredMetadata() makes it durable; it
    // must run before events can be deleted (a rebase), since the intent
    // of a token whose event is gone would be recorded again.
    [[nodiscard]] plat::ErrorPtr deregisterIncompleteMandatoryEventIdentifier(const std::string& identifier,
                                                                              bool eventStored = false);
    // Writes a deregistration left for later, if any; closing the store does too.
    [[nodiscard]] plat::ErrorPtr writeDeferredMetadata() EXCLUDES(metadataMutex_);

    // The cloud account identity recorded at enlist (keyed-archived in the
    // metadata). Null when none; setting null removes it. False when the
    // token cannot be archived (nothing is changed then).
    plat::Value cloudFileSystemIdentityToken() const;
    bool setCloudFileSystemIdentityToken(const plat::Value& token);
    bool verifiesStoreRegistrationInCloud() const;
    void setVerifiesStoreRegistrationInCloud(bool verifies);
    bool needsFullIntegration() const;
    void setNeedsFullIntegration(bool needs);

    // The unique identifier of the current baseline (the last type-100 event
    // in event order); nullopt when there is none or the fetch fails.
    std::optional<std::string> currentBaselineIdentifier();
    std::optional<std::string> identifierOfBaselineUsedToConstructStore() const;
    void setIdentifierOfBaselineUsedToConstructStore(const std::optional<std::string>& identifier);

    // --- Data files ------------------------------------------------------------
    // A data file is named by the upper-case hexadecimal MD5 of its bytes
    // (32 characters); a name of another form names no data file.
    static bool isDataFilename(const std::string& name);
    // Why the downloaded file at path cannot be taken as the data file its
    // name says: not a regular file, larger than SYNDataFileMaximumSize, a
    // name of another form, or bytes whose checksum is not the name;
    // nullopt when it can.
    static std::optional<std::string> problemWithDataFile(const std::string& path);
    std::set<std::string> allDataFilenames() const;
    std::set<std::string> previouslyReferencedDataFilenames() const;
    std::set<std::string> newlyImportedDataFilenames() const;
    // Moves a downloaded file into "newdata" under its own name.
    bool importDataFile(const std::string& path);
    // Copies a file of "data" into the directory.
    bool exportDataFile(const std::string& filename, const std::string& directory) const;
    bool removeNewlyImportedDataFile(const std::string& filename);
    // Moves the files of "newdata" that a data-file record names into "data",
    // then deletes the files of "data" that no record names. Runs in the
    // context, so it never races the builder.
    void removeUnreferencedDataFiles();
    // The bytes of a data file, from "data" or else "newdata"; nullopt when
    // missing or the name is refused.
    std::optional<plat::Data> dataForFile(const std::string& filename) const;
    // Keeps bytes in "data" under the upper-case MD5 of the bytes (equal
    // values share a file) and returns that name.
    plat::Result<std::string> storeDataFile(const plat::Data& data);

    // Deletes type-0 events that no registered incomplete event names and
    // saves; done when the store opens.
    [[nodiscard]] plat::ErrorPtr removeInterruptedEvents();

  private:
    struct Metadata {
        std::optional<std::string> storeIdentifier;
        bool needsFullIntegration = false;
        std::optional<std::string> baselineUsedToConstructStore;
        std::map<std::string, int64_t> incompleteMandatoryEvents;
        std::set<std::string> eventsWithRecordedIntent;
        // Registered in the file, not yet handed out (see
        // registerNewIncompleteEventIdentifierWithRecordedIntent).
        std::vector<std::string> spareRegistrations;
        bool enlistComplete = true;
        std::optional<plat::Data> identityToken;
        bool verifiesStoreRegistrationInCloud = false;
    };

    SYNEventStore(std::string meshIdentifier, std::string rootPath, std::string storePath,
                  std::string storeType);
    std::string metadataPath() const { return storePath_ + "/store.plist"; }
    void restoreMetadata();
    // Writes the metadata file, unless it already holds exactly these bytes
    // (written by this store and not removed since): a write costs two disk
    // syncs and a swap with the spare file beside it.
    [[nodiscard]] plat::ErrorPtr saveMetadataLocked() const REQUIRES(metadataMutex_);
    [[nodiscard]] plat::ErrorPtr saveMetadata() const EXCLUDES(metadataMutex_);
    [[nodiscard]] plat::ErrorPtr createDirectories() const;
    [[nodiscard]] plat::ErrorPtr openStack();
    plat::Result<std::set<std::string>> referencedDataFilenames();
    // The names in a data folder. A listing is kept while the folder's
    // device, inode, modification and change times stay as they were when
    // it was listed, and only when those times were older than the file
    // system's step then (two changes within one step leave one stamp);
    // this store's own changes to the folders drop what is kept.
    std::set<std::string> filenamesInDirectory(const std::string& directory) const EXCLUDES(listingMutex_);
    // Drops the kept listings; called after every change this store makes
    // to its data folders.
    void forgetDataFolderListings() const EXCLUDES(listingMutex_);
    // The wall clock, in nanoseconds since 1970, that tells a folder's
    // stamps settled (nullopt when it cannot be read).
    std::optional<int64_t> wallClockNanoseconds() const;

    std::string meshIdentifier_;
    std::string rootPath_;
    std::string storePath_;
    std::string storeType_;

    mutable plat::Mutex metadataMutex_;
    // Whatever changes it either writes the file (saveMetadataLocked), or
    // sets deferredMetadataWrite_, or leaves the bytes it encodes to as they
    // were (a spare registration taken): saveMetadata relies on it.
    Metadata metadata_ GUARDED_BY(metadataMutex_);
    // The bytes of the last successful write of "store.plist"; cleared when
    // a write fails or the store's folder is removed.
    mutable std::optional<plat::Data> writtenMetadata_ GUARDED_BY(metadataMutex_);
    // A deregistration not yet written (see deregister...).
    mutable bool deferredMetadataWrite_ GUARDED_BY(metadataMutex_) = false;

    struct FolderListing {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t modifiedSeconds = 0;
        int64_t modifiedNanoseconds = 0;
        int64_t changedSeconds = 0;
        int64_t changedNanoseconds = 0;
        std::set<std::string> names;
    };
    mutable plat::Mutex listingMutex_;
    std::function<int64_t()> wallClockForTesting_;
    mutable std::map<std::string, FolderListing> folderListings_ GUARDED_BY(listingMutex_);
    // Counts the changes made through forgetDataFolderListings: a listing
    // made across one is not kept.
    mutable uint64_t folderChanges_ GUARDED_BY(listingMutex_) = 0;

    mutable plat::Mutex stackMutex_;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context_ GUARDED_BY(stackMutex_);
    // Marks the store, within each save that may leave a global identifier
    // no change references, as possibly holding such identifiers.
    plat::ObserverToken deletionObserver_ GUARDED_BY(stackMutex_);
    std::shared_ptr<SYNEventTallies> tallies_ GUARDED_BY(stackMutex_);
    std::shared_ptr<SYNSavedEvent> savedEvent_ GUARDED_BY(stackMutex_);
};
