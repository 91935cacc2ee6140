#include "sync/mesh/SYNPersistentStoreMesh.h"

#include <set>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/URL.h"
#include "sync/eventstore/SYNBaselineConsolidator.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNRebaser.h"
#include "sync/mesh/SYNPersistentStoreImporter.h"

namespace {

// The live meshes, by store file and by event-store directory.
struct Registry {
    plat::Mutex mutex;
    std::set<std::string> storePaths GUARDED_BY(mutex);
    std::set<std::string> directories GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

std::string standardizedPath(const std::string& path) {
    return plat::URL::fileURLWithPath(path).URLByStandardizingPath().path();
}

}  // namespace

std::shared_ptr<SYNPersistentStoreMesh> SYNPersistentStoreMesh::create(Configuration configuration) {
    auto& reg = registry();
    std::string storeKey = standardizedPath(configuration.persistentStorePath);
    {
        plat::MutexLock lock(reg.mutex);
        if (reg.storePaths.count(storeKey)) {
            lock.unlock();  // the log function is the application's
            SYN_LOG(1,
                    "Attempt to create a Mesh for a persistent store for which a mesh is already active: %@. "
                    "Call "
                    "'dismantle' if you want to stop using a Mesh.",
                    configuration.persistentStorePath);
            return nullptr;
        }
        if (!configuration.managedObjectModel || !configuration.cloudFileSystem) {
            lock.unlock();
            SYN_LOG(1, "A mesh needs a model and a cloud file system");
            return nullptr;
        }
        // The directory check comes before the event store is opened, so that
        // a refused mesh never opens (or wipes) a live mesh's data.
        auto root = configuration.localDataRootDirectory.value_or(
            SYNEventStore::defaultPathToEventDataRootDirectory());
        auto directory =
            SYNEventStore::pathToEventDataRootDirectoryForRootDirectory(root, configuration.meshIdentifier);
        if (!directory) {
            lock.unlock();
            SYN_LOG(1, "Invalid mesh identifier: %@", configuration.meshIdentifier);
            return nullptr;
        }
        if (reg.directories.count(standardizedPath(*directory))) {
            lock.unlock();
            SYN_LOG(1,
                    "Attempt to create a Mesh that wants to use the same local data directory as another "
                    "mesh: %@",
                    *directory);
            return nullptr;
        }
        reg.storePaths.insert(storeKey);
        reg.directories.insert(standardizedPath(*directory));
    }
    std::shared_ptr<SYNPersistentStoreMesh> mesh(new SYNPersistentStoreMesh(std::move(configuration)));
    mesh->registeredStorePath_ = true;
    auto root =
        mesh->config_.localDataRootDirectory.value_or(SYNEventStore::defaultPathToEventDataRootDirectory());
    mesh->registeredDirectory_ = standardizedPath(
        *SYNEventStore::pathToEventDataRootDirectoryForRootDirectory(root, mesh->meshIdentifier()));
    if (!mesh->setupEventStore()) {
        mesh->dismantle();
        return nullptr;
    }
    if (mesh->eventStore_->containsEventData() && !mesh->eventStore_->isEnlistComplete()) {
        // An enlist was killed part-way: its event data cover only part of
        // the store, and a merge over them would delete every object they
        // miss. The data go; the store stays as it is, not enlisted, and the
        // next enlist starts afresh.
        SYN_LOG(1, "Found the event data of an enlist that did not finish: removing them");
        if (auto error = mesh->eventStore_->removeEventStore()) {
            SYN_LOG(1, "Could not remove the event data of the unfinished enlist: %@", error);
        }
    }
    mesh->enlisted_ = mesh->hasCompleteEventData();
    if (mesh->enlisted_) {
        mesh->eventStore_->removeUnusedDataWithCompletion(nullptr);
    }
    // The saves this launch inherits; those the new monitor starts are its own.
    mesh->tokensAtLaunch_ = mesh->eventStore_->incompleteMandatoryEventIdentifiers();
    mesh->saveMonitor_ = SYNSaveMonitor::create(mesh->persistentStorePath(), mesh->eventStore_, mesh);
    mesh->cloudManager_ = SYNCloudManager::create(mesh->eventStore_, mesh->config_.cloudFileSystem,
                                                  mesh->config_.managedObjectModel);
    mesh->rebaser_ = std::make_shared<SYNRebaser>(mesh->eventStore_, mesh);
    mesh->consolidator_ = std::make_shared<SYNBaselineConsolidator>(mesh->eventStore_, mesh);
    mesh->integration_ = mesh->config_.makeEventIntegration ? mesh->config_.makeEventIntegration(mesh)
                                                            : mesh->makeEventIntegrator();
    mesh->performInitialChecks();
    return mesh;
}

SYNPersistentStoreMesh::SYNPersistentStoreMesh(Configuration configuration)
    : config_(std::move(configuration)) {
    proceduralQueue_ = std::make_shared<plat::dispatch::OperationQueue>("SYNPersistentStoreMesh.procedural");
    proceduralQueue_->setMaxConcurrentOperationCount(1);
    proceduralQueue_->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    workerQueue_ = std::make_shared<plat::dispatch::OperationQueue>("SYNPersistentStoreMesh.worker");
    workerQueue_->setMaxConcurrentOperationCount(4);
    workerQueue_->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
}

SYNPersistentStoreMesh::~SYNPersistentStoreMesh() {
    dismantle();
}

bool SYNPersistentStoreMesh::setupEventStore() {
    const auto& root = config_.localDataRootDirectory;
    eventStore_ = SYNEventStore::create(meshIdentifier(), root, config_.eventStoreType);
    if (eventStore_) {
        return true;
    }
    SYN_LOG(1, "Failed to create event store. Serious error, so removing local data.");
    auto directory = SYNEventStore::pathToEventDataRootDirectoryForRootDirectory(
        root.value_or(SYNEventStore::defaultPathToEventDataRootDirectory()), meshIdentifier());
    if (directory && plat::FileManager::defaultManager().fileExistsAtPath(*directory)) {
        if (auto error = plat::FileManager::defaultManager().removeItemAtPath(*directory)) {
            SYN_LOG(1, "Attempt to remove corrupt mesh data failed. Giving up: %@", error);
            return false;
        }
    }
    eventStore_ = SYNEventStore::create(meshIdentifier(), root, config_.eventStoreType);
    if (!eventStore_) {
        SYN_LOG(1, "Attempt to remove create event store failed again. Giving up.");
        return false;
    }
    return true;
}

void SYNPersistentStoreMesh::dismantle() {
    if (dismantled_.exchange(true)) {
        return;
    }
    {
        auto& reg = registry();
        plat::MutexLock lock(reg.mutex);
        if (registeredStorePath_) {
            reg.storePaths.erase(standardizedPath(config_.persistentStorePath));
        }
        if (!registeredDirectory_.empty()) {
            reg.directories.erase(registeredDirectory_);
        }
    }
    if (eventStore_) {
        eventStore_->dismantle();
    }
    if (importSaveObserver_) {
        plat::NotificationCenter::defaultCenter().removeObserver(*importSaveObserver_);
        importSaveObserver_.reset();
    }
    plat::NotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
    if (saveMonitor_) {
        saveMonitor_->stopMonitoring();
    }
}

bool SYNPersistentStoreMesh::hasCompleteEventData() const {
    return eventStore_->containsEventData() && eventStore_->isEnlistComplete();
}

std::shared_ptr<const void> SYNPersistentStoreMesh::selfObject() const {
    return weak_from_this().lock();
}

// Start-up checks

void SYNPersistentStoreMesh::performInitialChecks() {
    // Saves whose events a killed process did not store are recorded first,
    // before the application can save or merge anything: their events then
    // take the revision numbers they would have had, and no merge runs
    // without them. The intents hold all they need (the global identifiers
    // the application gave the inserted objects included).
    if (isEnlisted() && !tokensAtLaunch_.empty() &&
        !eventStore_->incompleteEventIdentifiersWithRecordedIntent().empty()) {
        if (auto error = saveMonitor_->recordInterruptedSaves(tokensAtLaunch_, config_.managedObjectModel,
                                                              config_.persistentStoreOptions)) {
            SYN_LOG(1, "Could not record every interrupted save: %@", error);
        }
    }
    finishInitialChecks();
}

void SYNPersistentStoreMesh::finishInitialChecks() {
    if (checkIncompleteEvents() && isEnlisted()) {
        std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
        plat::dispatch::Queue::main().async([weak] {
            if (auto self = weak.lock()) {
                self->checkCloudFileSystemIdentityWithCompletion([](plat::ErrorPtr error) {
                    if (error) {
                        SYN_LOG(1, "Identity check failed: %@", error);
                    }
                });
            }
        });
    }
}

bool SYNPersistentStoreMesh::checkIncompleteEvents() {
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    // Only the saves of an earlier process count: the tokens of saves this
    // process made meanwhile belong to events still being stored.
    auto registered = eventStore_->incompleteMandatoryEventIdentifiers();
    const std::set<std::string> open(registered.begin(), registered.end());
    bool unsettled = false;
    for (const auto& token : tokensAtLaunch_) {
        unsettled = unsettled || open.count(token) > 0;
    }
    if (!unsettled) {
        auto store = eventStore_;
        proceduralQueue_->addOperationWithBlock([store] {
            if (auto error = store->removeInterruptedEvents()) {
                SYN_LOG(1, "Failed to delete incomplete events: %@", error);
            }
        });
        return true;
    }
    // The delist is queued at once, ahead of any activity the application
    // asks for next: a merge that ran first would integrate without the
    // interrupted save's event, and a full integration then deletes the
    // objects that save inserted from the application store, before the
    // enlist that follows the delist could import them.
    if (!isEnlisted()) {
        return false;
    }
    // Merges refuse the store until the delist has run.
    saveMonitor_->noteLostSaveEventOfStore(eventStore_->persistentStoreIdentifier().value_or(""));
    delistPersistentStoreWithCompletion([weak](plat::ErrorPtr error) {
        auto self = weak.lock();
        if (error) {
            SYN_LOG(1, "Could not delist after failing incomplete event check: %@", error);
        } else if (self) {
            if (auto delegate = self->liveDelegate()) {
                delegate->persistentStoreMeshDidDelistWithError(*self,
                                                                SYNMakeError(SYNErrorIncompleteEventData));
            }
        }
    });
    return false;
}

// Notifications

void SYNPersistentStoreMesh::postDidBeginActivity(uint64_t activity) {
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNPersistentStoreMeshDidBeginActivityNotification, selfObject(),
        plat::Dictionary{{SYNMeshActivityKey, plat::Value(activity)}});
}

void SYNPersistentStoreMesh::postWillEndActivity(uint64_t activity, const plat::ErrorPtr& error) {
    plat::Dictionary info{{SYNMeshActivityKey, plat::Value(activity)}};
    if (error) {
        info.set(SYNActivityErrorKey, plat::Value(error));
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNPersistentStoreMeshWillEndActivityNotification, selfObject(), info);
}

void SYNPersistentStoreMesh::updateActivityProgress(float fraction, const plat::Value& phase) {
    auto& center = plat::NotificationCenter::defaultCenter();
    // Updated dozens of times a merge, and most meshes have nobody following
    // their progress: unobserved, it is only kept, and kept at once, without
    // a hop to the main thread, unless an earlier update is still on its way
    // there (it would then overwrite this one).
    if (progressPostsPending_.load() == 0 &&
        !center.hasObserver(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification, this)) {
        activityProgress_ = fraction;
        SYN_LOG(4, "Made progress: %f", fraction);
        return;
    }
    uint64_t activity = currentActivity_;
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    ++progressPostsPending_;
    plat::dispatch::Queue::main().async([weak, fraction, phase, activity] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        struct Arrived {
            std::atomic<uint64_t>& pending;
            ~Arrived() { --pending; }
        } arrived{self->progressPostsPending_};
        self->activityProgress_ = fraction;
        SYN_LOG(4, "Made progress: %f", fraction);
        auto& center = plat::NotificationCenter::defaultCenter();
        if (!center.hasObserver(SYNPersistentStoreMeshDidMakeProgressWithActivityNotification, self.get())) {
            return;
        }
        // The entries are moved in, their keys known to differ.
        plat::Dictionary::Entries entries;
        entries.reserve(3);
        entries.emplace_back(SYNProgressFractionKey, plat::Value(static_cast<double>(fraction)));
        entries.emplace_back(SYNMeshActivityKey, plat::Value(activity));
        if (!phase.isNull()) {
            entries.emplace_back(SYNActivityPhaseKey, phase);
        }
        center.postNotificationName(
            SYNPersistentStoreMeshDidMakeProgressWithActivityNotification, self,
            plat::Dictionary::fromEntries(std::move(entries), plat::Dictionary::KeysAre::Distinct));
    });
}

void SYNPersistentStoreMesh::dispatchCompletion(SYNCompletion completion, plat::ErrorPtr error) {
    if (!completion) {
        return;
    }
    plat::dispatch::Queue::main().async([completion = std::move(completion), error] { completion(error); });
}

// Services

plat::Value SYNPersistentStoreMesh::modelVersionHash() const {
    if (compressModelHashes) {
        return plat::Value(syn_compressedModelHash(*config_.managedObjectModel));
    }
    return syn_entityHashesPropertyList(*config_.managedObjectModel);
}

std::optional<std::string> SYNPersistentStoreMesh::modelVersionIdentifier() const {
    auto identifiers = config_.managedObjectModel->versionIdentifiers();
    if (identifiers.empty()) {
        return std::nullopt;
    }
    return *identifiers.begin();
}

std::vector<std::optional<std::string>> SYNPersistentStoreMesh::globalIdentifiersForManagedObjects(
    const std::vector<plat::coredata::ManagedObjectPtr>& objects) const {
    if (auto delegate = liveDelegate()) {
        return delegate->persistentStoreMeshGlobalIdentifiersForManagedObjects(
            const_cast<SYNPersistentStoreMesh&>(*this), objects);
    }
    return {};
}

bool SYNPersistentStoreMesh::mayGiveGlobalIdentifiers() const {
    return liveDelegate() != nullptr;
}

// Class operations

void SYNPersistentStoreMesh::retrieveMeshIdentifiersFromCloudFileSystem(
    const std::shared_ptr<SYNCloudFileSystem>& fileSystem,
    std::function<void(plat::ErrorPtr, std::vector<std::string>)> completion) {
    fileSystem->connect([fileSystem, completion](plat::ErrorPtr error) {
        if (error) {
            completion(error, {});
            return;
        }
        auto list = [fileSystem, completion] {
            fileSystem->contentsOfDirectoryAtPath(
                "/", [completion](SYNCloudItems items, plat::ErrorPtr error) {
                    std::vector<std::string> names;
                    for (const auto& item : items) {
                        names.push_back(item->name());
                    }
                    completion(error, error ? std::vector<std::string>{} : names);
                });
        };
        if (!fileSystem->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity)) {
            list();
            return;
        }
        fileSystem->primeForActivityWithCompletion([completion, list](plat::ErrorPtr error) {
            if (error) {
                completion(error, {});
            } else {
                list();
            }
        });
    });
}

void SYNPersistentStoreMesh::removeMeshWithIdentifier(const std::string& identifier,
                                                      const std::shared_ptr<SYNCloudFileSystem>& fileSystem,
                                                      SYNCompletion completion) {
    std::string path = "/" + identifier;
    fileSystem->connect([fileSystem, path, completion](plat::ErrorPtr error) {
        if (error) {
            if (completion)
                completion(error);
            return;
        }
        auto remove = [fileSystem, path, completion] {
            fileSystem->removeItemAtPath(path, [completion](plat::ErrorPtr error) {
                if (completion)
                    completion(error);
            });
        };
        if (!fileSystem->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity)) {
            remove();
            return;
        }
        fileSystem->primeForActivityWithCompletion([completion, remove](plat::ErrorPtr error) {
            if (error) {
                if (completion)
                    completion(error);
            } else {
                remove();
            }
        });
    });
}

// Enlist

SYNProcedureStep::Ptr SYNPersistentStoreMesh::newStep(
    double phase, double weight, std::function<void(const SYNProcedureStep::Ptr&, SYNCompletion)> body) {
    auto step = SYNProcedureStep::create();
    step->representedObject = plat::Value(static_cast<int64_t>(phase));
    step->setProgressWeight(weight);
    step->executionBlock = std::move(body);
    return step;
}

SYNProcedure::Ptr SYNPersistentStoreMesh::newEnlistProcedure(uint64_t seedPolicy) {
    auto self = shared_from_this();
    auto fs = config_.cloudFileSystem;
    auto procedure = SYNProcedure::create();
    // EnlistSetup
    procedure->addProcedureStep(newStep(1, 1.0, [self](const auto&, SYNCompletion done) {
        self->setNonCriticalErrorCodes({});
        if (self->isEnlisted()) {
            done(SYNMakeError(SYNErrorEnlistState));
            return;
        }
        self->enlisting_ = true;
        self->freedMemoryLookDue_ = true;  // the store's import frees what it read
        self->currentActivity_ = SYNMeshActivityEnlisting;
        self->postDidBeginActivity(SYNMeshActivityEnlisting);
        done(nullptr);
    }));
    // Connect
    procedure->addProcedureStep(
        newStep(1, 1.0, [fs](const auto&, SYNCompletion done) { fs->connect(done); }));
    // PrimeCloudFileSystemForEnlist
    auto prime =
        newStep(1, 1.0, [fs](const auto&, SYNCompletion done) { fs->primeForActivityWithCompletion(done); });
    prime->setEnabled(fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity));
    procedure->addProcedureStep(prime);
    // InitialPreparation
    auto prepare =
        newStep(1, 1.0, [fs](const auto&, SYNCompletion done) { fs->performInitialPreparation(done); });
    prepare->setEnabled(fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PerformInitialPreparation));
    procedure->addProcedureStep(prepare);
    // RemoteStructure
    procedure->addProcedureStep(newStep(2, 5.0, [self](const auto&, SYNCompletion done) {
        self->cloudManager_->setup();
        self->cloudManager_->createRemoteDirectoryStructureWithCompletion(done);
    }));
    // EventStore
    procedure->addProcedureStep(newStep(3, 1.0, [self, fs](const auto&, SYNCompletion done) {
        fs->fetchUserIdentityWithCompletion([self, done](plat::Value token, plat::ErrorPtr error) {
            if (error) {
                done(error);
                return;
            }
            plat::dispatch::Queue::main().async([self, done, token] {
                self->eventStore_->setCloudFileSystemIdentityToken(token);
                auto prepareError = self->eventStore_->prepareNewEventStore();
                self->enlisted_ = !prepareError;
                done(prepareError);
            });
        });
    }));
    // ImportStore
    auto importer = std::make_shared<SYNPersistentStoreImporter>(config_.persistentStorePath,
                                                                 config_.managedObjectModel, eventStore_);
    importer->persistentStoreOptions = config_.persistentStoreOptions;
    importer->importPersistentStoreData = seedPolicy == 0;
    importer->mesh = std::static_pointer_cast<SYNMeshServices>(self);
    auto importStep = newStep(4, 50.0, [self, importer](const auto&, SYNCompletion done) {
        self->saveOccurredDuringImport_ = false;
        self->beginObservingSaveNotifications();
        if (auto delegate = self->liveDelegate()) {
            delegate->persistentStoreMeshWillImportStore(*self);
        }
        importer->importWithCompletion([self, done](plat::ErrorPtr error) {
            self->endObservingSaveNotifications();
            if (!error) {
                self->eventStore_->setIdentifierOfBaselineUsedToConstructStore(
                    self->eventStore_->currentBaselineIdentifier());
                if (auto delegate = self->liveDelegate()) {
                    delegate->persistentStoreMeshDidImportStore(*self);
                }
            }
            done(error);
        });
    });
    importStep->setTotalUnitCount(importer->numberOfProgressUnits());
    std::weak_ptr<SYNProcedureStep> weakImportStep = importStep;
    importer->progressUnitsCompletionBlock = [weakImportStep](uint64_t units) {
        if (auto step = weakImportStep.lock()) {
            step->addUnitsCompleted(units);
        }
    };
    procedure->addProcedureStep(importStep);
    // CompleteEnlist
    procedure->addProcedureStep(newStep(5, 1.0, [self](const auto&, SYNCompletion done) {
        if (self->saveOccurredDuringImport_) {
            done(SYNMakeError(SYNErrorSaveOccurredDuringEnlist));
            return;
        }
        auto identifier = self->eventStore_->persistentStoreIdentifier().value_or("");
        plat::Dictionary info{{"storeIdentifier", plat::Value(identifier)},
                              {"enlistDate", plat::Value(plat::Date::now())}};
        self->cloudManager_->setRegistrationInfo(info, identifier, done);
    }));
    return procedure;
}

void SYNPersistentStoreMesh::beginObservingSaveNotifications() {
    endObservingSaveNotifications();
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    std::string storePath = standardizedPath(config_.persistentStorePath);
    importSaveObserver_ = plat::NotificationCenter::defaultCenter().addObserver(
        this, plat::coredata::ManagedObjectContextWillSaveNotification, nullptr,
        [weak, storePath](const plat::Notification& notification) {
            auto self = weak.lock();
            auto context =
                std::static_pointer_cast<const plat::coredata::ManagedObjectContext>(notification.object);
            if (!self || !context) {
                return;
            }
            auto coordinator = context->persistentStoreCoordinator();
            if (!coordinator) {
                return;
            }
            for (const auto& store : coordinator->persistentStores()) {
                if (store->URL() && store->URL()->URLByStandardizingPath().path() == storePath) {
                    self->saveOccurredDuringImport_ = true;
                }
            }
        });
}

void SYNPersistentStoreMesh::endObservingSaveNotifications() {
    if (importSaveObserver_) {
        plat::NotificationCenter::defaultCenter().removeObserver(*importSaveObserver_);
        importSaveObserver_.reset();
    }
}

void SYNPersistentStoreMesh::enlistPersistentStoreWithCompletion(SYNCompletion completion) {
    enlistPersistentStoreWithSeedPolicy(0, std::move(completion));
}

void SYNPersistentStoreMesh::enlistPersistentStoreWithSeedPolicy(uint64_t seedPolicy,
                                                                 SYNCompletion completion) {
    SYN_LOG(3, "Beginning enlist");
    auto self = shared_from_this();
    auto procedure = newEnlistProcedure(seedPolicy);
    std::weak_ptr<SYNProcedure> weakProcedure = procedure;
    procedure->setProgressUpdateBlock([weak = weak_from_this(), weakProcedure] {
        auto self = weak.lock();
        auto procedure = weakProcedure.lock();
        if (!self || !procedure) {
            return;
        }
        auto step = procedure->currentProcedureStep();
        self->updateActivityProgress(static_cast<float>(procedure->progress()),
                                     step ? step->representedObject : plat::Value());
    });
    procedure->proceedInOperationQueue(proceduralQueue_, [self, completion](plat::ErrorPtr error) {
        if (!error) {
            // Only now does the event data count as enlisted across restarts.
            error = self->eventStore_->markEnlistComplete();
        }
        if (error) {
            SYN_LOG(1, "Error caused enlist to fail: %@", error);
            if (!SYNErrorHasCode(error, SYNErrorEnlistState)) {
                if (auto removal = self->eventStore_->removeEventStore())
                    SYN_LOG(1, "Could not remove the event data of the failed enlist: %@", removal);
            }
        }
        if (self->enlisting_) {
            self->postWillEndActivity(SYNMeshActivityEnlisting, error);
        }
        self->enlisting_ = false;
        self->enlisted_ = self->hasCompleteEventData();
        self->currentActivity_ = SYNMeshActivityNone;
        if (completion) {
            completion(error);
        }
        SYN_LOG(3, "Completed enlist");
    });
}

// Delist

void SYNPersistentStoreMesh::delistPersistentStoreWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Enqueuing delist");
    delistIsQueued_ = true;
    auto self = shared_from_this();
    auto began = std::make_shared<bool>(false);
    auto task = [self, began](SYNTaskCompletion next) {
        self->setNonCriticalErrorCodes({});
        if (!self->isEnlisted()) {
            // Whatever an unfinished enlist left; the delist fails either way.
            if (auto removal = self->eventStore_->removeEventStore())
                SYN_LOG(1, "Could not remove the event data of an unfinished enlist: %@", removal);
            self->delistIsQueued_ = false;
            next(SYNMakeError(SYNErrorEnlistState), false);
            return;
        }
        SYN_LOG(3, "Beginning delist");
        self->delisting_ = true;
        self->currentActivity_ = SYNMeshActivityDelisting;
        self->activityProgress_ = 0.0f;
        self->postDidBeginActivity(SYNMeshActivityDelisting);
        *began = true;
        self->eventStore_->removeEventStoreWithCompletion([self, next](plat::ErrorPtr error) {
            self->enlisted_ = self->hasCompleteEventData();
            self->delistIsQueued_ = false;
            next(error, false);
        });
    };
    auto queue = std::make_shared<SYNAsynchronousTaskQueue>(
        SYNTask(task), [self, began, completion](plat::ErrorPtr error) {
            self->activityProgress_ = 1.0f;
            self->delisting_ = false;
            self->currentActivity_ = SYNMeshActivityNone;
            // A cancelled queue never ran the task; the request is over anyway.
            self->delistIsQueued_ = false;
            if (*began) {
                self->postWillEndActivity(SYNMeshActivityDelisting, error);
            }
            dispatchCompletion(completion, error);
            SYN_LOG(3, "Completed delist");
        });
    proceduralQueue_->addOperation(queue);
}

void SYNPersistentStoreMesh::forceDelistDueToError(const plat::ErrorPtr& error) {
    plat::dispatch::Queue::main().assertCurrent();
    SYN_LOG(3, "Forcing delist due to error: %@", error);
    if (!isEnlisted()) {
        return;
    }
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    delistPersistentStoreWithCompletion([weak, error](plat::ErrorPtr delistError) {
        auto self = weak.lock();
        if (delistError) {
            SYN_LOG(1, "Could not force delist");
            return;
        }
        if (self) {
            if (auto delegate = self->liveDelegate()) {
                delegate->persistentStoreMeshDidDelistWithError(*self, error);
            }
        }
    });
}

void SYNPersistentStoreMesh::delistAfterLostSaveEvent(const std::string& storeIdentifier) {
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    plat::dispatch::Queue::main().async([weak, storeIdentifier] {
        auto self = weak.lock();
        if (self && !self->dismantled_ && self->isEnlisted() &&
            self->eventStore_->persistentStoreIdentifier() == storeIdentifier) {
            self->forceDelistDueToError(SYNMakeError(SYNErrorIncompleteEventData));
        }
    });
}

plat::ErrorPtr SYNPersistentStoreMesh::lostSaveEventError() const {
    if (!saveMonitor_ || !saveMonitor_->lostSaveEventOfStore(eventStore_->persistentStoreIdentifier())) {
        return nullptr;
    }
    return SYNMakeError(SYNErrorIncompleteEventData,
                        "A save of the store could not be recorded; the store is being delisted.");
}

void SYNPersistentStoreMesh::checkCloudFileSystemIdentityWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Checking identity in cloud system");
    auto self = shared_from_this();
    config_.cloudFileSystem->fetchUserIdentityWithCompletion(
        [self, completion](plat::Value token, plat::ErrorPtr fetchError) {
            auto recorded = self->eventStore_->cloudFileSystemIdentityToken();
            bool identityMatches = token.isNull() || token == recorded;
            auto storeIdentifier = self->eventStore_->persistentStoreIdentifier().value_or("");
            auto hardware = SYNEventStore::hardwareIdentifier();
            bool hardwareMatches = storeIdentifier.find('|') == std::string::npos ||
                                   storeIdentifier.find(hardware) != std::string::npos;
            if (!self->isEnlisted() || fetchError || (identityMatches && hardwareMatches)) {
                SYN_LOG(4, "Passed identity check with identity: %@", recorded);
                dispatchCompletion(completion, nullptr);
                return;
            }
            plat::ErrorPtr error;
            if (!identityMatches) {
                auto message =
                    plat::format("Cloud identity changed from %@ to %@. Forced to delist", recorded, token);
                SYN_LOG(1, "%@", message);
                error = SYNMakeError(SYNErrorCloudIdentityChanged, message);
            } else {
                SYN_LOG(1, "Hardware identity changed from %@ to %@. Forced to delist", storeIdentifier,
                        hardware);
                error = SYNMakeError(SYNErrorForeignHardwareIdentifier,
                                     plat::format("Hardware identity changed in %@ to %@. Forced to delist",
                                                  storeIdentifier, hardware));
            }
            // The mesh's state belongs to the main thread: queue the delist there.
            // It still lands behind the activity that ran the check, which holds
            // the procedural queue.
            plat::dispatch::Queue::main().async([self, error] { self->forceDelistDueToError(error); });
            if (completion) {
                completion(error);
            }
        });
}

void SYNPersistentStoreMesh::checkStoreRegistrationInCloudWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Checking registration info");
    if (!eventStore_->verifiesStoreRegistrationInCloud()) {
        dispatchCompletion(completion, nullptr);
        return;
    }
    auto self = shared_from_this();
    cloudManager_->checkExistenceOfRegistrationInfoForStoreWithIdentifier(
        eventStore_->persistentStoreIdentifier().value_or(""),
        [self, completion](bool exists, plat::ErrorPtr error) {
            if (!error && !exists) {
                auto missing = SYNMakeError(SYNErrorStoreUnregistered);
                plat::dispatch::Queue::main().async(
                    [self, missing] { self->forceDelistDueToError(missing); });
                if (completion) {
                    completion(missing);
                }
                return;
            }
            dispatchCompletion(completion, nullptr);
        });
}
