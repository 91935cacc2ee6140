#include "sync/eventstore/SYNRebaser.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/detail/SYNBaselineSupport.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

namespace {

// The save and merge events whose own revision the current baseline covers,
// found through the revision records at or below the baseline's entry for
// each store (searched in the records' compound index), so that the cost
// follows those events rather than every event of the store.
plat::Result<SYNManagedObjects> heldEvents(ManagedObjectContext& context) {
    auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
    if (!baseline.ok()) {
        return baseline.error();
    }
    SYNManagedObjects held;
    if (!*baseline) {
        return held;
    }
    std::set<const ManagedObject*> seen;
    const SYNRevisionSet covered = SYNStoreModificationEvent::revisionSet(**baseline);
    for (const auto& [store, number] : covered.revisions()) {
        plat::coredata::FetchRequest request(SYNEventRevisionEntityName);
        request.predicate = plat::coredata::Predicate::andPredicate(
            {plat::coredata::Predicate::equal("persistentStoreIdentifier", Value(store)),
             plat::coredata::Predicate::lessThanOrEqual("revisionNumber", Value(number)),
             plat::coredata::Predicate::notEqual("storeModificationEvent", Value())});
        auto records = context.executeFetchRequest(request);
        if (!records.ok()) {
            return records.error();
        }
        for (const auto& record : *records) {
            auto event = record->objectForKey("storeModificationEvent");
            if (!event || !seen.insert(event.get()).second) {
                continue;
            }
            const auto type = SYNStoreModificationEvent::type(*event);
            if (type == SYNStoreModificationEventTypeSave || type == SYNStoreModificationEventTypeMerge) {
                held.push_back(std::move(event));
            }
        }
    }
    return held;
}

// Whether the event store's tallies know, from the facts they keep, that no
// save or merge event has an own revision the baseline covers (or that there
// is no baseline): then heldEvents would find nothing, and is not asked. The
// facts are those of the saved store, so a context holding unsaved events
// asks the store, as does one whose tallies keep no facts; so does a store
// whose baseline covers a present revision (the events are read then).
bool holdsNoEventsByKeptFacts(const SYNEventStore& store, const std::string& localStore,
                              const ManagedObjectContext& context) {
    auto tallies = SYNEventTallies::answeringFor(store.eventTallies(), context);
    if (!tallies) {
        return false;
    }
    const auto kept = tallies->facts(localStore);
    if (!kept.value || !kept.value->present) {
        return false;
    }
    if (!kept.value->baseline) {
        return true;
    }
    const SYNEventTallies::PresentRevisions& present = *kept.value->present;
    for (const auto& [identifier, number] : kept.value->baseline->revisions.revisions()) {
        auto numbers = present.find(identifier);
        if (numbers != present.end() && !numbers->second.empty() &&
            numbers->second.begin()->first <= number) {
            return false;
        }
    }
    return true;
}

// What a rebase would fold.
struct Plan {
    ManagedObjectPtr baseline;
    SYNRevisionSet baselineSet;
    SYNRevisionSet cut;
    SYNManagedObjects foldable;  // in event order
    SYNManagedObjects held;      // events the old baseline already covers
    SYNRevisionSet folded;       // the old baseline's set plus the foldable events
};

// The revision is the first of its store or the one after a held revision.
bool followsOn(const SYNRevisionSet& held, const SYNRevision& revision) {
    return revision.revisionNumber == 0 ||
           held.covers(revision.persistentStoreIdentifier, revision.revisionNumber - 1);
}

plat::Result<Plan> makePlan(const std::string& localStore, ManagedObjectContext& context) {
    Plan plan;
    auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
    auto events = SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(context);
    if (!baseline.ok() || !events.ok()) {
        return baseline.ok() ? events.error() : baseline.error();
    }
    plan.baseline = *baseline;
    if (plan.baseline) {
        plan.baselineSet = SYNStoreModificationEvent::revisionSet(*plan.baseline);
    }
    // The latest set of each store, the local store included even without events.
    std::map<std::string, std::pair<int64_t, SYNRevisionSet>> latest{{localStore, {-1, SYNRevisionSet()}}};
    for (const auto& event : *events) {
        auto revision = SYNStoreModificationEvent::revision(*event);
        if (!revision) {
            continue;
        }
        auto [it, inserted] = latest.try_emplace(revision->persistentStoreIdentifier, -1, SYNRevisionSet());
        if (revision->revisionNumber > it->second.first) {
            it->second = {revision->revisionNumber, SYNStoreModificationEvent::revisionSet(*event)};
        }
    }
    // The cut is what every store with events has seen: the store-wise
    // minimum of each store's latest set. Folding past it would drop events a
    // lagging store has yet to integrate.
    bool first = true;
    for (const auto& [store, entry] : latest) {
        plan.cut =
            first ? entry.second : plan.cut.revisionSetByTakingStorewiseMinimumWithRevisionSet(entry.second);
        first = false;
    }
    // Only a prefix of the event order may be folded: an event left behind
    // that sorts before a folded one would be replayed after it. Each folded
    // event must also follow on what is held already (no gap in its store's
    // revisions, every revision it depends on held), so that the new baseline
    // claims exactly the events it holds.
    plan.folded = plan.baselineSet;
    bool folding = true;
    for (const auto& event : *events) {
        auto revision = SYNStoreModificationEvent::revision(*event);
        if (!revision) {
            continue;
        }
        if (plan.baselineSet.covers(*revision)) {
            plan.held.push_back(event);
            continue;
        }
        folding =
            folding && plan.cut.covers(*revision) && followsOn(plan.folded, *revision) &&
            SYNStoreModificationEvent::revisionSetOfOtherStores(*event).isLessThanOrEqualTo(plan.folded);
        if (folding) {
            plan.foldable.push_back(event);
            plan.folded.addRevision(*revision);
        }
    }
    return plan;
}

// The objects of a fold: per global identifier, its entity and values, and
// the revision of the save that last set them.
class Fold {
  public:
    // `revision`: the revision of the change's event; for the changes of a
    // baseline, the revision each change recorded (nullopt: unrecorded).
    void apply(const ManagedObject& change, const std::optional<SYNRevision>& revision) {
        auto identifier = change.objectForKey("globalIdentifier");
        if (!identifier) {
            return;
        }
        const std::string key = *identifier->valueForKey("globalIdentifier").asString() + "\x1f" +
                                *identifier->valueForKey("nameOfEntity").asString();
        const auto type = SYNObjectChange::type(change);
        if (type == SYNObjectChangeTypeDelete) {
            objects_.erase(key);
            deleted_.insert(*identifier->valueForKey("globalIdentifier").asString());
            return;
        }
        auto it = objects_.find(key);
        if (type == SYNObjectChangeTypeInsert) {
            it = objects_.insert_or_assign(key, State{identifier, {}, {}, revision}).first;
            deleted_.erase(*identifier->valueForKey("globalIdentifier").asString());
        } else if (it == objects_.end()) {
            return;  // an update of an object nobody inserted
        } else {
            it->second.revision = revision;
        }
        for (const auto& value : SYNObjectChange::propertyChangeValues(change)) {
            update(it->second, value, type == SYNObjectChangeTypeInsert);
        }
    }

    // The insert values of every object, relationships to deleted objects
    // removed, and the revision that last set them.
    template <class Visit>
    void forEachObject(Visit&& visit) const {
        for (const auto& [key, state] : objects_) {
            std::vector<SYNPropertyChangeValue> values;
            for (const auto& [name, value] : state.values) {
                values.push_back(finished(value, state));
            }
            visit(state.identifier, values, state.revision);
        }
    }

  private:
    struct State {
        ManagedObjectPtr identifier;
        std::map<std::string, SYNPropertyChangeValue> values;
        std::map<std::string, std::vector<std::string>> orders;  // ordered to-many members
        std::optional<SYNRevision> revision;                     // of the last insert or update
    };

    void update(State& state, const SYNPropertyChangeValue& value, bool inserting) {
        const std::string& name = value.propertyName();
        auto it = state.values.find(name);
        if (value.type() == SYNPropertyChangeTypeAttribute ||
            value.type() == SYNPropertyChangeTypeToOneRelationship || it == state.values.end()) {
            state.values.insert_or_assign(name, value);
            if (value.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
                state.orders[name] = ordered({}, value);
            }
            return;
        }
        std::set<std::string> members = inserting ? std::set<std::string>() : it->second.addedIdentifiers();
        for (const auto& removed : value.removedIdentifiers()) {
            members.erase(removed);
        }
        members.insert(value.addedIdentifiers().begin(), value.addedIdentifiers().end());
        it->second.setAddedIdentifiers(members);
        it->second.setRemovedIdentifiers({});
        if (value.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
            state.orders[name] = ordered(inserting ? std::vector<std::string>() : state.orders[name], value);
        }
    }

    // The members after an ordered change: removals, then additions at the
    // end, then a stable sort putting indexed members first by index.
    static std::vector<std::string> ordered(std::vector<std::string> members,
                                            const SYNPropertyChangeValue& value) {
        std::erase_if(members, [&](const std::string& m) { return value.removedIdentifiers().count(m) > 0; });
        for (const auto& added : value.addedIdentifiers()) {
            if (std::find(members.begin(), members.end(), added) == members.end()) {
                members.push_back(added);
            }
        }
        std::map<std::string, int64_t> index;
        for (const auto& [position, identifier] : value.movedIdentifiersByIndex()) {
            index.emplace(identifier, position);
        }
        std::stable_sort(members.begin(), members.end(), [&](const std::string& a, const std::string& b) {
            auto ia = index.find(a);
            auto ib = index.find(b);
            return std::make_tuple(ia == index.end(), ia == index.end() ? 0 : ia->second) <
                   std::make_tuple(ib == index.end(), ib == index.end() ? 0 : ib->second);
        });
        return members;
    }

    SYNPropertyChangeValue finished(SYNPropertyChangeValue value, const State& state) const {
        auto gone = [&](const std::string& identifier) { return deleted_.count(identifier) > 0; };
        if (value.type() == SYNPropertyChangeTypeToOneRelationship) {
            if (value.relatedIdentifier() && gone(*value.relatedIdentifier())) {
                value.setRelatedIdentifier(std::nullopt);
            }
            return value;
        }
        if (value.type() == SYNPropertyChangeTypeAttribute) {
            return value;
        }
        std::set<std::string> members;
        for (const auto& member : value.addedIdentifiers()) {
            if (!gone(member)) {
                members.insert(member);
            }
        }
        value.setAddedIdentifiers(members);
        value.setRemovedIdentifiers({});
        if (value.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
            std::map<int64_t, std::string> moved;
            for (const auto& member : state.orders.at(value.propertyName())) {
                if (!gone(member)) {
                    moved.emplace(static_cast<int64_t>(moved.size()), member);
                }
            }
            value.setMovedIdentifiersByIndex(std::move(moved));
        }
        return value;
    }

    std::map<std::string, State> objects_;
    std::set<std::string> deleted_;
};

plat::ErrorPtr rebase(const std::string& localStore, ManagedObjectContext& context) {
    auto plan = makePlan(localStore, context);
    if (!plan.ok()) {
        return plan.error();
    }
    if (plan->foldable.empty()) {
        return nullptr;
    }
    Fold fold;
    syn::detail::BaselineFields fields;
    auto identifiers = SYNStoreIdentifiers::forContext(context);
    if (plan->baseline) {
        for (const auto& change : plan->baseline->objectsForKey("objectChanges")) {
            fold.apply(*change, SYNObjectChange::valuesRevision(*change, *identifiers));
        }
        fields.globalCount = SYNStoreModificationEvent::globalCount(*plan->baseline);
    }
    for (const auto& event : plan->foldable) {
        const auto revision = SYNStoreModificationEvent::revision(*event);
        for (const auto& change : event->objectsForKey("objectChanges")) {
            fold.apply(*change, revision);
        }
        fields.globalCount = std::max(fields.globalCount, SYNStoreModificationEvent::globalCount(*event));
        fields.timestamp = SYNStoreModificationEvent::timestamp(*event);
    }
    // The values are those of the newest folded event's model.
    fields.modelVersion = plan->foldable.back()->valueForKey("modelVersion");
    fields.modelVersionIdentifier = plan->foldable.back()->valueForKey("modelVersionIdentifier");
    SYNRevisionSet set = plan->folded;
    const std::string ownStore = SYNStoreModificationEvent::storeIdentifier(*plan->foldable.back());
    fields.uniqueIdentifier = plat::ProcessInfo::processInfo().globallyUniqueString();
    fields.revision = {ownStore, set.revisionNumberForStore(ownStore).value_or(0)};
    set.removeStore(ownStore);
    fields.otherStores = set;
    auto baseline = syn::detail::makeBaseline(context, fields);
    fold.forEachObject([&](const ManagedObjectPtr& identifier,
                           const std::vector<SYNPropertyChangeValue>& values,
                           const std::optional<SYNRevision>& revision) {
        syn::detail::addInsertChange(context, baseline, identifier, values, revision, *identifiers);
    });
    if (plan->baseline) {
        context.deleteObject(plan->baseline);
    }
    for (const auto& events : {plan->foldable, plan->held}) {
        for (const auto& event : events) {
            context.deleteObject(event);
        }
    }
    SYN_LOG(SYNLoggingLevelTrace, "Rebased %lu events", static_cast<unsigned long>(plan->foldable.size()));
    return context.save();
}

}  // namespace

SYNRebaser::SYNRebaser(std::shared_ptr<SYNEventStore> eventStore, std::weak_ptr<SYNMeshServices> mesh)
    : store_(std::move(eventStore)), mesh_(std::move(mesh)) {}

void SYNRebaser::shouldRebaseWithCompletion(std::function<void(bool)> completion) {
    if (forceRebase_) {
        plat::dispatch::Queue::main().async([completion] {
            if (completion) {
                completion(true);
            }
        });
        return;
    }
    auto answer = std::make_shared<bool>(false);
    const std::string local = store_->persistentStoreIdentifier().value_or("");
    syn::detail::runAsync(
        store_,
        [answer, local](ManagedObjectContext& context) -> plat::ErrorPtr {
            auto plan = makePlan(local, context);
            if (!plan.ok()) {
                return plan.error();
            }
            auto foldable =
                SYNObjectChange::countOfObjectChangesInStoreModificationEvents(plan->foldable, context);
            auto held = SYNObjectChange::countOfObjectChangesInStoreModificationEvents(
                plan->baseline ? SYNManagedObjects{plan->baseline} : SYNManagedObjects(), context);
            if (!foldable.ok() || !held.ok()) {
                return foldable.ok() ? held.error() : foldable.error();
            }
            *answer = *foldable > 0 && (*foldable >= SYNRebaseMinimumFoldableChanges || *foldable > *held);
            return nullptr;
        },
        [answer, completion](plat::ErrorPtr error) {
            if (error) {
                SYN_LOG(SYNLoggingLevelError, "Could not decide whether to rebase: %@", error);
            }
            if (completion) {
                completion(!error && *answer);
            }
        });
}

void SYNRebaser::rebaseWithCompletion(std::function<void(plat::ErrorPtr)> completion) {
    const std::string local = store_->persistentStoreIdentifier().value_or("");
    syn::detail::runAsync(
        store_, [local](ManagedObjectContext& context) { return rebase(local, context); },
        std::move(completion));
}

void SYNRebaser::deleteEventsPreceedingBaselineWithCompletion(
    std::function<void(plat::ErrorPtr)> completion) {
    // Most merges find nothing to delete: the kept facts tell so without a
    // read (the baseline, its revisions, the revision records under them).
    std::shared_ptr<SYNEventStore> store = store_;
    const std::string local = store_->persistentStoreIdentifier().value_or("");
    syn::detail::runAsync(
        store_,
        [store, local](ManagedObjectContext& context) -> plat::ErrorPtr {
            if (holdsNoEventsByKeptFacts(*store, local, context)) {
                return nullptr;
            }
            auto held = heldEvents(context);
            if (!held.ok()) {
                return held.error();
            }
            for (const auto& event : *held) {
                context.deleteObject(event);
            }
            return held->empty() ? nullptr : context.save();
        },
        std::move(completion));
}
