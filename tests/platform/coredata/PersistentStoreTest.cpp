#include "platform/coredata/PersistentStore.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

// A row's values made by makeRow lie in the row's own block: whatever moves
// in or out must leave both sides valid after the row is gone (the
// sanitizer builds catch a value freed twice or read after its block).
bool inBlock(const StoreSnapshot& row) {
    const char* base = reinterpret_cast<const char*>(&row);
    const char* values = reinterpret_cast<const char*>(row.values.begin());
    return values > base && values < base + sizeof(StoreSnapshot) + 64;
}

struct Derived : StoreSnapshot {
    std::string extra = "kept";
};

TEST(RowValuesTest, MadeRowsHoldNullsInTheirOwnBlock) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{200}}) {
        auto row = makeRow(count);
        EXPECT_EQ(row->values.size(), count);
        EXPECT_EQ(contents(row->values), std::vector<Value>(count)) << count;
        if (count) {
            EXPECT_TRUE(inBlock(*row)) << count;
        }
    }
    auto derived = makeRow<Derived>(3);
    derived->values[2] = Value("payload");
    EXPECT_EQ(derived->extra, "kept");
    EXPECT_EQ(contents(derived->values), (std::vector<Value>{Value(), Value(), Value("payload")}));
    std::shared_ptr<const StoreSnapshot> base = derived;
    derived.reset();
    EXPECT_EQ(base->values[2], Value("payload"));
}

TEST(RowValuesTest, ValuesMovingInAndOutOfAMadeRowOutliveIt) {
    const std::vector<Value> abc{Value("a long string that does not fit inline"), Value(2), Value("c")};
    struct Case {
        const char* name;
        // Acts on the made row's values; returns what must still hold abc
        // once the row is gone (empty when nothing must).
        std::function<RowValues(RowValues&)> act;
        bool staysInBlock;
    };
    const Case cases[] = {
        {"copy of the same size stays in the block",
         [&](RowValues& v) {
             v = row({abc[0], abc[1], abc[2]});
             return RowValues();
         },
         true},
        {"copy-assign of the same size stays in the block",
         [&](RowValues& v) {
             const RowValues other = row({abc[0], abc[1], abc[2]});
             v = other;
             return RowValues(other);
         },
         true},
        {"another size moves out of the block",
         [&](RowValues& v) {
             v = row({abc[0], abc[1], abc[2], Value()});
             v.resize(3);
             return RowValues();
         },
         false},
        {"moved out, the row empties",
         [&](RowValues& v) {
             v = row({abc[0], abc[1], abc[2]});
             RowValues out = std::move(v);
             EXPECT_TRUE(v.empty());
             return out;
         },
         false},
        {"move-assigned out, the row empties",
         [&](RowValues& v) {
             v = row({abc[0], abc[1], abc[2]});
             RowValues out(5);
             out = std::move(v);
             EXPECT_TRUE(v.empty());
             return out;
         },
         false},
        {"resized",
         [&](RowValues& v) {
             v = row({abc[0], abc[1], abc[2]});
             v.resize(4);
             v.resize(3);
             return RowValues(v);
         },
         false},
    };
    for (const auto& c : cases) {
        auto made = makeRow(3);
        RowValues kept = c.act(made->values);
        if (!made->values.empty()) {
            EXPECT_EQ(contents(made->values), abc) << c.name;
            EXPECT_EQ(inBlock(*made), c.staysInBlock) << c.name;
        }
        made.reset();
        if (!kept.empty()) {
            EXPECT_EQ(contents(kept), abc) << c.name;
        }
    }
}

}  // namespace
}  // namespace plat::coredata
