// Which user id was current, and since when, across launches (history kept
// under the "UserIdHistory" setting), plus the validation and prefixing rules
// for user ids.
//
// Threads: every member may be called from any thread (one lock); delegates
// are told of changes after the lock is released, on the caller's thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACHistoryInfo.h"
#include "platform/foundation/Mutex.h"

class BEACUserIdContext;

class BEACUserIdContextDelegate {
  public:
    virtual ~BEACUserIdContextDelegate() = default;
    virtual void userIdContextDidUpdateUserId(BEACUserIdContext& /*context*/,
                                              const std::optional<std::string>& /*userId*/) {}
};

class BEACUserIdContext {
  public:
    static std::shared_ptr<BEACUserIdContext> sharedInstance();
    static void resetSharedInstance();

    BEACUserIdContext();

    std::optional<std::string> userId() const EXCLUDES(mutex_);
    void setUserId(const std::optional<std::string>& userId) EXCLUDES(mutex_);
    std::optional<std::string> userIdAt(const plat::Date& date) const EXCLUDES(mutex_);
    void clearUserIdHistory() EXCLUDES(mutex_);
    void addDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate) EXCLUDES(mutex_);
    void removeDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate) EXCLUDES(mutex_);

    std::vector<std::shared_ptr<BEACUserIdHistoryInfo>> userIdHistory() const EXCLUDES(mutex_);

    static bool isUserIdValidForBeacon(const std::optional<std::string>& userId);
    static bool isUserIdValidForEventCollector(const std::optional<std::string>& userId);
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

  private:
    void save() REQUIRES(mutex_);

    mutable plat::Mutex mutex_;
    std::shared_ptr<BEACUserIdHistoryInfo> currentUserIdInfo_ GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<BEACUserIdHistoryInfo>> userIdHistory_ GUARDED_BY(mutex_);
    std::vector<std::weak_ptr<BEACUserIdContextDelegate>> delegates_ GUARDED_BY(mutex_);
};
