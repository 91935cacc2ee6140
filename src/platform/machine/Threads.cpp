#include "platform/machine/Threads.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/machine/MachExceptions.h"
#include "platform/machine/Memory.h"

namespace plat::machine {

namespace {

enum SlotState : int { kFree = 0, kRequested, kCapturing, kCaptured, kAbandoned };

struct Slot {
    std::atomic<pid_t> tid{0};
    std::atomic<int> state{kFree};
    ThreadRegisters registers;
};

constexpr int kMaxSlots = 1024;
static_assert(std::atomic<int>::is_always_lock_free);

Slot* gSlots = nullptr;  // kMaxSlots slots in pages mapped at preparation
std::atomic<int> gSignal{0};
// Bumped by resumeThreads(); suspended handlers wait while it is unchanged.
std::atomic<uint32_t> gResumeGeneration{0};
int gSlotsInUse = 0;  // slots handed out by the last suspendThreads()

long futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void pause(int64_t nanoseconds) {
    timespec delay{0, static_cast<long>(nanoseconds)};
    nanosleep(&delay, nullptr);
}

// Runs on the target thread: publish the interrupted registers, then wait for
// the next resume generation.
void handshakeHandler(int, siginfo_t*, void* context) {
    int savedErrno = errno;
    pid_t self = currentThreadId();
    uint32_t generation = gResumeGeneration.load(std::memory_order_acquire);
    Slot* slot = nullptr;
    for (int i = 0; gSlots != nullptr && i < kMaxSlots; ++i) {
        if (gSlots[i].tid.load(std::memory_order_acquire) == self) {
            int expected = kRequested;
            if (gSlots[i].state.compare_exchange_strong(expected, kCapturing))
                slot = &gSlots[i];
            break;
        }
    }
    if (slot != nullptr) {
        const auto* uc = static_cast<const ucontext_t*>(context);
        static_assert(sizeof(uc->uc_mcontext.gregs) == sizeof(slot->registers.gregs));
        std::memcpy(slot->registers.gregs, uc->uc_mcontext.gregs, sizeof(slot->registers.gregs));
        slot->state.store(kCaptured, std::memory_order_release);
        while (gResumeGeneration.load(std::memory_order_acquire) == generation) {
            futex(&gResumeGeneration, FUTEX_WAIT_PRIVATE, generation);
        }
        slot->state.store(kFree, std::memory_order_release);
    }
    errno = savedErrno;
}

bool signalIsFree(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
           (current.sa_flags & SA_SIGINFO) == 0;
}

}  // namespace

pid_t currentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

int listThreads(pid_t* ids, int capacity) {
    int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    alignas(8) char buffer[4096];
    int count = 0;
    // The main thread's id is the process id; ids wrap around at pid_max, so
    // a later thread may have a lower one: the main thread sorts first by rule.
    const pid_t mainThread = getpid();
    auto before = [mainThread](pid_t a, pid_t b) { return b != mainThread && (a == mainThread || a < b); };
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        for (long offset = 0; offset < n;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
            unsigned short reclen;
            std::memcpy(&reclen, buffer + offset + 16, sizeof reclen);
            const char* name = buffer + offset + 19;
            if (reclen == 0)
                break;
            offset += reclen;
            pid_t id = 0;
            bool numeric = name[0] != '\0';
            for (const char* p = name; *p != '\0'; ++p) {
                if (*p < '0' || *p > '9') {
                    numeric = false;
                    break;
                }
                id = id * 10 + (*p - '0');
            }
            if (!numeric || count >= capacity)
                continue;
            // Insertion keeps the ids ascending.
            int at = count++;
            while (at > 0 && before(id, ids[at - 1])) {
                ids[at] = ids[at - 1];
                --at;
            }
            ids[at] = id;
        }
    }
    close(fd);
    return count;
}

bool prepareThreadControl() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (gSignal.load() != 0)
        return true;
    initialize();
    if (gSlots == nullptr) {
        void* pages = allocatePages(sizeof(Slot) * kMaxSlots);
        if (pages == nullptr)
            return false;
        gSlots = new (pages) Slot[kMaxSlots];
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        if (!signalIsFree(signal))
            continue;
        struct sigaction action {};
        action.sa_sigaction = handshakeHandler;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigfillset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) != 0)
            continue;
        gSignal.store(signal);
        return true;
    }
    return false;
}

int threadControlSignal() {
    return gSignal.load();
}

int suspendThreads(const pid_t* ids, int count, int64_t timeoutNanoseconds) {
    const int signal = gSignal.load();
    if (signal == 0 || gSlots == nullptr)
        return 0;
    const pid_t self = currentThreadId();
    const pid_t pid = getpid();
    gSlotsInUse = 0;
    int waitingInException = 0;
    ThreadRegisters faulted;
    for (int i = 0; i < count && gSlotsInUse < kMaxSlots; ++i) {
        if (ids[i] == self)
            continue;
        // A thread waiting in an exception is stopped already; its registers
        // are those of its fault.
        if (exceptionThreadRegisters(ids[i], &faulted)) {
            waitingInException++;
            continue;
        }
        Slot& slot = gSlots[gSlotsInUse];
        // A slot still held by a late handler of an earlier round is skipped.
        if (slot.state.load(std::memory_order_acquire) != kFree) {
            gSlotsInUse++;
            --i;
            continue;
        }
        slot.tid.store(ids[i], std::memory_order_relaxed);
        slot.state.store(kRequested, std::memory_order_release);
        gSlotsInUse++;
        if (syscall(SYS_tgkill, pid, ids[i], signal) != 0) {
            slot.state.store(kFree, std::memory_order_release);
            slot.tid.store(0, std::memory_order_release);
        }
    }
    const int64_t deadline = monotonicNanoseconds() + timeoutNanoseconds;
    int answered = 0;
    for (;;) {
        answered = 0;
        int waiting = 0;
        for (int i = 0; i < gSlotsInUse; ++i) {
            if (gSlots[i].tid.load(std::memory_order_relaxed) == 0)
                continue;
            int state = gSlots[i].state.load(std::memory_order_acquire);
            if (state == kCaptured)
                answered++;
            if (state == kRequested || state == kCapturing)
                waiting++;
        }
        if (waiting == 0)
            break;
        if (monotonicNanoseconds() >= deadline) {
            // Give up on the silent ones; a handler that runs later finds its
            // slot abandoned and returns at once.
            for (int i = 0; i < gSlotsInUse; ++i) {
                int expected = kRequested;
                if (gSlots[i].state.compare_exchange_strong(expected, kAbandoned)) {
                    gSlots[i].tid.store(0, std::memory_order_release);
                    gSlots[i].state.store(kFree, std::memory_order_release);
                }
            }
            // A handler already copying finishes within a few instructions.
            bool copying = true;
            for (int spins = 0; copying && spins < 1000; ++spins) {
                copying = false;
                for (int i = 0; i < gSlotsInUse; ++i) {
                    if (gSlots[i].state.load(std::memory_order_acquire) == kCapturing)
                        copying = true;
                }
                if (copying)
                    pause(10000);
            }
            answered = 0;
            for (int i = 0; i < gSlotsInUse; ++i) {
                if (gSlots[i].state.load(std::memory_order_acquire) == kCaptured)
                    answered++;
            }
            break;
        }
        pause(50000);
    }
    return answered + waitingInException;
}

bool suspendedThreadRegisters(pid_t id, ThreadRegisters* out) {
    if (exceptionThreadRegisters(id, out))
        return true;
    for (int i = 0; gSlots != nullptr && i < gSlotsInUse; ++i) {
        if (gSlots[i].tid.load(std::memory_order_relaxed) == id &&
            gSlots[i].state.load(std::memory_order_acquire) == kCaptured) {
            *out = gSlots[i].registers;
            return true;
        }
    }
    return false;
}

void resumeThreads() {
    if (gSlots == nullptr)
        return;
    gResumeGeneration.fetch_add(1, std::memory_order_acq_rel);
    futex(&gResumeGeneration, FUTEX_WAKE_PRIVATE, 0x7fffffff);
    const int64_t deadline = monotonicNanoseconds() + 1000000000;
    for (int i = 0; i < gSlotsInUse; ++i) {
        while (gSlots[i].state.load(std::memory_order_acquire) == kCaptured &&
               monotonicNanoseconds() < deadline) {
            pause(20000);
        }
        if (gSlots[i].state.load(std::memory_order_acquire) == kFree) {
            gSlots[i].tid.store(0, std::memory_order_release);
        }
    }
    gSlotsInUse = 0;
}

}  // namespace plat::machine
