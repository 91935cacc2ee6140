#include "sync/eventstore/SYNRevisionManager.h"

#include <map>
#include <unordered_set>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

struct SYNRevisionManager::Facts {
    std::string localStore;
    ManagedObjectPtr baseline;
    SYNRevisionSet baselineSet;
    SYNManagedObjects events;  // complete save and merge events, in event order
    ManagedObjectPtr latestLocalMerge;
};

// The model versions events may carry: compressed hashes, and entity hash
// dictionaries (compared as maps, so key order does not matter).
struct SYNRevisionManager::KnownVersions {
    std::set<std::string> compressed;
    std::vector<std::map<std::string, Value>> entityHashes;
};

namespace {

using Pointers = std::unordered_set<const ManagedObject*>;

std::map<std::string, Value> asMap(const Value& value) {
    std::map<std::string, Value> map;
    if (const plat::Dictionary* dictionary = value.asDictionary()) {
        for (const auto& [key, item] : *dictionary) {
            map.emplace(key, item);
        }
    }
    return map;
}

int64_t revisionNumber(const ManagedObject& event) {
    auto revision = SYNStoreModificationEvent::revision(event);
    return revision ? revision->revisionNumber : -1;
}

bool isKnownVersion(const ManagedObject& event, const SYNRevisionManager& /*manager*/,
                    const std::set<std::string>& compressed,
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

bool hasAllDataFiles(const ManagedObject& event, const std::set<std::string>& files) {
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

}  // namespace

SYNRevisionManager::SYNRevisionManager(std::shared_ptr<SYNEventStore> eventStore)
    : store_(std::move(eventStore)) {}

plat::Result<SYNRevisionManager::Facts> SYNRevisionManager::gatherFacts(ManagedObjectContext& context) {
    Facts facts;
    facts.localStore = store_->persistentStoreIdentifier().value_or("");
    auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
    if (!baseline.ok()) {
        return baseline.error();
    }
    facts.baseline = *baseline;
    if (facts.baseline) {
        facts.baselineSet = SYNStoreModificationEvent::revisionSet(*facts.baseline);
    }
    auto events = SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(context);
    if (!events.ok()) {
        return events.error();
    }
    facts.events = std::move(*events);
    for (const auto& event : facts.events) {
        if (SYNStoreModificationEvent::type(*event) == SYNStoreModificationEventTypeMerge &&
            SYNStoreModificationEvent::storeIdentifier(*event) == facts.localStore &&
            (!facts.latestLocalMerge || revisionNumber(*event) > revisionNumber(*facts.latestLocalMerge))) {
            facts.latestLocalMerge = event;
        }
    }
    return facts;
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
        if (!facts->baseline || !facts->latestLocalMerge) {
            return;
        }
        auto claimed = facts->baselineSet.revisionNumberForStore(facts->localStore);
        int64_t highest = -1;
        for (const auto& event : facts->events) {
            if (SYNStoreModificationEvent::storeIdentifier(*event) == facts->localStore) {
                highest = std::max(highest, revisionNumber(*event));
            }
        }
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
        auto facts = gatherFacts(*context);
        if (!facts.ok()) {
            result = facts.error();
            return;
        }
        const SYNRevisionSet committed =
            facts->latestLocalMerge ? SYNStoreModificationEvent::revisionSet(*facts->latestLocalMerge)
                                    : facts->baselineSet;
        SYNManagedObjects uncommitted;
        for (const auto& event : facts->events) {
            auto revision = SYNStoreModificationEvent::revision(*event);
            if (!revision || !committed.covers(*revision)) {
                uncommitted.push_back(event);
            }
        }
        result = std::move(uncommitted);
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
        auto all = SYNStoreModificationEvent::fetchNonBaselineEventsInManagedObjectContext(*context);
        if (!all.ok()) {
            result = all.error();
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
        for (bool grew = true; grew;) {
            grew = false;
            for (const auto& candidate : *all) {
                if (inSet.count(candidate.get())) {
                    continue;
                }
                Known known = describe(candidate);
                if (std::any_of(chosen.begin(), chosen.end(),
                                [&](const Known& k) { return concurrent(k, known); })) {
                    inSet.insert(candidate.get());
                    chosen.push_back(std::move(known));
                    grew = true;
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

SYNManagedObjects SYNRevisionManager::integrableEventsFromEvents(const SYNManagedObjects& events,
                                                                 std::set<int64_t>& informativeErrorCodes) {
    auto context = store_->managedObjectContext();
    if (!context) {
        return {};
    }
    SYNManagedObjects kept;
    context->performBlockAndWait([&] {
        auto facts = gatherFacts(*context);
        if (!facts.ok()) {
            return;
        }
        const auto versions = knownModelVersions();
        const auto files = store_->allDataFilenames();
        // Revisions of complete events present, by store.
        std::map<std::string, std::set<int64_t>> present;
        for (const auto& event : facts->events) {
            if (auto revision = SYNStoreModificationEvent::revision(*event)) {
                present[revision->persistentStoreIdentifier].insert(revision->revisionNumber);
            }
        }
        std::map<const ManagedObject*, int64_t> leftOut;
        std::set<std::pair<std::string, int64_t>> leftOutRevisions;
        auto leaveOut = [&](const ManagedObjectPtr& event, int64_t code) {
            if (leftOut.emplace(event.get(), code).second) {
                informativeErrorCodes.insert(code);
                if (auto revision = SYNStoreModificationEvent::revision(*event)) {
                    leftOutRevisions.insert({revision->persistentStoreIdentifier, revision->revisionNumber});
                }
            }
        };
        // Candidates by store, in revision order; those the baseline holds are dropped.
        std::map<std::string, std::map<int64_t, ManagedObjectPtr>> byStore;
        Pointers candidates;
        for (const auto& event : events) {
            auto revision = SYNStoreModificationEvent::revision(*event);
            if (!revision || facts->baselineSet.covers(*revision)) {
                continue;
            }
            candidates.insert(event.get());
            byStore[revision->persistentStoreIdentifier][revision->revisionNumber] = event;
            if (versions && !isKnownVersion(*event, *this, versions->compressed, versions->entityHashes)) {
                leaveOut(event, SYNErrorUnknownModelVersion);
            } else if (!hasAllDataFiles(*event, files)) {
                leaveOut(event, SYNErrorMissingDataFiles);
            }
        }
        for (std::size_t before = SIZE_MAX; before != leftOut.size();) {
            before = leftOut.size();
            // Continuity: no gap before an event, and nothing earlier of its store left out.
            for (const auto& [storeID, ordered] : byStore) {
                bool blocked = false;
                for (const auto& [number, event] : ordered) {
                    const bool gap = number > 0 && !facts->baselineSet.covers(storeID, number - 1) &&
                                     !present[storeID].count(number - 1);
                    if (blocked || gap) {
                        leaveOut(event, SYNErrorMissingRevisions);
                    }
                    blocked = blocked || leftOut.count(event.get());
                }
            }
            // Dependencies on other stores.
            for (const auto& event : events) {
                if (!candidates.count(event.get()) || leftOut.count(event.get())) {
                    continue;
                }
                const SYNRevisionSet needed = SYNStoreModificationEvent::revisionSetOfOtherStores(*event);
                for (const auto& [storeID, number] : needed.revisions()) {
                    if (facts->baselineSet.covers(storeID, number)) {
                        continue;
                    }
                    const auto& numbers = present[storeID];
                    const bool held = std::any_of(numbers.lower_bound(number), numbers.end(), [&](int64_t n) {
                        return !leftOutRevisions.count({storeID, n});
                    });
                    if (!held) {
                        leaveOut(event, SYNErrorMissingDependencies);
                        break;
                    }
                }
            }
        }
        for (const auto& event : events) {
            if (candidates.count(event.get()) && !leftOut.count(event.get())) {
                kept.push_back(event);
            }
        }
    });
    return kept;
}
