// Real crashes in child processes: the helper program enables crash capture
// and crashes in a chosen way; the test checks how the child ended and
// decodes the report it left.
//
// Sanitizers: the sanitizer runtime installs its own handlers for SIGSEGV,
// SIGBUS and SIGFPE before main, and ours would forward to them (they print
// and exit instead of dying by the signal). The children therefore run with
// the sanitizer's handling of those signals switched off; everything else of
// the sanitizer stays on in the child.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/CrashReportBuilder.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using testsupport::ChildResult;
using testsupport::runCrashingProgram;

std::vector<uint64_t> read_chain(const std::string& path, const std::string& label) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first != label)
            continue;
        std::vector<uint64_t> chain;
        std::string word;
        while (words >> word)
            chain.push_back(std::stoull(word, nullptr, 16));
        return chain;
    }
    return {};
}

std::vector<uint64_t> pcs_of(const KCRCrashReportThreadInfo& thread) {
    std::vector<uint64_t> pcs;
    for (const auto& frame : thread.stackFrames())
        pcs.push_back(frame->instructionPointer());
    return pcs;
}

bool contains_run(const std::vector<uint64_t>& haystack, const std::vector<uint64_t>& needle) {
    return !needle.empty() &&
           std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

std::string report_path(const testsupport::TempDir& dir) {
    return (dir / "com.kestrel.crashcapture/crash-helper/live_report.kcr").string();
}

KCRCrashReportPtr load_report(const testsupport::TempDir& dir) {
    return kcrtest::decodeFile(report_path(dir));
}

KCRCrashReportThreadInfoPtr crashed_thread(const KCRCrashReport& report) {
    KCRCrashReportThreadInfoPtr found;
    int count = 0;
    for (const auto& thread : report.threads()) {
        if (thread->crashed()) {
            found = thread;
            ++count;
        }
    }
    EXPECT_EQ(count, 1);
    return found;
}

// The fault address of an instruction fault is the instruction's own.
constexpr int64_t kAtPc = -2;
// Where the helper maps its read-only page ("segv-readonly").
constexpr int64_t kReadOnlyPage = 0x510000000000;

struct CrashCase {
    const char* mode;
    const char* thread;
    bool framePointers;
    int signo;
    const char* name;
    const char* code;
    int64_t address;  // -1: not checked; kAtPc: the crashed thread's program counter
    // Mach mode: the exception the report must carry (-1: none) and its
    // first code.
    int64_t machType = -1;
    int64_t machCode = 0;
};

void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.mode << " on " << c.thread << (c.framePointers ? " with" : " without") << " frame pointers";
}

std::string crash_case_name(const ::testing::TestParamInfo<CrashCase>& info) {
    std::string name =
        std::string(info.param.mode) + "_" + info.param.thread + (info.param.framePointers ? "_fp" : "_nofp");
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class CrashCapture : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashCapture, ReportHoldsSignalThreadsFramesAndImages) {
    const CrashCase& c = GetParam();
    testsupport::TempDir dir;
    const std::string record = (dir / "record").string();
    const std::string helper = c.framePointers ? KCR_CRASH_HELPER_FP : KCR_CRASH_HELPER_NOFP;
    ChildResult child = runCrashingProgram(helper, {c.mode, c.thread, record}, dir.str());
    ASSERT_TRUE(child.finished) << "the child hung";
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), c.signo);
    EXPECT_TRUE(std::filesystem::exists(record + ".callback")) << "the crash callback did not run";

    KCRCrashReportPtr report = load_report(dir);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), c.name);
    EXPECT_EQ(report->signalInfo()->code(), c.code);
    auto crashed = crashed_thread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->registers().size(), 21u);
    EXPECT_EQ(crashed->registers()[0]->registerName(), "rip");
    int64_t address = c.address;
    if (address == kAtPc)
        address = static_cast<int64_t>(crashed->registers()[0]->registerValue());
    if (address >= 0) {
        EXPECT_EQ(report->signalInfo()->address(), static_cast<uint64_t>(address));
    }
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "crash-helper");
    if (c.machType >= 0) {
        ASSERT_NE(report->machExceptionInfo(), nullptr);
        EXPECT_EQ(report->machExceptionInfo()->type(), static_cast<uint64_t>(c.machType));
        ASSERT_EQ(report->machExceptionInfo()->codes().size(), 2u);
        EXPECT_EQ(report->machExceptionInfo()->codes()[0], static_cast<uint64_t>(c.machCode));
        if (address >= 0) {
            EXPECT_EQ(report->machExceptionInfo()->codes()[1], static_cast<uint64_t>(address));
        }
    } else {
        EXPECT_EQ(report->machExceptionInfo(), nullptr);
    }

    const std::vector<uint64_t> chain = read_chain(record, "crash");
    ASSERT_EQ(chain.size(), 4u);
    const std::vector<uint64_t> frames = pcs_of(*crashed);
    EXPECT_TRUE(contains_run(frames, chain)) << "crashed thread frames do not hold the recorded chain";

    // The thread parked in a blocking read shows its own stack, through libc.
    const std::vector<uint64_t> parked = read_chain(record, "parked");
    bool parked_found = false;
    for (const auto& thread : report->threads()) {
        if (!thread->crashed() && contains_run(pcs_of(*thread), parked))
            parked_found = true;
    }
    EXPECT_TRUE(parked_found) << "no thread shows the parked chain";

    bool libc_with_uuid = false;
    for (const auto& image : report->images()) {
        if (image->imageName().find("libc.so") != std::string::npos && image->imageUUID().has_value())
            libc_with_uuid = true;
    }
    EXPECT_TRUE(libc_with_uuid);
}

// Linux codes: a trap instruction is ILL_ILLOPN, abort() is sent by the
// process itself (SI_TKILL, -6), int3 comes from the kernel (SI_KERNEL, 128).
INSTANTIATE_TEST_SUITE_P(
    Signals, CrashCapture,
    ::testing::Values(
        CrashCase{"segv-null", "main", true, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0},
        CrashCase{"segv-null", "secondary", false, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0},
        CrashCase{"segv-wild", "main", false, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0x500000000008},
        CrashCase{"segv-wild", "secondary", true, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0x500000000008},
        CrashCase{"bus", "main", false, SIGBUS, "SIGBUS", "BUS_ADRERR", -1},
        CrashCase{"bus", "secondary", true, SIGBUS, "SIGBUS", "BUS_ADRERR", -1},
        CrashCase{"segv-readonly", "main", false, SIGSEGV, "SIGSEGV", "SEGV_ACCERR", kReadOnlyPage},
        CrashCase{"segv-kernel", "secondary", true, SIGSEGV, "SIGSEGV", "#128", 0},
        CrashCase{"ill", "main", true, SIGILL, "SIGILL", "ILL_ILLOPN", kAtPc},
        CrashCase{"ill", "secondary", false, SIGILL, "SIGILL", "ILL_ILLOPN", kAtPc},
        CrashCase{"fpe", "main", false, SIGFPE, "SIGFPE", "FPE_INTDIV", kAtPc},
        CrashCase{"fpe", "secondary", true, SIGFPE, "SIGFPE", "FPE_INTDIV", kAtPc},
        CrashCase{"abort", "main", true, SIGABRT, "SIGABRT", "#-6", -1},
        CrashCase{"abort", "secondary", false, SIGABRT, "SIGABRT", "#-6", -1},
        CrashCase{"trap", "main", false, SIGTRAP, "SIGTRAP", "#128", -1},
        CrashCase{"trap", "secondary", true, SIGTRAP, "SIGTRAP", "#128", -1}),
    crash_case_name);

// Mach mode: faults reach the exception server through the fault bridge; the
// report carries the exception and the signal it maps to, and the process
// still dies by the signal the kernel raised. abort() stays on the signal
// path. The crashed thread's frames come from the fault, not from the
// bridge's wait.
INSTANTIATE_TEST_SUITE_P(
    MachSignals, CrashCapture,
    ::testing::Values(
        CrashCase{"mach-segv-null", "main", true, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0, 1, 1},
        CrashCase{"mach-segv-null", "secondary", false, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0, 1, 1},
        CrashCase{"mach-segv-wild", "secondary", true, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 0x500000000008, 1,
                  1},
        CrashCase{"mach-segv-readonly", "secondary", false, SIGSEGV, "SIGSEGV", "SEGV_ACCERR", kReadOnlyPage,
                  1, 2},
        CrashCase{"mach-segv-kernel", "main", true, SIGSEGV, "SIGSEGV", "#128", 0, 1, 13},
        CrashCase{"mach-bus", "main", false, SIGBUS, "SIGBUS", "BUS_ADRERR", -1, 1, 10},
        CrashCase{"mach-ill", "secondary", true, SIGILL, "SIGILL", "ILL_ILLOPN", kAtPc, 2, ILL_ILLOPN},
        CrashCase{"mach-ill", "main", false, SIGILL, "SIGILL", "ILL_ILLOPN", kAtPc, 2, ILL_ILLOPN},
        CrashCase{"mach-fpe", "main", false, SIGFPE, "SIGFPE", "FPE_INTDIV", kAtPc, 3, FPE_INTDIV},
        CrashCase{"mach-fpe", "secondary", true, SIGFPE, "SIGFPE", "FPE_INTDIV", kAtPc, 3, FPE_INTDIV},
        CrashCase{"mach-trap", "main", true, SIGTRAP, "SIGTRAP", "TRAP_BRKPT", -1, 6, 2},
        CrashCase{"mach-abort", "secondary", false, SIGABRT, "SIGABRT", "#-6", -1}),
    crash_case_name);

// The helper is linked without exporting its symbols, and its crashing
// functions are file-local: the report still names them, from the
// program's full symbol table.
TEST(CrashSymbols, OwnFunctionsOfAProgramWithoutExportedSymbolsAreNamed) {
    testsupport::TempDir dir;
    const std::string record = (dir / "record").string();
    ChildResult child =
        runCrashingProgram(KCR_CRASH_HELPER_NOFP, {"segv-null", "secondary", record}, dir.str());
    ASSERT_TRUE(child.finished) << "the child hung";
    KCRCrashReportPtr report = load_report(dir);
    ASSERT_NE(report, nullptr);
    auto crashed = crashed_thread(*report);
    ASSERT_NE(crashed, nullptr);
    std::vector<std::string> names;
    for (const auto& frame : crashed->stackFrames())
        names.push_back(frame->symbolInfo() ? frame->symbolInfo()->symbolName() : "");
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names[0].find("crash_now"), std::string::npos) << names[0];
    EXPECT_TRUE(std::any_of(names.begin(), names.end(),
                            [](const std::string& n) { return n.find("level2") != std::string::npos; }));
}

// A library opened after enabling that then crashes: the report lists it
// (found in the loader's chain at crash time), and the crashed frame falls
// inside it, in both modes.
TEST(LateImages, LibraryOpenedAfterEnablingHoldsTheCrashedFrame) {
    for (const char* mode : {"late", "mach-late"}) {
        SCOPED_TRACE(mode);
        testsupport::TempDir dir;
        const std::string record = (dir / "record").string();
        ChildResult child = runCrashingProgram(KCR_CRASH_HELPER_NOFP, {mode, "secondary", record}, dir.str());
        ASSERT_TRUE(child.finished) << "the child hung";
        ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << child.status;
        EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
        KCRCrashReportPtr report = load_report(dir);
        ASSERT_NE(report, nullptr);
        auto crashed = crashed_thread(*report);
        ASSERT_NE(crashed, nullptr);
        ASSERT_FALSE(crashed->stackFrames().empty());
        const uint64_t pc = crashed->stackFrames()[0]->instructionPointer();
        KCRCrashReportBinaryImageInfoPtr holder;
        for (const auto& image : report->images()) {
            if (image->imageBaseAddress() <= pc && pc - image->imageBaseAddress() < image->imageSize())
                holder = image;
        }
        ASSERT_NE(holder, nullptr) << "no image holds the crashed frame";
        EXPECT_NE(holder->imageName().find("kcr_late_library"), std::string::npos) << holder->imageName();
        EXPECT_TRUE(holder->imageUUID().has_value());
        // The walk went on through the library's tables into the helper.
        EXPECT_TRUE(contains_run(pcs_of(*crashed), read_chain(record, "crash")));
    }
}

// An exception port registered before the reporter's is offered the fault
// first; when it handles it, nothing is written and the process goes on.
TEST(MachCrashCapture, EarlierExceptionPortThatHandlesTheFaultWins) {
    testsupport::TempDir dir;
    const std::string record = (dir / "record").string();
    ChildResult child =
        runCrashingProgram(KCR_CRASH_HELPER_NOFP, {"mach-handled", "secondary", record}, dir.str());
    ASSERT_TRUE(child.finished) << "the child hung";
    ASSERT_TRUE(WIFEXITED(child.status)) << "status " << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_FALSE(std::filesystem::exists(report_path(dir)));
}

struct HazardCase {
    const char* mode;
    int signo;
    std::function<void(const KCRCrashReport&, const std::string& record)> check;
};

void PrintTo(const HazardCase& c, std::ostream* out) {
    *out << c.mode;
}

// The report carries the exception, with the frames of its throw site.
std::function<void(const KCRCrashReport&, const std::string&)> expect_exception(std::string name,
                                                                                std::string reason) {
    return [=](const KCRCrashReport& r, const std::string& record) {
        ASSERT_TRUE(r.hasExceptionInfo());
        EXPECT_EQ(r.exceptionInfo()->exceptionName(), name);
        EXPECT_EQ(r.exceptionInfo()->exceptionReason(), reason);
        std::vector<uint64_t> frames;
        for (const auto& f : r.exceptionInfo()->stackFrames())
            frames.push_back(f->instructionPointer());
        EXPECT_TRUE(contains_run(frames, read_chain(record, "crash")));
    };
}

class CrashHazards : public ::testing::TestWithParam<HazardCase> {};

TEST_P(CrashHazards, NeverHangAndKeepTheReport) {
    const HazardCase& c = GetParam();
    testsupport::TempDir dir;
    const std::string record = (dir / "record").string();
    ChildResult child = runCrashingProgram(KCR_CRASH_HELPER_NOFP, {c.mode, "main", record}, dir.str());
    ASSERT_TRUE(child.finished) << "the child hung";
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), c.signo);
    KCRCrashReportPtr report = load_report(dir);
    ASSERT_NE(report, nullptr);
    c.check(*report, record);
}

INSTANTIATE_TEST_SUITE_P(
    Hazards, CrashHazards,
    ::testing::Values(
        // The crash callback itself faults: the report is already complete.
        HazardCase{"nested", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string& record) {
                       EXPECT_EQ(r.signalInfo()->name(), "SIGSEGV");
                       EXPECT_FALSE(std::filesystem::exists(record + ".callback"));
                   }},
        // The handler runs on its alternate stack.
        HazardCase{"overflow", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string&) {
                       auto crashed = crashed_thread(r);
                       ASSERT_NE(crashed, nullptr);
                       EXPECT_GE(crashed->stackFrames().size(), 100u);
                   }},
        // The writer never allocates, so a thread holding the allocator's
        // lock cannot block it.
        HazardCase{"alloc", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string&) { EXPECT_GE(r.threads().size(), 3u); }},
        // A handler installed before ours still runs; the fault then ends
        // the process with the default action.
        HazardCase{"previous", SIGSEGV,
                   [](const KCRCrashReport&, const std::string& record) {
                       EXPECT_TRUE(std::filesystem::exists(record + ".previous"));
                   }},
        HazardCase{"uncaught", SIGABRT, expect_exception("HelperException", "thrown on purpose")},
        // A native exception: its demangled type, its text and the frames of
        // the throw site.
        HazardCase{"uncaught-std", SIGABRT, expect_exception("std::runtime_error", "boom")},
        // Rethrown from main after the stack unwound: only the throw-site
        // record still knows the functions it was thrown through.
        HazardCase{"rethrown", SIGABRT, expect_exception("std::runtime_error", "boom")},
        // Mach mode: the crash callback runs on the exception server's
        // thread; its fault cannot be answered by that thread and goes to
        // the signal path instead of deadlocking. The report stays.
        HazardCase{"mach-nested", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string& record) {
                       ASSERT_NE(r.machExceptionInfo(), nullptr);
                       EXPECT_EQ(r.signalInfo()->name(), "SIGSEGV");
                       EXPECT_FALSE(std::filesystem::exists(record + ".callback"));
                   }},
        // A signal handler installed before enabling still runs after the
        // exception was reported.
        HazardCase{"mach-previous", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string& record) {
                       EXPECT_NE(r.machExceptionInfo(), nullptr);
                       EXPECT_TRUE(std::filesystem::exists(record + ".previous"));
                   }},
        HazardCase{"custom", SIGSEGV,
                   [](const KCRCrashReport& r, const std::string&) {
                       ASSERT_TRUE(r.customData().has_value());
                       EXPECT_EQ(r.customData()->view(), "custom bytes, replaced");
                   }}),
    [](const ::testing::TestParamInfo<HazardCase>& info) {
        std::string name = info.param.mode;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The crashed thread's frames agree with what the debugger unwinds from a
// core of the same crash.
TEST(CrashCaptureDebugger, CrashedThreadMatchesTheDebuggerOnTheCore) {
    if (kSanitized)
        GTEST_SKIP() << "the sanitizer runtime suppresses core files";
    if (system("gdb --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gdb is not installed";
    testsupport::TempDir dir;
    const std::string record = (dir / "record").string();
    ChildResult child = runCrashingProgram(KCR_CRASH_HELPER_NOFP, {"core", "main", record}, dir.str());
    ASSERT_TRUE(child.finished);
    ASSERT_TRUE(WIFSIGNALED(child.status));
    if (!WCOREDUMP(child.status) || !std::filesystem::exists(dir / "core"))
        GTEST_SKIP() << "no core file was written (core_pattern or limits)";
    KCRCrashReportPtr report = load_report(dir);
    ASSERT_NE(report, nullptr);
    const std::string output = (dir / "bt.txt").string();
    const std::string command = std::string("gdb -batch -nx -ex 'thread apply all bt' ") +
                                KCR_CRASH_HELPER_NOFP + " " + (dir / "core").string() + " > " + output +
                                " 2>/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    // The thread that crashed is gdb's thread 1; frames after the first print
    // their pc ("#1  0x... in ...").
    std::ifstream in(output);
    std::string line;
    std::vector<std::pair<size_t, uint64_t>> gdb_pcs;
    bool in_first = false;
    while (std::getline(in, line)) {
        if (line.rfind("Thread 1 ", 0) == 0) {
            in_first = true;
            continue;
        }
        if (in_first && line.rfind("Thread ", 0) == 0)
            break;
        if (in_first && line.size() > 4 && line[0] == '#' && line.find(" 0x") != std::string::npos) {
            const size_t at = line.find(" 0x");
            gdb_pcs.emplace_back(std::stoul(line.substr(1)), std::stoull(line.substr(at + 1), nullptr, 16));
        }
    }
    ASSERT_GE(gdb_pcs.size(), 4u);
    auto crashed = crashed_thread(*report);
    ASSERT_NE(crashed, nullptr);
    const std::vector<uint64_t> ours = pcs_of(*crashed);
    size_t compared = 0;
    for (const auto& [number, pc] : gdb_pcs) {
        // gdb shows no address for a first frame at the start of a line.
        if (number == 0 || number >= ours.size())
            continue;
        EXPECT_EQ(ours[number], pc) << "frame " << number;
        ++compared;
    }
    EXPECT_GE(compared, 4u);
}

}  // namespace
