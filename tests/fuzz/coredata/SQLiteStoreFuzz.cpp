// Feeds arbitrary bytes to what the SQLite store reads from its file: the
// metadata property list, the stored model (JSON) and row values of any
// storage class in every column. The input is split at "\n--\n" into those
// three parts and written into a copy of a valid store; opening it (with the
// migration options) must refuse or load, never crash, and whatever loads
// must be readable throughout. An input of one part replaces the whole file.
#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "FuzzStoreSupport.h"
#include "platform/coredata/SQLiteStore.h"

namespace {

using namespace kpfuzz;

const std::string& templateStore() {
    static const std::string path = [] {
        std::string p = scratchFolder() + "/template.sqlite";
        auto coordinator = PersistentStoreCoordinator::create(makeFuzzModel());
        if (!coordinator->addPersistentStore(SQLiteStoreType, "", URL::fileURLWithPath(p), {}))
            std::abort();
        auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        auto item = context->insertNewObjectForEntityForName("Special");
        item->setValue(Value("s"), "str");
        auto leaf = context->insertNewObjectForEntityForName("Leaf");
        leaf->setObject(item, "owner");
        auto tag = context->insertNewObjectForEntityForName("Tag");
        item->mutableSetValueForKey("tags").addObject(tag);
        item->mutableSetValueForKey("loose").addObject(tag);
        if (context->save())
            std::abort();
        return p;
    }();
    return path;
}

// Binds a value of a storage class chosen by the input: the store must cope
// with any class in any column, whatever the column was declared as.
void bindFromInput(sqlite3_stmt* stmt, int at, std::string_view& in) {
    if (in.empty()) {
        sqlite3_bind_null(stmt, at);
        return;
    }
    const unsigned char kind = static_cast<unsigned char>(in[0]);
    in.remove_prefix(1);
    const std::size_t length =
        in.empty() ? 0 : std::min<std::size_t>(static_cast<unsigned char>(in[0]), in.size() - 1);
    std::string_view bytes = in.empty() ? std::string_view() : in.substr(1, length);
    in.remove_prefix(in.empty() ? 0 : 1 + length);
    int64_t integer = 0;
    std::memcpy(&integer, bytes.data(), std::min(bytes.size(), sizeof integer));
    switch (kind % 5) {
        case 0:
            sqlite3_bind_null(stmt, at);
            break;
        case 1:
            sqlite3_bind_int64(stmt, at, integer);
            break;
        case 2: {
            double d = 0;
            std::memcpy(&d, &integer, sizeof d);
            sqlite3_bind_double(stmt, at, d);
            break;
        }
        case 3:
            sqlite3_bind_text(stmt, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
            break;
        default:
            sqlite3_bind_blob(stmt, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
}

bool runSQL(sqlite3* db, const std::string& sql, std::string_view* values) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    for (int i = 1; values && i <= sqlite3_bind_parameter_count(stmt); ++i)
        bindFromInput(stmt, i, *values);
    bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
    return ok;
}

// Writes the parts into the copy at path: metadata and model as blobs, then
// every column of every row of every table of ours from the value bytes.
void applyParts(const std::string& path, std::string_view metadata, std::string_view model,
                std::string_view values) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        std::abort();
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "UPDATE Z_METADATA SET Z_VALUE = ?2 WHERE Z_KEY = ?1", -1, &stmt, nullptr);
    for (auto [key, bytes] : {std::pair{"metadata", metadata}, std::pair{"model", model}}) {
        if (bytes.empty())
            continue;
        sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_blob(stmt, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
    sqlite3_prepare_v2(db,
                       "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'Z\\_%' ESCAPE '\\'"
                       " AND name NOT IN ('Z_METADATA')",
                       -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
        tables.push_back({reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), {}});
    sqlite3_finalize(stmt);
    for (auto& [table, columns] : tables) {
        sqlite3_prepare_v2(db, ("SELECT name FROM pragma_table_info('" + table + "')").c_str(), -1, &stmt,
                           nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW)
            columns.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        for (const auto& column : columns) {
            if (values.empty())
                break;
            runSQL(db, "UPDATE \"" + table + "\" SET \"" + column + "\" = ?1", &values);
        }
    }
    sqlite3_close(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string& source = templateStore();
    static const std::string path = scratchFolder() + "/store.sqlite";
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t first = input.find("\n--\n");
    if (first == std::string_view::npos) {
        writeFile(path, data, size);
    } else {
        std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
        const std::string_view rest = input.substr(first + 4);
        const std::size_t second = rest.find("\n--\n");
        applyParts(path, input.substr(0, first), rest.substr(0, second),
                   second == std::string_view::npos ? std::string_view() : rest.substr(second + 4));
    }
    (void)SQLiteStore::metadataForStoreAtPath(path);
    Dictionary options;
    options.set(MigratePersistentStoresAutomaticallyOption, Value(true));
    options.set(InferMappingModelAutomaticallyOption, Value(true));
    auto coordinator = PersistentStoreCoordinator::create(makeFuzzModel());
    if (coordinator->addPersistentStore(SQLiteStoreType, "", URL::fileURLWithPath(path), options))
        readEverything(coordinator);
    return 0;
}
