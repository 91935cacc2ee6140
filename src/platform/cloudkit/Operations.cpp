#include "platform/cloudkit/Operations.h"

#include <thread>

#include "platform/cloudkit/detail/ContainerState.h"

namespace plat::cloudkit {

namespace {

ErrorPtr cancelledError() {
    return makeError(ErrorCode::OperationCancelled, "Operation was cancelled");
}

ErrorPtr partialOrNull(ItemErrors errors) {
    return errors.empty() ? nullptr : makePartialError(std::move(errors));
}

template <class F, class... Args>
void call(const F& block, Args&&... args) {
    if (block)
        block(std::forward<Args>(args)...);
}

}  // namespace

void DatabaseOperation::start() {
    if (isCancelled())
        failOnce(cancelledError());
    Operation::start();
    // Cancelled between the check above and the start: the base finished it
    // without running main(), and the completion is still owed.
    if (!completed_.load())
        failOnce(cancelledError());
}

void DatabaseOperation::bindToContainer(const Container& container, DatabaseScope scope) {
    state_ = container.state_;
    scope_ = scope;
}

void DatabaseOperation::failOnce(const ErrorPtr& error) {
    if (!completed_.exchange(true))
        fail(error);
}

void DatabaseOperation::main() {
    struct Finish {
        DatabaseOperation* op;
        ~Finish() { op->finish(); }
    } finishing{this};

    bool depsFinished = true;
    for (const auto& dep : dependencies())
        depsFinished = depsFinished && dep->isFinished();
    if (isCancelled()) {
        failOnce(cancelledError());
        return;
    }
    if (!state_) {
        failOnce(makeError(ErrorCode::InternalError, "The operation was not added to a database"));
        return;
    }
    if (completed_.exchange(true))
        return;

    const DatabaseScope scope = effectiveScope(scope_);
    OperationLogEntry entry;
    entry.kind = kind();
    entry.recordNames = recordNames();
    entry.dependenciesFinished = depsFinished;
    entry.itemCount = entry.recordNames.size();
    if (auto* fetch = dynamic_cast<const FetchRecordsOperation*>(this))
        entry.desiredKeys = fetch->desiredKeys;
    else if (auto* query = dynamic_cast<const QueryOperation*>(this))
        entry.desiredKeys = query->desiredKeys;
    else if (auto* changes = dynamic_cast<const FetchRecordChangesOperation*>(this))
        entry.desiredKeys = changes->desiredKeys;
    state_->log.append(entry);

    auto account = state_->currentAccount();
    if (!account) {
        fail(makeError(ErrorCode::NotAuthenticated, "No account is signed in"));
        return;
    }
    FaultDecision decision = state_->faults.decide(entry.kind, entry.recordNames);
    if (decision.delay.count() > 0)
        std::this_thread::sleep_for(decision.delay);
    if (decision.error) {
        fail(decision.error);
        return;
    }
    Context context{state_, scope, *account, std::move(decision), state_->configuration.assetCacheFolder};
    execute(context);
}

// Zones -------------------------------------------------------------------

std::shared_ptr<FetchRecordZonesOperation> FetchRecordZonesOperation::fetchAllRecordZonesOperation() {
    auto op = std::make_shared<FetchRecordZonesOperation>(std::vector<RecordZoneID>{});
    op->all_ = true;
    return op;
}

void FetchRecordZonesOperation::execute(Context& c) {
    std::map<RecordZoneID, RecordZone> found;
    ItemErrors errors;
    auto key = c.state->keyFor(c.scope, c.account);
    if (all_) {
        auto zones = c.state->server->allZones(key);
        if (!zones) {
            fail(zones.error());
            return;
        }
        for (auto& zone : *zones)
            found[zone] = RecordZone{zone};
        call(fetchRecordZonesCompletionBlock, std::move(found), ErrorPtr());
        return;
    }
    for (const auto& zone : zoneIDs_) {
        if (auto error = c.state->server->zoneError(key, zone))
            errors[zone] = error;
        else
            found[zone] = RecordZone{zone};
    }
    call(fetchRecordZonesCompletionBlock, std::move(found), partialOrNull(std::move(errors)));
}

void FetchRecordZonesOperation::fail(const ErrorPtr& error) {
    call(fetchRecordZonesCompletionBlock, std::map<RecordZoneID, RecordZone>{}, error);
}

void ModifyRecordZonesOperation::execute(Context& c) {
    std::vector<RecordZone> saved;
    std::vector<RecordZoneID> deleted;
    ItemErrors errors;
    auto key = c.state->keyFor(c.scope, c.account);
    for (const auto& zone : toSave_) {
        if (auto error = c.state->server->saveZone(key, zone.zoneID))
            errors[zone.zoneID] = error;
        else
            saved.push_back(zone);
    }
    for (const auto& zone : toDelete_) {
        if (auto error = c.state->server->deleteZone(key, zone, false))
            errors[zone] = error;
        else
            deleted.push_back(zone);
    }
    call(modifyRecordZonesCompletionBlock, std::move(saved), std::move(deleted),
         partialOrNull(std::move(errors)));
}

void ModifyRecordZonesOperation::fail(const ErrorPtr& error) {
    call(modifyRecordZonesCompletionBlock, std::vector<RecordZone>{}, std::vector<RecordZoneID>{}, error);
}

// Records -----------------------------------------------------------------

std::shared_ptr<FetchRecordsOperation> FetchRecordsOperation::fetchCurrentUserRecordOperation() {
    auto op = std::make_shared<FetchRecordsOperation>(std::vector<RecordID>{});
    op->currentUser_ = true;
    return op;
}

std::vector<std::string> FetchRecordsOperation::recordNames() const {
    std::vector<std::string> names;
    for (const auto& id : recordIDs_)
        names.push_back(id.recordName());
    return names;
}

void FetchRecordsOperation::execute(Context& c) {
    if (currentUser_) {
        auto name = c.state->server->userRecordName(c.account);
        if (!name) {
            fail(name.error());
            return;
        }
        RecordID id(*name);
        auto record = std::make_shared<Record>("Users", id);
        call(perRecordCompletionBlock, record, id, ErrorPtr());
        call(fetchRecordsCompletionBlock, std::map<RecordID, RecordPtr>{{id, record}}, ErrorPtr());
        return;
    }
    auto result = c.state->server->fetchRecords(c.state->keyFor(c.scope, c.account), recordIDs_, desiredKeys,
                                                c.assetCacheFolder, &c.faults);
    if (!result) {
        fail(result.error());
        return;
    }
    std::map<RecordID, RecordPtr> found;
    for (auto& [id, record] : result->records)
        found[id] = record;
    for (const auto& id : recordIDs_) {
        auto it = found.find(id);
        if (it != found.end())
            call(perRecordCompletionBlock, it->second, id, ErrorPtr());
        else
            call(perRecordCompletionBlock, RecordPtr(), id,
                 result->errors.count(id) ? result->errors.at(id) : nullptr);
    }
    call(fetchRecordsCompletionBlock, std::move(found), partialOrNull(std::move(result->errors)));
}

void FetchRecordsOperation::fail(const ErrorPtr& error) {
    // Callers of the user-record fetch listen only to the per-record block.
    if (currentUser_)
        call(perRecordCompletionBlock, RecordPtr(), RecordID(), error);
    call(fetchRecordsCompletionBlock, std::map<RecordID, RecordPtr>{}, error);
}

std::vector<std::string> ModifyRecordsOperation::recordNames() const {
    std::vector<std::string> names;
    for (const auto& r : toSave_)
        names.push_back(r.recordID().recordName());
    for (const auto& id : toDelete_)
        names.push_back(id.recordName());
    return names;
}

void ModifyRecordsOperation::execute(Context& c) {
    detail::ModifyRequest request;
    request.saves = toSave_;
    request.deletes = toDelete_;
    request.policy = static_cast<detail::SavePolicy>(savePolicy);
    request.atomic = atomic;
    request.device = c.state->configuration.device;
    request.pushToOriginator = c.state->pushToOriginator.load();
    request.deleteMissingAnswersUnknownItem = c.state->deleteMissingAnswersUnknownItem.load();
    request.faults = &c.faults;
    auto result = c.state->server->modifyRecords(c.state->keyFor(c.scope, c.account), request);
    if (!result) {
        fail(result.error());
        return;
    }
    call(modifyRecordsCompletionBlock, std::move(result->saved), std::move(result->deleted),
         partialOrNull(std::move(result->errors)));
}

void ModifyRecordsOperation::fail(const ErrorPtr& error) {
    call(modifyRecordsCompletionBlock, std::vector<RecordPtr>{}, std::vector<RecordID>{}, error);
}

// Queries and change feeds ------------------------------------------------

void QueryOperation::execute(Context& c) {
    const std::size_t limit = resultsLimit == MaximumResults ? DefaultServerPageSize : resultsLimit;
    auto page = c.state->server->query(c.state->keyFor(c.scope, c.account), query_, zoneID, cursor_, limit,
                                       desiredKeys, c.state->queryLag.load(), c.assetCacheFolder);
    if (!page) {
        fail(page.error());
        return;
    }
    for (auto& record : page->records)
        call(recordFetchedBlock, record);
    call(queryCompletionBlock, page->cursor, ErrorPtr());
}

void QueryOperation::fail(const ErrorPtr& error) {
    call(queryCompletionBlock, std::shared_ptr<const QueryCursor>(), error);
}

void FetchRecordChangesOperation::execute(Context& c) {
    const std::size_t limit = resultsLimit == 0 ? DefaultServerPageSize : resultsLimit;
    auto page =
        c.state->server->fetchChanges(c.state->keyFor(c.scope, c.account), zoneID_, previousToken_, limit,
                                      desiredKeys, c.state->mintTokenOnEveryFetch.load(), c.assetCacheFolder);
    if (!page) {
        fail(page.error());
        return;
    }
    moreComing_ = page->moreComing;
    for (auto& entry : page->entries) {
        if (entry.changed)
            call(recordChangedBlock, entry.changed);
        else
            call(recordWithIDWasDeletedBlock, entry.deletedID);
    }
    call(fetchRecordChangesCompletionBlock, page->token, std::optional<Data>(), ErrorPtr());
}

void FetchRecordChangesOperation::fail(const ErrorPtr& error) {
    call(fetchRecordChangesCompletionBlock, std::shared_ptr<const ServerChangeToken>(), std::optional<Data>(),
         error);
}

// Subscriptions -----------------------------------------------------------

void ModifySubscriptionsOperation::execute(Context& c) {
    auto key = c.state->keyFor(c.scope, c.account);
    std::vector<Subscription> saved;
    std::vector<std::string> deleted;
    ErrorPtr firstError;
    for (const auto& sub : toSave_) {
        if (auto error = c.state->server->saveSubscription(key, sub))
            firstError = firstError ? firstError : error;
        else
            saved.push_back(sub);
    }
    for (const auto& id : toDelete_) {
        if (auto error = c.state->server->deleteSubscription(key, id))
            firstError = firstError ? firstError : error;
        else
            deleted.push_back(id);
    }
    call(modifySubscriptionsCompletionBlock, std::move(saved), std::move(deleted), firstError);
}

void ModifySubscriptionsOperation::fail(const ErrorPtr& error) {
    call(modifySubscriptionsCompletionBlock, std::vector<Subscription>{}, std::vector<std::string>{}, error);
}

// Shares ------------------------------------------------------------------

AcceptSharesOperation::AcceptSharesOperation(const Container& container, std::vector<ShareMetadata> metadatas)
    : metadatas_(std::move(metadatas)) {
    bindToContainer(container, DatabaseScope::Shared);
}

std::vector<std::string> AcceptSharesOperation::recordNames() const {
    std::vector<std::string> names;
    for (const auto& m : metadatas_)
        names.push_back(m.shareRecordID.recordName());
    return names;
}

void AcceptSharesOperation::execute(Context& c) {
    ItemErrors errors;
    for (const auto& m : metadatas_) {
        ErrorPtr error;
        if (auto code = c.faults.itemErrorFor(m.shareRecordID.recordName()))
            error = makeError(*code);
        else if (m.containerIdentifier != c.state->configuration.containerIdentifier)
            error = makeError(ErrorCode::InvalidArguments, "The invitation is for another container");
        else
            error = c.state->server->acceptShare(c.account, m, c.state->configuration.device);
        if (error)
            errors[m.shareRecordID] = error;
        call(perShareCompletionBlock, m, error);
    }
    call(acceptSharesCompletionBlock, partialOrNull(std::move(errors)));
}

void AcceptSharesOperation::fail(const ErrorPtr& error) {
    call(acceptSharesCompletionBlock, error);
}

}  // namespace plat::cloudkit
