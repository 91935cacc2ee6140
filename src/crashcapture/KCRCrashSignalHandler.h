// The process's crash signal handlers: one handler per signal, run on an
// alternate stack, dispatching every caught signal through a chain of
// callbacks that ends in the action installed before ours.
//
// The chain and the saved actions live in two async-safe lists, so the
// handler reads them without locks or allocation while ordinary threads add
// entries. A callback is added once: registering the same callback and
// context again changes nothing, so a callback that forwards never runs twice.
//
// When no callback handles the signal, the handler makes sure its own action
// is no longer installed (the default takes its place) and raises the signal
// again, so the process ends exactly as the signal's default action would end
// it (core dump included) and never loops through the handler.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstddef>

#include "platform/foundation/Error.h"

namespace kcr {

// A handle on the rest of the chain after a callback.
struct KCRSignalHandlerNext;

// Returns true when the signal was handled (nothing more happens).
using SignalCallbackFunction = bool (*)(int signo, siginfo_t* info, ucontext_t* context,
                                        void* callbackContext, KCRSignalHandlerNext* next);

// Hands the signal to the rest of the chain; false when `next` is null.
bool signal_handler_forward(KCRSignalHandlerNext* next, int signo, siginfo_t* info, ucontext_t* context);

class KCRCrashSignalHandler {
  public:
    static constexpr size_t kAlternateStackSize = 65536;

    // The process's one handler object (its alternate stack is allocated once).
    static KCRCrashSignalHandler& sharedHandler();

    // Installs the handler for the signal (once per signal). The alternate
    // stack is installed on the first registering thread that has none;
    // threads without one run the handler on their own stack (a stack
    // overflow there cannot be reported). False with an error in
    // KCRCrashReporterErrorDomain, code 1, on failure.
    bool registerHandlerWithSignal(int signo, plat::ErrorPtr* error = nullptr);
    // Registers the signal, then puts {callback, context} at the head of the
    // chain unless it is already in it.
    bool registerHandlerForSignal(int signo, SignalCallbackFunction callback, void* context,
                                  plat::ErrorPtr* error = nullptr);

    // Empties both lists (the installed actions stay as they are). Tests only.
    static void resetHandlers();

    // The action that was installed before ours, when the signal is registered.
    static bool previousAction(int signo, struct sigaction* action);

  private:
    KCRCrashSignalHandler();
    void* stack_ = nullptr;
};

}  // namespace kcr
