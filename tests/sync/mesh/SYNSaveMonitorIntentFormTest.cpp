// The form of what the save monitor writes and announces: an intent in the
// application store's metadata (on disk) holds its members in a fixed order,
// each key once, and its bytes are those of the same intent made member by
// member; the monitor's notifications carry the mesh and, after the will-save,
// the save's token, and nothing else.
#include <map>
#include <mutex>

#include "MeshFixture.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/mesh/SYNSaveMonitor.h"

namespace meshtest {
namespace {

using plat::Value;

std::vector<std::string> keysOf(const plat::Dictionary& dictionary) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : dictionary) {
        keys.push_back(key);
    }
    return keys;
}

// The dictionary made again key by key with set(), in the order given: the
// members one would add one at a time.
Value setMemberByMember(const plat::Dictionary& dictionary, const std::vector<std::string>& order) {
    plat::Dictionary made;
    for (const auto& key : order) {
        const auto* value = dictionary.find(key);
        EXPECT_TRUE(value) << key;
        made.set(key, value ? *value : Value());
    }
    return Value(std::move(made));
}

// Every notification of the monitor: its name and its user info.
struct InfoLog {
    InfoLog() {
        for (const char* name : {SYNMonitoredManagedObjectContextWillSaveNotification,
                                 SYNMonitoredManagedObjectContextDidSaveNotification,
                                 SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification,
                                 SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification}) {
            tokens.push_back(plat::NotificationCenter::defaultCenter().addObserverForName(
                name, nullptr, [this](const plat::Notification& note) {
                    std::lock_guard lock(mutex);
                    seen.emplace_back(note.name, note.userInfo);
                }));
        }
    }
    ~InfoLog() {
        for (const auto& token : tokens) {
            plat::NotificationCenter::defaultCenter().removeObserver(token);
        }
    }
    std::vector<std::pair<std::string, plat::Dictionary>> taken() {
        std::lock_guard lock(mutex);
        return seen;
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, plat::Dictionary>> seen;
    std::vector<plat::ObserverToken> tokens;
};

class SaveMonitorIntentFormTest : public MeshTest {
  protected:
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
};

// The intent of a save of inserted, deleted and updated objects (an
// attribute changed, members added and removed), read from the store file
// once the application's save has committed it.
TEST_F(SaveMonitorIntentFormTest, AnIntentsMembersComeInOrderOnceAndWriteTheBytesOfOneMadeMemberByMember) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());
    auto tag = app.context->insertNewObjectForEntityForName("Tag");
    tag->setValue(Value("tag"), "name");
    auto other = app.context->insertNewObjectForEntityForName("Tag");
    other->setValue(Value("other"), "name");
    auto first = app.addTask("first");
    auto second = app.addTask("second", 3, "UrgentTask");
    auto doomed = app.addTask("doomed");
    tag->mutableSetValueForKey("tasks").addObject(first);
    ASSERT_EQ(app.save(), nullptr);
    ASSERT_TRUE(MainLoop::runUntil([&] { return saveEventCount(mesh) >= 1; }, 30));
    MainLoop::drain();

    // Recorded before the application's save commits; read back from the
    // store file as the metadata holds it.
    std::optional<plat::Dictionary> intent;
    auto token = plat::NotificationCenter::defaultCenter().addObserverForName(
        SYNMonitoredManagedObjectContextDidSaveNotification, nullptr, [&](const plat::Notification&) {
            auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
                plat::coredata::SQLiteStoreType, plat::URL::fileURLWithPath(mesh->persistentStorePath()));
            ASSERT_TRUE(metadata.ok());
            const auto* intents = metadata->find(SYNSaveIntentsMetadataKey);
            ASSERT_TRUE(intents && intents->asArray() && !intents->asArray()->empty());
            ASSERT_TRUE(intents->asArray()->back().asDictionary());
            intent = *intents->asArray()->back().asDictionary();
        });
    tag->mutableSetValueForKey("tasks").removeObject(first);
    tag->mutableSetValueForKey("tasks").addObject(second);
    other->setValue(Value("renamed"), "name");
    first->setValue(Value(int64_t{9}), "priority");
    app.context->deleteObject(doomed);
    app.addTask("fresh");
    ASSERT_EQ(app.save(), nullptr);
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(MainLoop::runUntil([&] { return saveEventCount(mesh) >= 2; }, 30));
    MainLoop::drain();
    ASSERT_TRUE(intent);

    const std::vector<std::string> intentOrder{"token",   "store",   "inserted",
                                               "deleted", "updated", "globalIdentifiers"};
    const std::vector<std::string> updateOrder{"entity", "key", "names", "added", "removed"};
    EXPECT_EQ(keysOf(*intent), intentOrder);
    const auto* updates = intent->find("updated");
    ASSERT_TRUE(updates && updates->asArray());
    // The tag (members), the renamed tag, the task whose priority and tags
    // changed, the task that joined the tag.
    EXPECT_EQ(updates->asArray()->size(), 4u);
    plat::Array madeUpdates;
    for (const auto& update : *updates->asArray()) {
        ASSERT_TRUE(update.asDictionary());
        EXPECT_EQ(keysOf(*update.asDictionary()), updateOrder);
        madeUpdates.push_back(setMemberByMember(*update.asDictionary(), updateOrder));
    }
    plat::Dictionary remade = *setMemberByMember(*intent, intentOrder).asDictionary();
    remade.set("updated", Value(std::move(madeUpdates)));
    const auto written = plat::PropertyListSerialization::dataWithPropertyList(
        Value(*intent), plat::PropertyListSerialization::Format::Binary);
    const auto expected = plat::PropertyListSerialization::dataWithPropertyList(
        Value(remade), plat::PropertyListSerialization::Format::Binary);
    ASSERT_TRUE(written.ok() && expected.ok());
    EXPECT_EQ(*written, *expected);
    EXPECT_TRUE(intent->find("token")->asString() && !intent->find("token")->asString()->empty());
}

// Each notification's user info: the mesh first, then the save's token on
// every notification after the will-save (the same token for one save), and
// no other key.
TEST_F(SaveMonitorIntentFormTest, NotificationsCarryTheMeshAndTheSavesTokenOnly) {
    auto mesh = makeMesh("a");
    ASSERT_EQ(enlist(mesh), nullptr);
    AppStore app(mesh->persistentStorePath());
    InfoLog log;
    app.addTask("one");
    ASSERT_EQ(app.save(), nullptr);
    ASSERT_TRUE(MainLoop::runUntil(
        [&] {
            for (const auto& [name, info] : log.taken()) {
                if (name == SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification) {
                    return true;
                }
            }
            return false;
        },
        30));
    MainLoop::drain();

    std::map<std::string, int> counts;
    std::set<std::string> saveTokens;
    for (const auto& [name, info] : log.taken()) {
        ++counts[name];
        const auto keys = keysOf(info);
        ASSERT_FALSE(keys.empty()) << name;
        EXPECT_EQ(keys.front(), SYNPersistentStoreMeshKey) << name;
        EXPECT_EQ(plat::BoxedObject<SYNPersistentStoreMesh>::unbox(*info.find(SYNPersistentStoreMeshKey)),
                  mesh)
            << name;
        if (name == SYNMonitoredManagedObjectContextWillSaveNotification) {
            EXPECT_EQ(keys.size(), 1u) << name;
            continue;
        }
        ASSERT_EQ(keys.size(), 2u) << name;
        EXPECT_EQ(keys.back(), SYNSaveTokenKey) << name;
        const auto* token = info.find(SYNSaveTokenKey);
        ASSERT_TRUE(token && token->asString() && !token->asString()->empty()) << name;
        saveTokens.insert(*token->asString());
    }
    EXPECT_EQ(counts[SYNMonitoredManagedObjectContextWillSaveNotification], 1);
    EXPECT_EQ(counts[SYNMonitoredManagedObjectContextDidSaveNotification], 1);
    EXPECT_EQ(counts[SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification], 1);
    EXPECT_EQ(saveTokens.size(), 1u) << "one save, one token";
}

}  // namespace
}  // namespace meshtest
