#include "platform/network/RouteTable.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace plat::network {
namespace {

bool linkUsable(const RouteTable& table, int index, bool allowLoopback) {
    for (const auto& link : table.links) {
        if (link.index != index)
            continue;
        if ((link.flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING))
            return false;
        return allowLoopback || !(link.flags & IFF_LOOPBACK);
    }
    return false;
}

bool prefixMatches(const Route& route, const uint8_t* address) {
    int bits = route.prefixLength;
    for (int i = 0; bits > 0; ++i, bits -= 8) {
        uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
        if ((route.destination[i] & mask) != (address[i] & mask))
            return false;
    }
    return true;
}

bool isAllZero(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i])
            return false;
    }
    return true;
}

uint32_t defaultRouteFlags(const RouteTable& table) {
    for (const auto& route : table.routes) {
        if (route.prefixLength == 0 && route.type == RTN_UNICAST &&
            linkUsable(table, route.outputInterface, false)) {
            return ReachabilityFlagReachable;
        }
    }
    return 0u;
}

}  // namespace

uint32_t reachabilityFlags(const RouteTable& table, const ReachabilityTarget& target) {
    if (!target.address)
        return defaultRouteFlags(table);
    const auto& storage = *target.address;
    int family = storage.ss_family;
    uint8_t address[16] = {};
    size_t length = 0;
    if (family == AF_INET) {
        std::memcpy(address, &reinterpret_cast<const sockaddr_in&>(storage).sin_addr, 4);
        length = 4;
    } else if (family == AF_INET6) {
        std::memcpy(address, &reinterpret_cast<const sockaddr_in6&>(storage).sin6_addr, 16);
        length = 16;
    } else {
        return 0;
    }
    if (isAllZero(address, length))
        return defaultRouteFlags(table);
    const Route* best = nullptr;
    for (const auto& route : table.routes) {
        if (route.family != family || !prefixMatches(route, address))
            continue;
        if (!best || route.prefixLength > best->prefixLength)
            best = &route;
    }
    if (!best)
        return 0;
    if (best->type == RTN_LOCAL) {
        const uint32_t local =
            ReachabilityFlagReachable | ReachabilityFlagIsLocalAddress | ReachabilityFlagIsDirect;
        return linkUsable(table, best->outputInterface, true) ? local : 0u;
    }
    if (best->type != RTN_UNICAST)
        return 0;
    return linkUsable(table, best->outputInterface, true) ? uint32_t{ReachabilityFlagReachable} : 0u;
}

}  // namespace plat::network
