// Dictionary: insertion-ordered string keys over a vector, with a hash index
// (detail::PositionIndex) once it holds more than kThreshold keys.
#include "platform/foundation/Value.h"

#include <algorithm>
#include <cstring>

#include "platform/foundation/detail/ValueInternals.h"

namespace plat {
namespace {

using detail::keyHash;

// Key equality that settles most unequal pairs without calling memcmp.
bool sameKey(const std::string& a, const std::string& b) {
    return a.size() == b.size() && (a.empty() || (a.front() == b.front() && a.back() == b.back())) &&
           std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const Entry& entry : entries)
        set(entry.first, entry.second);
}
Dictionary::Dictionary(const Dictionary& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<detail::PositionIndex>(*other.index_) : nullptr) {}
Dictionary::Dictionary(Dictionary&& other) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        Dictionary copy(other);
        *this = std::move(copy);
    }
    return *this;
}
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept = default;
Dictionary::~Dictionary() = default;

std::optional<std::size_t> Dictionary::positionOf(std::string_view key) const {
    if (index_)
        return index_->find(keyHash(key), [&](std::size_t p) { return entries_[p].first == key; });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first == key)
            return i;
    }
    return std::nullopt;
}

const Value* Dictionary::find(std::string_view key) const {
    const auto p = positionOf(key);
    return p ? &entries_[*p].second : nullptr;
}

Value* Dictionary::find(std::string_view key) {
    const auto p = positionOf(key);
    return p ? &entries_[*p].second : nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (index_)
        index_->insert(entries_.size() - 1, [this](std::size_t i) { return keyHash(entries_[i].first); });
    else if (entries_.size() > detail::PositionIndex::kThreshold)
        rebuildIndex();
}

void Dictionary::reserve(std::size_t count) {
    entries_.reserve(count);
    if (count > detail::PositionIndex::kThreshold && count > entries_.size())
        index().rebuild(
            entries_.size(), [this](std::size_t i) { return keyHash(entries_[i].first); }, count);
}

Dictionary Dictionary::fromEntries(Entries entries) {
    Dictionary d;
    d.entries_ = std::move(entries);
    d.mergeRepeatedKeys();
    return d;
}

Dictionary Dictionary::fromEntries(Entries entries, KeysAre keys) {
    Dictionary d;
    d.entries_ = std::move(entries);
    d.mergeRepeatedKeys(keys);
    return d;
}

void Dictionary::mergeRepeatedKeys(KeysAre keys) {
    if (keys == KeysAre::Unknown || entries_.size() > detail::PositionIndex::kThreshold)
        mergeRepeatedKeys();
}

// Folds every repeated key into its first occurrence, keeping the last value,
// and leaves the index built for the remaining entries.
void Dictionary::mergeRepeatedKeys() {
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        mergeRepeatedKeysByScan();
    else
        mergeRepeatedKeysByIndex();
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.reset();
}

void Dictionary::mergeRepeatedKeysByScan() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        auto first = std::find_if(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(kept),
                                  [&](const Entry& e) { return sameKey(e.first, entry.first); });
        if (first != entries_.begin() + static_cast<std::ptrdiff_t>(kept))
            first->second = std::move(entry.second);
        else if (kept++ != i)
            entries_[kept - 1] = std::move(entry);
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

// Entries move down over the repeated ones as they go, so the index always
// holds the final positions of the entries kept so far.
void Dictionary::mergeRepeatedKeysByIndex() {
    index().prepare(entries_.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        const std::size_t hash = keyHash(entry.first);
        const auto first =
            index_->find(hash, [&](std::size_t p) { return entries_[p].first == entry.first; });
        if (first) {
            entries_[*first].second = std::move(entry.second);
            continue;
        }
        if (kept != i)
            entries_[kept] = std::move(entry);
        index_->add(hash, kept++);
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

bool Dictionary::erase(std::string_view key) {
    const auto p = positionOf(key);
    if (!p)
        return false;
    if (index_)
        index_->erase(keyHash(key), *p, entries_.size());
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*p));
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.reset();
    return true;
}

void Dictionary::clear() {
    entries_.clear();
    index_.reset();
}

detail::PositionIndex& Dictionary::index() {
    if (!index_)
        index_ = std::make_unique<detail::PositionIndex>();
    return *index_;
}

void Dictionary::rebuildIndex() {
    if (entries_.size() <= detail::PositionIndex::kThreshold)
        index_.reset();
    else
        index().rebuild(entries_.size(), [this](std::size_t i) { return keyHash(entries_[i].first); });
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& entry : entries_)
        out.push_back(entry.first);
    return out;
}

bool Dictionary::operator==(const Dictionary& other) const {
    if (size() != other.size())
        return false;
    for (const Entry& entry : entries_) {
        const Value* theirs = other.find(entry.first);
        if (theirs == nullptr || !(*theirs == entry.second))
            return false;
    }
    return true;
}

}  // namespace plat
