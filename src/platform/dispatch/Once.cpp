#include "platform/dispatch/Once.h"

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

void Once::call(const Block& block) {
    if (done_.load(std::memory_order_acquire)) {
        return;
    }
    // Checked before locking: the block calling call() again would otherwise
    // deadlock on the mutex its own caller holds.
    if (runner_.load() == std::this_thread::get_id()) {
        throw DispatchException("Once::call re-entered from its own block");
    }
    MutexLock lock(mutex_);
    if (done_.load(std::memory_order_relaxed)) {
        return;
    }
    runner_.store(std::this_thread::get_id());
    struct ClearRunner {
        std::atomic<std::thread::id>& runner;
        ~ClearRunner() { runner.store(std::thread::id()); }
    } clear{runner_};
    block();
    done_.store(true, std::memory_order_release);
}

void Once::reset() {
    MutexLock lock(mutex_);
    done_.store(false, std::memory_order_release);
}

}  // namespace plat::dispatch
