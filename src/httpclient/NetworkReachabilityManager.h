// NetworkReachabilityManager: whether a host, or the network in general, can
// be reached, and a listener called on a chosen queue when that changes.
//
// The platform's change callback reaches the manager through a weak
// reference, so a change already queued when the manager goes away is
// dropped instead of touching a destroyed object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"
#include "platform/network/Reachability.h"

namespace httpclient {

class NetworkReachabilityManager : public std::enable_shared_from_this<NetworkReachabilityManager> {
  public:
    enum class ConnectionType { ethernetOrWiFi, wwan };
    struct NetworkReachabilityStatus {
        enum class Kind { unknown, notReachable, reachable };
        Kind kind = Kind::unknown;
        ConnectionType connectionType = ConnectionType::ethernetOrWiFi;
        static NetworkReachabilityStatus unknown() { return {}; }
        static NetworkReachabilityStatus notReachable() {
            return {Kind::notReachable, ConnectionType::ethernetOrWiFi};
        }
        static NetworkReachabilityStatus reachable(ConnectionType type) { return {Kind::reachable, type}; }
        bool operator==(const NetworkReachabilityStatus& o) const {
            return kind == o.kind && (kind != Kind::reachable || connectionType == o.connectionType);
        }
    };
    using Listener = std::function<void(NetworkReachabilityStatus)>;

    static constexpr uint32_t kReachable = 0x2, kConnectionRequired = 0x4, kConnectionOnTraffic = 0x8,
                              kInterventionRequired = 0x10, kConnectionOnDemand = 0x20;
    // No real set of flags is ever this value.
    static constexpr uint32_t kUnsetFlags = 0x40000000;

    // Null when the platform cannot watch the host. `source` is the route
    // source (the kernel's by default).
    static std::shared_ptr<NetworkReachabilityManager> create(
        const std::string& host, std::shared_ptr<plat::network::RouteSource> source = nullptr);
    // The network in general (the zero IPv4 address).
    static std::shared_ptr<NetworkReachabilityManager> create(
        std::shared_ptr<plat::network::RouteSource> source = nullptr);
    ~NetworkReachabilityManager();

    plat::dispatch::Queue listenerQueue() const;
    void setListenerQueue(plat::dispatch::Queue queue);
    Listener listener() const;
    void setListener(Listener listener);

    std::optional<uint32_t> flags() const;
    NetworkReachabilityStatus networkReachabilityStatus() const;
    bool isReachable() const { return isReachableOnWWAN() || isReachableOnEthernetOrWiFi(); }
    bool isReachableOnWWAN() const;
    bool isReachableOnEthernetOrWiFi() const;

    // Registers for changes and reports the current status once on the
    // listener queue; true when both registrations succeeded.
    bool startListening();
    void stopListening();

    static NetworkReachabilityStatus status(uint32_t flags);

  private:
    explicit NetworkReachabilityManager(std::shared_ptr<plat::network::Reachability> reachability);
    void notify(uint32_t flags);

    const std::shared_ptr<plat::network::Reachability> reachability_;
    mutable plat::Mutex mutex_;
    plat::dispatch::Queue listenerQueue_ GUARDED_BY(mutex_);
    Listener listener_ GUARDED_BY(mutex_);
    std::atomic<uint32_t> previousFlags_{kUnsetFlags};
};

}  // namespace httpclient
