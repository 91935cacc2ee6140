// Reading a number object (a numeric plat::Value) as a C++ arithmetic type,
// with the platform number readers' conversions: integers narrow by two's
// complement, floating values truncate toward zero and saturate at the
// target's range, NaN gives 0, booleans are 1 or 0. Decimals that are exact
// integers read as integers; other decimals read through their double value.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "platform/foundation/Value.h"

namespace json::detail {

template <class T>
T fromDouble(double d) {
    if constexpr (std::is_same_v<T, double>) {
        return d;
    } else if constexpr (std::is_same_v<T, float>) {
        // Beyond this magnitude a double no longer rounds to a finite float.
        constexpr double kFloatOverflow = 3.4028235677973366e38;
        if (std::isfinite(d) && std::fabs(d) >= kFloatOverflow)
            return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        return static_cast<float>(d);
    } else {
        if (std::isnan(d))
            return 0;
        constexpr double kUpper = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
        constexpr double kLower = static_cast<double>(std::numeric_limits<T>::min()) - 1.0;
        if (d >= kUpper)
            return std::numeric_limits<T>::max();
        if (d <= kLower)
            return std::numeric_limits<T>::min();
        if constexpr (std::is_unsigned_v<T>) {
            if (d < 0)
                return 0;
        }
        return static_cast<T>(std::trunc(d));
    }
}

template <class T>
T readNumber(const plat::Value& n) {
    switch (n.kind()) {
        case plat::Value::Kind::Bool:
            return static_cast<T>(n.rawBool() ? 1 : 0);
        case plat::Value::Kind::Int:
            return static_cast<T>(n.rawInt());
        case plat::Value::Kind::UInt:
            return static_cast<T>(n.rawUInt());
        case plat::Value::Kind::Double:
            return fromDouble<T>(n.rawDouble());
        case plat::Value::Kind::Decimal: {
            const plat::Decimal& d = *n.asDecimal();
            if constexpr (std::is_integral_v<T>) {
                if (!d.isNaN() && d.isInteger()) {
                    int64_t i = d.toInt64();
                    if (plat::Decimal::fromInt64(i) == d)
                        return static_cast<T>(i);
                    uint64_t u = d.toUInt64();
                    if (plat::Decimal::fromUInt64(u) == d)
                        return static_cast<T>(u);
                }
            }
            return fromDouble<T>(d.isNaN() ? 0.0 : d.toDouble());
        }
        default:
            return 0;
    }
}

// The exact integer value of a non-boolean number: for integer kinds always,
// for doubles and decimals only when integral and within 64 bits of magnitude.
struct Integral {
    bool ok = false;
    bool negative = false;
    uint64_t magnitude = 0;
};

inline Integral integralOf(const plat::Value& v) {
    Integral r;
    switch (v.kind()) {
        case plat::Value::Kind::Int:
            r.ok = true;
            r.negative = v.rawInt() < 0;
            r.magnitude =
                r.negative ? 0 - static_cast<uint64_t>(v.rawInt()) : static_cast<uint64_t>(v.rawInt());
            break;
        case plat::Value::Kind::UInt:
            r.ok = true;
            r.magnitude = v.rawUInt();
            break;
        case plat::Value::Kind::Double: {
            double d = v.rawDouble();
            if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= 18446744073709551616.0)
                break;
            r.ok = true;
            r.negative = d < 0;
            r.magnitude = static_cast<uint64_t>(std::fabs(d));
            break;
        }
        case plat::Value::Kind::Decimal: {
            const plat::Decimal& d = *v.asDecimal();
            if (d.isNaN() || !d.isInteger())
                break;
            if (d.isNegative()) {
                int64_t i = d.toInt64();
                if (plat::Decimal::fromInt64(i) != d)
                    break;
                r.negative = true;
                r.magnitude = 0 - static_cast<uint64_t>(i);
            } else {
                uint64_t u = d.toUInt64();
                if (plat::Decimal::fromUInt64(u) != d)
                    break;
                r.magnitude = u;
            }
            r.ok = true;
            break;
        }
        default:
            break;
    }
    return r;
}

}  // namespace json::detail
