// The binary store's file reader: the objects section back into the store's
// tables. Included only by BinaryStore.cpp.
#pragma once

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/coredata/detail/BinaryValueCoding.h"

namespace plat::coredata {

// Reads the objects section into the store's tables. With migrating set,
// rows are matched to the model by name: unknown entities and properties are
// dropped, properties the file lacks start at their defaults, and values that
// do not fit a changed type refuse the load (134140). Without it, the file
// must describe exactly the model's properties.
class BinaryStore::FileReader {
  public:
    FileReader(BinaryStore& store, bool migrating) : store_(store), migrating_(migrating) {}

    void read(binary::Reader& r) {
        readEntityTable(r);
        std::size_t blocks = r.count("entity blocks", 3);
        for (std::size_t i = 0; i < blocks; ++i)
            readBlock(r);
        readCounters(r);
        if (!r.atEnd())
            binary::corrupt("unexpected bytes after the objects");
        build();
    }

  private:
    static bool isKnownAttributeType(uint64_t raw) {
        if (raw > static_cast<uint64_t>(INT_MAX))
            return false;
        auto type = static_cast<AttributeType>(raw);
        return type == AttributeType::Undefined || attributeTypeFromName(attributeTypeName(type)) == type;
    }

    struct Ref {
        uint64_t entity;
        int64_t key;
    };
    struct Column {
        std::string name;
        uint8_t kind;
        AttributeType storedType = AttributeType::Undefined;
        const PropertyDescription* property = nullptr;  // null: not in the model, skipped
    };
    struct Pending {
        const EntityDescription* entity;
        int64_t key;
        uint64_t version;
        RowValues values;
        std::vector<std::pair<std::size_t, Ref>> toOne;
        std::vector<std::pair<const RelationshipDescription*, std::vector<Ref>>> toMany;
    };

    [[noreturn]] void mismatch(const std::string& reason) {
        if (migrating_)
            throw binary::Refusal{MigrationMissingMappingModelError, reason};
        binary::corrupt(reason);
    }

    void readEntityTable(binary::Reader& r) {
        std::size_t count = r.count("entity names");
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view name = r.text("entity name");
            const EntityDescription* entity = store_.model()->entityNamed(name);
            if (!entity && !migrating_)
                binary::corrupt("unknown entity \"" + std::string(name) + "\"");
            entities_.push_back(entity);
        }
    }

    const EntityDescription* entityAt(uint64_t index) {
        if (index >= entities_.size())
            binary::corrupt("entity index out of range");
        return entities_[index];
    }

    void readBlock(binary::Reader& r) {
        const EntityDescription* entity = entityAt(r.varint("entity block"));
        if (entity && entity->isAbstract())
            binary::corrupt("rows of the abstract entity \"" + entity->name() + "\"");
        std::vector<Column> columns = readColumns(r, entity);
        std::vector<std::pair<std::size_t, Value>> defaults = missingColumns(entity, columns);
        std::size_t rows = r.count("rows", 2);
        for (std::size_t i = 0; i < rows; ++i) {
            Pending row{entity, 0, 0, {}, {}, {}};
            readRow(r, columns, row);
            if (!entity)
                continue;
            for (const auto& [index, value] : defaults)
                row.values[index] = value;
            pending_.push_back(std::move(row));
        }
    }

    std::vector<Column> readColumns(binary::Reader& r, const EntityDescription* entity) {
        std::vector<Column> columns(r.count("columns", 2));
        std::unordered_set<const PropertyDescription*> seen;
        for (auto& c : columns) {
            c.name = std::string(r.text("column name"));
            c.kind = r.u8("column kind");
            if (c.kind > binary::ColumnOrderedToMany)
                binary::corrupt("unknown column kind");
            if (c.kind == binary::ColumnAttribute) {
                uint64_t raw = r.varint("attribute type");
                if (!isKnownAttributeType(raw))
                    binary::corrupt("unknown attribute type " + std::to_string(raw));
                c.storedType = static_cast<AttributeType>(raw);
            }
            if (entity)
                c.property = matchColumn(*entity, c);
            if (c.property && !seen.insert(c.property).second)
                binary::corrupt("the property \"" + c.name + "\" is stored twice");
        }
        return columns;
    }

    const PropertyDescription* matchColumn(const EntityDescription& entity, const Column& c) {
        const PropertyDescription* p = entity.propertyNamed(c.name);
        if (!p || p->isTransient()) {
            if (!migrating_)
                binary::corrupt("unknown property \"" + c.name + "\" of " + entity.name());
            return nullptr;
        }
        uint8_t kind = binary::ColumnAttribute;
        if (p->isRelationship()) {
            const auto& rel = static_cast<const RelationshipDescription&>(*p);
            kind = !rel.isToMany() ? binary::ColumnToOne
                                   : (rel.isOrdered() ? binary::ColumnOrderedToMany : binary::ColumnToMany);
        }
        if (kind != c.kind)
            mismatch("the property \"" + c.name + "\" of " + entity.name() + " changed its kind");
        if (kind == binary::ColumnAttribute &&
            c.storedType != static_cast<const AttributeDescription*>(p)->attributeType() && !migrating_)
            binary::corrupt("the attribute \"" + c.name + "\" of " + entity.name() +
                            " is stored with another type");
        return p;
    }

    // Model properties the file does not hold: their defaults when migrating.
    std::vector<std::pair<std::size_t, Value>> missingColumns(const EntityDescription* entity,
                                                              const std::vector<Column>& columns) {
        std::vector<std::pair<std::size_t, Value>> defaults;
        if (!entity)
            return defaults;
        std::vector<bool> present(entity->properties().size(), false);
        for (const auto& c : columns) {
            if (c.property)
                present[c.property->index()] = true;
        }
        for (const PropertyDescription* p : entity->properties()) {
            if (present[p->index()] || p->isTransient())
                continue;
            if (!migrating_)
                binary::corrupt("the property \"" + p->name() + "\" of " + entity->name() + " is missing");
            if (p->isAttribute()) {
                const auto& value = static_cast<const AttributeDescription*>(p)->defaultValue();
                defaults.emplace_back(p->index(), value.value_or(Value()));
            }
        }
        return defaults;
    }

    void readRow(binary::Reader& r, const std::vector<Column>& columns, Pending& row) {
        uint64_t key = r.varint("primary key");
        if (key == 0 || key > static_cast<uint64_t>(INT64_MAX))
            binary::corrupt("invalid primary key");
        row.key = static_cast<int64_t>(key);
        row.version = r.varint("row version");
        if (row.entity)
            row.values.resize(row.entity->properties().size());
        for (const auto& c : columns)
            readSlot(r, c, row);
    }

    void readSlot(binary::Reader& r, const Column& c, Pending& row) {
        if (c.kind == binary::ColumnAttribute)
            return readAttribute(r, c, row);
        if (c.kind == binary::ColumnToOne) {
            uint8_t tag = r.u8("to-one");
            if (tag == binary::TagNull)
                return;
            if (tag != binary::TagRef)
                binary::corrupt("malformed to-one relationship");
            Ref ref = readRef(r);
            if (c.property)
                row.toOne.emplace_back(c.property->index(), ref);
            return;
        }
        std::vector<Ref> refs(r.count("to-many members", 2));
        for (auto& ref : refs)
            ref = readRef(r);
        if (c.property)
            row.toMany.emplace_back(static_cast<const RelationshipDescription*>(c.property), std::move(refs));
    }

    static Ref readRef(binary::Reader& r) {
        uint64_t entity = r.varint("reference");
        uint64_t key = r.varint("reference");
        if (key == 0 || key > static_cast<uint64_t>(INT64_MAX))
            binary::corrupt("invalid reference");
        return Ref{entity, static_cast<int64_t>(key)};
    }

    void readAttribute(binary::Reader& r, const Column& c, Pending& row) {
        Value v;
        if (c.storedType == AttributeType::Transformable) {
            uint8_t tag = r.u8("transformable");
            if (tag == binary::TagTransformed)
                v = decodeStored(r.text("transformable"), c);
            else if (tag != binary::TagNull)
                binary::corrupt("malformed transformable value");
        } else {
            v = binary::decodeValue(r, 0);
        }
        if (!c.property)
            return;
        const auto& a = static_cast<const AttributeDescription&>(*c.property);
        bool storedAsData = c.storedType == AttributeType::Transformable;
        bool wantsData = a.attributeType() == AttributeType::Transformable;
        auto coerced =
            storedAsData == wantsData || v.isNull() ? coerceValue(v, a.attributeType()) : std::nullopt;
        if (!coerced)
            mismatch("a value of \"" + c.name + "\" does not fit its attribute type");
        row.values[a.index()] = std::move(*coerced);
    }

    Value decodeStored(std::string_view bytes, const Column& c) {
        if (!c.property || !c.property->isAttribute())
            return Value();
        const auto& a = static_cast<const AttributeDescription&>(*c.property);
        if (a.attributeType() != AttributeType::Transformable)
            return Value(Data(bytes.data(), bytes.size()));  // refused by the type check
        auto decoded = decodeTransformable(Data(bytes.data(), bytes.size()), a.valueTransformerName());
        if (!decoded)
            throw binary::Refusal{CoreDataError, "the value of \"" + c.name + "\" cannot be decoded: " +
                                                     decoded.error()->localizedDescription()};
        return std::move(*decoded);
    }

    void readCounters(binary::Reader& r) {
        std::size_t count = r.count("key counters", 2);
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view root = r.text("key counter");
            uint64_t last = r.varint("key counter");
            if (last > static_cast<uint64_t>(INT64_MAX))
                binary::corrupt("invalid key counter");
            const EntityDescription* entity = store_.model()->entityNamed(root);
            if (!entity && !migrating_)
                binary::corrupt("a key counter of the unknown entity \"" + std::string(root) + "\"");
            if (entity)
                counters_[entity->rootEntity()] =
                    std::max(counters_[entity->rootEntity()], static_cast<int64_t>(last));
        }
    }

    // The ID a reference names; null when its entity is gone (migrating).
    ManagedObjectIDPtr resolve(const Ref& ref, const RelationshipDescription& r) {
        const EntityDescription* entity = entityAt(ref.entity);
        if (!entity)
            return nullptr;
        auto found = ids_.find({entity, ref.key});
        if (found == ids_.end())
            binary::corrupt("a relationship refers to a missing object");
        if (!entity->isKindOfEntity(r.destinationEntity()))
            mismatch("the relationship \"" + r.name() + "\" refers to an object of another entity");
        return found->second;
    }

    void build() {
        std::unordered_map<const EntityDescription*, std::unordered_set<int64_t>> keysByRoot;
        for (const auto& row : pending_) {
            if (!keysByRoot[row.entity->rootEntity()].insert(row.key).second)
                mismatch("the primary key " + std::to_string(row.key) + " is used twice");
            ids_[{row.entity, row.key}] = store_.objectIDFor(row.entity, row.key);
        }
        for (auto& row : pending_)
            buildRow(row);
        for (const auto& [root, last] : counters_) {
            Table& table = store_.tableFor(*root);
            table.lastKey = std::max(table.lastKey, last);
        }
    }

    void buildRow(Pending& row) {
        auto snapshot = std::make_shared<StoreSnapshot>();
        snapshot->objectID = ids_.at({row.entity, row.key});
        snapshot->version = row.version;
        snapshot->values = std::move(row.values);
        for (const auto& [index, ref] : row.toOne) {
            auto* r = static_cast<const RelationshipDescription*>(row.entity->properties()[index]);
            if (auto id = resolve(ref, *r))
                snapshot->values[index] = Value(ObjectPtr(id));
        }
        Row stored{snapshot, std::vector<std::vector<ManagedObjectIDPtr>>(row.entity->toManyCount())};
        for (const auto& [r, refs] : row.toMany) {
            auto& members = stored.toMany[r->toManyIndex()];
            for (const auto& ref : refs) {
                if (auto id = resolve(ref, *r))
                    members.push_back(std::move(id));
            }
        }
        Table& table = store_.tableFor(*row.entity);
        table.rows[row.key] = std::move(stored);
        table.lastKey = std::max(table.lastKey, row.key);
    }

    struct KeyHash {
        std::size_t operator()(const std::pair<const EntityDescription*, int64_t>& k) const {
            return std::hash<const void*>()(k.first) * 31 + std::hash<int64_t>()(k.second);
        }
    };

    BinaryStore& store_;
    bool migrating_;
    std::vector<const EntityDescription*> entities_;  // by file entity index; null: dropped
    std::vector<Pending> pending_;
    std::map<const EntityDescription*, int64_t> counters_;
    std::unordered_map<std::pair<const EntityDescription*, int64_t>, ManagedObjectIDPtr, KeyHash> ids_;
};

}  // namespace plat::coredata
