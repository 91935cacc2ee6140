// Equality and order of values. Numbers compare exactly across int, uint,
// double, bool and decimal (no rounding through double), so that equality
// agrees with hash() and with compare().
#include "platform/foundation/Value.h"

#include <cmath>
#include <cstdint>

#include "platform/foundation/detail/ValueInternals.h"

namespace plat {

namespace detail {

int compareDoubles(double a, double b) {
    // NaN sorts below every number and equals NaN.
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) == std::isnan(b) ? 0 : (std::isnan(a) ? -1 : 1);
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Exact comparison of an integer with a double: the double's integral part is
// compared as an integer, then its fraction decides.
}  // namespace detail

namespace {

using detail::compareDoubles;
using detail::kTwo63;
using detail::kTwo64;

int sign(int v) {
    return (v > 0) - (v < 0);
}

int compareInt64Double(int64_t i, double d) {
    if (std::isnan(d))
        return 1;
    if (d >= kTwo63)
        return -1;
    if (d < -kTwo63)
        return 1;
    const double t = std::trunc(d);
    const int64_t ti = static_cast<int64_t>(t);
    if (i != ti)
        return i < ti ? -1 : 1;
    return d > t ? -1 : (d < t ? 1 : 0);
}

int compareUInt64Double(uint64_t u, double d) {
    if (std::isnan(d))
        return 1;
    if (d < 0)
        return 1;
    if (d >= kTwo64)
        return -1;
    const double t = std::trunc(d);
    const uint64_t tu = static_cast<uint64_t>(t);
    if (u != tu)
        return u < tu ? -1 : 1;
    return d > t ? -1 : 0;
}

int compareInt64UInt64(int64_t i, uint64_t u) {
    if (i < 0)
        return -1;
    const uint64_t v = static_cast<uint64_t>(i);
    return v < u ? -1 : (v > u ? 1 : 0);
}

// A number of any kind, booleans read as 0 and 1. Kinds are ordered so that a
// pair needs handling only with the lower kind first.
struct Number {
    enum Kind { Signed, Unsigned, Floating, Exact } kind;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    const Decimal* decimal = nullptr;
};

Number numberOf(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Bool:
            return {Number::Signed, v.rawBool() ? 1 : 0};
        case Value::Kind::Int:
            return {Number::Signed, v.rawInt()};
        case Value::Kind::UInt:
            return {Number::Unsigned, 0, v.rawUInt()};
        case Value::Kind::Double:
            return {Number::Floating, 0, 0, v.rawDouble()};
        default:
            return {Number::Exact, 0, 0, 0, v.asDecimal()};
    }
}

int compareOrdered(const Number& a, const Number& b) {
    switch (a.kind) {
        case Number::Signed:
            switch (b.kind) {
                case Number::Signed:
                    return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
                case Number::Unsigned:
                    return compareInt64UInt64(a.i, b.u);
                case Number::Floating:
                    return compareInt64Double(a.i, b.d);
                case Number::Exact:
                    return Decimal::fromInt64(a.i).compare(*b.decimal);
            }
            break;
        case Number::Unsigned:
            switch (b.kind) {
                case Number::Unsigned:
                    return a.u < b.u ? -1 : (a.u > b.u ? 1 : 0);
                case Number::Floating:
                    return compareUInt64Double(a.u, b.d);
                case Number::Exact:
                    return Decimal::fromUInt64(a.u).compare(*b.decimal);
                default:
                    break;
            }
            break;
        case Number::Floating:
            if (b.kind == Number::Floating)
                return compareDoubles(a.d, b.d);
            return -b.decimal->compareToDouble(a.d);
        case Number::Exact:
            return a.decimal->compare(*b.decimal);
    }
    return 0;
}

}  // namespace

namespace detail {

int compareNumbers(const Value& a, const Value& b) {
    const Number x = numberOf(a);
    const Number y = numberOf(b);
    return x.kind <= y.kind ? compareOrdered(x, y) : -compareOrdered(y, x);
}

}  // namespace detail

using detail::compareDoubles;
using detail::compareNumbers;

bool Value::operator==(const Value& other) const {
    if (isNumber() && other.isNumber())
        return compareNumbers(*this, other) == 0;
    if (kind_ != other.kind_)
        return false;
    if (hasPayload() && u_.p == other.u_.p)
        return true;
    switch (kind_) {
        case Kind::Null:
            return true;
        case Kind::String:
            return *asString() == *other.asString();
        case Kind::Data:
            return *asData() == *other.asData();
        case Kind::Date:
            return compareDoubles(u_.d, other.u_.d) == 0;
        case Kind::Array:
            return *asArray() == *other.asArray();
        case Kind::Dictionary:
            return *asDictionary() == *other.asDictionary();
        case Kind::Set:
            return *asSet() == *other.asSet();
        case Kind::Object:
            return payload<ObjectPtr>()->isEqual(*other.payload<ObjectPtr>());
        default:
            return false;
    }
}

std::optional<int> Value::compare(const Value& other) const {
    if (isNumber() && other.isNumber())
        return compareNumbers(*this, other);
    if (isString() && other.isString())
        return sign(asString()->compare(*other.asString()));
    if (isDate() && other.isDate())
        return compareDoubles(u_.d, other.u_.d);
    return std::nullopt;
}

}  // namespace plat
