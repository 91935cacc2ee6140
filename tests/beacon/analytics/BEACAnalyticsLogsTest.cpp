// Event, page and session logs: JSON, validity, equality, archives, and the
// Shared Schema form of events (nested data, type metadata, reserved names).
#include "beacon/analytics/BEACAnalyticsLogs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "../core/BeaconTestSupport.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/JSONSerialization.h"

using namespace beactest;

namespace {

std::string json(const plat::Dictionary& dict) {
    return plat::JSONSerialization::stringWithJSONObject(plat::Value(dict),
                                                         plat::JSONWritingWithoutEscapingSlashes)
        .value();
}

std::shared_ptr<BEACEventLog> eventWith(const std::function<void(BEACEventProperties&)>& fill) {
    auto log = std::make_shared<BEACEventLog>();
    log->name = "myEvent";
    log->eventId = "ID";
    log->timestamp = plat::Date(0);
    log->typedProperties = std::make_shared<BEACEventProperties>();
    fill(*log->typedProperties);
    return log;
}

std::shared_ptr<BEACDevice> fullDevice() {
    auto device = std::make_shared<BEACDevice>();
    device->sdkName = "beacon.linux";
    device->sdkVersion = "4.2.0";
    device->osName = "Linux";
    device->osVersion = "6.1.0";
    device->locale = "en_US";
    device->timeZoneOffset = 0;
    device->appVersion = "1.0";
    device->appBuild = "7";
    device->model = "Box";
    return device;
}

struct Converted {
    std::string data;
    std::string metadata;
};

Converted convert(const std::shared_ptr<BEACEventLog>& log) {
    auto cs = log->toSharedSchemaLogForTargetToken("key-token", 1);
    return {cs->data ? json(*cs->data->properties) : "",
            cs->ext->metadataExt ? json(*cs->ext->metadataExt->metadata) : ""};
}

TEST(BEACEventPropertiesTest, SettersValidateAndKeepFirstSetOrder) {
    CapturingLog log;
    BEACEventProperties bag;
    bag.setString("v", "s").setInt64(5, "n").setString("w", "s").setBool(true, "b");
    bag.setDouble(NAN, "d").setDouble(INFINITY, "d").setDouble(-INFINITY, "d");
    bag.setDouble(1.5, std::nullopt);
    bag.setString(std::nullopt, "x").setDate(std::nullopt, "y");
    auto entries = bag.properties();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, "s");
    EXPECT_EQ(entries[1].first, "n");
    EXPECT_EQ(entries[2].first, "b");
    EXPECT_EQ(log.count("Double value for property 'd' must be finite (cannot be INFINITY or NAN)."), 3u);
    EXPECT_EQ(log.count("Key cannot be null. Property will not be added."), 1u);
    EXPECT_EQ(log.count("Value cannot be null. Property will not be added."), 2u);
    EXPECT_EQ(json(plat::Dictionary{{"a", plat::Value(bag.serializeToArray())}}),
              R"({"a":[{"type":"string","name":"s","value":"w"},{"type":"long","name":"n","value":5},)"
              R"({"type":"boolean","name":"b","value":true}]})");

    BEACEventProperties other({{"n", "text"}, {"z", "1"}});
    bag.mergeEventProperties(other);
    EXPECT_EQ(bag.properties().size(), 4u);
    EXPECT_EQ(bag.properties()[1].second->type, "string");
    EXPECT_FALSE(bag.isEmpty());
    EXPECT_TRUE(BEACEventProperties().isEmpty());
}

TEST(BEACAnalyticsLogsTest, JsonValidityEqualityAndArchive) {
    CapturingLog capture;
    beac::analytics::registerCodableClasses();
    auto event = eventWith([](BEACEventProperties& p) { p.setInt64(7, "count"); });
    event->device = std::make_shared<BEACDevice>();
    auto dict = event->serializeToDictionary();
    EXPECT_EQ(*dict.find("type")->asString(), "event");
    EXPECT_EQ(*dict.find("id")->asString(), "ID");
    EXPECT_EQ(*dict.find("name")->asString(), "myEvent");
    EXPECT_EQ(dict.find("typedProperties")->asArray()->size(), 1u);

    auto other = eventWith([](BEACEventProperties& p) { p.setString("different", "x"); });
    other->device = event->device;
    EXPECT_TRUE(event->isEqual(*other));  // typed properties are not compared
    other->eventId = "OTHER";
    EXPECT_FALSE(event->isEqual(*other));
    BEACPageLog page;
    page.name = "myEvent";
    EXPECT_FALSE(page.isEqual(*event));
    EXPECT_EQ(page.type, "page");
    EXPECT_EQ(BEACStartSessionLog().type, "startSession");

    auto data =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(event)));
    ASSERT_TRUE(data);
    auto back = BEACUtility::unarchiveKeyedData(data);
    ASSERT_TRUE(back);
    auto decoded = back->asObjectOf<BEACEventLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*event));
    ASSERT_TRUE(decoded->typedProperties);
    EXPECT_TRUE(decoded->typedProperties->isEqual(*event->typedProperties));
    EXPECT_TRUE(decoded->metadataTypeIdMapping.empty());

    // Validity: the base fields, then the name (may be empty), then the event id.
    auto device = fullDevice();
    event->device = device;
    event->name = "";
    EXPECT_TRUE(event->isValid());
    event->eventId.reset();
    EXPECT_FALSE(event->isValid());
    EXPECT_EQ(capture.count("BEACEventLog: \"eventId\" is not valid."), 1u);
    event->name.reset();
    EXPECT_FALSE(event->isValid());
    EXPECT_EQ(capture.count("BEACEventLog: \"name\" is not valid."), 1u);
}

TEST(BEACAnalyticsLogsTest, SharedSchemaDataAndMetadata) {
    CapturingLog log;
    struct Case {
        const char* what;
        std::function<void(BEACEventProperties&)> fill;
        const char* data;
        const char* metadata;
    } cases[] = {
        {"nested long and double",
         [](auto& p) { p.setInt64(5, "a.b").setDouble(1.5, "a.c").setString("t", "title"); },
         R"({"a":{"b":5,"c":1.5},"title":"t"})", R"({"f":{"a":{"f":{"b":4,"c":6}}}})"},
        {"strings and booleans only", [](auto& p) { p.setString("x", "s").setBool(false, "b"); },
         R"({"s":"x","b":false})", ""},
        {"value first blocks the object", [](auto& p) { p.setInt64(1, "a").setInt64(2, "a.b"); },
         R"({"a":1})", R"({"f":{"a":4}})"},
        {"object first blocks the value", [](auto& p) { p.setInt64(2, "a.b").setInt64(1, "a"); },
         R"({"a":{"b":2}})", R"({"f":{"a":{"f":{"b":4}}}})"},
        {"string value blocks a typed path", [](auto& p) { p.setString("x", "a").setDouble(2, "a.b.c"); },
         R"({"a":"x"})", ""},
        {"baseType with baseData", [](auto& p) { p.setString("T", "baseType").setString("v", "baseData.x"); },
         R"({"baseType":"T","baseData":{"x":"v"}})", ""},
        {"baseType not a string", [](auto& p) { p.setInt64(1, "baseType").setString("v", "baseData.x"); }, "",
         ""},
        {"baseType without baseData", [](auto& p) { p.setString("T", "baseType").setString("v", "other"); },
         R"({"other":"v"})", ""},
        {"reserved shapes skipped",
         [](auto& p) {
             p.setString("T", "baseType").setString("v", "baseData.x").setString("z", "baseType.y");
         },
         R"({"baseType":"T","baseData":{"x":"v"}})", ""},
    };
    for (const auto& c : cases) {
        auto converted = convert(eventWith(c.fill));
        EXPECT_EQ(converted.data, c.data) << c.what;
        EXPECT_EQ(converted.metadata, c.metadata) << c.what;
    }
    EXPECT_EQ(log.count("baseData was set but baseType is missing or invalid."), 1u);
    EXPECT_EQ(log.count("baseType was set but baseData is missing."), 1u);
    EXPECT_EQ(log.count("baseType must not be an object."), 1u);
    EXPECT_EQ(log.count("Property key 'a' already has a value, choosing one."), 1u);
    EXPECT_EQ(log.count("Property key 'b' already has a value, choosing one."), 1u);

    auto event = eventWith([](auto& p) { p.setString("T", "baseType"); });
    event->tag = std::make_shared<BEACStartSessionLog>();
    auto cs = event->toSharedSchemaLogForTargetToken("key-token", 2);
    EXPECT_EQ(cs->name, "myEvent");
    EXPECT_EQ(cs->tag, event->tag);
    EXPECT_FALSE(cs->data);
    // The unusable baseType was removed from the event's own bag.
    EXPECT_TRUE(event->typedProperties->isEmpty());
}

TEST(BEACEventPropertiesTest, ConcurrentSettersAndMergesKeepEveryName) {
    BEACEventProperties bag;
    BEACEventProperties other(std::vector<std::pair<std::string, std::string>>{{"shared", "x"}});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                bag.setInt64(i, "t" + std::to_string(t) + "." + std::to_string(i));
                bag.mergeEventProperties(other);
                (void)bag.serializeToArray();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(bag.count(), 4u * 200u + 1u);
}

}  // namespace
