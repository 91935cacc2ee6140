// The form in which an event store file keeps the application objects' URIs
// (the identifier records' "storeURI").
//
// A URI is split at its last '/' into a prefix ("x-objectstore://<store
// UUID>/Item/") and the rest ("p12345"; a URI without '/' has the prefix "").
// The prefixes are numbered in the order they were first written, kept as an
// append-only list under SYNStoreURIPrefixesMetadataKey in the store's
// metadata, and a URI is stored as "<number>;<rest>" ("0;p12345"). The store
// writes its metadata in the transaction of the save that follows a change to
// it, so a prefix added before the rows naming it are saved is on disk with
// them. Equal URIs always give equal stored texts, so look-ups by equality
// and IN-lists work on the stored texts of the URIs sought.
//
// A store holds its URIs in that form when its metadata has the key (stores
// made by SYNEventStore get an empty list when they are made); a store
// written before the form existed has no key and keeps its URIs as full text
// for good (every call below is then the identity).
//
// One codec per persistent store, shared by every context over it; any
// thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

inline constexpr const char* SYNStoreURIPrefixesMetadataKey = "SYNStoreURIPrefixes";

class SYNStoreURIs {
  public:
    // The codec of store, made at its first use and kept while the store is.
    static std::shared_ptr<SYNStoreURIs> forStore(
        const std::shared_ptr<plat::coredata::PersistentStore>& store);
    // The codec of the store the context's coordinator holds first (an event
    // store's coordinator holds that one store); without a store, the
    // identity.
    static std::shared_ptr<SYNStoreURIs> forContext(const plat::coredata::ManagedObjectContext& context);
    static std::shared_ptr<SYNStoreURIs> forCoordinator(
        const plat::coredata::PersistentStoreCoordinator& coordinator);
    // The codec of the store of object's context (the identity without one).
    static std::shared_ptr<SYNStoreURIs> forObject(const plat::coredata::ManagedObject& object);
    // Puts the empty list into the metadata of a store that is new (through
    // PersistentStore::updateMetadata), so that it keeps its URIs in the
    // short form. Metadata that have a list keep it. Call before the store's
    // first use.
    static void startPrefixList(plat::Dictionary& metadata);

    // Whether the store keeps URIs in the short form.
    bool isCompact() const { return compact_; }
    // The stored text of uri, numbering its prefix if it is new (the list is
    // written with the store's next save). Reuses uri's buffer.
    std::string encode(std::string uri);
    // The stored text of uri when its prefix is numbered already; nothing
    // otherwise (no stored URI can then equal it). For look-ups: numbers
    // nothing.
    std::optional<std::string> encodeIfKnown(std::string uri) const;
    // The URI a stored text stands for; nothing when the text is not of the
    // form or names a prefix the list lacks.
    std::optional<std::string> decode(std::string_view stored) const;
    std::optional<std::string> decode(const std::string& stored) const {
        return decode(std::string_view(stored));
    }
    std::optional<std::string> decode(const char* stored) const { return decode(std::string_view(stored)); }
    // The same for a stored value: nothing when it is not a string.
    std::optional<std::string> decode(const plat::Value& stored) const;

    SYNStoreURIs(std::weak_ptr<plat::coredata::PersistentStore> store, bool compact,
                 std::vector<std::string> prefixes);

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    // The number of prefix, when it has one.
    std::optional<std::size_t> numberOf(std::string_view prefix) const EXCLUDES(mutex_);
    // Numbers prefix in the store's metadata (atomically, whatever other
    // threads add at the same time) and takes the store's list.
    std::size_t add(std::string_view prefix) EXCLUDES(mutex_);
    // Takes list when it is longer than the one known (lists only grow).
    void adopt(std::vector<std::string> list) EXCLUDES(mutex_);

    const std::weak_ptr<plat::coredata::PersistentStore> store_;
    const bool compact_;
    mutable plat::Mutex mutex_;
    std::vector<std::string> prefixes_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> numbers_ GUARDED_BY(mutex_);
};
