// Result<T>: a value or an error, for synchronous calls that can fail and also
// return something. An error is never null inside a failed Result.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "platform/foundation/Error.h"

namespace plat {

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(ErrorPtr error) : state_(std::move(error)) { assert(std::get<1>(state_) != nullptr); }

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // value() may only be called when ok(); error() returns null when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const ErrorPtr& error() const {
        static const ErrorPtr none;
        return ok() ? none : std::get<1>(state_);
    }

    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

  private:
    std::variant<T, ErrorPtr> state_;
};

}  // namespace plat
