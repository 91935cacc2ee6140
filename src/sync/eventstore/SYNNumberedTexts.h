// Texts an event store file keeps as numbers: an append-only list under one
// key of the store's metadata, a text's number being its place in the list.
//
// The store writes its metadata in the transaction of the save that follows
// a change to it, so a text numbered before the rows naming it are saved is
// on disk with them. A store holds such numbers only when its metadata have
// the key (stores made by SYNEventStore get an empty list when they are
// made); a store without the key keeps the texts in full for good.
//
// One list per persistent store and key, shared by every context over the
// store (the codecs built on it: SYNStoreURIs, SYNStoreIdentifiers); any
// thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

class SYNNumberedTexts {
  public:
    // What a list starts from: its store, its metadata key, whether the
    // store keeps numbers (the key is there) and the list read.
    struct Start {
        std::weak_ptr<plat::coredata::PersistentStore> store;
        const char* key = "";
        bool compact = false;
        std::vector<std::string> texts;
    };
    explicit SYNNumberedTexts(Start start);
    virtual ~SYNNumberedTexts() = default;
    SYNNumberedTexts(const SYNNumberedTexts&) = delete;
    SYNNumberedTexts& operator=(const SYNNumberedTexts&) = delete;

    // Puts an empty list under key into the metadata of a store that is new
    // (through PersistentStore::updateMetadata). Metadata that have a list
    // keep it. Call before the store's first use.
    static void startList(plat::Dictionary& metadata, const char* key);

    // Whether the store keeps the texts as numbers.
    bool isCompact() const { return compact_; }
    // The number of text, when it has one (numbers nothing).
    std::optional<std::size_t> numberOf(std::string_view text) const EXCLUDES(mutex_);
    // The number of text, numbering it when it is new: added to the store's
    // metadata atomically (whatever other threads add at the same time),
    // written with the store's next save.
    std::size_t number(std::string_view text) EXCLUDES(mutex_);
    // A stored text's leading decimal number and what follows it; nothing
    // when it does not start with one.
    static std::optional<std::pair<std::size_t, std::string_view>> leadingNumber(std::string_view stored);
    // The text numbered `number` followed by suffix; nothing when the list
    // lacks it.
    std::optional<std::string> textWithSuffix(std::size_t number, std::string_view suffix) const
        EXCLUDES(mutex_);

  protected:
    // The codec of type Codec (made from a Start) for the list under key of
    // store, made at its first use and kept while the store is; without a
    // store, one that keeps texts in full. One key is used by one codec type.
    template <class Codec>
    static std::shared_ptr<Codec> forStore(const std::shared_ptr<plat::coredata::PersistentStore>& store,
                                           const char* key) {
        if (!store) {
            static const auto identity = std::make_shared<Codec>(Start{{}, key, false, {}});
            return identity;
        }
        return std::static_pointer_cast<Codec>(
            registered(store, key, [](Start start) { return std::make_shared<Codec>(std::move(start)); }));
    }
    // The codec of type Codec for the list under key of the store of
    // object's context; without one, one that keeps texts in full.
    template <class Codec>
    static std::shared_ptr<Codec> forObject(const plat::coredata::ManagedObject& object, const char* key) {
        const auto context = object.managedObjectContext();
        return forStore<Codec>(context ? firstStore(*context) : nullptr, key);
    }
    // The first store the coordinator holds (an event store's coordinator
    // holds that one store); null without one.
    static std::shared_ptr<plat::coredata::PersistentStore> firstStore(
        const plat::coredata::PersistentStoreCoordinator& coordinator);
    static std::shared_ptr<plat::coredata::PersistentStore> firstStore(
        const plat::coredata::ManagedObjectContext& context);

  private:
    using Make = std::function<std::shared_ptr<SYNNumberedTexts>(Start)>;
    static std::shared_ptr<SYNNumberedTexts> registered(
        const std::shared_ptr<plat::coredata::PersistentStore>& store, const char* key, const Make& make);

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    // Takes list when it is longer than the one known (lists only grow).
    void adopt(std::vector<std::string> list) EXCLUDES(mutex_);

    const std::weak_ptr<plat::coredata::PersistentStore> store_;
    const std::string key_;
    const bool compact_;
    mutable plat::Mutex mutex_;
    std::vector<std::string> texts_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> numbers_ GUARDED_BY(mutex_);
};
