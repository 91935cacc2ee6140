// The signal handler chain with real signals, each case in a forked child
// (handlers are process-wide): callback order, forwarding, the previous
// actions, and how the process ends when nothing handles the signal.
#include "crashcapture/KCRCrashSignalHandler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"

namespace {

using kcr::KCRCrashSignalHandler;
using kcr::KCRSignalHandlerNext;

// A loop in the handler must not hang the suite: the child ends after 20 s.
const auto in_child = [](const std::function<int()>& body) { return testsupport::exitCodeOfChild(body, 20); };

char gOrder[8];
int gCount = 0;
void note(char c) {
    if (gCount < 7)
        gOrder[gCount++] = c;
}

bool callback_a(int, siginfo_t*, ucontext_t*, void*, KCRSignalHandlerNext*) {
    note('A');
    return true;
}
bool callback_b_forwards(int signo, siginfo_t* info, ucontext_t* uap, void*, KCRSignalHandlerNext* next) {
    note('B');
    return kcr::signal_handler_forward(next, signo, info, uap);
}
bool callback_c_handles(int, siginfo_t*, ucontext_t*, void*, KCRSignalHandlerNext*) {
    note('C');
    return true;
}
bool callback_not_handled(int, siginfo_t*, ucontext_t*, void*, KCRSignalHandlerNext*) {
    note('N');
    return false;
}
void previous_plain(int) {
    note('P');
}
void previous_info(int, siginfo_t* info, void*) {
    note(info != nullptr ? 'I' : 'i');
}

__attribute__((no_sanitize("address", "undefined"))) void fault() {
    volatile uintptr_t null = 0;
    *reinterpret_cast<volatile int*>(null) = 1;
}

struct ChainCase {
    const char* name;
    std::function<void()> before;                        // runs before registering (previous actions)
    std::vector<kcr::SignalCallbackFunction> callbacks;  // registered in this order
    int signo;
    const char* order;  // what ran
    int ended;          // expected in_child result
};

TEST(SignalHandlerChain, OrderForwardingAndPreviousActions) {
    auto install = [](void (*handler)(int)) {
        return [handler] {
            struct sigaction action {};
            action.sa_handler = handler;
            sigemptyset(&action.sa_mask);
            sigaction(SIGUSR1, &action, nullptr);
        };
    };
    auto install_info = [] {
        struct sigaction action {};
        action.sa_sigaction = previous_info;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
    };
    const ChainCase cases[] = {
        // Registered A then B: B runs first; A only because B forwards.
        {"later callbacks run first", [] {}, {callback_a, callback_b_forwards}, SIGUSR1, "BA", 0},
        {"a handling callback stops the chain", [] {}, {callback_a, callback_c_handles}, SIGUSR1, "C", 0},
        // Nothing handles it: the default action ends the process, once.
        {"unhandled ends with the default action",
         [] {},
         {callback_not_handled},
         SIGUSR1,
         "N",
         100 + SIGUSR1},
        {"previous handler runs", install(previous_plain), {callback_b_forwards}, SIGUSR1, "BP", 0},
        {"previous SA_SIGINFO handler gets the info", install_info, {callback_b_forwards}, SIGUSR1, "BI", 0},
        {"previous ignore counts as handled", install(SIG_IGN), {callback_b_forwards}, SIGUSR1, "B", 0},
        // A saved SIG_DFL with SA_SIGINFO is not called as a function.
        {"previous default with SA_SIGINFO",
         [] {
             struct sigaction action {};
             action.sa_handler = SIG_DFL;
             action.sa_flags = SA_SIGINFO;
             sigaction(SIGUSR1, &action, nullptr);
         },
         {callback_b_forwards},
         SIGUSR1,
         "B",
         100 + SIGUSR1},
    };
    for (const ChainCase& c : cases) {
        const int result = in_child([&] {
            c.before();
            auto& handler = KCRCrashSignalHandler::sharedHandler();
            for (auto callback : c.callbacks) {
                if (!handler.registerHandlerForSignal(c.signo, callback, nullptr))
                    return 90;
                // Registering the same callback again changes nothing.
                if (!handler.registerHandlerForSignal(c.signo, callback, nullptr))
                    return 91;
            }
            raise(c.signo);
            gOrder[gCount] = '\0';
            return std::string(gOrder) == c.order ? 0 : 92;
        });
        EXPECT_EQ(result, c.ended) << c.name;
    }
}

TEST(SignalHandlerChain, RegisteringTwiceKeepsTheFirstPreviousAction) {
    EXPECT_EQ(
        in_child([] {
            struct sigaction action {};
            action.sa_handler = previous_plain;
            sigemptyset(&action.sa_mask);
            sigaction(SIGUSR2, &action, nullptr);
            auto& handler = KCRCrashSignalHandler::sharedHandler();
            if (!handler.registerHandlerWithSignal(SIGUSR2) || !handler.registerHandlerWithSignal(SIGUSR2))
                return 1;
            struct sigaction saved {};
            if (!KCRCrashSignalHandler::previousAction(SIGUSR2, &saved) || saved.sa_handler != previous_plain)
                return 2;
            stack_t stack{};
            sigaltstack(nullptr, &stack);
            // Ours, or one the sanitizer runtime had installed already.
            if ((stack.ss_flags & SS_DISABLE) != 0)
                return 3;
            return 0;
        }),
        0);
}

// After the lists are emptied our action is still installed; a fault must
// still end the process by its signal rather than loop through the handler.
TEST(SignalHandlerChain, EmptyChainNeverLoopsOnAFault) {
    EXPECT_EQ(in_child([] {
                  auto& handler = KCRCrashSignalHandler::sharedHandler();
                  handler.registerHandlerForSignal(SIGSEGV, callback_not_handled, nullptr);
                  KCRCrashSignalHandler::resetHandlers();
                  fault();
                  return 0;
              }),
              100 + SIGSEGV);
    // An ignored fault cannot be honoured: returning would fault again for ever.
    EXPECT_EQ(in_child([] {
                  signal(SIGSEGV, SIG_IGN);
                  KCRCrashSignalHandler::sharedHandler().registerHandlerForSignal(
                      SIGSEGV, callback_b_forwards, nullptr);
                  fault();
                  return 0;
              }),
              100 + SIGSEGV);
}

}  // namespace
