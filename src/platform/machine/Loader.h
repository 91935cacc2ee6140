// Loaded images as the dynamic loader reports them. A Loader remembers the
// images it has reported and, on poll(), calls `added` for each image that
// appeared and `removed` for each that went away since the last poll (the
// first poll reports every loaded image). Changes are noticed by polling the
// loader's add and remove counters; nothing here runs at crash time
// (dl_iterate_phdr takes the loader's lock).
//
// poll() is thread-safe: polls are serialised, and the callbacks run on the
// polling thread under the Loader's lock (a callback must not poll again).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace plat::machine {

struct LoadedImage {
    uint64_t headerAddress = 0;  // the mapped ELF header
    std::string path;            // the executable's real path for the main program
};

// Every image loaded now, in the loader's order (the main program first).
std::vector<LoadedImage> loadedImages();

// The path of this process's executable (/proc/self/exe), empty when unknown.
std::string executablePath();

class Loader {
  public:
    using Added = std::function<void(const LoadedImage&)>;
    using Removed = std::function<void(uint64_t headerAddress)>;

    Loader(Added added, Removed removed) : added_(std::move(added)), removed_(std::move(removed)) {}

    // Reports what changed since the last poll; cheap when nothing did.
    void poll() EXCLUDES(mutex_);

  private:
    Added added_;
    Removed removed_;
    plat::Mutex mutex_;
    bool polled_ GUARDED_BY(mutex_) = false;
    unsigned long long adds_ GUARDED_BY(mutex_) = 0;
    unsigned long long subs_ GUARDED_BY(mutex_) = 0;
    std::vector<uint64_t> known_ GUARDED_BY(mutex_);
};

}  // namespace plat::machine
