#include "platform/dispatch/MainLoop.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/detail/QueueImpl.h"

namespace plat::dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often runUntil re-checks its predicate while no block arrives.
constexpr auto kPollInterval = std::chrono::milliseconds(2);

struct LoopState {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Block> items;
    bool stopRequested = false;
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
    std::lock_guard lock(state.mutex);
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
        std::lock_guard lock(state.mutex);
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
            std::lock_guard lock(state.mutex);
            state.items.push_back(std::move(block));
        }
        state.arrived.notify_one();
    }

    void sync(const Block& block) override {
        if (MainLoop::isMainThread()) {
            detail::Frame frame(this);
            block();
            return;
        }
        struct Job {
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
            std::exception_ptr error;
        };
        auto job = std::make_shared<Job>();
        async([job, &block] {
            std::exception_ptr error;
            try {
                block();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard lock(job->mutex);
            job->error = error;
            job->finished = true;
            job->done.notify_one();
        });
        std::unique_lock lock(job->mutex);
        detail::ThreadPool::BlockingScope blocking;
        job->done.wait(lock, [&] { return job->finished; });
        if (job->error) {
            std::rethrow_exception(job->error);
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
    std::lock_guard lock(state.mutex);
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
            std::unique_lock lock(state.mutex);
            state.arrived.wait(lock, [&] { return !state.items.empty() || state.stopRequested; });
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
        std::lock_guard lock(state.mutex);
        state.stopRequested = true;
    }
    state.arrived.notify_all();
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
        std::unique_lock lock(state.mutex);
        state.arrived.wait_until(lock, std::min(deadline, now + kPollInterval),
                                 [&] { return !state.items.empty(); });
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
    std::lock_guard lock(state.mutex);
    return state.items.size();
}

}  // namespace plat::dispatch
