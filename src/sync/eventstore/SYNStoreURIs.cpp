#include "sync/eventstore/SYNStoreURIs.h"

#include <charconv>
#include <utility>

namespace {

using plat::coredata::PersistentStore;

// The prefix list in metadata; empty when absent or not a list of strings
// (a value of another kind is never written).
std::vector<std::string> prefixList(const plat::Dictionary& metadata) {
    std::vector<std::string> list;
    const plat::Value* value = metadata.find(SYNStoreURIPrefixesMetadataKey);
    const plat::Array* array = value ? value->asArray() : nullptr;
    if (!array) {
        return list;
    }
    list.reserve(array->size());
    for (const auto& entry : *array) {
        const std::string* text = entry.asString();
        list.push_back(text ? *text : std::string());
    }
    return list;
}

// Where the prefix of uri ends: after its last '/', or at 0.
std::size_t prefixLength(std::string_view uri) {
    const std::size_t slash = uri.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// Writes "<number>;" over the first `length` characters of uri.
void replacePrefix(std::string& uri, std::size_t length, std::size_t number) {
    char head[24];
    char* end = std::to_chars(head, head + sizeof(head) - 1, number).ptr;
    *end++ = ';';
    uri.replace(0, length, head, static_cast<std::size_t>(end - head));
}

// The codecs of the stores in use. A store is known by its address while it
// lives; an entry whose store is gone is dropped (another store may come to
// have its address).
struct Registry {
    plat::Mutex mutex;
    std::vector<std::pair<std::weak_ptr<PersistentStore>, std::shared_ptr<SYNStoreURIs>>> entries
        GUARDED_BY(mutex);
};

Registry& registry() {
    static auto* kept = new Registry;  // outlives every store
    return *kept;
}

}  // namespace

SYNStoreURIs::SYNStoreURIs(std::weak_ptr<PersistentStore> store, bool compact,
                           std::vector<std::string> prefixes)
    : store_(std::move(store)), compact_(compact) {
    adopt(std::move(prefixes));
}

std::shared_ptr<SYNStoreURIs> SYNStoreURIs::forStore(const std::shared_ptr<PersistentStore>& store) {
    static const auto identity =
        std::make_shared<SYNStoreURIs>(std::weak_ptr<PersistentStore>(), false, std::vector<std::string>());
    if (!store) {
        return identity;
    }
    Registry& known = registry();
    {
        plat::MutexLock lock(known.mutex);
        for (const auto& [kept, codec] : known.entries) {
            if (!kept.owner_before(store) && !store.owner_before(kept)) {
                return codec;
            }
        }
    }
    // Read outside the registry's lock: the store's metadata has its own.
    const plat::Dictionary metadata = store->metadata();
    const plat::Value* list = metadata.find(SYNStoreURIPrefixesMetadataKey);
    auto made = std::make_shared<SYNStoreURIs>(store, list && list->isArray(), prefixList(metadata));
    plat::MutexLock lock(known.mutex);
    std::erase_if(known.entries, [](const auto& entry) { return entry.first.expired(); });
    for (const auto& [kept, codec] : known.entries) {
        if (!kept.owner_before(store) && !store.owner_before(kept)) {
            return codec;  // made meanwhile on another thread
        }
    }
    known.entries.emplace_back(store, made);
    return made;
}

std::shared_ptr<SYNStoreURIs> SYNStoreURIs::forCoordinator(
    const plat::coredata::PersistentStoreCoordinator& coordinator) {
    if (coordinator.persistentStoreCount() == 0) {
        return forStore(nullptr);
    }
    auto stores = coordinator.persistentStores();
    return forStore(stores.empty() ? nullptr : stores.front());
}

std::shared_ptr<SYNStoreURIs> SYNStoreURIs::forContext(const plat::coredata::ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    return coordinator ? forCoordinator(*coordinator) : forStore(nullptr);
}

std::shared_ptr<SYNStoreURIs> SYNStoreURIs::forObject(const plat::coredata::ManagedObject& object) {
    auto context = object.managedObjectContext();
    return context ? forContext(*context) : forStore(nullptr);
}

void SYNStoreURIs::startPrefixList(plat::Dictionary& metadata) {
    if (!metadata.contains(SYNStoreURIPrefixesMetadataKey)) {
        metadata.set(SYNStoreURIPrefixesMetadataKey, plat::Value(plat::Array()));
    }
}

std::optional<std::size_t> SYNStoreURIs::numberOf(std::string_view prefix) const {
    plat::MutexLock lock(mutex_);
    auto it = numbers_.find(prefix);
    return it == numbers_.end() ? std::nullopt : std::optional<std::size_t>(it->second);
}

std::size_t SYNStoreURIs::add(std::string_view prefix) {
    auto store = store_.lock();
    if (!store) {
        // Nothing can be saved to a store that is gone: the number is kept
        // here only, so that this codec still answers the same.
        plat::MutexLock lock(mutex_);
        auto [it, added] = numbers_.try_emplace(std::string(prefix), prefixes_.size());
        if (added) {
            prefixes_.emplace_back(prefix);
        }
        return it->second;
    }
    std::vector<std::string> list;
    std::size_t number = 0;
    store->updateMetadata([&](plat::Dictionary& metadata) {
        list = prefixList(metadata);
        for (number = 0; number < list.size() && list[number] != prefix; ++number) {
        }
        if (number == list.size()) {
            list.emplace_back(prefix);
            plat::Array array;
            array.reserve(list.size());
            for (const auto& text : list) {
                array.emplace_back(text);
            }
            metadata.set(SYNStoreURIPrefixesMetadataKey, plat::Value(std::move(array)));
        }
    });
    adopt(std::move(list));
    return number;
}

void SYNStoreURIs::adopt(std::vector<std::string> list) {
    plat::MutexLock lock(mutex_);
    if (list.size() <= prefixes_.size()) {
        return;
    }
    for (std::size_t i = prefixes_.size(); i < list.size(); ++i) {
        numbers_.try_emplace(list[i], i);  // the first of a repeated text answers
    }
    prefixes_ = std::move(list);
}

std::string SYNStoreURIs::encode(std::string uri) {
    if (!compact_) {
        return uri;
    }
    const std::size_t length = prefixLength(uri);
    const std::string_view prefix(uri.data(), length);
    auto number = numberOf(prefix);
    replacePrefix(uri, length, number ? *number : add(prefix));
    return uri;
}

std::optional<std::string> SYNStoreURIs::encodeIfKnown(std::string uri) const {
    if (!compact_) {
        return uri;
    }
    const std::size_t length = prefixLength(uri);
    auto number = numberOf(std::string_view(uri.data(), length));
    if (!number) {
        return std::nullopt;
    }
    replacePrefix(uri, length, *number);
    return uri;
}

std::optional<std::string> SYNStoreURIs::decode(std::string_view stored) const {
    if (!compact_) {
        return std::string(stored);
    }
    std::size_t number = 0;
    const char* first = stored.data();
    const char* last = first + stored.size();
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end == first || end == last || *end != ';') {
        return std::nullopt;
    }
    const std::string_view rest(end + 1, static_cast<std::size_t>(last - end - 1));
    plat::MutexLock lock(mutex_);
    if (number >= prefixes_.size()) {
        return std::nullopt;
    }
    const std::string& prefix = prefixes_[number];
    std::string uri;
    uri.reserve(prefix.size() + rest.size());
    uri.append(prefix).append(rest);
    return uri;
}

std::optional<std::string> SYNStoreURIs::decode(const plat::Value& stored) const {
    const std::string* text = stored.asString();
    if (!text) {
        return std::nullopt;
    }
    return decode(std::string_view(*text));
}
