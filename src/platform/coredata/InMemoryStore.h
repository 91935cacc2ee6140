// InMemoryStore: a store that keeps its rows in memory, for tests and
// scratch data; and the base of the binary store, which loads and writes the
// same rows as one file. Predicates are evaluated in memory, key paths
// through relationships included.
#pragma once

#include <map>
#include <unordered_map>

#include "platform/coredata/PersistentStore.h"

namespace plat::coredata {

class InMemoryStore : public PersistentStore {
  public:
    InMemoryStore(std::optional<plat::URL> url, std::string configuration, Dictionary options);

    std::string type() const override { return InMemoryStoreType; }
    [[nodiscard]] ErrorPtr load(const std::shared_ptr<const ManagedObjectModel>& model) override;
    Result<std::vector<SnapshotPtr>> fetchRows(const FetchRequest& request,
                                               const EntityDescription& entity) override;
    Result<SnapshotPtr> rowForID(const ManagedObjectID& id) override;
    Result<std::vector<ManagedObjectIDPtr>> membersOf(const ManagedObjectID& id,
                                                      const RelationshipDescription& relationship) override;
    Result<std::vector<int64_t>> reservePrimaryKeys(const EntityDescription& entity,
                                                    std::size_t count) override;
    [[nodiscard]] ErrorPtr save(const StoreChanges& changes) override;

  protected:
    struct Row {
        SnapshotPtr snapshot;
        std::vector<std::vector<ManagedObjectIDPtr>> toMany;  // by toManyIndex
    };
    // Rows of one root entity and its sub-entities, by primary key.
    struct Table {
        std::map<int64_t, Row> rows;
        int64_t lastKey = 0;
    };

    Table& tableFor(const EntityDescription& entity);
    // Drops deleted rows from every to-many that still lists them (those
    // without inverse; the others lose them through the delete rules).
    void forgetDeletedMembers(const StoreChanges& changes);
    Row* findRow(const ManagedObjectID& id);
    // Rows by root entity name.
    std::map<std::string, Table> tables_;

  private:
    [[nodiscard]] ErrorPtr checkVersions(const StoreChanges& changes);
    void applyToMany(const StoreChanges::ToMany& change);
};

}  // namespace plat::coredata
