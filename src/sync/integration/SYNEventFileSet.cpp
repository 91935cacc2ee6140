#include "sync/integration/SYNEventFileSet.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <unordered_map>

#include "platform/foundation/Text.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNPathComponent.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

namespace {

using plat::coredata::Predicate;

constexpr std::size_t kPrefixLength = 8;

// Views into text: keep text alive while they are used.
std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        auto found = text.find(separator, start);
        if (found == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, found - start));
        start = found + separator.size();
    }
}

// The text at the only occurrence of the separator in it, in two pieces;
// nullopt when it holds none or more than one (split() would not give two).
std::optional<std::pair<std::string_view, std::string_view>> splitInTwo(std::string_view text,
                                                                        std::string_view separator) {
    const auto found = text.find(separator);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = text.substr(found + separator.size());
    if (rest.find(separator) != std::string_view::npos) {
        return std::nullopt;
    }
    return std::make_pair(text.substr(0, found), rest);
}

// The name without its last path extension, whatever it is.
std::string_view deletingPathExtension(std::string_view name) {
    auto dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

// The platform's reading of a number at the start of a string (0 when none).
int64_t longLongValue(std::string_view text) {
    return plat::text::longLongValue(text);
}

// The name without the event files' extension (and its dot); nullopt when
// the name does not end with it or is nothing else.
std::optional<std::string_view> stemOfEventFilename(std::string_view filename) {
    constexpr std::string_view extension(SYNEventFileExtension);
    if (filename.size() <= extension.size() + 1 || !filename.ends_with(extension) ||
        filename[filename.size() - extension.size() - 1] != '.') {
        return std::nullopt;
    }
    return filename.substr(0, filename.size() - extension.size() - 1);
}

// A number as std::to_string writes it, in a buffer of the caller's.
template <class Number>
std::string_view decimal(Number number, std::array<char, 24>& buffer) {
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    return std::string_view(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
}

std::string orNull(const std::optional<std::string>& text) {
    return text ? *text : "(null)";
}

std::string prefixOf(std::string_view identifier) {
    return std::string(identifier.substr(0, std::min(identifier.size(), kPrefixLength)));
}

// Digits only, no sign, no blanks: the form this code writes.
std::optional<uint64_t> strictNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) {
        return std::nullopt;
    }
    uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    return number;
}

bool fractionIsValid(const std::pair<int64_t, int64_t>& fraction) {
    const auto [part, total] = fraction;
    return part >= 1 && total >= 1 && part <= total &&
           static_cast<uint64_t>(total) <= SYNEventFileSetMaximumNumberOfParts;
}

}  // namespace

SYNEventFileSet::Ptr SYNEventFileSet::fromStoreModificationEvent(const plat::coredata::ManagedObject& event) {
    auto set = std::make_shared<SYNEventFileSet>();
    set->baseline_ = SYNStoreModificationEvent::type(event) == SYNStoreModificationEventTypeBaseline;
    set->globalCount_ = SYNStoreModificationEvent::globalCount(event);
    set->uniqueIdentifier_ = SYNStoreModificationEvent::uniqueIdentifier(event);
    if (auto revision = SYNStoreModificationEvent::revision(event)) {
        set->revisionNumber_ = revision->revisionNumber;
        set->persistentStoreIdentifier_ = revision->persistentStoreIdentifier;
        set->persistentStorePrefix_ = prefixOf(revision->persistentStoreIdentifier);
    }
    set->eventShouldBeUnique_ = true;
    return set;
}

SYNEventFileSet::Ptr SYNEventFileSet::fromLoadedStoreModificationEvent(
    const plat::coredata::ManagedObject& event, int16_t& type) {
    if (event.isFault()) {
        return nullptr;
    }
    const auto record = event.objectForKey("eventRevision");
    if (record && record->isFault()) {
        return nullptr;
    }
    type = SYNStoreModificationEvent::type(event);
    auto set = std::make_shared<SYNEventFileSet>();
    set->baseline_ = type == SYNStoreModificationEventTypeBaseline;
    set->globalCount_ = SYNStoreModificationEvent::globalCount(event);
    set->uniqueIdentifier_ = SYNStoreModificationEvent::uniqueIdentifier(event);
    if (record) {
        const SYNRevision revision = SYNEventRevision::revision(*record);
        set->revisionNumber_ = revision.revisionNumber;
        set->persistentStorePrefix_ = prefixOf(revision.persistentStoreIdentifier);
        set->persistentStoreIdentifier_ = std::move(revision.persistentStoreIdentifier);
    }
    set->eventShouldBeUnique_ = true;
    return set;
}

SYNEventFileSet::Ptr SYNEventFileSet::fromFilename(const std::string& filename, bool isBaseline) {
    if (!SYNIsValidPathComponent(filename) || filename.front() == '.') {
        return nullptr;
    }
    const auto fraction = partFractionForFilename(filename);
    if (fraction && !fractionIsValid(*fraction)) {
        return nullptr;
    }
    const std::string_view stem = deletingPathExtension(filename);
    const auto components = split(stem, "_");
    auto set = std::make_shared<SYNEventFileSet>();
    set->baseline_ = isBaseline;
    set->globalCount_ = longLongValue(components[0]);
    if (!isBaseline) {
        if (components.size() < 3) {
            return nullptr;
        }
        set->persistentStoreIdentifier_ = std::string(components[1]);
        set->persistentStorePrefix_ = prefixOf(components[1]);
        set->revisionNumber_ = longLongValue(components[2]);
        set->eventShouldBeUnique_ = true;
    } else if (components.size() >= 3) {
        set->uniqueIdentifier_ = std::string(components[1]);
        set->persistentStorePrefix_ = std::string(components[2]);
        set->revisionNumber_ = -1;
        set->eventShouldBeUnique_ = true;
    } else if (components.size() == 2) {
        set->uniqueIdentifier_ = std::string(components[1]);
        set->revisionNumber_ = -1;
        set->eventShouldBeUnique_ = false;
        return set;
    } else {
        return nullptr;
    }
    set->takeFraction(fraction, true);
    set->takeFraction(fraction, false);
    return set;
}

bool SYNEventFileSet::isCanonicalFilename(const std::string& filename, bool isBaseline) {
    auto set = fromFilename(filename, isBaseline);
    return set && set->containsFile(filename);
}

namespace {

// The index key of a set's name body and its total: every name a set
// contains has one of its bodies and, when the set has 2 or more parts, the
// set's total in its part suffix.
void appendTotalOfKey(std::string& key, uint64_t total) {
    std::array<char, 24> buffer;
    key += '\n';
    key += decimal(std::max<uint64_t>(total, 1), buffer);
}

std::string groupingKeyOf(std::string_view body, uint64_t total) {
    std::string key;
    key.reserve(body.size() + 22);  // the newline and the total's digits
    key.append(body);
    appendTotalOfKey(key, total);
    return key;
}

}  // namespace

std::array<std::string, 2> SYNEventFileSet::groupingKeysOfFilename(const std::string& filename) {
    std::array<std::string, 2> keys;
    const auto stem = stemOfEventFilename(filename);
    if (!stem) {
        return keys;
    }
    const std::string_view full = *stem;
    keys[0] = groupingKeyOf(full, 1);
    if (auto separator = full.rfind('_'); separator != std::string_view::npos) {
        auto fraction = splitInTwo(full.substr(separator + 1), "of");
        auto total = fraction ? strictNumber(fraction->second) : std::nullopt;
        if (total && *total > 1) {
            keys[1] = groupingKeyOf(full.substr(0, separator), *total);
        }
    }
    return keys;
}

std::string SYNEventFileSet::groupingKey() const {
    // The body made is the key's beginning: no copy of it.
    std::string key = firstBody();
    appendTotalOfKey(key, totalNumberOfParts_);
    return key;
}

std::vector<SYNEventFileSet::Ptr> SYNEventFileSet::eventFileSetsForFilenames(
    const std::vector<std::string>& filenames, bool containingBaselines) {
    return groupFilenames(filenames, containingBaselines).sets;
}

SYNEventFileSet::Grouping SYNEventFileSet::groupFilenames(const std::vector<std::string>& filenames,
                                                          bool containingBaselines) {
    return groupNames(filenames, containingBaselines);
}

SYNEventFileSet::Grouping SYNEventFileSet::groupFilenames(const std::set<std::string>& filenames,
                                                          bool containingBaselines) {
    return groupNames(filenames, containingBaselines);
}

template <class Names>
SYNEventFileSet::Grouping SYNEventFileSet::groupNames(const Names& filenames, bool containingBaselines) {
    // The sets are indexed by (body, total), so each name is looked up in
    // constant time instead of being compared with every set made so far. A
    // set whose total changes is indexed again.
    Grouping grouping;
    auto& sets = grouping.sets;
    std::unordered_map<std::string, std::vector<std::size_t>> index;
    std::vector<std::vector<std::string>> keysOfSet;
    auto indexSet = [&](std::size_t i) {
        for (const auto& key : keysOfSet[i]) {
            auto& list = index[key];
            list.erase(std::remove(list.begin(), list.end(), i), list.end());
        }
        keysOfSet[i].clear();
        for (const auto& body : sets[i]->bodies()) {
            auto key = groupingKeyOf(body, sets[i]->totalNumberOfParts_);
            index[key].push_back(i);
            keysOfSet[i].push_back(std::move(key));
        }
    };
    for (const auto& name : filenames) {
        std::optional<std::size_t> owner;
        for (const auto& key : groupingKeysOfFilename(name)) {
            auto found = key.empty() ? index.end() : index.find(key);
            if (found == index.end()) {
                continue;
            }
            for (std::size_t i : found->second) {
                if ((!owner || i < *owner) && sets[i]->containsFile(name)) {
                    owner = i;
                }
            }
        }
        if (owner) {
            const uint64_t total = sets[*owner]->totalNumberOfParts_;
            sets[*owner]->addPartIndexForFile(name);
            grouping.filenames[*owner].push_back(name);
            if (sets[*owner]->totalNumberOfParts_ != total) {
                indexSet(*owner);
            }
            continue;
        }
        // Only names in the form this code writes make a set: a name read
        // leniently ("012_S_5") would be looked for under another spelling.
        auto set = fromFilename(name, containingBaselines);
        if (set && set->containsFile(name)) {
            sets.push_back(std::move(set));
            grouping.filenames.push_back({name});
            keysOfSet.emplace_back();
            indexSet(sets.size() - 1);
        } else {
            SYN_LOG(SYNLoggingLevelWarning, "Unknown file found: %@", name);
        }
    }
    return grouping;
}

// --- Index ----------------------------------------------------------------------

namespace {

// Sets that may represent the same event share the baseline flag and the
// global count, and events also the revision (the other fields may be
// unknown on one side and then match anything).
SYNEventFileSetIndex::Key sameEventKey(const SYNEventFileSet& set) {
    return {set.isBaseline(), set.globalCount(), set.isBaseline() ? 0 : set.revisionNumber()};
}

}  // namespace

SYNEventFileSetIndex::Key SYNEventFileSetIndex::keyOf(const SYNEventFileSet& set) {
    return sameEventKey(set);
}

std::size_t SYNEventFileSetIndex::KeyHash::operator()(const Key& key) const {
    uint64_t hash = static_cast<uint64_t>(key.globalCount) * 0x9E3779B97F4A7C15ULL;
    hash ^= static_cast<uint64_t>(key.revisionNumber) + 0x632BE59BD9B4E019ULL + (hash << 6) + (hash >> 2);
    return static_cast<std::size_t>(hash ^ (key.baseline ? 0x5bd1e995ULL : 0));
}

SYNEventFileSetIndex::SYNEventFileSetIndex(const std::vector<SYNEventFileSet::Ptr>& sets) : sets_(sets) {
    keys_.reserve(sets_.size());
    table_.reserve(sets_.size());
    for (std::size_t i = 0; i < sets_.size(); ++i) {
        keys_.push_back(sameEventKey(*sets_[i]));
        const std::size_t hash = KeyHash()(keys_.back());
        table_.insertNew(hash, Slot{hash, static_cast<uint32_t>(i + 1)});
    }
}

SYNEventFileSet::Ptr SYNEventFileSetIndex::setRepresentingSameEventAs(
    const SYNEventFileSet& other, const std::function<bool(const SYNEventFileSet&)>& accept) const {
    const Key key = sameEventKey(other);
    const std::size_t hash = KeyHash()(key);
    const Slot* found = table_.findIf(hash, [&](const Slot& slot) {
        if (slot.hash != hash || !(keys_[slot.set - 1] == key)) {
            return false;
        }
        const SYNEventFileSet& set = *sets_[slot.set - 1];
        return (!accept || accept(set)) && set.representsSameEventAsEventFileSet(other);
    });
    return found ? sets_[found->set - 1] : nullptr;
}

std::string SYNEventFileSet::firstBody() const {
    // "<count>_<store>_<revision>" for events, "<count>_<unique>_<prefix>"
    // for baselines, appended in place.
    std::array<char, 24> buffer;
    std::string body(decimal(globalCount_, buffer));
    body += '_';
    if (baseline_) {
        body += uniqueIdentifier_ ? std::string_view(*uniqueIdentifier_) : std::string_view("(null)");
        body += '_';
        if (persistentStorePrefix_) {
            body += *persistentStorePrefix_;
        } else if (persistentStoreIdentifier_) {
            body += std::string_view(*persistentStoreIdentifier_)
                        .substr(0, std::min(persistentStoreIdentifier_->size(), kPrefixLength));
        } else {
            body += "(null)";
        }
        return body;
    }
    body += persistentStoreIdentifier_ ? std::string_view(*persistentStoreIdentifier_)
                                       : std::string_view("(null)");
    body += '_';
    body += decimal(revisionNumber_, buffer);
    return body;
}

std::vector<std::string> SYNEventFileSet::bodies() const {
    std::vector<std::string> bodies{firstBody()};
    if (baseline_) {
        // The short alias: without the store's prefix.
        std::array<char, 24> buffer;
        std::string body(decimal(globalCount_, buffer));
        body += '_';
        body += uniqueIdentifier_ ? std::string_view(*uniqueIdentifier_) : std::string_view("(null)");
        bodies.push_back(std::move(body));
    }
    return bodies;
}

std::string SYNEventFileSet::nameForBody(const std::string& body, uint64_t part) const {
    std::string name = body;
    if (totalNumberOfParts_ > 1) {
        std::array<char, 24> buffer;
        name += '_';
        name += decimal(part, buffer);
        name += "of";
        name += decimal(totalNumberOfParts_, buffer);
    }
    name += '.';
    name += SYNEventFileExtension;
    return name;
}

std::string SYNEventFileSet::preferredFilenameForPartIndex(uint64_t part) const {
    return nameForBody(firstBody(), part);
}

std::vector<std::string> SYNEventFileSet::preferredFilenamesForExistingParts() const {
    std::vector<std::string> names;
    for (auto part : parts_) {
        names.push_back(preferredFilenameForPartIndex(part));
    }
    return names;
}

std::vector<std::string> SYNEventFileSet::allPreferredFilenames() const {
    std::vector<std::string> names;
    for (uint64_t part = 1; part <= totalNumberOfParts_; ++part) {
        names.push_back(preferredFilenameForPartIndex(part));
    }
    return names;
}

std::set<std::string> SYNEventFileSet::aliasesForPartIndex(uint64_t part) const {
    std::set<std::string> aliases;
    for (const auto& body : bodies()) {
        aliases.insert(nameForBody(body, part));
    }
    return aliases;
}

std::set<std::string> SYNEventFileSet::allAliases() const {
    std::set<std::string> aliases;
    const uint64_t last = std::max<uint64_t>(totalNumberOfParts_, 1);
    for (uint64_t part = 1; part <= last; ++part) {
        auto some = aliasesForPartIndex(part);
        aliases.insert(some.begin(), some.end());
    }
    return aliases;
}

bool SYNEventFileSet::containsFile(const std::string& filename) const {
    // The name is one of preferredFilename's for one of the bodies: the
    // body, for a set of 2 or more parts "_<part>of<total>" as to_string
    // writes them (no leading zero), and the extension.
    const auto stem = stemOfEventFilename(filename);
    if (!stem) {
        return false;
    }
    std::string_view body = *stem;
    if (totalNumberOfParts_ > 1) {
        auto separator = body.rfind('_');
        if (separator == std::string_view::npos) {
            return false;
        }
        auto fraction = splitInTwo(body.substr(separator + 1), "of");
        if (!fraction) {
            return false;
        }
        auto number = strictNumber(fraction->first);
        auto total = strictNumber(fraction->second);
        if (!number || !total || *total != totalNumberOfParts_ || *number < 1 || *number > *total ||
            fraction->first.front() == '0' || fraction->second.front() == '0') {
            return false;
        }
        body = body.substr(0, separator);
    }
    return isBody(body);
}

bool SYNEventFileSet::isBody(std::string_view body) const {
    // As bodies() spells them, read off piece by piece.
    auto take = [&body](std::string_view piece) {
        if (!body.starts_with(piece)) {
            return false;
        }
        body.remove_prefix(piece.size());
        return true;
    };
    std::array<char, 24> buffer;
    if (!take(decimal(globalCount_, buffer)) || !take("_")) {
        return false;
    }
    if (baseline_) {
        if (!take(uniqueIdentifier_ ? std::string_view(*uniqueIdentifier_) : std::string_view("(null)"))) {
            return false;
        }
        if (body.empty()) {
            return true;
        }
        const std::string_view prefix =
            persistentStorePrefix_ ? std::string_view(*persistentStorePrefix_)
            : persistentStoreIdentifier_
                ? std::string_view(*persistentStoreIdentifier_)
                      .substr(0, std::min(persistentStoreIdentifier_->size(), kPrefixLength))
                : std::string_view("(null)");
        return take("_") && body == prefix;
    }
    return take(persistentStoreIdentifier_ ? std::string_view(*persistentStoreIdentifier_)
                                           : std::string_view("(null)")) &&
           take("_") && body == decimal(revisionNumber_, buffer);
}

std::optional<std::pair<int64_t, int64_t>> SYNEventFileSet::partFractionForFilename(
    const std::string& filename) {
    // The fourth of the stem's "_"-separated components, split at "of".
    std::string_view rest = deletingPathExtension(filename);
    for (int skipped = 0; skipped < 3; ++skipped) {
        const auto separator = rest.find('_');
        if (separator == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(separator + 1);
    }
    const auto pieces = splitInTwo(rest.substr(0, rest.find('_')), "of");
    if (!pieces) {
        return std::nullopt;
    }
    return std::make_pair(longLongValue(pieces->first), longLongValue(pieces->second));
}

void SYNEventFileSet::recordPart(int64_t part) {
    if (part >= 1 && static_cast<uint64_t>(part) <= SYNEventFileSetMaximumNumberOfParts) {
        parts_.insert(static_cast<uint64_t>(part));
    }
}

void SYNEventFileSet::updateTotalNumberOfPartsWithFilename(const std::string& filename) {
    takeFraction(partFractionForFilename(filename), true);
}

void SYNEventFileSet::addPartIndexForFile(const std::string& filename) {
    takeFraction(partFractionForFilename(filename), false);
}

void SYNEventFileSet::takeFraction(const std::optional<std::pair<int64_t, int64_t>>& fraction,
                                   bool newTotal) {
    if (fraction && fractionIsValid(*fraction)) {
        if (newTotal) {
            parts_.clear();
        }
        recordPart(fraction->first);
        if (newTotal) {
            totalNumberOfParts_ = static_cast<uint64_t>(fraction->second);
        }
    } else {
        totalNumberOfParts_ = 1;
        parts_.insert(1);
    }
}

bool SYNEventFileSet::representsSameEventAsEventFileSet(const SYNEventFileSet& other) const {
    if (baseline_ != other.baseline_) {
        return false;
    }
    if (persistentStoreIdentifier_ && other.persistentStoreIdentifier_ &&
        *persistentStoreIdentifier_ != *other.persistentStoreIdentifier_) {
        return false;
    }
    if (uniqueIdentifier_ && other.uniqueIdentifier_ && *uniqueIdentifier_ != *other.uniqueIdentifier_) {
        return false;
    }
    if (globalCount_ != other.globalCount_) {
        return false;
    }
    if (baseline_) {
        return !(persistentStorePrefix_ && other.persistentStorePrefix_ &&
                 *persistentStorePrefix_ != *other.persistentStorePrefix_);
    }
    return revisionNumber_ == other.revisionNumber_;
}

plat::coredata::PredicatePtr SYNEventFileSet::eventFetchPredicate() const {
    if (baseline_) {
        std::vector<plat::coredata::PredicatePtr> parts{
            Predicate::in("type",
                          plat::Value(plat::Array{
                              plat::Value(int64_t{SYNStoreModificationEventTypeBaseline}),
                              plat::Value(int64_t{SYNStoreModificationEventTypeBaselineConsolidating})})),
            Predicate::equal("globalCount", plat::Value(globalCount_)),
            Predicate::equal("uniqueIdentifier",
                             uniqueIdentifier_ ? plat::Value(*uniqueIdentifier_) : plat::Value())};
        if (persistentStorePrefix_) {
            parts.push_back(
                Predicate::beginsWith("eventRevision.persistentStoreIdentifier", *persistentStorePrefix_));
        }
        return Predicate::andPredicate(std::move(parts));
    }
    return Predicate::andPredicate(
        {Predicate::in("type",
                       plat::Value(plat::Array{plat::Value(int64_t{SYNStoreModificationEventTypeSave}),
                                               plat::Value(int64_t{SYNStoreModificationEventTypeMerge})})),
         Predicate::equal("globalCount", plat::Value(globalCount_)),
         Predicate::equal(
             "eventRevision.persistentStoreIdentifier",
             persistentStoreIdentifier_ ? plat::Value(*persistentStoreIdentifier_) : plat::Value()),
         Predicate::equal("eventRevision.revisionNumber", plat::Value(revisionNumber_))});
}

std::string SYNEventFileSet::description() const {
    return "baseline: " + std::to_string(baseline_ ? 1 : 0) +
           "\nnumber of parts: " + std::to_string(totalNumberOfParts_) +
           "\nunique id: " + orNull(uniqueIdentifier_) + "\nstore id: " + orNull(persistentStoreIdentifier_) +
           "\nstore prefix: " + orNull(persistentStorePrefix_) +
           "\nhas all parts: " + std::to_string(hasAllParts() ? 1 : 0) +
           "\nrevision: " + std::to_string(revisionNumber_) +
           "\nglobal count: " + std::to_string(globalCount_);
}
