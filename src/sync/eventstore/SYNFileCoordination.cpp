#include "sync/eventstore/SYNFileCoordination.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "sync/eventstore/SYNErrors.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits longer than this count as waiting for ever (and avoid overflowing
// the clock's time points).
constexpr double kForever = 1e7;

// One reader/writer lock per canonical path, created on first use and
// dropped when nobody holds or waits for it. The path locks stay
// std::shared_timed_mutex: readers share them and waits end at a deadline,
// which plat::Mutex does not offer; PathLock pairs each lock with its unlock.
class LockTable {
  public:
    struct Entry {
        std::shared_timed_mutex mutex;
        std::size_t users = 0;
    };

    static LockTable& shared() {
        static auto* table = new LockTable();  // outlives every thread's last call
        return *table;
    }

    Entry* acquire(const std::string& path) EXCLUDES(mutex_) {
        plat::MutexLock lock(mutex_);
        auto& entry = entries_[path];
        if (!entry) {
            entry = std::make_unique<Entry>();
        }
        ++entry->users;
        return entry.get();
    }

    void release(const std::string& path) EXCLUDES(mutex_) {
        plat::MutexLock lock(mutex_);
        auto found = entries_.find(path);
        if (found != entries_.end() && --found->second->users == 0) {
            entries_.erase(found);
        }
    }

  private:
    plat::Mutex mutex_;
    std::unordered_map<std::string, std::unique_ptr<Entry>> entries_ GUARDED_BY(mutex_);
};

// The time-out as a deadline; nullopt waits for ever.
struct Deadline {
    explicit Deadline(double seconds) {
        if (std::isnan(seconds) || seconds <= 0) {
            immediate = true;
        } else if (seconds < kForever) {
            at = Clock::now() +
                 std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        }
    }
    bool immediate = false;
    std::optional<Clock::time_point> at;
};

// A lock on one path, taken for reading or writing before a deadline and
// released on destruction.
class PathLock {
  public:
    PathLock(std::string path, bool exclusive) : path_(std::move(path)), exclusive_(exclusive) {
        entry_ = LockTable::shared().acquire(path_);
    }
    ~PathLock() {
        if (held_) {
            exclusive_ ? entry_->mutex.unlock() : entry_->mutex.unlock_shared();
        }
        LockTable::shared().release(path_);
    }
    PathLock(const PathLock&) = delete;
    PathLock& operator=(const PathLock&) = delete;

    bool lock(const Deadline& deadline) {
        auto& m = entry_->mutex;
        if (deadline.immediate) {
            held_ = exclusive_ ? m.try_lock() : m.try_lock_shared();
        } else if (!deadline.at) {
            exclusive_ ? m.lock() : m.lock_shared();
            held_ = true;
        } else {
            held_ = exclusive_ ? m.try_lock_until(*deadline.at) : m.try_lock_shared_until(*deadline.at);
        }
        return held_;
    }

  private:
    std::string path_;
    bool exclusive_;
    LockTable::Entry* entry_ = nullptr;
    bool held_ = false;
};

std::string canonicalPath(const plat::URL& url) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(url.path(), error);
    auto canonical = std::filesystem::weakly_canonical(path, error);
    return (error ? path.lexically_normal() : canonical).string();
}

plat::ErrorPtr unsupportedScheme(const plat::URL& url, bool writing) {
    return plat::Error::make(
        plat::CocoaErrorDomain,
        writing ? plat::FileWriteUnsupportedSchemeError : plat::FileReadUnsupportedSchemeError,
        {{plat::URLErrorKey, plat::Value(url.absoluteString())}});
}

struct Claim {
    std::string path;
    bool exclusive;
};

// Takes every claim (in path order) or none; then runs the accessor.
plat::ErrorPtr coordinate(std::vector<Claim> claims, double timeoutSeconds,
                          const std::function<void()>& accessor) {
    std::sort(claims.begin(), claims.end(), [](const Claim& a, const Claim& b) { return a.path < b.path; });
    const Deadline deadline(timeoutSeconds);
    std::vector<std::unique_ptr<PathLock>> locks;
    for (const auto& claim : claims) {
        locks.push_back(std::make_unique<PathLock>(claim.path, claim.exclusive));
        if (!locks.back()->lock(deadline)) {
            return SYNMakeError(SYNErrorFileCoordinatorTimedOut);
        }
    }
    if (accessor) {
        accessor();
    }
    return nullptr;
}

}  // namespace

plat::ErrorPtr syn_coordinateReadingItemAtURL(const plat::URL& url, unsigned /*options*/,
                                              double timeoutSeconds, const SYNFileAccessor& accessor) {
    if (!url.isFileURL()) {
        return unsupportedScheme(url, false);
    }
    return coordinate({{canonicalPath(url), false}}, timeoutSeconds, [&] {
        if (accessor) {
            accessor(url);
        }
    });
}

plat::ErrorPtr syn_coordinateWritingItemAtURL(const plat::URL& url, unsigned /*options*/,
                                              double timeoutSeconds, const SYNFileAccessor& accessor) {
    if (!url.isFileURL()) {
        return unsupportedScheme(url, true);
    }
    return coordinate({{canonicalPath(url), true}}, timeoutSeconds, [&] {
        if (accessor) {
            accessor(url);
        }
    });
}

plat::ErrorPtr syn_coordinateReadingItemAtURL(const plat::URL& readURL, unsigned /*readOptions*/,
                                              const plat::URL& writeURL, unsigned /*writeOptions*/,
                                              double timeoutSeconds,
                                              const SYNFileReadWriteAccessor& accessor) {
    if (!readURL.isFileURL()) {
        return unsupportedScheme(readURL, false);
    }
    if (!writeURL.isFileURL()) {
        return unsupportedScheme(writeURL, true);
    }
    const std::string readPath = canonicalPath(readURL);
    const std::string writePath = canonicalPath(writeURL);
    std::vector<Claim> claims{{writePath, true}};
    if (readPath != writePath) {
        claims.push_back({readPath, false});
    }
    return coordinate(std::move(claims), timeoutSeconds, [&] {
        if (accessor) {
            accessor(readURL, writeURL);
        }
    });
}
