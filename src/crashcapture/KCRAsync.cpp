#include "crashcapture/KCRAsync.h"

#include "platform/machine/Threads.h"

namespace kcr::async {

namespace {

uint16_t direct16(uint16_t v) {
    return v;
}
uint32_t direct32(uint32_t v) {
    return v;
}
uint64_t direct64(uint64_t v) {
    return v;
}
uint16_t swapped16(uint16_t v) {
    return __builtin_bswap16(v);
}
uint32_t swapped32(uint32_t v) {
    return __builtin_bswap32(v);
}
uint64_t swapped64(uint64_t v) {
    return __builtin_bswap64(v);
}

constexpr kcr_async_byteorder kDirect{direct16, direct32, direct64};
constexpr kcr_async_byteorder kSwapped{swapped16, swapped32, swapped64};

}  // namespace

const char* async_error_text(kcr_error_t error) {
    switch (error) {
        case KCR_ESUCCESS:
            return "No error";
        case KCR_EUNKNOWN:
            return "Unknown error";
        case KCR_OUTPUT_ERR:
            return "Output file can not be opened (or written to)";
        case KCR_ENOMEM:
            return "No memory available";
        case KCR_ENOTSUP:
            return "Operation not supported";
        case KCR_EINVAL:
            return "Invalid argument";
        case KCR_EINTERNAL:
            return "Internal error";
        case KCR_EACCESS:
            return "Access denied";
        case KCR_ENOTFOUND:
            return "Not found";
        case KCR_EINVALID_DATA:
            return "The input data is in an unknown or invalid format.";
        default:
            return "Unhandled error code";
    }
}

const kcr_async_byteorder* async_byteorder_direct() {
    return &kDirect;
}
const kcr_async_byteorder* async_byteorder_swapped() {
    return &kSwapped;
}

bool async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result) {
    if (offset >= 0) {
        uint64_t sum = base + static_cast<uint64_t>(offset);
        if (sum < base)
            return false;
        if (result != nullptr)
            *result = sum;
        return true;
    }
    // The magnitude of a negative offset, computed without overflowing INT64_MIN.
    uint64_t magnitude = ~static_cast<uint64_t>(offset) + 1;
    if (magnitude > base)
        return false;
    if (result != nullptr)
        *result = base - magnitude;
    return true;
}

uint32_t current_mach_thread() {
    return static_cast<uint32_t>(plat::machine::currentThreadId());
}

kcr_error_t async_task_memcpy(const kcr_task_t& task, uint64_t address, int64_t offset, void* destination,
                              size_t length) {
    uint64_t target = 0;
    if (!async_address_apply_offset(address, offset, &target))
        return KCR_ENOMEM;
    switch (plat::machine::readMemory(task, target, destination, length)) {
        case plat::machine::ReadResult::Ok:
            return KCR_ESUCCESS;
        case plat::machine::ReadResult::Unmapped:
            return KCR_ENOTFOUND;
        case plat::machine::ReadResult::Protected:
            return KCR_EACCESS;
        default:
            return KCR_EUNKNOWN;
    }
}

kcr_error_t async_task_read_uint8(const kcr_task_t& task, uint64_t address, int64_t offset, uint8_t* result) {
    return async_task_memcpy(task, address, offset, result, sizeof *result);
}

kcr_error_t async_task_read_uint16(const kcr_task_t& task, const kcr_async_byteorder* order, uint64_t address,
                                   int64_t offset, uint16_t* result) {
    kcr_error_t error = async_task_memcpy(task, address, offset, result, sizeof *result);
    if (error == KCR_ESUCCESS)
        *result = order->swap16(*result);
    return error;
}

kcr_error_t async_task_read_uint32(const kcr_task_t& task, const kcr_async_byteorder* order, uint64_t address,
                                   int64_t offset, uint32_t* result) {
    kcr_error_t error = async_task_memcpy(task, address, offset, result, sizeof *result);
    if (error == KCR_ESUCCESS)
        *result = order->swap32(*result);
    return error;
}

kcr_error_t async_task_read_uint64(const kcr_task_t& task, const kcr_async_byteorder* order, uint64_t address,
                                   int64_t offset, uint64_t* result) {
    kcr_error_t error = async_task_memcpy(task, address, offset, result, sizeof *result);
    if (error == KCR_ESUCCESS)
        *result = order->swap64(*result);
    return error;
}

int async_strcmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int async_strncmp(const char* a, const char* b, size_t n) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i] || x[i] == 0)
            return static_cast<int>(x[i]) - static_cast<int>(y[i]);
    }
    return 0;
}

void* async_memcpy(void* destination, const void* source, size_t length) {
    auto* out = static_cast<volatile uint8_t*>(destination);
    const auto* in = static_cast<const uint8_t*>(source);
    for (size_t i = 0; i < length; ++i)
        out[i] = in[i];
    return destination;
}

void* async_memset(void* destination, uint8_t value, size_t length) {
    // volatile keeps the compiler from turning the loop back into a libc call.
    auto* out = static_cast<volatile uint8_t*>(destination);
    for (size_t i = 0; i < length; ++i)
        out[i] = value;
    return destination;
}

size_t async_utf8_valid_length(const uint8_t* bytes, size_t maximum) {
    size_t at = 0;
    if (maximum >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        at = 3;
    while (at < maximum && bytes[at] != 0) {
        uint8_t lead = bytes[at];
        size_t following;
        if (lead < 0x80) {
            following = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            following = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            following = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            following = 3;
        } else {
            break;
        }
        if (following > maximum - at - 1)
            break;
        bool valid = true;
        for (size_t i = 1; i <= following; ++i) {
            if ((bytes[at + i] & 0xC0) != 0x80)
                valid = false;
        }
        if (!valid)
            break;
        at += following + 1;
    }
    return at;
}

size_t async_utf8_valid_length(const char* text) {
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return async_utf8_valid_length(reinterpret_cast<const uint8_t*>(text), length);
}

}  // namespace kcr::async
