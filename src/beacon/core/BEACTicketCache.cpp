#include "beacon/core/BEACTicketCache.h"

std::shared_ptr<BEACTicketCache> BEACTicketCache::sharedInstance() {
    static const std::shared_ptr<BEACTicketCache> instance = std::make_shared<BEACTicketCache>();
    return instance;
}

std::optional<std::string> BEACTicketCache::ticketFor(const std::string& key) const {
    plat::MutexLock lock(mutex_);
    auto it = tickets_.find(key);
    if (it == tickets_.end())
        return std::nullopt;
    return it->second;
}

void BEACTicketCache::setTicket(const std::optional<std::string>& ticket, const std::string& key) {
    plat::MutexLock lock(mutex_);
    if (ticket)
        tickets_[key] = *ticket;
    else
        tickets_.erase(key);
}

void BEACTicketCache::clearCache() {
    plat::MutexLock lock(mutex_);
    tickets_.clear();
}
