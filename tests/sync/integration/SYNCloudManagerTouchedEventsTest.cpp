// The cloud manager's kept local events brought up to date after each save
// by reading only the events the save touched: every change to an event's own
// revision (handed to another event, renumbered alone or with its event,
// moved to another store, deleted, replaced by a new one) and to revisions
// that are no event's own must leave the answers a manager reading afresh
// gives.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "EventFileFixture.h"
#include "support/FakeCloudFileSystem.h"
#include "sync/integration/SYNCloudManager.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

class SYNCloudManagerTouchedEventsTest : public EventFileTest {
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

    // The questions a merge asks: this store's saves and merges, every
    // store's, and the baselines.
    std::vector<std::vector<std::string>> answers(const std::shared_ptr<SYNCloudManager>& looking) {
        const std::vector<int16_t> saves{SYNStoreModificationEventTypeSave,
                                         SYNStoreModificationEventTypeMerge};
        const std::vector<std::pair<std::vector<int16_t>, std::optional<std::string>>> questions{
            {saves, store}, {saves, std::nullopt}, {{SYNStoreModificationEventTypeBaseline}, std::nullopt}};
        std::vector<std::vector<std::string>> found;
        for (const auto& [types, storeIdentifier] : questions) {
            found.emplace_back();
            for (const auto& set : looking->eventFileSetsForEventsWithAllowedTypes(types, storeIdentifier)) {
                found.back().push_back(set->description());
            }
        }
        return found;
    }

    // The answers of a manager that reads the event store afresh.
    std::vector<std::vector<std::string>> freshAnswers() {
        auto fresh = SYNCloudManager::create(source, cloud, smallBatchModel());
        auto found = answers(fresh);
        fresh->operationQueue()->waitUntilAllOperationsAreFinished();
        return found;
    }

    // The kept answers against a fresh manager's after one save of `work`.
    void saveAndCompare(const std::string& what, const std::function<void(ManagedObjectContext&)>& work) {
        inContext(source, [&](ManagedObjectContext& context) {
            work(context);
            ASSERT_EQ(context.save(), nullptr) << what;
        });
        EXPECT_EQ(answers(manager), freshAnswers()) << what;
    }

    ManagedObjectPtr event(ManagedObjectContext& context, const std::string& uid) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        EXPECT_TRUE(events.ok());
        for (const auto& found : events.ok() ? *events : std::vector<ManagedObjectPtr>{}) {
            if (SYNStoreModificationEvent::uniqueIdentifier(*found) == uid) {
                return found;
            }
        }
        ADD_FAILURE() << "no event " << uid;
        return nullptr;
    }

    std::shared_ptr<testsupport::FakeCloudFileSystem> cloud;
    std::shared_ptr<SYNCloudManager> manager;
    std::string store;
};

TEST_F(SYNCloudManagerTouchedEventsTest, EveryChangeOfAnEventsRevisionIsSeenAsAFreshReadSeesIt) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        writer.event("A", SYNStoreModificationEventTypeSave, 1, SYNRevision{store, 1},
                     revisions({{"OTHER", 3}}));
        writer.event("B", SYNStoreModificationEventTypeMerge, 2, SYNRevision{store, 2});
        writer.event("C", SYNStoreModificationEventTypeSave, 3, SYNRevision{"OTHER", 4});
        writer.event("D", SYNStoreModificationEventTypeBaseline, 4, SYNRevision{store, 5});
        ASSERT_EQ(context.save(), nullptr);
    });
    // Kept from here on: every later answer is brought up to date.
    const auto first = answers(manager);
    ASSERT_EQ(first, freshAnswers());
    ASSERT_EQ(first[0].size(), 2u);
    ASSERT_EQ(first[1].size(), 3u);
    ASSERT_EQ(first[2].size(), 1u);

    saveAndCompare("a new event with its new revision", [&](ManagedObjectContext& context) {
        EventWriter(context).event("E", SYNStoreModificationEventTypeSave, 5, SYNRevision{store, 6});
    });
    saveAndCompare("a revision renumbered alone", [&](ManagedObjectContext& context) {
        event(context, "B")->objectForKey("eventRevision")->setValue(Value(int64_t{20}), "revisionNumber");
    });
    saveAndCompare("a revision moved to another store alone", [&](ManagedObjectContext& context) {
        event(context, "A")
            ->objectForKey("eventRevision")
            ->setValue(Value("OTHER"), "persistentStoreIdentifier");
    });
    saveAndCompare("a revision and its event changed together", [&](ManagedObjectContext& context) {
        auto c = event(context, "C");
        c->setValue(Value(int64_t{30}), "globalCount");
        c->objectForKey("eventRevision")->setValue(Value(store), "persistentStoreIdentifier");
    });
    saveAndCompare("a revision handed to another event", [&](ManagedObjectContext& context) {
        auto a = event(context, "A");
        auto e = event(context, "E");
        e->setObject(a->objectForKey("eventRevision"), "eventRevision");
    });
    saveAndCompare("a new revision for an event", [&](ManagedObjectContext& context) {
        event(context, "A")
            ->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, 40, context),
                        "eventRevision");
    });
    saveAndCompare("a revision of other stores renumbered", [&](ManagedObjectContext& context) {
        for (const auto& other : event(context, "A")->objectsForKey("eventRevisionsOfOtherStores")) {
            other->setValue(Value(int64_t{41}), "revisionNumber");
        }
    });
    saveAndCompare("a revision of no event inserted", [&](ManagedObjectContext& context) {
        SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, 42, context);
    });
    saveAndCompare("an event's revision deleted", [&](ManagedObjectContext& context) {
        context.deleteObject(event(context, "B")->objectForKey("eventRevision"));
    });
    saveAndCompare("an event deleted with its revision",
                   [&](ManagedObjectContext& context) { context.deleteObject(event(context, "C")); });
    saveAndCompare("a baseline's revision renumbered and a new save event", [&](ManagedObjectContext&
                                                                                    context) {
        event(context, "D")->objectForKey("eventRevision")->setValue(Value(int64_t{50}), "revisionNumber");
        EventWriter(context).event("F", SYNStoreModificationEventTypeSave, 6, SYNRevision{store, 51});
    });
    saveAndCompare("an event's revision set from the revision's side", [&](ManagedObjectContext& context) {
        auto revision = SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("OTHER", 60, context);
        revision->setObject(event(context, "F"), "storeModificationEvent");
    });

    // The last answers still hold something of every kind asked.
    const auto last = answers(manager);
    EXPECT_FALSE(last[0].empty());
    EXPECT_GT(last[1].size(), last[0].size());
    EXPECT_FALSE(last[2].empty());
}

// More saves between two looks than the log of saves keeps: every event is
// read again, with the revisions of all of them in one read, and the answers
// are a fresh manager's (events without a revision and revisions of other
// stores among them).
TEST_F(SYNCloudManagerTouchedEventsTest, MoreSavesThanTheLogKeepsAreReadAgainAsAFreshReadDoes) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        for (int i = 1; i <= 6; ++i) {
            writer.event("K" + std::to_string(i), SYNStoreModificationEventTypeSave, i,
                         SYNRevision{i % 3 ? store : "OTHER", i});
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    ASSERT_EQ(answers(manager), freshAnswers());
    constexpr int kSaves = 136;  // past the 128 saves the log keeps
    for (int i = 0; i < kSaves; ++i) {
        inContext(source, [&](ManagedObjectContext& context) {
            if (i % 2 == 0) {
                EventWriter(context).event("N" + std::to_string(i), SYNStoreModificationEventTypeMerge,
                                           10 + i, SYNRevision{i % 4 ? store : "OTHER", 10 + i});
            } else {
                event(context, "K" + std::to_string(1 + i % 6))
                    ->objectForKey("eventRevision")
                    ->setValue(Value(int64_t{100 + i}), "revisionNumber");
            }
            ASSERT_EQ(context.save(), nullptr);
        });
    }
    inContext(source, [&](ManagedObjectContext& context) {
        context.deleteObject(event(context, "K2")->objectForKey("eventRevision"));
        ASSERT_EQ(context.save(), nullptr);
        context.reset();  // the events and their revisions read again from the store
    });
    const auto kept = answers(manager);
    EXPECT_EQ(kept, freshAnswers());
    EXPECT_EQ(kept[1].size(), 6u + kSaves / 2);
}

// Saves of another event store of the process (another mesh's) change
// nothing the manager keeps, however many come between two looks; the saves
// of its own store among them are still followed.
TEST_F(SYNCloudManagerTouchedEventsTest, SavesOfAnotherEventStoreLeaveTheAnswersAFreshReadGives) {
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        for (int i = 1; i <= 6; ++i) {
            writer.event("K" + std::to_string(i), SYNStoreModificationEventTypeSave, i,
                         SYNRevision{store, i});
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    ASSERT_EQ(answers(manager), freshAnswers());
    int made = 0;
    // Events that name this store, so that one taken for this store's
    // would change the answers.
    auto saveIn = [&](const std::shared_ptr<SYNEventStore>& in, int saves) {
        for (int i = 0; i < saves; ++i) {
            inContext(in, [&](ManagedObjectContext& context) {
                ++made;
                EventWriter(context).event("N" + std::to_string(made), SYNStoreModificationEventTypeMerge,
                                           10 + made, SYNRevision{store, 10 + made});
                ASSERT_EQ(context.save(), nullptr);
            });
        }
    };
    for (const int others : {140, 3, 0, 135}) {  // past the 128 saves the log keeps, or not
        saveIn(destination, others);
        EXPECT_EQ(answers(manager), freshAnswers()) << others;
        saveIn(source, 1 + others % 2);
        saveIn(destination, 1);
        const auto kept = answers(manager);
        EXPECT_EQ(kept, freshAnswers()) << others;
    }
    EXPECT_EQ(answers(manager)[1].size(), 6u + 1 + 2 + 1 + 2);
}

// Random saves of events and revisions, one or two between looks, each kind
// of change to a revision among them: every kept answer is a fresh one.
TEST_F(SYNCloudManagerTouchedEventsTest, RandomSavesOfEventsAndRevisionsAreFollowedAsAFreshReadDoes) {
    const std::vector<int16_t> kinds{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                                     SYNStoreModificationEventTypeBaseline};
    const std::vector<std::string> stores{store, "OTHER"};
    std::mt19937 random(1247);
    int made = 0;
    auto insert = [&](ManagedObjectContext& context) {
        ++made;
        EventWriter(context).event("R" + std::to_string(made), kinds[random() % kinds.size()], made,
                                   SYNRevision{stores[random() % stores.size()], made},
                                   revisions({{"THIRD", made}}));
    };
    inContext(source, [&](ManagedObjectContext& context) {
        for (int i = 0; i < 10; ++i) {
            insert(context);
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    ASSERT_EQ(answers(manager), freshAnswers());
    auto pick = [&](ManagedObjectContext& context) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, context);
        EXPECT_TRUE(events.ok());
        return events.ok() && !events->empty() ? (*events)[random() % events->size()] : ManagedObjectPtr();
    };
    for (int step = 0; step < 80; ++step) {
        for (int save = 0; save < 1 + (step % 4 == 3); ++save) {
            inContext(source, [&](ManagedObjectContext& context) {
                auto a = pick(context);
                auto b = pick(context);
                auto own = a ? a->objectForKey("eventRevision") : nullptr;
                switch (a && b && own ? random() % 8 : 0) {
                    case 0:
                        insert(context);
                        break;
                    case 1:
                        own->setValue(Value(static_cast<int64_t>(random() % 99)), "revisionNumber");
                        break;
                    case 2:
                        own->setValue(Value(stores[random() % stores.size()]), "persistentStoreIdentifier");
                        a->setValue(Value(static_cast<int64_t>(random() % 99)), "globalCount");
                        break;
                    case 3:
                        if (a != b) {
                            b->setObject(own, "eventRevision");  // a is left without one
                        }
                        break;
                    case 4:
                        a->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                         stores[random() % stores.size()], 200 + made++, context),
                                     "eventRevision");
                        break;
                    case 5:
                        for (const auto& other : a->objectsForKey("eventRevisionsOfOtherStores")) {
                            other->setValue(Value(static_cast<int64_t>(random() % 99)), "revisionNumber");
                        }
                        SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(store, 300 + made++,
                                                                                        context);
                        break;
                    case 6:
                        context.deleteObject(own);
                        break;
                    default:
                        context.deleteObject(a);
                        break;
                }
                ASSERT_EQ(context.save(), nullptr) << "step " << step;
            });
        }
        ASSERT_EQ(answers(manager), freshAnswers()) << "step " << step;
    }
}

}  // namespace
