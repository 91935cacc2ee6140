// Callbacks registered from several threads while signals run the chain on
// another: every registration lands once and the chain never sees a torn
// list. Runs in the ThreadSanitizer build.
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRCrashSignalHandler.h"

namespace {

std::atomic<int> gCalls{0};

bool count_and_forward(int signo, siginfo_t* info, ucontext_t* uap, void*, kcr::KCRSignalHandlerNext* next) {
    gCalls.fetch_add(1, std::memory_order_relaxed);
    kcr::signal_handler_forward(next, signo, info, uap);
    return true;
}

TEST(SignalHandlerChainConcurrent, RegistrationWhileSignalsRun) {
    // The previous action ignores the signal, so the chain's end handles it.
    signal(SIGUSR2, SIG_IGN);
    auto& handler = kcr::KCRCrashSignalHandler::sharedHandler();
    ASSERT_TRUE(handler.registerHandlerForSignal(SIGUSR2, count_and_forward, nullptr));
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        while (!stop.load())
            raise(SIGUSR2);
    });
    constexpr int kThreads = 4, kEach = 25;
    static int contexts[kThreads * kEach];
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                void* context = &contexts[t * kEach + i];
                handler.registerHandlerForSignal(SIGUSR2, count_and_forward, context);
                handler.registerHandlerForSignal(SIGUSR2, count_and_forward, context);  // no duplicate
            }
        });
    }
    for (auto& w : writers)
        w.join();
    stop = true;
    raiser.join();
    // One more signal now runs every callback exactly once.
    gCalls = 0;
    raise(SIGUSR2);
    EXPECT_EQ(gCalls.load(), kThreads * kEach + 1);
    kcr::KCRCrashSignalHandler::resetHandlers();
}

}  // namespace
