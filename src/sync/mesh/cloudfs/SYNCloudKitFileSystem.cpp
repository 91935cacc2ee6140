#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"

using namespace plat::cloudkit;
using plat::ErrorPtr;
using plat::Value;

namespace {

constexpr std::size_t kRecordBatchSize = 200;
const std::vector<std::string> kNodeKeys = {"isDirectory", "fileSize", "path"};

// An operation that stands for one run of the set-up: it finishes when the
// set-up ends, so operations made dependent on it wait for the set-up.
class SetupGate final : public plat::dispatch::Operation {
  public:
    bool isAsynchronous() const override { return true; }
    void start() override { markExecuting(); }
    void open() { finish(); }
};

// True when the error is a partial failure whose every item error has one of
// the codes (an empty dictionary included).
bool partialFailureOnlyIncludes(const ErrorPtr& error, std::initializer_list<ErrorCode> codes) {
    const PartialErrors* partial = partialErrors(error);
    if (!partial)
        return false;
    for (const auto& entry : partial->errors()) {
        const ErrorPtr& itemError = entry.second;
        if (!itemError)
            return false;
        const int64_t itemCode = itemError->code();
        if (std::none_of(codes.begin(), codes.end(),
                         [itemCode](ErrorCode c) { return itemCode == static_cast<int64_t>(c); }))
            return false;
    }
    return true;
}

// Calls a completion at most once, whichever path reaches it first.
template <class F>
struct Once {
    explicit Once(F f) : function(std::move(f)) {}
    template <class... Args>
    void operator()(Args&&... args) {
        if (!called.exchange(true) && function)
            function(std::forward<Args>(args)...);
    }
    F function;
    std::atomic<bool> called{false};
};

// A completion that calls `completion` asynchronously on the main queue with
// the same arguments (none for a null completion), so that callers get every
// answer there, cache answers included, never inside the call.
template <class... Args>
std::function<void(Args...)> onMainQueue(std::function<void(Args...)> completion) {
    if (!completion)
        return [](Args...) {};
    return [completion = std::move(completion)](Args... args) {
        plat::dispatch::Queue::main().async(
            [completion, args...]() mutable { completion(std::move(args)...); });
    };
}

void onMain(std::function<void()> block) {
    plat::dispatch::Queue::main().async(std::move(block));
}

}  // namespace

std::string SYNCloudKitFileSystem::recordZoneNameForSchema(uint64_t schemaVersion) {
    if (schemaVersion == 1)
        return "com.kestrel.meshes.zone.schema1";
    if (schemaVersion == 2)
        return "com.kestrel.meshes.zone.schema2";
    return RecordZoneDefaultName;
}

void SYNCloudKitFileSystem::acceptInvitationToShareWithMetadata(const std::shared_ptr<Container>& container,
                                                                ShareMetadata metadata,
                                                                Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!container) {
        completion(noConnectionError());
        return;
    }
    // One queue for the whole class, never destroyed: acceptances may still
    // be running while the process exits.
    static plat::dispatch::OperationQueue* const queue = [] {
        auto* q = new plat::dispatch::OperationQueue("SYNCloudKitFileSystem.invitations");
        q->setMaxConcurrentOperationCount(1);
        return q;
    }();
    auto accept = std::make_shared<AcceptSharesOperation>(*container, std::vector<ShareMetadata>{metadata});
    accept->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    accept->acceptSharesCompletionBlock = [completion](ErrorPtr error) { completion(error); };
    queue->addOperation(accept);
}

ErrorPtr SYNCloudKitFileSystem::noConnectionError() {
    return SYNMakeError(SYNErrorConnectionError, "No iCloud connection");
}

SYNCloudKitFileSystem::SYNCloudKitFileSystem(std::shared_ptr<Container> container, Options options)
    : container_(std::move(container)),
      options_(std::move(options)),
      format_(options_.schemaVersion, options_.rootDirectory, options_.zoneID,
              /*withRecordParent=*/options_.sharingIdentifier.has_value()),
      cache_(format_),
      ledger_(format_),
      setupQueue_(std::make_shared<plat::dispatch::OperationQueue>("SYNCloudKitFileSystem.setup")) {
    if (container_)
        database_ = container_->database(options_.scope);
}

std::shared_ptr<SYNCloudKitFileSystem> SYNCloudKitFileSystem::create(std::shared_ptr<Container> container,
                                                                     Options options) {
    std::shared_ptr<SYNCloudKitFileSystem> fs(
        new SYNCloudKitFileSystem(std::move(container), std::move(options)));
    if (fs->options_.zoneID) {
        const std::string file = fs->cacheFilePath();
        if (!file.empty())
            fs->cache_.loadFromFile(file);
    }
    fs->setupCloud([](ErrorPtr error) {
        if (error)
            SYN_LOG(SYNLoggingLevelError, "Setting up cloud directories in CloudKit failed: %@", error);
    });
    return fs;
}

std::shared_ptr<SYNCloudKitFileSystem> SYNCloudKitFileSystem::privateDatabase(
    std::shared_ptr<Container> container, uint64_t schemaVersion, std::string cacheDirectory) {
    Options options;
    options.schemaVersion = schemaVersion;
    options.zoneID = RecordZoneID(recordZoneNameForSchema(schemaVersion), OwnerDefaultName);
    options.cacheDirectory = std::move(cacheDirectory);
    return create(std::move(container), std::move(options));
}

std::shared_ptr<SYNCloudKitFileSystem> SYNCloudKitFileSystem::sharing(std::shared_ptr<Container> container,
                                                                      std::string sharingIdentifier,
                                                                      std::string shareOwnerName,
                                                                      std::string cacheDirectory) {
    Options options;
    options.scope = shareOwnerName == OwnerDefaultName ? DatabaseScope::Private : DatabaseScope::Shared;
    options.zoneID = RecordZoneID(sharingIdentifier, shareOwnerName);
    options.sharingIdentifier = std::move(sharingIdentifier);
    options.cacheDirectory = std::move(cacheDirectory);
    return create(std::move(container), std::move(options));
}

void SYNCloudKitFileSystem::setDelegate(Delegate delegate) {
    plat::MutexLock lock(mutex_);
    delegate_ = std::move(delegate);
}

SYNCloudKitFileSystem::Delegate SYNCloudKitFileSystem::delegate() const {
    plat::MutexLock lock(mutex_);
    return delegate_;
}

RecordPtr SYNCloudKitFileSystem::share() const {
    plat::MutexLock lock(mutex_);
    return share_;
}

std::string SYNCloudKitFileSystem::cacheFilePath() const {
    if (!options_.zoneID)
        return {};
    std::string folder = options_.cacheDirectory;
    if (folder.empty()) {
        auto urls = plat::FileManager::defaultManager().URLsForDirectory(
            plat::SearchPathDirectory::CachesDirectory, plat::UserDomainMask);
        if (urls.empty())
            return {};
        folder = urls.front().path();
    }
    return folder + "/" + SYNCloudKitRecordCache::cacheFilename(*options_.zoneID);
}

bool SYNCloudKitFileSystem::respondsToMember(OptionalMember member) const {
    switch (member) {
        case OptionalMember::FileUploadMaximumBatchSize:
        case OptionalMember::FileDownloadMaximumBatchSize:
        case OptionalMember::UploadLocalFiles:
        case OptionalMember::DownloadFromPaths:
        case OptionalMember::RemoveItemsAtPaths:
        case OptionalMember::PrimeForActivity:
            return true;
        default:
            return false;
    }
}

void SYNCloudKitFileSystem::addOperation(const std::shared_ptr<DatabaseOperation>& operation,
                                         bool afterSetup) {
    operation->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    if (afterSetup) {
        plat::MutexLock lock(mutex_);
        if (setupOperation_)
            operation->addDependency(setupOperation_);
    }
    database_->addOperation(operation);
}

// --- Set-up ----------------------------------------------------------------

void SYNCloudKitFileSystem::connect(Completion completion) {
    // The database is fixed at creation (other threads read it); connecting
    // runs the set-up again, which makes a deleted zone anew.
    setupCloud(onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::setupCloud(Completion completion) {
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    auto gate = std::make_shared<SetupGate>();
    gate->start();
    std::shared_ptr<plat::dispatch::Operation> previous;
    {
        plat::MutexLock lock(mutex_);
        previous = std::exchange(setupOperation_, gate);
    }
    auto self = shared_from_this();
    auto run = plat::dispatch::BlockOperation::create([self, gate, completion] {
        self->createZoneIfNecessary([self, gate, completion](ErrorPtr error) {
            if (error) {
                gate->open();
                completion(error);
                return;
            }
            self->createShareAndRootDirectoryIfNecessary([self, gate, completion](ErrorPtr error) {
                if (error) {
                    gate->open();
                    completion(error);
                    return;
                }
                self->createRootDirectoryIfNecessary([gate, completion](ErrorPtr error, RecordPtr) {
                    gate->open();
                    completion(error);
                });
            });
        });
    });
    if (previous)
        run->addDependency(previous);
    setupQueue_->addOperation(run);
}

void SYNCloudKitFileSystem::createZoneIfNecessary(Completion completion) {
    if (options_.scope != DatabaseScope::Private || !options_.zoneID || options_.zoneID->isDefaultZone()) {
        completion(nullptr);
        return;
    }
    const RecordZoneID zoneID = *options_.zoneID;
    auto fetch = std::make_shared<FetchRecordZonesOperation>(std::vector<RecordZoneID>{zoneID});
    auto self = shared_from_this();
    fetch->fetchRecordZonesCompletionBlock = [self, zoneID, completion](std::map<RecordZoneID, RecordZone>,
                                                                        ErrorPtr error) {
        if (hasCode(error, ErrorCode::PartialFailure)) {
            const PartialErrors* partial = partialErrors(error);
            error = partial ? partial->errorFor(zoneID) : nullptr;
        }
        if (hasCode(error, ErrorCode::ZoneNotFound) || hasCode(error, ErrorCode::UserDeletedZone)) {
            auto make = std::make_shared<ModifyRecordZonesOperation>(
                std::vector<RecordZone>{RecordZone{zoneID}}, std::vector<RecordZoneID>{});
            make->modifyRecordZonesCompletionBlock = [completion](std::vector<RecordZone>,
                                                                  std::vector<RecordZoneID>,
                                                                  ErrorPtr error) { completion(error); };
            self->addOperation(make, false);
            return;
        }
        completion(error);
    };
    addOperation(fetch, false);
}

void SYNCloudKitFileSystem::createRootDirectoryIfNecessary(RootCompletion completion) {
    const RecordID rootID = format_.recordIDForPath("/");
    auto fetch = std::make_shared<FetchRecordsOperation>(std::vector<RecordID>{rootID});
    auto self = shared_from_this();
    fetch->fetchRecordsCompletionBlock = [self, rootID, completion](std::map<RecordID, RecordPtr> records,
                                                                    ErrorPtr error) {
        if (auto it = records.find(rootID); it != records.end() && it->second) {
            completion(nullptr, it->second);
            return;
        }
        if (error && !hasCode(error, ErrorCode::PartialFailure)) {
            completion(error, nullptr);
            return;
        }
        auto save = std::make_shared<ModifyRecordsOperation>(
            std::vector<Record>{self->format_.createRootRecord()}, std::vector<RecordID>{});
        save->modifyRecordsCompletionBlock = [completion](std::vector<RecordPtr> saved, std::vector<RecordID>,
                                                          ErrorPtr error) {
            // Another device saving the root first is as good as our own.
            if (partialFailureOnlyIncludes(error, {ErrorCode::ServerRecordChanged}))
                error = nullptr;
            completion(error, saved.empty() ? nullptr : saved.back());
        };
        self->addOperation(save, false);
    };
    addOperation(fetch, false);
}

void SYNCloudKitFileSystem::createShareAndRootDirectoryIfNecessary(Completion completion) {
    if (!options_.sharingIdentifier) {
        completion(nullptr);
        return;
    }
    const RecordID shareID(*options_.sharingIdentifier, *options_.zoneID);
    auto fetch = std::make_shared<FetchRecordsOperation>(std::vector<RecordID>{shareID});
    auto self = shared_from_this();
    fetch->fetchRecordsCompletionBlock = [self, shareID, completion](std::map<RecordID, RecordPtr> records,
                                                                     ErrorPtr error) {
        if (hasCode(error, ErrorCode::PartialFailure)) {
            const PartialErrors* partial = partialErrors(error);
            error = partial ? partial->errorFor(shareID) : nullptr;
        }
        const auto scope = self->options_.scope;
        if (hasCode(error, ErrorCode::ZoneNotFound) && scope == DatabaseScope::Shared) {
            // The folder is gone for this account: the cache must not go on
            // answering look-ups and listings with what it held.
            self->cache_.clear();
            if (auto d = self->delegate(); d.sharedZoneDidBecomeUnavailable)
                onMain(d.sharedZoneDidBecomeUnavailable);
            completion(error);
            return;
        }
        if (hasCode(error, ErrorCode::UnknownItem) && scope == DatabaseScope::Private) {
            // The owner has no share yet: make it for the root record.
            self->createRootDirectoryIfNecessary([self, completion](ErrorPtr error, RecordPtr root) {
                if (error || !root) {
                    completion(error ? error : makeError(ErrorCode::UnknownItem, "No root record"));
                    return;
                }
                self->createShareForRootDirectoryRecord(*root, completion);
            });
            return;
        }
        if (error) {
            completion(error);
            return;
        }
        auto it = records.find(shareID);
        RecordPtr fetched = it == records.end() ? nullptr : it->second;
        bool changed = false;
        {
            plat::MutexLock lock(self->mutex_);
            if (fetched && (!self->share_ || self->share_->recordChangeTag() != fetched->recordChangeTag())) {
                self->share_ = fetched;
                changed = true;
            }
        }
        if (auto d = self->delegate(); changed && d.shareIsAvailable)
            onMain(d.shareIsAvailable);
        completion(nullptr);
    };
    addOperation(fetch, false);
}

void SYNCloudKitFileSystem::createShareForRootDirectoryRecord(const Record& root, Completion completion) {
    // The delegate may add to the share before it is saved, on the main
    // thread like every delegate call.
    auto self = shared_from_this();
    onMain([self, root, completion] {
        Record share = makeShare(root, RecordID(*self->options_.sharingIdentifier, *self->options_.zoneID));
        share.setObject("isMeshesShare", Value(true));
        setSharePublicPermission(share, ShareParticipantPermission::None);
        if (auto d = self->delegate(); d.willSaveNewShare)
            d.willSaveNewShare(share);
        auto save = std::make_shared<ModifyRecordsOperation>(std::vector<Record>{share, root},
                                                             std::vector<RecordID>{});
        const RecordID shareID = share.recordID();
        save->modifyRecordsCompletionBlock =
            [self, shareID, completion](std::vector<RecordPtr> saved, std::vector<RecordID>, ErrorPtr error) {
                if (!error) {
                    for (const auto& record : saved)
                        if (record && record->recordID() == shareID) {
                            plat::MutexLock lock(self->mutex_);
                            self->share_ = record;
                        }
                    if (auto d = self->delegate(); d.shareIsAvailable)
                        onMain(d.shareIsAvailable);
                }
                completion(error);
            };
        self->addOperation(save, false);
    });
}

void SYNCloudKitFileSystem::subscribeForPushNotificationsWithCompletion(Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    Subscription subscription;
    if (options_.scope == DatabaseScope::Shared) {
        subscription = Subscription::database("SYNSharedDatabaseSubscription");
    } else {
        subscription = Subscription::query(format_.fileSystemNodeRecordType(),
                                           Predicate::greaterThan("fileSize", Value(int64_t(0))),
                                           "SYNFileAddedSubscription", FiresOnRecordCreation);
    }
    subscription.notificationInfo.shouldSendContentAvailable = true;
    // The owner of a shared folder also hears of changes to its share.
    const bool shareOwner = options_.scope != DatabaseScope::Shared && options_.sharingIdentifier &&
                            options_.zoneID && options_.zoneID->ownerName() == CurrentUserDefaultName;
    auto database = database_;
    database_->saveSubscription(
        subscription, [database, shareOwner, completion](std::optional<Subscription>, ErrorPtr error) {
            if (error || !shareOwner) {
                completion(error);
                return;
            }
            Subscription share = Subscription::query(ShareRecordType, Predicate::truePredicate(),
                                                     "CKShareSubscription", FiresOnRecordUpdate);
            share.notificationInfo.shouldSendContentAvailable = true;
            database->saveSubscription(
                share, [completion](std::optional<Subscription>, ErrorPtr error) { completion(error); });
        });
}

void SYNCloudKitFileSystem::fetchUserIdentityWithCompletion(IdentityCompletion completion) {
    completion = onMainQueue(std::move(completion));
    if (!container_) {
        completion(Value(), noConnectionError());
        return;
    }
    // The per-record block normally answers; the final block answers when the
    // operation fails as a whole without it, so the caller never waits forever.
    auto once = std::make_shared<Once<IdentityCompletion>>(std::move(completion));
    auto deliver = [once](const RecordID* id, ErrorPtr error) {
        if (hasCode(error, ErrorCode::NotAuthenticated))
            (*once)(Value(), nullptr);
        else
            (*once)(id && !error ? Value(std::make_shared<RecordID>(*id)) : Value(), error);
    };
    auto fetch = FetchRecordsOperation::fetchCurrentUserRecordOperation();
    fetch->perRecordCompletionBlock = [deliver](RecordPtr, RecordID id, ErrorPtr error) {
        deliver(&id, error);
    };
    fetch->fetchRecordsCompletionBlock = [deliver](std::map<RecordID, RecordPtr> records, ErrorPtr error) {
        if (!records.empty())
            deliver(&records.begin()->first, error);
        else
            deliver(nullptr, error ? error : makeError(ErrorCode::UnknownItem, "No user record"));
    };
    fetch->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    container_->privateCloudDatabase()->addOperation(fetch);
}

// --- Records and directories -------------------------------------------------

void SYNCloudKitFileSystem::fetchRecordsAtPaths(const std::vector<std::string>& paths,
                                                RecordsCompletion completion) {
    recordsAtPaths(paths, onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::recordsAtPaths(const std::vector<std::string>& paths,
                                           RecordsCompletion completion) {
    if (!database_) {
        completion({}, noConnectionError());
        return;
    }
    if (auto cached = cache_.recordsAtPaths(paths)) {
        completion(std::move(*cached), nullptr);
        return;
    }
    auto ids = std::make_shared<std::vector<RecordID>>();
    for (const auto& path : paths)
        ids->push_back(format_.recordIDForPath(path));
    fetchBatches(ids, 0, std::make_shared<std::vector<RecordPtr>>(), std::move(completion));
}

void SYNCloudKitFileSystem::fetchBatches(std::shared_ptr<std::vector<RecordID>> ids, std::size_t start,
                                         std::shared_ptr<std::vector<RecordPtr>> result,
                                         RecordsCompletion completion) {
    if (start >= ids->size()) {
        completion(std::move(*result), nullptr);
        return;
    }
    const std::size_t end = std::min(ids->size(), start + kRecordBatchSize);
    std::vector<RecordID> batch(ids->begin() + start, ids->begin() + end);
    auto fetch = std::make_shared<FetchRecordsOperation>(batch);
    fetch->desiredKeys = kNodeKeys;
    auto self = shared_from_this();
    fetch->fetchRecordsCompletionBlock = [self, ids, end, result, batch, completion](
                                             std::map<RecordID, RecordPtr> records, ErrorPtr error) {
        // Missing records are answers (null), not failures: the later batches
        // are still fetched so that no caller sees a shortened result.
        if (error && !(hasCode(error, ErrorCode::PartialFailure) &&
                       partialFailureOnlyIncludes(error, {ErrorCode::UnknownItem}))) {
            completion({}, error);
            return;
        }
        for (const auto& id : batch) {
            auto it = records.find(id);
            result->push_back(it == records.end() ? nullptr : it->second);
        }
        self->fetchBatches(ids, end, result, completion);
    };
    addOperation(fetch);
}

void SYNCloudKitFileSystem::fileExistsAtPath(const std::string& path, ExistenceCompletion completion) {
    completion = onMainQueue(std::move(completion));
    recordsAtPaths({path}, [completion](std::vector<RecordPtr> records, ErrorPtr error) {
        if (error) {
            completion(false, false, error);
            return;
        }
        RecordPtr record = records.empty() ? nullptr : records.back();
        if (!record)
            completion(false, false, nullptr);
        else
            completion(true, record->objectForKey("isDirectory").boolValue(), nullptr);
    });
}

void SYNCloudKitFileSystem::createDirectoryAtPath(const std::string& path, Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    auto save = std::make_shared<ModifyRecordsOperation>(
        std::vector<Record>{format_.directoryRecordForPath(path)}, std::vector<RecordID>{});
    auto self = shared_from_this();
    save->modifyRecordsCompletionBlock = [self, path, completion](std::vector<RecordPtr>,
                                                                  std::vector<RecordID>, ErrorPtr error) {
        if (!hasCode(error, ErrorCode::PartialFailure) ||
            !partialFailureOnlyIncludes(error, {ErrorCode::ServerRecordChanged})) {
            completion(error);
            return;
        }
        // A record already stands at the path. Two devices that both found
        // the directory missing (the check and the creation are apart, and a
        // primed cache answers the check) both make it: a directory made by
        // the other one is as good as our own. The record is read from the
        // server, since the cache predates it; a file there keeps the refusal.
        auto ids = std::make_shared<std::vector<RecordID>>(1, self->format_.recordIDForPath(path));
        self->fetchBatches(ids, 0, std::make_shared<std::vector<RecordPtr>>(),
                           [error, completion](std::vector<RecordPtr> records, ErrorPtr fetchError) {
                               const bool directory =
                                   !fetchError && !records.empty() && records.front() &&
                                   records.front()->objectForKey("isDirectory").boolValue();
                               completion(directory ? nullptr : error);
                           });
    };
    addOperation(save);
}

void SYNCloudKitFileSystem::contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) {
    listDirectory(path, onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::listDirectory(const std::string& path, ListingCompletion completion) {
    if (!database_) {
        completion({}, noConnectionError());
        return;
    }
    if (auto listing = cache_.contentsOfDirectoryAtPath(path)) {
        if (listing->found)
            completion(std::move(listing->items), nullptr);
        else
            completion({}, SYNMakeError(SYNErrorDirectoryNotFound));
        return;
    }
    Query query;
    query.recordType = format_.fileSystemNodeRecordType();
    query.predicate = Predicate::equals(
        "directory", Value(Reference::make(format_.recordIDForPath(path), ReferenceAction::None)));
    query.sortDescriptors = {SortDescriptor{"path", true}};
    auto operation = std::make_shared<QueryOperation>(query);
    queryPage(operation, std::make_shared<SYNCloudItems>(), std::move(completion));
}

void SYNCloudKitFileSystem::queryPage(std::shared_ptr<QueryOperation> operation,
                                      std::shared_ptr<SYNCloudItems> items, ListingCompletion completion) {
    operation->zoneID = options_.zoneID;
    // Every page names its keys, so later pages do not carry file contents.
    operation->desiredKeys = std::vector<std::string>{"isDirectory", "fileSize", "path"};
    auto self = shared_from_this();
    operation->recordFetchedBlock = [self, items](RecordPtr record) {
        if (record)
            items->push_back(self->format_.itemForRecord(*record));
    };
    operation->queryCompletionBlock = [self, items, completion](std::shared_ptr<const QueryCursor> cursor,
                                                                ErrorPtr error) {
        if (error) {
            completion({}, error);
            return;
        }
        if (cursor) {
            self->queryPage(std::make_shared<QueryOperation>(cursor), items, completion);
            return;
        }
        completion(std::move(*items), nullptr);
    };
    addOperation(operation);
}

void SYNCloudKitFileSystem::fetchRecordsDescendedFromPaths(const std::vector<std::string>& paths,
                                                           RecordsCompletion completion) {
    descend(std::make_shared<std::map<RecordID, RecordPtr>>(), paths, onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::descend(std::shared_ptr<std::map<RecordID, RecordPtr>> found,
                                    std::vector<std::string> paths, RecordsCompletion completion) {
    auto self = shared_from_this();
    auto finish = [found, completion]() {
        std::vector<RecordPtr> out;
        for (auto& [id, record] : *found)
            out.push_back(record);
        completion(std::move(out), nullptr);
    };
    if (paths.empty()) {
        finish();
        return;
    }
    recordsAtPaths(paths, [self, found, completion, finish](std::vector<RecordPtr> records, ErrorPtr error) {
        if (error) {
            completion({}, error);
            return;
        }
        auto directories = std::make_shared<std::vector<std::string>>();
        for (const auto& record : records) {
            if (!record || found->count(record->recordID()))
                continue;
            (*found)[record->recordID()] = record;
            if (record->objectForKey("isDirectory").boolValue()) {
                const std::string full = self->format_.fullPathFromRecordID(record->recordID());
                const std::string& root = self->format_.rootDirectory();
                directories->push_back(full.rfind(root, 0) == 0 ? full.substr(root.size()) : full);
            }
        }
        if (directories->empty()) {
            finish();
            return;
        }
        // List the directories one after another, then descend one level.
        auto children = std::make_shared<std::vector<std::string>>();
        auto listNext = std::make_shared<std::function<void(std::size_t)>>();
        // Each pending listing keeps the walker alive; the walker refers to
        // itself only weakly, so nothing outlives the walk.
        *listNext = [self, found, completion, directories, children,
                     weakNext = std::weak_ptr<std::function<void(std::size_t)>>(listNext)](std::size_t i) {
            if (i == directories->size()) {
                self->descend(found, std::move(*children), completion);
                return;
            }
            auto next = weakNext.lock();
            self->listDirectory((*directories)[i],
                                [next, children, completion, i](SYNCloudItems items, ErrorPtr error) {
                                    if (error) {
                                        completion({}, error);
                                        return;
                                    }
                                    for (const auto& item : items)
                                        children->push_back(item->path());
                                    (*next)(i + 1);
                                });
        };
        (*listNext)(0);
    });
}

// --- Transfers -----------------------------------------------------------------

void SYNCloudKitFileSystem::uploadLocalFile(const std::string& localPath, const std::string& path,
                                            Completion completion) {
    uploadLocalFiles({localPath}, {path}, std::move(completion));
}

void SYNCloudKitFileSystem::uploadLocalFiles(const std::vector<std::string>& localPaths,
                                             const std::vector<std::string>& paths, Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    if (localPaths.size() != paths.size()) {
        completion(SYNMakeError(SYNErrorUnknown, "Local and cloud path lists differ in length"));
        return;
    }
    if (options_.schemaVersion != 1 && options_.schemaVersion != 2) {
        // Saving nothing and reporting success would make callers drop files
        // that never reached the cloud.
        SYN_LOG(SYNLoggingLevelError, "Invalid schema");
        completion(SYNMakeError(SYNErrorUnknown, "Invalid schema"));
        return;
    }
    std::vector<Record> records;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(localPaths[i], ec);
        if (ec) {
            completion(plat::fileErrorWithPOSIXError(ec.value() ? ec.value() : ENOENT, true, localPaths[i]));
            return;
        }
        records.push_back(format_.fileRecordForPath(paths[i], size, localPaths[i]));
        if (options_.schemaVersion == 1)
            records.push_back(format_.dataRecordForPath(paths[i], localPaths[i]));
    }
    auto save = std::make_shared<ModifyRecordsOperation>(std::move(records), std::vector<RecordID>{});
    // Records that already exist are refused one by one (item 14) while the
    // others are saved; refusing the whole batch would fail it on every retry.
    save->atomic = false;
    save->modifyRecordsCompletionBlock = [completion](std::vector<RecordPtr>, std::vector<RecordID>,
                                                      ErrorPtr error) {
        if (hasCode(error, ErrorCode::PartialFailure) &&
            partialFailureOnlyIncludes(error, {ErrorCode::ServerRecordChanged})) {
            SYN_LOG(SYNLoggingLevelWarning,
                    "Some records failed to upload due to existing items. Usually due to out-of-date query "
                    "caching "
                    "on CloudKit. Will self correct. Ignoring: %@",
                    error);
            error = nullptr;
        }
        completion(error);
    };
    addOperation(save);
}

void SYNCloudKitFileSystem::downloadFromPath(const std::string& path, const std::string& localPath,
                                             Completion completion) {
    downloadFromPaths({path}, {localPath}, std::move(completion));
}

void SYNCloudKitFileSystem::downloadFromPaths(const std::vector<std::string>& paths,
                                              const std::vector<std::string>& localPaths,
                                              Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    if (localPaths.size() != paths.size()) {
        completion(SYNMakeError(SYNErrorUnknown, "Local and cloud path lists differ in length"));
        return;
    }
    std::vector<RecordID> ids;
    auto localByID = std::make_shared<std::map<RecordID, std::string>>();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        RecordID id = options_.schemaVersion == 1 ? format_.dataRecordIDForPath(paths[i])
                                                  : format_.recordIDForPath(paths[i]);
        (*localByID)[id] = localPaths[i];
        ids.push_back(std::move(id));
    }
    auto fetch = std::make_shared<FetchRecordsOperation>(ids);
    fetch->desiredKeys = std::vector<std::string>{"data"};
    auto self = shared_from_this();
    fetch->fetchRecordsCompletionBlock = [self, localByID, completion](std::map<RecordID, RecordPtr> records,
                                                                       ErrorPtr error) {
        if (error) {
            self->performRepairsIfNecessaryForError(error);
            completion(error);
            return;
        }
        for (const auto& [id, local] : *localByID) {
            auto it = records.find(id);
            auto asset = it == records.end() || !it->second
                             ? nullptr
                             : it->second->objectForKey("data").asObjectOf<Asset>();
            if (!asset) {
                // A record without content must not pass as a download.
                completion(makeError(ErrorCode::AssetNotAvailable, "No content for " + id.recordName()));
                return;
            }
            std::error_code ec;
            if (std::filesystem::exists(local, ec)) {
                completion(plat::fileErrorWithPOSIXError(EEXIST, false, local));
                return;
            }
            if (!std::filesystem::copy_file(asset->fileURL(), local, ec)) {
                completion(plat::fileErrorWithPOSIXError(ec.value() ? ec.value() : EIO, false, local));
                return;
            }
        }
        completion(nullptr);
    };
    addOperation(fetch);
}

// --- Removal and repair ----------------------------------------------------------

void SYNCloudKitFileSystem::removeItemAtPath(const std::string& path, Completion completion) {
    removeItemsAtPaths({path}, std::move(completion));
}

void SYNCloudKitFileSystem::removeItemsAtPaths(const std::vector<std::string>& paths, Completion completion) {
    completion = onMainQueue(std::move(completion));
    auto self = shared_from_this();
    auto found = std::make_shared<std::map<RecordID, RecordPtr>>();
    descend(found, paths, [self, completion](std::vector<RecordPtr> records, ErrorPtr error) {
        if (error) {
            completion(error);
            return;
        }
        // Files first, so that no directory goes while files below it remain.
        std::stable_sort(records.begin(), records.end(), [](const RecordPtr& a, const RecordPtr& b) {
            return !a->objectForKey("isDirectory").boolValue() && b->objectForKey("isDirectory").boolValue();
        });
        std::vector<RecordID> ids;
        for (const auto& record : records)
            ids.push_back(record->recordID());
        self->removeRecordIDs(ids, completion);
    });
}

void SYNCloudKitFileSystem::removeItemsWithRecordIDs(const std::vector<RecordID>& recordIDs,
                                                     Completion completion) {
    removeRecordIDs(recordIDs, onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::removeRecordIDs(const std::vector<RecordID>& recordIDs, Completion completion) {
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    removeBatches(std::make_shared<std::vector<RecordID>>(recordIDs), 0, std::move(completion));
}

void SYNCloudKitFileSystem::removeBatches(std::shared_ptr<std::vector<RecordID>> ids, std::size_t start,
                                          Completion completion) {
    if (start >= ids->size()) {
        completion(nullptr);
        return;
    }
    const std::size_t end = std::min(ids->size(), start + kRecordBatchSize);
    auto remove = std::make_shared<ModifyRecordsOperation>(
        std::vector<Record>{}, std::vector<RecordID>(ids->begin() + start, ids->begin() + end));
    remove->atomic = false;
    auto self = shared_from_this();
    remove->modifyRecordsCompletionBlock = [self, ids, end, completion](std::vector<RecordPtr>,
                                                                        std::vector<RecordID>,
                                                                        ErrorPtr error) {
        // Records changed or already removed by another device are gone for
        // this caller's purpose.
        if (error &&
            !(hasCode(error, ErrorCode::PartialFailure) &&
              partialFailureOnlyIncludes(error, {ErrorCode::ServerRecordChanged, ErrorCode::UnknownItem}))) {
            completion(error);
            return;
        }
        self->removeBatches(ids, end, completion);
    };
    addOperation(remove);
}

void SYNCloudKitFileSystem::removeAllItemsWithCompletion(Completion completion) {
    completion = onMainQueue(std::move(completion));
    if (!database_) {
        completion(noConnectionError());
        return;
    }
    auto self = shared_from_this();
    prime([self, completion](ErrorPtr error) {
        if (error) {
            completion(error);
            return;
        }
        auto cached = self->cache_.allRecordIDs();
        self->removeRecordIDs(cached ? *cached : std::vector<RecordID>{}, [self, completion](ErrorPtr error) {
            if (error) {
                completion(error);
                return;
            }
            Query query;
            query.recordType = self->format_.fileSystemNodeRecordType();
            self->queryAllRecords(std::make_shared<QueryOperation>(query),
                                  std::make_shared<std::vector<RecordID>>(), completion);
        });
    });
}

void SYNCloudKitFileSystem::queryAllRecords(std::shared_ptr<QueryOperation> operation,
                                            std::shared_ptr<std::vector<RecordID>> ids,
                                            Completion completion) {
    operation->zoneID = options_.zoneID;
    operation->desiredKeys = std::vector<std::string>{};
    auto self = shared_from_this();
    operation->recordFetchedBlock = [ids](RecordPtr record) {
        if (record)
            ids->push_back(record->recordID());
    };
    operation->queryCompletionBlock = [self, ids, completion](std::shared_ptr<const QueryCursor> cursor,
                                                              ErrorPtr error) {
        if (error) {
            completion(error);
            return;
        }
        if (cursor) {
            self->queryAllRecords(std::make_shared<QueryOperation>(cursor), ids, completion);
            return;
        }
        self->removeRecordIDs(*ids, completion);
    };
    addOperation(operation);
}

void SYNCloudKitFileSystem::performRepairsIfNecessaryForError(const ErrorPtr& error) {
    const auto candidates = ledger_.candidatesForError(error);
    if (candidates.empty())
        return;
    const plat::Date now = options_.now ? options_.now() : plat::Date::now();
    const auto due = ledger_.noteCandidates(candidates, now);
    if (due.empty())
        return;
    auto remove = std::make_shared<ModifyRecordsOperation>(std::vector<Record>{}, due);
    remove->atomic = false;
    auto self = shared_from_this();
    remove->modifyRecordsCompletionBlock = [self, due](std::vector<RecordPtr>, std::vector<RecordID>,
                                                       ErrorPtr error) {
        // On failure the dates stay, so a later report tries again.
        if (error) {
            SYN_LOG(SYNLoggingLevelError, "Error occurred while removing items without data in CloudKit: %@",
                    error);
            return;
        }
        self->ledger_.forget(due);
    };
    addOperation(remove);
}

// --- Priming ---------------------------------------------------------------------

void SYNCloudKitFileSystem::primeForActivityWithCompletion(Completion completion) {
    prime(onMainQueue(std::move(completion)));
}

void SYNCloudKitFileSystem::prime(Completion completion) {
    {
        plat::MutexLock lock(mutex_);
        primings_.push_back(std::move(completion));
        if (primingRunning_)
            return;
        primingRunning_ = true;
    }
    startNextPriming();
}

void SYNCloudKitFileSystem::startNextPriming() {
    Completion completion;
    {
        plat::MutexLock lock(mutex_);
        if (primings_.empty()) {
            primingRunning_ = false;
            return;
        }
        completion = std::move(primings_.front());
        primings_.pop_front();
    }
    auto self = shared_from_this();
    auto done = [self, completion](ErrorPtr error) {
        if (completion)
            completion(error);
        self->startNextPriming();
    };
    if (!options_.zoneID) {
        cache_.clear();
        done(nullptr);
        return;
    }
    if (!database_) {
        done(noConnectionError());
        return;
    }
    createShareAndRootDirectoryIfNecessary([self, done](ErrorPtr error) {
        if (error)
            done(error);
        else
            self->continuePriming(done);
    });
}

void SYNCloudKitFileSystem::continuePriming(Completion completion) {
    cache_.beginPass();
    fetchChangePage(cache_.serverChangeToken(), std::move(completion));
}

void SYNCloudKitFileSystem::fetchChangePage(std::shared_ptr<const ServerChangeToken> previous,
                                            Completion completion) {
    auto fetch = std::make_shared<FetchRecordChangesOperation>(*options_.zoneID, previous);
    fetch->desiredKeys = kNodeKeys;
    auto self = shared_from_this();
    fetch->recordChangedBlock = [self](RecordPtr record) {
        if (record)
            self->cache_.applyChangedRecord(*record);
    };
    fetch->recordWithIDWasDeletedBlock = [self](RecordID id) { self->cache_.applyDeletedRecordID(id); };
    std::weak_ptr<FetchRecordChangesOperation> weak = fetch;
    fetch->fetchRecordChangesCompletionBlock = [self, previous, completion, weak](
                                                   std::shared_ptr<const ServerChangeToken> token,
                                                   std::optional<plat::Data>, ErrorPtr error) {
        if (error) {
            if (previous) {
                // An incremental fetch failed (an expired token, say): start over.
                self->cache_.clear();
                self->continuePriming(completion);
            } else {
                completion(error);
            }
            return;
        }
        // The token is taken, and the cache file written, once the last page
        // is in: a fetch from the start is not trusted for look-ups before
        // then, and writing the whole cache after every page would make
        // priming a large zone quadratic.
        auto operation = weak.lock();
        if (operation && operation->moreComing()) {
            self->fetchChangePage(token, completion);
            return;
        }
        if (self->cache_.finishPass(token)) {
            const std::string file = self->cacheFilePath();
            // Without the file the next start fetches the zone from the start.
            if (auto error = file.empty() ? nullptr : self->cache_.storeToFile(file))
                SYN_LOG(SYNLoggingLevelWarning, "Could not write the record cache %@: %@", file, error);
        }
        completion(nullptr);
    };
    addOperation(fetch);
}
