#include <gtest/gtest.h>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::parse;

struct CompareCase {
    const char* name;
    JSON left;
    JSON right;
    bool eq, lt, le, ge, gt;
};

class ComparisonTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(ComparisonTest, OperatorsFollowTheTypeTable) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(c.left == c.right, c.eq) << c.name;
    EXPECT_EQ(c.left != c.right, !c.eq) << c.name;
    EXPECT_EQ(c.left < c.right, c.lt) << c.name;
    EXPECT_EQ(c.left <= c.right, c.le) << c.name;
    EXPECT_EQ(c.left >= c.right, c.ge) << c.name;
    EXPECT_EQ(c.left > c.right, c.gt) << c.name;
}

JSON unknown() {
    return JSON(plat::Value(plat::Date(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ComparisonTest,
    ::testing::Values(
        CompareCase{"int and bool", 1, true, false, false, false, false, false},
        CompareCase{"int below double", 2, 2.5, false, true, true, false, false},
        CompareCase{"int equals double", 3, 3.0, true, false, true, true, false},
        CompareCase{"double above int", 2.5, 2, false, false, false, true, true},
        CompareCase{"uint64 max below 2^64", UINT64_MAX, 18446744073709551616.0, false, true, true, false,
                    false},
        CompareCase{"exact large ints", int64_t{9007199254740993}, 9007199254740992.0, false, false, false,
                    true, true},
        CompareCase{"decimal and int", plat::Decimal::fromString("5"), 5, true, false, true, true, false},
        CompareCase{"false and true", false, true, false, false, false, false, false},
        CompareCase{"true and false", true, false, false, false, false, false, false},
        CompareCase{"true and true", true, true, true, false, true, true, false},
        CompareCase{"equal lists", parse("[1,2]"), parse("[1,2]"), true, false, true, true, false},
        CompareCase{"reordered lists", parse("[1,2]"), parse("[2,1]"), false, false, false, false, false},
        CompareCase{"nested numbers across kinds", parse("[1]"), parse("[1.0]"), true, false, true, true,
                    false},
        CompareCase{"maps in any order", parse(R"({"a":1,"b":2})"), parse(R"({"b":2,"a":1})"), true, false,
                    true, true, false},
        CompareCase{"different maps", parse(R"({"a":1})"), parse(R"({"a":2})"), false, false, false, false,
                    false},
        CompareCase{"texts", "a", "b", false, true, true, false, false},
        CompareCase{"texts reversed", "b", "a", false, false, false, true, true},
        CompareCase{"canonically equivalent", "\xc3\xa9", "e\xcc\x81", true, false, true, true, false},
        // Composed, e and the combining accent become U+00E9, which sorts after f.
        CompareCase{"NFC order", "e\xcc\x81", "f", false, false, false, true, true},
        CompareCase{"nested texts compare literally", JSON::arrayLiteral({"\xc3\xa9"}),
                    JSON::arrayLiteral({"e\xcc\x81"}), false, false, false, false, false},
        CompareCase{"text and number", "1", 1, false, false, false, false, false},
        CompareCase{"nulls", nullptr, nullptr, true, false, true, true, false},
        CompareCase{"null with error", JSON(1)["x"], nullptr, true, false, true, true, false},
        CompareCase{"unknowns", unknown(), unknown(), false, false, false, false, false},
        CompareCase{"list and map", parse("[]"), parse("{}"), false, false, false, false, false}));

TEST(ComparisonTest, UnknownIsNotEvenEqualToItself) {
    JSON u = unknown();
    EXPECT_FALSE(u == u);
    EXPECT_FALSE(u <= u);
    JSON n(nullptr);
    EXPECT_TRUE(n == n);
}

}  // namespace
}  // namespace json
