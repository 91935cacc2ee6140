// Two services for the facade's tests: one with the crash reporting
// service's contract (name "Crashes", priority 999, app secret required, unit
// "Crashes" of 1 s and batch 1, a channel delegate of its group) and one with
// the analytics service's (name "Analytics", base priority, no secret needed).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "beacon/core/BEACBeacon.h"

namespace beactest {

template <class Self>
class FakeServiceBase : public BEACServiceAbstract {
  public:
    static std::shared_ptr<Self> shared() {
        std::lock_guard lock(instanceMutex());
        auto& instance = slot();
        if (!instance)
            instance = std::make_shared<Self>();
        return instance;
    }
    static void reset() {
        std::lock_guard lock(instanceMutex());
        slot().reset();
    }
    static BEACServiceClass serviceClass() {
        return {Self::kClassName, [] { return shared(); }};
    }

    void applyEnabledState(bool isEnabled) override {
        BEACServiceAbstract::applyEnabledState(isEnabled);
        applied.push_back(isEnabled);
    }
    std::vector<bool> applied;

  private:
    static std::mutex& instanceMutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::shared_ptr<Self>& slot() {
        static std::shared_ptr<Self> instance;
        return instance;
    }
};

class FakeCrashes : public FakeServiceBase<FakeCrashes>, public BEACChannelDelegate {
  public:
    static constexpr const char* kClassName = "BEACCrashes";
    std::string serviceName() const override { return "Crashes"; }
    std::string logTag() const override { return "BeaconCrashes"; }
    std::string groupId() const override { return "Crashes"; }
    std::string className() const override { return kClassName; }
    int64_t initializationPriority() const override { return 999; }
    std::optional<BEACChannelUnitConfiguration> channelUnitConfiguration() const override {
        return BEACChannelUnitConfiguration("Crashes", 2, 1, 1, 3);
    }
    void startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& group,
                               const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& token, bool fromApplication) override {
        BEACServiceAbstract::startWithChannelGroup(group, appSecret, token, fromApplication);
        if (group)
            group->addDelegate(std::dynamic_pointer_cast<FakeCrashes>(shared_from_this()));
    }
    void channelDidPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log, const std::string&,
                              uint64_t) override {
        std::lock_guard lock(mutex);
        prepared.push_back(log->type.value_or(""));
    }
    std::mutex mutex;
    std::vector<std::string> prepared;
};

class FakeAnalytics : public FakeServiceBase<FakeAnalytics> {
  public:
    static constexpr const char* kClassName = "BEACAnalytics";
    std::string serviceName() const override { return "Analytics"; }
    std::string logTag() const override { return "BeaconAnalytics"; }
    std::string groupId() const override { return "Analytics"; }
    std::string className() const override { return kClassName; }
    bool isAppSecretRequired() const override { return false; }
    std::optional<BEACChannelUnitConfiguration> channelUnitConfiguration() const override {
        return BEACChannelUnitConfiguration::defaultConfiguration("Analytics");
    }
};

}  // namespace beactest
