#include "sync/eventstore/SYNStoreModificationEvent.h"

#include <algorithm>
#include <limits>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_set>

#include "sync/eventstore/SYNLogging.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::PredicatePtr;
using plat::coredata::SortDescriptor;

namespace {

Value typeList(const std::vector<int16_t>& types) {
    plat::Array list;
    for (int16_t type : types) {
        list.emplace_back(static_cast<int64_t>(type));
    }
    return Value(std::move(list));
}

FetchRequest eventRequest(std::vector<PredicatePtr> conditions) {
    FetchRequest request(SYNStoreModificationEventEntityName);
    if (!conditions.empty()) {
        request.predicate = Predicate::andPredicate(std::move(conditions));
    }
    return request;
}

plat::Result<SYNManagedObjects> fetchLogged(ManagedObjectContext& context, const FetchRequest& request,
                                            const char* message) {
    auto events = context.executeFetchRequest(request);
    if (!events.ok()) {
        SYN_LOG(SYNLoggingLevelError, message, events.error());
    }
    return events;
}

// The last of several matches, in event order; null when there is none.
ManagedObjectPtr lastOf(SYNManagedObjects& events) {
    if (events.empty()) {
        return ManagedObjectPtr();
    }
    if (events.size() > 1) {
        SYN_LOG(SYNLoggingLevelError, "Multiple events with same revision from same device found: %@",
                Value(static_cast<uint64_t>(events.size())));
        SYNStoreModificationEvent::sortInEventOrder(events);
    }
    return events.back();
}

plat::Result<ManagedObjectPtr> lastMatch(ManagedObjectContext& context, const FetchRequest& request) {
    auto events = fetchLogged(context, request, "Could not fetch store mod events: %@");
    if (!events.ok()) {
        return events.error();
    }
    return lastOf(*events);
}

int64_t integerOf(const ManagedObject& object, const char* key) {
    return object.valueForKey(key).integerValue();
}

std::string stringOf(const ManagedObject& object, const char* key) {
    Value value = object.valueForKey(key);
    return value.isString() ? *value.asString() : std::string();
}

Value nonBaselineTypes() {
    return typeList({SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge});
}

// A context over the same source that holds no unsaved changes, so that
// windowed fetches (limit 1) are answered by the store itself, not by
// loading every match to merge them with pending changes.
std::shared_ptr<ManagedObjectContext> savedStateContext(ManagedObjectContext& context) {
    auto scratch = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    if (auto parent = context.parentContext()) {
        scratch->setParentContext(parent);
    } else {
        scratch->setPersistentStoreCoordinator(context.persistentStoreCoordinator());
    }
    return scratch;
}

// The revision records the context inserted or changed and has not saved.
std::vector<ManagedObjectPtr> unsavedRevisionRecords(ManagedObjectContext& context) {
    std::vector<ManagedObjectPtr> records;
    for (auto objects : {context.insertedObjects(), context.updatedObjects()}) {
        for (auto& object : objects) {
            if (object->entity()->name() == SYNEventRevisionEntityName) {
                records.push_back(std::move(object));
            }
        }
    }
    return records;
}

// The first record of the request in the saved state, or null.
plat::Result<ManagedObjectPtr> firstSaved(ManagedObjectContext& scratch, FetchRequest request) {
    request.fetchLimit = 1;
    auto found = fetchLogged(scratch, request, "Could not fetch revisions: %@");
    if (!found.ok()) {
        return found.error();
    }
    return found->empty() ? ManagedObjectPtr() : found->front();
}

}  // namespace

plat::Result<SYNManagedObjects> SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
    const std::optional<std::vector<int16_t>>& types, const std::optional<std::string>& storeIdentifier,
    ManagedObjectContext& context) {
    std::vector<PredicatePtr> conditions;
    if (types) {
        conditions.push_back(Predicate::in("type", typeList(*types)));
    }
    if (storeIdentifier) {
        conditions.push_back(
            Predicate::equal("eventRevision.persistentStoreIdentifier", Value(*storeIdentifier)));
    }
    return fetchLogged(context, eventRequest(std::move(conditions)), "Could not fetch store mod events: %@");
}

plat::Result<ManagedObjectPtr> SYNStoreModificationEvent::fetchStoreModificationEventWithAllowedTypes(
    const std::vector<int16_t>& types, const std::string& storeIdentifier, int64_t revisionNumber,
    ManagedObjectContext& context) {
    // The revision records of the store and number first, through their
    // own index, then the events that own them, their type compared here:
    // asked in one query, SQLite walks every event of the types through the
    // type index (it has no statistics to tell it better), a cost that grows
    // with the events kept. Each record names its event (the inverse of the
    // event's own revision): read by key, not by a second query.
    FetchRequest revisions(SYNEventRevisionEntityName);
    revisions.predicate =
        Predicate::andPredicate({Predicate::equal("persistentStoreIdentifier", Value(storeIdentifier)),
                                 Predicate::equal("revisionNumber", Value(revisionNumber))});
    auto records = fetchLogged(context, revisions, "Could not fetch revisions: %@");
    if (!records.ok()) {
        return records.error();
    }
    SYNManagedObjects events;
    for (const auto& record : *records) {
        auto named = record->objectForKey("storeModificationEvent");
        // An event that is gone (deleted, or its row missing) is no match.
        auto event = named ? context.existingObjectWithID(named->objectID())
                           : plat::Result<ManagedObjectPtr>(ManagedObjectPtr());
        if (!event.ok() || !*event || (*event)->isDeleted() ||
            std::find(types.begin(), types.end(), type(**event)) == types.end() ||
            std::find(events.begin(), events.end(), *event) != events.end()) {
            continue;
        }
        events.push_back(*event);
    }
    return lastOf(events);
}

plat::Result<ManagedObjectPtr> SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
    const std::string& uniqueIdentifier, int64_t globalCount, const std::string& storePrefix,
    ManagedObjectContext& context) {
    return lastMatch(
        context,
        eventRequest({Predicate::equal("uniqueIdentifier", Value(uniqueIdentifier)),
                      Predicate::equal("globalCount", Value(globalCount)),
                      Predicate::beginsWith("eventRevision.persistentStoreIdentifier", storePrefix)}));
}

plat::Result<ManagedObjectPtr> SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(
    const std::string& uniqueIdentifier, ManagedObjectContext& context) {
    return lastMatch(context, eventRequest({Predicate::equal("uniqueIdentifier", Value(uniqueIdentifier))}));
}

plat::Result<SYNManagedObjects> SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(
    ManagedObjectContext& context, bool withRevisions) {
    FetchRequest request = eventRequest({Predicate::in("type", nonBaselineTypes())});
    request.sortDescriptors = sortDescriptorsForEventOrder();
    if (withRevisions) {
        request.relationshipKeyPathsForPrefetching = {"eventRevision", "eventRevisionsOfOtherStores"};
    }
    auto events = fetchLogged(context, request, "Could not fetch events: %@");
    if (events.ok()) {
        // The store sorts by the stored state of the revision rows; sorting
        // again keeps the order right for unsaved rows too.
        sortInEventOrder(*events);
    }
    return events;
}

plat::Result<std::set<std::string>> SYNStoreModificationEvent::fetchStoreIdentifiersOfRevisions(
    ManagedObjectContext& context) {
    std::set<std::string> stores;
    // Steps through the index from one store identifier to the next.
    auto scratch = savedStateContext(context);
    FetchRequest request(SYNEventRevisionEntityName);
    request.sortDescriptors = {SortDescriptor("persistentStoreIdentifier")};
    for (;;) {
        auto record = firstSaved(*scratch, request);
        if (!record.ok()) {
            return record.error();
        }
        if (!*record) {
            break;
        }
        Value store = (*record)->valueForKey("persistentStoreIdentifier");
        if (!store.isString()) {
            break;  // never saved: the attribute is required
        }
        stores.insert(*store.asString());
        request.predicate = Predicate::greaterThan("persistentStoreIdentifier", store);
    }
    for (const auto& record : unsavedRevisionRecords(context)) {
        stores.insert(stringOf(*record, "persistentStoreIdentifier"));
    }
    return stores;
}

namespace {

// Up to this many candidate events are read one by one rather than fetched.
constexpr std::size_t kEventsReadOneByOne = 4;

// The complete save and merge events among the candidates, in event order,
// each read from its stored row as a fetch of them would read it (an event
// loaded before is turned back into a fault first); for a context with
// nothing unsaved. Their revisions are read when used.
plat::Result<SYNManagedObjects> readCompleteEvents(SYNManagedObjects candidates,
                                                   ManagedObjectContext& context) {
    // Ties in event order keep the store's order of keys, as the fetch's.
    std::sort(candidates.begin(), candidates.end(), [](const ManagedObjectPtr& a, const ManagedObjectPtr& b) {
        return a->objectID()->primaryKey() < b->objectID()->primaryKey();
    });
    SYNManagedObjects events;
    for (const auto& candidate : candidates) {
        if (!candidate->isFault()) {
            context.refreshObject(candidate, false);
        }
        auto event = context.existingObjectWithID(candidate->objectID());
        if (!event.ok()) {
            continue;  // gone: the fetch would not find it either
        }
        const int16_t type = SYNStoreModificationEvent::type(**event);
        if (type == SYNStoreModificationEventTypeSave || type == SYNStoreModificationEventTypeMerge) {
            events.push_back(*event);
        }
    }
    SYNStoreModificationEvent::sortInEventOrder(events);
    return events;
}

}  // namespace

plat::Result<SYNManagedObjects> SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions(
    const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
    ManagedObjectContext& context) {
    // The events of the matching revision records (any type), then one fetch
    // of those that are complete save and merge events, in event order.
    plat::Array candidates;
    SYNManagedObjects candidateEvents;
    std::unordered_set<const ManagedObject*> seen;
    for (const auto& [store, bound] : bounds) {
        std::vector<PredicatePtr> conditions;
        conditions.reserve(3);
        conditions.push_back(Predicate::equal("persistentStoreIdentifier", Value(store)));
        conditions.push_back(Predicate::notEqual("storeModificationEvent", Value()));
        if (bound) {
            conditions.push_back(Predicate::greaterThan("revisionNumber", Value(*bound)));
        }
        FetchRequest request(SYNEventRevisionEntityName);
        request.predicate = Predicate::andPredicate(std::move(conditions));
        auto records = fetchLogged(context, request, "Could not fetch revisions: %@");
        if (!records.ok()) {
            return records.error();
        }
        for (const auto& record : *records) {
            auto event = record->objectForKey("storeModificationEvent");
            if (event && seen.insert(event.get()).second) {
                candidates.emplace_back(plat::ObjectPtr(event));
                candidateEvents.push_back(std::move(event));
            }
        }
    }
    if (includingEventsWithoutRevision) {
        auto events = fetchLogged(context,
                                  eventRequest({Predicate::in("type", nonBaselineTypes()),
                                                Predicate::equal("eventRevision", Value())}),
                                  "Could not fetch events: %@");
        if (!events.ok()) {
            return events.error();
        }
        for (const auto& event : *events) {
            if (seen.insert(event.get()).second) {
                candidates.emplace_back(plat::ObjectPtr(event));
                candidateEvents.push_back(event);
            }
        }
    }
    if (candidates.empty()) {
        return SYNManagedObjects();
    }
    if (candidateEvents.size() <= kEventsReadOneByOne && !context.hasChanges() && !context.parentContext()) {
        return readCompleteEvents(std::move(candidateEvents), context);
    }
    FetchRequest request = eventRequest(
        {Predicate::selfIn(Value(std::move(candidates))), Predicate::in("type", nonBaselineTypes())});
    request.sortDescriptors = sortDescriptorsForEventOrder();
    // Every caller reads the events' revisions: read with the events, a few
    // fetches for all of them instead of one read per revision record.
    request.relationshipKeyPathsForPrefetching = {"eventRevision", "eventRevisionsOfOtherStores"};
    auto events = fetchLogged(context, request, "Could not fetch events: %@");
    if (events.ok()) {
        sortInEventOrder(*events);
    }
    return events;
}

plat::Result<ManagedObjectPtr> SYNStoreModificationEvent::fetchLatestMergeEventOfStore(
    const std::string& storeIdentifier, ManagedObjectContext& context) {
    // The range of the store's revision numbers, saved and unsaved.
    auto scratch = savedStateContext(context);
    FetchRequest bound(SYNEventRevisionEntityName);
    bound.predicate = Predicate::equal("persistentStoreIdentifier", Value(storeIdentifier));
    std::optional<int64_t> lowest, highest;
    auto widen = [&](int64_t number) {
        lowest = std::min(lowest.value_or(number), number);
        highest = std::max(highest.value_or(number), number);
    };
    for (bool ascending : {true, false}) {
        bound.sortDescriptors = {SortDescriptor("revisionNumber", ascending)};
        auto record = firstSaved(*scratch, bound);
        if (!record.ok()) {
            return record.error();
        }
        if (*record) {
            widen(integerOf(**record, "revisionNumber"));
        }
    }
    for (const auto& record : unsavedRevisionRecords(context)) {
        if (stringOf(*record, "persistentStoreIdentifier") == storeIdentifier) {
            widen(integerOf(*record, "revisionNumber"));
        }
    }
    if (!highest) {
        return ManagedObjectPtr();
    }
    // Merge revisions in ever wider ranges below the highest number: the
    // latest merge is usually among the last few events of the store.
    for (uint64_t span = 64;; span *= 2) {
        const uint64_t distance = static_cast<uint64_t>(*highest) - static_cast<uint64_t>(*lowest);
        const int64_t from =
            span > distance ? *lowest : static_cast<int64_t>(static_cast<uint64_t>(*highest) - span);
        FetchRequest request(SYNEventRevisionEntityName);
        request.predicate =
            Predicate::andPredicate({Predicate::equal("persistentStoreIdentifier", Value(storeIdentifier)),
                                     Predicate::greaterThanOrEqual("revisionNumber", Value(from)),
                                     Predicate::equal("storeModificationEvent.type",
                                                      Value(int64_t{SYNStoreModificationEventTypeMerge}))});
        auto records = fetchLogged(context, request, "Could not fetch revisions: %@");
        if (!records.ok()) {
            return records.error();
        }
        SYNManagedObjects latest;
        int64_t latestNumber = std::numeric_limits<int64_t>::min();
        for (const auto& record : *records) {
            auto event = record->objectForKey("storeModificationEvent");
            if (!event || type(*event) != SYNStoreModificationEventTypeMerge) {
                continue;
            }
            const int64_t number = integerOf(*record, "revisionNumber");
            if (latest.empty() || number > latestNumber) {
                latest = {event};
                latestNumber = number;
            } else if (number == latestNumber) {
                latest.push_back(event);
            }
        }
        if (!latest.empty()) {
            sortInEventOrder(latest);
            return latest.front();
        }
        if (from == *lowest) {
            return ManagedObjectPtr();
        }
    }
}

plat::Result<ManagedObjectPtr> SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(
    ManagedObjectContext& context) {
    auto baselines = fetchStoreModificationEventsWithTypes(
        std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, context);
    if (!baselines.ok()) {
        return baselines.error();
    }
    sortInEventOrder(*baselines);
    return baselines->empty() ? ManagedObjectPtr() : baselines->back();
}

std::vector<SortDescriptor> SYNStoreModificationEvent::sortDescriptorsForEventOrder() {
    return {SortDescriptor("globalCount"), SortDescriptor("timestamp"),
            SortDescriptor("eventRevision.persistentStoreIdentifier")};
}

bool SYNStoreModificationEvent::precedesInEventOrder(const ManagedObject& a, const ManagedObject& b) {
    return std::make_tuple(globalCount(a), timestamp(a), storeIdentifier(a)) <
           std::make_tuple(globalCount(b), timestamp(b), storeIdentifier(b));
}

void SYNStoreModificationEvent::sortInEventOrder(SYNManagedObjects& events) {
    if (events.size() < 2) {
        return;  // nothing to order: the keys (one reads the event's revision) are not needed
    }
    // By global count, then timestamp, then the store of the event's own
    // revision. The store is read (it loads the revision record) only for
    // events whose count and timestamp are both equal: most events differ
    // in count, and then their order needs no look-up.
    using Key = std::pair<int64_t, double>;
    std::vector<std::pair<Key, ManagedObjectPtr>> keyed;
    keyed.reserve(events.size());
    for (auto& event : events) {
        keyed.emplace_back(Key(globalCount(*event), timestamp(*event)), std::move(event));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t first = 0; first < keyed.size();) {
        std::size_t end = first + 1;
        while (end < keyed.size() && !(keyed[first].first < keyed[end].first)) {
            ++end;
        }
        if (end - first > 1) {
            std::vector<std::pair<std::string, ManagedObjectPtr>> tied;
            tied.reserve(end - first);
            for (std::size_t i = first; i < end; ++i) {
                tied.emplace_back(storeIdentifier(*keyed[i].second), std::move(keyed[i].second));
            }
            std::stable_sort(tied.begin(), tied.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            for (std::size_t i = first; i < end; ++i) {
                keyed[i].second = std::move(tied[i - first].second);
            }
        }
        first = end;
    }
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        events[i] = std::move(keyed[i].second);
    }
}

int16_t SYNStoreModificationEvent::type(const ManagedObject& event) {
    return static_cast<int16_t>(integerOf(event, "type"));
}

int64_t SYNStoreModificationEvent::globalCount(const ManagedObject& event) {
    return integerOf(event, "globalCount");
}

double SYNStoreModificationEvent::timestamp(const ManagedObject& event) {
    return event.valueForKey("timestamp").doubleValue();
}

std::string SYNStoreModificationEvent::uniqueIdentifier(const ManagedObject& event) {
    return stringOf(event, "uniqueIdentifier");
}

std::optional<SYNRevision> SYNStoreModificationEvent::revision(const ManagedObject& event) {
    auto record = event.objectForKey("eventRevision");
    return record ? std::optional<SYNRevision>(SYNEventRevision::revision(*record)) : std::nullopt;
}

std::string SYNStoreModificationEvent::storeIdentifier(const ManagedObject& event) {
    auto record = event.objectForKey("eventRevision");
    return record ? stringOf(*record, "persistentStoreIdentifier") : std::string();
}

SYNRevisionSet SYNStoreModificationEvent::revisionSetOfOtherStores(const ManagedObject& event) {
    SYNRevisionSet set;
    for (const auto& record : event.objectsForKey("eventRevisionsOfOtherStores")) {
        set.addRevision(SYNEventRevision::revision(*record));
    }
    return set;
}

SYNRevisionSet SYNStoreModificationEvent::revisionSet(const ManagedObject& event) {
    SYNRevisionSet set = revisionSetOfOtherStores(event);
    if (auto own = revision(event)) {
        set.addRevision(*own);
    }
    return set;
}

void SYNStoreModificationEvent::setRevisionSetOfOtherStores(ManagedObject& event, const SYNRevisionSet& set) {
    auto context = event.managedObjectContext();
    auto existing = event.objectsForKey("eventRevisionsOfOtherStores");
    // Records made in this context and never saved, one for each store of
    // the set (a merge event's revisions, made with it and then raised by
    // the events it merges), take their new numbers in place: the rows saved
    // are those new records would give, without making and dropping records.
    // Saved records, or other stores, are replaced as a whole.
    if (!existing.empty() && existing.size() == set.revisions().size()) {
        std::vector<std::pair<ManagedObject*, int64_t>> numbers;
        numbers.reserve(existing.size());
        std::set<std::string_view> stores;
        for (const auto& record : existing) {
            if (!record->isInserted() || record->isDeleted()) {
                break;
            }
            const Value store = record->valueForKey("persistentStoreIdentifier");
            const auto it =
                store.isString() ? set.revisions().find(*store.asString()) : set.revisions().end();
            if (it == set.revisions().end() || !stores.insert(it->first).second) {
                break;
            }
            numbers.emplace_back(record.get(), it->second);
        }
        if (numbers.size() == existing.size()) {
            for (const auto& [record, number] : numbers) {
                if (record->valueForKey("revisionNumber") != Value(number)) {
                    record->setValue(Value(number), "revisionNumber");
                }
            }
            return;
        }
    }
    for (const auto& record : existing) {
        context->deleteObject(record);
    }
    plat::Array records;
    for (const auto& [store, number] : set.revisions()) {
        records.emplace_back(plat::ObjectPtr(
            SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, number, *context)));
    }
    event.setValue(Value(std::move(records)), "eventRevisionsOfOtherStores");
}

ManagedObjectPtr SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
    const std::string& storeIdentifier, int64_t revisionNumber, ManagedObjectContext& context) {
    auto record = context.insertNewObjectForEntityForName(SYNEventRevisionEntityName);
    record->setValue(Value(storeIdentifier), "persistentStoreIdentifier");
    record->setValue(Value(revisionNumber), "revisionNumber");
    return record;
}

SYNRevision SYNEventRevision::revision(const ManagedObject& record) {
    return {stringOf(record, "persistentStoreIdentifier"), integerOf(record, "revisionNumber")};
}
