// Which saves the save monitor records, and the lists of IDs its intents
// hold: event stores' saves (of every mesh of the process) are turned away
// by their model, the application's saves around them are still recorded,
// and an intent's lists, whether of one entity or several, read back as the
// objects grouped by entity in the order of the entities' names.
#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "MeshFixture.h"
#include "sync/mesh/SYNSaveMonitor.h"

namespace meshtest {
namespace {

using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

// The saving contexts of the monitor's will-save notifications, in order.
struct WillSaveLog {
    WillSaveLog() {
        token = plat::NotificationCenter::defaultCenter().addObserverForName(
            SYNMonitoredManagedObjectContextWillSaveNotification, nullptr,
            [this](const plat::Notification& note) {
                std::lock_guard lock(mutex);
                contexts.push_back(note.object.get());
            });
    }
    ~WillSaveLog() { plat::NotificationCenter::defaultCenter().removeObserver(token); }
    std::vector<const void*> taken() {
        std::lock_guard lock(mutex);
        return contexts;
    }
    std::mutex mutex;
    std::vector<const void*> contexts;
    plat::ObserverToken token;
};

class SaveMonitorSavesSeenTest : public MeshTest {
  protected:
    static plat::ErrorPtr merge(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        return wait([&](SYNCompletion c) { mesh->mergeWithCompletion(c); });
    }
    // Save events of the mesh's event store.
    static std::size_t saveEventCount(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        std::size_t count = 0;
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            count = events->size();
        });
        return count;
    }
    // Waits until the mesh's event store holds `count` save events.
    static void waitForSaveEvents(const std::shared_ptr<SYNPersistentStoreMesh>& mesh, std::size_t count) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return saveEventCount(mesh) >= count; }, 30));
        MainLoop::drain();
    }
};

// Two meshes in one process: every save of either event store (the save
// events, the imports and the merge events) reaches both monitors, which
// turn them away; the applications' saves before and after them are each
// recorded by their own monitor alone, once.
TEST_F(SaveMonitorSavesSeenTest, EventStoreSavesAreTurnedAwayAndApplicationSavesStillRecorded) {
    auto a = makeMesh("a");
    ASSERT_EQ(enlist(a), nullptr);
    auto b = makeMesh("b");
    ASSERT_EQ(enlist(b), nullptr);
    AppStore appA(a->persistentStorePath());
    AppStore appB(b->persistentStorePath());
    WillSaveLog log;

    appA.addTask("first of a");
    ASSERT_EQ(appA.save(), nullptr);
    waitForSaveEvents(a, 1);
    appB.addTask("first of b");
    ASSERT_EQ(appB.save(), nullptr);
    waitForSaveEvents(b, 1);
    // Each merge saves its event store (imports, merge events) and b's
    // integrates a's task into b's store through the integrator's context.
    ASSERT_EQ(merge(a), nullptr);
    ASSERT_EQ(merge(b), nullptr);
    ASSERT_EQ(merge(a), nullptr);
    EXPECT_EQ(appB.tasks().count("first of a"), 1u);

    // The monitors still record the applications' saves after those.
    appA.addTask("second of a");
    ASSERT_EQ(appA.save(), nullptr);
    waitForSaveEvents(a, 2);
    appB.addTask("second of b");
    ASSERT_EQ(appB.save(), nullptr);
    waitForSaveEvents(b, 2);
    MainLoop::drain();

    const std::vector<const void*> expected{appA.context.get(), appA.context.get(), appB.context.get(),
                                            appB.context.get()};
    auto seen = log.taken();
    std::vector<const void*> sorted = seen;
    std::vector<const void*> wanted = expected;
    std::sort(sorted.begin(), sorted.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(sorted, wanted) << "only the applications' own saves, each once";
    EXPECT_EQ(saveEventCount(a), 2u);
    EXPECT_EQ(saveEventCount(b), 2u);
}

// The keys of one encoded list by entity, in the list's order of entities,
// each entity's keys sorted; `listed` says whether each key came once.
std::vector<std::pair<std::string, std::vector<int64_t>>> keysByEntity(const plat::Value* encoded,
                                                                       bool& listedOnce) {
    std::vector<std::pair<std::string, std::vector<int64_t>>> out;
    if (!encoded || !encoded->asDictionary()) {
        ADD_FAILURE() << "not a dictionary";
        return out;
    }
    for (const auto& [entity, keys] : *encoded->asDictionary()) {
        std::vector<int64_t> numbers;
        if (keys.asArray()) {
            for (const auto& key : *keys.asArray()) {
                numbers.push_back(key.longLongValue());
            }
        }
        std::sort(numbers.begin(), numbers.end());
        listedOnce = listedOnce && std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end();
        out.emplace_back(entity, std::move(numbers));
    }
    return out;
}

// What the intent should hold for these objects: entities in name order,
// each with its objects' keys (sorted, to compare).
std::vector<std::pair<std::string, std::vector<int64_t>>> expectedKeys(
    const std::vector<ManagedObjectPtr>& objects) {
    std::map<std::string, std::vector<int64_t>> byName;
    for (const auto& object : objects) {
        byName[object->entity()->name()].push_back(object->objectID()->primaryKey());
    }
    std::vector<std::pair<std::string, std::vector<int64_t>>> out;
    for (auto& [name, keys] : byName) {
        std::sort(keys.begin(), keys.end());
        out.emplace_back(name, std::move(keys));
    }
    return out;
}

// One save adds members of two entities to a tag, removes members of one
// entity from another, renames a third tag (no member changed), deletes
// objects of two entities and inserts a tag: every list of the intent, of
// one entity or of several, names exactly those objects, grouped by entity
// in name order; lists with nothing in them are empty dictionaries.
TEST_F(SaveMonitorSavesSeenTest, AnIntentsListsOfOneOrSeveralEntitiesNameTheirObjectsByEntity) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());
    auto tag = [&](const char* name) {
        auto made = app.context->insertNewObjectForEntityForName("Tag");
        made->setValue(plat::Value(name), "name");
        return made;
    };
    auto mixed = tag("mixed");
    auto single = tag("single");
    auto quiet = tag("quiet");
    auto urgent1 = app.addTask("urgent one", 5, "UrgentTask");
    auto plain1 = app.addTask("plain one");
    auto urgent2 = app.addTask("urgent two", 7, "UrgentTask");
    auto plain2 = app.addTask("plain two");
    auto plain3 = app.addTask("plain three");
    auto plain4 = app.addTask("plain four");
    auto urgent3 = app.addTask("urgent three", 9, "UrgentTask");
    for (const auto& member : {plain2, plain3}) {
        single->mutableSetValueForKey("tasks").addObject(member);
    }
    ASSERT_EQ(app.save(), nullptr);
    waitForSaveEvents(mesh, 1);

    for (const auto& member : {urgent1, plain1, urgent2}) {
        mixed->mutableSetValueForKey("tasks").addObject(member);
    }
    for (const auto& member : {plain2, plain3}) {
        single->mutableSetValueForKey("tasks").removeObject(member);
    }
    quiet->setValue(plat::Value("hushed"), "name");
    app.context->deleteObject(plain4);
    app.context->deleteObject(urgent3);
    auto fresh = tag("fresh");
    ASSERT_EQ(app.save(), nullptr);
    waitForSaveEvents(mesh, 2);

    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        plat::coredata::SQLiteStoreType, plat::URL::fileURLWithPath(mesh->persistentStorePath()));
    ASSERT_TRUE(metadata.ok());
    const auto* intents = metadata->find(SYNSaveIntentsMetadataKey);
    ASSERT_TRUE(intents && intents->asArray());
    ASSERT_EQ(intents->asArray()->size(), 1u);
    const auto* intent = intents->asArray()->front().asDictionary();
    ASSERT_TRUE(intent);

    bool once = true;
    EXPECT_EQ(keysByEntity(intent->find("inserted"), once), expectedKeys({fresh}));
    EXPECT_EQ(keysByEntity(intent->find("deleted"), once), expectedKeys({plain4, urgent3}));

    // Each updated object's members added and removed, by entity and key
    // (each entity numbers its objects).
    std::map<std::pair<std::string, int64_t>, const plat::Dictionary*> updated;
    ASSERT_TRUE(intent->find("updated") && intent->find("updated")->asArray());
    for (const auto& entry : *intent->find("updated")->asArray()) {
        ASSERT_TRUE(entry.asDictionary());
        const auto* entity = entry.asDictionary()->find("entity");
        ASSERT_TRUE(entity && entity->asString());
        updated[{*entity->asString(), entry.asDictionary()->find("key")->longLongValue()}] =
            entry.asDictionary();
    }
    auto members = [&](const ManagedObjectPtr& object, const char* which,
                       const char* property) -> const plat::Value* {
        auto found = updated.find({object->entity()->name(), object->objectID()->primaryKey()});
        if (found == updated.end()) {
            ADD_FAILURE() << "no update of " << object->objectID()->primaryKey();
            return nullptr;
        }
        const auto* lists = found->second->find(which);
        if (!lists || !lists->asDictionary()) {
            ADD_FAILURE() << which << " is not a dictionary";
            return nullptr;
        }
        return property ? lists->asDictionary()->find(property) : lists;
    };
    EXPECT_EQ(keysByEntity(members(mixed, "added", "tasks"), once), expectedKeys({urgent1, plain1, urgent2}));
    EXPECT_EQ(keysByEntity(members(mixed, "removed", "tasks"), once), expectedKeys({}));
    EXPECT_EQ(keysByEntity(members(single, "removed", "tasks"), once), expectedKeys({plain2, plain3}));
    EXPECT_EQ(keysByEntity(members(single, "added", "tasks"), once), expectedKeys({}));
    for (const auto& task : {urgent1, plain1, urgent2}) {
        EXPECT_EQ(keysByEntity(members(task, "added", "tags"), once), expectedKeys({mixed}));
    }
    for (const auto& task : {plain2, plain3}) {
        EXPECT_EQ(keysByEntity(members(task, "removed", "tags"), once), expectedKeys({single}));
    }
    // A rename changes no member: both lists are empty dictionaries.
    ASSERT_NE(members(quiet, "added", nullptr), nullptr);
    EXPECT_EQ(*members(quiet, "added", nullptr), plat::Value(plat::Dictionary()));
    EXPECT_EQ(*members(quiet, "removed", nullptr), plat::Value(plat::Dictionary()));
    EXPECT_TRUE(once) << "a key listed twice";
}

}  // namespace
}  // namespace meshtest
