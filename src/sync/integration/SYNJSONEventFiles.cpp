#include "sync/integration/SYNJSONEventFiles.h"

#include <charconv>
#include <cmath>

#include "platform/coredata/ManagedObjectID.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/UUIDObject.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

using plat::Value;
using plat::coredata::ManagedObjectPtr;

namespace {

// A file that does not have the shape of an event file.
struct MalformedFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Value tagged(const char* tag, Value payload) {
    return Value(plat::Array{Value(tag), std::move(payload)});
}

std::string decimalString(double number) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

const Value& member(const Value& object, const char* key, bool (Value::*is)() const, const char* what) {
    const Value* found = object.find(key);
    if (!found || !((*found).*is)()) {
        throw MalformedFile(std::string("Event file member \"") + key + "\" is missing or not " + what);
    }
    return *found;
}

const std::string& stringMember(const Value& object, const char* key) {
    return *member(object, key, &Value::isString, "a string").asString();
}

int64_t integerMember(const Value& object, const char* key) {
    const Value& value = member(object, key, &Value::isNumber, "a number");
    return value.longLongValue();
}

plat::ErrorPtr malformedError(const std::exception& exception) {
    // Marked, so that the file can be told damaged from a local failure.
    return plat::Error::make(SYNErrorDomain, SYNErrorExceptionRaised,
                             plat::Dictionary{{plat::LocalizedDescriptionKey, Value(exception.what())},
                                              {SYNMalformedEventFileKey, Value(true)}});
}

}  // namespace

// --- Writing --------------------------------------------------------------------

Value SYNJSONEventExport::JSONValueFromCoreDataValue(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Decimal:
            return tagged("decimal", Value(value.asDecimal()->toString()));
        case Value::Kind::Date:
            return tagged("date", Value(value.asDate()->timeIntervalSince1970() * 1000.0));
        case Value::Kind::Data:
            return tagged("data", Value(syn_base64EncodedString(*value.asData())));
        case Value::Kind::Double: {
            const double number = value.rawDouble();
            if (std::isnan(number)) {
                return tagged("number", Value("nan"));
            }
            if (std::isinf(number)) {
                return tagged("number", Value(number > 0 ? "+inf" : "-inf"));
            }
            return value;
        }
        case Value::Kind::Object: {
            auto object = value.asObject();
            if (auto uuid = std::dynamic_pointer_cast<const plat::UUIDObject>(object)) {
                return tagged("uuid", Value(uuid->uuid().UUIDString()));
            }
            if (std::dynamic_pointer_cast<const plat::coredata::ManagedObjectID>(object)) {
                throw SYNException("ObjectID type is not supported");
            }
            return value;
        }
        default:
            return value;
    }
}

bool SYNJSONEventExport::prepareForExport() {
    if (!event) {
        setError(SYNMakeError(SYNErrorMissingEvent, "The event to export is gone."));
        return false;
    }
    header_ = plat::Dictionary();
    header_.set("globalCount", Value(SYNStoreModificationEvent::globalCount(*event)));
    header_.set("type", Value(int64_t{SYNStoreModificationEvent::type(*event)}));
    for (const char* key : {"modelVersion", "modelVersionIdentifier"}) {
        auto version = event->valueForKey(key);
        if (version.isString()) {
            header_.set(key, version);
        }
    }
    header_.set("timestamp", Value(decimalString(SYNStoreModificationEvent::timestamp(*event))));
    header_.set("uniqueIdentifier", Value(SYNStoreModificationEvent::uniqueIdentifier(*event)));
    header_.set("storeIdentifier", Value(SYNStoreModificationEvent::storeIdentifier(*event)));
    plat::Dictionary revisions;
    const auto revisionSet = SYNStoreModificationEvent::revisionSet(*event);
    for (const auto& [store, number] : revisionSet.revisions()) {
        revisions.set(store, Value(number));
    }
    header_.set("revisionsByStoreIdentifier", Value(std::move(revisions)));
    changesByEntity_.clear();
    filePath_ = createTemporaryFilePath();
    addFilePath(filePath_);
    return true;
}

bool SYNJSONEventExport::prepareForNewEntity(const plat::coredata::EntityDescription& entity) {
    currentEntity_ = entity.name();
    changesByEntity_.emplace_back(currentEntity_, plat::Array());
    return true;
}

bool SYNJSONEventExport::migrateObjectChanges(const std::vector<ManagedObjectPtr>& changes) {
    auto& array = changesByEntity_.back().second;
    for (const auto& change : changes) {
        plat::Dictionary object;
        object.set("type", Value(int64_t{SYNObjectChange::type(*change)}));
        object.set("globalIdentifier", Value(SYNObjectChange::globalIdentifierString(*change).value_or("")));
        plat::Array dataFiles;
        for (const auto& file : change->objectsForKey("dataFiles")) {
            dataFiles.push_back(file->valueForKey("filename"));
        }
        if (!dataFiles.empty()) {
            object.set("dataFiles", Value(std::move(dataFiles)));
        }
        // Recorded by the inserts of baselines; files without it read as unrecorded.
        if (auto revision = SYNObjectChange::valuesRevision(*change)) {
            object.set("valuesRevision",
                       Value(plat::Dictionary{{"storeIdentifier", Value(revision->persistentStoreIdentifier)},
                                              {"revisionNumber", Value(revision->revisionNumber)}}));
        }
        plat::Array properties;
        for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
            plat::Dictionary property;
            property.set("propertyName", Value(value.propertyName()));
            property.set("type", Value(value.type()));
            if (value.filename()) {
                property.set("filename", Value(*value.filename()));
            }
            if (value.relatedIdentifier()) {
                property.set("relatedIdentifier", Value(*value.relatedIdentifier()));
            }
            auto identifiers = [](const std::set<std::string>& set) {
                plat::Array array;
                for (const auto& identifier : set) {
                    array.emplace_back(identifier);
                }
                return Value(std::move(array));
            };
            if (!value.addedIdentifiers().empty()) {
                property.set("addedIdentifiers", identifiers(value.addedIdentifiers()));
            }
            if (!value.removedIdentifiers().empty()) {
                property.set("removedIdentifiers", identifiers(value.removedIdentifiers()));
            }
            if (!value.movedIdentifiersByIndex().empty()) {
                plat::Dictionary moved;
                for (const auto& [index, identifier] : value.movedIdentifiersByIndex()) {
                    moved.set(std::to_string(index), Value(identifier));
                }
                property.set("movedIdentifiersByIndex", Value(std::move(moved)));
            }
            if (value.value()) {
                property.set("value", JSONValueFromCoreDataValue(*value.value()));
            }
            properties.emplace_back(std::move(property));
        }
        object.set("properties", Value(std::move(properties)));
        array.emplace_back(std::move(object));
    }
    return true;
}

plat::ErrorPtr SYNJSONEventExport::saveToFile() {
    try {
        plat::Dictionary changes;
        changes.reserve(changesByEntity_.size());
        for (auto& [entity, array] : changesByEntity_) {
            changes.set(entity, Value(std::move(array)));
        }
        plat::Dictionary object = header_;
        object.set("changesByEntity", Value(std::move(changes)));
        return plat::JSONSerialization::writeJSONObjectToFile(Value(std::move(object)), filePath_);
    } catch (const std::exception& exception) {
        SYN_LOG(SYNLoggingLevelError, "Exception thrown writing JSON file: %@",
                std::string(exception.what()));
        return SYNMakeError(SYNErrorExceptionRaised,
                            std::string("Exception raised while exporting JSON: ") + exception.what());
    }
}

bool SYNJSONEventExport::prepareNewFile() {
    if (auto error = saveToFile()) {
        setError(error);
        return false;
    }
    filePath_ = createTemporaryFilePath();
    addFilePath(filePath_);
    header_ = plat::Dictionary();
    changesByEntity_.clear();
    changesByEntity_.emplace_back(currentEntity_, plat::Array());
    return true;
}

bool SYNJSONEventExport::completeMigrationSuccessfully(bool success) {
    if (!success) {
        return false;
    }
    if (auto error = saveToFile()) {
        setError(error);
        return false;
    }
    return true;
}

// --- Reading --------------------------------------------------------------------

std::optional<Value> SYNJSONEventImport::coreDataValueFromJSONValue(const Value& value) {
    if (value.kind() == Value::Kind::Decimal) {
        return Value(value.asDecimal()->toDouble());
    }
    const auto* array = value.asArray();
    if (!array) {
        return value;
    }
    if (array->size() != 2 || !(*array)[0].isString()) {
        throw MalformedFile("A tagged value is not a pair of a tag and a payload");
    }
    const std::string& tag = *(*array)[0].asString();
    const Value& payload = (*array)[1];
    const std::string* text = payload.asString();
    if (tag == "decimal") {
        if (!text) {
            throw MalformedFile("A decimal payload is not a string");
        }
        return Value(plat::Decimal::fromString(*text));
    }
    if (tag == "date") {
        if (!payload.isNumber()) {
            throw MalformedFile("A date payload is not a number");
        }
        return Value(plat::Date::fromTimeIntervalSince1970(payload.doubleValue() / 1000.0));
    }
    if (tag == "data") {
        auto data = text ? syn_dataWithBase64EncodedString(*text) : std::nullopt;
        if (!data) {
            throw MalformedFile("A data payload is not base64 text");
        }
        return Value(std::move(*data));
    }
    if (tag == "uuid") {
        auto uuid = text ? plat::UUID::fromString(*text) : std::nullopt;
        if (!uuid) {
            throw MalformedFile("A UUID payload is not a UUID string");
        }
        return plat::UUIDObject::make(*uuid);
    }
    if (tag == "number") {
        if (text && *text == "nan") {
            return Value(std::nan(""));
        }
        if (text && *text == "+inf") {
            return Value(HUGE_VAL);
        }
        if (text && *text == "-inf") {
            return Value(-HUGE_VAL);
        }
        SYN_LOG(SYNLoggingLevelError, "Unknown number string found in JSON: %@", payload);
        return std::nullopt;
    }
    return payload;
}

ManagedObjectPtr SYNJSONEventImport::importFirstFile(const std::string& path, plat::ErrorPtr* error) {
    auto parsed = plat::JSONSerialization::JSONObjectWithContentsOfFile(path);
    if (!parsed.ok()) {
        *error = parsed.error();
        return nullptr;
    }
    auto& context = this->context();
    ManagedObjectPtr event;
    try {
        const Value& file = *parsed;
        if (!file.isDictionary()) {
            throw MalformedFile("An event file does not hold an object");
        }
        const int64_t type = integerMember(file, "type");
        if (type != SYNStoreModificationEventTypeBaseline && type != SYNStoreModificationEventTypeSave &&
            type != SYNStoreModificationEventTypeMerge) {
            throw MalformedFile("An event file names an unknown event type");
        }
        const int64_t globalCount = integerMember(file, "globalCount");
        const std::string& uniqueIdentifier = stringMember(file, "uniqueIdentifier");
        const std::string& storeIdentifier = stringMember(file, "storeIdentifier");
        const Value& revisions =
            member(file, "revisionsByStoreIdentifier", &Value::isDictionary, "an object");
        const Value* ownRevision = revisions.find(storeIdentifier);
        if (!ownRevision || !ownRevision->isNumber()) {
            throw MalformedFile("An event file lacks the revision of its own store");
        }
        for (const auto& [store, number] : *revisions.asDictionary()) {
            if (!number.isNumber()) {
                throw MalformedFile("A revision is not a number");
            }
        }
        event = context.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
        event->setValue(Value(globalCount), "globalCount");
        event->setValue(Value(static_cast<int64_t>(static_cast<int16_t>(type))), "type");
        for (const char* key : {"modelVersion", "modelVersionIdentifier"}) {
            if (const Value* version = file.find(key); version && version->isString()) {
                event->setValue(*version, key);
            }
        }
        const Value* timestamp = file.find("timestamp");
        event->setValue(Value(timestamp ? timestamp->doubleValue() : 0.0), "timestamp");
        event->setValue(Value(uniqueIdentifier), "uniqueIdentifier");
        event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                             storeIdentifier, ownRevision->longLongValue(), context),
                         "eventRevision");
        auto others = event->mutableSetValueForKey("eventRevisionsOfOtherStores");
        for (const auto& [store, number] : *revisions.asDictionary()) {
            if (store != storeIdentifier) {
                others.addObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                    store, number.longLongValue(), context));
            }
        }
        if (auto permanentError = context.obtainPermanentIDsForObjects({event})) {
            *error = permanentError;
            context.reset();
            return nullptr;
        }
        setEventID(event->objectID());
        if (!importObjectChanges(file, error)) {
            return nullptr;
        }
        return event;
    } catch (const MalformedFile& exception) {
        *error = malformedError(exception);
        return nullptr;
    }
}

bool SYNJSONEventImport::importSubsequentFile(const std::string& path, plat::ErrorPtr* error) {
    auto parsed = plat::JSONSerialization::JSONObjectWithContentsOfFile(path);
    if (!parsed.ok()) {
        *error = parsed.error();
        return false;
    }
    return importObjectChanges(*parsed, error);
}

bool SYNJSONEventImport::importObjectChanges(const Value& file, plat::ErrorPtr* error) {
    auto& context = this->context();
    auto event = context.existingObjectWithID(eventID());
    if (!event.ok()) {
        *error = event.error();
        return false;
    }
    try {
        if (!file.isDictionary()) {
            throw MalformedFile("An event file does not hold an object");
        }
        const Value& changesByEntity = member(file, "changesByEntity", &Value::isDictionary, "an object");
        for (const auto& [entityName, changesValue] : *changesByEntity.asDictionary()) {
            const auto* changes = changesValue.asArray();
            if (!changes) {
                throw MalformedFile("The changes of an entity are not an array");
            }
            std::vector<std::string> identifiers;
            identifiers.reserve(changes->size());
            for (const auto& change : *changes) {
                if (!change.isDictionary()) {
                    throw MalformedFile("A change is not an object");
                }
                identifiers.push_back(stringMember(change, "globalIdentifier"));
            }
            auto found = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(identifiers,
                                                                                         entityName, context);
            if (!found.ok()) {
                *error = found.error();
                return false;
            }
            // Two changes of one object in one file share one identifier record.
            std::map<std::string, ManagedObjectPtr> made;
            for (std::size_t i = 0; i < changes->size(); ++i) {
                const Value& change = (*changes)[i];
                auto globalIdentifier = (*found)[i];
                if (!globalIdentifier) {
                    auto& record = made[identifiers[i]];
                    if (!record) {
                        record = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                        record->setValue(Value(identifiers[i]), "globalIdentifier");
                        record->setValue(Value(entityName), "nameOfEntity");
                    }
                    globalIdentifier = record;
                }
                const int64_t changeType = integerMember(change, "type");
                std::vector<SYNPropertyChangeValue> values;
                const Value& properties = member(change, "properties", &Value::isArray, "an array");
                for (const auto& property : *properties.asArray()) {
                    if (!property.isDictionary()) {
                        throw MalformedFile("A property change is not an object");
                    }
                    const Value* name = property.find("name");
                    SYNPropertyChangeValue value(integerMember(property, "type"), name && name->isString()
                                                                                      ? *name->asString()
                                                                                      : std::string());
                    for (const auto& [key, entry] : *property.asDictionary()) {
                        if (key == "name" || key == "type") {
                            continue;
                        }
                        if (key == "value") {
                            value.setValue(coreDataValueFromJSONValue(entry));
                        } else if (!value.setValueForKey(entry, key)) {
                            throw MalformedFile("A property change has an unknown or malformed member \"" +
                                                key + "\"");
                        }
                    }
                    values.push_back(std::move(value));
                }
                auto object = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
                object->setValue(Value(changeType), "type");
                object->setValue(Value(entityName), "nameOfEntity");
                object->setObject(globalIdentifier, "globalIdentifier");
                object->setObject(*event, "storeModificationEvent");
                SYNObjectChange::setPropertyChangeValues(*object, values);
                if (const Value* revision = change.find("valuesRevision")) {
                    if (!revision->isDictionary()) {
                        throw MalformedFile("The values revision of a change is not an object");
                    }
                    SYNObjectChange::setValuesRevision(
                        *object, SYNRevision{stringMember(*revision, "storeIdentifier"),
                                             integerMember(*revision, "revisionNumber")});
                }
                if (const Value* dataFiles = change.find("dataFiles")) {
                    if (!dataFiles->isArray()) {
                        throw MalformedFile("The data files of a change are not an array");
                    }
                    for (const auto& filename : *dataFiles->asArray()) {
                        if (!filename.isString()) {
                            throw MalformedFile("A data file name is not a string");
                        }
                        auto record = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
                        record->setValue(filename, "filename");
                        record->setObject(object, "objectChange");
                    }
                }
            }
        }
        return true;
    } catch (const MalformedFile& exception) {
        *error = malformedError(exception);
        return false;
    } catch (const plat::Exception& exception) {
        // A value of the wrong kind for its attribute, for instance.
        *error = malformedError(exception);
        return false;
    }
}
