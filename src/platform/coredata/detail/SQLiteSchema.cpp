#include "platform/coredata/detail/SQLiteSchema.h"

#include <algorithm>
#include <set>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/detail/SQLiteDatabase.h"

namespace plat::coredata::sqlite {
namespace {

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// Hands out column names unique within one table, ignoring case as SQLite does.
class ColumnNames {
  public:
    std::string allocate(const std::string& wanted) {
        std::string base = upper(wanted), name = base;
        for (int n = 1; used_.count(name); ++n)
            name = base + "_" + std::to_string(n);
        used_.insert(name);
        return name;
    }

  private:
    std::set<std::string> used_{"Z_PK", "Z_ENT", "Z_OPT"};
};

// The store's own tables (and the one a migration builds in) take these
// names, which SQLite compares ignoring case.
bool reservedTableName(const std::string& name) {
    const std::string u = upper(name);
    return u == "Z_METADATA" || u == "Z_ENTITIES" || u == "Z_MIGRATING";
}

// "Z_<Root>", moved aside when an entity is named like one of the store's own
// tables ("Metadata" would otherwise share Z_METADATA).
std::string tableNameFor(const EntityDescription& root) {
    std::string name = "Z_" + root.name();
    return reservedTableName(name) ? name + "_1" : name;
}

bool storesKeyColumn(const RelationshipDescription* inverse) {
    return inverse && !inverse->isToMany() && !inverse->isTransient();
}

}  // namespace

Result<std::unique_ptr<Schema>> Schema::build(const ManagedObjectModel& model,
                                              const std::map<std::string, int64_t>& numbers) {
    std::unique_ptr<Schema> schema(new Schema);
    for (const auto& entity : model.entities()) {
        if (!entity->superentity()) {
            if (auto error = schema->addTable(model, *entity, numbers))
                return error;
        }
    }
    if (auto error = schema->addToManys(model))
        return error;
    std::set<std::string> names;
    auto claim = [&](const std::string& name) -> ErrorPtr {
        if (!names.insert(upper(name)).second)
            return makeError(
                PersistentStoreIncompatibleSchemaError,
                "The model needs two tables named \"" + name + "\" (names ignore case in SQLite).");
        return nullptr;
    };
    for (const auto& table : schema->tables_) {
        if (auto error = claim(table->name))
            return error;
    }
    for (const auto& [name, layout] : schema->joinTables_) {
        if (auto error = claim(name))
            return error;
    }
    return schema;
}

ErrorPtr Schema::addTable(const ManagedObjectModel& model, const EntityDescription& root,
                          const std::map<std::string, int64_t>& numbers) {
    auto table = std::make_unique<Table>();
    table->name = tableNameFor(root);
    table->root = &root;
    table->singleEntity = root.selfAndDescendants().size() == 1;
    ColumnNames names;
    for (const EntityDescription* e : root.selfAndDescendants()) {
        for (const PropertyDescription* p : e->ownProperties()) {
            if (p->isTransient())
                continue;
            const std::string key = e->name() + "." + p->name();
            if (p->isAttribute()) {
                table->columns.push_back(
                    {names.allocate("Z" + p->name()), ColumnKind::Attribute, p, "a:" + key, p->isIndexed()});
                continue;
            }
            auto* r = static_cast<const RelationshipDescription*>(p);
            if (r->isToMany())
                continue;
            table->columns.push_back(
                {names.allocate("Z" + p->name()), ColumnKind::ToOneKey, p, "k:" + key, true});
            if (r->destinationEntity()->selfAndDescendants().size() > 1)
                table->columns.push_back({names.allocate("Z" + p->name() + "_ENT"), ColumnKind::ToOneEntity,
                                          p, "e:" + key, false});
        }
    }
    // Positions of ordered to-many relationships kept on their members' rows.
    for (const auto& owner : model.entities()) {
        for (const PropertyDescription* p : owner->ownProperties()) {
            if (!p->isRelationship() || p->isTransient())
                continue;
            auto* r = static_cast<const RelationshipDescription*>(p);
            if (r->isOrdered() && storesKeyColumn(r->inverseRelationship()) &&
                r->inverseRelationship()->entity()->rootEntity() == &root)
                table->columns.push_back({names.allocate("Z_FOK_" + r->name()), ColumnKind::Order, r,
                                          "o:" + owner->name() + "." + r->name(), false});
        }
    }
    std::unordered_map<const PropertyDescription*, int> keyColumns, entityColumns;
    for (std::size_t i = 0; i < table->columns.size(); ++i) {
        const Column& c = table->columns[i];
        if (c.kind == ColumnKind::Attribute || c.kind == ColumnKind::ToOneKey)
            keyColumns[c.property] = static_cast<int>(i);
        else if (c.kind == ColumnKind::ToOneEntity)
            entityColumns[c.property] = static_cast<int>(i);
    }
    for (const EntityDescription* e : root.selfAndDescendants()) {
        auto number = numbers.find(e->name());
        if (number == numbers.end())
            return makeError(CoreDataError, "The store has no number for the entity " + e->name() + ".");
        EntityLayout layout;
        layout.entity = e;
        layout.number = number->second;
        layout.table = table.get();
        layout.valueColumn.assign(e->properties().size(), -1);
        layout.entityColumn.assign(e->properties().size(), -1);
        for (const PropertyDescription* p : e->properties()) {
            if (auto it = keyColumns.find(p); it != keyColumns.end())
                layout.valueColumn[p->index()] = it->second;
            if (auto it = entityColumns.find(p); it != entityColumns.end())
                layout.entityColumn[p->index()] = it->second;
        }
        auto [it, fresh] = entities_.emplace(e, std::move(layout));
        byName_[e->name()] = &it->second;
        if (!byNumber_.emplace(it->second.number, &it->second).second)
            return makeError(CoreDataError,
                             "Two entities share the number " + std::to_string(number->second) + ".");
    }
    tables_.push_back(std::move(table));
    return nullptr;
}

ErrorPtr Schema::addToManys(const ManagedObjectModel& model) {
    for (const auto& owner : model.entities()) {
        for (const PropertyDescription* p : owner->ownProperties()) {
            if (!p->isRelationship() || p->isTransient())
                continue;
            auto* r = static_cast<const RelationshipDescription*>(p);
            if (!r->isToMany())
                continue;
            ToManyLayout layout;
            layout.relationship = r;
            layout.memberTable = entities_.at(r->destinationEntity()).table;
            const RelationshipDescription* inverse = r->inverseRelationship();
            if (storesKeyColumn(inverse)) {
                const EntityLayout& member = entities_.at(inverse->entity());
                layout.keyColumn = member.valueColumn[inverse->index()];
                if (r->isOrdered()) {
                    const auto& columns = layout.memberTable->columns;
                    for (std::size_t i = 0; i < columns.size(); ++i) {
                        if (columns[i].kind == ColumnKind::Order && columns[i].property == r)
                            layout.orderColumn = static_cast<int>(i);
                    }
                }
            } else {
                layout.joinTable = true;
                layout.joinTableName = "Z_" + owner->name() + "_" + r->name();
            }
            auto [it, fresh] = toMany_.emplace(r, std::move(layout));
            if (it->second.joinTable)
                joinTables_[it->second.joinTableName] = &it->second;
        }
    }
    return nullptr;
}

const EntityLayout* Schema::entityNamed(std::string_view name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
}

const EntityLayout* Schema::entityOf(const EntityDescription& entity) const {
    auto it = entities_.find(&entity);
    return it != entities_.end() ? &it->second : entityNamed(entity.name());
}

const EntityLayout* Schema::entityForNumber(int64_t number) const {
    auto it = byNumber_.find(number);
    return it == byNumber_.end() ? nullptr : it->second;
}

const Table* Schema::tableNamed(const std::string& name) const {
    for (const auto& t : tables_) {
        if (t->name == name)
            return t.get();
    }
    return nullptr;
}

std::vector<const ToManyLayout*> Schema::joinTablesOwnedBy(const EntityDescription& entity) const {
    std::vector<const ToManyLayout*> out;
    for (const auto& [name, layout] : joinTables_) {
        if (entity.isKindOfEntity(layout->relationship->entity()))
            out.push_back(layout);
    }
    return out;
}

std::vector<const ToManyLayout*> Schema::joinTablesHolding(const EntityDescription& entity) const {
    std::vector<const ToManyLayout*> out;
    for (const auto& [name, layout] : joinTables_) {
        if (entity.isKindOfEntity(layout->relationship->destinationEntity()))
            out.push_back(layout);
    }
    return out;
}

const char* Schema::columnType(const Column& column) {
    if (column.kind != ColumnKind::Attribute)
        return "INTEGER";
    switch (static_cast<const AttributeDescription*>(column.property)->attributeType()) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Boolean:
            return "INTEGER";
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Date:
            return "REAL";
        case AttributeType::String:
        case AttributeType::Decimal:
        case AttributeType::URI:
            return "TEXT";
        default:
            return "BLOB";
    }
}

std::string Schema::createTableSQL(const Table& table, const std::string& name) {
    std::string sql = "CREATE TABLE " + quoteIdentifier(name) +
                      " (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER NOT NULL, Z_OPT INTEGER NOT NULL";
    for (const Column& c : table.columns)
        sql += ", " + quoteIdentifier(c.name) + " " + columnType(c);
    return sql + ")";
}

std::vector<std::string> Schema::createIndexSQL(const Table& table) {
    // Compound indexes first: every named attribute must have its column here.
    std::vector<std::string> compound;
    std::set<std::string> leading;  // first columns of indexes of two or more
    for (const EntityDescription* e : table.root->selfAndDescendants()) {
        for (const auto& names : e->compoundIndexes()) {
            std::string indexName = table.name, columns;
            std::vector<const Column*> found;
            for (const auto& attribute : names) {
                const PropertyDescription* p = e->propertyNamed(attribute);
                auto c = std::find_if(table.columns.begin(), table.columns.end(), [&](const Column& column) {
                    return p && column.property == p &&
                           (column.kind == ColumnKind::Attribute || column.kind == ColumnKind::ToOneKey);
                });
                if (c == table.columns.end()) {
                    found.clear();
                    break;
                }
                found.push_back(&*c);
                indexName += "_" + c->name;
                columns += (columns.empty() ? "" : ", ") + quoteIdentifier(c->name);
            }
            if (found.empty())
                continue;
            if (found.size() > 1)
                leading.insert(found.front()->name);
            compound.push_back("CREATE INDEX IF NOT EXISTS " + quoteIdentifier(indexName + "_INDEX") +
                               " ON " + quoteIdentifier(table.name) + " (" + columns + ")");
        }
    }
    std::vector<std::string> out;
    auto index = [&](const std::string& column) {
        out.push_back("CREATE INDEX IF NOT EXISTS " + quoteIdentifier(table.name + "_" + column + "_INDEX") +
                      " ON " + quoteIdentifier(table.name) + " (" + quoteIdentifier(column) + ")");
    };
    if (!table.singleEntity)
        index("Z_ENT");
    for (const Column& c : table.columns) {
        // A compound index that begins with the column finds its rows as
        // well: an index of the column alone would only cost a B-tree
        // insert per row written. Stores made with it keep it (it is still
        // kept up to date there, and nothing reads which indexes exist).
        if (c.indexed && !leading.count(c.name))
            index(c.name);
    }
    out.insert(out.end(), compound.begin(), compound.end());
    return out;
}

std::vector<std::string> Schema::createJoinTableSQL(const std::string& name) {
    return {"CREATE TABLE " + quoteIdentifier(name) +
                " (Z_OWNER INTEGER NOT NULL, Z_MEMBER INTEGER NOT NULL, Z_ORDER INTEGER NOT NULL DEFAULT 0,"
                " PRIMARY KEY (Z_OWNER, Z_MEMBER)) WITHOUT ROWID",
            "CREATE INDEX " + quoteIdentifier(name + "_MEMBER_INDEX") + " ON " + quoteIdentifier(name) +
                " (Z_MEMBER)"};
}

}  // namespace plat::coredata::sqlite
