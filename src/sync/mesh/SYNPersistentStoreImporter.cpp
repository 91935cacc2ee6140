#include "sync/mesh/SYNPersistentStoreImporter.h"

#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Date.h"
#include "sync/eventstore/SYNContextAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

using namespace plat::coredata;

SYNPersistentStoreImporter::SYNPersistentStoreImporter(std::string persistentStorePath,
                                                       std::shared_ptr<ManagedObjectModel> model,
                                                       std::shared_ptr<SYNEventStore> eventStore)
    : storePath_(std::move(persistentStorePath)),
      model_(std::move(model)),
      eventStore_(std::move(eventStore)) {}

uint64_t SYNPersistentStoreImporter::numberOfProgressUnits() const {
    // Ignored entities are not walked, so they report no units either.
    return 2 * static_cast<uint64_t>(syn_entitiesOrderedByMigrationPriority(*model_).size());
}

plat::Result<std::shared_ptr<SYNEventBuilder>> SYNPersistentStoreImporter::makeEventBuilder() {
    auto builder = std::make_shared<SYNEventBuilder>(eventStore_);
    builder->setMesh(mesh);
    auto revision = builder->makeNewEventOfType(SYNStoreModificationEventTypeBaseline);
    if (!revision.ok()) {
        return revision.error();
    }
    builder->performBlockAndWait([&] {
        if (auto event = builder->event()) {
            event->setValue(plat::Value(int64_t(0)), "globalCount");
            event->setValue(plat::Value(plat::Date::distantPast().timeIntervalSinceReferenceDate()),
                            "timestamp");
        }
    });
    return builder;
}

void SYNPersistentStoreImporter::finish(const SYNCompletion& completion, plat::ErrorPtr error) {
    plat::dispatch::Queue::main().async([completion, error] {
        if (completion) {
            completion(error);
        }
    });
}

void SYNPersistentStoreImporter::importWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Importing persistent store");
    auto builderResult = makeEventBuilder();
    if (!builderResult.ok()) {
        finish(completion, builderResult.error());
        return;
    }
    auto builder = *builderResult;
    if (!importPersistentStoreData) {
        SYN_LOG(3, "Saving");
        auto error = builder->finalizeNewEvent();
        if (!error) {
            error = builder->saveAndReset();
        }
        finish(completion, error);
        return;
    }

    auto context = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    plat::ErrorPtr addError;
    context->performBlockAndWait([&] {
        auto coordinator = PersistentStoreCoordinator::create(model_);
        context->setPersistentStoreCoordinator(coordinator);
        plat::Dictionary options = persistentStoreOptions.value_or(
            plat::Dictionary{{MigratePersistentStoresAutomaticallyOption, plat::Value(true)},
                             {InferMappingModelAutomaticallyOption, plat::Value(true)}});
        coordinator->performBlockAndWait([&] {
            auto store = coordinator->addPersistentStore(SQLiteStoreType, "",
                                                         plat::URL::fileURLWithPath(storePath_), options);
            if (!store.ok()) {
                addError = store.error();
            }
        });
    });
    if (addError) {
        finish(completion, addError);
        return;
    }
    // The builder alone writes identifier records while the store is
    // imported: the changes' links take the strings the first pass made
    // instead of looking every linked object up again.
    builder->setRemembersIdentifiers(true);
    builder->setAddsEachObjectOnce(true);
    auto self = shared_from_this();
    context->performBlock([self, context, builder, completion] {
        plat::ErrorPtr error;
        try {
            SYN_LOG(3, "Adding Global Identifiers");
            auto none = self->eventStoreHoldsNoIdentifierRecords(*builder);
            if (!none.ok()) {
                error = none.error();
            } else {
                // An enlist imports into a new event store (and a save during
                // the import fails it): no record can name these objects yet.
                builder->setObjectsHaveNoIdentifierRecords(*none);
                self->planIdentifiers_ = *none;
                if (*none) {
                    // Every object gets a new identifier: made in ascending
                    // order, their records go in at the end of the index
                    // over identifiers.
                    builder->prepareNewIdentifiers(self->countObjects(*context));
                }
                error = self->addGlobalIdentifiers(*builder, *context);
                builder->prepareNewIdentifiers(0);
                builder->setObjectsHaveNoIdentifierRecords(false);
            }
            if (!error) {
                SYN_LOG(3, "Adding Object Changes");
                error = self->addObjectChanges(*builder, *context);
            }
            self->walkedIDs_.clear();  // any not walked (after an error)
            if (!error) {
                SYN_LOG(3, "Saving");
                error = builder->finalizeNewEvent();
                if (!error) {
                    error = builder->saveAndReset();
                }
            }
        } catch (const std::exception& exception) {
            error = SYNMakeError(SYNErrorExceptionRaised,
                                 plat::format("Exception during store import: %@", exception.what()));
        }
        self->walkedIDs_.clear();
        // The application store stays closed once the import ends.
        context->reset();
        context->setPersistentStoreCoordinator(nullptr);
        self->finish(completion, error);
    });
}

plat::ErrorPtr SYNPersistentStoreImporter::walkEntities(SYNEventBuilder& builder,
                                                        ManagedObjectContext& context, const BatchWork& work,
                                                        std::size_t batchScale) {
    for (const auto* entity : syn_entitiesOrderedByMigrationPriority(*model_)) {
        FetchRequest request(entity->name());
        request.includesSubentities = false;
        request.returnsObjectsAsFaults = false;
        auto batchSize = syn_migrationBatchSize(*entity);
        if (batchSize <= 0) {
            batchSize = 500;
        }
        batchSize *= static_cast<decltype(batchSize)>(batchScale);
        plat::ErrorPtr batchError;
        plat::ErrorPtr fetchError;
        auto eachBatch = [&](const std::vector<ManagedObjectPtr>& batch, std::size_t remaining, bool& stop) {
            batchError = work(batch, remaining * static_cast<std::size_t>(batchSize), *entity);
            if (!batchError) {
                batchError = builder.saveAndReset();
            }
            context.reset();
            if (batchError) {
                stop = true;
            }
        };
        bool ok = false;
        if (auto walked = walkedIDs_.extract(entity)) {
            const WalkedObjects& objects = walked.mapped();
            ok = syn_enumerateObjectsWithIDs(
                context, request, objects.keys.size(),
                [&objects](std::size_t i) {
                    return objects.store->objectIDFor(objects.entity, objects.keys[i]);
                },
                static_cast<std::size_t>(batchSize), eachBatch, &fetchError);
        } else {
            ok = syn_enumerateObjectsForFetchRequest(context, request, static_cast<std::size_t>(batchSize),
                                                     eachBatch, &fetchError);
        }
        if (!ok) {
            if (batchError) {
                return batchError;
            }
            return fetchError ? fetchError : SYNMakeError(SYNErrorUnknown);
        }
        if (progressUnitsCompletionBlock) {
            progressUnitsCompletionBlock(1);
        }
    }
    return nullptr;
}

std::size_t SYNPersistentStoreImporter::countObjects(ManagedObjectContext& context) {
    // A count that cannot be read counts nothing: the identifiers are then
    // made batch by batch, as for objects beyond the count.
    std::size_t total = 0;
    for (const auto* entity : syn_entitiesOrderedByMigrationPriority(*model_)) {
        FetchRequest request(entity->name());
        request.includesSubentities = false;
        auto count = context.countForFetchRequest(request);
        if (count.ok()) {
            total += static_cast<std::size_t>(*count);
        }
    }
    return total;
}

plat::Result<bool> SYNPersistentStoreImporter::eventStoreHoldsNoIdentifierRecords(SYNEventBuilder& builder) {
    plat::Result<bool> none = false;
    builder.performBlockAndWait([&] {
        auto eventContext = eventStore_->managedObjectContext();
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.fetchLimit = 1;
        auto count = eventContext->countForFetchRequest(request);
        none = count.ok() ? plat::Result<bool>(*count == 0) : plat::Result<bool>(count.error());
    });
    return none;
}

// The identifier pass saves every ten batches: its records are small, and
// each save rewrites the index pages its identifiers (random UUIDs) fell on,
// hundreds per save whatever the batch's size.
constexpr std::size_t kIdentifierBatchScale = 10;

plat::ErrorPtr SYNPersistentStoreImporter::addGlobalIdentifiers(SYNEventBuilder& builder,
                                                                ManagedObjectContext& context) {
    auto services = mesh.lock();
    if (services && !services->mayGiveGlobalIdentifiers()) {
        return addGlobalIdentifiersByObjectIDs(builder, context);
    }
    return walkEntities(
        builder, context,
        [&](const SYNManagedObjects& batch, std::size_t, const EntityDescription&) -> plat::ErrorPtr {
            auto strings = builder.retrieveGlobalIdentifierStringsForManagedObjects(batch, false);
            SYNManagedObjectIDs ids;
            ids.reserve(batch.size());
            for (const auto& object : batch) {
                ids.push_back(object->objectID());
            }
            auto added = builder.addGlobalIdentifiersForManagedObjectIDs(ids, strings);
            return added.ok() ? nullptr : added.error();
        },
        kIdentifierBatchScale);
}

plat::ErrorPtr SYNPersistentStoreImporter::addGlobalIdentifiersByObjectIDs(SYNEventBuilder& builder,
                                                                           ManagedObjectContext& context) {
    // The same walk as walkEntities (entities in order, objects in the order
    // of their IDs), reading the IDs alone.
    for (const auto* entity : syn_entitiesOrderedByMigrationPriority(*model_)) {
        FetchRequest request(entity->name());
        request.includesSubentities = false;
        request.resultType = FetchRequestResultType::Dictionary;
        request.propertiesToFetch = {{"objectID", "objectID"}};
        auto rows = context.fetchDictionaries(request);
        if (!rows.ok()) {
            return rows.error();
        }
        SYNManagedObjectIDs ids;
        ids.reserve(rows->size());
        for (const auto& row : *rows) {
            const plat::Value* id = row.find("objectID");
            if (auto objectID = id ? id->asObjectOf<ManagedObjectID>() : nullptr) {
                ids.push_back(std::move(objectID));
            }
        }
        rows->clear();
        auto batchSize = syn_migrationBatchSize(*entity);
        if (batchSize <= 0) {
            batchSize = 500;
        }
        const std::size_t size = static_cast<std::size_t>(batchSize) * kIdentifierBatchScale;
        for (std::size_t first = 0; first < ids.size(); first += size) {
            const SYNManagedObjectIDs batch(
                ids.begin() + static_cast<std::ptrdiff_t>(first),
                ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), first + size)));
            if (planIdentifiers_) {
                // No record can name these objects yet: each record is made
                // by the changes' pass, saved with the object's change.
                builder.planIdentifiersForManagedObjectIDs(batch);
                continue;
            }
            auto added = builder.addGlobalIdentifiersForManagedObjectIDs(
                batch, std::vector<std::optional<std::string>>(batch.size()));
            plat::ErrorPtr error = added.ok() ? builder.saveAndReset() : added.error();
            if (error) {
                return error;
            }
        }
        if (planIdentifiers_) {
            keepWalkedObjects(*entity, ids);
        }
        if (progressUnitsCompletionBlock) {
            progressUnitsCompletionBlock(1);
        }
    }
    return nullptr;
}

void SYNPersistentStoreImporter::keepWalkedObjects(const EntityDescription& entity,
                                                   const SYNManagedObjectIDs& ids) {
    // Kept only when every ID names a row of one store and one entity (the
    // walk does not include sub-entities): else the changes' pass reads the
    // IDs again.
    if (ids.empty()) {
        return;  // nothing to walk: the changes' pass finds none either
    }
    WalkedObjects walked;
    walked.store = ids.front()->persistentStore();
    walked.entity = ids.front()->entity();
    walked.keys.reserve(ids.size());
    for (const auto& id : ids) {
        if (!walked.store || id->isTemporaryID() || id->entity() != walked.entity ||
            id->persistentStore() != walked.store) {
            return;
        }
        walked.keys.push_back(id->primaryKey());
    }
    walkedIDs_[&entity] = std::move(walked);
}

plat::ErrorPtr SYNPersistentStoreImporter::addObjectChanges(SYNEventBuilder& builder,
                                                            ManagedObjectContext& context) {
    const EntityDescription* logged = nullptr;
    return walkEntities(builder, context,
                        [&](const SYNManagedObjects& batch, std::size_t remaining,
                            const EntityDescription& entity) -> plat::ErrorPtr {
                            if (logged != &entity) {
                                SYN_LOG(4, "Importing Entity %@", entity.name());
                                logged = &entity;
                            }
                            SYN_LOG(4, "Approx. objects remaining for this entity: %lu", remaining);
                            return builder.addChangesForInsertedObjects(batch, true, true, context);
                        });
}
