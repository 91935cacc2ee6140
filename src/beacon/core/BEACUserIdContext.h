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

    std::optional<std::string> userId() const;
    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> userIdAt(const plat::Date& date) const;
    void clearUserIdHistory();
    void addDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate);
    void removeDelegate(const std::weak_ptr<BEACUserIdContextDelegate>& delegate);

    std::vector<std::shared_ptr<BEACUserIdHistoryInfo>> userIdHistory() const;

    static bool isUserIdValidForBeacon(const std::optional<std::string>& userId);
    static bool isUserIdValidForEventCollector(const std::optional<std::string>& userId);
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

  private:
    void save();

    mutable std::recursive_mutex mutex_;
    std::shared_ptr<BEACUserIdHistoryInfo> currentUserIdInfo_;
    std::vector<std::shared_ptr<BEACUserIdHistoryInfo>> userIdHistory_;
    std::vector<std::weak_ptr<BEACUserIdContextDelegate>> delegates_;
};
