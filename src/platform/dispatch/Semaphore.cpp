#include "platform/dispatch/Semaphore.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace plat::dispatch {

Semaphore::Semaphore(long initial) : count_(initial) {
    if (initial < 0) {
        throw std::invalid_argument("Semaphore: negative initial count");
    }
}

bool Semaphore::signal() {
    // Notify under the lock: a woken waiter may destroy the semaphore as soon
    // as it can take the lock.
    MutexLock lock(mutex_);
    ++count_;
    bool woke = waiters_ > 0;
    if (woke) {
        available_.notifyOne();
    }
    return woke;
}

void Semaphore::wait() {
    MutexLock lock(mutex_);
    if (count_ > 0) {
        --count_;
        return;
    }
    ++waiters_;
    {
        detail::ThreadPool::BlockingScope blocking;
        while (count_ <= 0)
            available_.wait(mutex_);
    }
    --waiters_;
    --count_;
}

bool Semaphore::wait(double timeoutSeconds) {
    using namespace std::chrono;
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    const auto deadline =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(timeout));
    MutexLock lock(mutex_);
    if (count_ > 0) {
        --count_;
        return true;
    }
    ++waiters_;
    {
        detail::ThreadPool::BlockingScope blocking;
        while (count_ <= 0 && available_.waitUntil(mutex_, deadline)) {
        }
    }
    const bool taken = count_ > 0;
    --waiters_;
    if (taken) {
        --count_;
    }
    return taken;
}

}  // namespace plat::dispatch
