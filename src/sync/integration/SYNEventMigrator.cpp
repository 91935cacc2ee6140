#include "sync/integration/SYNEventMigrator.h"

#include "platform/coredata/PersistentStore.h"
#include "platform/dispatch/Queue.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNBinaryEventFiles.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

template <class F>
void onMain(F&& block) {
    plat::dispatch::Queue::main().async(std::forward<F>(block));
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
                                                                    ExportCompletion completion) {
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
                           allowedTypes = std::move(allowedTypes), completion] {
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

void SYNEventMigrator::migrateEventInFromFiles(std::vector<std::string> filePaths,
                                               ImportCompletion completion) {
    SYN_LOG(SYNLoggingLevelTrace, "Migrating events in from files");
    auto operation = std::make_shared<SYNJSONEventImport>(eventStore_, filePaths);
    std::weak_ptr<SYNJSONEventImport> weak = operation;
    std::weak_ptr<plat::dispatch::OperationQueue> weakQueue = queue_;
    auto eventStore = eventStore_;
    operation->setCompletionBlock([weak, weakQueue, eventStore, filePaths, completion] {
        auto operation = weak.lock();
        plat::ErrorPtr error = operation ? operation->error() : SYNMakeError(SYNErrorUnknown);
        if (error) {
            auto queue = weakQueue.lock();
            if (queue) {
                SYN_LOG(SYNLoggingLevelVerbose, "Failed to import JSON. Trying Binary store.");
                auto binary = std::make_shared<SYNPersistentStoreEventImport>(eventStore, filePaths);
                std::weak_ptr<SYNPersistentStoreEventImport> weakBinary = binary;
                binary->setCompletionBlock([weakBinary, completion] {
                    auto binary = weakBinary.lock();
                    plat::ErrorPtr error = binary ? binary->error() : SYNMakeError(SYNErrorUnknown);
                    auto id = binary && !error ? binary->eventID() : nullptr;
                    if (completion) {
                        onMain([completion, error, id] { completion(error, id); });
                    }
                });
                queue->addOperation(binary);
                return;
            }
        }
        auto id = operation && !error ? operation->eventID() : nullptr;
        if (completion) {
            onMain([completion, error, id] { completion(error, id); });
        }
    });
    queue_->addOperation(operation);
}
