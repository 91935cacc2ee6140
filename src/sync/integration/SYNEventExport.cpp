#include "sync/integration/SYNEventExport.h"

#include <algorithm>
#include <optional>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/eventstore/SYNContextAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNRevisionManager.h"

using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::SortDescriptor;

namespace {

plat::ErrorPtr exceptionError(const std::exception& exception) {
    return SYNMakeError(SYNErrorExceptionRaised, exception.what());
}

// The text of each change's global identifier (none for a change without
// one), for changes read without their identifier records: the records not
// yet loaded are read in one query, as rows (no record is built), and the
// text of a loaded one is taken from it. A record a change names but the
// read does not find is left to the change itself (read as before).
std::vector<std::optional<std::string>> identifierTexts(const std::vector<ManagedObjectPtr>& changes,
                                                        plat::coredata::ManagedObjectContext& context) {
    std::vector<std::optional<std::string>> texts(changes.size());
    std::vector<plat::coredata::ManagedObjectPtr> records(changes.size());
    plat::Array unread;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        records[i] = changes[i]->objectForKey("globalIdentifier");
        if (records[i] && records[i]->isFault()) {
            unread.emplace_back(plat::ObjectPtr(records[i]->objectID()));
        }
    }
    std::unordered_map<int64_t, std::string> read;
    if (!unread.empty()) {
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate = Predicate::selfIn(plat::Value(std::move(unread)));
        request.resultType = plat::coredata::FetchRequestResultType::Dictionary;
        request.addPropertyToFetch("objectID");
        request.addPropertyToFetch("globalIdentifier");
        auto rows = context.fetchDictionaries(request);
        if (rows.ok()) {
            for (const auto& row : *rows) {
                const plat::Value* id = row.find("objectID");
                const plat::Value* text = row.find("globalIdentifier");
                auto recordID = id ? id->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr;
                if (recordID && text && text->isString()) {
                    read.emplace(recordID->primaryKey(), *text->asString());
                }
            }
        }
    }
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (!records[i]) {
            continue;
        }
        if (records[i]->isFault()) {
            auto found = read.find(records[i]->objectID()->primaryKey());
            if (found != read.end()) {
                texts[i] = found->second;  // changes of one object share the record
                continue;
            }
        }
        texts[i] = SYNObjectChange::globalIdentifierString(*changes[i]);
    }
    return texts;
}

// Puts changes in the order of a read sorted by the text of their global
// identifier: byte by byte, a change without one first, changes of one
// identifier as they were made (by key), as SQLite orders them. The texts
// (one per change, in the changes' order) go to identifiers.
void orderAsStored(
    std::vector<ManagedObjectPtr>& changes, std::vector<std::optional<std::string>> texts,
    std::unordered_map<const plat::coredata::ManagedObject*, std::optional<std::string>>& identifiers) {
    struct Keyed {
        const std::optional<std::string>* identifier;
        int64_t key = 0;
        ManagedObjectPtr change;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(changes.size());
    identifiers.reserve(identifiers.size() + changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto& change = changes[i];
        const auto id = change->objectID();
        const auto& identifier =
            identifiers.insert_or_assign(change.get(), std::move(texts[i])).first->second;
        keyed.push_back({&identifier, id ? id->primaryKey() : 0, std::move(change)});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (*a.identifier != *b.identifier) {
            return *a.identifier < *b.identifier;  // no identifier first
        }
        return a.key < b.key;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        changes[i] = std::move(keyed[i].change);
    }
}

}  // namespace

SYNEventExport::SYNEventExport(std::shared_ptr<SYNEventStore> eventStore,
                               plat::coredata::ManagedObjectIDPtr eventID,
                               std::shared_ptr<const plat::coredata::ManagedObjectModel> model)
    : eventStore_(std::move(eventStore)), eventID_(std::move(eventID)), model_(std::move(model)) {
    // The folder is emptied, not removed and made again: a new folder costs
    // two new inodes per export and a directory sync.
    plat::FileManager files;
    const auto directory = pathToMigratorTemporaryDirectory();
    auto names = files.contentsOfDirectoryAtPath(directory);
    if (names.ok()) {
        for (const auto& name : *names) {
            (void)files.removeItemAtPath(directory + "/" + name);
        }
    } else if (auto error = files.createDirectoryAtPath(directory, true)) {
        SYN_LOG(SYNLoggingLevelError, "Failed to create migrator temporary directory: %@", error);
    }
}

std::optional<std::string> SYNEventExport::globalIdentifierOf(
    const plat::coredata::ManagedObject& change) const {
    auto found = identifiersRead_.find(&change);
    return found != identifiersRead_.end() ? found->second : SYNObjectChange::globalIdentifierString(change);
}

bool SYNEventExport::migrateSavedChanges(std::span<const SYNSavedEvent::Change>) {
    return false;
}

std::optional<std::vector<SYNSavedEvent::Change>> SYNEventExport::savedChanges(std::size_t smallestBatch) {
    auto saved = eventStore_->savedEvent();
    if (!saved || !writesSavedChanges() || saved->context() != context_.get() || context_->hasChanges()) {
        return std::nullopt;
    }
    const auto revision = SYNStoreModificationEvent::revision(*event);
    if (!revision) {
        return std::nullopt;
    }
    auto changes = saved->take(*event->objectID(), *revision);
    if (!changes || changes->size() > smallestBatch) {
        return std::nullopt;
    }
    // By entity, each entity's in the order of the rows' read: by the text
    // of the global identifier, byte by byte, none first, then by key (see
    // orderAsStored).
    // One three-way comparison of each field (most changes share their
    // entity's name).
    std::sort(changes->begin(), changes->end(),
              [](const SYNSavedEvent::Change& a, const SYNSavedEvent::Change& b) {
                  if (const int order = a.entityName.compare(b.entityName); order != 0) {
                      return order < 0;
                  }
                  if (a.globalIdentifier.has_value() != b.globalIdentifier.has_value()) {
                      return !a.globalIdentifier.has_value();
                  }
                  if (a.globalIdentifier) {
                      if (const int order = a.globalIdentifier->compare(*b.globalIdentifier); order != 0) {
                          return order < 0;
                      }
                  }
                  return a.key < b.key;
              });
    return changes;
}

std::string SYNEventExport::pathToMigratorTemporaryDirectory() const {
    return eventStore_->pathToTemporaryDirectory() + "/EventMigrator";
}

std::string SYNEventExport::createTemporaryFilePath() const {
    const auto directory = pathToMigratorTemporaryDirectory();
    plat::FileManager files;
    if (!files.fileExistsAtPath(directory)) {
        // A folder that cannot be made fails the file written into it, which reports.
        (void)files.createDirectoryAtPath(directory, true);
    }
    return directory + "/" + plat::ProcessInfo::processInfo().globallyUniqueString();
}

std::string SYNEventExport::newFilePath() const {
    // The folder was made or emptied when the export was made.
    return pathToMigratorTemporaryDirectory() + "/" + plat::ProcessInfo::processInfo().globallyUniqueString();
}

plat::ErrorPtr SYNEventExport::writeNewFile(std::string_view data, const std::string& path) const {
    // The file is new (its name is a fresh UUID) and read by nobody before
    // the export has finished: written in place, not synced (it is a step on
    // the way to the cloud, exported again from the event store when lost).
    plat::FileManager files;
    auto error = files.writeNewFile(data, path);
    if (error && plat::isNoSuchFileError(error)) {
        // The folder went away since the export began: made again.
        const auto directory = path.substr(0, path.find_last_of('/'));
        if (auto folderError = files.createDirectoryAtPath(directory, true)) {
            return folderError;
        }
        error = files.writeNewFile(data, path);
    }
    return error;
}

void SYNEventExport::addFilePath(const std::string& path) {
    plat::MutexLock lock(mutex_);
    filePaths_.push_back(path);
}

std::vector<std::string> SYNEventExport::filePaths() const {
    plat::MutexLock lock(mutex_);
    return filePaths_;
}

plat::ErrorPtr SYNEventExport::error() const {
    plat::MutexLock lock(mutex_);
    return error_;
}

void SYNEventExport::setError(plat::ErrorPtr error) {
    plat::MutexLock lock(mutex_);
    if (!error_) {
        error_ = std::move(error);
    }
}

void SYNEventExport::main() {
    context_ = eventStore_->managedObjectContext();
    if (!context_) {
        setError(SYNMakeError(SYNErrorEnlistState, "The event store holds no event data."));
        return;
    }
    auto& context = *context_;
    plat::ErrorPtr localError;
    bool success = false;
    auto refetch = [&]() -> bool {
        auto found = context.existingObjectWithID(eventID_);
        if (!found.ok()) {
            localError = found.error();
            event = nullptr;
            return false;
        }
        event = *found;
        return true;
    };

    const auto entities = syn_entitiesOrderedByMigrationPriority(*model_);
    auto batchSizeOf = [](const plat::coredata::EntityDescription& entity) {
        const int64_t size = syn_migrationBatchSize(entity);
        return size > 0 ? size : static_cast<int64_t>(SYNEventExportDefaultBatchSize);
    };
    // An entity's changes ordered by global identifier, with what their
    // entries in the file take from other records: the global identifier and
    // the data files.
    auto changesRequest = [&](std::vector<plat::coredata::PredicatePtr> conditions) {
        conditions.insert(conditions.begin(),
                          Predicate::equal("storeModificationEvent", plat::Value(plat::ObjectPtr(event))));
        FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = Predicate::andPredicate(std::move(conditions));
        request.sortDescriptors = {SortDescriptor("globalIdentifier.globalIdentifier")};
        request.relationshipKeyPathsForPrefetching = {"globalIdentifier", "dataFiles"};
        return request;
    };
    // Most events hold fewer changes than the smallest batch: then one fetch
    // reads them all, and each entity takes its own (in the same order)
    // instead of a fetch of its own.
    std::optional<std::map<std::string, std::vector<ManagedObjectPtr>>> smallEvent;
    // Or the changes kept from the event's save, when they stand for the rows.
    std::optional<std::vector<SYNSavedEvent::Change>> saved;

    context.performBlockAndWait([&] {
        try {
            success = refetch() && prepareForExport();
            if (!success || entities.empty()) {
                return;
            }
            int64_t smallest = batchSizeOf(*entities.front());
            for (const auto* entity : entities) {
                smallest = std::min(smallest, batchSizeOf(*entity));
            }
            saved = savedChanges(static_cast<std::size_t>(smallest));
            if (saved) {
                return;
            }
            // Read in any order: ordered by SQLite, the read joins every
            // change to its identifier record and sorts the rows, which costs
            // more than the read of a small event itself. They are put in
            // order below, with the identifier records the read prefetches.
            // Only the identifiers' text is written, so their records are
            // read as rows rather than prefetched as objects.
            FetchRequest request = changesRequest({});
            request.sortDescriptors.clear();
            request.ordersByKey = false;
            request.relationshipKeyPathsForPrefetching = {"dataFiles"};
            request.fetchLimit = static_cast<std::size_t>(smallest) + 1;
            auto fetched = context.executeFetchRequest(request);
            if (!fetched.ok()) {
                localError = fetched.error();
                success = false;
                return;
            }
            if (fetched->size() <= static_cast<std::size_t>(smallest)) {
                orderAsStored(*fetched, identifierTexts(*fetched, context), identifiersRead_);
                smallEvent.emplace();
                for (auto& change : *fetched) {
                    const plat::Value name = change->valueForKey("nameOfEntity");
                    if (name.isString()) {
                        (*smallEvent)[*name.asString()].push_back(std::move(change));
                    }
                }
            }
        } catch (const std::exception& exception) {
            setError(exceptionError(exception));
            success = false;
        }
    });

    // The fill level of the current file, shared by every entity.
    float fill = 0;
    for (const auto* entity : entities) {
        if (!success) {
            break;
        }
        SYN_LOG(SYNLoggingLevelVerbose, "Exporting files for entity: %@", entity->name());
        const int64_t batchSize = batchSizeOf(*entity);
        const float step = 1.0f / static_cast<float>(batchSize);
        context.performBlockAndWait([&] {
            try {
                if (!refetch()) {
                    localError = SYNMakeError(SYNErrorUnknown, "Could not refetch event in exporter.");
                    success = false;
                    return;
                }
                success = prepareForNewEntity(*entity);
                if (!success) {
                    return;
                }
                auto exportBatch = [&](const std::vector<ManagedObjectPtr>& batch,
                                       std::size_t batchesStillToCome, bool& stop) {
                    try {
                        SYN_LOG(SYNLoggingLevelVerbose, "Number of object changes remaining: %lu",
                                static_cast<unsigned long>(batchSize) * batchesStillToCome);
                        success = migrateObjectChanges(batch);
                        if (!success) {
                            stop = true;
                            return;
                        }
                        fill = fill + step * static_cast<float>(batch.size());
                        if (batchesStillToCome > 0 && fill >= 1.0f) {
                            context.reset();
                            if (!refetch()) {
                                success = false;
                                stop = true;
                                return;
                            }
                            success = prepareNewFile();
                            if (success) {
                                fill = 0;
                            } else {
                                stop = true;
                            }
                        }
                    } catch (const std::exception& exception) {
                        setError(exceptionError(exception));
                        success = false;
                        stop = true;
                    }
                };
                if (saved) {
                    // The changes kept from the event's save: a single batch.
                    auto [first, last] = std::equal_range(saved->begin(), saved->end(), entity->name(),
                                                          SYNSavedEvent::EntityOrder());
                    if (first != last) {
                        success = migrateSavedChanges(std::span<const SYNSavedEvent::Change>(first, last));
                    }
                    return;
                }
                if (smallEvent) {
                    // The event's changes were read whole: a single batch.
                    auto own = smallEvent->find(entity->name());
                    if (own != smallEvent->end()) {
                        bool stop = false;
                        exportBatch(own->second, 0, stop);
                        for (const auto& change : own->second) {
                            identifiersRead_.erase(change.get());
                        }
                        smallEvent->erase(own);
                    }
                    return;
                }
                // An entity with a few changes is read in one fetch, limited
                // to one more than a batch. Only when there are more are they
                // read by IDs in batches (the first batch is then read twice).
                // The request is made only here: the kept changes and a small
                // event's read need none.
                FetchRequest request =
                    changesRequest({Predicate::equal("nameOfEntity", plat::Value(entity->name()))});
                FetchRequest firstBatch = request;
                firstBatch.fetchLimit = static_cast<std::size_t>(batchSize) + 1;
                auto fetched = context.executeFetchRequest(firstBatch);
                if (!fetched.ok()) {
                    localError = fetched.error();
                    success = false;
                    return;
                }
                if (fetched->size() <= static_cast<std::size_t>(batchSize)) {
                    if (!fetched->empty()) {
                        bool stop = false;
                        exportBatch(*fetched, 0, stop);
                    }
                    return;
                }
                fetched->clear();
                plat::ErrorPtr enumerationError;
                success = syn_enumerateObjectsForFetchRequest(
                    context, request, static_cast<std::size_t>(batchSize), exportBatch, &enumerationError);
                if (!success && !localError) {
                    localError = enumerationError;
                }
            } catch (const std::exception&) {
                success = false;
                localError = SYNMakeError(SYNErrorExceptionRaised);
            }
        });
    }

    context.performBlockAndWait([&] {
        // Changes of entities not exported are let go with their strings.
        identifiersRead_.clear();
        smallEvent.reset();
        saved.reset();
        try {
            if (!refetch()) {
                success = false;
            }
            success = completeMigrationSuccessfully(success) && success;
        } catch (const std::exception& exception) {
            setError(exceptionError(exception));
            success = false;
        }
    });
    if (!error() && localError) {
        setError(localError);
    }
    if (!success && !error()) {
        setError(SYNMakeError(SYNErrorUnknown, "The event could not be exported."));
    }
    if (error()) {
        plat::MutexLock lock(mutex_);
        filePaths_.clear();
    }
}

// --- Import -------------------------------------------------------------------

SYNEventImport::SYNEventImport(std::shared_ptr<SYNEventStore> eventStore,
                               std::vector<std::string> importPaths)
    : eventStore_(std::move(eventStore)), importPaths_(std::move(importPaths)) {}

plat::ErrorPtr SYNEventImport::error() const {
    plat::MutexLock lock(mutex_);
    return error_;
}

plat::coredata::ManagedObjectIDPtr SYNEventImport::eventID() const {
    plat::MutexLock lock(mutex_);
    return eventID_;
}

void SYNEventImport::setEventID(plat::coredata::ManagedObjectIDPtr eventID) {
    plat::MutexLock lock(mutex_);
    eventID_ = std::move(eventID);
}

void SYNEventImport::main() {
    SYN_LOG(SYNLoggingLevelTrace, "Migrating file events to event store");
    if (importPaths_.empty()) {
        return;
    }
    context_ = eventStore_->managedObjectContext();
    if (!context_) {
        plat::MutexLock lock(mutex_);
        error_ = SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
        return;
    }
    auto& context = *context_;
    bool success = true;
    plat::ErrorPtr failure;
    context.performBlockAndWait([&] {
        try {
            prepareToImport();
        } catch (const std::exception& exception) {
            success = false;
            failure = exceptionError(exception);
        }
    });
    for (std::size_t index = 0; success && index < importPaths_.size(); ++index) {
        const auto& path = importPaths_[index];
        context.performBlockAndWait([&] {
            try {
                SYN_LOG(SYNLoggingLevelVerbose, "Importing file at URL: %@", path);
                plat::ErrorPtr fileError;
                if (index == 0) {
                    auto event = importFirstFile(path, &fileError);
                    success = event != nullptr;
                    if (event) {
                        eventType_ = SYNStoreModificationEvent::type(*event);
                        if (eventType_ == SYNStoreModificationEventTypeBaseline) {
                            eventType_ = SYNStoreModificationEventTypeBaselineConsolidating;
                        }
                        event->setValue(plat::Value(int64_t{SYNStoreModificationEventTypeIncomplete}),
                                        "type");
                    }
                } else {
                    success = importSubsequentFile(path, &fileError);
                }
                if (success) {
                    if (auto saveError = context.save()) {
                        success = false;
                        failure = saveError;
                    }
                    context.reset();
                } else {
                    failure = fileError;
                }
            } catch (const std::exception&) {
                SYN_LOG(SYNLoggingLevelVerbose, "Exception occurred during event import. Stopping.");
                success = false;
                failure = SYNMakeError(SYNErrorExceptionRaised);
            }
        });
    }
    if (success && eventID()) {
        context.performBlockAndWait([&] { success = finishImport(); });
        if (!success && !failure) {
            failure = error();
        }
    }
    if (!success) {
        if (!failure) {
            failure = SYNMakeError(SYNErrorUnknown, "The event files could not be imported.");
        }
        {
            plat::MutexLock lock(mutex_);
            error_ = failure;
        }
        context.performBlockAndWait([&] { discardPartialEvent(); });
        SYN_LOG(SYNLoggingLevelError, "Failed to migrate modification events: %@", failure);
    }
}

bool SYNEventImport::finishImport() {
    auto event = context_->existingObjectWithID(eventID());
    if (!event.ok()) {
        plat::MutexLock lock(mutex_);
        error_ = event.error();
        return false;
    }
    (*event)->setValue(plat::Value(int64_t{eventType_}), "type");
    auto saveError = context_->save();
    context_->reset();
    if (saveError) {
        plat::MutexLock lock(mutex_);
        error_ = saveError;
        return false;
    }
    return true;
}

void SYNEventImport::discardPartialEvent() {
    // Whatever the failed file left unsaved goes first, so that the deletion
    // below cannot fail on it and leave the saved part of the event behind.
    context_->reset();
    if (auto id = eventID()) {
        auto event = context_->existingObjectWithID(id);
        if (event.ok()) {
            context_->deleteObject(*event);
            if (auto saveError = context_->save()) {
                SYN_LOG(SYNLoggingLevelError, "Could not save the event store after import: %@", saveError);
            }
        }
        context_->reset();
    }
    setEventID(nullptr);
}

std::optional<SYNRevisionSet> SYNEventExport::keptRevisionsOfOtherStores() const {
    const auto id = event ? event->objectID() : nullptr;
    if (!id || !context_) {
        return std::nullopt;
    }
    return SYNRevisionManager::keptRevisionsOfOtherStores(*eventStore_, *context_, *id);
}
