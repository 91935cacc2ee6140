// The form in which an event store file keeps the store identifiers of the
// baseline changes' values revisions ("valuesRevisionStore" of
// SYNObjectChange).
//
// The identifiers are numbered (SYNNumberedTexts, under
// SYNStoreIdentifiersMetadataKey) and stored as the decimal number ("0").
// The text depends on the identifier only, never on the event holding the
// row, so rows moved or copied between events keep it, and look-ups by
// equality work on the stored text of the identifier sought.
//
// A store without the key (written before the form existed) keeps full
// identifiers for good, whatever form its URIs have (every call below is
// then the identity).
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
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNNumberedTexts.h"

inline constexpr const char* SYNStoreIdentifiersMetadataKey = "SYNStoreIdentifiers";

class SYNStoreIdentifiers : public SYNNumberedTexts {
  public:
    // The codec of store, made at its first use and kept while the store is.
    static std::shared_ptr<SYNStoreIdentifiers> forStore(
        const std::shared_ptr<plat::coredata::PersistentStore>& store) {
        return SYNNumberedTexts::forStore<SYNStoreIdentifiers>(store, SYNStoreIdentifiersMetadataKey);
    }
    // The codec of the store the context's coordinator holds first; without
    // a store, the identity.
    static std::shared_ptr<SYNStoreIdentifiers> forContext(
        const plat::coredata::ManagedObjectContext& context) {
        return forStore(firstStore(context));
    }
    // The codec of the store of object's context (the identity without one).
    static std::shared_ptr<SYNStoreIdentifiers> forObject(const plat::coredata::ManagedObject& object) {
        return SYNNumberedTexts::forObject<SYNStoreIdentifiers>(object, SYNStoreIdentifiersMetadataKey);
    }
    // Puts the empty list into the metadata of a store that is new (see
    // SYNNumberedTexts::startList), so that it keeps numbered identifiers.
    static void startIdentifierList(plat::Dictionary& metadata) {
        startList(metadata, SYNStoreIdentifiersMetadataKey);
    }

    // The stored text of identifier, numbering it if it is new (the list is
    // written with the store's next save).
    std::string encode(const std::string& identifier);
    // The stored text of identifier when it is numbered already; nothing
    // otherwise (no stored text can then equal it). For look-ups: numbers
    // nothing.
    std::optional<std::string> encodeIfKnown(const std::string& identifier) const;
    // The identifier a stored text stands for; nothing when the text is not
    // a number of the list.
    std::optional<std::string> decode(std::string_view stored) const;

    using SYNNumberedTexts::SYNNumberedTexts;
};
