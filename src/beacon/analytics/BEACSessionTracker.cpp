#include "beacon/analytics/BEACSessionTracker.h"

#include "beacon/analytics/BEACAnalyticsLogs.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACStartServiceLog.h"
#include "beacon/core/BEACUtility.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UUID.h"

BEACSessionTracker::BEACSessionTracker() : context_(BEACSessionContext::sharedInstance()) {
    BEACBeaconUserDefaults::shared()->removeObjectForKey("PastSessions");
}

BEACSessionTracker::~BEACSessionTracker() {
    plat::NotificationCenter::defaultCenter().removeObserver(this);
}

void BEACSessionTracker::setDelegate(std::weak_ptr<BEACSessionTrackerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void BEACSessionTracker::setSessionTimeout(double seconds) {
    std::lock_guard lock(mutex_);
    sessionTimeout_ = seconds;
}

bool BEACSessionTracker::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

std::optional<plat::Date> BEACSessionTracker::lastCreatedLogTime() const {
    std::lock_guard lock(mutex_);
    return lastCreatedLogTime_;
}

void BEACSessionTracker::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_)
            return;
        started_ = true;
    }
    // Active or inactive (not hidden, not unknown off the main thread).
    if (BEACUtility::applicationState() < 2)
        renewSessionId();
    auto& center = plat::NotificationCenter::defaultCenter();
    center.addObserver(this, plat::appkit::ApplicationDidResignActiveNotification, nullptr,
                       [this](const plat::Notification&) { applicationDidEnterBackground(); });
    center.addObserver(this, plat::appkit::ApplicationWillBecomeActiveNotification, nullptr,
                       [this](const plat::Notification&) { applicationWillEnterForeground(); });
}

void BEACSessionTracker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return;
    }
    // Outside the lock: a handler running on another thread takes it.
    plat::NotificationCenter::defaultCenter().removeObserver(this);
    std::lock_guard lock(mutex_);
    started_ = false;
    context_->setSessionId(std::nullopt);
}

void BEACSessionTracker::applicationDidEnterBackground() {
    std::lock_guard lock(mutex_);
    lastEnteredBackgroundTime_ = plat::Date::now();
}

void BEACSessionTracker::applicationWillEnterForeground() {
    {
        std::lock_guard lock(mutex_);
        lastEnteredForegroundTime_ = plat::Date::now();
    }
    renewSessionId();
}

void BEACSessionTracker::renewSessionId() {
    std::lock_guard lock(mutex_);
    if (!started_)
        return;
    if (context_->sessionId() && !hasSessionTimedOut())
        return;
    std::string sessionId = plat::UUID().UUIDString();
    context_->setSessionId(sessionId);
    BEACLogInfo(kBEACAnalyticsLogTag, "New session ID: %@", sessionId);
    auto log = std::make_shared<BEACStartSessionLog>();
    log->sid = sessionId;
    if (auto delegate = delegate_.lock())
        delegate->sessionTrackerProcessLog(*this, log);
}

bool BEACSessionTracker::hasSessionTimedOut() const {
    std::lock_guard lock(mutex_);
    const plat::Date now = plat::Date::now();
    const double timeout = sessionTimeout_;
    auto since = [&](const plat::Date& date) { return now.timeIntervalSinceDate(date); };
    bool noLogSinceLong = !lastCreatedLogTime_ || since(*lastCreatedLogTime_) >= timeout;
    auto executable = plat::Bundle::mainBundle().executablePath();
    if (executable && executable->find(".appex/") != std::string::npos)
        return noLogSinceLong;
    bool backgroundSinceLong = lastEnteredBackgroundTime_ && lastEnteredForegroundTime_ &&
                               *lastEnteredForegroundTime_ < *lastEnteredBackgroundTime_ &&
                               since(*lastEnteredBackgroundTime_) >= timeout;
    bool wasBackgroundLong = false;
    if (lastEnteredBackgroundTime_) {
        double foreground =
            lastEnteredForegroundTime_ ? lastEnteredForegroundTime_->timeIntervalSinceReferenceDate() : 0;
        wasBackgroundLong =
            foreground - lastEnteredBackgroundTime_->timeIntervalSinceReferenceDate() >= timeout;
    }
    return noLogSinceLong && (backgroundSinceLong || wasBackgroundLong);
}

void BEACSessionTracker::channelPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    if (!log || dynamic_cast<BEACStartSessionLog*>(log.get()) ||
        dynamic_cast<BEACStartServiceLog*>(log.get()))
        return;
    std::lock_guard lock(mutex_);
    if (!dynamic_cast<BEACNoAutoAssignSessionIdLog*>(log.get()))
        log->sid = context_->sessionId();
    lastCreatedLogTime_ = plat::Date::now();
}
