#include "beacon/core/BEACUtility.h"

#include <mutex>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/detail/BEACCoreClasses.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/MemoryPressure.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/URL.h"

namespace {

std::string errorText(const plat::ErrorPtr& error) {
    return error ? error->localizedDescription() : std::string("(null)");
}

}  // namespace

int64_t BEACUtility::applicationState() {
    auto executable = plat::Bundle::mainBundle().executablePath();
    if (executable && executable->find(".appex/") != std::string::npos)
        return BEACApplicationStateUnknown;
    return plat::appkit::Application::shared().applicationState();
}

bool BEACUtility::hasEmbeddedMobileProvision() {
    return plat::Bundle::mainBundle().pathForResource("embedded", "mobileprovision").has_value();
}

bool BEACUtility::isAppStoreReceiptSandbox() {
    return false;
}

plat::appkit::Application& BEACUtility::sharedApp() {
    return plat::appkit::Application::shared();
}

std::shared_ptr<plat::appkit::Responder> BEACUtility::sharedAppDelegate() {
    return sharedApp().delegate();
}

void BEACUtility::sharedAppOpenUrl(const plat::URL& url, const plat::Dictionary& /*options*/,
                                   std::function<void(bool)> completion) {
    plat::appkit::Workspace::openURL(url.absoluteString(), std::move(completion));
}

std::string BEACUtility::sdkName() {
    return "beacon.linux";
}

std::string BEACUtility::sdkVersion() {
    return "4.2.0";
}

std::optional<plat::Data> BEACUtility::archiveKeyedData(const std::optional<plat::Value>& object) {
    if (!object)
        return std::nullopt;
    beac::detail::registerCoreClasses();
    auto archived = plat::KeyedArchiver::archivedDataWithRootObject(*object);
    if (!archived.ok()) {
        BEACLogError(kBEACLogTag, "Archiving NSData failed with error: %@", errorText(archived.error()));
        return std::nullopt;
    }
    return std::move(archived.value());
}

std::optional<plat::Value> BEACUtility::unarchiveKeyedData(const std::optional<plat::Data>& data) {
    return unarchiveKeyedData(data, nullptr);
}

std::optional<plat::Value> BEACUtility::unarchiveKeyedData(const std::optional<plat::Data>& data,
                                                           plat::ErrorPtr* error) {
    if (!data)
        return std::nullopt;
    beac::detail::registerCoreClasses();
    // Read in place: the unarchiver lives only for this call.
    auto root = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
    if (!root.ok() || !root.value()) {
        if (error && !root.ok())
            *error = root.error();
        BEACLogError(kBEACLogTag, "Unarchiving NSData failed with error: %@",
                     root.ok() ? std::string("no root object") : errorText(root.error()));
        return std::nullopt;
    }
    return std::move(*root.value());
}

// The unarchiver's process-wide name table holds the substitutions (it has a
// lock of its own), so every unarchiver honours them without copying them.
void BEACUtility::addMigrationClasses(const std::map<std::string, std::string>& oldToCurrent) {
    for (const auto& [oldName, current] : oldToCurrent)
        plat::KeyedUnarchiver::setClassForClassName(current, oldName);
}

void BEACDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
    plat::dispatch::Queue::main().async([block = std::move(block)] { runBlock(block); });
}

void BEACDispatcherUtil::dispatchSyncWithTimeout(double timeout, const plat::dispatch::Queue& queue,
                                                 std::function<void()> block) {
    auto done = std::make_shared<plat::dispatch::Semaphore>(0);
    queue.async([done, block = std::move(block)] {
        block();
        done->signal();
    });
    done->wait(timeout);
}
