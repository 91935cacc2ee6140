#include "platform/dispatch/detail/ThreadPool.h"

#include "platform/dispatch/Group.h"
#include "platform/dispatch/detail/Futex.h"
#include "platform/dispatch/detail/QueueImpl.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

namespace plat::dispatch::detail {

namespace {
// The pool the calling thread works for, if any.
thread_local ThreadPool* currentPool = nullptr;
// Jobs a worker took at once and has not started yet.
struct WorkerBatch {
    static constexpr std::size_t kMax = 16;
    Job jobs[kMax];
    std::size_t next = 0;
    std::size_t end = 0;
    int band = 0;
};
thread_local WorkerBatch* currentBatch = nullptr;
// The calling worker's hand-off slot (none for extra workers).
thread_local void* currentSlot = nullptr;

// Runs a job on its queue's frame, then drops its block, so that what the
// block holds is released before the job's group learns that it is done.
void runJob(Job& job) {
    if (job.queue) {
        Frame frame(job.queue);
        job.run();
    } else {
        job.run();
    }
    job.run = nullptr;
}

// A thread outside the pool running a chain's jobs (runChainHere): its slot
// is its own (no other worker takes from it, none is counted in slotted_;
// the watchdog empties it when it hands the chain over).
struct HostedChain {
    const std::function<bool()>* onBlock;
    void* slot;
    std::atomic<std::size_t> uncounted{0};
    // Jobs submitted from now on go to the workers (set by the host thread
    // or the watchdog).
    std::atomic<bool> handedOver{false};
};
thread_local HostedChain* currentChain = nullptr;

// Where a hosting thread's chain stands: its sequence number times four
// plus one of these. Only a compare-and-swap from kRunning decides who acts:
// the host leaving the chain (to kIdle), or the host about to wait in a
// layer wait or the watchdog (to kHandingOver, then kHandedOver when onBlock
// moved the host's duties, or kRunning again when it could not).
enum : std::uint64_t { kIdle = 0, kRunning = 1, kHandingOver = 2, kHandedOver = 3, kPhase = 3 };

// A thread that hosts chains, known to the watchdog while it lives.
struct ChainHost {
    ChainHost();
    ~ChainHost();
    std::atomic<std::uint64_t> state{kIdle};
    // Valid while the state is kRunning or kHandingOver for its chain.
    HostedChain* chain = nullptr;
    // The state the watchdog saw on its last tick (watchdog only).
    std::uint64_t lastSeen = kIdle;
};

// One thread for the process: while chains are hosted it looks every 10 ms,
// or every millisecond while it saw one running, and a chain still running
// under the same number as on its last look is handed over (its host is
// held up by something outside the layer's waits: a plain mutex, a sleep, a
// long computation). Asleep while no chain has been hosted for a while.
class ChainWatchdog {
  public:
    static ChainWatchdog& shared() {
        static ChainWatchdog* watchdog = new ChainWatchdog;  // outlives every thread
        return *watchdog;
    }
    void add(ChainHost* host) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        hosts_.push_back(host);
    }
    void remove(ChainHost* host) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        std::erase(hosts_, host);
    }
    // A chain has just started: pairs with the watchdog's going to sleep
    // (it sees the chain running, or this sees it asleep and wakes it).
    void chainStarted() EXCLUDES(mutex_) {
        if (!asleep_.load(std::memory_order_seq_cst))
            return;
        MutexLock lock(mutex_);
        if (!started_) {
            try {
                std::thread([this] { watch(); }).detach();
                started_ = true;
            } catch (const std::system_error&) {
                return;  // tried again with the next chain
            }
            // The new thread looks before anything else (it takes the lock
            // first, after this): the chains started meanwhile need not wake
            // it, each with a lock and a futex call, until it first sleeps.
            asleep_.store(false, std::memory_order_seq_cst);
            return;
        }
        if (!asleep_.load(std::memory_order_relaxed))
            return;  // woken already (the flag is cleared under the lock)
        woken_ = true;
        wakeUps_.fetch_add(1, std::memory_order_relaxed);
        wake_.notifyOne();
    }
    std::uint64_t wakeUps() const { return wakeUps_.load(std::memory_order_relaxed); }
    std::uint64_t looks() const { return looks_.load(std::memory_order_relaxed); }

  private:
    void watch() EXCLUDES(mutex_);
    // The time between looks while a chain was running at the last one, and
    // while none was.
    static constexpr std::chrono::milliseconds kLook{1};
    static constexpr std::chrono::milliseconds kIdleLook{10};
    // How long the watchdog goes on looking after the last chain it saw.
    static constexpr std::chrono::milliseconds kQuietTime{200};

    Mutex mutex_;
    ConditionVariable wake_;
    std::vector<ChainHost*> hosts_ GUARDED_BY(mutex_);
    bool started_ GUARDED_BY(mutex_) = false;
    bool woken_ GUARDED_BY(mutex_) = false;
    // True while the watchdog is not looking (not started, or asleep): a
    // chain that starts then wakes it.
    std::atomic<bool> asleep_{true};
    std::atomic<std::uint64_t> wakeUps_{0};
    std::atomic<std::uint64_t> looks_{0};
};

ChainHost::ChainHost() {
    ChainWatchdog::shared().add(this);
}

ChainHost::~ChainHost() {
    ChainWatchdog::shared().remove(this);
}

ChainHost& chainHost() {
    thread_local ChainHost host;
    return host;
}

// Hands over the chain `host` runs under `running` (its state while it
// runs) unless someone else decided first; true when this call decided.
// `waiting`: the host is about to wait in a layer wait, so the jobs behind
// its step go to the workers even if its duties stay with it.
bool tryHandOver(ChainHost& host, std::uint64_t running, bool waiting) {
    std::uint64_t expected = running;
    const std::uint64_t base = running & ~std::uint64_t{kPhase};
    if (!host.state.compare_exchange_strong(expected, base | kHandingOver, std::memory_order_acq_rel))
        return false;
    // The host cannot leave the chain until the state says how this ended.
    HostedChain& chain = *host.chain;
    bool moved = false;
    try {
        moved = (*chain.onBlock)();
    } catch (...) {
        // Treated as a hand-over that failed: the host keeps its duties.
    }
    if (moved || waiting) {
        chain.handedOver.store(true, std::memory_order_seq_cst);
        ThreadPool::shared().returnHostedJobs(chain.slot, chain.uncounted);
    }
    host.state.store(base | (moved ? kHandedOver : kRunning), std::memory_order_release);
    return true;
}

void ChainWatchdog::watch() {
    (void)pthread_setname_np(pthread_self(), "chain-watchdog");
    std::chrono::milliseconds quiet{0};
    for (;;) {
        bool active = false;
        bool running = false;
        {
            MutexLock lock(mutex_);
            looks_.fetch_add(1, std::memory_order_relaxed);
            for (ChainHost* host : hosts_) {
                const std::uint64_t state = host->state.load(std::memory_order_acquire);
                if (state != host->lastSeen)
                    active = true;  // a chain started or ended since the last look
                else if ((state & kPhase) == kRunning)
                    (void)tryHandOver(*host, state, false);
                host->lastSeen = host->state.load(std::memory_order_relaxed);
                if ((host->lastSeen & kPhase) == kRunning)
                    active = running = true;
            }
        }
        // A chain seen running is looked at again soon: still running under
        // the same number then, it is held up. With none running (chains of
        // a busy session are mostly a few microseconds long, so most looks
        // find none) the next look can wait longer: a chain that starts
        // meanwhile and is held up is seen at that look and handed over at
        // the one after, at most kIdleLook + kLook after its start.
        const std::chrono::milliseconds look = running ? kLook : kIdleLook;
        quiet = active ? std::chrono::milliseconds{0} : quiet + look;
        if (quiet < kQuietTime) {
            // A plain sleep between looks, with the lock free: no one wakes
            // the watchdog while it looks (chainStarted only wakes it from
            // the sleep below), and a condition variable's timed wait costs
            // two futex calls a look (the wait, and the wake-up its
            // re-taken lock makes when let go) against one call here.
            std::this_thread::sleep_for(look);
            continue;
        }
        MutexLock lock(mutex_);
        // Pairs with chainStarted: a chain started after this store finds
        // the watchdog asleep and wakes it; one started before is seen here.
        asleep_.store(true, std::memory_order_seq_cst);
        for (ChainHost* host : hosts_)
            running = running || (host->state.load(std::memory_order_seq_cst) & kPhase) == kRunning;
        woken_ = false;
        while (!running && !woken_)
            wake_.wait(mutex_);
        asleep_.store(false, std::memory_order_relaxed);
        quiet = std::chrono::milliseconds{0};
    }
}
// How long an extra worker waits for work before it retires.
constexpr std::chrono::seconds kExtraLinger{2};
// How long a worker out of work looks for more before it sleeps.
constexpr std::chrono::microseconds kSpin{50};
// The spinning worker's pace: pauses between two looks for work, and looks
// between two reads of the clock (64 pauses, as many as a clock read
// followed before looks were spaced out).
constexpr unsigned kPausesPerLook = 4;
constexpr unsigned kLooksPerClockCheck = 16;
// Jobs a band holds in its ring before more wait in its overflow list.
constexpr std::size_t kBandRing = 8192;
}  // namespace

std::uint64_t ThreadPool::chainWatchdogWakeUps() {
    return ChainWatchdog::shared().wakeUps();
}

std::uint64_t ThreadPool::chainWatchdogLooks() {
    return ChainWatchdog::shared().looks();
}

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

ThreadPool::ThreadPool(std::size_t threads) : base_(threads) {
    for (int b = 0; b < kBandCount; ++b) {
        bands_[b] = std::make_unique<JobQueue>(kBandRing);
        returned_[b] = std::make_unique<JobQueue>(WorkerBatch::kMax * 4);
    }
    slots_ = std::make_unique<Slot[]>(threads);
    live_ = threads;
    for (std::size_t i = 0; i < threads; ++i)
        startWorker(&slots_[i]);
}

void ThreadPool::startWorker(Slot* slot) {
    try {
        std::thread([this, slot] { work(slot); }).detach();
    } catch (const std::system_error&) {
        // No thread now: the queued work waits for a running worker.
        MutexLock lock(mutex_);
        --live_;
    }
}

bool ThreadPool::hasWork(bool slots) const {
    if (returnedJobs_.load(std::memory_order_relaxed) != 0 ||
        (slots && slotted_.load(std::memory_order_acquire) != 0))
        return true;
    for (const auto& band : bands_) {
        if (band->looksNonEmpty())
            return true;
    }
    return false;
}

bool ThreadPool::shouldGrowLocked() {
    if (idle_ > 0 || spinning_ > 0 || live_ >= base_ + kMaxExtraThreads)
        return false;
    if (live_ - blocked_ >= base_ || !hasWork())
        return false;
    ++live_;
    return true;
}

bool ThreadPool::shouldWakeLocked() {
    if (spinning_ > 0 || wakesPending_ > 0 || idle_ == 0 || !hasWork())
        return false;
    ++wakesPending_;
    return true;
}

void ThreadPool::wakeIfNeeded() {
    // Most calls find a worker awake or a wake under way: no lock for those.
    if (idle_.load(std::memory_order_relaxed) == 0 || spinning_.load(std::memory_order_relaxed) > 0 ||
        wakesPending_.load(std::memory_order_relaxed) > 0)
        return;
    bool wake;
    Slot* target = nullptr;
    {
        MutexLock lock(mutex_);
        wake = shouldWakeLocked();
        // The base worker that went to sleep last, else an extra one.
        if (wake && sleepers_) {
            target = sleepers_;
            removeSleeperLocked(target);
        }
    }
    if (wake) {
        // After the decision, made under the mutex: a worker that counted
        // itself idle before it read the word it sleeps on.
        std::atomic<std::uint32_t>& word = target ? target->wakeWord : wakeWord_;
        word.fetch_add(1, std::memory_order_seq_cst);
        futexWake(word, 1);
    }
}

bool ThreadPool::sleep(Slot* slot, const std::chrono::steady_clock::time_point* deadline) {
    // Read under the mutex: a wake decided after this worker counted itself
    // idle changes the word after this read, so the wait below returns at
    // once or is woken.
    std::atomic<std::uint32_t>& word = slot ? slot->wakeWord : wakeWord_;
    if (slot) {
        slot->asleep = true;
        slot->below = sleepers_;
        sleepers_ = slot;
        ++sleeperCount_;
    }
    const std::uint32_t seen = word.load(std::memory_order_relaxed);
    mutex_.unlock();
    const bool woken = futexWait(word, seen, deadline);
    mutex_.lock();
    // Back without a wake of its own (a spurious return): off the stack.
    if (slot && slot->asleep)
        removeSleeperLocked(slot);
    return woken;
}

void ThreadPool::removeSleeperLocked(Slot* slot) {
    for (Slot** at = &sleepers_; *at; at = &(*at)->below) {
        if (*at == slot) {
            *at = slot->below;
            break;
        }
    }
    slot->asleep = false;
    slot->below = nullptr;
    --sleeperCount_;
}

std::size_t ThreadPool::sleepingThreadCount() {
    MutexLock lock(mutex_);
    return sleeperCount_;
}

std::size_t ThreadPool::liveThreadCount() {
    MutexLock lock(mutex_);
    return live_;
}

bool ThreadPool::trySlot(int band, Job& job) {
    auto* slot = static_cast<Slot*>(currentSlot);
    if (!slot || currentPool != this ||
        (currentChain && currentChain->handedOver.load(std::memory_order_relaxed)))
        return false;
    // Run next on this worker, the job would overtake whatever of its
    // priority or a more urgent one is already queued: it queues behind.
    // (The returned jobs' count first: there are almost never any.)
    const bool returned = returnedJobs_.load(std::memory_order_relaxed) != 0;
    for (int b = 0; b <= band; ++b) {
        if (bands_[b]->looksNonEmpty() || (returned && returned_[b]->looksNonEmpty()))
            return false;
    }
    {
        SpinLockGuard guard(slot->lock);
        const std::size_t count = slot->count.load(std::memory_order_relaxed);
        // A hosted chain's slot is emptied under this lock once the chain is
        // handed over (see returnHostedJobs): nothing may join it after that.
        if (count == Slot::kCapacity ||
            (currentChain && currentChain->handedOver.load(std::memory_order_relaxed)))
            return false;
        const std::size_t at = (slot->head + count) % Slot::kCapacity;
        slot->jobs[at] = std::move(job);
        slot->bands[at] = band;
        if (count == 0)
            slot->frontBand.store(band, std::memory_order_relaxed);
        slot->count.store(count + 1, std::memory_order_release);
    }
    if (!currentChain)
        slotted_.fetch_add(1);
    return true;
}

bool ThreadPool::takeSlot(Slot& slot, Job& job, std::atomic<std::size_t>& slotted, int band, int* taken) {
    if (slot.count.load(std::memory_order_acquire) == 0)
        return false;
    {
        SpinLockGuard guard(slot.lock);
        const std::size_t count = slot.count.load(std::memory_order_relaxed);
        if (count == 0 || (band >= 0 && slot.bands[slot.head] != band))
            return false;
        job = std::move(slot.jobs[slot.head]);
        slot.jobs[slot.head].run = nullptr;  // (the pointers are rewritten by the next job)
        if (taken)
            *taken = slot.bands[slot.head];
        slot.head = (slot.head + 1) % Slot::kCapacity;
        if (count > 1)
            slot.frontBand.store(slot.bands[slot.head], std::memory_order_relaxed);
        slot.count.store(count - 1, std::memory_order_release);
    }
    slotted.fetch_sub(1);
    return true;
}

bool ThreadPool::stealSlot(int band, Job& job) {
    for (std::size_t i = 0; i < base_; ++i) {
        Slot& slot = slots_[i];
        // A hint read without the lock; takeSlot looks again under it.
        if (slot.count.load(std::memory_order_acquire) != 0 &&
            slot.frontBand.load(std::memory_order_relaxed) == band && takeSlot(slot, job, slotted_, band))
            return true;
    }
    return false;
}

bool ThreadPool::hasLocalWork() {
    // A thread hosting a chain has duties of its own to go back to.
    if (currentChain)
        return true;
    auto* slot = static_cast<Slot*>(currentSlot);
    return slot && slot->count.load(std::memory_order_relaxed) != 0;
}

bool ThreadPool::returnSlotJobs(Slot& slot, std::atomic<std::size_t>& slotted) {
    Job job;
    int band = 0;
    bool returned = false;
    while (takeSlot(slot, job, slotted, -1, &band)) {
        returned_[band]->push(std::move(job));
        returnedJobs_.fetch_add(1);
        returned = true;
    }
    return returned;
}

void ThreadPool::returnHostedJobs(void* hostSlot, std::atomic<std::size_t>& uncounted) {
    auto* slot = static_cast<Slot*>(hostSlot);
    // Orders this after any job the host put in the slot before it saw the
    // chain handed over (trySlot looks under the lock).
    { SpinLockGuard guard(slot->lock); }
    if (returnSlotJobs(*slot, uncounted)) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        wakeIfNeeded();
    }
}

// The chain's jobs run here as they would on the worker that submitted
// them, one after another; whatever is left after kHostedJobs of them, or
// once the chain is handed over, goes back to the pool.
bool ThreadPool::runChainHere(const std::function<void()>& work, const std::function<bool()>& onBlock) {
    if (currentPool) {
        work();  // a worker (or a chain already hosted): its own slot serves
        return true;
    }
    Slot slot;
    HostedChain chain{&onBlock, &slot};
    ChainHost& host = chainHost();
    host.chain = &chain;
    const std::uint64_t running =
        ((host.state.load(std::memory_order_relaxed) | kPhase) + 1) | kRunning;  // the next number
    host.state.store(running, std::memory_order_seq_cst);
    ChainWatchdog::shared().chainStarted();
    {
        struct Hosting {
            Hosting(ThreadPool* pool, Slot* slot, HostedChain* chain) {
                currentPool = pool;
                currentSlot = slot;
                currentChain = chain;
            }
            ~Hosting() {
                currentPool = nullptr;
                currentSlot = nullptr;
                currentChain = nullptr;
            }
        } hosting(this, &slot, &chain);
        work();
        Job job;
        for (int run = 0; run < kHostedJobs && !chain.handedOver.load(std::memory_order_relaxed) &&
                          takeSlot(slot, job, chain.uncounted);
             ++run) {
            runJob(job);
            if (job.group)
                job.group->leave(1);
            job = Job{};
        }
    }
    // Leaves the chain, unless it has been handed over meanwhile; waits
    // while a hand-over is being decided (the watchdog starting a thread).
    for (;;) {
        std::uint64_t expected = running;
        if (host.state.compare_exchange_strong(expected, running & ~std::uint64_t{kPhase},
                                               std::memory_order_acq_rel)) {
            // The jobs left after kHostedJobs (only this thread adds to the
            // slot, and it is here).
            if (returnSlotJobs(slot, chain.uncounted)) {
                std::atomic_thread_fence(std::memory_order_seq_cst);
                wakeIfNeeded();
            }
            return true;
        }
        if ((expected & kPhase) == kHandedOver) {
            returnHostedJobs(&slot, chain.uncounted);  // submitted before the hand-over showed
            return false;
        }
        std::this_thread::yield();
    }
}

void ThreadPool::submit(int band, Job job) {
    band = std::clamp(band, 0, kBandCount - 1);
    if (trySlot(band, job)) {
        // The hosting thread runs it after the current job: nobody to wake.
        if (currentChain)
            return;
        // Pairs with the fence of a worker that counts itself idle, as below:
        // it sees the slot's job, or this sees it idle and wakes it, so the
        // job runs even while this worker is held up.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        wakeIfNeeded();
        return;
    }
    bands_[band]->push(std::move(job));
    // Pairs with the fence of a worker that counts itself idle (see work()).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    wakeIfNeeded();
    if (live_.load(std::memory_order_relaxed) - blocked_.load(std::memory_order_relaxed) < base_) {
        bool grow;
        {
            MutexLock lock(mutex_);
            grow = shouldGrowLocked();
        }
        if (grow)
            startWorker(nullptr);
    }
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    // A hint for yielding, asked after every batch.
    const bool returned = returnedJobs_.load(std::memory_order_relaxed) != 0;
    for (int b = 0; b <= band; ++b) {
        if (bands_[b]->looksNonEmpty() || (returned && returned_[b]->looksNonEmpty()))
            return true;
    }
    return false;
}

ThreadPool::BlockingScope::BlockingScope() : pool_(currentPool) {
    if (!pool_)
        return;
    if (currentChain) {
        // Not a worker: nothing to count. The jobs waiting behind this one go
        // to the workers (the wait may be for one of them), and so does every
        // job this thread submits from now on; the host learns that it is
        // held up, unless the watchdog has already seen to it.
        pool_ = nullptr;
        ChainHost& host = chainHost();
        for (;;) {
            const std::uint64_t state = host.state.load(std::memory_order_acquire);
            if ((state & kPhase) == kRunning) {
                if (tryHandOver(host, state, true))
                    return;
            } else if ((state & kPhase) == kHandingOver) {
                std::this_thread::yield();  // the watchdog is deciding
            } else {
                return;  // handed over already
            }
        }
    }
    // Jobs this worker took but has not started go back to the pool, and so
    // does the job in its slot: the wait may be for one of them.
    bool handedBack = false;
    if (WorkerBatch* batch = currentBatch; batch && batch->next < batch->end) {
        while (batch->next < batch->end) {
            pool_->returned_[batch->band]->push(std::move(batch->jobs[batch->next++]));
            pool_->returnedJobs_.fetch_add(1);
        }
        handedBack = true;
    }
    if (auto* slot = static_cast<Slot*>(currentSlot); slot && pool_->returnSlotJobs(*slot, pool_->slotted_))
        handedBack = true;
    if (handedBack) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        pool_->wakeIfNeeded();
    }
    bool grow;
    {
        MutexLock lock(pool_->mutex_);
        ++pool_->blocked_;
        grow = pool_->shouldGrowLocked();
    }
    if (grow)
        pool_->startWorker(nullptr);
}

ThreadPool::BlockingScope::~BlockingScope() {
    if (!pool_)
        return;
    MutexLock lock(pool_->mutex_);
    --pool_->blocked_;
}

namespace {
// A worker's leaves of one group not yet counted.
struct PendingLeaves {
    Group* group = nullptr;
    long count = 0;
    void flush() {
        if (count > 0)
            group->leave(count);
        group = nullptr;
        count = 0;
    }
};
// Leaves counted by one atomic step at most.
constexpr long kLeaveBatch = 64;
}  // namespace

// With many jobs queued a worker takes a share of them at once (one atomic
// step instead of one per job, which is what limits workers racing for tiny
// jobs); with few it takes one, so that a long job never holds back others
// that an idle worker could start.
bool ThreadPool::take(Job& job) {
    WorkerBatch* batch = currentBatch;
    if (batch && batch->next < batch->end) {
        job = std::move(batch->jobs[batch->next++]);
        return true;
    }
    // The oldest job this worker handed itself: nothing of its priority was
    // queued before it.
    if (auto* slot = static_cast<Slot*>(currentSlot); slot && takeSlot(*slot, job, slotted_))
        return true;
    for (int b = 0; b < kBandCount; ++b) {
        if (returnedJobs_.load(std::memory_order_relaxed) != 0 && returned_[b]->pop(job)) {
            returnedJobs_.fetch_sub(1);
            return true;
        }
        if (slotted_.load(std::memory_order_acquire) != 0 && stealSlot(b, job))
            return true;
        JobQueue& band = *bands_[b];
        const std::size_t share = batch ? std::min(band.backlog() / (2 * base_), WorkerBatch::kMax) : 0;
        if (share > 1) {
            if (const std::size_t n = band.popBatch(batch->jobs, share)) {
                job = std::move(batch->jobs[0]);
                batch->next = 1;
                batch->end = n;
                batch->band = b;
                return true;
            }
        }
        if (band.pop(job))
            return true;
    }
    return false;
}

bool ThreadPool::spinForWork() {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 0;; ++i) {
        // A slot's job is left to its worker, which is about to run it: the
        // spinner stays free for the next submit, and takes the job only
        // once it stops spinning (below) if the worker has not by then.
        if (hasWork(false))
            return true;
        // Several pauses between looks: a look reads a line of every band,
        // lines each submit writes, so looking less often leaves them to the
        // submitters; a job is still seen within a few hundred nanoseconds,
        // far less than the wake-up the spin spares. The clock is read
        // every kLooksPerClockCheck looks and the processor yielded at every
        // fourth check (see lingerForItems in Queue.cpp): a yield is a system
        // call, but without any a thread woken onto this processor (a
        // worker, the main thread) waits for the spin to end.
        for (unsigned pause = 0; pause < kPausesPerLook; ++pause)
            cpuRelax();
        if (i % kLooksPerClockCheck == kLooksPerClockCheck - 1) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            if (i % (4 * kLooksPerClockCheck) == 4 * kLooksPerClockCheck - 1)
                std::this_thread::yield();
        }
    }
}

bool ThreadPool::waitForJob(Job& job, bool extra) {
    for (;;) {
        std::size_t none = 0;
        if (spinning_.compare_exchange_strong(none, 1)) {
            spinForWork();
            --spinning_;
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (take(job))
                return true;
        }
        MutexLock lock(mutex_);
        ++idle_;
        // Pairs with the fence after a submit's push: either this sees the
        // job, or the submit sees this worker idle and wakes it. The take
        // itself happens outside the lock, which submits may need.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (hasWork()) {
            --idle_;
            lock.unlock();
            if (take(job))
                return true;
            // Another worker took it, or its push is not finished: the
            // pusher may need this core to finish it.
            std::this_thread::yield();
            continue;
        }
        if (extra) {
            const auto deadline = std::chrono::steady_clock::now() + kExtraLinger;
            while (!hasWork() && sleep(nullptr, &deadline)) {
            }
            --idle_;
            if (wakesPending_ > 0)
                --wakesPending_;
            --live_;
            // Pairs with a submit's fence: it sees one worker fewer and
            // starts another, or this sees its job and stays.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (!hasWork())
                return false;
            ++live_;
        } else {
            (void)sleep(static_cast<Slot*>(currentSlot), nullptr);
            --idle_;
            if (wakesPending_ > 0)
                --wakesPending_;
        }
        lock.unlock();
        if (take(job))
            return true;
    }
}

void ThreadPool::work(Slot* slot) {
    const bool extra = slot == nullptr;
    // Named for profilers and debuggers.
    (void)pthread_setname_np(pthread_self(), extra ? "dispatch-extra" : "dispatch-worker");
    currentPool = this;
    currentSlot = slot;
    WorkerBatch batch;
    currentBatch = &batch;
    Job job;
    PendingLeaves pending;
    for (;;) {
        if (!take(job)) {
            pending.flush();
            if (!waitForJob(job, extra))
                return;
        }
        // More work waiting: hand it to another worker.
        wakeIfNeeded();
        // Leaves are counted up while this worker runs jobs of one group and
        // handed over at once: the group cannot empty while one of its jobs
        // runs anyway, and one atomic step per batch keeps its count from
        // bouncing between the workers for every job.
        if (job.group != pending.group)
            pending.flush();
        runJob(job);
        if (job.group) {
            pending.group = job.group;
            if (++pending.count == kLeaveBatch)
                pending.flush();
        }
        job = Job{};
    }
}

}  // namespace plat::dispatch::detail
