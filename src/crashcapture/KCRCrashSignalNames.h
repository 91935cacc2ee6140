// The texts a crash report gives for a signal and its code ("SIGSEGV",
// "SEGV_MAPERR"), keyed by this host's <signal.h> numbers.
//
// Every function here is async-signal-safe: constant tables scanned
// linearly, no allocation, no locks. The crash-time writer calls them inside
// signal handlers.
#pragma once

#include <cstddef>

namespace kcr::async {

// The buffer size that holds "#" and any int with its terminator.
inline constexpr std::size_t kSignalTextBufferSize = 16;

// The signal's name, or null when the table has none for this number.
const char* signal_name(int signo);
// The code's name for that signal, or null when the table has none.
const char* signal_code_name(int signo, int code);

// The name, or else "#" followed by the decimal number written into buffer.
const char* signal_name_text(int signo, char (&buffer)[kSignalTextBufferSize]);
// The code's name, or else "#" followed by the decimal code written into buffer.
const char* signal_code_text(int signo, int code, char (&buffer)[kSignalTextBufferSize]);

}  // namespace kcr::async
