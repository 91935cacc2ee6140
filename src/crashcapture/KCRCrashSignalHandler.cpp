#include "crashcapture/KCRCrashSignalHandler.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "crashcapture/KCRAsyncErrors.h"
#include "crashcapture/KCRAsyncSafeList.h"
#include "platform/foundation/Mutex.h"

namespace kcr {

namespace {

struct CallbackEntry {
    SignalCallbackFunction callback = nullptr;
    void* context = nullptr;
    bool operator==(const CallbackEntry& other) const {
        return callback == other.callback && context == other.context;
    }
};

struct PreviousAction {
    int signo = 0;
    struct sigaction action {};
    bool operator==(const PreviousAction& other) const { return signo == other.signo; }
};

using CallbackList = async::async_safe_list<CallbackEntry>;
using ActionList = async::async_safe_list<PreviousAction>;

// Set up before any handler is installed and never destroyed: a crash during
// exit (other threads still run while static destructors do) must still find
// them.
CallbackList* gCallbacks = nullptr;
ActionList* gActions = nullptr;
std::once_flag gListsOnce;
// Registrations one at a time: the lists take one writer at a time (the
// handler reads them without it), and the alternate stack is installed once.
plat::Mutex gRegisterMutex;
// The shared handler's stack is installed on some thread.
bool gStackInstalled GUARDED_BY(gRegisterMutex) = false;

void ensure_lists() {
    std::call_once(gListsOnce, [] {
        gCallbacks = new CallbackList;
        gActions = new ActionList;
    });
}

bool is_fault_signal(int signo) {
    return signo == SIGSEGV || signo == SIGBUS || signo == SIGILL || signo == SIGFPE || signo == SIGTRAP;
}

bool iterate(CallbackList::node* previous, int signo, siginfo_t* info, ucontext_t* context);

}  // namespace

struct KCRSignalHandlerNext {
    CallbackList::node* node;
};

namespace {

bool iterate(CallbackList::node* previous, int signo, siginfo_t* info, ucontext_t* context) {
    gCallbacks->set_reading(true);
    bool handled = false;
    CallbackList::node* n = gCallbacks->next(previous);
    if (n != nullptr) {
        KCRSignalHandlerNext handle{n};
        KCRSignalHandlerNext* next = gCallbacks->next(n) != nullptr ? &handle : nullptr;
        handled = n->value.callback(signo, info, context, n->value.context, next);
    }
    gCallbacks->set_reading(false);
    return handled;
}

// The last link of the chain: hands the signal to the action that was
// installed before ours.
bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* context, void*,
                              KCRSignalHandlerNext* next) {
    if (next != nullptr && signal_handler_forward(next, signo, info, context))
        return true;
    bool found = false;
    struct sigaction saved {};
    gActions->set_reading(true);
    for (auto* n = gActions->next(nullptr); n != nullptr; n = gActions->next(n)) {
        if (n->value.signo == signo) {
            saved = n->value.action;
            found = true;
            break;
        }
    }
    gActions->set_reading(false);
    if (!found)
        return false;
    // SIG_DFL and SIG_IGN are values, not functions, whatever the flags say.
    if (saved.sa_handler == SIG_DFL)
        return false;
    if (saved.sa_handler == SIG_IGN) {
        // A fault the kernel raised cannot be ignored: returning would run the
        // faulting instruction again, for ever. The kernel itself ends such a
        // process, so do the same.
        return !(is_fault_signal(signo) && info != nullptr && info->si_code > 0);
    }
    if ((saved.sa_flags & SA_SIGINFO) != 0) {
        saved.sa_sigaction(signo, info, context);
    } else {
        saved.sa_handler(signo);
    }
    return true;
}

void signal_handler(int signo, siginfo_t* info, void* uap) {
    const int saved_errno = errno;
    const bool handled = iterate(nullptr, signo, info, static_cast<ucontext_t*>(uap));
    if (!handled) {
        // Raise again with the default action in place: when no callback has
        // reset it, our own action would catch the signal again and again.
        struct sigaction current {};
        if (sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
            current.sa_sigaction == signal_handler) {
            struct sigaction fallback {};
            fallback.sa_handler = SIG_DFL;
            // Neither fails for our own set and a signal we caught; and if
            // the raise below came back to us, we would return once more and
            // the default action of the fault would end the process.
            (void)sigemptyset(&fallback.sa_mask);
            (void)sigaction(signo, &fallback, nullptr);
        }
        // Fails only for an invalid signal: this one was just delivered.
        (void)raise(signo);
    }
    errno = saved_errno;
}

}  // namespace

bool signal_handler_forward(KCRSignalHandlerNext* next, int signo, siginfo_t* info, ucontext_t* context) {
    if (next == nullptr)
        return false;
    return iterate(next->node, signo, info, context);
}

KCRCrashSignalHandler::KCRCrashSignalHandler() {
    stack_ = std::malloc(kAlternateStackSize);
}

KCRCrashSignalHandler& KCRCrashSignalHandler::sharedHandler() {
    static KCRCrashSignalHandler* shared = new KCRCrashSignalHandler;
    return *shared;
}

namespace {

// The alternate stack goes to the first registering thread that has none:
// one stack must never serve two threads (two crashing at once would share
// it), and a stack someone else installed (the sanitizer runtime, the
// application) stays in place.
bool install_alternate_stack(void* memory, plat::ErrorPtr* error) REQUIRES(gRegisterMutex) {
    stack_t current{};
    const bool has_one = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
    if (has_one || gStackInstalled)
        return true;
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = KCRCrashSignalHandler::kAlternateStackSize;
    stack.ss_flags = 0;
    if (memory == nullptr || sigaltstack(&stack, nullptr) != 0) {
        async::populate_posix_error(error, memory == nullptr ? ENOMEM : errno,
                                    "Could not initialize alternative signal stack");
        return false;
    }
    gStackInstalled = true;
    return true;
}

// One forwarding link at the end of the chain, whatever the number of signals.
void ensure_forwarding_link() REQUIRES(gRegisterMutex) {
    const CallbackEntry forward{previous_action_callback, nullptr};
    bool have_forward = false;
    gCallbacks->set_reading(true);
    for (auto* n = gCallbacks->next(nullptr); n != nullptr; n = gCallbacks->next(n))
        have_forward = have_forward || n->value == forward;
    gCallbacks->set_reading(false);
    if (!have_forward)
        gCallbacks->append(forward);
}

bool action_saved(int signo) {
    bool registered = false;
    gActions->set_reading(true);
    for (auto* n = gActions->next(nullptr); n != nullptr; n = gActions->next(n))
        registered = registered || n->value.signo == signo;
    gActions->set_reading(false);
    return registered;
}

// Saves the signal's current action and installs ours. The list entry must
// exist before the handler can run, so the previous action is read first
// and the entry added before installing.
bool install_action(int signo, plat::ErrorPtr* error) REQUIRES(gRegisterMutex) {
    struct sigaction action {};
    action.sa_sigaction = signal_handler;
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    (void)sigemptyset(&action.sa_mask);  // cannot fail on our own set
    PreviousAction previous;
    previous.signo = signo;
    if (sigaction(signo, nullptr, &previous.action) != 0) {
        async::populate_posix_error(error, errno, "Failed to register signal handler");
        return false;
    }
    gActions->append(previous);
    if (sigaction(signo, &action, nullptr) != 0) {
        const int failure = errno;
        gActions->remove(previous);
        async::populate_posix_error(error, failure, "Failed to register signal handler");
        return false;
    }
    return true;
}

}  // namespace

bool KCRCrashSignalHandler::registerHandlerWithSignal(int signo, plat::ErrorPtr* error) {
    ensure_lists();
    plat::MutexLock lock(gRegisterMutex);
    if (!install_alternate_stack(stack_, error))
        return false;
    ensure_forwarding_link();
    return action_saved(signo) || install_action(signo, error);
}

bool KCRCrashSignalHandler::registerHandlerForSignal(int signo, SignalCallbackFunction callback,
                                                     void* context, plat::ErrorPtr* error) {
    if (!registerHandlerWithSignal(signo, error))
        return false;
    plat::MutexLock lock(gRegisterMutex);
    const CallbackEntry entry{callback, context};
    bool present = false;
    gCallbacks->set_reading(true);
    for (auto* n = gCallbacks->next(nullptr); n != nullptr; n = gCallbacks->next(n))
        present = present || n->value == entry;
    gCallbacks->set_reading(false);
    if (!present)
        gCallbacks->prepend(entry);
    return true;
}

void KCRCrashSignalHandler::resetHandlers() {
    ensure_lists();
    plat::MutexLock lock(gRegisterMutex);
    for (;;) {
        auto* n = gActions->next(nullptr);
        if (n == nullptr)
            break;
        gActions->remove(n->value);
    }
    for (;;) {
        auto* n = gCallbacks->next(nullptr);
        if (n == nullptr)
            break;
        gCallbacks->remove(n->value);
    }
}

bool KCRCrashSignalHandler::previousAction(int signo, struct sigaction* action) {
    ensure_lists();
    bool found = false;
    gActions->set_reading(true);
    for (auto* n = gActions->next(nullptr); n != nullptr; n = gActions->next(n)) {
        if (n->value.signo == signo) {
            *action = n->value.action;
            found = true;
            break;
        }
    }
    gActions->set_reading(false);
    return found;
}

}  // namespace kcr
