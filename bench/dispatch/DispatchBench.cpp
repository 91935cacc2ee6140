// Posting throughput of a serial queue and of the main loop, and the cost of
// scheduling timers, each next to a plain std::thread + condition-variable
// implementation doing the same work.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/TimerSource.h"

namespace {

using namespace plat::dispatch;

constexpr int kBlocks = 1000;

// ---------------------------------------------------------------- baselines

// One thread draining a mutex-protected deque.
class ThreadQueue {
  public:
    ThreadQueue() : thread_([this] { loop(); }) {}
    ~ThreadQueue() {
        post(nullptr);
        thread_.join();
    }
    void post(std::function<void()> block) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(block));
        }
        ready_.notify_one();
    }
    void barrier() {
        std::promise<void> done;
        post([&] { done.set_value(); });
        done.get_future().wait();
    }

  private:
    void loop() {
        for (;;) {
            std::function<void()> block;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !items_.empty(); });
                block = std::move(items_.front());
                items_.pop_front();
            }
            if (!block) {
                return;
            }
            block();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> items_;
    std::thread thread_;
};

// A deque drained by the thread that posts to it, as a main loop is.
class LoopQueue {
  public:
    void post(std::function<void()> block) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(block));
        }
        ready_.notify_one();
    }
    void drain() {
        for (;;) {
            std::function<void()> block;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) {
                    return;
                }
                block = std::move(items_.front());
                items_.pop_front();
            }
            block();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> items_;
};

// A timer thread over an ordered map, woken when the earliest entry changes.
class ThreadTimers {
  public:
    ThreadTimers() : thread_([this] { loop(); }) {}
    ~ThreadTimers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    using Key = std::pair<std::chrono::steady_clock::time_point, std::uint64_t>;
    Key schedule(std::chrono::steady_clock::time_point at, std::function<void()> fire) {
        bool earliest;
        Key key;
        {
            std::lock_guard lock(mutex_);
            key = {at, next_++};
            entries_.emplace(key, std::move(fire));
            earliest = entries_.begin()->first == key;
        }
        if (earliest) {
            wake_.notify_one();
        }
        return key;
    }
    bool cancel(const Key& key) {
        std::lock_guard lock(mutex_);
        return entries_.erase(key) > 0;
    }

  private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = entries_.begin();
            if (first->first.first > std::chrono::steady_clock::now()) {
                wake_.wait_until(lock, first->first.first);
                continue;
            }
            auto fire = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            fire();
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<Key, std::function<void()>> entries_;
    std::uint64_t next_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------- serial queue

void BM_SerialQueuePost(benchmark::State& state) {
    auto queue = Queue::serial("bench.serial");
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            queue.async([&counter] { ++counter; });
        }
        queue.sync([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_SerialQueuePost)->UseRealTime();

void BM_ThreadQueuePost(benchmark::State& state) {
    ThreadQueue queue;
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            queue.post([&counter] { ++counter; });
        }
        queue.barrier();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_ThreadQueuePost)->UseRealTime();

// ---------------------------------------------------------------- fan-out

// Context switches of the whole process so far (every thread's).
long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Spins for about `micros` microseconds of work.
void work(double micros) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double, std::micro>(micros);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// A million tiny tasks fanned out over the global queue with a group and
// waited for, from one thread, against the same tasks through one thread's
// condition-variable queue. Counters: "vs_thread_queue" (goal <= 1.5) and the
// pool's context switches per iteration (goal: far fewer than tasks).
void BM_FanOutVsThreadQueue(benchmark::State& state) {
    constexpr int kTasks = 1'000'000;
    ThreadQueue queue;
    auto global = Queue::global();
    // On a cache line of its own: the workers' increments must not slow the
    // submitting thread's reads of its neighbours (the queue handle).
    struct alignas(64) Padded {
        std::atomic<long> value{0};
    };
    auto padded = std::make_unique<Padded>();
    auto& counter = padded->value;
    double ours = 0, peer = 0;
    long switches = 0;
    for (auto _ : state) {
        const long before = contextSwitches();
        auto t0 = std::chrono::steady_clock::now();
        Group group;
        for (int i = 0; i < kTasks; ++i)
            group.async(global, [&counter] { counter.fetch_add(1, std::memory_order_relaxed); });
        group.wait();
        const double poolTime = secondsSince(t0);
        switches += contextSwitches() - before;
        auto t1 = std::chrono::steady_clock::now();
        for (int i = 0; i < kTasks; ++i)
            queue.post([&counter] { counter.fetch_add(1, std::memory_order_relaxed); });
        queue.barrier();
        peer += secondsSince(t1);
        ours += poolTime;
        state.SetIterationTime(poolTime);
    }
    state.counters["vs_thread_queue"] = ours / peer;
    state.counters["switches"] = static_cast<double>(switches) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_FanOutVsThreadQueue)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// 200,000 tasks of about 2 us on the pool against the same on one thread;
// "vs_one_thread" below 1 means the pool is faster.
void BM_FanOutWorkVsOneThread(benchmark::State& state) {
    constexpr int kTasks = 200'000;
    ThreadQueue queue;
    auto global = Queue::global();
    double ours = 0, peer = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Group group;
        for (int i = 0; i < kTasks; ++i)
            group.async(global, [] { work(2); });
        group.wait();
        const double poolTime = secondsSince(t0);
        auto t1 = std::chrono::steady_clock::now();
        for (int i = 0; i < kTasks; ++i)
            queue.post([] { work(2); });
        queue.barrier();
        peer += secondsSince(t1);
        ours += poolTime;
        state.SetIterationTime(poolTime);
    }
    state.counters["vs_one_thread"] = ours / peer;
}
BENCHMARK(BM_FanOutWorkVsOneThread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Serial-queue posting against the thread queue, back to back ("vs_thread_queue", goal <= 1.5).
void BM_SerialPostVsThreadQueue(benchmark::State& state) {
    auto serial = Queue::serial("bench.serial.ratio");
    ThreadQueue queue;
    long counter = 0;
    double ours = 0, peer = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i)
            serial.async([&counter] { ++counter; });
        serial.sync([] {});
        const double serialTime = secondsSince(t0);
        auto t1 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i)
            queue.post([&counter] { ++counter; });
        queue.barrier();
        peer += secondsSince(t1);
        ours += serialTime;
        state.SetIterationTime(serialTime);
    }
    benchmark::DoNotOptimize(counter);
    state.counters["vs_thread_queue"] = ours / peer;
}
BENCHMARK(BM_SerialPostVsThreadQueue)->UseManualTime();

// A chain of steps each posting the next, in turn to a serial queue and to
// the utility global queue, as a request's completion travels from its
// delegate call to its serializer and its handler: the cost of one hop
// between queues ("us_per_hop", context switches per hop "switches").
void BM_ChainedHops(benchmark::State& state) {
    constexpr int kHops = 10'000;
    auto serial = Queue::serial("bench.chain");
    auto utility = Queue::global(QualityOfService::Utility);
    long switches = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::atomic<int> hops{0};
        Semaphore done;
        std::function<void()> step = [&] {
            const int n = ++hops;
            if (n == kHops) {
                done.signal();
                return;
            }
            (n % 2 ? utility : serial).async(step);
        };
        const long before = contextSwitches();
        auto t0 = std::chrono::steady_clock::now();
        serial.async(step);
        done.wait();
        seconds += secondsSince(t0);
        switches += contextSwitches() - before;
    }
    const double hops = static_cast<double>(state.iterations()) * kHops;
    state.counters["us_per_hop"] = seconds * 1e6 / hops;
    state.counters["switches"] = static_cast<double>(switches) / hops;
    state.SetItemsProcessed(state.iterations() * kHops);
}
BENCHMARK(BM_ChainedHops)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- main loop

void BM_MainLoopPost(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    long counter = 0;
    auto main = mainQueue();
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            main.async([&counter] { ++counter; });
        }
        MainLoop::drain();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_MainLoopPost);

void BM_LoopQueuePost(benchmark::State& state) {
    LoopQueue queue;
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            queue.post([&counter] { ++counter; });
        }
        queue.drain();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_LoopQueuePost);

// Posting from another thread while main pumps.
void BM_MainLoopPostFromWorker(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    std::atomic<long> counter{0};
    long target = 0;
    for (auto _ : state) {
        target += kBlocks;
        std::thread poster([&] {
            for (int i = 0; i < kBlocks; ++i) {
                mainQueue().async([&counter] { counter.fetch_add(1, std::memory_order_relaxed); });
            }
        });
        MainLoop::runUntil([&] { return counter.load() == target; }, 60);
        poster.join();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_MainLoopPostFromWorker)->UseRealTime();

void BM_ThreadQueuePostFromWorker(benchmark::State& state) {
    ThreadQueue queue;
    std::atomic<long> counter{0};
    for (auto _ : state) {
        std::thread poster([&] {
            for (int i = 0; i < kBlocks; ++i) {
                queue.post([&counter] { counter.fetch_add(1, std::memory_order_relaxed); });
            }
        });
        poster.join();
        queue.barrier();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_ThreadQueuePostFromWorker)->UseRealTime();

// ---------------------------------------------------------------- timers

// Scheduling and cancelling timers that never come due.
void BM_SystemClockScheduleCancel(benchmark::State& state) {
    SystemClock clock;
    double far = clock.now() + 3600;
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            auto token = clock.schedule(far + i * 1e-3, Clock::nextOrder(), [] {});
            clock.cancel(token);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_SystemClockScheduleCancel);

void BM_ThreadTimersScheduleCancel(benchmark::State& state) {
    ThreadTimers timers;
    auto far = std::chrono::steady_clock::now() + std::chrono::hours(1);
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            auto key = timers.schedule(far + std::chrono::microseconds(i), [] {});
            timers.cancel(key);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_ThreadTimersScheduleCancel);

// A full timer source: create, arm, resume, cancel.
void BM_TimerSourceArmCancel(benchmark::State& state) {
    auto queue = Queue::serial("bench.timers");
    auto clock = std::make_shared<SystemClock>();
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i) {
            auto timer = TimerSource::create(queue, clock);
            timer->setEventHandler([] {});
            timer->setTimer(3600);
            timer->resume();
            timer->cancel();
        }
    }
    queue.sync([] {});
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_TimerSourceArmCancel);

// Timers due at once: schedule a batch and wait until all have fired.
void BM_SystemClockScheduleFire(benchmark::State& state) {
    SystemClock clock;
    for (auto _ : state) {
        std::atomic<int> fired{0};
        Semaphore all;
        double now = clock.now();
        for (int i = 0; i < kBlocks; ++i) {
            clock.schedule(now, Clock::nextOrder(), [&] {
                if (fired.fetch_add(1) + 1 == kBlocks) {
                    all.signal();
                }
            });
        }
        all.wait();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_SystemClockScheduleFire)->UseRealTime();

void BM_ThreadTimersScheduleFire(benchmark::State& state) {
    ThreadTimers timers;
    for (auto _ : state) {
        std::atomic<int> fired{0};
        std::promise<void> all;
        auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i) {
            timers.schedule(now, [&] {
                if (fired.fetch_add(1) + 1 == kBlocks) {
                    all.set_value();
                }
            });
        }
        all.get_future().wait();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_ThreadTimersScheduleFire)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
