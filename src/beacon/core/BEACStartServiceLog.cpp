#include "beacon/core/BEACStartServiceLog.h"

plat::Dictionary BEACStartServiceLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACAbstractLog::serializeToDictionary();
    if (services) {
        plat::Array names;
        for (const auto& name : *services)
            names.push_back(plat::Value(name));
        dict.set("services", plat::Value(std::move(names)));
    }
    return dict;
}

bool BEACStartServiceLog::isEqual(const plat::Object& other) const {
    auto* log = dynamic_cast<const BEACStartServiceLog*>(&other);
    return log && BEACAbstractLog::isEqual(other) && services == log->services;
}

void BEACStartServiceLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractLog::encodeWithCoder(coder);
    if (services) {
        plat::Array names;
        for (const auto& name : *services)
            names.push_back(plat::Value(name));
        coder.encodeObject(plat::Value(std::move(names)), "services");
    }
}

void BEACStartServiceLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractLog::initWithCoder(coder);
    services.reset();
    if (auto names = coder.decodeArray("services")) {
        services.emplace();
        for (const auto& name : *names) {
            if (name.isString())
                services->push_back(*name.asString());
        }
    }
}
