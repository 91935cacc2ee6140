#include "platform/foundation/ProcessInfo.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>

#include "platform/foundation/UUID.h"
#include "support/TempDir.h"

namespace {

using plat::OperatingSystemVersion;
using plat::ProcessInfo;
using testsupport::TempDir;

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

bool isUpperCaseUUID(const std::string& text) {
    auto uuid = plat::UUID::fromString(text);
    return uuid && uuid->UUIDString() == text;
}

struct VersionCase {
    const char* release;
    std::optional<OperatingSystemVersion> expected;
};

class OperatingSystemVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(OperatingSystemVersionTest, ParsesKernelReleases) {
    EXPECT_EQ(ProcessInfo::parseOperatingSystemVersion(GetParam().release), GetParam().expected)
        << GetParam().release;
}

INSTANTIATE_TEST_SUITE_P(
    Releases, OperatingSystemVersionTest,
    ::testing::Values(VersionCase{"6.1.0-18-amd64", OperatingSystemVersion{6, 1, 0}},
                      VersionCase{"6.18.44-fc-v1300", OperatingSystemVersion{6, 18, 44}},
                      VersionCase{"5.15.90.1-custom-standard-build", OperatingSystemVersion{5, 15, 90}},
                      VersionCase{"4.19.0+1", OperatingSystemVersion{4, 19, 0}},
                      VersionCase{"5.15", OperatingSystemVersion{5, 15, 0}},
                      VersionCase{"6", OperatingSystemVersion{6, 0, 0}},
                      VersionCase{"3.a", OperatingSystemVersion{3, 0, 0}},
                      VersionCase{"6.1.", OperatingSystemVersion{6, 1, 0}}, VersionCase{"", std::nullopt},
                      VersionCase{"abc", std::nullopt}, VersionCase{"-1.2", std::nullopt},
                      VersionCase{"99999999999999999999.1", std::nullopt}));

struct MachineIDCase {
    const char* text;
    std::optional<std::string> expected;
};

class MachineIDTest : public ::testing::TestWithParam<MachineIDCase> {};

TEST_P(MachineIDTest, FormatsMachineIDsAsUpperCaseUUIDs) {
    EXPECT_EQ(ProcessInfo::hardwareUUIDFromMachineID(GetParam().text), GetParam().expected)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    MachineIDs, MachineIDTest,
    ::testing::Values(
        MachineIDCase{"3d1219c7c4c5404aaa1f6d2a48adfda4\n", "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4"},
        MachineIDCase{"  3D1219C7C4C5404AAA1F6D2A48ADFDA4", "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4"},
        MachineIDCase{"3d1219c7c4c5404aaa1f6d2a48adfda", std::nullopt},
        MachineIDCase{"3d1219c7c4c5404aaa1f6d2a48adfda4a", std::nullopt},
        MachineIDCase{"3d1219c7-c4c5-404a-aa1f-6d2a48adfda4", std::nullopt},
        MachineIDCase{"3d1219c7c4c5404aaa1f6d2a48adfdg4", std::nullopt},
        MachineIDCase{"00000000000000000000000000000000", std::nullopt},
        MachineIDCase{"uninitialized\n", std::nullopt}, MachineIDCase{"", std::nullopt}));

TEST(ProcessInfoTest, HardwareUUIDComesFromTheFirstValidMachineIDFile) {
    TempDir dir;
    writeText((dir / "bad").string(), "uninitialized\n");
    writeText((dir / "good").string(), "0123456789abcdef0123456789abcdef\n");
    const std::string fallback = (dir / "kept/uuid").string();
    EXPECT_EQ(ProcessInfo::resolveHardwareUUID(
                  {(dir / "missing").string(), (dir / "bad").string(), (dir / "good").string()}, fallback),
              "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_FALSE(std::ifstream(fallback).good()) << "no fallback needed";
}

TEST(ProcessInfoTest, HardwareUUIDFallbackIsGeneratedOnceAndKept) {
    TempDir dir;
    const std::string fallback = (dir / "data/app/hardware-uuid").string();
    const std::string first = ProcessInfo::resolveHardwareUUID({(dir / "missing").string()}, fallback);
    EXPECT_TRUE(isUpperCaseUUID(first)) << first;
    EXPECT_EQ(ProcessInfo::resolveHardwareUUID({}, fallback), first);

    writeText(fallback, "damaged");
    const std::string replaced = ProcessInfo::resolveHardwareUUID({}, fallback);
    EXPECT_TRUE(isUpperCaseUUID(replaced));
    EXPECT_NE(replaced, first);
    EXPECT_EQ(ProcessInfo::resolveHardwareUUID({}, fallback), replaced);

    // Nowhere to keep it: still a valid identifier.
    writeText((dir / "file").string(), "x");
    EXPECT_TRUE(isUpperCaseUUID(ProcessInfo::resolveHardwareUUID({}, (dir / "file/uuid").string())));
}

TEST(ProcessInfoTest, HardwareUUIDIsStableAndOverridableForTests) {
    // Should this machine lack a machine-id, the kept identifier goes here.
    TempDir dataHome;
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("XDG_DATA_HOME", dataHome.str().c_str(), 1);
    auto& info = ProcessInfo::processInfo();
    const std::string real = info.hardwareUUID();
    EXPECT_TRUE(isUpperCaseUUID(real)) << real;
    EXPECT_EQ(info.hardwareUUID(), real);
    info.setHardwareUUIDForTesting("11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(info.hardwareUUID(), "11111111-2222-3333-4444-555555555555");
    info.setHardwareUUIDForTesting(std::nullopt);
    EXPECT_EQ(info.hardwareUUID(), real);
    if (previous) {
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

TEST(ProcessInfoTest, GloballyUniqueStringsAreDistinctUUIDsWithoutSeparatorCharacters) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string s = ProcessInfo::processInfo().globallyUniqueString();
        EXPECT_EQ(s.find_first_of("_|"), std::string::npos);
        EXPECT_TRUE(isUpperCaseUUID(s)) << s;
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(ProcessInfoTest, ReportsFactsOfThisProcessAndMachine) {
    auto& info = ProcessInfo::processInfo();
    EXPECT_EQ(info.processIdentifier(), static_cast<int>(::getpid()));
    EXPECT_EQ(info.processName(), program_invocation_short_name);
    EXPECT_FALSE(info.hostName().empty());
    EXPECT_GE(info.processorCount(), 1u);
    EXPECT_GE(info.activeProcessorCount(), 1u);
    EXPECT_GT(info.physicalMemory(), 0u);
    const double before = info.systemUptime();
    EXPECT_GT(before, 0.0);
    EXPECT_GE(info.systemUptime(), before);

    struct utsname u;
    ASSERT_EQ(::uname(&u), 0);
    EXPECT_EQ(info.operatingSystemVersion(), ProcessInfo::parseOperatingSystemVersion(u.release));
    EXPECT_EQ(info.operatingSystemVersionString().rfind(std::string("Version ") + u.release + " (Build ", 0),
              0u);

    ASSERT_EQ(::setenv("KP_PROCESS_INFO_TEST", "value=with=equals", 1), 0);
    EXPECT_EQ(info.environment().at("KP_PROCESS_INFO_TEST"), "value=with=equals");
    EXPECT_EQ(info.environmentValue("KP_PROCESS_INFO_TEST"), "value=with=equals");
    ::unsetenv("KP_PROCESS_INFO_TEST");
    EXPECT_EQ(info.environmentValue("KP_PROCESS_INFO_TEST"), std::nullopt);
    EXPECT_EQ(info.environment().count("KP_PROCESS_INFO_TEST"), 0u);
}

}  // namespace
