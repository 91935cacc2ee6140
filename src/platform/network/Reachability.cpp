#include "platform/network/Reachability.h"

#include <netinet/in.h>

#include <cstring>

#include "platform/foundation/Mutex.h"

namespace plat::network {

// Shared with the source's change callback, which holds it weakly: once the
// Reachability is gone, or unscheduled, changes reach nobody.
struct Reachability::Control {
    ReachabilityTarget target;            // set before the control is shared
    std::shared_ptr<RouteSource> source;  // likewise
    Mutex mutex;
    std::function<void(uint32_t)> callback GUARDED_BY(mutex);
    dispatch::Queue queue GUARDED_BY(mutex);
    bool scheduled GUARDED_BY(mutex) = false;
    uint64_t generation GUARDED_BY(mutex) = 0;  // bumped on every (un)schedule
    std::optional<uint32_t> lastReported GUARDED_BY(mutex);
};

Reachability::Reachability(ReachabilityTarget target, std::shared_ptr<RouteSource> source)
    : control_(std::make_shared<Control>()) {
    control_->target = std::move(target);
    control_->source = source ? std::move(source) : std::make_shared<NetlinkRouteSource>();
}

std::shared_ptr<Reachability> Reachability::createWithName(const std::string& host,
                                                           std::shared_ptr<RouteSource> source) {
    if (host.empty())
        return nullptr;
    return std::shared_ptr<Reachability>(new Reachability(ReachabilityTarget{}, std::move(source)));
}

std::shared_ptr<Reachability> Reachability::createWithAddress(const sockaddr* address,
                                                              std::shared_ptr<RouteSource> source) {
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        return nullptr;
    ReachabilityTarget target;
    sockaddr_storage storage{};
    std::memcpy(&storage, address,
                address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    target.address = storage;
    return std::shared_ptr<Reachability>(new Reachability(target, std::move(source)));
}

Reachability::~Reachability() {
    (void)setDispatchQueue(dispatch::Queue());  // unscheduling always succeeds
}

uint32_t Reachability::evaluate(RouteSource& source, const ReachabilityTarget& target) {
    auto table = source.read();
    if (!table)
        return ReachabilityFlagReachable;  // unknown: let requests try
    return reachabilityFlags(*table, target);
}

std::optional<uint32_t> Reachability::flags() const {
    return evaluate(*control_->source, control_->target);
}

bool Reachability::setCallback(std::function<void(uint32_t)> callback) {
    MutexLock lock(control_->mutex);
    control_->callback = std::move(callback);
    return true;
}

bool Reachability::setDispatchQueue(dispatch::Queue queue) {
    auto control = control_;
    bool wasScheduled;
    uint64_t generation;
    {
        MutexLock lock(control->mutex);
        wasScheduled = control->scheduled;
        control->scheduled = false;
        generation = ++control->generation;
        control->queue = queue;
        control->lastReported = std::nullopt;
    }
    if (wasScheduled)
        control->source->stopWatching();
    if (!queue)
        return true;
    {
        MutexLock lock(control->mutex);
        control->lastReported = evaluate(*control->source, control->target);
        control->scheduled = true;
    }
    std::weak_ptr<Control> weak = control;
    bool watching = control->source->watch([weak, generation] {
        auto c = weak.lock();
        if (!c)
            return;
        uint32_t flags = evaluate(*c->source, c->target);
        MutexLock lock(c->mutex);
        if (!c->scheduled || c->generation != generation || c->lastReported == flags)
            return;
        c->lastReported = flags;
        c->queue.async([weak, generation, flags] {
            auto c = weak.lock();
            if (!c)
                return;
            std::function<void(uint32_t)> callback;
            {
                MutexLock lock(c->mutex);
                if (!c->scheduled || c->generation != generation)
                    return;
                callback = c->callback;
            }
            if (callback)
                callback(flags);
        });
    });
    if (!watching) {
        MutexLock lock(control->mutex);
        control->scheduled = false;
    }
    return watching;
}

}  // namespace plat::network
