#include "platform/clouddrive/SyncAgent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/clouddrive/Ubiquity.h"

namespace fs = std::filesystem;

namespace plat::clouddrive {

namespace {

bool isBelow(const std::string& item, const std::string& folder) {
    return item.size() > folder.size() && item.compare(0, folder.size(), folder) == 0 &&
           item[folder.size()] == '/';
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    out = content.str();
    return !in.bad();
}

}  // namespace

SyncAgent::SyncAgent(std::vector<std::string> folders) : SyncAgent(std::move(folders), Script()) {}

SyncAgent::SyncAgent(std::vector<std::string> folders, Script script)
    : folders_(std::move(folders)), script_(script) {
    MutexLock lock(mutex_);
    random_.seed(script_.seed);
    known_.resize(folders_.size());
    candidates_.resize(folders_.size());
}

SyncAgent::~SyncAgent() {
    stop();
}

void SyncAgent::start(double intervalSeconds) {
    if (running_.exchange(true)) {
        return;
    }
    thread_ = std::thread([this, intervalSeconds] {
        while (running_.load()) {
            step();
            std::this_thread::sleep_for(std::chrono::duration<double>(intervalSeconds));
        }
    });
}

void SyncAgent::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SyncAgent::releaseWithheld() {
    MutexLock lock(mutex_);
    released_ = true;
}

std::size_t SyncAgent::pendingDownloads() const {
    MutexLock lock(mutex_);
    return requests_.size();
}

void SyncAgent::step() {
    MutexLock lock(mutex_);
    stepLocked(false);
}

void SyncAgent::settle(int maxSteps) {
    MutexLock lock(mutex_);
    for (int i = 0; i < maxSteps; ++i) {
        changedInStep_ = false;
        stepLocked(true);
        bool waiting = !requests_.empty();
        for (const auto& candidates : candidates_) {
            waiting = waiting || !candidates.empty();
        }
        if (!changedInStep_ && !waiting) {
            return;
        }
    }
}

void SyncAgent::stepLocked(bool everything) {
    ++steps_;
    for (std::size_t f = 0; f < folders_.size(); ++f) {
        scan(f);
    }
    for (std::size_t f = 0; f < folders_.size(); ++f) {
        propagate(f);
        takeRequests(f);
    }
    if (serveDue(everything)) {
        changedInStep_ = true;
    }
}

void SyncAgent::removeFromCloud(const std::string& item) {
    for (auto it = cloud_.begin(); it != cloud_.end();) {
        if (it->first == item || isBelow(it->first, item)) {
            it = cloud_.erase(it);
        } else {
            ++it;
        }
    }
}

std::string SyncAgent::numberedName(std::size_t f, const std::string& item) const {
    for (int n = 2;; ++n) {
        const std::string candidate = item + " " + std::to_string(n);
        std::error_code error;
        if (!cloud_.count(candidate) && !fs::exists(folders_[f] + "/" + candidate, error)) {
            return candidate;
        }
    }
}

// A scan of one device folder: list what it shows, take its removals to the
// cloud, then take each item: a folder numbered aside when it conflicts with
// a cloud folder, a new folder, or a file whose content stayed still for two
// steps.
void SyncAgent::scan(std::size_t f) {
    const Listing listing = listFolder(folders_[f]);
    takeRemovals(f, listing);
    std::vector<std::string> renamed;
    for (const auto& [item, directory] : listing.items) {
        bool moved = false;
        for (const auto& folder : renamed) {
            moved = moved || isBelow(item, folder);
        }
        if (moved) {
            continue;  // seen under its new name next step
        }
        if (directory && script_.numberConflictingFolders && numberConflictingFolder(f, item)) {
            renamed.push_back(item);
            continue;
        }
        if (directory) {
            auto& entry = known_[f][item];
            entry.directory = true;
            if (!cloud_.count(item)) {
                cloud_[item] = CloudItem{true, {}, nextVersion_++};
                changedInStep_ = true;
            }
            continue;
        }
        if (auto found = listing.files.find(item); found != listing.files.end()) {
            takeFile(f, item, found->second);
        }
    }
}

SyncAgent::Listing SyncAgent::listFolder(const std::string& root) {
    Listing listing;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        const bool directory = it->is_directory(typeError) && !it->is_symlink(typeError);
        if (name.empty() || name.front() == '.') {
            if (directory) {
                it.disable_recursion_pending();
            }
            continue;
        }
        const std::string item = it->path().lexically_relative(root).string();
        listing.items[item] = directory;
        if (!directory) {
            struct stat st {};
            if (::lstat(it->path().c_str(), &st) == 0) {
                listing.files[item] = {
                    static_cast<uint64_t>(st.st_size),
                    static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                    static_cast<uint64_t>(st.st_ino)};
            }
        }
    }
    return listing;
}

// Removed on the device: what the agent knew with content there.
void SyncAgent::takeRemovals(std::size_t f, const Listing& listing) {
    auto& known = known_[f];
    for (auto it = known.begin(); it != known.end();) {
        const bool wasThere = it->second.directory || it->second.held != 0;
        if (wasThere && !listing.items.count(it->first)) {
            auto cloudItem = cloud_.find(it->first);
            if (cloudItem != cloud_.end() &&
                (it->second.directory || cloudItem->second.version == it->second.held)) {
                removeFromCloud(it->first);
                changedInStep_ = true;
            }
            it = known.erase(it);
        } else {
            ++it;
        }
    }
}

bool SyncAgent::numberConflictingFolder(std::size_t f, const std::string& item) {
    auto& known = known_[f];
    auto entry = known.find(item);
    auto cloudItem = cloud_.find(item);
    if ((entry != known.end() && entry->second.directory) || cloudItem == cloud_.end() ||
        !cloudItem->second.directory) {
        return false;
    }
    const std::string& root = folders_[f];
    std::error_code renameError;
    fs::rename(root + "/" + item, root + "/" + numberedName(f, item), renameError);
    if (renameError) {
        return false;
    }
    auto& candidates = candidates_[f];
    for (auto it = candidates.begin(); it != candidates.end();) {
        it = isBelow(it->first, item) ? candidates.erase(it) : std::next(it);
    }
    changedInStep_ = true;
    return true;
}

void SyncAgent::takeFile(std::size_t f, const std::string& item, const Signature& signature) {
    auto& known = known_[f];
    auto& candidates = candidates_[f];
    auto entry = known.find(item);
    if (entry != known.end() && entry->second.held != 0 && entry->second.signature == signature) {
        return;
    }
    auto candidate = candidates.find(item);
    if (candidate == candidates.end() || !(candidate->second == signature)) {
        candidates[item] = signature;  // look again next step
        return;
    }
    candidates.erase(candidate);
    std::string content;
    if (!readFile(folders_[f] + "/" + item, content)) {
        return;
    }
    const uint64_t version = nextVersion_++;
    cloud_[item] = CloudItem{false, std::move(content), version};
    auto& updated = known[item];
    updated.directory = false;
    updated.held = version;
    updated.offered = version;
    updated.signature = signature;
    changedInStep_ = true;
}

void SyncAgent::propagate(std::size_t f) {
    const std::string& root = folders_[f];
    auto& known = known_[f];
    // Removed elsewhere.
    for (auto it = known.begin(); it != known.end();) {
        if (cloud_.count(it->first)) {
            ++it;
            continue;
        }
        const std::string path = root + "/" + it->first;
        std::error_code error;
        if (it->second.directory) {
            fs::remove_all(path, error);
        } else {
            fs::remove(path, error);
            fs::remove(placeholderPathForItem(path), error);
            fs::remove(requestPathForItem(path), error);
        }
        it = known.erase(it);
        changedInStep_ = true;
    }
    for (const auto& [item, cloudItem] : cloud_) {
        const std::string path = root + "/" + item;
        auto& entry = known[item];
        std::error_code error;
        if (cloudItem.directory) {
            if (!entry.directory) {
                entry.directory = true;
                fs::create_directories(path, error);
                changedInStep_ = true;
            }
            continue;
        }
        if (entry.held >= cloudItem.version || entry.offered >= cloudItem.version) {
            continue;
        }
        fs::create_directories(fs::path(path).parent_path(), error);
        Placeholder placeholder;
        placeholder.size = cloudItem.content.size();
        placeholder.version = cloudItem.version;
        if (!writePlaceholder(path, placeholder)) {
            entry.offered = cloudItem.version;
            changedInStep_ = true;
        }
    }
}

void SyncAgent::takeRequests(std::size_t f) {
    for (auto& [item, entry] : known_[f]) {
        if (entry.directory || entry.offered <= entry.held) {
            continue;
        }
        bool pending = false;
        for (const auto& request : requests_) {
            pending = pending || (request.folder == f && request.item == item);
        }
        const std::string path = folders_[f] + "/" + item;
        if (pending || !fs::exists(requestPathForItem(path))) {
            continue;
        }
        const int span = std::max(0, script_.maxDelaySteps - script_.minDelaySteps);
        const long delay = script_.minDelaySteps + static_cast<long>(random_() % (span + 1));
        const bool withheld = requestsTaken_ < script_.withheldRequests;
        ++requestsTaken_;
        requests_.push_back(Request{
            f, item, steps_ + delay + (withheld && script_.withheldSteps >= 0 ? script_.withheldSteps : 0),
            withheld});
        if (auto placeholder = readPlaceholder(path)) {
            placeholder->downloading = true;
            // Only shows the download as started; serving the request writes the file.
            (void)writePlaceholder(path, *placeholder);
        }
        changedInStep_ = true;
    }
}

bool SyncAgent::serve(const Request& request) {
    const std::string path = folders_[request.folder] + "/" + request.item;
    auto cloudItem = cloud_.find(request.item);
    auto entry = known_[request.folder].find(request.item);
    if (cloudItem == cloud_.end() || cloudItem->second.directory || entry == known_[request.folder].end()) {
        return true;  // gone meanwhile; nothing to serve
    }
    const std::string temporary =
        (fs::path(path).parent_path() / (".agent-" + std::to_string(::getpid()) + ".tmp")).string();
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << cloudItem->second.content;
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    fs::remove(placeholderPathForItem(path), error);
    fs::remove(requestPathForItem(path), error);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        entry->second.signature = {static_cast<uint64_t>(st.st_size),
                                   static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                                   static_cast<uint64_t>(st.st_ino)};
    }
    entry->second.held = cloudItem->second.version;
    entry->second.offered = cloudItem->second.version;
    candidates_[request.folder].erase(request.item);
    return true;
}

bool SyncAgent::serveDue(bool everything) {
    bool served = false;
    for (auto it = requests_.begin(); it != requests_.end();) {
        const bool held = it->withheld && !released_ && script_.withheldSteps < 0;
        if (!everything && (held || it->due > steps_)) {
            ++it;
            continue;
        }
        if (serve(*it)) {
            it = requests_.erase(it);
            served = true;
        } else {
            ++it;
        }
    }
    return served;
}

}  // namespace plat::clouddrive
