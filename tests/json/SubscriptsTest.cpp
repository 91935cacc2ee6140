#include <gtest/gtest.h>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::compact;
using jsontest::parse;

const char* const kDoc = R"({"a":5,"arr":[1,2,3],"d":{"b":"x","inner":{"n":1}},"list":[{"k":[10,20]}]})";

struct ReadCase {
    JSONPath path;
    Type type;
    std::optional<JSONValueError> error;
    std::string text;  // compact text of the result when it has no error
};

class SubscriptReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(SubscriptReadTest, ChainsCarryTheFirstError) {
    const ReadCase& c = GetParam();
    JSON result = parse(kDoc)[c.path];
    EXPECT_EQ(result.type(), c.type);
    EXPECT_EQ(result.error(), c.error);
    if (!c.error) {
        EXPECT_EQ(compact(result), c.text);
    }
    // The step-by-step chain gives the same answer as the path.
    JSON stepwise = parse(kDoc);
    for (const JSONKey& step : c.path)
        stepwise = stepwise[step];
    EXPECT_EQ(stepwise.error(), c.error);
    EXPECT_EQ(stepwise.type(), c.type);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SubscriptReadTest,
    ::testing::Values(ReadCase{{0}, Type::Null, JSONValueError::WrongType, ""},
                      ReadCase{{"arr", "a"}, Type::Null, JSONValueError::WrongType, ""},
                      ReadCase{{"arr", 3}, Type::Null, JSONValueError::IndexOutOfBounds, ""},
                      ReadCase{{"arr", -1}, Type::Null, JSONValueError::IndexOutOfBounds, ""},
                      ReadCase{{"missing", "b"}, Type::Null, JSONValueError::NotExist, ""},
                      ReadCase{{"missing", 0, "x"}, Type::Null, JSONValueError::NotExist, ""},
                      ReadCase{{"arr", 9, "x", 1}, Type::Null, JSONValueError::IndexOutOfBounds, ""},
                      ReadCase{{"a", 0}, Type::Null, JSONValueError::WrongType, ""},
                      ReadCase{{"a", "b"}, Type::Null, JSONValueError::WrongType, ""},
                      ReadCase{{"d", "b"}, Type::String, std::nullopt, "x"},
                      ReadCase{{"d", "inner", "n"}, Type::Number, std::nullopt, "1"},
                      ReadCase{{"list", 0, "k", 1}, Type::Number, std::nullopt, "20"},
                      ReadCase{{"arr", 1}, Type::Number, std::nullopt, "2"},
                      ReadCase{{}, Type::Dictionary, std::nullopt, compact(parse(kDoc))}));

TEST(SubscriptsTest, ReadFormsAgree) {
    JSON doc = parse(kDoc);
    EXPECT_EQ(doc("list", 0, "k", 0).integerValue(), 10);
    EXPECT_EQ((doc[{"list", 0, "k", 0}].integerValue()), 10);
    EXPECT_EQ(doc["d"]["inner"]["n"].integerValue(), 1);
    EXPECT_EQ(doc[std::string("a")].integerValue(), 5);
    EXPECT_EQ(doc["arr"][uint64_t{2}].integerValue(), 3);
    EXPECT_EQ(doc["arr"][UINT64_MAX].error(), JSONValueError::IndexOutOfBounds);
}

TEST(SubscriptsTest, KeysAreFoundInSmallAndLargeMaps) {
    JSON small = JSON::dictionaryLiteral({{"ab", 1}, {"ac", 2}, {"", 3}, {"a", 4}});
    EXPECT_EQ(small["ac"].integerValue(), 2);
    EXPECT_EQ(small[""].integerValue(), 3);
    EXPECT_EQ(small["a"].integerValue(), 4);
    EXPECT_EQ(small["ad"].error(), JSONValueError::NotExist);

    plat::Dictionary members;
    for (int i = 0; i < 40; ++i)
        members.set("key" + std::to_string(i), plat::Value(i));
    JSON large(members);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(large["key" + std::to_string(i)].integerValue(), i);
    EXPECT_EQ(large["key40"].error(), JSONValueError::NotExist);
    EXPECT_EQ((JSON::arrayLiteral({large})[{0, "key39"}].integerValue()), 39);
}

TEST(SubscriptsTest, UnknownValuesPassTheirOwnErrorOn) {
    JSON date(plat::Value(plat::Date(0)));
    EXPECT_EQ(date["a"].error(), JSONValueError::UnsupportedType);
    EXPECT_EQ(date[0].error(), JSONValueError::UnsupportedType);

    JSON list(plat::Value(plat::Array{plat::Value(plat::Date(0))}));
    EXPECT_EQ(list[0].type(), Type::Unknown);
    EXPECT_EQ((list[{0, "x", 3}].error()), JSONValueError::UnsupportedType);
    EXPECT_EQ(list[0]["x"][3].error(), JSONValueError::UnsupportedType);
}

TEST(SubscriptsTest, BytesInsideContainersAreParsedOnRead) {
    JSON list(plat::Value(plat::Array{plat::Value(plat::Data::fromString("{\"k\":[7]}")),
                                      plat::Value(plat::Data::fromString("junk"))}));
    EXPECT_EQ((list[{0, "k", 0}].integerValue()), 7);
    EXPECT_EQ(list[1].type(), Type::Null);
    EXPECT_FALSE(list[1].error());
    EXPECT_EQ((list[{1, "k"}].error()), JSONValueError::WrongType);
}

TEST(SubscriptsTest, OneStepWritesOnlyWhereTheyFit) {
    JSON dict = parse(R"({"a":1})");
    dict.set("n", 2);
    EXPECT_EQ(compact(dict), R"({"a":1,"n":2})");
    dict.set("a", "x");
    EXPECT_EQ(compact(dict), R"({"a":"x","n":2})");

    JSON number(5);
    number.set("n", 2);
    EXPECT_EQ(compact(number), "5");

    JSON list = parse("[1,2,3]");
    list.set(3, 9);
    list.set(-1, 9);
    list.set("k", 9);
    EXPECT_EQ(compact(list), "[1,2,3]");
    list.set(1, 9);
    EXPECT_EQ(compact(list), "[1,9,3]");

    // An unknown value stores its object, the null object.
    list.set(0, JSON(plat::Value(plat::Date(0))));
    EXPECT_EQ(compact(list), "[null,9,3]");
    // So does a failed lookup: its own error is not looked at.
    list.set({2}, JSON(1)["missing"]);
    EXPECT_EQ(compact(list), "[null,9,null]");
}

TEST(SubscriptsTest, PathWritesNeverCreateContainers) {
    JSON doc = parse(R"({"a":{"b":1},"arr":[{"x":1}],"n":3})");
    JSON before = doc;

    doc.set({"missing", "b"}, 5);
    doc.set({"n", "b"}, 5);
    doc.set({"arr", 1, "x"}, 5);
    doc.set(JSONPath{}, 5);
    EXPECT_EQ(compact(doc), compact(before));

    doc.set({"a", "b"}, 2);
    doc.set({"a", "c"}, JSON::arrayLiteral({true}));
    doc.set({"arr", 0, "x"}, "y");
    EXPECT_EQ(compact(doc), R"({"a":{"b":2,"c":[true]},"arr":[{"x":"y"}],"n":3})");
    // The copy taken before is untouched.
    EXPECT_EQ(compact(before), R"({"a":{"b":1},"arr":[{"x":1}],"n":3})");
}

TEST(SubscriptsTest, ModifyReadsChangesAndWritesBack) {
    JSON doc = parse(R"({"counts":{"n":41}})");
    doc.modify({"counts", "n"}, [](JSON& n) { n.setIntegerValue(n.integerValue() + 1); });
    EXPECT_EQ((doc[{"counts", "n"}].integerValue()), 42);
    // A missing container stays missing.
    doc.modify({"nope", "n"}, [](JSON& n) { n.setIntegerValue(1); });
    EXPECT_EQ(compact(doc), R"({"counts":{"n":42}})");
}

}  // namespace
}  // namespace json
