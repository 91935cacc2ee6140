#include "beacon/core/BEACChannelProtocols.h"

#include <gtest/gtest.h>

namespace {

TEST(BEACChannelProtocolsTest, DefaultConfigurationsAndSilentDelegates) {
    auto analytics = BEACChannelUnitConfiguration::defaultConfiguration("Analytics");
    EXPECT_EQ(analytics.priority(), 1);
    EXPECT_EQ(analytics.flushInterval(), 3u);
    EXPECT_EQ(analytics.batchSizeLimit(), 50u);
    EXPECT_EQ(analytics.pendingBatchesLimit(), 3u);
    EXPECT_EQ(BEACChannelUnitConfiguration::defaultConfiguration("Analytics", 7),
              BEACChannelUnitConfiguration("Analytics", 1, 7, 50, 3));

    // A delegate that implements nothing answers the "missing" defaults.
    BEACChannelDelegate delegate;
    auto log = std::make_shared<BEACAbstractLog>();
    struct Unit : BEACChannelUnitProtocol {
        BEACChannelUnitConfiguration config = BEACChannelUnitConfiguration::defaultConfiguration("g");
        void setEnabled(bool, bool) override {}
        void addDelegate(const std::weak_ptr<BEACChannelDelegate>&) override {}
        void removeDelegate(const std::weak_ptr<BEACChannelDelegate>&) override {}
        void pauseWithIdentifyingObject(const plat::ObjectPtr&) override {}
        void resumeWithIdentifyingObject(const plat::ObjectPtr&) override {}
        void enqueueItem(const BEACLogPtr&, uint64_t) override {}
        void pauseSendingLogsWithToken(const std::string&) override {}
        void resumeSendingLogsWithToken(const std::string&) override {}
        void checkPendingLogs() override {}
        const BEACChannelUnitConfiguration& configuration() const override { return config; }
        plat::dispatch::Queue logsDispatchQueue() const override { return {}; }
        void setLogsDispatchQueue(plat::dispatch::Queue) override {}
    } unit;
    EXPECT_FALSE(delegate.channelUnitShouldFilterLog(unit, log));
    delegate.channelPrepareLog(unit, log);
    delegate.channelDidFailSendingLog(unit, log, nullptr);
    EXPECT_FALSE(log->type);
}

}  // namespace
