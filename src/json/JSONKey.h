// JSONKey: one step of a lookup path into a JSON value, either a position in
// an array or a key in a dictionary.
//
// Integers convert to index steps and texts to key steps implicitly, so a path
// is written as a braced list mixing both: {"users", 0, "name"}. An unsigned
// integer above the signed 64-bit range becomes the largest index (always out
// of bounds).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace json {

class JSONKey {
  public:
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) JSONKey(T index)
        : step_(toIndex(index)) {}
    JSONKey(const char* key) : step_(std::string(key ? key : "")) {}
    JSONKey(std::string key) : step_(std::move(key)) {}
    JSONKey(std::string_view key) : step_(std::string(key)) {}

    static JSONKey index(int64_t i) { return JSONKey(i); }
    static JSONKey key(std::string k) { return JSONKey(std::move(k)); }

    bool isIndex() const { return step_.index() == 0; }
    bool isKey() const { return step_.index() == 1; }
    // Only meaningful for the matching case.
    int64_t indexValue() const { return isIndex() ? std::get<0>(step_) : 0; }
    const std::string& keyValue() const {
        static const std::string empty;
        return isKey() ? std::get<1>(step_) : empty;
    }

    bool operator==(const JSONKey&) const = default;

  private:
    template <class T>
    static int64_t toIndex(T v) {
        if constexpr (std::is_unsigned_v<T>) {
            if (static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return std::numeric_limits<int64_t>::max();
        }
        return static_cast<int64_t>(v);
    }

    std::variant<int64_t, std::string> step_;
};

// An ordered list of steps; an empty path designates the value itself.
using JSONPath = std::vector<JSONKey>;

}  // namespace json
