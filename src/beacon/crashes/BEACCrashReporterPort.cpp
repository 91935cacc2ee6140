#include "beacon/crashes/BEACCrashReporterPort.h"

#include <cerrno>

namespace {

class DefaultCrashReporterPort : public BEACCrashReporterPort {
  public:
    explicit DefaultCrashReporterPort(const KCRCrashReporterConfig& configuration)
        : reporter_(configuration) {}
    const KCRCrashReporterConfig& configuration() const override { return reporter_.configuration(); }
    void setCrashCallbacks(const KCRCrashReporterCallbacks& callbacks) override {
        reporter_.setCrashCallbacks(callbacks);
    }
    bool enableCrashReporter(plat::ErrorPtr* error) override { return reporter_.enableCrashReporter(error); }
    bool hasPendingCrashReport() const override { return reporter_.hasPendingCrashReport(); }
    std::optional<plat::Data> loadPendingCrashReportData(plat::ErrorPtr* error) const override {
        return reporter_.loadPendingCrashReportData(error);
    }
    bool purgePendingCrashReport() const override {
        return !reporter_.hasPendingCrashReport() || reporter_.purgePendingCrashReport();
    }

  private:
    KCRCrashReporter reporter_;
};

}  // namespace

std::shared_ptr<BEACCrashReporterPort> BEACCrashReporterPort::makeDefault(
    const KCRCrashReporterConfig& configuration) {
    return std::make_shared<DefaultCrashReporterPort>(configuration);
}
