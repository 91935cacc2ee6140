// A library the crash helper opens only after crash capture is enabled, and
// that then crashes: its frames must still fall inside an image of the report.
#include <cstdint>

extern "C" __attribute__((visibility("default"), noinline)) void kcr_late_library_crash() {
    volatile uintptr_t null = 0;
    *reinterpret_cast<volatile int*>(null) = 1;
    asm volatile("" ::: "memory");  // not a tail position: this frame stays
}
