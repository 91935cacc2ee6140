// The SQLite store's private state and the helpers its source files share
// (SQLiteStore.cpp: rows, fetches, saves; SQLiteStoreFile.cpp: opening,
// metadata and migration).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/coredata/detail/SQLiteDatabase.h"
#include "platform/coredata/detail/SQLiteQuery.h"
#include "platform/coredata/detail/SQLiteSchema.h"
#include "platform/foundation/Data.h"

namespace plat::coredata::sqlite {

// Z_METADATA keys.
inline constexpr const char* kMetadataKey = "metadata";  // binary property list of the store metadata
inline constexpr const char* kModelKey = "model";        // model file JSON of the store's model
inline constexpr const char* kFormatKey = "format";      // layout version of the file
inline constexpr int64_t kFormatVersion = 1;

// Calls the test hook, if any, at a named point of a save.
void hook(const char* point);

// An open transaction, rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(Database& db) : db_(db) {}
    ~Transaction() {
        // A destructor cannot report; should the rollback fail, the next
        // begin() fails ("within a transaction") rather than write inside it.
        if (open_)
            (void)db_.control(Database::Control::Rollback);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    [[nodiscard]] ErrorPtr begin(bool write) {
        auto error = db_.control(write ? Database::Control::BeginImmediate : Database::Control::Begin);
        open_ = !error;
        return error;
    }
    [[nodiscard]] ErrorPtr commit() {
        auto error = db_.control(Database::Control::Commit);
        open_ = open_ && error;
        return error;
    }

  private:
    Database& db_;
    bool open_ = false;
};

// Runs a statement that returns no rows, then resets it.
[[nodiscard]] ErrorPtr run(Database& db, Statement& s, int64_t code, const char* what);

// Encodings made while binding (transformed values), kept until the
// statement is reset so that they are bound without SQLite's copy. Declared
// before the statement's ResetGuard, so that it goes after the reset.
using KeptBytes = std::vector<Data>;

// Binds one attribute value in its column's storage form; an error when the
// value does not fit the attribute's type or cannot be transformed.
// With inPlace, text, data and UUIDs are bound without a copy: v must outlive
// the statement's next reset. With kept, a transformed value's encoding is
// moved there and bound without a copy as well.
[[nodiscard]] ErrorPtr bindAttribute(Statement& s, int at, const AttributeDescription& a, const Value& v,
                                     bool inPlace = false, KeptBytes* kept = nullptr);
// Reads one attribute column back into the Value form of its type.
Result<Value> readAttribute(const Statement& s, int column, const AttributeDescription& a);

Dictionary hashesOf(const ManagedObjectModel& model);
Value versionIdentifiersOf(const ManagedObjectModel& model);

// Per-entity SQL and the plan to read and write its rows.
struct EntityStatements {
    struct Slot {
        std::size_t index = 0;  // property index
        int column = 0;         // in the table's columns
        const AttributeDescription* attribute = nullptr;
        const RelationshipDescription* toOne = nullptr;
        bool entityNumber = false;  // the to-one's entity-number column
    };
    std::vector<Slot> slots;  // the columns this entity writes, in statement order
    std::string insert, update, remove;
    // An insert of insertManyRows rows at once (parameters row after row,
    // each row's as insert's); 0 when a row has too many columns for that.
    std::string insertMany;
    std::size_t insertManyRows = 0;
    // Updates of some columns only, by the slots they write ('1' per slot
    // written): an update leaves the indexes of unwritten columns alone.
    // Each keeps its statement's memo, so it is found without hashing its text.
    struct PartialUpdate {
        std::string sql;
        StatementMemo memo;
    };
    mutable std::unordered_map<std::string, PartialUpdate> partialUpdates;
    std::string table;                   // quoted
    std::vector<std::string> slotNames;  // quoted column names, by slot
    // The select of one row by its key (every column, as columnsOf).
    std::string rowByKey;
    // The entity number of the row of a key, nothing else.
    std::string entityByKey;
    // The cached statements of insert, insertMany, update, remove, rowByKey
    // and entityByKey, found again without hashing their text.
    mutable StatementMemo insertMemo, insertManyMemo, updateMemo, removeMemo, rowByKeyMemo, entityByKeyMemo;
    PartialUpdate& updateOf(const std::string& written) const;
};

// The statements that store a to-many in its members' to-one columns (a
// to-many whose inverse is a to-one), prepared on the first save that writes
// such a member and kept for the connection's life.
struct MemberKeyStatements {
    // Points member ?2 at owner ?1 (and at the owner's entity number ?3 when
    // entityColumn >= 0), unless it points there already.
    Statement set;
    // Clears member ?2's columns when they still point at owner ?1.
    Statement clear;
    int entityColumn = -1;  // the inverse's entity-number column in the member table, or -1
};

// A fetch whose text follows from its shape (QueryBuilder::shape, and the
// names of the properties read for a fetch of some columns): the text after
// the select list and what the store does with the rows, kept so that a
// request of the same shape builds no text and binds its own values.
struct ShapedFetch {
    const Table* table = nullptr;
    std::string tail;
    std::string columns;  // the select list of some columns; empty: every column (columnsOf)
    bool exact = true;
    bool sorted = true;
    bool keyOrderHere = false;  // rows put in key order here (key order, or listed keys)
    bool windowInSQL = false;
    StatementMemo memo;
};

}  // namespace plat::coredata::sqlite

namespace plat::coredata {

struct SQLiteStore::Impl {
    std::string path;
    sqlite::StoreConnection db;
    std::unique_ptr<sqlite::Schema> schema;
    Dictionary writtenMetadata;
    // The metadata's change count (PersistentStore::metadataChangedSince)
    // when a save last found it equal to writtenMetadata; no count before
    // the first save, which compares.
    uint64_t metadataSeen = UINT64_MAX;
    // The statement that reads one root's Z_MAX before keys are handed out.
    sqlite::StatementMemo oneMaximumMemo;
    std::unordered_map<const sqlite::Table*, std::string> selectColumns;
    std::unordered_map<const EntityDescription*, sqlite::EntityStatements> statements;
    // By to-many; declared after db, so finalized before the connection closes.
    std::unordered_map<const RelationshipDescription*, sqlite::MemberKeyStatements> memberKeyStatements;

    const sqlite::EntityStatements& statementsFor(const sqlite::EntityLayout& layout);
    Result<sqlite::MemberKeyStatements*> memberKeyStatementsFor(const sqlite::ToManyLayout& layout);
    // "t0.Z_PK, t0.Z_ENT, t0.Z_OPT, t0.<column>..." for a table.
    const std::string& columnsOf(const sqlite::Table& table);
    // The fetch statement "SELECT <columnsOf(table)><tail>", found by its
    // tail (see fetchRowsSelecting).
    Result<sqlite::Statement*> fetchStatement(const sqlite::Table& table, const std::string& tail);
    struct FetchStatement {
        const sqlite::Table* table = nullptr;
        sqlite::StatementMemo memo;
    };
    std::unordered_map<std::string, FetchStatement> fetchStatements;
    // Fetches of every column whose text follows from their shape, by the
    // shape's signature and the request's order and window (see
    // sqlite::ShapedFetch).
    std::unordered_map<std::string, sqlite::ShapedFetch> shapedFetches;
    // The shape of the fetch being made; kept so that its storage is reused.
    sqlite::QueryShape shapeScratch;
    // Replaces the schema, dropping what was derived from its tables.
    void setSchema(std::unique_ptr<sqlite::Schema> replacement);
    // Primary keys reserved durably in Z_MAX but not handed out yet, by
    // root entity number: keys next..last, and the size of the block the
    // next reservation asks for.
    struct KeyBlock {
        int64_t next = 1;
        int64_t last = 0;
        int64_t blockSize = 0;
    };
    std::unordered_map<int64_t, KeyBlock> keyBlocks;
    // The file's schema version (SQLite's schema cookie) when the store was
    // opened; -1 when not known (a read-only store).
    int64_t schemaVersion = -1;
    // What the store derived from the file and its model, left with the
    // connection when the store lets it go (see releaseConnection): a store
    // that takes the connection again with the same model, while the file's
    // schema version is still the one recorded, adopts it instead of
    // checking the tables, reading the entity numbers, building the schema
    // and its statements, and creating indexes again.
    struct Carried : sqlite::ConnectionState {
        std::shared_ptr<const ManagedObjectModel> model;
        int64_t schemaVersion = -1;
        std::unique_ptr<sqlite::Schema> schema;
        std::unordered_map<const sqlite::Table*, std::string> selectColumns;
        std::unordered_map<const EntityDescription*, sqlite::EntityStatements> statements;
        std::unordered_map<const RelationshipDescription*, sqlite::MemberKeyStatements> memberKeyStatements;
        std::unordered_map<std::string, FetchStatement> fetchStatements;
        std::unordered_map<std::string, sqlite::ShapedFetch> shapedFetches;
        std::unordered_map<int64_t, KeyBlock> keyBlocks;
    };
    // Lets the connection go, leaving what was derived with it when the
    // store was opened for writing with `model`.
    void releaseConnection(const std::shared_ptr<const ManagedObjectModel>& model);
    // Takes what Carried holds.
    void adopt(Carried& carried);
    [[nodiscard]] ErrorPtr readyError() const {
        return db ? nullptr : makeError(PersistentStoreOperationError, "The store has been removed.");
    }
};

}  // namespace plat::coredata
