// Applying the chosen events: entity by entity in migration-priority order,
// and inside an entity in batches of global identifiers, through the insert,
// update and delete stages; then the relationships into the entity from
// entities integrated before it (and from itself); and, in a full
// integration, deleting the objects no event inserted.
#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/integration/SYNDeleteStage.h"
#include "sync/integration/SYNEventIntegrator.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNUpdateStage.h"

using plat::Value;
using plat::coredata::EntityDescription;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ObjectIDEqual;
using plat::coredata::ObjectIDHash;
using plat::coredata::Predicate;

namespace {

// Event IN lists longer than this are filtered in memory instead.
constexpr std::size_t kMaximumEventsInQuery = 5000;

// When the merged events hold at most SYNImportedChanges::maximumChanges()
// stored changes in all, each entity's changes are read with their values at
// once: the stages would otherwise read the same rows again for the values (a
// second query, and every row decoded again); the stages hold values of 2,000
// changes at a time anyway.

// Changes that belong to one of the events.
plat::coredata::PredicatePtr changedInEvents(const SYNManagedObjectIDs& eventIDs) {
    plat::Array events;
    events.reserve(eventIDs.size());
    for (const auto& id : eventIDs) {
        events.push_back(Value(plat::ObjectPtr(id)));
    }
    return Predicate::in("storeModificationEvent", Value(std::move(events)));
}

// The number of stored changes of the events, counted in the store's index
// on the changes' events; nullopt where it is not counted.
std::optional<std::size_t> storedChangeCount(ManagedObjectContext& context,
                                             const SYNManagedObjectIDs& eventIDs) {
    auto coordinator = context.persistentStoreCoordinator();
    if (!coordinator || context.parentContext() || eventIDs.size() > kMaximumEventsInQuery) {
        return std::nullopt;
    }
    if (eventIDs.empty()) {
        return 0;
    }
    auto changeEntity = coordinator->managedObjectModel()->entityForName(SYNObjectChangeEntityName);
    if (!changeEntity) {
        return std::nullopt;
    }
    FetchRequest request(SYNObjectChangeEntityName);
    request.predicate = changedInEvents(eventIDs);
    auto count = coordinator->countRows(request, *changeEntity);
    return count.ok() ? std::optional<std::size_t>(*count) : std::nullopt;
}

// Up to this many changes in all, the changes of every entity are read with
// one query (see readStoredChangesOfEvents) and held until each entity takes
// its own: a few hundred bytes a record without decoded values, some 20 MB
// at this bound. More are read entity by entity, as each is integrated.
constexpr std::size_t kChangesReadAtOnce = 50000;
// Changes looked up by ID per query.
constexpr std::size_t kChangesInQuery = 2000;

// The event store's context is kept as it is between entities and batches
// while it holds no unsaved change and at most this many objects.
constexpr std::size_t kObjectsKeptUnreset = 2000;

template <class T>
using IDMap = std::unordered_map<ManagedObjectIDPtr, T, ObjectIDHash, ObjectIDEqual>;

// One object change, as the integrator needs it.
struct ChangeRow {
    ManagedObjectIDPtr changeID;
    ManagedObjectIDPtr globalIdentifierID;
    int16_t type = 0;
    std::size_t eventIndex = 0;  // position of its event in integration order
};

// Changes of one type per event, in integration order.
struct ChangesByEvent {
    std::vector<ManagedObjectIDPtr> inserts, updates, deletes;
};
struct ChangeRowsByEvent {
    std::vector<const ChangeRow*> inserts, updates, deletes;
};
// The stored changes of one entity read ahead, without their identifier
// rows' strings, with the ID of each one's event (parallel): those read from
// the store, and those the import handed over (see SYNImportedChanges).
struct EntityChanges {
    std::vector<SYNChangeRecord> records;
    std::vector<ManagedObjectIDPtr> eventOfChange;
    std::vector<SYNChangeRecord> handed;
    std::vector<ManagedObjectIDPtr> handedEventOfChange;
    std::shared_ptr<SYNImportedChanges> handOff;  // of the handed records
};

}  // namespace

namespace {

// The records of the changes request selects, loaded as objects of the
// context, with the position of each one's event (those of other events
// are left out).
plat::Result<std::vector<SYNChangeRecord>> loadChangeRecords(ManagedObjectContext& context,
                                                             const FetchRequest& request,
                                                             const IDMap<std::size_t>& eventIndexes,
                                                             std::vector<std::size_t>& indexes) {
    auto fetched = context.executeFetchRequest(request);
    if (!fetched.ok()) {
        return fetched.error();
    }
    SYNManagedObjects changes;
    changes.reserve(fetched->size());
    indexes.clear();
    indexes.reserve(fetched->size());
    try {
        for (const auto& change : *fetched) {
            auto event = change->objectForKey("storeModificationEvent");
            auto found = event ? eventIndexes.find(event->objectID()) : eventIndexes.end();
            if (found != eventIndexes.end()) {
                changes.push_back(change);
                indexes.push_back(found->second);
            }
        }
    } catch (const std::exception& exception) {
        return SYNMakeError(SYNErrorUnknown, exception.what());
    }
    return SYNChangeRecord::fromChanges(changes, context);
}

// The changes of the entity (exactly this entity) in the events, each with
// the position of its event in the integration order. Their records go into
// the cache, so that the stages need not load them again.
plat::Result<std::vector<ChangeRow>> fetchChangeRows(
    ManagedObjectContext& context, const EntityDescription& entity, const IDMap<std::size_t>& eventIndexes,
    const SYNManagedObjectIDs& eventIDs, const std::vector<int16_t>& types, SYNChangeRecordCache& cache,
    bool withValues = false, EntityChanges* readAhead = nullptr) {
    std::vector<ChangeRow> rows;
    plat::ErrorPtr error;
    context.performBlockAndWait([&] {
        FetchRequest request(SYNObjectChangeEntityName);
        std::vector<plat::coredata::PredicatePtr> conditions{
            Predicate::equal("nameOfEntity", Value(entity.name()))};
        if (!types.empty()) {
            plat::Array typeList;
            for (int16_t type : types) {
                typeList.push_back(Value(int64_t{type}));
            }
            conditions.push_back(Predicate::in("type", Value(std::move(typeList))));
        }
        if (eventIDs.size() <= kMaximumEventsInQuery) {
            conditions.push_back(changedInEvents(eventIDs));
        }
        request.predicate = Predicate::andPredicate(std::move(conditions));
        // Read straight from the stored rows where the context allows; the
        // changes are only wanted as records. Those rows come in any order
        // (the store need not sort whole rows read through the event index):
        // they are put in integration order below.
        std::vector<ManagedObjectIDPtr> eventOfChange;
        std::optional<std::vector<SYNChangeRecord>> stored;
        if (readAhead) {
            // The changes were read ahead; their identifier rows are read
            // now, as they are after the entities integrated before (those
            // of the handed records as the hand-off saw them saved).
            auto read = SYNChangeRecord::readStoredIdentifierRows(readAhead->records, context);
            if (!read.ok()) {
                error = read.error();
                return;
            }
            const bool handed =
                readAhead->handed.empty() ||
                (readAhead->handOff && readAhead->handOff->readIdentifierRows(readAhead->handed));
            if (*read && handed && readAhead->records.empty()) {
                stored = std::move(readAhead->handed);
                eventOfChange = std::move(readAhead->handedEventOfChange);
            } else if (*read && handed) {
                stored = std::move(readAhead->records);
                eventOfChange = std::move(readAhead->eventOfChange);
                stored->insert(stored->end(), std::make_move_iterator(readAhead->handed.begin()),
                               std::make_move_iterator(readAhead->handed.end()));
                eventOfChange.insert(eventOfChange.end(), readAhead->handedEventOfChange.begin(),
                                     readAhead->handedEventOfChange.end());
            }
        } else {
            FetchRequest storedRequest = request;
            storedRequest.ordersByKey = false;
            // Their values are read as the stages load them, a stretch at a
            // time, rather than all of the entity's at once here.
            auto fetched = SYNChangeRecord::fetchStored(storedRequest, context, &eventOfChange, withValues);
            if (!fetched.ok()) {
                error = fetched.error();
                return;
            }
            stored = std::move(*fetched);
        }
        // The records of the events, each with the position of its event
        // (kOtherEvent: a change of another event, left out). Stored records
        // go into the cache from where they were read.
        constexpr std::size_t kOtherEvent = static_cast<std::size_t>(-1);
        std::vector<SYNChangeRecord> loaded;
        std::vector<std::size_t> indexes;
        const bool fromStore = stored.has_value();
        if (fromStore) {
            indexes.reserve(stored->size());
            for (std::size_t i = 0; i < stored->size(); ++i) {
                auto found = eventOfChange[i] ? eventIndexes.find(eventOfChange[i]) : eventIndexes.end();
                indexes.push_back(found != eventIndexes.end() ? found->second : kOtherEvent);
            }
        } else if (auto read = loadChangeRecords(context, request, eventIndexes, indexes)) {
            loaded = std::move(*read);
        } else {
            error = read.error();
            return;
        }
        std::vector<SYNChangeRecord>& records = fromStore ? *stored : loaded;
        rows.reserve(records.size());
        cache.reserve(records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            auto& record = records[i];
            if (indexes[i] == kOtherEvent || !record.globalIdentifierID) {
                continue;
            }
            ChangeRow row;
            row.changeID = record.changeID;
            row.globalIdentifierID = record.globalIdentifierID;
            row.type = record.type;
            row.eventIndex = indexes[i];
            rows.push_back(std::move(row));
            cache.add(std::move(record));
        }
        // Integration order; within an event the order of the change IDs
        // (stored rows: their keys; loaded objects come in key order, with
        // unsaved ones after them).
        if (fromStore) {
            std::sort(rows.begin(), rows.end(), [](const ChangeRow& a, const ChangeRow& b) {
                if (a.eventIndex != b.eventIndex) {
                    return a.eventIndex < b.eventIndex;
                }
                return a.changeID->primaryKey() < b.changeID->primaryKey();
            });
        } else {
            std::stable_sort(rows.begin(), rows.end(), [](const ChangeRow& a, const ChangeRow& b) {
                return a.eventIndex < b.eventIndex;
            });
        }
    });
    if (error) {
        return error;
    }
    return rows;
}

}  // namespace

// The stored changes of every entity in the events, by the entity they name.
// Empty (and `shown` false) where the stored rows are not what the context
// shows: then each entity reads its own as before.
struct SYNEventIntegrator::StoredChanges {
    bool shown = false;
    std::unordered_map<std::string, EntityChanges> byEntity;
};

namespace {

// One query for the changes of all entities in the events, instead of one per
// entity: each of those walked the changes of every entity through the index
// on the events to keep its own (used up to kChangesReadAtOnce changes). With
// their values only while they are few (see SYNImportedChanges::maximumChanges); else the
// stages read the values a stretch at a time, and what is held for all
// entities at once is the records without them. Change rows of the events
// being integrated are not written while they are; their identifier rows may
// be (store URIs), so those are read per entity. The changes of the events
// the import of this merge handed over (handOff, when given) are taken from
// it instead: it has just stored them, and they are what the stored rows
// hold.
plat::ErrorPtr readStoredChangesOfEvents(ManagedObjectContext& context, const SYNManagedObjectIDs& eventIDs,
                                         const std::shared_ptr<SYNImportedChanges>& handOff,
                                         std::unordered_map<std::string, EntityChanges>& byEntity,
                                         bool& shown, bool withValues) {
    plat::ErrorPtr error;
    context.performBlockAndWait([&] {
        shown = SYNChangeRecord::storedRowsAreShown(context);
        if (!shown) {
            return;
        }
        SYNManagedObjectIDs rest;
        if (handOff) {
            // The records of one entity mostly follow each other: its list is
            // looked up again only when the entity changes.
            EntityChanges* last = nullptr;
            const std::string* lastName = nullptr;
            handOff->takeChanges(
                eventIDs,
                [&](SYNChangeRecord& record, const ManagedObjectIDPtr& eventID) {
                    if (!last || *lastName != record.entityName) {
                        auto [found, added] = byEntity.try_emplace(record.entityName);
                        last = &found->second;
                        lastName = &found->first;
                        last->handOff = handOff;
                    }
                    last->handed.push_back(std::move(record));
                    last->handedEventOfChange.push_back(eventID);
                },
                rest);
        } else {
            rest = eventIDs;
        }
        if (!rest.empty()) {
            FetchRequest request(SYNObjectChangeEntityName);
            request.predicate = changedInEvents(rest);
            request.ordersByKey = false;
            std::vector<ManagedObjectIDPtr> eventOfChange;
            auto stored = SYNChangeRecord::fetchStoredChanges(request, context, &eventOfChange, withValues);
            if (!stored.ok()) {
                error = stored.error();
                return;
            }
            shown = stored->has_value();
            if (!shown) {
                return;
            }
            // Each entity's lists are counted first, then filled: grown one
            // record at a time, they moved every record several times. The
            // records of one entity mostly follow each other, so the list
            // is looked up again only when the entity changes.
            auto& records = **stored;
            std::unordered_map<std::string_view, std::size_t> counts;
            const std::string* lastName = nullptr;
            std::size_t* lastCount = nullptr;
            for (const auto& record : records) {
                if (!lastName || *lastName != record.entityName) {
                    lastName = &record.entityName;
                    lastCount = &counts[record.entityName];
                }
                ++*lastCount;
            }
            for (const auto& [name, count] : counts) {
                auto& changes = byEntity[std::string(name)];
                changes.records.reserve(changes.records.size() + count);
                changes.eventOfChange.reserve(changes.eventOfChange.size() + count);
            }
            counts.clear();  // its keys view the records' names
            EntityChanges* last = nullptr;
            lastName = nullptr;
            for (std::size_t i = 0; i < records.size(); ++i) {
                auto& record = records[i];
                if (!last || *lastName != record.entityName) {
                    auto found = byEntity.find(record.entityName);
                    last = &found->second;
                    lastName = &found->first;
                }
                last->records.push_back(std::move(record));
                last->eventOfChange.push_back(std::move(eventOfChange[i]));
            }
        }
    });
    return error;
}

// The hand-off of the import to the integration of the event store's context,
// when it holds records.
std::shared_ptr<SYNImportedChanges> importedChangesOf(ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    auto handOff = coordinator ? SYNImportedChanges::find(*coordinator) : nullptr;
    return handOff && handOff->usable() ? handOff : nullptr;
}

}  // namespace

plat::ErrorPtr SYNEventIntegrator::integrateEventIDs(const SYNManagedObjectIDs& eventIDs, bool full) {
    storedChanges_.reset();
    auto error = integrateEventsOfEntities(eventIDs, full);
    storedChanges_.reset();
    dropImportedChanges();
    return error;
}

void SYNEventIntegrator::dropImportedChanges() {
    auto context = eventStore_->managedObjectContext();
    auto coordinator = context ? context->persistentStoreCoordinator() : nullptr;
    if (coordinator) {
        SYNImportedChanges::drop(*coordinator);
    }
    importedChanges_ = SYNImportedChanges::forCoordinator(coordinator);
}

plat::ErrorPtr SYNEventIntegrator::integrateEventsOfEntities(const SYNManagedObjectIDs& eventIDs, bool full) {
    SYN_LOG(3, "Beginning integration");
    if (full) {
        SYN_LOG(3, "Will perform full integration");
    }
    SYNEntityList integrated;
    changesReadWithValues_.reset();  // counted once for these events
    for (const EntityDescription* entity : syn_entitiesOrderedByMigrationPriority(*model_)) {
        if (auto error = integrateEntity(*entity, eventIDs, full, integrated)) {
            return error;
        }
    }
    if (auto error = saveAndResetManagedObjectContext()) {
        return error;
    }
    if (auto error = saveAndResetEvents()) {
        return error;
    }
    // Only a repair gives the merge event changes; without one it has none
    // to check, and the check would only read its empty list of changes.
    return eventHoldsChanges_ ? eventBuilder_->checkUniquenessOfGlobalIdentifiers() : nullptr;
}

// What the phases of one entity's integration share.
struct SYNEventIntegrator::EntityMerge {
    static constexpr std::size_t kIdentifiersSearchedInList = 16;

    EntityMerge(const EntityDescription& entity, const SYNManagedObjectIDs& eventIDs, bool full,
                SYNEntityList& integrated)
        : entity(entity), eventIDs(eventIDs), full(full), integrated(integrated) {}

    const EntityDescription& entity;
    const SYNManagedObjectIDs& eventIDs;
    const bool full;
    // The entities integrated before this one; it joins them at the end.
    SYNEntityList& integrated;
    // Relationships to entities integrated before, set with the attributes.
    SYNRelationshipList firstPassRelationships;
    IDMap<std::size_t> eventIndexes;  // event ID -> position in integration order
    std::shared_ptr<ManagedObjectContext> eventContext;
    // The entity's changes in integration order.
    std::vector<ChangeRow> rows;
    // Global identifiers in the order they first appear; each row knows its
    // identifier's position, so that the sets below are flags by position
    // rather than hash sets of IDs.
    std::vector<ManagedObjectIDPtr> identifiers;
    std::vector<std::size_t> identifierOfRow;
    // Per identifier: deleted by an event at or after the one being sorted,
    // deleted anywhere in its batch, made early, and the run it is in.
    std::vector<char> deleted, deletedInBatch, made;
    std::vector<std::size_t> runOf;
    std::size_t runNumber = 1;
    // The changes of the run being gathered (see applyRunsOfBatch).
    ChangesByEvent run;
    // In a full integration, the objects the inserts made or adopted.
    SYNObjectIDSet insertedObjectIDs;
    // The change cache that held the records of all rows, and its generation
    // then.
    const SYNChangeRecordCache* completeCache = nullptr;
    uint64_t completeCacheGeneration = 0;

    std::size_t positionOf(const ChangeRow* row) const { return identifierOfRow[row - rows.data()]; }

    // Numbers the global identifiers of the rows in order of appearance.
    void indexIdentifiers() {
        identifiers.clear();
        identifiers.reserve(rows.size());
        identifierOfRow.assign(rows.size(), 0);
        if (rows.size() <= kIdentifiersSearchedInList) {
            // A few rows: the identifiers are searched as they are listed
            // (a hash node per identifier costs more).
            const plat::coredata::ObjectIDEqual equal;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const auto& id = rows[i].globalIdentifierID;
                auto found =
                    std::find_if(identifiers.begin(), identifiers.end(),
                                 [&](const ManagedObjectIDPtr& listed) { return equal(listed, id); });
                identifierOfRow[i] = static_cast<std::size_t>(found - identifiers.begin());
                if (found == identifiers.end()) {
                    identifiers.push_back(id);
                }
            }
        } else {
            IDMap<std::size_t> positions;
            positions.reserve(rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const auto& id = rows[i].globalIdentifierID;
                auto [found, added] = positions.try_emplace(id, identifiers.size());
                if (added) {
                    identifiers.push_back(id);
                }
                identifierOfRow[i] = found->second;
            }
        }
        deleted.assign(identifiers.size(), 0);
        deletedInBatch.assign(identifiers.size(), 0);
        made.assign(identifiers.size(), 0);
        runOf.assign(identifiers.size(), 0);
    }
};

// The changes of the identifiers at positions [first, first + count).
struct SYNEventIntegrator::EntityBatch {
    // The batch's rows per event, in integration order.
    std::map<std::size_t, std::vector<const ChangeRow*>> byEvent;
    SYNManagedObjectIDs changeIDs;
    // What is applied per event once deletes have won.
    std::map<std::size_t, ChangeRowsByEvent> changes;
    // The existing objects the batch names, kept loaded until it is saved.
    SYNManagedObjects preloaded;

    EntityBatch(const EntityMerge& merge, std::size_t first, std::size_t count) {
        for (const auto& row : merge.rows) {
            const std::size_t position = merge.positionOf(&row);
            if (position >= first && position < first + count) {
                byEvent[row.eventIndex].push_back(&row);
                changeIDs.push_back(row.changeID);
            }
        }
    }

    // A delete wins over inserts and updates of the same or earlier events.
    void sortChanges(EntityMerge& merge) {
        for (auto event = byEvent.rbegin(); event != byEvent.rend(); ++event) {
            for (const ChangeRow* row : event->second) {
                if (row->type == SYNObjectChangeTypeDelete) {
                    merge.deleted[merge.positionOf(row)] = 1;
                }
            }
            auto& lists = changes[event->first];
            for (const ChangeRow* row : event->second) {
                if (row->type == SYNObjectChangeTypeDelete) {
                    lists.deletes.push_back(row);
                } else if (merge.deleted[merge.positionOf(row)]) {
                    continue;
                } else if (row->type == SYNObjectChangeTypeInsert) {
                    lists.inserts.push_back(row);
                } else if (row->type == SYNObjectChangeTypeUpdate) {
                    lists.updates.push_back(row);
                }
            }
        }
    }

    // The inserts whose objects can be made before any event is applied:
    // those of identifiers not deleted anywhere in the batch (an insert that
    // follows a delete must come after it), each identifier once.
    SYNManagedObjectIDs takeEarlyInserts(EntityMerge& merge) const {
        for (const auto& [index, rowsOfEvent] : byEvent) {
            for (const ChangeRow* row : rowsOfEvent) {
                if (row->type == SYNObjectChangeTypeDelete) {
                    merge.deletedInBatch[merge.positionOf(row)] = 1;
                }
            }
        }
        SYNManagedObjectIDs early;
        for (const auto& [index, rowsOfEvent] : byEvent) {
            for (const ChangeRow* row : rowsOfEvent) {
                const std::size_t position = merge.positionOf(row);
                if (row->type == SYNObjectChangeTypeInsert && !merge.deletedInBatch[position] &&
                    !merge.made[position]) {
                    merge.made[position] = 1;
                    early.push_back(row->changeID);
                }
            }
        }
        return early;
    }
};

// One entity, in named phases; the first error stops it.
plat::ErrorPtr SYNEventIntegrator::integrateEntity(const EntityDescription& entity,
                                                   const SYNManagedObjectIDs& eventIDs, bool full,
                                                   SYNEntityList& integrated) {
    using Phase = plat::ErrorPtr (SYNEventIntegrator::*)(EntityMerge&);
    static constexpr Phase kPhases[] = {
        &SYNEventIntegrator::beginEntity,
        &SYNEventIntegrator::readChangesOfEntity,
        &SYNEventIntegrator::applyBatchesOfEntity,
        &SYNEventIntegrator::updateRelationshipsIntoEntity,
        &SYNEventIntegrator::deleteObjectsNoEventInserted,
        &SYNEventIntegrator::finishEntity,
    };
    EntityMerge merge(entity, eventIDs, full, integrated);
    for (Phase phase : kPhases) {
        if (auto error = (this->*phase)(merge)) {
            return error;
        }
    }
    return nullptr;
}

plat::ErrorPtr SYNEventIntegrator::beginEntity(EntityMerge& merge) {
    SYN_LOG(4, "Integrating entity: %@", merge.entity.name());
    if (auto error = checkPoint("entity")) {
        return error;
    }
    if (willBeginMergingEntityBlock_) {
        willBeginMergingEntityBlock_(merge.entity);
    }
    return nullptr;
}

// The entity's changes in the events, in integration order, their records
// in the change cache.
plat::ErrorPtr SYNEventIntegrator::readChangesOfEntity(EntityMerge& merge) {
    merge.firstPassRelationships =
        syn_nonRedundantRelationshipsDestinedForEntities(merge.entity, merge.integrated);
    merge.eventIndexes.reserve(merge.eventIDs.size());
    for (std::size_t i = 0; i < merge.eventIDs.size(); ++i) {
        merge.eventIndexes.emplace(merge.eventIDs[i], i);
    }
    merge.eventContext = eventStore_->managedObjectContext();
    changeCache_ = std::make_shared<SYNChangeRecordCache>(storeURIForms_);
    // Whether the changes of all entities are read at once (decided with
    // the count, at the first entity; read then).
    bool readAtOnce = false;
    if (!changesReadWithValues_) {
        merge.eventContext->performBlockAndWait([&] {
            // The changes the import handed over are counted there; the
            // store counts those of the other events.
            auto handOff = importedChangesOf(*merge.eventContext);
            SYNManagedObjectIDs rest;
            const std::size_t held = handOff ? handOff->count(merge.eventIDs, rest) : 0;
            const auto stored = merge.eventIDs.size() <= kMaximumEventsInQuery
                                    ? storedChangeCount(*merge.eventContext, handOff ? rest : merge.eventIDs)
                                    : std::nullopt;
            changesReadWithValues_ = stored && held + *stored <= SYNImportedChanges::maximumChanges();
            readAtOnce = stored && held + *stored <= kChangesReadAtOnce;
        });
    }
    const bool withValues = changesReadWithValues_.value_or(false);
    if (!storedChanges_ && (readAtOnce || withValues)) {
        storedChanges_ = std::make_shared<StoredChanges>();
        if (auto error = readStoredChangesOfEvents(
                *merge.eventContext, merge.eventIDs, importedChangesOf(*merge.eventContext),
                storedChanges_->byEntity, storedChanges_->shown, withValues)) {
            return error;
        }
    }
    EntityChanges none;
    EntityChanges* readAhead = nullptr;
    if (storedChanges_ && storedChanges_->shown) {
        auto found = storedChanges_->byEntity.find(merge.entity.name());
        readAhead = found != storedChanges_->byEntity.end() ? &found->second : &none;
    }
    auto rows = fetchChangeRows(*merge.eventContext, merge.entity, merge.eventIndexes, merge.eventIDs, {},
                                *changeCache_, withValues, readAhead);
    if (readAhead && readAhead != &none) {
        storedChanges_->byEntity.erase(merge.entity.name());
    }
    if (!rows.ok()) {
        return rows.error();
    }
    merge.rows = std::move(*rows);
    merge.completeCache = changeCache_.get();
    merge.completeCacheGeneration = changeCache_->generation();
    merge.indexIdentifiers();
    // The records hold what the stages need: the fetched changes can go.
    return saveAndResetEvents();
}

// The changes, batch by batch of global identifiers.
plat::ErrorPtr SYNEventIntegrator::applyBatchesOfEntity(EntityMerge& merge) {
    const uint64_t batchSize = static_cast<uint64_t>(syn_migrationBatchSize(merge.entity));
    const std::size_t total = merge.identifiers.size();
    const std::size_t step = batchSize != 0 ? batchSize : std::max<std::size_t>(total, 1);
    for (std::size_t first = 0; first < total; first += step) {
        const std::size_t count = std::min(step, total - first);
        SYN_LOG(4, "Number of objects remaining to integrate for this entity: %lu",
                static_cast<unsigned long>(total - first - count));
        EntityBatch batch(merge, first, count);
        if (auto error = applyBatch(merge, batch)) {
            return error;
        }
    }
    report(1);
    return nullptr;
}

plat::ErrorPtr SYNEventIntegrator::applyBatch(EntityMerge& merge, EntityBatch& batch) {
    // A save of the previous batch may have dropped the records.
    const bool complete = changeCache_ && changeCache_.get() == merge.completeCache &&
                          changeCache_->generation() == merge.completeCacheGeneration;
    if (auto error = complete ? nullptr : cacheChanges(batch.changeIDs)) {
        return error;
    }
    if (batchSetsNothing(merge, batch)) {
        // Nothing to load or apply: updates that carry only relationships set
        // later, from the other side (a folder's items, when the items come
        // after the folders and set their folder).
        if (auto error = checkPoint("batch")) {
            return error;
        }
        return saveAndResetBatchForEntity(merge.entity);
    }
    auto preloaded = preloadObjects(merge.entity, batch.changeIDs);
    if (!preloaded.ok()) {
        return preloaded.error();
    }
    batch.preloaded = std::move(*preloaded);
    batch.sortChanges(merge);
    if (auto error = makeInsertedObjectsOfBatch(merge, batch)) {
        return error;
    }
    if (auto error = applyRunsOfBatch(merge, batch)) {
        return error;
    }
    return saveAndResetBatchForEntity(merge.entity);
}

bool SYNEventIntegrator::batchSetsNothing(const EntityMerge& merge, const EntityBatch& batch) const {
    if (!changeCache_) {
        return false;
    }
    std::unordered_set<std::string_view> names;
    for (const auto* relationship : merge.firstPassRelationships) {
        names.insert(relationship->name());
    }
    for (const auto& [index, rowsOfEvent] : batch.byEvent) {
        for (const ChangeRow* row : rowsOfEvent) {
            const SYNChangeRecord* record = changeCache_->find(row->changeID);
            // A record whose values were left unread says nothing of them.
            if (row->type != SYNObjectChangeTypeUpdate || !record || !record->valuesRead) {
                return false;
            }
            for (const auto& value : record->values) {
                if (value->type() == SYNPropertyChangeTypeAttribute || names.count(value->propertyName())) {
                    return false;
                }
            }
        }
    }
    return true;
}

// The objects of all inserts of the batch are made at once, so that their
// IDs are reserved in one write and their store URIs recorded with the
// batch's save; the inserts of every event then adopt them.
plat::ErrorPtr SYNEventIntegrator::makeInsertedObjectsOfBatch(EntityMerge& merge, const EntityBatch& batch) {
    SYNManagedObjectIDs early = batch.takeEarlyInserts(merge);
    if (early.empty()) {
        return nullptr;
    }
    auto stage = std::make_shared<SYNInsertStage>(eventBuilder_, early, managedObjectContext(), 0);
    stage->setChangeRecordCache(changeCache_);
    return applyStages({stage}, 0);
}

// Consecutive events that change different objects are applied together,
// one stage run per kind of change: changes of different objects do not
// depend on each other's order, and one run for many events saves most of
// the look-ups. An event that changes an object of the run starts a new run,
// so each object still sees its changes in event order.
plat::ErrorPtr SYNEventIntegrator::applyRunsOfBatch(EntityMerge& merge, const EntityBatch& batch) {
    for (const auto& [index, lists] : batch.changes) {
        bool conflicts = false;
        for (const auto* list : {&lists.inserts, &lists.updates, &lists.deletes}) {
            for (const ChangeRow* row : *list) {
                conflicts = conflicts || merge.runOf[merge.positionOf(row)] == merge.runNumber;
            }
        }
        if (conflicts) {
            if (auto error = applyRun(merge)) {
                return error;
            }
        }
        for (const auto* list : {&lists.inserts, &lists.updates, &lists.deletes}) {
            for (const ChangeRow* row : *list) {
                merge.runOf[merge.positionOf(row)] = merge.runNumber;
            }
        }
        for (const ChangeRow* row : lists.inserts) {
            merge.run.inserts.push_back(row->changeID);
        }
        for (const ChangeRow* row : lists.updates) {
            merge.run.updates.push_back(row->changeID);
        }
        for (const ChangeRow* row : lists.deletes) {
            merge.run.deletes.push_back(row->changeID);
        }
    }
    return applyRun(merge);
}

plat::ErrorPtr SYNEventIntegrator::applyRun(EntityMerge& merge) {
    auto& run = merge.run;
    if (!run.inserts.empty()) {
        if (auto error = insertAndUpdateObjects(run.inserts, merge.firstPassRelationships, 0,
                                                merge.full ? &merge.insertedObjectIDs : nullptr)) {
            return error;
        }
    }
    if (!run.updates.empty()) {
        if (auto error = updateObjects(run.updates, merge.firstPassRelationships, 0)) {
            return error;
        }
    }
    if (!run.deletes.empty()) {
        if (auto error = deleteObjects(run.deletes, 0)) {
            return error;
        }
    }
    run = ChangesByEvent();
    ++merge.runNumber;
    return nullptr;
}

// Relationships into this entity (or an ancestor) from the entities
// integrated so far and from itself: their targets all exist now.
plat::ErrorPtr SYNEventIntegrator::updateRelationshipsIntoEntity(EntityMerge& merge) {
    SYNEntityList destinations{&merge.entity};
    for (const EntityDescription* ancestor : syn_ancestorEntities(merge.entity)) {
        destinations.push_back(ancestor);
    }
    SYNEntityList sources = merge.integrated;
    sources.push_back(&merge.entity);
    for (const EntityDescription* source : sources) {
        auto relationships = syn_nonRedundantRelationshipsDestinedForEntities(*source, destinations);
        if (relationships.empty()) {
            continue;
        }
        changeCache_ = std::make_shared<SYNChangeRecordCache>(storeURIForms_);
        auto sourceRows =
            fetchChangeRows(*merge.eventContext, *source, merge.eventIndexes, merge.eventIDs,
                            {SYNObjectChangeTypeInsert, SYNObjectChangeTypeUpdate}, *changeCache_);
        if (!sourceRows.ok()) {
            return sourceRows.error();
        }
        std::map<std::size_t, ChangesByEvent> byEvent;
        for (const auto& row : *sourceRows) {
            auto& lists = byEvent[row.eventIndex];
            (row.type == SYNObjectChangeTypeInsert ? lists.inserts : lists.updates).push_back(row.changeID);
        }
        const uint64_t sourceBatchSize = static_cast<uint64_t>(syn_migrationBatchSize(*source));
        for (const auto& [index, lists] : byEvent) {
            SYNManagedObjectIDs ids = lists.inserts;
            ids.insert(ids.end(), lists.updates.begin(), lists.updates.end());
            if (auto error = updateRelationships(relationships, ids, sourceBatchSize)) {
                return error;
            }
        }
        if (auto error = saveAndResetBatchForEntity(*source)) {
            return error;
        }
    }
    changeCache_.reset();
    return nullptr;
}

// In a full integration, what no event inserted is not in the events' store.
plat::ErrorPtr SYNEventIntegrator::deleteObjectsNoEventInserted(EntityMerge& merge) {
    if (!merge.full) {
        return nullptr;
    }
    return deleteUnreferencedObjectsOfEntity(merge.entity, merge.insertedObjectIDs);
}

plat::ErrorPtr SYNEventIntegrator::finishEntity(EntityMerge& merge) {
    merge.integrated.push_back(&merge.entity);
    if (didFinishMergingEntityBlock_) {
        didFinishMergingEntityBlock_(merge.entity);
    }
    report(1);
    return nullptr;
}

plat::ErrorPtr SYNEventIntegrator::applyStages(
    const std::vector<std::shared_ptr<SYNIntegrationStage>>& stages, uint64_t batchSize) {
    if (stages.empty()) {
        return nullptr;
    }
    while (true) {
        if (auto error = checkPoint("batch")) {
            return error;
        }
        for (const auto& stage : stages) {
            if (auto error = stage->applyNextBatchOfChanges()) {
                return error;
            }
        }
        if (batchSize != 0) {
            if (auto error = eventBuilder_->saveAndReset()) {
                return error;
            }
            if (auto error = saveAndResetManagedObjectContext()) {
                return error;
            }
        }
        if (stages.back()->numberOfBatchesRemaining() == 0) {
            return nullptr;
        }
    }
}

plat::ErrorPtr SYNEventIntegrator::insertAndUpdateObjects(const SYNManagedObjectIDs& changeIDs,
                                                          const SYNRelationshipList& relationships,
                                                          uint64_t batchSize,
                                                          SYNObjectIDSet* insertedObjectIDs) {
    auto context = managedObjectContext();
    auto insert = std::make_shared<SYNInsertStage>(eventBuilder_, changeIDs, context, batchSize);
    auto update = std::make_shared<SYNUpdateStage>(eventBuilder_, changeIDs, context, batchSize);
    insert->setChangeRecordCache(changeCache_);
    update->setChangeRecordCache(changeCache_);
    update->setRelationshipsToUpdate(relationships);
    update->setUpdatesAttributes(true);
    if (auto error = applyStages({insert, update}, batchSize)) {
        return error;
    }
    if (insertedObjectIDs && insert->insertedObjectIDs()) {
        insertedObjectIDs->insert(insert->insertedObjectIDs()->begin(), insert->insertedObjectIDs()->end());
    }
    return nullptr;
}

plat::ErrorPtr SYNEventIntegrator::updateObjects(const SYNManagedObjectIDs& changeIDs,
                                                 const SYNRelationshipList& relationships,
                                                 uint64_t batchSize) {
    auto update =
        std::make_shared<SYNUpdateStage>(eventBuilder_, changeIDs, managedObjectContext(), batchSize);
    update->setChangeRecordCache(changeCache_);
    update->setRelationshipsToUpdate(relationships);
    update->setUpdatesAttributes(true);
    return applyStages({update}, batchSize);
}

plat::ErrorPtr SYNEventIntegrator::updateRelationships(const SYNRelationshipList& relationships,
                                                       const SYNManagedObjectIDs& changeIDs,
                                                       uint64_t batchSize) {
    auto update =
        std::make_shared<SYNUpdateStage>(eventBuilder_, changeIDs, managedObjectContext(), batchSize);
    update->setChangeRecordCache(changeCache_);
    update->setRelationshipsToUpdate(relationships);
    update->setUpdatesAttributes(false);
    return applyStages({update}, batchSize);
}

plat::ErrorPtr SYNEventIntegrator::deleteObjects(const SYNManagedObjectIDs& changeIDs, uint64_t batchSize) {
    auto stage =
        std::make_shared<SYNDeleteStage>(eventBuilder_, changeIDs, managedObjectContext(), batchSize);
    stage->setChangeRecordCache(changeCache_);
    return applyStages({stage}, batchSize);
}

plat::ErrorPtr SYNEventIntegrator::cacheChanges(const SYNManagedObjectIDs& changeIDs) {
    if (!changeCache_) {
        return nullptr;
    }
    SYNManagedObjectIDs missing;
    for (const auto& id : changeIDs) {
        if (!changeCache_->find(id)) {
            missing.push_back(id);
        }
    }
    if (missing.empty()) {
        return nullptr;
    }
    auto context = eventStore_->managedObjectContext();
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        for (std::size_t first = 0; first < missing.size(); first += kChangesInQuery) {
            const std::size_t count = std::min(kChangesInQuery, missing.size() - first);
            plat::Array list;
            list.reserve(count);
            for (std::size_t i = first; i < first + count; ++i) {
                list.push_back(Value(plat::ObjectPtr(missing[i])));
            }
            FetchRequest request(SYNObjectChangeEntityName);
            request.predicate = Predicate::selfIn(Value(std::move(list)));
            auto stored = SYNChangeRecord::fetchStored(request, *context);
            if (!stored.ok()) {
                error = stored.error();
                return;
            }
            if (!*stored) {
                break;  // the context has unsaved changes: load the objects
            }
            for (auto& record : **stored) {
                changeCache_->add(std::move(record));
            }
            if (first + count == missing.size()) {
                return;
            }
        }
        auto changes = SYNObjectChange::prefetchObjectChangesForObjectIDs(missing, *context);
        if (!changes.ok()) {
            error = changes.error();
            return;
        }
        auto records = SYNChangeRecord::fromChanges(*changes, *context);
        if (!records.ok()) {
            error = records.error();
            return;
        }
        for (auto& record : *records) {
            changeCache_->add(std::move(record));
        }
    });
    return error;
}

plat::Result<SYNManagedObjects> SYNEventIntegrator::preloadObjects(const EntityDescription& entity,
                                                                   const SYNManagedObjectIDs& changeIDs) {
    SYNManagedObjects objects;
    if (!changeCache_) {
        return objects;
    }
    auto context = managedObjectContext();
    auto coordinator = context->persistentStoreCoordinator();
    plat::Array ids;
    ids.reserve(changeIDs.size());
    // Views of the records' URIs: the cache keeps the records meanwhile.
    std::unordered_set<std::string_view> seen;
    seen.reserve(changeIDs.size());
    for (const auto& changeID : changeIDs) {
        const SYNChangeRecord* record = changeCache_->find(changeID);
        if (!record || !record->storeURI || !seen.insert(*record->storeURI).second) {
            continue;
        }
        if (auto id = changeCache_->objectIDForStoreURI(*record->storeURI, *coordinator)) {
            ids.push_back(Value(plat::ObjectPtr(id)));
        }
    }
    if (ids.empty()) {
        return objects;
    }
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        // Only while nothing is unsaved: then the fetch is one query.
        if (context->hasChanges()) {
            return;
        }
        FetchRequest request(entity.name());
        request.predicate = Predicate::selfIn(Value(std::move(ids)));
        request.includesSubentities = true;
        auto fetched = context->executeFetchRequest(request);
        if (!fetched.ok()) {
            error = fetched.error();
            return;
        }
        objects = std::move(*fetched);
    });
    if (error) {
        return error;
    }
    return objects;
}

plat::ErrorPtr SYNEventIntegrator::saveAndResetBatchForEntity(const EntityDescription& entity) {
    if (syn_migrationBatchSize(entity) != 0) {
        if (auto error = saveAndResetManagedObjectContext()) {
            return error;
        }
    }
    return saveAndResetEvents();
}

plat::ErrorPtr SYNEventIntegrator::saveAndResetEvents() {
    auto context = eventStore_->managedObjectContext();
    bool idle = false;
    if (context) {
        context->performBlockAndWait([&] {
            idle = !context->hasChanges() && context->registeredObjectCount() <= kObjectsKeptUnreset;
        });
    }
    return idle ? nullptr : eventBuilder_->saveAndReset();
}

plat::ErrorPtr SYNEventIntegrator::deleteUnreferencedObjectsOfEntity(
    const EntityDescription& entity, const SYNObjectIDSet& insertedObjectIDs) {
    auto context = managedObjectContext();
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        plat::Array inserted;
        inserted.reserve(insertedObjectIDs.size());
        for (const auto& id : insertedObjectIDs) {
            inserted.push_back(Value(plat::ObjectPtr(id)));
        }
        FetchRequest request(entity.name());
        request.predicate = Predicate::notPredicate(Predicate::selfIn(Value(std::move(inserted))));
        request.includesSubentities = false;
        auto objects = context->executeFetchRequest(request);
        if (!objects.ok()) {
            error = objects.error();
            return;
        }
        for (const auto& object : *objects) {
            try {
                SYNDeleteStage::nullifyRelationshipsAndDeleteObject(object);
            } catch (const std::exception& exception) {
                SYN_LOG(1, "Exception thrown while nullifying relationships: %@", exception.what());
            }
        }
    });
    return error;
}
