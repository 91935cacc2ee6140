#include "beacon/core/BEACSharedSchemaLog.h"

#include "beacon/core/BEACUtility.h"

using beac::detail::encodeString;
using beac::detail::sameObject;

bool BEACSharedSchemaLog::isValid() const {
    if (!timestamp)
        return logValidityFailure("timestamp");
    if (!ver)
        return logValidityFailure("ver");
    if (!name)
        return logValidityFailure("name");
    return true;
}

BEACOrderedDictionary BEACSharedSchemaLog::orderedDictionary() const {
    BEACOrderedDictionary dict(7);
    if (ver)
        dict.setObject(plat::Value(*ver), "ver");
    if (name)
        dict.setObject(plat::Value(*name), "name");
    if (timestamp)
        dict.setObject(plat::Value(BEACUtility::dateToISO8601(*timestamp)), "time");
    if (iKey)
        dict.setObject(plat::Value(*iKey), "iKey");
    if (flags != 0)
        dict.setObject(plat::Value(flags), "flags");
    if (ext)
        dict.setObject(plat::Value(ext->serializeToDictionary()), "ext");
    if (data) {
        if (auto json = data->jsonDictionary())
            dict.setObject(plat::Value(std::move(*json)), "data");
    }
    return dict;
}

bool BEACSharedSchemaLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACSharedSchemaLog*>(&other);
    return log && BEACAbstractLog::isEqual(other) && ver == log->ver && name == log->name &&
           popSample == log->popSample && iKey == log->iKey && flags == log->flags && cV == log->cV &&
           sameObject(ext, log->ext) && sameObject(data, log->data);
}

void BEACSharedSchemaLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractLog::encodeWithCoder(coder);
    encodeString(coder, ver, "ver");
    encodeString(coder, name, "name");
    coder.encodeDouble(popSample, "popSample");
    encodeString(coder, iKey, "iKey");
    coder.encodeInt64(flags, "flags");
    encodeString(coder, cV, "cV");
    coder.encodeObject(ext, "ext");
    coder.encodeObject(data, "data");
}

void BEACSharedSchemaLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractLog::initWithCoder(coder);
    ver = coder.decodeString("ver");
    name = coder.decodeString("name");
    popSample = coder.decodeDouble("popSample");
    iKey = coder.decodeString("iKey");
    flags = coder.decodeInt64("flags");
    cV = coder.decodeString("cV");
    auto decodedExt = coder.decodeObjectOfClass<BEACCSExtensions>("ext");
    ext = decodedExt ? std::const_pointer_cast<BEACCSExtensions>(decodedExt) : nullptr;
    auto decodedData = coder.decodeObjectOfClass<BEACCSData>("data");
    data = decodedData ? std::const_pointer_cast<BEACCSData>(decodedData) : nullptr;
}
