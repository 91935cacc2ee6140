// Reports of items in a cloud folder kept on disk that the file systems skip
// or refuse (links, FIFOs, sockets, devices, over-large files): each path is
// logged once per reason, so a folder full of them cannot flood the log on
// every merge. Any thread: the reports seen sit behind a leaf lock, and the
// log call is made after it is let go.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/Mutex.h"
#include "sync/eventstore/SYNLogging.h"

// Files of the cloud folder larger than this are refused by the file systems
// that keep the folder on disk: far above any event or data file a save
// makes, and above the media files of side directories a user keeps there.
inline constexpr uint64_t SYNCloudFolderMaximumFileSize = uint64_t{4} << 30;

class SYNUnusableCloudItems {
  public:
    // At most this many distinct reports are remembered; later ones are
    // logged as one summary line.
    static constexpr std::size_t Capacity = 10000;

    // Logs "<path> <reason>" at warning level the first time; true then.
    bool report(const std::string& path, const std::string& reason) EXCLUDES(mutex_) {
        {
            plat::MutexLock lock(mutex_);
            if (reported_.size() >= Capacity) {
                if (!overflowed_) {
                    overflowed_ = true;
                    lock.unlock();  // the log function is the application's
                    SYN_LOG(SYNLoggingLevelWarning, "Skipping more unusable items in the cloud folder: %@",
                            path);
                }
                return false;
            }
            if (!reported_.insert(path + "\n" + reason).second) {
                return false;
            }
        }
        SYN_LOG(SYNLoggingLevelWarning, "Skipping an item of the cloud folder: %@ %@", path, reason);
        return true;
    }

  private:
    plat::Mutex mutex_;
    std::set<std::string> reported_ GUARDED_BY(mutex_);
    bool overflowed_ GUARDED_BY(mutex_) = false;
};

inline bool SYNReportUnusableCloudItem(SYNUnusableCloudItems& items, const std::string& path,
                                       const std::string& reason) {
    return items.report(path, reason);
}

inline bool SYNReportUnusableCloudItem(SYNUnusableCloudItems& items, const std::string& path,
                                       const plat::ErrorPtr& error) {
    auto reason = plat::folderItemRefusalReason(error);
    return reason && items.report(path, *reason);
}
