// Shared set-up of the integration tests: the fixture application model and
// simulated machines (each with its own application store, event store and
// hardware identity, in one process), saves recorded as events, events
// copied from one event store to another, and a canonical dump of an
// application store for comparing machines.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/integration/SYNEventIntegrator.h"
#include "sync/integration/SYNImportedChanges.h"

namespace integrationtest {

// Name of the value transformer of Item.code (upper-cases strings on the way
// in, refuses data that is not text on the way out).
inline constexpr const char* kCodeTransformerName = "IntegrationTestCodeTransformer";

// Lowers, while it lives, the number of changes a merge keeps from its import
// and reads with their values at once: the paths past that bound are then
// reached with a few dozen changes instead of thousands.
class LoweredChangeBound {
  public:
    explicit LoweredChangeBound(std::size_t maximum) {
        SYNImportedChanges::setMaximumChangesForTesting(maximum);
    }
    ~LoweredChangeBound() { SYNImportedChanges::setMaximumChangesForTesting(0); }
    LoweredChangeBound(const LoweredChangeBound&) = delete;
    LoweredChangeBound& operator=(const LoweredChangeBound&) = delete;
};

// Calendar(name) <->> Task(title, done, calendar, parent <->> subtasks);
// Playlist(name) <->>(ordered) Item(every attribute type, playlist);
// Canvas(name) <->> Shape(name, canvas) with sub-entity Circle(radius);
// Scratch (ignored entity); Item.note (ignored property).
// Priorities: Calendar 10, Playlist 5, Canvas 5, the rest 0; Task batch size
// taskBatchSize (0: no entity is merged in batches).
std::shared_ptr<plat::coredata::ManagedObjectModel> makeFixtureModel(int64_t taskBatchSize = 2);

// The mesh of a simulated machine: remembers the codes of events left out.
class TestMesh : public SYNEventIntegratorMesh {
  public:
    void setNonCriticalErrorCodes(const std::set<int64_t>& codes) override { lastCodes = codes; }
    std::set<int64_t> lastCodes;
};

// One simulated machine.
class Machine {
  public:
    // A new machine (fresh event store), or, with openExisting, the machine
    // left in the folder by an earlier run (another process).
    Machine(const std::filesystem::path& root, const std::string& name, bool openExisting = false,
            int64_t taskBatchSize = 2);
    ~Machine();

    const std::string& name() const { return name_; }
    const std::string& hardwareIdentifier() const { return hardware_; }
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    const std::shared_ptr<SYNEventIntegrator>& integrator() const { return integrator_; }
    const plat::URL& storeURL() const { return storeURL_; }
    std::string storeIdentifier() const { return *eventStore_->persistentStoreIdentifier(); }

    // A new context on a new coordinator over the application store.
    std::shared_ptr<plat::coredata::ManagedObjectContext> newContext() const;
    // Edits a fresh context, records its changes as a save event, then saves.
    // Returns the error of whatever failed.
    plat::ErrorPtr recordSave(const std::function<void(plat::coredata::ManagedObjectContext&)>& edit);
    // Merges and waits for the completion.
    plat::ErrorPtr merge();
    // Saves an empty baseline that names the stores (none of their revisions
    // held) and marks the store as built from it.
    std::string makeEmptyBaseline(const std::vector<std::string>& stores);
    void adoptBaseline(const std::string& identifier);

    // Lines "Entity gid {key=value; ...}", sorted: the whole store with
    // objects named by their global identifiers.
    std::vector<std::string> dump() const;
    // (store identifier, revision) of every complete event.
    std::set<std::pair<std::string, int64_t>> revisions() const;

  private:
    std::string name_;
    std::string hardware_;
    std::filesystem::path dir_;
    std::shared_ptr<plat::coredata::ManagedObjectModel> model_;
    plat::URL storeURL_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::shared_ptr<SYNEventIntegrator> integrator_;

  public:
    std::shared_ptr<TestMesh> mesh = std::make_shared<TestMesh>();
};

// Copies every complete event of `from` that `to` lacks (events, revisions,
// changes, global identifiers without their store URIs, data files). Returns
// the number of events copied.
std::size_t copyEvents(const SYNEventStore& from, SYNEventStore& to);

// Plays 24 random steps on two machines (a save of a new calendar on one,
// its events copied to the other, or both), each followed by a merge of the
// other machine; `check(machine, step)` runs before and after each merge, on
// both machines. Ends with the events exchanged and merged both ways, the
// two stores equal, and a last check of each.
void playRandomExchanges(Machine& a, Machine& b, unsigned seed,
                         const std::function<void(const Machine&, const std::string&)>& check);

// The object of an entity whose attribute equals the value (in the context).
plat::coredata::ManagedObjectPtr objectWhere(plat::coredata::ManagedObjectContext& context,
                                             const std::string& entity, const std::string& key,
                                             const plat::Value& value);
std::vector<plat::coredata::ManagedObjectPtr> allObjects(plat::coredata::ManagedObjectContext& context,
                                                         const std::string& entity);

class IntegrationTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    Machine& addMachine(const std::string& name);
    // Fills a machine's store through two recorded saves: calendars, tasks
    // with subtasks, a playlist of items (every attribute type, a large
    // value), shapes of a canvas; then updates and deletes.
    static void populate(Machine& machine);
    // Machines a<suffix> and b<suffix> that share an empty baseline, with a
    // populated and its two saves copied to b.
    std::pair<Machine*, Machine*> twoMachinesSharingABaseline(const std::string& suffix = "");
    // Whether the event belongs to the machine's store or is still being built.
    static bool ownOrIncomplete(const plat::coredata::ManagedObject& event, const Machine& machine);
    // The machine's own events and those being built, counted by type.
    static std::map<int, int> ownEventTypes(const Machine& machine);
    // How many of those there are.
    static int ownEvents(const Machine& machine);
    testsupport::TempDir root;
    std::vector<std::unique_ptr<Machine>> machines;
    // The Task batch size of the machines' model (see makeFixtureModel).
    int64_t taskBatchSize = 2;
};

// A merge with and without a Task batch size in the model: with one, batches
// are saved into a staging context; without, the integrator's context sits
// on the store.
struct BatchMode {
    const char* name;
    int64_t taskBatchSize;
};

class BatchModeIntegrationTest : public IntegrationTest, public ::testing::WithParamInterface<BatchMode> {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        taskBatchSize = GetParam().taskBatchSize;
    }
};

// For INSTANTIATE_TEST_SUITE_P(Modes, Suite, kBatchModes, batchModeName).
inline const auto kBatchModes = ::testing::Values(BatchMode{"InBatches", 2}, BatchMode{"WithoutBatches", 0});
inline std::string batchModeName(const ::testing::TestParamInfo<BatchMode>& info) {
    return info.param.name;
}

}  // namespace integrationtest
