#include "sync/eventstore/SYNBaselineConsolidator.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/detail/SYNBaselineSupport.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

namespace {

// Baselines whose set no later-or-larger baseline covers, in event order.
SYNManagedObjects dropDominated(const SYNManagedObjects& baselines, ManagedObjectContext& context) {
    if (baselines.size() < 2) {
        return baselines;  // nothing to compare with: its revisions are not read
    }
    SYNManagedObjects kept;
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        const SYNRevisionSet set = SYNStoreModificationEvent::revisionSet(*baselines[i]);
        bool dominated = false;
        for (std::size_t j = 0; j < baselines.size() && !dominated; ++j) {
            if (i == j) {
                continue;
            }
            const SYNRevisionSet other = SYNStoreModificationEvent::revisionSet(*baselines[j]);
            // Equal sets: the one later in event order stays.
            dominated = set.isLessThanOrEqualTo(other) && (set != other || j > i);
        }
        if (dominated) {
            context.deleteObject(baselines[i]);
        } else {
            kept.push_back(baselines[i]);
        }
    }
    return kept;
}

// Depends only on the inputs' identifiers, sorted: every machine that
// consolidates the same baselines names the result alike, so they write one
// baseline file rather than two that would need consolidating again.
std::string consolidatedIdentifier(const SYNManagedObjects& baselines) {
    std::vector<std::string> identifiers;
    for (const auto& baseline : baselines) {
        identifiers.push_back(SYNStoreModificationEvent::uniqueIdentifier(*baseline));
    }
    std::sort(identifiers.begin(), identifiers.end());
    std::string joined;
    for (const auto& identifier : identifiers) {
        joined += identifier + "\n";
    }
    return syn_md5Checksum(plat::Data::fromString(joined));
}

// One input's insert of an object.
struct Version {
    std::size_t input;  // in event order
    ManagedObjectPtr change;
    std::optional<SYNRevision> revision;  // of the save that last set its values
};

// The version of one object that a merge keeps, or nullopt when the object
// was deleted. An input whose set covers the revision that last set a
// version has seen that save: if it no longer holds the object, a later
// event deleted it; if it holds another version, not set by a save the
// first input has seen, its version is the newer one. Versions neither rule
// orders (concurrent saves, or unrecorded revisions of baselines made before
// they were kept) go by event order: the input last in it wins.
std::optional<std::size_t> survivor(const std::vector<Version>& versions,
                                    const std::vector<SYNRevisionSet>& sets) {
    std::vector<bool> holds(sets.size(), false);
    for (const auto& version : versions) {
        holds[version.input] = true;
    }
    std::vector<std::size_t> live;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        bool deleted = false;
        for (std::size_t j = 0; j < sets.size() && versions[i].revision && !deleted; ++j) {
            deleted = !holds[j] && sets[j].covers(*versions[i].revision);
        }
        if (!deleted) {
            live.push_back(i);
        }
    }
    auto seen = [&](const Version& by, const Version& of) {
        return of.revision && sets[by.input].covers(*of.revision);
    };
    std::vector<std::size_t> newest;
    for (std::size_t i : live) {
        bool superseded = false;
        for (std::size_t k : live) {
            superseded =
                superseded || (k != i && seen(versions[k], versions[i]) && !seen(versions[i], versions[k]));
        }
        if (!superseded) {
            newest.push_back(i);
        }
    }
    // Sets that order versions in a circle leave none newest: event order.
    const auto& candidates = newest.empty() ? live : newest;
    if (candidates.empty()) {
        return std::nullopt;
    }
    return *std::max_element(candidates.begin(), candidates.end(), [&](std::size_t a, std::size_t b) {
        return versions[a].input < versions[b].input;
    });
}

std::string objectKey(const plat::coredata::ManagedObjectID& identifier) {
    return identifier.URIRepresentation().absoluteString();
}

// The host's inserts whose recorded revision another input's set covers (as
// IDs, by object key): only those can have been deleted by another input.
// Read as dictionaries, so that a host holding a whole store is not loaded.
// The rows name stores in the form of `identifiers`: a store it never
// numbered is named by no row.
plat::Result<std::map<std::string, std::pair<ManagedObjectIDPtr, SYNRevision>>> hostInsertsOthersHaveSeen(
    const ManagedObjectPtr& host, const std::vector<SYNRevisionSet>& sets, std::size_t hostIndex,
    const SYNStoreIdentifiers& identifiers, ManagedObjectContext& context) {
    using plat::coredata::Predicate;
    std::map<std::string, std::pair<ManagedObjectIDPtr, SYNRevision>> found;
    SYNRevisionSet seen;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (i != hostIndex) {
            seen = seen.revisionSetByTakingStorewiseMaximumWithRevisionSet(sets[i]);
        }
    }
    std::vector<plat::coredata::PredicatePtr> covered;
    for (const auto& [store, number] : seen.revisions()) {
        auto stored = identifiers.encodeIfKnown(store);
        if (!stored) {
            continue;
        }
        covered.push_back(
            Predicate::andPredicate({Predicate::equal("valuesRevisionStore", Value(std::move(*stored))),
                                     Predicate::lessThanOrEqual("valuesRevisionNumber", Value(number))}));
    }
    if (covered.empty()) {
        return found;
    }
    plat::coredata::FetchRequest request(SYNObjectChangeEntityName);
    request.predicate =
        Predicate::andPredicate({Predicate::equal("storeModificationEvent", Value(plat::ObjectPtr(host))),
                                 Predicate::equal("type", Value(int64_t{SYNObjectChangeTypeInsert})),
                                 Predicate::orPredicate(std::move(covered))});
    request.resultType = plat::coredata::FetchRequestResultType::Dictionary;
    request.propertiesToFetch = {{"id", "objectID"},
                                 {"globalIdentifier", "globalIdentifier"},
                                 {"store", "valuesRevisionStore"},
                                 {"number", "valuesRevisionNumber"}};
    auto rows = context.fetchDictionaries(request);
    if (!rows.ok()) {
        return rows.error();
    }
    for (const auto& row : *rows) {
        const Value* id = row.find("id");
        const Value* identifier = row.find("globalIdentifier");
        const Value* store = row.find("store");
        const Value* number = row.find("number");
        if (!id || !identifier || !store || !number || !store->isString() || !number->isNumber()) {
            continue;
        }
        auto changeID = id->asObjectOf<plat::coredata::ManagedObjectID>();
        auto identifierID = identifier->asObjectOf<plat::coredata::ManagedObjectID>();
        auto storeIdentifier = identifiers.decode(*store->asString());
        if (changeID && identifierID && storeIdentifier) {
            found[objectKey(*identifierID)] = {
                changeID, SYNRevision{std::move(*storeIdentifier), number->longLongValue()}};
        }
    }
    return found;
}

// The input with the most changes (the later one in event order on a tie)
// becomes the consolidated baseline in place, so that a baseline holding a
// whole store is never copied, nor even loaded: only the other inputs'
// changes are read, with the host's inserts of the same objects and those
// the others may have deleted, and the versions that survive move into the
// host. The result is the same whichever input hosts it.
plat::ErrorPtr merge(const SYNManagedObjects& baselines, ManagedObjectContext& context) {
    const auto& last = *baselines.back();
    SYNRevisionSet set;
    std::vector<SYNRevisionSet> sets;
    int64_t globalCount = 0;
    double timestamp = 0;
    std::size_t host = 0;
    std::size_t most = 0;
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        const auto& baseline = baselines[i];
        sets.push_back(SYNStoreModificationEvent::revisionSet(*baseline));
        set = set.revisionSetByTakingStorewiseMaximumWithRevisionSet(sets.back());
        globalCount = std::max(globalCount, SYNStoreModificationEvent::globalCount(*baseline));
        timestamp = std::max(timestamp, SYNStoreModificationEvent::timestamp(*baseline));
        auto count = SYNObjectChange::countOfObjectChangesInStoreModificationEvents({baseline}, context);
        if (!count.ok()) {
            return count.error();
        }
        if (*count >= most) {
            host = i;
            most = *count;
        }
    }
    const auto& consolidated = baselines[host];
    // Rows keep their stored revisions wherever they move: the text names
    // the store alone, not the event holding the row.
    const auto identifiers = SYNStoreIdentifiers::forContext(context);
    auto hostSeen = hostInsertsOthersHaveSeen(consolidated, sets, host, *identifiers, context);
    if (!hostSeen.ok()) {
        return hostSeen.error();
    }

    // Non-insert changes take no part in a baseline; the host drops its own.
    plat::coredata::FetchRequest others(SYNObjectChangeEntityName);
    others.predicate = plat::coredata::Predicate::andPredicate(
        {plat::coredata::Predicate::equal("storeModificationEvent", Value(plat::ObjectPtr(consolidated))),
         plat::coredata::Predicate::notEqual("type", Value(int64_t{SYNObjectChangeTypeInsert}))});
    auto stray = context.executeFetchRequest(others);
    if (!stray.ok()) {
        return stray.error();
    }
    for (const auto& change : *stray) {
        context.deleteObject(change);
    }

    // Per object, the versions of the other inputs, in event order.
    std::map<std::string, std::vector<Version>> versions;
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        if (i == host) {
            continue;
        }
        for (const auto& change : baselines[i]->objectsForKey("objectChanges")) {
            auto identifier = change->objectForKey("globalIdentifier");
            if (identifier && SYNObjectChange::type(*change) == SYNObjectChangeTypeInsert) {
                auto& list = versions[objectKey(*identifier->objectID())];
                if (!list.empty() && list.back().input == i) {
                    list.pop_back();  // one insert per object and input; the last stands
                }
                list.push_back({i, change, SYNObjectChange::valuesRevision(*change, *identifiers)});
            }
        }
    }
    for (auto& [key, list] : versions) {
        ManagedObjectPtr hostInsert;
        for (const auto& other :
             list.front().change->objectForKey("globalIdentifier")->objectsForKey("objectChanges")) {
            if (other->objectForKey("storeModificationEvent") == consolidated &&
                SYNObjectChange::type(*other) == SYNObjectChangeTypeInsert) {
                hostInsert = other;
            }
        }
        if (hostInsert) {
            Version version{host, hostInsert, SYNObjectChange::valuesRevision(*hostInsert, *identifiers)};
            list.insert(
                std::upper_bound(list.begin(), list.end(), version,
                                 [](const Version& a, const Version& b) { return a.input < b.input; }),
                version);
        }
        auto kept = survivor(list, sets);
        if (kept && list[*kept].input == host) {
            continue;
        }
        if (hostInsert) {
            context.deleteObject(hostInsert);
        }
        if (kept) {
            list[*kept].change->setObject(consolidated, "storeModificationEvent");  // its data files go along
        }
    }
    // The host's objects no other input holds: gone when another input has
    // seen the save that last set them.
    for (const auto& [key, entry] : *hostSeen) {
        if (versions.count(key)) {
            continue;
        }
        const auto& [changeID, revision] = entry;
        if (!survivor({Version{host, nullptr, revision}}, sets)) {
            context.deleteObject(context.objectWithID(changeID));
        }
    }
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        if (i != host) {
            context.deleteObject(baselines[i]);
        }
    }

    consolidated->setValue(Value(consolidatedIdentifier(baselines)), "uniqueIdentifier");
    consolidated->setValue(Value(int64_t{SYNStoreModificationEventTypeBaseline}), "type");
    consolidated->setValue(Value(globalCount), "globalCount");
    consolidated->setValue(Value(timestamp), "timestamp");
    consolidated->setValue(last.valueForKey("modelVersion"), "modelVersion");
    consolidated->setValue(last.valueForKey("modelVersionIdentifier"), "modelVersionIdentifier");
    const std::string ownStore = SYNStoreModificationEvent::storeIdentifier(last);
    if (auto old = consolidated->objectForKey("eventRevision")) {
        context.deleteObject(old);
    }
    consolidated->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                ownStore, set.revisionNumberForStore(ownStore).value_or(0), context),
                            "eventRevision");
    set.removeStore(ownStore);
    SYNStoreModificationEvent::setRevisionSetOfOtherStores(*consolidated, set);
    return nullptr;
}

// Whether the event store's tallies know, from the facts they keep, that
// the store holds no baseline being consolidated and at most one baseline:
// then there is nothing to consolidate, and the baselines are not read. The
// facts are those of the saved store, so a context holding unsaved events
// reads them.
bool nothingToConsolidateByKeptFacts(const SYNEventStore& store, const ManagedObjectContext& context) {
    auto tallies = SYNEventTallies::answeringFor(store.eventTallies(), context);
    if (!tallies) {
        return false;
    }
    const auto kept = tallies->facts(store.persistentStoreIdentifier().value_or(""));
    return kept.value && kept.value->soleBaseline;
}

plat::ErrorPtr consolidate(ManagedObjectContext& context, const SYNEventStore& store) {
    if (nothingToConsolidateByKeptFacts(store, context)) {
        return context.hasChanges() ? context.save() : nullptr;
    }
    // Baselines read from another machine's files are stored as "being
    // consolidated" (400) and take part like local ones (100). The merged
    // baseline is saved in one go, so no half-made one can be among them.
    auto baselines = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
        std::vector<int16_t>{SYNStoreModificationEventTypeBaseline,
                             SYNStoreModificationEventTypeBaselineConsolidating},
        std::nullopt, context);
    if (!baselines.ok()) {
        return baselines.error();
    }
    SYNStoreModificationEvent::sortInEventOrder(*baselines);
    SYNManagedObjects kept = dropDominated(*baselines, context);
    if (kept.size() > 1) {
        SYN_LOG(SYNLoggingLevelTrace, "Consolidating %lu baselines", static_cast<unsigned long>(kept.size()));
        if (auto error = merge(kept, context)) {
            return error;
        }
    } else if (kept.size() == 1 &&
               SYNStoreModificationEvent::type(*kept.front()) != SYNStoreModificationEventTypeBaseline) {
        kept.front()->setValue(Value(int64_t{SYNStoreModificationEventTypeBaseline}), "type");
    }
    return context.hasChanges() ? context.save() : nullptr;
}

}  // namespace

SYNBaselineConsolidator::SYNBaselineConsolidator(std::shared_ptr<SYNEventStore> eventStore,
                                                 std::weak_ptr<SYNMeshServices> mesh)
    : store_(std::move(eventStore)), mesh_(std::move(mesh)) {}

void SYNBaselineConsolidator::consolidateBaselineWithCompletion(
    std::function<void(plat::ErrorPtr)> completion) {
    syn::detail::runAsync(
        store_, [store = store_](ManagedObjectContext& context) { return consolidate(context, *store); },
        std::move(completion));
}
