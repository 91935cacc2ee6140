// The process-wide store of authentication tickets by ticket key. Every
// member may be called from any thread (one lock guards the tickets).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Mutex.h"

class BEACTicketCache {
  public:
    static std::shared_ptr<BEACTicketCache> sharedInstance();

    std::optional<std::string> ticketFor(const std::string& key) const;
    // nullopt removes the key.
    void setTicket(const std::optional<std::string>& ticket, const std::string& key);
    void clearCache();

  private:
    mutable plat::Mutex mutex_;
    std::map<std::string, std::string> tickets_ GUARDED_BY(mutex_);
};
