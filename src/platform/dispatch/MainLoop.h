// MainLoop: the loop that runs the main queue's blocks on the main thread.
//
// Which thread is main: the thread that called bindToCurrentThread() last;
// before any binding, the first thread that pumps the loop (run, runUntil,
// drain) becomes main; before that, the process's initial thread counts as
// main. Pumping from any other thread throws DispatchException, since blocks
// posted "to main" must never run on two threads.
//
// Blocks posted from any thread run in posting order, one at a time, only
// while the main thread pumps. A block that throws while the loop pumps
// propagates out of the pumping call; the loop stays usable.
//
// Deadlocks to avoid: Queue::main().sync() from another thread waits until
// the main thread pumps, so the main thread must never wait for that thread
// without pumping (tests pump with runUntil instead of blocking).
#pragma once

#include <cstddef>
#include <functional>

namespace plat::dispatch {

class MainLoop {
  public:
    // Makes the calling thread the main thread from now on.
    static void bindToCurrentThread();
    static bool isMainThread();

    // Runs blocks as they come until stop() is called. A stop() made while
    // the loop was not running makes the next run() return at once.
    static void run();
    // Any thread. Makes run() return after the block it is running, if any.
    static void stop();

    // Runs blocks until `done()` is true or `timeoutSeconds` of real time
    // have passed. Returns the last value of done(). done() is checked
    // before each block, once more at the time-out, and while no block comes
    // after 2 ms at first, each look that found nothing doubling that
    // interval up to 16 ms. So it may watch work done on other threads: a
    // change that posts to main is seen at once, one made elsewhere within
    // 16 ms.
    static bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

    // Runs what is queued, and what that posts, until the queue is empty.
    // Returns the number of blocks run. Never waits for blocks to arrive.
    static std::size_t drain();

    // Number of blocks waiting. Any thread.
    static std::size_t pendingCount();
};

inline bool isMainThread() {
    return MainLoop::isMainThread();
}

}  // namespace plat::dispatch
