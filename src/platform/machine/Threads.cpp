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

#include "platform/foundation/Mutex.h"

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
// The thread that holds the slots, from its suspendThreads() to its
// resumeThreads() (0: none). Only one thread at a time may suspend others;
// the rule is checked here, not left to callers (a crash can come while a
// live report suspends): a second suspender is refused and suspends nobody.
std::atomic<pid_t> gSuspender{0};

bool holdsSlots(pid_t self) {
    return gSuspender.load(std::memory_order_acquire) == self;
}

long futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

int64_t monotonicNanoseconds() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // the monotonic clock always exists
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void pause(int64_t nanoseconds) {
    timespec delay{0, static_cast<long>(nanoseconds)};
    // An interrupted pause only ends early: every caller waits in a loop
    // against its own deadline.
    (void)nanosleep(&delay, nullptr);
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
        // Woken, interrupted or already changed: the loop looks again.
        while (gResumeGeneration.load(std::memory_order_acquire) == generation) {
            (void)futex(&gResumeGeneration, FUTEX_WAIT_PRIVATE, generation);  // the loop looks again
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
            (void)close(fd);  // a directory read only: closing loses nothing
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
    (void)close(fd);  // a directory read only: closing loses nothing
    return count;
}

// Preparation one thread at a time: it picks the signal and maps the slots once.
plat::Mutex gPrepareMutex;

bool prepareThreadControl() {
    plat::MutexLock lock(gPrepareMutex);
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
        (void)sigfillset(&action.sa_mask);  // our own set: cannot fail
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

namespace {

// Hands each listed thread but the caller a slot and sends it the signal.
// Returns how many are stopped in an exception already (they get no slot:
// their registers are those of their fault).
int requestSuspensions(const pid_t* ids, int count, pid_t self, int signal) {
    const pid_t pid = getpid();
    gSlotsInUse = 0;
    int waitingInException = 0;
    ThreadRegisters faulted;
    for (int i = 0; i < count && gSlotsInUse < kMaxSlots; ++i) {
        if (ids[i] == self)
            continue;
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
    return waitingInException;
}

int slotsIn(int state) {
    int found = 0;
    for (int i = 0; i < gSlotsInUse; ++i)
        found += gSlots[i].state.load(std::memory_order_acquire) == state;
    return found;
}

// Past the deadline: gives up on the silent threads (a handler that runs
// later finds its slot abandoned and returns at once) and lets those already
// copying finish, which takes a few instructions. Returns how many answered.
int abandonSilentThreads() {
    for (int i = 0; i < gSlotsInUse; ++i) {
        int expected = kRequested;
        if (gSlots[i].state.compare_exchange_strong(expected, kAbandoned)) {
            gSlots[i].tid.store(0, std::memory_order_release);
            gSlots[i].state.store(kFree, std::memory_order_release);
        }
    }
    for (int spins = 0; slotsIn(kCapturing) > 0 && spins < 1000; ++spins)
        pause(10000);
    return slotsIn(kCaptured);
}

// Waits until every requested thread has answered, or the deadline.
int waitForAnswers(int64_t deadline) {
    for (;;) {
        int answered = 0;
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
            return answered;
        if (monotonicNanoseconds() >= deadline)
            return abandonSilentThreads();
        pause(50000);
    }
}

}  // namespace

int suspendThreads(const pid_t* ids, int count, int64_t timeoutNanoseconds) {
    const int signal = gSignal.load();
    if (signal == 0 || gSlots == nullptr)
        return 0;
    const pid_t self = currentThreadId();
    pid_t holder = 0;
    if (!gSuspender.compare_exchange_strong(holder, self, std::memory_order_acq_rel) && holder != self)
        return 0;
    const int waitingInException = requestSuspensions(ids, count, self, signal);
    return waitForAnswers(monotonicNanoseconds() + timeoutNanoseconds) + waitingInException;
}

bool suspendedThreadRegisters(pid_t id, ThreadRegisters* out) {
    if (exceptionThreadRegisters(id, out))
        return true;
    if (!holdsSlots(currentThreadId()))
        return false;
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
    if (gSlots == nullptr || !holdsSlots(currentThreadId()))
        return;
    gResumeGeneration.fetch_add(1, std::memory_order_acq_rel);
    // Waking fails only for a bad address; the word is ours.
    (void)futex(&gResumeGeneration, FUTEX_WAKE_PRIVATE, 0x7fffffff);
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
    gSuspender.store(0, std::memory_order_release);
}

}  // namespace plat::machine
