// Diagnostics of crash capture at ordinary times: lines on the platform log
// (platform/foundation/Log.h, where tests capture them) that start with
// "[KCRCrashReporter] ". Not for crash time: it allocates and locks.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"

namespace kcr {

// Formats as plat::format does and logs the prefixed line. Thread-safe.
template <class... Args>
void log(std::string_view format, const Args&... args) {
    plat::Log("[KCRCrashReporter] " + plat::format(format, args...));
}

}  // namespace kcr
