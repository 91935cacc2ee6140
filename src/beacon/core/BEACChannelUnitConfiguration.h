// The configuration a channel unit is made from: its group id, its flush
// interval, how many logs a batch holds and how many batches may be in flight.
// Immutable value.
#pragma once

#include <cstdint>
#include <string>

class BEACChannelUnitConfiguration {
  public:
    BEACChannelUnitConfiguration(std::string groupId, int64_t priority, uint64_t flushInterval,
                                 uint64_t batchSizeLimit, uint64_t pendingBatchesLimit)
        : groupId_(std::move(groupId)),
          priority_(priority),
          flushInterval_(flushInterval),
          batchSizeLimit_(batchSizeLimit),
          pendingBatchesLimit_(pendingBatchesLimit) {}

    // Priority 1, batches of 50, 3 pending batches.
    static BEACChannelUnitConfiguration defaultConfiguration(std::string groupId,
                                                             uint64_t flushInterval = 3) {
        return BEACChannelUnitConfiguration(std::move(groupId), 1, flushInterval, 50, 3);
    }

    const std::string& groupId() const { return groupId_; }
    int64_t priority() const { return priority_; }
    uint64_t flushInterval() const { return flushInterval_; }
    uint64_t batchSizeLimit() const { return batchSizeLimit_; }
    uint64_t pendingBatchesLimit() const { return pendingBatchesLimit_; }

    bool operator==(const BEACChannelUnitConfiguration&) const = default;

  private:
    std::string groupId_;
    int64_t priority_;
    uint64_t flushInterval_;
    uint64_t batchSizeLimit_;
    uint64_t pendingBatchesLimit_;
};

// Flags travel with every enqueued log; the store keeps their low byte as the
// row's priority.
inline constexpr uint64_t BEACFlagsNormal = 1;
inline constexpr uint64_t BEACFlagsCritical = 2;
