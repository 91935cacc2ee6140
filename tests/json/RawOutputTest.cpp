#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::parse;

const char* const kFailureLine = "Could not serialize object to JSON because: JSON is invalid.\n";

WritingOptions ownWriter(plat::Value depth = plat::Value()) {
    WritingOptions o{{WritingOptionsKeys::CastNilToNSNull, plat::Value(true)}};
    if (!depth.isNull())
        o[WritingOptionsKeys::MaxObjextDepth] = depth;
    return o;
}

std::string nested(int levels) {
    return std::string(levels, '[') + "1" + std::string(levels, ']');
}

TEST(RawOutputTest, ScalarsGiveTheirOwnText) {
    EXPECT_EQ(JSON("a\"b").rawString(), "a\"b");
    EXPECT_EQ(JSON(true).rawString(), "true");
    EXPECT_EQ(JSON(false).rawString(), "false");
    EXPECT_EQ(JSON(nullptr).rawString(), "null");
    EXPECT_EQ(JSON(12.5).rawString(), "12.5");
    EXPECT_EQ(JSON(-3).rawString(), "-3");
    EXPECT_EQ(JSON(UINT64_MAX).rawString(), "18446744073709551615");
    EXPECT_EQ(JSON(plat::Value(plat::Date(0))).rawString(), std::nullopt);
}

TEST(RawOutputTest, ContainersGoThroughTheSerialiserWithItsOptions) {
    JSON list = parse("[1,\"/\"]");
    EXPECT_EQ(list.rawString(), "[\n  1,\n  \"\\/\"\n]");
    EXPECT_EQ(list.rawString(StringEncoding::UTF8, 0), "[1,\"\\/\"]");
    EXPECT_EQ(list.rawString(StringEncoding::UTF8, plat::JSONWritingWithoutEscapingSlashes), "[1,\"/\"]");
    JSON map = parse(R"({"b":1,"a":2})");
    EXPECT_EQ(map.rawString(StringEncoding::UTF8, 0), R"({"b":1,"a":2})");
    EXPECT_EQ(map.rawString(StringEncoding::UTF8, plat::JSONWritingSortedKeys), R"({"a":2,"b":1})");
    EXPECT_EQ(map.rawString(WritingOptions{}), "{\n  \"b\" : 1,\n  \"a\" : 2\n}");
    EXPECT_EQ(map.rawString(WritingOptions{{WritingOptionsKeys::JSONSerialization, plat::Value(0)}}),
              R"({"b":1,"a":2})");
    // A nested value the serialiser refuses makes the text absent.
    EXPECT_EQ(JSON(plat::Value(plat::Array{plat::Value(NAN)})).rawString(), std::nullopt);
}

TEST(RawOutputTest, EncodingDecidesWhetherTheBytesDecode) {
    JSON list = parse("[\"\xc3\xa9\"]");
    EXPECT_EQ(list.rawString(StringEncoding::UTF8, 0), "[\"\xc3\xa9\"]");
    EXPECT_EQ(list.rawString(StringEncoding::ASCII, 0), std::nullopt);
    EXPECT_EQ(list.rawString(StringEncoding::ISOLatin1, 0), "[\"\xc3\x83\xc2\xa9\"]");
    EXPECT_EQ(parse("[1]").rawString(StringEncoding::ASCII, 0), "[1]");
    WritingOptions ascii{{WritingOptionsKeys::Encoding, plat::Value(1)},
                         {WritingOptionsKeys::JSONSerialization, plat::Value(0)}};
    EXPECT_EQ(list.rawString(ascii), std::nullopt);
}

TEST(RawOutputTest, RawDataRefusesInvalidObjects) {
    plat::Result<plat::Data> scalar = JSON(1).rawData();
    ASSERT_FALSE(scalar.ok());
    EXPECT_EQ(JSONValueErrorFromError(scalar.error()), JSONValueError::InvalidJSON);
    EXPECT_EQ(scalar.error()->code(), 490);

    EXPECT_FALSE(JSON(plat::Value(plat::Array{plat::Value(plat::Date(0))})).rawData().ok());
    EXPECT_FALSE(JSON(plat::Value(plat::Array{plat::Value(INFINITY)})).rawData().ok());

    plat::Result<plat::Data> list = parse("[1,{\"a\":null}]").rawData();
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list->toString(), "[1,{\"a\":null}]");
    EXPECT_EQ(parse("[1]").rawData(plat::JSONWritingPrettyPrinted)->toString(), "[\n  1\n]");
}

struct OwnWriterCase {
    JSON value;
    std::optional<std::string> text;
};

class OwnWriterTest : public ::testing::TestWithParam<OwnWriterCase> {};

TEST_P(OwnWriterTest, WritesCompactValidJSON) {
    testing::internal::CaptureStdout();
    std::optional<std::string> text = GetParam().value.rawString(ownWriter());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nested failures print nothing
    EXPECT_EQ(text, GetParam().text);
    // Whatever it writes is JSON that reads back.
    if (text) {
        EXPECT_TRUE(JSON::create(plat::Data::fromString(*text)).ok()) << *text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, OwnWriterTest,
    ::testing::Values(
        OwnWriterCase{JSON::arrayLiteral({1, nullptr, "a\"b"}), std::string(R"([1,null,"a\"b"])")},
        OwnWriterCase{JSON::dictionaryLiteral({{"k", nullptr}}), std::string(R"({"k": null})")},
        OwnWriterCase{JSON::dictionaryLiteral({{"k", "back\\slash"}, {"n", 2}}),
                      std::string(R"({"k": "back\\slash","n": 2})")},
        OwnWriterCase{JSON::dictionaryLiteral({{"a\"b", true}}), std::string(R"({"a\"b": true})")},
        OwnWriterCase{JSON::arrayLiteral({"line\nfeed\t\x01/"}), std::string(R"(["line\nfeed\t\u0001/"])")},
        OwnWriterCase{JSON::arrayLiteral({JSON::arrayLiteral({}), JSON::dictionaryLiteral({})}),
                      std::string("[[],{}]")},
        OwnWriterCase{JSON::arrayLiteral({2.5, plat::Decimal::fromString("1.25"), -7}),
                      std::string("[2.5,1.25,-7]")},
        OwnWriterCase{JSON(plat::Value(plat::Array{plat::Value(plat::Data::fromString("{\"p\":1}"))})),
                      std::string(R"([{"p": 1}])")},
        // Values JSON cannot hold make the whole container absent.
        OwnWriterCase{JSON(plat::Value(plat::Array{plat::Value(plat::Date(0))})), std::nullopt},
        OwnWriterCase{JSON::dictionaryLiteral({{"x", JSON::arrayLiteral({NAN})}}), std::nullopt},
        OwnWriterCase{JSON::arrayLiteral({std::string("\xff")}), std::nullopt},
        OwnWriterCase{JSON::dictionaryLiteral({{std::string("\xc3"), 1}}), std::nullopt}));

TEST(RawOutputTest, OwnWriterDepthLimit) {
    JSON twoLevels = parse("[[1]]");
    EXPECT_EQ(twoLevels.rawString(ownWriter(plat::Value(2))), std::nullopt);
    EXPECT_EQ(twoLevels.rawString(ownWriter(plat::Value(3))), "[[1]]");

    // The default depth of 10 refuses anything nested 10 levels below the top.
    EXPECT_EQ(parse(nested(9)).rawString(ownWriter()), nested(9));
    EXPECT_EQ(parse(nested(10)).rawString(ownWriter()), std::nullopt);
    // A depth of another kind than an integer counts as absent.
    EXPECT_EQ(parse(nested(9)).rawString(ownWriter(plat::Value("3"))), nested(9));
    EXPECT_EQ(parse(nested(9)).rawString(ownWriter(plat::Value(true))), nested(9));
    // Without the own writer the depth only guards the top call.
    WritingOptions serialiser{{WritingOptionsKeys::MaxObjextDepth, plat::Value(1)},
                              {WritingOptionsKeys::JSONSerialization, plat::Value(0)}};
    EXPECT_EQ(parse(nested(20)).rawString(serialiser), nested(20));
}

// What the own writer writes reads back, at the edges of what the reader
// takes: the largest doubles and the deepest nesting.
TEST(RawOutputTest, OwnWriterTextAlwaysReadsBack) {
    for (double d : {1.7976931348623157e308, -1.7976931348623157e308, 4.9406564584124654e-324,
                     2.2250738585072014e-308, 0.1 + 0.2, 1e300 * 1.5}) {
        JSON list(plat::Value(plat::Array{plat::Value(d)}));
        std::optional<std::string> text = list.rawString(ownWriter());
        ASSERT_TRUE(text);
        plat::Result<plat::Value> back = plat::JSONSerialization::JSONObjectWithString(*text);
        ASSERT_TRUE(back.ok()) << *text;
        EXPECT_EQ((*back->asArray())[0].rawDouble(), d) << *text;
    }
    const plat::Value big(1e6);
    EXPECT_EQ(JSON(plat::Value(plat::Array{plat::Value(2.5), big})).rawString(ownWriter()), "[2.5,1000000]");

    for (int containers : {512, 513}) {
        plat::Value nesting{plat::Array{}};
        for (int i = 1; i < containers; ++i)
            nesting = plat::Value(plat::Array{nesting});
        JSON value(nesting);
        std::optional<std::string> text = value.rawString(ownWriter(plat::Value(100000)));
        EXPECT_EQ(text.has_value(), containers == 512) << containers;
        if (text) {
            EXPECT_TRUE(plat::JSONSerialization::JSONObjectWithString(*text).ok());
        }
    }
    JSON deepest = parse(nested(512));
    std::optional<std::string> text = deepest.rawString(ownWriter(plat::Value(100000)));
    ASSERT_TRUE(text);
    EXPECT_TRUE(plat::JSONSerialization::JSONObjectWithString(*text).ok());
}

TEST(RawOutputTest, FailureAtTheTopPrintsOneLine) {
    for (const JSON& value : {JSON(1), parse("[1]"), JSON("s")}) {
        testing::internal::CaptureStdout();
        std::optional<std::string> text = value.rawString(ownWriter(plat::Value(0)));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kFailureLine);
        EXPECT_EQ(text, std::nullopt);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(JSON(1).rawString(WritingOptions{{WritingOptionsKeys::MaxObjextDepth, plat::Value(-5)}}),
              std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kFailureLine);
}

}  // namespace
}  // namespace json
