#include "sync/integration/SYNIntegrationStage.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <initializer_list>
#include <unordered_set>

#include "platform/coredata/CoreDataErrors.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/SYNImportedChanges.h"

using plat::Value;
using plat::coredata::EntityDescription;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::RelationshipDescription;

namespace {

// Keeps IN lists within what any store translates into one query.
constexpr std::size_t kFetchChunk = 2000;
// Objects not yet in the target context are fetched with one query from
// this many on; a single one is read by its key.
constexpr std::size_t kFetchedFrom = 2;
// In a context holding few objects (at most kRegisteredForFetch, and at most
// kRegisteredPerFetchedObject per object fetched) the fetch is taken, with
// unsaved changes too: it also goes over the context's changed objects, each
// tested against the list, which then costs less than the reads by key it
// replaces (about 10,000 instructions and a read transaction each). In a
// larger context a fetch costs more with the context's size (measured: a
// merge of 4,200 inserts three times slower with small fetches), so there
// only more than kLookUpLimit objects are fetched, and only while the
// context has no unsaved change.
constexpr std::size_t kRegisteredForFetch = 256;
constexpr std::size_t kRegisteredPerFetchedObject = 16;
constexpr std::size_t kLookUpLimit = 64;

bool isLargeData(const Value& value) {
    return value.isData() && value.asData()->length() > SYNMaximumInlineDataLength;
}

// The same payload, not merely an equal one.
bool isIdentical(const Value& a, const Value& b) {
    if (a.isData() && b.isData()) {
        return a.asData() == b.asData();
    }
    if (a.isObject() && b.isObject()) {
        return a.asObjectOf<plat::Object>() == b.asObjectOf<plat::Object>();
    }
    if (a.isNull() && b.isNull()) {
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> SYNCandidateEntityNames(const RelationshipDescription& relationship) {
    std::vector<std::string> names;
    const EntityDescription* destination = relationship.destinationEntity();
    if (!destination) {
        return names;
    }
    for (const EntityDescription* descendant : syn_descendantEntities(*destination)) {
        names.push_back(descendant->name());
    }
    names.push_back(destination->name());
    return names;
}

SYNChangeRecord SYNChangeRecord::fromChange(const ManagedObject& change, const SYNStoreURIs& storeURIs) {
    SYNChangeRecord record;
    record.changeID = change.objectID();
    record.type = SYNObjectChange::type(change);
    Value entityName = change.valueForKey("nameOfEntity");
    if (entityName.asString()) {
        record.entityName = *entityName.asString();
    }
    if (auto row = change.objectForKey("globalIdentifier")) {
        record.globalIdentifierID = row->objectID();
        Value identifier = row->valueForKey("globalIdentifier");
        if (identifier.asString()) {
            record.globalIdentifier = *identifier.asString();
        }
        Value rowEntity = row->valueForKey("nameOfEntity");
        if (rowEntity.asString()) {
            record.globalIdentifierEntityName = *rowEntity.asString();
        }
        record.storeURI = storeURIs.decode(row->valueForKey("storeURI"));
    }
    Value stored = change.valueForKey("propertyChangeValues");
    if (const plat::Array* items = stored.asArray()) {
        record.values.reserve(items->size());
        for (const auto& item : *items) {
            if (auto value = item.asObjectOf<SYNPropertyChangeValue>()) {
                record.values.push_back(std::move(value));
            }
        }
    }
    return record;
}

plat::Result<std::vector<SYNChangeRecord>> SYNChangeRecord::fromChanges(const SYNManagedObjects& changes,
                                                                        ManagedObjectContext& context) {
    std::vector<SYNChangeRecord> records;
    try {
        plat::Array rowIDs;
        rowIDs.reserve(changes.size());
        for (const auto& change : changes) {
            if (auto row = change->objectForKey("globalIdentifier"); row && row->isFault()) {
                rowIDs.push_back(Value(plat::ObjectPtr(row->objectID())));
            }
        }
        if (!rowIDs.empty()) {
            FetchRequest request(SYNGlobalIdentifierEntityName);
            request.predicate = Predicate::selfIn(Value(std::move(rowIDs)));
            auto rows = context.executeFetchRequest(request);
            if (!rows.ok()) {
                return rows.error();
            }
        }
        records.reserve(changes.size());
        const auto storeURIs = SYNStoreURIs::forContext(context);
        for (const auto& change : changes) {
            records.push_back(fromChange(*change, *storeURIs));
        }
    } catch (const std::exception& exception) {
        return SYNMakeError(SYNErrorUnknown, exception.what());
    }
    return records;
}

namespace {

// Positions of named properties in the stored rows of an entity.
std::optional<std::vector<std::size_t>> propertyIndexes(const EntityDescription& entity,
                                                        std::initializer_list<std::string_view> names) {
    std::vector<std::size_t> indexes;
    for (std::string_view name : names) {
        const auto* property = entity.propertyNamed(name);
        if (!property) {
            return std::nullopt;
        }
        indexes.push_back(property->index());
    }
    return indexes;
}

const Value& storedValue(const plat::coredata::StoreSnapshot& row, std::size_t index) {
    static const Value none;
    return index < row.values.size() ? row.values[index] : none;
}

ManagedObjectIDPtr storedID(const plat::coredata::StoreSnapshot& row, std::size_t index) {
    return storedValue(row, index).asObjectOf<plat::coredata::ManagedObjectID>();
}

std::optional<std::string> storedString(const plat::coredata::StoreSnapshot& row, std::size_t index) {
    const Value& value = storedValue(row, index);
    return value.asString() ? std::optional<std::string>(*value.asString()) : std::nullopt;
}

// A change's property change values, as its propertyChangeValues attribute
// holds them (anything else in the list is skipped).
std::vector<std::shared_ptr<const SYNPropertyChangeValue>> decodedValues(const Value& stored) {
    std::vector<std::shared_ptr<const SYNPropertyChangeValue>> values;
    if (const plat::Array* items = stored.asArray()) {
        values.reserve(items->size());
        for (const auto& item : *items) {
            if (auto value = item.asObjectOf<SYNPropertyChangeValue>()) {
                values.push_back(std::move(value));
            }
        }
    }
    return values;
}

}  // namespace

namespace {

// Whether the stored change and identifier rows are what context shows: a
// context on a coordinator (not a child) with no unsaved change of either.
// Unsaved objects of other entities (the merge event being built) do not
// matter.
bool rowsAreShown(ManagedObjectContext& context, const EntityDescription& changeEntity,
                  const EntityDescription& rowEntity) {
    if (!context.persistentStoreCoordinator() || context.parentContext()) {
        return false;
    }
    if (context.hasChanges()) {
        for (const auto& objects :
             {context.insertedObjects(), context.updatedObjects(), context.deletedObjects()}) {
            for (const auto& object : objects) {
                if (object->entity() == &changeEntity || object->entity() == &rowEntity) {
                    return false;
                }
            }
        }
    }
    return true;
}

// The change and identifier-row entities of the context's model, where the
// stored rows of both are what the context shows; null otherwise.
struct ShownEntities {
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::shared_ptr<const EntityDescription> change;
    std::shared_ptr<const EntityDescription> row;
    explicit operator bool() const { return change != nullptr; }
};
ShownEntities shownEntities(ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    if (!coordinator) {
        return {};
    }
    const auto& model = *coordinator->managedObjectModel();
    auto changeEntity = model.entityForName(SYNObjectChangeEntityName);
    auto rowEntity = model.entityForName(SYNGlobalIdentifierEntityName);
    if (!changeEntity || !rowEntity || !rowsAreShown(context, *changeEntity, *rowEntity)) {
        return {};
    }
    return {std::move(coordinator), std::move(changeEntity), std::move(rowEntity)};
}

}  // namespace

bool SYNChangeRecord::storedRowsAreShown(ManagedObjectContext& context) {
    return static_cast<bool>(shownEntities(context));
}

plat::Result<std::optional<std::vector<SYNChangeRecord>>> SYNChangeRecord::fetchStored(
    const FetchRequest& request, ManagedObjectContext& context, std::vector<ManagedObjectIDPtr>* eventIDs,
    bool readValues) {
    using Records = std::optional<std::vector<SYNChangeRecord>>;
    auto records = fetchStoredChanges(request, context, eventIDs, readValues);
    if (!records.ok() || !*records) {
        return records;
    }
    auto read = readStoredIdentifierRows(**records, context);
    if (!read.ok()) {
        return read.error();
    }
    return *read ? std::move(*records) : Records();
}

plat::Result<std::optional<std::vector<SYNChangeRecord>>> SYNChangeRecord::fetchStoredChanges(
    const FetchRequest& request, ManagedObjectContext& context, std::vector<ManagedObjectIDPtr>* eventIDs,
    bool readValues) {
    using Records = std::optional<std::vector<SYNChangeRecord>>;
    const auto shown = shownEntities(context);
    if (!shown || request.entityName != shown.change->name()) {
        return Records();
    }
    const auto& coordinator = shown.coordinator;
    const auto& changeEntity = shown.change;
    auto changeColumns = propertyIndexes(*changeEntity, {"type", "nameOfEntity", "globalIdentifier",
                                                         "propertyChangeValues", "storeModificationEvent"});
    if (!changeColumns) {
        return Records();
    }
    const auto& c = *changeColumns;
    // Only the columns read below: the others stay unread (null). Without
    // readValues the values' column is read too, but its compact bytes are
    // kept as they are: reading them here costs a fraction of reading each
    // row again for them later, and they take a fraction of the memory of
    // the decoded values.
    static const std::vector<std::string> kChangeColumns{"type", "nameOfEntity", "globalIdentifier",
                                                         "propertyChangeValues", "storeModificationEvent"};
    auto changes = [&] {
        std::optional<SYNCompactStoredValuesKeptScope> keepBytes;
        if (!readValues) {
            keepBytes.emplace();
        }
        return coordinator->fetchRowsReading(request, *changeEntity, kChangeColumns);
    }();
    if (!changes.ok()) {
        return changes.error();
    }
    std::vector<SYNChangeRecord> records;
    records.reserve(changes->size());
    if (eventIDs) {
        eventIDs->clear();
        eventIDs->reserve(changes->size());
    }
    // Each row is let go as soon as it is read: the memory goes straight to
    // the records instead of piling up until the fetch is done. The values'
    // bytes are kept up to kKeptValueBytes in all (values of inline data
    // can take kilobytes each); past that, records read theirs again later.
    std::size_t keptBytes = 0;
    for (auto& change : *changes) {
        if (change->objectID->entity() != changeEntity.get()) {
            return Records();  // a sub-entity's row: its columns differ
        }
        SYNChangeRecord record;
        record.changeID = change->objectID;
        record.type = static_cast<int16_t>(storedValue(*change, c[0]).integerValue());
        if (auto entityName = storedString(*change, c[1])) {
            record.entityName = std::move(*entityName);
        }
        record.globalIdentifierID = storedID(*change, c[2]);
        const Value& values = storedValue(*change, c[3]);
        if (readValues || values.isNull()) {
            record.values = decodedValues(values);
        } else if (const plat::Data* bytes = values.asData()) {
            record.valuesRead = false;
            if (keptBytes + bytes->length() <= kKeptValueBytes) {
                keptBytes += bytes->length();
                record.storedValues = values;
            }
        } else {
            // Another stored form, decoded whole by the read: let go, and
            // read again when wanted, so that no decoded values pile up.
            record.valuesRead = false;
        }
        if (eventIDs) {
            eventIDs->push_back(storedID(*change, c[4]));
        }
        records.push_back(std::move(record));
        change.reset();
    }
    return Records(std::move(records));
}

plat::Result<bool> SYNChangeRecord::readStoredIdentifierRows(std::vector<SYNChangeRecord>& records,
                                                             ManagedObjectContext& context) {
    const auto shown = shownEntities(context);
    if (!shown) {
        return false;
    }
    const auto& coordinator = shown.coordinator;
    const auto& rowEntity = shown.row;
    auto rowColumns = propertyIndexes(*rowEntity, {"globalIdentifier", "nameOfEntity", "storeURI"});
    if (!rowColumns) {
        return false;
    }
    const auto& r = *rowColumns;
    auto storeURIs = SYNStoreURIs::forCoordinator(*coordinator);
    // Each identifier row, in first-named order, with the first record that
    // names it; each record links to the next record of the same row.
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<ManagedObjectIDPtr> rowIDs;
    rowIDs.reserve(records.size());
    std::unordered_map<ManagedObjectIDPtr, std::pair<std::size_t, std::size_t>, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        recordsOfRow;  // first and last record
    recordsOfRow.reserve(records.size());
    std::vector<std::size_t> nextOfRow(records.size(), kNone);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& rowID = records[i].globalIdentifierID;
        if (!rowID) {
            continue;
        }
        auto [named, added] = recordsOfRow.try_emplace(rowID, i, i);
        if (added) {
            rowIDs.push_back(rowID);
        } else {
            nextOfRow[named->second.second] = i;
            named->second.second = i;
        }
    }
    // The identifier rows, a few queries for all of them. Asked for in key
    // order, each query reads its own stretch of the table: queries of rows
    // in the order the changes name them would each walk the whole table,
    // reading most of its pages again from disk when it outgrows the cache.
    std::sort(rowIDs.begin(), rowIDs.end(), [](const ManagedObjectIDPtr& a, const ManagedObjectIDPtr& b) {
        return a->primaryKey() < b->primaryKey();
    });
    for (std::size_t first = 0; first < rowIDs.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, rowIDs.size() - first);
        plat::Array list;
        list.reserve(count);
        for (std::size_t i = first; i < first + count; ++i) {
            list.push_back(Value(plat::ObjectPtr(rowIDs[i])));
        }
        FetchRequest rowRequest(rowEntity->name());
        rowRequest.predicate = Predicate::selfIn(Value(std::move(list)));
        rowRequest.includesSubentities = false;
        auto rows = coordinator->fetchRows(rowRequest, *rowEntity);
        if (!rows.ok()) {
            return rows.error();
        }
        for (auto& row : *rows) {
            auto named = recordsOfRow.find(row->objectID);
            if (named != recordsOfRow.end()) {
                auto identifier = storedString(*row, r[0]);
                auto entityName = storedString(*row, r[1]);
                auto storeURI = storeURIs->decode(storedValue(*row, r[2]));
                for (std::size_t index = named->second.first; index != kNone; index = nextOfRow[index]) {
                    auto& record = records[index];
                    if (nextOfRow[index] == kNone) {  // the row's last record takes the strings
                        record.globalIdentifier = std::move(identifier);
                        record.globalIdentifierEntityName = std::move(entityName).value_or(std::string());
                        record.storeURI = std::move(storeURI);
                        break;
                    }
                    record.globalIdentifier = identifier;
                    record.globalIdentifierEntityName = entityName.value_or(std::string());
                    record.storeURI = storeURI;
                }
            }
            row.reset();
        }
    }
    return true;
}

plat::ErrorPtr SYNChangeRecord::readStoredValues(std::vector<SYNChangeRecord>& records,
                                                 ManagedObjectContext& context) {
    using Values = std::vector<std::shared_ptr<const SYNPropertyChangeValue>>;
    // Each unread change with its first and last record; each record links
    // to the next record of the same change (a change mostly has one: no
    // list is allocated per change).
    constexpr std::size_t kNone = SIZE_MAX;
    std::unordered_map<ManagedObjectIDPtr, std::pair<std::size_t, std::size_t>, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        unread;
    std::vector<std::size_t> nextOfChange;
    plat::Array ids;
    // The stored values are what the context shows while no change is
    // unsaved in it (identifier rows may be: values are not kept there).
    // Worked out at the first record without values.
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::shared_ptr<const EntityDescription> changeEntity;
    bool storedAsShown = false;
    bool shownKnown = false;
    auto learnShown = [&] {
        shownKnown = true;
        coordinator = context.persistentStoreCoordinator();
        changeEntity = coordinator
                           ? coordinator->managedObjectModel()->entityForName(SYNObjectChangeEntityName)
                           : nullptr;
        storedAsShown = changeEntity && !context.parentContext();
        if (storedAsShown && context.hasChanges()) {
            for (const auto& objects :
                 {context.insertedObjects(), context.updatedObjects(), context.deletedObjects()}) {
                for (const auto& object : objects) {
                    storedAsShown = storedAsShown && object->entity() != changeEntity.get();
                }
            }
        }
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].valuesRead) {
            continue;
        }
        if (!shownKnown) {
            learnShown();
        }
        const plat::Data* bytes = storedAsShown ? records[i].storedValues.asData() : nullptr;
        if (bytes) {
            // Kept from the read of the record: decoded here, with no query.
            auto decoded = SYNReadCompactPropertyChangeValueList(bytes->view());
            if (!decoded.ok()) {
                return decoded.error();
            }
            records[i].values = std::move(*decoded);
            records[i].valuesRead = true;
            records[i].storedValues = Value();
            continue;
        }
        if (unread.empty()) {
            unread.reserve(records.size() - i);
            nextOfChange.assign(records.size(), kNone);
            ids.reserve(records.size() - i);
        }
        auto [named, added] = unread.try_emplace(records[i].changeID, i, i);
        if (added) {
            ids.push_back(Value(plat::ObjectPtr(records[i].changeID)));
        } else {
            nextOfChange[named->second.second] = i;
            named->second.second = i;
        }
    }
    if (unread.empty()) {
        return nullptr;
    }
    // The values of one change, handed to every record of it (the last one
    // takes them, the others copy).
    auto take = [&](const ManagedObjectIDPtr& changeID, Values values) {
        auto found = unread.find(changeID);
        if (found == unread.end()) {
            return;
        }
        for (std::size_t index = found->second.first; index != kNone; index = nextOfChange[index]) {
            auto& record = records[index];
            if (nextOfChange[index] == kNone) {
                record.values = std::move(values);
            } else {
                record.values = values;
            }
            record.valuesRead = true;
        }
        unread.erase(found);
    };
    FetchRequest request(SYNObjectChangeEntityName);
    request.predicate = Predicate::selfIn(Value(std::move(ids)));
    request.includesSubentities = false;
    try {
        if (storedAsShown) {
            static const std::vector<std::string> kValuesColumn{"propertyChangeValues"};
            const auto* property = changeEntity->propertyNamed("propertyChangeValues");
            auto rows = property ? coordinator->fetchRowsReading(request, *changeEntity, kValuesColumn)
                                 : plat::Result<std::vector<plat::coredata::SnapshotPtr>>(
                                       std::vector<plat::coredata::SnapshotPtr>());
            if (!rows.ok()) {
                return rows.error();
            }
            for (auto& row : *rows) {
                take(row->objectID, decodedValues(storedValue(*row, property->index())));
                row.reset();
            }
        }
        // A change unsaved in the context (or gone from the store): as the
        // context shows it.
        if (!unread.empty()) {
            plat::Array rest;
            for (const auto& [changeID, index] : unread) {
                rest.push_back(Value(plat::ObjectPtr(changeID)));
            }
            request.predicate = Predicate::selfIn(Value(std::move(rest)));
            auto changes = context.executeFetchRequest(request);
            if (!changes.ok()) {
                return changes.error();
            }
            for (const auto& change : *changes) {
                take(change->objectID(), decodedValues(change->valueForKey("propertyChangeValues")));
            }
            while (!unread.empty()) {
                take(unread.begin()->first, Values());
            }
        }
    } catch (const std::exception& exception) {
        return SYNMakeError(SYNErrorUnknown, exception.what());
    }
    return nullptr;
}

void SYNChangeRecordCache::add(SYNChangeRecord&& record) {
    if (!record.changeID) {
        return;
    }
    if (record.globalIdentifierID) {
        auto& changes = changesByRow_[record.globalIdentifierID];
        if (!changes.first) {
            changes.first = record.changeID;
        } else {
            changes.more.push_back(record.changeID);
        }
    }
    auto id = record.changeID;
    records_.insert_or_assign(std::move(id), std::move(record));
}

const SYNChangeRecord* SYNChangeRecordCache::find(const ManagedObjectIDPtr& changeID) const {
    auto found = records_.find(changeID);
    return found == records_.end() ? nullptr : &found->second;
}

void SYNChangeRecordCache::setStoreURI(const ManagedObjectIDPtr& globalIdentifierID,
                                       const std::optional<std::string>& storeURI) {
    auto changes = changesByRow_.find(globalIdentifierID);
    if (changes == changesByRow_.end()) {
        return;
    }
    auto write = [&](const ManagedObjectIDPtr& changeID) {
        auto record = records_.find(changeID);
        if (record != records_.end()) {
            record->second.storeURI = storeURI;
        }
    };
    write(changes->second.first);
    for (const auto& changeID : changes->second.more) {
        write(changeID);
    }
}

void SYNChangeRecordCache::reserve(std::size_t count) {
    records_.reserve(records_.size() + count);
    changesByRow_.reserve(changesByRow_.size() + count);
}

void SYNChangeRecordCache::clear() {
    ++generation_;
    records_.clear();
    changesByRow_.clear();
    uriPrefixes_.clear();
    lastPrefix_ = nullptr;
}

std::optional<SYNStoreURIForms::Form> SYNStoreURIForms::find(std::string_view prefix) const {
    plat::MutexLock lock(mutex_);
    auto found = forms_.find(prefix);
    return found == forms_.end() ? std::nullopt : std::optional<Form>(found->second);
}

void SYNStoreURIForms::add(std::string_view prefix, Form form) {
    plat::MutexLock lock(mutex_);
    if (forms_.size() < kMaximumForms) {
        forms_.emplace(std::string(prefix), std::move(form));
    }
}

ManagedObjectIDPtr SYNChangeRecordCache::objectIDForStoreURI(
    const std::string& storeURI, const plat::coredata::PersistentStoreCoordinator& coordinator) {
    if (uriCoordinator_ != &coordinator) {
        uriPrefixes_.clear();
        lastPrefix_ = nullptr;
        uriCoordinator_ = &coordinator;
    }
    // A permanent ID's URI ends in "/p<digits>".
    const std::size_t slash = storeURI.rfind('/');
    const bool keyed =
        slash != std::string::npos && slash + 2 < storeURI.size() && storeURI[slash + 1] == 'p';
    if (keyed) {
        // URIs mostly come one entity's after another: the prefix of the
        // last one is compared before any is looked up.
        const std::string_view prefix = std::string_view(storeURI).substr(0, slash);
        auto known = lastPrefix_ && lastPrefix_->first == prefix ? lastPrefix_ : nullptr;
        if (!known) {
            auto found = uriPrefixes_.find(prefix);
            known = found == uriPrefixes_.end() ? nullptr : &*found;
            lastPrefix_ = known ? known : lastPrefix_;
        }
        const char* first = storeURI.data() + slash + 2;
        const char* last = storeURI.data() + storeURI.size();
        int64_t key = 0;
        auto [end, ec] = std::from_chars(first, last, key);
        const bool plainKey = ec == std::errc() && end == last &&
                              std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; });
        if (!known && plainKey && uriForms_) {
            // A form parsed before (for another cache or coordinator): its
            // store and entity as the full parse finds them, by name.
            if (auto form = uriForms_->find(prefix)) {
                auto store = coordinator.persistentStoreForIdentifier(form->storeIdentifier);
                const auto* entity = coordinator.managedObjectModel()->entityNamed(form->entityName);
                if (store && entity) {
                    known = &*uriPrefixes_.emplace(std::string(prefix), URIPrefix{std::move(store), entity})
                                  .first;
                    lastPrefix_ = known;
                }
            }
        }
        if (known && plainKey) {
            return known->second.store->objectIDFor(known->second.entity, key);
        }
    }
    auto id = coordinator.managedObjectIDForURIRepresentation(storeURI);
    if (id && keyed && !id->isTemporaryID()) {
        if (auto store = coordinator.persistentStoreForIdentifier(id->storeIdentifier())) {
            if (uriForms_) {
                uriForms_->add(std::string_view(storeURI).substr(0, slash),
                               SYNStoreURIForms::Form{id->storeIdentifier(), id->entity()->name()});
            }
            uriPrefixes_.emplace(storeURI.substr(0, slash), URIPrefix{std::move(store), id->entity()});
        }
    }
    return id;
}

std::string SYNStoreURIWriter::storeURIForObjectID(const plat::coredata::ManagedObjectID& objectID) {
    if (objectID.isTemporaryID()) {
        return SYNGlobalIdentifier::storeURIForObjectID(objectID);
    }
    if (!prefix_.empty() && objectID.entity() == entity_ && objectID.storeIdentifier() == store_) {
        return prefix_ + std::to_string(objectID.primaryKey());
    }
    std::string uri = SYNGlobalIdentifier::storeURIForObjectID(objectID);
    const std::string key = std::to_string(objectID.primaryKey());
    const bool keyed = uri.size() > key.size() + 2 &&
                       uri.compare(uri.size() - key.size(), key.size(), key) == 0 &&
                       uri.compare(uri.size() - key.size() - 2, 2, "/p") == 0;
    prefix_ = keyed ? uri.substr(0, uri.size() - key.size()) : std::string();
    entity_ = objectID.entity();
    store_ = objectID.storeIdentifier();
    return uri;
}

SYNIntegrationStage::SYNIntegrationStage(std::shared_ptr<SYNEventBuilder> eventBuilder,
                                         SYNManagedObjectIDs objectChangeIDs,
                                         std::shared_ptr<ManagedObjectContext> managedObjectContext,
                                         uint64_t batchSize)
    : context_(std::move(managedObjectContext)),
      batchSize_(batchSize),
      objectChangeIDs_(std::move(objectChangeIDs)),
      eventBuilder_(std::move(eventBuilder)) {
    eventStore_ = eventBuilder_->eventStore();
    eventContext_ = eventStore_->managedObjectContext();
    const uint64_t count = objectChangeIDs_.size();
    maximumBatchSize_ = batchSize_ != 0 ? batchSize_ : count;
    totalNumberOfBatches_ = maximumBatchSize_ == 0 ? 0 : (count + maximumBatchSize_ - 1) / maximumBatchSize_;
    numberOfBatchesRemaining_ = totalNumberOfBatches_;
    updateBatchProperties();
}

void SYNIntegrationStage::updateBatchProperties() {
    if (numberOfBatchesRemaining_ == 0) {
        numberOfChangesInNextBatch_ = 0;
        firstIndexOfNextBatch_ = NotFound;
        return;
    }
    numberOfChangesInNextBatch_ = maximumBatchSize_;
    firstIndexOfNextBatch_ = (totalNumberOfBatches_ - numberOfBatchesRemaining_) * maximumBatchSize_;
    const uint64_t remainder = objectChangeIDs_.size() % maximumBatchSize_;
    if (numberOfBatchesRemaining_ == 1 && remainder != 0) {
        numberOfChangesInNextBatch_ = remainder;
    }
}

void SYNIntegrationStage::incrementBatch() {
    if (numberOfBatchesRemaining_ > 0) {
        --numberOfBatchesRemaining_;
    }
    updateBatchProperties();
}

std::optional<SYNManagedObjectIDs> SYNIntegrationStage::nextBatchChangeIDs() const {
    if (firstIndexOfNextBatch_ == NotFound) {
        return std::nullopt;
    }
    auto first = objectChangeIDs_.begin() + static_cast<std::ptrdiff_t>(firstIndexOfNextBatch_);
    return SYNManagedObjectIDs(first, first + static_cast<std::ptrdiff_t>(numberOfChangesInNextBatch_));
}

plat::ErrorPtr SYNIntegrationStage::applyNextBatchOfChanges() {
    auto batch = nextBatchChangeIDs();
    if (!batch || batch->empty()) {
        return nullptr;
    }
    if (!eventContext_) {
        return SYNMakeError(SYNErrorEnlistState, "The event store is not open");
    }
    plat::ErrorPtr error;
    eventContext_->performBlockAndWait([&] { error = applyChangeIDs(*batch); });
    if (error) {
        return error;
    }
    incrementBatch();
    return nullptr;
}

Value SYNIntegrationStage::valueForKey(std::string_view key, const ManagedObject& object) {
    object.willAccessValueForKey(key);
    Value value = object.primitiveValueForKey(key);
    object.didAccessValueForKey(key);
    return value;
}

void SYNIntegrationStage::setValueForKey(const Value& value, std::string_view key, ManagedObject& object) {
    try {
        Value old = valueForKey(key, object);
        if (isIdentical(old, value)) {
            return;
        }
        if (!isLargeData(old) && !isLargeData(value) && old == value) {
            return;
        }
        const auto* relationship = object.entity()->relationshipNamed(key);
        // Both writes notify the property's observers once: a primitive write
        // notifies nobody by itself, so it is bracketed.
        if (relationship && relationship->inverseRelationship()) {
            object.setValue(value, key);
        } else {
            object.willChangeValueForKey(key);
            object.setPrimitiveValue(value, key);
            object.didChangeValueForKey(key);
        }
    } catch (const std::exception& exception) {
        SYN_LOG(1, "Exception thrown setting value during integration. Possibly DB corruption. Ignoring: %@",
                exception.what());
    }
}

plat::Result<SYNManagedObjects> SYNIntegrationStage::loadChanges(const SYNManagedObjectIDs& changeIDs) {
    auto fetched = SYNObjectChange::prefetchObjectChangesForObjectIDs(changeIDs, *eventContext_);
    if (!fetched.ok()) {
        return fetched.error();
    }
    std::unordered_map<ManagedObjectIDPtr, ManagedObjectPtr, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        byID;
    for (const auto& change : *fetched) {
        byID.emplace(change->objectID(), change);
    }
    SYNManagedObjects ordered;
    ordered.reserve(changeIDs.size());
    for (const auto& id : changeIDs) {
        auto found = byID.find(id);
        if (found != byID.end()) {
            ordered.push_back(found->second);
        }
    }
    return ordered;
}

plat::ErrorPtr SYNIntegrationStage::enumerateSubBatches(
    const SYNManagedObjectIDs& changeIDs,
    const std::function<plat::ErrorPtr(const SYNManagedObjectIDs&)>& batch) {
    if (changeIDs.empty()) {
        return nullptr;
    }
    const std::size_t step = batchSize_ != 0 ? batchSize_ : changeIDs.size();
    for (std::size_t first = 0; first < changeIDs.size(); first += step) {
        const std::size_t count = std::min(step, changeIDs.size() - first);
        SYNManagedObjectIDs sub(changeIDs.begin() + static_cast<std::ptrdiff_t>(first),
                                changeIDs.begin() + static_cast<std::ptrdiff_t>(first + count));
        if (auto error = batch(sub)) {
            return error;
        }
        // Saving bounds memory when the caller batches; unbatched, the
        // integrator saves the event store once per entity batch (a save per
        // stage would cost a synchronous disk write per event).
        if (batchSize_ != 0) {
            if (auto error = eventBuilder_->saveAndReset()) {
                return error;
            }
        }
    }
    return nullptr;
}

plat::ErrorPtr SYNIntegrationStage::enumerateObjectChangeIDs(
    const SYNManagedObjectIDs& changeIDs,
    const std::function<plat::ErrorPtr(const SYNManagedObjects&)>& block) {
    return enumerateSubBatches(changeIDs, [&](const SYNManagedObjectIDs& sub) -> plat::ErrorPtr {
        auto changes = loadChanges(sub);
        return changes.ok() ? block(*changes) : changes.error();
    });
}

plat::Result<SYNChangeRecords> SYNIntegrationStage::loadRecords(const SYNManagedObjectIDs& changeIDs,
                                                                bool withValues) {
    SYNChangeRecords records;
    records.reserve(changeIDs.size());
    if (cache_) {
        for (const auto& id : changeIDs) {
            const SYNChangeRecord* record = cache_->find(id);
            if (!record) {
                break;
            }
            records.push_back(*record);
        }
        if (records.size() == changeIDs.size()) {
            if (auto error =
                    withValues ? SYNChangeRecord::readStoredValues(records, *eventContext_) : nullptr) {
                return error;
            }
            return records;
        }
        records.clear();
    }
    auto changes = loadChanges(changeIDs);
    if (!changes.ok()) {
        return changes.error();
    }
    return SYNChangeRecord::fromChanges(*changes, *eventContext_);
}

plat::ErrorPtr SYNIntegrationStage::enumerateChangeRecords(
    const SYNManagedObjectIDs& changeIDs, const std::function<plat::ErrorPtr(const SYNChangeRecords&)>& block,
    bool withValues) {
    return enumerateSubBatches(changeIDs, [&](const SYNManagedObjectIDs& sub) -> plat::ErrorPtr {
        // A stretch of records at a time: an unbatched sub-batch is all of
        // an entity's changes, whose copies need not be held at once.
        for (std::size_t first = 0; first < sub.size(); first += kRecordsAtATime) {
            const std::size_t count = std::min(kRecordsAtATime, sub.size() - first);
            auto records = loadRecords(
                count == sub.size()
                    ? sub
                    : SYNManagedObjectIDs(sub.begin() + static_cast<std::ptrdiff_t>(first),
                                          sub.begin() + static_cast<std::ptrdiff_t>(first + count)),
                withValues);
            if (!records.ok()) {
                return records.error();
            }
            if (auto error = block(*records)) {
                return error;
            }
        }
        return nullptr;
    });
}

std::map<std::string, std::vector<std::string_view>>
SYNIntegrationStage::globalIdentifierStringsByEntityNameInObjectChanges(
    const SYNChangeRecords& changes, const SYNRelationshipList* relationshipsToInclude) const {
    // A short list is searched as it is; a set of what it holds is made
    // only once it grows past kSearchedInList (a hash node per identifier
    // costs more than the search in a few).
    static constexpr std::size_t kSearchedInList = 16;
    struct Named {
        std::vector<std::string_view> list;
        std::unordered_set<std::string_view> seen;
        std::size_t expected = 0;  // room for the set, once made
        void add(std::string_view identifier) {
            if (seen.empty()) {
                if (std::find(list.begin(), list.end(), identifier) != list.end()) {
                    return;
                }
                if (list.size() < kSearchedInList) {
                    if (list.empty()) {
                        list.reserve(std::clamp(expected, std::size_t{1}, kSearchedInList));
                    }
                    list.push_back(identifier);
                    return;
                }
                seen.reserve(std::max(expected, 2 * kSearchedInList));
                for (std::string_view listed : list) {
                    seen.insert(listed);
                }
            }
            if (seen.insert(identifier).second) {
                list.push_back(identifier);
            }
        }
    };
    std::map<std::string, Named, std::less<>> named;
    const auto& model = *context_->persistentStoreCoordinator()->managedObjectModel();
    std::set<std::string, std::less<>> filter;
    if (relationshipsToInclude) {
        for (const auto* relationship : *relationshipsToInclude) {
            filter.insert(relationship->name());
        }
    }
    // The lists a relationship's identifiers go to, one per entity its
    // members may have: found once per relationship, not once per value.
    std::unordered_map<const RelationshipDescription*, std::vector<Named*>> targetsOf;
    // Changes of one entity mostly follow each other: the entity and its
    // list are looked up again only when the name changes.
    const std::string* lastName = nullptr;
    const EntityDescription* entity = nullptr;
    Named* own = nullptr;
    for (const auto& change : changes) {
        const std::string& entityName = change.entityName;
        if (!lastName || *lastName != entityName) {
            lastName = &entityName;
            entity = model.entityForName(entityName).get();
            own = nullptr;
        }
        if (!entity) {
            SYN_LOG(2, "Did not find entity in model: %@", entityName);
            continue;
        }
        if (change.globalIdentifier) {
            if (!own) {
                own = &named[entityName];
                own->expected = changes.size();
            }
            own->add(*change.globalIdentifier);
        }
        for (const auto& held : change.values) {
            const SYNPropertyChangeValue& value = *held;
            if (value.type() == SYNPropertyChangeTypeAttribute) {
                continue;
            }
            if (relationshipsToInclude && !filter.count(value.propertyName())) {
                continue;
            }
            const RelationshipDescription* relationship = entity->relationshipNamed(value.propertyName());
            if (!relationship) {
                SYN_LOG(4, "Did not find relationship property in model: %@", value.propertyName());
                continue;
            }
            auto [targets, added] = targetsOf.try_emplace(relationship);
            if (added) {
                for (const auto& candidate : SYNCandidateEntityNames(*relationship)) {
                    Named* target = &named[candidate];  // (map entries stay put)
                    target->expected = std::max(target->expected, changes.size());
                    targets->second.push_back(target);
                }
            }
            for (Named* target : targets->second) {
                auto& identifiers = *target;
                if (value.relatedIdentifier()) {
                    identifiers.add(*value.relatedIdentifier());
                }
                for (const auto& identifier : value.addedIdentifiers()) {
                    identifiers.add(identifier);
                }
                for (const auto& identifier : value.removedIdentifiers()) {
                    identifiers.add(identifier);
                }
                for (const auto& [index, identifier] : value.movedIdentifiersByIndex()) {
                    identifiers.add(identifier);
                }
            }
        }
    }
    std::map<std::string, std::vector<std::string_view>> result;
    for (auto& [entityName, identifiers] : named) {
        result.emplace(entityName, std::move(identifiers.list));
    }
    return result;
}

plat::Result<std::optional<std::vector<ManagedObjectPtr>>> SYNIntegrationStage::ownObjectsOfAttributeChanges(
    const SYNChangeRecords& changes) {
    using Objects = std::optional<std::vector<ManagedObjectPtr>>;
    if (changes.empty()) {
        return Objects();
    }
    const std::string& entityName = changes.front().entityName;
    if (entityName.empty() ||
        !context_->persistentStoreCoordinator()->managedObjectModel()->entityForName(entityName)) {
        return Objects();
    }
    std::unordered_map<std::string_view, const plat::coredata::ManagedObjectID*> rowOfIdentifier;
    rowOfIdentifier.reserve(changes.size());
    std::vector<const std::string*> uris(changes.size(), nullptr);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const SYNChangeRecord& change = changes[i];
        if (change.entityName != entityName) {
            return Objects();
        }
        for (const auto& value : change.values) {
            if (value->type() != SYNPropertyChangeTypeAttribute) {
                return Objects();
            }
        }
        if (!change.globalIdentifier) {
            continue;
        }
        if (!change.globalIdentifierID || change.globalIdentifierEntityName != entityName) {
            return Objects();
        }
        auto [named, added] =
            rowOfIdentifier.try_emplace(*change.globalIdentifier, change.globalIdentifierID.get());
        if (!added && !named->second->isEqualID(*change.globalIdentifierID)) {
            return Objects();
        }
        if (change.storeURI) {
            uris[i] = &*change.storeURI;
        }
    }
    auto objects = fetchObjectsForStoreURIs(entityName, uris);
    if (!objects.ok()) {
        return objects.error();
    }
    return Objects(std::move(*objects));
}

plat::Result<SYNIntegrationStage::ObjectsByID> SYNIntegrationStage::existingObjectsForIDs(
    const std::vector<ManagedObjectIDPtr>& ids, const EntityDescription& entity, bool includesSubentities) {
    ObjectsByID result;
    auto fits = [&](const ManagedObject& object) {
        return !object.isDeleted() && !object.isInvalidated() &&
               (includesSubentities ? object.entity()->isKindOfEntity(&entity) : object.entity() == &entity);
    };
    // Those the context does not hold filled: permanent IDs go to one fetch,
    // temporary ones (which only the context's own aliases can resolve) are
    // read by ID; so are permanent ones when no fetch is made.
    std::vector<ManagedObjectIDPtr> unknown;
    std::vector<ManagedObjectIDPtr> readByID;
    for (const auto& id : ids) {
        auto object = context_->objectRegisteredForID(id);
        if (object && !object->isFault()) {
            if (fits(*object)) {
                result.emplace(id, object);
            }
        } else {
            (id->isTemporaryID() ? readByID : unknown).push_back(id);
        }
    }
    if (!fetchesUnknownObjects(unknown.size())) {
        readByID.insert(readByID.end(), unknown.begin(), unknown.end());
        unknown.clear();
    }
    for (const auto& id : readByID) {
        auto object = context_->existingObjectWithID(id);
        if (!object.ok()) {
            if (object.error()->code() == plat::coredata::ManagedObjectReferentialIntegrityError) {
                continue;
            }
            return object.error();
        }
        if (fits(**object)) {
            result.emplace(id, *object);
        }
    }
    // The fetch gives the objects the reads would: objects the context holds
    // with unsaved changes are those it has (a fetch never replaces them by
    // the stored rows), deleted ones are left out, faults are filled.
    for (std::size_t first = 0; first < unknown.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, unknown.size() - first);
        plat::Array list;
        list.reserve(count);
        for (std::size_t i = first; i < first + count; ++i) {
            list.push_back(Value(plat::ObjectPtr(unknown[i])));
        }
        FetchRequest request(entity.name());
        request.predicate = Predicate::selfIn(Value(std::move(list)));
        request.includesSubentities = includesSubentities;
        auto fetched = context_->executeFetchRequest(request);
        if (!fetched.ok()) {
            return fetched.error();
        }
        for (const auto& object : *fetched) {
            if (fits(*object)) {
                result.emplace(object->objectID(), object);
            }
        }
    }
    return result;
}

bool SYNIntegrationStage::fetchesUnknownObjects(std::size_t count) const {
    if (count < kFetchedFrom) {
        return false;
    }
    const std::size_t registered = context_->registeredObjectCount();
    if (registered <= kRegisteredForFetch && registered <= kRegisteredPerFetchedObject * count) {
        return true;
    }
    return count > kLookUpLimit && !context_->hasChanges();
}

plat::Result<std::vector<ManagedObjectPtr>> SYNIntegrationStage::fetchObjectsForStoreURIs(
    const std::string& entityName, const std::vector<const std::string*>& storeURIs) {
    auto coordinator = context_->persistentStoreCoordinator();
    std::vector<ManagedObjectPtr> result(storeURIs.size());
    std::vector<ManagedObjectIDPtr> idsByURI(storeURIs.size());
    std::vector<ManagedObjectIDPtr> ids;
    ids.reserve(storeURIs.size());
    for (std::size_t i = 0; i < storeURIs.size(); ++i) {
        if (!storeURIs[i]) {
            continue;
        }
        idsByURI[i] = cache_ ? cache_->objectIDForStoreURI(*storeURIs[i], *coordinator)
                             : coordinator->managedObjectIDForURIRepresentation(*storeURIs[i]);
        if (!idsByURI[i]) {
            SYN_LOG(2, "Was unable to fetch object with URI: %@", *storeURIs[i]);
            continue;
        }
        ids.push_back(idsByURI[i]);
    }
    if (ids.empty()) {
        return result;
    }
    auto entity = coordinator->managedObjectModel()->entityForName(entityName);
    if (!entity) {
        return result;
    }
    plat::ErrorPtr error;
    ObjectsByID objectsByID;
    context_->performBlockAndWait([&] {
        auto found = existingObjectsForIDs(ids, *entity, false);
        if (!found.ok()) {
            error = found.error();
            return;
        }
        objectsByID = std::move(*found);
    });
    if (error) {
        return error;
    }
    for (std::size_t i = 0; i < idsByURI.size(); ++i) {
        if (!idsByURI[i]) {
            continue;
        }
        auto found = objectsByID.find(idsByURI[i]);
        if (found != objectsByID.end()) {
            result[i] = found->second;
        }
    }
    return result;
}

plat::Result<std::vector<ManagedObjectIDPtr>> SYNIntegrationStage::existingObjectIDsForStoreURIs(
    const std::string& entityName, const std::vector<const std::string*>& storeURIs) {
    auto coordinator = context_->persistentStoreCoordinator();
    std::vector<ManagedObjectIDPtr> result(storeURIs.size());
    auto entity = coordinator->managedObjectModel()->entityForName(entityName);
    if (!entity) {
        return result;
    }
    std::vector<ManagedObjectIDPtr> ids;
    std::vector<std::size_t> at;
    ids.reserve(storeURIs.size());
    at.reserve(storeURIs.size());
    for (std::size_t i = 0; i < storeURIs.size(); ++i) {
        if (!storeURIs[i]) {
            continue;
        }
        auto id = cache_ ? cache_->objectIDForStoreURI(*storeURIs[i], *coordinator)
                         : coordinator->managedObjectIDForURIRepresentation(*storeURIs[i]);
        if (!id) {
            SYN_LOG(2, "Was unable to fetch object with URI: %@", *storeURIs[i]);
            continue;
        }
        // The fetch asks for the entity alone, not its sub-entities.
        if (id->entity() != entity.get() && id->entity()->name() != entityName) {
            continue;
        }
        ids.push_back(std::move(id));
        at.push_back(i);
    }
    if (ids.empty()) {
        return result;
    }
    plat::Result<std::vector<bool>> exist = std::vector<bool>();
    context_->performBlockAndWait([&] { exist = context_->existingObjectIDs(ids); });
    if (!exist.ok()) {
        return exist.error();
    }
    for (std::size_t n = 0; n < ids.size() && n < exist->size(); ++n) {
        if ((*exist)[n]) {
            result[at[n]] = std::move(ids[n]);
        }
    }
    return result;
}

plat::Result<SYNObjectsByIdentifierByEntityName>
SYNIntegrationStage::fetchCurrentMembersOfReorderedRelationships(const SYNChangeRecords& changes) {
    // Entity -> (store URI of the change's object, names of the ordered
    // relationships reordered).
    std::map<std::string, std::vector<std::pair<const std::string*, std::set<std::string>>>> noted;
    for (const auto& change : changes) {
        std::set<std::string> names;
        for (const auto& held : change.values) {
            const SYNPropertyChangeValue& value = *held;
            if (!value.movedIdentifiersByIndex().empty()) {
                names.insert(value.propertyName());
            }
        }
        if (!names.empty() && change.globalIdentifierID && !change.entityName.empty()) {
            noted[change.entityName].emplace_back(change.storeURI ? &*change.storeURI : nullptr,
                                                  std::move(names));
        }
    }
    SYNObjectsByIdentifierByEntityName result;
    if (noted.empty()) {
        return result;
    }
    std::map<std::string, std::vector<ManagedObjectPtr>> membersByDestination;
    for (const auto& entry : noted) {
        const std::string& entityName = entry.first;
        const auto& entries = entry.second;  // a plain reference: lambdas below use it
        std::vector<const std::string*> uris;
        for (const auto& item : entries) {
            uris.push_back(item.first);
        }
        auto objects = fetchObjectsForStoreURIs(entityName, uris);
        if (!objects.ok()) {
            return objects.error();
        }
        plat::ErrorPtr error;
        context_->performBlockAndWait([&] {
            try {
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    const ManagedObjectPtr& found = (*objects)[i];
                    for (const auto& name : entries[i].second) {
                        const RelationshipDescription* relationship =
                            found ? found->entity()->relationshipNamed(name) : nullptr;
                        if (!relationship || !relationship->isToMany()) {
                            SYN_LOG(4, "Did not find relationship property in model: %@", name);
                            continue;
                        }
                        auto& members = membersByDestination[relationship->destinationEntityName()];
                        for (const auto& member : found->objectsForKey(name)) {
                            members.push_back(member);
                        }
                    }
                }
            } catch (const std::exception& exception) {
                error = SYNMakeError(SYNErrorUnknown, exception.what());
            }
        });
        if (error) {
            return error;
        }
    }
    for (auto& [destination, members] : membersByDestination) {
        SYNManagedObjectIDs ids;
        ids.reserve(members.size());
        for (const auto& member : members) {
            ids.push_back(member->objectID());
        }
        auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(ids, *eventContext_);
        if (!rows.ok()) {
            return rows.error();
        }
        auto& table = result[destination];
        for (std::size_t i = 0; i < members.size() && i < rows->size(); ++i) {
            const auto& row = (*rows)[i];
            Value identifier = row ? row->valueForKey("globalIdentifier") : Value();
            if (!identifier.asString()) {
                SYN_LOG(1, "A global identifier was not found for an ordered-relationship object");
                continue;
            }
            table.emplace(*identifier.asString(), members[i]);
        }
    }
    return result;
}

plat::Result<SYNObjectsByIdentifierByEntityName>
SYNIntegrationStage::fetchObjectsByGlobalIdStringByEntityNameForChanges(
    const SYNChangeRecords& changes, const SYNRelationshipList* relationshipsToInclude,
    const std::set<std::string>* byKey, SYNObjectIDsByIdentifierByEntityName* ids) {
    // The changes' own identifier rows (with their store URIs), by entity,
    // sorted by identifier (of equal identifiers the first change's): the
    // changes of a batch are mostly of one entity, and a sorted list is
    // searched without a hash node per identifier.
    using OwnRow = std::pair<std::string_view, const SYNChangeRecord*>;
    std::vector<std::pair<const std::string*, std::vector<OwnRow>>> own;
    {
        std::vector<OwnRow>* ofEntity = nullptr;
        const std::string* lastName = nullptr;
        for (const auto& change : changes) {
            if (!change.globalIdentifier || change.globalIdentifierEntityName != change.entityName) {
                continue;
            }
            if (!lastName || *lastName != change.entityName) {
                lastName = &change.entityName;
                auto listed = std::find_if(own.begin(), own.end(), [&](const auto& entry) {
                    return *entry.first == change.entityName;
                });
                if (listed == own.end()) {
                    own.emplace_back(lastName, std::vector<OwnRow>());
                    own.back().second.reserve(changes.size());
                    listed = std::prev(own.end());
                }
                ofEntity = &listed->second;
            }
            ofEntity->emplace_back(*change.globalIdentifier, &change);
        }
        for (auto& [name, rows] : own) {
            std::stable_sort(rows.begin(), rows.end(),
                             [](const OwnRow& a, const OwnRow& b) { return a.first < b.first; });
        }
    }
    SYNObjectsByIdentifierByEntityName result;
    for (const auto& [entityName, identifiers] :
         globalIdentifierStringsByEntityNameInObjectChanges(changes, relationshipsToInclude)) {
        const std::vector<OwnRow>* ownOfEntity = nullptr;
        for (const auto& [name, rows] : own) {
            if (*name == entityName) {
                ownOfEntity = &rows;
                break;
            }
        }
        std::vector<const std::string*> uris;  // parallel to the identifiers
        std::vector<std::string> unknown;      // those to look up
        std::vector<std::size_t> unknownAt;    // their places in the identifiers
        uris.reserve(identifiers.size());
        for (std::size_t i = 0; i < identifiers.size(); ++i) {
            const std::string_view identifier = identifiers[i];
            const SYNChangeRecord* record = nullptr;
            if (ownOfEntity) {
                auto found = std::lower_bound(
                    ownOfEntity->begin(), ownOfEntity->end(), identifier,
                    [](const OwnRow& row, std::string_view wanted) { return row.first < wanted; });
                if (found != ownOfEntity->end() && found->first == identifier) {
                    record = found->second;
                }
            }
            if (!record) {
                if (unknown.empty()) {
                    unknown.reserve(identifiers.size() - i);
                    unknownAt.reserve(identifiers.size() - i);
                }
                unknown.emplace_back(identifier);
                unknownAt.push_back(i);
            }
            uris.push_back(record && record->storeURI ? &*record->storeURI : nullptr);
        }
        std::vector<std::string> fetchedURIs;
        if (!unknown.empty()) {
            // The store URIs of the unknown identifiers, in their order: from
            // the rows the import has just looked up when its hand-off still
            // answers for this context, else from the event store.
            std::vector<std::optional<std::string>> found;
            auto coordinator = eventContext_->persistentStoreCoordinator();
            auto handOff = coordinator ? SYNImportedChanges::find(*coordinator) : nullptr;
            if (!handOff || !handOff->storeURIsOf(entityName, unknown, *eventContext_, found)) {
                auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(
                    unknown, entityName, *eventContext_);
                if (!rows.ok()) {
                    SYN_LOG(1, "Error fetching ids: %@", rows.error()->description());
                    return rows.error();
                }
                found.assign(unknown.size(), std::nullopt);
                auto storeURIs = SYNStoreURIs::forContext(*eventContext_);
                for (std::size_t i = 0; i < unknown.size(); ++i) {
                    if ((*rows)[i]) {
                        found[i] = storeURIs->decode((*rows)[i]->valueForKey("storeURI"));
                    }
                }
            }
            // (Reserved whole: the URIs are pointed at as they are added.)
            fetchedURIs.reserve(unknown.size());
            for (std::size_t i = 0; i < unknown.size() && i < found.size(); ++i) {
                if (found[i]) {
                    fetchedURIs.push_back(std::move(*found[i]));
                    uris[unknownAt[i]] = &fetchedURIs.back();
                }
            }
        }
        if (byKey && ids && byKey->count(entityName) != 0) {
            auto found = existingObjectIDsForStoreURIs(entityName, uris);
            if (!found.ok()) {
                return found.error();
            }
            auto& table = (*ids)[entityName];
            table.reserve(identifiers.size());
            for (std::size_t i = 0; i < identifiers.size(); ++i) {
                if ((*found)[i]) {
                    table.emplace(std::string(identifiers[i]), std::move((*found)[i]));
                }
            }
            continue;
        }
        auto objects = fetchObjectsForStoreURIs(entityName, uris);
        if (!objects.ok()) {
            return objects.error();
        }
        auto& table = result[entityName];
        table.reserve(identifiers.size());
        for (std::size_t i = 0; i < identifiers.size(); ++i) {
            if ((*objects)[i]) {
                table.emplace(std::string(identifiers[i]), (*objects)[i]);
            }
        }
    }
    auto members = fetchCurrentMembersOfReorderedRelationships(changes);
    if (!members.ok()) {
        return members.error();
    }
    for (auto& [entityName, table] : *members) {
        auto target = result.find(entityName);
        if (target == result.end()) {
            continue;
        }
        target->second.insert(table.begin(), table.end());
    }
    return result;
}
