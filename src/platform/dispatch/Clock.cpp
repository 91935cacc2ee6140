#include "platform/dispatch/Clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace plat::dispatch {

std::uint64_t Clock::nextOrder() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- SystemClock

namespace {

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::steady_clock::time_point steadyPoint(double seconds) {
    using namespace std::chrono;
    // Clamp so that a far deadline cannot overflow the clock's integer ticks.
    double capped = std::min(seconds, 1e9);
    return steady_clock::time_point(duration_cast<steady_clock::duration>(duration<double>(capped)));
}

}  // namespace

// Entries sit in a min-heap by (deadline, order); the callbacks live in a
// map by token. Cancelling only erases the callback: its heap slot is skipped
// when it reaches the top, and the heap is compacted when such slots pile up.
struct SystemClock::State {
    struct Slot {
        double deadline;
        std::uint64_t order;
        Token token;
        bool operator>(const Slot& other) const {
            return std::tie(deadline, order, token) > std::tie(other.deadline, other.order, other.token);
        }
    };

    Mutex mutex;
    ConditionVariable wake;
    std::vector<Slot> heap GUARDED_BY(mutex);
    std::unordered_map<Token, std::function<void()>> live GUARDED_BY(mutex);
    Token nextToken GUARDED_BY(mutex) = 1;
    bool stopping GUARDED_BY(mutex) = false;
    std::thread thread;  // set by the constructor, joined by the destructor

    void push(const Slot& slot) REQUIRES(mutex) {
        heap.push_back(slot);
        std::push_heap(heap.begin(), heap.end(), std::greater<>());
    }
    void pop() REQUIRES(mutex) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<>());
        heap.pop_back();
    }
    void dropCancelledTop() REQUIRES(mutex) {
        while (!heap.empty() && !live.contains(heap.front().token)) {
            pop();
        }
    }
    void compactIfSparse() REQUIRES(mutex) {
        if (heap.size() > 64 && heap.size() > 2 * live.size()) {
            // A loop, not erase_if with a lambda: the thread-safety analysis
            // takes a lambda for a function that holds no lock.
            std::size_t kept = 0;
            for (const Slot& slot : heap) {
                if (live.contains(slot.token))
                    heap[kept++] = slot;
            }
            heap.resize(kept);
            std::make_heap(heap.begin(), heap.end(), std::greater<>());
        }
    }

    void loop() EXCLUDES(mutex) {
        MutexLock lock(mutex);
        while (!stopping) {
            dropCancelledTop();
            if (heap.empty()) {
                wake.wait(mutex);
                continue;
            }
            double deadline = heap.front().deadline;
            if (deadline > steadySeconds()) {
                wake.waitUntil(mutex, steadyPoint(deadline));
                continue;
            }
            auto found = live.find(heap.front().token);
            auto fire = std::move(found->second);
            live.erase(found);
            pop();
            lock.unlock();
            fire();
            fire = nullptr;  // its captures may call back into the clock
            lock.lock();
        }
    }
};

SystemClock::SystemClock() : state_(std::make_shared<State>()) {
    // The thread owns the state too, so that a clock destroyed from one of its
    // own firings does not pull the state from under the running loop.
    state_->thread = std::thread([state = state_] { state->loop(); });
}

SystemClock::~SystemClock() {
    {
        MutexLock lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notifyAll();
    if (state_->thread.get_id() == std::this_thread::get_id()) {
        state_->thread.detach();  // destroyed from its own firing: the loop ends by itself
    } else {
        state_->thread.join();
    }
}

double SystemClock::now() const {
    return steadySeconds();
}

Clock::Token SystemClock::schedule(double deadline, std::uint64_t order, std::function<void()> fire) {
    if (std::isnan(deadline)) {
        throw std::invalid_argument("SystemClock::schedule: deadline is NaN");
    }
    bool earliest;
    Token token;
    {
        MutexLock lock(state_->mutex);
        token = state_->nextToken++;
        state_->live.emplace(token, std::move(fire));
        state_->push(State::Slot{deadline, order, token});
        earliest = state_->heap.front().token == token;
    }
    if (earliest) {
        state_->wake.notifyOne();
    }
    return token;
}

bool SystemClock::cancel(Token token) {
    std::function<void()> dropped;  // destroyed after the lock is released
    MutexLock lock(state_->mutex);
    auto found = state_->live.find(token);
    if (found == state_->live.end()) {
        return false;
    }
    dropped = std::move(found->second);
    state_->live.erase(found);
    state_->compactIfSparse();
    return true;
}

// ---------------------------------------------------------------- ManualClock

double ManualClock::now() const {
    MutexLock lock(mutex_);
    return now_;
}

Clock::Token ManualClock::schedule(double deadline, std::uint64_t order, std::function<void()> fire) {
    if (std::isnan(deadline)) {
        throw std::invalid_argument("ManualClock::schedule: deadline is NaN");
    }
    MutexLock lock(mutex_);
    Token token = nextToken_++;
    entries_.push_back(Entry{deadline, order, token, std::move(fire)});
    return token;
}

bool ManualClock::cancel(Token token) {
    std::function<void()> dropped;  // destroyed after the lock is released
    MutexLock lock(mutex_);
    auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
    if (found == entries_.end()) {
        return false;
    }
    dropped = std::move(found->fire);
    entries_.erase(found);
    return true;
}

bool ManualClock::popDue(double target, Entry& out) {
    MutexLock lock(mutex_);
    auto earliest = std::min_element(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.deadline, a.order, a.token) < std::tie(b.deadline, b.order, b.token);
    });
    if (earliest == entries_.end() || earliest->deadline > target) {
        now_ = target;
        return false;
    }
    out = std::move(*earliest);
    entries_.erase(earliest);
    now_ = std::max(now_, out.deadline);
    return true;
}

void ManualClock::advance(double seconds) {
    if (!(seconds >= 0) || std::isinf(seconds)) {
        throw std::invalid_argument(
            "ManualClock::advance: the step must be a finite, non-negative number of seconds");
    }
    MutexLock serial(advanceMutex_);
    double target = now() + seconds;
    Entry entry;
    while (popDue(target, entry)) {
        entry.fire();
        entry.fire = nullptr;  // its captures may call back into the clock
    }
}

std::size_t ManualClock::pendingCount() const {
    MutexLock lock(mutex_);
    return entries_.size();
}

// ---------------------------------------------------------------- default

namespace {

struct DefaultClockSlot {
    Mutex mutex;
    std::shared_ptr<Clock> installed GUARDED_BY(mutex);
    std::shared_ptr<Clock> system GUARDED_BY(mutex);
};

// Never destroyed: timers may still ask for the clock while the process exits.
DefaultClockSlot& defaultSlot() {
    static auto* slot = new DefaultClockSlot;
    return *slot;
}

}  // namespace

std::shared_ptr<Clock> defaultClock() {
    auto& slot = defaultSlot();
    MutexLock lock(slot.mutex);
    if (slot.installed) {
        return slot.installed;
    }
    if (!slot.system) {
        slot.system = std::make_shared<SystemClock>();
    }
    return slot.system;
}

void setDefaultClock(std::shared_ptr<Clock> clock) {
    auto& slot = defaultSlot();
    MutexLock lock(slot.mutex);
    slot.installed = std::move(clock);
}

}  // namespace plat::dispatch
