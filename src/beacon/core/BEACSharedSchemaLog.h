// A Shared Schema 3.0 log: the record sent to the Event Collector as one line
// of JSON. JSON keys come in the fixed order ver, name, time, iKey, flags,
// ext, data, each only when present ("flags" only when not 0); "popSample" and
// "cV" are archived and compared but never written. The inherited base fields
// are archived with the base keys but not written. No type of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACCSExtensions.h"
#include "beacon/core/BEACOrderedDictionary.h"

class BEACSharedSchemaLog : public BEACAbstractLog {
  public:
    std::optional<std::string> ver;
    std::optional<std::string> name;
    double popSample = 0;
    std::optional<std::string> iKey;
    int64_t flags = 0;
    std::optional<std::string> cV;
    std::shared_ptr<BEACCSExtensions> ext;
    std::shared_ptr<BEACCSData> data;

    // Requires timestamp, ver and name (in that order); type and device are not needed.
    bool isValid() const override;
    BEACOrderedDictionary orderedDictionary() const;
    plat::Dictionary serializeToDictionary() const override { return orderedDictionary().dictionary(); }
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACSharedSchemaLog"; }
    // Already in the Event Collector's form: never converted again.
    bool supportsSharedSchemaConversion() const override { return false; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
