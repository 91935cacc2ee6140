// The complete save and merge events above revision bounds: a few candidates
// are read one by one, more are fetched. Both must give what a fetch of the
// stored rows gives, in the same order, also when the context holds events
// loaded before another context changed or deleted them.
#include <gtest/gtest.h>

#include <random>

#include "EventStoreFixture.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectContext;

class SYNEventsAboveRevisionsTest : public EventStoreTest {
  protected:
    std::shared_ptr<ManagedObjectContext> otherContext() {
        auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
        return other;
    }

    static std::vector<std::string> identifiers(const SYNManagedObjects& events) {
        std::vector<std::string> ids;
        for (const auto& event : events) {
            ids.push_back(SYNStoreModificationEvent::uniqueIdentifier(*event));
        }
        return ids;
    }

    // What a context that has just read the stored rows finds: it holds an
    // unsaved object of no event entity, which makes it fetch the events.
    std::vector<std::string> fetched(const std::map<std::string, std::optional<int64_t>>& bounds) {
        auto fresh = otherContext();
        fresh->insertNewObjectForEntityForName(SYNDataFileEntityName)->setValue(Value("unsaved"), "filename");
        auto events = SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions(bounds, false, *fresh);
        EXPECT_TRUE(events.ok());
        return events.ok() ? identifiers(*events) : std::vector<std::string>();
    }
};

TEST_F(SYNEventsAboveRevisionsTest, FewOrManyEventsAreFoundAsTheStoredRowsHoldThem) {
    const int16_t types[] = {SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge,
                             SYNStoreModificationEventTypeIncomplete, SYNStoreModificationEventTypeBaseline};
    const std::string stores[] = {"A", "B"};
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const int count = 1 + static_cast<int>(random() % (seed % 3 == 0 ? 12 : 5));
        std::map<std::string, int64_t> next;
        inStore([&] {
            EventWriter write(*context);
            for (int i = 0; i < count; ++i) {
                const std::string& storeID = stores[random() % 2];
                // Few global counts: events tie in event order, and keep
                // the order of their keys then.
                write.event("s" + std::to_string(seed) + "e" + std::to_string(i), types[random() % 4],
                            static_cast<int64_t>(random() % 3), {storeID, next[storeID]++});
            }
            ASSERT_EQ(context->save(), nullptr);
            if (random() % 2) {
                context->reset();  // else the events stay loaded
            }
        });
        // Another context retypes and deletes some of them.
        {
            auto other = otherContext();
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *other);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                const std::string uid = SYNStoreModificationEvent::uniqueIdentifier(*event);
                if (uid.rfind("s" + std::to_string(seed) + "e", 0) != 0) {
                    continue;
                }
                switch (random() % 5) {
                    case 0:
                        event->setValue(Value(int64_t{types[random() % 4]}), "type");
                        break;
                    case 1:
                        other->deleteObject(event);
                        break;
                    default:
                        break;
                }
            }
            ASSERT_EQ(other->save(), nullptr);
        }
        std::map<std::string, std::optional<int64_t>> bounds;
        for (const auto& storeID : stores) {
            switch (random() % 3) {
                case 0:
                    bounds[storeID] = std::nullopt;
                    break;
                case 1:
                    bounds[storeID] = static_cast<int64_t>(random() % 4) - 1;
                    break;
                default:
                    break;  // not asked for
            }
        }
        auto found = inStore([&] {
            auto events =
                SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions(bounds, false, *context);
            EXPECT_TRUE(events.ok());
            return events.ok() ? identifiers(*events) : std::vector<std::string>();
        });
        EXPECT_EQ(found, fetched(bounds));
        // Each found event is complete as the stored row says.
        inStore([&] {
            auto events =
                SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions(bounds, false, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                const auto type = SYNStoreModificationEvent::type(*event);
                EXPECT_TRUE(type == SYNStoreModificationEventTypeSave ||
                            type == SYNStoreModificationEventTypeMerge);
                EXPECT_FALSE(event->isDeleted());
            }
        });
        // The next seed starts from a store without these events.
        inStore([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                context->deleteObject(event);
            }
            ASSERT_EQ(context->save(), nullptr);
        });
    }
}

}  // namespace
}  // namespace eventstoretest
