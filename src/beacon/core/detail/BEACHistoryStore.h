// Reading and writing a context's history: an array of history records,
// keyed-archived under one SDK setting.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"

namespace beac::detail {

// The records of type T stored under `key`; empty when absent or unreadable.
template <class T>
std::vector<std::shared_ptr<T>> readHistory(const std::string& key) {
    std::vector<std::shared_ptr<T>> history;
    auto stored = BEACBeaconUserDefaults::shared()->objectForKey(key);
    if (!stored || !stored->isData())
        return history;
    auto array = BEACUtility::unarchiveKeyedData(*stored->asData());
    if (!array || !array->isArray())
        return history;
    for (const auto& item : *array->asArray()) {
        if (auto record = item.asObjectOf<T>())
            history.push_back(std::const_pointer_cast<T>(record));
    }
    return history;
}

template <class T>
void writeHistory(const std::string& key, const std::vector<std::shared_ptr<T>>& history) {
    plat::Array array;
    array.reserve(history.size());
    for (const auto& record : history)
        array.push_back(plat::Value(std::static_pointer_cast<const plat::Object>(record)));
    if (auto data = BEACUtility::archiveKeyedData(plat::Value(std::move(array))))
        BEACBeaconUserDefaults::shared()->setObject(plat::Value(*data), key);
    else
        BEACLogError(kBEACLogTag, "Couldn't archive the history \"%@\"; the stored one is kept.", key);
}

// The id of the newest record strictly earlier than `date`.
template <class T, class Id>
std::optional<std::string> idAt(const std::vector<std::shared_ptr<T>>& history, const plat::Date& date,
                                Id id) {
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
        if ((*it)->timestamp && *(*it)->timestamp < date)
            return (**it).*id;
    }
    return std::nullopt;
}

}  // namespace beac::detail
