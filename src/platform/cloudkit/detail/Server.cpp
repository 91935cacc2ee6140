#include "platform/cloudkit/detail/Server.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/cloudkit/detail/FieldCodec.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/UUID.h"
#include "platform/security/Digest.h"

namespace fs = std::filesystem;

namespace plat::cloudkit::detail {

namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr std::size_t kMaxItemsPerRequest = 400;
constexpr int kMaxCascadeDepth = 256;

// Record-name rules of the service: ASCII, 1 to 255 characters, no leading "_".
bool validRecordName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name[0] == '_')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7f;
    });
}

std::string changeTag(int64_t incarnation, int64_t seq) {
    std::ostringstream out;
    out << std::hex << incarnation << "-" << seq;
    return out.str();
}

std::string accountKey(const DatabaseKey& db) {
    return db.account + ":" + std::to_string(int(db.scope));
}

bool isStoredAssetName(const std::string& s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::optional<std::string> firstDeleteSelfTarget(const Dictionary& fields, const RecordZoneID& zone) {
    for (const auto& [key, value] : fields)
        if (auto ref = value.asObjectOf<Reference>())
            if (ref->action() == ReferenceAction::DeleteSelf && ref->recordID().zoneID() == zone)
                return ref->recordID().recordName();
    return std::nullopt;
}

Dictionary filterKeys(const Dictionary& fields, const DesiredKeys& keys) {
    if (!keys)
        return fields;
    Dictionary out;
    for (const auto& key : *keys)
        if (const Value* v = fields.find(key))
            out.set(key, *v);
    return out;
}

std::atomic<int64_t> tokenMints{0};

// Shared-database zone IDs name the owner's user record; the owner's private
// database names the same zone with the default owner. Stored references use
// the owner's form, so both sides find them (queries by reference, delete-self
// cascades); each side reads them in its own form.
Value rezoneValue(const Value& value, const RecordZoneID& from, const RecordZoneID& to) {
    if (auto ref = value.asObjectOf<Reference>()) {
        if (ref->recordID().zoneID() != from)
            return value;
        return Value(Reference::make(RecordID(ref->recordID().recordName(), to), ref->action()));
    }
    if (const Array* array = value.asArray()) {
        Array out;
        out.reserve(array->size());
        for (const auto& element : *array)
            out.push_back(rezoneValue(element, from, to));
        return Value(std::move(out));
    }
    return value;
}

Dictionary rezoneFields(const Dictionary& fields, const RecordZoneID& from, const RecordZoneID& to) {
    Dictionary out;
    for (const auto& [key, value] : fields)
        out.set(key, rezoneValue(value, from, to));
    return out;
}

std::shared_ptr<const Reference> rezoneReference(const std::shared_ptr<const Reference>& ref,
                                                 const RecordZoneID& from, const RecordZoneID& to) {
    if (!ref || ref->recordID().zoneID() != from)
        return ref;
    return Reference::make(RecordID(ref->recordID().recordName(), to), ref->action());
}

}  // namespace

// A prepared statement that finalises itself. A statement that cannot be
// prepared, or a value it cannot take (one over SQLite's length limit, say),
// fails its steps instead of running with a parameter left NULL, and is
// noted in `failure` so that the transaction it belongs to fails with it.
struct Server::Statement {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    int rc = SQLITE_OK;
    ErrorPtr* failure = nullptr;
    int setupRc = SQLITE_OK;  // the first prepare or bind failure
    Statement(sqlite3* database, ErrorPtr* failureSink, const char* sql)
        : db(database), failure(failureSink) {
        rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        if (rc != SQLITE_OK || !stmt)
            fail(rc == SQLITE_OK ? SQLITE_MISUSE : rc, std::string("cannot prepare: ") + sqlite3_errmsg(db));
    }
    ~Statement() { (void)sqlite3_finalize(stmt); }  // the last step's result, already seen by step()
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, int64_t v) {
        return checked(i, stmt ? sqlite3_bind_int64(stmt, i, v) : SQLITE_OK);
    }
    Statement& bind(int i, const std::string& v) {
        return checked(i,
                       stmt ? sqlite3_bind_text64(stmt, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8)
                            : SQLITE_OK);
    }
    Statement& bindBlob(int i, const std::string& v) {
        return checked(i,
                       stmt ? sqlite3_bind_blob64(stmt, i, v.data(), v.size(), SQLITE_TRANSIENT) : SQLITE_OK);
    }
    Statement& bindNull(int i) { return checked(i, stmt ? sqlite3_bind_null(stmt, i) : SQLITE_OK); }
    bool ok() const { return setupRc == SQLITE_OK; }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() {
        if (setupRc != SQLITE_OK)
            return rc = setupRc;
        return rc = sqlite3_step(stmt);
    }
    int64_t integer(int c) const { return sqlite3_column_int64(stmt, c); }
    std::string text(int c) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        return p ? std::string(p, sqlite3_column_bytes(stmt, c)) : std::string();
    }
    std::string_view blob(int c) const {
        auto p = static_cast<const char*>(sqlite3_column_blob(stmt, c));
        return p ? std::string_view(p, sqlite3_column_bytes(stmt, c)) : std::string_view();
    }
    bool isNull(int c) const { return sqlite3_column_type(stmt, c) == SQLITE_NULL; }

  private:
    Statement& checked(int index, int bindRc) {
        if (bindRc != SQLITE_OK)
            fail(bindRc, "cannot take value " + std::to_string(index));
        return *this;
    }
    void fail(int code, const std::string& what) {
        if (setupRc != SQLITE_OK)
            return;
        setupRc = code;
        if (!failure || *failure)
            return;
        const std::string reason = std::string(sqlite3_errstr(code)) + " (" + what + " of \"" +
                                   (stmt ? sqlite3_sql(stmt) : "?") + "\")";
        *failure = code == SQLITE_TOOBIG
                       ? makeError(ErrorCode::LimitExceeded,
                                   "A value is too large for the server database: " + reason)
                       : makeError(ErrorCode::InternalError, "server database: " + reason);
    }
};

Result<std::shared_ptr<Server>> Server::open(const std::string& cloudRoot) {
    std::error_code ec;
    fs::create_directories(fs::path(cloudRoot) / "assets", ec);
    if (ec)
        return Error::withDescription(POSIXErrorDomain, ec.value(),
                                      "Cannot create the cloud root: " + ec.message());
    sqlite3* db = nullptr;
    std::string path = cloudRoot + "/server.sqlite";
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        (void)sqlite3_close(db);  // a failed open: nothing to lose
        return makeError(ErrorCode::InternalError, "Cannot open the server database: " + message);
    }
    (void)sqlite3_busy_timeout(db, kBusyTimeoutMs);  // cannot fail on an open connection
    std::shared_ptr<Server> server(new Server(cloudRoot, db));
    {
        MutexLock lock(server->mutex_);
        if (auto error = server->createSchema())
            return error;
    }
    {
        MutexLock lock(server->mutex_);
        server->sweepAbandonedFiles();
    }
    return server;
}

// Files of writers that died: temporary files, and content whose transaction
// never committed. Only files older than an hour are considered, so that a
// live writer's files are never touched; content is checked under the write
// lock like every other removal.
void Server::sweepAbandonedFiles() {
    if (begin(true))
        return;
    const auto now = fs::file_time_type::clock::now();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(assetFolder(), ec)) {
        const std::string name = entry.path().filename().string();
        std::error_code timeError;
        auto written = fs::last_write_time(entry.path(), timeError);
        if (timeError || now - written < std::chrono::hours(1))
            continue;
        if (name.rfind("tmp-", 0) == 0) {
            fs::remove(entry.path(), timeError);
        } else if (isStoredAssetName(name)) {
            Statement s(db_, &statementFailure_, "SELECT refs FROM assets WHERE hash=?");
            s.bind(1, name);
            const int rc = s.step();
            if (rc == SQLITE_DONE || (rc == SQLITE_ROW && s.integer(0) <= 0))
                fs::remove(entry.path(), timeError);
        }
    }
    rollback();
}

Server::Server(std::string root, sqlite3* db) : root_(std::move(root)), db_(db) {}

Server::~Server() {
    MutexLock lock(mutex_);
    (void)sqlite3_close(db_);  // every statement is scoped, so none is left to keep it open
}

ErrorPtr Server::sqliteError(const char* what) const {
    if (statementFailure_)
        return statementFailure_;
    return makeError(ErrorCode::InternalError, std::string(what) + ": " + sqlite3_errmsg(db_));
}

ErrorPtr Server::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown";
        sqlite3_free(message);
        return makeError(ErrorCode::InternalError, std::string("server database: ") + text);
    }
    return nullptr;
}

ErrorPtr Server::createSchema() {
    // Switching to write-ahead logging needs the database alone for a moment:
    // while another process opens it or recovers its log after a crash, the
    // switch answers busy at once, without the busy handler. Retried briefly,
    // as a transaction's begin is.
    for (int attempt = 0;; ++attempt) {
        const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            break;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt >= 500)
            return makeError(ErrorCode::InternalError,
                             std::string("server database: ") + sqlite3_errmsg(db_));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (auto e = exec("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;"))
        return e;
    if (auto e = begin(true))
        return e;
    auto e = exec(R"(
        CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, user_record_name TEXT NOT NULL);
        CREATE TABLE IF NOT EXISTS devices(account TEXT NOT NULL, device TEXT NOT NULL,
            PRIMARY KEY(account, device));
        CREATE TABLE IF NOT EXISTS zones(id INTEGER PRIMARY KEY, account TEXT NOT NULL, scope INTEGER NOT NULL,
            name TEXT NOT NULL, owner TEXT NOT NULL, live INTEGER NOT NULL, deleted_by_user INTEGER NOT NULL,
            incarnation INTEGER NOT NULL, seq INTEGER NOT NULL, min_token_seq INTEGER NOT NULL,
            query_index_seq INTEGER NOT NULL, UNIQUE(account, scope, name, owner));
        CREATE TABLE IF NOT EXISTS records(zone_id INTEGER NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
            change_tag TEXT NOT NULL, fields BLOB NOT NULL, parent BLOB, cascade_parent TEXT,
            created_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL, deleted INTEGER NOT NULL,
            PRIMARY KEY(zone_id, name));
        CREATE INDEX IF NOT EXISTS records_feed ON records(zone_id, last_seq);
        CREATE INDEX IF NOT EXISTS records_cascade ON records(zone_id, cascade_parent);
        CREATE TABLE IF NOT EXISTS assets(hash TEXT PRIMARY KEY, refs INTEGER NOT NULL);
        CREATE TABLE IF NOT EXISTS subscriptions(account TEXT NOT NULL, scope INTEGER NOT NULL, id TEXT NOT NULL,
            body BLOB NOT NULL, PRIMARY KEY(account, scope, id));
        CREATE TABLE IF NOT EXISTS pushes(id INTEGER PRIMARY KEY AUTOINCREMENT, account TEXT NOT NULL,
            device TEXT NOT NULL, scope INTEGER NOT NULL, subscription_id TEXT NOT NULL, zone TEXT NOT NULL,
            owner TEXT NOT NULL, record_name TEXT NOT NULL, content_available INTEGER NOT NULL,
            alert TEXT NOT NULL, delivered INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX IF NOT EXISTS pushes_inbox ON pushes(account, device, delivered);
        CREATE TABLE IF NOT EXISTS share_participants(zone_id INTEGER NOT NULL, share_name TEXT NOT NULL,
            account TEXT NOT NULL, PRIMARY KEY(zone_id, share_name, account));
    )");
    if (e) {
        rollback();
        return e;
    }
    return commit();
}

ErrorPtr Server::begin(bool write) {
    touchedAssets_.clear();
    createdAssets_.clear();
    releasedAssets_.clear();
    statementFailure_ = nullptr;
    // The busy handler waits for another process's writer; a busy answer that
    // still comes back (a deadlock SQLite detects at once) is retried here.
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return nullptr;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt > 100)
            return makeError(ErrorCode::ZoneBusy,
                             std::string("server database busy: ") + sqlite3_errmsg(db_));
    }
}

ErrorPtr Server::commit() {
    if (statementFailure_)
        return abandon(statementFailure_);
    // Content files stay until the transaction that drops their last
    // reference is final: a commit that fails (or a writer killed before it)
    // leaves the old records naming them.
    std::set<std::string> released = std::move(releasedAssets_);
    std::set<std::string> created = std::move(createdAssets_);
    releasedAssets_.clear();
    createdAssets_.clear();
    int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        auto error = sqliteError("commit");
        // Should this fail too, the next BEGIN fails and reports it.
        (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // What this transaction added is referenced by nothing now.
        removeUnreferencedFiles(created);
        return error;
    }
    removeUnreferencedFiles(released);
    return nullptr;
}

// Removes the content files of `hashes` that no record references, under a
// write transaction of its own, so that no writer can be taking up the same
// content meanwhile. When the lock cannot be had, the files stay for the
// sweep at the next opening.
void Server::removeUnreferencedFiles(const std::set<std::string>& hashes) {
    if (hashes.empty())
        return;
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    for (const auto& hash : hashes) {
        Statement s(db_, &statementFailure_, "SELECT refs FROM assets WHERE hash=?");
        s.bind(1, hash);
        const int rc = s.step();
        if (rc == SQLITE_DONE || (rc == SQLITE_ROW && s.integer(0) <= 0)) {
            std::error_code ec;
            fs::remove(fs::path(assetFolder()) / hash, ec);
        }
    }
    rollback();  // nothing was written
}

// Ends a transaction without keeping anything. Should the rollback fail, the
// next BEGIN fails and reports it, so no later write joins this transaction.
void Server::rollback() {
    (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // a failure shows at the next BEGIN
}

ErrorPtr Server::endRead() {
    rollback();
    return statementFailure_;
}

ErrorPtr Server::abandon(ErrorPtr error) {
    // Content files this transaction added are referenced by nothing once it
    // rolls back; the write lock is still held here.
    for (const auto& hash : createdAssets_) {
        std::error_code ec;
        fs::remove(fs::path(assetFolder()) / hash, ec);
    }
    createdAssets_.clear();
    releasedAssets_.clear();
    rollback();
    return statementFailure_ ? statementFailure_ : error;
}

std::optional<Server::ZoneRow> Server::readZoneRow(const DatabaseKey& db, const RecordZoneID& zone) {
    Statement s(
        db_, &statementFailure_,
        "SELECT id, live, deleted_by_user, incarnation, seq, min_token_seq, query_index_seq FROM zones "
        "WHERE account=? AND scope=? AND name=? AND owner=?");
    s.bind(1, db.account).bind(2, int64_t(db.scope)).bind(3, zone.zoneName()).bind(4, zone.ownerName());
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return ZoneRow{s.integer(0), s.integer(1) != 0, s.integer(2) != 0, s.integer(3), s.integer(4),
                   s.integer(5), s.integer(6),      db.account,        db.scope,     zone};
}

std::optional<Server::ZoneRow> Server::sharedZoneRow(const std::string& account, const RecordZoneID& zone) {
    // A participant's own name never owns a zone of its shared database.
    if (zone.ownerName() == OwnerDefaultName)
        return std::nullopt;
    Statement s(
        db_, &statementFailure_,
        "SELECT z.id, z.incarnation, z.seq, z.min_token_seq, z.query_index_seq, z.account FROM zones z "
        "JOIN accounts a ON a.name=z.account "
        "WHERE a.user_record_name=? AND z.scope=? AND z.name=? AND z.owner=? AND z.live=1 AND EXISTS("
        "SELECT 1 FROM share_participants p JOIN records r ON r.zone_id=p.zone_id AND r.name=p.share_name "
        "WHERE p.zone_id=z.id AND p.account=? AND r.deleted=0 AND r.type=?)");
    s.bind(1, zone.ownerName())
        .bind(2, int64_t(DatabaseScope::Private))
        .bind(3, zone.zoneName())
        .bind(4, std::string(OwnerDefaultName))
        .bind(5, account)
        .bind(6, std::string(ShareRecordType));
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    ZoneRow row{s.integer(0), true,         false,     s.integer(1),           s.integer(2),
                s.integer(3), s.integer(4), s.text(5), DatabaseScope::Private, RecordZoneID(zone.zoneName())};
    row.viaShare = true;
    return row;
}

std::optional<Server::ZoneRow> Server::zoneRow(const DatabaseKey& db, const RecordZoneID& zone,
                                               bool createDefault) {
    if (db.scope == DatabaseScope::Shared)
        return sharedZoneRow(db.account, zone);
    auto row = readZoneRow(db, zone);
    if (!row && zone.isDefaultZone()) {
        if (!createDefault)
            return ZoneRow{0, true, false,      1,        0,
                           0, 0,    db.account, db.scope, zone};  // exists, holds nothing yet
        Statement s(db_, &statementFailure_,
                    "INSERT INTO zones(account, scope, name, owner, live, deleted_by_user, incarnation, seq, "
                    "min_token_seq, query_index_seq) VALUES(?, ?, ?, ?, 1, 0, 1, 0, 0, 0)");
        s.bind(1, db.account).bind(2, int64_t(db.scope)).bind(3, zone.zoneName()).bind(4, zone.ownerName());
        if (s.step() != SQLITE_DONE)
            return std::nullopt;
        row = readZoneRow(db, zone);
    }
    return row;
}

ErrorPtr Server::zoneMissingError(const std::optional<ZoneRow>& row) const {
    if (row && row->deletedByUser)
        return makeError(ErrorCode::UserDeletedZone, "Zone was purged by user");
    return makeError(ErrorCode::ZoneNotFound, "Zone does not exist");
}

ErrorPtr Server::zoneError(const DatabaseKey& db, const RecordZoneID& zone) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    auto row = zoneRow(db, zone, false);
    if (auto failure = endRead())
        return failure;
    return row && row->live ? nullptr : zoneMissingError(row);
}

ErrorPtr Server::saveZone(const DatabaseKey& db, const RecordZoneID& zone) {
    if (db.scope == DatabaseScope::Shared)
        return makeError(ErrorCode::InvalidArguments, "Zones cannot be created in the shared database");
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    auto row = zoneRow(db, zone, true);
    ErrorPtr error;
    if (!row) {
        Statement s(db_, &statementFailure_,
                    "INSERT INTO zones(account, scope, name, owner, live, deleted_by_user, incarnation, seq, "
                    "min_token_seq, query_index_seq) VALUES(?, ?, ?, ?, 1, 0, 1, 0, 0, 0)");
        s.bind(1, db.account).bind(2, int64_t(db.scope)).bind(3, zone.zoneName()).bind(4, zone.ownerName());
        if (s.step() != SQLITE_DONE)
            error = sqliteError("create zone");
    } else if (!row->live) {
        // A recreated zone starts a new incarnation: tokens of the old one are refused.
        Statement s(db_, &statementFailure_,
                    "UPDATE zones SET live=1, deleted_by_user=0, incarnation=incarnation+1, seq=0, "
                    "min_token_seq=0, query_index_seq=0 WHERE id=?");
        s.bind(1, row->id);
        if (s.step() != SQLITE_DONE)
            error = sqliteError("recreate zone");
    }
    if (error) {
        rollback();
        return error;
    }
    return commit();
}

ErrorPtr Server::dropZoneRecords(int64_t zoneId) {
    Statement s(db_, &statementFailure_, "SELECT fields FROM records WHERE zone_id=? AND deleted=0");
    s.bind(1, zoneId);
    while (s.step() == SQLITE_ROW)
        if (auto fields = decodeFields(s.blob(0)))
            if (auto e = adjustAssetRefs(*fields, -1))
                return e;
    Statement d(db_, &statementFailure_, "DELETE FROM records WHERE zone_id=?");
    d.bind(1, zoneId);
    if (d.step() != SQLITE_DONE)
        return sqliteError("drop zone records");
    // Participants of the zone's shares lose it with the zone.
    Statement p(db_, &statementFailure_, "DELETE FROM share_participants WHERE zone_id=?");
    p.bind(1, zoneId);
    return p.step() == SQLITE_DONE ? nullptr : sqliteError("drop zone participants");
}

ErrorPtr Server::deleteZone(const DatabaseKey& db, const RecordZoneID& zone, bool byUser) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    auto row = zoneRow(db, zone, true);
    ErrorPtr error;
    if (row && row->viaShare) {
        // A participant deleting a shared zone leaves its shares; the owner's
        // zone stays.
        Statement s(db_, &statementFailure_, "DELETE FROM share_participants WHERE zone_id=? AND account=?");
        s.bind(1, row->id).bind(2, db.account);
        if (s.step() != SQLITE_DONE)
            error = sqliteError("leave share");
    } else if (row && (row->live || byUser)) {
        error = dropZoneRecords(row->id);
        if (!error) {
            Statement s(db_, &statementFailure_, "UPDATE zones SET live=0, deleted_by_user=? WHERE id=?");
            s.bind(1, int64_t(byUser ? 1 : 0)).bind(2, row->id);
            if (s.step() != SQLITE_DONE)
                error = sqliteError("delete zone");
        }
    }
    if (!error)
        error = sweepAssets();
    if (error) {
        rollback();
        return error;
    }
    return commit();
}

ErrorPtr Server::adjustAssetRefs(const Dictionary& fields, int delta) {
    for (const auto& entry : fields) {
        auto asset = entry.second.asObjectOf<Asset>();
        if (!asset || !isStoredAssetName(asset->fileURL()))
            continue;
        Statement s(db_, &statementFailure_,
                    "INSERT INTO assets(hash, refs) VALUES(?, ?) ON CONFLICT(hash) DO UPDATE SET "
                    "refs=refs+excluded.refs");
        s.bind(1, asset->fileURL()).bind(2, int64_t(delta));
        if (s.step() != SQLITE_DONE)
            return sqliteError("asset references");
        touchedAssets_.insert(asset->fileURL());
    }
    return nullptr;
}

// Drops the reference counts of content that no live record references any
// more. Their files go once the transaction has committed (see commit()).
ErrorPtr Server::sweepAssets() {
    for (const auto& hash : touchedAssets_) {
        Statement s(db_, &statementFailure_, "SELECT refs FROM assets WHERE hash=?");
        s.bind(1, hash);
        const int rc = s.step();
        if (rc == SQLITE_ROW && s.integer(0) > 0)
            continue;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return sqliteError("asset sweep");
        Statement d(db_, &statementFailure_, "DELETE FROM assets WHERE hash=?");
        d.bind(1, hash);
        if (d.step() != SQLITE_DONE)
            return sqliteError("asset sweep");
        releasedAssets_.insert(hash);
    }
    touchedAssets_.clear();
    return nullptr;
}

// Copies the content of every asset field into the asset folder (named by its
// SHA-256) and returns the fields with each asset naming its content hash.
Result<Dictionary> Server::storeAssets(const Dictionary& fields) {
    Dictionary out = fields;
    for (const auto& entry : fields) {
        auto asset = entry.second.asObjectOf<Asset>();
        if (!asset)
            continue;
        auto hash = storeAssetContent(asset->fileURL());
        if (!hash)
            return hash.error();
        out.set(entry.first, Value(Asset::make(*hash)));
    }
    return out;
}

Result<std::string> Server::storeAssetContent(const std::string& localPath) {
    std::ifstream in(localPath, std::ios::binary);
    if (!in)
        return makeError(ErrorCode::AssetFileNotFound, "Asset file not found: " + localPath);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return makeError(ErrorCode::AssetFileNotFound, "Asset file unreadable: " + localPath);
    std::string hash = security::sha256(std::string_view(content)).hexString();
    fs::path final = fs::path(assetFolder()) / hash;
    std::error_code ec;
    if (!fs::exists(final, ec)) {
        fs::path tmp = fs::path(assetFolder()) / ("tmp-" + UUID().UUIDString());
        {
            std::ofstream outFile(tmp, std::ios::binary | std::ios::trunc);
            outFile.write(content.data(), static_cast<std::streamsize>(content.size()));
            outFile.flush();
            if (!outFile) {
                fs::remove(tmp, ec);
                return makeError(ErrorCode::QuotaExceeded, "Cannot store asset content");
            }
        }
        fs::rename(tmp, final, ec);
        if (ec) {
            std::error_code ignored;
            fs::remove(tmp, ignored);
            return makeError(ErrorCode::InternalError, "Cannot store asset content: " + ec.message());
        }
        createdAssets_.insert(hash);
    }
    touchedAssets_.insert(hash);
    return hash;
}

RecordPtr Server::materialise(const RecordID& id, const std::string& type, const std::string& tag,
                              std::string_view blob, std::string_view parentBlob, const DesiredKeys& keys,
                              const std::string& assetCacheFolder, bool* assetMissing,
                              const RecordZoneID* storedZone) {
    auto fields = decodeFields(blob);
    if (!fields)
        return nullptr;
    if (storedZone)
        fields = rezoneFields(*fields, *storedZone, id.zoneID());
    auto record = std::make_shared<Record>(type, id);
    record->setRecordChangeTag(tag);
    for (const auto& [key, value] : filterKeys(*fields, keys)) {
        auto asset = value.asObjectOf<Asset>();
        if (!asset) {
            record->setObject(key, value);
            continue;
        }
        fs::path source = fs::path(assetFolder()) / asset->fileURL();
        std::error_code ec;
        fs::create_directories(assetCacheFolder, ec);
        fs::path copy = fs::path(assetCacheFolder) / (UUID().UUIDString() + "-" + asset->fileURL());
        if (!isStoredAssetName(asset->fileURL()) || !fs::copy_file(source, copy, ec) || ec) {
            if (assetMissing)
                *assetMissing = true;
            continue;
        }
        record->setObject(key, Value(Asset::make(copy.string())));
    }
    if (!parentBlob.empty())
        if (auto parent = decodeValue(parentBlob)) {
            auto ref = parent->asObjectOf<Reference>();
            record->setParent(storedZone ? rezoneReference(ref, *storedZone, id.zoneID()) : ref);
        }
    return record;
}

ErrorPtr Server::deleteRecordRow(int64_t zoneId, ZoneRow& zone, const std::string& name, int depth) {
    if (depth > kMaxCascadeDepth)
        return makeError(ErrorCode::LimitExceeded, "Reference chain too deep");
    {
        Statement s(db_, &statementFailure_,
                    "SELECT fields FROM records WHERE zone_id=? AND name=? AND deleted=0");
        s.bind(1, zoneId).bind(2, name);
        if (s.step() != SQLITE_ROW)
            return nullptr;
        if (auto fields = decodeFields(s.blob(0)))
            if (auto e = adjustAssetRefs(*fields, -1))
                return e;
    }
    ++zone.seq;
    Statement u(db_, &statementFailure_,
                "UPDATE records SET deleted=1, last_seq=? WHERE zone_id=? AND name=?");
    u.bind(1, zone.seq).bind(2, zoneId).bind(3, name);
    if (u.step() != SQLITE_DONE)
        return sqliteError("delete record");
    // A deleted share takes its participants with it: a share saved later
    // under the same name needs new invitations.
    Statement p(db_, &statementFailure_, "DELETE FROM share_participants WHERE zone_id=? AND share_name=?");
    p.bind(1, zoneId).bind(2, name);
    if (p.step() != SQLITE_DONE)
        return sqliteError("delete share participants");
    // Records holding a delete-self reference to this one go with it.
    std::vector<std::string> children;
    {
        Statement c(db_, &statementFailure_,
                    "SELECT name FROM records WHERE zone_id=? AND cascade_parent=? AND deleted=0");
        c.bind(1, zoneId).bind(2, name);
        while (c.step() == SQLITE_ROW)
            children.push_back(c.text(0));
    }
    for (const auto& child : children)
        if (auto e = deleteRecordRow(zoneId, zone, child, depth + 1))
            return e;
    return nullptr;
}

ErrorPtr Server::insertPushes(const DatabaseKey& db, const std::string& subscriptionID,
                              const RecordID& recordID, const Subscription& sub,
                              const ModifyRequest& request) {
    Statement devices(db_, &statementFailure_, "SELECT device FROM devices WHERE account=?");
    devices.bind(1, db.account);
    std::vector<std::string> targets;
    while (devices.step() == SQLITE_ROW) {
        std::string device = devices.text(0);
        if (device != request.device || request.pushToOriginator)
            targets.push_back(device);
    }
    for (const auto& device : targets) {
        Statement s(db_, &statementFailure_,
                    "INSERT INTO pushes(account, device, scope, subscription_id, zone, owner, record_name, "
                    "content_available, alert) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.bind(1, db.account).bind(2, device).bind(3, int64_t(db.scope)).bind(4, subscriptionID);
        s.bind(5, recordID.zoneID().zoneName())
            .bind(6, recordID.zoneID().ownerName())
            .bind(7, recordID.recordName());
        s.bind(8, int64_t(sub.notificationInfo.shouldSendContentAvailable ? 1 : 0))
            .bind(9, sub.notificationInfo.alertBody);
        if (s.step() != SQLITE_DONE)
            return sqliteError("push");
    }
    return nullptr;
}

namespace {

std::optional<std::string> encodeSubscription(const Subscription& s) {
    Array body{Value(int64_t(s.kind)),
               Value(s.recordType),
               Value(int64_t(s.predicate.kind())),
               Value(s.predicate.key()),
               s.predicate.value(),
               Value(int64_t(s.options)),
               s.zoneID ? Value(s.zoneID->zoneName()) : Value(),
               s.zoneID ? Value(s.zoneID->ownerName()) : Value(),
               Value(s.notificationInfo.shouldSendContentAvailable),
               Value(s.notificationInfo.alertBody)};
    return encodeValue(Value(std::move(body)));
}

std::optional<Subscription> decodeSubscription(const std::string& id, std::string_view blob) {
    auto value = decodeValue(blob);
    const Array* a = value ? value->asArray() : nullptr;
    if (!a || a->size() != 10)
        return std::nullopt;
    Subscription s;
    s.subscriptionID = id;
    s.kind = static_cast<Subscription::Kind>((*a)[0].integerValue());
    s.recordType = (*a)[1].stringValue();
    auto kind = static_cast<Predicate::Kind>((*a)[2].integerValue());
    s.predicate = kind == Predicate::Kind::True     ? Predicate::truePredicate()
                  : kind == Predicate::Kind::Equals ? Predicate::equals((*a)[3].stringValue(), (*a)[4])
                                                    : Predicate::greaterThan((*a)[3].stringValue(), (*a)[4]);
    s.options = static_cast<int>((*a)[5].integerValue());
    if ((*a)[6].isString())
        s.zoneID = RecordZoneID((*a)[6].stringValue(), (*a)[7].stringValue());
    s.notificationInfo.shouldSendContentAvailable = (*a)[8].boolValue();
    s.notificationInfo.alertBody = (*a)[9].stringValue();
    return s;
}

}  // namespace

ErrorPtr Server::fireAudiencePushes(const DatabaseKey& db, const RecordZoneID& zone, const Record& record,
                                    bool created, const ModifyRequest& request) {
    Statement s(db_, &statementFailure_, "SELECT id, body FROM subscriptions WHERE account=? AND scope=?");
    s.bind(1, db.account).bind(2, int64_t(db.scope));
    std::vector<Subscription> firing;
    while (s.step() == SQLITE_ROW) {
        auto sub = decodeSubscription(s.text(0), s.blob(1));
        if (!sub)
            continue;
        if (sub->kind == Subscription::Kind::Database) {
            firing.push_back(*sub);
            continue;
        }
        int wanted = created ? FiresOnRecordCreation : FiresOnRecordUpdate;
        if (!(sub->options & wanted) || sub->recordType != record.recordType())
            continue;
        // Without a zone a query subscription covers every zone of the database.
        if (sub->zoneID && *sub->zoneID != zone)
            continue;
        if (sub->predicate.evaluate(record.fields()))
            firing.push_back(*sub);
    }
    for (const auto& sub : firing)
        if (auto e = insertPushes(db, sub.subscriptionID, record.recordID(), sub, request))
            return e;
    return nullptr;
}

ErrorPtr Server::firePushes(const ZoneRow& zone, const Record& record, bool created,
                            const ModifyRequest& request) {
    if (auto e = fireAudiencePushes(DatabaseKey{zone.account, zone.scope}, zone.storedZone, record, created,
                                    request))
        return e;
    if (zone.scope != DatabaseScope::Private || zone.storedZone.ownerName() != OwnerDefaultName)
        return nullptr;
    std::vector<std::string> participants;
    {
        Statement p(
            db_, &statementFailure_,
            "SELECT DISTINCT p.account FROM share_participants p JOIN records r ON r.zone_id=p.zone_id "
            "AND r.name=p.share_name WHERE p.zone_id=? AND r.deleted=0 ORDER BY p.account");
        p.bind(1, zone.id);
        while (p.step() == SQLITE_ROW)
            participants.push_back(p.text(0));
    }
    if (participants.empty())
        return nullptr;
    auto owner = userRecordNameIfKnown(zone.account);
    if (!owner)
        return nullptr;
    // Participants hear of the change in their shared database, in its names.
    const RecordZoneID seen(zone.storedZone.zoneName(), *owner);
    Record asSeen(record.recordType(), RecordID(record.recordID().recordName(), seen));
    for (const auto& [key, value] : rezoneFields(record.fields(), zone.storedZone, seen))
        asSeen.setObject(key, value);
    for (const auto& account : participants)
        if (auto e = fireAudiencePushes(DatabaseKey{account, DatabaseScope::Shared}, seen, asSeen, created,
                                        request))
            return e;
    return nullptr;
}

// A modify runs zone by zone, each zone's items within a savepoint: its
// saves, then its deletes, then settling the zone (an atomic request rolls
// the zone back when any of its items failed). An item that fails lands in
// the zone's errors; an error a step returns is the database's own and
// abandons the whole request.
Result<ModifyResult> Server::modifyRecords(const DatabaseKey& db, const ModifyRequest& request) {
    if (request.saves.size() + request.deletes.size() > kMaxItemsPerRequest)
        return makeError(ErrorCode::LimitExceeded,
                         "Your request contains more than the maximum number of items");
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;

    std::map<RecordZoneID, ZoneItems> byZone;
    for (std::size_t i = 0; i < request.saves.size(); ++i)
        byZone[request.saves[i].recordID().zoneID()].saves.push_back(i);
    for (std::size_t i = 0; i < request.deletes.size(); ++i)
        byZone[request.deletes[i].zoneID()].deletes.push_back(i);

    ModifyResult result;
    for (auto& [zoneID, items] : byZone) {
        if (auto e = modifyZone(db, zoneID, items, request))
            return abandon(e);
        result.errors.merge(items.errors);
        for (auto& r : items.saved)
            result.saved.push_back(std::move(r));
        for (auto& d : items.deleted)
            result.deleted.push_back(std::move(d));
    }
    if (auto e = sweepAssets())
        return abandon(e);
    if (auto e = commit())
        return e;
    return result;
}

ErrorPtr Server::modifyZone(const DatabaseKey& db, const RecordZoneID& zoneID, ZoneItems& items,
                            const ModifyRequest& request) {
    auto zone = zoneRow(db, zoneID, true);
    if (!zone || !zone->live) {
        auto error = zoneMissingError(zone);
        for (auto i : items.saves)
            items.errors[request.saves[i].recordID()] = error;
        for (auto i : items.deletes)
            items.errors[request.deletes[i]] = error;
        return nullptr;
    }
    const ZoneRow before = *zone;
    if (auto e = exec("SAVEPOINT zone_items"))
        return e;
    for (auto i : items.saves)
        if (auto e = saveRecord(*zone, zoneID, request.saves[i], request, items))
            return e;
    for (auto i : items.deletes)
        if (auto e = deleteRecord(*zone, request.deletes[i], request, items))
            return e;
    const bool atomic = request.atomic && !zoneID.isDefaultZone();
    if (auto e = settleZone(*zone, before, atomic, request, items))
        return e;
    return exec("RELEASE zone_items");
}

ErrorPtr Server::saveRecord(ZoneRow& zone, const RecordZoneID& zoneID, const Record& record,
                            const ModifyRequest& request, ZoneItems& items) {
    const RecordID& id = record.recordID();
    ExistingRecord existing;
    if (auto refused = checkSave(zone, record, request, existing)) {
        items.errors[id] = refused;
        return nullptr;
    }
    auto fields = fieldsToStore(zone, zoneID, record, request, existing.fields);
    if (!fields.ok()) {
        items.errors[id] = fields.error();
        return nullptr;
    }
    auto blob = encodeFields(*fields);
    if (!blob) {
        items.errors[id] = makeError(ErrorCode::InvalidArguments, "Unsupported field value");
        return nullptr;
    }
    return writeRecord(zone, zoneID, record, *fields, *blob, existing, request, items);
}

ErrorPtr Server::checkSave(const ZoneRow& zone, const Record& record, const ModifyRequest& request,
                           ExistingRecord& existing) {
    const RecordID& id = record.recordID();
    if (!validRecordName(id.recordName()))
        return makeError(ErrorCode::InvalidArguments, "Invalid record name: " + id.recordName());
    if (request.faults)
        if (auto code = request.faults->itemErrorFor(id.recordName()))
            return makeError(*code);
    Statement row(db_, &statementFailure_,
                  "SELECT change_tag, fields, deleted, created_seq, type FROM records WHERE "
                  "zone_id=? AND name=?");
    row.bind(1, zone.id).bind(2, id.recordName());
    const bool exists = row.step() == SQLITE_ROW;
    existing.live = exists && row.integer(2) == 0;
    if (zone.viaShare &&
        (record.recordType() == ShareRecordType || (existing.live && row.text(4) == ShareRecordType)))
        return makeError(ErrorCode::PermissionFailure, "Only the owner can change a share");
    if (existing.live) {
        if (request.policy == SavePolicy::IfServerRecordUnchanged && row.text(0) != record.recordChangeTag())
            return makeError(ErrorCode::ServerRecordChanged, "record to insert already exists");
        existing.fields = decodeFields(row.blob(1));
    }
    return nullptr;
}

Result<Dictionary> Server::fieldsToStore(const ZoneRow& zone, const RecordZoneID& zoneID,
                                         const Record& record, const ModifyRequest& request,
                                         const std::optional<Dictionary>& oldFields) {
    auto stored = storeAssets(record.fields());
    if (!stored)
        return stored.error();
    Dictionary fields = std::move(*stored);
    if (zone.viaShare)
        fields = rezoneFields(fields, zoneID, zone.storedZone);
    if (request.policy == SavePolicy::ChangedKeys && oldFields) {
        Dictionary merged = *oldFields;
        for (const auto& [key, value] : fields)
            merged.set(key, value);
        fields = std::move(merged);
    }
    return fields;
}

ErrorPtr Server::writeRecord(ZoneRow& zone, const RecordZoneID& zoneID, const Record& record,
                             const Dictionary& fields, const std::string& blob,
                             const ExistingRecord& existing, const ModifyRequest& request, ZoneItems& items) {
    const RecordID& id = record.recordID();
    std::string parentBlob;
    if (auto parent = record.parent())
        parentBlob =
            encodeValue(Value(zone.viaShare ? rezoneReference(parent, zoneID, zone.storedZone) : parent))
                .value_or("");
    if (existing.fields)
        if (auto e = adjustAssetRefs(*existing.fields, -1))
            return e;
    if (auto e = adjustAssetRefs(fields, +1))
        return e;
    int64_t seq = ++zone.seq;
    std::string tag = changeTag(zone.incarnation, seq);
    auto cascade = firstDeleteSelfTarget(fields, zone.storedZone);
    Statement w(db_, &statementFailure_,
                "INSERT INTO records(zone_id, name, type, change_tag, fields, parent, cascade_parent, "
                "created_seq, last_seq, deleted) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, 0) "
                "ON CONFLICT(zone_id, name) DO UPDATE SET type=excluded.type, "
                "change_tag=excluded.change_tag, "
                "fields=excluded.fields, parent=excluded.parent, cascade_parent=excluded.cascade_parent, "
                "created_seq=CASE WHEN records.deleted=1 THEN excluded.created_seq ELSE records.created_seq "
                "END, "
                "last_seq=excluded.last_seq, deleted=0");
    w.bind(1, zone.id).bind(2, id.recordName()).bind(3, record.recordType()).bind(4, tag).bindBlob(5, blob);
    if (parentBlob.empty())
        w.bindNull(6);
    else
        w.bindBlob(6, parentBlob);
    if (cascade)
        w.bind(7, *cascade);
    else
        w.bindNull(7);
    w.bind(8, seq).bind(9, seq);
    if (w.step() != SQLITE_DONE)
        return sqliteError("save record");
    auto copy = std::make_shared<Record>(record);
    copy->setRecordChangeTag(tag);
    Record forPush(record.recordType(), RecordID(id.recordName(), zone.storedZone));
    for (const auto& [key, value] : fields)
        forPush.setObject(key, value);
    if (auto e = firePushes(zone, forPush, !existing.live, request))
        return e;
    items.saved.push_back(std::move(copy));
    return nullptr;
}

ErrorPtr Server::deleteRecord(ZoneRow& zone, const RecordID& id, const ModifyRequest& request,
                              ZoneItems& items) {
    if (request.faults)
        if (auto code = request.faults->itemErrorFor(id.recordName())) {
            items.errors[id] = makeError(*code);
            return nullptr;
        }
    Statement s(db_, &statementFailure_, "SELECT type FROM records WHERE zone_id=? AND name=? AND deleted=0");
    s.bind(1, zone.id).bind(2, id.recordName());
    if (s.step() != SQLITE_ROW) {
        if (request.deleteMissingAnswersUnknownItem)
            items.errors[id] = makeError(ErrorCode::UnknownItem, "Record not found");
        else
            items.deleted.push_back(id);  // deleting what is gone is not an error
        return nullptr;
    }
    if (zone.viaShare && s.text(0) == ShareRecordType) {
        items.errors[id] = makeError(ErrorCode::PermissionFailure, "Only the owner can delete a share");
        return nullptr;
    }
    if (auto e = deleteRecordRow(zone.id, zone, id.recordName(), 0))
        return e;
    items.deleted.push_back(id);
    return nullptr;
}

ErrorPtr Server::settleZone(ZoneRow& zone, const ZoneRow& before, bool atomic, const ModifyRequest& request,
                            ZoneItems& items) {
    if (!atomic || items.errors.empty()) {
        Statement z(db_, &statementFailure_, "UPDATE zones SET seq=? WHERE id=?");
        z.bind(1, zone.seq).bind(2, zone.id);
        if (z.step() != SQLITE_DONE)
            return sqliteError("zone sequence");
        return nullptr;
    }
    // All or nothing: the zone keeps its state and every other item is
    // reported as failed because of the batch.
    if (auto e = exec("ROLLBACK TO zone_items"))
        return e;
    zone = before;
    auto batchError = makeError(ErrorCode::BatchRequestFailed, "Atomic failure");
    for (auto i : items.saves)
        if (!items.errors.count(request.saves[i].recordID()))
            items.errors[request.saves[i].recordID()] = batchError;
    for (auto i : items.deletes)
        if (!items.errors.count(request.deletes[i]))
            items.errors[request.deletes[i]] = batchError;
    items.saved.clear();
    items.deleted.clear();
    return nullptr;
}

Result<FetchResult> Server::fetchRecords(const DatabaseKey& db, const std::vector<RecordID>& ids,
                                         const DesiredKeys& keys, const std::string& assetCacheFolder,
                                         const FaultDecision* faults) {
    if (ids.size() > kMaxItemsPerRequest)
        return makeError(ErrorCode::LimitExceeded,
                         "Your request contains more than the maximum number of items");
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    FetchResult result;
    for (const auto& id : ids) {
        if (faults)
            if (auto code = faults->itemErrorFor(id.recordName())) {
                result.errors[id] = makeError(*code);
                continue;
            }
        auto zone = zoneRow(db, id.zoneID(), false);
        if (!zone || !zone->live) {
            result.errors[id] = zoneMissingError(zone);
            continue;
        }
        Statement s(
            db_, &statementFailure_,
            "SELECT type, change_tag, fields, parent FROM records WHERE zone_id=? AND name=? AND deleted=0");
        s.bind(1, zone->id).bind(2, id.recordName());
        if (s.step() != SQLITE_ROW) {
            result.errors[id] = makeError(ErrorCode::UnknownItem, "Record not found");
            continue;
        }
        bool assetMissing = faults && faults->dropsAssetOf(id.recordName());
        bool missingFile = false;
        auto record = materialise(id, s.text(0), s.text(1), s.blob(2), s.blob(3), keys, assetCacheFolder,
                                  &missingFile, zone->viaShare ? &zone->storedZone : nullptr);
        if (!record) {
            result.errors[id] = makeError(ErrorCode::InternalError, "Stored record is damaged");
            continue;
        }
        if (assetMissing || missingFile) {
            result.errors[id] =
                makeError(missingFile ? ErrorCode::AssetFileNotFound : ErrorCode::AssetNotAvailable,
                          "Asset not available");
            continue;
        }
        result.records.emplace_back(id, std::move(record));
    }
    if (auto failure = endRead())
        return failure;
    return result;
}

Result<QueryPage> Server::query(const DatabaseKey& db, const Query& query,
                                const std::optional<RecordZoneID>& zoneArg,
                                const std::shared_ptr<const QueryCursor>& cursor, std::size_t limit,
                                const DesiredKeys& keys, bool lagged, const std::string& assetCacheFolder) {
    const Query& q = cursor ? cursor->query() : query;
    RecordZoneID zoneID =
        cursor ? cursor->zoneID().value_or(RecordZoneID()) : zoneArg.value_or(RecordZoneID());
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    auto zone = zoneRow(db, zoneID, false);
    if (!zone || !zone->live) {
        if (auto failure = endRead())
            return failure;
        return zoneMissingError(zone);
    }
    const RecordZoneID* storedZone = zone->viaShare ? &zone->storedZone : nullptr;
    // The predicate compares with stored fields, which name the owner's zone.
    const Predicate predicate =
        storedZone && q.predicate.kind() == Predicate::Kind::Equals
            ? Predicate::equals(q.predicate.key(), rezoneValue(q.predicate.value(), zoneID, *storedZone))
            : q.predicate;
    const int64_t snapshot = cursor ? cursor->snapshotSequence() : (lagged ? zone->queryIndexSeq : zone->seq);
    struct Row {
        std::string name, tag;
        std::string blob, parent;
        Dictionary fields;
    };
    std::vector<Row> rows;
    {
        Statement s(db_, &statementFailure_,
                    "SELECT name, change_tag, fields, parent FROM records WHERE zone_id=? AND type=? AND "
                    "created_seq<=? AND (deleted=0 OR last_seq>?)");
        s.bind(1, zone->id).bind(2, q.recordType).bind(3, snapshot).bind(4, snapshot);
        while (s.step() == SQLITE_ROW) {
            auto fields = decodeFields(s.blob(2));
            if (!fields || !predicate.evaluate(*fields))
                continue;
            rows.push_back(
                {s.text(0), s.text(1), std::string(s.blob(2)), std::string(s.blob(3)), std::move(*fields)});
        }
    }
    auto less = [&](const Row& a, const Row& b) {
        for (const auto& sort : q.sortDescriptors) {
            const Value* va = a.fields.find(sort.key);
            const Value* vb = b.fields.find(sort.key);
            std::string sa = va ? va->stringValue() : std::string();
            std::string sb = vb ? vb->stringValue() : std::string();
            if (va && vb && va->isNumber() && vb->isNumber()) {
                if (va->doubleValue() != vb->doubleValue())
                    return sort.ascending == (va->doubleValue() < vb->doubleValue());
                continue;
            }
            if (sa != sb)
                return sort.ascending == (sa < sb);
        }
        return a.name < b.name;
    };
    std::sort(rows.begin(), rows.end(), less);
    QueryPage page;
    const std::size_t offset = cursor ? static_cast<std::size_t>(cursor->offset()) : 0;
    const std::size_t end = limit == 0 ? rows.size() : std::min(rows.size(), offset + limit);
    for (std::size_t i = offset; i < end; ++i) {
        auto record = materialise(RecordID(rows[i].name, zoneID), q.recordType, rows[i].tag, rows[i].blob,
                                  rows[i].parent, keys, assetCacheFolder, nullptr, storedZone);
        if (record)
            page.records.push_back(std::move(record));
    }
    if (end < rows.size())
        page.cursor = std::make_shared<const QueryCursor>(q, zoneID, static_cast<int64_t>(end), snapshot);
    if (auto failure = endRead())
        return failure;
    return page;
}

Result<ChangePage> Server::fetchChanges(const DatabaseKey& db, const RecordZoneID& zoneID,
                                        const std::shared_ptr<const ServerChangeToken>& token,
                                        std::size_t limit, const DesiredKeys& keys, bool mintNewToken,
                                        const std::string& assetCacheFolder) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    auto zone = zoneRow(db, zoneID, false);
    if (!zone || !zone->live) {
        if (auto failure = endRead())
            return failure;
        return zoneMissingError(zone);
    }
    const std::string account = accountKey(db);
    if (token && (token->account() != account || token->zoneID() != zoneID ||
                  token->incarnation() != zone->incarnation || token->sequence() < zone->minTokenSeq ||
                  token->sequence() > zone->seq)) {
        if (auto failure = endRead())
            return failure;
        return makeError(ErrorCode::ChangeTokenExpired, "Change token expired");
    }
    const int64_t after = token ? token->sequence() : 0;
    const int64_t fetchLimit = limit == 0 ? -1 : static_cast<int64_t>(limit) + 1;
    // From the start only live records count; from a token every row changed
    // since, each once, in its final state.
    Statement s(db_, &statementFailure_,
                token ? "SELECT name, type, change_tag, fields, parent, deleted, last_seq FROM records "
                        "WHERE zone_id=? AND last_seq>? ORDER BY last_seq LIMIT ?"
                      : "SELECT name, type, change_tag, fields, parent, deleted, last_seq FROM records "
                        "WHERE zone_id=? AND last_seq>? AND deleted=0 ORDER BY last_seq LIMIT ?");
    s.bind(1, zone->id).bind(2, after).bind(3, fetchLimit);
    ChangePage page;
    int64_t lastDelivered = after;
    while (s.step() == SQLITE_ROW) {
        if (limit != 0 && page.entries.size() == limit) {
            page.moreComing = true;
            break;
        }
        RecordID id(s.text(0), zoneID);
        lastDelivered = s.integer(6);
        if (s.integer(5) != 0) {
            page.entries.push_back({nullptr, id});
            continue;
        }
        auto record = materialise(id, s.text(1), s.text(2), s.blob(3), s.blob(4), keys, assetCacheFolder,
                                  nullptr, zone->viaShare ? &zone->storedZone : nullptr);
        if (record)
            page.entries.push_back({std::move(record), RecordID()});
    }
    if (s.rc != SQLITE_ROW && s.rc != SQLITE_DONE) {
        auto error = sqliteError("change feed");
        if (auto failure = endRead())
            return failure;
        return error;
    }
    const int64_t position = page.moreComing ? lastDelivered : zone->seq;
    page.token = std::make_shared<const ServerChangeToken>(account, zoneID, zone->incarnation, position,
                                                           mintNewToken ? ++tokenMints : 0);
    if (auto failure = endRead())
        return failure;
    return page;
}

std::optional<std::string> Server::userRecordNameIfKnown(const std::string& account) {
    Statement s(db_, &statementFailure_, "SELECT user_record_name FROM accounts WHERE name=?");
    s.bind(1, account);
    if (s.step() == SQLITE_ROW)
        return s.text(0);
    return std::nullopt;
}

Result<std::string> Server::ensureUserRecordName(const std::string& account) {
    if (auto known = userRecordNameIfKnown(account))
        return *known;
    UUID uuid;
    std::string name = "_" + Data(uuid.bytes().data(), uuid.bytes().size()).hexString();
    Statement s(db_, &statementFailure_, "INSERT INTO accounts(name, user_record_name) VALUES(?, ?)");
    s.bind(1, account).bind(2, name);
    if (s.step() != SQLITE_DONE)
        return sqliteError("account");
    return name;
}

Result<std::string> Server::userRecordName(const std::string& account) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    auto name = ensureUserRecordName(account);
    if (!name) {
        rollback();
        return name.error();
    }
    if (auto e = commit())
        return e;
    return *name;
}

ErrorPtr Server::registerDevice(const std::string& account, const std::string& device) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    Statement s(db_, &statementFailure_, "INSERT OR IGNORE INTO devices(account, device) VALUES(?, ?)");
    s.bind(1, account).bind(2, device);
    if (s.step() != SQLITE_DONE) {
        auto error = sqliteError("device");
        rollback();
        return error;
    }
    return commit();
}

ErrorPtr Server::saveSubscription(const DatabaseKey& db, const Subscription& subscription) {
    auto body = encodeSubscription(subscription);
    if (!body || subscription.subscriptionID.empty())
        return makeError(ErrorCode::InvalidArguments, "Invalid subscription");
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    Statement s(db_, &statementFailure_,
                "INSERT OR REPLACE INTO subscriptions(account, scope, id, body) VALUES(?, ?, ?, ?)");
    s.bind(1, db.account).bind(2, int64_t(db.scope)).bind(3, subscription.subscriptionID).bindBlob(4, *body);
    if (s.step() != SQLITE_DONE) {
        auto error = sqliteError("subscription");
        rollback();
        return error;
    }
    return commit();
}

ErrorPtr Server::deleteSubscription(const DatabaseKey& db, const std::string& subscriptionID) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    Statement s(db_, &statementFailure_, "DELETE FROM subscriptions WHERE account=? AND scope=? AND id=?");
    s.bind(1, db.account).bind(2, int64_t(db.scope)).bind(3, subscriptionID);
    if (s.step() != SQLITE_DONE) {
        auto error = sqliteError("subscription");
        rollback();
        return error;
    }
    return commit();
}

Result<std::vector<Subscription>> Server::subscriptions(const DatabaseKey& db) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    std::vector<Subscription> out;
    Statement s(db_, &statementFailure_,
                "SELECT id, body FROM subscriptions WHERE account=? AND scope=? ORDER BY id");
    s.bind(1, db.account).bind(2, int64_t(db.scope));
    while (s.step() == SQLITE_ROW)
        if (auto sub = decodeSubscription(s.text(0), s.blob(1)))
            out.push_back(std::move(*sub));
    if (auto failure = endRead())
        return failure;
    return out;
}

namespace {

Push pushFromRow(sqlite3_stmt* stmt) {
    auto text = [&](int c) {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        return p ? std::string(p) : std::string();
    };
    Push p;
    p.id = sqlite3_column_int64(stmt, 0);
    p.scope = static_cast<DatabaseScope>(sqlite3_column_int64(stmt, 1));
    p.subscriptionID = text(2);
    p.recordID = RecordID(text(5), RecordZoneID(text(3), text(4)));
    p.contentAvailable = sqlite3_column_int64(stmt, 6) != 0;
    p.alertBody = text(7);
    return p;
}

}  // namespace

Result<std::vector<Push>> Server::takePushes(const std::string& account, const std::string& device) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    std::vector<Push> out;
    {
        Statement s(db_, &statementFailure_,
                    "SELECT id, scope, subscription_id, zone, owner, record_name, content_available, alert "
                    "FROM pushes "
                    "WHERE account=? AND device=? AND delivered=0 ORDER BY id");
        s.bind(1, account).bind(2, device);
        while (s.step() == SQLITE_ROW)
            out.push_back(pushFromRow(s.stmt));
    }
    if (!out.empty()) {
        Statement u(db_, &statementFailure_,
                    "UPDATE pushes SET delivered=1 WHERE account=? AND device=? AND id<=?");
        u.bind(1, account).bind(2, device).bind(3, out.back().id);
        if (u.step() != SQLITE_DONE) {
            auto error = sqliteError("push inbox");
            rollback();
            return error;
        }
    }
    if (auto e = commit())
        return e;
    return out;
}

Result<std::vector<StoredPush>> Server::allPushes(const std::string& account) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    std::vector<StoredPush> out;
    Statement s(
        db_, &statementFailure_,
        "SELECT id, scope, subscription_id, zone, owner, record_name, content_available, alert, device, "
        "delivered FROM pushes WHERE account=? ORDER BY id");
    s.bind(1, account);
    while (s.step() == SQLITE_ROW)
        out.push_back({pushFromRow(s.stmt), s.text(8), s.integer(9) != 0});
    if (auto failure = endRead())
        return failure;
    return out;
}

Result<std::vector<StoredRecordInfo>> Server::storedRecords(const DatabaseKey& db,
                                                            const RecordZoneID& zoneID) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    std::vector<StoredRecordInfo> out;
    auto zone = zoneRow(db, zoneID, false);
    if (zone) {
        Statement s(db_, &statementFailure_,
                    "SELECT name, type, change_tag, fields, deleted, created_seq, last_seq FROM records "
                    "WHERE zone_id=? ORDER BY last_seq");
        s.bind(1, zone->id);
        while (s.step() == SQLITE_ROW) {
            StoredRecordInfo info;
            info.record = Record(s.text(1), RecordID(s.text(0), zoneID));
            info.record.setRecordChangeTag(s.text(2));
            if (auto fields = decodeFields(s.blob(3)))
                for (const auto& [key, value] : *fields)
                    info.record.setObject(key, value);
            info.deleted = s.integer(4) != 0;
            info.createdSequence = s.integer(5);
            info.lastSequence = s.integer(6);
            out.push_back(std::move(info));
        }
    }
    if (auto failure = endRead())
        return failure;
    return out;
}

ErrorPtr Server::expireTokensBefore(const DatabaseKey& db, const RecordZoneID& zoneID, int64_t sequence) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    auto zone = zoneRow(db, zoneID, true);
    if (zone) {
        Statement s(db_, &statementFailure_,
                    "UPDATE zones SET min_token_seq=MAX(min_token_seq, ?) WHERE id=?");
        s.bind(1, sequence).bind(2, zone->id);
        s.step();
    }
    return commit();
}

ErrorPtr Server::advanceQueryIndex(const DatabaseKey& db, const RecordZoneID& zoneID) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    auto zone = zoneRow(db, zoneID, true);
    if (zone) {
        Statement s(db_, &statementFailure_, "UPDATE zones SET query_index_seq=seq WHERE id=?");
        s.bind(1, zone->id);
        s.step();
    }
    return commit();
}

Result<int64_t> Server::zoneSequence(const DatabaseKey& db, const RecordZoneID& zoneID) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    auto zone = zoneRow(db, zoneID, false);
    if (auto failure = endRead())
        return failure;
    if (!zone || !zone->live)
        return zoneMissingError(zone);
    return zone->seq;
}

Result<std::vector<std::string>> Server::assetHashes() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(assetFolder(), ec))
        if (isStoredAssetName(entry.path().filename().string()))
            out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

Result<std::vector<RecordZoneID>> Server::allZones(const DatabaseKey& db) {
    MutexLock lock(mutex_);
    if (auto e = begin(false))
        return e;
    std::vector<RecordZoneID> out;
    if (db.scope == DatabaseScope::Shared) {
        Statement s(
            db_, &statementFailure_,
            "SELECT z.name, a.user_record_name FROM zones z JOIN accounts a ON a.name=z.account "
            "WHERE z.scope=? AND z.owner=? AND z.live=1 AND EXISTS(SELECT 1 FROM share_participants p "
            "JOIN records r ON r.zone_id=p.zone_id AND r.name=p.share_name WHERE p.zone_id=z.id AND "
            "p.account=? AND r.deleted=0 AND r.type=?) ORDER BY a.user_record_name, z.name");
        s.bind(1, int64_t(DatabaseScope::Private))
            .bind(2, std::string(OwnerDefaultName))
            .bind(3, db.account)
            .bind(4, std::string(ShareRecordType));
        while (s.step() == SQLITE_ROW)
            out.emplace_back(s.text(0), s.text(1));
    } else {
        // The default zone always exists outside the shared database.
        out.push_back(RecordZoneID::defaultZone());
        Statement s(db_, &statementFailure_,
                    "SELECT name, owner FROM zones WHERE account=? AND scope=? AND live=1 ORDER BY name");
        s.bind(1, db.account).bind(2, int64_t(db.scope));
        while (s.step() == SQLITE_ROW) {
            RecordZoneID zone(s.text(0), s.text(1));
            if (!zone.isDefaultZone())
                out.push_back(std::move(zone));
        }
    }
    if (auto failure = endRead())
        return failure;
    return out;
}

Result<ShareMetadata> Server::shareInvitation(const std::string& ownerAccount,
                                              const RecordID& shareRecordID) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    const DatabaseKey db{ownerAccount, DatabaseScope::Private};
    auto zone = readZoneRow(db, shareRecordID.zoneID());
    if (!zone || !zone->live || shareRecordID.zoneID().ownerName() != OwnerDefaultName) {
        return abandon(zoneMissingError(zone));
    }
    {
        Statement s(db_, &statementFailure_,
                    "SELECT 1 FROM records WHERE zone_id=? AND name=? AND deleted=0 AND type=?");
        s.bind(1, zone->id).bind(2, shareRecordID.recordName()).bind(3, std::string(ShareRecordType));
        if (s.step() != SQLITE_ROW) {
            return abandon(makeError(ErrorCode::UnknownItem, "Share not found"));
        }
    }
    auto owner = ensureUserRecordName(ownerAccount);
    if (!owner) {
        return abandon(owner.error());
    }
    if (auto e = commit())
        return e;
    ShareMetadata metadata;
    metadata.shareRecordID =
        RecordID(shareRecordID.recordName(), RecordZoneID(shareRecordID.zoneID().zoneName(), *owner));
    metadata.ownerName = *owner;
    return metadata;
}

ErrorPtr Server::acceptShare(const std::string& account, const ShareMetadata& metadata,
                             const std::string& device) {
    MutexLock lock(mutex_);
    if (auto e = begin(true))
        return e;
    std::string ownerAccount;
    {
        Statement s(db_, &statementFailure_, "SELECT name FROM accounts WHERE user_record_name=?");
        s.bind(1, metadata.ownerName);
        if (s.step() != SQLITE_ROW)
            return abandon(makeError(ErrorCode::UnknownItem, "Share not found"));
        ownerAccount = s.text(0);
    }
    if (ownerAccount == account)
        return abandon(makeError(ErrorCode::InvalidArguments, "The owner of a share cannot accept it"));
    const RecordZoneID storedZone(metadata.shareRecordID.zoneID().zoneName());
    auto zone = readZoneRow(DatabaseKey{ownerAccount, DatabaseScope::Private}, storedZone);
    if (!zone || !zone->live)
        return abandon(makeError(ErrorCode::ZoneNotFound, "Zone does not exist"));
    const std::string& name = metadata.shareRecordID.recordName();
    Record share(ShareRecordType, RecordID(name, storedZone));
    {
        Statement s(db_, &statementFailure_,
                    "SELECT fields FROM records WHERE zone_id=? AND name=? AND deleted=0 AND type=?");
        s.bind(1, zone->id).bind(2, name).bind(3, std::string(ShareRecordType));
        if (s.step() != SQLITE_ROW)
            return abandon(makeError(ErrorCode::UnknownItem, "Share not found"));
        if (auto fields = decodeFields(s.blob(0)))
            for (const auto& [key, value] : *fields)
                share.setObject(key, value);
    }
    Statement add(db_, &statementFailure_,
                  "INSERT OR IGNORE INTO share_participants(zone_id, share_name, account) VALUES(?, ?, ?)");
    add.bind(1, zone->id).bind(2, name).bind(3, account);
    if (add.step() != SQLITE_DONE)
        return abandon(sqliteError("accept share"));
    if (sqlite3_changes(db_) == 0)
        return abandon(nullptr);  // accepted before: nothing changes
    // A new participant changes the share: new change tag, a place in the
    // change feed, and pushes to those who follow the share's updates.
    const int64_t seq = ++zone->seq;
    Statement u(db_, &statementFailure_,
                "UPDATE records SET change_tag=?, last_seq=? WHERE zone_id=? AND name=?");
    u.bind(1, changeTag(zone->incarnation, seq)).bind(2, seq).bind(3, zone->id).bind(4, name);
    if (u.step() != SQLITE_DONE)
        return abandon(sqliteError("accept share"));
    Statement z(db_, &statementFailure_, "UPDATE zones SET seq=? WHERE id=?");
    z.bind(1, seq).bind(2, zone->id);
    if (z.step() != SQLITE_DONE)
        return abandon(sqliteError("zone sequence"));
    ModifyRequest request;
    request.device = device;
    if (auto e = firePushes(*zone, share, false, request))
        return abandon(e);
    return commit();
}

}  // namespace plat::cloudkit::detail
