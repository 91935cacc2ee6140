#include "beacon/core/BEACLogContainer.h"

#include "beacon/core/BEACLogger.h"
#include "platform/foundation/JSONSerialization.h"

std::optional<std::string> BEACLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    plat::Array list;
    for (const auto& log : logs) {
        if (log)
            list.push_back(plat::Value(log->serializeToDictionary()));
    }
    plat::Dictionary root;
    root.set("logs", plat::Value(std::move(list)));
    unsigned options =
        plat::JSONWritingWithoutEscapingSlashes | (prettyPrint ? plat::JSONWritingPrettyPrinted : 0u);
    auto text = plat::JSONSerialization::stringWithJSONObject(plat::Value(std::move(root)), options);
    if (!text.ok()) {
        auto error = text.error();
        BEACLogError(kBEACLogTag, "Couldn't serialize log container to json: %@",
                     error->localizedDescription());
        return std::nullopt;
    }
    return std::move(text.value());
}

bool BEACLogContainer::isValid() const {
    if (logs.empty()) {
        BEACLogVerbose(kBEACLogTag, "%@: there are no logs in container.", "BEACLogContainer");
        return false;
    }
    for (const auto& log : logs) {
        if (!log || !log->isValid())
            return false;
    }
    return true;
}
