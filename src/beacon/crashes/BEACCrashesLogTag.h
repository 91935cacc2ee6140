// The tag of every message of the crash service (records' validity messages
// use the core's tag instead).
#pragma once

inline constexpr const char* kBEACCrashesLogTag = "BeaconCrashes";
