#include "sync/eventstore/detail/SYNBaselineSupport.h"

#include <set>

#include "platform/dispatch/Queue.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"

namespace syn::detail {

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

ManagedObjectPtr makeBaseline(ManagedObjectContext& context, const BaselineFields& fields) {
    auto event = context.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
    event->setValue(Value(fields.uniqueIdentifier), "uniqueIdentifier");
    event->setValue(Value(int64_t{fields.type}), "type");
    event->setValue(Value(fields.globalCount), "globalCount");
    event->setValue(Value(fields.timestamp), "timestamp");
    event->setValue(fields.modelVersion, "modelVersion");
    event->setValue(fields.modelVersionIdentifier, "modelVersionIdentifier");
    event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                         fields.revision.persistentStoreIdentifier, fields.revision.revisionNumber, context),
                     "eventRevision");
    SYNStoreModificationEvent::setRevisionSetOfOtherStores(*event, fields.otherStores);
    return event;
}

void addInsertChange(ManagedObjectContext& context, const ManagedObjectPtr& event,
                     const ManagedObjectPtr& globalIdentifier,
                     const std::vector<SYNPropertyChangeValue>& values,
                     const std::optional<SYNRevision>& valuesRevision, SYNStoreIdentifiers& identifiers) {
    auto change = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
    change->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
    change->setValue(globalIdentifier->valueForKey("nameOfEntity"), "nameOfEntity");
    change->setObject(globalIdentifier, "globalIdentifier");
    change->setObject(event, "storeModificationEvent");
    SYNObjectChange::setPropertyChangeValues(*change, values);
    SYNObjectChange::setValuesRevision(*change, valuesRevision, identifiers);
    std::set<std::string> files;
    for (const auto& value : values) {
        if (value.filename() && files.insert(*value.filename()).second) {
            auto record = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
            record->setValue(Value(*value.filename()), "filename");
            record->setObject(change, "objectChange");
        }
    }
}

void runAsync(const std::shared_ptr<SYNEventStore>& store,
              std::function<plat::ErrorPtr(ManagedObjectContext&)> job,
              std::function<void(plat::ErrorPtr)> completion) {
    auto finish = [completion](plat::ErrorPtr error) {
        if (completion) {
            plat::dispatch::Queue::main().async([completion, error] { completion(error); });
        }
    };
    auto context = store->managedObjectContext();
    if (!context) {
        finish(SYNMakeError(SYNErrorEnlistState, "The event store holds no event data."));
        return;
    }
    context->performBlock([context, job = std::move(job), finish] {
        plat::ErrorPtr error;
        try {
            error = job(*context);
        } catch (const std::exception& exception) {
            error = SYNMakeError(SYNErrorUnknown, exception.what());
        }
        if (error) {
            context->rollback();
        }
        finish(error);
    });
}

}  // namespace syn::detail
