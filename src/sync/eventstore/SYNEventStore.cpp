#include "sync/eventstore/SYNEventStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>
#include <utility>

#include "platform/coredata/Expression.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/Predicate.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNPathComponent.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

using plat::Dictionary;
using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::FetchRequestResultType;
using plat::coredata::ManagedObjectContext;

namespace {

constexpr const char* kStoreIdentifierKey = "storeIdentifier";
constexpr const char* kNeedsFullIntegrationKey = "needsFullIntegration";
constexpr const char* kBaselineKey = "baselineUsedToConstructStore";
constexpr const char* kIncompleteEventsKey = "incompleteMandatoryEvents";
constexpr const char* kIdentityKey = "cloudFileSystemIdentity";
constexpr const char* kVerifiesRegistrationKey = "verifiesStoreRegistrationInCloud";
constexpr const char* kEnlistCompleteKey = "enlistComplete";
constexpr const char* kRecordedIntentKey = "incompleteEventsWithRecordedIntent";
// Identifiers each write of a new save's registration lists (the save's and
// spares for the saves after it): a write for every this many saves.
constexpr std::size_t kRegisteredAtOnce = 8;

plat::FileManager& files() {
    return plat::FileManager::defaultManager();
}

// Store metadata: false while the store is known to hold no global
// identifier that no change references. A save that deletes changes or
// events (whose changes go with them) sets it in its own transaction, and the
// clean-up that removes such identifiers clears it in its own, so the
// clean-up need not look through every identifier after a start that follows
// no deletion. Absent (stores written before the mark existed) counts as set.
constexpr const char* kMayHoldUnusedIdentifiersKey = "SYNMayHoldUnusedGlobalIdentifiers";

std::shared_ptr<plat::coredata::PersistentStore> eventPersistentStore(const ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    if (!coordinator) {
        return nullptr;
    }
    auto stores = coordinator->persistentStores();
    return stores.empty() ? nullptr : stores.front();
}

bool mayHoldUnusedIdentifiers(const plat::coredata::PersistentStore& store) {
    const Dictionary metadata = store.metadata();
    const Value* flag = metadata.find(kMayHoldUnusedIdentifiersKey);
    return !flag || flag->boolValue();
}

// Written with the store's next save.
// Changed in place: the store URIs' prefixes, added to the same metadata by
// other contexts at any time, are kept.
void setMayHoldUnusedIdentifiers(plat::coredata::PersistentStore& store, bool may) {
    store.updateMetadata(
        [may](Dictionary& metadata) { metadata.set(kMayHoldUnusedIdentifiersKey, Value(may)); });
}

// Whether the save about to be made may leave a global identifier that no
// change references: it deletes changes or events (whose changes go with
// them), points a change at another identifier, or adds an identifier without
// changes.
bool mayLeaveUnusedIdentifiers(const ManagedObjectContext& context) {
    for (const auto& object : context.deletedObjects()) {
        const auto& name = object->entity()->name();
        if (name == SYNObjectChangeEntityName || name == SYNStoreModificationEventEntityName) {
            return true;
        }
    }
    for (const auto& object : context.insertedObjects()) {
        if (object->entity()->name() == SYNGlobalIdentifierEntityName &&
            object->objectsForKey("objectChanges").empty()) {
            return true;
        }
    }
    for (const auto& object : context.updatedObjects()) {
        if (object->entity()->name() == SYNObjectChangeEntityName &&
            object->changedValues().contains("globalIdentifier")) {
            return true;
        }
    }
    return false;
}

void markIfLeavingUnusedIdentifiers(const ManagedObjectContext& context) {
    if (!mayLeaveUnusedIdentifiers(context)) {
        return;
    }
    auto store = eventPersistentStore(context);
    if (store && !mayHoldUnusedIdentifiers(*store)) {
        setMayHoldUnusedIdentifiers(*store, true);
    }
}

void dispatchCompletion(const SYNEventStore::Completion& completion, plat::ErrorPtr error) {
    if (completion) {
        plat::dispatch::Queue::main().async([completion, error] { completion(error); });
    }
}

std::optional<std::string> stringEntry(const Dictionary& dictionary, const char* key) {
    const Value* value = dictionary.find(key);
    return value && value->isString() ? std::optional<std::string>(*value->asString()) : std::nullopt;
}

// The setters have no way to report a failed write; it must at least show.
void logIfUnsaved(const plat::ErrorPtr& error) {
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not save event store metadata: %@", error);
    }
}

bool boolEntry(const Dictionary& dictionary, const char* key) {
    const Value* value = dictionary.find(key);
    return value && (value->isBool() || value->isNumber()) && value->boolValue();
}

// The event store holds the user's data: its folders are private (0700)
// and its files too (0600), whatever the umask.
const plat::Dictionary& privateFolderAttributes() {
    static const plat::Dictionary attributes{{plat::FilePosixPermissions, plat::Value(0700)}};
    return attributes;
}

// A mode that cannot be set (a volume without POSIX permissions) is logged,
// not an error: the data stay as private as the volume keeps them, and
// refusing to store them would stop sync on such a volume for good.
void makePrivate(const std::string& path, mode_t mode) {
    if (::chmod(path.c_str(), mode) != 0) {
        const int err = errno;
        SYN_LOG(SYNLoggingLevelWarning, "Could not make %@ private: %@", path,
                plat::fileErrorWithPOSIXError(err, false, path));
    }
}

plat::ErrorPtr createPrivateDirectory(const std::string& path) {
    auto error = files().createDirectoryAtPath(path, true, &privateFolderAttributes());
    if (!error) {
        makePrivate(path, 0700);  // made earlier under another umask
    }
    return error;
}

plat::ErrorPtr writePrivateFile(const plat::Data& data, const std::string& path) {
    auto error = files().writeData(data, path, true);
    if (!error) {
        makePrivate(path, 0600);
    }
    return error;
}

}  // namespace

SYNEventStore::SYNEventStore(std::string meshIdentifier, std::string rootPath, std::string storePath,
                             std::string storeType)
    : meshIdentifier_(std::move(meshIdentifier)),
      rootPath_(std::move(rootPath)),
      storePath_(std::move(storePath)),
      storeType_(std::move(storeType)) {}

SYNEventStore::~SYNEventStore() {
    dismantle();
}

std::shared_ptr<SYNEventStore> SYNEventStore::create(
    const std::string& meshIdentifier, const std::optional<std::string>& pathToEventDataRootDirectory,
    std::string storeType) {
    std::string root = pathToEventDataRootDirectory.value_or(defaultPathToEventDataRootDirectory());
    auto storePath = pathToEventDataRootDirectoryForRootDirectory(root, meshIdentifier);
    if (!storePath) {
        SYN_LOG(SYNLoggingLevelError, "Refusing mesh identifier that is not a single path component: %@",
                meshIdentifier);
        return nullptr;
    }
    std::shared_ptr<SYNEventStore> store(
        new SYNEventStore(meshIdentifier, root, *storePath, std::move(storeType)));
    store->restoreMetadata();
    if (store->persistentStoreIdentifier()) {
        plat::ErrorPtr error = store->createDirectories();
        if (!error) {
            error = store->openStack();
        }
        if (error) {
            SYN_LOG(SYNLoggingLevelError, "Could not open event store: %@", error);
            return nullptr;
        }
    }
    return store;
}

std::optional<std::string> SYNEventStore::pathToEventDataRootDirectoryForRootDirectory(
    const std::optional<std::string>& root, const std::string& meshIdentifier) {
    if (!root) {
        return std::nullopt;
    }
    return SYNPathByAppendingPathComponent(*root, meshIdentifier);
}

std::string SYNEventStore::defaultPathToEventDataRootDirectory() {
    auto folders = files().searchPathsForDirectory(plat::SearchPathDirectory::ApplicationSupportDirectory,
                                                   plat::UserDomainMask);
    std::string base = folders.empty() ? files().temporaryDirectory() : folders.front();
    return base + "/kestrel/eventstore";
}

std::string SYNEventStore::hardwareIdentifier() {
    return plat::ProcessInfo::processInfo().hardwareUUID();
}

// --- Metadata ------------------------------------------------------------------

void SYNEventStore::restoreMetadata() {
    if (!files().fileExistsAtPath(metadataPath())) {
        return;
    }
    auto plist = plat::PropertyListSerialization::propertyListWithContentsOfFile(metadataPath());
    const Dictionary* dictionary = plist.ok() ? plist->asDictionary() : nullptr;
    if (dictionary == nullptr) {
        // The events can be fetched again from the cloud; an unreadable file
        // leaves the store not enlisted rather than unusable.
        SYN_LOG(SYNLoggingLevelError, "Could not read event store metadata: %@", plist.error());
        return;
    }
    plat::MutexLock lock(metadataMutex_);
    metadata_.storeIdentifier = stringEntry(*dictionary, kStoreIdentifierKey);
    metadata_.needsFullIntegration = boolEntry(*dictionary, kNeedsFullIntegrationKey);
    metadata_.baselineUsedToConstructStore = stringEntry(*dictionary, kBaselineKey);
    metadata_.verifiesStoreRegistrationInCloud = boolEntry(*dictionary, kVerifiesRegistrationKey);
    // Absent in metadata written before the flag existed: such data came from
    // an enlist that finished.
    metadata_.enlistComplete =
        !dictionary->find(kEnlistCompleteKey) || boolEntry(*dictionary, kEnlistCompleteKey);
    if (const Value* identity = dictionary->find(kIdentityKey); identity && identity->isData()) {
        metadata_.identityToken = *identity->asData();
    }
    if (const Value* events = dictionary->find(kIncompleteEventsKey); events && events->isDictionary()) {
        for (const auto& [identifier, count] : *events->asDictionary()) {
            if (count.isNumber() && count.integerValue() > 0) {
                metadata_.incompleteMandatoryEvents[identifier] = count.integerValue();
            }
        }
    }
    if (const Value* marked = dictionary->find(kRecordedIntentKey); marked && marked->isArray()) {
        for (const auto& identifier : *marked->asArray()) {
            if (identifier.isString() && metadata_.incompleteMandatoryEvents.count(*identifier.asString())) {
                metadata_.eventsWithRecordedIntent.insert(*identifier.asString());
            }
        }
    }
}

plat::ErrorPtr SYNEventStore::saveMetadataLocked() const {
    Dictionary dictionary;
    if (metadata_.storeIdentifier) {
        dictionary.set(kStoreIdentifierKey, Value(*metadata_.storeIdentifier));
    }
    dictionary.set(kNeedsFullIntegrationKey, Value(metadata_.needsFullIntegration));
    if (metadata_.baselineUsedToConstructStore) {
        dictionary.set(kBaselineKey, Value(*metadata_.baselineUsedToConstructStore));
    }
    // Spare registrations are listed as the saves they are for will be,
    // once registered each (with a recorded intent), in the same order: a
    // save that takes one leaves the file's bytes as they are.
    std::map<std::string, int64_t> counts = metadata_.incompleteMandatoryEvents;
    std::set<std::string> withIntent = metadata_.eventsWithRecordedIntent;
    for (const auto& identifier : metadata_.spareRegistrations) {
        ++counts[identifier];
        withIntent.insert(identifier);
    }
    Dictionary events;
    for (const auto& [identifier, count] : counts) {
        events.set(identifier, Value(count));
    }
    dictionary.set(kIncompleteEventsKey, Value(std::move(events)));
    plat::Array marked;
    for (const auto& identifier : withIntent) {
        marked.push_back(Value(identifier));
    }
    dictionary.set(kRecordedIntentKey, Value(std::move(marked)));
    dictionary.set(kEnlistCompleteKey, Value(metadata_.enlistComplete));
    if (metadata_.identityToken) {
        dictionary.set(kIdentityKey, Value(*metadata_.identityToken));
    }
    dictionary.set(kVerifiesRegistrationKey, Value(metadata_.verifiesStoreRegistrationInCloud));

    auto data = plat::PropertyListSerialization::dataWithPropertyList(
        Value(std::move(dictionary)), plat::PropertyListSerialization::Format::XML);
    if (!data.ok()) {
        writtenMetadata_.reset();  // the file may no longer hold what is in memory
        return data.error();
    }
    if (writtenMetadata_ && *writtenMetadata_ == *data) {
        return nullptr;
    }
    const bool firstWrite = !writtenMetadata_;
    writtenMetadata_.reset();
    if (!files().fileExistsAtPath(storePath_)) {
        if (auto error = createPrivateDirectory(storePath_)) {
            return error;
        }
    }
    // Rewritten at every save's registration: through a spare file kept next
    // to it, so that a write creates no file (see writeDataThroughSpare).
    auto error = files().writeDataThroughSpare(*data, metadataPath(), storePath_ + "/.store.plist.spare");
    if (!error && firstWrite) {
        makePrivate(metadataPath(), 0600);  // later writes keep the file's mode
    }
    if (!error) {
        writtenMetadata_ = std::move(*data);
        deferredMetadataWrite_ = false;
    }
    return error;
}

plat::ErrorPtr SYNEventStore::writeDeferredMetadata() {
    plat::MutexLock lock(metadataMutex_);
    if (!deferredMetadataWrite_) {
        return nullptr;
    }
    auto error = saveMetadataLocked();
    logIfUnsaved(error);
    return error;
}

plat::ErrorPtr SYNEventStore::saveMetadata() const {
    plat::MutexLock lock(metadataMutex_);
    // Every change of the metadata is written at once, or leaves a write for
    // later, or fails and clears the bytes written: with bytes written and
    // nothing left for later the file holds what is in memory, and encoding
    // it all (to find the same bytes) is spared to every merge's flush.
    if (writtenMetadata_ && !deferredMetadataWrite_) {
        return nullptr;
    }
    auto error = saveMetadataLocked();
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not save event store metadata: %@", error);
    }
    return error;
}

std::optional<std::string> SYNEventStore::persistentStoreIdentifier() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_.storeIdentifier;
}

std::vector<std::string> SYNEventStore::incompleteMandatoryEventIdentifiers() const {
    plat::MutexLock lock(metadataMutex_);
    std::vector<std::string> identifiers;
    for (const auto& entry : metadata_.incompleteMandatoryEvents) {
        identifiers.push_back(entry.first);
    }
    return identifiers;
}

std::vector<std::string> SYNEventStore::incompleteEventIdentifiersWithRecordedIntent() const {
    plat::MutexLock lock(metadataMutex_);
    return {metadata_.eventsWithRecordedIntent.begin(), metadata_.eventsWithRecordedIntent.end()};
}

plat::ErrorPtr SYNEventStore::registerIncompleteMandatoryEventIdentifier(const std::string& identifier,
                                                                         bool withRecordedIntent) {
    plat::MutexLock lock(metadataMutex_);
    ++metadata_.incompleteMandatoryEvents[identifier];
    if (withRecordedIntent) {
        metadata_.eventsWithRecordedIntent.insert(identifier);
    }
    auto error = saveMetadataLocked();
    logIfUnsaved(error);
    return error;
}

plat::Result<std::string> SYNEventStore::registerNewIncompleteEventIdentifierWithRecordedIntent() {
    plat::MutexLock lock(metadataMutex_);
    if (metadata_.spareRegistrations.empty()) {
        for (std::size_t i = 0; i < kRegisteredAtOnce; ++i) {
            metadata_.spareRegistrations.push_back(plat::UUID::random().UUIDString());
        }
        if (auto error = saveMetadataLocked()) {
            // None is handed out: the file may list them or not, and a
            // restart drops those it lists as saves that never committed.
            metadata_.spareRegistrations.clear();
            logIfUnsaved(error);
            return error;
        }
    }
    std::string identifier = std::move(metadata_.spareRegistrations.back());
    metadata_.spareRegistrations.pop_back();
    ++metadata_.incompleteMandatoryEvents[identifier];
    metadata_.eventsWithRecordedIntent.insert(identifier);
    return identifier;
}

plat::ErrorPtr SYNEventStore::deregisterIncompleteMandatoryEventIdentifier(const std::string& identifier,
                                                                           bool eventStored) {
    plat::MutexLock lock(metadataMutex_);
    auto it = metadata_.incompleteMandatoryEvents.find(identifier);
    if (it == metadata_.incompleteMandatoryEvents.end()) {
        return nullptr;
    }
    if (--it->second <= 0) {
        metadata_.incompleteMandatoryEvents.erase(it);
        const bool withIntent = metadata_.eventsWithRecordedIntent.erase(identifier) > 0;
        if (eventStored && withIntent) {
            // A restart that still finds the identifier finds its event
            // stored and drops it: the write can wait for the next one
            // (the next save's registration, a merge's flush, the close).
            deferredMetadataWrite_ = true;
            return nullptr;
        }
    }
    auto error = saveMetadataLocked();
    logIfUnsaved(error);
    return error;
}

Value SYNEventStore::cloudFileSystemIdentityToken() const {
    std::optional<plat::Data> archived;
    {
        plat::MutexLock lock(metadataMutex_);
        archived = metadata_.identityToken;
    }
    if (!archived) {
        return Value();
    }
    auto token = plat::KeyedUnarchiver::unarchivedObjectWithData(*archived);
    if (!token.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Could not unarchive the cloud identity: %@", token.error());
        return Value();
    }
    return token->value_or(Value());
}

bool SYNEventStore::setCloudFileSystemIdentityToken(const Value& token) {
    std::optional<plat::Data> archived;
    if (!token.isNull()) {
        auto data = plat::KeyedArchiver::archivedDataWithRootObject(token);
        if (!data.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not archive the cloud identity: %@", data.error());
            return false;
        }
        archived = std::move(*data);
    }
    plat::MutexLock lock(metadataMutex_);
    metadata_.identityToken = std::move(archived);
    logIfUnsaved(saveMetadataLocked());
    return true;
}

bool SYNEventStore::isEnlistComplete() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_.enlistComplete;
}

plat::ErrorPtr SYNEventStore::markEnlistComplete() {
    plat::MutexLock lock(metadataMutex_);
    metadata_.enlistComplete = true;
    auto error = saveMetadataLocked();
    if (error) {
        metadata_.enlistComplete = false;
        logIfUnsaved(error);
    }
    return error;
}

bool SYNEventStore::verifiesStoreRegistrationInCloud() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_.verifiesStoreRegistrationInCloud;
}

void SYNEventStore::setVerifiesStoreRegistrationInCloud(bool verifies) {
    plat::MutexLock lock(metadataMutex_);
    metadata_.verifiesStoreRegistrationInCloud = verifies;
    logIfUnsaved(saveMetadataLocked());
}

bool SYNEventStore::needsFullIntegration() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_.needsFullIntegration;
}

void SYNEventStore::setNeedsFullIntegration(bool needs) {
    plat::MutexLock lock(metadataMutex_);
    metadata_.needsFullIntegration = needs;
    logIfUnsaved(saveMetadataLocked());
}

std::optional<std::string> SYNEventStore::identifierOfBaselineUsedToConstructStore() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_.baselineUsedToConstructStore;
}

void SYNEventStore::setIdentifierOfBaselineUsedToConstructStore(
    const std::optional<std::string>& identifier) {
    plat::MutexLock lock(metadataMutex_);
    metadata_.baselineUsedToConstructStore = identifier;
    logIfUnsaved(saveMetadataLocked());
}

// --- Stack ---------------------------------------------------------------------

plat::ErrorPtr SYNEventStore::createDirectories() const {
    for (const auto& path :
         {storePath_, pathToDataDirectory(), pathToNewDataDirectory(), pathToTemporaryDirectory()}) {
        if (auto error = createPrivateDirectory(path)) {
            forgetDataFolderListings();
            return error;
        }
    }
    forgetDataFolderListings();
    return nullptr;
}

plat::ErrorPtr SYNEventStore::openStack() {
    // The coordinator only finalizes models, which the shared model already is.
    auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel());
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
    std::optional<plat::URL> url;
    if (storeType_ != plat::coredata::InMemoryStoreType) {
        url = plat::URL::fileURLWithPath(pathToStoreFile());
    }
    // An event store written with an older model (before changes recorded
    // the revision of their values) is migrated as it opens: the mapping of
    // added optional attributes is inferred, and the old rows read as
    // "unrecorded".
    // A store made now holds no identifier at all, so none unused.
    const bool fresh = !url || !files().fileExistsAtPath(pathToStoreFile());
    auto added = coordinator->addPersistentStore(
        storeType_, "", url,
        plat::Dictionary{{plat::coredata::MigratePersistentStoresAutomaticallyOption, plat::Value(true)},
                         {plat::coredata::InferMappingModelAutomaticallyOption, plat::Value(true)}});
    if (!added.ok()) {
        return added.error();
    }
    if (fresh) {
        setMayHoldUnusedIdentifiers(**added, false);
        // A store made now keeps its URIs and its values revisions' store
        // identifiers numbered, which its metadata say at once: a store
        // closed before its first save opens in that form again.
        if (auto error = coordinator->updateMetadata(*added, [](Dictionary& metadata) {
                SYNStoreURIs::startPrefixList(metadata);
                SYNStoreIdentifiers::startIdentifierList(metadata);
            })) {
            return error;
        }
    }
    auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::PrivateQueue);
    context->setPersistentStoreCoordinator(coordinator);
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextWillSaveNotification, context,
        [](const plat::Notification& note) {
            if (auto saving = std::static_pointer_cast<const ManagedObjectContext>(note.object)) {
                markIfLeavingUnusedIdentifiers(*saving);
            }
        });
    auto tallies = SYNEventTallies::start(context);
    auto savedEvent = SYNSavedEvent::start(context);
    std::shared_ptr<SYNEventTallies> previous;
    std::shared_ptr<SYNSavedEvent> previousSaved;
    {
        plat::MutexLock lock(stackMutex_);
        context_ = context;
        plat::NotificationCenter::defaultCenter().removeObserver(deletionObserver_);
        deletionObserver_ = std::move(observer);
        previous = std::exchange(tallies_, std::move(tallies));
        previousSaved = std::exchange(savedEvent_, std::move(savedEvent));
    }
    if (previous) {
        previous->stop();
    }
    if (previousSaved) {
        previousSaved->stop();
    }
    return removeInterruptedEvents();
}

std::shared_ptr<ManagedObjectContext> SYNEventStore::managedObjectContext() const {
    plat::MutexLock lock(stackMutex_);
    return context_;
}

std::shared_ptr<SYNEventTallies> SYNEventStore::eventTallies() const {
    plat::MutexLock lock(stackMutex_);
    return tallies_;
}

std::shared_ptr<SYNSavedEvent> SYNEventStore::savedEvent() const {
    plat::MutexLock lock(stackMutex_);
    return savedEvent_;
}

// Asked at every save of the application's store: the identifier and the
// context are looked at where they are, not copied.
bool SYNEventStore::containsEventData() const {
    {
        plat::MutexLock lock(metadataMutex_);
        if (!metadata_.storeIdentifier.has_value()) {
            return false;
        }
    }
    plat::MutexLock lock(stackMutex_);
    return context_ != nullptr;
}

void SYNEventStore::dismantle() {
    // The blocks already queued on the context (a save event being stored)
    // finish while the store is still open: taken away first, the context
    // would be gone for them and their work lost.
    if (auto open = managedObjectContext()) {
        open->performBlockAndWait([] {});
    }
    std::shared_ptr<ManagedObjectContext> context;
    plat::ObserverToken observer;
    std::shared_ptr<SYNEventTallies> tallies;
    std::shared_ptr<SYNSavedEvent> savedEvent;
    {
        plat::MutexLock lock(stackMutex_);
        context.swap(context_);
        observer.swap(deletionObserver_);
        tallies.swap(tallies_);
        savedEvent.swap(savedEvent_);
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
    if (tallies) {
        tallies->stop();
    }
    if (savedEvent) {
        savedEvent->stop();
    }
    if (context) {
        context->performBlockAndWait([] {});
    }
    {
        // Spare registrations no save took go with the next write: a restart
        // then has none to settle.
        plat::MutexLock lock(metadataMutex_);
        if (!metadata_.spareRegistrations.empty()) {
            metadata_.spareRegistrations.clear();
            deferredMetadataWrite_ = true;
        }
    }
    (void)writeDeferredMetadata();  // logged by the store
}

plat::ErrorPtr SYNEventStore::removeInterruptedEvents() {
    auto context = managedObjectContext();
    if (!context) {
        return nullptr;
    }
    auto registered = incompleteMandatoryEventIdentifiers();
    const std::set<std::string> kept(registered.begin(), registered.end());
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeIncomplete}, std::nullopt, *context);
        if (!events.ok()) {
            error = events.error();
            return;
        }
        bool deleted = false;
        for (const auto& event : *events) {
            if (!kept.count(SYNStoreModificationEvent::uniqueIdentifier(*event))) {
                context->deleteObject(event);
                deleted = true;
            }
        }
        if (deleted && (error = context->save())) {
            context->rollback();
        }
    });
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not remove interrupted events: %@", error);
    }
    return error;
}

plat::ErrorPtr SYNEventStore::prepareNewEventStore() {
    dismantle();
    {
        plat::MutexLock lock(metadataMutex_);
        writtenMetadata_.reset();
        deferredMetadataWrite_ = false;
    }
    if (files().fileExistsAtPath(storePath_)) {
        if (auto error = files().removeItemAtPath(storePath_)) {
            return error;
        }
    }
    if (auto error = createDirectories()) {
        return error;
    }
    {
        plat::MutexLock lock(metadataMutex_);
        Metadata fresh;
        fresh.identityToken = metadata_.identityToken;
        fresh.verifiesStoreRegistrationInCloud = metadata_.verifiesStoreRegistrationInCloud;
        fresh.storeIdentifier =
            plat::ProcessInfo::processInfo().globallyUniqueString() + "|" + hardwareIdentifier();
        fresh.enlistComplete = false;
        metadata_ = std::move(fresh);
        if (auto error = saveMetadataLocked()) {
            metadata_.storeIdentifier.reset();
            return error;
        }
    }
    if (auto error = openStack()) {
        plat::MutexLock lock(metadataMutex_);
        metadata_.storeIdentifier.reset();
        logIfUnsaved(saveMetadataLocked());
        return error;
    }
    return nullptr;
}

plat::ErrorPtr SYNEventStore::removeEventStore() {
    dismantle();
    {
        plat::MutexLock lock(metadataMutex_);
        metadata_ = Metadata();
        writtenMetadata_.reset();
        deferredMetadataWrite_ = false;
    }
    if (!files().fileExistsAtPath(storePath_)) {
        return nullptr;
    }
    auto error = files().removeItemAtPath(storePath_);
    forgetDataFolderListings();
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not remove event store: %@", error);
    }
    return error;
}

void SYNEventStore::removeEventStoreWithCompletion(Completion completion) {
    auto self = shared_from_this();
    plat::dispatch::Queue::global(plat::dispatch::Priority::High).async([self, completion] {
        dispatchCompletion(completion, self->removeEventStore());
    });
}

void SYNEventStore::flushWithCompletion(Completion completion) {
    plat::ErrorPtr metadataError = saveMetadata();
    auto context = managedObjectContext();
    if (!context) {
        dispatchCompletion(completion, metadataError);
        return;
    }
    context->performBlock([context, completion, metadataError] {
        plat::ErrorPtr error = context->save();
        if (error) {
            SYN_LOG(SYNLoggingLevelError, "Failed to save during flush. Will reset event store context: %@",
                    error);
            context->reset();
        }
        dispatchCompletion(completion, error ? error : metadataError);
    });
}

void SYNEventStore::removeUnusedDataWithCompletion(Completion completion) {
    auto context = managedObjectContext();
    if (!context) {
        dispatchCompletion(completion, nullptr);
        return;
    }
    context->performBlock([context, completion] {
        auto store = eventPersistentStore(*context);
        if (store && !mayHoldUnusedIdentifiers(*store)) {
            dispatchCompletion(completion, nullptr);
            return;
        }
        // The identifiers no change references, found by the store itself
        // (in SQL for the SQLite store) and read as dictionaries of their IDs
        // alone: the other records are neither loaded nor left registered in
        // the context.
        FetchRequest unused(SYNGlobalIdentifierEntityName);
        unused.predicate = plat::coredata::Predicate::notPredicate(plat::coredata::Predicate::comparison(
            plat::coredata::Expression::keyPath("objectChanges"),
            plat::coredata::PredicateOperator::NotEqualTo, plat::coredata::Expression::constant(Value()),
            plat::coredata::ComparisonModifier::Any));
        unused.resultType = FetchRequestResultType::Dictionary;
        unused.propertiesToFetch = {{"id", "objectID"}};
        auto records = context->fetchDictionaries(unused);
        if (!records.ok()) {
            dispatchCompletion(completion, records.error());
            return;
        }
        for (const auto& record : *records) {
            if (const Value* id = record.find("id")) {
                if (auto object = id->asObjectOf<plat::coredata::ManagedObjectID>()) {
                    context->deleteObject(context->objectWithID(object));
                }
            }
        }
        plat::ErrorPtr error;
        if (store) {
            setMayHoldUnusedIdentifiers(*store, false);
        }
        if (context->hasChanges()) {
            // The mark is written in the same transaction as the deletions.
            if ((error = context->save())) {
                context->rollback();
            }
        } else if (store) {
            error = context->persistentStoreCoordinator()->updateMetadata(store, [](Dictionary&) {});
        }
        if (error && store) {
            setMayHoldUnusedIdentifiers(*store, true);
        }
        dispatchCompletion(completion, error);
    });
}

std::optional<std::string> SYNEventStore::currentBaselineIdentifier() {
    auto context = managedObjectContext();
    if (!context) {
        return std::nullopt;
    }
    std::optional<std::string> identifier;
    context->performBlockAndWait([&] {
        auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        if (baseline.ok() && *baseline) {
            identifier = SYNStoreModificationEvent::uniqueIdentifier(**baseline);
        }
    });
    return identifier;
}

// --- Data files ----------------------------------------------------------------

// A merge asks for the names of the data folders several times (what to
// download, what to upload, what to remove, what the integration may use),
// and most merges change neither folder. A stat of the folder replaces the
// listing while the folder is as it was; its times must have been settled
// when it was listed, since the file system stamps a folder from a clock
// that moves in steps: two changes in one step leave one stamp.
std::set<std::string> SYNEventStore::filenamesInDirectory(const std::string& directory) const {
    uint64_t changesBefore = 0;
    struct stat folder {};
    bool stamped = ::stat(directory.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
    {
        plat::MutexLock lock(listingMutex_);
        changesBefore = folderChanges_;
        auto kept = folderListings_.find(directory);
        if (kept != folderListings_.end()) {
            const auto& listing = kept->second;
            if (stamped && listing.device == static_cast<uint64_t>(folder.st_dev) &&
                listing.inode == static_cast<uint64_t>(folder.st_ino) &&
                listing.modifiedSeconds == folder.st_mtim.tv_sec &&
                listing.modifiedNanoseconds == folder.st_mtim.tv_nsec &&
                listing.changedSeconds == folder.st_ctim.tv_sec &&
                listing.changedNanoseconds == folder.st_ctim.tv_nsec) {
                return listing.names;
            }
            folderListings_.erase(kept);
        }
    }
    // Read before the listing: a change after it is stamped at this time or
    // later, so a stamp older than it by more than the file system's step
    // tells every later change apart. Stamps without nanoseconds come from
    // a file system that stamps in seconds (or two).
    bool settled = false;
    if (stamped) {
        if (const auto now = wallClockNanoseconds()) {
            const bool inSeconds = folder.st_mtim.tv_nsec == 0 && folder.st_ctim.tv_nsec == 0;
            const int64_t step = inSeconds ? 3'000'000'000LL : 50'000'000LL;
            auto nanoseconds = [](const struct timespec& t) {
                return static_cast<int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
            };
            const int64_t newest = std::max(nanoseconds(folder.st_mtim), nanoseconds(folder.st_ctim));
            settled = *now - newest > step;
        }
    }
    auto listed = files().contentsOfDirectoryAtPath(directory);
    if (!listed.ok()) {
        return {};
    }
    std::set<std::string> names(listed->begin(), listed->end());
    if (settled) {
        plat::MutexLock lock(listingMutex_);
        if (folderChanges_ == changesBefore) {
            FolderListing listing;
            listing.device = static_cast<uint64_t>(folder.st_dev);
            listing.inode = static_cast<uint64_t>(folder.st_ino);
            listing.modifiedSeconds = folder.st_mtim.tv_sec;
            listing.modifiedNanoseconds = folder.st_mtim.tv_nsec;
            listing.changedSeconds = folder.st_ctim.tv_sec;
            listing.changedNanoseconds = folder.st_ctim.tv_nsec;
            listing.names = names;
            folderListings_[directory] = std::move(listing);
        }
    }
    return names;
}

std::optional<int64_t> SYNEventStore::wallClockNanoseconds() const {
    if (wallClockForTesting_) {
        return wallClockForTesting_();
    }
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

void SYNEventStore::forgetDataFolderListings() const {
    plat::MutexLock lock(listingMutex_);
    folderListings_.clear();
    ++folderChanges_;
}

std::set<std::string> SYNEventStore::previouslyReferencedDataFilenames() const {
    return filenamesInDirectory(pathToDataDirectory());
}

std::set<std::string> SYNEventStore::newlyImportedDataFilenames() const {
    return filenamesInDirectory(pathToNewDataDirectory());
}

std::set<std::string> SYNEventStore::allDataFilenames() const {
    auto names = previouslyReferencedDataFilenames();
    names.merge(newlyImportedDataFilenames());
    return names;
}

bool SYNEventStore::isDataFilename(const std::string& name) {
    return name.size() == 32 && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
           });
}

std::optional<std::string> SYNEventStore::problemWithDataFile(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!isDataFilename(name)) {
        return "is not named like a data file (the checksum of its content)";
    }
    auto opened = plat::openRegularFileForReading(path, SYNDataFileMaximumSize);
    if (!opened.ok()) {
        return plat::folderItemRefusalReason(opened.error()).value_or("cannot be read");
    }
    // Opened to read only: closing it cannot lose anything.
    (void)::close(opened->first);
    auto data = files().dataWithContentsOfFile(path);
    if (!data.ok() || data->length() > SYNDataFileMaximumSize) {
        return "cannot be read";
    }
    if (syn_md5Checksum(*data) != name) {
        return "does not hold the content its name is the checksum of";
    }
    return std::nullopt;
}

bool SYNEventStore::importDataFile(const std::string& path) {
    auto slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto destination = SYNPathByAppendingPathComponent(pathToNewDataDirectory(), name);
    if (!destination) {
        SYN_LOG(SYNLoggingLevelError, "Refusing data file name: %@", name);
        return false;
    }
    plat::ErrorPtr error = createPrivateDirectory(pathToNewDataDirectory());
    // Names are checksums of the contents: a file already there is the same.
    if (!error && files().fileExistsAtPath(*destination)) {
        error = files().removeItemAtPath(*destination);
    }
    if (!error) {
        error = files().moveItemAtPath(path, *destination);
    }
    forgetDataFolderListings();
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not import data file: %@", error);
    }
    return error == nullptr;
}

bool SYNEventStore::exportDataFile(const std::string& filename, const std::string& directory) const {
    auto source = SYNPathByAppendingPathComponent(pathToDataDirectory(), filename);
    auto destination = SYNPathByAppendingPathComponent(directory, filename);
    if (!source || !destination) {
        SYN_LOG(SYNLoggingLevelError, "Refusing data file name: %@", filename);
        return false;
    }
    plat::ErrorPtr error;
    if (files().fileExistsAtPath(*destination)) {
        error = files().removeItemAtPath(*destination);
    }
    if (!error) {
        error = files().copyItemAtPath(*source, *destination);
    }
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not export data file: %@", error);
    }
    return error == nullptr;
}

bool SYNEventStore::removeNewlyImportedDataFile(const std::string& filename) {
    auto path = SYNPathByAppendingPathComponent(pathToNewDataDirectory(), filename);
    if (!path) {
        SYN_LOG(SYNLoggingLevelError, "Refusing data file name: %@", filename);
        return false;
    }
    auto error = files().removeItemAtPath(*path);
    forgetDataFolderListings();
    if (error) {
        SYN_LOG(SYNLoggingLevelError, "Could not remove data file: %@", error);
    }
    return error == nullptr;
}

plat::Result<std::set<std::string>> SYNEventStore::referencedDataFilenames() {
    auto context = managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorUnknown, "The event store is not open.");
    }
    plat::Result<std::vector<Dictionary>> rows = std::vector<Dictionary>();
    context->performBlockAndWait([&] {
        FetchRequest request(SYNDataFileEntityName);
        request.resultType = FetchRequestResultType::Dictionary;
        request.addPropertyToFetch("filename");
        rows = context->fetchDictionaries(request);
    });
    if (!rows.ok()) {
        return rows.error();
    }
    std::set<std::string> names;
    for (const auto& row : *rows) {
        if (auto name = stringEntry(row, "filename")) {
            names.insert(*name);
        }
    }
    return names;
}

void SYNEventStore::removeUnreferencedDataFiles() {
    auto context = managedObjectContext();
    if (!context) {
        return;
    }
    context->performBlockAndWait([&] {
        // The folders are listed before the records are read: the sweep
        // touches only files listed here, so with both folders empty (most
        // stores hold no data file) there is nothing to promote or delete
        // and the records are not read. A file that arrives after the
        // listing is left for the next sweep, as one that arrived after the
        // sweep would be.
        const auto stored = previouslyReferencedDataFilenames();
        const auto imported = newlyImportedDataFilenames();
        if (stored.empty() && imported.empty()) {
            return;
        }
        auto referenced = referencedDataFilenames();
        if (!referenced.ok()) {
            // Without the list, nothing may be deleted.
            SYN_LOG(SYNLoggingLevelError, "Could not fetch data file records: %@", referenced.error());
            return;
        }
        // Promote before deleting: a downloaded file that a record names moves
        // into data/ first, so the sweep below never sees it as unreferenced.
        // One already there is the same content (names are checksums).
        bool changed = false;
        for (const auto& name : imported) {
            if (!referenced->count(name)) {
                continue;
            }
            auto from = SYNPathByAppendingPathComponent(pathToNewDataDirectory(), name);
            auto to = SYNPathByAppendingPathComponent(pathToDataDirectory(), name);
            if (from && to) {
                changed = true;
                auto error =
                    stored.count(name) ? files().removeItemAtPath(*from) : files().moveItemAtPath(*from, *to);
                if (error) {
                    SYN_LOG(SYNLoggingLevelError, "Could not move data file: %@", error);
                }
            }
        }
        for (const auto& name : stored) {
            auto path = SYNPathByAppendingPathComponent(pathToDataDirectory(), name);
            if (path && !referenced->count(name)) {
                changed = true;
                if (auto error = files().removeItemAtPath(*path))  // left for the next sweep
                    SYN_LOG(SYNLoggingLevelError, "Could not remove data file: %@", error);
            }
        }
        if (changed) {
            forgetDataFolderListings();
        }
    });
}

// data/ first, then newdata/: a value whose file has just arrived can be
// read before removeUnreferencedDataFiles promotes it. A refused name is a
// missing file.
std::optional<plat::Data> SYNEventStore::dataForFile(const std::string& filename) const {
    for (const auto& directory : {pathToDataDirectory(), pathToNewDataDirectory()}) {
        auto path = SYNPathByAppendingPathComponent(directory, filename);
        if (!path) {
            return std::nullopt;
        }
        if (auto data = files().contentsAtPath(*path)) {
            return data;
        }
    }
    return std::nullopt;
}

plat::Result<std::string> SYNEventStore::storeDataFile(const plat::Data& data) {
    std::string name = syn_md5Checksum(data);
    std::string path = pathToDataDirectory() + "/" + name;
    if (files().fileExistsAtPath(path)) {
        return name;
    }
    plat::ErrorPtr error = createPrivateDirectory(pathToDataDirectory());
    if (!error) {
        error = writePrivateFile(data, path);
    }
    forgetDataFolderListings();
    if (error) {
        return error;
    }
    return name;
}
