// Brings exceptions that the application object swallows to the crash
// service: wraps the application's "reportException:" (the service hears of
// the exception first, then the application reports it as before) and
// "sendEvent:" (a platform exception escaping an event is reported that way
// instead of propagating; any other exception propagates unchanged).
//
// Off when the main bundle's info value "BeaconApplicationForwarderEnabled"
// is false; without the user default "NSApplicationCrashOnExceptions" set to
// true nothing is wrapped either. Each selector is wrapped at most once per
// process.
#pragma once

#include "platform/foundation/Error.h"

inline constexpr const char* kBEACApplicationForwarderEnabledKey = "BeaconApplicationForwarderEnabled";
inline constexpr const char* kBEACCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

class BEACApplicationForwarder {
  public:
    // Where reported exceptions go before the application's own reporting.
    using ExceptionSink = void (*)(const plat::Exception& exception);

    static void registerForwarding(ExceptionSink sink);
};
