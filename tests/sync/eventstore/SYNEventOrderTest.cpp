// Events put in event order in memory (global count, timestamp, the store of
// the event's own revision), as a sort by all three keys puts them; the
// store is read only for events whose count and timestamp are both equal.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "EventStoreFixture.h"

namespace eventstoretest {
namespace {

using plat::coredata::ManagedObjectPtr;

class SYNEventOrderTest : public EventStoreTest {};

TEST_F(SYNEventOrderTest, EventsAreOrderedByCountTimestampAndStoreReadingTheStoreOnlyForTies) {
    std::mt19937 random(7);
    const std::vector<std::string> stores{"A", "B", "C", "D"};
    // Counts and timestamps from small ranges, so that many events tie on
    // one or both; the unique identifiers tell the events apart.
    inStore([&] {
        EventWriter write(*context);
        for (int i = 0; i < 60; ++i) {
            auto event = write.event("e" + std::to_string(i), SYNStoreModificationEventTypeSave,
                                     static_cast<int64_t>(random() % 8),
                                     {stores[random() % stores.size()], static_cast<int64_t>(i)});
            event->setValue(plat::Value(static_cast<double>(random() % 3)), "timestamp");
        }
        ASSERT_EQ(context->save(), nullptr);
    });
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        inStore([&] {
            context->reset();
            auto fetched = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::nullopt, std::nullopt, *context);
            ASSERT_TRUE(fetched.ok());
            SYNManagedObjects events = *fetched;
            std::shuffle(events.begin(), events.end(), random);
            // Events whose count and timestamp no other event shares.
            std::map<std::pair<int64_t, double>, int> uses;
            for (const auto& event : events) {
                ++uses[{SYNStoreModificationEvent::globalCount(*event),
                        SYNStoreModificationEvent::timestamp(*event)}];
            }
            SYNManagedObjects sorted = events;
            SYNStoreModificationEvent::sortInEventOrder(sorted);
            std::size_t alone = 0;
            for (const auto& event : sorted) {
                const std::pair<int64_t, double> key{SYNStoreModificationEvent::globalCount(*event),
                                                     SYNStoreModificationEvent::timestamp(*event)};
                if (uses[key] == 1) {
                    ++alone;
                    auto record = event->objectForKey("eventRevision");
                    ASSERT_TRUE(record);
                    EXPECT_TRUE(record->isFault()) << SYNStoreModificationEvent::uniqueIdentifier(*event);
                }
            }
            EXPECT_GT(alone, 0u);
            // The reference: a stable sort by the three keys at once.
            using Key = std::tuple<int64_t, double, std::string>;
            std::vector<std::pair<Key, ManagedObjectPtr>> keyed;
            for (const auto& event : events) {
                keyed.emplace_back(Key(SYNStoreModificationEvent::globalCount(*event),
                                       SYNStoreModificationEvent::timestamp(*event),
                                       SYNStoreModificationEvent::storeIdentifier(*event)),
                                   event);
            }
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            ASSERT_EQ(sorted.size(), keyed.size());
            for (std::size_t i = 0; i < sorted.size(); ++i) {
                EXPECT_EQ(sorted[i].get(), keyed[i].second.get()) << i;
            }
        });
    }
}

}  // namespace
}  // namespace eventstoretest
