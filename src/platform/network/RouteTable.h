// RouteTable: the kernel's links and routes as plain values, what
// reachability is judged from, and the pure rule that judges it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace plat::network {

struct Link {
    int index = 0;
    unsigned flags = 0;  // IFF_* of the interface
};

struct Route {
    int family = AF_INET;                   // AF_INET or AF_INET6
    int prefixLength = 0;                   // 0 for a default route
    std::array<uint8_t, 16> destination{};  // network order, first 4 bytes for IPv4
    int outputInterface = 0;
    int type = 1;  // RTN_UNICAST; RTN_LOCAL, RTN_UNREACHABLE, ... as the kernel gives them
};

struct RouteTable {
    std::vector<Link> links;
    std::vector<Route> routes;
};

// The target of a reachability question: an address, or a host name (which
// is judged by the default route, without a name lookup).
struct ReachabilityTarget {
    std::optional<sockaddr_storage> address;  // absent: a host name
};

// Reachability flag bits, as the platform numbers them. Linux only ever
// gives Reachable, IsLocalAddress and IsDirect.
enum ReachabilityFlags : uint32_t {
    ReachabilityFlagTransientConnection = 1u << 0,
    ReachabilityFlagReachable = 1u << 1,
    ReachabilityFlagConnectionRequired = 1u << 2,
    ReachabilityFlagConnectionOnTraffic = 1u << 3,
    ReachabilityFlagInterventionRequired = 1u << 4,
    ReachabilityFlagConnectionOnDemand = 1u << 5,
    ReachabilityFlagIsLocalAddress = 1u << 16,
    ReachabilityFlagIsDirect = 1u << 17,
};

// A name or the all-zero address is reachable when a default route leaves
// through an interface that is up and running and not the loopback. Any
// other address is reachable when its longest matching route is a unicast
// or local route through an interface that is up and running; a local route
// adds IsLocalAddress, a route without gateway IsDirect (not tracked here).
uint32_t reachabilityFlags(const RouteTable& table, const ReachabilityTarget& target);

}  // namespace plat::network
