// The merge flow of the event integrator: what a merge integrates, what it
// records, and that a merge that fails, is cancelled or is killed leaves both
// stores consistent.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <tuple>

#include "KeyedArchiveRows.h"

#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"

extern char** environ;

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

class SYNEventIntegratorTest : public IntegrationTest {
  protected:
    // a and b share an empty baseline; a's two saves have reached b.
    void twoMachines() { std::tie(a, b) = twoMachinesSharingABaseline(); }

    Machine* a = nullptr;
    Machine* b = nullptr;
};

TEST_F(SYNEventIntegratorTest, MergesAnotherMachinesEventsIntoOneMergeEvent) {
    twoMachines();
    uint64_t units = 0;
    std::vector<std::string> entities;
    b->integrator()->setProgressUnitsCompletionBlock([&](uint64_t n) { units += n; });
    b->integrator()->setWillBeginMergingEntityBlock(
        [&](const auto& entity) { entities.push_back(entity.name()); });
    bool done = false;
    plat::ErrorPtr result = SYNMakeError(SYNErrorUnknown);
    b->integrator()->mergeEventsWithCompletion([&](plat::ErrorPtr error) {
        EXPECT_TRUE(plat::dispatch::MainLoop::isMainThread());
        result = error;
        done = true;
    });
    EXPECT_FALSE(done);  // never synchronously
    ASSERT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60.0));
    ASSERT_EQ(result, nullptr) << result->description();
    EXPECT_EQ(b->dump(), a->dump());
    EXPECT_EQ(ownEventTypes(*b), (std::map<int, int>{{SYNStoreModificationEventTypeMerge, 1}}));
    // Priority order; the ignored entity is left out.
    EXPECT_EQ(entities, (std::vector<std::string>{"Calendar", "Canvas", "Playlist", "Circle", "Item", "Shape",
                                                  "Task"}));
    EXPECT_EQ(units, 2u * 7u);

    // Nothing new: no second merge event.
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(ownEventTypes(*b), (std::map<int, int>{{SYNStoreModificationEventTypeMerge, 1}}));
}

// A merge of few changes reads them with their values at once, one of many
// reads the values a stretch at a time as the stages need them: both give
// the other machine's store, values and links included.
TEST_F(SYNEventIntegratorTest, MergesOfFewAndOfManyChangesGiveTheSameStore) {
    LoweredChangeBound bound(40);
    twoMachines();
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        auto calendar = context.insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("many"), "name");
        for (std::size_t i = 0; i < SYNImportedChanges::maximumChanges() + 5; ++i) {
            auto task = context.insertNewObjectForEntityForName("Task");
            task->setValue(Value("many " + std::to_string(i)), "title");
            task->setObject(calendar, "calendar");
        }
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        auto task = objectWhere(context, "Task", "title", Value("many 7"));
        ASSERT_TRUE(task);
        task->setValue(Value("few"), "title");
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
}

TEST_F(SYNEventIntegratorTest, OnlyLocalEventsMakeNoMergeEventAndReportAllUnits) {
    twoMachines();
    uint64_t units = 0;
    a->integrator()->setProgressUnitsCompletionBlock([&](uint64_t n) { units += n; });
    const auto before = a->dump();
    ASSERT_EQ(a->merge(), nullptr);
    EXPECT_EQ(units, a->integrator()->numberOfProgressUnits());
    EXPECT_EQ(a->dump(), before);
    EXPECT_EQ(ownEventTypes(*a).count(SYNStoreModificationEventTypeMerge), 0u);
}

TEST_F(SYNEventIntegratorTest, RepairsAreRecordedInTheMergeEventAndTheLaterEditWins) {
    twoMachines();
    // Concurrent edits of one title: the later event wins on both machines.
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Task", "title", Value("task1"))->setValue(Value("from a"), "title");
    }),
              nullptr);
    ASSERT_EQ(b->merge(), nullptr);
    ASSERT_EQ(b->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Task", "title", Value("task1"))->setValue(Value("from b"), "title");
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    // b's repair hook renames a calendar while merging a's last save.
    int asked = 0;
    b->integrator()->setShouldSaveBlock([&](ManagedObjectContext&, ManagedObjectContext& reparation) {
        ++asked;
        reparation.performBlockAndWait([&] {
            objectWhere(reparation, "Calendar", "name", Value("work"))->setValue(Value("repaired"), "name");
        });
        return true;
    });
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_GE(asked, 1);
    copyEvents(*b->eventStore(), *a->eventStore());
    ASSERT_EQ(a->merge(), nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    b->integrator()->setShouldSaveBlock(nullptr);
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(a->dump(), b->dump());
    auto context = a->newContext();
    EXPECT_TRUE(objectWhere(*context, "Calendar", "name", Value("repaired")));
    EXPECT_TRUE(objectWhere(*context, "Task", "title", Value("from b")));  // b's save came later
}

struct FailureCase {
    const char* name;
    std::function<void(SYNEventIntegrator&, Machine&)> arm;
    int64_t code;
};

class SYNEventIntegratorFailureTest : public SYNEventIntegratorTest,
                                      public ::testing::WithParamInterface<FailureCase> {};

// A hook that fails the merge with error 42 at the n-th time it reaches the point.
std::function<void(SYNEventIntegrator&, Machine&)> failAt(std::string point, int at) {
    return [point, at](SYNEventIntegrator& integrator, Machine&) {
        auto hits = std::make_shared<int>(0);
        integrator.setTestHook([=](std::string_view reached) -> plat::ErrorPtr {
            if (reached == point && ++*hits == at) {
                return plat::Error::make("TestStoreDomain", 42);
            }
            return nullptr;
        });
    };
}

TEST_P(SYNEventIntegratorFailureTest, LeavesTheStoreAsItWasAndTheNextMergeSucceeds) {
    twoMachines();
    const auto before = b->dump();
    GetParam().arm(*b->integrator(), *b);
    auto error = b->merge();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), GetParam().code) << error->description();
    EXPECT_EQ(b->dump(), before);
    EXPECT_TRUE(ownEventTypes(*b).empty());

    b->integrator()->setTestHook(nullptr);
    b->integrator()->setShouldSaveBlock(nullptr);
    b->integrator()->setWillBeginMergingEntityBlock(nullptr);
    b->integrator()->stopMonitoringSaves();
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
    EXPECT_EQ(ownEventTypes(*b), (std::map<int, int>{{SYNStoreModificationEventTypeMerge, 1}}));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SYNEventIntegratorFailureTest,
    ::testing::Values(
        FailureCase{"ThrowingRepairHook",
                    [](SYNEventIntegrator& integrator, Machine&) {
                        integrator.setShouldSaveBlock(
                            [](auto&, auto&) -> bool { throw std::runtime_error("no"); });
                    },
                    SYNErrorUnknown},
        FailureCase{"DeclinedSave",
                    [](SYNEventIntegrator& integrator, Machine&) {
                        integrator.setShouldSaveBlock([](auto&, auto&) { return false; });
                    },
                    SYNErrorCancelled},
        FailureCase{"StoreErrorAtThirdEntity", failAt("entity", 3), 42},
        FailureCase{"StoreErrorInABatch", failAt("batch", 7), 42},
        FailureCase{"StoreErrorAtABatchSave", failAt("save", 2), 42},
        FailureCase{"StoreErrorBeforeCommit", failAt("beforeCommit", 1), 42},
        FailureCase{"Cancelled",
                    [](SYNEventIntegrator& integrator, Machine&) {
                        integrator.setWillBeginMergingEntityBlock([&integrator](const auto& entity) {
                            if (entity.name() == "Item") {
                                integrator.cancelMerge();
                            }
                        });
                    },
                    SYNErrorCancelled},
        FailureCase{"ApplicationSavedDuringMerge",
                    [](SYNEventIntegrator& integrator, Machine& machine) {
                        integrator.startMonitoringSaves();
                        integrator.setWillBeginMergingEntityBlock([&machine](const auto& entity) {
                            if (entity.name() != "Playlist") {
                                return;
                            }
                            // A child context's save alone does not count.
                            auto root = machine.newContext();
                            auto child =
                                ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
                            child->setParentContext(root);
                            child->insertNewObjectForEntityForName("Scratch");
                            EXPECT_EQ(child->save(), nullptr);
                            EXPECT_EQ(root->save(), nullptr);
                        });
                    },
                    SYNErrorSaveOccurredDuringMerge},
        // The application's store reached through a link to its folder is
        // the same store.
        FailureCase{"ApplicationSavedThroughALinkDuringMerge",
                    [](SYNEventIntegrator& integrator, Machine& machine) {
                        integrator.startMonitoringSaves();
                        integrator.setWillBeginMergingEntityBlock([&machine](const auto& entity) {
                            if (entity.name() != "Playlist") {
                                return;
                            }
                            const std::filesystem::path store(machine.storeURL().path());
                            const auto link = store.parent_path().parent_path() / "linked";
                            std::filesystem::create_directory_symlink(store.parent_path(), link);
                            auto coordinator =
                                plat::coredata::PersistentStoreCoordinator::create(makeFixtureModel());
                            auto added = coordinator->addPersistentStore(
                                plat::coredata::SQLiteStoreType, "",
                                plat::URL::fileURLWithPath((link / store.filename()).string()));
                            ASSERT_TRUE(added.ok());
                            auto context =
                                ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
                            context->setPersistentStoreCoordinator(coordinator);
                            context->insertNewObjectForEntityForName("Scratch");
                            EXPECT_EQ(context->save(), nullptr);
                        });
                    },
                    SYNErrorSaveOccurredDuringMerge}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SYNEventIntegratorTest, AChangeWhoseValuesCannotBeReadFailsTheMergeInsteadOfSkippingIt) {
    twoMachines();
    const auto before = b->dump();
    const std::string path = b->eventStore()->pathToStoreFile();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_busy_timeout(db, 10000), SQLITE_OK);
    auto exec = [&](const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
            << (message ? message : "");
        sqlite3_free(message);
    };
    exec("CREATE TEMP TABLE saved AS SELECT Z_PK, ZPROPERTYCHANGEVALUES FROM Z_SYNOBJECTCHANGE");
    exec("UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = x'0102030405'");
    auto error = b->merge();
    EXPECT_TRUE(error);
    EXPECT_EQ(b->dump(), before);
    EXPECT_TRUE(ownEventTypes(*b).empty());

    exec(
        "UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = "
        "(SELECT ZPROPERTYCHANGEVALUES FROM saved WHERE saved.Z_PK = Z_SYNOBJECTCHANGE.Z_PK)");
    sqlite3_close(db);
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
}

TEST_F(SYNEventIntegratorTest, AFullIntegrationDeletesWhatNoEventInsertedButNotWhenTheBaselineIsLeftOut) {
    twoMachines();
    ASSERT_EQ(b->merge(), nullptr);
    // An object of b's store that no event knows.
    {
        auto context = b->newContext();
        context->insertNewObjectForEntityForName("Calendar")->setValue(Value("stray"), "name");
        context->insertNewObjectForEntityForName("Scratch")->setValue(Value("ignored"), "text");
        ASSERT_EQ(context->save(), nullptr);
    }
    const auto withStray = b->dump();
    ASSERT_EQ(withStray.size(), a->dump().size() + 1);

    // The baseline refers to a data file that is not here: it cannot be
    // integrated, so nothing may be deleted and the full integration waits.
    auto context = b->eventStore()->managedObjectContext();
    plat::coredata::ManagedObjectPtr file;
    context->performBlockAndWait([&] {
        auto baseline = SYNStoreModificationEvent::fetchBaselineEventInManagedObjectContext(*context);
        ASSERT_TRUE(baseline.ok() && *baseline);
        auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        change->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
        change->setValue(Value("Calendar"), "nameOfEntity");
        auto row = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        row->setValue(Value("baseline-calendar"), "globalIdentifier");
        row->setValue(Value("Calendar"), "nameOfEntity");
        change->setObject(row, "globalIdentifier");
        change->setObject(*baseline, "storeModificationEvent");
        file = context->insertNewObjectForEntityForName(SYNDataFileEntityName);
        file->setValue(Value("ABSENT"), "filename");
        file->setObject(change, "objectChange");
        ASSERT_EQ(context->save(), nullptr);
    });
    b->eventStore()->setNeedsFullIntegration(true);
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), withStray);
    EXPECT_TRUE(b->eventStore()->needsFullIntegration());
    EXPECT_TRUE(b->mesh->lastCodes.count(SYNErrorMissingDataFiles));

    // Once integrable, the full integration runs: the stray object goes, the
    // ignored entity stays, and the flag is cleared.
    context->performBlockAndWait([&] {
        context->deleteObject(context->objectWithID(file->objectID()));
        ASSERT_EQ(context->save(), nullptr);
    });
    ASSERT_EQ(b->merge(), nullptr);
    auto expected = a->dump();
    expected.push_back("Calendar baseline-calendar {name=<null>; tasks=[]; }");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(b->dump(), expected);
    EXPECT_FALSE(b->eventStore()->needsFullIntegration());
    auto check = b->newContext();
    EXPECT_EQ(allObjects(*check, "Scratch").size(), 1u);
}

// --- Killed merges ------------------------------------------------------------------

// The child: merges machine "b" under the root and is killed at a point.
TEST(SYNEventIntegratorChild, Run) {
    const char* root = std::getenv("SYN_INTEGRATION_CHILD_ROOT");
    if (!root) {
        GTEST_SKIP() << "run by the killed-merge tests";
    }
    plat::dispatch::MainLoop::bindToCurrentThread();
    const std::string point = std::getenv("SYN_INTEGRATION_CHILD_POINT");
    const int at = std::atoi(std::getenv("SYN_INTEGRATION_CHILD_AT"));
    Machine machine(root, "b", true);
    int hits = 0;
    machine.integrator()->setTestHook([&](std::string_view reached) -> plat::ErrorPtr {
        if (reached == point && ++hits == at) {
            std::raise(SIGKILL);
        }
        return nullptr;
    });
    machine.merge();
    std::fflush(nullptr);
    _exit(3);  // not killed: the point was never reached
}

struct KillCase {
    const char* point;
    int at;
};

class SYNEventIntegratorKillTest : public SYNEventIntegratorTest,
                                   public ::testing::WithParamInterface<KillCase> {};

TEST_P(SYNEventIntegratorKillTest, MergingAgainGivesTheUninterruptedResult) {
    twoMachines();
    const auto expected = a->dump();
    machines[1].reset();  // b's stores are closed while the child works on them

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        environment.emplace_back(*e);
    }
    environment.push_back("SYN_INTEGRATION_CHILD_ROOT=" + root.str());
    environment.push_back(std::string("SYN_INTEGRATION_CHILD_POINT=") + GetParam().point);
    environment.push_back("SYN_INTEGRATION_CHILD_AT=" + std::to_string(GetParam().at));
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=SYNEventIntegratorChild.Run";
    std::vector<char*> argv{const_cast<char*>("/proc/self/exe"), filter.data(), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            dup2(quiet, STDOUT_FILENO);
        }
        execve("/proc/self/exe", argv.data(), envp.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    machines[1] = std::make_unique<Machine>(root.path(), "b", true);
    b = machines[1].get();
    EXPECT_EQ(ownEventTypes(*b).count(SYNStoreModificationEventTypeIncomplete), 0u);
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), expected);
    EXPECT_EQ(ownEventTypes(*b), (std::map<int, int>{{SYNStoreModificationEventTypeMerge, 1}}));
}

INSTANTIATE_TEST_SUITE_P(Points, SYNEventIntegratorKillTest,
                         ::testing::Values(KillCase{"entity", 2}, KillCase{"entity", 6}, KillCase{"batch", 5},
                                           KillCase{"save", 2}, KillCase{"beforeCommit", 1},
                                           KillCase{"afterCommit", 1}),
                         [](const auto& info) {
                             return std::string(info.param.point) + std::to_string(info.param.at);
                         });

// An event store whose changes hold keyed archives (as older versions wrote
// them) merges exactly as one holding the compact form.
TEST_F(SYNEventIntegratorTest, AStoreOfKeyedArchivedValuesMergesAsACompactOne) {
    twoMachines();
    EXPECT_GT(integrationtest::rewriteChangeValuesAsKeyedArchives(b->eventStore()->pathToStoreFile()), 0);
    b->eventStore()->managedObjectContext()->performBlockAndWait(
        [&] { b->eventStore()->managedObjectContext()->reset(); });
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
}

}  // namespace
}  // namespace integrationtest
