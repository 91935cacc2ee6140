// What the crash service uses of crash capture, behind an interface so that
// tests can stand in a reporter that arms nothing. The real one is a
// KCRCrashReporter of the main bundle.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "crashcapture/KCRCrashReporter.h"
#include "crashcapture/KCRCrashReporterConfig.h"

class BEACCrashReporterPort {
  public:
    virtual ~BEACCrashReporterPort() = default;
    virtual const KCRCrashReporterConfig& configuration() const = 0;
    // Before enabling only.
    virtual void setCrashCallbacks(const KCRCrashReporterCallbacks& callbacks) = 0;
    virtual bool enableCrashReporter(plat::ErrorPtr* error) = 0;
    virtual bool hasPendingCrashReport() const = 0;
    virtual std::optional<plat::Data> loadPendingCrashReportData(plat::ErrorPtr* error) const = 0;
    // No pending report is no failure.
    virtual bool purgePendingCrashReport() const = 0;

    using Factory = std::function<std::shared_ptr<BEACCrashReporterPort>(const KCRCrashReporterConfig&)>;
    // The reporter for the main bundle.
    static std::shared_ptr<BEACCrashReporterPort> makeDefault(const KCRCrashReporterConfig& configuration);
};
