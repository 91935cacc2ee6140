#include "platform/coredata/detail/SQLiteDatabase.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/foundation/Text.h"

namespace plat::coredata::sqlite {

Statement::~Statement() {
    (void)sqlite3_finalize(stmt_);  // the last step's result, already reported by step()
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        (void)sqlite3_finalize(stmt_);  // the last step's result, already reported by step()
        stmt_ = other.stmt_;
        db_ = other.db_;
        bindError_ = other.bindError_;
        bindIndex_ = other.bindIndex_;
        other.stmt_ = nullptr;
    }
    return *this;
}

void Statement::bound(int i, int rc) {
    if (rc != SQLITE_OK && bindError_ == 0) {
        bindError_ = rc;
        bindIndex_ = i;
    }
}

void Statement::bindNull(int i) {
    bound(i, sqlite3_bind_null(stmt_, i));
}
void Statement::bindInt(int i, int64_t v) {
    bound(i, sqlite3_bind_int64(stmt_, i, v));
}
void Statement::bindDouble(int i, double v) {
    bound(i, sqlite3_bind_double(stmt_, i, v));
}
void Statement::bindText(int i, std::string_view v) {
    bound(i, sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}
void Statement::bindTextInPlace(int i, std::string_view v) {
    bound(i, sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_STATIC, SQLITE_UTF8));
}
namespace {
// A zero-length blob must not bind as NULL: SQLite takes a null pointer for
// NULL whatever the length.
const char emptyBlob = 0;
}  // namespace

void Statement::bindBlob(int i, const void* bytes, std::size_t length) {
    bound(i, sqlite3_bind_blob64(stmt_, i, length ? bytes : &emptyBlob, length, SQLITE_TRANSIENT));
}
void Statement::bindBlobInPlace(int i, const void* bytes, std::size_t length) {
    bound(i, sqlite3_bind_blob64(stmt_, i, length ? bytes : &emptyBlob, length, SQLITE_STATIC));
}

int Statement::parameterCount() const {
    return sqlite3_bind_parameter_count(stmt_);
}

int Statement::step() {
    if (db_)
        db_->pendingCode_ = 0;
    if (bindError_ != 0) {
        if (db_) {
            db_->pendingCode_ = bindError_;
            db_->pendingMessage_ = std::string("parameter ") + std::to_string(bindIndex_) +
                                   " could not be bound: " + sqlite3_errstr(bindError_);
        }
        return bindError_;
    }
    return sqlite3_step(stmt_);
}

void Statement::reset() {
    (void)sqlite3_reset(stmt_);           // the last step's result, already reported by step()
    (void)sqlite3_clear_bindings(stmt_);  // cannot fail
    bindError_ = 0;
    bindIndex_ = 0;
}

ColumnType Statement::columnType(int i) const {
    return static_cast<ColumnType>(sqlite3_column_type(stmt_, i));
}
int64_t Statement::columnInt(int i) const {
    return sqlite3_column_int64(stmt_, i);
}
double Statement::columnDouble(int i) const {
    return sqlite3_column_double(stmt_, i);
}
std::string_view Statement::columnText(int i) const {
    auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                : std::string_view();
}
std::string_view Statement::columnBlob(int i) const {
    auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
    return bytes ? std::string_view(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string_view();
}

// A row's column values are owned by the statement and read only on the
// thread running it (connections are opened without SQLite's own locking), so
// reading them through the value handle is as safe as the columnX calls.
Statement::Cell Statement::cell(int i) const {
    return Cell(sqlite3_column_value(stmt_, i));
}
ColumnType Statement::Cell::type() const {
    return static_cast<ColumnType>(sqlite3_value_type(value_));
}
int64_t Statement::Cell::integer() const {
    return sqlite3_value_int64(value_);
}
double Statement::Cell::real() const {
    return sqlite3_value_double(value_);
}
std::string_view Statement::Cell::text() const {
    auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value_));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value_)))
                : std::string_view();
}
std::string_view Statement::Cell::blob() const {
    auto* bytes = static_cast<const char*>(sqlite3_value_blob(value_));
    return bytes ? std::string_view(bytes, static_cast<std::size_t>(sqlite3_value_bytes(value_)))
                 : std::string_view();
}

namespace {

// A store holds the user's data: a new file is private to the user whatever
// the umask. SQLite gives its journal and write-ahead log the mode of the
// main file, so they are private too. An empty file is a valid new database;
// an existing file keeps its mode.
void createPrivateFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        (void)::close(fd);  // an empty file just made: nothing to lose
}

}  // namespace

Result<std::unique_ptr<Database>> Database::open(const std::string& path, bool readOnly, bool create,
                                                 int busyTimeoutMilliseconds) {
    int flags = SQLITE_OPEN_NOMUTEX | (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    if (create && !readOnly)
        flags |= SQLITE_OPEN_CREATE;
    if (create && !readOnly)
        createPrivateFile(path);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    std::unique_ptr<Database> database(new Database(db));
    if (rc != SQLITE_OK) {
        Dictionary info;
        info.set(FilePathErrorKey, Value(path));
        info.set("NSSQLiteErrorDomain", Value(int64_t{rc}));
        return makeError(PersistentStoreOpenError,
                         "The store at " + path + " could not be opened: " + sqlite3_errstr(rc) + ".",
                         std::move(info));
    }
    (void)sqlite3_busy_timeout(db, busyTimeoutMilliseconds);  // cannot fail on an open connection
    (void)sqlite3_extended_result_codes(db, 0);               // cannot fail on an open connection
    return database;
}

namespace {

// "file:" URI of a path, for SQLite's URI parameters.
std::string fileURI(const std::string& path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            text::appendHexByte(uri, c, true);
        }
    }
    return uri;
}

}  // namespace

Result<std::unique_ptr<Database>> Database::openForReading(const std::string& path,
                                                           int busyTimeoutMilliseconds) {
    auto db = open(path, true, false, busyTimeoutMilliseconds);
    if (!db)
        return db;
    // The first read opens the side files of a WAL database.
    sqlite3_stmt* probe = nullptr;
    int rc = sqlite3_prepare_v2((*db)->db_, "SELECT count(*) FROM sqlite_master", -1, &probe, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(probe);
    (void)sqlite3_finalize(probe);  // rc above holds the outcome
    if ((rc & 0xff) != SQLITE_CANTOPEN)
        return db;
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0)
        return db;  // committed transactions may sit in the WAL: refuse rather than miss them
    sqlite3* immutable = nullptr;
    rc = sqlite3_open_v2((fileURI(path) + "?immutable=1").c_str(), &immutable,
                         SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    std::unique_ptr<Database> database(new Database(immutable));
    if (rc != SQLITE_OK)
        return db;
    (void)sqlite3_extended_result_codes(immutable, 0);  // cannot fail on an open connection
    return database;
}

Database::~Database() {
    state_.reset();
    cache_.clear();
    for (sqlite3_stmt* stmt : control_)
        (void)sqlite3_finalize(stmt);  // reset after each run: nothing to report
    (void)sqlite3_close_v2(db_);       // v2 defers the close until every statement is gone
}

ErrorPtr Database::exec(const std::string& sql) {
    pendingCode_ = 0;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return lastError(CoreDataError, "SQL failed");
    return nullptr;
}

ErrorPtr Database::control(Control what) {
    static constexpr const char* kText[] = {"BEGIN", "BEGIN IMMEDIATE", "COMMIT", "ROLLBACK"};
    const auto at = static_cast<std::size_t>(what);
    pendingCode_ = 0;
    sqlite3_stmt*& stmt = control_[at];
    if (!stmt &&
        sqlite3_prepare_v3(db_, kText[at], -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        (void)sqlite3_finalize(stmt);  // the failure is the connection's last error
        stmt = nullptr;
        return lastError(CoreDataError, "SQL failed");
    }
    // The step's failure is read before the reset, which would report it again.
    ErrorPtr error = sqlite3_step(stmt) == SQLITE_DONE ? nullptr : lastError(CoreDataError, "SQL failed");
    (void)sqlite3_reset(stmt);  // a failure is in `error` already
    return error;
}

Result<Statement> Database::prepare(const std::string& sql) {
    pendingCode_ = 0;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                &stmt, nullptr);
    if (rc != SQLITE_OK) {
        (void)sqlite3_finalize(stmt);  // rc above holds the outcome
        return lastError(CoreDataError, "Could not prepare a statement");
    }
    return Statement(stmt, this);
}

Result<Database::TableShape> Database::tableShape(const char* table,
                                                  std::initializer_list<const char*> columns) {
    pendingCode_ = 0;
    // SQLITE_ERROR: no such table (or a view), or no such column; anything
    // else is a schema that could not be read.
    auto check = [&](const char* column) {
        return sqlite3_table_column_metadata(db_, "main", table, column, nullptr, nullptr, nullptr, nullptr,
                                             nullptr);
    };
    int rc = check(nullptr);
    if (rc == SQLITE_ERROR)
        return TableShape::Missing;
    for (auto at = columns.begin(); rc == SQLITE_OK && at != columns.end(); ++at)
        rc = check(*at);
    if (rc == SQLITE_ERROR)
        return TableShape::OtherColumns;
    if (rc != SQLITE_OK)
        return lastError(CoreDataError, "Could not read the schema");
    return TableShape::HasColumns;
}

namespace {

uint64_t nextGeneration() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

Database::Database(sqlite3* db) : db_(db), generation_(nextGeneration()) {}

void Database::clearCache() {
    cache_.clear();
    generation_ = nextGeneration();
}

Result<Statement*> Database::cached(const std::string& sql, StatementMemo& memo) {
    if (holds(memo))
        return memo.statement;
    auto stmt = cached(sql);
    if (!stmt)
        return stmt.error();
    memo.statement = *stmt;
    memo.generation = generation_;
    return stmt;
}

Result<Statement*> Database::cached(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end())
        return it->second.get();
    // Queries built from predicates vary; keep the cache bounded.
    if (cache_.size() >= 256)
        clearCache();
    auto prepared = prepare(sql);
    if (!prepared)
        return prepared.error();
    auto* stmt = new Statement(std::move(*prepared));
    cache_.emplace(sql, std::unique_ptr<Statement>(stmt));
    return stmt;
}

int64_t Database::changes() const {
    return sqlite3_changes64(db_);
}

int Database::lastResultCode() const {
    return pendingCode_ ? pendingCode_ : sqlite3_errcode(db_);
}

ErrorPtr Database::lastError(int64_t code, const std::string& what) const {
    const int rc = lastResultCode();
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT)
        code = FileReadCorruptFileError;
    Dictionary info;
    info.set("NSSQLiteErrorDomain", Value(int64_t{rc}));
    if (const char* file = sqlite3_db_filename(db_, "main"))
        info.set(FilePathErrorKey, Value(file));
    const std::string message = pendingCode_ ? pendingMessage_ : std::string(sqlite3_errmsg(db_));
    return makeError(code, what + ": " + message + ".", std::move(info));
}

bool Database::settle() {
    for (sqlite3_stmt* stmt = sqlite3_next_stmt(db_, nullptr); stmt; stmt = sqlite3_next_stmt(db_, stmt)) {
        if (sqlite3_stmt_busy(stmt))
            (void)sqlite3_reset(stmt);  // its last step's result was reported to whoever ran it
    }
    return sqlite3_get_autocommit(db_) != 0;
}

namespace {

using FileKey = std::pair<uint64_t, uint64_t>;

FileKey fileKey(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The files this process's stores have open for writing. A spare connection
// keeps its file open, so no other file can take its inode number meanwhile.
struct SharedFiles {
    struct File {
        int stores = 0;  // stores holding a connection of the file
        std::vector<std::unique_ptr<Database>> spares;
    };
    std::mutex mutex;
    std::map<FileKey, File> files;
};

SharedFiles& sharedFiles() {
    static auto* files = new SharedFiles;  // never destroyed: stores may close during exit
    return *files;
}

// Two are enough for a file's stores opened and closed in turn beside one
// that stays open; more would only keep descriptors and caches.
constexpr std::size_t kSparesPerFile = 2;

}  // namespace

Result<StoreConnection> connectForWriting(const std::string& path, int busyTimeoutMilliseconds,
                                          bool& reused) {
    reused = false;
    SharedFiles& shared = sharedFiles();
    // Made when missing, so that it is known before the open as after (one
    // stat for a file that exists: no attempt at making it).
    struct stat before {};
    bool existed = ::stat(path.c_str(), &before) == 0;
    if (!existed) {
        createPrivateFile(path);
        existed = ::stat(path.c_str(), &before) == 0;
    }
    if (existed) {
        std::lock_guard lock(shared.mutex);
        auto it = shared.files.find(fileKey(before));
        if (it != shared.files.end() && !it->second.spares.empty()) {
            std::unique_ptr<Database> db = std::move(it->second.spares.back());
            it->second.spares.pop_back();
            ++it->second.stores;
            reused = true;
            return StoreConnection(db.release());
        }
    }
    auto db = Database::open(path, false, true, busyTimeoutMilliseconds);
    if (!db)
        return db.error();
    // Shared only when the path named the same file before and after the
    // open, so that the connection is known to be of that file.
    struct stat after {};
    if (existed && ::stat(path.c_str(), &after) == 0 && fileKey(after) == fileKey(before)) {
        std::lock_guard lock(shared.mutex);
        ++shared.files[fileKey(after)].stores;
        (*db)->sharedFile_ = fileKey(after);
    }
    return StoreConnection(db->release());
}

void ReturnConnection::operator()(Database* connection) const {
    std::unique_ptr<Database> db(connection);
    if (!db || !db->sharedFile_)
        return;
    std::vector<std::unique_ptr<Database>> closing;
    {
        SharedFiles& shared = sharedFiles();
        std::lock_guard lock(shared.mutex);
        auto it = shared.files.find(*db->sharedFile_);
        if (it == shared.files.end())
            return;  // cannot be: every shared connection's store was counted
        SharedFiles::File& file = it->second;
        --file.stores;
        if (file.stores > 0) {
            // A connection still inside a transaction is closed (which rolls
            // it back), as before, rather than lent to the next store; so is
            // one its store could not configure.
            if (db->lendable_ && file.spares.size() < kSparesPerFile && db->settle())
                file.spares.push_back(std::move(db));
        } else {
            closing = std::move(file.spares);
            shared.files.erase(it);
        }
    }
    // Closed outside the lock (a close may write the log back into the
    // file): the spares first, so that this store's own close comes last.
    closing.clear();
    db.reset();
}

std::size_t spareConnectionCount() {
    SharedFiles& shared = sharedFiles();
    std::lock_guard lock(shared.mutex);
    std::size_t count = 0;
    for (const auto& [key, file] : shared.files)
        count += file.spares.size();
    return count;
}

std::string quoteIdentifier(std::string_view name) {
    // Names are quoted for every statement built: one allocation, and the
    // name copied whole between the quotes it holds (doubled).
    std::string out;
    out.reserve(name.size() + 2);
    out += '"';
    for (std::size_t at = 0;;) {
        const std::size_t quote = name.find('"', at);
        if (quote == std::string_view::npos) {
            out.append(name.substr(at));
            break;
        }
        out.append(name.substr(at, quote + 1 - at));
        out += '"';
        at = quote + 1;
    }
    out += '"';
    return out;
}

bool hasSQLiteHeader(const std::string& path) {
    // A descriptor read directly: stdio would also stat the file and read a
    // whole buffer for 16 bytes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char header[16] = {};
    std::size_t n = 0;
    while (n < sizeof header) {
        const ssize_t got = ::read(fd, header + n, sizeof header - n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        n += static_cast<std::size_t>(got);
    }
    (void)::close(fd);  // read only: closing loses nothing
    return n == sizeof header && std::memcmp(header, "SQLite format 3\0", 16) == 0;
}

}  // namespace plat::coredata::sqlite
