#include "sync/integration/SYNEventFileSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "EventFileFixture.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNLogging.h"

namespace {

using integrationtest::EventFileTest;
using integrationtest::inContext;

struct ParseCase {
    std::string name;
    bool baseline;
    bool parses;
    int64_t globalCount = 0;
    std::optional<std::string> store = std::nullopt;
    std::optional<std::string> prefix = std::nullopt;
    std::optional<std::string> unique = std::nullopt;
    int64_t revision = 0;
    uint64_t total = 1;
    std::set<uint64_t> parts = {};
    bool shouldBeUnique = true;
};

TEST(SYNEventFileSetTest, ParsesNamesAndRefusesWhatCannotNameAFile) {
    const ParseCase cases[] = {
        {"12_STOREID123_5.synevent", false, true, 12, "STOREID123", "STOREID1", std::nullopt, 5, 1, {1}},
        {"12_ab_5.synevent", false, true, 12, "ab", "ab", std::nullopt, 5, 1, {1}},
        {"7_STORE_3_2of3.synevent", false, true, 7, "STORE", "STORE", std::nullopt, 3, 3, {2}},
        {"x_STORE_y.synevent", false, true, 0, "STORE", "STORE", std::nullopt, 0, 1, {1}},
        {"12_STORE_5.other", false, true, 12, "STORE", "STORE", std::nullopt, 5, 1, {1}},
        {"9_UID_PREFIX12.synevent", true, true, 9, std::nullopt, "PREFIX12", "UID", -1, 1, {1}},
        {"9_UID.synevent", true, true, 9, std::nullopt, std::nullopt, "UID", -1, 1, {}, false},
        // The suffixed short alias of a multipart baseline reads the suffix as prefix.
        {"9_UID_1of3.synevent", true, true, 9, std::nullopt, "1of3", "UID", -1, 1, {1}},
        {"12_STORE.synevent", false, false},
        {"12.synevent", true, false},
        {"12.synevent", false, false},
        // Names that could not be one entry of the folder they were listed in.
        {"", false, false},
        {"..", true, false},
        {".12_STORE_5.synevent", false, false},
        {"12_STO/RE_5.synevent", false, false},
        {std::string("12_STO\0RE_5.synevent", 20), false, false},
        {std::string(300, '1') + "_S_5.synevent", false, false},
        // Part suffixes that name no part of their event.
        {"7_STORE_3_0of3.synevent", false, false},
        {"7_STORE_3_4of3.synevent", false, false},
        {"7_STORE_3_1of0.synevent", false, false},
        {"7_STORE_3_-1of3.synevent", false, false},
        {"5_x_3_1of999999999999.synevent", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto set = SYNEventFileSet::fromFilename(c.name, c.baseline);
        ASSERT_EQ(set != nullptr, c.parses);
        if (!set) {
            continue;
        }
        EXPECT_EQ(set->isBaseline(), c.baseline);
        EXPECT_EQ(set->globalCount(), c.globalCount);
        EXPECT_EQ(set->persistentStoreIdentifier(), c.store);
        EXPECT_EQ(set->persistentStorePrefix(), c.prefix);
        EXPECT_EQ(set->uniqueIdentifier(), c.unique);
        EXPECT_EQ(set->revisionNumber(), c.revision);
        EXPECT_EQ(set->totalNumberOfParts(), c.total);
        EXPECT_EQ(set->partIndexSet(), c.parts);
        EXPECT_EQ(set->eventShouldBeUnique(), c.shouldBeUnique);
    }
}

TEST(SYNEventFileSetTest, SingleFileNameIsItsOwnPreferredName) {
    auto set = SYNEventFileSet::fromFilename("12_STORE_5.synevent", false);
    ASSERT_TRUE(set);
    EXPECT_TRUE(set->hasAllParts());
    EXPECT_EQ(set->preferredFilenameForPartIndex(1), "12_STORE_5.synevent");
    EXPECT_EQ(set->allPreferredFilenames(), std::vector<std::string>{"12_STORE_5.synevent"});
    set->setTotalNumberOfParts(0);
    EXPECT_TRUE(set->allPreferredFilenames().empty());
    EXPECT_EQ(set->allAliases(), std::set<std::string>{"12_STORE_5.synevent"});
}

TEST(SYNEventFileSetTest, GroupsPartsAndAliasesOfOneEvent) {
    std::vector<std::string> warnings;
    SYNSetLoggingLevel(SYNLoggingLevelWarning);
    SYNSetLogFunction([&](std::string_view, std::span<const plat::FormatArg> args) {
        warnings.push_back(plat::format("%@", args[0]));
    });
    auto sets = SYNEventFileSet::eventFileSetsForFilenames(
        std::vector<std::string>{"7_S_3_1of3.synevent", "7_S_3_3of3.synevent", "bad.synevent",
                                 "8_S_4.synevent"},
        false);
    SYNSetLogFunction(nullptr);
    SYNSetLoggingLevel(SYNLoggingLevelError);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0]->partIndexSet(), (std::set<uint64_t>{1, 3}));
    EXPECT_FALSE(sets[0]->hasAllParts());
    sets[0]->addPartIndexForFile("7_S_3_2of3.synevent");
    EXPECT_TRUE(sets[0]->hasAllParts());
    EXPECT_EQ(
        sets[0]->preferredFilenamesForExistingParts(),
        (std::vector<std::string>{"7_S_3_1of3.synevent", "7_S_3_2of3.synevent", "7_S_3_3of3.synevent"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("Unknown file found: bad.synevent"), std::string::npos);

    auto baselines = SYNEventFileSet::eventFileSetsForFilenames(
        std::vector<std::string>{"9_UID_PREFIX12.synevent", "9_UID.synevent"}, true);
    ASSERT_EQ(baselines.size(), 1u);
    EXPECT_TRUE(baselines[0]->containsFile("9_UID.synevent"));

    auto shortOnly =
        SYNEventFileSet::eventFileSetsForFilenames(std::vector<std::string>{"9_UID.synevent"}, true);
    ASSERT_EQ(shortOnly.size(), 1u);
    EXPECT_FALSE(shortOnly[0]->hasAllParts());
    EXPECT_FALSE(shortOnly[0]->eventShouldBeUnique());
}

TEST(SYNEventFileSetTest, MembershipMatchesTheAliasesExactly) {
    auto set = SYNEventFileSet::fromFilename("9_UID_PREFIX12_2of3.synevent", true);
    ASSERT_TRUE(set);
    const auto aliases = set->allAliases();
    EXPECT_EQ(aliases.size(), 6u);
    for (const auto& alias : aliases) {
        EXPECT_TRUE(set->containsFile(alias)) << alias;
    }
    for (const std::string other :
         {"9_UID_PREFIX12_02of3.synevent", "9_UID_PREFIX12_4of3.synevent", "9_UID_PREFIX12_1of4.synevent",
          "9_UID_PREFIX12.synevent", "9_UID_PREFIX12_1of3", "09_UID_PREFIX12_1of3.synevent",
          "9_UID_PREFIX12_1of3.synevent.x"}) {
        EXPECT_FALSE(set->containsFile(other)) << other;
        EXPECT_EQ(aliases.count(other), 0u) << other;
    }
}

TEST(SYNEventFileSetTest, HugePartCountsCostNothing) {
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) {
        names.push_back("5_x_3_" + std::to_string(i + 1) + "of99999.synevent");
        names.push_back("5_x_3_1of" + std::to_string(1000000000000LL + i) + ".synevent");
    }
    auto start = std::chrono::steady_clock::now();
    auto sets = SYNEventFileSet::eventFileSetsForFilenames(names, false);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0]->partIndexSet().size(), 2000u);
    EXPECT_FALSE(sets[0]->hasAllParts());
    EXPECT_EQ(sets[0]->aliasesAmong(names).size(), 2000u);
    (void)start;
}

TEST(SYNEventFileSetTest, SameEventRules) {
    auto event = [](const char* name) { return SYNEventFileSet::fromFilename(name, false); };
    auto baseline = [](const char* name) { return SYNEventFileSet::fromFilename(name, true); };
    struct Case {
        SYNEventFileSet::Ptr a, b;
        bool same;
    } cases[] = {
        {event("1_S_2.synevent"), event("1_S_2_1of2.synevent"), true},
        {event("1_S_2.synevent"), event("1_T_2.synevent"), false},
        {event("1_S_2.synevent"), event("1_S_3.synevent"), false},
        {event("1_S_2.synevent"), event("2_S_2.synevent"), false},
        {event("1_S_2.synevent"), baseline("1_S_2.synevent"), false},
        {baseline("1_U_PRE.synevent"), baseline("1_U_OTHER.synevent"), false},
        {baseline("1_U_PRE.synevent"), baseline("1_U.synevent"), true},
        {baseline("1_U_PRE.synevent"), baseline("1_V_PRE.synevent"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a->representsSameEventAsEventFileSet(*c.b), c.same) << c.a->description() << "\n--\n"
                                                                        << c.b->description();
    }
}

TEST_F(EventFileTest, NamesFromEventsFindTheSameEventsAgain) {
    writeEvent(source, "SAVE1", SYNStoreModificationEventTypeSave, 12, 5, 0);
    writeEvent(source, "BASE1", SYNStoreModificationEventTypeBaseline, 3, 1, 0);
    writeEvent(source, "INCOMPLETE", SYNStoreModificationEventTypeIncomplete, 12, 5, 0);
    const auto store = storeID(source);
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        auto save =
            SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("SAVE1", context);
        auto saveSet = SYNEventFileSet::fromStoreModificationEvent(**save);
        EXPECT_FALSE(saveSet->isBaseline());
        EXPECT_EQ(saveSet->preferredFilenameForPartIndex(1), "12_" + store + "_5.synevent");
        auto base = SYNEventFileSet::fromStoreModificationEvent(
            **SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("BASE1", context));
        EXPECT_TRUE(base->isBaseline());
        EXPECT_EQ(base->preferredFilenameForPartIndex(1), "3_BASE1_" + store.substr(0, 8) + ".synevent");

        for (const auto& [set, expected] : {std::pair{saveSet, "SAVE1"}, std::pair{base, "BASE1"}}) {
            auto parsed =
                SYNEventFileSet::fromFilename(set->preferredFilenameForPartIndex(1), set->isBaseline());
            plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
            request.predicate = parsed->eventFetchPredicate();
            auto found = context.executeFetchRequest(request);
            ASSERT_TRUE(found.ok());
            ASSERT_EQ(found->size(), 1u) << expected;
            EXPECT_EQ(SYNStoreModificationEvent::uniqueIdentifier(*found->front()), expected);
        }
        // Another store's prefix finds nothing.
        auto foreign = SYNEventFileSet::fromFilename("3_BASE1_ZZZZZZZZ.synevent", true);
        plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
        request.predicate = foreign->eventFetchPredicate();
        EXPECT_TRUE(context.executeFetchRequest(request)->empty());
    });
}

}  // namespace

namespace {

// Names read leniently would be looked for under their canonical spelling,
// which does not exist: a listing never makes a set of them, and each is
// reported instead.
TEST(SYNEventFileSetTest, OnlyCanonicalNamesMakeSetsInAListing) {
    std::vector<std::string> warnings;
    SYNSetLoggingLevel(SYNLoggingLevelWarning);
    SYNSetLogFunction([&](std::string_view, std::span<const plat::FormatArg> args) {
        warnings.push_back(plat::format("%@", args[0]));
    });
    auto sets = SYNEventFileSet::eventFileSetsForFilenames(
        std::vector<std::string>{"012_S_5.synevent", "12_S_05.synevent", "12_S_5.json", "x_S_y.synevent",
                                 "12_S_5_01of2.synevent", "12_S_5.synevent", "13_S_6_2of2.synevent"},
        false);
    SYNSetLogFunction(nullptr);
    SYNSetLoggingLevel(SYNLoggingLevelError);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0]->preferredFilenameForPartIndex(1), "12_S_5.synevent");
    EXPECT_EQ(sets[1]->partIndexSet(), std::set<uint64_t>{2});
    EXPECT_EQ(warnings.size(), 5u);
    EXPECT_FALSE(SYNEventFileSet::isCanonicalFilename("012_S_5.synevent", false));
    EXPECT_TRUE(SYNEventFileSet::isCanonicalFilename("12_S_5_1of2.synevent", false));
    EXPECT_TRUE(SYNEventFileSet::isCanonicalFilename("9_UID.synevent", true));
}

// Membership is read off a name without spelling out the set's names: for
// sets of every form (events and baselines, with and without their store,
// prefix or identifier, negative numbers, one part or many) and names near
// theirs (leading zeros, other totals and parts, pieces cut off or
// doubled, other extensions), a name is contained exactly when it is one
// of the set's aliases. And the part fraction of a name is the fourth of
// its "_"-separated pieces, read as two numbers around its only "of".
TEST(SYNEventFileSetTest, MembershipAndFractionsOfNamesNearTheSetsOwn) {
    std::vector<SYNEventFileSet::Ptr> sets;
    for (const std::string name :
         {"12_STOREID123_5.synevent", "12_ab_5.synevent", "7_STORE_3_2of3.synevent", "x_STORE_y.synevent",
          "-4_S_-2.synevent", "0_S_0_1of12.synevent", "9_UID_PREFIX12.synevent", "9_UID.synevent",
          "9_UID_PREFIX12_2of3.synevent", "9_UID_1of3.synevent", "3_U_P_10of11.synevent"}) {
        for (bool baseline : {false, true}) {
            if (auto set = SYNEventFileSet::fromFilename(name, baseline)) {
                sets.push_back(set);
            }
        }
    }
    auto fromStore =
        std::make_shared<SYNEventFileSet>(*SYNEventFileSet::fromFilename("5_ABCDEFGHIJ_2.synevent", false));
    sets.push_back(fromStore);
    sets.push_back(std::make_shared<SYNEventFileSet>());  // nothing known: "(null)" in its names
    ASSERT_GE(sets.size(), 15u);
    // The names the sets are compared with, spelled out for a few.
    EXPECT_EQ(sets.back()->allAliases(), std::set<std::string>{"0_(null)_0.synevent"});
    EXPECT_EQ(SYNEventFileSet::fromFilename("-4_S_-2.synevent", false)->allAliases(),
              std::set<std::string>{"-4_S_-2.synevent"});
    EXPECT_EQ(SYNEventFileSet::fromFilename("9_UID_PREFIX12_2of3.synevent", true)->allAliases(),
              (std::set<std::string>{"9_UID_1of3.synevent", "9_UID_2of3.synevent", "9_UID_3of3.synevent",
                                     "9_UID_PREFIX12_1of3.synevent", "9_UID_PREFIX12_2of3.synevent",
                                     "9_UID_PREFIX12_3of3.synevent"}));
    EXPECT_EQ(SYNEventFileSet::fromFilename("3_U_P_10of11.synevent", true)->preferredFilenameForPartIndex(11),
              "3_U_P_11of11.synevent");

    auto variants = [](const std::string& name) {
        std::vector<std::string> out{name, "0" + name, name + ".x", name.substr(1), "_" + name};
        const auto dot = name.rfind('.');
        const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
        for (const std::string extension : {".synevent", ".json", "synevent", ".syneven", ""}) {
            out.push_back(stem + extension);
        }
        for (const std::string suffix : {"_1of3", "_01of3", "_1of03", "_3of3", "_4of3", "_0of3", "_2of11",
                                         "_10of11", "_1ofof3", "_1of3of3", "_of", "_1of", "_"}) {
            out.push_back(stem + suffix + ".synevent");
        }
        const auto cut = stem.rfind('_');
        if (cut != std::string::npos) {
            out.push_back(stem.substr(0, cut) + ".synevent");
            out.push_back(stem.substr(0, cut) + "_PREFIX12.synevent");
            out.push_back(stem.substr(0, cut) + "_ABCDEFGH.synevent");
            out.push_back(stem.substr(0, cut) + "_(null).synevent");
        }
        return out;
    };
    auto referenceFraction = [](const std::string& name) -> std::optional<std::pair<int64_t, int64_t>> {
        const auto dot = name.rfind('.');
        const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
        std::vector<std::string> pieces{""};
        for (char c : stem) {
            if (c == '_') {
                pieces.emplace_back();
            } else {
                pieces.back() += c;
            }
        }
        if (pieces.size() < 4) {
            return std::nullopt;
        }
        const auto of = pieces[3].find("of");
        if (of == std::string::npos || pieces[3].find("of", of + 2) != std::string::npos) {
            return std::nullopt;
        }
        auto number = [](const std::string& text) { return plat::Value(text).longLongValue(); };
        return std::make_pair(number(pieces[3].substr(0, of)), number(pieces[3].substr(of + 2)));
    };

    std::size_t contained = 0, checked = 0;
    for (const auto& set : sets) {
        SCOPED_TRACE(set->description());
        const auto aliases = set->allAliases();
        std::set<std::string> names(aliases.begin(), aliases.end());
        for (const auto& other : sets) {
            for (const auto& alias : other->allAliases()) {
                names.insert(alias);
            }
        }
        std::set<std::string> near;
        for (const auto& name : names) {
            for (auto& variant : variants(name)) {
                near.insert(std::move(variant));
            }
        }
        for (const auto& name : near) {
            const bool expected = aliases.count(name) > 0;
            EXPECT_EQ(set->containsFile(name), expected) << name;
            EXPECT_EQ(SYNEventFileSet::partFractionForFilename(name), referenceFraction(name)) << name;
            contained += expected ? 1 : 0;
            ++checked;
        }
    }
    EXPECT_GT(contained, sets.size());
    EXPECT_GT(checked, 20 * contained);
}

// Grouping by index gives what comparing each name with every set gives,
// also when a set's total changes on the way (a suffixed short alias).
TEST(SYNEventFileSetTest, GroupingMatchesComparingWithEverySet) {
    const std::vector<std::string> names{
        "9_UID_P_1of3.synevent", "9_UID_P_3of3.synevent", "9_UID_1of3.synevent", "9_UID_P.synevent",
        "9_UID.synevent",        "9_UID_P_2of3.synevent", "4_UID_Q.synevent",    "4_UID.synevent"};
    auto grouping = SYNEventFileSet::groupFilenames(names, true);
    std::vector<SYNEventFileSet::Ptr> slow;
    for (const auto& name : names) {
        auto owner =
            std::find_if(slow.begin(), slow.end(), [&](const auto& set) { return set->containsFile(name); });
        if (owner != slow.end()) {
            (*owner)->addPartIndexForFile(name);
        } else if (SYNEventFileSet::isCanonicalFilename(name, true)) {
            slow.push_back(SYNEventFileSet::fromFilename(name, true));
        }
    }
    ASSERT_EQ(grouping.sets.size(), slow.size());
    std::size_t named = 0;
    for (std::size_t i = 0; i < slow.size(); ++i) {
        EXPECT_EQ(grouping.sets[i]->description(), slow[i]->description());
        named += grouping.filenames[i].size();
    }
    EXPECT_EQ(named, names.size());

    const SYNEventFileSetIndex index(grouping.sets);
    auto shortOnly = SYNEventFileSet::fromFilename("4_UID.synevent", true);
    EXPECT_EQ(index.setRepresentingSameEventAs(*shortOnly), grouping.sets[grouping.sets.size() - 1]);
    EXPECT_EQ(index.setRepresentingSameEventAs(*shortOnly, [](const auto&) { return false; }), nullptr);
    EXPECT_EQ(index.setRepresentingSameEventAs(*SYNEventFileSet::fromFilename("5_UID.synevent", true)),
              nullptr);
}

// The index finds, among many sets and many sharing one global count and
// revision, the first set in the order given that represents the event and
// that the filter accepts, and nothing for an event it does not hold.
TEST(SYNEventFileSetTest, IndexFindsTheFirstMatchingSetAmongMany) {
    std::vector<std::string> names;
    for (int count = 1; count <= 3000; ++count) {
        names.push_back(std::to_string(count) + "_S" + std::to_string(count % 7) + "_" +
                        std::to_string(count % 5) + ".synevent");
    }
    for (int store = 0; store < 50; ++store) {
        // One event count and revision, fifty stores, some in two parts.
        names.push_back("7000_T" + std::to_string(store) + "_2" + (store % 2 ? "_1of2" : "") + ".synevent");
    }
    const auto grouping = SYNEventFileSet::groupFilenames(names, false);
    ASSERT_EQ(grouping.sets.size(), names.size());
    const SYNEventFileSetIndex index(grouping.sets);
    for (std::size_t i = 0; i < grouping.sets.size(); ++i) {
        EXPECT_EQ(index.setRepresentingSameEventAs(*grouping.sets[i]), grouping.sets[i]) << names[i];
    }
    // Same count and revision, another store; a set the filter refuses.
    EXPECT_EQ(index.setRepresentingSameEventAs(*SYNEventFileSet::fromFilename("7000_X_2.synevent", false)),
              nullptr);
    EXPECT_EQ(index.setRepresentingSameEventAs(*SYNEventFileSet::fromFilename("7000_T9_2.synevent", false),
                                               [](const auto& set) { return set.hasAllParts(); }),
              nullptr);
    EXPECT_EQ(index.setRepresentingSameEventAs(*SYNEventFileSet::fromFilename("7000_T8_2.synevent", false),
                                               [](const auto& set) { return set.hasAllParts(); }),
              grouping.sets[3008]);
    EXPECT_EQ(index.setRepresentingSameEventAs(*SYNEventFileSet::fromFilename("3001_S5_1.synevent", false)),
              nullptr);
    const SYNEventFileSetIndex empty({});
    EXPECT_EQ(empty.setRepresentingSameEventAs(*grouping.sets[0]), nullptr);
}

// A loaded event gives the set a read of it gives, and its type; an event
// or a revision still a fault gives none and stays one.
TEST_F(EventFileTest, SetsOfLoadedEventsAreThoseOfReadEvents) {
    writeEvent(source, "SAVE1", SYNStoreModificationEventTypeSave, 12, 5, 0);
    writeEvent(source, "MERGE1", SYNStoreModificationEventTypeMerge, 13, 6, 0);
    writeEvent(source, "BASE1", SYNStoreModificationEventTypeBaseline, 3, 1, 0);
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        for (const auto& [name, type] : {std::pair{"SAVE1", SYNStoreModificationEventTypeSave},
                                         std::pair{"MERGE1", SYNStoreModificationEventTypeMerge},
                                         std::pair{"BASE1", SYNStoreModificationEventTypeBaseline}}) {
            context.reset();
            auto event =
                SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(name, context);
            ASSERT_TRUE(event.ok() && *event);
            const auto revision = (*event)->objectForKey("eventRevision");
            ASSERT_TRUE(revision);
            int16_t read = -1;
            ASSERT_TRUE(revision->isFault()) << name;  // not read with the event
            EXPECT_FALSE(SYNEventFileSet::fromLoadedStoreModificationEvent(**event, read)) << name;
            EXPECT_TRUE(revision->isFault()) << name;
            EXPECT_EQ(read, -1) << name;
            const auto expected = SYNEventFileSet::fromStoreModificationEvent(**event);
            ASSERT_FALSE(revision->isFault());
            const auto set = SYNEventFileSet::fromLoadedStoreModificationEvent(**event, read);
            ASSERT_TRUE(set) << name;
            EXPECT_EQ(read, type) << name;
            EXPECT_EQ(set->description(), expected->description()) << name;
            EXPECT_EQ(set->uniqueIdentifier(), expected->uniqueIdentifier()) << name;
            EXPECT_EQ(set->persistentStorePrefix(), expected->persistentStorePrefix()) << name;
            EXPECT_EQ(set->isBaseline(), expected->isBaseline()) << name;
            EXPECT_EQ(set->preferredFilenameForPartIndex(1), expected->preferredFilenameForPartIndex(1))
                << name;
            // A fault reads nothing.
            context.refreshObject(*event, false);
            ASSERT_TRUE((*event)->isFault()) << name;
            read = -1;
            EXPECT_FALSE(SYNEventFileSet::fromLoadedStoreModificationEvent(**event, read)) << name;
            EXPECT_TRUE((*event)->isFault()) << name;
            EXPECT_EQ(read, -1) << name;
        }
    });
}

}  // namespace
