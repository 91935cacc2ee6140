// The merge flow of the event integrator: set-up, choosing the events, the
// merge event, save monitoring, the save passes and the two endings.
// Applying the chosen events is in SYNEventIntegratorApply.cpp.
#include "sync/integration/SYNEventIntegrator.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNImportedChanges.h"

using plat::Value;
using plat::coredata::ConcurrencyType;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::PersistentStoreCoordinator;
using plat::coredata::Predicate;

namespace {

constexpr int64_t kMergeConflictErrorCode = 133020;

plat::ErrorPtr exceptionError(const std::string& reason) {
    return plat::Error::make(SYNErrorDomain, SYNErrorUnknown,
                             plat::Dictionary{{plat::LocalizedFailureReasonErrorKey, Value(reason)}});
}

bool hasChangesIn(ManagedObjectContext& context) {
    bool changes = false;
    context.performBlockAndWait([&] { changes = context.hasChanges(); });
    return changes;
}

std::shared_ptr<ManagedObjectContext> makeMarkedContext() {
    auto context = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    context->setUserInfo(plat::Dictionary{{SYNBelongsToEventIntegratorKey, Value(true)}});
    return context;
}

SYNManagedObjectIDs idsOf(const SYNManagedObjects& objects) {
    SYNManagedObjectIDs ids;
    ids.reserve(objects.size());
    for (const auto& object : objects) {
        ids.push_back(object->objectID());
    }
    return ids;
}

// Whether the import of this merge handed over records of a change of one of
// the events. Its records stand for stored rows (it gives up on any other
// write of them), so such a change is stored; with nothing unsaved in the
// event store's context, a fetch of the events' changes would find it too.
// False says nothing: the store is asked then.
bool importHoldsChangesOf(ManagedObjectContext& context, const SYNManagedObjectIDs& eventIDs) {
    auto coordinator = context.persistentStoreCoordinator();
    auto handOff = coordinator ? SYNImportedChanges::find(*coordinator) : nullptr;
    if (!handOff || !handOff->usable() || context.hasChanges()) {
        return false;
    }
    SYNManagedObjectIDs missing;
    return handOff->count(eventIDs, missing) > 0;
}

// Whether an entity of the model is merged in batches saved on the way.
bool modelSavesBatches(const plat::coredata::ManagedObjectModel& model) {
    const auto entities = model.entities();
    return std::any_of(entities.begin(), entities.end(),
                       [](const auto& entity) { return syn_migrationBatchSize(*entity) != 0; });
}

}  // namespace

struct SYNEventIntegrator::EventSelection {
    // nullopt: nothing is uncommitted (an incremental merge with nothing to do).
    std::optional<SYNManagedObjectIDs> eventIDs;
    bool full = false;
    ManagedObjectIDPtr baselineID;
};

std::shared_ptr<SYNEventIntegrator> SYNEventIntegrator::create(
    const plat::URL& storeURL, std::shared_ptr<plat::coredata::ManagedObjectModel> model,
    std::shared_ptr<SYNEventStore> eventStore) {
    return std::shared_ptr<SYNEventIntegrator>(
        new SYNEventIntegrator(storeURL, std::move(model), std::move(eventStore)));
}

SYNEventIntegrator::SYNEventIntegrator(const plat::URL& storeURL,
                                       std::shared_ptr<plat::coredata::ManagedObjectModel> model,
                                       std::shared_ptr<SYNEventStore> eventStore)
    : storeURL_(storeURL),
      model_(std::move(model)),
      eventStore_(std::move(eventStore)),
      savesBatches_(modelSavesBatches(*model_)),
      queue_(std::make_shared<plat::dispatch::OperationQueue>("SYNEventIntegrator")) {
    queue_->setMaxConcurrentOperationCount(1);
    queue_->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
    // The hand-off, for the first merge's import.
    auto context = eventStore_->managedObjectContext();
    importedChanges_ =
        SYNImportedChanges::forCoordinator(context ? context->persistentStoreCoordinator() : nullptr);
}

SYNEventIntegrator::~SYNEventIntegrator() {
    queue_->cancelAllOperations();
    stopMonitoringSaves();
}

std::shared_ptr<ManagedObjectContext> SYNEventIntegrator::managedObjectContext() const {
    plat::MutexLock lock(contextMutex_);
    return managedObjectContext_;
}

uint64_t SYNEventIntegrator::numberOfProgressUnits() const {
    return 2 * static_cast<uint64_t>(model_->entities().size());
}

void SYNEventIntegrator::report(uint64_t units) {
    if (progressBlock_) {
        progressBlock_(units);
    }
}

plat::ErrorPtr SYNEventIntegrator::checkPoint(std::string_view point) {
    if (cancelled_.load()) {
        return SYNMakeError(SYNErrorCancelled, "The merge was cancelled");
    }
    if (testHook_) {
        return testHook_(point);
    }
    return nullptr;
}

// --- Save monitoring -----------------------------------------------------------

void SYNEventIntegrator::startMonitoringSaves() {
    stopMonitoringSaves();
    std::weak_ptr<SYNEventIntegrator> weak = weak_from_this();
    {
        // Each merge finds again which file its store URL names (the file may
        // have been replaced, or links changed).
        plat::MutexLock lock(resolvedPathsMutex_);
        ourFile_.reset();
    }
    auto observe = [weak](const plat::Notification& notification) {
        if (auto self = weak.lock()) {
            self->contextSaving(notification);
        }
    };
    // The observers are added before the lock is taken: the notification
    // center has a lock of its own.
    auto& center = plat::NotificationCenter::defaultCenter();
    auto willSave =
        center.addObserverForName(plat::coredata::ManagedObjectContextWillSaveNotification, nullptr, observe);
    auto didSave =
        center.addObserverForName(plat::coredata::ManagedObjectContextDidSaveNotification, nullptr, observe);
    plat::MutexLock lock(monitorMutex_);
    saveObservers_.push_back(std::move(willSave));
    saveObservers_.push_back(std::move(didSave));
}

void SYNEventIntegrator::stopMonitoringSaves() {
    std::vector<plat::ObserverToken> observers;
    {
        plat::MutexLock lock(monitorMutex_);
        observers.swap(saveObservers_);
    }
    for (const auto& observer : observers) {
        plat::NotificationCenter::defaultCenter().removeObserver(observer);
    }
    saveOccurredDuringMerge_.store(false);
}

void SYNEventIntegrator::contextSaving(const plat::Notification& notification) {
    if (!notification.object) {
        return;
    }
    // Only contexts post these notifications.
    const auto* context = static_cast<const ManagedObjectContext*>(notification.object.get());
    if (context->parentContext()) {
        return;
    }
    // userInfo() is a copy: keep it alive while its entry is read.
    const plat::Dictionary info = context->userInfo();
    const Value* mine = info.find(SYNBelongsToEventIntegratorKey);
    if (mine && mine->isBool() && *mine == Value(true)) {
        return;
    }
    auto coordinator = context->persistentStoreCoordinator();
    if (!coordinator) {
        return;
    }
    for (const auto& store : coordinator->persistentStores()) {
        if (store->URL() && storeWritesOurFile(store, *store->URL())) {
            saveOccurredDuringMerge_.store(true);
            return;
        }
    }
}

std::optional<SYNEventIntegrator::FileIdentity> SYNEventIntegrator::fileAtURL(const plat::URL& url) {
    if (!url.isFileURL()) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(url.path().c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

bool SYNEventIntegrator::storeWritesOurFile(const std::shared_ptr<plat::coredata::PersistentStore>& store,
                                            const plat::URL& url) {
    plat::MutexLock lock(resolvedPathsMutex_);
    // A file that cannot be found (gone, or not a file URL): the paths are
    // compared, links resolved.
    auto samePaths = [&] { return url.URLByStandardizingPath() == storeURL_.URLByStandardizingPath(); };
    if (!ourFile_) {
        ourFile_ = fileAtURL(storeURL_);
    }
    if (!*ourFile_) {
        return samePaths();
    }
    const std::string& text = url.absoluteString();
    auto seen = std::find_if(seenStores_.begin(), seenStores_.end(), [&](const SeenStore& entry) {
        return !entry.store.owner_before(store) && !store.owner_before(entry.store) && entry.url == text;
    });
    if (seen == seenStores_.end()) {
        auto file = fileAtURL(url);
        if (!file) {
            return samePaths();
        }
        std::erase_if(seenStores_, [](const SeenStore& entry) { return entry.store.expired(); });
        seen = seenStores_.insert(seenStores_.end(), SeenStore{store, text, *file});
    }
    return seen->file == **ourFile_;
}

// --- The merge -------------------------------------------------------------------

void SYNEventIntegrator::mergeEventsWithCompletion(Completion completion) {
    newEventUniqueId_.reset();
    cancelled_.store(false);
    auto coordinator = PersistentStoreCoordinator::create(model_);
    auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "", storeURL_,
                                                 persistentStoreOptions_);
    if (!added.ok()) {
        failWithCompletion(completion, added.error());
        return;
    }
    std::shared_ptr<ManagedObjectContext> staging;
    auto context = makeMarkedContext();
    if (savesBatches_) {
        staging = makeMarkedContext();
        staging->performBlockAndWait([&] { staging->setPersistentStoreCoordinator(coordinator); });
        context->performBlockAndWait([&] { context->setParentContext(staging); });
    } else {
        context->performBlockAndWait([&] { context->setPersistentStoreCoordinator(coordinator); });
    }
    {
        plat::MutexLock lock(contextMutex_);
        stagingContext_ = staging;
        managedObjectContext_ = context;
    }
    queue_->addOperationWithBlock([self = shared_from_this(), completion = std::move(completion),
                                   context = std::move(context)] { self->runMerge(completion, context); });
}

void SYNEventIntegrator::runMerge(const Completion& completion,
                                  const std::shared_ptr<ManagedObjectContext>& mergeContext) {
    bool clearFullIntegration = false;
    changesHeldForCommit_ = false;
    plat::ErrorPtr error;
    try {
        error = mergeOperation(clearFullIntegration);
    } catch (const std::exception& exception) {
        error = exceptionError(exception.what());
    } catch (...) {
        error = exceptionError("An unknown exception was thrown during the merge");
    }
    // Whatever the import handed over was for this merge only.
    dropImportedChanges();
    if (error && !savesBatches_) {
        // Unsaved merged changes are dropped, as they are with a staging
        // context.
        mergeContext->performBlockAndWait([&] { mergeContext->reset(); });
        changesHeldForCommit_ = false;
    }
    releaseStore(mergeContext);
    if (error) {
        failWithCompletion(completion, error);
    } else {
        completeSuccessfullyWithCompletion(completion, clearFullIntegration);
    }
}

void SYNEventIntegrator::releaseStore(const std::shared_ptr<ManagedObjectContext>& mergeContext) {
    // The records name objects, and hold the store, of this merge.
    changeCache_.reset();
    std::shared_ptr<ManagedObjectContext> context;
    std::shared_ptr<ManagedObjectContext> staging;
    {
        plat::MutexLock lock(contextMutex_);
        // A merge asked for meanwhile has put its own contexts here already.
        if (managedObjectContext_ != mergeContext) {
            return;
        }
        context = std::move(managedObjectContext_);
        staging = std::move(stagingContext_);
    }
    if (!storeFileHolder_) {
        // Opened while the merge's store is still open, so that it takes a
        // connection of its own.
        auto holder = PersistentStoreCoordinator::create(model_);
        auto added = holder->addPersistentStore(plat::coredata::SQLiteStoreType, "", storeURL_,
                                                persistentStoreOptions_);
        if (added.ok()) {
            storeFileHolder_ = std::move(holder);
        } else {
            SYN_LOG(2, "The store could not be held open between merges: %@", added.error());
        }
    }
    // Dropped outside the lock: the last reference closes the store.
    context.reset();
    staging.reset();
}

plat::ErrorPtr SYNEventIntegrator::mergeOperation(bool& clearFullIntegration) {
    SYNRevisionManager manager = revisionManagerForMerge();
    auto selection = storeModificationEventIDsForIntegration(manager);
    if (!selection.ok()) {
        return selection.error() ? selection.error()
                                 : SYNMakeError(SYNErrorUnknown, "The events could not be chosen");
    }
    if (!selection->eventIDs) {
        return nullptr;
    }
    std::set<int64_t> codes;
    auto integrable = integrableEventIDsFromEventIDs(*selection->eventIDs, codes, manager);
    manager.setSharesEventFetches(false);  // the checks are done: let go of the events they read
    if (!integrable.ok()) {
        return integrable.error();
    }
    if (!codes.empty()) {
        if (auto mesh = mesh_.lock()) {
            mesh->setNonCriticalErrorCodes(codes);
        }
    }
    if (selection->full && selection->baselineID &&
        std::none_of(integrable->begin(), integrable->end(),
                     [&](const ManagedObjectIDPtr& id) { return id->isEqual(*selection->baselineID); })) {
        // Integrating the events without the baseline would delete every
        // object the baseline holds; wait until it can be integrated.
        SYN_LOG(2, "The baseline cannot be integrated yet; full integration postponed");
        eventStore_->setNeedsFullIntegration(true);
        return nullptr;
    }
    auto needed = integrationIsNeededForEventIDs(*integrable, selection->full);
    if (!needed.ok()) {
        return needed.error();
    }
    if (!*needed) {
        report(numberOfProgressUnits());
        clearFullIntegration = true;
        return nullptr;
    }

    newEventUniqueId_ = plat::UUID::random().UUIDString();
    eventHoldsChanges_ = false;
    eventBuilder_ = std::make_shared<SYNEventBuilder>(eventStore_);
    eventBuilder_->setMesh(mesh_);
    auto revision = eventBuilder_->makeNewEventOfType(SYNStoreModificationEventTypeMerge, newEventUniqueId_);
    if (!revision.ok()) {
        return revision.error();
    }
    if (auto error = eventBuilder_->updateEventRevisionsAccountingForMergeOfEventIDs(*integrable)) {
        return error;
    }
    // The merge event's revisions of other stores are final now (nothing
    // later changes them) and still in memory: the event store's tallies
    // keep them once the event is saved complete (see
    // SYNRevisionManager::keepRevisionsOfMerge).
    std::optional<SYNRevisionSet> others;
    eventBuilder_->performBlockAndWait([&] {
        if (auto event = eventBuilder_->event()) {
            others = SYNStoreModificationEvent::revisionSetOfOtherStores(*event);
        }
    });
    if (auto error = integrateEventIDs(*integrable, selection->full)) {
        return error;
    }
    if (auto error = checkPoint("beforeCommit")) {
        return error;
    }
    if (saveOccurredDuringMerge_.load() || !checkUniquenessOfEventWithRevision(*revision)) {
        return SYNMakeError(SYNErrorSaveOccurredDuringMerge);
    }
    if (auto error = commitToStore()) {
        return error;
    }
    if (auto error = checkPoint("afterCommit")) {
        return error;
    }
    plat::ErrorPtr error;
    eventStore_->managedObjectContext()->performBlockAndWait([&] {
        error = eventBuilder_->finalizeNewEvent();
        if (error) {
            return;
        }
        const auto event = eventBuilder_->event();
        const auto eventID = event ? event->objectID() : nullptr;
        // The builder is done with the event: it is not read back.
        error = eventBuilder_->saveAndResetLast();
        if (!error && eventID && others) {
            SYNRevisionManager(eventStore_)
                .keepRevisionsOfMerge(*eventID, revision->revisionNumber, std::move(*others));
        }
    });
    if (error) {
        return error;
    }
    clearFullIntegration = true;
    return nullptr;
}

SYNRevisionManager SYNEventIntegrator::revisionManagerForMerge() {
    SYNRevisionManager manager(eventStore_);
    if (auto mesh = mesh_.lock()) {
        manager.setManagedObjectModelURL(mesh->managedObjectModelURL());
    }
    manager.setSharesEventFetches(true);
    // The events this merge's import stored are known to have no data-file
    // record while its hand-off saw none written: the check's look-up for
    // them is spared.
    manager.setEventsWithoutDataFiles([](const SYNManagedObjects& events) {
        auto context = events.front()->managedObjectContext();
        if (!context || context->hasChanges()) {
            return false;
        }
        auto coordinator = context->persistentStoreCoordinator();
        auto handOff = coordinator ? SYNImportedChanges::find(*coordinator) : nullptr;
        if (!handOff) {
            return false;
        }
        SYNManagedObjectIDs ids;
        ids.reserve(events.size());
        for (const auto& event : events) {
            if (event->managedObjectContext() != context) {
                return false;
            }
            ids.push_back(event->objectID());
        }
        return handOff->eventsHaveNoDataFiles(ids);
    });
    return manager;
}

bool SYNEventIntegrator::needsFullIntegration() {
    SYNRevisionManager manager(eventStore_);
    return needsFullIntegration(manager);
}

bool SYNEventIntegrator::needsFullIntegration(SYNRevisionManager& manager) {
    if (eventStore_->needsFullIntegration()) {
        return true;
    }
    auto used = eventStore_->identifierOfBaselineUsedToConstructStore();
    if (!used) {
        return true;
    }
    if (used != manager.currentBaselineIdentifier()) {
        return true;
    }
    auto notAbandoned = manager.checkThatLocalPersistentStoreHasNotBeenAbandoned();
    if (!notAbandoned.ok()) {
        SYN_LOG(1, "Error determining if store is abandoned: %@", notAbandoned.error());
        return true;
    }
    return !*notAbandoned;
}

plat::Result<SYNEventIntegrator::EventSelection> SYNEventIntegrator::storeModificationEventIDsForIntegration(
    SYNRevisionManager& manager) {
    SYN_LOG(3, "Determining events to include in integration");
    EventSelection selection;
    selection.full = needsFullIntegration(manager);
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store is not open");
    }
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        SYNManagedObjects events;
        if (selection.full) {
            auto nonBaseline =
                SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(*context);
            if (!nonBaseline.ok()) {
                error = nonBaseline.error();
                return;
            }
            auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
            if (!baseline.ok()) {
                error = baseline.error();
                return;
            }
            if (*baseline) {
                events.push_back(*baseline);
                selection.baselineID = (*baseline)->objectID();
            }
            events.insert(events.end(), nonBaseline->begin(), nonBaseline->end());
            SYN_LOG(3, "Baseline has changed. Will carry out full integration of the persistent store.");
        } else {
            auto uncommitted = manager.fetchUncommittedStoreModificationEvents();
            if (!uncommitted.ok()) {
                error = uncommitted.error();
                return;
            }
            if (uncommitted->empty()) {
                return;
            }
            auto widened = manager.recursivelyFetchStoreModificationEventsConcurrentWithEvents(*uncommitted);
            if (!widened.ok()) {
                error = widened.error();
                return;
            }
            events = *widened;
            const auto local = eventStore_->persistentStoreIdentifier();
            const bool allLocal =
                std::all_of(events.begin(), events.end(), [&](const ManagedObjectPtr& event) {
                    return local && SYNStoreModificationEvent::storeIdentifier(*event) == *local;
                });
            if (allLocal) {
                SYN_LOG(4, "All events are local. Won't integrate.");
                events.clear();
            }
        }
        selection.eventIDs = idsOf(events);
        SYN_LOG(4, "Including these events in the integration: %lu",
                static_cast<unsigned long>(events.size()));
    });
    if (error) {
        return error;
    }
    return selection;
}

plat::Result<SYNManagedObjectIDs> SYNEventIntegrator::integrableEventIDsFromEventIDs(
    const SYNManagedObjectIDs& eventIDs, std::set<int64_t>& codes, SYNRevisionManager& manager) {
    SYN_LOG(3, "Checking which events can be integrated");
    auto context = eventStore_->managedObjectContext();
    plat::ErrorPtr error;
    SYNManagedObjectIDs result;
    context->performBlockAndWait([&] {
        SYNManagedObjects events;
        for (const auto& id : eventIDs) {
            auto event = context->existingObjectWithID(id);
            if (!event.ok()) {
                error = event.error();
                return;
            }
            events.push_back(*event);
        }
        auto integrable = manager.integrableEventsFromEvents(events, codes);
        if (!integrable.ok()) {
            error = integrable.error();
            return;
        }
        result = idsOf(*integrable);
    });
    if (error) {
        return error;
    }
    return result;
}

plat::Result<bool> SYNEventIntegrator::integrationIsNeededForEventIDs(const SYNManagedObjectIDs& eventIDs,
                                                                      bool full) {
    SYN_LOG(3, "Checking if ready for integration");
    if (full) {
        return true;
    }
    auto context = eventStore_->managedObjectContext();
    plat::ErrorPtr error;
    bool needed = false;
    context->performBlockAndWait([&] {
        SYNManagedObjects events;
        for (const auto& id : eventIDs) {
            auto event = context->existingObjectWithID(id);
            if (!event.ok()) {
                error = event.error();
                return;
            }
            events.push_back(*event);
        }
        const auto local = eventStore_->persistentStoreIdentifier();
        const bool allLocal = std::all_of(events.begin(), events.end(), [&](const ManagedObjectPtr& event) {
            return local && SYNStoreModificationEvent::storeIdentifier(*event) == *local;
        });
        if (events.empty() || allLocal) {
            return;
        }
        if (importHoldsChangesOf(*context, eventIDs)) {
            needed = true;
            return;
        }
        auto any = SYNObjectChange::storeModificationEventsHaveObjectChanges(events, *context);
        if (!any.ok()) {
            error = any.error();
            return;
        }
        needed = *any;
    });
    if (error) {
        return error;
    }
    return needed;
}

bool SYNEventIntegrator::checkUniquenessOfEventWithRevision(const SYNRevision& revision) {
    auto context = eventStore_->managedObjectContext();
    bool unique = false;
    context->performBlockAndWait([&] {
        FetchRequest request(SYNStoreModificationEventEntityName);
        request.predicate = Predicate::andPredicate(
            {Predicate::equal("eventRevision.persistentStoreIdentifier",
                              Value(revision.persistentStoreIdentifier)),
             Predicate::equal("eventRevision.revisionNumber", Value(revision.revisionNumber)),
             Predicate::notEqual("type", Value(int64_t{SYNStoreModificationEventTypeBaseline}))});
        auto count = context->countForFetchRequest(request);
        if (!count.ok()) {
            SYN_LOG(1, "Could not get count of revisions: %@", count.error());
            return;
        }
        unique = *count == 1;
    });
    return unique;
}

// --- Saving ----------------------------------------------------------------------

plat::ErrorPtr SYNEventIntegrator::addRepairsToEvent(Context& reparation) {
    eventHoldsChanges_ = true;
    return eventBuilder_->addChangesForUnsavedManagedObjectContext(reparation);
}

std::shared_ptr<ManagedObjectContext> SYNEventIntegrator::makeReparationContext() {
    auto reparation = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    auto parent = managedObjectContext();
    reparation->performBlockAndWait([&] { reparation->setParentContext(parent); });
    return reparation;
}

plat::ErrorPtr SYNEventIntegrator::saveAndResetManagedObjectContext() {
    auto context = managedObjectContext();
    // Changes held for the commit were repaired already; nothing changes
    // the integrator's context after the last pass.
    if (changesHeldForCommit_ || !hasChangesIn(*context)) {
        return nullptr;
    }
    if (auto error = checkPoint("save")) {
        return error;
    }
    // A repair may rewrite identifier rows: the records are read again.
    if (changeCache_) {
        changeCache_->clear();
    }
    if (auto error = repair()) {
        return error;
    }
    if (!savesBatches_) {
        // No staging context: the changes stay in the context, which is on
        // the store, until commitToStore saves them there.
        if (saveOccurredDuringMerge_.load()) {
            return SYNMakeError(SYNErrorSaveOccurredDuringMerge);
        }
        changesHeldForCommit_ = true;
        return nullptr;
    }
    if (auto error = commitToStaging()) {
        return error;
    }
    context->performBlockAndWait([&] { context->reset(); });
    return nullptr;
}

plat::ErrorPtr SYNEventIntegrator::repair() {
    SYN_LOG(3, "Repairing context after integrating changes");
    auto context = managedObjectContext();
    if (!shouldSaveBlock_ || !hasChangesIn(*context)) {
        return nullptr;
    }
    auto reparation = makeReparationContext();
    if (!shouldSaveBlock_(*context, *reparation)) {
        return SYNMakeError(SYNErrorCancelled);
    }
    plat::ErrorPtr error;
    reparation->performBlockAndWait([&] {
        if (!reparation->hasChanges()) {
            return;
        }
        if ((error = addRepairsToEvent(*reparation))) {
            return;
        }
        if ((error = reparation->save())) {
            SYN_LOG(1, "Saving merge context after willSave changes failed: %@", error);
        }
    });
    return error;
}

plat::ErrorPtr SYNEventIntegrator::commitToStaging() {
    SYN_LOG(3, "Committing merge changes to store");
    auto context = managedObjectContext();
    auto save = [&]() -> plat::ErrorPtr {
        if (saveOccurredDuringMerge_.load()) {
            return SYNMakeError(SYNErrorSaveOccurredDuringMerge);
        }
        plat::ErrorPtr error;
        context->performBlockAndWait([&] { error = context->save(); });
        return error;
    };
    plat::ErrorPtr error = save();
    if (!error || saveOccurredDuringMerge_.load() || error->code() == kMergeConflictErrorCode ||
        !failedSaveBlock_) {
        return error;
    }
    auto reparation = makeReparationContext();
    const bool wantsRetry = failedSaveBlock_(*context, error, *reparation);
    plat::ErrorPtr repairError;
    bool repaired = false;
    reparation->performBlockAndWait([&] {
        if (!wantsRetry || !reparation->hasChanges()) {
            return;
        }
        if ((repairError = addRepairsToEvent(*reparation))) {
            return;
        }
        repairError = reparation->save();
        repaired = !repairError;
    });
    if (repaired) {
        return save();
    }
    return repairError ? repairError : error;
}

plat::ErrorPtr SYNEventIntegrator::commitToStore() {
    // Whatever the last pass left in the integrator's context goes first.
    if (auto error = saveAndResetManagedObjectContext()) {
        return error;
    }
    std::shared_ptr<ManagedObjectContext> staging;
    std::shared_ptr<ManagedObjectContext> context;
    {
        plat::MutexLock lock(contextMutex_);
        staging = stagingContext_;
        context = managedObjectContext_;
    }
    // The context whose save writes the store: the staging context, or the
    // integrator's own when it is on the store.
    const auto& root = staging ? staging : context;
    auto save = [&]() -> plat::ErrorPtr {
        if (saveOccurredDuringMerge_.load()) {
            return SYNMakeError(SYNErrorSaveOccurredDuringMerge);
        }
        plat::ErrorPtr error;
        root->performBlockAndWait([&] {
            auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
                plat::coredata::ManagedObjectContextDidSaveNotification, root,
                [&](const plat::Notification& notification) { saveInfoDictionary_ = notification.userInfo; });
            error = root->save();
            plat::NotificationCenter::defaultCenter().removeObserver(observer);
        });
        return error;
    };
    plat::ErrorPtr error = save();
    if (error && !saveOccurredDuringMerge_.load() && error->code() != kMergeConflictErrorCode &&
        failedSaveBlock_) {
        auto reparation = makeReparationContext();
        const bool wantsRetry = failedSaveBlock_(*context, error, *reparation);
        plat::ErrorPtr repairError;
        bool repaired = false;
        reparation->performBlockAndWait([&] {
            if (!wantsRetry || !reparation->hasChanges()) {
                return;
            }
            if ((repairError = addRepairsToEvent(*reparation))) {
                return;
            }
            repairError = reparation->save();
            repaired = !repairError;
        });
        if (repaired) {
            if (staging) {
                context->performBlockAndWait([&] { repairError = context->save(); });
            }
            error = repairError ? repairError : save();
        } else if (repairError) {
            error = repairError;
        }
    }
    if (error) {
        return error;
    }
    changesHeldForCommit_ = false;
    context->performBlockAndWait([&] {
        if (didSaveBlock_) {
            didSaveBlock_(*context, saveInfoDictionary_);
        }
        saveInfoDictionary_ = plat::Dictionary();
        context->reset();
    });
    return nullptr;
}

// --- Endings ---------------------------------------------------------------------

void SYNEventIntegrator::failWithCompletion(const Completion& completion, plat::ErrorPtr error) {
    if (newEventUniqueId_) {
        if (auto context = eventStore_->managedObjectContext()) {
            context->performBlockAndWait([&] {
                auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
                    *newEventUniqueId_, *context);
                if (event.ok() && *event) {
                    context->deleteObject(*event);
                    if (auto saveError = context->save()) {
                        SYN_LOG(
                            1,
                            "Could not save after deleting partially merged event from a failed merge. Will "
                            "reset context: %@",
                            saveError);
                    }
                }
                context->reset();
            });
        }
    }
    newEventUniqueId_.reset();
    eventBuilder_.reset();
    changeCache_.reset();
    {
        // Unsaved merged changes are dropped with the contexts.
        plat::MutexLock lock(contextMutex_);
        stagingContext_.reset();
    }
    if (completion) {
        plat::dispatch::Queue::main().async([completion, error] { completion(error); });
    }
}

void SYNEventIntegrator::completeSuccessfullyWithCompletion(const Completion& completion,
                                                            bool clearFullIntegration) {
    if (clearFullIntegration && eventStore_->needsFullIntegration()) {
        eventStore_->setNeedsFullIntegration(false);
    }
    newEventUniqueId_.reset();
    eventBuilder_.reset();
    changeCache_.reset();
    {
        plat::MutexLock lock(contextMutex_);
        stagingContext_.reset();
    }
    if (completion) {
        plat::dispatch::Queue::main().async([completion] { completion(nullptr); });
    }
}
