#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/network/RouteSource.h"

// The kernel's NLMSG_OK compares a signed length with an unsigned field.
#pragma GCC diagnostic ignored "-Wsign-compare"

namespace plat::network {
namespace {

int openSocket(unsigned groups) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        (void)::close(fd);  // already failing: the first error is the one reported
        return -1;
    }
    return fd;
}

void parseLink(const nlmsghdr* h, RouteTable& table) {
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
    table.links.push_back({info->ifi_index, info->ifi_flags});
}

void parseRoute(const nlmsghdr* h, RouteTable& table) {
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
    if (rt->rtm_family != AF_INET && rt->rtm_family != AF_INET6)
        return;
    Route route;
    route.family = rt->rtm_family;
    route.prefixLength = rt->rtm_dst_len;
    route.type = rt->rtm_type;
    int length = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr* a = RTM_RTA(rt); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (a->rta_type == RTA_DST) {
            std::memcpy(route.destination.data(), RTA_DATA(a), std::min<size_t>(RTA_PAYLOAD(a), 16));
        } else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
            std::memcpy(&route.outputInterface, RTA_DATA(a), sizeof(int));
        }
    }
    table.routes.push_back(route);
}

// Sends one dump request and reads its answer into `table`.
bool dump(int fd, uint16_t type, RouteTable& table) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtgen_family = AF_UNSPEC;
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0)
        return false;
    std::vector<char> buffer(32768);
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return false;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_type == RTM_NEWLINK)
                parseLink(h, table);
            if (h->nlmsg_type == RTM_NEWROUTE)
                parseRoute(h, table);
        }
    }
}

}  // namespace

NetlinkRouteSource::~NetlinkRouteSource() {
    stopWatching();
}

std::optional<RouteTable> NetlinkRouteSource::read() {
    int fd = openSocket(0);
    if (fd < 0)
        return std::nullopt;
    RouteTable table;
    bool ok = dump(fd, RTM_GETLINK, table) && dump(fd, RTM_GETROUTE, table);
    (void)::close(fd);  // read only: closing loses nothing
    if (!ok)
        return std::nullopt;
    return table;
}

bool NetlinkRouteSource::watch(std::function<void()> changed) {
    stopWatching();
    int fd = openSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE);
    if (fd < 0)
        return false;
    MutexLock lock(mutex_);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    int wake = wakeFd_;
    thread_ = std::thread([fd, wake, changed = std::move(changed)] {
        std::vector<char> buffer(32768);
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents)
                break;
            if (fds[0].revents & POLLIN) {
                if (::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0)
                    changed();
            } else if (fds[0].revents) {
                break;
            }
        }
        (void)::close(fd);  // read only: closing loses nothing
    });
    return true;
}

void NetlinkRouteSource::stopWatching() {
    std::thread thread;
    int wake;
    {
        MutexLock lock(mutex_);
        thread = std::move(thread_);
        wake = wakeFd_;
        wakeFd_ = -1;
    }
    if (wake >= 0) {
        uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    }
    if (thread.joinable())
        thread.join();
    if (wake >= 0)
        (void)::close(wake);  // an eventfd: nothing to lose
}

}  // namespace plat::network
