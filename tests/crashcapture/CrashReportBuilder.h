// Test helper: builds crash report files field by field through protobuf-c,
// for the tests of crash capture and of the services that read its reports.
//
// A CrashReportSpec mirrors the report schema: optional fields are
// std::optional and stay absent when empty; required fields are always
// written. To make a report that lacks a required field, pack it and remove
// the field from the bytes with withoutField().
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kcrtest {

using Bytes = std::vector<uint8_t>;

struct ProcessorSpec {
    std::optional<int32_t> encoding = 1;
    uint64_t type = 0x1000007;  // x86-64
    uint64_t subtype = 3;
};

struct SystemInfoSpec {
    std::optional<int32_t> operatingSystem;
    std::string osVersion = "6.1.0-18-amd64";
    int32_t architecture = 6;
    int64_t timestamp = 0;
    std::optional<std::string> osBuild;
};

struct MachineInfoSpec {
    std::optional<std::string> model;
    ProcessorSpec processor;
    uint32_t processorCount = 0;
    uint32_t logicalProcessorCount = 0;
};

struct ApplicationInfoSpec {
    std::string identifier = "com.example.app";
    std::string version = "1";
    std::optional<std::string> marketingVersion;
};

struct ProcessInfoSpec {
    std::optional<std::string> processName;
    uint32_t processId = 0;
    std::optional<std::string> processPath;
    std::optional<std::string> parentProcessName;
    uint32_t parentProcessId = 0;
    bool native = true;
    std::optional<uint64_t> startTime;
};

struct SymbolSpec {
    std::string name;
    uint64_t startAddress = 0;
    std::optional<uint64_t> endAddress;
};

struct FrameSpec {
    uint64_t pc = 0;
    std::optional<SymbolSpec> symbol;
};

struct RegisterSpec {
    std::string name;
    uint64_t value = 0;
};

struct ThreadSpec {
    uint32_t number = 0;
    bool crashed = false;
    std::vector<RegisterSpec> registers;
    std::vector<FrameSpec> frames;
};

struct ImageSpec {
    uint64_t baseAddress = 0;
    uint64_t size = 0;
    std::string name;
    std::optional<Bytes> uuid;
    std::optional<ProcessorSpec> codeType;
};

struct ExceptionSpec {
    std::string name;
    std::string reason;
    std::vector<FrameSpec> frames;
};

struct MachExceptionSpec {
    uint64_t type = 0;
    std::vector<uint64_t> codes;
};

struct SignalSpec {
    std::string name = "SIGSEGV";
    std::string code = "SEGV_MAPERR";
    uint64_t address = 0;
    std::optional<MachExceptionSpec> machException;
};

struct ReportInfoSpec {
    bool userRequested = false;
    std::optional<Bytes> uuid;
};

struct CrashReportSpec {
    SystemInfoSpec systemInfo;
    ApplicationInfoSpec applicationInfo;
    std::vector<ThreadSpec> threads;
    std::vector<ImageSpec> images;
    std::optional<ExceptionSpec> exception;
    SignalSpec signal;
    std::optional<ProcessInfoSpec> processInfo;
    std::optional<MachineInfoSpec> machineInfo;
    std::optional<ReportInfoSpec> reportInfo;
    std::optional<Bytes> customData;

    // Only what the decoder requires: the required fields, one thread with
    // one frame and one image, and architecture X86_64 in place of machine
    // information.
    static CrashReportSpec minimal();
    // Every field set, with fixed values, as this system writes a crash of
    // an x86-64 Linux process: two threads (the second crashed, with
    // registers), symbolicated frames, three images, an uncaught exception,
    // a report UUID and custom data.
    static CrashReportSpec full();
};

// The kcr.CrashReport message alone, packed by protobuf-c.
Bytes packMessage(const CrashReportSpec& spec);
// A whole report file: "kcrdump", version 1, then the message.
Bytes packFile(const CrashReportSpec& spec);
// The 8-byte file header followed by the given message bytes.
Bytes fileWithMessage(const Bytes& message, uint8_t version = 1);

// The message bytes with every occurrence of the field at `path` removed.
// The path lists field numbers from the top-level message down through
// nested messages, e.g. {1, 2} is system_info.os_version.
Bytes withoutField(const Bytes& message, std::initializer_list<uint32_t> path);

}  // namespace kcrtest
