// Reachability: whether a host or an address can be reached over the
// current routes, and a callback when that changes.
//
// flags() never blocks on the network (a host name is judged by the default
// route, without a name lookup). When the route table cannot be read (a
// restricted container) it reports Reachable, so that callers try rather than
// wait forever. The callback runs on the dispatch queue given to
// setDispatchQueue, only when the flags differ from the last ones reported,
// and never after the Reachability is destroyed or unscheduled. All members
// may be called from any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/network/RouteSource.h"

namespace plat::network {

class Reachability {
  public:
    // Null for an empty name. `source` defaults to the kernel's (netlink).
    static std::shared_ptr<Reachability> createWithName(const std::string& host,
                                                        std::shared_ptr<RouteSource> source = nullptr);
    // Null for a null address or a family other than IPv4 and IPv6.
    static std::shared_ptr<Reachability> createWithAddress(const sockaddr* address,
                                                           std::shared_ptr<RouteSource> source = nullptr);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    std::optional<uint32_t> flags() const;

    // Null clears the callback. Always true.
    [[nodiscard]] bool setCallback(std::function<void(uint32_t flags)> callback);
    // Starts watching with callbacks on `queue`, or stops for an empty
    // Queue(). False when changes cannot be watched.
    [[nodiscard]] bool setDispatchQueue(dispatch::Queue queue);

  private:
    struct Control;
    Reachability(ReachabilityTarget target, std::shared_ptr<RouteSource> source);
    static uint32_t evaluate(RouteSource& source, const ReachabilityTarget& target);

    std::shared_ptr<Control> control_;
};

}  // namespace plat::network
