// Crash capture in a few lines: a child process enables the crash reporter
// and crashes; the parent, like an application on its next launch, finds
// the pending report, decodes it, prints it as text and purges it.
//
//   crash_capture_example [--symbols]
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "crashcapture/KCRCrashReport.h"
#include "crashcapture/KCRCrashReportTextFormatter.h"
#include "crashcapture/KCRCrashReporter.h"

namespace {

volatile int* gNowhere = nullptr;

// The faulting store must reach the processor.
__attribute__((noinline, no_sanitize("address", "undefined"))) void store_through_null() {
    *gNowhere = 42;
}

__attribute__((noinline)) void handle_request(int depth) {
    if (depth == 0)
        store_through_null();
    else
        handle_request(depth - 1);
    asm volatile("" ::: "memory");
}

// Async-signal-safe: runs in the signal handler after the report is written.
void on_crash(siginfo_t*, ucontext_t*, void*) {
    const char text[] = "[child] report written, now ending with the signal\n";
    ssize_t n = write(STDERR_FILENO, text, sizeof text - 1);
    (void)n;
}

KCRCrashReporter make_reporter(bool symbols) {
    return KCRCrashReporter("com.example.crash-capture", "1.0", std::string("1.0.0"),
                            KCRCrashReporterConfig(KCRCrashReporterSignalHandlerTypeBSD,
                                                   symbols ? KCRCrashReporterSymbolicationStrategySymbolTable
                                                           : KCRCrashReporterSymbolicationStrategyNone));
}

}  // namespace

int main(int argc, char** argv) {
    const bool symbols = argc > 1 && std::strcmp(argv[1], "--symbols") == 0;
    // Keep the example's crash folder out of the user's own caches.
    char folder[] = "/tmp/crash_capture_example.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("XDG_CACHE_HOME", folder, 1);

    pid_t child = fork();
    if (child == 0) {
        KCRCrashReporter reporter = make_reporter(symbols);
        KCRCrashReporterCallbacks callbacks;
        callbacks.handleSignal = on_crash;
        reporter.setCrashCallbacks(callbacks);
        reporter.setCustomData(plat::Data::fromString("user=alice; screen=checkout"));
        plat::ErrorPtr error;
        if (!reporter.enableCrashReporter(&error)) {
            std::fprintf(stderr, "could not enable crash capture\n");
            _exit(2);
        }
        handle_request(3);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        std::printf("child ended by signal %d (%s)\n\n", WTERMSIG(status), strsignal(WTERMSIG(status)));

    KCRCrashReporter reporter = make_reporter(symbols);
    if (!reporter.hasPendingCrashReport()) {
        std::printf("no pending crash report\n");
        return 1;
    }
    plat::ErrorPtr error;
    auto data = reporter.loadPendingCrashReportData(&error);
    if (!data)
        return 1;
    auto report = KCRCrashReport::create(*data);
    if (!report.ok()) {
        std::printf("the pending report does not decode\n");
        return 1;
    }
    KCRCrashReportTextFormatter formatter(KCRCrashReportTextFormatStandard, KCRCrashReportTextEncodingUTF8);
    auto text = formatter.formatReport(*report.value());
    if (text.ok())
        std::fwrite(text.value().bytes(), 1, text.value().length(), stdout);
    if (report.value()->customData())
        std::printf("\nCustom data: %.*s\n", static_cast<int>(report.value()->customData()->length()),
                    reinterpret_cast<const char*>(report.value()->customData()->bytes()));
    reporter.purgePendingCrashReport();
    std::string cleanup = std::string("rm -rf ") + folder;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
