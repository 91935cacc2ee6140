#include "platform/foundation/Decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using plat::Decimal;

struct ParseCase {
    const char* input;
    const char* text;  // toString of the result
};

class DecimalParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(DecimalParseTest, StopsAtFirstCharacterThatDoesNotFit) {
    EXPECT_EQ(Decimal::fromString(GetParam().input).toString(), GetParam().text) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, DecimalParseTest,
    testing::Values(ParseCase{"12abc", "12"}, ParseCase{"1,5", "1"}, ParseCase{"0x10", "0"},
                    ParseCase{" \t\n-3.25e2", "-325"}, ParseCase{"+.5", "0.5"}, ParseCase{"5.", "5"},
                    ParseCase{"1e", "1"}, ParseCase{"1e+", "1"}, ParseCase{"2E-3x", "0.002"},
                    ParseCase{"000123.4500", "123.45"}, ParseCase{"-0", "0"}, ParseCase{"-0.000", "0"},
                    ParseCase{"abc", "NaN"}, ParseCase{"", "NaN"}, ParseCase{"-", "NaN"},
                    ParseCase{".", "NaN"}, ParseCase{"e5", "NaN"}, ParseCase{"1e-129", "0"},
                    ParseCase{"1e165", "NaN"}, ParseCase{"1e99999999999999999999", "NaN"},
                    ParseCase{"1e-99999999999999999999", "0"},
                    // 39 significant digits: the last one is dropped and the exponent adjusted.
                    ParseCase{"123456789012345678901234567890123456789",
                              "123456789012345678901234567890123456780"},
                    ParseCase{"0.000123456789012345678901234567890123456789",
                              "0.00012345678901234567890123456789012345678"}));

TEST(DecimalTest, ExtremeExponentsKeepTheirDigits) {
    const Decimal tiny = Decimal::fromString("1e-128");
    EXPECT_EQ(tiny.toString(), "0." + std::string(127, '0') + "1");
    EXPECT_EQ(tiny.exponent(), -128);
    const Decimal big = Decimal::fromString("9e164");
    EXPECT_EQ(big.toString(), "9" + std::string(164, '0'));
    EXPECT_TRUE(Decimal::fromString("10e164").isNaN());
}

TEST(DecimalTest, JSONLiteralMustBeOneWholeNumber) {
    for (const char* good : {"0", "-0", "12345678901234567890123", "1.5e10", "-0.25E-2", "1e+2"}) {
        auto d = Decimal::fromJSONLiteral(good);
        ASSERT_TRUE(d.has_value()) << good;
        EXPECT_EQ(d->compare(Decimal::fromString(good)), 0) << good;
    }
    for (const char* bad :
         {"", "-", "01", "-01", "1.", ".5", "+1", "1e", "1e+", "1 ", " 1", "1x", "NaN", "1e400"}) {
        EXPECT_FALSE(Decimal::fromJSONLiteral(bad).has_value()) << bad;
    }
    EXPECT_EQ(Decimal::fromJSONLiteral("98765432109876543210987654321")->toString(),
              "98765432109876543210987654321");
}

TEST(DecimalTest, TextRoundTripsExactly) {
    for (const char* text :
         {"0", "1", "-1", "12.5", "-0.001", "1000", "18446744073709551616",
          "-99999999999999999999999999999999999999", "0.00000000000000000000000000000000000001",
          "3.1415926535897932384626433832795028841"}) {
        const Decimal d = Decimal::fromString(text);
        EXPECT_EQ(d.toString(), text);
        EXPECT_EQ(Decimal::fromString(d.toString()), d);
    }
    EXPECT_EQ(Decimal::fromString("12.5").digits(), "125");
    EXPECT_EQ(Decimal::fromString("12.5").exponent(), -1);
    EXPECT_EQ(Decimal::fromString("1200").digits(), "12");
    EXPECT_EQ(Decimal::fromString("1200").exponent(), 2);
}

TEST(DecimalTest, CompareIsExactWithNaNLowest) {
    auto d = [](const char* s) { return Decimal::fromString(s); };
    EXPECT_EQ(d("1.20").compare(d("1.2")), 0);
    EXPECT_EQ(d("1.20").hash(), d("1.2").hash());
    EXPECT_EQ(d("-1").compare(d("0.5")), -1);
    EXPECT_EQ(d("0.001").compare(d("0.01")), -1);
    EXPECT_EQ(d("10").compare(d("9.99")), 1);
    EXPECT_EQ(d("-10").compare(d("-9.99")), -1);
    EXPECT_EQ(d("1.25").compare(d("1.2")), 1);
    EXPECT_EQ(d("0").compare(d("-0")), 0);
    EXPECT_EQ(Decimal::notANumber().compare(d("-1e100")), -1);
    EXPECT_EQ(d("-1e100").compare(Decimal::notANumber()), 1);
    EXPECT_EQ(Decimal::notANumber(), Decimal::notANumber());
    EXPECT_FALSE(d("0").isNegative());
    EXPECT_FALSE(d("-0").isNegative());
    EXPECT_TRUE(d("-0.5").isNegative());
    EXPECT_TRUE(d("1e3").isInteger());
    EXPECT_FALSE(d("1.5").isInteger());
    EXPECT_FALSE(Decimal::notANumber().isInteger());
}

TEST(DecimalTest, IntegerConversionsTruncateAndSaturate) {
    auto d = [](const char* s) { return Decimal::fromString(s); };
    EXPECT_EQ(d("12.9").toInt64(), 12);
    EXPECT_EQ(d("-12.9").toInt64(), -12);
    EXPECT_EQ(d("0.999").toInt64(), 0);
    EXPECT_EQ(d("1e30").toInt64(), INT64_MAX);
    EXPECT_EQ(d("-1e30").toInt64(), INT64_MIN);
    EXPECT_EQ(d("-9223372036854775808").toInt64(), INT64_MIN);
    EXPECT_EQ(d("9223372036854775808").toInt64(), INT64_MAX);
    EXPECT_EQ(d("18446744073709551615").toUInt64(), UINT64_MAX);
    EXPECT_EQ(d("18446744073709551616").toUInt64(), UINT64_MAX);
    EXPECT_EQ(d("-5").toUInt64(), 0u);
    EXPECT_EQ(Decimal::notANumber().toInt64(), 0);
    EXPECT_EQ(Decimal::fromInt64(INT64_MIN).toString(), "-9223372036854775808");
    EXPECT_EQ(Decimal::fromUInt64(UINT64_MAX).toString(), "18446744073709551615");
}

TEST(DecimalTest, DoubleConversions) {
    EXPECT_EQ(Decimal::fromString("0.1").toDouble(), 0.1);
    EXPECT_EQ(Decimal::fromString("-2.5e-3").toDouble(), -0.0025);
    EXPECT_GT(Decimal::fromString("1e-128").toDouble(), 0.0);
    EXPECT_TRUE(std::isnan(Decimal::notANumber().toDouble()));
    EXPECT_EQ(Decimal::fromDouble(0.1).toString(), "0.1");
    EXPECT_EQ(Decimal::fromDouble(-2.5).toString(), "-2.5");
    EXPECT_EQ(Decimal::fromDouble(1e20).toString(), "100000000000000000000");
    EXPECT_TRUE(Decimal::fromDouble(std::numeric_limits<double>::quiet_NaN()).isNaN());
    EXPECT_TRUE(Decimal::fromDouble(-std::numeric_limits<double>::infinity()).isNaN());
}

TEST(DecimalTest, CompareToDoubleIsExact) {
    auto d = [](const char* s) { return Decimal::fromString(s); };
    // The double nearest 0.1 is slightly above it.
    EXPECT_EQ(d("0.1").compareToDouble(0.1), -1);
    EXPECT_EQ(d("0.5").compareToDouble(0.5), 0);
    EXPECT_EQ(d("-0.5").compareToDouble(-0.5), 0);
    EXPECT_EQ(d("-0.1").compareToDouble(-0.1), 1);
    // 2^53 + 1 rounds to 2^53 as a double but is larger.
    EXPECT_EQ(d("9007199254740993").compareToDouble(9007199254740992.0), 1);
    EXPECT_EQ(d("9007199254740992").compareToDouble(9007199254740992.0), 0);
    EXPECT_EQ(d("1e20").compareToDouble(1e20), 0);
    EXPECT_EQ(d("1e-128").compareToDouble(0.0), 1);
    EXPECT_EQ(d("0").compareToDouble(-0.0), 0);
    EXPECT_EQ(d("1e164").compareToDouble(std::numeric_limits<double>::infinity()), -1);
    EXPECT_EQ(d("-1e164").compareToDouble(-std::numeric_limits<double>::infinity()), 1);
    EXPECT_EQ(d("5").compareToDouble(std::nan("")), 1);
    EXPECT_EQ(Decimal::notANumber().compareToDouble(std::nan("")), 0);
    EXPECT_EQ(d("9.31322574615478515625e-10").compareToDouble(std::ldexp(1.0, -30)), 0);
    EXPECT_EQ(d("9.31322574615478515626e-10").compareToDouble(std::ldexp(1.0, -30)), 1);
    // 2^-60 has 42 significant digits; the 38 kept are just below it.
    EXPECT_EQ(d("8.67361737988403547205962240695953369140625e-19").compareToDouble(std::ldexp(1.0, -60)), -1);
}

}  // namespace
