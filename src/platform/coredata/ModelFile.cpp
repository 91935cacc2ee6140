// Reading and writing the JSON model file format described in
// ManagedObjectModel.h.
#include <filesystem>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/JSONSerialization.h"

namespace plat::coredata {
namespace {

constexpr const char* kVersionInfoFile = "VersionInfo.json";

// Thrown inside the parser and turned into a 259 error at its boundary.
struct ParseFailure {
    std::string text;
};

[[noreturn]] void fail(std::string text) {
    throw ParseFailure{std::move(text)};
}

ErrorPtr corruptFile(const std::string& path, const std::string& why) {
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    info.set(DebugDescriptionErrorKey, Value(why));
    return makeError(FileReadCorruptFileError,
                     "The model file couldn’t be opened because it isn’t in the correct format.",
                     std::move(info));
}

const Value* member(const Value& object, std::string_view key) {
    const Value* v = object.find(key);
    return v && !v->isNull() ? v : nullptr;
}

std::string stringMember(const Value& object, std::string_view key, bool required, std::string_view where) {
    const Value* v = member(object, key);
    if (!v) {
        if (required)
            fail(std::string(where) + " has no \"" + std::string(key) + "\".");
        return {};
    }
    if (!v->isString())
        fail(std::string(where) + ": \"" + std::string(key) + "\" must be a string.");
    return *v->asString();
}

bool boolMember(const Value& object, std::string_view key, bool fallback, std::string_view where) {
    const Value* v = member(object, key);
    if (!v)
        return fallback;
    if (!v->isBool())
        fail(std::string(where) + ": \"" + std::string(key) + "\" must be true or false.");
    return v->rawBool();
}

std::size_t countMember(const Value& object, std::string_view key, std::string_view where) {
    const Value* v = member(object, key);
    if (!v)
        return 0;
    if (!v->isInteger() || v->longLongValue() < 0)
        fail(std::string(where) + ": \"" + std::string(key) + "\" must be a count.");
    return static_cast<std::size_t>(v->longLongValue());
}

Dictionary dictionaryMember(const Value& object, std::string_view key, std::string_view where) {
    const Value* v = member(object, key);
    if (!v)
        return {};
    if (!v->isDictionary())
        fail(std::string(where) + ": \"" + std::string(key) + "\" must be an object.");
    return *v->asDictionary();
}

const Array& arrayMember(const Value& object, std::string_view key, std::string_view where) {
    static const Array empty;
    const Value* v = member(object, key);
    if (!v)
        return empty;
    if (!v->isArray())
        fail(std::string(where) + ": \"" + std::string(key) + "\" must be an array.");
    return *v->asArray();
}

// The typed default value of an attribute from its JSON form.
std::optional<Value> defaultFromJSON(const Value& json, AttributeType type) {
    if (json.isNull())
        return std::nullopt;
    std::optional<Value> v;
    const std::string* text = json.asString();
    switch (type) {
        case AttributeType::Date:
            if (text) {
                if (auto d = Date::fromISO8601(*text))
                    v = Value(*d);
            } else if (json.isNumber()) {
                v = Value(Date(json.doubleValue()));
            }
            break;
        case AttributeType::BinaryData:
            if (text) {
                if (auto d = Data::fromBase64(*text))
                    v = Value(std::move(*d));
            }
            break;
        case AttributeType::Decimal:
            v = text ? Value(Decimal::fromString(*text)) : coerceValue(json, type);
            break;
        case AttributeType::UUID:
            if (text) {
                if (auto u = UUID::fromString(*text))
                    v = UUIDObject::make(*u);
            }
            break;
        case AttributeType::URI:
            if (text) {
                if (auto u = URL::URLWithString(*text))
                    v = Value(URLObject::make(*u));
            }
            break;
        default:
            v = coerceValue(json, type);
            break;
    }
    if (!v)
        fail("default value " + json.description() + " does not fit type " + attributeTypeName(type) + ".");
    return v;
}

Value defaultToJSON(const Value& v, AttributeType type) {
    switch (type) {
        case AttributeType::Date:
            return Value(v.asDate()->iso8601String());
        case AttributeType::BinaryData:
            return Value(v.asData()->base64EncodedString());
        case AttributeType::Decimal:
            return Value(v.asDecimal()->toString());
        case AttributeType::UUID:
        case AttributeType::URI:
            return Value(v.asObject()->description());
        default:
            return v;
    }
}

void parseAttribute(EntityDescription& entity, const Value& json) {
    const std::string where = "an attribute of \"" + entity.name() + "\"";
    std::string name = stringMember(json, "name", true, where);
    std::string typeName = stringMember(json, "type", true, where);
    auto type = attributeTypeFromName(typeName);
    if (!type)
        fail(where + " has an unknown type \"" + typeName + "\".");
    auto& a = entity.addAttribute(name, *type);
    a.setOptional(boolMember(json, "optional", true, where));
    a.setTransient(boolMember(json, "transient", false, where));
    a.setIndexed(boolMember(json, "indexed", false, where));
    a.setUserInfo(dictionaryMember(json, "userInfo", where));
    a.setVersionHashModifier(stringMember(json, "versionHashModifier", false, where));
    a.setValueTransformerName(stringMember(json, "valueTransformerName", false, where));
    if (const Value* d = member(json, "default"))
        a.setDefaultValue(defaultFromJSON(*d, *type));
}

void parseRelationship(EntityDescription& entity, const Value& json) {
    const std::string where = "a relationship of \"" + entity.name() + "\"";
    auto& r = entity.addRelationship(stringMember(json, "name", true, where),
                                     stringMember(json, "destination", true, where));
    r.setInverseName(stringMember(json, "inverse", false, where));
    r.setToMany(boolMember(json, "toMany", false, where));
    if (boolMember(json, "ordered", false, where))
        r.setOrdered(true);
    std::string rule = stringMember(json, "deleteRule", false, where);
    if (!rule.empty()) {
        auto parsed = deleteRuleFromName(rule);
        if (!parsed)
            fail(where + " has an unknown delete rule \"" + rule + "\".");
        r.setDeleteRule(*parsed);
    }
    r.setMinCount(countMember(json, "minCount", where));
    r.setMaxCount(countMember(json, "maxCount", where));
    r.setOptional(boolMember(json, "optional", true, where));
    r.setTransient(boolMember(json, "transient", false, where));
    r.setIndexed(boolMember(json, "indexed", false, where));
    r.setUserInfo(dictionaryMember(json, "userInfo", where));
    r.setVersionHashModifier(stringMember(json, "versionHashModifier", false, where));
}

void parseEntity(ManagedObjectModel& model, const Value& json) {
    if (!json.isDictionary())
        fail("an entity must be an object.");
    auto& e = model.addEntity(stringMember(json, "name", true, "an entity"));
    const std::string where = "entity \"" + e.name() + "\"";
    e.setAbstract(boolMember(json, "abstract", false, where));
    e.setSuperentityName(stringMember(json, "superentity", false, where));
    e.setUserInfo(dictionaryMember(json, "userInfo", where));
    e.setVersionHashModifier(stringMember(json, "versionHashModifier", false, where));
    for (const Value& a : arrayMember(json, "attributes", where)) {
        if (!a.isDictionary())
            fail(where + ": an attribute must be an object.");
        parseAttribute(e, a);
    }
    for (const Value& r : arrayMember(json, "relationships", where)) {
        if (!r.isDictionary())
            fail(where + ": a relationship must be an object.");
        parseRelationship(e, r);
    }
}

void propertyCommonJSON(const PropertyDescription& p, Dictionary& out) {
    out.set("name", Value(p.name()));
    out.set("optional", Value(p.isOptional()));
    out.set("transient", Value(p.isTransient()));
    out.set("indexed", Value(p.isIndexed()));
    if (!p.userInfo().empty())
        out.set("userInfo", Value(p.userInfo()));
    if (!p.versionHashModifier().empty())
        out.set("versionHashModifier", Value(p.versionHashModifier()));
}

Value attributeJSON(const AttributeDescription& a) {
    Dictionary out;
    propertyCommonJSON(a, out);
    out.set("type", Value(attributeTypeName(a.attributeType())));
    if (!a.valueTransformerName().empty())
        out.set("valueTransformerName", Value(a.valueTransformerName()));
    if (a.defaultValue())
        out.set("default", defaultToJSON(*a.defaultValue(), a.attributeType()));
    return Value(std::move(out));
}

Value relationshipJSON(const RelationshipDescription& r) {
    Dictionary out;
    propertyCommonJSON(r, out);
    out.set("destination", Value(r.destinationEntityName()));
    if (!r.inverseName().empty())
        out.set("inverse", Value(r.inverseName()));
    out.set("toMany", Value(r.isToMany()));
    out.set("ordered", Value(r.isOrdered()));
    out.set("deleteRule", Value(deleteRuleName(r.deleteRule())));
    out.set("minCount", Value(static_cast<int64_t>(r.minCount())));
    out.set("maxCount", Value(static_cast<int64_t>(r.maxCount())));
    return Value(std::move(out));
}

Result<Value> readJSONFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        Dictionary info;
        info.set(FilePathErrorKey, Value(path.string()));
        return makeError(FileReadNoSuchFileError,
                         "The model file “" + path.filename().string() +
                             "” couldn’t be opened because there is no such file.",
                         std::move(info));
    }
    auto json = JSONSerialization::JSONObjectWithContentsOfFile(path.string());
    if (!json)
        return corruptFile(path.string(), json.error()->description());
    return json;
}

Result<std::shared_ptr<ManagedObjectModel>> loadModelFile(const std::filesystem::path& path) {
    auto json = readJSONFile(path);
    if (!json)
        return json.error();
    auto model = ManagedObjectModel::modelFromJSON(*json);
    if (!model) {
        std::string why = model.error()->userInfo().find(DebugDescriptionErrorKey)
                              ? model.error()->userInfo().find(DebugDescriptionErrorKey)->stringValue()
                              : model.error()->localizedDescription();
        return corruptFile(path.string(), why);
    }
    return model;
}

}  // namespace

Result<std::shared_ptr<ManagedObjectModel>> ManagedObjectModel::modelFromJSON(const Value& json) {
    auto model = create();
    try {
        if (!json.isDictionary())
            fail("a model file must hold a JSON object.");
        std::set<std::string> identifiers;
        for (const Value& id : arrayMember(json, "versionIdentifiers", "the model")) {
            if (!id.isString())
                fail("version identifiers must be strings.");
            identifiers.insert(*id.asString());
        }
        model->setVersionIdentifiers(std::move(identifiers));
        for (const Value& e : arrayMember(json, "entities", "the model"))
            parseEntity(*model, e);
    } catch (const ParseFailure& failure) {
        return corruptFile("", failure.text);
    } catch (const ModelException& e) {
        return corruptFile("", e.reason());
    }
    if (auto error = model->finalize())
        return corruptFile("", error->localizedDescription());
    return model;
}

Value ManagedObjectModel::JSONRepresentation() const {
    Array identifiers;
    for (const auto& id : versionIdentifiers_)
        identifiers.push_back(Value(id));
    Array entities;
    for (const auto& e : entities_) {
        Dictionary entity;
        entity.set("name", Value(e->name()));
        entity.set("abstract", Value(e->isAbstract()));
        if (!e->superentityName().empty())
            entity.set("superentity", Value(e->superentityName()));
        if (!e->userInfo().empty())
            entity.set("userInfo", Value(e->userInfo()));
        if (!e->versionHashModifier().empty())
            entity.set("versionHashModifier", Value(e->versionHashModifier()));
        Array attributes, relationships;
        for (const PropertyDescription* p : e->ownProperties()) {
            if (p->isAttribute())
                attributes.push_back(attributeJSON(*static_cast<const AttributeDescription*>(p)));
            else
                relationships.push_back(relationshipJSON(*static_cast<const RelationshipDescription*>(p)));
        }
        entity.set("attributes", Value(std::move(attributes)));
        entity.set("relationships", Value(std::move(relationships)));
        entities.push_back(Value(std::move(entity)));
    }
    Dictionary out;
    out.set("versionIdentifiers", Value(std::move(identifiers)));
    out.set("entities", Value(std::move(entities)));
    return Value(std::move(out));
}

Result<std::map<std::string, std::shared_ptr<ManagedObjectModel>>> ManagedObjectModel::modelVersionsAtURL(
    const URL& url) {
    namespace fs = std::filesystem;
    std::map<std::string, std::shared_ptr<ManagedObjectModel>> versions;
    fs::path path = url.path();
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        auto model = loadModelFile(path);
        if (!model)
            return model.error();
        versions[path.stem().string()] = *model;
        return versions;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(path, ec)) {
        if (entry.path().extension() == ".json" && entry.path().filename() != kVersionInfoFile)
            files.push_back(entry.path());
    }
    for (const auto& file : files) {
        auto model = loadModelFile(file);
        if (!model)
            return model.error();
        versions[file.stem().string()] = *model;
    }
    return versions;
}

Result<std::shared_ptr<ManagedObjectModel>> ManagedObjectModel::modelWithContentsOfURL(const URL& url) {
    namespace fs = std::filesystem;
    fs::path path = url.path();
    std::error_code ec;
    if (!fs::is_directory(path, ec))
        return loadModelFile(path);
    auto info = readJSONFile(path / kVersionInfoFile);
    if (!info)
        return info.error();
    const Value* current = info->find("currentVersion");
    if (!current || !current->isString() || current->asString()->empty() ||
        current->asString()->find('/') != std::string::npos)
        return corruptFile((path / kVersionInfoFile).string(), "\"currentVersion\" must name a model file.");
    return loadModelFile(path / (*current->asString() + ".json"));
}

}  // namespace plat::coredata
