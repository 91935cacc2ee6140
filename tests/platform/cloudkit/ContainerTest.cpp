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

// --- Shares between accounts -------------------------------------------------------------

class SharingTest : public CloudKitTest {
  protected:
    void SetUp() override {
        CloudKitTest::SetUp();
        bob = openContainer(root, "bob", "mac-b");
        carol = openContainer(root, "carol", "mac-c");
        share = shareFolder("meshshare");
        auto made = container->invitationToShare(share.recordID());
        ASSERT_TRUE(made.ok()) << made.error()->description();
        invitation = *made;
        seen = invitation.zoneID();
    }

    // A zone of alice's private database with a root directory record and
    // its share, saved together (share first).
    Record shareFolder(const std::string& name) {
        const RecordZoneID zone(name);
        EXPECT_FALSE(createZone(*db, zone));
        Record rootDir = node("root", zone, 0);
        rootDir.setObject("isDirectory", Value(true));
        Record made = makeShare(rootDir, RecordID(name, zone));
        made.setObject("isMeshesShare", Value(true));
        auto saved = modify(*db, {made, rootDir});
        EXPECT_FALSE(saved.error);
        return saved.saved.empty() ? made : *saved.saved.front();
    }

    // Accepts on a plain operation queue, as invitations are.
    plat::ErrorPtr accept(Container& as, const ShareMetadata& metadata) {
        plat::dispatch::OperationQueue queue;
        auto op = std::make_shared<AcceptSharesOperation>(as, std::vector<ShareMetadata>{metadata});
        plat::ErrorPtr error;
        int calls = 0;
        op->acceptSharesCompletionBlock = [&](plat::ErrorPtr e) {
            error = e;
            ++calls;
        };
        queue.addOperation(op);
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(calls, 1);
        return error;
    }

    static std::vector<RecordZoneID> zones(Database& database) {
        std::vector<RecordZoneID> out;
        auto op = FetchRecordZonesOperation::fetchAllRecordZonesOperation();
        op->fetchRecordZonesCompletionBlock = [&](std::map<RecordZoneID, RecordZone> found,
                                                  plat::ErrorPtr e) {
            EXPECT_FALSE(e);
            for (auto& [id, zone] : found)
                out.push_back(id);
        };
        database.addOperation(op);
        op->waitUntilFinished();
        return out;
    }

    // The code of the one item's error, or of the whole error.
    static int64_t codeFor(const plat::ErrorPtr& error, const ItemID& id) {
        if (int64_t item = itemCode(error, id))
            return item;
        return error ? error->code() : 0;
    }

    Database& shared(Container& c) { return *c.sharedCloudDatabase(); }

    std::shared_ptr<Container> bob, carol;
    Record share;
    ShareMetadata invitation;
    RecordZoneID seen;
};

TEST_F(SharingTest, InvitationNamesTheOwnerAndOnlyAcceptedSharesAreServed) {
    ASSERT_EQ(invitation.ownerName.size(), 33u);  // alice's user record name
    EXPECT_EQ(seen, RecordZoneID("meshshare", invitation.ownerName));
    EXPECT_EQ(invitation.shareRecordID, RecordID("meshshare", seen));
    EXPECT_EQ(invitation.containerIdentifier, container->containerIdentifier());

    const RecordID shareID("meshshare", seen);
    EXPECT_EQ(codeFor(fetch(shared(*bob), {shareID}).error, shareID), 26);
    ASSERT_FALSE(accept(*bob, invitation));
    ASSERT_FALSE(accept(*bob, invitation));  // twice is once
    EXPECT_EQ(zones(shared(*bob)), std::vector<RecordZoneID>{seen});
    EXPECT_TRUE(zones(shared(*carol)).empty());
    EXPECT_EQ(codeFor(fetch(shared(*carol), {shareID}).error, shareID), 26);
    EXPECT_TRUE(zones(shared(*container)).empty());  // alice's zone stays private to her

    auto fetched = fetch(shared(*bob), {shareID});
    ASSERT_FALSE(fetched.error);
    const Record& back = *fetched.records.at(shareID);
    EXPECT_EQ(back.recordType(), ShareRecordType);
    // Accepting changed the share once.
    EXPECT_NE(back.recordChangeTag(), share.recordChangeTag());
    auto owners = fetch(*db, {share.recordID()});
    EXPECT_EQ(owners.records.at(share.recordID())->recordChangeTag(), back.recordChangeTag());
}

TEST_F(SharingTest, InvitationsAndAcceptancesFailPerShare) {
    EXPECT_EQ(container->invitationToShare(RecordID("nosuch", RecordZoneID("meshshare"))).error()->code(),
              11);
    EXPECT_EQ(container->invitationToShare(RecordID("root", RecordZoneID("meshshare"))).error()->code(), 11);
    EXPECT_EQ(container->invitationToShare(RecordID("x", RecordZoneID("nozone"))).error()->code(), 26);
    EXPECT_EQ(bob->invitationToShare(share.recordID()).error()->code(), 26);  // not bob's zone

    ShareMetadata otherContainer = invitation;
    otherContainer.containerIdentifier = "elsewhere";
    ShareMetadata unknownOwner = invitation;
    unknownOwner.ownerName = "_nobody";
    ShareMetadata noShare = invitation;
    noShare.shareRecordID = RecordID("root", seen);  // a record, not a share
    struct Case {
        const char* what;
        Container* as;
        ShareMetadata metadata;
        bool networkUp;
        bool cancel;
        int64_t code;
    };
    const Case cases[] = {
        {"own share", container.get(), invitation, true, false, 12},
        {"other container", bob.get(), otherContainer, true, false, 12},
        {"unknown owner", bob.get(), unknownOwner, true, false, 11},
        {"not a share", bob.get(), noShare, true, false, 11},
        {"network down", bob.get(), invitation, false, false, 3},
        {"cancelled", bob.get(), invitation, true, true, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.as->faults().setNetworkAvailable(c.networkUp);
        plat::dispatch::OperationQueue queue;
        auto op = std::make_shared<AcceptSharesOperation>(*c.as, std::vector<ShareMetadata>{c.metadata});
        std::atomic<int> calls{0};
        plat::ErrorPtr error;
        op->acceptSharesCompletionBlock = [&](plat::ErrorPtr e) {
            error = e;
            ++calls;
        };
        if (c.cancel)
            op->cancel();
        queue.addOperation(op);
        queue.waitUntilAllOperationsAreFinished();
        c.as->faults().setNetworkAvailable(true);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(codeFor(error, c.metadata.shareRecordID), c.code);
        EXPECT_TRUE(zones(shared(*c.as)).empty());
    }
}

TEST_F(SharingTest, ParticipantWorksInTheOwnersZoneInItsOwnNames) {
    ASSERT_FALSE(accept(*bob, invitation));
    const RecordZoneID mine("meshshare");
    auto inFolder = [](std::string name, const RecordZoneID& zone, const std::string& content) {
        Record r = node(name, zone);
        r.setObject("directory", Value(Reference::make(RecordID("root", zone), ReferenceAction::DeleteSelf)));
        r.setParent(Reference::make(RecordID("root", zone), ReferenceAction::None));
        if (!content.empty())
            r.setObject("data", Value(Asset::make(content)));
        return r;
    };
    const std::string fromBob = writeFile((tmp / "b").string(), "bob's bytes");
    const std::string fromAlice = writeFile((tmp / "a").string(), "alice's bytes");
    ASSERT_FALSE(modify(shared(*bob), {inFolder("b1", seen, fromBob)}).error);
    ASSERT_FALSE(modify(*db, {inFolder("a1", mine, fromAlice)}).error);

    // Each side finds both through a reference in its own zone names.
    auto byDirectory = [](const RecordZoneID& zone) {
        auto op = std::make_shared<QueryOperation>(
            Query{"SYNFileSystemNode",
                  Predicate::equals("directory",
                                    Value(Reference::make(RecordID("root", zone), ReferenceAction::None))),
                  {SortDescriptor{"path", true}}});
        op->zoneID = zone;
        return op;
    };
    for (auto [database, zone] :
         {std::pair{db.get(), mine}, std::pair{bob->sharedCloudDatabase().get(), seen}}) {
        auto found = queryPage(*database, byDirectory(zone));
        ASSERT_FALSE(found.error);
        ASSERT_EQ(found.records.size(), 2u);
        for (const auto& record : found.records) {
            EXPECT_EQ(record->recordID().zoneID(), zone);
            EXPECT_EQ(record->objectForKey("directory").asObjectOf<Reference>()->recordID().zoneID(), zone);
            ASSERT_TRUE(record->parent());
            EXPECT_EQ(record->parent()->recordID().zoneID(), zone);
        }
        // Assets of either side read on either side.
        auto both = fetch(*database, {RecordID("a1", zone), RecordID("b1", zone)});
        ASSERT_FALSE(both.error);
        EXPECT_EQ(
            readFile(
                both.records.at(RecordID("a1", zone))->objectForKey("data").asObjectOf<Asset>()->fileURL()),
            "alice's bytes");
        EXPECT_EQ(
            readFile(
                both.records.at(RecordID("b1", zone))->objectForKey("data").asObjectOf<Asset>()->fileURL()),
            "bob's bytes");
    }

    // The participant's change feed: its own token, every change once.
    auto feed = changes(shared(*bob), seen, nullptr);
    ASSERT_FALSE(feed.error);
    EXPECT_EQ(std::set<std::string>(feed.entries.begin(), feed.entries.end()),
              (std::set<std::string>{"+meshshare", "+root", "+b1", "+a1"}));
    EXPECT_EQ(feed.token->zoneID(), seen);
    EXPECT_EQ(codeFor(changes(*db, mine, feed.token).error, mine), 21);  // not alice's token
    ASSERT_FALSE(modify(*db, {}, {RecordID("a1", mine)}).error);
    auto next = changes(shared(*bob), seen, feed.token);
    ASSERT_FALSE(next.error);
    EXPECT_EQ(next.entries, std::vector<std::string>{"-a1"});

    // The share is the owner's: a participant can neither change nor delete it.
    auto fetched = fetch(shared(*bob), {RecordID("meshshare", seen)});
    Record changed = *fetched.records.begin()->second;
    setSharePublicPermission(changed, ShareParticipantPermission::ReadWrite);
    EXPECT_EQ(codeFor(modify(shared(*bob), {changed}).error, changed.recordID()), 10);
    EXPECT_EQ(codeFor(modify(shared(*bob), {}, {changed.recordID()}).error, changed.recordID()), 10);
    // Zones are not made in the shared database.
    EXPECT_EQ(codeFor(createZone(shared(*bob), RecordZoneID("new", invitation.ownerName)),
                      RecordZoneID("new", invitation.ownerName)),
              12);

    // Deleting the root directory takes the participant's record with it
    // (its delete-self reference names the owner's zone once stored).
    ASSERT_FALSE(modify(*db, {}, {RecordID("root", mine)}).error);
    EXPECT_EQ(codeFor(fetch(shared(*bob), {RecordID("b1", seen)}).error, RecordID("b1", seen)), 11);
}

TEST_F(SharingTest, ParticipantLosesTheZoneWithTheShareOrTheZone) {
    ASSERT_FALSE(accept(*bob, invitation));
    enum class How { DeleteShare, DeleteZone, DeleteZoneAsUser, ParticipantLeaves };
    for (How how : {How::DeleteShare, How::DeleteZone, How::DeleteZoneAsUser, How::ParticipantLeaves}) {
        SCOPED_TRACE(int(how));
        const std::string name = "folder" + std::to_string(int(how));
        Record folderShare = shareFolder(name);
        auto made = container->invitationToShare(folderShare.recordID());
        ASSERT_TRUE(made.ok());
        ASSERT_FALSE(accept(*bob, *made));
        const RecordID rootID("root", made->zoneID());
        ASSERT_FALSE(fetch(shared(*bob), {rootID}).error);
        auto token = changes(shared(*bob), made->zoneID(), nullptr).token;

        const RecordZoneID mine(name);
        switch (how) {
            case How::DeleteShare:
                ASSERT_FALSE(modify(*db, {}, {folderShare.recordID()}).error);
                break;
            case How::DeleteZone: {
                auto op = std::make_shared<ModifyRecordZonesOperation>(std::vector<RecordZone>{},
                                                                       std::vector<RecordZoneID>{mine});
                db->addOperation(op);
                op->waitUntilFinished();
                break;
            }
            case How::DeleteZoneAsUser:
                ASSERT_FALSE(container->admin().deleteZoneAsUser(DatabaseScope::Private, mine));
                break;
            case How::ParticipantLeaves: {
                auto op = std::make_shared<ModifyRecordZonesOperation>(
                    std::vector<RecordZone>{}, std::vector<RecordZoneID>{made->zoneID()});
                shared(*bob).addOperation(op);
                op->waitUntilFinished();
                // The owner keeps the folder.
                EXPECT_FALSE(fetch(*db, {RecordID("root", mine)}).error);
                break;
            }
        }
        EXPECT_EQ(codeFor(fetch(shared(*bob), {rootID}).error, rootID), 26);
        EXPECT_EQ(codeFor(modify(shared(*bob), {node("late", made->zoneID())}).error,
                          RecordID("late", made->zoneID())),
                  26);
        EXPECT_EQ(codeFor(changes(shared(*bob), made->zoneID(), token).error, made->zoneID()), 26);
        EXPECT_EQ(zones(shared(*bob)), std::vector<RecordZoneID>{seen});  // only the fixture's share is left

        // A share made again needs a new acceptance.
        if (how == How::DeleteShare) {
            ASSERT_FALSE(modify(*db, {makeShare(node("root", mine), RecordID(name, mine))}).error);
            EXPECT_EQ(codeFor(fetch(shared(*bob), {rootID}).error, rootID), 26);
        }
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
