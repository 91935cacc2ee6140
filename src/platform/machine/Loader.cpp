#include "platform/machine/Loader.h"

#include <link.h>
#include <unistd.h>

#include <algorithm>

namespace plat::machine {

namespace {

struct Counters {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
};

int readCounters(dl_phdr_info* info, size_t size, void* data) {
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        auto* counters = static_cast<Counters*>(data);
        counters->adds = info->dlpi_adds;
        counters->subs = info->dlpi_subs;
    }
    return 1;  // the counters are the same in every entry
}

int collect(dl_phdr_info* info, size_t, void* data) {
    auto* images = static_cast<std::vector<LoadedImage>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && segment.p_offset == 0) {
            LoadedImage image;
            image.headerAddress = info->dlpi_addr + segment.p_vaddr;
            image.path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (images->empty() && image.path.empty())
                image.path = executablePath();
            images->push_back(std::move(image));
            break;
        }
    }
    return 0;
}

}  // namespace

std::string executablePath() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);  // it may have been cut: ask again with more room
    }
}

std::vector<LoadedImage> loadedImages() {
    std::vector<LoadedImage> images;
    (void)dl_iterate_phdr(collect, &images);  // returns our callback's 0
    return images;
}

void Loader::poll() {
    plat::MutexLock lock(mutex_);
    Counters counters;
    (void)dl_iterate_phdr(readCounters, &counters);  // returns our callback's answer, nothing to check
    if (polled_ && counters.adds == adds_ && counters.subs == subs_)
        return;
    polled_ = true;
    adds_ = counters.adds;
    subs_ = counters.subs;

    std::vector<LoadedImage> now = loadedImages();
    std::vector<uint64_t> current;
    for (const LoadedImage& image : now)
        current.push_back(image.headerAddress);
    for (uint64_t header : known_) {
        if (std::find(current.begin(), current.end(), header) == current.end())
            removed_(header);
    }
    for (const LoadedImage& image : now) {
        if (std::find(known_.begin(), known_.end(), image.headerAddress) == known_.end())
            added_(image);
    }
    known_ = std::move(current);
}

}  // namespace plat::machine
