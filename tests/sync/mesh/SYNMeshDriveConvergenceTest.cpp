// Two processes sync through two cloud drive containers that a scripted
// agent in this process joins: files reach the other machine first as
// placeholders, downloads come late, out of order, and the first ones only
// after a long hold, and the folders both made take a number on one of them.
// Afterwards both stores hold the same tasks, every task created and not
// deleted is there, and the numbered copy is gone.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "MeshFixture.h"
#include "MeshPeerProcess.h"
#include "platform/clouddrive/SyncAgent.h"
#include "platform/clouddrive/Ubiquity.h"
#include "sync/mesh/cloudfs/SYNICloudFileSystem.h"

namespace meshtest {
namespace {

namespace fs = std::filesystem;

// Relative path -> content of every visible file below the folder.
std::map<std::string, std::string> visibleFiles(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        const auto name = it->path().filename().string();
        if (name.front() == '.') {
            continue;
        }
        if (it->is_regular_file()) {
            std::ifstream in(it->path(), std::ios::binary);
            files[it->path().lexically_relative(folder).string()] =
                std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    return files;
}

// Asks for every placeholder below the folder; the number asked for.
std::size_t requestEveryPlaceholder(const std::string& folder) {
    std::vector<std::string> items;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        if (auto item = plat::clouddrive::itemNameForPlaceholderName(it->path().filename().string())) {
            items.push_back((it->path().parent_path() / *item).string());
        }
    }
    for (const auto& item : items) {
        EXPECT_EQ(plat::clouddrive::UbiquityService::shared().startDownloadingItem(item), nullptr) << item;
    }
    return items.size();
}

TEST(MeshDriveConvergenceTest, PeersConvergeThroughDelayedReorderedAndWithheldDownloads) {
    testsupport::TempDir root;
    const std::vector<std::string> machines = {"alpha", "beta"};
    std::vector<std::string> containers;
    for (const auto& machine : machines) {
        containers.push_back((root / (machine + "-drive")).string());
        // Both machines made the mesh folder before the drive saw either:
        // the second one's root becomes a numbered copy that its first
        // merge repairs.
        std::filesystem::create_directories(containers.back() + "/" + SYNICloudDefaultRelativePathToRoot +
                                            "/main");
    }
    plat::clouddrive::SyncAgent::Script script;
    script.seed = 11;
    script.minDelaySteps = 1;
    script.maxDelaySteps = 12;
    script.withheldRequests = 4;
    script.withheldSteps = 60;
    script.numberConflictingFolders = true;
    plat::clouddrive::SyncAgent agent(containers, script);
    agent.start(0.01);

    auto spawnOn = [&](std::size_t index, unsigned seed, int rounds) {
        setenv("MESH_PEER_DRIVE_CONTAINER", containers[index].c_str(), 1);
        auto peer = spawn(root.str(), machines[index], seed, rounds);
        unsetenv("MESH_PEER_DRIVE_CONTAINER");
        return peer;
    };
    std::set<std::string> created, deleted;
    std::vector<Peer> peers;
    for (std::size_t i = 0; i < machines.size(); ++i) {
        peers.push_back(spawnOn(i, 300 + static_cast<unsigned>(i), 4));
    }
    for (auto& peer : peers) {
        int status = finish(peer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << peer.output;
        for (const auto& title : linesStarting(peer.output, "created "))
            created.insert(title);
        for (const auto& title : linesStarting(peer.output, "deleted "))
            deleted.insert(title);
    }
    // Final merges, one machine after the other, twice round; before each
    // the drive has passed on everything written so far.
    std::map<std::string, std::set<std::string>> finalTasks;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < machines.size(); ++i) {
            agent.settle();
            auto peer = spawnOn(i, 0, 0);
            int status = finish(peer);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << peer.output;
            std::set<std::string> titles;
            for (const auto& line : linesStarting(peer.output, "task ")) {
                titles.insert(line.substr(0, line.find(' ')));
            }
            finalTasks[machines[i]] = titles;
        }
    }
    agent.stop();
    // The drive itself converged: once it has passed on the last writes and
    // the last placeholders are asked for, both containers hold the same
    // files with the same content. The stopped agent first settles what the
    // last peer wrote, which may leave new placeholders; a round that finds
    // none is the last.
    std::size_t requested = 0;
    for (int round = 0; round < 5; ++round) {
        agent.settle();
        requested = 0;
        for (const auto& container : containers) {
            requested += requestEveryPlaceholder(container);
        }
        if (requested == 0) {
            break;
        }
    }
    EXPECT_EQ(requested, 0u) << "placeholders keep coming";
    EXPECT_EQ(visibleFiles(containers[0]), visibleFiles(containers[1]));
    EXPECT_GT(visibleFiles(containers[0]).size(), 4u);
    for (const auto& container : containers) {
        EXPECT_FALSE(fs::exists(container + "/" + SYNICloudDefaultRelativePathToRoot + " 2")) << container;
    }
    std::set<std::string> expected;
    for (const auto& title : created) {
        if (!deleted.count(title))
            expected.insert(title);
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(finalTasks["alpha"], finalTasks["beta"]);
    EXPECT_EQ(finalTasks["alpha"], expected);
}

}  // namespace
}  // namespace meshtest
