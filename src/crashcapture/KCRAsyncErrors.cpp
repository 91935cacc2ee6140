#include "crashcapture/KCRAsyncErrors.h"

#include "crashcapture/KCRCrashReporterError.h"

namespace kcr::async {

void populate_error(plat::ErrorPtr* error, int code, const std::string& description,
                    plat::ErrorPtr underlying) {
    if (error == nullptr)
        return;
    plat::Dictionary info{{plat::LocalizedDescriptionKey, plat::Value(description)}};
    if (underlying != nullptr)
        info.set(plat::UnderlyingErrorKey, plat::Value(underlying));
    *error = plat::Error::make(KCRCrashReporterErrorDomain, code, std::move(info));
}

void populate_mach_error(plat::ErrorPtr* error, int kernel_return, const std::string& description) {
    if (error == nullptr)
        return;
    populate_error(error, KCRCrashReporterErrorOperatingSystem, description,
                   plat::Error::make(KCRMachErrorDomain, kernel_return));
}

void populate_posix_error(plat::ErrorPtr* error, int errnum, const std::string& description) {
    if (error == nullptr)
        return;
    populate_error(error, KCRCrashReporterErrorOperatingSystem, description,
                   plat::Error::make(plat::POSIXErrorDomain, errnum));
}

}  // namespace kcr::async
