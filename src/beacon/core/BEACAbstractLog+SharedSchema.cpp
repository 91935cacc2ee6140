// Conversion of a log into the Shared Schema logs sent to the Event
// Collector: one per target token, filled from the log's timestamp, user id
// and device. The source log is not changed.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Bundle.h"

namespace {

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

}  // namespace

std::optional<std::vector<std::shared_ptr<BEACSharedSchemaLog>>> BEACAbstractLog::toSharedSchemaLogsWithFlags(
    int64_t flags) const {
    // Read once through the locked getter; a handed-out set never changes.
    auto tokens = transmissionTargetTokens();
    if (!tokens)
        return std::nullopt;
    std::vector<std::shared_ptr<BEACSharedSchemaLog>> logs;
    for (const auto& token : *tokens)
        if (auto log = toSharedSchemaLogForTargetToken(token, flags))
            logs.push_back(std::move(log));
    if (logs.empty())
        return std::nullopt;
    return logs;
}

std::shared_ptr<BEACSharedSchemaLog> BEACAbstractLog::toSharedSchemaLogForTargetToken(
    const std::string& token, int64_t flags) const {
    auto csLog = std::make_shared<BEACSharedSchemaLog>();
    csLog->addTransmissionTargetToken(token);
    csLog->ver = "3.0";
    csLog->timestamp = timestamp;
    csLog->iKey = BEACUtility::iKeyFromTargetToken(token);
    csLog->flags = flags;

    const BEACDevice empty;
    const BEACDevice& dev = device ? *device : empty;
    auto ext = std::make_shared<BEACCSExtensions>();

    ext->protocolExt = std::make_shared<BEACProtocolExtension>();
    ext->protocolExt->devMake = dev.oemName;
    ext->protocolExt->devModel = dev.model;

    ext->userExt = std::make_shared<BEACUserExtension>();
    ext->userExt->localId = BEACUserIdContext::prefixedUserIdFromUserId(userId);
    if (dev.locale) {
        std::string locale = *dev.locale;
        for (char& c : locale)
            if (c == '_')
                c = '-';
        ext->userExt->locale = locale;
    }

    ext->osExt = std::make_shared<BEACOSExtension>();
    ext->osExt->name = dev.osName;
    ext->osExt->ver = combineOsVersion(dev.osVersion, dev.osBuild);

    ext->appExt = std::make_shared<BEACAppExtension>();
    // No namespace, no app id (rather than an id naming nothing).
    if (dev.appNamespace)
        ext->appExt->appId = "I:" + *dev.appNamespace;
    ext->appExt->ver = dev.appVersion;
    auto localizations = plat::Bundle::mainBundle().preferredLocalizations();
    if (!localizations.empty())
        ext->appExt->locale = localizations.front();

    ext->netExt = std::make_shared<BEACNetExtension>();
    ext->netExt->provider = dev.carrierName;

    ext->sdkExt = std::make_shared<BEACSDKExtension>();
    ext->sdkExt->libVer = combineSDKLibVer(dev.sdkName, dev.sdkVersion);

    ext->locExt = std::make_shared<BEACLocExtension>();
    ext->locExt->tz = convertTimeZoneOffsetToISO8601(dev.timeZoneOffset.value_or(0));

    ext->deviceExt = std::make_shared<BEACDeviceExtension>();
    csLog->ext = ext;
    return csLog;
}

// A build without a version says too little to be worth sending: nullopt.
std::optional<std::string> BEACAbstractLog::combineOsVersion(const std::optional<std::string>& version,
                                                             const std::optional<std::string>& build) {
    if (!nonEmpty(version))
        return std::nullopt;
    std::string text = "Version " + *version;
    if (nonEmpty(build))
        text += " (Build " + *build + ")";
    return text;
}

std::optional<std::string> BEACAbstractLog::combineSDKLibVer(const std::optional<std::string>& name,
                                                             const std::optional<std::string>& version) {
    if (!nonEmpty(name) || !nonEmpty(version))
        return std::nullopt;
    return *name + "-" + *version;
}

std::string BEACAbstractLog::convertTimeZoneOffsetToISO8601(int64_t offsetMinutes) {
    // Hours truncate toward zero, so -30 would print "+00:30"; the sign is
    // taken from the offset itself so that half-hour zones west of UTC keep it.
    long long hours = std::llabs(offsetMinutes) / 60;
    long long minutes = std::llabs(offsetMinutes) % 60;
    char text[32];
    std::snprintf(text, sizeof text, "%c%02lld:%02lld", offsetMinutes < 0 ? '-' : '+', hours, minutes);
    return text;
}
