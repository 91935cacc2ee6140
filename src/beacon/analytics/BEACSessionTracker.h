// Decides when a usage session begins, records each new session id in the
// session context, hands one "startSession" log per session to its delegate,
// and stamps the current session id on every log of the channel group.
//
// A session begins at start when the application is in front, and when the
// application becomes active again after at least `sessionTimeout` seconds
// inactive with no log made in the last `sessionTimeout` seconds. An
// application that stays active keeps its session however long it is idle.
//
// Threads: any thread (notifications arrive on the posting thread, logs are
// prepared on the enqueuing thread). One lock guards every field and is never
// held while the tracker calls out. A second lock orders a session's start
// before its logs: a renewal holds it while the delegate enqueues the
// "startSession" log, and every other log waits for it before it is stamped,
// so no log carries a new session id ahead of that session's start log. The
// delegate may call the tracker; it must not make this thread prepare any
// other log meanwhile (that would wait for itself; it stops the process).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACSessionContext.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"

class BEACSessionTracker;

class BEACSessionTrackerDelegate {
  public:
    virtual ~BEACSessionTrackerDelegate() = default;
    virtual void sessionTrackerProcessLog(BEACSessionTracker& tracker, const BEACLogPtr& log) = 0;
};

class BEACSessionTracker : public BEACChannelDelegate {
  public:
    // Forgets the session list that older SDK generations kept in settings.
    BEACSessionTracker();
    ~BEACSessionTracker() override;

    void start() EXCLUDES(mutex_, renewalMutex_);
    void stop() EXCLUDES(mutex_);
    bool isStarted() const EXCLUDES(mutex_);
    void renewSessionId() EXCLUDES(mutex_, renewalMutex_);
    bool hasSessionTimedOut() const EXCLUDES(mutex_);
    void applicationDidEnterBackground() EXCLUDES(mutex_);
    void applicationWillEnterForeground() EXCLUDES(mutex_, renewalMutex_);

    void setDelegate(std::weak_ptr<BEACSessionTrackerDelegate> delegate) EXCLUDES(mutex_);
    void setSessionTimeout(double seconds) EXCLUDES(mutex_);
    std::optional<plat::Date> lastCreatedLogTime() const EXCLUDES(mutex_);

    // BEACChannelDelegate
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override
        EXCLUDES(mutex_, renewalMutex_);

  private:
    bool hasSessionTimedOutLocked() const REQUIRES(mutex_);

    // Held by a renewal across the delegate's call, taken before mutex_.
    plat::Mutex renewalMutex_ ACQUIRED_BEFORE(mutex_);
    // The thread calling the delegate during a renewal (none otherwise).
    std::atomic<std::thread::id> announcingThread_{};
    mutable plat::Mutex mutex_;
    const std::shared_ptr<BEACSessionContext> context_;
    bool started_ GUARDED_BY(mutex_) = false;
    std::weak_ptr<BEACSessionTrackerDelegate> delegate_ GUARDED_BY(mutex_);
    double sessionTimeout_ GUARDED_BY(mutex_) = 20.0;
    std::optional<plat::Date> lastCreatedLogTime_ GUARDED_BY(mutex_);
    std::optional<plat::Date> lastEnteredForegroundTime_ GUARDED_BY(mutex_);
    std::optional<plat::Date> lastEnteredBackgroundTime_ GUARDED_BY(mutex_);
};
