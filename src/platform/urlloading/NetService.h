// NetService: a network service advertised under a domain, a type and a
// name. There is no service-discovery daemon to ask, so resolving is left to
// whoever knows the address: resolve() records the host and port that a
// stream task made from the service connects to. An unresolved service has
// no host, and a stream task made from it fails with
// URLErrorCannotFindHost. Any thread: the resolved host and port sit behind
// a leaf lock, and resolve() sets both at once.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/Mutex.h"

namespace plat::urlloading {

class NetService {
  public:
    NetService(std::string domain, std::string type, std::string name)
        : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)) {}

    const std::string& domain() const { return domain_; }
    const std::string& type() const { return type_; }
    const std::string& name() const { return name_; }

    // The resolved host name, absent until resolve().
    std::optional<std::string> hostName() const {
        plat::MutexLock lock(mutex_);
        return hostName_;
    }
    // The resolved port, -1 until resolve().
    int port() const {
        plat::MutexLock lock(mutex_);
        return port_;
    }
    void resolve(std::string hostName, int port) {
        plat::MutexLock lock(mutex_);
        hostName_ = std::move(hostName);
        port_ = port;
    }

  private:
    const std::string domain_, type_, name_;
    mutable plat::Mutex mutex_;
    std::optional<std::string> hostName_ GUARDED_BY(mutex_);
    int port_ GUARDED_BY(mutex_) = -1;
};

}  // namespace plat::urlloading
