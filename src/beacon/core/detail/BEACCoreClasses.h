// The archivable classes of the telemetry core, registered with the keyed
// unarchiver in one place, together with the old class names that earlier
// SDK generations archived them under. Idempotent; any thread.
#pragma once

namespace beac::detail {

void registerCoreClasses();

}  // namespace beac::detail
