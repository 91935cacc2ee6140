// Keychain: a per-user store of secrets (the platform's keychain, generic
// passwords only).
//
// An item is identified by (service, account) and holds bytes plus an
// accessibility word that is stored and returned as given. Status codes are
// the platform's: errSecSuccess, errSecDuplicateItem when adding an item that
// exists, errSecItemNotFound when nothing matches, errSecIO when the backing
// file cannot be read or written, errSecDecode when it is damaged (a damaged
// file is never overwritten: every later call fails the same way until it is
// removed), errSecParam for an empty service or account where one is needed.
//
// Two backends:
//   * FileKeychain keeps every item of the user in one binary property list,
//     by default "$XDG_DATA_HOME/kestrel-keychain/login.keychain" (created 0600
//     in a 0700 folder). Every change re-reads the file and writes it back
//     atomically (temporary file, fsync, rename) under an flock(2) on a lock
//     file beside it, so several processes of the user may share it.
//   * MemoryKeychain keeps items in the process, for tests.
//
// Threads: every member may be called from any thread. The default keychain
// is a FileKeychain at the default path until setDefaultKeychain replaces it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/Data.h"
#include "platform/foundation/Mutex.h"

namespace plat::security {

using OSStatus = int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDecode = -26275;

// kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly, the one rule used here.
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "akpu";

struct GenericPassword {
    std::string service;
    std::string account;
    Data data;
    std::string accessible;
};

// Matches items by service and, when given, account.
struct KeychainQuery {
    std::string service;
    std::optional<std::string> account;
};

class Keychain {
  public:
    virtual ~Keychain() = default;

    // Adds the item; errSecDuplicateItem when (service, account) exists.
    virtual OSStatus add(const GenericPassword& item) = 0;
    // The first item that matches, copied into *result (when given).
    virtual OSStatus copyMatching(const KeychainQuery& query, GenericPassword* result) = 0;
    // Deletes every item that matches; errSecItemNotFound when none does.
    virtual OSStatus deleteMatching(const KeychainQuery& query) = 0;

    static std::shared_ptr<Keychain> defaultKeychain();
    // nullptr restores the file keychain at the default path.
    static void setDefaultKeychain(std::shared_ptr<Keychain> keychain);
};

class MemoryKeychain final : public Keychain {
  public:
    OSStatus add(const GenericPassword& item) override;
    OSStatus copyMatching(const KeychainQuery& query, GenericPassword* result) override;
    OSStatus deleteMatching(const KeychainQuery& query) override;

  private:
    plat::Mutex mutex_;
    std::map<std::pair<std::string, std::string>, GenericPassword> items_ GUARDED_BY(mutex_);
};

class FileKeychain final : public Keychain {
  public:
    // The file at `path`; its folder is created 0700 when missing.
    explicit FileKeychain(std::string path);
    // "$XDG_DATA_HOME/kestrel-keychain/login.keychain" (~/.local/share when unset).
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    OSStatus add(const GenericPassword& item) override;
    OSStatus copyMatching(const KeychainQuery& query, GenericPassword* result) override;
    OSStatus deleteMatching(const KeychainQuery& query) override;

  private:
    using Items = std::map<std::pair<std::string, std::string>, GenericPassword>;
    OSStatus read(Items& items) const REQUIRES(mutex_);
    OSStatus write(const Items& items) const REQUIRES(mutex_);
    // Runs body holding mutex_ (one user of the file per process) and the
    // file lock (one per machine); body tells the analysis with assertHeld().
    template <class F>
    OSStatus locked(bool exclusive, F&& body) EXCLUDES(mutex_);

    const std::string path_;
    Mutex mutex_;  // guards the file itself: read() and write() need it
};

}  // namespace plat::security
