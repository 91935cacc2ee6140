#include "platform/foundation/Value.h"

namespace plat {

Set::Set(std::initializer_list<Value> values) {
    for (const Value& v : values)
        insert(v);
}

Array::const_iterator Set::begin() const {
    return values_.begin();
}
Array::const_iterator Set::end() const {
    return values_.end();
}

std::optional<std::size_t> Set::positionOf(const Value& v) const {
    if (index_.active())
        return index_.find(v.hash(), [&](std::size_t p) { return values_[p] == v; });
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (values_[i] == v)
            return i;
    }
    return std::nullopt;
}

bool Set::contains(const Value& v) const {
    return positionOf(v).has_value();
}

bool Set::insert(Value v) {
    if (positionOf(v))
        return false;
    values_.push_back(std::move(v));
    if (index_.active())
        index_.insert(values_.size() - 1, [this](std::size_t i) { return values_[i].hash(); });
    else if (values_.size() > detail::PositionIndex::kThreshold)
        rebuildIndex();
    return true;
}

void Set::reserve(std::size_t count) {
    values_.reserve(count);
    if (count > detail::PositionIndex::kThreshold && count > values_.size())
        index_.rebuild(
            values_.size(), [this](std::size_t i) { return values_[i].hash(); }, count);
}

bool Set::erase(const Value& v) {
    const auto p = positionOf(v);
    if (!p)
        return false;
    if (index_.active())
        index_.erase(v.hash(), *p, values_.size());
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(*p));
    if (values_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    return true;
}

void Set::rebuildIndex() {
    if (values_.size() <= detail::PositionIndex::kThreshold)
        index_.clear();
    else
        index_.rebuild(values_.size(), [this](std::size_t i) { return values_[i].hash(); });
}

bool Set::operator==(const Set& other) const {
    if (size() != other.size())
        return false;
    return std::all_of(values_.begin(), values_.end(), [&](const Value& v) { return other.contains(v); });
}

}  // namespace plat
