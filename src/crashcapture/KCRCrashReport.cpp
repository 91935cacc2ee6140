#include "crashcapture/KCRCrashReport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "crashcapture/KCRCrashReportDecoding.h"
#include "crashcapture/KCRCrashReportWireFormat.h"
#include "crashcapture/KCRCrashReporterError.h"
#include "platform/foundation/Text.h"

namespace kcr::detail {
namespace {

// Thrown by the tree-building steps; buildReport turns it into the error.
struct InvalidReport : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const char* description) {
    throw InvalidReport(description);
}

plat::ErrorPtr invalidReportError(const std::string& description) {
    return plat::Error::withDescription(KCRCrashReporterErrorDomain, KCRCrashReporterErrorCrashReportInvalid,
                                        description);
}

// protobuf-c stores whatever number the file holds in a C enum field; reading
// it as the raw int keeps values outside the enumeration well defined in C++.
template <class Enum>
int32_t enumValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int32_t));
    int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

std::optional<plat::Date> dateSince1970(uint64_t seconds) {
    return plat::Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

// 64-bit ARM with pointer authentication keeps signature bits above the
// 36-bit address in return addresses.
constexpr uint64_t kCPUTypeARM64 = 0x100000C;
constexpr uint64_t kCPUSubtypeARM64E = 2;
constexpr uint64_t kARM64EAddressMask = (uint64_t{1} << 36) - 1;

}  // namespace

class UnpackAllocations {
  public:
    static void* allocate(void* self, std::size_t size) {
        void* block = std::malloc(size == 0 ? 1 : size);
        if (block != nullptr) {
            try {
                static_cast<UnpackAllocations*>(self)->sizes_.emplace(block, size);
            } catch (const std::bad_alloc&) {
                std::free(block);
                return nullptr;
            }
        }
        return block;
    }
    static void release(void* self, void* block) {
        static_cast<UnpackAllocations*>(self)->sizes_.erase(block);
        std::free(block);
    }
    ProtobufCAllocator allocator() { return {&allocate, &release, this}; }

    // The length of a text field unpacked here: its block less the closing
    // NUL. Texts not unpacked here (defaults) end at their first NUL.
    std::size_t textLength(const char* text) const {
        auto it = sizes_.find(text);
        return it == sizes_.end() || it->second == 0 ? std::strlen(text) : it->second - 1;
    }

  private:
    std::unordered_map<const void*, std::size_t> sizes_;
};

namespace {

struct TreeBuilder {
    bool stripPointerAuthentication = false;
    const UnpackAllocations* allocations = nullptr;

    // Text fields keep their whole length, NULs included; invalid UTF-8 is
    // repaired.
    std::string text(const char* utf8) const {
        const std::size_t length = allocations ? allocations->textLength(utf8) : std::strlen(utf8);
        return plat::text::lossyUTF8(std::string_view(utf8, length));
    }

    std::optional<std::string> optionalText(const char* utf8) const {
        if (utf8 == nullptr)
            return std::nullopt;
        return text(utf8);
    }

    std::optional<plat::UUID> reportUUID(const Kcr__CrashReport__ReportInfo* info) const {
        if (info == nullptr || !info->has_uuid)
            return std::nullopt;
        if (info->uuid.len != 16 || info->uuid.data == nullptr)
            fail("Report UUID value is not a standard 16 bytes");
        plat::UUID::Bytes bytes;
        std::memcpy(bytes.data(), info->uuid.data, bytes.size());
        return plat::UUID::fromBytes(bytes);
    }

    KCRCrashReportProcessorInfoPtr processorInfo(const Kcr__CrashReport__Processor* processor) const {
        if (processor == nullptr)
            fail("Crash report is missing processor info section");
        return std::make_shared<const KCRCrashReportProcessorInfo>(enumValue(processor->encoding),
                                                                   processor->type, processor->subtype);
    }

    std::shared_ptr<const KCRCrashReportMachineInfo> machineInfo(
        const Kcr__CrashReport__MachineInfo* info) const {
        if (info == nullptr)
            fail("Crash report is missing Machine Information section");
        KCRCrashReportProcessorInfoPtr processor;
        if (info->processor != nullptr)
            processor = processorInfo(info->processor);
        return std::make_shared<const KCRCrashReportMachineInfo>(optionalText(info->model),
                                                                 std::move(processor), info->processor_count,
                                                                 info->logical_processor_count);
    }

    // The processor older reports imply by their architecture alone.
    static KCRCrashReportProcessorInfoPtr processorForArchitecture(int32_t architecture) {
        struct Row {
            uint64_t type, subtype;
        };
        static constexpr Row rows[] = {{7, 3}, {0x1000007, 3}, {12, 6}, {0x12, 0}, {0x1000012, 0}, {12, 9}};
        if (architecture < 0 || architecture >= static_cast<int32_t>(std::size(rows))) {
            fail("Crash report has an unknown architecture");
        }
        const Row& row = rows[architecture];
        return std::make_shared<const KCRCrashReportProcessorInfo>(KCRCrashReportProcessorTypeEncodingMach,
                                                                   row.type, row.subtype);
    }

    std::shared_ptr<const KCRCrashReportSystemInfo> systemInfo(
        const Kcr__CrashReport__SystemInfo* info, KCRCrashReportProcessorInfoPtr processor) const {
        if (info == nullptr)
            fail("Crash report is missing System Information section");
        if (info->os_version == nullptr)
            fail("Crash report is missing System Information OS version field");
        // 0 is the schema's default: the writer recorded no time, which is
        // not the same as a crash at the 1970 epoch.
        std::optional<plat::Date> timestamp;
        if (info->timestamp != 0) {
            timestamp = plat::Date::fromTimeIntervalSince1970(static_cast<double>(info->timestamp));
        }
        const int32_t architecture = enumValue(info->architecture);
        if (processor == nullptr)
            processor = processorForArchitecture(architecture);
        return std::make_shared<const KCRCrashReportSystemInfo>(
            enumValue(info->operating_system), text(info->os_version), optionalText(info->os_build),
            architecture, std::move(processor), timestamp);
    }

    std::shared_ptr<const KCRCrashReportApplicationInfo> applicationInfo(
        const Kcr__CrashReport__ApplicationInfo* info) const {
        if (info == nullptr)
            fail("Crash report is missing Application Information section");
        if (info->identifier == nullptr)
            fail("Crash report is missing Application Information app identifier field");
        if (info->version == nullptr)
            fail("Crash report is missing Application Information app version field");
        return std::make_shared<const KCRCrashReportApplicationInfo>(
            text(info->identifier), text(info->version), optionalText(info->marketing_version));
    }

    std::shared_ptr<const KCRCrashReportProcessInfo> processInfo(
        const Kcr__CrashReport__ProcessInfo* info) const {
        if (info == nullptr)
            fail("Crash report is missing Process Information section");
        std::optional<plat::Date> startTime;
        if (info->has_start_time)
            startTime = dateSince1970(info->start_time);
        return std::make_shared<const KCRCrashReportProcessInfo>(
            optionalText(info->process_name), info->process_id, optionalText(info->process_path), startTime,
            optionalText(info->parent_process_name), info->parent_process_id, info->native != 0);
    }

    std::shared_ptr<const KCRCrashReportSignalInfo> signalInfo(const Kcr__CrashReport__Signal* signal) const {
        if (signal == nullptr)
            fail("Crash report is missing Signal Information section");
        if (signal->name == nullptr)
            fail("Crash report is missing signal name field");
        if (signal->code == nullptr)
            fail("Crash report is missing signal code field");
        return std::make_shared<const KCRCrashReportSignalInfo>(text(signal->name), text(signal->code),
                                                                signal->address);
    }

    std::shared_ptr<const KCRCrashReportMachExceptionInfo> machExceptionInfo(
        const Kcr__CrashReport__Signal__MachException* exception) const {
        if (exception == nullptr)
            fail("Crash report is missing Mach Exception Information section");
        if (exception->n_codes >= 256)
            fail("Crash report includes too many Mach Exception codes");
        std::vector<uint64_t> codes(exception->codes, exception->codes + exception->n_codes);
        return std::make_shared<const KCRCrashReportMachExceptionInfo>(exception->type, std::move(codes));
    }

    KCRCrashReportSymbolInfoPtr symbolInfo(const Kcr__CrashReport__Symbol* symbol) const {
        if (symbol == nullptr)
            fail("Crash report is missing symbol information");
        if (symbol->name == nullptr)
            fail("Crash report is missing symbol information");
        return std::make_shared<const KCRCrashReportSymbolInfo>(
            text(symbol->name), symbol->start_address, symbol->has_end_address ? symbol->end_address : 0);
    }

    KCRCrashReportStackFrameInfoPtr stackFrame(const Kcr__CrashReport__Thread__StackFrame* frame) const {
        if (frame == nullptr)
            fail("Crash report is missing stack frame information");
        KCRCrashReportSymbolInfoPtr symbol;
        if (frame->symbol != nullptr)
            symbol = symbolInfo(frame->symbol);
        uint64_t pc = stripPointerAuthentication ? frame->pc & kARM64EAddressMask : frame->pc;
        return std::make_shared<const KCRCrashReportStackFrameInfo>(pc, std::move(symbol));
    }

    std::vector<KCRCrashReportStackFrameInfoPtr> stackFrames(
        Kcr__CrashReport__Thread__StackFrame* const* frames, std::size_t count) const {
        std::vector<KCRCrashReportStackFrameInfoPtr> result;
        result.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            result.push_back(stackFrame(frames[i]));
        return result;
    }

    KCRCrashReportRegisterInfoPtr registerInfo(const Kcr__CrashReport__Thread__RegisterValue* value) const {
        if (value == nullptr || value->name == nullptr)
            fail("Missing register name in register value");
        return std::make_shared<const KCRCrashReportRegisterInfo>(text(value->name), value->value);
    }

    KCRCrashReportThreadInfoPtr threadInfo(const Kcr__CrashReport__Thread* thread) const {
        if (thread == nullptr)
            fail("Crash report is missing thread state information");
        auto frames = stackFrames(thread->frames, thread->n_frames);
        std::vector<KCRCrashReportRegisterInfoPtr> registers;
        registers.reserve(thread->n_registers);
        for (std::size_t i = 0; i < thread->n_registers; ++i)
            registers.push_back(registerInfo(thread->registers[i]));
        return std::make_shared<const KCRCrashReportThreadInfo>(thread->thread_number, std::move(frames),
                                                                thread->crashed != 0, std::move(registers));
    }

    std::vector<KCRCrashReportThreadInfoPtr> threads(const Kcr__CrashReport& message) const {
        if (message.n_threads == 0)
            fail("Crash report is missing thread state information");
        std::vector<KCRCrashReportThreadInfoPtr> result;
        result.reserve(message.n_threads);
        for (std::size_t i = 0; i < message.n_threads; ++i)
            result.push_back(threadInfo(message.threads[i]));
        return result;
    }

    KCRCrashReportBinaryImageInfoPtr imageInfo(const Kcr__CrashReport__BinaryImage* image) const {
        if (image == nullptr || image->name == nullptr)
            fail("Missing image name in image record");
        // An empty build ID reads as none, so the formatter never prints an
        // empty UUID column.
        std::optional<std::vector<uint8_t>> uuid;
        if (image->has_uuid && image->uuid.len > 0 && image->uuid.data != nullptr) {
            uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
        }
        KCRCrashReportProcessorInfoPtr codeType;
        if (image->code_type != nullptr)
            codeType = processorInfo(image->code_type);
        return std::make_shared<const KCRCrashReportBinaryImageInfo>(std::move(codeType), image->base_address,
                                                                     image->size, text(image->name), uuid);
    }

    std::vector<KCRCrashReportBinaryImageInfoPtr> images(const Kcr__CrashReport& message) const {
        if (message.n_binary_images == 0)
            fail("Crash report is missing binary image information");
        std::vector<KCRCrashReportBinaryImageInfoPtr> result;
        result.reserve(message.n_binary_images);
        for (std::size_t i = 0; i < message.n_binary_images; ++i) {
            result.push_back(imageInfo(message.binary_images[i]));
        }
        return result;
    }

    std::shared_ptr<const KCRCrashReportExceptionInfo> exceptionInfo(
        const Kcr__CrashReport__Exception* exception) const {
        if (exception == nullptr)
            fail("Crash report is missing Exception Information section");
        if (exception->name == nullptr)
            fail("Crash report is missing exception name field");
        if (exception->reason == nullptr)
            fail("Crash report is missing exception reason field");
        return std::make_shared<const KCRCrashReportExceptionInfo>(
            text(exception->name), text(exception->reason),
            stackFrames(exception->frames, exception->n_frames));
    }

    // The steps run in this order, and the first failure ends the build, so
    // the order decides which description a report with several faults gets
    // (the UUID first; threads before images). Machine information is read
    // before anything holding addresses: its processor decides both the
    // system's processor (the architecture field only stands in without it)
    // and whether return addresses carry pointer-authentication bits.
    KCRCrashReport::Contents contents(const Kcr__CrashReport& message) {
        KCRCrashReport::Contents c;
        c.uuid = reportUUID(message.report_info);
        KCRCrashReportProcessorInfoPtr machineProcessor;
        if (message.machine_info != nullptr) {
            c.machineInfo = machineInfo(message.machine_info);
            machineProcessor = c.machineInfo->processorInfo();
        }
        stripPointerAuthentication = machineProcessor != nullptr &&
                                     machineProcessor->type() == kCPUTypeARM64 &&
                                     machineProcessor->subtype() == kCPUSubtypeARM64E;
        c.systemInfo = systemInfo(message.system_info, machineProcessor);
        c.applicationInfo = applicationInfo(message.application_info);
        if (message.process_info != nullptr)
            c.processInfo = processInfo(message.process_info);
        c.signalInfo = signalInfo(message.signal);
        if (message.signal->mach_exception != nullptr) {
            c.machExceptionInfo = machExceptionInfo(message.signal->mach_exception);
        }
        c.threads = threads(message);
        c.images = images(message);
        if (message.exception != nullptr)
            c.exceptionInfo = exceptionInfo(message.exception);
        if (message.has_custom_data)
            c.customData = plat::Data(message.custom_data.data, message.custom_data.len);
        return c;
    }
};

}  // namespace

void UnpackedReportDeleter::operator()(Kcr__CrashReport* message) const {
    if (allocations) {
        ProtobufCAllocator allocator = allocations->allocator();
        kcr__crash_report__free_unpacked(message, &allocator);
    } else {
        kcr__crash_report__free_unpacked(message, nullptr);
    }
}

plat::Result<UnpackedReport> decodeCrashData(const uint8_t* bytes, std::size_t length) {
    // A header with no message at all is a truncated file, not an empty report;
    // the magic is checked before the version so that a foreign file is never
    // reported as a newer version of ours.
    if (bytes == nullptr || length < wire::kHeaderSize + 1) {
        return invalidReportError("Could not decode truncated crash log");
    }
    if (std::memcmp(bytes, wire::kMagic, sizeof wire::kMagic) != 0) {
        return invalidReportError("Could not decode invalid crash log header");
    }
    if (bytes[sizeof wire::kMagic] != wire::kVersion) {
        char description[80];
        std::snprintf(description, sizeof description,
                      "Could not decode unsupported crash report version: %d", bytes[sizeof wire::kMagic]);
        return invalidReportError(description);
    }
    auto allocations = std::make_shared<UnpackAllocations>();
    ProtobufCAllocator allocator = allocations->allocator();
    Kcr__CrashReport* message =
        kcr__crash_report__unpack(&allocator, length - wire::kHeaderSize, bytes + wire::kHeaderSize);
    if (message == nullptr)
        return invalidReportError("An unknown error occured decoding the crash report");
    return UnpackedReport(message, UnpackedReportDeleter{std::move(allocations)});
}

plat::Result<KCRCrashReportPtr> buildReport(const Kcr__CrashReport& message,
                                            const UnpackAllocations* allocations) {
    try {
        TreeBuilder builder;
        builder.allocations = allocations;
        return KCRCrashReportPtr(std::make_shared<const KCRCrashReport>(builder.contents(message)));
    } catch (const InvalidReport& failure) {
        return invalidReportError(failure.what());
    }
}

}  // namespace kcr::detail

plat::Result<KCRCrashReportPtr> KCRCrashReport::create(const plat::Data& data) {
    return create(data.bytes(), data.length());
}

plat::Result<KCRCrashReportPtr> KCRCrashReport::create(const uint8_t* bytes, std::size_t length) {
    auto unpacked = kcr::detail::decodeCrashData(bytes, length);
    if (!unpacked)
        return unpacked.error();
    return kcr::detail::buildReport(*unpacked.value(), unpacked.value().get_deleter().allocations.get());
}

KCRCrashReport::KCRCrashReport(Contents contents) : c_(std::move(contents)) {
    bool complete = c_.systemInfo != nullptr && c_.systemInfo->processorInfo() != nullptr &&
                    c_.applicationInfo != nullptr && c_.signalInfo != nullptr && !c_.threads.empty() &&
                    !c_.images.empty();
    if (!complete)
        throw plat::Exception(plat::InvalidArgumentException, "Incomplete crash report contents");
}

KCRCrashReportBinaryImageInfoPtr KCRCrashReport::imageForAddress(uint64_t address) const {
    // Report order decides between overlapping images; comparing the offset
    // with the size (not base + size with the address) cannot overflow for an
    // image at the top of the address space.
    for (const auto& image : c_.images) {
        uint64_t base = image->imageBaseAddress();
        if (address >= base && address - base < image->imageSize())
            return image;
    }
    return nullptr;
}

KCRCrashReportBinaryImageInfo::KCRCrashReportBinaryImageInfo(KCRCrashReportProcessorInfoPtr codeType,
                                                             uint64_t baseAddress, uint64_t size,
                                                             std::string name,
                                                             const std::optional<std::vector<uint8_t>>& uuid)
    : codeType_(std::move(codeType)),
      imageBaseAddress_(baseAddress),
      imageSize_(size),
      imageName_(std::move(name)) {
    if (uuid && !uuid->empty())
        imageUUID_ = plat::Data(uuid->data(), uuid->size()).hexString();
}
