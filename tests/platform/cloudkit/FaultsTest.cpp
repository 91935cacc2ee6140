// Fault injection drives every error callers handle, and the operation log
// records what ran.
#include "CloudKitTestSupport.h"

namespace cktest {
namespace {

using plat::Value;

TEST_F(CloudKitTest, FaultRulesProduceEveryErrorCallersHandle) {
    ASSERT_FALSE(modify(*db, {node("existing")}).error);
    struct Case {
        const char* what;
        FaultRule rule;
        int64_t topLevel;
        int64_t item;  // per-item code of "target" when the top level is 2
        std::optional<double> retryAfter;
    };
    const std::vector<Case> cases = {
        {"network", FaultRule::networkUnavailable(), 3, 0, std::nullopt},
        {"rate limit", FaultRule::rateLimited(2.5, OperationKind::ModifyRecords), 7, 0, 2.5},
        {"quota", FaultRule::quotaExceeded(), 25, 0, std::nullopt},
        {"zone not found", FaultRule::itemFailure(ErrorCode::ZoneNotFound, "target"), 2, 26, std::nullopt},
        {"record changed", FaultRule::itemFailure(ErrorCode::ServerRecordChanged, "target"), 2, 14,
         std::nullopt},
    };
    for (const auto& c : cases) {
        container->faults().clearRules();
        container->faults().addRule(c.rule);
        auto out = modify(*db, {node("target"), node("bystander")});
        ASSERT_TRUE(out.error) << c.what;
        EXPECT_EQ(out.error->domain(), ErrorDomain);
        EXPECT_EQ(out.error->code(), c.topLevel) << c.what;
        EXPECT_EQ(retryAfterSeconds(out.error), c.retryAfter) << c.what;
        if (c.topLevel == 2) {
            EXPECT_EQ(itemCode(out.error, RecordID("target", meshZone())), c.item) << c.what;
            // Atomic zone: the bystander failed with the batch.
            EXPECT_EQ(itemCode(out.error, RecordID("bystander", meshZone())), 22) << c.what;
        }
        EXPECT_TRUE(out.saved.empty()) << c.what;
        EXPECT_EQ(out.calls, 1);
    }
    container->faults().clearRules();
    EXPECT_EQ(fetch(*db, {RecordID("target", meshZone())}).records.size(), 0u);

    // Token expiry through the administration call.
    auto token = changes(*db, meshZone(), nullptr).token;
    ASSERT_FALSE(modify(*db, {node("later")}).error);
    auto seq = container->admin().zoneSequence(DatabaseScope::Private, meshZone());
    ASSERT_FALSE(container->admin().expireTokensBefore(DatabaseScope::Private, meshZone(), *seq));
    EXPECT_EQ(changes(*db, meshZone(), token).error->code(), 21);
}

TEST_F(CloudKitTest, RulesMatchKindPatternAndOccurrence) {
    FaultRule second = FaultRule::networkUnavailable(OperationKind::Query);
    second.occurrence = 2;
    container->faults().addRule(second);
    for (std::string name : {"d1", "d2", "d3"})
        ASSERT_FALSE(modify(*db, {node(name)}).error);  // other kinds are untouched
    auto query = [&](std::shared_ptr<const QueryCursor> cursor) {
        auto op = cursor ? std::make_shared<QueryOperation>(cursor)
                         : std::make_shared<QueryOperation>(
                               Query{"SYNFileSystemNode", Predicate::truePredicate(), {}});
        op->zoneID = meshZone();
        op->resultsLimit = 1;
        return queryPage(*db, op);
    };
    auto first = query(nullptr);
    ASSERT_FALSE(first.error);
    auto failed = query(first.cursor);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->code(), 3);
    EXPECT_TRUE(failed.records.empty());
    EXPECT_FALSE(query(first.cursor).error);  // only the second match fails

    container->faults().addRule(
        FaultRule::itemFailure(ErrorCode::UnknownItem, "gone*", OperationKind::FetchRecords));
    auto out = fetch(*db, {RecordID("d1", meshZone()), RecordID("gone-1", meshZone())});
    EXPECT_EQ(out.records.size(), 1u);
    EXPECT_EQ(itemCode(out.error, RecordID("gone-1", meshZone())), 11);
    EXPECT_EQ(out.perRecordCalls, 2);
}

TEST_F(CloudKitTest, DroppedAssetsGiveAssetNotAvailableForThatRecordOnly) {
    Record a = node("with-data"), b = node("fine");
    a.setObject("data", Value(Asset::make(writeFile((tmp / "a").string(), "A"))));
    b.setObject("data", Value(Asset::make(writeFile((tmp / "b").string(), "B"))));
    ASSERT_FALSE(modify(*db, {a, b}).error);
    container->faults().addRule(FaultRule::unavailableAsset("with-*"));
    auto out = fetch(*db, {a.recordID(), b.recordID()}, std::vector<std::string>{"data"});
    EXPECT_EQ(itemCode(out.error, a.recordID()), 35);
    ASSERT_EQ(out.records.size(), 1u);
    EXPECT_EQ(out.records.begin()->first, b.recordID());
}

TEST_F(CloudKitTest, OperationLogListsKindsNamesAndDesiredKeys) {
    container->operationLog().clear();
    std::vector<RecordID> ids;
    for (int i = 0; i < 3; ++i)
        ids.emplace_back("n" + std::to_string(i), meshZone());
    modify(*db, {node("n0")});
    fetch(*db, ids, std::vector<std::string>{"isDirectory", "fileSize", "path"});
    auto entries = container->operationLog().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].kind, OperationKind::ModifyRecords);
    EXPECT_EQ(entries[0].recordNames, std::vector<std::string>{"n0"});
    EXPECT_EQ(entries[1].kind, OperationKind::FetchRecords);
    EXPECT_EQ(entries[1].itemCount, 3u);
    EXPECT_EQ(entries[1].desiredKeys, (std::vector<std::string>{"isDirectory", "fileSize", "path"}));
    EXPECT_STREQ(operationKindName(entries[1].kind), "FetchRecords");
}

}  // namespace
}  // namespace cktest
