#include "platform/foundation/KeyedArchiver.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace plat {
namespace {

constexpr const char* kNull = "$null";
constexpr int64_t kArchiveVersion = 100000;

ErrorPtr coderError(int64_t code, const std::string& reason) {
    const char* description = code == CoderReadCorruptError
                                  ? "The data couldn’t be read because it isn’t in the correct format."
                                  : "The data couldn’t be written because it isn’t in the correct format.";
    return Error::make(
        CocoaErrorDomain, code,
        Dictionary{{LocalizedDescriptionKey, Value(description)}, {DebugDescriptionErrorKey, Value(reason)}});
}

// Keys beginning with "$" are the archive's own; callers' keys that do are
// stored with one more "$".
std::string escapeKey(std::string_view key) {
    return !key.empty() && key[0] == '$' ? std::string("$") + std::string(key) : std::string(key);
}

Value uid(uint64_t v) {
    return PropertyListUID::make(v);
}

const PropertyListUID* asUID(const Value* v) {
    if (!v || !v->isObject())
        return nullptr;
    const Object* object = v->asObject().get();
    // The class is final: comparing types is enough, and cheaper than a cast.
    return object && typeid(*object) == typeid(PropertyListUID) ? static_cast<const PropertyListUID*>(object)
                                                                : nullptr;
}

struct Registry {
    Mutex mutex;
    std::unordered_map<std::string, std::function<ObjectPtr(KeyedUnarchiver&)>> factories GUARDED_BY(mutex);
    std::unordered_map<std::type_index, std::vector<std::string>> namesByType GUARDED_BY(mutex);
    // archived name → current name
    std::unordered_map<std::string, std::string> classNames GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: may be used during exit
    return *r;
}

}  // namespace

// --- KeyedArchiver -----------------------------------------------------------------

KeyedArchiver::KeyedArchiver() {
    objects_.push_back(Value(kNull));
    frames_.emplace_back();
    unkeyed_.push_back(0);
}

KeyedArchiver::~KeyedArchiver() = default;

Result<Data> KeyedArchiver::archivedDataWithRootObject(const Value& root) {
    KeyedArchiver archiver;
    archiver.encodeObject(root, "root");
    return archiver.encodedData();
}

ErrorPtr KeyedArchiver::archiveRootObject(const Value& root, const std::string& path) {
    auto data = archivedDataWithRootObject(root);
    if (!data)
        return data.error();
    return FileManager::defaultManager().writeData(*data, path, true);
}

void KeyedArchiver::fail(std::string reason) {
    if (!error_)
        error_ = coderError(CoderInvalidValueError, reason);
}

void KeyedArchiver::set(std::string_view key, Value v) {
    frames_.back().set(escapeKey(key), std::move(v));
}

void KeyedArchiver::encodeObject(const std::optional<Value>& value, std::string_view key) {
    set(key, uid(value ? encodeValue(*value, depth_) : 0));
}

void KeyedArchiver::encodeObject(const std::optional<Value>& value) {
    std::string key = std::string("$") + std::to_string(unkeyed_.back()++);
    frames_.back().set(key, uid(value ? encodeValue(*value, depth_) : 0));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeInt32(int32_t value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeInt64(int64_t value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    set(key, Value(value));
}
void KeyedArchiver::encodeFloat(float value, std::string_view key) {
    set(key, Value(value));
}

void KeyedArchiver::setClassName(std::string archivedName, std::string className) {
    classNames_[std::move(className)] = std::move(archivedName);
}

uint64_t KeyedArchiver::reserve() {
    objects_.emplace_back();
    return objects_.size() - 1;
}

uint64_t KeyedArchiver::classReference(const std::string& className) {
    auto found = classNames_.find(className);
    const std::string& name = found == classNames_.end() ? className : found->second;
    if (auto known = classes_.find(name); known != classes_.end())
        return known->second;
    uint64_t ref = reserve();
    objects_[ref] = Value(
        Dictionary{{"$classname", Value(name)}, {"$classes", Value(Array{Value(name), Value("NSObject")})}});
    classes_.emplace(name, ref);
    return ref;
}

uint64_t KeyedArchiver::encodeContainer(const char* className, Dictionary fields) {
    uint64_t ref = reserve();
    fields.set("$class", uid(classReference(className)));
    objects_[ref] = Value(std::move(fields));
    return ref;
}

Array KeyedArchiver::encodeItems(const Array& items, std::size_t depth) {
    Array refs;
    refs.reserve(items.size());
    for (const auto& item : items)
        refs.push_back(uid(encodeValue(item, depth + 1)));
    return refs;
}

uint64_t KeyedArchiver::encodeValue(const Value& v, std::size_t depth) {
    if (depth >= kMaxDepth) {
        fail("Objects nested too deeply to archive");
        return 0;
    }
    switch (v.kind()) {
        case Value::Kind::String: {
            auto found = strings_.find(*v.asString());
            if (found != strings_.end())
                return found->second;
            uint64_t ref = reserve();
            objects_[ref] = v;
            strings_.emplace(*v.asString(), ref);
            return ref;
        }
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
        case Value::Kind::Double:
        case Value::Kind::Data: {
            uint64_t ref = reserve();
            objects_[ref] = v;
            return ref;
        }
        case Value::Kind::Null:
            return encodeContainer("NSNull", {});
        case Value::Kind::Date:
            return encodeContainer("NSDate",
                                   {{"NS.time", Value(v.asDate()->timeIntervalSinceReferenceDate())}});
        case Value::Kind::Decimal:
            return encodeContainer("NSDecimalNumber", {{"NS.decimal", Value(v.asDecimal()->toString())}});
        case Value::Kind::Array: {
            // The container takes its place before its items, as in a depth-first walk.
            uint64_t ref = reserve();
            Value items(encodeItems(*v.asArray(), depth));
            objects_[ref] =
                Value(Dictionary{{"NS.objects", items}, {"$class", uid(classReference("NSArray"))}});
            return ref;
        }
        case Value::Kind::Set: {
            uint64_t ref = reserve();
            Value items(encodeItems(v.asSet()->values(), depth));
            objects_[ref] =
                Value(Dictionary{{"NS.objects", items}, {"$class", uid(classReference("NSSet"))}});
            return ref;
        }
        case Value::Kind::Dictionary: {
            uint64_t ref = reserve();
            Array keys, values;
            keys.reserve(v.count());
            values.reserve(v.count());
            for (const auto& [key, item] : *v.asDictionary()) {
                keys.push_back(uid(encodeValue(Value(key), depth + 1)));
                values.push_back(uid(encodeValue(item, depth + 1)));
            }
            objects_[ref] = Value(Dictionary{{"NS.keys", Value(std::move(keys))},
                                             {"NS.objects", Value(std::move(values))},
                                             {"$class", uid(classReference("NSDictionary"))}});
            return ref;
        }
        case Value::Kind::Object: {
            ObjectPtr object = v.asObject();
            auto* coding = dynamic_cast<const Coding*>(object.get());
            if (!coding) {
                fail(std::string("Objects of class ") + object->className() + " cannot be archived");
                return 0;
            }
            return encodeCoding(object, *coding, depth);
        }
    }
    return 0;
}

uint64_t KeyedArchiver::encodeCoding(const ObjectPtr& object, const Coding& coding, std::size_t depth) {
    if (auto found = shared_.find(object.get()); found != shared_.end())
        return found->second;
    uint64_t ref = reserve();
    shared_.emplace(object.get(), ref);
    keepAlive_.push_back(object);
    uint64_t cls = classReference(coding.className());
    frames_.emplace_back();
    frames_.back().reserve(detail::PositionIndex::kThreshold);  // most objects have a few fields
    unkeyed_.push_back(0);
    std::size_t savedDepth = depth_;
    depth_ = depth + 1;
    coding.encodeWithCoder(*this);
    depth_ = savedDepth;
    Dictionary fields = std::move(frames_.back());
    frames_.pop_back();
    unkeyed_.pop_back();
    fields.set("$class", uid(cls));
    objects_[ref] = Value(std::move(fields));
    return ref;
}

Result<Data> KeyedArchiver::encodedData() {
    if (error_)
        return error_;
    Dictionary archive{{"$version", Value(kArchiveVersion)},
                       {"$archiver", Value("NSKeyedArchiver")},
                       {"$top", Value(frames_.front())},
                       {"$objects", Value(Array(objects_))}};
    return PropertyListSerialization::dataWithPropertyList(Value(std::move(archive)),
                                                           PropertyListSerialization::Format::Binary);
}

// --- KeyedUnarchiver ---------------------------------------------------------------

void KeyedUnarchiver::registerFactory(std::string name, std::type_index type,
                                      std::function<ObjectPtr(KeyedUnarchiver&)> f) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto& names = r.namesByType[type];
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    r.factories[std::move(name)] = std::move(f);
}

std::vector<std::string> KeyedUnarchiver::registeredNames(std::type_index type) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto found = r.namesByType.find(type);
    return found == r.namesByType.end() ? std::vector<std::string>{} : found->second;
}

void KeyedUnarchiver::setClassForClassName(std::string className, std::string archivedName) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    r.classNames[std::move(archivedName)] = std::move(className);
}

KeyedUnarchiver::KeyedUnarchiver(Value archive, const Dictionary* top, const Array* objects)
    : archive_(std::move(archive)), objects_(objects) {
    frames_.push_back({top});
    decoded_.assign(objects_->size(), std::nullopt);
    state_.assign(objects_->size(), 0);
    weight_.assign(objects_->size(), 1);
}

KeyedUnarchiver::~KeyedUnarchiver() = default;

Result<std::unique_ptr<KeyedUnarchiver>> KeyedUnarchiver::create(const Data& data) {
    auto plist = PropertyListSerialization::propertyListWithData(data);
    if (!plist)
        return coderError(CoderReadCorruptError, "Not a property list");
    const Value* top = plist->find("$top");
    const Value* objects = plist->find("$objects");
    const Value* archiver = plist->find("$archiver");
    if (!top || !top->isDictionary() || !objects || !objects->isArray() || objects->count() == 0 ||
        !archiver || !archiver->isString())
        return coderError(CoderReadCorruptError, "Not a keyed archive");
    Value archive = std::move(*plist);
    const Dictionary* topFields = archive.find("$top")->asDictionary();
    const Array* table = archive.find("$objects")->asArray();
    auto unarchiver = std::unique_ptr<KeyedUnarchiver>(new KeyedUnarchiver(archive, topFields, table));
    // Every reference costs bytes of the archive, so archives without
    // multiplying shared containers stay far below this.
    unarchiver->weightLimit_ = std::max<uint64_t>(uint64_t{1} << 20, 64 * uint64_t{data.length()});
    return unarchiver;
}

Result<std::optional<Value>> KeyedUnarchiver::unarchivedObjectWithData(const Data& data) {
    auto unarchiver = create(data);
    if (!unarchiver)
        return unarchiver.error();
    return (*unarchiver)->decodeTopLevelObject();
}

Result<std::optional<Value>> KeyedUnarchiver::unarchivedObjectOfClasses(
    const std::vector<std::string>& classes, const Data& data) {
    auto unarchiver = create(data);
    if (!unarchiver)
        return unarchiver.error();
    (*unarchiver)->setRequiresSecureCoding(true);
    (*unarchiver)->setAllowedClasses(classes);
    return (*unarchiver)->decodeTopLevelObject();
}

Result<std::optional<Value>> KeyedUnarchiver::unarchiveObjectWithFile(const std::string& path) {
    auto data = FileManager::defaultManager().dataWithContentsOfFile(path);
    if (!data)
        return data.error();
    return unarchivedObjectWithData(*data);
}

void KeyedUnarchiver::setAllowedClasses(std::vector<std::string> classes) {
    allowedClasses_ = std::move(classes);
}

void KeyedUnarchiver::setClass(std::string className, std::string archivedName) {
    classNames_[std::move(archivedName)] = std::move(className);
    classes_.clear();
}

Result<std::optional<Value>> KeyedUnarchiver::decodeTopLevelObject(std::string_view key) {
    auto v = decodeObject(key);
    if (error_)
        return error_;
    return v;
}

std::nullopt_t KeyedUnarchiver::fail(std::string reason) {
    if (!error_)
        error_ = coderError(CoderReadCorruptError, reason);
    return std::nullopt;
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
    if (!error_)
        error_ = error ? std::move(error) : coderError(CoderReadCorruptError, "Decoding failed");
}

const Value* KeyedUnarchiver::field(std::string_view key) const {
    if (!key.empty() && key[0] == '$')
        return frames_.back().fields->find(escapeKey(key));
    return frames_.back().fields->find(key);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return field(key) != nullptr;
}

std::optional<Value> KeyedUnarchiver::decodeObject(std::string_view key) {
    return decodeReference(field(key), nullptr);
}

std::optional<Value> KeyedUnarchiver::decodeObjectOfClasses(const std::vector<std::string>& classes,
                                                            std::string_view key) {
    return decodeReference(field(key), &classes);
}

std::optional<Value> KeyedUnarchiver::decodeObject() {
    std::string key = std::string("$") + std::to_string(frames_.back().unkeyed++);
    return decodeReference(frames_.back().fields->find(key), nullptr);
}

std::optional<Value> KeyedUnarchiver::decodeReference(const Value* ref,
                                                      const std::vector<std::string>* extra) {
    const PropertyListUID* id = asUID(ref);
    if (!id)
        return std::nullopt;
    if (extra)
        allowedStack_.push_back(extra);
    auto v = resolve(id->value());
    if (extra)
        allowedStack_.pop_back();
    return v;
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isString() ? std::optional<std::string>(*v->asString()) : std::nullopt;
}

std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) {
    auto v = decodeObject(key);
    return v ? v->asDate() : std::nullopt;
}

std::optional<Data> KeyedUnarchiver::decodeData(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isData() ? std::optional<Data>(*v->asData()) : std::nullopt;
}

std::optional<Array> KeyedUnarchiver::decodeArray(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isArray() ? std::optional<Array>(*v->asArray()) : std::nullopt;
}

std::optional<Dictionary> KeyedUnarchiver::decodeDictionary(std::string_view key) {
    auto v = decodeObject(key);
    return v && v->isDictionary() ? std::optional<Dictionary>(*v->asDictionary()) : std::nullopt;
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const {
    const Value* v = field(key);
    return v && v->isNumber() && v->boolValue();
}

int32_t KeyedUnarchiver::decodeInt32(std::string_view key) const {
    const Value* v = field(key);
    return v && v->isNumber() ? v->intValue() : 0;
}

int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const {
    const Value* v = field(key);
    return v && v->isNumber() ? v->longLongValue() : 0;
}

double KeyedUnarchiver::decodeDouble(std::string_view key) const {
    const Value* v = field(key);
    return v && v->isNumber() ? v->doubleValue() : 0;
}

float KeyedUnarchiver::decodeFloat(std::string_view key) const {
    const Value* v = field(key);
    return v && v->isNumber() ? v->floatValue() : 0;
}

void KeyedUnarchiver::addWeight(uint64_t weight) {
    if (!weights_.empty())
        weights_.back() = std::min(weights_.back() + weight, weightLimit_ + 1);
}

std::optional<Value> KeyedUnarchiver::resolve(uint64_t id) {
    if (id == 0)
        return std::nullopt;
    if (id >= objects_->size())
        return fail("Object reference out of range");
    if (state_[id] == 2) {
        addWeight(weight_[id]);
        return decoded_[id];
    }
    if (state_[id] == 1)
        return fail("Reference cycle in archive");
    if (frames_.size() > kMaxDepth)
        return fail("Objects nested too deeply");
    const Value& stored = (*objects_)[id];
    std::optional<Value> v;
    if (stored.isDictionary()) {
        state_[id] = 1;
        // What the object's decoding resolves counts towards its weight.
        weights_.push_back(1);
        v = decodeClassed(*stored.asDictionary());
        weight_[id] = weights_.back();
        weights_.pop_back();
        if (v && weight_[id] > weightLimit_)
            return fail("Shared objects expand beyond the size limit");
    } else if (stored.isString() || stored.isNumber() || stored.isData()) {
        v = stored;
    } else {
        return fail("Unexpected object in archive");
    }
    if (!v || error_)
        return std::nullopt;
    state_[id] = 2;
    decoded_[id] = v;
    addWeight(weight_[id]);
    return v;
}

std::shared_ptr<KeyedUnarchiver::ClassInfo> KeyedUnarchiver::classOf(const Dictionary& fields) {
    const PropertyListUID* cls = asUID(fields.find("$class"));
    if (!cls || cls->value() >= objects_->size())
        return fail("Object without a class"), nullptr;
    if (auto known = classes_.find(cls->value()); known != classes_.end())
        return known->second;
    const Value* name = (*objects_)[cls->value()].find("$classname");
    if (!name || !name->isString())
        return fail("Malformed class description"), nullptr;
    auto info = std::make_shared<ClassInfo>();
    ClassInfo& c = *info;
    c.name = currentClassName(*name->asString());
    const std::string& n = c.name;
    c.kind = n == "NSArray" || n == "NSMutableArray"             ? ClassKind::Array
             : n == "NSSet" || n == "NSMutableSet"               ? ClassKind::Set
             : n == "NSDictionary" || n == "NSMutableDictionary" ? ClassKind::Dictionary
             : n == "NSNull"                                     ? ClassKind::Null
             : n == "NSDate"                                     ? ClassKind::Date
             : n == "NSDecimalNumber"                            ? ClassKind::Decimal
                                                                 : ClassKind::Custom;
    classes_.emplace(cls->value(), info);
    return info;
}

std::string KeyedUnarchiver::currentClassName(const std::string& archivedName) const {
    if (auto found = classNames_.find(archivedName); found != classNames_.end())
        return found->second;
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto found = r.classNames.find(archivedName);
    return found == r.classNames.end() ? archivedName : found->second;
}

std::optional<Array> KeyedUnarchiver::decodeReferences(const Value* refs) {
    if (!refs || !refs->isArray())
        return fail("Malformed collection");
    Array items;
    items.reserve(refs->count());
    for (const auto& ref : *refs->asArray()) {
        const PropertyListUID* id = asUID(&ref);
        if (!id)
            return fail("Malformed collection");
        auto item = resolve(id->value());
        if (!item)
            return error_ ? std::nullopt : fail("Nil inside a collection");
        items.push_back(std::move(*item));
    }
    return items;
}

std::optional<Value> KeyedUnarchiver::decodeClassed(const Dictionary& fields) {
    // Held here: a factory may change class names, which empties the cache.
    std::shared_ptr<ClassInfo> cls = classOf(fields);
    if (!cls)
        return std::nullopt;
    frames_.push_back({&fields});
    std::optional<Value> v;
    if (cls->kind == ClassKind::Array) {
        if (auto items = decodeReferences(fields.find("NS.objects")))
            v = Value(std::move(*items));
    } else if (cls->kind == ClassKind::Set) {
        if (auto items = decodeReferences(fields.find("NS.objects"))) {
            Set set;
            for (auto& item : *items)
                set.insert(std::move(item));
            v = Value(std::move(set));
        }
    } else if (cls->kind == ClassKind::Dictionary) {
        auto keys = decodeReferences(fields.find("NS.keys"));
        auto values = keys ? decodeReferences(fields.find("NS.objects")) : std::nullopt;
        if (values && values->size() != keys->size())
            fail("Dictionary keys and values do not match");
        if (values && !error_) {
            Dictionary dict;
            for (std::size_t i = 0; i < keys->size() && !error_; ++i) {
                if (!(*keys)[i].isString())
                    fail("Dictionary key is not a string");
                else
                    dict.set(*(*keys)[i].asString(), std::move((*values)[i]));
            }
            if (!error_)
                v = Value(std::move(dict));
        }
    } else if (cls->kind == ClassKind::Null) {
        v = Value();
    } else if (cls->kind == ClassKind::Date) {
        const Value* t = fields.find("NS.time");
        if (t && t->isNumber())
            v = Value(Date(t->doubleValue()));
        else
            fail("Malformed date");
    } else if (cls->kind == ClassKind::Decimal) {
        const Value* text = fields.find("NS.decimal");
        if (text && text->isString())
            v = Value(Decimal::fromString(*text->asString()));
        else
            fail("Malformed decimal number");
    } else {
        v = decodeCustom(*cls);
    }
    frames_.pop_back();
    return v;
}

bool KeyedUnarchiver::isAllowed(const std::string& className) const {
    if (!requiresSecureCoding_)
        return true;
    auto listed = [&](const std::vector<std::string>& names) {
        return std::find(names.begin(), names.end(), className) != names.end();
    };
    if (listed(allowedClasses_))
        return true;
    return std::any_of(allowedStack_.begin(), allowedStack_.end(),
                       [&](auto* names) { return listed(*names); });
}

std::optional<Value> KeyedUnarchiver::decodeCustom(ClassInfo& cls) {
    const std::string& className = cls.name;
    if (!isAllowed(className))
        return fail(std::string("Value of class '") + className + "' is not among the allowed classes");
    if (!cls.factoryLooked) {
        Registry& r = registry();
        MutexLock lock(r.mutex);
        auto found = r.factories.find(className);
        if (found != r.factories.end())
            cls.factory = found->second;
        cls.factoryLooked = true;
    }
    const auto& factory = cls.factory;
    if (!factory)
        return fail(std::string("Cannot decode object of class (") + className +
                    "): the class is not registered");
    ObjectPtr object = factory(*this);
    if (error_)
        return std::nullopt;
    if (!object)
        return fail(std::string("Object of class (") + className + ") could not be decoded");
    return Value(std::move(object));
}

}  // namespace plat
