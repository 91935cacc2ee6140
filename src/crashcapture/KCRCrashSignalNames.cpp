#include "crashcapture/KCRCrashSignalNames.h"

#include <csignal>

namespace kcr::async {
namespace {

struct SignalName {
    int signo;
    const char* name;
};

// Earlier rows win, so SIGABRT names 6 and SIGIOT is never printed. Names
// this host lacks (SIGEMT, SIGINFO) drop out; SIGSTKFLT and SIGPWR are the
// host's own signals without a counterpart elsewhere.
constexpr SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"}, {SIGIOT, "SIGIOT"},
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
    {SIGFPE, "SIGFPE"},       {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},       {SIGSEGV, "SIGSEGV"},
    {SIGSYS, "SIGSYS"},       {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},
    {SIGURG, "SIGURG"},       {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},     {SIGCONT, "SIGCONT"},
    {SIGCHLD, "SIGCHLD"},     {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},     {SIGIO, "SIGIO"},
    {SIGXCPU, "SIGXCPU"},     {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
    {SIGWINCH, "SIGWINCH"},
#ifdef SIGINFO
    {SIGINFO, "SIGINFO"},
#endif
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

struct SignalCodeName {
    int signo;
    int code;
    const char* name;
};

// Code 0 has no constant of its own; the "#0" rows say so explicitly.
constexpr SignalCodeName kSignalCodeNames[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, 0, "#0"},
    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
    {SIGABRT, 0, "#0"},
};

// "#" and the decimal value; the buffer always has room (see the header).
const char* numberText(int value, char (&buffer)[kSignalTextBufferSize]) {
    char digits[12];
    int count = 0;
    // Work with the negative magnitude so that INT_MIN needs no special case.
    int rest = value > 0 ? -value : value;
    do {
        digits[count++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    std::size_t at = 0;
    buffer[at++] = '#';
    if (value < 0)
        buffer[at++] = '-';
    while (count > 0)
        buffer[at++] = digits[--count];
    buffer[at] = '\0';
    return buffer;
}

}  // namespace

const char* signal_name(int signo) {
    for (const SignalName& row : kSignalNames) {
        if (row.signo == signo)
            return row.name;
    }
    return nullptr;
}

const char* signal_code_name(int signo, int code) {
    for (const SignalCodeName& row : kSignalCodeNames) {
        if (row.signo == signo && row.code == code)
            return row.name;
    }
    return nullptr;
}

const char* signal_name_text(int signo, char (&buffer)[kSignalTextBufferSize]) {
    const char* name = signal_name(signo);
    return name != nullptr ? name : numberText(signo, buffer);
}

const char* signal_code_text(int signo, int code, char (&buffer)[kSignalTextBufferSize]) {
    const char* name = signal_code_name(signo, code);
    return name != nullptr ? name : numberText(code, buffer);
}

}  // namespace kcr::async
