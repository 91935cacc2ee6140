// Fakes for the log pipeline's tests: an ingestion whose sends complete when
// the test says so, a delegate that records every callback, and a sandboxed
// pipeline (real SQLite store in a temporary SDK folder, manual clock on the
// group's queue, manual current date).
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACChannelGroupDefault.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACErrors.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace beactest {

inline BEACLogPtr makeTestLog(const std::string& sid, const std::string& type = "event") {
    auto log = std::make_shared<BEACLogWithProperties>();
    log->type = type;
    log->sid = sid;
    return log;
}

class FakeIngestion : public BEACGroupIngestionProtocol {
  public:
    struct Call {
        BEACLogContainerPtr container;
        BEACSendAsyncCompletionHandler handler;
        bool completed = false;
    };

    void sendAsync(const BEACLogContainerPtr& container,
                   const BEACSendAsyncCompletionHandler& handler) override {
        std::lock_guard lock(mutex_);
        calls_.push_back({container, handler});
    }
    bool isReadyToSend() const override {
        std::lock_guard lock(mutex_);
        return appSecret_.has_value();
    }
    bool isEnabled() const override {
        std::lock_guard lock(mutex_);
        return enabled_ && networkAllowed_;
    }
    void setEnabled(bool isEnabled, bool) override {
        std::lock_guard lock(mutex_);
        enabled_ = isEnabled;
    }
    void setBaseURL(const std::string& baseURL) override {
        std::lock_guard lock(mutex_);
        baseURL_ = baseURL;
    }
    std::string baseURL() const override {
        std::lock_guard lock(mutex_);
        return baseURL_;
    }
    void setAppSecret(const std::optional<std::string>& appSecret) override {
        std::lock_guard lock(mutex_);
        appSecret_ = appSecret;
    }
    std::optional<std::string> appSecret() const override {
        std::lock_guard lock(mutex_);
        return appSecret_;
    }
    // Calls never completed hold their unit, which holds this ingestion.
    void dropCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    void setNetworkAllowed(bool allowed) {
        std::lock_guard lock(mutex_);
        networkAllowed_ = allowed;
    }

    std::size_t callCount() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    std::vector<std::string> sidsOfCall(std::size_t index) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> sids;
        for (const auto& log : calls_.at(index).container->logs)
            sids.push_back(log->sid.value_or("?"));
        return sids;
    }
    // Completes a call as the HTTP layer would; status 0 means no response.
    void complete(std::size_t index, int64_t status, plat::ErrorPtr error = nullptr) {
        Call call;
        {
            std::lock_guard lock(mutex_);
            call = calls_.at(index);
            calls_.at(index).completed = true;
        }
        BEACHttpResponsePtr response;
        if (status) {
            auto r = std::make_shared<BEACHttpResponse>();
            r->statusCode = status;
            response = r;
        }
        if (!error && !BEACHttpUtil::isSuccessStatusCode(status))
            error = plat::Error::withDescription("test", status, "failed");
        call.handler(call.container->batchId, response, std::nullopt, error);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    bool enabled_ = true;
    bool networkAllowed_ = true;
    std::string baseURL_ = "https://ingest.invalid";
    std::optional<std::string> appSecret_ = std::string("secret");
};

class RecordingDelegate : public BEACChannelDelegate {
  public:
    struct Event {
        std::string kind;
        std::string sid;
        std::string group;
        std::thread::id thread;
        int64_t errorCode = 0;
    };

    void channelGroupDidAddChannelUnit(BEACChannelGroupProtocol&, BEACChannelUnitProtocol& unit) override {
        record("didAdd", "", unit.configuration().groupId());
        if (onAdd)
            onAdd(unit);
    }
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override {
        record("prepare", sidOf(log), unit.configuration().groupId());
    }
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log, const std::string&,
                              uint64_t) override {
        record("didPrepare", sidOf(log), unit.configuration().groupId());
    }
    void channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                         const std::string&) override {
        record("didComplete", sidOf(log), unit.configuration().groupId());
    }
    void channelWillSendLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override {
        record("willSend", sidOf(log), unit.configuration().groupId());
    }
    void channelDidSucceedSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override {
        record("didSucceed", sidOf(log), unit.configuration().groupId());
    }
    void channelDidFailSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                  const plat::ErrorPtr& error) override {
        record("didFail", sidOf(log), unit.configuration().groupId(), error ? error->code() : -1);
    }
    void channelDidSetEnabled(BEACChannelProtocol& channel, bool isEnabled, bool deleted) override {
        auto* unit = dynamic_cast<BEACChannelUnitProtocol*>(&channel);
        record(std::string("didSetEnabled:") + (isEnabled ? "1" : "0") + (deleted ? "1" : "0"), "",
               unit ? unit->configuration().groupId() : "group");
    }
    void channelDidPauseWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                              const plat::ObjectPtr&) override {
        record("didPause", "", unit.configuration().groupId());
    }
    void channelDidResumeWithIdentifyingObject(BEACChannelUnitProtocol& unit,
                                               const plat::ObjectPtr&) override {
        record("didResume", "", unit.configuration().groupId());
    }
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override {
        record("filter?", sidOf(log), unit.configuration().groupId());
        return filter;
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Kinds, in order, of the events about one log (or about none, with "").
    std::vector<std::string> kindsFor(const std::string& sid) const {
        std::vector<std::string> kinds;
        for (const auto& e : events())
            if (e.sid == sid)
                kinds.push_back(e.kind);
        return kinds;
    }
    std::size_t count(const std::string& kind) const {
        std::size_t n = 0;
        for (const auto& e : events())
            n += e.kind == kind;
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

    bool filter = false;
    std::function<void(BEACChannelUnitProtocol&)> onAdd;

  private:
    static std::string sidOf(const BEACLogPtr& log) { return log ? log->sid.value_or("") : ""; }
    void record(std::string kind, std::string sid, std::string group, int64_t code = 0) {
        std::lock_guard lock(mutex_);
        events_.push_back(
            {std::move(kind), std::move(sid), std::move(group), std::this_thread::get_id(), code});
    }
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// An application bundle with versions, so that the device description is valid.
struct TestBundle {
    TestBundle() {
        plat::Bundle::mainBundle().setInfoDictionary(
            plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.kestrel.test")},
                             {"CFBundleShortVersionString", plat::Value("1.2")},
                             {"CFBundleVersion", plat::Value("42")}});
        BEACDeviceTracker::resetSharedInstance();
    }
    ~TestBundle() {
        BEACDeviceTracker::resetSharedInstance();
        plat::Bundle::mainBundle().setInfoDictionary(std::nullopt);
    }
};

// A channel group on a real store in a sandbox, with its ingestion faked and
// its timers on a manual clock that moves together with the current date.
class PipelineFixture : public ::testing::Test {
  protected:
    void SetUp() override { makeGroup(); }
    void TearDown() override { dropGroup(); }

    void makeGroup() {
        ingestion = std::make_shared<FakeIngestion>();
        group = BEACChannelGroupDefault::make(ingestion);
        group->queue().setClock(clock);
        delegate = std::make_shared<RecordingDelegate>();
        group->addDelegate(delegate);
    }
    // Everything queued before has run; the group is gone, as at the end of
    // a process.
    void dropGroup() {
        if (!group)
            return;
        barrier();
        ingestion->dropCalls();
        group.reset();
        ingestion.reset();
    }
    void relaunch() {
        dropGroup();
        sdk.relaunchDefaults();
        makeGroup();
    }
    void barrier() {
        group->queue().sync([] {});
    }
    // Moves timers and the current date; due timer handlers have run on return.
    void advance(double seconds) {
        barrier();
        now.advance(seconds);
        clock->advance(seconds);
        barrier();
    }
    std::shared_ptr<BEACChannelUnitDefault> addUnit(BEACChannelUnitConfiguration configuration) {
        auto unit = std::dynamic_pointer_cast<BEACChannelUnitDefault>(
            group->addChannelUnitWithConfiguration(configuration));
        barrier();
        return unit;
    }
    void enqueue(const std::shared_ptr<BEACChannelUnitDefault>& unit, const std::string& sid) {
        unit->enqueueItem(makeTestLog(sid), BEACFlagsNormal);
        barrier();
    }
    void complete(std::size_t index, int64_t status) {
        ingestion->complete(index, status);
        barrier();
        barrier();  // a completion may queue one more step (a disable)
    }

    TestBundle bundle;
    SandboxedSDK sdk;
    ManualNow now;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<FakeIngestion> ingestion;
    std::shared_ptr<BEACChannelGroupDefault> group;
    std::shared_ptr<RecordingDelegate> delegate;
};

}  // namespace beactest
