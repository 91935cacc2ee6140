// The exception server with requests sent through the port stand-in, the
// registration objects and their references, forwarding to earlier ports,
// the exception-to-signal table and the exception mask rule.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "crashcapture/KCRCrashMachExceptionServer.h"
#include "crashcapture/KCRCrashReporter.h"
#include "crashcapture/KCRCrashSignalNames.h"
#include "platform/machine/Threads.h"
#include "support/WaitUntil.h"

namespace pm = plat::machine;
using namespace kcr;

namespace {

struct Seen {
    std::atomic<int> calls{0};
    std::atomic<int> type{0};
    int64_t codes[2] = {};
    std::atomic<uint32_t> count{0};
    std::atomic<pid_t> thread{0};
    pm::kern_return_t answer = pm::KERN_SUCCESS;
};

pm::kern_return_t record(pm::mach_port_t, pm::mach_port_t thread, int type, const int64_t* codes,
                         uint32_t count, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->type = type;
    seen->codes[0] = count > 0 ? codes[0] : 0;
    seen->codes[1] = count > 1 ? codes[1] : 0;
    seen->count = count;
    seen->thread = static_cast<pid_t>(thread);
    seen->calls++;
    return seen->answer;
}

// Sends `size` bytes of an exception request to `port` and waits for the
// reply; its return code (or the message error).
pm::kern_return_t request(pm::mach_port_t port, uint32_t size, int32_t id = pm::kExceptionRaiseId) {
    pm::mach_port_t reply;
    EXPECT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &reply), pm::KERN_SUCCESS);
    pm::ExceptionRequest message{};
    message.header.msgh_bits = pm::machMsgBits(pm::MACH_MSG_TYPE_COPY_SEND, pm::MACH_MSG_TYPE_MAKE_SEND_ONCE);
    message.header.msgh_remote_port = port;
    message.header.msgh_local_port = reply;
    message.header.msgh_id = id;
    message.thread = 4242;
    message.task = pm::kTaskSelf;
    message.exception = pm::EXC_BAD_ACCESS;
    message.codeCount = 2;
    const int64_t codes[2] = {1, 0xdead0};
    std::memcpy(reinterpret_cast<uint8_t*>(&message) + 68, codes, sizeof codes);
    pm::kern_return_t result =
        pm::machMsg(&message.header, pm::MACH_SEND_MSG, size, 0, pm::MACH_PORT_NULL, 0);
    if (result == pm::MACH_MSG_SUCCESS) {
        pm::ExceptionReply answer{};
        result = pm::machMsg(&answer.header, pm::MACH_RCV_MSG | pm::MACH_RCV_TIMEOUT, 0, sizeof answer, reply,
                             5000);
        if (result == pm::MACH_MSG_SUCCESS) {
            EXPECT_EQ(answer.header.msgh_id, id + 100);
            EXPECT_EQ(answer.header.msgh_size, 36u);
            result = answer.returnCode;
        }
    }
    EXPECT_EQ(pm::machPortDestroy(reply), pm::KERN_SUCCESS);
    return result;
}

TEST(MachExceptionServer, AnswersRequestsAndRefusesShortOnes) {
    Seen seen;
    plat::ErrorPtr error;
    auto server = KCRCrashMachExceptionServer::create(record, &seen, &error);
    ASSERT_NE(server, nullptr) << (error ? error->description() : "");
    EXPECT_NE(server->serverThread(), 0);
    EXPECT_NE(server->serverThread(), pm::currentThreadId());
    const pm::mach_port_t port = server->copySendRightForServer(&error);
    ASSERT_TRUE(pm::machPortValid(port));

    EXPECT_EQ(request(port, pm::kExceptionRequestSize), pm::KERN_SUCCESS);
    EXPECT_EQ(seen.calls.load(), 1);
    EXPECT_EQ(seen.type.load(), pm::EXC_BAD_ACCESS);
    EXPECT_EQ(seen.count.load(), 2u);
    EXPECT_EQ(seen.codes[0], 1);
    EXPECT_EQ(seen.codes[1], 0xdead0);
    EXPECT_EQ(seen.thread.load(), 4242);
    seen.answer = pm::KERN_FAILURE;
    EXPECT_EQ(request(port, pm::kExceptionRequestSize), pm::KERN_FAILURE);
    EXPECT_EQ(seen.calls.load(), 2);

    // 80 bytes (the largest short size the ports carry): failure, no call.
    seen.answer = pm::KERN_SUCCESS;
    EXPECT_EQ(request(port, 80), pm::KERN_FAILURE);
    EXPECT_EQ(seen.calls.load(), 2);

    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
}

TEST(MachExceptionServer, NoSendersDoesNotStopItAndTeardownLeavesNothing) {
    ASSERT_TRUE(pm::prepareExceptionRaise());  // made once per process
    const size_t ports = pm::machPortsInUse();
    pid_t ids[256];
    const int threads = pm::listThreads(ids, 256);
    for (int round = 0; round < 3; ++round) {
        Seen seen;
        auto server = KCRCrashMachExceptionServer::create(record, &seen, nullptr);
        ASSERT_NE(server, nullptr);
        const pm::mach_port_t port = server->copySendRightForServer(nullptr);
        // The last send right goes: the notification arrives and is ignored.
        EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
        const pm::mach_port_t again = server->copySendRightForServer(nullptr);
        EXPECT_EQ(request(again, pm::kExceptionRequestSize), pm::KERN_SUCCESS);
        EXPECT_EQ(seen.calls.load(), 1);
        EXPECT_EQ(pm::machPortDeallocate(again), pm::KERN_SUCCESS);
        auto registration = server->exceptionPortWithMask(1u << pm::EXC_SOFTWARE, nullptr);
        ASSERT_NE(registration, nullptr);
        EXPECT_EQ(registration->behavior(), pm::EXCEPTION_DEFAULT | pm::MACH_EXCEPTION_CODES);
        EXPECT_EQ(registration->flavor(), 1);
        std::shared_ptr<KCRCrashMachExceptionPortSet> previous;
        ASSERT_TRUE(registration->registerForTask(&previous, nullptr));
        // Put back what was there (nothing): the table lets go of the port.
        KCRCrashMachExceptionPort none(pm::MACH_PORT_NULL, 1u << pm::EXC_SOFTWARE, 0, 0);
        ASSERT_TRUE(none.registerForTask(nullptr, nullptr));
    }
    EXPECT_EQ(pm::machPortsInUse(), ports);
    // The detached server threads are gone (they end right after answering
    // the stop message). ThreadSanitizer starts threads of its own, so the
    // count only holds without it.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "thread counts include the sanitizer's own threads";
#endif
#endif
    // Every thread left was there before: a thread an earlier test left
    // ending may have gone meanwhile, so the count alone says nothing.
    const std::set<pid_t> before(ids, ids + threads);
    EXPECT_TRUE(testsupport::waitUntil([&] {
        const int now = pm::listThreads(ids, 256);
        return std::all_of(ids, ids + now, [&](pid_t id) { return before.count(id) != 0; });
    }));
}

// The server may not be destroyed by its own callback: instead of the
// server thread waiting for itself for ever, the process stops.
TEST(MachExceptionServer, DestroyedFromItsCallbackStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static std::unique_ptr<KCRCrashMachExceptionServer> server;
            server = KCRCrashMachExceptionServer::create(
                [](pm::mach_port_t, pm::mach_port_t, int, const int64_t*, uint32_t, void*) {
                    server.reset();
                    return pm::KERN_SUCCESS;
                },
                nullptr, nullptr);
            const pm::mach_port_t port = server->copySendRightForServer(nullptr);
            (void)request(port, pm::kExceptionRequestSize);
        },
        "exception server destroyed on its own thread");
}

TEST(MachExceptionPortSet, RepresentationRoundTripAndLimits) {
    pm::mach_port_t port;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_MAKE_SEND), pm::KERN_SUCCESS);
    {
        KCRCrashMachExceptionPortSet::Ports list;
        for (int i = 0; i < 3; ++i)
            list.push_back(std::make_shared<KCRCrashMachExceptionPort>(port, 1u << (i + 1), 1, 1));
        EXPECT_EQ(pm::machPortSendRefs(port), 4);
        KCRCrashMachExceptionPortSet set(list);
        EXPECT_EQ(set.asyncSafeRepresentation().count, 3u);
        EXPECT_EQ(set.asyncSafeRepresentation().masks[2], 8u);

        // The structure's own references (one per entry) are consumed.
        kcr_mach_exception_port_set raw = set.asyncSafeRepresentation();
        EXPECT_EQ(pm::machPortModSendRefs(port, 3), pm::KERN_SUCCESS);
        EXPECT_EQ(pm::machPortSendRefs(port), 7);
        KCRCrashMachExceptionPortSet adopted(raw);
        EXPECT_EQ(pm::machPortSendRefs(port), 7);
        EXPECT_EQ(adopted.set().size(), 3u);
        int entries = 0;
        for (const auto& entry : adopted)
            entries += entry->server_port() == port;
        EXPECT_EQ(entries, 3);

        KCRCrashMachExceptionPortSet::Ports fifteen(15, list[0]);
        EXPECT_THROW(KCRCrashMachExceptionPortSet{fifteen}, plat::Exception);
        raw.count = 15;
        EXPECT_THROW(KCRCrashMachExceptionPortSet{raw}, plat::Exception);
    }
    EXPECT_EQ(pm::machPortSendRefs(port), 1);
    EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
}

TEST(MachExceptionForward, OffersTheFirstMatchingRegistration) {
    Seen first, second;
    auto a = KCRCrashMachExceptionServer::create(record, &first, nullptr);
    auto b = KCRCrashMachExceptionServer::create(record, &second, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    auto portA = a->exceptionPortWithMask(1u << pm::EXC_BREAKPOINT, nullptr);
    auto portB = b->exceptionPortWithMask(1u << pm::EXC_BAD_ACCESS, nullptr);
    KCRCrashMachExceptionPortSet set({portA, portB});
    const int64_t codes[2] = {1, 0x40};
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, pm::EXC_BAD_ACCESS, codes, 2,
                                     &set.asyncSafeRepresentation()),
              pm::KERN_SUCCESS);
    EXPECT_EQ(first.calls.load(), 0);
    EXPECT_EQ(second.calls.load(), 1);
    EXPECT_EQ(second.codes[1], 0x40);
    second.answer = pm::KERN_FAILURE;
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, pm::EXC_BAD_ACCESS, codes, 2,
                                     &set.asyncSafeRepresentation()),
              pm::KERN_FAILURE);
    // Nobody takes arithmetic exceptions; a bad type or no set is a failure.
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, pm::EXC_ARITHMETIC, codes, 2,
                                     &set.asyncSafeRepresentation()),
              pm::KERN_FAILURE);
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, 99, codes, 2, &set.asyncSafeRepresentation()),
              pm::KERN_FAILURE);
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, 1, codes, 2, nullptr), pm::KERN_FAILURE);
    // A behaviour the forwarder does not know is a failure, never a call.
    kcr_mach_exception_port_set odd = set.asyncSafeRepresentation();
    odd.behaviors[1] = 9;
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, pm::EXC_BAD_ACCESS, codes, 2, &odd),
              pm::KERN_FAILURE);
    EXPECT_EQ(second.calls.load(), 2);
    // A state behaviour needs the thread's fault registers: a thread that
    // waits in no exception has none.
    odd.behaviors[1] = pm::EXCEPTION_STATE;
    EXPECT_EQ(mach_exception_forward(pm::kTaskSelf, 77, pm::EXC_BAD_ACCESS, codes, 2, &odd),
              pm::KERN_INVALID_ARGUMENT);
    pm::resetExceptionPorts();
}

struct SignalCase {
    int type;
    int64_t code;
    int signo;
    const char* codeName;
};

TEST(MachExceptionSignals, ExceptionsMapToTheSignalsTheSystemRaises) {
    const SignalCase cases[] = {
        {pm::EXC_BAD_ACCESS, 1, SIGSEGV, "SEGV_MAPERR"},
        {pm::EXC_BAD_ACCESS, 2, SIGSEGV, "SEGV_ACCERR"},
        {pm::EXC_BAD_ACCESS, 13, SIGSEGV, "#128"},
        {pm::EXC_BAD_ACCESS, 10, SIGBUS, "BUS_ADRERR"},
        // The first code of these two is the kernel's own signal code.
        {pm::EXC_BAD_INSTRUCTION, ILL_ILLOPN, SIGILL, "ILL_ILLOPN"},
        {pm::EXC_BAD_INSTRUCTION, ILL_PRVOPC, SIGILL, "ILL_PRVOPC"},
        {pm::EXC_BAD_INSTRUCTION, 0, SIGILL, "ILL_NOOP"},
        {pm::EXC_ARITHMETIC, FPE_INTDIV, SIGFPE, "FPE_INTDIV"},
        {pm::EXC_ARITHMETIC, FPE_FLTDIV, SIGFPE, "FPE_FLTDIV"},
        {pm::EXC_ARITHMETIC, -5, SIGFPE, "FPE_NOOP"},
        {pm::EXC_EMULATION, 1, SIGILL, "ILL_NOOP"},
        {pm::EXC_SOFTWARE, 0x10000, SIGSYS, "#0"},
        {pm::EXC_SOFTWARE, 0x10001, SIGPIPE, "#0"},
        {pm::EXC_SOFTWARE, 0x10002, SIGABRT, "#0"},
        {pm::EXC_SOFTWARE, 0x10003, SIGKILL, "#0"},
        {pm::EXC_SOFTWARE, 7, SIGABRT, "#0"},
        {pm::EXC_BREAKPOINT, 2, SIGTRAP, "TRAP_BRKPT"},
    };
    for (const SignalCase& c : cases) {
        const int64_t codes[2] = {c.code, 0xabc};
        int signo = 0, code = -1;
        uint64_t address = 0;
        ASSERT_TRUE(async_mach_exception_get_siginfo(c.type, codes, 2, &signo, &code, &address)) << c.type;
        EXPECT_EQ(signo, c.signo) << c.type << "/" << c.code;
        EXPECT_EQ(address, 0xabcu);
        char buffer[kcr::async::kSignalTextBufferSize];
        EXPECT_STREQ(kcr::async::signal_code_text(signo, code, buffer), c.codeName)
            << c.type << "/" << c.code;
    }
    const int64_t codes[2] = {1, 2};
    int signo, code;
    uint64_t address;
    EXPECT_FALSE(async_mach_exception_get_siginfo(pm::EXC_BAD_ACCESS, codes, 1, &signo, &code, &address));
    EXPECT_FALSE(async_mach_exception_get_siginfo(7, codes, 2, &signo, &code, &address));
    EXPECT_FALSE(async_mach_exception_get_siginfo(0, codes, 2, &signo, &code, &address));
}

TEST(MachExceptionMask, GuardExceptionsFromMajorThirteen) {
    KCRCrashHostInfo twelve({12, 0, 0});
    KCRCrashHostInfo thirteen({13, 0, 0});
    EXPECT_EQ(KCRCrashReporter::machExceptionMask(&twelve), 0x6Eu);
    EXPECT_EQ(KCRCrashReporter::machExceptionMask(&thirteen), 0x106Eu);
    EXPECT_EQ(KCRCrashReporter::machExceptionMask(nullptr), 0x6Eu);
}

}  // namespace
