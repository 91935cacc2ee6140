#include "sync/eventstore/SYNEventBuilder.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "platform/foundation/Date.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Random.h"
#include "platform/foundation/SmallPtrMap.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/eventstore/detail/SYNEventTallies.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::SortDescriptor;

struct SYNEventBuilder::ChangeSpec {
    ManagedObjectPtr globalIdentifier;
    int16_t type;
    std::vector<SYNPropertyChangeValue> values;
    // The application object the change is for, when known and the record
    // holds its URI.
    ManagedObjectIDPtr objectID = nullptr;
    // The record's identifier string, once read (addChanges).
    Value identifier = Value();
};

namespace {

using IDMap = std::unordered_map<ManagedObjectIDPtr, ManagedObjectPtr, plat::coredata::ObjectIDHash,
                                 plat::coredata::ObjectIDEqual>;

std::string newIdentifier() {
    return plat::ProcessInfo::processInfo().globallyUniqueString();
}

// Whether two property lists are written as the same text: the same kinds
// and bytes throughout, dictionaries' keys in the same order. Numbers other
// than integers (whose text may differ for values that compare equal) and
// kinds a hash never holds are not compared: false.
bool sameText(const Value& a, const Value& b) {
    if (a.kind() != b.kind() || a.numberType() != b.numberType()) {
        return false;
    }
    switch (a.kind()) {
        case Value::Kind::Null:
            return true;
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
            return a == b;
        case Value::Kind::String:
            return *a.asString() == *b.asString();
        case Value::Kind::Data:
            return *a.asData() == *b.asData();
        case Value::Kind::Array: {
            const plat::Array& x = *a.asArray();
            const plat::Array& y = *b.asArray();
            return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), sameText);
        }
        case Value::Kind::Dictionary: {
            const plat::Dictionary& x = *a.asDictionary();
            const plat::Dictionary& y = *b.asDictionary();
            return x.size() == y.size() &&
                   std::equal(x.begin(), x.end(), y.begin(), [](const auto& p, const auto& q) {
                       return p.first == q.first && sameText(p.second, q.second);
                   });
        }
        default:
            return false;
    }
}

std::string modelVersionText(const Value& hash) {
    if (hash.isNull()) {
        return {};
    }
    if (hash.isString()) {
        return *hash.asString();
    }
    // The attribute is a string: property lists go in as XML text. Every
    // event of a mesh carries the same hash, so the text of the last one
    // written on this thread is kept: comparing the hash costs a fraction of
    // writing it again.
    struct Kept {
        Value hash;
        std::string text;
    };
    thread_local Kept kept;
    if (!kept.text.empty() && sameText(kept.hash, hash)) {
        return kept.text;
    }
    auto data = plat::PropertyListSerialization::dataWithPropertyList(
        hash, plat::PropertyListSerialization::Format::XML);
    if (!data.ok()) {
        return std::string();
    }
    std::string text(reinterpret_cast<const char*>(data->bytes()), data->length());
    kept = Kept{hash, text};
    return text;
}

ManagedObjectPtr makeGlobalIdentifier(const std::string& identifier, const Value& entityName,
                                      ManagedObjectContext& context) {
    auto record = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
    record->setValue(Value(identifier), "globalIdentifier");
    record->setValue(entityName, "nameOfEntity");
    return record;
}

ManagedObjectPtr makeGlobalIdentifier(const std::string& identifier, const std::string& entityName,
                                      ManagedObjectContext& context) {
    return makeGlobalIdentifier(identifier, Value(entityName), context);
}

std::set<std::string> minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> result;
    for (const auto& item : a) {
        if (!b.count(item)) {
            result.insert(item);
        }
    }
    return result;
}

// `later` applied on top of `earlier` (both of one property).
void foldValue(SYNPropertyChangeValue& earlier, const SYNPropertyChangeValue& later) {
    if (later.type() == SYNPropertyChangeTypeAttribute ||
        later.type() == SYNPropertyChangeTypeToOneRelationship) {
        earlier = later;
        return;
    }
    auto added = minus(earlier.addedIdentifiers(), later.removedIdentifiers());
    added.insert(later.addedIdentifiers().begin(), later.addedIdentifiers().end());
    auto removed = minus(earlier.removedIdentifiers(), later.addedIdentifiers());
    removed.insert(later.removedIdentifiers().begin(), later.removedIdentifiers().end());
    earlier.setAddedIdentifiers(std::move(added));
    earlier.setRemovedIdentifiers(std::move(removed));
    if (!later.movedIdentifiersByIndex().empty()) {
        earlier.setMovedIdentifiersByIndex(later.movedIdentifiersByIndex());
    }
}

std::vector<SYNPropertyChangeValue> foldValues(std::vector<SYNPropertyChangeValue> earlier,
                                               const std::vector<SYNPropertyChangeValue>& later) {
    for (const auto& value : later) {
        auto it = std::find_if(earlier.begin(), earlier.end(), [&](const SYNPropertyChangeValue& old) {
            return old.propertyName() == value.propertyName() && old.type() == value.type();
        });
        if (it == earlier.end()) {
            earlier.push_back(value);
        } else {
            foldValue(*it, value);
        }
    }
    return earlier;
}

// The change that stands for an existing change followed by a new one.
std::pair<int16_t, std::vector<SYNPropertyChangeValue>> foldChange(
    int16_t oldType, std::vector<SYNPropertyChangeValue> oldValues, int16_t newType,
    const std::vector<SYNPropertyChangeValue>& newValues) {
    if (newType == SYNObjectChangeTypeDelete || oldType == SYNObjectChangeTypeDelete) {
        // A deleted object stays deleted unless it is inserted again.
        if (newType == SYNObjectChangeTypeInsert) {
            return {SYNObjectChangeTypeInsert, newValues};
        }
        return {SYNObjectChangeTypeDelete, {}};
    }
    const int16_t type = oldType == SYNObjectChangeTypeInsert ? int16_t{SYNObjectChangeTypeInsert} : newType;
    return {type, foldValues(std::move(oldValues), newValues)};
}

// `made`: the change was inserted just now and has no data-file records yet.
void syncDataFileRecords(ManagedObject& change, const std::vector<SYNPropertyChangeValue>& values,
                         ManagedObjectContext& context, bool made) {
    std::set<std::string> wanted;
    for (const auto& value : values) {
        if (value.filename()) {
            wanted.insert(*value.filename());
        }
    }
    if (made && wanted.empty()) {
        return;  // most changes: nothing to add, nothing to read
    }
    for (const auto& record : change.objectsForKey("dataFiles")) {
        const Value name = record->valueForKey("filename");
        if (name.isString() && wanted.erase(*name.asString())) {
            continue;
        }
        context.deleteObject(record);
    }
    for (const auto& name : wanted) {
        auto record = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
        record->setValue(Value(name), "filename");
        record->setObject(change.shared_from_this(), "objectChange");
    }
}

std::vector<std::string> allPropertyNames(const ManagedObject& object) {
    std::vector<std::string> names;
    for (const auto* property : object.entity()->properties()) {
        names.push_back(property->name());
    }
    return names;
}

// The permanent ID that a temporary ID took when its object was saved in
// context; any other ID as it is.
ManagedObjectIDPtr permanentIDFor(const ManagedObjectIDPtr& id, ManagedObjectContext& context) {
    if (!id || !id->isTemporaryID()) {
        return id;
    }
    try {
        auto object = context.existingObjectWithID(id);
        if (object.ok() && !(*object)->objectID()->isTemporaryID()) {
            return (*object)->objectID();
        }
    } catch (const std::exception&) {
        // An ID of another model: nothing to resolve it with here.
    }
    return id;
}

// Values taken before a save name objects inserted by that save by their
// temporary IDs; their records are found by the permanent IDs the inserts
// carry, so the links must name those.
void resolveTemporaryIDs(SYNPropertyChangeValue& value, ManagedObjectContext& context) {
    if (!value.hasUnresolvedObjectIDs()) {
        return;
    }
    // Most values name saved objects only (those taken after a save, whose
    // inserts were given permanent IDs before it): nothing to copy then.
    auto temporary = [](const ManagedObjectIDPtr& id) { return id && id->isTemporaryID(); };
    const auto& moves = value.movedObjectIDsByIndex();
    if (!temporary(value.relatedObjectID()) &&
        std::none_of(value.addedObjectIDs().begin(), value.addedObjectIDs().end(), temporary) &&
        std::none_of(value.removedObjectIDs().begin(), value.removedObjectIDs().end(), temporary) &&
        std::none_of(moves.begin(), moves.end(),
                     [&](const auto& entry) { return temporary(entry.second); })) {
        return;
    }
    auto resolveAll = [&](const std::vector<ManagedObjectIDPtr>& ids) {
        std::vector<ManagedObjectIDPtr> resolved;
        resolved.reserve(ids.size());
        for (const auto& id : ids) {
            resolved.push_back(permanentIDFor(id, context));
        }
        return resolved;
    };
    std::map<int64_t, ManagedObjectIDPtr> moved;
    for (const auto& [index, id] : value.movedObjectIDsByIndex()) {
        moved.emplace(index, permanentIDFor(id, context));
    }
    value.setRelatedObjectIDs(permanentIDFor(value.relatedObjectID(), context),
                              resolveAll(value.addedObjectIDs()), resolveAll(value.removedObjectIDs()),
                              std::move(moved));
}

bool isIgnoredEntity(const ManagedObject& object) {
    return plat::coredata::userInfoBool(object.entity()->userInfo(), SYNIgnoredKey);
}

// The change of an event for each identifier record, by record. The few
// records of a save are looked for in a short list kept inline, which
// allocates nothing; the many of a batch in a hash map.
using ChangesByRecord = plat::SmallPtrMap<const ManagedObject*, ManagedObjectPtr, 48>;

// What the first save of an event keeps for its export.
struct NewEventChanges {
    std::shared_ptr<SYNSavedEvent> saved;
    uint64_t savesBefore = 0;
    SYNSavedEvent::Event event;
    // Parallel to event.changes: the change and its record (held by the
    // context until its reset, which comes after the keys are read).
    std::vector<std::pair<const ManagedObject*, const ManagedObject*>> objects;
};

// One change for `gathered`; false when it cannot be kept. `texts`: null, or
// the entity name and record the builder made the change with and the
// record's identifier it read then (neither changes before the save).
// `identifiers`: the codec of the changes' store (`context`'s), taken at
// the first change that records a values revision.
bool gatherChange(const ManagedObjectPtr& change, const SYNEventBuilderChangeTexts* texts,
                  const ManagedObjectContext& context, std::shared_ptr<SYNStoreIdentifiers>& identifiers,
                  NewEventChanges& gathered) {
    if (!change->isInserted() || change->isDeleted()) {
        return false;
    }
    SYNSavedEvent::Change kept;
    const Value entityName = texts ? texts->entityName : change->valueForKey("nameOfEntity");
    kept.values = change->valueForKey("propertyChangeValues");
    bool namesFiles = false;
    if (!entityName.isString() || !SYNSavedEvent::valuesReadBackAlike(kept.values, namesFiles)) {
        return false;
    }
    kept.entityName = *entityName.asString();
    kept.type = SYNObjectChange::type(*change);
    // Both parts or none (see SYNObjectChange::valuesRevision); save
    // events have none.
    if (change->valueForKey("valuesRevisionStore").isString()) {
        if (!identifiers) {
            identifiers = SYNStoreIdentifiers::forContext(context);
        }
        kept.valuesRevision = SYNObjectChange::valuesRevision(*change, *identifiers);
    }
    auto record = change->objectForKey("globalIdentifier");
    if (record) {
        if (record->isFault() || record->isDeleted()) {
            return false;
        }
        // The identifier read when the change was made, if the change still
        // links to that record.
        const Value text = texts && texts->record == record.get() && texts->identifier.isString()
                               ? texts->identifier
                               : record->valueForKey("globalIdentifier");
        if (text.isString()) {
            kept.globalIdentifier = *text.asString();
        }
    }
    // A change's data-file records are those its values name: the builder
    // makes them with the values (syncDataFileRecords), and nothing else
    // adds any to a change of an event never saved.
    if (namesFiles) {
        const auto files = change->objectsForKey("dataFiles");
        if (files.size() > 1) {
            return false;
        }
        if (!files.empty()) {
            const Value name = files.front()->valueForKey("filename");
            if (files.front()->isDeleted() || !name.isString()) {
                return false;
            }
            kept.dataFile = *name.asString();
        }
    }
    gathered.event.changes.push_back(std::move(kept));
    gathered.objects.emplace_back(change.get(), record.get());
    return true;
}

// The changes of an event about to be saved for the first time, gathered
// before its save for the export that follows (SYNSavedEvent): every change
// is in the context, unsaved, linked both ways (the event's list) or one way
// (`oneWayChanges`), with its record and data file loaded. Nullopt (nothing
// kept) on any doubt: a record or change not as expected, more than one data
// file, values that would not read back alike.
std::optional<NewEventChanges> gatherNewEventChanges(
    const std::shared_ptr<SYNSavedEvent>& saved, const ManagedObjectContext& context,
    const ManagedObjectPtr& event, const std::vector<ManagedObjectPtr>& oneWayChanges,
    const std::vector<SYNEventBuilderChangeTexts>& oneWayTexts, const std::optional<SYNRevision>& revision) {
    if (!saved || saved->context() != &context || !event->isInserted() || !revision) {
        return std::nullopt;
    }
    const auto linked = event->objectsForKey("objectChanges");
    const std::size_t count = linked.size() + oneWayChanges.size();
    if (count > SYNSavedEvent::kMaximumChanges) {
        return std::nullopt;
    }
    NewEventChanges gathered;
    gathered.saved = saved;
    gathered.savesBefore = saved->saves();
    gathered.event.revision = *revision;
    gathered.event.changes.reserve(count);
    gathered.objects.reserve(count);
    std::shared_ptr<SYNStoreIdentifiers> identifiers;
    for (const auto& change : linked) {
        if (!gatherChange(change, nullptr, context, identifiers, gathered)) {
            return std::nullopt;
        }
    }
    // Parallel to the changes linked one way, as linkNewChange keeps them.
    const bool textsKept = oneWayTexts.size() == oneWayChanges.size();
    for (std::size_t i = 0; i < oneWayChanges.size(); ++i) {
        if (!gatherChange(oneWayChanges[i], textsKept ? &oneWayTexts[i] : nullptr, context, identifiers,
                          gathered)) {
            return std::nullopt;
        }
    }
    // Replaced by this event once saved: the save need not be walked for it.
    saved->forget();
    return gathered;
}

// Once the save succeeded: the keys the rows took, and the event kept.
void keepNewEventChanges(NewEventChanges& gathered, const ManagedObjectIDPtr& eventID) {
    gathered.event.eventID = eventID;
    for (std::size_t i = 0; i < gathered.objects.size(); ++i) {
        const auto [change, record] = gathered.objects[i];
        const auto& changeID = change->objectID();
        if (changeID->isTemporaryID() || (record && record->objectID()->isTemporaryID())) {
            gathered.saved->forget();
            return;
        }
        gathered.event.changes[i].key = changeID->primaryKey();
        gathered.event.changes[i].recordKey = record ? record->objectID()->primaryKey() : 0;
    }
    gathered.saved->keep(gathered.savesBefore, std::move(gathered.event));
}

}  // namespace

SYNEventBuilder::SYNEventBuilder(std::shared_ptr<SYNEventStore> eventStore) : store_(std::move(eventStore)) {}

void SYNEventBuilder::performBlockAndWait(const std::function<void()>& block) {
    if (auto context = store_->managedObjectContext()) {
        context->performBlockAndWait(block);
    }
}

plat::ErrorPtr SYNEventBuilder::runInContext(
    const std::function<plat::ErrorPtr(ManagedObjectContext&)>& work) {
    auto context = store_->managedObjectContext();
    if (!context) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    plat::ErrorPtr error;
    context->performBlockAndWait([&] {
        try {
            error = work(batchContext_ ? *batchContext_ : *context);
        } catch (const std::exception& exception) {
            error = SYNMakeError(SYNErrorUnknown, exception.what());
        }
    });
    return error;
}

plat::Result<ManagedObjectPtr> SYNEventBuilder::requireEvent(ManagedObjectContext& context) const {
    if (!eventID_) {
        return SYNMakeError(SYNErrorMissingEvent, "No event is being built.");
    }
    auto event = context.existingObjectWithID(eventID_);
    if (!event.ok()) {
        return SYNMakeError(SYNErrorMissingEvent, "The event being built no longer exists.");
    }
    return event;
}

ManagedObjectPtr SYNEventBuilder::event() const {
    auto context = store_->managedObjectContext();
    if (!context) {
        return nullptr;
    }
    auto event = requireEvent(*context);
    return event.ok() ? *event : nullptr;
}

// Counts over every revision row that names the store (its own events, other
// stores' events and baselines), not only its own events: a rebase deletes
// folded events, and counting only what is left would hand out a number the
// baseline already claims to hold, so the new event would be skipped and lost.
plat::Result<int64_t> SYNEventBuilder::nextRevisionNumber(const std::string& store,
                                                          ManagedObjectContext& context) {
    // The store's saved rows answer unless the context holds unsaved ones:
    // then what the store keeps along its saves, or a look-up.
    auto tallies = SYNEventTallies::answeringFor(store_->eventTallies(), context);
    const bool saved = tallies != nullptr;
    SYNEventTallies::Kept<int64_t> kept;
    if (saved) {
        kept = tallies->highestRevision(store);
        if (kept.value) {
            return *kept.value == SYNEventTallies::kNoRevision ? int64_t{0} : *kept.value + 1;
        }
    }
    FetchRequest request(SYNEventRevisionEntityName);
    request.predicate = Predicate::equal("persistentStoreIdentifier", Value(store));
    request.sortDescriptors = {SortDescriptor("revisionNumber", false)};
    request.fetchLimit = 1;
    // Only the number is read: of equal numbers any row will do.
    request.ordersByKey = false;
    auto latest = context.executeFetchRequest(request);
    if (!latest.ok()) {
        return latest.error();
    }
    const int64_t highest = latest->empty() ? SYNEventTallies::kNoRevision
                                            : SYNEventRevision::revision(*latest->front()).revisionNumber;
    if (saved) {
        tallies->keepHighestRevision(store, highest, kept.generation);
    }
    return highest == SYNEventTallies::kNoRevision ? int64_t{0} : highest + 1;
}

plat::Result<SYNRevisionSet> SYNEventBuilder::otherStoreRevisions(const std::string& store,
                                                                  ManagedObjectContext& context) {
    // The local merge of the highest revision (of equal ones, the first
    // made), picked by the store: loading every local merge event and its
    // revision record, as this did, cost each save more with every merge
    // until a rebase folded them.
    //
    // Which merge that is, the store keeps along its saves (the look-up
    // walks every merge event of every store), and once read its revisions
    // too (the event, its list of revisions and each revision were read
    // again for every new event).
    auto tallies = SYNEventTallies::answeringFor(store_->eventTallies(), context);
    const bool saved = tallies != nullptr;
    SYNEventTallies::Kept<SYNEventTallies::LatestMerge> kept;
    ManagedObjectPtr latest;
    bool found = false;
    if (saved) {
        kept = tallies->latestMerge(store);
        if (kept.value && kept.value->event && kept.value->others) {
            // Its revisions were read before, and no save has changed them
            // since: nothing to read.
            SYNRevisionSet set = *kept.value->others;
            set.removeStore(store);
            return set;
        }
        if (kept.value && !kept.value->event) {
            found = true;  // the store has no merge event
        } else if (kept.value) {
            auto event = context.existingObjectWithID(kept.value->event);
            if (event.ok()) {
                latest = *event;
                found = true;
            }
        }
    }
    if (!found) {
        FetchRequest request(SYNStoreModificationEventEntityName);
        request.predicate = Predicate::andPredicate(
            {Predicate::equal("type", Value(int64_t{SYNStoreModificationEventTypeMerge})),
             Predicate::equal("eventRevision.persistentStoreIdentifier", Value(store))});
        request.sortDescriptors = {SortDescriptor("eventRevision.revisionNumber", false)};
        request.fetchLimit = 1;
        auto merges = context.executeFetchRequest(request);
        if (!merges.ok()) {
            return merges.error();
        }
        latest = merges->empty() ? nullptr : merges->front();
    }
    // The latest local merge says what this store has integrated; before any
    // merge, that is what the baseline holds.
    SYNRevisionSet set;
    if (latest) {
        set = SYNStoreModificationEvent::revisionSetOfOtherStores(*latest);
        if (saved && found) {
            // The merge was known, its revisions not yet: kept from now on.
            tallies->keepLatestMergeOthers(store, *latest->objectID(), set, kept.generation);
        }
    } else {
        auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(context);
        if (!baseline.ok()) {
            return baseline.error();
        }
        if (*baseline) {
            set = SYNStoreModificationEvent::revisionSet(**baseline);
        }
    }
    if (saved && !found) {
        SYNEventTallies::LatestMerge merge;
        if (latest) {
            auto own = SYNStoreModificationEvent::revision(*latest);
            merge = {latest->objectID(), own ? own->revisionNumber : 0, set};
        }
        if (!latest || SYNStoreModificationEvent::revision(*latest)) {
            tallies->keepLatestMerge(store, std::move(merge), kept.generation);
        }
    }
    set.removeStore(store);
    return set;
}

plat::Result<int64_t> SYNEventBuilder::highestGlobalCountBesides(const ManagedObject& event,
                                                                 ManagedObjectContext& context) {
    // The event itself counts as it was saved, if it was: the kept count
    // leaves it out only while it was never saved, or saved unfinished
    // (count 0, which the kept count, never below 0, covers).
    auto tallies = store_->eventTallies();
    const bool otherwiseSaved =
        tallies &&
        (event.isInserted() || (!event.hasChanges() && SYNStoreModificationEvent::globalCount(event) <= 0));
    bool saved = false;
    SYNEventTallies::Kept<int64_t> kept;
    if (otherwiseSaved) {
        // Unsaved changes of the event itself are all the context may hold.
        saved = true;
        for (const auto& objects :
             {context.insertedObjects(), context.updatedObjects(), context.deletedObjects()}) {
            for (const auto& object : objects) {
                if (object.get() != &event &&
                    object->entity()->name() == SYNStoreModificationEventEntityName) {
                    saved = false;
                }
            }
        }
    }
    if (saved) {
        kept = tallies->highestGlobalCount();
        if (kept.value) {
            return *kept.value;
        }
    }
    FetchRequest request(SYNStoreModificationEventEntityName);
    request.predicate = Predicate::notPredicate(Predicate::selfIn(Value(plat::Array{
        Value(plat::ObjectPtr(std::const_pointer_cast<ManagedObject>(event.shared_from_this())))})));
    request.sortDescriptors = {SortDescriptor("globalCount", false)};
    request.fetchLimit = 1;
    // Only the count is read: of equal counts any event will do.
    request.ordersByKey = false;
    auto highest = context.executeFetchRequest(request);
    if (!highest.ok()) {
        return highest.error();
    }
    const int64_t count =
        highest->empty() ? 0
                         : std::max<int64_t>(0, SYNStoreModificationEvent::globalCount(*highest->front()));
    if (saved) {
        tallies->keepHighestGlobalCount(count, kept.generation);
    }
    return count;
}

plat::Result<SYNRevision> SYNEventBuilder::makeNewEventOfType(
    int16_t type, const std::optional<std::string>& uniqueIdentifier) {
    auto store = store_->persistentStoreIdentifier();
    if (!store) {
        return SYNMakeError(SYNErrorEnlistState, "The event store holds no event data.");
    }
    SYNRevision revision;
    auto mesh = mesh_.lock();
    auto error = runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto number = nextRevisionNumber(*store, context);
        auto others = otherStoreRevisions(*store, context);
        if (!number.ok() || !others.ok()) {
            return number.ok() ? others.error() : number.error();
        }
        auto event = context.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
        event->setValue(Value(uniqueIdentifier.value_or(newIdentifier())), "uniqueIdentifier");
        event->setValue(Value(int64_t{SYNStoreModificationEventTypeIncomplete}), "type");
        event->setValue(Value(int64_t{0}), "globalCount");
        event->setValue(Value(plat::Date::now().timeIntervalSinceReferenceDate()), "timestamp");
        if (mesh) {
            if (auto version = modelVersionText(mesh->modelVersionHash()); !version.empty()) {
                event->setValue(Value(version), "modelVersion");
            }
            if (auto identifier = mesh->modelVersionIdentifier()) {
                event->setValue(Value(*identifier), "modelVersionIdentifier");
            }
        }
        revision = {*store, *number};
        event->setObject(
            SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(*store, *number, context),
            "eventRevision");
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*event, *others);
        eventID_ = event->objectID();
        oneWayEventChanges_.clear();
        oneWayEventChangeTexts_.clear();
        return nullptr;
    });
    if (error) {
        return error;
    }
    finalType_ = type;
    revision_ = revision;
    return revision;
}

plat::ErrorPtr SYNEventBuilder::finalizeNewEvent() {
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto event = requireEvent(context);
        if (!event.ok()) {
            return event.error();
        }
        // Unfinished events count 0: a finished one always counts above every
        // event present, so the first of an empty store counts 1.
        auto highestCount = highestGlobalCountBesides(**event, context);
        if (!highestCount.ok()) {
            return highestCount.error();
        }
        const int64_t count = *highestCount + 1;
        if (finalType_ == SYNStoreModificationEventTypeMerge) {
            // Loaded, the event's own revision is read by the store's
            // following of its saves, which then takes this merge as the
            // latest instead of asking the store again for the next event.
            if (auto own = (*event)->objectForKey("eventRevision")) {
                (void)own->valueForKey("revisionNumber");
            }
        }
        (*event)->setValue(Value(count), "globalCount");
        (*event)->setValue(Value(int64_t{finalType_}), "type");
        return nullptr;
    });
}

plat::ErrorPtr SYNEventBuilder::saveAndReset() {
    return saveAndReset(true);
}

plat::ErrorPtr SYNEventBuilder::saveAndResetLast() {
    return saveAndReset(false);
}

plat::ErrorPtr SYNEventBuilder::saveAndReset(bool readEventAgain) {
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        // The ID is taken again after the save (it became permanent) and the
        // event refetched after the reset: an event that vanished makes every
        // later call fail instead of writing changes to nothing.
        auto event = requireEvent(context);
        auto newEvent = event.ok()
                            ? gatherNewEventChanges(store_->savedEvent(), context, *event,
                                                    oneWayEventChanges_, oneWayEventChangeTexts_, revision_)
                            : std::nullopt;
        plat::ErrorPtr error = context.save();
        if (event.ok()) {
            eventID_ = (*event)->objectID();
        }
        if (newEvent && !error) {
            keepNewEventChanges(*newEvent, eventID_);
        }
        settleRememberedIdentifiers(!error);
        context.reset();
        oneWayEventChanges_.clear();
        oneWayEventChangeTexts_.clear();
        if (error || !readEventAgain) {
            return error;
        }
        return requireEvent(context).error();
    });
}

void SYNEventBuilder::setRemembersIdentifiers(bool remembers) {
    performBlockAndWait([&] {
        remembersIdentifiers_ = remembers;
        if (!remembers) {
            remembered_.clear();
            unsavedIdentifiers_.clear();
            rememberedRecordStore_.reset();
            rememberedRecordEntity_.reset();
        }
    });
}

void SYNEventBuilder::setAddsEachObjectOnce(bool once) {
    performBlockAndWait([&] { addsEachObjectOnce_ = once; });
}

void SYNEventBuilder::setLinksNewChangesOneWay(bool oneWay) {
    performBlockAndWait([&] { linksOneWay_ = oneWay; });
}

void SYNEventBuilder::prepareNewIdentifiers(std::size_t count) {
    performBlockAndWait([&] {
        // Sixteen bytes each until handed out; their text (upper-case hex
        // in byte order) sorts as the bytes do. Random version-4 UUIDs as
        // plat::UUID makes them, their bytes asked of the source in a few
        // large reads rather than one each.
        std::vector<plat::UUID> prepared;
        prepared.reserve(count);
        constexpr std::size_t kPerRead = 4096;
        std::vector<uint8_t> bytes;
        for (std::size_t first = 0; first < count; first += kPerRead) {
            const std::size_t n = std::min(kPerRead, count - first);
            bytes.resize(16 * n);
            plat::random::fill(bytes.data(), bytes.size());
            for (std::size_t i = 0; i < n; ++i) {
                plat::UUID::Bytes uuid;
                std::copy_n(bytes.data() + 16 * i, 16, uuid.begin());
                uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
                uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
                prepared.push_back(plat::UUID::fromBytes(uuid));
            }
        }
        // Compared as two big-endian halves: the same order as the bytes',
        // in two integer compares rather than a byte-by-byte walk.
        auto halves = [](const plat::UUID& uuid) {
            const auto& b = uuid.bytes();
            uint64_t high = 0;
            uint64_t low = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                high = (high << 8) | b[i];
                low = (low << 8) | b[8 + i];
            }
            return std::pair<uint64_t, uint64_t>(high, low);
        };
        std::vector<std::pair<std::pair<uint64_t, uint64_t>, std::size_t>> order;
        order.reserve(prepared.size());
        for (std::size_t i = 0; i < prepared.size(); ++i) {
            order.emplace_back(halves(prepared[i]), i);
        }
        std::sort(order.begin(), order.end());
        std::vector<plat::UUID> sorted;
        sorted.reserve(prepared.size());
        for (const auto& entry : order) {
            sorted.push_back(prepared[entry.second]);
        }
        preparedIdentifiers_ = std::move(sorted);
        nextPrepared_ = 0;
    });
}

void SYNEventBuilder::planIdentifiersForManagedObjectIDs(const SYNManagedObjectIDs& objectIDs) {
    performBlockAndWait([&] {
        if (!remembersIdentifiers_) {
            return;
        }
        for (const auto& id : objectIDs) {
            if (!id || id->isTemporaryID() || remembered_.findRecordKey(*id)) {
                continue;
            }
            remembered_.add(*id,
                            nextPrepared_ < preparedIdentifiers_.size()
                                ? preparedIdentifiers_[nextPrepared_++].UUIDString()
                                : newIdentifier(),
                            RememberedIdentifiers::kPlanned);
        }
        if (nextPrepared_ != 0 && nextPrepared_ == preparedIdentifiers_.size()) {
            preparedIdentifiers_ = {};
            nextPrepared_ = 0;
        }
    });
}

void SYNEventBuilder::setObjectsHaveNoIdentifierRecords(bool none) {
    performBlockAndWait([&] { objectsHaveNoIdentifierRecords_ = none; });
}

void SYNEventBuilder::settleRememberedIdentifiers(bool saved) {
    if (saved) {
        for (const auto& named : unsavedIdentifiers_) {
            const auto& record = *named.record;
            if (record.isInvalidated() || record.isDeleted() || record.objectID()->isTemporaryID()) {
                continue;
            }
            if (const Value uri = record.valueForKey("storeURI");
                !uri.isString() || *uri.asString() != named.storeURI) {
                continue;
            }
            const Value identifier = record.valueForKey("globalIdentifier");
            if (identifier.isString()) {
                remembered_.add(*named.objectID, *identifier.asString(), record.objectID()->primaryKey());
                if (!rememberedRecordEntity_) {
                    rememberedRecordStore_ = record.objectID()->persistentStore();
                    rememberedRecordEntity_ = record.objectID()->sharedEntity();
                }
            }
        }
    }
    unsavedIdentifiers_.clear();
}

void SYNEventBuilder::RememberedIdentifiers::add(const plat::coredata::ManagedObjectID& id,
                                                 const std::string& identifier, int64_t recordKey) {
    auto& entity = *entityOf(id, true);
    if (entity.sorted && !entity.entries.empty() && entity.entries.back().key >= id.primaryKey()) {
        // Known already with this identifier (its record made since it was
        // planned): the key is set in place, the table stays in order.
        auto found = std::lower_bound(entity.entries.begin(), entity.entries.end(), id.primaryKey(),
                                      [](const Entry& entry, int64_t key) { return entry.key < key; });
        if (found != entity.entries.end() && found->key == id.primaryKey() &&
            pool_.compare(found->offset, found->length, identifier) == 0) {
            found->recordKey = recordKey;
            return;
        }
    }
    const Entry entry{id.primaryKey(), recordKey, static_cast<uint32_t>(pool_.size()),
                      static_cast<uint32_t>(identifier.size())};
    pool_ += identifier;
    if (!entity.entries.empty() && entity.entries.back().key >= entry.key) {
        if (entity.entries.back().key == entry.key) {
            entity.entries.back() = entry;
            return;
        }
        entity.sorted = false;
    }
    entity.entries.push_back(entry);
}

std::optional<std::string> SYNEventBuilder::RememberedIdentifiers::find(
    const plat::coredata::ManagedObjectID& id) {
    const Entry* found = entryOf(id);
    if (!found) {
        return std::nullopt;
    }
    return pool_.substr(found->offset, found->length);
}

std::optional<int64_t> SYNEventBuilder::RememberedIdentifiers::findRecordKey(
    const plat::coredata::ManagedObjectID& id) {
    const Entry* found = entryOf(id);
    if (!found) {
        return std::nullopt;
    }
    return found->recordKey;
}

const SYNEventBuilder::RememberedIdentifiers::Entry* SYNEventBuilder::RememberedIdentifiers::entryOf(
    const plat::coredata::ManagedObjectID& id) {
    if (id.isTemporaryID()) {
        return nullptr;
    }
    auto* entity = entityOf(id, false);
    if (!entity) {
        return nullptr;
    }
    auto& entries = entity->entries;
    if (!entity->sorted) {
        // The latest entry of a key wins: stable, then the last of equal keys kept.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.key < b.key; });
        std::vector<Entry> unique;
        unique.reserve(entries.size());
        for (const auto& entry : entries) {
            if (!unique.empty() && unique.back().key == entry.key) {
                unique.back() = entry;
            } else {
                unique.push_back(entry);
            }
        }
        entries = std::move(unique);
        entity->sorted = true;
    }
    auto found = std::lower_bound(entries.begin(), entries.end(), id.primaryKey(),
                                  [](const Entry& entry, int64_t key) { return entry.key < key; });
    if (found == entries.end() || found->key != id.primaryKey()) {
        return nullptr;
    }
    return &*found;
}

SYNEventBuilder::RememberedIdentifiers::Entity* SYNEventBuilder::RememberedIdentifiers::entityOf(
    const plat::coredata::ManagedObjectID& id, bool make) {
    for (auto& entity : entities_) {
        if (entity.name == id.entity()->name() && entity.store == id.storeIdentifier()) {
            return &entity;
        }
    }
    if (!make) {
        return nullptr;
    }
    entities_.push_back(Entity{id.storeIdentifier(), id.entity()->name(), {}, true});
    return &entities_.back();
}

void SYNEventBuilder::RememberedIdentifiers::clear() {
    entities_.clear();
    pool_.clear();
    pool_.shrink_to_fit();
}

SYNManagedObjectIDs SYNEventBuilder::rememberedRecordIDs(const SYNManagedObjectIDs& objectIDs) {
    SYNManagedObjectIDs records(objectIDs.size());
    auto store = rememberedRecordStore_.lock();
    if (!remembersIdentifiers_ || !store || !rememberedRecordEntity_) {
        return records;
    }
    for (std::size_t i = 0; i < objectIDs.size(); ++i) {
        if (auto key = remembered_.findRecordKey(*objectIDs[i]);
            key && *key != RememberedIdentifiers::kPlanned) {
            records[i] = store->objectIDFor(rememberedRecordEntity_.get(), *key);
        }
    }
    return records;
}

plat::ErrorPtr SYNEventBuilder::updateEventRevisionsAccountingForMergeOfEventIDs(
    const SYNManagedObjectIDs& eventIDs) {
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto event = requireEvent(context);
        if (!event.ok()) {
            return event.error();
        }
        SYNRevisionSet set = SYNStoreModificationEvent::revisionSetOfOtherStores(**event);
        for (const auto& id : eventIDs) {
            auto merged = context.existingObjectWithID(id);
            if (!merged.ok()) {
                return merged.error();
            }
            set = set.revisionSetByTakingStorewiseMaximumWithRevisionSet(
                SYNStoreModificationEvent::revisionSet(**merged));
        }
        set.removeStore(SYNStoreModificationEvent::storeIdentifier(**event));
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(**event, set);
        return nullptr;
    });
}

plat::ErrorPtr SYNEventBuilder::checkUniquenessOfGlobalIdentifiers() {
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto event = requireEvent(context);
        if (!event.ok()) {
            return event.error();
        }
        IDMap seen;
        for (const auto& change : (*event)->objectsForKey("objectChanges")) {
            auto identifier = change->objectForKey("globalIdentifier");
            if (!identifier || !seen.emplace(identifier->objectID(), change).second) {
                return SYNMakeError(
                    SYNErrorDuplicateGlobalIdentifiers,
                    "The event's changes and global identifiers do not correspond one to one.");
            }
        }
        return nullptr;
    });
}

std::vector<std::optional<std::string>> SYNEventBuilder::retrieveGlobalIdentifierStringsForManagedObjects(
    const SYNManagedObjects& objects, bool storedInEventStore) {
    std::vector<std::optional<std::string>> strings(objects.size());
    if (!storedInEventStore) {
        if (auto mesh = mesh_.lock()) {
            auto given = mesh->globalIdentifiersForManagedObjects(objects);
            if (given.size() == objects.size()) {
                strings = std::move(given);
            }
        }
        return strings;
    }
    SYNManagedObjectIDs ids;
    for (const auto& object : objects) {
        ids.push_back(object->objectID());
    }
    // A failed look-up leaves every string absent. Callers then find the
    // records by store URI, as this look-up does, and report that failure.
    (void)runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(ids, context);
        if (!records.ok()) {
            return records.error();
        }
        for (std::size_t i = 0; i < records->size(); ++i) {
            if (const auto& record = (*records)[i]) {
                strings[i] = *record->valueForKey("globalIdentifier").asString();
            }
        }
        return nullptr;
    });
    return strings;
}

plat::Result<SYNManagedObjectIDs> SYNEventBuilder::addGlobalIdentifiersForManagedObjectIDs(
    const SYNManagedObjectIDs& objectIDs, const std::vector<std::optional<std::string>>& identifierStrings) {
    SYNManagedObjectIDs result;
    auto error = runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto records = globalIdentifierRecords(objectIDs, identifierStrings, context);
        if (!records.ok()) {
            return records.error();
        }
        result.reserve(records->size());
        for (const auto& record : *records) {
            result.push_back(record->objectID());
        }
        return nullptr;
    });
    if (error) {
        return error;
    }
    return result;
}

plat::Result<SYNManagedObjects> SYNEventBuilder::globalIdentifierRecords(
    const SYNManagedObjectIDs& objectIDs, const std::vector<std::optional<std::string>>& identifierStrings,
    ManagedObjectContext& context) {
    // Each object's URI is made once, in the event store's form, as the
    // string value the look-up's list and the records' new URIs share.
    auto storeURIs = SYNStoreURIs::forContext(context);
    std::vector<Value> uriValues;
    uriValues.reserve(objectIDs.size());
    for (const auto& id : objectIDs) {
        uriValues.emplace_back(storeURIs->encode(SYNGlobalIdentifier::storeURIForObjectID(*id)));
    }
    auto byURI = objectsHaveNoIdentifierRecords_
                     ? plat::Result<SYNManagedObjects>(SYNManagedObjects(objectIDs.size()))
                     : SYNGlobalIdentifier::fetchGlobalIdentifiersForStoredURIs(uriValues, context);
    if (!byURI.ok()) {
        return byURI.error();
    }
    // Records of given identifiers, by entity and identifier.
    std::map<std::pair<std::string, std::string>, ManagedObjectPtr> named;
    std::map<std::string, std::vector<std::string>> wanted;
    for (std::size_t i = 0; i < objectIDs.size(); ++i) {
        if (i < identifierStrings.size() && identifierStrings[i]) {
            wanted[objectIDs[i]->entity()->name()].push_back(*identifierStrings[i]);
        }
    }
    for (const auto& [entity, strings] : wanted) {
        auto records =
            SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(strings, entity, context);
        if (!records.ok()) {
            return records.error();
        }
        for (std::size_t i = 0; i < strings.size(); ++i) {
            if ((*records)[i]) {
                named[{entity, strings[i]}] = (*records)[i];
            }
        }
    }
    // New identifiers are handed out in ascending order, so that the
    // batch's records go into the index over (random) identifiers in
    // its order, each index page read and written once per save rather
    // than once per record. Each is still a fresh random UUID.
    // Prepared ones (prepareNewIdentifiers) come first, in their order.
    std::vector<std::string> fresh;
    for (std::size_t i = 0; i < objectIDs.size(); ++i) {
        if (!(*byURI)[i] && !(i < identifierStrings.size() && identifierStrings[i])) {
            if (nextPrepared_ < preparedIdentifiers_.size()) {
                fresh.push_back(preparedIdentifiers_[nextPrepared_++].UUIDString());
            } else {
                fresh.push_back(newIdentifier());
            }
        }
    }
    if (nextPrepared_ != 0 && nextPrepared_ == preparedIdentifiers_.size()) {
        preparedIdentifiers_ = {};
        nextPrepared_ = 0;
    }
    std::sort(fresh.begin(), fresh.end());
    std::size_t nextFresh = 0;
    // Records made here by URI, so an object listed twice gets one.
    std::unordered_map<std::string_view, ManagedObjectPtr> made;
    // Whether a record found by its URI lost it here (to a given identifier).
    bool clearedAny = false;
    SYNManagedObjects result;
    result.reserve(objectIDs.size());
    for (std::size_t i = 0; i < objectIDs.size(); ++i) {
        const std::string& entity = objectIDs[i]->entity()->name();
        const std::string& uri = *uriValues[i].asString();
        ManagedObjectPtr record = (*byURI)[i];
        if (!record) {
            if (auto it = made.find(uri); it != made.end()) {
                record = it->second;
            }
        }
        if (i < identifierStrings.size() && identifierStrings[i]) {
            auto& slot = named[{entity, *identifierStrings[i]}];
            if (!slot) {
                slot = makeGlobalIdentifier(*identifierStrings[i], entity, context);
            }
            if (record && record != slot) {
                // The object now answers to the given identifier.
                record->setValue(Value(), "storeURI");
                clearedAny = true;
            }
            record = slot;
        } else if (!record) {
            record = makeGlobalIdentifier(
                nextFresh < fresh.size() ? std::move(fresh[nextFresh++]) : newIdentifier(), entity, context);
        }
        if (!(*byURI)[i]) {
            made[uri] = record;  // only these are looked for there
        }
        // A record the look-up found by this URI holds it already.
        if (record != (*byURI)[i] || clearedAny) {
            if (const Value stored = record->valueForKey("storeURI");
                !stored.isString() || *stored.asString() != uri) {
                record->setValue(uriValues[i], "storeURI");
            }
        }
        if (remembersIdentifiers_ && !objectIDs[i]->isTemporaryID()) {
            unsavedIdentifiers_.push_back({objectIDs[i], uri, record});
        }
        result.push_back(std::move(record));
    }
    return result;
}

SYNPropertyChangeValueArrays SYNEventBuilder::propertyChangeValueArraysForInsertedObjects(
    const SYNManagedObjects& objects, bool objectsAreSaved, ManagedObjectContext& /*context*/) {
    SYNPropertyChangeValueArrays arrays;
    arrays.reserve(objects.size());
    for (const auto& object : objects) {
        arrays.push_back(SYNPropertyChangeValue::propertyChangesForObject(
            *object, store_, allPropertyNames(*object), !objectsAreSaved, true));
    }
    return arrays;
}

void SYNEventBuilder::updatePropertyChangeValuesForUpdatedObjects(
    const SYNManagedObjects& objects, ManagedObjectContext& context, unsigned options,
    SYNPropertyChangeValuesByObjectID& valuesByObjectID) {
    for (const auto& object : objects) {
        auto it = valuesByObjectID.find(object->objectID());
        if (it == valuesByObjectID.end()) {
            continue;
        }
        if (!(options & SYNUpdateOptionStoreSavedValues)) {
            if (options & (SYNUpdateOptionPreSave | SYNUpdateOptionPreSaveWithStoredValues)) {
                std::vector<std::string> names;
                names.reserve(it->second.size());
                for (const auto& value : it->second) {
                    names.push_back(value.propertyName());
                }
                it->second = SYNPropertyChangeValue::propertyChangesForObject(
                    *object, store_, names, true, (options & SYNUpdateOptionPreSaveWithStoredValues) != 0);
            }
            continue;
        }
        std::vector<std::string> savedNames;  // unordered to-manys keep their differences
        for (const auto& value : it->second) {
            if (value.type() != SYNPropertyChangeTypeToManyRelationship) {
                savedNames.push_back(value.propertyName());
            }
        }
        // A save of only unordered to-manys (a folder's members) has no saved
        // value to take.
        auto saved = savedNames.empty() ? std::vector<SYNPropertyChangeValue>()
                                        : SYNPropertyChangeValue::propertyChangesForObject(
                                              *object, store_, savedNames, false, true);
        for (auto& value : it->second) {
            auto fresh =
                std::find_if(saved.begin(), saved.end(), [&](const SYNPropertyChangeValue& candidate) {
                    return candidate.propertyName() == value.propertyName();
                });
            if (fresh == saved.end()) {
                continue;
            }
            if (value.type() == SYNPropertyChangeTypeAttribute ||
                value.type() == SYNPropertyChangeTypeToOneRelationship) {
                value = std::move(*fresh);  // each saved value is taken once
            } else if (value.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
                value.setRelatedObjectIDs(nullptr, value.addedObjectIDs(), value.removedObjectIDs(),
                                          fresh->movedObjectIDsByIndex());
            }
        }
        for (auto& value : it->second) {
            resolveTemporaryIDs(value, context);
        }
    }
}

plat::ErrorPtr SYNEventBuilder::moveLargeValuesToDataFiles(std::vector<SYNPropertyChangeValue>& values) {
    for (auto& value : values) {
        const plat::Data* data = value.value() ? value.value()->asData() : nullptr;
        if (value.type() != SYNPropertyChangeTypeAttribute || data == nullptr ||
            data->length() <= SYNMaximumInlineDataLength) {
            continue;
        }
        auto name = store_->storeDataFile(*data);
        if (!name.ok()) {
            return name.error();
        }
        value.setFilename(*name);
        value.setValue(std::nullopt);
    }
    return nullptr;
}

plat::ErrorPtr SYNEventBuilder::resolveRelatedObjectIDs(std::vector<SYNPropertyChangeValue*>& values,
                                                        const IdentifiersByStoreURI& known,
                                                        const IdentifiersByObjectID& knownByID,
                                                        ManagedObjectContext& context) {
    // Targets that are objects of these changes (an item moved, the folders
    // it left and joined) take their identifiers where they are, without
    // being listed and copied; remembered identifiers, when kept, come first.
    const bool byIDFirst = !remembersIdentifiers_ && !knownByID.empty();
    bool anyKnownByID = false;
    auto knownFor = [&](const ManagedObjectIDPtr& id) -> const std::string* {
        if (!byIDFirst || id->isTemporaryID()) {
            return nullptr;
        }
        auto it = knownByID.find(id);
        return it == knownByID.end() ? nullptr : it->second.asString();
    };
    // Remembered identifiers are taken where they are kept, as each link is
    // resolved: a folder's change lists every member, and listing each
    // member and copying its string into a table first cost several
    // allocations a member.
    bool anyRemembered = false;
    auto remembered = [&](const ManagedObjectIDPtr& id) {
        return remembersIdentifiers_ && remembered_.findRecordKey(*id).has_value();
    };
    // Each other target once: many changes of a batch name the same few objects.
    SYNManagedObjectIDs ids;
    std::unordered_set<ManagedObjectIDPtr, plat::coredata::ObjectIDHash, plat::coredata::ObjectIDEqual>
        listed;
    auto add = [&](const ManagedObjectIDPtr& id) {
        if (!id) {
            return;
        }
        if (knownFor(id)) {
            anyKnownByID = true;
        } else if (remembered(id)) {
            anyRemembered = true;
        } else if (listed.insert(id).second) {
            ids.push_back(id);
        }
    };
    for (auto* value : values) {
        if (!value->hasUnresolvedObjectIDs()) {
            continue;
        }
        add(value->relatedObjectID());
        for (const auto& id : value->addedObjectIDs()) {
            add(id);
        }
        for (const auto& id : value->removedObjectIDs()) {
            add(id);
        }
        for (const auto& entry : value->movedObjectIDsByIndex()) {
            add(entry.second);
        }
    }
    if (ids.empty() && !anyKnownByID && !anyRemembered) {
        return nullptr;
    }
    std::unordered_map<ManagedObjectIDPtr, std::string, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        identifiers;
    if (!knownByID.empty()) {
        SYNManagedObjectIDs unknown;
        for (const auto& id : ids) {
            auto it = id->isTemporaryID() ? knownByID.end() : knownByID.find(id);
            if (it != knownByID.end()) {
                identifiers.emplace(id, *it->second.asString());
            } else {
                unknown.push_back(id);
            }
        }
        ids = std::move(unknown);
    }
    if (!known.empty() && !ids.empty()) {
        // Objects changed together link to each other (an item moved, the
        // folders it left and joined): their records are at hand already.
        SYNManagedObjectIDs unknown;
        for (const auto& id : ids) {
            auto it =
                id->isTemporaryID() ? known.end() : known.find(SYNGlobalIdentifier::storeURIForObjectID(*id));
            if (it != known.end()) {
                identifiers.emplace(id, it->second);
            } else {
                unknown.push_back(id);
            }
        }
        ids = std::move(unknown);
    }
    // The strings alone, read without registering a record: a folder's
    // change lists every member, and loading each member's record (to read
    // one string of it) cost most of a large baseline's links.
    auto strings =
        ids.empty()
            ? plat::Result<std::vector<std::optional<std::string>>>(std::vector<std::optional<std::string>>())
            : SYNGlobalIdentifier::fetchGlobalIdentifierStringsForObjectIDs(ids, context);
    if (!strings.ok()) {
        return strings.error();
    }
    SYNManagedObjectIDs missing;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if ((*strings)[i]) {
            identifiers.emplace(ids[i], std::move(*(*strings)[i]));
        } else {
            missing.push_back(ids[i]);
        }
    }
    if (!missing.empty()) {
        // Targets without an identifier yet get one, so the link is kept.
        auto records = addGlobalIdentifiersForManagedObjectIDs(
            missing, std::vector<std::optional<std::string>>(missing.size()));
        if (!records.ok()) {
            return records.error();
        }
        for (std::size_t i = 0; i < missing.size(); ++i) {
            auto record = context.objectWithID((*records)[i]);
            identifiers.emplace(missing[i], *record->valueForKey("globalIdentifier").asString());
        }
    }
    for (auto* value : values) {
        value->resolveRelatedObjectIDs([&](const ManagedObjectIDPtr& id) -> std::optional<std::string> {
            if (const std::string* identifier = knownFor(id)) {
                return *identifier;
            }
            if (remembersIdentifiers_) {
                if (auto identifier = remembered_.find(*id)) {
                    return identifier;
                }
            }
            auto it = identifiers.find(id);
            return it == identifiers.end() ? std::nullopt : std::optional<std::string>(it->second);
        });
    }
    return nullptr;
}

plat::ErrorPtr SYNEventBuilder::addChanges(std::vector<ChangeSpec>& specs, ManagedObjectContext& context) {
    auto event = requireEvent(context);
    if (!event.ok()) {
        return event.error();
    }
    if (specs.empty()) {
        return nullptr;  // a save without inserts (or updates) asks for no look-up
    }
    std::vector<SYNPropertyChangeValue*> pending;
    // The identifier of each object these changes are for, by the store URI
    // its record holds (the record found for that URI, or made for it): a
    // link to one of these objects takes it without a look-up.
    IdentifiersByStoreURI known;
    IdentifiersByObjectID knownByID;
    knownByID.reserve(specs.size());
    auto storeURIs = SYNStoreURIs::forContext(context);
    for (auto& spec : specs) {
        for (auto& value : spec.values) {
            pending.push_back(&value);
        }
        if (auto error = moveLargeValuesToDataFiles(spec.values)) {
            return error;
        }
        const Value identifier = spec.globalIdentifier->valueForKey("globalIdentifier");
        if (!identifier.isString()) {
            continue;
        }
        spec.identifier = identifier;
        if (spec.objectID) {
            knownByID.emplace(spec.objectID, identifier);
        } else if (auto uri = storeURIs->decode(spec.globalIdentifier->valueForKey("storeURI"))) {
            known.emplace(std::move(*uri), *identifier.asString());
        }
    }
    if (auto error = resolveRelatedObjectIDs(pending, known, knownByID, context)) {
        return error;
    }
    // Only this event's changes of the objects, through the compound index
    // over (event, identifier): not every change of the objects in other
    // events and the baseline (each decoded on reading; a folder's baseline
    // change lists all its members). Asked in no particular order: ordered
    // by key, SQLite walks the event's index instead (its rows come in key
    // order, sparing a sort), so building a large event (enlisting, merges)
    // read every change written so far again at each batch. The event is
    // also compared in memory.
    // An import gives each object one change: there is none to look for.
    // By record: the context holds one object per record.
    ChangesByRecord changeFor;
    SYNManagedObjects existing;
    if (!addsEachObjectOnce_ && (*event)->isInserted()) {
        // An event never saved has no change in the store: every change it
        // has is in this context, in its list of changes (kept whole, in step
        // with each change's link) or among those linked to it one way.
        existing = (*event)->objectsForKey("objectChanges");
        existing.insert(existing.end(), oneWayEventChanges_.begin(), oneWayEventChanges_.end());
        std::erase_if(existing, [](const ManagedObjectPtr& change) { return change->isDeleted(); });
    } else if (!addsEachObjectOnce_) {
        plat::Array identifiers;
        identifiers.reserve(specs.size());
        for (const auto& spec : specs) {
            identifiers.emplace_back(plat::ObjectPtr(spec.globalIdentifier));
        }
        FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = Predicate::andPredicate(
            {Predicate::equal("storeModificationEvent", Value(plat::ObjectPtr(*event))),
             Predicate::in("globalIdentifier", Value(std::move(identifiers)))});
        request.ordersByKey = false;
        auto fetched = context.executeFetchRequest(request);
        if (!fetched.ok()) {
            return fetched.error();
        }
        existing = std::move(*fetched);
    }
    changeFor.reserve(existing.size() + specs.size());
    const auto eventID = (*event)->objectID();
    for (const auto& change : existing) {
        auto owner = change->objectForKey("storeModificationEvent");
        if (!owner || !owner->objectID()->isEqualID(*eventID)) {
            continue;
        }
        if (auto identifier = change->objectForKey("globalIdentifier")) {
            // Two changes of one object in an event: the later one (as when
            // the rows came in key order).
            auto& slot = changeFor[identifier.get()];
            if (!slot || slot->objectID()->primaryKey() < change->objectID()->primaryKey()) {
                slot = change;
            }
        }
    }
    // A baseline made from the store (an enlist) gives each insert the same
    // revision: its values are made once.
    std::optional<SYNObjectChange::RevisionValues> baselineRevision;
    if (finalType_ == SYNStoreModificationEventTypeBaseline && revision_) {
        baselineRevision =
            SYNObjectChange::valuesRevisionValues(revision_, *SYNStoreIdentifiers::forContext(context));
    }
    for (auto& spec : specs) {
        auto& change = changeFor[spec.globalIdentifier.get()];
        int16_t type = spec.type;
        std::vector<SYNPropertyChangeValue> values = std::move(spec.values);
        const bool made = !change;
        if (change) {
            std::tie(type, values) = foldChange(SYNObjectChange::type(*change),
                                                SYNObjectChange::propertyChangeValues(*change), type, values);
        } else {
            change = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            const Value entityName = spec.globalIdentifier->valueForKey("nameOfEntity");
            change->setValue(entityName, "nameOfEntity");
            linkNewChange(change, spec.globalIdentifier, *event, entityName, spec.identifier);
        }
        change->setValue(Value(int64_t{type}), "type");
        syncDataFileRecords(*change, values, context, made);
        SYNObjectChange::setPropertyChangeValues(*change, std::move(values));
        // A baseline made from the store (an enlist) set every value it holds.
        if (baselineRevision && type == SYNObjectChangeTypeInsert) {
            SYNObjectChange::setValuesRevision(*change, *baselineRevision);
        }
    }
    return nullptr;
}

void SYNEventBuilder::linkNewChange(const ManagedObjectPtr& change, const ManagedObjectPtr& record,
                                    const ManagedObjectPtr& event, const Value& entityName,
                                    const Value& identifier) {
    // The change's row holds the keys of both all the same. A saved record
    // left untouched is neither validated nor committed nor announced; the
    // event's list is not kept in step change by change.
    if (linksOneWay_ && !record->isInserted() && !record->isDeleted()) {
        change->setPrimitiveValue(Value(plat::ObjectPtr(record)), "globalIdentifier");
    } else {
        change->setObject(record, "globalIdentifier");
    }
    if (linksOneWay_ && event->isInserted()) {
        change->setPrimitiveValue(Value(plat::ObjectPtr(event)), "storeModificationEvent");
        oneWayEventChanges_.push_back(change);
        oneWayEventChangeTexts_.push_back({record.get(), entityName, identifier});
    } else if (addsEachObjectOnce_ && !event->isInserted() && !event->isDeleted()) {
        // An import's event, saved with its first batch: each batch is saved
        // and reset before the next, and nothing reads the event's list of
        // changes meanwhile, so the event stays untouched by its batches
        // (its list is neither kept in step change by change nor written).
        change->setPrimitiveValue(Value(plat::ObjectPtr(event)), "storeModificationEvent");
    } else {
        change->setObject(event, "storeModificationEvent");
    }
}

plat::ErrorPtr SYNEventBuilder::addInsertChangesForPropertyChangeValueArrays(
    SYNPropertyChangeValueArrays propertyChangeValueArrays,
    const SYNManagedObjectIDs& globalIdentifierObjectIDs) {
    if (propertyChangeValueArrays.size() != globalIdentifierObjectIDs.size()) {
        return SYNMakeError(SYNErrorUnknown, "Each insert needs one global identifier.");
    }
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        std::vector<ChangeSpec> specs;
        for (std::size_t i = 0; i < globalIdentifierObjectIDs.size(); ++i) {
            auto identifier = context.existingObjectWithID(globalIdentifierObjectIDs[i]);
            if (!identifier.ok()) {
                return identifier.error();
            }
            specs.push_back(
                {*identifier, SYNObjectChangeTypeInsert, std::move(propertyChangeValueArrays[i])});
        }
        return addChanges(specs, context);
    });
}

plat::ErrorPtr SYNEventBuilder::addUpdateChangesForObjectIDs(
    const SYNManagedObjectIDs& objectIDs, const SYNPropertyChangeValuesByObjectID& valuesByObjectID) {
    return addUpdateChanges(objectIDs, valuesByObjectID, nullptr);
}

plat::ErrorPtr SYNEventBuilder::addUpdateChangesForObjectIDs(
    const SYNManagedObjectIDs& objectIDs, SYNPropertyChangeValuesByObjectID&& valuesByObjectID) {
    return addUpdateChanges(objectIDs, valuesByObjectID, &valuesByObjectID);
}

plat::ErrorPtr SYNEventBuilder::addUpdateChanges(const SYNManagedObjectIDs& objectIDs,
                                                 const SYNPropertyChangeValuesByObjectID& valuesByObjectID,
                                                 SYNPropertyChangeValuesByObjectID* taken) {
    SYNManagedObjectIDs changed;
    for (const auto& id : objectIDs) {
        auto it = valuesByObjectID.find(id);
        if (it != valuesByObjectID.end() && !it->second.empty()) {
            changed.push_back(id);
        }
    }
    if (changed.empty()) {
        return nullptr;
    }
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto records = globalIdentifierRecords(
            changed, std::vector<std::optional<std::string>>(changed.size()), context);
        if (!records.ok()) {
            return records.error();
        }
        std::vector<ChangeSpec> specs;
        specs.reserve(changed.size());
        for (std::size_t i = 0; i < changed.size(); ++i) {
            // Each record now holds its object's URI (and is the one a look-up
            // by that URI finds), so links to the object take its identifier
            // by the object's ID.
            // Values taken over are moved: an object listed twice gets none
            // the second time, which folds into its first change unchanged.
            specs.push_back({(*records)[i], SYNObjectChangeTypeUpdate,
                             taken ? std::vector<SYNPropertyChangeValue>(std::move(taken->at(changed[i])))
                                   : std::vector<SYNPropertyChangeValue>(valuesByObjectID.at(changed[i])),
                             changed[i]});
        }
        return addChanges(specs, context);
    });
}

plat::ErrorPtr SYNEventBuilder::addDeleteChangesForObjectIDs(const SYNManagedObjectIDs& objectIDs) {
    if (objectIDs.empty()) {
        return nullptr;
    }
    return runInContext([&](ManagedObjectContext& context) -> plat::ErrorPtr {
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(objectIDs, context);
        if (!records.ok()) {
            return records.error();
        }
        std::vector<ChangeSpec> specs;
        for (const auto& record : *records) {
            if (record) {
                specs.push_back({record, SYNObjectChangeTypeDelete, {}});
            }
        }
        return addChanges(specs, context);
    });
}

plat::ErrorPtr SYNEventBuilder::addChangesForInsertedObjects(const SYNManagedObjects& objects,
                                                             bool objectsAreSaved,
                                                             bool useGlobalIdentifiersInEventStore,
                                                             ManagedObjectContext& context) {
    if (objects.size() <= SYNInsertBatchSize) {
        return addChangesForInsertedBatch(objects, objectsAreSaved, useGlobalIdentifiersInEventStore,
                                          context);
    }
    return addChangesForInsertedObjectsInBatches(objects, objectsAreSaved, useGlobalIdentifiersInEventStore,
                                                 context);
}

plat::ErrorPtr SYNEventBuilder::addChangesForInsertedObjectsInBatches(const SYNManagedObjects& objects,
                                                                      bool objectsAreSaved,
                                                                      bool useGlobalIdentifiersInEventStore,
                                                                      ManagedObjectContext& context) {
    auto eventContext = store_->managedObjectContext();
    // The batches read the event and the identifiers from the store.
    if (auto error = runInContext([&](ManagedObjectContext& own) -> plat::ErrorPtr {
            auto event = requireEvent(own);
            if (!event.ok()) {
                return event.error();
            }
            if (auto error = own.save()) {
                return error;
            }
            eventID_ = (*event)->objectID();  // permanent now
            return nullptr;
        })) {
        return error;
    }
    plat::ErrorPtr error;
    // First every object's identifier record, then the changes: a link to an
    // object of a later batch must find the record its own insert names.
    for (bool identifiersOnly : {true, false}) {
        for (std::size_t begin = 0; begin < objects.size() && !error; begin += SYNInsertBatchSize) {
            const std::size_t end = std::min(objects.size(), begin + SYNInsertBatchSize);
            const SYNManagedObjects batch(objects.begin() + static_cast<std::ptrdiff_t>(begin),
                                          objects.begin() + static_cast<std::ptrdiff_t>(end));
            // One block of the event store's context from first write to save:
            // a clean-up of unreferenced data files running in between would
            // not see this batch's records and could delete their files.
            eventContext->performBlockAndWait([&] {
                batchContext_ = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
                if (auto parent = eventContext->parentContext()) {
                    batchContext_->setParentContext(parent);
                } else {
                    batchContext_->setPersistentStoreCoordinator(eventContext->persistentStoreCoordinator());
                }
                try {
                    if (identifiersOnly) {
                        SYNManagedObjectIDs ids;
                        for (const auto& object : batch) {
                            ids.push_back(object->objectID());
                        }
                        error = addGlobalIdentifiersForManagedObjectIDs(
                                    ids, retrieveGlobalIdentifierStringsForManagedObjects(
                                             batch, useGlobalIdentifiersInEventStore))
                                    .error();
                    } else {
                        error = addChangesForInsertedBatch(batch, objectsAreSaved,
                                                           useGlobalIdentifiersInEventStore, context);
                    }
                    if (!error) {
                        error = batchContext_->save();
                    }
                } catch (const std::exception& exception) {
                    error = SYNMakeError(SYNErrorUnknown, exception.what());
                }
                settleRememberedIdentifiers(!error);
                batchContext_->reset();
                batchContext_.reset();
            });
        }
    }
    // What the event store's context holds was saved above; it reads the
    // event and the identifiers the batches changed again when next used.
    // (Refreshing cannot fail; a store without event data has none to refresh.)
    (void)runInContext([](ManagedObjectContext& own) -> plat::ErrorPtr {
        for (const auto& object : own.registeredObjects()) {
            own.refreshObject(object, false);
        }
        return nullptr;
    });
    return error;
}

plat::ErrorPtr SYNEventBuilder::addChangesForInsertedBatch(const SYNManagedObjects& objects,
                                                           bool objectsAreSaved,
                                                           bool useGlobalIdentifiersInEventStore,
                                                           ManagedObjectContext& context) {
    if (objects.empty()) {
        return nullptr;
    }
    auto arrays = propertyChangeValueArraysForInsertedObjects(objects, objectsAreSaved, context);
    SYNManagedObjectIDs ids;
    for (const auto& object : objects) {
        ids.push_back(object->objectID());
    }
    if (useGlobalIdentifiersInEventStore) {
        // The records found by store URI are the identifiers: one look-up,
        // where asking for their strings and then for records of those
        // strings would look each object up three times.
        SYNManagedObjectIDs identifiers(ids.size());
        SYNManagedObjectIDs missing;
        std::vector<std::size_t> missingAt;
        if (auto error = runInContext([&](ManagedObjectContext& own) -> plat::ErrorPtr {
                // Records this builder made and saved (while it remembers
                // them) are fetched by key; only the others are looked up by
                // their objects' store URIs.
                identifiers = rememberedRecordIDs(ids);
                auto storeURIs = SYNStoreURIs::forContext(own);
                plat::Array known;
                for (const auto& id : identifiers) {
                    if (id) {
                        known.push_back(Value(plat::ObjectPtr(id)));
                    }
                }
                if (!known.empty()) {
                    FetchRequest request(SYNGlobalIdentifierEntityName);
                    request.predicate = Predicate::selfIn(Value(std::move(known)));
                    auto fetched = own.executeFetchRequest(request);
                    if (!fetched.ok()) {
                        return fetched.error();
                    }
                    std::unordered_set<ManagedObjectIDPtr, plat::coredata::ObjectIDHash,
                                       plat::coredata::ObjectIDEqual>
                        present;
                    for (const auto& record : *fetched) {
                        present.insert(record->objectID());
                    }
                    for (auto& id : identifiers) {
                        if (id && !present.count(id)) {
                            id = nullptr;
                        }
                    }
                }
                SYNManagedObjectIDs unknown;
                std::vector<std::size_t> unknownAt;
                IDMap planned;  // records made here, so an object listed twice gets one
                // A batch is mostly of one entity: its name's text is shared
                // by the records made for it.
                const plat::coredata::EntityDescription* namedEntity = nullptr;
                Value entityName;
                for (std::size_t i = 0; i < ids.size(); ++i) {
                    if (identifiers[i]) {
                        continue;
                    }
                    if (auto it = planned.find(ids[i]); it != planned.end()) {
                        identifiers[i] = it->second->objectID();
                        continue;
                    }
                    // Planned (planIdentifiersForManagedObjectIDs): the
                    // record is made now, with the identifier that links
                    // already name, and saved with the change.
                    if (remembersIdentifiers_ && !ids[i]->isTemporaryID() &&
                        remembered_.findRecordKey(*ids[i]) == RememberedIdentifiers::kPlanned) {
                        if (auto identifier = remembered_.find(*ids[i])) {
                            const std::string uri =
                                storeURIs->encode(SYNGlobalIdentifier::storeURIForObjectID(*ids[i]));
                            if (namedEntity != ids[i]->entity()) {
                                namedEntity = ids[i]->entity();
                                entityName = Value(namedEntity->name());
                            }
                            auto record = makeGlobalIdentifier(*identifier, entityName, own);
                            record->setValue(Value(uri), "storeURI");
                            unsavedIdentifiers_.push_back({ids[i], uri, record});
                            identifiers[i] = record->objectID();
                            planned.emplace(ids[i], record);
                            continue;
                        }
                    }
                    unknown.push_back(ids[i]);
                    unknownAt.push_back(i);
                }
                auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(unknown, own);
                if (!records.ok()) {
                    return records.error();
                }
                for (std::size_t i = 0; i < unknown.size(); ++i) {
                    if (const auto& record = (*records)[i]) {
                        identifiers[unknownAt[i]] = record->objectID();
                    } else {
                        missing.push_back(unknown[i]);
                        missingAt.push_back(unknownAt[i]);
                    }
                }
                return nullptr;
            })) {
            return error;
        }
        if (!missing.empty()) {
            auto made = addGlobalIdentifiersForManagedObjectIDs(
                missing, std::vector<std::optional<std::string>>(missing.size()));
            if (!made.ok()) {
                return made.error();
            }
            for (std::size_t i = 0; i < missing.size(); ++i) {
                identifiers[missingAt[i]] = (*made)[i];
            }
        }
        return addInsertChangesForPropertyChangeValueArrays(std::move(arrays), identifiers);
    }
    auto identifiers = addGlobalIdentifiersForManagedObjectIDs(
        ids, retrieveGlobalIdentifierStringsForManagedObjects(objects, false));
    if (!identifiers.ok()) {
        return identifiers.error();
    }
    return addInsertChangesForPropertyChangeValueArrays(std::move(arrays), *identifiers);
}

plat::ErrorPtr SYNEventBuilder::addChangesForUnsavedManagedObjectContext(ManagedObjectContext& context) {
    context.processPendingChanges();
    auto keep = [](const SYNManagedObjects& objects) {
        SYNManagedObjects kept;
        for (const auto& object : objects) {
            if (!isIgnoredEntity(*object)) {
                kept.push_back(object);
            }
        }
        return kept;
    };
    SYNManagedObjects inserted = keep(context.insertedObjects());
    if (auto error = context.obtainPermanentIDsForObjects(inserted)) {
        return error;
    }
    SYNPropertyChangeValuesByObjectID updates;
    SYNManagedObjectIDs updatedIDs;
    for (const auto& object : keep(context.updatedObjects())) {
        auto values = SYNPropertyChangeValue::propertyChangesForObject(
            *object, store_, object->changedPropertyNames(), true, true);
        if (!values.empty()) {
            updatedIDs.push_back(object->objectID());
            updates.emplace(object->objectID(), std::move(values));
        }
    }
    SYNManagedObjectIDs deletedIDs;
    for (const auto& object : keep(context.deletedObjects())) {
        deletedIDs.push_back(object->objectID());
    }
    if (auto error = addChangesForInsertedObjects(inserted, false, false, context)) {
        return error;
    }
    if (auto error = addUpdateChangesForObjectIDs(updatedIDs, updates)) {
        return error;
    }
    return addDeleteChangesForObjectIDs(deletedIDs);
}
