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
    const std::size_t count = sessionHistory_.size();  // the log macro's lambda sees no lock
    BEACLogDebug(kBEACLogTag, "%tu session(s) in the history.", count);
    currentSessionInfo_ = std::make_shared<BEACSessionHistoryInfo>(plat::Date::now(), std::nullopt);
    sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> BEACSessionContext::sessionId() const {
    plat::MutexLock lock(mutex_);
    return currentSessionInfo_->sessionId;
}

void BEACSessionContext::setSessionId(const std::optional<std::string>& sessionId) {
    plat::MutexLock lock(mutex_);
    if (!sessionHistory_.empty())
        sessionHistory_.pop_back();
    currentSessionInfo_->sessionId = sessionId;
    currentSessionInfo_->timestamp = plat::Date::now();
    sessionHistory_.push_back(currentSessionInfo_);
    save();
    const std::string stamp = currentSessionInfo_->timestamp->description();
    BEACLogVerbose(kBEACLogTag, "Stored new session with id:%@ and timestamp: %@.", sessionId, stamp);
}

std::optional<std::string> BEACSessionContext::sessionIdAt(const plat::Date& date) const {
    plat::MutexLock lock(mutex_);
    return beac::detail::idAt(sessionHistory_, date, &BEACSessionHistoryInfo::sessionId);
}

void BEACSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
    plat::MutexLock lock(mutex_);
    sessionHistory_.clear();
    if (keepCurrentSession)
        sessionHistory_.push_back(currentSessionInfo_);
    save();
    BEACLogVerbose(kBEACLogTag, "Cleared old sessions.");
}

std::vector<std::shared_ptr<BEACSessionHistoryInfo>> BEACSessionContext::sessionHistory() const {
    plat::MutexLock lock(mutex_);
    return sessionHistory_;
}

void BEACSessionContext::save() {
    beac::detail::writeHistory(kHistoryKey, sessionHistory_);
}
