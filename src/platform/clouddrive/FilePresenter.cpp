#include "platform/clouddrive/FilePresenter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace plat::clouddrive {

namespace {

constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_ONLYDIR;
constexpr uint32_t kEventMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE;

bool below(const std::string& path, const std::string& prefix) {
    return path == prefix || (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                              (prefix.back() == '/' || path[prefix.size()] == '/'));
}

// True when a component of path below root begins with ".".
bool hiddenBelow(const std::string& path, const std::string& root) {
    for (std::size_t i = root.size(); i + 1 < path.size(); ++i) {
        if (path[i] == '/' && path[i + 1] == '.') {
            return true;
        }
    }
    return false;
}

std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

DirectoryWatcher::DirectoryWatcher(std::string root, bool includeHidden, Handler handler)
    : root_(trimmed(std::move(root))), includeHidden_(includeHidden), handler_(std::move(handler)) {
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    {
        MutexLock lock(readMutex_);
        const auto parent = fs::path(root_).parent_path().string();
        if (inotifyFd_ >= 0 && !parent.empty() && parent != root_) {
            parentWatch_ =
                inotify_add_watch(inotifyFd_, parent.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        }
        addWatchTree(root_);
    }
    thread_ = std::thread([this] { run(); });
}

DirectoryWatcher::~DirectoryWatcher() {
    uint64_t one = 1;
    if (wakeFd_ >= 0) {
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (inotifyFd_ >= 0) {
        (void)::close(inotifyFd_);  // read only: closing loses nothing
    }
    if (wakeFd_ >= 0) {
        (void)::close(wakeFd_);  // an eventfd: nothing to lose
    }
}

void DirectoryWatcher::addWatchTree(const std::string& dir) {
    if (inotifyFd_ < 0) {
        return;
    }
    const bool isRoot = dir == root_;
    int wd = inotify_add_watch(inotifyFd_, dir.c_str(), kMask | (isRoot ? IN_MOVE_SELF | IN_DELETE_SELF : 0));
    if (wd < 0) {
        return;
    }
    watches_[wd] = dir;
    if (isRoot) {
        rootWatch_ = wd;
    }
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::error_code statusError;
        if (it->is_directory(statusError) && !it->is_symlink(statusError) &&
            (includeHidden_ || it->path().filename().string().front() != '.')) {
            addWatchTree(it->path().string());
        }
    }
}

bool DirectoryWatcher::suppressed(const std::string& path) const {
    for (const auto& prefix : suppressedPaths_) {
        if (below(path, prefix)) {
            return true;
        }
    }
    return false;
}

void DirectoryWatcher::drain() {
    alignas(inotify_event) char buffer[16384];
    while (true) {
        ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->mask & IN_IGNORED) {
                watches_.erase(event->wd);
                continue;
            }
            if (event->wd == parentWatch_) {
                // A folder appears at the root's path again.
                if (event->len > 0 && fs::path(root_).filename() == event->name && rootWatch_ < 0) {
                    addWatchTree(root_);
                    if (!suppressed(root_)) {
                        handler_(root_);
                        reportContents(root_);
                    }
                }
                continue;
            }
            if (event->wd == rootWatch_ && (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF))) {
                // The folder left the path: its events no longer belong to it.
                // (The kernel may have dropped a watch already: EINVAL then.)
                for (const auto& [wd, path] : watches_) {
                    (void)inotify_rm_watch(inotifyFd_, wd);  // EINVAL: the kernel dropped it already
                }
                watches_.clear();
                rootWatch_ = -1;
                if (!suppressed(root_)) {
                    handler_(root_);
                }
                continue;
            }
            auto found = watches_.find(event->wd);
            if (found == watches_.end() || event->len == 0 || !(event->mask & kEventMask)) {
                continue;
            }
            const std::string name(event->name);
            const std::string path = found->second + "/" + name;
            const bool isDirectory = event->mask & IN_ISDIR;
            const bool hidden = !includeHidden_ && hiddenBelow(path, root_);
            if (isDirectory && (event->mask & (IN_CREATE | IN_MOVED_TO)) && !hidden) {
                addWatchTree(path);  // a folder moved in keeps its watch under the new path
            } else if ((event->mask & IN_CREATE)) {
                continue;  // a file is reported when written and closed
            }
            if (hidden || suppressed(path)) {
                continue;
            }
            handler_(path);
            if (isDirectory && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                reportContents(path);
            }
        }
    }
}

void DirectoryWatcher::reportContents(const std::string& dir) {
    // Items made in a folder before its watch was added. One made between
    // the watch and this walk is reported twice, never missed.
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (includeHidden_ || !hiddenBelow(it->path().string(), root_)) {
            handler_(it->path().string());
        }
    }
}

void DirectoryWatcher::run() {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (inotifyFd_ >= 0) {
        int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents) {
            return;
        }
        if (fds[0].revents) {
            MutexLock lock(readMutex_);
            drain();
        }
    }
}

void DirectoryWatcher::performWithoutReporting(const std::string& path, const std::function<void()>& body) {
    const std::string key = trimmed(path);
    {
        MutexLock lock(readMutex_);
        suppressedPaths_.insert(key);
    }
    body();
    MutexLock lock(readMutex_);
    if (inotifyFd_ >= 0) {
        drain();
    }
    suppressedPaths_.erase(suppressedPaths_.find(key));
}

void DirectoryWatcher::flush() {
    MutexLock lock(readMutex_);
    if (inotifyFd_ >= 0) {
        drain();
    }
}

namespace {

struct Registration {
    std::weak_ptr<FilePresenter> presenter;
    std::shared_ptr<DirectoryWatcher> watcher;
};

struct Registry {
    Mutex mutex;
    std::map<const FilePresenter*, Registration> entries GUARDED_BY(mutex);
};

Registry& registry() {
    static auto* shared = new Registry();  // used until the process ends
    return *shared;
}

std::shared_ptr<DirectoryWatcher> watcherOf(const FilePresenter* presenter) {
    auto& shared = registry();
    MutexLock lock(shared.mutex);
    auto found = shared.entries.find(presenter);
    return found == shared.entries.end() ? nullptr : found->second.watcher;
}

}  // namespace

void FilePresenters::add(const std::shared_ptr<FilePresenter>& presenter) {
    remove(presenter.get());
    auto path = presenter->presentedItemPath();
    if (!path) {
        return;
    }
    std::weak_ptr<FilePresenter> weak = presenter;
    auto watcher = std::make_shared<DirectoryWatcher>(*path, false, [weak](const std::string& changed) {
        auto strong = weak.lock();
        if (!strong) {
            return;
        }
        if (auto queue = strong->presentedItemOperationQueue()) {
            queue->addOperationWithBlock([weak, changed] {
                if (auto presenter = weak.lock()) {
                    presenter->presentedSubitemDidChangeAtPath(changed);
                }
            });
        }
    });
    auto& shared = registry();
    MutexLock lock(shared.mutex);
    shared.entries[presenter.get()] = Registration{weak, std::move(watcher)};
}

void FilePresenters::remove(const FilePresenter* presenter) {
    std::shared_ptr<DirectoryWatcher> watcher;
    {
        auto& shared = registry();
        MutexLock lock(shared.mutex);
        auto found = shared.entries.find(presenter);
        if (found == shared.entries.end()) {
            return;
        }
        watcher = std::move(found->second.watcher);
        shared.entries.erase(found);
    }
    watcher.reset();  // joins its thread outside the registry's lock
}

void FilePresenters::performChange(const FilePresenter* by, const std::string& path,
                                   const std::function<void()>& body) {
    if (auto watcher = by ? watcherOf(by) : nullptr) {
        watcher->performWithoutReporting(path, body);
    } else {
        body();
    }
}

void FilePresenters::flush(const FilePresenter* presenter) {
    if (auto watcher = watcherOf(presenter)) {
        watcher->flush();
    }
}

}  // namespace plat::clouddrive
