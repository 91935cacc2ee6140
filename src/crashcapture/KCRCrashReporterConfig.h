// How a crash reporter captures crashes: which handler kind, which
// symbolication, and whether uncaught exceptions are recorded.
#pragma once

#include <cstdint>

enum KCRCrashReporterSignalHandlerType : uint64_t {
    // POSIX signal handlers for SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV and SIGTRAP.
    KCRCrashReporterSignalHandlerTypeBSD = 0,
    // Exception ports: an exception server thread takes bad access, bad
    // instruction, arithmetic and breakpoint faults (they reach it through
    // the platform layer's fault bridge) and writes the report while the
    // faulting thread waits; the fault then goes on to the signal handlers,
    // which also catch what is no exception (SIGABRT). Enabling fails only
    // when the server or its port cannot be set up.
    KCRCrashReporterSignalHandlerTypeMach = 1,
};

enum KCRCrashReporterSymbolicationStrategy : uint64_t {
    KCRCrashReporterSymbolicationStrategyNone = 0,
    // The image's symbol tables: the full table of the file on disk when it
    // is readable, else the dynamic symbols of the loaded image.
    KCRCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
    // Object-runtime class metadata (images built for tests only).
    KCRCrashReporterSymbolicationStrategyObjC = 1 << 1,
    KCRCrashReporterSymbolicationStrategyAll = 3,
};

class KCRCrashReporterConfig {
  public:
    // Signal handlers, no symbolication, the uncaught-exception handler on.
    KCRCrashReporterConfig() = default;
    KCRCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                           bool shouldRegisterUncaughtExceptionHandler = true)
        : signalHandlerType_(signalHandlerType),
          symbolicationStrategy_(symbolicationStrategy),
          shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler) {}

    static KCRCrashReporterConfig defaultConfiguration() { return KCRCrashReporterConfig(); }

    uint64_t signalHandlerType() const { return signalHandlerType_; }
    uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }

  private:
    uint64_t signalHandlerType_ = KCRCrashReporterSignalHandlerTypeBSD;
    uint64_t symbolicationStrategy_ = KCRCrashReporterSymbolicationStrategyNone;
    bool shouldRegisterUncaughtExceptionHandler_ = true;
};
