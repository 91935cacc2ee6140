// SQLiteStore: the store type "SQLite" — objects kept in one SQLite file that
// several coordinators, in one process or in several, may open at once.
//
// The file runs in write-ahead-log mode (readers never wait for a writer)
// with a busy time-out (a writer waits up to kBusyTimeoutMilliseconds for
// another writer, then the call fails). Each save is one transaction that
// first checks the versions of the rows it updates or deletes (133020 when
// another coordinator changed one), so a process killed during a save leaves
// the file as it was before or after that save. Primary keys are reserved in
// their own committed transaction and never handed out twice. The store UUID,
// the model's version hashes and the model itself are kept in the file, so
// every coordinator builds the same object-ID URIs and an older file can be
// migrated in place (lightweight migration, inside one transaction).
//
// Predicates and sort descriptors become SQL where SQLite gives the same
// answer as the in-memory evaluation; the rest is evaluated in memory on the
// rows the SQL selects, so fetchRows is always exact. The layout of the file
// is described in docs/coredata.md.
//
// Threads: like every store, called by its coordinator under the
// coordinator's lock; the static functions may be called from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/coredata/PersistentStore.h"

namespace plat::coredata {

class MappingModel;
namespace sqlite {
class Statement;
struct Bind;
struct EntityLayout;
struct EntityStatements;
struct ShapedFetch;
struct Table;
struct ToManyLayout;
}  // namespace sqlite

class SQLiteStore : public PersistentStore {
  public:
    static constexpr int kBusyTimeoutMilliseconds = 10000;

    SQLiteStore(std::optional<plat::URL> url, std::string configuration, Dictionary options);
    ~SQLiteStore() override;

    std::string type() const override { return SQLiteStoreType; }
    // Opens or creates the file. Errors: 134080 when it cannot be opened; 259
    // for a file that is not a SQLite store (damaged, or another format);
    // 134010 for another store type's file; 134100 when the model does not
    // match the file and migration was not asked for; 134140 when automatic
    // migration was asked for without inferring the mapping; 134190 when no
    // mapping can be inferred.
    [[nodiscard]] ErrorPtr load(const std::shared_ptr<const ManagedObjectModel>& model) override;
    Result<std::vector<SnapshotPtr>> fetchRows(const FetchRequest& request,
                                               const EntityDescription& entity) override;
    // Reads only the named properties' columns when SQL filters and orders
    // by itself (otherwise whole rows, for the in-memory pass).
    Result<std::vector<SnapshotPtr>> fetchRowsReading(const FetchRequest& request,
                                                      const EntityDescription& entity,
                                                      const std::vector<std::string>& propertyNames) override;
    Result<std::size_t> countRows(const FetchRequest& request, const EntityDescription& entity) override;
    Result<SnapshotPtr> rowForID(const ManagedObjectID& id) override;
    Result<std::vector<bool>> rowsExist(const std::vector<ManagedObjectIDPtr>& ids) override;
    Result<std::vector<ManagedObjectIDPtr>> membersOf(const ManagedObjectID& id,
                                                      const RelationshipDescription& relationship) override;
    Result<std::vector<int64_t>> reservePrimaryKeys(const EntityDescription& entity,
                                                    std::size_t count) override;
    // Every entity's keys in one transaction: one commit (and one sync of
    // the file) however many entities a save inserts.
    Result<std::vector<std::vector<int64_t>>> reservePrimaryKeys(
        const std::vector<KeyRequest>& requests) override;
    [[nodiscard]] ErrorPtr save(const StoreChanges& changes) override;
    void unload() override;

    // Writes the metadata now (it is also written with every save).
    [[nodiscard]] ErrorPtr writeMetadata() override;

    // True when path holds a SQLite database (by its header).
    static bool isSQLiteStoreFile(const std::string& path);
    // The metadata of the store file at path, read without opening a store.
    // Errors: 260 for a missing file, 259 for a file that is not a store.
    static Result<Dictionary> metadataForStoreAtPath(const std::string& path);
    // Replaces the metadata of the store file at path, keeping the store's own
    // keys (type, UUID, model hashes).
    [[nodiscard]] static ErrorPtr setMetadataForStoreAtPath(const Dictionary& metadata,
                                                            const std::string& path);

    // For reliability tests: called at named points of a save ("save.begin",
    // "save.row" after each row written, "save.commit" just before the commit,
    // "save.end"), so that a test process can kill itself there. Null by
    // default; set it before opening stores.
    using TestHook = void (*)(const char* point);
    static void setTestHook(TestHook hook);

  private:
    struct Impl;
    enum class RowWrite { Insert, Update, Delete };

    // Opening (SQLiteStoreFile.cpp).
    [[nodiscard]] ErrorPtr configureConnection();
    [[nodiscard]] ErrorPtr openFailure(ErrorPtr error);
    [[nodiscard]] ErrorPtr openSchema(const std::shared_ptr<const ManagedObjectModel>& model,
                                      bool reusedConnection);
    // Adopts what the connection's store before left with it (see
    // SQLiteStore::Impl::Carried) when the file's schema is unchanged since;
    // `unchanged` says whether it did.
    [[nodiscard]] ErrorPtr reopenUnchanged(const std::shared_ptr<const ManagedObjectModel>& model,
                                           bool& unchanged);
    [[nodiscard]] ErrorPtr createStore(const ManagedObjectModel& model);
    [[nodiscard]] ErrorPtr openExisting(const ManagedObjectModel& model);
    [[nodiscard]] ErrorPtr migrate(const ManagedObjectModel& model, Dictionary& metadata,
                                   std::map<std::string, int64_t>& numbers);
    [[nodiscard]] ErrorPtr rebuildTable(const sqlite::Table& to, const sqlite::Table* from,
                                        const MappingModel& mapping,
                                        const std::map<std::string, int64_t>& numbers);
    [[nodiscard]] ErrorPtr writeMetadataRow(const Dictionary& metadata);

    // Rows (SQLiteStore.cpp).
    // The last to-one value read for a property: the Value holding the ID,
    // and the ID (kept alive by the Value); of a string attribute, the last
    // string (id null).
    struct RowTarget {
        const ManagedObjectID* id = nullptr;
        Value value;
    };
    // What a query's rows share as they are decoded: the last to-one value
    // per property, and the layout and plan of the last row's entity.
    struct RowReading {
        std::vector<RowTarget> targets;
        int64_t entityNumber = 0;
        const sqlite::EntityLayout* layout = nullptr;
        const sqlite::EntityStatements* plan = nullptr;
    };
    // With `reading` (kept across the rows of a query), a to-one naming the
    // same row as the one before shares its ID and the Value holding it, a
    // string equal to the one before in its column shares its Value, and a
    // row of the same entity as the one before looks nothing up.
    Result<SnapshotPtr> decodeRow(const sqlite::Statement& s, RowReading* reading = nullptr);
    // fetchRows; with `reading`, the other properties' columns are selected as NULL.
    Result<std::vector<SnapshotPtr>> fetchRowsSelecting(const FetchRequest& request,
                                                        const EntityDescription& entity,
                                                        const std::vector<std::string>* reading);
    // Binds a fetch statement, runs it and decodes its rows; resets it.
    Result<std::vector<SnapshotPtr>> readRows(sqlite::Statement& s, const std::vector<sqlite::Bind>& binds);
    std::vector<SnapshotPtr> finishInMemory(const FetchRequest& request, bool filtered, bool sorted,
                                            std::vector<SnapshotPtr> rows);
    // Runs a fetch of a shape fetched before with this request's values.
    Result<std::vector<SnapshotPtr>> fetchShaped(const FetchRequest& request, sqlite::ShapedFetch& fetch,
                                                 std::vector<sqlite::Bind>& binds);
    // Puts rows read in key order when inKeyOrderHere, then filters, orders
    // and windows in memory what SQL did not.
    Result<std::vector<SnapshotPtr>> finishRows(const FetchRequest& request, bool exact, bool sorted,
                                                bool inKeyOrderHere, bool windowInSQL,
                                                Result<std::vector<SnapshotPtr>> rows);
    // Binds the plan's columns from `first` on; with `only`, just the slots
    // it marks (an update of the changed columns). The row's values are bound
    // without SQLite's copy, and the encodings of its transformed values are
    // added to `kept`: both must outlive the statement's next reset.
    [[nodiscard]] ErrorPtr bindRow(sqlite::Statement& s, int first, const sqlite::EntityStatements& plan,
                                   const StoreSnapshot& row, std::vector<Data>& kept,
                                   const std::string* only = nullptr);
    // The entity, layout and plan of a save's last insert, and the rows of
    // its run not written yet, so that a run of inserts of one entity looks
    // them up once and writes its rows a group at a time (defined in the
    // .cpp).
    struct InsertRun;
    // `before` (updates only, may be null): the row as read at row.version.
    // `run` (inserts only, may be null): kept from one insert to the next;
    // the row may be left pending in it (see writePendingInserts).
    [[nodiscard]] ErrorPtr writeRow(const StoreSnapshot& row, RowWrite kind,
                                    const StoreSnapshot* before = nullptr, InsertRun* run = nullptr);
    // Writes the rows a run holds back.
    [[nodiscard]] ErrorPtr writePendingInserts(InsertRun& run);
    [[nodiscard]] ErrorPtr removeLinks(const ManagedObjectID& id);
    // The row a save writes for an ID, or null.
    using RowInSave = std::function<const StoreSnapshot*(const ManagedObjectIDPtr&)>;
    [[nodiscard]] ErrorPtr writeToMany(const StoreChanges::ToMany& change, const RowInSave& rowInSave);
    [[nodiscard]] ErrorPtr writeMemberKeys(const StoreChanges::ToMany& change,
                                           const sqlite::EntityLayout& owner,
                                           const sqlite::ToManyLayout& layout, const RowInSave& rowInSave);

    std::unique_ptr<Impl> impl_;
};

}  // namespace plat::coredata
