#include "platform/machine/HostFacts.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/foundation/ProcessInfo.h"
#include "support/ChildProcess.h"

using namespace plat::machine;

TEST(HostFacts, StringAndIntegerFactsKeepTheSizeContract) {
    size_t size = 0;
    ASSERT_EQ(systemFact("kern.osrelease", nullptr, &size), 0);
    utsname names{};
    uname(&names);
    EXPECT_EQ(size, std::strlen(names.release) + 1);
    std::string release(size, '\0');
    size_t small = 2;
    EXPECT_EQ(systemFact("kern.osrelease", release.data(), &small), ENOMEM);
    EXPECT_EQ(small, size);
    ASSERT_EQ(systemFact("kern.osrelease", release.data(), &size), 0);
    EXPECT_STREQ(release.c_str(), names.release);
    // The same release the platform reports as the OS version.
    const std::string text = plat::ProcessInfo::processInfo().operatingSystemVersionString();
    EXPECT_NE(text.find(release.c_str()), std::string::npos) << text;

    int32_t value = 0;
    size = sizeof value;
    ASSERT_EQ(systemFact("hw.logicalcpu_max", &value, &size), 0);
    EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_CONF));
    size = sizeof value;
    ASSERT_EQ(systemFact("hw.physicalcpu_max", &value, &size), 0);
    EXPECT_GE(value, 1);
#if defined(__x86_64__)
    size = sizeof value;
    ASSERT_EQ(systemFact("hw.cputype", &value, &size), 0);
    EXPECT_EQ(value, 0x01000007);
#endif
    EXPECT_EQ(systemFact("sysctl.proc_native", &value, &size), ENOENT);
    EXPECT_EQ(systemFact("no.such.fact", nullptr, &size), ENOENT);
}

TEST(HostFacts, ProcParsersHandleHostileNames) {
    struct Case {
        std::string stat;
        bool ok;
        pid_t pid, parent;
        std::string command;
        uint64_t start;
    };
    const Case cases[] = {
        {"42 (bash) S 7 42 42 0 -1 4194304 1 0 0 0 0 0 0 0 20 0 1 0 123456 0 0\n", true, 42, 7, "bash",
         123456},
        {"43 (a) (b) ) S 9 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 77 0 0", true, 43, 9, "a) (b) ", 77},
        {"44 (x) S", false, 0, 0, "", 0},
        {"no parenthesis", false, 0, 0, "", 0},
        {"45 (abcdefghijklmnopqrstuvwxyz) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0", true, 45, 1,
         "abcdefghijklmno", 5},
    };
    for (const Case& c : cases) {
        ProcessRecord record;
        uint64_t start = 0;
        EXPECT_EQ(parseProcessStat(c.stat, &record, &start), c.ok) << c.stat;
        if (!c.ok)
            continue;
        EXPECT_EQ(record.pid, c.pid);
        EXPECT_EQ(record.parentPid, c.parent);
        EXPECT_EQ(std::string(record.command), c.command);
        EXPECT_EQ(start, c.start);
    }
    pid_t tracer = -1;
    EXPECT_TRUE(parseTracerPid("Name:\tx\nTracerPid:\t123\nUid: 0\n", &tracer));
    EXPECT_EQ(tracer, 123);
    EXPECT_FALSE(parseTracerPid("Name:\tx\n", &tracer));
    int64_t boot = 0;
    EXPECT_TRUE(parseBootTime("cpu 1 2 3\nintr 5\nbtime 1700000000\nprocesses 9\n", &boot));
    EXPECT_EQ(boot, 1700000000);
    EXPECT_FALSE(parseBootTime("cpu 1\n", &boot));
}

TEST(HostFacts, ProcessRecordsOfLiveAndMissingProcesses) {
    ProcessRecord record;
    ASSERT_EQ(processRecord(getpid(), &record), 0);
    EXPECT_EQ(record.pid, getpid());
    EXPECT_EQ(record.parentPid, getppid());
    EXPECT_GT(record.startSeconds, 1500000000);
    EXPECT_LE(record.startSeconds, time(nullptr) + 1);  // boot time is whole seconds
    EXPECT_GE(record.startMicroseconds, 0);
    EXPECT_LT(record.startMicroseconds, 1000000);
    EXPECT_EQ(processRecord(0, &record), ESRCH);
    EXPECT_EQ(processRecord(0x3FFFFFFF, &record), ESRCH);

    // A child that renames itself with bytes that are not UTF-8.
    testsupport::PausedChild child([] { prctl(PR_SET_NAME, "\xff\xfe) x", 0, 0, 0); });
    ASSERT_TRUE(child.ready());
    ASSERT_EQ(processRecord(child.pid(), &record), 0);
    EXPECT_STREQ(record.command, "\xff\xfe) x");
    EXPECT_EQ(record.parentPid, getpid());
}
