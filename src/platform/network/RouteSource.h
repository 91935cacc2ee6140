// RouteSource: where reachability reads the route table from and learns that
// it changed. NetlinkRouteSource asks the kernel over an AF_NETLINK socket;
// tests give a fake.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/foundation/Mutex.h"
#include "platform/network/RouteTable.h"

namespace plat::network {

class RouteSource {
  public:
    virtual ~RouteSource() = default;
    // The current table; absent when it cannot be read.
    virtual std::optional<RouteTable> read() = 0;
    // Calls `changed` (on a thread of the source's) after every change, until
    // stopWatching() returns. Returns false when changes cannot be watched.
    [[nodiscard]] virtual bool watch(std::function<void()> changed) = 0;
    virtual void stopWatching() = 0;
};

class NetlinkRouteSource : public RouteSource {
  public:
    ~NetlinkRouteSource() override;
    std::optional<RouteTable> read() override;
    [[nodiscard]] bool watch(std::function<void()> changed) override EXCLUDES(mutex_);
    // Joins the watching thread; never call it from `changed`.
    void stopWatching() override EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    std::thread thread_ GUARDED_BY(mutex_);
    int wakeFd_ GUARDED_BY(mutex_) = -1;
};

}  // namespace plat::network
