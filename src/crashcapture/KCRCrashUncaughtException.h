// Uncaught exceptions reach the crash report with their name, reason and the
// stack they were thrown on.
//
// Two entries, both installed at enabling when the configuration asks for the
// uncaught-exception handler:
// - the application's uncaught-exception handler slot gets crash capture's
//   handler, which records the exception it is given (with the exception's
//   own stack, else its recorded throw site, else the current stack) for the
//   report that the abort that follows writes;
// - the terminate handler links native exceptions to it: an uncaught platform
//   exception goes to whatever handler the slot holds, then the process
//   aborts (as the application runtime does for its own exceptions); any
//   other exception is recorded directly, with its throw site, and then the
//   terminate handler found before ours runs (else abort).
// Only the first uncaught exception of a process is recorded.
#pragma once

#include <exception>

#include "crashcapture/KCRCrashLogWriter.h"

namespace kcr {

// `writer` stays valid for the life of the process.
void install_uncaught_exception_capture(async::log_writer_t* writer);

// The terminate handler installed by install_uncaught_exception_capture.
std::terminate_handler uncaught_exception_terminate_handler();

}  // namespace kcr
