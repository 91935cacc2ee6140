#include "sync/integration/SYNImportedChanges.h"

#include <algorithm>
#include <atomic>
#include <map>

#include "platform/coredata/ManagedObjectContext.h"
#include "sync/eventstore/SYNContextAdditions.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreURIs.h"

using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::PersistentStoreCoordinator;

namespace {

// The hand-offs by coordinator, held by their claimers (not here: records
// kept for no integrator would outlive every store); an entry whose
// coordinator or hand-off is gone is forgotten at the next claim.
struct Registry {
    plat::Mutex mutex;
    std::map<const PersistentStoreCoordinator*,
             std::pair<std::weak_ptr<PersistentStoreCoordinator>, std::weak_ptr<SYNImportedChanges>>>
        entries GUARDED_BY(mutex);
};

Registry& registry() {
    static auto* shared = new Registry();  // never destroyed: saves may be watched during exit
    return *shared;
}

}  // namespace

SYNImportedChanges::SYNImportedChanges(const std::shared_ptr<PersistentStoreCoordinator>& coordinator)
    : coordinator_(coordinator),
      coordinatorAddress_(coordinator.get()),
      storeURL_(syn_storeFileURLOf(*coordinator)) {
    const auto& model = *coordinator->managedObjectModel();
    auto entity = [&](const char* name) {
        auto found = model.entityForName(name);
        return found ? found.get() : nullptr;
    };
    changeEntity_ = entity(SYNObjectChangeEntityName);
    rowEntity_ = entity(SYNGlobalIdentifierEntityName);
    eventEntity_ = entity(SYNStoreModificationEventEntityName);
    fileEntity_ = entity(SYNDataFileEntityName);
}

SYNImportedChanges::~SYNImportedChanges() {
    if (observer_) {
        plat::NotificationCenter::defaultCenter().removeObserver(observer_);
    }
}

void SYNImportedChanges::watch() {
    std::weak_ptr<SYNImportedChanges> weak = weak_from_this();
    observer_ = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
        [weak](const plat::Notification& notification) {
            if (auto self = weak.lock()) {
                self->saved(notification);
            }
        });
}

std::shared_ptr<SYNImportedChanges> SYNImportedChanges::forCoordinator(
    const std::shared_ptr<PersistentStoreCoordinator>& coordinator) {
    if (!coordinator) {
        return nullptr;
    }
    auto& shared = registry();
    plat::MutexLock lock(shared.mutex);
    for (auto it = shared.entries.begin(); it != shared.entries.end();) {
        if (it->second.first.expired() || it->second.second.expired()) {
            it = shared.entries.erase(it);
        } else {
            ++it;
        }
    }
    auto& entry = shared.entries[coordinator.get()];
    auto handOff = entry.second.lock();
    if (!handOff) {
        entry.first = coordinator;
        handOff = std::shared_ptr<SYNImportedChanges>(new SYNImportedChanges(coordinator));
        handOff->watch();
        entry.second = handOff;
    }
    return handOff;
}

std::shared_ptr<SYNImportedChanges> SYNImportedChanges::find(const PersistentStoreCoordinator& coordinator) {
    auto& shared = registry();
    plat::MutexLock lock(shared.mutex);
    auto found = shared.entries.find(&coordinator);
    if (found == shared.entries.end() || found->second.first.expired()) {
        return nullptr;
    }
    return found->second.second.lock();
}

void SYNImportedChanges::drop(const PersistentStoreCoordinator& coordinator) {
    if (auto handOff = find(coordinator)) {
        plat::MutexLock lock(handOff->mutex_);
        handOff->forget();
        handOff->unusable_ = false;
        ++handOff->generation_;  // an import under way offers in vain
    }
}

uint64_t SYNImportedChanges::generation() const {
    plat::MutexLock lock(mutex_);
    return generation_;
}

namespace {
std::atomic<std::size_t> maximumChangesForTesting{0};
}  // namespace

std::size_t SYNImportedChanges::maximumChanges() {
    const std::size_t lowered = maximumChangesForTesting.load(std::memory_order_relaxed);
    return lowered != 0 ? lowered : kMaximumChanges;
}

void SYNImportedChanges::setMaximumChangesForTesting(std::size_t maximum) {
    maximumChangesForTesting.store(maximum, std::memory_order_relaxed);
}

bool SYNImportedChanges::hasRoomFor(std::size_t count) {
    plat::MutexLock lock(mutex_);
    if (unusable_) {
        return false;
    }
    if (held_ + count > maximumChanges()) {
        makeUnusable();
        return false;
    }
    return true;
}

void SYNImportedChanges::offer(uint64_t generation, std::vector<Event> events,
                               std::unordered_map<int64_t, Row> rows) {
    std::size_t count = 0;
    for (const auto& event : events) {
        count += event.changes.size();
    }
    plat::MutexLock lock(mutex_);
    if (unusable_ || generation != generation_ || held_ + count > maximumChanges()) {
        makeUnusable();
        return;
    }
    held_ += count;
    changes_.reserve(changes_.size() + count);
    for (auto& event : events) {
        for (const auto& change : event.changes) {
            changesSorted_ =
                changesSorted_ && (changes_.empty() || changes_.back() < change.changeID->primaryKey());
            changes_.push_back(change.changeID->primaryKey());
        }
        eventIDs_.insert(event.eventID);
        auto& kept = events_[event.eventID];
        kept.insert(kept.end(), std::make_move_iterator(event.changes.begin()),
                    std::make_move_iterator(event.changes.end()));
    }
    rowsByIdentifier_.clear();
    rowsIndexed_ = false;
    if (rows_.empty()) {
        rows_ = std::move(rows);
        return;
    }
    for (auto& [key, row] : rows) {
        auto [kept, added] = rows_.try_emplace(key, std::move(row));
        if (!added) {
            kept->second.records += row.records;
        }
    }
}

bool SYNImportedChanges::keptChange(int64_t key) const {
    if (!changesSorted_) {
        std::sort(changes_.begin(), changes_.end());
        changesSorted_ = true;
    }
    return std::binary_search(changes_.begin(), changes_.end(), key);
}

bool SYNImportedChanges::eventsHaveNoDataFiles(const std::vector<ManagedObjectIDPtr>& eventIDs) const {
    plat::MutexLock lock(mutex_);
    if (unusable_ || dataFilesWritten_ || eventIDs.empty()) {
        return false;
    }
    for (const auto& id : eventIDs) {
        if (!id || !eventIDs_.count(id)) {
            return false;
        }
    }
    return true;
}

bool SYNImportedChanges::usable() const {
    plat::MutexLock lock(mutex_);
    return !unusable_ && !eventIDs_.empty();
}

std::size_t SYNImportedChanges::count(const std::vector<ManagedObjectIDPtr>& eventIDs,
                                      std::vector<ManagedObjectIDPtr>& missing) const {
    plat::MutexLock lock(mutex_);
    std::size_t count = 0;
    for (const auto& id : eventIDs) {
        auto found = unusable_ ? events_.end() : events_.find(id);
        if (found == events_.end()) {
            missing.push_back(id);
        } else {
            count += found->second.size();
        }
    }
    return count;
}

void SYNImportedChanges::takeChanges(const std::vector<ManagedObjectIDPtr>& eventIDs, const Take& take,
                                     std::vector<ManagedObjectIDPtr>& missing) {
    plat::MutexLock lock(mutex_);
    for (const auto& id : eventIDs) {
        auto found = unusable_ ? events_.end() : events_.find(id);
        if (found == events_.end()) {
            missing.push_back(id);
            continue;
        }
        for (auto& record : found->second) {
            take(record, found->first);
        }
        events_.erase(found);
    }
}

bool SYNImportedChanges::readIdentifierRows(std::vector<SYNChangeRecord>& records) {
    plat::MutexLock lock(mutex_);
    if (unusable_) {
        return false;
    }
    std::vector<Row*> found;
    found.reserve(records.size());
    for (const auto& record : records) {
        Row* row = nullptr;
        if (record.globalIdentifierID) {
            auto it = record.globalIdentifierID->entity() == rowEntity_
                          ? rows_.find(record.globalIdentifierID->primaryKey())
                          : rows_.end();
            if (it == rows_.end() || it->second.records == 0) {
                return false;
            }
            row = &it->second;
        }
        found.push_back(row);
    }
    // Where storeURIsOf answers, it reads the rows after their records are
    // taken.
    const bool answered = rows_.size() <= kRowsAnswered;
    for (std::size_t i = 0; i < records.size(); ++i) {
        Row* row = found[i];
        if (!row) {
            continue;
        }
        auto& record = records[i];
        if (--row->records == 0 && !answered) {
            // No other record needs them: the saves that follow only write
            // into them.
            record.globalIdentifier = std::move(row->identifier);
            record.globalIdentifierEntityName = std::move(row->entityName);
            record.storeURI = std::move(row->storeURI);
        } else {
            record.globalIdentifier = row->identifier;
            record.globalIdentifierEntityName = row->entityName;
            record.storeURI = row->storeURI;
        }
    }
    return true;
}

bool SYNImportedChanges::storeURIsOf(const std::string& entityName,
                                     const std::vector<std::string>& identifiers,
                                     const ManagedObjectContext& context,
                                     std::vector<std::optional<std::string>>& storeURIs) {
    // As the stored reads: only where the context shows the stored rows.
    if (context.parentContext() || context.hasChanges() ||
        context.persistentStoreCoordinator().get() != coordinatorAddress_) {
        return false;
    }
    plat::MutexLock lock(mutex_);
    if (unusable_ || rows_.empty() || rows_.size() > kRowsAnswered) {
        return false;
    }
    if (!rowsIndexed_ && identifiers.size() * rows_.size() <= kRowsSearchedInPlace) {
        // Few rows and identifiers: each identifier is searched in the rows
        // as they are kept (the index costs a hash node per row, made again
        // after every save that writes a kept row).
        std::vector<const Row*> found;
        found.reserve(identifiers.size());
        for (const auto& identifier : identifiers) {
            const Row* first = nullptr;
            int64_t firstKey = 0;
            for (const auto& [key, row] : rows_) {
                if (row.identifier && (!first || key < firstKey) && *row.identifier == identifier &&
                    row.entityName == entityName) {
                    first = &row;  // the fetch gives the first made
                    firstKey = key;
                }
            }
            if (!first) {
                return false;
            }
            found.push_back(first);
        }
        storeURIs.clear();
        storeURIs.reserve(found.size());
        for (const Row* row : found) {
            storeURIs.push_back(row->storeURI);
        }
        return true;
    }
    if (!rowsIndexed_) {
        for (const auto& [key, row] : rows_) {
            if (!row.identifier) {
                continue;
            }
            auto [entry, added] = rowsByIdentifier_[row.entityName].try_emplace(*row.identifier, key, &row);
            if (!added && key < entry->second.first) {
                entry->second = {key, &row};  // the fetch gives the first made
            }
        }
        rowsIndexed_ = true;
    }
    auto ofEntity = rowsByIdentifier_.find(entityName);
    if (ofEntity == rowsByIdentifier_.end()) {
        return false;
    }
    std::vector<const Row*> found;
    found.reserve(identifiers.size());
    for (const auto& identifier : identifiers) {
        auto row = ofEntity->second.find(identifier);
        if (row == ofEntity->second.end()) {
            return false;
        }
        found.push_back(row->second.second);
    }
    storeURIs.clear();
    storeURIs.reserve(found.size());
    for (const Row* row : found) {
        storeURIs.push_back(row->storeURI);
    }
    return true;
}

void SYNImportedChanges::makeUnusable() {
    unusable_ = true;
    forget();
}

void SYNImportedChanges::forget() {
    held_ = 0;
    events_.clear();
    rowsByIdentifier_.clear();
    rowsIndexed_ = false;
    rows_.clear();
    changes_ = {};
    changesSorted_ = true;
    eventIDs_.clear();
}

// Told of every save of a context in the process, on the saving thread.
void SYNImportedChanges::saved(const plat::Notification& notification) {
    if (coordinator_.expired()) {
        return;  // forgotten at the next look-up
    }
    auto coordinator = syn_coordinatorOfStoreSave(notification);
    if (!coordinator) {
        return;  // nothing reached a store
    }
    if (coordinator.get() != coordinatorAddress_) {
        // Another coordinator on the same store file writes rows this one
        // does not see being written.
        if (!storeURL_.empty() && syn_storeFileURLOf(*coordinator) == storeURL_) {
            plat::MutexLock lock(mutex_);
            ++generation_;
            dataFilesWritten_ = true;
            makeUnusable();
        }
        return;
    }
    plat::MutexLock lock(mutex_);
    bool wrote = false;
    try {
        scan(notification.userInfo, wrote);
    } catch (...) {
        // An object that cannot be read: whatever it wrote is not known.
        wrote = true;
        dataFilesWritten_ = true;
        makeUnusable();
    }
    if (wrote) {
        ++generation_;
    }
}

void SYNImportedChanges::scan(const plat::Dictionary& info, bool& wrote) {
    std::shared_ptr<SYNStoreURIs> storeURIs;  // of the rows' store, taken at the first row read
    for (const char* key : {plat::coredata::InsertedObjectsKey, plat::coredata::UpdatedObjectsKey,
                            plat::coredata::DeletedObjectsKey}) {
        const plat::Value* objects = info.find(key);
        if (!objects || !objects->asSet()) {
            wrote = true;
            dataFilesWritten_ = true;
            makeUnusable();
            continue;
        }
        const bool inserted = key == plat::coredata::InsertedObjectsKey;
        const bool deleted = key == plat::coredata::DeletedObjectsKey;
        if (inserted && eventIDs_.empty()) {
            // Rows added change none kept; a data-file row among them is
            // noted all the same.
            if (!dataFilesWritten_) {
                for (const auto& value : objects->asSet()->values()) {
                    const auto object = ManagedObject::fromValue(value);
                    if (!object || object->entity() == fileEntity_) {
                        dataFilesWritten_ = true;
                        break;
                    }
                }
            }
            continue;
        }
        for (const auto& value : objects->asSet()->values()) {
            const auto object = ManagedObject::fromValue(value);
            if (!object) {
                wrote = true;
                dataFilesWritten_ = true;
                makeUnusable();
                continue;
            }
            const auto* entity = object->entity();
            if (entity == fileEntity_) {
                dataFilesWritten_ = true;
            } else if (entity == changeEntity_) {
                if (inserted) {
                    // A change added to an event whose changes are kept.
                    if (!eventIDs_.empty()) {
                        auto event = object->objectForKey("storeModificationEvent");
                        if (event && eventIDs_.count(event->objectID())) {
                            wrote = true;
                            makeUnusable();
                        }
                    }
                    continue;
                }
                wrote = true;
                if (keptChange(object->objectID()->primaryKey())) {
                    makeUnusable();
                }
            } else if (entity == rowEntity_) {
                if (inserted) {
                    continue;
                }
                wrote = true;
                auto row = rows_.find(object->objectID()->primaryKey());
                if (row == rows_.end()) {
                    continue;
                }
                if (deleted) {
                    makeUnusable();
                    continue;
                }
                // What the save wrote into the row; the index views its
                // strings.
                rowsByIdentifier_.clear();
                rowsIndexed_ = false;
                const plat::Value identifier = object->valueForKey("globalIdentifier");
                const plat::Value entityName = object->valueForKey("nameOfEntity");
                row->second.identifier =
                    identifier.asString() ? std::optional<std::string>(*identifier.asString()) : std::nullopt;
                row->second.entityName = entityName.asString() ? *entityName.asString() : std::string();
                if (!storeURIs) {
                    storeURIs = SYNStoreURIs::forObject(*object);
                }
                row->second.storeURI = storeURIs->decode(object->valueForKey("storeURI"));
            } else if (entity == eventEntity_ && deleted) {
                wrote = true;
                if (eventIDs_.count(object->objectID())) {
                    makeUnusable();
                }
            }
        }
    }
}
