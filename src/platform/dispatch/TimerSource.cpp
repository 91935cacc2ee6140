#include "platform/dispatch/TimerSource.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

std::shared_ptr<TimerSource> TimerSource::create(Queue queue, std::shared_ptr<Clock> clock) {
    if (!queue) {
        throw DispatchException("TimerSource::create: empty queue");
    }
    if (!clock) {
        clock = queue.clock();
    }
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue), std::move(clock)));
}

TimerSource::TimerSource(Queue queue, std::shared_ptr<Clock> clock)
    : queue_(std::move(queue)), clock_(std::move(clock)), order_(Clock::nextOrder()) {}

TimerSource::~TimerSource() {
    // No handler call can be running: each holds a reference to the timer.
    if (cancelled_) {
        return;
    }
    if (token_) {
        clock_->cancel(token_);
    }
    if (cancelHandler_) {
        queue_.async(std::move(cancelHandler_));
    }
}

void TimerSource::setTimer(double start, double interval, double leeway) {
    if (std::isnan(start) || std::isnan(interval) || std::isnan(leeway)) {
        throw std::invalid_argument("TimerSource::setTimer: NaN time");
    }
    MutexLock lock(mutex_);
    if (cancelled_) {
        return;
    }
    configured_ = true;
    deadline_ = clock_->now() + std::max(start, 0.0);
    interval_ = interval > 0 ? interval : Forever;
    leeway_ = std::max(leeway, 0.0);
    ++generation_;
    firingPending_ = false;  // a firing of the old schedule will find the generation changed
    if (token_) {
        clock_->cancel(token_);
        token_ = 0;
    }
    if (resumed_) {
        armLocked();
    }
}

void TimerSource::setEventHandler(Block handler) {
    MutexLock lock(mutex_);
    if (!cancelled_) {
        handler_ = std::move(handler);
    }
}

void TimerSource::setCancelHandler(Block handler) {
    MutexLock lock(mutex_);
    if (!cancelled_) {
        cancelHandler_ = std::move(handler);
    }
}

void TimerSource::resume() {
    MutexLock lock(mutex_);
    if (resumed_ || cancelled_) {
        return;
    }
    resumed_ = true;
    if (configured_) {
        armLocked();
    }
}

void TimerSource::cancel() {
    MutexLock lock(mutex_);
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    if (token_) {
        clock_->cancel(token_);
        token_ = 0;
    }
    handler_ = nullptr;  // handlers often hold the timer: break that cycle now
    if (running_ == 0) {
        postCancelHandlerLocked();
    }
}

bool TimerSource::isCancelled() const {
    MutexLock lock(mutex_);
    return cancelled_;
}

double TimerSource::leeway() const {
    MutexLock lock(mutex_);
    return leeway_;
}

// The clock calls back without holding its own lock, so taking ours here
// cannot deadlock with setTimer()/cancel(), which call the clock under ours.
void TimerSource::armLocked() {
    token_ = clock_->schedule(deadline_, order_, [weak = weak_from_this(), generation = generation_] {
        if (auto self = weak.lock()) {
            self->onFire(generation);
        }
    });
}

void TimerSource::onFire(std::uint64_t generation) {
    MutexLock lock(mutex_);
    if (cancelled_ || generation != generation_) {
        return;
    }
    token_ = 0;
    if (std::isfinite(interval_)) {
        deadline_ += interval_;
        double now = clock_->now();
        if (deadline_ <= now) {  // fell behind (a stalled process): skip the missed periods
            deadline_ += (std::floor((now - deadline_) / interval_) + 1) * interval_;
        }
        if (deadline_ <= now) {  // an interval below the clock's resolution at this time
            deadline_ = std::nextafter(now, Forever);
        }
        armLocked();
    }
    if (!firingPending_) {
        firingPending_ = true;
        queue_.async([self = shared_from_this(), generation] { self->deliver(generation); });
    }
}

void TimerSource::deliver(std::uint64_t generation) {
    Block handler;
    {
        MutexLock lock(mutex_);
        if (generation != generation_) {
            return;
        }
        firingPending_ = false;
        if (cancelled_ || !handler_) {
            return;
        }
        ++running_;
        handler = handler_;
    }
    struct Finish {
        TimerSource* timer;
        ~Finish() {
            MutexLock lock(timer->mutex_);
            if (--timer->running_ == 0 && timer->cancelled_) {
                timer->postCancelHandlerLocked();
            }
        }
    } finish{this};
    handler();
}

void TimerSource::postCancelHandlerLocked() {
    if (cancelHandler_) {
        queue_.async(std::move(cancelHandler_));
        cancelHandler_ = nullptr;
    }
}

}  // namespace plat::dispatch
