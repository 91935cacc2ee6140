#include "crashcapture/KCRCrashMachExceptionServer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crashcapture/KCRAsyncErrors.h"
#include "crashcapture/KCRCrashReporterLog.h"
#include "platform/foundation/Mutex.h"
#include "platform/machine/Threads.h"

namespace kcr {

namespace pm = plat::machine;

// The ports, callback and `started` are set before the thread starts and
// only read after; the rest is shared with the running thread.
struct KCRCrashMachExceptionServer::Context {
    mach_port_t serverPort = pm::MACH_PORT_NULL;
    mach_port_t notifyPort = pm::MACH_PORT_NULL;
    mach_port_t portSet = pm::MACH_PORT_NULL;
    MachExceptionCallbackFunction callback = nullptr;
    void* callbackContext = nullptr;
    bool started = false;
    std::atomic<bool> shouldStop{false};
    plat::Mutex mutex;
    plat::ConditionVariable stopped;
    pid_t serverThread GUARDED_BY(mutex) = 0;
    bool stopDone GUARDED_BY(mutex) = false;
};

namespace {

size_t roundToPages(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

void* allocateBuffer(size_t size) {
    void* buffer = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return buffer == MAP_FAILED ? nullptr : buffer;
}

void freeBuffer(void* buffer, size_t size) {
    // Fails only for a range that is not a mapping; ours always is.
    (void)munmap(buffer, size);
}

// Tells the destructor that the thread no longer uses the context.
void finishServer(KCRCrashMachExceptionServer::Context* context) {
    plat::MutexLock lock(context->mutex);
    context->stopDone = true;
    context->stopped.notifyAll();
}

void* serverLoop(void* argument) {
    auto* context = static_cast<KCRCrashMachExceptionServer::Context*>(argument);
    size_t size = roundToPages(pm::kExceptionRequestSize);
    auto* message = static_cast<pm::mach_msg_header_t*>(allocateBuffer(size));
    if (message == nullptr) {
        // Nothing more to do if the diagnostic itself cannot be written.
        (void)std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", pm::KERN_RESOURCE_SHORTAGE);
        finishServer(context);
        return nullptr;
    }
    for (;;) {
        const kern_return_t received = pm::machMsg(message, pm::MACH_RCV_MSG | pm::MACH_RCV_LARGE, 0,
                                                   static_cast<uint32_t>(size), context->portSet, 0);
        if (received == pm::MACH_RCV_TOO_LARGE) {
            const size_t needed = roundToPages(message->msgh_size);
            freeBuffer(message, size);
            message = static_cast<pm::mach_msg_header_t*>(allocateBuffer(needed));
            if (message == nullptr) {
                // A last word before ending the process: nothing to do if it fails.
                (void)std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n",
                                   pm::KERN_RESOURCE_SHORTAGE);
                finishServer(context);
                return nullptr;
            }
            size = needed;
            continue;
        }
        if (received == pm::MACH_RCV_PORT_DIED || received == pm::MACH_RCV_INVALID_NAME) {
            // The set is gone: nothing more can arrive, so waiting would spin.
            break;
        }
        if (received != pm::MACH_MSG_SUCCESS)
            continue;
        if (message->msgh_local_port == context->notifyPort) {
            if (message->msgh_id == kMachExceptionServerStopId && context->shouldStop.load()) {
                freeBuffer(message, size);
                finishServer(context);
                return nullptr;
            }
            continue;  // no senders, or a stray message: not a reason to stop
        }
        kern_return_t result = pm::KERN_FAILURE;
        if (message->msgh_size >= pm::kExceptionRequestSize) {
            // The codes sit at a 4-byte boundary: copied out before use.
            pm::ExceptionRequest request;
            std::memcpy(static_cast<void*>(&request), message, sizeof request);
            int64_t codes[2];
            std::memcpy(codes,
                        reinterpret_cast<const uint8_t*>(message) + offsetof(pm::ExceptionRequest, codes),
                        sizeof codes);
            result =
                context->callback(request.task, request.thread, request.exception, codes,
                                  request.codeCount > 2 ? 2 : request.codeCount, context->callbackContext);
        }
        pm::ExceptionReply reply;
        std::memset(static_cast<void*>(&reply), 0, sizeof reply);
        reply.header.msgh_bits = pm::machMsgBits(message->msgh_bits & 0x1f, 0);
        reply.header.msgh_size = sizeof reply;
        reply.header.msgh_remote_port = message->msgh_remote_port;
        reply.header.msgh_local_port = pm::MACH_PORT_NULL;
        reply.header.msgh_id = message->msgh_id + 100;
        reply.ndr[4] = 1;
        reply.returnCode = result;
        // A reply that cannot be sent (the waiting thread is gone) has no one to tell.
        if (pm::machPortValid(reply.header.msgh_remote_port))
            (void)pm::machMsg(&reply.header, pm::MACH_SEND_MSG, sizeof reply, 0, pm::MACH_PORT_NULL, 0);
    }
    freeBuffer(message, size);
    finishServer(context);
    return nullptr;
}

void releasePorts(KCRCrashMachExceptionServer::Context& context) {
    for (mach_port_t* name : {&context.serverPort, &context.notifyPort, &context.portSet}) {
        if (!pm::machPortValid(*name))
            continue;
        // Our own send references go first, then the receive right. Both
        // act on a valid name we hold, so neither can fail.
        int refs = pm::machPortSendRefs(*name);
        if (name == &context.notifyPort && refs > 0)
            (void)pm::machPortModSendRefs(*name, -1);
        (void)pm::machPortDestroy(*name);
        *name = pm::MACH_PORT_NULL;
    }
}

}  // namespace

std::unique_ptr<KCRCrashMachExceptionServer> KCRCrashMachExceptionServer::create(
    MachExceptionCallbackFunction callback, void* context, plat::ErrorPtr* error) {
    std::unique_ptr<KCRCrashMachExceptionServer> server(new KCRCrashMachExceptionServer);
    server->context_ = std::make_unique<Context>();
    Context& c = *server->context_;
    c.callback = callback;
    c.callbackContext = context;
    if (pm::machPortAllocate(pm::PortRight::Receive, &c.serverPort) != pm::KERN_SUCCESS ||
        pm::machPortAllocate(pm::PortRight::Receive, &c.notifyPort) != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, pm::KERN_RESOURCE_SHORTAGE,
                                   "Failed to allocate exception server's port");
        return nullptr;
    }
    if (kern_return_t r = pm::machPortInsertRight(c.notifyPort, pm::MACH_MSG_TYPE_MAKE_SEND);
        r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r, "Failed to add send right to exception server's port");
        return nullptr;
    }
    if (kern_return_t r = pm::machPortRequestNoSenders(c.serverPort, c.notifyPort); r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r,
                                   "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port");
        return nullptr;
    }
    if (kern_return_t r = pm::machPortAllocate(pm::PortRight::PortSet, &c.portSet); r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r, "Failed to allocate exception server's port set");
        return nullptr;
    }
    if (kern_return_t r = pm::machPortMoveMember(c.serverPort, c.portSet); r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r, "Failed to add exception server port to port set");
        return nullptr;
    }
    if (kern_return_t r = pm::machPortMoveMember(c.notifyPort, c.portSet); r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r, "Failed to add exception server notify port to port set");
        return nullptr;
    }
    // The callback may forward exceptions to earlier ports: the raise calls
    // reply ports are made now, not at crash time.
    if (!pm::prepareExceptionRaise()) {
        async::populate_mach_error(error, pm::KERN_RESOURCE_SHORTAGE,
                                   "Failed to allocate exception server's port");
        return nullptr;
    }
    pthread_attr_t attributes;
    if (int r = pthread_attr_init(&attributes); r != 0) {
        async::populate_posix_error(error, r, "Failed to initialize pthread_attr");
        return nullptr;
    }
    // Valid attributes and a valid state: these cannot fail.
    (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, serverLoop, &c);
    (void)pthread_attr_destroy(&attributes);  // initialised above: cannot fail
    if (created != 0) {
        async::populate_posix_error(error, created, "Failed to create exception server thread");
        return nullptr;
    }
    c.started = true;
    // The thread records itself as the set's receiver on its first receive.
    // An interrupted pause is one more round of the bounded wait.
    for (int i = 0; i < 2000 && pm::machPortReceiverThread(c.serverPort) == 0; ++i)
        (void)usleep(1000);  // EINTR: a shorter pause
    plat::MutexLock lock(c.mutex);
    c.serverThread = pm::machPortReceiverThread(c.serverPort);
    return server;
}

KCRCrashMachExceptionServer::~KCRCrashMachExceptionServer() {
    if (!context_)
        return;
    Context& c = *context_;
    if (c.started) {
        // The thread rule of the header, checked: from the callback the
        // wait below would be the server thread waiting for itself.
        if (pm::machPortReceiverThread(c.serverPort) == pm::currentThreadId()) {
            (void)std::fprintf(stderr, "exception server destroyed on its own thread\n");  // then abort
            std::abort();
        }
        c.shouldStop.store(true);
        pm::mach_msg_header_t stop;
        stop.msgh_bits = pm::machMsgBits(pm::MACH_MSG_TYPE_COPY_SEND, 0);
        stop.msgh_size = sizeof stop;
        stop.msgh_remote_port = c.notifyPort;
        stop.msgh_local_port = pm::MACH_PORT_NULL;
        stop.msgh_id = kMachExceptionServerStopId;
        const kern_return_t sent =
            pm::machMsg(&stop, pm::MACH_SEND_MSG, sizeof stop, 0, pm::MACH_PORT_NULL, 0);
        if (sent != pm::MACH_MSG_SUCCESS) {
            // The thread may still use the context: it stays.
            kcr::log("Unexpected error sending termination message to background thread: %d", sent);
            (void)context_.release();
            return;
        }
        plat::MutexLock lock(c.mutex);
        while (!c.stopDone)
            c.stopped.wait(c.mutex);
    }
    releasePorts(c);
}

std::shared_ptr<KCRCrashMachExceptionPort> KCRCrashMachExceptionServer::exceptionPortWithMask(
    uint32_t mask, plat::ErrorPtr* error) {
    const mach_port_t port = copySendRightForServer(error);
    if (port == pm::MACH_PORT_NULL)
        return nullptr;
    auto result = std::make_shared<KCRCrashMachExceptionPort>(
        port, mask, pm::EXCEPTION_DEFAULT | pm::MACH_EXCEPTION_CODES, pm::kThreadStateFlavor);
    (void)pm::machPortDeallocate(port);  // the port object holds its own; ours was just made
    return result;
}

mach_port_t KCRCrashMachExceptionServer::copySendRightForServer(plat::ErrorPtr* error) {
    const kern_return_t r = pm::machPortInsertRight(context_->serverPort, pm::MACH_MSG_TYPE_MAKE_SEND);
    if (r != pm::KERN_SUCCESS) {
        async::populate_mach_error(error, r, "Failed to insert Mach send right");
        return pm::MACH_PORT_NULL;
    }
    return context_->serverPort;
}

pid_t KCRCrashMachExceptionServer::serverThread() {
    plat::MutexLock lock(context_->mutex);
    return context_->serverThread;
}

mach_port_t KCRCrashMachExceptionServer::serverPort() const {
    return context_->serverPort;
}

mach_port_t KCRCrashMachExceptionServer::notifyPort() const {
    return context_->notifyPort;
}

}  // namespace kcr
