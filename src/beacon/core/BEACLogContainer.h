// One batch of logs as the channel unit sends it: its batch id and its logs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"

class BEACLogContainer {
  public:
    BEACLogContainer(std::string batchId, std::vector<BEACLogPtr> logs)
        : batchId(std::move(batchId)), logs(std::move(logs)) {}

    std::string batchId;
    std::vector<BEACLogPtr> logs;

    // {"logs": [...]} with slashes written plainly; nullopt (logged) when JSON
    // writing fails.
    std::optional<std::string> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // At least one log and every log valid.
    bool isValid() const;
};
using BEACLogContainerPtr = std::shared_ptr<const BEACLogContainer>;
