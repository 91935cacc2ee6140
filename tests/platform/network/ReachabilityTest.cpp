#include "platform/network/Reachability.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <mutex>

using namespace plat::network;
using plat::dispatch::Queue;

namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

Route route(int family, const char* destination, int prefix, int oif, int type = RTN_UNICAST) {
    Route r;
    r.family = family;
    r.prefixLength = prefix;
    r.outputInterface = oif;
    r.type = type;
    inet_pton(family, destination, r.destination.data());
    return r;
}

ReachabilityTarget address(const char* text) {
    sockaddr_storage storage{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr) == 1) {
        storage.ss_family = AF_INET;
    } else {
        inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr);
        storage.ss_family = AF_INET6;
    }
    return {storage};
}

// A route source the test sets and fires by hand.
class FakeRouteSource : public RouteSource {
  public:
    std::optional<RouteTable> read() override {
        std::lock_guard lock(mutex);
        return table;
    }
    bool watch(std::function<void()> changed) override {
        std::lock_guard lock(mutex);
        watcher = std::move(changed);
        return watchable;
    }
    void stopWatching() override {
        std::lock_guard lock(mutex);
        watcher = nullptr;
    }
    void set(std::optional<RouteTable> t) {
        std::function<void()> w;
        {
            std::lock_guard lock(mutex);
            table = std::move(t);
            w = watcher;
        }
        if (w)
            w();
    }
    std::mutex mutex;
    std::optional<RouteTable> table;
    std::function<void()> watcher;
    bool watchable = true;
};

RouteTable online() {
    return {{{1, kUp | IFF_LOOPBACK}, {2, kUp}},
            {route(AF_INET, "0.0.0.0", 0, 2), route(AF_INET, "127.0.0.0", 8, 1, RTN_LOCAL)}};
}

RouteTable offline() {
    return {{{1, kUp | IFF_LOOPBACK}, {2, IFF_UP}}, {route(AF_INET, "0.0.0.0", 0, 2)}};
}

}  // namespace

TEST(ReachabilityFlags, FollowTheRouteTable) {
    struct Case {
        const char* name;
        RouteTable table;
        std::optional<const char*> target;  // absent: a host name
        uint32_t flags;
    };
    const uint32_t local =
        ReachabilityFlagReachable | ReachabilityFlagIsLocalAddress | ReachabilityFlagIsDirect;
    std::vector<Case> cases{
        {"default route up", online(), std::nullopt, ReachabilityFlagReachable},
        {"any address means the default route", online(), "0.0.0.0", ReachabilityFlagReachable},
        {"link not running", offline(), std::nullopt, 0},
        {"no routes", {{{2, kUp}}, {}}, std::nullopt, 0},
        {"default only through loopback",
         {{{1, kUp | IFF_LOOPBACK}}, {route(AF_INET, "0.0.0.0", 0, 1)}},
         std::nullopt,
         0},
        {"unreachable default",
         {{{2, kUp}}, {route(AF_INET, "0.0.0.0", 0, 2, RTN_UNREACHABLE)}},
         std::nullopt,
         0},
        {"loopback address", online(), "127.0.0.1", local},
        {"address through the default route", online(), "192.0.2.7", ReachabilityFlagReachable},
        {"longest prefix wins",
         {{{2, kUp}, {3, IFF_UP}}, {route(AF_INET, "0.0.0.0", 0, 2), route(AF_INET, "10.0.0.0", 8, 3)}},
         "10.1.2.3",
         0},
        {"ipv6 default",
         {{{2, kUp}}, {route(AF_INET6, "::", 0, 2)}},
         "2001:db8::1",
         ReachabilityFlagReachable},
        {"ipv6 without route", online(), "2001:db8::1", 0},
    };
    for (const auto& c : cases) {
        ReachabilityTarget target = c.target ? address(*c.target) : ReachabilityTarget{};
        EXPECT_EQ(reachabilityFlags(c.table, target), c.flags) << c.name;
    }
}

TEST(Reachability, UnreadableRoutesReportReachable) {
    auto source = std::make_shared<FakeRouteSource>();
    auto r = Reachability::createWithName("example.com", source);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->flags(), ReachabilityFlagReachable);
    source->set(offline());
    EXPECT_EQ(r->flags(), 0u);
    EXPECT_FALSE(Reachability::createWithName("", source));
    EXPECT_FALSE(Reachability::createWithAddress(nullptr, source));
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    EXPECT_TRUE(Reachability::createWithAddress(reinterpret_cast<sockaddr*>(&zero), source));
}

TEST(Reachability, CallbacksArriveOnTheQueueOnlyForChangesAndStopWhenUnscheduledOrGone) {
    auto source = std::make_shared<FakeRouteSource>();
    source->set(online());
    sockaddr_in any{};
    any.sin_family = AF_INET;
    auto r = Reachability::createWithAddress(reinterpret_cast<sockaddr*>(&any), source);
    Queue queue = Queue::serial("reachability test");
    std::mutex m;
    std::vector<uint32_t> seen;
    bool onQueue = true;
    ASSERT_TRUE(r->setCallback([&](uint32_t flags) {
        std::lock_guard lock(m);
        seen.push_back(flags);
        onQueue = onQueue && queue.isCurrent();
    }));
    ASSERT_TRUE(r->setDispatchQueue(queue));
    auto drained = [&] {
        queue.sync([] {});
        std::lock_guard lock(m);
        return seen;
    };
    source->set(online());  // no change: nothing
    EXPECT_TRUE(drained().empty());
    source->set(offline());
    source->set(offline());
    source->set(online());
    EXPECT_EQ(drained(), (std::vector<uint32_t>{0, ReachabilityFlagReachable}));
    EXPECT_TRUE(onQueue);

    EXPECT_TRUE(r->setDispatchQueue(Queue()));
    source->set(offline());
    EXPECT_EQ(drained().size(), 2u);

    ASSERT_TRUE(r->setDispatchQueue(queue));
    auto watcher = source->watcher;
    r.reset();
    source->set(online());
    if (watcher)
        watcher();  // a change racing with destruction reaches nobody
    EXPECT_EQ(drained().size(), 2u);

    source->watchable = false;
    auto unwatched = Reachability::createWithName("h", source);
    EXPECT_FALSE(unwatched->setDispatchQueue(queue));
}

TEST(NetlinkRouteSource, ReadsTheKernelsLinksAndRoutes) {
    NetlinkRouteSource source;
    auto table = source.read();
    if (!table)
        GTEST_SKIP() << "netlink is not available here";
    bool loopback = false;
    for (const auto& link : table->links)
        loopback |= (link.flags & IFF_LOOPBACK) != 0;
    EXPECT_TRUE(loopback);
    EXPECT_FALSE(table->routes.empty());
    EXPECT_TRUE(source.watch([] {}));
    source.stopWatching();
}
