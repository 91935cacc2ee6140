// A channel unit: the per-group stage between the services that produce logs
// and the ingestion that sends them. It lets its delegates prepare and filter
// each log, stores it, counts what was stored since the last send, sends when
// the batch size or the flush interval is reached (the start of a long
// interval survives relaunches in the settings), and tells its delegates the
// fate of every log: one success or one failure per stored log.
//
// Threads: enqueueItem prepares the log on the caller's thread; everything
// else runs on the channel group's serial queue, which alone touches the
// unit's state (checkPendingLogs, or any of the queue's own steps, called off
// that queue ends the process).
// The queue itself is held under its own lock; set it before the unit is
// used, since work already queued stays on the old one. The delegate set has its own lock, held only to copy
// or change it. The flush timer runs on the queue's clock.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACDelegateList.h"
#include "beacon/core/BEACIngestionProtocol.h"
#include "beacon/core/BEACStorage.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Mutex.h"

class BEACChannelUnitDefault : public BEACChannelUnitProtocol,
                               public std::enable_shared_from_this<BEACChannelUnitDefault> {
  public:
    static std::shared_ptr<BEACChannelUnitDefault> make(std::shared_ptr<BEACIngestionProtocol> ingestion,
                                                        std::shared_ptr<BEACStorage> storage,
                                                        BEACChannelUnitConfiguration configuration,
                                                        plat::dispatch::Queue logsDispatchQueue);

    void addDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) override;
    void removeDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) override;
    void enqueueItem(const BEACLogPtr& log, uint64_t flags) override;
    void checkPendingLogs() override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
    void pauseWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) override;
    void resumeWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) override;
    void pauseSendingLogsWithToken(const std::string& token) override;
    void resumeSendingLogsWithToken(const std::string& token) override;
    const BEACChannelUnitConfiguration& configuration() const override { return configuration_; }
    plat::dispatch::Queue logsDispatchQueue() const override EXCLUDES(queueMutex_);
    void setLogsDispatchQueue(plat::dispatch::Queue queue) override EXCLUDES(queueMutex_);

    // "ChannelStartTimer:<group id>".
    std::string oldestPendingLogTimestampKey() const;

    // State snapshots, read on the queue (tests use a sync barrier).
    bool isEnabled() const { return enabled_; }
    bool isPaused() const { return paused_; }
    bool discardLogs() const { return discardLogs_; }
    uint64_t itemsCount() const { return itemsCount_; }
    std::vector<std::string> pendingBatchIds() const { return pendingBatchIds_; }
    bool pendingBatchQueueFull() const { return pendingBatchQueueFull_; }

  private:
    BEACChannelUnitDefault(std::shared_ptr<BEACIngestionProtocol> ingestion,
                           std::shared_ptr<BEACStorage> storage, BEACChannelUnitConfiguration configuration,
                           plat::dispatch::Queue queue);

    void enqueueOnQueue(const BEACLogPtr& log, const std::string& internalId, uint64_t flags);
    void flushQueue();
    void sendLogContainer(const BEACLogContainerPtr& container);
    void completeSend(const BEACLogContainerPtr& container, const BEACHttpResponsePtr& response,
                      const plat::ErrorPtr& error);
    void startTimer(uint64_t seconds);
    uint64_t resolveFlushInterval();
    void resetTimer();
    void setEnabledSync(bool isEnabled, bool deleteDataOnDisabled);
    void deleteAllLogsWithErrorSync(const plat::ErrorPtr& error);
    void pauseWithIdentifyingObjectSync(const plat::ObjectPtr& identifyingObject);
    void resumeWithIdentifyingObjectSync(const plat::ObjectPtr& identifyingObject);
    void notifyFailureBeforeSendingForItem(const BEACLogPtr& log, const plat::ErrorPtr& error);
    std::vector<std::shared_ptr<BEACChannelDelegate>> delegates() const;

    // Queue-confined state.
    bool availableBatchFromStorage_ = false;
    bool pendingBatchQueueFull_ = false;
    bool enabled_ = true;
    bool paused_ = false;
    bool discardLogs_ = false;
    const BEACChannelUnitConfiguration configuration_;
    mutable plat::Mutex queueMutex_;
    plat::dispatch::Queue queue_ GUARDED_BY(queueMutex_);
    const std::shared_ptr<BEACIngestionProtocol> ingestion_;
    const std::shared_ptr<BEACStorage> storage_;
    std::shared_ptr<plat::dispatch::TimerSource> timerSource_;
    uint64_t itemsCount_ = 0;
    std::vector<std::string> pendingBatchIds_;
    // Pausers are held without ownership; a pauser that is gone still counts
    // until it is resumed by address, so a forgotten pause cannot silently
    // resume sending.
    std::vector<std::pair<const void*, std::weak_ptr<const plat::Object>>> pausedIdentifyingObjects_;
    std::set<std::string> pausedTargetKeys_;
    // The unit's own identity in the pause lane while it is disabled.
    plat::Object selfPauser_;

    BEACDelegateList<BEACChannelDelegate> delegates_;
};
