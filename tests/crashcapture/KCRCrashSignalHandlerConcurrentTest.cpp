// Callbacks registered from several threads while signals run the chain on
// another: every registration lands once and the chain never sees a torn
// list. Runs in the ThreadSanitizer build.
#include <signal.h>

#include <atomic>
#include <memory>
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

// Each callback forwards to the next, so a signal walks the whole chain
// (over a hundred callbacks here) in nested calls: more than the alternate
// stack the sanitizer runtimes give each thread holds. The threads that raise
// use one large enough for the walk while this object lives, and give the
// previous one back after (the runtime frees its own when the thread ends).
class LargeAlternateStack {
  public:
    LargeAlternateStack() : memory_(new char[kSize]) {
        stack_t stack{};
        stack.ss_sp = memory_.get();
        stack.ss_size = kSize;
        installed_ = sigaltstack(&stack, &previous_) == 0;
    }
    ~LargeAlternateStack() {
        if (installed_)
            (void)sigaltstack(&previous_, nullptr);  // restores what was there: cannot fail
    }
    bool installed() const { return installed_; }

  private:
    static constexpr std::size_t kSize = 1 << 20;
    std::unique_ptr<char[]> memory_;
    stack_t previous_{};
    bool installed_ = false;
};

TEST(SignalHandlerChainConcurrent, RegistrationWhileSignalsRun) {
    // The previous action ignores the signal, so the chain's end handles it.
    signal(SIGUSR2, SIG_IGN);
    auto& handler = kcr::KCRCrashSignalHandler::sharedHandler();
    ASSERT_TRUE(handler.registerHandlerForSignal(SIGUSR2, count_and_forward, nullptr));
    std::atomic<bool> stop{false};
    std::atomic<bool> raiserStack{true};
    std::thread raiser([&] {
        LargeAlternateStack stack;
        raiserStack = stack.installed();
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
    ASSERT_TRUE(raiserStack.load());
    // One more signal now runs every callback exactly once.
    gCalls = 0;
    {
        LargeAlternateStack stack;
        ASSERT_TRUE(stack.installed());
        raise(SIGUSR2);
    }
    EXPECT_EQ(gCalls.load(), kThreads * kEach + 1);
    kcr::KCRCrashSignalHandler::resetHandlers();
}

}  // namespace
