// A file-write environment for tests (see platform/foundation/
// FileWriteEnvironment.h) that wraps the system's and can
//  * fail the next call of one kind with a chosen errno (disk full, read-only
//    volume, permission denied: conditions a test running as root cannot
//    otherwise provoke),
//  * cut the power after a chosen number of calls: every later call fails
//    with EIO and does nothing, as on a machine that has stopped, and
//  * forget what was not durable (dropUnsyncedData): file data written
//    since its last sync, and renames, creations and removals not followed
//    by a sync of their folder, as a power loss would.
// Files it never touched count as durable. Installed for its lifetime.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/FileWriteEnvironment.h"

namespace testsupport {

class FaultFileEnvironment : public plat::FileWriteEnvironment {
  public:
    enum class Call {
        CreateTemporary,
        SetMode,
        WriteAll,
        SyncData,
        Close,
        Rename,
        SyncDirectory,
        Unlink,
        OpenSpare,
        Exchange,
        Truncate
    };

    FaultFileEnvironment();
    ~FaultFileEnvironment() override;

    // The next call of that kind fails with err (once).
    void failNext(Call call, int err);
    // Calls after the first `calls` (counted from now) fail with EIO.
    void cutPowerAfter(std::size_t calls);
    bool powerCut() const;
    std::size_t callCount() const;
    // Puts every touched path back to its durable state, then forgets it all
    // and turns the power back on.
    void dropUnsyncedData();

    int createTemporary(std::string& pathTemplate) override;
    int setMode(int fd, mode_t mode) override;
    int writeAll(int fd, const void* bytes, std::size_t length) override;
    int syncData(int fd) override;
    int close(int fd) override;
    int rename(const std::string& from, const std::string& to) override;
    int syncDirectory(const std::string& path) override;
    int unlink(const std::string& path) override;
    int openSpare(const std::string& path) override;
    int exchange(const std::string& first, const std::string& second) override;
    int truncate(int fd, off_t length) override;

  private:
    // Whether the call may run; sets errno and counts it.
    bool admit(Call call);
    void remember(const std::string& path);  // records path's durable state before a change
    struct PendingEntry;
    // What path's entry holds once from's entry has moved there.
    PendingEntry movedEntry(const std::string& from, const std::string& to);

    struct PendingEntry {  // a folder entry change not yet durable
        std::string path;
        std::optional<std::string> content;  // nullopt: absent
        int fd = -1;                         // the open file whose synced data the entry gets, if any
    };

    mutable std::mutex mutex_;
    std::size_t calls_ = 0;
    std::optional<std::size_t> powerAfter_;
    std::optional<std::pair<Call, int>> failure_;
    std::map<std::string, std::optional<std::string>> durable_;  // path -> content after a power loss
    std::map<int, std::string> openPath_;                        // fd -> its current path
    std::map<int, std::string> syncedData_;                      // fd -> its data at its last sync
    std::map<std::string, PendingEntry> pending_;  // path -> entry change awaiting a folder sync
};

}  // namespace testsupport
