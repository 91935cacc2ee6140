#include "sync/eventstore/SYNContextAdditions.h"

#include <gtest/gtest.h>

#include "EventStoreFixture.h"

namespace eventstoretest {
namespace {

using plat::Value;

using SYNContextAdditionsTest = EventStoreTest;

TEST_F(SYNContextAdditionsTest, FetchesAreWalkedInBatchesInTheRequestsOrder) {
    auto app = makeApplication();
    for (int i = 0; i < 6; ++i) {
        auto person = app.context->insertNewObjectForEntityForName("Person");
        person->setValue(Value(int64_t{i}), "age");
    }
    ASSERT_EQ(app.context->save(), nullptr);
    plat::coredata::FetchRequest request("Person");
    request.predicate = plat::coredata::Predicate::lessThan("age", Value(5));
    request.sortDescriptors = {plat::coredata::SortDescriptor("age", false)};

    std::vector<std::vector<int64_t>> batches;
    std::vector<std::size_t> toCome;
    auto collect = [&](const SYNManagedObjects& batch, std::size_t remaining, bool&) {
        std::vector<int64_t> ages;
        for (const auto& object : batch) {
            ages.push_back(object->valueForKey("age").integerValue());
        }
        batches.push_back(ages);
        toCome.push_back(remaining);
    };
    EXPECT_TRUE(syn_enumerateObjectsForFetchRequest(*app.context, request, 2, collect));
    EXPECT_EQ(batches, (std::vector<std::vector<int64_t>>{{4, 3}, {2, 1}, {0}}));
    EXPECT_EQ(toCome, (std::vector<std::size_t>{2, 1, 0}));

    batches.clear();
    EXPECT_TRUE(syn_enumerateObjectsForFetchRequest(*app.context, request, 0, collect));
    EXPECT_EQ(batches.size(), 1u);

    int calls = 0;
    EXPECT_FALSE(syn_enumerateObjectsForFetchRequest(*app.context, request, 2,
                                                     [&](const SYNManagedObjects&, std::size_t, bool& stop) {
                                                         ++calls;
                                                         stop = true;
                                                     }));
    EXPECT_EQ(calls, 1);
    request.predicate = plat::coredata::Predicate::greaterThan("age", Value(100));
    EXPECT_TRUE(syn_enumerateObjectsForFetchRequest(
        *app.context, request, 2, [&](const SYNManagedObjects&, std::size_t, bool&) { ++calls; }));
    EXPECT_EQ(calls, 1);
}

// Only the batch in hand is built: the IDs come first without their objects
// (exporting a baseline of 100,000 changes used to hold them all at once).
TEST_F(SYNContextAdditionsTest, OnlyTheBatchInHandIsBuilt) {
    auto app = makeApplication();
    for (int i = 0; i < 50; ++i) {
        app.context->insertNewObjectForEntityForName("Person")->setValue(Value(int64_t{i}), "age");
    }
    ASSERT_EQ(app.context->save(), nullptr);
    app.context->reset();
    plat::coredata::FetchRequest request("Person");
    request.sortDescriptors = {plat::coredata::SortDescriptor("age", true)};
    std::vector<std::size_t> registered;
    int64_t next = 0;
    EXPECT_TRUE(syn_enumerateObjectsForFetchRequest(
        *app.context, request, 5, [&](const SYNManagedObjects& batch, std::size_t, bool&) {
            registered.push_back(app.context->registeredObjects().size());
            for (const auto& object : batch) {
                EXPECT_EQ(object->valueForKey("age").integerValue(), next++);
            }
            app.context->reset();
        }));
    EXPECT_EQ(next, 50);
    EXPECT_EQ(registered, std::vector<std::size_t>(10, 5));
}

}  // namespace
}  // namespace eventstoretest
