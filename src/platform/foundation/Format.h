// The printf-style formatter every message of the system goes through.
//
//   plat::format("Could not import data file: %@", error)
//   plat::format("%lli_%@_%lli", globalCount, storeId, revision)
//
// Conversions: %@ (an object's or value's description; strings as themselves;
// nil as "(null)"), d i u o x X c C s S p f F e E g G a A and %%, with the flags
// "- + space 0 #" (also after the width, as in "%18#llx"), widths and precisions (also "*" and "*N$"),
// positional arguments ("%2$@"), and the length modifiers hh h l ll q j z t L (accepted, see below). Numbers
// are written in the C locale whatever the process locale.
//
// Arguments are typed, so the formatter never reads past the argument list or
// misreads one: a missing argument formats as 0 or "(null)"; a number given
// to %@ or %s prints the number; a string given to a number conversion prints
// 0; %d of an unsigned value prints it unsigned. Length modifiers only matter
// where C would change the result: hh and h truncate, and a negative value of
// %u/%x/%o is taken in two's complement at the wider of its own size and the
// modifier's. An unknown or unfinished conversion (and %n) is copied as it
// stands. String widths and precisions count UTF-16 units and never cut a
// character. Widths and precisions are capped at 65536.
//
// Thread-safe; allocation only for the result string.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/Object.h"

namespace plat {

class Value;

namespace detail {
template <class T>
concept UnscopedEnum = std::is_enum_v<T> && std::is_convertible_v<T, std::underlying_type_t<T>>;
template <class T>
concept ObjectType = std::is_base_of_v<Object, std::remove_cv_t<T>>;
}  // namespace detail

// One argument of a format call. A FormatArg only refers to the argument it
// was made from (strings, values and objects are not copied), so it is valid
// for the duration of the call; format() builds them for you.
class FormatArg {
  public:
    enum class Kind : uint8_t { Nil, Int, UInt, Double, String, Value, Object, Pointer };

    FormatArg() noexcept : kind_(Kind::Nil) {}
    FormatArg(std::nullptr_t) noexcept : kind_(Kind::Nil) {}
    template <std::integral T>
    FormatArg(T v) noexcept : size_(static_cast<uint8_t>(sizeof(T))) {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Int;
            u_.i = v;
        } else {
            kind_ = Kind::UInt;
            u_.u = v;
        }
    }
    // Unscoped enums format as their integer value.
    template <detail::UnscopedEnum T>
    FormatArg(T v) noexcept : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
    FormatArg(double v) noexcept : kind_(Kind::Double) { u_.d = v; }
    FormatArg(float v) noexcept : kind_(Kind::Double) { u_.d = v; }
    FormatArg(long double v) noexcept : kind_(Kind::Double) { u_.d = static_cast<double>(v); }
    // A null C string is nil.
    FormatArg(const char* s) noexcept : kind_(s != nullptr ? Kind::String : Kind::Nil) {
        if (s != nullptr)
            u_.s = {s, std::char_traits<char>::length(s)};
    }
    FormatArg(char* s) noexcept : FormatArg(static_cast<const char*>(s)) {}
    FormatArg(std::string_view s) noexcept : kind_(Kind::String) { u_.s = {s.data(), s.size()}; }
    FormatArg(const std::string& s) noexcept : FormatArg(std::string_view(s)) {}
    // nullopt is nil.
    FormatArg(const std::optional<std::string>& s) noexcept : kind_(s ? Kind::String : Kind::Nil) {
        if (s)
            u_.s = {s->data(), s->size()};
    }
    FormatArg(const plat::Value& v) noexcept : kind_(Kind::Value) { u_.value = &v; }
    // A null object is nil.
    template <detail::ObjectType T>
    FormatArg(const std::shared_ptr<T>& o) noexcept : kind_(o ? Kind::Object : Kind::Nil) {
        u_.object = o.get();
    }
    // A raw object pointer (such as `this`) prints the object too.
    FormatArg(const Object* o) noexcept : kind_(o != nullptr ? Kind::Object : Kind::Nil) { u_.object = o; }
    FormatArg(const void* p) noexcept : kind_(Kind::Pointer) { u_.p = p; }

    Kind kind() const { return kind_; }
    // Byte size of an integer argument's type (1, 2, 4 or 8).
    unsigned size() const { return size_; }
    int64_t intValue() const { return u_.i; }
    uint64_t uintValue() const { return u_.u; }
    double doubleValue() const { return u_.d; }
    std::string_view stringValue() const { return {u_.s.data, u_.s.size}; }
    const plat::Value& value() const { return *u_.value; }
    const Object& object() const { return *u_.object; }
    const void* pointer() const { return u_.p; }

  private:
    struct Chars {
        const char* data;
        std::size_t size;
    };
    Kind kind_;
    uint8_t size_ = 8;
    union {
        int64_t i;
        uint64_t u;
        double d;
        Chars s;
        const plat::Value* value;
        const Object* object;
        const void* p;
    } u_{};
};

// The formatting core: formats `fmt` with `args` (see the file comment).
std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return formatArgs(fmt, {});
    } else {
        // Copy-initialisation, so that no argument converts through a temporary
        // that would be gone before formatArgs reads it.
        const FormatArg list[] = {args...};
        return formatArgs(fmt, list);
    }
}

}  // namespace plat
