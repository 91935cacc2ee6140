// The error logs of the crash service: the log of a crash found at the next
// launch (BEACAppleErrorLog, type "appleError") and the log of an error the
// application reports itself (BEACHandledErrorLog, type "handledError").
//
// JSON: the core's entries, then each present field in declaration order;
// "fatal" is always written as a JSON boolean, "appLaunchTimestamp" as ISO
// 8601 text, lists as arrays (an empty list gives []), records as their
// dictionaries. Archive keys are the JSON keys; absent fields archive as nil
// and decode as absent, as does a value of the wrong type.
//
// isValid(): the core's checks, then the required fields in order; the first
// missing one is logged (verbose, tag "Beacon", `<class>: "<field>" is not
// valid.`). Plain values without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACNoAutoAssignSessionIdLog.h"
#include "beacon/crashes/BEACCrashDetailRecords.h"

class BEACAbstractErrorLog : public BEACLogWithProperties {
  public:
    std::optional<std::string> errorId;  // "id"
    std::optional<int64_t> processId;
    std::optional<std::string> processName;
    std::optional<int64_t> parentProcessId;
    std::optional<std::string> parentProcessName;
    std::optional<int64_t> errorThreadId;
    std::optional<std::string> errorThreadName;
    bool fatal = false;
    std::optional<plat::Date> appLaunchTimestamp;
    std::optional<std::string> architecture;

    bool isFatal() const { return fatal; }

    // Requires errorId, processId and processName.
    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACAbstractErrorLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACAppleErrorLog : public BEACAbstractErrorLog, public BEACNoAutoAssignSessionIdLog {
  public:
    BEACAppleErrorLog() { type = "appleError"; }

    std::optional<uint64_t> primaryArchitectureId;  // CPU type
    std::optional<uint64_t> architectureVariantId;  // CPU subtype
    std::optional<std::string> applicationPath;
    std::optional<std::string> osExceptionType;     // signal name
    std::optional<std::string> osExceptionCode;     // signal code
    std::optional<std::string> osExceptionAddress;  // fault address text
    std::optional<std::string> exceptionType;
    std::optional<std::string> exceptionReason;
    std::optional<std::string> selectorRegisterValue;
    std::optional<std::vector<std::shared_ptr<BEACThread>>> threads;
    std::optional<std::vector<std::shared_ptr<BEACBinary>>> binaries;
    std::optional<plat::Dictionary> registers;  // register name to text
    std::shared_ptr<BEACException> exception;

    // After the base: primaryArchitectureId, applicationPath and the three
    // signal fields.
    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACAppleErrorLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

// Not an BEACAbstractErrorLog: only an id and the exception.
class BEACHandledErrorLog : public BEACLogWithProperties {
  public:
    BEACHandledErrorLog() { type = "handledError"; }

    std::optional<std::string> errorId;  // "id"
    std::shared_ptr<BEACException> exception;

    // Requires errorId and an exception (whose own validity is not tested).
    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACHandledErrorLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
