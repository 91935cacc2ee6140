#include "beacon/core/BEACChannelGroupDefault.h"

#include "beacon/core/BEACLogDBStorage.h"

const char* BEACChannelGroupDefault::queueLabel() {
    return "org.kestrel.beacon.ChannelGroupQueue";
}

std::shared_ptr<BEACChannelGroupDefault> BEACChannelGroupDefault::make(
    std::shared_ptr<BEACGroupIngestionProtocol> ingestion, std::shared_ptr<BEACStorage> storage) {
    if (!storage)
        storage = std::make_shared<BEACLogDBStorage>();
    return std::shared_ptr<BEACChannelGroupDefault>(
        new BEACChannelGroupDefault(std::move(ingestion), std::move(storage)));
}

BEACChannelGroupDefault::BEACChannelGroupDefault(std::shared_ptr<BEACGroupIngestionProtocol> ingestion,
                                                 std::shared_ptr<BEACStorage> storage)
    : ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      queue_(plat::dispatch::Queue::serial(queueLabel())) {}

std::shared_ptr<BEACChannelUnitProtocol> BEACChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::optional<BEACChannelUnitConfiguration>& configuration) {
    return addChannelUnitWithConfiguration(configuration, ingestion_);
}

std::shared_ptr<BEACChannelUnitProtocol> BEACChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::optional<BEACChannelUnitConfiguration>& configuration,
    std::shared_ptr<BEACIngestionProtocol> ingestion) {
    if (!configuration)
        return nullptr;
    if (!ingestion)
        ingestion = ingestion_;
    auto unit = BEACChannelUnitDefault::make(std::move(ingestion), storage_, *configuration, queue_);
    unit->addDelegate(weak_from_this());
    queue_.async([unit] { unit->checkPendingLogs(); });
    {
        plat::MutexLock lock(channelsMutex_);
        channels_.push_back(unit);
    }
    for (const auto& delegate : delegates())
        delegate->channelGroupDidAddChannelUnit(*this, *unit);
    return unit;
}

std::shared_ptr<BEACChannelUnitProtocol> BEACChannelGroupDefault::channelUnitForGroupId(
    const std::string& groupId) const {
    plat::MutexLock lock(channelsMutex_);
    for (const auto& unit : channels_) {
        if (unit->configuration().groupId() == groupId)
            return unit;
    }
    return nullptr;
}

std::vector<std::shared_ptr<BEACChannelUnitProtocol>> BEACChannelGroupDefault::channels() const {
    plat::MutexLock lock(channelsMutex_);
    return channels_;
}

void BEACChannelGroupDefault::setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completion) {
    auto storage = storage_;
    queue_.async([storage, sizeInBytes, completion = std::move(completion)] {
        storage->setMaxStorageSize(
            sizeInBytes, completion ? completion : [](bool) {});
    });
}

void BEACChannelGroupDefault::addDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) {
    delegates_.add(delegate);
}

void BEACChannelGroupDefault::removeDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) {
    delegates_.remove(delegate);
}

std::vector<std::shared_ptr<BEACChannelDelegate>> BEACChannelGroupDefault::delegates() const {
    return delegates_.snapshot();
}

void BEACChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
    ingestion_->setEnabled(isEnabled, deleteDataOnDisabled);
    // The group reports before its units: they report from their own queues,
    // which may run before this loop would get to it.
    for (const auto& delegate : delegates())
        delegate->channelDidSetEnabled(*this, isEnabled, deleteDataOnDisabled);
    for (const auto& unit : channels())
        unit->setEnabled(isEnabled, deleteDataOnDisabled);
}

void BEACChannelGroupDefault::pauseWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) {
    ingestion_->setEnabled(false, false);
    for (const auto& unit : channels())
        unit->pauseWithIdentifyingObject(identifyingObject);
}

void BEACChannelGroupDefault::resumeWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) {
    ingestion_->setEnabled(true, false);
    for (const auto& unit : channels())
        unit->resumeWithIdentifyingObject(identifyingObject);
}

void BEACChannelGroupDefault::channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) {
    for (const auto& delegate : delegates())
        delegate->channelPrepareLog(unit, log);
}
void BEACChannelGroupDefault::channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                                   const std::string& internalId, uint64_t flags) {
    for (const auto& delegate : delegates())
        delegate->channelDidPrepareLog(unit, log, internalId, flags);
}
void BEACChannelGroupDefault::channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol& unit,
                                                              const BEACLogPtr& log,
                                                              const std::string& internalId) {
    for (const auto& delegate : delegates())
        delegate->channelDidCompleteEnqueueingLog(unit, log, internalId);
}
void BEACChannelGroupDefault::channelWillSendLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) {
    for (const auto& delegate : delegates())
        delegate->channelWillSendLog(unit, log);
}
void BEACChannelGroupDefault::channelDidSucceedSendingLog(BEACChannelUnitProtocol& unit,
                                                          const BEACLogPtr& log) {
    for (const auto& delegate : delegates())
        delegate->channelDidSucceedSendingLog(unit, log);
}
void BEACChannelGroupDefault::channelDidFailSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                                       const plat::ErrorPtr& error) {
    for (const auto& delegate : delegates())
        delegate->channelDidFailSendingLog(unit, log, error);
}
void BEACChannelGroupDefault::channelDidSetEnabled(BEACChannelProtocol& channel, bool isEnabled,
                                                   bool deletedData) {
    for (const auto& delegate : delegates())
        delegate->channelDidSetEnabled(channel, isEnabled, deletedData);
}
void BEACChannelGroupDefault::channelDidPauseWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                                                   const plat::ObjectPtr& identifyingObject) {
    for (const auto& delegate : delegates())
        delegate->channelDidPauseWithIdentifyingObject(unit, identifyingObject);
}
void BEACChannelGroupDefault::channelDidResumeWithIdentifyingObject(
    BEACChannelUnitProtocol& unit, const plat::ObjectPtr& identifyingObject) {
    for (const auto& delegate : delegates())
        delegate->channelDidResumeWithIdentifyingObject(unit, identifyingObject);
}
bool BEACChannelGroupDefault::channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit,
                                                         const BEACLogPtr& log) {
    for (const auto& delegate : delegates()) {
        if (delegate->channelUnitShouldFilterLog(unit, log))
            return true;
    }
    return false;
}
