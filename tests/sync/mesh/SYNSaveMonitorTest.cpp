#include "sync/mesh/SYNSaveMonitor.h"

#include "MeshFixture.h"

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

}  // namespace
}  // namespace meshtest
