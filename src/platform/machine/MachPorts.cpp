#include "platform/machine/MachPorts.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/foundation/Mutex.h"

namespace plat::machine {

namespace {

enum Kind : int { kFree = 0, kReceive, kSet, kDeadName };

// One queued message. `sequence` orders producers and the consumer of a
// bounded multi-producer queue: a cell is free for position p when its
// sequence is p, and holds the message of position p when it is p + 1.
struct Cell {
    std::atomic<uint64_t> sequence{0};
    uint32_t size = 0;
    alignas(8) uint8_t bytes[kMaxMessageSize];
};

struct Port {
    std::atomic<int> kind{kFree};
    std::atomic<int> sendRefs{0};
    std::atomic<mach_port_t> set{MACH_PORT_NULL};
    std::atomic<mach_port_t> noSendersNotify{MACH_PORT_NULL};
    std::atomic<int32_t> receiver{0};
    // Bumped (and woken) on every message and on destruction.
    std::atomic<uint32_t> generation{0};
    std::atomic<uint64_t> head{0};
    std::atomic<uint64_t> tail{0};
    Cell cells[kPortQueueLength];
};

Port gPorts[kMaxPorts];
// Changes of rights, one at a time. The table's fields are atomics because
// sending and receiving read them without it.
plat::Mutex gRightsMutex;

Port* port(mach_port_t name) {
    if (name == MACH_PORT_NULL || name >= kMaxPorts)
        return nullptr;
    return &gPorts[name];
}

void resetQueue(Port& p) {
    p.head.store(0);
    p.tail.store(0);
    for (size_t i = 0; i < kPortQueueLength; ++i)
        p.cells[i].sequence.store(i);
}

void wake(Port& p) {
    p.generation.fetch_add(1, std::memory_order_acq_rel);
    // Waking fails only for a bad address; the word is ours.
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t*>(&p.generation), FUTEX_WAKE_PRIVATE, 0x7fffffff,
                  nullptr, nullptr, 0);
}

bool enqueue(Port& p, const void* bytes, uint32_t size) {
    uint64_t position = p.tail.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = p.cells[position % kPortQueueLength];
        const uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
        const int64_t difference = static_cast<int64_t>(sequence) - static_cast<int64_t>(position);
        if (difference == 0) {
            if (p.tail.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                std::memcpy(cell.bytes, bytes, size);
                cell.size = size;
                cell.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (difference < 0) {
            return false;  // full
        } else {
            position = p.tail.load(std::memory_order_relaxed);
        }
    }
}

// The size of the first queued message, or 0 when the queue is empty.
uint32_t peek(Port& p) {
    const uint64_t position = p.head.load(std::memory_order_acquire);
    Cell& cell = p.cells[position % kPortQueueLength];
    if (cell.sequence.load(std::memory_order_acquire) != position + 1)
        return 0;
    return cell.size;
}

// Takes the first message; copies it when `out` is given.
bool dequeue(Port& p, void* out) {
    uint64_t position = p.head.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = p.cells[position % kPortQueueLength];
        const uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
        const int64_t difference = static_cast<int64_t>(sequence) - static_cast<int64_t>(position + 1);
        if (difference == 0) {
            if (p.head.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                if (out != nullptr)
                    std::memcpy(out, cell.bytes, cell.size);
                cell.sequence.store(position + kPortQueueLength, std::memory_order_release);
                return true;
            }
        } else if (difference < 0) {
            return false;  // empty
        } else {
            position = p.head.load(std::memory_order_relaxed);
        }
    }
}

int32_t currentThread() {
    return static_cast<int32_t>(syscall(SYS_gettid));
}

int64_t nowMilliseconds() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // the monotonic clock always exists
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

kern_return_t send(mach_msg_header_t* message, uint32_t size) {
    if (size < sizeof(mach_msg_header_t) || size % 4 != 0)
        return MACH_SEND_MSG_TOO_SMALL;
    if (size > kMaxMessageSize)
        return MACH_SEND_TOO_LARGE;
    Port* destination = port(message->msgh_remote_port);
    if (destination == nullptr || destination->kind.load(std::memory_order_acquire) != kReceive)
        return MACH_SEND_INVALID_DEST;
    // The receiver sees the header with the ports swapped, as the kernel
    // delivers it: its local port is the destination, its remote port the
    // reply port (when one was given).
    alignas(8) uint8_t copy[kMaxMessageSize];
    std::memcpy(copy, message, size);
    auto* header = reinterpret_cast<mach_msg_header_t*>(copy);
    header->msgh_size = size;
    header->msgh_remote_port = message->msgh_local_port;
    header->msgh_local_port = message->msgh_remote_port;
    const uint32_t localDisposition = (message->msgh_bits >> 8) & 0x1f;
    const uint32_t replyDisposition = localDisposition == MACH_MSG_TYPE_MAKE_SEND_ONCE
                                          ? MACH_MSG_TYPE_MOVE_SEND_ONCE
                                      : localDisposition != 0 ? MACH_MSG_TYPE_MOVE_SEND
                                                              : 0;
    header->msgh_bits = (message->msgh_bits & ~0x1f1fu) | machMsgBits(replyDisposition, 0);
    if (!enqueue(*destination, copy, size))
        return MACH_SEND_NO_BUFFER;
    wake(*destination);
    const mach_port_t set = destination->set.load(std::memory_order_acquire);
    if (Port* s = port(set))
        wake(*s);
    return MACH_MSG_SUCCESS;
}

// Finds a port with a queued message: the port itself, or a member of the set.
Port* ready(mach_port_t name, Port& receiving) {
    if (receiving.kind.load(std::memory_order_acquire) == kReceive)
        return peek(receiving) != 0 ? &receiving : nullptr;
    for (size_t i = 1; i < kMaxPorts; ++i) {
        Port& member = gPorts[i];
        if (member.set.load(std::memory_order_acquire) == name &&
            member.kind.load(std::memory_order_acquire) == kReceive && peek(member) != 0)
            return &member;
    }
    return nullptr;
}

kern_return_t receive(mach_msg_header_t* message, uint32_t options, uint32_t capacity, mach_port_t name,
                      uint32_t timeoutMilliseconds) {
    Port* receiving = port(name);
    if (receiving == nullptr)
        return MACH_RCV_INVALID_NAME;
    const int kind = receiving->kind.load(std::memory_order_acquire);
    if (kind != kReceive && kind != kSet)
        return MACH_RCV_INVALID_NAME;
    receiving->receiver.store(currentThread(), std::memory_order_release);
    const bool timed = (options & MACH_RCV_TIMEOUT) != 0;
    const int64_t deadline = timed ? nowMilliseconds() + timeoutMilliseconds : 0;
    for (;;) {
        const uint32_t generation = receiving->generation.load(std::memory_order_acquire);
        const int now = receiving->kind.load(std::memory_order_acquire);
        if (now != kReceive && now != kSet)
            return MACH_RCV_PORT_DIED;
        if (Port* source = ready(name, *receiving)) {
            const uint32_t size = peek(*source);
            if (size == 0)
                continue;
            if (size > capacity) {
                if ((options & MACH_RCV_LARGE) != 0) {
                    if (capacity >= sizeof(mach_msg_header_t))
                        message->msgh_size = size;
                    return MACH_RCV_TOO_LARGE;
                }
                // Dropped, as the kernel drops it; should another receiver
                // have taken it first, it is gone all the same.
                (void)dequeue(*source, nullptr);
                return MACH_RCV_TOO_LARGE;
            }
            if (dequeue(*source, message))
                return MACH_MSG_SUCCESS;
            continue;
        }
        timespec wait{};
        timespec* waitPointer = nullptr;
        if (timed) {
            const int64_t left = deadline - nowMilliseconds();
            if (left <= 0)
                return MACH_RCV_TIMED_OUT;
            wait.tv_sec = left / 1000;
            wait.tv_nsec = (left % 1000) * 1000000;
            waitPointer = &wait;
        }
        // Woken, timed out, interrupted or already changed: the loop looks again.
        (void)syscall(SYS_futex, reinterpret_cast<uint32_t*>(&receiving->generation), FUTEX_WAIT_PRIVATE,
                      generation, waitPointer, nullptr, 0);
    }
}

void releaseName(mach_port_t name, Port& p) REQUIRES(gRightsMutex) {
    p.set.store(MACH_PORT_NULL);
    p.noSendersNotify.store(MACH_PORT_NULL);
    p.receiver.store(0);
    resetQueue(p);
    p.kind.store(kFree, std::memory_order_release);
    (void)name;
}

// The send references drop to zero.
void lastSendRightGone(mach_port_t name, Port& p) REQUIRES(gRightsMutex) {
    if (p.kind.load() == kDeadName) {
        releaseName(name, p);
        return;
    }
    const mach_port_t notify = p.noSendersNotify.exchange(MACH_PORT_NULL);
    if (!machPortValid(notify))
        return;
    struct {
        mach_msg_header_t header;
        uint32_t ndr[2];
        uint32_t sendCount;
    } notification{};
    notification.header.msgh_bits = machMsgBits(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
    notification.header.msgh_size = sizeof notification;
    notification.header.msgh_remote_port = notify;
    notification.header.msgh_local_port = MACH_PORT_NULL;
    notification.header.msgh_id = MACH_NOTIFY_NO_SENDERS;
    // A full or dead notify port loses the notification, as the kernel's
    // would; the change of rights stands either way.
    (void)send(&notification.header, sizeof notification);
}

}  // namespace

kern_return_t machPortAllocate(PortRight right, mach_port_t* name) {
    if (name == nullptr)
        return KERN_INVALID_ARGUMENT;
    plat::MutexLock lock(gRightsMutex);
    for (mach_port_t candidate = 1; candidate < kMaxPorts; ++candidate) {
        Port& p = gPorts[candidate];
        if (p.kind.load() != kFree)
            continue;
        resetQueue(p);
        p.sendRefs.store(0);
        p.set.store(MACH_PORT_NULL);
        p.noSendersNotify.store(MACH_PORT_NULL);
        p.receiver.store(0);
        p.kind.store(right == PortRight::Receive ? kReceive : kSet, std::memory_order_release);
        *name = candidate;
        return KERN_SUCCESS;
    }
    *name = MACH_PORT_NULL;
    return KERN_RESOURCE_SHORTAGE;
}

kern_return_t machPortInsertRight(mach_port_t name, uint32_t disposition) {
    plat::MutexLock lock(gRightsMutex);
    Port* p = port(name);
    if (p == nullptr || p->kind.load() == kFree)
        return KERN_INVALID_NAME;
    if (disposition == MACH_MSG_TYPE_MAKE_SEND) {
        if (p->kind.load() != kReceive)
            return KERN_INVALID_RIGHT;
    } else if (disposition == MACH_MSG_TYPE_COPY_SEND) {
        if (p->sendRefs.load() <= 0)
            return KERN_INVALID_RIGHT;
    } else {
        return KERN_INVALID_ARGUMENT;
    }
    if (p->sendRefs.load() == 0xffff)
        return KERN_UREFS_OVERFLOW;
    p->sendRefs.fetch_add(1);
    return KERN_SUCCESS;
}

kern_return_t machPortModSendRefs(mach_port_t name, int delta) {
    plat::MutexLock lock(gRightsMutex);
    Port* p = port(name);
    if (p == nullptr || p->kind.load() == kFree)
        return KERN_INVALID_NAME;
    const int refs = p->sendRefs.load();
    if (refs + delta < 0 || (refs == 0 && delta > 0))
        return KERN_INVALID_RIGHT;
    if (refs + delta > 0xffff)
        return KERN_UREFS_OVERFLOW;
    p->sendRefs.store(refs + delta);
    if (refs > 0 && refs + delta == 0)
        lastSendRightGone(name, *p);
    return KERN_SUCCESS;
}

kern_return_t machPortDeallocate(mach_port_t name) {
    return machPortModSendRefs(name, -1);
}

kern_return_t machPortDestroy(mach_port_t name) {
    plat::MutexLock lock(gRightsMutex);
    Port* p = port(name);
    if (p == nullptr)
        return KERN_INVALID_NAME;
    const int kind = p->kind.load();
    if (kind != kReceive && kind != kSet)
        return KERN_INVALID_RIGHT;
    if (kind == kSet) {
        for (auto& member : gPorts) {
            mach_port_t expected = name;
            member.set.compare_exchange_strong(expected, MACH_PORT_NULL);
        }
    }
    // A request for notifications of another port sent here now goes nowhere.
    for (auto& other : gPorts) {
        mach_port_t expected = name;
        other.noSendersNotify.compare_exchange_strong(expected, MACH_PORT_NULL);
    }
    const mach_port_t set = p->set.load();
    if (kind == kReceive && p->sendRefs.load() > 0) {
        p->kind.store(kDeadName, std::memory_order_release);
        p->set.store(MACH_PORT_NULL);
        p->noSendersNotify.store(MACH_PORT_NULL);
        resetQueue(*p);
    } else {
        releaseName(name, *p);
    }
    wake(*p);
    if (Port* s = port(set))
        wake(*s);
    return KERN_SUCCESS;
}

kern_return_t machPortRequestNoSenders(mach_port_t name, mach_port_t notify) {
    plat::MutexLock lock(gRightsMutex);
    Port* p = port(name);
    Port* n = port(notify);
    if (p == nullptr || p->kind.load() != kReceive)
        return KERN_INVALID_RIGHT;
    if (n == nullptr || n->kind.load() != kReceive)
        return KERN_INVALID_CAPABILITY;
    p->noSendersNotify.store(notify);
    return KERN_SUCCESS;
}

kern_return_t machPortMoveMember(mach_port_t member, mach_port_t set) {
    plat::MutexLock lock(gRightsMutex);
    Port* m = port(member);
    if (m == nullptr || m->kind.load() != kReceive)
        return KERN_INVALID_RIGHT;
    if (set != MACH_PORT_NULL) {
        Port* s = port(set);
        if (s == nullptr || s->kind.load() != kSet)
            return KERN_INVALID_RIGHT;
        m->set.store(set);
        if (peek(*m) != 0)
            wake(*s);
    } else {
        m->set.store(MACH_PORT_NULL);
    }
    return KERN_SUCCESS;
}

bool machPortAlive(mach_port_t name) {
    Port* p = port(name);
    return p != nullptr && p->kind.load(std::memory_order_acquire) == kReceive;
}

int machPortSendRefs(mach_port_t name) {
    Port* p = port(name);
    if (p == nullptr || p->kind.load() == kFree)
        return -1;
    return p->sendRefs.load();
}

size_t machPortsInUse() {
    size_t count = 0;
    for (size_t i = 1; i < kMaxPorts; ++i)
        count += gPorts[i].kind.load() != kFree;
    return count;
}

kern_return_t machMsg(mach_msg_header_t* message, uint32_t options, uint32_t sendSize, uint32_t receiveSize,
                      mach_port_t receiveName, uint32_t timeoutMilliseconds) {
    if (message == nullptr)
        return KERN_INVALID_ARGUMENT;
    if ((options & MACH_SEND_MSG) != 0) {
        const kern_return_t sent = send(message, sendSize);
        if (sent != MACH_MSG_SUCCESS)
            return sent;
    }
    if ((options & MACH_RCV_MSG) != 0)
        return receive(message, options, receiveSize, receiveName, timeoutMilliseconds);
    return MACH_MSG_SUCCESS;
}

int32_t machPortReceiverThread(mach_port_t name) {
    Port* p = port(name);
    if (p == nullptr)
        return 0;
    if (int32_t own = p->receiver.load(std::memory_order_acquire); own != 0)
        return own;
    if (Port* s = port(p->set.load(std::memory_order_acquire)))
        return s->receiver.load(std::memory_order_acquire);
    return 0;
}

}  // namespace plat::machine
