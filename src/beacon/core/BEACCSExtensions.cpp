#include "beacon/core/BEACCSExtensions.h"

#include <array>
#include <utility>
#include <vector>

#include "beacon/core/BEACLogger.h"
#include "platform/foundation/UUIDObject.h"

using beac::detail::encodeString;
using beac::detail::sameObject;

namespace {

template <class T>
using StringFields = std::vector<std::pair<const char*, std::optional<std::string> T::*>>;

template <class T>
void writeStrings(const T& object, const StringFields<T>& fields, plat::Dictionary& dict) {
    for (const auto& [key, member] : fields)
        beac::detail::setIfPresent(dict, key, object.*member);
}

template <class T>
bool sameStrings(const T& a, const T& b, const StringFields<T>& fields) {
    for (const auto& [key, member] : fields) {
        if (a.*member != b.*member)
            return false;
    }
    return true;
}

template <class T>
void encodeStrings(const T& object, const StringFields<T>& fields, plat::KeyedArchiver& coder) {
    for (const auto& [key, member] : fields)
        encodeString(coder, object.*member, key);
}

template <class T>
void decodeStrings(T& object, const StringFields<T>& fields, plat::KeyedUnarchiver& coder) {
    for (const auto& [key, member] : fields)
        object.*member = coder.decodeString(key);
}

std::optional<plat::Dictionary> nonEmpty(plat::Dictionary dict) {
    if (dict.empty())
        return std::nullopt;
    return dict;
}

}  // namespace

// The class-specific boilerplate of extensions made only of strings.
#define BEAC_STRING_EXTENSION(Class, ...)                              \
    static const StringFields<Class> k##Class##Fields = {__VA_ARGS__}; \
    std::optional<plat::Dictionary> Class::jsonDictionary() const {    \
        plat::Dictionary dict;                                         \
        writeStrings(*this, k##Class##Fields, dict);                   \
        return nonEmpty(std::move(dict));                              \
    }                                                                  \
    bool Class::isEqual(const plat::Object& other) const {             \
        const auto* ext = dynamic_cast<const Class*>(&other);          \
        return ext && sameStrings(*this, *ext, k##Class##Fields);      \
    }                                                                  \
    void Class::encodeWithCoder(plat::KeyedArchiver& coder) const {    \
        encodeStrings(*this, k##Class##Fields, coder);                 \
    }                                                                  \
    void Class::initWithCoder(plat::KeyedUnarchiver& coder) {          \
        decodeStrings(*this, k##Class##Fields, coder);                 \
    }

BEAC_STRING_EXTENSION(BEACUserExtension, {"localId", &BEACUserExtension::localId},
                      {"locale", &BEACUserExtension::locale})
BEAC_STRING_EXTENSION(BEACDeviceExtension, {"localId", &BEACDeviceExtension::localId})
BEAC_STRING_EXTENSION(BEACOSExtension, {"name", &BEACOSExtension::name}, {"ver", &BEACOSExtension::ver})
BEAC_STRING_EXTENSION(BEACAppExtension, {"id", &BEACAppExtension::appId}, {"ver", &BEACAppExtension::ver},
                      {"name", &BEACAppExtension::name}, {"locale", &BEACAppExtension::locale},
                      {"userId", &BEACAppExtension::userId})
BEAC_STRING_EXTENSION(BEACNetExtension, {"provider", &BEACNetExtension::provider})
BEAC_STRING_EXTENSION(BEACLocExtension, {"tz", &BEACLocExtension::tz})
#undef BEAC_STRING_EXTENSION

namespace {

std::optional<plat::Value> arrayOfStrings(const std::optional<std::vector<std::string>>& strings) {
    if (!strings)
        return std::nullopt;
    plat::Array array;
    for (const auto& s : *strings)
        array.push_back(plat::Value(s));
    return plat::Value(std::move(array));
}

std::optional<plat::Value> optionalDictionary(const std::optional<plat::Dictionary>& dict) {
    return dict ? std::optional<plat::Value>(plat::Value(*dict)) : std::nullopt;
}

std::optional<plat::Dictionary> unkeyedDictionary(plat::KeyedUnarchiver& coder) {
    auto value = coder.decodeObject();
    if (!value || !value->isDictionary())
        return std::nullopt;
    return *value->asDictionary();
}

}  // namespace

// Protocol extension

std::optional<plat::Dictionary> BEACProtocolExtension::jsonDictionary() const {
    plat::Dictionary dict;
    if (auto keys = arrayOfStrings(ticketKeys))
        dict.set("ticketKeys", *keys);
    beac::detail::setIfPresent(dict, "devMake", devMake);
    beac::detail::setIfPresent(dict, "devModel", devModel);
    return nonEmpty(std::move(dict));
}

bool BEACProtocolExtension::isEqual(const plat::Object& other) const {
    const auto* ext = dynamic_cast<const BEACProtocolExtension*>(&other);
    return ext && ticketKeys == ext->ticketKeys && devMake == ext->devMake && devModel == ext->devModel;
}

void BEACProtocolExtension::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeObject(arrayOfStrings(ticketKeys), "ticketKeys");
    encodeString(coder, devMake, "devMake");
    encodeString(coder, devModel, "devModel");
}

void BEACProtocolExtension::initWithCoder(plat::KeyedUnarchiver& coder) {
    if (auto array = coder.decodeArray("ticketKeys")) {
        ticketKeys.emplace();
        for (const auto& v : *array) {
            if (v.isString())
                ticketKeys->push_back(*v.asString());
        }
    }
    devMake = coder.decodeString("devMake");
    devModel = coder.decodeString("devModel");
}

// SDK extension

std::optional<plat::Dictionary> BEACSDKExtension::jsonDictionary() const {
    plat::Dictionary dict;
    beac::detail::setIfPresent(dict, "libVer", libVer);
    beac::detail::setIfPresent(dict, "epoch", epoch);
    if (installId)
        dict.set("installId", plat::Value(installId->UUIDString()));
    if (seq != 0)
        dict.set("seq", plat::Value(seq));
    return nonEmpty(std::move(dict));
}

bool BEACSDKExtension::isEqual(const plat::Object& other) const {
    const auto* ext = dynamic_cast<const BEACSDKExtension*>(&other);
    return ext && libVer == ext->libVer && epoch == ext->epoch && seq == ext->seq &&
           installId == ext->installId;
}

void BEACSDKExtension::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, libVer, "libVer");
    encodeString(coder, epoch, "epoch");
    coder.encodeInt64(seq, "seq");
    coder.encodeObject(
        installId ? std::optional<plat::Value>(plat::UUIDObject::make(*installId)) : std::nullopt,
        "installId");
}

void BEACSDKExtension::initWithCoder(plat::KeyedUnarchiver& coder) {
    libVer = coder.decodeString("libVer");
    epoch = coder.decodeString("epoch");
    seq = coder.decodeInt64("seq");
    auto uuid = coder.decodeObject("installId");
    if (auto object = uuid ? uuid->asObjectOf<plat::UUIDObject>() : nullptr)
        installId = object->uuid();
}

// Metadata extension

bool BEACMetadataExtension::isEqual(const plat::Object& other) const {
    const auto* ext = dynamic_cast<const BEACMetadataExtension*>(&other);
    return ext && metadata == ext->metadata;
}

void BEACMetadataExtension::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeObject(optionalDictionary(metadata));
}

void BEACMetadataExtension::initWithCoder(plat::KeyedUnarchiver& coder) {
    metadata = unkeyedDictionary(coder);
}

// Data

std::optional<plat::Dictionary> BEACCSData::jsonDictionary() const {
    if (!properties)
        return std::nullopt;
    plat::Dictionary dict;
    dict.reserve(properties->size());
    for (const char* first : {"baseType", "baseData"}) {
        if (const plat::Value* value = properties->find(first))
            dict.set(first, *value);
    }
    for (const auto& [key, value] : *properties) {
        if (!dict.contains(key))
            dict.set(key, value);
    }
    return dict;
}

bool BEACCSData::isEqual(const plat::Object& other) const {
    const auto* data = dynamic_cast<const BEACCSData*>(&other);
    return data && properties == data->properties;
}

void BEACCSData::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeObject(optionalDictionary(properties));
}

void BEACCSData::initWithCoder(plat::KeyedUnarchiver& coder) {
    properties = unkeyedDictionary(coder);
}

// Extensions

namespace {

struct ExtensionSlot {
    const char* key;
    const char* fieldName;
};
constexpr std::array<ExtensionSlot, 9> kSlots{{{"metadata", "metadataExt"},
                                               {"protocol", "protocolExt"},
                                               {"user", "userExt"},
                                               {"device", "deviceExt"},
                                               {"os", "osExt"},
                                               {"app", "appExt"},
                                               {"net", "netExt"},
                                               {"sdk", "sdkExt"},
                                               {"loc", "locExt"}}};

// The nine extensions in declaration order, as parts.
std::array<std::shared_ptr<BEACCSPart>, 9> partsOf(const BEACCSExtensions& e) {
    return {e.metadataExt, e.protocolExt, e.userExt, e.deviceExt, e.osExt,
            e.appExt,      e.netExt,      e.sdkExt,  e.locExt};
}

template <class T>
void decodePart(plat::KeyedUnarchiver& coder, const char* key, std::shared_ptr<T>& slot) {
    auto decoded = coder.decodeObjectOfClass<T>(key);
    slot = decoded ? std::const_pointer_cast<T>(decoded) : nullptr;
}

}  // namespace

plat::Dictionary BEACCSExtensions::serializeToDictionary() const {
    plat::Dictionary dict;
    auto parts = partsOf(*this);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i])
            continue;
        if (auto json = parts[i]->jsonDictionary())
            dict.set(kSlots[i].key, plat::Value(std::move(*json)));
    }
    return dict;
}

bool BEACCSExtensions::isValid() const {
    auto parts = partsOf(*this);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] && !parts[i]->isValid()) {
            BEACLogVerbose(kBEACLogTag, "%@: \"%@\" is not valid.", className(), kSlots[i].fieldName);
            return false;
        }
    }
    return true;
}

bool BEACCSExtensions::isEqual(const plat::Object& other) const {
    const auto* ext = dynamic_cast<const BEACCSExtensions*>(&other);
    if (!ext)
        return false;
    auto mine = partsOf(*this);
    auto theirs = partsOf(*ext);
    for (std::size_t i = 0; i < mine.size(); ++i) {
        if (!sameObject(mine[i], theirs[i]))
            return false;
    }
    return true;
}

void BEACCSExtensions::encodeWithCoder(plat::KeyedArchiver& coder) const {
    auto parts = partsOf(*this);
    for (std::size_t i = 0; i < parts.size(); ++i)
        coder.encodeObject(parts[i], kSlots[i].key);
}

void BEACCSExtensions::initWithCoder(plat::KeyedUnarchiver& coder) {
    decodePart(coder, "metadata", metadataExt);
    decodePart(coder, "protocol", protocolExt);
    decodePart(coder, "user", userExt);
    decodePart(coder, "device", deviceExt);
    decodePart(coder, "os", osExt);
    decodePart(coder, "app", appExt);
    decodePart(coder, "net", netExt);
    decodePart(coder, "sdk", sdkExt);
    decodePart(coder, "loc", locExt);
}
