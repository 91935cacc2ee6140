// Apple error logs and handled error logs: JSON entries, validity order and
// messages, equality and keyed archives (old class names included).
#include <functional>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "CrashesTestSupport.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorLogs.h"
#include "platform/foundation/Format.h"

namespace {

using crashtest::roundTrip;
using crashtest::validDevice;

std::shared_ptr<BEACException> exceptionWithFrame() {
    auto e = std::make_shared<BEACException>();
    e->type = "SIGSEGV";
    auto f = std::make_shared<BEACStackFrame>();
    f->address = "0x0000000000001000";
    e->frames = std::vector{f};
    return e;
}

std::shared_ptr<BEACAppleErrorLog> validCrashLog() {
    auto log = std::make_shared<BEACAppleErrorLog>();
    log->timestamp = plat::Date::fromTimeIntervalSince1970(1700000000.999);
    log->device = validDevice();
    log->errorId = "D3A5B1C2-0000-4000-8000-000000000001";
    log->processId = 4242;
    log->processName = "app";
    log->primaryArchitectureId = 0x100000C;
    log->applicationPath = "/opt/app/app";
    log->osExceptionType = "SIGSEGV";
    log->osExceptionCode = "SEGV_MAPERR";
    log->osExceptionAddress = "0x0";
    return log;
}

TEST(BEACErrorLogsTest, AppleErrorLogJSONWritesFatalAlwaysAndListsWhenPresent) {
    auto log = validCrashLog();
    auto json = log->serializeToDictionary();
    EXPECT_EQ(*json.find("type"), plat::Value("appleError"));
    ASSERT_TRUE(json.contains("fatal"));
    EXPECT_TRUE(json.find("fatal")->isBool());
    EXPECT_EQ(*json.find("fatal"), plat::Value(false));
    for (const char* absent : {"errorThreadName", "threads", "binaries", "registers", "exception",
                               "appLaunchTimestamp", "parentProcessId", "properties", "sid"})
        EXPECT_FALSE(json.contains(absent)) << absent;
    EXPECT_EQ(*json.find("id"), plat::Value("D3A5B1C2-0000-4000-8000-000000000001"));
    EXPECT_EQ(json.find("primaryArchitectureId")->kind(), plat::Value::Kind::UInt);
    EXPECT_EQ(json.find("primaryArchitectureId")->unsignedLongLongValue(), 0x100000Cu);

    log->fatal = true;
    log->threads = std::vector<std::shared_ptr<BEACThread>>{};
    log->registers = plat::Dictionary{};
    log->appLaunchTimestamp = plat::Date::fromTimeIntervalSince1970(1699999990.5);
    log->properties = plat::Dictionary{};
    json = log->serializeToDictionary();
    EXPECT_EQ(*json.find("fatal"), plat::Value(true));
    EXPECT_EQ(*json.find("threads"), plat::Value(plat::Array{}));
    EXPECT_EQ(*json.find("registers"), plat::Value(plat::Dictionary{}));
    EXPECT_EQ(*json.find("appLaunchTimestamp"), plat::Value("2023-11-14T22:13:10.500Z"));
    EXPECT_FALSE(json.contains("properties")) << "an empty property bag is left out";

    BEACHandledErrorLog handled;
    handled.errorId = "E";
    handled.exception = exceptionWithFrame();
    auto handledJson = handled.serializeToDictionary();
    EXPECT_EQ(*handledJson.find("type"), plat::Value("handledError"));
    EXPECT_FALSE(handledJson.contains("fatal"));
    EXPECT_EQ(*handledJson.find("exception"), plat::Value(handled.exception->serializeToDictionary()));
}

// Each step removes one more required field, from the last in order to the
// first: every step reports the field it removed, the earliest missing one.
TEST(BEACErrorLogsTest, ValidityReportsFirstMissingFieldInOrder) {
    auto log = validCrashLog();
    log->architectureVariantId.reset();
    log->parentProcessId.reset();
    log->threads.reset();
    crashtest::expectValidity([&] { return log->isValid(); }, nullptr);  // optional fields may all be absent
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"osExceptionAddress", [&] { log->osExceptionAddress.reset(); }},
        {"osExceptionCode", [&] { log->osExceptionCode.reset(); }},
        {"osExceptionType", [&] { log->osExceptionType.reset(); }},
        {"applicationPath", [&] { log->applicationPath.reset(); }},
        {"primaryArchitectureId", [&] { log->primaryArchitectureId.reset(); }},
        {"processName", [&] { log->processName.reset(); }},
        {"processId", [&] { log->processId.reset(); }},
        {"errorId", [&] { log->errorId.reset(); }},
        {"device", [&] { log->device.reset(); }},
    };
    for (const auto& [field, remove] : steps) {
        remove();
        const std::string message = plat::format("BEACAppleErrorLog: \"%@\" is not valid.", field);
        crashtest::expectValidity([&] { return log->isValid(); }, message.c_str());
    }

    BEACHandledErrorLog handled;
    handled.timestamp = plat::Date(0);
    handled.device = validDevice();
    handled.errorId = "E";
    crashtest::expectValidity([&] { return handled.isValid(); },
                              "BEACHandledErrorLog: \"exception\" is not valid.");
    handled.exception = std::make_shared<BEACException>();  // its own validity is not checked here
    crashtest::expectValidity([&] { return handled.isValid(); }, nullptr);
}

TEST(BEACErrorLogsTest, EqualityNeedsSameKindAndEveryField) {
    auto a = validCrashLog();
    auto b = validCrashLog();
    EXPECT_TRUE(a->isEqual(*b));

    auto binary = [](const char* id) {
        auto bin = std::make_shared<BEACBinary>();
        bin->binaryId = id;
        return bin;
    };
    a->binaries = std::vector{binary("1"), binary("2")};
    b->binaries = std::vector{binary("2"), binary("1")};
    EXPECT_FALSE(a->isEqual(*b)) << "binaries compare in order";
    b->binaries = std::vector{binary("1"), binary("2")};
    EXPECT_TRUE(a->isEqual(*b));

    b->registers = plat::Dictionary{{"rip", plat::Value("0x1")}};
    EXPECT_FALSE(a->isEqual(*b));
    a->registers = plat::Dictionary{{"rip", plat::Value("0x1")}};
    EXPECT_TRUE(a->isEqual(*b));
    a->exception = exceptionWithFrame();
    EXPECT_FALSE(a->isEqual(*b));

    BEACHandledErrorLog handled;
    handled.timestamp = a->timestamp;
    handled.device = a->device;
    handled.errorId = a->errorId;
    EXPECT_FALSE(handled.isEqual(*validCrashLog()));
    EXPECT_FALSE(validCrashLog()->isEqual(handled));
    BEACErrorAttachmentLog attachment;
    attachment.timestamp = a->timestamp;
    attachment.device = a->device;
    EXPECT_FALSE(attachment.isEqual(*validCrashLog()));
    EXPECT_FALSE(validCrashLog()->isEqual(attachment));
}

TEST(BEACErrorLogsTest, ArchivesRestoreEveryFieldAndDecodeOldNames) {
    auto log = validCrashLog();
    log->fatal = true;
    log->sid = "session";
    log->properties = plat::Dictionary{{"k", plat::Value("v")}};
    log->parentProcessId = 1;
    log->parentProcessName = "init";
    log->errorThreadId = 2;
    log->errorThreadName = "main";
    log->appLaunchTimestamp = plat::Date::fromTimeIntervalSince1970(1699999990.25);
    log->architecture = "arm64";
    log->architectureVariantId = 0;
    log->exceptionType = "std::runtime_error";
    log->exceptionReason = "boom";
    log->selectorRegisterValue = "length";
    auto thread = std::make_shared<BEACThread>();
    thread->threadId = 2;
    log->threads = std::vector{thread};
    log->binaries = std::vector<std::shared_ptr<BEACBinary>>{};
    log->registers = plat::Dictionary{{"x1", plat::Value("0x0000000000000001")}};
    log->exception = exceptionWithFrame();

    auto back = roundTrip<BEACAppleErrorLog>(log);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*log));
    EXPECT_TRUE(back->fatal);
    EXPECT_EQ(back->architectureVariantId, 0u);
    EXPECT_TRUE(back->binaries && back->binaries->empty());

    auto sparse = validCrashLog();
    auto sparseBack = roundTrip<BEACAppleErrorLog>(sparse);
    ASSERT_NE(sparseBack, nullptr);
    EXPECT_TRUE(sparseBack->isEqual(*sparse));
    EXPECT_FALSE(sparseBack->fatal);
    EXPECT_FALSE(sparseBack->threads);
    EXPECT_FALSE(sparseBack->registers);

    auto handled = std::make_shared<BEACHandledErrorLog>();
    handled->errorId = "H";
    handled->exception = exceptionWithFrame();
    auto handledBack = roundTrip<BEACHandledErrorLog>(handled);
    ASSERT_NE(handledBack, nullptr);
    EXPECT_TRUE(handledBack->isEqual(*handled));

    // A log stored by an earlier version under the old class names.
    plat::KeyedArchiver archiver;
    archiver.setClassName("BCAppleErrorLog", "BEACAppleErrorLog");
    archiver.setClassName("BCThread", "BEACThread");
    archiver.encodeObject(plat::Value(std::static_pointer_cast<const plat::Object>(log)), "root");
    auto data = archiver.encodedData();
    ASSERT_TRUE(data.ok());
    auto old = BEACUtility::unarchiveKeyedData(data.value());
    ASSERT_TRUE(old);
    auto oldLog = old->asObjectOf<BEACAppleErrorLog>();
    ASSERT_NE(oldLog, nullptr);
    EXPECT_TRUE(oldLog->isEqual(*log));
}

}  // namespace
