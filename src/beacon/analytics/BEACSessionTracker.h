// Decides when a usage session begins, records each new session id in the
// session context, hands one "startSession" log per session to its delegate,
// and stamps the current session id on every log of the channel group.
//
// A session begins at start when the application is in front, and when the
// application becomes active again after at least `sessionTimeout` seconds
// inactive with no log made in the last `sessionTimeout` seconds. An
// application that stays active keeps its session however long it is idle.
//
// Threads: one recursive lock guards every field (notifications arrive on the
// posting thread, logs are prepared on the enqueuing thread); the delegate is
// called with it held.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACSessionContext.h"
#include "platform/foundation/Date.h"

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

    void start();
    void stop();
    bool isStarted() const;
    void renewSessionId();
    bool hasSessionTimedOut() const;
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();

    void setDelegate(std::weak_ptr<BEACSessionTrackerDelegate> delegate);
    void setSessionTimeout(double seconds);
    std::optional<plat::Date> lastCreatedLogTime() const;

    // BEACChannelDelegate
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;

  private:
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<BEACSessionContext> context_;
    bool started_ = false;
    std::weak_ptr<BEACSessionTrackerDelegate> delegate_;
    double sessionTimeout_ = 20.0;
    std::optional<plat::Date> lastCreatedLogTime_;
    std::optional<plat::Date> lastEnteredForegroundTime_;
    std::optional<plat::Date> lastEnteredBackgroundTime_;
};
