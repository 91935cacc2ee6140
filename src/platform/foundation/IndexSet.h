// IndexSet: a set of unsigned integer indexes kept as sorted, disjoint,
// non-adjacent ranges, so that long runs cost one entry (the platform's
// mutable index set).
//
// Indexes go from 0 to UINT64_MAX - 1. A range that reaches past that raises
// plat::Exception named RangeException; every other operation is total.
// Queries return nullopt where the platform returns "not found". IndexSet is a
// plain value: copy it freely; it is not safe to change one from several
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <vector>

namespace plat {

class IndexSet {
  public:
    // `length` indexes starting at `location`.
    struct Range {
        uint64_t location = 0;
        uint64_t length = 0;
        bool operator==(const Range&) const = default;
    };

    // Iterates over the indexes in increasing order.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = uint64_t;
        using difference_type = std::ptrdiff_t;
        using pointer = const uint64_t*;
        using reference = uint64_t;

        const_iterator() = default;
        uint64_t operator*() const { return value_; }
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& other) const {
            return run_ == other.run_ && value_ == other.value_;
        }

      private:
        friend class IndexSet;
        const_iterator(const IndexSet* set, std::size_t run);
        const IndexSet* set_ = nullptr;
        std::size_t run_ = 0;
        uint64_t value_ = 0;
    };

    IndexSet() = default;
    IndexSet(std::initializer_list<uint64_t> indexes);
    static IndexSet indexSetWithIndexesInRange(Range range);

    void addIndex(uint64_t index) { addIndexesInRange({index, 1}); }
    void addIndexesInRange(Range range);
    void addIndexes(const IndexSet& other);
    void removeIndex(uint64_t index) { removeIndexesInRange({index, 1}); }
    void removeIndexesInRange(Range range);
    void removeIndexes(const IndexSet& other);
    void removeAllIndexes() { runs_.clear(); }

    bool containsIndex(uint64_t index) const;
    // True for an empty range.
    bool containsIndexesInRange(Range range) const;
    uint64_t count() const;
    bool empty() const { return runs_.empty(); }

    std::optional<uint64_t> firstIndex() const;
    std::optional<uint64_t> lastIndex() const;
    std::optional<uint64_t> indexGreaterThanIndex(uint64_t index) const;
    std::optional<uint64_t> indexGreaterThanOrEqualToIndex(uint64_t index) const;
    std::optional<uint64_t> indexLessThanIndex(uint64_t index) const;
    std::optional<uint64_t> indexLessThanOrEqualToIndex(uint64_t index) const;

    // The maximal runs of consecutive indexes, in increasing order.
    std::vector<Range> ranges() const;
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, runs_.size()); }

    bool operator==(const IndexSet& other) const { return runs_ == other.runs_; }

  private:
    // Half-open [first, end).
    struct Run {
        uint64_t first;
        uint64_t end;
        bool operator==(const Run&) const = default;
    };
    static Run toRun(Range range);
    void addRun(Run run);
    void removeRun(Run run);
    // First run whose end is beyond index, i.e. that holds index or lies after it.
    std::vector<Run>::const_iterator firstRunEndingAfter(uint64_t index) const;

    std::vector<Run> runs_;
};

}  // namespace plat
