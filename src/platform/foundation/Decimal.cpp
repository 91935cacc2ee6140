#include "platform/foundation/Decimal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace plat {
namespace {

constexpr int64_t kExponentCap = int64_t{1} << 40;  // far beyond any representable value

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int64_t clampExponent(int64_t e) {
    return std::clamp(e, -kExponentCap, kExponentCap);
}

// Gathers the significant digits of a number as they are read, keeping at most
// kMaxDigits of them; later integer digits only scale the exponent, later
// fraction digits are dropped.
class DigitCollector {
  public:
    void integerDigit(char c) {
        if (digits_.empty() && c == '0')
            return;
        if (digits_.size() < static_cast<std::size_t>(Decimal::kMaxDigits))
            digits_.push_back(c);
        else
            exponent_ = clampExponent(exponent_ + 1);
    }
    void fractionDigit(char c) {
        if (digits_.empty() && c == '0') {
            exponent_ = clampExponent(exponent_ - 1);
            return;
        }
        if (digits_.size() < static_cast<std::size_t>(Decimal::kMaxDigits)) {
            digits_.push_back(c);
            exponent_ = clampExponent(exponent_ - 1);
        }
    }
    void addExponent(int64_t e) { exponent_ = clampExponent(exponent_ + e); }
    std::string& digits() { return digits_; }
    int64_t exponent() const { return exponent_; }

  private:
    std::string digits_;
    int64_t exponent_ = 0;
};

// Reads "[+-]digits" at text[pos] when at least one digit follows the sign;
// returns the position after it, or pos when there is no such exponent.
std::size_t readExponent(std::string_view text, std::size_t pos, int64_t& exponent) {
    std::size_t i = pos;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i >= text.size() || !isDigit(text[i]))
        return pos;
    int64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        value = std::min(value * 10 + (text[i] - '0'), kExponentCap);
    exponent = negative ? -value : value;
    return i;
}

// Arbitrary-size unsigned integer with just the operations an exact
// decimal/binary comparison needs.
class BigUInt {
  public:
    explicit BigUInt(uint64_t v) {
        while (v != 0) {
            limbs_.push_back(static_cast<uint32_t>(v));
            v >>= 32;
        }
    }
    static BigUInt fromDigits(const std::string& digits) {
        BigUInt n(0);
        for (char c : digits) {
            n.mulSmall(10);
            n.addSmall(static_cast<uint32_t>(c - '0'));
        }
        return n;
    }
    void mulSmall(uint32_t m) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs_) {
            uint64_t p = uint64_t{limb} * m + carry;
            limb = static_cast<uint32_t>(p);
            carry = p >> 32;
        }
        if (carry != 0)
            limbs_.push_back(static_cast<uint32_t>(carry));
    }
    void addSmall(uint32_t a) {
        uint64_t carry = a;
        for (std::size_t i = 0; carry != 0; ++i) {
            if (i == limbs_.size())
                limbs_.push_back(0);
            uint64_t s = uint64_t{limbs_[i]} + carry;
            limbs_[i] = static_cast<uint32_t>(s);
            carry = s >> 32;
        }
    }
    void mulPow5(int64_t n) {
        constexpr uint32_t kPow5_13 = 1220703125;  // 5^13, the largest power of 5 in 32 bits
        for (; n >= 13; n -= 13)
            mulSmall(kPow5_13);
        uint32_t rest = 1;
        for (; n > 0; --n)
            rest *= 5;
        mulSmall(rest);
    }
    void shiftLeft(int64_t bits) {
        if (limbs_.empty() || bits <= 0)
            return;
        limbs_.insert(limbs_.begin(), static_cast<std::size_t>(bits / 32), 0);
        const unsigned s = static_cast<unsigned>(bits % 32);
        if (s == 0)
            return;
        uint32_t carry = 0;
        for (uint32_t& limb : limbs_) {
            uint32_t next = limb >> (32 - s);
            limb = (limb << s) | carry;
            carry = next;
        }
        if (carry != 0)
            limbs_.push_back(carry);
    }
    static int compare(const BigUInt& a, const BigUInt& b) {
        if (a.limbs_.size() != b.limbs_.size())
            return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i])
                return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
        return 0;
    }

  private:
    std::vector<uint32_t> limbs_;  // least significant first, no leading zero limbs
};

int sign(int v) {
    return (v > 0) - (v < 0);
}

}  // namespace

Decimal::Decimal() = default;

Decimal Decimal::notANumber() {
    Decimal d;
    d.nan_ = true;
    return d;
}

Decimal Decimal::fromInt64(int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return fromString(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

Decimal Decimal::fromUInt64(uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return fromString(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

Decimal Decimal::fromDouble(double v) {
    if (!std::isfinite(v))
        return notANumber();
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return fromString(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

Decimal Decimal::fromString(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    DigitCollector collector;
    bool sawDigit = false;
    for (; i < text.size() && isDigit(text[i]); ++i, sawDigit = true)
        collector.integerDigit(text[i]);
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i, sawDigit = true)
            collector.fractionDigit(text[i]);
    }
    if (!sawDigit)
        return notANumber();
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        int64_t exponent = 0;
        readExponent(text, i + 1, exponent);
        collector.addExponent(exponent);
    }
    Decimal d;
    d.negative_ = negative;
    d.digits_ = std::move(collector.digits());
    const int64_t e = collector.exponent();
    d.exponent_ = static_cast<int32_t>(std::clamp<int64_t>(e, INT32_MIN / 2, INT32_MAX / 2));
    d.normalize();
    return d;
}

std::optional<Decimal> Decimal::fromJSONLiteral(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    if (i >= text.size() || !isDigit(text[i]))
        return std::nullopt;
    if (text[i] == '0') {
        ++i;
    } else {
        while (i < text.size() && isDigit(text[i]))
            ++i;
    }
    if (i < text.size() && text[i] == '.') {
        if (++i >= text.size() || !isDigit(text[i]))
            return std::nullopt;
        while (i < text.size() && isDigit(text[i]))
            ++i;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        int64_t ignored = 0;
        const std::size_t end = readExponent(text, i + 1, ignored);
        if (end == i + 1)
            return std::nullopt;
        i = end;
    }
    if (i != text.size())
        return std::nullopt;
    Decimal d = fromString(text);  // the grammar above is a subset of fromString's
    if (d.isNaN())
        return std::nullopt;
    return d;
}

void Decimal::normalize() {
    std::size_t trailing = 0;
    while (trailing < digits_.size() && digits_[digits_.size() - 1 - trailing] == '0')
        ++trailing;
    digits_.resize(digits_.size() - trailing);
    int64_t exponent = int64_t{exponent_} + static_cast<int64_t>(trailing);
    if (digits_.empty()) {
        exponent_ = 0;
        negative_ = false;
        return;
    }
    if (exponent + static_cast<int64_t>(digits_.size()) > kMaxMagnitude) {
        *this = notANumber();
        return;
    }
    if (exponent < kMinExponent) {
        const int64_t drop = kMinExponent - exponent;
        if (drop >= static_cast<int64_t>(digits_.size())) {
            *this = Decimal();
            return;
        }
        digits_.resize(digits_.size() - static_cast<std::size_t>(drop));
        exponent_ = kMinExponent;
        normalize();
        return;
    }
    exponent_ = static_cast<int32_t>(exponent);
}

bool Decimal::isInteger() const {
    return !nan_ && (digits_.empty() || exponent_ >= 0);
}

std::string Decimal::toString() const {
    if (nan_)
        return "NaN";
    if (digits_.empty())
        return "0";
    std::string out = negative_ ? "-" : "";
    const int64_t len = static_cast<int64_t>(digits_.size());
    if (exponent_ >= 0) {
        out += digits_;
        out.append(static_cast<std::size_t>(exponent_), '0');
    } else if (-exponent_ < len) {
        const std::size_t point = static_cast<std::size_t>(len + exponent_);
        out.append(digits_, 0, point).append(".").append(digits_, point);
    } else {
        out.append("0.").append(static_cast<std::size_t>(-exponent_ - len), '0').append(digits_);
    }
    return out;
}

double Decimal::toDouble() const {
    if (nan_)
        return std::numeric_limits<double>::quiet_NaN();
    if (digits_.empty())
        return 0.0;
    std::string text = digits_ + "e" + std::to_string(exponent_);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return negative_ ? -value : value;
}

uint64_t Decimal::toUInt64() const {
    if (nan_ || digits_.empty())
        return 0;
    if (negative_)
        return 0;
    const int64_t integerDigits = static_cast<int64_t>(digits_.size()) + exponent_;
    if (integerDigits <= 0)
        return 0;
    if (integerDigits > 20)
        return UINT64_MAX;
    uint64_t value = 0;
    for (int64_t k = 0; k < integerDigits; ++k) {
        const std::size_t index = static_cast<std::size_t>(k);
        const unsigned digit = index < digits_.size() ? static_cast<unsigned>(digits_[index] - '0') : 0;
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

int64_t Decimal::toInt64() const {
    if (nan_ || digits_.empty())
        return 0;
    Decimal magnitude = *this;
    magnitude.negative_ = false;
    const uint64_t m = magnitude.toUInt64();
    if (!negative_)
        return m > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(m);
    if (m >= uint64_t{INT64_MAX} + 1)
        return INT64_MIN;
    return -static_cast<int64_t>(m);
}

int Decimal::compare(const Decimal& other) const {
    if (nan_ || other.nan_)
        return nan_ == other.nan_ ? 0 : (nan_ ? -1 : 1);
    const int s1 = isZero() ? 0 : (negative_ ? -1 : 1);
    const int s2 = other.isZero() ? 0 : (other.negative_ ? -1 : 1);
    if (s1 != s2 || s1 == 0)
        return s1 < s2 ? -1 : (s1 > s2 ? 1 : 0);
    // Same sign: compare magnitudes by the position of the leading digit, then digit by digit.
    const int64_t mag1 = static_cast<int64_t>(digits_.size()) + exponent_;
    const int64_t mag2 = static_cast<int64_t>(other.digits_.size()) + other.exponent_;
    int magnitudeOrder = mag1 != mag2 ? (mag1 < mag2 ? -1 : 1) : sign(digits_.compare(other.digits_));
    return s1 * magnitudeOrder;
}

int Decimal::compareToDouble(double other) const {
    if (nan_ || std::isnan(other))
        return nan_ == std::isnan(other) ? 0 : (nan_ ? -1 : 1);
    if (std::isinf(other))
        return other > 0 ? -1 : 1;
    const int s1 = isZero() ? 0 : (negative_ ? -1 : 1);
    const int s2 = other == 0 ? 0 : (other < 0 ? -1 : 1);
    if (s1 != s2 || s1 == 0)
        return s1 < s2 ? -1 : (s1 > s2 ? 1 : 0);
    // Rounding to double is monotone, so a difference after rounding is the answer.
    const double approx = toDouble();
    if (approx != other)
        return approx < other ? -1 : 1;
    // Equal after rounding: compare digits * 10^exponent with mantissa * 2^binaryExponent exactly.
    int binaryExponent = 0;
    const double fraction = std::frexp(std::fabs(other), &binaryExponent);
    BigUInt binary(static_cast<uint64_t>(std::ldexp(fraction, 53)));
    binaryExponent -= 53;
    BigUInt decimal = BigUInt::fromDigits(digits_);
    if (exponent_ >= 0)
        decimal.mulPow5(exponent_);
    else
        binary.mulPow5(-int64_t{exponent_});
    const int64_t shift = int64_t{exponent_} - binaryExponent;
    if (shift >= 0)
        decimal.shiftLeft(shift);
    else
        binary.shiftLeft(-shift);
    return s1 * BigUInt::compare(decimal, binary);
}

std::size_t Decimal::hash() const {
    if (nan_)
        return 0x7ff8;
    std::size_t h = std::hash<std::string>()(digits_);
    h ^= std::hash<int32_t>()(exponent_) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return negative_ ? ~h : h;
}

}  // namespace plat
