// Reachability statuses, listening over a route source set by hand, and
// destruction while a change is queued.
#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <mutex>

#include "HttpClientTestSupport.h"
#include "httpclient/NetworkReachabilityManager.h"

using namespace httpclient;
using plat::network::RouteTable;
using Status = NetworkReachabilityManager::NetworkReachabilityStatus;
using CT = NetworkReachabilityManager::ConnectionType;

namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

plat::network::Route route(const char* destination, int prefix, int oif, int type = RTN_UNICAST) {
    plat::network::Route r;
    r.family = AF_INET;
    r.prefixLength = prefix;
    r.outputInterface = oif;
    r.type = type;
    inet_pton(AF_INET, destination, r.destination.data());
    return r;
}

// Routes the test sets and announces by hand: the real kernel's routes cannot
// be changed from a test.
class HandRouteSource : public plat::network::RouteSource {
  public:
    std::optional<RouteTable> read() override {
        std::lock_guard lock(mutex);
        return table;
    }
    bool watch(std::function<void()> changed) override {
        std::lock_guard lock(mutex);
        watcher = std::move(changed);
        return true;
    }
    void stopWatching() override {
        std::lock_guard lock(mutex);
        watcher = nullptr;
    }
    void set(RouteTable t) {
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
};

RouteTable online() {
    return {{{1, kUp | IFF_LOOPBACK}, {2, kUp}},
            {route("0.0.0.0", 0, 2), route("127.0.0.0", 8, 1, RTN_LOCAL)}};
}

RouteTable offline() {
    return {{{1, kUp | IFF_LOOPBACK}, {2, IFF_UP}}, {route("0.0.0.0", 0, 2)}};
}

}  // namespace

TEST(NetworkReachabilityManagerTest, StatusForFlagsTable) {
    struct Case {
        uint32_t flags;
        Status expected;
    } cases[] = {
        {0x2, Status::reachable(CT::ethernetOrWiFi)},
        {0x6, Status::notReachable()},
        {0x2E, Status::reachable(CT::ethernetOrWiFi)},
        {0x3E, Status::notReachable()},
        {0x0, Status::notReachable()},
        {0x28, Status::notReachable()},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(NetworkReachabilityManager::status(c.flags) == c.expected) << std::hex << c.flags;
    EXPECT_FALSE(Status::unknown() == Status::notReachable());
}

TEST(NetworkReachabilityManagerTest, ListensForChangesOnItsQueue) {
    auto source = std::make_shared<HandRouteSource>();
    source->set(online());
    auto manager = NetworkReachabilityManager::create(source);
    ASSERT_TRUE(manager);
    EXPECT_TRUE(manager->isReachable());
    EXPECT_FALSE(manager->isReachableOnWWAN());
    httpclienttest::Waiter<Status> heard;
    auto queue = httpclienttest::testQueue();
    manager->setListenerQueue(queue);
    manager->setListener([&](Status s) {
        EXPECT_TRUE(queue.isCurrent());
        heard.set(s);
    });
    EXPECT_TRUE(manager->startListening());
    EXPECT_TRUE(*heard.wait(1) == Status::reachable(CT::ethernetOrWiFi));
    source->set(offline());
    auto all = heard.all(2);
    EXPECT_TRUE(all[1] == Status::notReachable());
    source->set(offline());  // the same flags again: no call
    // Listening again reports the current status once more.
    manager->startListening();
    all = heard.all(3);
    EXPECT_TRUE(all[2] == Status::notReachable());
    queue.sync(plat::dispatch::Block([] {}));
    EXPECT_EQ(heard.all(3).size(), 3u);
    EXPECT_FALSE(manager->isReachable());
}

TEST(NetworkReachabilityManagerTest, NoCallbackAfterTheManagerIsGone) {
    auto source = std::make_shared<HandRouteSource>();
    source->set(online());
    auto queue = httpclienttest::testQueue();
    std::atomic<int> calls{0};
    for (int i = 0; i < 20; ++i) {
        auto manager = NetworkReachabilityManager::create(source);
        manager->setListenerQueue(queue);
        manager->setListener([&](Status) { calls++; });
        manager->startListening();
        queue.sync(plat::dispatch::Block([] {}));
        // Hold the queue while a change is announced and the manager is
        // destroyed, then let the queued work run.
        std::mutex gate;
        gate.lock();
        queue.async([&] { std::lock_guard wait(gate); });
        source->set(i % 2 ? online() : offline());
        manager.reset();
        gate.unlock();
        queue.sync(plat::dispatch::Block([] {}));
    }
    EXPECT_GE(calls.load(), 20);
}

TEST(NetworkReachabilityManagerTest, HostManagers) {
    auto source = std::make_shared<HandRouteSource>();
    source->set(online());
    EXPECT_TRUE(NetworkReachabilityManager::create("example.test", source));
    EXPECT_FALSE(NetworkReachabilityManager::create("", source));
}
