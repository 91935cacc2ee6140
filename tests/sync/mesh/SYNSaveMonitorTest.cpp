#include "sync/mesh/SYNSaveMonitor.h"

#include <atomic>
#include <future>

#include "MeshFixture.h"
#include "support/PowerLossVFS.h"

namespace meshtest {
namespace {

// The monitor's notifications, in order, with their save tokens.
struct MonitorLog {
    MonitorLog() {
        for (const char* name : {SYNMonitoredManagedObjectContextWillSaveNotification,
                                 SYNMonitoredManagedObjectContextDidSaveNotification,
                                 SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification,
                                 SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification}) {
            tokens.push_back(plat::NotificationCenter::defaultCenter().addObserverForName(
                name, nullptr, [this](const plat::Notification& note) {
                    std::lock_guard lock(mutex);
                    std::string shortName =
                        note.name.substr(std::string("SYNMonitoredManagedObjectContext").size());
                    names.push_back(shortName);
                    auto token = info(note, SYNSaveTokenKey);
                    if (token.asString()) {
                        saveTokens.insert(*token.asString());
                    }
                    if (note.name == SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification) {
                        EXPECT_TRUE(MainLoop::isMainThread());
                        ++stored;
                    }
                }));
        }
    }
    ~MonitorLog() {
        for (const auto& token : tokens) {
            plat::NotificationCenter::defaultCenter().removeObserver(token);
        }
    }
    void waitForStored(int count) {
        ASSERT_TRUE(MainLoop::runUntil(
            [&] {
                std::lock_guard lock(mutex);
                return stored >= count;
            },
            30));
    }
    std::mutex mutex;
    std::vector<std::string> names;
    std::set<std::string> saveTokens;
    int stored = 0;
    std::vector<plat::ObserverToken> tokens;
};

class SaveMonitorTest : public MeshTest {
  protected:
    // (type, number of changes) of every save event, by unique identifier.
    std::map<std::string, std::size_t> saveEvents(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
        std::map<std::string, std::size_t> out;
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                out[SYNStoreModificationEvent::uniqueIdentifier(*event)] =
                    event->objectsForKey("objectChanges").size();
            }
        });
        return out;
    }
};

TEST_F(SaveMonitorTest, EverySaveOfTheEnlistedStoreBecomesOneSaveEventUnderItsToken) {
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    {
        // Before enlisting nothing is posted.
        MonitorLog log;
        app.addTask("early");
        ASSERT_EQ(app.save(), nullptr);
        MainLoop::drain();
        EXPECT_TRUE(log.names.empty());
    }
    ASSERT_EQ(enlist(mesh), nullptr);
    MonitorLog log;
    auto task = app.addTask("write report", 1);
    app.addTask("call", 2);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(1);
    EXPECT_EQ(log.names, (std::vector<std::string>{"WillSaveNotification", "DidSaveNotification",
                                                   "SaveChangesWillBeStoredNotification",
                                                   "SaveChangesWereStoredNotification"}));
    task->setValue(plat::Value(int64_t(7)), "priority");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(2);
    app.context->deleteObject(task);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(3);
    MainLoop::drain();
    auto events = saveEvents(mesh);
    ASSERT_EQ(events.size(), 3u);
    // The tokens of the notifications are the events' identifiers.
    std::set<std::string> identifiers;
    for (const auto& [uid, changes] : events) {
        identifiers.insert(uid);
        EXPECT_GE(changes, 1u);
    }
    EXPECT_EQ(identifiers, log.saveTokens);
    EXPECT_TRUE(mesh->eventStore()->incompleteMandatoryEventIdentifiers().empty());
}

// Whatever a save holds (only inserts, only updates, only deletes, or all
// three), its event is stored finished, with the changes of each kind, and
// counts above every event stored before it.
TEST_F(SaveMonitorTest, EachKindOfSaveIsStoredAsAFinishedEventInOrder) {
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    auto kept = app.addTask("kept");
    auto dropped = app.addTask("dropped");
    auto last = app.addTask("last");
    ASSERT_EQ(app.save(), nullptr);
    ASSERT_EQ(enlist(mesh), nullptr);
    MonitorLog log;
    int saves = 0;
    app.addTask("new");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(++saves);
    kept->setValue(plat::Value(int64_t(3)), "priority");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(++saves);
    app.context->deleteObject(dropped);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(++saves);
    app.addTask("newer");
    kept->setValue(plat::Value(int64_t(4)), "priority");
    app.context->deleteObject(last);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(++saves);
    MainLoop::drain();

    auto context = mesh->eventStore()->managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        SYNStoreModificationEvent::sortInEventOrder(*events);
        std::vector<std::size_t> changes;
        int64_t previous = 0;
        for (const auto& event : *events) {
            changes.push_back(event->objectsForKey("objectChanges").size());
            EXPECT_GT(SYNStoreModificationEvent::globalCount(*event), previous);
            previous = SYNStoreModificationEvent::globalCount(*event);
        }
        EXPECT_EQ(changes, (std::vector<std::size_t>{1, 1, 1, 3}));
        auto unfinished = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeIncomplete}, std::nullopt, *context);
        ASSERT_TRUE(unfinished.ok());
        EXPECT_TRUE(unfinished->empty());
    });
    EXPECT_TRUE(mesh->eventStore()->incompleteMandatoryEventIdentifiers().empty());
}

// The identifiers the mesh's delegate gives inserted objects are asked for
// once per save: the intent records them before the save and the event takes
// the same ones after it.
TEST_F(SaveMonitorTest, TheDelegateIsAskedOnceForTheIdentifiersOfASavesInserts) {
    struct CountingDelegate : SYNPersistentStoreMeshDelegate {
        std::vector<std::optional<std::string>> persistentStoreMeshGlobalIdentifiersForManagedObjects(
            SYNPersistentStoreMesh&, const std::vector<plat::coredata::ManagedObjectPtr>& objects) override {
            std::vector<std::optional<std::string>> identifiers;
            for (const auto& object : objects) {
                const auto title = *object->valueForKey("title").asString();
                ++asked[title];
                identifiers.push_back(title == "anonymous" ? std::nullopt
                                                           : std::optional<std::string>("gid-" + title));
            }
            return identifiers;
        }
        std::map<std::string, int> asked;
    };
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    ASSERT_EQ(enlist(mesh), nullptr);
    auto delegate = std::make_shared<CountingDelegate>();
    mesh->delegate = delegate;
    MonitorLog log;
    app.addTask("write report");
    app.addTask("call");
    app.addTask("anonymous");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(1);
    MainLoop::drain();
    EXPECT_EQ(delegate->asked,
              (std::map<std::string, int>{{"anonymous", 1}, {"call", 1}, {"write report", 1}}));

    std::set<std::string> identifiers;
    auto context = mesh->eventStore()->managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        ASSERT_EQ(events->size(), 1u);
        for (const auto& change : (*events)[0]->objectsForKey("objectChanges")) {
            identifiers.insert(SYNObjectChange::globalIdentifierString(*change).value_or(""));
        }
    });
    ASSERT_EQ(identifiers.size(), 3u);
    EXPECT_TRUE(identifiers.count("gid-write report"));
    EXPECT_TRUE(identifiers.count("gid-call"));
    EXPECT_FALSE(identifiers.count(""));  // the object without one got a new identifier
}

// A save that inserts, updates and deletes is stored in one save of the
// event store (one commit), its changes naming one another's identifiers:
// the update links to the insert and to the delete.
TEST_F(SaveMonitorTest, ASaveOfEveryKindIsStoredInOneEventStoreSave) {
    auto mesh = makeMesh("a");
    AppStore app(mesh->persistentStorePath());
    auto tag = app.context->insertNewObjectForEntityForName("Tag");
    tag->setValue(plat::Value("home"), "name");
    auto old = app.addTask("old");
    old->mutableSetValueForKey("tags").addObject(tag);
    ASSERT_EQ(app.save(), nullptr);
    ASSERT_EQ(enlist(mesh), nullptr);
    MonitorLog log;
    auto eventContext = mesh->eventStore()->managedObjectContext();
    std::atomic<int> eventStoreSaves{0};
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, eventContext,
        [&](const plat::Notification&) { ++eventStoreSaves; });
    auto added = app.addTask("new");
    added->mutableSetValueForKey("tags").addObject(tag);
    app.context->deleteObject(old);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(1);
    MainLoop::drain();
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_EQ(eventStoreSaves.load(), 1);

    eventContext->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *eventContext);
        ASSERT_TRUE(events.ok());
        ASSERT_EQ(events->size(), 1u);
        std::map<int16_t, std::string> identifierOf;
        std::vector<SYNPropertyChangeValue> tagValues;
        for (const auto& change : (*events)[0]->objectsForKey("objectChanges")) {
            const auto type = SYNObjectChange::type(*change);
            EXPECT_FALSE(identifierOf.count(type)) << type;
            identifierOf[type] = SYNObjectChange::globalIdentifierString(*change).value_or("");
            if (type == SYNObjectChangeTypeUpdate) {
                tagValues = SYNObjectChange::propertyChangeValues(*change);
            }
        }
        ASSERT_EQ(identifierOf.size(), 3u);
        ASSERT_EQ(tagValues.size(), 1u);
        EXPECT_EQ(tagValues[0].propertyName(), "tasks");
        EXPECT_EQ(tagValues[0].addedIdentifiers(),
                  (std::set<std::string>{identifierOf[SYNObjectChangeTypeInsert]}));
        EXPECT_EQ(tagValues[0].removedIdentifiers(),
                  (std::set<std::string>{identifierOf[SYNObjectChangeTypeDelete]}));
    });
    EXPECT_TRUE(mesh->eventStore()->incompleteMandatoryEventIdentifiers().empty());
}

TEST_F(SaveMonitorTest, SavesThatReachNoMonitoredStoreOrOnlyIgnoredObjectsRecordNothing) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());
    AppStore other((root / "other.sqlite").string());
    MonitorLog log;

    other.addTask("elsewhere");
    ASSERT_EQ(other.save(), nullptr);
    // The integrator's own saves are not monitored.
    AppStore integrator(mesh->persistentStorePath());
    integrator.context->setUserInfo({{SYNBelongsToEventIntegratorKey, plat::Value(true)}});
    integrator.addTask("merged in");
    ASSERT_EQ(integrator.save(), nullptr);
    MainLoop::drain();
    EXPECT_TRUE(log.names.empty());

    // Only ignored objects: notified, but nothing to be stored.
    auto draft = app.context->insertNewObjectForEntityForName("Draft");
    draft->setValue(plat::Value("scribble"), "text");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(1);
    EXPECT_EQ(log.names, (std::vector<std::string>{"WillSaveNotification", "DidSaveNotification",
                                                   "SaveChangesWereStoredNotification"}));

    // A child context's save is not monitored; its parent's save is.
    log.names.clear();
    auto child = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    child->setParentContext(app.context);
    auto task = child->insertNewObjectForEntityForName("Task");
    task->setValue(plat::Value("from child"), "title");
    ASSERT_EQ(child->save(), nullptr);
    EXPECT_TRUE(log.names.empty());
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(2);
    MainLoop::drain();
    EXPECT_EQ(saveEvents(mesh).size(), 1u);
}

// The intent a save writes into the store's metadata, as a start reads it to
// record a save whose event was lost: its members in a fixed order, the IDs
// of each kind grouped by entity in the order of the entities' names, and
// for each updated object the names it changes with the to-many members it
// adds and removes. Only the intents of saves whose events are not stored
// are kept: after two saves, the second's alone.
TEST_F(SaveMonitorTest, ASavesIntentListsItsObjectsByEntityInNameOrder) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());
    MonitorLog log;
    auto home = app.context->insertNewObjectForEntityForName("Tag");
    home->setValue(plat::Value("home"), "name");
    auto task = app.addTask("write report", 1);
    task->mutableSetValueForKey("tags").addObject(home);
    auto gone = app.addTask("obsolete");
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(1);

    auto urgent = app.addTask("fire", 9, "UrgentTask");
    auto plain = app.addTask("call");
    auto work = app.context->insertNewObjectForEntityForName("Tag");
    work->setValue(plat::Value("work"), "name");
    task->setValue(plat::Value(int64_t(2)), "priority");
    task->mutableSetValueForKey("tags").removeObject(home);
    task->mutableSetValueForKey("tags").addObject(work);
    app.context->deleteObject(gone);
    ASSERT_EQ(app.save(), nullptr);
    log.waitForStored(2);
    MainLoop::drain();

    auto key = [](const plat::coredata::ManagedObjectPtr& object) {
        return plat::Value(object->objectID()->primaryKey());
    };
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        plat::coredata::SQLiteStoreType, plat::URL::fileURLWithPath(mesh->persistentStorePath()));
    ASSERT_TRUE(metadata.ok());
    const auto* intents = metadata->find(SYNSaveIntentsMetadataKey);
    ASSERT_TRUE(intents && intents->asArray());
    ASSERT_EQ(intents->asArray()->size(), 1u);
    const auto* intent = intents->asArray()->front().asDictionary();
    ASSERT_TRUE(intent);
    std::vector<std::string> members;
    for (const auto& [name, value] : *intent) {
        members.push_back(name);
    }
    EXPECT_EQ(members, (std::vector<std::string>{"token", "store", "inserted", "deleted", "updated",
                                                 "globalIdentifiers"}));
    ASSERT_TRUE(intent->find("inserted") && intent->find("inserted")->asDictionary());
    const auto& inserted = *intent->find("inserted")->asDictionary();
    ASSERT_EQ(inserted.size(), 3u);
    EXPECT_EQ(inserted.entryAt(0).first, "Tag");
    EXPECT_EQ(inserted.entryAt(0).second, plat::Value(plat::Array{key(work)}));
    EXPECT_EQ(inserted.entryAt(1).first, "Task");
    EXPECT_EQ(inserted.entryAt(1).second, plat::Value(plat::Array{key(plain)}));
    EXPECT_EQ(inserted.entryAt(2).first, "UrgentTask");
    EXPECT_EQ(inserted.entryAt(2).second, plat::Value(plat::Array{key(urgent)}));
    EXPECT_EQ(*intent->find("deleted"),
              plat::Value(plat::Dictionary{{"Task", plat::Value(plat::Array{key(gone)})}}));

    // The task and the tag it left (the tag it joined is inserted).
    ASSERT_TRUE(intent->find("updated") && intent->find("updated")->asArray());
    std::map<std::string, const plat::Dictionary*> updated;
    for (const auto& entry : *intent->find("updated")->asArray()) {
        ASSERT_TRUE(entry.asDictionary());
        const auto* entity = entry.asDictionary()->find("entity");
        ASSERT_TRUE(entity && entity->asString());
        updated[*entity->asString()] = entry.asDictionary();
    }
    ASSERT_EQ(updated.size(), 2u);
    ASSERT_TRUE(updated.count("Task") && updated.count("Tag"));
    const auto& changedTask = *updated["Task"];
    std::vector<std::string> taskMembers;
    for (const auto& [name, value] : changedTask) {
        taskMembers.push_back(name);
    }
    EXPECT_EQ(taskMembers, (std::vector<std::string>{"entity", "key", "names", "added", "removed"}));
    EXPECT_EQ(*changedTask.find("key"), key(task));
    std::set<std::string> names;
    for (const auto& name : *changedTask.find("names")->asArray()) {
        names.insert(*name.asString());
    }
    EXPECT_EQ(names, (std::set<std::string>{"priority", "tags"}));
    auto tagsOf = [&](const char* which) {
        return plat::Value(
            plat::Dictionary{{"Tag", plat::Value(plat::Array{key(which[0] == 'a' ? work : home)})}});
    };
    EXPECT_EQ(*changedTask.find("added"), plat::Value(plat::Dictionary{{"tags", tagsOf("added")}}));
    EXPECT_EQ(*changedTask.find("removed"), plat::Value(plat::Dictionary{{"tags", tagsOf("removed")}}));
    const auto& changedTag = *updated["Tag"];
    EXPECT_EQ(*changedTag.find("key"), key(home));
    EXPECT_EQ(*changedTag.find("added"),
              plat::Value(plat::Dictionary{{"tasks", plat::Value(plat::Dictionary())}}));
    EXPECT_EQ(*changedTag.find("removed"),
              plat::Value(plat::Dictionary{
                  {"tasks", plat::Value(plat::Dictionary{{"Task", plat::Value(plat::Array{key(task)})}})}}));
}

struct DelistRecorder : SYNPersistentStoreMeshDelegate {
    void persistentStoreMeshDidDelistWithError(SYNPersistentStoreMesh&,
                                               const plat::ErrorPtr& error) override {
        codes.push_back(code(error));
    }
    std::vector<int64_t> codes;
};

// The event store's disk fails while a save's event is being stored. The
// save is not let through: the merge asked for after it stops before
// integrating anything, the store is delisted (203), and the enlist that
// follows imports the save, which then reaches the other store.
TEST_F(SaveMonitorTest, ASaveWhoseEventCannotBeStoredIsImportedByTheNextEnlist) {
    {
        testsupport::PowerLossVFS vfs;
        auto mesh = SYNPersistentStoreMesh::create(configuration("a"));
        ASSERT_TRUE(mesh);
        auto delegate = std::make_shared<DelistRecorder>();
        mesh->delegate = delegate;
        ASSERT_EQ(enlist(mesh), nullptr);
        {
            AppStore app(mesh->persistentStorePath());
            MonitorLog log;
            // Holds the event store's queue until the disk has failed.
            std::promise<void> release;
            mesh->eventStore()->managedObjectContext()->performBlock(
                [held = release.get_future().share()] { held.wait(); });
            app.addTask("unrecorded", 3);
            ASSERT_EQ(app.save(), nullptr);
            vfs.cutPowerAfter(0);
            release.set_value();
            EXPECT_EQ(code(wait([&](SYNCompletion c) { mesh->mergeWithCompletion(c); })),
                      SYNErrorIncompleteEventData);
            log.waitForStored(1);
            ASSERT_TRUE(MainLoop::runUntil([&] { return !delegate->codes.empty(); }, 30));
            EXPECT_EQ(delegate->codes, std::vector<int64_t>{SYNErrorIncompleteEventData});
            EXPECT_FALSE(mesh->isEnlisted());
        }
        mesh->dismantle();
        MainLoop::drain();
    }
    auto a = makeMesh("a");
    ASSERT_FALSE(a->isEnlisted());
    ASSERT_EQ(enlist(a), nullptr);
    ASSERT_EQ(wait([&](SYNCompletion c) { a->mergeWithCompletion(c); }), nullptr);
    auto b = makeMesh("b");
    ASSERT_EQ(enlist(b), nullptr);
    ASSERT_EQ(wait([&](SYNCompletion c) { b->mergeWithCompletion(c); }), nullptr);
    AppStore bApp(b->persistentStorePath());
    EXPECT_EQ(bApp.tasks(), (std::map<std::string, int64_t>{{"unrecorded", 3}}));
}

}  // namespace
}  // namespace meshtest
