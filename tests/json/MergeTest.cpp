#include <gtest/gtest.h>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::compact;
using jsontest::parse;

struct MergeCase {
    const char* self;
    const char* other;
    const char* expected;
};

class MergeTableTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTableTest, MergesMapsDeeplyConcatenatesListsAndReplacesTheRest) {
    const MergeCase& c = GetParam();
    JSON self = parse(c.self);
    JSON original = self;
    plat::Result<JSON> copy = self.merged(parse(c.other));
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(compact(*copy), c.expected);
    EXPECT_EQ(compact(self), compact(original));  // merged never changes self

    EXPECT_EQ(self.merge(parse(c.other)), nullptr);
    EXPECT_EQ(compact(self), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeTableTest,
    ::testing::Values(
        MergeCase{R"({"a":1,"b":{"c":2}})", R"({"b":{"d":3},"e":4})", R"({"a":1,"b":{"c":2,"d":3},"e":4})"},
        MergeCase{"[1,2]", "[2,3]", "[1,2,2,3]"}, MergeCase{"1", "2", "2"}, MergeCase{"1", "2.5", "2.5"},
        MergeCase{"null", "null", "null"}, MergeCase{"\"a\"", "\"b\"", "b"},
        MergeCase{"true", "false", "false"}, MergeCase{R"({"a":1})", R"({"a":[1]})", R"({"a":[1]})"},
        MergeCase{R"({"a":[1]})", R"({"a":1})", R"({"a":1})"},
        MergeCase{R"({"a":[1]})", R"({"a":[2]})", R"({"a":[1,2]})"},
        MergeCase{R"({"a":{"x":{"y":1}}})", R"({"a":{"x":{"z":2}}})", R"({"a":{"x":{"y":1,"z":2}}})"},
        MergeCase{R"({"k":1,"m":2})", R"({"k":null})", R"({"k":null,"m":2})"}, MergeCase{"{}", "{}", "{}"},
        MergeCase{"[]", "[]", "[]"}));

TEST(MergeTest, DifferentTopLevelTypesFailAndChangeNothing) {
    JSON one(1);
    plat::ErrorPtr error = one.merge(JSON("x"));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(JSONValueErrorFromError(error), JSONValueError::WrongType);
    EXPECT_EQ(one.integerValue(), 1);
    EXPECT_EQ(one.type(), Type::Number);

    plat::Result<JSON> copy = one.merged(JSON::arrayLiteral({1}));
    ASSERT_FALSE(copy.ok());
    EXPECT_EQ(copy.error()->code(), 901);
    EXPECT_EQ(one.integerValue(), 1);

    // Bool and number are different types too.
    EXPECT_NE(JSON(true).merge(JSON(1)), nullptr);
}

TEST(MergeTest, MergingWithItselfAndUnknownMembers) {
    JSON doc = parse(R"({"l":[1],"m":{"a":1}})");
    ASSERT_EQ(doc.merge(doc), nullptr);
    EXPECT_EQ(compact(doc), R"({"l":[1,1],"m":{"a":1}})");

    // A member JSON cannot hold becomes the null object it reads as.
    JSON other(plat::Value(plat::Dictionary{{"m", plat::Value(plat::Date(0))}}));
    ASSERT_EQ(doc.merge(other), nullptr);
    EXPECT_EQ(compact(doc), R"({"l":[1,1],"m":null})");

    // Bytes inside concatenated lists are parsed as JSON text.
    JSON bytes(plat::Value(plat::Array{plat::Value(plat::Data::fromString("[5]"))}));
    JSON list = parse("[0]");
    ASSERT_EQ(list.merge(bytes), nullptr);
    EXPECT_EQ(compact(list), "[0,[5]]");
}

}  // namespace
}  // namespace json
