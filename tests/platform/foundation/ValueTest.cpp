#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/foundation/Error.h"

namespace {

using plat::Array;
using plat::Decimal;
using plat::Dictionary;
using plat::NumberType;
using plat::Set;
using plat::Value;
using Kind = plat::Value::Kind;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

static_assert(sizeof(Value) <= 32, "Values stay small: they are the nodes of parsed documents");

class Tag : public plat::Object {
  public:
    explicit Tag(int id) : id_(id) {}
    std::string description() const override { return "<Tag " + std::to_string(id_) + ">"; }
    bool isEqual(const Object& other) const override {
        auto* tag = dynamic_cast<const Tag*>(&other);
        return tag != nullptr && tag->id_ == id_;
    }
    std::size_t hash() const override { return static_cast<std::size_t>(id_); }

  private:
    int id_;
};

TEST(ValueTest, KindsAndTypedViews) {
    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
    EXPECT_TRUE(Value(plat::ObjectPtr()).isNull());
    EXPECT_TRUE(Value(true).isBool());
    EXPECT_TRUE(Value(true).isNumber());
    EXPECT_FALSE(Value(1).isBool());
    EXPECT_EQ(Value(1).kind(), Kind::Int);
    EXPECT_EQ(Value(1u).kind(), Kind::UInt);
    EXPECT_EQ(Value(int8_t{1}).numberType(), NumberType::Int8);
    EXPECT_EQ(Value(uint16_t{1}).numberType(), NumberType::UInt16);
    EXPECT_EQ(Value(1.5f).numberType(), NumberType::Float);
    EXPECT_EQ(Value(1.5f).kind(), Kind::Double);
    EXPECT_EQ(Value(Decimal::fromString("2.5")).kindName(), std::string("decimal"));
    EXPECT_EQ(Value(plat::Set{}).kindName(), std::string("set"));

    const Value s("text");
    ASSERT_NE(s.asString(), nullptr);
    EXPECT_EQ(*s.asString(), "text");
    EXPECT_EQ(s.asData(), nullptr);
    EXPECT_EQ(s.asArray(), nullptr);
    EXPECT_FALSE(s.asDate().has_value());
    EXPECT_EQ(Value(plat::Date(5)).asDate()->timeIntervalSinceReferenceDate(), 5.0);
    EXPECT_EQ(Value(plat::Data::fromString("ab")).asData()->length(), 2u);
    EXPECT_EQ(Value(std::string_view("sv")), Value(std::string("sv")));

    auto tag = std::make_shared<Tag>(7);
    const Value object(tag);
    EXPECT_EQ(object.asObject().get(), tag.get());
    EXPECT_EQ(object.asObjectOf<Tag>().get(), tag.get());
    EXPECT_EQ(object.asObjectOf<plat::Error>(), nullptr);
    EXPECT_EQ(Value(1).asObject(), nullptr);
}

TEST(ValueTest, CopiesShareTheirPayload) {
    const Value original(Array{1, 2, 3});
    const Value copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.asArray(), original.asArray());
    const Value text(std::string(1000, 'x'));
    const Value textCopy = text;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(textCopy.asString(), text.asString());
}

TEST(ValueTest, FindAtAndCount) {
    const Value v(Dictionary{{"list", Array{10, 20}}, {"n", 1}});
    EXPECT_EQ(v.count(), 2u);
    EXPECT_EQ(v.find("list")->at(1)->intValue(), 20);
    EXPECT_EQ(v.find("list")->at(2), nullptr);
    EXPECT_EQ(v.find("missing"), nullptr);
    EXPECT_EQ(v.at(0), nullptr);
    EXPECT_EQ(v.find("n")->find("x"), nullptr);
    EXPECT_EQ(v.find("n")->count(), 0u);
    EXPECT_EQ(Value(Set{1, 2}).count(), 2u);
}

TEST(ValueTest, NumbersOfEveryKindAreEqualByValueAndHashAlike) {
    const std::vector<Value> ones = {Value(1),        Value(1u),   Value(1.0),
                                     Value(true),     Value(1.0f), Value(Decimal::fromString("1.000")),
                                     Value(int8_t{1})};
    for (const Value& a : ones) {
        for (const Value& b : ones) {
            EXPECT_EQ(a, b) << a.kindName() << " vs " << b.kindName();
            EXPECT_EQ(a.hash(), b.hash()) << a.kindName() << " vs " << b.kindName();
            EXPECT_EQ(a.compare(b), 0);
        }
    }
    EXPECT_NE(Value(true), Value(2));
    EXPECT_NE(Value(false), Value(true));
    EXPECT_EQ(Value(false), Value(0.0));
    EXPECT_NE(Value(1), Value("1"));
    EXPECT_NE(Value(0), Value());
    EXPECT_EQ(Value(Decimal::fromString("0.5")), Value(0.5));
    EXPECT_EQ(Value(Decimal::fromString("0.5")).hash(), Value(0.5).hash());
    EXPECT_NE(Value(Decimal::fromString("0.1")), Value(0.1));
}

TEST(ValueTest, CrossKindComparisonIsExactAtTheEdges) {
    const double two63 = 9.223372036854775807e18;  // rounds to 2^63
    EXPECT_EQ(Value(INT64_MAX).compare(Value(two63)), -1);
    EXPECT_NE(Value(INT64_MAX), Value(two63));
    EXPECT_EQ(Value(uint64_t{1} << 63), Value(two63));
    EXPECT_EQ(Value(uint64_t{1} << 63).hash(), Value(two63).hash());
    EXPECT_EQ(Value(UINT64_MAX).compare(Value(18446744073709551615.0)), -1);  // the double is 2^64
    EXPECT_EQ(Value(INT64_MIN), Value(-9223372036854775808.0));
    EXPECT_EQ(Value(INT64_MIN).compare(Value(-9223372036854777856.0)), 1);
    // 2^53 + 1 is not 2^53, although both convert to the same double.
    EXPECT_EQ(Value((int64_t{1} << 53) + 1).compare(Value(9007199254740992.0)), 1);
    EXPECT_EQ(Value((uint64_t{1} << 53) + 1).compare(Value(9007199254740992.0)), 1);
    EXPECT_EQ(Value(-1).compare(Value(UINT64_MAX)), -1);
    EXPECT_NE(Value(-1), Value(UINT64_MAX));
    EXPECT_EQ(Value(2).compare(Value(2.5)), -1);
    EXPECT_EQ(Value(-2).compare(Value(-2.5)), 1);
    EXPECT_EQ(Value(3u).compare(Value(-0.5)), 1);
    EXPECT_EQ(Value(0u).compare(Value(0.5)), -1);
    EXPECT_EQ(Value(-0.0), Value(0));
    EXPECT_EQ(Value(-0.0).hash(), Value(0).hash());
    EXPECT_EQ(Value(5).compare(Value(kInf)), -1);
    EXPECT_EQ(Value(UINT64_MAX).compare(Value(-kInf)), 1);
    EXPECT_EQ(Value(Decimal::fromString("9223372036854775809")), Value(uint64_t{9223372036854775809ULL}));
    EXPECT_EQ(Value(Decimal::fromString("9223372036854775809")).hash(),
              Value(uint64_t{9223372036854775809ULL}).hash());
    EXPECT_EQ(Value(Decimal::fromString("-9223372036854775808")), Value(INT64_MIN));
    EXPECT_EQ(Value(Decimal::fromString("0.1")).compare(Value(0.1)), -1);
    EXPECT_EQ(Value(Decimal::fromString("2.5")).compare(Value(2)), 1);
}

TEST(ValueTest, NaNSortsBelowEverythingAndEqualsItself) {
    EXPECT_EQ(Value(kNaN), Value(kNaN));
    EXPECT_EQ(Value(kNaN).hash(), Value(kNaN).hash());
    EXPECT_EQ(Value(kNaN), Value(Decimal::notANumber()));
    EXPECT_EQ(Value(kNaN).hash(), Value(Decimal::notANumber()).hash());
    EXPECT_EQ(Value(kNaN).compare(Value(-kInf)), -1);
    EXPECT_EQ(Value(INT64_MIN).compare(Value(kNaN)), 1);
    EXPECT_EQ(Value(0u).compare(Value(kNaN)), 1);
    EXPECT_EQ(Value(false).compare(Value(kNaN)), 1);
}

TEST(ValueTest, CompareOrdersStringsByCodePointAndDatesByTime) {
    EXPECT_EQ(Value("a").compare(Value("b")), -1);
    EXPECT_EQ(Value("\xc3\xa9").compare(Value("z")), 1);  // é after z
    EXPECT_EQ(Value("abc").compare(Value("abc")), 0);
    EXPECT_EQ(Value(plat::Date(1)).compare(Value(plat::Date(2))), -1);
    EXPECT_FALSE(Value("1").compare(Value(1)).has_value());
    EXPECT_FALSE(Value().compare(Value()).has_value());
    EXPECT_FALSE(Value(Array{}).compare(Value(Array{})).has_value());
}

struct ReaderCase {
    const char* name;
    Value value;
    int32_t intValue;
    int64_t longLongValue;
    uint64_t unsignedValue;
    double doubleValue;
    bool boolValue;
};

class ValueReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(ValueReaderTest, ConvertsAsThePlatformDoes) {
    const ReaderCase& c = GetParam();
    EXPECT_EQ(c.value.intValue(), c.intValue);
    EXPECT_EQ(c.value.longLongValue(), c.longLongValue);
    EXPECT_EQ(c.value.integerValue(), c.longLongValue);
    EXPECT_EQ(c.value.unsignedLongLongValue(), c.unsignedValue);
    if (std::isnan(c.doubleValue)) {
        EXPECT_TRUE(std::isnan(c.value.doubleValue()));
    } else {
        EXPECT_EQ(c.value.doubleValue(), c.doubleValue);
    }
    EXPECT_EQ(c.value.boolValue(), c.boolValue);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValueReaderTest,
    testing::Values(ReaderCase{"true", Value(true), 1, 1, 1, 1.0, true},
                    ReaderCase{"int300", Value(300), 300, 300, 300, 300.0, true},
                    ReaderCase{"narrowedInt", Value((int64_t{1} << 32) + 5), 5, (int64_t{1} << 32) + 5,
                               (uint64_t{1} << 32) + 5, 4294967301.0, true},
                    ReaderCase{"minusOne", Value(-1), -1, -1, UINT64_MAX, -1.0, true},
                    ReaderCase{"uintMax", Value(UINT64_MAX), -1, -1, UINT64_MAX, 18446744073709551615.0,
                               true},
                    ReaderCase{"huge", Value(1e20), INT32_MAX, INT64_MAX, UINT64_MAX, 1e20, true},
                    ReaderCase{"hugeNegative", Value(-1e20), INT32_MIN, INT64_MIN, 0, -1e20, true},
                    ReaderCase{"minusOneAndHalf", Value(-1.5), -1, -1, 0, -1.5, true},
                    ReaderCase{"half", Value(0.5), 0, 0, 0, 0.5, true},
                    ReaderCase{"zero", Value(0.0), 0, 0, 0, 0.0, false},
                    ReaderCase{"nan", Value(kNaN), 0, 0, 0, kNaN, true},
                    ReaderCase{"infinity", Value(kInf), INT32_MAX, INT64_MAX, UINT64_MAX, kInf, true},
                    ReaderCase{"decimal", Value(Decimal::fromString("-12.9")), -12, -12, 0, -12.9, true},
                    ReaderCase{"bigDecimal", Value(Decimal::fromString("1e30")), INT32_MAX, INT64_MAX,
                               UINT64_MAX, 1e30, true},
                    ReaderCase{"decimalZero", Value(Decimal()), 0, 0, 0, 0.0, false},
                    ReaderCase{"string", Value(" 42abc"), 42, 42, 42, 42.0, true},
                    ReaderCase{"stringExponent", Value("1e3"), 1, 1, 1, 1000.0, true},
                    ReaderCase{"stringNegative", Value("-7"), -7, -7, static_cast<uint64_t>(-7), -7.0, true},
                    ReaderCase{"stringBeyondInt64", Value("18446744073709551615"), INT32_MAX, INT64_MAX,
                               UINT64_MAX, 18446744073709551615.0, true},
                    ReaderCase{"stringYes", Value("yes"), 0, 0, 0, 0.0, true},
                    ReaderCase{"stringNo", Value("no"), 0, 0, 0, 0.0, false},
                    ReaderCase{"null", Value(), 0, 0, 0, 0.0, false},
                    ReaderCase{"date", Value(plat::Date(100)), 0, 0, 0, 0.0, false},
                    ReaderCase{"array", Value(Array{1}), 0, 0, 0, 0.0, false}),
    [](const testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

TEST(ValueTest, FloatValueOfOutOfRangeDoublesIsInfinite) {
    EXPECT_EQ(Value(1e300).floatValue(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(Value(-1e300).floatValue(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(Value(0.5).floatValue(), 0.5f);
    EXPECT_EQ(Value("2.5x").floatValue(), 2.5f);
    EXPECT_EQ(Value(Decimal::fromString("1e100")).floatValue(), std::numeric_limits<float>::infinity());
}

TEST(ValueTest, StringValueTexts) {
    EXPECT_EQ(Value(0.1).stringValue(), "0.1");
    EXPECT_EQ(Value(1.0 / 3).stringValue(), "0.3333333333333333");
    EXPECT_EQ(Value(100.0).stringValue(), "100");
    EXPECT_EQ(Value(1e20).stringValue(), "1e+20");
    EXPECT_EQ(Value(-0.0).stringValue(), "-0");
    EXPECT_EQ(Value(0.1f).stringValue(), "0.1");
    EXPECT_EQ(Value(1.0f / 3).stringValue(), "0.3333333");
    EXPECT_EQ(Value(true).stringValue(), "1");
    EXPECT_EQ(Value(false).stringValue(), "0");
    EXPECT_EQ(Value(-5).stringValue(), "-5");
    EXPECT_EQ(Value(UINT64_MAX).stringValue(), "18446744073709551615");
    EXPECT_EQ(Value(Decimal::fromString("1e3")).stringValue(), "1000");
    EXPECT_EQ(Value(Decimal::fromString("-0.001")).stringValue(), "-0.001");
    EXPECT_EQ(Value("as is").stringValue(), "as is");
    EXPECT_EQ(Value().stringValue(), "<null>");
}

TEST(ValueTest, TopLevelDescriptions) {
    EXPECT_EQ(Value().description(), "<null>");
    EXPECT_EQ(Value("two words").description(), "two words");
    EXPECT_EQ(Value(2.5).description(), "2.5");
    EXPECT_EQ(Value(true).description(), "1");
    EXPECT_EQ(Value(plat::Date()).description(), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Value(plat::Data::fromString("\x01\x02\x03")).description(), "{length = 3, bytes = 0x010203}");
    EXPECT_EQ(Value(std::make_shared<Tag>(3)).description(), "<Tag 3>");
}

TEST(ValueTest, CollectionDescriptionsUsePropertyListStyle) {
    EXPECT_EQ(Value(Array{1, 2}).description(), "(\n    1,\n    2\n)");
    EXPECT_EQ(Value(Array{}).description(), "(\n)");
    EXPECT_EQ(Value(Dictionary{}).description(), "{\n}");
    EXPECT_EQ(Value(Set{}).description(), "{(\n)}");
    EXPECT_EQ(Value(Set{"a", "b"}).description(), "{(\n    a,\n    b\n)}");
    // Keys print in ascending order whatever the insertion order.
    EXPECT_EQ(Value(Dictionary{{"key", "value"}, {"a", 1}}).description(),
              "{\n    a = 1;\n    key = value;\n}");
}

TEST(ValueTest, NestedContainersRepeatTheirIndentAfterKeysAndInLists) {
    const Value nested(Dictionary{{"list", Array{1, Dictionary{{"x", "y"}}}}, {"set", Set{"s"}}});
    EXPECT_EQ(nested.description(),
              "{\n"
              "    list =     (\n"
              "        1,\n"
              "                {\n"
              "            x = y;\n"
              "        }\n"
              "    );\n"
              "    set =     {(\n"
              "        s\n"
              "    )};\n"
              "}");
    EXPECT_EQ(Value(Array{Array{}, 1}).description(), "(\n        (\n    ),\n    1\n)");
}

TEST(ValueTest, MembersAreQuotedUnlessPlainWords) {
    auto member = [](const Value& v) { return Value(Array{v}).description(); };
    auto quoted = [](const std::string& text) { return "(\n    " + text + "\n)"; };
    EXPECT_EQ(member("plain_Word.1$:/x"), quoted("plain_Word.1$:/x"));
    EXPECT_EQ(member("two words"), quoted("\"two words\""));
    EXPECT_EQ(member(""), quoted("\"\""));
    EXPECT_EQ(member("say \"hi\""), quoted("\"say \\\"hi\\\"\""));
    EXPECT_EQ(member("back\\slash"), quoted("\"back\\\\slash\""));
    EXPECT_EQ(member("line\nbreak\ttab"), quoted("\"line\\nbreak\\ttab\""));
    EXPECT_EQ(member("caf\xc3\xa9"), quoted("\"caf\\U00e9\""));
    EXPECT_EQ(member("\xf0\x9f\x98\x80"), quoted("\"\\Ud83d\\Ude00\""));
    EXPECT_EQ(member("a-b"), quoted("\"a-b\""));
    EXPECT_EQ(member(-1), quoted("\"-1\""));
    EXPECT_EQ(member(1.5), quoted("1.5"));
    EXPECT_EQ(member(Value()), quoted("\"<null>\""));
    EXPECT_EQ(member(plat::Date()), quoted("\"2001-01-01 00:00:00 +0000\""));
    EXPECT_EQ(member(plat::Data::fromString("ab")), quoted("{length = 2, bytes = 0x6162}"));
    EXPECT_EQ(Value(Dictionary{{"Content-Type", "text/html; charset=utf-8"}, {"Server", "nginx/1.2"}})
                  .description(),
              "{\n    \"Content-Type\" = \"text/html; charset=utf-8\";\n    Server = nginx/1.2;\n}");
}

TEST(ValueTest, ContainersCompareByMembers) {
    EXPECT_EQ(Value(Array{1, "a"}), Value(Array{1.0, "a"}));
    EXPECT_NE(Value(Array{1, "a"}), Value(Array{"a", 1}));
    EXPECT_NE(Value(Array{1}), Value(Array{1, 1}));
    EXPECT_EQ(Value(Array{true}), Value(Array{1}));  // nested true equals nested 1
    EXPECT_EQ(Value(Dictionary{{"a", 1}, {"b", 2}}), Value(Dictionary{{"b", 2}, {"a", 1}}));
    EXPECT_EQ(Value(Dictionary{{"a", 1}, {"b", 2}}).hash(), Value(Dictionary{{"b", 2}, {"a", 1}}).hash());
    EXPECT_NE(Value(Dictionary{{"a", 1}}), Value(Dictionary{{"a", 2}}));
    EXPECT_NE(Value(Dictionary{{"a", 1}}), Value(Dictionary{{"b", 1}}));
    EXPECT_EQ(Value(Set{1, "x"}), Value(Set{"x", 1.0}));
    EXPECT_EQ(Value(Set{1, "x"}).hash(), Value(Set{"x", 1.0}).hash());
    EXPECT_NE(Value(Array{1}), Value(Set{1}));
    EXPECT_EQ(Value(plat::Data::fromString("ab")), Value(plat::Data::fromString("ab")));
    EXPECT_NE(Value(plat::Data::fromString("ab")), Value("ab"));
    EXPECT_EQ(Value(plat::Date(3)), Value(plat::Date(3)));
    EXPECT_NE(Value(plat::Date(3)), Value(3));
    EXPECT_EQ(Value(std::make_shared<Tag>(1)), Value(std::make_shared<Tag>(1)));
    EXPECT_NE(Value(std::make_shared<Tag>(1)), Value(std::make_shared<Tag>(2)));
    EXPECT_EQ(Value(), Value(nullptr));
}

TEST(DictionaryTest, KeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d{{"z", 1}, {"a", 2}, {"m", 3}, {"a", 4}};
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "a", "m"}));
    EXPECT_EQ(d.find("a")->intValue(), 4);
    d.set("z", "replaced");
    EXPECT_EQ(d.entryAt(0).first, "z");
    EXPECT_EQ(*d.entryAt(0).second.asString(), "replaced");
    EXPECT_TRUE(d.erase("a"));
    EXPECT_FALSE(d.erase("a"));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "m"}));
    d.set("a", 5);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "m", "a"}));
    *d.find("m") = 30;
    EXPECT_EQ(d.find("m")->intValue(), 30);
    EXPECT_FALSE(d.contains(""));
    d.set("", 0);
    EXPECT_TRUE(d.contains(""));
    d.clear();
    EXPECT_TRUE(d.empty());
    EXPECT_EQ(d.find("z"), nullptr);
}

TEST(DictionaryTest, LargeMapsStayIndexedThroughChangesAndCopies) {
    Dictionary d;
    constexpr int kCount = 10000;
    for (int i = 0; i < kCount; ++i)
        d.set("key" + std::to_string(i), i);
    for (int i = 0; i < kCount; i += 2)
        d.set("key" + std::to_string(i), -i);  // replace keeps position
    for (int i = 0; i < kCount; i += 30)
        EXPECT_TRUE(d.erase("key" + std::to_string(i)));
    Dictionary copy = d;
    Dictionary moved = std::move(copy);
    for (int i = 0; i < kCount; ++i) {
        const Value* v = moved.find("key" + std::to_string(i));
        if (i % 30 == 0) {
            EXPECT_EQ(v, nullptr) << i;
        } else {
            ASSERT_NE(v, nullptr) << i;
            EXPECT_EQ(v->intValue(), i % 2 == 0 ? -i : i);
        }
    }
    EXPECT_EQ(moved.entryAt(0).first, "key1");
    EXPECT_EQ(moved.entryAt(1).first, "key2");
    EXPECT_EQ(moved.find("absent"), nullptr);
    EXPECT_EQ(moved, d);
    // Erasing from the back down below the indexed size, then from the front.
    while (moved.size() > 5)
        moved.erase(moved.entryAt(moved.size() - 1).first);
    moved.erase("key1");
    EXPECT_EQ(moved.keys(), (std::vector<std::string>{"key2", "key3", "key4", "key5"}));
    EXPECT_EQ(moved.find("key5"), &moved.entryAt(3).second);
}

TEST(DictionaryTest, RandomChangesAgreeWithASimpleModel) {
    std::mt19937 random(12345);
    Dictionary d;
    std::vector<std::pair<std::string, int>> model;  // insertion order, as the dictionary keeps it
    for (int step = 0; step < 30000; ++step) {
        // Phases with few keys move the map back and forth across the indexed size.
        const unsigned keySpace = (step / 5000) % 2 == 0 ? 300 : 12;
        if (step % 5000 == 0 && keySpace == 12) {
            for (const auto& entry : model)
                EXPECT_TRUE(d.erase(entry.first));
            model.clear();
            EXPECT_TRUE(d.empty());
        }
        const std::string key = "k" + std::to_string(random() % keySpace);
        auto it = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
        if (random() % 3 == 0) {
            EXPECT_EQ(d.erase(key), it != model.end());
            if (it != model.end())
                model.erase(it);
        } else {
            d.set(key, step);
            if (it != model.end())
                it->second = step;
            else
                model.emplace_back(key, step);
        }
        const Value* found = d.find(key);
        it = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
        ASSERT_EQ(found != nullptr, it != model.end()) << step;
        if (found != nullptr) {
            ASSERT_EQ(found->intValue(), it->second);
        }
    }
    ASSERT_EQ(d.size(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(d.entryAt(i).first, model[i].first);
        EXPECT_EQ(d.find(model[i].first), &d.entryAt(i).second);
    }
}

TEST(DictionaryTest, ManyThreadsReadOneSharedDictionary) {
    Dictionary d;
    constexpr int kCount = 20000;
    for (int i = 0; i < kCount; ++i)
        d.set("k" + std::to_string(i), Array{i, "v"});
    const Value shared(std::move(d));
    std::vector<std::thread> readers;
    std::vector<int> misses(4, 0);
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            Value local = shared;  // copies share the payload across threads
            for (int i = t; i < kCount; i += 1) {
                const Value* v = local.find("k" + std::to_string(i));
                if (v == nullptr || v->at(0)->intValue() != i)
                    ++misses[t];
            }
            if (local.find("none") != nullptr)
                ++misses[t];
        });
    }
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(misses, std::vector<int>(4, 0));
}

TEST(SetTest, MembersAreDistinctByValueEqualityInFirstInsertionOrder) {
    Set s;
    EXPECT_TRUE(s.insert(1));
    EXPECT_FALSE(s.insert(1.0));
    EXPECT_FALSE(s.insert(true));
    EXPECT_TRUE(s.insert("1"));
    EXPECT_TRUE(s.insert(kNaN));
    EXPECT_FALSE(s.insert(kNaN));
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(s.values()[0].kind(), Kind::Int);
    EXPECT_TRUE(s.contains(Decimal::fromString("1")));
    EXPECT_TRUE(s.erase(1u));
    EXPECT_FALSE(s.contains(1));
    EXPECT_EQ(*s.begin()->asString(), "1");
    EXPECT_EQ(s, (Set{kNaN, "1"}));
}

TEST(SetTest, LargeSetsHashTheirMembers) {
    Set s;
    constexpr int kCount = 20000;
    for (int i = 0; i < kCount; ++i)
        EXPECT_TRUE(s.insert(i));
    for (int i = 0; i < kCount; ++i)
        EXPECT_FALSE(s.insert(static_cast<double>(i)));
    for (int i = 0; i < kCount; i += 20)
        EXPECT_TRUE(s.erase(i));
    EXPECT_EQ(s.size(), static_cast<std::size_t>(kCount - kCount / 20));
    for (int i = 0; i < kCount; ++i)
        EXPECT_FALSE(s.contains(std::to_string(i)));
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(s.contains(uint64_t(i)), i % 20 != 0) << i;
    EXPECT_EQ(s.values().front().intValue(), 1);
    EXPECT_EQ(s.values()[19].intValue(), 21);
}

TEST(SetTest, ReservedSetsKeepMembersDistinctAtEverySize) {
    // Room made before the members come, on an empty set, a small one and a
    // large one: equal values are still refused, members keep their first
    // insertion order, and the storage does not move while filling.
    for (std::size_t reserved : {std::size_t{0}, std::size_t{3}, std::size_t{9}, std::size_t{5000}}) {
        Set s;
        EXPECT_TRUE(s.insert("first"));
        s.reserve(reserved);
        const Value* storage = s.values().data();
        const int count = static_cast<int>(std::max<std::size_t>(reserved, 1)) - 1;
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(s.insert(i)) << reserved << " " << i;
        if (reserved > 1) {
            EXPECT_EQ(s.values().data(), storage) << reserved;
        }
        for (int i = 0; i < count; ++i)
            EXPECT_FALSE(s.insert(static_cast<double>(i))) << reserved << " " << i;
        EXPECT_FALSE(s.insert("first"));
        EXPECT_EQ(s.size(), static_cast<std::size_t>(count) + 1);
        EXPECT_EQ(*s.values().front().asString(), "first");
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(s.contains(i)) << reserved << " " << i;
        EXPECT_FALSE(s.contains(count));
        if (count > 0) {
            EXPECT_TRUE(s.erase(0));
            EXPECT_FALSE(s.contains(0));
            EXPECT_EQ(s.size(), static_cast<std::size_t>(count));
        }
        // Reserving less than the set holds changes nothing.
        s.reserve(1);
        EXPECT_TRUE(s.contains("first"));
        EXPECT_EQ(s.size(), count > 0 ? static_cast<std::size_t>(count) : 1u);
    }
}

TEST(ValueTest, MovedFromValuesAreNullAndAssignmentReleasesTheOldPayload) {
    Value text(std::string(40, 't'));
    const std::string* payload = text.asString();
    Value moved(std::move(text));
    EXPECT_EQ(moved.asString(), payload);
    EXPECT_TRUE(text.isNull());  // NOLINT(bugprone-use-after-move)
    Value assigned(Array{1});
    assigned = std::move(moved);
    EXPECT_EQ(assigned.asString(), payload);
    EXPECT_TRUE(moved.isNull());  // NOLINT(bugprone-use-after-move)
    Value& alias = assigned;
    assigned = alias;
    assigned = std::move(alias);
    EXPECT_EQ(assigned.asString(), payload);

    Value number(2.5f);
    Value object(std::make_shared<Tag>(3));
    number.swap(object);
    EXPECT_EQ(number.asObjectOf<Tag>()->description(), "<Tag 3>");
    EXPECT_EQ(object.numberType(), NumberType::Float);
    object = number;  // a scalar replaced by a shared payload, then the reverse
    number = Value(7);
    EXPECT_EQ(object, Value(std::make_shared<Tag>(3)));
    EXPECT_EQ(number.intValue(), 7);
}

// A builder's plain-step sharing and dropping keep the count as copies and
// destruction would, for payloads on the heap and in an arena alike.
TEST(ValueTest, UnpublishedSharingCountsAsCopyingDoes) {
    const std::string text(40, 's');
    for (bool inArena : {false, true}) {
        SCOPED_TRACE(inArena ? "arena" : "heap");
        plat::detail::Arena arena;
        Value original = inArena ? Value::stringIn(arena, text) : Value(text);
        Value shared = Value::shareUnpublished(original);
        EXPECT_EQ(shared.asString(), original.asString());
        const Value copy = shared;  // an ordinary copy on top
        shared.dropUnpublished();
        EXPECT_TRUE(shared.isNull());
        original.dropUnpublished();  // not the last holder: nothing is freed
        ASSERT_TRUE(copy.isString());
        EXPECT_EQ(*copy.asString(), text);
        Value last = Value::shareUnpublished(copy);
        Value(copy).swap(original);
        original.dropUnpublished();
        last.dropUnpublished();  // copy still holds it
        EXPECT_EQ(*copy.asString(), text);
    }
    Value scalar = Value::shareUnpublished(Value(2.5));
    EXPECT_EQ(scalar.doubleValue(), 2.5);
    scalar.dropUnpublished();
    EXPECT_TRUE(scalar.isNull());
}

// A value packed into a word and a tag keeps its kind, number type and
// payload: shared copies read the same payload, and releasing the packed
// form drops exactly its own reference (checked by the sanitizers). Values
// in an arena are not packable.
TEST(ValueTest, PackedValuesOfEveryKindShareAndReleaseTheirPayload) {
    plat::detail::Arena arena;
    auto tag = std::make_shared<Tag>(5);
    const std::vector<Value> values = {Value(),
                                       Value(true),
                                       Value(int16_t{-3}),
                                       Value(uint64_t{1} << 63),
                                       Value(1.5f),
                                       Value(-0.25),
                                       Value(Decimal::fromString("1.25")),
                                       Value(std::string(40, 'p')),
                                       Value(plat::Data(std::vector<uint8_t>{1, 2})),
                                       Value(plat::Date(12.5)),
                                       Value(Array{1, "two"}),
                                       Value(Dictionary{{"k", Value(1)}}),
                                       Value(Set{Value(1)}),
                                       Value(tag)};
    EXPECT_FALSE(Value::packable(Value::stringIn(arena, std::string(40, 'a'))));
    for (const Value& original : values) {
        SCOPED_TRACE(original.description());
        Value held = original;
        ASSERT_TRUE(Value::packable(held));
        uint64_t word = 0;
        const uint8_t packedTag = Value::pack(std::move(held), word);
        EXPECT_TRUE(held.isNull());  // NOLINT(bugprone-use-after-move)
        EXPECT_NE(packedTag & 0x0fu, Value::kPackedFreeKind);
        for (int i = 0; i < 2; ++i) {
            Value copy = Value::sharePacked(word, packedTag);
            EXPECT_EQ(copy, original);
            EXPECT_EQ(copy.kind(), original.kind());
            EXPECT_EQ(copy.numberType(), original.numberType());
            if (original.isString()) {
                EXPECT_EQ(copy.asString(), original.asString());
            }
        }
        Value::releasePacked(word, packedTag);
        EXPECT_FALSE(original.description().empty());  // still readable
    }
    EXPECT_EQ(tag.use_count(), 2);  // the list's and ours: every packed copy let go
}

TEST(ValueTest, CopiesMadeAndDroppedOnManyThreadsFreeThePayloadOnce) {
    // Run under the sanitizers: the last holder, on whichever thread, frees.
    for (int round = 0; round < 20; ++round) {
        auto original = std::make_unique<Value>(Dictionary{{"list", Array{"a", std::string(30, 'b')}}});
        std::vector<Value> starts(4, *original);
        original.reset();
        std::vector<std::thread> threads;
        for (Value& start : starts) {
            threads.emplace_back([held = std::move(start)]() mutable {
                for (int i = 0; i < 200; ++i) {
                    Value copy = held;
                    Value other = copy.find("list") != nullptr ? *copy.find("list") : Value();
                    EXPECT_EQ(other.count(), 2u);
                }
                held = Value();
            });
        }
        for (auto& t : threads)
            t.join();
    }
}

// What set() of each entry in turn gives, the reference for fromEntries.
Dictionary setInTurn(const std::vector<Dictionary::Entry>& entries) {
    Dictionary d;
    for (const auto& [key, value] : entries)
        d.set(key, value);
    return d;
}

TEST(DictionaryTest, FromEntriesKeepsFirstPlacesAndLastValuesOfRepeatedKeys) {
    Dictionary small = Dictionary::fromEntries({{"b", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"a", 5}});
    EXPECT_EQ(small.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(small.find("b")->intValue(), 3);
    EXPECT_EQ(small.find("a")->intValue(), 5);
    EXPECT_TRUE(Dictionary::fromEntries({}).empty());
    // Keys that differ only in the middle, and the empty key, are told apart.
    Dictionary close = Dictionary::fromEntries({{"abc", 1}, {"axc", 2}, {"", 3}, {"abc", 4}, {"", 5}});
    EXPECT_EQ(close.keys(), (std::vector<std::string>{"abc", "axc", ""}));
    EXPECT_EQ(close.find("")->intValue(), 5);

    std::mt19937 random(777);
    for (int round = 0; round < 300; ++round) {
        // Sizes on both sides of the indexed size; few or many repeats.
        const std::size_t count = random() % 40;
        const unsigned keySpace = 1 + random() % 30;
        std::vector<Dictionary::Entry> entries;
        for (std::size_t i = 0; i < count; ++i)
            entries.emplace_back("k" + std::to_string(random() % keySpace), Value(static_cast<int>(i)));
        const Dictionary expected = setInTurn(entries);
        Dictionary built = Dictionary::fromEntries(entries);
        ASSERT_EQ(built.keys(), expected.keys()) << round;
        for (const auto& [key, value] : expected)
            ASSERT_EQ(built.find(key)->intValue(), value.intValue()) << round << " " << key;
        EXPECT_EQ(built.find("absent"), nullptr);
        // The index stays usable for later changes.
        built.set("new", -1);
        EXPECT_EQ(built.entryAt(built.size() - 1).first, "new");
        if (!expected.empty()) {
            const std::string first = expected.entryAt(0).first;
            EXPECT_TRUE(built.erase(first));
            EXPECT_EQ(built.find(first), nullptr);
            EXPECT_EQ(built.find("new"), &built.entryAt(built.size() - 1).second);
        }
    }
}

TEST(DictionaryTest, EntriesKnownDistinctAreTakenAsTheyAreAndStayChangeable) {
    Dictionary small = Dictionary::fromEntries({{"b", 1}, {"a", 2}, {"c", 3}}, Dictionary::KeysAre::Distinct);
    EXPECT_EQ(small.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(small.find("a")->intValue(), 2);
    small.set("a", 5);
    small.set("d", 6);
    EXPECT_EQ(small.keys(), (std::vector<std::string>{"b", "a", "c", "d"}));
    EXPECT_EQ(small.find("a")->intValue(), 5);
    // Large maps are indexed whatever the builder says, repeats merged.
    Dictionary::Entries entries;
    for (int i = 0; i < 20; ++i)
        entries.emplace_back("k" + std::to_string(i % 15), Value(i));
    Dictionary large = Dictionary::fromEntries(std::move(entries), Dictionary::KeysAre::Distinct);
    ASSERT_EQ(large.size(), 15u);
    EXPECT_EQ(large.find("k3")->intValue(), 18);
    // Copies between small and indexed maps own their index.
    Dictionary copy = large;
    copy = small;
    EXPECT_EQ(copy, small);
    copy = large;
    large.erase("k3");
    EXPECT_EQ(copy.find("k3")->intValue(), 18);
    EXPECT_EQ(large.find("k3"), nullptr);
    EXPECT_EQ(large.find("k4")->intValue(), 19);
}

TEST(DictionaryTest, ReserveKeepsEntriesAndLookupsWhateverTheSize) {
    Dictionary d{{"a", 1}, {"b", 2}};
    d.reserve(100);  // indexes while still small
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(d.find("b")->intValue(), 2);
    for (int i = 0; i < 100; ++i)
        d.set("k" + std::to_string(i), i);
    d.reserve(3);  // below the size: nothing changes
    EXPECT_EQ(d.size(), 102u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(d.find("k" + std::to_string(i)), &d.entryAt(static_cast<std::size_t>(i) + 2).second);
    while (d.size() > 1)
        d.erase(d.entryAt(d.size() - 1).first);
    d.reserve(50);
    d.set("b", 3);
    d.set("a", 4);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(d.find("a")->intValue(), 4);
    EXPECT_EQ(Dictionary(d), d);
}

TEST(DictionaryTest, DictionaryFilledByMergesRepeatedKeysAtAnySize) {
    for (std::size_t count : {0u, 3u, 9u, 64u, 65u, 500u}) {
        std::vector<Dictionary::Entry> entries;
        for (std::size_t i = 0; i < count; ++i)
            entries.emplace_back("k" + std::to_string(i % 50), Value(static_cast<int>(i)));
        // The capacity is a hint: filling more or fewer entries is fine.
        for (std::size_t capacity : {count, count / 2, count + 7}) {
            const Value v = Value::dictionaryFilledBy(capacity, [&](Dictionary::Entries& out) {
                EXPECT_GE(out.capacity(), capacity);
                out.insert(out.end(), entries.begin(), entries.end());
            });
            ASSERT_TRUE(v.isDictionary());
            const Dictionary expected = setInTurn(entries);
            EXPECT_EQ(v.asDictionary()->keys(), expected.keys()) << count;
            EXPECT_EQ(*v.asDictionary(), expected) << count;
            const Value copy = v;  // NOLINT(performance-unnecessary-copy-initialization)
            EXPECT_EQ(copy.asDictionary(), v.asDictionary());
        }
    }
    // A failing fill leaves nothing behind (checked by the leak sanitizer).
    EXPECT_THROW(Value::dictionaryFilledBy(2,
                                           [](Dictionary::Entries& out) {
                                               out.emplace_back("a", Value(std::string(40, 'x')));
                                               throw std::runtime_error("stop");
                                           }),
                 std::runtime_error);
}

}  // namespace
