// A thin layer over one SQLite connection for the SQLite store: RAII for the
// connection and its statements, a cache of prepared statements keyed by their
// SQL text, and errors turned into plat::Error values.
//
// Not thread-safe: the store that owns a Database calls it under its
// coordinator's lock. The SQLite headers stay in the .cpp.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/foundation/Result.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

namespace plat::coredata::sqlite {

// Result codes the store looks at (the same numbers as SQLite's).
inline constexpr int kRow = 100;
inline constexpr int kDone = 101;

// Column storage classes (SQLite's numbers).
enum class ColumnType { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };

class Database;
struct ReturnConnection;

class Statement {
  public:
    Statement() = default;
    Statement(sqlite3_stmt* stmt, Database* db) : stmt_(stmt), db_(db) {}
    ~Statement();
    Statement(Statement&& other) noexcept
        : stmt_(other.stmt_), db_(other.db_), bindError_(other.bindError_), bindIndex_(other.bindIndex_) {
        other.stmt_ = nullptr;
    }
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 1, as in SQLite. Text and blobs are copied. A
    // bind that fails (a value over the connection's length limit, an index
    // the statement does not have) is remembered: step() then refuses to run
    // the statement and answers that failure, so a value can never be stored
    // as NULL in its place. reset() forgets it.
    void bindNull(int i);
    void bindInt(int i, int64_t v);
    void bindDouble(int i, double v);
    void bindText(int i, std::string_view v);
    // Binds the text without SQLite's copy: it must stay unchanged until the
    // statement is reset (a row's value bound for one step).
    void bindTextInPlace(int i, std::string_view v);
    void bindBlob(int i, const void* bytes, std::size_t length);
    // The same for bytes: they must stay unchanged until the statement is
    // reset.
    void bindBlobInPlace(int i, const void* bytes, std::size_t length);
    // The number of the largest parameter of the statement.
    int parameterCount() const;

    // kRow, kDone, or another SQLite result code on failure.
    [[nodiscard]] int step();
    // Ready to run again with fresh parameters; releases read locks.
    void reset();

    // Columns count from 0.
    ColumnType columnType(int i) const;
    int64_t columnInt(int i) const;
    double columnDouble(int i) const;
    std::string_view columnText(int i) const;
    std::string_view columnBlob(int i) const;

    // One column of the current row, looked up once for all its reads (each
    // columnX call above looks its column up again). Valid until the next
    // step or reset; text and blobs point into the statement's row.
    class Cell {
      public:
        ColumnType type() const;
        int64_t integer() const;
        double real() const;
        std::string_view text() const;
        std::string_view blob() const;

      private:
        friend class Statement;
        explicit Cell(sqlite3_value* value) : value_(value) {}
        sqlite3_value* value_;
    };
    Cell cell(int i) const;

    sqlite3_stmt* get() const { return stmt_; }

  private:
    void bound(int i, int rc);

    sqlite3_stmt* stmt_ = nullptr;
    Database* db_ = nullptr;
    int bindError_ = 0;  // the first failed bind's result code since the last reset
    int bindIndex_ = 0;
};

// Resets a statement when the scope ends, so that no early return leaves a
// statement holding a read snapshot.
class ResetGuard {
  public:
    explicit ResetGuard(Statement& s) : s_(s) {}
    ~ResetGuard() { s_.reset(); }
    ResetGuard(const ResetGuard&) = delete;
    ResetGuard& operator=(const ResetGuard&) = delete;

  private:
    Statement& s_;
};

// Where a caller remembers a statement of Database::cached that it runs
// again and again, so that it is found without hashing its text. Valid while
// the generation it was taken in is the connection's: every connection has
// its own, and a new one each time its cache lets statements go.
struct StatementMemo {
    Statement* statement = nullptr;
    uint64_t generation = 0;
};

// What a store derived from its file through a connection (its schema,
// statement plans, fetch texts), kept with the connection when the store
// lets it go, for the next store of the file that takes the connection (see
// SQLiteStore::load). The store defines what it holds.
struct ConnectionState {
    virtual ~ConnectionState() = default;
};

class Database {
  public:
    // Opens (creating when allowed) the file. Errors: 259 when the file is not
    // a database; 134080 when it cannot be opened.
    static Result<std::unique_ptr<Database>> open(const std::string& path, bool readOnly, bool create,
                                                  int busyTimeoutMilliseconds);
    // Opens the file for reading only. A database in WAL mode needs its side
    // files (-wal, -shm), which cannot be made on read-only media (or in a
    // folder one may not write to): when SQLite cannot open them and there
    // is no WAL content that reading without them would miss, the file is
    // opened as immutable (no side files, no locks) instead.
    static Result<std::unique_ptr<Database>> openForReading(const std::string& path,
                                                            int busyTimeoutMilliseconds);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one or more statements without results.
    [[nodiscard]] ErrorPtr exec(const std::string& sql);
    // The statements that begin and end transactions, run through statements
    // prepared once for the connection's life: exec would parse and compile
    // their text at every call, and a store begins and commits one or more
    // transactions per save.
    enum class Control { Begin, BeginImmediate, Commit, Rollback };
    [[nodiscard]] ErrorPtr control(Control what);
    // A statement prepared once and kept for the connection's life, reset and
    // with cleared bindings. The reference stays valid until clearCache().
    Result<Statement*> cached(const std::string& sql);
    // The same, through `memo`: the statement it holds when still cached,
    // else cached(sql), remembered in it.
    Result<Statement*> cached(const std::string& sql, StatementMemo& memo);
    // Whether memo holds a statement this connection still caches.
    bool holds(const StatementMemo& memo) const { return memo.statement && memo.generation == generation_; }
    Result<Statement> prepare(const std::string& sql);
    void clearCache();

    // Whether the main database has a table (not a view) of that name, and
    // whether it has every one of the columns, read from the schema SQLite
    // has parsed (no statement is prepared). That is the schema as of the
    // connection's last statement (or its first read of the schema): a table
    // another connection made since shows once a statement has run here. An
    // error when the schema cannot be read.
    enum class TableShape { Missing, OtherColumns, HasColumns };
    Result<TableShape> tableShape(const char* table, std::initializer_list<const char*> columns);

    int64_t changes() const;
    // An error of code for the connection's last failure, with SQLite's
    // message and result code in the user info ("NSSQLiteErrorDomain").
    [[nodiscard]] ErrorPtr lastError(int64_t code, const std::string& what) const;
    int lastResultCode() const;
    sqlite3* handle() const { return db_; }
    // Lets the connection go to another store of its file when its own store
    // lets it go (see ReturnConnection): set once the store configured it.
    void setLendable() { lendable_ = true; }
    // The state a store left with the connection (see ConnectionState);
    // taking it leaves none.
    void keepState(std::unique_ptr<ConnectionState> state) { state_ = std::move(state); }
    std::unique_ptr<ConnectionState> takeState() { return std::move(state_); }

  private:
    friend class Statement;
    friend struct ReturnConnection;
    friend Result<std::unique_ptr<Database, ReturnConnection>> connectForWriting(const std::string&, int,
                                                                                 bool&);
    explicit Database(sqlite3* db);
    // Resets any statement still running and answers whether the connection
    // is out of every transaction, so that it holds no snapshot and no lock.
    bool settle();
    sqlite3* db_;
    // The file (device, inode) whose stores share this connection out, or
    // none when it is closed with its store (see connectForWriting).
    std::optional<std::pair<uint64_t, uint64_t>> sharedFile_;
    bool lendable_ = false;
    // Of the statements cached now; unique in the process (see StatementMemo).
    uint64_t generation_;
    // A failure found before SQLite ran anything (a refused bind), reported
    // by lastError / lastResultCode instead of the connection's own state
    // until the next statement runs.
    int pendingCode_ = 0;
    std::string pendingMessage_;
    std::unordered_map<std::string, std::unique_ptr<Statement>> cache_;
    // Released before the statements: it may hold some of its own.
    std::unique_ptr<ConnectionState> state_;
    // By Control; prepared at their first use, finalized with the connection.
    sqlite3_stmt* control_[4] = {};
};

// Gives a store's connection back when the store lets it go: while another
// store of this process has the same file open, the connection is kept as a
// spare for the next store that opens the file (its parsed schema and
// compiled statements stay with it); else it is closed, together with the
// file's spares, so that the last store to close the file is still the one
// whose close writes the log back into the file and removes it.
struct ReturnConnection {
    void operator()(Database* db) const;
};
using StoreConnection = std::unique_ptr<Database, ReturnConnection>;

// A read-write connection to the file (created when missing) for a store:
// a spare one of the same file (same device and inode) when there is one,
// `reused` then set, else a new one. Errors as Database::open.
Result<StoreConnection> connectForWriting(const std::string& path, int busyTimeoutMilliseconds, bool& reused);

// Spare connections kept now, over every file (for tests).
std::size_t spareConnectionCount();

// Quotes an identifier for SQL ("a""b").
std::string quoteIdentifier(std::string_view name);

// True when the file starts with SQLite's header.
bool hasSQLiteHeader(const std::string& path);

}  // namespace plat::coredata::sqlite
