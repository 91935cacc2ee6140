// Sleeping on a 32-bit word without a mutex. Internal to the dispatch layer.
//
// The layer's hottest sleeps (an idle worker, the idle main loop) wait on a
// word instead of a condition variable: a waiter reads the word, checks its
// condition and then sleeps only while the word still holds what it read; a
// waker makes the condition true, changes the word and wakes. A wake-up then
// re-takes no lock. (glibc's condition variable re-takes its mutex marked as
// contended, so that every wait also cost a futex call on the mutex's next
// release, with nobody to wake.)
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace plat::dispatch::detail {

// Sleeps while `word` holds `expected`, until woken (spurious wake-ups
// happen: callers look at their condition again) or, when given, until
// `deadline`. False when the deadline passed.
bool futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::steady_clock::time_point* deadline = nullptr);

// Wakes up to `count` threads sleeping on `word`.
void futexWake(std::atomic<std::uint32_t>& word, int count);

}  // namespace plat::dispatch::detail
