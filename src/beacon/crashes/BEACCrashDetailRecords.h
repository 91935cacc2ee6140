// The records a crash or handled-error log carries: stack frames,
// exceptions, threads, binary images and the exception a wrapper SDK saved
// before its process died.
//
// Each writes its JSON dictionary (an entry only for a present value; a
// present list, even empty, gives an array) and archives every field under
// the same key, absent ones as nil entries. Threads, exceptions and binaries
// check their required fields with isValid(), logging the first one missing
// (verbose, tag "Beacon"). Equality is field by field, absent matching only
// absent; a wrapper exception is equal only to itself.
//
// Plain values without locks: built on one thread, then read anywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/Data.h"

class BEACStackFrame : public BEACSerializableObject {
  public:
    std::optional<std::string> address;
    std::optional<std::string> code;
    // "className" in JSON and archive; className() already names the C++ class.
    std::optional<std::string> frameClassName;
    std::optional<std::string> methodName;
    std::optional<int64_t> lineNumber;
    std::optional<std::string> fileName;

    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACStackFrame"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACException : public BEACSerializableObject {
  public:
    std::optional<std::string> type;
    std::optional<std::string> message;
    std::optional<std::string> stackTrace;
    std::optional<std::vector<std::shared_ptr<BEACStackFrame>>> frames;
    std::optional<std::vector<std::shared_ptr<BEACException>>> innerExceptions;
    std::optional<std::string> wrapperSdkName;

    // A type and at least one frame.
    bool isValid() const;
    // "wrapperSdkName" comes before the lists here, but last in the archive.
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACException"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACThread : public BEACSerializableObject {
  public:
    // A new thread starts with an empty frame list; a decoded one has none
    // unless the archive held one.
    BEACThread() : frames(std::vector<std::shared_ptr<BEACStackFrame>>{}) {}

    std::optional<int64_t> threadId;
    std::optional<std::string> name;
    std::optional<std::vector<std::shared_ptr<BEACStackFrame>>> frames;
    std::shared_ptr<BEACException> exception;

    // An id and at least one frame.
    bool isValid() const;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACThread"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACBinary : public BEACSerializableObject {
  public:
    std::optional<std::string> binaryId;
    std::optional<std::string> startAddress;
    std::optional<std::string> endAddress;
    std::optional<std::string> name;
    std::optional<std::string> path;
    std::optional<std::string> architecture;
    std::optional<uint64_t> primaryArchitectureId;
    std::optional<uint64_t> architectureVariantId;

    // Id, start, end, name and path; the architecture fields are optional.
    bool isValid() const;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACBinary"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACWrapperException : public BEACSerializableObject {
  public:
    std::shared_ptr<BEACException> modelException;
    // Opaque bytes of the wrapper SDK; put into the dictionary as they are.
    std::optional<plat::Data> exceptionData;
    std::optional<int64_t> processId;

    plat::Dictionary serializeToDictionary() const override;
    // Identity (the base Object's isEqual).
    std::string className() const override { return "BEACWrapperException"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
