#include "sync/mesh/cloudfs/SYNCloudKitRepairLedger.h"

using namespace plat::cloudkit;

namespace {

constexpr const char* kDataFilePrefix = "DataFile_";
constexpr const char* kNodePrefix = "SYNFileSystemNode_";

bool contentIsGone(int64_t code) {
    return code == int64_t(ErrorCode::UnknownItem) || code == int64_t(ErrorCode::AssetFileNotFound) ||
           code == int64_t(ErrorCode::AssetNotAvailable);
}

}  // namespace

std::vector<RecordID> SYNCloudKitRepairLedger::candidatesForError(const plat::ErrorPtr& error) const {
    std::vector<RecordID> out;
    const PartialErrors* partial = partialErrors(error);
    if (!partial)
        return out;
    for (const auto& [item, itemError] : partial->errors()) {
        const auto* id = std::get_if<RecordID>(&item);
        if (!id || !itemError)
            continue;
        const std::string& name = id->recordName();
        if (name.rfind(kDataFilePrefix, 0) == 0) {
            if (itemError->code() == int64_t(ErrorCode::UnknownItem))
                out.push_back(format_.recordIDForFullPath(name.substr(std::string(kDataFilePrefix).size())));
        } else if (name.rfind(kNodePrefix, 0) == 0 && contentIsGone(itemError->code())) {
            out.push_back(*id);
        }
    }
    return out;
}

std::vector<RecordID> SYNCloudKitRepairLedger::noteCandidates(const std::vector<RecordID>& candidates,
                                                              plat::Date now) {
    plat::MutexLock lock(mutex_);
    std::vector<RecordID> due;
    for (const auto& id : candidates) {
        auto [it, inserted] = firstRemovalDateByRecordID_.try_emplace(id, now);
        if (!inserted && now.timeIntervalSinceReferenceDate() - it->second.timeIntervalSinceReferenceDate() >=
                             kRemovalDelaySeconds)
            due.push_back(id);
    }
    return due;
}

void SYNCloudKitRepairLedger::forget(const std::vector<RecordID>& recordIDs) {
    plat::MutexLock lock(mutex_);
    for (const auto& id : recordIDs)
        firstRemovalDateByRecordID_.erase(id);
}

std::optional<plat::Date> SYNCloudKitRepairLedger::firstRemovalDate(const RecordID& recordID) const {
    plat::MutexLock lock(mutex_);
    auto it = firstRemovalDateByRecordID_.find(recordID);
    if (it == firstRemovalDateByRecordID_.end())
        return std::nullopt;
    return it->second;
}
