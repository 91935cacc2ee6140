// DispatchException: raised for misuse of the dispatch layer that would
// otherwise deadlock or corrupt its state: a synchronous call onto the serial
// queue the caller is already running on, a group left more often than it was
// entered, an operation added to two queues, pumping the main loop from a
// thread that is not main. The message names the queue or object involved.
#pragma once

#include <stdexcept>
#include <string>

namespace plat::dispatch {

class DispatchException : public std::logic_error {
  public:
    explicit DispatchException(const std::string& message) : std::logic_error(message) {}
};

}  // namespace plat::dispatch
