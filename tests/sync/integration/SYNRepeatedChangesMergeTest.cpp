// Merges whose entity holds a few changes and merges whose entity holds
// many (the changes' identifiers numbered by a search of the list, or
// through a table, past 16 changes), with objects changed by several events
// and deleted after being changed: the merged store is the sender's.
#include <string>
#include <tuple>
#include <vector>

#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

namespace integrationtest {
namespace {

class SYNRepeatedChangesMergeTest : public BatchModeIntegrationTest {};

TEST_P(SYNRepeatedChangesMergeTest, TheMergedStoreIsTheSendersOnEitherSideOfTheListLimit) {
    for (int count : {1, 3, 7, 8, 9, 16, 17, 30}) {
        SCOPED_TRACE(count);
        const std::string suffix = std::to_string(count);
        auto [a, b] = twoMachinesSharingABaseline(suffix);
        ASSERT_EQ(b->merge(), nullptr);
        // One save inserts the tasks, a second changes every other one and
        // a third changes them again and deletes every third one: the rows
        // of the Task entity name most identifiers more than once.
        ASSERT_EQ(a->recordSave([&](ManagedObjectContext& context) {
            auto calendar = objectWhere(context, "Calendar", "name", Value("work"));
            for (int i = 0; i < count; ++i) {
                auto task = context.insertNewObjectForEntityForName("Task");
                task->setValue(Value("t" + std::to_string(i)), "title");
                task->setObject(calendar, "calendar");
            }
        }),
                  nullptr);
        ASSERT_EQ(a->recordSave([&](ManagedObjectContext& context) {
            for (int i = 0; i < count; i += 2) {
                objectWhere(context, "Task", "title", Value("t" + std::to_string(i)))
                    ->setValue(Value(true), "done");
            }
        }),
                  nullptr);
        ASSERT_EQ(a->recordSave([&](ManagedObjectContext& context) {
            for (int i = 0; i < count; ++i) {
                auto task = objectWhere(context, "Task", "title", Value("t" + std::to_string(i)));
                if (i % 3 == 0) {
                    context.deleteObject(task);
                } else {
                    task->setValue(Value("u" + std::to_string(i)), "title");
                }
            }
        }),
                  nullptr);
        copyEvents(*a->eventStore(), *b->eventStore());
        ASSERT_EQ(b->merge(), nullptr);
        EXPECT_EQ(b->dump(), a->dump());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNRepeatedChangesMergeTest, kBatchModes, batchModeName);

}  // namespace
}  // namespace integrationtest
