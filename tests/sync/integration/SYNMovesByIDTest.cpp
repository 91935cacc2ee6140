// Tasks moved between calendars reach a machine whose integrator's context
// sits on the store, which sets each task's calendar by ID (the calendars
// looked up by key, none of them registered), and a machine that merges in
// batches through a staging context, which sets them as objects. Both, and
// the machine that made the moves, must end with the same store: the same
// links, the same calendars' members, a link to a calendar deleted on the
// merging machine cleared alike.
#include <random>

#include "platform/coredata/ManagedObjectID.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNMovesByIDTest : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        taskBatchSize = 0;
        maker = &addMachine("maker");
        byID = &addMachine("byID");
        taskBatchSize = 2;
        asObjects = &addMachine("asObjects");
        token_ = plat::NotificationCenter::defaultCenter().addObserverForName(
            plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
            [this](const plat::Notification& notification) { noteIDs(notification); });
    }
    void TearDown() override {
        plat::NotificationCenter::defaultCenter().removeObserver(token_);
        IntegrationTest::TearDown();
    }

    // Saves of a machine's application store that named an object by ID
    // among the updated ones (the destinations of links set by ID).
    void noteIDs(const plat::Notification& notification) {
        const auto* context = static_cast<const ManagedObjectContext*>(notification.object.get());
        auto coordinator = context ? context->persistentStoreCoordinator() : nullptr;
        const Value* updated = notification.userInfo.find(plat::coredata::UpdatedObjectsKey);
        if (!coordinator || !updated || !updated->asSet()) {
            return;
        }
        std::size_t ids = 0;
        for (const auto& value : updated->asSet()->values()) {
            ids += plat::coredata::ManagedObjectID::fromValue(value) ? 1 : 0;
        }
        if (ids == 0) {
            return;
        }
        for (Machine* machine : {maker, byID, asObjects}) {
            for (const auto& store : coordinator->persistentStores()) {
                if (store->URL() && store->URL()->path() == machine->storeURL().path()) {
                    namedByID[machine] += ids;
                }
            }
        }
    }

    // Every machine's events to every other, and merges, until nothing moves.
    void settle() {
        // Each merge makes an event of its own, which the others merge in
        // turn: three passes bring every save to every machine.
        for (int pass = 0; pass < 3; ++pass) {
            std::size_t copied = 0;
            for (Machine* from : {maker, byID, asObjects}) {
                for (Machine* to : {maker, byID, asObjects}) {
                    if (from != to) {
                        copied += copyEvents(*from->eventStore(), *to->eventStore());
                    }
                }
            }
            std::size_t made = 0;
            for (Machine* machine : {maker, byID, asObjects}) {
                const auto before = machine->revisions().size();
                auto error = machine->merge();
                ASSERT_EQ(error, nullptr) << machine->name() << ": " << error->description();
                made += machine->revisions().size() - before;
            }
            (void)copied;
            (void)made;
        }
    }

    // "task -> calendar" for every task, and "calendar: n" members.
    static std::vector<std::string> links(const Machine& machine) {
        std::vector<std::string> out;
        auto context = machine.newContext();
        context->performBlockAndWait([&] {
            for (const auto& task : allObjects(*context, "Task")) {
                auto calendar = task->objectForKey("calendar");
                out.push_back(task->valueForKey("title").stringValue() + " -> " +
                              (calendar ? calendar->valueForKey("name").stringValue() : "(none)"));
            }
            for (const auto& calendar : allObjects(*context, "Calendar")) {
                out.push_back(calendar->valueForKey("name").stringValue() + ": " +
                              std::to_string(calendar->objectsForKey("tasks").size()));
            }
        });
        std::sort(out.begin(), out.end());
        return out;
    }

    void expectAlike(const std::string& when) {
        const auto made = maker->dump();
        EXPECT_EQ(byID->dump(), made) << when;
        EXPECT_EQ(asObjects->dump(), made) << when;
        EXPECT_EQ(links(*byID), links(*maker)) << when;
        EXPECT_EQ(links(*asObjects), links(*maker)) << when;
    }

    Machine* maker = nullptr;
    Machine* byID = nullptr;
    Machine* asObjects = nullptr;
    std::map<const Machine*, std::size_t> namedByID;

  private:
    plat::ObserverToken token_;
};

TEST_F(SYNMovesByIDTest, MovesSetByIDLeaveWhatTheObjectPathLeaves) {
    const std::vector<std::string> names{"one", "two", "three", "four"};
    ASSERT_EQ(maker->recordSave([&](ManagedObjectContext& context) {
        std::vector<plat::coredata::ManagedObjectPtr> calendars;
        for (const auto& name : names) {
            calendars.push_back(context.insertNewObjectForEntityForName("Calendar"));
            calendars.back()->setValue(Value(name), "name");
        }
        for (int i = 0; i < 16; ++i) {
            auto task = context.insertNewObjectForEntityForName("Task");
            task->setValue(Value("t" + std::to_string(i)), "title");
            if (i != 15) {
                task->setObject(calendars[static_cast<std::size_t>(i) % 2], "calendar");
            }
        }
    }),
              nullptr);
    settle();
    expectAlike("after the first save");

    // Moves, a clearing and a first link; meanwhile the machine merging by
    // ID deletes a calendar that one move names (the link ends cleared).
    ASSERT_EQ(maker->recordSave([&](ManagedObjectContext& context) {
        auto calendar = [&](const char* name) {
            return objectWhere(context, "Calendar", "name", Value(name));
        };
        auto task = [&](const char* title) { return objectWhere(context, "Task", "title", Value(title)); };
        task("t0")->setObject(calendar("two"), "calendar");
        task("t1")->setObject(calendar("three"), "calendar");
        task("t2")->setObject(calendar("four"), "calendar");
        task("t3")->setObject(nullptr, "calendar");
        task("t15")->setObject(calendar("one"), "calendar");
    }),
              nullptr);
    ASSERT_EQ(byID->recordSave([&](ManagedObjectContext& context) {
        context.deleteObject(objectWhere(context, "Calendar", "name", Value("four")));
    }),
              nullptr);
    namedByID.clear();
    settle();
    expectAlike("after the moves and the deletion");
    EXPECT_GT(namedByID[byID], 0u);       // the calendars were set by ID there
    EXPECT_EQ(namedByID[asObjects], 0u);  // and as objects here
    {
        auto context = byID->newContext();
        context->performBlockAndWait([&] {
            EXPECT_EQ(objectWhere(*context, "Task", "title", Value("t2"))->objectForKey("calendar"), nullptr);
            EXPECT_EQ(
                objectWhere(*context, "Calendar", "name", Value("three"))->objectsForKey("tasks").size(), 1u);
        });
    }

    // Rounds of random moves made on every machine in turn (each round's
    // saves merged everywhere before the next).
    std::mt19937 random(2541);
    for (int round = 0; round < 6; ++round) {
        Machine* mover = round % 3 == 0 ? maker : round % 3 == 1 ? byID : asObjects;
        ASSERT_EQ(mover->recordSave([&](ManagedObjectContext& context) {
            auto calendars = allObjects(context, "Calendar");
            auto tasks = allObjects(context, "Task");
            std::sort(calendars.begin(), calendars.end(), [](const auto& x, const auto& y) {
                return x->valueForKey("name").stringValue() < y->valueForKey("name").stringValue();
            });
            std::sort(tasks.begin(), tasks.end(), [](const auto& x, const auto& y) {
                return x->valueForKey("title").stringValue() < y->valueForKey("title").stringValue();
            });
            for (int move = 0; move < 5; ++move) {
                auto& task = tasks[random() % tasks.size()];
                const std::size_t to = random() % (calendars.size() + 1);
                task->setObject(to < calendars.size() ? calendars[to] : nullptr, "calendar");
            }
        }),
                  nullptr);
        settle();
        expectAlike("after round " + std::to_string(round));
    }
}

}  // namespace
}  // namespace integrationtest
