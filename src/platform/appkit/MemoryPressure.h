// Memory-pressure events. A source polls the kernel's pressure-stall
// information (/proc/pressure/memory) on its queue's clock and calls its
// handler when the level rises; where that file cannot be read the source
// stays silent. `simulate` delivers a level to every live source (tests, or
// an application that learns of pressure another way).
//
// Levels: "some avg10" at or above 10 % is a warning, "full avg10" at or
// above 10 % is critical.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"

namespace plat::appkit {

enum class MemoryPressureLevel : uint8_t { Normal = 1, Warning = 2, Critical = 4 };

class MemoryPressureSource : public std::enable_shared_from_this<MemoryPressureSource> {
  public:
    using Handler = std::function<void(MemoryPressureLevel level)>;

    // Starts polling every `pollInterval` seconds; the handler runs on `queue`.
    static std::shared_ptr<MemoryPressureSource> create(dispatch::Queue queue, Handler handler,
                                                        double pollInterval = 5.0,
                                                        std::string path = "/proc/pressure/memory");
    ~MemoryPressureSource();
    void cancel();

    static void simulate(MemoryPressureLevel level);
    // The level a pressure-stall text stands for; nullopt when it cannot be read.
    static std::optional<MemoryPressureLevel> levelFromPressureText(const std::string& text);

  private:
    MemoryPressureSource(dispatch::Queue queue, Handler handler, std::string path);
    void poll();
    void deliver(MemoryPressureLevel level);

    dispatch::Queue queue_;
    Handler handler_;
    std::string path_;
    std::shared_ptr<dispatch::TimerSource> timer_;
    MemoryPressureLevel last_ = MemoryPressureLevel::Normal;  // on queue_
};

// Opens a URL with the desktop's opener (xdg-open), asynchronously on the
// main loop; the completion runs there with whether the opener started.
// Tests replace the opener.
class Workspace {
  public:
    using Opener = std::function<bool(const std::string& url)>;
    static void openURL(const std::string& url, std::function<void(bool)> completion);
    // Null restores xdg-open.
    static void setOpener(Opener opener);
};

}  // namespace plat::appkit
