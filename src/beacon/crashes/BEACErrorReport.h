// The read-only summary of one crash or handled error that the crash service
// hands to the application (its delegate, the last session's crash). Never
// archived or sent. Every field may be absent except the process id (0 when
// unknown); only the signal can be changed afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "beacon/core/BEACDevice.h"
#include "platform/foundation/Date.h"

class BEACErrorReport {
  public:
    BEACErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                    std::optional<std::string> signal, std::optional<std::string> exceptionName,
                    std::optional<std::string> exceptionReason, std::optional<plat::Date> appStartTime,
                    std::optional<plat::Date> appErrorTime, std::shared_ptr<BEACDevice> device,
                    uint64_t appProcessIdentifier)
        : incidentIdentifier_(std::move(errorId)),
          reporterKey_(std::move(reporterKey)),
          signal_(std::move(signal)),
          exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          appStartTime_(appStartTime),
          appErrorTime_(appErrorTime),
          device_(std::move(device)),
          appProcessIdentifier_(appProcessIdentifier) {}

    // The error log's id.
    const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
    // The SDK's install id as text, or empty.
    const std::optional<std::string>& reporterKey() const { return reporterKey_; }
    const std::optional<std::string>& signal() const { return signal_; }
    void setSignal(std::optional<std::string> signal) { signal_ = std::move(signal); }
    const std::optional<std::string>& exceptionName() const { return exceptionName_; }
    const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
    const std::optional<plat::Date>& appStartTime() const { return appStartTime_; }
    const std::optional<plat::Date>& appErrorTime() const { return appErrorTime_; }
    const std::shared_ptr<BEACDevice>& device() const { return device_; }
    uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

    // The signal, upper-cased, is "SIGKILL".
    bool isAppKill() const;

  private:
    std::optional<std::string> incidentIdentifier_;
    std::optional<std::string> reporterKey_;
    std::optional<std::string> signal_;
    std::optional<std::string> exceptionName_;
    std::optional<std::string> exceptionReason_;
    std::optional<plat::Date> appStartTime_;
    std::optional<plat::Date> appErrorTime_;
    std::shared_ptr<BEACDevice> device_;
    uint64_t appProcessIdentifier_;
};
