// How the SQLite store lays a model out in tables.
//
// One table per root entity ("Z_<Root>", or "Z_<Root>_1" for a root named
// like one of the store's own tables) holds the rows of the root and of
// all its sub-entities: Z_PK (the primary key), Z_ENT (the row's entity
// number), Z_OPT (the row version), then one column per persistent attribute
// and to-one relationship of every entity of the family, a second column with
// the destination's entity number for to-ones whose destination has
// sub-entities, and an order column for each ordered to-many relationship
// whose inverse is one of the family's to-ones. A to-many relationship whose
// inverse is a to-one is read back through that to-one's column; every other
// to-many relationship (many-to-many, no inverse) has a join table
// "Z_<Entity>_<relationship>" (Z_OWNER, Z_MEMBER, Z_ORDER).
//
// Entity numbers come from the store (Z_ENTITIES) so that they stay the same
// when a migration adds or removes entities. Each column carries a key naming
// what it stores ("a:Task.title"), by which a migration matches old columns to
// new ones.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Result.h"

namespace plat::coredata::sqlite {

enum class ColumnKind { Attribute, ToOneKey, ToOneEntity, Order };

struct Column {
    std::string name;  // unquoted
    ColumnKind kind;
    // The attribute or to-one relationship; for Order the ordered to-many.
    const PropertyDescription* property = nullptr;
    std::string key;
    bool indexed = false;
};

struct Table {
    std::string name;
    const EntityDescription* root = nullptr;
    std::vector<Column> columns;  // after Z_PK, Z_ENT, Z_OPT
    bool singleEntity = true;     // the family is the root alone
};

// Where one entity's values live.
struct EntityLayout {
    const EntityDescription* entity = nullptr;
    int64_t number = 0;
    const Table* table = nullptr;
    // By property index: the column in table->columns, or -1 (to-many and
    // transient properties).
    std::vector<int> valueColumn;
    // By property index: the entity-number column of a to-one, or -1.
    std::vector<int> entityColumn;
};

struct ToManyLayout {
    const RelationshipDescription* relationship = nullptr;
    const Table* memberTable = nullptr;  // the destination's table
    bool joinTable = false;
    std::string joinTableName;  // joinTable only
    int keyColumn = -1;         // !joinTable: the inverse to-one's column in memberTable
    int orderColumn = -1;       // !joinTable and ordered: the order column in memberTable
};

class Schema {
  public:
    // numbers: entity name -> entity number, for every entity of the model.
    // Errors (134020) when two tables or columns would only differ in case.
    static Result<std::unique_ptr<Schema>> build(const ManagedObjectModel& model,
                                                 const std::map<std::string, int64_t>& numbers);

    const EntityLayout& entity(const EntityDescription& entity) const { return entities_.at(&entity); }
    const EntityLayout* entityNamed(std::string_view name) const;
    // The layout of an entity of this schema's model by its address, else of
    // the entity of that name (an entity of another instance of the model).
    const EntityLayout* entityOf(const EntityDescription& entity) const;
    const EntityLayout* entityForNumber(int64_t number) const;
    const ToManyLayout& toMany(const RelationshipDescription& r) const { return toMany_.at(&r); }
    const std::vector<std::unique_ptr<Table>>& tables() const { return tables_; }
    const Table* tableNamed(const std::string& name) const;
    // Join tables by name.
    const std::map<std::string, const ToManyLayout*>& joinTables() const { return joinTables_; }
    // Join tables whose owner is entity (or one of its ancestors), and those
    // whose members may be rows of entity.
    std::vector<const ToManyLayout*> joinTablesOwnedBy(const EntityDescription& entity) const;
    std::vector<const ToManyLayout*> joinTablesHolding(const EntityDescription& entity) const;

    // CREATE statements for a table under the given name, and its indexes.
    static std::string createTableSQL(const Table& table, const std::string& name);
    static std::vector<std::string> createIndexSQL(const Table& table);
    static std::vector<std::string> createJoinTableSQL(const std::string& name);
    // The SQL type of an attribute's column.
    static const char* columnType(const Column& column);

  private:
    Schema() = default;
    [[nodiscard]] ErrorPtr addTable(const ManagedObjectModel& model, const EntityDescription& root,
                                    const std::map<std::string, int64_t>& numbers);
    [[nodiscard]] ErrorPtr addToManys(const ManagedObjectModel& model);

    std::vector<std::unique_ptr<Table>> tables_;
    std::unordered_map<const EntityDescription*, EntityLayout> entities_;
    std::unordered_map<int64_t, const EntityLayout*> byNumber_;
    std::map<std::string, const EntityLayout*, std::less<>> byName_;
    std::unordered_map<const RelationshipDescription*, ToManyLayout> toMany_;
    std::map<std::string, const ToManyLayout*> joinTables_;
};

}  // namespace plat::coredata::sqlite
