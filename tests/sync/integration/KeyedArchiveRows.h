// Rewrites an event store file's change values as the keyed archives older
// versions stored, to check that such stores still merge and export alike.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace integrationtest {

// keyed(values): the keyed archive of stored change values (either form).
inline void keyedArchiveOfStoredValues(sqlite3_context* call, int, sqlite3_value** arguments) {
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(arguments[0]));
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(arguments[0]));
    auto values = SYNUnarchivePropertyChangeValues(plat::Data(bytes, size));
    auto archive = values.ok() ? SYNArchivePropertyChangeValues(*values) : values.error();
    if (!archive.ok()) {
        sqlite3_result_error(call, "unreadable change values", -1);
        return;
    }
    sqlite3_result_blob(call, archive->bytes(), static_cast<int>(archive->length()), SQLITE_TRANSIENT);
}

// Runs `sql` on the store file at path with keyed() available; returns the
// first column of the first row of the last statement, if any, as a number.
inline int64_t execOnStoreFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_create_function(db, "keyed", 1, SQLITE_UTF8, nullptr, keyedArchiveOfStoredValues, nullptr,
                            nullptr);
    int64_t result = 0;
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(
                  db, sql.c_str(),
                  [](void* out, int columns, char** values, char**) {
                      if (columns > 0 && values[0]) {
                          *static_cast<int64_t*>(out) = std::stoll(values[0]);
                      }
                      return 0;
                  },
                  &result, &message),
              SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
    return result;
}

// Every change row of the store rewritten as a keyed archive; the number of
// rows that were compact before.
inline int64_t rewriteChangeValuesAsKeyedArchives(const std::string& path) {
    const int64_t compact = execOnStoreFile(
        path, "SELECT count(*) FROM Z_SYNOBJECTCHANGE WHERE substr(ZPROPERTYCHANGEVALUES, 1, 2) = x'0001'");
    execOnStoreFile(path,
                    "UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = keyed(ZPROPERTYCHANGEVALUES)");
    EXPECT_EQ(execOnStoreFile(path,
                              "SELECT count(*) FROM Z_SYNOBJECTCHANGE WHERE "
                              "substr(ZPROPERTYCHANGEVALUES, 1, 8) <> CAST('bplist00' AS BLOB)"),
              0);
    return compact;
}

}  // namespace integrationtest
