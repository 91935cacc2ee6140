// The current date as the telemetry core reads it: the system clock unless a
// test has installed a source of its own. One place, so that key expiry,
// history timestamps and the device history can be driven by a manual clock.
#pragma once

#include <functional>

#include "platform/foundation/Date.h"

namespace beac::detail {

plat::Date now();
// nullptr restores the system clock. Any thread.
void setNowSource(std::function<plat::Date()> source);

}  // namespace beac::detail
