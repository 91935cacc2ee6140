// Validation of event and page logs: names, typed property limits, cuts that
// never split a character.
#include "beacon/analytics/BEACAnalyticsValidation.h"

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "platform/foundation/Text.h"

using namespace beactest;

namespace {

TEST(BEACAnalyticsValidationTest, NamesAndWhichLogsAreChecked) {
    CapturingLog log;
    struct Case {
        std::optional<std::string> name;
        std::optional<std::string> expected;
    } cases[] = {
        {std::string(256, 'n'), std::string(256, 'n')},
        {std::string(257, 'n'), std::string(256, 'n')},
        {std::string(""), std::nullopt},
        {std::nullopt, std::nullopt},
        // 255 units then a surrogate pair: the pair is not split.
        {std::string(255, 'n') + "\xF0\x9F\x98\x80", std::string(255, 'n')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BEACAnalyticsValidation::validateEventName(c.name, "event"), c.expected);
    EXPECT_EQ(log.count("event name cannot be null or empty"), 2u);
    EXPECT_TRUE(log.containsPrefix(
        "event '" + std::string(257, 'n') +
            "' : name length cannot be longer than 256 characters. Name will be truncated.",
        BEACLogLevelWarning));

    auto page = std::make_shared<BEACPageLog>();
    page->name = "";
    EXPECT_TRUE(BEACAnalyticsValidation::shouldFilterLog(page));
    EXPECT_EQ(log.count("page name cannot be null or empty"), 1u);
    page->name = std::string(300, 'p');
    page->properties = plat::Dictionary{{std::string(130, 'k'), plat::Value("v")}};
    EXPECT_FALSE(BEACAnalyticsValidation::shouldFilterLog(page));
    EXPECT_EQ(page->name->size(), 256u);
    ASSERT_EQ(page->properties->size(), 1u);
    EXPECT_EQ(page->properties->keys()[0], std::string(125, 'k'));
    // Other logs are never dropped here.
    auto session = std::make_shared<BEACStartSessionLog>();
    EXPECT_FALSE(BEACAnalyticsValidation::shouldFilterLog(session));
    auto unnamed = std::make_shared<BEACLogWithNameAndProperties>();
    EXPECT_FALSE(BEACAnalyticsValidation::shouldFilterLog(unnamed));
}

TEST(BEACAnalyticsValidationTest, TypedPropertiesKeepTwentyInOrderAndCutKeysAndValues) {
    CapturingLog log;
    BEACEventProperties bag;
    for (int i = 0; i < 21; ++i)
        bag.setInt64(i, "k" + std::to_string(i));
    auto valid = BEACAnalyticsValidation::validateBeaconEventProperties(bag);
    auto entries = valid->properties();
    ASSERT_EQ(entries.size(), 20u);
    EXPECT_EQ(entries.front().first, "k0");
    EXPECT_EQ(entries.back().first, "k19");
    EXPECT_EQ(log.count("Typed properties cannot contain more than 20 items. Skipping other properties."),
              1u);

    log.clear();
    BEACEventProperties twenty;
    for (int i = 0; i < 20; ++i)
        twenty.setBool(true, "b" + std::to_string(i));
    EXPECT_EQ(BEACAnalyticsValidation::validateBeaconEventProperties(twenty)->count(), 20u);
    EXPECT_TRUE(log.lines().empty());

    std::string key125(125, 'k');
    std::string key126(126, 'k');
    std::string emojiValue = std::string(124, 'v') + "\xF0\x9F\x98\x80";  // 126 units
    BEACEventProperties mixed;
    mixed.setString(emojiValue, key126).setString("short", key125).setDouble(2.5, "d");
    auto cleaned = BEACAnalyticsValidation::validateBeaconEventProperties(mixed)->properties();
    // The cut key lands on the 125-unit key: one entry, the later value wins.
    ASSERT_EQ(cleaned.size(), 2u);
    EXPECT_EQ(cleaned[0].first, key125);
    EXPECT_EQ(std::dynamic_pointer_cast<BEACStringTypedProperty>(cleaned[0].second)->value, "short");
    EXPECT_EQ(cleaned[1].second->type, "double");
    EXPECT_EQ(log.count("Typed property '" + key126 +
                        "': key length cannot exceed 125 characters. Property value will be truncated."),
              1u);
    EXPECT_EQ(BEACAnalyticsValidation::validateBeaconStringTypedPropertyValue(emojiValue),
              std::string(124, 'v'));
    EXPECT_EQ(
        log.count(
            "Typed property value length cannot exceed 125 characters. Property value will be truncated."),
        2u);
    EXPECT_EQ(BEACAnalyticsValidation::validateBeaconPropertyName(key125), key125);
    // The original bag is untouched.
    EXPECT_EQ(mixed.properties()[0].first, key126);
}

}  // namespace
