// Helpers for the HTTP client tests: a manager talking to a loopback server,
// and a waiter with a generous hang guard (never a fixed sleep).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "httpclient/SessionManager.h"
#include "support/LoopbackServer.h"

namespace httpclienttest {

using namespace httpclient;
using testsupport::LoopbackServer;

inline constexpr auto kHangGuard = std::chrono::seconds(30);

inline std::shared_ptr<SessionManager> makeManager(const LoopbackServer* tlsServer = nullptr,
                                                   std::shared_ptr<ServerTrustPolicyManager> trust = nullptr,
                                                   std::optional<std::string> identifier = std::nullopt) {
    auto c = plat::urlloading::URLSessionConfiguration::ephemeralSessionConfiguration();
    c.connectionProxyFromEnvironment = false;
    // One connection: the loopback server then parses one request at a time.
    c.httpMaximumConnectionsPerHost = 1;
    c.identifier = std::move(identifier);
    if (tlsServer)
        c.trustedCertificatesFile = tlsServer->caFile();
    return SessionManager::create(c, nullptr, std::move(trust));
}

// One value handed over from another thread.
template <class T>
class Waiter {
  public:
    void set(T value) {
        std::lock_guard lock(m_);
        values_.push_back(std::move(value));
        cv_.notify_all();
    }
    // The first value; fails the test (and returns nothing) after the guard.
    std::optional<T> wait(std::size_t count = 1) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, kHangGuard, [&] { return values_.size() >= count; })) {
            ADD_FAILURE() << "timed out waiting";
            return std::nullopt;
        }
        return values_.front();
    }
    std::vector<T> all(std::size_t count) {
        wait(count);
        std::lock_guard lock(m_);
        return values_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<T> values_;
};

inline plat::dispatch::Queue testQueue() {
    return plat::dispatch::Queue::serial("httpclient.test");
}

}  // namespace httpclienttest
