// The authentication provider: tickets in the cache under the key's hash,
// refreshes near expiry (hand-set current date), one request at a time.
#include "beacon/analytics/BEACAnalyticsAuthenticationProvider.h"

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "beacon/core/BEACTicketCache.h"
#include "beacon/core/BEACUtility.h"

using namespace beactest;

namespace {

class HoldingDelegate : public BEACAnalyticsAuthenticationProviderDelegate {
  public:
    void authenticationProviderAcquireToken(BEACAnalyticsAuthenticationProvider&,
                                            const BEACAcquireTokenCompletionBlock& completion) override {
        completions.push_back(completion);
        if (answerAtOnce)
            completion(std::string("now"), plat::Date::now().byAddingTimeInterval(3600));
    }
    std::vector<BEACAcquireTokenCompletionBlock> completions;
    bool answerAtOnce = false;
};

class AuthenticationProviderTest : public ::testing::Test {
  protected:
    void SetUp() override { BEACTicketCache::sharedInstance()->clearCache(); }
    void TearDown() override { BEACTicketCache::sharedInstance()->clearCache(); }
    std::optional<std::string> ticket() const {
        return BEACTicketCache::sharedInstance()->ticketFor(BEACUtility::sha256("key"));
    }

    CapturingLog log;
    ManualNow now;
    std::shared_ptr<HoldingDelegate> delegate = std::make_shared<HoldingDelegate>();
};

TEST_F(AuthenticationProviderTest, TicketsAreStoredUnderTheKeyHashWithTheTypePrefix) {
    auto provider = BEACAnalyticsAuthenticationProvider::make(0, std::string("key"), delegate);
    EXPECT_EQ(provider->ticketKeyHash(), BEACUtility::sha256("key"));
    provider->acquireTokenAsync();
    provider->acquireTokenAsync();  // one request at a time
    ASSERT_EQ(delegate->completions.size(), 1u);
    auto expiry = now.now().byAddingTimeInterval(3600);
    delegate->completions[0](std::string("tok"), expiry);
    EXPECT_EQ(ticket(), "p:tok");
    EXPECT_EQ(provider->expiryDate(), expiry);
    EXPECT_FALSE(provider->hasPendingRequest());
    // A second call of the same completion is handled too.
    delegate->completions[0](std::string("again"), expiry);
    EXPECT_EQ(ticket(), "p:again");

    auto delegated = BEACAnalyticsAuthenticationProvider::make(1, std::string("key"), delegate);
    delegated->acquireTokenAsync();
    delegate->completions.back()(std::string("tok"), expiry);
    EXPECT_EQ(ticket(), "d:tok");
}

TEST_F(AuthenticationProviderTest, FailuresKeepTheTicketAndClearThePendingRequest) {
    auto provider = BEACAnalyticsAuthenticationProvider::make(0, std::string("key"), delegate);
    provider->acquireTokenAsync();
    delegate->completions[0](std::nullopt, now.now());
    EXPECT_EQ(log.count("Token must not be null"), 1u);
    EXPECT_FALSE(provider->hasPendingRequest());
    provider->acquireTokenAsync();
    delegate->completions[1](std::string("tok"), std::nullopt);
    EXPECT_EQ(log.count("Date must not be null"), 1u);
    EXPECT_FALSE(ticket());

    // Unknown types and missing keys store nothing.
    auto unknown = BEACAnalyticsAuthenticationProvider::make(7, std::string("key"), delegate);
    unknown->acquireTokenAsync();
    delegate->completions.back()(std::string("tok"), now.now());
    EXPECT_FALSE(ticket());
    auto keyless = BEACAnalyticsAuthenticationProvider::make(0, std::nullopt, delegate);
    EXPECT_FALSE(keyless->ticketKeyHash());
    keyless->acquireTokenAsync();
    delegate->completions.back()(std::string("tok"), now.now());
    EXPECT_FALSE(keyless->expiryDate());

    auto orphan = BEACAnalyticsAuthenticationProvider::make(0, std::string("key"), {});
    orphan->acquireTokenAsync();
    EXPECT_EQ(log.count("No completionhandler to acquire token has been set."), 1u);
}

TEST_F(AuthenticationProviderTest, RefreshWithinSixHundredSecondsOfExpiry) {
    auto provider = BEACAnalyticsAuthenticationProvider::make(0, std::string("key"), delegate);
    provider->checkTokenExpiry();  // no expiry yet: nothing
    EXPECT_TRUE(delegate->completions.empty());
    provider->acquireTokenAsync();
    delegate->completions[0](std::string("tok"), now.now().byAddingTimeInterval(601));
    provider->checkTokenExpiry();
    EXPECT_EQ(delegate->completions.size(), 1u);
    now.advance(1);
    provider->checkTokenExpiry();
    provider->checkTokenExpiry();  // pending: not asked twice
    EXPECT_EQ(delegate->completions.size(), 2u);
    // The application answers inside the request.
    delegate->answerAtOnce = true;
    delegate->completions[1](std::string("late"), now.now().byAddingTimeInterval(10));
    provider->checkTokenExpiry();
    EXPECT_EQ(ticket(), "p:now");
    EXPECT_FALSE(provider->hasPendingRequest());
}

}  // namespace
