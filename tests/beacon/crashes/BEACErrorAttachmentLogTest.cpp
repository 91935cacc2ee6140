// Error attachments (JSON, validity, equality, archives) and error reports.
#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorReport.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UUID.h"

namespace {

TEST(BEACErrorAttachmentLogTest, TextAttachmentSerialisesAsBase64WithoutAbsentFields) {
    auto attachment = BEACErrorAttachmentLog::attachmentWithText(std::string("abc"), std::nullopt);
    EXPECT_EQ(attachment->type, "errorAttachment");
    EXPECT_EQ(attachment->contentType, "text/plain");
    EXPECT_EQ(attachment->data, plat::Data::fromString("abc"));
    ASSERT_TRUE(attachment->attachmentId);
    EXPECT_EQ(*attachment->attachmentId, plat::text::uppercaseString(*attachment->attachmentId));
    EXPECT_TRUE(plat::UUID::fromString(*attachment->attachmentId));
    auto json = attachment->serializeToDictionary();
    EXPECT_EQ(*json.find("data"), plat::Value("YWJj"));
    EXPECT_FALSE(json.contains("fileName"));
    EXPECT_FALSE(json.contains("errorId"));
    EXPECT_EQ(json.keys(), (std::vector<std::string>{"type", "id", "contentType", "data"}));

    // Long payloads stay on one line.
    auto binary = BEACErrorAttachmentLog::attachmentWithBinary(
        plat::Data(std::string(200, 'x').data(), 200), std::string("x.bin"), std::string("application/x"));
    auto binaryJson = binary->serializeToDictionary();
    auto text = binaryJson.find("data")->asString();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->find('\n'), std::string::npos);
    EXPECT_EQ(binary->filename, "x.bin");

    EXPECT_NE(BEACErrorAttachmentLog().attachmentId, BEACErrorAttachmentLog().attachmentId);
}

TEST(BEACErrorAttachmentLogTest, ValidityChecksErrorIdFirst) {
    beactest::CapturingLog log;
    BEACErrorAttachmentLog attachment;
    attachment.timestamp = plat::Date(0);
    attachment.device = crashtest::validDevice();
    EXPECT_FALSE(attachment.isValid());
    EXPECT_EQ(log.lines().back().message, "BEACErrorAttachmentLog: \"errorId\" is not valid.");
    attachment.errorId = "E";
    EXPECT_FALSE(attachment.isValid());
    EXPECT_EQ(log.lines().back().message, "BEACErrorAttachmentLog: \"data\" is not valid.");
    attachment.data = plat::Data();
    EXPECT_FALSE(attachment.isValid());
    EXPECT_EQ(log.lines().back().message, "BEACErrorAttachmentLog: \"contentType\" is not valid.");
    attachment.contentType = "text/plain";
    EXPECT_TRUE(attachment.isValid()) << "file name and size are not checked";
    attachment.attachmentId.reset();
    EXPECT_FALSE(attachment.isValid());
    EXPECT_EQ(log.lines().back().message, "BEACErrorAttachmentLog: \"attachmentId\" is not valid.");
}

TEST(BEACErrorAttachmentLogTest, EqualityAndArchiveKeepBytes) {
    auto a = std::make_shared<BEACErrorAttachmentLog>(std::string("f"),
                                                      plat::Data::fromString(std::string("\0\1", 2)),
                                                      std::string("application/octet-stream"));
    a->errorId = "E";
    a->timestamp = plat::Date(10);
    a->device = crashtest::validDevice();
    auto back = crashtest::roundTrip<BEACErrorAttachmentLog>(a);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*a));
    EXPECT_EQ(back->data, a->data);
    EXPECT_EQ(back->filename, "f");

    back->attachmentId = "OTHER";
    EXPECT_FALSE(back->isEqual(*a));
    back->attachmentId = a->attachmentId;
    back->data = plat::Data::fromString(std::string("\0\2", 2));
    EXPECT_FALSE(back->isEqual(*a));
}

TEST(BEACErrorReportTest, StoresArgumentsAndRecognisesAppKills) {
    BEACErrorReport bare(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                         std::nullopt, nullptr, 0);
    EXPECT_FALSE(bare.incidentIdentifier());
    EXPECT_FALSE(bare.reporterKey());
    EXPECT_FALSE(bare.exceptionName());
    EXPECT_EQ(bare.appProcessIdentifier(), 0u);
    EXPECT_FALSE(bare.isAppKill());

    const std::pair<const char*, bool> signals[] = {
        {"sigkill", true}, {"SIGKILL", true}, {"SIGABRT", false}, {"SIGKILLED", false}, {"", false}};
    for (const auto& [signal, kill] : signals) {
        bare.setSignal(std::string(signal));
        EXPECT_EQ(bare.isAppKill(), kill) << signal;
    }

    auto device = crashtest::validDevice();
    BEACErrorReport full("ID", "key", "SIGSEGV", "name", "reason", plat::Date(1), plat::Date(2), device, 77);
    EXPECT_EQ(full.incidentIdentifier(), "ID");
    EXPECT_EQ(full.reporterKey(), "key");
    EXPECT_EQ(full.signal(), "SIGSEGV");
    EXPECT_EQ(full.exceptionReason(), "reason");
    EXPECT_EQ(full.appStartTime(), plat::Date(1));
    EXPECT_EQ(full.appErrorTime(), plat::Date(2));
    EXPECT_EQ(full.device(), device);
    EXPECT_EQ(full.appProcessIdentifier(), 77u);
}

}  // namespace
