// Routes logs that carry transmission target tokens to the Event Collector.
// Registered on the channel group, it gives every ordinary unit a twin whose
// group id is the unit's followed by "/one" and which sends through the one
// Event Collector ingestion; converts each log with target tokens into one
// Shared Schema log per token and enqueues those on the twin; keeps such logs
// out of the ordinary unit; numbers Shared Schema logs with an epoch and a
// sequence per instrumentation key (memory only); filters Shared Schema logs
// with invalid names; and makes the twins follow their unit's enable, pause
// and resume.
//
// Threads: callbacks arrive on the enqueuing thread (prepare, route) and on
// the channel group's queue; one lock guards the twins and the numbering and
// is never held while a unit is called.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACEventCollectorIngestion.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/UUID.h"

class BEACCSEpochAndSeq {
  public:
    explicit BEACCSEpochAndSeq(std::string epoch) : epoch(std::move(epoch)) {}
    uint64_t seq = 0;
    std::string epoch;
};

class BEACEventCollectorChannelDelegate : public BEACChannelDelegate {
  public:
    // The Event Collector endpoint used when no base URL is given.
    static const char* defaultBaseUrl();

    BEACEventCollectorChannelDelegate(std::shared_ptr<BEACHttpClientProtocol> httpClient,
                                      plat::UUID installId, const std::optional<std::string>& baseUrl);

    // Changes where the twins send; `baseUrl()` keeps the value given at creation.
    void setLogUrl(const std::string& logUrl) { ingestion_->setBaseURL(logUrl); }
    const std::string& baseUrl() const { return baseUrl_; }
    const std::shared_ptr<BEACEventCollectorIngestion>& eventCollectorIngestion() const { return ingestion_; }
    // The twin of the ordinary unit with this group id, or null.
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorChannel(const std::string& groupId) const;

    static bool isEventCollectorGroup(const std::string& groupId);
    static bool shouldSendLogToEventCollector(const BEACLogPtr& log);
    static bool validateLog(const BEACSharedSchemaLog& log);
    // 4 to 100 characters of ASCII letters, digits, "_" and "."; the first a
    // letter or digit; no ".." and no "." at the end.
    static bool validateLogName(const std::optional<std::string>& name);

    // BEACChannelDelegate
    void channelGroupDidAddChannelUnit(BEACChannelGroupProtocol& group,
                                       BEACChannelUnitProtocol& unit) override;
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                              const std::string& internalId, uint64_t flags) override;
    void channelDidSetEnabled(BEACChannelProtocol& channel, bool isEnabled, bool deletedData) override;
    void channelDidPauseWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                              const plat::ObjectPtr& identifyingObject) override;
    void channelDidResumeWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                               const plat::ObjectPtr& identifyingObject) override;
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;

  private:
    const plat::UUID installId_;
    const std::string baseUrl_;
    const std::shared_ptr<BEACEventCollectorIngestion> ingestion_;
    mutable plat::Mutex mutex_;
    std::map<std::string, std::shared_ptr<BEACChannelUnitProtocol>> channels_ GUARDED_BY(mutex_);
    // Logs without an instrumentation key share the entry under "".
    std::map<std::string, BEACCSEpochAndSeq> epochsAndSeqsByIKey_ GUARDED_BY(mutex_);
};
