// The checks a merge makes before it integrates: whether the events carry
// any change is answered by the import's hand-off when it holds their
// records, and by the stored rows otherwise; either way a merge event is
// made only when there is something to integrate.
#include <gtest/gtest.h>

#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace integrationtest {
namespace {

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::Predicate;

class SYNMergeChecksTest : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        a_ = &addMachine("a");
        b_ = &addMachine("b");
        const auto baseline = a_->makeEmptyBaseline({a_->storeIdentifier(), b_->storeIdentifier()});
        copyEvents(*a_->eventStore(), *b_->eventStore());
        b_->adoptBaseline(baseline);
    }

    // Records a save on a and imports its event file into b's event store in
    // one batch; the ID of the event there, and whether the records were
    // handed over.
    ManagedObjectIDPtr sendSave(const std::function<void(ManagedObjectContext&)>& edit, bool& handed) {
        EXPECT_EQ(a_->recordSave(edit), nullptr);
        ManagedObjectIDPtr latest;
        auto context = a_->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            ASSERT_FALSE(events->empty());
            latest = events->back()->objectID();
        });
        std::vector<std::string> paths;
        SYNEventMigrator migrator(a_->eventStore(), a_->integrator()->managedObjectModel());
        bool done = false;
        migrator.migrateStoreModificationEventToTemporaryFiles(
            latest, [&](plat::ErrorPtr error, std::vector<std::string> files) {
                EXPECT_EQ(error, nullptr);
                EXPECT_EQ(files.size(), 1u);  // the batch import takes events of one file
                paths = std::move(files);
                done = true;
            });
        EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        SYNJSONEventBatchImport operation(b_->eventStore(), paths, 1000);
        operation.start();
        EXPECT_EQ(operation.eventIDs().size(), 1u);
        auto handOff = SYNImportedChanges::find(*coordinatorOfB());
        handed = handOff && handOff->usable();
        return operation.eventIDs().empty() ? nullptr : operation.eventIDs().front();
    }

    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinatorOfB() const {
        return b_->eventStore()->managedObjectContext()->persistentStoreCoordinator();
    }

    std::size_t mergeEventsOfB() const {
        std::size_t count = 0;
        auto context = b_->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeMerge}, std::nullopt, *context);
            EXPECT_TRUE(events.ok());
            count = events.ok() ? events->size() : 0;
        });
        return count;
    }

    // Deletes the stored changes of the event from b's event store.
    void deleteChangesOf(const ManagedObjectIDPtr& event) {
        auto context = b_->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            FetchRequest request(SYNObjectChangeEntityName);
            request.predicate = Predicate::equal("storeModificationEvent", Value(plat::ObjectPtr(event)));
            auto changes = context->executeFetchRequest(request);
            ASSERT_TRUE(changes.ok());
            ASSERT_FALSE(changes->empty());
            for (const auto& change : *changes) {
                context->deleteObject(change);
            }
            EXPECT_EQ(context->save(), nullptr);
        });
    }

    Machine* a_ = nullptr;
    Machine* b_ = nullptr;
};

void insertCalendar(ManagedObjectContext& context, const char* name) {
    auto calendar = context.insertNewObjectForEntityForName("Calendar");
    calendar->setValue(Value(name), "name");
}

// The records of changes deleted from the store after the import are not
// taken for stored changes: nothing is left to integrate, so no merge event
// is made and the store is left as it was.
TEST_F(SYNMergeChecksTest, AnImportedEventWhoseChangesAreGoneIsNotIntegrated) {
    bool handed = false;
    auto event = sendSave([](ManagedObjectContext& context) { insertCalendar(context, "home"); }, handed);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(handed);
    const auto before = b_->dump();
    deleteChangesOf(event);
    const std::size_t merges = mergeEventsOfB();
    ASSERT_EQ(b_->merge(), nullptr);
    EXPECT_EQ(mergeEventsOfB(), merges);
    EXPECT_EQ(b_->dump(), before);
    EXPECT_NE(b_->dump(), a_->dump());
}

// Calendars are integrated before their tasks, so a calendar's update that
// only moves tasks in or out sets nothing in its own pass: the tasks set
// their calendar after it (the inverse follows). Moves alone, moves with a
// rename of the calendar, a task taken out of every calendar and a calendar
// emptied give the sending machine's store, through the import's records
// and through the stored rows alike.
TEST_F(SYNMergeChecksTest, UpdatesOfRelationshipsSetFromTheOtherSideGiveTheSendersStore) {
    const std::vector<std::function<void(ManagedObjectContext&)>> saves{
        [](ManagedObjectContext& context) {
            insertCalendar(context, "home");
            insertCalendar(context, "work");
            for (const char* title : {"one", "two"}) {
                auto task = context.insertNewObjectForEntityForName("Task");
                task->setValue(Value(title), "title");
                task->setObject(objectWhere(context, "Calendar", "name", Value("home")), "calendar");
            }
        },
        [](ManagedObjectContext& context) {
            auto work = objectWhere(context, "Calendar", "name", Value("work"));
            objectWhere(context, "Task", "title", Value("one"))->setObject(work, "calendar");
            objectWhere(context, "Task", "title", Value("two"))->setObject(work, "calendar");
        },
        [](ManagedObjectContext& context) {
            auto home = objectWhere(context, "Calendar", "name", Value("home"));
            home->setValue(Value("house"), "name");
            objectWhere(context, "Task", "title", Value("one"))->setObject(home, "calendar");
        },
        [](ManagedObjectContext& context) {
            objectWhere(context, "Task", "title", Value("two"))->setObject(nullptr, "calendar");
            objectWhere(context, "Task", "title", Value("one"))
                ->setObject(objectWhere(context, "Calendar", "name", Value("work")), "calendar");
        },
    };
    for (std::size_t round = 0; round < saves.size(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        bool handed = false;
        ASSERT_NE(sendSave(saves[round], handed), nullptr);
        EXPECT_TRUE(handed);
        if (round % 2 == 1) {
            SYNImportedChanges::drop(*coordinatorOfB());  // read from the store
        }
        ASSERT_EQ(b_->merge(), nullptr);
        EXPECT_EQ(b_->dump(), a_->dump());
    }
}

// Events of more changes than are read with their values at once: their
// records leave the values to the stages, so a calendar's rename (the only
// change of the calendars' batch) is still applied.
TEST_F(SYNMergeChecksTest, UpdatesWhoseValuesAreReadByTheStagesAreApplied) {
    LoweredChangeBound bound(40);
    bool handed = false;
    ASSERT_NE(sendSave([](ManagedObjectContext& context) { insertCalendar(context, "home"); }, handed),
              nullptr);
    ASSERT_EQ(b_->merge(), nullptr);
    ASSERT_EQ(a_->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Calendar", "name", Value("home"))->setValue(Value("house"), "name");
        for (std::size_t i = 0; i <= SYNImportedChanges::maximumChanges(); ++i) {
            context.insertNewObjectForEntityForName("Task")->setValue(Value("many"), "title");
        }
    }),
              nullptr);
    copyEvents(*a_->eventStore(), *b_->eventStore());
    ASSERT_EQ(b_->merge(), nullptr);
    EXPECT_EQ(b_->dump(), a_->dump());
}

}  // namespace
}  // namespace integrationtest
