// Records without content: which errors make candidates, and the 600-second rule.
#include "sync/mesh/cloudfs/SYNCloudKitRepairLedger.h"

#include <gtest/gtest.h>

namespace {

using namespace plat::cloudkit;

const RecordZoneID kZone("app.meshes.zone.schema2");

TEST(SYNCloudKitRepairLedger, OnlyErrorsMeaningTheContentIsGoneMakeCandidates) {
    SYNCloudKitRepairLedger ledger(SYNCloudKitRecordFormat(2, "/", kZone, false));
    struct Case {
        std::string name;
        ErrorCode code;
        std::string candidate;  // "" for none
    };
    const std::vector<Case> cases = {
        {"SYNFileSystemNode_/e/1", ErrorCode::UnknownItem, "SYNFileSystemNode_/e/1"},
        {"SYNFileSystemNode_/e/2", ErrorCode::AssetFileNotFound, "SYNFileSystemNode_/e/2"},
        {"SYNFileSystemNode_/e/3", ErrorCode::AssetNotAvailable, "SYNFileSystemNode_/e/3"},
        // Transient answers never put shared files at risk.
        {"SYNFileSystemNode_/e/4", ErrorCode::RequestRateLimited, ""},
        {"SYNFileSystemNode_/e/5", ErrorCode::ZoneBusy, ""},
        {"SYNFileSystemNode_/e/6", ErrorCode::NetworkFailure, ""},
        {"DataFile_/e/7", ErrorCode::UnknownItem, "SYNFileSystemNode_/e/7"},
        {"DataFile_/e/8", ErrorCode::AssetNotAvailable, ""},
        {"Other_/e/9", ErrorCode::UnknownItem, ""},
    };
    for (const auto& c : cases) {
        ItemErrors errors{{RecordID(c.name, kZone), makeError(c.code)}};
        auto candidates = ledger.candidatesForError(makePartialError(errors));
        if (c.candidate.empty()) {
            EXPECT_TRUE(candidates.empty()) << c.name;
        } else {
            ASSERT_EQ(candidates.size(), 1u) << c.name;
            EXPECT_EQ(candidates[0], RecordID(c.candidate, kZone));
        }
    }
    EXPECT_TRUE(ledger.candidatesForError(makeError(ErrorCode::UnknownItem)).empty());
    EXPECT_TRUE(ledger.candidatesForError(nullptr).empty());
}

TEST(SYNCloudKitRepairLedger, ARecordIsDueOnlyWhenReportedAgainAfterSixHundredSeconds) {
    SYNCloudKitRepairLedger ledger(SYNCloudKitRecordFormat(2, "/", kZone, false));
    const RecordID id("SYNFileSystemNode_/e/1", kZone);
    const plat::Date t0(1000);
    EXPECT_TRUE(ledger.noteCandidates({id}, t0).empty());
    EXPECT_TRUE(ledger.noteCandidates({id}, plat::Date(1599)).empty());
    EXPECT_EQ(ledger.firstRemovalDate(id)->timeIntervalSinceReferenceDate(), 1000);  // not moved
    EXPECT_EQ(ledger.noteCandidates({id}, plat::Date(1600)), std::vector<RecordID>{id});
    // A failed deletion keeps the date: the next report is due at once.
    EXPECT_EQ(ledger.noteCandidates({id}, plat::Date(1700)), std::vector<RecordID>{id});
    ledger.forget({id});
    EXPECT_FALSE(ledger.firstRemovalDate(id));
    EXPECT_TRUE(ledger.noteCandidates({id}, plat::Date(5000)).empty());
}

}  // namespace
