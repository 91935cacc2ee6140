#include "beacon/core/BEACCustomProperties.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACUtility.h"

using namespace beactest;

TEST(BEACCustomPropertiesTest, KeyAndValueRules) {
    struct Case {
        std::optional<std::string> key;
        std::optional<plat::Value> value;
        bool accepted;
        const char* message;
    } cases[] = {
        {std::string("a1"), plat::Value("v"), true, nullptr},
        {std::string("Key"), plat::Value(true), true, nullptr},
        {std::string("when"), plat::Value(plat::Date(5)), true, nullptr},
        {std::string("1a"), plat::Value("v"), false,
         "Custom property \"1a\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""},
        {std::string(""), plat::Value("v"), false,
         "Custom property \"\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""},
        {std::string("a-b"), plat::Value("v"), false,
         "Custom property \"a-b\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""},
        {std::nullopt, plat::Value("v"), false,
         "Custom property \"(null)\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""},
        {std::string(129, 'k'), plat::Value("v"), false, nullptr},
        {std::string(128, 'k'), plat::Value("v"), true, nullptr},
        {std::string("s"), plat::Value(std::string(129, 'v')), false,
         "Custom property value length cannot be longer than \"128\" characters."},
        {std::string("s"), plat::Value(std::string(128, 'v')), true, nullptr},
        {std::string("n"), plat::Value(std::nan("")), false,
         "Custom property value cannot be NaN or infinite."},
        {std::string("n"), plat::Value(std::numeric_limits<double>::infinity()), false,
         "Custom property value cannot be NaN or infinite."},
        {std::string("n"), plat::Value(-std::numeric_limits<double>::infinity()), false,
         "Custom property value cannot be NaN or infinite."},
        {std::string("n"), std::nullopt, false,
         "Custom property value cannot be null, did you mean to call clear?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key.value_or("(null)"));
        CapturingLog log;
        BEACCustomProperties properties;
        properties.setObject(c.value, c.key);
        EXPECT_EQ(properties.propertiesImmutableCopy().size(), c.accepted ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(log.count(c.message), 1u);
        }
    }
}

TEST(BEACCustomPropertiesTest, OverrideClearAndCountLimit) {
    CapturingLog log;
    BEACCustomProperties properties;
    properties.setString(std::string("one"), std::string("k"))
        .setString(std::string("two"), std::string("k"));
    EXPECT_EQ(log.count("Custom property \"k\" is already set or cleared and will be overridden."), 1u);
    EXPECT_EQ(*properties.propertiesImmutableCopy().find("k"), plat::Value("two"));
    properties.clearPropertyForKey(std::string("k"));
    EXPECT_TRUE(properties.propertiesImmutableCopy().find("k")->isNull());

    for (int i = 1; i < 60; ++i)
        properties.setInteger(i, "key" + std::to_string(i));
    EXPECT_EQ(properties.propertiesImmutableCopy().size(), 60u);
    properties.setInteger(61, std::string("extra"));
    EXPECT_EQ(log.count("Custom properties cannot contain more than \"60\" items."), 1u);
    properties.setInteger(99, std::string("key1"));  // overriding at the limit is fine
    EXPECT_EQ(*properties.propertiesImmutableCopy().find("key1"), plat::Value(99));
    EXPECT_EQ(properties.propertiesImmutableCopy().size(), 60u);
}

TEST(BEACCustomPropertiesTest, LogJsonArchiveAndValidity) {
    SandboxedSDK sdk;
    auto log = std::make_shared<BEACCustomPropertiesLog>();
    log->timestamp = plat::Date(10);
    log->device = std::make_shared<BEACDevice>();
    EXPECT_FALSE(log->isValid());
    plat::Dictionary properties;
    properties.set("flag", plat::Value(true));
    properties.set("count", plat::Value(1));
    properties.set("ratio", plat::Value(0.5));
    properties.set("gone", plat::Value());
    properties.set("when", plat::Value(plat::Date(0)));
    properties.set("name", plat::Value("x"));
    log->properties = properties;

    auto json = log->serializeToDictionary();
    std::vector<std::string> types;
    for (const auto& entry : *json.find("properties")->asArray())
        types.push_back(*entry.asDictionary()->find("type")->asString());
    EXPECT_EQ(types,
              (std::vector<std::string>{"boolean", "number", "number", "clear", "dateTime", "string"}));
    EXPECT_EQ(*json.find("properties")->asArray()->at(4).asDictionary()->find("value"),
              plat::Value("2001-01-01T00:00:00.000Z"));
    EXPECT_FALSE(BEACCustomPropertiesLog::serializeProperty(plat::Value(plat::Data())));

    auto archived =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
    ASSERT_TRUE(archived);
    auto back = BEACUtility::unarchiveKeyedData(archived);
    ASSERT_TRUE(back);
    auto decoded = back->asObjectOf<BEACCustomPropertiesLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*log));
    EXPECT_TRUE(decoded->properties->find("flag")->isBool());
}
