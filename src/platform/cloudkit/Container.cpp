#include "platform/cloudkit/Container.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/cloudkit/Operations.h"
#include "platform/cloudkit/detail/ContainerState.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"

namespace fs = std::filesystem;

namespace plat::cloudkit {

namespace {

std::optional<std::string> normalisedAccount(std::optional<std::string> account) {
    if (account && account->empty())
        return std::nullopt;
    return account;
}

std::string defaultDevice() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + "-" + std::to_string(getpid());
}

std::string environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

ContainerConfiguration ContainerConfiguration::fromEnvironment() {
    ContainerConfiguration c;
    c.cloudRoot = environment("KP_CLOUD_ROOT");
    std::string account = environment("KP_CLOUD_ACCOUNT");
    if (!account.empty())
        c.account = account;
    c.device = environment("KP_CLOUD_DEVICE");
    return c;
}

Result<std::shared_ptr<Container>> Container::open(ContainerConfiguration configuration) {
    if (configuration.cloudRoot.empty())
        return makeError(ErrorCode::InternalError, "No cloud root folder given");
    auto server = detail::Server::open(configuration.cloudRoot);
    if (!server)
        return server.error();
    registerArchivableClasses();
    if (configuration.device.empty())
        configuration.device = defaultDevice();
    if (configuration.assetCacheFolder.empty()) {
        auto& files = FileManager::defaultManager();
        auto caches = files.searchPathsForDirectory(SearchPathDirectory::CachesDirectory, UserDomainMask);
        configuration.assetCacheFolder = (caches.empty() ? files.temporaryDirectory() : caches.front()) +
                                         "/kestrel-cloud-assets/" + configuration.device;
    }
    if (configuration.maxConcurrentOperations < 1)
        configuration.maxConcurrentOperations = 1;
    auto state = std::make_shared<detail::ContainerState>();
    state->configuration = std::move(configuration);
    state->server = std::move(*server);
    std::shared_ptr<Container> container(new Container(state));
    if (auto error = container->setAccount(state->configuration.account))
        return error;
    return container;
}

Container::Container(std::shared_ptr<detail::ContainerState> state) : state_(std::move(state)) {
    for (auto scope : {DatabaseScope::Public, DatabaseScope::Private, DatabaseScope::Shared})
        databases_[int(scope) - 1] = std::make_shared<Database>(state_, scope);
}

Container::~Container() {
    stopListener();
}

const std::string& Container::containerIdentifier() const {
    return state_->configuration.containerIdentifier;
}

std::shared_ptr<Database> Container::database(DatabaseScope scope) const {
    int index = int(scope) - 1;
    if (index < 0 || index > 2)
        return nullptr;
    return databases_[index];
}

Result<ShareMetadata> Container::invitationToShare(const RecordID& shareRecordID) {
    auto account = state_->currentAccount();
    if (!account)
        return makeError(ErrorCode::NotAuthenticated, "No account is signed in");
    auto metadata = state_->server->shareInvitation(*account, shareRecordID);
    if (!metadata)
        return metadata.error();
    metadata->containerIdentifier = state_->configuration.containerIdentifier;
    return *metadata;
}

AccountStatus Container::accountStatus() const {
    return state_->currentAccount() ? AccountStatus::Available : AccountStatus::NoAccount;
}

std::optional<std::string> Container::account() const {
    return state_->currentAccount();
}

ErrorPtr Container::setAccount(std::optional<std::string> account) {
    account = normalisedAccount(std::move(account));
    if (account) {
        if (auto error = state_->server->registerDevice(*account, state_->configuration.device))
            return error;
    }
    MutexLock lock(state_->mutex);
    state_->account = std::move(account);
    return nullptr;
}

const std::string& Container::device() const {
    return state_->configuration.device;
}

FaultInjector& Container::faults() {
    return state_->faults;
}
OperationLog& Container::operationLog() {
    return state_->log;
}

void Container::setDeleteMissingAnswersUnknownItem(bool on) {
    state_->deleteMissingAnswersUnknownItem = on;
}
void Container::setPushToOriginator(bool on) {
    state_->pushToOriginator = on;
}
void Container::setMintTokenOnEveryFetch(bool on) {
    state_->mintTokenOnEveryFetch = on;
}
void Container::setQueryLag(bool on) {
    state_->queryLag = on;
}

Result<std::vector<Push>> Container::takePushes() {
    auto account = state_->currentAccount();
    if (!account)
        return makeError(ErrorCode::NotAuthenticated, "No account is signed in");
    return state_->server->takePushes(*account, state_->configuration.device);
}

void Container::stopListener() {
    std::thread old;
    {
        MutexLock lock(listenerMutex_);
        if (listenerStop_)
            listenerStop_->store(true);
        old = std::move(listener_);
        listenerStop_.reset();
    }
    if (old.joinable())
        old.join();
}

void Container::setPushHandler(std::function<void(const Push&)> handler, std::chrono::milliseconds interval) {
    stopListener();
    if (!handler)
        return;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto state = state_;
    std::thread thread([state, stop, handler = std::move(handler), interval] {
        const auto step = std::chrono::milliseconds(10);
        while (!stop->load()) {
            if (auto account = state->currentAccount()) {
                auto pushes = state->server->takePushes(*account, state->configuration.device);
                if (pushes)
                    for (const auto& push : *pushes)
                        dispatch::Queue::main().async([handler, push] { handler(push); });
            }
            for (auto waited = std::chrono::milliseconds(0); waited < interval && !stop->load();
                 waited += step)
                std::this_thread::sleep_for(step);
        }
    });
    MutexLock lock(listenerMutex_);
    listener_ = std::move(thread);
    listenerStop_ = std::move(stop);
}

void Container::cleanAssetCache() {
    std::error_code ec;
    fs::remove_all(state_->configuration.assetCacheFolder, ec);
}

Container::Admin Container::admin() {
    return Admin(state_);
}

// Database ------------------------------------------------------------------

Database::Database(std::shared_ptr<detail::ContainerState> state, DatabaseScope scope)
    : state_(std::move(state)), scope_(scope), queue_(std::make_shared<dispatch::OperationQueue>()) {
    queue_->setMaxConcurrentOperationCount(state_->configuration.maxConcurrentOperations);
}

Database::~Database() = default;

void Database::addOperation(std::shared_ptr<DatabaseOperation> operation) {
    if (!operation)
        throw std::invalid_argument("Database::addOperation: null operation");
    operation->state_ = state_;
    operation->scope_ = scope_;
    queue_->addOperation(std::move(operation));
}

void Database::saveSubscription(Subscription subscription,
                                std::function<void(std::optional<Subscription>, ErrorPtr)> completion) {
    auto op = std::make_shared<ModifySubscriptionsOperation>(
        std::vector<Subscription>{std::move(subscription)}, std::vector<std::string>{});
    op->modifySubscriptionsCompletionBlock = [completion = std::move(completion)](
                                                 std::vector<Subscription> saved, std::vector<std::string>,
                                                 ErrorPtr error) {
        if (completion)
            completion(saved.empty() ? std::nullopt : std::optional<Subscription>(saved.front()), error);
    };
    addOperation(op);
}

void Database::waitUntilAllOperationsAreFinished() {
    queue_->waitUntilAllOperationsAreFinished();
}

// Administration ------------------------------------------------------------

namespace {

Result<detail::DatabaseKey> adminKey(const detail::ContainerState& state, DatabaseScope scope) {
    auto account = state.currentAccount();
    if (!account && scope != DatabaseScope::Public)
        return makeError(ErrorCode::NotAuthenticated, "No account is signed in");
    return state.keyFor(scope, account.value_or(""));
}

}  // namespace

ErrorPtr Container::Admin::seed(DatabaseScope scope, const std::vector<Record>& records) {
    auto key = adminKey(*state_, scope);
    if (!key)
        return key.error();
    detail::ModifyRequest request;
    request.saves = records;
    request.policy = detail::SavePolicy::AllKeys;
    request.atomic = false;
    auto result = state_->server->modifyRecords(*key, request);
    if (!result)
        return result.error();
    return result->errors.empty() ? nullptr : makePartialError(std::move(result->errors));
}

ErrorPtr Container::Admin::remove(DatabaseScope scope, const std::vector<RecordID>& ids) {
    auto key = adminKey(*state_, scope);
    if (!key)
        return key.error();
    detail::ModifyRequest request;
    request.deletes = ids;
    request.atomic = false;
    auto result = state_->server->modifyRecords(*key, request);
    if (!result)
        return result.error();
    return result->errors.empty() ? nullptr : makePartialError(std::move(result->errors));
}

Result<std::vector<Container::Admin::StoredRecord>> Container::Admin::records(DatabaseScope scope,
                                                                              const RecordZoneID& zone) {
    auto key = adminKey(*state_, scope);
    if (!key)
        return key.error();
    auto rows = state_->server->storedRecords(*key, zone);
    if (!rows)
        return rows.error();
    std::vector<StoredRecord> out;
    for (auto& row : *rows)
        out.push_back({std::move(row.record), row.deleted, row.createdSequence, row.lastSequence});
    return out;
}

Result<std::vector<Subscription>> Container::Admin::subscriptions(DatabaseScope scope) {
    auto key = adminKey(*state_, scope);
    if (!key)
        return key.error();
    return state_->server->subscriptions(*key);
}

Result<std::vector<Container::Admin::InboxEntry>> Container::Admin::pushes() {
    auto account = state_->currentAccount();
    if (!account)
        return makeError(ErrorCode::NotAuthenticated, "No account is signed in");
    auto rows = state_->server->allPushes(*account);
    if (!rows)
        return rows.error();
    std::vector<InboxEntry> out;
    for (auto& row : *rows)
        out.push_back({std::move(row.push), std::move(row.device), row.delivered});
    return out;
}

ErrorPtr Container::Admin::createZone(DatabaseScope scope, const RecordZoneID& zone) {
    auto key = adminKey(*state_, scope);
    return key ? state_->server->saveZone(*key, zone) : key.error();
}

ErrorPtr Container::Admin::deleteZoneAsUser(DatabaseScope scope, const RecordZoneID& zone) {
    auto key = adminKey(*state_, scope);
    return key ? state_->server->deleteZone(*key, zone, true) : key.error();
}

ErrorPtr Container::Admin::expireTokensBefore(DatabaseScope scope, const RecordZoneID& zone,
                                              int64_t sequence) {
    auto key = adminKey(*state_, scope);
    return key ? state_->server->expireTokensBefore(*key, zone, sequence) : key.error();
}

ErrorPtr Container::Admin::advanceQueryIndex(DatabaseScope scope, const RecordZoneID& zone) {
    auto key = adminKey(*state_, scope);
    return key ? state_->server->advanceQueryIndex(*key, zone) : key.error();
}

Result<int64_t> Container::Admin::zoneSequence(DatabaseScope scope, const RecordZoneID& zone) {
    auto key = adminKey(*state_, scope);
    if (!key)
        return key.error();
    return state_->server->zoneSequence(*key, zone);
}

Result<std::vector<std::string>> Container::Admin::assetContents() {
    return state_->server->assetHashes();
}

}  // namespace plat::cloudkit
