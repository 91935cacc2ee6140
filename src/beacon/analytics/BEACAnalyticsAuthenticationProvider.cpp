#include "beacon/analytics/BEACAnalyticsAuthenticationProvider.h"

#include <cmath>

#include "beacon/analytics/BEACEventProperties.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACTicketCache.h"
#include "beacon/core/BEACUtility.h"

namespace {

constexpr double kRefreshThreshold = 600;

}  // namespace

std::shared_ptr<BEACAnalyticsAuthenticationProvider> BEACAnalyticsAuthenticationProvider::make(
    uint64_t type, const std::optional<std::string>& ticketKey,
    std::weak_ptr<BEACAnalyticsAuthenticationProviderDelegate> delegate) {
    return std::shared_ptr<BEACAnalyticsAuthenticationProvider>(
        new BEACAnalyticsAuthenticationProvider(type, ticketKey, std::move(delegate)));
}

BEACAnalyticsAuthenticationProvider::BEACAnalyticsAuthenticationProvider(
    uint64_t type, const std::optional<std::string>& ticketKey,
    std::weak_ptr<BEACAnalyticsAuthenticationProviderDelegate> delegate)
    : type_(type),
      ticketKey_(ticketKey),
      ticketKeyHash_(ticketKey ? std::optional<std::string>(BEACUtility::sha256(*ticketKey)) : std::nullopt),
      delegate_(std::move(delegate)) {}

std::optional<plat::Date> BEACAnalyticsAuthenticationProvider::expiryDate() const {
    plat::MutexLock lock(mutex_);
    return expiryDate_;
}

bool BEACAnalyticsAuthenticationProvider::hasPendingRequest() const {
    plat::MutexLock lock(mutex_);
    return completionHandler_ != nullptr;
}

void BEACAnalyticsAuthenticationProvider::acquireTokenAsync() {
    auto delegate = delegate_.lock();
    if (!delegate) {
        BEACLogError(kBEACAnalyticsLogTag, "No completionhandler to acquire token has been set.");
        return;
    }
    PendingCompletion completion;
    {
        plat::MutexLock lock(mutex_);
        if (completionHandler_)
            return;
        std::weak_ptr<BEACAnalyticsAuthenticationProvider> weakSelf = weak_from_this();
        completion = std::make_shared<const BEACAcquireTokenCompletionBlock>(
            [weakSelf](const std::optional<std::string>& token, const std::optional<plat::Date>& expiryDate) {
                auto self = weakSelf.lock();
                if (!self)
                    return;
                PendingCompletion current;
                {
                    plat::MutexLock lock(self->mutex_);
                    current = self->completionHandler_;
                }
                self->handleTokenUpdate(token, expiryDate, current);
            });
        completionHandler_ = completion;
    }
    delegate->authenticationProviderAcquireToken(*this, *completion);
}

void BEACAnalyticsAuthenticationProvider::handleTokenUpdate(const std::optional<std::string>& token,
                                                            const std::optional<plat::Date>& expiryDate,
                                                            const PendingCompletion& completion) {
    plat::MutexLock lock(mutex_);
    if (completion != completionHandler_)
        return;
    completionHandler_.reset();
    BEACLogDebug(kBEACAnalyticsLogTag, "Got result back from BCAcquireTokenCompletionBlock.");
    if (!token) {
        BEACLogError(kBEACAnalyticsLogTag, "Token must not be null");
        return;
    }
    if (!expiryDate) {
        BEACLogError(kBEACAnalyticsLogTag, "Date must not be null");
        return;
    }
    // Only the two known types have a ticket prefix; an unknown one would
    // send a ticket the collector cannot read.
    if (type_ > 1) {
        BEACLogError(kBEACAnalyticsLogTag, "Unknown authentication type %llu: the token is not stored.",
                     static_cast<unsigned long long>(type_));
        return;
    }
    // Without a ticket key there is nothing to store the ticket under.
    if (!ticketKeyHash_) {
        BEACLogError(kBEACAnalyticsLogTag, "Ticket key must not be null: the token is not stored.");
        return;
    }
    BEACTicketCache::sharedInstance()->setTicket(std::string(type_ == 0 ? "p:" : "d:") + *token,
                                                 *ticketKeyHash_);
    expiryDate_ = expiryDate;
}

void BEACAnalyticsAuthenticationProvider::checkTokenExpiry() {
    std::optional<plat::Date> expiryDate = this->expiryDate();
    if (!expiryDate)
        return;
    double expiry = std::trunc(expiryDate->timeIntervalSince1970());
    double now = std::trunc(plat::Date::now().timeIntervalSince1970());
    // Asked without the lock: the delegate may answer at once, and the
    // answer takes the lock. A request already pending is not repeated.
    if (now + kRefreshThreshold >= expiry)
        acquireTokenAsync();
}
