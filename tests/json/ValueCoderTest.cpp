#include "json/ValueCoder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace json {
namespace {

template <class T>
plat::ErrorPtr decodeAs(const plat::Value& v, T& out) {
    ValueDecoder decoder(v);
    return decoder.singleValueContainer().value()->decode(out);
}

TEST(ValueCoderTest, DecodingIsStrictAboutKinds) {
    bool b = false;
    EXPECT_EQ(decodeAs(plat::Value(true), b), nullptr);
    EXPECT_TRUE(b);
    EXPECT_NE(decodeAs(plat::Value(1), b), nullptr);

    int8_t i8 = 0;
    EXPECT_NE(decodeAs(plat::Value(300), i8), nullptr);
    EXPECT_EQ(i8, 0);
    EXPECT_EQ(decodeAs(plat::Value(-128), i8), nullptr);
    EXPECT_EQ(i8, -128);
    EXPECT_NE(decodeAs(plat::Value(true), i8), nullptr);
    EXPECT_EQ(decodeAs(plat::Value(3.0), i8), nullptr);  // integral doubles are integers
    EXPECT_NE(decodeAs(plat::Value(3.5), i8), nullptr);

    uint64_t u = 0;
    EXPECT_NE(decodeAs(plat::Value(-1), u), nullptr);
    EXPECT_EQ(decodeAs(plat::Value(UINT64_MAX), u), nullptr);
    EXPECT_EQ(u, UINT64_MAX);
    int64_t i = 0;
    EXPECT_NE(decodeAs(plat::Value(UINT64_MAX), i), nullptr);
    EXPECT_EQ(decodeAs(plat::Value(plat::Decimal::fromString("-9223372036854775808")), i), nullptr);
    EXPECT_EQ(i, INT64_MIN);

    double d = 0;
    EXPECT_NE(decodeAs(plat::Value(false), d), nullptr);
    EXPECT_EQ(decodeAs(plat::Value(7), d), nullptr);
    EXPECT_EQ(d, 7.0);
    std::string s;
    plat::ErrorPtr e = decodeAs(plat::Value(7), s);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->domain(), plat::CocoaErrorDomain);
    EXPECT_EQ(e->code(), 4864);
}

TEST(ValueCoderTest, EncoderBuildsNestedValues) {
    ValueEncoder encoder;
    EXPECT_TRUE(encoder.value().isNull());
    auto c = encoder.singleValueContainer();
    ASSERT_EQ(c->encodeMap({"a", "b"},
                           [](const std::string& key, Encoder& e) {
                               auto inner = e.singleValueContainer();
                               if (key == "a")
                                   return inner->encode(int64_t{1});
                               return inner->encodeList(2, [](std::size_t i, Encoder& ee) {
                                   return ee.singleValueContainer()->encode(static_cast<double>(i) + 0.5);
                               });
                           }),
              nullptr);
    plat::Value v = encoder.value();
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(*v.find("a"), plat::Value(1));
    EXPECT_EQ(*v.find("b"), plat::Value(plat::Array{plat::Value(0.5), plat::Value(1.5)}));
}

}  // namespace
}  // namespace json
