#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace plat {

std::string Notification::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    std::string out = std::string("NSConcreteNotification ") + address + " {name = " + name;
    if (!userInfo.empty())
        out += "; userInfo = " + Value(userInfo).description();
    return out + "}";
}

class NotificationObserver {
  public:
    NotificationObserver(const void* owner, std::string name, const std::shared_ptr<const void>& sender)
        : owner_(owner),
          name_(std::move(name)),
          senderAddress_(sender.get()),
          senderLife_(sender),
          senderOwned_(sender.use_count() > 0) {}

    bool matches(const Notification& n) const { return matches(n.name, n.object.get()); }
    bool matches(std::string_view name, const void* sender) const {
        if (!name_.empty() && name_ != name) {
            return false;
        }
        if (senderAddress_ == nullptr) {
            return true;
        }
        // An expired sender is gone: whatever now lives at its address is
        // another object.
        return senderAddress_ == sender && !(senderOwned_ && senderLife_.expired());
    }

    const void* owner() const { return owner_; }
    bool isRemoved() const { return removed_.load(std::memory_order_acquire); }
    void markRemoved() { removed_.store(true, std::memory_order_release); }

  private:
    const void* owner_;
    std::string name_;
    const void* senderAddress_;
    std::weak_ptr<const void> senderLife_;
    bool senderOwned_;
    std::atomic<bool> removed_{false};
};

NotificationCenter::NotificationCenter() : observers_(std::make_shared<const List>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

ObserverToken NotificationCenter::addObserverForName(std::string name, std::shared_ptr<const void> sender,
                                                     Block block) {
    return add(nullptr, std::move(name), std::move(sender), std::move(block));
}

ObserverToken NotificationCenter::addObserver(const void* owner, std::string name,
                                              std::shared_ptr<const void> sender, Block block) {
    return add(owner, std::move(name), std::move(sender), std::move(block));
}

ObserverToken NotificationCenter::add(const void* owner, std::string name, std::shared_ptr<const void> sender,
                                      Block block) {
    auto observer = std::make_shared<NotificationObserver>(owner, std::move(name), sender);
    auto shared = std::make_shared<const Block>(std::move(block));
    MutexLock lock(mutex_);
    auto next = std::make_shared<List>(*observers_);
    next->push_back(Entry{observer, std::move(shared)});
    observers_ = std::move(next);
    return observer;
}

template <class Pred>
void NotificationCenter::removeIf(Pred pred) {
    // Released after the lock: dropping the last reference to a block runs
    // the destructors of what it captured, which may call back into the centre.
    std::shared_ptr<const List> previous;
    MutexLock lock(mutex_);
    auto next = std::make_shared<List>();
    next->reserve(observers_->size());
    for (const auto& entry : *observers_) {
        if (pred(*entry.observer)) {
            // Set under the lock, so a post that snapshots after this returns
            // no longer sees the entry, and one that already did skips it.
            entry.observer->markRemoved();
        } else {
            next->push_back(entry);
        }
    }
    if (next->size() != observers_->size()) {
        previous = std::exchange(observers_, std::move(next));
    }
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
    if (!token) {
        return;
    }
    removeIf([&](const NotificationObserver& o) { return &o == token.get(); });
}

void NotificationCenter::removeObserver(const void* owner) {
    if (owner == nullptr) {
        return;
    }
    removeIf([&](const NotificationObserver& o) { return o.owner() == owner; });
}

void NotificationCenter::postNotification(const Notification& notification) {
    std::shared_ptr<const List> snapshot;
    {
        MutexLock lock(mutex_);
        snapshot = observers_;
    }
    for (const auto& entry : *snapshot) {
        if (!entry.observer->isRemoved() && entry.observer->matches(notification) && *entry.block) {
            (*entry.block)(notification);
        }
    }
}

void NotificationCenter::postNotificationName(std::string name, std::shared_ptr<const void> sender,
                                              Dictionary userInfo) {
    postNotification(Notification(std::move(name), std::move(sender), std::move(userInfo)));
}

std::size_t NotificationCenter::observerCount() const {
    MutexLock lock(mutex_);
    return observers_->size();
}

bool NotificationCenter::hasObserver(std::string_view name, const void* sender) const {
    MutexLock lock(mutex_);
    return std::any_of(observers_->begin(), observers_->end(), [&](const Entry& entry) {
        return !entry.observer->isRemoved() && entry.observer->matches(name, sender) && *entry.block;
    });
}

}  // namespace plat
