// Result: the outcome of a response serialisation, the value or the error
// that stopped it. Errors are plat::ErrorPtr (a CourierError or any other).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace httpclient {

// Thrown by a callback (and by unwrap) to fail with an error.
struct ErrorThrown {
    plat::ErrorPtr error;
};

// How a value reads inside a debug text.
inline std::string describeValue(const std::string& s) {
    return s;
}
inline std::string describeValue(const plat::Value& v) {
    return v.description();
}
inline std::string describeValue(const plat::Data& d) {
    return std::to_string(d.length()) + " bytes";
}
inline std::string describeValue(const plat::ErrorPtr& e) {
    return e ? e->description() : std::string("nil");
}
template <class T>
std::string describeValue(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_arithmetic_v<T>) {
        std::ostringstream out;
        out << v;
        return out.str();
    } else {
        return "<value>";
    }
}

template <class T>
class [[nodiscard]] Result {
  public:
    static Result success(T value) { return Result(std::move(value), nullptr); }
    static Result failure(plat::ErrorPtr error) { return Result(std::nullopt, std::move(error)); }

    // Calls `make` once: its value gives success, an ErrorThrown failure.
    template <class F>
    static Result from(F&& make) {
        try {
            return success(make());
        } catch (const ErrorThrown& thrown) {
            return failure(thrown.error);
        }
    }

    bool isSuccess() const { return value_.has_value(); }
    bool isFailure() const { return !isSuccess(); }
    // The value, empty on failure. A result read in place hands out its own
    // (a look costs no copy of a body); a temporary one hands its value over.
    const std::optional<T>& value() const& { return value_; }
    std::optional<T> value() && { return std::move(value_); }
    [[nodiscard]] plat::ErrorPtr error() const { return isSuccess() ? nullptr : error_; }
    std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
    std::string debugDescription() const {
        return isSuccess() ? "SUCCESS: " + describeValue(*value_) : "FAILURE: " + describeValue(error_);
    }
    // The value, or ErrorThrown with the error.
    const T& unwrap() const {
        if (isFailure())
            throw ErrorThrown{error_};
        return *value_;
    }

    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Result<U> map(F&& transform) const {
        if (isSuccess())
            return Result<U>::success(transform(*value_));
        return Result<U>::failure(error_);
    }
    // The transform may throw ErrorThrown, which becomes the failure.
    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Result<U> flatMap(F&& transform) const {
        if (isFailure())
            return Result<U>::failure(error_);
        try {
            return Result<U>::success(transform(*value_));
        } catch (const ErrorThrown& thrown) {
            return Result<U>::failure(thrown.error);
        }
    }
    template <class F>
    Result mapError(F&& transform) const {
        if (isFailure())
            return failure(transform(error_));
        return *this;
    }
    template <class F>
    Result flatMapError(F&& transform) const {
        if (isSuccess())
            return *this;
        try {
            return failure(transform(error_));
        } catch (const ErrorThrown& thrown) {
            return failure(thrown.error);
        }
    }

    template <class F>
    const Result& withValue(F&& f) const {
        if (isSuccess())
            f(*value_);
        return *this;
    }
    template <class F>
    const Result& withError(F&& f) const {
        if (isFailure())
            f(error_);
        return *this;
    }
    template <class F>
    const Result& ifSuccess(F&& f) const {
        if (isSuccess())
            f();
        return *this;
    }
    template <class F>
    const Result& ifFailure(F&& f) const {
        if (isFailure())
            f();
        return *this;
    }

  private:
    Result(std::optional<T> value, plat::ErrorPtr error)
        : value_(std::move(value)), error_(std::move(error)) {}
    // Exactly one holds: the value on success, else the error (which may be
    // null).
    std::optional<T> value_;
    plat::ErrorPtr error_;
};

}  // namespace httpclient
