// URLCache and CachedURLResponse: responses kept for later requests, in
// memory and on disk, and how long they stay usable (Cache-Control).
//
// A session with a cache (URLSessionConfiguration::urlCache) offers every
// complete 200 response to a GET data task whose request and response allow
// storing (no "no-store"), after its delegate's willCacheResponse has had its
// say, and answers later GET data tasks from it according to the request's
// cache policy: a fresh entry (max-age, else Expires, and no "no-cache") is
// used without asking the server; ReturnCacheDataElseLoad takes any entry;
// ReturnCacheDataDontLoad fails with URLErrorResourceUnavailable when there
// is none; ReloadIgnoringLocalCacheData never looks. Bodies are kept as
// delivered (decoded), and no entry larger than a twentieth of the larger
// capacity is kept.
//
// Entries are keyed by the request's URL. The memory part and the disk part
// each drop their oldest entries beyond their capacity. The disk folder is
// private to the user (0700, files 0600), written atomically; files that are
// not ours (too large, not regular, damaged) are ignored. All members may be
// called from any thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Mutex.h"

#include "platform/foundation/Data.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"

namespace plat::urlloading {

enum class URLCacheStoragePolicy { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

struct CachedURLResponse {
    HTTPURLResponsePtr response;
    Data data;
    URLCacheStoragePolicy storagePolicy = URLCacheStoragePolicy::Allowed;
    double storedAt = 0;  // seconds since 1970, set when stored
};

class URLCache {
  public:
    // `diskPath`: the folder for the disk part (made when missing); none or
    // a disk capacity of 0 keeps entries in memory only.
    URLCache(int64_t memoryCapacity, int64_t diskCapacity,
             std::optional<std::string> diskPath = std::nullopt);

    std::optional<CachedURLResponse> cachedResponseForRequest(const URLRequest& request);
    void storeCachedResponse(CachedURLResponse cached, const URLRequest& request);
    void removeCachedResponseForRequest(const URLRequest& request);
    void removeAllCachedResponses();

    int64_t memoryCapacity() const { return memoryCapacity_; }
    int64_t diskCapacity() const { return diskCapacity_; }
    int64_t currentMemoryUsage() const;
    int64_t currentDiskUsage() const;

    // Whether the entry may answer `request` without asking the server under
    // UseProtocolCachePolicy at time `now` (seconds since 1970).
    static bool isFresh(const CachedURLResponse& cached, const URLRequest& request, double now);

  private:
    struct Entry {
        CachedURLResponse cached;
        int64_t size = 0;
    };
    std::string fileFor(const std::string& key) const;
    std::optional<CachedURLResponse> readFile(const std::string& key) const;
    // The callers hold mutex_ (the disk index changes with the file).
    void writeFile(const std::string& key, const CachedURLResponse& cached) REQUIRES(mutex_);
    void trimMemory() REQUIRES(mutex_);
    void trimDisk() REQUIRES(mutex_);

    const int64_t memoryCapacity_;
    const int64_t diskCapacity_;
    const std::optional<std::string> diskPath_;

    mutable plat::Mutex mutex_;
    std::map<std::string, Entry> memory_ GUARDED_BY(mutex_);
    std::list<std::string> memoryOrder_ GUARDED_BY(mutex_);  // oldest first
    int64_t memoryUsage_ GUARDED_BY(mutex_) = 0;
    std::map<std::string, int64_t> disk_ GUARDED_BY(mutex_);  // key file name -> size
    std::list<std::string> diskOrder_ GUARDED_BY(mutex_);     // oldest first
    int64_t diskUsage_ GUARDED_BY(mutex_) = 0;
};

}  // namespace plat::urlloading
