// The form in which an event store file keeps the application objects' URIs
// (the identifier records' "storeURI").
//
// A URI is split at its last '/' into a prefix ("x-objectstore://<store
// UUID>/Item/") and the rest ("p12345"; a URI without '/' has the prefix "").
// The prefixes are numbered (SYNNumberedTexts, under
// SYNStoreURIPrefixesMetadataKey) and a URI is stored as "<number>;<rest>"
// ("0;p12345"). Equal URIs always give equal stored texts, so look-ups by
// equality and IN-lists work on the stored texts of the URIs sought.
//
// A store without the key (written before the form existed) keeps its URIs
// as full text for good (every call below is then the identity).
//
// One codec per persistent store, shared by every context over it; any
// thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNNumberedTexts.h"

inline constexpr const char* SYNStoreURIPrefixesMetadataKey = "SYNStoreURIPrefixes";

class SYNStoreURIs : public SYNNumberedTexts {
  public:
    // The codec of store, made at its first use and kept while the store is.
    static std::shared_ptr<SYNStoreURIs> forStore(
        const std::shared_ptr<plat::coredata::PersistentStore>& store) {
        return SYNNumberedTexts::forStore<SYNStoreURIs>(store, SYNStoreURIPrefixesMetadataKey);
    }
    // The codec of the store the context's coordinator holds first (an event
    // store's coordinator holds that one store); without a store, the
    // identity.
    static std::shared_ptr<SYNStoreURIs> forContext(const plat::coredata::ManagedObjectContext& context) {
        return forStore(firstStore(context));
    }
    static std::shared_ptr<SYNStoreURIs> forCoordinator(
        const plat::coredata::PersistentStoreCoordinator& coordinator) {
        return forStore(firstStore(coordinator));
    }
    // The codec of the store of object's context (the identity without one).
    static std::shared_ptr<SYNStoreURIs> forObject(const plat::coredata::ManagedObject& object) {
        return SYNNumberedTexts::forObject<SYNStoreURIs>(object, SYNStoreURIPrefixesMetadataKey);
    }
    // Puts the empty list into the metadata of a store that is new (see
    // SYNNumberedTexts::startList), so that it keeps its URIs in the short
    // form.
    static void startPrefixList(plat::Dictionary& metadata) {
        startList(metadata, SYNStoreURIPrefixesMetadataKey);
    }

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

    using SYNNumberedTexts::SYNNumberedTexts;
};
