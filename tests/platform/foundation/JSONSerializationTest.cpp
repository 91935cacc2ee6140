#include "platform/foundation/JSONSerialization.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace plat {
namespace {

Value parse(std::string_view text, unsigned options = JSONReadingFragmentsAllowed) {
    auto r = JSONSerialization::JSONObjectWithString(text, options);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error()->description());
    return r.ok() ? *r : Value();
}

std::string write(const Value& v, unsigned options = 0) {
    auto r = JSONSerialization::stringWithJSONObject(v, options);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error()->description());
    return r.ok() ? *r : std::string();
}

std::string debugText(const ErrorPtr& e) {
    const Value* d = e ? e->userInfo().find(DebugDescriptionErrorKey) : nullptr;
    return d && d->isString() ? *d->asString() : "";
}

TEST(JSONSerializationTest, IntegersAreTypedByTheSmallestKindThatHoldsThemExactly) {
    Value max = parse("9223372036854775807");
    EXPECT_EQ(max.kind(), Value::Kind::Int);
    EXPECT_EQ(max.rawInt(), INT64_MAX);
    Value min = parse("-9223372036854775808");
    EXPECT_EQ(min.kind(), Value::Kind::Int);
    EXPECT_EQ(min.rawInt(), INT64_MIN);
    Value above = parse("9223372036854775808");
    EXPECT_EQ(above.kind(), Value::Kind::UInt);
    EXPECT_EQ(above.rawUInt(), 9223372036854775808ull);
    Value umax = parse("18446744073709551615");
    EXPECT_EQ(umax.kind(), Value::Kind::UInt);
    EXPECT_EQ(umax.rawUInt(), UINT64_MAX);

    Value big = parse("18446744073709551616");
    ASSERT_EQ(big.kind(), Value::Kind::Decimal);
    EXPECT_EQ(big.asDecimal()->toString(), "18446744073709551616");
    Value belowMin = parse("[-9223372036854775809, 123456789012345678901234567890]");
    EXPECT_EQ(belowMin.at(0)->asDecimal()->toString(), "-9223372036854775809");
    EXPECT_EQ(belowMin.at(1)->asDecimal()->toString(), "123456789012345678901234567890");
}

TEST(JSONSerializationTest, FractionsAndExponentsGiveDoublesAndOverflowIsAnError) {
    Value one = parse("1.0");
    EXPECT_EQ(one.kind(), Value::Kind::Double);
    EXPECT_EQ(one.rawDouble(), 1.0);
    EXPECT_EQ(parse("1e2").kind(), Value::Kind::Double);
    Value negZero = parse("-0.0");
    EXPECT_TRUE(std::signbit(negZero.rawDouble()));
    // "-0" has neither fraction nor exponent: it is the integer 0.
    EXPECT_EQ(parse("-0").kind(), Value::Kind::Int);
    EXPECT_EQ(parse("1e-400").rawDouble(), 0.0);
    EXPECT_EQ(parse("[4.9e-324]").at(0)->rawDouble(), 4.9e-324);
    EXPECT_EQ(parse("1.7976931348623157e308").rawDouble(), 1.7976931348623157e308);

    for (const char* text : {"[1e400]", "[-1e400]", "[1.8e308]"}) {
        auto r = JSONSerialization::JSONObjectWithString(std::string_view(text));
        ASSERT_FALSE(r.ok()) << text;
        EXPECT_EQ(r.error()->code(), 3840);
    }
}

TEST(JSONSerializationTest, LiteralsStringsAndContainersRead) {
    Value v =
        parse(R"({"b":true,"f":false,"n":null,"s":"x\"\\\/\b\f\n\r\t\u00e9\ud834\udd1e","a":[],"o":{}})");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_TRUE(v.find("b")->isBool());
    EXPECT_TRUE(v.find("b")->rawBool());
    EXPECT_FALSE(v.find("f")->rawBool());
    EXPECT_TRUE(v.find("n")->isNull());
    EXPECT_EQ(*v.find("s")->asString(), "x\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9D\x84\x9E");
    EXPECT_EQ(v.find("a")->count(), 0u);
    EXPECT_TRUE(v.find("o")->isDictionary());
    EXPECT_EQ(*parse(R"(["\u0000"])").at(0)->asString(), std::string(1, '\0'));
}

TEST(JSONSerializationTest, ObjectsKeepDocumentOrderAndTheLastDuplicateWins) {
    Value v = parse(R"({"z":1,"a":2,"m":3,"a":4})");
    const Dictionary& d = *v.asDictionary();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d.entryAt(0).first, "z");
    EXPECT_EQ(d.entryAt(1).first, "a");
    EXPECT_EQ(d.entryAt(2).first, "m");
    EXPECT_EQ(d.find("a")->rawInt(), 4);
}

// Objects of every size, keys repeated or merely alike (same length, same
// first, middle and last bytes), read as set() of each member in turn would
// build them, nested in arrays and objects.
TEST(JSONSerializationTest, ParsedObjectsMergeRepeatedKeysAsSetInTurnAtAnySize) {
    const std::vector<std::string> keys = {"",
                                           "a",
                                           "b",
                                           "ab",
                                           "ba",
                                           "aab",
                                           "abb",
                                           "axb",
                                           "ayb",
                                           "name",
                                           "nbme",
                                           "rank",
                                           "group",
                                           "x" + std::string(20, 'k') + "x",
                                           "x" + std::string(20, 'j') + "x",
                                           "\xC3\xA9t\xC3\xA9"};
    std::mt19937 random(4242);
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = random() % 20;
        const std::size_t keySpace = 1 + random() % keys.size();
        Dictionary expected;
        std::string text = "{";
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& key = keys[random() % keySpace];
            expected.set(key, Value(static_cast<int>(i)));
            text += (i ? ",\"" : "\"") + key + "\":" + std::to_string(i);
        }
        text += "}";
        // Padding past 4 KiB takes the reader's sharing of short strings too.
        const std::string document =
            "[" + text + ",{\"in\":" + text + "},\"" + std::string(4096, ' ') + "\"]";
        const Value v = parse(document);
        ASSERT_TRUE(v.isArray());
        for (const Value* object : {v.at(0), v.at(1)->find("in")}) {
            ASSERT_NE(object, nullptr);
            const Dictionary& d = *object->asDictionary();
            ASSERT_EQ(d.keys(), expected.keys()) << text;
            for (const auto& [key, value] : expected)
                ASSERT_EQ(d.find(key)->intValue(), value.intValue()) << text << " " << key;
        }
    }
}

struct RefusedText {
    const char* name;
    std::string text;
};

class JSONRefusalTest : public testing::TestWithParam<RefusedText> {};

TEST_P(JSONRefusalTest, StrictGrammarRefusesWithTheFormatError) {
    auto r = JSONSerialization::JSONObjectWithString(GetParam().text, JSONReadingFragmentsAllowed);
    ASSERT_FALSE(r.ok()) << GetParam().name;
    EXPECT_EQ(r.error()->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(r.error()->code(), 3840);
    EXPECT_EQ(r.error()->localizedDescription(),
              "The data couldn’t be read because it isn’t in the correct format.");
    EXPECT_FALSE(debugText(r.error()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rfc8259, JSONRefusalTest,
    testing::Values(RefusedText{"TrailingCommaArray", "[1,]"},
                    RefusedText{"TrailingCommaObject", R"({"a":1,})"}, RefusedText{"LeadingZero", "[01]"},
                    RefusedText{"BareFraction", "[.5]"}, RefusedText{"EmptyFraction", "[1.]"},
                    RefusedText{"EmptyExponent", "[1e]"}, RefusedText{"LoneMinus", "[-]"},
                    RefusedText{"ControlCharacter", "[\"a\x01\"]"}, RefusedText{"InvalidUTF8", "[\"\xff\"]"},
                    RefusedText{"Overlong", "[\"\xC0\xAF\"]"},
                    RefusedText{"EncodedSurrogate", "[\"\xED\xA0\x80\"]"},
                    RefusedText{"LoneHighSurrogate", R"(["\ud800"])"},
                    RefusedText{"HighThenLetter", R"(["\ud800\u0041"])"},
                    RefusedText{"LoneLowSurrogate", R"(["\udc00"])"}, RefusedText{"BadEscape", R"(["\x"])"},
                    RefusedText{"ShortUnicode", R"(["\u12"])"}, RefusedText{"Comment", "[1 /* c */]"},
                    RefusedText{"SingleQuotes", "['a']"}, RefusedText{"MissingComma", "[1 2]"},
                    RefusedText{"MissingColon", R"({"a" 1})"}, RefusedText{"UnquotedKey", "{a:1}"},
                    RefusedText{"TrailingGarbage", "[1] x"}, RefusedText{"ExtraBracket", "[]]"},
                    RefusedText{"Unclosed", "[1"}, RefusedText{"TruncatedLiteral", "[tru]"},
                    RefusedText{"CapitalLiteral", "[True]"}, RefusedText{"NaNWord", "[NaN]"},
                    RefusedText{"Infinity", "[Infinity]"}, RefusedText{"PlusSign", "[+1]"},
                    RefusedText{"VerticalTab", "[1]\v"}, RefusedText{"NulAfter", std::string("[1]\0", 4)},
                    RefusedText{"OnlySpace", "  "}, RefusedText{"Hex", "[0x10]"},
                    RefusedText{"TruncatedBigInteger", "[123456789012345678901234567890"}),
    [](const auto& info) { return info.param.name; });

TEST(JSONSerializationTest, ErrorsNameLineAndColumn) {
    auto r = JSONSerialization::JSONObjectWithString(std::string_view("{\n  \"a\": [1,\n   2,,3]\n}"));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(debugText(r.error()).find("line 3, column 6"), std::string::npos) << debugText(r.error());
    auto empty = JSONSerialization::JSONObjectWithData(Data());
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error()->code(), 3840);
}

// Text nested `depth` containers deep (arrays, or objects with key "k")
// around `inner`.
std::string nestedText(std::size_t depth, bool objects, const std::string& inner) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
        text += objects ? "{\"k\":" : "[";
    text += inner;
    for (std::size_t i = 0; i < depth; ++i)
        text += objects ? '}' : ']';
    return text;
}

TEST(JSONSerializationTest, NestingIsLimitedTo512ContainersWhateverTheyHold) {
    // Objects need something inside to nest further, so their innermost
    // container holds a value; "1e999"-free big integers take the slow path.
    for (bool objects : {false, true}) {
        for (const std::string inner :
             {"", "[]", "{}", "1", "\"s\"", "null", "123456789012345678901234567890"}) {
            if (objects && inner.empty())
                continue;
            const std::size_t extra = inner == "[]" || inner == "{}" ? 1 : 0;
            SCOPED_TRACE((objects ? "objects around " : "arrays around ") + inner);
            EXPECT_TRUE(
                JSONSerialization::JSONObjectWithString(nestedText(512 - extra, objects, inner)).ok());
            auto deep = JSONSerialization::JSONObjectWithString(nestedText(513 - extra, objects, inner));
            ASSERT_FALSE(deep.ok());
            EXPECT_EQ(deep.error()->code(), 3840);
            // The 513th container opens at this column.
            const std::size_t column = 512 * (objects ? 5 : 1) + 1;
            EXPECT_NE(debugText(deep.error()).find("line 1, column " + std::to_string(column)),
                      std::string::npos)
                << debugText(deep.error());
        }
    }
    // The slow path (taken for big numbers) has the same limit and no recursion trouble.
    EXPECT_FALSE(JSONSerialization::JSONObjectWithString(nestedText(100000, false, "1e999")).ok());
    EXPECT_FALSE(JSONSerialization::JSONObjectWithString(nestedText(600, true, "1")).ok());
}

TEST(JSONSerializationTest, TopLevelScalarsNeedTheFragmentsOption) {
    for (const char* text : {"42", "\"a\"", "null", "true"}) {
        auto strict = JSONSerialization::JSONObjectWithString(std::string_view(text));
        ASSERT_FALSE(strict.ok()) << text;
        EXPECT_EQ(strict.error()->code(), 3840);
        EXPECT_TRUE(
            JSONSerialization::JSONObjectWithString(std::string_view(text), JSONReadingFragmentsAllowed)
                .ok());
    }
    EXPECT_EQ(parse(" 42 ").rawInt(), 42);
    // The options the reader ignores change nothing.
    EXPECT_TRUE(JSONSerialization::JSONObjectWithString(
                    std::string_view("[1]"), JSONReadingJSON5Allowed | JSONReadingMutableContainers)
                    .ok());
}

TEST(JSONSerializationTest, ByteOrderMarkIsSkippedAndUTF16AndUTF32AreRecognised) {
    EXPECT_EQ(parse("\xEF\xBB\xBF[1]").at(0)->rawInt(), 1);
    std::string utf16le("[\0\"\0\xE9\0\"\0]\0", 10);
    EXPECT_EQ(*parse(utf16le).at(0)->asString(), "\xC3\xA9");
    std::string utf16be("\xFE\xFF\0[\0\x31\0]", 8);
    EXPECT_EQ(parse(utf16be).at(0)->rawInt(), 1);
    std::string utf32le("[\0\0\0\x32\0\0\0]\0\0\0", 12);
    EXPECT_EQ(parse(utf32le).at(0)->rawInt(), 2);
    EXPECT_FALSE(JSONSerialization::JSONObjectWithString(std::string_view("\xEF\xBB\xBF")).ok());
}

TEST(JSONSerializationTest, CompactTextHasNoWhitespaceAndEscapesAsThePlatformDoes) {
    Value v(Dictionary{{"a", Value(1)}, {"b", Value(Array{Value(true), Value()})}});
    EXPECT_EQ(write(v), R"({"a":1,"b":[true,null]})");
    EXPECT_EQ(write(Value(Array{Value("a/b\"c\\d\b\f\n\r\t\x01\x1f\x7f\xC3\xA9")})),
              "[\"a\\/b\\\"c\\\\d\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xC3\xA9\"]");
    EXPECT_EQ(write(Value(Array{Value("a/b")}), JSONWritingWithoutEscapingSlashes), R"(["a/b"])");
    EXPECT_EQ(write(Value(Array{})), "[]");
    EXPECT_EQ(write(Value(Dictionary{})), "{}");
    EXPECT_EQ(write(Value(Array{Value(std::string(1, '\0'))})), R"(["\u0000"])");
}

TEST(JSONSerializationTest, PrettyTextUsesTwoSpacesSpacedColonsAndThePlatformsEmptyContainers) {
    Value v(Dictionary{{"a", Value(1)},
                       {"b", Value(Array{Value(true)})},
                       {"c", Value(Array{})},
                       {"d", Value(Dictionary{})}});
    EXPECT_EQ(write(v, JSONWritingPrettyPrinted),
              "{\n  \"a\" : 1,\n  \"b\" : [\n    true\n  ],\n  \"c\" : [\n\n  ],\n  \"d\" : {\n\n  }\n}");
    EXPECT_EQ(write(Value(Array{}), JSONWritingPrettyPrinted), "[\n\n]");
    EXPECT_EQ(write(Value(Dictionary{}), JSONWritingPrettyPrinted), "{\n\n}");
    EXPECT_EQ(write(Value(Array{Value(Array{Value(Array{})})}), JSONWritingPrettyPrinted),
              "[\n  [\n    [\n\n    ]\n  ]\n]");
}

TEST(JSONSerializationTest, SortedKeysFollowUTF8ByteOrderElseInsertionOrder) {
    Value v(Dictionary{
        {"b", Value(1)}, {"\xC3\xA9", Value(2)}, {"B", Value(3)}, {"a", Value(4)}, {"", Value(5)}});
    EXPECT_EQ(write(v), "{\"b\":1,\"\xC3\xA9\":2,\"B\":3,\"a\":4,\"\":5}");
    EXPECT_EQ(write(v, JSONWritingSortedKeys), "{\"\":5,\"B\":3,\"a\":4,\"b\":1,\"\xC3\xA9\":2}");
    Value nested(Dictionary{{"z", Value(Dictionary{{"y", Value(1)}, {"x", Value(2)}})}, {"a", Value(0)}});
    EXPECT_EQ(write(nested, JSONWritingSortedKeys | JSONWritingPrettyPrinted),
              "{\n  \"a\" : 0,\n  \"z\" : {\n    \"x\" : 2,\n    \"y\" : 1\n  }\n}");
}

TEST(JSONSerializationTest, NumbersAreWrittenExactlyAndDoublesWithSeventeenDigits) {
    Array numbers{Value(true),      Value(false), Value(INT64_MIN), Value(UINT64_MAX),
                  Value(0.1),       Value(2.5),   Value(3.0),       Value(-0.0),
                  Value(1e21),      Value(1e-7),  Value(0.1f),      Value(Decimal::fromString("12.50")),
                  Value(int8_t(-5))};
    EXPECT_EQ(write(Value(numbers)),
              "[true,false,-9223372036854775808,18446744073709551615,0.10000000000000001,2.5,3,-0,1e+21,"
              "9.9999999999999995e-08,0.10000000149011612,12.5,-5]");
    // Every finite double reads back to itself.
    for (double d : {0.1, 1.0 / 3, 5e-324, 1.7976931348623157e308, -123456.789e-100}) {
        Value back = parse(write(Value(Array{Value(d)})));
        EXPECT_EQ(back.at(0)->rawDouble(), d);
    }
}

TEST(JSONSerializationTest, ValuesJSONCannotHoldAreRefusedWithAnError) {
    struct Case {
        Value value;
        const char* what;
    };
    const Case cases[] = {
        {Value(Array{Value(std::nan(""))}), "NaN"},
        {Value(Array{Value(HUGE_VAL)}), "infinite"},
        {Value(Array{Value(Decimal::notANumber())}), "NaN"},
        {Value(Array{Value(Data::fromString("x"))}), "Invalid type"},
        {Value(Array{Value(Date(0))}), "Invalid type"},
        {Value(Array{Value(Set{Value(1)})}), "Invalid type"},
        {Value(Array{Value(std::make_shared<Object>())}), "Invalid type"},
        {Value(Array{Value("\xff")}), "UTF-8"},
        {Value(Dictionary{{"\xC3", Value(1)}}), "UTF-8"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(JSONSerialization::isValidJSONObject(c.value)) << c.what;
        auto r = JSONSerialization::dataWithJSONObject(c.value);
        ASSERT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.error()->code(), 3851);
        EXPECT_NE(r.error()->localizedDescription().find(c.what), std::string::npos)
            << r.error()->localizedDescription();
    }
}

TEST(JSONSerializationTest, TopLevelScalarsAreWrittenOnlyAsFragmentsAndNeverCountAsValid) {
    auto refused = JSONSerialization::dataWithJSONObject(Value("a"));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error()->code(), 3851);
    EXPECT_EQ(write(Value("a/"), JSONWritingFragmentsAllowed), R"("a\/")");
    EXPECT_EQ(write(Value(7), JSONWritingFragmentsAllowed), "7");
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(Value(7)));
    EXPECT_TRUE(JSONSerialization::isValidJSONObject(Value(Array{Value(), Value(Dictionary{})})));
}

TEST(JSONSerializationTest, WritersNestAsDeepAsTheReaderAcceptsAndNoDeeper) {
    for (bool objects : {false, true}) {
        for (const Value& inner : {Value(1), Value("s"), Value(Array{})}) {
            const std::size_t containers = inner.isArray() ? 511 : 512;
            Value v = inner;
            for (std::size_t i = 0; i < containers; ++i)
                v = objects ? Value(Dictionary{{"k", v}}) : Value(Array{v});
            for (unsigned options : {0u, unsigned{JSONWritingPrettyPrinted}}) {
                EXPECT_TRUE(JSONSerialization::isValidJSONObject(v));
                auto text = JSONSerialization::dataWithJSONObject(v, options);
                ASSERT_TRUE(text.ok());
                auto back = JSONSerialization::JSONObjectWithData(*text);
                ASSERT_TRUE(back.ok()) << debugText(back.error());
                EXPECT_EQ(*back, v);
            }
            Value deeper = objects ? Value(Dictionary{{"k", v}}) : Value(Array{v});
            EXPECT_FALSE(JSONSerialization::isValidJSONObject(deeper));
            auto r = JSONSerialization::dataWithJSONObject(deeper);
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error()->code(), 3851);
        }
    }
}

TEST(JSONSerializationTest, EveryJSONKindRoundTrips) {
    Value v(Dictionary{{"s", Value("h\xC3\xA9llo / \"q\"")},
                       {"i", Value(INT64_MIN)},
                       {"u", Value(UINT64_MAX)},
                       {"d", Value(-1.5e-300)},
                       {"dec", Value(Decimal::fromString("123456789012345678901234567890"))},
                       {"b", Value(false)},
                       {"n", Value()},
                       {"a", Value(Array{Value(1), Value(Array{}), Value(Dictionary{})})}});
    for (unsigned options : {0u, unsigned(JSONWritingPrettyPrinted), unsigned(JSONWritingSortedKeys)}) {
        Value back = parse(write(v, options));
        EXPECT_EQ(back, v) << options;
        EXPECT_EQ(back.find("u")->kind(), Value::Kind::UInt);
        EXPECT_EQ(back.find("dec")->kind(), Value::Kind::Decimal);
        EXPECT_TRUE(back.find("b")->isBool());
    }
}

TEST(JSONSerializationTest, StreamsAndFilesCarryTheSameText) {
    testsupport::TempDir dir;
    Value v(Dictionary{{"k", Value(Array{Value(1), Value("two")})}});
    std::ostringstream out;
    auto written = JSONSerialization::writeJSONObject(v, out);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(*written, out.str().size());
    EXPECT_EQ(out.str(), R"({"k":[1,"two"]})");
    std::istringstream in(out.str());
    EXPECT_EQ(*JSONSerialization::JSONObjectWithStream(in), v);

    std::string path = (dir / "doc.json").string();
    ASSERT_EQ(JSONSerialization::writeJSONObjectToFile(v, path, JSONWritingPrettyPrinted), nullptr);
    auto read = JSONSerialization::JSONObjectWithContentsOfFile(path);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, v);
    auto missing = JSONSerialization::JSONObjectWithContentsOfFile((dir / "none.json").string());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error()->code(), 260);
    // A refused value leaves the stream untouched.
    std::ostringstream untouched;
    EXPECT_FALSE(JSONSerialization::writeJSONObject(Value(Array{Value(NAN)}), untouched).ok());
    EXPECT_TRUE(untouched.str().empty());
}

TEST(JSONSerializationTest, LargeDocumentsTakeTheSameTypesOnBothPaths) {
    // Over the size where a private parser is used, and once with a big
    // integer that sends the whole text through the slower reader.
    Array items;
    for (int i = 0; i < 50000; ++i)
        items.push_back(Value(Dictionary{{"i", Value(i)}, {"d", Value(i + 0.5)}, {"s", Value("x")}}));
    std::string text = write(Value(items));
    ASSERT_GT(text.size(), 1u << 20);
    Value fast = parse(text);
    std::string withBig = text.substr(0, text.size() - 1) + ",99999999999999999999999]";
    Value slow = parse(withBig);
    ASSERT_EQ(slow.count(), fast.count() + 1);
    EXPECT_EQ(*slow.at(123)->find("d"), *fast.at(123)->find("d"));
    EXPECT_EQ(slow.at(123)->find("i")->kind(), Value::Kind::Int);
    EXPECT_EQ(slow.at(50000)->kind(), Value::Kind::Decimal);
}

// The reader reads values inside containers of texts dense in numbers
// itself, and hands the rest (a scalar at the top, texts of other shapes,
// anything it is unsure of) to simdjson's reader: both must give the same
// kinds and the same bits. Each text is read alone, in containers padded
// with numbers, and with all the others in one array.
void expectSameInsideAsAlone(const std::vector<std::string>& texts) {
    auto same = [](const Value& a, const Value& b) {
        if (a.kind() != b.kind())
            return false;
        switch (a.kind()) {
            case Value::Kind::Double:
                return std::bit_cast<uint64_t>(a.rawDouble()) == std::bit_cast<uint64_t>(b.rawDouble());
            case Value::Kind::Int:
                return a.rawInt() == b.rawInt();
            case Value::Kind::UInt:
                return a.rawUInt() == b.rawUInt();
            case Value::Kind::Decimal:
                return a.asDecimal()->toString() == b.asDecimal()->toString();
            default:
                return a == b;
        }
    };
    std::string all = "[";
    std::vector<Value> alone;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        auto single = JSONSerialization::JSONObjectWithString(text, JSONReadingFragmentsAllowed);
        auto wrapped = JSONSerialization::JSONObjectWithString("[" + text + ",0,0,0]");
        auto keyed = JSONSerialization::JSONObjectWithString("{\"k\" : " + text + " ,\"n\":[1,2,3,4,5,6]}");
        ASSERT_EQ(single.ok(), wrapped.ok());
        ASSERT_EQ(single.ok(), keyed.ok());
        if (!single.ok())
            continue;
        EXPECT_TRUE(same(*single, *wrapped->at(0)));
        EXPECT_TRUE(same(*single, *keyed->find("k")));
        all += (alone.empty() ? "" : ",\n") + text + ",0,-1";
        alone.push_back(*single);
    }
    const Value inside = parse(all + "]");
    ASSERT_EQ(inside.count(), 3 * alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i)
        EXPECT_TRUE(same(*inside.at(3 * i), alone[i])) << i;
}

TEST(JSONSerializationTest, NumbersReadTheSameInsideContainersAsAlone) {
    std::vector<std::string> texts = {
        // Integers at the edges of int64 and uint64, and past them.
        "0", "-0", "7", "-7", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
        "-9223372036854775809", "18446744073709551615", "18446744073709551616", "99999999999999999999",
        "1234567890123456789", "-1234567890123456789", "12345678901234567890", "00", "-", "01", "1x",
        // Zeros, exponents, fractions.
        "0.0", "-0.0", "0e0", "-0e5", "0.0e-999", "1e0", "1E+2", "1e-2", "2.5E-3", "1e22", "1e23", "1e-22",
        "1e-23", "123456789e-5", "1.", ".5", "1e", "1e+", "-.5", "1.5e308", "1e400", "-1e400", "1e-400",
        // Denormals, the largest double, seventeen-digit doubles and ties.
        "4.9406564584124654e-324", "5e-324", "2.2250738585072009e-308", "2.2250738585072014e-308",
        "1.7976931348623157e308", "0.30000000000000004", "9007199254740993.0", "9007199254740992.0",
        "1.00000000000000011102230246251565404236316680908203125", "123.456789", "-179.999999",
        "3.14159265358979323846264338327950288", "0.000000000000000000000000000001",
        "100000000000000000000000000000000000000000000.0",
        // Up to seven digits either side of the point and one more, then
        // an exponent or a fault.
        "1234567.1234567", "12345678.1234567", "1234567.12345678", "0.5", "-0.5", "00.5", "01.5", "1.5e3",
        "1.5E-3", "1.5x", "1.5.5", "1..5", "-.5", "1.-5", "0.0000000", "-0.0000000", "9.9999999"};
    std::mt19937_64 random(13);
    for (int i = 0; i < 3000; ++i) {
        char buffer[64];
        const uint64_t bits = random();
        const double any = std::bit_cast<double>(bits);
        if (std::isfinite(any))
            texts.emplace_back(
                buffer,
                std::to_chars(buffer, buffer + sizeof buffer, any, std::chars_format::general, 17).ptr);
        const double coordinate = std::uniform_real_distribution<double>(-180, 180)(random);
        std::snprintf(buffer, sizeof buffer, "%.*f", static_cast<int>(i % 12), coordinate);
        texts.emplace_back(buffer);
        texts.push_back(std::to_string(static_cast<int64_t>(bits) >> (i % 64)));
        texts.push_back(std::to_string(bits >> (i % 64)));
    }
    expectSameInsideAsAlone(texts);
}

// Every double read is the one nearest its decimal text (ties to even), as
// glibc's strtod gives it, whichever reader takes the text: alone (a scalar
// at the top), and inside an array dense in numbers (read by the builder's
// own number reader).
void expectNearestDoubles(const std::vector<std::string>& texts) {
    std::string all = "[";
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const double expected = std::strtod(text.c_str(), nullptr);
        const Value alone = parse(text);
        ASSERT_EQ(alone.kind(), Value::Kind::Double);
        EXPECT_EQ(std::bit_cast<uint64_t>(alone.rawDouble()), std::bit_cast<uint64_t>(expected));
        all += (all.size() > 1 ? "," : "") + text + ",1.5";
    }
    const Value inside = parse(all + "]");
    ASSERT_EQ(inside.count(), 2 * texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const double expected = std::strtod(texts[i].c_str(), nullptr);
        const Value* read = inside.at(2 * i);
        ASSERT_EQ(read->kind(), Value::Kind::Double) << texts[i];
        EXPECT_EQ(std::bit_cast<uint64_t>(read->rawDouble()), std::bit_cast<uint64_t>(expected)) << texts[i];
    }
}

TEST(JSONSerializationTest, DoublesAreRoundedToTheNearestAtTheEdgesOfEachWayOfReadingThem) {
    expectNearestDoubles({
        // Halfway between two doubles, and just either side of halfway.
        "9007199254740993.0",
        "9007199254740993.00000000001",
        "9007199254740992.99999999999",
        "9007199254740995.0",
        "9007199254740994.99999",
        "1.00000000000000011102230246251565404236316680908203125",
        "1.00000000000000011102230246251565404236316680908203124",
        "1.00000000000000011102230246251565404236316680908203126",
        "7.2057594037927933e16",
        "7.2057594037927932e16",
        "7.2057594037927934e16",
        "4.5035996273704985e15",
        "4.5035996273704995e15",
        // Nineteen and twenty significant digits, around 2^53 and 2^64.
        "1844674407370955161.5",
        "18446744073709551615.0",
        "18446744073709551616.0",
        "1.8446744073709551615e19",
        "9999999999999999999.0",
        "0.9999999999999999999",
        "9999999999999999999e-27",
        "1234567890123456789e-10",
        "12345678901234567890e-10",
        "0.1234567890123456789",
        "0.12345678901234567891",
        // Exponents around the exact powers of ten and the wide table.
        "1e22",
        "1e23",
        "1e-22",
        "1e-23",
        "9007199254740991e22",
        "9007199254740991e-22",
        "9007199254740993e-22",
        "123456789e27",
        "123456789e-27",
        "123456789e28",
        "123456789e-28",
        "5e-27",
        "5e27",
        "3.0e-27",
        "0.30000000000000004",
        "0.1",
        "0.2",
        "0.3",
        "2.5e-5",
        "17976931348623157e292",
        // Near the largest double and the smallest normal and subnormal ones.
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "1.797693134862315708e308",
        "2.2250738585072011e-308",
        "2.2250738585072012e-308",
        "2.2250738585072014e-308",
        "2.2250738585072009e-308",
        "4.9406564584124654e-324",
        "2.4703282292062328e-324",
        "5e-324",
        "1e-320",
        // Up to seven digits either side of the point, and one more.
        "1234567.1234567",
        "12345678.1234567",
        "1234567.12345678",
        "9999999.9999999",
        "-9999999.9999999",
        "0.1234567",
        "-0.0000001",
        "0.00000001",
        "7.5",
        "-7.5",
        "1.0000001",
        "4503599.6270496755",
        // Zeros.
        "0.0",
        "-0.0",
        "0e10",
        "-0e-10",
        "0.000000000000000000000000000000",
        "-0.0e308",
        // Very long significands whose last digits decide the rounding.
        "2."
        "2250738585072013830902327173324040642192159804623318305533274168872044348139181958542831590125110205"
        "6406733973103581100515243416155346010885601238537771882113077799353200233047961014744258363607192156"
        "5046942503734208375250806650616658158948720491179968591639648500635908770118304874799780887753749949"
        "4515804516050509153998565824708186451135379358049921159810857660519924333521143523901487956996095912"
        "8889160299264151106346631339366347758651302937176204732563178148566435087212282863764204484681140761"
        "3911477062801689853244110024161447421618567166150540154285084716752901903161322778896729707373123334"
        "0869889831750678388469260927739779728586596549410913690954061364675687023986783152906809846172109246"
        "2539672851562501e-308",
        "1."
        "7976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863276687817"
        "1540458953514382464234321326889464182768467546703537516986049910576551282076245490090389328944075868"
        "5084551339423045832369032229481658085593321233482747978262041447231687381771809192998812504040261841"
        "2485836799e308",
        "0.100000000000000005551115123125782702118158340454101562499999999999",
        "0.1000000000000000055511151231257827021181583404541015625",
        "0.100000000000000005551115123125782702118158340454101562500000000001",
    });
}

TEST(JSONSerializationTest, RandomDecimalsAreRoundedToTheNearestDouble) {
    // Significands of 1 to 25 digits (the fast readers stop at 19), with
    // the point anywhere or an exponent, over the whole range of doubles
    // and most densely near where the readers change their method.
    std::mt19937_64 random(29);
    std::vector<std::string> texts;
    for (int i = 0; i < 20000; ++i) {
        const int digits = 1 + static_cast<int>(random() % 25);
        std::string significand;
        for (int d = 0; d < digits; ++d)
            significand += static_cast<char>('0' + (d == 0 ? 1 + random() % 9 : random() % 10));
        if (random() % 4 == 0) {
            // Runs of nines or zeros, which carry or stop just at a digit
            // that decides the rounding.
            const std::size_t from = 1 + random() % significand.size();
            std::fill(significand.begin() + from, significand.end(), random() % 2 ? '9' : '0');
        }
        std::string text = random() % 2 ? "-" : "";
        if (random() % 2) {
            const std::size_t point = 1 + random() % significand.size();
            text += significand.substr(0, point);
            text += "." + (point < significand.size() ? significand.substr(point) : std::string("0"));
        } else {
            // Up to the largest double (larger ones are refused).
            const int wide = std::min(static_cast<int>(random() % 650) - 340, 308 - digits);
            const int near = static_cast<int>(random() % 70) - 35;
            text += significand + "e" + std::to_string(random() % 3 ? near : wide);
        }
        texts.push_back(text);
    }
    expectNearestDoubles(texts);
}

TEST(JSONSerializationTest, StringsAndLiteralsReadTheSameInsideContainersAsAlone) {
    std::vector<std::string> texts = {"true",
                                      "false",
                                      "null",
                                      "tru",
                                      "nul",
                                      "falsey",
                                      "\"\"",
                                      R"("\"")",
                                      R"("\\")",
                                      R"("a\/b")",
                                      R"("\u00e9\u65e5")",
                                      R"("\ud83d\ude00")",
                                      R"("\ud83d")",
                                      R"("\ude00x")",
                                      R"("\x")",
                                      R"("\u12")",
                                      "\"\xC3\xA9\xE6\x97\xA5\"",
                                      R"("tab\there")"};
    // A quote or an escape at every place around the eight-byte steps.
    for (std::size_t length = 0; length < 48; ++length) {
        for (std::size_t at = 0; at <= length; at += 3) {
            std::string plain(length, 'a');
            texts.push_back("\"" + plain + "\"");
            texts.push_back("\"" + plain.substr(0, at) + "\\n" + plain.substr(at) + "\"");
            texts.push_back("\"" + plain.substr(0, at) + "\\\"" + plain.substr(at) + "\"");
            texts.push_back("\"" + plain.substr(0, at) + "\xC3\xA9" + plain.substr(at) + "\"");
        }
    }
    expectSameInsideAsAlone(texts);
}

TEST(JSONSerializationTest, KeysReadTheSameWithEscapesAsWithout) {
    // With numbers enough for the reader's own builder.
    const Value v =
        parse(R"({"a\"b":1,"\u00e9":2,"plain":3,"a\\b":4,"k\/":5,"0123456789abcdef0123456789abcdef_":6,)"
              R"("a_longer_key":7,"n":[1,2,3,4,5,6,7,8,9]})");
    ASSERT_EQ(v.count(), 8u);
    EXPECT_EQ(v.find("a_longer_key")->rawInt(), 7);
    EXPECT_EQ(v.find("a\"b")->rawInt(), 1);
    EXPECT_EQ(v.find("\xC3\xA9")->rawInt(), 2);
    EXPECT_EQ(v.find("plain")->rawInt(), 3);
    EXPECT_EQ(v.find("a\\b")->rawInt(), 4);
    EXPECT_EQ(v.find("k/")->rawInt(), 5);
    EXPECT_EQ(v.find("0123456789abcdef0123456789abcdef_")->rawInt(), 6);
    for (const char* bad : {R"({"a":1 "b":2})",
                            R"({"a" 1})",
                            R"({"a":})",
                            R"({1:2})",
                            R"([1,])",
                            R"([,1])",
                            R"([1 2])",
                            R"({"a":1,})",
                            R"([1}])",
                            R"({"a":[1}})",
                            R"([1]])",
                            R"([[1])",
                            R"([1] [2])",
                            R"({"a":1}x)",
                            R"(["\q"])",
                            R"({"\q":1})",
                            "[[[[[[[[[[[[[[[[",
                            "[1,[2,[3,[4,[5,[6,[7,[8,[",
                            "[1,2,3]]]]]]]]]]]]]",
                            "[\"a\x01b\"]",
                            "[\"a\nb\"]",
                            "[\"\xC3\"]",
                            "[1.5e]",
                            "[1e5.5]",
                            "[- 1]",
                            "[+1]",
                            "[0x10]",
                            "[NaN]",
                            "[Infinity]",
                            "[truex]",
                            "[nulll]",
                            "[1,,2]"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(JSONSerialization::JSONObjectWithString(std::string_view(bad)).ok());
        EXPECT_FALSE(JSONSerialization::JSONObjectWithString("[0,1,2,3,4,5," + std::string(bad) + "]").ok());
    }
}

// Keys of every length around the longest a string holds inside itself, some
// spelled with escapes, in objects of strings (read through simdjson's tape)
// small and large: each key reads back with its exact bytes and length, and
// keys that differ only past a short key's end stay apart.
TEST(JSONSerializationTest, KeysOfEveryShortLengthKeepTheirExactBytes) {
    for (std::size_t size : {std::size_t{4}, std::size_t{40}}) {
        std::vector<std::string> keys;
        std::string text = "{";
        for (std::size_t i = 0; i < size; ++i) {
            std::string key(i % 21, static_cast<char>('a' + i % 26));
            std::string spelled = key;
            if (i % 3 == 1 && !key.empty()) {
                key.back() = '/';
                spelled.back() = '\\';
                spelled += '/';
            }
            if (i % 4 == 2) {
                key += "\xC3\xA9";
                spelled += "\\u00e9";
            }
            keys.push_back(key);
            text += (i ? "," : "") + ('"' + spelled + "\":\"v" + std::to_string(i) + '"');
        }
        // A key is the last string of the text.
        text += ",\"\":\"last\",\"z\":[]}";
        SCOPED_TRACE(text);
        const Value v = parse(text);
        const Dictionary& d = *v.asDictionary();
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const Value* found = d.find(keys[i]);
            ASSERT_NE(found, nullptr) << keys[i];
            // The empty key repeats at the end, and the last value wins.
            if (!keys[i].empty()) {
                EXPECT_EQ(d.entryAt(distinct).first, keys[i]);
                EXPECT_EQ(d.entryAt(distinct).first.size(), keys[i].size());
                EXPECT_EQ(*found->asString(), "v" + std::to_string(i));
            } else {
                EXPECT_EQ(*found->asString(), "last");
            }
            distinct += keys[i].empty() ? (distinct == 0 ? 1 : 0) : 1;
            EXPECT_EQ(d.find(keys[i] + "x"), nullptr);
        }
        EXPECT_EQ(d.size(), distinct + 1);
        EXPECT_EQ(d.entryAt(distinct).first, "z");
    }
}

// Repeated short strings of a document share one payload; a repeated key
// lets go of its first value, which later copies of that string then do not
// share. The strings read back, and destroying the documents frees every
// arena chunk, on both of the reader's builders.
TEST(JSONSerializationTest, StringsLetGoByRepeatedKeysAreNotSharedAfterwards) {
    const std::size_t chunksBefore = detail::Arena::liveChunks();
    for (const std::string& padding : {std::string(",0,1,2,3,4,5,6,7"), std::string(R"(,"a","b","c")")}) {
        SCOPED_TRACE(padding);
        std::string text = "[";
        for (int i = 0; i < 400; ++i)
            text += (i ? "," : "") + std::string(R"({"k":"dup","k":"other"},"dup")") + padding;
        text += "]";
        ASSERT_GT(text.size(), 4096u);
        {
            const Value v = parse(text);
            const std::size_t stride = padding.starts_with(",0") ? 10 : 5;
            ASSERT_EQ(v.count(), 400 * stride);
            for (std::size_t i = 0; i < v.count(); i += stride) {
                EXPECT_EQ(*v.at(i)->find("k")->asString(), "other");
                EXPECT_EQ(*v.at(i + 1)->asString(), "dup");
            }
        }
        EXPECT_EQ(detail::Arena::liveChunks(), chunksBefore);
    }
}

// A text is parsed in place when the bytes after it lie in its last page,
// and copied otherwise: a text that ends just before an unreadable page reads
// without touching it, and neither the place of its end nor what follows it
// (bytes that would change a number, a literal or a string) changes a result.
TEST(JSONSerializationTest, WhereATextEndsAndWhatFollowsItChangeNothing) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* memory = static_cast<char*>(mapped);
    ASSERT_EQ(mprotect(memory + page, page, PROT_NONE), 0);  // a guard page after the first
    const std::string texts[] = {"12", "-0.25", "true", R"("abc")", R"([1.5,"x",null])", R"({"k":[-7,1e3]})"};
    for (const std::string& text : texts) {
        const Value expected = parse(std::string(text));
        for (char filler : {'9', '"', 'e', ' '}) {
            for (std::size_t lastByte : {page - 1, page - 64, page - 65, page - 66, std::size_t{100}}) {
                SCOPED_TRACE(text + " ending at " + std::to_string(lastByte) + " before '" + filler + "'");
                std::memset(memory, filler, page);
                char* start = memory + lastByte + 1 - text.size();
                std::memcpy(start, text.data(), text.size());
                EXPECT_EQ(parse(std::string_view(start, text.size())), expected);
            }
        }
    }
    munmap(mapped, 2 * page);
}

// Texts of every size the reader keeps a parser for (one per thread for small
// texts, one shared for mid-sized ones, a private one beyond), read by several
// threads at once, so that some find the shared parser busy.
TEST(JSONSerializationTest, ParsersOfEverySizeServeConcurrentReaders) {
    std::vector<std::string> texts;
    for (int count : {10, 1000, 50000}) {
        Array items;
        for (int i = 0; i < count; ++i)
            items.push_back(Value(Array{Value(i), Value(std::string(80, 'a' + i % 26))}));
        texts.push_back(write(Value(items)));
    }
    ASSERT_GT(texts[1].size(), 64u << 10);
    ASSERT_GT(texts[2].size(), 4u << 20);
    std::vector<std::thread> readers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            for (int round = 0; round < 2; ++round) {
                for (std::size_t k = 0; k < texts.size(); ++k) {
                    const std::string& text = texts[(k + t) % texts.size()];
                    auto value = JSONSerialization::JSONObjectWithString(text);
                    if (!value.ok() || write(*value) != text)
                        ++mismatches;
                }
            }
        });
    }
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Doubles are written as "%.17g" gives them: the writer's shortcut for common
// magnitudes must agree digit for digit with the general conversion, at the
// edges of its range, around powers of ten, on exact ties and at random.
TEST(JSONSerializationTest, DoublesWrittenAsSeventeenSignificantDigits) {
    auto expected = [](double d) {
        char buffer[40];
        return std::string(
            buffer, std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::general, 17).ptr);
    };
    auto written = [](double d) {
        return JSONSerialization::stringWithJSONObject(Value(d), JSONWritingFragmentsAllowed).value();
    };
    std::vector<double> values = {0.1,
                                  0.5,
                                  1.0,
                                  -2.5,
                                  1e-4,
                                  9.9999999999999e-5,
                                  0.00010000000000000001,
                                  1e15,
                                  9999999999999998.0,
                                  1e16,
                                  1234567890123456.75,
                                  4503599627370497.5,
                                  123.456789,
                                  -179.999999,
                                  89.123456,
                                  0.3,
                                  2.0 / 3.0,
                                  1e-5,
                                  1e17,
                                  5e-324,
                                  std::numeric_limits<double>::max(),
                                  0.0,
                                  -0.0,
                                  100.0,
                                  0.001,
                                  999.9999999999999};
    for (int exponent = -6; exponent <= 17; ++exponent) {
        const double power = std::pow(10.0, exponent);
        values.insert(values.end(),
                      {power, std::nextafter(power, 0.0), std::nextafter(power, 1e300), -power});
    }
    std::mt19937_64 random(5);
    for (int i = 0; i < 100000; ++i) {
        std::uniform_real_distribution<double> exponent(-5, 17);
        values.push_back(std::pow(10.0, exponent(random)) * (i % 2 ? 1 : -1));
        uint64_t bits = random();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        if (std::isfinite(any))
            values.push_back(any);
    }
    for (double d : values)
        ASSERT_EQ(written(d), expected(d)) << d;
}

// A string escaped byte by byte, the reference for the writer.
std::string escapedByByte(std::string_view s, bool escapeSlash) {
    std::string out = "\"";
    for (const char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\x01':
                out += "\\u0001";
                break;
            case '/':
                out += escapeSlash ? "\\/" : "/";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// Every length around the writer's 16-byte blocks, with the bytes that need
// escapes, non-ASCII text and broken UTF-8 at every place.
TEST(JSONSerializationTest, StringsAreEscapedAndCheckedAtEveryPlaceAndLength) {
    const std::vector<std::string> specials = {"\"",   "\\", "\n",       "\t",
                                               "\x01", "/",  "\xC3\xA9", "\xE6\x97\xA5"};
    for (std::size_t length = 0; length <= 50; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const std::string& special : specials) {
                std::string s(length, 'a');
                s.insert(at, special);
                if (at + 20 < s.size())
                    s.insert(at + 20, special);  // a second one further on
                for (const bool escapeSlash : {true, false}) {
                    const unsigned options =
                        JSONWritingFragmentsAllowed | (escapeSlash ? 0u : JSONWritingWithoutEscapingSlashes);
                    ASSERT_EQ(write(Value(s), options), escapedByByte(s, escapeSlash))
                        << length << " " << at << " " << special;
                }
            }
            std::string broken(length, 'a');
            broken.insert(at, "\xC3");  // a lead byte without its continuation
            auto refused = JSONSerialization::stringWithJSONObject(Value(Array{Value(broken)}));
            ASSERT_FALSE(refused.ok()) << length << " " << at;
            std::string brokenKey = broken;
            auto refusedKey =
                JSONSerialization::stringWithJSONObject(Value(Dictionary{{brokenKey, Value(1)}}));
            ASSERT_FALSE(refusedKey.ok()) << length << " " << at;
        }
    }
}

// Strings are checked for UTF-8 in one pass after writing: a broken string
// among good non-ASCII ones, a sequence split across two strings, and the
// first fault (a broken string or a NaN) is still the one reported.
TEST(JSONSerializationTest, StringsCheckedTogetherStillReportTheFirstFault) {
    auto description = [](const Value& v) {
        auto r = JSONSerialization::stringWithJSONObject(v);
        return r.ok() ? std::string("ok") : r.error()->localizedDescription();
    };
    const Value good("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC and more than sixteen bytes");
    const Value broken("abc\xC3");
    const Value nan(std::nan(""));
    EXPECT_EQ(description(Value(Array{good, good, good})), "ok");
    const std::string notUTF8 = description(Value(Array{good, broken, good}));
    EXPECT_NE(notUTF8.find("not UTF-8"), std::string::npos) << notUTF8;
    EXPECT_EQ(description(Value(Array{Value("x\xC3"), Value("\xA9y")})), notUTF8);
    EXPECT_EQ(description(Value(Array{good, broken, nan})), notUTF8);
    const std::string isNaN = description(Value(Array{good, nan, broken}));
    EXPECT_NE(isNaN.find("NaN"), std::string::npos) << isNaN;
    EXPECT_EQ(description(Value(Dictionary{{"k\xFF", Value(1)}})), notUTF8);
}

// Every ASCII byte in every lane of the writer's last, partial block.
TEST(JSONSerializationTest, EveryASCIIByteIsEscapedInTheLastBlock) {
    for (int c = 0; c < 0x80; ++c) {
        std::string expected;
        switch (c) {
            case '"':
                expected = "\\\"";
                break;
            case '\\':
                expected = "\\\\";
                break;
            case '/':
                expected = "\\/";
                break;
            case '\b':
                expected = "\\b";
                break;
            case '\f':
                expected = "\\f";
                break;
            case '\n':
                expected = "\\n";
                break;
            case '\r':
                expected = "\\r";
                break;
            case '\t':
                expected = "\\t";
                break;
            default:
                if (c < 0x20) {
                    char unit[8];
                    std::snprintf(unit, sizeof unit, "\\u%04x", c);
                    expected = unit;
                } else {
                    expected = std::string(1, static_cast<char>(c));
                }
        }
        for (std::size_t at = 0; at < 40; ++at) {
            std::string s(40, 'a');
            s[at] = static_cast<char>(c);
            const std::string want = "\"" + s.substr(0, at) + expected + s.substr(at + 1) + "\"";
            ASSERT_EQ(write(Value(s), JSONWritingFragmentsAllowed), want) << c << " " << at;
        }
    }
}

}  // namespace
}  // namespace plat
