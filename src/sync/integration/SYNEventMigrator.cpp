#include "sync/integration/SYNEventMigrator.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNBinaryEventFiles.h"
#include "sync/integration/SYNEventFileSet.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

template <class F>
void onMain(F&& block) {
    plat::dispatch::Queue::main().async(std::forward<F>(block));
}

// The event with primary key `key` when it is, as the context holds it, an
// event of one of the types whose own revision is `revisionNumber` of the
// store: the look-up by revision would find it among its candidates. A
// listing of the local events has usually just loaded it with its revision,
// so this reads nothing. Null otherwise, or with unsaved changes.
plat::coredata::ManagedObjectPtr listedEvent(plat::coredata::ManagedObjectContext& context, int64_t key,
                                             const std::vector<int16_t>& types,
                                             const std::string& storeIdentifier, int64_t revisionNumber) {
    const auto coordinator = context.persistentStoreCoordinator();
    const auto stores = coordinator ? coordinator->persistentStores()
                                    : std::vector<std::shared_ptr<plat::coredata::PersistentStore>>();
    auto entity = coordinator && coordinator->managedObjectModel()
                      ? coordinator->managedObjectModel()->entityForName(SYNStoreModificationEventEntityName)
                      : nullptr;
    if (context.hasChanges() || stores.size() != 1 || !entity) {
        return nullptr;
    }
    auto event = context.existingObjectWithID(
        plat::coredata::ManagedObjectID::makePermanent(std::move(entity), stores.front(), key));
    if (!event.ok() || !*event || (*event)->isDeleted()) {
        return nullptr;
    }
    const auto type = SYNStoreModificationEvent::type(**event);
    const auto revision = SYNStoreModificationEvent::revision(**event);
    if (std::find(types.begin(), types.end(), type) == types.end() || !revision ||
        revision->persistentStoreIdentifier != storeIdentifier ||
        revision->revisionNumber != revisionNumber) {
        return nullptr;
    }
    return *event;
}

}  // namespace

SYNEventMigrator::SYNEventMigrator(std::shared_ptr<SYNEventStore> eventStore,
                                   std::shared_ptr<const plat::coredata::ManagedObjectModel> model)
    : queue_(std::make_shared<plat::dispatch::OperationQueue>("SYNEventMigrator")),
      eventStore_(std::move(eventStore)),
      model_(std::move(model)),
      storeTypeForNewFiles_(defaultStoreTypeForNewFiles()) {
    queue_->setMaxConcurrentOperationCount(1);
    queue_->setQualityOfService(plat::dispatch::QualityOfService::UserInitiated);
}

const std::string& SYNEventMigrator::defaultStoreTypeForNewFiles() {
    static const std::string type = plat::coredata::BinaryStoreType;
    return type;
}

void SYNEventMigrator::migrateLocalEventToTemporaryFilesForRevision(int64_t revisionNumber,
                                                                    std::vector<int16_t> allowedTypes,
                                                                    ExportCompletion completion,
                                                                    std::optional<int64_t> listedKey) {
    auto context = eventStore_->managedObjectContext();
    auto storeIdentifier = eventStore_->persistentStoreIdentifier();
    if (!context || !storeIdentifier) {
        if (completion) {
            onMain([completion] { completion(SYNMakeError(SYNErrorEnlistState), {}); });
        }
        return;
    }
    context->performBlock([queue = queue_, store = eventStore_, model = model_, context,
                           storeIdentifier = *storeIdentifier, revisionNumber,
                           allowedTypes = std::move(allowedTypes), completion, listedKey] {
        if (listedKey) {
            if (auto listed =
                    listedEvent(*context, *listedKey, allowedTypes, storeIdentifier, revisionNumber)) {
                exportEvent(queue, store, model, listed->objectID(), completion);
                return;
            }
        }
        auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(
            allowedTypes, storeIdentifier, revisionNumber, *context);
        if (event.ok() && *event) {
            exportEvent(queue, store, model, (*event)->objectID(), completion);
        } else if (completion) {
            onMain([completion] {
                completion(
                    SYNMakeError(
                        SYNErrorMissingEvent,
                        "Failed to fetch local event in migrateLocalEventToTemporaryFilesForRevision..."),
                    {});
            });
        }
    });
}

void SYNEventMigrator::migrateLocalBaselineToTemporaryFiles(std::string uniqueIdentifier, int64_t globalCount,
                                                            std::string persistentStorePrefix,
                                                            ExportCompletion completion) {
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        if (completion) {
            onMain([completion] { completion(SYNMakeError(SYNErrorEnlistState), {}); });
        }
        return;
    }
    context->performBlock([queue = queue_, store = eventStore_, model = model_, context,
                           uniqueIdentifier = std::move(uniqueIdentifier), globalCount,
                           prefix = std::move(persistentStorePrefix), completion] {
        auto event = SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
            uniqueIdentifier, globalCount, prefix, *context);
        if (event.ok() && *event) {
            exportEvent(queue, store, model, (*event)->objectID(), completion);
        } else if (completion) {
            onMain([completion] {
                completion(SYNMakeError(SYNErrorMissingEvent,
                                        "Failed to fetch local event in "
                                        "migrateLocalBaselineToTemporaryFilesForUniqueIdentifier..."),
                           {});
            });
        }
    });
}

void SYNEventMigrator::migrateStoreModificationEventToTemporaryFiles(
    plat::coredata::ManagedObjectIDPtr eventID, ExportCompletion completion) {
    exportEvent(queue_, eventStore_, model_, std::move(eventID), std::move(completion));
}

void SYNEventMigrator::exportEvent(const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                                   const std::shared_ptr<SYNEventStore>& eventStore,
                                   const std::shared_ptr<const plat::coredata::ManagedObjectModel>& model,
                                   plat::coredata::ManagedObjectIDPtr eventID, ExportCompletion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Migrating events out to files");
    auto operation = std::make_shared<SYNJSONEventExport>(eventStore, std::move(eventID), model);
    std::weak_ptr<SYNJSONEventExport> weak = operation;
    operation->setCompletionBlock([weak, completion] {
        auto operation = weak.lock();
        // A vanished operation is a failure, never an export without files.
        plat::ErrorPtr error = operation ? operation->error() : SYNMakeError(SYNErrorUnknown);
        std::vector<std::string> paths =
            operation && !error ? operation->filePaths() : std::vector<std::string>();
        if (completion) {
            onMain([completion, error, paths = std::move(paths)] { completion(error, paths); });
        }
    });
    queue->addOperation(operation);
}

namespace {

enum class EventFileKind { JSON, Binary };

plat::ErrorPtr damagedFileError(const std::string& path, const std::string& what) {
    const auto slash = path.find_last_of('/');
    return SYNMakeError(SYNErrorDamagedFile,
                        (slash == std::string::npos ? path : path.substr(slash + 1)) + " " + what);
}

std::string descriptionOf(const plat::ErrorPtr& error) {
    const plat::Value* text = error ? error->userInfo().find(plat::LocalizedDescriptionKey) : nullptr;
    return text && text->asString() ? *text->asString() : (error ? error->description() : std::string());
}

// A JSON event file begins with "{" (after blanks); anything else can only
// be a binary store. Files that cannot be event files at all are damaged.
plat::Result<EventFileKind> kindOfEventFile(const std::string& path) {
    auto opened = plat::openRegularFileForReading(path, SYNEventFileMaximumSize);
    if (!opened.ok()) {
        auto reason = plat::folderItemRefusalReason(opened.error());
        if (!reason) {
            return opened.error();
        }
        return damagedFileError(path, *reason);
    }
    char buffer[256];
    ssize_t n;
    do {
        n = ::read(opened->first, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    (void)::close(opened->first);  // opened to read only: nothing to lose
    if (n < 0) {
        return plat::fileErrorWithPOSIXError(err, true, path);
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == ' ' || buffer[i] == '\n' || buffer[i] == '\r' || buffer[i] == '\t') {
            continue;
        }
        return buffer[i] == '{' ? EventFileKind::JSON : EventFileKind::Binary;
    }
    return damagedFileError(path, "is empty, not an event file");
}

// Whether an import error comes from the content of the files.
bool isDamagedJSON(const plat::ErrorPtr& error) {
    if (!error) {
        return false;
    }
    if (error->domain() == plat::CocoaErrorDomain && error->code() == plat::PropertyListReadCorruptError) {
        return true;
    }
    return error->userInfo().contains(SYNMalformedEventFileKey) ||
           plat::folderItemRefusalReason(error).has_value();
}

}  // namespace

void SYNEventMigrator::migrateEventsInFromSingleFiles(std::vector<std::string> filePaths,
                                                      std::size_t changeLimit,
                                                      BatchImportCompletion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Migrating events in from files, several per save");
    auto finish = [completion](std::vector<plat::coredata::ManagedObjectIDPtr> ids) {
        if (completion) {
            onMain([completion, ids = std::move(ids)] { completion(ids); });
        }
    };
    std::weak_ptr<plat::dispatch::OperationQueue> weakQueue = queue_;
    auto eventStore = eventStore_;
    queue_->addOperationWithBlock([weakQueue, eventStore, filePaths, changeLimit, finish] {
        auto queue = weakQueue.lock();
        if (!queue || filePaths.empty()) {
            finish(std::vector<plat::coredata::ManagedObjectIDPtr>(filePaths.size()));
            return;
        }
        // The import opens each file once and leaves out those that are not
        // JSON event files (binary stores among them): the one-by-one import
        // takes those.
        auto operation = std::make_shared<SYNJSONEventBatchImport>(eventStore, filePaths, changeLimit);
        std::weak_ptr<SYNJSONEventBatchImport> weak = operation;
        operation->setCompletionBlock([weak, count = filePaths.size(), finish] {
            std::vector<plat::coredata::ManagedObjectIDPtr> ids(count);
            if (auto operation = weak.lock()) {
                auto made = operation->eventIDs();
                for (std::size_t i = 0; i < made.size() && i < count; ++i) {
                    ids[i] = made[i];
                }
            }
            finish(std::move(ids));
        });
        queue->addOperation(operation);
    });
}

void SYNEventMigrator::migrateEventInFromFiles(std::vector<std::string> filePaths,
                                               ImportCompletion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Migrating events in from files");
    auto finish = [completion](plat::ErrorPtr error, plat::coredata::ManagedObjectIDPtr id) {
        if (completion) {
            onMain([completion, error, id] { completion(error, id); });
        }
    };
    std::weak_ptr<plat::dispatch::OperationQueue> weakQueue = queue_;
    auto eventStore = eventStore_;
    // The kind is read from the files, so that a damaged file is reported as
    // what it is meant to be (a truncated JSON file as damaged JSON, never
    // as a store of another format), and never read as the other kind.
    queue_->addOperationWithBlock([weakQueue, eventStore, filePaths, finish] {
        auto queue = weakQueue.lock();
        if (!queue) {
            finish(SYNMakeError(SYNErrorUnknown), nullptr);
            return;
        }
        if (filePaths.empty()) {
            finish(nullptr, nullptr);
            return;
        }
        std::optional<EventFileKind> kind;
        for (const auto& path : filePaths) {
            auto fileKind = kindOfEventFile(path);
            if (!fileKind.ok()) {
                finish(fileKind.error(), nullptr);
                return;
            }
            if (kind && *kind != *fileKind) {
                finish(damagedFileError(path, "is not of the same kind as the other files of its event"),
                       nullptr);
                return;
            }
            kind = *fileKind;
        }
        if (*kind == EventFileKind::JSON) {
            auto operation = std::make_shared<SYNJSONEventImport>(eventStore, filePaths);
            std::weak_ptr<SYNJSONEventImport> weak = operation;
            operation->setCompletionBlock([weak, filePaths, finish] {
                auto operation = weak.lock();
                plat::ErrorPtr error = operation ? operation->error() : SYNMakeError(SYNErrorUnknown);
                if (isDamagedJSON(error)) {
                    error = damagedFileError(filePaths.front(),
                                             "is a damaged JSON event file: " + descriptionOf(error));
                }
                finish(error, operation && !error ? operation->eventID() : nullptr);
            });
            queue->addOperation(operation);
            return;
        }
        SYN_LOG(SYNLoggingLevelVerbose, "Importing event files as binary stores.");
        auto binary = std::make_shared<SYNPersistentStoreEventImport>(eventStore, filePaths);
        std::weak_ptr<SYNPersistentStoreEventImport> weakBinary = binary;
        binary->setCompletionBlock([weakBinary, filePaths, finish] {
            auto binary = weakBinary.lock();
            plat::ErrorPtr error = binary ? binary->error() : SYNMakeError(SYNErrorUnknown);
            if (error) {
                // Files no store type can open, or stores that do not hold
                // exactly one event, are damaged; other failures are ours.
                for (const auto& path : filePaths) {
                    auto metadata =
                        plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
                            "", plat::URL::fileURLWithPath(path));
                    if (!metadata.ok()) {
                        // The store reader's own words would name a store
                        // format the file was never meant to be.
                        error = damagedFileError(path, "is neither a JSON nor a binary event file");
                        break;
                    }
                }
                if (SYNErrorHasCode(error, SYNErrorIncompleteEventData)) {
                    error = damagedFileError(filePaths.front(),
                                             "is a damaged binary event file: " + descriptionOf(error));
                }
            }
            finish(error, binary && !error ? binary->eventID() : nullptr);
        });
        queue->addOperation(binary);
    });
}
