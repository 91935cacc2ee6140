// The batch import's question "is the event of this downloaded file already
// held?" answered from the saves' and merges' events kept for the merge's
// earlier questions: every answer must be the one the store's read gives, as
// events are saved, renumbered, moved to other stores, retyped and deleted.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "EventFileFixture.h"
#include "support/FakeCloudFileSystem.h"
#include "sync/integration/SYNCloudManager.h"

struct SYNCloudManagerTestAccess {
    static std::optional<std::vector<bool>> kept(const SYNCloudManager& manager,
                                                 const std::vector<const SYNEventFileSet*>& sets) {
        return manager.eventsExistAmongKeptEvents(sets);
    }
    static std::optional<std::vector<bool>> read(const SYNCloudManager& manager,
                                                 const std::vector<const SYNEventFileSet*>& sets) {
        return manager.eventsReadForFileSets(sets);
    }
    static std::optional<std::vector<bool>> asked(const SYNCloudManager& manager,
                                                  const std::vector<const SYNEventFileSet*>& sets) {
        return manager.eventsExistForFileSets(sets);
    }
    static bool one(const SYNCloudManager& manager, const SYNEventFileSet& set) {
        return manager.eventExistsForFileSet(set);
    }
};

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using Access = SYNCloudManagerTestAccess;

class SYNCloudManagerKeptExistenceTest : public EventFileTest {
  protected:
    void SetUp() override {
        EventFileTest::SetUp();
        cloud = std::make_shared<testsupport::FakeCloudFileSystem>();
        manager = SYNCloudManager::create(source, cloud, smallBatchModel());
        store = storeID(source);
    }
    void TearDown() override {
        manager->operationQueue()->waitUntilAllOperationsAreFinished();
        EventFileTest::TearDown();
    }

    // What the merge asks before it downloads: the saves and merges of every
    // store (kept from then on).
    void askAsAMergeDoes() {
        manager->eventFileSetsForEventsWithAllowedTypes(
            {SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge}, std::nullopt);
    }

    // Sets named by downloaded files: every global count, store and
    // revision up to the bounds, so that held events and near misses alike
    // are asked for.
    std::vector<SYNEventFileSet::Ptr> namedSets(int64_t counts, int64_t revisions) {
        std::vector<SYNEventFileSet::Ptr> sets;
        for (const std::string& owner : {store, std::string("OTHER")}) {
            for (int64_t count = 1; count <= counts; ++count) {
                for (int64_t revision = 1; revision <= revisions; ++revision) {
                    auto set = SYNEventFileSet::fromFilename(
                        std::to_string(count) + "_" + owner + "_" + std::to_string(revision) + ".synevent",
                        false);
                    EXPECT_TRUE(set);
                    if (set) {
                        sets.push_back(std::move(set));
                    }
                }
            }
        }
        return sets;
    }

    // The kept answer, the answer given, the store's read in one and one
    // by one all agree; returns how many sets are held.
    std::size_t compare(const std::vector<SYNEventFileSet::Ptr>& owned, const std::string& what) {
        std::vector<const SYNEventFileSet*> sets;
        for (const auto& set : owned) {
            sets.push_back(set.get());
        }
        const auto kept = Access::kept(*manager, sets);
        const auto read = Access::read(*manager, sets);
        const auto asked = Access::asked(*manager, sets);
        EXPECT_TRUE(kept.has_value()) << what;
        EXPECT_TRUE(read.has_value()) << what;
        if (!kept || !read || !asked) {
            return 0;
        }
        EXPECT_EQ(*kept, *read) << what;
        EXPECT_EQ(*asked, *read) << what;
        std::size_t held = 0;
        for (std::size_t i = 0; i < sets.size(); ++i) {
            const bool one = Access::one(*manager, *sets[i]);
            EXPECT_EQ((*read)[i], one) << what << ": " << sets[i]->description();
            held += one;
        }
        return held;
    }

    ManagedObjectPtr pick(ManagedObjectContext& context, std::mt19937& random) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        EXPECT_TRUE(events.ok());
        return events.ok() && !events->empty() ? (*events)[random() % events->size()] : ManagedObjectPtr();
    }

    std::shared_ptr<testsupport::FakeCloudFileSystem> cloud;
    std::shared_ptr<SYNCloudManager> manager;
    std::string store;
};

TEST_F(SYNCloudManagerKeptExistenceTest, NothingKeptIsNoAnswerAndTheStoreIsRead) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter(context).event("A", SYNStoreModificationEventTypeSave, 1, SYNRevision{store, 1});
        ASSERT_EQ(context.save(), nullptr);
    });
    const auto sets = namedSets(2, 2);
    std::vector<const SYNEventFileSet*> asked;
    for (const auto& set : sets) {
        asked.push_back(set.get());
    }
    // Before the merge's question nothing is kept, and nothing is read to
    // keep it: the store's read answers.
    EXPECT_FALSE(Access::kept(*manager, asked).has_value());
    const auto answer = Access::asked(*manager, asked);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, *Access::read(*manager, asked));
    EXPECT_FALSE(Access::kept(*manager, asked).has_value());

    askAsAMergeDoes();
    EXPECT_EQ(compare(sets, "asked once"), 1u);
}

TEST_F(SYNCloudManagerKeptExistenceTest, ASetNamingAnIdentifierOfItsOwnIsReadFromTheStore) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter(context).event("A", SYNStoreModificationEventTypeSave, 1, SYNRevision{store, 1});
        ASSERT_EQ(context.save(), nullptr);
    });
    askAsAMergeDoes();
    // The set of the event itself carries its unique identifier.
    const auto withIdentifier = inContext(source, [&](ManagedObjectContext& context) {
        std::mt19937 random(1);
        return SYNEventFileSet::fromStoreModificationEvent(*pick(context, random));
    });
    ASSERT_TRUE(withIdentifier->uniqueIdentifier().has_value());
    EXPECT_FALSE(Access::kept(*manager, {withIdentifier.get()}).has_value());
    EXPECT_TRUE(Access::asked(*manager, {withIdentifier.get()})->front());
    const auto plain = namedSets(1, 1);
    ASSERT_TRUE(Access::kept(*manager, {plain.front().get()}).has_value());
    EXPECT_TRUE(Access::kept(*manager, {plain.front().get()})->front());
}

// Several events changed in one save and the context emptied after it: the
// merge's next question reads them again with none of their revisions
// loaded, and reads those together. The answers are the store's, and a
// fresh manager's.
TEST_F(SYNCloudManagerKeptExistenceTest, EventsReadAgainWithTheirRevisionsUnloadedAnswerAsTheStore) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        for (int i = 1; i <= 6; ++i) {
            writer.event("E" + std::to_string(i),
                         i % 3 == 0 ? SYNStoreModificationEventTypeMerge : SYNStoreModificationEventTypeSave,
                         i, SYNRevision{i % 2 ? store : std::string("OTHER"), i});
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    const auto sets = namedSets(8, 8);
    askAsAMergeDoes();
    const std::size_t before = compare(sets, "before");
    EXPECT_EQ(before, 6u);
    std::mt19937 random(99);
    for (int round = 0; round < 4; ++round) {
        inContext(source, [&](ManagedObjectContext& context) {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                event->setValue(Value(static_cast<int64_t>(1 + random() % 8)), "globalCount");
            }
            ASSERT_EQ(context.save(), nullptr);
            context.reset();
        });
        compare(sets, "round " + std::to_string(round));
        const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave,
                                         SYNStoreModificationEventTypeMerge};
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        std::vector<std::string> kept, read;
        for (const auto& set : manager->eventFileSetsForEventsWithAllowedTypes(saves, std::nullopt)) {
            kept.push_back(set->description());
        }
        for (const auto& set : fresh->eventFileSetsForEventsWithAllowedTypes(saves, std::nullopt)) {
            read.push_back(set->description());
        }
        EXPECT_EQ(kept, read) << round;
        EXPECT_EQ(kept.size(), 6u);
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
    }
}

// Saves and merges of this store and another, baselines among them, then
// random changes one save at a time: each answer kept across the saves is
// the store's.
TEST_F(SYNCloudManagerKeptExistenceTest, AnswersKeptAcrossRandomSavesAreTheStoresReads) {
    const std::vector<int16_t> kinds{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                                     SYNStoreModificationEventTypeBaseline};
    const std::vector<std::string> stores{store, "OTHER"};
    constexpr int64_t kCounts = 12;
    constexpr int64_t kRevisions = 6;
    std::mt19937 random(4711);
    int made = 0;
    auto insert = [&](ManagedObjectContext& context) {
        ++made;
        EventWriter(context).event(
            "R" + std::to_string(made), kinds[random() % kinds.size()], 1 + random() % kCounts,
            SYNRevision{stores[random() % stores.size()], static_cast<int64_t>(1 + random() % kRevisions)});
    };
    inContext(source, [&](ManagedObjectContext& context) {
        for (int i = 0; i < 16; ++i) {
            insert(context);
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    const auto sets = namedSets(kCounts, kRevisions);
    askAsAMergeDoes();
    std::size_t everHeld = compare(sets, "first look");
    for (int step = 0; step < 60; ++step) {
        inContext(source, [&](ManagedObjectContext& context) {
            auto a = pick(context, random);
            auto own = a ? a->objectForKey("eventRevision") : nullptr;
            switch (a && own ? random() % 6 : 0) {
                case 0:
                    insert(context);
                    break;
                case 1:
                    own->setValue(Value(static_cast<int64_t>(1 + random() % kRevisions)), "revisionNumber");
                    break;
                case 2:
                    own->setValue(Value(stores[random() % stores.size()]), "persistentStoreIdentifier");
                    break;
                case 3:
                    a->setValue(Value(static_cast<int64_t>(1 + random() % kCounts)), "globalCount");
                    break;
                case 4:
                    a->setValue(Value(int64_t{kinds[random() % kinds.size()]}), "type");
                    break;
                default:
                    context.deleteObject(a);
                    break;
            }
            ASSERT_EQ(context.save(), nullptr);
        });
        // Most steps ask again as a merge does; the others leave several
        // saves for the next look to follow.
        if (step % 3 != 2) {
            everHeld += compare(sets, "step " + std::to_string(step));
        }
    }
    // The sets asked for were held now and then, not never or always.
    EXPECT_GT(everHeld, 0u);
}

}  // namespace
