#include "sync/eventstore/SYNStoreModificationEvent.h"

#include <algorithm>
#include <tuple>

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
plat::Result<ManagedObjectPtr> lastMatch(ManagedObjectContext& context, const FetchRequest& request) {
    auto events = fetchLogged(context, request, "Could not fetch store mod events: %@");
    if (!events.ok()) {
        return events.error();
    }
    if (events->empty()) {
        return ManagedObjectPtr();
    }
    if (events->size() > 1) {
        SYN_LOG(SYNLoggingLevelError, "Multiple events with same revision from same device found: %@",
                Value(static_cast<uint64_t>(events->size())));
        SYNStoreModificationEvent::sortInEventOrder(*events);
    }
    return events->back();
}

int64_t integerOf(const ManagedObject& object, const char* key) {
    return object.valueForKey(key).integerValue();
}

std::string stringOf(const ManagedObject& object, const char* key) {
    Value value = object.valueForKey(key);
    return value.isString() ? *value.asString() : std::string();
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
    return lastMatch(
        context,
        eventRequest({Predicate::in("type", typeList(types)),
                      Predicate::equal("eventRevision.persistentStoreIdentifier", Value(storeIdentifier)),
                      Predicate::equal("eventRevision.revisionNumber", Value(revisionNumber))}));
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
    ManagedObjectContext& context) {
    FetchRequest request = eventRequest({Predicate::in(
        "type", typeList({SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}))});
    request.sortDescriptors = sortDescriptorsForEventOrder();
    auto events = fetchLogged(context, request, "Could not fetch events: %@");
    if (events.ok()) {
        // The store sorts by the stored state of the revision rows; sorting
        // again keeps the order right for unsaved rows too.
        sortInEventOrder(*events);
    }
    return events;
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
    using Key = std::tuple<int64_t, double, std::string>;
    std::vector<std::pair<Key, ManagedObjectPtr>> keyed;
    keyed.reserve(events.size());
    for (auto& event : events) {
        keyed.emplace_back(Key(globalCount(*event), timestamp(*event), storeIdentifier(*event)),
                           std::move(event));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
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
    for (const auto& record : event.objectsForKey("eventRevisionsOfOtherStores")) {
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
