// Helpers for the tests of the SQLite store: a store file in a temporary
// folder, coordinators and contexts on it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CoreDataTestSupport.h"
#include "platform/coredata/SQLiteStore.h"
#include "support/TempDir.h"

namespace plat::coredata::testing {

inline FetchRequest makeRequest(const char* entity, PredicatePtr predicate = nullptr,
                                std::vector<SortDescriptor> sort = {}) {
    FetchRequest r(entity);
    r.predicate = std::move(predicate);
    r.sortDescriptors = std::move(sort);
    return r;
}

class SQLiteFileTest : public ::testing::Test {
  public:
    void SetUp() override { dispatch::MainLoop::bindToCurrentThread(); }

    std::string path(const std::string& name = "store.sqlite") const { return (dir / name).string(); }
    URL url(const std::string& name = "store.sqlite") const { return URL::fileURLWithPath(path(name)); }

    // A coordinator with the SQLite store at name added; fails the test when
    // the store cannot be added.
    std::shared_ptr<PersistentStoreCoordinator> open(
        std::shared_ptr<ManagedObjectModel> model = makeTestModel(), const Dictionary& options = {},
        const std::string& name = "store.sqlite") {
        auto coordinator = PersistentStoreCoordinator::create(std::move(model));
        auto store = coordinator->addPersistentStore(SQLiteStoreType, "", url(name), options);
        EXPECT_TRUE(store) << store.error()->description();
        return coordinator;
    }
    // The error of adding the store, or null.
    ErrorPtr openError(std::shared_ptr<ManagedObjectModel> model, const Dictionary& options = {},
                       const std::string& name = "store.sqlite") {
        auto coordinator = PersistentStoreCoordinator::create(std::move(model));
        auto store = coordinator->addPersistentStore(SQLiteStoreType, "", url(name), options);
        return store ? nullptr : store.error();
    }
    static std::shared_ptr<ManagedObjectContext> contextOn(
        const std::shared_ptr<PersistentStoreCoordinator>& coordinator,
        ConcurrencyType type = ConcurrencyType::Confinement) {
        auto c = ManagedObjectContext::create(type);
        c->setPersistentStoreCoordinator(coordinator);
        return c;
    }
    static std::vector<ManagedObjectPtr> fetchAll(const std::shared_ptr<ManagedObjectContext>& context,
                                                  const FetchRequest& request) {
        auto result = context->executeFetchRequest(request);
        EXPECT_TRUE(result) << result.error()->description();
        return result ? *result : std::vector<ManagedObjectPtr>{};
    }
    static Dictionary migrationOptions() {
        Dictionary options;
        options.set(MigratePersistentStoresAutomaticallyOption, Value(true));
        options.set(InferMappingModelAutomaticallyOption, Value(true));
        return options;
    }

    testsupport::TempDir dir;
};

}  // namespace plat::coredata::testing
