#include "platform/dispatch/detail/Futex.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace plat::dispatch::detail {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

bool futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::steady_clock::time_point* deadline) {
    auto* address = reinterpret_cast<std::uint32_t*>(&word);
    if (!deadline) {
        (void)syscall(SYS_futex, address, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
        return true;
    }
    // The steady clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as
    // an absolute time: no clock read here, and none after an interruption.
    const auto since = deadline->time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    if (seconds.count() < 0)
        return false;
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    const long result = syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE, expected, &at, nullptr,
                                FUTEX_BITSET_MATCH_ANY);
    return !(result != 0 && errno == ETIMEDOUT);
}

void futexWake(std::atomic<std::uint32_t>& word, int count) {
    (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
                  nullptr, 0);
}

}  // namespace plat::dispatch::detail
