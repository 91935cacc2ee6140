#include "platform/coredata/ValueTransformer.h"

#include <unordered_map>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Mutex.h"

namespace plat::coredata {
namespace {

struct Registry {
    plat::Mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<const ValueTransformer>> byName GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: usable during exit
    return *r;
}

ErrorPtr missingTransformer(const std::string& name) {
    return makeError(CoreDataError, "No value transformer is registered under the name \"" + name + "\".");
}

}  // namespace

void ValueTransformer::setValueTransformer(std::shared_ptr<const ValueTransformer> transformer,
                                           const std::string& name) {
    Registry& r = registry();
    plat::MutexLock lock(r.mutex);
    if (transformer)
        r.byName[name] = std::move(transformer);
    else
        r.byName.erase(name);
}

std::shared_ptr<const ValueTransformer> ValueTransformer::valueTransformerForName(const std::string& name) {
    Registry& r = registry();
    plat::MutexLock lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

Result<Data> encodeTransformable(const Value& value, const std::string& transformerName) {
    if (transformerName.empty())
        return KeyedArchiver::archivedDataWithRootObject(value);
    auto transformer = ValueTransformer::valueTransformerForName(transformerName);
    if (!transformer)
        return missingTransformer(transformerName);
    return transformer->transformedValue(value);
}

Result<Value> decodeTransformable(const Data& data, const std::string& transformerName) {
    if (transformerName.empty()) {
        UUIDObject::registerForArchiving();  // archives may hold UUIDs before any was made here
        auto decoded = KeyedUnarchiver::unarchivedObjectWithData(data);
        if (!decoded)
            return decoded.error();
        return decoded.value().value_or(Value());
    }
    auto transformer = ValueTransformer::valueTransformerForName(transformerName);
    if (!transformer)
        return missingTransformer(transformerName);
    return transformer->reverseTransformedValue(data);
}

Result<Value> decodeTransformable(std::string_view bytes, const std::string& transformerName) {
    if (transformerName.empty())
        return decodeTransformable(Data(bytes.data(), bytes.size()), transformerName);
    auto transformer = ValueTransformer::valueTransformerForName(transformerName);
    if (!transformer)
        return missingTransformer(transformerName);
    return transformer->reverseTransformedBytes(bytes);
}

Result<Value> ValueTransformer::reverseTransformedBytes(std::string_view bytes) const {
    return reverseTransformedValue(Data(bytes.data(), bytes.size()));
}

}  // namespace plat::coredata
