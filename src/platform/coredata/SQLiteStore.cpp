#include "platform/coredata/SQLiteStore.h"
#include "platform/coredata/detail/StoreRowView.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <typeinfo>
#include <unordered_map>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/coredata/detail/SQLiteQuery.h"
#include "platform/coredata/detail/SQLiteStoreImpl.h"
#include "platform/foundation/UUID.h"

namespace plat::coredata {

using sqlite::Column;
using sqlite::Database;
using sqlite::EntityLayout;
using sqlite::ResetGuard;
using sqlite::Schema;
using sqlite::Statement;

namespace sqlite {
namespace {

std::atomic<SQLiteStore::TestHook> testHook{nullptr};

// SQLite has no NaN: it binds one as NULL. A NaN of a float or double
// attribute is stored instead as a blob of its 8 bytes (IEEE 754, big-endian),
// which no other value of such a column takes; NULL stays nil.
constexpr std::size_t kNaNBytes = 8;

void bindNaN(Statement& s, int at, double nan) {
    uint64_t bits = 0;
    std::memcpy(&bits, &nan, sizeof bits);
    unsigned char bytes[kNaNBytes];
    for (std::size_t i = 0; i < kNaNBytes; ++i)
        bytes[i] = static_cast<unsigned char>(bits >> (8 * (kNaNBytes - 1 - i)));
    s.bindBlob(at, bytes, kNaNBytes);
}

double readReal(Statement::Cell cell) {
    if (cell.type() != ColumnType::Blob)
        return cell.real();
    const std::string_view blob = cell.blob();
    uint64_t bits = 0;
    for (std::size_t i = 0; i < blob.size() && i < kNaNBytes; ++i)
        bits = (bits << 8) | static_cast<unsigned char>(blob[i]);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return blob.size() == kNaNBytes && std::isnan(value) ? value : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

void hook(const char* point) {
    if (auto h = testHook.load())
        h(point);
}

ErrorPtr run(Database& db, Statement& s, int64_t code, const char* what) {
    int rc = s.step();
    s.reset();
    if (rc != sqlite::kDone)
        return db.lastError(code, what);
    return nullptr;
}

Dictionary hashesOf(const ManagedObjectModel& model) {
    Dictionary hashes;
    for (const auto& [name, hash] : model.entityVersionHashesByName())
        hashes.set(name, Value(hash));
    return hashes;
}

Value versionIdentifiersOf(const ManagedObjectModel& model) {
    Array ids;
    for (const auto& id : model.versionIdentifiers())
        ids.push_back(Value(id));
    return Value(std::move(ids));
}

ErrorPtr bindAttribute(Statement& s, int at, const AttributeDescription& a, const Value& v, bool inPlace,
                       KeptBytes* kept) {
    if (v.isNull()) {
        s.bindNull(at);
        return nullptr;
    }
    switch (a.attributeType()) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
            if (!v.isNumber())
                break;
            s.bindInt(at, v.longLongValue());
            return nullptr;
        case AttributeType::Boolean:
            if (!v.isNumber())
                break;
            s.bindInt(at, v.boolValue() ? 1 : 0);
            return nullptr;
        case AttributeType::Double:
        case AttributeType::Float:
            if (!v.isNumber())
                break;
            if (std::isnan(v.doubleValue()))
                bindNaN(s, at, v.doubleValue());
            else
                s.bindDouble(at, v.doubleValue());
            return nullptr;
        case AttributeType::String:
            if (!v.isString())
                break;
            if (inPlace)
                s.bindTextInPlace(at, *v.asString());
            else
                s.bindText(at, *v.asString());
            return nullptr;
        case AttributeType::Date:
            if (!v.isDate())
                break;
            s.bindDouble(at, v.asDate()->timeIntervalSinceReferenceDate());
            return nullptr;
        case AttributeType::BinaryData:
            if (!v.isData())
                break;
            if (inPlace)
                s.bindBlobInPlace(at, v.asData()->bytes(), v.asData()->length());
            else
                s.bindBlob(at, v.asData()->bytes(), v.asData()->length());
            return nullptr;
        case AttributeType::UUID:
            if (auto u = v.asObjectOf<UUIDObject>()) {
                // The bytes lie in the UUID object, which v holds.
                const auto& bytes = u->uuid().bytes();
                if (inPlace)
                    s.bindBlobInPlace(at, bytes.data(), bytes.size());
                else
                    s.bindBlob(at, bytes.data(), bytes.size());
                return nullptr;
            }
            break;
        case AttributeType::URI:
            if (auto u = v.asObjectOf<URLObject>()) {
                s.bindText(at, u->url().absoluteString());
                return nullptr;
            }
            break;
        case AttributeType::Decimal:
            if (const Decimal* d = v.asDecimal()) {
                s.bindText(at, d->toString());
                return nullptr;
            }
            if (!v.isNumber())
                break;
            s.bindText(at, v.stringValue());
            return nullptr;
        default: {
            auto data = encodeTransformable(v, a.valueTransformerName());
            if (!data)
                return data.error();
            if (!kept) {
                s.bindBlob(at, data->bytes(), data->length());
                return nullptr;
            }
            // Moving the encoding keeps its bytes where they are.
            kept->push_back(std::move(*data));
            s.bindBlobInPlace(at, kept->back().bytes(), kept->back().length());
            return nullptr;
        }
    }
    return makeError(PersistentStoreSaveError, "The value " + v.description() + " of " + a.entity()->name() +
                                                   "." + a.name() + " does not fit its type.");
}

Result<Value> readAttribute(const Statement& s, int column, const AttributeDescription& a) {
    const Statement::Cell cell = s.cell(column);
    if (cell.type() == sqlite::ColumnType::Null)
        return Value();
    switch (a.attributeType()) {
        case AttributeType::Integer16:
            return Value(static_cast<int16_t>(cell.integer()));
        case AttributeType::Integer32:
            return Value(static_cast<int32_t>(cell.integer()));
        case AttributeType::Integer64:
            return Value(cell.integer());
        case AttributeType::Boolean:
            return Value(cell.integer() != 0);
        case AttributeType::Double:
            return Value(readReal(cell));
        case AttributeType::Float:
            return Value(static_cast<float>(readReal(cell)));
        case AttributeType::String:
            return Value(cell.text());
        case AttributeType::Date:
            return Value(Date(cell.real()));
        case AttributeType::BinaryData: {
            auto blob = cell.blob();
            return Value(Data(blob.data(), blob.size()));
        }
        case AttributeType::UUID: {
            auto blob = cell.blob();
            UUID::Bytes bytes{};
            if (blob.size() != bytes.size())
                return Value();
            std::copy(blob.begin(), blob.end(), bytes.begin());
            return UUIDObject::make(UUID::fromBytes(bytes));
        }
        case AttributeType::URI: {
            auto url = URL::URLWithString(cell.text());
            return url ? Value(ObjectPtr(URLObject::make(*url))) : Value();
        }
        case AttributeType::Decimal:
            return Value(Decimal::fromString(cell.text()));
        default:
            // Decoded straight from the row: the stored bytes are only read.
            return decodeTransformable(cell.blob(), a.valueTransformerName());
    }
}

}  // namespace sqlite

const std::string& SQLiteStore::Impl::columnsOf(const sqlite::Table& table) {
    auto it = selectColumns.find(&table);
    if (it != selectColumns.end())
        return it->second;
    std::string sql = "t0.Z_PK, t0.Z_ENT, t0.Z_OPT";
    for (const Column& c : table.columns)
        sql += ", t0." + sqlite::quoteIdentifier(c.name);
    return selectColumns.emplace(&table, std::move(sql)).first->second;
}

Result<Statement*> SQLiteStore::Impl::fetchStatement(const sqlite::Table& table, const std::string& tail) {
    auto it = fetchStatements.find(tail);
    if (it == fetchStatements.end()) {
        // Queries built from predicates vary; keep the map bounded.
        if (fetchStatements.size() >= 256)
            fetchStatements.clear();
        it = fetchStatements.emplace(tail, FetchStatement{&table, {}}).first;
    } else if (it->second.table != &table) {
        it->second = FetchStatement{&table, {}};
    }
    sqlite::StatementMemo& memo = it->second.memo;
    if (db->holds(memo))
        return memo.statement;
    return db->cached("SELECT " + columnsOf(table) + tail, memo);
}

void SQLiteStore::Impl::setSchema(std::unique_ptr<sqlite::Schema> replacement) {
    // What was derived from the old schema's layouts goes with it.
    fetchStatements.clear();
    shapedFetches.clear();
    selectColumns.clear();
    statements.clear();
    schema = std::move(replacement);
}

const sqlite::EntityStatements& SQLiteStore::Impl::statementsFor(const EntityLayout& layout) {
    auto it = statements.find(layout.entity);
    if (it != statements.end())
        return it->second;
    sqlite::EntityStatements s;
    for (const PropertyDescription* p : layout.entity->properties()) {
        int column = layout.valueColumn[p->index()];
        if (column < 0)
            continue;
        sqlite::EntityStatements::Slot slot{p->index(), column};
        if (p->isAttribute())
            slot.attribute = static_cast<const AttributeDescription*>(p);
        else
            slot.toOne = static_cast<const RelationshipDescription*>(p);
        s.slots.push_back(slot);
        if (int entityColumn = layout.entityColumn[p->index()]; entityColumn >= 0) {
            slot.column = entityColumn;
            slot.entityNumber = true;
            s.slots.push_back(slot);
        }
    }
    const auto& columns = layout.table->columns;
    const std::string table = sqlite::quoteIdentifier(layout.table->name);
    std::string names = "Z_PK, Z_ENT, Z_OPT", params = "?1, ?2, ?3", sets = "Z_OPT = ?1";
    for (std::size_t i = 0; i < s.slots.size(); ++i) {
        std::string name = sqlite::quoteIdentifier(columns[static_cast<std::size_t>(s.slots[i].column)].name);
        names += ", " + name;
        s.slotNames.push_back(name);
        params += ", ?" + std::to_string(i + 4);
        sets += ", " + name + " = ?" + std::to_string(i + 2);
    }
    const std::size_t n = s.slots.size();
    s.insert = "INSERT INTO " + table + " (" + names + ") VALUES (" + params + ")";
    // A run of inserts writes its rows this many at a time: SQLite's work per
    // statement (opening the table's and each index's cursors, finishing
    // the statement) is then paid once per group instead of once per row.
    // The parameters stay well within SQLite's oldest limit (999).
    // OR FAIL: a statement that may write several rows and abort halfway
    // needs a statement journal (a temporary file) to undo its own rows,
    // which made every grouped insert write that file. A failed save rolls
    // its whole transaction back anyway, so the statement's own undo is not
    // needed.
    constexpr std::size_t kRowsPerInsert = 16;
    const std::size_t width = n + 3;
    s.insertManyRows = std::min(kRowsPerInsert, std::size_t{999} / width);
    if (s.insertManyRows > 1) {
        s.insertMany = "INSERT OR FAIL INTO " + table + " (" + names + ") VALUES ";
        for (std::size_t r = 0; r < s.insertManyRows; ++r) {
            s.insertMany += r ? ", (" : "(";
            for (std::size_t i = 0; i < width; ++i)
                s.insertMany += (i ? ", ?" : "?") + std::to_string(r * width + i + 1);
            s.insertMany += ")";
        }
    } else {
        s.insertManyRows = 0;
    }
    s.update = "UPDATE " + table + " SET " + sets + " WHERE Z_PK = ?" + std::to_string(n + 2) +
               " AND Z_OPT = ?" + std::to_string(n + 3);
    s.remove = "DELETE FROM " + table + " WHERE Z_PK = ?1 AND Z_OPT = ?2";
    s.rowByKey = "SELECT " + columnsOf(*layout.table) + " FROM " + table + " t0 WHERE t0.Z_PK = ?1";
    s.entityByKey = "SELECT Z_ENT FROM " + table + " WHERE Z_PK = ?1";
    s.table = table;
    return statements.emplace(layout.entity, std::move(s)).first->second;
}

Result<sqlite::MemberKeyStatements*> SQLiteStore::Impl::memberKeyStatementsFor(
    const sqlite::ToManyLayout& layout) {
    auto it = memberKeyStatements.find(layout.relationship);
    if (it != memberKeyStatements.end())
        return &it->second;
    const RelationshipDescription* inverse = layout.relationship->inverseRelationship();
    const auto& columns = layout.memberTable->columns;
    const std::string table = sqlite::quoteIdentifier(layout.memberTable->name);
    const std::string key = sqlite::quoteIdentifier(columns[static_cast<std::size_t>(layout.keyColumn)].name);
    std::string set = "UPDATE " + table + " SET Z_OPT = Z_OPT + 1, " + key + " = ?1";
    std::string differs = key + " IS NOT ?1";
    std::string clear = "UPDATE " + table + " SET Z_OPT = Z_OPT + 1, " + key + " = NULL";
    const int entityColumn = schema->entity(*inverse->entity()).entityColumn[inverse->index()];
    if (entityColumn >= 0) {
        const std::string e = sqlite::quoteIdentifier(columns[static_cast<std::size_t>(entityColumn)].name);
        set += ", " + e + " = ?3";
        differs += " OR " + e + " IS NOT ?3";
        clear += ", " + e + " = NULL";
    }
    set += " WHERE Z_PK = ?2 AND (" + differs + ")";
    clear += " WHERE Z_PK = ?2 AND " + key + " = ?1";
    auto setStatement = db->prepare(set);
    if (!setStatement)
        return setStatement.error();
    auto clearStatement = db->prepare(clear);
    if (!clearStatement)
        return clearStatement.error();
    sqlite::MemberKeyStatements prepared;
    prepared.set = std::move(*setStatement);
    prepared.clear = std::move(*clearStatement);
    prepared.entityColumn = entityColumn;
    return &memberKeyStatements.emplace(layout.relationship, std::move(prepared)).first->second;
}

namespace sqlite {

EntityStatements::PartialUpdate& EntityStatements::updateOf(const std::string& written) const {
    auto it = partialUpdates.find(written);
    if (it != partialUpdates.end())
        return it->second;
    std::string sql;
    sql.reserve(64 + 24 * slots.size());
    sql += "UPDATE " + table + " SET Z_OPT = ?1";
    int at = 2;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (written[i] != '1')
            continue;
        sql += ", " + slotNames[i] + " = ?" + std::to_string(at++);
    }
    sql += " WHERE Z_PK = ?" + std::to_string(at) + " AND Z_OPT = ?" + std::to_string(at + 1);
    return partialUpdates.emplace(written, PartialUpdate{std::move(sql), {}}).first->second;
}

}  // namespace sqlite

namespace {

// True when storing `now` in place of `was` leaves the column as it is.
// Only kinds whose stored form follows plainly from the value count; any
// other value is written again (a needless write costs time, never data).
bool storesAsBefore(const Value& now, const Value& was) {
    if (now.kind() != was.kind())
        return false;
    switch (now.kind()) {
        case Value::Kind::Null:
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
        case Value::Kind::String:
        case Value::Kind::Data:
            return now == was;
        case Value::Kind::Object: {
            auto a = ManagedObjectID::fromValue(now);
            auto b = ManagedObjectID::fromValue(was);
            return a && b && a->isEqualID(*b);
        }
        default:
            return false;
    }
}

}  // namespace

SQLiteStore::SQLiteStore(std::optional<plat::URL> url, std::string configuration, Dictionary options)
    : PersistentStore(std::move(url), std::move(configuration), std::move(options)), impl_(new Impl) {}

SQLiteStore::~SQLiteStore() {
    impl_->releaseConnection(model());
}

void SQLiteStore::setTestHook(TestHook h) {
    sqlite::testHook.store(h);
}

bool SQLiteStore::isSQLiteStoreFile(const std::string& path) {
    return sqlite::hasSQLiteHeader(path);
}

void SQLiteStore::unload() {
    impl_->releaseConnection(model());
}

void SQLiteStore::Impl::releaseConnection(const std::shared_ptr<const ManagedObjectModel>& model) {
    if (db && schema && schemaVersion >= 0 && model) {
        auto carried = std::make_unique<Carried>();
        carried->model = model;
        carried->schemaVersion = schemaVersion;
        carried->schema = std::move(schema);
        carried->selectColumns = std::move(selectColumns);
        carried->statements = std::move(statements);
        carried->memberKeyStatements = std::move(memberKeyStatements);
        carried->fetchStatements = std::move(fetchStatements);
        carried->shapedFetches = std::move(shapedFetches);
        carried->keyBlocks = std::move(keyBlocks);
        db->keepState(std::move(carried));
    }
    schemaVersion = -1;
    statements.clear();
    fetchStatements.clear();
    shapedFetches.clear();
    memberKeyStatements.clear();
    selectColumns.clear();
    keyBlocks.clear();
    db.reset();
}

void SQLiteStore::Impl::adopt(Carried& carried) {
    schema = std::move(carried.schema);
    schemaVersion = carried.schemaVersion;
    selectColumns = std::move(carried.selectColumns);
    statements = std::move(carried.statements);
    memberKeyStatements = std::move(carried.memberKeyStatements);
    fetchStatements = std::move(carried.fetchStatements);
    shapedFetches = std::move(carried.shapedFetches);
    keyBlocks = std::move(carried.keyBlocks);
}

namespace {

// The layout of an ID's entity in this store's schema (IDs may come from
// another coordinator's model instance, so entities are matched by name).
const EntityLayout* layoutOf(const Schema& schema, const EntityDescription& entity) {
    return schema.entityOf(entity);
}

}  // namespace

Result<SnapshotPtr> SQLiteStore::decodeRow(const Statement& s, RowReading* reading) {
    const int64_t number = s.columnInt(1);
    const EntityLayout* layout;
    const sqlite::EntityStatements* plan;
    if (reading && reading->layout && reading->entityNumber == number) {
        layout = reading->layout;
        plan = reading->plan;
    } else {
        layout = impl_->schema->entityForNumber(number);
        if (!layout)
            return SnapshotPtr();  // a row of an entity this model does not have
        plan = &impl_->statementsFor(*layout);
        if (reading) {
            reading->entityNumber = number;
            reading->layout = layout;
            reading->plan = plan;
        }
    }
    const Statement::Cell primaryKey = s.cell(0);
    const int64_t pk = primaryKey.type() == sqlite::ColumnType::Integer ? primaryKey.integer() : 0;
    if (pk <= 0)
        return makeError(FileReadCorruptFileError, "The store at " + impl_->path + " holds a row of " +
                                                       layout->entity->name() +
                                                       " without a valid primary key.");
    auto snapshot = makeRow(layout->entity->properties().size());
    snapshot->objectID = objectIDFor(layout->entity, pk);
    snapshot->version = static_cast<uint64_t>(s.columnInt(2));
    for (const auto& slot : plan->slots) {
        const int column = slot.column + 3;
        if (slot.attribute && reading && slot.attribute->attributeType() == AttributeType::String) {
            // Names of entities, stores and versions repeat from row to row:
            // such a string is made once and shared.
            const Statement::Cell cell = s.cell(column);
            if (cell.type() == sqlite::ColumnType::Null)
                continue;
            const std::string_view text = cell.text();
            auto& targets = reading->targets;
            if (targets.size() <= slot.index)
                targets.resize(std::max(slot.index + 1, layout->entity->properties().size()));
            RowTarget& last = targets[slot.index];
            const std::string* previous = last.value.asString();
            if (!previous || *previous != text) {
                // (Sibling entities may give the slot to a to-one.)
                last.id = nullptr;
                last.value = Value(text);
            }
            snapshot->values[slot.index] = last.value;
            continue;
        }
        if (slot.attribute) {
            auto v = readAttribute(s, column, *slot.attribute);
            if (!v)
                return v.error();
            snapshot->values[slot.index] = std::move(*v);
            continue;
        }
        if (slot.entityNumber)
            continue;
        const Statement::Cell cell = s.cell(column);
        if (cell.type() == sqlite::ColumnType::Null)
            continue;
        const EntityDescription* destination = slot.toOne->destinationEntity();
        if (int entityColumn = layout->entityColumn[slot.index]; entityColumn >= 0) {
            const EntityLayout* d = impl_->schema->entityForNumber(s.columnInt(entityColumn + 3));
            if (!d || !d->entity->isKindOfEntity(destination))
                continue;
            destination = d->entity;
        }
        const int64_t key = cell.integer();
        if (!reading) {
            snapshot->values[slot.index] = Value(ObjectPtr(objectIDFor(destination, key)));
            continue;
        }
        auto& targets = reading->targets;
        if (targets.size() <= slot.index)
            targets.resize(std::max(slot.index + 1, layout->entity->properties().size()));
        RowTarget& last = targets[slot.index];
        if (!last.id || last.id->entity() != destination || last.id->primaryKey() != key) {
            auto id = objectIDFor(destination, key);
            last.id = id.get();
            last.value = Value(ObjectPtr(std::move(id)));
        }
        snapshot->values[slot.index] = last.value;
    }
    return SnapshotPtr(std::move(snapshot));
}

namespace {

// A query keeps the constants of every comparison, also of those it left to
// in-memory evaluation; bind only the ones its SQL still refers to (numbered
// parameters: SQLite counts up to the largest number used). The binds
// outlive the statement's run (its ResetGuard is made after them), so their
// text (lists of keys or values can be long) is not copied.
void bindQuery(Statement& s, const std::vector<sqlite::Bind>& binds) {
    sqlite::bindInPlace(s, binds, static_cast<std::size_t>(std::max(s.parameterCount(), 0)));
}

}  // namespace

Result<std::vector<SnapshotPtr>> SQLiteStore::readRows(Statement& s, const std::vector<sqlite::Bind>& binds) {
    ResetGuard guard(s);
    bindQuery(s, binds);
    std::vector<SnapshotPtr> rows;
    RowReading reading;
    int rc;
    while ((rc = s.step()) == sqlite::kRow) {
        auto row = decodeRow(s, &reading);
        if (!row)
            return row.error();
        if (*row)
            rows.push_back(std::move(*row));
    }
    if (rc != sqlite::kDone)
        return impl_->db->lastError(CoreDataError, "Could not fetch from the store");
    return rows;
}

namespace {

// The select list of columnsOf with only the columns of the named properties
// (of the entity and its sub-entities) read; the others are NULL, so rows
// decode as usual and SQLite never reads those values (large blobs stay on
// their overflow pages).
std::string columnsReading(const Schema& schema, const EntityLayout& layout,
                           const std::vector<std::string>& names) {
    const auto& columns = layout.table->columns;
    std::vector<bool> read(columns.size(), false);
    for (const EntityDescription* e : layout.entity->selfAndDescendants()) {
        const EntityLayout* el = layoutOf(schema, *e);
        if (!el)
            continue;
        for (const auto& name : names) {
            const PropertyDescription* p = e->propertyNamed(name);
            if (!p)
                continue;
            for (int column : {el->valueColumn[p->index()], el->entityColumn[p->index()]}) {
                if (column >= 0)
                    read[static_cast<std::size_t>(column)] = true;
            }
        }
    }
    std::string sql = "t0.Z_PK, t0.Z_ENT, t0.Z_OPT";
    for (std::size_t i = 0; i < columns.size(); ++i)
        sql += read[i] ? ", t0." + sqlite::quoteIdentifier(columns[i].name) : std::string(", NULL");
    return sql;
}

}  // namespace

Result<std::vector<SnapshotPtr>> SQLiteStore::fetchRows(const FetchRequest& request,
                                                        const EntityDescription& requested) {
    return fetchRowsSelecting(request, requested, nullptr);
}

Result<std::vector<SnapshotPtr>> SQLiteStore::fetchRowsReading(
    const FetchRequest& request, const EntityDescription& requested,
    const std::vector<std::string>& propertyNames) {
    return fetchRowsSelecting(request, requested, &propertyNames);
}

namespace {

// LIMIT and OFFSET, bound after the query's own values.
void appendWindow(const FetchRequest& request, std::vector<sqlite::Bind>& binds) {
    sqlite::Bind limit, offset;
    limit.kind = offset.kind = sqlite::Bind::Kind::Int;
    limit.i = request.fetchLimit ? static_cast<int64_t>(request.fetchLimit) : -1;
    offset.i = static_cast<int64_t>(request.fetchOffset);
    binds.push_back(limit);
    binds.push_back(offset);
}

}  // namespace

Result<std::vector<SnapshotPtr>> SQLiteStore::fetchRowsSelecting(const FetchRequest& request,
                                                                 const EntityDescription& requested,
                                                                 const std::vector<std::string>* reading) {
    if (auto error = impl_->readyError())
        return error;
    const EntityLayout* layout = layoutOf(*impl_->schema, requested);
    if (!layout)
        return std::vector<SnapshotPtr>();
    sqlite::QueryBuilder builder(*impl_->schema, identifier(), *layout->entity, request.includesSubentities);
    const bool windowed = request.fetchLimit || request.fetchOffset;
    // A request of a shape fetched before takes that fetch's text and
    // statement, and binds its own values.
    sqlite::QueryShape* shape = &impl_->shapeScratch;
    if (!builder.shape(request.predicate.get(), request.sortDescriptors, *shape))
        shape = nullptr;
    if (shape) {
        shape->signature += request.ordersByKey ? 'k' : '-';
        shape->signature += windowed ? 'w' : '-';
        if (reading) {
            // The select list of a fetch reading some columns follows from
            // the table and the names read (columnsReading).
            std::string& sig = shape->signature;
            sig += 'r';
            for (const std::string& name : *reading) {
                const auto size = static_cast<uint32_t>(name.size());
                sig.append(reinterpret_cast<const char*>(&size), sizeof size);
                sig += name;
            }
        }
        auto it = impl_->shapedFetches.find(shape->signature);
        if (it != impl_->shapedFetches.end())
            return fetchShaped(request, it->second, shape->binds);
    }
    sqlite::Query q = builder.build(request.predicate.get(), request.sortDescriptors);
    // LIMIT and OFFSET may go to SQL only when SQL both filters and orders
    // exactly (a lookup of listed keys orders without ORDER BY, so its window
    // applies here, after the order is checked); otherwise the window
    // applies after the in-memory pass.
    const bool windowInSQL = q.exact && q.sorted && !(q.listed && windowed);
    // The in-memory pass reads whole rows (every column, columnsOf).
    std::string someColumns;
    if (reading && windowInSQL)
        someColumns = columnsReading(*impl_->schema, *layout, *reading);
    // Rows in key order and nothing else, with no window for SQL to take:
    // they are put in key order here rather than by SQLite. A lookup through
    // an index gives them in key order for each indexed value already, while
    // an ORDER BY made SQLite run its sorter over whole rows (or prefer a scan
    // in key order over the index) whatever the number of rows.
    const bool keyOrderHere =
        !q.listed && request.ordersByKey && request.sortDescriptors.empty() && !(windowInSQL && windowed);
    // The statement's text after its select list: with every column
    // selected, that list follows from the table, so this text alone finds
    // the statement again (without building and hashing the whole text,
    // which the list makes long for wide tables).
    std::string tail;
    tail.reserve(48 + q.from.size() + q.where.size() + q.orderBy.size());
    tail += " FROM ";
    tail += q.from;
    if (!q.where.empty()) {
        tail += " WHERE ";
        tail += q.where;
    }
    if (!q.listed && !keyOrderHere && (request.ordersByKey || !request.sortDescriptors.empty())) {
        tail += " ORDER BY ";
        tail += q.orderBy;
    }
    if (windowInSQL && windowed) {
        tail += " LIMIT ?" + std::to_string(q.binds.size() + 1) + " OFFSET ?" +
                std::to_string(q.binds.size() + 2);
    }
    if (shape && q.binds == shape->binds) {
        // Only a shape whose values build binds as the shape does is kept.
        if (impl_->shapedFetches.size() >= 256)
            impl_->shapedFetches.clear();
        sqlite::ShapedFetch& fetch = impl_->shapedFetches[shape->signature];
        fetch = sqlite::ShapedFetch{layout->table,
                                    std::move(tail),
                                    std::move(someColumns),
                                    q.exact,
                                    q.sorted,
                                    q.listed || keyOrderHere,
                                    windowInSQL,
                                    {}};
        return fetchShaped(request, fetch, q.binds);
    }
    if (windowInSQL && windowed)
        appendWindow(request, q.binds);
    auto stmt = someColumns.empty() ? impl_->fetchStatement(*layout->table, tail)
                                    : impl_->db->cached("SELECT " + someColumns + tail);
    if (!stmt)
        return stmt.error();
    auto rows = readRows(**stmt, q.binds);
    return finishRows(request, q.exact, q.sorted, (q.listed || keyOrderHere), windowInSQL, std::move(rows));
}

Result<std::vector<SnapshotPtr>> SQLiteStore::fetchShaped(const FetchRequest& request,
                                                          sqlite::ShapedFetch& fetch,
                                                          std::vector<sqlite::Bind>& binds) {
    if (fetch.windowInSQL && (request.fetchLimit || request.fetchOffset))
        appendWindow(request, binds);
    auto stmt =
        impl_->db->holds(fetch.memo)
            ? Result<Statement*>(fetch.memo.statement)
            : impl_->db->cached("SELECT " +
                                    (fetch.columns.empty() ? impl_->columnsOf(*fetch.table) : fetch.columns) +
                                    fetch.tail,
                                fetch.memo);
    if (!stmt)
        return stmt.error();
    // Copied before the rows are read, so that nothing below depends on the bounded map keeping fetch.
    const bool exact = fetch.exact, sorted = fetch.sorted, keyOrderHere = fetch.keyOrderHere,
               windowInSQL = fetch.windowInSQL;
    auto rows = readRows(**stmt, binds);
    return finishRows(request, exact, sorted, keyOrderHere, windowInSQL, std::move(rows));
}

Result<std::vector<SnapshotPtr>> SQLiteStore::finishRows(const FetchRequest& request, bool exact, bool sorted,
                                                         bool inKeyOrderHere, bool windowInSQL,
                                                         Result<std::vector<SnapshotPtr>> rows) {
    if (rows && inKeyOrderHere && request.ordersByKey) {
        // A list of keys is walked in key order, one of values in the
        // values' order, and a query without ORDER BY gives rows in the order
        // of its plan: the rows are put in key order here, unless the
        // request takes them in any order.
        auto byKey = [](const SnapshotPtr& a, const SnapshotPtr& b) {
            return a->objectID->primaryKey() < b->objectID->primaryKey();
        };
        if (!std::is_sorted(rows->begin(), rows->end(), byKey))
            std::sort(rows->begin(), rows->end(), byKey);
    }
    if (!rows || windowInSQL)
        return rows;
    return finishInMemory(request, exact, sorted, std::move(*rows));
}

// Filters, orders and windows rows whose query could not express all of it.
std::vector<SnapshotPtr> SQLiteStore::finishInMemory(const FetchRequest& request, bool filtered, bool sorted,
                                                     std::vector<SnapshotPtr> rows) {
    std::vector<Value> views;
    views.reserve(rows.size());
    for (auto& row : rows) {
        Value view(std::make_shared<const detail::StoreRowView>(this, std::move(row)));
        if (filtered || !request.predicate || request.predicate->evaluateWithObject(view))
            views.push_back(std::move(view));
    }
    if (!sorted)
        sortObjects(views, request.sortDescriptors);
    std::vector<SnapshotPtr> out;
    std::size_t end = request.fetchLimit ? request.fetchOffset + request.fetchLimit : views.size();
    for (std::size_t i = request.fetchOffset; i < views.size() && i < end; ++i)
        out.push_back(views[i].asObjectOf<detail::StoreRowView>()->snapshot());
    return out;
}

Result<std::size_t> SQLiteStore::countRows(const FetchRequest& request, const EntityDescription& requested) {
    if (auto error = impl_->readyError())
        return error;
    const EntityLayout* layout = layoutOf(*impl_->schema, requested);
    if (!layout)
        return std::size_t{0};
    sqlite::QueryBuilder builder(*impl_->schema, identifier(), *layout->entity, request.includesSubentities);
    sqlite::Query q = builder.build(request.predicate.get(), {});
    if (!q.exact) {
        auto rows = fetchRows(request, requested);
        if (!rows)
            return rows.error();
        return rows->size();
    }
    std::string sql = "SELECT count(*) FROM " + q.from + (q.where.empty() ? "" : " WHERE " + q.where);
    auto stmt = impl_->db->cached(sql);
    if (!stmt)
        return stmt.error();
    ResetGuard guard(**stmt);
    bindQuery(**stmt, q.binds);
    if ((*stmt)->step() != sqlite::kRow)
        return impl_->db->lastError(CoreDataError, "Could not count in the store");
    auto total = static_cast<std::size_t>((*stmt)->columnInt(0));
    std::size_t n = total > request.fetchOffset ? total - request.fetchOffset : 0;
    return request.fetchLimit ? std::min(n, request.fetchLimit) : n;
}

Result<SnapshotPtr> SQLiteStore::rowForID(const ManagedObjectID& id) {
    if (auto error = impl_->readyError())
        return error;
    if (id.isTemporaryID() || id.storeIdentifier() != identifier())
        return SnapshotPtr();
    const EntityLayout* layout = layoutOf(*impl_->schema, *id.entity());
    if (!layout)
        return SnapshotPtr();
    // One statement per entity, found through its memo: a fault read
    // builds no SQL text and hashes none.
    const auto& plan = impl_->statementsFor(*layout);
    auto stmt = impl_->db->cached(plan.rowByKey, plan.rowByKeyMemo);
    if (!stmt)
        return stmt.error();
    Statement& s = **stmt;
    ResetGuard guard(s);
    s.bindInt(1, id.primaryKey());
    SnapshotPtr found;
    int rc;
    while ((rc = s.step()) == sqlite::kRow) {
        auto row = decodeRow(s);
        if (!row)
            return row.error();
        if (!found)
            found = std::move(*row);
    }
    if (rc != sqlite::kDone)
        return impl_->db->lastError(CoreDataError, "Could not fetch from the store");
    if (!found || found->objectID->entity() != layout->entity)
        return SnapshotPtr();
    return found;
}

Result<std::vector<ManagedObjectIDPtr>> SQLiteStore::membersOf(const ManagedObjectID& id,
                                                               const RelationshipDescription& relationship) {
    if (auto error = impl_->readyError())
        return error;
    std::vector<ManagedObjectIDPtr> members;
    const EntityLayout* owner = layoutOf(*impl_->schema, *id.entity());
    if (id.isTemporaryID() || id.storeIdentifier() != identifier() || !owner)
        return members;
    const RelationshipDescription* r = owner->entity->relationshipNamed(relationship.name());
    if (!r || !r->isToMany() || r->isTransient())
        return members;
    const sqlite::ToManyLayout& layout = impl_->schema->toMany(*r);
    std::string sql;
    if (layout.joinTable) {
        sql = "SELECT m.Z_PK, m.Z_ENT FROM " + sqlite::quoteIdentifier(layout.joinTableName) + " j JOIN " +
              sqlite::quoteIdentifier(layout.memberTable->name) +
              " m ON m.Z_PK = j.Z_MEMBER WHERE j.Z_OWNER = ?1 ORDER BY j.Z_ORDER, j.Z_MEMBER";
    } else {
        const auto& columns = layout.memberTable->columns;
        sql = "SELECT m.Z_PK, m.Z_ENT FROM " + sqlite::quoteIdentifier(layout.memberTable->name) +
              " m WHERE m." +
              sqlite::quoteIdentifier(columns[static_cast<std::size_t>(layout.keyColumn)].name) +
              " = ?1 ORDER BY ";
        if (layout.orderColumn >= 0)
            sql += "m." +
                   sqlite::quoteIdentifier(columns[static_cast<std::size_t>(layout.orderColumn)].name) + ", ";
        sql += "m.Z_PK";
    }
    auto stmt = impl_->db->cached(sql);
    if (!stmt)
        return stmt.error();
    Statement& s = **stmt;
    ResetGuard guard(s);
    s.bindInt(1, id.primaryKey());
    int rc;
    while ((rc = s.step()) == sqlite::kRow) {
        if (const EntityLayout* m = impl_->schema->entityForNumber(s.columnInt(1)))
            members.push_back(objectIDFor(m->entity, s.columnInt(0)));
    }
    if (rc != sqlite::kDone)
        return impl_->db->lastError(CoreDataError, "Could not read a relationship from the store");
    return members;
}

Result<std::vector<int64_t>> SQLiteStore::reservePrimaryKeys(const EntityDescription& entity,
                                                             std::size_t count) {
    auto keys = reservePrimaryKeys(std::vector<KeyRequest>{{&entity, count}});
    if (!keys)
        return keys.error();
    return std::move(keys->front());
}

Result<std::vector<std::vector<int64_t>>> SQLiteStore::reservePrimaryKeys(
    const std::vector<KeyRequest>& requests) {
    if (auto error = impl_->readyError())
        return error;
    std::vector<std::vector<int64_t>> keys(requests.size());
    std::vector<int64_t> roots;
    roots.reserve(requests.size());
    bool any = false;
    for (const auto& [entity, count] : requests) {
        const EntityLayout* layout = layoutOf(*impl_->schema, *entity);
        if (!layout)
            return makeError(PersistentStoreSaveError,
                             "The store has no entity named " + entity->name() + ".");
        roots.push_back(impl_->schema->entity(*layout->table->root).number);
        any = any || count != 0;
    }
    if (!any)
        return keys;
    if (isReadOnly())
        return makeError(PersistentStoreSaveError, "The store is read-only.");
    Database& db = *impl_->db;
    // Keys come from blocks reserved ahead (16 keys, doubling up to 1024,
    // never fewer than asked). A block is committed on its own before any of
    // its keys is handed out: a save that fails later never gives them back,
    // and a crash leaves gaps, never a key used twice. It cannot ride in the
    // save's transaction: contexts make IDs permanent before saving and keep
    // them when the save fails, and callers may record them elsewhere before
    // the save, so a rolled-back reservation would let another save take a
    // key an object still holds. The write transaction serialises the
    // reservations of coordinators sharing the file, so blocks never overlap.
    // Before a block's keys are handed out, Z_MAX must still end at the
    // block: when another coordinator has reserved since, the rest of the
    // block is dropped and a new one reserved, so keys still follow the
    // order objects were made in across coordinators (readers take the
    // smaller key of two records as the earlier one).
    // Keys wanted by root entity number (a save names a few entities: a
    // list, searched, rather than a hash map).
    std::vector<std::pair<int64_t, int64_t>> wanted;
    auto wantedOf = [&](int64_t root) -> int64_t& {
        for (auto& [r, count] : wanted) {
            if (r == root)
                return count;
        }
        return wanted.emplace_back(root, 0).second;
    };
    wanted.reserve(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i)
        wantedOf(roots[i]) += static_cast<int64_t>(requests[i].second);
    // Every root's Z_MAX is read by one statement, so in one read
    // transaction (each statement outside a transaction is a read
    // transaction of its own, with its locks on the shared-memory file).
    std::vector<int64_t> short_;   // roots whose blocks cannot serve the request
    std::vector<int64_t> checked;  // roots whose blocks serve if Z_MAX still ends at them
    for (const auto& [root, count] : wanted) {
        if (count == 0)
            continue;
        const SQLiteStore::Impl::KeyBlock& block = impl_->keyBlocks[root];
        if (block.last - block.next + 1 >= count)
            checked.push_back(root);
        else
            short_.push_back(root);
    }
    if (!checked.empty()) {
        // A save of one root's objects (the usual case) reads that root's
        // row by its key; several roots read the table's rows in one go.
        static const std::string kAllMaxima = "SELECT Z_ENT, Z_MAX FROM Z_ENTITIES";
        static const std::string kOneMaximum = "SELECT Z_ENT, Z_MAX FROM Z_ENTITIES WHERE Z_ENT = ?1";
        const bool one = checked.size() == 1;
        auto current = one ? db.cached(kOneMaximum, impl_->oneMaximumMemo) : db.cached(kAllMaxima);
        if (!current)
            return current.error();
        // Only the roots being checked are kept from the table's rows.
        std::vector<std::optional<int64_t>> maxima(checked.size());
        {
            ResetGuard guard(**current);
            if (one)
                (*current)->bindInt(1, checked.front());
            int rc;
            while ((rc = (*current)->step()) == sqlite::kRow) {
                const int64_t entity = (*current)->columnInt(0);
                for (std::size_t i = 0; i < checked.size(); ++i) {
                    if (checked[i] == entity)
                        maxima[i] = (*current)->columnInt(1);
                }
            }
            if (rc != sqlite::kDone)
                return db.lastError(PersistentStoreSaveError, "Could not reserve primary keys");
        }
        for (std::size_t i = 0; i < checked.size(); ++i) {
            if (!maxima[i] || *maxima[i] != impl_->keyBlocks[checked[i]].last)
                short_.push_back(checked[i]);
        }
    }
    if (!short_.empty()) {
        sqlite::Transaction transaction(db);
        if (auto error = transaction.begin(true))
            return error;
        auto stmt = db.cached("UPDATE Z_ENTITIES SET Z_MAX = Z_MAX + ?1 WHERE Z_ENT = ?2 RETURNING Z_MAX");
        if (!stmt)
            return stmt.error();
        std::vector<std::pair<int64_t, SQLiteStore::Impl::KeyBlock>> reserved;
        for (int64_t root : short_) {
            SQLiteStore::Impl::KeyBlock block = impl_->keyBlocks[root];
            const int64_t count = wantedOf(root);
            block.blockSize = std::min<int64_t>(block.blockSize ? block.blockSize * 2 : 16, 1024);
            const int64_t take = std::max(count, block.blockSize);
            int64_t last = 0;
            {
                ResetGuard guard(**stmt);
                (*stmt)->bindInt(1, take);
                (*stmt)->bindInt(2, root);
                if ((*stmt)->step() != sqlite::kRow)
                    return db.lastError(PersistentStoreSaveError, "Could not reserve primary keys");
                last = (*stmt)->columnInt(0);
                if ((*stmt)->step() != sqlite::kDone)
                    return db.lastError(PersistentStoreSaveError, "Could not reserve primary keys");
            }
            // The old block's rest stays in use only when the new one follows
            // it directly (nobody reserved in between).
            if (last - take != block.last || block.next > block.last)
                block.next = last - take + 1;
            block.last = last;
            reserved.emplace_back(root, block);
        }
        if (auto error = transaction.commit())
            return error;
        for (const auto& [root, block] : reserved)
            impl_->keyBlocks[root] = block;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const int64_t count = static_cast<int64_t>(requests[i].second);
        if (count == 0)
            continue;
        SQLiteStore::Impl::KeyBlock& block = impl_->keyBlocks[roots[i]];
        keys[i].reserve(static_cast<std::size_t>(count));
        for (int64_t k = block.next; k < block.next + count; ++k)
            keys[i].push_back(k);
        block.next += count;
    }
    return keys;
}

// Binds a row's values to an insert (first = 4) or update (first = 2).
ErrorPtr SQLiteStore::bindRow(Statement& s, int first, const sqlite::EntityStatements& plan,
                              const StoreSnapshot& row, std::vector<Data>& kept, const std::string* only) {
    int at = first - 1;
    for (std::size_t i = 0; i < plan.slots.size(); ++i) {
        if (only && (*only)[i] != '1')
            continue;
        ++at;
        const auto& slot = plan.slots[i];
        const Value& v = slot.index < row.values.size() ? row.values[slot.index] : Value();
        if (slot.attribute) {
            // The row outlives the step: the statement is reset before the
            // save moves on, so its text and bytes need not be copied.
            if (auto error = sqlite::bindAttribute(s, at, *slot.attribute, v, true, &kept))
                return error;
            continue;
        }
        // IDs are of one final class: no dynamic_cast needed.
        const ObjectPtr object = v.asObject();
        const Object* held = object.get();
        const auto* target = held && typeid(*held) == typeid(ManagedObjectID)
                                 ? static_cast<const ManagedObjectID*>(held)
                                 : nullptr;
        if (!target) {
            s.bindNull(at);
            continue;
        }
        const EntityLayout* t = layoutOf(*impl_->schema, *target->entity());
        if (target->isTemporaryID() || target->storeIdentifier() != identifier() || !t)
            return makeError(PersistentStoreSaveError,
                             "The relationship " + slot.toOne->name() + " of " + row.objectID->description() +
                                 " points to " + target->description() + ", which is not in this store.");
        s.bindInt(at, slot.entityNumber ? t->number : target->primaryKey());
    }
    return nullptr;
}

struct SQLiteStore::InsertRun {
    const EntityDescription* entity = nullptr;
    const EntityLayout* layout = nullptr;
    const sqlite::EntityStatements* plan = nullptr;
    // The run's rows not written yet (the save's rows outlive the run).
    std::vector<const StoreSnapshot*> pending;
};

// Writes the run's pending rows: a full group in one statement, fewer one
// by one. The test hook still sees each row.
ErrorPtr SQLiteStore::writePendingInserts(InsertRun& run) {
    if (run.pending.empty())
        return nullptr;
    const auto& plan = *run.plan;
    const EntityLayout& layout = *run.layout;
    Database& db = *impl_->db;
    const bool grouped = plan.insertManyRows > 1 && run.pending.size() == plan.insertManyRows;
    auto stmt =
        grouped ? db.cached(plan.insertMany, plan.insertManyMemo) : db.cached(plan.insert, plan.insertMemo);
    if (!stmt)
        return stmt.error();
    Statement& s = **stmt;
    const int width = static_cast<int>(plan.slots.size()) + 3;
    std::size_t written = 0;
    // Outlives every reset below (see bindRow).
    std::vector<Data> kept;
    while (written < run.pending.size()) {
        kept.clear();  // the statement was reset since they were bound
        ResetGuard guard(s);
        const std::size_t rows = grouped ? run.pending.size() : 1;
        for (std::size_t r = 0; r < rows; ++r) {
            const StoreSnapshot& row = *run.pending[written + r];
            const int first = static_cast<int>(r) * width + 1;
            s.bindInt(first, row.objectID->primaryKey());
            s.bindInt(first + 1, layout.number);
            s.bindInt(first + 2, 1);
            if (auto error = bindRow(s, first + 3, plan, row, kept))
                return error;
        }
        if (s.step() != sqlite::kDone)
            return db.lastError(PersistentStoreSaveError, "Could not save a row");
        for (std::size_t r = 0; r < rows; ++r)
            sqlite::hook("save.row");
        written += rows;
    }
    run.pending.clear();
    return nullptr;
}

ErrorPtr SQLiteStore::writeRow(const StoreSnapshot& row, RowWrite kind, const StoreSnapshot* before,
                               InsertRun* run) {
    // A save's inserts come entity by entity: the entity name's look-up, the
    // plan's and the insert statement's (a hash of its whole SQL) are done
    // once per run rather than per row.
    const EntityDescription* entity = row.objectID->entity();
    const bool sameRun = run && kind == RowWrite::Insert && run->entity == entity;
    const EntityLayout* layout = sameRun ? run->layout : layoutOf(*impl_->schema, *entity);
    if (!layout || row.objectID->isTemporaryID() || row.objectID->storeIdentifier() != identifier())
        return makeError(PersistentStoreSaveError,
                         "The object " + row.objectID->description() + " does not belong to this store.");
    const auto& plan = sameRun ? *run->plan : impl_->statementsFor(*layout);
    if (run && kind == RowWrite::Insert) {
        if (!sameRun) {
            if (auto error = writePendingInserts(*run))
                return error;
            run->entity = entity;
            run->layout = layout;
            run->plan = &plan;
        }
        run->pending.push_back(&row);
        return run->pending.size() == plan.insertManyRows ? writePendingInserts(*run) : nullptr;
    }
    Database& db = *impl_->db;
    // An update of a row read at this version writes only what differs.
    std::string written;
    int boundSlots = static_cast<int>(plan.slots.size());
    if (kind == RowWrite::Update && before && before->version == row.version) {
        written.assign(plan.slots.size(), '0');
        boundSlots = 0;
        for (std::size_t i = 0; i < plan.slots.size(); ++i) {
            const std::size_t p = plan.slots[i].index;
            const bool same = p < row.values.size() && p < before->values.size() &&
                              storesAsBefore(row.values[p], before->values[p]);
            if (!same) {
                written[i] = '1';
                ++boundSlots;
            }
        }
        if (boundSlots == static_cast<int>(plan.slots.size()))
            written.clear();  // every column: the entity's full update
    }
    sqlite::EntityStatements::PartialUpdate* partial = written.empty() ? nullptr : &plan.updateOf(written);
    auto stmt = kind == RowWrite::Insert   ? db.cached(plan.insert, plan.insertMemo)
                : kind == RowWrite::Delete ? db.cached(plan.remove, plan.removeMemo)
                : partial                  ? db.cached(partial->sql, partial->memo)
                                           : db.cached(plan.update, plan.updateMemo);
    if (!stmt)
        return stmt.error();
    Statement& s = **stmt;
    std::vector<Data> kept;  // outlives the reset (see bindRow)
    ResetGuard guard(s);
    const auto version = static_cast<int64_t>(row.version);
    if (kind == RowWrite::Insert) {
        s.bindInt(1, row.objectID->primaryKey());
        s.bindInt(2, layout->number);
        s.bindInt(3, 1);
        if (auto error = bindRow(s, 4, plan, row, kept))
            return error;
    } else if (kind == RowWrite::Update) {
        const int n = boundSlots;
        s.bindInt(1, version + 1);
        if (auto error = bindRow(s, 2, plan, row, kept, written.empty() ? nullptr : &written))
            return error;
        s.bindInt(n + 2, row.objectID->primaryKey());
        s.bindInt(n + 3, version);
    } else {
        s.bindInt(1, row.objectID->primaryKey());
        s.bindInt(2, version);
    }
    if (s.step() != sqlite::kDone)
        return db.lastError(PersistentStoreSaveError, "Could not save a row");
    if (kind != RowWrite::Insert && db.changes() == 0) {
        Dictionary info;
        info.set("conflictList", Value(Array{Value(ObjectPtr(row.objectID))}));
        return makeError(ManagedObjectMergeError, "Could not merge changes.", std::move(info));
    }
    sqlite::hook("save.row");
    return nullptr;
}

// Removes the join-table rows of a deleted object, on both sides.
ErrorPtr SQLiteStore::removeLinks(const ManagedObjectID& id) {
    const EntityLayout* layout = layoutOf(*impl_->schema, *id.entity());
    Database& db = *impl_->db;
    auto removeWhere = [&](const sqlite::ToManyLayout* t, const char* column) -> ErrorPtr {
        auto stmt = db.cached("DELETE FROM " + sqlite::quoteIdentifier(t->joinTableName) + " WHERE " +
                              column + " = ?1");
        if (!stmt)
            return stmt.error();
        (*stmt)->bindInt(1, id.primaryKey());
        return sqlite::run(db, **stmt, PersistentStoreSaveError, "Could not remove relationship rows");
    };
    for (const auto* t : impl_->schema->joinTablesOwnedBy(*layout->entity)) {
        if (auto error = removeWhere(t, "Z_OWNER"))
            return error;
    }
    for (const auto* t : impl_->schema->joinTablesHolding(*layout->entity)) {
        if (auto error = removeWhere(t, "Z_MEMBER"))
            return error;
    }
    return nullptr;
}

// A to-many whose inverse is a to-one is stored in the members' to-one
// columns. The context keeps both sides in step, so those columns normally
// already say what the to-many says and nothing is written here; a write that
// changed the to-many side alone (a primitive write) is stored by pointing the
// added members at the owner and clearing the removed ones that still point at
// it. A member row changed this way gets a new version, so a coordinator that
// read it before cannot overwrite the membership with its stale to-one.
ErrorPtr SQLiteStore::writeMemberKeys(const StoreChanges::ToMany& change, const EntityLayout& owner,
                                      const sqlite::ToManyLayout& layout, const RowInSave& rowInSave) {
    const RelationshipDescription* inverse = layout.relationship->inverseRelationship();
    Database& db = *impl_->db;
    // Whether the member's own row, written by this save, already points at
    // the owner: the usual case, where the context kept both sides in step.
    auto pointsAtOwner = [&](const StoreSnapshot& row) {
        const std::size_t at = inverse->index();
        auto target = at < row.values.size() ? ManagedObjectID::fromValue(row.values[at]) : nullptr;
        return target && target->isEqualID(*change.owner);
    };
    // Looked up only once a member needs a write: most saves skip them all.
    sqlite::MemberKeyStatements* statements = nullptr;
    auto write = [&](const ManagedObjectIDPtr& member, bool adding) -> ErrorPtr {
        if (!member || member->isTemporaryID() || member->storeIdentifier() != identifier())
            return nullptr;
        if (const StoreSnapshot* row = rowInSave(member); row && pointsAtOwner(*row) == adding)
            return nullptr;
        if (!statements) {
            auto found = impl_->memberKeyStatementsFor(layout);
            if (!found)
                return found.error();
            statements = *found;
        }
        Statement& s = adding ? statements->set : statements->clear;
        s.bindInt(1, change.owner->primaryKey());
        s.bindInt(2, member->primaryKey());
        if (statements->entityColumn >= 0 && adding)  // only the setting statement names the owner's entity
            s.bindInt(3, owner.number);
        return sqlite::run(db, s, PersistentStoreSaveError, "Could not save a relationship");
    };
    for (const auto& gone : change.removed) {
        if (auto error = write(gone, false))
            return error;
    }
    for (const auto& added : layout.relationship->isOrdered() ? change.members : change.added) {
        if (auto error = write(added, true))
            return error;
    }
    return nullptr;
}

Result<std::vector<bool>> SQLiteStore::rowsExist(const std::vector<ManagedObjectIDPtr>& ids) {
    if (auto error = impl_->readyError())
        return error;
    std::vector<bool> result(ids.size(), false);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const ManagedObjectID& id = *ids[i];
        if (id.isTemporaryID() || id.storeIdentifier() != identifier())
            continue;
        const EntityLayout* layout = layoutOf(*impl_->schema, *id.entity());
        if (!layout)
            continue;
        // The key's entity number only: the row's values stay on their
        // pages. A key at a time: an IN list of a few keys costs SQLite a
        // temporary index, more than the look-ups themselves.
        const auto& plan = impl_->statementsFor(*layout);
        auto stmt = impl_->db->cached(plan.entityByKey, plan.entityByKeyMemo);
        if (!stmt)
            return stmt.error();
        Statement& s = **stmt;
        ResetGuard guard(s);
        s.bindInt(1, id.primaryKey());
        const int rc = s.step();
        if (rc == sqlite::kRow)
            result[i] = s.columnInt(0) == layout->number;
        else if (rc != sqlite::kDone)
            return impl_->db->lastError(CoreDataError, "Could not fetch from the store");
    }
    return result;
}

ErrorPtr SQLiteStore::writeToMany(const StoreChanges::ToMany& change, const RowInSave& rowInSave) {
    const EntityLayout* owner = layoutOf(*impl_->schema, *change.owner->entity());
    const RelationshipDescription* r =
        owner ? owner->entity->relationshipNamed(change.relationship->name()) : nullptr;
    if (!r || !r->isToMany() || r->isTransient())
        return nullptr;
    const sqlite::ToManyLayout& layout = impl_->schema->toMany(*r);
    if (!layout.joinTable) {
        if (auto error = writeMemberKeys(change, *owner, layout, rowInSave))
            return error;
        if (layout.orderColumn < 0)
            return nullptr;
    }
    Database& db = *impl_->db;
    auto keyOf = [&](const ManagedObjectIDPtr& m) -> std::optional<int64_t> {
        if (!m || m->isTemporaryID() || m->storeIdentifier() != identifier())
            return std::nullopt;
        return m->primaryKey();
    };
    // Binds exactly the parameters the statement has (?1 .. ?3).
    auto exec = [&](const std::string& sql, int64_t a, std::optional<int64_t> b,
                    std::optional<int64_t> c = std::nullopt) -> ErrorPtr {
        auto stmt = db.cached(sql);
        if (!stmt)
            return stmt.error();
        (*stmt)->bindInt(1, a);
        if (b)
            (*stmt)->bindInt(2, *b);
        if (c)
            (*stmt)->bindInt(3, *c);
        return sqlite::run(db, **stmt, PersistentStoreSaveError, "Could not save a relationship");
    };
    const int64_t ownerKey = change.owner->primaryKey();
    if (!layout.joinTable) {
        const auto& column = layout.memberTable->columns[static_cast<std::size_t>(layout.orderColumn)];
        const std::string sql = "UPDATE " + sqlite::quoteIdentifier(layout.memberTable->name) + " SET " +
                                sqlite::quoteIdentifier(column.name) + " = ?1 WHERE Z_PK = ?2";
        for (std::size_t i = 0; i < change.members.size(); ++i) {
            if (auto key = keyOf(change.members[i]))
                if (auto error = exec(sql, static_cast<int64_t>(i + 1), key))
                    return error;
        }
        return nullptr;
    }
    const std::string table = sqlite::quoteIdentifier(layout.joinTableName);
    const std::string insert =
        "INSERT OR REPLACE INTO " + table + " (Z_OWNER, Z_MEMBER, Z_ORDER) VALUES (?1, ?2, ?3)";
    if (r->isOrdered()) {
        if (auto error = exec("DELETE FROM " + table + " WHERE Z_OWNER = ?1", ownerKey, std::nullopt))
            return error;
        for (std::size_t i = 0; i < change.members.size(); ++i) {
            if (auto key = keyOf(change.members[i]))
                if (auto error = exec(insert, ownerKey, key, static_cast<int64_t>(i + 1)))
                    return error;
        }
        return nullptr;
    }
    for (const auto& gone : change.removed) {
        if (auto key = keyOf(gone))
            if (auto error =
                    exec("DELETE FROM " + table + " WHERE Z_OWNER = ?1 AND Z_MEMBER = ?2", ownerKey, key))
                return error;
    }
    for (const auto& added : change.added) {
        if (auto key = keyOf(added))
            if (auto error = exec(insert, ownerKey, key, int64_t{0}))
                return error;
    }
    return nullptr;
}

ErrorPtr SQLiteStore::save(const StoreChanges& changes) {
    if (auto error = impl_->readyError())
        return error;
    if (isReadOnly())
        return makeError(PersistentStoreSaveError, "The store is read-only.");
    sqlite::hook("save.begin");
    sqlite::Transaction transaction(*impl_->db);
    if (auto error = transaction.begin(true))
        return error;
    // Updates and deletes first, each checking the version it was read at,
    // then inserts; join rows last, once every row they name is written.
    for (std::size_t i = 0; i < changes.updated.size(); ++i) {
        const StoreSnapshot* before = i < changes.updatedFrom.size() ? changes.updatedFrom[i].get() : nullptr;
        if (auto error = writeRow(*changes.updated[i], RowWrite::Update, before))
            return error;
    }
    for (const auto& row : changes.deleted) {
        if (auto error = writeRow(*row, RowWrite::Delete))
            return error;
        if (auto error = removeLinks(*row->objectID))
            return error;
    }
    // Inserts go entity by entity (in the order the entities first appear,
    // each entity's rows in the save's order), so that long runs of one
    // entity are written a group of rows at a time.
    // Most saves insert rows of one entity or none: those are written in
    // the save's order without grouping them first.
    InsertRun run;
    const bool oneEntity =
        std::all_of(changes.inserted.begin(), changes.inserted.end(), [&](const auto& row) {
            return row->objectID->entity() == changes.inserted.front()->objectID->entity();
        });
    if (oneEntity) {
        for (const auto& row : changes.inserted) {
            if (auto error = writeRow(*row, RowWrite::Insert, nullptr, &run))
                return error;
        }
    } else {
        std::vector<std::pair<const EntityDescription*, std::vector<const StoreSnapshot*>>> byEntity;
        for (const auto& row : changes.inserted) {
            const EntityDescription* entity = row->objectID->entity();
            auto it = std::find_if(byEntity.begin(), byEntity.end(),
                                   [&](const auto& entry) { return entry.first == entity; });
            if (it == byEntity.end()) {
                byEntity.emplace_back(entity, std::vector<const StoreSnapshot*>());
                it = byEntity.end() - 1;
            }
            it->second.push_back(row.get());
        }
        for (const auto& [entity, rows] : byEntity) {
            for (const StoreSnapshot* row : rows) {
                if (auto error = writeRow(*row, RowWrite::Insert, nullptr, &run))
                    return error;
            }
        }
    }
    if (auto error = writePendingInserts(run))
        return error;
    if (!changes.toMany.empty()) {
        // Owners not read for their change (a member's to-one set by ID)
        // must still have their rows, checked inside the transaction.
        std::vector<ManagedObjectIDPtr> unread;
        for (const auto& change : changes.toMany) {
            if (change.ownerUnread)
                unread.push_back(change.owner);
        }
        if (!unread.empty()) {
            auto exist = rowsExist(unread);
            if (!exist)
                return exist.error();
            Array gone;
            for (std::size_t i = 0; i < unread.size(); ++i) {
                if (!(*exist)[i])
                    gone.push_back(Value(ObjectPtr(unread[i])));
            }
            if (!gone.empty()) {
                Dictionary info;
                info.set("conflictList", Value(std::move(gone)));
                return makeError(ManagedObjectMergeError, "Could not merge changes.", std::move(info));
            }
        }
        // The rows this save writes, by key: only permanent IDs of this
        // store are asked for. One sorted block rather than a hash node per
        // row; built on first use, as most saves never ask.
        struct Written {
            const StoreChanges& changes;
            std::vector<std::pair<int64_t, const StoreSnapshot*>> rows;
            bool built = false;

            const StoreSnapshot* find(const ManagedObjectIDPtr& id) {
                if (!id || id->isTemporaryID())
                    return nullptr;
                if (!built) {
                    rows.reserve(changes.inserted.size() + changes.updated.size());
                    for (const auto* list : {&changes.inserted, &changes.updated})
                        for (const auto& row : *list)
                            if (row->objectID && !row->objectID->isTemporaryID())
                                rows.emplace_back(row->objectID->primaryKey(), row.get());
                    std::stable_sort(rows.begin(), rows.end(),
                                     [](const auto& a, const auto& b) { return a.first < b.first; });
                    built = true;
                }
                // Keys of one store are unique per root entity: equal keys of
                // other entities are told apart by the full comparison.
                auto it = std::lower_bound(rows.begin(), rows.end(), id->primaryKey(),
                                           [](const auto& entry, int64_t key) { return entry.first < key; });
                for (; it != rows.end() && it->first == id->primaryKey(); ++it) {
                    if (it->second->objectID->isEqualID(*id))
                        return it->second;
                }
                return nullptr;
            }
        } written{changes, {}};
        // One pointer captured: the function keeps it in place (no block
        // allocated), and it is made once for all of the save's to-manys.
        const RowInSave rowInSave = [w = &written](const ManagedObjectIDPtr& id) { return w->find(id); };
        for (const auto& change : changes.toMany) {
            if (auto error = writeToMany(change, rowInSave))
                return error;
        }
    }
    // Metadata nobody replaced since a save found it written is neither
    // copied nor compared again.
    uint64_t metadataCount = 0;
    std::optional<Dictionary> metadata = metadataChangedSince(impl_->metadataSeen, metadataCount);
    const bool metadataChanged = metadata && !(*metadata == impl_->writtenMetadata);
    if (metadataChanged) {
        if (auto error = writeMetadataRow(*metadata))
            return error;
    }
    sqlite::hook("save.commit");
    if (auto error = transaction.commit())
        return error;
    // Remembered only once committed, so that a rolled-back save writes the
    // metadata again next time.
    if (metadataChanged)
        impl_->writtenMetadata = std::move(*metadata);
    if (metadata)
        impl_->metadataSeen = metadataCount;
    sqlite::hook("save.end");
    return nullptr;
}

}  // namespace plat::coredata
