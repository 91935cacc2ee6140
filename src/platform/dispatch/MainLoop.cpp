#include "platform/dispatch/MainLoop.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <thread>

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/detail/QueueImpl.h"

namespace plat::dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often runUntil re-checks its predicate while no block arrives.
constexpr auto kPollInterval = std::chrono::milliseconds(2);

struct LoopState {
    Mutex mutex;
    ConditionVariable arrived;
    std::deque<Block> items GUARDED_BY(mutex);
    bool stopRequested GUARDED_BY(mutex) = false;
    std::atomic<bool> bound{false};
    std::atomic<std::thread::id> mainThread{};
};

// Never destroyed: other threads may post to main while the process exits.
LoopState& loop() {
    static auto* state = new LoopState;
    return *state;
}

bool isInitialThread() {
    return gettid() == getpid();
}

void ensurePumpingThread() {
    auto& state = loop();
    MutexLock lock(state.mutex);
    if (!state.bound.load()) {
        state.mainThread.store(std::this_thread::get_id());
        state.bound.store(true);
        return;
    }
    if (state.mainThread.load() != std::this_thread::get_id()) {
        throw DispatchException("the main loop can only be pumped from the main thread");
    }
}

bool runNext() {
    auto& state = loop();
    Block block;
    {
        MutexLock lock(state.mutex);
        if (state.items.empty()) {
            return false;
        }
        block = std::move(state.items.front());
        state.items.pop_front();
    }
    detail::Frame frame(detail::mainQueueImpl().get());
    block();
    return true;
}

class MainQueue final : public detail::QueueImpl {
  public:
    MainQueue() : QueueImpl("main", QualityOfService::UserInteractive) {}

    void async(Block block) override {
        auto& state = loop();
        {
            MutexLock lock(state.mutex);
            state.items.push_back(std::move(block));
        }
        state.arrived.notifyOne();
    }

    void sync(const Block& block) override {
        if (MainLoop::isMainThread()) {
            detail::Frame frame(this);
            block();
            return;
        }
        struct Job {
            Mutex mutex;
            ConditionVariable done;
            bool finished GUARDED_BY(mutex) = false;
            std::exception_ptr error GUARDED_BY(mutex);
        };
        auto job = std::make_shared<Job>();
        async([job, &block] {
            std::exception_ptr error;
            try {
                block();
            } catch (...) {
                error = std::current_exception();
            }
            MutexLock lock(job->mutex);
            job->error = error;
            job->finished = true;
            job->done.notifyOne();
        });
        std::exception_ptr error;
        {
            MutexLock lock(job->mutex);
            detail::ThreadPool::BlockingScope blocking;
            while (!job->finished)
                job->done.wait(job->mutex);
            error = job->error;
        }
        if (error) {
            std::rethrow_exception(error);
        }
    }

    bool isCurrent() const override { return MainLoop::isMainThread(); }
    bool isMain() const override { return true; }
};

}  // namespace

const std::shared_ptr<detail::QueueImpl>& detail::mainQueueImpl() {
    static const auto* impl = new std::shared_ptr<QueueImpl>(std::make_shared<MainQueue>());
    return *impl;
}

void MainLoop::bindToCurrentThread() {
    auto& state = loop();
    MutexLock lock(state.mutex);
    state.mainThread.store(std::this_thread::get_id());
    state.bound.store(true);
}

bool MainLoop::isMainThread() {
    auto& state = loop();
    if (state.bound.load()) {
        return state.mainThread.load() == std::this_thread::get_id();
    }
    return isInitialThread();
}

void MainLoop::run() {
    ensurePumpingThread();
    auto& state = loop();
    for (;;) {
        {
            MutexLock lock(state.mutex);
            while (state.items.empty() && !state.stopRequested)
                state.arrived.wait(state.mutex);
            if (state.stopRequested) {
                state.stopRequested = false;
                return;
            }
        }
        runNext();
    }
}

void MainLoop::stop() {
    auto& state = loop();
    {
        MutexLock lock(state.mutex);
        state.stopRequested = true;
    }
    state.arrived.notifyAll();
}

bool MainLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    ensurePumpingThread();
    auto& state = loop();
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    auto deadline = SteadyClock::now() +
                    std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(timeout));
    for (;;) {
        if (done()) {
            return true;
        }
        auto now = SteadyClock::now();
        if (now >= deadline) {
            return false;
        }
        if (runNext()) {
            continue;
        }
        const auto wakeAt = std::min(deadline, now + kPollInterval);
        MutexLock lock(state.mutex);
        while (state.items.empty() && state.arrived.waitUntil(state.mutex, wakeAt)) {
        }
    }
}

std::size_t MainLoop::drain() {
    ensurePumpingThread();
    std::size_t count = 0;
    while (runNext()) {
        ++count;
    }
    return count;
}

std::size_t MainLoop::pendingCount() {
    auto& state = loop();
    MutexLock lock(state.mutex);
    return state.items.size();
}

}  // namespace plat::dispatch
