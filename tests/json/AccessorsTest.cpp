#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::parse;

TEST(AccessorsTest, BoolValueReadsTextAndNumbersAsBooleans) {
    const std::pair<JSON, bool> cases[] = {{"YES", true},       {"Y", true},
                                           {"true", true},      {"TrUe", true},
                                           {"t", true},         {"1", true},
                                           {"0", false},        {"on", false},
                                           {"", false},         {"yes ", false},
                                           {" yes", false},     {"no", false},
                                           {"false", false},    {"2", false},
                                           {"\xc4\xb0", false}, {0, false},
                                           {2, true},           {-1, true},
                                           {0.5, true},         {0.0, false},
                                           {true, true},        {JSON::arrayLiteral({1}), false},
                                           {nullptr, false}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(value.boolValue(), expected) << value.stringValue();
}

TEST(AccessorsTest, OptionalFormsAreAbsentForOtherTypes) {
    EXPECT_EQ(JSON(1).optionalBool(), std::nullopt);
    EXPECT_EQ(JSON(true).optionalBool(), true);
    EXPECT_EQ(JSON(1).optionalString(), std::nullopt);
    EXPECT_EQ(JSON("s").optionalString(), "s");
    EXPECT_EQ(JSON("42").optionalInteger(), std::nullopt);
    EXPECT_EQ(JSON("42").integerValue(), 42);
    EXPECT_EQ(JSON(nullptr).optionalInteger(), std::nullopt);
    EXPECT_EQ(JSON(false).optionalDouble(), 0.0);
    EXPECT_EQ(JSON(true).optionalUint8(), 1);
    EXPECT_EQ(JSON::arrayLiteral({}).optionalNumber(), std::nullopt);
    EXPECT_EQ(JSON(plat::Value(plat::Date(0))).nullObject(), std::nullopt);
    EXPECT_TRUE(JSON(nullptr).nullObject().has_value());
    EXPECT_EQ(JSON(0).nullObject(), std::nullopt);
}

TEST(AccessorsTest, StringValueOfEveryType) {
    const std::pair<JSON, const char*> cases[] = {
        {true, "true"}, {false, "false"}, {JSON::arrayLiteral({1}), ""},
        {nullptr, ""},  {12.5, "12.5"},   {0.1, "0.1"},
        {0.1f, "0.1"},  {-3, "-3"},       {"x", "x"}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(value.stringValue(), expected);
}

TEST(AccessorsTest, NumberObjectsKeepBooleansOut) {
    std::optional<plat::Value> one = JSON(true).optionalNumber();
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->kind(), plat::Value::Kind::Int);
    EXPECT_EQ(one->rawInt(), 1);

    JSON j;
    j.setOptionalNumber(one);
    EXPECT_EQ(j.type(), Type::Number);
    j.setOptionalNumber(plat::Value(true));  // a boolean number object makes a bool
    EXPECT_EQ(j.type(), Type::Bool);
    // Modifying in place, even without a change, stores the integer.
    j.setOptionalNumber(j.optionalNumber());
    EXPECT_EQ(j.type(), Type::Number);
    EXPECT_EQ(j.integerValue(), 1);

    EXPECT_EQ(JSON("12.5").numberValue().doubleValue(), 12.5);
    plat::Value notANumber = JSON("abc").numberValue();
    ASSERT_EQ(notANumber.kind(), plat::Value::Kind::Decimal);
    EXPECT_TRUE(notANumber.asDecimal()->isZero());
    for (const JSON& other : {JSON::dictionaryLiteral({}), JSON(nullptr), JSON(plat::Value(plat::Date(0)))}) {
        plat::Value zero = other.numberValue();
        EXPECT_EQ(zero.kind(), plat::Value::Kind::Double);
        EXPECT_EQ(zero.rawDouble(), 0.0);
    }
    EXPECT_EQ(JSON(false).numberValue().kind(), plat::Value::Kind::Int);
}

// Expected readings of one value through the numeric accessor pairs.
struct NumericCase {
    JSON value;
    int8_t i8;
    uint8_t u8;
    int16_t i16;
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    double d;
};

class NumericReadTest : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericReadTest, ConvertsLikeThePlatformReaders) {
    const NumericCase& c = GetParam();
    const JSON& v = c.value;
    EXPECT_EQ(v.int8Value(), c.i8);
    EXPECT_EQ(v.uint8Value(), c.u8);
    EXPECT_EQ(v.int16Value(), c.i16);
    EXPECT_EQ(v.int32Value(), c.i32);
    EXPECT_EQ(v.uint32Value(), c.u32);
    EXPECT_EQ(v.int64Value(), c.i64);
    EXPECT_EQ(v.integerValue(), c.i64);
    EXPECT_EQ(v.uint64Value(), c.u64);
    EXPECT_EQ(v.unsignedIntegerValue(), c.u64);
    EXPECT_EQ(v.doubleValue(), c.d);
    if (v.type() == Type::Number || v.type() == Type::Bool) {
        EXPECT_EQ(v.optionalInt64(), c.i64);
        EXPECT_EQ(v.optionalUint16(), static_cast<uint16_t>(v.uint16Value()));
    } else {
        EXPECT_EQ(v.optionalInt64(), std::nullopt);
        EXPECT_EQ(v.optionalDouble(), std::nullopt);
    }
}

constexpr double kTwo64 = 18446744073709551616.0;

INSTANTIATE_TEST_SUITE_P(
    Values, NumericReadTest,
    ::testing::Values(
        // Integers narrow by two's complement.
        NumericCase{300, 44, 44, 300, 300, 300, 300, 300, 300.0},
        NumericCase{-1, -1, 255, -1, -1, UINT32_MAX, -1, UINT64_MAX, -1.0},
        NumericCase{UINT64_MAX, -1, 255, -1, -1, UINT32_MAX, -1, UINT64_MAX, kTwo64},
        NumericCase{INT64_MIN, 0, 0, 0, 0, 0, INT64_MIN, uint64_t{1} << 63, -9223372036854775808.0},
        NumericCase{int64_t{9007199254740993}, 1, 1, 1, 1, 1, 9007199254740993, 9007199254740993,
                    9007199254740992.0},
        // Floating values truncate toward zero and saturate.
        NumericCase{3.9, 3, 3, 3, 3, 3, 3, 3, 3.9}, NumericCase{-3.9, -3, 0, -3, -3, 0, -3, 0, -3.9},
        NumericCase{300.5, 127, 255, 300, 300, 300, 300, 300, 300.5},
        NumericCase{1e30, 127, 255, INT16_MAX, INT32_MAX, UINT32_MAX, INT64_MAX, UINT64_MAX, 1e30},
        NumericCase{-1e30, -128, 0, INT16_MIN, INT32_MIN, 0, INT64_MIN, 0, -1e30},
        // Booleans read as 1 or 0.
        NumericCase{true, 1, 1, 1, 1, 1, 1, 1, 1.0},
        // Text is parsed only by the defaulting forms.
        NumericCase{"42", 42, 42, 42, 42, 42, 42, 42, 42.0},
        NumericCase{"-7.9", -7, 0, -7, -7, 0, -7, 0, -7.9},
        NumericCase{"12abc", 12, 12, 12, 12, 12, 12, 12, 12.0},
        NumericCase{"18446744073709551615", -1, 255, -1, -1, UINT32_MAX, -1, UINT64_MAX, kTwo64},
        NumericCase{"1e30", 127, 255, INT16_MAX, INT32_MAX, UINT32_MAX, INT64_MAX, UINT64_MAX, 1e30},
        NumericCase{"abc", 0, 0, 0, 0, 0, 0, 0, 0.0}, NumericCase{nullptr, 0, 0, 0, 0, 0, 0, 0, 0.0},
        NumericCase{JSON::arrayLiteral({5}), 0, 0, 0, 0, 0, 0, 0, 0.0}));

TEST(AccessorsTest, NaNReadsAsZeroForIntegers) {
    JSON nan(std::nan(""));
    EXPECT_EQ(nan.integerValue(), 0);
    EXPECT_EQ(nan.uint8Value(), 0);
    EXPECT_TRUE(std::isnan(nan.doubleValue()));
    EXPECT_EQ(JSON(1e300).floatValue(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(JSON(-1e300).optionalFloat(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(JSON(0.5).floatValue(), 0.5f);
}

TEST(AccessorsTest, WritesStoreNumbersOfTheirOwnWidth) {
    JSON j;
    j.setInt8Value(-1);
    EXPECT_EQ(j.type(), Type::Number);
    EXPECT_EQ(j.integerValue(), -1);
    j.setInt8Value(1);
    EXPECT_EQ(j.type(), Type::Number);
    j.setUint8Value(200);
    EXPECT_EQ(j.object().numberType(), plat::NumberType::UInt8);
    j.setInt16Value(-2);
    EXPECT_EQ(j.object().numberType(), plat::NumberType::Int16);
    j.setUint32Value(7);
    EXPECT_EQ(j.object().numberType(), plat::NumberType::UInt32);
    j.setFloatValue(0.1f);
    EXPECT_EQ(j.object().numberType(), plat::NumberType::Float);
    EXPECT_EQ(j.stringValue(), "0.1");
    j.setUint64Value(UINT64_MAX);
    EXPECT_EQ(j.uint64Value(), UINT64_MAX);
    j.setOptionalInt32(5);
    EXPECT_EQ(j.int32Value(), 5);
    j.setOptionalDouble(2.5);
    EXPECT_EQ(j.doubleValue(), 2.5);
    j.setBoolValue(true);
    EXPECT_EQ(j.type(), Type::Bool);
    j.setStringValue("s");
    EXPECT_EQ(j.type(), Type::String);
}

TEST(AccessorsTest, AbsentWritesStoreNull) {
    auto check = [](auto write) {
        JSON j = JSON(5)["missing"];
        write(j);
        EXPECT_EQ(j.type(), Type::Null);
        EXPECT_FALSE(j.error());
        EXPECT_TRUE(j.exists());
    };
    check([](JSON& j) { j.setOptionalString(std::nullopt); });
    check([](JSON& j) { j.setOptionalInteger(std::nullopt); });
    check([](JSON& j) { j.setOptionalUint16(std::nullopt); });
    check([](JSON& j) { j.setOptionalBool(std::nullopt); });
    check([](JSON& j) { j.setOptionalNumber(std::nullopt); });
    check([](JSON& j) { j.setOptionalURL(std::nullopt); });
    check([](JSON& j) { j.setNullObject(std::nullopt); });
    check([](JSON& j) { j.setNullObject(plat::Value(1)); });
}

TEST(AccessorsTest, ModifyingInPlaceAlwaysWritesBack) {
    JSON five(5);
    five.setBoolValue(five.boolValue());
    EXPECT_EQ(five.type(), Type::Bool);
    EXPECT_EQ(five.optionalBool(), true);

    JSON number(5);
    number.setOptionalString(number.optionalString());
    EXPECT_EQ(number.type(), Type::Null);

    JSON counter(41);
    counter.setIntegerValue(counter.integerValue() + 1);
    EXPECT_EQ(counter.integerValue(), 42);
}

TEST(AccessorsTest, ExistsOnlyWithoutError) {
    JSON doc = parse(R"({"a":[1]})");
    EXPECT_FALSE(doc["b"].exists());
    EXPECT_FALSE((doc[{"a", 4}].exists()));
    EXPECT_FALSE(doc[0].exists());
    EXPECT_FALSE(JSON(plat::Value(plat::Date(0))).exists());
    EXPECT_TRUE(JSON(nullptr).exists());
    EXPECT_TRUE((doc[{"a", 0}].exists()));
}

TEST(AccessorsTest, URLsFromText) {
    EXPECT_EQ(JSON("a b").optionalURL()->absoluteString(), "a%20b");
    EXPECT_EQ(JSON("http://x.org/p?q=1&r=\xc3\xa9").optionalURL()->absoluteString(),
              "http://x.org/p?q=1&r=%C3%A9");
    // One escape anywhere means the text is taken as encoded: the blank stays and fails.
    EXPECT_EQ(JSON("%41 b").optionalURL(), std::nullopt);
    EXPECT_EQ(JSON("http://x.org/%41").optionalURL()->absoluteString(), "http://x.org/%41");
    EXPECT_EQ(JSON(1).optionalURL(), std::nullopt);
    EXPECT_EQ(JSON(std::string("\xff")).optionalURL(), std::nullopt);

    JSON j;
    j.setOptionalURL(plat::URL::URLWithString("https://example.com/x"));
    EXPECT_EQ(j.type(), Type::String);
    EXPECT_EQ(j.stringValue(), "https://example.com/x");
}

}  // namespace
}  // namespace json
