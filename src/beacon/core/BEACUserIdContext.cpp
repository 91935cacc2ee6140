#include "beacon/core/BEACUserIdContext.h"

#include "beacon/core/BEACLogger.h"
#include "beacon/core/detail/BEACHistoryStore.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Text.h"

namespace {
constexpr const char* kHistoryKey = "UserIdHistory";
constexpr std::size_t kMaxUserIdLength = 256;
constexpr const char* kCustomUserIdPrefix = "c";
plat::Mutex sharedMutex;
std::shared_ptr<BEACUserIdContext> shared GUARDED_BY(sharedMutex);
}  // namespace

std::shared_ptr<BEACUserIdContext> BEACUserIdContext::sharedInstance() {
    plat::MutexLock lock(sharedMutex);
    if (!shared)
        shared = std::make_shared<BEACUserIdContext>();
    return shared;
}

void BEACUserIdContext::resetSharedInstance() {
    plat::MutexLock lock(sharedMutex);
    shared.reset();
}

BEACUserIdContext::BEACUserIdContext() {
    userIdHistory_ = beac::detail::readHistory<BEACUserIdHistoryInfo>(kHistoryKey);
    const std::size_t count = userIdHistory_.size();  // the log macro's lambda sees no lock
    BEACLogDebug(kBEACLogTag, "%tu userId(s) in the history.", count);
    currentUserIdInfo_ = std::make_shared<BEACUserIdHistoryInfo>(plat::Date::now(), std::nullopt);
    userIdHistory_.push_back(currentUserIdInfo_);
    save();
}

std::optional<std::string> BEACUserIdContext::userId() const {
    plat::MutexLock lock(mutex_);
    return currentUserIdInfo_->userId;
}

void BEACUserIdContext::setUserId(const std::optional<std::string>& userId) {
    std::vector<std::weak_ptr<BEACUserIdContextDelegate>> delegates;
    {
        plat::MutexLock lock(mutex_);
        if (userId == currentUserIdInfo_->userId)
            return;
        currentUserIdInfo_->timestamp = plat::Date::now();
        currentUserIdInfo_->userId = userId;
        if (!userIdHistory_.empty())
            userIdHistory_.pop_back();
        userIdHistory_.push_back(currentUserIdInfo_);
        save();
        const std::string stamp = currentUserIdInfo_->timestamp->description();
        BEACLogVerbose(kBEACLogTag, "Stored new userId:%@ and timestamp: %@.", userId, stamp);
        delegates = delegates_;
    }
    for (const auto& weak : delegates) {
        if (auto delegate = weak.lock())
            delegate->userIdContextDidUpdateUserId(*this, userId);
    }
}

std::optional<std::string> BEACUserIdContext::userIdAt(const plat::Date& date) const {
    plat::MutexLock lock(mutex_);
    return beac::detail::idAt(userIdHistory_, date, &BEACUserIdHistoryInfo::userId);
}

void BEACUserIdContext::clearUserIdHistory() {
    plat::MutexLock lock(mutex_);
    userIdHistory_.clear();
    userIdHistory_.push_back(currentUserIdInfo_);
    save();
    BEACLogVerbose(kBEACLogTag, "Cleared old userIds while keeping current userId.");
}

void BEACUserIdContext::addDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate) {
    plat::MutexLock lock(mutex_);
    std::erase_if(delegates_, [](const auto& d) { return d.expired(); });
    delegates_.push_back(delegate);
}

void BEACUserIdContext::removeDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate) {
    plat::MutexLock lock(mutex_);
    auto target = delegate.lock();
    std::erase_if(delegates_, [&](const auto& d) { return d.expired() || d.lock() == target; });
}

std::vector<std::shared_ptr<BEACUserIdHistoryInfo>> BEACUserIdContext::userIdHistory() const {
    plat::MutexLock lock(mutex_);
    return userIdHistory_;
}

void BEACUserIdContext::save() {
    beac::detail::writeHistory(kHistoryKey, userIdHistory_);
}

bool BEACUserIdContext::isUserIdValidForBeacon(const std::optional<std::string>& userId) {
    if (userId && plat::text::utf16Length(*userId) > kMaxUserIdLength) {
        BEACLogError(kBEACLogTag, "userId is limited to %d characters.", static_cast<int>(kMaxUserIdLength));
        return false;
    }
    return true;
}

bool BEACUserIdContext::isUserIdValidForEventCollector(const std::optional<std::string>& userId) {
    if (!userId)
        return true;
    if (userId->empty()) {
        BEACLogError(kBEACLogTag, "userId must not be empty.");
        return false;
    }
    std::size_t colon = userId->find(':');
    if (colon == std::string::npos)
        return true;
    std::string prefix = userId->substr(0, colon);
    if (prefix == kCustomUserIdPrefix) {
        if (colon + 1 == userId->size()) {
            BEACLogError(kBEACLogTag, "userId must not be empty.");
            return false;
        }
        return true;
    }
    BEACLogError(kBEACLogTag, "userId prefix must be '%@', '%@' is not supported.", kCustomUserIdPrefix,
                 prefix);
    return false;
}

std::optional<std::string> BEACUserIdContext::prefixedUserIdFromUserId(
    const std::optional<std::string>& userId) {
    if (!userId)
        return std::nullopt;
    if (userId->find(':') != std::string::npos)
        return userId;
    return plat::format("%@%@%@", kCustomUserIdPrefix, ":", *userId);
}
