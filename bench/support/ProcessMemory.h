// Resident memory of this process, as the kernel counts it, for benchmarks
// that report their peak.
#pragma once

namespace benchsupport {

// A field of /proc/self/status in MB ("VmRSS:" now, "VmHWM:" the peak
// since the last reset); 0 when it cannot be read.
double statusMegabytes(const char* key);

// Gives freed memory back to the kernel and resets its record of the peak,
// so that the peak read next belongs to what ran in between.
void resetPeakMemory();

}  // namespace benchsupport
