// Runs what the crash writer does at crash time (listing, suspending and
// capturing every thread, walking their frames, finding their images and
// symbols, resuming them) inside a signal handler while allocation is trapped.
//
// The trap: in plain builds this executable defines malloc, calloc, realloc
// and free (forwarding to glibc's own entry points), so every allocation of
// the process passes through it; under AddressSanitizer, which owns those
// symbols, the sanitizer's allocation hooks serve instead. Either way, an
// allocation or release on the handler's thread while the trap is armed is
// counted as a failure.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crashcapture/KCRAsyncFrameCursor.h"
#include "crashcapture/KCRAsyncImage.h"
#include "crashcapture/KCRAsyncSymbol.h"
#include "crashcapture/KCRCrashMachExceptionServer.h"
#include "platform/machine/Threads.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KCR_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KCR_SANITIZED_ALLOCATOR 1
#endif

using namespace kcr::async;

namespace {

std::atomic<pid_t> gTrappedThread{0};
// A second trapped thread: the exception server's, while it answers.
std::atomic<pid_t> gTrappedServer{0};
std::atomic<int> gViolations{0};

void noteAllocation() {
    pid_t trapped = gTrappedThread.load(std::memory_order_relaxed);
    pid_t server = gTrappedServer.load(std::memory_order_relaxed);
    if ((trapped != 0 || server != 0) &&
        (trapped == plat::machine::currentThreadId() || server == plat::machine::currentThreadId()))
        gViolations.fetch_add(1);
}

}  // namespace

#if defined(KCR_SANITIZED_ALLOCATOR)
// Declared here: gcc ships no header for the sanitizers' allocator interface.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
namespace {
void mallocHook(const volatile void*, size_t) {
    noteAllocation();
}
void freeHook(const volatile void*) {
    noteAllocation();
}
void armAllocationHooks() {
    __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook);
}
}  // namespace
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    noteAllocation();
    return __libc_realloc(pointer, size);
}
void free(void* pointer) {
    noteAllocation();
    __libc_free(pointer);
}
}
namespace {
void armAllocationHooks() {}
}  // namespace
#endif

namespace {

struct Results {
    int threads = 0;
    int captured = 0;
    int frames = 0;
    int framesInImages = 0;
    int symbols = 0;
    bool lateLibraryFound = false;
};
Results gResults;

void noteSymbol(uint64_t, const char*, void* context) {
    ++*static_cast<int*>(context);
}

void walk(async_frame_cursor* cursor) {
    async_image_list_t* images = async_shared_image_list();
    async_image_list_set_reading(images, true);
    for (int depth = 0; depth < 64 && async_frame_cursor_next(cursor) == FRAME_ESUCCESS; ++depth) {
        uint64_t pc = 0;
        if (async_frame_cursor_get_reg(cursor, 0, &pc) != FRAME_ESUCCESS)
            break;
        gResults.frames++;
        async_image* image = async_image_containing_address(images, pc);
        if (image == nullptr)
            continue;
        gResults.framesInImages++;
        // Found or not shows in the symbol count the test checks.
        (void)async_find_symbol(image, KCR_SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, pc, noteSymbol,
                                &gResults.symbols);
    }
    async_image_list_set_reading(images, false);
    async_frame_cursor_free(cursor);
}

void crashTimeWork(int, siginfo_t*, void* context) {
    gTrappedThread.store(plat::machine::currentThreadId());
    // A library opened since the last update of the list, found in the
    // loader's chain.
    async_image_list_t* list = async_shared_image_list();
    async_image_list_add_loader_images(list);
    async_image_list_set_reading(list, true);
    for (async_image* image = async_image_list_next(list, nullptr); image != nullptr;
         image = async_image_list_next(list, image)) {
        const char* name = async_image_name(image);
        for (const char* at = name; *at != '\0'; ++at) {
            if (__builtin_strncmp(at, "machine_test_library", 20) == 0)
                gResults.lateLibraryFound = true;
        }
    }
    async_image_list_set_reading(list, false);
    pid_t ids[256];
    int count = plat::machine::listThreads(ids, 256);
    gResults.threads = count;
    if (count > 0)
        gResults.captured = plat::machine::suspendThreads(ids, count, 5'000'000'000);
    for (int i = 0; i < count; ++i) {
        async_frame_cursor cursor;
        if (ids[i] == plat::machine::currentThreadId()) {
            kcr_async_thread_state state;
            async_thread_state_mcontext_init(&state, static_cast<const ucontext_t*>(context));
            if (async_frame_cursor_init(&cursor, async_task_self(), &state, async_shared_image_list()) !=
                FRAME_ESUCCESS)
                continue;
        } else if (async_frame_cursor_init_with_thread(&cursor, async_task_self(),
                                                       static_cast<uint32_t>(ids[i]),
                                                       async_shared_image_list()) != KCR_ESUCCESS) {
            continue;
        }
        walk(&cursor);
    }
    // The calling thread's own state, captured without a signal.
    async_thread_state_current(
        [](kcr_async_thread_state* state, void*) -> kcr_error_t {
            async_frame_cursor cursor;
            if (async_frame_cursor_init(&cursor, async_task_self(), state, async_shared_image_list()) !=
                FRAME_ESUCCESS)
                return KCR_EINTERNAL;
            walk(&cursor);
            return KCR_ESUCCESS;
        },
        nullptr);
    plat::machine::resumeThreads();
    gTrappedThread.store(0);
}

__attribute__((noinline)) void spin(std::atomic<bool>* stop) {
    while (!stop->load(std::memory_order_relaxed)) {
    }
}

}  // namespace

TEST(CrashTimeSafety, CaptureWalkAndLookupAllocateNothingInsideASignalHandler) {
    // Ordinary-time preparation: thread control and the image list.
    ASSERT_TRUE(plat::machine::prepareThreadControl());
    async_image_list_poll_loader();
    // Symbols come from the files' full tables where there are some.
    async_image_list_load_file_symbols(async_shared_image_list());
    void* library = dlopen(KCR_MACHINE_TEST_LIBRARY, RTLD_NOW);  // after the list's last update
    ASSERT_NE(library, nullptr) << dlerror();
    armAllocationHooks();

    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back(spin, &stop);

    struct sigaction action {};
    action.sa_sigaction = crashTimeWork;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    raise(SIGUSR2);
    sigaction(SIGUSR2, &previous, nullptr);

    stop = true;
    for (auto& worker : workers)
        worker.join();

    EXPECT_EQ(gViolations.load(), 0);
    EXPECT_GE(gResults.threads, 5);
    EXPECT_EQ(gResults.captured, gResults.threads - 1);
    EXPECT_GT(gResults.frames, gResults.threads);
    EXPECT_GT(gResults.framesInImages, 0);
    EXPECT_GT(gResults.symbols, 0);
    EXPECT_TRUE(gResults.lateLibraryFound);
    async_image_list_poll_loader();
    dlclose(library);
    async_image_list_poll_loader();
}

namespace {

volatile char* gPage = nullptr;
std::atomic<int> gAnswered{0};

plat::machine::kern_return_t repairPage(plat::machine::mach_port_t, plat::machine::mach_port_t, int type,
                                        const int64_t* codes, uint32_t count, void*) {
    gTrappedServer.store(plat::machine::currentThreadId());
    int signo = 0, code = 0;
    uint64_t address = 0;
    kcr::async_mach_exception_get_siginfo(type, codes, count, &signo, &code, &address);
    // Nobody earlier takes it: the forwarder walks an empty set.
    kcr::kcr_mach_exception_port_set none;
    kcr::mach_exception_forward(plat::machine::kTaskSelf, 0, type, codes, count, &none);
    mprotect(const_cast<char*>(gPage), 4096, PROT_READ | PROT_WRITE);
    gAnswered++;
    gTrappedServer.store(0);
    return signo == SIGSEGV && address == reinterpret_cast<uint64_t>(gPage) ? plat::machine::KERN_SUCCESS
                                                                            : plat::machine::KERN_FAILURE;
}

__attribute__((no_sanitize("address", "undefined"), noinline)) void poke(volatile char* page) {
    page[0] = 7;
}

}  // namespace

// A real fault goes through the bridge to the exception server and back
// without an allocation on either thread.
TEST(CrashTimeSafety, ExceptionBridgeAndServerAllocateNothing) {
    gPage = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(gPage, MAP_FAILED);
    auto server = kcr::KCRCrashMachExceptionServer::create(repairPage, nullptr, nullptr);
    ASSERT_NE(server, nullptr);
    auto port = server->exceptionPortWithMask(1u << plat::machine::EXC_BAD_ACCESS, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->registerForThread(plat::machine::currentThreadId(), nullptr, nullptr));
    armAllocationHooks();
    gViolations = 0;
    gTrappedThread.store(plat::machine::currentThreadId());
    poke(gPage);
    gTrappedThread.store(0);
    EXPECT_EQ(gPage[0], 7);
    EXPECT_EQ(gAnswered.load(), 1);
    EXPECT_EQ(gViolations.load(), 0);
    plat::machine::resetExceptionPorts();
    munmap(const_cast<char*>(gPage), 4096);
}

TEST(CrashTimeSafety, TheTrapCatchesAllocations) {
    armAllocationHooks();
    gViolations = 0;
    gTrappedThread.store(plat::machine::currentThreadId());
    auto* leaked = new std::vector<int>(100);
    delete leaked;
    gTrappedThread.store(0);
    EXPECT_GE(gViolations.load(), 2);
}
