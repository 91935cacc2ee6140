// What the integrator's did-save block is given after a merge's commit: the
// information the commit's own did-save notification carried, whether the
// merge's save monitoring runs (its observer takes it) or not (an observer
// of the commit's own does), also when the monitoring is stopped while the
// commit saves; and once the merge is done, no observer of the monitoring is
// left behind.
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

enum class Monitoring { Off, On, StoppedWhileCommitting };

struct CommitInfoMode {
    const char* name;
    int64_t taskBatchSize;
    Monitoring monitoring;
};

// The object IDs (as URI texts) under each key of a did-save's information.
using Listed = std::map<std::string, std::set<std::string>>;

Listed listed(const plat::Dictionary& info) {
    Listed result;
    for (const char* key : {plat::coredata::InsertedObjectsKey, plat::coredata::UpdatedObjectsKey,
                            plat::coredata::DeletedObjectsKey}) {
        const Value* objects = info.find(key);
        if (!objects || !objects->asSet()) {
            continue;
        }
        auto& ids = result[key];
        for (const auto& member : objects->asSet()->values()) {
            auto object = plat::coredata::ManagedObject::fromValue(member);
            if (object) {
                ids.insert(object->objectID()->URIRepresentation().absoluteString());
            }
        }
    }
    return result;
}

bool isIntegratorRoot(const ManagedObjectContext& context) {
    if (context.parentContext()) {
        return false;
    }
    const plat::Dictionary info = context.userInfo();
    const Value* mine = info.find(SYNBelongsToEventIntegratorKey);
    return mine && mine->isBool() && *mine == Value(true);
}

class SYNCommitSaveInfoTest : public IntegrationTest, public ::testing::WithParamInterface<CommitInfoMode> {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        taskBatchSize = GetParam().taskBatchSize;
        auto& center = plat::NotificationCenter::defaultCenter();
        // What the integrator's root context posted, seen by observers of
        // the test's own.
        didSave_ = center.addObserverForName(
            plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
            [this](const plat::Notification& notification) {
                const auto* context = static_cast<const ManagedObjectContext*>(notification.object.get());
                if (context && isIntegratorRoot(*context)) {
                    posted.push_back(listed(notification.userInfo));
                }
            });
        willSave_ = center.addObserverForName(
            plat::coredata::ManagedObjectContextWillSaveNotification, nullptr,
            [this](const plat::Notification& notification) {
                const auto* context = static_cast<const ManagedObjectContext*>(notification.object.get());
                if (context && stopWhileCommitting.load() && isIntegratorRoot(*context) && b) {
                    stopWhileCommitting.store(false);
                    b->integrator()->stopMonitoringSaves();
                }
            });
    }
    void TearDown() override {
        plat::NotificationCenter::defaultCenter().removeObserver(didSave_);
        plat::NotificationCenter::defaultCenter().removeObserver(willSave_);
        IntegrationTest::TearDown();
    }

    // A merge of b as the mode has it; the information the did-save block
    // was given must be that of the last did-save b's integrator posted.
    void mergeAndCompare(const std::string& step) {
        const auto mode = GetParam().monitoring;
        told.clear();
        posted.clear();
        if (mode != Monitoring::Off) {
            b->integrator()->startMonitoringSaves();
        }
        stopWhileCommitting.store(mode == Monitoring::StoppedWhileCommitting);
        ASSERT_EQ(b->merge(), nullptr) << step;
        if (mode == Monitoring::On) {
            b->integrator()->stopMonitoringSaves();
        }
        ASSERT_EQ(told.size(), 1u) << step;
        ASSERT_FALSE(posted.empty()) << step;
        EXPECT_EQ(told.front(), posted.back()) << step;
        EXPECT_FALSE(told.front().empty()) << step;
    }

    Machine* a = nullptr;
    Machine* b = nullptr;
    std::vector<Listed> told;
    std::vector<Listed> posted;
    std::atomic<bool> stopWhileCommitting{false};

  private:
    plat::ObserverToken didSave_;
    plat::ObserverToken willSave_;
};

TEST_P(SYNCommitSaveInfoTest, TheDidSaveBlockIsGivenWhatTheCommitPosted) {
    std::tie(a, b) = twoMachinesSharingABaseline();
    b->integrator()->setDidSaveBlock([this](ManagedObjectContext& context, const plat::Dictionary& info) {
        EXPECT_EQ(&context, b->integrator()->managedObjectContext().get());
        told.push_back(listed(info));
    });
    mergeAndCompare("inserts");
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Task", "title", Value("renamed"))->setValue(Value("again"), "title");
        context.deleteObject(objectWhere(context, "Task", "title", Value("task0")));
        auto calendar = context.insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("new"), "name");
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    mergeAndCompare("updates and deletes");
    EXPECT_EQ(a->dump(), b->dump());

    // No observer of the monitoring is left: a save of b's store by another
    // context now does not fail a merge made without monitoring.
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Calendar", "name", Value("new"))->setValue(Value("newer"), "name");
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    auto other = b->newContext();
    other->performBlockAndWait([&] {
        auto canvas = other->insertNewObjectForEntityForName("Canvas");
        canvas->setValue(Value("local"), "name");
        ASSERT_EQ(other->save(), nullptr);
    });
    told.clear();
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(told.size(), 1u);
    auto context = b->newContext();
    EXPECT_TRUE(objectWhere(*context, "Calendar", "name", Value("newer")));
    EXPECT_TRUE(objectWhere(*context, "Canvas", "name", Value("local")));
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNCommitSaveInfoTest,
                         ::testing::Values(CommitInfoMode{"InBatchesUnmonitored", 2, Monitoring::Off},
                                           CommitInfoMode{"InBatchesMonitored", 2, Monitoring::On},
                                           CommitInfoMode{"InBatchesStoppedWhileCommitting", 2,
                                                          Monitoring::StoppedWhileCommitting},
                                           CommitInfoMode{"WithoutBatchesUnmonitored", 0, Monitoring::Off},
                                           CommitInfoMode{"WithoutBatchesMonitored", 0, Monitoring::On},
                                           CommitInfoMode{"WithoutBatchesStoppedWhileCommitting", 0,
                                                          Monitoring::StoppedWhileCommitting}),
                         [](const ::testing::TestParamInfo<CommitInfoMode>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace integrationtest
