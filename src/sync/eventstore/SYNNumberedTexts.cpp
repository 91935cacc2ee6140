#include "sync/eventstore/SYNNumberedTexts.h"

#include <charconv>
#include <utility>

namespace {

using plat::coredata::PersistentStore;

// The list under key in metadata; empty when absent or not a list of strings
// (a value of another kind is never written).
std::vector<std::string> listIn(const plat::Dictionary& metadata, const std::string& key) {
    std::vector<std::string> list;
    const plat::Value* value = metadata.find(key);
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

// The lists of the stores in use, by store and key. A store is known by its
// address while it lives; an entry whose store is gone is dropped (another
// store may come to have its address).
struct Registry {
    struct Entry {
        std::weak_ptr<PersistentStore> store;
        std::string key;
        std::shared_ptr<SYNNumberedTexts> texts;
    };
    plat::Mutex mutex;
    std::vector<Entry> entries GUARDED_BY(mutex);

    std::shared_ptr<SYNNumberedTexts> find(const std::shared_ptr<PersistentStore>& store, const char* key)
        REQUIRES(mutex) {
        for (const auto& entry : entries) {
            if (!entry.store.owner_before(store) && !store.owner_before(entry.store) && entry.key == key) {
                return entry.texts;
            }
        }
        return nullptr;
    }
};

Registry& registry() {
    static auto* kept = new Registry;  // outlives every store
    return *kept;
}

}  // namespace

SYNNumberedTexts::SYNNumberedTexts(Start start)
    : store_(std::move(start.store)), key_(start.key), compact_(start.compact) {
    adopt(std::move(start.texts));
}

std::shared_ptr<SYNNumberedTexts> SYNNumberedTexts::registered(const std::shared_ptr<PersistentStore>& store,
                                                               const char* key, const Make& make) {
    Registry& known = registry();
    {
        plat::MutexLock lock(known.mutex);
        if (auto found = known.find(store, key)) {
            return found;
        }
    }
    // Read outside the registry's lock: the store's metadata has its own.
    const plat::Dictionary metadata = store->metadata();
    const plat::Value* list = metadata.find(key);
    auto made = make(Start{store, key, list && list->isArray(), listIn(metadata, key)});
    plat::MutexLock lock(known.mutex);
    std::erase_if(known.entries, [](const Registry::Entry& entry) { return entry.store.expired(); });
    if (auto found = known.find(store, key)) {
        return found;  // made meanwhile on another thread
    }
    known.entries.push_back({store, key, made});
    return made;
}

std::shared_ptr<PersistentStore> SYNNumberedTexts::firstStore(
    const plat::coredata::PersistentStoreCoordinator& coordinator) {
    if (coordinator.persistentStoreCount() == 0) {
        return nullptr;
    }
    auto stores = coordinator.persistentStores();
    return stores.empty() ? nullptr : stores.front();
}

std::shared_ptr<PersistentStore> SYNNumberedTexts::firstStore(
    const plat::coredata::ManagedObjectContext& context) {
    auto coordinator = context.persistentStoreCoordinator();
    return coordinator ? firstStore(*coordinator) : nullptr;
}

void SYNNumberedTexts::startList(plat::Dictionary& metadata, const char* key) {
    if (!metadata.contains(key)) {
        metadata.set(key, plat::Value(plat::Array()));
    }
}

std::optional<std::size_t> SYNNumberedTexts::numberOf(std::string_view text) const {
    plat::MutexLock lock(mutex_);
    auto it = numbers_.find(text);
    return it == numbers_.end() ? std::nullopt : std::optional<std::size_t>(it->second);
}

std::size_t SYNNumberedTexts::number(std::string_view text) {
    if (auto known = numberOf(text)) {
        return *known;
    }
    auto store = store_.lock();
    if (!store) {
        // Nothing can be saved to a store that is gone: the number is kept
        // here only, so that this list still answers the same.
        plat::MutexLock lock(mutex_);
        auto [it, added] = numbers_.try_emplace(std::string(text), texts_.size());
        if (added) {
            texts_.emplace_back(text);
        }
        return it->second;
    }
    std::vector<std::string> list;
    std::size_t number = 0;
    store->updateMetadata([&](plat::Dictionary& metadata) {
        list = listIn(metadata, key_);
        for (number = 0; number < list.size() && list[number] != text; ++number) {
        }
        if (number == list.size()) {
            list.emplace_back(text);
            plat::Array array;
            array.reserve(list.size());
            for (const auto& entry : list) {
                array.emplace_back(entry);
            }
            metadata.set(key_, plat::Value(std::move(array)));
        }
    });
    adopt(std::move(list));
    return number;
}

std::optional<std::string> SYNNumberedTexts::textWithSuffix(std::size_t number,
                                                            std::string_view suffix) const {
    plat::MutexLock lock(mutex_);
    if (number >= texts_.size()) {
        return std::nullopt;
    }
    const std::string& text = texts_[number];
    std::string joined;
    joined.reserve(text.size() + suffix.size());
    joined.append(text).append(suffix);
    return joined;
}

void SYNNumberedTexts::adopt(std::vector<std::string> list) {
    plat::MutexLock lock(mutex_);
    if (list.size() <= texts_.size()) {
        return;
    }
    for (std::size_t i = texts_.size(); i < list.size(); ++i) {
        numbers_.try_emplace(list[i], i);  // the first of a repeated text answers
    }
    texts_ = std::move(list);
}

std::optional<std::pair<std::size_t, std::string_view>> SYNNumberedTexts::leadingNumber(
    std::string_view stored) {
    std::size_t number = 0;
    const char* first = stored.data();
    const char* last = first + stored.size();
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end == first) {
        return std::nullopt;
    }
    return std::make_pair(number, std::string_view(end, static_cast<std::size_t>(last - end)));
}
