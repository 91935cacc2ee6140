// The operations of the cloud database stand-in. Each is a project operation
// (plat::dispatch::Operation): add it to a Database, give it dependencies on
// any other operation, cancel it.
//
// Every operation calls its final completion block exactly once: on success,
// on failure, and when cancelled before or while it runs (code 20). Per-item
// blocks run before it, one after another, on the worker thread that runs the
// operation, never on the main thread. An operation's server work is one
// transaction, so its effects are visible to every process once its
// completion runs. A signed-out container fails every operation with code 9.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloudkit/Container.h"
#include "platform/cloudkit/Errors.h"
#include "platform/cloudkit/Faults.h"
#include "platform/cloudkit/Types.h"
#include "platform/dispatch/Operation.h"
#include "platform/foundation/Data.h"

namespace plat::cloudkit {

namespace detail {
struct ContainerState;
}  // namespace detail

using DesiredKeys = std::optional<std::vector<std::string>>;

class DatabaseOperation : public dispatch::Operation {
  public:
    void start() override;
    void main() override;
    bool isAsynchronous() const override { return true; }

  protected:
    struct Context {
        std::shared_ptr<detail::ContainerState> state;
        DatabaseScope scope;
        std::string account;
        FaultDecision faults;
        std::string assetCacheFolder;
    };
    virtual OperationKind kind() const = 0;
    // The record names fault rules match against, and that the log lists.
    virtual std::vector<std::string> recordNames() const { return {}; }
    // Does the work and calls the blocks, ending with the completion.
    virtual void execute(Context& context) = 0;
    // Calls the completion with `error` (and nothing else).
    virtual void fail(const ErrorPtr& error) = 0;
    // The account the operation acts for in scope; the user-record fetch
    // overrides it to use the private database whatever the scope.
    virtual DatabaseScope effectiveScope(DatabaseScope scope) const { return scope; }

    // For operations that run on a plain operation queue rather than a
    // database: the container they act for.
    void bindToContainer(const Container& container, DatabaseScope scope);

  private:
    friend class Database;
    void failOnce(const ErrorPtr& error);
    std::shared_ptr<detail::ContainerState> state_;
    DatabaseScope scope_ = DatabaseScope::Private;
    std::atomic<bool> completed_{false};
    std::atomic<bool> dependenciesFinished_{true};
};

class FetchRecordZonesOperation final : public DatabaseOperation {
  public:
    explicit FetchRecordZonesOperation(std::vector<RecordZoneID> zoneIDs) : zoneIDs_(std::move(zoneIDs)) {}
    // Every zone of the database; in the shared database, the zones of the
    // shares the account accepted (their IDs name the owners).
    static std::shared_ptr<FetchRecordZonesOperation> fetchAllRecordZonesOperation();
    // Zones found, and an error: code 2 with 26 or 28 for missing zones.
    std::function<void(std::map<RecordZoneID, RecordZone>, ErrorPtr)> fetchRecordZonesCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::FetchRecordZones; }
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    std::vector<RecordZoneID> zoneIDs_;
    bool all_ = false;
};

class ModifyRecordZonesOperation final : public DatabaseOperation {
  public:
    ModifyRecordZonesOperation(std::vector<RecordZone> toSave, std::vector<RecordZoneID> toDelete)
        : toSave_(std::move(toSave)), toDelete_(std::move(toDelete)) {}
    std::function<void(std::vector<RecordZone>, std::vector<RecordZoneID>, ErrorPtr)>
        modifyRecordZonesCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::ModifyRecordZones; }
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    std::vector<RecordZone> toSave_;
    std::vector<RecordZoneID> toDelete_;
};

class FetchRecordsOperation final : public DatabaseOperation {
  public:
    explicit FetchRecordsOperation(std::vector<RecordID> recordIDs) : recordIDs_(std::move(recordIDs)) {}
    // Fetches the signed-in user's record, from the private database whatever
    // database it is added to. Its per-record block runs exactly once, also
    // when the operation fails as a whole.
    static std::shared_ptr<FetchRecordsOperation> fetchCurrentUserRecordOperation();

    DesiredKeys desiredKeys;  // nullopt: every field; empty: none
    std::function<void(RecordPtr, RecordID, ErrorPtr)> perRecordCompletionBlock;
    // Records found by ID, and an error: code 2 with per-item errors (11 for
    // missing records) when some failed.
    std::function<void(std::map<RecordID, RecordPtr>, ErrorPtr)> fetchRecordsCompletionBlock;

  private:
    OperationKind kind() const override {
        return currentUser_ ? OperationKind::FetchCurrentUserRecord : OperationKind::FetchRecords;
    }
    std::vector<std::string> recordNames() const override;
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    DatabaseScope effectiveScope(DatabaseScope scope) const override {
        return currentUser_ ? DatabaseScope::Private : scope;
    }
    std::vector<RecordID> recordIDs_;
    bool currentUser_ = false;
};

enum class RecordSavePolicy { IfServerRecordUnchanged = 0, ChangedKeys = 1, AllKeys = 2 };

class ModifyRecordsOperation final : public DatabaseOperation {
  public:
    ModifyRecordsOperation(std::vector<Record> recordsToSave, std::vector<RecordID> recordIDsToDelete)
        : toSave_(std::move(recordsToSave)), toDelete_(std::move(recordIDsToDelete)) {}

    RecordSavePolicy savePolicy = RecordSavePolicy::IfServerRecordUnchanged;
    // In custom zones: one failing item fails the zone's other items (22).
    bool atomic = true;
    std::function<void(std::vector<RecordPtr>, std::vector<RecordID>, ErrorPtr)> modifyRecordsCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::ModifyRecords; }
    std::vector<std::string> recordNames() const override;
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    std::vector<Record> toSave_;
    std::vector<RecordID> toDelete_;
};

class QueryOperation final : public DatabaseOperation {
  public:
    static constexpr std::size_t MaximumResults = 0;  // the server's page size
    explicit QueryOperation(Query query) : query_(std::move(query)) {}
    // The next page; the zone comes from the cursor and desired keys are this
    // operation's own.
    explicit QueryOperation(std::shared_ptr<const QueryCursor> cursor) : cursor_(std::move(cursor)) {}

    std::optional<RecordZoneID> zoneID;  // none: the default zone
    DesiredKeys desiredKeys;
    std::size_t resultsLimit = MaximumResults;
    std::function<void(RecordPtr)> recordFetchedBlock;
    std::function<void(std::shared_ptr<const QueryCursor>, ErrorPtr)> queryCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::Query; }
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    Query query_;
    std::shared_ptr<const QueryCursor> cursor_;
};

class FetchRecordChangesOperation final : public DatabaseOperation {
  public:
    FetchRecordChangesOperation(RecordZoneID zoneID, std::shared_ptr<const ServerChangeToken> previousToken)
        : zoneID_(std::move(zoneID)), previousToken_(std::move(previousToken)) {}

    DesiredKeys desiredKeys;
    std::size_t resultsLimit = 0;  // 0: the server's page size
    std::function<void(RecordPtr)> recordChangedBlock;
    std::function<void(RecordID)> recordWithIDWasDeletedBlock;
    // The token after what was delivered, client data (none here), error.
    std::function<void(std::shared_ptr<const ServerChangeToken>, std::optional<Data>, ErrorPtr)>
        fetchRecordChangesCompletionBlock;
    // Whether the server stopped early; read it in the completion block.
    bool moreComing() const { return moreComing_.load(); }

  private:
    OperationKind kind() const override { return OperationKind::FetchRecordChanges; }
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    RecordZoneID zoneID_;
    std::shared_ptr<const ServerChangeToken> previousToken_;
    std::atomic<bool> moreComing_{false};
};

class ModifySubscriptionsOperation final : public DatabaseOperation {
  public:
    ModifySubscriptionsOperation(std::vector<Subscription> toSave, std::vector<std::string> idsToDelete)
        : toSave_(std::move(toSave)), toDelete_(std::move(idsToDelete)) {}
    std::function<void(std::vector<Subscription>, std::vector<std::string>, ErrorPtr)>
        modifySubscriptionsCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::ModifySubscriptions; }
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    std::vector<Subscription> toSave_;
    std::vector<std::string> toDelete_;
};

// Accepts invitations to shares. It runs on any operation queue (not a
// database) and acts for the container it was made with. Accepting adds the
// signed-in account to the share; its shared database then serves the
// share's zone. Per share: 11 when the share is gone, 26 when its zone is,
// 12 for the owner's own share or another container's invitation.
class AcceptSharesOperation final : public DatabaseOperation {
  public:
    AcceptSharesOperation(const Container& container, std::vector<ShareMetadata> metadatas);
    std::function<void(ShareMetadata, ErrorPtr)> perShareCompletionBlock;
    std::function<void(ErrorPtr)> acceptSharesCompletionBlock;

  private:
    OperationKind kind() const override { return OperationKind::AcceptShares; }
    std::vector<std::string> recordNames() const override;
    void execute(Context& context) override;
    void fail(const ErrorPtr& error) override;
    std::vector<ShareMetadata> metadatas_;
};

// The server's page size for change feeds and queries when an operation sets
// no limit.
inline constexpr std::size_t DefaultServerPageSize = 400;

}  // namespace plat::cloudkit
