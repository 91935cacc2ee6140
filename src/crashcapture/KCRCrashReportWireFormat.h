// The layout of a crash report file, as constants that both the decoder and
// the crash-time writer (which encodes the message by hand, without the
// protobuf library) use. A test checks every field below against the
// descriptors generated from crash_report.proto, so the two cannot drift.
//
// A file is the 7 ASCII bytes "kcrdump", the version byte 1, then one
// kcr.CrashReport message in protobuf wire format that runs to the end of the
// file (no length prefix). Repeated scalars are written unpacked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kcr::wire {

inline constexpr char kMagic[7] = {'k', 'c', 'r', 'd', 'u', 'm', 'p'};
inline constexpr uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;

enum WireType : uint8_t {
    kVarint = 0,           // int32, int64, uint32, uint64, bool, enum
    kLengthDelimited = 2,  // string, bytes, nested message
};

struct Field {
    uint32_t number;
    WireType wireType;
    // The key that precedes the field's value on the wire (before varint coding).
    constexpr uint32_t key() const { return number << 3 | wireType; }
};

namespace CrashReport {
inline constexpr Field system_info{1, kLengthDelimited};
inline constexpr Field application_info{2, kLengthDelimited};
inline constexpr Field threads{3, kLengthDelimited};
inline constexpr Field binary_images{4, kLengthDelimited};
inline constexpr Field exception{5, kLengthDelimited};
inline constexpr Field signal{6, kLengthDelimited};
inline constexpr Field process_info{7, kLengthDelimited};
inline constexpr Field machine_info{8, kLengthDelimited};
inline constexpr Field report_info{9, kLengthDelimited};
inline constexpr Field custom_data{10, kLengthDelimited};
}  // namespace CrashReport

namespace SystemInfo {
inline constexpr Field operating_system{1, kVarint};
inline constexpr Field os_version{2, kLengthDelimited};
inline constexpr Field architecture{3, kVarint};
inline constexpr Field timestamp{4, kVarint};
inline constexpr Field os_build{5, kLengthDelimited};
}  // namespace SystemInfo

namespace Processor {
inline constexpr Field encoding{1, kVarint};
inline constexpr Field type{2, kVarint};
inline constexpr Field subtype{3, kVarint};
}  // namespace Processor

namespace MachineInfo {
inline constexpr Field model{1, kLengthDelimited};
inline constexpr Field processor{2, kLengthDelimited};
inline constexpr Field processor_count{3, kVarint};
inline constexpr Field logical_processor_count{4, kVarint};
}  // namespace MachineInfo

namespace ApplicationInfo {
inline constexpr Field identifier{1, kLengthDelimited};
inline constexpr Field version{2, kLengthDelimited};
inline constexpr Field marketing_version{3, kLengthDelimited};
}  // namespace ApplicationInfo

namespace ProcessInfo {
inline constexpr Field process_name{1, kLengthDelimited};
inline constexpr Field process_id{2, kVarint};
inline constexpr Field process_path{3, kLengthDelimited};
inline constexpr Field parent_process_name{4, kLengthDelimited};
inline constexpr Field parent_process_id{5, kVarint};
inline constexpr Field native{6, kVarint};
inline constexpr Field start_time{7, kVarint};
}  // namespace ProcessInfo

namespace Thread {
inline constexpr Field thread_number{1, kVarint};
inline constexpr Field frames{2, kLengthDelimited};
inline constexpr Field crashed{3, kVarint};
inline constexpr Field registers{4, kLengthDelimited};
}  // namespace Thread

namespace StackFrame {
inline constexpr Field pc{3, kVarint};
inline constexpr Field symbol{6, kLengthDelimited};
}  // namespace StackFrame

namespace RegisterValue {
inline constexpr Field name{1, kLengthDelimited};
inline constexpr Field value{2, kVarint};
}  // namespace RegisterValue

namespace Symbol {
inline constexpr Field name{1, kLengthDelimited};
inline constexpr Field start_address{2, kVarint};
inline constexpr Field end_address{3, kVarint};
}  // namespace Symbol

namespace BinaryImage {
inline constexpr Field base_address{1, kVarint};
inline constexpr Field size{2, kVarint};
inline constexpr Field name{3, kLengthDelimited};
inline constexpr Field uuid{4, kLengthDelimited};
inline constexpr Field code_type{5, kLengthDelimited};
}  // namespace BinaryImage

namespace Exception {
inline constexpr Field name{1, kLengthDelimited};
inline constexpr Field reason{2, kLengthDelimited};
inline constexpr Field frames{3, kLengthDelimited};
}  // namespace Exception

namespace Signal {
inline constexpr Field name{1, kLengthDelimited};
inline constexpr Field code{2, kLengthDelimited};
inline constexpr Field address{3, kVarint};
inline constexpr Field mach_exception{4, kLengthDelimited};
}  // namespace Signal

namespace MachException {
inline constexpr Field type{1, kVarint};
inline constexpr Field codes{2, kVarint};
}  // namespace MachException

namespace ReportInfo {
inline constexpr Field user_requested{1, kVarint};
inline constexpr Field uuid{2, kLengthDelimited};
}  // namespace ReportInfo

}  // namespace kcr::wire
