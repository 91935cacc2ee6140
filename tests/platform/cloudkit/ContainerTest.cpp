// Accounts, subscriptions and push inboxes, the administration calls, and
// several real processes sharing one cloud root.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "CloudKitTestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"

extern char** environ;

namespace cktest {
namespace {

using plat::Value;

// --- Accounts and identity -------------------------------------------------------

std::string currentUser(Database& db, plat::ErrorPtr* error = nullptr) {
    std::string name;
    auto op = FetchRecordsOperation::fetchCurrentUserRecordOperation();
    op->perRecordCompletionBlock = [&](RecordPtr, RecordID id, plat::ErrorPtr e) {
        name = id.recordName();
        if (error)
            *error = e;
    };
    db.addOperation(op);
    op->waitUntilFinished();
    return name;
}

TEST_F(CloudKitTest, UserRecordIDsAreStablePerAccountAndArchivable) {
    std::string alice = currentUser(*db);
    ASSERT_EQ(alice.size(), 33u);
    EXPECT_EQ(alice[0], '_');
    EXPECT_EQ(alice.find_first_not_of("0123456789abcdef", 1), std::string::npos);
    // The same account in another process handle, and from the shared scope.
    auto again = openContainer(root, "alice", "mac-b");
    EXPECT_EQ(currentUser(*again->sharedCloudDatabase()), alice);
    auto bob = openContainer(root, "bob", "mac-c");
    EXPECT_NE(currentUser(*bob->privateCloudDatabase()), alice);

    RecordID id(alice);
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(std::make_shared<const RecordID>(id)));
    auto back = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
    ASSERT_TRUE(back.ok() && *back);
    EXPECT_EQ(*(*back)->asObjectOf<RecordID>(), id);
}

TEST_F(CloudKitTest, SignedOutContainersFailEveryOperationWithNotAuthenticated) {
    ASSERT_FALSE(modify(*db, {node("a")}).error);
    ASSERT_FALSE(container->setAccount(std::nullopt));
    EXPECT_EQ(container->accountStatus(), AccountStatus::NoAccount);
    plat::ErrorPtr error;
    EXPECT_EQ(currentUser(*db, &error), "");
    EXPECT_EQ(error->code(), 9);
    EXPECT_EQ(modify(*db, {node("b")}).error->code(), 9);
    EXPECT_EQ(fetch(*db, {RecordID("a", meshZone())}).error->code(), 9);
    EXPECT_EQ(changes(*db, meshZone(), nullptr).error->code(), 9);
    // Switching to another account shows that account's database.
    ASSERT_FALSE(container->setAccount("bob"));
    EXPECT_EQ(container->accountStatus(), AccountStatus::Available);
    EXPECT_EQ(changes(*db, meshZone(), nullptr).error->code(), 26);
}

// --- Subscriptions and pushes ---------------------------------------------------------

Subscription fileAdded() {
    auto s = Subscription::query("SYNFileSystemNode", *Predicate::parse("fileSize > 0"),
                                 "SYNFileAddedSubscription", FiresOnRecordCreation);
    s.notificationInfo.shouldSendContentAvailable = true;
    return s;
}

plat::ErrorPtr save(Database& db, Subscription s) {
    plat::ErrorPtr error;
    std::atomic<bool> done{false};
    db.saveSubscription(std::move(s), [&](std::optional<Subscription> saved, plat::ErrorPtr e) {
        error = saved ? e : (e ? e : makeError(ErrorCode::InternalError));
        done = true;
    });
    db.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(done);
    EXPECT_FALSE(error) << error->description();
    return error;
}

TEST_F(CloudKitTest, FileCreationsPushToEveryOtherDeviceOfTheAccountOnce) {
    auto macB = openContainer(root, "alice", "mac-b");
    auto bobMac = openContainer(root, "bob", "mac-bob");
    ASSERT_FALSE(save(*db, fileAdded()));
    ASSERT_FALSE(save(*db, fileAdded()));  // same ID: replaced, not doubled
    EXPECT_EQ(container->admin().subscriptions(DatabaseScope::Private)->size(), 1u);

    const RecordZoneID otherZone("another.zone");
    ASSERT_FALSE(createZone(*db, otherZone));
    Record dir = node("dir", meshZone(), 0);
    Record file = node("file");
    Record elsewhere = node("elsewhere", otherZone);
    ASSERT_FALSE(modify(*db, {dir, file}).error);
    ASSERT_FALSE(modify(*db, {elsewhere}).error);
    Record update = *fetch(*db, {file.recordID()}).records.begin()->second;
    update.setObject("fileSize", Value(10));
    ASSERT_FALSE(modify(*db, {update}).error);  // an update does not fire a creation subscription

    auto pushes = macB->takePushes();
    ASSERT_TRUE(pushes.ok());
    std::set<std::string> names;
    for (const auto& p : *pushes) {
        names.insert(p.recordID.recordName());
        EXPECT_EQ(p.subscriptionID, "SYNFileAddedSubscription");
        EXPECT_TRUE(p.contentAvailable);
    }
    EXPECT_EQ(names, (std::set<std::string>{"file", "elsewhere"}));
    EXPECT_EQ(pushes->size(), 2u);
    EXPECT_TRUE(macB->takePushes()->empty());       // delivered once
    EXPECT_TRUE(container->takePushes()->empty());  // not to the originator
    EXPECT_TRUE(bobMac->takePushes()->empty());     // nor to another account

    container->setPushToOriginator(true);
    ASSERT_FALSE(modify(*db, {node("mine")}).error);
    EXPECT_EQ(container->takePushes()->size(), 1u);
}

TEST_F(CloudKitTest, PushListenerDeliversOnTheMainQueue) {
    auto macB = openContainer(root, "alice", "mac-b");
    ASSERT_FALSE(save(*db, fileAdded()));
    std::vector<std::string> received;
    bool onMain = true;
    const auto mainThread = std::this_thread::get_id();
    macB->setPushHandler(
        [&](const Push& p) {
            onMain = onMain && std::this_thread::get_id() == mainThread;
            received.push_back(p.recordID.recordName());
        },
        std::chrono::milliseconds(5));
    ASSERT_FALSE(modify(*db, {node("pushed")}).error);
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return !received.empty(); }, 10.0));
    macB->setPushHandler(nullptr);
    EXPECT_EQ(received, std::vector<std::string>{"pushed"});
    EXPECT_TRUE(onMain);
}

TEST_F(CloudKitTest, AdministrationSeedsInspectsAndDeletesRecordsDirectly) {
    auto a = container->admin();
    ASSERT_FALSE(a.seed(DatabaseScope::Private, {node("s1"), node("s2")}));
    ASSERT_FALSE(a.seed(DatabaseScope::Private, {node("s1")}));  // overwrites, no change tag needed
    ASSERT_FALSE(a.remove(DatabaseScope::Private, {RecordID("s2", meshZone())}));
    auto rows = a.records(DatabaseScope::Private, meshZone());
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].record.recordID().recordName(), "s1");
    EXPECT_FALSE((*rows)[0].deleted);
    EXPECT_EQ((*rows)[0].record.objectForKey("path"), Value("/s1"));
    EXPECT_EQ((*rows)[1].record.recordID().recordName(), "s2");
    EXPECT_TRUE((*rows)[1].deleted);
    EXPECT_LT((*rows)[0].lastSequence, (*rows)[1].lastSequence);
    EXPECT_EQ(*a.zoneSequence(DatabaseScope::Private, meshZone()), 4);
}

TEST_F(CloudKitTest, SharesSaveWithTheirRootAndInvitationsAcceptOnAnyQueue) {
    const RecordZoneID shared("sharing-id");
    ASSERT_FALSE(createZone(*db, shared));
    Record root = node("root", shared, 0);
    Record share = makeShare(root, RecordID("sharing-id", shared));
    share.setObject("isMeshesShare", Value(true));
    auto saved = modify(*db, {share, root});
    ASSERT_FALSE(saved.error);
    ASSERT_EQ(saved.saved.size(), 2u);
    EXPECT_EQ(saved.saved[0]->recordType(), ShareRecordType);
    auto fetched = fetch(*db, {share.recordID()});
    ASSERT_EQ(fetched.records.size(), 1u);
    const Record& back = *fetched.records.begin()->second;
    EXPECT_EQ(sharePublicPermission(back), ShareParticipantPermission::None);
    EXPECT_EQ(back.recordChangeTag(), saved.saved[0]->recordChangeTag());

    plat::dispatch::OperationQueue classQueue;
    classQueue.setMaxConcurrentOperationCount(1);
    struct Case {
        bool networkUp;
        bool cancel;
        int64_t code;
    };
    for (const Case& c : {Case{true, false, 0}, Case{false, false, 3}, Case{true, true, 20}}) {
        container->faults().setNetworkAvailable(c.networkUp);
        std::vector<ShareMetadata> invitations{
            ShareMetadata{"default", share.recordID(), "__defaultOwner__"}};
        auto op = std::make_shared<AcceptSharesOperation>(*container, invitations);
        std::atomic<int> calls{0};
        std::atomic<int64_t> code{-1};
        op->acceptSharesCompletionBlock = [&](plat::ErrorPtr e) {
            code = e ? e->code() : 0;
            ++calls;
        };
        if (c.cancel)
            op->cancel();
        classQueue.addOperation(op);
        classQueue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(code, c.code);
    }
}

// --- Several processes ---------------------------------------------------------------------

// Runs in a child process started by spawn(): what it does is named by
// $KP_CLOUD_CHILD. Skipped in an ordinary run.
TEST(CloudKitChild, Run) {
    const char* role = std::getenv("KP_CLOUD_CHILD");
    if (!role)
        GTEST_SKIP() << "only runs as a child process";
    auto config = ContainerConfiguration::fromEnvironment();
    config.maxConcurrentOperations = 4;
    config.assetCacheFolder = config.cloudRoot + "/../cache-" + config.device;
    auto opened = Container::open(config);
    ASSERT_TRUE(opened.ok());
    auto db = (*opened)->privateCloudDatabase();
    const int count = std::atoi(std::getenv("KP_CLOUD_COUNT"));
    if (std::string(role) == "writer") {
        ASSERT_FALSE(createZone(*db, meshZone()));
        for (int i = 0; i < count; ++i) {
            ASSERT_FALSE(modify(*db, {node(config.device + "-" + std::to_string(i))}).error);
            // Read, increment, save with the fetched tag; retry when the
            // other process got there first.
            for (int attempt = 0;; ++attempt) {
                ASSERT_LT(attempt, 1000);
                auto current = fetch(*db, {RecordID("counter", meshZone())});
                Record counter = current.records.empty() ? node("counter") : *current.records.begin()->second;
                counter.setObject("fileSize", Value(counter.objectForKey("fileSize").integerValue() + 1));
                if (current.records.empty())
                    counter.setObject("fileSize", Value(1));
                auto out = modify(*db, {counter});
                if (!out.error)
                    break;
                ASSERT_EQ(itemCode(out.error, counter.recordID()), 14);
            }
        }
    } else if (std::string(role) == "uploader") {
        Record file = node("from-" + config.device);
        file.setObject(
            "data", Value(Asset::make(writeFile(config.cloudRoot + "/../upload-" + config.device, "bytes"))));
        ASSERT_FALSE(modify(*db, {file}).error);
    }
}

pid_t spawn(const std::string& role, const std::string& root, const std::string& account,
            const std::string& device, int count) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("KP_CLOUD_", 0) != 0 && std::string(*e).rfind("GTEST_", 0) != 0)
            env.emplace_back(*e);
    env.push_back("KP_CLOUD_CHILD=" + role);
    env.push_back("KP_CLOUD_ROOT=" + root);
    env.push_back("KP_CLOUD_ACCOUNT=" + account);
    env.push_back("KP_CLOUD_DEVICE=" + device);
    env.push_back("KP_CLOUD_COUNT=" + std::to_string(count));
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe", filter = "--gtest_filter=CloudKitChild.Run";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        execve("/proc/self/exe", argv, envp.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(CloudKitTest, TwoProcessesWritingOneZoneLoseNoUpdateAndTheFeedSeesEachOnce) {
    constexpr int kEach = 15;
    pid_t a = spawn("writer", root, "alice", "proc-a", kEach);
    pid_t b = spawn("writer", root, "alice", "proc-b", kEach);
    ASSERT_EQ(waitFor(a), 0);
    ASSERT_EQ(waitFor(b), 0);

    // Read-your-writes across processes: everything is visible at once.
    auto counter = fetch(*db, {RecordID("counter", meshZone())});
    ASSERT_EQ(counter.records.size(), 1u);
    EXPECT_EQ(counter.records.begin()->second->objectForKey("fileSize"), Value(2 * kEach));

    int pages = 0;
    auto feed = allChanges(*db, meshZone(), nullptr, 7, &pages);
    ASSERT_FALSE(feed.error);
    std::set<std::string> unique(feed.entries.begin(), feed.entries.end());
    EXPECT_EQ(feed.entries.size(), unique.size());
    EXPECT_EQ(feed.entries.size(), 2u * kEach + 1);
    EXPECT_GE(pages, 5);

    auto rows = container->admin().records(DatabaseScope::Private, meshZone());
    int64_t last = 0;
    for (const auto& row : *rows) {
        EXPECT_GT(row.lastSequence, last);
        last = row.lastSequence;
    }
}

TEST_F(CloudKitTest, AnotherProcessUploadReachesThisDeviceAsOnePushAndItsAssetIsReadable) {
    ASSERT_FALSE(save(*db, fileAdded()));
    ASSERT_EQ(waitFor(spawn("uploader", root, "alice", "proc-up", 1)), 0);
    auto pushes = container->takePushes();
    ASSERT_EQ(pushes->size(), 1u);
    EXPECT_EQ((*pushes)[0].recordID.recordName(), "from-proc-up");
    auto inbox = container->admin().pushes();
    for (const auto& entry : *inbox)
        EXPECT_NE(entry.device, "proc-up");
    auto out = fetch(*db, {RecordID("from-proc-up", meshZone())}, std::vector<std::string>{"data"});
    ASSERT_EQ(out.records.size(), 1u);
    EXPECT_EQ(readFile(out.records.begin()->second->objectForKey("data").asObjectOf<Asset>()->fileURL()),
              "bytes");
}

}  // namespace
}  // namespace cktest
