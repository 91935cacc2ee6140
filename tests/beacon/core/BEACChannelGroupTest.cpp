#include "beacon/core/BEACChannelGroupDefault.h"

#include <gtest/gtest.h>

#include "PipelineTestSupport.h"

using namespace beactest;

namespace {

class ChannelGroupTest : public PipelineFixture {};

class AnsweringDelegate : public BEACChannelDelegate {
  public:
    explicit AnsweringDelegate(bool answer) : answer(answer) {}
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol&, const BEACLogPtr&) override {
        ++asked;
        return answer;
    }
    bool answer;
    std::atomic<int> asked{0};
};

}  // namespace

TEST_F(ChannelGroupTest, UnitAddedFromDidAddCallbackExistsOnReturn) {
    delegate->onAdd = [this](BEACChannelUnitProtocol& unit) {
        const auto& id = unit.configuration().groupId();
        if (id.size() < 4 || id.substr(id.size() - 4) != "/one")
            group->addChannelUnitWithConfiguration(
                BEACChannelUnitConfiguration::defaultConfiguration(id + "/one"));
    };
    auto unit = group->addChannelUnitWithConfiguration(
        BEACChannelUnitConfiguration::defaultConfiguration("Analytics"));
    ASSERT_TRUE(unit);
    EXPECT_EQ(group->channels().size(), 2u);
    EXPECT_EQ(group->channelUnitForGroupId("Analytics"), unit);
    EXPECT_TRUE(group->channelUnitForGroupId("Analytics/one"));
    EXPECT_FALSE(group->channelUnitForGroupId("Analytic"));
    EXPECT_FALSE(group->addChannelUnitWithConfiguration(std::nullopt));
}

TEST_F(ChannelGroupTest, FilterStopsAtFirstYes) {
    auto unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("F"));
    auto yes = std::make_shared<AnsweringDelegate>(true);
    auto no = std::make_shared<AnsweringDelegate>(false);
    group->addDelegate(yes);
    group->addDelegate(no);
    enqueue(unit, "x");
    EXPECT_EQ(yes->asked, 1);
    EXPECT_EQ(no->asked, 0);
    EXPECT_EQ(group->storage()->countLogs(), 0u);
}

TEST_F(ChannelGroupTest, DisableWithDeletionReportsGroupFirstThenUnits) {
    auto a = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("A"));
    auto b = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("B"));
    enqueue(a, "a1");
    enqueue(b, "b1");
    delegate->clear();
    group->setEnabled(false, true);
    EXPECT_FALSE(ingestion->isEnabled());
    barrier();
    std::vector<std::string> setEnabled;
    for (const auto& e : delegate->events())
        if (e.kind.rfind("didSetEnabled", 0) == 0)
            setEnabled.push_back(e.group);
    EXPECT_EQ(setEnabled, (std::vector<std::string>{"group", "A", "B"}));
    EXPECT_EQ(delegate->kindsFor("a1"), (std::vector<std::string>{"willSend", "didFail"}));
    EXPECT_EQ(group->storage()->countLogs(), 0u);
}

TEST_F(ChannelGroupTest, ResumeReenablesIngestionWhileUnitsKeepOtherPausers) {
    auto unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("P"));
    auto first = std::make_shared<const plat::Object>();
    auto second = std::make_shared<const plat::Object>();
    group->pauseWithIdentifyingObject(first);
    group->pauseWithIdentifyingObject(second);
    EXPECT_FALSE(ingestion->isEnabled());
    group->resumeWithIdentifyingObject(first);
    barrier();
    EXPECT_TRUE(ingestion->isEnabled());
    EXPECT_TRUE(unit->isPaused());
}

TEST_F(ChannelGroupTest, UrlSecretAndStorageSizeGoThroughTheGroup) {
    group->setLogUrl("https://other.invalid/prefix");
    EXPECT_EQ(ingestion->baseURL(), "https://other.invalid/prefix");
    group->setAppSecret(std::string("abc"));
    EXPECT_EQ(group->appSecret(), "abc");
    std::optional<bool> applied;
    group->setMaxStorageSize(24576, [&](bool ok) { applied = ok; });
    barrier();
    EXPECT_EQ(applied, true);
}
