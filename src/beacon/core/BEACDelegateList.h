// A thread-safe list of delegates held weakly: each is added once, removed by
// identity, and a call site works on a snapshot of the live ones, so that a
// delegate may add or remove delegates while it is being called.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/foundation/Mutex.h"

template <class T>
class BEACDelegateList {
  public:
    void add(const std::weak_ptr<T>& delegate) EXCLUDES(mutex_) {
        plat::MutexLock lock(mutex_);
        auto target = delegate.lock();
        for (const auto& existing : delegates_) {
            if (existing.lock() == target)
                return;
        }
        delegates_.push_back(delegate);
    }
    void remove(const std::weak_ptr<T>& delegate) EXCLUDES(mutex_) {
        plat::MutexLock lock(mutex_);
        std::erase_if(delegates_, [&](const auto& existing) {
            return !existing.owner_before(delegate) && !delegate.owner_before(existing);
        });
    }
    std::vector<std::shared_ptr<T>> snapshot() const EXCLUDES(mutex_) {
        plat::MutexLock lock(mutex_);
        std::vector<std::shared_ptr<T>> live;
        for (const auto& weak : delegates_) {
            if (auto strong = weak.lock())
                live.push_back(std::move(strong));
        }
        return live;
    }

  private:
    mutable plat::Mutex mutex_;
    std::vector<std::weak_ptr<T>> delegates_ GUARDED_BY(mutex_);
};
