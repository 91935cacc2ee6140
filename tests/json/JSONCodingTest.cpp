#include <gtest/gtest.h>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "json/ValueCoder.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::compact;
using jsontest::parse;

JSON decoded(const plat::Value& v) {
    ValueDecoder decoder(v);
    return JSON::decode(decoder);
}

plat::Value encoded(const JSON& j) {
    ValueEncoder encoder;
    EXPECT_EQ(j.encode(encoder), nullptr);
    return encoder.value();
}

class NoContainerDecoder : public Decoder {
  public:
    plat::Result<std::shared_ptr<SingleValueDecodingContainer>> singleValueContainer() override {
        return plat::Error::make("test", 1);
    }
};

// An encoder whose container refuses every write with the same error.
class RefusingEncoder : public Encoder, public SingleValueEncodingContainer {
  public:
    plat::ErrorPtr error = plat::Error::make("refused", 7);
    std::shared_ptr<SingleValueEncodingContainer> singleValueContainer() override {
        return std::shared_ptr<SingleValueEncodingContainer>(std::shared_ptr<void>(), this);
    }
    plat::ErrorPtr encodeNil() override { return error; }
    plat::ErrorPtr encode(bool) override { return error; }
    plat::ErrorPtr encode(int64_t) override { return error; }
    plat::ErrorPtr encode(uint64_t) override { return error; }
    plat::ErrorPtr encode(double) override { return error; }
    plat::ErrorPtr encode(const std::string&) override { return error; }
    plat::ErrorPtr encodeList(std::size_t,
                              const std::function<plat::ErrorPtr(std::size_t, Encoder&)>&) override {
        return error;
    }
    plat::ErrorPtr encodeMap(const std::vector<std::string>&,
                             const std::function<plat::ErrorPtr(const std::string&, Encoder&)>&) override {
        return error;
    }
};

TEST(JSONCodingTest, DecodingTriesTheCandidatesInOrder) {
    EXPECT_EQ(decoded(plat::Value(true)).type(), Type::Bool);
    JSON three = decoded(plat::Value(3));
    EXPECT_EQ(three.type(), Type::Number);
    EXPECT_EQ(three.object().kind(), plat::Value::Kind::Int);
    JSON big = decoded(plat::Value(UINT64_MAX));
    EXPECT_EQ(big.object().kind(), plat::Value::Kind::UInt);
    EXPECT_EQ(big.uint64Value(), UINT64_MAX);
    JSON half = decoded(plat::Value(2.5));
    EXPECT_EQ(half.object().kind(), plat::Value::Kind::Double);
    EXPECT_EQ(half.doubleValue(), 2.5);
    EXPECT_EQ(decoded(plat::Value("x")).type(), Type::String);
    EXPECT_EQ(decoded(plat::Value()).type(), Type::Null);

    // Nothing fits a date: a null value without error.
    JSON date = decoded(plat::Value(plat::Date(0)));
    EXPECT_EQ(date.type(), Type::Null);
    EXPECT_FALSE(date.error());

    NoContainerDecoder none;
    EXPECT_EQ(JSON::decode(none).type(), Type::Null);
}

TEST(JSONCodingTest, NestedContainersDecodeToPlainObjects) {
    JSON doc = parse(R"([{"a":[1,true,"s",null]},{"b":{}}])");
    JSON back = decoded(doc.object());
    EXPECT_EQ(back.type(), Type::Array);
    EXPECT_EQ(compact(back), R"([{"a":[1,true,"s",null]},{"b":{}}])");
    EXPECT_TRUE(back.arrayObject()->at(0).isDictionary());
    EXPECT_EQ(back, doc);
}

TEST(JSONCodingTest, EncodingChoosesIntegersWhenExact) {
    EXPECT_TRUE(encoded(JSON(plat::Value(plat::Date(0)))).isNull());
    EXPECT_TRUE(encoded(JSON(nullptr)).isNull());
    plat::Value three = encoded(JSON(3.0));
    EXPECT_EQ(three.kind(), plat::Value::Kind::Int);
    EXPECT_EQ(three.rawInt(), 3);
    EXPECT_EQ(encoded(JSON(2.5)).kind(), plat::Value::Kind::Double);
    EXPECT_EQ(encoded(JSON(true)).kind(), plat::Value::Kind::Bool);
    EXPECT_EQ(encoded(JSON(UINT64_MAX)).kind(), plat::Value::Kind::UInt);
    EXPECT_EQ(encoded(JSON(INT64_MIN)).rawInt(), INT64_MIN);
    EXPECT_EQ(encoded(JSON(1e19)).kind(), plat::Value::Kind::UInt);
    EXPECT_EQ(encoded(JSON(plat::Decimal::fromString("12"))).kind(), plat::Value::Kind::Int);
    EXPECT_EQ(encoded(JSON(plat::Decimal::fromString("1e30"))).kind(), plat::Value::Kind::Double);
    EXPECT_EQ(encoded(JSON(-1e30)).kind(), plat::Value::Kind::Double);
    EXPECT_EQ(encoded(JSON("s")), plat::Value("s"));
}

TEST(JSONCodingTest, RoundTripKeepsNumberKinds) {
    JSON list = decoded(plat::Value(plat::Array{plat::Value(1), plat::Value(2.5)}));
    plat::Value again = encoded(list);
    ASSERT_TRUE(again.isArray());
    EXPECT_EQ(again.asArray()->at(0).kind(), plat::Value::Kind::Int);
    EXPECT_EQ(again.asArray()->at(1).kind(), plat::Value::Kind::Double);
    EXPECT_EQ(compact(JSON(encoded(parse(R"({"k":[1,{"z":false}]})")))), R"({"k":[1,{"z":false}]})");
}

TEST(JSONCodingTest, EncoderErrorsArePassedOnUnchanged) {
    RefusingEncoder refusing;
    for (const JSON& j : {JSON(nullptr), JSON(1), JSON("s"), JSON(true), parse("[1]"), parse("{}")}) {
        EXPECT_EQ(j.encode(refusing), refusing.error);
    }
}

}  // namespace
}  // namespace json
