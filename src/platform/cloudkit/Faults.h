// Fault injection and the operation log of one container (process-local).
// Both are used from any thread: the operations of every queue consult the
// rules and append to the log, each behind a leaf lock of its own.
//
// A rule matches an operation kind, optionally only operations that name a
// record matching a glob pattern, and optionally only its nth match; it then
// delays the operation, fails it as a whole, fails the matching records one by
// one, or makes their assets unavailable on fetch.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloudkit/Errors.h"
#include "platform/foundation/Mutex.h"

namespace plat::cloudkit {

enum class OperationKind {
    FetchRecordZones,
    ModifyRecordZones,
    FetchRecords,
    FetchCurrentUserRecord,
    ModifyRecords,
    Query,
    FetchRecordChanges,
    ModifySubscriptions,
    AcceptShares,
};

const char* operationKindName(OperationKind kind);

struct FaultRule {
    std::optional<OperationKind> kind;  // none: every kind
    std::string recordNamePattern;      // glob over record names; empty: any operation
    int occurrence = 0;                 // 1-based match to fire on; 0: every match
    std::chrono::milliseconds delay{0};
    ErrorPtr error;                      // fails the whole operation
    std::optional<ErrorCode> itemError;  // fails each matching record
    bool dropAsset = false;              // fetched assets of matching records: item 35

    // Ready-made rules for the errors callers handle.
    static FaultRule networkUnavailable(std::optional<OperationKind> kind = std::nullopt);
    static FaultRule rateLimited(double retryAfterSeconds, std::optional<OperationKind> kind = std::nullopt);
    static FaultRule quotaExceeded(std::optional<OperationKind> kind = OperationKind::ModifyRecords);
    static FaultRule itemFailure(ErrorCode code, std::string recordNamePattern,
                                 std::optional<OperationKind> kind = std::nullopt);
    static FaultRule unavailableAsset(std::string recordNamePattern);
};

// What the rules decided for one operation.
struct FaultDecision {
    std::chrono::milliseconds delay{0};
    ErrorPtr error;
    std::vector<std::pair<std::string, ErrorCode>> itemErrorPatterns;  // glob, code
    std::vector<std::string> droppedAssetPatterns;

    std::optional<ErrorCode> itemErrorFor(const std::string& recordName) const;
    bool dropsAssetOf(const std::string& recordName) const;
};

struct OperationLogEntry {
    OperationKind kind;
    std::vector<std::string> recordNames;  // saved, fetched or deleted, in request order
    std::optional<std::vector<std::string>> desiredKeys;
    bool dependenciesFinished = true;  // every dependency had finished when it started
    std::size_t itemCount = 0;
    std::string zoneName;  // zone-wide operations
    ErrorPtr error;        // the operation's final error
};

class FaultInjector {
  public:
    void addRule(FaultRule rule) EXCLUDES(mutex_);
    void clearRules() EXCLUDES(mutex_);
    // Off: every operation fails with network unavailable (3).
    void setNetworkAvailable(bool available) EXCLUDES(mutex_);
    bool networkAvailable() const EXCLUDES(mutex_);
    // Counts matches and returns what applies to an operation of `kind` that
    // names `recordNames`.
    FaultDecision decide(OperationKind kind, const std::vector<std::string>& recordNames) EXCLUDES(mutex_);

  private:
    struct Armed {
        FaultRule rule;
        int matches = 0;
    };
    mutable Mutex mutex_;
    std::vector<Armed> rules_ GUARDED_BY(mutex_);
    bool network_ GUARDED_BY(mutex_) = true;
};

class OperationLog {
  public:
    void append(OperationLogEntry entry) EXCLUDES(mutex_);
    std::vector<OperationLogEntry> entries() const EXCLUDES(mutex_);
    std::vector<OperationLogEntry> entriesOfKind(OperationKind kind) const EXCLUDES(mutex_);
    void clear() EXCLUDES(mutex_);

  private:
    mutable Mutex mutex_;
    std::vector<OperationLogEntry> entries_ GUARDED_BY(mutex_);
};

}  // namespace plat::cloudkit
