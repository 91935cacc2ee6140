// Class-level helpers shared by the whole telemetry SDK: environment and
// application state, SDK name and version, keyed archiving with a table of
// old class names, ISO 8601 dates, validation of string properties, the SDK
// folder and its files, and string helpers (secret string, target keys,
// digests, JSON pretty printing, masking).
//
// Threads: every member may be called from any thread. The class-name table,
// the SDK folder and file operations are guarded by locks of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace plat {
class URL;
namespace appkit {
class Application;
class Responder;
}  // namespace appkit
}  // namespace plat

// The one text form of dates in the SDK's JSON: locale "en_US_POSIX" (the
// system's, not the user's), time zone "UTC", format
// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'". Reading is strict: any other shape (no
// milliseconds, an offset) gives nullopt. Immutable; any thread.
class BEACDateFormatter {
  public:
    std::string localeIdentifier() const { return "en_US_POSIX"; }
    std::string timeZoneName() const { return "UTC"; }
    std::string dateFormat() const { return "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'"; }
    std::string stringFromDate(const plat::Date& date) const { return date.iso8601String(); }
    std::optional<plat::Date> dateFromString(std::string_view text) const {
        return plat::Date::fromStrictISO8601(text);
    }
};

inline constexpr int64_t BEACAppEnvironmentOther = 99;
inline constexpr int64_t BEACApplicationStateActive = 0;
inline constexpr int64_t BEACApplicationStateBackground = 2;
inline constexpr int64_t BEACApplicationStateUnknown = 3;

class BEACUtility {
  public:
    // Environment and application state.
    static int64_t currentAppEnvironment() { return BEACAppEnvironmentOther; }
    // Unknown (3) off the main thread or in an app extension; active (0) on it.
    static int64_t applicationState();
    static std::string sdkName();
    static std::string sdkVersion();
    // The main bundle has a resource "embedded.mobileprovision" (a
    // provisioning profile shipped with the application; a Linux program
    // rarely has one).
    static bool hasEmbeddedMobileProvision();
    // Whether the application store's receipt is a sandbox one. Linux has no
    // application store receipts: always false.
    static bool isAppStoreReceiptSandbox();
    // The shared application stand-in and its delegate (null when none).
    static plat::appkit::Application& sharedApp();
    static std::shared_ptr<plat::appkit::Responder> sharedAppDelegate();
    // Asynchronously on the main loop, opens the URL with the desktop's opener
    // (xdg-open) and calls the completion there with whether it started. The
    // options are not used on Linux.
    static void sharedAppOpenUrl(const plat::URL& url, const plat::Dictionary& options,
                                 std::function<void(bool)> completion);

    // Keyed archiving. nullopt for a missing object or data, or when archiving
    // or unarchiving failed (the failure is logged as an error). Archives
    // written under a registered old class name decode into the current class.
    static std::optional<plat::Data> archiveKeyedData(const std::optional<plat::Value>& object);
    static std::optional<plat::Value> unarchiveKeyedData(const std::optional<plat::Data>& data);
    // As above; the reason of a failure goes to *error.
    static std::optional<plat::Value> unarchiveKeyedData(const std::optional<plat::Data>& data,
                                                         plat::ErrorPtr* error);
    // Old archived class name to current class name; a later registration of
    // a name wins.
    static void addMigrationClasses(const std::map<std::string, std::string>& oldToCurrent);

    // Dates: "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC. Reading is strict: any
    // other shape (no milliseconds, an offset) gives nullopt.
    static std::string dateToISO8601(const plat::Date& date);
    static std::optional<plat::Date> dateFromISO8601(std::string_view text);
    // The shared formatter both use, created on first use and kept until reset.
    static std::shared_ptr<const BEACDateFormatter> ISO8601DateFormatter();
    // Drops the shared formatter; the next use creates a new one.
    static void resetDateFormatterInstance();
    static double nowInMilliseconds();

    // The accepted string properties (at most 20; keys and values cut to 125
    // UTF-16 units); what is dropped or cut is logged as a warning.
    static plat::Dictionary validateProperties(const plat::Dictionary& properties, const std::string& logName,
                                               const std::string& type);

    // SDK folder: "<Application Support>/<bundle id>/com.kestrel.beacon/",
    // created on first use. Path components are relative to it and may hold "/".
    static std::string beaconDirectoryPath();
    // Places the SDK folder elsewhere (an embedder's root, a test's temporary
    // folder); nullopt returns to the default. Takes effect at once.
    static void setBeaconDirectoryPath(std::optional<std::string> path);
    static std::optional<std::string> fullPathForPathComponent(const std::optional<std::string>& component);
    static bool fileExistsForPathComponent(const std::string& component);
    // The full path, or nullopt on failure. An existing file is left alone
    // unless forceOverwrite.
    static std::optional<std::string> createFileAtPathComponent(const std::optional<std::string>& component,
                                                                const std::optional<plat::Data>& data,
                                                                bool atomically, bool forceOverwrite);
    static std::optional<std::string> createDirectoryForPathComponent(
        const std::optional<std::string>& component);
    static std::optional<plat::Data> loadDataForPathComponent(const std::optional<std::string>& component);
    // Full paths of the folder's direct entries; nullopt for an empty component
    // or a folder that cannot be listed.
    static std::optional<std::vector<std::string>> contentsOfDirectory(
        const std::optional<std::string>& component);
    static bool deleteItemForPathComponent(const std::optional<std::string>& component);
    static bool deleteFileAtPath(const std::optional<std::string>& path);
    static bool createDirectoryAtPath(const std::optional<std::string>& path);

    // Secret string and target tokens.
    static std::optional<std::string> appSecretFrom(const std::optional<std::string>& secretString);
    static std::optional<std::string> transmissionTargetTokenFrom(
        const std::optional<std::string>& secretString);
    static std::optional<std::string> targetKeyFromTargetToken(const std::optional<std::string>& token);
    static std::optional<std::string> iKeyFromTargetToken(const std::optional<std::string>& token);
    // 64 lower-case hex digits of the SHA-256 of the UTF-8 bytes.
    static std::string sha256(std::string_view text);
    static std::optional<std::string> prettyPrintJson(const std::optional<plat::Data>& data);
    // Every match of the case-insensitive pattern replaced by the template
    // ("$1" names a group); nullopt for a missing string or a bad pattern.
    static std::optional<std::string> obfuscateString(const std::optional<std::string>& string,
                                                      const std::string& pattern, const std::string& templ);
};

class BEACDispatcherUtil {
  public:
    // Queued on the main queue, also when called on the main thread.
    static void performBlockOnMainThread(std::function<void()> block);
    static void runBlock(const std::function<void()>& block) { block(); }
    // Runs the block on the queue and waits at most `timeout` seconds for it.
    static void dispatchSyncWithTimeout(double timeout, const plat::dispatch::Queue& queue,
                                        std::function<void()> block);
};
