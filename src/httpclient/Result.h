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
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(plat::ErrorPtr error) { return Result(std::in_place_index<1>, std::move(error)); }

    // Calls `make` once: its value gives success, an ErrorThrown failure.
    template <class F>
    static Result from(F&& make) {
        try {
            return success(make());
        } catch (const ErrorThrown& thrown) {
            return failure(thrown.error);
        }
    }

    bool isSuccess() const { return state_.index() == 0; }
    bool isFailure() const { return !isSuccess(); }
    std::optional<T> value() const {
        if (isSuccess())
            return std::get<0>(state_);
        return std::nullopt;
    }
    [[nodiscard]] plat::ErrorPtr error() const { return isSuccess() ? nullptr : std::get<1>(state_); }
    std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
    std::string debugDescription() const {
        return isSuccess() ? "SUCCESS: " + describeValue(std::get<0>(state_))
                           : "FAILURE: " + describeValue(std::get<1>(state_));
    }
    // The value, or ErrorThrown with the error.
    const T& unwrap() const {
        if (isFailure())
            throw ErrorThrown{std::get<1>(state_)};
        return std::get<0>(state_);
    }

    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Result<U> map(F&& transform) const {
        if (isSuccess())
            return Result<U>::success(transform(std::get<0>(state_)));
        return Result<U>::failure(std::get<1>(state_));
    }
    // The transform may throw ErrorThrown, which becomes the failure.
    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Result<U> flatMap(F&& transform) const {
        if (isFailure())
            return Result<U>::failure(std::get<1>(state_));
        try {
            return Result<U>::success(transform(std::get<0>(state_)));
        } catch (const ErrorThrown& thrown) {
            return Result<U>::failure(thrown.error);
        }
    }
    template <class F>
    Result mapError(F&& transform) const {
        if (isFailure())
            return failure(transform(std::get<1>(state_)));
        return *this;
    }
    template <class F>
    Result flatMapError(F&& transform) const {
        if (isSuccess())
            return *this;
        try {
            return failure(transform(std::get<1>(state_)));
        } catch (const ErrorThrown& thrown) {
            return failure(thrown.error);
        }
    }

    template <class F>
    const Result& withValue(F&& f) const {
        if (isSuccess())
            f(std::get<0>(state_));
        return *this;
    }
    template <class F>
    const Result& withError(F&& f) const {
        if (isFailure())
            f(std::get<1>(state_));
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
    template <std::size_t I, class A>
    Result(std::in_place_index_t<I> i, A&& a) : state_(i, std::forward<A>(a)) {}
    std::variant<T, plat::ErrorPtr> state_;
};

}  // namespace httpclient
