// Which records of the cloud-database file system have lost their content,
// and since when: a download whose fetch fails notes the records it names,
// and a record noted again 600 seconds or more after its first note is due
// for deletion. In memory only, per file-system object; any thread.
//
// Only errors that mean the content is gone make a node record a candidate:
// unknown item (11), asset file not found (16) and asset not available (35).
// Transient answers (rate limits, busy zones, lost responses) never do, so a
// flaky network cannot get shared files deleted. Under schema 1 a missing
// "DataFile_" record (11) makes its node record a candidate.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"
#include "sync/mesh/cloudfs/SYNCloudKitRecordFormat.h"

class SYNCloudKitRepairLedger {
  public:
    static constexpr double kRemovalDelaySeconds = 600;

    explicit SYNCloudKitRepairLedger(SYNCloudKitRecordFormat format) : format_(std::move(format)) {}

    // The candidates a download's error names; none unless it is a partial failure.
    std::vector<plat::cloudkit::RecordID> candidatesForError(const plat::ErrorPtr& error) const;
    // Notes each candidate first seen now; returns those first seen at least
    // kRemovalDelaySeconds before `now` (their dates stay until forget()).
    std::vector<plat::cloudkit::RecordID> noteCandidates(
        const std::vector<plat::cloudkit::RecordID>& candidates, plat::Date now) EXCLUDES(mutex_);
    // After a successful deletion of these records.
    void forget(const std::vector<plat::cloudkit::RecordID>& recordIDs) EXCLUDES(mutex_);
    std::optional<plat::Date> firstRemovalDate(const plat::cloudkit::RecordID& recordID) const
        EXCLUDES(mutex_);

  private:
    const SYNCloudKitRecordFormat format_;
    mutable plat::Mutex mutex_;
    std::map<plat::cloudkit::RecordID, plat::Date> firstRemovalDateByRecordID_ GUARDED_BY(mutex_);
};
