// The logs of the analytics service: events (typed properties, an id),
// pages (string properties) and session starts. An event addressed to a
// transmission target becomes a Shared Schema log whose data nests dotted
// property names into objects, whose metadata records the non-string,
// non-boolean value types, and which honours "baseType" and "baseData".
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "beacon/analytics/BEACEventProperties.h"
#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACNoAutoAssignSessionIdLog.h"
#include "beacon/core/BEACSharedSchemaLog.h"

class BEACLogWithNameAndProperties : public BEACLogWithProperties {
  public:
    std::optional<std::string> name;

    // Requires a name (which may be empty).
    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACLogWithNameAndProperties"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACPageLog : public BEACLogWithNameAndProperties {
  public:
    BEACPageLog() { type = "page"; }
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACPageLog"; }
};

class BEACEventLog : public BEACLogWithNameAndProperties {
  public:
    BEACEventLog();

    std::optional<std::string> eventId;
    std::shared_ptr<BEACEventProperties> typedProperties;
    // Type word to Shared Schema type id; empty on a decoded log.
    std::map<std::string, int64_t> metadataTypeIdMapping;

    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    // Typed properties are not compared.
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACEventLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;

    std::shared_ptr<BEACSharedSchemaLog> toSharedSchemaLogForTargetToken(const std::string& token,
                                                                         int64_t flags) const override;
    // Fills data and metadata from the typed properties; drops unusable
    // "baseType"/"baseData" properties from this log's own bag.
    void setPropertiesAndMetadataForCSLog(BEACSharedSchemaLog& csLog) const;
};

class BEACStartSessionLog : public BEACAbstractLog, public BEACNoAutoAssignSessionIdLog {
  public:
    BEACStartSessionLog() { type = "startSession"; }
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACStartSessionLog"; }
};

namespace beac::analytics {
// Registers the analytics classes with the keyed unarchiver (once).
void registerCodableClasses();
}  // namespace beac::analytics
