#include "sync/integration/SYNJSONEventFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <unordered_map>

#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/UUIDObject.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/SYNEventFileSet.h"
#include "sync/integration/SYNImportedChanges.h"

using plat::Value;
using namespace std::string_view_literals;
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

// A member found by the caller (null when missing), checked.
const Value& checked(const Value* found, const char* key, bool (Value::*is)() const, const char* what) {
    if (!found || !((*found).*is)()) {
        throw MalformedFile(std::string("Event file member \"") + key + "\" is missing or not " + what);
    }
    return *found;
}

const Value& member(const Value& object, const char* key, bool (Value::*is)() const, const char* what) {
    return checked(object.find(key), key, is, what);
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

namespace {

// The revisions of other stores of a stored event, as its records of them
// hold them, read in one statement as rows of two columns: loading the
// event's list of them and then each record's row takes two reads or more.
// Only for a context with no unsaved changes straight on its coordinator
// (then the store holds what the context would read); nullopt otherwise, or
// when a row is not what the read expects, and the records are read through
// the context instead.
std::optional<SYNRevisionSet> storedRevisionsOfOtherStores(const plat::coredata::ManagedObject& event,
                                                           plat::coredata::ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    const auto eventID = event.objectID();
    if (!coordinator || context.parentContext() || context.hasChanges() || !eventID ||
        eventID->isTemporaryID()) {
        return std::nullopt;
    }
    auto rowEntity = coordinator->managedObjectModel()->entityForName(SYNEventRevisionEntityName);
    const auto* storeProperty = rowEntity ? rowEntity->propertyNamed("persistentStoreIdentifier") : nullptr;
    const auto* numberProperty = rowEntity ? rowEntity->propertyNamed("revisionNumber") : nullptr;
    if (!storeProperty || !numberProperty) {
        return std::nullopt;
    }
    static const std::vector<std::string> kColumns{"persistentStoreIdentifier", "revisionNumber"};
    plat::coredata::FetchRequest request(SYNEventRevisionEntityName);
    request.predicate = plat::coredata::Predicate::equal("storeModificationEventForOtherStores",
                                                         Value(plat::ObjectPtr(eventID)));
    request.ordersByKey = false;
    auto rows = coordinator->fetchRowsReading(request, *rowEntity, kColumns);
    if (!rows.ok()) {
        return std::nullopt;
    }
    SYNRevisionSet set;
    for (const auto& row : *rows) {
        const auto& values = row->values;
        if (row->objectID->entity() != rowEntity.get() || storeProperty->index() >= values.size() ||
            numberProperty->index() >= values.size()) {
            return std::nullopt;
        }
        const std::string* store = values[storeProperty->index()].asString();
        const Value& number = values[numberProperty->index()];
        if (!store || !number.isNumber()) {
            return std::nullopt;
        }
        set.addRevision(SYNRevision{*store, number.longLongValue()});
    }
    return set;
}

}  // namespace

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

bool SYNJSONEventExport::prepareForNewEntity(const plat::coredata::EntityDescription& entity) {
    currentEntity_ = entity.name();
    changesByEntity_.push_back({currentEntity_, {}, {}});
    return true;
}

namespace {

// The items of a change's stored values (none when they are not an array).
const plat::Array& storedValueItems(const Value& values) {
    static const plat::Array kNone;
    const plat::Array* items = values.asArray();
    return items ? *items : kNone;
}

// The entry of one change in the file, from what its row holds: the same
// members in the same order whether read from the row or kept from the
// event's save. `values` is the stored array of property change values.
// Each entry's members are appended in the order of the file, their keys
// distinct: the dictionaries are made whole from them, without a search for
// the key of every member set.
Value changeEntry(int64_t type, std::string globalIdentifier, plat::Array dataFiles,
                  const std::optional<SYNRevision>& valuesRevision, const Value& values) {
    using Entries = plat::Dictionary::Entries;
    constexpr auto distinct = plat::Dictionary::KeysAre::Distinct;
    Entries object;
    object.reserve(5);
    object.emplace_back("type", Value(type));
    object.emplace_back("globalIdentifier", Value(std::move(globalIdentifier)));
    if (!dataFiles.empty()) {
        object.emplace_back("dataFiles", Value(std::move(dataFiles)));
    }
    // Recorded by the inserts of baselines; files without it read as unrecorded.
    if (valuesRevision) {
        Entries recorded;
        recorded.reserve(2);
        recorded.emplace_back("storeIdentifier", Value(valuesRevision->persistentStoreIdentifier));
        recorded.emplace_back("revisionNumber", Value(valuesRevision->revisionNumber));
        object.emplace_back("valuesRevision",
                            Value(plat::Dictionary::fromEntries(std::move(recorded), distinct)));
    }
    const plat::Array& items = storedValueItems(values);
    plat::Array properties;
    properties.reserve(items.size());
    auto identifiers = [](const std::set<std::string>& set) {
        plat::Array array;
        array.reserve(set.size());
        for (const auto& identifier : set) {
            array.emplace_back(identifier);
        }
        return Value(std::move(array));
    };
    for (const auto& item : items) {
        auto stored = item.asObjectOf<SYNPropertyChangeValue>();
        if (!stored) {
            continue;  // not a value: read as none
        }
        const SYNPropertyChangeValue& value = *stored;
        Entries property;
        property.reserve(4);
        property.emplace_back("propertyName", Value(value.propertyName()));
        property.emplace_back("type", Value(value.type()));
        if (value.filename()) {
            property.emplace_back("filename", Value(*value.filename()));
        }
        if (value.relatedIdentifier()) {
            property.emplace_back("relatedIdentifier", Value(*value.relatedIdentifier()));
        }
        if (!value.addedIdentifiers().empty()) {
            property.emplace_back("addedIdentifiers", identifiers(value.addedIdentifiers()));
        }
        if (!value.removedIdentifiers().empty()) {
            property.emplace_back("removedIdentifiers", identifiers(value.removedIdentifiers()));
        }
        if (!value.movedIdentifiersByIndex().empty()) {
            Entries moved;
            moved.reserve(value.movedIdentifiersByIndex().size());
            for (const auto& [index, identifier] : value.movedIdentifiersByIndex()) {
                moved.emplace_back(std::to_string(index), Value(identifier));
            }
            property.emplace_back("movedIdentifiersByIndex",
                                  Value(plat::Dictionary::fromEntries(std::move(moved), distinct)));
        }
        if (value.value()) {
            property.emplace_back("value", SYNJSONEventExport::JSONValueFromCoreDataValue(*value.value()));
        }
        properties.emplace_back(plat::Dictionary::fromEntries(std::move(property), distinct));
    }
    object.emplace_back("properties", Value(std::move(properties)));
    return Value(plat::Dictionary::fromEntries(std::move(object), distinct));
}

// Appends the JSON text of s as the writer makes it, when s is printable
// ASCII: s itself in quotes, with a backslash before each quote, backslash
// and slash (the writer's escapes of those three). False, with nothing
// appended, for any other byte (control bytes, DEL, bytes from 0x80 up).
bool appendPlainJSONString(std::string_view s, std::string& out) {
    // Eight bytes at a time (identifiers are mostly such bytes), the rest
    // one by one.
    constexpr uint64_t kEvery = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    const auto anyZero = [](uint64_t word) { return (word - kEvery) & ~word & kHigh; };
    const auto escaped = [](char c) { return c == '"' || c == '\\' || c == '/'; };
    bool escapes = false;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, sizeof word);
        // Bytes of 0x80 and above, below 0x20 (their high bit is clear, so
        // the subtraction borrows into it), and DEL.
        const uint64_t refused =
            (word & kHigh) | ((word - kEvery * 0x20) & ~word & kHigh) | anyZero(word ^ (kEvery * 0x7F));
        if (refused != 0) {
            return false;
        }
        escapes = escapes || (anyZero(word ^ (kEvery * '"')) | anyZero(word ^ (kEvery * '\\')) |
                              anyZero(word ^ (kEvery * '/'))) != 0;
    }
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
        escapes = escapes || escaped(c);
    }
    out.push_back('"');
    if (!escapes) {
        out.append(s);
    } else {
        for (const char c : s) {
            if (escaped(c)) {
                out.push_back('\\');
            }
            out.push_back(c);
        }
    }
    out.push_back('"');
    return true;
}

void appendInteger(int64_t number, std::string& out) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

// Appends the JSON text of a value as the writer makes it: plain strings,
// integers, booleans and null directly, anything else by the writer itself.
// False (the text then unusable) when the writer refuses the value.
bool appendJSONValue(const Value& value, std::string& out) {
    switch (value.kind()) {
        case Value::Kind::Null:
            out.append("null"sv);
            return true;
        case Value::Kind::Bool:
            out.append(value.rawBool() ? "true" : "false");
            return true;
        case Value::Kind::Int:
            appendInteger(value.rawInt(), out);
            return true;
        case Value::Kind::String:
            if (appendPlainJSONString(*value.asString(), out)) {
                return true;
            }
            break;
        default:
            break;
    }
    auto text = plat::JSONSerialization::stringWithJSONObject(value, plat::JSONWritingFragmentsAllowed);
    if (!text.ok()) {
        return false;
    }
    out.append(*text);
    return true;
}

// Appends the JSON text of a string as the writer makes it, without making a
// value of it when it is plain text. False when the writer refuses it.
bool appendJSONText(std::string_view s, std::string& out) {
    return appendPlainJSONString(s, out) || appendJSONValue(Value(std::string(s)), out);
}

// The entries of kept changes as changeEntry makes them, written as the
// writer writes that document: the same members in the same order. False
// when a value is one the writer refuses (the entries are then made as
// values, and the file's writing reports it).
bool appendSavedEntries(std::span<const SYNSavedEvent::Change> changes, std::string& out) {
    auto text = [&](std::string_view s) { return appendJSONText(s, out); };
    auto identifiers = [&](std::string_view key, const std::set<std::string>& set) {
        out.append(key);
        out.push_back('[');
        bool first = true;
        for (const auto& identifier : set) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            if (!text(identifier)) {
                return false;
            }
        }
        out.push_back(']');
        return true;
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& change = changes[i];
        if (i > 0) {
            out.push_back(',');
        }
        out.append("{\"type\":"sv);
        appendInteger(change.type, out);
        out.append(",\"globalIdentifier\":"sv);
        if (!text(change.globalIdentifier ? std::string_view(*change.globalIdentifier)
                                          : std::string_view())) {
            return false;
        }
        if (change.dataFile) {
            out.append(",\"dataFiles\":["sv);
            if (!text(*change.dataFile)) {
                return false;
            }
            out.push_back(']');
        }
        if (change.valuesRevision) {
            out.append(",\"valuesRevision\":{\"storeIdentifier\":"sv);
            if (!text(change.valuesRevision->persistentStoreIdentifier)) {
                return false;
            }
            out.append(",\"revisionNumber\":"sv);
            appendInteger(change.valuesRevision->revisionNumber, out);
            out.push_back('}');
        }
        out.append(",\"properties\":["sv);
        bool firstProperty = true;
        for (const auto& item : storedValueItems(change.values)) {
            auto stored = item.asObjectOf<SYNPropertyChangeValue>();
            if (!stored) {
                continue;  // not a value: read as none
            }
            const SYNPropertyChangeValue& value = *stored;
            if (!firstProperty) {
                out.push_back(',');
            }
            firstProperty = false;
            out.append("{\"propertyName\":"sv);
            if (!text(value.propertyName())) {
                return false;
            }
            out.append(",\"type\":"sv);
            appendInteger(value.type(), out);
            if (value.filename()) {
                out.append(",\"filename\":"sv);
                if (!text(*value.filename())) {
                    return false;
                }
            }
            if (value.relatedIdentifier()) {
                out.append(",\"relatedIdentifier\":"sv);
                if (!text(*value.relatedIdentifier())) {
                    return false;
                }
            }
            if (!value.addedIdentifiers().empty() &&
                !identifiers(",\"addedIdentifiers\":"sv, value.addedIdentifiers())) {
                return false;
            }
            if (!value.removedIdentifiers().empty() &&
                !identifiers(",\"removedIdentifiers\":"sv, value.removedIdentifiers())) {
                return false;
            }
            if (!value.movedIdentifiersByIndex().empty()) {
                out.append(",\"movedIdentifiersByIndex\":{"sv);
                bool firstMoved = true;
                for (const auto& [index, identifier] : value.movedIdentifiersByIndex()) {
                    if (!firstMoved) {
                        out.push_back(',');
                    }
                    firstMoved = false;
                    if (!text(std::to_string(index))) {
                        return false;
                    }
                    out.push_back(':');
                    if (!text(identifier)) {
                        return false;
                    }
                }
                out.push_back('}');
            }
            if (value.value()) {
                out.append(",\"value\":"sv);
                if (!appendJSONValue(SYNJSONEventExport::JSONValueFromCoreDataValue(*value.value()), out)) {
                    return false;
                }
            }
            out.push_back('}');
        }
        out.append("]}"sv);
    }
    return true;
}

}  // namespace

namespace {

// What the first file's header holds, in the order it is written.
struct HeaderValues {
    int64_t globalCount = 0;
    int64_t type = 0;
    std::vector<std::pair<const char*, Value>> versions;  // string values only
    std::string timestamp;
    std::string uniqueIdentifier;
    std::string storeIdentifier;
    SYNRevisionSet revisions;
};

plat::Dictionary headerDictionary(const HeaderValues& header) {
    plat::Dictionary dictionary;
    dictionary.set("globalCount", Value(header.globalCount));
    dictionary.set("type", Value(header.type));
    for (const auto& [key, version] : header.versions) {
        dictionary.set(key, version);
    }
    dictionary.set("timestamp", Value(header.timestamp));
    dictionary.set("uniqueIdentifier", Value(header.uniqueIdentifier));
    dictionary.set("storeIdentifier", Value(header.storeIdentifier));
    plat::Dictionary revisions;
    for (const auto& [store, number] : header.revisions.revisions()) {
        revisions.set(store, Value(number));
    }
    dictionary.set("revisionsByStoreIdentifier", Value(std::move(revisions)));
    return dictionary;
}

// Appends the JSON text of a model version as the writer makes it. Every
// event of a mesh carries the same version (a property list's XML text,
// with line breaks and tabs the writer escapes), so the text written last
// on this thread is kept with the version it was made of. False when the
// writer refuses the text.
bool appendVersionText(const std::string& version, std::string& out) {
    struct Kept {
        std::string version;
        std::string text;
    };
    thread_local Kept kept;
    if (!kept.text.empty() && kept.version == version) {
        out.append(kept.text);
        return true;
    }
    const std::size_t before = out.size();
    if (!appendJSONValue(Value(version), out)) {
        return false;
    }
    kept.version = version;
    kept.text.assign(out, before, std::string::npos);
    return true;
}

// Appends the text the writer makes of headerDictionary(header), without
// its closing brace: the keys are plain text, every value is written as
// appendJSONValue writes it. False when a text is one the writer refuses
// (out then unusable).
bool appendHeaderText(const HeaderValues& header, std::string& out) {
    auto text = [&](std::string_view s) { return appendJSONText(s, out); };
    out.append("{\"globalCount\":"sv);
    appendInteger(header.globalCount, out);
    out.append(",\"type\":"sv);
    appendInteger(header.type, out);
    for (const auto& [key, version] : header.versions) {
        out.append(",\""sv);
        out.append(key);
        out.append("\":"sv);
        if (!appendVersionText(*version.asString(), out)) {
            return false;
        }
    }
    out.append(",\"timestamp\":"sv);
    if (!text(header.timestamp)) {
        return false;
    }
    out.append(",\"uniqueIdentifier\":"sv);
    if (!text(header.uniqueIdentifier)) {
        return false;
    }
    out.append(",\"storeIdentifier\":"sv);
    if (!text(header.storeIdentifier)) {
        return false;
    }
    out.append(",\"revisionsByStoreIdentifier\":{"sv);
    bool first = true;
    for (const auto& [store, number] : header.revisions.revisions()) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        if (!text(store)) {
            return false;
        }
        out.push_back(':');
        appendInteger(number, out);
    }
    out.push_back('}');
    return true;
}

}  // namespace

bool SYNJSONEventExport::prepareForExport() {
    if (!event) {
        setError(SYNMakeError(SYNErrorMissingEvent, "The event to export is gone."));
        return false;
    }
    HeaderValues header;
    header.globalCount = SYNStoreModificationEvent::globalCount(*event);
    header.type = int64_t{SYNStoreModificationEvent::type(*event)};
    for (const char* key : {"modelVersion", "modelVersionIdentifier"}) {
        auto version = event->valueForKey(key);
        if (version.isString()) {
            header.versions.emplace_back(key, std::move(version));
        }
    }
    header.timestamp = decimalString(SYNStoreModificationEvent::timestamp(*event));
    header.uniqueIdentifier = SYNStoreModificationEvent::uniqueIdentifier(*event);
    header.storeIdentifier = SYNStoreModificationEvent::storeIdentifier(*event);
    auto others = keptRevisionsOfOtherStores();
    if (!others) {
        others = storedRevisionsOfOtherStores(*event, context());
    }
    if (others) {
        header.revisions = std::move(*others);
        if (auto own = SYNStoreModificationEvent::revision(*event)) {
            header.revisions.addRevision(*own);
        }
    } else {
        header.revisions = SYNStoreModificationEvent::revisionSet(*event);
    }
    // Written out as the file's text at once (no dictionary made and
    // written); as a dictionary when a text is one the writer refuses, so
    // that the file's writing reports it as before.
    headerText_.clear();
    headerAsText_ = appendHeaderText(header, headerText_);
    if (headerAsText_) {
        header_ = plat::Dictionary();
    } else {
        headerText_.clear();
        header_ = headerDictionary(header);
    }
    changesByEntity_.clear();
    filePath_ = newFilePath();
    addFilePath(filePath_);
    return true;
}

bool SYNJSONEventExport::migrateObjectChanges(const std::vector<ManagedObjectPtr>& changes) {
    auto& array = changesByEntity_.back().entries;
    if (array.empty()) {
        array.reserve(changes.size());  // later batches grow it as a vector grows
    }
    // Files carry full identifiers: the event store's numbers are its own.
    const auto storeIdentifiers = SYNStoreIdentifiers::forContext(context());
    for (const auto& change : changes) {
        plat::Array dataFiles;
        for (const auto& file : change->objectsForKey("dataFiles")) {
            dataFiles.push_back(file->valueForKey("filename"));
        }
        array.push_back(changeEntry(int64_t{SYNObjectChange::type(*change)},
                                    globalIdentifierOf(*change).value_or(""), std::move(dataFiles),
                                    SYNObjectChange::valuesRevision(*change, *storeIdentifiers),
                                    change->valueForKey("propertyChangeValues")));
    }
    return true;
}

bool SYNJSONEventExport::migrateSavedChanges(std::span<const SYNSavedEvent::Change> changes) {
    auto& entity = changesByEntity_.back();
    if (entity.entries.empty()) {
        // Written out as the file's text straight away: the entries' values
        // are not made, encoded and freed. Written in place, and cut back
        // when a value is one the writer refuses.
        const std::size_t before = entity.text.size();
        // Room for the usual entry (a few hundred bytes) at once, instead
        // of growing the text step by step.
        entity.text.reserve(before + 1 + changes.size() * 320);
        if (before > 0) {
            entity.text.push_back(',');
        }
        if (appendSavedEntries(changes, entity.text)) {
            return true;
        }
        entity.text.resize(before);
    }
    auto& array = entity.entries;
    array.reserve(array.size() + changes.size());
    for (const auto& change : changes) {
        plat::Array dataFiles;
        if (change.dataFile) {
            dataFiles.emplace_back(*change.dataFile);
        }
        array.push_back(changeEntry(int64_t{change.type}, change.globalIdentifier.value_or(""),
                                    std::move(dataFiles), change.valuesRevision, change.values));
    }
    return true;
}

plat::ErrorPtr SYNJSONEventExport::saveToFile() {
    try {
        // Not synced: the file is only a step on the way to the cloud. It is
        // moved into the transit cache, which is emptied before every export
        // and at every set-up, and the upload copies it from there; nothing
        // reads it after a restart, and an event the cloud lacks is exported
        // again from the event store.
        const bool anyText = std::any_of(changesByEntity_.begin(), changesByEntity_.end(),
                                         [](const EntityChanges& entity) { return !entity.text.empty(); });
        if (!anyText) {
            plat::Dictionary changes;
            changes.reserve(changesByEntity_.size());
            for (auto& entity : changesByEntity_) {
                changes.set(entity.name, Value(std::move(entity.entries)));
            }
            if (!headerAsText_) {
                plat::Dictionary object = header_;
                object.set("changesByEntity", Value(std::move(changes)));
                auto text = plat::JSONSerialization::stringWithJSONObject(Value(std::move(object)));
                if (!text.ok()) {
                    return text.error();
                }
                return writeNewFile(*text, filePath_);
            }
            // The header's text, then the writer's text of an object
            // holding "changesByEntity" alone (the values at the depth
            // they have in the whole document) without its opening brace.
            plat::Dictionary object;
            object.set("changesByEntity", Value(std::move(changes)));
            auto text = plat::JSONSerialization::stringWithJSONObject(Value(std::move(object)));
            if (!text.ok()) {
                return text.error();
            }
            std::string out;
            out.reserve(headerText_.size() + text->size());
            out.append(headerText_);
            if (out.size() > 1) {
                out.push_back(',');
            }
            out.append(*text, 1);
            return writeNewFile(out, filePath_);
        }
        // The same text as the document above: the header as the writer
        // makes it, then "changesByEntity" last, each entity's entries
        // written out and those made as values.
        std::string out;
        if (headerAsText_) {
            std::size_t size = headerText_.size() + 24;
            for (const auto& entity : changesByEntity_) {
                size += entity.name.size() + entity.text.size() + 8;
            }
            out.reserve(size);
            out.append(headerText_);
        } else {
            auto text = plat::JSONSerialization::stringWithJSONObject(Value(header_));
            if (!text.ok()) {
                return text.error();
            }
            out = std::move(*text);
            out.pop_back();  // the header's closing brace
        }
        if (out.size() > 1) {
            out.push_back(',');
        }
        out.append("\"changesByEntity\":{"sv);
        for (std::size_t i = 0; i < changesByEntity_.size(); ++i) {
            auto& entity = changesByEntity_[i];
            if (i > 0) {
                out.push_back(',');
            }
            if (!appendJSONValue(Value(entity.name), out)) {
                return plat::JSONSerialization::stringWithJSONObject(Value(entity.name),
                                                                     plat::JSONWritingFragmentsAllowed)
                    .error();
            }
            out.append(":["sv);
            out.append(entity.text);
            if (!entity.entries.empty()) {
                auto entries =
                    plat::JSONSerialization::stringWithJSONObject(Value(std::move(entity.entries)));
                if (!entries.ok()) {
                    return entries.error();
                }
                if (!entity.text.empty()) {
                    out.push_back(',');
                }
                out.append(*entries, 1, entries->size() - 2);  // within its brackets
            }
            out.push_back(']');
        }
        out.append("}}"sv);
        return writeNewFile(out, filePath_);
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
    filePath_ = newFilePath();
    addFilePath(filePath_);
    // Later files have no header.
    header_ = plat::Dictionary();
    headerText_ = "{";
    headerAsText_ = true;
    changesByEntity_.clear();
    changesByEntity_.push_back({currentEntity_, {}, {}});
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

// --- Reading: a file's content, checked, then its records ------------------------

namespace {

struct KnownRecord;

// One change of a file, checked and decoded; no record made yet.
struct ParsedChange {
    // The identifier as the file's document holds it (a string): copies share
    // its text, so the look-up's list and a new record's value need none.
    Value globalIdentifier;
    const std::string& identifier() const { return *globalIdentifier.asString(); }
    // The entry of its identifier record, set by the look-up (IdentifierRecords).
    KnownRecord* record = nullptr;
    int64_t type = 0;
    // Made shared as they are read: the change's record takes them as they are.
    std::vector<std::shared_ptr<const SYNPropertyChangeValue>> values;
    std::optional<SYNRevision> valuesRevision;
    std::vector<std::string> dataFiles;
};

struct ParsedEntityChanges {
    std::string entityName;
    std::vector<ParsedChange> changes;
};

// The header of a first file.
struct ParsedHeader {
    int64_t type = 0;
    int64_t globalCount = 0;
    std::string uniqueIdentifier;
    std::string storeIdentifier;
    int64_t ownRevision = 0;
    std::vector<std::pair<std::string, int64_t>> otherRevisions;
    std::vector<std::pair<const char*, Value>> versions;
    double timestamp = 0;
};

// Throws MalformedFile.
ParsedHeader parseHeader(const Value& file) {
    if (!file.isDictionary()) {
        throw MalformedFile("An event file does not hold an object");
    }
    ParsedHeader header;
    header.type = integerMember(file, "type");
    if (header.type != SYNStoreModificationEventTypeBaseline &&
        header.type != SYNStoreModificationEventTypeSave &&
        header.type != SYNStoreModificationEventTypeMerge) {
        throw MalformedFile("An event file names an unknown event type");
    }
    header.globalCount = integerMember(file, "globalCount");
    header.uniqueIdentifier = stringMember(file, "uniqueIdentifier");
    header.storeIdentifier = stringMember(file, "storeIdentifier");
    const Value& revisions = member(file, "revisionsByStoreIdentifier", &Value::isDictionary, "an object");
    const Value* ownRevision = revisions.find(header.storeIdentifier);
    if (!ownRevision || !ownRevision->isNumber()) {
        throw MalformedFile("An event file lacks the revision of its own store");
    }
    header.ownRevision = ownRevision->longLongValue();
    for (const auto& [store, number] : *revisions.asDictionary()) {
        if (!number.isNumber()) {
            throw MalformedFile("A revision is not a number");
        }
        if (store != header.storeIdentifier) {
            header.otherRevisions.emplace_back(store, number.longLongValue());
        }
    }
    for (const char* key : {"modelVersion", "modelVersionIdentifier"}) {
        if (const Value* version = file.find(key); version && version->isString()) {
            header.versions.emplace_back(key, *version);
        }
    }
    const Value* timestamp = file.find("timestamp");
    header.timestamp = timestamp ? timestamp->doubleValue() : 0.0;
    return header;
}

// Throws MalformedFile.
std::vector<ParsedEntityChanges> parseChanges(const Value& file) {
    if (!file.isDictionary()) {
        throw MalformedFile("An event file does not hold an object");
    }
    std::vector<ParsedEntityChanges> entities;
    const Value& changesByEntity = member(file, "changesByEntity", &Value::isDictionary, "an object");
    for (const auto& [entityName, changesValue] : *changesByEntity.asDictionary()) {
        const auto* changes = changesValue.asArray();
        if (!changes) {
            throw MalformedFile("The changes of an entity are not an array");
        }
        ParsedEntityChanges& entity = entities.emplace_back();
        entity.entityName = entityName;
        entity.changes.reserve(changes->size());
        for (const auto& change : *changes) {
            const plat::Dictionary* members = change.asDictionary();
            if (!members) {
                throw MalformedFile("A change is not an object");
            }
            // The members read, found in one pass over the change (a key
            // appears once in a dictionary), then checked in a fixed order.
            const Value* globalIdentifier = nullptr;
            const Value* type = nullptr;
            const Value* properties = nullptr;
            const Value* revision = nullptr;
            const Value* dataFiles = nullptr;
            for (const auto& [key, entry] : *members) {
                if (key == "globalIdentifier"sv) {
                    globalIdentifier = &entry;
                } else if (key == "type"sv) {
                    type = &entry;
                } else if (key == "properties"sv) {
                    properties = &entry;
                } else if (key == "valuesRevision"sv) {
                    revision = &entry;
                } else if (key == "dataFiles"sv) {
                    dataFiles = &entry;
                }
            }
            ParsedChange& parsed = entity.changes.emplace_back();
            parsed.globalIdentifier =
                checked(globalIdentifier, "globalIdentifier", &Value::isString, "a string");
            parsed.type = checked(type, "type", &Value::isNumber, "a number").longLongValue();
            const plat::Array& propertyList =
                *checked(properties, "properties", &Value::isArray, "an array").asArray();
            parsed.values.reserve(propertyList.size());
            for (const auto& property : propertyList) {
                const plat::Dictionary* entries = property.asDictionary();
                if (!entries) {
                    throw MalformedFile("A property change is not an object");
                }
                const Value* name = nullptr;
                const Value* propertyType = nullptr;
                for (const auto& [key, entry] : *entries) {
                    if (key == "name"sv) {
                        name = &entry;
                    } else if (key == "type"sv) {
                        propertyType = &entry;
                    }
                }
                auto made = std::make_shared<SYNPropertyChangeValue>(
                    checked(propertyType, "type", &Value::isNumber, "a number").longLongValue(),
                    name && name->isString() ? *name->asString() : std::string());
                SYNPropertyChangeValue& value = *made;
                for (const auto& [key, entry] : *entries) {
                    if (key == "name"sv || key == "type"sv) {
                        continue;
                    }
                    if (key == "value"sv) {
                        value.setValue(SYNJSONEventImport::coreDataValueFromJSONValue(entry));
                    } else if (!value.setValueForKey(entry, key)) {
                        throw MalformedFile("A property change has an unknown or malformed member \"" + key +
                                            "\"");
                    }
                }
                parsed.values.push_back(std::move(made));
            }
            if (revision) {
                if (!revision->isDictionary()) {
                    throw MalformedFile("The values revision of a change is not an object");
                }
                parsed.valuesRevision = SYNRevision{stringMember(*revision, "storeIdentifier"),
                                                    integerMember(*revision, "revisionNumber")};
            }
            if (dataFiles) {
                if (!dataFiles->isArray()) {
                    throw MalformedFile("The data files of a change are not an array");
                }
                for (const auto& filename : *dataFiles->asArray()) {
                    if (!filename.isString()) {
                        throw MalformedFile("A data file name is not a string");
                    }
                    parsed.dataFiles.push_back(*filename.asString());
                }
            }
        }
    }
    return entities;
}

std::size_t changeCount(const std::vector<ParsedEntityChanges>& entities) {
    std::size_t count = 0;
    for (const auto& entity : entities) {
        count += entity.changes.size();
    }
    return count;
}

// How a change or revision is linked to its event (and a change to its
// identifier record).
enum class Linking {
    // Both sides kept in step, as for any other edit of the context.
    Both,
    // Only the to-one columns: what the store keeps of the link. The lists
    // on the other side (an event's changes and revisions of other stores, a
    // record's changes) are left as they were (and not loaded or marked
    // changed), so the context must be reset after the save without being
    // used in between.
    ChangeSideOnly,
};

// The event record with its revisions; its type as the file says.
ManagedObjectPtr insertEvent(const ParsedHeader& header, plat::coredata::ManagedObjectContext& context,
                             Linking linking = Linking::Both) {
    auto event = context.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
    event->setValue(Value(header.globalCount), "globalCount");
    event->setValue(Value(static_cast<int64_t>(static_cast<int16_t>(header.type))), "type");
    for (const auto& [key, version] : header.versions) {
        event->setValue(version, key);
    }
    event->setValue(Value(header.timestamp), "timestamp");
    event->setValue(Value(header.uniqueIdentifier), "uniqueIdentifier");
    auto own = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(header.storeIdentifier,
                                                                               header.ownRevision, context);
    if (linking == Linking::ChangeSideOnly) {
        // The own revision's link has a column on both rows; the revisions
        // of other stores keep theirs on their own rows only.
        const Value eventLink(event);
        event->setPrimitiveValue(Value(own), "eventRevision");
        own->setPrimitiveValue(eventLink, "storeModificationEvent");
        for (const auto& [store, number] : header.otherRevisions) {
            SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, number, context)
                ->setPrimitiveValue(eventLink, "storeModificationEventForOtherStores");
        }
        return event;
    }
    event->setObject(own, "eventRevision");
    auto others = event->mutableSetValueForKey("eventRevisionsOfOtherStores");
    for (const auto& [store, number] : header.otherRevisions) {
        others.addObject(
            SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, number, context));
    }
    return event;
}

// Identifier records of one entity by identifier; null while the store has
// none and none is made yet. The keys view the identifiers of the parsed
// changes, which outlive the records' lookup and linking.
// Each record is kept with a Value holding it (null until a change links to
// it), so that the links of the changes share one Value.
struct KnownRecord {
    ManagedObjectPtr object;
    Value link;
    // The store URI of a record found in the store.
    std::optional<std::string> storeURI;
};
using RecordsByIdentifier = std::unordered_map<std::string_view, KnownRecord>;

// Takes record as the one of its identifier when it is the first made of
// those found so far.
void keepFirstRecord(RecordsByIdentifier& records, std::string_view identifier,
                     const ManagedObjectPtr& record, const Value& storeURI, const SYNStoreURIs& storeURIs) {
    // Only the identifiers listed are answered, and each is a key.
    auto it = records.find(identifier);
    if (it == records.end()) {
        return;
    }
    auto& known = it->second;
    if (!known.object || record->objectID()->primaryKey() < known.object->objectID()->primaryKey()) {
        known.object = record;
        known.storeURI = storeURIs.decode(storeURI);
    }
}

// The identifiers looked up: the parsed changes' string values.
using IdentifierList = std::vector<const Value*>;

// The identifier records of identifiers[first, first + count), in any order.
// The list shares the identifiers' texts with the changes.
plat::coredata::FetchRequest identifierRecordsRequest(const IdentifierList& identifiers, std::size_t first,
                                                      std::size_t count) {
    plat::Array list;
    list.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        list.push_back(*identifiers[i]);
    }
    plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
    request.predicate = plat::coredata::Predicate::in("globalIdentifier", Value(std::move(list)));
    request.ordersByKey = false;
    return request;
}

// The records wanted of each entity, by its name.
using RecordsByEntity = std::unordered_map<std::string_view, RecordsByIdentifier*>;

// As fetchRecords for the identifiers of several entities at once (one read
// of the store whatever the number of entities), for a context with no
// unsaved changes and straight on its coordinator: only the identifier,
// entity name and store URI of the stored rows are read, and each record
// found is taken as a fault (the changes only link to it). A row is taken
// for the entity it names, when that entity's records are wanted. Without a
// value when the context or store does not allow that.
std::optional<plat::ErrorPtr> fetchStoredRecords(const IdentifierList& identifiers,
                                                 const RecordsByEntity& recordsByEntity,
                                                 plat::coredata::ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    if (!coordinator || context.parentContext() || context.hasChanges()) {
        return std::nullopt;
    }
    auto rowEntity = coordinator->managedObjectModel()->entityForName(SYNGlobalIdentifierEntityName);
    const auto* identifierProperty = rowEntity ? rowEntity->propertyNamed("globalIdentifier") : nullptr;
    const auto* nameProperty = rowEntity ? rowEntity->propertyNamed("nameOfEntity") : nullptr;
    const auto* uriProperty = rowEntity ? rowEntity->propertyNamed("storeURI") : nullptr;
    if (!identifierProperty || !nameProperty || !uriProperty) {
        return std::nullopt;
    }
    static const std::vector<std::string> kColumns{"globalIdentifier", "nameOfEntity", "storeURI"};
    constexpr std::size_t kChunk = 500;
    // Rows of sub-entities (other columns) make this give way to the objects.
    struct Found {
        RecordsByIdentifier* records;
        std::string_view identifier;
        const plat::coredata::StoreSnapshot* row;
    };
    std::vector<Found> found;
    std::vector<plat::coredata::SnapshotPtr> kept;  // the found identifiers' texts
    for (std::size_t first = 0; first < identifiers.size(); first += kChunk) {
        const auto request =
            identifierRecordsRequest(identifiers, first, std::min(kChunk, identifiers.size() - first));
        auto rows = coordinator->fetchRowsReading(request, *rowEntity, kColumns);
        if (!rows.ok()) {
            return rows.error();
        }
        for (auto& row : *rows) {
            if (row->objectID->entity() != rowEntity.get()) {
                return std::nullopt;
            }
            const auto& values = row->values;
            if (nameProperty->index() >= values.size() || identifierProperty->index() >= values.size() ||
                uriProperty->index() >= values.size()) {
                return std::nullopt;
            }
            const std::string* name = values[nameProperty->index()].asString();
            const std::string* identifier = values[identifierProperty->index()].asString();
            if (!name || !identifier) {
                continue;
            }
            const auto wanted = recordsByEntity.find(*name);
            if (wanted == recordsByEntity.end()) {
                continue;
            }
            found.push_back({wanted->second, *identifier, row.get()});
            kept.push_back(std::move(row));
        }
    }
    const auto storeURIs = SYNStoreURIs::forCoordinator(*coordinator);
    for (const auto& [records, identifier, row] : found) {
        if (auto record = context.objectWithID(row->objectID)) {
            keepFirstRecord(*records, identifier, record, row->values[uriProperty->index()], *storeURIs);
        }
    }
    return plat::ErrorPtr();
}

// Looks up the records of these identifiers (each listed once, each a key of
// records with a null record) and puts those found in records; of several
// records of one identifier and entity, the first made is taken.
plat::ErrorPtr fetchRecords(const IdentifierList& identifiers, const std::string& entityName,
                            RecordsByIdentifier& records, plat::coredata::ManagedObjectContext& context) {
    constexpr std::size_t kChunk = 500;
    const auto storeURIs = SYNStoreURIs::forContext(context);
    for (std::size_t first = 0; first < identifiers.size(); first += kChunk) {
        const auto request =
            identifierRecordsRequest(identifiers, first, std::min(kChunk, identifiers.size() - first));
        auto batch = context.executeFetchRequest(request);
        if (!batch.ok()) {
            return batch.error();
        }
        for (const auto& record : *batch) {
            const Value name = record->valueForKey("nameOfEntity");
            if (!name.isString() || *name.asString() != entityName) {
                continue;
            }
            const Value identifier = record->valueForKey("globalIdentifier");
            if (!identifier.isString()) {
                continue;
            }
            keepFirstRecord(records, *identifier.asString(), record, record->valueForKey("storeURI"),
                            *storeURIs);
        }
    }
    return nullptr;
}

// Identifier records by entity and identifier: those found in the store and
// those made for changes read since the last save, so that every change of
// one object shares one record. The parsed changes given to fetch must
// outlive this (their names and identifiers are its keys).
class IdentifierRecords {
  public:
    // Looks up the identifiers of these changes that are not known yet.
    // Each change is given its entry (which stays where it is while this
    // lives), so that linking it need not look the entry up again.
    plat::ErrorPtr fetch(const std::vector<ParsedEntityChanges*>& entities,
                         plat::coredata::ManagedObjectContext& context) {
        std::unordered_map<std::string_view, IdentifierList> wanted;
        for (auto* entity : entities) {
            auto& known = records_[entity->entityName];
            auto& list = wanted[entity->entityName];
            for (auto& change : entity->changes) {
                const auto [entry, added] = known.try_emplace(change.identifier());
                change.record = &entry->second;
                if (added) {
                    list.push_back(&change.globalIdentifier);
                }
            }
        }
        // Every entity's identifiers in one read where the stored rows can
        // be read; one entity after another where they cannot.
        IdentifierList all;
        RecordsByEntity recordsByEntity;
        for (const auto& [entityName, identifiers] : wanted) {
            if (!identifiers.empty()) {
                all.insert(all.end(), identifiers.begin(), identifiers.end());
                recordsByEntity.emplace(entityName, &records_[entityName]);
            }
        }
        if (all.empty()) {
            return nullptr;
        }
        if (auto stored = fetchStoredRecords(all, recordsByEntity, context)) {
            return *stored;
        }
        for (const auto& [entityName, identifiers] : wanted) {
            if (identifiers.empty()) {
                continue;
            }
            if (auto error =
                    fetchRecords(identifiers, std::string(entityName), records_[entityName], context)) {
                return error;
            }
        }
        return nullptr;
    }

    // The record (made when the store has none). The change was given to
    // fetch, with its entity.
    ManagedObjectPtr record(const std::string& entityName, const ParsedChange& change,
                            plat::coredata::ManagedObjectContext& context) {
        return known(entityName, change, context).object;
    }

    // The entry of the record with its Value, made once per record.
    KnownRecord& linked(const std::string& entityName, const ParsedChange& change,
                        plat::coredata::ManagedObjectContext& context) {
        KnownRecord& record = known(entityName, change, context);
        if (record.link.isNull()) {
            record.link = Value(record.object);
        }
        return record;
    }

    // The entry of the record (made when the store has none); it stays where
    // it is while this lives.
    KnownRecord& known(const std::string& entityName, const ParsedChange& change,
                       plat::coredata::ManagedObjectContext& context) {
        KnownRecord& record = change.record ? *change.record : records_[entityName][change.identifier()];
        const std::string& identifier = change.identifier();
        if (!record.object) {
            record.object = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            // A text of its own: the stored row may outlive the file's document.
            record.object->setValue(Value(identifier), "globalIdentifier");
            record.object->setValue(Value(entityName), "nameOfEntity");
        }
        return record;
    }

  private:
    std::unordered_map<std::string_view, RecordsByIdentifier> records_;
};

// A change made for the hand-off to the integration (see SYNImportedChanges):
// its object and identifier record, and what its record needs of it.
struct MadeChange {
    ManagedObjectPtr change;
    KnownRecord* record = nullptr;  // its store URI is moved into the hand-off
    const std::string* entityName = nullptr;
    const std::string* identifier = nullptr;
    int16_t type = 0;
    std::vector<std::shared_ptr<const SYNPropertyChangeValue>> values;
};

// Makes the records of the changes; their values are moved into them (and
// listed in `made` when given, with ChangeSideOnly linking).
void insertChanges(ParsedEntityChanges& entity, const ManagedObjectPtr& event, IdentifierRecords& identifiers,
                   plat::coredata::ManagedObjectContext& context, Linking linking = Linking::Both,
                   std::vector<MadeChange>* made = nullptr) {
    // Values shared by every change of the entity: copies share one payload
    // instead of each change allocating (and the reset freeing) its own.
    const Value entityName(entity.entityName);
    const Value eventLink = linking == Linking::ChangeSideOnly ? Value(event) : Value();
    std::shared_ptr<SYNStoreIdentifiers> storeIdentifiers;  // taken at the first values revision
    for (auto& change : entity.changes) {
        auto object = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        object->setValue(Value(change.type), "type");
        object->setValue(entityName, "nameOfEntity");
        MadeChange* entry = nullptr;
        if (linking == Linking::ChangeSideOnly) {
            KnownRecord& record = identifiers.linked(entity.entityName, change, context);
            object->setPrimitiveValue(record.link, "globalIdentifier");
            object->setPrimitiveValue(eventLink, "storeModificationEvent");
            if (made) {
                entry = &made->emplace_back();
                entry->change = object;
                entry->record = &record;
                entry->entityName = &entity.entityName;
                entry->identifier = &change.identifier();
                // As the store's column gives it back.
                entry->type = static_cast<int16_t>(change.type);
            }
        } else {
            auto record = identifiers.record(entity.entityName, change, context);
            object->setObject(record, "globalIdentifier");
            object->setObject(event, "storeModificationEvent");
        }
        // As SYNObjectChange::setPropertyChangeValues stores them, without
        // copies; the hand-off's entry takes the list itself.
        plat::Array values;
        values.reserve(change.values.size());
        if (entry) {
            for (const auto& value : change.values) {
                values.emplace_back(value);
            }
            entry->values = std::move(change.values);
        } else {
            for (auto& value : change.values) {
                values.emplace_back(std::move(value));
            }
        }
        change.values.clear();
        object->setValue(Value(std::move(values)), "propertyChangeValues");
        if (change.valuesRevision) {
            if (!storeIdentifiers) {
                storeIdentifiers = SYNStoreIdentifiers::forContext(context);
            }
            SYNObjectChange::setValuesRevision(*object, *change.valuesRevision, *storeIdentifiers);
        }
        for (const auto& filename : change.dataFiles) {
            auto record = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
            record->setValue(Value(filename), "filename");
            record->setObject(object, "objectChange");
        }
    }
}

// Every change of one file, identifiers looked up entity by entity.
plat::ErrorPtr insertFileChanges(std::vector<ParsedEntityChanges> entities, const ManagedObjectPtr& event,
                                 plat::coredata::ManagedObjectContext& context) {
    IdentifierRecords identifiers;
    for (auto& entity : entities) {
        if (auto error = identifiers.fetch({&entity}, context)) {
            return error;
        }
        insertChanges(entity, event, identifiers, context);
    }
    return nullptr;
}

}  // namespace

ManagedObjectPtr SYNJSONEventImport::importFirstFile(const std::string& path, plat::ErrorPtr* error) {
    auto parsed = plat::JSONSerialization::JSONObjectWithContentsOfFile(path);
    if (!parsed.ok()) {
        *error = parsed.error();
        return nullptr;
    }
    auto& context = this->context();
    try {
        const ParsedHeader header = parseHeader(*parsed);
        auto changes = parseChanges(*parsed);
        auto event = insertEvent(header, context);
        if (auto permanentError = context.obtainPermanentIDsForObjects({event})) {
            *error = permanentError;
            context.reset();
            return nullptr;
        }
        setEventID(event->objectID());
        if (auto insertError = insertFileChanges(std::move(changes), event, context)) {
            *error = insertError;
            return nullptr;
        }
        return event;
    } catch (const MalformedFile& exception) {
        *error = malformedError(exception);
        return nullptr;
    } catch (const plat::Exception& exception) {
        // A value of the wrong kind for its attribute, for instance.
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
    auto& context = this->context();
    auto event = context.existingObjectWithID(eventID());
    if (!event.ok()) {
        *error = event.error();
        return false;
    }
    try {
        if (auto insertError = insertFileChanges(parseChanges(*parsed), *event, context)) {
            *error = insertError;
            return false;
        }
        return true;
    } catch (const MalformedFile& exception) {
        *error = malformedError(exception);
        return false;
    } catch (const plat::Exception& exception) {
        *error = malformedError(exception);
        return false;
    }
}

// --- Many events per save -----------------------------------------------------------

namespace {

// One event of a batch, read and checked.
struct ParsedEvent {
    std::size_t index = 0;  // among the operation's paths
    ParsedHeader header;
    std::vector<ParsedEntityChanges> changes;
    std::size_t changeCount = 0;
};

// A file's bytes, read into a buffer that is not cleared first (every byte
// of it up to the length is the file's).
struct FileText {
    std::unique_ptr<char[]> bytes;
    std::size_t length = 0;
    std::string_view view() const { return {bytes.get(), length}; }
};

// The bytes of a JSON event file, opened once: nullopt for anything but a
// regular file of at most SYNEventFileMaximumSize bytes (a link is not
// followed) whose first character after blanks is "{" (any other file can
// only be a binary store). Only whether the file can be read matters here
// (the one-by-one import says why not), so it is opened by its path, and
// kept non-blocking: reads of a regular file never wait.
std::optional<FileText> readJSONEventFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > SYNEventFileMaximumSize) {
        (void)::close(fd);  // opened to read only: nothing to lose
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    // One byte more than the size found at the open tells a file that grew.
    const std::size_t capacity = size + 1;
    FileText text{std::make_unique_for_overwrite<char[]>(capacity)};
    std::size_t length = 0;
    bool failed = false;
    // A read that stops short at that size has met the file's end: a later
    // read could only find bytes written after it, as after the close.
    while (length < capacity) {
        const std::size_t asked = capacity - length;
        const ssize_t n = ::read(fd, text.bytes.get() + length, asked);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        length += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < asked && length == size) {
            break;
        }
    }
    (void)::close(fd);  // opened to read only: nothing to lose
    if (failed || length > SYNEventFileMaximumSize) {
        return std::nullopt;
    }
    text.length = length;
    for (const char byte : text.view()) {
        if (byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t') {
            continue;
        }
        if (byte != '{') {
            return std::nullopt;
        }
        return text;
    }
    return std::nullopt;  // empty
}

// The event of one file; nullopt when the file cannot be read or is not a
// JSON event file (the one-by-one import says why).
std::optional<ParsedEvent> readEvent(const std::string& path, std::size_t index) {
    auto text = readJSONEventFile(path);
    if (!text) {
        return std::nullopt;
    }
    auto parsed = plat::JSONSerialization::JSONObjectWithString(text->view());
    if (!parsed.ok()) {
        return std::nullopt;
    }
    try {
        ParsedEvent event;
        event.index = index;
        event.header = parseHeader(*parsed);
        event.changes = parseChanges(*parsed);
        event.changeCount = changeCount(event.changes);
        return event;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The records of the saved changes, as the integration reads them, for the
// hand-off; the changes are listed event after event.
void offerToIntegration(SYNImportedChanges& handOff, uint64_t generation,
                        const std::vector<ManagedObjectPtr>& made,
                        const std::vector<std::size_t>& changesOfEvent, std::vector<MadeChange>& changes) {
    std::vector<SYNImportedChanges::Event> events;
    events.reserve(made.size());
    std::unordered_map<int64_t, SYNImportedChanges::Row> rows;
    rows.reserve(changes.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < made.size(); ++i) {
        auto& event = events.emplace_back();
        event.eventID = made[i]->objectID();
        event.changes.reserve(changesOfEvent[i]);
        for (std::size_t end = next + changesOfEvent[i]; next < end; ++next) {
            auto& change = changes[next];
            SYNChangeRecord& record = event.changes.emplace_back();
            record.changeID = change.change->objectID();
            record.type = change.type;
            record.entityName = *change.entityName;
            record.globalIdentifierID = change.record->object->objectID();
            record.values = std::move(change.values);
            auto [row, added] = rows.try_emplace(record.globalIdentifierID->primaryKey());
            if (added) {
                row->second.identifier = *change.identifier;
                row->second.entityName = *change.entityName;
                // Read by nothing else: the records are dropped after the offer.
                row->second.storeURI = std::move(change.record->storeURI);
            }
            ++row->second.records;
        }
    }
    handOff.offer(generation, std::move(events), std::move(rows));
}

// Makes the records of the events and saves them in one save; the events'
// IDs, or an error (nothing saved, the context reset).
// The events' values are moved into the records; while they are few, their
// records are handed to the integration that follows (SYNImportedChanges).
plat::Result<std::vector<plat::coredata::ManagedObjectIDPtr>> saveEvents(
    std::vector<ParsedEvent>& events, plat::coredata::ManagedObjectContext& context) {
    std::vector<ManagedObjectPtr> made;
    made.reserve(events.size());
    // The changes made, for the hand-off.
    std::vector<MadeChange> changes;
    std::shared_ptr<SYNImportedChanges> handOff;
    uint64_t generation = 0;
    if (!context.parentContext()) {
        std::size_t count = 0;
        for (const auto& event : events) {
            count += event.changeCount;
        }
        auto coordinator = context.persistentStoreCoordinator();
        handOff = coordinator ? SYNImportedChanges::find(*coordinator) : nullptr;
        if (handOff && handOff->hasRoomFor(count)) {
            // Taken before the identifier rows are read.
            generation = handOff->generation();
            changes.reserve(count);
        } else {
            handOff.reset();
        }
    }
    // The records found and made; the hand-off reads them after the save.
    IdentifierRecords identifiers;
    std::vector<std::size_t> changesOfEvent;
    changesOfEvent.reserve(events.size());
    try {
        // Every identifier is looked up before any record is made, while
        // the context is clean (a fetch in a context with unsaved inserts
        // visits each of them).
        std::vector<ParsedEntityChanges*> entities;
        for (auto& event : events) {
            for (auto& entity : event.changes) {
                entities.push_back(&entity);
            }
        }
        if (auto error = identifiers.fetch(entities, context)) {
            context.reset();
            return error;
        }
        for (auto& event : events) {
            // The context is reset right after the save.
            auto record = insertEvent(event.header, context, Linking::ChangeSideOnly);
            if (event.header.type == SYNStoreModificationEventTypeBaseline) {
                record->setValue(Value(int64_t{SYNStoreModificationEventTypeBaselineConsolidating}), "type");
            }
            const std::size_t before = changes.size();
            for (auto& entity : event.changes) {
                // The context is reset right after the save.
                insertChanges(entity, record, identifiers, context, Linking::ChangeSideOnly,
                              handOff ? &changes : nullptr);
            }
            changesOfEvent.push_back(changes.size() - before);
            made.push_back(std::move(record));
        }
    } catch (const std::exception& exception) {
        context.reset();
        return malformedError(exception);
    }
    if (auto error = context.save()) {
        context.reset();
        return error;
    }
    // The IDs are permanent now.
    if (handOff) {
        offerToIntegration(*handOff, generation, made, changesOfEvent, changes);
    }
    std::vector<plat::coredata::ManagedObjectIDPtr> ids;
    ids.reserve(made.size());
    for (const auto& record : made) {
        ids.push_back(record->objectID());
    }
    changes.clear();
    context.reset();
    return ids;
}

}  // namespace

SYNJSONEventBatchImport::SYNJSONEventBatchImport(std::shared_ptr<SYNEventStore> eventStore,
                                                 std::vector<std::string> paths, std::size_t changeLimit)
    : eventStore_(std::move(eventStore)), paths_(std::move(paths)), changeLimit_(changeLimit) {}

std::vector<plat::coredata::ManagedObjectIDPtr> SYNJSONEventBatchImport::eventIDs() const {
    plat::MutexLock lock(mutex_);
    return eventIDs_;
}

std::size_t SYNJSONEventBatchImport::numberOfSaves() const {
    plat::MutexLock lock(mutex_);
    return saves_;
}

void SYNJSONEventBatchImport::main() {
    {
        plat::MutexLock lock(mutex_);
        eventIDs_.assign(paths_.size(), nullptr);
    }
    auto context = eventStore_->managedObjectContext();
    if (!context) {
        return;  // every event left out; the one-by-one import reports why
    }
    std::size_t next = 0;
    std::optional<ParsedEvent> carried;  // read, and first of the next save
    while ((carried || next < paths_.size()) && !isCancelled()) {
        // Files are read while the context is free for others.
        std::vector<ParsedEvent> events;
        std::size_t changes = 0;
        if (carried) {
            changes = carried->changeCount;
            events.push_back(std::move(*carried));
            carried.reset();
        }
        while (next < paths_.size()) {
            auto event = readEvent(paths_[next], next);
            ++next;
            if (!event) {
                continue;
            }
            if (!events.empty() && changes + event->changeCount > changeLimit_) {
                carried = std::move(event);
                break;
            }
            changes += event->changeCount;
            events.push_back(std::move(*event));
        }
        if (events.empty()) {
            continue;
        }
        SYN_LOG(SYNLoggingLevelVerbose, "Importing %d events of %d changes in one save",
                static_cast<int>(events.size()), static_cast<int>(changes));
        plat::Result<std::vector<plat::coredata::ManagedObjectIDPtr>> saved =
            std::vector<plat::coredata::ManagedObjectIDPtr>();
        context->performBlockAndWait([&] { saved = saveEvents(events, *context); });
        if (!saved.ok()) {
            SYN_LOG(SYNLoggingLevelWarning, "Could not import %d events in one save: %@",
                    static_cast<int>(events.size()), saved.error());
            continue;
        }
        plat::MutexLock lock(mutex_);
        ++saves_;
        for (std::size_t i = 0; i < events.size(); ++i) {
            eventIDs_[events[i].index] = (*saved)[i];
        }
    }
}
