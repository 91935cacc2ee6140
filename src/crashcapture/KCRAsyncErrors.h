// Builders of crash capture's errors at ordinary time. Each does nothing when
// the out-parameter is null; otherwise it stores an error in
// "KCRCrashReporterErrorDomain" whose user info holds the description and,
// when there is one, the underlying error.
#pragma once

#include <string>

#include "platform/foundation/Error.h"

namespace kcr::async {

inline constexpr const char* KCRMachErrorDomain = "NSMachErrorDomain";

void populate_error(plat::ErrorPtr* error, int code, const std::string& description,
                    plat::ErrorPtr underlying = nullptr);
// Code 1 with an underlying error in the kernel-return domain.
void populate_mach_error(plat::ErrorPtr* error, int kernel_return, const std::string& description);
// Code 1 with an underlying error in the POSIX domain.
void populate_posix_error(plat::ErrorPtr* error, int errnum, const std::string& description);

}  // namespace kcr::async
