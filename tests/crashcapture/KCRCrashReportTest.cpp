#include "crashcapture/KCRCrashReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "crashcapture/CrashReportBuilder.h"
#include "crashcapture/KCRCrashReportDecoding.h"
#include "crashcapture/KCRCrashReporterError.h"
#include "platform/foundation/Error.h"

using kcrtest::Bytes;
using kcrtest::CrashReport;
using kcrtest::decode;

namespace {

// The description of the decoding error, or "decoded" when there is none.
std::string failure(const Bytes& file) {
    auto report = KCRCrashReport::create(file.data(), file.size());
    if (report.ok())
        return "decoded";
    EXPECT_EQ(report.error()->domain(), KCRCrashReporterErrorDomain);
    EXPECT_EQ(report.error()->code(), KCRCrashReporterErrorCrashReportInvalid);
    return report.error()->localizedDescription();
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

// The text formatter's test compares the whole text of this report with a
// stored file, which checks every value the text shows; here only the values
// it does not show.
TEST(KCRCrashReportTest, FullReportFillsEveryInfoClass) {
    auto report = decode(CrashReport::full());
    ASSERT_NE(report, nullptr);

    const auto& system = *report->systemInfo();
    EXPECT_EQ(system.operatingSystem(), KCRCrashReportOperatingSystemUnknown);
    EXPECT_EQ(system.architecture(), KCRCrashReportArchitectureUnknown);
    // With machine information the system takes the machine's processor.
    EXPECT_EQ(system.processorInfo(), report->machineInfo()->processorInfo());
    const auto& machine = *report->machineInfo();
    EXPECT_EQ(machine.processorInfo()->typeEncoding(), KCRCrashReportProcessorTypeEncodingMach);
    EXPECT_EQ(machine.processorInfo()->subtype(), 3u);
    EXPECT_EQ(machine.processorCount(), 4u);
    EXPECT_EQ(machine.logicalProcessorCount(), 8u);

    const auto& process = *report->processInfo();
    EXPECT_TRUE(process.native());
    ASSERT_TRUE(process.processStartTime().has_value());
    EXPECT_EQ(process.processStartTime()->timeIntervalSince1970(), 1699999000.0);
    EXPECT_EQ(report->machExceptionInfo(), nullptr);

    const auto& crashed = *report->threads()[1];
    EXPECT_TRUE(report->threads()[0]->registers().empty());
    EXPECT_EQ(crashed.stackFrames()[0]->symbolInfo()->endAddress(), 0x555555555a80u);
    EXPECT_EQ(crashed.stackFrames()[2]->symbolInfo()->endAddress(), 0u);  // absent end
    EXPECT_EQ(crashed.stackFrames()[1]->symbolInfo(), nullptr);
    EXPECT_EQ(report->images()[0]->codeType()->type(), 0x1000007u);
    EXPECT_FALSE(report->images()[2]->hasImageUUID());
    EXPECT_EQ(report->images()[2]->imageUUID(), std::nullopt);

    ASSERT_TRUE(report->customData().has_value());
    EXPECT_EQ(report->customData()->toString(), "hello");
}

// What the text formatter's test does not already show of the minimal
// report (placeholders for the absent texts and time), and the architecture
// test of its processor.
TEST(KCRCrashReportTest, MinimalReportLeavesOptionalPartsAbsent) {
    auto report = decode(CrashReport::minimal());
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->systemInfo()->operatingSystem(), KCRCrashReportOperatingSystemUnknown);  // the default
    EXPECT_EQ(report->systemInfo()->processorInfo()->typeEncoding(), KCRCrashReportProcessorTypeEncodingMach);
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo(), nullptr);
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo(), nullptr);
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo(), nullptr);
    EXPECT_EQ(report->machExceptionInfo(), nullptr);
    EXPECT_EQ(report->customData(), std::nullopt);

    const auto& image = *report->images()[0];
    EXPECT_EQ(image.codeType(), nullptr);
    EXPECT_FALSE(image.hasImageUUID());
    const auto& thread = *report->threads()[0];
    EXPECT_TRUE(thread.registers().empty());
    EXPECT_EQ(thread.stackFrames()[0]->symbolInfo(), nullptr);
}

// Optional texts written empty read as empty, not absent; texts that are not
// UTF-8 are repaired, not refused.
TEST(KCRCrashReportTest, EmptyOptionalTextsStayEmptyAndInvalidUTF8IsRepaired) {
    auto fields = CrashReport::minimal();
    fields.images[0].name = "/srv/caf\xe9/lib.so";  // a Latin-1 path, as Linux allows
    fields.signal.name = "SIG\xff";
    fields.applicationInfo.marketingVersion = "";
    fields.systemInfo.osBuild = "";
    fields.processInfo = kcrtest::ProcessInfo{.processName = "",
                                              .processId = 7,
                                              .processPath = "",
                                              .parentProcessName = {},
                                              .parentProcessId = 1,
                                              .native = false,
                                              .startTime = {}};
    auto report = decode(fields);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "");
    EXPECT_EQ(report->systemInfo()->operatingSystemBuild(), "");
    EXPECT_EQ(report->processInfo()->processName(), "");
    EXPECT_EQ(report->processInfo()->processPath(), "");
    EXPECT_EQ(report->processInfo()->parentProcessName(), std::nullopt);
    EXPECT_EQ(report->processInfo()->processStartTime(), std::nullopt);
    EXPECT_FALSE(report->processInfo()->native());
    EXPECT_EQ(report->images()[0]->imageName(), "/srv/caf\xef\xbf\xbd/lib.so");
    EXPECT_EQ(report->signalInfo()->name(), "SIG\xef\xbf\xbd");
}

TEST(KCRCrashReportTest, TextsKeepTheirWholeLengthPastAnEmbeddedNul) {
    // protobuf-c writes texts up to their first NUL, so the file is packed
    // with marked texts whose marks then become NULs.
    auto fields = CrashReport::minimal();
    fields.images[0].name = "/lib/one#two.so";
    fields.signal.name = "SIG#";
    fields.applicationInfo.marketingVersion = "mv##mv";
    Bytes file = kcrtest::packFile(fields);
    for (const std::string marked : {"one#two", "SIG#", "mv##mv"}) {
        auto at = std::search(file.begin(), file.end(), marked.begin(), marked.end());
        ASSERT_NE(at, file.end()) << marked;
        std::replace(at, at + static_cast<std::ptrdiff_t>(marked.size()), uint8_t{'#'}, uint8_t{0});
    }
    auto report = decode(file);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->images()[0]->imageName(), std::string("/lib/one\0two.so", 15));
    EXPECT_EQ(report->signalInfo()->name(), std::string("SIG\0", 4));
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), std::string("mv\0\0mv", 6));
}

// Files the decoder refuses, with the description each gets. Where a file
// has several faults, the row shows which one is reported first.
TEST(KCRCrashReportTest, RefusedFilesAndTheirDescriptions) {
    auto packed = [](CrashReport fields, const std::function<void(CrashReport&)>& change) {
        change(fields);
        return kcrtest::packFile(fields);
    };
    const CrashReport minimal = CrashReport::minimal(), full = CrashReport::full();
    auto architecture = [&](int32_t value) {
        return packed(minimal, [value](CrashReport& f) { f.systemInfo.architecture = value; });
    };
    auto reportUUID = [&](Bytes uuid, bool withThreads = true) {
        return packed(full, [&](CrashReport& f) {
            f.reportInfo->uuid = uuid;
            if (!withThreads)
                f.threads.clear();
        });
    };
    Bytes otherMagicAndVersion = kcrtest::packFile(minimal);
    otherMagicAndVersion[0] = 'K';
    otherMagicAndVersion[7] = 9;
    const std::string truncated = "Could not decode truncated crash log";
    const std::string header = "Could not decode invalid crash log header";
    const std::string version = "Could not decode unsupported crash report version: ";
    const std::string badArchitecture = "Crash report has an unknown architecture";
    const std::string badUUID = "Report UUID value is not a standard 16 bytes";
    const struct {
        const char* label;
        Bytes file;
        std::string description;
    } rows[] = {
        {"empty", {}, truncated},
        {"magic only", bytesOf("kcrdump"), truncated},
        {"header without message", bytesOf("kcrdump\x01"), truncated},
        {"other magic", Bytes{'k', 'c', 'r', 'd', 'u', 'm', 'q', 1, 0x0a, 0x00}, header},
        {"other magic and version", otherMagicAndVersion, header},
        {"version 2", kcrtest::fileWithMessage(kcrtest::packMessage(minimal), 2), version + "2"},
        {"version 0", kcrtest::fileWithMessage({0x0a, 0x00}, 0), version + "0"},
        {"version 255", kcrtest::fileWithMessage({0x0a, 0x00}, 255), version + "255"},
        {"no images", packed(full, [](CrashReport& f) { f.images.clear(); }),
         "Crash report is missing binary image information"},
        {"neither threads nor images",
         packed(full,
                [](CrashReport& f) {
                    f.images.clear();
                    f.threads.clear();
                }),
         "Crash report is missing thread state information"},
        {"architecture 6 without machine", architecture(6), badArchitecture},
        {"architecture 99", architecture(99), badArchitecture},
        {"architecture -1", architecture(-1), badArchitecture},
        {"4-byte report UUID", reportUUID({1, 2, 3, 4}), badUUID},
        {"empty report UUID", reportUUID({}), badUUID},
        {"17-byte report UUID", reportUUID(Bytes(17, 0xab)), badUUID},
        {"bad report UUID and no threads", reportUUID({1, 2, 3, 4}, false), badUUID},
        {"256 Mach exception codes",
         packed(minimal,
                [](CrashReport& f) {
                    f.signal.machException =
                        kcrtest::MachException{.type = 1, .codes = std::vector<uint64_t>(256, 7)};
                }),
         "Crash report includes too many Mach Exception codes"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(failure(row.file), row.description) << row.label;
}

TEST(KCRCrashReportTest, MessagesThatDoNotUnpackGiveTheUnknownError) {
    const std::string unknown = "An unknown error occured decoding the crash report";
    const Bytes message = kcrtest::packMessage(CrashReport::full());
    auto fileWithout = [&](std::initializer_list<uint32_t> path) {
        return kcrtest::fileWithMessage(kcrtest::withoutField(message, path));
    };
    EXPECT_EQ(failure(fileWithout({6})), unknown);        // signal
    EXPECT_EQ(failure(fileWithout({1})), unknown);        // system_info
    EXPECT_EQ(failure(fileWithout({2})), unknown);        // application_info
    EXPECT_EQ(failure(fileWithout({1, 2})), unknown);     // system_info.os_version
    EXPECT_EQ(failure(fileWithout({2, 1})), unknown);     // application_info.identifier
    EXPECT_EQ(failure(fileWithout({6, 2})), unknown);     // signal.code
    EXPECT_EQ(failure(fileWithout({3, 2, 3})), unknown);  // a frame's pc
    EXPECT_EQ(failure(fileWithout({4, 3})), unknown);     // an image's name
    EXPECT_EQ(failure(fileWithout({8, 2})), unknown);     // machine_info.processor

    // Cut short anywhere inside the message, as a writer stopped mid-report.
    for (std::size_t keep : {message.size() - 1, message.size() / 2, std::size_t{1}}) {
        Bytes cut(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(keep));
        EXPECT_EQ(failure(kcrtest::fileWithMessage(cut)), unknown) << keep;
    }
    // A bytes field claiming far more than the file holds.
    Bytes absurd = message;
    absurd.insert(absurd.end(), {0x52, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f});
    EXPECT_EQ(failure(kcrtest::fileWithMessage(absurd)), unknown);
    // Noise.
    EXPECT_EQ(failure(kcrtest::fileWithMessage(Bytes(64, 0xff))), unknown);
}

// Optional parts at their edges, and a field of a newer writer, in one file.
TEST(KCRCrashReportTest, OptionalPartsAtTheirEdgesAndNewerFieldsDecode) {
    auto fields = CrashReport::minimal();
    fields.signal.machException = kcrtest::MachException{.type = 1, .codes = std::vector<uint64_t>(255, 7)};
    fields.signal.machException->codes[254] = UINT64_MAX;  // 255 codes are the most kept
    fields.reportInfo = kcrtest::ReportInfo{};             // present, without its UUID
    Bytes buildId(20);
    for (std::size_t i = 0; i < buildId.size(); ++i)
        buildId[i] = static_cast<uint8_t>(0xA0 + i);
    fields.images[0].uuid = buildId;
    fields.images.push_back(
        {.baseAddress = 0x9000, .size = 1, .name = "/empty-uuid", .uuid = Bytes{}, .codeType = {}});
    Bytes message = kcrtest::packMessage(fields);
    message.insert(message.end(), {0xa8, 0x06, 0x2a});  // field 101, varint 42
    auto report = decode(kcrtest::fileWithMessage(message));
    ASSERT_NE(report, nullptr);
    ASSERT_NE(report->machExceptionInfo(), nullptr);
    EXPECT_EQ(report->machExceptionInfo()->type(), 1u);
    ASSERT_EQ(report->machExceptionInfo()->codes().size(), 255u);
    EXPECT_EQ(report->machExceptionInfo()->codes()[254], UINT64_MAX);
    EXPECT_EQ(report->uuidRef(), std::nullopt);
    // Image UUIDs are the lower-case hex of every byte; an empty one is none.
    EXPECT_EQ(report->images()[0]->imageUUID(), "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3");
    EXPECT_FALSE(report->images()[1]->hasImageUUID());
}

TEST(KCRCrashReportTest, ArchitectureDecidesTheProcessorOnlyWithoutMachineInformation) {
    auto fields = CrashReport::minimal();
    struct Row {
        int32_t architecture;
        uint64_t type, subtype;
    };
    for (Row row : {Row{0, 7, 3}, Row{1, 0x1000007, 3}, Row{2, 12, 6}, Row{3, 0x12, 0}, Row{4, 0x1000012, 0},
                    Row{5, 12, 9}}) {
        fields.systemInfo.architecture = row.architecture;
        auto report = decode(fields);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->systemInfo()->processorInfo()->type(), row.type) << row.architecture;
        EXPECT_EQ(report->systemInfo()->processorInfo()->subtype(), row.subtype) << row.architecture;
    }

    fields.systemInfo.architecture = 6;
    fields.machineInfo = kcrtest::MachineInfo{};
    EXPECT_NE(decode(fields), nullptr);
}

TEST(KCRCrashReportTest, PointerAuthenticationBitsAreStrippedOnlyForARM64E) {
    const uint64_t signedPC = 0x8000000123456789ull;
    auto fields = CrashReport::minimal();
    fields.threads[0].frames[0].pc = signedPC;
    fields.exception =
        kcrtest::Exception{.name = "E", .reason = "R", .frames = {{.pc = signedPC, .symbol = {}}}};
    fields.machineInfo = kcrtest::MachineInfo{.model = {},
                                              .processor = {.encoding = 1, .type = 0x100000C, .subtype = 2},
                                              .processorCount = 1,
                                              .logicalProcessorCount = 1};
    auto report = decode(fields);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->threads()[0]->stackFrames()[0]->instructionPointer(), 0x123456789u);
    EXPECT_EQ(report->exceptionInfo()->stackFrames()[0]->instructionPointer(), 0x123456789u);

    for (auto processor : {kcrtest::Processor{1, 0x100000C, 0}, kcrtest::Processor{1, 0x1000007, 3}}) {
        fields.machineInfo->processor = processor;
        report = decode(fields);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->threads()[0]->stackFrames()[0]->instructionPointer(), signedPC);
    }
}

TEST(KCRCrashReportTest, ImageForAddressFindsTheFirstImageHoldingIt) {
    auto fields = CrashReport::minimal();
    fields.images = {
        {.baseAddress = 0x1000, .size = 0x100, .name = "/a", .uuid = {}, .codeType = {}},
        {.baseAddress = 0x1080, .size = 0x100, .name = "/b", .uuid = {}, .codeType = {}},
        {.baseAddress = UINT64_MAX - 0xf, .size = 0x100, .name = "/top", .uuid = {}, .codeType = {}}};
    auto report = decode(fields);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->imageForAddress(0x0fff), nullptr);
    EXPECT_EQ(report->imageForAddress(0x1000)->imageName(), "/a");
    EXPECT_EQ(report->imageForAddress(0x10ff)->imageName(), "/a");  // overlap: report order wins
    EXPECT_EQ(report->imageForAddress(0x1100)->imageName(), "/b");  // end of /a is exclusive
    EXPECT_EQ(report->imageForAddress(0x1180), nullptr);
    EXPECT_EQ(report->imageForAddress(UINT64_MAX)->imageName(), "/top");
    EXPECT_EQ(report->imageForAddress(0), nullptr);
}

TEST(KCRCrashReportTest, ReportsFarLargerThanTheWriterCapDecodeCompletely) {
    auto fields = CrashReport::full();
    const std::string longName(200, 'x');
    fields.threads.clear();
    for (uint32_t t = 0; t < 40; ++t) {
        kcrtest::Thread thread{.number = t, .crashed = t == 3, .registers = {}, .frames = {}};
        for (uint64_t f = 0; f < 512; ++f) {
            thread.frames.push_back({.pc = 0x7ffff7c00000 + f, .symbol = kcrtest::Symbol{longName, f, {}}});
        }
        fields.threads.push_back(std::move(thread));
    }
    Bytes file = kcrtest::packFile(fields);
    ASSERT_GT(file.size(), 4u << 20);
    auto report = decode(file);
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->threads().size(), 40u);
    EXPECT_EQ(report->threads()[39]->stackFrames().size(), 512u);
    EXPECT_EQ(report->threads()[39]->stackFrames()[511]->symbolInfo()->symbolName(), longName);

    // The plat::Data overload reads the same bytes.
    auto fromData = KCRCrashReport::create(plat::Data(file));
    ASSERT_TRUE(fromData.ok());
    EXPECT_EQ(fromData.value()->threads().size(), 40u);
}

// Sections the schema requires never reach the tree builder missing from a
// file; these cases feed it such messages directly.
struct MutationCase {
    const char* label;
    std::function<std::function<void()>(Kcr__CrashReport&)> mutate;  // returns the undo
    std::string description;
};

template <class T>
std::function<void()> clear(T*& field) {
    T* saved = field;
    field = nullptr;
    return [&field, saved] { field = saved; };
}

class KCRCrashReportTreeTest : public testing::TestWithParam<MutationCase> {};

TEST_P(KCRCrashReportTreeTest, RejectsMessageWithDescription) {
    Bytes file = kcrtest::packFile(CrashReport::full());
    auto unpacked = kcr::detail::decodeCrashData(file.data(), file.size());
    ASSERT_TRUE(unpacked.ok());
    Kcr__CrashReport& message = *unpacked.value();
    auto undo = GetParam().mutate(message);
    auto report = kcr::detail::buildReport(message);
    undo();  // so that protobuf-c frees what it allocated
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error()->code(), KCRCrashReporterErrorCrashReportInvalid);
    EXPECT_EQ(report.error()->localizedDescription(), GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Sections, KCRCrashReportTreeTest,
    testing::Values(
        MutationCase{"SystemInfo", [](auto& m) { return clear(m.system_info); },
                     "Crash report is missing System Information section"},
        MutationCase{"OSVersion", [](auto& m) { return clear(m.system_info->os_version); },
                     "Crash report is missing System Information OS version field"},
        MutationCase{"ApplicationInfo", [](auto& m) { return clear(m.application_info); },
                     "Crash report is missing Application Information section"},
        MutationCase{"AppIdentifier", [](auto& m) { return clear(m.application_info->identifier); },
                     "Crash report is missing Application Information app identifier field"},
        MutationCase{"AppVersion", [](auto& m) { return clear(m.application_info->version); },
                     "Crash report is missing Application Information app version field"},
        MutationCase{"Signal", [](auto& m) { return clear(m.signal); },
                     "Crash report is missing Signal Information section"},
        MutationCase{"SignalName", [](auto& m) { return clear(m.signal->name); },
                     "Crash report is missing signal name field"},
        MutationCase{"SignalCode", [](auto& m) { return clear(m.signal->code); },
                     "Crash report is missing signal code field"},
        MutationCase{"Frame", [](auto& m) { return clear(m.threads[1]->frames[0]); },
                     "Crash report is missing stack frame information"},
        MutationCase{"SymbolName", [](auto& m) { return clear(m.threads[1]->frames[0]->symbol->name); },
                     "Crash report is missing symbol information"},
        MutationCase{"RegisterName", [](auto& m) { return clear(m.threads[1]->registers[3]->name); },
                     "Missing register name in register value"},
        MutationCase{"ImageName", [](auto& m) { return clear(m.binary_images[2]->name); },
                     "Missing image name in image record"},
        MutationCase{"ExceptionName", [](auto& m) { return clear(m.exception->name); },
                     "Crash report is missing exception name field"},
        MutationCase{"ExceptionReason", [](auto& m) { return clear(m.exception->reason); },
                     "Crash report is missing exception reason field"},
        MutationCase{"ExceptionFrame", [](auto& m) { return clear(m.exception->frames[1]); },
                     "Crash report is missing stack frame information"},
        // A machine section without its processor leaves the architecture to
        // decide, and the full report's architecture names none.
        MutationCase{"MachineProcessor", [](auto& m) { return clear(m.machine_info->processor); },
                     "Crash report has an unknown architecture"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(KCRCrashReportTest, ContentsMissingRequiredSectionsAreRefused) {
    auto report = decode(CrashReport::full());
    ASSERT_NE(report, nullptr);
    KCRCrashReport::Contents contents{.systemInfo = report->systemInfo(),
                                      .machineInfo = nullptr,
                                      .applicationInfo = report->applicationInfo(),
                                      .processInfo = nullptr,
                                      .signalInfo = report->signalInfo(),
                                      .machExceptionInfo = nullptr,
                                      .threads = report->threads(),
                                      .images = report->images(),
                                      .exceptionInfo = nullptr,
                                      .customData = std::nullopt,
                                      .uuid = std::nullopt};
    EXPECT_NO_THROW(KCRCrashReport{contents});
    auto withoutImages = contents;
    withoutImages.images.clear();
    EXPECT_THROW(KCRCrashReport{withoutImages}, plat::Exception);
    auto withoutSignal = contents;
    withoutSignal.signalInfo = nullptr;
    EXPECT_THROW(KCRCrashReport{withoutSignal}, plat::Exception);
}
