// File presenters of the cloud drive stand-in, fed by inotify.
//
// A DirectoryWatcher reports changes below a folder (the folder itself and
// every folder below it, also folders made later) once per change: a file
// written and closed, a folder created, an item moved in or out, an item
// removed. Hidden names (a leading ".") are the drive's and the writers'
// bookkeeping (placeholders, temporary files) and are reported only when
// asked for. The watch follows the path, not the folder: when the folder is
// moved away or removed, the root itself is reported and nothing more until
// a folder appears at the path again, which is reported and watched.
//
// A FilePresenter is registered with FilePresenters::add; it then hears, on
// its own operation queue, of every change below its presented folder, by
// this process or any other, except those made inside
// FilePresenters::performChange on its behalf: a presenter never hears of its
// own coordinated writes. inotify queues the events of a change during the
// system calls that make it, so the exclusion is exact, not a time window.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Mutex.h"

namespace plat::clouddrive {

class DirectoryWatcher {
  public:
    // Called on the watcher's thread with the full path of the changed item.
    using Handler = std::function<void(const std::string& path)>;

    // Starts watching at once; a missing root reports nothing.
    DirectoryWatcher(std::string root, bool includeHidden, Handler handler);
    ~DirectoryWatcher();  // stops and joins the thread; no handler call after it
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    const std::string& root() const { return root_; }

    // Runs body; what it changes at path and below is not reported.
    void performWithoutReporting(const std::string& path, const std::function<void()>& body)
        EXCLUDES(readMutex_);

    // Handles every event queued so far (tests use it as a barrier).
    void flush() EXCLUDES(readMutex_);

  private:
    void run();
    void addWatchTree(const std::string& dir) REQUIRES(readMutex_);
    void drain() REQUIRES(readMutex_);
    void reportContents(const std::string& dir) REQUIRES(readMutex_);
    bool suppressed(const std::string& path) const REQUIRES(readMutex_);

    const std::string root_;
    const bool includeHidden_;
    const Handler handler_;
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    // Reading and handling events, and the watch table, under one lock, so a
    // caller of performWithoutReporting can drain what its body caused.
    Mutex readMutex_;
    std::map<int, std::string> watches_ GUARDED_BY(readMutex_);
    int rootWatch_ GUARDED_BY(readMutex_) = -1;
    int parentWatch_ GUARDED_BY(readMutex_) = -1;
    std::multiset<std::string> suppressedPaths_ GUARDED_BY(readMutex_);
    std::thread thread_;
};

class FilePresenter {
  public:
    virtual ~FilePresenter() = default;
    // The folder presented; nullopt presents nothing.
    virtual std::optional<std::string> presentedItemPath() const = 0;
    // Where the callbacks run.
    virtual std::shared_ptr<dispatch::OperationQueue> presentedItemOperationQueue() const = 0;
    virtual void presentedSubitemDidChangeAtPath(const std::string& path) = 0;
};

class FilePresenters {
  public:
    // Starts reporting to the presenter (held weakly) changes below its
    // presented folder as it is now. Adding it again restarts the watch.
    static void add(const std::shared_ptr<FilePresenter>& presenter);
    // Stops reporting; no callback is queued after it returns (once a
    // performChange on its behalf that runs meanwhile has ended).
    static void remove(const FilePresenter* presenter);
    // Runs body as a change to path made on behalf of `by` (may be null):
    // every other presenter hears of it, `by` does not.
    static void performChange(const FilePresenter* by, const std::string& path,
                              const std::function<void()>& body);
    // Handles the events queued so far for the presenter.
    static void flush(const FilePresenter* presenter);
};

}  // namespace plat::clouddrive
