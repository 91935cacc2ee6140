// Our definition of the C++ ABI's throw entry point and the per-thread throw
// records. This file must contain no throw expression: the compiler declares
// the entry point itself, with another signature, in a file that throws.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

// Declared again here rather than by including ExceptionRuntime.h: that
// header brings in code that throws (see above).
namespace plat::appkit {
inline constexpr size_t kThrowSiteCapacity = 128;  // kMaxThrowSiteFrames
void retainThrowSiteRecording();
void releaseThrowSiteRecording();
bool isRecordingThrowSites();
size_t throwSiteFrames(const void* object, const std::type_info* type, uintptr_t* frames, size_t capacity);
}  // namespace plat::appkit

namespace {

using ThrowEntry = void (*)(void*, std::type_info*, void (*)(void*));

// One per thread, in static thread storage: recording allocates nothing and
// nothing needs freeing when the thread ends.
struct ThrowRecord {
    const void* object;
    const std::type_info* type;
    uint32_t count;
    uint32_t first;  // the throwing function's frame
    void* frames[plat::appkit::kThrowSiteCapacity + 1];
};

thread_local ThrowRecord tRecord;
std::atomic<int> gRecording{0};
std::atomic<ThrowEntry> gNextThrow{nullptr};

ThrowEntry next_throw() {
    ThrowEntry entry = gNextThrow.load(std::memory_order_acquire);
    if (entry == nullptr) {
        entry = reinterpret_cast<ThrowEntry>(dlsym(RTLD_NEXT, "__cxa_throw"));
        gNextThrow.store(entry, std::memory_order_release);
    }
    return entry;
}

}  // namespace

extern "C" void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
    if (gRecording.load(std::memory_order_relaxed) > 0) {
        ThrowRecord& record = tRecord;
        // The frames before the throwing function's (this function's, and a
        // sanitizer's wrapper of backtrace) are left out when reading.
        const int count = backtrace(record.frames, static_cast<int>(plat::appkit::kThrowSiteCapacity + 1));
        record.count = count > 0 ? static_cast<uint32_t>(count) : 0;
        record.first = record.count > 1 ? 1 : record.count;
        void* thrower = __builtin_return_address(0);
        for (uint32_t i = 0; i < record.count && i < 4; ++i) {
            if (record.frames[i] == thrower) {
                record.first = i;
                break;
            }
        }
        record.object = object;
        record.type = type;
    } else {
        // An unrecorded throw must not be matched with an older record whose
        // exception object happened to live at the same address.
        tRecord.object = nullptr;
    }
    ThrowEntry next = next_throw();
    if (next == nullptr)
        std::abort();
    next(object, type, destructor);
    std::abort();  // the runtime's entry does not return
}

namespace plat::appkit {

void retainThrowSiteRecording() {
    next_throw();  // looked up before the first throw needs it
    gRecording.fetch_add(1);
}

void releaseThrowSiteRecording() {
    int value = gRecording.load();
    while (value > 0 && !gRecording.compare_exchange_weak(value, value - 1)) {
    }
}

bool isRecordingThrowSites() {
    return gRecording.load() > 0;
}

size_t throwSiteFrames(const void* object, const std::type_info* type, uintptr_t* frames, size_t capacity) {
    const ThrowRecord& record = tRecord;
    if (object == nullptr || record.object != object || record.count <= record.first)
        return 0;
    if (type != nullptr && record.type != nullptr && *record.type != *type)
        return 0;
    size_t count = record.count - record.first;
    if (count > capacity)
        count = capacity;
    for (size_t i = 0; i < count; ++i)
        frames[i] = reinterpret_cast<uintptr_t>(record.frames[record.first + i]);
    return count;
}

}  // namespace plat::appkit
