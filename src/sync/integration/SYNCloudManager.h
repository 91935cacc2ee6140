// SYNCloudManager: moves files between the local event store, a local transit
// cache and the cloud folder of one mesh.
//
// Remote layout (cloud paths): "/<mesh>" holds "files" (merged file content),
// "stores" (one registration file per enlisted store, named by its store
// identifier), "events" (save and merge event file sets), "baselines" and
// "data" (data files by name). Transit cache: "<event data root>/transitcache/
// <mesh>/upload" and ".../download", wiped and recreated by setup(). A file
// in the upload directory is removed once uploaded, so the file system may
// take it instead of a copy (moveLocalFile); event and baseline files are
// only read from the download directory and then removed, so their
// download may share the cloud's file (downloadFromPathForReading). Data
// files, which the event store keeps, are always copied in.
//
// Every transfer and removal works from the last snapshot of remote names
// (snapshotRemoteFilesWithCompletion). Names in a listing that could not be
// one entry of their folder (empty, ".", "..", a leading ".", a "/" or a NUL)
// are logged and left out of the snapshot, so that no name from another
// machine ever becomes a path outside the transit cache.
//
// The cloud folder is written by other machines, so what it holds is checked
// before it is used, and one file that cannot be used never stops the merge
// of the others nor this machine's uploads. Such a file is reported once
// (logged at error level with its path and why, and kept in
// unusableRemoteFiles) and skipped:
// - left out of the snapshot: folders where files belong, names that are not
//   the canonical name of an event or baseline file ("012_S_5", junk) or not
//   a data file name, files larger than SYNEventFileMaximumSize or
//   SYNDataFileMaximumSize; they are never downloaded, never removed;
// - at download: whatever the file system refuses by kind or size
//   (plat::folderItemRefusalReason) or what vanished meanwhile;
// - at import: event files whose content is damaged (SYNErrorDamagedFile from
//   the migrator) and data files whose bytes are not the checksum their name
//   says. The merge goes on without them, and its removal of outdated remote
//   files then removes them, so that the machine that made them writes them
//   again; a file that was only partly replicated is taken once whole.
// Grouping names into file sets and matching them with local events costs
// time linear in the number of names, whatever they are.
//
// Asynchronous work runs as SYNAsynchronousTaskQueue operations on one serial
// operation queue, so snapshots, directory creation, imports, exports and
// removals of one cloud manager never overlap. Task blocks and completions run
// on the main thread. Transfers report through a progress block: (null,
// fraction, false) after each batch or file, and exactly one final call that
// carries an error or the finished flag.
//
// Create with create(); keep it alive while work is queued (queued work holds
// it too).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNAsynchronousTaskQueue.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/integration/SYNEventFileSet.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

class SYNEventMigrator;

class SYNCloudManager : public std::enable_shared_from_this<SYNCloudManager> {
  public:
    using Completion = std::function<void(plat::ErrorPtr error)>;
    using Progress = std::function<void(plat::ErrorPtr error, float fractionComplete, bool finished)>;
    using Names = std::set<std::string>;
    // Called with the local paths of each downloaded batch; an error stops
    // the download.
    using BatchCompletion = std::function<plat::ErrorPtr(const std::vector<std::string>& remotePaths,
                                                         const std::vector<std::string>& localPaths)>;

    // Batch size when the file system names none.
    static constexpr std::size_t DefaultBatchSize = 10;
    // At most this many unusable remote files are remembered (and reported).
    static constexpr std::size_t MaximumReportedFiles = 10000;

    static std::shared_ptr<SYNCloudManager> create(
        std::shared_ptr<SYNEventStore> eventStore, std::shared_ptr<SYNCloudFileSystem> cloudFileSystem,
        std::shared_ptr<const plat::coredata::ManagedObjectModel> model);
    ~SYNCloudManager();
    SYNCloudManager(const SYNCloudManager&) = delete;
    SYNCloudManager& operator=(const SYNCloudManager&) = delete;

    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    const std::shared_ptr<SYNCloudFileSystem>& cloudFileSystem() const { return cloudFileSystem_; }
    const std::shared_ptr<plat::dispatch::OperationQueue>& operationQueue() const { return operationQueue_; }

    // --- Layout ------------------------------------------------------------------
    const std::string& localFileRoot() const { return localFileRoot_; }
    std::string localMeshDirectory() const;
    std::string localUploadDirectory() const;
    std::string localDownloadDirectory() const;
    std::string remoteMeshDirectory() const;
    std::string remoteFilesDirectory() const;
    std::string remoteStoresDirectory() const;
    std::string remoteEventsDirectory() const;
    std::string remoteBaselinesDirectory() const;
    std::string remoteDataDirectory() const;

    // Wipes and recreates the transit cache.
    void setup();
    void createTransitCacheDirectories();
    // Removes every entry not beginning with "."; an entry that vanished
    // meanwhile is no error. Fails when the directory cannot be listed.
    [[nodiscard]] plat::ErrorPtr removeFilesInDirectory(const std::string& directory) const;
    // Errors ignored.
    void removeFilesAtPaths(const std::vector<std::string>& paths) const;
    // Empties the upload directory, unless this manager knows it empty: it
    // emptied it, and what it put there since was uploaded and removed. A
    // merge empties it before each kind of export (events, baselines, data
    // files), most of which put nothing there.
    [[nodiscard]] plat::ErrorPtr emptyUploadDirectory() const;
    // Called before this manager puts anything in the upload directory by a
    // way that does not name it: the directory is listed again before the
    // next export or upload.
    void fillingUploadDirectory() const;

    // --- Snapshot ----------------------------------------------------------------
    void snapshotRemoteFilesWithCompletion(Completion completion);
    void clearSnapshot() EXCLUDES(snapshotMutex_, groupingMutex_);
    std::optional<Names> snapshotBaselineFilenames() const EXCLUDES(snapshotMutex_);
    std::optional<Names> snapshotEventFilenames() const EXCLUDES(snapshotMutex_);
    std::optional<Names> snapshotDataFilenames() const EXCLUDES(snapshotMutex_);
    void setSnapshotBaselineFilenames(std::optional<Names> names) EXCLUDES(snapshotMutex_);
    void setSnapshotEventFilenames(std::optional<Names> names) EXCLUDES(snapshotMutex_);
    void setSnapshotDataFilenames(std::optional<Names> names) EXCLUDES(snapshotMutex_);
    // The snapshot of the events folder itself (null without one), shared
    // and never changed: a look at it copies nothing, and a listing grouped
    // from it is found again by its identity instead of by its names.
    std::shared_ptr<const Names> sharedSnapshotEventFilenames() const EXCLUDES(snapshotMutex_);
    void setSharedSnapshotEventFilenames(std::shared_ptr<const Names> names) EXCLUDES(snapshotMutex_);

    // Remote files skipped as unusable since creation: path -> why.
    std::map<std::string, std::string> unusableRemoteFiles() const EXCLUDES(reportMutex_);

    // --- Remote structure and registration ---------------------------------------
    // Creates, in order, the mesh, files, stores, events, baselines and data
    // directories that are missing.
    void createRemoteDirectoryStructureWithCompletion(Completion completion);
    void createRemoteDirectories(std::vector<std::string> paths, Completion completion);
    void checkExistenceOfRegistrationInfoForStoreWithIdentifier(
        const std::string& storeIdentifier, std::function<void(bool exists, plat::ErrorPtr)> completion);
    // Writes the dictionary as an XML property list and uploads it to
    // "stores/<identifier>"; SYNErrorRegistrationWriteFailed (105) when the
    // local file cannot be written (the completion then runs before return).
    void setRegistrationInfo(const plat::Dictionary& info, const std::string& storeIdentifier,
                             Completion completion);

    // --- Helpers -----------------------------------------------------------------
    // Ascending by the number each name begins with (0 when none), then by name.
    static std::vector<std::string> sortFilenamesByGlobalCount(std::vector<std::string> names);
    // One file set per event of the types (of that store, or of every store);
    // empty when the fetch fails (logged). Blocks on the event store context.
    // The sets are the caller's own.
    std::vector<SYNEventFileSet::Ptr> eventFileSetsForEventsWithAllowedTypes(
        const std::vector<int16_t>& types, const std::optional<std::string>& storeIdentifier) const;
    // The unique identifier of the event store's baseline, from the kept
    // look at the local baselines (brought up to date with the saves since):
    // true, with the identifier, when the store holds exactly one baseline,
    // and true with none when it holds none; false when it cannot tell (two
    // or more baselines, whose order is the event store's to settle, or a
    // failed read). Blocks on the event store context.
    bool soleBaselineIdentifier(std::optional<std::string>& identifier) const;

    // --- Import ------------------------------------------------------------------
    void importNewRemoteNonBaselineEventsWithProgress(Progress progress);
    void importNewBaselineEventsWithProgress(Progress progress);
    void importNewDataFilesWithProgress(Progress progress);
    // Downloads the data files of the snapshot that the event store lacks
    // into the download directory (emptied first), without importing them.
    void transferNewRemoteDataFilesToTransitCacheWithProgress(Progress progress);
    // The names to download: the names of the remote sets that have all
    // their parts and whose event the event store lacks (from any store),
    // sorted by global count. Names that form no set are never downloaded.
    // The completion runs on the main thread.
    void filesRequiringRetrievalFromAvailableRemoteFiles(
        Names available, std::vector<int16_t> types,
        std::function<void(std::vector<std::string>)> completion);
    void downloadFiles(std::vector<std::string> names, const std::string& remoteDirectory,
                       BatchCompletion batchCompletion, Progress progress);
    // Imports exactly the given downloaded data files into the event store;
    // a file that is not the data file its name says is reported, removed and
    // skipped; SYNErrorFileAccessFailed (107) on the first refusal of the
    // event store.
    [[nodiscard]] plat::ErrorPtr migrateNewDataFiles(const std::vector<std::string>& localPaths);
    // Imports the downloaded event sets: events of one file each several per
    // event-store save (each save holds whole events, at most
    // importBatchChangeLimit() changes), every other set, and every event
    // such a save left out, one by one.
    void migrateNewEventsFromTransitCache(bool baselines, Completion completion);
    // How many downloaded event and baseline files this manager has taken up
    // for import since it was made (counted as they are listed for import).
    uint64_t numberOfFilesTakenForImport() const { return filesTakenForImport_.load(); }
    // Their sizes in bytes, added up the same way.
    uint64_t numberOfBytesTakenForImport() const { return bytesTakenForImport_.load(); }
    // Set and read on the main thread.
    static constexpr std::size_t DefaultImportBatchChangeLimit = 5000;
    std::size_t importBatchChangeLimit() const { return importBatchChangeLimit_; }
    void setImportBatchChangeLimit(std::size_t limit) { importBatchChangeLimit_ = limit; }

    // --- Export ------------------------------------------------------------------
    void exportNewLocalNonBaselineEventsWithProgress(Progress progress);
    void exportNewLocalBaselineWithProgress(Progress progress);
    void exportDataFilesWithProgress(Progress progress);
    // Events of the types that lack a complete remote copy, ascending by
    // global count: this store's own events, or every baseline it holds.
    // With rows, each set's event row key is put there too (when the look
    // at the local events had them; none otherwise).
    std::vector<SYNEventFileSet::Ptr> localEventFileSetsMissingFromRemoteCloudFiles(
        const Names& remoteNames, const std::vector<int16_t>& types,
        std::vector<std::optional<int64_t>>* rows = nullptr) const;
    // A set's row (see above) lets its event be exported without the
    // look-up by its revision (see SYNEventMigrator).
    void migrateLocalEventsToTransitCache(std::vector<SYNEventFileSet::Ptr> sets, std::vector<int16_t> types,
                                          Completion completion,
                                          std::vector<std::optional<int64_t>> rows = {});
    // Moves the files to the upload directory under the set's part names.
    [[nodiscard]] plat::ErrorPtr moveFilesToUploadDirectory(const std::vector<std::string>& paths,
                                                            SYNEventFileSet& set) const;
    // Empties the upload directory and exports into it the data files the
    // cloud lacks; their number in *exported when given.
    [[nodiscard]] plat::ErrorPtr migrateNewLocalDataFilesToTransitCache(
        std::size_t* exported = nullptr) const;
    void transferFilesInTransitCacheToRemoteDirectory(const std::string& remoteDirectory, Progress progress);

    // --- Removal -----------------------------------------------------------------
    // Removes remote file sets of this store that lack a part.
    void removeLocallyProducedIncompleteRemoteFileSets(Completion completion);
    // Removes newly imported data files that are no longer in the cloud;
    // SYNErrorFileAccessFailed (107) on the first refusal.
    [[nodiscard]] plat::ErrorPtr removeOutOfDateNewlyImportedFiles();
    // Removes complete remote event and baseline sets the event store no
    // longer has (of any store) and remote data files it does not hold;
    // SYNErrorMissingSnapshot (208) without an event or baseline snapshot;
    // SYNErrorFileAccessFailed (107), removing nothing, when the events of
    // the event store cannot be read.
    void removeOutdatedRemoteFilesWithCompletion(Completion completion);
    // Complete remote sets that no local event of any store represents.
    std::vector<SYNEventFileSet::Ptr> completeRemoteEventFileSetsMissingInEventStore(
        const Names& remoteNames, const std::vector<int16_t>& types) const;
    std::vector<SYNTask> tasksForPathsToRemove(std::vector<std::string> paths);

  private:
    // Tests compare the answers kept for a merge with the store's reads.
    friend struct SYNCloudManagerTestAccess;
    SYNCloudManager(std::shared_ptr<SYNEventStore> eventStore,
                    std::shared_ptr<SYNCloudFileSystem> cloudFileSystem,
                    std::shared_ptr<const plat::coredata::ManagedObjectModel> model);

    void addTaskQueue(std::vector<SYNTask> tasks, int policy, Completion completion);
    // Sets *downloadedNone, when given, to whether no file was to be
    // downloaded, before the download starts.
    void transferNewFilesToTransitCache(const std::string& remoteDirectory,
                                        std::shared_ptr<const Names> available, std::vector<int16_t> types,
                                        Progress progress,
                                        std::shared_ptr<std::atomic<bool>> downloadedNone = nullptr);
    void filesRequiringRetrieval(std::shared_ptr<const Names> available, std::vector<int16_t> types,
                                 std::function<void(std::vector<std::string>)> completion);
    void transferRemoteFiles(std::vector<std::string> names, const std::string& remoteDirectory,
                             Progress progress);
    void importEventsOrBaselines(bool baselines, Progress progress);
    // The task that imports, several per save, the sets of one file whose
    // event the store lacks, and marks them in `imported`.
    SYNTask batchImportTask(std::vector<SYNEventFileSet::Ptr> sets,
                            std::shared_ptr<SYNEventMigrator> migrator,
                            std::shared_ptr<std::vector<bool>> imported);
    // One direction of a transfer between a transit directory and a remote
    // directory: how a batch, or one file, reaches the file system, and what
    // error counts once a call ended (`single` for one file).
    struct FileTransfer {
        const char* what = "";  // beginning of the log line of each batch
        bool batched = false;
        std::size_t batchSize = DefaultBatchSize;
        std::function<void(const std::vector<std::string>& remotePaths,
                           const std::vector<std::string>& localPaths, Completion)>
            many;
        std::function<void(const std::string& remotePath, const std::string& localPath, Completion)> one;
        std::function<plat::ErrorPtr(const std::vector<std::string>& remotePaths,
                                     const std::vector<std::string>& localPaths, plat::ErrorPtr error,
                                     bool single)>
            settle;
    };
    // One task per batch of names, stopping at the first error: the whole
    // batch in one call when the file system takes batches, else file by
    // file. Progress after each batch or file, and a final call.
    void transferFiles(const std::vector<std::string>& names, const std::string& remoteDirectory,
                       const std::string& localDirectory, FileTransfer transfer, Progress progress);
    void exportEventsOrBaselines(bool baselines, Progress progress);
    bool eventExistsForFileSet(const SYNEventFileSet& set) const;
    // For each set (a save's or a merge's, with its store named), whether an
    // event of the event store is the one it holds, as eventExistsForFileSet
    // answers, in one read for all of them; nullopt when they could not be
    // read. The saves' and merges' events kept for the questions of a merge
    // answer when they are known without reading every event.
    std::optional<std::vector<bool>> eventsExistForFileSets(
        const std::vector<const SYNEventFileSet*>& sets) const;
    // The same answer from the kept saves and merges of every store; nullopt
    // when they are not kept (or a set names an identifier of its own).
    std::optional<std::vector<bool>> eventsExistAmongKeptEvents(
        const std::vector<const SYNEventFileSet*>& sets) const;
    // The same answer read from the store.
    std::optional<std::vector<bool>> eventsReadForFileSets(
        const std::vector<const SYNEventFileSet*>& sets) const;
    // The names of a cloud folder's listing that the snapshot keeps (files
    // named like event files, or data files, within their size limit); the
    // others are reported. The names kept are moved out of the entries.
    // Names the folder's last listing kept take only the checks of kind and
    // size.
    std::shared_ptr<const Names> snapshotNames(const std::string& directory, bool baselines, bool data,
                                               SYNCloudListingEntries& listed) EXCLUDES(canonicalMutex_);
    void setSharedSnapshotBaselineFilenames(std::shared_ptr<const Names> names) EXCLUDES(snapshotMutex_);
    void setSharedSnapshotDataFilenames(std::shared_ptr<const Names> names) EXCLUDES(snapshotMutex_);
    // Logs and keeps the first report of a remote path; true then.
    bool reportUnusableRemoteFile(const std::string& path, const std::string& reason) EXCLUDES(reportMutex_);
    // Complete remote sets no local event represents, with their names;
    // nullopt when the local events could not be read.
    std::optional<std::vector<std::pair<SYNEventFileSet::Ptr, std::vector<std::string>>>>
    completeRemoteSetsMissingLocally(const Names& remoteNames, const std::vector<int16_t>& types) const;
    // A listing grouped into file sets, with its names in a hash table. A
    // merge looks at the same listing several times (what to download, what
    // to upload, what to remove), and the next merge's listing differs from
    // it by the few files made or removed in between: a listing is grouped
    // once, and the last grouping of the events folder is brought up to date
    // with the names that came and went instead of being grouped again
    // (baselines, a handful, are grouped again). The sets are in no
    // particular order. Neither the sets nor the names may be changed by
    // callers: they are shared between them.
    static constexpr std::size_t NoSet = static_cast<std::size_t>(-1);
    struct GroupedListing {
        Names names;
        SYNEventFileSet::Grouping grouping;  // filenames of each set in name order
        // Each name (a view of `names`) with the index of the set that took
        // it, NoSet for a name that made none.
        std::unordered_map<std::string_view, std::size_t> listed;
        // Events folder: each set's index by its grouping key, which no two
        // sets share; empty when they did (then it is grouped again).
        std::unordered_map<std::string, std::size_t> setOfKey;
        bool updatable = false;
        // The snapshot whose names these are, when they were asked for
        // through it (null otherwise): the next look at that same snapshot
        // takes the grouping as it is, without walking the names again.
        std::shared_ptr<const Names> source;
        // Changes whenever the grouping does (no two groupings share one).
        uint64_t version = 0;
        // When brought up to date from the grouping of previousVersion (0
        // otherwise): the indexes of the sets that may differ from that
        // grouping's sets of the same index (indexes past the end included).
        uint64_t previousVersion = 0;
        std::vector<std::size_t> touched;
    };
    // Brings the last grouping of the events folder to `names` when few names
    // differ, recording in kept.touched the sets made, changed or moved, and
    // whether any name differed in `changed` (when none did, the grouping is
    // left as it was); false (the grouping is then of no use) otherwise.
    static bool updateGroupedListing(GroupedListing& kept, const Names& names, bool& changed);
    std::shared_ptr<const GroupedListing> groupedListing(const Names& names, bool baselines) const
        EXCLUDES(groupingMutex_);
    // The file sets of the local events of the types (of one store or of
    // all), with an index for matching, as read from the event store. A merge
    // looks at them several times, and most merges change little in
    // between. After a save of any context of the process that touched
    // events or revisions (the event store's own, its batch and scratch
    // contexts, another context on its file), only the events it names in
    // its notification, and those of the revisions it names, are read again
    // and the kept sets brought up to date. Everything is read again when a
    // save cannot be followed that way (its changes not known, too many of
    // them, saves older than the log), when the event store has another
    // context (reset, delist, enlist) or when its context holds unsaved
    // changes (then nothing is kept).
    // Shared and never changed: callers copy the sets they hand on. Null when
    // the events could not be read (no context, a failed fetch), so that
    // callers acting on what the store lacks can tell "holds nothing" from
    // "could not look".
    struct LocalEvents {
        std::vector<SYNEventFileSet::Ptr> sets;
        // The primary key of each set's event, ascending as the fetch gives
        // them; empty when the sets cannot be updated by key.
        std::vector<int64_t> keys;
        SYNEventFileSetIndex index;
        LocalEvents(std::vector<SYNEventFileSet::Ptr> read, std::vector<int64_t> rowKeys)
            : sets(std::move(read)), keys(std::move(rowKeys)), index(sets), identity(++identities) {}
        bool updatable() const { return keys.size() == sets.size(); }
        // No two LocalEvents of the process share one.
        static inline std::atomic<uint64_t> identities{0};
        const uint64_t identity;
        // When brought up to date from other kept events (0 otherwise):
        // those events' identity, the sets of theirs that are not kept here,
        // and the sets read again, with their keys. Every other set is shared
        // with them.
        uint64_t previous = 0;
        std::vector<SYNEventFileSet::Ptr> removed;
        std::vector<std::pair<int64_t, SYNEventFileSet::Ptr>> added;
    };
    // With `readAll` false, only what is kept (brought up to date by the
    // saves since) answers: null instead of reading every event.
    std::shared_ptr<const LocalEvents> localEvents(const std::vector<int16_t>& types,
                                                   const std::optional<std::string>& storeIdentifier,
                                                   bool readAll = true) const EXCLUDES(localEventsMutex_);
    // An event as a save left it, read from the saving context's own object
    // when the save's notification was posted.
    struct SavedEvent {
        int64_t key = 0;
        int16_t type = 0;
        bool gone = false;         // deleted by the save
        SYNEventFileSet::Ptr set;  // null when deleted or not read
    };
    // What the saves of the event store changed of its events: the events
    // and revisions of each save (permanent IDs), logged for the last saves.
    struct SavedChange {
        std::vector<plat::coredata::ManagedObjectIDPtr> events;
        std::vector<plat::coredata::ManagedObjectIDPtr> revisions;
        bool unknown = false;  // the save's changes could not be told
        // The saving context, when it is the one the log reads for (see
        // SaveLog::readFor): then `saved` holds, for each of `events`, the
        // event as the save left it (or that it is gone; a set null and not
        // gone when it could not be read without a fault).
        const void* context = nullptr;
        std::vector<SavedEvent> saved;
    };
    struct SaveLog {
        // A machine may save a hundred times between two merges: past the
        // saves kept, its next look reads every event again. The IDs the
        // log holds stay bounded (MaximumLoggedObjects), whatever the saves.
        static constexpr std::size_t KeptSaves = 128;
        static constexpr std::size_t MaximumLoggedObjects = 8192;
        // Past this many events and revisions, a save is logged as unknown
        // (its IDs are not kept): the log holds a few megabytes at most.
        static constexpr std::size_t MaximumRecordedObjects = 2048;
        // A save's events are read as it left them only up to this many: a
        // question after larger saves (imports of many events) mostly reads
        // every event anyway, and reading them here would be spent for
        // nothing.
        static constexpr std::size_t MaximumSavedEventsRead = 16;
        plat::Mutex mutex;
        // Bumped by every save that touched events or revisions.
        uint64_t generation GUARDED_BY(mutex) = 0;
        // The changes of generations generation - size + 1 ... generation.
        std::deque<std::shared_ptr<const SavedChange>> changes GUARDED_BY(mutex);
        std::size_t logged GUARDED_BY(mutex) = 0;  // events and revisions of `changes`
        // The context whose saves' events are read as the save left them
        // (the event store's, set by the manager when it asks): the others'
        // saves log IDs only.
        std::atomic<const void*> readFor{nullptr};
        // The identifier of the event store the manager reads (empty before
        // it first asks): a save that changed no event or revision of it
        // (another event store's, in a process with several meshes) is not
        // logged, for it changes nothing the manager keeps and would only
        // push the store's own saves out of the log.
        std::string store GUARDED_BY(mutex);
        // Called by the did-save observer, on the saving thread.
        void record(const plat::Notification& notification) EXCLUDES(mutex);
        // The changes after `since` up to the current generation (returned
        // in `now`); nullopt when one is unknown or no longer logged.
        std::optional<std::vector<std::shared_ptr<const SavedChange>>> changesSince(uint64_t since,
                                                                                    uint64_t& now)
            EXCLUDES(mutex);
    };
    // The events of the saves between two generations as read again: every
    // question brought up to date across the same saves (a merge asks up to
    // four) takes them from one read.
    struct TouchedEvents {
        struct Event {
            int64_t key = 0;
            int16_t type = 0;
            std::optional<std::string> store;  // of the event's own revision
            SYNEventFileSet::Ptr set;
        };
        std::vector<Event> events;           // as the store holds them now, ascending by key
        std::unordered_set<int64_t> looked;  // the keys read again, deleted events' too
    };
    struct TouchedRead {
        std::weak_ptr<plat::coredata::ManagedObjectContext> context;
        uint64_t from = 0;
        uint64_t to = 0;
        std::shared_ptr<const TouchedEvents> read;
    };
    // The kept sets brought up to date with the saved changes (those of
    // generations from + 1 ... to) by reading again the events they name;
    // null when that cannot be done. The read, when one is needed, covers
    // the saves of `wider` (generations widerFrom + 1 ... to, ending with
    // `changes`), so that the other questions kept can take it. `readAll`:
    // the events a read of every event of the question goes through; when
    // the saves touched more than a quarter of them, null (that read costs
    // no more).
    std::shared_ptr<const LocalEvents> updatedLocalEvents(
        const std::shared_ptr<const LocalEvents>& kept,
        const std::vector<std::shared_ptr<const SavedChange>>& changes, uint64_t from, uint64_t to,
        const std::vector<std::shared_ptr<const SavedChange>>& wider, uint64_t widerFrom,
        plat::coredata::ManagedObjectContext& context, const std::vector<int16_t>& types,
        const std::optional<std::string>& storeIdentifier, std::size_t readAll) const
        EXCLUDES(localEventsMutex_);
    // The sets of the grouping (indexes, in listing order) that have all
    // their parts and that no local event represents.
    std::shared_ptr<const std::vector<std::size_t>> completeSetsMissingLocally(
        const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local, bool baselines) const
        EXCLUDES(missingMutex_);
    // The local sets of the export's question that no complete remote set
    // of the grouping represents, ascending by global count, then by key.
    std::vector<SYNEventFileSet::Ptr> localSetsMissingRemotely(
        const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local, bool baselines,
        std::vector<int64_t>* rows = nullptr) const EXCLUDES(exportMutex_);
    // The snapshot of a folder as kept (null without one).
    std::shared_ptr<const Names> sharedSnapshot(bool baselines) const EXCLUDES(snapshotMutex_);
    std::shared_ptr<const Names> sharedDataSnapshot() const EXCLUDES(snapshotMutex_);

    std::shared_ptr<SYNEventStore> eventStore_;
    std::shared_ptr<SYNCloudFileSystem> cloudFileSystem_;
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model_;
    std::size_t importBatchChangeLimit_ = DefaultImportBatchChangeLimit;
    std::atomic<uint64_t> filesTakenForImport_{0};
    std::atomic<uint64_t> bytesTakenForImport_{0};
    std::string localFileRoot_;
    plat::FileManager fileManager_;
    std::shared_ptr<plat::dispatch::OperationQueue> operationQueue_;

    mutable plat::Mutex snapshotMutex_;
    // Shared and never changed; null without a snapshot.
    std::shared_ptr<const Names> snapshotBaselines_ GUARDED_BY(snapshotMutex_);
    std::shared_ptr<const Names> snapshotEvents_ GUARDED_BY(snapshotMutex_);
    std::shared_ptr<const Names> snapshotData_ GUARDED_BY(snapshotMutex_);

    mutable plat::Mutex canonicalMutex_;
    // Names listed in the baselines [1] and events [0] folders that are
    // named like event files: whether a name is depends on the name and its
    // folder alone, so a listing judges only the names not held here. Names
    // of files gone are dropped when they outnumber those of the listing.
    std::unordered_set<std::string> canonicalNames_[2] GUARDED_BY(canonicalMutex_);
    // The names the last listing of the events [0], baselines [1] and data
    // [2] folders kept for the snapshot.
    std::shared_ptr<const Names> lastKeptNames_[3] GUARDED_BY(canonicalMutex_);

    mutable plat::Mutex groupingMutex_;
    // The last listing grouped, of the baselines [1] and of the events [0].
    mutable std::shared_ptr<GroupedListing> groupedListings_[2] GUARDED_BY(groupingMutex_);
    mutable uint64_t groupingVersions_ GUARDED_BY(groupingMutex_) = 0;
    // The key of the event of each set of a grouping, and the sets of each
    // key, kept from one look to the next. The grouping itself is not held
    // (it is changed in place when nobody holds it).
    using EventKey = SYNEventFileSetIndex::Key;
    using EventKeyHash = SYNEventFileSetIndex::KeyHash;
    struct RemoteKeys {
        uint64_t version = 0;  // of the grouping; 0 for none
        std::vector<EventKey> keys;
        std::unordered_map<EventKey, std::vector<std::size_t>, EventKeyHash> ofKey;
    };
    // Brings the keys to the grouping. True when they followed from the
    // grouping they were of (the same, or the one it was brought up to date
    // from), with the indexes whose set may differ in `touched` and the keys
    // of those sets, before and after, in `changed`; false when they were
    // made anew.
    static bool followListing(RemoteKeys& kept, const GroupedListing& listing,
                              std::vector<std::size_t>& touched,
                              std::unordered_set<EventKey, EventKeyHash>& changed);
    // Whether a local event set's `previous` is `kept`.
    static bool follows(const std::shared_ptr<const LocalEvents>& local,
                        const std::shared_ptr<const LocalEvents>& kept) {
        return kept && (local == kept || local->previous == kept->identity);
    }
    // The last answer, per folder, to which complete remote sets of a
    // grouping no local event represents: a merge that imported nothing
    // asks it for its download and again for its removal, and the next
    // merge's answer, when its grouping and local events were brought up to
    // date from these, looks again only at the sets of the keys that changed
    // on either side.
    struct MissingLocally {
        uint64_t version = 0;
        std::shared_ptr<const LocalEvents> local;
        std::shared_ptr<const std::vector<std::size_t>> found;
        RemoteKeys remote;
        std::unordered_set<std::size_t> missing;  // the indexes of `found`
    };
    mutable plat::Mutex missingMutex_;
    mutable MissingLocally missingLocally_[2] GUARDED_BY(missingMutex_);
    // The last export look, per folder: its remote sets and local events by
    // the key of their event, and the local sets it found missing. The next
    // look, when its grouping was brought up to date from this one's and its
    // local events from these, looks again only at the keys of the sets that
    // changed on either side.
    struct ExportLook {
        std::shared_ptr<const LocalEvents> local;
        RemoteKeys remote;
        std::unordered_map<EventKey, std::vector<std::pair<int64_t, SYNEventFileSet::Ptr>>, EventKeyHash>
            localOfKey;
        // Missing local sets: key of their event row and the set.
        std::unordered_map<const SYNEventFileSet*, std::pair<int64_t, SYNEventFileSet::Ptr>> missing;
    };
    // Bring a kept answer to the grouping and local events, and give it.
    static std::vector<SYNEventFileSet::Ptr> updatedExportLook(
        ExportLook& look, const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local,
        std::vector<int64_t>* rows = nullptr);
    static std::shared_ptr<const std::vector<std::size_t>> updatedMissingLocally(
        MissingLocally& last, const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local);
    mutable plat::Mutex exportMutex_;
    mutable ExportLook exportLooks_[2] GUARDED_BY(exportMutex_);
    // What the upload directory holds, as far as this manager knows: the
    // names it put there since it emptied it and has not removed since (an
    // upload removes each file it took); nullopt when it cannot tell (not
    // emptied yet, filled by a way that names nothing, a removal that
    // failed). An upload takes the names from here instead of a listing.
    mutable plat::Mutex uploadMutex_;
    mutable std::optional<std::set<std::string>> uploadContents_ GUARDED_BY(uploadMutex_);
    // Before the name is put in the upload directory.
    void puttingInUploadDirectory(const std::string& name) const EXCLUDES(uploadMutex_);
    // Removes the uploaded local files, and forgets those gone.
    void removeUploadedFiles(const std::vector<std::string>& paths) const EXCLUDES(uploadMutex_);
    // Set by the emptying of the download directory before a transfer,
    // cleared before anything is downloaded into it: a merge's transfer of
    // baselines, which mostly downloads nothing, leaves it empty for the
    // transfer of events that follows.
    std::atomic<bool> downloadDirectoryEmpty_{false};

    // Fed by every context save in the process (a notification observer
    // holds it too, so it outlives the manager during a post).
    std::shared_ptr<SaveLog> saveLog_;
    plat::ObserverToken saveObserver_;
    struct LocalEventsEntry {
        std::vector<int16_t> types;
        std::optional<std::string> storeIdentifier;
        uint64_t generation = 0;
        std::weak_ptr<plat::coredata::ManagedObjectContext> context;
        std::shared_ptr<const LocalEvents> events;
    };
    mutable plat::Mutex localEventsMutex_;
    mutable std::vector<LocalEventsEntry> localEvents_ GUARDED_BY(localEventsMutex_);
    mutable TouchedRead touchedRead_ GUARDED_BY(localEventsMutex_);

    mutable plat::Mutex reportMutex_;
    std::map<std::string, std::string> unusableFiles_ GUARDED_BY(reportMutex_);
    // Names whose download the file system refused in the last transfer.
    std::set<std::string> skippedDownloads_ GUARDED_BY(reportMutex_);
};
