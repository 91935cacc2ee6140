#include "sync/eventstore/SYNObjectChange.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreURIs.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::SortDescriptor;

namespace {

// Keeps IN lists within what any store translates into one query.
constexpr std::size_t kFetchChunk = 500;

template <class T, class Convert>
Value listValue(const std::vector<T>& items, std::size_t first, std::size_t count, Convert&& convert) {
    plat::Array list;
    list.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        list.push_back(convert(items[i]));
    }
    return Value(std::move(list));
}

// The object changes of `count` events from `first` on.
FetchRequest objectChangesOfEvents(const SYNManagedObjects& events, std::size_t first, std::size_t count) {
    FetchRequest request(SYNObjectChangeEntityName);
    request.predicate = Predicate::in(
        "storeModificationEvent",
        listValue(events, first, count, [](const auto& event) { return Value(plat::ObjectPtr(event)); }));
    return request;
}

}  // namespace

plat::Result<SYNManagedObjects> SYNObjectChange::prefetchObjectChangesForObjectIDs(
    const SYNManagedObjectIDs& changeIDs, ManagedObjectContext& context) {
    SYNManagedObjects changes;
    for (std::size_t first = 0; first < changeIDs.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, changeIDs.size() - first);
        FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = Predicate::selfIn(
            listValue(changeIDs, first, count, [](const auto& id) { return Value(plat::ObjectPtr(id)); }));
        request.relationshipKeyPathsForPrefetching = {"globalIdentifier", "dataFiles"};
        auto batch = context.executeFetchRequest(request);
        if (!batch.ok()) {
            return batch.error();
        }
        changes.insert(changes.end(), batch->begin(), batch->end());
    }
    return changes;
}

void SYNObjectChange::prefetchRelatedObjectsForObjectChanges(const SYNManagedObjects& changes) {
    if (changes.empty()) {
        return;
    }
    auto context = changes.front()->managedObjectContext();
    if (!context) {
        return;
    }
    SYNManagedObjectIDs ids;
    for (const auto& change : changes) {
        ids.push_back(change->objectID());
    }
    (void)prefetchObjectChangesForObjectIDs(ids, *context);
}

plat::Result<std::size_t> SYNObjectChange::countOfObjectChangesInStoreModificationEvents(
    const SYNManagedObjects& events, ManagedObjectContext& context) {
    std::size_t total = 0;
    for (std::size_t first = 0; first < events.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, events.size() - first);
        FetchRequest request = objectChangesOfEvents(events, first, count);
        auto counted = context.countForFetchRequest(request);
        if (!counted.ok()) {
            return counted.error();
        }
        total += *counted;
    }
    return total;
}

plat::Result<bool> SYNObjectChange::storeModificationEventsHaveObjectChanges(const SYNManagedObjects& events,
                                                                             ManagedObjectContext& context) {
    for (std::size_t first = 0; first < events.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, events.size() - first);
        FetchRequest request = objectChangesOfEvents(events, first, count);
        request.fetchLimit = 1;
        request.ordersByKey = false;  // any one will do
        request.resultType = plat::coredata::FetchRequestResultType::ManagedObjectID;
        auto found = context.fetchObjectIDs(request);
        if (!found.ok()) {
            return found.error();
        }
        if (!found->empty()) {
            return true;
        }
    }
    return false;
}

std::vector<SortDescriptor> SYNObjectChange::sortDescriptorsForEventOrder() {
    return {SortDescriptor("storeModificationEvent.globalCount"),
            SortDescriptor("storeModificationEvent.timestamp"),
            SortDescriptor("storeModificationEvent.eventRevision.persistentStoreIdentifier")};
}

int16_t SYNObjectChange::type(const ManagedObject& change) {
    return static_cast<int16_t>(change.valueForKey("type").integerValue());
}

std::vector<SYNPropertyChangeValue> SYNObjectChange::propertyChangeValues(const ManagedObject& change) {
    std::vector<SYNPropertyChangeValue> values;
    Value stored = change.valueForKey("propertyChangeValues");
    if (const plat::Array* items = stored.asArray()) {
        for (const auto& item : *items) {
            if (auto value = item.asObjectOf<SYNPropertyChangeValue>()) {
                values.push_back(*value);
            }
        }
    }
    return values;
}

void SYNObjectChange::setPropertyChangeValues(ManagedObject& change,
                                              const std::vector<SYNPropertyChangeValue>& values) {
    plat::Array items;
    items.reserve(values.size());
    for (const auto& value : values) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(value));
    }
    change.setValue(Value(std::move(items)), "propertyChangeValues");
}

void SYNObjectChange::setPropertyChangeValues(ManagedObject& change,
                                              std::vector<SYNPropertyChangeValue>&& values) {
    plat::Array items;
    items.reserve(values.size());
    for (auto& value : values) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(std::move(value)));
    }
    values.clear();
    change.setValue(Value(std::move(items)), "propertyChangeValues");
}

std::optional<SYNRevision> SYNObjectChange::valuesRevision(const ManagedObject& change) {
    return valuesRevision(change, *SYNStoreIdentifiers::forObject(change));
}

std::optional<SYNRevision> SYNObjectChange::valuesRevision(const ManagedObject& change,
                                                           const SYNStoreIdentifiers& identifiers) {
    const Value store = change.valueForKey("valuesRevisionStore");
    const Value number = change.valueForKey("valuesRevisionNumber");
    const std::string* text = store.asString();
    if (!text || !number.isNumber()) {
        return std::nullopt;
    }
    auto identifier = identifiers.decode(*text);
    if (!identifier) {
        return std::nullopt;  // names no identifier of the list: read as unrecorded
    }
    return SYNRevision{std::move(*identifier), number.longLongValue()};
}

void SYNObjectChange::setValuesRevision(ManagedObject& change, const std::optional<SYNRevision>& revision) {
    setValuesRevision(change, revision, *SYNStoreIdentifiers::forObject(change));
}

void SYNObjectChange::setValuesRevision(ManagedObject& change, const std::optional<SYNRevision>& revision,
                                        SYNStoreIdentifiers& identifiers) {
    setValuesRevision(change, valuesRevisionValues(revision, identifiers));
}

SYNObjectChange::RevisionValues SYNObjectChange::valuesRevisionValues(
    const std::optional<SYNRevision>& revision, SYNStoreIdentifiers& identifiers) {
    if (!revision) {
        return {Value(), Value()};
    }
    return {Value(identifiers.encode(revision->persistentStoreIdentifier)), Value(revision->revisionNumber)};
}

void SYNObjectChange::setValuesRevision(ManagedObject& change, const RevisionValues& values) {
    change.setValue(values.store, "valuesRevisionStore");
    change.setValue(values.number, "valuesRevisionNumber");
}

std::optional<std::string> SYNObjectChange::globalIdentifierString(const ManagedObject& change) {
    auto identifier = change.objectForKey("globalIdentifier");
    if (!identifier) {
        return std::nullopt;
    }
    Value text = identifier->valueForKey("globalIdentifier");
    return text.isString() ? std::optional<std::string>(*text.asString()) : std::nullopt;
}

plat::Result<SYNManagedObjects> SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(
    const std::vector<std::string>& identifiers, const std::string& entityName,
    ManagedObjectContext& context) {
    std::unordered_map<std::string, ManagedObjectPtr> found;
    for (std::size_t first = 0; first < identifiers.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, identifiers.size() - first);
        // The entity is compared here, not in the query: with both
        // conditions SQLite walks the entity's index, every row of the entity,
        // instead of looking the identifiers up.
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate =
            Predicate::in("globalIdentifier",
                          listValue(identifiers, first, count, [](const auto& text) { return Value(text); }));
        auto batch = context.executeFetchRequest(request);
        if (!batch.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Fetch for global ids failed: %@", batch.error());
            return batch.error();
        }
        for (const auto& record : *batch) {
            if (record->valueForKey("nameOfEntity") == Value(entityName)) {
                found.emplace(*record->valueForKey("globalIdentifier").asString(), record);
            }
        }
    }
    SYNManagedObjects records;
    records.reserve(identifiers.size());
    for (const auto& identifier : identifiers) {
        auto it = found.find(identifier);
        records.push_back(it == found.end() ? nullptr : it->second);
    }
    return records;
}

plat::Result<SYNManagedObjects> SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(
    const SYNManagedObjectIDs& objectIDs, ManagedObjectContext& context) {
    std::vector<std::string> uris;
    uris.reserve(objectIDs.size());
    for (const auto& id : objectIDs) {
        uris.push_back(storeURIForObjectID(*id));
    }
    return fetchGlobalIdentifiersForStoreURIs(uris, context);
}

plat::Result<SYNManagedObjects> SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(
    const std::vector<std::string>& uris, ManagedObjectContext& context) {
    std::vector<Value> values;
    values.reserve(uris.size());
    for (const auto& uri : uris) {
        values.emplace_back(uri);
    }
    return fetchGlobalIdentifiersForStoreURIs(values, context);
}

plat::Result<SYNManagedObjects> SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(
    const std::vector<Value>& uris, ManagedObjectContext& context) {
    auto storeURIs = SYNStoreURIs::forContext(context);
    if (!storeURIs->isCompact()) {
        return fetchGlobalIdentifiersForStoredURIs(uris, context);
    }
    // Looked up by their stored texts; a URI whose prefix the store never
    // numbered names no record.
    std::vector<Value> stored;
    stored.reserve(uris.size());
    for (const auto& uri : uris) {
        const std::string* text = uri.asString();
        auto encoded = text ? storeURIs->encodeIfKnown(*text) : std::nullopt;
        stored.push_back(encoded ? Value(std::move(*encoded)) : Value());
    }
    return fetchGlobalIdentifiersForStoredURIs(stored, context);
}

plat::Result<SYNManagedObjects> SYNGlobalIdentifier::fetchGlobalIdentifiersForStoredURIs(
    const std::vector<Value>& uris, ManagedObjectContext& context) {
    // Each URI once, in the order of its text, with the record found for it:
    // a record's URI is found by a binary search over views of the caller's
    // texts, neither copied nor hashed into nodes of a map. Each listed URI
    // keeps the number of its slot, so the answers are put in the caller's
    // order without searching again.
    struct Slot {
        std::string_view uri;
        ManagedObjectPtr record;
    };
    constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
    std::vector<std::size_t> slotAt(uris.size(), kNoSlot);
    std::vector<std::pair<std::string_view, std::size_t>> listed;  // text, position
    listed.reserve(uris.size());
    for (std::size_t i = 0; i < uris.size(); ++i) {
        if (const std::string* text = uris[i].asString()) {
            listed.emplace_back(*text, i);
        }
    }
    std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Slot> slots;
    slots.reserve(listed.size());
    for (const auto& [text, at] : listed) {
        if (slots.empty() || slots.back().uri != text) {
            slots.push_back({text, nullptr});
        }
        slotAt[at] = slots.size() - 1;
    }
    const auto slotOf = [&](std::string_view uri) -> Slot* {
        auto it = std::lower_bound(slots.begin(), slots.end(), uri,
                                   [](const Slot& slot, std::string_view text) { return slot.uri < text; });
        return it != slots.end() && it->uri == uri ? &*it : nullptr;
    };
    for (std::size_t first = 0; first < uris.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, uris.size() - first);
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate =
            Predicate::in("storeURI", listValue(uris, first, count, [](const Value& uri) { return uri; }));
        // In no order (SQLite need not sort the rows it finds through the
        // URI index); of two records of one URI the first made is taken.
        request.ordersByKey = false;
        auto batch = context.executeFetchRequest(request);
        if (!batch.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Fetch for global ids failed: %@", batch.error());
            return batch.error();
        }
        for (const auto& record : *batch) {
            const Value uri = record->valueForKey("storeURI");
            Slot* slot = uri.isString() ? slotOf(*uri.asString()) : nullptr;
            if (!slot) {
                continue;
            }
            if (!slot->record || record->objectID()->primaryKey() < slot->record->objectID()->primaryKey()) {
                slot->record = record;
            }
        }
    }
    SYNManagedObjects records;
    records.reserve(uris.size());
    for (const std::size_t slot : slotAt) {
        records.push_back(slot == kNoSlot ? nullptr : slots[slot].record);
    }
    return records;
}

plat::Result<std::vector<std::optional<std::string>>>
SYNGlobalIdentifier::fetchGlobalIdentifierStringsForObjectIDs(const SYNManagedObjectIDs& objectIDs,
                                                              ManagedObjectContext& context) {
    // Looked up and matched by their stored texts; a URI whose prefix the
    // store never numbered is left empty, which no stored text is.
    auto storeURIs = SYNStoreURIs::forContext(context);
    std::vector<std::string> uris;
    uris.reserve(objectIDs.size());
    for (const auto& id : objectIDs) {
        auto stored = storeURIs->encodeIfKnown(storeURIForObjectID(*id));
        uris.push_back(stored ? std::move(*stored) : std::string());
    }
    std::unordered_map<std::string, std::pair<int64_t, std::string>> found;  // key, identifier
    for (std::size_t first = 0; first < uris.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, uris.size() - first);
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate = Predicate::in(
            "storeURI", listValue(uris, first, count, [](const auto& text) { return Value(text); }));
        request.resultType = plat::coredata::FetchRequestResultType::Dictionary;
        request.ordersByKey = false;
        request.addPropertyToFetch("objectID");
        request.addPropertyToFetch("storeURI");
        request.addPropertyToFetch("globalIdentifier");
        auto rows = context.fetchDictionaries(request);
        if (!rows.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Fetch for global ids failed: %@", rows.error());
            return rows.error();
        }
        for (const auto& row : *rows) {
            const auto* uri = row.find("storeURI");
            const auto* identifier = row.find("globalIdentifier");
            const auto* id = row.find("objectID");
            auto objectID = id ? id->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr;
            if (!uri || !identifier || !uri->isString() || !identifier->isString() || !objectID) {
                continue;
            }
            // Of two records of one URI, the first made (as fetchGlobalIdentifiersForObjectIDs).
            auto [it, added] = found.emplace(*uri->asString(),
                                             std::make_pair(objectID->primaryKey(), *identifier->asString()));
            if (!added && objectID->primaryKey() < it->second.first) {
                it->second = {objectID->primaryKey(), *identifier->asString()};
            }
        }
    }
    std::vector<std::optional<std::string>> strings;
    strings.reserve(uris.size());
    for (const auto& uri : uris) {
        auto it = found.find(uri);
        strings.push_back(it == found.end() ? std::nullopt : std::optional<std::string>(it->second.second));
    }
    return strings;
}

std::string SYNGlobalIdentifier::storeURIForObjectID(const plat::coredata::ManagedObjectID& objectID) {
    // An object's URI is its entity's and store's prefix followed by its key:
    // the prefixes of the last few entities named on this thread are kept,
    // so that a batch of objects (an import names every object of the store,
    // a save names objects of entities in turn) builds and parses one URL
    // per entity instead of one per object.
    struct Prefix {
        std::shared_ptr<const plat::coredata::EntityDescription> entity;
        std::string store;
        std::string text;
    };
    constexpr std::size_t kKeptPrefixes = 8;
    thread_local std::vector<Prefix> known;
    if (objectID.isTemporaryID()) {
        return objectID.URIRepresentation().absoluteString();
    }
    const std::string key = std::to_string(objectID.primaryKey());
    for (const auto& prefix : known) {
        if (prefix.entity.get() == objectID.entity() && prefix.store == objectID.storeIdentifier()) {
            return prefix.text + key;
        }
    }
    std::string uri = objectID.URIRepresentation().absoluteString();
    if (uri.size() > key.size() + 2 && uri.compare(uri.size() - key.size(), key.size(), key) == 0 &&
        uri.compare(uri.size() - key.size() - 2, 2, "/p") == 0) {
        if (known.size() == kKeptPrefixes) {
            known.erase(known.begin());  // the oldest goes
        }
        known.push_back(
            {objectID.sharedEntity(), objectID.storeIdentifier(), uri.substr(0, uri.size() - key.size())});
    }
    return uri;
}
