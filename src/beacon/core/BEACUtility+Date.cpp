#include <mutex>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Text.h"

namespace {

constexpr std::size_t kMaxPropertyCount = 20;
constexpr std::size_t kMaxPropertyLength = 125;

}  // namespace

namespace {

plat::Mutex formatterMutex;
std::shared_ptr<const BEACDateFormatter> sharedFormatter GUARDED_BY(formatterMutex);

}  // namespace

std::shared_ptr<const BEACDateFormatter> BEACUtility::ISO8601DateFormatter() {
    plat::MutexLock lock(formatterMutex);
    if (!sharedFormatter)
        sharedFormatter = std::make_shared<const BEACDateFormatter>();
    return sharedFormatter;
}

void BEACUtility::resetDateFormatterInstance() {
    plat::MutexLock lock(formatterMutex);
    sharedFormatter.reset();
}

std::string BEACUtility::dateToISO8601(const plat::Date& date) {
    return ISO8601DateFormatter()->stringFromDate(date);
}

std::optional<plat::Date> BEACUtility::dateFromISO8601(std::string_view text) {
    return ISO8601DateFormatter()->dateFromString(text);
}

double BEACUtility::nowInMilliseconds() {
    return plat::Date::now().timeIntervalSince1970() * 1000.0;
}

plat::Dictionary BEACUtility::validateProperties(const plat::Dictionary& properties,
                                                 const std::string& logName, const std::string& type) {
    plat::Dictionary result;
    for (const auto& entry : properties) {
        const std::string& key = entry.first;
        const plat::Value& value = entry.second;
        if (result.size() >= kMaxPropertyCount) {
            BEACLogWarning(
                kBEACLogTag,
                "%@ '%@' : properties cannot contain more than %d items. Skipping other properties.", type,
                logName, static_cast<int>(kMaxPropertyCount));
            break;
        }
        if (!value.isString())
            continue;
        if (key.empty()) {
            BEACLogWarning(kBEACLogTag,
                           "%@ '%@' : a property key cannot be null or empty. Property will be skipped.",
                           type, logName);
            continue;
        }
        std::string cutKey = key;
        if (plat::text::utf16Length(key) > kMaxPropertyLength) {
            cutKey = plat::text::utf16Substring(key, 0, kMaxPropertyLength);
            BEACLogWarning(
                kBEACLogTag,
                "%@ '%@' : property %@ : property key length cannot be longer than %d characters. Property "
                "key will be truncated.",
                type, logName, key, static_cast<int>(kMaxPropertyLength));
        }
        std::string cutValue = *value.asString();
        if (plat::text::utf16Length(cutValue) > kMaxPropertyLength) {
            cutValue = plat::text::utf16Substring(cutValue, 0, kMaxPropertyLength);
            BEACLogWarning(
                kBEACLogTag,
                "%@ '%@' : property '%@' : property value cannot be longer than %d characters. Property "
                "value will be truncated.",
                type, logName, cutKey, static_cast<int>(kMaxPropertyLength));
        }
        result.set(std::move(cutKey), plat::Value(std::move(cutValue)));
    }
    return result;
}
