// SYNAsynchronousOperation: base class of the framework's concurrent
// operations, whose work starts on the main thread and ends whenever the
// subclass says so.
//
// start() may be called from any thread (an operation queue calls it on the
// main thread, see startsOnMainThread); it moves to the main thread, marks the operation executing and
// calls beginAsynchronousTask(). The operation stays executing, and keeps its
// operation queue's slot, until the subclass calls endAsynchronousTask() from
// any thread. Unlike a plain Operation, a cancelled operation is still begun:
// the subclass decides what cancellation means (a task queue reports it to
// its completion).
//
// Create with std::make_shared; the operation keeps itself alive while it
// hops to the main thread.
#pragma once

#include "platform/dispatch/Operation.h"

class SYNAsynchronousOperation : public plat::dispatch::Operation {
  public:
    bool isAsynchronous() const override { return true; }
    bool startsOnMainThread() const override { return true; }
    // Throws plat::dispatch::DispatchException when called a second time.
    void start() override;

  protected:
    // Runs on the main thread. Empty in the base class.
    virtual void beginAsynchronousTask() {}
    // Marks the operation finished and no longer executing; later calls do
    // nothing.
    void endAsynchronousTask();

  private:
    void startOnMainThread();
};
