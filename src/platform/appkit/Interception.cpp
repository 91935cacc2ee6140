#include "platform/appkit/Interception.h"

namespace plat::appkit {

InterceptionTable& InterceptionTable::shared() {
    static InterceptionTable* table = new InterceptionTable;
    return *table;
}

InterceptionTable::Installation InterceptionTable::install(const Responder& exemplar,
                                                           const std::string& selector,
                                                           const std::string& installKey,
                                                           Implementation replacement) {
    MutexLock lock(mutex_);
    auto key = std::make_pair(exemplar.className(), selector);
    auto it = entries_.find(key);
    if (it != entries_.end() && it->second.installKeys.count(installKey)) {
        Installation again = it->second.first;
        again.installed = false;
        return again;
    }
    Installation result;
    result.installed = true;
    if (it != entries_.end()) {
        result.kept = it->second.current;
    } else if (exemplar.ownSelectors().count(selector)) {
        result.kept = [selector](Responder& receiver, const Arguments& arguments) {
            return receiver.perform(selector, arguments);
        };
    } else {
        result.added = true;
    }
    Entry& entry = entries_[key];
    entry.current = std::move(replacement);
    entry.installKeys.insert(installKey);
    if (entry.installKeys.size() == 1)
        entry.first = result;
    return result;
}

bool InterceptionTable::responds(const Responder& receiver, const std::string& selector) const {
    {
        MutexLock lock(mutex_);
        if (entries_.count({receiver.className(), selector}))
            return true;
    }
    return receiver.ownSelectors().count(selector) > 0;
}

std::optional<Value> InterceptionTable::send(Responder& receiver, const std::string& selector,
                                             const Arguments& arguments) const {
    Implementation implementation;
    {
        MutexLock lock(mutex_);
        auto it = entries_.find({receiver.className(), selector});
        if (it != entries_.end())
            implementation = it->second.current;
    }
    if (implementation)
        return implementation(receiver, arguments);
    if (receiver.ownSelectors().count(selector))
        return receiver.perform(selector, arguments);
    return std::nullopt;
}

void InterceptionTable::reset() {
    MutexLock lock(mutex_);
    entries_.clear();
}

}  // namespace plat::appkit
