#include "beacon/crashes/BEACErrorLogs.h"

#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/detail/BEACCrashesCoding.h"

using beac::detail::encodeString;
using beac::detail::sameObject;
using beac::detail::setIfPresent;
using namespace beac::crashes::detail;

// Abstract error log

bool BEACAbstractErrorLog::isValid() const {
    if (!BEACLogWithProperties::isValid())
        return false;
    if (!errorId)
        return logValidityFailure("errorId");
    if (!processId)
        return logValidityFailure("processId");
    if (!processName)
        return logValidityFailure("processName");
    return true;
}

plat::Dictionary BEACAbstractErrorLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACLogWithProperties::serializeToDictionary();
    setIfPresent(dict, "id", errorId);
    setNumber(dict, "processId", processId);
    setIfPresent(dict, "processName", processName);
    setNumber(dict, "parentProcessId", parentProcessId);
    setIfPresent(dict, "parentProcessName", parentProcessName);
    setNumber(dict, "errorThreadId", errorThreadId);
    setIfPresent(dict, "errorThreadName", errorThreadName);
    dict.set("fatal", plat::Value(fatal));
    if (appLaunchTimestamp)
        dict.set("appLaunchTimestamp", plat::Value(BEACUtility::dateToISO8601(*appLaunchTimestamp)));
    setIfPresent(dict, "architecture", architecture);
    return dict;
}

bool BEACAbstractErrorLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACAbstractErrorLog*>(&other);
    return log && BEACLogWithProperties::isEqual(other) && errorId == log->errorId &&
           processId == log->processId && processName == log->processName &&
           parentProcessId == log->parentProcessId && parentProcessName == log->parentProcessName &&
           errorThreadId == log->errorThreadId && errorThreadName == log->errorThreadName &&
           fatal == log->fatal && appLaunchTimestamp == log->appLaunchTimestamp &&
           architecture == log->architecture;
}

void BEACAbstractErrorLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACLogWithProperties::encodeWithCoder(coder);
    encodeString(coder, errorId, "id");
    encodeSigned(coder, processId, "processId");
    encodeString(coder, processName, "processName");
    encodeSigned(coder, parentProcessId, "parentProcessId");
    encodeString(coder, parentProcessName, "parentProcessName");
    encodeSigned(coder, errorThreadId, "errorThreadId");
    encodeString(coder, errorThreadName, "errorThreadName");
    coder.encodeBool(fatal, "fatal");
    encodeDate(coder, appLaunchTimestamp, "appLaunchTimestamp");
    encodeString(coder, architecture, "architecture");
}

void BEACAbstractErrorLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACLogWithProperties::initWithCoder(coder);
    errorId = coder.decodeString("id");
    processId = decodeSigned(coder, "processId");
    processName = coder.decodeString("processName");
    parentProcessId = decodeSigned(coder, "parentProcessId");
    parentProcessName = coder.decodeString("parentProcessName");
    errorThreadId = decodeSigned(coder, "errorThreadId");
    errorThreadName = coder.decodeString("errorThreadName");
    fatal = coder.decodeBool("fatal");
    appLaunchTimestamp = coder.decodeDate("appLaunchTimestamp");
    architecture = coder.decodeString("architecture");
}

// Apple error log

bool BEACAppleErrorLog::isValid() const {
    if (!BEACAbstractErrorLog::isValid())
        return false;
    if (!primaryArchitectureId)
        return logValidityFailure("primaryArchitectureId");
    if (!applicationPath)
        return logValidityFailure("applicationPath");
    if (!osExceptionType)
        return logValidityFailure("osExceptionType");
    if (!osExceptionCode)
        return logValidityFailure("osExceptionCode");
    if (!osExceptionAddress)
        return logValidityFailure("osExceptionAddress");
    return true;
}

plat::Dictionary BEACAppleErrorLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACAbstractErrorLog::serializeToDictionary();
    setUnsigned(dict, "primaryArchitectureId", primaryArchitectureId);
    setUnsigned(dict, "architectureVariantId", architectureVariantId);
    setIfPresent(dict, "applicationPath", applicationPath);
    setIfPresent(dict, "osExceptionType", osExceptionType);
    setIfPresent(dict, "osExceptionCode", osExceptionCode);
    setIfPresent(dict, "osExceptionAddress", osExceptionAddress);
    setIfPresent(dict, "exceptionType", exceptionType);
    setIfPresent(dict, "exceptionReason", exceptionReason);
    setIfPresent(dict, "selectorRegisterValue", selectorRegisterValue);
    setRecords(dict, "threads", threads);
    setRecords(dict, "binaries", binaries);
    if (registers)
        dict.set("registers", plat::Value(*registers));
    setRecord(dict, "exception", exception);
    return dict;
}

bool BEACAppleErrorLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACAppleErrorLog*>(&other);
    return log && BEACAbstractErrorLog::isEqual(other) &&
           primaryArchitectureId == log->primaryArchitectureId &&
           architectureVariantId == log->architectureVariantId && applicationPath == log->applicationPath &&
           osExceptionType == log->osExceptionType && osExceptionCode == log->osExceptionCode &&
           osExceptionAddress == log->osExceptionAddress && exceptionType == log->exceptionType &&
           exceptionReason == log->exceptionReason && selectorRegisterValue == log->selectorRegisterValue &&
           sameRecords(threads, log->threads) && sameRecords(binaries, log->binaries) &&
           registers == log->registers && sameObject(exception, log->exception);
}

void BEACAppleErrorLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractErrorLog::encodeWithCoder(coder);
    encodeUnsigned(coder, primaryArchitectureId, "primaryArchitectureId");
    encodeUnsigned(coder, architectureVariantId, "architectureVariantId");
    encodeString(coder, applicationPath, "applicationPath");
    encodeString(coder, osExceptionType, "osExceptionType");
    encodeString(coder, osExceptionCode, "osExceptionCode");
    encodeString(coder, osExceptionAddress, "osExceptionAddress");
    encodeString(coder, exceptionType, "exceptionType");
    encodeString(coder, exceptionReason, "exceptionReason");
    encodeString(coder, selectorRegisterValue, "selectorRegisterValue");
    encodeRecords(coder, threads, "threads");
    encodeRecords(coder, binaries, "binaries");
    coder.encodeObject(registers ? std::optional<plat::Value>(plat::Value(*registers)) : std::nullopt,
                       "registers");
    encodeRecord(coder, exception, "exception");
}

void BEACAppleErrorLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractErrorLog::initWithCoder(coder);
    primaryArchitectureId = decodeUnsigned(coder, "primaryArchitectureId");
    architectureVariantId = decodeUnsigned(coder, "architectureVariantId");
    applicationPath = coder.decodeString("applicationPath");
    osExceptionType = coder.decodeString("osExceptionType");
    osExceptionCode = coder.decodeString("osExceptionCode");
    osExceptionAddress = coder.decodeString("osExceptionAddress");
    exceptionType = coder.decodeString("exceptionType");
    exceptionReason = coder.decodeString("exceptionReason");
    selectorRegisterValue = coder.decodeString("selectorRegisterValue");
    threads = decodeRecords<BEACThread>(coder, "threads");
    binaries = decodeRecords<BEACBinary>(coder, "binaries");
    registers = coder.decodeDictionary("registers");
    exception = decodeRecord<BEACException>(coder, "exception");
}

// Handled error log

bool BEACHandledErrorLog::isValid() const {
    if (!BEACLogWithProperties::isValid())
        return false;
    if (!errorId)
        return logValidityFailure("errorId");
    if (!exception)
        return logValidityFailure("exception");
    return true;
}

plat::Dictionary BEACHandledErrorLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACLogWithProperties::serializeToDictionary();
    setIfPresent(dict, "id", errorId);
    setRecord(dict, "exception", exception);
    return dict;
}

bool BEACHandledErrorLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACHandledErrorLog*>(&other);
    return log && BEACLogWithProperties::isEqual(other) && errorId == log->errorId &&
           sameObject(exception, log->exception);
}

void BEACHandledErrorLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACLogWithProperties::encodeWithCoder(coder);
    encodeString(coder, errorId, "id");
    encodeRecord(coder, exception, "exception");
}

void BEACHandledErrorLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACLogWithProperties::initWithCoder(coder);
    errorId = coder.decodeString("id");
    exception = decodeRecord<BEACException>(coder, "exception");
}
