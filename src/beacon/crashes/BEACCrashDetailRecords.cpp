#include "beacon/crashes/BEACCrashDetailRecords.h"

#include "beacon/core/BEACLogger.h"
#include "beacon/crashes/detail/BEACCrashesCoding.h"

using beac::detail::encodeString;
using beac::detail::sameObject;
using beac::detail::setIfPresent;
using namespace beac::crashes::detail;

namespace {

bool invalid(const plat::Object& record, const char* field) {
    BEACLogVerbose(kBEACLogTag, "%@: \"%@\" is not valid.", record.className(), field);
    return false;
}

template <class T>
bool hasElements(const RecordList<T>& list) {
    return list && !list->empty();
}

}  // namespace

// Stack frame

plat::Dictionary BEACStackFrame::serializeToDictionary() const {
    plat::Dictionary dict;
    setIfPresent(dict, "address", address);
    setIfPresent(dict, "code", code);
    setIfPresent(dict, "className", frameClassName);
    setIfPresent(dict, "methodName", methodName);
    setNumber(dict, "lineNumber", lineNumber);
    setIfPresent(dict, "fileName", fileName);
    return dict;
}

bool BEACStackFrame::isEqual(const plat::Object& other) const {
    const auto* frame = dynamic_cast<const BEACStackFrame*>(&other);
    return frame && address == frame->address && code == frame->code &&
           frameClassName == frame->frameClassName && methodName == frame->methodName &&
           lineNumber == frame->lineNumber && fileName == frame->fileName;
}

void BEACStackFrame::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, address, "address");
    encodeString(coder, code, "code");
    encodeString(coder, frameClassName, "className");
    encodeString(coder, methodName, "methodName");
    encodeSigned(coder, lineNumber, "lineNumber");
    encodeString(coder, fileName, "fileName");
}

void BEACStackFrame::initWithCoder(plat::KeyedUnarchiver& coder) {
    address = coder.decodeString("address");
    code = coder.decodeString("code");
    frameClassName = coder.decodeString("className");
    methodName = coder.decodeString("methodName");
    lineNumber = decodeSigned(coder, "lineNumber");
    fileName = coder.decodeString("fileName");
}

// Exception

bool BEACException::isValid() const {
    if (!type)
        return invalid(*this, "type");
    if (!hasElements(frames))
        return invalid(*this, "frames");
    return true;
}

plat::Dictionary BEACException::serializeToDictionary() const {
    plat::Dictionary dict;
    setIfPresent(dict, "type", type);
    setIfPresent(dict, "message", message);
    setIfPresent(dict, "stackTrace", stackTrace);
    setIfPresent(dict, "wrapperSdkName", wrapperSdkName);
    setRecords(dict, "frames", frames);
    setRecords(dict, "innerExceptions", innerExceptions);
    return dict;
}

bool BEACException::isEqual(const plat::Object& other) const {
    const auto* exception = dynamic_cast<const BEACException*>(&other);
    return exception && type == exception->type && wrapperSdkName == exception->wrapperSdkName &&
           message == exception->message && sameRecords(frames, exception->frames) &&
           sameRecords(innerExceptions, exception->innerExceptions) && stackTrace == exception->stackTrace;
}

void BEACException::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, type, "type");
    encodeString(coder, message, "message");
    encodeString(coder, stackTrace, "stackTrace");
    encodeRecords(coder, frames, "frames");
    encodeRecords(coder, innerExceptions, "innerExceptions");
    encodeString(coder, wrapperSdkName, "wrapperSdkName");
}

void BEACException::initWithCoder(plat::KeyedUnarchiver& coder) {
    type = coder.decodeString("type");
    message = coder.decodeString("message");
    stackTrace = coder.decodeString("stackTrace");
    frames = decodeRecords<BEACStackFrame>(coder, "frames");
    innerExceptions = decodeRecords<BEACException>(coder, "innerExceptions");
    wrapperSdkName = coder.decodeString("wrapperSdkName");
}

// Thread

bool BEACThread::isValid() const {
    if (!threadId)
        return invalid(*this, "threadId");
    if (!hasElements(frames))
        return invalid(*this, "frames");
    return true;
}

plat::Dictionary BEACThread::serializeToDictionary() const {
    plat::Dictionary dict;
    setNumber(dict, "id", threadId);
    setIfPresent(dict, "name", name);
    setRecords(dict, "frames", frames);
    setRecord(dict, "exception", exception);
    return dict;
}

bool BEACThread::isEqual(const plat::Object& other) const {
    const auto* thread = dynamic_cast<const BEACThread*>(&other);
    return thread && threadId == thread->threadId && name == thread->name &&
           sameRecords(frames, thread->frames) && sameObject(exception, thread->exception);
}

void BEACThread::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeSigned(coder, threadId, "id");
    encodeString(coder, name, "name");
    encodeRecords(coder, frames, "frames");
    encodeRecord(coder, exception, "exception");
}

void BEACThread::initWithCoder(plat::KeyedUnarchiver& coder) {
    threadId = decodeSigned(coder, "id");
    name = coder.decodeString("name");
    frames = decodeRecords<BEACStackFrame>(coder, "frames");
    exception = decodeRecord<BEACException>(coder, "exception");
}

// Binary

bool BEACBinary::isValid() const {
    if (!binaryId)
        return invalid(*this, "binaryId");
    if (!startAddress)
        return invalid(*this, "startAddress");
    if (!endAddress)
        return invalid(*this, "endAddress");
    if (!name)
        return invalid(*this, "name");
    if (!path)
        return invalid(*this, "path");
    return true;
}

plat::Dictionary BEACBinary::serializeToDictionary() const {
    plat::Dictionary dict;
    setIfPresent(dict, "id", binaryId);
    setIfPresent(dict, "startAddress", startAddress);
    setIfPresent(dict, "endAddress", endAddress);
    setIfPresent(dict, "name", name);
    setIfPresent(dict, "path", path);
    setIfPresent(dict, "architecture", architecture);
    setUnsigned(dict, "primaryArchitectureId", primaryArchitectureId);
    setUnsigned(dict, "architectureVariantId", architectureVariantId);
    return dict;
}

bool BEACBinary::isEqual(const plat::Object& other) const {
    const auto* binary = dynamic_cast<const BEACBinary*>(&other);
    return binary && binaryId == binary->binaryId && startAddress == binary->startAddress &&
           endAddress == binary->endAddress && name == binary->name && path == binary->path &&
           architecture == binary->architecture && primaryArchitectureId == binary->primaryArchitectureId &&
           architectureVariantId == binary->architectureVariantId;
}

void BEACBinary::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, binaryId, "id");
    encodeString(coder, startAddress, "startAddress");
    encodeString(coder, endAddress, "endAddress");
    encodeString(coder, name, "name");
    encodeString(coder, path, "path");
    encodeString(coder, architecture, "architecture");
    encodeUnsigned(coder, primaryArchitectureId, "primaryArchitectureId");
    encodeUnsigned(coder, architectureVariantId, "architectureVariantId");
}

void BEACBinary::initWithCoder(plat::KeyedUnarchiver& coder) {
    binaryId = coder.decodeString("id");
    startAddress = coder.decodeString("startAddress");
    endAddress = coder.decodeString("endAddress");
    name = coder.decodeString("name");
    path = coder.decodeString("path");
    architecture = coder.decodeString("architecture");
    primaryArchitectureId = decodeUnsigned(coder, "primaryArchitectureId");
    architectureVariantId = decodeUnsigned(coder, "architectureVariantId");
}

// Wrapper exception

plat::Dictionary BEACWrapperException::serializeToDictionary() const {
    plat::Dictionary dict;
    setRecord(dict, "modelException", modelException);
    setNumber(dict, "processId", processId);
    if (exceptionData)
        dict.set("exceptionData", plat::Value(*exceptionData));
    return dict;
}

void BEACWrapperException::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeRecord(coder, modelException, "modelException");
    coder.encodeObject(exceptionData ? std::optional<plat::Value>(plat::Value(*exceptionData)) : std::nullopt,
                       "exceptionData");
    encodeSigned(coder, processId, "processId");
}

void BEACWrapperException::initWithCoder(plat::KeyedUnarchiver& coder) {
    modelException = decodeRecord<BEACException>(coder, "modelException");
    exceptionData = coder.decodeData("exceptionData");
    processId = decodeSigned(coder, "processId");
}
