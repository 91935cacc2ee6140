#include "sync/integration/SYNCloudManager.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>
#include <string_view>
#include <tuple>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/Predicate.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNPathComponent.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

using Option = SYNCloudFileSystem::OptionalMember;

// The local cloud folder keeps listed sizes up to its bound from one listing
// to the next: no file the snapshot refuses by size may be kept that way.
static_assert(SYNLocalCloudFileSystem::ListedSizesKeptUpTo <= SYNEventFileMaximumSize &&
              SYNLocalCloudFileSystem::ListedSizesKeptUpTo <= SYNDataFileMaximumSize);

namespace {

// Reads the own revision records of the events that are still faults with
// one fetch: file sets made from many events read every one of them, and a
// fault fired per event would cost a query per event. A fetch that fails
// leaves them to be read one by one.
void loadOwnRevisions(const SYNManagedObjects& events, plat::coredata::ManagedObjectContext& context) {
    plat::Array records;
    for (const auto& event : events) {
        if (auto record = event->objectForKey("eventRevision"); record && record->isFault()) {
            records.push_back(plat::Value(plat::ObjectPtr(record->objectID())));
        }
    }
    if (records.size() < 2) {
        return;
    }
    plat::coredata::FetchRequest request(SYNEventRevisionEntityName);
    request.predicate = plat::coredata::Predicate::selfIn(plat::Value(std::move(records)));
    if (auto loaded = context.executeFetchRequest(request); !loaded.ok()) {
        SYN_LOG(SYNLoggingLevelVerbose, "Could not read the events' revisions at once: %@", loaded.error());
    }
}

// The managed object an object of a notification is, without the cost of a
// dynamic cast for the plain managed objects that saves name; null for
// anything else.
const plat::coredata::ManagedObject* managedObjectIn(const plat::Object* object) {
    using plat::coredata::ManagedObject;
    if (!object) {
        return nullptr;
    }
    if (typeid(*object) == typeid(ManagedObject)) {
        return static_cast<const ManagedObject*>(object);
    }
    return dynamic_cast<const ManagedObject*>(object);
}

const std::vector<int16_t> kEventTypes{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
const std::vector<int16_t> kBaselineTypes{SYNStoreModificationEventTypeBaseline};

template <class F>
void onMain(F&& block) {
    plat::dispatch::Queue::main().async(std::forward<F>(block));
}

bool containsBaselines(const std::vector<int16_t>& types) {
    return std::find(types.begin(), types.end(), SYNStoreModificationEventTypeBaseline) != types.end();
}

std::string join(const std::string& directory, const std::string& name) {
    return directory + "/" + name;
}

// A name another machine listed may become a path only when it stays one
// visible entry of its folder.
bool isSafeRemoteName(const std::string& name) {
    return SYNIsValidPathComponent(name) && name.front() != '.';
}

// The names of the listing under which the parts a set took from it may
// appear (a baseline's part also under its short alias), found without
// enumerating every part of the set's total.
std::vector<std::string> presentAliases(const SYNEventFileSet& set, const std::vector<std::string>& ownNames,
                                        const std::unordered_map<std::string_view, std::size_t>& listed) {
    std::set<uint64_t> parts;
    for (const auto& name : ownNames) {
        auto fraction = SYNEventFileSet::partFractionForFilename(name);
        parts.insert(fraction && fraction->first >= 1 ? static_cast<uint64_t>(fraction->first) : 1);
    }
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (uint64_t part : parts) {
        for (const auto& alias : set.aliasesForPartIndex(part)) {
            if (listed.count(alias) && seen.insert(alias).second) {
                found.push_back(alias);
            }
        }
    }
    return found;
}

// Sets of a grouping, in the order of the first name each took from the
// listing: the order a grouping of the whole listing makes them in.
void sortByFirstName(std::vector<std::size_t>& indexes, const SYNEventFileSet::Grouping& grouping) {
    std::sort(indexes.begin(), indexes.end(), [&](std::size_t a, std::size_t b) {
        return grouping.filenames[a].front() < grouping.filenames[b].front();
    });
}

// What a missing snapshot lists.
const SYNCloudManager::Names& noNames() {
    static const SYNCloudManager::Names none;
    return none;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

}  // namespace

std::shared_ptr<SYNCloudManager> SYNCloudManager::create(
    std::shared_ptr<SYNEventStore> eventStore, std::shared_ptr<SYNCloudFileSystem> cloudFileSystem,
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model) {
    auto manager = std::shared_ptr<SYNCloudManager>(
        new SYNCloudManager(std::move(eventStore), std::move(cloudFileSystem), std::move(model)));
    manager->setup();
    return manager;
}

SYNCloudManager::SYNCloudManager(std::shared_ptr<SYNEventStore> eventStore,
                                 std::shared_ptr<SYNCloudFileSystem> cloudFileSystem,
                                 std::shared_ptr<const plat::coredata::ManagedObjectModel> model)
    : eventStore_(std::move(eventStore)),
      cloudFileSystem_(std::move(cloudFileSystem)),
      model_(std::move(model)),
      localFileRoot_(eventStore_->pathToEventDataRootDirectory() + "/transitcache"),
      operationQueue_(std::make_shared<plat::dispatch::OperationQueue>("SYNCloudManager")),
      saveLog_(std::make_shared<SaveLog>()) {
    operationQueue_->setMaxConcurrentOperationCount(1);
    operationQueue_->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    // Posted by a context after its save reached its store (or its parent),
    // on the saving thread, before save() returns.
    saveObserver_ = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
        [log = saveLog_](const plat::Notification& notification) { log->record(notification); });
}

SYNCloudManager::~SYNCloudManager() {
    plat::NotificationCenter::defaultCenter().removeObserver(saveObserver_);
}

// --- Layout -----------------------------------------------------------------------

std::string SYNCloudManager::localMeshDirectory() const {
    return join(localFileRoot_, eventStore_->meshIdentifier());
}
std::string SYNCloudManager::localUploadDirectory() const {
    return join(localMeshDirectory(), "upload");
}
std::string SYNCloudManager::localDownloadDirectory() const {
    return join(localMeshDirectory(), "download");
}
std::string SYNCloudManager::remoteMeshDirectory() const {
    return "/" + eventStore_->meshIdentifier();
}
std::string SYNCloudManager::remoteFilesDirectory() const {
    return join(remoteMeshDirectory(), "files");
}
std::string SYNCloudManager::remoteStoresDirectory() const {
    return join(remoteMeshDirectory(), "stores");
}
std::string SYNCloudManager::remoteEventsDirectory() const {
    return join(remoteMeshDirectory(), "events");
}
std::string SYNCloudManager::remoteBaselinesDirectory() const {
    return join(remoteMeshDirectory(), "baselines");
}
std::string SYNCloudManager::remoteDataDirectory() const {
    return join(remoteMeshDirectory(), "data");
}

void SYNCloudManager::setup() {
    createTransitCacheDirectories();
}

void SYNCloudManager::createTransitCacheDirectories() {
    // Made anew below; the next emptying lists it again all the same.
    fillingUploadDirectory();
    downloadDirectoryEmpty_.store(false);
    for (const auto& directory : {localDownloadDirectory(), localUploadDirectory()}) {
        (void)fileManager_.removeItemAtPath(directory);
        // Private to the user, whatever the umask: the cache holds their data.
        const plat::Dictionary privateFolder{{plat::FilePosixPermissions, plat::Value(0700)}};
        if (auto error = fileManager_.createDirectoryAtPath(directory, true, &privateFolder)) {
            SYN_LOG(SYNLoggingLevelError, "Could not create transit directory %@: %@", directory, error);
        }
    }
}

plat::ErrorPtr SYNCloudManager::removeFilesInDirectory(const std::string& directory) const {
    auto names = fileManager_.contentsOfDirectoryAtPath(directory);
    if (!names.ok()) {
        return names.error();
    }
    for (const auto& name : *names) {
        if (name.empty() || name.front() == '.') {
            continue;
        }
        auto error = fileManager_.removeItemAtPath(join(directory, name));
        if (error && !plat::isNoSuchFileError(error)) {
            return error;
        }
    }
    return nullptr;
}

plat::ErrorPtr SYNCloudManager::emptyUploadDirectory() const {
    {
        plat::MutexLock lock(uploadMutex_);
        if (uploadContents_ && uploadContents_->empty()) {
            return nullptr;
        }
        uploadContents_.reset();
    }
    auto error = removeFilesInDirectory(localUploadDirectory());
    if (!error) {
        plat::MutexLock lock(uploadMutex_);
        uploadContents_.emplace();
    }
    return error;
}

void SYNCloudManager::fillingUploadDirectory() const {
    plat::MutexLock lock(uploadMutex_);
    uploadContents_.reset();
}

void SYNCloudManager::puttingInUploadDirectory(const std::string& name) const {
    plat::MutexLock lock(uploadMutex_);
    if (uploadContents_) {
        uploadContents_->insert(name);
    }
}

void SYNCloudManager::removeUploadedFiles(const std::vector<std::string>& paths) const {
    const auto upload = localUploadDirectory();
    for (const auto& path : paths) {
        // A file the cloud file system took (moved into the cloud) is gone
        // already: that is no failure.
        auto error = fileManager_.removeItemAtPath(path);
        const bool gone = !error || plat::isNoSuchFileError(error);
        plat::MutexLock lock(uploadMutex_);
        if (!uploadContents_) {
            continue;
        }
        const auto slash = path.rfind('/');
        if (!gone || slash == std::string::npos || path.compare(0, slash, upload) != 0) {
            uploadContents_.reset();  // not the upload directory's, or still there
        } else {
            uploadContents_->erase(path.substr(slash + 1));
        }
    }
}

void SYNCloudManager::removeFilesAtPaths(const std::vector<std::string>& paths) const {
    for (const auto& path : paths) {
        (void)fileManager_.removeItemAtPath(path);
    }
}

void SYNCloudManager::addTaskQueue(std::vector<SYNTask> tasks, int policy, Completion completion) {
    auto self = shared_from_this();
    if (tasks.empty() && !operationQueue_->isSuspended() && operationQueue_->operationCount() == 0) {
        // A queue without tasks completes without an error as soon as it
        // starts. With nothing before it in the manager's queue, that is its
        // completion on the main thread, later, as the queue would call it:
        // no operation made, handed to a worker and hopping back to main for
        // nothing (half the manager's queues of a merge have no task: an
        // export or download that finds nothing, no file to remove).
        onMain([self, completion = std::move(completion)] {
            if (completion) {
                completion(nullptr);
            }
        });
        return;
    }
    operationQueue_->addOperation(std::make_shared<SYNAsynchronousTaskQueue>(
        std::move(tasks), policy, [self, completion = std::move(completion)](plat::ErrorPtr error) {
            if (completion) {
                completion(error);
            }
        }));
}

// --- Snapshot -----------------------------------------------------------------------

namespace {

std::optional<SYNCloudManager::Names> copyOf(const std::shared_ptr<const SYNCloudManager::Names>& names) {
    return names ? std::optional<SYNCloudManager::Names>(*names) : std::nullopt;
}

std::shared_ptr<const SYNCloudManager::Names> shared(std::optional<SYNCloudManager::Names> names) {
    return names ? std::make_shared<const SYNCloudManager::Names>(std::move(*names)) : nullptr;
}

// The listing's items as entries. Items nothing else holds give their names
// up: the listing made them for this call (no weak reference to an item is
// ever kept), and only the names are kept.
SYNCloudListingEntries listingEntries(const SYNCloudItems& items) {
    SYNCloudListingEntries entries;
    entries.reserve(items.size());
    for (const auto& item : items) {
        const auto* file = dynamic_cast<const SYNCloudFile*>(item.get());
        entries.push_back({item.use_count() == 1 ? item->takeName() : item->name(),
                           item->canContainChildren(), file ? file->size() : 0});
    }
    return entries;
}

}  // namespace

std::optional<SYNCloudManager::Names> SYNCloudManager::snapshotBaselineFilenames() const {
    return copyOf(sharedSnapshot(true));
}
std::optional<SYNCloudManager::Names> SYNCloudManager::snapshotEventFilenames() const {
    return copyOf(sharedSnapshot(false));
}
std::optional<SYNCloudManager::Names> SYNCloudManager::snapshotDataFilenames() const {
    return copyOf(sharedDataSnapshot());
}
void SYNCloudManager::setSnapshotBaselineFilenames(std::optional<Names> names) {
    auto kept = shared(std::move(names));
    plat::MutexLock lock(snapshotMutex_);
    snapshotBaselines_ = std::move(kept);
}
void SYNCloudManager::setSnapshotEventFilenames(std::optional<Names> names) {
    setSharedSnapshotEventFilenames(shared(std::move(names)));
}
void SYNCloudManager::setSnapshotDataFilenames(std::optional<Names> names) {
    auto kept = shared(std::move(names));
    plat::MutexLock lock(snapshotMutex_);
    snapshotData_ = std::move(kept);
}
std::shared_ptr<const SYNCloudManager::Names> SYNCloudManager::sharedSnapshotEventFilenames() const {
    return sharedSnapshot(false);
}
void SYNCloudManager::setSharedSnapshotBaselineFilenames(std::shared_ptr<const Names> names) {
    plat::MutexLock lock(snapshotMutex_);
    snapshotBaselines_ = std::move(names);
}
void SYNCloudManager::setSharedSnapshotDataFilenames(std::shared_ptr<const Names> names) {
    plat::MutexLock lock(snapshotMutex_);
    snapshotData_ = std::move(names);
}
void SYNCloudManager::setSharedSnapshotEventFilenames(std::shared_ptr<const Names> names) {
    plat::MutexLock lock(snapshotMutex_);
    snapshotEvents_ = std::move(names);
}
std::shared_ptr<const SYNCloudManager::Names> SYNCloudManager::sharedSnapshot(bool baselines) const {
    plat::MutexLock lock(snapshotMutex_);
    return baselines ? snapshotBaselines_ : snapshotEvents_;
}
std::shared_ptr<const SYNCloudManager::Names> SYNCloudManager::sharedDataSnapshot() const {
    plat::MutexLock lock(snapshotMutex_);
    return snapshotData_;
}

std::map<std::string, std::string> SYNCloudManager::unusableRemoteFiles() const {
    plat::MutexLock lock(reportMutex_);
    return unusableFiles_;
}

bool SYNCloudManager::reportUnusableRemoteFile(const std::string& path, const std::string& reason) {
    {
        plat::MutexLock lock(reportMutex_);
        auto found = unusableFiles_.find(path);
        if (found != unusableFiles_.end() && found->second == reason) {
            return false;
        }
        if (found == unusableFiles_.end() && unusableFiles_.size() >= MaximumReportedFiles) {
            return false;
        }
        unusableFiles_[path] = reason;
    }
    SYN_LOG(SYNLoggingLevelError, "Skipping cloud file %@: %@", path, reason);
    return true;
}

void SYNCloudManager::clearSnapshot() {
    plat::MutexLock lock(snapshotMutex_);
    snapshotBaselines_.reset();
    snapshotEvents_.reset();
    snapshotData_.reset();
    // The last groupings stay: a grouping depends on its names only, and the
    // next snapshot's listing is brought up to date from it.
}

std::shared_ptr<const SYNCloudManager::Names> SYNCloudManager::snapshotNames(const std::string& directory,
                                                                             bool baselines, bool data,
                                                                             SYNCloudListingEntries& listed) {
    Names names;
    const uint64_t limit = data ? SYNDataFileMaximumSize : SYNEventFileMaximumSize;
    const std::size_t folder = data ? 2 : baselines ? 1 : 0;
    std::vector<char> keptBefore(listed.size(), 0);
    std::vector<char> likeEventFile(listed.size(), 0);
    {
        plat::MutexLock lock(canonicalMutex_);
        // The names this folder's last listing kept passed every check that
        // depends on the name alone (a safe name, named like an event or data
        // file): a name listed again is found there, in name order, and only
        // its kind and size are looked at. Other names take the checks.
        const std::shared_ptr<const Names> earlier = lastKeptNames_[folder];
        if (earlier) {
            auto next = earlier->begin();
            for (std::size_t i = 0; i < listed.size() && next != earlier->end(); ++i) {
                const auto& name = listed[i].name;
                while (next != earlier->end() && *next < name) {
                    ++next;
                }
                if (next != earlier->end() && *next == name) {
                    keptBefore[i] = 1;
                    ++next;
                }
            }
        }
        // Whether each name is named like an event file: the names judged
        // before are looked up, only new ones are parsed. The names of files
        // gone stay in the set until they outnumber the listing's, when it is
        // made anew.
        if (!data) {
            auto& known = canonicalNames_[baselines];
            std::size_t seen = 0;
            for (std::size_t i = 0; i < listed.size(); ++i) {
                const auto& name = listed[i].name;
                if (keptBefore[i]) {
                    likeEventFile[i] = 1;
                    ++seen;
                    continue;
                }
                if (!isSafeRemoteName(name)) {
                    continue;
                }
                if (known.count(name) ||
                    (SYNEventFileSet::isCanonicalFilename(name, baselines) && known.insert(name).second)) {
                    likeEventFile[i] = 1;
                    ++seen;
                }
            }
            if (known.size() > 2 * seen + 64) {
                std::unordered_set<std::string> kept;
                kept.reserve(seen);
                for (std::size_t i = 0; i < listed.size(); ++i) {
                    if (likeEventFile[i]) {
                        kept.insert(listed[i].name);
                    }
                }
                known = std::move(kept);
            }
        }
    }
    // Reported without the lock: the log is the application's.
    for (std::size_t i = 0; i < listed.size(); ++i) {
        auto& entry = listed[i];
        auto& name = entry.name;
        if (!keptBefore[i] && !isSafeRemoteName(name)) {
            SYN_LOG(SYNLoggingLevelWarning, "Unknown file found: %@", name);
            continue;
        }
        if (entry.isDirectory) {
            reportUnusableRemoteFile(join(directory, name), "is a folder, not a file");
        } else if (keptBefore[i] ? false : data ? !SYNEventStore::isDataFilename(name) : !likeEventFile[i]) {
            reportUnusableRemoteFile(join(directory, name),
                                     data ? "is not named like a data file (the checksum of its content)"
                                          : "is not named like an event file");
        } else if (entry.size > limit) {
            reportUnusableRemoteFile(join(directory, name),
                                     "is larger than " + std::to_string(limit) + " bytes");
        } else {
            // Listings come sorted from most file systems: then each name
            // goes at the end.
            names.insert(names.end(), std::move(name));
        }
    }
    auto kept = std::make_shared<const Names>(std::move(names));
    plat::MutexLock lock(canonicalMutex_);
    lastKeptNames_[folder] = kept;
    return kept;
}

void SYNCloudManager::snapshotRemoteFilesWithCompletion(Completion completion) {
    clearSnapshot();
    auto self = shared_from_this();
    enum class Kind { Baselines, Events, Data };
    auto listing = [self](std::string directory, Kind kind,
                          void (SYNCloudManager::*store)(std::shared_ptr<const Names>)) -> SYNTask {
        return [self, directory, kind, store](SYNTaskCompletion next) {
            auto take = [self, directory, kind, store, next = std::move(next)](SYNCloudListingEntries entries,
                                                                               plat::ErrorPtr error) {
                if (!error) {
                    ((*self).*store)(
                        self->snapshotNames(directory, kind == Kind::Baselines, kind == Kind::Data, entries));
                }
                next(error, false);
            };
            auto& fs = *self->cloudFileSystem_;
            if (fs.respondsToMember(Option::EntriesOfDirectoryAtPath)) {
                fs.entriesOfDirectoryAtPath(directory, std::move(take));
                return;
            }
            fs.contentsOfDirectoryAtPath(directory,
                                         [take = std::move(take)](SYNCloudItems items, plat::ErrorPtr error) {
                                             take(listingEntries(items), std::move(error));
                                         });
        };
    };
    std::vector<SYNTask> tasks{
        listing(remoteBaselinesDirectory(), Kind::Baselines,
                &SYNCloudManager::setSharedSnapshotBaselineFilenames),
        listing(remoteEventsDirectory(), Kind::Events, &SYNCloudManager::setSharedSnapshotEventFilenames),
        listing(remoteDataDirectory(), Kind::Data, &SYNCloudManager::setSharedSnapshotDataFilenames)};
    addTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
                 [self, completion = std::move(completion)](plat::ErrorPtr error) {
                     if (error) {
                         self->clearSnapshot();
                     }
                     if (completion) {
                         completion(error);
                     }
                 });
}

// --- Remote structure and registration ---------------------------------------------

void SYNCloudManager::createRemoteDirectoryStructureWithCompletion(Completion completion) {
    createRemoteDirectories({remoteMeshDirectory(), remoteFilesDirectory(), remoteStoresDirectory(),
                             remoteEventsDirectory(), remoteBaselinesDirectory(), remoteDataDirectory()},
                            std::move(completion));
}

void SYNCloudManager::createRemoteDirectories(std::vector<std::string> paths, Completion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Creating remote directories");
    auto fs = cloudFileSystem_;
    std::vector<SYNTask> tasks;
    for (auto& path : paths) {
        tasks.push_back([fs, path](SYNTaskCompletion next) {
            auto create = [fs, path, next](bool exists, plat::ErrorPtr error) {
                if (error || exists) {
                    next(error, false);
                    return;
                }
                fs->createDirectoryAtPath(path, [fs, path, next](plat::ErrorPtr error) {
                    if (!error) {
                        next(nullptr, false);
                        return;
                    }
                    // Another machine may have made the directory between the
                    // question and the creation: a directory there now is as
                    // good as our own; anything else keeps the error.
                    fs->fileExistsAtPath(path, [next, error](bool exists, bool isDirectory, plat::ErrorPtr) {
                        next(exists && isDirectory ? nullptr : error, false);
                    });
                });
            };
            if (fs->respondsToMember(Option::DirectoryExistsAtPath)) {
                fs->directoryExistsAtPath(path, create);
            } else {
                fs->fileExistsAtPath(
                    path, [create](bool exists, bool, plat::ErrorPtr error) { create(exists, error); });
            }
        });
    }
    addTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError, std::move(completion));
}

void SYNCloudManager::checkExistenceOfRegistrationInfoForStoreWithIdentifier(
    const std::string& storeIdentifier, std::function<void(bool, plat::ErrorPtr)> completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Checking existence of registration info");
    if (!SYNIsValidPathComponent(storeIdentifier)) {
        if (completion) {
            onMain([completion] {
                completion(false, SYNMakeError(SYNErrorFileAccessFailed, "Invalid store identifier"));
            });
        }
        return;
    }
    cloudFileSystem_->fileExistsAtPath(join(remoteStoresDirectory(), storeIdentifier),
                                       [completion](bool exists, bool, plat::ErrorPtr error) {
                                           if (completion) {
                                               completion(exists, error);
                                           }
                                       });
}

void SYNCloudManager::setRegistrationInfo(const plat::Dictionary& info, const std::string& storeIdentifier,
                                          Completion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Setting registration info for store in cloud");
    if (auto error = emptyUploadDirectory()) {
        if (completion) {
            completion(error);
        }
        return;
    }
    puttingInUploadDirectory(storeIdentifier);
    auto local = SYNPathByAppendingPathComponent(localUploadDirectory(), storeIdentifier);
    if (!local || plat::PropertyListSerialization::writePropertyListToFile(
                      plat::Value(info), *local, plat::PropertyListSerialization::Format::XML)) {
        fillingUploadDirectory();
        if (completion) {
            completion(SYNMakeError(SYNErrorRegistrationWriteFailed));
        }
        return;
    }
    auto self = shared_from_this();
    const auto remote = join(remoteStoresDirectory(), storeIdentifier);
    onMain([self, local = *local, remote, completion] {
        self->cloudFileSystem_->uploadLocalFile(local, remote,
                                                [self, local, completion](plat::ErrorPtr error) {
                                                    self->removeUploadedFiles({local});
                                                    if (completion) {
                                                        completion(error);
                                                    }
                                                });
    });
}

// --- Helpers ------------------------------------------------------------------------

std::vector<std::string> SYNCloudManager::sortFilenamesByGlobalCount(std::vector<std::string> names) {
    std::vector<std::pair<int64_t, std::string>> keyed;
    keyed.reserve(names.size());
    for (auto& name : names) {
        keyed.emplace_back(plat::Value(name).longLongValue(), std::move(name));
    }
    std::sort(keyed.begin(), keyed.end());
    names.clear();
    for (auto& [count, name] : keyed) {
        names.push_back(std::move(name));
    }
    return names;
}

std::shared_ptr<const SYNCloudManager::GroupedListing> SYNCloudManager::groupedListing(const Names& names,
                                                                                       bool baselines) const {
    // A snapshot asked about through itself: kept and never changed, it is
    // the same listing as long as it is the same object.
    std::shared_ptr<const Names> source;
    {
        plat::MutexLock lock(snapshotMutex_);
        if (snapshotBaselines_.get() == &names) {
            source = snapshotBaselines_;
        } else if (snapshotEvents_.get() == &names) {
            source = snapshotEvents_;
        }
    }
    plat::MutexLock lock(groupingMutex_);
    auto& cached = groupedListings_[baselines ? 1 : 0];
    if (source && cached && cached->source == source) {
        return cached;
    }
    if (cached && cached->updatable && cached.use_count() == 1) {
        // No caller holds it: it may be changed in place.
        const uint64_t previous = cached->version;
        bool changed = false;
        if (updateGroupedListing(*cached, names, changed)) {
            cached->source = source;
            if (changed) {
                cached->previousVersion = previous;
                cached->version = ++groupingVersions_;
            }
            return cached;
        }
    } else if (cached && cached->names == names) {
        // Read only under the lock: callers holding the listing never look.
        cached->source = source;
        return cached;
    }
    auto grouped = std::make_shared<GroupedListing>();
    grouped->source = source;
    grouped->version = ++groupingVersions_;
    grouped->names = names;
    grouped->grouping = SYNEventFileSet::groupFilenames(grouped->names, baselines);
    grouped->listed.reserve(grouped->names.size());
    for (const auto& name : grouped->names) {
        grouped->listed.emplace(name, NoSet);
    }
    const auto& grouping = grouped->grouping;
    for (std::size_t i = 0; i < grouping.sets.size(); ++i) {
        for (const auto& name : grouping.filenames[i]) {
            grouped->listed.find(name)->second = i;
        }
    }
    if (!baselines) {
        grouped->updatable = true;
        grouped->setOfKey.reserve(grouping.sets.size());
        for (std::size_t i = 0; i < grouping.sets.size(); ++i) {
            if (!grouped->setOfKey.emplace(grouping.sets[i]->groupingKey(), i).second) {
                grouped->updatable = false;
                grouped->setOfKey.clear();
                break;
            }
        }
    }
    cached = grouped;
    return grouped;
}

bool SYNCloudManager::updateGroupedListing(GroupedListing& kept, const Names& names, bool& changed) {
    // Both listings are sorted: one walk finds what came and what went.
    // Past a quarter of the listing, grouping anew costs no more.
    const std::size_t limit = names.size() / 4 + 16;
    std::vector<Names::iterator> gone;
    std::vector<const std::string*> came;
    auto old = kept.names.begin();
    auto now = names.begin();
    while (old != kept.names.end() || now != names.end()) {
        // One comparison of each pair of names: most are equal.
        const int order = old == kept.names.end() ? 1 : now == names.end() ? -1 : old->compare(*now);
        if (order < 0) {
            gone.push_back(old++);
        } else if (order > 0) {
            came.push_back(&*now++);
        } else {
            ++old;
            ++now;
        }
        if (gone.size() + came.size() > limit) {
            return false;
        }
    }
    changed = !gone.empty() || !came.empty();
    if (!changed) {
        return true;  // the same grouping, its version and changes as they were
    }
    auto& sets = kept.grouping.sets;
    auto& filenames = kept.grouping.filenames;
    kept.touched.clear();
    // A set is made again from its names, as a grouping makes it: the sets
    // handed out before are never changed.
    auto remake = [&](std::size_t i) {
        auto set = SYNEventFileSet::fromFilename(filenames[i].front(), false);
        for (std::size_t j = 1; set && j < filenames[i].size(); ++j) {
            set->addPartIndexForFile(filenames[i][j]);
        }
        sets[i] = std::move(set);
        kept.touched.push_back(i);
        return sets[i] != nullptr;
    };
    for (auto name : gone) {
        auto entry = kept.listed.find(*name);
        const std::size_t owner = entry->second;
        kept.listed.erase(entry);
        if (owner != NoSet) {
            auto& own = filenames[owner];
            own.erase(std::find(own.begin(), own.end(), *name));
            if (!own.empty()) {
                if (!remake(owner)) {
                    return false;
                }
            } else {
                // The last set takes the place of the one that went.
                const std::size_t last = sets.size() - 1;
                kept.setOfKey.erase(sets[owner]->groupingKey());
                if (owner != last) {
                    sets[owner] = std::move(sets[last]);
                    filenames[owner] = std::move(filenames[last]);
                    kept.setOfKey[sets[owner]->groupingKey()] = owner;
                    kept.touched.push_back(owner);
                    for (const auto& moved : filenames[owner]) {
                        kept.listed.find(moved)->second = owner;
                    }
                }
                sets.pop_back();
                filenames.pop_back();
            }
        }
        kept.names.erase(name);
    }
    for (const std::string* name : came) {
        std::size_t owner = NoSet;
        for (const auto& key : SYNEventFileSet::groupingKeysOfFilename(*name)) {
            auto found = key.empty() ? kept.setOfKey.end() : kept.setOfKey.find(key);
            if (found != kept.setOfKey.end() && sets[found->second]->containsFile(*name)) {
                owner = found->second;
                break;
            }
        }
        if (owner != NoSet) {
            auto& own = filenames[owner];
            own.insert(std::lower_bound(own.begin(), own.end(), *name), *name);
            if (!remake(owner)) {
                return false;
            }
        } else if (auto set = SYNEventFileSet::fromFilename(*name, false); set && set->containsFile(*name)) {
            if (!kept.setOfKey.emplace(set->groupingKey(), sets.size()).second) {
                return false;
            }
            owner = sets.size();
            kept.touched.push_back(sets.size());
            sets.push_back(std::move(set));
            filenames.push_back({*name});
        } else {
            SYN_LOG(SYNLoggingLevelWarning, "Unknown file found: %@", *name);
        }
        auto inserted = kept.names.insert(*name).first;
        kept.listed.emplace(*inserted, owner);
    }
    return true;
}

bool SYNCloudManager::soleBaselineIdentifier(std::optional<std::string>& identifier) const {
    const auto local = localEvents(kBaselineTypes, std::nullopt);
    if (!local || local->sets.size() > 1) {
        return false;
    }
    identifier = local->sets.empty() ? std::nullopt : local->sets.front()->uniqueIdentifier();
    return true;
}

std::vector<SYNEventFileSet::Ptr> SYNCloudManager::eventFileSetsForEventsWithAllowedTypes(
    const std::vector<int16_t>& types, const std::optional<std::string>& storeIdentifier) const {
    std::vector<SYNEventFileSet::Ptr> sets;
    if (auto local = localEvents(types, storeIdentifier)) {
        sets.reserve(local->sets.size());
        for (const auto& set : local->sets) {
            sets.push_back(std::make_shared<SYNEventFileSet>(*set));
        }
    }
    return sets;
}

void SYNCloudManager::SaveLog::record(const plat::Notification& notification) {
    using plat::coredata::ManagedObject;
    // Every save of the process passes here, the event store's imports and
    // the application store's merges with thousands of objects among them:
    // each object is looked at by its entity first, and only the events and
    // revisions are asked for their IDs.
    constexpr std::string_view eventEntity(SYNStoreModificationEventEntityName);
    constexpr std::string_view revisionEntity(SYNEventRevisionEntityName);
    // A context whose model has no events (the application store's, with
    // thousands of objects in a merge) changes none: its objects are not
    // looked at. (The notification is posted by contexts only.)
    if (const auto* saving =
            static_cast<const plat::coredata::ManagedObjectContext*>(notification.object.get())) {
        const auto coordinator = saving->persistentStoreCoordinator();
        if (coordinator && coordinator->managedObjectModel() &&
            !coordinator->managedObjectModel()->entityNamed(eventEntity)) {
            return;
        }
    }
    auto change = std::make_shared<SavedChange>();
    // The events of the context the manager reads, to be read as the save
    // left them (null for a deleted one).
    const void* saving = notification.object.get();
    const bool readEvents = saving && saving == readFor.load(std::memory_order_acquire);
    std::vector<const ManagedObject*> savedEvents;
    for (const char* key : {plat::coredata::InsertedObjectsKey, plat::coredata::UpdatedObjectsKey,
                            plat::coredata::DeletedObjectsKey}) {
        const bool inserted = key == plat::coredata::InsertedObjectsKey;
        const bool deleted = key == plat::coredata::DeletedObjectsKey;
        const plat::Value* objects = notification.userInfo.find(key);
        if (!objects || !objects->asSet()) {
            change->unknown = true;
            break;
        }
        for (const auto& value : objects->asSet()->values()) {
            const plat::ObjectPtr held = value.asObject();
            const ManagedObject* object = managedObjectIn(held.get());
            const auto* entity = object ? object->entity() : nullptr;
            if (!entity) {
                change->unknown = true;
                break;
            }
            const std::string& name = entity->name();
            const bool isEvent = name == eventEntity;
            if (!isEvent && name != revisionEntity) {
                continue;
            }
            auto id = object->objectID();
            if (!id) {
                change->unknown = true;
                break;
            }
            // A temporary ID is a child context's insert, which reached no
            // store: its parent's save names it again.
            if (id->isTemporaryID()) {
                continue;
            }
            // A revision is looked at for the events whose own revision it
            // is. A new one has none but those that took it as theirs, whose
            // rows changed (the relationship is kept one to one both ways):
            // this save or a later one names them.
            if (!isEvent && inserted) {
                continue;
            }
            if (isEvent && readEvents) {
                savedEvents.push_back(deleted ? nullptr : object);
            }
            (isEvent ? change->events : change->revisions).push_back(std::move(id));
        }
    }
    if (!change->unknown && change->events.empty() && change->revisions.empty()) {
        return;  // no event of any store changed
    }
    if (!change->unknown) {
        plat::MutexLock lock(mutex);
        bool named = store.empty();  // every save is logged until the store is known
        for (const auto* ids : {&change->events, &change->revisions}) {
            for (const auto& id : *ids) {
                named = named || id->storeIdentifier() == store;
            }
        }
        if (!named) {
            return;  // another event store's save
        }
    }
    if (change->unknown || change->events.size() + change->revisions.size() > MaximumRecordedObjects) {
        change = std::make_shared<SavedChange>();
        change->unknown = true;
    } else if (readEvents && change->revisions.empty() && savedEvents.size() <= MaximumSavedEventsRead) {
        // A root context's save left each saved object as its row: an update
        // carries the version it read, so no other save moved the row since.
        // An event whose revision is a fault is left to be read from the
        // store (no fault is fired here).
        change->context = saving;
        change->saved.reserve(savedEvents.size());
        for (std::size_t i = 0; i < savedEvents.size(); ++i) {
            SavedEvent& saved = change->saved.emplace_back();
            saved.key = change->events[i]->primaryKey();
            const ManagedObject* event = savedEvents[i];
            if (!event) {
                saved.gone = true;
                continue;
            }
            saved.set = SYNEventFileSet::fromLoadedStoreModificationEvent(*event, saved.type);
        }
    }
    plat::MutexLock lock(mutex);
    ++generation;
    logged += change->events.size() + change->revisions.size();
    changes.push_back(std::move(change));
    while (changes.size() > KeptSaves || (logged > MaximumLoggedObjects && changes.size() > 1)) {
        logged -= changes.front()->events.size() + changes.front()->revisions.size();
        changes.pop_front();
    }
}

std::optional<std::vector<std::shared_ptr<const SYNCloudManager::SavedChange>>>
SYNCloudManager::SaveLog::changesSince(uint64_t since, uint64_t& now) {
    plat::MutexLock lock(mutex);
    now = generation;
    if (since > generation || generation - since > changes.size()) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<const SavedChange>> found(
        changes.end() - static_cast<std::ptrdiff_t>(generation - since), changes.end());
    for (const auto& change : found) {
        if (change->unknown) {
            return std::nullopt;
        }
    }
    return found;
}

std::shared_ptr<const SYNCloudManager::LocalEvents> SYNCloudManager::updatedLocalEvents(
    const std::shared_ptr<const LocalEvents>& events,
    const std::vector<std::shared_ptr<const SavedChange>>& changes, uint64_t from, uint64_t to,
    const std::vector<std::shared_ptr<const SavedChange>>& wider, uint64_t widerFrom,
    plat::coredata::ManagedObjectContext& context, const std::vector<int16_t>& types,
    const std::optional<std::string>& storeIdentifier, std::size_t readAll) const {
    using plat::Value;
    const LocalEvents& kept = *events;
    const auto stores = context.persistentStoreCoordinator()->persistentStores();
    if (!kept.updatable() || stores.size() != 1) {
        return nullptr;  // the fetch's order is then not the order of keys
    }
    // The events and revisions of this store that the saves touched; saves
    // of other stores' contexts made before the log knew its store are in
    // it too.
    const std::string& store = stores.front()->identifier();
    auto ofThisStore = [&](const plat::coredata::ManagedObjectIDPtr& id) {
        return id->storeIdentifier() == store;
    };
    if (std::none_of(changes.begin(), changes.end(), [&](const auto& change) {
            return std::any_of(change->events.begin(), change->events.end(), ofThisStore) ||
                   std::any_of(change->revisions.begin(), change->revisions.end(), ofThisStore);
        })) {
        return events;  // only other stores' events changed
    }
    std::shared_ptr<const TouchedEvents> touched;
    {
        // A read across more saves serves too: an event read again that
        // the kept sets already held as it is comes back the same.
        plat::MutexLock lock(localEventsMutex_);
        if (touchedRead_.from <= from && touchedRead_.to == to && touchedRead_.read &&
            touchedRead_.context.lock().get() == &context) {
            touched = touchedRead_.read;
        }
    }
    if (!touched) {
        std::unordered_set<int64_t> eventKeys;
        std::unordered_set<int64_t> revisionKeys;
        plat::Array touchedEvents;
        std::vector<int64_t> touchedKeys;  // of touchedEvents, in their order
        std::vector<plat::coredata::ManagedObjectIDPtr> revisions;
        const std::vector<std::shared_ptr<const SavedChange>>* used = nullptr;
        auto collect = [&](const std::vector<std::shared_ptr<const SavedChange>>& saves) {
            used = &saves;
            eventKeys.clear();
            revisionKeys.clear();
            touchedEvents.clear();
            touchedKeys.clear();
            revisions.clear();
            for (const auto& change : saves) {
                for (const auto& id : change->events) {
                    if (ofThisStore(id) && eventKeys.insert(id->primaryKey()).second) {
                        touchedEvents.emplace_back(plat::ObjectPtr(id));
                        touchedKeys.push_back(id->primaryKey());
                    }
                }
                for (const auto& id : change->revisions) {
                    if (ofThisStore(id) && revisionKeys.insert(id->primaryKey()).second) {
                        revisions.push_back(id);
                    }
                }
            }
        };
        // Past a quarter of the events a read of them all goes through,
        // reading them all costs no more.
        const std::size_t most = readAll / 4 + 64;
        // The saves since the oldest question kept are read for every
        // question that follows them, unless that is too much to read.
        collect(wider);
        if (touchedEvents.size() + revisions.size() > most) {
            collect(changes);
            widerFrom = from;
            if (touchedEvents.size() + revisions.size() > most) {
                return nullptr;
            }
        }
        // Each touched event as the store holds it now (none when deleted),
        // and every event of a touched revision: its set carries the
        // revision. A save that adds an event adds its revision too, and an
        // event read names its own revision (one event per revision: the
        // relationship is one to one both ways, so handing a revision to
        // another event touches the one that held it): only revisions no
        // event read names are looked up by revision. Two lists joined by
        // OR cost SQLite a temporary index each, several times the look-ups.
        auto read = std::make_shared<TouchedEvents>();
        std::unordered_set<int64_t> readKeys;         // events taken, once each
        std::unordered_set<int64_t> revisionsOfRead;  // the revisions they name
        // Events this context saved are taken as its save left them, when
        // every save of this store's events and revisions read again was
        // this context's own and none touched a revision: each touched event
        // is then as the last save naming it left it, which is what the
        // store holds now. Only the others are read.
        if (revisions.empty() && std::all_of(used->begin(), used->end(), [&](const auto& change) {
                return change->context == &context ||
                       std::none_of(change->events.begin(), change->events.end(), ofThisStore);
            })) {
            std::unordered_map<int64_t, const SavedEvent*> last;
            for (const auto& change : *used) {
                if (change->context != &context) {
                    continue;  // no event of this store
                }
                for (std::size_t i = 0; i < change->events.size(); ++i) {
                    if (!ofThisStore(change->events[i])) {
                        continue;
                    }
                    const SavedEvent& saved = change->saved[i];
                    if (saved.gone || saved.set) {
                        last[saved.key] = &saved;
                    } else {
                        last.erase(saved.key);
                    }
                }
            }
            if (!last.empty()) {
                plat::Array unread;
                for (std::size_t i = 0; i < touchedKeys.size(); ++i) {
                    const auto found = last.find(touchedKeys[i]);
                    if (found == last.end()) {
                        unread.push_back(std::move(touchedEvents[i]));
                        continue;
                    }
                    readKeys.insert(found->first);
                    if (const SavedEvent& saved = *found->second; !saved.gone) {
                        TouchedEvents::Event entry;
                        entry.key = saved.key;
                        entry.type = saved.type;
                        entry.set = saved.set;
                        entry.store = saved.set->persistentStoreIdentifier();
                        read->events.push_back(std::move(entry));
                    }
                }
                touchedEvents = std::move(unread);
            }
        }
        read->looked = std::move(eventKeys);
        auto take = [&](plat::coredata::PredicatePtr predicate) {
            plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
            request.predicate = std::move(predicate);
            auto found = context.executeFetchRequest(request);
            if (!found.ok()) {
                return false;
            }
            read->events.reserve(read->events.size() + found->size());
            // Each event's set reads its own revision.
            loadOwnRevisions(*found, context);
            for (const auto& event : *found) {
                const auto id = event->objectID();
                if (id->isTemporaryID()) {
                    return false;
                }
                read->looked.insert(id->primaryKey());
                if (!readKeys.insert(id->primaryKey()).second) {
                    continue;  // read by its key and found by its revision
                }
                TouchedEvents::Event entry;
                entry.key = id->primaryKey();
                entry.type = SYNStoreModificationEvent::type(*event);
                if (const auto revision = event->objectForKey("eventRevision")) {
                    if (const auto revisionID = revision->objectID(); !revisionID->isTemporaryID()) {
                        revisionsOfRead.insert(revisionID->primaryKey());
                    }
                }
                // The set holds the store of the event's own revision (none
                // without one): read once, for both.
                entry.set = SYNEventFileSet::fromStoreModificationEvent(*event);
                entry.store = entry.set->persistentStoreIdentifier();
                read->events.push_back(std::move(entry));
            }
            return true;
        };
        if (!touchedEvents.empty() &&
            !take(plat::coredata::Predicate::selfIn(Value(std::move(touchedEvents))))) {
            return nullptr;
        }
        plat::Array unnamed;
        for (const auto& id : revisions) {
            if (!revisionsOfRead.count(id->primaryKey())) {
                unnamed.emplace_back(plat::ObjectPtr(id));
            }
        }
        if (!unnamed.empty() &&
            !take(plat::coredata::Predicate::in("eventRevision", Value(std::move(unnamed))))) {
            return nullptr;
        }
        std::sort(read->events.begin(), read->events.end(),
                  [](const auto& a, const auto& b) { return a.key < b.key; });
        touched = read;
        plat::MutexLock lock(localEventsMutex_);
        touchedRead_ = {context.shared_from_this(), widerFrom, to, std::move(read)};
    }
    const auto& looked = touched->looked;
    // Kept as the full fetch would keep them: of the types, of the store.
    std::vector<std::pair<int64_t, SYNEventFileSet::Ptr>> came;
    for (const auto& event : touched->events) {
        if (std::find(types.begin(), types.end(), event.type) == types.end()) {
            continue;
        }
        if (storeIdentifier && event.store != *storeIdentifier) {
            continue;
        }
        came.emplace_back(event.key, event.set);
    }

    // The kept sets of untouched events and the touched ones read again, in
    // key order, as a fetch of all of them lists them.
    std::vector<SYNEventFileSet::Ptr> sets;
    std::vector<int64_t> keys;
    std::vector<SYNEventFileSet::Ptr> removed;
    sets.reserve(kept.sets.size() + came.size());
    keys.reserve(kept.sets.size() + came.size());
    auto next = came.begin();
    for (std::size_t i = 0; i <= kept.sets.size(); ++i) {
        const bool end = i == kept.sets.size();
        for (; next != came.end() && (end || next->first < kept.keys[i]); ++next) {
            keys.push_back(next->first);
            sets.push_back(next->second);
        }
        if (end) {
            break;
        }
        if (looked.count(kept.keys[i])) {
            removed.push_back(kept.sets[i]);
        } else {
            keys.push_back(kept.keys[i]);
            sets.push_back(kept.sets[i]);
        }
    }
    auto updated = std::make_shared<LocalEvents>(std::move(sets), std::move(keys));
    updated->previous = kept.identity;
    updated->removed = std::move(removed);
    updated->added = std::move(came);
    return updated;
}

std::shared_ptr<const SYNCloudManager::LocalEvents> SYNCloudManager::localEvents(
    const std::vector<int16_t>& types, const std::optional<std::string>& storeIdentifier,
    bool readAll) const {
    constexpr std::size_t kKeptQueries = 4;  // a merge asks at most this many different questions
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        SYN_LOG(SYNLoggingLevelError, "Could not retrieve local events");
        return nullptr;
    }
    std::shared_ptr<const LocalEvents> local;
    // From now on the saves of this context log their events as they left
    // them (a child's saves do not reach the store).
    if (!context->parentContext()) {
        saveLog_->readFor.store(context.get(), std::memory_order_release);
    }
    if (const auto coordinator = context->persistentStoreCoordinator()) {
        if (const auto stores = coordinator->persistentStores(); stores.size() == 1) {
            plat::MutexLock lock(saveLog_->mutex);
            saveLog_->store = stores.front()->identifier();
        }
    }
    context->performBlockAndWait([&] {
        // Unsaved events of the context are seen by its fetch, never kept.
        const bool keep = !context->hasChanges();
        auto matches = [&](const LocalEventsEntry& entry) {
            return entry.types == types && entry.storeIdentifier == storeIdentifier;
        };
        // What is kept of this context: the answer to the question, and the
        // events of every store of the types, with the saves since each.
        LocalEventsEntry same, ofEveryStore;
        // The generation of the question of this context kept longest
        // unchanged: saves read again for one question are read from there.
        uint64_t oldest = std::numeric_limits<uint64_t>::max();
        if (keep) {
            plat::MutexLock lock(localEventsMutex_);
            for (const auto& entry : localEvents_) {
                if (entry.context.lock() != context) {
                    continue;
                }
                oldest = std::min(oldest, entry.generation);
                if (matches(entry)) {
                    same = entry;
                } else if (storeIdentifier && entry.types == types && !entry.storeIdentifier) {
                    ofEveryStore = entry;
                }
            }
        }
        // The generation is taken before any read: a save that ends during
        // the read is looked at again by the next look.
        uint64_t generation = 0;
        uint64_t widerFrom = std::min(oldest, same.generation);
        auto wider = same.events && widerFrom < same.generation
                         ? saveLog_->changesSince(widerFrom, generation)
                         : std::nullopt;
        std::optional<std::vector<std::shared_ptr<const SavedChange>>> since;
        if (wider && same.generation <= generation) {
            // The saves after the question's own generation end the list.
            since.emplace(wider->end() - static_cast<std::ptrdiff_t>(generation - same.generation),
                          wider->end());
        } else {
            since = saveLog_->changesSince(same.generation, generation);
            wider = since;
            widerFrom = same.generation;
        }
        if (same.events && since && since->empty()) {
            local = same.events;
            return;
        }
        if (same.events && since) {
            // A read of every event of the types goes through those of every
            // store when the question names one (a few of thousands): as
            // many as the answer for every store kept.
            std::size_t readAll = same.events->sets.size();
            if (ofEveryStore.events) {
                readAll = std::max(readAll, ofEveryStore.events->sets.size());
            }
            local = updatedLocalEvents(same.events, *since, same.generation, generation, *wider, widerFrom,
                                       *context, types, storeIdentifier, readAll);
        }
        if (!local && ofEveryStore.events && ofEveryStore.generation == generation) {
            // The events of one store are among those of every store, told
            // by their own revision's store as the fetch would.
            const auto& every = *ofEveryStore.events;
            std::vector<SYNEventFileSet::Ptr> sets;
            std::vector<int64_t> keys;
            for (std::size_t i = 0; i < every.sets.size(); ++i) {
                if (every.sets[i]->persistentStoreIdentifier() == storeIdentifier) {
                    sets.push_back(every.sets[i]);
                    if (every.updatable()) {
                        keys.push_back(every.keys[i]);
                    }
                }
            }
            local = std::make_shared<const LocalEvents>(std::move(sets), std::move(keys));
        }
        if (!local && !readAll) {
            return;
        }
        if (!local) {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                types, storeIdentifier, *context);
            if (!events.ok()) {
                SYN_LOG(SYNLoggingLevelError, "Could not retrieve local events");
                return;
            }
            loadOwnRevisions(*events, *context);
            std::vector<SYNEventFileSet::Ptr> sets;
            std::vector<int64_t> keys;
            sets.reserve(events->size());
            keys.reserve(events->size());
            bool ordered = true;
            for (const auto& event : *events) {
                sets.push_back(SYNEventFileSet::fromStoreModificationEvent(*event));
                const auto id = event->objectID();
                ordered = ordered && !id->isTemporaryID() && (keys.empty() || keys.back() < id->primaryKey());
                keys.push_back(id->primaryKey());
            }
            if (!ordered) {
                keys.clear();  // kept, but read again in full after a save
            }
            local = std::make_shared<const LocalEvents>(std::move(sets), std::move(keys));
        }
        if (!keep) {
            return;
        }
        plat::MutexLock lock(localEventsMutex_);
        std::erase_if(localEvents_, matches);
        if (localEvents_.size() >= kKeptQueries) {
            localEvents_.erase(localEvents_.begin());
        }
        localEvents_.push_back({types, storeIdentifier, generation, context, local});
    });
    return local;
}

bool SYNCloudManager::eventExistsForFileSet(const SYNEventFileSet& set) const {
    bool exists = false;
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        return false;
    }
    context->performBlockAndWait([&] {
        plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
        request.predicate = set.eventFetchPredicate();
        request.fetchLimit = 1;
        auto found = context->executeFetchRequest(request);
        if (!found.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not fetch events: %@", found.error());
            return;
        }
        exists = !found->empty();
    });
    return exists;
}

std::optional<std::vector<bool>> SYNCloudManager::eventsExistAmongKeptEvents(
    const std::vector<const SYNEventFileSet*>& sets) const {
    // A set naming an identifier of its own is matched by the store's read.
    for (const SYNEventFileSet* set : sets) {
        if (set->isBaseline() || !set->persistentStoreIdentifier() || set->uniqueIdentifier()) {
            return std::nullopt;
        }
    }
    // The merge asked for the saves and merges of every store just before
    // downloading these files; kept, and brought up to date by the saves
    // since, that answer is what the store holds now.
    const auto local = localEvents(kEventTypes, std::nullopt, false);
    if (!local) {
        return std::nullopt;
    }
    std::vector<bool> exists(sets.size(), false);
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const SYNEventFileSet& set = *sets[i];
        // The same store, revision and global count, as the read compares.
        exists[i] = local->index.setRepresentingSameEventAs(set, [&set](const SYNEventFileSet& held) {
            return !held.isBaseline() &&
                   held.persistentStoreIdentifier() == set.persistentStoreIdentifier() &&
                   held.revisionNumber() == set.revisionNumber() && held.globalCount() == set.globalCount();
        }) != nullptr;
    }
    return exists;
}

std::optional<std::vector<bool>> SYNCloudManager::eventsExistForFileSets(
    const std::vector<const SYNEventFileSet*>& sets) const {
    if (sets.empty()) {
        return std::vector<bool>();
    }
    if (auto found = eventsExistAmongKeptEvents(sets)) {
        return found;
    }
    return eventsReadForFileSets(sets);
}

std::optional<std::vector<bool>> SYNCloudManager::eventsReadForFileSets(
    const std::vector<const SYNEventFileSet*>& sets) const {
    using plat::coredata::Predicate;
    std::vector<bool> exists(sets.size(), false);
    if (sets.empty()) {
        return exists;
    }
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        return std::nullopt;
    }
    // The sets by store, revision and global count: an event answers a set
    // when all three are the set's (and it is a save's or a merge's, as the
    // fetch asks).
    std::map<std::string, std::set<int64_t>> revisionsOfStores;
    std::map<std::tuple<std::string, int64_t, int64_t>, std::vector<std::size_t>> wanted;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const auto& set = *sets[i];
        const std::string& store = *set.persistentStoreIdentifier();
        revisionsOfStores[store].insert(set.revisionNumber());
        wanted[{store, set.revisionNumber(), set.globalCount()}].push_back(i);
    }
    // The revision records of the stores and numbers first, through their
    // own index, then the events that own them, their type compared here:
    // asked in one query joined to the revisions, SQLite walks every save and
    // merge event through the type index, a cost that grows with the events
    // kept.
    std::vector<plat::coredata::PredicatePtr> stores;
    for (const auto& [store, revisions] : revisionsOfStores) {
        plat::Array numbers;
        for (int64_t revision : revisions) {
            numbers.emplace_back(revision);
        }
        stores.push_back(
            Predicate::andPredicate({Predicate::equal("persistentStoreIdentifier", plat::Value(store)),
                                     Predicate::in("revisionNumber", plat::Value(std::move(numbers)))}));
    }
    bool read = false;
    context->performBlockAndWait([&] {
        plat::coredata::FetchRequest revisionRequest(SYNEventRevisionEntityName);
        revisionRequest.predicate =
            stores.size() == 1 ? stores.front() : Predicate::orPredicate(std::move(stores));
        auto records = context->executeFetchRequest(revisionRequest);
        if (!records.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not fetch events: %@", records.error());
            return;
        }
        read = true;
        if (records->empty()) {
            return;
        }
        plat::Array owners;
        for (const auto& record : *records) {
            owners.emplace_back(plat::ObjectPtr(record));
        }
        plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
        request.predicate = Predicate::in("eventRevision", plat::Value(std::move(owners)));
        auto found = context->executeFetchRequest(request);
        if (!found.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not fetch events: %@", found.error());
            read = false;
            return;
        }
        for (const auto& event : *found) {
            const int16_t type = SYNStoreModificationEvent::type(*event);
            if (type != SYNStoreModificationEventTypeSave && type != SYNStoreModificationEventTypeMerge) {
                continue;
            }
            const auto revision = SYNStoreModificationEvent::revision(*event);
            if (!revision) {
                continue;
            }
            auto it = wanted.find({revision->persistentStoreIdentifier, revision->revisionNumber,
                                   SYNStoreModificationEvent::globalCount(*event)});
            if (it != wanted.end()) {
                for (std::size_t i : it->second) {
                    exists[i] = true;
                }
            }
        }
    });
    if (!read) {
        return std::nullopt;
    }
    return exists;
}

// --- Import -------------------------------------------------------------------------

void SYNCloudManager::importNewRemoteNonBaselineEventsWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring new events from cloud to event store");
    importEventsOrBaselines(false, std::move(progress));
}

void SYNCloudManager::importNewBaselineEventsWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring new baselines from cloud to event store");
    importEventsOrBaselines(true, std::move(progress));
}

void SYNCloudManager::importEventsOrBaselines(bool baselines, Progress progress) {
    auto self = shared_from_this();
    auto downloadedNone = std::make_shared<std::atomic<bool>>(false);
    auto afterDownload = [self, baselines, progress = std::move(progress), downloadedNone](
                             plat::ErrorPtr error, float fraction, bool finished) {
        if (!error && finished && downloadedNone->load()) {
            // The download directory was just emptied and nothing came:
            // there is nothing to list or import.
            if (progress) {
                progress(nullptr, 1.0f, true);
            }
        } else if (error) {
            if (progress) {
                progress(error, fraction, false);
            }
        } else if (!finished) {
            if (progress) {
                progress(nullptr, fraction, false);
            }
        } else {
            self->migrateNewEventsFromTransitCache(baselines, [progress](plat::ErrorPtr error) {
                if (progress) {
                    progress(error, 1.0f, true);
                }
            });
        }
    };
    transferNewFilesToTransitCache(baselines ? remoteBaselinesDirectory() : remoteEventsDirectory(),
                                   sharedSnapshot(baselines), baselines ? kBaselineTypes : kEventTypes,
                                   std::move(afterDownload), std::move(downloadedNone));
}

void SYNCloudManager::transferNewFilesToTransitCache(const std::string& remoteDirectory,
                                                     std::shared_ptr<const Names> available,
                                                     std::vector<int16_t> types, Progress progress,
                                                     std::shared_ptr<std::atomic<bool>> downloadedNone) {
    auto self = shared_from_this();
    filesRequiringRetrieval(
        available ? std::move(available) : std::make_shared<const Names>(), std::move(types),
        [self, remoteDirectory, progress = std::move(progress),
         downloadedNone = std::move(downloadedNone)](std::vector<std::string> names) mutable {
            if (downloadedNone) {
                downloadedNone->store(names.empty());
            }
            // Called once: the progress goes on with the transfer.
            self->transferRemoteFiles(std::move(names), remoteDirectory, std::move(progress));
        });
}

void SYNCloudManager::filesRequiringRetrievalFromAvailableRemoteFiles(
    Names available, std::vector<int16_t> types, std::function<void(std::vector<std::string>)> completion) {
    filesRequiringRetrieval(std::make_shared<const Names>(std::move(available)), std::move(types),
                            std::move(completion));
}

void SYNCloudManager::filesRequiringRetrieval(std::shared_ptr<const Names> available,
                                              std::vector<int16_t> types,
                                              std::function<void(std::vector<std::string>)> completion) {
    auto self = shared_from_this();
    operationQueue_->addOperationWithBlock([self, available = std::move(available), types = std::move(types),
                                            completion = std::move(completion)]() mutable {
        const bool baselines = containsBaselines(types);
        // Events that cannot be read count as not held: their import finds
        // out what the store holds.
        const auto held = self->localEvents(types, std::nullopt);
        const auto listing = self->groupedListing(*available, baselines);
        const auto& remote = listing->grouping;
        // Only the names of complete sets whose event is not here yet;
        // names that form no set are not event files and never copied.
        std::vector<std::string> names;
        auto take = [&](std::size_t i) {
            names.insert(names.end(), remote.filenames[i].begin(), remote.filenames[i].end());
        };
        if (held) {
            for (std::size_t i : *self->completeSetsMissingLocally(*listing, held, baselines)) {
                take(i);
            }
        }
        for (std::size_t i = 0; !held && i < remote.sets.size(); ++i) {
            if (remote.sets[i]->hasAllParts()) {
                take(i);
            }
        }
        auto sorted = sortFilenamesByGlobalCount(std::move(names));
        onMain([completion = std::move(completion), sorted = std::move(sorted)]() mutable {
            completion(std::move(sorted));
        });
    });
}

void SYNCloudManager::transferRemoteFiles(std::vector<std::string> names, const std::string& remoteDirectory,
                                          Progress progress) {
    {
        plat::MutexLock lock(reportMutex_);
        skippedDownloads_.clear();
    }
    if (!downloadDirectoryEmpty_.load()) {
        if (auto error = removeFilesInDirectory(localDownloadDirectory())) {
            if (progress) {
                progress(error, 0.0f, false);
            }
            return;
        }
        downloadDirectoryEmpty_.store(true);
    }
    downloadFiles(std::move(names), remoteDirectory, nullptr, std::move(progress));
}

void SYNCloudManager::downloadFiles(std::vector<std::string> names, const std::string& remoteDirectory,
                                    BatchCompletion batchCompletion, Progress progress) {
    // Refused names are never downloaded: they cannot stay inside the cache.
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !isSafeRemoteName(name); }),
                names.end());
    if (names.empty()) {
        // Nothing to download: no transfer to set up.
        transferFiles(names, remoteDirectory, localDownloadDirectory(), FileTransfer(), std::move(progress));
        return;
    }
    downloadDirectoryEmpty_.store(false);
    auto fs = cloudFileSystem_;
    FileTransfer transfer;
    transfer.what = "Downloading files to transit cache";
    transfer.batched = fs->respondsToMember(Option::DownloadFromPaths);
    transfer.batchSize = fs->respondsToMember(Option::FileDownloadMaximumBatchSize)
                             ? std::max<std::size_t>(1, fs->fileDownloadMaximumBatchSize())
                             : DefaultBatchSize;
    transfer.many = [fs](const auto& remote, const auto& local, Completion done) {
        fs->downloadFromPaths(remote, local, std::move(done));
    };
    // Event and baseline files are only read by the import and then removed,
    // so they may share the cloud file's storage; data files are kept by the
    // event store.
    const bool forReading =
        remoteDirectory != remoteDataDirectory() && fs->respondsToMember(Option::DownloadFromPathForReading);
    transfer.one = [fs, forReading](const std::string& remote, const std::string& local, Completion done) {
        if (forReading) {
            fs->downloadFromPathForReading(remote, local, std::move(done));
        } else {
            fs->downloadFromPath(remote, local, std::move(done));
        }
    };
    std::weak_ptr<SYNCloudManager> weak = shared_from_this();
    transfer.settle = [batchCompletion, weak](const auto& remote, const auto& local, plat::ErrorPtr error,
                                              bool single) -> plat::ErrorPtr {
        if (error && single) {
            // A file the file system refuses by kind or size, or one that
            // vanished since the snapshot, is skipped: the others still come.
            auto reason = plat::folderItemRefusalReason(error);
            auto self = weak.lock();
            if (self && (reason || plat::isNoSuchFileError(error))) {
                self->reportUnusableRemoteFile(remote.front(),
                                               reason.value_or("vanished before its download"));
                plat::MutexLock lock(self->reportMutex_);
                self->skippedDownloads_.insert(remote.front().substr(remote.front().rfind('/') + 1));
                return nullptr;
            }
        }
        if (error) {
            if (single) {
                SYN_LOG(SYNLoggingLevelError, "Failed file download with error: %@", error);
            }
            return error;
        }
        return batchCompletion ? batchCompletion(remote, local) : nullptr;
    };
    transferFiles(names, remoteDirectory, localDownloadDirectory(), std::move(transfer), std::move(progress));
}

void SYNCloudManager::transferFiles(const std::vector<std::string>& names, const std::string& remoteDirectory,
                                    const std::string& localDirectory, FileTransfer transfer,
                                    Progress progress) {
    if (names.empty()) {
        addTaskQueue({}, SYNTaskQueueTerminationPolicyStopOnError,
                     [progress = std::move(progress)](plat::ErrorPtr error) {
                         if (progress) {
                             progress(error, 1.0f, true);
                         }
                     });
        return;
    }
    const std::size_t total = names.size();
    const std::size_t batchSize = std::max<std::size_t>(1, transfer.batchSize);
    auto done = std::make_shared<std::atomic<std::size_t>>(0);
    auto how = std::make_shared<const FileTransfer>(std::move(transfer));
    // Held once and shared by every file's closures and hops: a copy of the
    // block itself would copy whatever its caller captured, each time.
    auto shared = progress ? std::make_shared<const Progress>(std::move(progress)) : nullptr;
    auto advance = [progress = shared, done, total](std::size_t count) {
        const auto now = done->fetch_add(count) + count;
        if (progress) {
            // File systems may complete on any thread; progress is
            // reported on main, before the next task starts there.
            onMain([progress, fraction = static_cast<float>(now) / static_cast<float>(total)] {
                (*progress)(nullptr, fraction, false);
            });
        }
    };
    std::vector<SYNTask> tasks;
    if (!how->batched) {
        // One file at a time: each file is a task of its own, in the order
        // of the names, stopping at the first error, as batches of single
        // transfers ran them (the batch size only groups the log lines).
        tasks.reserve(names.size());
        for (const auto& name : names) {
            tasks.push_back([how, remote = join(remoteDirectory, name), local = join(localDirectory, name),
                             advance](SYNTaskCompletion next) {
                SYN_LOG(SYNLoggingLevelVerbose, "%@: %@", how->what, remote);
                how->one(remote, local,
                         [how, remote, local, advance, next = std::move(next)](plat::ErrorPtr error) {
                             error = how->settle({remote}, {local}, error, true);
                             if (!error) {
                                 advance(1);
                             }
                             next(error, false);
                         });
            });
        }
    }
    for (std::size_t start = 0; how->batched && start < names.size(); start += batchSize) {
        std::vector<std::string> remotePaths, localPaths;
        for (std::size_t i = start; i < std::min(names.size(), start + batchSize); ++i) {
            remotePaths.push_back(join(remoteDirectory, names[i]));
            localPaths.push_back(join(localDirectory, names[i]));
        }
        tasks.push_back([how, remotePaths = std::move(remotePaths), localPaths = std::move(localPaths),
                         advance](SYNTaskCompletion next) {
            SYN_LOG(SYNLoggingLevelVerbose, "%@: %@", how->what, joinLines(remotePaths));
            how->many(remotePaths, localPaths,
                      [how, remotePaths, localPaths, advance, next = std::move(next)](plat::ErrorPtr error) {
                          error = how->settle(remotePaths, localPaths, error, false);
                          if (!error) {
                              advance(remotePaths.size());
                          }
                          next(error, false);
                      });
        });
    }
    addTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
                 [progress = std::move(shared)](plat::ErrorPtr error) {
                     if (progress) {
                         (*progress)(error, 1.0f, true);
                     }
                 });
}

void SYNCloudManager::importNewDataFilesWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring new data files from cloud to event store");
    Names names = snapshotDataFilenames().value_or(Names());
    for (const auto& held : eventStore_->allDataFilenames()) {
        names.erase(held);
    }
    auto self = shared_from_this();
    downloadFiles(
        std::vector<std::string>(names.begin(), names.end()), remoteDataDirectory(),
        [self](const std::vector<std::string>&, const std::vector<std::string>& localPaths) {
            return self->migrateNewDataFiles(localPaths);
        },
        std::move(progress));
}

void SYNCloudManager::transferNewRemoteDataFilesToTransitCacheWithProgress(Progress progress) {
    Names names = snapshotDataFilenames().value_or(Names());
    for (const auto& held : eventStore_->allDataFilenames()) {
        names.erase(held);
    }
    transferRemoteFiles(std::vector<std::string>(names.begin(), names.end()), remoteDataDirectory(),
                        std::move(progress));
}

plat::ErrorPtr SYNCloudManager::migrateNewDataFiles(const std::vector<std::string>& localPaths) {
    for (const auto& path : localPaths) {
        const auto name = path.substr(path.rfind('/') + 1);
        if (!fileManager_.fileExistsAtPath(path)) {
            continue;  // skipped at download
        }
        if (auto problem = SYNEventStore::problemWithDataFile(path)) {
            // Names are checksums: a file whose bytes do not match is not the
            // data file any event refers to.
            reportUnusableRemoteFile(join(remoteDataDirectory(), name), *problem);
            removeFilesAtPaths({path});
            continue;
        }
        SYN_LOG(SYNLoggingLevelVerbose, "Importing data file into event store: %@", name);
        if (!eventStore_->importDataFile(path)) {
            return SYNMakeError(SYNErrorFileAccessFailed, "Could not import data file: " + name);
        }
    }
    return nullptr;
}

void SYNCloudManager::migrateNewEventsFromTransitCache(bool baselines, Completion completion) {
    const auto download = localDownloadDirectory();
    auto listed = fileManager_.contentsOfDirectoryAtPath(download);
    std::vector<std::string> names;
    if (listed.ok()) {
        for (const auto& name : *listed) {
            if (isSafeRemoteName(name)) {
                names.push_back(name);
            }
        }
    }
    uint64_t bytes = 0;
    for (const auto& name : names) {
        std::error_code failed;
        const auto size = std::filesystem::file_size(join(download, name), failed);
        bytes += failed ? 0 : size;
    }
    filesTakenForImport_ += names.size();
    bytesTakenForImport_ += bytes;
    auto sets = SYNEventFileSet::eventFileSetsForFilenames(names, baselines);
    auto migrator = std::make_shared<SYNEventMigrator>(eventStore_, model_);
    auto self = shared_from_this();
    const auto remoteDirectory = baselines ? remoteBaselinesDirectory() : remoteEventsDirectory();
    // Sets the batch imported; the tasks that follow it pass them by. Read
    // and written by tasks, on the main thread.
    auto imported = std::make_shared<std::vector<bool>>(sets.size(), false);
    std::vector<SYNTask> tasks;
    if (!baselines) {
        tasks.push_back(batchImportTask(sets, migrator, imported));
    }
    for (std::size_t index = 0; index < sets.size(); ++index) {
        const auto& set = sets[index];
        tasks.push_back([self, set, index, imported, migrator, download, baselines,
                         remoteDirectory](SYNTaskCompletion next) {
            if ((*imported)[index]) {
                next(nullptr, false);
                return;
            }
            const bool exists = self->eventExistsForFileSet(*set);
            std::vector<std::string> paths;
            for (const auto& name : set->preferredFilenamesForExistingParts()) {
                paths.push_back(join(download, name));
            }
            bool partRefused = false;
            {
                plat::MutexLock lock(self->reportMutex_);
                for (const auto& skipped : self->skippedDownloads_) {
                    partRefused = partRefused || set->containsFile(skipped);
                }
            }
            if (!set->hasAllParts() && partRefused) {
                // A part could not be taken (reported at its download): the
                // rest of the event waits until the whole of it can be.
                self->removeFilesAtPaths(paths);
                next(nullptr, false);
                return;
            }
            if (baselines && !set->hasAllParts()) {
                self->removeFilesAtPaths(paths);
                next(SYNMakeError(
                         SYNErrorIncompleteBaseline,
                         "Some parts of a multipart baseline are missing. Probably still downloading."),
                     false);
                return;
            }
            if (!set->hasAllParts() || (exists && set->eventShouldBeUnique())) {
                SYN_LOG(SYNLoggingLevelVerbose,
                        "Skipping import of files due to incompleteness or event already existing: %@",
                        set->description());
                self->removeFilesAtPaths(paths);
                next(nullptr, false);
                return;
            }
            onMain([self, set, migrator, paths, remoteDirectory, next = std::move(next)]() mutable {
                SYN_LOG(SYNLoggingLevelVerbose, "Migrating event in to event store from files: %@",
                        set->description());
                migrator->migrateEventInFromFiles(
                    paths, [self, set, paths, remoteDirectory, next = std::move(next)](
                               plat::ErrorPtr error, plat::coredata::ManagedObjectIDPtr) {
                        self->removeFilesAtPaths(paths);
                        if (SYNErrorHasCode(error, SYNErrorDamagedFile)) {
                            // Reported and skipped: the merge goes on without it.
                            const plat::Value* what = error->userInfo().find(plat::LocalizedDescriptionKey);
                            const std::string why =
                                what && what->asString() ? *what->asString() : std::string("is damaged");
                            for (const auto& name : set->preferredFilenamesForExistingParts()) {
                                self->reportUnusableRemoteFile(join(remoteDirectory, name), why);
                            }
                            error = nullptr;
                        }
                        next(error, false);
                    });
            });
        });
    }
    addTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyCompleteAll, std::move(completion));
}

SYNTask SYNCloudManager::batchImportTask(std::vector<SYNEventFileSet::Ptr> sets,
                                         std::shared_ptr<SYNEventMigrator> migrator,
                                         std::shared_ptr<std::vector<bool>> imported) {
    auto self = shared_from_this();
    return [self, sets = std::move(sets), migrator, imported](SYNTaskCompletion next) {
        const auto download = self->localDownloadDirectory();
        std::vector<std::size_t> chosen;
        std::vector<std::string> paths;
        // Two sets naming one event (by store and revision) never share a
        // batch: the second is left to the one-by-one import, which finds
        // the first imported.
        std::set<std::pair<std::string, int64_t>> events;
        std::vector<std::pair<std::size_t, std::string>> candidates;  // index, the set's one file
        std::vector<const SYNEventFileSet*> named;  // candidates whose store is named, asked together
        for (std::size_t index = 0; index < sets.size(); ++index) {
            const auto& set = *sets[index];
            auto names = set.preferredFilenamesForExistingParts();
            if (!set.hasAllParts() || names.size() != 1 || !set.eventShouldBeUnique() ||
                set.revisionNumber() < 0) {
                continue;
            }
            const std::string store =
                set.persistentStoreIdentifier().value_or(set.persistentStorePrefix().value_or(""));
            if (!events.emplace(store, set.revisionNumber()).second) {
                continue;
            }
            candidates.emplace_back(index, std::move(names.front()));
            if (!set.isBaseline() && set.persistentStoreIdentifier()) {
                named.push_back(&set);
            }
        }
        const auto namedExist = self->eventsExistForFileSets(named);
        std::size_t nextNamed = 0;
        for (const auto& [index, name] : candidates) {
            const auto& set = *sets[index];
            bool exists;
            if (nextNamed < named.size() && named[nextNamed] == &set) {
                exists = namedExist ? (*namedExist)[nextNamed] : self->eventExistsForFileSet(set);
                ++nextNamed;
            } else {
                exists = self->eventExistsForFileSet(set);
            }
            if (exists) {
                continue;
            }
            chosen.push_back(index);
            paths.push_back(join(download, name));
        }
        if (chosen.empty()) {
            next(nullptr, false);
            return;
        }
        SYN_LOG(SYNLoggingLevelVerbose, "Migrating %d events in to event store, several per save",
                static_cast<int>(chosen.size()));
        migrator->migrateEventsInFromSingleFiles(
            paths, self->importBatchChangeLimit_,
            [self, chosen = std::move(chosen), paths, imported,
             next = std::move(next)](std::vector<plat::coredata::ManagedObjectIDPtr> ids) {
                std::vector<std::string> done;
                for (std::size_t k = 0; k < chosen.size() && k < ids.size(); ++k) {
                    if (ids[k]) {
                        (*imported)[chosen[k]] = true;
                        done.push_back(paths[k]);
                    }
                }
                self->removeFilesAtPaths(done);
                next(nullptr, false);
            });
    };
}

// --- Export -------------------------------------------------------------------------

void SYNCloudManager::exportNewLocalNonBaselineEventsWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring events from event store to cloud");
    exportEventsOrBaselines(false, std::move(progress));
}

void SYNCloudManager::exportNewLocalBaselineWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring baseline from event store to cloud");
    exportEventsOrBaselines(true, std::move(progress));
}

void SYNCloudManager::exportEventsOrBaselines(bool baselines, Progress progress) {
    const auto types = baselines ? kBaselineTypes : kEventTypes;
    const auto remote = baselines ? remoteBaselinesDirectory() : remoteEventsDirectory();
    const auto snapshot = sharedSnapshot(baselines);
    std::vector<std::optional<int64_t>> rows;
    auto sets = localEventFileSetsMissingFromRemoteCloudFiles(snapshot ? *snapshot : noNames(), types, &rows);
    const bool none = sets.empty();
    auto self = shared_from_this();
    migrateLocalEventsToTransitCache(
        std::move(sets), types,
        [self, remote, baselines, progress = std::move(progress),
         none](plat::ErrorPtr migrationError) mutable {
            if (none && !migrationError) {
                // The upload directory was just emptied and nothing was put
                // in it: there is nothing to list or upload.
                if (progress) {
                    progress(nullptr, 1.0f, true);
                }
                return;
            }
            if (migrationError) {
                if (baselines) {
                    SYN_LOG(SYNLoggingLevelWarning, "Error migrating out baseline: %@", migrationError);
                } else {
                    SYN_LOG(SYNLoggingLevelWarning, "Error migrating out events: %@", migrationError);
                }
            }
            // What did reach the upload directory is still uploaded; a failed
            // migration is then reported in the final call, so that an export
            // that left an event behind never reads as complete.
            self->transferFilesInTransitCacheToRemoteDirectory(
                remote, [progress = std::move(progress), migrationError](plat::ErrorPtr error, float fraction,
                                                                         bool finished) {
                    if (progress) {
                        progress(finished && !error ? migrationError : error, fraction, finished);
                    }
                });
        },
        std::move(rows));
}

std::vector<SYNEventFileSet::Ptr> SYNCloudManager::localEventFileSetsMissingFromRemoteCloudFiles(
    const Names& remoteNames, const std::vector<int16_t>& types,
    std::vector<std::optional<int64_t>>* rows) const {
    // Events are published by the store that made them. A baseline is
    // published by every store that holds it: a consolidated baseline is
    // credited to one of its inputs, and the store that consolidated it has
    // already removed the inputs' files as outdated, so nobody else would.
    const bool baselines = containsBaselines(types);
    const auto local =
        localEvents(types, baselines ? std::nullopt : eventStore_->persistentStoreIdentifier());
    if (!local) {
        return {};
    }
    std::vector<int64_t> keys;
    auto missing = localSetsMissingRemotely(*groupedListing(remoteNames, baselines), local, baselines, &keys);
    if (rows) {
        // Without keys the look numbered the sets in the fetch's order.
        rows->clear();
        for (const int64_t key : keys) {
            rows->push_back(local->updatable() ? std::optional<int64_t>(key) : std::nullopt);
        }
    }
    for (auto& set : missing) {
        // A copy: the local sets are shared with later looks, and the export
        // records the parts it made in the set.
        set = std::make_shared<SYNEventFileSet>(*set);
    }
    return missing;
}

bool SYNCloudManager::followListing(RemoteKeys& kept, const GroupedListing& listing,
                                    std::vector<std::size_t>& touched,
                                    std::unordered_set<EventKey, EventKeyHash>& changed) {
    const auto& sets = listing.grouping.sets;
    touched.clear();
    changed.clear();
    if (kept.version != 0 && kept.version == listing.version) {
        return true;
    }
    if (kept.version == 0 || listing.previousVersion == 0 || kept.version != listing.previousVersion) {
        kept.version = listing.version;
        kept.keys.clear();
        kept.ofKey.clear();
        kept.keys.reserve(sets.size());
        kept.ofKey.reserve(sets.size());
        for (std::size_t i = 0; i < sets.size(); ++i) {
            kept.keys.push_back(SYNEventFileSetIndex::keyOf(*sets[i]));
            kept.ofKey[kept.keys.back()].push_back(i);
        }
        return false;
    }
    std::set<std::size_t> indexes(listing.touched.begin(), listing.touched.end());
    for (std::size_t i = sets.size(); i < kept.keys.size(); ++i) {
        indexes.insert(i);  // the sets past the new end are gone
    }
    const std::size_t before = kept.keys.size();
    kept.keys.resize(sets.size());
    for (std::size_t i : indexes) {
        if (i < before) {
            const EventKey old = kept.keys[i];
            auto found = kept.ofKey.find(old);
            auto& of = found->second;
            of.erase(std::find(of.begin(), of.end(), i));
            if (of.empty()) {
                kept.ofKey.erase(found);
            }
            changed.insert(old);
        }
        if (i < sets.size()) {
            const EventKey key = SYNEventFileSetIndex::keyOf(*sets[i]);
            kept.keys[i] = key;
            kept.ofKey[key].push_back(i);
            changed.insert(key);
        }
    }
    touched.assign(indexes.begin(), indexes.end());
    kept.version = listing.version;
    return true;
}

std::vector<SYNEventFileSet::Ptr> SYNCloudManager::localSetsMissingRemotely(
    const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local, bool baselines,
    std::vector<int64_t>* rows) const {
    plat::MutexLock lock(exportMutex_);
    return updatedExportLook(exportLooks_[baselines ? 1 : 0], listing, local, rows);
}

std::vector<SYNEventFileSet::Ptr> SYNCloudManager::updatedExportLook(
    ExportLook& look, const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local,
    std::vector<int64_t>* rows) {
    const auto& remoteSets = listing.grouping.sets;
    // Whether a complete remote set represents the local set's event.
    auto present = [&](const EventKey& key, const SYNEventFileSet& set) {
        auto found = look.remote.ofKey.find(key);
        if (found == look.remote.ofKey.end()) {
            return false;
        }
        for (std::size_t i : found->second) {
            if (remoteSets[i]->hasAllParts() && remoteSets[i]->representsSameEventAsEventFileSet(set)) {
                return true;
            }
        }
        return false;
    };
    auto lookAt = [&](const EventKey& key, int64_t row, const SYNEventFileSet::Ptr& set) {
        if (!present(key, *set)) {
            look.missing[set.get()] = {row, set};
        } else {
            look.missing.erase(set.get());
        }
    };
    const bool localFollows = follows(local, look.local);
    std::vector<std::size_t> touched;
    // The keys whose sets changed on either side: only the local sets of
    // those keys can be found missing, or found, anew.
    std::unordered_set<EventKey, EventKeyHash> changed;
    if (followListing(look.remote, listing, touched, changed) && localFollows) {
        if (look.local != local) {
            for (const auto& set : local->removed) {
                const EventKey key = SYNEventFileSetIndex::keyOf(*set);
                auto& sets = look.localOfKey[key];
                std::erase_if(sets, [&](const auto& entry) { return entry.second == set; });
                if (sets.empty()) {
                    look.localOfKey.erase(key);
                }
                look.missing.erase(set.get());
            }
            for (const auto& entry : local->added) {
                const EventKey key = SYNEventFileSetIndex::keyOf(*entry.second);
                look.localOfKey[key].push_back(entry);
                lookAt(key, entry.first, entry.second);
            }
        }
        for (const EventKey& key : changed) {
            auto found = look.localOfKey.find(key);
            if (found != look.localOfKey.end()) {
                for (const auto& [row, set] : found->second) {
                    lookAt(key, row, set);
                }
            }
        }
    } else {
        look.localOfKey.clear();
        look.missing.clear();
        look.localOfKey.reserve(local->sets.size());
        for (std::size_t i = 0; i < local->sets.size(); ++i) {
            // Without keys, the fetch's order stands in for them.
            const int64_t row = local->updatable() ? local->keys[i] : static_cast<int64_t>(i);
            const EventKey key = SYNEventFileSetIndex::keyOf(*local->sets[i]);
            look.localOfKey[key].emplace_back(row, local->sets[i]);
            lookAt(key, row, local->sets[i]);
        }
    }
    look.local = local;
    // In the fetch's order (by key) within a global count.
    std::vector<std::pair<int64_t, SYNEventFileSet::Ptr>> found;
    found.reserve(look.missing.size());
    for (const auto& [raw, entry] : look.missing) {
        found.push_back(entry);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.second->globalCount() != b.second->globalCount()
                   ? a.second->globalCount() < b.second->globalCount()
                   : a.first < b.first;
    });
    std::vector<SYNEventFileSet::Ptr> missing;
    missing.reserve(found.size());
    for (auto& entry : found) {
        if (rows) {
            rows->push_back(entry.first);
        }
        missing.push_back(std::move(entry.second));
    }
    return missing;
}

void SYNCloudManager::migrateLocalEventsToTransitCache(std::vector<SYNEventFileSet::Ptr> sets,
                                                       std::vector<int16_t> types, Completion completion,
                                                       std::vector<std::optional<int64_t>> rows) {
    if (auto error = emptyUploadDirectory()) {
        if (completion) {
            completion(error);
        }
        return;
    }
    if (sets.empty()) {
        addTaskQueue({}, SYNTaskQueueTerminationPolicyCompleteAll, std::move(completion));
        return;
    }
    auto migrator = std::make_shared<SYNEventMigrator>(eventStore_, model_);
    auto self = shared_from_this();
    std::vector<SYNTask> tasks;
    tasks.reserve(sets.size());
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const auto& set = sets[i];
        const std::optional<int64_t> row = i < rows.size() ? rows[i] : std::nullopt;
        tasks.push_back([self, set, migrator, types, row](SYNTaskCompletion next) {
            auto moved = [self, set, next = std::move(next)](plat::ErrorPtr error,
                                                             std::vector<std::string> paths) {
                if (error) {
                    // Whatever the export left behind is not uploaded.
                    self->removeFilesAtPaths(paths);
                    next(error, false);
                    return;
                }
                next(self->moveFilesToUploadDirectory(paths, *set), false);
            };
            onMain([set, migrator, types, moved = std::move(moved), row]() mutable {
                if (set->isBaseline()) {
                    migrator->migrateLocalBaselineToTemporaryFiles(
                        set->uniqueIdentifier().value_or(""), set->globalCount(),
                        set->persistentStorePrefix().value_or(""), std::move(moved));
                } else {
                    migrator->migrateLocalEventToTemporaryFilesForRevision(set->revisionNumber(), types,
                                                                           std::move(moved), row);
                }
            });
        });
    }
    addTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyCompleteAll, std::move(completion));
}

plat::ErrorPtr SYNCloudManager::moveFilesToUploadDirectory(const std::vector<std::string>& paths,
                                                           SYNEventFileSet& set) const {
    set.setTotalNumberOfParts(paths.size());
    const auto names = set.allPreferredFilenames();
    std::vector<std::string> moved;
    for (std::size_t i = 0; i < std::min(paths.size(), names.size()); ++i) {
        const auto destination = join(localUploadDirectory(), names[i]);
        puttingInUploadDirectory(names[i]);
        if (auto error = fileManager_.moveItemAtPath(paths[i], destination)) {
            // A set is uploaded whole or not at all.
            fillingUploadDirectory();
            removeFilesAtPaths(moved);
            return error;
        }
        moved.push_back(destination);
    }
    return nullptr;
}

plat::ErrorPtr SYNCloudManager::migrateNewLocalDataFilesToTransitCache(std::size_t* exported) const {
    if (auto error = emptyUploadDirectory()) {
        return error;
    }
    auto names = eventStore_->previouslyReferencedDataFilenames();
    const auto remoteNames = sharedDataSnapshot();
    for (const auto& remote : remoteNames ? *remoteNames : noNames()) {
        names.erase(remote);
    }
    if (exported) {
        *exported = names.size();
    }
    for (const auto& name : names) {
        puttingInUploadDirectory(name);
        if (!eventStore_->exportDataFile(name, localUploadDirectory())) {
            fillingUploadDirectory();
            return SYNMakeError(SYNErrorFileAccessFailed, "Could not export data file: " + name);
        }
    }
    return nullptr;
}

void SYNCloudManager::exportDataFilesWithProgress(Progress progress) {
    SYN_LOG(SYNLoggingLevelTrace, "Transferring data files from event store to cloud");
    std::size_t exported = 0;
    if (auto error = migrateNewLocalDataFilesToTransitCache(&exported)) {
        if (progress) {
            progress(error, 0.0f, false);
        }
        return;
    }
    if (exported == 0) {
        // The upload directory was just emptied and nothing was put in it:
        // finished, reported later as a transfer's end is (after the work
        // queued before it, like every call that finds nothing to do).
        addTaskQueue({}, SYNTaskQueueTerminationPolicyStopOnError,
                     [progress = std::move(progress)](plat::ErrorPtr error) {
                         if (progress) {
                             progress(error, 1.0f, true);
                         }
                     });
        return;
    }
    transferFilesInTransitCacheToRemoteDirectory(remoteDataDirectory(), std::move(progress));
}

namespace {

// Any machine holding the current baseline uploads it when the cloud lacks
// it, so two may do so at once; the file is named after the baseline itself,
// so finding it already there means it is uploaded.
plat::ErrorPtr uploadErrorUnlessAlreadyThere(const plat::ErrorPtr& error, bool baselines) {
    if (error && baselines && error->domain() == plat::CocoaErrorDomain &&
        error->code() == plat::FileWriteFileExistsError) {
        return nullptr;
    }
    return error;
}

}  // namespace

void SYNCloudManager::transferFilesInTransitCacheToRemoteDirectory(const std::string& remoteDirectory,
                                                                   Progress progress) {
    const bool baselines = remoteDirectory == remoteBaselinesDirectory();
    const auto upload = localUploadDirectory();
    std::optional<std::set<std::string>> known;
    {
        plat::MutexLock lock(uploadMutex_);
        known = uploadContents_;
    }
    auto listed =
        known ? plat::Result<std::vector<std::string>>(std::vector<std::string>(known->begin(), known->end()))
              : fileManager_.contentsOfDirectoryAtPath(upload);
    std::vector<std::string> names;
    if (listed.ok()) {
        for (const auto& name : *listed) {
            if (!name.empty() && name.front() != '.') {
                names.push_back(name);
            }
        }
    }
    names = sortFilenamesByGlobalCount(std::move(names));
    auto fs = cloudFileSystem_;
    auto self = shared_from_this();
    FileTransfer transfer;
    transfer.what = "Uploading files to remote path";
    transfer.batched = fs->respondsToMember(Option::UploadLocalFiles);
    transfer.batchSize = fs->respondsToMember(Option::FileUploadMaximumBatchSize)
                             ? std::max<std::size_t>(1, fs->fileUploadMaximumBatchSize())
                             : DefaultBatchSize;
    transfer.many = [fs](const auto& remote, const auto& local, Completion done) {
        fs->uploadLocalFiles(local, remote, std::move(done));
    };
    // The local file is removed once uploaded, whatever became of it: the
    // file system may take it instead of a copy.
    const bool moving = fs->respondsToMember(Option::MoveLocalFile);
    transfer.one = [fs, moving](const std::string& remote, const std::string& local, Completion done) {
        if (moving) {
            fs->moveLocalFile(local, remote, std::move(done));
        } else {
            fs->uploadLocalFile(local, remote, std::move(done));
        }
    };
    transfer.settle = [self, baselines](const auto&, const auto& local, plat::ErrorPtr error,
                                        bool single) -> plat::ErrorPtr {
        self->removeUploadedFiles(local);
        error = uploadErrorUnlessAlreadyThere(error, baselines);
        if (error && single) {
            SYN_LOG(SYNLoggingLevelError, "Failed file upload with error: %@", error);
        } else if (error) {
            SYN_LOG(SYNLoggingLevelError, "Failed file uploads with error: %@", error);
        }
        return error;
    };
    transferFiles(names, remoteDirectory, upload, std::move(transfer), std::move(progress));
}

// --- Removal ------------------------------------------------------------------------

namespace {

// A file another machine removed first (it was outdated there too) is
// removed. A batch removal reports for all its paths, so only the removal of
// one path is judged this way.
plat::ErrorPtr removalErrorUnlessGone(const plat::ErrorPtr& error) {
    return plat::isNoSuchFileError(error) ? nullptr : error;
}

}  // namespace

std::vector<SYNTask> SYNCloudManager::tasksForPathsToRemove(std::vector<std::string> paths) {
    auto fs = cloudFileSystem_;
    std::vector<SYNTask> tasks;
    if (fs->respondsToMember(Option::RemoveItemsAtPaths)) {
        tasks.push_back([fs, paths](SYNTaskCompletion next) {
            fs->removeItemsAtPaths(paths,
                                   [next = std::move(next)](plat::ErrorPtr error) { next(error, false); });
        });
        return tasks;
    }
    for (auto& path : paths) {
        tasks.push_back([fs, path](SYNTaskCompletion next) {
            fs->removeItemAtPath(path, [next = std::move(next)](plat::ErrorPtr error) {
                next(removalErrorUnlessGone(error), false);
            });
        });
    }
    return tasks;
}

void SYNCloudManager::removeLocallyProducedIncompleteRemoteFileSets(Completion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Removing incomplete remote file sets");
    const auto store = eventStore_->persistentStoreIdentifier();
    std::vector<std::string> paths;
    std::set<std::string> seen;
    // Each set's names are looked for in its own folder only.
    for (bool baselines : {true, false}) {
        const auto snapshot = sharedSnapshot(baselines);
        const auto directory = baselines ? remoteBaselinesDirectory() : remoteEventsDirectory();
        const auto listing = groupedListing(snapshot ? *snapshot : noNames(), baselines);
        const auto& grouping = listing->grouping;
        const auto& listed = listing->listed;
        std::vector<std::size_t> incomplete;
        for (std::size_t i = 0; i < grouping.sets.size(); ++i) {
            const auto& set = grouping.sets[i];
            if (set->hasAllParts() || !store) {
                continue;
            }
            const bool ours =
                (set->persistentStoreIdentifier() && *set->persistentStoreIdentifier() == *store) ||
                (set->persistentStorePrefix() && !set->persistentStorePrefix()->empty() &&
                 store->starts_with(*set->persistentStorePrefix()));
            if (ours) {
                incomplete.push_back(i);
            }
        }
        // In listing order.
        sortByFirstName(incomplete, grouping);
        for (std::size_t i : incomplete) {
            const auto& set = grouping.sets[i];
            for (const auto& alias : presentAliases(*set, grouping.filenames[i], listed)) {
                auto path = join(directory, alias);
                if (seen.insert(path).second) {
                    paths.push_back(path);
                }
            }
        }
    }
    addTaskQueue(tasksForPathsToRemove(std::move(paths)), SYNTaskQueueTerminationPolicyCompleteAll,
                 std::move(completion));
}

plat::ErrorPtr SYNCloudManager::removeOutOfDateNewlyImportedFiles() {
    auto names = eventStore_->newlyImportedDataFilenames();
    const auto remoteNames = sharedDataSnapshot();
    for (const auto& remote : remoteNames ? *remoteNames : noNames()) {
        names.erase(remote);
    }
    for (const auto& name : names) {
        if (!eventStore_->removeNewlyImportedDataFile(name)) {
            return SYNMakeError(SYNErrorFileAccessFailed, "Could not remove data file: " + name);
        }
    }
    return nullptr;
}

std::vector<SYNEventFileSet::Ptr> SYNCloudManager::completeRemoteEventFileSetsMissingInEventStore(
    const Names& remoteNames, const std::vector<int16_t>& types) const {
    std::vector<SYNEventFileSet::Ptr> missing;
    auto found = completeRemoteSetsMissingLocally(remoteNames, types);
    for (auto& [set, names] : found.value_or(decltype(found)::value_type())) {
        missing.push_back(std::move(set));
    }
    return missing;
}

std::optional<std::vector<std::pair<SYNEventFileSet::Ptr, std::vector<std::string>>>>
SYNCloudManager::completeRemoteSetsMissingLocally(const Names& remoteNames,
                                                  const std::vector<int16_t>& types) const {
    const auto held = localEvents(types, std::nullopt);
    if (!held) {
        return std::nullopt;
    }
    const bool baselines = containsBaselines(types);
    const auto listing = groupedListing(remoteNames, baselines);
    const auto& grouping = listing->grouping;
    std::vector<std::pair<SYNEventFileSet::Ptr, std::vector<std::string>>> missing;
    for (std::size_t i : *completeSetsMissingLocally(*listing, held, baselines)) {
        const auto& set = grouping.sets[i];
        // A copy: the listing's sets are shared with later callers.
        missing.emplace_back(std::make_shared<SYNEventFileSet>(*set),
                             presentAliases(*set, grouping.filenames[i], listing->listed));
    }
    return missing;
}

std::shared_ptr<const std::vector<std::size_t>> SYNCloudManager::completeSetsMissingLocally(
    const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local, bool baselines) const {
    plat::MutexLock lock(missingMutex_);
    return updatedMissingLocally(missingLocally_[baselines ? 1 : 0], listing, local);
}

std::shared_ptr<const std::vector<std::size_t>> SYNCloudManager::updatedMissingLocally(
    MissingLocally& last, const GroupedListing& listing, const std::shared_ptr<const LocalEvents>& local) {
    if (last.found && last.local == local && last.version == listing.version) {
        return last.found;
    }
    const auto& grouping = listing.grouping;
    auto lookAt = [&](std::size_t i) {
        const auto& set = grouping.sets[i];
        if (set->hasAllParts() && !local->index.setRepresentingSameEventAs(*set)) {
            last.missing.insert(i);
        } else {
            last.missing.erase(i);
        }
    };
    std::vector<std::size_t> touched;
    std::unordered_set<EventKey, EventKeyHash> changed;
    const bool localFollows = last.found && follows(local, last.local);
    if (followListing(last.remote, listing, touched, changed) && localFollows) {
        // Only the sets the grouping touched, and those of the keys of the
        // local events read again, are looked up again.
        for (std::size_t i : touched) {
            if (i < grouping.sets.size()) {
                lookAt(i);
            } else {
                last.missing.erase(i);
            }
        }
        if (last.local != local) {
            std::unordered_set<EventKey, EventKeyHash> keys;
            for (const auto& set : local->removed) {
                keys.insert(SYNEventFileSetIndex::keyOf(*set));
            }
            for (const auto& [row, set] : local->added) {
                keys.insert(SYNEventFileSetIndex::keyOf(*set));
            }
            for (const auto& key : keys) {
                if (auto found = last.remote.ofKey.find(key); found != last.remote.ofKey.end()) {
                    for (std::size_t i : found->second) {
                        lookAt(i);
                    }
                }
            }
        }
    } else {
        last.missing.clear();
        for (std::size_t i = 0; i < grouping.sets.size(); ++i) {
            lookAt(i);
        }
    }
    // In listing order.
    std::vector<std::size_t> found(last.missing.begin(), last.missing.end());
    sortByFirstName(found, grouping);
    last.found = std::make_shared<const std::vector<std::size_t>>(std::move(found));
    last.version = listing.version;
    last.local = local;
    return last.found;
}

void SYNCloudManager::removeOutdatedRemoteFilesWithCompletion(Completion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Removing outdated files");
    const auto baselineNames = sharedSnapshot(true);
    const auto eventNames = sharedSnapshot(false);
    if (!baselineNames || !eventNames) {
        if (completion) {
            onMain([completion] { completion(SYNMakeError(SYNErrorMissingSnapshot)); });
        }
        return;
    }
    std::vector<std::string> paths;
    for (const auto& [names, types, directory] :
         {std::tuple{baselineNames.get(), kBaselineTypes, remoteBaselinesDirectory()},
          std::tuple{eventNames.get(), kEventTypes, remoteEventsDirectory()}}) {
        auto missing = completeRemoteSetsMissingLocally(*names, types);
        if (!missing) {
            // Not knowing what the store holds is not knowing it lacks
            // anything: every remote set would look outdated.
            if (completion) {
                onMain([completion] {
                    completion(SYNMakeError(SYNErrorFileAccessFailed, "Could not read the local events"));
                });
            }
            return;
        }
        std::set<std::string> remove;
        for (const auto& [set, aliases] : *missing) {
            remove.insert(aliases.begin(), aliases.end());
        }
        for (const auto& name : remove) {
            paths.push_back(join(directory, name));
        }
    }
    if (auto dataNames = sharedDataSnapshot()) {
        const auto held = eventStore_->allDataFilenames();
        for (const auto& name : *dataNames) {
            if (!held.count(name)) {
                paths.push_back(join(remoteDataDirectory(), name));
            }
        }
    }
    SYN_LOG(SYNLoggingLevelVerbose, "Removing cloud files: %@", joinLines(paths));
    addTaskQueue(tasksForPathsToRemove(std::move(paths)), SYNTaskQueueTerminationPolicyCompleteAll,
                 std::move(completion));
}
