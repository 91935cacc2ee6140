// The log that names the services started in one start call.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACAbstractLog.h"

class BEACStartServiceLog : public BEACAbstractLog {
  public:
    BEACStartServiceLog() { type = "startService"; }

    std::optional<std::vector<std::string>> services;

    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACStartServiceLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
