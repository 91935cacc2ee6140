// SQLiteStore: opening and creating the file, metadata, and lightweight
// migration in place.
#include <sys/stat.h>

#include "platform/coredata/Migration.h"
#include "platform/coredata/detail/SQLiteStoreImpl.h"
#include "platform/coredata/detail/StoreRegistry.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UUID.h"

namespace plat::coredata {

using sqlite::Database;
using sqlite::quoteIdentifier;
using sqlite::ResetGuard;
using sqlite::Schema;

namespace {

ErrorPtr fileError(int64_t code, const std::string& text, const std::string& path) {
    Dictionary info;
    info.set(FilePathErrorKey, Value(path));
    return makeError(code, text, std::move(info));
}

ErrorPtr corrupt(const std::string& path, const std::string& why) {
    return fileError(FileReadCorruptFileError, "The file " + path + " is not a SQLite store: " + why + ".",
                     path);
}

// A file that exists, is not empty and is no SQLite database.
ErrorPtr foreignFile(const std::string& path) {
    if (auto other = registry::storeTypeOfFile(path); other && other->name != SQLiteStoreType)
        return fileError(PersistentStoreTypeMismatchError,
                         "The file " + path + " holds a " + other->name + " store, not a SQLite store.",
                         path);
    return corrupt(path, "it does not start with a SQLite header");
}

// Checks what is at path before SQLite touches it: nullopt when there is
// nothing (or an empty file), an error for a file of another kind.
std::optional<ErrorPtr> checkFile(const std::string& path, bool mustExist) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        if (mustExist)
            return fileError(FileReadNoSuchFileError, "There is no store at " + path + ".", path);
        return std::nullopt;
    }
    if (!sqlite::hasSQLiteHeader(path))
        return foreignFile(path);
    return ErrorPtr();
}

Result<Value> readKey(Database& db, const char* key) {
    auto stmt = db.cached("SELECT Z_VALUE FROM Z_METADATA WHERE Z_KEY = ?1");
    if (!stmt)
        return stmt.error();
    ResetGuard guard(**stmt);
    (*stmt)->bindTextInPlace(1, key);  // the caller's key outlives the reset
    int rc = (*stmt)->step();
    if (rc == sqlite::kDone)
        return Value();
    if (rc != sqlite::kRow)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's metadata");
    switch ((*stmt)->columnType(0)) {
        case sqlite::ColumnType::Integer:
            return Value((*stmt)->columnInt(0));
        case sqlite::ColumnType::Blob:
        case sqlite::ColumnType::Text: {
            auto bytes = (*stmt)->columnBlob(0);
            return Value(Data(bytes.data(), bytes.size()));
        }
        default:
            return Value();
    }
}

// Writes a key's row: bytes (a property list, the model's JSON) or a number.
// The statement is run and reset before this returns, so the key and the
// bytes are bound without SQLite's copy.
ErrorPtr writeKey(Database& db, const char* key, const Data* bytes, int64_t number = 0) {
    auto stmt = db.cached("INSERT OR REPLACE INTO Z_METADATA (Z_KEY, Z_VALUE) VALUES (?1, ?2)");
    if (!stmt)
        return stmt.error();
    (*stmt)->bindTextInPlace(1, key);
    if (bytes)
        (*stmt)->bindBlobInPlace(2, bytes->bytes(), bytes->length());
    else
        (*stmt)->bindInt(2, number);
    return sqlite::run(db, **stmt, PersistentStoreSaveError, "Could not write the store's metadata");
}

Result<Dictionary> readMetadata(Database& db, const std::string& path) {
    auto stored = readKey(db, sqlite::kMetadataKey);
    if (!stored)
        return stored.error();
    if (!stored->isData())
        return corrupt(path, "its metadata is missing");
    auto plist = PropertyListSerialization::propertyListWithData(*stored->asData());
    if (!plist || !plist->isDictionary())
        return corrupt(path, "its metadata is damaged");
    return *plist->asDictionary();
}

ErrorPtr writeModel(Database& db, const ManagedObjectModel& model) {
    auto json = JSONSerialization::dataWithJSONObject(model.JSONRepresentation());
    if (!json)
        return json.error();
    return writeKey(db, sqlite::kModelKey, &*json);
}

Result<std::shared_ptr<ManagedObjectModel>> readModel(Database& db) {
    auto stored = readKey(db, sqlite::kModelKey);
    if (!stored)
        return stored.error();
    if (!stored->isData())
        return makeError(InferredMappingModelError,
                         "The store does not record the model it was written with.");
    auto json = JSONSerialization::JSONObjectWithData(*stored->asData());
    if (!json)
        return json.error();
    return ManagedObjectModel::modelFromJSON(*json);
}

Result<bool> tableExists(Database& db, const std::string& name) {
    auto stmt = db.cached("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
    if (!stmt)
        return stmt.error();
    ResetGuard guard(**stmt);
    (*stmt)->bindText(1, name);
    if ((*stmt)->step() != sqlite::kRow)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's tables");
    return (*stmt)->columnInt(0) > 0;
}

// Whether the database holds a store: false when it has no Z_METADATA; an
// error when it has tables of our names that are not ours (another
// application's), so that they are refused as a foreign file, not misread.
// Read from the schema SQLite parsed when the connection opened, not by
// statements prepared for the purpose (each costs a compilation at every
// open of the store).
Result<bool> holdsStore(Database& db, const std::string& path) {
    using Shape = Database::TableShape;
    auto metadata = db.tableShape("Z_METADATA", {"Z_KEY", "Z_VALUE"});
    if (metadata && *metadata == Shape::Missing) {
        // The schema parsed before the caller's transaction began may
        // predate a store another connection has made since (two coordinators
        // creating one file): a statement reads the schema again as it runs.
        auto exists = tableExists(db, "Z_METADATA");
        if (!exists || !*exists)
            return exists;
        metadata = db.tableShape("Z_METADATA", {"Z_KEY", "Z_VALUE"});
    }
    if (!metadata)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's tables");
    auto entities = *metadata == Shape::HasColumns ? db.tableShape("Z_ENTITIES", {"Z_ENT", "Z_NAME", "Z_MAX"})
                                                   : Result<Shape>(Shape::OtherColumns);
    if (!entities)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's tables");
    if (*entities != Shape::HasColumns)
        return corrupt(path, "its tables are not a store's");
    return true;
}

Result<std::map<std::string, int64_t>> entityNumbers(Database& db) {
    auto stmt = db.cached("SELECT Z_ENT, Z_NAME FROM Z_ENTITIES");
    if (!stmt)
        return stmt.error();
    ResetGuard guard(**stmt);
    std::map<std::string, int64_t> numbers;
    int rc;
    while ((rc = (*stmt)->step()) == sqlite::kRow)
        numbers[std::string((*stmt)->columnText(1))] = (*stmt)->columnInt(0);
    if (rc != sqlite::kDone)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's entities");
    return numbers;
}

// Numbers the model's entities that the store does not know yet. Numbers are
// never reused, so rows of a removed entity can never pass for another's.
ErrorPtr addEntityNumbers(Database& db, const ManagedObjectModel& model,
                          std::map<std::string, int64_t>& numbers) {
    int64_t next = 1;
    for (const auto& [name, number] : numbers)
        next = std::max(next, number + 1);
    auto max = db.cached("SELECT coalesce(max(Z_ENT), 0) FROM Z_ENTITIES");
    if (!max)
        return max.error();
    {
        ResetGuard guard(**max);
        if ((*max)->step() != sqlite::kRow)
            return db.lastError(PersistentStoreSaveError, "Could not number an entity");
        next = std::max(next, (*max)->columnInt(0) + 1);
    }
    std::vector<std::string> names;
    for (const auto& [name, hash] : model.entityVersionHashesByName())
        names.push_back(name);  // sorted by name
    auto insert = db.cached("INSERT INTO Z_ENTITIES (Z_ENT, Z_NAME, Z_MAX) VALUES (?1, ?2, 0)");
    if (!insert)
        return insert.error();
    for (const auto& name : names) {
        if (numbers.count(name))
            continue;
        numbers[name] = next;
        (*insert)->bindInt(1, next++);
        (*insert)->bindText(2, name);
        if (auto error = sqlite::run(db, **insert, PersistentStoreSaveError, "Could not number an entity"))
            return error;
    }
    return nullptr;
}

bool sameHashes(const Value* stored, const ManagedObjectModel& model) {
    const Dictionary* hashes = stored ? stored->asDictionary() : nullptr;
    auto current = model.entityVersionHashesByName();
    if (!hashes || hashes->size() != current.size())
        return false;
    for (const auto& [name, hash] : current) {
        const Value* v = hashes->find(name);
        if (!v || !(*v == Value(hash)))
            return false;
    }
    return true;
}

ErrorPtr createTables(Database& db, const Schema& schema) {
    for (const auto& table : schema.tables()) {
        if (auto error = db.exec(Schema::createTableSQL(*table, table->name)))
            return error;
    }
    for (const auto& [name, layout] : schema.joinTables()) {
        for (const auto& sql : Schema::createJoinTableSQL(name)) {
            if (auto error = db.exec(sql))
                return error;
        }
    }
    return nullptr;
}

// Indexes follow the model's isIndexed flags, which do not change its hashes:
// create any that are missing whenever the store is opened for writing.
ErrorPtr createIndexes(Database& db, const Schema& schema) {
    for (const auto& table : schema.tables()) {
        for (const auto& sql : Schema::createIndexSQL(*table)) {
            if (auto error = db.exec(sql))
                return error;
        }
    }
    return nullptr;
}

// SQLite's schema cookie: changed by every change of the file's tables or
// indexes, by any connection.
Result<int64_t> schemaVersion(Database& db) {
    auto stmt = db.cached("PRAGMA schema_version");
    if (!stmt)
        return stmt.error();
    ResetGuard guard(**stmt);
    if ((*stmt)->step() != sqlite::kRow)
        return db.lastError(FileReadCorruptFileError, "Could not read the store's schema version");
    return (*stmt)->columnInt(0);
}

// The metadata and store UUID of a file known to hold a store, checked as
// every open checks them.
struct StoredMetadata {
    Dictionary metadata;
    std::string uuid;
};

Result<StoredMetadata> readStoredMetadata(Database& db, const std::string& path) {
    auto format = readKey(db, sqlite::kFormatKey);
    if (!format)
        return format.error();
    if (!format->isInteger() || format->longLongValue() < 1 ||
        format->longLongValue() > sqlite::kFormatVersion)
        return corrupt(path, "its layout version is unknown");
    auto metadata = readMetadata(db, path);
    if (!metadata)
        return metadata.error();
    const Value* type = metadata->find(StoreTypeKey);
    if (!type || !type->isString() || *type->asString() != SQLiteStoreType)
        return fileError(PersistentStoreTypeMismatchError,
                         "The store at " + path + " is not of the SQLite type.", path);
    // Copied: a migration adds keys to the metadata, which may move its
    // values, so no pointer into it is kept across the migration.
    const Value* uuidValue = metadata->find(StoreUUIDKey);
    if (!uuidValue || !uuidValue->isString() || uuidValue->asString()->empty())
        return corrupt(path, "its metadata has no store UUID");
    std::string uuid = *uuidValue->asString();
    if (!isValidStoreIdentifier(uuid))
        return corrupt(path, "its store UUID is not a valid identifier");
    return StoredMetadata{std::move(*metadata), std::move(uuid)};
}

bool optionSet(const Dictionary& options, const char* key) {
    const Value* v = options.find(key);
    return v && v->boolValue();
}

}  // namespace

ErrorPtr SQLiteStore::load(const std::shared_ptr<const ManagedObjectModel>& model) {
    setModel(model);
    if (!URL() || !URL()->isFileURL())
        return makeError(PersistentStoreOpenError, "A SQLite store needs a file URL.");
    impl_->path = URL()->path();
    if (auto refused = checkFile(impl_->path, isReadOnly()); refused && *refused)
        return *refused;
    impl_->memberKeyStatements.clear();  // prepared on the connection being replaced
    impl_->db.reset();
    bool reused = false;
    if (isReadOnly()) {
        auto db = Database::openForReading(impl_->path, kBusyTimeoutMilliseconds);
        if (!db)
            return db.error();
        impl_->db.reset(db->release());
    } else {
        auto db = sqlite::connectForWriting(impl_->path, kBusyTimeoutMilliseconds, reused);
        if (!db)
            return db.error();
        impl_->db = std::move(*db);
    }
    // A connection another store of the file had is configured already (its
    // journal mode and synchronous setting stay with it); a new one is lent
    // to other stores only once configured.
    ErrorPtr error = reused ? nullptr : configureConnection();
    if (!error) {
        impl_->db->setLendable();
        error = openSchema(model, reused);
    }
    if (error)
        impl_->db.reset();
    return openFailure(std::move(error));
}

// A store that cannot be opened is one error, 134080, whether SQLite refused
// the file when it was opened or at its first statement; errors that say
// more (a damaged file, another type, another model version) keep their codes.
ErrorPtr SQLiteStore::openFailure(ErrorPtr error) {
    if (!error || error->code() != CoreDataError)
        return error;
    Dictionary info = error->userInfo();
    info.set(FilePathErrorKey, Value(impl_->path));
    return makeError(PersistentStoreOpenError,
                     "The store at " + impl_->path + " could not be opened: " + error->localizedDescription(),
                     std::move(info));
}

ErrorPtr SQLiteStore::configureConnection() {
    Database& db = *impl_->db;
    if (!isReadOnly()) {
        // Readers never wait for the writer, and a crash leaves the last
        // committed transaction (FULL: synced at every commit, so a key
        // reserved is still reserved after a power loss).
        if (auto error = db.exec("PRAGMA journal_mode=WAL"))
            return error;
    }
    return db.exec("PRAGMA synchronous=FULL");
}

ErrorPtr SQLiteStore::openSchema(const std::shared_ptr<const ManagedObjectModel>& model,
                                 bool reusedConnection) {
    Database& db = *impl_->db;
    impl_->schemaVersion = -1;
    if (reusedConnection) {
        bool unchanged = false;
        if (auto error = reopenUnchanged(model, unchanged))
            return error;
        if (unchanged)
            return nullptr;
    }
    sqlite::Transaction transaction(db);
    if (auto error = transaction.begin(!isReadOnly()))
        return error;
    if (reusedConnection) {
        // The schema the connection parsed may be older than the file's
        // (another connection may have changed it since): a statement run
        // in the transaction makes SQLite read it again when it changed.
        if (auto current = tableExists(db, "Z_METADATA"); !current)
            return current.error();
    }
    auto exists = holdsStore(db, impl_->path);
    if (!exists)
        return exists.error();
    ErrorPtr error;
    if (*exists) {
        error = openExisting(*model);
    } else {
        auto others = db.cached("SELECT count(*) FROM sqlite_master");
        if (!others)
            return others.error();
        int64_t count = 0;
        {
            ResetGuard guard(**others);
            if ((*others)->step() != sqlite::kRow)
                return db.lastError(FileReadCorruptFileError, "Could not read the store's tables");
            count = (*others)->columnInt(0);
        }
        if (count > 0)
            return corrupt(impl_->path, "it is a SQLite database of another application");
        if (isReadOnly())
            return corrupt(impl_->path, "it holds no store and the store is read-only");
        error = createStore(*model);
    }
    if (error)
        return error;
    if (!isReadOnly()) {
        // Read after the indexes were made: what a later store of this
        // connection compares (see reopenUnchanged).
        auto version = schemaVersion(db);
        if (!version)
            return version.error();
        impl_->schemaVersion = *version;
    }
    return transaction.commit();
}

ErrorPtr SQLiteStore::reopenUnchanged(const std::shared_ptr<const ManagedObjectModel>& model,
                                      bool& unchanged) {
    Database& db = *impl_->db;
    unchanged = false;
    // Taken whatever follows: only a store that opened leaves state again.
    std::unique_ptr<sqlite::ConnectionState> state = db.takeState();
    auto* carried = dynamic_cast<Impl::Carried*>(state.get());
    if (!carried || carried->model != model)
        return nullptr;
    // Tables, indexes and entity numbers change only with the schema (a
    // migration rebuilds tables; indexes are made or dropped): while SQLite's
    // schema cookie is the one read when the store before opened the file,
    // they are as that store left them, whichever connection or process
    // wrote since. The metadata changes with saves, so it is read and
    // checked as every open does. A read transaction: nothing is written.
    sqlite::Transaction transaction(db);
    if (auto error = transaction.begin(false))
        return error;
    auto version = schemaVersion(db);
    if (!version)
        return version.error();
    if (*version != carried->schemaVersion)
        return transaction.commit();
    auto stored = readStoredMetadata(db, impl_->path);
    if (!stored)
        return stored.error();
    if (!sameHashes(stored->metadata.find(StoreModelVersionHashesKey), *model))
        return transaction.commit();
    if (auto error = transaction.commit())
        return error;
    impl_->adopt(*carried);
    setIdentifier(stored->uuid);
    plat::MutexLock lock(metadataMutex_);
    metadata_ = stored->metadata;
    ++metadataChanges_;
    impl_->writtenMetadata = std::move(stored->metadata);
    unchanged = true;
    return nullptr;
}

ErrorPtr SQLiteStore::createStore(const ManagedObjectModel& model) {
    Database& db = *impl_->db;
    for (const char* sql : {"CREATE TABLE Z_METADATA (Z_KEY TEXT PRIMARY KEY, Z_VALUE)",
                            "CREATE TABLE Z_ENTITIES (Z_ENT INTEGER PRIMARY KEY, Z_NAME TEXT NOT NULL UNIQUE,"
                            " Z_MAX INTEGER NOT NULL DEFAULT 0)"}) {
        if (auto error = db.exec(sql))
            return error;
    }
    std::map<std::string, int64_t> numbers;
    if (auto error = addEntityNumbers(db, model, numbers))
        return error;
    auto schema = Schema::build(model, numbers);
    if (!schema)
        return schema.error();
    if (auto error = createTables(db, **schema))
        return error;
    if (auto error = createIndexes(db, **schema))
        return error;
    impl_->setSchema(std::move(*schema));
    setIdentifier(UUID().UUIDString());
    Dictionary metadata;
    metadata.set(StoreTypeKey, Value(SQLiteStoreType));
    metadata.set(StoreUUIDKey, Value(identifier()));
    metadata.set(StoreModelVersionHashesKey, Value(sqlite::hashesOf(model)));
    metadata.set(StoreModelVersionIdentifiersKey, sqlite::versionIdentifiersOf(model));
    if (auto error = writeKey(db, sqlite::kFormatKey, nullptr, sqlite::kFormatVersion))
        return error;
    if (auto error = writeModel(db, model))
        return error;
    if (auto error = writeMetadataRow(metadata))
        return error;
    plat::MutexLock lock(metadataMutex_);
    metadata_ = metadata;
    ++metadataChanges_;
    impl_->writtenMetadata = std::move(metadata);
    return nullptr;
}

ErrorPtr SQLiteStore::openExisting(const ManagedObjectModel& model) {
    Database& db = *impl_->db;
    auto stored = readStoredMetadata(db, impl_->path);
    if (!stored)
        return stored.error();
    Dictionary* metadata = &stored->metadata;
    const std::string& uuid = stored->uuid;
    auto numbers = entityNumbers(db);
    if (!numbers)
        return numbers.error();
    if (!sameHashes(metadata->find(StoreModelVersionHashesKey), model)) {
        if (auto error = migrate(model, *metadata, *numbers))
            return error;
    } else {
        auto schema = Schema::build(model, *numbers);
        if (!schema)
            return schema.error();
        impl_->setSchema(std::move(*schema));
    }
    if (!isReadOnly()) {
        if (auto error = createIndexes(db, *impl_->schema))
            return error;
    }
    setIdentifier(uuid);
    plat::MutexLock lock(metadataMutex_);
    metadata_ = *metadata;
    ++metadataChanges_;
    impl_->writtenMetadata = std::move(*metadata);
    return nullptr;
}

ErrorPtr SQLiteStore::migrate(const ManagedObjectModel& model, Dictionary& metadata,
                              std::map<std::string, int64_t>& numbers) {
    const bool automatic = optionSet(options(), MigratePersistentStoresAutomaticallyOption);
    const bool infer = optionSet(options(), InferMappingModelAutomaticallyOption);
    if (!automatic || isReadOnly())
        return fileError(
            PersistentStoreIncompatibleVersionHashError,
            "The model used to open the store is incompatible with the one used to create the store.",
            impl_->path);
    if (!infer)
        return fileError(MigrationMissingMappingModelError,
                         "Can't find a mapping model for the migration of the store at " + impl_->path + ".",
                         impl_->path);
    Database& db = *impl_->db;
    auto old = readModel(db);
    if (!old)
        return old.error();
    if (!sameHashes(metadata.find(StoreModelVersionHashesKey), **old))
        return makeError(InferredMappingModelError,
                         "The model recorded in the store does not match its hashes.");
    auto mapping = MappingModel::inferredMappingModel(**old, model);
    if (!mapping)
        return mapping.error();
    if (auto error = addEntityNumbers(db, model, numbers))
        return error;
    auto from = Schema::build(**old, numbers);
    auto to = Schema::build(model, numbers);
    if (!from || !to)
        return from ? to.error() : from.error();
    for (const auto& table : (*to)->tables()) {
        if (auto error = rebuildTable(*table, (*from)->tableNamed(table->name), *mapping, numbers))
            return error;
    }
    std::vector<std::string> drops;
    for (const auto& table : (*from)->tables()) {
        if (!(*to)->tableNamed(table->name))
            drops.push_back(table->name);
    }
    for (const auto& [name, layout] : (*from)->joinTables()) {
        if (!(*to)->joinTables().count(name))
            drops.push_back(name);
    }
    for (const auto& name : drops) {
        if (auto error = db.exec("DROP TABLE " + quoteIdentifier(name)))
            return error;
    }
    for (const auto& [name, layout] : (*to)->joinTables()) {
        if ((*from)->joinTables().count(name))
            continue;
        for (const auto& sql : Schema::createJoinTableSQL(name)) {
            if (auto error = db.exec(sql))
                return error;
        }
    }
    impl_->setSchema(std::move(*to));
    metadata.set(StoreModelVersionHashesKey, Value(sqlite::hashesOf(model)));
    metadata.set(StoreModelVersionIdentifiersKey, sqlite::versionIdentifiersOf(model));
    if (auto error = writeModel(db, model))
        return error;
    return writeMetadataRow(metadata);
}

// Copies a table into the new layout: kept columns by their keys, added
// attributes as their defaults, rows of removed entities left behind.
ErrorPtr SQLiteStore::rebuildTable(const sqlite::Table& to, const sqlite::Table* from,
                                   const MappingModel& mapping,
                                   const std::map<std::string, int64_t>& numbers) {
    Database& db = *impl_->db;
    if (!from)
        return db.exec(Schema::createTableSQL(to, to.name));
    auto sourceColumn = [&](const std::string& key) -> const sqlite::Column* {
        for (const auto& c : from->columns) {
            if (c.key == key)
                return &c;
        }
        return nullptr;
    };
    std::string insert = "INSERT INTO Z_MIGRATING (Z_PK, Z_ENT, Z_OPT", select = "SELECT Z_PK, Z_ENT, Z_OPT";
    std::vector<std::pair<int, const AttributeDescription*>> defaults;
    for (const auto& c : to.columns) {
        insert += ", " + quoteIdentifier(c.name);
        auto* attribute = c.kind == sqlite::ColumnKind::Attribute
                              ? static_cast<const AttributeDescription*>(c.property)
                              : nullptr;
        if (const auto* source = sourceColumn(c.key)) {
            select += ", " + quoteIdentifier(source->name);
        } else if (attribute && attribute->defaultValue()) {
            defaults.emplace_back(static_cast<int>(defaults.size() + 1), attribute);
            select += ", ?" + std::to_string(defaults.size());
        } else if (const auto* key = c.kind == sqlite::ColumnKind::ToOneEntity
                                         ? sourceColumn("k" + c.key.substr(1))
                                         : nullptr) {
            // The destination gained sub-entities: every stored reference is
            // to the destination itself.
            auto* r = static_cast<const RelationshipDescription*>(c.property);
            select += ", CASE WHEN " + quoteIdentifier(key->name) + " IS NULL THEN NULL ELSE " +
                      std::to_string(numbers.at(r->destinationEntity()->name())) + " END";
        } else {
            select += ", NULL";
        }
    }
    std::string kept;
    for (const EntityDescription* e : to.root->selfAndDescendants()) {
        if (mapping.sourceEntityFor(*e))
            kept += (kept.empty() ? "" : ", ") + std::to_string(numbers.at(e->name()));
    }
    const std::string sql = insert + ") " + select + " FROM " + quoteIdentifier(from->name) +
                            (kept.empty() ? " WHERE 0" : " WHERE Z_ENT IN (" + kept + ")");
    if (auto error = db.exec(Schema::createTableSQL(to, "Z_MIGRATING")))
        return error;
    auto copy = db.prepare(sql);
    if (!copy)
        return copy.error();
    for (const auto& [at, attribute] : defaults) {
        if (auto error = sqlite::bindAttribute(*copy, at, *attribute, *attribute->defaultValue()))
            return error;
    }
    if (auto error = sqlite::run(db, *copy, PersistentStoreSaveError, "Could not migrate a table"))
        return error;
    if (auto error = db.exec("DROP TABLE " + quoteIdentifier(from->name)))
        return error;
    return db.exec("ALTER TABLE Z_MIGRATING RENAME TO " + quoteIdentifier(to.name));
}

ErrorPtr SQLiteStore::writeMetadataRow(const Dictionary& metadata) {
    auto plist = PropertyListSerialization::dataWithPropertyList(Value(metadata),
                                                                 PropertyListSerialization::Format::Binary);
    if (!plist)
        return plist.error();
    return writeKey(*impl_->db, sqlite::kMetadataKey, &*plist);
}

ErrorPtr SQLiteStore::writeMetadata() {
    if (auto error = impl_->readyError())
        return error;
    if (isReadOnly())
        return makeError(PersistentStoreSaveError, "The store is read-only.");
    Dictionary metadata = this->metadata();
    sqlite::Transaction transaction(*impl_->db);
    if (auto error = transaction.begin(true))
        return error;
    if (auto error = writeMetadataRow(metadata))
        return error;
    if (auto error = transaction.commit())
        return error;
    impl_->writtenMetadata = std::move(metadata);
    return nullptr;
}

Result<Dictionary> SQLiteStore::metadataForStoreAtPath(const std::string& path) {
    if (auto refused = checkFile(path, true); !refused || *refused)
        return refused ? *refused
                       : fileError(FileReadNoSuchFileError, "There is no store at " + path + ".", path);
    auto db = Database::openForReading(path, kBusyTimeoutMilliseconds);
    if (!db)
        return db.error();
    auto exists = holdsStore(**db, path);
    if (!exists)
        return exists.error();
    if (!*exists)
        return corrupt(path, "it holds no store");
    return readMetadata(**db, path);
}

ErrorPtr SQLiteStore::setMetadataForStoreAtPath(const Dictionary& metadata, const std::string& path) {
    if (auto refused = checkFile(path, true); !refused || *refused)
        return refused ? *refused
                       : fileError(FileReadNoSuchFileError, "There is no store at " + path + ".", path);
    auto db = Database::open(path, false, false, kBusyTimeoutMilliseconds);
    if (!db)
        return db.error();
    Database& d = **db;
    sqlite::Transaction transaction(d);
    if (auto error = transaction.begin(true))
        return error;
    auto exists = holdsStore(d, path);
    if (!exists)
        return exists.error();
    if (!*exists)
        return corrupt(path, "it holds no store");
    auto current = readMetadata(d, path);
    if (!current)
        return current.error();
    Dictionary updated = metadata;
    for (const char* key :
         {StoreTypeKey, StoreUUIDKey, StoreModelVersionHashesKey, StoreModelVersionIdentifiersKey}) {
        if (const Value* own = current->find(key))
            updated.set(key, *own);
    }
    auto plist = PropertyListSerialization::dataWithPropertyList(Value(updated),
                                                                 PropertyListSerialization::Format::Binary);
    if (!plist)
        return plist.error();
    if (auto error = writeKey(d, sqlite::kMetadataKey, &*plist))
        return error;
    return transaction.commit();
}

}  // namespace plat::coredata
