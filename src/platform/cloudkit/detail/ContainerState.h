// What a container and its databases and operations share in one process.
// Read from the operations' threads: the switches are atomics (set by tests
// between operations), the account sits behind a leaf lock, and the rest is
// set once when the state is made.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/cloudkit/Container.h"
#include "platform/cloudkit/detail/Server.h"

namespace plat::cloudkit::detail {

struct ContainerState {
    ContainerConfiguration configuration;
    std::shared_ptr<Server> server;
    FaultInjector faults;
    OperationLog log;
    std::atomic<bool> deleteMissingAnswersUnknownItem{false};
    std::atomic<bool> pushToOriginator{false};
    std::atomic<bool> mintTokenOnEveryFetch{false};
    std::atomic<bool> queryLag{false};

    mutable Mutex mutex;
    std::optional<std::string> account GUARDED_BY(mutex);  // never an empty string

    std::optional<std::string> currentAccount() const EXCLUDES(mutex) {
        MutexLock lock(mutex);
        return account;
    }
    // The database of the current account; the public one is shared by all.
    DatabaseKey keyFor(DatabaseScope scope, const std::string& accountName) const {
        return DatabaseKey{scope == DatabaseScope::Public ? std::string() : accountName, scope};
    }
};

}  // namespace plat::cloudkit::detail
