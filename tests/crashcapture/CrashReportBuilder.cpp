#include "crashcapture/CrashReportBuilder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "crashcapture/KCRCrashReportWireFormat.h"
#include "crashcapture/crash_report.pb-c.h"
#include "platform/foundation/Error.h"
#include "support/TempDir.h"

namespace kcrtest {
namespace {

// Owns every protobuf-c struct, array and string of one message while it is
// packed.
class Arena {
  public:
    template <class T>
    T* make(void (*init)(T*)) {
        T* message = static_cast<T*>(raw(sizeof(T)));
        init(message);
        return message;
    }
    template <class T>
    T** array(std::size_t count) {
        return static_cast<T**>(raw(sizeof(T*) * count));
    }
    uint64_t* codes(const std::vector<uint64_t>& values) {
        auto* out = static_cast<uint64_t*>(raw(sizeof(uint64_t) * values.size()));
        std::copy(values.begin(), values.end(), out);
        return out;
    }
    char* text(const std::string& s) { return strings_.emplace_back(s).data(); }
    char* text(const std::optional<std::string>& s) { return s ? text(*s) : nullptr; }
    ProtobufCBinaryData bytes(const Bytes& b) {
        Bytes& copy = bytes_.emplace_back(b);
        return {copy.size(), copy.data()};
    }

  private:
    // Zeroed, and aligned for any struct.
    void* raw(std::size_t size) {
        std::size_t blocks = size / sizeof(std::max_align_t) + 1;
        return blocks_.emplace_back(std::make_unique<std::max_align_t[]>(blocks)).get();
    }

    std::deque<std::unique_ptr<std::max_align_t[]>> blocks_;
    std::deque<std::string> strings_;
    std::deque<Bytes> bytes_;
};

// Any int32 may stand in an enum field of a file; storing it through memcpy
// keeps values outside the enumeration well defined.
template <class Enum>
void setEnum(Enum& field, int32_t value) {
    static_assert(sizeof(Enum) == sizeof(int32_t));
    std::memcpy(&field, &value, sizeof value);
}

class Packer {
  public:
    Kcr__CrashReport* report(const CrashReport& fields) {
        auto* m = arena_.make(kcr__crash_report__init);
        m->system_info = systemInfo(fields.systemInfo);
        m->application_info = applicationInfo(fields.applicationInfo);
        m->n_threads = fields.threads.size();
        m->threads = arena_.array<Kcr__CrashReport__Thread>(fields.threads.size());
        for (std::size_t i = 0; i < fields.threads.size(); ++i)
            m->threads[i] = thread(fields.threads[i]);
        m->n_binary_images = fields.images.size();
        m->binary_images = arena_.array<Kcr__CrashReport__BinaryImage>(fields.images.size());
        for (std::size_t i = 0; i < fields.images.size(); ++i)
            m->binary_images[i] = image(fields.images[i]);
        if (fields.exception)
            m->exception = exception(*fields.exception);
        m->signal = signal(fields.signal);
        if (fields.processInfo)
            m->process_info = processInfo(*fields.processInfo);
        if (fields.machineInfo)
            m->machine_info = machineInfo(*fields.machineInfo);
        if (fields.reportInfo)
            m->report_info = reportInfo(*fields.reportInfo);
        if (fields.customData) {
            m->has_custom_data = 1;
            m->custom_data = arena_.bytes(*fields.customData);
        }
        return m;
    }

  private:
    Kcr__CrashReport__Processor* processor(const Processor& fields) {
        auto* m = arena_.make(kcr__crash_report__processor__init);
        if (fields.encoding) {
            m->has_encoding = 1;
            setEnum(m->encoding, *fields.encoding);
        }
        m->type = fields.type;
        m->subtype = fields.subtype;
        return m;
    }

    Kcr__CrashReport__SystemInfo* systemInfo(const SystemInfo& fields) {
        auto* m = arena_.make(kcr__crash_report__system_info__init);
        if (fields.operatingSystem) {
            m->has_operating_system = 1;
            setEnum(m->operating_system, *fields.operatingSystem);
        }
        m->os_version = arena_.text(fields.osVersion);
        setEnum(m->architecture, fields.architecture);
        m->timestamp = fields.timestamp;
        m->os_build = arena_.text(fields.osBuild);
        return m;
    }

    Kcr__CrashReport__MachineInfo* machineInfo(const MachineInfo& fields) {
        auto* m = arena_.make(kcr__crash_report__machine_info__init);
        m->model = arena_.text(fields.model);
        m->processor = processor(fields.processor);
        m->processor_count = fields.processorCount;
        m->logical_processor_count = fields.logicalProcessorCount;
        return m;
    }

    Kcr__CrashReport__ApplicationInfo* applicationInfo(const ApplicationInfo& fields) {
        auto* m = arena_.make(kcr__crash_report__application_info__init);
        m->identifier = arena_.text(fields.identifier);
        m->version = arena_.text(fields.version);
        m->marketing_version = arena_.text(fields.marketingVersion);
        return m;
    }

    Kcr__CrashReport__ProcessInfo* processInfo(const ProcessInfo& fields) {
        auto* m = arena_.make(kcr__crash_report__process_info__init);
        m->process_name = arena_.text(fields.processName);
        m->process_id = fields.processId;
        m->process_path = arena_.text(fields.processPath);
        m->parent_process_name = arena_.text(fields.parentProcessName);
        m->parent_process_id = fields.parentProcessId;
        m->native = fields.native;
        if (fields.startTime) {
            m->has_start_time = 1;
            m->start_time = *fields.startTime;
        }
        return m;
    }

    Kcr__CrashReport__Thread__StackFrame* frame(const Frame& fields) {
        auto* m = arena_.make(kcr__crash_report__thread__stack_frame__init);
        m->pc = fields.pc;
        if (fields.symbol) {
            auto* s = arena_.make(kcr__crash_report__symbol__init);
            s->name = arena_.text(fields.symbol->name);
            s->start_address = fields.symbol->startAddress;
            if (fields.symbol->endAddress) {
                s->has_end_address = 1;
                s->end_address = *fields.symbol->endAddress;
            }
            m->symbol = s;
        }
        return m;
    }

    Kcr__CrashReport__Thread__StackFrame** frames(const std::vector<Frame>& list) {
        auto** array = arena_.array<Kcr__CrashReport__Thread__StackFrame>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i)
            array[i] = frame(list[i]);
        return array;
    }

    Kcr__CrashReport__Thread* thread(const Thread& fields) {
        auto* m = arena_.make(kcr__crash_report__thread__init);
        m->thread_number = fields.number;
        m->crashed = fields.crashed;
        m->n_frames = fields.frames.size();
        m->frames = frames(fields.frames);
        m->n_registers = fields.registers.size();
        m->registers = arena_.array<Kcr__CrashReport__Thread__RegisterValue>(fields.registers.size());
        for (std::size_t i = 0; i < fields.registers.size(); ++i) {
            auto* r = arena_.make(kcr__crash_report__thread__register_value__init);
            r->name = arena_.text(fields.registers[i].name);
            r->value = fields.registers[i].value;
            m->registers[i] = r;
        }
        return m;
    }

    Kcr__CrashReport__BinaryImage* image(const Image& fields) {
        auto* m = arena_.make(kcr__crash_report__binary_image__init);
        m->base_address = fields.baseAddress;
        m->size = fields.size;
        m->name = arena_.text(fields.name);
        if (fields.uuid) {
            m->has_uuid = 1;
            m->uuid = arena_.bytes(*fields.uuid);
        }
        if (fields.codeType)
            m->code_type = processor(*fields.codeType);
        return m;
    }

    Kcr__CrashReport__Exception* exception(const Exception& fields) {
        auto* m = arena_.make(kcr__crash_report__exception__init);
        m->name = arena_.text(fields.name);
        m->reason = arena_.text(fields.reason);
        m->n_frames = fields.frames.size();
        m->frames = frames(fields.frames);
        return m;
    }

    Kcr__CrashReport__Signal* signal(const Signal& fields) {
        auto* m = arena_.make(kcr__crash_report__signal__init);
        m->name = arena_.text(fields.name);
        m->code = arena_.text(fields.code);
        m->address = fields.address;
        if (fields.machException) {
            auto* e = arena_.make(kcr__crash_report__signal__mach_exception__init);
            e->type = fields.machException->type;
            e->n_codes = fields.machException->codes.size();
            e->codes = arena_.codes(fields.machException->codes);
            m->mach_exception = e;
        }
        return m;
    }

    Kcr__CrashReport__ReportInfo* reportInfo(const ReportInfo& fields) {
        auto* m = arena_.make(kcr__crash_report__report_info__init);
        m->user_requested = fields.userRequested;
        if (fields.uuid) {
            m->has_uuid = 1;
            m->uuid = arena_.bytes(*fields.uuid);
        }
        return m;
    }

    Arena arena_;
};

// --- Wire-level editing ----------------------------------------------------

struct Reader {
    const Bytes& in;
    std::size_t at = 0;

    uint64_t varint() {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at >= in.size())
                throw std::invalid_argument("truncated varint");
            uint8_t byte = in[at++];
            value |= uint64_t{byte & 0x7Fu} << shift;
            if ((byte & 0x80) == 0)
                return value;
        }
        throw std::invalid_argument("overlong varint");
    }
};

void putVarint(Bytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// Length of the value that follows a key of the given wire type.
std::size_t valueLength(Reader& r, uint32_t wireType) {
    switch (wireType) {
        case 0: {
            std::size_t start = r.at;
            r.varint();
            std::size_t length = r.at - start;
            r.at = start;
            return length;
        }
        case 1:
            return 8;
        case 2:
            return static_cast<std::size_t>(r.varint());
        case 5:
            return 4;
        default:
            throw std::invalid_argument("unsupported wire type");
    }
}

Bytes strip(const Bytes& message, const uint32_t* path, std::size_t depth) {
    Bytes out;
    Reader r{message};
    while (r.at < message.size()) {
        uint64_t key = r.varint();
        uint32_t number = static_cast<uint32_t>(key >> 3), wireType = static_cast<uint32_t>(key & 7);
        std::size_t length = valueLength(r, wireType);
        if (r.at + length > message.size())
            throw std::invalid_argument("truncated field");
        Bytes value(message.begin() + static_cast<std::ptrdiff_t>(r.at),
                    message.begin() + static_cast<std::ptrdiff_t>(r.at + length));
        r.at += length;
        if (number == path[0] && depth == 1)
            continue;
        putVarint(out, key);
        if (number == path[0] && wireType == kcr::wire::kLengthDelimited) {
            value = strip(value, path + 1, depth - 1);
        }
        if (wireType == kcr::wire::kLengthDelimited)
            putVarint(out, value.size());
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

}  // namespace

Bytes packMessage(const CrashReport& fields) {
    Packer packer;
    const Kcr__CrashReport* message = packer.report(fields);
    Bytes out(kcr__crash_report__get_packed_size(message));
    kcr__crash_report__pack(message, out.data());
    return out;
}

Bytes fileWithMessage(const Bytes& message, uint8_t version) {
    Bytes out(std::begin(kcr::wire::kMagic), std::end(kcr::wire::kMagic));
    out.push_back(version);
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

Bytes packFile(const CrashReport& fields) {
    return fileWithMessage(packMessage(fields));
}

Bytes withoutField(const Bytes& message, std::initializer_list<uint32_t> path) {
    if (path.size() == 0)
        return message;
    return strip(message, path.begin(), path.size());
}

KCRCrashReportPtr decode(const Bytes& file) {
    auto report = KCRCrashReport::create(file.data(), file.size());
    EXPECT_TRUE(report.ok()) << file.size()
                             << " bytes: " << (report.ok() ? "" : report.error()->localizedDescription());
    return report.ok() ? report.value() : nullptr;
}

KCRCrashReportPtr decode(const CrashReport& fields) {
    return decode(packFile(fields));
}

KCRCrashReportPtr decodeFile(const std::string& path) {
    return decode(testsupport::readBytes(path));
}

CrashReport CrashReport::minimal() {
    CrashReport fields;
    fields.systemInfo.architecture = 1;
    fields.threads.push_back(
        {.number = 0, .crashed = true, .registers = {}, .frames = {{.pc = 0x1000, .symbol = {}}}});
    fields.images.push_back(
        {.baseAddress = 0x1000, .size = 0x100, .name = "/usr/bin/app", .uuid = {}, .codeType = {}});
    return fields;
}

CrashReport CrashReport::full() {
    CrashReport fields;
    fields.systemInfo = {.operatingSystem = 3,
                         .osVersion = "6.1.0-18-amd64",
                         .architecture = 6,
                         .timestamp = 1700000000,
                         .osBuild = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"};
    fields.machineInfo = MachineInfo{.model = "Standard PC (Q35 + ICH9, 2009)",
                                     .processor = {},
                                     .processorCount = 4,
                                     .logicalProcessorCount = 8};
    fields.applicationInfo = {
        .identifier = "com.example.planner", .version = "210", .marketingVersion = "2.1"};
    fields.processInfo = ProcessInfo{.processName = "planner",
                                     .processId = 4242,
                                     .processPath = "/opt/planner/bin/planner",
                                     .parentProcessName = "systemd",
                                     .parentProcessId = 1,
                                     .native = true,
                                     .startTime = 1699999000};
    fields.reportInfo = ReportInfo{.userRequested = false,
                                   .uuid = Bytes{0x5F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x49, 0x38, 0x87, 0x96,
                                                 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    const uint64_t app = 0x555555554000, libc = 0x7ffff7c00000, libstdcxx = 0x7ffff7e00000;
    fields.threads.push_back(
        {.number = 0,
         .crashed = false,
         .registers = {},
         .frames = {
             {.pc = libc + 0x91d36, .symbol = Symbol{"__futex_abstimed_wait_common", libc + 0x91c90, {}}},
             {.pc = app + 0x2210, .symbol = {}}}});
    // The crashed thread's registers, as the writer lists them for x86-64.
    const char* names[] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8", "r9", "rip"};
    const uint64_t values[] = {
        0, 0x7fffffffe3a8, 0x10,        0x7fffffffe3b8, 0, 0x1, 0x7fffffffe290, 0x7fffffffe270,
        0, 0x7ffff7fcf680, app + 0x1a2b};
    std::vector<Register> registers;
    for (std::size_t i = 0; i < std::size(names); ++i)
        registers.push_back({names[i], values[i]});
    fields.threads.push_back(
        {.number = 1,
         .crashed = true,
         .registers = std::move(registers),
         .frames = {
             {.pc = app + 0x1a2b, .symbol = Symbol{"_ZN7planner4Task4saveEv", app + 0x1a00, app + 0x1a80}},
             {.pc = libstdcxx + 0xae2f0, .symbol = {}},
             {.pc = libc + 0x271ca, .symbol = Symbol{"__libc_start_call_main", libc + 0x27150, {}}}}});
    const Bytes buildId{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71,
                        0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9};
    fields.images.push_back({.baseAddress = app,
                             .size = 0x5000,
                             .name = "/opt/planner/bin/planner",
                             .uuid = buildId,
                             .codeType = Processor{}});
    fields.images.push_back({.baseAddress = libc,
                             .size = 0x1c5000,
                             .name = "/usr/lib/x86_64-linux-gnu/libc.so.6",
                             .uuid = Bytes(buildId.rbegin(), buildId.rend()),
                             .codeType = Processor{}});
    fields.images.push_back({.baseAddress = libstdcxx,
                             .size = 0x1a0000,
                             .name = "/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
                             .uuid = {},
                             .codeType = Processor{}});
    fields.exception =
        Exception{.name = "std::runtime_error",
                  .reason = "disk full",
                  .frames = {{.pc = libstdcxx + 0xae2f0, .symbol = {}}, {.pc = app + 0x2210, .symbol = {}}}};
    fields.signal = {.name = "SIGABRT", .code = "#-6", .address = 0, .machException = {}};
    fields.customData = Bytes{'h', 'e', 'l', 'l', 'o'};
    return fields;
}

}  // namespace kcrtest
