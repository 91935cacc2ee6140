#include "beacon/core/BEACEventCollectorChannelDelegate.h"

#include <regex>

#include "beacon/core/BEACChannelGroupDefault.h"
#include "beacon/core/BEACLogger.h"
#include "platform/foundation/Mutex.h"

namespace {

constexpr const char* kEventCollectorSuffix = "/one";
constexpr const char* kNamePattern = R"(^[a-zA-Z0-9]((\.(?!(\.|$)))|[_a-zA-Z0-9]){3,99}$)";
constexpr const char* kValidationFailed = "Log validation failed.";

}  // namespace

const char* BEACEventCollectorChannelDelegate::defaultBaseUrl() {
    return "https://events.beacon.kestrel.dev";
}

BEACEventCollectorChannelDelegate::BEACEventCollectorChannelDelegate(
    std::shared_ptr<BEACHttpClientProtocol> httpClient, plat::UUID installId,
    const std::optional<std::string>& baseUrl)
    : installId_(installId),
      baseUrl_(baseUrl ? *baseUrl : std::string(defaultBaseUrl())),
      ingestion_(BEACEventCollectorIngestion::make(std::move(httpClient), baseUrl_)) {}

std::shared_ptr<BEACChannelUnitProtocol> BEACEventCollectorChannelDelegate::eventCollectorChannel(
    const std::string& groupId) const {
    plat::MutexLock lock(mutex_);
    auto it = channels_.find(groupId);
    return it == channels_.end() ? nullptr : it->second;
}

bool BEACEventCollectorChannelDelegate::isEventCollectorGroup(const std::string& groupId) {
    const std::string suffix = kEventCollectorSuffix;
    return groupId.size() >= suffix.size() &&
           groupId.compare(groupId.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool BEACEventCollectorChannelDelegate::shouldSendLogToEventCollector(const BEACLogPtr& log) {
    if (!log || !log->supportsSharedSchemaConversion())
        return false;
    auto tokens = log->transmissionTargetTokens();
    return tokens && !tokens->empty();
}

bool BEACEventCollectorChannelDelegate::validateLog(const BEACSharedSchemaLog& log) {
    return validateLogName(log.name);
}

bool BEACEventCollectorChannelDelegate::validateLogName(const std::optional<std::string>& name) {
    if (!name || name->empty()) {
        BEACLogError(kBEACLogTag, "%@ Name must not be nil or empty.", kValidationFailed);
        return false;
    }
    static const std::regex pattern(kNamePattern);
    if (!std::regex_match(*name, pattern)) {
        BEACLogError(kBEACLogTag, "%@ Name must match '%@' but was '%@'", kValidationFailed, kNamePattern,
                     *name);
        return false;
    }
    return true;
}

void BEACEventCollectorChannelDelegate::channelGroupDidAddChannelUnit(BEACChannelGroupProtocol& group,
                                                                      BEACChannelUnitProtocol& unit) {
    const auto& configuration = unit.configuration();
    const std::string& groupId = configuration.groupId();
    if (isEventCollectorGroup(groupId))
        return;
    auto* channelGroup = dynamic_cast<BEACChannelGroupDefault*>(&group);
    if (!channelGroup)
        return;
    // Adding the twin calls back here with the twin, which the suffix skips.
    auto twin = channelGroup->addChannelUnitWithConfiguration(
        BEACChannelUnitConfiguration::defaultConfiguration(groupId + kEventCollectorSuffix,
                                                           configuration.flushInterval()),
        ingestion_);
    plat::MutexLock lock(mutex_);
    channels_[groupId] = twin;
}

void BEACEventCollectorChannelDelegate::channelPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    auto csLog = std::dynamic_pointer_cast<BEACSharedSchemaLog>(log);
    if (!csLog)
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<BEACCSExtensions>();
    if (!csLog->ext->sdkExt)
        csLog->ext->sdkExt = std::make_shared<BEACSDKExtension>();
    plat::MutexLock lock(mutex_);
    auto it = epochsAndSeqsByIKey_.find(csLog->iKey.value_or(""));
    if (it == epochsAndSeqsByIKey_.end())
        it = epochsAndSeqsByIKey_
                 .emplace(csLog->iKey.value_or(""), BEACCSEpochAndSeq(plat::UUID().UUIDString()))
                 .first;
    csLog->ext->sdkExt->epoch = it->second.epoch;
    csLog->ext->sdkExt->seq = ++it->second.seq;
    csLog->ext->sdkExt->installId = installId_;
}

void BEACEventCollectorChannelDelegate::channelDidPrepareLog(BEACChannelUnitProtocol& unit,
                                                             const BEACLogPtr& log, const std::string&,
                                                             uint64_t flags) {
    const std::string& groupId = unit.configuration().groupId();
    if (isEventCollectorGroup(groupId))
        return;
    auto twin = eventCollectorChannel(groupId);
    if (!twin)
        return;
    if (std::dynamic_pointer_cast<BEACSharedSchemaLog>(log)) {
        twin->enqueueItem(log, flags);
        return;
    }
    if (!shouldSendLogToEventCollector(log))
        return;
    if (auto converted = log->toSharedSchemaLogsWithFlags(static_cast<int64_t>(flags)))
        for (const auto& csLog : *converted)
            twin->enqueueItem(csLog, flags);
}

bool BEACEventCollectorChannelDelegate::channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit,
                                                                   const BEACLogPtr& log) {
    if (auto csLog = std::dynamic_pointer_cast<BEACSharedSchemaLog>(log))
        return !isEventCollectorGroup(unit.configuration().groupId()) || !validateLog(*csLog);
    auto tokens = log ? log->transmissionTargetTokens() : nullptr;
    return tokens && !tokens->empty();
}

void BEACEventCollectorChannelDelegate::channelDidSetEnabled(BEACChannelProtocol& channel, bool isEnabled,
                                                             bool deletedData) {
    if (auto* unit = dynamic_cast<BEACChannelUnitProtocol*>(&channel)) {
        const std::string& groupId = unit->configuration().groupId();
        if (isEventCollectorGroup(groupId))
            return;
        if (auto twin = eventCollectorChannel(groupId))
            twin->setEnabled(isEnabled, deletedData);
        return;
    }
    if (!isEnabled && deletedData) {
        plat::MutexLock lock(mutex_);
        epochsAndSeqsByIKey_.clear();
    }
}

void BEACEventCollectorChannelDelegate::channelDidPauseWithIdentifyingObject(
    BEACChannelUnitProtocol& unit, const plat::ObjectPtr& identifyingObject) {
    const std::string& groupId = unit.configuration().groupId();
    if (isEventCollectorGroup(groupId))
        return;
    if (auto twin = eventCollectorChannel(groupId))
        twin->pauseWithIdentifyingObject(identifyingObject);
}

void BEACEventCollectorChannelDelegate::channelDidResumeWithIdentifyingObject(
    BEACChannelUnitProtocol& unit, const plat::ObjectPtr& identifyingObject) {
    const std::string& groupId = unit.configuration().groupId();
    if (isEventCollectorGroup(groupId))
        return;
    if (auto twin = eventCollectorChannel(groupId))
        twin->resumeWithIdentifyingObject(identifyingObject);
}
