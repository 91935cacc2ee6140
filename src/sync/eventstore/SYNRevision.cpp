#include "sync/eventstore/SYNRevision.h"

#include <algorithm>

std::string SYNRevision::description() const {
    return persistentStoreIdentifier + ":" + std::to_string(revisionNumber);
}

void SYNRevisionSet::addRevision(const SYNRevision& revision) {
    auto [it, inserted] = revisions_.emplace(revision.persistentStoreIdentifier, revision.revisionNumber);
    if (!inserted) {
        it->second = std::max(it->second, revision.revisionNumber);
    }
}

void SYNRevisionSet::setRevisionNumber(const std::string& store, int64_t number) {
    revisions_[store] = number;
}

void SYNRevisionSet::removeStore(const std::string& store) {
    revisions_.erase(store);
}

std::optional<int64_t> SYNRevisionSet::revisionNumberForStore(const std::string& store) const {
    auto it = revisions_.find(store);
    return it == revisions_.end() ? std::nullopt : std::optional<int64_t>(it->second);
}

bool SYNRevisionSet::covers(const std::string& store, int64_t number) const {
    auto it = revisions_.find(store);
    return it != revisions_.end() && it->second >= number;
}

bool SYNRevisionSet::isLessThanOrEqualTo(const SYNRevisionSet& other) const {
    return std::all_of(revisions_.begin(), revisions_.end(),
                       [&](const auto& entry) { return other.covers(entry.first, entry.second); });
}

SYNRevisionSet SYNRevisionSet::revisionSetByTakingStorewiseMaximumWithRevisionSet(
    const SYNRevisionSet& other) const {
    SYNRevisionSet result = *this;
    for (const auto& [store, number] : other.revisions_) {
        result.addRevision({store, number});
    }
    return result;
}

SYNRevisionSet SYNRevisionSet::revisionSetByTakingStorewiseMinimumWithRevisionSet(
    const SYNRevisionSet& other) const {
    SYNRevisionSet result;
    for (const auto& [store, number] : revisions_) {
        if (auto theirs = other.revisionNumberForStore(store)) {
            result.revisions_[store] = std::min(number, *theirs);
        }
    }
    return result;
}

std::string SYNRevisionSet::description() const {
    std::string text = "{";
    for (const auto& [store, number] : revisions_) {
        if (text.size() > 1) {
            text += ", ";
        }
        text += store + ": " + std::to_string(number);
    }
    return text + "}";
}
