#include "platform/foundation/IndexSet.h"

#include <algorithm>
#include <limits>
#include <string>

#include "platform/foundation/Error.h"

namespace plat {

IndexSet::const_iterator::const_iterator(const IndexSet* set, std::size_t run) : set_(set), run_(run) {
    if (run_ < set_->runs_.size())
        value_ = set_->runs_[run_].first;
}

IndexSet::const_iterator& IndexSet::const_iterator::operator++() {
    if (++value_ == set_->runs_[run_].end) {
        ++run_;
        value_ = run_ < set_->runs_.size() ? set_->runs_[run_].first : 0;
    }
    return *this;
}

IndexSet::IndexSet(std::initializer_list<uint64_t> indexes) {
    for (uint64_t index : indexes)
        addIndex(index);
}

IndexSet IndexSet::indexSetWithIndexesInRange(Range range) {
    IndexSet set;
    set.addIndexesInRange(range);
    return set;
}

IndexSet::Run IndexSet::toRun(Range range) {
    if (range.length > std::numeric_limits<uint64_t>::max() - range.location) {
        throw Exception(RangeException, "Range {" + std::to_string(range.location) + ", " +
                                            std::to_string(range.length) + "} exceeds the largest index");
    }
    return {range.location, range.location + range.length};
}

std::vector<IndexSet::Run>::const_iterator IndexSet::firstRunEndingAfter(uint64_t index) const {
    return std::upper_bound(runs_.begin(), runs_.end(), index,
                            [](uint64_t value, const Run& run) { return value < run.end; });
}

void IndexSet::addRun(Run run) {
    if (run.first == run.end)
        return;
    // Runs that overlap or touch the new one merge with it.
    auto first = std::lower_bound(runs_.begin(), runs_.end(), run.first,
                                  [](const Run& r, uint64_t value) { return r.end < value; });
    auto last = std::upper_bound(first, runs_.end(), run.end,
                                 [](uint64_t value, const Run& r) { return value < r.first; });
    if (first == last) {
        runs_.insert(first, run);
        return;
    }
    first->first = std::min(first->first, run.first);
    first->end = std::max((last - 1)->end, run.end);
    runs_.erase(first + 1, last);
}

void IndexSet::removeRun(Run run) {
    if (run.first == run.end)
        return;
    auto first = runs_.begin() + (firstRunEndingAfter(run.first) - runs_.cbegin());
    auto last = std::lower_bound(first, runs_.end(), run.end,
                                 [](const Run& r, uint64_t value) { return r.first < value; });
    if (first == last)
        return;
    std::vector<Run> kept;
    if (first->first < run.first)
        kept.push_back({first->first, run.first});
    if ((last - 1)->end > run.end)
        kept.push_back({run.end, (last - 1)->end});
    first = runs_.erase(first, last);
    runs_.insert(first, kept.begin(), kept.end());
}

void IndexSet::addIndexesInRange(Range range) {
    addRun(toRun(range));
}

void IndexSet::removeIndexesInRange(Range range) {
    removeRun(toRun(range));
}

void IndexSet::addIndexes(const IndexSet& other) {
    for (const Run& run : other.runs_)
        addRun(run);
}

void IndexSet::removeIndexes(const IndexSet& other) {
    for (const Run& run : other.runs_)
        removeRun(run);
}

bool IndexSet::containsIndex(uint64_t index) const {
    auto it = firstRunEndingAfter(index);
    return it != runs_.end() && it->first <= index;
}

bool IndexSet::containsIndexesInRange(Range range) const {
    Run run = toRun(range);
    if (run.first == run.end)
        return true;
    auto it = firstRunEndingAfter(run.first);
    return it != runs_.end() && it->first <= run.first && it->end >= run.end;
}

uint64_t IndexSet::count() const {
    uint64_t total = 0;
    for (const Run& run : runs_)
        total += run.end - run.first;
    return total;
}

std::optional<uint64_t> IndexSet::firstIndex() const {
    if (runs_.empty())
        return std::nullopt;
    return runs_.front().first;
}

std::optional<uint64_t> IndexSet::lastIndex() const {
    if (runs_.empty())
        return std::nullopt;
    return runs_.back().end - 1;
}

std::optional<uint64_t> IndexSet::indexGreaterThanOrEqualToIndex(uint64_t index) const {
    auto it = firstRunEndingAfter(index);
    if (it == runs_.end())
        return std::nullopt;
    return std::max(it->first, index);
}

std::optional<uint64_t> IndexSet::indexGreaterThanIndex(uint64_t index) const {
    if (index == std::numeric_limits<uint64_t>::max())
        return std::nullopt;
    return indexGreaterThanOrEqualToIndex(index + 1);
}

std::optional<uint64_t> IndexSet::indexLessThanOrEqualToIndex(uint64_t index) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), index,
                               [](uint64_t value, const Run& run) { return value < run.first; });
    if (it == runs_.begin())
        return std::nullopt;
    --it;
    return std::min(it->end - 1, index);
}

std::optional<uint64_t> IndexSet::indexLessThanIndex(uint64_t index) const {
    if (index == 0)
        return std::nullopt;
    return indexLessThanOrEqualToIndex(index - 1);
}

std::vector<IndexSet::Range> IndexSet::ranges() const {
    std::vector<Range> out;
    out.reserve(runs_.size());
    for (const Run& run : runs_)
        out.push_back({run.first, run.end - run.first});
    return out;
}

}  // namespace plat
