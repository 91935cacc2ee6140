// In-process message ports standing in for the kernel's IPC on systems that
// have it: port names, receive and send rights with user references,
// send-once replies, port sets, no-senders notifications and a message
// call that sends, receives, or both.
//
// Names are 32-bit indices into a fixed table (0 is the null name, ~0 the dead
// one). Each port keeps a bounded queue of small messages. Allocating,
// releasing and changing rights happen at ordinary time under one mutex;
// sending and receiving take no lock and allocate nothing, so a signal
// handler may send a message and wait for its reply.
//
// Every call that changes rights or moves a message returns a kern_return_t
// and is [[nodiscard]]: KERN_SUCCESS (MACH_MSG_SUCCESS) or the reason.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat::machine {

using mach_port_t = uint32_t;
using kern_return_t = int;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = ~0u;
inline bool machPortValid(mach_port_t name) {
    return name != MACH_PORT_NULL && name != MACH_PORT_DEAD;
}

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_CAPABILITY = 20;
inline constexpr kern_return_t KERN_UREFS_OVERFLOW = 19;

// Message call results.
inline constexpr kern_return_t MACH_MSG_SUCCESS = 0;
inline constexpr kern_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr kern_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr kern_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr kern_return_t MACH_SEND_TOO_LARGE = 0x1000000a;
inline constexpr kern_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr kern_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr kern_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr kern_return_t MACH_RCV_PORT_DIED = 0x10004009;

// Rights.
enum class PortRight { Receive, PortSet };
// Dispositions of the header's remote and local ports.
inline constexpr uint32_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr uint32_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr uint32_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr uint32_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr uint32_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;

// Options of machMsg.
inline constexpr uint32_t MACH_SEND_MSG = 1;
inline constexpr uint32_t MACH_RCV_MSG = 2;
inline constexpr uint32_t MACH_RCV_LARGE = 4;
inline constexpr uint32_t MACH_RCV_TIMEOUT = 0x100;

// The notification sent when a port's last send right goes.
inline constexpr int32_t MACH_NOTIFY_NO_SENDERS = 70;

// The largest message a queue holds, and the messages each port queues.
inline constexpr size_t kMaxMessageSize = 512;
inline constexpr size_t kPortQueueLength = 16;
inline constexpr size_t kMaxPorts = 512;

struct mach_msg_header_t {
    uint32_t msgh_bits = 0;  // remote disposition in bits 0-4, local in 8-12
    uint32_t msgh_size = 0;
    mach_port_t msgh_remote_port = MACH_PORT_NULL;
    mach_port_t msgh_local_port = MACH_PORT_NULL;
    uint32_t msgh_voucher_port = 0;
    int32_t msgh_id = 0;
};
static_assert(sizeof(mach_msg_header_t) == 24);

inline constexpr uint32_t machMsgBits(uint32_t remote, uint32_t local) {
    return remote | (local << 8);
}

// Ordinary time. A new receive right (or empty port set) under a fresh name.
[[nodiscard]] kern_return_t machPortAllocate(PortRight right, mach_port_t* name);
// Adds a send right made from the receive right (MACH_MSG_TYPE_MAKE_SEND),
// or one more user reference of the send right (MACH_MSG_TYPE_COPY_SEND).
[[nodiscard]] kern_return_t machPortInsertRight(mach_port_t name, uint32_t disposition);
// Adds `delta` user references to the send right (negative: takes them);
// the last one going arms the no-senders notification.
[[nodiscard]] kern_return_t machPortModSendRefs(mach_port_t name, int delta);
// Takes one send user reference (mach_port_deallocate).
[[nodiscard]] kern_return_t machPortDeallocate(mach_port_t name);
// Destroys the receive right (or set): queued messages are dropped, senders
// get MACH_SEND_INVALID_DEST, a receiver waiting on it wakes with
// MACH_RCV_PORT_DIED. The name is free again once no send references remain.
[[nodiscard]] kern_return_t machPortDestroy(mach_port_t name);
// Asks for MACH_NOTIFY_NO_SENDERS on `name`, sent to `notify` when the send
// references of `name` drop to zero.
[[nodiscard]] kern_return_t machPortRequestNoSenders(mach_port_t name, mach_port_t notify);
// Moves a receive right into a port set (MACH_PORT_NULL: out of any set).
[[nodiscard]] kern_return_t machPortMoveMember(mach_port_t member, mach_port_t set);
// Whether the name is a receive right that still takes messages.
bool machPortAlive(mach_port_t name);
// The send user references of a port (for tests), or -1 for a bad name.
int machPortSendRefs(mach_port_t name);
// The number of names in use (for tests: nothing left behind).
size_t machPortsInUse();

// Sends and/or receives. With MACH_SEND_MSG, `message` (msgh_size bytes) is
// queued on its remote port; a local port with MAKE_SEND_ONCE becomes the
// reply port the receiver sees. With MACH_RCV_MSG, waits for a message on
// `receiveName` (a port or a set) and copies it into `message` (capacity
// `receiveSize`); with MACH_RCV_LARGE a message that does not fit stays
// queued and its size is put in msgh_size (MACH_RCV_TOO_LARGE), without it
// the message is dropped. MACH_RCV_TIMEOUT bounds the wait by
// `timeoutMilliseconds`. The receiving thread is recorded as the port's
// receiver. Async-signal-safe.
[[nodiscard]] kern_return_t machMsg(mach_msg_header_t* message, uint32_t options, uint32_t sendSize,
                                    uint32_t receiveSize, mach_port_t receiveName,
                                    uint32_t timeoutMilliseconds);

// The thread that last received on the port, or on the set that holds it
// (0: none). Async-signal-safe.
int32_t machPortReceiverThread(mach_port_t name);

}  // namespace plat::machine
