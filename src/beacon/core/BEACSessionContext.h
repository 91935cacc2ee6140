// Which session id was current, and since when, across launches. The history
// (one record per launch: the latest session id of that launch and when it was
// set) is kept archived under the "SessionIdHistory" setting.
//
// Threads: every member may be called from any thread (one lock per context).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACHistoryInfo.h"
#include "platform/foundation/Mutex.h"

class BEACSessionContext {
  public:
    static std::shared_ptr<BEACSessionContext> sharedInstance();
    static void resetSharedInstance();

    BEACSessionContext();

    std::optional<std::string> sessionId() const EXCLUDES(mutex_);
    void setSessionId(const std::optional<std::string>& sessionId) EXCLUDES(mutex_);
    // The id of the newest record strictly earlier than `date`; nullopt when none.
    std::optional<std::string> sessionIdAt(const plat::Date& date) const EXCLUDES(mutex_);
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) EXCLUDES(mutex_);

    std::vector<std::shared_ptr<BEACSessionHistoryInfo>> sessionHistory() const EXCLUDES(mutex_);

  private:
    void save() REQUIRES(mutex_);

    mutable plat::Mutex mutex_;
    std::shared_ptr<BEACSessionHistoryInfo> currentSessionInfo_ GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<BEACSessionHistoryInfo>> sessionHistory_ GUARDED_BY(mutex_);
};
