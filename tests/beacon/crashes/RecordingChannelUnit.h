// A channel unit that records what is enqueued on it, for the crash
// service's tests.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"

namespace crashtest {

class RecordingChannelUnit : public BEACChannelUnitProtocol {
  public:
    explicit RecordingChannelUnit(BEACChannelUnitConfiguration configuration)
        : configuration_(std::move(configuration)) {}

    void enqueueItem(const BEACLogPtr& log, uint64_t flags) override {
        std::lock_guard<std::mutex> lock(mutex_);
        enqueued_.emplace_back(log, flags);
    }
    std::vector<std::pair<BEACLogPtr, uint64_t>> enqueued() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return enqueued_;
    }

    void setEnabled(bool, bool) override {}
    void addDelegate(const std::weak_ptr<BEACChannelDelegate>&) override {}
    void removeDelegate(const std::weak_ptr<BEACChannelDelegate>&) override {}
    void pauseWithIdentifyingObject(const plat::ObjectPtr&) override {}
    void resumeWithIdentifyingObject(const plat::ObjectPtr&) override {}
    void pauseSendingLogsWithToken(const std::string&) override {}
    void resumeSendingLogsWithToken(const std::string&) override {}
    void checkPendingLogs() override {}
    const BEACChannelUnitConfiguration& configuration() const override { return configuration_; }
    plat::dispatch::Queue logsDispatchQueue() const override { return queue_; }
    void setLogsDispatchQueue(plat::dispatch::Queue queue) override { queue_ = std::move(queue); }

  private:
    BEACChannelUnitConfiguration configuration_;
    plat::dispatch::Queue queue_ = plat::dispatch::Queue::serial("recording unit");
    mutable std::mutex mutex_;
    std::vector<std::pair<BEACLogPtr, uint64_t>> enqueued_;
};

}  // namespace crashtest
