// The binary store's file writer: the store's metadata and rows as the bytes
// of one file. Included only by BinaryStore.cpp.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/coredata/detail/BinaryValueCoding.h"

namespace plat::coredata {

class BinaryStore::FileWriter {
  public:
    explicit FileWriter(const BinaryStore& store) : store_(store) {
        auto entities = store.model()->entities();
        for (const auto& e : entities)
            names_.push_back(e->name());
        std::sort(names_.begin(), names_.end());
        for (std::size_t i = 0; i < names_.size(); ++i)
            index_[names_[i]] = i;
    }

    Result<Data> write() {
        try {
            binary::Writer file, metadata, objects;
            file.bytes(binary::kMagic.data(), binary::kMagic.size());
            file.fixed(binary::kFormatVersion, 4);
            binary::encodeValue(metadata, Value(store_.metadata()), 0);
            writeObjects(objects);
            file.section(metadata);
            file.section(objects);
            return Data(std::move(file.buffer()));
        } catch (const binary::Unstorable& u) {
            Dictionary info;
            info.set(UnderlyingErrorKey, Value(ObjectPtr(u.error)));
            return makeError(PersistentStoreSaveError,
                             "The binary store could not store a value: " + u.error->localizedDescription(),
                             std::move(info));
        }
    }

  private:
    void writeObjects(binary::Writer& w) {
        w.varint(names_.size());
        for (const auto& name : names_)
            w.text(name);
        std::map<std::string, std::vector<const Row*>> byEntity;
        for (const auto& [root, table] : store_.tables_) {
            for (const auto& [key, row] : table.rows)
                byEntity[row.snapshot->objectID->entity()->name()].push_back(&row);
        }
        w.varint(byEntity.size());
        for (const auto& [name, rows] : byEntity)
            writeBlock(w, *store_.model()->entityNamed(name), rows);
        w.varint(store_.tables_.size());
        for (const auto& [root, table] : store_.tables_) {
            w.text(root);
            w.varint(static_cast<uint64_t>(table.lastKey));
        }
    }

    void writeBlock(binary::Writer& w, const EntityDescription& entity, const std::vector<const Row*>& rows) {
        std::vector<const PropertyDescription*> columns;
        for (const PropertyDescription* p : entity.properties()) {
            if (!p->isTransient())
                columns.push_back(p);
        }
        w.varint(index_.at(entity.name()));
        w.varint(columns.size());
        for (const PropertyDescription* p : columns)
            writeColumn(w, *p);
        w.varint(rows.size());
        for (const Row* row : rows) {
            w.varint(static_cast<uint64_t>(row->snapshot->objectID->primaryKey()));
            w.varint(row->snapshot->version);
            for (const PropertyDescription* p : columns)
                writeSlot(w, *p, *row);
        }
    }

    static void writeColumn(binary::Writer& w, const PropertyDescription& p) {
        w.text(p.name());
        if (p.isAttribute()) {
            w.u8(binary::ColumnAttribute);
            w.varint(static_cast<uint64_t>(static_cast<const AttributeDescription&>(p).attributeType()));
            return;
        }
        const auto& r = static_cast<const RelationshipDescription&>(p);
        w.u8(!r.isToMany() ? binary::ColumnToOne
                           : (r.isOrdered() ? binary::ColumnOrderedToMany : binary::ColumnToMany));
    }

    // Whether a reference names a row of the store. A row deleted since (the
    // destination of a to-one without inverse) is not written, so the file
    // never names a missing object; an object of another store fails the
    // save, as in the SQLite store.
    bool stored(const ManagedObjectID& id) const {
        if (id.isTemporaryID() || id.storeIdentifier() != store_.identifier())
            throw binary::Unstorable{
                makeError(PersistentStoreSaveError,
                          "A relationship points to " + id.description() + ", which is not in this store.")};
        auto table = store_.tables_.find(id.entity()->rootEntity()->name());
        return table != store_.tables_.end() && table->second.rows.count(id.primaryKey()) > 0;
    }

    void writeRef(binary::Writer& w, const ManagedObjectID& id) {
        w.varint(index_.at(id.entity()->name()));
        w.varint(static_cast<uint64_t>(id.primaryKey()));
    }

    void writeSlot(binary::Writer& w, const PropertyDescription& p, const Row& row) {
        const Value& v = row.snapshot->values[p.index()];
        if (p.isAttribute()) {
            const auto& a = static_cast<const AttributeDescription&>(p);
            if (a.attributeType() != AttributeType::Transformable || v.isNull())
                return binary::encodeValue(w, v, 0);
            auto stored = encodeTransformable(v, a.valueTransformerName());
            if (!stored)
                throw binary::Unstorable{stored.error()};
            w.u8(binary::TagTransformed);
            return w.text(stored->view());
        }
        const auto& r = static_cast<const RelationshipDescription&>(p);
        if (!r.isToMany()) {
            auto id = ManagedObjectID::fromValue(v);
            if (!id || !stored(*id))
                return w.u8(binary::TagNull);
            w.u8(binary::TagRef);
            return writeRef(w, *id);
        }
        static const std::vector<ManagedObjectIDPtr> none;
        const auto& all = r.toManyIndex() < row.toMany.size() ? row.toMany[r.toManyIndex()] : none;
        std::vector<const ManagedObjectID*> members;
        for (const auto& id : all) {
            if (stored(*id))
                members.push_back(id.get());
        }
        w.varint(members.size());
        for (const auto* id : members)
            writeRef(w, *id);
    }

    const BinaryStore& store_;
    std::vector<std::string> names_;
    std::unordered_map<std::string, uint64_t> index_;
};

}  // namespace plat::coredata
