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
#include <map>
#include <set>
#include <sstream>

#include "MeshFixture.h"
#include "MeshPeerProcess.h"

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
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << peer.output;
        collect(peer);
    }
    // Final merges, one peer after another, twice round.
    std::map<std::string, std::set<std::string>> finalTasks;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& machine : machines) {
            auto peer = spawn(root.str(), machine, 0, 0, via);
            int status = finish(peer);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << peer.output;
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

INSTANTIATE_TEST_SUITE_P(FileSystems, MeshConvergenceTest, ::testing::Values("folder", "cloud-database"),
                         [](const auto& info) {
                             return info.param == "folder" ? std::string("LocalFolder")
                                                           : std::string("CloudDatabase");
                         });

}  // namespace
}  // namespace meshtest
