#include "sync/eventstore/SYNAsynchronousOperation.h"

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Queue.h"

void SYNAsynchronousOperation::start() {
    if (isExecuting() || isFinished()) {
        throw plat::dispatch::DispatchException(
            "SYNAsynchronousOperation::start: the operation already started");
    }
    if (plat::dispatch::isMainThread()) {
        startOnMainThread();
        return;
    }
    auto self = std::static_pointer_cast<SYNAsynchronousOperation>(shared_from_this());
    plat::dispatch::Queue::main().async([self] { self->startOnMainThread(); });
}

void SYNAsynchronousOperation::startOnMainThread() {
    if (isExecuting() || isFinished()) {
        return;  // two hops raced; the first one began the task
    }
    markExecuting();
    beginAsynchronousTask();
}

void SYNAsynchronousOperation::endAsynchronousTask() {
    finish();
}
