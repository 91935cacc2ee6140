// Decimal: an exact decimal number (the platform's decimal number class): a
// sign, up to 38 significant decimal digits and a power-of-ten exponent, or
// "not a number". Text round-trips exactly within 38 digits.
//
// Magnitudes are limited as on the platform: values of 10^165 or more cannot
// be represented (parsing gives notANumber), and digits below 10^-128 are
// dropped. Decimals are plain values, safe to read from several threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class Decimal {
  public:
    static constexpr int kMaxDigits = 38;
    // Smallest exponent a digit may have; larger magnitudes end below 10^kMaxMagnitude.
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxMagnitude = 165;

    Decimal();  // zero
    static Decimal notANumber();
    static Decimal zero() { return Decimal(); }
    static Decimal fromInt64(int64_t v);
    static Decimal fromUInt64(uint64_t v);
    // Shortest decimal that reads back as the same double (at most 17
    // significant digits); NaN and infinities give notANumber.
    static Decimal fromDouble(double v);

    // Parses like the platform's decimal initialiser with no locale: optional
    // leading white space, optional sign, digits with an optional "." and
    // fraction, an optional exponent; stops at the first character that does
    // not fit ("12abc" is 12). No digits at all gives notANumber. Digits beyond
    // 38 are dropped and the exponent adjusted.
    static Decimal fromString(std::string_view text);

    // Parses a complete JSON number literal exactly (the whole text must be one).
    // nullopt when the text is not a JSON number or is too large to represent.
    static std::optional<Decimal> fromJSONLiteral(std::string_view text);

    bool isNaN() const { return nan_; }
    bool isNegative() const { return negative_ && !isZero(); }
    bool isZero() const { return !nan_ && digits_.empty(); }
    bool isInteger() const;

    // Plain decimal text without exponent: "1000", "12.5", "-0.001", "NaN".
    std::string toString() const;
    // The nearest double.
    double toDouble() const;
    // Truncates toward zero, saturating at the type's range; NaN gives 0.
    int64_t toInt64() const;
    uint64_t toUInt64() const;

    // -1, 0 or 1. NaN sorts below every number and equals NaN.
    int compare(const Decimal& other) const;
    // Exact comparison with a double (no rounding of either side), with the
    // same NaN rule; infinities sort beyond every decimal.
    int compareToDouble(double other) const;
    bool operator==(const Decimal& other) const { return compare(other) == 0; }
    std::size_t hash() const;

    // Significant digits without leading or trailing zeros ("125" for 12.5), and
    // the power of ten they are scaled by (-1 for 12.5).
    const std::string& digits() const { return digits_; }
    int32_t exponent() const { return exponent_; }

  private:
    // Strips zeros, applies the 38-digit and range limits.
    void normalize();

    std::string digits_;
    int32_t exponent_ = 0;
    bool negative_ = false;
    bool nan_ = false;
};

}  // namespace plat
