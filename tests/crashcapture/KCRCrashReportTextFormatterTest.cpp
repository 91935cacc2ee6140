#include "crashcapture/KCRCrashReportTextFormatter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crashcapture/CrashReportBuilder.h"
#include "support/CapturedLog.h"
#include "support/TempDir.h"

using kcrtest::CrashReport;
using kcrtest::decode;

namespace {

// Captures the platform log for the test's duration.
class KCRCrashReportTextFormatterTest : public testing::Test {
  protected:
    static std::string text(const CrashReport& fields) {
        auto report = decode(fields);
        return report ? KCRCrashReportTextFormatter::stringValueForCrashReport(
                            *report, KCRCrashReportTextFormatStandard)
                      : "";
    }

    // The lines of the text that start with the prefix.
    static std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
        std::vector<std::string> lines;
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            std::string line = text.substr(at, end - at);
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
            at = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }

    testsupport::CapturedLog log_;
};

}  // namespace

TEST_F(KCRCrashReportTextFormatterTest, FullReportMatchesTheExpectedText) {
    const std::string actual = text(CrashReport::full());
    const std::string expected = testsupport::readFile(KCR_TEST_DATA_DIR "/full_report.txt").value_or("");
    if (actual != expected) {
        std::ofstream("full_report.actual.txt", std::ios::binary) << actual;
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(actual, expected);
    // Linux symbols keep their leading "_"; each one is noted as such.
    EXPECT_EQ(log_.lines().size(), 3u);
    EXPECT_EQ(log_.lines()[1],
              "[KCRCrashReporter] Symbol \"_ZN7planner4Task4saveEv\" prefix rules are unknown for this OS!");
}

TEST_F(KCRCrashReportTextFormatterTest, MissingProcessInformationPrintsPlaceholders) {
    const std::string out = text(CrashReport::minimal());
    EXPECT_NE(out.find("Incident Identifier: ???\n"), std::string::npos);
    EXPECT_NE(out.find("Hardware Model:      ???\n"), std::string::npos);
    EXPECT_NE(out.find("Process:         ??? [???]\nPath:            ???\n"), std::string::npos);
    EXPECT_NE(out.find("Parent Process:  ??? [???]\n"), std::string::npos);
    EXPECT_NE(out.find("Date/Time:       (null)\n"), std::string::npos);
    EXPECT_NE(out.find("OS Version:      Unknown (3) 6.1.0-18-amd64 (??\?)\n"), std::string::npos);
    EXPECT_NE(out.find("Version:         1\n"), std::string::npos);
    // The system's processor stands in when no image has a code type.
    EXPECT_NE(out.find("Code Type:       X86-64\n"), std::string::npos);
    EXPECT_EQ(out.find("Application Specific Information"), std::string::npos);
}

TEST_F(KCRCrashReportTextFormatterTest, UnknownTextsWrittenEmptyPrintAsPlaceholders) {
    auto fields = CrashReport::full();
    fields.processInfo->processName = "";
    fields.processInfo->processPath = "";
    fields.applicationInfo.marketingVersion = "";
    fields.systemInfo.osBuild = "";
    const std::string out = text(fields);
    EXPECT_NE(out.find("Process:         ??? [4242]\nPath:            ???\n"), std::string::npos);
    EXPECT_NE(out.find("Version:         210\n"), std::string::npos);
    EXPECT_NE(out.find("(??\?)\n"), std::string::npos);
}

TEST_F(KCRCrashReportTextFormatterTest, BinaryImagesAreSortedWithDuplicatesAndZeroBasesSkipped) {
    auto fields = CrashReport::minimal();
    fields.images = {
        {.baseAddress = 0x3000, .size = 0x10, .name = "/lib/c.so", .uuid = {}, .codeType = {}},
        {.baseAddress = 0, .size = 0x10, .name = "/lib/zero.so", .uuid = {}, .codeType = {}},
        {.baseAddress = 0x1000, .size = 0, .name = "/lib/a.so", .uuid = {}, .codeType = {}},
        {.baseAddress = 0x3000, .size = 0x20, .name = "/lib/c-again.so", .uuid = {}, .codeType = {}}};
    const std::string out = text(fields);
    const auto lines = linesStartingWith(out, "      ");
    ASSERT_EQ(lines.size(), 2u) << out;
    // A size of 0 counts as 1; unknown code types and UUIDs print as "???".
    EXPECT_EQ(lines[0], "            0x1000 -             0x1000  a.so ???  <??\?> /lib/a.so");
    EXPECT_EQ(lines[1], "            0x3000 -             0x300f  c.so ???  <??\?> /lib/c.so");
}

TEST_F(KCRCrashReportTextFormatterTest, FrameOutsideEveryImage) {
    auto report = decode(CrashReport::minimal());
    ASSERT_NE(report, nullptr);
    KCRCrashReportStackFrameInfo zero(0, nullptr);
    EXPECT_EQ(KCRCrashReportTextFormatter::formatStackFrame(zero, 3, *report, true),
              "3   ???                                 0x0000000000000000 0x0 + 0");
    EXPECT_TRUE(log_.lines().empty());

    KCRCrashReportStackFrameInfo stray(0xdead, nullptr);
    EXPECT_EQ(KCRCrashReportTextFormatter::formatStackFrame(stray, 12, *report, false),
              "12  ???                                 0x0000dead 0x0 + 0");
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "[KCRCrashReporter] Cannot find image for 0xdead");
}

TEST_F(KCRCrashReportTextFormatterTest, SymbolPrefixIsDroppedOnlyForSystemsThatAddIt) {
    auto fields = CrashReport::minimal();
    auto symbolLine = [&](int32_t operatingSystem, const std::string& name) {
        fields.systemInfo.operatingSystem = operatingSystem;
        fields.threads[0].frames[0].symbol = kcrtest::Symbol{name, 0x1000 - 0x10, {}};
        auto report = decode(fields);
        return KCRCrashReportTextFormatter::formatStackFrame(*report->threads()[0]->stackFrames()[0], 0,
                                                             *report, true);
    };
    const std::string prefix = "0   app                                 0x0000000000001000 ";
    for (int32_t os : {0, 1, 2, 4})
        EXPECT_EQ(symbolLine(os, "_main"), prefix + "main + 16") << os;
    EXPECT_EQ(symbolLine(0, "_"), prefix + "_ + 16");
    EXPECT_EQ(symbolLine(0, "main"), prefix + "main + 16");
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(symbolLine(3, "_ZN3app4mainEv"), prefix + "_ZN3app4mainEv + 16");
    EXPECT_EQ(symbolLine(7, "_x"), prefix + "_x + 16");
    ASSERT_EQ(log_.lines().size(), 2u);
    EXPECT_EQ(log_.lines()[1], "[KCRCrashReporter] Symbol \"_x\" prefix rules are unknown for this OS!");
}

TEST_F(KCRCrashReportTextFormatterTest, ThirtyTwoBitARMReportsUseNarrowFieldsAndTheIPAlias) {
    auto fields = CrashReport::minimal();
    fields.systemInfo.architecture = 5;  // ARMv7: 32-bit, processor type 12
    fields.images[0].codeType = kcrtest::Processor{1, 12, 9};
    fields.threads[0].registers = {{"r0", 1}, {"r12", 0xabc}, {"sp", 0x7fff0000}};
    const std::string out = text(fields);
    EXPECT_NE(out.find("Code Type:       ARM\n"), std::string::npos);
    EXPECT_NE(out.find("0   app                                 0x00001000 0x1000 + 0\n"), std::string::npos);
    EXPECT_NE(out.find("Thread 0 crashed with ARM Thread State:\n"
                       "    r0: 0x00000001     ip: 0x00000abc     sp: 0x7fff0000 \n\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("    0x1000 -     0x10ff  app armv7  <??\?> /usr/bin/app\n"), std::string::npos)
        << out;
}

TEST_F(KCRCrashReportTextFormatterTest, CodeTypeComesFromTheFirstImageWithAKnownOne) {
    auto fields = CrashReport::minimal();
    auto codeTypeLine = [&] { return linesStartingWith(text(fields), "Code Type:")[0]; };
    fields.images.push_back(
        {.baseAddress = 0x9000, .size = 1, .name = "/b", .uuid = {}, .codeType = {{1, 12, 9}}});
    fields.images[0].codeType = kcrtest::Processor{1, 0x1000012, 0};  // PPC64 has no name here
    EXPECT_EQ(codeTypeLine(), "Code Type:       ARM");
    fields.images.pop_back();
    fields.systemInfo.architecture = 4;  // the system's processor is PPC64 too
    EXPECT_EQ(codeTypeLine(), "Code Type:       Unknown (16777234)");
    fields.images[0].codeType.reset();
    fields.machineInfo = kcrtest::MachineInfo{
        .model = {}, .processor = {0, 5, 5}, .processorCount = 1, .logicalProcessorCount = 1};
    EXPECT_EQ(codeTypeLine(), "Code Type:       Unknown");
}

TEST_F(KCRCrashReportTextFormatterTest, OperatingSystemsAndArchitecturesByName) {
    auto fields = CrashReport::minimal();
    auto osName = [&](int32_t os) {
        fields.systemInfo.operatingSystem = os;
        return linesStartingWith(text(fields), "OS Version:")[0];
    };
    for (const auto& [os, name] :
         {std::pair{0, "Mac OS X"}, std::pair{1, "iPhone OS"}, std::pair{2, "Mac OS X"},
          std::pair{4, "Apple tvOS"}, std::pair{-2, "Unknown (-2)"}}) {
        EXPECT_EQ(osName(os), std::string("OS Version:      ") + name + " 6.1.0-18-amd64 (??\?)") << os;
    }

    struct Row {
        uint64_t type, subtype;
        const char* name;
    };
    for (Row row :
         {Row{7, 3, "i386"}, Row{12, 6, "armv6"}, Row{12, 11, "armv7s"}, Row{12, 0x80000005, "arm-unknown"},
          Row{18, 0, "powerpc"}, Row{0x1000007, 3, "x86_64"}, Row{0x100000C, 0, "arm64"},
          Row{0x100000C, 1, "armv8"}, Row{0x100000C, 0x80000002, "arm64e"},
          Row{0x100000C, 9, "arm64-unknown"}, Row{0x1000012, 0, "???"}}) {
        fields.images[0].codeType = kcrtest::Processor{1, row.type, row.subtype};
        EXPECT_NE(text(fields).find(std::string(" app ") + row.name + "  <??\?>"), std::string::npos)
            << row.name;
    }
}

TEST_F(KCRCrashReportTextFormatterTest, FormatReportEncodesTheText) {
    auto fields = CrashReport::minimal();
    fields.applicationInfo.identifier = "com.example.caf\xc3\xa9\xf0\x9f\x98\x80";
    auto report = decode(fields);
    ASSERT_NE(report, nullptr);

    KCRCrashReportTextFormatter utf8(KCRCrashReportTextFormatStandard, KCRCrashReportTextEncodingUTF8);
    auto data = utf8.formatReport(*report);
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(data.value().toString(), KCRCrashReportTextFormatter::stringValueForCrashReport(
                                           *report, KCRCrashReportTextFormatStandard));

    KCRCrashReportTextFormatter ascii(KCRCrashReportTextFormatStandard, KCRCrashReportTextEncodingASCII);
    EXPECT_EQ(ascii.textFormat(), KCRCrashReportTextFormatStandard);
    EXPECT_EQ(ascii.stringEncoding(), KCRCrashReportTextEncodingASCII);
    data = ascii.formatReport(*report);
    ASSERT_TRUE(data.ok());
    EXPECT_NE(data.value().toString().find("Identifier:      com.example.caf??\n"), std::string::npos);
}
