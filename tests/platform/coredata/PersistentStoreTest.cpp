#include "platform/coredata/PersistentStore.h"

#include <gtest/gtest.h>

namespace plat::coredata {
namespace {

RowValues row(std::initializer_list<Value> values) {
    RowValues out(values.size());
    std::copy(values.begin(), values.end(), out.begin());
    return out;
}

std::vector<Value> contents(const RowValues& values) {
    return std::vector<Value>(values.begin(), values.end());
}

TEST(RowValuesTest, ResizeKeepsTheFirstValuesAndFillsWithNull) {
    struct Case {
        std::size_t to;
        std::vector<Value> expected;
    };
    const Case cases[] = {
        {0, {}},
        {2, {Value(1), Value("two")}},
        {3, {Value(1), Value("two"), Value(3.0)}},
        {5, {Value(1), Value("two"), Value(3.0), Value(), Value()}},
    };
    for (const auto& c : cases) {
        RowValues values = row({Value(1), Value("two"), Value(3.0)});
        values.resize(c.to);
        EXPECT_EQ(values.size(), c.to);
        EXPECT_EQ(contents(values), c.expected) << c.to;
    }
}

TEST(RowValuesTest, CopiesAreIndependentAndMovesLeaveAnEmptyRow) {
    RowValues original = row({Value("a"), Value(2)});
    RowValues copy = original;
    copy[0] = Value("changed");
    EXPECT_EQ(original[0], Value("a"));
    const RowValues& same = copy;
    copy = same;  // self-assignment keeps the values
    EXPECT_EQ(copy[0], Value("changed"));

    RowValues moved = std::move(original);
    EXPECT_TRUE(original.empty());
    EXPECT_EQ(original.begin(), original.end());
    EXPECT_EQ(contents(moved), (std::vector<Value>{Value("a"), Value(2)}));
    moved = RowValues(1);
    EXPECT_EQ(contents(moved), std::vector<Value>{Value()});
    moved.clear();
    EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace plat::coredata
