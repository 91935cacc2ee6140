#include "beacon/core/BEACAbstractLog.h"

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Mutex.h"

using beac::detail::encodeString;
using beac::detail::setIfPresent;

bool BEACAbstractLog::logValidityFailure(const char* field) const {
    BEACLogVerbose(kBEACLogTag, "%@: \"%@\" is not valid.", className(), field);
    return false;
}

bool BEACAbstractLog::isValid() const {
    if (!type)
        return logValidityFailure("type");
    if (!timestamp)
        return logValidityFailure("timestamp");
    if (!device || !device->isValid())
        return logValidityFailure("device");
    return true;
}

plat::Dictionary BEACAbstractLog::serializeToDictionary() const {
    plat::Dictionary dict;
    setIfPresent(dict, "type", type);
    if (timestamp)
        dict.set("timestamp", plat::Value(BEACUtility::dateToISO8601(*timestamp)));
    setIfPresent(dict, "sid", sid);
    setIfPresent(dict, "distributionGroupId", distributionGroupId);
    setIfPresent(dict, "userId", userId);
    if (device)
        dict.set("device", plat::Value(device->serializeToDictionary()));
    return dict;
}

bool BEACAbstractLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACAbstractLog*>(&other);
    if (!log)
        return false;
    if (tag || log->tag) {
        if (!tag || !log->tag || !tag->isEqual(*log->tag))
            return false;
    }
    return type == log->type && timestamp == log->timestamp && sid == log->sid &&
           distributionGroupId == log->distributionGroupId && userId == log->userId &&
           beac::detail::sameObject(device, log->device);
}

void BEACAbstractLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, type, "type");
    coder.encodeObject(timestamp ? std::optional<plat::Value>(plat::Value(*timestamp)) : std::nullopt,
                       "timestamp");
    encodeString(coder, sid, "sid");
    encodeString(coder, distributionGroupId, "distributionGroupId");
    encodeString(coder, userId, "userId");
    coder.encodeObject(device, "device");
}

void BEACAbstractLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    type = coder.decodeString("type");
    timestamp = coder.decodeDate("timestamp");
    sid = coder.decodeString("sid");
    distributionGroupId = coder.decodeString("distributionGroupId");
    userId = coder.decodeString("userId");
    auto decoded = coder.decodeObjectOfClass<BEACDevice>("device");
    device = decoded ? std::const_pointer_cast<BEACDevice>(decoded) : nullptr;
}

std::optional<std::string> BEACAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    unsigned options =
        plat::JSONWritingWithoutEscapingSlashes | (prettyPrint ? plat::JSONWritingPrettyPrinted : 0u);
    auto text = plat::JSONSerialization::stringWithJSONObject(plat::Value(serializeToDictionary()), options);
    if (!text.ok())
        return std::nullopt;
    return std::move(text.value());
}

std::shared_ptr<const std::set<std::string>> BEACAbstractLog::transmissionTargetTokens() const {
    plat::MutexLock lock(tokensMutex_);
    return tokens_;
}

void BEACAbstractLog::addTransmissionTargetToken(const std::string& token) {
    plat::MutexLock lock(tokensMutex_);
    auto next = tokens_ ? std::make_shared<std::set<std::string>>(*tokens_)
                        : std::make_shared<std::set<std::string>>();
    next->insert(token);
    tokens_ = std::move(next);
}

plat::Dictionary BEACLogWithProperties::serializeToDictionary() const {
    plat::Dictionary dict = BEACAbstractLog::serializeToDictionary();
    if (properties && !properties->empty())
        dict.set("properties", plat::Value(*properties));
    return dict;
}

bool BEACLogWithProperties::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACLogWithProperties*>(&other);
    return log && BEACAbstractLog::isEqual(other) && properties == log->properties;
}

void BEACLogWithProperties::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractLog::encodeWithCoder(coder);
    if (properties)
        coder.encodeDictionary(*properties, "properties");
    else
        coder.encodeObject(std::nullopt, "properties");
}

void BEACLogWithProperties::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractLog::initWithCoder(coder);
    properties = coder.decodeDictionary("properties");
}
