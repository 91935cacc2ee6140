#include "platform/dispatch/MainLoop.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <deque>
#include <exception>
#include <thread>

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/detail/Futex.h"
#include "platform/dispatch/detail/QueueImpl.h"

namespace plat::dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often runUntil re-checks its predicate while no block arrives: soon at
// first, then less and less often, each look that found nothing doubling the
// interval for the rest of the call. A wait for work on other threads mostly
// ends with a block posted to main, which wakes the loop anyway, while each
// look that finds nothing costs a wake-up and a context switch.
constexpr auto kFirstPoll = std::chrono::milliseconds(2);
constexpr auto kLongestPoll = std::chrono::milliseconds(16);

// The main thread sleeps on `arrivals` (see detail/Futex.h), not on a
// condition variable: a post changes the word after its block is queued and
// wakes the loop only when it sleeps or is about to.
struct LoopState {
    Mutex mutex;
    std::deque<Block> items GUARDED_BY(mutex);
    bool stopRequested GUARDED_BY(mutex) = false;
    std::atomic<std::uint32_t> arrivals{0};
    std::atomic<std::uint32_t> sleepers{0};
    std::atomic<bool> bound{false};
    std::atomic<std::thread::id> mainThread{};
};

// Never destroyed: other threads may post to main while the process exits.
LoopState& loop() {
    static auto* state = new LoopState;
    return *state;
}

// After a block was queued or a stop requested (under the mutex).
void wakeLoop(LoopState& state) {
    state.arrivals.fetch_add(1, std::memory_order_seq_cst);
    if (state.sleepers.load(std::memory_order_seq_cst) != 0)
        detail::futexWake(state.arrivals, INT_MAX);
}

// Sleeps until a block arrives (or a stop is requested, with `forStop`), or
// until `deadline` when given. The sleeper counts itself and reads the word
// before it looks at the queue; a poster queues and changes the word before
// it reads the count: either the sleeper sees the block, or the poster sees
// the sleeper (and the word it sleeps on has changed already).
bool sleepUntilArrival(LoopState& state, bool forStop, const SteadyClock::time_point* deadline) {
    state.sleepers.fetch_add(1, std::memory_order_seq_cst);
    const std::uint32_t seen = state.arrivals.load(std::memory_order_seq_cst);
    bool idle;
    {
        MutexLock lock(state.mutex);
        idle = state.items.empty() && !(forStop && state.stopRequested);
    }
    bool woken = true;
    if (idle)
        woken = detail::futexWait(state.arrivals, seen, deadline);
    state.sleepers.fetch_sub(1, std::memory_order_relaxed);
    return woken;
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
        wakeLoop(state);
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
        bool idle;
        {
            MutexLock lock(state.mutex);
            if (state.stopRequested) {
                state.stopRequested = false;
                return;
            }
            idle = state.items.empty();
        }
        if (idle)
            (void)sleepUntilArrival(state, true, nullptr);
        else
            runNext();
    }
}

void MainLoop::stop() {
    auto& state = loop();
    {
        MutexLock lock(state.mutex);
        state.stopRequested = true;
    }
    wakeLoop(state);
}

bool MainLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    ensurePumpingThread();
    auto& state = loop();
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    auto deadline = SteadyClock::now() +
                    std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(timeout));
    SteadyClock::duration poll = kFirstPoll;
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
        const auto wakeAt = std::min(deadline, now + poll);
        if (!sleepUntilArrival(state, false, &wakeAt))
            poll = std::min<SteadyClock::duration>(poll * 2, kLongestPoll);
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
