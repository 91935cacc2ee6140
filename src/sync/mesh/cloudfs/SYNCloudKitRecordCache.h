// The in-memory record cache of the cloud-database file system, filled from
// the zone's change feed: node records by full path, the items directly
// inside each directory, and the change token that ends the last completed
// fetch; plus its file in the Caches directory.
//
// States: cleared (nothing), filling (maps, no token: a fetch from the start
// is running or failed) and loaded (maps and token). Look-ups answer only
// when the cache is loaded; a filling cache may lack records, so callers then
// ask the server instead of trusting it. Every member may be called from any
// thread: the change blocks write while look-ups read.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "sync/mesh/cloudfs/SYNCloudKitRecordFormat.h"

class SYNCloudKitRecordCache {
  public:
    enum class State { Cleared, Filling, Loaded };

    explicit SYNCloudKitRecordCache(SYNCloudKitRecordFormat format) : format_(std::move(format)) {}

    State state() const EXCLUDES(mutex_);
    std::shared_ptr<const plat::cloudkit::ServerChangeToken> serverChangeToken() const EXCLUDES(mutex_);
    void clear() EXCLUDES(mutex_);

    // Starts a pass of the change fetch: without a token the maps start empty.
    void beginPass() EXCLUDES(mutex_);
    // Enters a node record (other types, and names without the prefix, are
    // skipped); a directory's existing children stay.
    void applyChangedRecord(const plat::cloudkit::Record& record) EXCLUDES(mutex_);
    // Removes the path from its parent's entry and from the records; a
    // deleted directory keeps its own (emptied by its children's deletions).
    void applyDeletedRecordID(const plat::cloudkit::RecordID& recordID) EXCLUDES(mutex_);
    // Ends a successful pass; true when the token differs from the one before.
    bool finishPass(std::shared_ptr<const plat::cloudkit::ServerChangeToken> token) EXCLUDES(mutex_);

    // Only when loaded: for each path, its record or null.
    std::optional<std::vector<plat::cloudkit::RecordPtr>> recordsAtPaths(
        const std::vector<std::string>& paths) const EXCLUDES(mutex_);
    // Only when loaded: the record ID of every cached record.
    std::optional<std::vector<plat::cloudkit::RecordID>> allRecordIDs() const EXCLUDES(mutex_);
    struct Listing {
        bool found = false;  // the directory has an entry
        SYNCloudItems items;
    };
    // Only when loaded: the items directly inside the directory at `path`.
    std::optional<Listing> contentsOfDirectoryAtPath(const std::string& path) const EXCLUDES(mutex_);

    // "<MD5 of the zone ID's keyed archive, upper-case hex>.syncloudkitcache.v2".
    static std::string cacheFilename(const plat::cloudkit::RecordZoneID& zoneID);
    // Writes the cache file (whole) when loaded; does nothing otherwise.
    [[nodiscard]] plat::ErrorPtr storeToFile(const std::string& path) const EXCLUDES(mutex_);
    // Loads the file: an unreadable one is deleted, one missing an entry
    // leaves the cache cleared (and the file in place).
    void loadFromFile(const std::string& path) EXCLUDES(mutex_);

  private:
    using Children = std::map<std::string, std::shared_ptr<SYNCloudItem>>;
    void clearLocked() REQUIRES(mutex_);

    const SYNCloudKitRecordFormat format_;
    mutable plat::Mutex mutex_;
    std::optional<std::map<std::string, plat::cloudkit::RecordPtr>> recordsByFullPath_ GUARDED_BY(mutex_);
    std::optional<std::map<std::string, Children>> contentsByDirectoryPath_ GUARDED_BY(mutex_);
    std::shared_ptr<const plat::cloudkit::ServerChangeToken> serverChangeToken_ GUARDED_BY(mutex_);
};
