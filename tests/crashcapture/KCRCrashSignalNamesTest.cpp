#include "crashcapture/KCRCrashSignalNames.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <string>

namespace {

struct NameCase {
    int signo;
    const char* expected;
};

struct CodeCase {
    int signo;
    int code;
    const char* expected;
};

std::string nameText(int signo) {
    char buffer[kcr::async::kSignalTextBufferSize];
    return kcr::async::signal_name_text(signo, buffer);
}

std::string codeText(int signo, int code) {
    char buffer[kcr::async::kSignalTextBufferSize];
    return kcr::async::signal_code_text(signo, code, buffer);
}

}  // namespace

class KCRCrashSignalNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(KCRCrashSignalNameTest, NamesHostSignalNumbers) {
    EXPECT_EQ(nameText(GetParam().signo), GetParam().expected);
}

// The literal numbers are this host's (x86-64 Linux); SIGBUS is 7 here.
INSTANTIATE_TEST_SUITE_P(
    Linux, KCRCrashSignalNameTest,
    testing::Values(NameCase{1, "SIGHUP"}, NameCase{4, "SIGILL"}, NameCase{5, "SIGTRAP"},
                    NameCase{6, "SIGABRT"}, NameCase{7, "SIGBUS"}, NameCase{8, "SIGFPE"},
                    NameCase{9, "SIGKILL"}, NameCase{10, "SIGUSR1"}, NameCase{11, "SIGSEGV"},
                    NameCase{12, "SIGUSR2"}, NameCase{13, "SIGPIPE"}, NameCase{16, "SIGSTKFLT"},
                    NameCase{17, "SIGCHLD"}, NameCase{19, "SIGSTOP"}, NameCase{23, "SIGURG"},
                    NameCase{29, "SIGIO"}, NameCase{30, "SIGPWR"}, NameCase{31, "SIGSYS"}, NameCase{0, "#0"},
                    NameCase{32, "#32"}, NameCase{33, "#33"}, NameCase{64, "#64"}, NameCase{-1, "#-1"},
                    NameCase{INT_MAX, "#2147483647"}, NameCase{INT_MIN, "#-2147483648"}));

class KCRCrashSignalCodeTest : public testing::TestWithParam<CodeCase> {};

TEST_P(KCRCrashSignalCodeTest, NamesHostSignalCodes) {
    EXPECT_EQ(codeText(GetParam().signo, GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Linux, KCRCrashSignalCodeTest,
    testing::Values(
        // Linux numbers the SIGILL and SIGFPE codes differently from other systems.
        CodeCase{SIGILL, 0, "ILL_NOOP"}, CodeCase{4, 1, "ILL_ILLOPC"}, CodeCase{4, 2, "ILL_ILLOPN"},
        CodeCase{4, 3, "ILL_ILLADR"}, CodeCase{4, 4, "ILL_ILLTRP"}, CodeCase{4, 5, "ILL_PRVOPC"},
        CodeCase{4, 6, "ILL_PRVREG"}, CodeCase{4, 7, "ILL_COPROC"}, CodeCase{4, 8, "ILL_BADSTK"},
        CodeCase{8, 0, "FPE_NOOP"}, CodeCase{8, 1, "FPE_INTDIV"}, CodeCase{8, 2, "FPE_INTOVF"},
        CodeCase{8, 3, "FPE_FLTDIV"}, CodeCase{8, 4, "FPE_FLTOVF"}, CodeCase{8, 5, "FPE_FLTUND"},
        CodeCase{8, 6, "FPE_FLTRES"}, CodeCase{8, 7, "FPE_FLTINV"}, CodeCase{8, 8, "FPE_FLTSUB"},
        CodeCase{11, 0, "SEGV_NOOP"}, CodeCase{11, 1, "SEGV_MAPERR"}, CodeCase{11, 2, "SEGV_ACCERR"},
        CodeCase{7, 0, "BUS_NOOP"}, CodeCase{7, 1, "BUS_ADRALN"}, CodeCase{7, 2, "BUS_ADRERR"},
        CodeCase{7, 3, "BUS_OBJERR"}, CodeCase{5, 0, "#0"}, CodeCase{5, 1, "TRAP_BRKPT"},
        CodeCase{5, 2, "TRAP_TRACE"}, CodeCase{6, 0, "#0"},
        // What Linux actually delivers beyond the table.
        CodeCase{SIGABRT, SI_TKILL, "#-6"}, CodeCase{SIGSEGV, SI_KERNEL, "#128"}, CodeCase{SIGSEGV, 3, "#3"},
        CodeCase{SIGTRAP, SI_KERNEL, "#128"}, CodeCase{10, 1, "#1"},
        CodeCase{SIGSEGV, INT_MIN, "#-2147483648"}));

TEST(KCRCrashSignalNamesTest, LookupsReportMissingRowsAsNull) {
    EXPECT_STREQ(kcr::async::signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_STREQ(kcr::async::signal_name(SIGIOT), "SIGABRT");  // the first row for 6 wins
    EXPECT_EQ(kcr::async::signal_name(40), nullptr);
    EXPECT_STREQ(kcr::async::signal_code_name(SIGBUS, BUS_ADRERR), "BUS_ADRERR");
    EXPECT_EQ(kcr::async::signal_code_name(SIGBUS, 4), nullptr);
    EXPECT_EQ(kcr::async::signal_code_name(SIGPIPE, 0), nullptr);
}
