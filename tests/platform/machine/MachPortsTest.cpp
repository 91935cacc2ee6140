// The in-process message ports: rights and references, queues, port sets,
// receive options and the no-senders notification.
#include "platform/machine/MachPorts.h"

#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/machine/Threads.h"

namespace pm = plat::machine;

namespace {

struct Message {
    pm::mach_msg_header_t header;
    uint32_t body[4];
};

pm::kern_return_t send(pm::mach_port_t to, int32_t id, uint32_t size = sizeof(Message),
                       pm::mach_port_t reply = pm::MACH_PORT_NULL) {
    Message m{};
    m.header.msgh_bits = pm::machMsgBits(pm::MACH_MSG_TYPE_COPY_SEND,
                                         reply != pm::MACH_PORT_NULL ? pm::MACH_MSG_TYPE_MAKE_SEND_ONCE : 0);
    m.header.msgh_remote_port = to;
    m.header.msgh_local_port = reply;
    m.header.msgh_id = id;
    m.body[0] = static_cast<uint32_t>(id) * 3;
    return pm::machMsg(&m.header, pm::MACH_SEND_MSG, size, 0, pm::MACH_PORT_NULL, 0);
}

pm::kern_return_t receive(pm::mach_port_t from, Message* out, uint32_t options = 0,
                          uint32_t size = sizeof(Message), uint32_t timeout = 0) {
    return pm::machMsg(&out->header, pm::MACH_RCV_MSG | pm::MACH_RCV_TIMEOUT | options, 0, size, from,
                       timeout);
}

class MachPorts : public ::testing::Test {
  protected:
    void SetUp() override { baseline_ = pm::machPortsInUse(); }
    void TearDown() override { EXPECT_EQ(pm::machPortsInUse(), baseline_) << "a port was left behind"; }
    size_t baseline_ = 0;
};

TEST_F(MachPorts, MessagesKeepOrderIdsAndSwapTheHeaderPorts) {
    pm::mach_port_t port, reply;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &reply), pm::KERN_SUCCESS);
    EXPECT_TRUE(pm::machPortValid(port));
    EXPECT_EQ(send(port, 7, sizeof(Message), reply), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(send(port, 8), pm::MACH_MSG_SUCCESS);
    Message m{};
    ASSERT_EQ(receive(port, &m), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(m.header.msgh_id, 7);
    EXPECT_EQ(m.body[0], 21u);
    EXPECT_EQ(m.header.msgh_size, sizeof(Message));
    EXPECT_EQ(m.header.msgh_local_port, port);
    EXPECT_EQ(m.header.msgh_remote_port, reply);
    EXPECT_EQ(m.header.msgh_bits & 0x1f, pm::MACH_MSG_TYPE_MOVE_SEND_ONCE);
    ASSERT_EQ(receive(port, &m), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(m.header.msgh_id, 8);
    EXPECT_EQ(receive(port, &m, 0, sizeof m, 10), pm::MACH_RCV_TIMED_OUT);
    EXPECT_EQ(pm::machPortReceiverThread(port), pm::currentThreadId());
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(reply), pm::KERN_SUCCESS);
}

TEST_F(MachPorts, BadSendsAndFullQueuesFailWithoutBlocking) {
    pm::mach_port_t port;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    EXPECT_EQ(send(port, 1, 20), pm::MACH_SEND_MSG_TOO_SMALL);
    EXPECT_EQ(send(port, 1, pm::kMaxMessageSize + 4), pm::MACH_SEND_TOO_LARGE);
    EXPECT_EQ(send(pm::MACH_PORT_NULL, 1), pm::MACH_SEND_INVALID_DEST);
    EXPECT_EQ(send(pm::MACH_PORT_DEAD, 1), pm::MACH_SEND_INVALID_DEST);
    for (size_t i = 0; i < pm::kPortQueueLength; ++i)
        EXPECT_EQ(send(port, static_cast<int32_t>(i)), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(send(port, 99), pm::MACH_SEND_NO_BUFFER);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    EXPECT_EQ(send(port, 1), pm::MACH_SEND_INVALID_DEST);
    Message m{};
    EXPECT_EQ(receive(port, &m), pm::MACH_RCV_INVALID_NAME);
}

TEST_F(MachPorts, LargeReceiveKeepsTheMessageAndReportsItsSize) {
    pm::mach_port_t port;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    ASSERT_EQ(send(port, 5), pm::MACH_MSG_SUCCESS);
    Message m{};
    EXPECT_EQ(receive(port, &m, pm::MACH_RCV_LARGE, 24), pm::MACH_RCV_TOO_LARGE);
    EXPECT_EQ(m.header.msgh_size, sizeof(Message));
    ASSERT_EQ(receive(port, &m), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(m.header.msgh_id, 5);
    // Without the option the message that does not fit is dropped.
    ASSERT_EQ(send(port, 6), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(receive(port, &m, 0, 24), pm::MACH_RCV_TOO_LARGE);
    EXPECT_EQ(receive(port, &m, 0, sizeof m, 10), pm::MACH_RCV_TIMED_OUT);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
}

TEST_F(MachPorts, SetReceivesFromEveryMemberAndWakesAWaitingReceiver) {
    pm::mach_port_t set, a, b;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::PortSet, &set), pm::KERN_SUCCESS);
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &a), pm::KERN_SUCCESS);
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &b), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortMoveMember(a, set), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortMoveMember(b, set), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortMoveMember(set, a), pm::KERN_INVALID_RIGHT);
    std::atomic<int> got{0};
    std::atomic<pid_t> receiver{0};
    std::thread waiter([&] {
        receiver = pm::currentThreadId();
        Message m{};
        for (int i = 0; i < 2; ++i) {
            if (receive(set, &m, 0, sizeof m, 5000) == pm::MACH_MSG_SUCCESS)
                got += m.header.msgh_id;
        }
    });
    while (pm::machPortReceiverThread(a) == 0)
        std::this_thread::yield();
    EXPECT_EQ(send(a, 10), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(send(b, 20), pm::MACH_MSG_SUCCESS);
    waiter.join();
    EXPECT_EQ(got.load(), 30);
    EXPECT_EQ(pm::machPortReceiverThread(b), receiver.load());
    EXPECT_EQ(pm::machPortDestroy(a), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(b), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(set), pm::KERN_SUCCESS);
}

TEST_F(MachPorts, DestroyingWakesAReceiverWithPortDied) {
    pm::mach_port_t port;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    std::atomic<pm::kern_return_t> result{0};
    std::thread waiter([&] {
        Message m{};
        result = receive(port, &m, 0, sizeof m, 10000);
    });
    while (pm::machPortReceiverThread(port) == 0)
        std::this_thread::yield();
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    waiter.join();
    EXPECT_TRUE(result == pm::MACH_RCV_PORT_DIED || result == pm::MACH_RCV_INVALID_NAME) << result;
}

TEST_F(MachPorts, SendReferencesAndTheNoSendersNotification) {
    pm::mach_port_t port, notify;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &notify), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_COPY_SEND), pm::KERN_INVALID_RIGHT);
    EXPECT_EQ(pm::machPortModSendRefs(port, 1), pm::KERN_INVALID_RIGHT);  // no send right yet
    ASSERT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_MAKE_SEND), pm::KERN_SUCCESS);
    ASSERT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_COPY_SEND), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortSendRefs(port), 2);
    ASSERT_EQ(pm::machPortRequestNoSenders(port, notify), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
    Message m{};
    EXPECT_EQ(receive(notify, &m, 0, sizeof m, 10), pm::MACH_RCV_TIMED_OUT);
    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
    ASSERT_EQ(receive(notify, &m, 0, sizeof m, 1000), pm::MACH_MSG_SUCCESS);
    EXPECT_EQ(m.header.msgh_id, pm::MACH_NOTIFY_NO_SENDERS);
    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_INVALID_RIGHT);
    // A receive right destroyed while send references remain leaves a dead
    // name that goes with the last reference.
    ASSERT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_MAKE_SEND), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    EXPECT_FALSE(pm::machPortAlive(port));
    EXPECT_EQ(pm::machPortSendRefs(port), 1);
    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortSendRefs(port), -1);
    EXPECT_EQ(pm::machPortDestroy(notify), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortAllocate(pm::PortRight::Receive, nullptr), pm::KERN_INVALID_ARGUMENT);
}

}  // namespace
