// Test helper: builds crash report files field by field through protobuf-c,
// for the tests of crash capture and of the services that read its reports.
//
// A CrashReport mirrors the report schema: optional fields are
// std::optional and stay absent when empty; required fields are always
// written. To make a report that lacks a required field, pack it and remove
// the field from the bytes with withoutField().
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "crashcapture/KCRCrashReport.h"

namespace kcrtest {

using Bytes = std::vector<uint8_t>;

struct Processor {
    std::optional<int32_t> encoding = 1;
    uint64_t type = 0x1000007;  // x86-64
    uint64_t subtype = 3;
};

struct SystemInfo {
    std::optional<int32_t> operatingSystem;
    std::string osVersion = "6.1.0-18-amd64";
    int32_t architecture = 6;
    int64_t timestamp = 0;
    std::optional<std::string> osBuild;
};

struct MachineInfo {
    std::optional<std::string> model;
    Processor processor;
    uint32_t processorCount = 0;
    uint32_t logicalProcessorCount = 0;
};

struct ApplicationInfo {
    std::string identifier = "com.example.app";
    std::string version = "1";
    std::optional<std::string> marketingVersion;
};

struct ProcessInfo {
    std::optional<std::string> processName;
    uint32_t processId = 0;
    std::optional<std::string> processPath;
    std::optional<std::string> parentProcessName;
    uint32_t parentProcessId = 0;
    bool native = true;
    std::optional<uint64_t> startTime;
};

struct Symbol {
    std::string name;
    uint64_t startAddress = 0;
    std::optional<uint64_t> endAddress;
};

struct Frame {
    uint64_t pc = 0;
    std::optional<Symbol> symbol;
};

struct Register {
    std::string name;
    uint64_t value = 0;
};

struct Thread {
    uint32_t number = 0;
    bool crashed = false;
    std::vector<Register> registers;
    std::vector<Frame> frames;
};

struct Image {
    uint64_t baseAddress = 0;
    uint64_t size = 0;
    std::string name;
    std::optional<Bytes> uuid;
    std::optional<Processor> codeType;
};

struct Exception {
    std::string name;
    std::string reason;
    std::vector<Frame> frames;
};

struct MachException {
    uint64_t type = 0;
    std::vector<uint64_t> codes;
};

struct Signal {
    std::string name = "SIGSEGV";
    std::string code = "SEGV_MAPERR";
    uint64_t address = 0;
    std::optional<MachException> machException;
};

struct ReportInfo {
    bool userRequested = false;
    std::optional<Bytes> uuid;
};

struct CrashReport {
    SystemInfo systemInfo;
    ApplicationInfo applicationInfo;
    std::vector<Thread> threads;
    std::vector<Image> images;
    std::optional<Exception> exception;
    Signal signal;
    std::optional<ProcessInfo> processInfo;
    std::optional<MachineInfo> machineInfo;
    std::optional<ReportInfo> reportInfo;
    std::optional<Bytes> customData;

    // Only what the decoder requires: the required fields, one thread with
    // one frame and one image, and architecture X86_64 in place of machine
    // information.
    static CrashReport minimal();
    // Every field set, with fixed values, as this system writes a crash of
    // an x86-64 Linux process: two threads (the second crashed, with
    // registers), symbolicated frames, three images, an uncaught exception,
    // a report UUID and custom data.
    static CrashReport full();
};

// The kcr.CrashReport message alone, packed by protobuf-c.
Bytes packMessage(const CrashReport& fields);
// A whole report file: "kcrdump", version 1, then the message.
Bytes packFile(const CrashReport& fields);
// The 8-byte file header followed by the given message bytes.
Bytes fileWithMessage(const Bytes& message, uint8_t version = 1);

// The message bytes with every occurrence of the field at `path` removed.
// The path lists field numbers from the top-level message down through
// nested messages, e.g. {1, 2} is system_info.os_version.
Bytes withoutField(const Bytes& message, std::initializer_list<uint32_t> path);

// The report in a file's bytes, in fields packed as a file, or in a file on
// disk; null, with a test failure, when it does not decode.
KCRCrashReportPtr decode(const Bytes& file);
KCRCrashReportPtr decode(const CrashReport& fields);
KCRCrashReportPtr decodeFile(const std::string& path);

}  // namespace kcrtest
