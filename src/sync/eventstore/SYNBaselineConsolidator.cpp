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

void merge(const SYNManagedObjects& baselines, ManagedObjectContext& context) {
    const auto& last = *baselines.back();
    syn::detail::BaselineFields fields;
    SYNRevisionSet set;
    for (const auto& baseline : baselines) {
        set = set.revisionSetByTakingStorewiseMaximumWithRevisionSet(
            SYNStoreModificationEvent::revisionSet(*baseline));
        fields.globalCount = std::max(fields.globalCount, SYNStoreModificationEvent::globalCount(*baseline));
        fields.timestamp = std::max(fields.timestamp, SYNStoreModificationEvent::timestamp(*baseline));
    }
    fields.uniqueIdentifier = consolidatedIdentifier(baselines);
    fields.type = SYNStoreModificationEventTypeBaselineConsolidating;
    fields.modelVersion = last.valueForKey("modelVersion");
    fields.modelVersionIdentifier = last.valueForKey("modelVersionIdentifier");
    const std::string ownStore = SYNStoreModificationEvent::storeIdentifier(last);
    fields.revision = {ownStore, set.revisionNumberForStore(ownStore).value_or(0)};
    set.removeStore(ownStore);
    fields.otherStores = set;
    auto consolidated = syn::detail::makeBaseline(context, fields);

    // Per object, the insert of the baseline last in event order.
    std::map<std::string, ManagedObjectPtr> chosen;
    for (const auto& baseline : baselines) {
        for (const auto& change : baseline->objectsForKey("objectChanges")) {
            auto identifier = change->objectForKey("globalIdentifier");
            if (identifier && SYNObjectChange::type(*change) == SYNObjectChangeTypeInsert) {
                chosen[identifier->objectID()->URIRepresentation().absoluteString()] = change;
            }
        }
    }
    for (const auto& [key, change] : chosen) {
        syn::detail::addInsertChange(context, consolidated, change->objectForKey("globalIdentifier"),
                                     SYNObjectChange::propertyChangeValues(*change));
    }
    for (const auto& baseline : baselines) {
        context.deleteObject(baseline);
    }
    consolidated->setValue(Value(int64_t{SYNStoreModificationEventTypeBaseline}), "type");
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
        merge(kept, context);
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
