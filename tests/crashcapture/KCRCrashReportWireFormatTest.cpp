#include "crashcapture/KCRCrashReportWireFormat.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "crashcapture/CrashReportBuilder.h"
#include "crashcapture/KCRCrashReportInfo.h"
#include "crashcapture/crash_report.pb-c.h"
#include "support/TempDir.h"

namespace {

namespace wire = kcr::wire;

struct FieldRow {
    const ProtobufCMessageDescriptor* message;
    const char* name;
    wire::Field field;
};

uint8_t wireTypeOf(ProtobufCType type) {
    switch (type) {
        case PROTOBUF_C_TYPE_STRING:
        case PROTOBUF_C_TYPE_BYTES:
        case PROTOBUF_C_TYPE_MESSAGE:
            return wire::kLengthDelimited;
        case PROTOBUF_C_TYPE_INT32:
        case PROTOBUF_C_TYPE_INT64:
        case PROTOBUF_C_TYPE_UINT32:
        case PROTOBUF_C_TYPE_UINT64:
        case PROTOBUF_C_TYPE_BOOL:
        case PROTOBUF_C_TYPE_ENUM:
            return wire::kVarint;
        default:
            return 0xff;  // the writer encodes no other type
    }
}

}  // namespace

TEST(KCRCrashReportWireFormatTest, FieldConstantsMatchTheGeneratedDescriptors) {
    const FieldRow rows[] = {
        {&kcr__crash_report__descriptor, "system_info", wire::CrashReport::system_info},
        {&kcr__crash_report__descriptor, "application_info", wire::CrashReport::application_info},
        {&kcr__crash_report__descriptor, "threads", wire::CrashReport::threads},
        {&kcr__crash_report__descriptor, "binary_images", wire::CrashReport::binary_images},
        {&kcr__crash_report__descriptor, "exception", wire::CrashReport::exception},
        {&kcr__crash_report__descriptor, "signal", wire::CrashReport::signal},
        {&kcr__crash_report__descriptor, "process_info", wire::CrashReport::process_info},
        {&kcr__crash_report__descriptor, "machine_info", wire::CrashReport::machine_info},
        {&kcr__crash_report__descriptor, "report_info", wire::CrashReport::report_info},
        {&kcr__crash_report__descriptor, "custom_data", wire::CrashReport::custom_data},
        {&kcr__crash_report__system_info__descriptor, "operating_system", wire::SystemInfo::operating_system},
        {&kcr__crash_report__system_info__descriptor, "os_version", wire::SystemInfo::os_version},
        {&kcr__crash_report__system_info__descriptor, "architecture", wire::SystemInfo::architecture},
        {&kcr__crash_report__system_info__descriptor, "timestamp", wire::SystemInfo::timestamp},
        {&kcr__crash_report__system_info__descriptor, "os_build", wire::SystemInfo::os_build},
        {&kcr__crash_report__processor__descriptor, "encoding", wire::Processor::encoding},
        {&kcr__crash_report__processor__descriptor, "type", wire::Processor::type},
        {&kcr__crash_report__processor__descriptor, "subtype", wire::Processor::subtype},
        {&kcr__crash_report__machine_info__descriptor, "model", wire::MachineInfo::model},
        {&kcr__crash_report__machine_info__descriptor, "processor", wire::MachineInfo::processor},
        {&kcr__crash_report__machine_info__descriptor, "processor_count", wire::MachineInfo::processor_count},
        {&kcr__crash_report__machine_info__descriptor, "logical_processor_count",
         wire::MachineInfo::logical_processor_count},
        {&kcr__crash_report__application_info__descriptor, "identifier", wire::ApplicationInfo::identifier},
        {&kcr__crash_report__application_info__descriptor, "version", wire::ApplicationInfo::version},
        {&kcr__crash_report__application_info__descriptor, "marketing_version",
         wire::ApplicationInfo::marketing_version},
        {&kcr__crash_report__process_info__descriptor, "process_name", wire::ProcessInfo::process_name},
        {&kcr__crash_report__process_info__descriptor, "process_id", wire::ProcessInfo::process_id},
        {&kcr__crash_report__process_info__descriptor, "process_path", wire::ProcessInfo::process_path},
        {&kcr__crash_report__process_info__descriptor, "parent_process_name",
         wire::ProcessInfo::parent_process_name},
        {&kcr__crash_report__process_info__descriptor, "parent_process_id",
         wire::ProcessInfo::parent_process_id},
        {&kcr__crash_report__process_info__descriptor, "native", wire::ProcessInfo::native},
        {&kcr__crash_report__process_info__descriptor, "start_time", wire::ProcessInfo::start_time},
        {&kcr__crash_report__thread__descriptor, "thread_number", wire::Thread::thread_number},
        {&kcr__crash_report__thread__descriptor, "frames", wire::Thread::frames},
        {&kcr__crash_report__thread__descriptor, "crashed", wire::Thread::crashed},
        {&kcr__crash_report__thread__descriptor, "registers", wire::Thread::registers},
        {&kcr__crash_report__thread__stack_frame__descriptor, "pc", wire::StackFrame::pc},
        {&kcr__crash_report__thread__stack_frame__descriptor, "symbol", wire::StackFrame::symbol},
        {&kcr__crash_report__thread__register_value__descriptor, "name", wire::RegisterValue::name},
        {&kcr__crash_report__thread__register_value__descriptor, "value", wire::RegisterValue::value},
        {&kcr__crash_report__symbol__descriptor, "name", wire::Symbol::name},
        {&kcr__crash_report__symbol__descriptor, "start_address", wire::Symbol::start_address},
        {&kcr__crash_report__symbol__descriptor, "end_address", wire::Symbol::end_address},
        {&kcr__crash_report__binary_image__descriptor, "base_address", wire::BinaryImage::base_address},
        {&kcr__crash_report__binary_image__descriptor, "size", wire::BinaryImage::size},
        {&kcr__crash_report__binary_image__descriptor, "name", wire::BinaryImage::name},
        {&kcr__crash_report__binary_image__descriptor, "uuid", wire::BinaryImage::uuid},
        {&kcr__crash_report__binary_image__descriptor, "code_type", wire::BinaryImage::code_type},
        {&kcr__crash_report__exception__descriptor, "name", wire::Exception::name},
        {&kcr__crash_report__exception__descriptor, "reason", wire::Exception::reason},
        {&kcr__crash_report__exception__descriptor, "frames", wire::Exception::frames},
        {&kcr__crash_report__signal__descriptor, "name", wire::Signal::name},
        {&kcr__crash_report__signal__descriptor, "code", wire::Signal::code},
        {&kcr__crash_report__signal__descriptor, "address", wire::Signal::address},
        {&kcr__crash_report__signal__descriptor, "mach_exception", wire::Signal::mach_exception},
        {&kcr__crash_report__signal__mach_exception__descriptor, "type", wire::MachException::type},
        {&kcr__crash_report__signal__mach_exception__descriptor, "codes", wire::MachException::codes},
        {&kcr__crash_report__report_info__descriptor, "user_requested", wire::ReportInfo::user_requested},
        {&kcr__crash_report__report_info__descriptor, "uuid", wire::ReportInfo::uuid},
    };
    std::map<const ProtobufCMessageDescriptor*, unsigned> covered;
    for (const FieldRow& row : rows) {
        SCOPED_TRACE(std::string(row.message->name) + "." + row.name);
        const ProtobufCFieldDescriptor* field =
            protobuf_c_message_descriptor_get_field_by_name(row.message, row.name);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->id, row.field.number);
        EXPECT_EQ(wireTypeOf(field->type), row.field.wireType);
        // Repeated scalars are written one key per value; the decoder must not
        // expect the packed form.
        EXPECT_EQ(field->flags & PROTOBUF_C_FIELD_FLAG_PACKED, 0u);
        ++covered[row.message];
    }
    // Every message is covered field for field, so a field added to the
    // schema without a constant fails here.
    EXPECT_EQ(covered.size(), 15u);
    for (const auto& [message, count] : covered)
        EXPECT_EQ(count, message->n_fields) << message->name;
    EXPECT_EQ(wire::CrashReport::signal.key(), 0x32u);
    EXPECT_EQ(wire::StackFrame::pc.key(), 0x18u);
}

TEST(KCRCrashReportWireFormatTest, ModelEnumerationsMatchTheSchema) {
    EXPECT_EQ(KCRCrashReportOperatingSystemMacOSX,
              KCR__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X);
    EXPECT_EQ(KCRCrashReportOperatingSystemiPhoneOS,
              KCR__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS);
    EXPECT_EQ(KCRCrashReportOperatingSystemiPhoneSimulator,
              KCR__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_SIMULATOR);
    EXPECT_EQ(KCRCrashReportOperatingSystemUnknown,
              KCR__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN);
    EXPECT_EQ(KCRCrashReportOperatingSystemAppleTVOS,
              KCR__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__APPLE_TVOS);
    EXPECT_EQ(KCRCrashReportArchitectureX86_32, KCR__ARCHITECTURE__X86_32);
    EXPECT_EQ(KCRCrashReportArchitectureX86_64, KCR__ARCHITECTURE__X86_64);
    EXPECT_EQ(KCRCrashReportArchitectureARMv6, KCR__ARCHITECTURE__ARMV6);
    EXPECT_EQ(KCRCrashReportArchitecturePPC, KCR__ARCHITECTURE__PPC);
    EXPECT_EQ(KCRCrashReportArchitecturePPC64, KCR__ARCHITECTURE__PPC64);
    EXPECT_EQ(KCRCrashReportArchitectureARMv7, KCR__ARCHITECTURE__ARMV7);
    EXPECT_EQ(KCRCrashReportArchitectureUnknown, KCR__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
    EXPECT_EQ(KCRCrashReportProcessorTypeEncodingUnknown,
              KCR__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN);
    EXPECT_EQ(KCRCrashReportProcessorTypeEncodingMach,
              KCR__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);

    const auto* system = &kcr__crash_report__system_info__descriptor;
    const auto* os = protobuf_c_message_descriptor_get_field_by_name(system, "operating_system");
    EXPECT_EQ(*static_cast<const int*>(os->default_value), KCRCrashReportOperatingSystemUnknown);
}

// The independent reference decoder reads what protobuf-c wrote, so the
// bytes follow the standard wire format and not just protobuf-c's idea of it.
TEST(KCRCrashReportWireFormatTest, ReferenceDecoderReadsBuiltReports) {
    const std::string protoc = KCR_PROTOC;
    if (protoc.empty() || access(protoc.c_str(), X_OK) != 0)
        GTEST_SKIP() << "protoc is not installed";

    testsupport::TempDir dir;
    const kcrtest::Bytes file = kcrtest::packFile(kcrtest::CrashReport::full());
    {
        std::ofstream out(dir / "message.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()) + wire::kHeaderSize,
                  static_cast<std::streamsize>(file.size() - wire::kHeaderSize));
    }
    std::string command = protoc +
                          " --proto_path=" KCR_PROTO_ROOT
                          " --decode=kcr.CrashReport crashcapture/crash_report.proto < " +
                          (dir / "message.bin").string() + " > " + (dir / "decoded.txt").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string text = testsupport::readFile(dir / "decoded.txt").value_or("");

    for (const char* expected : {"operating_system: OS_UNKNOWN",
                                 "os_version: \"6.1.0-18-amd64\"",
                                 "architecture: ARCHITECTURE_UNKNOWN",
                                 "timestamp: 1700000000",
                                 "identifier: \"com.example.planner\"",
                                 "marketing_version: \"2.1\"",
                                 "thread_number: 1",
                                 "crashed: true",
                                 "name: \"rbx\"",
                                 "value: 140737488348072",
                                 "pc: 93824992238123",
                                 "name: \"_ZN7planner4Task4saveEv\"",
                                 "end_address: 93824992238208",
                                 "name: \"/usr/lib/x86_64-linux-gnu/libc.so.6\"",
                                 "encoding: TYPE_ENCODING_MACH",
                                 "type: 16777223",
                                 "reason: \"disk full\"",
                                 "name: \"SIGABRT\"",
                                 "code: \"#-6\"",
                                 "process_id: 4242",
                                 "start_time: 1699999000",
                                 "logical_processor_count: 8",
                                 "user_requested: false",
                                 "custom_data: \"hello\""}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}
