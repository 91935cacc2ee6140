// UserDefaults: a program's persistent settings by key (the platform's user
// defaults).
//
// Two domains are searched in order: the persistent domain, kept in a
// property-list file, and the registration domain, filled by registerDefaults
// and never saved. The standard defaults keep their file at
// "$XDG_CONFIG_HOME/<bundle identifier>/defaults.plist" (~/.config when the
// variable is unset; "kestrel" when the main bundle has no identifier); a
// suite uses its name in place of the identifier; tests give a file path.
//
// Values must be property-list values (strings, numbers, booleans, dates,
// data, arrays, dictionaries); setObject refuses anything else. The file is a
// binary property list, so booleans stay booleans and dates keep their
// fractions of a second; a file that cannot be read is moved aside to
// "<file>.corrupt" and the domain starts empty. A file that exists but cannot
// be read at all (no permission) is never replaced: changes then stay in
// memory and every write fails with the read error.
//
// Every change is written to the file before the setter returns, atomically
// (temporary file, then rename); writes racing from several threads are
// coalesced so the file always ends with the latest state. A failed write is
// retried by the next change or by synchronize.
//
// Threads: every member may be called from any thread; a reader always sees
// the writes made before it in the process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

namespace plat {

class UserDefaults {
  public:
    static std::shared_ptr<UserDefaults> standardUserDefaults();
    // Drops the shared instance; the next standardUserDefaults() reopens the file
    // (for tests that change the environment).
    static void resetStandardUserDefaults();
    // nullptr for an empty name or a name holding "/".
    static std::shared_ptr<UserDefaults> create(std::string_view suiteName);

    // Defaults kept in the property-list file at path (created on first write,
    // together with its folder).
    explicit UserDefaults(std::string path);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& path() const { return path_; }

    // nullopt when no domain holds the key.
    std::optional<Value> objectForKey(std::string_view key) const;
    // Strings as themselves, numbers as their stringValue; nullopt otherwise.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<Array> arrayForKey(std::string_view key) const;
    std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
    std::optional<Data> dataForKey(std::string_view key) const;
    // Numbers and strings as the platform reads them ("YES", "true", "1" are
    // true; "12" is 12); anything else, or nothing, gives false / 0.
    bool boolForKey(std::string_view key) const;
    int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;

    // false, changing nothing, when value is not a property-list value or
    // key is not UTF-8; nullopt removes the key.
    bool setObject(const std::optional<Value>& value, std::string_view key);
    void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
    void setInteger(int64_t value, std::string_view key) { setObject(Value(value), key); }
    void setDouble(double value, std::string_view key) { setObject(Value(value), key); }
    void removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

    // Adds to the registration domain (replacing equal keys).
    void registerDefaults(const Dictionary& defaults);
    // Both domains merged, the persistent one winning.
    Dictionary dictionaryRepresentation() const;

    // Writes the persistent domain if a change is not yet on disk; true when
    // the file is up to date.
    [[nodiscard]] bool synchronize();
    // The error of the last failed write, null after a successful one.
    [[nodiscard]] ErrorPtr lastWriteError() const;

  private:
    void load();
    [[nodiscard]] bool persist() EXCLUDES(writeMutex_, mutex_);

    const std::string path_;
    Mutex writeMutex_ ACQUIRED_BEFORE(mutex_);  // one writer of the file at a time
    mutable Mutex mutex_;                       // guards the domains and the generation counters
    Dictionary persistent_ GUARDED_BY(mutex_);
    Dictionary registration_ GUARDED_BY(mutex_);
    uint64_t generation_ GUARDED_BY(mutex_) = 0;  // bumped by every change of persistent_
    uint64_t writtenGeneration_ GUARDED_BY(mutex_) = 0;
    ErrorPtr writeError_ GUARDED_BY(mutex_);
    ErrorPtr loadError_ GUARDED_BY(mutex_);  // set when an existing file could not be read
};

}  // namespace plat
