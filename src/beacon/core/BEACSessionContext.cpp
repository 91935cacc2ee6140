#include "beacon/core/BEACSessionContext.h"

#include "beacon/core/BEACLogger.h"
#include "beacon/core/detail/BEACHistoryStore.h"
#include "platform/foundation/Mutex.h"

namespace {
constexpr const char* kHistoryKey = "SessionIdHistory";
plat::Mutex sharedMutex;
std::shared_ptr<BEACSessionContext> shared GUARDED_BY(sharedMutex);
}  // namespace

std::shared_ptr<BEACSessionContext> BEACSessionContext::sharedInstance() {
    plat::MutexLock lock(sharedMutex);
    if (!shared)
        shared = std::make_shared<BEACSessionContext>();
    return shared;
}

void BEACSessionContext::resetSharedInstance() {
    plat::MutexLock lock(sharedMutex);
    shared.reset();
}

BEACSessionContext::BEACSessionContext() {
    sessionHistory_ = beac::detail::readHistory<BEACSessionHistoryInfo>(kHistoryKey);
    BEACLogDebug(kBEACLogTag, "%tu session(s) in the history.", sessionHistory_.size());
    currentSessionInfo_ = std::make_shared<BEACSessionHistoryInfo>(plat::Date::now(), std::nullopt);
    sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> BEACSessionContext::sessionId() const {
    std::lock_guard lock(mutex_);
    return currentSessionInfo_->sessionId;
}

void BEACSessionContext::setSessionId(const std::optional<std::string>& sessionId) {
    std::lock_guard lock(mutex_);
    if (!sessionHistory_.empty())
        sessionHistory_.pop_back();
    currentSessionInfo_->sessionId = sessionId;
    currentSessionInfo_->timestamp = plat::Date::now();
    sessionHistory_.push_back(currentSessionInfo_);
    save();
    BEACLogVerbose(kBEACLogTag, "Stored new session with id:%@ and timestamp: %@.", sessionId,
                   currentSessionInfo_->timestamp->description());
}

std::optional<std::string> BEACSessionContext::sessionIdAt(const plat::Date& date) const {
    std::lock_guard lock(mutex_);
    return beac::detail::idAt(sessionHistory_, date, &BEACSessionHistoryInfo::sessionId);
}

void BEACSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
    std::lock_guard lock(mutex_);
    sessionHistory_.clear();
    if (keepCurrentSession)
        sessionHistory_.push_back(currentSessionInfo_);
    save();
    BEACLogVerbose(kBEACLogTag, "Cleared old sessions.");
}

std::vector<std::shared_ptr<BEACSessionHistoryInfo>> BEACSessionContext::sessionHistory() const {
    std::lock_guard lock(mutex_);
    return sessionHistory_;
}

void BEACSessionContext::save() {
    beac::detail::writeHistory(kHistoryKey, sessionHistory_);
}
