#include "platform/foundation/Log.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/foundation/Mutex.h"

namespace plat {
namespace {

struct SinkState {
    Mutex mutex;
    LogSink sink GUARDED_BY(mutex);
};

// Never destroyed, so that logging from static destructors stays safe.
SinkState& sinkState() {
    static SinkState* const state = new SinkState;
    return *state;
}

// "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] "
std::string linePrefix() {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for this clock
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char buf[160];
    const int n = std::snprintf(
        buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s[%d:%d] ", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000,
        program_invocation_short_name, static_cast<int>(getpid()), static_cast<int>(gettid()));
    return std::string(buf, n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1) : 0);
}

// One write(2) for the whole line; more only if the kernel takes part of it.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void Log(std::string_view message) {
    {
        SinkState& state = sinkState();
        // The sink runs with the lock held: that is what guarantees a replaced
        // sink is never called once setLogSink returns (tests free what their
        // sink captured right after). A sink must therefore not log itself.
        MutexLock lock(state.mutex);
        if (state.sink) {
            state.sink(message);
            return;
        }
    }
    std::string line = linePrefix();
    line.append(message);
    if (line.empty() || line.back() != '\n')
        line.push_back('\n');
    writeAll(STDERR_FILENO, line);
}

void setLogSink(LogSink sink) {
    SinkState& state = sinkState();
    LogSink previous;
    {
        MutexLock lock(state.mutex);
        previous = std::move(state.sink);
        state.sink = std::move(sink);
    }
    // `previous` (and whatever it captured) is released outside the lock.
}

}  // namespace plat
