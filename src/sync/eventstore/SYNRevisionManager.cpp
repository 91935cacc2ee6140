#include "sync/eventstore/SYNRevisionManager.h"

#include <algorithm>
#include <functional>
#include <map>
#include <unordered_set>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

// The tallies' facts (the baseline, the present revisions by store, the
// latest local merges), as kept by them or read here, and where they came
// from.
struct SYNRevisionManager::Facts : SYNEventTallies::Facts {
    std::string localStore;
    // Taken from the event store's tallies, whose facts were then of this
    // generation: they can name the events above a bound too.
    std::optional<uint64_t> keptGeneration;
    // The baseline as read from the store (null when taken from the tallies).
    ManagedObjectPtr baselineObject;

    const SYNRevisionSet& baselineSet() const {
        static const SYNRevisionSet kNone;
        return baseline ? baseline->revisions : kNone;
    }
};

// The model versions events may carry: compressed hashes, and entity hash
// dictionaries (compared as maps, so key order does not matter).
struct SYNRevisionManager::KnownVersions {
    std::set<std::string> compressed;
    std::vector<std::map<std::string, Value>> entityHashes;
};

namespace {

using Pointers = std::unordered_set<const ManagedObject*>;

// Up to this many events named by the kept facts are read by key rather
// than fetched.
constexpr std::size_t kEventsReadByKey = 4;

std::map<std::string, Value> asMap(const Value& value) {
    std::map<std::string, Value> map;
    if (const plat::Dictionary* dictionary = value.asDictionary()) {
        for (const auto& [key, item] : *dictionary) {
            map.emplace(key, item);
        }
    }
    return map;
}

bool isKnownVersion(const ManagedObject& event, const std::set<std::string>& compressed,
                    const std::vector<std::map<std::string, Value>>& entityHashes) {
    Value version = event.valueForKey("modelVersion");
    if (!version.isString() || version.asString()->empty()) {
        return true;
    }
    const std::string& text = *version.asString();
    if (compressed.count(text)) {
        return true;
    }
    auto plist = plat::PropertyListSerialization::propertyListWithData(plat::Data::fromString(text));
    if (!plist.ok() || !plist->isDictionary()) {
        return false;
    }
    auto map = asMap(*plist);
    return std::find(entityHashes.begin(), entityHashes.end(), map) != entityHashes.end();
}

// Whether any of the events has a data-file record, with one fetch per
// chunk of events: most events carry no large data, and then none needs a
// look-up of its own. True when the fetch fails, so that each event is
// checked by itself.
bool anyEventHasDataFiles(const SYNManagedObjects& events) {
    constexpr std::size_t kChunk = 2000;
    auto context = events.empty() ? nullptr : events.front()->managedObjectContext();
    for (std::size_t first = 0; first < events.size(); first += kChunk) {
        plat::Array list;
        for (std::size_t i = first; i < std::min(events.size(), first + kChunk); ++i) {
            if (!context || events[i]->managedObjectContext() != context) {
                return true;
            }
            list.push_back(Value(plat::ObjectPtr(events[i])));
        }
        plat::coredata::FetchRequest request(SYNDataFileEntityName);
        request.predicate =
            plat::coredata::Predicate::in("objectChange.storeModificationEvent", Value(std::move(list)));
        request.fetchLimit = 1;
        auto found = context->executeFetchRequest(request);
        if (!found.ok() || !found->empty()) {
            return true;
        }
    }
    return false;
}

bool hasAllDataFiles(const ManagedObject& event, const std::set<std::string>& files) {
    // One fetch of the event's data-file records: walking the changes would
    // load every change of a baseline holding a whole store, and fetch the
    // records of each change on its own.
    if (auto context = event.managedObjectContext()) {
        plat::coredata::FetchRequest request(SYNDataFileEntityName);
        request.predicate = plat::coredata::Predicate::equal(
            "objectChange.storeModificationEvent",
            Value(plat::ObjectPtr(std::const_pointer_cast<ManagedObject>(event.shared_from_this()))));
        auto records = context->executeFetchRequest(request);
        if (records.ok()) {
            return std::all_of(records->begin(), records->end(), [&](const ManagedObjectPtr& file) {
                Value name = file->valueForKey("filename");
                return name.isString() && files.count(*name.asString()) > 0;
            });
        }
    }
    for (const auto& change : event.objectsForKey("objectChanges")) {
        for (const auto& file : change->objectsForKey("dataFiles")) {
            Value name = file->valueForKey("filename");
            if (!name.isString() || !files.count(*name.asString())) {
                return false;
            }
        }
    }
    return true;
}

// What the checks need to know, read from the store: the baseline and the
// own revision of every complete event (and, for the tallies to keep, the
// complete events without one).
plat::Result<SYNEventTallies::GatheredFacts> readFacts(ManagedObjectContext& context, bool forTallies,
                                                       ManagedObjectPtr& baselineObject) {
    SYNEventTallies::GatheredFacts gathered;
    // The baseline is the last in event order; how many there are tells,
    // with the count of baselines being consolidated, whether a
    // consolidation would find anything.
    auto baselines = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
        std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, context);
    if (!baselines.ok()) {
        return baselines.error();
    }
    SYNStoreModificationEvent::sortInEventOrder(*baselines);
    baselineObject = baselines->empty() ? ManagedObjectPtr() : baselines->back();
    if (baselineObject) {
        const ManagedObject& event = *baselineObject;
        SYNEventTallies::BaselineFacts facts;
        facts.event = event.objectID();
        facts.uniqueIdentifier = SYNStoreModificationEvent::uniqueIdentifier(event);
        // As revisionSet reads it: the other stores' revisions, then its own.
        for (const auto& record : event.objectsForKey("eventRevisionsOfOtherStores")) {
            facts.revisions.addRevision(SYNEventRevision::revision(*record));
            facts.records.push_back(record->objectID());
        }
        if (auto own = event.objectForKey("eventRevision")) {
            facts.revisions.addRevision(SYNEventRevision::revision(*own));
            facts.records.push_back(own->objectID());
        }
        gathered.baseline = std::move(facts);
    }
    // The checks need only the store and number of each complete event's own
    // revision (and which are merges): read as rows of the revision records,
    // one fetch per type, without building the events or their revision sets.
    for (int16_t type : {SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}) {
        plat::coredata::FetchRequest request(SYNEventRevisionEntityName);
        request.predicate =
            plat::coredata::Predicate::equal("storeModificationEvent.type", Value(int64_t{type}));
        request.resultType = plat::coredata::FetchRequestResultType::Dictionary;
        request.propertiesToFetch = {{"store", "persistentStoreIdentifier"},
                                     {"number", "revisionNumber"},
                                     {"event", "storeModificationEvent"},
                                     {"record", "objectID"}};
        auto rows = context.fetchDictionaries(request);
        if (!rows.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not fetch revisions: %@", rows.error());
            return rows.error();
        }
        gathered.events.reserve(gathered.events.size() + rows->size());
        for (const auto& row : *rows) {
            // Read as the events' revisions read them: a missing identifier
            // is the empty one, a missing number zero.
            const Value* store = row.find("store");
            const Value* number = row.find("number");
            const Value* event = row.find("event");
            const Value* record = row.find("record");
            SYNEventTallies::EventFacts facts;
            facts.event = event ? event->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr;
            facts.type = type;
            facts.ownRevision = record ? record->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr;
            if (store && store->isString()) {
                facts.store = *store->asString();
            }
            facts.number = number && number->isNumber() ? number->longLongValue() : 0;
            gathered.events.push_back(std::move(facts));
        }
    }
    // The complete events without an own revision: only the kept facts need
    // them (they answer which events lie above a bound), so they are read
    // only when the facts can be kept.
    if (!forTallies) {
        return gathered;
    }
    if (baselines->size() <= 1) {
        plat::coredata::FetchRequest consolidating(SYNStoreModificationEventEntityName);
        consolidating.predicate = plat::coredata::Predicate::equal(
            "type", Value(int64_t{SYNStoreModificationEventTypeBaselineConsolidating}));
        auto count = context.countForFetchRequest(consolidating);
        if (!count.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not count events: %@", count.error());
            return count.error();
        }
        gathered.soleBaseline = *count == 0;
    }
    plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
    request.predicate = plat::coredata::Predicate::andPredicate(
        {plat::coredata::Predicate::in(
             "type", Value(plat::Array{Value(int64_t{SYNStoreModificationEventTypeSave}),
                                       Value(int64_t{SYNStoreModificationEventTypeMerge})})),
         plat::coredata::Predicate::equal("eventRevision", Value())});
    request.resultType = plat::coredata::FetchRequestResultType::Dictionary;
    request.propertiesToFetch = {{"event", "objectID"}, {"type", "type"}};
    auto rows = context.fetchDictionaries(request);
    if (!rows.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Could not fetch events: %@", rows.error());
        return rows.error();
    }
    for (const auto& row : *rows) {
        const Value* event = row.find("event");
        const Value* type = row.find("type");
        SYNEventTallies::EventFacts facts;
        facts.event = event ? event->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr;
        facts.type = static_cast<int16_t>(type && type->isNumber() ? type->longLongValue() : 0);
        gathered.events.push_back(std::move(facts));
    }
    return gathered;
}

}  // namespace

SYNRevisionManager::SYNRevisionManager(std::shared_ptr<SYNEventStore> eventStore)
    : store_(std::move(eventStore)) {}

plat::Result<SYNRevisionSet> SYNRevisionManager::baselineRevisionSet(ManagedObjectContext& context) {
    if (sharedFacts_) {
        return sharedFacts_->baselineSet();
    }
    auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
    if (!baseline.ok()) {
        return baseline.error();
    }
    return *baseline ? SYNStoreModificationEvent::revisionSet(**baseline) : SYNRevisionSet();
}

plat::Result<ManagedObjectPtr> SYNRevisionManager::latestLocalMergeEvent(ManagedObjectContext& context) {
    // What the checks read names it, unless two merges share the number.
    if (sharesFetches_ && sharedFacts_ && sharedFacts_->latestLocalMerges.size() <= 1) {
        if (sharedFacts_->latestLocalMerges.empty()) {
            return ManagedObjectPtr();
        }
        if (const auto& id = sharedFacts_->latestLocalMerges.front()) {
            auto event = context.existingObjectWithID(id);
            if (event.ok()) {
                return *event;
            }
        }
    }
    return SYNStoreModificationEvent::fetchLatestMergeEventOfStore(
        store_->persistentStoreIdentifier().value_or(""), context);
}

plat::Result<SYNRevisionSet> SYNRevisionManager::revisionSetCommitted(ManagedObjectContext& context) {
    if (auto kept = keptRevisionSetOfLatestLocalMerge(context)) {
        return std::move(*kept);
    }
    auto merge = latestLocalMergeEvent(context);
    if (!merge.ok()) {
        return merge.error();
    }
    if (*merge) {
        return SYNStoreModificationEvent::revisionSet(**merge);
    }
    return baselineRevisionSet(context);
}

void SYNRevisionManager::keepRevisionsOfMerge(const plat::coredata::ManagedObjectID& eventID, int64_t number,
                                              SYNRevisionSet others) {
    auto tallies = store_->eventTallies();
    const auto local = store_->persistentStoreIdentifier();
    if (!tallies || !local) {
        return;
    }
    // Nothing has run in the event store's context since the save, and a
    // save of another context would have made the merge unknown: what the
    // tallies follow as this event is what was saved.
    auto kept = tallies->latestMerge(*local);
    if (kept.value && kept.value->event && !kept.value->others && kept.value->event->isEqualID(eventID) &&
        kept.value->number == number) {
        tallies->keepLatestMergeOthers(*local, eventID, std::move(others), kept.generation);
    }
}

std::optional<SYNRevisionSet> SYNRevisionManager::keptRevisionsOfOtherStores(
    const SYNEventStore& store, const ManagedObjectContext& context,
    const plat::coredata::ManagedObjectID& eventID) {
    if (context.parentContext() || context.hasChanges()) {
        return std::nullopt;
    }
    auto tallies = SYNEventTallies::answeringFor(store.eventTallies(), context);
    return tallies ? tallies->revisionsOfOtherStores(eventID) : std::nullopt;
}

std::optional<SYNRevisionSet> SYNRevisionManager::keptRevisionSetOfLatestLocalMerge(
    const ManagedObjectContext& context) const {
    if (!sharesFetches_ || !sharedFacts_ || sharedFacts_->latestLocalMerges.size() != 1 ||
        !sharedFacts_->latestLocalMerges.front()) {
        return std::nullopt;
    }
    const Facts& facts = *sharedFacts_;
    // The tallies answer for the saved store, as the checks' rows do.
    auto tallies = SYNEventTallies::answeringFor(store_->eventTallies(), context);
    if (!tallies) {
        return std::nullopt;
    }
    auto kept = tallies->latestMerge(facts.localStore);
    if (!kept.value || !kept.value->event || !kept.value->others ||
        !kept.value->event->isEqualID(*facts.latestLocalMerges.front()) ||
        kept.value->number != facts.latestLocalMergeNumber) {
        return std::nullopt;
    }
    // As revisionSet reads it: the other stores' revisions, then its own.
    SYNRevisionSet set = *kept.value->others;
    set.addRevision({facts.localStore, facts.latestLocalMergeNumber});
    return set;
}

plat::Result<std::set<std::string>> SYNRevisionManager::storesOfRevisions(ManagedObjectContext& context) {
    // Only stores with complete events of their own can have events to read:
    // what the checks read lists them.
    if (sharesFetches_ && sharedFacts_) {
        std::set<std::string> stores;
        for (const auto& [storeID, numbers] : *sharedFacts_->present) {
            stores.insert(storeID);
        }
        return stores;
    }
    return SYNStoreModificationEvent::fetchStoreIdentifiersOfRevisions(context);
}

void SYNRevisionManager::dropStoresWithNothingAbove(
    std::map<std::string, std::optional<int64_t>>& bounds) const {
    if (!sharesFetches_ || !sharedFacts_) {
        return;
    }
    for (auto bound = bounds.begin(); bound != bounds.end();) {
        auto present = sharedFacts_->present->find(bound->first);
        const bool above = present != sharedFacts_->present->end() && !present->second.empty() &&
                           (!bound->second || present->second.rbegin()->first > *bound->second);
        bound = above ? std::next(bound) : bounds.erase(bound);
    }
}

plat::Result<SYNManagedObjects> SYNRevisionManager::completeEventsAbove(
    const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
    ManagedObjectContext& context) {
    // The facts kept by the tallies name the events; with nothing unsaved,
    // each is read by key instead of fetching the revision records above
    // the bounds and then the events.
    std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> named;
    if (bounds.empty() && !includingEventsWithoutRevision) {
        return SYNManagedObjects();
    }
    if (sharesFetches_ && sharedFacts_ && sharedFacts_->keptGeneration && !context.hasChanges() &&
        !context.parentContext()) {
        if (auto tallies = store_->eventTallies()) {
            named = tallies->completeEventsAbove(bounds, includingEventsWithoutRevision,
                                                 *sharedFacts_->keptGeneration);
        }
    }
    auto fetch = [&] {
        return SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions(
            bounds, includingEventsWithoutRevision, context);
    };
    // Many events are fetched together, their revisions with them: read one
    // by one, each would read its revisions on its own later.
    if (!named || named->size() > kEventsReadByKey) {
        return fetch();
    }
    // Ties in event order keep the order of keys, as the fetch's.
    std::sort(named->begin(), named->end(),
              [](const auto& a, const auto& b) { return a->primaryKey() < b->primaryKey(); });
    SYNManagedObjects events;
    events.reserve(named->size());
    for (const auto& id : *named) {
        // Read from its stored row, as a fetch reads it.
        if (auto loaded = context.objectRegisteredForID(id); loaded && !loaded->isFault()) {
            context.refreshObject(loaded, false);
        }
        // The facts named it: an event gone or of another type means they
        // were wrong, and the store is asked.
        auto event = context.existingObjectWithID(id);
        if (!event.ok()) {
            return fetch();
        }
        const int16_t type = SYNStoreModificationEvent::type(**event);
        if (type != SYNStoreModificationEventTypeSave && type != SYNStoreModificationEventTypeMerge) {
            return fetch();
        }
        events.push_back(*event);
    }
    SYNStoreModificationEvent::sortInEventOrder(events);
    return events;
}

plat::Result<std::shared_ptr<const SYNRevisionManager::Facts>> SYNRevisionManager::gatherFacts(
    ManagedObjectContext& context) {
    if (sharesFetches_ && sharedFacts_) {
        return sharedFacts_;
    }
    auto made = std::make_shared<Facts>();
    Facts& facts = *made;
    facts.localStore = store_->persistentStoreIdentifier().value_or("");
    // The event store's tallies keep what was read last, brought along by
    // every save since; they answer for the saved store only.
    auto tallies = SYNEventTallies::answeringFor(store_->eventTallies(), context);
    const bool saved = tallies != nullptr;
    uint64_t generation = 0;
    // Facts the tallies keep (or have just kept) become this manager's.
    auto take = [&](SYNEventTallies::Kept<SYNEventTallies::Facts>& kept) {
        static_cast<SYNEventTallies::Facts&>(facts) = std::move(*kept.value);
        facts.keptGeneration = kept.generation;
        if (sharesFetches_) {
            sharedFacts_ = made;
        }
        return std::shared_ptr<const Facts>(std::move(made));
    };
    if (saved) {
        auto kept = tallies->facts(facts.localStore);
        if (kept.value) {
            return take(kept);
        }
        generation = kept.generation;
    }
    auto gathered = readFacts(context, saved, facts.baselineObject);
    if (!gathered.ok()) {
        return gathered.error();
    }
    std::optional<SYNEventTallies::Kept<SYNEventTallies::Facts>> kept;
    if (saved) {
        kept = tallies->keepFacts(facts.localStore, *gathered, generation);
    }
    if (kept && kept->value) {
        return take(*kept);
    }
    auto present = std::make_shared<SYNEventTallies::PresentRevisions>();
    for (const auto& event : gathered->events) {
        if (!event.ownRevision) {
            continue;
        }
        if (event.type == SYNStoreModificationEventTypeMerge && event.store == facts.localStore) {
            facts.offerLocalMerge(event.event, event.number);
        }
        // Rows of one store mostly follow each other: its entry is found
        // without a copy of the identifier.
        auto entry = present->find(event.store);
        if (entry == present->end()) {
            entry = present->emplace(event.store, std::map<int64_t, uint32_t>()).first;
        }
        ++entry->second[event.number];
    }
    facts.present = std::move(present);
    facts.baseline = std::move(gathered->baseline);
    if (sharesFetches_) {
        sharedFacts_ = made;
    }
    return std::shared_ptr<const Facts>(std::move(made));
}

std::optional<std::string> SYNRevisionManager::currentBaselineIdentifier() {
    auto context = store_->managedObjectContext();
    if (!context) {
        return store_->currentBaselineIdentifier();
    }
    std::optional<std::string> identifier;
    bool read = false;
    context->performBlockAndWait([&] {
        // Without sharing, only facts the tallies keep spare the read.
        if (!sharesFetches_) {
            auto tallies = SYNEventTallies::answeringFor(store_->eventTallies(), *context);
            if (!tallies || !tallies->facts(store_->persistentStoreIdentifier().value_or("")).value) {
                return;
            }
        }
        auto facts = gatherFacts(*context);
        if (!facts.ok()) {
            return;
        }
        const auto& baseline = (*facts)->baseline;
        if (!baseline) {
            read = true;
            return;
        }
        // Read then: still there unless deleted since. Kept by the
        // tallies: still there while they keep the same facts.
        const auto& object = (*facts)->baselineObject;
        const auto& kept = (*facts)->keptGeneration;
        auto tallies = store_->eventTallies();
        if (object ? !object->isInvalidated() && !object->isDeleted()
                   : kept && tallies && tallies->factsGeneration() == *kept) {
            identifier = baseline->uniqueIdentifier;
            read = true;
        }
    });
    // A failed read is the checks' to report, and a baseline read then but
    // deleted since is gone: the identifier is read as without sharing.
    return read ? identifier : store_->currentBaselineIdentifier();
}

plat::Result<bool> SYNRevisionManager::checkThatLocalPersistentStoreHasNotBeenAbandoned() {
    auto context = store_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    plat::Result<bool> result = true;
    context->performBlockAndWait([&] {
        auto facts = gatherFacts(*context);
        if (!facts.ok()) {
            result = facts.error();
            return;
        }
        const Facts& known = **facts;
        if (!known.baseline || known.latestLocalMerges.empty()) {
            return;
        }
        // Erring towards "abandoned" costs a full integration; the other way
        // could lose changes. So a baseline that lacks this store, or claims
        // more of it than this store has, counts as abandoning it.
        auto claimed = known.baselineSet().revisionNumberForStore(known.localStore);
        auto local = known.present->find(known.localStore);
        const int64_t highest =
            local == known.present->end() || local->second.empty() ? -1 : local->second.rbegin()->first;
        result = claimed.has_value() && *claimed <= highest;
    });
    return result;
}

plat::Result<SYNManagedObjects> SYNRevisionManager::fetchUncommittedStoreModificationEvents() {
    auto context = store_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    plat::Result<SYNManagedObjects> result = SYNManagedObjects();
    context->performBlockAndWait([&] {
        // What the latest local merge (else the baseline) covers; per store,
        // only the events numbered above it are read.
        auto committed = revisionSetCommitted(*context);
        if (!committed.ok()) {
            result = committed.error();
            return;
        }
        auto stores = storesOfRevisions(*context);
        if (!stores.ok()) {
            result = stores.error();
            return;
        }
        std::map<std::string, std::optional<int64_t>> bounds;
        for (const auto& storeID : *stores) {
            bounds[storeID] = committed->revisionNumberForStore(storeID);
        }
        dropStoresWithNothingAbove(bounds);
        result = completeEventsAbove(bounds, true, *context);
    });
    return result;
}

plat::Result<SYNManagedObjects>
SYNRevisionManager::recursivelyFetchStoreModificationEventsConcurrentWithEvents(
    const SYNManagedObjects& events) {
    auto context = store_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    plat::Result<SYNManagedObjects> result = SYNManagedObjects();
    context->performBlockAndWait([&] {
        auto stores = storesOfRevisions(*context);
        if (!stores.ok()) {
            result = stores.error();
            return;
        }
        struct Known {
            ManagedObjectPtr event;
            std::optional<SYNRevision> revision;
            SYNRevisionSet set;
        };
        auto describe = [](const ManagedObjectPtr& event) {
            return Known{event, SYNStoreModificationEvent::revision(*event),
                         SYNStoreModificationEvent::revisionSet(*event)};
        };
        std::vector<Known> chosen;
        Pointers inSet;
        for (const auto& event : events) {
            if (inSet.insert(event.get()).second) {
                chosen.push_back(describe(event));
            }
        }
        auto concurrent = [](const Known& a, const Known& b) {
            return a.revision && b.revision &&
                   a.revision->persistentStoreIdentifier != b.revision->persistentStoreIdentifier &&
                   !a.set.covers(*b.revision) && !b.set.covers(*a.revision);
        };
        // An event of store S can only be concurrent with a chosen event of
        // another store whose set does not cover it: it is numbered above the
        // lowest entry for S among those sets (any number when one lacks S).
        // Only those candidates are read; adding events can lower the bounds,
        // so candidates are read again until nothing is added.
        std::map<const ManagedObject*, Known> described;
        std::optional<std::map<std::string, std::optional<int64_t>>> previousBounds;
        for (bool grew = true; grew;) {
            grew = false;
            std::map<std::string, std::optional<int64_t>> bounds;
            for (const auto& storeID : *stores) {
                bool any = false;
                std::optional<int64_t> lowest;
                for (const auto& known : chosen) {
                    if (!known.revision || known.revision->persistentStoreIdentifier == storeID) {
                        continue;
                    }
                    auto number = known.set.revisionNumberForStore(storeID);
                    if (!number) {
                        any = true;
                        break;
                    }
                    lowest = std::min(lowest.value_or(*number), *number);
                }
                if (any) {
                    bounds[storeID] = std::nullopt;
                } else if (lowest) {
                    bounds[storeID] = lowest;
                }
            }
            if (bounds == previousBounds) {
                break;  // the same candidates, already settled
            }
            previousBounds = bounds;
            dropStoresWithNothingAbove(bounds);
            auto candidates = completeEventsAbove(bounds, false, *context);
            if (!candidates.ok()) {
                result = candidates.error();
                return;
            }
            for (bool added = true; added;) {
                added = false;
                for (const auto& candidate : *candidates) {
                    if (inSet.count(candidate.get())) {
                        continue;
                    }
                    auto it = described.find(candidate.get());
                    if (it == described.end()) {
                        it = described.emplace(candidate.get(), describe(candidate)).first;
                    }
                    if (std::any_of(chosen.begin(), chosen.end(),
                                    [&](const Known& k) { return concurrent(k, it->second); })) {
                        inSet.insert(candidate.get());
                        chosen.push_back(it->second);
                        added = grew = true;
                    }
                }
            }
        }
        SYNManagedObjects found;
        for (auto& known : chosen) {
            found.push_back(std::move(known.event));
        }
        SYNStoreModificationEvent::sortInEventOrder(found);
        result = std::move(found);
    });
    return result;
}

std::optional<SYNRevisionManager::KnownVersions> SYNRevisionManager::knownModelVersions() const {
    if (!modelURL_) {
        return std::nullopt;
    }
    auto versions = plat::coredata::ManagedObjectModel::modelVersionsAtURL(*modelURL_);
    if (!versions.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Could not load model versions: %@", versions.error());
        return std::nullopt;
    }
    KnownVersions known;
    for (const auto& [name, model] : *versions) {
        known.compressed.insert(syn_compressedModelHash(*model));
        known.entityHashes.push_back(asMap(syn_entityHashesPropertyList(*model)));
    }
    return known;
}

// One integrability check over a list of candidate events: records which
// events are left out and why, in rounds until nothing more is left out.
class SYNRevisionManager::IntegrabilityCheck {
  public:
    IntegrabilityCheck(const Facts& facts, std::set<int64_t>& codes)
        : baselineSet_(facts.baselineSet()), codes_(codes), present_(*facts.present) {}

    // The revisions present of a store (none when it has no complete event),
    // each with the count of events that carry it.
    const std::map<int64_t, uint32_t>& presentOf(const std::string& storeID) const {
        static const std::map<int64_t, uint32_t> kNone;
        auto found = present_.find(storeID);
        return found == present_.end() ? kNone : found->second;
    }

    // Keeps the events the baseline does not hold as candidates, leaving out
    // those of an unknown model version or with a data file that is not here.
    // The data files present are listed only when an event has any.
    // Without mayHaveFiles, the events are known to have no data-file record.
    void screen(const SYNManagedObjects& events, const std::optional<KnownVersions>& versions,
                const std::function<std::set<std::string>()>& listFiles, bool mayHaveFiles) {
        const bool anyFiles = mayHaveFiles && anyEventHasDataFiles(events);
        const std::set<std::string> files = anyFiles ? listFiles() : std::set<std::string>();
        for (const auto& event : events) {
            auto revision = SYNStoreModificationEvent::revision(*event);
            // A baseline holds itself; it is checked like any other event
            // (a full integration starts from it).
            const bool baseline =
                SYNStoreModificationEvent::type(*event) == SYNStoreModificationEventTypeBaseline;
            if (!revision || (!baseline && baselineSet_.covers(*revision))) {
                continue;
            }
            candidates_.insert(event.get());
            byStore_[revision->persistentStoreIdentifier][revision->revisionNumber] = event;
            if (versions && !isKnownVersion(*event, versions->compressed, versions->entityHashes)) {
                leaveOut(event, SYNErrorUnknownModelVersion);
            } else if (anyFiles && !hasAllDataFiles(*event, files)) {
                leaveOut(event, SYNErrorMissingDataFiles);
            }
        }
    }

    // Applies continuity and dependencies until a round leaves nothing more out.
    void settle(const SYNManagedObjects& events) {
        for (std::size_t before = SIZE_MAX; before != leftOut_.size();) {
            before = leftOut_.size();
            leaveOutDiscontinuousEvents();
            leaveOutEventsWithMissingDependencies(events);
        }
    }

    SYNManagedObjects kept(const SYNManagedObjects& events) const {
        SYNManagedObjects kept;
        for (const auto& event : events) {
            if (candidates_.count(event.get()) && !leftOut_.count(event.get())) {
                kept.push_back(event);
            }
        }
        return kept;
    }

  private:
    void leaveOut(const ManagedObjectPtr& event, int64_t code) {
        if (leftOut_.emplace(event.get(), code).second) {
            codes_.insert(code);
            if (auto revision = SYNStoreModificationEvent::revision(*event)) {
                leftOutRevisions_.insert({revision->persistentStoreIdentifier, revision->revisionNumber});
            }
        }
    }

    // No gap before an event, and nothing earlier of its store left out.
    void leaveOutDiscontinuousEvents() {
        for (const auto& [storeID, ordered] : byStore_) {
            bool blocked = false;
            for (const auto& [number, event] : ordered) {
                const bool gap = number > 0 && !baselineSet_.covers(storeID, number - 1) &&
                                 !presentOf(storeID).count(number - 1);
                if (blocked || gap) {
                    leaveOut(event, SYNErrorMissingRevisions);
                }
                // Once one event of a store is left out, so is every later one:
                // integrating it would skip the changes of the one left out.
                blocked = blocked || leftOut_.count(event.get());
            }
        }
    }

    // Whether the baseline or an event present and not left out holds the
    // store's revision (or a later one of that store).
    bool holds(const std::string& storeID, int64_t number) {
        if (baselineSet_.covers(storeID, number)) {
            return true;
        }
        const auto& numbers = presentOf(storeID);
        return std::any_of(numbers.lower_bound(number), numbers.end(), [&](const auto& present) {
            return !leftOutRevisions_.count({storeID, present.first});
        });
    }

    void leaveOutEventsWithMissingDependencies(const SYNManagedObjects& events) {
        for (const auto& event : events) {
            if (!candidates_.count(event.get()) || leftOut_.count(event.get())) {
                continue;
            }
            const SYNRevisionSet needed = SYNStoreModificationEvent::revisionSetOfOtherStores(*event);
            for (const auto& [storeID, number] : needed.revisions()) {
                if (!holds(storeID, number)) {
                    leaveOut(event, SYNErrorMissingDependencies);
                    break;
                }
            }
        }
    }

    const SYNRevisionSet& baselineSet_;
    std::set<int64_t>& codes_;
    // Revisions of complete events present, by store (the facts' own:
    // read, never changed).
    const SYNEventTallies::PresentRevisions& present_;
    // Candidates by store, in revision order.
    std::map<std::string, std::map<int64_t, ManagedObjectPtr>> byStore_;
    Pointers candidates_;
    std::map<const ManagedObject*, int64_t> leftOut_;
    std::set<std::pair<std::string, int64_t>> leftOutRevisions_;
};

plat::Result<SYNManagedObjects> SYNRevisionManager::integrableEventsFromEvents(
    const SYNManagedObjects& events, std::set<int64_t>& informativeErrorCodes) {
    auto context = store_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    plat::Result<SYNManagedObjects> result = SYNManagedObjects();
    context->performBlockAndWait([&] {
        auto facts = gatherFacts(*context);
        if (!facts.ok()) {
            result = facts.error();
            return;
        }
        IntegrabilityCheck check(**facts, informativeErrorCodes);
        const bool mayHaveFiles = events.empty() || !withoutDataFiles_ || !withoutDataFiles_(events);
        check.screen(
            events, knownModelVersions(), [&] { return store_->allDataFilenames(); }, mayHaveFiles);
        check.settle(events);
        result = check.kept(events);
    });
    return result;
}
