// The channel group: the one object through which the facade and the services
// reach the log pipeline. It owns the serial queue on which all pipeline work
// runs, the log store, the group's ingestion and its channel units; it
// relays every unit callback to its own delegates.
//
// Threads: any thread. The delegate set and the unit list each have a lock,
// never held while a callback runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelUnitDefault.h"
#include "beacon/core/BEACDelegateList.h"
#include "beacon/core/BEACIngestionProtocol.h"
#include "beacon/core/BEACStorage.h"
#include "platform/foundation/Mutex.h"

class BEACChannelGroupDefault : public BEACChannelGroupProtocol,
                                public BEACChannelDelegate,
                                public std::enable_shared_from_this<BEACChannelGroupDefault> {
  public:
    // "org.kestrel.beacon.ChannelGroupQueue".
    static const char* queueLabel();

    // `storage` null makes the SQLite log store in the SDK folder.
    static std::shared_ptr<BEACChannelGroupDefault> make(
        std::shared_ptr<BEACGroupIngestionProtocol> ingestion,
        std::shared_ptr<BEACStorage> storage = nullptr);

    std::shared_ptr<BEACChannelUnitProtocol> addChannelUnitWithConfiguration(
        const std::optional<BEACChannelUnitConfiguration>& configuration);
    std::shared_ptr<BEACChannelUnitProtocol> addChannelUnitWithConfiguration(
        const std::optional<BEACChannelUnitConfiguration>& configuration,
        std::shared_ptr<BEACIngestionProtocol> ingestion);
    std::shared_ptr<BEACChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const
        EXCLUDES(channelsMutex_);
    std::vector<std::shared_ptr<BEACChannelUnitProtocol>> channels() const EXCLUDES(channelsMutex_);
    void setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completion);

    void setLogUrl(const std::string& logUrl) { ingestion_->setBaseURL(logUrl); }
    std::string logUrl() const { return ingestion_->baseURL(); }
    void setAppSecret(const std::optional<std::string>& appSecret) { ingestion_->setAppSecret(appSecret); }
    std::optional<std::string> appSecret() const { return ingestion_->appSecret(); }

    const std::shared_ptr<BEACGroupIngestionProtocol>& ingestion() const { return ingestion_; }
    const std::shared_ptr<BEACStorage>& storage() const { return storage_; }
    const plat::dispatch::Queue& queue() const { return queue_; }

    // BEACChannelProtocol
    void addDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) override;
    void removeDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
    void pauseWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) override;
    void resumeWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) override;

    // BEACChannelDelegate: relayed to the group's delegates.
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                              const std::string& internalId, uint64_t flags) override;
    void channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                         const std::string& internalId) override;
    void channelWillSendLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidSucceedSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidFailSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                  const plat::ErrorPtr& error) override;
    void channelDidSetEnabled(BEACChannelProtocol& channel, bool isEnabled, bool deletedData) override;
    void channelDidPauseWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                              const plat::ObjectPtr& identifyingObject) override;
    void channelDidResumeWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                               const plat::ObjectPtr& identifyingObject) override;
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;

  private:
    BEACChannelGroupDefault(std::shared_ptr<BEACGroupIngestionProtocol> ingestion,
                            std::shared_ptr<BEACStorage> storage);
    std::vector<std::shared_ptr<BEACChannelDelegate>> delegates() const;

    const std::shared_ptr<BEACGroupIngestionProtocol> ingestion_;
    const std::shared_ptr<BEACStorage> storage_;
    const plat::dispatch::Queue queue_;

    BEACDelegateList<BEACChannelDelegate> delegates_;
    mutable plat::Mutex channelsMutex_;
    std::vector<std::shared_ptr<BEACChannelUnitProtocol>> channels_ GUARDED_BY(channelsMutex_);
};
