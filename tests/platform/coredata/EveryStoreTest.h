// A test that runs once on each store type (in-memory, SQLite, binary) over
// the test model: a coordinator with one store of the parameter's type, in
// a temporary folder when it is a file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/ManagedObjectContext.h"

namespace plat::coredata::testing {

class EveryStoreTest : public ::testing::TestWithParam<std::string> {
  protected:
    // Opens the store; a subclass calls it first and returns on a fatal failure.
    void SetUp() override {
        dispatch::MainLoop::bindToCurrentThread();
        coordinator = PersistentStoreCoordinator::create(makeTestModel());
        std::optional<URL> url;
        if (GetParam() != InMemoryStoreType)
            url = URL::fileURLWithPath(dir.str() + "/store");
        auto store = coordinator->addPersistentStore(GetParam(), "", url);
        ASSERT_TRUE(store) << store.error()->description();
    }

    std::shared_ptr<ManagedObjectContext> newContext() {
        auto c = ManagedObjectContext::create(ConcurrencyType::Confinement);
        c->setPersistentStoreCoordinator(coordinator);
        return c;
    }

    testsupport::TempDir dir;
    std::shared_ptr<PersistentStoreCoordinator> coordinator;
};

inline auto everyStoreType() {
    return ::testing::Values(std::string(InMemoryStoreType), std::string(SQLiteStoreType),
                             std::string(BinaryStoreType));
}

}  // namespace plat::coredata::testing
