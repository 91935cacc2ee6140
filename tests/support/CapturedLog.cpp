#include "support/CapturedLog.h"

#include <string_view>

#include "platform/foundation/Log.h"

namespace testsupport {

CapturedLog::CapturedLog() {
    plat::setLogSink([this](std::string_view message) {
        plat::MutexLock lock(mutex_);
        lines_.emplace_back(message);
    });
}

CapturedLog::~CapturedLog() {
    // Once setLogSink returns the old sink is never called again, so no
    // message can reach this object after it is gone.
    plat::setLogSink(nullptr);
}

std::vector<std::string> CapturedLog::lines() const {
    plat::MutexLock lock(mutex_);
    return lines_;
}

}  // namespace testsupport
