// A scripted stand-in for the drive's sync daemon, for tests: it joins the
// container folders of several devices (each folder may belong to another
// process) through an in-memory cloud copy, step by step.
//
// One step:
//  1. Looks at each folder. A visible folder is uploaded at once. A visible
//     file new or changed since the agent last saw it is uploaded once it
//     has looked the same for two steps in a row (a writer may still be at
//     it). An item the agent knew that is gone was removed on that device:
//     it is removed from the cloud. Hidden names are never uploaded.
//  2. Brings every folder up to the cloud: folders are made, removed items
//     removed, and every file newer in the cloud than on the device becomes
//     a placeholder (Ubiquity.h); a file already there stays, older, until
//     its download. Two devices that make the same folder share it, or with
//     numberConflictingFolders the later one's becomes "<name> 2".
//  3. Takes the download requests found beside placeholders. Each is served
//     after a delay of steps drawn from the script's range (so downloads
//     arrive out of order), and the first `withheldRequests` requests only
//     after `withheldSteps` further steps, or releaseWithheld() (so files
//     are at first missing).
//  4. Serves the requests that are due: the newest content is written under
//     a hidden name and renamed into place, then the placeholder and its
//     request go.
//
// Any thread; steps are serialised.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace plat::clouddrive {

class SyncAgent {
  public:
    struct Script {
        unsigned seed = 1;
        int minDelaySteps = 0;
        int maxDelaySteps = 0;
        int withheldRequests = 0;
        int withheldSteps = -1;  // negative: until releaseWithheld()
        // A folder made on a device that the cloud got from another device
        // in the meantime is renamed on this device with the first free
        // number ("main 2"), as a drive does after conflicting creations;
        // otherwise the two folders are shared.
        bool numberConflictingFolders = false;
    };

    explicit SyncAgent(std::vector<std::string> folders);
    SyncAgent(std::vector<std::string> folders, Script script);
    ~SyncAgent();  // stops the background thread
    SyncAgent(const SyncAgent&) = delete;
    SyncAgent& operator=(const SyncAgent&) = delete;

    void step() EXCLUDES(mutex_);
    // Steps every intervalSeconds on a thread of its own until stop().
    void start(double intervalSeconds);
    void stop();

    void releaseWithheld() EXCLUDES(mutex_);
    // Requests taken and not yet served.
    std::size_t pendingDownloads() const EXCLUDES(mutex_);
    // Steps until no request is pending and nothing changes any more (at most
    // maxSteps), serving everything at once, withheld requests included.
    void settle(int maxSteps = 50) EXCLUDES(mutex_);

  private:
    struct Signature {
        uint64_t size = 0;
        int64_t mtime = 0;
        uint64_t inode = 0;
        bool operator==(const Signature&) const = default;
    };
    struct CloudItem {
        bool directory = false;
        std::string content;
        uint64_t version = 0;
    };
    struct Known {
        bool directory = false;
        uint64_t held = 0;     // version of the content on the device, 0 none
        uint64_t offered = 0;  // version a placeholder announces, 0 none
        Signature signature;
    };
    struct Request {
        std::size_t folder;
        std::string item;
        long due;
        bool withheld;
    };

    // What a device folder shows: every item (true for a folder) and the
    // signature of each file.
    struct Listing {
        std::map<std::string, bool> items;
        std::map<std::string, Signature> files;
    };

    void scan(std::size_t folder) REQUIRES(mutex_);
    static Listing listFolder(const std::string& root);
    void takeRemovals(std::size_t folder, const Listing& listing) REQUIRES(mutex_);
    // Renames a folder the device made that meets a cloud folder of the same
    // name to a numbered name; true when it did.
    bool numberConflictingFolder(std::size_t folder, const std::string& item) REQUIRES(mutex_);
    // Takes a file's content to the cloud once it stayed the same for a step.
    void takeFile(std::size_t folder, const std::string& item, const Signature& signature) REQUIRES(mutex_);
    void propagate(std::size_t folder) REQUIRES(mutex_);
    void takeRequests(std::size_t folder) REQUIRES(mutex_);
    bool serve(const Request& request) REQUIRES(mutex_);
    bool serveDue(bool everything) REQUIRES(mutex_);
    void removeFromCloud(const std::string& item) REQUIRES(mutex_);
    std::string numberedName(std::size_t folder, const std::string& item) const REQUIRES(mutex_);
    void stepLocked(bool everything) REQUIRES(mutex_);

    const std::vector<std::string> folders_;
    const Script script_;
    mutable Mutex mutex_;
    std::mt19937 random_ GUARDED_BY(mutex_);
    long steps_ GUARDED_BY(mutex_) = 0;
    uint64_t nextVersion_ GUARDED_BY(mutex_) = 1;
    int requestsTaken_ GUARDED_BY(mutex_) = 0;
    bool released_ GUARDED_BY(mutex_) = false;
    bool changedInStep_ GUARDED_BY(mutex_) = false;
    std::map<std::string, CloudItem> cloud_ GUARDED_BY(mutex_);
    std::vector<std::map<std::string, Known>> known_ GUARDED_BY(mutex_);
    std::vector<std::map<std::string, Signature>> candidates_ GUARDED_BY(mutex_);
    std::vector<Request> requests_ GUARDED_BY(mutex_);

    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace plat::clouddrive
