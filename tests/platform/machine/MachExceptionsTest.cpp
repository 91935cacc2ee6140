// Exception ports: registration tables and their references, the raise calls
// against a serving thread, the fault mapping, and the fault bridge with
// real faults in child processes.
#include "platform/machine/MachExceptions.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"

namespace pm = plat::machine;

namespace {

constexpr uint32_t kBadAccess = 1u << pm::EXC_BAD_ACCESS;
constexpr uint32_t kBreakpoint = 1u << pm::EXC_BREAKPOINT;

// A receive right with a send right made from it.
pm::mach_port_t sendablePort() {
    pm::mach_port_t port = pm::MACH_PORT_NULL;
    EXPECT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortInsertRight(port, pm::MACH_MSG_TYPE_MAKE_SEND), pm::KERN_SUCCESS);
    return port;
}

// A port served by a thread: answers `answers` requests with `code`, after
// letting `act` see each (and change the state of a state request).
struct Server {
    pm::mach_port_t port = sendablePort();
    std::thread thread;
    std::atomic<pid_t> tid{0};
    std::atomic<int> seen{0};
    std::function<void(pm::ExceptionStateRequest&)> act;

    Server(int answers, pm::kern_return_t code) {
        thread = std::thread([this, answers, code] {
            tid = pm::currentThreadId();
            for (int i = 0; i < answers; ++i) {
                pm::ExceptionStateRequest request{};
                if (pm::machMsg(&request.base.header, pm::MACH_RCV_MSG | pm::MACH_RCV_TIMEOUT, 0,
                                sizeof request, port, 10000) != pm::MACH_MSG_SUCCESS)
                    return;
                seen++;
                if (act)
                    act(request);
                pm::ExceptionStateReply reply{};
                reply.base.header.msgh_bits = pm::machMsgBits(request.base.header.msgh_bits & 0x1f, 0);
                reply.base.header.msgh_remote_port = request.base.header.msgh_remote_port;
                reply.base.header.msgh_id = request.base.header.msgh_id + 100;
                reply.base.returnCode = code;
                uint32_t size = sizeof reply.base;
                if (request.base.header.msgh_id != pm::kExceptionRaiseId) {
                    reply.flavor = request.flavor;
                    reply.stateCount = request.stateCount;
                    std::memcpy(reply.state, request.state, sizeof reply.state);
                    size = sizeof reply;
                }
                EXPECT_EQ(pm::machMsg(&reply.base.header, pm::MACH_SEND_MSG, size, 0, pm::MACH_PORT_NULL, 0),
                          pm::KERN_SUCCESS);
            }
        });
        while (tid == 0)
            std::this_thread::yield();
    }
    ~Server() {
        thread.join();
        EXPECT_EQ(pm::machPortDeallocate(port), pm::KERN_SUCCESS);
        EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    }
};

TEST(MachExceptions, SwapReturnsThePreviousRegistrationsWithTheirReferences) {
    pm::installFaultBridge();
    const size_t ports = pm::machPortsInUse();
    const pm::mach_port_t a = sendablePort(), b = sendablePort();
    // Only software exceptions here: this process has no bridge to test.
    constexpr uint32_t kSoftware = 1u << pm::EXC_SOFTWARE;
    constexpr uint32_t kEmulation = 1u << pm::EXC_EMULATION;
    pm::ExceptionPorts previous;
    ASSERT_EQ(pm::taskSwapExceptionPorts(kSoftware | kEmulation, a, pm::EXCEPTION_DEFAULT, 1, &previous),
              pm::KERN_SUCCESS);
    EXPECT_EQ(previous.count, 0u);
    EXPECT_EQ(pm::machPortSendRefs(a), 3);  // ours plus one per exception type
    ASSERT_EQ(pm::taskSwapExceptionPorts(kSoftware, b, pm::EXCEPTION_STATE, 1, &previous), pm::KERN_SUCCESS);
    ASSERT_EQ(previous.count, 1u);
    EXPECT_EQ(previous.ports[0], a);
    EXPECT_EQ(previous.masks[0], kSoftware);
    EXPECT_EQ(previous.behaviors[0], pm::EXCEPTION_DEFAULT);
    EXPECT_EQ(pm::machPortSendRefs(a), 3);  // the table's moved to `previous`
    EXPECT_EQ(pm::machPortDeallocate(previous.ports[0]), pm::KERN_SUCCESS);

    pm::ExceptionPorts current;
    ASSERT_EQ(pm::taskGetExceptionPorts(kSoftware | kEmulation, &current), pm::KERN_SUCCESS);
    ASSERT_EQ(current.count, 2u);
    EXPECT_EQ(current.ports[0], a);
    EXPECT_EQ(current.masks[0], kEmulation);
    EXPECT_EQ(current.ports[1], b);
    for (uint32_t i = 0; i < current.count; ++i)
        EXPECT_EQ(pm::machPortDeallocate(current.ports[i]), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::taskSwapExceptionPorts(1u << 20, a, 1, 1, nullptr), pm::KERN_INVALID_ARGUMENT);

    // Thread tables are separate from the task's.
    ASSERT_EQ(pm::threadSwapExceptionPorts(0, kSoftware, a, pm::EXCEPTION_DEFAULT, 1, nullptr),
              pm::KERN_SUCCESS);
    ASSERT_EQ(pm::threadGetExceptionPorts(0, kSoftware, &current), pm::KERN_SUCCESS);
    ASSERT_EQ(current.count, 1u);
    EXPECT_EQ(current.ports[0], a);
    EXPECT_EQ(pm::machPortDeallocate(current.ports[0]), pm::KERN_SUCCESS);

    pm::resetExceptionPorts();
    EXPECT_EQ(pm::machPortSendRefs(a), 1);
    EXPECT_EQ(pm::machPortSendRefs(b), 1);
    EXPECT_EQ(pm::machPortDeallocate(a), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDeallocate(b), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(a), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(b), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortsInUse(), ports);
}

// Each registration holds a reference: a port that cannot take one per
// exception type is refused before any entry changes, and a listing leaves
// out a port that cannot take the caller's reference, rather than
// registering or listing it without one.
TEST(MachExceptions, RegistrationsNeverHoldAPortWithoutItsReference) {
    const pm::mach_port_t port = sendablePort();
    constexpr uint32_t kSoftware = 1u << pm::EXC_SOFTWARE;
    constexpr uint32_t kEmulation = 1u << pm::EXC_EMULATION;
    constexpr int kLimit = 0xffff;
    ASSERT_EQ(pm::machPortModSendRefs(port, kLimit - 2), pm::KERN_SUCCESS);  // room for one more
    EXPECT_EQ(pm::taskSwapExceptionPorts(kSoftware | kEmulation, port, pm::EXCEPTION_DEFAULT, 1, nullptr),
              pm::KERN_UREFS_OVERFLOW);
    pm::ExceptionPorts current;
    ASSERT_EQ(pm::taskGetExceptionPorts(kSoftware | kEmulation, &current), pm::KERN_SUCCESS);
    EXPECT_EQ(current.count, 0u);
    EXPECT_EQ(pm::machPortSendRefs(port), kLimit - 1);

    // Registered once (the last reference there is), it cannot be listed.
    ASSERT_EQ(pm::taskSwapExceptionPorts(kSoftware, port, pm::EXCEPTION_DEFAULT, 1, nullptr),
              pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortSendRefs(port), kLimit);
    ASSERT_EQ(pm::taskGetExceptionPorts(kSoftware, &current), pm::KERN_SUCCESS);
    EXPECT_EQ(current.count, 0u);
    EXPECT_EQ(pm::machPortSendRefs(port), kLimit);

    pm::resetExceptionPorts();
    EXPECT_EQ(pm::machPortSendRefs(port), kLimit - 1);
    EXPECT_EQ(pm::machPortModSendRefs(port, -(kLimit - 1)), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
}

TEST(MachExceptions, RaiseCarriesTheRequestAndReturnsTheAnswer) {
    ASSERT_TRUE(pm::installFaultBridge());
    Server server(3, pm::KERN_SUCCESS);
    pm::ExceptionStateRequest last{};
    server.act = nullptr;
    std::atomic<int> ids{0};
    server.act = [&](pm::ExceptionStateRequest& r) {
        last = r;
        ids += r.base.header.msgh_id;
        if (r.base.header.msgh_id != pm::kExceptionRaiseId) {
            pm::ThreadRegisters state;
            std::memcpy(&state, r.state, sizeof state);
            state.gregs[REG_RIP] += 2;
            std::memcpy(r.state, &state, sizeof state);
        }
    };
    const int64_t codes[2] = {0x100000001, -8};
    EXPECT_EQ(pm::exceptionRaise(server.port, 0, pm::EXC_BAD_ACCESS, codes, 2, true), pm::KERN_SUCCESS);
    EXPECT_EQ(last.base.header.msgh_size, pm::kExceptionRequestSize);
    EXPECT_EQ(last.base.exception, pm::EXC_BAD_ACCESS);
    EXPECT_EQ(last.base.thread, static_cast<pm::mach_port_t>(pm::currentThreadId()));
    EXPECT_EQ(last.base.task, pm::kTaskSelf);
    int64_t got[2];
    std::memcpy(got, reinterpret_cast<const uint8_t*>(&last) + 68, sizeof got);
    EXPECT_EQ(got[0], 0x100000001);
    EXPECT_EQ(got[1], -8);
    // 32-bit codes are cut.
    EXPECT_EQ(pm::exceptionRaise(server.port, 0, pm::EXC_BAD_ACCESS, codes, 2, false), pm::KERN_SUCCESS);
    std::memcpy(got, reinterpret_cast<const uint8_t*>(&last) + 68, sizeof got);
    EXPECT_EQ(got[0], 1);
    pm::ThreadRegisters state;
    state.gregs[REG_RIP] = 0x1000;
    pm::ThreadRegisters returned;
    EXPECT_EQ(pm::exceptionRaiseState(server.port, 0, true, pm::EXC_BREAKPOINT, codes, 2, true,
                                      pm::kThreadStateFlavor, state, &returned),
              pm::KERN_SUCCESS);
    EXPECT_EQ(returned.gregs[REG_RIP], 0x1002u);
    EXPECT_EQ(ids.load(), 2 * pm::kExceptionRaiseId + pm::kExceptionRaiseStateIdentityId);
    EXPECT_EQ(pm::exceptionRaiseState(server.port, 0, false, 1, codes, 2, true, 7, state, nullptr),
              pm::KERN_INVALID_ARGUMENT);
    pm::resetExceptionPorts();  // the bridge goes with its last registration
    EXPECT_FALSE(pm::faultBridgeInstalled());
}

TEST(MachExceptions, RaiseToADeadPortFailsAtOnce) {
    ASSERT_TRUE(pm::installFaultBridge());
    pm::mach_port_t port;
    ASSERT_EQ(pm::machPortAllocate(pm::PortRight::Receive, &port), pm::KERN_SUCCESS);
    EXPECT_EQ(pm::machPortDestroy(port), pm::KERN_SUCCESS);
    const int64_t codes[2] = {1, 0};
    EXPECT_NE(pm::exceptionRaise(port, 0, 1, codes, 2, true), pm::KERN_SUCCESS);
    pm::resetExceptionPorts();
}

struct FaultCase {
    int signal;
    int code;
    int exception;
    int64_t first;
    int64_t second;
};

TEST(MachExceptions, FaultsMapToExceptionTypesAndCodes) {
    constexpr uint64_t kAddress = 0x1234;
    constexpr uint64_t kPc = 0x5678;
    const FaultCase cases[] = {
        {SIGSEGV, SEGV_MAPERR, pm::EXC_BAD_ACCESS, 1, kAddress},
        {SIGSEGV, SEGV_ACCERR, pm::EXC_BAD_ACCESS, 2, kAddress},
        {SIGSEGV, SI_KERNEL, pm::EXC_BAD_ACCESS, 13, 0},
        {SIGBUS, BUS_ADRERR, pm::EXC_BAD_ACCESS, 10, kAddress},
        // The kernel's code and the faulting address travel unchanged.
        {SIGILL, ILL_ILLOPN, pm::EXC_BAD_INSTRUCTION, ILL_ILLOPN, kAddress},
        {SIGILL, ILL_PRVOPC, pm::EXC_BAD_INSTRUCTION, ILL_PRVOPC, kAddress},
        {SIGFPE, FPE_INTDIV, pm::EXC_ARITHMETIC, FPE_INTDIV, kAddress},
        {SIGFPE, FPE_FLTDIV, pm::EXC_ARITHMETIC, FPE_FLTDIV, kAddress},
        {SIGFPE, FPE_FLTINV, pm::EXC_ARITHMETIC, FPE_FLTINV, kAddress},
        {SIGTRAP, SI_KERNEL, pm::EXC_BREAKPOINT, 2, kPc},
        {SIGTRAP, TRAP_BRKPT, pm::EXC_BREAKPOINT, 2, kPc},
        {SIGTRAP, TRAP_TRACE, pm::EXC_BREAKPOINT, 1, kPc},
    };
    for (const FaultCase& c : cases) {
        int exception = 0;
        int64_t codes[2] = {};
        ASSERT_TRUE(pm::faultToException(c.signal, c.code, kAddress, kPc, &exception, codes)) << c.signal;
        EXPECT_EQ(exception, c.exception) << c.signal << "/" << c.code;
        EXPECT_EQ(codes[0], c.first) << c.signal << "/" << c.code;
        EXPECT_EQ(codes[1], c.second) << c.signal << "/" << c.code;
    }
    int exception = 0;
    int64_t codes[2];
    EXPECT_FALSE(pm::faultToException(SIGABRT, 0, 0, 0, &exception, codes));
}

// Runs `body` in a child with the default fault actions; its wait status (a
// hang ends as SIGALRM).
int in_child(const std::function<int()>& body) {
    return testsupport::waitStatusOfChild(
        [&] {
            struct sigaction action {};
            action.sa_handler = SIG_DFL;
            for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
                sigaction(signal, &action, nullptr);
            return body();
        },
        30);
}

__attribute__((no_sanitize("address", "undefined"), noinline)) void poke(volatile char* address) {
    *address = 1;
}

TEST(MachExceptionsBridge, AHandledFaultRetriesAndAnUnhandledOneEndsByItsSignal) {
    // Handled: the thread's port makes the page writable and answers success.
    int status = in_child([] {
        auto* page =
            static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        Server server(1, pm::KERN_SUCCESS);
        int64_t seen[2] = {};
        int type = 0;
        server.act = [&](pm::ExceptionStateRequest& r) {
            type = r.base.exception;
            std::memcpy(seen, reinterpret_cast<const uint8_t*>(&r) + 68, sizeof seen);
            mprotect(const_cast<char*>(page), 4096, PROT_READ | PROT_WRITE);
        };
        if (pm::threadSwapExceptionPorts(0, kBadAccess, server.port,
                                         pm::EXCEPTION_DEFAULT | pm::MACH_EXCEPTION_CODES, 1,
                                         nullptr) != pm::KERN_SUCCESS)
            return 10;
        poke(page);
        if (page[0] != 1 || type != pm::EXC_BAD_ACCESS || seen[0] != 2 ||
            seen[1] != reinterpret_cast<intptr_t>(page))
            return 11;
        pm::resetExceptionPorts();
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Unhandled: the answer is a failure, so the kernel's signal ends the child.
    status = in_child([] {
        Server server(1, pm::KERN_FAILURE);
        if (pm::taskSwapExceptionPorts(kBadAccess, server.port, pm::EXCEPTION_DEFAULT, 1, nullptr) !=
            pm::KERN_SUCCESS)
            return 10;
        poke(nullptr);
        return 12;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    // A breakpoint does not trap again on return: the signal is raised.
    status = in_child([] {
        Server server(1, pm::KERN_FAILURE);
        if (pm::taskSwapExceptionPorts(kBreakpoint, server.port, pm::EXCEPTION_DEFAULT, 1, nullptr) !=
            pm::KERN_SUCCESS)
            return 10;
        asm volatile("int3");
        return 12;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTRAP);
}

TEST(MachExceptionsBridge, AFaultOnTheServingThreadGoesToTheSignal) {
    const int status = in_child([] {
        const pm::mach_port_t port = sendablePort();
        if (pm::taskSwapExceptionPorts(kBadAccess, port, pm::EXCEPTION_DEFAULT, 1, nullptr) !=
            pm::KERN_SUCCESS)
            return 10;
        pm::mach_msg_header_t m;
        // Becomes the port's receiver, then faults: nobody could answer.
        // (Nothing is sent: the receive times out, which is all it is for.)
        (void)pm::machMsg(&m, pm::MACH_RCV_MSG | pm::MACH_RCV_TIMEOUT, 0, sizeof m, port, 1);
        poke(nullptr);
        return 12;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

TEST(MachExceptionsBridge, ResetRestoresTheEarlierActions) {
    const int status = in_child([] {
        const pm::mach_port_t port = sendablePort();
        if (pm::taskSwapExceptionPorts(kBadAccess, port, pm::EXCEPTION_DEFAULT, 1, nullptr) !=
                pm::KERN_SUCCESS ||
            !pm::faultBridgeInstalled())
            return 10;
        // Taking the registration away takes the bridge away too.
        if (pm::taskSwapExceptionPorts(kBadAccess, pm::MACH_PORT_NULL, 0, 0, nullptr) != pm::KERN_SUCCESS)
            return 11;
        struct sigaction action {};
        sigaction(SIGSEGV, nullptr, &action);
        if (pm::faultBridgeInstalled() || action.sa_handler != SIG_DFL || pm::machPortSendRefs(port) != 1)
            return 12;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
