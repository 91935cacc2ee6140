#include "httpclient/NetworkReachabilityManager.h"

#include <netinet/in.h>

#include <cstring>

namespace httpclient {

using Status = NetworkReachabilityManager::NetworkReachabilityStatus;

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(
    const std::string& host, std::shared_ptr<plat::network::RouteSource> source) {
    auto reachability = plat::network::Reachability::createWithName(host, std::move(source));
    if (!reachability)
        return nullptr;
    return std::shared_ptr<NetworkReachabilityManager>(
        new NetworkReachabilityManager(std::move(reachability)));
}

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(
    std::shared_ptr<plat::network::RouteSource> source) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    auto reachability = plat::network::Reachability::createWithAddress(
        reinterpret_cast<const sockaddr*>(&address), std::move(source));
    if (!reachability)
        return nullptr;
    return std::shared_ptr<NetworkReachabilityManager>(
        new NetworkReachabilityManager(std::move(reachability)));
}

NetworkReachabilityManager::NetworkReachabilityManager(
    std::shared_ptr<plat::network::Reachability> reachability)
    : reachability_(std::move(reachability)), listenerQueue_(plat::dispatch::Queue::main()) {}

NetworkReachabilityManager::~NetworkReachabilityManager() {
    stopListening();
}

plat::dispatch::Queue NetworkReachabilityManager::listenerQueue() const {
    plat::MutexLock lock(mutex_);
    return listenerQueue_;
}

void NetworkReachabilityManager::setListenerQueue(plat::dispatch::Queue queue) {
    plat::MutexLock lock(mutex_);
    listenerQueue_ = std::move(queue);
}

NetworkReachabilityManager::Listener NetworkReachabilityManager::listener() const {
    plat::MutexLock lock(mutex_);
    return listener_;
}

void NetworkReachabilityManager::setListener(Listener listener) {
    plat::MutexLock lock(mutex_);
    listener_ = std::move(listener);
}

std::optional<uint32_t> NetworkReachabilityManager::flags() const {
    return reachability_->flags();
}

Status NetworkReachabilityManager::status(uint32_t flags) {
    if (flags & (kConnectionOnDemand | kConnectionOnTraffic)) {
        const bool interventionBlocked = (flags & (kConnectionRequired | kInterventionRequired)) ==
                                         (kConnectionRequired | kInterventionRequired);
        if ((flags & kReachable) && !interventionBlocked)
            return Status::reachable(ConnectionType::ethernetOrWiFi);
        return Status::notReachable();
    }
    if ((flags & (kReachable | kConnectionRequired)) == kReachable)
        return Status::reachable(ConnectionType::ethernetOrWiFi);
    return Status::notReachable();
}

Status NetworkReachabilityManager::networkReachabilityStatus() const {
    auto f = flags();
    return f ? status(*f) : Status::unknown();
}

bool NetworkReachabilityManager::isReachableOnWWAN() const {
    return networkReachabilityStatus() == Status::reachable(ConnectionType::wwan);
}

bool NetworkReachabilityManager::isReachableOnEthernetOrWiFi() const {
    return networkReachabilityStatus() == Status::reachable(ConnectionType::ethernetOrWiFi);
}

void NetworkReachabilityManager::notify(uint32_t flags) {
    if (previousFlags_.exchange(flags) == flags)
        return;
    if (auto l = listener())
        l(status(flags));
}

bool NetworkReachabilityManager::startListening() {
    std::weak_ptr<NetworkReachabilityManager> weak = weak_from_this();
    const bool callbackSet = reachability_->setCallback([weak](uint32_t flags) {
        if (auto self = weak.lock())
            self->notify(flags);
    });
    auto queue = listenerQueue();
    const bool queueSet = reachability_->setDispatchQueue(queue);
    auto self = shared_from_this();
    queue.async([self] {
        self->previousFlags_.store(kUnsetFlags);
        if (auto f = self->flags())
            self->notify(*f);
    });
    return callbackSet && queueSet;
}

void NetworkReachabilityManager::stopListening() {
    // Clearing the callback and unscheduling cannot fail.
    (void)reachability_->setCallback(nullptr);
    (void)reachability_->setDispatchQueue(plat::dispatch::Queue());
}

}  // namespace httpclient
