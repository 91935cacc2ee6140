// Index: a position in the collection view of a JSON value (see JSON.h):
// a position in an array, a member position in a dictionary (in the
// dictionary's own order, which is insertion order), or the single position of
// every other kind of value.
//
// Ordering is defined by `<` alone: `<=`, `>=` and `>` are derived from it, so
// positions of different cases are neither equal nor less than each other, yet
// both <= and >= each other. A position is meaningful only for the value that
// produced it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace json {

class Index {
  public:
    enum class Case { Array, Dictionary, Null };

    static Index array(int64_t position) { return Index(Case::Array, position); }
    static Index dictionary(std::size_t position) {
        return Index(Case::Dictionary, static_cast<int64_t>(position));
    }
    static Index null() { return Index(Case::Null, 0); }

    Case kind() const { return case_; }
    // The payload of the array and dictionary cases (0 for null).
    int64_t position() const { return position_; }

    friend bool operator==(const Index& a, const Index& b) {
        return a.case_ == b.case_ && (a.case_ == Case::Null || a.position_ == b.position_);
    }
    friend bool operator<(const Index& a, const Index& b) {
        return a.case_ == b.case_ && a.case_ != Case::Null && a.position_ < b.position_;
    }
    friend bool operator<=(const Index& a, const Index& b) { return !(b < a); }
    friend bool operator>=(const Index& a, const Index& b) { return !(a < b); }
    friend bool operator>(const Index& a, const Index& b) { return b < a; }

  private:
    Index(Case c, int64_t position) : case_(c), position_(position) {}

    Case case_;
    int64_t position_;
};

}  // namespace json
