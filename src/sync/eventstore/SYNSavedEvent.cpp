#include "sync/eventstore/SYNSavedEvent.h"

#include <algorithm>

#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Text.h"
#include "sync/eventstore/SYNContextAdditions.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::PersistentStoreCoordinator;

namespace {

bool textReadsBackAlike(const std::string& text) {
    return plat::text::isValidUTF8(text);
}

bool valueReadsBackAlike(const plat::Value& value) {
    switch (value.kind()) {
        case plat::Value::Kind::Null:
        case plat::Value::Kind::Bool:
        case plat::Value::Kind::Int:
        case plat::Value::Kind::Double:
        case plat::Value::Kind::Date:
        case plat::Value::Kind::Data:
            return true;
        case plat::Value::Kind::String:
            return textReadsBackAlike(*value.asString());
        default:
            return false;
    }
}

}  // namespace

std::shared_ptr<SYNSavedEvent> SYNSavedEvent::start(const std::shared_ptr<ManagedObjectContext>& context) {
    std::shared_ptr<SYNSavedEvent> saved(new SYNSavedEvent());
    saved->context_ = context.get();
    if (auto coordinator = context->persistentStoreCoordinator()) {
        saved->coordinatorAddress_ = coordinator.get();
        saved->storeURL_ = syn_storeFileURLOf(*coordinator);
    }
    std::weak_ptr<SYNSavedEvent> weak = saved;
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
        [weak](const plat::Notification& notification) {
            if (auto strong = weak.lock()) {
                strong->observe(notification);
            }
        });
    plat::MutexLock lock(saved->mutex_);
    saved->observer_ = std::move(observer);
    return saved;
}

void SYNSavedEvent::stop() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
        forgetLocked();
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

SYNSavedEvent::~SYNSavedEvent() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

uint64_t SYNSavedEvent::saves() const {
    plat::MutexLock lock(mutex_);
    return saves_;
}

void SYNSavedEvent::keep(uint64_t savesBefore, Event event) {
    plat::MutexLock lock(mutex_);
    forgetLocked();
    if (saves_ != savesBefore + 1 || !event.eventID || event.eventID->isTemporaryID() ||
        event.changes.size() > kMaximumChanges) {
        return;
    }
    changeKeys_.reserve(event.changes.size());
    recordKeys_.reserve(event.changes.size());
    for (const auto& change : event.changes) {
        changeKeys_.push_back(change.key);
        if (change.recordKey != 0) {
            recordKeys_.push_back(change.recordKey);
        }
        keptDataFiles_ = keptDataFiles_ || change.dataFile.has_value();
    }
    std::sort(changeKeys_.begin(), changeKeys_.end());
    std::sort(recordKeys_.begin(), recordKeys_.end());
    kept_ = std::move(event);
}

bool SYNSavedEvent::keeps(const plat::coredata::ManagedObjectID& eventID) const {
    plat::MutexLock lock(mutex_);
    return kept_ && kept_->eventID->isEqualID(eventID);
}

void SYNSavedEvent::forget() {
    plat::MutexLock lock(mutex_);
    forgetLocked();
}

void SYNSavedEvent::forgetLocked() {
    kept_.reset();
    changeKeys_.clear();
    recordKeys_.clear();
    keptDataFiles_ = false;
}

std::optional<std::vector<SYNSavedEvent::Change>> SYNSavedEvent::take(
    const plat::coredata::ManagedObjectID& eventID, const SYNRevision& revision) {
    plat::MutexLock lock(mutex_);
    if (!kept_ || !kept_->eventID->isEqualID(eventID) || !(kept_->revision == revision)) {
        return std::nullopt;
    }
    std::optional<std::vector<Change>> changes(std::move(kept_->changes));
    forgetLocked();
    return changes;
}

bool SYNSavedEvent::valuesReadBackAlike(const plat::Value& values, bool& namesFiles) {
    namesFiles = false;
    if (values.isNull()) {
        return true;
    }
    const plat::Array* items = values.asArray();
    if (!items) {
        return false;
    }
    for (const auto& item : *items) {
        auto value = item.asObjectOf<SYNPropertyChangeValue>();
        if (!value || !textReadsBackAlike(value->propertyName())) {
            return false;
        }
        namesFiles = namesFiles || value->filename().has_value();
        for (const auto* text : {&value->filename(), &value->relatedIdentifier()}) {
            if (*text && !textReadsBackAlike(**text)) {
                return false;
            }
        }
        for (const auto* set : {&value->addedIdentifiers(), &value->removedIdentifiers()}) {
            for (const auto& identifier : *set) {
                if (!textReadsBackAlike(identifier)) {
                    return false;
                }
            }
        }
        for (const auto& [index, identifier] : value->movedIdentifiersByIndex()) {
            if (!textReadsBackAlike(identifier)) {
                return false;
            }
        }
        if (value->value() && !valueReadsBackAlike(*value->value())) {
            return false;
        }
    }
    return true;
}

void SYNSavedEvent::observe(const plat::Notification& notification) {
    auto coordinator = syn_coordinatorOfStoreSave(notification);
    if (!coordinator) {
        return;  // nothing reached a store
    }
    if (coordinator.get() != coordinatorAddress_) {
        // Another coordinator on the same store file writes rows this one
        // does not see being written; other files' saves write none.
        if (storeURL_.empty() || syn_storeFileURLOf(*coordinator) == storeURL_) {
            plat::MutexLock lock(mutex_);
            ++saves_;
            forgetLocked();
        }
        return;
    }
    plat::MutexLock lock(mutex_);
    ++saves_;
    if (!kept_) {
        return;
    }
    bool alone = false;
    try {
        alone = leavesKeptAlone(notification.userInfo);
    } catch (...) {
        alone = false;  // an object that cannot be read: what it wrote is not known
    }
    if (!alone) {
        forgetLocked();
    }
}

bool SYNSavedEvent::leavesKeptAlone(const plat::Dictionary& info) const {
    const char* const keys[] = {plat::coredata::InsertedObjectsKey, plat::coredata::UpdatedObjectsKey,
                                plat::coredata::DeletedObjectsKey};
    std::size_t count = 0;
    for (const char* key : keys) {
        const plat::Value* objects = info.find(key);
        if (!objects || !objects->asSet()) {
            return false;
        }
        count += objects->asSet()->size();
    }
    if (count > kMaximumFollowedObjects) {
        return false;
    }
    for (const char* key : keys) {
        const bool inserted = key == plat::coredata::InsertedObjectsKey;
        const bool deleted = key == plat::coredata::DeletedObjectsKey;
        for (const auto& value : info.find(key)->asSet()->values()) {
            const auto object = ManagedObject::fromValue(value);
            if (!object || object->objectID()->isTemporaryID()) {
                return false;
            }
            const std::string& entity = object->entity()->name();
            const int64_t key = object->objectID()->primaryKey();
            if (entity == SYNObjectChangeEntityName) {
                if (inserted) {
                    // A change added to the kept event.
                    auto event = object->objectForKey("storeModificationEvent");
                    if (!event || event->objectID()->isEqualID(*kept_->eventID)) {
                        return false;
                    }
                } else if (std::binary_search(changeKeys_.begin(), changeKeys_.end(), key)) {
                    return false;
                }
            } else if (entity == SYNGlobalIdentifierEntityName) {
                if (!inserted && std::binary_search(recordKeys_.begin(), recordKeys_.end(), key)) {
                    return false;
                }
            } else if (entity == SYNDataFileEntityName) {
                if (keptDataFiles_) {
                    return false;
                }
                if (inserted) {
                    auto change = object->objectForKey("objectChange");
                    if (!change || std::binary_search(changeKeys_.begin(), changeKeys_.end(),
                                                      change->objectID()->primaryKey())) {
                        return false;
                    }
                }
            } else if (entity == SYNStoreModificationEventEntityName) {
                if (deleted && object->objectID()->isEqualID(*kept_->eventID)) {
                    return false;
                }
            }
        }
    }
    return true;
}
