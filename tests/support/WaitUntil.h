// Test helper: waits for a condition that another thread or process brings
// about. The deadline is generous: only a hang reaches it, never a slow
// machine, so a test must not use it to measure time.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Seconds a condition may take before the wait counts as a hang.
inline constexpr double kHangSeconds = 60;

// Polls `condition` until it holds; false when `seconds` pass first.
template <class Condition>
bool waitUntil(Condition&& condition, double seconds = kHangSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
