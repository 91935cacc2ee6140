#include "beacon/crashes/BEACApplicationForwarder.h"

#include <atomic>

#include "beacon/core/BEACLogger.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using namespace plat::appkit;

constexpr const char* kInstallKey = "BEACApplicationForwarder";

std::atomic<BEACApplicationForwarder::ExceptionSink> gSink{nullptr};

bool forwarderEnabled() {
    std::optional<plat::Value> value =
        plat::Bundle::mainBundle().objectForInfoDictionaryKey(kBEACApplicationForwarderEnabledKey);
    return !value || value->isNull() || value->boolValue();
}

plat::Value reportExceptionReplacement(const Implementation& kept, Responder& receiver,
                                       const Arguments& arguments) {
    if (!arguments.empty()) {
        if (auto object = arguments[0].asObjectOf<ExceptionObject>()) {
            if (BEACApplicationForwarder::ExceptionSink sink = gSink.load())
                sink(object->exception());
        }
    }
    return kept ? kept(receiver, arguments) : plat::Value();
}

}  // namespace

void BEACApplicationForwarder::registerForwarding(ExceptionSink sink) {
    if (!forwarderEnabled()) {
        BEACLogDebug(kBEACCrashesLogTag,
                     "Application forwarder for info.plist key '%@' disabled. It won't use swizzling.",
                     kBEACApplicationForwarderEnabledKey);
        return;
    }
    BEACLogDebug(kBEACCrashesLogTag,
                 "Application forwarder for info.plist key '%@' enabled. It may use swizzling.",
                 kBEACApplicationForwarderEnabledKey);
    if (!plat::UserDefaults::standardUserDefaults()->boolForKey(kBEACCrashOnExceptionsKey)) {
        BEACLogInfo(
            kBEACCrashesLogTag,
            "Catching uncaught exceptions thrown on the main thread disabled. Set `%@` flag before SDK "
            "initialization, to allow crash on uncaught exceptions and the SDK can report them.",
            kBEACCrashOnExceptionsKey);
        return;
    }
    gSink.store(sink);
    Application& application = Application::shared();
    auto keptReport = std::make_shared<Implementation>();
    InterceptionTable::Installation report = InterceptionTable::shared().install(
        application, "reportException:", kInstallKey,
        [keptReport](Responder& receiver, const Arguments& arguments) {
            return reportExceptionReplacement(*keptReport, receiver, arguments);
        });
    if (report.installed) {
        *keptReport = report.kept;
        BEACLogDebug(kBEACCrashesLogTag, "Selector 'reportException:' of class 'NSApplication' is swizzled.");
    }
    auto keptEvent = std::make_shared<Implementation>();
    InterceptionTable::Installation event = InterceptionTable::shared().install(
        application, "sendEvent:", kInstallKey,
        [keptEvent](Responder& receiver, const Arguments& arguments) -> plat::Value {
            try {
                return *keptEvent ? (*keptEvent)(receiver, arguments) : plat::Value();
            } catch (const plat::Exception& exception) {
                // Reported through the (wrapped) reportException:, then dropped,
                // as the application's event loop does with its own exceptions.
                InterceptionTable::shared().send(
                    receiver, "reportException:",
                    {plat::Value(plat::ObjectPtr(std::make_shared<const ExceptionObject>(exception)))});
                return plat::Value();
            }
        });
    if (event.installed) {
        *keptEvent = event.kept;
        BEACLogDebug(kBEACCrashesLogTag, "Selector 'sendEvent:' of class 'NSApplication' is swizzled.");
    }
}
