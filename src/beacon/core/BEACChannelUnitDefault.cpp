#include "beacon/core/BEACChannelUnitDefault.h"

#include <algorithm>
#include <cmath>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/UUID.h"

namespace {

constexpr uint64_t kBEACDefaultFlushInterval = 3;

std::string typeOf(const BEACLogPtr& log) {
    return log->type.value_or("");
}

}  // namespace

std::shared_ptr<BEACChannelUnitDefault> BEACChannelUnitDefault::make(
    std::shared_ptr<BEACIngestionProtocol> ingestion, std::shared_ptr<BEACStorage> storage,
    BEACChannelUnitConfiguration configuration, plat::dispatch::Queue logsDispatchQueue) {
    return std::shared_ptr<BEACChannelUnitDefault>(new BEACChannelUnitDefault(
        std::move(ingestion), std::move(storage), std::move(configuration), std::move(logsDispatchQueue)));
}

BEACChannelUnitDefault::BEACChannelUnitDefault(std::shared_ptr<BEACIngestionProtocol> ingestion,
                                               std::shared_ptr<BEACStorage> storage,
                                               BEACChannelUnitConfiguration configuration,
                                               plat::dispatch::Queue queue)
    : configuration_(std::move(configuration)),
      queue_(std::move(queue)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)) {}

// At once rather than on the queue: a log enqueued right after a unit was
// added (an event tracked just after start) must meet the group's delegates,
// or it skips session ids, routing to the Event Collector and filtering.
void BEACChannelUnitDefault::addDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) {
    delegates_.add(delegate);
}

void BEACChannelUnitDefault::removeDelegate(const std::weak_ptr<BEACChannelDelegate>& delegate) {
    delegates_.remove(delegate);
}

std::vector<std::shared_ptr<BEACChannelDelegate>> BEACChannelUnitDefault::delegates() const {
    return delegates_.snapshot();
}

void BEACChannelUnitDefault::enqueueItem(const BEACLogPtr& log, uint64_t flags) {
    if (log) {
        if (!log->timestamp)
            log->timestamp = plat::Date::now();
        if (!log->device)
            log->device = BEACDeviceTracker::sharedInstance()->device();
    }
    if (!log || !log->isValid()) {
        BEACLogWarning(kBEACLogTag, "Log is not valid.");
        return;
    }
    std::string internalId = plat::UUID().UUIDString();
    for (const auto& delegate : delegates())
        delegate->channelPrepareLog(*this, log);
    for (const auto& delegate : delegates())
        delegate->channelDidPrepareLog(*this, log, internalId, flags);
    auto self = shared_from_this();
    logsDispatchQueue().async(
        [self, log, internalId, flags] { self->enqueueOnQueue(log, internalId, flags); });
}

void BEACChannelUnitDefault::enqueueOnQueue(const BEACLogPtr& log, const std::string& internalId,
                                            uint64_t flags) {
    logsDispatchQueue().assertCurrent();
    auto snapshot = delegates();
    bool filtered = false;
    for (const auto& delegate : snapshot) {
        if (delegate->channelUnitShouldFilterLog(*this, log)) {
            filtered = true;
            break;
        }
    }
    auto complete = [&] {
        for (const auto& delegate : delegates())
            delegate->channelDidCompleteEnqueueingLog(*this, log, internalId);
    };
    if (filtered) {
        BEACLogDebug(kBEACLogTag, "Log of type '%@' was filtered out by delegate(s)", typeOf(log));
        complete();
        return;
    }
    if (!ingestion_ || !ingestion_->isReadyToSend()) {
        BEACLogDebug(
            kBEACLogTag,
            "Log of type '%@' was not filtered out by delegate(s) but ingestion is not ready to send it.",
            typeOf(log));
        complete();
        return;
    }
    if (discardLogs_) {
        BEACLogWarning(kBEACLogTag, "Channel %@ disabled in log discarding mode, discard this log.",
                       configuration_.groupId());
        notifyFailureBeforeSendingForItem(
            log, BEACMakeError(kBEACConnectionPausedErrorCode, kBEACConnectionPausedErrorDesc));
        complete();
        return;
    }
    BEACLogDebug(kBEACLogTag, "Saving log, type: %@, flags: %u.", typeOf(log), static_cast<uint32_t>(flags));
    bool saved = storage_->saveLog(log, configuration_.groupId(), flags);
    complete();
    if (saved) {
        ++itemsCount_;
        checkPendingLogs();
    }
}

plat::dispatch::Queue BEACChannelUnitDefault::logsDispatchQueue() const {
    plat::MutexLock lock(queueMutex_);
    return queue_;
}

void BEACChannelUnitDefault::setLogsDispatchQueue(plat::dispatch::Queue queue) {
    plat::MutexLock lock(queueMutex_);
    queue_ = std::move(queue);
}

void BEACChannelUnitDefault::checkPendingLogs() {
    logsDispatchQueue().assertCurrent();
    if (!paused_ && configuration_.flushInterval() == kBEACDefaultFlushInterval &&
        itemsCount_ >= configuration_.batchSizeLimit()) {
        flushQueue();
        return;
    }
    if (itemsCount_ == 0)
        return;
    uint64_t interval = resolveFlushInterval();
    if (paused_)
        return;
    if (interval > 0)
        startTimer(interval);
    else
        flushQueue();
}

std::string BEACChannelUnitDefault::oldestPendingLogTimestampKey() const {
    return "ChannelStartTimer:" + configuration_.groupId();
}

uint64_t BEACChannelUnitDefault::resolveFlushInterval() {
    logsDispatchQueue().assertCurrent();
    uint64_t interval = configuration_.flushInterval();
    if (interval <= kBEACDefaultFlushInterval)
        return interval;
    auto defaults = BEACBeaconUserDefaults::shared();
    std::string key = oldestPendingLogTimestampKey();
    plat::Date now = plat::Date::now();
    std::optional<plat::Date> start;
    if (auto stored = defaults->objectForKey(key))
        start = stored->asDate();
    if (start && now.timeIntervalSinceDate(*start) >= 0) {
        double elapsed = now.timeIntervalSinceDate(*start);
        if (elapsed > static_cast<double>(interval)) {
            defaults->removeObjectForKey(key);
            return 0;
        }
        return interval - static_cast<uint64_t>(std::trunc(elapsed));
    }
    defaults->setObject(plat::Value(now), key);
    return interval;
}

void BEACChannelUnitDefault::startTimer(uint64_t seconds) {
    logsDispatchQueue().assertCurrent();
    if (!enabled_)
        return;
    resetTimer();
    timerSource_ = plat::dispatch::TimerSource::create(logsDispatchQueue());
    std::weak_ptr<BEACChannelUnitDefault> weak = weak_from_this();
    timerSource_->setEventHandler([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->itemsCount_ > 0)
            self->flushQueue();
        self->resetTimer();
        BEACBeaconUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
    });
    timerSource_->setTimer(static_cast<double>(seconds), 1.0, 1.0);
    timerSource_->resume();
}

void BEACChannelUnitDefault::resetTimer() {
    logsDispatchQueue().assertCurrent();
    if (timerSource_) {
        timerSource_->cancel();
        timerSource_.reset();
    }
}

void BEACChannelUnitDefault::flushQueue() {
    logsDispatchQueue().assertCurrent();
    while (true) {
        if (!ingestion_ || !ingestion_->isEnabled()) {
            BEACLogDebug(kBEACLogTag, "Beacon SDK is offline, groupId:%@.", configuration_.groupId());
            return;
        }
        if (!enabled_ || !ingestion_->isReadyToSend())
            return;
        resetTimer();
        if (paused_ || pendingBatchQueueFull_) {
            if (itemsCount_ >= configuration_.batchSizeLimit()) {
                availableBatchFromStorage_ = true;
                itemsCount_ = 0;
            }
            return;
        }
        itemsCount_ = 0;
        std::vector<std::string> excluded(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
        bool loadedAny = false;
        availableBatchFromStorage_ = storage_->loadLogsWithGroupId(
            configuration_.groupId(), configuration_.batchSizeLimit(), excluded,
            [&](const std::vector<BEACLogPtr>& logs, const std::optional<std::string>& batchId) {
                if (logs.empty() || !batchId)
                    return;
                loadedAny = true;
                sendLogContainer(std::make_shared<const BEACLogContainer>(*batchId, logs));
            });
        // A load that found nothing cannot make progress, whatever it answered.
        if (!availableBatchFromStorage_ || pendingBatchQueueFull_ || !loadedAny)
            return;
    }
}

void BEACChannelUnitDefault::sendLogContainer(const BEACLogContainerPtr& container) {
    logsDispatchQueue().assertCurrent();
    pendingBatchIds_.push_back(container->batchId);
    if (pendingBatchIds_.size() >= configuration_.pendingBatchesLimit())
        pendingBatchQueueFull_ = true;
    if (BEACLogger::currentLogLevel() <= BEACLogLevelDebug) {
        std::size_t count = container->logs.size();
        for (std::size_t i = 0; i < count; ++i) {
            const auto& log = container->logs[i];
            BEACLogDebug(
                kBEACLogTag, "Sending %tu/%tu log, group Id: %@, batch Id: %@, session Id: %@, payload:\n%@",
                i + 1, count, configuration_.groupId(), container->batchId, log->sid.value_or("(null)"),
                log->serializeLogWithPrettyPrinting(true).value_or("(null)"));
        }
    }
    for (const auto& delegate : delegates()) {
        for (const auto& log : container->logs)
            delegate->channelWillSendLog(*this, log);
    }
    auto self = shared_from_this();
    ingestion_->sendAsync(
        container, [self, container](const std::string&, const BEACHttpResponsePtr& response,
                                     const std::optional<plat::Data>&, const plat::ErrorPtr& error) {
            self->logsDispatchQueue().async(
                [self, container, response, error] { self->completeSend(container, response, error); });
        });
}

void BEACChannelUnitDefault::completeSend(const BEACLogContainerPtr& container,
                                          const BEACHttpResponsePtr& response, const plat::ErrorPtr& error) {
    logsDispatchQueue().assertCurrent();
    const std::string& batchId = container->batchId;
    auto pending = std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId);
    if (pending == pendingBatchIds_.end()) {
        BEACLogWarning(kBEACLogTag, "Batch Id %@ not expected, ignore.", batchId);
        return;
    }
    int64_t status = BEACHttpUtil::statusOf(response);
    bool succeeded = BEACHttpUtil::isSuccessStatusCode(status);
    if (succeeded) {
        BEACLogDebug(kBEACLogTag, "Log(s) sent with success, batch Id:%@.", batchId);
        for (const auto& delegate : delegates()) {
            for (const auto& log : container->logs)
                delegate->channelDidSucceedSendingLog(*this, log);
        }
        storage_->deleteLogsWithBatchId(batchId, configuration_.groupId());
    } else {
        BEACLogError(kBEACLogTag, "Log(s) sent with failure, batch Id:%@, status code:%tu", batchId,
                     static_cast<uint64_t>(status));
        for (const auto& delegate : delegates()) {
            for (const auto& log : container->logs)
                delegate->channelDidFailSendingLog(*this, log, error);
        }
        if (!BEACHttpUtil::isRecoverableError(status)) {
            BEACLogError(kBEACLogTag, "Fatal error encountered; shutting down channel unit with group ID %@",
                         configuration_.groupId());
            setEnabled(false, true);
            return;
        }
    }
    pendingBatchIds_.erase(std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId));
    if (pendingBatchQueueFull_ && pendingBatchIds_.size() < configuration_.pendingBatchesLimit())
        pendingBatchQueueFull_ = false;
    // Any success with stored logs left sends on, not only the completion
    // that freed the slot: logs held back by a full in-flight queue would
    // otherwise wait for the next enqueue, however long that takes.
    if (succeeded && !pendingBatchQueueFull_ && availableBatchFromStorage_)
        flushQueue();
}

void BEACChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
    auto self = shared_from_this();
    logsDispatchQueue().async(
        [self, isEnabled, deleteDataOnDisabled] { self->setEnabledSync(isEnabled, deleteDataOnDisabled); });
}

void BEACChannelUnitDefault::setEnabledSync(bool isEnabled, bool deleteDataOnDisabled) {
    logsDispatchQueue().assertCurrent();
    // The unit pauses itself while disabled; it identifies itself by address.
    auto selfObject = std::shared_ptr<const plat::Object>(shared_from_this(), &selfPauser_);
    if (enabled_ != isEnabled) {
        enabled_ = isEnabled;
        if (isEnabled)
            resumeWithIdentifyingObjectSync(selfObject);
        else
            pauseWithIdentifyingObjectSync(selfObject);
    }
    if (!isEnabled && deleteDataOnDisabled) {
        BEACLogDebug(kBEACLogTag, "Delete all logs for group Id %@", configuration_.groupId());
        deleteAllLogsWithErrorSync(
            BEACMakeError(kBEACConnectionPausedErrorCode, kBEACConnectionPausedErrorDesc));
        itemsCount_ = 0;
        availableBatchFromStorage_ = false;
        pendingBatchQueueFull_ = false;
        BEACBeaconUserDefaults::shared()->removeObjectForKey(oldestPendingLogTimestampKey());
        discardLogs_ = true;
    } else {
        discardLogs_ = false;
    }
    for (const auto& delegate : delegates())
        delegate->channelDidSetEnabled(*this, isEnabled, deleteDataOnDisabled);
}

void BEACChannelUnitDefault::deleteAllLogsWithErrorSync(const plat::ErrorPtr& error) {
    logsDispatchQueue().assertCurrent();
    for (const auto& batchId : pendingBatchIds_)
        storage_->deleteLogsWithBatchId(batchId, configuration_.groupId());
    pendingBatchIds_.clear();
    for (const auto& log : storage_->deleteLogsWithGroupId(configuration_.groupId()))
        notifyFailureBeforeSendingForItem(log, error);
}

void BEACChannelUnitDefault::notifyFailureBeforeSendingForItem(const BEACLogPtr& log,
                                                               const plat::ErrorPtr& error) {
    logsDispatchQueue().assertCurrent();
    for (const auto& delegate : delegates()) {
        delegate->channelWillSendLog(*this, log);
        delegate->channelDidFailSendingLog(*this, log, error);
    }
}

void BEACChannelUnitDefault::pauseWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) {
    auto self = shared_from_this();
    logsDispatchQueue().async(
        [self, identifyingObject] { self->pauseWithIdentifyingObjectSync(identifyingObject); });
}

void BEACChannelUnitDefault::resumeWithIdentifyingObject(const plat::ObjectPtr& identifyingObject) {
    auto self = shared_from_this();
    logsDispatchQueue().async(
        [self, identifyingObject] { self->resumeWithIdentifyingObjectSync(identifyingObject); });
}

void BEACChannelUnitDefault::pauseWithIdentifyingObjectSync(const plat::ObjectPtr& identifyingObject) {
    logsDispatchQueue().assertCurrent();
    const void* address = identifyingObject.get();
    bool known = std::any_of(pausedIdentifyingObjects_.begin(), pausedIdentifyingObjects_.end(),
                             [&](const auto& entry) { return entry.first == address; });
    if (!known)
        pausedIdentifyingObjects_.emplace_back(address, identifyingObject);
    BEACLogVerbose(kBEACLogTag, "Identifying object %@ added to pause lane for channel %@.",
                   identifyingObject ? identifyingObject->description() : "(null)", configuration_.groupId());
    if (!paused_) {
        BEACLogDebug(kBEACLogTag, "Pause channel %@.", configuration_.groupId());
        paused_ = true;
        resetTimer();
    }
    for (const auto& delegate : delegates())
        delegate->channelDidPauseWithIdentifyingObject(*this, identifyingObject);
}

void BEACChannelUnitDefault::resumeWithIdentifyingObjectSync(const plat::ObjectPtr& identifyingObject) {
    logsDispatchQueue().assertCurrent();
    const void* address = identifyingObject.get();
    std::erase_if(pausedIdentifyingObjects_, [&](const auto& entry) { return entry.first == address; });
    BEACLogVerbose(kBEACLogTag, "Identifying object %@ removed from pause lane for channel %@.",
                   identifyingObject ? identifyingObject->description() : "(null)", configuration_.groupId());
    if (pausedIdentifyingObjects_.empty()) {
        if (paused_) {
            BEACLogDebug(kBEACLogTag, "Resume channel %@.", configuration_.groupId());
            paused_ = false;
        }
        // Also when nothing paused the unit: logs that waited while the
        // network was forbidden before the pipeline existed are sent now.
        checkPendingLogs();
    }
    for (const auto& delegate : delegates())
        delegate->channelDidResumeWithIdentifyingObject(*this, identifyingObject);
}

void BEACChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
    auto key = BEACUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    auto self = shared_from_this();
    logsDispatchQueue().async([self, key = *key] {
        BEACLogDebug(kBEACLogTag, "Pause channel for target key %@.", key);
        self->pausedTargetKeys_.insert(key);
    });
}

void BEACChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
    auto key = BEACUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    auto self = shared_from_this();
    logsDispatchQueue().async([self, key = *key] {
        BEACLogDebug(kBEACLogTag, "Resume channel for target key %@.", key);
        self->pausedTargetKeys_.erase(key);
        self->itemsCount_ = self->storage_->countLogs();
        self->checkPendingLogs();
    });
}
