#include "sync/eventstore/SYNBaselineConsolidator.h"

#include <algorithm>
#include <map>

#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/detail/SYNBaselineSupport.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

namespace {

// Baselines whose set no later-or-larger baseline covers, in event order.
SYNManagedObjects dropDominated(const SYNManagedObjects& baselines, ManagedObjectContext& context) {
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

// The input with the most changes (the later one in event order on a tie)
// becomes the consolidated baseline in place, so that a baseline holding a
// whole store is never copied, nor even loaded: only the other inputs'
// changes are read, and those that win over the host's move into it. The
// result is the same whichever input hosts it.
plat::ErrorPtr merge(const SYNManagedObjects& baselines, ManagedObjectContext& context) {
    const auto& last = *baselines.back();
    SYNRevisionSet set;
    int64_t globalCount = 0;
    double timestamp = 0;
    std::size_t host = 0;
    std::size_t most = 0;
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        const auto& baseline = baselines[i];
        set = set.revisionSetByTakingStorewiseMaximumWithRevisionSet(
            SYNStoreModificationEvent::revisionSet(*baseline));
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

    // Per object, the insert of the input last in event order.
    std::map<std::string, std::pair<std::size_t, ManagedObjectPtr>> chosen;
    for (std::size_t i = 0; i < baselines.size(); ++i) {
        if (i == host) {
            continue;
        }
        for (const auto& change : baselines[i]->objectsForKey("objectChanges")) {
            auto identifier = change->objectForKey("globalIdentifier");
            if (identifier && SYNObjectChange::type(*change) == SYNObjectChangeTypeInsert) {
                chosen[identifier->objectID()->URIRepresentation().absoluteString()] = {i, change};
            }
        }
    }
    for (const auto& [key, entry] : chosen) {
        const auto& [input, change] = entry;
        ManagedObjectPtr hostInsert;
        for (const auto& other : change->objectForKey("globalIdentifier")->objectsForKey("objectChanges")) {
            if (other->objectForKey("storeModificationEvent") == consolidated &&
                SYNObjectChange::type(*other) == SYNObjectChangeTypeInsert) {
                hostInsert = other;
            }
        }
        if (hostInsert && host > input) {
            continue;  // the host's own insert is the later one
        }
        if (hostInsert) {
            context.deleteObject(hostInsert);
        }
        change->setObject(consolidated, "storeModificationEvent");  // its data-file records go along
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

plat::ErrorPtr consolidate(ManagedObjectContext& context) {
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
    syn::detail::runAsync(store_, consolidate, std::move(completion));
}
