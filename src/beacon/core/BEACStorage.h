// What channel units need of a log store. Called from the channel group's
// serial queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"

class BEACStorage {
  public:
    using LoadCompletion =
        std::function<void(const std::vector<BEACLogPtr>& logs, const std::optional<std::string>& batchId)>;

    virtual ~BEACStorage() = default;
    // true when the row was written.
    virtual bool saveLog(const BEACLogPtr& log, const std::string& groupId, uint64_t flags) = 0;
    virtual uint64_t countLogs() = 0;
    // The group's logs as they were before deletion.
    virtual std::vector<BEACLogPtr> deleteLogsWithGroupId(const std::string& groupId) = 0;
    virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;
    // Calls the completion before returning; true when more logs than `limit` matched.
    virtual bool loadLogsWithGroupId(const std::string& groupId, uint64_t limit,
                                     const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                     const LoadCompletion& completion) = 0;
    virtual void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)>& completion) = 0;
};
