// A SQLite VFS for tests that wraps the default one, registered as the
// default while it lives, so that every connection the code under test opens
// goes through it. It counts the calls that change files (writes, truncations,
// syncs, deletions) and can cut the power after a chosen number of them: every
// later one fails with SQLITE_IOERR and does nothing. dropUnsyncedData() then
// puts every file it saw back to its content at its last sync (or removes it
// when it was never synced), as a power loss would: SIGKILL keeps the page
// cache, so only this shows whether the store syncs what it relies on.
// Files that existed before a connection first opened them count as synced.
//
// It can also play a small disk: with limitSpace(bytes), a write that would
// grow a file so that the files it saw take more than that many bytes fails
// with SQLITE_FULL and writes nothing (overwrites within a file still work).
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct sqlite3_vfs;

namespace testsupport {

class PowerLossVFS {
  public:
    PowerLossVFS();
    ~PowerLossVFS();
    PowerLossVFS(const PowerLossVFS&) = delete;
    PowerLossVFS& operator=(const PowerLossVFS&) = delete;

    void cutPowerAfter(std::size_t changes);
    // nullopt lifts the limit (space returns).
    void limitSpace(std::optional<std::size_t> bytes);
    // Bytes the files it saw take now.
    std::size_t usedSpace() const;
    bool powerCut() const;
    // Call with every connection closed.
    void dropUnsyncedData();

    // Used by the VFS callbacks.
    bool admitChange();
    bool admitGrowth(std::size_t growth);
    void opened(const std::string& path);
    void synced(const std::string& path);
    void deleted(const std::string& path, bool durably);
    sqlite3_vfs* real() const { return real_; }

  private:
    sqlite3_vfs* real_;
    sqlite3_vfs* shim_;
    mutable std::mutex mutex_;
    std::size_t changes_ = 0;
    std::optional<std::size_t> powerAfter_;
    std::optional<std::size_t> spaceLimit_;
    std::map<std::string, std::optional<std::string>> durable_;
};

}  // namespace testsupport
