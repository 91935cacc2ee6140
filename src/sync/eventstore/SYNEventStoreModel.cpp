#include "sync/eventstore/SYNEventStoreModel.h"

#include <mutex>

#include "platform/coredata/ValueTransformer.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

using plat::coredata::AttributeType;
using plat::coredata::DeleteRule;
using plat::coredata::EntityDescription;

namespace {

const plat::Dictionary kExcluded{{SYNExcludeFromMigrationKey, plat::Value(true)}};

// The stored form of a change's values: an array of SYNPropertyChangeValue
// objects to and from the event store's compact form (the keyed archive for
// lists it cannot hold). Rows written before the compact form hold keyed
// archives, which read as they always did.
class PropertyChangeValuesTransformer : public plat::coredata::ValueTransformer {
  public:
    plat::Result<plat::Data> transformedValue(const plat::Value& value) const override {
        if (const plat::Array* items = value.asArray()) {
            return SYNStorePropertyChangeValueItems(*items);
        }
        if (!value.isNull()) {
            return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderInvalidValueError,
                                                "Not a list of property change values.");
        }
        return SYNStorePropertyChangeValueItems({});
    }

    plat::Result<plat::Value> reverseTransformedValue(const plat::Data& data) const override {
        return SYNUnarchiveSharedPropertyChangeValues(data);
    }

    plat::Result<plat::Value> reverseTransformedBytes(std::string_view bytes) const override {
        return SYNUnarchiveSharedPropertyChangeValues(bytes);
    }
};

void addEventEntity(plat::coredata::ManagedObjectModel& model) {
    EntityDescription& event = model.addEntity(SYNStoreModificationEventEntityName);
    event.addAttribute("uniqueIdentifier", AttributeType::String).optional(false).indexed(true);
    event.addAttribute("type", AttributeType::Integer16).optional(false).indexed(true);
    event.addAttribute("globalCount", AttributeType::Integer64).optional(false).indexed(true);
    event.addAttribute("timestamp", AttributeType::Double).optional(false);
    event.addAttribute("modelVersion", AttributeType::String);
    event.addAttribute("modelVersionIdentifier", AttributeType::String);
    event.addRelationship("eventRevision", SYNEventRevisionEntityName)
        .inverse("storeModificationEvent")
        .deleteRule(DeleteRule::Cascade);
    event.addRelationship("eventRevisionsOfOtherStores", SYNEventRevisionEntityName)
        .inverse("storeModificationEventForOtherStores")
        .toMany()
        .deleteRule(DeleteRule::Cascade);
    event.addRelationship("objectChanges", SYNObjectChangeEntityName)
        .inverse("storeModificationEvent")
        .toMany()
        .deleteRule(DeleteRule::Cascade);
}

void addRevisionEntity(plat::coredata::ManagedObjectModel& model) {
    EntityDescription& revision = model.addEntity(SYNEventRevisionEntityName);
    revision.addAttribute("persistentStoreIdentifier", AttributeType::String).optional(false).indexed(true);
    revision.addAttribute("revisionNumber", AttributeType::Integer64).optional(false).indexed(true);
    // Events of a store after a revision are looked up by both at once.
    revision.addCompoundIndex({"persistentStoreIdentifier", "revisionNumber"});
    revision.addRelationship("storeModificationEvent", SYNStoreModificationEventEntityName)
        .inverse("eventRevision");
    revision.addRelationship("storeModificationEventForOtherStores", SYNStoreModificationEventEntityName)
        .inverse("eventRevisionsOfOtherStores");
}

void addChangeEntities(plat::coredata::ManagedObjectModel& model, bool valuesRevisions) {
    EntityDescription& change = model.addEntity(SYNObjectChangeEntityName);
    change.addAttribute("type", AttributeType::Integer16).optional(false);
    change.addAttribute("nameOfEntity", AttributeType::String).optional(false);
    change.addAttribute("propertyChangeValues", AttributeType::Transformable)
        .setValueTransformerName(SYNPropertyChangeValuesTransformerName);
    if (valuesRevisions) {
        // Of an insert held by a baseline: the revision of the save that last
        // set the object's values (both null when unrecorded).
        change.addAttribute("valuesRevisionStore", AttributeType::String);
        change.addAttribute("valuesRevisionNumber", AttributeType::Integer64);
    }
    change.addRelationship("globalIdentifier", SYNGlobalIdentifierEntityName).inverse("objectChanges");
    change.addRelationship("storeModificationEvent", SYNStoreModificationEventEntityName)
        .inverse("objectChanges");
    change.addRelationship("dataFiles", SYNDataFileEntityName)
        .inverse("objectChange")
        .toMany()
        .deleteRule(DeleteRule::Cascade);
    // The changes an event already holds for some objects are looked up by
    // both: only those rows are read, however many changes the event or the
    // objects' history hold.
    change.addCompoundIndex({"storeModificationEvent", "globalIdentifier"});

    EntityDescription& identifier = model.addEntity(SYNGlobalIdentifierEntityName);
    identifier.addAttribute("globalIdentifier", AttributeType::String).optional(false).indexed(true);
    // Not indexed: no look-up selects identifier records by entity (the
    // changes' own entity names serve those), and the index would cost
    // about as much as the name in every record. Stores that have it keep it.
    identifier.addAttribute("nameOfEntity", AttributeType::String).optional(false);
    // A URI of this machine's application store: meaningless anywhere else.
    identifier.addAttribute("storeURI", AttributeType::String).indexed(true).setUserInfo(kExcluded);
    // Copying it would drag every other event's changes of the object along.
    identifier.addRelationship("objectChanges", SYNObjectChangeEntityName)
        .inverse("globalIdentifier")
        .toMany()
        .setUserInfo(kExcluded);

    EntityDescription& file = model.addEntity(SYNDataFileEntityName);
    file.addAttribute("filename", AttributeType::String).optional(false);
    file.addRelationship("objectChange", SYNObjectChangeEntityName).inverse("dataFiles");
}

std::shared_ptr<const plat::coredata::ManagedObjectModel> makeModel(bool valuesRevisions) {
    auto model = plat::coredata::ManagedObjectModel::create();
    addEventEntity(*model);
    addRevisionEntity(*model);
    addChangeEntities(*model, valuesRevisions);
    if (auto error = model->finalize()) {
        // The model is fixed in code: failing to finalize is a programming error.
        throw plat::Exception(plat::InternalInconsistencyException, error->localizedDescription());
    }
    return model;
}

}  // namespace

void SYNRegisterPropertyChangeValuesTransformer() {
    static std::once_flag once;
    std::call_once(once, [] {
        SYNPropertyChangeValue::registerClass();
        plat::coredata::ValueTransformer::setValueTransformer(
            std::make_shared<PropertyChangeValuesTransformer>(), SYNPropertyChangeValuesTransformerName);
    });
}

std::shared_ptr<const plat::coredata::ManagedObjectModel> SYNEventStoreModel() {
    SYNRegisterPropertyChangeValuesTransformer();
    static const auto model = makeModel(true);
    return model;
}

std::shared_ptr<const plat::coredata::ManagedObjectModel> SYNEventStoreModelWithoutValuesRevisions() {
    SYNRegisterPropertyChangeValuesTransformer();
    static const auto model = makeModel(false);
    return model;
}
