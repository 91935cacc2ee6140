#include "beacon/analytics/BEACSessionTracker.h"

#include <cstdio>
#include <cstdlib>

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
    plat::MutexLock lock(mutex_);
    delegate_ = std::move(delegate);
}

void BEACSessionTracker::setSessionTimeout(double seconds) {
    plat::MutexLock lock(mutex_);
    sessionTimeout_ = seconds;
}

bool BEACSessionTracker::isStarted() const {
    plat::MutexLock lock(mutex_);
    return started_;
}

std::optional<plat::Date> BEACSessionTracker::lastCreatedLogTime() const {
    plat::MutexLock lock(mutex_);
    return lastCreatedLogTime_;
}

void BEACSessionTracker::start() {
    {
        plat::MutexLock lock(mutex_);
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
        plat::MutexLock lock(mutex_);
        if (!started_)
            return;
    }
    // Outside the lock: a handler running on another thread takes it.
    plat::NotificationCenter::defaultCenter().removeObserver(this);
    plat::MutexLock lock(mutex_);
    started_ = false;
    context_->setSessionId(std::nullopt);
}

void BEACSessionTracker::applicationDidEnterBackground() {
    plat::MutexLock lock(mutex_);
    lastEnteredBackgroundTime_ = plat::Date::now();
}

void BEACSessionTracker::applicationWillEnterForeground() {
    {
        plat::MutexLock lock(mutex_);
        lastEnteredForegroundTime_ = plat::Date::now();
    }
    renewSessionId();
}

void BEACSessionTracker::renewSessionId() {
    plat::MutexLock renewal(renewalMutex_);
    std::string sessionId;
    std::shared_ptr<BEACSessionTrackerDelegate> delegate;
    {
        plat::MutexLock lock(mutex_);
        if (!started_)
            return;
        if (context_->sessionId() && !hasSessionTimedOutLocked())
            return;
        sessionId = plat::UUID().UUIDString();
        context_->setSessionId(sessionId);
        delegate = delegate_.lock();
    }
    BEACLogInfo(kBEACAnalyticsLogTag, "New session ID: %@", sessionId);
    auto log = std::make_shared<BEACStartSessionLog>();
    log->sid = sessionId;
    // Only the renewal lock stays held: logs of the new session wait in
    // channelPrepareLog until the delegate has enqueued their start log.
    announcingThread_ = std::this_thread::get_id();
    if (delegate)
        delegate->sessionTrackerProcessLog(*this, log);
    announcingThread_ = std::thread::id();
}

bool BEACSessionTracker::hasSessionTimedOut() const {
    plat::MutexLock lock(mutex_);
    return hasSessionTimedOutLocked();
}

bool BEACSessionTracker::hasSessionTimedOutLocked() const {
    const plat::Date now = plat::Date::now();
    const double timeout = sessionTimeout_;
    auto since = [&](const plat::Date& date) { return now.timeIntervalSinceDate(date); };
    const bool noLogSinceLong = !lastCreatedLogTime_ || since(*lastCreatedLogTime_) >= timeout;
    auto executable = plat::Bundle::mainBundle().executablePath();
    if (executable && executable->find(".appex/") != std::string::npos)
        return noLogSinceLong;
    const bool backgroundSinceLong = lastEnteredBackgroundTime_ && lastEnteredForegroundTime_ &&
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
    if (announcingThread_.load() == std::this_thread::get_id()) {
        std::fprintf(stderr,
                     "BEACSessionTracker: a log other than the session's start log was prepared by the "
                     "session tracker's delegate while it announced a new session; it would wait for "
                     "itself.\n");
        std::abort();
    }
    plat::MutexLock renewal(renewalMutex_);
    plat::MutexLock lock(mutex_);
    if (!dynamic_cast<BEACNoAutoAssignSessionIdLog*>(log.get()))
        log->sid = context_->sessionId();
    lastCreatedLogTime_ = plat::Date::now();
}
