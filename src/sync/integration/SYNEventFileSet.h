// SYNEventFileSet: the names under which one event travels through the cloud
// folder, made from an event of the event store or parsed back from a
// directory listing, with the parts of a multi-file event and the aliases of
// a baseline.
//
// Names end in ".synevent"; fields are joined by "_":
//   save or merge event  "<global count>_<store identifier>_<revision>"
//   baseline             "<global count>_<unique identifier>_<store prefix>"
//   baseline short alias "<global count>_<unique identifier>"
//   part suffix          "_<part>of<total>", only for 2 or more parts.
//
// Names come from other machines, so parsing refuses (no file set) every name
// that could not name one file of the folder it was listed in (empty, ".",
// "..", a leading ".", a "/" or a NUL) and every part suffix that does not
// name a part of its event (part 0, part above the total, a total above
// SYNEventFileSetMaximumNumberOfParts). Membership tests never enumerate the
// aliases, so a listing cannot make one set cost more than its own names.
//
// A file set is a short-lived value owned by one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/Predicate.h"
#include "platform/foundation/FlatHashTable.h"

inline constexpr const char* SYNEventFileExtension = "synevent";
// An event of this many files holds far more changes than any store makes;
// a larger total in a name is refused.
inline constexpr uint64_t SYNEventFileSetMaximumNumberOfParts = 100000;
// One event file holds at most a batch of changes (2000 by default), a few
// megabytes; a file in the cloud larger than this is not taken.
inline constexpr uint64_t SYNEventFileMaximumSize = uint64_t{64} << 20;

class SYNEventFileSet {
  public:
    using Ptr = std::shared_ptr<SYNEventFileSet>;

    // No parts recorded, one part in total, no identifiers.
    SYNEventFileSet() = default;

    // From an event of the event store (call inside its context): a baseline
    // exactly when the type is 100; the prefix is the first 8 characters of
    // the own revision's store identifier; one part, none recorded.
    static Ptr fromStoreModificationEvent(const plat::coredata::ManagedObject& event);
    // The same from an event already loaded whose own revision is loaded
    // too (or that has none), with the event's type; null, reading nothing,
    // when either is a fault.
    static Ptr fromLoadedStoreModificationEvent(const plat::coredata::ManagedObject& event, int16_t& type);
    // Parses a name; null when it does not fit the grammar or is refused.
    static Ptr fromFilename(const std::string& filename, bool isBaseline);
    // Whether the name parses and is spelled exactly as this code writes it
    // (no leading zeros, signs or other extension): the only names that
    // find their event again.
    static bool isCanonicalFilename(const std::string& filename, bool isBaseline);
    // Groups a listing, in the order given: a name that a set already made
    // contains records its part there; any other canonical name starts a new
    // set; the rest is logged ("Unknown file found: %@", level 2) and
    // skipped. Linear in the number of names, whatever they are.
    static std::vector<Ptr> eventFileSetsForFilenames(const std::vector<std::string>& filenames,
                                                      bool containingBaselines);
    // The same grouping with the names each set took from the listing.
    struct Grouping {
        std::vector<Ptr> sets;
        std::vector<std::vector<std::string>> filenames;  // per set, in listing order
    };
    static Grouping groupFilenames(const std::vector<std::string>& filenames, bool containingBaselines);
    static Grouping groupFilenames(const std::set<std::string>& filenames, bool containingBaselines);
    // The keys under which a grouping looks for the set that takes a name:
    // the whole name body with a total of 1, and, when the name ends in a
    // part suffix of a total of 2 or more, the body before the suffix with
    // that total (else empty). Both empty for a name without the extension.
    static std::array<std::string, 2> groupingKeysOfFilename(const std::string& filename);
    // The key of the set's first name body and its total: for an event (not
    // a baseline), one of the keys of every name the set contains, and the
    // same for every set that contains one of them.
    std::string groupingKey() const;
    template <class Names>
    static std::vector<Ptr> eventFileSetsForFilenames(const Names& filenames, bool containingBaselines) {
        return eventFileSetsForFilenames(std::vector<std::string>(filenames.begin(), filenames.end()),
                                         containingBaselines);
    }

    bool isBaseline() const { return baseline_; }
    bool eventShouldBeUnique() const { return eventShouldBeUnique_; }
    uint64_t totalNumberOfParts() const { return totalNumberOfParts_; }
    void setTotalNumberOfParts(uint64_t total) { totalNumberOfParts_ = total; }
    const std::optional<std::string>& persistentStoreIdentifier() const { return persistentStoreIdentifier_; }
    const std::optional<std::string>& persistentStorePrefix() const { return persistentStorePrefix_; }
    const std::optional<std::string>& uniqueIdentifier() const { return uniqueIdentifier_; }
    int64_t globalCount() const { return globalCount_; }
    int64_t revisionNumber() const { return revisionNumber_; }

    const std::set<uint64_t>& partIndexSet() const { return parts_; }
    bool hasAllParts() const { return parts_.size() == totalNumberOfParts_; }

    // The canonical name of a part (1-based).
    std::string preferredFilenameForPartIndex(uint64_t part) const;
    std::vector<std::string> preferredFilenamesForExistingParts() const;
    // Parts 1 to the total; empty for a total of 0.
    std::vector<std::string> allPreferredFilenames() const;
    // Every name under which the part may appear.
    std::set<std::string> aliasesForPartIndex(uint64_t part) const;
    // The aliases of parts 1 to max(total, 1). Enumerates them: prefer
    // containsFile / aliasesAmong for names from a listing.
    std::set<std::string> allAliases() const;
    // Exactly one of allAliases(), found without enumerating them.
    bool containsFile(const std::string& filename) const;
    // The names of the collection that containsFile accepts.
    template <class Names>
    std::set<std::string> aliasesAmong(const Names& names) const {
        std::set<std::string> found;
        for (const auto& name : names) {
            if (containsFile(name)) {
                found.insert(name);
            }
        }
        return found;
    }

    // (part, total) of a name whose fourth field is "<part>of<total>".
    static std::optional<std::pair<int64_t, int64_t>> partFractionForFilename(const std::string& filename);
    // With a fraction: only that part is recorded and the total becomes the
    // fraction's; without one: total 1 and part 1 recorded.
    void updateTotalNumberOfPartsWithFilename(const std::string& filename);
    // With a fraction: its part is recorded; without: total 1, part 1.
    void addPartIndexForFile(const std::string& filename);

    bool representsSameEventAsEventFileSet(const SYNEventFileSet& other) const;
    // Finds the local event: baselines (types 100 and 400) by global count,
    // unique identifier and, when known, store prefix; events (200 and 300)
    // by global count, store identifier and revision.
    plat::coredata::PredicatePtr eventFetchPredicate() const;
    std::string description() const;

  private:
    friend class SYNEventFileSetIndex;
    template <class Names>
    static Grouping groupNames(const Names& filenames, bool containingBaselines);
    // The name bodies (without part suffix and extension) of this event.
    std::vector<std::string> bodies() const;
    std::string firstBody() const;  // bodies().front()
    std::string nameForBody(const std::string& body, uint64_t part) const;
    // Whether the text is one of bodies(), compared without building them.
    bool isBody(std::string_view body) const;
    // The part fraction read from a name (nullopt: none), as
    // updateTotalNumberOfPartsWithFilename (newTotal) or addPartIndexForFile
    // take it.
    void takeFraction(const std::optional<std::pair<int64_t, int64_t>>& fraction, bool newTotal);
    // A part recorded from a name, within the limits.
    void recordPart(int64_t part);

    std::set<uint64_t> parts_;
    bool eventShouldBeUnique_ = false;
    bool baseline_ = false;
    uint64_t totalNumberOfParts_ = 1;
    std::optional<std::string> persistentStoreIdentifier_;
    std::optional<std::string> persistentStorePrefix_;
    std::optional<std::string> uniqueIdentifier_;
    int64_t globalCount_ = 0;
    int64_t revisionNumber_ = 0;
};

// Finds among many file sets one that represents the same event as a given
// set, by looking only at the sets with the same global count (and revision),
// so that matching two listings costs the sum of their sizes, not the product.
class SYNEventFileSetIndex {
  public:
    explicit SYNEventFileSetIndex(const std::vector<SYNEventFileSet::Ptr>& sets);
    // A set of the index, accepted by the filter when one is given, for which
    // representsSameEventAsEventFileSet(other) holds; null when none.
    SYNEventFileSet::Ptr setRepresentingSameEventAs(
        const SYNEventFileSet& other, const std::function<bool(const SYNEventFileSet&)>& accept = {}) const;

    struct Key {
        bool baseline = false;
        int64_t globalCount = 0;
        int64_t revisionNumber = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    // The key of a set: sets that represent the same event share it.
    static Key keyOf(const SYNEventFileSet& set);

  private:
    // A slot names a set by 1 + its position in `sets_` (0: free). The table
    // is sized for every set before the first goes in, so it never grows and
    // sets with the same key lie along one probe run in the order given.
    struct Slot {
        std::size_t hash = 0;
        uint32_t set = 0;
    };
    struct SlotTraits {
        static bool used(const Slot& slot) { return slot.set != 0; }
        static std::size_t hash(const Slot& slot) { return slot.hash; }
    };
    std::vector<SYNEventFileSet::Ptr> sets_;
    std::vector<Key> keys_;  // of each set
    plat::FlatHashTable<Slot, SlotTraits> table_;
};
