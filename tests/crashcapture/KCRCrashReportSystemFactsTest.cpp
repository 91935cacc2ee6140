#include "crashcapture/KCRCrashReportSystemFacts.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "crashcapture/KCRCrashReportInfo.h"

TEST(KCRCrashReportSystemFactsTest, DescribesThisMachineWithoutClaimingAnotherSystem) {
    auto facts = KCRCrashReportSystemFacts::current();
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(facts.operatingSystem, KCRCrashReportOperatingSystemUnknown);
    EXPECT_EQ(facts.operatingSystemVersion, names.release);
    EXPECT_EQ(facts.operatingSystemBuild, names.version);
    EXPECT_FALSE(facts.operatingSystemVersion.empty());
    EXPECT_EQ(facts.architecture, KCRCrashReportArchitectureUnknown);
#if defined(__x86_64__)
    EXPECT_EQ(facts.processorTypeEncoding, KCRCrashReportProcessorTypeEncodingMach);
    EXPECT_EQ(facts.processorType, 0x1000007u);
    EXPECT_EQ(facts.processorSubtype, 3u);
#endif
}
