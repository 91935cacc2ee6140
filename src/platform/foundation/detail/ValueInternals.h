// Helpers shared by the files that implement Value and its containers
// (Value.cpp, Dictionary.cpp, Set.cpp and the Value*.cpp of one concept each).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace plat::detail {

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

// Finalizer of MurmurHash3: spreads every input bit over the whole word, so
// that the low bits the position index keeps are well mixed.
inline std::size_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
}

inline std::size_t keyHash(std::string_view key) {
    return mix(std::hash<std::string_view>()(key));
}

// Three-way comparisons (ValueComparison.cpp). compareDoubles orders NaN
// below every number and equal to NaN; compareNumbers compares exactly across
// every number kind.
int compareDoubles(double a, double b);
int compareNumbers(const Value& a, const Value& b);

// The platform's description of an array, dictionary or set (ValueDescription.cpp).
void describeCollection(const Value& v, std::string& out);

}  // namespace plat::detail
