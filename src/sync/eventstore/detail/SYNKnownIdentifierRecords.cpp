#include "sync/eventstore/detail/SYNKnownIdentifierRecords.h"

#include <algorithm>
#include <unordered_set>

#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "sync/eventstore/SYNEventStoreModel.h"

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

namespace {

bool isRecord(const ManagedObject& object) {
    return object.entity()->name() == SYNGlobalIdentifierEntityName;
}

// Whether the record holds `text` as a string for `key`.
bool sameText(const ManagedObject& record, std::string_view key, const std::string& text) {
    const Value value = record.valueForKey(key);
    const std::string* held = value.asString();
    return held && *held == text;
}

// The record's text for `key`, or null when it holds no string there.
std::optional<std::string> textOf(const ManagedObject& record, std::string_view key) {
    Value value = record.valueForKey(key);
    if (const std::string* text = value.asString()) {
        return *text;
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<SYNKnownIdentifierRecords> SYNKnownIdentifierRecords::start(
    const std::shared_ptr<ManagedObjectContext>& context) {
    std::shared_ptr<SYNKnownIdentifierRecords> known(new SYNKnownIdentifierRecords());
    known->coordinator_ = context->persistentStoreCoordinator();
    std::weak_ptr<SYNKnownIdentifierRecords> weak = known;
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
        [weak](const plat::Notification& notification) {
            if (auto strong = weak.lock()) {
                strong->observe(notification);
            }
        });
    plat::MutexLock lock(known->mutex_);
    known->observer_ = std::move(observer);
    return known;
}

void SYNKnownIdentifierRecords::stop() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
        forgetLocked();
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

SYNKnownIdentifierRecords::~SYNKnownIdentifierRecords() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

uint64_t SYNKnownIdentifierRecords::generation() const {
    plat::MutexLock lock(mutex_);
    return generation_;
}

std::size_t SYNKnownIdentifierRecords::size() const {
    plat::MutexLock lock(mutex_);
    return byURI_.size();
}

std::vector<std::optional<SYNKnownIdentifierRecords::Known>> SYNKnownIdentifierRecords::find(
    const std::vector<Value>& uris, uint64_t& generation) const {
    std::vector<std::optional<Known>> found(uris.size());
    plat::MutexLock lock(mutex_);
    generation = generation_;
    if (byURI_.empty()) {
        return found;
    }
    for (std::size_t i = 0; i < uris.size(); ++i) {
        if (const std::string* uri = uris[i].asString()) {
            if (auto it = byURI_.find(*uri); it != byURI_.end()) {
                found[i] = it->second;
            }
        }
    }
    return found;
}

plat::coredata::ManagedObjectIDPtr SYNKnownIdentifierRecords::recordID(int64_t recordKey) const {
    plat::MutexLock lock(mutex_);
    auto store = store_.lock();
    if (!store || !entity_) {
        return nullptr;
    }
    return store->objectIDFor(entity_.get(), recordKey);
}

void SYNKnownIdentifierRecords::keep(
    uint64_t generation, const std::vector<std::pair<std::string_view, ManagedObjectPtr>>& found) {
    plat::MutexLock lock(mutex_);
    if (generation != generation_) {
        return;
    }
    for (const auto& [uri, record] : found) {
        if (!record || record->isInserted() || record->isUpdated() || record->isDeleted() ||
            record->isFault() || record->objectID()->isTemporaryID()) {
            continue;
        }
        const std::string text(uri);
        if (auto it = byURI_.find(text);
            it != byURI_.end() && it->second.recordKey != record->objectID()->primaryKey()) {
            dropURILocked(text);
        }
        addLocked(text, *record);
    }
}

void SYNKnownIdentifierRecords::expect(const ManagedObjectContext* context, uint64_t generation,
                                       std::vector<std::pair<ManagedObjectPtr, std::string>> made) {
    plat::MutexLock lock(mutex_);
    std::erase_if(expected_, [&](const Expected& entry) { return entry.context == context; });
    expected_.push_back({context, generation, std::move(made), std::nullopt});
}

std::optional<uint64_t> SYNKnownIdentifierRecords::settle(const ManagedObjectContext* context) {
    plat::MutexLock lock(mutex_);
    std::optional<uint64_t> settled;
    for (auto it = expected_.begin(); it != expected_.end(); ++it) {
        if (it->context == context) {
            settled = it->settled;
            expected_.erase(it);
            break;
        }
    }
    return settled;
}

void SYNKnownIdentifierRecords::forgetLocked() {
    byURI_.clear();
    uriOfKey_.clear();
    ++generation_;
}

void SYNKnownIdentifierRecords::dropKeyLocked(int64_t recordKey) {
    auto it = uriOfKey_.find(recordKey);
    if (it == uriOfKey_.end()) {
        return;
    }
    const std::string* uri = it->second;
    uriOfKey_.erase(it);
    byURI_.erase(*uri);
}

void SYNKnownIdentifierRecords::dropURILocked(const std::string& uri) {
    auto it = byURI_.find(uri);
    if (it == byURI_.end()) {
        return;
    }
    uriOfKey_.erase(it->second.recordKey);
    byURI_.erase(it);
}

bool SYNKnownIdentifierRecords::addLocked(const std::string& uri, const ManagedObject& record) {
    if (byURI_.size() >= kMaximumKept && !byURI_.count(uri)) {
        return false;
    }
    const int64_t key = record.objectID()->primaryKey();
    auto storeURI = textOf(record, "storeURI");
    auto identifier = textOf(record, "globalIdentifier");
    auto entityName = textOf(record, "nameOfEntity");
    if (!storeURI || *storeURI != uri || !identifier || !entityName) {
        return false;
    }
    noteRecordShapeLocked(record);
    dropKeyLocked(key);
    dropURILocked(uri);
    auto [it, added] = byURI_.emplace(uri, Known{key, std::move(*identifier), std::move(*entityName)});
    uriOfKey_[key] = &it->first;
    return true;
}

void SYNKnownIdentifierRecords::noteRecordShapeLocked(const ManagedObject& record) {
    if (!entity_) {
        store_ = record.objectID()->persistentStore();
        entity_ = record.objectID()->sharedEntity();
    }
}

void SYNKnownIdentifierRecords::observe(const plat::Notification& notification) {
    auto saving = std::static_pointer_cast<const ManagedObjectContext>(notification.object);
    if (!saving || saving->parentContext()) {
        return;  // a child context's save reaches its parent, not the store
    }
    auto mine = coordinator_.lock();
    if (!mine || saving->persistentStoreCoordinator() != mine) {
        return;
    }
    const Value* lists[3] = {notification.userInfo.find(plat::coredata::InsertedObjectsKey),
                             notification.userInfo.find(plat::coredata::UpdatedObjectsKey),
                             notification.userInfo.find(plat::coredata::DeletedObjectsKey)};
    plat::MutexLock lock(mutex_);
    Expected* expected = nullptr;
    for (auto& entry : expected_) {
        if (entry.context == saving.get()) {
            expected = &entry;
        }
    }
    for (const Value* list : lists) {
        if (!list || !list->asSet()) {
            forgetLocked();
            if (expected) {
                expected->settled.reset();
            }
            return;
        }
    }
    // What the expecting context knew at its generation holds after this
    // save if nothing else saved touched records since, and this save gave
    // no URI to a record but the expected ones.
    const bool claimsHold = expected && expected->generation == generation_;
    bool followed = claimsHold;
    bool touched = false;
    bool forgot = false;
    // The records expected, and the URIs that records of this save other
    // than those hold (looked at only when some are expected).
    std::unordered_map<const ManagedObject*, const std::string*> expectedURIs;
    if (claimsHold) {
        expectedURIs.reserve(expected->made.size());
        for (const auto& [record, uri] : expected->made) {
            expectedURIs.emplace(record.get(), &uri);
        }
    }
    std::unordered_set<std::string> held;
    std::vector<std::pair<const ManagedObject*, const std::string*>> made;
    // Deleted, updated, then inserted.
    for (int index : {2, 1, 0}) {
        for (const auto& value : lists[index]->asSet()->values()) {
            const auto record = ManagedObject::fromValue(value);
            if (!record) {
                forgetLocked();
                if (expected) {
                    expected->settled.reset();
                }
                return;
            }
            if (!isRecord(*record)) {
                continue;
            }
            const int64_t key = record->objectID()->primaryKey();
            if (index == 2) {
                touched = true;
                dropKeyLocked(key);
                continue;
            }
            if (record->isFault()) {
                // Its URI cannot be read without loading it.
                forgetLocked();
                forgot = true;
                continue;
            }
            if (index == 1) {
                if (auto it = uriOfKey_.find(key); it != uriOfKey_.end()) {
                    const Known& kept = byURI_.at(*it->second);
                    if (sameText(*record, "storeURI", *it->second) &&
                        sameText(*record, "globalIdentifier", kept.identifier) &&
                        sameText(*record, "nameOfEntity", kept.entityName)) {
                        continue;  // saved for its other values (its changes): answers the same
                    }
                    dropKeyLocked(key);
                }
            } else if (auto it = expectedURIs.find(record.get());
                       it != expectedURIs.end() && sameText(*record, "storeURI", *it->second)) {
                touched = true;
                made.emplace_back(record.get(), it->second);
                continue;
            }
            touched = true;
            followed = false;
            if (byURI_.empty() && expectedURIs.empty()) {
                continue;  // no URI of it to drop or to compare
            }
            const Value uri = record->valueForKey("storeURI");
            const std::string* text = uri.asString();
            if (!text) {
                continue;
            }
            // A record of a lower key than the one kept for its URI is the one
            // a look-up takes now.
            if (auto it = byURI_.find(*text); it != byURI_.end() && it->second.recordKey > key) {
                dropURILocked(*text);
            }
            if (!expectedURIs.empty()) {
                held.insert(*text);
            }
        }
    }
    for (const auto& [record, uri] : made) {
        if (forgot) {
            break;
        }
        if (byURI_.count(*uri) || held.count(*uri)) {
            dropURILocked(*uri);
            continue;
        }
        addLocked(*uri, *record);
    }
    if (touched) {
        ++generation_;
    }
    if (expected) {
        expected->settled = followed && !forgot ? std::optional<uint64_t>(generation_) : std::nullopt;
    }
}
