#include "platform/appkit/MemoryPressure.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/foundation/Mutex.h"

extern char** environ;

namespace plat::appkit {
namespace {

struct Registry {
    Mutex mutex;
    std::vector<std::weak_ptr<MemoryPressureSource>> live GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* shared = new Registry;
    return *shared;
}

double averageOf(const std::string& line) {
    auto at = line.find("avg10=");
    if (at == std::string::npos)
        return -1;
    return std::strtod(line.c_str() + at + 6, nullptr);
}

}  // namespace

std::optional<MemoryPressureLevel> MemoryPressureSource::levelFromPressureText(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    double some = -1, full = -1;
    while (std::getline(in, line)) {
        if (line.rfind("some ", 0) == 0)
            some = averageOf(line);
        else if (line.rfind("full ", 0) == 0)
            full = averageOf(line);
    }
    if (some < 0)
        return std::nullopt;
    if (full >= 10.0)
        return MemoryPressureLevel::Critical;
    if (some >= 10.0)
        return MemoryPressureLevel::Warning;
    return MemoryPressureLevel::Normal;
}

MemoryPressureSource::MemoryPressureSource(dispatch::Queue queue, Handler handler, std::string path)
    : queue_(std::move(queue)), handler_(std::move(handler)), path_(std::move(path)) {}

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::create(dispatch::Queue queue, Handler handler,
                                                                   double pollInterval, std::string path) {
    std::shared_ptr<MemoryPressureSource> source(
        new MemoryPressureSource(queue, std::move(handler), std::move(path)));
    {
        auto& r = registry();
        MutexLock lock(r.mutex);
        r.live.push_back(source);
    }
    std::ifstream probe(source->path_);
    if (probe.good()) {
        source->timer_ = dispatch::TimerSource::create(queue);
        std::weak_ptr<MemoryPressureSource> weak = source;
        source->timer_->setEventHandler([weak] {
            if (auto strong = weak.lock())
                strong->poll();
        });
        source->timer_->setTimer(pollInterval, pollInterval, pollInterval / 10);
        source->timer_->resume();
    }
    return source;
}

MemoryPressureSource::~MemoryPressureSource() {
    if (timer_)
        timer_->cancel();
}

void MemoryPressureSource::cancel() {
    if (timer_)
        timer_->cancel();
    auto& r = registry();
    MutexLock lock(r.mutex);
    std::erase_if(r.live, [this](const auto& weak) {
        auto strong = weak.lock();
        return !strong || strong.get() == this;
    });
}

void MemoryPressureSource::poll() {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    auto level = levelFromPressureText(text.str());
    if (!level)
        return;
    if (*level != last_ && *level != MemoryPressureLevel::Normal)
        handler_(*level);
    last_ = *level;
}

void MemoryPressureSource::deliver(MemoryPressureLevel level) {
    auto self = shared_from_this();
    queue_.async([self, level] { self->handler_(level); });
}

void MemoryPressureSource::simulate(MemoryPressureLevel level) {
    std::vector<std::shared_ptr<MemoryPressureSource>> targets;
    {
        auto& r = registry();
        MutexLock lock(r.mutex);
        std::erase_if(r.live, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : r.live)
            if (auto strong = weak.lock())
                targets.push_back(strong);
    }
    for (const auto& target : targets)
        target->deliver(level);
}

namespace {

Mutex openerMutex;
Workspace::Opener openerOverride GUARDED_BY(openerMutex);

bool xdgOpen(const std::string& url) {
    pid_t pid = 0;
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0)
        return false;
    // Reap the opener without holding the main loop.
    // (An interrupted wait is tried again; the opener's status says nothing
    // the caller is told about: it was started, which is all it asked.)
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace

void Workspace::setOpener(Opener opener) {
    MutexLock lock(openerMutex);
    openerOverride = std::move(opener);
}

void Workspace::openURL(const std::string& url, std::function<void(bool)> completion) {
    dispatch::Queue::main().async([url, completion = std::move(completion)] {
        Opener opener;
        {
            MutexLock lock(openerMutex);
            opener = openerOverride;
        }
        bool opened = opener ? opener(url) : xdgOpen(url);
        if (completion)
            completion(opened);
    });
}

}  // namespace plat::appkit
