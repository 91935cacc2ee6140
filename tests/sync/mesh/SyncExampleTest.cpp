// The sync example run as a new user would: the whole story through the
// cloud database and through a folder, and the steps by hand, with the
// mistakes a user makes on the way.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

struct Run {
    int exitCode = -1;
    std::string output;  // standard output and error, as they came
};

// Runs the example with the arguments and collects what it prints.
Run runExample(const std::vector<std::string>& args) {
#ifndef SYNC_EXAMPLE_PATH
    (void)args;
    return {};
#else
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    std::vector<std::string> all = {SYNC_EXAMPLE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    Run run;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        run.output.append(buffer, static_cast<std::size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
#endif
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The folder named after `label` up to the next ":" or " (", on the line
// that has it.
std::string folderAfter(const std::string& output, const std::string& label) {
    const auto at = output.find(label);
    if (at == std::string::npos)
        return {};
    const auto start = at + label.size();
    const auto end = output.find_first_of(": (\n", start);
    return output.substr(start, end - start);
}

// The tasks a machine printed last, one "title priority N" line each.
std::string lastTasks(const std::string& output, const std::string& machine) {
    const auto at = output.rfind("  " + machine + " now has:\n");
    if (at == std::string::npos)
        return {};
    std::string tasks;
    std::size_t line = output.find('\n', at) + 1;
    while (line < output.size() && output.compare(line, 6, "    - ") == 0) {
        const auto end = output.find('\n', line);
        tasks += output.substr(line + 6, end - line - 6) + "\n";
        line = end + 1;
    }
    return tasks;
}

class SyncExampleTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef SYNC_EXAMPLE_PATH
        GTEST_SKIP() << "the examples are not built";
#endif
    }
    testsupport::TempDir dir;
};

TEST_F(SyncExampleTest, StepsByHandWorkInAFreshFolderAndRefuseWhatTheyCannotDo) {
    const std::string folder = (dir / "mine").string();
    fs::create_directories(folder);
    auto desk = runExample({"--machine", "desk", folder, "start"});
    EXPECT_EQ(desk.exitCode, 0) << desk.output;
    EXPECT_TRUE(contains(desk.output, "desk enlisted its store\n")) << desk.output;
    EXPECT_FALSE(contains(desk.output, "failed")) << desk.output;
    ASSERT_EQ(runExample({"--machine", "laptop", folder, "start"}).exitCode, 0);
    auto sync = runExample({"--machine", "desk", folder, "sync"});
    EXPECT_EQ(sync.exitCode, 0) << sync.output;
    EXPECT_TRUE(contains(lastTasks(sync.output, "desk"), "Call mum")) << sync.output;

    auto missing = runExample({"--machine", "desk", (dir / "not-there").string(), "start"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(contains(missing.output, (dir / "not-there").string() + " does not exist")) << missing.output;
    EXPECT_FALSE(fs::exists(dir / "not-there"));

    auto stranger = runExample({"--machine", "kitchen", folder, "start"});
    EXPECT_EQ(stranger.exitCode, 2);
    EXPECT_TRUE(contains(stranger.output, "Unknown machine \"kitchen\": use desk or laptop."))
        << stranger.output;
    EXPECT_FALSE(fs::exists(fs::path(folder) / "kitchen.sqlite"));
    auto badStep = runExample({"--machine", "desk", folder, "dance"});
    EXPECT_EQ(badStep.exitCode, 2);
    EXPECT_TRUE(contains(badStep.output, "Unknown step \"dance\"")) << badStep.output;

    auto help = runExample({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(contains(help.output, "--machine desk|laptop <folder> start|edit|sync")) << help.output;
    EXPECT_TRUE(contains(help.output, "--keep")) << help.output;
}

TEST_F(SyncExampleTest, TheStoryTellsWhatItPlaysAndSaysWhereItsFilesAre) {
    auto cloud = runExample({"--via", "cloud-database", "--keep"});
    ASSERT_EQ(cloud.exitCode, 0) << cloud.output;
    const std::string firstLine = cloud.output.substr(0, cloud.output.find('\n'));
    EXPECT_FALSE(contains(firstLine, "folder")) << firstLine;
    EXPECT_TRUE(contains(firstLine, "cloud database")) << firstLine;
    const std::string kept = folderAfter(cloud.output, "The files stay in ");
    ASSERT_FALSE(kept.empty()) << cloud.output;
    EXPECT_TRUE(fs::exists(fs::path(kept) / "desk.sqlite")) << kept;
    EXPECT_TRUE(fs::exists(fs::path(kept) / "cloud")) << kept;
    // Step 3 as told: the desk's edit wins on both machines.
    EXPECT_TRUE(contains(cloud.output, "The desk's edit wins, priority 5")) << cloud.output;
    EXPECT_EQ(lastTasks(cloud.output, "desk"), "Call mum       priority 2\nWrite report   priority 5\n");
    EXPECT_EQ(lastTasks(cloud.output, "laptop"), lastTasks(cloud.output, "desk"));
    fs::remove_all(kept);

    auto folder = runExample({});
    ASSERT_EQ(folder.exitCode, 0) << folder.output;
    EXPECT_TRUE(contains(folder.output.substr(0, folder.output.find('\n')), "one shared folder"));
    const std::string removed = folderAfter(folder.output, "Removed ");
    ASSERT_FALSE(removed.empty()) << folder.output;
    EXPECT_FALSE(fs::exists(removed));
    EXPECT_TRUE(contains(folder.output, "run with --keep to keep it")) << folder.output;
    EXPECT_EQ(lastTasks(folder.output, "laptop"), "Call mum       priority 2\nWrite report   priority 5\n");
}

}  // namespace
