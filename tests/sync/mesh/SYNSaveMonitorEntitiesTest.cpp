// A save that mixes objects of entities kept in sync with objects of an
// entity left out of it (inserted, updated and deleted, in any order): its
// event holds a change of each synced object, of its kind, and none of the
// others.
#include <map>
#include <utility>

#include "MeshFixture.h"

namespace meshtest {
namespace {

class SaveMonitorEntitiesTest : public MeshTest {
  protected:
    // (entity, change type) -> count, over the changes of the save events.
    std::map<std::pair<std::string, int16_t>, int> changesOfSaveEvents(
        const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        std::map<std::pair<std::string, int16_t>, int> out;
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            context->reset();
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                for (const auto& change : event->objectsForKey("objectChanges")) {
                    ++out[{*change->valueForKey("nameOfEntity").asString(), SYNObjectChange::type(*change)}];
                }
            }
            context->reset();
        });
        return out;
    }

    // Saves and waits until the save's event is stored.
    static void saveAndWait(AppStore& app) {
        bool stored = false;
        auto token = plat::NotificationCenter::defaultCenter().addObserverForName(
            SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification, nullptr,
            [&](const plat::Notification&) { stored = true; });
        EXPECT_EQ(app.save(), nullptr);
        EXPECT_TRUE(MainLoop::runUntil([&] { return stored; }, 30));
        plat::NotificationCenter::defaultCenter().removeObserver(token);
        MainLoop::drain();
    }
};

TEST_F(SaveMonitorEntitiesTest, OnlyTheSyncedObjectsOfAMixedSaveGetChanges) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());

    auto draft = [&](const char* text) {
        auto object = app.context->insertNewObjectForEntityForName("Draft");
        object->setValue(plat::Value(text), "text");
        return object;
    };
    // Inserts: a draft first, then the synced entities between drafts.
    auto first = draft("first");
    auto task = app.addTask("task");
    auto second = draft("second");
    auto urgent = app.addTask("urgent", 3, "UrgentTask");
    auto tag = app.context->insertNewObjectForEntityForName("Tag");
    tag->setValue(plat::Value("home"), "name");
    draft("third");
    saveAndWait(app);
    using Key = std::pair<std::string, int16_t>;
    EXPECT_EQ(changesOfSaveEvents(mesh), (std::map<Key, int>{{{"Task", SYNObjectChangeTypeInsert}, 1},
                                                             {{"UrgentTask", SYNObjectChangeTypeInsert}, 1},
                                                             {{"Tag", SYNObjectChangeTypeInsert}, 1}}));

    // Updates and deletes of both sorts in one save.
    first->setValue(plat::Value("first, edited"), "text");
    task->setValue(plat::Value(int64_t{5}), "priority");
    urgent->setValue(plat::Value(int64_t{9}), "deadline");
    app.context->deleteObject(second);
    app.context->deleteObject(tag);
    saveAndWait(app);
    EXPECT_EQ(changesOfSaveEvents(mesh), (std::map<Key, int>{{{"Task", SYNObjectChangeTypeInsert}, 1},
                                                             {{"UrgentTask", SYNObjectChangeTypeInsert}, 1},
                                                             {{"Tag", SYNObjectChangeTypeInsert}, 1},
                                                             {{"Task", SYNObjectChangeTypeUpdate}, 1},
                                                             {{"UrgentTask", SYNObjectChangeTypeUpdate}, 1},
                                                             {{"Tag", SYNObjectChangeTypeDelete}, 1}}));
}

}  // namespace
}  // namespace meshtest
