#include "json/JSON.h"

#include <gtest/gtest.h>

#include <string>

#include "JSONTestSupport.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/JSONSerialization.h"

namespace json {
namespace {

using jsontest::compact;

plat::Data bytes(std::string_view s) {
    return plat::Data::fromString(s);
}

TEST(JSONTest, TaggingKeepsBooleansApartFromNumbers) {
    EXPECT_EQ(JSON(true).type(), Type::Bool);
    EXPECT_TRUE(JSON(true).object().rawBool());
    EXPECT_EQ(JSON(1).type(), Type::Number);
    EXPECT_EQ(JSON(int8_t{1}).type(), Type::Number);
    EXPECT_EQ(JSON(uint8_t{0}).type(), Type::Number);
    EXPECT_EQ(JSON(0.0).type(), Type::Number);
    EXPECT_EQ(JSON(plat::Decimal::fromString("1.5")).type(), Type::Number);
    EXPECT_EQ(JSON("x").type(), Type::String);
    EXPECT_EQ(JSON(nullptr).type(), Type::Null);
    EXPECT_EQ(JSON(std::nullopt).type(), Type::Null);
    EXPECT_EQ(JSON(std::optional<plat::Value>()).type(), Type::Null);
    EXPECT_EQ(JSON(plat::Value()).type(), Type::Null);
    EXPECT_EQ(JSON::null().type(), Type::Null);
    EXPECT_FALSE(JSON::null().error());
}

TEST(JSONTest, UnsupportedObjectsAreUnknownAndReadAsNull) {
    for (const plat::Value& v : {plat::Value(plat::Date(5)), plat::Value(plat::Set{plat::Value(1)})}) {
        JSON j(v);
        EXPECT_EQ(j.type(), Type::Unknown);
        EXPECT_EQ(j.error(), JSONValueError::UnsupportedType);
        EXPECT_TRUE(j.object().isNull());
        EXPECT_FALSE(JSON::fromRawValue(v).has_value());
    }
    std::optional<JSON> list = JSON::fromRawValue(plat::Value(plat::Array{plat::Value(plat::Date(1))}));
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->type(), Type::Array);  // only the top level is tagged
}

TEST(JSONTest, BytesAreParsedAndBadTextGivesNullWithoutError) {
    JSON list(bytes("[1,2]"));
    EXPECT_EQ(list.type(), Type::Array);
    EXPECT_EQ(list.count(), 2u);
    EXPECT_EQ(list[1].type(), Type::Number);

    for (std::string_view text : {"not json", "", "42", "[1,]"}) {
        JSON j(bytes(text));
        EXPECT_EQ(j.type(), Type::Null) << text;
        EXPECT_FALSE(j.error()) << text;
        EXPECT_EQ(JSON::parseJSON(text).type(), Type::Null) << text;
    }
    EXPECT_EQ(JSON::parseJSON("{\"a\":true}")["a"].type(), Type::Bool);
}

TEST(JSONTest, SettingAnObjectClearsTheErrorAndRetags) {
    JSON failed = JSON(5)["x"];
    EXPECT_EQ(failed.error(), JSONValueError::WrongType);
    failed.setObject(plat::Value("a"));
    EXPECT_FALSE(failed.error());
    EXPECT_EQ(failed.type(), Type::String);

    JSON j(1);
    j.setObject(plat::Value(plat::Date(0)));
    EXPECT_EQ(j.type(), Type::Unknown);
    j.setObject(JSON::arrayLiteral({1}));
    EXPECT_EQ(j.type(), Type::Array);
    EXPECT_FALSE(j.error());
}

TEST(JSONTest, NestedJSONValuesAreStoredAsPlainObjects) {
    JSON text("s");
    JSON list = JSON::arrayLiteral({1, 2});
    JSON outer = JSON::arrayLiteral({text, JSON::dictionaryLiteral({{"k", list}})});
    const plat::Array& stored = *outer.arrayObject();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], plat::Value("s"));
    const plat::Value* inner = stored[1].find("k");
    ASSERT_NE(inner, nullptr);
    EXPECT_TRUE(inner->isArray());
    EXPECT_EQ(compact(outer), "[\"s\",{\"k\":[1,2]}]");

    JSON fromVector(std::vector<JSON>{JSON("a"), JSON(nullptr)});
    EXPECT_EQ(compact(fromVector), "[\"a\",null]");
    JSON fromMap(std::map<std::string, JSON>{{"b", list}});
    EXPECT_EQ(compact(fromMap), "{\"b\":[1,2]}");
}

TEST(JSONTest, ContainerViewsAreAbsentOnOtherTypes) {
    JSON s("text");
    EXPECT_TRUE(s.arrayValue().empty());
    EXPECT_EQ(s.arrayObject(), nullptr);
    EXPECT_FALSE(s.array().has_value());
    EXPECT_TRUE(s.dictionaryValue().empty());
    EXPECT_EQ(s.dictionaryObject(), nullptr);

    JSON list(plat::Value(plat::Array{plat::Value(1), plat::Value(bytes("[2]")), plat::Value(bytes("?"))}));
    std::vector<JSON> elements = list.arrayValue();
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[1].type(), Type::Array);  // bytes are parsed on access
    EXPECT_EQ(elements[2].type(), Type::Null);
    EXPECT_FALSE(elements[2].error());

    list.setArrayObject(std::nullopt);
    EXPECT_EQ(list.type(), Type::Null);
    list.setDictionaryObject(plat::Dictionary{{"a", plat::Value(1)}});
    EXPECT_EQ(list.type(), Type::Dictionary);
    EXPECT_EQ(list.dictionaryValue().at("a").integerValue(), 1);
    list.setDictionaryObject(std::nullopt);
    EXPECT_EQ(list.type(), Type::Null);
}

TEST(JSONTest, DescriptionIsPrettyTextOrUnknown) {
    EXPECT_EQ(JSON(plat::Value(plat::Date(0))).description(), "unknown");
    EXPECT_EQ(JSON("a").description(), "a");
    EXPECT_EQ(JSON(true).description(), "true");
    EXPECT_EQ(JSON::arrayLiteral({1}).description(), "[\n  1\n]");
    EXPECT_EQ(JSON::dictionaryLiteral({{"a", 1}}).debugDescription(), "{\n  \"a\" : 1\n}");
}

TEST(JSONTest, LiteralsBuildTheMatchingTypes) {
    EXPECT_EQ(JSON(2.0), JSON(2));
    EXPECT_EQ(JSON::arrayLiteral({}).type(), Type::Array);
    EXPECT_TRUE(JSON::arrayLiteral({}).isEmpty());
    JSON emptyMap = JSON::dictionaryLiteral({});
    EXPECT_EQ(emptyMap.type(), Type::Dictionary);
    EXPECT_EQ(emptyMap.count(), 0u);

    JSON duplicate = JSON::dictionaryLiteral({{"k", 1}, {"other", 0}, {"k", 2}});
    EXPECT_EQ(duplicate.count(), 2u);
    EXPECT_EQ(duplicate["k"].integerValue(), 2);

    EXPECT_EQ(JSON('a'), JSON("a"));
    EXPECT_EQ(JSON(U'\u00e9'), JSON("\u00e9"));
    EXPECT_EQ(JSON(U'\U0001F600').stringValue(), "\U0001F600");
    EXPECT_EQ(JSON(char32_t{0xD800}).stringValue(), "\uFFFD");
    EXPECT_EQ(JSON(std::string_view("sv")).stringValue(), "sv");
}

// The grammar itself is the platform reader's (its refusal table covers
// RFC 8259); here, that every kind of document reaches the library and that
// a refusal surfaces as the parser's own error or, through parseJSON, as null;
// fragments need the option.
TEST(JSONTest, DocumentsFollowTheReadersGrammar) {
    for (const char* text :
         {"[]", "{}", "[1,-0,0.5,1e5,1E-5,-1.5e+3,0e0]", "{\"a\":[true,false,null],\"b\":{}}",
          " \t\n\r[1] \n", "[\"\\u00e9\\ud83d\\ude00\"]", "[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"]",
          "[\"\xc3\xa9\"]"}) {
        EXPECT_TRUE(JSON::create(bytes(text)).ok()) << text;
    }
    for (const char* text : {"", "{", "42", "[-01]", "[\"\xc3\"]", "[nul]", "\v[1]", "[1][2]"}) {
        plat::Result<JSON> r = JSON::create(bytes(text));
        ASSERT_FALSE(r.ok()) << text;
        EXPECT_EQ(r.error()->domain(), plat::CocoaErrorDomain);
        EXPECT_EQ(r.error()->code(), 3840);
        EXPECT_EQ(JSON::parseJSON(text).type(), Type::Null) << text;
    }
    plat::Result<JSON> fragment = JSON::create(bytes("42"), plat::JSONReadingFragmentsAllowed);
    ASSERT_TRUE(fragment.ok());
    EXPECT_EQ(fragment->integerValue(), 42);
}

TEST(JSONTest, ParsedNumbersKeepTheirKind) {
    JSON doc = JSON::parseJSON(
        "[9223372036854775807,9223372036854775808,18446744073709551615,100000000000000000000000,1.0,-5,"
        "true]");
    EXPECT_EQ(doc[0].object().kind(), plat::Value::Kind::Int);
    EXPECT_EQ(doc[0].int64Value(), INT64_MAX);
    EXPECT_EQ(doc[1].object().kind(), plat::Value::Kind::UInt);
    EXPECT_EQ(doc[2].uint64Value(), UINT64_MAX);
    EXPECT_EQ(doc[3].object().kind(), plat::Value::Kind::Decimal);
    EXPECT_EQ(doc[3].type(), Type::Number);
    EXPECT_EQ(doc[4].object().kind(), plat::Value::Kind::Double);
    EXPECT_EQ(doc[5].integerValue(), -5);
    EXPECT_EQ(doc[6].type(), Type::Bool);
    EXPECT_EQ(JSON::parseJSON("{\"a\":1,\"a\":2}")["a"].integerValue(), 2);
}

TEST(JSONTest, NestingBeyondTheParserLimitIsAnErrorNotACrash) {
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(JSON::create(bytes(nested(plat::JSONSerialization::kMaxDepth))).ok());
    plat::Result<JSON> deep = JSON::create(bytes(nested(plat::JSONSerialization::kMaxDepth + 1)));
    ASSERT_FALSE(deep.ok());
    EXPECT_EQ(deep.error()->code(), 3840);
    EXPECT_EQ(JSON::parseJSON(std::string(200000, '[')).type(), Type::Null);
}

}  // namespace
}  // namespace json
