// The analytics service started through the facade in a sandbox: settings,
// SDK folder and keychain in a temporary folder, the group's ingestion faked,
// its timers on a manual clock that moves together with the current date,
// and a recorder of every log prepared on any unit of the group.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "../core/PipelineTestSupport.h"
#include "beacon/analytics/BEACAnalytics.h"
#include "beacon/analytics/BEACAnalyticsCategory.h"
#include "beacon/analytics/BEACAnalyticsTransmissionTarget.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/MainLoop.h"

namespace beactest {

// Every log that finished preparation, with the unit it was enqueued on.
class PreparedLogs : public BEACChannelDelegate {
  public:
    struct Entry {
        std::string groupId;
        BEACLogPtr log;
        uint64_t flags;
    };
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log, const std::string&,
                              uint64_t flags) override {
        std::lock_guard lock(mutex_);
        entries_.push_back({unit.configuration().groupId(), log, flags});
    }
    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // The logs of one type on one unit, in order.
    std::vector<BEACLogPtr> of(const std::string& groupId, const std::string& type = "") const {
        std::vector<BEACLogPtr> out;
        for (const auto& e : entries())
            if (e.groupId == groupId && (type.empty() || e.log->type.value_or("") == type))
                out.push_back(e.log);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

class AnalyticsFixture : public ::testing::Test {
  protected:
    static constexpr const char* kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

    void SetUp() override {
        resetAll();
        BEACDependencyConfiguration::setClock(clock);
        BEACDependencyConfiguration::setIngestionFactory([this](const std::string&, const std::string&) {
            ingestion = std::make_shared<FakeIngestion>();
            return ingestion;
        });
    }
    void TearDown() override {
        drain();
        if (ingestion)
            ingestion->dropCalls();
        BEACDependencyConfiguration::setIngestionFactory(nullptr);
        BEACDependencyConfiguration::setClock(nullptr);
        // Resetting disables the units on the group's queue: let that work
        // end before the next test, or the process's exit, tears down what
        // it uses.
        auto previous = BEACBeacon::sharedInstance()->channelGroup();
        resetAll();
        if (previous)
            previous->queue().sync([] {});
    }
    static void resetAll() {
        BEACAnalytics::resetSharedInstance();
        BEACBeacon::resetSharedInstance();
        BEACSessionContext::resetSharedInstance();
        BEACUserIdContext::resetSharedInstance();
        BEACAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
        BEACAnalyticsCategory::resetMissedPageView();
        plat::appkit::Application::shared().reset();
        plat::dispatch::MainLoop::drain();
    }

    // Starts the SDK with the analytics service (from an application unless
    // told otherwise) and watches the group.
    void start(const std::string& secret = kSecret, bool fromApplication = true) {
        auto services = std::vector<BEACServiceClass>{BEACAnalytics::serviceClass()};
        if (fromApplication)
            BEACBeacon::start(secret, services);
        else
            BEACBeacon::sharedInstance()->start(secret, services, false);
        group()->addDelegate(prepared);
        drain();
    }
    std::shared_ptr<BEACChannelGroupDefault> group() const {
        return BEACBeacon::sharedInstance()->channelGroup();
    }
    std::shared_ptr<BEACAnalytics> analytics() const { return BEACAnalytics::sharedInstance(); }
    void drain() {
        if (auto g = BEACBeacon::sharedInstance()->channelGroup())
            g->queue().sync([] {});
    }
    void advance(double seconds) {
        drain();
        now.advance(seconds);
        clock->advance(seconds);
        drain();
    }
    // The number of logs stored for the unit, read on the group's queue.
    std::size_t stored(const std::string& groupId) {
        std::size_t count = 0;
        auto g = group();
        g->queue().sync([&] {
            g->storage()->loadLogsWithGroupId(
                groupId, 1000, std::nullopt,
                [&](const std::vector<BEACLogPtr>& logs, const std::optional<std::string>&) {
                    count = logs.size();
                });
        });
        return count;
    }
    static std::string nameOf(const BEACLogPtr& log) {
        auto* named = dynamic_cast<BEACLogWithNameAndProperties*>(log.get());
        return named && named->name ? *named->name : std::string();
    }

    TestBundle bundle;
    SandboxedSDK sdk;
    ManualNow now;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<FakeIngestion> ingestion;
    std::shared_ptr<PreparedLogs> prepared = std::make_shared<PreparedLogs>();
};

}  // namespace beactest
