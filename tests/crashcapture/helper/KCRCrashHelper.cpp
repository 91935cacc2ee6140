// A program that enables crash capture and then crashes in a chosen way, for
// the crash tests, which run it as a child process. Before crashing it writes
// the return addresses its own functions saw (innermost first) to a file, so
// that the test can check the frames of the report against them:
//
//   kcr_crash_helper <mode> <main|secondary> <record file>
//
// Modes: segv-null, segv-wild, segv-readonly, segv-kernel, bus, ill, fpe, abort, trap, overflow,
// nested (the crash callback faults), alloc (another thread allocates),
// previous (a handler installed before ours), uncaught (a platform exception),
// uncaught-std (a standard one), rethrown (caught, then rethrown from main),
// custom, late (a library opened after enabling crashes), core (a null
// pointer with core dumps allowed, for a debugger to compare with).
// A "mach-" prefix enables the reporter in Mach mode; "mach-handled" first
// registers an exception port whose handler repairs the fault (a write to a
// protected page), so the process goes on and exits 0.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crashcapture/KCRCrashMachExceptionServer.h"
#include "crashcapture/KCRCrashReporter.h"
#include "platform/foundation/Data.h"

namespace {

std::string gMode;
std::string gRecordPath;
volatile int gSink = 0;
std::vector<uintptr_t> gCrashChain;
std::vector<uintptr_t> gParkedChain;
std::atomic<bool> gParked{false};
int gParkPipe[2] = {-1, -1};
volatile char* gProtectedPage = nullptr;

#define RECORD(chain) chain.push_back(reinterpret_cast<uintptr_t>(__builtin_return_address(0)))

void write_record() {
    FILE* out = std::fopen(gRecordPath.c_str(), "w");
    if (out == nullptr)
        return;
    std::fprintf(out, "crash");
    for (auto a = gCrashChain.rbegin(); a != gCrashChain.rend(); ++a)
        std::fprintf(out, " %lx", static_cast<unsigned long>(*a));
    std::fprintf(out, "\nparked");
    for (auto a = gParkedChain.rbegin(); a != gParkedChain.rend(); ++a)
        std::fprintf(out, " %lx", static_cast<unsigned long>(*a));
    std::fprintf(out, "\n");
    std::fclose(out);
}

__attribute__((noinline)) int recurse(int depth) {
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (gSink < 0)  // never: keeps the compiler from seeing an endless recursion
        return pad[0];
    return recurse(depth + 1) + pad[0];
}

// The faults must reach the processor: the sanitizers' own checks of null
// pointers, divisions and shadow memory would otherwise report them first.
#define KCR_UNCHECKED __attribute__((no_sanitize("address", "undefined")))

KCR_UNCHECKED __attribute__((noinline)) void crash_now() {
    RECORD(gCrashChain);
    write_record();
    if (gMode == "handled") {
        gProtectedPage[0] = 42;  // repaired by the earlier exception handler
        gSink = gProtectedPage[0];
        return;
    }
    if (gMode == "segv-null" || gMode == "nested" || gMode == "alloc" || gMode == "previous" ||
        gMode == "custom" || gMode == "core") {
        volatile uintptr_t null = 0;
        *reinterpret_cast<volatile int*>(null) = 1;
    } else if (gMode == "segv-wild") {
        volatile uintptr_t wild = 0x500000000008;
        *reinterpret_cast<volatile int*>(wild) = 1;
    } else if (gMode == "segv-readonly") {
        // A write to a mapped page without write permission.
        auto* page =
            static_cast<volatile int*>(mmap(reinterpret_cast<void*>(0x510000000000), 4096, PROT_READ,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0));
        page[0] = 1;
    } else if (gMode == "segv-kernel") {
        // A non-canonical address: a general-protection fault, for which
        // the kernel gives no address.
        volatile uintptr_t wild = 0x8000000000000000ull;
        *reinterpret_cast<volatile int*>(wild) = 1;
    } else if (gMode == "late") {
        // A library opened after enabling crashes in its own code.
        void* library = dlopen(KCR_LATE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        auto* crash = library != nullptr
                          ? reinterpret_cast<void (*)()>(dlsym(library, "kcr_late_library_crash"))
                          : nullptr;
        if (crash == nullptr)
            _exit(6);
        crash();
    } else if (gMode == "bus") {
        char path[] = "/tmp/kcr_bus.XXXXXX";
        int fd = mkstemp(path);
        unlink(path);
        auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        gSink = page[0];
    } else if (gMode == "ill") {
        __builtin_trap();
    } else if (gMode == "fpe") {
        volatile int zero = 0;
        gSink = 7 / zero;
    } else if (gMode == "abort") {
        std::abort();
    } else if (gMode == "trap") {
        asm volatile("int3");
    } else if (gMode == "overflow") {
        gSink = recurse(0);
    } else if (gMode == "uncaught") {
        throw plat::Exception("HelperException", "thrown on purpose");
    } else if (gMode == "uncaught-std" || gMode == "rethrown") {
        throw std::runtime_error("boom");
    }
    gSink = gSink + 1;
}

__attribute__((noinline)) void level1() {
    RECORD(gCrashChain);
    crash_now();
    gSink = gSink + 1;
}

__attribute__((noinline)) void level2() {
    RECORD(gCrashChain);
    level1();
    gSink = gSink + 1;
}

__attribute__((noinline)) void level3() {
    RECORD(gCrashChain);
    level2();
    gSink = gSink + 1;
}

__attribute__((noinline)) void parked_inner() {
    RECORD(gParkedChain);
    gParked = true;
    char byte;
    ssize_t n = read(gParkPipe[0], &byte, 1);  // never written: blocks until the end
    (void)n;
    gSink = gSink + 1;
}

__attribute__((noinline)) void parked_outer() {
    RECORD(gParkedChain);
    parked_inner();
    gSink = gSink + 1;
}

KCR_UNCHECKED void handle_signal(siginfo_t*, ucontext_t*, void*) {
    if (gMode == "nested") {
        volatile uintptr_t bad = 16;
        *reinterpret_cast<volatile int*>(bad) = 2;
    }
    const char marker[] = "callback\n";
    int fd = open((gRecordPath + ".callback").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        ssize_t n = write(fd, marker, sizeof marker - 1);
        (void)n;
        close(fd);
    }
}

// The earlier exception handler of "mach-handled": makes the page writable.
plat::machine::kern_return_t repair_fault(plat::machine::mach_port_t, plat::machine::mach_port_t, int type,
                                          const int64_t* codes, uint32_t count, void*) {
    if (type != plat::machine::EXC_BAD_ACCESS || count < 2 ||
        reinterpret_cast<volatile char*>(codes[1]) != gProtectedPage)
        return plat::machine::KERN_FAILURE;
    mprotect(const_cast<char*>(gProtectedPage), 4096, PROT_READ | PROT_WRITE);
    const char marker[] = "repaired\n";
    ssize_t n = write(STDOUT_FILENO, marker, sizeof marker - 1);
    (void)n;
    return plat::machine::KERN_SUCCESS;
}

std::string gPreviousMarker;
void previous_handler(int) {
    int fd = open(gPreviousMarker.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <mode> <main|secondary> <record file>\n", argv[0]);
        return 2;
    }
    gMode = argv[1];
    bool mach = false;
    if (gMode.rfind("mach-", 0) == 0) {
        mach = true;
        gMode = gMode.substr(5);
    }
    const bool secondary = std::strcmp(argv[2], "secondary") == 0;
    gRecordPath = argv[3];
    gCrashChain.reserve(64);
    gParkedChain.reserve(64);
    if (gMode == "core") {
        // A core for the debugger comparison.
        struct rlimit unlimited {
            RLIM_INFINITY, RLIM_INFINITY
        };
        setrlimit(RLIMIT_CORE, &unlimited);
    }

    if (gMode == "previous") {
        gPreviousMarker = gRecordPath + ".previous";
        struct sigaction action {};
        action.sa_handler = previous_handler;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
    }

    std::unique_ptr<kcr::KCRCrashMachExceptionServer> earlier;
    std::shared_ptr<kcr::KCRCrashMachExceptionPort> earlierPort;
    if (gMode == "handled") {
        gProtectedPage =
            static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        plat::ErrorPtr failure;
        earlier = kcr::KCRCrashMachExceptionServer::create(repair_fault, nullptr, &failure);
        if (earlier)
            earlierPort = earlier->exceptionPortWithMask(1u << plat::machine::EXC_BAD_ACCESS, &failure);
        if (!earlierPort || !earlierPort->registerForTask(nullptr, &failure))
            return 5;
    }
    KCRCrashReporter reporter("crash-helper", "1.0", std::string("1.0.0"),
                              KCRCrashReporterConfig(mach ? KCRCrashReporterSignalHandlerTypeMach
                                                          : KCRCrashReporterSignalHandlerTypeBSD,
                                                     KCRCrashReporterSymbolicationStrategySymbolTable, true));
    KCRCrashReporterCallbacks callbacks;
    callbacks.handleSignal = handle_signal;
    reporter.setCrashCallbacks(callbacks);
    if (gMode == "custom")
        reporter.setCustomData(plat::Data::fromString("custom bytes"));
    plat::ErrorPtr error;
    if (!reporter.enableCrashReporter(&error)) {
        std::fprintf(stderr, "enable failed\n");
        return 3;
    }
    if (gMode == "custom")
        reporter.setCustomData(plat::Data::fromString("custom bytes, replaced"));

    if (pipe(gParkPipe) != 0)
        return 4;
    std::thread parked(parked_outer);
    parked.detach();
    while (!gParked)
        std::this_thread::yield();
    std::atomic<bool> stop{false};
    if (gMode == "alloc") {
        std::thread allocator([&] {
            while (!stop) {
                void* p = std::malloc(64 + (gSink & 1023));
                std::free(p);
            }
        });
        allocator.detach();
    }
    if (secondary) {
        std::thread crasher(level3);
        crasher.join();
    } else if (gMode == "rethrown") {
        // Caught, then thrown again far from where it was thrown: the
        // report must still carry the throw site.
        std::exception_ptr caught;
        try {
            level3();
        } catch (...) {
            caught = std::current_exception();
        }
        std::rethrow_exception(caught);
    } else {
        level3();
    }
    return 0;
}
