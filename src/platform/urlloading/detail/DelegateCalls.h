// How the session calls its delegate where a call may throw: shared by the
// engine's blocks and the default URLSessionDelegate::didEndTask, so that a
// task's last calls behave alike whichever of the two makes them.
#pragma once

#include <exception>
#include <string>

#include "platform/foundation/Log.h"
#include "platform/urlloading/URLSessionTask.h"

namespace plat::urlloading::detail {

// A call while the task runs: what it throws is logged and cancels the task
// (which a task that has ended ignores).
template <class F>
void callDelegate(URLSessionTask& task, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        Log(std::string("URL session delegate threw; cancelling task: ") + e.what());
        task.cancel();
    } catch (...) {
        Log("URL session delegate threw an exception that is not a std::exception; cancelling task");
        task.cancel();
    }
}

// A call once the task has ended, when what it throws cannot change the
// task's outcome: it is logged, and the calls after it still run.
template <class F>
void callLoggingThrows(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        Log(std::string("URL session: ") + what + " threw: " + e.what());
    } catch (...) {
        Log(std::string("URL session: ") + what + " threw an exception that is not a std::exception");
    }
}

}  // namespace plat::urlloading::detail
