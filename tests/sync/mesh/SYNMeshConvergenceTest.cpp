// Several processes edit and merge through one cloud folder, with fixed
// seeds; one is killed with SIGKILL mid-run and restarted. Afterwards every
// store holds the same tasks, and every task created and not deleted is
// there. The run is made once per cloud file system: a local folder, and the
// cloud database stand-in (one account, a device and record cache per
// machine). MESH_CONVERGENCE_ROUNDS (default 4) makes a longer run:
//   MESH_CONVERGENCE_ROUNDS=25 build/asan/tests/sync/mesh/sync_mesh_tests --gtest_filter='*MeshConvergence*'
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <map>
#include <set>
#include <sstream>

#include "MeshFixture.h"
#include "MeshPeerProcess.h"
#include "platform/cloudkit/Container.h"
#include "platform/dispatch/MainLoop.h"
#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"

namespace meshtest {
namespace {

class MeshConvergenceTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MeshConvergenceTest, PeersConvergeAlsoAfterOneIsKilledMidRun) {
    const std::string via = GetParam();
    testsupport::TempDir root;
    std::filesystem::create_directories(root / "cloud");
    const char* env = std::getenv("MESH_CONVERGENCE_ROUNDS");
    int rounds = env ? std::atoi(env) : 4;
    const std::vector<std::string> machines = {"alpha", "beta", "gamma"};
    std::set<std::string> created, deleted;
    auto collect = [&](const Peer& peer) {
        for (const auto& title : linesStarting(peer.output, "created "))
            created.insert(title);
        for (const auto& title : linesStarting(peer.output, "deleted "))
            deleted.insert(title);
    };

    std::vector<Peer> peers;
    for (std::size_t i = 0; i < machines.size(); ++i) {
        peers.push_back(spawn(root.str(), machines[i], 100 + static_cast<unsigned>(i), rounds, via));
    }
    // Kill the first one as soon as it reported its first merge, then
    // restart it with another seed.
    {
        std::string seen;
        char c;
        while (seen.find("merged") == std::string::npos && read(peers[0].out, &c, 1) == 1) {
            seen.push_back(c);
        }
        kill(peers[0].pid, SIGKILL);
        finish(peers[0]);
        peers[0].output = seen + peers[0].output;
        collect(peers[0]);
        peers[0] = spawn(root.str(), machines[0], 200, rounds, via);
    }
    for (auto& peer : peers) {
        int status = finish(peer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                                   << peer.output;
        collect(peer);
    }
    // Final merges, one peer after another, twice round.
    std::map<std::string, std::set<std::string>> finalTasks;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& machine : machines) {
            auto peer = spawn(root.str(), machine, 0, 0, via);
            int status = finish(peer);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                                       << peer.output;
            std::set<std::string> titles;
            for (const auto& line : linesStarting(peer.output, "task ")) {
                titles.insert(line.substr(0, line.find(' ')));
            }
            finalTasks[machine] = titles;
        }
    }
    std::set<std::string> expected;
    for (const auto& title : created) {
        if (!deleted.count(title))
            expected.insert(title);
    }
    ASSERT_FALSE(expected.empty());
    for (const auto& machine : machines) {
        EXPECT_EQ(finalTasks[machine], finalTasks[machines[0]]) << machine;
        // Nothing saved is lost (a task whose creation the killed peer never
        // reported may be there too).
        for (const auto& title : expected) {
            EXPECT_TRUE(finalTasks[machine].count(title)) << machine << " lacks " << title;
        }
    }
}

// Two accounts sync through a folder one of them shares: the owner's first
// run makes the share, the other account accepts the invitation, then both
// edit and merge at once and end with the same tasks.
TEST(MeshSharedFolderTest, OwnerAndParticipantConvergeThroughTheSharedFolder) {
    const std::string via = "shared-cloud-database";
    testsupport::TempDir root;
    std::filesystem::create_directories(root / "cloud");
    auto run = [&](const std::string& machine, unsigned seed, int rounds, const std::string& owner) {
        if (owner.empty())
            unsetenv("MESH_PEER_SHARE_OWNER");
        else
            setenv("MESH_PEER_SHARE_OWNER", owner.c_str(), 1);
        Peer peer = spawn(root.str(), machine, seed, rounds, via);
        unsetenv("MESH_PEER_SHARE_OWNER");
        return peer;
    };
    auto finished = [](Peer& peer) {
        int status = finish(peer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << peer.output;
    };
    Peer first = run("alpha", 1, 1, "");
    finished(first);
    // The owner sends the invitation; the other account accepts it.
    auto open = [&](const std::string& account) {
        plat::cloudkit::ContainerConfiguration configuration;
        configuration.cloudRoot = (root / "cloud").string();
        configuration.account = account;
        configuration.device = "inviter-" + account;
        configuration.assetCacheFolder = (root / ("inviter-" + account)).string();
        auto container = plat::cloudkit::Container::open(configuration);
        EXPECT_TRUE(container.ok());
        return container.ok() ? *container : nullptr;
    };
    auto invitation = open("account-alpha")
                          ->invitationToShare(plat::cloudkit::RecordID(
                              "meshshare", plat::cloudkit::RecordZoneID("meshshare")));
    ASSERT_TRUE(invitation.ok()) << invitation.error()->description();
    // The acceptance answers on the main queue.
    bool accepted = false;
    plat::ErrorPtr acceptError;
    SYNCloudKitFileSystem::acceptInvitationToShareWithMetadata(open("account-beta"), *invitation,
                                                               [&](plat::ErrorPtr error) {
                                                                   acceptError = error;
                                                                   accepted = true;
                                                               });
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return accepted; }, 120));
    ASSERT_EQ(acceptError, nullptr);
    const std::string owner = invitation->ownerName;

    const char* env = std::getenv("MESH_CONVERGENCE_ROUNDS");
    const int rounds = env ? std::atoi(env) : 3;
    std::vector<Peer> peers;
    peers.push_back(run("alpha", 2, rounds, ""));
    peers.push_back(run("beta", 3, rounds, owner));
    std::set<std::string> created, deleted;
    for (auto& peer : peers) {
        finished(peer);
        EXPECT_TRUE(linesStarting(peer.output, "merged 0").size() > 0) << peer.output;
    }
    std::map<std::string, std::set<std::string>> finalTasks;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::string machine : {"alpha", "beta"}) {
            Peer peer = run(machine, 0, 0, machine == "beta" ? owner : "");
            finished(peer);
            std::set<std::string> titles;
            for (const auto& line : linesStarting(peer.output, "task "))
                titles.insert(line.substr(0, line.find(' ')));
            finalTasks[machine] = titles;
        }
    }
    peers.push_back(first);
    for (const auto& peer : peers) {
        for (const auto& title : linesStarting(peer.output, "created "))
            created.insert(title);
        for (const auto& title : linesStarting(peer.output, "deleted "))
            deleted.insert(title);
    }
    std::set<std::string> expected;
    for (const auto& title : created)
        if (!deleted.count(title))
            expected.insert(title);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(finalTasks["beta"], finalTasks["alpha"]);
    for (const auto& title : expected)
        EXPECT_TRUE(finalTasks["beta"].count(title) && finalTasks["alpha"].count(title)) << title;
    // Both kinds of machine wrote: the participant's tasks reached the owner.
    bool fromBeta = false;
    for (const auto& title : finalTasks["alpha"])
        fromBeta = fromBeta || title.rfind("beta-", 0) == 0;
    EXPECT_TRUE(fromBeta);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, MeshConvergenceTest, ::testing::Values("folder", "cloud-database"),
                         [](const auto& info) {
                             return info.param == "folder" ? std::string("LocalFolder")
                                                           : std::string("CloudDatabase");
                         });

}  // namespace
}  // namespace meshtest
