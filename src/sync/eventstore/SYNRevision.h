// SYNRevision and SYNRevisionSet: how events say what they have seen.
//
// A revision is one store's counter value: the events of a store are
// numbered 0, 1, 2, ... in the order they were made. A revision set maps store
// identifiers to revision numbers; an event's set is its own revision plus
// the revisions of the other stores it had seen when it was made. Set A
// covers revision (s, n) when A holds s with a number of at least n.
//
// Plain values: copy freely, any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

struct SYNRevision {
    std::string persistentStoreIdentifier;
    int64_t revisionNumber = 0;

    bool operator==(const SYNRevision&) const = default;
    std::string description() const;
};

class SYNRevisionSet {
  public:
    SYNRevisionSet() = default;

    // Adds the revision, keeping the higher number when the store is present.
    void addRevision(const SYNRevision& revision);
    // Sets the store's number, replacing what was there.
    void setRevisionNumber(const std::string& store, int64_t number);
    void removeStore(const std::string& store);

    std::optional<int64_t> revisionNumberForStore(const std::string& store) const;
    bool covers(const std::string& store, int64_t number) const;
    bool covers(const SYNRevision& revision) const {
        return covers(revision.persistentStoreIdentifier, revision.revisionNumber);
    }
    // True when `other` covers every revision of this set.
    bool isLessThanOrEqualTo(const SYNRevisionSet& other) const;

    // For each store of either set the higher number.
    SYNRevisionSet revisionSetByTakingStorewiseMaximumWithRevisionSet(const SYNRevisionSet& other) const;
    // For each store of both sets the lower number; stores missing from
    // either set are left out (one of them has seen nothing of that store).
    SYNRevisionSet revisionSetByTakingStorewiseMinimumWithRevisionSet(const SYNRevisionSet& other) const;

    const std::map<std::string, int64_t>& revisions() const { return revisions_; }
    bool empty() const { return revisions_.empty(); }
    std::size_t size() const { return revisions_.size(); }
    bool operator==(const SYNRevisionSet&) const = default;
    // "{store: n, ...}" in store order, for logs.
    std::string description() const;

  private:
    std::map<std::string, int64_t> revisions_;
};
