// Reliability of the SQLite store: processes killed in the middle of a save,
// several processes and several coordinators on one file.
//
// Child processes are this test program run again with
// --gtest_filter=SQLiteStoreChild.Run and the environment variable
// COREDATA_TEST_CHILD naming what to do; run directly, that test skips.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "SQLiteStoreTestSupport.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using testing::makeTestModel;
using ReliabilityTest = testing::SQLiteFileTest;

constexpr int kRows = 50;

// --- Child side -----------------------------------------------------------------

std::string killPoint;
int killAt = 0;
int progressFd = -1;

void killingHook(const char* point) {
    if (progressFd >= 0 && std::string_view(point) == "save.begin") {
        char byte = 1;
        (void)!write(progressFd, &byte, 1);
    }
    if (point == killPoint && --killAt == 0)
        raise(SIGKILL);
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::shared_ptr<ManagedObjectContext> childContext() {
    auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
    auto store = coordinator->addPersistentStore(SQLiteStoreType, "",
                                                 URL::fileURLWithPath(env("COREDATA_TEST_STORE")));
    if (!store)
        _exit(3);
    return testing::SQLiteFileTest::contextOn(coordinator);
}

// Updates every tag to "v1" and inserts as many new ones, in one save.
int childUpdateAll() {
    auto context = childContext();
    auto tags = context->executeFetchRequest(FetchRequest("Tag"));
    if (!tags)
        return 4;
    for (const auto& tag : *tags) {
        tag->setValue(Value("v1"), "name");
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("v1"), "name");
    }
    return context->save() ? 5 : 0;
}

// Saves batches of 20 tags named after their batch until killed.
int childBatches() {
    auto context = childContext();
    for (int batch = 1; batch < 100000; ++batch) {
        for (int i = 0; i < 20; ++i)
            context->insertNewObjectForEntityForName("Tag")->setValue(Value("b" + std::to_string(batch)),
                                                                      "name");
        if (context->save())
            return 5;
        context->reset();
    }
    return 0;
}

// Inserts tags "child-<i>" in three saves and writes their URIs to a file.
int childWriter() {
    auto context = childContext();
    std::ofstream uris(env("COREDATA_TEST_OUTPUT"));
    for (int save = 0; save < 3; ++save) {
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < 10; ++i) {
            made.push_back(context->insertNewObjectForEntityForName("Tag"));
            made.back()->setValue(Value("child-" + std::to_string(save * 10 + i)), "name");
        }
        if (context->save())
            return 5;
        for (const auto& o : made)
            uris << o->objectID()->URIRepresentation().absoluteString() << "\n";
    }
    return uris.good() ? 0 : 6;
}

// Makes the IDs of five new tags permanent, writes their keys to a file and
// dies before saving: the keys came from a block reserved ahead.
int childReserveAndDie() {
    auto context = childContext();
    std::vector<ManagedObjectPtr> made;
    for (int i = 0; i < 5; ++i)
        made.push_back(context->insertNewObjectForEntityForName("Tag"));
    if (context->obtainPermanentIDsForObjects(made))
        return 5;
    {
        std::ofstream keys(env("COREDATA_TEST_OUTPUT"));
        for (const auto& o : made)
            keys << o->objectID()->primaryKey() << "\n";
        if (!keys.good())
            return 6;
    }
    raise(SIGKILL);
    return 7;
}

TEST(SQLiteStoreChild, Run) {
    const std::string mode = env("COREDATA_TEST_CHILD");
    if (mode.empty())
        GTEST_SKIP() << "runs only as a child process of the reliability tests";
    dispatch::MainLoop::bindToCurrentThread();
    killPoint = env("COREDATA_TEST_KILL_POINT");
    killAt = std::atoi(env("COREDATA_TEST_KILL_AT").c_str());
    if (!env("COREDATA_TEST_PIPE").empty())
        progressFd = std::atoi(env("COREDATA_TEST_PIPE").c_str());
    SQLiteStore::setTestHook(killingHook);
    int code = mode == "update"    ? childUpdateAll()
               : mode == "batches" ? childBatches()
               : mode == "reserve" ? childReserveAndDie()
                                   : childWriter();
    std::fflush(nullptr);
    _exit(code);
}

// --- Parent side ----------------------------------------------------------------

// Runs this program as a child with the given environment; returns its pid.
pid_t spawnChild(const std::map<std::string, std::string>& vars) {
    std::vector<std::string> strings = {"--gtest_filter=SQLiteStoreChild.Run"};
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        environment.emplace_back(*e);
    for (const auto& [k, v] : vars)
        environment.push_back(k + "=" + v);
    std::vector<char*> argv{const_cast<char*>("/proc/self/exe"), strings[0].data(), nullptr};
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    pid_t pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0)
            dup2(quiet, STDOUT_FILENO);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

std::multiset<std::string> tagNames(const std::shared_ptr<ManagedObjectContext>& context) {
    std::multiset<std::string> names;
    for (const auto& tag : testing::SQLiteFileTest::fetchAll(context, makeRequest("Tag")))
        names.insert(tag->valueForKey("name").stringValue());
    return names;
}

struct KillCase {
    const char* point;
    int at;
    bool saved;  // whether the save had committed when the process died
};

class KilledSaveTest : public ReliabilityTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(KilledSaveTest, LeavesTheStoreAsBeforeOrAfterTheSave) {
    const KillCase& k = GetParam();
    {
        auto context = contextOn(open());
        for (int i = 0; i < kRows; ++i)
            context->insertNewObjectForEntityForName("Tag")->setValue(Value("v0"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    pid_t child = spawnChild({{"COREDATA_TEST_CHILD", "update"},
                              {"COREDATA_TEST_STORE", path()},
                              {"COREDATA_TEST_KILL_POINT", k.point},
                              {"COREDATA_TEST_KILL_AT", std::to_string(k.at)}});
    ASSERT_GT(child, 0);
    int status = waitFor(child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    auto context = contextOn(open());
    auto names = tagNames(context);
    if (k.saved) {
        EXPECT_EQ(names.size(), 2u * kRows);
        EXPECT_EQ(names.count("v1"), 2u * kRows);
    } else {
        EXPECT_EQ(names.size(), static_cast<std::size_t>(kRows));
        EXPECT_EQ(names.count("v0"), static_cast<std::size_t>(kRows));
    }
    // The store goes on working, with keys past every key handed out.
    auto tags = fetchAll(context, makeRequest("Tag"));
    int64_t highest = 0;
    for (const auto& t : tags)
        highest = std::max(highest, t->objectID()->primaryKey());
    auto fresh = context->insertNewObjectForEntityForName("Tag");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_GT(fresh->objectID()->primaryKey(), highest);
}

INSTANTIATE_TEST_SUITE_P(Points, KilledSaveTest,
                         ::testing::Values(KillCase{"save.begin", 1, false}, KillCase{"save.row", 1, false},
                                           KillCase{"save.row", kRows + 10, false},
                                           KillCase{"save.commit", 1, false}, KillCase{"save.end", 1, true}),
                         [](const ::testing::TestParamInfo<KillCase>& info) {
                             std::string name = info.param.point;
                             name = name.substr(5) + std::to_string(info.param.at);
                             return name;
                         });

TEST_F(ReliabilityTest, AProcessKilledAtAnyMomentLeavesOnlyWholeSaves) {
    { auto context = contextOn(open()); }  // create the file before the child races for it
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = spawnChild({{"COREDATA_TEST_CHILD", "batches"},
                              {"COREDATA_TEST_STORE", path()},
                              {"COREDATA_TEST_PIPE", std::to_string(fds[1])}});
    ASSERT_GT(child, 0);
    close(fds[1]);
    // Kill as soon as the fourth save starts: it is under way, not finished.
    char byte;
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(read(fds[0], &byte, 1), 1);
    kill(child, SIGKILL);
    close(fds[0]);
    int status = waitFor(child);
    EXPECT_TRUE(WIFSIGNALED(status));

    auto context = contextOn(open());
    std::map<std::string, int> perBatch;
    for (const auto& name : tagNames(context))
        ++perBatch[name];
    EXPECT_GE(perBatch.size(), 3u);
    for (const auto& [name, count] : perBatch)
        EXPECT_EQ(count, 20) << name;
}

TEST_F(ReliabilityTest, TwoProcessesSeeEachOthersSavesAndAgreeOnURIs) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    const std::string output = path("uris.txt");
    pid_t child = spawnChild({{"COREDATA_TEST_CHILD", "writer"},
                              {"COREDATA_TEST_STORE", path()},
                              {"COREDATA_TEST_OUTPUT", output}});
    ASSERT_GT(child, 0);
    for (int save = 0; save < 3; ++save) {
        for (int i = 0; i < 10; ++i)
            context->insertNewObjectForEntityForName("Tag")->setValue(Value("parent"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    int status = waitFor(child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    auto reader = contextOn(coordinator);
    auto tags = fetchAll(reader, makeRequest("Tag"));
    EXPECT_EQ(tags.size(), 60u);
    std::set<int64_t> keys;
    for (const auto& t : tags)
        keys.insert(t->objectID()->primaryKey());
    EXPECT_EQ(keys.size(), 60u);
    std::ifstream in(output);
    std::string line;
    int seen = 0;
    while (std::getline(in, line)) {
        auto id = coordinator->managedObjectIDForURIRepresentation(line);
        ASSERT_NE(id, nullptr) << line;
        auto object = reader->existingObjectWithID(id);
        ASSERT_TRUE(object) << line;
        EXPECT_EQ((*object)->valueForKey("name").stringValue().rfind("child-", 0), 0u);
        EXPECT_EQ((*object)->objectID()->URIRepresentation().absoluteString(), line);
        ++seen;
    }
    EXPECT_EQ(seen, 30);
}

// Keys are reserved in blocks and handed out from memory: a process killed
// after handing some out, before its save, leaves the whole block reserved,
// so the next process never uses one of those keys again; the gap it leaves
// does not disturb finding, fetching or refetching objects by ID.
TEST_F(ReliabilityTest, KeysHandedOutByAKilledProcessAreNeverReused) {
    {
        auto context = contextOn(open());
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("before"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    const std::string output = path() + ".keys";
    pid_t child = spawnChild({{"COREDATA_TEST_CHILD", "reserve"},
                              {"COREDATA_TEST_STORE", path()},
                              {"COREDATA_TEST_OUTPUT", output}});
    int status = waitFor(child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::set<int64_t> handedOut;
    {
        std::ifstream in(output);
        for (int64_t k; in >> k;)
            handedOut.insert(k);
    }
    ASSERT_EQ(handedOut.size(), 5u);
    auto context = contextOn(open());
    std::vector<ManagedObjectPtr> made;
    for (int save = 0; save < 4; ++save) {
        for (int i = 0; i < 10; ++i) {
            made.push_back(context->insertNewObjectForEntityForName("Tag"));
            made.back()->setValue(Value("after-" + std::to_string(save * 10 + i)), "name");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    std::set<int64_t> used;
    for (const auto& o : made) {
        const int64_t key = o->objectID()->primaryKey();
        EXPECT_FALSE(handedOut.count(key)) << key;
        EXPECT_GT(key, *handedOut.rbegin());
        EXPECT_TRUE(used.insert(key).second) << key;
    }
    // A fresh context finds every object across the gap.
    auto fresh = contextOn(open());
    auto all = fetchAll(fresh, makeRequest("Tag", nullptr, {SortDescriptor("name", true)}));
    ASSERT_EQ(all.size(), made.size() + 1);
    for (const auto& o : made) {
        auto found = fresh->existingObjectWithID(o->objectID());
        ASSERT_TRUE(found.ok()) << o->objectID()->description();
        EXPECT_EQ((*found)->valueForKey("name"), o->valueForKey("name"));
    }
    ::unlink(output.c_str());
}

// Two coordinators on one file, saving in turn: each draws keys from its own
// block, no key is used twice, and a key drawn after the other coordinator
// reserved is greater than the other's (a block another reservation has
// passed is dropped), so keys still follow the order objects were made in.
TEST_F(ReliabilityTest, InterleavedCoordinatorsDrawDistinctKeysInCreationOrder) {
    auto one = contextOn(open());
    auto two = contextOn(open());
    std::vector<int64_t> order;
    std::vector<std::pair<std::shared_ptr<ManagedObjectContext>, ManagedObjectPtr>> all;
    for (int round = 0; round < 12; ++round) {
        for (const auto& context : {one, two}) {
            std::vector<ManagedObjectPtr> made;
            for (int i = 0; i <= round % 3; ++i) {
                made.push_back(context->insertNewObjectForEntityForName("Tag"));
                made.back()->setValue(Value("r" + std::to_string(round) + "-" + std::to_string(i)), "name");
            }
            ASSERT_EQ(context->save(), nullptr);
            for (const auto& o : made) {
                order.push_back(o->objectID()->primaryKey());
                all.emplace_back(context, o);
            }
        }
    }
    for (std::size_t i = 1; i < order.size(); ++i)
        EXPECT_LT(order[i - 1], order[i]) << "at " << i;
    // Each context registered its saved objects under keys with gaps (the
    // other's blocks): each finds its own, and a fetch returns them.
    for (const auto& [context, o] : all)
        EXPECT_EQ(context->objectRegisteredForID(o->objectID()), o) << o->objectID()->description();
    for (const auto& context : {one, two}) {
        auto fetched = fetchAll(context, makeRequest("Tag"));
        ASSERT_EQ(fetched.size(), order.size());
        for (const auto& o : fetched)
            EXPECT_EQ(context->objectRegisteredForID(o->objectID()), o);
    }
    EXPECT_EQ(contextOn(open())->countForFetchRequest(makeRequest("Tag")).value(), order.size());
}

TEST_F(ReliabilityTest, ConcurrentCoordinatorsLoseNoInsertAndNoUpdate) {
    {
        auto context = contextOn(open());
        context->insertNewObjectForEntityForName("Calendar")->setValue(Value("0"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    constexpr int kThreads = 4, kRounds = 8;
    std::atomic<int> conflicts{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
            if (!coordinator->addPersistentStore(SQLiteStoreType, "", url())) {
                ++failures;
                return;
            }
            auto context = contextOn(coordinator);
            auto counter = context->executeFetchRequest(FetchRequest("Calendar"));
            if (!counter || counter->size() != 1) {
                ++failures;
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                for (int i = 0; i < 5; ++i)
                    context->insertNewObjectForEntityForName("Tag")->setValue(Value("t" + std::to_string(t)),
                                                                              "name");
                // Increment the shared counter; on a conflict reload and retry.
                while (true) {
                    auto& c = (*counter)[0];
                    c->setValue(Value(std::to_string(std::stoi(c->valueForKey("name").stringValue()) + 1)),
                                "name");
                    auto error = context->save();
                    if (!error)
                        break;
                    if (error->code() != ManagedObjectMergeError) {
                        ++failures;
                        return;
                    }
                    ++conflicts;
                    context->refreshObject(c, false);
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    auto context = contextOn(open());
    auto counter = fetchAll(context, makeRequest("Calendar"));
    ASSERT_EQ(counter.size(), 1u);
    EXPECT_EQ(counter[0]->valueForKey("name"), Value(std::to_string(kThreads * kRounds)));
    EXPECT_EQ(context->countForFetchRequest(makeRequest("Tag")).value(),
              static_cast<std::size_t>(kThreads * kRounds * 5));
}

}  // namespace
}  // namespace plat::coredata

namespace plat::coredata {
namespace {

// The store holds the user's data: its file and its write-ahead log are
// private to the user even under a permissive umask.
TEST_F(ReliabilityTest, NewStoreFilesArePrivateWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    auto coordinator = PersistentStoreCoordinator::create(makeTestModel());
    const bool added = static_cast<bool>(coordinator->addPersistentStore(SQLiteStoreType, "", url()));
    ::umask(previous);
    ASSERT_TRUE(added);
    auto context = contextOn(coordinator);
    context->insertNewObjectForEntityForName("Tag")->setValue(Value("a"), "name");
    ASSERT_EQ(context->save(), nullptr);
    for (const std::string suffix : {"", "-wal"}) {
        struct stat st;
        const std::string path = this->path("store.sqlite") + suffix;
        if (::stat(path.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
        } else {
            EXPECT_FALSE(suffix.empty()) << "the store file exists";
        }
    }
}

}  // namespace
}  // namespace plat::coredata
