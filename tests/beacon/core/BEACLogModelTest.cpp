// The log model, device description, typed properties and Shared Schema
// logs: JSON, keyed archives, validity and equality.
#include <gtest/gtest.h>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACOrderedDictionary.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACTypedProperty.h"
#include "platform/foundation/JSONSerialization.h"

namespace {

std::shared_ptr<BEACDevice> fullDevice() {
    auto device = std::make_shared<BEACDevice>();
    device->sdkName = "beacon.linux";
    device->sdkVersion = "4.2.0";
    device->osName = "Linux";
    device->osVersion = "6.1.0";
    device->locale = "en_US";
    device->timeZoneOffset = -300;
    device->appVersion = "1.0";
    device->appBuild = "7";
    device->model = "Box";
    return device;
}

template <class T>
std::shared_ptr<const T> roundTrip(const std::shared_ptr<T>& object) {
    auto data =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(object)));
    EXPECT_TRUE(data);
    auto back = BEACUtility::unarchiveKeyedData(data);
    EXPECT_TRUE(back);
    return back ? back->asObjectOf<T>() : nullptr;
}

TEST(BEACLogModelTest, DeviceJSONValidityEqualityAndArchive) {
    beactest::CapturingLog log;
    auto device = fullDevice();
    auto json = device->serializeToDictionary();
    EXPECT_FALSE(json.contains("carrierName"));
    EXPECT_FALSE(json.contains("osApiLevel"));
    EXPECT_FALSE(json.contains("wrapperSdkName"));
    EXPECT_EQ(*json.find("timeZoneOffset"), plat::Value(-300));
    EXPECT_TRUE(device->isValid());

    auto invalid = fullDevice();
    invalid->locale.reset();
    EXPECT_FALSE(invalid->isValid());
    invalid->sdkName.reset();
    invalid->appBuild.reset();
    log.clear();
    EXPECT_FALSE(invalid->isValid());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].message, "BEACDevice: \"sdkName\" is not valid.");
    EXPECT_EQ(log.lines()[0].level, BEACLogLevelVerbose);

    auto other = fullDevice();
    other->wrapperSdkName = "w";
    EXPECT_FALSE(device->isEqual(*other));
    BEACWrapperSdk wrapper("1", "w", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    other->wrapperSdkVersion = "1";
    EXPECT_FALSE(other->isEqual(wrapper));  // a device needs a device
    EXPECT_TRUE(wrapper.isEqual(*other));   // a wrapper accepts subclasses

    other->liveUpdatePackageHash = "hash";
    auto back = roundTrip(other);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*other));
    EXPECT_EQ(back->liveUpdatePackageHash, "hash");
}

TEST(BEACLogModelTest, LogJSONArchiveValidityAndTokens) {
    beactest::CapturingLog log;
    auto entry = std::make_shared<BEACLogWithProperties>();
    entry->type = "event";
    entry->timestamp = plat::Date::fromTimeIntervalSince1970(1614834367.089);
    entry->device = fullDevice();
    entry->userId = "c:a/b";
    entry->properties = plat::Dictionary();
    auto json = entry->serializeToDictionary();
    EXPECT_EQ(*json.find("timestamp"), plat::Value("2021-03-04T05:06:07.089Z"));
    EXPECT_FALSE(json.contains("sid"));
    EXPECT_FALSE(json.contains("distributionGroupId"));
    EXPECT_FALSE(json.contains("properties"));  // empty
    entry->properties = plat::Dictionary{{"k", plat::Value("v")}};
    EXPECT_TRUE(entry->serializeToDictionary().contains("properties"));
    auto text = entry->serializeLogWithPrettyPrinting(false);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("\"c:a/b\""), std::string::npos);
    auto parsed = plat::JSONSerialization::JSONObjectWithString(*text);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value(), plat::Value(entry->serializeToDictionary()));

    entry->addTransmissionTargetToken("t1");
    entry->addTransmissionTargetToken("t1");
    EXPECT_EQ(entry->transmissionTargetTokens()->size(), 1u);
    entry->tag = std::make_shared<BEACWrapperSdk>();
    auto back = roundTrip(entry);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->tag);
    EXPECT_FALSE(back->transmissionTargetTokens());
    EXPECT_EQ(back->properties, entry->properties);
    EXPECT_EQ(back->timestamp, entry->timestamp);
    EXPECT_FALSE(back->isEqual(*entry));  // the tag differs
    entry->tag = nullptr;
    EXPECT_TRUE(back->isEqual(*entry));  // tokens take no part

    auto noTime = std::make_shared<BEACAbstractLog>();
    noTime->type = "t";
    log.clear();
    EXPECT_FALSE(noTime->isValid());
    EXPECT_EQ(log.lines().at(0).message, "BEACAbstractLog: \"timestamp\" is not valid.");
    noTime->timestamp = plat::Date(1);
    noTime->device = std::make_shared<BEACDevice>();
    log.clear();
    EXPECT_FALSE(noTime->isValid());
    EXPECT_EQ(log.lines().back().message, "BEACAbstractLog: \"device\" is not valid.");
}

TEST(BEACLogModelTest, TypedPropertiesJSONAndEquality) {
    BEACBooleanTypedProperty flag;
    EXPECT_EQ(flag.type, "boolean");
    EXPECT_EQ(*flag.serializeToDictionary().find("value"), plat::Value(false));
    EXPECT_TRUE(flag.serializeToDictionary().find("value")->isBool());

    auto date = std::make_shared<BEACDateTimeTypedProperty>();
    date->name = "when";
    date->value = plat::Date::fromTimeIntervalSince1970(1614834367.089);
    EXPECT_EQ(*date->serializeToDictionary().find("value"), plat::Value("2021-03-04T05:06:07.089Z"));
    auto back = roundTrip(date);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value, date->value);

    BEACStringTypedProperty noValue;
    EXPECT_FALSE(noValue.serializeToDictionary().contains("value"));
    BEACLongTypedProperty a, b;
    a.value = 3;
    b.value = 4;
    EXPECT_FALSE(a.isEqual(b));
    b.value = 3;
    b.name = "other";
    EXPECT_TRUE(a.isEqual(b));  // names take no part
    auto count = std::make_shared<BEACLongTypedProperty>();
    count->name = "count";
    count->value = int64_t(1) << 50;
    EXPECT_EQ(roundTrip(count)->value, int64_t(1) << 50);
    EXPECT_FALSE(a.isEqual(BEACDoubleTypedProperty()));
}

TEST(BEACLogModelTest, SharedSchemaLogKeepsItsKeyOrder) {
    beactest::CapturingLog log;
    auto entry = std::make_shared<BEACSharedSchemaLog>();
    entry->data = std::make_shared<BEACCSData>();
    entry->data->properties = plat::Dictionary{
        {"name", plat::Value("n")}, {"baseData", plat::Value(1)}, {"baseType", plat::Value("t")}};
    entry->ext = std::make_shared<BEACCSExtensions>();
    entry->ext->protocolExt = std::make_shared<BEACProtocolExtension>();
    entry->ext->appExt = std::make_shared<BEACAppExtension>();
    entry->ext->appExt->appId = "app";
    entry->ext->sdkExt = std::make_shared<BEACSDKExtension>();
    entry->ext->sdkExt->epoch = "e";
    entry->iKey = "o:key";
    entry->timestamp = plat::Date(0);
    entry->name = "event.name";
    entry->ver = "3.0";
    entry->popSample = 50;
    entry->cV = "cv";

    auto ordered = entry->orderedDictionary();
    EXPECT_EQ(ordered.keys(), (std::vector<std::string>{"ver", "name", "time", "iKey", "ext", "data"}));
    const auto& ext = *ordered.objectForKey("ext")->asDictionary();
    EXPECT_FALSE(ext.contains("protocol"));
    EXPECT_EQ(*ext.find("app")->find("id"), plat::Value("app"));
    EXPECT_EQ(ext.find("sdk")->count(), 1u);  // seq 0 and no install id are left out
    EXPECT_EQ(ordered.objectForKey("data")->asDictionary()->keys(),
              (std::vector<std::string>{"baseType", "baseData", "name"}));
    entry->flags = 2;
    EXPECT_EQ(*entry->orderedDictionary().objectForKey("flags"), plat::Value(int64_t(2)));
    auto line = entry->serializeLogWithPrettyPrinting(false);
    ASSERT_TRUE(line);
    EXPECT_EQ(
        line->rfind("{\"ver\":\"3.0\",\"name\":\"event.name\",\"time\":\"2001-01-01T00:00:00.000Z\"", 0), 0u);
    EXPECT_EQ(line->find("popSample"), std::string::npos);

    entry->ext->sdkExt->installId = plat::UUID();
    entry->ext->sdkExt->seq = 5;
    entry->ext->metadataExt = std::make_shared<BEACMetadataExtension>();
    entry->ext->metadataExt->metadata = plat::Dictionary{{"f", plat::Value(1)}};
    auto back = roundTrip(entry);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*entry));
    EXPECT_EQ(back->popSample, 50);
    EXPECT_EQ(back->ext->sdkExt->installId, entry->ext->sdkExt->installId);
    EXPECT_EQ(back->data->properties, entry->data->properties);
    entry->cV = "other";
    EXPECT_FALSE(back->isEqual(*entry));

    entry->name.reset();
    EXPECT_FALSE(entry->isValid());
    EXPECT_EQ(log.lines().back().message, "BEACSharedSchemaLog: \"name\" is not valid.");

    BEACCSExtensions emptyOnly;
    emptyOnly.protocolExt = std::make_shared<BEACProtocolExtension>();
    EXPECT_TRUE(emptyOnly.serializeToDictionary().empty());
}

TEST(BEACLogModelTest, OrderedDictionaryKeepsFirstInsertionOrder) {
    BEACOrderedDictionary first, second;
    first.setObject(plat::Value(1), "a");
    first.setObject(plat::Value(2), "b");
    first.setObject(plat::Value(3), "c");
    first.setObject(plat::Value(4), "a");
    EXPECT_EQ(first.keys(), (std::vector<std::string>{"a", "b", "c"}));
    auto json = plat::JSONSerialization::stringWithJSONObject(first.toValue());
    EXPECT_EQ(json.value(), R"({"a":4,"b":2,"c":3})");
    second.setObject(plat::Value(2), "b");
    second.setObject(plat::Value(4), "a");
    second.setObject(plat::Value(3), "c");
    EXPECT_FALSE(first.isEqualToDictionary(second));
}

}  // namespace
