// A crash in one run of an application becomes, at its next run, one
// "appleError" log sent with its attachment to the ingestion endpoint, and
// the report files are removed; the log that was not yet stored at the crash
// is sent from the crash-time buffer; a third run sends nothing more.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "beacon/core/IngestionServer.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

int runHelper(const std::string& mode, const std::string& sandbox, const std::string& url) {
    return testsupport::waitStatusOfChild([&] {
        execl(BEAC_CRASHES_HELPER, BEAC_CRASHES_HELPER, mode.c_str(), sandbox.c_str(), url.c_str(),
              static_cast<char*>(nullptr));
        return 127;
    });
}

// Every log of every request, by type.
std::vector<plat::Dictionary> sentLogs(const beactest::IngestionServer& server, const std::string& type) {
    std::vector<plat::Dictionary> logs;
    for (const auto& request : server.requests()) {
        auto parsed = plat::JSONSerialization::JSONObjectWithData(plat::Data::fromString(request.body));
        if (!parsed.ok() || !parsed.value().isDictionary())
            continue;
        const plat::Value* list = parsed.value().asDictionary()->find("logs");
        if (list == nullptr || !list->isArray())
            continue;
        for (const plat::Value& log : *list->asArray()) {
            const plat::Dictionary* entry = log.asDictionary();
            const plat::Value* entryType = entry ? entry->find("type") : nullptr;
            if (entryType && entryType->asString() && *entryType->asString() == type)
                logs.push_back(*entry);
        }
    }
    return logs;
}

}  // namespace

TEST(CrashesEndToEnd, CrashIsSentAtTheNextRunWithItsAttachmentAndOnlyOnce) {
    testsupport::TempDir sandbox;
    beactest::IngestionServer server;

    const int crashed = runHelper("crash", sandbox.str(), server.url());
    ASSERT_TRUE(WIFSIGNALED(crashed)) << "status " << crashed;
    EXPECT_TRUE(WTERMSIG(crashed) == SIGILL || WTERMSIG(crashed) == SIGTRAP) << WTERMSIG(crashed);

    const int sent = runHelper("send", sandbox.str(), server.url());
    ASSERT_TRUE(WIFEXITED(sent) && WEXITSTATUS(sent) == 0) << "status " << sent;
    std::vector<plat::Dictionary> crashes = sentLogs(server, "appleError");
    std::vector<plat::Dictionary> attachments = sentLogs(server, "errorAttachment");
    ASSERT_EQ(crashes.size(), 1u);
    ASSERT_EQ(attachments.size(), 1u);
    const plat::Value* id = crashes[0].find("id");
    const plat::Value* errorId = attachments[0].find("errorId");
    ASSERT_TRUE(id && errorId);
    EXPECT_EQ(*id, *errorId);
    EXPECT_EQ(*attachments[0].find("fileName"), plat::Value("notes.txt"));
    // The handled error the crash caught before it was stored comes back
    // from the crash-time buffer.
    std::vector<plat::Dictionary> handled = sentLogs(server, "handledError");
    ASSERT_EQ(handled.size(), 1u);
    const plat::Value* properties = handled[0].find("properties");
    ASSERT_TRUE(properties && properties->asDictionary());
    EXPECT_EQ(*properties->asDictionary()->find("step"), plat::Value("before the crash"));
    const plat::Value* fatal = crashes[0].find("fatal");
    ASSERT_TRUE(fatal);
    EXPECT_TRUE(fatal->boolValue());

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(sandbox / "sdk" / "crashes"))
        left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_FALSE(fs::exists(sandbox / "cache" / "com.kestrel.crashcapture" / "com.kestrel.crashes-e2e" /
                            "live_report.kcr"));

    const int again = runHelper("send", sandbox.str(), server.url());
    ASSERT_TRUE(WIFEXITED(again) && WEXITSTATUS(again) == 0) << "status " << again;
    EXPECT_EQ(sentLogs(server, "appleError").size(), 1u);
    EXPECT_EQ(sentLogs(server, "handledError").size(), 1u);
}
