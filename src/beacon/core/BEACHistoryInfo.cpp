#include "beacon/core/BEACHistoryInfo.h"

#include "beacon/core/BEACCustomProperties.h"
#include "beacon/core/BEACStartServiceLog.h"

#include <mutex>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACTypedProperty.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/core/detail/BEACCoreClasses.h"
#include "platform/foundation/UUIDObject.h"

using beac::detail::encodeString;

plat::Dictionary BEACHistoryInfo::serializeToDictionary() const {
    plat::Dictionary dict;
    if (timestamp)
        dict.set("timestamp", plat::Value(BEACUtility::dateToISO8601(*timestamp)));
    return dict;
}

void BEACHistoryInfo::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeObject(timestamp ? std::optional<plat::Value>(plat::Value(*timestamp)) : std::nullopt,
                       "timestampKey");
}

void BEACHistoryInfo::initWithCoder(plat::KeyedUnarchiver& coder) {
    timestamp = coder.decodeDate("timestampKey");
}

void BEACSessionHistoryInfo::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACHistoryInfo::encodeWithCoder(coder);
    encodeString(coder, sessionId, "sessionIdKey");
}

void BEACSessionHistoryInfo::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACHistoryInfo::initWithCoder(coder);
    sessionId = coder.decodeString("sessionIdKey");
}

void BEACTestSessionInfo::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACHistoryInfo::encodeWithCoder(coder);
    encodeString(coder, sessionId, "sessionIdKey");
}

void BEACTestSessionInfo::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACHistoryInfo::initWithCoder(coder);
    sessionId = coder.decodeString("sessionIdKey");
}

void BEACUserIdHistoryInfo::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACHistoryInfo::encodeWithCoder(coder);
    encodeString(coder, userId, "userIdKey");
}

void BEACUserIdHistoryInfo::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACHistoryInfo::initWithCoder(coder);
    userId = coder.decodeString("userIdKey");
}

void BEACDeviceHistoryInfo::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(device, "deviceKey");
}

void BEACDeviceHistoryInfo::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACHistoryInfo::initWithCoder(coder);
    auto decoded = coder.decodeObjectOfClass<BEACDevice>("deviceKey");
    device = decoded ? std::const_pointer_cast<BEACDevice>(decoded) : nullptr;
}

namespace beac::detail {

void registerCoreClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::UUIDObject::registerForArchiving();
        registerCodable<BEACWrapperSdk>("BEACWrapperSdk");
        registerCodable<BEACDevice>("BEACDevice");
        registerCodable<BEACAbstractLog>("BEACAbstractLog");
        registerCodable<BEACLogWithProperties>("BEACLogWithProperties");
        registerCodable<BEACHistoryInfo>("BEACHistoryInfo");
        registerCodable<BEACSessionHistoryInfo>("BEACSessionHistoryInfo");
        registerCodable<BEACUserIdHistoryInfo>("BEACUserIdHistoryInfo");
        registerCodable<BEACTestSessionInfo>("BEACTestSessionInfo");
        registerCodable<BEACDeviceHistoryInfo>("BEACDeviceHistoryInfo");
        registerCodable<BEACTypedProperty>("BEACTypedProperty");
        registerCodable<BEACStringTypedProperty>("BEACStringTypedProperty");
        registerCodable<BEACLongTypedProperty>("BEACLongTypedProperty");
        registerCodable<BEACDoubleTypedProperty>("BEACDoubleTypedProperty");
        registerCodable<BEACBooleanTypedProperty>("BEACBooleanTypedProperty");
        registerCodable<BEACDateTimeTypedProperty>("BEACDateTimeTypedProperty");
        registerCodable<BEACSharedSchemaLog>("BEACSharedSchemaLog");
        registerCodable<BEACCSExtensions>("BEACCSExtensions");
        registerCodable<BEACMetadataExtension>("BEACMetadataExtension");
        registerCodable<BEACProtocolExtension>("BEACProtocolExtension");
        registerCodable<BEACUserExtension>("BEACUserExtension");
        registerCodable<BEACDeviceExtension>("BEACDeviceExtension");
        registerCodable<BEACOSExtension>("BEACOSExtension");
        registerCodable<BEACAppExtension>("BEACAppExtension");
        registerCodable<BEACNetExtension>("BEACNetExtension");
        registerCodable<BEACSDKExtension>("BEACSDKExtension");
        registerCodable<BEACLocExtension>("BEACLocExtension");
        registerCodable<BEACCSData>("BEACCSData");
        registerCodable<BEACStartServiceLog>("BEACStartServiceLog");
        registerCodable<BEACCustomPropertiesLog>("BEACCustomPropertiesLog");
        // Names that earlier SDK generations archived the core's classes under.
        BEACUtility::addMigrationClasses({{"BCDeviceHistoryInfo", "BEACDeviceHistoryInfo"},
                                          {"BCDevice", "BEACDevice"},
                                          {"BCSessionHistoryInfo", "BEACSessionHistoryInfo"},
                                          {"BCUserIdHistoryInfo", "BEACUserIdHistoryInfo"},
                                          {"BCLogWithProperties", "BEACLogWithProperties"},
                                          {"BCWrapperSdk", "BEACWrapperSdk"},
                                          {"BCAbstractLog", "BEACAbstractLog"}});
    });
}

}  // namespace beac::detail
