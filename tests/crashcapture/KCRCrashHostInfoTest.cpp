#include "crashcapture/KCRCrashHostInfo.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/CapturedLog.h"
#include "support/ChildProcess.h"

namespace {

using testsupport::CapturedLog;

}  // namespace

TEST(KCRCrashHostInfo, ReleasesScanAsThreeNumbers) {
    struct Case {
        std::string release;
        uint64_t major, minor, revision;
        bool logged;
    };
    const Case cases[] = {
        {"20.6.0", 20, 6, 0, false},
        {"21.0", 21, 0, 0, true},
        {"6.1.0-18-amd64", 6, 1, 0, false},
        {"garbage", 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        CapturedLog log;
        KCRCrashHostInfoVersion version = KCRCrashHostInfo::parseRelease(c.release);
        EXPECT_EQ(version.major, c.major) << c.release;
        EXPECT_EQ(version.minor, c.minor);
        EXPECT_EQ(version.revision, c.revision);
        if (c.logged) {
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_EQ(log.lines()[0],
                      "[KCRCrashReporter] Unexpected kern.osrelease string format: " + c.release);
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
    }
    auto host = KCRCrashHostInfo::currentHostInfo();
    ASSERT_NE(host, nullptr);
    utsname names{};
    uname(&names);
    EXPECT_EQ(host->darwinVersion().major, static_cast<uint64_t>(std::atoi(names.release)));
}

TEST(KCRCrashHostInfo, SysctlRoutines) {
    char* release = kcr::sysctl_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    utsname names{};
    uname(&names);
    EXPECT_STREQ(release, names.release);
    std::free(release);
    errno = 0;
    EXPECT_EQ(kcr::sysctl_string("no.such.name"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    int32_t cpus = 0;
    EXPECT_TRUE(kcr::sysctl_int("hw.logicalcpu_max", &cpus));
    EXPECT_GE(cpus, 1);
    EXPECT_FALSE(kcr::sysctl_int("kern.osrelease", &cpus));  // not 4 bytes
}

TEST(KCRCrashProcessInfo, DescribesProcessesAndRefusesMissingOnes) {
    auto self = KCRCrashProcessInfo::currentProcessInfo();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->processID(), getpid());
    EXPECT_EQ(self->parentProcessID(), getppid());
    ASSERT_TRUE(self->processName().has_value());
    EXPECT_FALSE(self->processName()->empty());
    EXPECT_GT(self->startTime().tv_sec, 1500000000);
    EXPECT_EQ(KCRCrashProcessInfo::create(0x3FFFFFFF), nullptr);

    // Command names that are not UTF-8: from the first byte gives none, later
    // bytes are cut.
    for (const char* name : {"\xff\xfe", "ok\xff"}) {
        testsupport::PausedChild child([name] { prctl(PR_SET_NAME, name, 0, 0, 0); });
        ASSERT_TRUE(child.ready());
        auto info = KCRCrashProcessInfo::create(child.pid());
        ASSERT_NE(info, nullptr);
        if (name[0] == 'o') {
            EXPECT_EQ(info->processName(), std::optional<std::string>("ok"));
        } else {
            EXPECT_EQ(info->processName(), std::nullopt);
        }
        EXPECT_FALSE(info->isTraced());
    }
}
