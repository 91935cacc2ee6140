// Obtains user tokens from the application through a delegate, turns them
// into tickets ("p:" or "d:" and the token) and keeps them in the SDK's
// ticket cache under the SHA-256 of the ticket key; asks again when the
// ticket comes within 600 seconds of its expiry. One request at a time.
//
// Threads: one recursive lock guards the pending completion and the expiry
// (the application may answer inside the delegate call).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"

class BEACAnalyticsAuthenticationProvider;

// Called by the application with a token and its expiry date.
using BEACAcquireTokenCompletionBlock =
    std::function<void(const std::optional<std::string>& token, const std::optional<plat::Date>& expiryDate)>;

class BEACAnalyticsAuthenticationProviderDelegate {
  public:
    virtual ~BEACAnalyticsAuthenticationProviderDelegate() = default;
    virtual void authenticationProviderAcquireToken(
        BEACAnalyticsAuthenticationProvider& provider,
        const BEACAcquireTokenCompletionBlock& completionHandler) = 0;
};

enum class BEACAnalyticsAuthenticationType : uint64_t { Msa = 0, MsaDelegate = 1 };

class BEACAnalyticsAuthenticationProvider
    : public std::enable_shared_from_this<BEACAnalyticsAuthenticationProvider> {
  public:
    using PendingCompletion = std::shared_ptr<const BEACAcquireTokenCompletionBlock>;

    // `type` 0 makes "p:" tickets and 1 "d:" tickets.
    static std::shared_ptr<BEACAnalyticsAuthenticationProvider> make(
        uint64_t type, const std::optional<std::string>& ticketKey,
        std::weak_ptr<BEACAnalyticsAuthenticationProviderDelegate> delegate);

    uint64_t type() const { return type_; }
    const std::optional<std::string>& ticketKey() const { return ticketKey_; }
    const std::optional<std::string>& ticketKeyHash() const { return ticketKeyHash_; }
    std::optional<plat::Date> expiryDate() const EXCLUDES(mutex_);
    bool hasPendingRequest() const EXCLUDES(mutex_);

    void acquireTokenAsync() EXCLUDES(mutex_);
    // Acts only when `completion` is the pending one (both absent counts).
    void handleTokenUpdate(const std::optional<std::string>& token,
                           const std::optional<plat::Date>& expiryDate, const PendingCompletion& completion)
        EXCLUDES(mutex_);
    void checkTokenExpiry() EXCLUDES(mutex_);

  private:
    BEACAnalyticsAuthenticationProvider(uint64_t type, const std::optional<std::string>& ticketKey,
                                        std::weak_ptr<BEACAnalyticsAuthenticationProviderDelegate> delegate);

    const uint64_t type_;
    const std::optional<std::string> ticketKey_;
    const std::optional<std::string> ticketKeyHash_;
    const std::weak_ptr<BEACAnalyticsAuthenticationProviderDelegate> delegate_;
    mutable plat::Mutex mutex_;
    PendingCompletion completionHandler_ GUARDED_BY(mutex_);
    std::optional<plat::Date> expiryDate_ GUARDED_BY(mutex_);
};
